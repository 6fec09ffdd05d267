#pragma once
// Public entry point of the ordering engine: element records in, the same
// records in reading order out.

#include <span>
#include <vector>

#include "quorlin_sorter/record.hpp"

namespace quorlin::sorter {

// Returns the records of one page in reading order: a permutation of the
// input. Never fails; NaN, infinite, swapped and degenerate coordinates all
// have a defined place. Reports its steps through quorlin::log.
std::vector<ElementRecord> order_elements(std::span<const ElementRecord> records);

}  // namespace quorlin::sorter
