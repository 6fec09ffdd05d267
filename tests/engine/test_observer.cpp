// The engine's observer: what it reports must be exactly what the log lines
// say, in the same order, and the positions it reports must describe the
// sets and groups of the segmentation.

#include <map>
#include <utility>

#include "xycut/detail.hpp"
#include "quorlin/engine/format.hpp"
#include "quorlin/engine/sorter.hpp"
#include "support.hpp"

namespace quorlin::test {
namespace {

using engine::Bounds;
using engine::CutAxis;
using engine::CutReport;
using engine::FallbackReport;
using engine::detail::max_num;
using engine::detail::min_num;

std::string fixed1(float value) {
    std::string out;
    log::append_fixed(out, value, 1);
    return out;
}

// Turns every report back into the log lines it stands for, and keeps the
// reports for the structural checks.
class Recorder final : public engine::Observer {
public:
    explicit Recorder(std::size_t n) : n_(n) {}

    void set_aside(std::span<const std::uint32_t> indices) noexcept override {
        aside.assign(indices.begin(), indices.end());
        lines.push_back("D110 [sort] cross-layout: " + std::to_string(indices.size()) +
                        ", remaining: " + std::to_string(n_ - indices.size()));
    }
    void all_cross_layout() noexcept override {
        lines.push_back("W117 [sort] all elements are cross-layout, falling back to y-then-x sort");
    }
    void cut(const CutReport& c) noexcept override {
        cut_line(c);
        lines.push_back("D287 [segment] split into 2 groups: " + std::to_string(c.mid - c.lo) + ", " +
                        std::to_string(c.hi - c.mid));
        cuts.push_back(c);
    }
    void one_group(const CutReport& c) noexcept override {
        cut_line(c);
        lines.push_back("W279 [segment] cut produced only 1 group for " + std::to_string(c.hi - c.lo) +
                        " elements, falling back to y-then-x sort");
        sets.push_back({c.lo, c.hi, c.depth, c.bounds});
        one_groups.push_back(c);
    }
    void no_valid_cut(const FallbackReport& f) noexcept override {
        lines.push_back("D254 [segment] no valid cuts for " + std::to_string(f.hi - f.lo) +
                        " elements, falling back to y-then-x sort");
        sets.push_back(f);
    }
    void segmented(std::span<const std::uint32_t> order) noexcept override {
        ++segmented_calls;
        segment_order.assign(order.begin(), order.end());
    }

    std::vector<std::string> lines;
    std::vector<std::uint32_t> aside;
    std::vector<std::uint32_t> segment_order;
    std::vector<CutReport> cuts;
    std::vector<CutReport> one_groups;
    std::vector<FallbackReport> sets;  // every set that fell back
    int segmented_calls = 0;

private:
    void cut_line(const CutReport& c) {
        const bool h = c.axis == CutAxis::Horizontal;
        lines.push_back(std::string(h ? "D263 [segment] horizontal cut at y=" : "D270 [segment] vertical cut at x=") +
                        fixed1(c.position) + " (gap=" + fixed1(c.gap) + ") on " + std::to_string(c.hi - c.lo) +
                        " elements");
    }
    std::size_t n_;
};

// The engine's lines that an event stands for: every line but the page's
// start and density lines and the merge.
std::vector<std::string> event_lines() {
    std::vector<std::string> out;
    for (const std::string& line : engine_lines()) {
        const std::string tag = line.substr(0, line.find(' '));
        if (tag != "D87" && tag != "D126" && tag != "D468" && tag != "D500") {
            out.push_back(line);
        }
    }
    return out;
}

bool same_float(float a, float b) { return a == b || (std::isnan(a) && std::isnan(b)); }

// The extent of the records at positions [lo, hi) of the segmentation order.
Bounds bounds_of(const std::vector<ElementRecord>& page, const std::vector<std::uint32_t>& order, std::uint32_t lo,
                 std::uint32_t hi) {
    const auto e0 = engine::detail::extents_of(page[order[lo]]);
    Bounds b{e0.left, e0.top, e0.right, e0.bottom};
    for (std::uint32_t i = lo + 1; i < hi; ++i) {
        const auto e = engine::detail::extents_of(page[order[i]]);
        b = Bounds{min_num(b.left, e.left), min_num(b.top, e.top), max_num(b.right, e.right),
                   max_num(b.bottom, e.bottom)};
    }
    return b;
}

void expect_bounds(const Bounds& got, const Bounds& want, std::size_t page_no) {
    EXPECT_TRUE(same_float(got.left, want.left) && same_float(got.top, want.top) &&
                same_float(got.right, want.right) && same_float(got.bottom, want.bottom))
        << "page " << page_no;
}

TEST_F(LogTest, ObserverTellsWhatTheLogSaysOnRandomPages) {
    std::mt19937 rng(9137U);
    const std::array<std::optional<float>, 3> references = {std::nullopt, 0.0F, 10.0F};
    for (std::size_t page_no = 0; page_no < 3000; ++page_no) {
        const std::vector<ElementRecord> page = random_page(rng);
        const std::optional<float> reference = references[page_no % 3];
        const engine::detail::Table table = engine::detail::table_of(page);
        Recorder recorder(page.size());
        capture().lines.clear();
        const std::vector<std::uint32_t> order = engine::detail::order_table(
            table, reference ? *reference : engine::detail::reference_width(table), &recorder);
        ASSERT_EQ(recorder.lines, event_lines()) << "page " << page_no;
        // The same order as without an observer.
        ASSERT_EQ(ids_of(order_with_reference(page, reference)), [&] {
            std::vector<std::uint64_t> ids;
            for (const std::uint32_t i : order) {
                ids.push_back(page[i].id);
            }
            return ids;
        }()) << "page " << page_no;
        if (page.size() < 2) {
            EXPECT_TRUE(recorder.lines.empty());
            continue;
        }
        const std::size_t main_count = page.size() - recorder.aside.size();
        if (main_count == 0) {
            EXPECT_EQ(recorder.segmented_calls, 0);
            continue;
        }
        // The segmentation order holds the main elements once each.
        ASSERT_EQ(recorder.segmented_calls, 1);
        std::vector<std::uint32_t> seen = recorder.segment_order;
        seen.insert(seen.end(), recorder.aside.begin(), recorder.aside.end());
        std::sort(seen.begin(), seen.end());
        for (std::uint32_t i = 0; i < seen.size(); ++i) {
            ASSERT_EQ(seen[i], i) << "page " << page_no;
        }
        // Every set of two or more elements is the root or a group of an
        // earlier cut, one level deeper, and is reported once.
        std::map<std::pair<std::uint32_t, std::uint32_t>, std::uint32_t> groups;
        if (main_count >= 2) {
            groups[{0, static_cast<std::uint32_t>(main_count)}] = 0;
        }
        std::size_t reported = 0;
        const auto visit = [&](std::uint32_t lo, std::uint32_t hi, std::uint32_t depth) {
            const auto found = groups.find({lo, hi});
            ASSERT_NE(found, groups.end()) << "page " << page_no;
            EXPECT_EQ(found->second, depth) << "page " << page_no;
            groups.erase(found);
            ++reported;
        };
        for (const CutReport& c : recorder.cuts) {
            visit(c.lo, c.hi, c.depth);
            ASSERT_TRUE(c.lo < c.mid && c.mid < c.hi) << "page " << page_no;
            expect_bounds(c.bounds, bounds_of(page, recorder.segment_order, c.lo, c.hi), page_no);
            for (std::uint32_t i = c.lo; i < c.hi; ++i) {
                const ElementRecord& r = page[recorder.segment_order[i]];
                const float centre = c.axis == CutAxis::Horizontal ? (r.y1 + r.y2) * 0.5F : (r.x1 + r.x2) * 0.5F;
                EXPECT_EQ(centre < c.position, i < c.mid) << "page " << page_no << " position " << i;
            }
            for (const auto& g : {std::pair{c.lo, c.mid}, std::pair{c.mid, c.hi}}) {
                if (g.second - g.first >= 2) {
                    groups[g] = c.depth + 1;
                }
            }
        }
        for (const FallbackReport& f : recorder.sets) {
            visit(f.lo, f.hi, f.depth);
            expect_bounds(f.bounds, bounds_of(page, recorder.segment_order, f.lo, f.hi), page_no);
        }
        for (const CutReport& c : recorder.one_groups) {
            EXPECT_TRUE(c.mid == c.lo || c.mid == c.hi) << "page " << page_no;
        }
        EXPECT_TRUE(groups.empty()) << "page " << page_no << ": a set was never reported";
        EXPECT_EQ(reported, recorder.cuts.size() + recorder.sets.size());
    }
}

// A staircase peels one box per cut: n - 1 nested cuts, each reported with
// its positions in O(1), and the depth of the last one is n - 2.
TEST_F(LogTest, ObserverFollowsADeepStaircase) {
    constexpr std::uint32_t kCount = 20000;
    std::vector<engine::Box> boxes;
    for (std::uint32_t i = kCount; i-- > 0;) {
        const auto f = static_cast<float>(20 * i);
        boxes.push_back({f, f, f + 10.0F, f + 10.0F});
    }
    log::set_max_level(log::LevelFilter::Warn);
    Recorder recorder(kCount);
    const std::vector<std::uint32_t> order = engine::order_boxes(std::move(boxes), &recorder);
    ASSERT_EQ(order.size(), kCount);
    ASSERT_EQ(recorder.cuts.size(), kCount - 1);
    for (std::uint32_t d = 0; d < kCount - 1; ++d) {
        const CutReport& c = recorder.cuts[d];
        ASSERT_EQ(c.depth, d);
        ASSERT_EQ(c.lo, d);
        ASSERT_EQ(c.mid, d + 1);
        ASSERT_EQ(c.hi, kCount);
        ASSERT_EQ(order[d], kCount - 1 - d);
    }
    EXPECT_TRUE(recorder.sets.empty());
}

}  // namespace
}  // namespace quorlin::test
