// The table of boxes: normalised extents, 16 bytes per box, and the flags of
// the rare boxes whose raw centre the extents cannot give.

#include <cmath>
#include <limits>
#include <stdexcept>

#include "detail.hpp"

namespace quorlin::engine::detail {

void throw_too_many_boxes() { throw std::length_error("ordering: more than 2^32 - 1 boxes"); }

namespace {

template <class Corners>
Table build(std::span<const Corners> boxes) {
    Table table;
    build_table(table, boxes.size(), [boxes](std::size_t i) -> const Corners& { return boxes[i]; });
    return table;
}

constexpr float kHalf = 0.5F;

}  // namespace

float Table::centre_x(std::uint32_t i) const noexcept {
    if (!lone_nan.empty() && (lone_nan[i] & kLoneNanX) != 0) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    return (edges[i].left + edges[i].right) * kHalf;
}

float Table::centre_y(std::uint32_t i) const noexcept {
    if (!lone_nan.empty() && (lone_nan[i] & kLoneNanY) != 0) {
        return std::numeric_limits<float>::quiet_NaN();
    }
    return (edges[i].top + edges[i].bottom) * kHalf;
}

Table table_of(std::span<const Box> boxes) { return build(boxes); }
Table table_of(std::span<const ElementRecord> records) { return build(records); }

}  // namespace quorlin::engine::detail
