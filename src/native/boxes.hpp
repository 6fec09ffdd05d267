#pragma once
// The boxes argument of quorlin._native: an N x 4 array through the buffer
// protocol, or a sequence of 4-item sequences, converted once into the
// engine's boxes. Each value becomes single precision exactly as the core
// converts a Python number: through double, rounded to the nearest float,
// beyond the float range an infinity.

#include <vector>

#include "../pyref.hpp"
#include "quorlin_sorter/sorter.hpp"

namespace quorlin::native {

// Fills `out` from `obj`; false with TypeError or ValueError (naming the
// argument "boxes") on anything that is not N x 4 numbers. Buffers are
// copied while they are exported, so nothing reads them afterwards.
// May throw std::bad_alloc.
bool convert_boxes(PyObject* obj, std::vector<quorlin::sorter::Box>& out);

}  // namespace quorlin::native
