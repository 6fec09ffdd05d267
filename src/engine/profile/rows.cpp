// Step 12: the rows of a page read one after the other, where a heading
// spanning the columns starts a row of articles (12) or a band runs clear
// across the page (12b).
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie (see profile_steps.hpp).

#include <optional>

#include "profile/profile_steps.hpp"

namespace quorlin::engine::detail {

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
                      std::span<const std::uint8_t> roles, std::span<const ColumnRule> rules, double height,
                      const ProfileOptions& options, Scratch& scratch) {
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
    // The nearest box under the box at `p` of by_top (starting no higher than
    // its middle) that shares some of its width, or by_top.end(): in the
    // order of the tops the first such box is the nearest.
    const auto nearest_under = [&by_top](std::size_t p) {
        const PageBox& b = by_top[p].box;
        const double middle = (b.y1 + b.y2) / 2;
        const auto under = std::partition_point(by_top.begin(), by_top.end(),
                                                [middle](const SweptBox& s) { return s.box.y1 < middle; });
        const auto self = by_top.begin() + static_cast<std::ptrdiff_t>(p);
        for (auto q = under; q != by_top.end(); ++q) {
            if (q != self && std::min(b.x2, q->box.x2) > std::max(b.x1, q->box.x1)) {
                return q;
            }
        }
        return by_top.end();
    };
    // On a labelled page, the gap between each heading and the box under it
    // when a column stands beside the heading (a box level with it that
    // shares none of its width): a heading heads what follows it in its
    // column, and a band there sets no rows apart. A heading in a row of its
    // own (a masthead over its subtitle, a magazine's title over its byline)
    // may stand over a band between rows. Found when the first band is, as
    // most pages have none.
    std::vector<std::pair<double, double>>& headed = scratch.headed;
    headed.clear();
    bool headed_found = roles.empty();
    const auto find_headed = [&] {
        headed_found = true;
        for (std::size_t p = 0; p < n; ++p) {
            if (role_of(roles[by_top[p].k]) != Role::Heading) {
                continue;
            }
            const PageBox& h = by_top[p].box;
            const auto under = nearest_under(p);
            if (under == by_top.end()) {
                continue;
            }
            const bool beside = std::any_of(by_top.begin(), by_top.end(), [&h](const SweptBox& s) {
                return std::min(h.y2, s.box.y2) > std::max(h.y1, s.box.y1) &&
                       !(std::min(h.x2, s.box.x2) > std::max(h.x1, s.box.x1));
            });
            if (beside) {
                headed.emplace_back(h.y2, under->box.y1);
            }
        }
    };
    // The bands at least band_min of the page tall that no rule crosses and
    // no heading stands over, as (height, level): the boxes above a band end
    // before the next top.
    const auto crossed = [&](double middle) {
        if (std::any_of(rules.begin(), rules.end(),
                        [middle](const ColumnRule& r) { return r.y1 < middle && middle < r.y2; })) {
            return true;
        }
        if (!headed_found) {
            find_headed();
        }
        return std::any_of(headed.begin(), headed.end(), [middle](const std::pair<double, double>& g) {
            return g.first < middle && middle < g.second;
        });
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
    // The typical gap in a column: from each box to the nearest box under it.
    std::vector<double>& gaps = scratch.keys;
    gaps.clear();
    for (std::size_t p = 0; p < n; ++p) {
        const auto under = nearest_under(p);
        if (under != by_top.end()) {
            gaps.push_back(std::max(0.0, under->box.y1 - by_top[p].box.y2));
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

}  // namespace quorlin::engine::detail
