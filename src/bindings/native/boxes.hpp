#pragma once
// The box arguments of quorlin._native (boxes, separators) and its page
// bounds, converted once by one rule:
//   - an N x 4 array: anything with the buffer protocol (NumPy arrays,
//     memoryviews, objects with __buffer__), of any integer or float item
//     type; an array that only offers shape and tolist() by its rows;
//   - otherwise any iterable of rows; a row (and the page bounds) is a list,
//     tuple or other sequence of 4 coordinates, never text, a dict or a set;
//   - each coordinate as Python's float() converts it (numbers as text too),
//     booleans refused everywhere (bool, NumPy bools, boolean arrays).
// For the engine each value becomes single precision exactly as the core
// converts a Python number: through double, rounded to the nearest float,
// beyond the float range an infinity. For the quality profile, which computes
// in double precision on the coordinates as given, each value is the double
// Python's float() gives.

#include <vector>

#include "common/pyref.hpp"
#include "quorlin/engine/profile.hpp"
#include "quorlin/engine/sorter.hpp"

namespace quorlin::native {

// How the messages name the argument and one of its items.
struct BoxNames {
    const char* plural;    // "boxes"
    const char* singular;  // "box"
};

inline constexpr BoxNames kBoxNames{"boxes", "box"};

// Fills `out` from `obj`; false with TypeError or ValueError (naming the
// argument) on anything that is not N x 4 numbers. Buffers are copied while
// they are exported, so nothing reads them afterwards. May throw
// std::bad_alloc.
bool convert_boxes(PyObject* obj, std::vector<quorlin::engine::Box>& out, const BoxNames& names = kBoxNames);
bool convert_boxes(PyObject* obj, std::vector<quorlin::engine::PageBox>& out, const BoxNames& names = kBoxNames);

// The page bounds: 4 coordinates by the rule of one box (messages name them
// "page_bounds"). False with TypeError or ValueError otherwise.
bool convert_bounds(PyObject* obj, quorlin::engine::PageBox& out);

}  // namespace quorlin::native
