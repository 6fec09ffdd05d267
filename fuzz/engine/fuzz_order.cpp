// libFuzzer harness for the ordering engine.
//
// Input layout (all integers little-endian):
//
//   byte 0      mode
//                 bits 0-1  coordinate encoding
//                           0, 3: raw 32-bit float bit patterns (4 bytes each),
//                                 so every NaN payload, infinity, zero sign and
//                                 subnormal can occur
//                           1:    signed 16-bit integers (2 bytes each)
//                           2:    signed 8-bit integers times 4 (1 byte each)
//                 bit 2     ids are read from the input (8 bytes before the
//                           four coordinates); otherwise id = record index
//                 bit 3     a 4-byte float bit pattern follows the mode byte
//                           and replaces the reference width of the
//                           cross-layout width gate, so that masking, merge and
//                           the all-cross-layout fallback are reached often
//   rest        records: [id] x1 y1 x2 y2; a trailing partial record is ignored
//
// For every input the harness checks that
//   - the result is a permutation of the input (bit-identical records);
//   - two runs give the same result and the same log lines;
//   - swapping the corners of every box changes neither;
//   - the engine's observer reports exactly what the log lines say, in the
//     same order, and an observed run gives the same order;
//   - a run that wants no log line of a cut (which lets the engine take its
//     shortcuts) gives the same order;
//   - every log line is well-formed (target, source, line number, level and
//     text as the engine's table of log sites gives them) and the lines
//     describe a consistent run: counts add up, every split of the
//     segmentation is followed by its two groups depth first, and each set
//     that falls back to y-then-x order comes out sorted that way.
// A failed check prints what was wrong and aborts, which libFuzzer reports as
// a crash and saves the input. With QUORLIN_FUZZ_PRINT set in the environment
// the harness also prints each input's log lines and resulting ids, which is
// how a seed is checked to reach the path it was written for.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "xycut/detail.hpp"
#include "quorlin/engine/format.hpp"
#include "quorlin/engine/log.hpp"
#include "quorlin/engine/observer.hpp"
#include "quorlin/engine/sorter.hpp"

namespace {

using quorlin::engine::ElementRecord;
namespace qlog = quorlin::log;
namespace detail = quorlin::engine::detail;
using detail::LogLine;

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
    std::fprintf(stderr, "fuzz_order check failed: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
    std::fflush(stderr);
    std::abort();
}

void check(bool ok, const char* what, const std::string& detail = {}) {
    if (!ok) {
        fail(what, detail);
    }
}

// ---- Capturing sink ----------------------------------------------------------

struct Line {
    qlog::Level level;
    std::string target;
    std::string module_path;
    std::string file;
    std::uint32_t line;
    std::string text;

    friend bool operator==(const Line&, const Line&) = default;
};

class CapturingSink final : public qlog::Sink {
public:
    bool enabled(const qlog::Metadata&) const noexcept override { return true; }
    void log(const qlog::Record& record) noexcept override {
        lines.push_back(Line{record.metadata.level, std::string(record.metadata.target),
                             std::string(record.module_path), record.file ? std::string(*record.file) : "<none>",
                             record.line.value_or(0), record.message.to_string()});
    }

    std::vector<Line> lines;
};

CapturingSink g_sink;
bool g_print = false;

// ---- Independent float helpers (not the engine's own) ---------------------

float min_num(float a, float b) {
    if (a != a) return b != b ? a : b;
    if (b != b) return a;
    if (a == b) return std::signbit(a) ? a : b;
    return a < b ? a : b;
}

// IEEE 754 totalOrder as a signed integer: negative patterns get their 31
// low bits inverted.
std::int64_t total_order(float value) {
    auto bits = std::bit_cast<std::int32_t>(value);
    if (bits < 0) {
        bits ^= 0x7FFFFFFF;
    }
    return bits;
}

bool same_bits(const ElementRecord& a, const ElementRecord& b) {
    return a.id == b.id && std::bit_cast<std::uint32_t>(a.x1) == std::bit_cast<std::uint32_t>(b.x1) &&
           std::bit_cast<std::uint32_t>(a.y1) == std::bit_cast<std::uint32_t>(b.y1) &&
           std::bit_cast<std::uint32_t>(a.x2) == std::bit_cast<std::uint32_t>(b.x2) &&
           std::bit_cast<std::uint32_t>(a.y2) == std::bit_cast<std::uint32_t>(b.y2);
}

std::string describe(const ElementRecord& r) {
    char buf[160];
    std::snprintf(buf, sizeof buf, "{id=%llu %08x %08x %08x %08x}", static_cast<unsigned long long>(r.id),
                  std::bit_cast<std::uint32_t>(r.x1), std::bit_cast<std::uint32_t>(r.y1),
                  std::bit_cast<std::uint32_t>(r.x2), std::bit_cast<std::uint32_t>(r.y2));
    return buf;
}

// ---- Input decoding ----------------------------------------------------------

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::size_t remaining() const { return size_ - pos_; }
    template <class T>
    T take() {
        T value{};
        std::memcpy(&value, data_ + pos_, sizeof(T));
        pos_ += sizeof(T);
        return value;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

struct Input {
    std::vector<ElementRecord> records;
    std::optional<float> reference_width;
    bool index_ids = true;
};

Input decode(const std::uint8_t* data, std::size_t size) {
    Input in;
    if (size == 0) {
        return in;
    }
    Reader r(data, size);
    const auto mode = r.take<std::uint8_t>();
    const unsigned encoding = mode & 3U;
    in.index_ids = (mode & 4U) == 0;
    if ((mode & 8U) != 0 && r.remaining() >= 4) {
        in.reference_width = std::bit_cast<float>(r.take<std::uint32_t>());
    }
    const std::size_t coord_size = encoding == 1 ? 2 : encoding == 2 ? 1 : 4;
    const std::size_t record_size = 4 * coord_size + (in.index_ids ? 0 : 8);
    in.records.reserve(r.remaining() / record_size);
    while (r.remaining() >= record_size) {
        ElementRecord rec;
        rec.id = in.index_ids ? in.records.size() : r.take<std::uint64_t>();
        float c[4];
        for (float& v : c) {
            if (encoding == 1) {
                v = static_cast<float>(r.take<std::int16_t>());
            } else if (encoding == 2) {
                v = static_cast<float>(r.take<std::int8_t>()) * 4.0F;
            } else {
                v = std::bit_cast<float>(r.take<std::uint32_t>());
            }
        }
        rec.x1 = c[0];
        rec.y1 = c[1];
        rec.x2 = c[2];
        rec.y2 = c[3];
        in.records.push_back(rec);
    }
    return in;
}

// ---- The observer ----------------------------------------------------------------

// Turns each report of the engine's observer back into the log line (or the
// two lines) it stands for, so that a run with an observer can be checked
// against the lines the same run logged.
class Retelling final : public quorlin::engine::Observer {
public:
    explicit Retelling(std::size_t n) : n_(n) {}

    void set_aside(std::span<const std::uint32_t> indices) noexcept override {
        lines.push_back("110 [sort] cross-layout: " + std::to_string(indices.size()) +
                        ", remaining: " + std::to_string(n_ - indices.size()));
    }
    void all_cross_layout() noexcept override {
        lines.push_back("117 [sort] all elements are cross-layout, falling back to y-then-x sort");
    }
    void cut(const quorlin::engine::CutReport& c) noexcept override {
        cut_line(c);
        lines.push_back("287 [segment] split into 2 groups: " + std::to_string(c.mid - c.lo) + ", " +
                        std::to_string(c.hi - c.mid));
    }
    void one_group(const quorlin::engine::CutReport& c) noexcept override {
        cut_line(c);
        lines.push_back("279 [segment] cut produced only 1 group for " + std::to_string(c.hi - c.lo) +
                        " elements, falling back to y-then-x sort");
    }
    void no_valid_cut(const quorlin::engine::FallbackReport& f) noexcept override {
        lines.push_back("254 [segment] no valid cuts for " + std::to_string(f.hi - f.lo) +
                        " elements, falling back to y-then-x sort");
    }

    std::vector<std::string> lines;

private:
    void cut_line(const quorlin::engine::CutReport& c) {
        const bool h = c.axis == quorlin::engine::CutAxis::Horizontal;
        std::string line = h ? "263 [segment] horizontal cut at y=" : "270 [segment] vertical cut at x=";
        qlog::append_fixed(line, c.position, 1);
        line += " (gap=";
        qlog::append_fixed(line, c.gap, 1);
        line += ") on " + std::to_string(c.hi - c.lo) + " elements";
        lines.push_back(line);
    }
    std::size_t n_;
};

// The observer tells what the log tells: every line a report stands for, in
// the same order, and the same order of the elements.
void check_observer(const Input& in, const std::vector<ElementRecord>& result, const std::vector<Line>& logged) {
    const detail::Table table = detail::table_of(in.records);
    Retelling retelling(in.records.size());
    g_sink.lines.clear();
    const std::vector<std::uint32_t> order = detail::order_table(
        table, in.reference_width ? *in.reference_width : detail::reference_width(table), &retelling);
    g_sink.lines.clear();
    check(order.size() == result.size(), "the observed run returned another number of elements");
    for (std::size_t i = 0; i < order.size(); ++i) {
        check(same_bits(in.records[order[i]], result[i]), "the observed run gave another order");
    }
    std::vector<std::string> expected;
    for (const Line& l : logged) {
        if (l.line != 87 && l.line != 126 && l.line != 468 && l.line != 500) {
            expected.push_back(std::to_string(l.line) + " " + l.text);
        }
    }
    check(retelling.lines == expected, "the observer's reports differ from the log lines");
}

// ---- Running the engine --------------------------------------------------------

struct Run {
    std::vector<ElementRecord> result;
    std::vector<Line> lines;
};

Run run(const Input& in, std::span<const ElementRecord> records) {
    g_sink.lines.clear();
    Run out;
    if (in.reference_width) {
        out.result = detail::order_records(records, *in.reference_width);
    } else {
        out.result = quorlin::engine::order_elements(records);
    }
    out.lines = std::move(g_sink.lines);
    return out;
}

// The result holds every input record exactly once, bit for bit.
void check_permutation(std::span<const ElementRecord> input, std::span<const ElementRecord> result, bool index_ids) {
    check(result.size() == input.size(), "result size differs from input size",
          std::to_string(result.size()) + " vs " + std::to_string(input.size()));
    if (index_ids) {
        std::vector<bool> seen(input.size(), false);
        for (const ElementRecord& r : result) {
            check(r.id < input.size(), "result holds an id that is not an input index", describe(r));
            check(!seen[r.id], "result holds a record twice", describe(r));
            seen[r.id] = true;
            check(same_bits(r, input[r.id]), "result record differs from its input record",
                  describe(r) + " vs " + describe(input[r.id]));
        }
        return;
    }
    auto bits_less = [](const ElementRecord& a, const ElementRecord& b) {
        const auto key = [](const ElementRecord& r) {
            return std::tuple(r.id, std::bit_cast<std::uint32_t>(r.x1), std::bit_cast<std::uint32_t>(r.y1),
                              std::bit_cast<std::uint32_t>(r.x2), std::bit_cast<std::uint32_t>(r.y2));
        };
        return key(a) < key(b);
    };
    std::vector<ElementRecord> a(input.begin(), input.end());
    std::vector<ElementRecord> b(result.begin(), result.end());
    std::sort(a.begin(), a.end(), bits_less);
    std::sort(b.begin(), b.end(), bits_less);
    for (std::size_t i = 0; i < a.size(); ++i) {
        check(same_bits(a[i], b[i]), "result is not a permutation of the input", describe(a[i]) + " vs " + describe(b[i]));
    }
}

// ---- Log line grammar ----------------------------------------------------------

// Matches text against a pattern whose placeholders are {u} (unsigned
// decimal), {f} (shortest positional decimal), {f1} / {f3} (fixed with 1 / 3
// decimals), each float also inf, -inf or NaN, and {b} (true / false);
// returns the placeholder texts in order, or nothing.
std::optional<std::vector<std::string>> match(std::string_view pattern, std::string_view text) {
    std::vector<std::string> values;
    std::size_t p = 0;
    std::size_t t = 0;
    const auto is_digit = [](char c) { return c >= '0' && c <= '9'; };
    while (p < pattern.size()) {
        if (pattern[p] != '{') {
            if (t >= text.size() || text[t] != pattern[p]) {
                return std::nullopt;
            }
            ++p;
            ++t;
            continue;
        }
        const std::size_t close = pattern.find('}', p);
        const std::string_view kind = pattern.substr(p + 1, close - p - 1);
        p = close + 1;
        const std::size_t start = t;
        if (kind == "u") {
            while (t < text.size() && is_digit(text[t])) ++t;
            if (t == start || (text[start] == '0' && t - start > 1)) return std::nullopt;
        } else if (kind == "b") {
            if (text.substr(t, 4) == "true") {
                t += 4;
            } else if (text.substr(t, 5) == "false") {
                t += 5;
            } else {
                return std::nullopt;
            }
        } else {
            // {f}: any number of decimals after an optional point; {f1}, {f3}: exactly that many.
            const std::size_t decimals = kind == "f1" ? 1 : kind == "f3" ? 3 : 0;
            for (std::string_view special : {"-inf", "inf", "NaN"}) {
                if (text.substr(t, special.size()) == special) {
                    t += special.size();
                    break;
                }
            }
            if (t == start) {
                if (t < text.size() && text[t] == '-') ++t;
                const std::size_t int_start = t;
                while (t < text.size() && is_digit(text[t])) ++t;
                if (t == int_start || (text[int_start] == '0' && t - int_start > 1)) return std::nullopt;
                if (kind == "f") {
                    if (t < text.size() && text[t] == '.') {
                        const std::size_t frac_start = ++t;
                        while (t < text.size() && is_digit(text[t])) ++t;
                        if (t == frac_start || text[t - 1] == '0') return std::nullopt;
                    }
                } else {
                    if (t >= text.size() || text[t] != '.') return std::nullopt;
                    ++t;
                    for (std::size_t i = 0; i < decimals; ++i, ++t) {
                        if (t >= text.size() || !is_digit(text[t])) return std::nullopt;
                    }
                }
            }
        }
        values.emplace_back(text.substr(start, t - start));
    }
    if (t != text.size()) {
        return std::nullopt;
    }
    return values;
}

// The pattern of an engine line, from the engine's own table: each "{}"
// becomes the placeholder of its value's kind, "{:.1}" and "{:.3}" the fixed
// forms.
std::string pattern_of(const detail::LogSite& site) {
    std::string pattern;
    std::size_t value = 0;
    for (std::size_t i = 0; i < site.format.size(); ++i) {
        if (site.format[i] != '{') {
            pattern += site.format[i];
            continue;
        }
        const std::size_t close = site.format.find('}', i);
        const std::string_view spec = site.format.substr(i + 1, close - i - 1);
        const char kind = site.kinds[value++];
        if (spec == ":.1") {
            pattern += "{f1}";
        } else if (spec == ":.3") {
            pattern += "{f3}";
        } else if (kind == 's') {
            pattern += "{u}, {u}";
        } else {
            pattern += kind == 'u' ? "{u}" : kind == 'f' ? "{f}" : "{b}";
        }
        i = close;
    }
    return pattern;
}

struct Parsed {
    detail::LogLine id;
    std::vector<std::string> values;
    std::uint64_t u(std::size_t i) const { return std::strtoull(values.at(i).c_str(), nullptr, 10); }
    double f(std::size_t i) const { return std::strtod(values.at(i).c_str(), nullptr); }
};

// Checks the fixed fields and the text of one line against its entry in the
// engine's table and extracts its values.
Parsed parse_line(const Line& l) {
    check(l.target == detail::kEngineTarget, "log line with a wrong target", l.target);
    check(l.module_path == detail::kEngineModule, "log line with a wrong module path", l.module_path);
    check(l.file == detail::kEngineFile, "log line with a wrong source path", l.file);
    check(l.text.find_first_of("{}") == std::string::npos, "log line with an unfilled placeholder", l.text);
    for (const detail::LogSite& site : detail::kLogSites) {
        if (site.line != l.line) {
            continue;
        }
        check(site.level == l.level, "log line with a wrong level", l.text);
        auto values = match(pattern_of(site), l.text);
        check(values.has_value(), "malformed log line", std::to_string(l.line) + ": " + l.text);
        return Parsed{site.id, std::move(*values)};
    }
    fail("log line with an unknown line number", std::to_string(l.line) + ": " + l.text);
}

// Walks the parsed lines of one run and checks that they tell a consistent
// story. `leaves` receives the sizes of the segmentation's final sets in
// depth-first order, each with whether it came out in y-then-x order.
class StoryChecker {
public:
    StoryChecker(std::vector<Parsed> lines, std::size_t n) : lines_(std::move(lines)), n_(n) {}

    struct Leaf {
        std::uint64_t size;
        bool sorted_y_then_x;
    };

    // Returns the number of cross-layout elements K.
    std::uint64_t check_pipeline() {
        if (n_ < 2) {
            check(lines_.empty(), "a page of fewer than two elements logged a line");
            return 0;
        }
        const Parsed& start = next(LogLine::SortStart);
        check(start.u(0) == n_, "[sort] line reports a wrong element count");
        check(start.values[1] == "2" && start.values[2] == "0.9", "[sort] line reports wrong parameters");
        const Parsed& counts = next(LogLine::SortCrossLayout);
        const std::uint64_t k = counts.u(0);
        const std::uint64_t m = counts.u(1);
        check(k + m == n_, "cross-layout and remaining counts do not add up to n");
        check(n_ >= 3 || k == 0, "a page of two elements has a cross-layout element");
        if (m == 0) {
            next(LogLine::SortAllCrossLayout);
            check(pos_ == lines_.size(), "lines after the all-cross-layout fallback");
            return k;
        }
        const Parsed& density = next(LogLine::SortDensity);
        const double ratio = density.f(0);
        check(ratio >= 0.0 && ratio <= 1.0, "density ratio outside [0, 1]", density.values[0]);
        const bool prefer = density.values[1] == "true";
        check(prefer ? ratio >= 0.9 : ratio <= 0.9, "prefer_horizontal_first contradicts the density ratio");
        segment_set(m);
        if (k > 0) {
            const Parsed& merging = next(LogLine::MergeStart);
            check(merging.u(0) == k && merging.u(1) == m, "[merge] line reports wrong counts");
            const Parsed& result = next(LogLine::MergeResult);
            check(result.u(0) == n_, "[merge] result line reports a wrong total");
        }
        check(pos_ == lines_.size(), "unexpected lines after the run");
        return k;
    }

    const std::vector<Leaf>& leaves() const { return leaves_; }

private:
    static std::string line_number(LogLine id) { return std::to_string(detail::log_site(id).line); }

    const Parsed& next(LogLine id) {
        check(pos_ < lines_.size(), "log ends early", "expected line " + line_number(id));
        const Parsed& p = lines_[pos_++];
        check(p.id == id, "unexpected log line", "expected " + line_number(id) + ", got " + line_number(p.id));
        return p;
    }

    LogLine peek() const {
        check(pos_ < lines_.size(), "log ends inside the segmentation");
        return lines_[pos_].id;
    }

    // One set of n elements, depth first, with an explicit stack so that a
    // staircase of thousands of levels needs no deep recursion here either.
    void segment_set(std::uint64_t root) {
        std::vector<std::uint64_t> pending{root};
        while (!pending.empty()) {
            const std::uint64_t n = pending.back();
            pending.pop_back();
            if (n < 2) {
                leaves_.push_back({n, true});
                continue;
            }
            const LogLine line = peek();
            if (line == LogLine::SegmentNoValidCuts) {
                check(next(line).u(0) == n, "no-valid-cuts line reports a wrong count");
                leaves_.push_back({n, true});
                continue;
            }
            check(line == LogLine::SegmentHorizontalCut || line == LogLine::SegmentVerticalCut,
                  "a set of two or more elements neither cut nor fell back");
            const Parsed& cut = next(line);
            check(cut.u(2) == n, "cut line reports a wrong count");
            const double gap = cut.f(1);
            check(gap >= 5.0, "a cut with a gap below the minimum", cut.values[1]);
            if (peek() == LogLine::SegmentOneGroup) {
                check(next(LogLine::SegmentOneGroup).u(0) == n, "one-group line reports a wrong count");
                leaves_.push_back({n, true});
                continue;
            }
            const Parsed& split = next(LogLine::SegmentSplit);
            check(split.u(0) == 2, "split line reports a number of groups other than 2");
            const std::uint64_t a = split.u(1);
            const std::uint64_t b = split.u(2);
            check(a >= 1 && b >= 1 && a + b == n, "split sizes do not add up");
            pending.push_back(b);
            pending.push_back(a);
        }
    }

    std::vector<Parsed> lines_;
    std::size_t n_;
    std::size_t pos_ = 0;
    std::vector<Leaf> leaves_;
};

// Records of one y-then-x range are ascending by (top, left) in totalOrder;
// with index ids, equal keys keep input order.
void check_y_then_x(std::span<const ElementRecord> range, bool index_ids, const char* what) {
    for (std::size_t i = 1; i < range.size(); ++i) {
        const ElementRecord& a = range[i - 1];
        const ElementRecord& b = range[i];
        const auto ka = std::pair(total_order(min_num(a.y1, a.y2)), total_order(min_num(a.x1, a.x2)));
        const auto kb = std::pair(total_order(min_num(b.y1, b.y2)), total_order(min_num(b.x1, b.x2)));
        check(ka <= kb, what, describe(a) + " before " + describe(b));
        if (index_ids && ka == kb) {
            check(a.id < b.id, "equal y-then-x keys out of input order", describe(a) + " before " + describe(b));
        }
    }
}

void check_story(const Input& in, const Run& r) {
    std::vector<Parsed> parsed;
    parsed.reserve(r.lines.size());
    for (const Line& l : r.lines) {
        parsed.push_back(parse_line(l));
    }
    StoryChecker story(std::move(parsed), in.records.size());
    const std::uint64_t k = story.check_pipeline();
    if (in.records.size() < 2) {
        for (std::size_t i = 0; i < r.result.size(); ++i) {
            check(same_bits(r.result[i], in.records[i]), "a page of fewer than two elements was reordered");
        }
        return;
    }
    if (k == in.records.size()) {
        check_y_then_x(r.result, in.index_ids, "all-cross-layout result is not in y-then-x order");
        return;
    }
    if (k != 0) {
        return;  // the main elements are interleaved with the merged ones
    }
    // Without cross-layout elements the result is the concatenation of the
    // segmentation's final sets, each in y-then-x order.
    std::size_t at = 0;
    for (const auto& leaf : story.leaves()) {
        check(at + leaf.size <= r.result.size(), "segmentation sets exceed the result");
        check_y_then_x(std::span(r.result).subspan(at, leaf.size), in.index_ids,
                       "a set without a usable cut is not in y-then-x order");
        at += leaf.size;
    }
    check(at == r.result.size(), "segmentation sets do not cover the result");
}

// The same boxes with their corners swapped. A pair of two NaNs with different
// bit patterns stays as it is: minNum of two NaNs keeps the first one, so the
// swap would change the sort key.
std::vector<ElementRecord> swapped_corners(std::span<const ElementRecord> records) {
    const auto swappable = [](float a, float b) {
        return !(a != a && b != b && std::bit_cast<std::uint32_t>(a) != std::bit_cast<std::uint32_t>(b));
    };
    std::vector<ElementRecord> out(records.begin(), records.end());
    for (ElementRecord& r : out) {
        if (swappable(r.x1, r.x2)) std::swap(r.x1, r.x2);
        if (swappable(r.y1, r.y2)) std::swap(r.y1, r.y2);
    }
    return out;
}

std::vector<std::uint64_t> ids_of(std::span<const ElementRecord> records) {
    std::vector<std::uint64_t> ids;
    ids.reserve(records.size());
    for (const ElementRecord& r : records) ids.push_back(r.id);
    return ids;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    check(qlog::set_sink(&g_sink), "a sink was already installed");
    g_print = std::getenv("QUORLIN_FUZZ_PRINT") != nullptr;
    qlog::set_max_level(qlog::LevelFilter::Debug);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Input in = decode(data, size);

    const Run first = run(in, in.records);
    if (g_print) {
        for (const Line& l : first.lines) {
            std::printf("  %u %s\n", l.line, l.text.c_str());
        }
        std::printf("  ids:");
        for (const ElementRecord& r : first.result) {
            std::printf(" %llu", static_cast<unsigned long long>(r.id));
        }
        std::printf("\n");
    }
    check_permutation(in.records, first.result, in.index_ids);
    check_story(in, first);
    check_observer(in, first.result, first.lines);

    const Run second = run(in, in.records);
    check(second.lines == first.lines, "two runs logged different lines");
    for (std::size_t i = 0; i < first.result.size(); ++i) {
        check(same_bits(first.result[i], second.result[i]), "two runs gave different results");
    }

    const std::vector<ElementRecord> swapped = swapped_corners(in.records);
    const Run mirrored = run(in, swapped);
    check(ids_of(mirrored.result) == ids_of(first.result), "swapped corners changed the order");
    check(mirrored.lines == first.lines, "swapped corners changed the log lines");

    // With no line of a cut wanted, the engine may order a stack in one sort
    // and two boxes directly: the order must be the one the logged run took.
    qlog::set_max_level(qlog::LevelFilter::Warn);
    const Run quiet = run(in, in.records);
    qlog::set_max_level(qlog::LevelFilter::Debug);
    check(quiet.result.size() == first.result.size(), "the quiet run returned another number of elements");
    for (std::size_t i = 0; i < first.result.size(); ++i) {
        check(same_bits(quiet.result[i], first.result[i]), "the quiet run gave another order");
    }
    return 0;
}
