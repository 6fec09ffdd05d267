#include "quorlin_sorter/format.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace quorlin::log {
namespace {

// Handles the values that have no digits; returns true when it wrote one.
bool append_special(std::string& out, float value) {
    if (std::isnan(value)) {
        out += "NaN";
        return true;
    }
    if (std::isinf(value)) {
        out += value < 0 ? "-inf" : "inf";
        return true;
    }
    return false;
}

}  // namespace

void append_fixed(std::string& out, float value, int decimals) {
    if (append_special(out, value)) {
        return;
    }
    // The widening to double is exact, and to_chars with a precision rounds
    // the exact binary value correctly (ties to even), so the digits are
    // those of the single-precision value itself. The largest float has 39
    // integer digits.
    std::array<char, 64> buf{};
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), static_cast<double>(value),
                                   std::chars_format::fixed, decimals);
    out.append(buf.data(), res.ptr);
}

void append_shortest(std::string& out, float value) {
    if (append_special(out, value)) {
        return;
    }
    std::array<char, 64> buf{};
    const auto res =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed);
    out.append(buf.data(), res.ptr);
}

void append_bool(std::string& out, bool value) { out += value ? "true" : "false"; }

}  // namespace quorlin::log
