// Recursive XY-cut segmentation: the chosen cuts, their log lines (exact
// text, level and line number) and the resulting reading order.

#include "xycut/detail.hpp"
#include "support.hpp"

namespace quorlin::test {
namespace {

using test::PrintTo;

struct SegmentCase {
    const char* name;
    std::vector<ElementRecord> input;
    bool prefer_horizontal_first;
    std::vector<std::uint64_t> order;
    std::vector<std::string> lines;
};

class Segmentation : public LogTest, public ::testing::WithParamInterface<SegmentCase> {};

TEST_P(Segmentation, CutsAndLogs) {
    const SegmentCase& c = GetParam();
    EXPECT_EQ(ids_of(segment(c.input, c.prefer_horizontal_first)), c.order);
    EXPECT_EQ(engine_lines(), c.lines);
}

const std::string kSplit11 = "D287 [segment] split into 2 groups: 1, 1";

INSTANTIATE_TEST_SUITE_P(
    Table, Segmentation,
    ::testing::Values(
        SegmentCase{"empty", {}, false, {}, {}},
        SegmentCase{"single", {rec(4, 1, 2, 3, 4)}, false, {4}, {}},
        SegmentCase{"two_rows",
                    {rec(2, 0, 40, 100, 60), rec(1, 0, 0, 100, 20)},
                    false,
                    {1, 2},
                    {"D263 [segment] horizontal cut at y=30.0 (gap=20.0) on 2 elements", kSplit11}},
        SegmentCase{"two_columns",
                    {rec(2, 60, 0, 100, 100), rec(1, 0, 0, 40, 100)},
                    true,
                    {1, 2},
                    {"D270 [segment] vertical cut at x=50.0 (gap=20.0) on 2 elements", kSplit11}},
        SegmentCase{"gap_of_exactly_5_cuts",
                    {rec(1, 0, 15, 10, 25), rec(2, 0, 0, 10, 10)},
                    false,
                    {2, 1},
                    {"D263 [segment] horizontal cut at y=12.5 (gap=5.0) on 2 elements", kSplit11}},
        SegmentCase{"gap_of_4_9_does_not_cut",
                    {rec(1, 0, 14.9F, 10, 25), rec(2, 0, 0, 10, 10)},
                    false,
                    {2, 1},
                    {"D254 [segment] no valid cuts for 2 elements, falling back to y-then-x sort"}},
        SegmentCase{"touching_boxes_leave_no_gap",
                    {rec(1, 0, 10, 10, 20), rec(2, 0, 0, 10, 10)},
                    false,
                    {2, 1},
                    {"D254 [segment] no valid cuts for 2 elements, falling back to y-then-x sort"}},
        SegmentCase{"identical_boxes_keep_input_order",
                    {rec(3, 0, 0, 10, 10), rec(1, 0, 0, 10, 10), rec(2, 0, 0, 10, 10)},
                    true,
                    {3, 1, 2},
                    {"D254 [segment] no valid cuts for 3 elements, falling back to y-then-x sort"}},
        SegmentCase{"first_of_equal_gaps_wins",
                    {rec(3, 40, 0, 50, 10), rec(2, 20, 0, 30, 10), rec(1, 0, 0, 10, 10)},
                    false,
                    {1, 2, 3},
                    {"D270 [segment] vertical cut at x=15.0 (gap=10.0) on 3 elements",
                     "D287 [segment] split into 2 groups: 1, 2",
                     "D270 [segment] vertical cut at x=35.0 (gap=10.0) on 2 elements", kSplit11}},
        SegmentCase{"equal_gaps_prefer_horizontal",
                    {rec(1, 0, 20, 10, 30), rec(2, 20, 0, 30, 10)},
                    true,
                    {2, 1},
                    {"D263 [segment] horizontal cut at y=15.0 (gap=10.0) on 2 elements", kSplit11}},
        SegmentCase{"equal_gaps_prefer_vertical",
                    {rec(1, 0, 20, 10, 30), rec(2, 20, 0, 30, 10)},
                    false,
                    {1, 2},
                    {"D270 [segment] vertical cut at x=15.0 (gap=10.0) on 2 elements", kSplit11}},
        // The wider gap wins against the flag; 15.25 prints as 15.2 (ties to even).
        SegmentCase{"wider_vertical_gap_beats_flag",
                    {rec(1, 0, 20, 10, 30), rec(2, 20.5F, 0, 30.5F, 10)},
                    true,
                    {1, 2},
                    {"D270 [segment] vertical cut at x=15.2 (gap=10.5) on 2 elements", kSplit11}},
        SegmentCase{"wider_horizontal_gap_beats_flag",
                    {rec(1, 0, 20.5F, 10, 30.5F), rec(2, 20, 0, 30, 10)},
                    false,
                    {2, 1},
                    {"D263 [segment] horizontal cut at y=15.2 (gap=10.5) on 2 elements", kSplit11}},
        SegmentCase{"gutter_refinement",
                    {rec(1, 0, 0, 45, 100), rec(2, 55, 0, 100, 100), rec(3, 48, 50, 52, 52)},
                    false,
                    {1, 2, 3},
                    {"D270 [segment] vertical cut at x=50.0 (gap=10.0) on 3 elements",
                     "D287 [segment] split into 2 groups: 1, 2",
                     "D254 [segment] no valid cuts for 2 elements, falling back to y-then-x sort"}},
        // Columns first (gap 40 beats 20 and 15), then each column's rows,
        // left column's lines before the right column's.
        SegmentCase{"depth_first_order",
                    {rec(4, 50, 25, 60, 40), rec(3, 50, 0, 60, 10), rec(2, 0, 30, 10, 40), rec(1, 0, 0, 10, 10)},
                    false,
                    {1, 2, 3, 4},
                    {"D270 [segment] vertical cut at x=30.0 (gap=40.0) on 4 elements",
                     "D287 [segment] split into 2 groups: 2, 2",
                     "D263 [segment] horizontal cut at y=20.0 (gap=20.0) on 2 elements", kSplit11,
                     "D263 [segment] horizontal cut at y=17.5 (gap=15.0) on 2 elements", kSplit11}},
        // Swept at y=0, but its centre is NaN, so both land in the second group.
        SegmentCase{"nan_centre_gives_one_group",
                    {rec(2, 0, 20, 10, 30), rec(1, 0, kNaN, 10, 0)},
                    false,
                    {1, 2},
                    {"D263 [segment] horizontal cut at y=10.0 (gap=20.0) on 2 elements",
                     "W279 [segment] cut produced only 1 group for 2 elements, falling back to y-then-x sort"}}),
    CaseName());

}  // namespace
}  // namespace quorlin::test
