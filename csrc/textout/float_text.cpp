#include "textout/float_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

#include "common/internal_error.hpp"

namespace simsieve::textout {
namespace {

// Appends "inf", "-inf" or "nan" (never "-nan": Python drops the sign of a NaN) and returns true
// when x is not finite.
bool append_special(std::string& out, double x) {
  if (std::isnan(x)) {
    out += "nan";
    return true;
  }
  if (std::isinf(x)) {
    out += x < 0 ? "-inf" : "inf";
    return true;
  }
  return false;
}

}  // namespace

void append_shortest(std::string& out, double x) {
  if (append_special(out, x)) return;
  if (std::signbit(x)) out += '-';
  x = std::fabs(x);
  if (x == 0.0) {
    out += "0.0";
    return;
  }
  // The shortest round-trip digits in scientific form, "d[.ddd]e[+-]XX", re-laid out below.
  char buf[40];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  ensure(ec == std::errc{}, "shortest float text does not fit its buffer");
  char digits[20];
  int n = 0;
  const char* p = buf;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') digits[n++] = *p;
  int exponent = 0;
  if (p < end && p[1] == '+') ++p;  // std::from_chars reads a '-' but no '+'
  ensure(p < end && std::from_chars(p + 1, end, exponent).ec == std::errc{}, "shortest float text has no exponent");
  const int point = exponent + 1;         // digits[0..point) precede the decimal point
  if (point <= -4 || point > 16) {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits + 1, static_cast<size_t>(n - 1));
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) out += '0';
    out += std::to_string(magnitude);
  } else if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out.append(digits, static_cast<size_t>(n));
  } else if (point >= n) {
    out.append(digits, static_cast<size_t>(n));
    out.append(static_cast<size_t>(point - n), '0');
    out += ".0";
  } else {
    out.append(digits, static_cast<size_t>(point));
    out += '.';
    out.append(digits + point, static_cast<size_t>(n - point));
  }
}

void append_fixed(std::string& out, double x, int decimals) {
  if (append_special(out, x)) return;
  ensure(decimals >= 0 && decimals <= kMaxDecimals, "fixed float text: decimals out of range");
  // The largest double has 309 integer digits.
  char buf[320 + kMaxDecimals + 8];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, decimals);
  ensure(ec == std::errc{}, "fixed float text does not fit its buffer");
  out.append(buf, end);
}

}  // namespace simsieve::textout
