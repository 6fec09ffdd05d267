#pragma once
// Internals of the ordering engine: exact single-precision helpers, the three
// element orderings and the stages of the pipeline. Not part of the public API;
// the engine's tests include it to exercise each stage on its own.

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "log_sites.hpp"
#include "quorlin/engine/observer.hpp"
#include "quorlin/engine/record.hpp"
#include "quorlin/engine/sorter.hpp"

namespace quorlin::engine::detail {

// ---- Exact single-precision helpers --------------------------------------

// Maps a float to an unsigned key whose natural order is the IEEE 754
// totalOrder: negative NaNs, -inf, negatives, -0.0, +0.0, positives, +inf,
// positive NaNs. Equal keys mean identical bit patterns.
inline std::uint32_t total_order_key(float value) noexcept {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    return (bits & 0x80000000U) != 0 ? ~bits : (bits | 0x80000000U);
}

// IEEE 754 minNum: a NaN operand is ignored, two NaNs give the first one
// (sign and payload kept), and -0.0 counts as less than +0.0. The C library's
// fmin/fmax promise neither of the last two. Between two numbers the total
// order is the numeric order with -0.0 below +0.0, so one integer compare
// decides, without data-dependent branches.
inline float min_num(float a, float b) noexcept {
    if (std::isnan(b)) {
        return a;
    }
    if (std::isnan(a)) {
        return b;
    }
    return total_order_key(b) < total_order_key(a) ? b : a;
}

// IEEE 754 maxNum, with +0.0 counted as greater than -0.0.
inline float max_num(float a, float b) noexcept {
    if (std::isnan(b)) {
        return a;
    }
    if (std::isnan(a)) {
        return b;
    }
    return total_order_key(a) < total_order_key(b) ? b : a;
}

// Two keys compared lexicographically, packed so one integer compare does it.
inline std::uint64_t key_pair(float first, float second) noexcept {
    return (std::uint64_t{total_order_key(first)} << 32) | total_order_key(second);
}

// The normalised extents of a record with its width and height (the form
// the tests and the plain transcriptions of the algorithm read).
struct Extents {
    float left;
    float right;
    float top;
    float bottom;
    float width;   // max(0, right - left); a NaN difference gives 0
    float height;  // max(0, bottom - top)
};

inline Extents extents_of(const ElementRecord& r) noexcept {
    Extents e{};
    e.left = min_num(r.x1, r.x2);
    e.right = max_num(r.x1, r.x2);
    e.top = min_num(r.y1, r.y2);
    e.bottom = max_num(r.y1, r.y2);
    e.width = max_num(0.0F, e.right - e.left);
    e.height = max_num(0.0F, e.bottom - e.top);
    return e;
}

// ---- The table of boxes ---------------------------------------------------
//
// Every stage reads a box through its normalised extents, and the partition
// of the segmentation through the centres of its raw corners. The table holds
// only the extents, 16 bytes per box; a centre is recomputed from them, which
// gives exactly the raw centre: min and max of two numbers are those two
// numbers, and single-precision addition is commutative. The one case where
// the extents lose what the centre needs is a pair of coordinates with
// exactly one NaN: its extents are the other coordinate twice, its raw centre
// NaN. A flag per box and axis keeps that, allocated only when some box needs
// it.

struct Edges {
    float left;
    float top;
    float right;
    float bottom;
};

inline float width_of(const Edges& e) noexcept { return max_num(0.0F, e.right - e.left); }
inline float height_of(const Edges& e) noexcept { return max_num(0.0F, e.bottom - e.top); }

inline constexpr std::uint8_t kLoneNanX = 1;
inline constexpr std::uint8_t kLoneNanY = 2;

struct Table {
    std::vector<Edges> edges;
    std::vector<std::uint8_t> lone_nan;  // kLoneNanX | kLoneNanY per box; empty when no box has one
    bool regular = true;                 // every coordinate finite and below 2^26 in magnitude

    std::size_t size() const noexcept { return edges.size(); }
    // The centre of box i's raw corners along x ((x1 + x2) * 0.5) or y.
    float centre_x(std::uint32_t i) const noexcept;
    float centre_y(std::uint32_t i) const noexcept;
};

// The table of boxes given by their corners; throws std::length_error above
// kMaxBoxes boxes.
Table table_of(std::span<const Box> boxes);
Table table_of(std::span<const ElementRecord> records);

[[noreturn]] void throw_too_many_boxes();

// Coordinates inside which a cut provably splits a set exactly at its gap:
// every box swept before the gap has its centre below the cut, every box
// after it its centre above (sums of two such floats are exact enough, and a
// gap is at least 5 wide).
inline constexpr float kRegularLimit = 67108864.0F;  // 2^26

inline bool regular_pair(float a, float b) noexcept {
    return std::fabs(a) < kRegularLimit && std::fabs(b) < kRegularLimit;
}

inline std::uint8_t lone_nan_flags(float x1, float y1, float x2, float y2) noexcept {
    const auto x = static_cast<std::uint8_t>(std::isnan(x1) != std::isnan(x2) ? kLoneNanX : 0);
    const auto y = static_cast<std::uint8_t>(std::isnan(y1) != std::isnan(y2) ? kLoneNanY : 0);
    return static_cast<std::uint8_t>(x | y);
}

// table_of() for `count` boxes whose corners corners(i) gives (anything with
// float members x1, y1, x2, y2), built into `table`, whose space is reused:
// a caller that makes its boxes on the fly needs no array of them.
template <class CornersAt>
void build_table(Table& table, std::size_t count, CornersAt corners) {
    if (count > kMaxBoxes) {
        throw_too_many_boxes();
    }
    table.edges.resize(count);
    table.lone_nan.clear();
    table.regular = true;
    for (std::size_t i = 0; i < count; ++i) {
        const auto& b = corners(i);
        const float x1 = b.x1;
        const float y1 = b.y1;
        const float x2 = b.x2;
        const float y2 = b.y2;
        // Corners in order and apart (so no NaN and no zeros of two signs)
        // are their own extents: most boxes.
        table.edges[i] = x1 < x2 && y1 < y2 ? Edges{x1, y1, x2, y2}
                                            : Edges{min_num(x1, x2), min_num(y1, y2), max_num(x1, x2), max_num(y1, y2)};
        table.regular = table.regular && regular_pair(x1, x2) && regular_pair(y1, y2);
    }
    if (table.regular) {
        return;  // no NaN anywhere, so no flag to keep
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto& b = corners(i);
        const std::uint8_t flags = lone_nan_flags(b.x1, b.y1, b.x2, b.y2);
        if (flags != 0) {
            if (table.lone_nan.empty()) {
                table.lone_nan.resize(count);
            }
            table.lone_nan[i] = flags;
        }
    }
}

// ---- Orderings -------------------------------------------------------------
//
// The engine sorts in exactly three ways, each a stable sort on two keys of
// the normalised extents compared by totalOrder: y-then-x order (top, left),
// vertical extent order (top, bottom) and horizontal extent order (left,
// right). All three use one keyed sort: a box's two keys, packed by
// key_pair, sit above its index in one 128-bit integer, so that comparing the
// integers compares (first key, second key, index). The integers are then
// distinct, and an unstable sort with a single branch-free comparison gives
// the one stable order. The sort keys live only as long as one sort.

__extension__ using KeyedIndex = unsigned __int128;

inline KeyedIndex keyed_index(std::uint64_t key, std::uint32_t index) noexcept {
    return (static_cast<KeyedIndex>(key) << 32) | index;
}
inline std::uint32_t index_of(KeyedIndex keyed) noexcept { return static_cast<std::uint32_t>(keyed); }

// Sorts ascending: short runs (every leaf of the segmentation, small pages)
// by insertion, longer ones by std::sort.
void sort_keyed(std::span<KeyedIndex> keyed) noexcept;

// The keys of the three orderings (function objects over Extents or Edges, so
// that a sort instantiated with one inlines it).
inline constexpr auto y_then_x_key = [](const auto& e) noexcept { return key_pair(e.top, e.left); };
inline constexpr auto vertical_extent_key = [](const auto& e) noexcept { return key_pair(e.top, e.bottom); };
inline constexpr auto horizontal_extent_key = [](const auto& e) noexcept { return key_pair(e.left, e.right); };

// Reorders `order`, indices into `extents`, by the key of each index's
// extents; equal keys keep ascending index, that is input order. `scratch`
// has room for order.size() keyed indices.
template <class Extent, class KeyOf>
void sort_positions(std::span<std::uint32_t> order, std::span<const Extent> extents, KeyOf key_of,
                    std::span<KeyedIndex> scratch) noexcept {
    for (std::size_t i = 0; i < order.size(); ++i) {
        scratch[i] = keyed_index(key_of(extents[order[i]]), order[i]);
    }
    sort_keyed(scratch.first(order.size()));
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = index_of(scratch[i]);
    }
}
template <class Extent, class KeyOf>
void sort_positions(std::span<std::uint32_t> order, const std::vector<Extent>& extents, KeyOf key_of,
                    std::span<KeyedIndex> scratch) noexcept {
    sort_positions(order, std::span<const Extent>(extents), key_of, scratch);
}

// Puts indices into the table in y-then-x order, with sort keys of its own
// or in `keyed` (grown to fit).
void sort_y_then_x(std::span<std::uint32_t> indices, const Table& table);
void sort_y_then_x(std::span<std::uint32_t> indices, const Table& table, std::vector<KeyedIndex>& keyed);

// The records in y-then-x order, the engine's fallback reading order: a new
// sequence of copies.
std::vector<ElementRecord> y_then_x(std::span<const ElementRecord> records);

// `buffer` with room for at least n entries (its contents are not kept).
template <class T>
std::span<T> room_for(std::vector<T>& buffer, std::size_t n) {
    if (buffer.size() < n) {
        buffer.resize(n);
    }
    return std::span<T>(buffer).first(n);
}

// Frees the memory of a vector (assigning {} would keep it).
template <class T>
void release(std::vector<T>& buffer) noexcept {
    std::vector<T>().swap(buffer);
}

// ---- Space reused from call to call ----------------------------------------
//
// The buffers of one run of the pipeline. A caller that orders many tables in
// a row (the quality profile orders each part of a page) keeps one and hands
// it to every call, so that they are allocated once; each buffer only grows.
// Buffers for more than kKeptBuffers elements are released as soon as they
// are done with, as a single call releases them, so that a large page needs
// no more memory than it did.

inline constexpr std::size_t kKeptBuffers = 4096;

struct SegmentRange {
    std::uint32_t lo;
    std::uint32_t hi;
    std::uint32_t depth;
};

struct Workspace {
    std::vector<std::uint32_t> main;          // the main elements; the segmentation leaves their order here
    std::vector<std::uint32_t> cross_layout;  // the cross-layout elements
    std::vector<std::uint32_t> merged;        // both merged, when there are cross-layout elements
    std::vector<std::uint8_t> cross;          // per element: set aside or not
    std::vector<std::uint32_t> by_h;          // the segmentation's horizontal extent order
    std::vector<std::uint32_t> scratch;
    std::vector<std::uint32_t> mark;
    std::vector<KeyedIndex> keyed;
    std::vector<SegmentRange> work;

    // Room for the tables of up to n elements, allocated now (up to
    // kKeptBuffers elements; a larger table allocates as it goes).
    void reserve(std::size_t n);
};

// The buffers one thread keeps from call to call, for calls on pages of up
// to this many elements: a page of a few dozen boxes then costs no
// allocation beyond its result, and a thread keeps a quarter of a megabyte
// at most.
inline constexpr std::size_t kKeptPage = 1024;

// Lends this thread's kept T to one call on up to kKeptPage elements, and
// keeps it again afterwards; a larger call, or one made while this thread's
// T is lent (from inside another, through a callback), gets a T of its own,
// which goes with it.
template <class T>
class Lent {
public:
    explicit Lent(std::size_t elements) : keep_(elements <= kKeptPage) {
        std::unique_ptr<T>& kept = slot();
        value_ = keep_ && kept != nullptr ? std::move(kept) : std::make_unique<T>();
    }
    ~Lent() {
        if (keep_) {
            slot() = std::move(value_);
        }
    }
    Lent(const Lent&) = delete;
    Lent& operator=(const Lent&) = delete;
    Lent(Lent&&) = delete;
    Lent& operator=(Lent&&) = delete;

    T& operator*() const noexcept { return *value_; }
    T* operator->() const noexcept { return value_.get(); }

private:
    static std::unique_ptr<T>& slot() noexcept {
        thread_local std::unique_ptr<T> kept;
        return kept;
    }

    std::unique_ptr<T> value_;
    bool keep_;
};

// What order_boxes() keeps: the table and the pipeline's buffers.
struct EngineBuffers {
    Table table;
    Workspace workspace;
};

// ---- Segmentation ----------------------------------------------------------

// Puts the main elements (indices into the table, ascending) into reading
// order by recursive XY-cut. Depth-first order of results, log lines and
// observer reports, without recursion on the C++ stack. Returns the indices
// in reading order.
std::vector<std::uint32_t> segment(const Table& table, std::vector<std::uint32_t>&& main,
                                   bool prefer_horizontal_first, Observer* observer);
// The same on workspace.main (not empty), which is left in reading order.
void segment(const Table& table, bool prefer_horizontal_first, Observer* observer, Workspace& workspace);

// The segmentation of records in input order (the tests' entry).
std::vector<ElementRecord> segment(std::span<const ElementRecord> records, bool prefer_horizontal_first);

// ---- Pipeline and merge ----------------------------------------------------

// Merges the cross-layout elements (indices, ascending) into the ordered main
// sequence by their top. Both must be non-empty.
std::vector<std::uint32_t> merge_cross_layout(const Table& table, std::span<const std::uint32_t> ordered_main,
                                              std::vector<std::uint32_t>&& cross_layout);

// The same on records: the ordered main records and the cross-layout records
// in input order (the tests' entry).
std::vector<ElementRecord> merge_cross_layout(std::span<const ElementRecord> ordered_main,
                                              std::span<const ElementRecord> cross_layout);

// The reference width of the cross-layout width gate: the greatest width.
float reference_width(const Table& table) noexcept;

// The pipeline on a table, with the reference width of the cross-layout width
// gate as a parameter: order_boxes() passes reference_width(table), and other
// values let the tests and the fuzz harness reach the masking, the merge and
// the all-cross-layout fallback on small pages.
std::vector<std::uint32_t> order_table(const Table& table, float reference, Observer* observer);
// The same in the buffers of `workspace`: the order is one of them, valid
// until the workspace is used again.
std::vector<std::uint32_t>& order_table(const Table& table, float reference, Observer* observer,
                                        Workspace& workspace);

// The pipeline on records, with a given reference width (the tests' entry).
std::vector<ElementRecord> order_records(std::span<const ElementRecord> records, float reference);

}  // namespace quorlin::engine::detail
