// Step 10: the strips of marginal notes beside the text block.
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie (see profile_steps.hpp).

#include <array>

#include "profile/profile_steps.hpp"

namespace quorlin::engine::detail {

std::size_t split_margins(std::span<const PageBox> tb, std::span<std::uint32_t> set,
                          std::span<const std::uint8_t> roles, const ProfileOptions& options, Scratch& scratch) {
    if (!options.margins || set.size() < 3) {
        return 0;
    }
    // The widest box, the leftmost right edge and the rightmost left edge.
    // Which box is the widest so far follows the page: it is kept without a
    // branch, as an index.
    std::uint32_t wide = set.front();
    double widest = tb[wide].x2 - tb[wide].x1;
    double lowest_right = tb[wide].x2;
    double highest_left = tb[wide].x1;
    for (const std::uint32_t k : set.subspan(1)) {
        const PageBox& b = tb[k];
        const double w = b.x2 - b.x1;
        wide = widest < w ? k : wide;  // where std::max(widest, w) takes w
        widest = std::max(widest, w);
        lowest_right = std::min(lowest_right, b.x2);
        highest_left = std::max(highest_left, b.x1);
    }
    // A box is wholly beside the text block only when it ends at or before
    // the block's left edge or starts at or after its right edge. The widest
    // box belongs to the block when any box does (the block is then at least
    // as wide), so when every box reaches past its edges none is beside the
    // block: most pages. (A NaN fails the test, and the steps below decide.)
    if (lowest_right > tb[wide].x1 && highest_left < tb[wide].x2) {
        return 0;
    }
    // The block: the boxes at least body_fraction as wide as the widest.
    // Which boxes belong to it follows the page, so each box counts without
    // a branch: one outside it is moved to infinity, where it sets no edge
    // (the box's own infinities become NaN, which no min or max takes). A box
    // in the block is moved by zero, which may turn -0.0 into +0.0: the
    // edges are only compared and subtracted, where the two are the same.
    const double body = options.body_fraction * widest;
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    constexpr double kAway[2] = {kInfinity, 0.0};  // by whether the box counts
    // Its left and right edges first: with every box reaching past them,
    // its top and bottom are not needed (most of the remaining pages).
    PageBox block{kInfinity, kInfinity, -kInfinity, -kInfinity};
    std::size_t in_block = 0;
    for (const std::uint32_t k : set) {
        const PageBox& b = tb[k];
        const std::size_t counts = b.x2 - b.x1 >= body ? 1 : 0;
        const double away = kAway[counts];
        block.x1 = std::min(block.x1, b.x1 + away);
        block.x2 = std::max(block.x2, b.x2 - away);
        in_block += counts;
    }
    if (in_block == 0) {  // no box wide enough: only with boxes turned inside out, which valid options never make
        return 0;
    }
    if (lowest_right > block.x1 && highest_left < block.x2) {
        return 0;
    }
    for (const std::uint32_t k : set) {
        const PageBox& b = tb[k];
        const double away = kAway[b.x2 - b.x1 >= body ? 1 : 0];
        block.y1 = std::min(block.y1, b.y1 + away);
        block.y2 = std::max(block.y2, b.y2 - away);
    }
    // Each side's strip: the boxes beside the block (vertical centre within
    // it) wholly left, or wholly right, of it, gathered as the block was. A
    // zero-width box at both edges of a zero-width block is on both sides.
    const auto note_role = [&](std::uint32_t k) -> std::size_t {
        return roles.empty() || static_cast<Role>(roles[k]) != Role::Heading ? 1 : 0;
    };
    const auto sides = [&](std::uint32_t k) {  // 1 for each side the box is on
        const PageBox& b = tb[k];
        const double cy = (b.y1 + b.y2) / 2;
        const std::size_t level = (block.y1 <= cy ? 1 : 0) * (cy <= block.y2 ? 1 : 0) * note_role(k);
        return std::array<std::size_t, 2>{level * (b.x2 <= block.x1 ? 1 : 0), level * (b.x1 >= block.x2 ? 1 : 0)};
    };
    std::size_t count[2] = {0, 0};
    double lo[2] = {kInfinity, kInfinity};
    double hi[2] = {-kInfinity, -kInfinity};
    for (const std::uint32_t k : set) {
        const PageBox& b = tb[k];
        const std::array<std::size_t, 2> side = sides(k);
        for (int s = 0; s < 2; ++s) {
            lo[s] = std::min(lo[s], b.x1 + kAway[side[s]]);
            hi[s] = std::max(hi[s], b.x2 - kAway[side[s]]);
            count[s] += side[s];
        }
    }
    const double room = options.margin_max * (block.x2 - block.x1);
    const bool margin[2] = {count[0] > 0 && hi[0] - lo[0] <= room, count[1] > 0 && hi[1] - lo[1] <= room};
    if (!margin[0] && !margin[1]) {
        return 0;
    }
    const auto main = [&](std::uint32_t k) {
        const std::array<std::size_t, 2> side = sides(k);
        return (margin[0] ? side[0] : 0) + (margin[1] ? side[1] : 0) == 0;
    };
    return set.size() - partition_stably(set, main, scratch);
}

}  // namespace quorlin::engine::detail
