#pragma once
// Every line the engine logs, in one table: its level, line number, format
// string and the kinds of its values, with the target, module path and
// source path that all of them share. Emitters name their entry, and the
// compiler checks the values they pass against it; the fuzz harness reads the
// table to check the lines it captures.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "quorlin/engine/log.hpp"

namespace quorlin::engine::detail {

// The target, module path and source path every engine record carries. They
// are part of what the records report to Python logging (a handler may filter
// on them), fixed names rather than the location of this file.
inline constexpr std::string_view kEngineTarget = "quorlinpy::mervane";
inline constexpr std::string_view kEngineModule = "quorlin_sorter";
inline constexpr std::string_view kEngineFile = "src/mervane/quorlin_sorter/src/lib";

enum class LogLine : std::uint8_t {
    SortStart,
    SortCrossLayout,
    SortAllCrossLayout,
    SortDensity,
    SegmentNoValidCuts,
    SegmentHorizontalCut,
    SegmentVerticalCut,
    SegmentOneGroup,
    SegmentSplit,
    MergeStart,
    MergeResult,
};

struct LogSite {
    LogLine id;
    quorlin::log::Level level;
    std::uint32_t line;
    std::string_view format;
    // One letter per value, in order: u a count, f a float, b a boolean,
    // s the sizes of two groups (displayed "a, b").
    std::string_view kinds;
};

inline constexpr LogSite kLogSites[] = {
    {LogLine::SortStart, quorlin::log::Level::Debug, 87, "[sort] {} elements (beta={}, density_threshold={})",
     "uff"},
    {LogLine::SortCrossLayout, quorlin::log::Level::Debug, 110, "[sort] cross-layout: {}, remaining: {}", "uu"},
    {LogLine::SortAllCrossLayout, quorlin::log::Level::Warn, 117,
     "[sort] all elements are cross-layout, falling back to y-then-x sort", ""},
    {LogLine::SortDensity, quorlin::log::Level::Debug, 126,
     "[sort] density_ratio={:.3}, prefer_horizontal_first={}", "fb"},
    {LogLine::SegmentNoValidCuts, quorlin::log::Level::Debug, 254,
     "[segment] no valid cuts for {} elements, falling back to y-then-x sort", "u"},
    {LogLine::SegmentHorizontalCut, quorlin::log::Level::Debug, 263,
     "[segment] horizontal cut at y={:.1} (gap={:.1}) on {} elements", "ffu"},
    {LogLine::SegmentVerticalCut, quorlin::log::Level::Debug, 270,
     "[segment] vertical cut at x={:.1} (gap={:.1}) on {} elements", "ffu"},
    {LogLine::SegmentOneGroup, quorlin::log::Level::Warn, 279,
     "[segment] cut produced only 1 group for {} elements, falling back to y-then-x sort", "u"},
    {LogLine::SegmentSplit, quorlin::log::Level::Debug, 287, "[segment] split into {} groups: {}", "us"},
    {LogLine::MergeStart, quorlin::log::Level::Debug, 468,
     "[merge] merging {} cross-layout elements into {} main elements", "uu"},
    {LogLine::MergeResult, quorlin::log::Level::Debug, 500, "[merge] result: {} elements total", "u"},
};

constexpr const LogSite& log_site(LogLine id) noexcept { return kLogSites[static_cast<std::size_t>(id)]; }

// Each entry stands at the index of its id, and each format has one
// placeholder per value.
constexpr bool log_sites_consistent() noexcept {
    for (std::size_t i = 0; i < std::size(kLogSites); ++i) {
        std::size_t placeholders = 0;
        for (const char c : kLogSites[i].format) {
            placeholders += c == '{' ? 1 : 0;
        }
        if (static_cast<std::size_t>(kLogSites[i].id) != i || placeholders != kLogSites[i].kinds.size()) {
            return false;
        }
    }
    return true;
}
static_assert(log_sites_consistent());

template <class T>
constexpr char log_kind_of() noexcept {
    if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, std::uint32_t>) {
        return 'u';
    } else if constexpr (std::is_same_v<T, float>) {
        return 'f';
    } else if constexpr (std::is_same_v<T, bool>) {
        return 'b';
    } else if constexpr (std::is_same_v<T, quorlin::log::GroupSizes>) {
        return 's';
    } else {
        return '?';
    }
}

template <class... Values>
constexpr bool log_kinds_match(std::string_view kinds) noexcept {
    constexpr char given[] = {log_kind_of<Values>()..., '\0'};
    return kinds == std::string_view(given, sizeof...(Values));
}

extern const quorlin::log::TargetGate g_engine_gate;

// Emits the line of one site with its values (built only when the line's
// level is enabled).
template <LogLine Id, class... Values>
inline void engine_log(const Values&... values) noexcept {
    constexpr const LogSite& site = log_site(Id);
    static_assert(log_kinds_match<Values...>(site.kinds), "the values do not match the site's kinds");
    static constexpr quorlin::log::Site kWhere{kEngineTarget, kEngineModule, kEngineFile, site.line};
    quorlin::log::emit(g_engine_gate, site.level, kWhere, site.format, values...);
}

}  // namespace quorlin::engine::detail
