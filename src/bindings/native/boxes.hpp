#pragma once
// The boxes arguments of quorlin._native: an N x 4 array through the buffer
// protocol, or a sequence of 4-item sequences, converted once. For the engine
// each value becomes single precision exactly as the core converts a Python
// number: through double, rounded to the nearest float, beyond the float range
// an infinity. For the quality profile, which computes in double precision on
// the coordinates as given, each value is the double Python's float() gives.

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

}  // namespace quorlin::native
