// Float text: the shortest round-trip digits, laid out as Python's repr()
// lays them out.
//
// The digits D and decimal exponent E come from one of two sources:
//
// - A fast path for values that are the nearest float to a decimal of at most
//   15 significant digits between 1e-8 and 1e15 (prices, measurements,
//   counts: most data). Any two distinct decimals of at most 15 significant
//   digits round to distinct normal floats, so when such a decimal rounds to
//   the value, it is the only short decimal that does and its digits are the
//   shortest. The decimal is found by scaling to 15 digits and rounding; one
//   correctly rounded division proves or refutes it.
// - std::to_chars in scientific form for everything else. Among equally short
//   significands it takes the one nearest the exact value, and of two equally
//   near it takes the one whose last digit is even, which is also repr()'s
//   choice (1200664025187498.75 gives ...498.8, ...498.25 gives ...498.2).
//
// The layout is then fixed by E: plain decimals for -4 <= E <= 15, scientific
// form with a signed, at least two-digit exponent otherwise.
#include "float.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace kelo_frame::repr {
namespace {

// The plain-decimal range of exponents; outside it the text is scientific.
constexpr int kMinPlainExp = -4;
constexpr int kMaxPlainExp = 15;

// Powers of ten that are exact floats.
constexpr std::array<double, 23> kPow10 = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                           1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The fast path's range of decimal exponents and its number of digits.
constexpr int kFastMinExp = -8;
constexpr int kFastMaxExp = 14;
constexpr int kFastDigits = 15;

constexpr std::array<char, 200> kPairs = [] {
  std::array<char, 200> t{};
  for (int i = 0; i < 100; ++i) {
    t[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
    t[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

// The significand digits and decimal exponent of a positive finite float.
// The digits are read with fixed-size copies that may run past the last
// digit, so they sit in a buffer with room to spare.
struct Decimal {
  std::array<char, 64> buf{};
  const char* digits = nullptr;
  int n = 0;    // number of digits, no trailing zero
  int exp = 0;  // value = d1.d2...dn x 10^exp
};

// The 8 decimal digits of x < 10^8 as the bytes of one word, the first digit
// in the lowest byte, each byte holding the digit's value (0 to 9). Splits
// x into two 4-digit lanes, each of those into two 2-digit lanes, and those
// into digits, with multiply-and-shift divisions that are exact for these
// ranges.
constexpr std::uint64_t digit_word(std::uint64_t x) noexcept {
  const std::uint64_t upper = (x * 109951163) >> 40;  // x / 10^4
  const std::uint64_t fours = x - upper * 10000 + (upper << 32);
  const std::uint64_t hundreds = ((fours * 10486) >> 20) & 0x0000007F0000007FU;  // each lane / 100
  const std::uint64_t twos = fours - hundreds * 100 + (hundreds << 16);
  const std::uint64_t tens = ((twos * 103) >> 10) & 0x000F000F000F000FU;  // each lane / 10
  // The last digit is in the lowest byte now; reverse the bytes.
  return std::byteswap(twos - tens * 10 + (tens << 8));
}

// The fast path: true and d filled when a is the nearest float to a decimal
// of at most 15 significant digits in the fast range.
bool short_decimal(double a, Decimal& d) noexcept {
  // floor(e2 log10 2), with log10 2 ~ 78913 / 2^18: floor(log10 a) is this or
  // one more.
  const int e2 = static_cast<int>((std::bit_cast<std::uint64_t>(a) >> 52) & 0x7FF) - 1023;
  const int e10 = (e2 * 78913) >> 18;
  if (e10 < kFastMinExp || e10 > kFastMaxExp) return false;
  // Scale a to between 10^14 and 10^15.
  int k = kFastDigits - 1 - e10;
  double t = a * kPow10[static_cast<std::size_t>(k)];
  if (t >= kPow10[kFastDigits]) {
    if (k == 0) return false;
    --k;
    t = a * kPow10[static_cast<std::size_t>(k)];
  }
  // Round to an integer (adding and removing 2^52 rounds to nearest). If a is
  // the nearest float to some decimal V / 10^k with V an integer of at most 15
  // digits, t is within 0.25 of V, so this finds V. The division is correctly
  // rounded (V and 10^k are exact floats), so equality proves that V / 10^k
  // rounds to a.
  constexpr double kRound = 4503599627370496.0;
  const double scaled = (t + kRound) - kRound;
  const double scale = kPow10[static_cast<std::size_t>(k)];
  if (scaled / scale != a) return false;
  // v is at most 10^15: its 16 places are two words of 8 digits, each made
  // at once, and the zeros at both ends are counted from the words.
  const auto v = static_cast<std::uint64_t>(scaled);
  std::uint64_t high = digit_word(v / 100000000);
  std::uint64_t low = digit_word(v % 100000000);
  // The first place is now the lowest byte; v > 0, so some byte is nonzero.
  const int first = high != 0 ? std::countr_zero(high) / 8 : 8 + std::countr_zero(low) / 8;
  const int last = low != 0 ? 16 - std::countl_zero(low) / 8 : 8 - std::countl_zero(high) / 8;
  constexpr std::uint64_t kZeros = 0x3030303030303030U;
  high |= kZeros;
  low |= kZeros;
  if constexpr (std::endian::native == std::endian::big) {
    high = std::byteswap(high);
    low = std::byteswap(low);
  }
  char* buf = d.buf.data();
  std::memcpy(buf, &high, 8);
  std::memcpy(buf + 8, &low, 8);
  d.digits = buf + first;
  d.n = last - first;
  d.exp = (16 - first - 1) - k;
  return true;
}

// The general path: std::to_chars's shortest scientific text, "d" or
// "d.ddd", then 'e', the exponent's sign and two or three digits.
void shortest(double a, Decimal& d) noexcept {
  char* sci = d.buf.data();
  const char* end = std::to_chars(sci, sci + 32, a, std::chars_format::scientific).ptr;
  const int exp_digits = end[-4] == 'e' ? 2 : 3;
  const char* e = end - exp_digits - 2;
  int exp = end[-1] - '0' + 10 * (end[-2] - '0');
  if (exp_digits == 3) exp += 100 * (end[-3] - '0');
  d.exp = e[1] == '-' ? -exp : exp;
  if (e == sci + 1) {  // one digit, no point
    d.digits = sci;
    d.n = 1;
  } else {  // move the first digit over the point
    sci[1] = sci[0];
    d.digits = sci + 1;
    d.n = static_cast<int>(e - sci) - 1;
  }
}

// Writes the body of the text into out, which has room for 48 bytes: the
// digits are placed with fixed-size copies of 17 bytes (the most digits),
// and only the first bytes up to the returned end count.
char* layout(char* out, const Decimal& dec) noexcept {
  constexpr std::size_t kAll = 17;
  const char* d = dec.digits;
  const int n = dec.n;
  const int exp = dec.exp;
  if (exp > kMaxPlainExp || exp < kMinPlainExp) {
    out[0] = d[0];
    out[1] = '.';
    std::memcpy(out + 2, d + 1, kAll);
    out += n > 1 ? n + 1 : 1;
    *out++ = 'e';
    *out++ = exp < 0 ? '-' : '+';
    const int a = exp < 0 ? -exp : exp;
    if (a >= 100) *out++ = static_cast<char>('0' + a / 100);
    std::memcpy(out, &kPairs[static_cast<std::size_t>(2 * (a % 100))], 2);
    return out + 2;
  }
  if (exp < 0) {  // "0." then -exp-1 zeros (at most 3), then the digits
    std::memcpy(out, "0.000", 6);
    std::memcpy(out + 1 - exp, d, kAll);
    return out + 1 - exp + n;
  }
  const int whole = exp + 1;  // digits before the point, 1 to 16
  if (whole < n) {
    std::memcpy(out, d, kAll);
    out[whole] = '.';
    std::memcpy(out + whole + 1, d + whole, kAll);
    return out + n + 1;
  }
  std::memcpy(out, d, kAll);
  std::memset(out + n, '0', 16);
  out[whole] = '.';
  out[whole + 1] = '0';
  return out + whole + 2;
}

inline char* put(char* out, const char* from, std::size_t n) noexcept {
  std::memcpy(out, from, n);
  return out + n;
}

}  // namespace

char* float_to(char* out, double value) noexcept {
  if (std::isnan(value)) return put(out, "nan", 3);
  const bool negative = std::signbit(value);
  const double a = std::fabs(value);
  if (std::isinf(a)) return negative ? put(out, "-inf", 4) : put(out, "inf", 3);
  if (a == 0) return negative ? put(out, "-0.0", 4) : put(out, "0.0", 3);
  Decimal dec;
  if (!short_decimal(a, dec)) shortest(a, dec);
  // Composed in a scratch buffer with room for the fixed-size copies, then
  // moved out in one copy of the longest text's length.
  std::array<char, 64> text{};
  text[0] = '-';
  const char* end = layout(text.data() + (negative ? 1 : 0), dec);
  std::memcpy(out, text.data(), float_max_chars);
  return out + (end - text.data());
}

std::string float_(double value) {
  std::array<char, float_max_chars> buf{};
  char* end = float_to(buf.data(), value);
  return std::string(buf.data(), end);
}

}  // namespace kelo_frame::repr
