#include "record_reader.hpp"

#include <algorithm>
#include <cstring>

namespace kelo_frame::csv {

namespace {

constexpr bool is_separator(char c) noexcept { return c == ',' || c == '\n' || c == '\r'; }

std::uint32_t offset(std::size_t at) noexcept { return static_cast<std::uint32_t>(at); }

}  // namespace

Result<void> RecordReader::read(std::vector<Bounds>& fields) {
  fields.clear();
  record_line_ = line_;
  const char* const s = text_.data();
  const std::size_t n = text_.size();
  std::size_t p = pos_;
  for (;;) {
    std::size_t after;  // just past the field (past its closing quote)
    if (p < n && s[p] == '"') {
      const std::size_t content = p + 1;
      std::size_t from = content;
      for (;;) {
        const void* hit = std::memchr(s + from, '"', n - from);
        if (hit == nullptr) {
          return fail("line " + std::to_string(record_line_) + ": a quoted field is never closed");
        }
        const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(hit) - s);
        // LFs inside quotes end lines too; CRs there do not.
        line_ += static_cast<std::uint64_t>(std::count(s + from, s + at, '\n'));
        if (at + 1 < n && s[at + 1] == '"') {
          from = at + 2;  // a doubled quote
          continue;
        }
        if (at + 1 < n && !is_separator(s[at + 1])) {
          return fail("line " + std::to_string(line_) + ": text after a closing quote");
        }
        fields.push_back(Bounds{offset(content), offset(at)});
        after = at + 1;
        break;
      }
    } else {
      std::size_t e = p;
      while (e < n && !is_separator(s[e])) ++e;
      fields.push_back(Bounds{offset(p), offset(e)});
      after = e;
    }
    if (after == n) {
      p = n;
      break;
    }
    if (s[after] == ',') {
      p = after + 1;
      if (p == n) {
        // A comma at the very end leaves one more, empty field.
        fields.push_back(Bounds{offset(n), offset(n)});
        break;
      }
      continue;
    }
    p = after + 1;
    if (s[after] == '\r' && p < n && s[p] == '\n') ++p;
    break;
  }
  ++line_;
  pos_ = p;
  return {};
}

}  // namespace kelo_frame::csv
