// The quality profile (see quorlin/engine/profile.hpp): its steps, and the run
// that strings them together and hands each part of the page to the engine.
//
// Every min and max below is std::min(acc, value) / std::max(acc, value),
// which keeps the accumulated value on a tie: the same number, and the same
// zero sign, as a first-come minimum. Coordinates here are finite (step 1 sets
// the others aside), but sums of huge ones may overflow to infinities, which
// every comparison handles as numbers.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

#include "xycut/detail.hpp"
#include "profile/profile_steps.hpp"
#include "quorlin/engine/profile.hpp"

namespace quorlin::engine {

namespace detail {

bool is_finite(const PageBox& box) noexcept {
    // v - v is 0 for a finite v and NaN for an infinite or NaN one, so the sum
    // is 0 exactly when all four are finite: one test instead of four.
    return (box.x1 - box.x1) + (box.y1 - box.y1) + (box.x2 - box.x2) + (box.y2 - box.y2) == 0.0;
}

bool all_finite(std::span<const PageBox> boxes) noexcept {
    // As is_finite, over all the boxes: each coordinate minus itself is 0 or
    // NaN, so the sums are 0 exactly when every coordinate is finite, in
    // whatever order they are added (a sum for each coordinate, which the
    // compiler may add as pairs).
    double sum[4] = {0.0, 0.0, 0.0, 0.0};
    for (const PageBox& box : boxes) {
        sum[0] += box.x1 - box.x1;
        sum[1] += box.y1 - box.y1;
        sum[2] += box.x2 - box.x2;
        sum[3] += box.y2 - box.y2;
    }
    return sum[0] + sum[1] + sum[2] + sum[3] == 0.0;
}

PageBox normalised(const PageBox& box) noexcept {
    return {std::min(box.x1, box.x2), std::min(box.y1, box.y2), std::max(box.x1, box.x2), std::max(box.y1, box.y2)};
}

PageBox page_frame(const PageBox* bounds, std::span<const PageBox> boxes,
                   std::span<const std::uint32_t> good) noexcept {
    if (bounds != nullptr && is_finite(*bounds)) {
        const PageBox frame = normalised(*bounds);
        if (frame.x2 > frame.x1 && frame.y2 > frame.y1) {
            return frame;
        }
    }
    if (good.empty()) {
        return {};
    }
    PageBox frame = normalised(boxes[good.front()]);
    for (const std::uint32_t k : good.subspan(1)) {
        const PageBox b = normalised(boxes[k]);
        frame.x1 = std::min(frame.x1, b.x1);
        frame.y1 = std::min(frame.y1, b.y1);
        frame.x2 = std::max(frame.x2, b.x2);
        frame.y2 = std::max(frame.y2, b.y2);
    }
    return frame;
}

double engine_scale(const PageBox& frame) noexcept {
    const double longest = std::max(frame.x2 - frame.x1, frame.y2 - frame.y1);
    if (!(longest > 0) || !(longest < kScaleSide)) {
        return 1.0;  // large enough, empty, or no number
    }
    double scale = 1.0;
    for (int k = 0; k < kMostScaleDoublings && longest * scale < kScaleSide; ++k) {
        scale *= 2.0;
    }
    return longest * scale < kScaleSide ? 1.0 : scale;
}

PageBox tolerant_box(const PageBox& box, double dx, double dy) noexcept {
    PageBox out{box.x1 + dx, box.y1 + dy, box.x2 - dx, box.y2 - dy};
    if (out.x1 > out.x2) [[unlikely]] {
        out.x1 = box.x1;
        out.x2 = box.x2;
    }
    if (out.y1 > out.y2) [[unlikely]] {
        out.y1 = box.y1;
        out.y2 = box.y2;
    }
    return out;
}

Band widest_empty_band(std::span<std::pair<double, double>> intervals, double lo, double hi) {
    std::sort(intervals.begin(), intervals.end());
    Band best{0.0, lo};
    double reach = lo;
    for (const auto& [a, b] : intervals) {
        if (a > reach && a - reach > best.width) {
            best = {a - reach, (reach + a) / 2};
        }
        reach = std::max(reach, b);
    }
    if (hi > reach && hi - reach > best.width) {
        best = {hi - reach, (reach + hi) / 2};
    }
    return best;
}

std::vector<ColumnRule> column_rules(std::span<const PageBox> separators, const PageBox& frame,
                                     const ProfileOptions& options) {
    std::vector<ColumnRule> rules;
    std::vector<std::uint32_t> long_ones;
    column_rules(separators, frame, options, rules, long_ones);
    return rules;
}

void column_rules(std::span<const PageBox> separators, const PageBox& frame, const ProfileOptions& options,
                  std::vector<ColumnRule>& rules, std::vector<std::uint32_t>& long_ones) {
    rules.clear();
    const double min_length = options.rule_min_length * (frame.y2 - frame.y1);
    // Most separators are too short: |y2 - y1| is the height of a finite one
    // (max - min, exactly), and a NaN one fails the test too. Short and long
    // ones come mixed, so the long ones are picked out without a branch on
    // each, and only they are looked at closely.
    const std::span<std::uint32_t> room = room_for(long_ones, separators.size());
    std::size_t count = 0;
    for (std::size_t i = 0; i < separators.size(); ++i) {
        room[count] = static_cast<std::uint32_t>(i);
        count += std::fabs(separators[i].y2 - separators[i].y1) >= min_length ? 1 : 0;
    }
    for (const std::uint32_t i : room.first(count)) {
        const PageBox& raw = separators[i];
        if (!is_finite(raw)) {
            continue;
        }
        const PageBox s = normalised(raw);
        const double w = s.x2 - s.x1;
        const double h = s.y2 - s.y1;
        if (h >= options.rule_aspect * w && h >= min_length && h > 0) {
            rules.push_back({(s.x1 + s.x2) / 2, s.y1, s.y2});  // a page has a few
        }
    }
    const auto before = [](const ColumnRule& a, const ColumnRule& b) {
        if (a.c != b.c) {
            return a.c < b.c;
        }
        return a.y1 != b.y1 ? a.y1 < b.y1 : a.y2 < b.y2;
    };
    if (!std::is_sorted(rules.begin(), rules.end(), before)) {  // separators often come in order of x
        std::sort(rules.begin(), rules.end(), before);
    }
}

PageBox snap_to_rules(const PageBox& box, std::span<const ColumnRule> rules, const ProfileOptions& options) noexcept {
    return snap_to_rules_right_of(box, rules.subspan(first_rule_right_of(rules, box.x1)), options);
}

PageBox snap_to_rules_right_of(const PageBox& box, std::span<const ColumnRule> rules,
                               const ProfileOptions& options) noexcept {
    // The rules with x1 < c, in order of c, up to the first with c >= x2.
    auto it = rules.begin();
    if (it == rules.end() || !(it->c < box.x2)) {
        return box;  // no rule crosses the box: most boxes
    }
    PageBox out = box;
    const double w = box.x2 - box.x1;
    const double h = box.y2 - box.y1;
    for (; it != rules.end() && it->c < box.x2; ++it) {
        if (std::min(box.y2, it->y2) - std::max(box.y1, it->y1) >= options.rule_along * h) {
            if (it->c - box.x1 <= options.rule_edge * w) {
                out.x1 = std::max(out.x1, it->c);
            } else if (box.x2 - it->c <= options.rule_edge * w) {
                out.x2 = std::min(out.x2, it->c);
            }
        }
    }
    return out;
}

namespace {

// Two boxes apart from left to right whose shared height is at least
// kLevelShare of the shorter one's: the test has_columns makes of each pair
// it looks at.
bool apart_and_level(const PageBox& a, const PageBox& b, double level) noexcept {
    return (a.x2 <= b.x1 || b.x2 <= a.x1) && level >= kLevelShare * std::min(a.y2 - a.y1, b.y2 - b.y1);
}

// The same, level by more than nothing too: a pair has_columns finds.
bool side_by_side(const PageBox& a, const PageBox& b) noexcept {
    const double level = std::min(a.y2, b.y2) - std::max(a.y1, b.y1);
    return level > 0 && apart_and_level(a, b, level);
}

}  // namespace

Band split_spread(std::span<const PageBox> boxes, std::span<std::uint32_t> good, const PageBox& frame,
                  const ProfileOptions& options, Scratch& scratch, std::size_t& left) {
    left = 0;
    const double width = frame.x2 - frame.x1;
    const double height = frame.y2 - frame.y1;
    if (!options.spread || good.empty() || !(width > height) || !(height > 0)) {
        return {0.0, frame.x1};
    }
    // The shrink of one page of the spread, on the left and right only.
    const double dx = options.tolerance ? options.tol_x * width / 2 : 0.0;
    const double centre = (frame.x1 + frame.x2) / 2;
    const double lo = centre - options.spread_window * width;
    const double hi = centre + options.spread_window * width;
    // The boxes that reach into the window, collected without a branch on
    // each (most boxes of a spread lie on one side of it).
    const std::span<double> middle = room_for(scratch.keys, boxes.size());
    const std::span<std::pair<double, double>> intervals = room_for(scratch.intervals, good.size());
    std::size_t inside = 0;
    for (const std::uint32_t k : good) {
        const PageBox t = tolerant_box(normalised(boxes[k]), dx, 0.0);
        middle[k] = (t.x1 + t.x2) / 2;
        intervals[inside] = {t.x1, t.x2};
        inside += static_cast<std::size_t>(t.x2 > lo) & static_cast<std::size_t>(t.x1 < hi);
    }
    const Band fold = widest_empty_band(intervals.first(inside), lo, hi);
    if (!(fold.width > 0)) {
        return fold;
    }
    // Two pages stand side by side, each set in its own columns; an empty
    // middle beside which no page shows two columns is a two-column page
    // (a paper's last page, whose columns end halfway down, is landscape
    // when the boxes' union is its frame) or a slide. A quick look first:
    // the tallest box against the others of its page (a box of one column
    // mostly stands level with one of the next); it finds only pairs that
    // has_columns finds too, so the answer is has_columns'.
    std::uint32_t tallest = good.front();
    double tallest_height = -1.0;
    for (const std::uint32_t k : good) {
        const double height_k = std::fabs(boxes[k].y2 - boxes[k].y1);
        if (height_k > tallest_height) {
            tallest_height = height_k;
            tallest = k;
        }
    }
    const auto shrunk = [&](std::uint32_t k) { return tolerant_box(normalised(boxes[k]), dx, 0.0); };
    const PageBox anchor = shrunk(tallest);
    const bool anchor_left = middle[tallest] < fold.middle;
    bool columns = false;
    for (const std::uint32_t k : good) {
        // (not the tallest box itself: one of no width is apart from itself)
        if (k != tallest && (middle[k] < fold.middle) == anchor_left && side_by_side(anchor, shrunk(k))) {
            columns = true;
            break;
        }
    }
    if (!columns) {
        // The left page's boxes from the front of `sides`, the right page's
        // from its back.
        const std::span<PageBox> sides = room_for(scratch.sides, good.size());
        std::size_t front = 0;
        std::size_t back = good.size();
        for (const std::uint32_t k : good) {
            (middle[k] < fold.middle ? sides[front++] : sides[--back]) = shrunk(k);
        }
        columns = has_columns(sides.first(front)) || has_columns(sides.subspan(front));
    }
    if (!columns) {
        return {0.0, frame.x1};
    }
    left = partition_stably(good, [&](std::uint32_t k) { return middle[k] < fold.middle; }, scratch);
    return fold;
}

bool has_columns(std::span<PageBox> boxes) {
    std::sort(boxes.begin(), boxes.end(), [](const PageBox& a, const PageBox& b) {
        return std::tie(a.y1, a.x1, a.y2, a.x2) < std::tie(b.y1, b.x1, b.y2, b.x2);
    });
    // Sorted by top, the boxes level with one follow it up to the first
    // that starts below its bottom. The pairs looked at are bounded: on a
    // page of boxes heaped on each other, the side counts as set in columns
    // (the spread is split, as it was before the test).
    std::size_t budget = kColumnPairs * boxes.size() + kColumnPairs;
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const PageBox& a = boxes[i];
        for (std::size_t j = i + 1; j < boxes.size() && boxes[j].y1 < a.y2; ++j) {
            if (budget-- == 0) {
                return true;
            }
            const PageBox& b = boxes[j];
            if (apart_and_level(a, b, std::min(a.y2, b.y2) - b.y1)) {
                return true;
            }
        }
    }
    return false;
}

Band split_top_strip(std::span<const PageBox> tb, std::span<const PageBox> raw, std::span<std::uint32_t> set,
                     const PageBox& frame, const ProfileOptions& options, Scratch& scratch, std::size_t& taken) {
    taken = 0;
    if (!options.top_strip || set.size() < 2) {
        return {0.0, 0.0};
    }
    double top = tb[set.front()].y1;
    for (const std::uint32_t k : set.subspan(1)) {
        top = std::min(top, tb[k].y1);
    }
    return split_top_strip(tb, raw, set, top, frame, options, scratch, taken);
}

Band split_top_strip(std::span<const PageBox> tb, std::span<const PageBox> raw, std::span<std::uint32_t> set,
                     double top, const PageBox& frame, const ProfileOptions& options, Scratch& scratch,
                     std::size_t& taken) {
    taken = 0;
    if (!options.top_strip) {
        return {0.0, 0.0};
    }
    return strip_at_top(tb, raw, false, set, top, frame, options, scratch, taken);
}

Band strip_at_top(std::span<const PageBox> tb, std::span<const PageBox> raw, bool upside, std::span<std::uint32_t> set,
                  double top, const PageBox& frame, const ProfileOptions& options, Scratch& scratch,
                  std::size_t& taken) {
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

PageBox share_shrunk(const PageBox& box, double dx, double dy, const ProfileOptions& options) noexcept {
    return tolerant_box(box, dx, std::min(dy, options.shrink_share * (box.y2 - box.y1)));
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

void insert_footnotes(std::vector<std::uint32_t>& main, std::span<std::uint32_t> footnotes,
                      std::span<const PageBox> boxes, Scratch& scratch) {
    const auto box = [&boxes](std::uint32_t k) { return normalised(boxes[k]); };
    std::sort(footnotes.begin(), footnotes.end(), TopThenLeft{boxes});
    const std::size_t n = main.size();
    // The last place in `main` of a box whose top is above t: the places
    // sorted by the tops of their boxes, each holding the greatest place
    // among it and those before it.
    std::vector<std::pair<double, std::uint32_t>>& tops = scratch.tops;
    tops.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        tops[p] = {box(main[p]).y1, static_cast<std::uint32_t>(p)};
    }
    std::sort(tops.begin(), tops.end());
    for (std::size_t j = 1; j < n; ++j) {
        tops[j].second = std::max(tops[j].second, tops[j - 1].second);
    }
    const auto last_above = [&](double t) -> std::size_t {
        const auto end = std::lower_bound(tops.begin(), tops.end(), t,
                                          [](const std::pair<double, std::uint32_t>& e, double v) { return e.first < v; });
        return end == tops.begin() ? n : std::prev(end)->second;
    };
    const auto across = [](const PageBox& a, const PageBox& b) { return std::min(a.x2, b.x2) > std::max(a.x1, b.x1); };
    const bool by_column = footnotes.size() * n <= kFootnoteWork;
    const std::span<std::uint32_t> anchor = room_for(scratch.aside, footnotes.size());
    for (std::size_t i = 0; i < footnotes.size(); ++i) {
        const PageBox f = box(footnotes[i]);
        std::size_t at = last_above(f.y1);
        // Text beside the footnote: it ends a column, and follows the last
        // box above it in that column.
        bool beside = false;
        for (std::size_t p = 0; by_column && p < n && !beside; ++p) {
            const PageBox b = box(main[p]);
            beside = std::min(b.y2, f.y2) > std::max(b.y1, f.y1) && !across(b, f);
        }
        for (std::size_t p = n; beside && p > 0; --p) {
            const PageBox b = box(main[p - 1]);
            if (b.y1 < f.y1 && across(b, f)) {
                at = p - 1;
                break;
            }
        }
        anchor[i] = static_cast<std::uint32_t>(at);
    }
    // main with each footnote after its box, those after one box (or at the
    // end, with no box above them) in their sorted order: the footnotes
    // sorted by anchor (n: at the end), then merged in after their places.
    const std::span<std::uint32_t> out = room_for(scratch.indices, n + footnotes.size());
    const std::span<std::uint32_t> sorted = room_for(scratch.sorted, footnotes.size());
    std::vector<std::uint32_t>& ends = scratch.ends;
    sort_into_buckets<std::uint32_t>(footnotes, anchor, n + 1, ends, sorted);
    std::size_t w = 0;
    std::size_t next = 0;
    for (std::size_t p = 0; p < n; ++p) {
        out[w++] = main[p];
        for (; next < ends[p]; ++next) {
            out[w++] = sorted[next];
        }
    }
    for (; next < footnotes.size(); ++next) {
        out[w++] = sorted[next];
    }
    main.assign(out.begin(), out.end());
}

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

void article_lines(std::span<const PageBox> tb, std::span<const PageBox> raw, std::span<const std::uint32_t> main,
                   std::span<const std::uint8_t> roles, const ProfileOptions& options, Scratch& scratch) {
    std::vector<double>& lines = scratch.lines;
    lines.clear();
    const auto role = [&roles](std::uint32_t k) { return role_of(roles[k]); };
    // The widest heading, and the width and height of each body box (in the
    // order of `main`, in which every sum of heights here is taken).
    double widest = -std::numeric_limits<double>::infinity();
    bool headings = false;
    double total = 0.0;
    std::vector<std::pair<double, double>>& bodies = scratch.intervals;
    bodies.clear();
    for (const std::uint32_t k : main) {
        const PageBox b = normalised(raw[k]);
        if (role(k) == Role::Heading) {
            headings = true;
            widest = std::max(widest, b.x2 - b.x1);
        } else if (role(k) == Role::Body) {
            bodies.emplace_back(options.article_span * (b.x2 - b.x1), b.y2 - b.y1);
            total += b.y2 - b.y1;
        }
    }
    // Whether a heading `width` wide is wider than the text's columns: the
    // body boxes at most 1/article_span as wide hold kArticleShare of their
    // height. The sum only grows with the width (its terms are heights,
    // never negative, and a rounded sum of more of them is never less), so
    // the answer is kept as the narrowest width found wide and the widest
    // found not: most headings of a page are then answered without a pass.
    std::optional<double> known_wide;
    std::optional<double> known_not;
    const auto wide = [&](double width) {
        if (known_wide && width >= *known_wide) {
            return true;
        }
        if (known_not && width <= *known_not) {
            return false;
        }
        double narrower = 0.0;
        for (const auto& [span, height] : bodies) {
            narrower += span <= width ? height : 0.0;
        }
        const bool is_wide = narrower >= kArticleShare * total;
        (is_wide ? known_wide : known_not) = width;
        return is_wide;
    };
    // When the widest heading is not wide enough none is: most pages end here.
    if (!headings || bodies.empty() || !wide(widest)) {
        return;
    }
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    constexpr std::uint32_t kNone = UINT32_MAX;
    std::size_t work = 0;
    for (const std::uint32_t h : main) {
        if (role(h) != Role::Heading) {
            continue;
        }
        if (work > kArticleWork) {
            break;
        }
        work += main.size();
        const PageBox head = normalised(raw[h]);
        if (!wide(head.x2 - head.x1)) {
            continue;
        }
        const double height = head.y2 - head.y1;
        const double level = head.y1 - 0.5 * height;
        // A clear band between the boxes that start above the level and the
        // others, as given: the shrink opens a gap between any two lines of
        // a column, so that a page given as text lines would show a band
        // under every line.
        bool any_above = false;
        double above_foot = -kInfinity;
        double below_top = kInfinity;
        for (const std::uint32_t k : main) {
            const PageBox b = normalised(raw[k]);
            if (b.y1 < level) {
                any_above = true;
                above_foot = std::max(above_foot, b.y2);
            } else {
                below_top = std::min(below_top, b.y1);
            }
        }
        if (!any_above || !(above_foot <= below_top)) {
            continue;
        }
        // Two boxes side by side starting just below it: of those boxes, the
        // one that ends leftmost and the one that starts rightmost (the
        // runners-up too, for when one box is both).
        double right[2] = {kInfinity, kInfinity};
        double left[2] = {-kInfinity, -kInfinity};
        std::uint32_t right_box = kNone;
        std::uint32_t left_box = kNone;
        for (const std::uint32_t k : main) {
            if (k == h || role(k) == Role::Heading) {
                continue;
            }
            const PageBox b = normalised(raw[k]);
            if (!(head.y2 - 0.5 * height <= b.y1 && b.y1 <= head.y2 + 2 * height)) {
                continue;
            }
            if (tb[k].x2 < right[0]) {
                right[1] = right[0];
                right[0] = tb[k].x2;
                right_box = k;
            } else {
                right[1] = std::min(right[1], tb[k].x2);
            }
            if (tb[k].x1 > left[0]) {
                left[1] = left[0];
                left[0] = tb[k].x1;
                left_box = k;
            } else {
                left[1] = std::max(left[1], tb[k].x1);
            }
        }
        const bool side_by_side = right_box != left_box ? right[0] <= left[0]
                                                        : right[1] <= left[0] || right[0] <= left[1];
        if (!side_by_side) {
            continue;
        }
        lines.push_back(level);
    }
    std::sort(lines.begin(), lines.end());
}

std::size_t row_bands(std::span<const PageBox> raw, std::span<const std::uint32_t> main,
                      std::span<const ColumnRule> rules, double height, const ProfileOptions& options,
                      Scratch& scratch) {
    const std::size_t n = main.size();
    if (n < 2 || n > kBandBoxes) {
        return 0;
    }
    // The boxes by their tops (then by index, so that equal tops keep one
    // order): sorted as keys, the top as an ordered integer above the index,
    // which move and compare more cheaply than the boxes.
    const std::span<KeyedIndex> keys = room_for(scratch.top_keys, n);
    for (std::size_t i = 0; i < n; ++i) {
        keys[i] = keyed_index(ordered_bits(normalised(raw[main[i]]).y1), main[i]);
    }
    std::sort(keys.begin(), keys.end());
    std::vector<SweptBox>& by_top = scratch.swept;
    by_top.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t k = index_of(keys[i]);
        by_top[i] = SweptBox{normalised(raw[k]), k};
    }
    // The bands at least band_min of the page tall that no rule crosses, as
    // (height, level): the boxes above a band end before the next top.
    const auto crossed = [&rules](double middle) {
        return std::any_of(rules.begin(), rules.end(),
                           [middle](const ColumnRule& r) { return r.y1 < middle && middle < r.y2; });
    };
    std::vector<std::pair<double, double>>& bands = scratch.intervals;
    bands.clear();
    const double least = options.band_min * height;
    double reach = by_top.front().box.y2;
    for (std::size_t i = 1; i < n; ++i) {
        const double top = by_top[i].box.y1;
        const double gap = top - reach;
        if (gap >= least && gap > 0 && !crossed((reach + top) / 2)) {
            bands.emplace_back(gap, top);
        }
        reach = std::max(reach, by_top[i].box.y2);
    }
    if (bands.empty()) {
        return 0;
    }
    // The typical gap in a column: from each box to the nearest box under it
    // (starting no higher than its middle) that shares some of its width. In
    // the order of the tops the first such box is the nearest: the gaps only
    // grow along that order.
    std::vector<double>& gaps = scratch.keys;
    gaps.clear();
    for (std::size_t p = 0; p < n; ++p) {
        const PageBox& b = by_top[p].box;
        const double middle = (b.y1 + b.y2) / 2;
        const auto under = std::partition_point(by_top.begin(), by_top.end(),
                                                [middle](const SweptBox& s) { return s.box.y1 < middle; });
        const auto self = by_top.begin() + static_cast<std::ptrdiff_t>(p);
        for (auto q = under; q != by_top.end(); ++q) {
            const PageBox& c = q->box;
            if (q != self && std::min(b.x2, c.x2) > std::max(b.x1, c.x1)) {
                gaps.push_back(std::max(0.0, c.y1 - b.y2));
                break;
            }
        }
    }
    double typical = 0.0;
    if (!gaps.empty()) {
        const auto middle = gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2);
        std::nth_element(gaps.begin(), middle, gaps.end());
        typical = *middle;
    }
    // (A band counts unless it is shorter: a threshold that is no number,
    // 0 times an infinite gap, asks nothing.)
    const double tall = options.band_ratio * typical;
    std::size_t count = 0;
    for (const auto& [gap, top] : bands) {
        if (!(gap < tall)) {
            scratch.lines.push_back(top);
            ++count;
        }
    }
    return count;
}

void rows_in_turn(std::vector<std::uint32_t>& order, std::span<const double> lines, std::span<const PageBox> raw,
                  Scratch& scratch) {
    // The row of a box is the number of lines at or above its top.
    const std::span<std::uint32_t> rows = room_for(scratch.rows, order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        const double top = normalised(raw[order[i]]).y1;
        rows[i] = static_cast<std::uint32_t>(std::upper_bound(lines.begin(), lines.end(), top) - lines.begin());
    }
    const std::span<std::uint32_t> sorted = room_for(scratch.indices, order.size());
    sort_into_buckets<std::uint32_t>(order, rows, lines.size() + 1, scratch.ends, sorted);
    std::copy(sorted.begin(), sorted.end(), order.begin());
}

void cross_rules(std::span<const PageBox> separators, std::vector<PageBox>& out) {
    out.clear();
    for (const PageBox& sep : separators) {
        if (is_finite(sep)) {
            const PageBox b = normalised(sep);
            if (b.x2 - b.x1 > b.y2 - b.y1) {
                out.push_back(b);
            }
        }
    }
}

namespace {

// Whether the stretch of `run` (the boxes beside the line x of a pair, less
// the headings at its foot; each marked `mark` in `in_run`, by input index)
// is two columns of text, as gutter_walls says; sets `wall` when it is.
bool two_columns(std::span<const PageBox> tb, std::span<const std::uint32_t> set, std::span<const std::uint32_t> run,
                 std::span<const std::uint32_t> in_run, std::uint32_t mark, std::span<const std::uint8_t> roles,
                 double x, double scale, PageBox& wall) {
    struct Side {
        std::size_t boxes = 0;
        std::size_t body = 0;
        double x1 = std::numeric_limits<double>::infinity();
        double x2 = -std::numeric_limits<double>::infinity();
        std::uint32_t widest = 0;
        double widest_width = -1.0;
    };
    Side sides[2];
    double top = std::numeric_limits<double>::infinity();
    double bottom = -std::numeric_limits<double>::infinity();
    for (const std::uint32_t k : run) {
        const PageBox& b = tb[k];
        Side& side = sides[b.x2 <= x ? 0 : 1];
        ++side.boxes;
        side.body += role_of(roles[k]) == Role::Body ? 1 : 0;
        side.x1 = std::min(side.x1, b.x1);
        side.x2 = std::max(side.x2, b.x2);
        if (b.x2 - b.x1 > side.widest_width) {
            side.widest_width = b.x2 - b.x1;
            side.widest = k;
        }
        top = std::min(top, b.y1);
        bottom = std::max(bottom, b.y2);
    }
    if (sides[0].body < kGutterBody || sides[1].body < kGutterBody) {
        return false;
    }
    // The gutter: from the right edge of the left side to the left edge of
    // the right side.
    const double gl = sides[0].x2;
    const double gr = sides[1].x1;
    if (!((gr - gl) * scale >= kGutterLeast)) {
        return false;
    }
    const double widths[2] = {gl - sides[0].x1, sides[1].x2 - gr};
    if (!(std::min(widths[0], widths[1]) >= kGutterLike * std::max(widths[0], widths[1]))) {
        return false;
    }
    std::size_t full[2] = {0, 0};
    for (const std::uint32_t k : run) {
        const PageBox& b = tb[k];
        const int s = b.x2 <= x ? 0 : 1;
        const PageBox& w = tb[sides[s].widest];
        if (!(std::min(b.x2, w.x2) > std::max(b.x1, w.x1))) {
            return false;  // beside the column, not in it
        }
        full[s] += b.x2 - b.x1 >= kGutterFull * widths[s] ? 1 : 0;
    }
    for (int s = 0; s < 2; ++s) {
        if (static_cast<double>(full[s]) < kGutterFullShare * static_cast<double>(sides[s].boxes)) {
            return false;
        }
    }
    // Every other box of the set clear of the stretch by the band.
    const double band = kGutterBand / scale;
    for (const std::uint32_t k : set) {
        const PageBox& b = tb[k];
        if (in_run[k] != mark && !(b.y2 <= top - band || b.y1 >= bottom + band)) {
            return false;
        }
    }
    wall = PageBox{(gl + gr) / 2, top, (gl + gr) / 2, bottom};
    return true;
}

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::size_t gutter_walls(std::span<const PageBox> tb, std::span<const std::uint32_t> set,
                         std::span<const std::uint8_t> roles, std::span<const PageBox> separators, double scale,
                         Scratch& scratch, std::vector<PageBox>& walls) {
    if (set.size() < 4 || set.size() > kGutterBoxes || roles.empty()) {
        return 0;
    }
    // Two columns of text: the median width of the body boxes (the one at
    // index n / 2 of their n widths sorted) within kGutterColumn of the
    // width of all. Counted rather than sorted: it is at least `low` when at
    // most n / 2 widths are below it, and at most `high` when at most
    // n - 1 - n / 2 are above it.
    std::size_t body = 0;
    double least = tb[set.front()].x1;
    double most = tb[set.front()].x2;
    for (const std::uint32_t k : set) {
        least = std::min(least, tb[k].x1);
        most = std::max(most, tb[k].x2);
        body += role_of(roles[k]) == Role::Body ? 1 : 0;
    }
    if (body < 2 * kGutterBody) {
        return 0;
    }
    const double low = kGutterColumn[0] * (most - least);
    const double high = kGutterColumn[1] * (most - least);
    std::size_t below = 0;
    std::size_t above = 0;
    for (const std::uint32_t k : set) {
        if (role_of(roles[k]) == Role::Body) {
            const double width = tb[k].x2 - tb[k].x1;
            below += width < low ? 1 : 0;
            above += width > high ? 1 : 0;
        }
    }
    if (below > body / 2 || above > body - 1 - body / 2) {
        return 0;
    }
    std::vector<PageBox>& crossings = scratch.crossings;
    cross_rules(separators, crossings);
    std::vector<std::pair<double, std::uint32_t>>& by_top = scratch.by_top;
    by_top.clear();
    for (const std::uint32_t k : set) {
        by_top.emplace_back(tb[k].y1, k);
    }
    std::sort(by_top.begin(), by_top.end());
    scratch.tried.assign(tb.size(), 0U);
    std::vector<std::uint32_t>& run = scratch.stretch;
    // Each stretch tried as a box: the gutter its boxes leave around the
    // line (x1 the right edge of those left of it, x2 the left edge of those
    // right of it) and its extent along the line (y1, y2).
    std::vector<PageBox>& tried = scratch.stretches;
    tried.clear();
    const std::size_t first = walls.size();
    std::uint32_t mark = 0;
    const auto try_pair = [&](std::uint32_t a, std::uint32_t b) {
        const PageBox& A = tb[a];
        const PageBox& B = tb[b];
        const double x = (A.x2 + B.x1) / 2;
        const double mid = (std::max(A.y1, B.y1) + std::min(A.y2, B.y2)) / 2;
        for (const PageBox& t : tried) {
            if (t.x1 <= x && x <= t.x2 && t.y1 < mid && mid < t.y2) {
                return;  // the gutter of a stretch tried
            }
        }
        double lo = -std::numeric_limits<double>::infinity();
        double hi = std::numeric_limits<double>::infinity();
        const auto bound = [&](double c1, double c2) {
            if (c2 <= mid) {
                lo = std::max(lo, c2);
            } else if (c1 >= mid) {
                hi = std::min(hi, c1);
            } else {
                return false;  // a box or rule across the line beside the pair
            }
            return true;
        };
        for (const std::uint32_t k : set) {
            if (tb[k].x1 < x && x < tb[k].x2 && !bound(tb[k].y1, tb[k].y2)) {
                return;
            }
        }
        for (const PageBox& r : crossings) {
            if (r.x1 < x && x < r.x2 && !bound(r.y1, r.y2)) {
                return;
            }
        }
        run.clear();
        ++mark;
        PageBox stretch{-std::numeric_limits<double>::infinity(), lo, std::numeric_limits<double>::infinity(), hi};
        for (const std::uint32_t k : set) {
            const PageBox& c = tb[k];
            if (!(c.x1 < x && x < c.x2) && std::min(hi, c.y2) > std::max(lo, c.y1)) {
                run.push_back(k);
                scratch.tried[k] = mark;
                if (c.x2 <= x) {
                    stretch.x1 = std::max(stretch.x1, c.x2);
                } else {
                    stretch.x2 = std::min(stretch.x2, c.x1);
                }
            }
        }
        tried.push_back(stretch);
        // The headings at the stretch's foot head what follows it.
        while (!run.empty()) {
            std::size_t last = 0;
            for (std::size_t r = 1; r < run.size(); ++r) {
                const PageBox& c = tb[run[r]];
                const PageBox& l = tb[run[last]];
                if (c.y2 > l.y2 || (c.y2 == l.y2 && run[r] > run[last])) {
                    last = r;
                }
            }
            if (role_of(roles[run[last]]) != Role::Heading) {
                break;
            }
            scratch.tried[run[last]] = 0;
            run.erase(run.begin() + static_cast<std::ptrdiff_t>(last));
        }
        PageBox wall{};
        if (!two_columns(tb, set, run, scratch.tried, mark, roles, x, scale, wall)) {
            return;
        }
        const bool standing =
            std::any_of(walls.begin() + static_cast<std::ptrdiff_t>(first), walls.end(), [&](const PageBox& w) {
                return w.x1 == wall.x1 && w.y1 == wall.y1 && w.x2 == wall.x2 && w.y2 == wall.y2;
            });
        if (!standing) {
            walls.push_back(wall);
        }
    };
    for (std::size_t i = 0; i < by_top.size(); ++i) {
        // The nearest boxes right and left of box p among those that start
        // within its height (the first of equally near ones).
        const std::uint32_t p = by_top[i].second;
        const PageBox& P = tb[p];
        std::uint32_t right = kNone;
        std::uint32_t left = kNone;
        for (std::size_t j = i + 1; j < by_top.size() && by_top[j].first < P.y2; ++j) {
            const std::uint32_t q = by_top[j].second;
            const PageBox& Q = tb[q];
            if (!(Q.y1 < Q.y2)) {
                continue;
            }
            if (P.x2 < Q.x1) {
                if (right == kNone || Q.x1 < tb[right].x1) {
                    right = q;
                }
            } else if (Q.x2 < P.x1) {
                if (left == kNone || Q.x2 > tb[left].x2) {
                    left = q;
                }
            }
        }
        if (right != kNone) {
            try_pair(p, right);
        }
        if (left != kNone) {
            try_pair(left, p);
        }
    }
    return walls.size() - first;
}

void rule_walls(std::span<const ColumnRule> rules, std::span<const PageBox> tb, std::span<const std::uint32_t> set,
                const PageBox& frame, std::vector<PageBox>& walls) {
    walls.clear();
    if (rules.empty() || set.empty()) {
        return;
    }
    double left = tb[set.front()].x1;
    double top = tb[set.front()].y1;
    double right = tb[set.front()].x2;
    double bottom = tb[set.front()].y2;
    for (const std::uint32_t k : set) {
        left = std::min(left, tb[k].x1);
        top = std::min(top, tb[k].y1);
        right = std::max(right, tb[k].x2);
        bottom = std::max(bottom, tb[k].y2);
    }
    const double trim = kRuleTrim * (frame.y2 - frame.y1);
    for (const ColumnRule& r : rules) {
        if (left < r.c && r.c < right && r.y1 < bottom && r.y2 > top && r.y2 - r.y1 > 2 * trim) {
            walls.push_back({r.c, r.y1 + trim, r.c, r.y2 - trim});
        }
    }
}

void merge_by_top(std::span<const std::uint32_t> main, std::span<std::uint32_t> notes, std::span<const PageBox> boxes,
                  std::vector<std::uint32_t>& out) {
    const auto top = [&boxes](std::uint32_t k) { return std::min(boxes[k].y1, boxes[k].y2); };
    std::sort(notes.begin(), notes.end(), TopThenLeft{boxes});
    std::size_t next = 0;
    for (const std::uint32_t m : main) {
        while (next < notes.size() && top(notes[next]) < top(m)) {
            out.push_back(notes[next++]);
        }
        out.push_back(m);
    }
    out.insert(out.end(), notes.begin() + static_cast<std::ptrdiff_t>(next), notes.end());
}

bool continues_paragraph(const PageBox& a, const PageBox& b) noexcept {
    const double ha = a.y2 - a.y1;
    const double hb = b.y2 - b.y1;
    const double h = std::min(ha, hb);
    return std::min(a.x2, b.x2) - std::max(a.x1, b.x1) > 0.5 * std::min(a.x2 - a.x1, b.x2 - b.x1) &&
           a.y1 <= b.y1 && b.y1 <= a.y2 + 0.8 * h && b.x1 <= a.x1 + 0.5 * h && a.x2 >= b.x2 - h &&
           hb <= 2.5 * ha && ha <= 2.5 * hb;
}

// The box of `main` that note `n` heads (see merge_notes), or kNoGroup.
std::uint32_t headed_box(const PageBox& n, std::span<const std::uint32_t> main, std::span<const PageBox> boxes,
                         double lead) noexcept {
    for (const std::uint32_t k : main) {
        const PageBox b = normalised(boxes[k]);
        if ((n.x1 + n.x2) / 2 < b.x1 && 0 <= n.y1 - b.y1 && n.y1 - b.y1 <= lead && n.y1 < b.y2 &&
            b.x2 - b.x1 < 6 * (b.y2 - b.y1)) {
            return k;
        }
    }
    return kNoGroup;
}

NotesPlaced merge_notes(std::span<const std::uint32_t> main, std::span<std::uint32_t> notes,
                        std::span<const PageBox> boxes, std::span<const std::uint8_t> roles, double lead,
                        Scratch& scratch, std::vector<std::uint32_t>& out) {
    if (notes.size() > kMostNotes) {
        merge_by_top(main, notes, boxes, out);
        return {};
    }
    const auto box = [&boxes](std::uint32_t k) { return normalised(boxes[k]); };
    std::sort(notes.begin(), notes.end(), TopThenLeft{boxes});
    // The blocks: block[i] is the block of notes[i]; each block's last note,
    // its extent and its size.
    struct Block {
        std::uint32_t last;
        PageBox extent;
        std::uint32_t size;
        bool alone_beside_lines = false;  // a labelled note alone, read as a block of one
    };
    std::vector<Block> blocks;
    blocks.reserve(notes.size());
    const std::span<std::uint32_t> block = room_for(scratch.rows, notes.size());
    for (std::size_t i = 0; i < notes.size(); ++i) {
        const PageBox n = box(notes[i]);
        std::size_t joined = blocks.size();
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const PageBox l = box(blocks[b].last);
            const PageBox& e = blocks[b].extent;
            if (std::min(n.x2, l.x2) > std::max(n.x1, l.x1) && l.y1 <= n.y1 &&
                n.y1 <= l.y2 + std::min(n.y2 - n.y1, l.y2 - l.y1) &&
                std::max(n.x2, e.x2) - std::min(n.x1, e.x1) <= 1.5 * (e.x2 - e.x1)) {
                joined = b;
                break;
            }
        }
        if (joined == blocks.size()) {
            blocks.push_back(Block{notes[i], n, 0});
        }
        Block& b = blocks[joined];
        b.last = notes[i];
        b.extent = {std::min(b.extent.x1, n.x1), b.extent.y1, std::max(b.extent.x2, n.x2), std::max(b.extent.y2, n.y2)};
        b.size += 1;
        block[i] = static_cast<std::uint32_t>(joined);
    }
    // Whether a box is a note: the notes, sorted by index.
    std::vector<std::uint32_t>& sorted_notes = scratch.indices;
    sorted_notes.assign(notes.begin(), notes.end());
    std::sort(sorted_notes.begin(), sorted_notes.end());
    const auto is_note = [&sorted_notes](std::uint32_t k) {
        return std::binary_search(sorted_notes.begin(), sorted_notes.end(), k);
    };
    // The text boxes of `seq` (its notes left out) level with a block that
    // spans `e`: their middles between its top and bottom and sharing less
    // than a fifth of its width. How many, how many of them lines (six times
    // as wide as tall), the first and last in `seq`, and the widest.
    struct Level {
        std::size_t count = 0;
        std::size_t lines = 0;
        std::size_t first = 0;
        std::size_t last = 0;
        double widest = 0.0;
        // A block is read whole beside text lines at least half of which are
        // lines, and when it is at most half as wide as the widest of them.
        bool beside_lines(const PageBox& e) const noexcept {
            return !(count == 0 || 2 * lines < count || e.x2 - e.x1 > 0.5 * widest);
        }
    };
    const auto level_with = [&box, &is_note](const PageBox& e, std::span<const std::uint32_t> seq) {
        Level l;
        for (std::size_t i = 0; i < seq.size(); ++i) {
            if (is_note(seq[i])) {
                continue;
            }
            const PageBox m = box(seq[i]);
            const double middle = (m.y1 + m.y2) / 2;
            if (e.y1 < middle && middle < e.y2 && std::min(m.x2, e.x2) - std::max(m.x1, e.x1) < 0.2 * (e.x2 - e.x1)) {
                l.first = l.count == 0 ? i : l.first;
                l.last = i;
                l.count += 1;
                l.lines += m.x2 - m.x1 >= 6 * (m.y2 - m.y1) ? 1 : 0;
                l.widest = l.count == 1 ? m.x2 - m.x1 : std::max(l.widest, m.x2 - m.x1);
            }
        }
        return l;
    };
    // The notes alone are merged by their top, but for the labelled ones
    // that head a box, and those beside text lines, read as blocks of one;
    // the blocks follow one by one.
    const std::span<std::uint32_t> alone = room_for(scratch.sorted, notes.size());
    auto& heads = scratch.heads;
    heads.clear();
    std::size_t singles = 0;
    for (std::size_t i = 0; i < notes.size(); ++i) {
        Block& b = blocks[block[i]];
        if (b.size != 1) {
            continue;
        }
        const std::uint32_t n = notes[i];
        const bool labelled = !roles.empty() && role_of(roles[n]) == Role::Marginal;
        const std::uint32_t target = labelled ? headed_box(box(n), main, boxes, lead) : kNoGroup;
        if (target != kNoGroup) {
            heads.emplace_back(target, static_cast<std::uint32_t>(i));
        } else if (labelled && level_with(b.extent, main).beside_lines(b.extent)) {
            b.alone_beside_lines = true;
        } else {
            alone[singles++] = n;
        }
    }
    if (heads.empty()) {
        merge_by_top(main, alone.first(singles), boxes, out);
    } else {
        // Each box's notes before it, by their place among the sorted notes.
        std::sort(heads.begin(), heads.end());
        std::vector<std::uint32_t>& merged = scratch.ends;
        merged.clear();
        merge_by_top(main, alone.first(singles), boxes, merged);
        for (const std::uint32_t k : merged) {
            auto h = std::lower_bound(heads.begin(), heads.end(), std::pair<std::uint32_t, std::uint32_t>{k, 0});
            for (; h != heads.end() && h->first == k; ++h) {
                out.push_back(notes[h->second]);
            }
            out.push_back(k);
        }
    }
    std::vector<std::uint32_t>& members = scratch.aside;
    std::vector<std::uint32_t>& spare = scratch.ends;
    std::size_t whole = 0;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        if (blocks[b].size < 2 && !blocks[b].alone_beside_lines) {
            continue;
        }
        members.clear();
        for (std::size_t i = 0; i < notes.size(); ++i) {
            if (block[i] == b) {
                members.push_back(notes[i]);
            }
        }
        // (its top is its first note's: the notes go by their tops)
        const PageBox& e = blocks[b].extent;
        const Level level = level_with(e, out);
        if (!level.beside_lines(e)) {
            spare.clear();
            merge_by_top(out, members, boxes, spare);
            out.swap(spare);
            continue;
        }
        const PageBox f = box(out[level.first]);
        std::size_t at = level.first;
        if (!((e.x1 + e.x2) / 2 < (f.x1 + f.x2) / 2 &&
              (level.first == 0 || !continues_paragraph(box(out[level.first - 1]), f)))) {
            at = level.last;
            while (at + 1 < out.size() && continues_paragraph(box(out[at]), box(out[at + 1]))) {
                ++at;
            }
            ++at;
        }
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), members.begin(), members.end());
        whole += 1;
    }
    return {whole, heads.size()};
}

void place_initials(std::vector<std::uint32_t>& body, std::span<std::uint32_t> initials,
                    std::span<const PageBox> boxes, std::span<const std::uint8_t> roles, Scratch& scratch,
                    std::vector<std::uint32_t>& out) {
    const auto box = [&boxes](std::uint32_t k) { return normalised(boxes[k]); };
    std::sort(initials.begin(), initials.end(), TopThenLeft{boxes});
    const auto is_text = [&roles](std::uint32_t k) {
        const Role role = role_of(roles[k]);
        return role == Role::Body || role == Role::Heading;
    };
    // (box begun, rank of the initial among the sorted ones), then sorted so
    // that each box finds its initials together, in their order.
    auto& begun = scratch.pairs;
    begun.clear();
    const std::span<std::uint32_t> unplaced = room_for(scratch.indices, initials.size());
    std::size_t left = 0;
    for (std::size_t i = 0; i < initials.size(); ++i) {
        const PageBox d = box(initials[i]);
        const double width = d.x2 - d.x1;
        std::uint32_t found = kNoGroup;
        if (initials.size() <= kMostInitials) {
            // One pass over the text: the box holding most of it, and the
            // nearest box beside it on the right, level with it (the higher
            // of equally near ones; the first of equals for both).
            double most = 0.0;
            std::uint32_t holder = kNoGroup;
            double nearest = 0.0;
            double nearest_top = 0.0;
            std::uint32_t beside = kNoGroup;
            for (const std::uint32_t k : body) {
                if (!is_text(k)) {
                    continue;
                }
                const PageBox a = box(k);
                const double shared = std::max(0.0, std::min(d.x2, a.x2) - std::max(d.x1, a.x1)) *
                                      std::max(0.0, std::min(d.y2, a.y2) - std::max(d.y1, a.y1));
                if (shared > most) {
                    most = shared;
                    holder = k;
                }
                const double gap = a.x1 - d.x2;
                if (a.x1 >= (d.x1 + d.x2) / 2 && gap <= width && std::min(d.y2, a.y2) > std::max(d.y1, a.y1) &&
                    (beside == kNoGroup || gap < nearest || (gap == nearest && a.y1 < nearest_top))) {
                    beside = k;
                    nearest = gap;
                    nearest_top = a.y1;
                }
            }
            // It begins the box holding at least half of it, else the one
            // beside it (a box of no area is held by no box).
            found = holder != kNoGroup && most >= 0.5 * width * (d.y2 - d.y1) ? holder : beside;
        }
        if (found == kNoGroup) {
            unplaced[left++] = initials[i];
        } else {
            begun.emplace_back(found, static_cast<std::uint32_t>(i));
        }
    }
    std::sort(begun.begin(), begun.end());
    out.clear();
    if (begun.empty()) {
        out.swap(body);
    } else {
        for (const std::uint32_t k : body) {
            auto it = std::lower_bound(begun.begin(), begun.end(), std::make_pair(k, std::uint32_t{0}));
            for (; it != begun.end() && it->first == k; ++it) {
                out.push_back(initials[it->second]);
            }
            out.push_back(k);
        }
    }
    // An initial that begins no box is merged back by its top.
    if (left > 0) {
        body.clear();
        merge_by_top(out, unplaced.first(left), boxes, body);
    } else {
        body.swap(out);
    }
}

bool is_permutation_of(std::span<const std::uint32_t> order, std::size_t n) {
    std::vector<std::uint32_t> marks;
    return is_permutation_of(order, n, marks);
}

bool is_permutation_of(std::span<const std::uint32_t> order, std::size_t n, std::vector<std::uint32_t>& marks) {
    if (order.size() != n) {
        return false;
    }
    marks.assign(n, 0U);
    for (const std::uint32_t k : order) {
        if (k >= n || marks[k] != 0) {
            return false;
        }
        marks[k] = 1U;
    }
    return true;
}

namespace {

constexpr std::uint32_t kInvalid = UINT32_MAX;

// The input indices of the part at `positions` (positions into the part).
void append_part(std::span<const std::uint32_t> part, std::span<const std::uint32_t> positions,
                 std::vector<std::uint32_t>& out, std::size_t walls = 0) {
    // Room for every position first, then each written in place: no
    // capacity check for each box.
    std::size_t at = out.size();
    out.resize(at + positions.size());
    for (const std::uint32_t p : positions) {
        if (p < part.size()) {
            out[at++] = part[p];
        } else if (p - part.size() >= walls) {
            out[at++] = kInvalid;
        }
    }
    out.resize(at);
}

// ---- The profile's log lines ------------------------------------------------
//
// Each decision of a run, on the package's target at debug level, as the
// run makes it: a part's line comes before the engine's lines of that part.

constexpr std::string_view kProfileTarget = "quorlinpy";
const quorlin::log::TargetGate g_profile_gate{kProfileTarget};

template <std::uint32_t Line, class... Values>
void profile_log(std::string_view format, const Values&... values) noexcept {
    static constexpr quorlin::log::Site kWhere{kProfileTarget, "quorlin::engine::profile",
                                                "src/engine/profile/profile.cpp", Line};
    quorlin::log::emit(g_profile_gate, quorlin::log::Level::Debug, kWhere, format, values...);
}

// The line of a part handed to the engine.
void log_part(PartKind kind, std::size_t size, double dx, double dy) noexcept {
    const auto n = std::uint64_t{size};
    switch (kind) {
        case PartKind::Body:
            return profile_log<__LINE__>("[profile] part: {} boxes (body), shrunk by dx={:.1}, dy={:.1}", n, dx, dy);
        case PartKind::TopStrip:
            return profile_log<__LINE__>("[profile] part: {} boxes (top strip), shrunk by dx={:.1}, dy={:.1}", n, dx,
                                         dy);
        case PartKind::Head:
            return profile_log<__LINE__>("[profile] part: {} boxes (head), shrunk by dx={:.1}, dy={:.1}", n, dx, dy);
        case PartKind::Foot:
            return profile_log<__LINE__>("[profile] part: {} boxes (foot), shrunk by dx={:.1}, dy={:.1}", n, dx, dy);
        case PartKind::Numbers:
            return profile_log<__LINE__>("[profile] part: {} boxes (page numbers), shrunk by dx={:.1}, dy={:.1}", n,
                                         dx, dy);
        case PartKind::Footnotes:
            return profile_log<__LINE__>("[profile] part: {} boxes (footnotes), shrunk by dx={:.1}, dy={:.1}", n, dx,
                                         dy);
        case PartKind::FootLine:
            return profile_log<__LINE__>("[profile] part: {} boxes (foot line), shrunk by dx={:.1}, dy={:.1}", n, dx,
                                         dy);
        case PartKind::Initials:
            return profile_log<__LINE__>("[profile] part: {} boxes (drop capitals), shrunk by dx={:.1}, dy={:.1}", n,
                                         dx, dy);
        case PartKind::Captions:
            return profile_log<__LINE__>("[profile] part: {} boxes (captions), shrunk by dx={:.1}, dy={:.1}", n, dx,
                                         dy);
    }
}

// ---- Trace policies -----------------------------------------------------------
//
// A run tells its tracer what it decided, where the trace needs it; the
// algorithm never asks whether there is a trace. NoTrace keeps nothing: its
// hooks are empty and inlined away, and the engine runs without an observer.
// Tracing keeps a ProfileTrace.

struct NoTrace {
    std::size_t open_split(TraceKind /*kind*/, const Band& /*band*/, std::uint32_t /*depth*/,
                           const PageBox& /*frame*/) noexcept {
        return 0;
    }
    void split_middle(std::size_t /*split*/) noexcept {}
    void close_split(std::size_t /*split*/) noexcept {}
    std::uint32_t part_start() noexcept { return 0; }
    void single(std::uint32_t /*k*/) noexcept {}
    void sorted(std::span<const std::uint32_t> /*part*/) noexcept {}
    void part_end(std::uint32_t /*start*/, const TracePart& /*part*/) noexcept {}
    void margin_notes(std::span<const std::uint32_t> /*notes*/) noexcept {}
    void non_finite(std::span<const std::uint32_t> /*bad*/) noexcept {}

    // order(observer) orders the part, as positions into it.
    template <class Order>
    decltype(auto) engine(std::span<const std::uint32_t> /*part*/, std::uint32_t /*depth*/, Order order,
                          std::size_t /*walls*/, double /*scale*/) {
        return order(nullptr);
    }
};

// Passes the engine's reports on one part into the trace: positions shifted
// to the part's place in segment_order, depths below the part's own, box
// positions turned into input indices.
class PartRecorder final : public Observer {
public:
    // `walls` boxes follow the part's in the engine's table (the column
    // rules): they leave no trace, and the positions of the reports are
    // those of the part's boxes alone. The engine saw the boxes multiplied
    // by `scale`: its cuts are taken back to the page's units.
    PartRecorder(ProfileTrace& trace, std::span<const std::uint32_t> indices, std::uint32_t depth, std::size_t walls,
                 double scale)
        : trace_(trace), indices_(indices), base_(static_cast<std::uint32_t>(trace.segment_order.size())),
          depth_(depth), walls_(walls), first_event_(trace.events.size()), scale_(scale) {}

    void set_aside(std::span<const std::uint32_t> positions) noexcept override {
        record([&] {
            for (const std::uint32_t p : positions) {
                if (p < indices_.size()) {
                    trace_.set_aside.push_back(indices_[p]);
                } else if (p - indices_.size() >= walls_) {
                    trace_.set_aside.push_back(kInvalid);
                }
            }
        });
    }
    void all_cross_layout() noexcept override {
        record([&] { add(TraceKind::AllCrossLayout, CutAxis::Horizontal, 0.0F, 0.0F, 0, 0, 0, 0, {}); });
    }
    void cut(const CutReport& c) noexcept override {
        record([&] { add(TraceKind::Cut, c.axis, c.position, c.gap, c.lo, c.mid, c.hi, c.depth, c.bounds); });
    }
    void one_group(const CutReport& c) noexcept override {
        record([&] { add(TraceKind::OneGroup, c.axis, c.position, c.gap, c.lo, c.mid, c.hi, c.depth, c.bounds); });
    }
    void no_valid_cut(const FallbackReport& s) noexcept override {
        record([&] {
            add(TraceKind::NoValidCut, CutAxis::Horizontal, 0.0F, 0.0F, s.lo, s.lo, s.hi, s.depth, s.bounds);
        });
    }
    void segmented(std::span<const std::uint32_t> order) noexcept override {
        record([&] {
            append_part(indices_, order, trace_.segment_order, walls_);
            if (walls_ == 0) {
                return;
            }
            // How many walls stand before each position of the engine's order.
            walls_before_.assign(order.size() + 1, 0);
            for (std::size_t j = 0; j < order.size(); ++j) {
                const bool wall = order[j] >= indices_.size() && order[j] - indices_.size() < walls_;
                walls_before_[j + 1] = walls_before_[j] + (wall ? 1 : 0);
            }
        });
    }

    // Memory that ran out while recording is reported once the engine is
    // done; then the reports of a part with walls are taken to the positions
    // of its boxes, and a cut that only set walls apart, or a set of walls
    // alone, is left out.
    void check() {
        if (failed_) {
            throw std::bad_alloc();
        }
        if (walls_ == 0 || walls_before_.empty()) {
            return;
        }
        const auto moved = [this](std::uint32_t at) {
            const std::uint32_t j = std::min<std::uint32_t>(at - base_, static_cast<std::uint32_t>(walls_before_.size() - 1));
            return at - walls_before_[j];
        };
        std::size_t kept = first_event_;
        for (std::size_t e = first_event_; e < trace_.events.size(); ++e) {
            TraceEvent event = trace_.events[e];
            const bool had = event.lo < event.hi;
            event.lo = moved(event.lo);
            event.mid = moved(event.mid);
            event.hi = moved(event.hi);
            const bool split_walls = event.kind == TraceKind::Cut && (event.lo == event.mid || event.mid == event.hi);
            if ((had && event.lo == event.hi) || split_walls) {
                continue;
            }
            trace_.events[kept++] = event;
        }
        trace_.events.resize(kept);
    }

private:
    void add(TraceKind kind, CutAxis axis, float position, float gap, std::uint32_t lo, std::uint32_t mid,
             std::uint32_t hi, std::uint32_t depth, const Bounds& b) {
        const double s = scale_;
        trace_.events.push_back(TraceEvent{kind, axis, static_cast<float>(position / s), static_cast<float>(gap / s),
                                           base_ + lo, base_ + mid, base_ + hi, depth_ + depth,
                                           PageBox{b.left / s, b.top / s, b.right / s, b.bottom / s}});
    }
    template <class F>
    void record(F f) noexcept {
        quorlin::engine::keep_report(failed_, f);
    }

    ProfileTrace& trace_;
    std::span<const std::uint32_t> indices_;
    std::uint32_t base_;
    std::uint32_t depth_;
    std::size_t walls_;
    std::size_t first_event_;
    std::vector<std::uint32_t> walls_before_;
    double scale_;
    bool failed_ = false;
};

class Tracing {
public:
    explicit Tracing(ProfileTrace& trace) noexcept : trace_(trace) {}

    // A fold or a top strip: the event of the split, whose halves end at
    // split_middle() and close_split().
    std::size_t open_split(TraceKind kind, const Band& band, std::uint32_t depth, const PageBox& frame) {
        const std::uint32_t at = reach();
        const CutAxis axis = kind == TraceKind::Fold ? CutAxis::Vertical : CutAxis::Horizontal;
        trace_.events.push_back(TraceEvent{kind, axis, band.middle, band.width, at, at, at, depth, frame});
        return trace_.events.size() - 1;
    }
    void split_middle(std::size_t split) noexcept { trace_.events[split].mid = reach(); }
    void close_split(std::size_t split) noexcept { trace_.events[split].hi = reach(); }

    std::uint32_t part_start() noexcept { return reach(); }
    // A part of one box, which is its own segmentation.
    void single(std::uint32_t k) { trace_.segment_order.push_back(k); }
    // A part the profile ordered itself (the footnotes, by their top).
    void sorted(std::span<const std::uint32_t> part) {
        trace_.segment_order.insert(trace_.segment_order.end(), part.begin(), part.end());
    }
    void part_end(std::uint32_t start, TracePart part) {
        part.lo = start;
        part.hi = reach();
        trace_.parts.push_back(part);
    }
    void margin_notes(std::span<const std::uint32_t> notes) {
        trace_.margin_notes.insert(trace_.margin_notes.end(), notes.begin(), notes.end());
    }
    void non_finite(std::span<const std::uint32_t> bad) { trace_.non_finite.assign(bad.begin(), bad.end()); }

    template <class Order>
    decltype(auto) engine(std::span<const std::uint32_t> part, std::uint32_t depth, Order order, std::size_t walls,
                          double scale) {
        PartRecorder recorder(trace_, part, depth, walls, scale);
        decltype(auto) positions = order(&recorder);
        recorder.check();
        return positions;
    }

private:
    std::uint32_t reach() const noexcept { return static_cast<std::uint32_t>(trace_.segment_order.size()); }

    ProfileTrace& trace_;
};

// ---- The buffers a run borrows ------------------------------------------------

// What a thread keeps from run to run (Lent), each buffer sized for the page
// at the start of a run: none of them grows during it.
struct RunBuffers {
    Table table;                  // the engine's table of the part being ordered
    Workspace engine;             // the engine's buffers, for every part
    std::vector<PageBox> shrunk;  // the boxes of a page snapped and shrunk
    std::vector<std::uint32_t> good;
    std::vector<ColumnRule> rules;
    std::vector<std::uint32_t> main;
    std::vector<std::uint32_t> body;
    std::vector<std::uint32_t> notes;
    std::vector<std::uint32_t> group;  // by input index: the figure of a caption group, or kNoGroup
    std::vector<std::uint32_t> alone;  // the body's boxes the engine sees: a caption group as its figure
    std::vector<std::uint32_t> kept;   // the captions kept with their figures, which the engine does not see
    std::vector<PageBox> walls;        // the column rules and gutters handed to the engine with the body
    Scratch scratch;
};

class BorrowedBuffers {
public:
    explicit BorrowedBuffers(std::size_t n) : lent_(n) {
        shrunk = room_for(lent_->shrunk, n);
        group = room_for(lent_->group, n);
        lent_->rules.clear();  // a run without the rules step has none
        if (n >= 2) {
            lent_->table.edges.reserve(n);
            lent_->engine.reserve(n);
        }
    }

    RunBuffers* operator->() const noexcept { return lent_.operator->(); }

    std::span<PageBox> shrunk;  // by input index
    std::span<std::uint32_t> group;  // by input index

private:
    Lent<RunBuffers> lent_;
};

// ---- The algorithm ------------------------------------------------------------

// One run of the profile on one page. Every set of boxes is a run of one
// index array, which each split partitions in place.
template <class Tracer>
class ProfileRun {
public:
    ProfileRun(std::span<const PageBox> boxes, std::span<const std::uint8_t> roles, const ProfileOptions& options,
               Tracer tracer)
        : raw_(boxes), roles_(options.labels ? roles : std::span<const std::uint8_t>{}), options_(options),
          tracer_(tracer), buffers_(boxes.size()) {}

    std::vector<std::uint32_t> run(const PageBox* page_bounds, std::span<const PageBox> separators) {
        const auto n = static_cast<std::uint32_t>(raw_.size());
        const std::span<std::uint32_t> room = room_for(buffers_->good, n);
        std::vector<std::uint32_t> bad;
        std::size_t finite = 0;
        if (all_finite(raw_)) {  // nearly every page: no box to set aside
            std::iota(room.begin(), room.end(), 0U);
            finite = n;
        } else {
            for (std::uint32_t i = 0; i < n; ++i) {
                const bool ok = is_finite(raw_[i]);
                room[finite] = i;
                finite += ok ? 1 : 0;
                if (!ok) {
                    bad.push_back(i);
                }
            }
        }
        if (!bad.empty()) {
            profile_log<__LINE__>("[profile] not finite: {} boxes, read last", std::uint64_t{bad.size()});
        }
        std::span<std::uint32_t> good = room.first(finite);
        const PageBox frame = page_frame(page_bounds, raw_, good);
        if (options_.scale) {
            scale_ = engine_scale(frame);
            if (scale_ != 1.0) {
                profile_log<__LINE__>("[profile] scale: the engine's boxes x{:.0} (the page {:.1} long), its cuts "
                                      "below in those units",
                                      scale_, std::max(frame.x2 - frame.x1, frame.y2 - frame.y1));
            }
        }
        if (options_.rules) {
            column_rules(separators, frame, options_, buffers_->rules, buffers_->scratch.indices);
        }
        separators_ = separators;
        out_.reserve(n);
        std::size_t line = 0;
        const Band foot = foot_line(good, frame, line);
        std::size_t split_line = 0;
        std::uint32_t depth = 0;
        if (line > 0) {
            profile_log<__LINE__>("[profile] foot line: {} boxes below y={:.1} (gap={:.1}), read last",
                                  std::uint64_t{line}, foot.middle, foot.width);
            split_line = tracer_.open_split(TraceKind::FootLine, foot, 0, frame);
            depth = 1;
        }
        const std::span<std::uint32_t> pages = good.subspan(line);
        std::size_t left = 0;
        const Band fold = split_spread(raw_, pages, frame, options_, buffers_->scratch, left);
        if (fold.width > 0) {
            profile_log<__LINE__>("[profile] spread: fold at x={:.1} (gap={:.1}), {} boxes left, {} right",
                                  fold.middle, fold.width, std::uint64_t{left}, std::uint64_t{pages.size() - left});
            const std::size_t split = tracer_.open_split(TraceKind::Fold, fold, depth, frame);
            order_page(pages.first(left), PageBox{frame.x1, frame.y1, fold.middle, frame.y2}, depth + 1);
            tracer_.split_middle(split);
            order_page(pages.subspan(left), PageBox{fold.middle, frame.y1, frame.x2, frame.y2}, depth + 1);
            tracer_.close_split(split);
        } else {
            order_page(pages, frame, depth);
        }
        if (line > 0) {
            tracer_.split_middle(split_line);
            const std::span<std::uint32_t> strip = good.first(line);
            const auto [dx, dy] = half_shrink(frame);
            for (const std::uint32_t k : strip) {
                buffers_.shrunk[k] = share_shrunk(normalised(raw_[k]), dx, dy, options_);
            }
            order_part(strip, frame, 1, PartKind::FootLine, dx, dy, out_);
            tracer_.close_split(split_line);
        }
        out_.insert(out_.end(), bad.begin(), bad.end());
        tracer_.non_finite(bad);
        if (!is_permutation_of(out_, n, buffers_->scratch.indices)) {
            throw std::logic_error("the quality profile's order is not a permutation of the boxes");
        }
        return std::move(out_);
    }

private:
    // The shrink of a landscape page's boxes before it is split: of one page's width.
    std::pair<double, double> half_shrink(const PageBox& frame) const noexcept {
        if (!options_.tolerance) {
            return {0.0, 0.0};
        }
        return {options_.tol_x * (frame.x2 - frame.x1) / 2, options_.tol_y * (frame.y2 - frame.y1)};
    }

    // Step 4: on a landscape page, the thin strip at its foot (found as the
    // top strip of the page turned upside down) when it reaches across the
    // middle; moved to the front of `good`, its size in `taken`.
    Band foot_line(std::span<std::uint32_t> good, const PageBox& frame, std::size_t& taken) {
        taken = 0;
        const double width = frame.x2 - frame.x1;
        const double height = frame.y2 - frame.y1;
        if (!options_.foot_line || !options_.spread || good.size() < 2 || !(width > height) || !(height > 0)) {
            return {0.0, 0.0};
        }
        const auto [dx, dy] = half_shrink(frame);
        const std::span<PageBox> tb = buffers_.shrunk;
        double top = std::numeric_limits<double>::infinity();
        for (const std::uint32_t k : good) {
            tb[k] = upside_down(share_shrunk(normalised(raw_[k]), dx, dy, options_));
            top = std::min(top, tb[k].y1);
        }
        std::size_t count = 0;
        const Band band =
            strip_at_top(tb, raw_, true, good, top, upside_down(frame), options_, buffers_->scratch, count);
        if (count == 0) {
            return {0.0, 0.0};
        }
        double lo = std::numeric_limits<double>::infinity();
        double hi = -std::numeric_limits<double>::infinity();
        for (const std::uint32_t k : good.first(count)) {
            lo = std::min(lo, tb[k].x1);
            hi = std::max(hi, tb[k].x2);
        }
        const double centre = (frame.x1 + frame.x2) / 2;
        if (!(lo < centre && centre < hi)) {
            std::sort(good.begin(), good.end());
            return {0.0, 0.0};
        }
        taken = count;
        return {band.width, -band.middle};
    }

    // Whether the role's bit is set in `roles` (a bit per role, by its code).
    static bool has(unsigned roles, Role role) noexcept { return ((roles >> static_cast<unsigned>(role)) & 1U) != 0; }

    // Which part of a page a box goes to by its role (step 8).
    enum Place : std::uint8_t { kHead, kFoot, kNumbers, kFootnotes, kMarginal, kInitials, kRest, kPlaces };

    Place place_of(std::uint32_t k, const PageBox& frame) const noexcept {
        const Role role = role_of(roles_[k]);
        // Most boxes are text, headings, figures or captions, which stay with
        // the rest: one test of a bit mask for them.
        constexpr auto bit = [](Role r) { return 1U << static_cast<unsigned>(r); };
        constexpr unsigned kPlaced = bit(Role::Folio) | bit(Role::Header) | bit(Role::Footer) |
                                     bit(Role::PageNumber) | bit(Role::Footnote) | bit(Role::Marginal) |
                                     bit(Role::Initial);
        if (((kPlaced >> static_cast<unsigned>(role)) & 1U) == 0) {
            return kRest;
        }
        if (options_.furniture && role == Role::Folio) {
            return kNumbers;
        }
        if (options_.furniture && (role == Role::Header || role == Role::Footer || role == Role::PageNumber)) {
            const PageBox b = normalised(raw_[k]);
            const double middle = (b.y1 + b.y2) / 2;
            const double band = options_.furniture_band * (frame.y2 - frame.y1);
            if (middle < frame.y1 + band) {
                // A footer (a catchword, a signature mark) stands at the
                // foot; one near the top is read with the text.
                return role == Role::Footer ? kRest : kHead;
            }
            if (middle > frame.y2 - band) {
                return role == Role::PageNumber ? kNumbers : kFoot;
            }
            return kRest;
        }
        if (options_.footnotes && role == Role::Footnote) {
            const PageBox b = normalised(raw_[k]);
            const double middle = (b.y1 + b.y2) / 2;
            return middle > frame.y1 + options_.footnote_band * (frame.y2 - frame.y1) ? kFootnotes : kRest;
        }
        if (options_.margins && role == Role::Marginal) {
            return kMarginal;
        }
        if (options_.initials && role == Role::Initial) {
            return kInitials;
        }
        return kRest;
    }

    // Steps 6 to 13 on one page (one side of a spread), appended to out_.
    void order_page(std::span<std::uint32_t> set, const PageBox& frame, std::uint32_t depth) {
        if (set.empty()) {
            return;
        }
        const bool tolerant = options_.tolerance && needs_shrink(set);
        const double dx = tolerant ? options_.tol_x * (frame.x2 - frame.x1) : 0.0;
        const double dy = tolerant ? options_.tol_y * (frame.y2 - frame.y1) : 0.0;
        double top = shrink(set, tolerant, dx, dy);
        if (tolerant && frame.x2 - frame.x1 > frame.y2 - frame.y1 && std::isfinite(dy)) {
            keep_width_of_lone_rows(set);
        }
        // The roles' parts, in the order of Place, each in input order.
        std::size_t count[kPlaces] = {};
        // The roles present in `set`, a bit each: a step whose roles are
        // missing would find nothing to do.
        unsigned present = 0;
        if (!roles_.empty()) {
            // Each box's place is found once; sorting by place then keeps
            // input order within each part. When every box stays with the
            // rest, `set` already is in that order.
            Scratch& scratch = buffers_->scratch;
            const std::span<std::uint8_t> places = room_for(scratch.places, set.size());
            bool placed = false;
            for (std::size_t i = 0; i < set.size(); ++i) {
                present |= 1U << static_cast<unsigned>(role_of(roles_[set[i]]));
                places[i] = place_of(set[i], frame);
                placed = placed || places[i] != kRest;
            }
            if (placed) {
                const std::span<std::uint32_t> copy = room_for(scratch.aside, set.size());
                std::copy(set.begin(), set.end(), copy.begin());
                sort_into_buckets<std::uint8_t>(copy, places, kPlaces, scratch.ends, set);
                for (std::size_t p = 0; p < kPlaces; ++p) {
                    count[p] = scratch.ends[p] - (p > 0 ? scratch.ends[p - 1] : 0);
                }
            } else {
                count[kRest] = set.size();
            }
            if (count[kRest] < set.size()) {
                top = std::numeric_limits<double>::infinity();
                for (const std::uint32_t k : set.subspan(set.size() - count[kRest])) {
                    top = std::min(top, buffers_.shrunk[k].y1);
                }
            }
        } else {
            count[kRest] = set.size();
        }
        std::size_t at = 0;
        const auto take = [&](Place p) {
            const std::span<std::uint32_t> part = set.subspan(at, count[p]);
            at += count[p];
            return part;
        };
        const std::span<std::uint32_t> head = take(kHead);
        const std::span<std::uint32_t> foot = take(kFoot);
        const std::span<std::uint32_t> numbers = take(kNumbers);
        const std::span<std::uint32_t> footnotes = take(kFootnotes);
        const std::span<std::uint32_t> marginal = take(kMarginal);
        const std::span<std::uint32_t> initials = take(kInitials);
        const std::span<std::uint32_t> rest = take(kRest);
        if (!head.empty()) {
            profile_log<__LINE__>("[profile] head: {} boxes by their roles, read first", std::uint64_t{head.size()});
            order_part(head, frame, depth, PartKind::Head, dx, dy, out_);
        }
        const std::span<PageBox> tb = buffers_.shrunk;
        std::size_t strip = 0;
        const Band under = head.empty() && !rest.empty()
                               ? split_top_strip(tb, raw_, rest, top, frame, options_, buffers_->scratch, strip)
                               : Band{0.0, 0.0};
        std::uint32_t body_depth = depth;
        std::size_t split = 0;
        if (strip > 0) {
            profile_log<__LINE__>("[profile] top strip: {} boxes above y={:.1} (gap={:.1}), read first",
                                  std::uint64_t{strip}, under.middle, under.width);
            split = tracer_.open_split(TraceKind::TopStrip, under, depth, frame);
            order_part(rest.first(strip), frame, depth + 1, PartKind::TopStrip, dx, dy, out_);
            tracer_.split_middle(split);
            body_depth = depth + 1;
        }
        const std::span<std::uint32_t> after = rest.subspan(strip);
        const std::size_t geometric = split_margins(tb, after, roles_, options_, buffers_->scratch);
        const std::span<std::uint32_t> main = after.first(after.size() - geometric);
        std::vector<std::uint32_t>& notes = buffers_->notes;
        notes.assign(after.end() - static_cast<std::ptrdiff_t>(geometric), after.end());
        notes.insert(notes.end(), marginal.begin(), marginal.end());
        if (!notes.empty()) {
            profile_log<__LINE__>("[profile] margin notes: {} boxes, merged back by their top",
                                  std::uint64_t{notes.size()});
            tracer_.margin_notes(notes);
        }
        const bool grouped = has(present, Role::Caption) && has(present, Role::Figure) && options_.captions &&
                             group_captions(raw_, tb, main, roles_, frame, options_, buffers_.group, buffers_->scratch);
        std::vector<std::uint32_t>& ordered_main = buffers_->main;
        ordered_main.clear();
        ordered_main.reserve(main.size());
        // A caption group reaches the engine as its figure alone, standing for
        // the group's union: a copy of the union for each caption made the
        // boxes look denser than they are, and the engine then took a row
        // before a column where the two gaps were equal. The captions join
        // their figure again when the groups are put back together.
        std::span<const std::uint32_t> engine_main = main;
        std::vector<std::uint32_t>& kept = buffers_->kept;
        kept.clear();
        if (grouped) {
            std::vector<std::uint32_t>& alone = buffers_->alone;
            alone.clear();
            alone.reserve(main.size());
            for (const std::uint32_t k : main) {
                const std::uint32_t g = buffers_.group[k];
                (g == kNoGroup || g == k ? alone : kept).push_back(k);
            }
            engine_main = alone;
        }
        // The column rules as walls, for a body the engine orders (two
        // boxes or more).
        std::vector<PageBox>& walls = buffers_->walls;
        walls.clear();
        if (engine_main.size() >= 2) {
            rule_walls(buffers_->rules, tb, engine_main, frame, walls);
        }
        if (!walls.empty()) {
            profile_log<__LINE__>("[profile] column rules: {} walls among the body's boxes, which no row crosses",
                                  std::uint64_t{walls.size()});
        }
        if (options_.gutters) {  // with labels and four boxes or more: gutter_walls tests both
            const std::size_t gutters = gutter_walls(tb, engine_main, roles_, separators_, scale_,
                                                     buffers_->scratch, walls);
            if (gutters > 0) {
                profile_log<__LINE__>("[profile] gutters: {} walls down the gutters of two columns of text, which "
                                      "no row crosses",
                                      std::uint64_t{gutters});
            }
        }
        order_part(engine_main, frame, body_depth, PartKind::Body, dx, dy, ordered_main, walls);
        if (!kept.empty()) {
            log_part(PartKind::Captions, kept.size(), dx, dy);
            const std::uint32_t start = tracer_.part_start();
            tracer_.sorted(kept);
            tracer_.part_end(start, TracePart{0, 0, body_depth, static_cast<std::uint32_t>(kept.size()), false,
                                              frame, dx, dy, PartKind::Captions});
        }
        // Steps 12 and 12b: the levels where rows start, each row read after
        // the one above it.
        std::vector<double>& lines = buffers_->scratch.lines;
        lines.clear();
        if (tolerant && options_.articles && has(present, Role::Heading)) {
            article_lines(tb, raw_, main, roles_, options_, buffers_->scratch);
            if (!lines.empty()) {
                profile_log<__LINE__>("[profile] articles: {} headings spanning columns start rows, each read "
                                      "after the text above it",
                                      std::uint64_t{lines.size()});
            }
        }
        if (tolerant && options_.bands) {
            const std::size_t bands =
                row_bands(raw_, main, buffers_->rules, frame.y2 - frame.y1, options_, buffers_->scratch);
            if (bands > 0) {
                profile_log<__LINE__>("[profile] rows: {} bands clear across the boxes as given, each row read "
                                      "after the one above it",
                                      std::uint64_t{bands});
                std::sort(lines.begin(), lines.end());
            }
        }
        if (!lines.empty()) {
            rows_in_turn(ordered_main, lines, raw_, buffers_->scratch);
        }
        std::vector<std::uint32_t>& body = buffers_->body;
        body.clear();
        if (grouped) {
            // each caption after the engine's order, where regroup finds it
            // behind its figure
            ordered_main.insert(ordered_main.end(), kept.begin(), kept.end());
            regroup(ordered_main, buffers_.group, raw_, body);
        } else {
            body.swap(ordered_main);
        }
        if (!notes.empty()) {
            ordered_main.clear();
            const NotesPlaced placed =
                merge_notes(body, notes, raw_, roles_, kNoteLead * (frame.y2 - frame.y1), buffers_->scratch,
                            ordered_main);
            body.swap(ordered_main);
            if (placed.heads > 0) {
                profile_log<__LINE__>("[profile] note heads: {} read right before the region each heads",
                                      std::uint64_t{placed.heads});
            }
            if (placed.blocks > 0) {
                profile_log<__LINE__>("[profile] note blocks: {} read whole, beside their paragraphs",
                                      std::uint64_t{placed.blocks});
            }
        }
        if (!footnotes.empty()) {
            log_part(PartKind::Footnotes, footnotes.size(), dx, dy);
            const std::uint32_t start = tracer_.part_start();
            insert_footnotes(body, footnotes, raw_, buffers_->scratch);
            tracer_.sorted(footnotes);
            tracer_.part_end(start, TracePart{0, 0, body_depth, static_cast<std::uint32_t>(footnotes.size()), false,
                                              frame, dx, dy, PartKind::Footnotes});
        }
        if (!initials.empty()) {
            log_part(PartKind::Initials, initials.size(), dx, dy);
            const std::uint32_t start = tracer_.part_start();
            place_initials(body, initials, raw_, roles_, buffers_->scratch, ordered_main);
            tracer_.sorted(initials);
            tracer_.part_end(start, TracePart{0, 0, body_depth, static_cast<std::uint32_t>(initials.size()), false,
                                              frame, dx, dy, PartKind::Initials});
        }
        out_.insert(out_.end(), body.begin(), body.end());
        if (strip > 0) {
            tracer_.close_split(split);
        }
        if (!foot.empty() || !numbers.empty()) {
            profile_log<__LINE__>("[profile] foot: {} boxes by their roles, read last",
                                  std::uint64_t{foot.size() + numbers.size()});
        }
        order_part(foot, frame, depth, PartKind::Foot, dx, dy, out_);
        order_part(numbers, frame, depth, PartKind::Numbers, dx, dy, out_);
    }

    // Steps 6 and 7: the boxes of `set` normalised, snapped to the column
    // rules and shrunk, into the shrunk buffer; returns the least top of them
    // (for the top strip: snapping moves only their left and right edges).
    // Step 7's evidence: whether the page's boxes need the shrink. Boxes set
    // by a typesetter never overlap and stand flush (many share their left
    // edge exactly); there the shrink would only widen the gutters against
    // the gaps between rows (a newspaper's articles read column by column
    // across the page). Boxes drawn around print or found by a detector
    // overlap, or have ragged edges. So the boxes are shrunk when more than
    // overlap_share of them overlap another, or fewer than aligned_share of
    // them share their left edge with another.
    bool needs_shrink(std::span<const std::uint32_t> set) {
        const double n = static_cast<double>(set.size());
        if (static_cast<double>(flush_boxes(raw_, set, buffers_->scratch)) < options_.aligned_share * n) {
            return true;  // ragged edges: most scanned pages, found without the sweep
        }
        const double limit = options_.overlap_share * n;
        const std::size_t enough = limit < n ? static_cast<std::size_t>(limit) : set.size();
        return overlapping_boxes(raw_, set, enough, buffers_->scratch) > enough;
    }

    double shrink(std::span<const std::uint32_t> set, bool tolerant, double dx, double dy) {
        // One loop for each case, so that no box chooses between them.
        if (tolerant) {
            return shrink_each(set, [&](const PageBox& b) { return share_shrunk(b, dx, dy, options_); });
        }
        return shrink_each(set, [](const PageBox& b) { return b; });
    }

    template <class Shrunk>
    double shrink_each(std::span<const std::uint32_t> set, Shrunk shrunk) {
        const std::span<PageBox> tb = buffers_.shrunk;
        double top = shrunk(normalised(raw_[set.front()])).y1;
        const std::vector<ColumnRule>& rule_list = buffers_->rules;
        if (rule_list.empty()) {
            for (const std::uint32_t k : set) {
                tb[k] = shrunk(normalised(raw_[k]));
                top = std::min(top, tb[k].y1);
            }
            return top;
        }
        // Every box shrunk as it is; the boxes a rule runs inside (which ones
        // follows the page: collected without a branch on each) snapped to the
        // rules, and shrunk again.
        const std::span<const ColumnRule> rules(rule_list);
        const std::span<std::uint32_t> crossed = room_for(buffers_->scratch.indices, set.size());
        const std::span<std::uint32_t> first_right = room_for(buffers_->scratch.aside, set.size());
        std::size_t count = 0;
        for (const std::uint32_t k : set) {
            const PageBox b = normalised(raw_[k]);
            const std::size_t right = first_rule_right_of(rules, b.x1);
            crossed[count] = k;
            first_right[count] = static_cast<std::uint32_t>(right);
            const bool inside = rules[std::min(right, rules.size() - 1)].c < b.x2;
            count += static_cast<std::size_t>(right < rules.size()) & static_cast<std::size_t>(inside);
            tb[k] = shrunk(b);
            top = std::min(top, tb[k].y1);
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t k = crossed[i];
            tb[k] = shrunk(snap_to_rules_right_of(normalised(raw_[k]), rules.subspan(first_right[i]), options_));
        }
        return top;
    }

    // Step 7b: on a landscape page (a slide), each box that no other box
    // stands beside (after the shrink of their heights) keeps its width: the
    // shrink of its sides would only open a gap beside it, which the engine
    // would take before the band above or below it.
    void keep_width_of_lone_rows(std::span<const std::uint32_t> set) {
        const std::span<PageBox> tb = buffers_.shrunk;
        const std::vector<ColumnRule>& rules = buffers_->rules;
        for (const std::uint32_t k : lone_rows(tb, set, buffers_->scratch)) {
            const PageBox b = rules.empty() ? normalised(raw_[k]) : snap_to_rules(normalised(raw_[k]), rules, options_);
            tb[k].x1 = b.x1;
            tb[k].x2 = b.x2;
        }
    }

    // Step 12: the engine on one set of the shrunk boxes, its order appended to `out`.
    void order_part(std::span<const std::uint32_t> part, const PageBox& frame, std::uint32_t depth, PartKind kind,
                    double dx, double dy, std::vector<std::uint32_t>& out, std::span<const PageBox> walls = {}) {
        if (part.empty()) {
            return;
        }
        log_part(kind, part.size(), dx, dy);
        const std::uint32_t start = tracer_.part_start();
        if (part.size() < 2) {
            out.push_back(part.front());
            tracer_.single(part.front());
        } else {
            // The engine's table is built straight from the shrunk boxes,
            // rounded as they go in: no array of the rounded boxes between.
            Table& table = buffers_->table;
            const std::span<const PageBox> tb = buffers_.shrunk;
            const double s = scale_;
            build_table(table, part.size() + walls.size(), [&](std::size_t i) {
                const PageBox& b = i < part.size() ? tb[part[i]] : walls[i - part.size()];
                return round_to_single(PageBox{b.x1 * s, b.y1 * s, b.x2 * s, b.y2 * s});
            });
            append_part(part,
                        tracer_.engine(part, depth,
                                       [&](Observer* observer) -> const std::vector<std::uint32_t>& {
                                           return order_table(table, reference_width(table), observer,
                                                              buffers_->engine);
                                       },
                                       walls.size(), scale_),
                        out, walls.size());
        }
        tracer_.part_end(start, TracePart{0, 0, depth, static_cast<std::uint32_t>(part.size()),
                                          kind == PartKind::TopStrip, frame, dx, dy, kind});
    }

    std::span<const PageBox> raw_;
    std::span<const std::uint8_t> roles_;  // empty without roles or with the labels step off
    const ProfileOptions& options_;
    Tracer tracer_;
    BorrowedBuffers buffers_;
    std::vector<std::uint32_t> out_;
    double scale_ = 1.0;  // what the engine's boxes are multiplied by (engine_scale)
    std::span<const PageBox> separators_;  // as given, for the gutters
};

}  // namespace
}  // namespace detail

const ProfileSetting* invalid_profile_setting(const ProfileOptions& options) noexcept {
    // Every number checked in place, without the table's indirection (a
    // call checks them all, and nearly every call passes): the loop below
    // only finds which one failed.
    bool valid = true;
#define QUORLIN_PROFILE_NUMBER(name, value, group, below, doc) \
    valid = valid && std::isfinite(options.name) && options.name >= 0.0 && options.name < (below);
#define QUORLIN_PROFILE_SWITCH(name, value, doc)
#include "quorlin/engine/profile_settings.inc"
#undef QUORLIN_PROFILE_NUMBER
#undef QUORLIN_PROFILE_SWITCH
    if (valid) {
        return nullptr;
    }
    for (const ProfileSetting& setting : kProfileSettings) {
        if (setting.kind != ProfileSetting::Kind::Number) {
            continue;
        }
        const double value = options.*setting.number;
        if (!std::isfinite(value) || !(value >= 0.0) || !(value < setting.below)) {
            return &setting;
        }
    }
    return nullptr;
}

std::vector<std::uint32_t> order_profile(std::span<const PageBox> boxes, const PageBox* page_bounds,
                                         std::span<const PageBox> separators, const ProfileOptions& options,
                                         ProfileTrace* trace) {
    return order_profile(boxes, {}, page_bounds, separators, options, trace);
}

std::vector<std::uint32_t> order_profile(std::span<const PageBox> boxes, std::span<const std::uint8_t> roles,
                                         const PageBox* page_bounds, std::span<const PageBox> separators,
                                         const ProfileOptions& options, ProfileTrace* trace) {
    if (const ProfileSetting* setting = invalid_profile_setting(options)) {
        throw std::invalid_argument("profile setting out of range: " + std::string(setting->name));
    }
    if (boxes.size() > kMaxBoxes) {
        throw std::length_error("more boxes than the engine can index");
    }
    if (!roles.empty() && roles.size() != boxes.size()) {
        throw std::invalid_argument("roles: not one per box");
    }
    if (trace == nullptr) {
        return detail::ProfileRun<detail::NoTrace>(boxes, roles, options, detail::NoTrace{})
            .run(page_bounds, separators);
    }
    *trace = {};
    return detail::ProfileRun<detail::Tracing>(boxes, roles, options, detail::Tracing(*trace))
        .run(page_bounds, separators);
}

}  // namespace quorlin::engine
