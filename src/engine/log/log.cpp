#include "quorlin/engine/log.hpp"

#include <charconv>

#include "quorlin/engine/format.hpp"

namespace quorlin::log {
namespace detail {
std::atomic<std::uint32_t> g_max_level{static_cast<std::uint32_t>(LevelFilter::Off)};
// Starts above every memo's initial value so that each gate asks once.
std::atomic<std::uint64_t> g_enabled_epoch{1};
}  // namespace detail

namespace {

// The level of the calling thread's innermost scope; Off outside every scope.
thread_local LevelFilter t_scope_level = LevelFilter::Off;

class DiscardingSink final : public Sink {
public:
    bool enabled(const Metadata&) const noexcept override { return false; }
    void log(const Record&) noexcept override {}
};

DiscardingSink g_discarding_sink;

enum : std::uint8_t { kUninstalled = 0, kInstalling = 1, kInstalled = 2 };
std::atomic<std::uint8_t> g_state{kUninstalled};
Sink* g_sink = nullptr;

void append_unsigned(std::string& out, std::uint64_t value) {
    char buf[24];
    const auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

// A float or a double: in its shortest form, or with `decimals` digits.
template <class Real>
void append_real(std::string& out, Real value, int decimals) {
    if (decimals < 0) {
        append_shortest(out, value);
    } else {
        append_fixed(out, value, decimals);
    }
}

void append_arg(std::string& out, const Arg& arg, int decimals) {
    switch (arg.kind()) {
        case Arg::Kind::Unsigned:
            append_unsigned(out, arg.as_unsigned());
            break;
        case Arg::Kind::Float:
            append_real(out, arg.as_float(), decimals);
            break;
        case Arg::Kind::Double:
            append_real(out, arg.as_double(), decimals);
            break;
        case Arg::Kind::Bool:
            append_bool(out, arg.as_bool());
            break;
        case Arg::Kind::Sizes:
            append_unsigned(out, arg.as_sizes().first);
            out += ", ";
            append_unsigned(out, arg.as_sizes().second);
            break;
    }
}

}  // namespace

void Message::append_to(std::string& out) const {
    std::size_t next_arg = 0;
    std::size_t i = 0;
    while (i < format.size()) {
        const char c = format[i];
        if (c != '{') {
            out += c;
            ++i;
            continue;
        }
        // A placeholder runs to the next '}': "{}" or "{:.N}".
        const std::size_t close = format.find('}', i);
        if (close == std::string_view::npos || next_arg >= args.size()) {
            out.append(format.substr(i));
            return;
        }
        const std::string_view spec = format.substr(i + 1, close - i - 1);
        int decimals = -1;
        if (spec.size() == 3 && spec[0] == ':' && spec[1] == '.') {
            decimals = spec[2] - '0';
        }
        append_arg(out, args[next_arg++], decimals);
        i = close + 1;
    }
}

std::string Message::to_string() const {
    std::string out;
    out.reserve(format.size() + 16 * args.size());
    append_to(out);
    return out;
}

void set_max_level(LevelFilter filter) noexcept {
    std::uint32_t current = detail::g_max_level.load(std::memory_order_relaxed);
    while (!detail::g_max_level.compare_exchange_weak(
        current, (current & ~detail::kLevelMask) | static_cast<std::uint32_t>(filter), std::memory_order_relaxed)) {
    }
}

bool detail::scope_passes(Level level) noexcept { return passes(level, t_scope_level); }

ThreadScope::ThreadScope(LevelFilter filter) noexcept : outer_(t_scope_level) {
    if (static_cast<std::uint8_t>(filter) > static_cast<std::uint8_t>(outer_)) {
        t_scope_level = filter;
    }
    // The count only tells emitters to look at their thread's level: this
    // thread's own emitters see the level set above in program order.
    detail::g_max_level.fetch_add(detail::kScopeUnit, std::memory_order_relaxed);
}

ThreadScope::~ThreadScope() {
    detail::g_max_level.fetch_sub(detail::kScopeUnit, std::memory_order_relaxed);
    t_scope_level = outer_;
}

bool set_sink(Sink* sink) noexcept {
    std::uint8_t expected = kUninstalled;
    if (!g_state.compare_exchange_strong(expected, kInstalling, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
        return false;
    }
    g_sink = sink;
    g_state.store(kInstalled, std::memory_order_release);
    invalidate_enabled();
    return true;
}

Sink& sink() noexcept {
    if (g_state.load(std::memory_order_acquire) == kInstalled) {
        return *g_sink;
    }
    return g_discarding_sink;
}

std::uint64_t TargetGate::refresh(std::uint64_t epoch) const noexcept {
    // Bits 1..5 hold the answers for the five levels, the rest the epoch they
    // belong to. The epoch was read before the sink is asked, so an
    // invalidation racing with this refresh only makes the memo stale.
    const Sink& s = sink();
    std::uint64_t memo = epoch << 8;
    for (std::uint8_t level = 1; level <= 5; ++level) {
        if (s.enabled(Metadata{static_cast<Level>(level), target_})) {
            memo |= std::uint64_t{1} << level;
        }
    }
    memo_.store(memo, std::memory_order_relaxed);
    return memo;
}

}  // namespace quorlin::log
