// Puts the set-aside cross-layout elements back into the ordered main
// sequence by their top, without disturbing the order of the main elements.

#include "detail.hpp"

namespace quorlin::engine::detail {

std::vector<std::uint32_t> merge_cross_layout(const Table& table, std::span<const std::uint32_t> ordered_main,
                                              std::vector<std::uint32_t>&& cross_layout) {
    engine_log<LogLine::MergeStart>(std::uint64_t{cross_layout.size()}, std::uint64_t{ordered_main.size()});
    std::vector<std::uint32_t> sorted = std::move(cross_layout);
    sort_y_then_x(sorted, table);
    std::vector<std::uint32_t> out;
    out.reserve(sorted.size() + ordered_main.size());
    const auto top_of = [&table](std::uint32_t i) noexcept { return table.edges[i].top; };
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

std::vector<ElementRecord> merge_cross_layout(std::span<const ElementRecord> ordered_main,
                                              std::span<const ElementRecord> cross_layout) {
    std::vector<ElementRecord> all(ordered_main.begin(), ordered_main.end());
    all.insert(all.end(), cross_layout.begin(), cross_layout.end());
    const Table table = table_of(all);
    std::vector<std::uint32_t> main(ordered_main.size());
    std::vector<std::uint32_t> cross(cross_layout.size());
    for (std::uint32_t i = 0; i < main.size(); ++i) {
        main[i] = i;
    }
    for (std::uint32_t i = 0; i < cross.size(); ++i) {
        cross[i] = static_cast<std::uint32_t>(main.size()) + i;
    }
    std::vector<ElementRecord> out;
    for (const std::uint32_t i : merge_cross_layout(table, main, std::move(cross))) {
        out.push_back(all[i]);
    }
    return out;
}

}  // namespace quorlin::engine::detail
