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

namespace quorlin::engine::detail {
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
    // The orders and buffers are those of a workspace, which outlives this.
    Segmenter(const Segmenter&) = delete;
    Segmenter& operator=(const Segmenter&) = delete;
    Segmenter(Segmenter&&) = delete;
    Segmenter& operator=(Segmenter&&) = delete;

    // workspace.main holds ascending indices into the table.
    Segmenter(const Table& table, bool prefer_horizontal_first, Observer* observer, Workspace& workspace)
        : table_(table),
          edges_(table.edges),
          prefer_horizontal_first_(prefer_horizontal_first),
          observer_(observer),
          quiet_(observer == nullptr && table.regular && !logs_a_cut()),
          by_v_(workspace.main),
          by_h_(workspace.by_h),
          scratch_(workspace.scratch),
          mark_(workspace.mark),
          keyed_(workspace.keyed),
          work_(workspace.work) {
        if (by_v_.size() > kMaxBoxes) {
            throw std::length_error("segmentation: more than 2^32 - 1 elements");
        }
        const std::size_t m = by_v_.size();
        by_h_.assign(by_v_.begin(), by_v_.end());
        room_for(keyed_, m);
        sort_positions(std::span<std::uint32_t>(by_v_), edges_, vertical_extent_key, keyed_);
        sort_positions(std::span<std::uint32_t>(by_h_), edges_, horizontal_extent_key, keyed_);
        if (m > kKeptBuffers) {
            // The keys of a large set go once it is sorted: the fallback
            // sorts below need room for their own sets only.
            release(keyed_);
        }
        room_for(scratch_, m);
        mark_.assign(table.size(), 0U);
        work_.clear();
        work_.reserve(64);
    }

    void run() {
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
    }

private:
    using Range = SegmentRange;

    void segment(Range range) {
        const std::uint32_t n = range.hi - range.lo;
        if (n <= 1) {
            return;  // a single element is its own reading order, already in place
        }
        // A stack with no column gap below, without observer or logs, on a
        // regular table: what the recursion would do, in one sort and
        // without its sweeps. Its cuts are all horizontal and split the
        // vertical extent order on positions, and a part's own sweep finds
        // the gaps the sweep of the whole stack finds inside it (after a gap,
        // the reach starts at the bottom of the first box below it, which is
        // below everything above the gap). So the recursion cuts at every gap
        // of at least kMinGap and puts each run between two such gaps in
        // y-then-x order; and every top in a later run lies below every
        // bottom, and so every top, of an earlier one: the runs one after the
        // other are the whole stack in y-then-x order. (A stack of more than
        // kKeptBuffers boxes takes the recursion, which sorts one run at a
        // time and so needs sort keys for the longest run only.)
        if (quiet_ && n <= kKeptBuffers && no_column_gap_below(range)) {
            write_y_then_x(range);
            return;
        }
        if (quiet_ && n == 2) {
            write_pair(range);
            return;
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
        const bool horizontal = cut_across(y_ok, x_ok, gap_y.width, gap_x.width);
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
        // first group, and everything below it, is done before it. A group of
        // one box is already in place and reports nothing: it is not pushed.
        if (n - first > 1) {
            work_.push_back({range.lo + first, range.hi, range.depth + 1});
        }
        if (first > 1) {
            work_.push_back({range.lo, range.lo + first, range.depth + 1});
        }
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
        // Without a branch on the mark, which follows the page and is hard to
        // predict: each index is written to both places, and only the
        // counter of its side moves on (front <= i, so no unread index is
        // overwritten).
        for (std::uint32_t i = range.lo; i < range.hi; ++i) {
            const std::uint32_t idx = order[i];
            const std::uint32_t to_front = (mark_[idx] == stamp_) != marked_is_second ? 1U : 0U;
            order[front] = idx;
            scratch_[back] = idx;
            front += to_front;
            back += 1U - to_front;
        }
        std::copy_n(scratch_.begin(), back, order.begin() + range.lo + first);
    }

    // Whether the cut goes across (between rows) rather than between columns,
    // given which gaps are usable (at least one) and their widths: the wider
    // one, and on a tie the preferred axis.
    bool cut_across(bool y_ok, bool x_ok, float gap_y, float gap_x) const noexcept {
        if (y_ok && x_ok) {
            return std::fabs(gap_y - gap_x) < kTieEpsilon ? prefer_horizontal_first_ : gap_y > gap_x;
        }
        return y_ok;
    }

    // Whether no part of the set, however it is split, has a usable gap
    // between columns: every gap a sweep along x can find is some left minus
    // some right, at most the greatest left minus the least right, and that
    // is below kMinGap (a set whose boxes all share some x has none at all).
    // Every cut below is then horizontal.
    bool no_column_gap_below(Range range) const noexcept {
        const float greatest_left = edges_[by_h_[range.hi - 1]].left;  // the last in (left, right) order
        float least_right = edges_[by_h_[range.lo]].right;
        for (std::uint32_t i = range.lo + 1; i < range.hi; ++i) {
            least_right = std::min(least_right, edges_[by_h_[i]].right);
        }
        return greatest_left - least_right < kMinGap;
    }

    // Two boxes, without observer or logs, on a regular table: the one gap
    // each sweep can find is between the two, and a cut on positions leaves
    // the boxes in the order of the sweep it came from.
    void write_pair(Range range) {
        const Edges& upper = edges_[by_v_[range.lo]];
        const Edges& lower = edges_[by_v_[range.lo + 1]];
        const Edges& left = edges_[by_h_[range.lo]];
        const Edges& right = edges_[by_h_[range.lo + 1]];
        const float gap_y = lower.top - upper.bottom;
        const float gap_x = right.left - left.right;
        const bool y_ok = gap_y >= kMinGap;
        const bool x_ok = gap_x >= kMinGap;
        if (!y_ok && !x_ok) {
            write_y_then_x(range);
            return;
        }
        if (!cut_across(y_ok, x_ok, gap_y, gap_x)) {
            by_v_[range.lo] = by_h_[range.lo];
            by_v_[range.lo + 1] = by_h_[range.lo + 1];
        }
    }

    // Whether a line of a stack's recursion would be logged (its cuts, its
    // splits and the sets left without a cut; a cut on positions never
    // leaves one group): only then must it be taken step by step.
    static bool logs_a_cut() noexcept {
        for (const LogLine line : {LogLine::SegmentHorizontalCut, LogLine::SegmentSplit, LogLine::SegmentNoValidCuts}) {
            if (quorlin::log::would_emit(g_engine_gate, log_site(line).level)) {
                return true;
            }
        }
        return false;
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
    // No observer, no log line of a cut wanted and a regular table: a stack
    // with no column gap below is ordered in one sort, two boxes directly.
    bool quiet_;
    std::vector<std::uint32_t>& by_v_;  // vertical extent order of the sets; in the end, reading order
    std::vector<std::uint32_t>& by_h_;  // horizontal extent order of the sets
    std::vector<std::uint32_t>& scratch_;
    // mark_[idx] == stamp_ tags the elements of one side of the current cut.
    std::vector<std::uint32_t>& mark_;
    std::uint32_t stamp_ = 0;
    std::vector<KeyedIndex>& keyed_;  // keys of the sorts
    std::vector<Range>& work_;
};

}  // namespace

std::vector<std::uint32_t> segment(const Table& table, std::vector<std::uint32_t>&& main,
                                   bool prefer_horizontal_first, Observer* observer) {
    if (main.empty()) {
        return {};
    }
    Workspace workspace;
    workspace.main = std::move(main);
    segment(table, prefer_horizontal_first, observer, workspace);
    return std::move(workspace.main);
}

void Workspace::reserve(std::size_t n) {
    if (n > kKeptBuffers) {
        return;
    }
    main.reserve(n);
    cross.reserve(n);
    by_h.reserve(n);
    scratch.reserve(n);
    mark.reserve(n);
    keyed.reserve(n);
    work.reserve(64);
}

void segment(const Table& table, bool prefer_horizontal_first, Observer* observer, Workspace& workspace) {
    Segmenter(table, prefer_horizontal_first, observer, workspace).run();
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

}  // namespace quorlin::engine::detail
