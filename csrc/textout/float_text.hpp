// Text of doubles exactly as Python's float formatting writes it, for output that must read the
// same whether Python or native code formatted it.
#pragma once

#include <string>

namespace simsieve::textout {

// repr(x): the shortest digits that read back as x, positional for exponents -4..15 (with ".0"
// on whole numbers), else d.ddde+XX; "inf", "-inf" and "nan" for the special values.
void append_shortest(std::string& out, double x);

// format(x, f".{decimals}f"): correctly rounded to `decimals` places (ties to even on the exact
// binary value). decimals must be within 0..kMaxDecimals.
inline constexpr int kMaxDecimals = 30;
void append_fixed(std::string& out, double x, int decimals);

}  // namespace simsieve::textout
