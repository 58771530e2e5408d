// RecordReader: reads CSV records one at a time, exactly, counting lines.
//
// This is the reference reading of the dialect: fields separated by commas,
// records ended by LF, CR or CR LF, fields optionally between double quotes
// with doubled quotes inside. The whole-text scanners build on it: the exact
// scanner reads every record with it, the fast scanner the header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../engine/result.hpp"
#include "span_list.hpp"

namespace kelo_frame::csv {

class RecordReader {
 public:
  // text holds fewer than 2^32 bytes, so every offset fits a Bounds.
  explicit RecordReader(std::string_view text) noexcept : text_(text) {}

  [[nodiscard]] bool done() const noexcept { return pos_ >= text_.size(); }
  // The offset where the next record begins.
  [[nodiscard]] std::size_t pos() const noexcept { return pos_; }
  // The line on which the last record read began.
  [[nodiscard]] std::uint64_t record_line() const noexcept { return record_line_; }

  // Reads the record at pos() into fields (cleared first) and moves past its
  // terminator, or returns the message of a quote error.
  Result<void> read(std::vector<Bounds>& fields);

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  std::uint64_t line_ = 1;
  std::uint64_t record_line_ = 1;
};

// True for a record that is one empty unquoted field: a blank line.
[[nodiscard]] inline bool is_blank(const std::vector<Bounds>& fields, std::string_view text) noexcept {
  return fields.size() == 1 && is_missing(fields[0], text);
}

}  // namespace kelo_frame::csv
