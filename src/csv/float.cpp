// Cell text to float: the grammar check and a correctly rounded conversion.
//
// One left-to-right pass checks the grammar and gathers the decimal
// significand (up to 19 significant digits, 8 digits at a time where it can)
// and the power of ten. Most cells then finish on the exact fast path: a
// significand below 2^53 times or divided by an exactly representable power of
// ten is one correctly rounded operation. Other significands of up to 19
// digits are multiplied by a 128-bit approximation of the power of ten and
// rounded from the top bits of the product, which is always exact enough for
// a 64-bit significand. Only texts of more than 19 significant digits go to
// the standard library's correctly rounded conversion.
#include "float.hpp"

#include "engine/ascii_digits.hpp"
#include "engine/pow10.hpp"
#include "engine/u128.hpp"
#include "pow5_table.hpp"

#include <bit>
#include <cfloat>
#include <charconv>
#include <cstdint>
#include <limits>
#include <system_error>

namespace kelo_frame::csv {
namespace {

// The exact fast path needs each double operation rounded once, to double.
static_assert(FLT_EVAL_METHOD == 0, "double arithmetic must not use extended precision");

constexpr auto kMaxExactPow10 = static_cast<std::int64_t>(kExactPow10.size()) - 1;
constexpr std::uint64_t kMaxExactInt = std::uint64_t{1} << 53;
// Exponent digits beyond this bound cannot change the result (the value is
// then far outside the float range whatever the significand), so the exponent
// saturates here instead of overflowing.
constexpr std::int64_t kExponentCap = std::int64_t{1} << 40;

// Reads the run of digits at p into w and returns the end of the run: eight
// digits at a time while eight bytes remain, then four, then one by one. w
// wraps past 19 digits; the caller checks the count.
inline const char* read_digits(const char* p, const char* end, std::uint64_t& w) {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      const std::uint64_t chunk = load8(p);
      if (!eight_digits(chunk)) break;
      w = w * 100000000U + eight_digits_value(chunk);
      p += 8;
    }
    if (end - p >= 4) {
      const std::uint32_t chunk = load4(p);
      if (four_digits(chunk)) {
        w = w * 10000U + four_digits_value(chunk);
        p += 4;
      }
    }
  }
  while (p != end && is_digit(*p)) {
    w = w * 10 + static_cast<unsigned char>(*p - '0');
    ++p;
  }
  return p;
}

// True when [p, end) spells `word` (lower case) in any mix of letter case.
inline bool is_word(const char* p, const char* end, std::string_view word) {
  if (static_cast<std::size_t>(end - p) != word.size()) return false;
  for (char w : word) {
    if ((*p | 0x20) != w) return false;
    ++p;
  }
  return true;
}

// floor(q * log2(10)) + 63 for |q| well beyond the table's range.
inline std::int64_t binary_power(std::int64_t q) { return ((217706 * q) >> 16) + 63; }

// The bits of the nearest float (ties to even) to w * 10^q, for w != 0 of at
// most 19 decimal digits. Rounds from the top 55 bits of w times the 128-bit
// approximation of 5^q; the second word of the approximation is only needed
// when the first product's low bits are all ones.
std::uint64_t scaled_bits(std::uint64_t w, std::int64_t q) {
  constexpr int kMantissaBits = 52;
  constexpr std::int64_t kInfinitePower = 0x7FF;
  if (q < kPow5Smallest) return 0;  // below half the smallest subnormal
  if (q > kPow5Largest) return static_cast<std::uint64_t>(kInfinitePower) << kMantissaBits;
  const int lz = std::countl_zero(w);
  w <<= lz;
  const std::size_t index = 2 * static_cast<std::size_t>(q - kPow5Smallest);
  Product product = multiply(w, kPow5Table[index]);
  constexpr std::uint64_t kPrecisionMask = ~std::uint64_t{0} >> (kMantissaBits + 3);
  if ((product.high & kPrecisionMask) == kPrecisionMask) {
    const Product second = multiply(w, kPow5Table[index + 1]);
    product.low += second.high;
    if (second.high > product.low) ++product.high;
  }
  const int upper_bit = static_cast<int>(product.high >> 63);
  const int shift = upper_bit + 64 - kMantissaBits - 3;
  std::uint64_t mantissa = product.high >> shift;
  std::int64_t power2 = binary_power(q) + upper_bit - lz + 1023;
  if (power2 <= 0) {
    // Subnormal: shift the extra bits out, then round half up. No decimal of
    // at most 19 digits lies exactly halfway between two subnormals.
    if (-power2 + 1 >= 64) return 0;
    mantissa >>= -power2 + 1;
    mantissa += mantissa & 1;
    mantissa >>= 1;
    // Rounding up may reach the smallest normal float, whose exponent is 1:
    // the carry into bit 52 gives exactly that.
    return mantissa;
  }
  // An exact tie between two floats is possible only for these powers of ten
  // (the product then has no bits below the rounding bit); round it to even.
  if (product.low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == product.high) {
    mantissa &= ~std::uint64_t{1};
  }
  mantissa += mantissa & 1;
  mantissa >>= 1;
  if (mantissa >= (std::uint64_t{2} << kMantissaBits)) {
    mantissa = std::uint64_t{1} << kMantissaBits;
    ++power2;
  }
  mantissa &= ~(std::uint64_t{1} << kMantissaBits);
  if (power2 >= kInfinitePower) return static_cast<std::uint64_t>(kInfinitePower) << kMantissaBits;
  return mantissa | (static_cast<std::uint64_t>(power2) << kMantissaBits);
}

// The value of a checked decimal text that the fast path cannot take.
// `digits` is the text after any sign; `sci` is the power of ten of its first
// nonzero digit, used to tell overflow from underflow.
double convert_checked(const char* digits, const char* end, std::int64_t sci) {
  double value = 0;
  const auto [ptr, ec] = std::from_chars(digits, end, value);
  (void)ptr;
  if (ec == std::errc::result_out_of_range) {
    return sci > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return value;
}

}  // namespace

std::optional<double> float_(std::string_view cell) noexcept {
  const char* p = cell.data();
  const char* const end = p + cell.size();
  if (p == end) return std::nullopt;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
    if (p == end) return std::nullopt;
    if (!is_digit(*p) && *p != '.') {
      // Only a signed cell may be one of the words.
      if (is_word(p, end, "inf") || is_word(p, end, "infinity")) {
        return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
      }
      if (is_word(p, end, "nan")) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return negative ? -nan : nan;
      }
      return std::nullopt;
    }
  } else if (!is_digit(*p) && *p != '.') {
    return std::nullopt;
  }

  const char* const digits = p;
  std::uint64_t w = 0;
  p = read_digits(p, end, w);
  const std::int64_t int_digits = p - digits;
  // Zeros before the first nonzero digit, when the integer part is all zeros
  // (as in 0.00123): they do not count towards the 19 digits that w holds.
  // (With more than 19 digits w may have wrapped to zero: those texts take
  // the exact count below.)
  std::int64_t leading_zeros = w == 0 && int_digits <= 19 ? int_digits : 0;
  std::int64_t frac_digits = 0;
  if (p != end && *p == '.') {
    ++p;
    const char* const frac = p;
    if (w == 0 && int_digits <= 19) {
      while (p != end && *p == '0') ++p;
      leading_zeros += p - frac;
    }
    p = read_digits(p, end, w);
    frac_digits = p - frac;
  }
  const std::int64_t all_digits = int_digits + frac_digits;
  if (all_digits == 0) return std::nullopt;
  const char* const mantissa_end = p;

  std::int64_t exponent = 0;
  if (p != end && (*p | 0x20) == 'e') {
    ++p;
    bool exp_negative = false;
    if (p != end && (*p == '+' || *p == '-')) {
      exp_negative = *p == '-';
      ++p;
    }
    if (p == end || !is_digit(*p)) return std::nullopt;
    do {
      if (exponent < kExponentCap) exponent = exponent * 10 + (*p - '0');
      ++p;
    } while (p != end && is_digit(*p));
    if (exp_negative) exponent = -exponent;
  }
  if (p != end) return std::nullopt;

  // The text is a float text from here on.
  const std::int64_t e10 = exponent - frac_digits;  // value = digits * 10^e10
  std::int64_t significant = all_digits - leading_zeros;
  if (significant > 19) {
    // Other leading zeros (as in 00012.5) add nothing to w either; count the
    // digits after them.
    const char* q = digits;
    while (q != mantissa_end && (*q == '0' || *q == '.')) ++q;
    significant = 0;
    for (; q != mantissa_end; ++q) significant += *q != '.';
  }
  if (significant <= 19) {
    if (w == 0) return negative ? -0.0 : 0.0;
    if (w <= kMaxExactInt && e10 >= -kMaxExactPow10 && e10 <= kMaxExactPow10) {
      double value = static_cast<double>(w);
      value = e10 < 0 ? value / kExactPow10[static_cast<std::size_t>(-e10)]
                      : value * kExactPow10[static_cast<std::size_t>(e10)];
      return negative ? -value : value;
    }
    const std::uint64_t b = scaled_bits(w, e10) | (negative ? std::uint64_t{1} << 63 : 0);
    return std::bit_cast<double>(b);
  }
  // More than 19 significant digits, counted exactly: the power of ten of the
  // first of them tells overflow from underflow.
  const double value = convert_checked(digits, end, e10 + significant - 1);
  return negative ? -value : value;
}

}  // namespace kelo_frame::csv
