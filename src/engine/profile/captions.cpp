// Step 11: a caption kept with its figure or table.
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie (see profile_steps.hpp).

#include "profile/profile_steps.hpp"

namespace quorlin::engine::detail {

// Two captions that are lines of one (see group_captions).
bool same_caption(const PageBox& a, const PageBox& b) noexcept {
    const double h = std::min(a.y2 - a.y1, b.y2 - b.y1);
    return std::min(a.x2, b.x2) - std::max(a.x1, b.x1) > 0.5 * std::min(a.x2 - a.x1, b.x2 - b.x1) &&
           std::max(a.y1 - b.y2, b.y1 - a.y2) < 0.5 * h && std::max(a.y2 - a.y1, b.y2 - b.y1) <= 1.5 * h &&
           std::min(std::abs(a.x1 - b.x1), std::abs(a.x1 + a.x2 - b.x1 - b.x2) / 2) <= h;
}

// The extent of each caption's block, in the order of the captions in
// `main`: blocks[i] is the block (a root of the union-find) of the i-th
// caption, extents[root] its union. At most kMostCaptions captions, so the
// pairs tested stay few.
void caption_blocks(std::span<const PageBox> boxes, std::span<const std::uint32_t> main,
                    std::span<const std::uint8_t> roles, Scratch& scratch) {
    auto& blocks = scratch.blocks;
    auto& extents = scratch.extents;
    extents.clear();
    for (const std::uint32_t k : main) {
        if (roles[k] == static_cast<std::uint8_t>(Role::Caption)) {
            extents.push_back(normalised(boxes[k]));
        }
    }
    const std::size_t n = extents.size();
    blocks.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        blocks[i] = static_cast<std::uint32_t>(i);
    }
    const auto root = [&blocks](std::uint32_t i) {
        while (blocks[i] != i) {  // halving the path on the way
            blocks[i] = blocks[blocks[i]];
            i = blocks[i];
        }
        return i;
    };
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i + 1; j < n; ++j) {
            if (same_caption(extents[i], extents[j])) {
                blocks[root(static_cast<std::uint32_t>(i))] = root(static_cast<std::uint32_t>(j));
            }
        }
    }
    // The lines' own boxes are read above; the unions are gathered at the
    // roots only after every pair was tested.
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t r = root(static_cast<std::uint32_t>(i));
        blocks[i] = r;
        if (r != i) {
            const PageBox b = extents[i];
            PageBox& u = extents[r];
            u = {std::min(u.x1, b.x1), std::min(u.y1, b.y1), std::max(u.x2, b.x2), std::max(u.y2, b.y2)};
        }
    }
}

bool group_captions(std::span<const PageBox> boxes, std::span<PageBox> tb, std::span<const std::uint32_t> main,
                    std::span<const std::uint8_t> roles, const PageBox& frame, const ProfileOptions& options,
                    std::span<std::uint32_t> group, Scratch& scratch) {
    const auto is = [&roles](std::uint32_t k, Role role) { return roles[k] == static_cast<std::uint8_t>(role); };
    const double reach = options.caption_gap * (frame.y2 - frame.y1);
    auto& pairs = scratch.pairs;  // (caption, figure), in the order they are made
    pairs.clear();
    std::size_t captions = 0;
    for (const std::uint32_t k : main) {
        group[k] = kNoGroup;
        captions += is(k, Role::Caption) ? 1 : 0;
    }
    if (captions > kMostCaptions) {
        return false;
    }
    caption_blocks(boxes, main, roles, scratch);
    std::size_t at = 0;  // the place of c among the captions
    for (const std::uint32_t c : main) {
        if (!is(c, Role::Caption)) {
            continue;
        }
        const PageBox a = scratch.extents[scratch.blocks[at++]];
        std::uint32_t best = kNoGroup;
        double nearest = 0.0;
        for (const std::uint32_t f : main) {
            if (!is(f, Role::Figure)) {
                continue;
            }
            const PageBox b = normalised(boxes[f]);
            if (!(std::min(a.x2, b.x2) - std::max(a.x1, b.x1) > 0.5 * std::min(a.x2 - a.x1, b.x2 - b.x1))) {
                continue;
            }
            const double gap = std::max(a.y1 - b.y2, b.y1 - a.y2);
            if (gap <= reach && (best == kNoGroup || gap < nearest)) {
                best = f;
                nearest = gap;
            }
        }
        if (best != kNoGroup) {
            pairs.emplace_back(c, best);
            group[c] = best;
        }
    }
    if (pairs.empty()) {
        return false;
    }
    for (bool changed = true; changed;) {
        changed = false;
        for (const std::uint32_t c : main) {
            if (!is(c, Role::Caption) || group[c] != kNoGroup) {
                continue;
            }
            const PageBox a = normalised(boxes[c]);
            for (std::size_t p = 0; p < pairs.size(); ++p) {
                const PageBox u = normalised(boxes[pairs[p].first]);
                if (a.x1 < u.x2 && u.x1 < a.x2 && std::max(a.y1 - u.y2, u.y1 - a.y2) <= reach) {
                    const std::uint32_t f = pairs[p].second;
                    pairs.emplace_back(c, f);
                    group[c] = f;
                    changed = true;
                    break;
                }
            }
        }
    }
    // Each figure's group: the union of its members' shrunk boxes, seen by
    // the engine as one box (the figures are few).
    for (const auto& [c, f] : pairs) {
        group[f] = f;
    }
    for (const std::uint32_t f : main) {
        if (group[f] != f) {
            continue;
        }
        PageBox u = tb[f];
        for (const auto& [c, g] : pairs) {
            if (g == f) {
                u = {std::min(u.x1, tb[c].x1), std::min(u.y1, tb[c].y1), std::max(u.x2, tb[c].x2),
                     std::max(u.y2, tb[c].y2)};
            }
        }
        tb[f] = u;
        for (const auto& [c, g] : pairs) {
            if (g == f) {
                tb[c] = u;
            }
        }
    }
    return true;
}

void regroup(std::span<const std::uint32_t> order, std::span<const std::uint32_t> group,
             std::span<const PageBox> boxes, std::vector<std::uint32_t>& out) {
    const TopThenLeft before{boxes};
    // A group's members stand one after the other in the order (the engine
    // saw one box for all); each is emitted at its first member.
    for (std::size_t i = 0; i < order.size(); ++i) {
        const std::uint32_t k = order[i];
        const std::uint32_t g = group[k];
        if (g == kNoGroup) {
            out.push_back(k);
            continue;
        }
        bool first = true;
        for (std::size_t j = 0; j < i && first; ++j) {
            first = group[order[j]] != g;
        }
        if (!first) {
            continue;
        }
        const std::size_t start = out.size();
        for (std::size_t j = i; j < order.size(); ++j) {
            if (group[order[j]] == g) {
                out.push_back(order[j]);
            }
        }
        std::sort(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), before);
    }
}

}  // namespace quorlin::engine::detail
