#include "quorlin/engine/format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

namespace quorlin::log {
namespace {

// Handles the values that have no digits; returns true when it wrote one.
template <class Real>
bool append_special(std::string& out, Real value) {
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

// A double with `decimals` digits after the point: to_chars with a precision
// rounds the exact binary value correctly (ties to even). The largest double
// has 309 integer digits.
void append_fixed_double(std::string& out, double value, int decimals) {
    if (append_special(out, value)) {
        return;
    }
    std::array<char, 352> buf{};
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed, decimals);
    out.append(buf.data(), res.ptr);
}

template <class Real>
void append_shortest_of(std::string& out, Real value) {
    if (append_special(out, value)) {
        return;
    }
    // The shortest round-trip digits come from the scientific form
    // ("1.2345e-07"); they are then written out in plain positional notation,
    // padded with zeros, as "100000000000000000000" for 1e20.
    std::array<char, 64> buf{};
    const auto res =
        std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::scientific);
    const std::string_view text(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
    const std::size_t e_pos = text.find('e');
    std::string_view mantissa = text.substr(0, e_pos);
    if (!mantissa.empty() && mantissa.front() == '-') {
        out += '-';
        mantissa.remove_prefix(1);
    }
    std::string digits;
    for (const char c : mantissa) {
        if (c != '.') {
            digits += c;
        }
    }
    int exponent = 0;
    const std::string_view exp_text = text.substr(e_pos + 1);
    std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0), exp_text.data() + exp_text.size(),
                    exponent);
    // Number of digits before the decimal point.
    const int point = exponent + 1;
    const auto n = static_cast<int>(digits.size());
    if (point <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-point), '0');
        out += digits;
    } else if (point >= n) {
        out += digits;
        out.append(static_cast<std::size_t>(point - n), '0');
    } else {
        out.append(digits, 0, static_cast<std::size_t>(point));
        out += '.';
        out.append(digits, static_cast<std::size_t>(point), std::string::npos);
    }
}

}  // namespace

// The widening to double is exact, so the digits are those of the
// single-precision value itself.
void append_fixed(std::string& out, float value, int decimals) {
    append_fixed_double(out, static_cast<double>(value), decimals);
}

void append_fixed(std::string& out, double value, int decimals) { append_fixed_double(out, value, decimals); }

void append_shortest(std::string& out, float value) { append_shortest_of(out, value); }

void append_shortest(std::string& out, double value) { append_shortest_of(out, value); }

void append_bool(std::string& out, bool value) { out += value ? "true" : "false"; }

}  // namespace quorlin::log
