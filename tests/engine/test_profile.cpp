// The quality profile: each step on small hand-worked pages, the guarantee
// that every box comes out exactly once, the trace, and the final check.

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <vector>

#include "xycut/detail.hpp"
#include "profile/profile_steps.hpp"
#include "quorlin/engine/profile.hpp"
#include "support.hpp"

namespace quorlin::test {
namespace {

using test::PrintTo;

using engine::PageBox;
using engine::ProfileOptions;
using engine::Role;
using engine::ProfileTrace;
using engine::TraceKind;
namespace steps = engine::detail;

using Indices = std::vector<std::uint32_t>;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInfinity = std::numeric_limits<double>::infinity();

Indices all_of(std::size_t n) {
    Indices out(n);
    std::iota(out.begin(), out.end(), 0U);
    return out;
}

bool same(const PageBox& a, const PageBox& b) { return a.x1 == b.x1 && a.y1 == b.y1 && a.x2 == b.x2 && a.y2 == b.y2; }

// ---- shrinking ----------------------------------------------------------------

struct ShrinkCase {
    const char* name;
    PageBox box;
    double dx, dy;
    PageBox expected;
};

class Shrink : public ::testing::TestWithParam<ShrinkCase> {};

TEST_P(Shrink, ShrinksEachAxisThatStaysUpright) {
    const ShrinkCase& c = GetParam();
    EXPECT_TRUE(same(steps::tolerant_box(c.box, c.dx, c.dy), c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Shrink,
    ::testing::Values(ShrinkCase{"both_axes", {0, 0, 100, 50}, 10, 5, {10, 5, 90, 45}},
                      ShrinkCase{"narrow_box_keeps_its_width", {0, 0, 15, 50}, 10, 5, {0, 5, 15, 45}},
                      ShrinkCase{"exactly_twice_the_shrink_collapses", {0, 0, 20, 10}, 10, 5, {10, 5, 10, 5}},
                      ShrinkCase{"zero_size_box", {7, 7, 7, 7}, 10, 5, {7, 7, 7, 7}}),
    CaseName());

// ---- the fold of a spread -------------------------------------------------------

struct SpreadCase {
    const char* name;
    std::vector<PageBox> boxes;
    PageBox frame;
    Indices left;  // empty: no split
    Indices right;
};

class Spread : public ::testing::TestWithParam<SpreadCase> {};

TEST_P(Spread, SplitsALandscapePageAtAnEmptyMiddle) {
    const SpreadCase& c = GetParam();
    Indices set = all_of(c.boxes.size());
    steps::Scratch scratch;
    std::size_t left = 99;
    const steps::Band fold = steps::split_spread(c.boxes, set, c.frame, ProfileOptions{}, scratch, left);
    EXPECT_EQ(fold.width > 0, !c.left.empty() || !c.right.empty());
    if (fold.width > 0) {
        EXPECT_EQ(Indices(set.begin(), set.begin() + static_cast<std::ptrdiff_t>(left)), c.left);
        EXPECT_EQ(Indices(set.begin() + static_cast<std::ptrdiff_t>(left), set.end()), c.right);
    } else {
        EXPECT_EQ(set, all_of(c.boxes.size()));
        EXPECT_EQ(left, 0U);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Spread,
    ::testing::Values(
        // pages 0..1000 and 1000..2000; the fold region 900..1100 is empty; the right page in two columns
        SpreadCase{"two_pages", {{1100, 0, 1480, 900}, {100, 0, 880, 900}, {100, 950, 900, 1000}, {1520, 0, 1900, 900}},
                   {0, 0, 2000, 1000}, {1, 2}, {0, 3}},
        // a box crossing the middle tenth: no fold
        SpreadCase{"crossed_middle", {{100, 0, 1150, 900}, {1200, 0, 1480, 900}, {1520, 0, 1900, 900}},
                   {0, 0, 2000, 1000}, {}, {}},
        // the same boxes on a portrait page: never split
        SpreadCase{"portrait", {{1100, 0, 1480, 900}, {100, 0, 880, 900}, {1520, 0, 1900, 900}}, {0, 0, 2000, 2500},
                   {}, {}},
        // boxes overlapping the middle by less than the shrink of one page (2 % of 1000): split
        SpreadCase{"overlap_within_the_shrink", {{100, 0, 1015, 900}, {985, 0, 1440, 900}, {1460, 0, 1900, 900}},
                   {0, 0, 2000, 1000}, {0}, {1, 2}},
        // one column on each side of the empty middle (the two columns of a page that end halfway down, as
        // the boxes' union frames them; a slide's two blocks): one page, not a spread
        SpreadCase{"one_column_each_side", {{1100, 0, 1900, 900}, {100, 0, 880, 900}, {100, 950, 900, 1000}},
                   {0, 0, 2000, 1000}, {}, {}},
        // a running head beside the left page's text, level with less than half its height: no columns
        SpreadCase{"barely_level", {{100, 0, 500, 100}, {520, 60, 880, 900}, {1100, 0, 1900, 900}},
                   {0, 0, 2000, 1000}, {}, {}},
        // the tallest box of no width, which the quick look compared with itself and took for two columns
        SpreadCase{"tallest_box_of_no_width_is_no_two_columns",
                   {{1e300, 0, 675, 0}, {0, 0, 0, 0}, {0, 0, 0, 25}, {0, 0, 0, 0}}, {0, 0, 1500, 1000}, {}, {}}),
    CaseName());

// Whether boxes stand side by side, as the fold of a spread asks of its pages.
struct ColumnsCase {
    const char* name;
    std::vector<PageBox> boxes;
    bool columns;
};

class Columns : public ::testing::TestWithParam<ColumnsCase> {};

TEST_P(Columns, TwoBoxesApartAndLevelAreColumns) {
    std::vector<PageBox> boxes = GetParam().boxes;
    EXPECT_EQ(steps::has_columns(boxes), GetParam().columns);
}

std::vector<PageBox> heap(std::size_t n) { return std::vector<PageBox>(n, PageBox{0, 0, 10, 10}); }

INSTANTIATE_TEST_SUITE_P(
    Table, Columns,
    ::testing::Values(ColumnsCase{"none", {}, false}, ColumnsCase{"one", {{0, 0, 10, 10}}, false},
                      ColumnsCase{"stacked", {{0, 0, 10, 10}, {0, 20, 10, 30}, {0, 40, 10, 50}}, false},
                      ColumnsCase{"side_by_side", {{0, 0, 10, 100}, {20, 0, 30, 100}}, true},
                      ColumnsCase{"touching", {{0, 0, 10, 100}, {10, 0, 30, 100}}, true},
                      ColumnsCase{"overlapping_across", {{0, 0, 11, 100}, {10, 0, 30, 100}}, false},
                      // level by exactly half the shorter box's height, found after a box between them
                      ColumnsCase{"half_level", {{20, 50, 30, 150}, {0, 0, 10, 100}, {0, 10, 10, 20}}, true},
                      ColumnsCase{"less_than_half_level", {{20, 51, 30, 151}, {0, 0, 10, 100}}, false},
                      // a heap of boxes on each other: past 16 pairs a box, counted as columns
                      ColumnsCase{"heap_of_30", heap(30), false}, ColumnsCase{"heap_of_40", heap(40), true}),
    CaseName());

// ---- finite boxes -------------------------------------------------------------------

// Whether a page holds only finite boxes: its answer is that of is_finite on
// each box, whichever coordinate of whichever box is not finite.
struct FiniteCase {
    const char* name;
    std::vector<PageBox> boxes;
    bool finite;
};

class AllFinite : public ::testing::TestWithParam<FiniteCase> {};

TEST_P(AllFinite, IsWhetherEveryBoxIsFinite) {
    const FiniteCase& c = GetParam();
    EXPECT_EQ(steps::all_finite(c.boxes), c.finite);
    EXPECT_EQ(std::all_of(c.boxes.begin(), c.boxes.end(), [](const PageBox& b) { return steps::is_finite(b); }),
              c.finite);
}

const double kHuge = std::numeric_limits<double>::max();

INSTANTIATE_TEST_SUITE_P(
    Table, AllFinite,
    ::testing::Values(FiniteCase{"no_boxes", {}, true},
                      FiniteCase{"finite", {{0, 0, 10, 10}, {-0.0, 5, 0.0, -5}, {30, 40, 20, 10}}, true},
                      FiniteCase{"largest", {{-kHuge, -kHuge, kHuge, kHuge}, {kHuge, kHuge, kHuge, kHuge}}, true},
                      FiniteCase{"nan_x1", {{0, 0, 10, 10}, {kNaN, 0, 10, 10}}, false},
                      FiniteCase{"nan_y1", {{0, kNaN, 10, 10}, {0, 0, 10, 10}}, false},
                      FiniteCase{"nan_x2", {{0, 0, 10, 10}, {0, 0, 10, 10}, {0, 0, kNaN, 10}}, false},
                      FiniteCase{"nan_y2", {{0, 0, 10, kNaN}}, false},
                      FiniteCase{"infinite", {{0, 0, kInfinity, 10}, {0, 0, 10, 10}}, false},
                      FiniteCase{"minus_infinite", {{0, 0, 10, 10}, {0, -kInfinity, 10, 10}}, false},
                      FiniteCase{"infinities_of_both_signs", {{-kInfinity, 0, kInfinity, 10}}, false}),
    CaseName());

// ---- column rules -----------------------------------------------------------------

TEST(ColumnRules, KeepsOnlyLongVerticalFiniteRules) {
    const std::vector<PageBox> separators = {
        {498, 0, 502, 800},    // long vertical: kept, centre 500
        {10, 500, 990, 504},   // horizontal
        {300, 0, 304, 100},    // too short (a quarter of 1000 is 250)
        {kNaN, 0, 2, 900},     // not finite
        {700, 900, 700, 100},  // corners swapped, zero width: kept, centre 700
        {5, 5, 5, 5},          // no height
    };
    const auto rules = steps::column_rules(separators, {0, 0, 1000, 1000}, ProfileOptions{});
    ASSERT_EQ(rules.size(), 2U);
    EXPECT_EQ(rules[0].c, 500.0);
    EXPECT_EQ(rules[1].c, 700.0);
    EXPECT_EQ(rules[1].y1, 100.0);
}

TEST(ColumnRules, ComeSortedByCentreThenTop) {
    const std::vector<PageBox> separators = {{698, 500, 702, 1000}, {298, 0, 302, 800}, {698, 400, 702, 0}};
    const auto rules = steps::column_rules(separators, {0, 0, 1000, 1000}, ProfileOptions{});
    ASSERT_EQ(rules.size(), 3U);
    EXPECT_EQ((std::vector<double>{rules[0].c, rules[1].c, rules[1].y1, rules[2].c, rules[2].y1}),
              (std::vector<double>{300, 700, 0, 700, 500}));
}

// The first rule right of x, whether the rules are counted (few) or
// searched by halves (more than kRulesCounted): the place std::upper_bound
// finds among their centres, for x below, at, between and beyond them.
struct RuleRightCase {
    const char* name;
    std::vector<double> centres;  // ascending
};

class FirstRuleRight : public ::testing::TestWithParam<RuleRightCase> {};

TEST_P(FirstRuleRight, IsWhereTheCentresPassX) {
    const RuleRightCase& c = GetParam();
    std::vector<steps::ColumnRule> rules;
    std::vector<double> probes = {-kInfinity, -1e9, 0.0, -0.0, 1e9, kInfinity};
    for (const double centre : c.centres) {
        rules.push_back({centre, 0, 1000});
        probes.insert(probes.end(), {centre - 0.5, centre, std::nextafter(centre, kInfinity), centre + 0.5});
    }
    for (const double x : probes) {
        const auto expected = std::upper_bound(c.centres.begin(), c.centres.end(), x) - c.centres.begin();
        EXPECT_EQ(steps::first_rule_right_of(rules, x), static_cast<std::size_t>(expected)) << "x = " << x;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, FirstRuleRight,
    ::testing::Values(RuleRightCase{"no_rules", {}}, RuleRightCase{"one_rule", {500}},
                      RuleRightCase{"three_rules", {100, 500, 900}},
                      RuleRightCase{"counted_at_most", {10, 20, 30, 40, 50, 60, 70, 80}},
                      RuleRightCase{"searched_from", {10, 20, 30, 40, 50, 60, 70, 80, 90}},
                      RuleRightCase{"ties_counted", {0, 300, 300, 300, 700}},
                      RuleRightCase{"ties_searched", {100, 100, 200, 200, 200, 200, 300, 300, 300, 400, 400}},
                      RuleRightCase{"many", {5, 15, 25, 35, 45, 55, 65, 75, 85, 95, 105, 115, 125, 135, 145, 155, 165,
                                             175, 185, 195, 205}}),
    CaseName());

struct SnapCase {
    const char* name;
    PageBox box;
    PageBox expected;
};

class Snap : public ::testing::TestWithParam<SnapCase> {};

// Rules at x = 500 (y 0..1000) and x = 1000 (y 0..300).
TEST_P(Snap, ClipsAtRulesInTheOuterQuarter) {
    const SnapCase& c = GetParam();
    std::vector<steps::ColumnRule> rules = {{500, 0, 1000}, {1000, 0, 300}};
    EXPECT_TRUE(same(steps::snap_to_rules(c.box, rules, ProfileOptions{}), c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Snap,
    ::testing::Values(SnapCase{"reaches_right_over_a_rule", {100, 100, 520, 900}, {100, 100, 500, 900}},
                      SnapCase{"reaches_left_over_a_rule", {490, 100, 900, 900}, {500, 100, 900, 900}},
                      SnapCase{"rule_through_the_middle_splits_nothing", {300, 100, 700, 900}, {300, 100, 700, 900}},
                      SnapCase{"rule_alongside_too_little_of_the_box", {900, 200, 1020, 900}, {900, 200, 1020, 900}},
                      SnapCase{"clipped_on_both_sides", {480, 100, 1010, 250}, {500, 100, 1000, 250}},
                      SnapCase{"ends_at_a_rule", {100, 100, 500, 900}, {100, 100, 500, 900}},
                      SnapCase{"starts_at_a_rule", {1000, 0, 1100, 200}, {1000, 0, 1100, 200}},
                      SnapCase{"between_two_rules", {600, 100, 900, 200}, {600, 100, 900, 200}}),
    CaseName());

TEST(Snap, DoesNotDependOnTheOrderOfTheRules) {
    std::mt19937 rng(7U);
    std::uniform_real_distribution<double> x(0, 1000);
    for (int page = 0; page < 200; ++page) {
        std::vector<steps::ColumnRule> rules;
        for (int i = 0; i < 6; ++i) {
            const double c = x(rng);
            rules.push_back({c, x(rng) - 500, x(rng) + 500});
        }
        std::sort(rules.begin(), rules.end(), [](const auto& a, const auto& b) { return a.c < b.c; });
        const double left = x(rng);
        const PageBox box{left, x(rng) - 300, left + x(rng) / 2, x(rng) + 300};
        const PageBox once = steps::snap_to_rules(box, rules, ProfileOptions{});
        for (auto& r : rules) {  // ties of c in another order
            r.c = std::round(r.c / 200) * 200;
        }
        std::sort(rules.begin(), rules.end(), [](const auto& a, const auto& b) { return a.c < b.c; });
        const PageBox rounded = steps::snap_to_rules(box, rules, ProfileOptions{});
        std::stable_sort(rules.begin(), rules.end(), [](const auto& a, const auto& b) { return a.y1 > b.y1; });
        std::stable_sort(rules.begin(), rules.end(), [](const auto& a, const auto& b) { return a.c < b.c; });
        EXPECT_TRUE(same(steps::snap_to_rules(box, rules, ProfileOptions{}), rounded)) << "page " << page;
        EXPECT_LE(once.x1, once.x2);
        EXPECT_LE(rounded.x1, rounded.x2);
    }
}

// ---- top strip and margin notes --------------------------------------------------

struct StripCase {
    const char* name;
    std::vector<PageBox> tb;
    Indices strip;
    double position;
    double gap;
};

class TopStrip : public ::testing::TestWithParam<StripCase> {};

// On a page 1000 high: a strip is at most 50 tall.
TEST_P(TopStrip, TakesTheThinStripAboveTheFirstGap) {
    const StripCase& c = GetParam();
    Indices set = all_of(c.tb.size());
    steps::Scratch scratch;
    std::size_t taken = 99;
    const steps::Band under =
        steps::split_top_strip(c.tb, c.tb, {}, set, {0, 0, 800, 1000}, ProfileOptions{}, scratch, taken);
    EXPECT_EQ(Indices(set.begin(), set.begin() + static_cast<std::ptrdiff_t>(taken)), c.strip);
    Indices rest(set.begin() + static_cast<std::ptrdiff_t>(taken), set.end());
    EXPECT_TRUE(std::is_sorted(rest.begin(), rest.end()));
    if (!c.strip.empty()) {
        EXPECT_EQ(under.middle, c.position);
        EXPECT_EQ(under.width, c.gap);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TopStrip,
    ::testing::Values(
        StripCase{"running_head_and_page_number",
                  {{100, 100, 700, 900}, {100, 20, 600, 40}, {650, 25, 700, 45}, {100, 920, 700, 980}}, {1, 2}, 72.5,
                  55},
        StripCase{"too_tall", {{100, 100, 700, 900}, {100, 20, 600, 80}}, {}, 0, 0},
        StripCase{"no_gap", {{100, 10, 700, 900}, {100, 20, 600, 40}}, {}, 0, 0},
        // every box near the top is in the strip; the gap is to the first box below
        StripCase{"gap_to_the_boxes_further_down", {{100, 300, 700, 900}, {100, 20, 600, 40}}, {1}, 170, 260},
        StripCase{"one_box", {{100, 300, 700, 900}}, {}, 0, 0},
        // the indented first lines of two columns, a line's spacing above the next lines: no strip
        StripCase{"first_lines_of_two_columns",
                  {{120, 20, 380, 40}, {440, 20, 700, 40}, {100, 45, 390, 65}, {420, 45, 700, 65}, {100, 70, 390, 90}},
                  {}, 0, 0},
        // the same two boxes far above the columns are a running head and a page number
        StripCase{"far_above_the_columns",
                  {{120, 20, 380, 40}, {440, 20, 700, 40}, {100, 85, 390, 105}, {420, 85, 700, 105}}, {0, 1}, 62.5,
                  45},
        // one line closer to the box under it than half its height is a column's first line
        StripCase{"one_line_over_its_column", {{100, 20, 600, 40}, {100, 45, 600, 900}}, {}, 0, 0},
        // half its height away or more, it is a running head
        StripCase{"one_line_half_its_height_above", {{100, 20, 600, 40}, {100, 50, 600, 900}}, {0}, 45, 10}),
    CaseName());

// ---- boxes alone in their row ---------------------------------------------------------

struct LoneCase {
    const char* name;
    std::vector<PageBox> tb;
    Indices lone;  // ascending
};

class LoneRows : public ::testing::TestWithParam<LoneCase> {};

TEST_P(LoneRows, FindsTheBoxesNoOtherBoxStandsBeside) {
    const LoneCase& c = GetParam();
    const Indices set = all_of(c.tb.size());
    steps::Scratch scratch;
    const std::span<const std::uint32_t> found = steps::lone_rows(c.tb, set, scratch);
    Indices lone(found.begin(), found.end());
    std::sort(lone.begin(), lone.end());
    EXPECT_EQ(lone, c.lone);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LoneRows,
    ::testing::Values(
        LoneCase{"stacked", {{0, 200, 100, 300}, {0, 0, 100, 100}, {0, 100, 100, 200}}, {0, 1, 2}},
        LoneCase{"side_by_side", {{0, 0, 100, 100}, {200, 50, 300, 150}, {0, 300, 300, 400}}, {2}},
        // a box that overlaps only one that ends above its bottom, found before it in the sweep
        LoneCase{"overlap_with_an_earlier_tall_box", {{0, 0, 100, 500}, {200, 10, 300, 20}, {200, 400, 300, 450}},
                 {}},
        // touching boxes, and zero-height boxes on one line, overlap nothing
        LoneCase{"touching", {{0, 0, 100, 100}, {200, 100, 300, 200}}, {0, 1}},
        LoneCase{"zero_height_on_a_top_edge", {{0, 50, 100, 50}, {200, 50, 300, 90}, {400, 50, 500, 50}},
                 {0, 1, 2}},
        LoneCase{"same_top_different_bottoms", {{0, 50, 100, 60}, {200, 50, 300, 90}}, {}}),
    CaseName());

struct OverlapCase {
    const char* name;
    std::vector<PageBox> boxes;
    std::size_t found;
};

class Overlaps : public ::testing::TestWithParam<OverlapCase> {};

TEST_P(Overlaps, CountsTheBoxesFoundOverlappingAnother) {
    const OverlapCase& c = GetParam();
    const Indices set = all_of(c.boxes.size());
    steps::Scratch scratch;
    EXPECT_EQ(steps::overlapping_boxes(c.boxes, set, c.boxes.size(), scratch), c.found);
    // the count stops once it passes `enough`
    if (c.found > 0) {
        EXPECT_GT(steps::overlapping_boxes(c.boxes, set, 0, scratch), 0U);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Overlaps,
    ::testing::Values(
        OverlapCase{"none", {{0, 0, 100, 100}, {200, 0, 300, 100}, {0, 200, 300, 300}}, 0},
        // touching edges and corners share no area
        OverlapCase{"touching", {{0, 0, 100, 100}, {100, 0, 200, 100}, {0, 100, 100, 200}, {100, 100, 200, 200}}, 0},
        OverlapCase{"two_columns_overlapping", {{0, 0, 105, 500}, {95, 0, 200, 500}, {0, 600, 200, 700}}, 2},
        // a box beside a tall one overlaps it; the next one, level with the tall one but beside it, does not
        OverlapCase{"a_tall_box_beside", {{0, 0, 100, 1000}, {50, 100, 300, 120}, {150, 200, 300, 220}}, 2},
        // a chain down a column: each box overlaps the one above it
        OverlapCase{"a_chain", {{0, 0, 100, 110}, {0, 100, 100, 210}, {0, 200, 100, 310}, {0, 300, 100, 400}}, 4},
        // swapped corners count as the box they span; boxes without area and NaN boxes are left out
        OverlapCase{"swapped_and_empty", {{105, 100, 0, 0}, {95, 0, 200, 100}, {50, 50, 50, 90}, {kNaN, 0, 10, 10}},
                    2}),
    CaseName());

struct MarginCase {
    const char* name;
    std::vector<PageBox> tb;
    Indices notes;
    std::vector<std::uint8_t> roles = {};
};

class Margins : public ::testing::TestWithParam<MarginCase> {};

TEST_P(Margins, TakesNarrowStripsBesideTheTextBlock) {
    const MarginCase& c = GetParam();
    Indices set = all_of(c.tb.size());
    steps::Scratch scratch;
    ProfileOptions options;
    options.margin_max = 0.25;  // the cases measure strips against a quarter of the block's width
    const std::size_t notes = steps::split_margins(c.tb, set, c.roles, options, scratch);
    EXPECT_EQ(Indices(set.end() - static_cast<std::ptrdiff_t>(notes), set.end()), c.notes);
    Indices main(set.begin(), set.end() - static_cast<std::ptrdiff_t>(notes));
    EXPECT_TRUE(std::is_sorted(main.begin(), main.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Margins,
    ::testing::Values(
        MarginCase{"left_notes", {{200, 100, 800, 500}, {50, 120, 180, 200}, {200, 520, 800, 900}, {60, 600, 170, 650}},
                   {1, 3}},
        MarginCase{"both_sides", {{200, 100, 800, 900}, {50, 120, 180, 200}, {820, 300, 950, 350}}, {1, 2}},
        // a strip wider than a quarter of the text block is a column
        MarginCase{"a_column_is_no_margin", {{300, 100, 800, 900}, {50, 120, 290, 200}, {60, 300, 200, 350}}, {}},
        // beside the block only: a note whose centre is above the text block is a heading
        MarginCase{"above_the_block", {{200, 100, 800, 900}, {50, 20, 180, 60}, {50, 120, 180, 200}}, {2}},
        MarginCase{"two_boxes_are_too_few", {{200, 100, 800, 900}, {50, 120, 180, 200}}, {}},
        // a note that ends where the text block starts is still wholly beside it
        MarginCase{"touching_the_block", {{200, 100, 800, 900}, {50, 120, 200, 200}, {200, 920, 800, 990}}, {1}},
        MarginCase{"touching_on_the_right", {{820, 120, 950, 200}, {200, 100, 820, 900}, {200, 920, 820, 990}}, {0}},
        // infinite and NaN edges are counted, or left out, as numbers: never a box that reaches nowhere
        MarginCase{"a_block_without_end", {{200, 100, kInfinity, 900}, {50, 120, 180, 200}, {60, 300, 170, 350}},
                   {1, 2}},
        MarginCase{"a_box_without_coordinates", {{200, 100, 800, 900}, {kNaN, kNaN, kNaN, kNaN}, {50, 120, 180, 200}},
                   {2}},
        // a heading beside a headline is the head of a column, never a note
        MarginCase{"a_heading_is_no_note",
                   {{200, 100, 800, 900}, {50, 120, 180, 200}, {820, 300, 950, 350}},
                   {2},
                   {static_cast<std::uint8_t>(Role::Body), static_cast<std::uint8_t>(Role::Heading),
                    static_cast<std::uint8_t>(Role::Body)}},
        // the block is every box at least half as wide as the widest, not the widest alone
        MarginCase{"left_of_the_widest_box_only", {{300, 100, 900, 500}, {100, 520, 500, 900}, {150, 600, 280, 650}},
                   {}}),
    CaseName());

TEST(MergeByTop, PutsEachNoteAfterTheTextThatStartsLevelOrAbove) {
    const std::vector<PageBox> boxes = {{200, 100, 800, 500}, {200, 520, 800, 900}, {50, 100, 180, 150},
                                        {50, 510, 180, 560}, {820, 510, 950, 560}, {50, 950, 180, 990}};
    // notes given out of order: sorted by (y1, x1, index)
    Indices notes = {5, 4, 3, 2};
    Indices out = {9};
    steps::merge_by_top(Indices{0, 1}, notes, boxes, out);
    EXPECT_EQ(out, (Indices{9, 0, 2, 3, 4, 1, 5}));
    notes = {4, 3};
    out.clear();
    steps::merge_by_top(Indices{}, notes, boxes, out);
    EXPECT_EQ(out, (Indices{3, 4}));
}

// A column of six lines, two paragraphs: lines 0-2 (line 2 short) and 3-5
// (line 3 indented); the notes follow as boxes 6, 7.
std::vector<PageBox> lines_with(std::initializer_list<PageBox> notes) {
    std::vector<PageBox> boxes;
    for (int i = 0; i < 6; ++i) {
        const double y = 100 + 50 * i;
        boxes.push_back({i == 3 ? 240.0 : 200.0, y, i == 2 ? 500.0 : 800.0, y + 40});
    }
    boxes.insert(boxes.end(), notes);
    return boxes;
}

struct NoteCase {
    const char* name;
    std::vector<PageBox> boxes;
    Indices main;
    Indices expected;
    bool labelled = false;  // the notes labelled marginal notes, heading a box up to 30 under its top
};

class MergeNotes : public ::testing::TestWithParam<NoteCase> {};

TEST_P(MergeNotes, ReadsABlockOfNoteLinesWholeBesideItsParagraph) {
    const NoteCase& c = GetParam();
    Indices notes;
    for (std::uint32_t k = static_cast<std::uint32_t>(c.main.size()); k < c.boxes.size(); ++k) {
        notes.push_back(k);
    }
    std::vector<std::uint8_t> roles;
    if (c.labelled) {
        roles.assign(c.boxes.size(), static_cast<std::uint8_t>(Role::Body));
        for (const std::uint32_t k : notes) {
            roles[k] = static_cast<std::uint8_t>(Role::Marginal);
        }
    }
    steps::Scratch scratch;
    Indices out;
    steps::merge_notes(c.main, notes, c.boxes, roles, 30.0, scratch, out);
    EXPECT_EQ(out, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MergeNotes,
    ::testing::Values(
        // by their tops the two lines of a note on the right would come
        // before line 1; read whole, they follow the paragraph beside them
        NoteCase{"right_after_its_paragraph", lines_with({{820, 100, 950, 140}, {820, 145, 950, 185}}),
                 {0, 1, 2, 3, 4, 5}, {0, 1, 2, 6, 7, 3, 4, 5}},
        // more than half as wide as the lines: a narrow column, by their tops
        NoteCase{"wider_than_half_a_line_by_their_tops", lines_with({{820, 100, 1200, 140}, {820, 145, 1200, 185}}),
                 {0, 1, 2, 3, 4, 5}, {0, 6, 7, 1, 2, 3, 4, 5}},
        // a note on the left level with a paragraph's first line heads it
        NoteCase{"left_before_the_paragraph_it_heads", lines_with({{50, 250, 180, 290}, {50, 295, 180, 335}}),
                 {0, 1, 2, 3, 4, 5}, {0, 1, 2, 6, 7, 3, 4, 5}},
        // on the left level with the middle of a paragraph: after it
        NoteCase{"left_mid_paragraph_after_it", lines_with({{50, 300, 180, 340}, {50, 345, 180, 385}}),
                 {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5, 6, 7}},
        // two notes far apart are two blocks of one: each by its top
        NoteCase{"notes_apart_by_their_tops", lines_with({{820, 100, 950, 140}, {820, 300, 950, 340}}),
                 {0, 1, 2, 3, 4, 5}, {0, 6, 1, 2, 3, 4, 7, 5}},
        // a note that would widen the block by more than half starts its own
        NoteCase{"a_wide_line_starts_its_own_block", lines_with({{820, 100, 950, 140}, {820, 145, 1400, 185}}),
                 {0, 1, 2, 3, 4, 5}, {0, 6, 7, 1, 2, 3, 4, 5}},
        // beside regions (three times as wide as tall), not lines: by their tops
        NoteCase{"beside_regions_by_their_tops",
                 {{200, 100, 800, 300}, {200, 310, 800, 600}, {820, 150, 950, 190}, {820, 195, 950, 235}}, {0, 1},
                 {0, 2, 3, 1}},
        // beside nothing (below the text): by their tops, at the end
        NoteCase{"beside_no_text_at_the_end", lines_with({{820, 700, 950, 740}, {820, 745, 950, 785}}),
                 {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5, 6, 7}},
        // a labelled note alone on the left, starting 10 under the top of a
        // paragraph region, heads it; unlabelled it follows it by its top
        NoteCase{"a_labelled_note_heads_the_region_it_starts_level_with",
                 {{200, 100, 800, 300}, {200, 310, 800, 600}, {50, 320, 180, 400}}, {0, 1}, {0, 2, 1}, true},
        NoteCase{"an_unlabelled_note_by_its_top",
                 {{200, 100, 800, 300}, {200, 310, 800, 600}, {50, 320, 180, 400}}, {0, 1}, {0, 1, 2}},
        // 35 under the top: too far under it to head it
        NoteCase{"a_labelled_note_too_far_under_the_top",
                 {{200, 100, 800, 300}, {200, 310, 800, 600}, {50, 345, 180, 400}}, {0, 1}, {0, 1, 2}, true},
        // on the right of the paragraph: after it
        NoteCase{"a_labelled_note_on_the_right",
                 {{200, 100, 800, 300}, {200, 310, 800, 600}, {820, 320, 950, 400}}, {0, 1}, {0, 1, 2}, true},
        // a labelled note alone beside text lines is a block of one: before
        // the line that begins its paragraph, else after the paragraph;
        // unlabelled, by its top
        NoteCase{"a_labelled_note_alone_heads_the_paragraph_of_its_line", lines_with({{50, 255, 180, 290}}),
                 {0, 1, 2, 3, 4, 5}, {0, 1, 2, 6, 3, 4, 5}, true},
        NoteCase{"a_labelled_note_alone_mid_paragraph_after_it", lines_with({{50, 305, 180, 340}}),
                 {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 5, 6}, true},
        NoteCase{"an_unlabelled_note_alone_beside_lines_by_its_top", lines_with({{50, 305, 180, 340}}),
                 {0, 1, 2, 3, 4, 5}, {0, 1, 2, 3, 4, 6, 5}},
        // two labelled notes side by side (two blocks) heading one region, in
        // the order of their tops
        NoteCase{"two_notes_heading_one_region",
                 {{200, 100, 800, 300}, {200, 310, 800, 600}, {100, 330, 180, 400}, {20, 312, 90, 325}}, {0, 1},
                 {0, 3, 2, 1}, true}),
    CaseName());

TEST(MergeNotes, OnAPageOfTooManyNotesEachIsMergedByItsTop) {
    for (const std::size_t count : {steps::kMostNotes, steps::kMostNotes + 1}) {
        // one column of lines 40 high, a note line beside each from the second on
        std::vector<PageBox> boxes;
        for (std::size_t i = 0; i <= count; ++i) {
            const double y = static_cast<double>(50 * i);
            boxes.push_back({200, y, 800, y + 40});
        }
        Indices main = all_of(boxes.size());
        Indices notes;
        for (std::size_t i = 1; i <= count; ++i) {
            const double y = static_cast<double>(50 * i);
            notes.push_back(static_cast<std::uint32_t>(boxes.size()));
            boxes.push_back({820, y, 950, y + 40});
        }
        steps::Scratch scratch;
        Indices out;
        steps::merge_notes(main, notes, boxes, {}, 0.0, scratch, out);
        ASSERT_EQ(out.size(), boxes.size());
        // within the bound the notes are one block after the column; past it
        // the first note follows the line level with it
        EXPECT_EQ(out[2], count == steps::kMostNotes ? 2U : static_cast<std::uint32_t>(count + 1)) << count;
    }
}

TEST(ContinuesParagraph, TellsALineThatGoesOnFromOneThatStartsAParagraph) {
    const PageBox a = {200, 100, 800, 140};
    const struct {
        PageBox b;
        bool continues;
    } cases[] = {
        {{200, 150, 800, 190}, true},   // the next line
        {{210, 150, 500, 190}, true},   // a short last line, a little right
        {{240, 150, 800, 190}, false},  // indented: a new paragraph
        {{200, 180, 800, 220}, false},  // more than 0.8 of a line under it
        {{200, 90, 800, 130}, false},   // starts above it
        {{700, 150, 1300, 190}, false}, // shares less than half its width
        {{200, 150, 800, 260}, false},  // three times as tall
    };
    for (const auto& c : cases) {
        EXPECT_EQ(steps::continues_paragraph(a, c.b), c.continues) << c.b.x1 << "," << c.b.y1 << "," << c.b.x2;
    }
    // a short line ends its paragraph
    EXPECT_FALSE(steps::continues_paragraph({200, 100, 500, 140}, {200, 150, 800, 190}));
}

TEST(RuleWalls, AreTheRulesCrossingTheBoxesShortenedAtBothEnds) {
    // the boxes reach x 100-900, y 100-1300 on a page 1000 high: a trim of 10
    const std::vector<PageBox> tb = {{100, 100, 480, 700}, {520, 600, 900, 1300}, {0, 0, 1, 1}};
    const Indices set = {0, 1};
    const PageBox frame = {0, 0, 1000, 1000};
    const std::vector<steps::ColumnRule> rules = {
        {50, 0, 1000},     // left of the boxes
        {100, 0, 1000},    // on their left edge: not between
        {500, 80, 1400},   // between the columns
        {500, 1300, 1500}, // under them, touching
        {700, 90, 109},    // over the boxes but only 19 long
        {700, 90, 111},    // 21 long: one unit left
        {950, 0, 1000},    // right of them
    };
    std::vector<PageBox> walls;
    steps::rule_walls(rules, tb, set, frame, walls);
    ASSERT_EQ(walls.size(), 2U);
    EXPECT_EQ((std::vector<double>{walls[0].x1, walls[0].y1, walls[0].x2, walls[0].y2}),
              (std::vector<double>{500, 90, 500, 1390}));
    EXPECT_EQ((std::vector<double>{walls[1].x1, walls[1].y1, walls[1].x2, walls[1].y2}),
              (std::vector<double>{700, 100, 700, 101}));
    steps::rule_walls({}, tb, set, frame, walls);
    EXPECT_TRUE(walls.empty());
    steps::rule_walls(rules, tb, Indices{}, frame, walls);
    EXPECT_TRUE(walls.empty());
}

struct GutterCase {
    const char* name;
    std::vector<std::pair<PageBox, Role>> boxes;
    std::vector<PageBox> separators;
    double scale;
    std::vector<PageBox> walls;
};

class Gutters : public ::testing::TestWithParam<GutterCase> {};

TEST_P(Gutters, WallTwoColumnsOfTextDownTheirGutter) {
    const GutterCase& c = GetParam();
    std::vector<PageBox> tb;
    std::vector<std::uint8_t> roles;
    for (const auto& [box, role] : c.boxes) {
        tb.push_back(box);
        roles.push_back(static_cast<std::uint8_t>(role));
    }
    steps::Scratch scratch;
    std::vector<PageBox> walls = {{1, 2, 3, 4}};  // a rule's wall before them stays
    const std::size_t added = steps::gutter_walls(tb, all_of(tb.size()), roles, c.separators, c.scale, scratch, walls);
    ASSERT_EQ(added, c.walls.size());
    ASSERT_EQ(walls.size(), c.walls.size() + 1);
    EXPECT_TRUE(same(walls[0], {1, 2, 3, 4}));
    for (std::size_t i = 0; i < c.walls.size(); ++i) {
        EXPECT_TRUE(same(walls[i + 1], c.walls[i])) << i << ": " << walls[i + 1].x1 << " " << walls[i + 1].y1
                                                     << " " << walls[i + 1].y2;
    }
}

// Two columns of text 40 apart (x 100-480 and 520-900), two paragraphs each.
std::vector<std::pair<PageBox, Role>> two_columns(std::vector<std::pair<PageBox, Role>> more = {}) {
    std::vector<std::pair<PageBox, Role>> boxes = {{{100, 100, 480, 300}, Role::Body},
                                                   {{100, 320, 480, 500}, Role::Body},
                                                   {{520, 100, 900, 260}, Role::Body},
                                                   {{520, 280, 900, 500}, Role::Body}};
    boxes.insert(boxes.end(), more.begin(), more.end());
    return boxes;
}

// The same two columns 10 apart (x 100-495 and 505-900).
std::vector<std::pair<PageBox, Role>> narrow_gutter() {
    return {{{100, 100, 495, 300}, Role::Body},
            {{100, 320, 495, 500}, Role::Body},
            {{505, 100, 900, 260}, Role::Body},
            {{505, 280, 900, 500}, Role::Body}};
}

INSTANTIATE_TEST_SUITE_P(
    Table, Gutters,
    ::testing::Values(
        GutterCase{"two_columns", two_columns(), {}, 1.0, {{500, 100, 500, 500}}},
        // a title across both columns ends the stretch; 6 units over it
        GutterCase{"a_title_above", two_columns({{{100, 40, 900, 94}, Role::Heading}}), {}, 1.0,
                   {{500, 100, 500, 500}}},
        // ... but one that nearly touches them leaves the engine no cut
        // between it and the stretch: no wall
        GutterCase{"a_title_too_close", two_columns({{{100, 40, 900, 95}, Role::Heading}}), {}, 1.0, {}},
        // the same 1 unit off in a page scaled up 8 times is 8 units off
        GutterCase{"a_title_close_on_a_short_page", two_columns({{{100, 40, 900, 99}, Role::Heading}}), {}, 8.0,
                   {{500, 100, 500, 500}}},
        // a heading at the foot of the left column heads the text under both
        GutterCase{"a_heading_at_the_foot",
                   two_columns({{{100, 520, 300, 540}, Role::Heading}, {{100, 560, 900, 700}, Role::Body}}), {}, 1.0,
                   {{500, 100, 500, 500}}},
        // the left column goes on under the right one's end
        GutterCase{"a_longer_column",
                   two_columns({{{100, 540, 300, 560}, Role::Heading}, {{100, 570, 480, 700}, Role::Body}}), {}, 1.0,
                   {{500, 100, 500, 700}}},
        // a rule across the gutter parts two stretches, each two paragraphs a side
        GutterCase{"a_rule_across",
                   two_columns({{{100, 600, 480, 700}, Role::Body},
                                {{100, 710, 480, 800}, Role::Body},
                                {{520, 600, 900, 700}, Role::Body},
                                {{520, 710, 900, 800}, Role::Body}}),
                   {{0, 540, 1000, 545}}, 1.0, {{500, 100, 500, 500}, {500, 600, 500, 800}}},
        // one body box on the right beside a figure: no column of text
        GutterCase{"a_figure_beside_text",
                   {{{100, 100, 480, 300}, Role::Body},
                    {{100, 320, 480, 500}, Role::Body},
                    {{520, 100, 900, 260}, Role::Figure},
                    {{520, 280, 900, 500}, Role::Body}},
                   {}, 1.0, {}},
        // a side of two columns of its own (x 520-700 and 720-900)
        GutterCase{"a_side_of_two_columns",
                   {{{100, 100, 480, 300}, Role::Body},
                    {{100, 320, 480, 500}, Role::Body},
                    {{520, 100, 700, 500}, Role::Body},
                    {{720, 100, 900, 500}, Role::Body}},
                   {}, 1.0, {}},
        // a narrow strip of text beside a wide block
        GutterCase{"unlike_widths",
                   {{{100, 100, 200, 300}, Role::Body},
                    {{100, 320, 200, 500}, Role::Body},
                    {{520, 100, 900, 260}, Role::Body},
                    {{520, 280, 900, 500}, Role::Body}},
                   {}, 1.0, {}},
        // a gutter 10 wide: halves of 5 beside a wall are no gap for the
        // engine; scaled up twice they are
        GutterCase{"a_narrow_gutter", narrow_gutter(), {}, 1.0, {}},
        GutterCase{"a_narrow_gutter_scaled", narrow_gutter(), {}, 2.0, {{500, 100, 500, 500}}},
        // a small box in the gutter, left of the middle, beside no line of
        // the left column
        GutterCase{"a_box_beside_the_column", two_columns({{{482, 400, 484, 420}, Role::Body}}), {}, 1.0, {}},
        // fewer than four body boxes
        GutterCase{"three_paragraphs",
                   {{{100, 100, 480, 300}, Role::Body},
                    {{100, 320, 480, 500}, Role::Body},
                    {{520, 100, 900, 500}, Role::Body},
                    {{520, 520, 900, 600}, Role::Heading}},
                   {}, 1.0, {}}),
    CaseName());

TEST(FlushBoxes, CountsTheBoxesThatShareTheirLeftEdge) {
    // small pages (the table) and a large one (the sort), with swapped
    // corners, zeros of both signs and runs of three
    const auto flush = [](const std::vector<PageBox>& boxes) {
        steps::Scratch scratch;
        return steps::flush_boxes(boxes, all_of(boxes.size()), scratch);
    };
    EXPECT_EQ(flush({{0, 0, 10, 10}, {5, 0, 10, 10}, {20, 0, 30, 10}}), 0U);
    EXPECT_EQ(flush({{0, 0, 10, 10}, {10, 20, -0.0, 30}, {5, 0, 10, 10}, {5, 40, 9, 50}, {5, 60, 7, 70}}), 5U);
    for (const std::size_t n : {std::size_t{47}, std::size_t{48}, std::size_t{300}}) {
        std::vector<PageBox> boxes;
        for (std::size_t k = 0; k < n; ++k) {
            // edges 0, 0, 1, 2, 3, ...: every third box shares its edge with the next
            const double x = static_cast<double>(k - k / 3);
            boxes.push_back({x, 0, x + 1, 1});
        }
        std::size_t expected = 0;
        for (std::size_t k = 0; k < n; ++k) {
            std::size_t same = 0;
            for (std::size_t j = 0; j < n; ++j) {
                same += boxes[j].x1 == boxes[k].x1 ? 1 : 0;
            }
            expected += same > 1 ? 1 : 0;
        }
        EXPECT_EQ(flush(boxes), expected) << n;
    }
}

TEST(SortByKey, IsTheStableOrderOfTheEdgesAsNumbers) {
    // edges of every sign, zeros of both signs, ties and extremes, more than
    // the radix sort's threshold: the order of std::stable_sort on the doubles
    std::mt19937 rng(7);
    const double specials[] = {0.0, -0.0, 1e300, -1e300, 5e-324, -5e-324, 1.0, -1.0, 0.5, 1e-20};
    std::uniform_int_distribution<int> pick(0, 12);
    std::uniform_real_distribution<double> any(-1e6, 1e6);
    for (const std::size_t n : {std::size_t{3}, steps::kRadixFrom - 1, steps::kRadixFrom, std::size_t{5000}}) {
        std::vector<double> values(n);
        for (double& v : values) {
            const int p = pick(rng);
            v = p < 10 ? specials[p] : p == 10 ? std::round(any(rng) / 1000) : any(rng);
        }
        std::vector<steps::KeyedBox> items(n);
        for (std::size_t i = 0; i < n; ++i) {
            items[i] = {steps::ordered_bits(values[i]), static_cast<std::uint32_t>(i)};
        }
        std::vector<steps::KeyedBox> spare;
        std::vector<std::uint32_t> counts;
        if (n >= steps::kRadixFrom) {
            steps::sort_by_key(items, spare, counts);
        } else {
            std::stable_sort(items.begin(), items.end(), [](auto a, auto b) { return a.key < b.key; });
        }
        Indices expected = all_of(n);
        std::stable_sort(expected.begin(), expected.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return values[a] < values[b]; });
        Indices got;
        for (const auto& item : items) {
            got.push_back(item.k);
        }
        EXPECT_EQ(got, expected) << n;
    }
}

struct FootnoteCase {
    const char* name;
    std::vector<PageBox> boxes;  // the text first, in its order, then the footnotes
    std::size_t text;            // how many of the boxes are text
    Indices expected;
};

class Footnotes : public ::testing::TestWithParam<FootnoteCase> {};

TEST_P(Footnotes, FollowTheTextOfTheirPageOrColumn) {
    const FootnoteCase& c = GetParam();
    std::vector<std::uint32_t> main = all_of(c.text);
    Indices footnotes;
    for (std::size_t k = c.text; k < c.boxes.size(); ++k) {
        footnotes.push_back(static_cast<std::uint32_t>(k));
    }
    steps::Scratch scratch;
    steps::insert_footnotes(main, footnotes, c.boxes, scratch);
    EXPECT_EQ(main, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Footnotes,
    ::testing::Values(
        // two columns ending level, a footnote under the left one: after the page
        FootnoteCase{"under_the_page", {{0, 0, 100, 500}, {120, 0, 220, 500}, {0, 520, 100, 560}}, 2, {0, 1, 2}},
        // the right column runs down beside it: it ends the left column
        FootnoteCase{"ending_a_column", {{0, 0, 100, 500}, {120, 0, 220, 600}, {0, 520, 100, 560}}, 2, {0, 2, 1}},
        // beside text but under no box of its width: after the page's last box above it
        FootnoteCase{"beside_text_under_none", {{0, 0, 100, 500}, {120, 0, 220, 600}, {300, 520, 400, 560}}, 2,
                     {0, 1, 2}},
        // no box above: at the end; two after one box keep their order by top, with swapped corners
        FootnoteCase{"none_above", {{0, 100, 100, 500}, {0, 50, 100, 90}}, 1, {0, 1}},
        FootnoteCase{"two_after_one", {{0, 0, 100, 500}, {0, 560, 100, 520}, {0, 510, 100, 515}}, 1, {0, 2, 1}},
        // the foot of each column a footnote, the right one under text that ends higher: each footnote has the
        // other beside it and ends its column (both were read after the right column)
        FootnoteCase{"feet_of_two_columns",
                     {{0, 0, 100, 500}, {120, 0, 220, 450}, {0, 520, 100, 560}, {120, 470, 220, 560}},
                     2,
                     {0, 2, 1, 3}},
        // footnotes set in two columns under one column of text: each ends that column, after the page
        FootnoteCase{"two_columns_under_one",
                     {{0, 0, 220, 500}, {0, 520, 100, 560}, {120, 520, 220, 560}},
                     1,
                     {0, 1, 2}}),
    CaseName());

TEST(Footnotes, OnAPageOfTooManyFootnotesAndBoxesEveryFootnoteFollowsThePage) {
    // 2,049 text boxes and 2,048 footnotes, each with text beside it: more
    // than kFootnoteWork tests, so none ends a column
    std::vector<PageBox> boxes;
    const std::size_t text = 2049;
    for (std::size_t k = 0; k < text - 1; ++k) {
        boxes.push_back({0, static_cast<double>(10 * k), 100, static_cast<double>(10 * k + 5)});
    }
    boxes.push_back({200, 0, 300, 1e6});  // a column beside them all, read last
    for (std::size_t k = 0; k < 2048; ++k) {
        boxes.push_back({0, static_cast<double>(10 * k + 6), 100, static_cast<double>(10 * k + 8)});
    }
    ASSERT_GT(2048 * text, steps::kFootnoteWork);
    std::vector<std::uint32_t> main = all_of(text);
    Indices footnotes;
    for (std::size_t k = text; k < boxes.size(); ++k) {
        footnotes.push_back(static_cast<std::uint32_t>(k));
    }
    steps::Scratch scratch;
    steps::insert_footnotes(main, footnotes, boxes, scratch);
    // the last box above each is the long column, so all come at the end, in order
    Indices expected = all_of(boxes.size());
    EXPECT_EQ(main, expected);
    // with fewer footnotes, each follows the line above it
    main = all_of(text);
    footnotes.assign(1, static_cast<std::uint32_t>(text));
    steps::insert_footnotes(main, footnotes, boxes, scratch);
    EXPECT_EQ(main[1], text);
}

// ---- drop capitals ---------------------------------------------------------------------

constexpr auto kText = static_cast<std::uint8_t>(Role::Body);
constexpr auto kFigure = static_cast<std::uint8_t>(Role::Figure);
constexpr auto kInitial = static_cast<std::uint8_t>(Role::Initial);

struct InitialCase {
    const char* name;
    std::vector<PageBox> boxes;
    std::vector<std::uint8_t> roles;  // kInitial marks the initials, in input order
    Indices body;                     // the order of the other boxes
    Indices expected;
};

class Initials : public ::testing::TestWithParam<InitialCase> {};

TEST_P(Initials, GoRightBeforeTheTextTheyBegin) {
    const InitialCase& c = GetParam();
    Indices body = c.body;
    Indices initials;
    for (std::size_t k = 0; k < c.boxes.size(); ++k) {
        if (c.roles[k] == kInitial) {
            initials.push_back(static_cast<std::uint32_t>(k));
        }
    }
    steps::Scratch scratch;
    Indices space;
    steps::place_initials(body, initials, c.boxes, c.roles, scratch, space);
    EXPECT_EQ(body, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Initials,
    ::testing::Values(
        // inside its paragraph's box, which the engine reads after the heading
        InitialCase{"inside_its_paragraph",
                    {{0, 0, 500, 50}, {0, 60, 500, 400}, {0, 60, 80, 140}},
                    {static_cast<std::uint8_t>(Role::Heading), kText, kInitial}, {0, 1}, {0, 2, 1}},
        // beside it on the right: the nearest of two level with it
        InitialCase{"nearest_beside_it",
                    {{150, 50, 300, 80}, {85, 90, 500, 400}, {0, 60, 80, 140}}, {kText, kText, kInitial}, {0, 1},
                    {0, 2, 1}},
        // less than half of it inside the paragraph above: it begins the one beside it
        InitialCase{"less_than_half_inside",
                    {{0, 0, 500, 100}, {90, 100, 500, 400}, {0, 80, 80, 160}}, {kText, kText, kInitial}, {0, 1},
                    {0, 2, 1}},
        // more than its width away: merged back by its top
        InitialCase{"too_far_right", {{200, 0, 500, 400}, {0, 0, 80, 80}}, {kText, kInitial}, {0}, {0, 1}},
        // a figure holding it is no text it begins: by its top, before the box under it
        InitialCase{"inside_a_figure",
                    {{0, 0, 500, 400}, {0, 410, 500, 600}, {10, 10, 90, 90}}, {kFigure, kText, kInitial}, {1, 0},
                    {2, 1, 0}},
        // two in one box, by their tops (corners swapped in one)
        InitialCase{"two_in_one_box",
                    {{0, 0, 500, 400}, {0, 280, 80, 200}, {0, 0, 80, 80}}, {kText, kInitial, kInitial}, {0},
                    {2, 1, 0}},
        // of no width: no box holds it, so it begins the one level with it on its right (hypothesis found
        // the C++ step keeping it by its top, unlike its twin)
        InitialCase{"no_width", {{0, 0, 0, 25}, {0, 0, 0, 25}}, {kText, kInitial}, {0}, {1, 0}},
        // a code past the last role is text
        InitialCase{"unknown_code_is_text", {{0, 0, 500, 400}, {0, 0, 80, 80}}, {200, kInitial}, {0}, {1, 0}}),
    CaseName());

TEST(Initials, OnAPageOfTooManyInitialsEachIsMergedBackByItsTop) {
    std::vector<PageBox> boxes = {{0, 0, 500, 1e5}};
    std::vector<std::uint8_t> roles = {kText};
    for (std::size_t k = 0; k <= steps::kMostInitials; ++k) {
        boxes.push_back({0, static_cast<double>(10 * k + 10), 80, static_cast<double>(10 * k + 15)});
        roles.push_back(kInitial);
    }
    steps::Scratch scratch;
    Indices space;
    for (const std::size_t count : {steps::kMostInitials, steps::kMostInitials + 1}) {
        Indices body = {0};
        Indices initials = all_of(count + 1);
        initials.erase(initials.begin());
        steps::place_initials(body, initials, boxes, roles, scratch, space);
        ASSERT_EQ(body.size(), count + 1);
        // within the bound every one begins the page's text; past it, each
        // starts below the text's top and follows it
        EXPECT_EQ(body.front(), count == steps::kMostInitials ? 1U : 0U) << count;
    }
}

// ---- rows of articles ------------------------------------------------------------------

// Four columns 100 wide with gutters of 10; a first row of two articles
// (headings over two columns each) from y = 0 to 300, and the boxes of a
// case below it. The boxes are their own shrunk boxes.
struct ArticleCase {
    const char* name;
    std::vector<std::pair<PageBox, Role>> second_row;
    std::vector<double> expected;
};

class Articles : public ::testing::TestWithParam<ArticleCase> {};

TEST_P(Articles, StartARowUnderAHeadingSpanningColumns) {
    const ArticleCase& c = GetParam();
    std::vector<std::pair<PageBox, Role>> page = {
        {{0, 0, 210, 20}, Role::Heading},   {{0, 30, 100, 300}, Role::Body},   {{110, 30, 210, 300}, Role::Body},
        {{220, 0, 430, 20}, Role::Heading}, {{220, 30, 320, 300}, Role::Body}, {{330, 30, 430, 300}, Role::Body}};
    page.insert(page.end(), c.second_row.begin(), c.second_row.end());
    std::vector<PageBox> boxes;
    std::vector<std::uint8_t> roles;
    for (const auto& [box, role] : page) {
        boxes.push_back(box);
        roles.push_back(static_cast<std::uint8_t>(role));
    }
    steps::Scratch scratch;
    steps::article_lines(boxes, boxes, all_of(boxes.size()), roles, ProfileOptions{}, scratch);
    EXPECT_EQ(scratch.lines, c.expected);
}

constexpr Role kHeading = Role::Heading;
constexpr Role kBody = Role::Body;

INSTANTIATE_TEST_SUITE_P(
    Table, Articles,
    ::testing::Values(
        // two headings over two columns each, two columns under each: each starts a row (half its height
        // above its top); the headings of the first row have nothing above them
        ArticleCase{"a_row_of_two_articles",
                    {{{0, 330, 210, 350}, kHeading},  {{0, 360, 100, 600}, kBody},   {{110, 360, 210, 600}, kBody},
                     {{220, 330, 430, 350}, kHeading}, {{220, 360, 320, 600}, kBody}, {{330, 360, 430, 600}, kBody}},
                    {320, 320}},
        // text level with the heading, beside it, belongs to its row
        ArticleCase{"text_beside",
                    {{{0, 330, 210, 350}, kHeading}, {{0, 360, 100, 600}, kBody}, {{110, 360, 210, 600}, kBody},
                     {{220, 335, 430, 600}, kBody}},
                    {320}},
        // a heading narrower than the columns starts no row (the other one does)
        ArticleCase{"a_heading_narrower_than_the_columns",
                    {{{0, 330, 80, 350}, kHeading},  {{0, 360, 100, 600}, kBody},   {{110, 360, 210, 600}, kBody},
                     {{220, 330, 430, 350}, kHeading}, {{220, 360, 320, 600}, kBody}, {{330, 360, 430, 600}, kBody}},
                    {320}},
        // a box of the first row reaching past the level: no clear band
        ArticleCase{"a_box_crossing_the_level",
                    {{{0, 330, 210, 350}, kHeading}, {{0, 360, 100, 600}, kBody}, {{110, 360, 210, 600}, kBody},
                     {{330, 305, 430, 340}, kBody}},
                    {}},
        // one box under the heading, however wide: no columns under it
        ArticleCase{"one_box_under", {{{0, 330, 210, 350}, kHeading}, {{0, 360, 210, 600}, kBody}}, {}}),
    CaseName());

// A heading and a body box whose widths overflow to infinity: with
// article_span 0 the body box's span is NaN, never at most any width, so its
// height (most of the text's) never counts as narrower and the heading is not
// wide; with article_span 1 it counts at an infinite width.
TEST(Articles, AnInfiniteWidthIsTestedAsAnyOther) {
    const std::vector<PageBox> boxes = {{-1e308, 400, 1e308, 420}, {0, 0, 100, 300}, {0, 430, 100, 700},
                                        {110, 430, 210, 700},       {-1e308, 800, 1e308, 5000}};
    const std::vector<std::uint8_t> roles = {static_cast<std::uint8_t>(Role::Heading), 0, 0, 0, 0};
    steps::Scratch scratch;
    ProfileOptions span_zero;
    span_zero.article_span = 0.0;
    steps::article_lines(boxes, boxes, all_of(boxes.size()), roles, span_zero, scratch);
    EXPECT_EQ(scratch.lines, std::vector<double>{});
    steps::article_lines(boxes, boxes, all_of(boxes.size()), roles, ProfileOptions{}, scratch);
    EXPECT_EQ(scratch.lines, std::vector<double>{390.0});
}

TEST(Articles, OnAPageOfTooManyHeadingsTheWorkStopsAtItsBound) {
    // 1,500 rows, each a heading over two columns: every heading but the
    // first starts a row, but testing them all would take 3 x 1,500 x 1,500
    // steps, more than kArticleWork
    const std::size_t rows = 1500;
    std::vector<PageBox> boxes;
    std::vector<std::uint8_t> roles;
    for (std::size_t r = 0; r < rows; ++r) {
        const double y = 100.0 * static_cast<double>(r);
        boxes.insert(boxes.end(), {{0, y, 210, y + 20}, {0, y + 30, 100, y + 90}, {110, y + 30, 210, y + 90}});
        roles.insert(roles.end(), {static_cast<std::uint8_t>(Role::Heading), 0, 0});
    }
    ASSERT_GT(3 * rows * rows, steps::kArticleWork);
    steps::Scratch scratch;
    steps::article_lines(boxes, boxes, all_of(boxes.size()), roles, ProfileOptions{}, scratch);
    EXPECT_GT(scratch.lines.size(), 0U);
    EXPECT_LT(scratch.lines.size(), rows - 1);
    EXPECT_LE(scratch.lines.size() * boxes.size(), steps::kArticleWork + boxes.size());
}

TEST(Articles, RowsAreReadInTurnEachInTheOrderItHad) {
    const std::vector<PageBox> boxes = {{0, 0, 10, 10}, {0, 50, 10, 60}, {0, 20, 10, 30}, {0, 70, 10, 80}};
    std::vector<std::uint32_t> order = {3, 1, 0, 2};
    steps::Scratch scratch;
    const std::vector<double> lines = {15, 40, 40};  // a level twice is one line twice: rows 0, 1 and 3
    steps::rows_in_turn(order, lines, boxes, scratch);
    EXPECT_EQ(order, (Indices{0, 2, 3, 1}));
}

// ---- the whole profile ---------------------------------------------------------------

std::vector<PageBox> random_boxes(std::mt19937& rng) {
    const double specials[] = {kNaN, kInfinity, -kInfinity, 1e300, -1e300, 0.0, -0.0, 3.5e38};
    std::uniform_int_distribution<int> count(0, 40);
    std::uniform_int_distribution<int> pick(0, 19);
    std::uniform_real_distribution<double> x(-100, 2100);
    std::vector<PageBox> boxes(static_cast<std::size_t>(count(rng)));
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        double v[4];
        for (double& value : v) {
            const int p = pick(rng);
            value = p < 8 && pick(rng) == 0 ? specials[p] : p < 12 ? std::round(x(rng) / 50) * 50 : x(rng);
        }
        boxes[i] = i > 0 && pick(rng) == 0 ? boxes[i - 1] : PageBox{v[0], v[1], v[2], v[3]};
    }
    return boxes;
}

// ---- rows set apart by a clear band ----------------------------------------------

// Two columns (x 0-100 and 110-210) of three paragraphs 100 tall and `gap`
// apart, ending at 300 + 2 * gap; then a band `band` tall, then the same
// again; the page 1000 tall.
struct BandCase {
    const char* name;
    double gap;
    double band;
    std::vector<PageBox> more;
    std::vector<engine::detail::ColumnRule> rules;
    std::vector<double> expected;
};

class Bands : public ::testing::TestWithParam<BandCase> {};

std::vector<PageBox> two_rows_of_columns(double gap, double band) {
    std::vector<PageBox> boxes;
    for (const double top : {0.0, 300.0 + 2 * gap + band}) {
        for (const double left : {0.0, 110.0}) {
            for (int p = 0; p < 3; ++p) {
                const double y1 = top + p * (100 + gap);
                boxes.push_back({left, y1, left + 100, y1 + 100});
            }
        }
    }
    return boxes;
}

TEST_P(Bands, SetRowsApartWhereTheBoxesAsGivenLeaveACleanBand) {
    const BandCase& c = GetParam();
    std::vector<PageBox> boxes = two_rows_of_columns(c.gap, c.band);
    boxes.insert(boxes.end(), c.more.begin(), c.more.end());
    steps::Scratch scratch;
    const std::size_t count =
        steps::row_bands(boxes, all_of(boxes.size()), {}, c.rules, 1000, ProfileOptions{}, scratch);
    EXPECT_EQ(scratch.lines, c.expected);
    EXPECT_EQ(count, c.expected.size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Bands,
    ::testing::Values(
        BandCase{"a_band_of_30_over_gaps_of_2", 2, 30, {}, {}, {334}},
        BandCase{"a_band_under_band_min", 2, 7, {}, {}, {}},     // under 7.5 (0.0075 of the page)
        BandCase{"a_band_under_three_gaps", 5, 14, {}, {}, {}},  // under 15
        BandCase{"a_band_of_three_gaps", 5, 15, {}, {}, {325}},
        BandCase{"a_box_across_the_band", 2, 30, {{0, 290, 210, 340}}, {}, {}},
        BandCase{"a_rule_through_the_band", 2, 30, {}, {{105, 0, 1000}}, {}},
        BandCase{"a_rule_that_ends_above_its_middle", 2, 30, {}, {{105, 0, 318}}, {334}}),
    CaseName());

// On a labelled page a heading heads what follows it: the band between the
// right column's last box above the band, labelled a heading, and its text
// sets no rows apart while the left column stands beside it; a masthead in
// a row of its own over the columns keeps the band under it.
TEST(Bands, ABandUnderAHeadingBesideAColumnSetsNoRowsApart) {
    const auto bands_with = [](std::vector<PageBox> boxes, std::vector<std::uint8_t> roles) {
        steps::Scratch scratch;
        steps::row_bands(boxes, all_of(boxes.size()), roles, {}, 1000, ProfileOptions{}, scratch);
        return scratch.lines;
    };
    const std::vector<PageBox> page = two_rows_of_columns(2, 30);
    std::vector<std::uint8_t> roles(page.size(), kText);
    EXPECT_EQ(bands_with(page, roles), std::vector<double>{334});
    roles[5] = static_cast<std::uint8_t>(kHeading);  // the right column's box over the band
    EXPECT_EQ(bands_with(page, roles), std::vector<double>{});
    EXPECT_EQ(bands_with(page, {}), std::vector<double>{334});  // unlabelled
    std::vector<PageBox> with_masthead = page;
    with_masthead.push_back({0, -100, 210, -60});
    std::vector<std::uint8_t> masthead(with_masthead.size(), kText);
    masthead.back() = static_cast<std::uint8_t>(kHeading);
    EXPECT_EQ(bands_with(with_masthead, masthead), (std::vector<double>{0, 334}));
}

// A page of more than kBandBoxes boxes is left as it is.
TEST(Bands, OnAPageOfTooManyBoxesNoBandIsLookedFor) {
    std::vector<PageBox> boxes = two_rows_of_columns(2, 30);
    steps::Scratch scratch;
    while (boxes.size() <= steps::kBandBoxes) {
        boxes.push_back({500, 0, 510, 10});
    }
    steps::row_bands(boxes, all_of(boxes.size() - 1), {}, {}, 1000, ProfileOptions{}, scratch);
    EXPECT_EQ(scratch.lines, std::vector<double>{334});
    scratch.lines.clear();
    steps::row_bands(boxes, all_of(boxes.size()), {}, {}, 1000, ProfileOptions{}, scratch);
    EXPECT_EQ(scratch.lines, std::vector<double>{});
}

// Captions with their figures: which figure each box of the page goes with
// (kNoGroup for none), on a 1000 x 1400 frame (captions reach 21 px).
struct CaptionCase {
    const char* name;
    std::vector<std::pair<PageBox, Role>> boxes;
    Indices group;
};

class Captions : public ::testing::TestWithParam<CaptionCase> {};

TEST_P(Captions, GoWithTheFigureOfTheirBlock) {
    const CaptionCase& c = GetParam();
    std::vector<PageBox> boxes;
    std::vector<std::uint8_t> roles;
    for (const auto& [box, role] : c.boxes) {
        boxes.push_back(box);
        roles.push_back(static_cast<std::uint8_t>(role));
    }
    std::vector<PageBox> tb = boxes;
    Indices group(boxes.size());
    steps::Scratch scratch;
    const bool placed = steps::group_captions(boxes, tb, all_of(boxes.size()), roles, {0, 0, 1000, 1400},
                                              ProfileOptions{}, group, scratch);
    EXPECT_EQ(group, c.group);
    EXPECT_EQ(placed, std::any_of(group.begin(), group.end(), [](auto g) { return g != steps::kNoGroup; }));
}

constexpr std::uint32_t kNone = steps::kNoGroup;

INSTANTIATE_TEST_SUITE_P(
    Table, Captions,
    ::testing::Values(
        // a caption of three lines under figure 0: its centred last line stands
        // 15 px over figure 4, its first 5 px under figure 0
        CaptionCase{"the_lines_of_a_caption_go_with_one_figure",
                    {{{100, 100, 900, 400}, Role::Figure},
                     {{110, 405, 890, 425}, Role::Caption},
                     {{110, 430, 890, 450}, Role::Caption},
                     {{300, 455, 700, 475}, Role::Caption},
                     {{100, 490, 900, 800}, Role::Figure}},
                    {0, 0, 0, 0, kNone}},
        // a figure's caption of two lines (40 px) 9 px over a table's of three
        // (63 px): not lines of one caption, each goes with its own
        CaptionCase{"captions_of_unlike_height_are_two",
                    {{{100, 100, 900, 380}, Role::Figure},
                     {{100, 385, 900, 425}, Role::Caption},
                     {{100, 434, 900, 497}, Role::Caption},
                     {{100, 505, 900, 700}, Role::Figure}},
                    {0, 0, 3, 3}},
        // two lines alike, 6 px apart, the lower one in the right half only:
        // neither their left edges nor their centres meet
        CaptionCase{"captions_out_of_line_are_two",
                    {{{100, 100, 900, 380}, Role::Figure},
                     {{100, 382, 900, 402}, Role::Caption},
                     {{520, 408, 900, 428}, Role::Caption},
                     {{480, 440, 900, 700}, Role::Figure}},
                    {0, 0, 3, 3}},
        // lines alike and aligned but 12 px apart (more than half their height)
        CaptionCase{"lines_far_apart_are_two",
                    {{{100, 100, 900, 400}, Role::Figure},
                     {{100, 405, 900, 425}, Role::Caption},
                     {{100, 437, 900, 457}, Role::Caption},
                     {{100, 470, 900, 800}, Role::Figure}},
                    {0, 0, 3, 3}},
        // a caption beside no figure stays text
        CaptionCase{"a_caption_far_from_any_figure",
                    {{{100, 100, 900, 400}, Role::Figure}, {{100, 600, 900, 620}, Role::Caption}},
                    {kNone, kNone}}),
    CaseName());

// ---- labelled pages through the whole profile ------------------------------------

// A page whose order its labels change: the order with the roles, and the
// order of the same boxes without them.
struct LabelledCase {
    const char* name;
    std::vector<std::pair<PageBox, Role>> boxes;
    PageBox bounds;
    Indices with_roles;
    Indices without;
};

class Labelled : public ::testing::TestWithParam<LabelledCase> {};

TEST_P(Labelled, ReadsEachRoleInItsPlace) {
    const LabelledCase& c = GetParam();
    std::vector<PageBox> boxes;
    std::vector<std::uint8_t> roles;
    for (const auto& [box, role] : c.boxes) {
        boxes.push_back(box);
        roles.push_back(static_cast<std::uint8_t>(role));
    }
    EXPECT_EQ(engine::order_profile(boxes, roles, &c.bounds, {}), c.with_roles);
    EXPECT_EQ(engine::order_profile(boxes, {}, &c.bounds, {}), c.without);
    ProfileOptions no_labels;
    no_labels.labels = false;
    EXPECT_EQ(engine::order_profile(boxes, roles, &c.bounds, {}, no_labels), c.without);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Labelled,
    ::testing::Values(
        // two columns 40 apart, and a band 40 tall across both under a figure
        // with two lines of caption on the right: a tie the engine gives to
        // the row when the boxes are dense. Handed the group's union once for
        // each member, it found them dense and read row by row; as the figure
        // alone, it reads the columns, as it does the boxes without roles
        LabelledCase{"a_caption_group_is_one_box_for_the_engine",
                     {{{100, 100, 480, 300}, Role::Body},
                      {{100, 340, 480, 500}, Role::Body},
                      {{520, 100, 900, 260}, Role::Figure},
                      {{520, 265, 900, 280}, Role::Caption},
                      {{520, 285, 900, 300}, Role::Caption},
                      {{520, 340, 900, 500}, Role::Body}},
                     {0, 0, 1000, 1400},
                     {0, 1, 2, 3, 4, 5},
                     {0, 1, 2, 3, 4, 5}},
        // the left column goes on under the right one's end, after a gap
        // across both wider than the gutter: without roles, read row by row
        LabelledCase{"a_wall_down_the_gutter_of_two_columns",
                     {{{100, 100, 480, 400}, Role::Body},
                      {{100, 450, 300, 470}, Role::Heading},
                      {{100, 480, 480, 600}, Role::Body},
                      {{520, 100, 900, 250}, Role::Body},
                      {{520, 260, 900, 400}, Role::Body},
                      {{100, 700, 900, 800}, Role::Body}},
                     {0, 0, 1000, 1400},
                     {0, 1, 2, 3, 4, 5},
                     {0, 3, 4, 1, 2, 5}},
        // a running head over the right column, read before the left column
        LabelledCase{"header_first",
                     {{{0, 0, 40, 500}, Role::Body}, {{60, 10, 100, 500}, Role::Body}, {{60, 0, 100, 8}, Role::Header}},
                     {0, 0, 100, 1000},
                     {2, 0, 1},
                     {0, 2, 1}},
        // at the foot, the footer before the page number left of it
        LabelledCase{"footer_then_page_number",
                     {{{0, 0, 100, 800}, Role::Body},
                      {{0, 950, 10, 960}, Role::PageNumber},
                      {{50, 950, 100, 960}, Role::Footer}},
                     {0, 0, 100, 1000},
                     {0, 2, 1},
                     {0, 1, 2}},
        // a caption level with the right column's first line stays over its figure
        LabelledCase{"caption_with_its_figure",
                     {{{100, 100, 480, 130}, Role::Caption},
                      {{100, 140, 900, 500}, Role::Figure},
                      {{520, 100, 900, 130}, Role::Body},
                      {{100, 520, 900, 1000}, Role::Body}},
                     {0, 0, 1000, 1400},
                     {0, 1, 2, 3},
                     {0, 2, 1, 3}},
        // a marginal note on the left at the top of a paragraph before it,
        // one level with the middle of a paragraph after it
        LabelledCase{"marginal_notes_beside_their_text",
                     {{{0, 0, 200, 10}, Role::Marginal},
                      {{210, 0, 900, 300}, Role::Body},
                      {{0, 400, 200, 410}, Role::Marginal},
                      {{210, 310, 900, 600}, Role::Body}},
                     {0, 0, 1000, 1000},
                     {0, 1, 3, 2},
                     {0, 2, 1, 3}}),
    CaseName());

TEST(Profile, EveryBoxComesOutOnceAndTheTraceAccountsForEveryBox) {
    std::mt19937 rng(20250101U);
    const PageBox bounds[] = {{0, 0, 2000, 1400}, {0, 0, 1000, 1400}, {2000, 1400, 0, 0}, {0, 0, kNaN, 1400}};
    ProfileOptions no_spread;
    no_spread.spread = false;
    ProfileOptions loose;
    loose.top_strip_max = 0.5;
    loose.margin_max = 1.0;
    loose.rule_min_length = 0.0;
    for (int page = 0; page < 3000; ++page) {
        const std::vector<PageBox> boxes = random_boxes(rng);
        const std::vector<PageBox> separators = {{990, 0, 1010, 1400}, {500, 100, 504, 1300}, {kNaN, 0, 1, 1}};
        const PageBox* given = page % 5 == 4 ? nullptr : &bounds[page % 4];
        const ProfileOptions& options = page % 3 == 0 ? ProfileOptions{} : page % 3 == 1 ? no_spread : loose;
        // Every other page labelled, each box with any code (those past the
        // last role are plain text).
        std::vector<std::uint8_t> roles;
        if (page % 2 == 1) {
            std::uniform_int_distribution<int> code(0, static_cast<int>(engine::kRoleCount) + 2);
            for (std::size_t i = 0; i < boxes.size(); ++i) {
                roles.push_back(static_cast<std::uint8_t>(code(rng)));
            }
        }
        ProfileTrace trace;
        const Indices order = engine::order_profile(boxes, roles, given, separators, options, &trace);
        ASSERT_TRUE(steps::is_permutation_of(order, boxes.size())) << "page " << page;
        EXPECT_EQ(engine::order_profile(boxes, roles, given, separators, options), order) << "page " << page;

        Indices accounted = trace.segment_order;
        for (const Indices* more : {&trace.set_aside, &trace.margin_notes, &trace.non_finite}) {
            accounted.insert(accounted.end(), more->begin(), more->end());
        }
        std::sort(accounted.begin(), accounted.end());
        ASSERT_EQ(accounted, all_of(boxes.size())) << "page " << page;
        std::uint32_t reach = 0;
        for (const auto& part : trace.parts) {
            EXPECT_EQ(part.lo, reach) << "page " << page;  // the parts follow each other in segment_order
            reach = part.hi;
        }
        EXPECT_EQ(reach, trace.segment_order.size()) << "page " << page;
        for (const auto& e : trace.events) {
            EXPECT_TRUE(e.lo <= e.mid && e.mid <= e.hi && e.hi <= trace.segment_order.size()) << "page " << page;
        }
    }
}

// A run inside another on the same thread, as a logging handler that orders
// a page of its own makes: the sink orders another page on the records of
// the outer run.
TEST_F(LogTest, ARunInsideAnotherOnTheSameThreadKeepsToItsOwnSpace) {
    std::mt19937 rng(515U);
    std::vector<Indices> nested;
    const std::vector<PageBox>* other = nullptr;
    bool nesting = false;
    capture().on_log = [&] {
        if (!nesting) {
            nesting = true;
            nested.push_back(engine::order_profile(*other, nullptr, {}));
            nesting = false;
        }
    };
    for (int page = 0; page < 300; ++page) {
        const std::vector<PageBox> boxes = random_boxes(rng);
        const std::vector<PageBox> other_boxes = random_boxes(rng);
        other = &other_boxes;
        capture().enabled_switch = false;
        log::invalidate_enabled();
        const Indices expected = engine::order_profile(boxes, nullptr, {});
        const Indices expected_other = engine::order_profile(other_boxes, nullptr, {});
        capture().enabled_switch = true;
        log::invalidate_enabled();
        nested.clear();
        ASSERT_EQ(engine::order_profile(boxes, nullptr, {}), expected) << "page " << page;
        ASSERT_EQ(nested.empty(), boxes.empty()) << "page " << page;  // every non-empty page logs a part
        for (const Indices& n : nested) {
            ASSERT_EQ(n, expected_other) << "page " << page;
        }
    }
    capture().on_log = nullptr;
}

TEST(Profile, ATraceOfASpreadShowsTheFoldAndTheTopStripAsCuts) {
    const std::vector<PageBox> boxes = {{100, 40, 900, 70},    {200, 120, 880, 1300}, {1100, 120, 1505, 1300},
                                        {1495, 120, 1900, 1300}, {kNaN, 0, 1, 1}};
    const PageBox bounds{0, 0, 2000, 1400};
    ProfileTrace trace;
    EXPECT_EQ(engine::order_profile(boxes, &bounds, {}, {}, &trace), (Indices{0, 1, 2, 3, 4}));
    ASSERT_GE(trace.events.size(), 3U);
    EXPECT_EQ(trace.events[0].kind, TraceKind::Fold);
    EXPECT_EQ(trace.events[0].depth, 0U);
    EXPECT_EQ((Indices{trace.events[0].lo, trace.events[0].mid, trace.events[0].hi}), (Indices{0, 2, 4}));
    EXPECT_EQ(trace.events[1].kind, TraceKind::TopStrip);
    EXPECT_EQ((Indices{trace.events[1].lo, trace.events[1].mid, trace.events[1].hi, trace.events[1].depth}),
              (Indices{0, 1, 2, 1}));
    // the right page's columns overlap by 10; each shrunk by 20 of its page's width, the engine cuts between them
    EXPECT_EQ(trace.events[2].kind, TraceKind::Cut);
    EXPECT_EQ(trace.events[2].axis, engine::CutAxis::Vertical);
    EXPECT_EQ((Indices{trace.events[2].lo, trace.events[2].hi, trace.events[2].depth}), (Indices{2, 4, 1}));
    EXPECT_EQ(trace.non_finite, (Indices{4}));
    ASSERT_EQ(trace.parts.size(), 3U);
    EXPECT_TRUE(trace.parts[0].top_strip);
    EXPECT_EQ(trace.parts[2].dx, 20.0);
}

TEST(EngineScale, IsTheLeastPowerOfTwoThatMakesThePage3000Long) {
    const struct {
        PageBox frame;
        double scale;
    } cases[] = {
        {{0, 0, 1275, 1650}, 2.0},           // 150 dpi
        {{0, 0, 612, 792}, 4.0},             // PDF points
        {{0, 0, 1, 1}, 4096.0},              // fractions of the page
        {{0, 0, 1650, 1275}, 2.0},           // landscape: the longer side
        {{0, 0, 2999, 100}, 2.0},            // just short of the side
        {{0, 0, 3000, 100}, 1.0},            // long enough
        {{0, 0, 10760, 7000}, 1.0},          // never scaled down
        {{5, 5, 5, 5}, 1.0},                 // empty
        {{0, 0, kNaN, 10}, 1.0},             // no number
        {{0, 0, kNaN, kNaN}, 1.0},
        {{0, 0, kInfinity, 10}, 1.0},        // infinite
        {{0, 0, 1e-30, 1e-30}, 1.0},         // past 2^20: left as it is
        {{0, 0, 3000.0 / 1048576, 0.001}, 1048576.0},  // 2^20 times as long: the most
        {{0, 0, 2999.0 / 1048576, 0.001}, 1.0},        // past it: left as it is
    };
    for (const auto& c : cases) {
        EXPECT_EQ(steps::engine_scale(c.frame), c.scale) << c.frame.x2 << " x " << c.frame.y2;
    }
}

// The keyword line of a paper at 150 dpi runs past the gutter 4 units over both
// columns of text lines, each line 4 under the last and the right column 2
// lower: no gap reaches the engine's 5, which read the page row by row. Seen
// twice as large, the line is cut off and the columns read in turn.
TEST(EngineScale, AShortPageIsReadAsTheSamePageAt300Dpi) {
    std::vector<PageBox> boxes = {{130, 100, 744, 120}};
    for (int column = 0; column < 2; ++column) {
        for (int i = 0; i < 4; ++i) {
            const double top = 124 + 2 * column + 26 * i;
            boxes.push_back(column == 0 ? PageBox{130, top, 632, top + 22} : PageBox{643, top, 1145, top + 22});
        }
    }
    const PageBox bounds{0, 0, 1275, 1650};
    EXPECT_EQ(engine::order_profile(boxes, &bounds, {}), all_of(9));
    ProfileOptions unscaled;
    unscaled.scale = false;
    EXPECT_EQ(engine::order_profile(boxes, &bounds, {}, unscaled), (Indices{0, 1, 5, 2, 6, 3, 7, 4, 8}));
    // the trace gives the cuts in the page's units
    ProfileTrace trace;
    engine::order_profile(boxes, &bounds, {}, {}, &trace);
    ASSERT_FALSE(trace.events.empty());
    EXPECT_EQ(trace.events[0].kind, TraceKind::Cut);
    EXPECT_EQ(trace.events[0].position, 122.0F);
    EXPECT_EQ(trace.events[0].gap, 4.0F);
}

TEST(Profile, ATraceGivesTheCaptionsKeptWithTheirFigureAsAPartOfTheirOwn) {
    const std::vector<PageBox> boxes = {{100, 100, 480, 300}, {100, 340, 480, 500}, {520, 100, 900, 260},
                                        {520, 265, 900, 280}, {520, 285, 900, 300}, {520, 340, 900, 500}};
    const std::vector<std::uint8_t> roles = {0, 0, static_cast<std::uint8_t>(Role::Figure),
                                             static_cast<std::uint8_t>(Role::Caption),
                                             static_cast<std::uint8_t>(Role::Caption), 0};
    const PageBox bounds{0, 0, 1000, 1400};
    ProfileTrace trace;
    EXPECT_EQ(engine::order_profile(boxes, roles, &bounds, {}, {}, &trace), all_of(6));
    ASSERT_EQ(trace.parts.size(), 2U);
    EXPECT_EQ(trace.parts[0].kind, engine::PartKind::Body);
    EXPECT_EQ(trace.parts[0].size, 4U);
    EXPECT_EQ(trace.parts[1].kind, engine::PartKind::Captions);
    const auto first = trace.segment_order.begin();
    EXPECT_EQ((Indices(first + trace.parts[1].lo, first + trace.parts[1].hi)), (Indices{3, 4}));
    Indices seen = trace.segment_order;
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, all_of(6));
}

TEST_F(LogTest, EachDecisionIsLoggedBeforeTheEnginesLinesOfItsPart) {
    // a spread: the left page has a running head and two notes in its margin
    const std::vector<PageBox> boxes = {{100, 40, 900, 70},    {200, 120, 880, 500},   {200, 520, 880, 1300},
                                        {80, 130, 180, 200},   {80, 530, 180, 600},    {1100, 120, 1505, 1300},
                                        {1495, 120, 1900, 1300}, {kNaN, 0, 1, 1}};
    const PageBox bounds{0, 0, 2000, 1400};
    engine::order_profile(boxes, &bounds, {});
    std::vector<std::string> lines;
    for (const CapturedLine& l : capture().lines) {
        EXPECT_EQ(l.level, log::Level::Debug);
        EXPECT_EQ(l.file, l.target == "quorlinpy" ? "src/engine/profile/profile.cpp"
                                                  : "src/mervane/quorlin_sorter/src/lib");
        if (l.target == "quorlinpy" || (l.text.starts_with("[sort] ") && l.text.ends_with(")"))) {
            lines.push_back(l.text);
        }
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "[profile] not finite: 1 boxes, read last",
                         // a page under 3,000 units long: the engine sees it twice as large
                         "[profile] scale: the engine's boxes x2 (the page 2000.0 long), its cuts below in those "
                         "units",
                         "[profile] spread: fold at x=1000.0 (gap=200.0), 5 boxes left, 2 right",
                         // the left page's boxes overlap none: not shrunk
                         "[profile] top strip: 1 boxes above y=95.0 (gap=50.0), read first",
                         "[profile] part: 1 boxes (top strip), shrunk by dx=0.0, dy=0.0",
                         "[profile] margin notes: 2 boxes, merged back by their top",
                         "[profile] part: 2 boxes (body), shrunk by dx=0.0, dy=0.0",
                         "[sort] 2 elements (beta=2, density_threshold=0.9)",
                         "[profile] part: 2 boxes (body), shrunk by dx=20.0, dy=7.0",
                         "[sort] 2 elements (beta=2, density_threshold=0.9)",
                     }));
}

TEST(ProfileSettings, EachNumberIsRefusedBelowZeroAtItsLimitAndWhenNaN) {
    for (const engine::ProfileSetting& setting : engine::kProfileSettings) {
        if (setting.kind != engine::ProfileSetting::Kind::Number) {
            continue;
        }
        for (const double value : {-0.5, setting.below, kNaN}) {
            ProfileOptions changed;
            changed.*setting.number = value;
            EXPECT_EQ(engine::invalid_profile_setting(changed), &setting) << setting.name << " = " << value;
            EXPECT_THROW(engine::order_profile({}, nullptr, {}, changed), std::invalid_argument);
        }
    }
    EXPECT_EQ(engine::invalid_profile_setting(ProfileOptions{}), nullptr);
}

}  // namespace
}  // namespace quorlin::test
