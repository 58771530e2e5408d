// Gathering: a column's cells at chosen row numbers, in that order, as a new
// column (a view's cells made into storage of their own).
//
// Rows from a sort or a filter visit storage in no particular order, so each
// cell read is a cache miss; the loops ask for cells a fixed distance ahead
// (prefetch.hpp) to keep many misses in flight. Values are copied without a
// look at validity (a missing cell holds zero in storage), and validity is
// built a word at a time. The output's fresh pages are asked for ahead of the
// writes (fresh_pages.hpp), huge ones where free. Texts take two passes: the first reads each cell's
// offsets once, noting its start and summing the lengths; the second reads
// those starts in order and copies the bytes, short texts as whole blocks.
#include <algorithm>
#include <cstring>
#include <string>

#include "fresh_pages.hpp"
#include "large_buffer.hpp"
#include "prefetch.hpp"
#include "table.hpp"

namespace kelo_frame {

namespace {

Validity gather_validity(const Validity& src, std::span<const std::uint32_t> rows) {
  if (src.all_present()) return {};
  std::vector<std::uint64_t> words((rows.size() + 63) / 64);
  for (std::size_t w = 0; w < words.size(); ++w) {
    std::uint64_t word = ~std::uint64_t{0};  // bits past the last row stay set
    const std::size_t end = std::min(rows.size(), w * 64 + 64);
    for (std::size_t i = w * 64; i < end; ++i) {
      word &= ~(std::uint64_t{!src.present(rows[i])} << (i & 63));
    }
    words[w] = word;
  }
  return Validity::from_words(std::move(words));
}

// Rows written between two requests for the output's next fresh pages.
constexpr std::size_t step = 16384;

template <class T>
NumCol<T> gather_num(const NumCol<T>& src, std::span<const std::uint32_t> rows) {
  const std::size_t n = rows.size();
  NumCol<T> out;
  out.values.reserve(n);
  prefer_huge_pages(out.values.data(), n * sizeof(T));
  PagesAhead pages;
  const T* from = src.values.data();
  for (std::size_t k = 0; k < n; k += step) {
    const std::size_t m = std::min(step, n - k);
    pages.before(out.values.data(), k, k + m, n);
    out.values.resize(k + m);  // zeroes one step, in cache
    T* values = out.values.data();
    for (std::size_t i = k; i < k + m; ++i) {
      if (i + prefetch_distance < n) prefetch(from + rows[i + prefetch_distance]);
      values[i] = from[rows[i]];
    }
  }
  out.valid = gather_validity(src.valid, rows);
  return out;
}

// Bytes a text copy may write past a cell's end, and read past its start,
// when it copies a short text as one 32-byte block.
constexpr std::size_t block = 32;

StrCol gather_str(const StrCol& src, std::span<const std::uint32_t> rows) {
  const std::size_t n = rows.size();
  const std::uint64_t* offsets = src.offsets.data();
  StrCol out;
  out.offsets.reserve(n + 1);
  prefer_huge_pages(out.offsets.data(), (n + 1) * sizeof(std::uint64_t));
  PagesAhead pages;
  LargeBuffer<std::uint64_t> starts(n);
  std::uint64_t total = 0;
  for (std::size_t k = 0; k < n; k += step) {
    const std::size_t m = std::min(step, n - k);
    pages.before(out.offsets.data(), k + 1, k + 1 + m, n + 1);
    out.offsets.resize(k + 1 + m);
    std::uint64_t* to = out.offsets.data();
    for (std::size_t i = k; i < k + m; ++i) {
      if (i + prefetch_distance < n) prefetch(offsets + rows[i + prefetch_distance]);
      const std::uint32_t r = rows[i];
      starts[i] = offsets[r];
      total += offsets[r + 1] - offsets[r];
      to[i + 1] = total;
    }
  }
  const std::uint64_t* to = out.offsets.data();
  const char* bytes = src.bytes.data();
  const std::uint64_t size = src.bytes.size();
  out.bytes.resize_and_overwrite(total + block, [&](char* dst, std::size_t) {
    prefer_huge_pages(dst, total + block);
    PagesAhead byte_pages;
    for (std::size_t i = 0; i < n; ++i) {
      if (i % step == 0)
        byte_pages.before(dst, to[i], std::min(to[i] + (std::uint64_t{1} << 20), total), total + block);
      if (i + prefetch_distance < n) prefetch(bytes + starts[i + prefetch_distance]);
      const std::uint64_t from = starts[i];
      const std::uint64_t len = to[i + 1] - to[i];
      if (len <= block && from + block <= size) {
        std::memcpy(dst + to[i], bytes + from, block);  // the next cells overwrite the excess
      } else if (len != 0) {
        std::memcpy(dst + to[i], bytes + from, len);
      }
    }
    return total;
  });
  out.valid = gather_validity(src.valid, rows);
  return out;
}

}  // namespace

Col gather(const Col& col, std::span<const std::uint32_t> rows) {
  return std::visit(
      [rows](const auto& c) -> Col {
        if constexpr (std::is_same_v<std::decay_t<decltype(c)>, StrCol>) {
          return gather_str(c, rows);
        } else {
          return gather_num(c, rows);
        }
      },
      col);
}

}  // namespace kelo_frame
