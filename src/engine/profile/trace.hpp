#pragma once
// The trace policies of a profile run (below), and the positions of the
// engine's order turned into input indices, which the run and its trace
// share. Only the run (profile.cpp) includes this.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <vector>

#include "profile/profile_steps.hpp"
#include "quorlin/engine/observer.hpp"
#include "quorlin/engine/profile.hpp"

namespace quorlin::engine::detail {

// Where a position of the engine's order names no box of the part: a wall
// the engine set apart, read as no box.
constexpr std::uint32_t kInvalid = UINT32_MAX;

// The input indices of the part at `positions` (positions into the part);
// positions of the `walls` boxes that follow the part's in the engine's
// table are left out.
void append_part(std::span<const std::uint32_t> part, std::span<const std::uint32_t> positions,
                 std::vector<std::uint32_t>& out, std::size_t walls = 0);

// ---- Trace policies -----------------------------------------------------------
//
// A run tells its tracer what it decided, where the trace needs it; the
// algorithm never asks whether there is a trace. NoTrace keeps nothing: its
// hooks are empty and inlined away, and the engine runs without an observer.
// Tracing keeps a ProfileTrace.

struct NoTrace {
    std::size_t open_split(TraceKind /*kind*/, const Band& /*band*/, std::uint32_t /*depth*/,
                           const PageBox& /*frame*/) noexcept {
        return 0;
    }
    void split_middle(std::size_t /*split*/) noexcept {}
    void close_split(std::size_t /*split*/) noexcept {}
    std::uint32_t part_start() noexcept { return 0; }
    void single(std::uint32_t /*k*/) noexcept {}
    void sorted(std::span<const std::uint32_t> /*part*/) noexcept {}
    void part_end(std::uint32_t /*start*/, const TracePart& /*part*/) noexcept {}
    void margin_notes(std::span<const std::uint32_t> /*notes*/) noexcept {}
    void non_finite(std::span<const std::uint32_t> /*bad*/) noexcept {}

    // order(observer) orders the part, as positions into it.
    template <class Order>
    decltype(auto) engine(std::span<const std::uint32_t> /*part*/, std::uint32_t /*depth*/, Order order,
                          std::size_t /*walls*/, double /*scale*/) {
        return order(nullptr);
    }
};

// Passes the engine's reports on one part into the trace: positions shifted
// to the part's place in segment_order, depths below the part's own, box
// positions turned into input indices.
class PartRecorder final : public Observer {
public:
    // `walls` boxes follow the part's in the engine's table (the column
    // rules): they leave no trace, and the positions of the reports are
    // those of the part's boxes alone. The engine saw the boxes multiplied
    // by `scale`: its cuts are taken back to the page's units.
    PartRecorder(ProfileTrace& trace, std::span<const std::uint32_t> indices, std::uint32_t depth, std::size_t walls,
                 double scale)
        : trace_(trace), indices_(indices), base_(static_cast<std::uint32_t>(trace.segment_order.size())),
          depth_(depth), walls_(walls), first_event_(trace.events.size()), scale_(scale) {}

    void set_aside(std::span<const std::uint32_t> positions) noexcept override {
        record([&] {
            for (const std::uint32_t p : positions) {
                if (p < indices_.size()) {
                    trace_.set_aside.push_back(indices_[p]);
                } else if (p - indices_.size() >= walls_) {
                    trace_.set_aside.push_back(kInvalid);
                }
            }
        });
    }
    void all_cross_layout() noexcept override {
        record([&] { add(TraceKind::AllCrossLayout, CutAxis::Horizontal, 0.0F, 0.0F, 0, 0, 0, 0, {}); });
    }
    void cut(const CutReport& c) noexcept override {
        record([&] { add(TraceKind::Cut, c.axis, c.position, c.gap, c.lo, c.mid, c.hi, c.depth, c.bounds); });
    }
    void one_group(const CutReport& c) noexcept override {
        record([&] { add(TraceKind::OneGroup, c.axis, c.position, c.gap, c.lo, c.mid, c.hi, c.depth, c.bounds); });
    }
    void no_valid_cut(const FallbackReport& s) noexcept override {
        record([&] {
            add(TraceKind::NoValidCut, CutAxis::Horizontal, 0.0F, 0.0F, s.lo, s.lo, s.hi, s.depth, s.bounds);
        });
    }
    void segmented(std::span<const std::uint32_t> order) noexcept override {
        record([&] {
            append_part(indices_, order, trace_.segment_order, walls_);
            if (walls_ == 0) {
                return;
            }
            // How many walls stand before each position of the engine's order.
            walls_before_.assign(order.size() + 1, 0);
            for (std::size_t j = 0; j < order.size(); ++j) {
                const bool wall = order[j] >= indices_.size() && order[j] - indices_.size() < walls_;
                walls_before_[j + 1] = walls_before_[j] + (wall ? 1 : 0);
            }
        });
    }

    // Memory that ran out while recording is reported once the engine is
    // done; then the reports of a part with walls are taken to the positions
    // of its boxes, and a cut that only set walls apart, or a set of walls
    // alone, is left out.
    void check() {
        if (failed_) {
            throw std::bad_alloc();
        }
        if (walls_ == 0 || walls_before_.empty()) {
            return;
        }
        const auto moved = [this](std::uint32_t at) {
            const std::uint32_t j = std::min<std::uint32_t>(at - base_, static_cast<std::uint32_t>(walls_before_.size() - 1));
            return at - walls_before_[j];
        };
        std::size_t kept = first_event_;
        for (std::size_t e = first_event_; e < trace_.events.size(); ++e) {
            TraceEvent event = trace_.events[e];
            const bool had = event.lo < event.hi;
            event.lo = moved(event.lo);
            event.mid = moved(event.mid);
            event.hi = moved(event.hi);
            const bool split_walls = event.kind == TraceKind::Cut && (event.lo == event.mid || event.mid == event.hi);
            if ((had && event.lo == event.hi) || split_walls) {
                continue;
            }
            trace_.events[kept++] = event;
        }
        trace_.events.resize(kept);
    }

private:
    void add(TraceKind kind, CutAxis axis, float position, float gap, std::uint32_t lo, std::uint32_t mid,
             std::uint32_t hi, std::uint32_t depth, const Bounds& b) {
        const double s = scale_;
        trace_.events.push_back(TraceEvent{kind, axis, static_cast<float>(position / s), static_cast<float>(gap / s),
                                           base_ + lo, base_ + mid, base_ + hi, depth_ + depth,
                                           PageBox{b.left / s, b.top / s, b.right / s, b.bottom / s}});
    }
    template <class F>
    void record(F f) noexcept {
        quorlin::engine::keep_report(failed_, f);
    }

    ProfileTrace& trace_;
    std::span<const std::uint32_t> indices_;
    std::uint32_t base_;
    std::uint32_t depth_;
    std::size_t walls_;
    std::size_t first_event_;
    std::vector<std::uint32_t> walls_before_;
    double scale_;
    bool failed_ = false;
};

class Tracing {
public:
    explicit Tracing(ProfileTrace& trace) noexcept : trace_(trace) {}

    // A fold or a top strip: the event of the split, whose halves end at
    // split_middle() and close_split().
    std::size_t open_split(TraceKind kind, const Band& band, std::uint32_t depth, const PageBox& frame) {
        const std::uint32_t at = reach();
        const CutAxis axis = kind == TraceKind::Fold ? CutAxis::Vertical : CutAxis::Horizontal;
        trace_.events.push_back(TraceEvent{kind, axis, band.middle, band.width, at, at, at, depth, frame});
        return trace_.events.size() - 1;
    }
    void split_middle(std::size_t split) noexcept { trace_.events[split].mid = reach(); }
    void close_split(std::size_t split) noexcept { trace_.events[split].hi = reach(); }

    std::uint32_t part_start() noexcept { return reach(); }
    // A part of one box, which is its own segmentation.
    void single(std::uint32_t k) { trace_.segment_order.push_back(k); }
    // A part the profile ordered itself (the footnotes, by their top).
    void sorted(std::span<const std::uint32_t> part) {
        trace_.segment_order.insert(trace_.segment_order.end(), part.begin(), part.end());
    }
    void part_end(std::uint32_t start, TracePart part) {
        part.lo = start;
        part.hi = reach();
        trace_.parts.push_back(part);
    }
    void margin_notes(std::span<const std::uint32_t> notes) {
        trace_.margin_notes.insert(trace_.margin_notes.end(), notes.begin(), notes.end());
    }
    void non_finite(std::span<const std::uint32_t> bad) { trace_.non_finite.assign(bad.begin(), bad.end()); }

    template <class Order>
    decltype(auto) engine(std::span<const std::uint32_t> part, std::uint32_t depth, Order order, std::size_t walls,
                          double scale) {
        PartRecorder recorder(trace_, part, depth, walls, scale);
        decltype(auto) positions = order(&recorder);
        recorder.check();
        return positions;
    }

private:
    std::uint32_t reach() const noexcept { return static_cast<std::uint32_t>(trace_.segment_order.size()); }

    ProfileTrace& trace_;
};

}  // namespace quorlin::engine::detail
