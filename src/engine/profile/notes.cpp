// Step 13: what the engine does not order put back into its order: footnotes
// after the text above them, marginal notes beside the text they belong to,
// drop capitals right before the text they begin.
//
// Every min and max is std::min(acc, value) / std::max(acc, value), which
// keeps the accumulated value on a tie (see profile_steps.hpp).

#include <iterator>

#include "profile/profile_steps.hpp"

namespace quorlin::engine::detail {

void insert_footnotes(std::vector<std::uint32_t>& main, std::span<std::uint32_t> footnotes,
                      std::span<const PageBox> boxes, Scratch& scratch) {
    const auto box = [&boxes](std::uint32_t k) { return normalised(boxes[k]); };
    std::sort(footnotes.begin(), footnotes.end(), TopThenLeft{boxes});
    const std::size_t n = main.size();
    // The last place in `main` of a box whose top is above t: the places
    // sorted by the tops of their boxes, each holding the greatest place
    // among it and those before it.
    std::vector<std::pair<double, std::uint32_t>>& tops = scratch.tops;
    tops.resize(n);
    for (std::size_t p = 0; p < n; ++p) {
        tops[p] = {box(main[p]).y1, static_cast<std::uint32_t>(p)};
    }
    std::sort(tops.begin(), tops.end());
    for (std::size_t j = 1; j < n; ++j) {
        tops[j].second = std::max(tops[j].second, tops[j - 1].second);
    }
    const auto last_above = [&](double t) -> std::size_t {
        const auto end = std::lower_bound(tops.begin(), tops.end(), t,
                                          [](const std::pair<double, std::uint32_t>& e, double v) { return e.first < v; });
        return end == tops.begin() ? n : std::prev(end)->second;
    };
    const auto across = [](const PageBox& a, const PageBox& b) { return std::min(a.x2, b.x2) > std::max(a.x1, b.x1); };
    const bool by_column = footnotes.size() * n <= kFootnoteWork;
    const bool by_footnotes = footnotes.size() * footnotes.size() <= kFootnoteWork;
    const auto level_apart = [&across](const PageBox& b, const PageBox& f) {
        return std::min(b.y2, f.y2) > std::max(b.y1, f.y1) && !across(b, f);
    };
    const std::span<std::uint32_t> anchor = room_for(scratch.aside, footnotes.size());
    for (std::size_t i = 0; i < footnotes.size(); ++i) {
        const PageBox f = box(footnotes[i]);
        std::size_t at = last_above(f.y1);
        // Text beside the footnote, or another footnote (the foot of the next
        // column, under text that ends higher): it ends a column, and follows
        // the last box above it in that column.
        bool beside = false;
        for (std::size_t p = 0; by_column && p < n && !beside; ++p) {
            beside = level_apart(box(main[p]), f);
        }
        for (std::size_t j = 0; by_column && by_footnotes && j < footnotes.size() && !beside; ++j) {
            beside = j != i && level_apart(box(footnotes[j]), f);
        }
        for (std::size_t p = n; beside && p > 0; --p) {
            const PageBox b = box(main[p - 1]);
            if (b.y1 < f.y1 && across(b, f)) {
                at = p - 1;
                break;
            }
        }
        anchor[i] = static_cast<std::uint32_t>(at);
    }
    // main with each footnote after its box, those after one box (or at the
    // end, with no box above them) in their sorted order: the footnotes
    // sorted by anchor (n: at the end), then merged in after their places.
    const std::span<std::uint32_t> out = room_for(scratch.indices, n + footnotes.size());
    const std::span<std::uint32_t> sorted = room_for(scratch.sorted, footnotes.size());
    std::vector<std::uint32_t>& ends = scratch.ends;
    sort_into_buckets<std::uint32_t>(footnotes, anchor, n + 1, ends, sorted);
    std::size_t w = 0;
    std::size_t next = 0;
    for (std::size_t p = 0; p < n; ++p) {
        out[w++] = main[p];
        for (; next < ends[p]; ++next) {
            out[w++] = sorted[next];
        }
    }
    for (; next < footnotes.size(); ++next) {
        out[w++] = sorted[next];
    }
    main.assign(out.begin(), out.end());
}

void merge_by_top(std::span<const std::uint32_t> main, std::span<std::uint32_t> notes, std::span<const PageBox> boxes,
                  std::vector<std::uint32_t>& out) {
    const auto top = [&boxes](std::uint32_t k) { return std::min(boxes[k].y1, boxes[k].y2); };
    std::sort(notes.begin(), notes.end(), TopThenLeft{boxes});
    std::size_t next = 0;
    for (const std::uint32_t m : main) {
        while (next < notes.size() && top(notes[next]) < top(m)) {
            out.push_back(notes[next++]);
        }
        out.push_back(m);
    }
    out.insert(out.end(), notes.begin() + static_cast<std::ptrdiff_t>(next), notes.end());
}

bool continues_paragraph(const PageBox& a, const PageBox& b) noexcept {
    const double ha = a.y2 - a.y1;
    const double hb = b.y2 - b.y1;
    const double h = std::min(ha, hb);
    return std::min(a.x2, b.x2) - std::max(a.x1, b.x1) > 0.5 * std::min(a.x2 - a.x1, b.x2 - b.x1) &&
           a.y1 <= b.y1 && b.y1 <= a.y2 + 0.8 * h && b.x1 <= a.x1 + 0.5 * h && a.x2 >= b.x2 - h &&
           hb <= 2.5 * ha && ha <= 2.5 * hb;
}

// The box of `main` that note `n` heads (see merge_notes), or kNoGroup.
std::uint32_t headed_box(const PageBox& n, std::span<const std::uint32_t> main, std::span<const PageBox> boxes,
                         double lead) noexcept {
    for (const std::uint32_t k : main) {
        const PageBox b = normalised(boxes[k]);
        if ((n.x1 + n.x2) / 2 < b.x1 && 0 <= n.y1 - b.y1 && n.y1 - b.y1 <= lead && n.y1 < b.y2 &&
            b.x2 - b.x1 < 6 * (b.y2 - b.y1)) {
            return k;
        }
    }
    return kNoGroup;
}

NotesPlaced merge_notes(std::span<const std::uint32_t> main, std::span<std::uint32_t> notes,
                        std::span<const PageBox> boxes, std::span<const std::uint8_t> roles, double lead,
                        Scratch& scratch, std::vector<std::uint32_t>& out) {
    if (notes.size() > kMostNotes) {
        merge_by_top(main, notes, boxes, out);
        return {};
    }
    const auto box = [&boxes](std::uint32_t k) { return normalised(boxes[k]); };
    std::sort(notes.begin(), notes.end(), TopThenLeft{boxes});
    // The blocks: block[i] is the block of notes[i]; each block's last note,
    // its extent and its size.
    struct Block {
        std::uint32_t last;
        PageBox extent;
        std::uint32_t size;
        bool alone_beside_lines = false;  // a labelled note alone, read as a block of one
    };
    std::vector<Block> blocks;
    blocks.reserve(notes.size());
    const std::span<std::uint32_t> block = room_for(scratch.rows, notes.size());
    for (std::size_t i = 0; i < notes.size(); ++i) {
        const PageBox n = box(notes[i]);
        std::size_t joined = blocks.size();
        for (std::size_t b = 0; b < blocks.size(); ++b) {
            const PageBox l = box(blocks[b].last);
            const PageBox& e = blocks[b].extent;
            if (std::min(n.x2, l.x2) > std::max(n.x1, l.x1) && l.y1 <= n.y1 &&
                n.y1 <= l.y2 + std::min(n.y2 - n.y1, l.y2 - l.y1) &&
                std::max(n.x2, e.x2) - std::min(n.x1, e.x1) <= 1.5 * (e.x2 - e.x1)) {
                joined = b;
                break;
            }
        }
        if (joined == blocks.size()) {
            blocks.push_back(Block{notes[i], n, 0});
        }
        Block& b = blocks[joined];
        b.last = notes[i];
        b.extent = {std::min(b.extent.x1, n.x1), b.extent.y1, std::max(b.extent.x2, n.x2), std::max(b.extent.y2, n.y2)};
        b.size += 1;
        block[i] = static_cast<std::uint32_t>(joined);
    }
    // Whether a box is a note: the notes, sorted by index.
    std::vector<std::uint32_t>& sorted_notes = scratch.indices;
    sorted_notes.assign(notes.begin(), notes.end());
    std::sort(sorted_notes.begin(), sorted_notes.end());
    const auto is_note = [&sorted_notes](std::uint32_t k) {
        return std::binary_search(sorted_notes.begin(), sorted_notes.end(), k);
    };
    // The text boxes of `seq` (its notes left out) level with a block that
    // spans `e`: their middles between its top and bottom and sharing less
    // than a fifth of its width. How many, how many of them lines (six times
    // as wide as tall), the first and last in `seq`, and the widest.
    struct Level {
        std::size_t count = 0;
        std::size_t lines = 0;
        std::size_t first = 0;
        std::size_t last = 0;
        double widest = 0.0;
        // A block is read whole beside text lines at least half of which are
        // lines, and when it is at most half as wide as the widest of them.
        bool beside_lines(const PageBox& e) const noexcept {
            return !(count == 0 || 2 * lines < count || e.x2 - e.x1 > 0.5 * widest);
        }
    };
    const auto level_with = [&box, &is_note](const PageBox& e, std::span<const std::uint32_t> seq) {
        Level l;
        for (std::size_t i = 0; i < seq.size(); ++i) {
            if (is_note(seq[i])) {
                continue;
            }
            const PageBox m = box(seq[i]);
            const double middle = (m.y1 + m.y2) / 2;
            if (e.y1 < middle && middle < e.y2 && std::min(m.x2, e.x2) - std::max(m.x1, e.x1) < 0.2 * (e.x2 - e.x1)) {
                l.first = l.count == 0 ? i : l.first;
                l.last = i;
                l.count += 1;
                l.lines += m.x2 - m.x1 >= 6 * (m.y2 - m.y1) ? 1 : 0;
                l.widest = l.count == 1 ? m.x2 - m.x1 : std::max(l.widest, m.x2 - m.x1);
            }
        }
        return l;
    };
    // The notes alone are merged by their top, but for the labelled ones
    // that head a box, and those beside text lines, read as blocks of one;
    // the blocks follow one by one.
    const std::span<std::uint32_t> alone = room_for(scratch.sorted, notes.size());
    auto& heads = scratch.heads;
    heads.clear();
    std::size_t singles = 0;
    for (std::size_t i = 0; i < notes.size(); ++i) {
        Block& b = blocks[block[i]];
        if (b.size != 1) {
            continue;
        }
        const std::uint32_t n = notes[i];
        const bool labelled = !roles.empty() && role_of(roles[n]) == Role::Marginal;
        const std::uint32_t target = labelled ? headed_box(box(n), main, boxes, lead) : kNoGroup;
        if (target != kNoGroup) {
            heads.emplace_back(target, static_cast<std::uint32_t>(i));
        } else if (labelled && level_with(b.extent, main).beside_lines(b.extent)) {
            b.alone_beside_lines = true;
        } else {
            alone[singles++] = n;
        }
    }
    if (heads.empty()) {
        merge_by_top(main, alone.first(singles), boxes, out);
    } else {
        // Each box's notes before it, by their place among the sorted notes.
        std::sort(heads.begin(), heads.end());
        std::vector<std::uint32_t>& merged = scratch.ends;
        merged.clear();
        merge_by_top(main, alone.first(singles), boxes, merged);
        for (const std::uint32_t k : merged) {
            auto h = std::lower_bound(heads.begin(), heads.end(), std::pair<std::uint32_t, std::uint32_t>{k, 0});
            for (; h != heads.end() && h->first == k; ++h) {
                out.push_back(notes[h->second]);
            }
            out.push_back(k);
        }
    }
    std::vector<std::uint32_t>& members = scratch.aside;
    std::vector<std::uint32_t>& spare = scratch.ends;
    std::size_t whole = 0;
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        if (blocks[b].size < 2 && !blocks[b].alone_beside_lines) {
            continue;
        }
        members.clear();
        for (std::size_t i = 0; i < notes.size(); ++i) {
            if (block[i] == b) {
                members.push_back(notes[i]);
            }
        }
        // (its top is its first note's: the notes go by their tops)
        const PageBox& e = blocks[b].extent;
        const Level level = level_with(e, out);
        if (!level.beside_lines(e)) {
            spare.clear();
            merge_by_top(out, members, boxes, spare);
            out.swap(spare);
            continue;
        }
        const PageBox f = box(out[level.first]);
        std::size_t at = level.first;
        if (!((e.x1 + e.x2) / 2 < (f.x1 + f.x2) / 2 &&
              (level.first == 0 || !continues_paragraph(box(out[level.first - 1]), f)))) {
            at = level.last;
            while (at + 1 < out.size() && continues_paragraph(box(out[at]), box(out[at + 1]))) {
                ++at;
            }
            ++at;
        }
        out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), members.begin(), members.end());
        whole += 1;
    }
    return {whole, heads.size()};
}

void place_initials(std::vector<std::uint32_t>& body, std::span<std::uint32_t> initials,
                    std::span<const PageBox> boxes, std::span<const std::uint8_t> roles, Scratch& scratch,
                    std::vector<std::uint32_t>& out) {
    const auto box = [&boxes](std::uint32_t k) { return normalised(boxes[k]); };
    std::sort(initials.begin(), initials.end(), TopThenLeft{boxes});
    const auto is_text = [&roles](std::uint32_t k) {
        const Role role = role_of(roles[k]);
        return role == Role::Body || role == Role::Heading;
    };
    // (box begun, rank of the initial among the sorted ones), then sorted so
    // that each box finds its initials together, in their order.
    auto& begun = scratch.pairs;
    begun.clear();
    const std::span<std::uint32_t> unplaced = room_for(scratch.indices, initials.size());
    std::size_t left = 0;
    for (std::size_t i = 0; i < initials.size(); ++i) {
        const PageBox d = box(initials[i]);
        const double width = d.x2 - d.x1;
        std::uint32_t found = kNoGroup;
        if (initials.size() <= kMostInitials) {
            // One pass over the text: the box holding most of it, and the
            // nearest box beside it on the right, level with it (the higher
            // of equally near ones; the first of equals for both).
            double most = 0.0;
            std::uint32_t holder = kNoGroup;
            double nearest = 0.0;
            double nearest_top = 0.0;
            std::uint32_t beside = kNoGroup;
            for (const std::uint32_t k : body) {
                if (!is_text(k)) {
                    continue;
                }
                const PageBox a = box(k);
                const double shared = std::max(0.0, std::min(d.x2, a.x2) - std::max(d.x1, a.x1)) *
                                      std::max(0.0, std::min(d.y2, a.y2) - std::max(d.y1, a.y1));
                if (shared > most) {
                    most = shared;
                    holder = k;
                }
                const double gap = a.x1 - d.x2;
                if (a.x1 >= (d.x1 + d.x2) / 2 && gap <= width && std::min(d.y2, a.y2) > std::max(d.y1, a.y1) &&
                    (beside == kNoGroup || gap < nearest || (gap == nearest && a.y1 < nearest_top))) {
                    beside = k;
                    nearest = gap;
                    nearest_top = a.y1;
                }
            }
            // It begins the box holding at least half of it, else the one
            // beside it (a box of no area is held by no box).
            found = holder != kNoGroup && most >= 0.5 * width * (d.y2 - d.y1) ? holder : beside;
        }
        if (found == kNoGroup) {
            unplaced[left++] = initials[i];
        } else {
            begun.emplace_back(found, static_cast<std::uint32_t>(i));
        }
    }
    std::sort(begun.begin(), begun.end());
    out.clear();
    if (begun.empty()) {
        out.swap(body);
    } else {
        for (const std::uint32_t k : body) {
            auto it = std::lower_bound(begun.begin(), begun.end(), std::make_pair(k, std::uint32_t{0}));
            for (; it != begun.end() && it->first == k; ++it) {
                out.push_back(initials[it->second]);
            }
            out.push_back(k);
        }
    }
    // An initial that begins no box is merged back by its top.
    if (left > 0) {
        body.clear();
        merge_by_top(out, unplaced.first(left), boxes, body);
    } else {
        body.swap(out);
    }
}

}  // namespace quorlin::engine::detail
