// The engine's three orderings. Each is a stable sort on two keys taken from
// the normalised extents and compared by IEEE 754 totalOrder, so every input,
// NaNs included, has one defined place.

#include <algorithm>

#include "detail.hpp"

namespace quorlin::sorter::detail {
namespace {

template <class KeyOf>
void stable_sort_refs(std::vector<const ElementRecord*>& refs, KeyOf key_of) {
    std::stable_sort(refs.begin(), refs.end(),
                     [&](const ElementRecord* a, const ElementRecord* b) { return key_of(*a) < key_of(*b); });
}

}  // namespace

std::vector<ElementRecord> y_then_x(std::span<const ElementRecord> records) {
    // Sorting (key, input position) pairs gives the stable order without
    // moving records more than once.
    struct Keyed {
        std::uint64_t key;
        std::uint32_t index;
    };
    std::vector<Keyed> keyed(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Extents e = extents_of(records[i]);
        keyed[i] = {key_pair(e.top, e.left), static_cast<std::uint32_t>(i)};
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        return a.key != b.key ? a.key < b.key : a.index < b.index;
    });
    std::vector<ElementRecord> out;
    out.reserve(records.size());
    for (const Keyed& k : keyed) {
        out.push_back(records[k.index]);
    }
    return out;
}

void vertical_extent_order(std::vector<const ElementRecord*>& refs) {
    stable_sort_refs(refs, [](const ElementRecord& r) {
        const Extents e = extents_of(r);
        return key_pair(e.top, e.bottom);
    });
}

void horizontal_extent_order(std::vector<const ElementRecord*>& refs) {
    stable_sort_refs(refs, [](const ElementRecord& r) {
        const Extents e = extents_of(r);
        return key_pair(e.left, e.right);
    });
}

}  // namespace quorlin::sorter::detail
