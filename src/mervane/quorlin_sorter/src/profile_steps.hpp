#pragma once
// Internals of the quality profile: its steps, each on plain values, so that
// the engine tests can check them one by one. Not part of the public API.
//
// Boxes are kept in tables indexed by input index; a set of boxes is a list of
// input indices, ascending unless a step says otherwise. Every step partitions
// the list it is given, which is what makes the result a permutation.

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "quorlin_sorter/profile.hpp"

namespace quorlin::sorter::detail {

// A double as the core stores a Python number: the nearest float, and beyond
// the float range an infinity of the same sign.
float round_to_single(double value) noexcept;

bool is_finite(const PageBox& box) noexcept;

// x1 <= x2 and y1 <= y2 (min and max of each pair, the first one on a tie).
PageBox normalised(const PageBox& box) noexcept;

// The page the relative parameters refer to: `bounds` normalised when finite
// and of positive width and height, else the union of the `good` boxes, else
// (0, 0, 0, 0).
PageBox page_frame(const PageBox* bounds, std::span<const PageBox> boxes, std::span<const std::uint32_t> good) noexcept;

// The box shrunk by dx on the left and right and dy on top and bottom; an
// axis that would turn inside out keeps its extent.
PageBox tolerant_box(const PageBox& box, double dx, double dy) noexcept;

struct Band {
    double width;   // 0 when [lo, hi] is covered everywhere
    double middle;  // lo then
};

// The widest stretch of [lo, hi] that none of the intervals (a, b) covers; of
// equally wide ones the leftmost. Sorts `intervals`.
Band widest_empty_band(std::vector<std::pair<double, double>>& intervals, double lo, double hi);

// A long vertical separator: its centre line x = c from y1 to y2.
struct ColumnRule {
    double c;
    double y1;
    double y2;
};

// The separators that count as column rules (finite, at least rule_aspect
// times taller than wide, at least rule_min_length of the frame's height, of
// positive height), sorted by (c, y1, y2).
std::vector<ColumnRule> column_rules(std::span<const PageBox> separators, const PageBox& frame,
                                     const ProfileOptions& options);

// The box (normalised) clipped at the rules that run alongside it and cross it
// in an outer part: each rule is tested against the box as given, the largest
// left clip and the smallest right clip are kept, so the order of the rules
// does not matter. `rules` sorted by c.
PageBox snap_to_rules(const PageBox& box, std::span<const ColumnRule> rules, const ProfileOptions& options) noexcept;

// A split of one set in two, both in the order of the set, with the band
// between them when there is one.
struct Split {
    std::vector<std::uint32_t> taken;
    std::vector<std::uint32_t> rest;
    double position = 0.0;
    double gap = 0.0;
};

// The two pages of a spread, split at the middle of the widest band that no
// box (shrunk by dx on the left and right) crosses in the central window of
// the frame; `taken` is the left page. Nothing is taken and the band is 0
// when the test fails (not landscape, no such band, or switched off).
Split split_spread(std::span<const PageBox> boxes, std::span<const std::uint32_t> good, const PageBox& frame,
                   const ProfileOptions& options);

// The thin strip above the first full-width gap of the (shrunk) boxes `tb`:
// sweeping them by (y1, y2, index), the first box whose top lies below every
// bottom so far ends the strip, which is taken when it is at most
// top_strip_max of the frame's height tall. Only the boxes near the top are
// sorted. `position` and `gap` are the band under the strip.
Split split_top_strip(std::span<const PageBox> tb, std::span<const std::uint32_t> set, const PageBox& frame,
                      const ProfileOptions& options);

// The marginal notes among `set` (at least three boxes): the boxes beside the
// text block (their vertical centre within its height) that lie wholly left or
// wholly right of it, when such a strip is at most margin_max of the block's
// width. `taken` are the notes.
Split split_margins(std::span<const PageBox> tb, std::span<const std::uint32_t> set, const ProfileOptions& options);

// The notes, sorted by (y1, x1, index) of `boxes`, merged into the main order:
// each before the first main box whose y1 is greater than its own; the rest
// at the end.
std::vector<std::uint32_t> merge_by_top(std::span<const std::uint32_t> main, std::vector<std::uint32_t> notes,
                                        std::span<const PageBox> boxes);

// Whether `order` holds every index 0..n-1 exactly once.
bool is_permutation_of(std::span<const std::uint32_t> order, std::size_t n);

}  // namespace quorlin::sorter::detail
