// Float text: the standard library's shortest round-trip digits, laid out as
// Python's repr() lays them out.
//
// std::to_chars in scientific form gives the digits D and the decimal
// exponent E of the shortest significand that reads back to the value; among
// equally short significands it takes the one nearest the exact value, and of
// two equally near it takes the one whose last digit is even, which is also
// repr()'s choice (1200664025187498.75 gives ...498.8, ...498.25 gives
// ...498.2). The layout is then fixed by E: plain decimals for
// -4 <= E <= 15, scientific form with a signed, at least two-digit exponent
// otherwise.
#include "float.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace kelo_frame::repr {
namespace {

// The plain-decimal range of exponents; outside it the text is scientific.
constexpr int kMinPlainExp = -4;
constexpr int kMaxPlainExp = 15;

inline char* put(char* out, const char* from, std::size_t n) noexcept {
  std::memcpy(out, from, n);
  return out + n;
}

inline char* zeros(char* out, int n) noexcept {
  for (int i = 0; i < n; ++i) *out++ = '0';
  return out;
}

}  // namespace

char* float_to(char* out, double value) noexcept {
  if (std::isnan(value)) return put(out, "nan", 3);
  const bool negative = std::signbit(value);
  if (negative) *out++ = '-';
  if (std::isinf(value)) return put(out, "inf", 3);

  // "d", "d.ddd" then "e+XX" or "e-XX": at most 17 digits, a point, 'e', a
  // sign and three exponent digits.
  std::array<char, 32> sci{};
  const auto res = std::to_chars(sci.data(), sci.data() + sci.size(), std::fabs(value),
                                 std::chars_format::scientific);
  const char* e = sci.data();
  while (*e != 'e') ++e;

  // D: the digits before the 'e' without the point.
  std::array<char, 20> digits{};
  int n = 0;
  for (const char* p = sci.data(); p != e; ++p) {
    if (*p != '.') digits[static_cast<std::size_t>(n++)] = *p;
  }
  // E: the signed exponent after the 'e'.
  int exp = 0;
  for (const char* p = e + 2; p != res.ptr; ++p) exp = exp * 10 + (*p - '0');
  if (e[1] == '-') exp = -exp;

  const char* d = digits.data();
  const auto un = static_cast<std::size_t>(n);
  if (exp > kMaxPlainExp || exp < kMinPlainExp) {
    *out++ = d[0];
    if (n > 1) {
      *out++ = '.';
      out = put(out, d + 1, un - 1);
    }
    *out++ = 'e';
    *out++ = exp < 0 ? '-' : '+';
    const int a = exp < 0 ? -exp : exp;
    if (a >= 100) *out++ = static_cast<char>('0' + a / 100);
    *out++ = static_cast<char>('0' + a / 10 % 10);
    *out++ = static_cast<char>('0' + a % 10);
    return out;
  }
  if (exp < 0) {
    *out++ = '0';
    *out++ = '.';
    out = zeros(out, -exp - 1);
    return put(out, d, un);
  }
  const int whole = exp + 1;  // digits before the point
  if (whole < n) {
    out = put(out, d, static_cast<std::size_t>(whole));
    *out++ = '.';
    return put(out, d + whole, static_cast<std::size_t>(n - whole));
  }
  out = put(out, d, un);
  out = zeros(out, whole - n);
  *out++ = '.';
  *out++ = '0';
  return out;
}

std::string float_(double value) {
  std::array<char, float_max_chars> buf{};
  char* end = float_to(buf.data(), value);
  return std::string(buf.data(), end);
}

}  // namespace kelo_frame::repr
