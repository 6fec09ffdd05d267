// Step 7's evidence: how many of a page's boxes overlap another, and how many
// share their left edge with another; and the radix sort of their keys.
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie (see profile_steps.hpp).

#include <array>

#include "profile/profile_steps.hpp"

namespace quorlin::engine::detail {

void sort_by_key(std::vector<KeyedBox>& items, std::vector<KeyedBox>& spare, std::vector<std::uint32_t>& counts) {
    constexpr std::size_t kDigits = 1 << 8;
    spare.resize(items.size());
    counts.resize(kDigits);
    for (int shift = 0; shift < 64; shift += 8) {
        std::fill(counts.begin(), counts.end(), 0);
        for (const KeyedBox& item : items) {
            ++counts[(item.key >> shift) & (kDigits - 1)];
        }
        if (items.empty() || counts[(items.front().key >> shift) & (kDigits - 1)] == items.size()) {
            continue;  // every key has this digit: the pass would change nothing
        }
        std::uint32_t at = 0;
        for (std::uint32_t& count : counts) {
            const std::uint32_t here = count;
            count = at;
            at += here;
        }
        for (const KeyedBox& item : items) {
            spare[counts[(item.key >> shift) & (kDigits - 1)]++] = item;
        }
        items.swap(spare);
    }
}

std::size_t overlapping_boxes(std::span<const PageBox> raw, std::span<const std::uint32_t> set, std::size_t enough,
                              Scratch& scratch) {
    // The boxes of positive size, normalised, in the order of the sweep.
    std::vector<SweptBox>& sweep = scratch.swept;
    sweep.clear();
    for (const std::uint32_t k : set) {
        const PageBox b = normalised(raw[k]);
        if (b.x2 > b.x1 && b.y2 > b.y1) {
            sweep.push_back(SweptBox{b, k});
        }
    }
    if (sweep.size() < kRadixFrom) {
        std::sort(sweep.begin(), sweep.end(), [](const SweptBox& a, const SweptBox& b) {
            if (a.box.y1 != b.box.y1) {
                return a.box.y1 < b.box.y1;
            }
            return a.box.x1 != b.box.x1 ? a.box.x1 < b.box.x1 : a.k < b.k;
        });
    } else {
        // By index (`set` is ascending as a rule), then stably by x1, then
        // stably by y1.
        const auto by_index = [](const SweptBox& a, const SweptBox& b) { return a.k < b.k; };
        if (!std::is_sorted(sweep.begin(), sweep.end(), by_index)) {
            std::sort(sweep.begin(), sweep.end(), by_index);
        }
        std::vector<KeyedBox>& keyed = scratch.keyed;
        keyed.resize(sweep.size());
        for (std::size_t i = 0; i < sweep.size(); ++i) {
            keyed[i] = KeyedBox{ordered_bits(sweep[i].box.x1), static_cast<std::uint32_t>(i)};
        }
        sort_by_key(keyed, scratch.spare, scratch.counts);
        for (KeyedBox& item : keyed) {
            item.key = ordered_bits(sweep[item.k].box.y1);
        }
        sort_by_key(keyed, scratch.spare, scratch.counts);
        std::vector<SweptBox>& spare = scratch.swept_spare;
        spare.resize(sweep.size());
        for (std::size_t i = 0; i < keyed.size(); ++i) {
            spare[i] = sweep[keyed[i].k];
        }
        sweep.swap(spare);
    }
    // Each pair of boxes next to each other in that order that share an area
    // counts both (a box counted with its predecessor is not counted again).
    std::size_t count = 0;
    bool counted = false;  // whether the box before was counted
    for (std::size_t i = 1; i < sweep.size() && count <= enough; ++i) {
        const PageBox& a = sweep[i - 1].box;
        const PageBox& b = sweep[i].box;
        const bool meet = std::min(a.x2, b.x2) > std::max(a.x1, b.x1) && std::min(a.y2, b.y2) > b.y1;
        count += meet ? (counted ? 1 : 2) : 0;
        counted = meet;
    }
    return count;
}

std::size_t flush_boxes(std::span<const PageBox> raw, std::span<const std::uint32_t> set, Scratch& scratch) {
    // On a small page the edges go into a small open-addressed table: one
    // probe or two per box, where a sort would compare each several times.
    // Probing is linear and the table at most 3/8 full, so even edges that
    // all share one slot cost at most the square of kTableBelow probes.
    constexpr std::size_t kTableBelow = 48;
    constexpr std::size_t kSlots = 128;
    if (set.size() < kTableBelow) {
        std::array<std::uint64_t, kSlots> keys;
        std::array<std::uint8_t, kSlots> seen{};  // 0 empty, 1 one box, 2 more
        std::size_t count = 0;
        for (const std::uint32_t k : set) {
            // Equal edges, and only they, have equal bits once -0.0 is +0.0
            // (the edges are finite): the table needs no order of them.
            const double edge = std::min(raw[k].x1, raw[k].x2);
            const std::uint64_t key = std::bit_cast<std::uint64_t>(edge == 0.0 ? 0.0 : edge);
            std::size_t slot = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 57);
            while (seen[slot] != 0 && keys[slot] != key) {
                slot = (slot + 1) % kSlots;
            }
            keys[slot] = key;
            count += seen[slot] == 0 ? 0 : seen[slot] == 1 ? 2 : 1;  // the first box counts with the second
            seen[slot] = static_cast<std::uint8_t>(std::min(seen[slot] + 1, 2));
        }
        return count;
    }
    // The boxes of a page part are finite (the others were set aside): their
    // edges, as ordered integers, sort, and equal edges give equal integers.
    std::vector<KeyedBox>& left = scratch.keyed;
    left.resize(set.size());
    for (std::size_t i = 0; i < set.size(); ++i) {
        left[i] = KeyedBox{ordered_bits(std::min(raw[set[i]].x1, raw[set[i]].x2)), set[i]};
    }
    if (left.size() < kRadixFrom) {
        std::sort(left.begin(), left.end(), [](const KeyedBox& a, const KeyedBox& b) { return a.key < b.key; });
    } else {
        sort_by_key(left, scratch.spare, scratch.counts);
    }
    // A run of r >= 2 equal edges counts r boxes: one for each edge equal to
    // the one before it, and one more for the run's first edge.
    std::size_t count = 0;
    bool in_run = false;
    for (std::size_t i = 1; i < left.size(); ++i) {
        const bool same = left[i].key == left[i - 1].key;
        count += static_cast<std::size_t>(same) + static_cast<std::size_t>(same && !in_run);
        in_run = same;
    }
    return count;
}

}  // namespace quorlin::engine::detail
