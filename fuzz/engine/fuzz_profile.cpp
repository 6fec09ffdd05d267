// libFuzzer harness for the quality profile (quorlin/engine/profile.hpp).
//
// Input layout (all integers little-endian):
//
//   byte 0      mode
//                 bits 0-1  coordinate encoding
//                           0: raw 64-bit double bit patterns (8 bytes each),
//                              so every NaN, infinity, zero sign, subnormal
//                              and huge value can occur
//                           1: signed 16-bit integers (2 bytes each)
//                           2: signed 8-bit integers times 16 (1 byte each)
//                           3: raw 32-bit float bit patterns (4 bytes each)
//                 bit 2     page bounds are read first (one box); otherwise none
//                 bits 3-7  steps switched off: spread, rules, tolerance,
//                           top strip, margin notes
//   byte 1      bits 0-2  the number of separators that follow the bounds
//                 bit 3     each box is followed by one byte, its role code
//                           (any value: those past the last role are text)
//                 bits 4-7  steps of the roles switched off: drop capitals,
//                           captions, rows of articles, rows set apart by a
//                           band
//   rest        separators, then boxes: x1 y1 x2 y2 each (and a role byte);
//               a trailing partial box is ignored
//
// For every input the harness checks that
//   - the result is a permutation of the box indices;
//   - a second run, and a run that records a trace, give the same order;
//   - the trace accounts for every box exactly once (segmented by the engine,
//     set aside by it, a margin note, or not finite), its parts follow each
//     other in the segment order, and every reported set lies inside it.
// A failed check prints what was wrong and aborts, which libFuzzer reports as
// a crash and saves the input.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "quorlin/engine/profile.hpp"

namespace {

using quorlin::engine::PageBox;

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_profile check failed: %s\n", what);
        std::fflush(stderr);
        std::abort();
    }
}

class Reader {
public:
    Reader(std::span<const std::uint8_t> data, unsigned encoding) : data_(data), encoding_(encoding) {}

    bool box(PageBox& out) {
        double v[4];
        for (double& value : v) {
            if (!number(value)) {
                return false;
            }
        }
        out = PageBox{v[0], v[1], v[2], v[3]};
        return true;
    }

    bool byte(std::uint8_t& out) {
        if (data_.empty()) {
            return false;
        }
        out = data_.front();
        data_ = data_.subspan(1);
        return true;
    }

private:
    bool number(double& out) {
        const std::size_t size = encoding_ == 0 ? 8 : encoding_ == 1 ? 2 : encoding_ == 2 ? 1 : 4;
        if (data_.size() < size) {
            return false;
        }
        const std::uint8_t* p = data_.data();
        data_ = data_.subspan(size);
        switch (encoding_) {
            case 0: {
                std::uint64_t bits = 0;
                std::memcpy(&bits, p, 8);
                out = std::bit_cast<double>(bits);
                break;
            }
            case 1: {
                std::int16_t value = 0;
                std::memcpy(&value, p, 2);
                out = value;
                break;
            }
            case 2:
                out = 16.0 * static_cast<std::int8_t>(p[0]);
                break;
            default: {
                std::uint32_t bits = 0;
                std::memcpy(&bits, p, 4);
                out = std::bit_cast<float>(bits);
                break;
            }
        }
        return true;
    }

    std::span<const std::uint8_t> data_;
    unsigned encoding_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const unsigned mode = data[0];
    Reader reader(std::span<const std::uint8_t>(data + 2, size - 2), mode & 3U);
    quorlin::engine::ProfileOptions options;
    options.spread = (mode & 0x08U) == 0;
    options.rules = (mode & 0x10U) == 0;
    options.tolerance = (mode & 0x20U) == 0;
    options.top_strip = (mode & 0x40U) == 0;
    options.margins = (mode & 0x80U) == 0;
    const unsigned flags = data[1];
    options.initials = (flags & 0x10U) == 0;
    options.captions = (flags & 0x20U) == 0;
    options.articles = (flags & 0x40U) == 0;
    options.bands = (flags & 0x80U) == 0;
    const bool with_roles = (flags & 0x08U) != 0;

    PageBox bounds;
    const bool have_bounds = (mode & 4U) != 0 && reader.box(bounds);
    std::vector<PageBox> separators;
    for (unsigned i = 0; i < (data[1] & 7U); ++i) {
        PageBox s;
        if (reader.box(s)) {
            separators.push_back(s);
        }
    }
    std::vector<PageBox> boxes;
    std::vector<std::uint8_t> roles;
    for (PageBox b; reader.box(b);) {
        std::uint8_t role = 0;
        if (with_roles && !reader.byte(role)) {
            break;
        }
        boxes.push_back(b);
        if (with_roles) {
            roles.push_back(role);
        }
    }
    const PageBox* page_bounds = have_bounds ? &bounds : nullptr;

    const std::vector<std::uint32_t> order =
        quorlin::engine::order_profile(boxes, roles, page_bounds, separators, options);
    std::vector<std::uint32_t> sorted = order;
    std::sort(sorted.begin(), sorted.end());
    bool permutation = sorted.size() == boxes.size();
    for (std::size_t i = 0; permutation && i < sorted.size(); ++i) {
        permutation = sorted[i] == i;
    }
    check(permutation, "the order is not a permutation of the boxes");
    check(quorlin::engine::order_profile(boxes, roles, page_bounds, separators, options) == order,
          "a second run gave another order");

    quorlin::engine::ProfileTrace trace;
    check(quorlin::engine::order_profile(boxes, roles, page_bounds, separators, options, &trace) == order,
          "a traced run gave another order");
    std::vector<std::uint32_t> accounted = trace.segment_order;
    for (const auto* more : {&trace.set_aside, &trace.margin_notes, &trace.non_finite}) {
        accounted.insert(accounted.end(), more->begin(), more->end());
    }
    std::sort(accounted.begin(), accounted.end());
    check(accounted == sorted, "the trace does not account for every box exactly once");
    std::uint32_t reach = 0;
    for (const auto& part : trace.parts) {
        check(part.lo == reach && part.lo <= part.hi, "the parts do not follow each other");
        reach = part.hi;
    }
    check(reach == trace.segment_order.size(), "the parts do not cover the segment order");
    for (const auto& e : trace.events) {
        check(e.lo <= e.mid && e.mid <= e.hi && e.hi <= trace.segment_order.size(), "a reported set is out of range");
    }
    return 0;
}
