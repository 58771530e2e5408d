// The quoted form of a CSV field, and csv::quote on top of the field writer.
#include <cstring>
#include <string>

#include "field.hpp"
#include "write.hpp"

namespace kelo_frame::csv {

// U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and
// U+3000, read from their UTF-8 bytes.
bool starts_with_wide_space(std::string_view text) noexcept {
  const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const std::size_t n = text.size();
  switch (at(0)) {
    case 0xC2: return n >= 2 && (at(1) == 0x85 || at(1) == 0xA0);
    case 0xE1: return n >= 3 && at(1) == 0x9A && at(2) == 0x80;
    case 0xE2:
      if (n < 3) return false;
      if (at(1) == 0x80) {
        const unsigned char t = at(2);
        return (t >= 0x80 && t <= 0x8A) || t == 0xA8 || t == 0xA9 || t == 0xAF;
      }
      return at(1) == 0x81 && at(2) == 0x9F;
    case 0xE3: return n >= 3 && at(1) == 0x80 && at(2) == 0x80;
    default: return false;
  }
}

char* put_quoted(char* out, std::string_view text) noexcept {
  *out++ = '"';
  const char* p = text.data();
  const char* end = p + text.size();
  while (p != end) {
    const auto* q = static_cast<const char*>(std::memchr(p, '"', static_cast<std::size_t>(end - p)));
    const char* stop = q != nullptr ? q + 1 : end;
    std::memcpy(out, p, static_cast<std::size_t>(stop - p));
    out += stop - p;
    if (q != nullptr) *out++ = '"';
    p = stop;
  }
  *out++ = '"';
  return out;
}

std::string quote(std::string_view text) {
  std::string out;
  out.resize_and_overwrite(field_bound(text.size()) + field_slack, [text](char* buf, std::size_t) {
    return static_cast<std::size_t>(put_field(buf, text, text.size()) - buf);
  });
  return out;
}

}  // namespace kelo_frame::csv
