// The ordering pipeline (cross-layout masking, density, all-cross-layout
// fallback) and the cross-layout merge, with their exact log lines.

#include <cmath>
#include <optional>

#include "xycut/detail.hpp"
#include "quorlin/engine/sorter.hpp"
#include "support.hpp"

namespace quorlin::test {
namespace {

using test::PrintTo;

// ---- Whole pipeline -----------------------------------------------------------

struct PipelineCase {
    const char* name;
    std::vector<ElementRecord> input;
    std::optional<float> reference_width;
    std::vector<std::uint64_t> order;
    std::vector<std::string> lines;
};

class Pipeline : public LogTest, public ::testing::WithParamInterface<PipelineCase> {};

TEST_P(Pipeline, OrdersAndLogs) {
    const PipelineCase& c = GetParam();
    const auto result = order_with_reference(c.input, c.reference_width);
    EXPECT_EQ(ids_of(result), c.order);
    EXPECT_EQ(engine_lines(), c.lines);
}

const std::string kStart2 = "D87 [sort] 2 elements (beta=2, density_threshold=0.9)";
const std::string kStart3 = "D87 [sort] 3 elements (beta=2, density_threshold=0.9)";
const std::string kNoCross2 = "D110 [sort] cross-layout: 0, remaining: 2";
const std::string kSplit11 = "D287 [segment] split into 2 groups: 1, 1";

INSTANTIATE_TEST_SUITE_P(
    Table, Pipeline,
    ::testing::Values(
        PipelineCase{"empty", {}, std::nullopt, {}, {}},
        PipelineCase{"single", {rec(5, 0, 0, 1, 1)}, std::nullopt, {5}, {}},
        // 200 of a union area of 300.
        PipelineCase{"density_two_thirds",
                     {rec(1, 20, 0, 30, 10), rec(2, 0, 0, 10, 10)},
                     std::nullopt,
                     {2, 1},
                     {kStart2, kNoCross2, "D126 [sort] density_ratio=0.667, prefer_horizontal_first=false",
                      "D270 [segment] vertical cut at x=15.0 (gap=10.0) on 2 elements", kSplit11}},
        // A ratio of exactly 0.9 does not exceed the threshold.
        PipelineCase{"density_at_threshold_is_false",
                     {rec(1, 0, 0, 90, 10), rec(2, 100, 0, 100, 10)},
                     std::nullopt,
                     {1, 2},
                     {kStart2, kNoCross2, "D126 [sort] density_ratio=0.900, prefer_horizontal_first=false",
                      "D270 [segment] vertical cut at x=95.0 (gap=10.0) on 2 elements", kSplit11}},
        PipelineCase{"zero_height_union_counts_as_dense",
                     {rec(1, 20, 5, 30, 5), rec(2, 0, 5, 10, 5)},
                     std::nullopt,
                     {2, 1},
                     {kStart2, kNoCross2, "D126 [sort] density_ratio=1.000, prefer_horizontal_first=true",
                      "D270 [segment] vertical cut at x=15.0 (gap=10.0) on 2 elements", kSplit11}},
        // Gate 100: both banners qualify and each spans the other and the
        // small box; the lone main element has density 1.
        PipelineCase{"masking_and_merge",
                     {rec(2, 0, 50, 100, 60), rec(3, 10, 20, 20, 30), rec(1, 0, 0, 100, 10)},
                     50.0F,
                     {1, 3, 2},
                     {kStart3, "D110 [sort] cross-layout: 2, remaining: 1",
                      "D126 [sort] density_ratio=1.000, prefer_horizontal_first=true",
                      "D468 [merge] merging 2 cross-layout elements into 1 main elements",
                      "D500 [merge] result: 3 elements total"}},
        PipelineCase{"all_cross_layout",
                     {rec(1, 0, 20, 100, 30), rec(2, 0, 0, 100, 10), rec(3, 0, 40, 100, 50)},
                     0.0F,
                     {2, 1, 3},
                     {kStart3, "D110 [sort] cross-layout: 3, remaining: 0",
                      "W117 [sort] all elements are cross-layout, falling back to y-then-x sort"}}),
    CaseName());

// ---- Cross-layout detection -----------------------------------------------------

struct DetectionCase {
    const char* name;
    std::vector<ElementRecord> input;
    float reference_width;
    std::string cross_line;
};

class CrossLayoutDetection : public LogTest, public ::testing::WithParamInterface<DetectionCase> {};

TEST_P(CrossLayoutDetection, CountsPartnersByOverlapShare) {
    const DetectionCase& c = GetParam();
    const auto result = order_with_reference(c.input, c.reference_width);
    EXPECT_EQ(result.size(), c.input.size());
    const auto lines = engine_lines();
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines[1], c.cross_line);
}

// Below the banner (0..100, gate 100): a box inside it and a box (l..1)
// whose overlap share is 1 / (1 - l).
const float kJustBelowLeft = std::nextafter(-9.0F, -100.0F);  // share = float below 0.1f

std::vector<ElementRecord> banner_page(float banner_x1, float banner_x2, float partner_left) {
    return {rec(1, banner_x1, 0, banner_x2, 10), rec(2, 20, 20, 30, 30), rec(3, partner_left, 40, 1, 50)};
}

TEST(CrossLayoutDetectionSetup, SharesAreOnEitherSideOfTheThreshold) {
    EXPECT_EQ(1.0F / (1.0F - -9.0F), 0.1F);
    EXPECT_EQ(1.0F / (1.0F - kJustBelowLeft), std::nextafter(0.1F, 0.0F));
}

INSTANTIATE_TEST_SUITE_P(
    Table, CrossLayoutDetection,
    ::testing::Values(
        DetectionCase{"share_exactly_one_tenth_counts", banner_page(0, 100, -9), 50,
                      "D110 [sort] cross-layout: 1, remaining: 2"},
        DetectionCase{"share_one_float_below_does_not", banner_page(0, 100, kJustBelowLeft), 50,
                      "D110 [sort] cross-layout: 0, remaining: 3"},
        DetectionCase{"swapped_banner_corners", banner_page(100, 0, -9), 50,
                      "D110 [sort] cross-layout: 1, remaining: 2"},
        DetectionCase{"touching_does_not_count",
                      {rec(1, 0, 0, 100, 10), rec(2, 20, 20, 30, 30), rec(3, -10, 40, 0, 50)}, 50,
                      "D110 [sort] cross-layout: 0, remaining: 3"},
        DetectionCase{"one_partner_is_not_enough",
                      {rec(1, 0, 0, 100, 10), rec(2, 0, 20, 40, 30), rec(3, 200, 40, 240, 50)}, 0,
                      "D110 [sort] cross-layout: 0, remaining: 3"},
        // Zero-width and NaN-x boxes are never partners, so neither banner
        // reaches two.
        DetectionCase{"zero_width_and_nan_x_never_count",
                      {rec(1, 0, 20, 100, 30), rec(2, 0, 40, 100, 50), rec(3, 50, 0, 50, 100),
                       rec(4, kNaN, 0, kNaN, 100)},
                      0, "D110 [sort] cross-layout: 0, remaining: 4"}),
    CaseName());

TEST_F(LogTest, MaxLevelWarnKeepsOnlyWarnings) {
    log::set_max_level(log::LevelFilter::Warn);
    const auto result = engine::order_elements(std::vector{rec(1, 0, kNaN, 10, 0), rec(2, 0, 20, 10, 30)});
    EXPECT_EQ(ids_of(result), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(engine_lines(), std::vector<std::string>{
                                  "W279 [segment] cut produced only 1 group for 2 elements, falling back to "
                                  "y-then-x sort"});
    EXPECT_EQ(capture().log_calls, 1U);  // debug lines never reached the sink
}

// ---- Cross-layout merge ---------------------------------------------------------

// A box 0..10 wide whose top is `top` (both y corners NaN when top is NaN).
ElementRecord at(std::uint64_t id, float top, float left = 0) {
    return rec(id, left, top, left + 10, std::isnan(top) ? top : top + 5);
}

struct MergeCase {
    const char* name;
    std::vector<ElementRecord> main, cross;
    std::vector<std::uint64_t> order;
};

class Merge : public LogTest, public ::testing::WithParamInterface<MergeCase> {};

TEST_P(Merge, PlacesCrossLayoutByTop) {
    const MergeCase& c = GetParam();
    EXPECT_EQ(ids_of(engine::detail::merge_cross_layout(c.main, c.cross)), c.order);
    const std::size_t k = c.cross.size();
    const std::size_t m = c.main.size();
    EXPECT_EQ(engine_lines(),
              (std::vector<std::string>{"D468 [merge] merging " + std::to_string(k) +
                                            " cross-layout elements into " + std::to_string(m) + " main elements",
                                        "D500 [merge] result: " + std::to_string(k + m) + " elements total"}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Merge,
    ::testing::Values(
        MergeCase{"above_everything_comes_first", {at(1, 10), at(2, 20)}, {at(9, 5)}, {9, 1, 2}},
        MergeCase{"below_everything_comes_last", {at(1, 10), at(2, 20)}, {at(9, 30)}, {1, 2, 9}},
        MergeCase{"equal_top_goes_before", {at(1, 10), at(2, 20)}, {at(9, 20)}, {1, 9, 2}},
        MergeCase{"two_columns", {at(1, 0), at(2, 100), at(3, 0, 50), at(4, 100, 50)}, {at(9, 50)}, {1, 9, 2, 3, 4}},
        MergeCase{"equal_tops_by_left_then_input_order",
                  {at(1, 10)},
                  {at(7, 5, 50), at(8, 5, 0), at(9, 5, 0)},
                  {8, 9, 7, 1}},
        // A negative NaN sorts first among the cross-layout elements and
        // holds back the ones after it.
        MergeCase{"negative_nan_top_holds_back_the_rest", {at(1, 0), at(2, 100)}, {at(8, -5), at(9, kNegNaN)},
                  {1, 2, 9, 8}},
        MergeCase{"positive_nan_top_follows_last_main", {at(1, 0), at(2, 100)}, {at(9, kNaN), at(8, 50)},
                  {1, 8, 2, 9}},
        MergeCase{"nan_main_top_is_passed_first", {at(1, kNaN), at(2, 100)}, {at(9, 50)}, {1, 9, 2}}),
    CaseName());

}  // namespace
}  // namespace quorlin::test
