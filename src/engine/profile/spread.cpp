// Step 5: a two-page spread split at its fold.
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie (see profile_steps.hpp).

#include <tuple>

#include "profile/profile_steps.hpp"

namespace quorlin::engine::detail {

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

}  // namespace quorlin::engine::detail
