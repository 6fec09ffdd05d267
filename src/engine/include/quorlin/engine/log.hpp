#pragma once
// A small logging facade for the engine and the binding.
//
// Emitters compare a global maximum level before building anything, copy
// their values into a record (each value is an Arg: a number, a flag or two
// group sizes, held by value), and hand the record to the one process-wide
// sink. The message text is produced only by the sink, and only for records
// it forwards. Until a sink is installed every record is dropped.
//
// Besides the level every thread emits at, a thread may raise its own level
// for a while (ThreadScope): a module that decides per call whether a call
// logs keeps the global level off and opens a scope around each call that
// does. While no scope is open anywhere, a suppressed record still costs one
// load and one comparison; a thread outside every scope never emits above the
// global level, whatever other threads' scopes allow.

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quorlin::log {

// Levels ranked by verbosity; a filter passes a record whose rank is at most its own.
enum class Level : std::uint8_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };
enum class LevelFilter : std::uint8_t { Off = 0, Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

constexpr bool passes(Level level, LevelFilter filter) noexcept {
    return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(filter);
}

// The sizes of the two groups of a cut, displayed as "a, b".
struct GroupSizes {
    std::uint64_t first;
    std::uint64_t second;
};

// One value of a message, copied when the record is built. Nothing is
// formatted then.
class Arg {
public:
    enum class Kind : std::uint8_t { Unsigned, Float, Double, Bool, Sizes };

    constexpr Arg(std::uint64_t v) noexcept : kind_(Kind::Unsigned), u_(v) {}        // NOLINT
    constexpr Arg(std::uint32_t v) noexcept : kind_(Kind::Unsigned), u_(v) {}        // NOLINT
    constexpr Arg(float v) noexcept : kind_(Kind::Float), f_(v) {}                   // NOLINT
    constexpr Arg(double v) noexcept : kind_(Kind::Double), d_(v) {}                 // NOLINT
    constexpr Arg(bool v) noexcept : kind_(Kind::Bool), b_(v) {}                     // NOLINT
    constexpr Arg(GroupSizes v) noexcept : kind_(Kind::Sizes), sizes_(v) {}          // NOLINT

    Kind kind() const noexcept { return kind_; }
    std::uint64_t as_unsigned() const noexcept { return u_; }
    float as_float() const noexcept { return f_; }
    double as_double() const noexcept { return d_; }
    bool as_bool() const noexcept { return b_; }
    GroupSizes as_sizes() const noexcept { return sizes_; }

private:
    Kind kind_;
    union {
        std::uint64_t u_;
        float f_;
        double d_;
        bool b_;
        GroupSizes sizes_;
    };
};

// A format string with its captured values. Placeholders: "{}" (default
// display), "{:.1}" and "{:.3}" (a float or double with one or three decimals).
struct Message {
    std::string_view format;
    std::span<const Arg> args;

    void append_to(std::string& out) const;
    std::string to_string() const;
};

struct Metadata {
    Level level;
    std::string_view target;
};

struct Record {
    Metadata metadata;
    Message message;
    std::string_view module_path;
    std::optional<std::string_view> file;
    std::optional<std::uint32_t> line;
};

// The process-wide destination of records.
class Sink {
public:
    virtual ~Sink() = default;
    // Whether a record with this metadata would be forwarded now.
    virtual bool enabled(const Metadata& metadata) const noexcept = 0;
    // Forwards one record; never fails towards the emitter.
    virtual void log(const Record& record) noexcept = 0;
};

namespace detail {
// The level every thread emits at (the low byte, a LevelFilter) and, above
// it, the number of open thread scopes (kScopeUnit each): the one word an
// emitter loads first.
extern std::atomic<std::uint32_t> g_max_level;
inline constexpr std::uint32_t kScopeUnit = 0x100;
inline constexpr std::uint32_t kLevelMask = 0xFF;
extern std::atomic<std::uint64_t> g_enabled_epoch;

// Whether the calling thread is inside a scope whose level passes `level`.
bool scope_passes(Level level) noexcept;
}  // namespace detail

// Sets the level every thread emits at; open scopes stay open.
void set_max_level(LevelFilter filter) noexcept;

// Raises the calling thread's level to `filter` (never lowers it) until the
// scope ends; scopes nest. Other threads keep their own level.
class ThreadScope {
public:
    explicit ThreadScope(LevelFilter filter) noexcept;
    ~ThreadScope();
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;

private:
    LevelFilter outer_;
};

// Installs the process-wide sink (uninstalled -> installing -> installed).
// Returns false when a sink was installed before: the caller reports that as
// a SetLoggerError. The sink must live until the process ends.
bool set_sink(Sink* sink) noexcept;

// The installed sink, or a sink that discards everything.
Sink& sink() noexcept;

// A sink calls this whenever its answers to enabled() may have changed, so
// that emitters re-ask it instead of trusting their memo.
inline void invalidate_enabled() noexcept {
    detail::g_enabled_epoch.fetch_add(1, std::memory_order_acq_rel);
}

// The fixed facts of one emitting place: target, module, file and line.
struct Site {
    std::string_view target;
    std::string_view module_path;
    std::string_view file;
    std::uint32_t line;
};

// Memo of the sink's enabled() answers for one target, valid while no sink
// has invalidated them. Lets a suppressed line cost a couple of loads and
// compares, with no lookup in the sink, yet never hides a line the sink would
// forward: a stale memo is simply recomputed.
class TargetGate {
public:
    constexpr explicit TargetGate(std::string_view target) noexcept : target_(target) {}

    bool enabled(Level level) const noexcept {
        const std::uint64_t epoch = detail::g_enabled_epoch.load(std::memory_order_acquire);
        std::uint64_t memo = memo_.load(std::memory_order_relaxed);
        if ((memo >> 8) != epoch) {
            memo = refresh(epoch);
        }
        return ((memo >> static_cast<unsigned>(level)) & 1U) != 0;
    }

private:
    std::uint64_t refresh(std::uint64_t epoch) const noexcept;

    std::string_view target_;
    mutable std::atomic<std::uint64_t> memo_{0};
};

// Whether a record of this level through this gate would reach the sink:
// one load and one comparison when the level is above the global maximum
// and no scope is open. Above the global level only a scope of the calling
// thread lets a record through.
inline bool would_emit(const TargetGate& gate, Level level) noexcept {
    const std::uint32_t max = detail::g_max_level.load(std::memory_order_relaxed);
    const auto rank = static_cast<std::uint32_t>(level);
    if (rank > max) {
        return false;
    }
    if (rank > (max & detail::kLevelMask) && !detail::scope_passes(level)) {
        return false;
    }
    return gate.enabled(level);
}

// Emits one record from a fixed site when would_emit() allows it: the values
// are copied (not formatted) into the record and it goes to the sink.
template <class... Values>
inline void emit(const TargetGate& gate, Level level, const Site& site, std::string_view format,
                 const Values&... values) noexcept {
    if (!would_emit(gate, level)) {
        return;
    }
    const Arg args[sizeof...(Values) + 1] = {Arg(values)..., Arg(false)};
    const Record record{
        Metadata{level, site.target},
        Message{format, std::span<const Arg>(args, sizeof...(Values))},
        site.module_path,
        site.file,
        site.line,
    };
    sink().log(record);
}

}  // namespace quorlin::log
