// KeyStore: the key cells of one key column for every group found so far,
// kept densely by group id while grouping.
//
// Comparing a row's key with a group's then reads small, cache-resident
// memory instead of the group's first row somewhere in a large column. Each
// store also feeds its column's cells into a batch of key hashes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "col.hpp"
#include "key_hash.hpp"
#include "short_text.hpp"

namespace kelo_frame {

// The most rows hashed and compared as one batch.
inline constexpr std::size_t key_batch = 256;

template <class T>
class NumStore {
 public:
  explicit NumStore(const NumCol<T>& col) : col_(&col), dense_(col.valid.all_present()) {}

  void feed(const std::uint32_t* rows, std::size_t n, std::uint64_t* h) const noexcept {
    const T* values = col_->values.data();
    if (dense_) {
      for (std::size_t i = 0; i < n; ++i) h[i] = feed_value(h[i], values[rows[i]]);
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t r = rows[i];
        h[i] = col_->present(r) ? feed_value(h[i], values[r]) : key_hash::feed_missing(h[i]);
      }
    }
  }

  [[nodiscard]] bool same(std::uint32_t r, std::uint32_t g, std::size_t /*i*/) const noexcept {
    if (!dense_) {
      const bool present = col_->present(r);
      if (present != (present_[g] != 0)) return false;
      if (!present) return true;
    }
    return equal(col_->values[r], values_[g]);
  }

  void add(std::uint32_t r) {
    values_.push_back(col_->values[r]);
    if (!dense_) present_.push_back(col_->present(r) ? 1 : 0);
  }

  static std::uint64_t feed_value(std::uint64_t h, T v) noexcept {
    if constexpr (std::is_same_v<T, double>) {
      return key_hash::feed_f64(h, v);
    } else {
      return key_hash::feed_i64(h, v);
    }
  }
  static bool equal(T a, T b) noexcept {
    if constexpr (std::is_same_v<T, double>) {
      return key_hash::same_f64(a, b);
    } else {
      return a == b;
    }
  }

 private:
  const NumCol<T>* col_;
  bool dense_;
  std::vector<T> values_;
  std::vector<std::uint8_t> present_;
};

class StrStore {
 public:
  explicit StrStore(const StrCol& col) : col_(&col), dense_(col.valid.all_present()) {}

  // Also notes each row's text size and short text, by its place in the
  // batch, for same().
  void feed(const std::uint32_t* rows, std::size_t n, std::uint64_t* h) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t r = rows[i];
      if (!dense_ && !col_->present(r)) {
        sizes_[i] = missing;
        h[i] = key_hash::feed_missing(h[i]);
        continue;
      }
      const std::string_view text = col_->at(r);
      h[i] = key_hash::feed_str(h[i], text);
      sizes_[i] = text.size();
      if (text.size() <= ShortText::max) words_[i] = ShortText::of(text);
    }
  }

  // True when the cell at row r, the i-th row of the batch last fed, equals
  // group g's key cell.
  [[nodiscard]] bool same(std::uint32_t r, std::uint32_t g, std::size_t i) const noexcept {
    const std::uint64_t size = sizes_[i];
    if (!dense_) {
      const bool present = size != missing;
      if (present != (present_[g] != 0)) return false;
      if (!present) return true;
    }
    const Entry& e = entries_[g];
    if (size != e.size) return false;
    if (size <= ShortText::max) return words_[i] == e.words;
    return col_->at(r) == std::string_view(bytes_).substr(e.from, e.size);
  }

  // True when text is group g's (present) key text.
  [[nodiscard]] bool same_text(std::string_view text, std::uint32_t g) const noexcept {
    const Entry& e = entries_[g];
    if (text.size() != e.size) return false;
    if (text.size() <= ShortText::max) return ShortText::of(text) == e.words;
    return text == std::string_view(bytes_).substr(e.from, e.size);
  }

  void add(std::uint32_t r) {
    const std::string_view text = col_->at(r);
    Entry e{ShortText{}, bytes_.size(), text.size()};
    if (text.size() <= ShortText::max) {
      e.words = ShortText::of(text);
    } else {
      bytes_.append(text);
    }
    entries_.push_back(e);
    if (!dense_) present_.push_back(col_->present(r) ? 1 : 0);
  }

 private:
  // A group's key text: short ones as words, longer ones in bytes_.
  struct Entry {
    ShortText words;
    std::uint64_t from;
    std::uint64_t size;
  };

  static constexpr std::uint64_t missing = ~std::uint64_t{0};

  const StrCol* col_;
  bool dense_;
  std::array<std::uint64_t, key_batch> sizes_{};
  std::array<ShortText, key_batch> words_{};
  std::vector<Entry> entries_;
  std::string bytes_;
  std::vector<std::uint8_t> present_;
};

}  // namespace kelo_frame
