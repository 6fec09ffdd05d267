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
//
// Names: the y sweep visits a set in vertical extent order (top, bottom) and
// finds the gaps between rows, where a horizontal cut goes (gap_y, a cut at
// some y); the x sweep visits it in horizontal extent order (left, right)
// and finds the gaps between columns, where a vertical cut goes (gap_x, a cut
// at some x).

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "detail.hpp"

namespace quorlin::sorter::detail {
namespace {

using quorlin::log::GroupSizes;

constexpr float kMinGap = 5.0F;
constexpr float kHalf = 0.5F;
constexpr float kWideFraction = 0.1F;    // the single-precision value, bits 0x3DCCCCCD
constexpr float kTieEpsilon = 0x1p-23F;  // machine epsilon of single precision

// Widest gap found along one axis: a width of 0 means none.
struct Gap {
    float cut = 0.0F;
    float width = 0.0F;
    std::uint32_t pos = 0;  // where in the swept order the interval after the gap stands
    bool refined = false;   // found among the wide elements only
};

// Coordinates inside which a cut provably splits a set exactly at its gap:
// every record swept before the gap has its centre below the cut, every
// record after it its centre above (sums of two such floats are exact
// enough, and a gap is at least 5 wide).
constexpr float kRegularLimit = 67108864.0F;  // 2^26

bool is_regular(const ElementRecord& r) noexcept {
    return std::fabs(r.x1) < kRegularLimit && std::fabs(r.y1) < kRegularLimit && std::fabs(r.x2) < kRegularLimit &&
           std::fabs(r.y2) < kRegularLimit;
}

// The result of one gap sweep along an axis.
struct Sweep {
    Gap gap;
    float reach;      // greatest upper extent over the set, NaNs ignored (-0.0 and +0.0 not told apart)
    float min_width;  // least width, when asked for
};

// Advances the reach: max(reach, upper) ignoring a NaN upper. Unlike maxNum
// it may keep -0.0 over +0.0, which changes no gap, cut or extent computed
// from the reach.
inline float advance_reach(float reach, float upper) noexcept {
    return (upper > reach || std::isnan(reach)) ? upper : reach;
}

class Segmenter {
public:
    // by_v_, by_h_ and scratch_ are spans into indices_: a copy or a move
    // would leave them pointing into another object's storage.
    Segmenter(const Segmenter&) = delete;
    Segmenter& operator=(const Segmenter&) = delete;
    Segmenter(Segmenter&&) = delete;
    Segmenter& operator=(Segmenter&&) = delete;

    Segmenter(std::span<const ElementRecord> records, std::vector<Extents>&& extents,
              bool prefer_horizontal_first)
        : records_(records), prefer_horizontal_first_(prefer_horizontal_first), extents_(std::move(extents)) {
        if (records.size() > UINT32_MAX || extents_.size() != records.size()) {
            throw std::length_error("segmentation: more than 2^32 - 1 elements, or extents not matching");
        }
        const auto n = static_cast<std::uint32_t>(records.size());
        // One block holds both orders and the scratch space of the splits.
        indices_.resize(std::size_t{3} * n);
        by_v_ = std::span<std::uint32_t>(indices_.data(), n);
        by_h_ = std::span<std::uint32_t>(indices_.data() + n, n);
        scratch_ = std::span<std::uint32_t>(indices_.data() + std::size_t{2} * n, n);
        keyed_.resize(n);
        std::iota(by_v_.begin(), by_v_.end(), 0U);
        std::iota(by_h_.begin(), by_h_.end(), 0U);
        sort_positions(by_v_, extents_, vertical_extent_key, keyed_);
        sort_positions(by_h_, extents_, horizontal_extent_key, keyed_);
        mark_.resize(n);
        centres_.reserve(n);
        for (const ElementRecord& r : records) {
            centres_.push_back({(r.x1 + r.x2) * kHalf, (r.y1 + r.y2) * kHalf});
            regular_ = regular_ && is_regular(r);
        }
        work_.reserve(64);
    }

    std::vector<ElementRecord> run() {
        work_.push_back({0, static_cast<std::uint32_t>(records_.size())});
        while (!work_.empty()) {
            const Range range = work_.back();
            work_.pop_back();
            segment(range);
        }
        // Each finished set left its reading order in its range of by_v_.
        std::vector<ElementRecord> out;
        out.reserve(records_.size());
        for (const std::uint32_t idx : by_v_) {
            out.push_back(records_[idx]);
        }
        return out;
    }

private:
    struct Range {
        std::uint32_t lo;
        std::uint32_t hi;
    };
    void segment(Range range) {
        const std::uint32_t n = range.hi - range.lo;
        if (n <= 1) {
            return;  // a single record is its own reading order, already in place
        }
        Sweep sweep_y;
        Sweep sweep_x;
        sweep_both(range, sweep_y, sweep_x);
        const Gap gap_y = sweep_y.gap;
        Gap gap_x = sweep_x.gap;
        if (n >= 3 && gap_x.width < kMinGap) {
            refine_column_gap(range, sweep_x, gap_x);
        }

        const bool y_ok = gap_y.width >= kMinGap;
        const bool x_ok = gap_x.width >= kMinGap;
        if (!y_ok && !x_ok) {
            engine_log<LogLine::SegmentNoValidCuts>(std::uint64_t{n});
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
            engine_log<LogLine::SegmentHorizontalCut>(chosen.cut, chosen.width, std::uint64_t{n});
        } else {
            engine_log<LogLine::SegmentVerticalCut>(chosen.cut, chosen.width, std::uint64_t{n});
        }

        const std::uint32_t first = partition(range, horizontal, chosen);
        if (first == 0 || first == n) {
            engine_log<LogLine::SegmentOneGroup>(std::uint64_t{n});
            write_y_then_x(range);
            return;
        }
        engine_log<LogLine::SegmentSplit>(std::uint64_t{2}, GroupSizes{first, n - first});
        // The work list is a stack: push the second group first so that the
        // first group, and everything below it, is done before it.
        work_.push_back({range.lo + first, range.hi});
        work_.push_back({range.lo, range.lo + first});
    }

    // The gap sweeps: each visits the set in ascending (lower, upper) order
    // and keeps the widest empty band between the reach so far and the next
    // interval. A later gap must be strictly wider, so the first (lowest) of
    // equal gaps wins; any comparison with NaN is false, so NaN extents leave
    // no gap. An interval whose upper extent is NaN has both coordinates NaN,
    // so it sorts to one end of the order (negative NaNs first, positive
    // NaNs last): it opens no gap and leaves the reach as it is. The reach
    // starts at the first numeric upper extent, after any leading NaNs.
    //
    // In one step, with a best gap that is never negative, lower - reach >
    // best implies lower > reach (a NaN difference compares false), so one
    // comparison decides; the cut is computed once, at the end.
    struct Axis {
        float best = 0.0F;
        float reach = 0.0F;
        float best_reach = 0.0F;
        float best_lower = 0.0F;
        std::uint32_t pos = 0;
        float min_width = 0.0F;
    };
    template <bool kTrackWidth>
    static void step(Axis& a, float lower, float upper, float width, std::uint32_t i) noexcept {
        const float d = lower - a.reach;
        if (d > a.best) {
            a.best = d;
            a.best_reach = a.reach;
            a.best_lower = lower;
            a.pos = i;
        }
        a.reach = upper > a.reach ? upper : a.reach;
        if constexpr (kTrackWidth) {
            a.min_width = width < a.min_width ? width : a.min_width;
        }
    }

    // Leading intervals with a NaN upper extent only lower the least width;
    // returns the position after the one that starts the reach.
    template <float Extents::*Upper, bool kTrackWidth>
    std::uint32_t start(std::span<const std::uint32_t> order, Range range, Axis& a) const noexcept {
        a.reach = extents_[order[range.lo]].*Upper;
        a.min_width = extents_[order[range.lo]].width;
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const Extents& e = extents_[order[i]];
            if constexpr (kTrackWidth) {
                a.min_width = e.width < a.min_width ? e.width : a.min_width;
            }
            if (!std::isnan(e.*Upper)) {
                a.reach = e.*Upper;
                return i + 1;
            }
        }
        return range.hi;
    }

    static Sweep finish(const Axis& a) noexcept {
        Sweep s{Gap{}, a.reach, a.min_width};
        if (a.best > 0.0F) {
            s.gap.width = a.best;
            s.gap.cut = (a.best_reach + a.best_lower) * kHalf;
            s.gap.pos = a.pos;
        }
        return s;
    }

    // The y sweep and the x sweep in one loop: two independent reach chains
    // per step.
    void sweep_both(Range range, Sweep& sy, Sweep& sx) const noexcept {
        Axis y;
        Axis x;
        std::uint32_t iy = start<&Extents::bottom, false>(by_v_, range, y);
        std::uint32_t ix = start<&Extents::right, true>(by_h_, range, x);
        for (; iy < ix; ++iy) {
            const Extents& e = extents_[by_v_[iy]];
            step<false>(y, e.top, e.bottom, e.width, iy);
        }
        for (; ix < iy; ++ix) {
            const Extents& e = extents_[by_h_[ix]];
            step<true>(x, e.left, e.right, e.width, ix);
        }
        for (std::uint32_t i = iy; i < range.hi; ++i) {
            const Extents& ev = extents_[by_v_[i]];
            const Extents& eh = extents_[by_h_[i]];
            step<false>(y, ev.top, ev.bottom, ev.width, i);
            step<true>(x, eh.left, eh.right, eh.width, i);
        }
        sy = finish(y);
        sx = finish(x);
    }

    // Looks for a column gap among the wide elements alone, so that a narrow
    // item standing in a gutter does not hide the gap between two columns;
    // a gap found so replaces gap_x, the candidate of a vertical cut. The
    // set's horizontal extent comes from the x sweep: its reach is the
    // greatest right, and the least left is the first non-NaN left in
    // horizontal extent order.
    void refine_column_gap(Range range, const Sweep& sweep_x, Gap& gap_x) const noexcept {
        float least_left = extents_[by_h_[range.lo]].left;
        for (std::uint32_t i = range.lo + 1; std::isnan(least_left) && i < range.hi; ++i) {
            least_left = extents_[by_h_[i]].left;
        }
        const float extent = max_num(0.0F, sweep_x.reach - least_left);
        const float threshold = extent * kWideFraction;
        if (sweep_x.min_width >= threshold) {
            return;  // every element is wide: nothing is left out
        }
        Gap refined;
        float reach = 0.0F;
        std::uint32_t wide = 0;
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const Extents& e = extents_[by_h_[i]];
            if (!(e.width >= threshold)) {
                continue;
            }
            if (wide++ == 0) {
                reach = e.right;
                continue;
            }
            if (e.left > reach && e.left - reach > refined.width) {
                refined.width = e.left - reach;
                refined.cut = (reach + e.left) * kHalf;
            }
            reach = advance_reach(reach, e.right);
        }
        if (wide >= 2 && wide < range.hi - range.lo && refined.width > gap_x.width && refined.width >= kMinGap) {
            gap_x = refined;
            gap_x.refined = true;
        }
    }

    // Splits the set at the cut into the first group (records whose centre,
    // from the raw corners, is below the cut) and the second (all others, a
    // NaN centre included), stably in both orders, so that the first group
    // occupies the front of the range. Returns the size of the first group;
    // when it is 0 or the whole set, the orders are left as a permutation of
    // the range for the fallback.
    std::uint32_t partition(Range range, bool horizontal, const Gap& cut) noexcept {
        ++stamp_;
        std::span<std::uint32_t> along = horizontal ? by_v_ : by_h_;
        std::span<std::uint32_t> across = horizontal ? by_h_ : by_v_;
        if (regular_ && !cut.refined) {
            // The groups are the two sides of the gap in the swept order,
            // already in place there; only the other order moves. Marking
            // the smaller side keeps the marking cost to the smaller group.
            const std::uint32_t first = cut.pos - range.lo;
            const std::uint32_t second = range.hi - cut.pos;
            const bool mark_first = first <= second;
            const std::uint32_t from = mark_first ? range.lo : cut.pos;
            const std::uint32_t to = mark_first ? cut.pos : range.hi;
            for (std::uint32_t i = from; i < to; ++i) {
                mark_[along[i]] = stamp_;
            }
            // When the marked group already sits at the same end of the
            // other order (as on a staircase), that order is split too.
            const std::uint32_t other_from = mark_first ? range.lo : range.hi - second;
            bool in_place = true;
            for (std::uint32_t i = other_from; i < other_from + (to - from) && in_place; ++i) {
                in_place = mark_[across[i]] == stamp_;
            }
            if (!in_place) {
                split(across, range, first, !mark_first);
            }
            return first;
        }
        std::uint32_t first = 0;
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const std::uint32_t idx = by_v_[i];
            const float centre = horizontal ? centres_[idx].y : centres_[idx].x;
            if (centre < cut.cut) {
                mark_[idx] = stamp_;
                ++first;
            }
        }
        if (first != 0 && first != range.hi - range.lo) {
            split(by_v_, range, first, false);
            split(by_h_, range, first, false);
        }
        return first;
    }

    // Stable split of one order range: the records of the first group (marked
    // at this level, or unmarked when `marked_is_second`) move to the front
    // in place, the others go through the scratch buffer to the back.
    void split(std::span<std::uint32_t> order, Range range, std::uint32_t first, bool marked_is_second) noexcept {
        std::uint32_t front = range.lo;
        std::uint32_t back = 0;
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const std::uint32_t idx = order[i];
            if ((mark_[idx] == stamp_) != marked_is_second) {
                order[front++] = idx;
            } else {
                scratch_[back++] = idx;
            }
        }
        std::copy_n(scratch_.begin(), back, order.begin() + range.lo + first);
    }

    // A set without a usable cut: y-then-x order, ties in input order,
    // written over the set's range of by_v_, which is no longer needed.
    void write_y_then_x(Range range) noexcept {
        const std::size_t n = range.hi - range.lo;
        sort_positions(by_v_.subspan(range.lo, n), extents_, y_then_x_key,
                       std::span<KeyedIndex>(keyed_).subspan(range.lo, n));
    }

    std::span<const ElementRecord> records_;
    bool prefer_horizontal_first_;
    std::vector<Extents> extents_;
    std::vector<std::uint32_t> indices_;
    std::span<std::uint32_t> by_v_;  // vertical extent order of the sets
    std::span<std::uint32_t> by_h_;  // horizontal extent order of the sets
    std::span<std::uint32_t> scratch_;
    // mark_[idx] == stamp_ tags the records of one side of the current cut.
    std::vector<std::uint32_t> mark_;
    std::uint32_t stamp_ = 0;
    bool regular_ = true;  // every coordinate finite and below 2^26 in magnitude
    struct Centre {
        float x;
        float y;
    };
    std::vector<Centre> centres_;  // from the raw corners: (x1 + x2) * 0.5, (y1 + y2) * 0.5
    std::vector<KeyedIndex> keyed_;  // scratch of the keyed sorts
    std::vector<Range> work_;
};

}  // namespace

std::vector<ElementRecord> segment(std::span<const ElementRecord> records, std::vector<Extents>&& extents,
                                   bool prefer_horizontal_first) {
    if (records.empty()) {
        return {};
    }
    return Segmenter(records, std::move(extents), prefer_horizontal_first).run();
}

}  // namespace quorlin::sorter::detail
