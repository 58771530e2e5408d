// Value sets: the wanted values of a membership filter in open-addressing
// hash tables, so that a long list of values costs one probe per cell instead
// of one comparison per value.
//
// A short list is faster as match masks (match_masks.hpp), which compare 64
// cells with a few values in vector registers; the filters build a set first
// (which also drops repeated values in time linear in the list) and go back to
// the masks when few distinct values remain (set_threshold).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "prefetch.hpp"
#include "short_text.hpp"
#include "text_screen.hpp"

namespace kelo_frame {

// From this many distinct wanted values on, a filter probes a set; below it,
// it compares through match masks. Measured on 1e6 cells: the masks' cost
// grows with each value (2.0 ms for 24 values, 3.3 ms for 32, 5.5 ms for 48),
// a probe's stays the same (2.8 to 4 ms, 1.3 ms as a bitmap).
inline constexpr std::size_t set_threshold = 32;

// A bit for each key's hash, about 8 bits per key: a set first asks this
// smaller array, and reads its table only for the cells whose bit is set
// (about one in eight of the cells that are not in the set). Numeric sets ask
// it whatever their size: a cell is sieved in a few instructions without a
// branch, fewer than probing its bucket takes even in cache (where_among of
// 1e7 rows by 1e3 values: 65 -> 23 ms).
class Sieve {
 public:
  void size_for(std::size_t keys);
  [[nodiscard]] bool empty() const noexcept { return bits_.empty(); }
  void add(std::uint64_t h) noexcept {
    const std::uint64_t at = place(h);
    bits_[at >> 6] |= std::uint64_t{1} << (at & 63);
  }
  [[nodiscard]] bool maybe(std::uint64_t h) const noexcept {
    const std::uint64_t at = place(h);
    return ((bits_[at >> 6] >> (at & 63)) & 1U) != 0;
  }

 private:
  [[nodiscard]] std::uint64_t place(std::uint64_t h) const noexcept { return (h * 0xA076'1D64'78BD'642FULL) >> shift_; }
  std::vector<std::uint64_t> bits_;
  unsigned shift_ = 64;
};

// A set of 64-bit keys: integers as they are, floats as their bit patterns
// with -0.0 as 0.0 (key_of). NaN is never a key, so a NaN cell finds nothing.
//
// Integers that lie close together (a span of at most 256 bits per key) are
// a bitmap from the least of them: one load and no branch on the key. Other
// keys go into a hash table of buckets of four: keys fill a bucket from its
// first lane, so a bucket whose last lane is free ends the search, and a cell
// that is not in the set costs one bucket and one well-predicted branch.
class NumSet {
 public:
  explicit NumSet(std::span<const std::int64_t> values);
  explicit NumSet(std::span<const double> values);

  [[nodiscard]] static std::uint64_t key_of(std::int64_t v) noexcept { return static_cast<std::uint64_t>(v); }
  [[nodiscard]] static std::uint64_t key_of(double v) noexcept;

  [[nodiscard]] bool contains(std::uint64_t key) const noexcept { return bits_.empty() ? in_table(key) : in_bits(key); }
  // The distinct keys, in no particular order.
  [[nodiscard]] std::vector<std::uint64_t> keys() const;
  [[nodiscard]] std::size_t size() const noexcept { return size_; }

  // Bit j of out[w] is set when the cell values[64 * w + j] is in the set.
  template <class T>
  void masks(const T* values, std::size_t rows, std::uint64_t* out) const noexcept;

 private:
  // Marks a free lane; a set that holds this key itself says so in has_empty_.
  static constexpr std::uint64_t empty = 0x7FF8'0000'DEAD'BEEFULL;
  static constexpr std::size_t lanes = 4;

  [[nodiscard]] bool in_bits(std::uint64_t key) const noexcept {
    const std::uint64_t at = key - low_;
    return at < span_ && ((bits_[at >> 6] >> (at & 63)) & 1U) != 0;
  }
  [[nodiscard]] bool in_table(std::uint64_t key) const noexcept {
    if (key == empty) return has_empty_;
    for (std::size_t b = bucket(key);; b = (b + 1) & mask_) {
      const std::uint64_t* s = &slots_[b * lanes];
      const bool hit = (s[0] == key) | (s[1] == key) | (s[2] == key) | (s[3] == key);
      if (hit | (s[lanes - 1] == empty)) return hit;
    }
  }
  [[nodiscard]] std::size_t bucket(std::uint64_t key) const noexcept {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_);
  }
  void size_for(std::size_t n);
  void insert(std::uint64_t key);
  // Inserts every value's key (NaN left out).
  template <class T>
  void insert_all(std::span<const T> values);
  void fill_sieve();

  std::vector<std::uint64_t> slots_;  // hash table: buckets of `lanes` keys
  std::vector<std::uint64_t> bits_;   // bitmap: bit k for the key low_ + k
  Sieve sieve_;                       // for a table: asked before it
  std::uint64_t low_ = 0;
  std::uint64_t span_ = 0;
  std::size_t size_ = 0;  // distinct keys
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
  bool has_empty_ = false;
};

// A set of texts, compared by their bytes, each numbered in the order it was
// first added. The texts are borrowed: they must outlive the set. Membership
// filters keep their wanted texts here; operations that look up many column
// names keep the names here, a name's number being its column's place.
class TextSet {
 public:
  static constexpr std::uint32_t none = 0xFFFF'FFFFU;

  // A set with room for `capacity` texts; adding more is not allowed.
  explicit TextSet(std::size_t capacity);
  // The distinct texts of values.
  explicit TextSet(std::span<const std::string> values);

  // Adds text unless it is there: its number, and whether it was new.
  std::pair<std::uint32_t, bool> insert(std::string_view text) { return insert(text, hash(text)); }
  // The same, given hash(text).
  std::pair<std::uint32_t, bool> insert(std::string_view text, std::uint64_t h);

  // The number of text, or none.
  [[nodiscard]] std::uint32_t find(std::string_view text) const noexcept { return find(text, hash(text)); }
  // The same, given hash(text).
  [[nodiscard]] std::uint32_t find(std::string_view text, std::uint64_t h) const noexcept {
    const std::uint64_t tag = tag_of(h);
    for (std::size_t i = slot(h);; i = (i + 1) & mask_) {
      const std::uint64_t s = slots_[i];
      if (s == free) return none;
      if ((s & ~entry_bits) != tag) continue;
      const auto e = static_cast<std::uint32_t>(s);
      const Entry& x = entries_[e];
      if (x.text.size() == text.size() && x.words == ShortText::of(text) &&
          (text.size() <= ShortText::max || x.text == text)) {
        return e;
      }
    }
  }
  [[nodiscard]] bool contains(std::string_view text) const noexcept { return find(text) != none; }

  // Calls visit(i, hash(text_at(i))) for i = 0, 1, ..., n - 1 in order until
  // it returns false (then false). A set of many texts is larger than the
  // caches and its slots are read at random, so the slot of each text is
  // asked for some texts ahead, and (when looking texts up) the entry its slot
  // holds once the slot is near: several misses are then in flight at once.
  template <class TextAt, class Visit>
  bool each_ahead(std::size_t n, TextAt text_at, bool lookups, Visit visit) const {
    constexpr std::size_t d = 16;
    std::uint64_t ring[d];  // NOLINT(cppcoreguidelines-pro-type-member-init): the hashes of texts i..i+d-1
    for (std::size_t j = 0; j < n && j < d; ++j) {
      ring[j] = hash(text_at(j));
      prefetch(&slots_[slot(ring[j])]);
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint64_t h = ring[i % d];
      if (i + d < n) {
        ring[i % d] = hash(text_at(i + d));
        prefetch(&slots_[slot(ring[i % d])]);
      }
      if (lookups && i + d / 2 < n) {
        const std::uint64_t s = slots_[slot(ring[(i + d / 2) % d])];
        if (s != free) prefetch(&entries_[static_cast<std::uint32_t>(s)]);
      }
      if (!visit(i, h)) return false;
    }
    return true;
  }

  // Adds text_at(i) for i = 0, 1, ..., n - 1 in order (asking ahead, as
  // each_ahead does): the index of the first that was there already, or n.
  template <class TextAt>
  std::size_t insert_each(std::size_t n, TextAt text_at) {
    std::size_t repeated = n;
    each_ahead(n, text_at, false, [&](std::size_t i, std::uint64_t h) {
      if (!insert(text_at(i), h).second && repeated == n) repeated = i;
      return true;
    });
    return repeated;
  }

  // The distinct texts, in the order of their first appearance.
  [[nodiscard]] std::vector<std::string_view> texts() const;
  [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }

  // Bit j of out[w] is set when the cell of the 64 * w + j-th row counted from
  // offsets (the bytes [offsets[c], offsets[c + 1]) of bytes[0, size)) is in
  // the set. Only for a set made from values, which fills its screen.
  void masks(const std::uint64_t* offsets, std::size_t rows, const char* bytes, std::size_t size,
             std::uint64_t* out) const noexcept;

  // Texts of up to 16 bytes hash from their two words (ShortText, which holds
  // every byte of them); longer ones from all their bytes, so that texts that
  // share their ends do not share a hash.
  [[nodiscard]] static std::uint64_t hash(std::string_view text) noexcept;

 private:
  struct Entry {
    std::string_view text;
    ShortText words;
  };

  // A slot holds an entry's number in its low 32 bits and 32 other bits of
  // its hash above them, so most texts that only share a slot are told apart
  // without reading their entry.
  static constexpr std::uint64_t free = ~std::uint64_t{0};
  static constexpr std::uint64_t entry_bits = 0xFFFF'FFFFU;
  [[nodiscard]] static std::uint64_t tag_of(std::uint64_t h) noexcept {
    return (h * 0xD6E8'FEB8'6659'FD93ULL) & ~entry_bits;
  }
  [[nodiscard]] std::size_t slot(std::uint64_t h) const noexcept { return static_cast<std::size_t>(h >> shift_); }

  std::vector<std::uint64_t> slots_;
  std::vector<Entry> entries_;
  // Filled by TextSet(values): a table in cache is screened, a table larger
  // than the caches sieved (one bit per key's hash, and its slots asked for).
  TextScreen screen_;
  Sieve sieve_;
  std::size_t mask_ = 0;
  unsigned shift_ = 64;
};

}  // namespace kelo_frame
