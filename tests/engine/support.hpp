#pragma once
// Shared helpers of the engine tests: a capturing log sink installed once for
// the whole test binary, record builders and float constants.

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <random>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quorlin/engine/log.hpp"
#include "quorlin/engine/record.hpp"

namespace quorlin::test {

using engine::ElementRecord;

inline const float kInf = std::numeric_limits<float>::infinity();
inline const float kNaN = std::bit_cast<float>(0x7FC00000U);
inline const float kNegNaN = std::bit_cast<float>(0xFFC00000U);

struct CapturedLine {
    log::Level level;
    std::string target;
    std::uint32_t line;
    std::string file;
    std::string module;
    std::string text;
};

// Records everything it is handed, with the message formatted; answers
// enabled() from a switch that tests flip (followed by invalidate_enabled()).
class CapturingSink final : public log::Sink {
public:
    bool enabled(const log::Metadata& metadata) const noexcept override;
    void log(const log::Record& record) noexcept override;

    // Clears the capture and the hook, enables every level and invalidates the
    // gates' memos.
    void reset();

    std::vector<CapturedLine> lines;
    // Called after each record is kept, as a logging handler runs: a test may
    // make it re-enter the engine.
    std::function<void()> on_log;
    std::size_t log_calls = 0;
    mutable std::size_t enabled_calls = 0;
    bool enabled_switch = true;
};

CapturingSink& capture();

// The captured lines as "D87 text" / "W279 text" (level, line, message).
// Adds a failure for any line that lacks the engine's target, module or file.
std::vector<std::string> engine_lines();

// Fixture: fresh capture and the maximum level at debug.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override;
};

// Test names of parametrised cases: the case's `name` field.
struct CaseName {
    template <class Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& param_info) const {
        return param_info.param.name;
    }
};

// Failure messages show a parametrised case by its name, not its bytes. Each
// test file brings it into the namespace of its cases (using test::PrintTo).
template <class Case>
    requires requires(const Case& c) { std::string_view(c.name); }
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

inline ElementRecord rec(std::uint64_t id, float x1, float y1, float x2, float y2) {
    return ElementRecord{id, x1, y1, x2, y2};
}

std::vector<std::uint64_t> ids_of(const std::vector<ElementRecord>& records);

// The pipeline with the given reference width of the cross-layout width
// gate; without one, the public entry (whose reference is the widest box).
std::vector<ElementRecord> order_with_reference(std::span<const ElementRecord> records,
                                                std::optional<float> reference);

// The segmentation of records in input order, their extents computed here.
std::vector<ElementRecord> segment(std::span<const ElementRecord> records, bool prefer_horizontal_first);

// A random page of 0 to 60 boxes: mostly a 5-unit grid (ties, touching
// boxes, gaps of exactly 5), with arbitrary values, signed NaNs, infinities,
// signed zeros, subnormals and huge magnitudes mixed in; one box in ten
// repeats an earlier one, half of those with its id too.
std::vector<ElementRecord> random_page(std::mt19937& rng);

// Bitwise equality of records, so that NaN coordinates compare equal to themselves.
bool same_bits(const ElementRecord& a, const ElementRecord& b);

}  // namespace quorlin::test
