// Puts the set-aside cross-layout elements back into the ordered main
// sequence by their top, without disturbing the order of the main elements.

#include "detail.hpp"

namespace quorlin::sorter::detail {
namespace {

float top_of(const ElementRecord& r) noexcept { return min_num(r.y1, r.y2); }

}  // namespace

std::vector<ElementRecord> merge_cross_layout(std::span<const ElementRecord> ordered_main,
                                              std::span<const ElementRecord> cross_layout) {
    engine_log<LogLine::MergeStart>(std::uint64_t{cross_layout.size()}, std::uint64_t{ordered_main.size()});
    const std::vector<ElementRecord> sorted = y_then_x(cross_layout);
    std::vector<ElementRecord> out;
    out.reserve(sorted.size() + ordered_main.size());
    std::size_t c = 0;
    std::size_t m = 0;
    while (c < sorted.size() || m < ordered_main.size()) {
        if (m == ordered_main.size()) {
            out.insert(out.end(), sorted.begin() + static_cast<std::ptrdiff_t>(c), sorted.end());
            break;
        }
        // A cross-layout element goes before the next main element whose
        // top is not less than its own; any NaN top keeps the main element
        // first.
        if (c < sorted.size() && top_of(sorted[c]) <= top_of(ordered_main[m])) {
            out.push_back(sorted[c++]);
        } else {
            out.push_back(ordered_main[m++]);
        }
    }
    engine_log<LogLine::MergeResult>(std::uint64_t{out.size()});
    return out;
}

}  // namespace quorlin::sorter::detail
