#pragma once
// Internals of the quality profile: its steps, each on plain values, so that
// the engine tests can check them one by one. Not part of the public API.
//
// Boxes are kept in tables indexed by input index; a set of boxes is a run of
// input indices, ascending. The splitting steps partition the run they are
// given in place and stably (each side keeps input order), which is what makes
// the result a permutation; their scratch space is reused from call to call.
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie: the same number, and the same zero
// sign, as a first-come minimum. Coordinates are finite (step 1 sets the
// others aside), but sums of huge ones may overflow to infinities, which
// every comparison handles as numbers.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "xycut/detail.hpp"
#include "quorlin/engine/profile.hpp"

namespace quorlin::engine::detail {

// The four corners of a box rounded to single precision (round_to_single).
inline Box round_to_single(const PageBox& box) noexcept {
    // Nearly every box lies well inside the float range: one test for the
    // four coordinates (the sum is at least each of them, and NaN when one
    // is), and plain conversions.
    const double reach = std::fabs(box.x1) + std::fabs(box.y1) + std::fabs(box.x2) + std::fabs(box.y2);
    if (reach < kFloatOverflow) {
        return Box{static_cast<float>(box.x1), static_cast<float>(box.y1), static_cast<float>(box.x2),
                   static_cast<float>(box.y2)};
    }
    return Box{engine::round_to_single(box.x1), engine::round_to_single(box.y1), engine::round_to_single(box.x2),
               engine::round_to_single(box.y2)};
}

inline bool is_finite(const PageBox& box) noexcept {
    // v - v is 0 for a finite v and NaN for an infinite or NaN one, so the sum
    // is 0 exactly when all four are finite: one test instead of four.
    return (box.x1 - box.x1) + (box.y1 - box.y1) + (box.x2 - box.x2) + (box.y2 - box.y2) == 0.0;
}
// Whether every box is finite (is_finite of each).
bool all_finite(std::span<const PageBox> boxes) noexcept;

// x1 <= x2 and y1 <= y2 (min and max of each pair, the first one on a tie).
inline PageBox normalised(const PageBox& box) noexcept {
    return {std::min(box.x1, box.x2), std::min(box.y1, box.y2), std::max(box.x1, box.x2), std::max(box.y1, box.y2)};
}

// The page the relative parameters refer to: `bounds` normalised when finite
// and of positive width and height, else the union of the `good` boxes
// (normalised), else (0, 0, 0, 0).
PageBox page_frame(const PageBox* bounds, std::span<const PageBox> boxes, std::span<const std::uint32_t> good) noexcept;

// The engine's coordinates: the boxes a part hands it are multiplied by
// engine_scale(frame), the least power of two (1 at least) that makes the
// frame's longer side kScaleSide long or longer. Multiplied by a power of
// two, every coordinate keeps its digits, so the engine sees the same page
// larger: only its fixed least gap (5 units) becomes a smaller share of it.
// 3,000 units: an A4 or letter page at 300 dpi is about 3,300 long, and at
// that resolution the gaps between paragraphs pass the engine's test. Frames
// that are no number, empty, or under 2^-20 of it are left as they are.
inline constexpr double kScaleSide = 3000.0;
inline constexpr int kMostScaleDoublings = 20;
double engine_scale(const PageBox& frame) noexcept;

// The box shrunk by dx on the left and right and dy on top and bottom; an
// axis that would turn inside out keeps its extent.
inline PageBox tolerant_box(const PageBox& box, double dx, double dy) noexcept {
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

// An ascending, order-preserving map of a finite double to an unsigned
// integer: a < b exactly when ordered_bits(a) < ordered_bits(b), and -0.0
// and +0.0, which compare equal, give the same integer.
inline std::uint64_t ordered_bits(double value) noexcept {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(value == 0.0 ? 0.0 : value);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// A key and the index it belongs to.
struct KeyedBox {
    std::uint64_t key;
    std::uint32_t k;
};

// Sorts `items` by key, stably (equal keys keep their order), using `spare`
// and `counts` (grown to fit): a radix sort of 8-bit digits, which takes
// linear time and skips the digits all keys share. The steps use it from
// kRadixFrom boxes on, where a comparison sort would cost a good share of
// the engine's own work.
inline constexpr std::size_t kRadixFrom = 256;
void sort_by_key(std::vector<KeyedBox>& items, std::vector<KeyedBox>& spare, std::vector<std::uint32_t>& counts);

// A box of overlapping_boxes, normalised, with its index.
struct SweptBox {
    PageBox box;
    std::uint32_t k;
};

// Space the steps reuse from call to call; each buffer only grows.
struct Scratch {
    std::vector<std::pair<double, double>> intervals;
    std::vector<double> keys;
    std::vector<std::uint32_t> indices;
    std::vector<std::uint32_t> aside;  // the side partition_stably() moves to the back
    std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;  // captions and their figures
    std::vector<std::pair<std::uint32_t, std::uint32_t>> heads;  // merge_notes: (box headed, note's place)
    std::vector<std::uint32_t> blocks;   // group_captions: the block of each caption ...
    std::vector<PageBox> extents;        // ... and each block's extent
    std::vector<SweptBox> swept;   // the boxes of overlapping_boxes' sweep
    std::vector<SweptBox> swept_spare;  // ... sorted by radix
    std::vector<KeyedBox> keyed;   // overlapping_boxes' and flush_boxes' sort keys ...
    std::vector<KeyedBox> spare;   // ... the other half of their radix sort ...
    std::vector<std::uint32_t> counts;  // ... and its digit counts
    std::vector<KeyedIndex> top_keys;  // row_bands: the boxes' tops and indices, sorted ...
    std::vector<std::pair<double, double>> headed;  // ... and the gap under each heading
    std::vector<std::pair<double, std::uint32_t>> tops;  // insert_footnotes: tops of the text and their places
    std::vector<std::uint32_t> sorted;                    // ... the footnotes by place
    std::vector<std::uint8_t> places;  // order_page: the part each box goes to by its role
    std::vector<double> lines;          // article_lines, row_bands: the levels where rows start
    std::vector<std::uint32_t> rows;    // rows_in_turn: the row of each box, and the order sorted by row
    std::vector<std::uint32_t> ends;    // sort_into_buckets: where each bucket ends
    std::vector<PageBox> sides;         // split_spread: the boxes of the two pages, for has_columns
    std::vector<std::pair<double, std::uint32_t>> by_top;  // gutter_walls: the boxes by (y1, index) ...
    std::vector<std::uint32_t> stretch;  // ... the boxes of the stretch tried ...
    std::vector<std::uint32_t> tried;    // ... by input index, the last stretch each stood in (0: none) ...
    std::vector<PageBox> stretches;      // ... each stretch tried, its gutter and extent ...
    std::vector<PageBox> crossings;      // ... and the separators wider than tall
};

// Moves the indices of `set` for which taken(k) holds to its front, both
// sides in their order; returns how many were taken. Which side an index
// goes to follows the page and is hard to predict, so there is no branch on
// it: each index is written to both places and only its side's count moves
// on (front never passes the index being read).
template <class Taken>
std::size_t partition_stably(std::span<std::uint32_t> set, Taken taken, Scratch& scratch) {
    const std::span<std::uint32_t> aside = room_for(scratch.aside, set.size());
    std::size_t front = 0;
    std::size_t back = 0;
    for (const std::uint32_t k : set) {
        const std::size_t to_front = taken(k) ? 1 : 0;
        set[front] = k;
        aside[back] = k;
        front += to_front;
        back += 1 - to_front;
    }
    std::copy_n(aside.begin(), back, set.begin() + static_cast<std::ptrdiff_t>(front));
    return front;
}

// Sorts `items` stably by their keys (keys[i] that of items[i], each below
// `buckets`) into `out`, as long as `items`, in linear time: a counting
// sort. Afterwards ends[b] is where bucket b ends in `out` (ends holds
// buckets + 1 entries, the last the number of items).
template <class Key>
void sort_into_buckets(std::span<const std::uint32_t> items, std::span<const Key> keys, std::size_t buckets,
                       std::vector<std::uint32_t>& ends, std::span<std::uint32_t> out) {
    ends.assign(buckets + 1, 0U);
    for (const Key key : keys) {
        ++ends[static_cast<std::size_t>(key) + 1];
    }
    for (std::size_t b = 1; b <= buckets; ++b) {
        ends[b] += ends[b - 1];
    }
    for (std::size_t i = 0; i < items.size(); ++i) {
        out[ends[static_cast<std::size_t>(keys[i])]++] = items[i];
    }
}

// Whether box p comes before box q by (y1, x1, index) of the `boxes`
// normalised: the order of the boxes the engine does not order (notes,
// footnotes, drop capitals, the members of a caption's group).
struct TopThenLeft {
    std::span<const PageBox> boxes;
    bool operator()(std::uint32_t p, std::uint32_t q) const noexcept {
        const PageBox a = normalised(boxes[p]);
        const PageBox b = normalised(boxes[q]);
        if (a.y1 != b.y1) {
            return a.y1 < b.y1;
        }
        return a.x1 != b.x1 ? a.x1 < b.x1 : p < q;
    }
};

// The role of a box by its code; an unknown code is body text.
inline Role role_of(std::uint8_t code) noexcept { return static_cast<Role>(code < kRoleCount ? code : 0); }

// A band between two sides of a split.
struct Band {
    double width;   // 0 when there is none
    double middle;  // the position of the cut
};

// The widest stretch of [lo, hi] that none of the intervals (a, b) covers; of
// equally wide ones the leftmost; width 0 and middle lo when there is none.
// Sorts `intervals`.
Band widest_empty_band(std::span<std::pair<double, double>> intervals, double lo, double hi);

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
// The same into `rules` (cleared first), reusing its space and that of
// `long_ones` (the separators long enough to be rules).
void column_rules(std::span<const PageBox> separators, const PageBox& frame, const ProfileOptions& options,
                  std::vector<ColumnRule>& rules, std::vector<std::uint32_t>& long_ones);

// The box (normalised) clipped at the rules that run alongside it and cross it
// in an outer part: each rule is tested against the box as given, the largest
// left clip and the smallest right clip are kept, so the order of the rules
// does not matter. `rules` sorted by c.
PageBox snap_to_rules(const PageBox& box, std::span<const ColumnRule> rules, const ProfileOptions& options) noexcept;
// The index of the first of the `rules` (sorted by c) with c > x, or their
// number when there is none. Up to kRulesCounted rules are counted, more
// are searched by halves; either way the steps depend on the number of rules
// only, not on where x lies, so that their branches are always predicted.
inline constexpr std::size_t kRulesCounted = 8;
inline std::size_t first_rule_right_of(std::span<const ColumnRule> rules, double x) noexcept {
    if (rules.size() <= kRulesCounted) {
        // Few rules (most pages): the rules at or left of x, counted, are as
        // many as come before the first one right of it.
        std::size_t count = 0;
        for (const ColumnRule& rule : rules) {
            count += rule.c <= x ? 1 : 0;
        }
        return count;
    }
    std::size_t first = 0;
    std::size_t count = rules.size();
    while (count > 1) {
        const std::size_t half = count / 2;
        first += half * static_cast<std::size_t>(rules[first + half - 1].c <= x);  // no branch
        count -= half;
    }
    // first is that rule, or the last rule when none is.
    return first + static_cast<std::size_t>(rules[first].c <= x);
}
// The same when `rules` are only those with c > box.x1 (in order of c).
PageBox snap_to_rules_right_of(const PageBox& box, std::span<const ColumnRule> rules,
                               const ProfileOptions& options) noexcept;

// Whether two of `boxes` stand side by side: apart from left to right and
// level, sharing at least kLevelShare of the shorter one's height. Sorts
// `boxes`; looks at no more than kColumnPairs pairs a box.
inline constexpr double kLevelShare = 0.5;
inline constexpr std::size_t kColumnPairs = 16;
bool has_columns(std::span<PageBox> boxes);

// The two pages of a spread: on a landscape frame, the widest band that no
// box (normalised, shrunk by tol_x of half the frame's width on the left and right)
// crosses in the central window is the fold. The boxes whose shrunk centre
// lies left of its middle (the left page) are moved to the front of `good`.
// There is a fold only where the boxes of one page or the other (shrunk as
// above) stand in columns (has_columns). Returns the band (width 0, and
// `good` unchanged, when there is no fold) and sets `left` to the size of
// the left page.
Band split_spread(std::span<const PageBox> boxes, std::span<std::uint32_t> good, const PageBox& frame,
                  const ProfileOptions& options, Scratch& scratch, std::size_t& left);

// The thin strip above the first full-width gap of the (shrunk) boxes `tb`:
// sweeping them by (y1, y2, index), the first box whose top lies below every
// bottom so far ends the strip, which is taken when it is at most
// top_strip_max of the frame's height tall. Only the boxes near the top are
// sorted. Moves the strip to the front of `set`; returns the band under it
// and sets `taken` to its size (0: no strip).
// `raw` are the boxes as given, whose gaps strip_at_top measures; `roles`
// their roles, empty when the page has no labels.
Band split_top_strip(std::span<const PageBox> tb, std::span<const PageBox> raw, std::span<const std::uint8_t> roles,
                     std::span<std::uint32_t> set, const PageBox& frame, const ProfileOptions& options,
                     Scratch& scratch, std::size_t& taken);
// The same when the least y1 of the set, `top`, is known (std::min over the
// set from its first box on).
Band split_top_strip(std::span<const PageBox> tb, std::span<const PageBox> raw, std::span<const std::uint8_t> roles,
                     std::span<std::uint32_t> set, double top, const PageBox& frame, const ProfileOptions& options,
                     Scratch& scratch, std::size_t& taken);
// The most boxes a strip may have for the test of strip_at_top below.
inline constexpr std::size_t kStripHeadsChecked = 8;

// The strip of split_top_strip whatever the switch top_strip says: none when
// its boxes as given (`raw` normalised, turned upside_down when `upside`) do
// not all end above the top of every other box, and none when it has at
// most kStripHeadsChecked boxes and is the first lines of columns.
// A strip box heads a column when the nearest box under it (the least (y1,
// index) of the others that overlaps it horizontally in `tb`) is, in the
// boxes as given (`raw` normalised, and turned upside_down when `upside`),
// less than head_gap of the strip box's height below it, or, in a strip of
// two or more, starts within column_edge of the frame's width of it (in
// `tb`); one such box of a one-box strip, two of a wider one, are the
// first lines of columns. On a labelled page (`roles` not empty), a box of
// a strip of two or more that is labelled body text and has no box under
// it at all heads a column too: the top of a column that holds that box
// alone (the short right column of a paper's last page), where a running
// head would stand over text. `set` must be ascending; it is again when no
// strip is taken.
Band strip_at_top(std::span<const PageBox> tb, std::span<const PageBox> raw, std::span<const std::uint8_t> roles,
                  bool upside, std::span<std::uint32_t> set, double top, const PageBox& frame,
                  const ProfileOptions& options, Scratch& scratch, std::size_t& taken);

// The box turned upside down, (x1, -y2, x2, -y1): the foot of a page becomes
// its top, for strip_at_top.
inline PageBox upside_down(const PageBox& b) noexcept { return {b.x1, -b.y2, b.x2, -b.y1}; }

// The box shrunk by dx on the left and right and by dy, at most
// shrink_share of its own height, on top and bottom (tolerant_box).
inline PageBox share_shrunk(const PageBox& box, double dx, double dy, const ProfileOptions& options) noexcept {
    return tolerant_box(box, dx, std::min(dy, options.shrink_share * (box.y2 - box.y1)));
}

// The boxes of `set` whose y-extent in `tb` overlaps no other's (a < d and
// c < b for (a, b) and (c, d)): each alone in its row. Sorts a copy of `set`
// in scratch.indices and returns a part of it.
std::span<const std::uint32_t> lone_rows(std::span<const PageBox> tb, std::span<const std::uint32_t> set,
                                         Scratch& scratch);

// The captions of `main` with their figures (roles by input index), measured
// on the `boxes` as given (normalised). Captions given as text lines first
// stand in blocks: two captions are lines of one (same_caption) when they
// overlap by more than half the narrower width, stand less than half the
// shorter one's height apart, the taller at most 1.5 times as tall, their
// left edges or their centres at most that height apart; a block is what
// such pairs join, measured by the union of its lines. Then each
// caption, as its block, with the figure of `main` above or below it that it
// overlaps by more than half the narrower width, the nearest within
// caption_gap of the frame's height (the first of equally near ones): the
// lines of a caption go with one figure, even where its last line stands
// nearer the next figure than its first; then, until none is
// added, each caption left within that gap of a placed caption that it
// overlaps, with that caption's figure. `group` (by input index, sized by
// the caller) gets the figure of each member of a group, the figure itself
// included, and kNoGroup for the other boxes of `main`; the shrunk box of
// every member becomes the union of its group's. Returns whether any
// caption was placed.
// A page with more than kMostCaptions captions has its captions read as
// text: each caption is measured against every figure and every caption
// placed, so that no page costs more than about kMostCaptions times its
// boxes (no real page comes near it).
inline constexpr std::uint32_t kNoGroup = UINT32_MAX;
inline constexpr std::size_t kMostCaptions = 256;
bool group_captions(std::span<const PageBox> boxes, std::span<PageBox> tb, std::span<const std::uint32_t> main,
                    std::span<const std::uint8_t> roles, const PageBox& frame, const ProfileOptions& options,
                    std::span<std::uint32_t> group, Scratch& scratch);
// Appends `order` to `out` with each group where its first member stands,
// its members sorted by (y1, x1, index) of the `boxes` normalised.
void regroup(std::span<const std::uint32_t> order, std::span<const std::uint32_t> group,
             std::span<const PageBox> boxes, std::vector<std::uint32_t>& out);

// `main` with the footnotes, sorted in place by (y1, x1, index) of the
// `boxes` normalised, each after the last box of `main` whose y1 is less
// than its own (at the end when there is none): after the text of its page.
// A footnote that text or another footnote stands beside (a box whose
// height overlaps its own and whose width does not) ends a column: it
// follows the last box of `main` above it whose width overlaps its own,
// when there is one. Footnotes after the same box keep their sorted order.
// The test for text beside a footnote is made only while the footnotes
// times the boxes of `main` are at most kFootnoteWork, and the test for
// another footnote only while the footnotes squared are too, so that no
// page costs more than that; beyond it every footnote follows its page.
inline constexpr std::size_t kFootnoteWork = std::size_t{1} << 22;
void insert_footnotes(std::vector<std::uint32_t>& main, std::span<std::uint32_t> footnotes,
                      std::span<const PageBox> boxes, Scratch& scratch);

// Drop capitals: `body` with each of the `initials` (sorted in place by
// (y1, x1, index) of the `boxes` normalised) right before the text box of
// `body` it begins (a box whose role, in `roles` by input index, is body or
// heading): the one holding at least half of its area (the one holding
// most, sharing some area with it: none holds an initial of no area), else
// the nearest one beside it on the right (starting right of its
// middle, at most its width away, level with it; the higher one of equally
// near ones). Initials before the same box keep their sorted order; one that
// begins no box is merged back by its top (merge_by_top). A page of more
// than kMostInitials initials has them all merged back by their top, so that
// no page costs more than about kMostInitials times its boxes. `out` is
// space for the work.
// The large first letter of a paragraph stands apart from its text, often
// inside the paragraph's box; the engine would read it after the lines
// beside it, or before the text above it.
inline constexpr std::size_t kMostInitials = 256;
void place_initials(std::vector<std::uint32_t>& body, std::span<std::uint32_t> initials,
                    std::span<const PageBox> boxes, std::span<const std::uint8_t> roles, Scratch& scratch,
                    std::vector<std::uint32_t>& out);

// How many of the boxes of `set` (normalised, in `raw`) are found
// overlapping another (a shared area of positive size), counting stops once
// it exceeds `enough`: the boxes of positive width and height are sorted by
// (y1, x1, index), and each one that shares an area with the one before or
// after it in that order is counted. Boxes that overlap on a page nearly
// always include such neighbours (side-by-side columns start level, stacked
// boxes follow each other), and one sort is cheap beside the engine.
std::size_t overlapping_boxes(std::span<const PageBox> raw, std::span<const std::uint32_t> set, std::size_t enough,
                              Scratch& scratch);

// How many of the boxes of `set` share their left edge (the least x of the
// box in `raw`) exactly with another box of `set`. The boxes must be finite.
std::size_t flush_boxes(std::span<const PageBox> raw, std::span<const std::uint32_t> set, Scratch& scratch);

// The column rules as walls for the engine: each rule that crosses the
// extent of the boxes of `set` in `tb` (as they are: its c strictly between
// their least x1 and greatest x2, its span overlapping theirs in y), shortened
// by kRuleTrim of the frame's height at both ends (one that is not longer
// than twice that is left out), as a box of no width at its c, in the order
// of `rules`. A printed rule between columns says the columns run on beside
// it: handed to the engine with the boxes, it keeps every horizontal cut from
// crossing it, where the shrunk text lines of columns set in register leave
// gaps across the whole page. Shortened, it does not reach the row of
// headings over the columns that it nearly touches.
inline constexpr double kRuleTrim = 0.01;
void rule_walls(std::span<const ColumnRule> rules, std::span<const PageBox> tb, std::span<const std::uint32_t> set,
                const PageBox& frame, std::vector<PageBox>& walls);

// The separators wider than tall (finite, normalised), into `out` (cleared
// first): a column does not run on across such a rule.
void cross_rules(std::span<const PageBox> separators, std::vector<PageBox>& out);

// Walls down the gutters of two columns of text, appended to `walls` (boxes
// of no width, (x, y1, x, y2)), among the boxes of `set` in `tb` with their
// `roles` (by input index). Each box, by (y1, index), is paired with the
// nearest box right of it and then the nearest left of it (the first of
// equally near ones) among the boxes of positive height after it that start
// within its height. The line x midway between a pair is cut into stretches
// by the boxes that cross it and by the `separators` wider than tall
// (cross_rules) that do; a pair with one of those beside it is passed over,
// and so is a pair whose line lies in the gutter of a stretch tried (from
// the right edge of its boxes left of the line to the left edge of those
// right of it, ends included) and whose middle lies in that stretch. Else the stretch that
// holds the middle of the pair's common height holds the boxes beside the
// line that reach into it, less the headings at its foot (the last by (y2,
// index) while it is one: a heading heads what follows it). Those boxes
// left and right of the line are two columns of text, walled down the
// middle of the gutter between them from their top to their foot, when
// - each side holds kGutterBody body boxes,
// - the gutter is kGutterLeast wide in the engine's units (`scale`), so that
//   each half beside the wall is a gap the engine takes,
// - the narrower side is at least kGutterLike as wide as the wider,
// - at least kGutterFullShare of each side's boxes are at least kGutterFull
//   of its width (a side of two columns has none),
// - every box of a side shares some width with the side's widest box (the
//   first of equally wide ones),
// - every other box of `set` stands kGutterBand engine units above or below
//   them, so that the engine still cuts the stretch from the rest.
// A wall that stands already is not added again. Sets of fewer than four
// boxes or more than kGutterBoxes (so that no page costs more than the
// square of that), with fewer than twice kGutterBody body boxes, or whose
// body boxes' median width lies outside kGutterColumn of the width of all
// (a page of one column, or of three or more) get none.
// Two columns of text run down beside each other: where both end a
// paragraph, or one column ends, at one height, the band across the page is
// wider than the gutter, and the engine alone read the columns row by row
// there; the wall keeps every cut across the two columns out of the stretch.
inline constexpr std::size_t kGutterBoxes = 256;
// A column of text holds paragraphs; one box beside a figure is no column.
inline constexpr std::size_t kGutterBody = 2;
// A column's full lines and paragraphs are as wide as it; half of a side
// that holds two columns is under half of it. (0.5 to 0.7 read every
// collection of bench/data alike.)
inline constexpr double kGutterFull = 0.6;
inline constexpr double kGutterFullShare = 0.5;
// The columns of a page are of like width; a narrow strip beside a wide
// block is notes, a table's column or a list's numbers. (0.4 to 0.6 alike.)
inline constexpr double kGutterLike = 0.5;
// The engine's least gap is 5 units: each half of the gutter beside the wall
// must pass it with a margin.
inline constexpr double kGutterLeast = 12.0;
// More than the engine's least gap, so that it cuts the stretch from the
// boxes above and below it.
inline constexpr double kGutterBand = 6.0;
// Two columns of text: their paragraphs about half the width of the part. A
// part of one column has its body boxes as wide as it, one of three or more
// a third of it or less. (0.25 to 0.65 reads as 0.3 to 0.6; 0.35 to 0.55
// misses a gazette page of two columns.)
inline constexpr double kGutterColumn[2] = {0.3, 0.6};
std::size_t gutter_walls(std::span<const PageBox> tb, std::span<const std::uint32_t> set,
                         std::span<const std::uint8_t> roles, std::span<const PageBox> separators, double scale,
                         Scratch& scratch, std::vector<PageBox>& walls);

// The marginal notes among `set` (at least three boxes): the boxes beside the
// text block (their vertical centre within its height) that lie wholly left or
// wholly right of it, when such a strip is at most margin_max of the block's
// width. A box that `roles` (by input index; empty without labels) call a
// heading is never a note: a column's heading beside a headline spanning
// the others is not one. Moves them to the back of `set`; returns how many
// there are.
std::size_t split_margins(std::span<const PageBox> tb, std::span<std::uint32_t> set,
                          std::span<const std::uint8_t> roles, const ProfileOptions& options, Scratch& scratch);

// The levels, ascending, above which a heading spanning columns starts a new
// row of articles among the boxes of `main` (roles by input index; `raw` as
// given, normalised; `tb` shrunk, as the engine sees them), into
// scratch.lines: each heading of `main`
// - wider than the text's columns: the body boxes at most 1/article_span
//   as wide as it hold at least kArticleShare of the height of all body
//   boxes (heights summed in the order of `main`),
// - with a clear band in `raw` between the boxes of `main` that start above
//   its level (half its height over its top) and the others,
// - with two boxes that are not headings starting just below it (from half
//   its height above its foot to twice its height below it), side by side
//   in `tb` (one ends left of where the other starts): a row of columns
//   starts there.
// What stands level with the heading beside it belongs to its row.
// A newspaper's articles stand in rows under such headings; the shrink of a
// detector's boxes widens the gutters past the gaps between the rows, so the
// engine alone would read a column down through several articles. The
// headings are looked at in the order of `main` while the work (the boxes of
// `main` for each heading) stays within kArticleWork, so that no page costs
// more.
inline constexpr std::size_t kArticleWork = std::size_t{1} << 22;
// The share of the body's height that the boxes no wider than a heading
// (by article_span) must hold for it to count as wider than the columns.
// A column's width is that of its full lines: the text boxes of a page
// given as text lines are narrower where a paragraph's last line ends or
// its first is indented, so that half of their height lies in boxes
// narrower than a column, and a heading one column wide would pass a test
// of half (the gazette pages as lines read 0.944 with that test, 0.964 with
// this share and 0.973 with the band taken in the boxes as given as well;
// as regions, whose boxes are as wide as their widest line, every
// collection is read the same with either).
inline constexpr double kArticleShare = 0.9;
void article_lines(std::span<const PageBox> tb, std::span<const PageBox> raw, std::span<const std::uint32_t> main,
                   std::span<const std::uint8_t> roles, const ProfileOptions& options, Scratch& scratch);

// Step 12b: the bands that run across all of `main` clear in its boxes as
// given (`raw`, normalised), before any shrink, each appended to
// `scratch.lines` as the top of the first box under it; returns how many. A
// band counts when it is
// - at least band_min of the page `height` tall,
// - at least band_ratio times as tall as the typical gap in a column (the
//   median, over the boxes, of the gap to the nearest box under it, starting
//   no higher than its middle, that shares some of its width; 0 where they
//   overlap),
// - not crossed by a column rule (a rule that runs through its middle:
//   the columns go on under it);
// - on a labelled page (`roles` not empty), not between a heading that a
//   column stands beside (a box level with it sharing none of its width)
//   and the nearest box under it that shares some of its width: a heading
//   heads what follows it (a section heading atop a paper's column, level
//   with the end of the other column's abstract, starts no row).
// Rows of a page set apart by such bands are read one after the other: the
// shrink the engine needs on detected boxes widens the gutters between
// columns past them (a newspaper's row of articles under headings a column
// wide, a slide's two rows of boxes). Pages of more than kBandBoxes boxes in
// `main` are left as they are, so that no page costs more than the square of
// that.
inline constexpr std::size_t kBandBoxes = 256;
std::size_t row_bands(std::span<const PageBox> raw, std::span<const std::uint32_t> main,
                      std::span<const std::uint8_t> roles, std::span<const ColumnRule> rules, double height,
                      const ProfileOptions& options, Scratch& scratch);

// Sorts `order` stably by the number of the `lines` (ascending) at or above
// the top of each box (`raw` normalised): the boxes of each row of articles
// before those of the next, each row in the order it had.
void rows_in_turn(std::vector<std::uint32_t>& order, std::span<const double> lines, std::span<const PageBox> raw,
                  Scratch& scratch);

// Appends to `out` the main order with the notes merged in: the notes, sorted
// in place by (y1, x1, index) of the `boxes` normalised, each before the first
// main box whose y1 is greater than its own; the rest at the end.
void merge_by_top(std::span<const std::uint32_t> main, std::span<std::uint32_t> notes, std::span<const PageBox> boxes,
                  std::vector<std::uint32_t>& out);

// Appends to `out` the main order with the margin notes merged in, as
// merge_by_top does, but for blocks, when a page has at most kMostNotes
// notes: the notes stand in blocks (by (y1, x1, index), a note joins the
// first block whose last note it overlaps in width and that it starts
// within, or at most the lesser of their heights under, unless it would
// widen the block by more than half), and a block of two or more notes
// beside text lines (at least half of the main boxes level with it, their
// middles between its top and bottom and sharing less than a fifth of its
// width, six times as wide as tall) and at most half as wide as the widest
// of them is read whole: on the left of the first of those lines, when that
// line begins its paragraph, right before it; else right after the
// paragraph of the last of them (the lines after it that go on its
// paragraph: `continues_paragraph`). A note alone that is labelled a
// marginal note (its role in `roles`, when there are any) goes right before
// the box of `main` it heads, when there is one: the first, in the order of
// `main`, that is no text line (less than six times as wide as tall), that
// starts right of the note's middle, and whose top the note starts at or at
// most `lead` under (and above whose bottom); one that heads none but
// stands beside text lines is read as a block of one. Other blocks, and the
// other notes alone, are merged by their top. The annotators of printed
// books read a marginal note as one piece, after the paragraph beside it
// or, on the left, before the paragraph it heads; merged by its top line by
// line, a note given as lines was read interleaved with its paragraph, and
// a note given as a region that starts a little under the top of the
// paragraph on its right was read after it. The half-width bound keeps a narrow column of
// text, taken for notes, in its place. Returns how many blocks were read
// whole and how many notes head a box. `notes` is sorted in place.
inline constexpr std::size_t kMostNotes = 256;
// How far under the top of a text region a labelled note alone on its left
// may start and still head it: a share of the page height, about a line of
// a book page.
inline constexpr double kNoteLead = 0.03;
struct NotesPlaced {
    std::size_t blocks = 0;  // blocks read whole beside their paragraphs
    std::size_t heads = 0;   // notes alone read before the box they head
};
NotesPlaced merge_notes(std::span<const std::uint32_t> main, std::span<std::uint32_t> notes,
                        std::span<const PageBox> boxes, std::span<const std::uint8_t> roles, double lead,
                        Scratch& scratch, std::vector<std::uint32_t>& out);

// Whether line `b` goes on the paragraph of line `a`, the line over it (both
// normalised): they share more than half the narrower one's width, `b`
// starts within `a` or at most 0.8 times the lesser height under it, is not
// indented (its left edge at most half that height right of `a`'s), `a` is
// not short (its right edge at most that height left of `b`'s), and neither
// is more than 2.5 times as tall as the other.
bool continues_paragraph(const PageBox& a, const PageBox& b) noexcept;

// Whether `order` holds every index 0..n-1 exactly once; the second form
// marks the indices seen in `marks`, reusing its space.
bool is_permutation_of(std::span<const std::uint32_t> order, std::size_t n);
bool is_permutation_of(std::span<const std::uint32_t> order, std::size_t n, std::vector<std::uint32_t>& marks);

}  // namespace quorlin::engine::detail
