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

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (lower(text[i]) != word[i]) return false;
  }
  return true;
}

// The standard decimal form: digits with at most one point and at least one
// digit, then optionally e or E, an optional sign and at least one digit.
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
  if (s[i] != 'e' && s[i] != 'E') return false;
  ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  if (i == s.size()) return false;
  for (; i < s.size(); ++i) {
    if (!is_digit(s[i])) return false;
  }
  return true;
}

// Whether the cell is a float text.
bool accepted(std::string_view cell) {
  if (cell.empty()) return false;
  std::string_view body = cell;
  if (cell[0] == '+' || cell[0] == '-') {
    body.remove_prefix(1);
    if (body.empty()) return false;
  } else if (!is_digit(cell[0]) && cell[0] != '.') {
    return false;
  }
  return decimal_number(body) || equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity") ||
         equals_ignoring_case(body, "nan");
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
