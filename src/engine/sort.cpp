// Sorting: Table::sort and the stable row orderings behind it.
//
// Missing cells are split off first and appended, in view order, after the
// sorted present cells. Present cells are ordered by one of two methods that
// give the same result:
//
// - Radix: each cell becomes an unsigned 64-bit key whose unsigned order is
//   the wanted order (inverted for descending), and (key, row) pairs go through
//   a stable least-significant-digit radix sort, one byte a pass, skipping the
//   bytes that every key shares. When the keys' range and the pair's position
//   fit together in 64 bits, both are packed into one word, which halves the
//   memory moved. Texts are keyed by their first 8 bytes; runs of equal keys
//   are then ordered by their next bytes, the same way, until they are
//   resolved.
// - Compare: a stable comparison sort reading the cells, for short inputs.
#include "sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace kelo_frame {

namespace {

constexpr std::uint64_t sign_bit = std::uint64_t{1} << 63;

// Inputs shorter than this take the comparison sort under SortMethod::Auto.
constexpr std::size_t compare_below = 64;

// ---------------------------------------------------------------------------
// Order-preserving keys

[[nodiscard]] constexpr std::uint64_t i64_key(std::int64_t v, bool descending) noexcept {
  const std::uint64_t key = static_cast<std::uint64_t>(v) ^ sign_bit;
  return descending ? ~key : key;
}

// NaN takes the greatest key in both directions, so NaN cells come after
// every other present cell; no other float reaches it (+inf ascending and
// -inf descending both give 0xfff0000000000000).
constexpr std::uint64_t nan_key = ~std::uint64_t{0};

[[nodiscard]] inline std::uint64_t f64_key(double v, bool descending) noexcept {
  if (std::isnan(v)) return nan_key;
  if (v == 0.0) v = 0.0;  // the two zeros are one value
  const auto bits = std::bit_cast<std::uint64_t>(v);
  // Negative floats order backwards by their bits: flip them all. Positive
  // ones order forwards: set the sign bit so they follow the negatives.
  const std::uint64_t key = (bits & sign_bit) != 0 ? ~bits : bits | sign_bit;
  return descending ? ~key : key;
}

// Bytes [offset, offset + 8) of text, big-endian, padded with zero bytes.
[[nodiscard]] inline std::uint64_t text_key(std::string_view text, std::size_t offset, bool descending) noexcept {
  std::array<unsigned char, 8> buffer{};
  if (offset < text.size()) std::memcpy(buffer.data(), text.data() + offset, std::min<std::size_t>(8, text.size() - offset));
  auto key = std::bit_cast<std::uint64_t>(buffer);
  if constexpr (std::endian::native == std::endian::little) key = std::byteswap(key);
  return descending ? ~key : key;
}

// ---------------------------------------------------------------------------
// Radix sort

struct Keyed {
  std::uint64_t key;
  std::uint32_t row;
};

// Stable LSD radix sort of items by bits [lo, hi) of key_of(item), one byte a
// pass. Bits above hi must be zero. One pass counts every byte of every key;
// a byte whose count puts every item in one bucket needs no pass.
template <class Item, class KeyOf>
void radix_sort(std::span<Item> items, std::span<Item> scratch, unsigned lo, unsigned hi, KeyOf key_of) {
  const std::size_t n = items.size();
  if (n < 2 || hi <= lo) return;
  const unsigned digits = (hi - lo + 7) / 8;
  std::vector<std::array<std::size_t, 256>> counts(digits);
  for (const Item& item : items) {
    std::uint64_t key = key_of(item) >> lo;
    for (unsigned d = 0; d < digits; ++d, key >>= 8) ++counts[d][key & 0xff];
  }
  Item* src = items.data();
  Item* dst = scratch.data();
  for (unsigned d = 0; d < digits; ++d) {
    const std::array<std::size_t, 256>& count = counts[d];
    if (std::find(count.begin(), count.end(), n) != count.end()) continue;
    std::array<std::size_t, 256> next;  // NOLINT(cppcoreguidelines-pro-type-member-init)
    std::size_t sum = 0;
    for (std::size_t b = 0; b < 256; ++b) {
      next[b] = sum;
      sum += count[b];
    }
    const unsigned shift = lo + 8 * d;
    for (std::size_t i = 0; i < n; ++i) {
      const Item item = src[i];
      dst[next[(key_of(item) >> shift) & 0xff]++] = item;
    }
    std::swap(src, dst);
  }
  if (src != items.data()) std::copy_n(src, n, items.data());
}

// Sorts items by key: the keys are made relative to their least, so that only
// the bytes of their range are sorted on. Keys change (equal keys stay equal).
void sort_keyed(std::span<Keyed> items, std::span<Keyed> scratch) {
  if (items.size() < 2) return;
  std::uint64_t least = ~std::uint64_t{0};
  std::uint64_t most = 0;
  for (const Keyed& item : items) {
    least = std::min(least, item.key);
    most = std::max(most, item.key);
  }
  for (Keyed& item : items) item.key -= least;
  const auto bits = static_cast<unsigned>(std::bit_width(most - least));
  radix_sort(items, scratch, 0, bits, [](const Keyed& item) { return item.key; });
}

// present (row numbers) reordered by key_of(row), stably, by radix sort.
template <class KeyOfRow>
RowIndex radix_rows(RowIndex present, const KeyOfRow& key_of_row) {
  const std::size_t n = present.size();
  if (n < 2) return present;
  std::vector<std::uint64_t> keys(n);
  std::uint64_t least = ~std::uint64_t{0};
  std::uint64_t most = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = key_of_row(present[i]);
    keys[i] = key;
    least = std::min(least, key);
    most = std::max(most, key);
  }
  const auto key_bits = static_cast<unsigned>(std::bit_width(most - least));
  if (key_bits == 0) return present;  // every key equal: already in order
  const auto place_bits = static_cast<unsigned>(std::bit_width(n - 1));

  if (key_bits + place_bits <= 64) {
    // Packed: (key - least) in the high bits, the place in the low bits. The
    // places start in order, so sorting on the key bits alone is stable.
    for (std::size_t i = 0; i < n; ++i) keys[i] = ((keys[i] - least) << place_bits) | i;
    std::vector<std::uint64_t> scratch(n);
    radix_sort(std::span(keys), std::span(scratch), place_bits, place_bits + key_bits,
               [](std::uint64_t item) { return item; });
    const std::uint64_t mask = (std::uint64_t{1} << place_bits) - 1;
    RowIndex out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = present[keys[i] & mask];
    return out;
  }

  std::vector<Keyed> items(n);
  for (std::size_t i = 0; i < n; ++i) items[i] = Keyed{keys[i] - least, present[i]};
  keys = {};
  std::vector<Keyed> scratch(n);
  radix_sort(std::span(items), std::span(scratch), 0, key_bits, [](const Keyed& item) { return item.key; });
  for (std::size_t i = 0; i < n; ++i) present[i] = items[i].row;
  return present;
}

// ---------------------------------------------------------------------------
// Texts

class Texts {
 public:
  explicit Texts(const StrCol& col) : offsets_(col.offsets.data()), bytes_(col.bytes.data()) {}
  [[nodiscard]] std::string_view operator()(std::uint32_t r) const noexcept {
    return {bytes_ + offsets_[r], static_cast<std::size_t>(offsets_[r + 1] - offsets_[r])};
  }

 private:
  const std::uint64_t* offsets_;
  const char* bytes_;
};

// a before b in byte order, for texts that agree on their first offset bytes
// when padded with zero bytes: the bytes from offset decide, then the length.
[[nodiscard]] inline bool text_less_from(std::string_view a, std::string_view b, std::size_t offset) noexcept {
  const std::string_view tail_a = a.substr(std::min(offset, a.size()));
  const std::string_view tail_b = b.substr(std::min(offset, b.size()));
  const int c = tail_a.compare(tail_b);
  return c != 0 ? c < 0 : a.size() < b.size();
}

// Orders items (keyed by their first 8 bytes and sorted) within each run of
// equal keys. Each run agrees on its first `offset` bytes (padded); it is keyed
// by its next 8 bytes and sorted again, until each run is a single row, or
// texts that are equal, or prefixes of one another (ordered by length).
void resolve_text_runs(std::span<Keyed> items, std::span<Keyed> scratch, const Texts& text, bool descending) {
  struct Run {
    std::size_t begin;
    std::size_t end;
    std::size_t offset;
  };
  std::vector<Run> todo;
  const auto push_runs = [&todo, items](std::size_t begin, std::size_t end, std::size_t offset) {
    std::size_t i = begin;
    while (i < end) {
      std::size_t j = i + 1;
      while (j < end && items[j].key == items[i].key) ++j;
      if (j - i > 1) todo.push_back(Run{i, j, offset});
      i = j;
    }
  };
  push_runs(0, items.size(), 8);

  while (!todo.empty()) {
    const Run run = todo.back();
    todo.pop_back();
    const std::span<Keyed> part = items.subspan(run.begin, run.end - run.begin);
    const std::size_t offset = run.offset;

    if (part.size() < compare_below) {
      std::stable_sort(part.begin(), part.end(), [&text, offset, descending](const Keyed& a, const Keyed& b) {
        return descending ? text_less_from(text(b.row), text(a.row), offset)
                          : text_less_from(text(a.row), text(b.row), offset);
      });
      continue;
    }

    // The longest text, and the bytes that every text shares with the first.
    const std::string_view first = text(part.front().row);
    std::size_t longest = 0;
    std::size_t shared = first.size();
    for (const Keyed& item : part) {
      const std::string_view t = text(item.row);
      longest = std::max(longest, t.size());
      const std::size_t limit = std::min(shared, t.size());
      shared = static_cast<std::size_t>(std::mismatch(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(limit),
                                                      t.begin()).first -
                                        first.begin());
    }
    if (longest <= offset) {
      // Every text ends within the bytes they agree on: each is a prefix of
      // the longer ones, so the length decides.
      std::stable_sort(part.begin(), part.end(), [&text, descending](const Keyed& a, const Keyed& b) {
        const std::size_t la = text(a.row).size();
        const std::size_t lb = text(b.row).size();
        return descending ? lb < la : la < lb;
      });
      continue;
    }
    if (shared == longest) continue;  // every text is the same

    const std::size_t next = std::max(offset, shared);
    for (Keyed& item : part) item.key = text_key(text(item.row), next, descending);
    sort_keyed(part, scratch.subspan(run.begin, part.size()));
    push_runs(run.begin, run.end, next + 8);
  }
}

RowIndex radix_text_rows(RowIndex present, const Texts& text, bool descending) {
  const std::size_t n = present.size();
  if (n < 2) return present;
  std::vector<Keyed> items(n);
  for (std::size_t i = 0; i < n; ++i) items[i] = Keyed{text_key(text(present[i]), 0, descending), present[i]};
  std::vector<Keyed> scratch(n);
  sort_keyed(items, scratch);
  resolve_text_runs(items, scratch, text, descending);
  for (std::size_t i = 0; i < n; ++i) present[i] = items[i].row;
  return present;
}

// ---------------------------------------------------------------------------
// Comparison of cells

// a before b for present f64 cells: NaN after every other value in both
// directions; otherwise by value (the two zeros are equal).
[[nodiscard]] inline bool f64_before(double a, double b, bool descending) noexcept {
  if (std::isnan(b)) return !std::isnan(a);
  if (std::isnan(a)) return false;
  return descending ? a > b : a < b;
}

template <class Before>
void compare_sort(RowIndex& present, const Before& before) {
  std::stable_sort(present.begin(), present.end(), before);
}

// ---------------------------------------------------------------------------

// Splits rows into those whose cell is present and those whose cell is
// missing, each in the given order.
std::pair<RowIndex, RowIndex> split_missing(RowIndex rows, const Validity& valid) {
  if (valid.all_present()) return {std::move(rows), RowIndex{}};
  RowIndex present;
  RowIndex missing;
  present.reserve(rows.size());
  for (const std::uint32_t r : rows) (valid.present(r) ? present : missing).push_back(r);
  return {std::move(present), std::move(missing)};
}

RowIndex sort_present(const F64Col& col, RowIndex present, bool descending, bool radix) {
  const double* values = col.values.data();
  if (radix) return radix_rows(std::move(present), [values, descending](std::uint32_t r) { return f64_key(values[r], descending); });
  compare_sort(present, [values, descending](std::uint32_t a, std::uint32_t b) {
    return f64_before(values[a], values[b], descending);
  });
  return present;
}

RowIndex sort_present(const I64Col& col, RowIndex present, bool descending, bool radix) {
  const std::int64_t* values = col.values.data();
  if (radix) return radix_rows(std::move(present), [values, descending](std::uint32_t r) { return i64_key(values[r], descending); });
  compare_sort(present, [values, descending](std::uint32_t a, std::uint32_t b) {
    return descending ? values[a] > values[b] : values[a] < values[b];
  });
  return present;
}

RowIndex sort_present(const StrCol& col, RowIndex present, bool descending, bool radix) {
  const Texts text(col);
  if (radix) return radix_text_rows(std::move(present), text, descending);
  compare_sort(present, [&text, descending](std::uint32_t a, std::uint32_t b) {
    return descending ? text(b) < text(a) : text(a) < text(b);
  });
  return present;
}

}  // namespace

RowIndex sort_rows(const Col& col, RowIndex rows, bool descending, SortMethod method) {
  return std::visit(
      [&rows, descending, method](const auto& c) {
        auto [present, missing] = split_missing(std::move(rows), c.valid);
        const bool radix =
            method == SortMethod::Radix || (method == SortMethod::Auto && present.size() >= compare_below);
        RowIndex out = sort_present(c, std::move(present), descending, radix);
        out.insert(out.end(), missing.begin(), missing.end());
        return out;
      },
      col);
}

Result<Table> Table::sort(std::string_view name, bool descending) const {
  auto found = col(name);
  if (!found) return fail(std::move(found.error()));
  return over(sort_rows(**found, rows(), descending));
}

}  // namespace kelo_frame
