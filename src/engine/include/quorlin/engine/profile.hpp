#pragma once
// The quality profile: geometry around the exact XY-cut that brings its
// order closer to a human reader's on real scans. It never changes the
// engine: it splits the page into parts, shrinks the boxes of each part a
// little, hands each part to the engine and puts the parts back together.
// Plain values in (boxes, page bounds, separator rules and, optionally, a
// role per box: what a detector or a file says each box is), a permutation
// out; never text or ids.
//
//   1 prepare        boxes with a NaN or infinite coordinate are read last, in
//                    input order; the others are normalised (x1 <= x2, y1 <= y2)
//   2 page frame     the page bounds when finite and of positive size, else the
//                    union of the finite boxes, else (0, 0, 0, 0)
//   3 column rules   the long vertical separators (evidence of columns)
//   4 foot line      on a landscape page, a thin strip at the foot that reaches
//                    across the middle (a slide's footer) is read after all
//   5 spread split   a landscape page whose central tenth no box crosses is a
//                    two-page spread: the left page is read before the right one
//   for each page:
//   6 snap to rules  a box that reaches over a column rule running alongside
//                    it by less than a quarter of its width is clipped there
//   7 tolerance      every box shrunk by tol_x of the page width on the left and
//                    right and tol_y of the page height, at most shrink_share
//                    of its own height, on top and bottom, so that boxes that
//                    touch or overlap slightly leave a gap; on a landscape page
//                    (a slide) a box that no other box stands beside keeps
//                    its width
//   8 roles          with roles: page furniture in the top band of the page is
//                    read first, in the bottom band last (page numbers after
//                    the rest); footnotes, marginal notes and drop capitals
//                    are taken out
//   9 top strip      a thin strip above the first full-width gap (running head,
//                    page number) is ordered on its own and read first, unless
//                    it is the first lines of columns (closer to the text under
//                    it than half its height, or two boxes level with the
//                    columns under them) or the roles gave a head
//  10 margin notes   narrow strips beside the text block are taken out ...
//  11 captions       (with roles) a caption and its figure are seen as one box
//  12 engine         ... the engine orders the rest on the shrunk boxes ...
//  13 merge by top   ... each note goes before the first text box that starts
//                    below its top, each footnote after the last box whose top
//                    is above its own, each drop capital right before the
//                    text it begins
//  14 check          the result holds every box exactly once (an invariant of
//                    the steps above; std::logic_error if it ever failed)
//
// Arithmetic is double precision on the coordinates as given, comparisons are
// exact, and every sort breaks ties by input index. The shrunk boxes reach the
// engine rounded to single precision as the core rounds a Python number
// (nearest float; beyond the float range an infinity).

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string_view>
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

// What a box is, as far as the order cares: the roles that quorlin.labels
// maps the class names of detectors and the region types of page formats to.
// A code beyond the last is read as Body.
enum class Role : std::uint8_t {
    Body,        // text, and anything unknown
    Heading,     // titles and section headings
    Header,      // running head, page header
    Footer,      // page footer, catchword, signature mark
    PageNumber,  // a page number, wherever it stands
    Footnote,
    Caption,
    Figure,      // a picture, table, chart or other float a caption belongs to
    Marginal,    // a marginal note
    Folio,       // a manuscript's folio number or quire mark: added to the page, read last wherever it stands
    Initial,     // a drop capital: the first letter of the text it begins
};
inline constexpr std::size_t kRoleCount = 11;

// The profile's parameters and step switches, with their defaults: one field
// per entry of profile_settings.inc, which gives the reason for each value.
struct ProfileOptions {
#define QUORLIN_PROFILE_NUMBER(name, value, group, below, doc) double name = value;
#define QUORLIN_PROFILE_SWITCH(name, value, doc) bool name = value;
#include "quorlin/engine/profile_settings.inc"
#undef QUORLIN_PROFILE_NUMBER
#undef QUORLIN_PROFILE_SWITCH
};

// One setting of ProfileOptions, as a table entry: what reads settings by
// name (a binding) and what checks their range loop over kProfileSettings.
struct ProfileSetting {
    enum class Kind : std::uint8_t { Number, Switch };
    enum class Group : std::uint8_t { Tuned, Fixed, Step };

    std::string_view name;
    Kind kind;
    Group group;
    double default_value;  // a switch's: 1 on, 0 off
    double below;          // a number is valid when finite, at least 0 and below this
    std::string_view doc;  // one line
    double ProfileOptions::*number;  // a number's field (null for a switch)
    bool ProfileOptions::*flag;      // a switch's field (null for a number)
};

inline constexpr double kUnbounded = std::numeric_limits<double>::infinity();

inline constexpr ProfileSetting kProfileSettings[] = {
#define QUORLIN_PROFILE_NUMBER(name, value, group, below, doc)                                                   \
    {#name, ProfileSetting::Kind::Number, ProfileSetting::Group::group, value, below, doc, &ProfileOptions::name, \
     nullptr},
#define QUORLIN_PROFILE_SWITCH(name, value, doc)                                                                   \
    {#name, ProfileSetting::Kind::Switch, ProfileSetting::Group::Step, (value) ? 1.0 : 0.0, kUnbounded, doc, nullptr, \
     &ProfileOptions::name},
#include "quorlin/engine/profile_settings.inc"
#undef QUORLIN_PROFILE_NUMBER
#undef QUORLIN_PROFILE_SWITCH
};

// The first number setting that is out of range (not finite, below 0, or not
// below its limit), or nullptr when all are valid.
const ProfileSetting* invalid_profile_setting(const ProfileOptions& options) noexcept;

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
    FootLine,        // the profile read the rest [lo, mid) before a foot line [mid, hi)
};

// What a part of the page is.
enum class PartKind : std::uint8_t {
    Body,       // the text of a page (ordered by the engine)
    TopStrip,   // its top strip
    Head,       // the page furniture of its top band (by the roles)
    Foot,       // the page furniture of its bottom band but page numbers
    Numbers,    // the page numbers of its bottom band
    Footnotes,  // its footnotes, by their top (not ordered by the engine)
    FootLine,   // the foot line of a landscape page
    Initials,   // its drop capitals, by their top (not ordered by the engine)
    Captions,   // the captions read with their figures (the engine saw each group as its figure)
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
    double dx;      // the shrink of its boxes on the left and right (at most) ...
    double dy;      // ... and on top and bottom
    PartKind kind = PartKind::Body;
};

struct ProfileTrace {
    std::vector<std::uint32_t> segment_order;  // input indices
    std::vector<std::uint32_t> set_aside;      // the engine's cross-layout boxes, merged back by it
    std::vector<std::uint32_t> margin_notes;   // merged back by their top
    std::vector<std::uint32_t> non_finite;     // read last, in input order
    std::vector<TraceEvent> events;            // depth first, in the order they were made
    std::vector<TracePart> parts;              // in reading order
};

// Returns the reading order of `boxes` as a permutation of their indices.
// `page_bounds` may be null; `separators` are evidence only, never ordered,
// and those with a NaN or infinite coordinate or without height are ignored.
// Never fails on the coordinates; throws std::invalid_argument for options
// that invalid_profile_setting() refuses, std::length_error above kMaxBoxes
// boxes and std::bad_alloc when memory runs out. Fills `trace` (cleared
// first) when it is given. Logs each of its decisions (a fold, a top strip,
// each part it hands to the engine, the margin notes, the boxes read last) on
// the target "quorlinpy" at debug level, besides the engine's own lines.
std::vector<std::uint32_t> order_profile(std::span<const PageBox> boxes, const PageBox* page_bounds,
                                         std::span<const PageBox> separators, const ProfileOptions& options = {},
                                         ProfileTrace* trace = nullptr);
// The same with a role per box (a Role as a byte; empty: none), which the
// steps of the switch `labels` read; std::invalid_argument when `roles` is
// neither empty nor as long as `boxes`.
std::vector<std::uint32_t> order_profile(std::span<const PageBox> boxes, std::span<const std::uint8_t> roles,
                                         const PageBox* page_bounds, std::span<const PageBox> separators,
                                         const ProfileOptions& options = {}, ProfileTrace* trace = nullptr);

}  // namespace quorlin::engine
