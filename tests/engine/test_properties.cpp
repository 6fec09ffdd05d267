// Properties over random pages, a comparison of the segmentation with a plain
// recursive transcription of the algorithm, and very deep or flat inputs.

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <optional>
#include <random>
#include <utility>

#include "xycut/detail.hpp"
#include "quorlin/engine/format.hpp"
#include "quorlin/engine/sorter.hpp"
#include "support.hpp"

namespace quorlin::test {
namespace {

using engine::detail::extents_of;
using engine::detail::key_pair;
using engine::detail::max_num;
using engine::detail::min_num;

std::vector<std::array<std::uint32_t, 6>> sorted_bits(const std::vector<ElementRecord>& records) {
    std::vector<std::array<std::uint32_t, 6>> out;
    for (const ElementRecord& r : records) {
        out.push_back({static_cast<std::uint32_t>(r.id >> 32), static_cast<std::uint32_t>(r.id),
                       std::bit_cast<std::uint32_t>(r.x1), std::bit_cast<std::uint32_t>(r.y1),
                       std::bit_cast<std::uint32_t>(r.x2), std::bit_cast<std::uint32_t>(r.y2)});
    }
    std::sort(out.begin(), out.end());
    return out;
}

TEST_F(LogTest, RandomPagesYieldDeterministicPermutations) {
    std::mt19937 rng(20240611U);
    const std::array<std::optional<float>, 4> references = {std::nullopt, 0.0F, 10.0F, 40.0F};
    for (std::size_t page_no = 0; page_no < 3000; ++page_no) {
        const std::vector<ElementRecord> page = random_page(rng);
        const std::optional<float> reference = references[page_no % 4];
        capture().lines.clear();
        const std::vector<ElementRecord> first = order_with_reference(page, reference);
        const std::vector<std::string> first_log = engine_lines();
        capture().lines.clear();
        const std::vector<ElementRecord> second = order_with_reference(page, reference);

        ASSERT_EQ(sorted_bits(first), sorted_bits(page)) << "page " << page_no;
        ASSERT_EQ(first.size(), second.size()) << "page " << page_no;
        for (std::size_t i = 0; i < first.size(); ++i) {
            ASSERT_TRUE(same_bits(first[i], second[i])) << "page " << page_no << " position " << i;
        }
        ASSERT_EQ(first_log, engine_lines()) << "page " << page_no;
    }
}

// The recursive XY-cut written as plainly as possible (copies per level, a
// stable sort per sweep), as an oracle for the engine's work-list version.
class PlainSegmenter {
public:
    explicit PlainSegmenter(bool prefer_horizontal_first) : prefer_(prefer_horizontal_first) {}

    void run(const std::vector<ElementRecord>& set) {
        const std::size_t n = set.size();
        if (n < 2) {
            order.insert(order.end(), set.begin(), set.end());
            return;
        }
        const Gap gap_y = sweep(set, &Extents::top, &Extents::bottom);
        Gap gap_x = sweep(set, &Extents::left, &Extents::right);
        if (n >= 3 && gap_x.width < 5.0F) {
            float least_left = extents_of(set[0]).left;
            float greatest_right = extents_of(set[0]).right;
            for (const ElementRecord& r : set) {
                least_left = min_num(least_left, extents_of(r).left);
                greatest_right = max_num(greatest_right, extents_of(r).right);
            }
            const float threshold = max_num(0.0F, greatest_right - least_left) * 0.1F;
            std::vector<ElementRecord> wide;
            std::copy_if(set.begin(), set.end(), std::back_inserter(wide),
                         [&](const ElementRecord& r) { return extents_of(r).width >= threshold; });
            if (wide.size() >= 2 && wide.size() < n) {
                const Gap refined = sweep(wide, &Extents::left, &Extents::right);
                gap_x = refined.width > gap_x.width && refined.width >= 5.0F ? refined : gap_x;
            }
        }
        const bool y_ok = gap_y.width >= 5.0F;
        const bool x_ok = gap_x.width >= 5.0F;
        const std::string count = std::to_string(n) + " elements";
        if (!y_ok && !x_ok) {
            lines.push_back("D254 [segment] no valid cuts for " + count + ", falling back to y-then-x sort");
            fall_back(set);
            return;
        }
        const bool tie = std::fabs(gap_y.width - gap_x.width) < 0x1p-23F;
        const bool horizontal = y_ok && (!x_ok || (tie ? prefer_ : gap_y.width > gap_x.width));
        const Gap cut = horizontal ? gap_y : gap_x;
        lines.push_back((horizontal ? "D263 [segment] horizontal cut at y=" : "D270 [segment] vertical cut at x=") +
                        fixed1(cut.cut) + " (gap=" + fixed1(cut.width) + ") on " + count);
        std::vector<ElementRecord> groups[2];
        for (const ElementRecord& r : set) {
            const float centre = horizontal ? (r.y1 + r.y2) * 0.5F : (r.x1 + r.x2) * 0.5F;
            groups[centre < cut.cut ? 0 : 1].push_back(r);
        }
        if (groups[0].empty() || groups[1].empty()) {
            lines.push_back("W279 [segment] cut produced only 1 group for " + count +
                            ", falling back to y-then-x sort");
            fall_back(set);
            return;
        }
        lines.push_back("D287 [segment] split into 2 groups: " + std::to_string(groups[0].size()) + ", " +
                        std::to_string(groups[1].size()));
        run(groups[0]);
        run(groups[1]);
    }

    std::vector<ElementRecord> order;
    std::vector<std::string> lines;

private:
    using Extents = engine::detail::Extents;
    struct Gap {
        float cut = 0.0F;
        float width = 0.0F;
    };

    static Gap sweep(const std::vector<ElementRecord>& set, float Extents::*lower, float Extents::*upper) {
        std::vector<Extents> sorted;
        std::transform(set.begin(), set.end(), std::back_inserter(sorted), extents_of);
        std::stable_sort(sorted.begin(), sorted.end(), [&](const Extents& a, const Extents& b) {
            return key_pair(a.*lower, a.*upper) < key_pair(b.*lower, b.*upper);
        });
        Gap gap;
        float reach = sorted[0].*upper;
        for (const Extents& e : sorted) {
            if (e.*lower > reach && e.*lower - reach > gap.width) {
                gap = {(reach + e.*lower) * 0.5F, e.*lower - reach};
            }
            reach = max_num(reach, e.*upper);
        }
        return gap;
    }

    static std::string fixed1(float value) {
        std::string out;
        log::append_fixed(out, value, 1);
        return out;
    }

    void fall_back(const std::vector<ElementRecord>& set) {
        const std::vector<ElementRecord> sorted = engine::detail::y_then_x(set);
        order.insert(order.end(), sorted.begin(), sorted.end());
    }

    bool prefer_;
};

TEST_F(LogTest, SegmentationMatchesPlainRecursionOnRandomPages) {
    std::mt19937 rng(77U);
    for (int page_no = 0; page_no < 3000; ++page_no) {
        const std::vector<ElementRecord> page = random_page(rng);
        PlainSegmenter plain(page_no % 2 == 0);
        plain.run(page);
        capture().lines.clear();
        const std::vector<ElementRecord> result = segment(page, page_no % 2 == 0);
        ASSERT_EQ(ids_of(result), ids_of(plain.order)) << "page " << page_no;
        ASSERT_EQ(engine_lines(), plain.lines) << "page " << page_no;
    }
}

// Columns of stacked paragraphs, overlapping, touching or a few units apart,
// some inside others, with short lines and now and then a box across two
// columns: stacks the engine orders in one sort when nothing is logged.
std::vector<ElementRecord> column_page(std::mt19937& rng) {
    const auto uniform = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<ElementRecord> page;
    std::uint64_t id = 0;
    for (int column = 0, columns = uniform(1, 3); column < columns; ++column) {
        const auto left = static_cast<float>(200 * column);
        auto y = static_cast<float>(uniform(0, 20));
        for (int i = 0, n = uniform(1, 12); i < n; ++i) {
            const float x1 = left + static_cast<float>(uniform(0, 6));
            const float x2 = left + static_cast<float>(uniform(0, 4) == 0 ? uniform(20, 60) : uniform(184, 190));
            const auto height = static_cast<float>(uniform(5, 60));
            page.push_back(rec(id++, x1, y, x2, y + height));
            y += uniform(0, 5) == 0 ? static_cast<float>(uniform(0, 10)) : height + static_cast<float>(uniform(-3, 12));
        }
    }
    if (uniform(0, 3) == 0) {
        const auto top = static_cast<float>(uniform(0, 300));
        page.push_back(rec(id++, 0, top, 390, top + 30));
    }
    std::shuffle(page.begin(), page.end(), rng);
    return page;
}

// A few boxes on a 5-unit grid of a small page: many gaps of exactly 5 and
// many ties between the two sweeps.
std::vector<ElementRecord> grid_page(std::mt19937& rng) {
    const auto grid = [&rng](int hi) {
        return 5.0F * static_cast<float>(std::uniform_int_distribution<int>(0, hi)(rng));
    };
    std::vector<ElementRecord> page;
    for (std::uint64_t id = 0, n = std::uniform_int_distribution<std::uint64_t>(2, 8)(rng); id < n; ++id) {
        const float x = grid(12);
        const float y = grid(12);
        page.push_back(rec(id, x, y, x + grid(4), y + grid(4)));
    }
    return page;
}

// Without an observer and without the lines of its cuts, the engine orders a
// stack that no cut can split into columns in one sort, and two boxes
// directly; the order is the recursion's. One workspace, reused for every page, gives what a fresh one gives.
TEST_F(LogTest, QuietSegmentationMatchesPlainRecursion) {
    std::mt19937 rng(4242U);
    engine::detail::Workspace reused;
    for (int page_no = 0; page_no < 3000; ++page_no) {
        const std::vector<ElementRecord> page =
            page_no % 3 == 0 ? random_page(rng) : page_no % 3 == 1 ? grid_page(rng) : column_page(rng);
        const bool prefer_horizontal_first = page_no % 2 == 0;
        log::set_max_level(log::LevelFilter::Debug);
        PlainSegmenter plain(prefer_horizontal_first);
        plain.run(page);
        const std::vector<ElementRecord> logged = engine::order_elements(page);
        log::set_max_level(log::LevelFilter::Warn);
        ASSERT_EQ(ids_of(segment(page, prefer_horizontal_first)), ids_of(plain.order)) << "page " << page_no;
        ASSERT_EQ(ids_of(engine::order_elements(page)), ids_of(logged)) << "page " << page_no;
        const engine::detail::Table table = engine::detail::table_of(page);
        const float reference = engine::detail::reference_width(table);
        ASSERT_EQ(engine::detail::order_table(table, reference, nullptr, reused),
                  engine::detail::order_table(table, reference, nullptr))
            << "page " << page_no;
    }
}

// A stack of more boxes than a thread keeps buffers for takes the recursion
// at the top, with the buffers it releases, and the shortcut for each run:
// the same order as the step-by-step segmentation.
TEST_F(LogTest, LargeStackMatchesTheLoggedOrder) {
    std::mt19937 rng(5150U);
    std::vector<ElementRecord> page;
    float y = 0.0F;
    for (std::uint64_t i = 0; i < 3 * engine::detail::kKeptBuffers / 2; ++i) {
        const auto x1 = static_cast<float>(rng() % 7);
        const auto height = static_cast<float>(5 + rng() % 40);
        page.push_back(rec(i, x1, y, x1 + static_cast<float>(150 + rng() % 40), y + height));
        y += height + static_cast<float>(rng() % 12) - 3.0F;  // gaps of -3 to 8: some cut, some do not
    }
    std::shuffle(page.begin(), page.end(), rng);
    log::set_max_level(log::LevelFilter::Debug);
    const std::vector<ElementRecord> logged = engine::order_elements(page);
    log::set_max_level(log::LevelFilter::Warn);
    EXPECT_EQ(ids_of(engine::order_elements(page)), ids_of(logged));
}

// Each cut peels off the topmost element: the depth is n - 1. Every level
// sweeps what is left, so the work is quadratic: 30,000 elements take under
// 3 s in Release, 100,000 more than 20 s.
TEST_F(LogTest, DeepStaircaseCompletes) {
    constexpr std::uint64_t kCount = 30000;
    std::vector<ElementRecord> page;
    for (std::uint64_t i = kCount; i-- > 0;) {
        const auto f = static_cast<float>(i);
        page.push_back(rec(i, f, 10.0F * f, f + 1.0F, 10.0F * f + 5.0F));
    }
    log::set_max_level(log::LevelFilter::Warn);
    const std::vector<ElementRecord> result = engine::order_elements(page);
    ASSERT_EQ(result.size(), kCount);
    for (std::uint64_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(result[i].id, i);
    }
    EXPECT_TRUE(capture().lines.empty());
}

TEST_F(LogTest, HundredThousandIdenticalBoxesKeepInputOrder) {
    constexpr std::uint64_t kCount = 100000;
    std::vector<ElementRecord> page;
    for (std::uint64_t i = 0; i < kCount; ++i) {
        page.push_back(rec(kCount - i, 0, 0, 10, 10));
    }
    const std::vector<ElementRecord> result = engine::order_elements(page);
    ASSERT_EQ(result.size(), kCount);
    for (std::uint64_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(result[i].id, kCount - i);
    }
    EXPECT_EQ(engine_lines(), (std::vector<std::string>{
                                  "D87 [sort] 100000 elements (beta=2, density_threshold=0.9)",
                                  "D110 [sort] cross-layout: 0, remaining: 100000",
                                  "D126 [sort] density_ratio=1.000, prefer_horizontal_first=true",
                                  "D254 [segment] no valid cuts for 100000 elements, falling back to y-then-x sort"}));
}

}  // namespace
}  // namespace quorlin::test
