// Number formatting, message formatting and the emit path's gating.

#include <atomic>
#include <cfloat>
#include <cstdio>
#include <iomanip>
#include <thread>

#include "quorlin/engine/format.hpp"
#include "support.hpp"

namespace quorlin::test {
namespace {

using test::PrintTo;

using log::Arg;
using log::GroupSizes;
using log::Level;
using log::LevelFilter;

// ---- Floats -------------------------------------------------------------------

struct FloatCase {
    float value;
    int decimals;  // -1: shortest round-trip form
    const char* text;
};

void PrintTo(const FloatCase& c, std::ostream* os) {
    *os << std::setprecision(9) << c.value << " with " << c.decimals << " decimals";
}

class FloatFormat : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatFormat, PrintsTheExactSinglePrecisionValue) {
    const FloatCase& c = GetParam();
    std::string out = "<";
    if (c.decimals < 0) {
        log::append_shortest(out, c.value);
    } else {
        log::append_fixed(out, c.value, c.decimals);
    }
    EXPECT_EQ(out, std::string("<") + c.text) << "decimals " << c.decimals;
}

// Names such as "m0_0_d1" (-0.0 to one decimal) or "1ep20_shortest".
std::string float_case_name(const ::testing::TestParamInfo<FloatCase>& param_info) {
    char value[32];
    std::snprintf(value, sizeof value, "%.9g", static_cast<double>(param_info.param.value));
    std::string name;
    for (const char* p = value; *p != 0; ++p) {
        name += *p == '-' ? 'm' : *p == '+' ? 'p' : *p == '.' ? '_' : *p;
    }
    return name + (param_info.param.decimals < 0 ? "_shortest" : "_d" + std::to_string(param_info.param.decimals));
}

INSTANTIATE_TEST_SUITE_P(
    Fixed, FloatFormat,
    ::testing::Values(FloatCase{12.25F, 1, "12.2"}, FloatCase{12.75F, 1, "12.8"}, FloatCase{0.25F, 1, "0.2"},
                      FloatCase{55.0F, 1, "55.0"}, FloatCase{0.1F, 1, "0.1"},
                      // 0.05f is slightly above 0.05 and 0.35f slightly below 0.35.
                      FloatCase{0.05F, 1, "0.1"}, FloatCase{0.35F, 1, "0.3"}, FloatCase{-0.04F, 1, "-0.0"},
                      FloatCase{-0.0F, 1, "-0.0"}, FloatCase{2.0F / 3.0F, 3, "0.667"}, FloatCase{1.0F, 3, "1.000"},
                      FloatCase{0.9F, 3, "0.900"}, FloatCase{0.0005F, 3, "0.001"}, FloatCase{kInf, 1, "inf"},
                      FloatCase{-kInf, 3, "-inf"}, FloatCase{kNaN, 1, "NaN"}, FloatCase{kNegNaN, 3, "NaN"},
                      FloatCase{1e20F, 1, "100000002004087734272.0"},
                      FloatCase{-FLT_MAX, 3, "-340282346638528859811704183484516925440.000"}),
    float_case_name);

INSTANTIATE_TEST_SUITE_P(
    Shortest, FloatFormat,
    ::testing::Values(FloatCase{2.0F, -1, "2"}, FloatCase{0.9F, -1, "0.9"}, FloatCase{0.1F, -1, "0.1"},
                      FloatCase{1.5F, -1, "1.5"}, FloatCase{-0.0F, -1, "-0"}, FloatCase{16777216.0F, -1, "16777216"},
                      FloatCase{1e20F, -1, "100000000000000000000"},
                      FloatCase{FLT_MAX, -1, "340282350000000000000000000000000000000"},
                      FloatCase{1e-7F, -1, "0.0000001"}, FloatCase{kInf, -1, "inf"}, FloatCase{-kInf, -1, "-inf"},
                      FloatCase{kNegNaN, -1, "NaN"}),
    float_case_name);

// ---- Messages -----------------------------------------------------------------

struct MessageCase {
    const char* name;
    const char* format;
    std::vector<Arg> args;
    const char* text;
};

class MessageFormat : public ::testing::TestWithParam<MessageCase> {};

TEST_P(MessageFormat, FillsPlaceholdersInOrder) {
    const MessageCase& c = GetParam();
    EXPECT_EQ((log::Message{c.format, c.args}.to_string()), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    Table, MessageFormat,
    ::testing::Values(
        MessageCase{"sort_line", "[sort] {} elements (beta={}, density_threshold={})",
                    {Arg(std::uint64_t{12}), Arg(2.0F), Arg(0.9F)},
                    "[sort] 12 elements (beta=2, density_threshold=0.9)"},
        MessageCase{"one_decimal_and_u32", "cut at y={:.1} (gap={:.1}) on {} elements",
                    {Arg(12.25F), Arg(-kInf), Arg(std::uint32_t{4000000000U})},
                    "cut at y=12.2 (gap=-inf) on 4000000000 elements"},
        MessageCase{"three_decimals_and_bool", "density_ratio={:.3}, prefer_horizontal_first={}", {Arg(2.0F / 3.0F), Arg(true)},
                    "density_ratio=0.667, prefer_horizontal_first=true"},
        MessageCase{"false_and_u64_max", "{}|{}", {Arg(false), Arg(UINT64_MAX)}, "false|18446744073709551615"},
        MessageCase{"group_sizes", "split into {} groups: {}", {Arg(std::uint64_t{2}), Arg(GroupSizes{3, 9})},
                    "split into 2 groups: 3, 9"},
        MessageCase{"percent_signs_pass_through", "100% {} %s", {Arg(std::uint64_t{1})}, "100% 1 %s"},
        MessageCase{"no_values", "no values", {}, "no values"},
        // 1.05 as a double is above 1.05 (as a float below it)
        MessageCase{"doubles", "x={:.1} {:.1} {}", {Arg(1.05), Arg(1e20), Arg(0.1)},
                    "x=1.1 100000000000000000000.0 0.1"}),
    CaseName());

// ---- Gating -------------------------------------------------------------------

constexpr log::Site kSite{"tests::gate", "tests", "tests/gate", 7};

TEST(SetSink, SecondInstallationFails) {
    CapturingSink other;
    EXPECT_FALSE(log::set_sink(&other));
    EXPECT_EQ(&log::sink(), &capture());
}

TEST_F(LogTest, LinesAboveMaxLevelNeverReachTheSink) {
    const log::TargetGate gate{kSite.target};
    log::set_max_level(LevelFilter::Warn);
    log::emit(gate, Level::Debug, kSite, "dropped {}", true);
    log::emit(gate, Level::Trace, kSite, "dropped");
    EXPECT_EQ(capture().log_calls, 0U);
    log::emit(gate, Level::Warn, kSite, "kept");
    log::emit(gate, Level::Error, kSite, "kept");
    EXPECT_EQ(capture().log_calls, 2U);
    log::set_max_level(LevelFilter::Off);
    log::emit(gate, Level::Error, kSite, "dropped");
    EXPECT_EQ(capture().log_calls, 2U);
}

TEST_F(LogTest, GateAsksTheSinkOnceAndAgainAfterInvalidation) {
    const log::TargetGate gate{kSite.target};
    capture().enabled_switch = false;
    log::invalidate_enabled();
    log::emit(gate, Level::Debug, kSite, "disabled");
    EXPECT_EQ(capture().log_calls, 0U);
    const std::size_t asked = capture().enabled_calls;
    EXPECT_GT(asked, 0U);

    // The memo stands until the sink invalidates it: no new questions.
    capture().enabled_switch = true;
    log::emit(gate, Level::Debug, kSite, "still disabled");
    EXPECT_EQ(capture().log_calls, 0U);
    EXPECT_EQ(capture().enabled_calls, asked);

    log::invalidate_enabled();
    log::emit(gate, Level::Debug, kSite, "enabled");
    EXPECT_EQ(capture().log_calls, 1U);
    EXPECT_GT(capture().enabled_calls, asked);
}

// The scopes a module that decides per call whether to log opens around the
// calls that do: the global level stays off, and only the thread in the scope
// emits, even while another thread runs at the same time outside it.
TEST_F(LogTest, AScopeRaisesOnlyItsOwnThreadsLevel) {
    const log::TargetGate gate{kSite.target};
    log::set_max_level(LevelFilter::Off);
    std::atomic<int> step{0};
    std::size_t outside_would_emit = 0;
    std::thread outside([&] {
        while (step.load() < 1) {
        }
        outside_would_emit += log::would_emit(gate, Level::Warn) ? 1 : 0;
        log::emit(gate, Level::Error, kSite, "outside");
        step.store(2);
    });
    {
        const log::ThreadScope scope(LevelFilter::Debug);
        EXPECT_TRUE(log::would_emit(gate, Level::Debug));
        EXPECT_FALSE(log::would_emit(gate, Level::Trace));
        step.store(1);
        while (step.load() < 2) {
        }
        log::emit(gate, Level::Debug, kSite, "inside");
        {
            const log::ThreadScope lower(LevelFilter::Error);  // never lowers the level
            log::emit(gate, Level::Debug, kSite, "nested");
        }
        log::emit(gate, Level::Debug, kSite, "after nested");
    }
    outside.join();
    log::emit(gate, Level::Error, kSite, "after the scope");
    EXPECT_EQ(outside_would_emit, 0U);
    ASSERT_EQ(capture().lines.size(), 3U);
    EXPECT_EQ(capture().lines[0].text, "inside");
    EXPECT_EQ(capture().lines[1].text, "nested");
    EXPECT_EQ(capture().lines[2].text, "after nested");
    log::set_max_level(LevelFilter::Debug);
}

TEST_F(LogTest, SettingTheGlobalLevelKeepsOpenScopesAndScopesChangeNothingBelowIt) {
    const log::TargetGate gate{kSite.target};
    log::set_max_level(LevelFilter::Off);
    {
        const log::ThreadScope scope(LevelFilter::Warn);
        log::set_max_level(LevelFilter::Off);  // another caller sets the global level meanwhile
        log::emit(gate, Level::Warn, kSite, "kept by the scope");
        log::emit(gate, Level::Info, kSite, "above the scope");
    }
    log::set_max_level(LevelFilter::Debug);  // the global level every thread emits at, as without scopes
    {
        const log::ThreadScope scope(LevelFilter::Error);
        log::emit(gate, Level::Debug, kSite, "kept by the global level");
    }
    log::emit(gate, Level::Trace, kSite, "above both");
    ASSERT_EQ(capture().lines.size(), 2U);
    EXPECT_EQ(capture().lines[0].text, "kept by the scope");
    EXPECT_EQ(capture().lines[1].text, "kept by the global level");
}

}  // namespace
}  // namespace quorlin::test
