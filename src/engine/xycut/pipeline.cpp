// The ordering pipeline: set aside the cross-layout elements, measure the
// density of the rest, segment them by recursive XY-cut and merge the
// set-aside elements back by their top. It works on indices into one table
// of normalised extents and returns a permutation; the record-based entry is
// built on it.

#include <numeric>

#include "detail.hpp"
#include "quorlin/engine/sorter.hpp"

namespace quorlin::engine {
namespace detail {

const quorlin::log::TargetGate g_engine_gate{kEngineTarget};

namespace {

constexpr float kBeta = 2.0F;
constexpr float kDensityThreshold = 0.9F;
constexpr float kOverlapRatio = 0.1F;  // the single-precision value, bits 0x3DCCCCCD

// Whether j's horizontal overlap with i covers at least a tenth of the
// narrower of the two. Any NaN comparison means no.
bool overlaps_enough(const Edges& i, float width_i, const Edges& j) noexcept {
    const float overlap = max_num(0.0F, min_num(i.right, j.right) - max_num(i.left, j.left));
    const float narrower = min_num(width_i, width_of(j));
    return overlap > 0.0F && narrower > 0.0F && overlap / narrower >= kOverlapRatio;
}

// Marks the cross-layout elements (1 in `cross`, one entry per element):
// candidates of the width gate that horizontally overlap at least two other
// elements. Returns how many there are.
std::size_t find_cross_layout(const Table& table, float reference, std::vector<std::uint8_t>& cross) {
    const std::size_t n = table.size();
    cross.assign(n, 0U);
    std::size_t count = 0;
    const float gate = kBeta * reference;
    for (std::size_t i = 0; i < n; ++i) {
        const Edges& ei = table.edges[i];
        const float width = width_of(ei);
        // A zero-width element can never have a counting partner (the
        // narrower width must be positive), so it needs no scan.
        if (!(width >= gate) || !(width > 0.0F)) {
            continue;
        }
        int partners = 0;
        for (std::size_t j = 0; j < n && partners < 2; ++j) {
            if (j != i && overlaps_enough(ei, width, table.edges[j])) {
                ++partners;
            }
        }
        cross[i] = partners >= 2 ? 1U : 0U;
        count += cross[i];
    }
    return count;
}

// How densely the main elements cover their union box, capped at 1.0; a
// union box of zero or NaN area counts as fully covered. The covered area is
// summed in input order.
float density_ratio(const Table& table, std::span<const std::uint32_t> main) noexcept {
    Edges u = table.edges[main.front()];
    for (const std::uint32_t i : main.subspan(1)) {
        const Edges& e = table.edges[i];
        u.left = min_num(u.left, e.left);
        u.right = max_num(u.right, e.right);
        u.top = min_num(u.top, e.top);
        u.bottom = max_num(u.bottom, e.bottom);
    }
    const float area = max_num(0.0F, u.right - u.left) * max_num(0.0F, u.bottom - u.top);
    if (!(area > 0.0F)) {
        return 1.0F;
    }
    float covered = 0.0F;
    for (const std::uint32_t i : main) {
        covered += width_of(table.edges[i]) * height_of(table.edges[i]);
    }
    return min_num(covered / area, 1.0F);
}

std::vector<ElementRecord> records_in(std::span<const ElementRecord> records, std::span<const std::uint32_t> order) {
    std::vector<ElementRecord> out;
    out.reserve(order.size());
    for (const std::uint32_t i : order) {
        out.push_back(records[i]);
    }
    return out;
}

}  // namespace

float reference_width(const Table& table) noexcept {
    float widest = 0.0F;
    for (const Edges& e : table.edges) {
        widest = max_num(widest, width_of(e));
    }
    return widest;
}

std::vector<std::uint32_t> order_table(const Table& table, float reference, Observer* observer) {
    Workspace workspace;
    return std::move(order_table(table, reference, observer, workspace));
}

std::vector<std::uint32_t>& order_table(const Table& table, float reference, Observer* observer,
                                        Workspace& workspace) {
    const std::size_t n = table.size();
    std::vector<std::uint32_t>& main = workspace.main;
    std::vector<std::uint32_t>& cross_layout = workspace.cross_layout;
    main.resize(n);
    cross_layout.clear();
    if (n < 2) {
        std::iota(main.begin(), main.end(), 0U);
        return main;
    }
    engine_log<LogLine::SortStart>(std::uint64_t{n}, kBeta, kDensityThreshold);

    // Partition in input order.
    if (n >= 3 && find_cross_layout(table, reference, workspace.cross) != 0) {
        main.clear();
        for (std::uint32_t i = 0; i < n; ++i) {
            (workspace.cross[i] != 0 ? cross_layout : main).push_back(i);
        }
    } else {
        std::iota(main.begin(), main.end(), 0U);
    }
    if (n > kKeptBuffers) {
        release(workspace.cross);
    }
    engine_log<LogLine::SortCrossLayout>(std::uint64_t{cross_layout.size()}, std::uint64_t{main.size()});
    if (observer != nullptr) {
        observer->set_aside(cross_layout);
    }

    if (main.empty()) {
        engine_log<LogLine::SortAllCrossLayout>();
        if (observer != nullptr) {
            observer->all_cross_layout();
        }
        sort_y_then_x(cross_layout, table, workspace.keyed);
        return cross_layout;
    }

    const float density = density_ratio(table, main);
    const bool prefer_horizontal_first = density > kDensityThreshold;
    engine_log<LogLine::SortDensity>(density, prefer_horizontal_first);

    // The segmentation keeps every main element, so with cross-layout
    // elements set aside both sequences of the merge are non-empty.
    segment(table, prefer_horizontal_first, observer, workspace);
    if (cross_layout.empty()) {
        return main;
    }
    workspace.merged = merge_cross_layout(table, main, std::move(cross_layout));
    return workspace.merged;
}

std::vector<ElementRecord> order_records(std::span<const ElementRecord> records, float reference) {
    const Table table = table_of(records);
    return records_in(records, order_table(table, reference, nullptr));
}

}  // namespace detail

std::vector<std::uint32_t> order_boxes(std::vector<Box>&& boxes, Observer* observer) {
    const detail::Lent<detail::EngineBuffers> buffers(boxes.size());
    detail::Table& table = buffers->table;
    detail::build_table(table, boxes.size(), [&boxes](std::size_t i) -> const Box& { return boxes[i]; });
    detail::release(boxes);  // the table holds everything the engine reads
    const float reference = detail::reference_width(table);
    std::vector<std::uint32_t>& order = detail::order_table(table, reference, observer, buffers->workspace);
    if (table.size() > detail::kKeptPage) {
        return std::move(order);  // the buffers go anyway
    }
    return order;
}

std::vector<ElementRecord> order_elements(std::span<const ElementRecord> records) {
    const detail::Table table = detail::table_of(records);
    const float reference = detail::reference_width(table);
    return detail::records_in(records, detail::order_table(table, reference, nullptr));
}

}  // namespace quorlin::engine
