#pragma once
// Internals of the ordering engine: exact single-precision helpers, the three
// element orderings and the stages of the pipeline. Not part of the public API;
// the engine's tests include it to exercise each stage on its own.

#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "log_sites.hpp"
#include "quorlin_sorter/record.hpp"

namespace quorlin::sorter::detail {

// ---- Exact single-precision helpers --------------------------------------

// Maps a float to an unsigned key whose natural order is the IEEE 754
// totalOrder: negative NaNs, -inf, negatives, -0.0, +0.0, positives, +inf,
// positive NaNs. Equal keys mean identical bit patterns.
inline std::uint32_t total_order_key(float value) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    return (bits & 0x80000000U) != 0 ? ~bits : (bits | 0x80000000U);
}

// IEEE 754 minNum: a NaN operand is ignored, two NaNs give the first one
// (sign and payload kept), and -0.0 counts as less than +0.0. The C library's
// fmin/fmax promise neither of the last two. Between two numbers the total
// order is the numeric order with -0.0 below +0.0, so one integer compare
// decides, without data-dependent branches.
inline float min_num(float a, float b) noexcept {
    if (std::isnan(b)) {
        return a;
    }
    if (std::isnan(a)) {
        return b;
    }
    return total_order_key(b) < total_order_key(a) ? b : a;
}

// IEEE 754 maxNum, with +0.0 counted as greater than -0.0.
inline float max_num(float a, float b) noexcept {
    if (std::isnan(b)) {
        return a;
    }
    if (std::isnan(a)) {
        return b;
    }
    return total_order_key(a) < total_order_key(b) ? b : a;
}

// Two keys compared lexicographically, packed so one integer compare does it.
inline std::uint64_t key_pair(float first, float second) noexcept {
    return (std::uint64_t{total_order_key(first)} << 32) | total_order_key(second);
}

// The normalised extents through which every stage reads a record.
struct Extents {
    float left;
    float right;
    float top;
    float bottom;
    float width;   // max(0, right - left); a NaN difference gives 0
    float height;  // max(0, bottom - top)
};

inline Extents extents_of(const ElementRecord& r) noexcept {
    Extents e{};
    e.left = min_num(r.x1, r.x2);
    e.right = max_num(r.x1, r.x2);
    e.top = min_num(r.y1, r.y2);
    e.bottom = max_num(r.y1, r.y2);
    e.width = max_num(0.0F, e.right - e.left);
    e.height = max_num(0.0F, e.bottom - e.top);
    return e;
}

// ---- Orderings -------------------------------------------------------------
//
// The engine sorts in exactly three ways, each a stable sort on two keys of
// the normalised extents compared by totalOrder: y-then-x order (top, left),
// vertical extent order (top, bottom) and horizontal extent order (left,
// right). All three use one keyed sort: a record's two keys, packed by
// key_pair, sit above its input position in one 128-bit integer, so that
// comparing the integers compares (first key, second key, position). The
// integers are then distinct, and an unstable sort with a single branch-free
// comparison gives the one stable order.

__extension__ using KeyedIndex = unsigned __int128;

inline KeyedIndex keyed_index(std::uint64_t key, std::uint32_t index) noexcept {
    return (static_cast<KeyedIndex>(key) << 32) | index;
}
inline std::uint32_t index_of(KeyedIndex keyed) noexcept { return static_cast<std::uint32_t>(keyed); }

// Sorts ascending: short runs (every leaf of the segmentation, small pages)
// by insertion, longer ones by std::sort.
void sort_keyed(std::span<KeyedIndex> keyed) noexcept;

// The keys of the three orderings (function objects, so that a sort
// instantiated with one inlines it).
inline constexpr auto y_then_x_key = [](const Extents& e) noexcept { return key_pair(e.top, e.left); };
inline constexpr auto vertical_extent_key = [](const Extents& e) noexcept { return key_pair(e.top, e.bottom); };
inline constexpr auto horizontal_extent_key = [](const Extents& e) noexcept { return key_pair(e.left, e.right); };

// Reorders `order`, positions into `extents`, by the key of each position's
// extents; equal keys keep ascending position, that is input order.
// `scratch` has room for order.size() keyed indices.
template <class KeyOf>
void sort_positions(std::span<std::uint32_t> order, std::span<const Extents> extents, KeyOf key_of,
                    std::span<KeyedIndex> scratch) noexcept {
    for (std::size_t i = 0; i < order.size(); ++i) {
        scratch[i] = keyed_index(key_of(extents[order[i]]), order[i]);
    }
    sort_keyed(scratch.first(order.size()));
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = index_of(scratch[i]);
    }
}

// The records in y-then-x order, the engine's fallback reading order: a new
// sequence of copies.
std::vector<ElementRecord> y_then_x(std::span<const ElementRecord> records);

// ---- Segmentation ----------------------------------------------------------

// Puts a set of records (in input order, extents[i] those of records[i])
// into reading order by recursive XY-cut. Depth-first order of results and
// log lines, without recursion on the C++ stack.
std::vector<ElementRecord> segment(std::span<const ElementRecord> records, std::vector<Extents>&& extents,
                                   bool prefer_horizontal_first);

// ---- Pipeline and merge ----------------------------------------------------

// Merges the cross-layout records (input order) into the ordered main
// sequence by their top. Both must be non-empty.
std::vector<ElementRecord> merge_cross_layout(std::span<const ElementRecord> ordered_main,
                                              std::span<const ElementRecord> cross_layout);

// The normalised extents of each record, in input order.
std::vector<Extents> extents_of_all(std::span<const ElementRecord> records);

// The reference width of the cross-layout width gate: the greatest width.
float reference_width(std::span<const Extents> extents) noexcept;

// The pipeline, on the records with their extents, and with the reference
// width of the cross-layout width gate as a parameter: the public
// order_elements() passes reference_width(extents), and other values let the
// tests and the fuzz harness reach the masking, the merge and the
// all-cross-layout fallback on small pages.
std::vector<ElementRecord> order_elements(std::span<const ElementRecord> records, std::vector<Extents>&& extents,
                                          float reference);

}  // namespace quorlin::sorter::detail
