// Exact single-precision helpers and the three element orderings.

#include <algorithm>
#include <cfloat>
#include <numeric>
#include <utility>

#include "xycut/detail.hpp"
#include "support.hpp"

namespace quorlin::test {
namespace {

using test::PrintTo;

using engine::detail::max_num;
using engine::detail::min_num;
using engine::detail::total_order_key;

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }
float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }

// ---- minNum / maxNum --------------------------------------------------------

struct MinMaxCase {
    const char* name;
    std::uint32_t a, b, min, max;  // bit patterns
};

class MinMaxNum : public ::testing::TestWithParam<MinMaxCase> {};

TEST_P(MinMaxNum, FollowsIeeeMinNumMaxNum) {
    const MinMaxCase& c = GetParam();
    EXPECT_EQ(bits(min_num(from_bits(c.a), from_bits(c.b))), c.min);
    EXPECT_EQ(bits(max_num(from_bits(c.a), from_bits(c.b))), c.max);
}

constexpr std::uint32_t kOne = 0x3F800000U, kTwo = 0x40000000U, kPosZero = 0, kNegZero = 0x80000000U;
constexpr std::uint32_t kPosNaNPayload = 0x7FC00001U, kNegNaNPayload = 0xFFC00002U, kNegInf = 0xFF800000U;

INSTANTIATE_TEST_SUITE_P(
    Table, MinMaxNum,
    ::testing::Values(MinMaxCase{"numbers", kOne, kTwo, kOne, kTwo},
                      MinMaxCase{"nan_first_is_ignored", kPosNaNPayload, kTwo, kTwo, kTwo},
                      MinMaxCase{"nan_second_is_ignored", kNegInf, kNegNaNPayload, kNegInf, kNegInf},
                      MinMaxCase{"zeros_neg_first", kNegZero, kPosZero, kNegZero, kPosZero},
                      MinMaxCase{"zeros_pos_first", kPosZero, kNegZero, kNegZero, kPosZero},
                      MinMaxCase{"two_nans_give_first_pos", kPosNaNPayload, kNegNaNPayload, kPosNaNPayload,
                                 kPosNaNPayload},
                      MinMaxCase{"two_nans_give_first_neg", kNegNaNPayload, kPosNaNPayload, kNegNaNPayload,
                                 kNegNaNPayload}),
    CaseName());

// ---- totalOrder ---------------------------------------------------------------

TEST(TotalOrderKey, LaddersFromNegativeNaNsToPositiveNaNs) {
    const std::uint32_t ladder[] = {
        0xFFFFFFFFU,  // negative NaN with the largest payload comes first
        0xFFC00000U, 0xFF800000U /* -inf */, bits(-FLT_MAX), bits(-1.0F), 0x80000001U /* -denorm */,
        kNegZero,    kPosZero,   0x00000001U /* +denorm */, bits(1.0F), bits(FLT_MAX), 0x7F800000U /* +inf */,
        0x7FC00000U, 0x7FFFFFFFU,
    };
    for (std::size_t i = 1; i < std::size(ladder); ++i) {
        EXPECT_LT(total_order_key(from_bits(ladder[i - 1])), total_order_key(from_bits(ladder[i])))
            << std::hex << ladder[i - 1] << " vs " << ladder[i];
    }
}

// ---- The three orderings ------------------------------------------------------

struct OrderCase {
    const char* name;
    std::vector<ElementRecord> input;
    std::vector<std::uint64_t> y_then_x, vertical, horizontal;
};

class Orderings : public ::testing::TestWithParam<OrderCase> {};

// The positions of the input in an extent order, as the segmentation sorts
// them, given as the ids of the records there.
template <class KeyOf>
std::vector<std::uint64_t> extent_order(const std::vector<ElementRecord>& input, KeyOf key_of) {
    std::vector<engine::detail::Extents> extents;
    for (const ElementRecord& r : input) {
        extents.push_back(engine::detail::extents_of(r));
    }
    std::vector<std::uint32_t> order(input.size());
    std::iota(order.begin(), order.end(), 0U);
    std::vector<engine::detail::KeyedIndex> scratch(input.size());
    engine::detail::sort_positions(order, extents, key_of, scratch);
    std::vector<std::uint64_t> ids;
    for (const std::uint32_t i : order) {
        ids.push_back(input[i].id);
    }
    return ids;
}

TEST_P(Orderings, SortByExactKeysStably) {
    const OrderCase& c = GetParam();
    const std::vector<ElementRecord> sorted = engine::detail::y_then_x(c.input);
    EXPECT_EQ(ids_of(sorted), c.y_then_x);
    for (const ElementRecord& out : sorted) {  // copies, unchanged
        bool found = false;
        for (const ElementRecord& in : c.input) {
            found = found || same_bits(in, out);
        }
        EXPECT_TRUE(found) << out.id;
    }
    EXPECT_EQ(extent_order(c.input, engine::detail::vertical_extent_key), c.vertical);
    EXPECT_EQ(extent_order(c.input, engine::detail::horizontal_extent_key), c.horizontal);
}

// The keyed sort switches from insertion to std::sort above 64 entries:
// both sides of the switch give the stable order.
TEST(KeyedSort, StableOnEitherSideOfTheInsertionLimit) {
    for (const std::size_t n : {63U, 64U, 65U, 300U}) {
        std::vector<ElementRecord> input;
        for (std::size_t i = 0; i < n; ++i) {  // four tops, ties kept in input order
            input.push_back(rec(i, static_cast<float>(i % 3), static_cast<float>((n - i) % 4), 10, 10));
        }
        std::vector<ElementRecord> expected = input;
        std::stable_sort(expected.begin(), expected.end(), [](const ElementRecord& a, const ElementRecord& b) {
            return std::pair(a.y1, a.x1) < std::pair(b.y1, b.x1);
        });
        EXPECT_EQ(ids_of(engine::detail::y_then_x(input)), ids_of(expected)) << n;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Orderings,
    ::testing::Values(
        OrderCase{"worked_example",
                  {rec(1, 50, 10, 60, 20), rec(2, 0, 10, 10, 30), rec(3, 0, 5, 10, 8)},
                  {3, 2, 1}, {3, 1, 2}, {2, 3, 1}},
        OrderCase{"single_record", {rec(7, 1, 2, 3, 4)}, {7}, {7}, {7}},
        OrderCase{"smaller_top_first_whatever_the_left",
                  {rec(2, 0, 10.5F, 10, 20), rec(1, 500, 10, 510, 20)},
                  {1, 2}, {1, 2}, {2, 1}},
        OrderCase{"identical_boxes_keep_input_order_not_id_order",
                  {rec(9, 0, 0, 10, 10), rec(3, 0, 0, 10, 10), rec(5, 0, 0, 10, 10)},
                  {9, 3, 5}, {9, 3, 5}, {9, 3, 5}},
        OrderCase{"swapped_corners_equal_ordered_ones",
                  {rec(1, 10, 30, 0, 20), rec(2, 0, 20, 10, 30), rec(3, 10, 25, 0, 5)},
                  {3, 1, 2}, {3, 1, 2}, {1, 2, 3}},
        OrderCase{"second_key_breaks_ties",
                  {rec(1, 0, 0, 10, 50), rec(2, 0, 0, 20, 20), rec(3, 0, 0, 5, 60)},
                  {1, 2, 3}, {2, 1, 3}, {3, 1, 2}},
        OrderCase{"one_nan_y_uses_the_other",
                  {rec(1, 0, kNaN, 10, 30), rec(2, 5, 20, 15, 25), rec(3, 2, 35, 3, 40)},
                  {2, 1, 3}, {2, 1, 3}, {1, 3, 2}},
        OrderCase{"nan_tops_negative_first_positive_last",
                  {rec(1, 0, kNaN, 10, kNaN), rec(2, 0, kInf, 10, kInf), rec(3, 0, kNegNaN, 10, kNegNaN),
                   rec(4, 0, -kInf, 10, -kInf), rec(5, -5, kNaN, 10, kNaN)},
                  {3, 4, 2, 5, 1}, {3, 4, 2, 1, 5}, {5, 1, 2, 3, 4}},
        OrderCase{"negative_zero_top_before_positive_zero",
                  {rec(1, 0, 0.0F, 10, 5), rec(2, 100, -0.0F, 110, 5), rec(3, 50, 0.0F, 60, -0.0F)},
                  {3, 2, 1}, {3, 2, 1}, {1, 3, 2}}),
    CaseName());

}  // namespace
}  // namespace quorlin::test
