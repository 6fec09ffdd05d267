// Steps 4, 7b and 9: the thin strip at the top of a page (turned upside down,
// the line at the foot of a landscape page), and the boxes of a slide that no
// other box stands beside.
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie (see profile_steps.hpp).

#include "profile/profile_steps.hpp"

namespace quorlin::engine::detail {

Band split_top_strip(std::span<const PageBox> tb, std::span<const PageBox> raw, std::span<const std::uint8_t> roles,
                     std::span<std::uint32_t> set, const PageBox& frame, const ProfileOptions& options,
                     Scratch& scratch, std::size_t& taken) {
    taken = 0;
    if (!options.top_strip || set.size() < 2) {
        return {0.0, 0.0};
    }
    double top = tb[set.front()].y1;
    for (const std::uint32_t k : set.subspan(1)) {
        top = std::min(top, tb[k].y1);
    }
    return split_top_strip(tb, raw, roles, set, top, frame, options, scratch, taken);
}

Band split_top_strip(std::span<const PageBox> tb, std::span<const PageBox> raw, std::span<const std::uint8_t> roles,
                     std::span<std::uint32_t> set, double top, const PageBox& frame, const ProfileOptions& options,
                     Scratch& scratch, std::size_t& taken) {
    taken = 0;
    if (!options.top_strip) {
        return {0.0, 0.0};
    }
    return strip_at_top(tb, raw, roles, false, set, top, frame, options, scratch, taken);
}

Band strip_at_top(std::span<const PageBox> tb, std::span<const PageBox> raw, std::span<const std::uint8_t> roles,
                  bool upside, std::span<std::uint32_t> set, double top, const PageBox& frame,
                  const ProfileOptions& options, Scratch& scratch, std::size_t& taken) {
    taken = 0;
    if (set.size() < 2) {
        return {0.0, 0.0};
    }
    const double limit = options.top_strip_max * (frame.y2 - frame.y1);
    // Only boxes that start within `limit` of the top can be in the strip.
    const double reach_of_strip = top + limit;
    const std::span<std::uint32_t> room = room_for(scratch.indices, set.size());
    std::size_t near_count = 0;
    double others_top = std::numeric_limits<double>::infinity();
    for (const std::uint32_t k : set) {
        const double y1 = tb[k].y1;
        const bool is_near = y1 <= reach_of_strip;
        room[near_count] = k;
        near_count += is_near ? 1 : 0;
        others_top = std::min(others_top, is_near ? std::numeric_limits<double>::infinity() : y1);
    }
    if (near_count == 0) {  // a NaN limit (a zero fraction of an infinite height)
        return {0.0, 0.0};
    }
    const std::span<std::uint32_t> near = room.first(near_count);
    std::sort(near.begin(), near.end(), [&tb](std::uint32_t p, std::uint32_t q) {
        if (tb[p].y1 != tb[q].y1) {
            return tb[p].y1 < tb[q].y1;
        }
        return tb[p].y2 != tb[q].y2 ? tb[p].y2 < tb[q].y2 : p < q;
    });
    double reach = tb[near.front()].y2;
    std::size_t count = 0;  // 0: no gap found
    double next_top = 0.0;
    for (std::size_t j = 1; j < near.size(); ++j) {
        if (tb[near[j]].y1 > reach) {
            count = j;
            next_top = tb[near[j]].y1;
            break;
        }
        reach = std::max(reach, tb[near[j]].y2);
    }
    // No gap among the boxes near the top: the strip is all of them when the
    // other boxes all start below it.
    if (count == 0 && others_top > reach && others_top < std::numeric_limits<double>::infinity()) {
        count = near.size();
        next_top = others_top;
    }
    if (count == 0 || !(reach - top <= limit)) {
        return {0.0, 0.0};
    }
    // The strip is the boxes sorted before the gap (every box that is not
    // near the top starts below them all). It goes to the front in input
    // order; the rest, which keeps its order, moves back behind it.
    const std::span<std::uint32_t> strip = near.first(count);
    std::sort(strip.begin(), strip.end());
    std::size_t kept = 0;
    std::size_t next = 0;
    for (const std::uint32_t k : set) {  // both ascending; the strip is a few boxes
        if (next < count && k == strip[next]) {
            ++next;
        } else {
            set[kept++] = k;
        }
    }
    std::copy_backward(set.begin(), set.begin() + static_cast<std::ptrdiff_t>(kept), set.end());
    std::copy(strip.begin(), strip.end(), set.begin());
    // When no strip is taken, `set` is ascending again: the strip (still in
    // `strip`) merged with the rest from the front, in linear time. The
    // place written never passes the rest's next box (w = r - count + t).
    const auto put_back = [&] {
        std::size_t w = 0;
        std::size_t r = count;
        for (std::size_t t = 0; t < count;) {
            if (r < set.size() && set[r] < strip[t]) {
                set[w++] = set[r++];
            } else {
                set[w++] = strip[t++];
            }
        }
    };
    const auto as_given = [&](std::uint32_t k) {
        const PageBox b = normalised(raw[k]);
        return upside ? upside_down(b) : b;
    };
    // A running head stands clear of the text: as given, the strip ends above
    // the top of every other box. A gap that only the shrink opened (a
    // column's first line reaching a little higher than the others) is none.
    double strip_bottom = -std::numeric_limits<double>::infinity();
    for (const std::uint32_t k : set.first(count)) {
        strip_bottom = std::max(strip_bottom, as_given(k).y2);
    }
    bool clear = true;
    for (const std::uint32_t k : set.subspan(count)) {
        clear = clear && strip_bottom < as_given(k).y1;
    }
    if (!clear) {
        put_back();
        return {0.0, 0.0};
    }
    if (count <= kStripHeadsChecked) {
        // A box that stands closer to the box under it than half its own
        // height (the next line of its column), or, of two or more, one that
        // starts where the box under it starts, is the first line of a
        // column, not page furniture: one such box of a one-box strip, or
        // two of a wider one, make the strip the first lines of columns.
        // Of a strip of two or more on a labelled page, so does a body box
        // with no box under it: the top of a column that holds it alone (a
        // paper's last page, its right column one paragraph beside the left
        // one), where a running head stands over text; unlabelled, such a
        // box is as often a running head over an empty margin.
        // Such a strip holds a few boxes (a wider one is no row of column
        // heads): each is compared with the others, so the test is linear
        // in the page. The gap is measured on the boxes as given (turned
        // upside down with `tb` for a foot line), as the shrink widens it.
        const double edge = options.column_edge * (frame.x2 - frame.x1);
        std::size_t heads = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const PageBox& b = tb[set[i]];
            std::uint32_t under = UINT32_MAX;
            for (const std::uint32_t j : set.subspan(count)) {
                const PageBox& c = tb[j];
                if (c.x1 < b.x2 && c.x2 > b.x1 &&
                    (under == UINT32_MAX || c.y1 < tb[under].y1 || (c.y1 == tb[under].y1 && j < under))) {
                    under = j;
                }
            }
            if (under == UINT32_MAX) {
                heads += count > 1 && !roles.empty() && role_of(roles[set[i]]) == Role::Body ? 1 : 0;
                continue;
            }
            const PageBox r = as_given(set[i]);
            const bool close = as_given(under).y1 - r.y2 < options.head_gap * (r.y2 - r.y1);
            heads += close || (count > 1 && std::fabs(tb[under].x1 - b.x1) <= edge) ? 1 : 0;
        }
        if (heads >= std::min<std::size_t>(2, count)) {
            put_back();
            return {0.0, 0.0};
        }
    }
    taken = count;
    return {next_top - reach, (reach + next_top) / 2};
}

std::span<const std::uint32_t> lone_rows(std::span<const PageBox> tb, std::span<const std::uint32_t> set,
                                         Scratch& scratch) {
    // Sorted by (y1, y2, index), a box overlaps an earlier one exactly when
    // the greatest y2 before it is greater than its y1, and a later one
    // exactly when the next box's y1 is less than its y2 (a box with the same
    // y1 and a greater y2 comes later).
    const std::span<std::uint32_t> sorted = room_for(scratch.indices, set.size());
    std::copy(set.begin(), set.end(), sorted.begin());
    std::sort(sorted.begin(), sorted.end(), [&tb](std::uint32_t p, std::uint32_t q) {
        if (tb[p].y1 != tb[q].y1) {
            return tb[p].y1 < tb[q].y1;
        }
        return tb[p].y2 != tb[q].y2 ? tb[p].y2 < tb[q].y2 : p < q;
    });
    double reach = -std::numeric_limits<double>::infinity();
    std::size_t lone = 0;
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        const std::uint32_t k = sorted[i];
        const bool after = i + 1 < sorted.size() && tb[sorted[i + 1]].y1 < tb[k].y2;
        const bool before = reach > tb[k].y1;
        reach = std::max(reach, tb[k].y2);
        sorted[lone] = k;  // lone never passes i
        lone += !after && !before ? 1 : 0;
    }
    return sorted.first(lone);
}

}  // namespace quorlin::engine::detail
