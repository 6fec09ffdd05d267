// Step 12: walls down the gutter of two columns of text, so that the engine
// does not read them row by row where their gaps happen to line up.
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie (see profile_steps.hpp).

#include "profile/profile_steps.hpp"

namespace quorlin::engine::detail {

namespace {

// Whether the stretch of `run` (the boxes beside the line x of a pair, less
// the headings at its foot; each marked `mark` in `in_run`, by input index)
// is two columns of text, as gutter_walls says; sets `wall` when it is.
bool two_columns(std::span<const PageBox> tb, std::span<const std::uint32_t> set, std::span<const std::uint32_t> run,
                 std::span<const std::uint32_t> in_run, std::uint32_t mark, std::span<const std::uint8_t> roles,
                 double x, double scale, PageBox& wall) {
    struct Side {
        std::size_t boxes = 0;
        std::size_t body = 0;
        double x1 = std::numeric_limits<double>::infinity();
        double x2 = -std::numeric_limits<double>::infinity();
        std::uint32_t widest = 0;
        double widest_width = -1.0;
    };
    Side sides[2];
    double top = std::numeric_limits<double>::infinity();
    double bottom = -std::numeric_limits<double>::infinity();
    for (const std::uint32_t k : run) {
        const PageBox& b = tb[k];
        Side& side = sides[b.x2 <= x ? 0 : 1];
        ++side.boxes;
        side.body += role_of(roles[k]) == Role::Body ? 1 : 0;
        side.x1 = std::min(side.x1, b.x1);
        side.x2 = std::max(side.x2, b.x2);
        if (b.x2 - b.x1 > side.widest_width) {
            side.widest_width = b.x2 - b.x1;
            side.widest = k;
        }
        top = std::min(top, b.y1);
        bottom = std::max(bottom, b.y2);
    }
    if (sides[0].body < kGutterBody || sides[1].body < kGutterBody) {
        return false;
    }
    // The gutter: from the right edge of the left side to the left edge of
    // the right side.
    const double gl = sides[0].x2;
    const double gr = sides[1].x1;
    if (!((gr - gl) * scale >= kGutterLeast)) {
        return false;
    }
    const double widths[2] = {gl - sides[0].x1, sides[1].x2 - gr};
    if (!(std::min(widths[0], widths[1]) >= kGutterLike * std::max(widths[0], widths[1]))) {
        return false;
    }
    std::size_t full[2] = {0, 0};
    for (const std::uint32_t k : run) {
        const PageBox& b = tb[k];
        const int s = b.x2 <= x ? 0 : 1;
        const PageBox& w = tb[sides[s].widest];
        if (!(std::min(b.x2, w.x2) > std::max(b.x1, w.x1))) {
            return false;  // beside the column, not in it
        }
        full[s] += b.x2 - b.x1 >= kGutterFull * widths[s] ? 1 : 0;
    }
    for (int s = 0; s < 2; ++s) {
        if (static_cast<double>(full[s]) < kGutterFullShare * static_cast<double>(sides[s].boxes)) {
            return false;
        }
    }
    // Every other box of the set clear of the stretch by the band.
    const double band = kGutterBand / scale;
    for (const std::uint32_t k : set) {
        const PageBox& b = tb[k];
        if (in_run[k] != mark && !(b.y2 <= top - band || b.y1 >= bottom + band)) {
            return false;
        }
    }
    wall = PageBox{(gl + gr) / 2, top, (gl + gr) / 2, bottom};
    return true;
}

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

}  // namespace

std::size_t gutter_walls(std::span<const PageBox> tb, std::span<const std::uint32_t> set,
                         std::span<const std::uint8_t> roles, std::span<const PageBox> separators, double scale,
                         Scratch& scratch, std::vector<PageBox>& walls) {
    if (set.size() < 4 || set.size() > kGutterBoxes || roles.empty()) {
        return 0;
    }
    // Two columns of text: the median width of the body boxes (the one at
    // index n / 2 of their n widths sorted) within kGutterColumn of the
    // width of all. Counted rather than sorted: it is at least `low` when at
    // most n / 2 widths are below it, and at most `high` when at most
    // n - 1 - n / 2 are above it.
    std::size_t body = 0;
    double least = tb[set.front()].x1;
    double most = tb[set.front()].x2;
    for (const std::uint32_t k : set) {
        least = std::min(least, tb[k].x1);
        most = std::max(most, tb[k].x2);
        body += role_of(roles[k]) == Role::Body ? 1 : 0;
    }
    if (body < 2 * kGutterBody) {
        return 0;
    }
    const double low = kGutterColumn[0] * (most - least);
    const double high = kGutterColumn[1] * (most - least);
    std::size_t below = 0;
    std::size_t above = 0;
    for (const std::uint32_t k : set) {
        if (role_of(roles[k]) == Role::Body) {
            const double width = tb[k].x2 - tb[k].x1;
            below += width < low ? 1 : 0;
            above += width > high ? 1 : 0;
        }
    }
    if (below > body / 2 || above > body - 1 - body / 2) {
        return 0;
    }
    std::vector<PageBox>& crossings = scratch.crossings;
    cross_rules(separators, crossings);
    std::vector<std::pair<double, std::uint32_t>>& by_top = scratch.by_top;
    by_top.clear();
    for (const std::uint32_t k : set) {
        by_top.emplace_back(tb[k].y1, k);
    }
    std::sort(by_top.begin(), by_top.end());
    scratch.tried.assign(tb.size(), 0U);
    std::vector<std::uint32_t>& run = scratch.stretch;
    // Each stretch tried as a box: the gutter its boxes leave around the
    // line (x1 the right edge of those left of it, x2 the left edge of those
    // right of it) and its extent along the line (y1, y2).
    std::vector<PageBox>& tried = scratch.stretches;
    tried.clear();
    const std::size_t first = walls.size();
    std::uint32_t mark = 0;
    const auto try_pair = [&](std::uint32_t a, std::uint32_t b) {
        const PageBox& A = tb[a];
        const PageBox& B = tb[b];
        const double x = (A.x2 + B.x1) / 2;
        const double mid = (std::max(A.y1, B.y1) + std::min(A.y2, B.y2)) / 2;
        for (const PageBox& t : tried) {
            if (t.x1 <= x && x <= t.x2 && t.y1 < mid && mid < t.y2) {
                return;  // the gutter of a stretch tried
            }
        }
        double lo = -std::numeric_limits<double>::infinity();
        double hi = std::numeric_limits<double>::infinity();
        const auto bound = [&](double c1, double c2) {
            if (c2 <= mid) {
                lo = std::max(lo, c2);
            } else if (c1 >= mid) {
                hi = std::min(hi, c1);
            } else {
                return false;  // a box or rule across the line beside the pair
            }
            return true;
        };
        for (const std::uint32_t k : set) {
            if (tb[k].x1 < x && x < tb[k].x2 && !bound(tb[k].y1, tb[k].y2)) {
                return;
            }
        }
        for (const PageBox& r : crossings) {
            if (r.x1 < x && x < r.x2 && !bound(r.y1, r.y2)) {
                return;
            }
        }
        run.clear();
        ++mark;
        PageBox stretch{-std::numeric_limits<double>::infinity(), lo, std::numeric_limits<double>::infinity(), hi};
        for (const std::uint32_t k : set) {
            const PageBox& c = tb[k];
            if (!(c.x1 < x && x < c.x2) && std::min(hi, c.y2) > std::max(lo, c.y1)) {
                run.push_back(k);
                scratch.tried[k] = mark;
                if (c.x2 <= x) {
                    stretch.x1 = std::max(stretch.x1, c.x2);
                } else {
                    stretch.x2 = std::min(stretch.x2, c.x1);
                }
            }
        }
        tried.push_back(stretch);
        // The headings at the stretch's foot head what follows it.
        while (!run.empty()) {
            std::size_t last = 0;
            for (std::size_t r = 1; r < run.size(); ++r) {
                const PageBox& c = tb[run[r]];
                const PageBox& l = tb[run[last]];
                if (c.y2 > l.y2 || (c.y2 == l.y2 && run[r] > run[last])) {
                    last = r;
                }
            }
            if (role_of(roles[run[last]]) != Role::Heading) {
                break;
            }
            scratch.tried[run[last]] = 0;
            run.erase(run.begin() + static_cast<std::ptrdiff_t>(last));
        }
        PageBox wall{};
        if (!two_columns(tb, set, run, scratch.tried, mark, roles, x, scale, wall)) {
            return;
        }
        const bool standing =
            std::any_of(walls.begin() + static_cast<std::ptrdiff_t>(first), walls.end(), [&](const PageBox& w) {
                return w.x1 == wall.x1 && w.y1 == wall.y1 && w.x2 == wall.x2 && w.y2 == wall.y2;
            });
        if (!standing) {
            walls.push_back(wall);
        }
    };
    for (std::size_t i = 0; i < by_top.size(); ++i) {
        // The nearest boxes right and left of box p among those that start
        // within its height (the first of equally near ones).
        const std::uint32_t p = by_top[i].second;
        const PageBox& P = tb[p];
        std::uint32_t right = kNone;
        std::uint32_t left = kNone;
        for (std::size_t j = i + 1; j < by_top.size() && by_top[j].first < P.y2; ++j) {
            const std::uint32_t q = by_top[j].second;
            const PageBox& Q = tb[q];
            if (!(Q.y1 < Q.y2)) {
                continue;
            }
            if (P.x2 < Q.x1) {
                if (right == kNone || Q.x1 < tb[right].x1) {
                    right = q;
                }
            } else if (Q.x2 < P.x1) {
                if (left == kNone || Q.x2 > tb[left].x2) {
                    left = q;
                }
            }
        }
        if (right != kNone) {
            try_pair(p, right);
        }
        if (left != kNone) {
            try_pair(left, p);
        }
    }
    return walls.size() - first;
}

}  // namespace quorlin::engine::detail
