#pragma once
// Public entry points of the ordering engine: boxes in, their reading order
// out as a permutation of their indices; and the same for element records.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "quorlin/engine/observer.hpp"
#include "quorlin/engine/record.hpp"

namespace quorlin::engine {

// One box of a page: two corners, in any order.
struct Box {
    float x1 = 0.0F;
    float y1 = 0.0F;
    float x2 = 0.0F;
    float y2 = 0.0F;
};

// Halfway between the largest float and 2^128: from there on the nearest
// float (ties to even) is an infinity.
inline constexpr double kFloatOverflow = 0x1.ffffffp127;

// A double as the engine takes a coordinate, and as the core stores a Python
// number: the nearest float, and beyond the float range an infinity of the
// same sign (a plain conversion would be undefined there). A NaN stays a NaN.
inline float round_to_single(double value) noexcept {
    if (std::fabs(value) >= kFloatOverflow) {
        return value < 0.0 ? -std::numeric_limits<float>::infinity() : std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(value);
}

// Positions are 32-bit: a page holds at most this many boxes.
inline constexpr std::size_t kMaxBoxes = UINT32_MAX;

// Returns the reading order of the boxes: a permutation of 0..n-1 (box
// indices). The table is consumed: the engine keeps its own compact copy of
// the normalised extents and releases the boxes before it sorts. Never fails
// on the coordinates (NaN, infinite, swapped and degenerate boxes all have a
// defined place); throws std::length_error above kMaxBoxes boxes and
// std::bad_alloc when memory runs out. Reports its steps through
// quorlin::log and, when given, the observer.
std::vector<std::uint32_t> order_boxes(std::vector<Box>&& boxes, Observer* observer = nullptr);

// Returns the records of one page in reading order: a permutation of the
// input, computed by order_boxes() on their corners.
std::vector<ElementRecord> order_elements(std::span<const ElementRecord> records);

}  // namespace quorlin::engine
