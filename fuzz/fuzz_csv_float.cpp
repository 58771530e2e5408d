// csv::float_ against a reference: the float-text grammar checked by a plain
// byte walk, and the C library's strtod (correctly rounded) for the value of
// every text the grammar accepts.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "check.hpp"
#include "csv/float.hpp"

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The standard decimal form: digits with at most one point and at least one
// digit, then optionally e (lower-cased), an optional sign and at least one
// digit.
bool decimal_number(std::string_view s) {
  std::size_t i = 0;
  std::size_t digits = 0;
  bool point = false;
  for (; i < s.size(); ++i) {
    if (is_digit(s[i])) {
      ++digits;
    } else if (s[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i == s.size()) return true;
  if (s[i] != 'e') return false;  // the body is lower-cased
  ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return false;
  }
  return true;
}

// Whether the cell is a float text: an optional sign and the decimal form, or
// a sign and inf, infinity or nan in any case.
bool accepted(std::string_view cell) {
  const bool sign = cell.starts_with('+') || cell.starts_with('-');
  std::string body(cell.substr(sign ? 1 : 0));
  for (char& c : body) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return decimal_number(body) || (sign && (body == "inf" || body == "infinity" || body == "nan"));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using kelo_frame::fuzz::check;
  const std::string cell(reinterpret_cast<const char*>(data), size);
  const auto got = kelo_frame::csv::float_(cell);
  const bool want = accepted(cell);
  check(got.has_value() == want, want ? "a float text was refused" : "a text that is no float was taken", cell);
  if (!want) return 0;
  const double expected = std::strtod(cell.c_str(), nullptr);
  if (std::isnan(expected)) {
    check(std::isnan(*got), "nan text did not give NaN", cell);
    check(std::signbit(*got) == (cell[0] == '-'), "NaN sign differs from the text's sign", cell);
    return 0;
  }
  check(std::bit_cast<std::uint64_t>(*got) == std::bit_cast<std::uint64_t>(expected),
        "value differs from the correctly rounded one", cell);
  return 0;
}
