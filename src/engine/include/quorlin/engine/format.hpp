#pragma once
// Number formatting shared by every log line.

#include <string>

namespace quorlin::log {

// A float with exactly `decimals` digits after the point, rounded from the
// exact single-precision value with ties to even: 12.25 -> "12.2",
// 12.75 -> "12.8". Infinities print as "inf"/"-inf", any NaN as "NaN", and a
// negative zero keeps its sign ("-0.0").
void append_fixed(std::string& out, float value, int decimals);
// The same for a double, rounded from its exact value.
void append_fixed(std::string& out, double value, int decimals);

// A float in its shortest round-trip decimal form, without exponent and
// without a forced decimal point: 2.0 -> "2", 0.9 -> "0.9".
void append_shortest(std::string& out, float value);
// The same for a double (the shortest form that reads back as that double).
void append_shortest(std::string& out, double value);

void append_bool(std::string& out, bool value);

}  // namespace quorlin::log
