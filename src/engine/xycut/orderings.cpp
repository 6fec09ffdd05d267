// The keyed sort behind the engine's three orderings, and y-then-x order of
// indices into the table and of a sequence of records.

#include <algorithm>

#include "detail.hpp"

namespace quorlin::engine::detail {

void sort_keyed(std::span<KeyedIndex> keyed) noexcept {
    constexpr std::size_t kInsertionLimit = 64;
    if (keyed.size() > kInsertionLimit) {
        std::sort(keyed.begin(), keyed.end());
        return;
    }
    for (std::size_t i = 1; i < keyed.size(); ++i) {
        const KeyedIndex value = keyed[i];
        std::size_t j = i;
        for (; j != 0 && value < keyed[j - 1]; --j) {
            keyed[j] = keyed[j - 1];
        }
        keyed[j] = value;
    }
}

void sort_y_then_x(std::span<std::uint32_t> indices, const Table& table) {
    std::vector<KeyedIndex> keyed;
    sort_y_then_x(indices, table, keyed);
}

void sort_y_then_x(std::span<std::uint32_t> indices, const Table& table, std::vector<KeyedIndex>& keyed) {
    sort_positions(indices, table.edges, y_then_x_key, room_for(keyed, indices.size()));
}

std::vector<ElementRecord> y_then_x(std::span<const ElementRecord> records) {
    std::vector<KeyedIndex> keyed(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        keyed[i] = keyed_index(y_then_x_key(extents_of(records[i])), static_cast<std::uint32_t>(i));
    }
    sort_keyed(keyed);
    std::vector<ElementRecord> out;
    out.reserve(records.size());
    for (const KeyedIndex k : keyed) {
        out.push_back(records[index_of(k)]);
    }
    return out;
}

}  // namespace quorlin::engine::detail
