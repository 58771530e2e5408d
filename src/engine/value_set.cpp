#include "value_set.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <functional>

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

}  // namespace

std::uint64_t NumSet::key_of(double v) noexcept { return v == 0.0 ? 0 : std::bit_cast<std::uint64_t>(v); }

void NumSet::size_for(std::size_t n) {
  const Size s = table_size(n);
  slots_.assign(s.slots, empty);
  mask_ = s.slots - 1;
  shift_ = s.shift;
}

void NumSet::insert(std::uint64_t key) {
  if (key == empty) {
    if (!has_empty_) keys_.push_back(key);
    has_empty_ = true;
    return;
  }
  for (std::size_t i = slot(key);; i = (i + 1) & mask_) {
    std::uint64_t& s = slots_[i];
    if (s == key) return;
    if (s == empty) {
      s = key;
      keys_.push_back(key);
      return;
    }
  }
}

NumSet::NumSet(std::span<const std::int64_t> values) {
  size_for(values.size());
  for (const std::int64_t v : values) insert(key_of(v));
}

NumSet::NumSet(std::span<const double> values) {
  size_for(values.size());
  for (const double v : values) {
    if (!std::isnan(v)) insert(key_of(v));
  }
}

template <class T>
void NumSet::masks(const T* values, std::size_t rows, std::uint64_t* out) const noexcept {
  const bool far = slots_.size() * sizeof(std::uint64_t) > cached_bytes;
  for (std::size_t w = 0; w * 64 < rows; ++w) {
    const std::size_t n = std::min<std::size_t>(64, rows - w * 64);
    const T* cells = values + w * 64;
    std::uint64_t m = 0;
    if (far) {
      for (std::size_t j = 0; j < n; ++j) prefetch(&slots_[slot(key_of(cells[j]))]);
    }
    for (std::size_t j = 0; j < n; ++j) m |= std::uint64_t{contains(key_of(cells[j]))} << j;
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
  slots_.assign(s.slots, none);
  mask_ = s.slots - 1;
  shift_ = s.shift;
  entries_.reserve(capacity);
}

TextSet::TextSet(std::span<const std::string> values) : TextSet(values.size()) {
  for (const std::string& v : values) insert(v);
}

std::pair<std::uint32_t, bool> TextSet::insert(std::string_view text) {
  const std::uint64_t h = hash(text);
  std::size_t i = slot(h);
  for (; slots_[i] != none; i = (i + 1) & mask_) {
    const Entry& x = entries_[slots_[i]];
    if (x.hash == h && x.text == text) return {slots_[i], false};
  }
  const auto e = static_cast<std::uint32_t>(entries_.size());
  slots_[i] = e;
  entries_.push_back(Entry{text, ShortText::of(text), h});
  return {e, true};
}

std::vector<std::string_view> TextSet::texts() const {
  std::vector<std::string_view> out;
  out.reserve(entries_.size());
  for (const Entry& e : entries_) out.push_back(e.text);
  return out;
}

void TextSet::masks(const std::uint64_t* offsets, std::size_t rows, const char* bytes,
                    std::uint64_t* out) const noexcept {
  const bool far = slots_.size() * sizeof(std::uint32_t) > cached_bytes;
  std::uint64_t h[64];  // NOLINT(cppcoreguidelines-pro-type-member-init)
  for (std::size_t w = 0; w * 64 < rows; ++w) {
    const std::size_t n = std::min<std::size_t>(64, rows - w * 64);
    const std::uint64_t* o = offsets + w * 64;
    const auto text = [bytes, o](std::size_t j) {
      return std::string_view(bytes + o[j], static_cast<std::size_t>(o[j + 1] - o[j]));
    };
    for (std::size_t j = 0; j < n; ++j) {
      h[j] = hash(text(j));
      if (far) prefetch(&slots_[slot(h[j])]);
    }
    std::uint64_t m = 0;
    for (std::size_t j = 0; j < n; ++j) m |= std::uint64_t{find(text(j), h[j]) != none} << j;
    out[w] = m;
  }
}

}  // namespace kelo_frame
