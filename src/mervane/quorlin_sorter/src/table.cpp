// The table of boxes: normalised extents, 16 bytes per box, and the flags of
// the rare boxes whose raw centre the extents cannot give.

#include <cmath>
#include <limits>
#include <stdexcept>

#include "detail.hpp"

namespace quorlin::sorter::detail {
namespace {

// Coordinates inside which a cut provably splits a set exactly at its gap:
// every box swept before the gap has its centre below the cut, every box
// after it its centre above (sums of two such floats are exact enough, and a
// gap is at least 5 wide).
constexpr float kRegularLimit = 67108864.0F;  // 2^26

bool regular_pair(float a, float b) noexcept { return std::fabs(a) < kRegularLimit && std::fabs(b) < kRegularLimit; }

std::uint8_t lone_nan(float x1, float y1, float x2, float y2) noexcept {
    const auto x = static_cast<std::uint8_t>(std::isnan(x1) != std::isnan(x2) ? kLoneNanX : 0);
    const auto y = static_cast<std::uint8_t>(std::isnan(y1) != std::isnan(y2) ? kLoneNanY : 0);
    return static_cast<std::uint8_t>(x | y);
}

template <class Corners>
Table build(std::span<const Corners> boxes) {
    if (boxes.size() > kMaxBoxes) {
        throw std::length_error("ordering: more than 2^32 - 1 boxes");
    }
    Table table;
    table.edges.resize(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const Corners& b = boxes[i];
        table.edges[i] = Edges{min_num(b.x1, b.x2), min_num(b.y1, b.y2), max_num(b.x1, b.x2), max_num(b.y1, b.y2)};
        table.regular = table.regular && regular_pair(b.x1, b.x2) && regular_pair(b.y1, b.y2);
    }
    if (table.regular) {
        return table;  // no NaN anywhere, so no flag to keep
    }
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const Corners& b = boxes[i];
        const std::uint8_t flags = lone_nan(b.x1, b.y1, b.x2, b.y2);
        if (flags != 0) {
            if (table.lone_nan.empty()) {
                table.lone_nan.resize(boxes.size());
            }
            table.lone_nan[i] = flags;
        }
    }
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

}  // namespace quorlin::sorter::detail
