// Col: one typed column of optional cells.
//
// Three variants, in this order: f64, i64, str. Numbers are stored as one
// contiguous vector of values plus a validity bitmap; texts as one byte buffer
// plus offsets (cell r is bytes[offsets[r], offsets[r + 1])). A missing cell
// keeps a zero value or an empty text in storage, but only the bitmap says
// whether a cell is present. A Col is never changed once it is in a table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "validity.hpp"

namespace kelo_frame {

template <class T>
struct NumCol {
  std::vector<T> values;
  Validity valid;

  [[nodiscard]] std::size_t size() const noexcept { return values.size(); }
  [[nodiscard]] bool present(std::size_t row) const noexcept { return valid.present(row); }

  void push(T value) { values.push_back(value); }
  void push_missing() {
    valid.set_missing(values.size());
    values.push_back(T{});
  }
};

using F64Col = NumCol<double>;
using I64Col = NumCol<std::int64_t>;

struct StrCol {
  std::vector<std::uint64_t> offsets{0};
  std::string bytes;
  Validity valid;

  [[nodiscard]] std::size_t size() const noexcept { return offsets.size() - 1; }
  [[nodiscard]] bool present(std::size_t row) const noexcept { return valid.present(row); }
  [[nodiscard]] std::string_view at(std::size_t row) const noexcept {
    return {bytes.data() + offsets[row], static_cast<std::size_t>(offsets[row + 1] - offsets[row])};
  }

  void push(std::string_view text) {
    bytes.append(text);
    offsets.push_back(bytes.size());
  }
  void push_missing() {
    valid.set_missing(size());
    offsets.push_back(bytes.size());
  }
};

using Col = std::variant<F64Col, I64Col, StrCol>;

enum class Dtype : std::uint8_t { F64, I64, Str };

[[nodiscard]] inline Dtype dtype(const Col& col) noexcept { return static_cast<Dtype>(col.index()); }

// "f64", "i64" or "str": the name used in messages and in Frame.dtypes().
[[nodiscard]] inline std::string_view dtype_name(Dtype d) noexcept {
  switch (d) {
    case Dtype::F64: return "f64";
    case Dtype::I64: return "i64";
    case Dtype::Str: return "str";
  }
  return "str";
}
[[nodiscard]] inline std::string_view dtype_name(const Col& col) noexcept { return dtype_name(dtype(col)); }

// The storage length: the number of cells in the column's vector.
[[nodiscard]] inline std::size_t storage_length(const Col& col) noexcept {
  return std::visit([](const auto& c) { return c.size(); }, col);
}

[[nodiscard]] inline bool present(const Col& col, std::size_t row) noexcept {
  return std::visit([row](const auto& c) { return c.present(row); }, col);
}

}  // namespace kelo_frame
