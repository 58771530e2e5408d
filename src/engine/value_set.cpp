#include "value_set.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>
#include <type_traits>

#include "fresh_pages.hpp"
#include "match_masks.hpp"
#include "prefetch.hpp"

namespace kelo_frame {

namespace {

// Tables are at most half full, and at least 16 slots.
struct Size {
  std::size_t slots;
  unsigned shift;
};

Size table_size(std::size_t n) {
  const std::size_t slots = std::max<std::size_t>(16, std::bit_ceil(2 * std::max<std::size_t>(n, 1)));
  return {slots, static_cast<unsigned>(64 - std::countr_zero(slots))};
}

// A table larger than this (in bytes) is likely out of the first two cache
// levels, so the masks ask for a word's 64 slots before probing any of them.
constexpr std::size_t cached_bytes = std::size_t{1} << 18;

bool far(const std::vector<std::uint64_t>& table) { return table.size() * sizeof(std::uint64_t) > cached_bytes; }

}  // namespace

void Sieve::size_for(std::size_t keys) {
  const std::size_t bits = std::max<std::size_t>(64, std::bit_ceil(8 * std::max<std::size_t>(keys, 1)));
  bits_.assign(bits / 64, 0);
  shift_ = static_cast<unsigned>(64 - std::countr_zero(bits));
}

std::uint64_t NumSet::key_of(double v) noexcept { return v == 0.0 ? 0 : std::bit_cast<std::uint64_t>(v); }

void NumSet::size_for(std::size_t n) {
  // Half of the lanes free on average.
  const std::size_t buckets =
      std::max<std::size_t>(4, std::bit_ceil((2 * std::max<std::size_t>(n, 1) + lanes - 1) / lanes));
  slots_.assign(buckets * lanes, empty);
  mask_ = buckets - 1;
  shift_ = static_cast<unsigned>(64 - std::countr_zero(buckets));
}

void NumSet::insert(std::uint64_t key) {
  if (!bits_.empty()) {
    const std::uint64_t at = key - low_;
    std::uint64_t& word = bits_[at >> 6];
    const std::uint64_t bit = std::uint64_t{1} << (at & 63);
    size_ += (word & bit) == 0 ? 1 : 0;
    word |= bit;
    return;
  }
  if (key == empty) {
    size_ += has_empty_ ? 0 : 1;
    has_empty_ = true;
    return;
  }
  for (std::size_t b = bucket(key);; b = (b + 1) & mask_) {
    for (std::size_t i = 0; i < lanes; ++i) {
      std::uint64_t& s = slots_[b * lanes + i];
      if (s == key) return;
      if (s == empty) {
        s = key;
        ++size_;
        return;
      }
    }
  }
}

NumSet::NumSet(std::span<const std::int64_t> values) {
  if (values.empty()) {
    size_for(0);
    return;
  }
  const auto [lo, hi] = std::ranges::minmax(values);
  // The span as an unsigned difference: exact even from INT64_MIN to INT64_MAX.
  const std::uint64_t span = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
  constexpr std::uint64_t bits_per_key = 256;
  if (span / bits_per_key < values.size()) {
    low_ = static_cast<std::uint64_t>(lo);
    span_ = span + 1;
    bits_.assign(static_cast<std::size_t>(span / 64 + 1), 0);
  } else {
    size_for(values.size());
  }
  insert_all(values);
  fill_sieve();
}

NumSet::NumSet(std::span<const double> values) {
  size_for(values.size());
  insert_all(values);
  fill_sieve();
}

template <class T>
void NumSet::insert_all(std::span<const T> values) {
  // A long list's table is larger than the caches and its buckets are
  // written at random: each is asked for some values ahead.
  const bool ahead = bits_.empty() && far(slots_);
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (ahead && i + prefetch_distance < values.size()) {
      prefetch_for_write(&slots_[bucket(key_of(values[i + prefetch_distance])) * lanes]);
    }
    if constexpr (std::is_floating_point_v<T>) {
      if (std::isnan(values[i])) continue;
    }
    insert(key_of(values[i]));
  }
}

void NumSet::fill_sieve() {
  if (!bits_.empty()) return;
  sieve_.size_for(size_);
  if (has_empty_) sieve_.add(empty);
  for (const std::uint64_t s : slots_) {
    if (s != empty) sieve_.add(s);
  }
}

std::vector<std::uint64_t> NumSet::keys() const {
  // Read back from the bitmap or the table rather than kept in a list as
  // they are added: only a set of few keys is ever asked for them.
  std::vector<std::uint64_t> out;
  out.reserve(size_);
  if (!bits_.empty()) {
    for (std::size_t w = 0; w < bits_.size(); ++w) {
      for (std::uint64_t b = bits_[w]; b != 0; b &= b - 1) {
        out.push_back(low_ + 64 * w + static_cast<unsigned>(std::countr_zero(b)));
      }
    }
    return out;
  }
  if (has_empty_) out.push_back(empty);
  for (const std::uint64_t s : slots_) {
    if (s != empty) out.push_back(s);
  }
  return out;
}

template <class T>
void NumSet::masks(const T* values, std::size_t rows, std::uint64_t* out) const noexcept {
  const bool bitmap = !bits_.empty();
  const bool sieved = !sieve_.empty();
  for (std::size_t w = 0; w * 64 < rows; ++w) {
    const std::size_t n = std::min<std::size_t>(64, rows - w * 64);
    const T* cells = values + w * 64;
    std::uint64_t m = 0;
    if (bitmap) {
      for (std::size_t j = 0; j < n; ++j) m |= std::uint64_t{in_bits(key_of(cells[j]))} << j;
    } else if (sieved) {
      // Ask the sieve for all 64 cells first, then for the buckets of those
      // that pass, so that their cache misses overlap.
      std::uint64_t maybe = 0;
      for (std::size_t j = 0; j < n; ++j) maybe |= std::uint64_t{sieve_.maybe(key_of(cells[j]))} << j;
      for (std::uint64_t b = maybe; b != 0; b &= b - 1) {
        prefetch(&slots_[bucket(key_of(cells[std::countr_zero(b)])) * lanes]);
      }
      for (std::uint64_t b = maybe; b != 0; b &= b - 1) {
        const auto j = static_cast<unsigned>(std::countr_zero(b));
        m |= std::uint64_t{in_table(key_of(cells[j]))} << j;
      }
    } else {
      for (std::size_t j = 0; j < n; ++j) m |= std::uint64_t{in_table(key_of(cells[j]))} << j;
    }
    out[w] = m;
  }
}

template void NumSet::masks(const std::int64_t*, std::size_t, std::uint64_t*) const noexcept;
template void NumSet::masks(const double*, std::size_t, std::uint64_t*) const noexcept;

std::uint64_t TextSet::hash(std::string_view text) noexcept {
  if (text.size() <= ShortText::max) return ShortText::of(text).hash(text.size());
  return std::hash<std::string_view>{}(text) * 0x9E3779B97F4A7C15ULL;
}

TextSet::TextSet(std::size_t capacity) {
  const Size s = table_size(capacity);
  reserve_made(slots_, s.slots);
  slots_.assign(s.slots, free);
  mask_ = s.slots - 1;
  shift_ = s.shift;
  reserve_made(entries_, capacity);
}

TextSet::TextSet(std::span<const std::string> values) : TextSet(values.size()) {
  insert_each(values.size(), [values](std::size_t i) -> std::string_view { return values[i]; });
  if (far(slots_)) {
    sieve_.size_for(entries_.size());
    for (const Entry& e : entries_) sieve_.add(hash(e.text));
    return;
  }
  screen_.size_for(entries_.size());
  for (const Entry& e : entries_) screen_.add(TextEnds::of(e.text).hash(e.text.size()));
}

std::pair<std::uint32_t, bool> TextSet::insert(std::string_view text, std::uint64_t h) {
  const std::uint32_t found = find(text, h);
  if (found != none) return {found, false};
  std::size_t i = slot(h);
  while (slots_[i] != free) i = (i + 1) & mask_;
  const auto e = static_cast<std::uint32_t>(entries_.size());
  slots_[i] = tag_of(h) | e;
  entries_.push_back(Entry{text, ShortText::of(text)});
  return {e, true};
}

std::vector<std::string_view> TextSet::texts() const {
  std::vector<std::string_view> out;
  out.reserve(entries_.size());
  for (const Entry& e : entries_) out.push_back(e.text);
  return out;
}

void TextSet::masks(const std::uint64_t* offsets, std::size_t rows, const char* bytes, std::size_t size,
                    std::uint64_t* out) const noexcept {
  const auto text_at = [bytes, offsets](std::size_t c) {
    return std::string_view(bytes + offsets[c], static_cast<std::size_t>(offsets[c + 1] - offsets[c]));
  };
  if (!sieve_.empty()) {
    std::uint64_t h[64];  // NOLINT(cppcoreguidelines-pro-type-member-init)
    for (std::size_t w = 0; w * 64 < rows; ++w) {
      const std::size_t n = std::min<std::size_t>(64, rows - w * 64);
      // Ask the sieve for all 64 cells first, then for the slots of those that
      // pass, so that their cache misses overlap.
      std::uint64_t maybe = 0;
      for (std::size_t j = 0; j < n; ++j) {
        h[j] = hash(text_at(w * 64 + j));
        const bool pass = sieve_.maybe(h[j]);
        if (pass) prefetch(&slots_[slot(h[j])]);
        maybe |= std::uint64_t{pass} << j;
      }
      std::uint64_t m = 0;
      for (std::uint64_t b = maybe; b != 0; b &= b - 1) {
        const auto j = static_cast<unsigned>(std::countr_zero(b));
        m |= std::uint64_t{find(text_at(w * 64 + j), h[j]) != none} << j;
      }
      out[w] = m;
    }
    return;
  }
  // A table in cache: in words whose every cell can load 8 bytes at its
  // start, the screen turns away most cells of 64 without a branch, and the
  // table settles those that pass.
  const std::size_t words = words_before_end(offsets, rows, size);
  for (std::size_t w = 0; w < words; ++w) {
    const std::uint64_t* o = offsets + w * 64;
    std::uint64_t maybe = 0;
    for (unsigned j = 0; j < 64; ++j) {
      const std::uint64_t n = o[j + 1] - o[j];
      maybe |= std::uint64_t{screen_.pass(TextEnds::at(bytes + o[j], n).hash(n))} << j;
    }
    std::uint64_t m = 0;
    for (std::uint64_t b = maybe; b != 0; b &= b - 1) {
      const auto j = static_cast<unsigned>(std::countr_zero(b));
      m |= std::uint64_t{contains(text_at(w * 64 + j))} << j;
    }
    out[w] = m;
  }
  // The last cells of the bytes, one probe each.
  for (std::size_t w = words; w * 64 < rows; ++w) {
    const std::size_t n = std::min<std::size_t>(64, rows - w * 64);
    std::uint64_t m = 0;
    for (std::size_t j = 0; j < n; ++j) m |= std::uint64_t{contains(text_at(w * 64 + j))} << j;
    out[w] = m;
  }
}

}  // namespace kelo_frame
