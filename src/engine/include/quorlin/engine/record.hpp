#pragma once
// The plain value record the ordering engine works on.

#include <cstdint>

namespace quorlin::engine {

// One layout element as the engine sees it: an identifier and two corners.
// The corners may come in any order; every stage reads them through the
// normalised extents (left/right/top/bottom), never assuming x1 < x2.
struct ElementRecord {
    std::uint64_t id = 0;
    float x1 = 0.0F;
    float y1 = 0.0F;
    float x2 = 0.0F;
    float y2 = 0.0F;

    friend bool operator==(const ElementRecord&, const ElementRecord&) = default;
};

}  // namespace quorlin::engine
