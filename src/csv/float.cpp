// Cell text to float: the grammar check and a correctly rounded conversion.
//
// One left-to-right pass checks the grammar and gathers the decimal
// significand (up to 19 significant digits, 8 digits at a time where it can)
// and the power of ten. Most cells then finish on the exact fast path: a
// significand below 2^53 times or divided by an exactly representable power of
// ten is one correctly rounded operation. Everything else goes to the standard
// library's correctly rounded conversion of the already checked text.
#include "float.hpp"

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>

namespace kelo_frame::csv {
namespace {

constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::int64_t kMaxExactPow10 = 22;
constexpr std::uint64_t kMaxExactInt = std::uint64_t{1} << 53;
// Exponent digits beyond this bound cannot change the result (the value is
// then far outside the float range whatever the significand), so the exponent
// saturates here instead of overflowing.
constexpr std::int64_t kExponentCap = std::int64_t{1} << 40;

inline bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

inline std::uint64_t load8(const char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// True when all eight bytes (little-endian load) are ASCII digits.
inline bool eight_digits(std::uint64_t v) {
  return (((v + 0x4646464646464646U) | (v - 0x3030303030303030U)) & 0x8080808080808080U) == 0;
}

// The value of eight ASCII digits loaded little-endian (first digit lowest).
inline std::uint64_t eight_digits_value(std::uint64_t v) {
  v -= 0x3030303030303030U;
  v = (v * 10) + (v >> 8);  // pairs of digits in every other byte
  v = (((v & 0x000000FF000000FFU) * (100 + (1000000ULL << 32))) +
       (((v >> 16) & 0x000000FF000000FFU) * (1 + (10000ULL << 32)))) >>
      32;
  return v;
}

// Reads a run of digits at p into w (w wraps past 19 digits; the caller
// checks the count). Returns the end of the run.
inline const char* read_digits(const char* p, const char* end, std::uint64_t& w) {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      const std::uint64_t chunk = load8(p);
      if (!eight_digits(chunk)) break;
      w = w * 100000000U + eight_digits_value(chunk);
      p += 8;
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
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
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
  std::int64_t frac_digits = 0;
  if (p != end && *p == '.') {
    ++p;
    const char* const frac = p;
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
  std::int64_t significant = all_digits;
  if (all_digits > 19) {
    // Leading zeros add nothing to w; count the digits after them.
    const char* q = digits;
    while (q != mantissa_end && (*q == '0' || *q == '.')) ++q;
    significant = 0;
    for (; q != mantissa_end; ++q) significant += *q != '.';
  }
  if (significant <= 19) {
    if (w == 0) return negative ? -0.0 : 0.0;
    if (w <= kMaxExactInt && e10 >= -kMaxExactPow10 && e10 <= kMaxExactPow10) {
      double value = static_cast<double>(w);
      value = e10 < 0 ? value / kExactPow10[-e10] : value * kExactPow10[e10];
      return negative ? -value : value;
    }
  }
  // With at most 19 digits, `significant` may still count leading zeros; the
  // sign of the estimated power of ten is right either way, as overflow needs
  // a power of at least 308 and underflow one of at most -324.
  const double value = convert_checked(digits, end, e10 + significant - 1);
  return negative ? -value : value;
}

}  // namespace kelo_frame::csv
