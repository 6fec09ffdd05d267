// The positions of the engine's order turned into input indices (trace.hpp).

#include "profile/trace.hpp"

namespace quorlin::engine::detail {

void append_part(std::span<const std::uint32_t> part, std::span<const std::uint32_t> positions,
                 std::vector<std::uint32_t>& out, std::size_t walls) {
    // Room for every position first, then each written in place: no
    // capacity check for each box.
    std::size_t at = out.size();
    out.resize(at + positions.size());
    for (const std::uint32_t p : positions) {
        if (p < part.size()) {
            out[at++] = part[p];
        } else if (p - part.size() >= walls) {
            out[at++] = kInvalid;
        }
    }
    out.resize(at);
}

}  // namespace quorlin::engine::detail
