// Writing one text as a CSV field into a caller's buffer: the quoting rule
// shared by csv::quote and csv::write.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelo_frame::csv {

// True when the text must be written in quotes: it is empty, holds a comma, a
// double quote, a CR or an LF, or its first character is Unicode white space.
[[nodiscard]] bool needs_quotes(std::string_view text) noexcept;

// The most bytes put_field writes for a text of n bytes: every byte a quote,
// doubled, between two quotes.
[[nodiscard]] constexpr std::size_t field_bound(std::size_t n) noexcept { return 2 * n + 2; }

// Writes the text at out as one CSV field (in quotes with quotes doubled when
// needs_quotes, else as it is) and returns the end. out must have room for
// field_bound(text.size()) bytes.
char* put_field(char* out, std::string_view text) noexcept;

// Writes the text between two double quotes, every double quote doubled.
char* put_quoted(char* out, std::string_view text) noexcept;

}  // namespace kelo_frame::csv
