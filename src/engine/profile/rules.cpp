// Steps 3, 6 and 12: the separators as column rules (the boxes snapped to
// them, walls in the engine's input) and the separators across the columns.
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie (see profile_steps.hpp).

#include "profile/profile_steps.hpp"

namespace quorlin::engine::detail {

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

}  // namespace quorlin::engine::detail
