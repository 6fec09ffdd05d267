#pragma once
// What the engine can report about one ordering, besides its log lines: the
// set-aside (cross-layout) elements, every cut of the segmentation and every
// set that fell back to y-then-x order, as plain values.
//
// Every set the segmentation meets is a contiguous range of its output order
// (the main elements in reading order, before the set-aside elements are
// merged back), so a set is reported as positions [lo, hi) in that order and
// a cut as [lo, mid) and [mid, hi): each report is O(1), whatever the size of
// the set. The output order itself is reported once, when the segmentation
// ends.
//
// Events come in the order of the engine's log lines, each at the place where
// its line is emitted, whether or not that line is enabled. Without an
// observer the engine pays one pointer test per event.

#include <cstdint>
#include <span>

namespace quorlin::engine {

enum class CutAxis : std::uint8_t {
    Horizontal,  // a cut at some y, between rows
    Vertical,    // a cut at some x, between columns
};

// For observers that keep what they are told: runs `keep` (which may
// allocate) inside a noexcept observer call; a failure sets `failed`, which
// the observer reports once the engine is done.
template <class Keep>
void keep_report(bool& failed, Keep keep) noexcept {
    try {
        keep();
    } catch (...) {
        failed = true;
    }
}

// The extent of a set: least left and top, greatest right and bottom (NaN
// coordinates ignored; NaN where every box of the set has them).
struct Bounds {
    float left;
    float top;
    float right;
    float bottom;
};

struct CutReport {
    CutAxis axis;
    float position;  // the y of a horizontal cut, the x of a vertical cut
    float gap;       // width of the empty band the cut lies in
    // The set is [lo, hi) of the segmentation's output order; its first group
    // [lo, mid), its second group [mid, hi). For a cut that produced one
    // group, mid is lo or hi.
    std::uint32_t lo;
    std::uint32_t mid;
    std::uint32_t hi;
    std::uint32_t depth;  // 0 for the set of all main elements
    Bounds bounds;
};

// A set without a usable cut, read in y-then-x order.
struct FallbackReport {
    std::uint32_t lo;
    std::uint32_t hi;
    std::uint32_t depth;
    Bounds bounds;
};

class Observer {
public:
    Observer() = default;
    Observer(const Observer&) = default;
    Observer& operator=(const Observer&) = default;
    virtual ~Observer() = default;

    // The cross-layout elements, ascending input indices; once per page of at
    // least two elements, after the detection (empty when there are none).
    virtual void set_aside(std::span<const std::uint32_t> /*indices*/) noexcept {}
    // Every element was cross-layout: the page is read in y-then-x order and
    // nothing else is reported.
    virtual void all_cross_layout() noexcept {}
    // A cut that split its set into two groups.
    virtual void cut(const CutReport& /*cut*/) noexcept {}
    // A set in which no gap qualified.
    virtual void no_valid_cut(const FallbackReport& /*set*/) noexcept {}
    // A chosen cut that left one side empty; the set fell back.
    virtual void one_group(const CutReport& /*cut*/) noexcept {}
    // The segmentation's output order (input indices of the main elements),
    // which the positions of every report above refer to.
    virtual void segmented(std::span<const std::uint32_t> /*order*/) noexcept {}
};

}  // namespace quorlin::engine
