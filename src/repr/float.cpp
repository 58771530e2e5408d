// Float text: the shortest round-trip digits, laid out as Python's repr()
// lays them out.
//
// The decimal m x 10^e (m the significand, at most 17 digits) comes from one
// of three sources:
//
// - A fast path for values that are the nearest float to a decimal of at most
//   15 significant digits between 1e-8 and 1e15 (prices, measurements,
//   counts: most data). Any two distinct decimals of at most 15 significant
//   digits round to distinct normal floats, so when such a decimal rounds to
//   the value, it is the only short decimal that does and its digits are the
//   shortest. The decimal is found by scaling to 15 digits and rounding; one
//   correctly rounded division proves or refutes it.
// - The general search (shortest_digits below), which scales the value's
//   rounding interval by 10^-k with a 126-bit power of ten so that the
//   interval is at least one unit wide, then tries the multiples of 10 units
//   in it (at most one fits) and then the two units around the value. Among
//   equally short candidates it takes the one nearest the exact value, and of
//   two equally near the one whose last digit is even, which is also repr()'s
//   choice (1200664025187498.75 gives ...498.8, ...498.25 gives ...498.2).
// - std::to_chars, which makes the same choice, for the values where the
//   search's products land within 2^-63 of an integer: there the rounding of
//   the 126-bit power could decide a comparison, so the exact routine does.
//   That happens only for values whose scaled bounds are (nearly) integers,
//   a vanishing share of real data.
//
// The layout is then fixed by the exponent E of the first digit: plain
// decimals for -4 <= E <= 15, scientific form with a signed, at least
// two-digit exponent otherwise. The digits are made as words of 8 ASCII
// digits and placed with whole-word stores straight into the output.
#include "float.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "digits.hpp"
#include "engine/pow10.hpp"
#include "engine/u128.hpp"
#include "pow10_table.hpp"

namespace kelo_frame::repr {
namespace {

// The plain-decimal range of exponents; outside it the text is scientific.
constexpr int kMinPlainExp = -4;
constexpr int kMaxPlainExp = 15;

// The fast path's range of decimal exponents and its number of digits.
constexpr int kFastMinExp = -8;
constexpr int kFastMaxExp = 14;
constexpr int kFastDigits = 15;

// A positive decimal m x 10^e.
struct Decimal {
  std::uint64_t m = 0;
  int e = 0;
};

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
  double t = a * kExactPow10[static_cast<std::size_t>(k)];
  if (t >= kExactPow10[kFastDigits]) {
    if (k == 0) return false;
    --k;
    t = a * kExactPow10[static_cast<std::size_t>(k)];
  }
  // Round to an integer (adding and removing 2^52 rounds to nearest). If a is
  // the nearest float to some decimal V / 10^k with V an integer of at most 15
  // digits, t is within 0.25 of V, so this finds V. The division is correctly
  // rounded (V and 10^k are exact floats), so equality proves that V / 10^k
  // rounds to a.
  constexpr double kRound = 4503599627370496.0;
  const double scaled = (t + kRound) - kRound;
  if (scaled / kExactPow10[static_cast<std::size_t>(k)] != a) return false;
  d.m = static_cast<std::uint64_t>(scaled);
  d.e = -k;
  return true;
}

// floor(q log10 2), floor(log10(3/4 2^q)) and floor(e log2 10) over the
// exponents of doubles (tools/gen_pow10_table.py checks them exactly).
constexpr int floor_log10_pow2(int q) noexcept { return static_cast<int>((q * 661971961083LL) >> 41); }
constexpr int floor_log10_three_quarters_pow2(int q) noexcept {
  return static_cast<int>((q * 661971961083LL - 274743187321LL) >> 41);
}
constexpr int floor_log2_pow10(int e) noexcept { return static_cast<int>((e * 913124641741LL) >> 38); }

// floor(g x cp / 2^127) with its lowest bit set when the quotient is not an
// integer (rounding to odd keeps every comparison with an even integer
// exact). False when the quotient is within 2^-63 of an integer: g is above
// the true power by less than one unit, which moves the quotient by less than
// 2^-66, so only there can the approximation decide a comparison.
inline bool round_to_odd(std::uint64_t g_high, std::uint64_t g_low, std::uint64_t cp, std::uint64_t& out) noexcept {
  const Product low = multiply(g_low, cp);
  const Product high = multiply(g_high, cp);
  const u128 mid = u128{low.high} + high.low;  // bits 64..128 of the product
  const auto mid_low = static_cast<std::uint64_t>(mid);
  const std::uint64_t fraction = mid_low & 0x7FFFFFFFFFFFFFFFU;  // the top 63 bits of the fraction
  if (fraction == 0 || fraction == 0x7FFFFFFFFFFFFFFFU) return false;
  const auto top = high.high + static_cast<std::uint64_t>(mid >> 64);
  out = ((top << 1) | (mid_low >> 63)) | 1U;
  return true;
}

// The shortest decimal in the rounding interval of c x 2^q, the nearest of
// those to it, the even one of two equally near. False (d unset) where the
// 126-bit power of ten cannot decide.
bool shortest_digits(std::uint64_t c, int q, Decimal& d) noexcept {
  constexpr std::uint64_t kHidden = std::uint64_t{1} << 52;
  // The interval's ends are included when c is even (a text halfway to a
  // neighbour reads as the even significand).
  const std::uint64_t out = c & 1U;
  // In quarter units: the value, and its interval's ends. Just above a power
  // of two the float below is half as far away as the one above.
  const std::uint64_t cb = c << 2;
  const std::uint64_t cbr = cb + 2;
  const bool irregular = c == kHidden && q != -1074;
  const std::uint64_t cbl = irregular ? cb - 1 : cb - 2;
  const int k = irregular ? floor_log10_three_quarters_pow2(q) : floor_log10_pow2(q);
  // Scale by 10^-k = g x 2^(r - 125); h (2 to 5) brings the product to
  // quarter units of 10^k after the division by 2^127.
  const int h = q + floor_log2_pow10(-k) + 2;
  const auto at = static_cast<std::size_t>(2 * (k - kPow10Smallest));
  const std::uint64_t g_high = kPow10Table[at];
  const std::uint64_t g_low = kPow10Table[at + 1];
  std::uint64_t vb = 0;
  std::uint64_t vbl = 0;
  std::uint64_t vbr = 0;
  if (!round_to_odd(g_high, g_low, cb << h, vb) || !round_to_odd(g_high, g_low, cbl << h, vbl) ||
      !round_to_odd(g_high, g_low, cbr << h, vbr)) {
    return false;
  }
  const std::uint64_t s = vb >> 2;  // floor(value / 10^k)
  // One digit fewer: the multiples of 10 units around the value. The
  // interval is narrower than 10 units, so at most one of them is in it.
  // (Below 10 units the lower multiple is 0, never in the interval.)
  const std::uint64_t sp10 = s / 10 * 10;
  const std::uint64_t tp10 = sp10 + 10;
  const bool upin = vbl + out <= sp10 << 2 && s >= 10;
  const bool wpin = (tp10 << 2) + out <= vbr;
  // Else the units just below and above the value; at least one is in the
  // interval, which is at least one unit wide. When both are, the nearer,
  // the even one on a tie (vb and the midpoint are in quarter units; vb is
  // odd unless exact, and exact quotients went to the reference above, so
  // the tie and the interval's closed ends are kept only for exactness of
  // form).
  const std::uint64_t t = s + 1;
  const bool uin = vbl + out <= s << 2;
  const bool win = (t << 2) + out <= vbr;
  const std::uint64_t mid = (s + t) << 1;
  const bool nearer_s = vb < mid || (vb == mid && (s & 1U) == 0);
  // Chosen without branches: which case applies follows the digits, which
  // a branch predictor cannot guess.
  const bool take_t = uin != win ? win : !nearer_s;
  const std::uint64_t unit = s + static_cast<std::uint64_t>(take_t);
  const std::uint64_t ten = upin ? sp10 : tp10;
  d = {.m = upin != wpin ? ten : unit, .e = k};
  return true;
}

// The reference: std::to_chars's shortest scientific text, "d" or "d.ddd",
// then 'e', the exponent's sign and two or three digits, read back into m and
// e. Used only where shortest_digits cannot decide.
Decimal to_chars_digits(double a) noexcept {
  std::array<char, 32> buf{};
  const char* end = std::to_chars(buf.data(), buf.data() + buf.size(), a, std::chars_format::scientific).ptr;
  Decimal d;
  const char* p = buf.data();
  int digits = 0;
  for (; *p != 'e'; ++p) {
    if (*p == '.') continue;
    d.m = d.m * 10 + static_cast<std::uint64_t>(*p - '0');
    ++digits;
  }
  int exp = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exp);
  d.e = exp - (digits - 1);
  return d;
}

// 16 text bytes, the first in memory at the lowest position, with a store and
// a way to drop the first bytes.
struct Text16 {
  u128 bits = 0;

  void store(char* at) const noexcept {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(at, &bits, 16);
    } else {
      const std::uint64_t words[2] = {std::byteswap(static_cast<std::uint64_t>(bits)),
                                      std::byteswap(static_cast<std::uint64_t>(bits >> 64))};
      std::memcpy(at, words, 16);
    }
  }
  // The bytes from position n (0 to 15) on, moved to the front.
  [[nodiscard]] Text16 from(int n) const noexcept { return {bits >> (8 * n)}; }
};

// Writes m x 10^e (m > 0, at most 17 digits) in repr()'s layout at out,
// which has room for float_write_room bytes.
char* put_decimal(char* out, Decimal dec) noexcept {
  // The 17 places of m: the first alone, the other 16 as two words of 8, all
  // made at once from m; the digit count (found alongside) then says where
  // the significand starts.
  const std::uint64_t m = dec.m;
  const int count = decimal_digits(m);
  const int exp = dec.e + count - 1;
  const std::uint64_t top = m / kPow10[16];
  const std::uint64_t rest = m - top * kPow10[16];
  const std::uint64_t upper = rest / 100000000;
  const u128 places = static_cast<u128>(digit_word(rest - upper * 100000000)) << 64 | digit_word(upper);
  // The first digit and the places after it, moved to the front (count < 17:
  // the first digit is place 17 - count, byte 16 - count of places).
  const int inner = count < 17 ? 16 - count : 0;
  const u128 from_first = places >> (8 * inner);
  const u128 after = count < 17 ? from_first >> 8 : places;
  const char lead = static_cast<char>('0' + (count < 17 ? static_cast<std::uint64_t>(from_first) & 0xFF : top));
  // Digits after the first, trailing zeros not counted: the last nonzero
  // byte of `after` (-1 when there is none).
  const auto after_high = static_cast<std::uint64_t>(after >> 64);
  const auto after_low = static_cast<std::uint64_t>(after);
  const int more = after_high != 0 ? 16 - std::countl_zero(after_high) / 8 : 8 - std::countl_zero(after_low) / 8;
  constexpr u128 kZeros = static_cast<u128>(0x3030303030303030U) << 64 | 0x3030303030303030U;
  const Text16 tail{after | kZeros};

  if (exp > kMaxPlainExp || exp < kMinPlainExp) {
    out[0] = lead;
    out[1] = '.';
    tail.store(out + 2);
    out += more > 0 ? more + 2 : 1;
    const int a = exp < 0 ? -exp : exp;
    out[0] = 'e';
    out[1] = exp < 0 ? '-' : '+';
    out += 2;
    if (a >= 100) *out++ = static_cast<char>('0' + a / 100);
    std::memcpy(out, &kPairs[static_cast<std::size_t>(2 * (a % 100))], 2);
    return out + 2;
  }
  if (exp < 0) {  // "0." then -exp-1 zeros (at most 3), then the digits
    std::memcpy(out, "0.000000", 8);
    out[1 - exp] = lead;
    tail.store(out + 2 - exp);
    return out + 2 - exp + more;
  }
  // The 17 digits at out (zeros past the significand), then the point.
  const int whole = exp + 1;  // digits before the point, 1 to 16
  out[0] = lead;
  tail.store(out + 1);
  if (whole <= more) {  // the digits after the point move up by one
    tail.from(whole - 1).store(out + whole + 1);
    out[whole] = '.';
    return out + more + 2;
  }
  out[whole] = '.';
  out[whole + 1] = '0';
  return out + whole + 2;
}

inline char* put(char* out, const char* from, std::size_t n) noexcept {
  std::memcpy(out, from, n);
  return out + n;
}

}  // namespace

char* float_to_padded(char* out, double value) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(value);
  const auto biased = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased == 0x7FF) {
    if (fraction != 0) return put(out, "nan", 3);
    return (bits >> 63) != 0 ? put(out, "-inf", 4) : put(out, "inf", 3);
  }
  *out = '-';
  out += bits >> 63;
  if (biased == 0 && fraction == 0) return put(out, "0.0", 3);
  const double a = std::fabs(value);
  Decimal dec;
  if (!short_decimal(a, dec)) {
    const std::uint64_t c = biased == 0 ? fraction : fraction | (std::uint64_t{1} << 52);
    const int q = (biased == 0 ? 1 : biased) - 1075;
    if (!shortest_digits(c, q, dec)) dec = to_chars_digits(a);
  }
  return put_decimal(out, dec);
}

char* float_to(char* out, double value) noexcept {
  // Composed with room for the whole-word stores, then moved out in one copy
  // of the longest text's length.
  std::array<char, float_write_room> text{};
  const char* end = float_to_padded(text.data(), value);
  std::memcpy(out, text.data(), float_max_chars);
  return out + (end - text.data());
}

std::string float_(double value) {
  std::array<char, float_write_room> buf{};
  char* end = float_to_padded(buf.data(), value);
  return std::string(buf.data(), end);
}

}  // namespace kelo_frame::repr
