// The quality profile (see quorlin/engine/profile.hpp): the run that strings
// its steps (profile_steps.hpp, each in a file of its own here) together and
// hands each part of the page to the engine, and its log lines; what a run
// tells its tracer is in trace.hpp.
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie (see profile_steps.hpp).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "xycut/detail.hpp"
#include "profile/profile_steps.hpp"
#include "profile/trace.hpp"
#include "quorlin/engine/profile.hpp"

namespace quorlin::engine {

namespace detail {

bool is_permutation_of(std::span<const std::uint32_t> order, std::size_t n) {
    std::vector<std::uint32_t> marks;
    return is_permutation_of(order, n, marks);
}

bool is_permutation_of(std::span<const std::uint32_t> order, std::size_t n, std::vector<std::uint32_t>& marks) {
    if (order.size() != n) {
        return false;
    }
    marks.assign(n, 0U);
    for (const std::uint32_t k : order) {
        if (k >= n || marks[k] != 0) {
            return false;
        }
        marks[k] = 1U;
    }
    return true;
}

namespace {

// ---- The profile's log lines ------------------------------------------------
//
// Each decision of a run, on the package's target at debug level, as the
// run makes it: a part's line comes before the engine's lines of that part.

constexpr std::string_view kProfileTarget = "quorlinpy";
const quorlin::log::TargetGate g_profile_gate{kProfileTarget};

template <std::uint32_t Line, class... Values>
void profile_log(std::string_view format, const Values&... values) noexcept {
    static constexpr quorlin::log::Site kWhere{kProfileTarget, "quorlin::engine::profile",
                                                "src/engine/profile/profile.cpp", Line};
    quorlin::log::emit(g_profile_gate, quorlin::log::Level::Debug, kWhere, format, values...);
}

// The line of a part handed to the engine.
void log_part(PartKind kind, std::size_t size, double dx, double dy) noexcept {
    const auto n = std::uint64_t{size};
    switch (kind) {
        case PartKind::Body:
            return profile_log<__LINE__>("[profile] part: {} boxes (body), shrunk by dx={:.1}, dy={:.1}", n, dx, dy);
        case PartKind::TopStrip:
            return profile_log<__LINE__>("[profile] part: {} boxes (top strip), shrunk by dx={:.1}, dy={:.1}", n, dx,
                                         dy);
        case PartKind::Head:
            return profile_log<__LINE__>("[profile] part: {} boxes (head), shrunk by dx={:.1}, dy={:.1}", n, dx, dy);
        case PartKind::Foot:
            return profile_log<__LINE__>("[profile] part: {} boxes (foot), shrunk by dx={:.1}, dy={:.1}", n, dx, dy);
        case PartKind::Numbers:
            return profile_log<__LINE__>("[profile] part: {} boxes (page numbers), shrunk by dx={:.1}, dy={:.1}", n,
                                         dx, dy);
        case PartKind::Footnotes:
            return profile_log<__LINE__>("[profile] part: {} boxes (footnotes), shrunk by dx={:.1}, dy={:.1}", n, dx,
                                         dy);
        case PartKind::FootLine:
            return profile_log<__LINE__>("[profile] part: {} boxes (foot line), shrunk by dx={:.1}, dy={:.1}", n, dx,
                                         dy);
        case PartKind::Initials:
            return profile_log<__LINE__>("[profile] part: {} boxes (drop capitals), shrunk by dx={:.1}, dy={:.1}", n,
                                         dx, dy);
        case PartKind::Captions:
            return profile_log<__LINE__>("[profile] part: {} boxes (captions), shrunk by dx={:.1}, dy={:.1}", n, dx,
                                         dy);
    }
}

// ---- The buffers a run borrows ------------------------------------------------

// What a thread keeps from run to run (Lent), each buffer sized for the page
// at the start of a run: none of them grows during it.
struct RunBuffers {
    Table table;                  // the engine's table of the part being ordered
    Workspace engine;             // the engine's buffers, for every part
    std::vector<PageBox> shrunk;  // the boxes of a page snapped and shrunk
    std::vector<std::uint32_t> good;
    std::vector<ColumnRule> rules;
    std::vector<std::uint32_t> main;
    std::vector<std::uint32_t> body;
    std::vector<std::uint32_t> notes;
    std::vector<std::uint32_t> group;  // by input index: the figure of a caption group, or kNoGroup
    std::vector<std::uint32_t> alone;  // the body's boxes the engine sees: a caption group as its figure
    std::vector<std::uint32_t> kept;   // the captions kept with their figures, which the engine does not see
    std::vector<PageBox> walls;        // the column rules and gutters handed to the engine with the body
    Scratch scratch;
};

class BorrowedBuffers {
public:
    explicit BorrowedBuffers(std::size_t n) : lent_(n) {
        shrunk = room_for(lent_->shrunk, n);
        group = room_for(lent_->group, n);
        lent_->rules.clear();  // a run without the rules step has none
        if (n >= 2) {
            lent_->table.edges.reserve(n);
            lent_->engine.reserve(n);
        }
    }

    RunBuffers* operator->() const noexcept { return lent_.operator->(); }

    std::span<PageBox> shrunk;  // by input index
    std::span<std::uint32_t> group;  // by input index

private:
    Lent<RunBuffers> lent_;
};

// ---- The algorithm ------------------------------------------------------------

// One run of the profile on one page. Every set of boxes is a run of one
// index array, which each split partitions in place.
template <class Tracer>
class ProfileRun {
public:
    ProfileRun(std::span<const PageBox> boxes, std::span<const std::uint8_t> roles, const ProfileOptions& options,
               Tracer tracer)
        : raw_(boxes), roles_(options.labels ? roles : std::span<const std::uint8_t>{}), options_(options),
          tracer_(tracer), buffers_(boxes.size()) {}

    std::vector<std::uint32_t> run(const PageBox* page_bounds, std::span<const PageBox> separators) {
        const auto n = static_cast<std::uint32_t>(raw_.size());
        const std::span<std::uint32_t> room = room_for(buffers_->good, n);
        std::vector<std::uint32_t> bad;
        std::size_t finite = 0;
        if (all_finite(raw_)) {  // nearly every page: no box to set aside
            std::iota(room.begin(), room.end(), 0U);
            finite = n;
        } else {
            for (std::uint32_t i = 0; i < n; ++i) {
                const bool ok = is_finite(raw_[i]);
                room[finite] = i;
                finite += ok ? 1 : 0;
                if (!ok) {
                    bad.push_back(i);
                }
            }
        }
        if (!bad.empty()) {
            profile_log<__LINE__>("[profile] not finite: {} boxes, read last", std::uint64_t{bad.size()});
        }
        std::span<std::uint32_t> good = room.first(finite);
        const PageBox frame = page_frame(page_bounds, raw_, good);
        if (options_.scale) {
            scale_ = engine_scale(frame);
            if (scale_ != 1.0) {
                profile_log<__LINE__>("[profile] scale: the engine's boxes x{:.0} (the page {:.1} long), its cuts "
                                      "below in those units",
                                      scale_, std::max(frame.x2 - frame.x1, frame.y2 - frame.y1));
            }
        }
        if (options_.rules) {
            column_rules(separators, frame, options_, buffers_->rules, buffers_->scratch.indices);
        }
        separators_ = separators;
        out_.reserve(n);
        std::size_t line = 0;
        const Band foot = foot_line(good, frame, line);
        std::size_t split_line = 0;
        std::uint32_t depth = 0;
        if (line > 0) {
            profile_log<__LINE__>("[profile] foot line: {} boxes below y={:.1} (gap={:.1}), read last",
                                  std::uint64_t{line}, foot.middle, foot.width);
            split_line = tracer_.open_split(TraceKind::FootLine, foot, 0, frame);
            depth = 1;
        }
        const std::span<std::uint32_t> pages = good.subspan(line);
        std::size_t left = 0;
        const Band fold = split_spread(raw_, pages, frame, options_, buffers_->scratch, left);
        if (fold.width > 0) {
            profile_log<__LINE__>("[profile] spread: fold at x={:.1} (gap={:.1}), {} boxes left, {} right",
                                  fold.middle, fold.width, std::uint64_t{left}, std::uint64_t{pages.size() - left});
            const std::size_t split = tracer_.open_split(TraceKind::Fold, fold, depth, frame);
            order_page(pages.first(left), PageBox{frame.x1, frame.y1, fold.middle, frame.y2}, depth + 1);
            tracer_.split_middle(split);
            order_page(pages.subspan(left), PageBox{fold.middle, frame.y1, frame.x2, frame.y2}, depth + 1);
            tracer_.close_split(split);
        } else {
            order_page(pages, frame, depth);
        }
        if (line > 0) {
            tracer_.split_middle(split_line);
            const std::span<std::uint32_t> strip = good.first(line);
            const auto [dx, dy] = half_shrink(frame);
            for (const std::uint32_t k : strip) {
                buffers_.shrunk[k] = share_shrunk(normalised(raw_[k]), dx, dy, options_);
            }
            order_part(strip, frame, 1, PartKind::FootLine, dx, dy, out_);
            tracer_.close_split(split_line);
        }
        out_.insert(out_.end(), bad.begin(), bad.end());
        tracer_.non_finite(bad);
        if (!is_permutation_of(out_, n, buffers_->scratch.indices)) {
            throw std::logic_error("the quality profile's order is not a permutation of the boxes");
        }
        return std::move(out_);
    }

private:
    // The shrink of a landscape page's boxes before it is split: of one page's width.
    std::pair<double, double> half_shrink(const PageBox& frame) const noexcept {
        if (!options_.tolerance) {
            return {0.0, 0.0};
        }
        return {options_.tol_x * (frame.x2 - frame.x1) / 2, options_.tol_y * (frame.y2 - frame.y1)};
    }

    // Step 4: on a landscape page, the thin strip at its foot (found as the
    // top strip of the page turned upside down) when it reaches across the
    // middle; moved to the front of `good`, its size in `taken`.
    Band foot_line(std::span<std::uint32_t> good, const PageBox& frame, std::size_t& taken) {
        taken = 0;
        const double width = frame.x2 - frame.x1;
        const double height = frame.y2 - frame.y1;
        if (!options_.foot_line || !options_.spread || good.size() < 2 || !(width > height) || !(height > 0)) {
            return {0.0, 0.0};
        }
        const auto [dx, dy] = half_shrink(frame);
        const std::span<PageBox> tb = buffers_.shrunk;
        double top = std::numeric_limits<double>::infinity();
        for (const std::uint32_t k : good) {
            tb[k] = upside_down(share_shrunk(normalised(raw_[k]), dx, dy, options_));
            top = std::min(top, tb[k].y1);
        }
        std::size_t count = 0;
        const Band band =
            strip_at_top(tb, raw_, {}, true, good, top, upside_down(frame), options_, buffers_->scratch, count);
        if (count == 0) {
            return {0.0, 0.0};
        }
        double lo = std::numeric_limits<double>::infinity();
        double hi = -std::numeric_limits<double>::infinity();
        for (const std::uint32_t k : good.first(count)) {
            lo = std::min(lo, tb[k].x1);
            hi = std::max(hi, tb[k].x2);
        }
        const double centre = (frame.x1 + frame.x2) / 2;
        if (!(lo < centre && centre < hi)) {
            std::sort(good.begin(), good.end());
            return {0.0, 0.0};
        }
        taken = count;
        return {band.width, -band.middle};
    }

    // Whether the role's bit is set in `roles` (a bit per role, by its code).
    static bool has(unsigned roles, Role role) noexcept { return ((roles >> static_cast<unsigned>(role)) & 1U) != 0; }

    // Which part of a page a box goes to by its role (step 8).
    enum Place : std::uint8_t { kHead, kFoot, kNumbers, kFootnotes, kMarginal, kInitials, kRest, kPlaces };

    Place place_of(std::uint32_t k, const PageBox& frame) const noexcept {
        const Role role = role_of(roles_[k]);
        // Most boxes are text, headings, figures or captions, which stay with
        // the rest: one test of a bit mask for them.
        constexpr auto bit = [](Role r) { return 1U << static_cast<unsigned>(r); };
        constexpr unsigned kPlaced = bit(Role::Folio) | bit(Role::Header) | bit(Role::Footer) |
                                     bit(Role::PageNumber) | bit(Role::Footnote) | bit(Role::Marginal) |
                                     bit(Role::Initial);
        if (((kPlaced >> static_cast<unsigned>(role)) & 1U) == 0) {
            return kRest;
        }
        if (options_.furniture && role == Role::Folio) {
            return kNumbers;
        }
        if (options_.furniture && (role == Role::Header || role == Role::Footer || role == Role::PageNumber)) {
            const PageBox b = normalised(raw_[k]);
            const double middle = (b.y1 + b.y2) / 2;
            const double band = options_.furniture_band * (frame.y2 - frame.y1);
            if (middle < frame.y1 + band) {
                // A footer (a catchword, a signature mark) stands at the
                // foot; one near the top is read with the text.
                return role == Role::Footer ? kRest : kHead;
            }
            if (middle > frame.y2 - band) {
                return role == Role::PageNumber ? kNumbers : kFoot;
            }
            return kRest;
        }
        if (options_.footnotes && role == Role::Footnote) {
            const PageBox b = normalised(raw_[k]);
            const double middle = (b.y1 + b.y2) / 2;
            return middle > frame.y1 + options_.footnote_band * (frame.y2 - frame.y1) ? kFootnotes : kRest;
        }
        if (options_.margins && role == Role::Marginal) {
            return kMarginal;
        }
        if (options_.initials && role == Role::Initial) {
            return kInitials;
        }
        return kRest;
    }

    // Steps 6 to 13 on one page (one side of a spread), appended to out_.
    void order_page(std::span<std::uint32_t> set, const PageBox& frame, std::uint32_t depth) {
        if (set.empty()) {
            return;
        }
        const bool tolerant = options_.tolerance && needs_shrink(set);
        const double dx = tolerant ? options_.tol_x * (frame.x2 - frame.x1) : 0.0;
        const double dy = tolerant ? options_.tol_y * (frame.y2 - frame.y1) : 0.0;
        double top = shrink(set, tolerant, dx, dy);
        if (tolerant && frame.x2 - frame.x1 > frame.y2 - frame.y1 && std::isfinite(dy)) {
            keep_width_of_lone_rows(set);
        }
        // The roles' parts, in the order of Place, each in input order.
        std::size_t count[kPlaces] = {};
        // The roles present in `set`, a bit each: a step whose roles are
        // missing would find nothing to do.
        unsigned present = 0;
        if (!roles_.empty()) {
            // Each box's place is found once; sorting by place then keeps
            // input order within each part. When every box stays with the
            // rest, `set` already is in that order.
            Scratch& scratch = buffers_->scratch;
            const std::span<std::uint8_t> places = room_for(scratch.places, set.size());
            bool placed = false;
            for (std::size_t i = 0; i < set.size(); ++i) {
                present |= 1U << static_cast<unsigned>(role_of(roles_[set[i]]));
                places[i] = place_of(set[i], frame);
                placed = placed || places[i] != kRest;
            }
            if (placed) {
                const std::span<std::uint32_t> copy = room_for(scratch.aside, set.size());
                std::copy(set.begin(), set.end(), copy.begin());
                sort_into_buckets<std::uint8_t>(copy, places, kPlaces, scratch.ends, set);
                for (std::size_t p = 0; p < kPlaces; ++p) {
                    count[p] = scratch.ends[p] - (p > 0 ? scratch.ends[p - 1] : 0);
                }
            } else {
                count[kRest] = set.size();
            }
            if (count[kRest] < set.size()) {
                top = std::numeric_limits<double>::infinity();
                for (const std::uint32_t k : set.subspan(set.size() - count[kRest])) {
                    top = std::min(top, buffers_.shrunk[k].y1);
                }
            }
        } else {
            count[kRest] = set.size();
        }
        std::size_t at = 0;
        const auto take = [&](Place p) {
            const std::span<std::uint32_t> part = set.subspan(at, count[p]);
            at += count[p];
            return part;
        };
        const std::span<std::uint32_t> head = take(kHead);
        const std::span<std::uint32_t> foot = take(kFoot);
        const std::span<std::uint32_t> numbers = take(kNumbers);
        const std::span<std::uint32_t> footnotes = take(kFootnotes);
        const std::span<std::uint32_t> marginal = take(kMarginal);
        const std::span<std::uint32_t> initials = take(kInitials);
        const std::span<std::uint32_t> rest = take(kRest);
        if (!head.empty()) {
            profile_log<__LINE__>("[profile] head: {} boxes by their roles, read first", std::uint64_t{head.size()});
            order_part(head, frame, depth, PartKind::Head, dx, dy, out_);
        }
        const std::span<PageBox> tb = buffers_.shrunk;
        std::size_t strip = 0;
        const Band under = head.empty() && !rest.empty()
                               ? split_top_strip(tb, raw_, roles_, rest, top, frame, options_, buffers_->scratch, strip)
                               : Band{0.0, 0.0};
        std::uint32_t body_depth = depth;
        std::size_t split = 0;
        if (strip > 0) {
            profile_log<__LINE__>("[profile] top strip: {} boxes above y={:.1} (gap={:.1}), read first",
                                  std::uint64_t{strip}, under.middle, under.width);
            split = tracer_.open_split(TraceKind::TopStrip, under, depth, frame);
            order_part(rest.first(strip), frame, depth + 1, PartKind::TopStrip, dx, dy, out_);
            tracer_.split_middle(split);
            body_depth = depth + 1;
        }
        const std::span<std::uint32_t> after = rest.subspan(strip);
        const std::size_t geometric = split_margins(tb, after, roles_, options_, buffers_->scratch);
        const std::span<std::uint32_t> main = after.first(after.size() - geometric);
        std::vector<std::uint32_t>& notes = buffers_->notes;
        notes.assign(after.end() - static_cast<std::ptrdiff_t>(geometric), after.end());
        notes.insert(notes.end(), marginal.begin(), marginal.end());
        if (!notes.empty()) {
            profile_log<__LINE__>("[profile] margin notes: {} boxes, merged back by their top",
                                  std::uint64_t{notes.size()});
            tracer_.margin_notes(notes);
        }
        const bool grouped = has(present, Role::Caption) && has(present, Role::Figure) && options_.captions &&
                             group_captions(raw_, tb, main, roles_, frame, options_, buffers_.group, buffers_->scratch);
        std::vector<std::uint32_t>& ordered_main = buffers_->main;
        ordered_main.clear();
        ordered_main.reserve(main.size());
        // A caption group reaches the engine as its figure alone, standing for
        // the group's union: a copy of the union for each caption made the
        // boxes look denser than they are, and the engine then took a row
        // before a column where the two gaps were equal. The captions join
        // their figure again when the groups are put back together.
        std::span<const std::uint32_t> engine_main = main;
        std::vector<std::uint32_t>& kept = buffers_->kept;
        kept.clear();
        if (grouped) {
            std::vector<std::uint32_t>& alone = buffers_->alone;
            alone.clear();
            alone.reserve(main.size());
            for (const std::uint32_t k : main) {
                const std::uint32_t g = buffers_.group[k];
                (g == kNoGroup || g == k ? alone : kept).push_back(k);
            }
            engine_main = alone;
        }
        // The column rules as walls, for a body the engine orders (two
        // boxes or more).
        std::vector<PageBox>& walls = buffers_->walls;
        walls.clear();
        if (engine_main.size() >= 2) {
            rule_walls(buffers_->rules, tb, engine_main, frame, walls);
        }
        if (!walls.empty()) {
            profile_log<__LINE__>("[profile] column rules: {} walls among the body's boxes, which no row crosses",
                                  std::uint64_t{walls.size()});
        }
        if (options_.gutters) {  // with labels and four boxes or more: gutter_walls tests both
            const std::size_t gutters = gutter_walls(tb, engine_main, roles_, separators_, scale_,
                                                     buffers_->scratch, walls);
            if (gutters > 0) {
                profile_log<__LINE__>("[profile] gutters: {} walls down the gutters of two columns of text, which "
                                      "no row crosses",
                                      std::uint64_t{gutters});
            }
        }
        order_part(engine_main, frame, body_depth, PartKind::Body, dx, dy, ordered_main, walls);
        if (!kept.empty()) {
            log_part(PartKind::Captions, kept.size(), dx, dy);
            const std::uint32_t start = tracer_.part_start();
            tracer_.sorted(kept);
            tracer_.part_end(start, TracePart{0, 0, body_depth, static_cast<std::uint32_t>(kept.size()), false,
                                              frame, dx, dy, PartKind::Captions});
        }
        // Steps 12 and 12b: the levels where rows start, each row read after
        // the one above it.
        std::vector<double>& lines = buffers_->scratch.lines;
        lines.clear();
        if (tolerant && options_.articles && has(present, Role::Heading)) {
            article_lines(tb, raw_, main, roles_, options_, buffers_->scratch);
            if (!lines.empty()) {
                profile_log<__LINE__>("[profile] articles: {} headings spanning columns start rows, each read "
                                      "after the text above it",
                                      std::uint64_t{lines.size()});
            }
        }
        if (tolerant && options_.bands) {
            const std::size_t bands =
                row_bands(raw_, main, roles_, buffers_->rules, frame.y2 - frame.y1, options_, buffers_->scratch);
            if (bands > 0) {
                profile_log<__LINE__>("[profile] rows: {} bands clear across the boxes as given, each row read "
                                      "after the one above it",
                                      std::uint64_t{bands});
                std::sort(lines.begin(), lines.end());
            }
        }
        if (!lines.empty()) {
            rows_in_turn(ordered_main, lines, raw_, buffers_->scratch);
        }
        std::vector<std::uint32_t>& body = buffers_->body;
        body.clear();
        if (grouped) {
            // each caption after the engine's order, where regroup finds it
            // behind its figure
            ordered_main.insert(ordered_main.end(), kept.begin(), kept.end());
            regroup(ordered_main, buffers_.group, raw_, body);
        } else {
            body.swap(ordered_main);
        }
        if (!notes.empty()) {
            ordered_main.clear();
            const NotesPlaced placed =
                merge_notes(body, notes, raw_, roles_, kNoteLead * (frame.y2 - frame.y1), buffers_->scratch,
                            ordered_main);
            body.swap(ordered_main);
            if (placed.heads > 0) {
                profile_log<__LINE__>("[profile] note heads: {} read right before the region each heads",
                                      std::uint64_t{placed.heads});
            }
            if (placed.blocks > 0) {
                profile_log<__LINE__>("[profile] note blocks: {} read whole, beside their paragraphs",
                                      std::uint64_t{placed.blocks});
            }
        }
        if (!footnotes.empty()) {
            log_part(PartKind::Footnotes, footnotes.size(), dx, dy);
            const std::uint32_t start = tracer_.part_start();
            insert_footnotes(body, footnotes, raw_, buffers_->scratch);
            tracer_.sorted(footnotes);
            tracer_.part_end(start, TracePart{0, 0, body_depth, static_cast<std::uint32_t>(footnotes.size()), false,
                                              frame, dx, dy, PartKind::Footnotes});
        }
        if (!initials.empty()) {
            log_part(PartKind::Initials, initials.size(), dx, dy);
            const std::uint32_t start = tracer_.part_start();
            place_initials(body, initials, raw_, roles_, buffers_->scratch, ordered_main);
            tracer_.sorted(initials);
            tracer_.part_end(start, TracePart{0, 0, body_depth, static_cast<std::uint32_t>(initials.size()), false,
                                              frame, dx, dy, PartKind::Initials});
        }
        out_.insert(out_.end(), body.begin(), body.end());
        if (strip > 0) {
            tracer_.close_split(split);
        }
        if (!foot.empty() || !numbers.empty()) {
            profile_log<__LINE__>("[profile] foot: {} boxes by their roles, read last",
                                  std::uint64_t{foot.size() + numbers.size()});
        }
        order_part(foot, frame, depth, PartKind::Foot, dx, dy, out_);
        order_part(numbers, frame, depth, PartKind::Numbers, dx, dy, out_);
    }

    // Steps 6 and 7: the boxes of `set` normalised, snapped to the column
    // rules and shrunk, into the shrunk buffer; returns the least top of them
    // (for the top strip: snapping moves only their left and right edges).
    // Step 7's evidence: whether the page's boxes need the shrink. Boxes set
    // by a typesetter never overlap and stand flush (many share their left
    // edge exactly); there the shrink would only widen the gutters against
    // the gaps between rows (a newspaper's articles read column by column
    // across the page). Boxes drawn around print or found by a detector
    // overlap, or have ragged edges. So the boxes are shrunk when more than
    // overlap_share of them overlap another, or fewer than aligned_share of
    // them share their left edge with another.
    bool needs_shrink(std::span<const std::uint32_t> set) {
        const double n = static_cast<double>(set.size());
        if (static_cast<double>(flush_boxes(raw_, set, buffers_->scratch)) < options_.aligned_share * n) {
            return true;  // ragged edges: most scanned pages, found without the sweep
        }
        const double limit = options_.overlap_share * n;
        const std::size_t enough = limit < n ? static_cast<std::size_t>(limit) : set.size();
        return overlapping_boxes(raw_, set, enough, buffers_->scratch) > enough;
    }

    double shrink(std::span<const std::uint32_t> set, bool tolerant, double dx, double dy) {
        // One loop for each case, so that no box chooses between them.
        if (tolerant) {
            return shrink_each(set, [&](const PageBox& b) { return share_shrunk(b, dx, dy, options_); });
        }
        return shrink_each(set, [](const PageBox& b) { return b; });
    }

    template <class Shrunk>
    double shrink_each(std::span<const std::uint32_t> set, Shrunk shrunk) {
        const std::span<PageBox> tb = buffers_.shrunk;
        double top = shrunk(normalised(raw_[set.front()])).y1;
        const std::vector<ColumnRule>& rule_list = buffers_->rules;
        if (rule_list.empty()) {
            for (const std::uint32_t k : set) {
                tb[k] = shrunk(normalised(raw_[k]));
                top = std::min(top, tb[k].y1);
            }
            return top;
        }
        // Every box shrunk as it is; the boxes a rule runs inside (which ones
        // follows the page: collected without a branch on each) snapped to the
        // rules, and shrunk again.
        const std::span<const ColumnRule> rules(rule_list);
        const std::span<std::uint32_t> crossed = room_for(buffers_->scratch.indices, set.size());
        const std::span<std::uint32_t> first_right = room_for(buffers_->scratch.aside, set.size());
        std::size_t count = 0;
        for (const std::uint32_t k : set) {
            const PageBox b = normalised(raw_[k]);
            const std::size_t right = first_rule_right_of(rules, b.x1);
            crossed[count] = k;
            first_right[count] = static_cast<std::uint32_t>(right);
            const bool inside = rules[std::min(right, rules.size() - 1)].c < b.x2;
            count += static_cast<std::size_t>(right < rules.size()) & static_cast<std::size_t>(inside);
            tb[k] = shrunk(b);
            top = std::min(top, tb[k].y1);
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t k = crossed[i];
            tb[k] = shrunk(snap_to_rules_right_of(normalised(raw_[k]), rules.subspan(first_right[i]), options_));
        }
        return top;
    }

    // Step 7b: on a landscape page (a slide), each box that no other box
    // stands beside (after the shrink of their heights) keeps its width: the
    // shrink of its sides would only open a gap beside it, which the engine
    // would take before the band above or below it.
    void keep_width_of_lone_rows(std::span<const std::uint32_t> set) {
        const std::span<PageBox> tb = buffers_.shrunk;
        const std::vector<ColumnRule>& rules = buffers_->rules;
        for (const std::uint32_t k : lone_rows(tb, set, buffers_->scratch)) {
            const PageBox b = rules.empty() ? normalised(raw_[k]) : snap_to_rules(normalised(raw_[k]), rules, options_);
            tb[k].x1 = b.x1;
            tb[k].x2 = b.x2;
        }
    }

    // Step 12: the engine on one set of the shrunk boxes, its order appended to `out`.
    void order_part(std::span<const std::uint32_t> part, const PageBox& frame, std::uint32_t depth, PartKind kind,
                    double dx, double dy, std::vector<std::uint32_t>& out, std::span<const PageBox> walls = {}) {
        if (part.empty()) {
            return;
        }
        log_part(kind, part.size(), dx, dy);
        const std::uint32_t start = tracer_.part_start();
        if (part.size() < 2) {
            out.push_back(part.front());
            tracer_.single(part.front());
        } else {
            // The engine's table is built straight from the shrunk boxes,
            // rounded as they go in: no array of the rounded boxes between.
            Table& table = buffers_->table;
            const std::span<const PageBox> tb = buffers_.shrunk;
            const double s = scale_;
            build_table(table, part.size() + walls.size(), [&](std::size_t i) {
                const PageBox& b = i < part.size() ? tb[part[i]] : walls[i - part.size()];
                return round_to_single(PageBox{b.x1 * s, b.y1 * s, b.x2 * s, b.y2 * s});
            });
            append_part(part,
                        tracer_.engine(part, depth,
                                       [&](Observer* observer) -> const std::vector<std::uint32_t>& {
                                           return order_table(table, reference_width(table), observer,
                                                              buffers_->engine);
                                       },
                                       walls.size(), scale_),
                        out, walls.size());
        }
        tracer_.part_end(start, TracePart{0, 0, depth, static_cast<std::uint32_t>(part.size()),
                                          kind == PartKind::TopStrip, frame, dx, dy, kind});
    }

    std::span<const PageBox> raw_;
    std::span<const std::uint8_t> roles_;  // empty without roles or with the labels step off
    const ProfileOptions& options_;
    Tracer tracer_;
    BorrowedBuffers buffers_;
    std::vector<std::uint32_t> out_;
    double scale_ = 1.0;  // what the engine's boxes are multiplied by (engine_scale)
    std::span<const PageBox> separators_;  // as given, for the gutters
};

}  // namespace
}  // namespace detail

const ProfileSetting* invalid_profile_setting(const ProfileOptions& options) noexcept {
    // Every number checked in place, without the table's indirection (a
    // call checks them all, and nearly every call passes): the loop below
    // only finds which one failed.
    bool valid = true;
#define QUORLIN_PROFILE_NUMBER(name, value, group, below, doc) \
    valid = valid && std::isfinite(options.name) && options.name >= 0.0 && options.name < (below);
#define QUORLIN_PROFILE_SWITCH(name, value, doc)
#include "quorlin/engine/profile_settings.inc"
#undef QUORLIN_PROFILE_NUMBER
#undef QUORLIN_PROFILE_SWITCH
    if (valid) {
        return nullptr;
    }
    for (const ProfileSetting& setting : kProfileSettings) {
        if (setting.kind != ProfileSetting::Kind::Number) {
            continue;
        }
        const double value = options.*setting.number;
        if (!std::isfinite(value) || !(value >= 0.0) || !(value < setting.below)) {
            return &setting;
        }
    }
    return nullptr;
}

std::vector<std::uint32_t> order_profile(std::span<const PageBox> boxes, const PageBox* page_bounds,
                                         std::span<const PageBox> separators, const ProfileOptions& options,
                                         ProfileTrace* trace) {
    return order_profile(boxes, {}, page_bounds, separators, options, trace);
}

std::vector<std::uint32_t> order_profile(std::span<const PageBox> boxes, std::span<const std::uint8_t> roles,
                                         const PageBox* page_bounds, std::span<const PageBox> separators,
                                         const ProfileOptions& options, ProfileTrace* trace) {
    if (const ProfileSetting* setting = invalid_profile_setting(options)) {
        throw std::invalid_argument("profile setting out of range: " + std::string(setting->name));
    }
    if (boxes.size() > kMaxBoxes) {
        throw std::length_error("more boxes than the engine can index");
    }
    if (!roles.empty() && roles.size() != boxes.size()) {
        throw std::invalid_argument("roles: not one per box");
    }
    if (trace == nullptr) {
        return detail::ProfileRun<detail::NoTrace>(boxes, roles, options, detail::NoTrace{})
            .run(page_bounds, separators);
    }
    *trace = {};
    return detail::ProfileRun<detail::Tracing>(boxes, roles, options, detail::Tracing(*trace))
        .run(page_bounds, separators);
}

}  // namespace quorlin::engine
