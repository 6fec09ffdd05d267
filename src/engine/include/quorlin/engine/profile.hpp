#pragma once
// The quality profile: geometry around the exact XY-cut that brings its
// order closer to a human reader's on real scans. It never changes the
// engine: it splits the page into parts, shrinks the boxes of each part a
// little, hands each part to the engine and puts the parts back together.
// Plain values in (boxes, page bounds, separator rules), a permutation out;
// never text, labels or ids.
//
//   1 prepare        boxes with a NaN or infinite coordinate are read last, in
//                    input order; the others are normalised (x1 <= x2, y1 <= y2)
//   2 page frame     the page bounds when finite and of positive size, else the
//                    union of the finite boxes, else (0, 0, 0, 0)
//   3 column rules   the long vertical separators (evidence of columns)
//   4 spread split   a landscape page whose central tenth no box crosses is a
//                    two-page spread: the left page is read before the right one
//   for each page:
//   5 snap to rules  a box that reaches over a column rule running alongside
//                    it by less than a quarter of its width is clipped there
//   6 tolerance      every box shrunk by tol_x of the page width on the left and
//                    right and tol_y of the page height on top and bottom, so
//                    that boxes that touch or overlap slightly leave a gap
//   7 top strip      a thin strip above the first full-width gap (running head,
//                    page number) is ordered on its own and read first
//   8 margin notes   narrow strips beside the text block are taken out ...
//   9 engine         ... the engine orders the rest on the shrunk boxes ...
//  10 merge by top   ... and each note goes before the first text box that
//                    starts below its top
//  11 check          the result holds every box exactly once (else the plain
//                    engine order of all boxes is returned)
//
// Arithmetic is double precision on the coordinates as given, comparisons are
// exact, and every sort breaks ties by input index. The shrunk boxes reach the
// engine rounded to single precision as the core rounds a Python number
// (nearest float; beyond the float range an infinity).

#include <cstdint>
#include <span>
#include <vector>

#include "quorlin/engine/observer.hpp"
#include "quorlin/engine/sorter.hpp"

namespace quorlin::engine {

// A box of the profile's input: two corners in any order, as given.
struct PageBox {
    double x1 = 0.0;
    double y1 = 0.0;
    double x2 = 0.0;
    double y2 = 0.0;
};

// The profile's parameters and step switches. Every length is a fraction of
// the page or of other boxes, never a number of pixels, so the order does not
// depend on the scan resolution. Only the first three were chosen by
// cross-validation on real pages; the others are fixed, for the reason given,
// and settable to measure that the order does not hang on them.
struct ProfileOptions {
    // Shrink on the left and right, a fraction of the width of one page (of a
    // spread's page after the split). Side-by-side regions overlap by up to
    // 0.7 % of the page width (95th percentile of real pages; 99th: 2.3 %).
    double tol_x = 0.02;
    // Shrink on top and bottom, a fraction of the page height: stacked regions
    // overlap by up to 0.3-0.7 % (95th percentile). Kept at about a third of
    // tol_x in page units, so that the bands it opens between the paragraphs
    // of one column stay narrower than the gutters between columns.
    double tol_y = 0.005;
    // A strip beside the text block holds marginal notes when it is at most
    // this fraction of the text block's width.
    double margin_max = 0.25;

    // Half-width of the window around the middle of a landscape page in which
    // the fold of a spread is looked for (a fraction of the width): the fold
    // of a scanned spread lies within 45-55 % of it.
    double spread_window = 0.05;
    // A top strip is at most this fraction of the page height tall: a line or
    // two of running head and page number.
    double top_strip_max = 0.05;
    // The text block is made of the boxes at least this fraction as wide as
    // the widest box of the page.
    double body_fraction = 0.5;
    // A separator is a column rule when it is at least this many times taller
    // than wide ...
    double rule_aspect = 3.0;
    // ... and at least this fraction of the page height long (short rules
    // belong to tables, headings and ornaments).
    double rule_min_length = 0.25;
    // A rule clips a box only where it runs alongside at least this fraction
    // of the box's height ...
    double rule_along = 0.5;
    // ... and crosses it within this fraction of its width from one edge. Below
    // 0.5, so that a box clipped from both sides never turns inside out.
    double rule_edge = 0.25;

    bool spread = true;     // step 4
    bool rules = true;      // steps 3 and 5
    bool tolerance = true;  // step 6 (and the shrink of the spread test)
    bool top_strip = true;  // step 7
    bool margins = true;    // steps 8 and 10
};

// The name of the first setting that is out of range (every value must be
// finite and at least 0, rule_edge below 0.5), or nullptr when all are valid.
const char* invalid_profile_setting(const ProfileOptions& options) noexcept;

// ---- How the order was made ------------------------------------------------
//
// The profile's own decisions and the engine's reports on every part, as
// plain values. The parts the engine orders come in reading order, and the
// engine's segmentation order of each is appended to one sequence,
// segment_order; every split and every set is a run [lo, hi) of it, as the
// engine's observer reports them, so the whole trace is linear in size.

enum class TraceKind : std::uint8_t {
    Cut,             // a cut of the engine inside a part
    OneGroup,        // the engine's chosen cut left one side empty
    NoValidCut,      // the engine found no gap in a set
    AllCrossLayout,  // the engine set every box of a part aside
    Fold,            // the profile split a spread: left page [lo, mid), right page [mid, hi)
    TopStrip,        // the profile read a top strip [lo, mid) before the rest [mid, hi) of a page
};

struct TraceEvent {
    TraceKind kind;
    CutAxis axis;     // a fold is a vertical cut, a top strip a horizontal one
    double position;  // the x or y of the cut
    double gap;       // width of the empty band it lies in
    std::uint32_t lo;
    std::uint32_t mid;
    std::uint32_t hi;
    std::uint32_t depth;  // 0 at the top; the engine's depths inside a part are shifted by the part's
    // The extent of the set the engine split, or the frame of the page a fold
    // or top strip split (left, top, right, bottom).
    PageBox bounds;
};

// One set of boxes the engine ordered: a page's top strip, or its body.
struct TracePart {
    std::uint32_t lo;  // its segmentation order is segment_order[lo, hi)
    std::uint32_t hi;
    std::uint32_t depth;
    std::uint32_t size;  // boxes handed to the engine
    bool top_strip;
    PageBox frame;  // the page (or the spread's page) it lies on
    double dx;      // the shrink of its boxes on the left and right ...
    double dy;      // ... and on top and bottom
};

struct ProfileTrace {
    std::vector<std::uint32_t> segment_order;  // input indices
    std::vector<std::uint32_t> set_aside;      // the engine's cross-layout boxes, merged back by it
    std::vector<std::uint32_t> margin_notes;   // merged back by their top
    std::vector<std::uint32_t> non_finite;     // read last, in input order
    std::vector<TraceEvent> events;            // depth first, in the order they were made
    std::vector<TracePart> parts;              // in reading order
};

// Orders the boxes of one part. The profile's default is the engine; another
// orderer may hand the part to another copy of it (one that logs, say).
class PartOrderer {
public:
    PartOrderer() = default;
    PartOrderer(const PartOrderer&) = default;
    PartOrderer& operator=(const PartOrderer&) = default;
    virtual ~PartOrderer() = default;

    // `indices`: the input indices of the part, ascending; `boxes`: their
    // shrunk boxes, in the same order; `frame`: the page they lie on. Returns
    // the reading order as positions into `boxes` (a permutation of
    // 0..boxes.size()-1), reporting to `observer` when it is given.
    virtual std::vector<std::uint32_t> order(std::span<const std::uint32_t> indices, std::span<const Box> boxes,
                                             const PageBox& frame, Observer* observer) = 0;
};

// Returns the reading order of `boxes` as a permutation of their indices.
// `page_bounds` may be null; `separators` are evidence only, never ordered,
// and those with a NaN or infinite coordinate or without height are ignored.
// Never fails on the coordinates; throws std::invalid_argument for options
// that invalid_profile_setting() refuses, std::length_error above kMaxBoxes
// boxes, std::bad_alloc when memory runs out, and whatever `orderer` throws.
// Fills `trace` (cleared first) when it is given.
std::vector<std::uint32_t> order_profile(std::span<const PageBox> boxes, const PageBox* page_bounds,
                                         std::span<const PageBox> separators, const ProfileOptions& options = {},
                                         ProfileTrace* trace = nullptr, PartOrderer* orderer = nullptr);

}  // namespace quorlin::engine
