// The CSV writer: a table (view or not) out as CSV text that the reader reads
// back to an equal table.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "../engine/table.hpp"

namespace kelo_frame::csv {

// The header line and one line per row of the view, each ending with LF.
[[nodiscard]] std::string write(const Table& table);

// Memory that write_into formats into, owned by the caller: a Python str's
// own buffer, for instance, so that the text is never copied once written.
class Sink {
 public:
  // Makes the area at least `size` bytes long, its first `keep` bytes
  // unchanged, and returns its start (which may move). Bytes past `keep` may
  // hold anything. Throws std::bad_alloc when the memory cannot be had.
  virtual char* resize(std::size_t keep, std::size_t size) = 0;

 protected:
  Sink() = default;
  Sink(const Sink&) = default;
  Sink& operator=(const Sink&) = default;
  ~Sink() = default;
};

// What write_into wrote: the first `size` bytes of the sink's area, and
// whether every one of them is below 0x80.
struct Written {
  std::size_t size = 0;
  bool ascii = true;
};

// The text of write(table), formatted into the sink.
Written write_into(const Table& table, Sink& sink);

// The text as one CSV field: in double quotes, with quotes doubled, when it is
// empty, holds a comma, quote, CR or LF, or begins with white space.
[[nodiscard]] std::string quote(std::string_view text);

}  // namespace kelo_frame::csv
