// Recursive XY-cut segmentation over exact interval sweeps.
//
// Every set the recursion meets is a subsequence of the main elements in
// input order, so its vertical and horizontal extent orders are the
// subsequences of two orders sorted once for the whole page (ties broken by
// input position, which is what a stable sort of the set would keep). Each
// set is therefore one index range [lo, hi) in both order arrays: a cut
// splits both ranges stably into the first group followed by the second, and
// the set's reading order is written to the same range of the output. A work
// list replaces the recursion, visiting sets depth-first (first group
// entirely before the second), so results and log lines come out exactly as
// the recursive description gives them, in O(n) per level and with no stack
// growth.

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "detail.hpp"

namespace quorlin::sorter::detail {
namespace {

using quorlin::log::GroupSizes;
using quorlin::log::Level;

constexpr float kMinGap = 5.0F;
constexpr float kHalf = 0.5F;
constexpr float kWideFraction = 0.1F;    // the single-precision value, bits 0x3DCCCCCD
constexpr float kTieEpsilon = 0x1p-23F;  // machine epsilon of single precision

enum : std::uint32_t {
    kLineNoValidCuts = 254,
    kLineHorizontalCut = 263,
    kLineVerticalCut = 270,
    kLineOneGroup = 279,
    kLineSplit = 287,
};

// Widest gap found along one axis: a width of 0 means none.
struct Gap {
    float cut = 0.0F;
    float width = 0.0F;
};

// The gap sweep: visits intervals in ascending (lower, upper) order and keeps
// the widest empty band between the reach so far and the next interval. A
// later gap must be strictly wider, so the first (lowest) of equal gaps wins;
// any comparison with NaN is false, so NaN extents leave no gap.
class GapSweep {
public:
    void visit(float lower, float upper) noexcept {
        if (!started_) {
            reach_ = upper;
            started_ = true;
            return;
        }
        if (lower > reach_ && lower - reach_ > gap_.width) {
            gap_.width = lower - reach_;
            gap_.cut = (reach_ + lower) * kHalf;
        }
        reach_ = max_num(reach_, upper);
    }
    Gap result() const noexcept { return gap_; }

private:
    Gap gap_;
    float reach_ = 0.0F;
    bool started_ = false;
};

class Segmenter {
public:
    Segmenter(std::span<const ElementRecord> records, bool prefer_horizontal_first)
        : records_(records), prefer_horizontal_first_(prefer_horizontal_first) {
        if (records.size() > UINT32_MAX) {
            throw std::length_error("segmentation: more than 2^32 - 1 elements");
        }
        const auto n = static_cast<std::uint32_t>(records.size());
        extents_.reserve(n);
        for (const ElementRecord& r : records) {
            extents_.push_back(extents_of(r));
        }
        by_v_ = sorted_indices([](const Extents& e) { return key_pair(e.top, e.bottom); });
        by_h_ = sorted_indices([](const Extents& e) { return key_pair(e.left, e.right); });
        scratch_.resize(n);
        side_.resize(n);
        out_.resize(n);
    }

    std::vector<ElementRecord> run() {
        work_.push_back({0, static_cast<std::uint32_t>(records_.size())});
        while (!work_.empty()) {
            const Range range = work_.back();
            work_.pop_back();
            segment(range);
        }
        return std::move(out_);
    }

private:
    struct Range {
        std::uint32_t lo;
        std::uint32_t hi;
    };
    struct Keyed {
        std::uint64_t key;
        std::uint32_t index;
    };

    template <class KeyOf>
    std::vector<std::uint32_t> sorted_indices(KeyOf key_of) {
        keyed_.resize(extents_.size());
        for (std::uint32_t i = 0; i < extents_.size(); ++i) {
            keyed_[i] = {key_of(extents_[i]), i};
        }
        sort_keyed(keyed_.begin(), keyed_.end());
        std::vector<std::uint32_t> order(extents_.size());
        std::transform(keyed_.begin(), keyed_.end(), order.begin(), [](const Keyed& k) { return k.index; });
        return order;
    }

    template <class It>
    static void sort_keyed(It first, It last) {
        std::sort(first, last, [](const Keyed& a, const Keyed& b) {
            return a.key != b.key ? a.key < b.key : a.index < b.index;
        });
    }

    void segment(Range range) {
        const std::uint32_t n = range.hi - range.lo;
        if (n == 1) {
            out_[range.lo] = records_[by_v_[range.lo]];
            return;
        }
        if (n == 0) {
            return;
        }
        const Gap gap_y = sweep(by_v_, range, &Extents::top, &Extents::bottom);
        Gap gap_x = sweep(by_h_, range, &Extents::left, &Extents::right);
        if (n >= 3 && gap_x.width < kMinGap) {
            refine_vertical(range, gap_x);
        }

        const bool y_ok = gap_y.width >= kMinGap;
        const bool x_ok = gap_x.width >= kMinGap;
        if (!y_ok && !x_ok) {
            engine_log(Level::Debug, kLineNoValidCuts,
                       "[segment] no valid cuts for {} elements, falling back to y-then-x sort",
                       std::uint64_t{n});
            write_y_then_x(range);
            return;
        }
        bool horizontal = y_ok;
        if (y_ok && x_ok) {
            horizontal = std::fabs(gap_y.width - gap_x.width) < kTieEpsilon
                             ? prefer_horizontal_first_
                             : gap_y.width > gap_x.width;
        }
        const Gap chosen = horizontal ? gap_y : gap_x;
        if (horizontal) {
            engine_log(Level::Debug, kLineHorizontalCut,
                       "[segment] horizontal cut at y={:.1} (gap={:.1}) on {} elements", chosen.cut,
                       chosen.width, std::uint64_t{n});
        } else {
            engine_log(Level::Debug, kLineVerticalCut,
                       "[segment] vertical cut at x={:.1} (gap={:.1}) on {} elements", chosen.cut,
                       chosen.width, std::uint64_t{n});
        }

        const std::uint32_t first = mark_sides(range, horizontal, chosen.cut);
        if (first == 0 || first == n) {
            engine_log(Level::Warn, kLineOneGroup,
                       "[segment] cut produced only 1 group for {} elements, falling back to y-then-x sort",
                       std::uint64_t{n});
            write_y_then_x(range);
            return;
        }
        engine_log(Level::Debug, kLineSplit, "[segment] split into {} groups: {}", std::uint64_t{2},
                   GroupSizes{first, n - first});
        split(by_v_, range, first);
        split(by_h_, range, first);
        // The work list is a stack: push the second group first so that the
        // first group, and everything below it, is done before it.
        work_.push_back({range.lo + first, range.hi});
        work_.push_back({range.lo, range.lo + first});
    }

    Gap sweep(const std::vector<std::uint32_t>& order, Range range, float Extents::*lower,
              float Extents::*upper) const noexcept {
        GapSweep s;
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const Extents& e = extents_[order[i]];
            s.visit(e.*lower, e.*upper);
        }
        return s.result();
    }

    // Looks for a column gap among the wide elements alone, so that a narrow
    // item standing in a gutter does not hide the gap between two columns.
    void refine_vertical(Range range, Gap& gap_x) const noexcept {
        const Extents& head = extents_[by_h_[range.lo]];
        float least_left = head.left;
        float greatest_right = head.right;
        for (std::uint32_t i = range.lo + 1; i < range.hi; ++i) {
            const Extents& e = extents_[by_h_[i]];
            least_left = min_num(least_left, e.left);
            greatest_right = max_num(greatest_right, e.right);
        }
        const float extent = max_num(0.0F, greatest_right - least_left);
        const float threshold = extent * kWideFraction;
        GapSweep s;
        std::uint32_t wide = 0;
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const Extents& e = extents_[by_h_[i]];
            if (e.width >= threshold) {
                ++wide;
                s.visit(e.left, e.right);
            }
        }
        const Gap refined = s.result();
        if (wide >= 2 && wide < range.hi - range.lo && refined.width > gap_x.width &&
            refined.width >= kMinGap) {
            gap_x = refined;
        }
    }

    // Sorts each record to the first group (centre below the cut) or the
    // second; the centre comes from the raw corners, so a NaN centre goes
    // second. Returns the size of the first group.
    std::uint32_t mark_sides(Range range, bool horizontal, float cut) noexcept {
        std::uint32_t first = 0;
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const std::uint32_t idx = by_v_[i];
            const ElementRecord& r = records_[idx];
            const float centre = horizontal ? (r.y1 + r.y2) * kHalf : (r.x1 + r.x2) * kHalf;
            const bool before = centre < cut;
            side_[idx] = before ? 0 : 1;
            first += before ? 1U : 0U;
        }
        return first;
    }

    // Stable split of one order range: first-group indices move to the
    // front in place, second-group ones go through the scratch buffer.
    void split(std::vector<std::uint32_t>& order, Range range, std::uint32_t first) noexcept {
        std::uint32_t front = range.lo;
        std::uint32_t back = 0;
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const std::uint32_t idx = order[i];
            if (side_[idx] == 0) {
                order[front++] = idx;
            } else {
                scratch_[back++] = idx;
            }
        }
        std::copy_n(scratch_.begin(), back, order.begin() + range.lo + first);
    }

    // A set without a usable cut: y-then-x order, ties in input order.
    void write_y_then_x(Range range) {
        const auto begin = keyed_.begin() + range.lo;
        const auto end = keyed_.begin() + range.hi;
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const std::uint32_t idx = by_v_[i];
            keyed_[i] = {key_pair(extents_[idx].top, extents_[idx].left), idx};
        }
        sort_keyed(begin, end);
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            out_[i] = records_[keyed_[i].index];
        }
    }

    std::span<const ElementRecord> records_;
    bool prefer_horizontal_first_;
    std::vector<Extents> extents_;
    std::vector<std::uint32_t> by_v_;
    std::vector<std::uint32_t> by_h_;
    std::vector<std::uint32_t> scratch_;
    std::vector<std::uint8_t> side_;
    std::vector<Keyed> keyed_;
    std::vector<ElementRecord> out_;
    std::vector<Range> work_;
};

}  // namespace

std::vector<ElementRecord> segment(std::span<const ElementRecord> records,
                                   bool prefer_horizontal_first) {
    if (records.empty()) {
        return {};
    }
    return Segmenter(records, prefer_horizontal_first).run();
}

}  // namespace quorlin::sorter::detail
