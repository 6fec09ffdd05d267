// Recursive XY-cut segmentation over exact interval sweeps.
//
// Every set the recursion meets is a subsequence of the main elements in
// input order, so its vertical and horizontal extent orders are the
// subsequences of two orders sorted once for the whole page (ties broken by
// input index, which is what a stable sort of the set would keep). Each set
// is therefore one index range [lo, hi) in both order arrays: a cut splits
// both ranges stably into the first group followed by the second, and the
// set's reading order is written to the same range of the output. The same
// range is what an observer is told: positions in the output order. A work
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

// The result of one gap sweep along an axis.
struct Sweep {
    Gap gap;
    float reach;  // greatest upper extent over the set, NaNs ignored (-0.0 and +0.0 not told apart)
};

// Advances the reach: max(reach, upper) ignoring a NaN upper. Unlike maxNum
// it may keep -0.0 over +0.0, which changes no gap, cut or extent computed
// from the reach.
inline float advance_reach(float reach, float upper) noexcept {
    return (upper > reach || std::isnan(reach)) ? upper : reach;
}

class Segmenter {
public:
    // by_v_, by_h_ and scratch_ are spans into storage of this object: a copy
    // or a move would leave them pointing into another object's storage.
    Segmenter(const Segmenter&) = delete;
    Segmenter& operator=(const Segmenter&) = delete;
    Segmenter(Segmenter&&) = delete;
    Segmenter& operator=(Segmenter&&) = delete;

    // `main` holds ascending indices into the table.
    Segmenter(const Table& table, std::vector<std::uint32_t>&& main, bool prefer_horizontal_first,
              Observer* observer)
        : table_(table),
          edges_(table.edges),
          prefer_horizontal_first_(prefer_horizontal_first),
          observer_(observer),
          by_v_(std::move(main)) {
        if (by_v_.size() > kMaxBoxes) {
            throw std::length_error("segmentation: more than 2^32 - 1 elements");
        }
        const std::size_t m = by_v_.size();
        by_h_ = by_v_;
        {
            // The sort keys live only while the two orders are sorted.
            std::vector<KeyedIndex> keyed(m);
            sort_positions(std::span<std::uint32_t>(by_v_), edges_, vertical_extent_key, keyed);
            sort_positions(std::span<std::uint32_t>(by_h_), edges_, horizontal_extent_key, keyed);
        }
        scratch_.resize(m);
        mark_.resize(table.size());
        work_.reserve(64);
    }

    std::vector<std::uint32_t> run() {
        work_.push_back({0, static_cast<std::uint32_t>(by_v_.size()), 0});
        while (!work_.empty()) {
            const Range range = work_.back();
            work_.pop_back();
            segment(range);
        }
        // Each finished set left its reading order in its range of by_v_.
        if (observer_ != nullptr) {
            observer_->segmented(by_v_);
        }
        return std::move(by_v_);
    }

private:
    struct Range {
        std::uint32_t lo;
        std::uint32_t hi;
        std::uint32_t depth;
    };
    void segment(Range range) {
        const std::uint32_t n = range.hi - range.lo;
        if (n <= 1) {
            return;  // a single element is its own reading order, already in place
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
            if (observer_ != nullptr) {
                observer_->no_valid_cut(FallbackReport{range.lo, range.hi, range.depth, bounds(range, sweep_y, sweep_x)});
            }
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

        // The set's bounds are read before the partition moves its orders.
        const Bounds set_bounds = observer_ != nullptr ? bounds(range, sweep_y, sweep_x) : Bounds{};
        const std::uint32_t first = partition(range, horizontal, chosen);
        const auto report = [&]() {
            return CutReport{horizontal ? CutAxis::Horizontal : CutAxis::Vertical,
                             chosen.cut,
                             chosen.width,
                             range.lo,
                             range.lo + first,
                             range.hi,
                             range.depth,
                             set_bounds};
        };
        if (first == 0 || first == n) {
            engine_log<LogLine::SegmentOneGroup>(std::uint64_t{n});
            if (observer_ != nullptr) {
                observer_->one_group(report());
            }
            write_y_then_x(range);
            return;
        }
        engine_log<LogLine::SegmentSplit>(std::uint64_t{2}, GroupSizes{first, n - first});
        if (observer_ != nullptr) {
            observer_->cut(report());
        }
        // The work list is a stack: push the second group first so that the
        // first group, and everything below it, is done before it.
        work_.push_back({range.lo + first, range.hi, range.depth + 1});
        work_.push_back({range.lo, range.lo + first, range.depth + 1});
    }

    // The set's extent, for an observer: the least lower extent is the first
    // non-NaN one in each order, the greatest upper extent the sweep's reach.
    Bounds bounds(Range range, const Sweep& sweep_y, const Sweep& sweep_x) const noexcept {
        return Bounds{least(by_h_, range, &Edges::left), least(by_v_, range, &Edges::top), sweep_x.reach,
                      sweep_y.reach};
    }
    float least(const std::vector<std::uint32_t>& order, Range range, float Edges::*lower) const noexcept {
        float value = edges_[order[range.lo]].*lower;
        for (std::uint32_t i = range.lo + 1; std::isnan(value) && i < range.hi; ++i) {
            value = edges_[order[i]].*lower;
        }
        return value;
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
    };
    static void step(Axis& a, float lower, float upper, std::uint32_t i) noexcept {
        const float d = lower - a.reach;
        if (d > a.best) {
            a.best = d;
            a.best_reach = a.reach;
            a.best_lower = lower;
            a.pos = i;
        }
        a.reach = upper > a.reach ? upper : a.reach;
    }

    // Skips leading intervals with a NaN upper extent; returns the position
    // after the one that starts the reach.
    template <float Edges::*Upper>
    std::uint32_t start(const std::vector<std::uint32_t>& order, Range range, Axis& a) const noexcept {
        a.reach = edges_[order[range.lo]].*Upper;
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const float upper = edges_[order[i]].*Upper;
            if (!std::isnan(upper)) {
                a.reach = upper;
                return i + 1;
            }
        }
        return range.hi;
    }

    static Sweep finish(const Axis& a) noexcept {
        Sweep s{Gap{}, a.reach};
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
        std::uint32_t iy = start<&Edges::bottom>(by_v_, range, y);
        std::uint32_t ix = start<&Edges::right>(by_h_, range, x);
        for (; iy < ix; ++iy) {
            const Edges& e = edges_[by_v_[iy]];
            step(y, e.top, e.bottom, iy);
        }
        for (; ix < iy; ++ix) {
            const Edges& e = edges_[by_h_[ix]];
            step(x, e.left, e.right, ix);
        }
        for (std::uint32_t i = iy; i < range.hi; ++i) {
            const Edges& ev = edges_[by_v_[i]];
            const Edges& eh = edges_[by_h_[i]];
            step(y, ev.top, ev.bottom, i);
            step(x, eh.left, eh.right, i);
        }
        sy = finish(y);
        sx = finish(x);
    }

    // Looks for a column gap among the wide elements alone, so that a narrow
    // item standing in a gutter does not hide the gap between two columns;
    // a gap found so replaces gap_x, the candidate of a vertical cut. The
    // set's horizontal extent comes from the x sweep: its reach is the
    // greatest right, and the least left is the first non-NaN left in
    // horizontal extent order. When every element is wide, nothing is left
    // out and the candidate stays.
    void refine_column_gap(Range range, const Sweep& sweep_x, Gap& gap_x) const noexcept {
        const float least_left = least(by_h_, range, &Edges::left);
        const float extent = max_num(0.0F, sweep_x.reach - least_left);
        const float threshold = extent * kWideFraction;
        Gap refined;
        float reach = 0.0F;
        std::uint32_t wide = 0;
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const Edges& e = edges_[by_h_[i]];
            if (!(width_of(e) >= threshold)) {
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

    // Splits the set at the cut into the first group (elements whose centre,
    // from the raw corners, is below the cut) and the second (all others, a
    // NaN centre included), stably in both orders, so that the first group
    // occupies the front of the range. Returns the size of the first group;
    // when it is 0 or the whole set, the orders are left as a permutation of
    // the range for the fallback.
    std::uint32_t partition(Range range, bool horizontal, const Gap& cut) noexcept {
        ++stamp_;
        std::vector<std::uint32_t>& along = horizontal ? by_v_ : by_h_;
        std::vector<std::uint32_t>& across = horizontal ? by_h_ : by_v_;
        if (table_.regular && !cut.refined) {
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
            const float centre = horizontal ? table_.centre_y(idx) : table_.centre_x(idx);
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

    // Stable split of one order range: the elements of the first group
    // (marked at this level, or unmarked when `marked_is_second`) move to the
    // front in place, the others go through the scratch buffer to the back.
    void split(std::vector<std::uint32_t>& order, Range range, std::uint32_t first, bool marked_is_second) noexcept {
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
    // written over the set's range of by_v_. The sort keys go to a buffer
    // that grows to the largest such set and is kept for the next one.
    void write_y_then_x(Range range) {
        const std::size_t n = range.hi - range.lo;
        if (keyed_.size() < n) {
            keyed_ = std::vector<KeyedIndex>(std::min(by_v_.size(), std::max(n, 2 * keyed_.size())));
        }
        sort_positions(std::span<std::uint32_t>(by_v_).subspan(range.lo, n), edges_, y_then_x_key,
                       std::span<KeyedIndex>(keyed_));
    }

    const Table& table_;
    const std::vector<Edges>& edges_;
    bool prefer_horizontal_first_;
    Observer* observer_;
    std::vector<std::uint32_t> by_v_;  // vertical extent order of the sets; in the end, reading order
    std::vector<std::uint32_t> by_h_;  // horizontal extent order of the sets
    std::vector<std::uint32_t> scratch_;
    // mark_[idx] == stamp_ tags the elements of one side of the current cut.
    std::vector<std::uint32_t> mark_;
    std::uint32_t stamp_ = 0;
    std::vector<KeyedIndex> keyed_;  // keys of the fallback sorts
    std::vector<Range> work_;
};

}  // namespace

std::vector<std::uint32_t> segment(const Table& table, std::vector<std::uint32_t>&& main,
                                   bool prefer_horizontal_first, Observer* observer) {
    if (main.empty()) {
        return {};
    }
    return Segmenter(table, std::move(main), prefer_horizontal_first, observer).run();
}

std::vector<ElementRecord> segment(std::span<const ElementRecord> records, bool prefer_horizontal_first) {
    const Table table = table_of(records);
    std::vector<std::uint32_t> all(records.size());
    std::iota(all.begin(), all.end(), 0U);
    std::vector<ElementRecord> out;
    out.reserve(records.size());
    for (const std::uint32_t i : segment(table, std::move(all), prefer_horizontal_first, nullptr)) {
        out.push_back(records[i]);
    }
    return out;
}

}  // namespace quorlin::sorter::detail
