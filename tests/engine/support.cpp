#include "support.hpp"

#include <array>
#include <cfloat>

#include "xycut/detail.hpp"
#include "quorlin/engine/sorter.hpp"

namespace quorlin::test {

bool CapturingSink::enabled(const log::Metadata&) const noexcept {
    ++enabled_calls;
    return enabled_switch;
}

void CapturingSink::log(const log::Record& record) noexcept {
    ++log_calls;
    lines.push_back(CapturedLine{record.metadata.level, std::string(record.metadata.target),
                                 record.line.value_or(0), std::string(record.file.value_or("")),
                                 std::string(record.module_path), record.message.to_string()});
    if (on_log) {
        on_log();
    }
}

void CapturingSink::reset() {
    lines.clear();
    on_log = nullptr;
    log_calls = 0;
    enabled_calls = 0;
    enabled_switch = true;
    log::invalidate_enabled();
}

CapturingSink& capture() {
    static CapturingSink sink;
    return sink;
}

std::vector<std::string> engine_lines() {
    std::vector<std::string> out;
    for (const CapturedLine& l : capture().lines) {
        EXPECT_EQ(l.target, "quorlinpy::mervane");
        EXPECT_EQ(l.module, "quorlin_sorter");
        EXPECT_EQ(l.file, "src/mervane/quorlin_sorter/src/lib");
        const char tag = l.level == log::Level::Debug ? 'D' : l.level == log::Level::Warn ? 'W' : '?';
        out.push_back(tag + std::to_string(l.line) + " " + l.text);
    }
    return out;
}

void LogTest::SetUp() {
    capture().reset();
    log::set_max_level(log::LevelFilter::Debug);
}

std::vector<std::uint64_t> ids_of(const std::vector<ElementRecord>& records) {
    std::vector<std::uint64_t> ids;
    ids.reserve(records.size());
    for (const ElementRecord& r : records) {
        ids.push_back(r.id);
    }
    return ids;
}

std::vector<ElementRecord> order_with_reference(std::span<const ElementRecord> records,
                                                std::optional<float> reference) {
    if (!reference) {
        return engine::order_elements(records);
    }
    return engine::detail::order_records(records, *reference);
}

std::vector<ElementRecord> segment(std::span<const ElementRecord> records, bool prefer_horizontal_first) {
    return engine::detail::segment(records, prefer_horizontal_first);
}

namespace {

int uniform(std::mt19937& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

float random_coordinate(std::mt19937& rng) {
    static const std::array<float, 11> kSpecial = {kNaN,     kNegNaN, kInf,   -kInf,        0.0F, -0.0F,
                                                   FLT_MAX, -FLT_MAX, 1e30F, 67108868.0F, 1e-40F};
    const int pick = uniform(rng, 0, 99);
    if (pick < 70) {
        return 5.0F * static_cast<float>(uniform(rng, 0, 40));
    }
    if (pick < 88) {
        return std::uniform_real_distribution<float>(-50.0F, 250.0F)(rng);
    }
    return kSpecial[static_cast<std::size_t>(pick - 88) % kSpecial.size()];
}

}  // namespace

std::vector<ElementRecord> random_page(std::mt19937& rng) {
    std::vector<ElementRecord> page;
    for (int i = 0, n = uniform(rng, 0, 60); i < n; ++i) {
        const auto id = static_cast<std::uint64_t>(i);
        if (!page.empty() && uniform(rng, 0, 9) == 0) {
            ElementRecord copy = page[static_cast<std::size_t>(uniform(rng, 0, i - 1))];
            copy.id = uniform(rng, 0, 1) == 0 ? copy.id : id;
            page.push_back(copy);
            continue;
        }
        const float x1 = random_coordinate(rng);
        const float y1 = random_coordinate(rng);
        const bool near = uniform(rng, 0, 3) != 0;
        const float x2 = near ? x1 + 5.0F * static_cast<float>(uniform(rng, -2, 12)) : random_coordinate(rng);
        const float y2 = near ? y1 + 5.0F * static_cast<float>(uniform(rng, -2, 12)) : random_coordinate(rng);
        page.push_back(rec(id, x1, y1, x2, y2));
    }
    return page;
}

bool same_bits(const ElementRecord& a, const ElementRecord& b) {
    return a.id == b.id && std::bit_cast<std::uint32_t>(a.x1) == std::bit_cast<std::uint32_t>(b.x1) &&
           std::bit_cast<std::uint32_t>(a.y1) == std::bit_cast<std::uint32_t>(b.y1) &&
           std::bit_cast<std::uint32_t>(a.x2) == std::bit_cast<std::uint32_t>(b.x2) &&
           std::bit_cast<std::uint32_t>(a.y2) == std::bit_cast<std::uint32_t>(b.y2);
}

}  // namespace quorlin::test

// The sink can be installed only once per process, so the test binary
// installs it before any test runs.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (!quorlin::log::set_sink(&quorlin::test::capture())) {
        return 1;
    }
    quorlin::log::set_max_level(quorlin::log::LevelFilter::Debug);
    return RUN_ALL_TESTS();
}
