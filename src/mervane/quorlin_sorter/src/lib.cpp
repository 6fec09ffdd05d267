// The ordering pipeline: set aside the cross-layout elements, measure the
// density of the rest, segment them by recursive XY-cut and merge the
// set-aside elements back by their top.

#include "detail.hpp"
#include "quorlin_sorter/sorter.hpp"

namespace quorlin::sorter {
namespace detail {

const quorlin::log::TargetGate g_engine_gate{kEngineTarget};

namespace {

constexpr float kBeta = 2.0F;
constexpr float kDensityThreshold = 0.9F;
constexpr float kOverlapRatio = 0.1F;  // the single-precision value, bits 0x3DCCCCCD

// Whether j's horizontal overlap with i covers at least a tenth of the
// narrower of the two. Any NaN comparison means no.
bool overlaps_enough(const Extents& i, const Extents& j) noexcept {
    const float overlap = max_num(0.0F, min_num(i.right, j.right) - max_num(i.left, j.left));
    const float narrower = min_num(i.width, j.width);
    return overlap > 0.0F && narrower > 0.0F && overlap / narrower >= kOverlapRatio;
}

// Marks the cross-layout elements: candidates of the width gate that
// horizontally overlap at least two other elements.
std::vector<bool> find_cross_layout(std::span<const Extents> extents, float reference) {
    const std::size_t n = extents.size();
    std::vector<bool> cross(n, false);
    const float gate = kBeta * reference;
    for (std::size_t i = 0; i < n; ++i) {
        const Extents& ei = extents[i];
        // A zero-width element can never have a counting partner (the
        // narrower width must be positive), so it needs no scan.
        if (!(ei.width >= gate) || !(ei.width > 0.0F)) {
            continue;
        }
        int partners = 0;
        for (std::size_t j = 0; j < n && partners < 2; ++j) {
            if (j != i && overlaps_enough(ei, extents[j])) {
                ++partners;
            }
        }
        cross[i] = partners >= 2;
    }
    return cross;
}

// How densely the main elements cover their union box, capped at 1.0; a
// union box of zero or NaN area counts as fully covered. The covered area is
// summed in input order.
float density_ratio(std::span<const Extents> main) noexcept {
    Extents u = main.front();
    for (const Extents& e : main.subspan(1)) {
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
    for (const Extents& e : main) {
        covered += e.width * e.height;
    }
    return min_num(covered / area, 1.0F);
}

}  // namespace

std::vector<Extents> extents_of_all(std::span<const ElementRecord> records) {
    std::vector<Extents> extents;
    extents.reserve(records.size());
    for (const ElementRecord& r : records) {
        extents.push_back(extents_of(r));
    }
    return extents;
}

float reference_width(std::span<const Extents> extents) noexcept {
    float widest = 0.0F;
    for (const Extents& e : extents) {
        widest = max_num(widest, e.width);
    }
    return widest;
}

std::vector<ElementRecord> order_elements(std::span<const ElementRecord> records, std::vector<Extents>&& extents,
                                          float reference) {
    const std::size_t n = records.size();
    if (n < 2) {
        return {records.begin(), records.end()};
    }
    engine_log<LogLine::SortStart>(std::uint64_t{n}, kBeta, kDensityThreshold);

    std::vector<bool> cross;
    if (n >= 3) {
        cross = find_cross_layout(extents, reference);
    }
    // Partition in input order; the main elements' extents follow them.
    std::vector<ElementRecord> cross_layout;
    std::vector<ElementRecord> main;
    main.reserve(n);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!cross.empty() && cross[i]) {
            cross_layout.push_back(records[i]);
        } else {
            main.push_back(records[i]);
            extents[kept++] = extents[i];
        }
    }
    extents.resize(kept);
    engine_log<LogLine::SortCrossLayout>(std::uint64_t{cross_layout.size()}, std::uint64_t{main.size()});

    if (main.empty()) {
        engine_log<LogLine::SortAllCrossLayout>();
        return y_then_x(records);
    }

    const float density = density_ratio(extents);
    const bool prefer_horizontal_first = density > kDensityThreshold;
    engine_log<LogLine::SortDensity>(density, prefer_horizontal_first);

    // The segmentation returns every main element, so with cross-layout
    // elements set aside both sequences of the merge are non-empty.
    std::vector<ElementRecord> ordered_main = segment(main, std::move(extents), prefer_horizontal_first);
    if (cross_layout.empty()) {
        return ordered_main;
    }
    return merge_cross_layout(ordered_main, cross_layout);
}

}  // namespace detail

std::vector<ElementRecord> order_elements(std::span<const ElementRecord> records) {
    std::vector<detail::Extents> extents = detail::extents_of_all(records);
    const float reference = detail::reference_width(extents);
    return detail::order_elements(records, std::move(extents), reference);
}

}  // namespace quorlin::sorter
