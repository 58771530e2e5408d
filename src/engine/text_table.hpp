// TextTable: the distinct texts met so far, numbered 0, 1, 2, ... in the
// order they were first met. Grouping by a str key numbers its groups with
// it (text_key.cpp), sorting ranks a column of few distinct texts with it
// (sort.cpp), and the str objects of a column's cells are shared among equal
// cells through it (api/text_cache.hpp).
//
// An open-addressing map (linear probing) whose slots hold a text's two
// words (ShortText: the whole of a text of up to 16 bytes, the first and last
// 8 bytes of a longer one), a tag for its length and its number. A probe
// compares words and tag: a short text equals a slot's exactly when they are
// equal; a longer one is then compared in full with the table's own copy of
// it, kept densely so that the compare reads small, cache-resident memory
// and not the text's first place in a large column. A short text hashes from
// its words with two multiplies; a longer one also folds in every 8 bytes
// between its first and last, so that texts differing only in the middle
// (numbered codes with a common prefix and suffix) still spread over the
// map.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "prefetch.hpp"
#include "short_text.hpp"

namespace kelo_frame {

class TextTable {
 public:
  // A text made ready for a probe. tag: 0 marks an empty slot, 1 the key
  // that equals no text (other()), 2 + length a short text, long_tag any
  // longer one.
  struct Key {
    ShortText words;
    std::uint64_t hash = 0;
    std::uint32_t tag = 0;
  };

  // What find_or_add gives for a new text once the table holds its limit.
  static constexpr std::uint32_t none = ~std::uint32_t{0};

  [[nodiscard]] static Key key(std::string_view text) noexcept {
    const ShortText words = ShortText::of(text);
    if (text.size() <= ShortText::max)
      return Key{words, words.hash(text.size()), static_cast<std::uint32_t>(2 + text.size())};
    return Key{words, long_hash(text, words), long_tag};
  }

  // A key equal to no text's but to itself: grouping's missing cell.
  [[nodiscard]] static Key other() noexcept { return Key{ShortText{}, other_hash, other_tag}; }

  // limit: the most texts the table takes (at most none); 2^bits slots to
  // start with (a caller expecting a few hundred texts starts with enough
  // that probes rarely meet another text's slot).
  explicit TextTable(std::uint64_t limit = none, int bits = 8) : limit_(limit) { resize(bits); }

  void set_limit(std::uint64_t limit) noexcept { limit_ = limit; }
  [[nodiscard]] std::uint64_t size() const noexcept { return ends_.size(); }

  // The number of the text with key k, which is added when new: a new text
  // takes the number size() had before, so a caller that keeps something per
  // text appends it when the number equals its count. none when the text is
  // new and the table holds its limit. text_of() gives the text itself; it is
  // called only for a text longer than a ShortText.
  template <class TextOf>
  std::uint32_t find_or_add(const Key& k, TextOf&& text_of) {
    for (std::size_t s = k.hash >> shift_;; s = (s + 1) & mask_) {
      const Slot& slot = slots_[s];
      if (slot.tag == k.tag && slot.words == k.words) {
        if (k.tag != long_tag || same_long(slot.id, text_of())) return slot.id;
      } else if (slot.tag == 0) {
        if (size() >= limit_) return none;
        return add(s, k, k.tag == long_tag ? std::string_view(text_of()) : std::string_view());
      }
    }
  }
  std::uint32_t find_or_add(std::string_view text) {
    return find_or_add(key(text), [text] { return text; });
  }

  // Asks the cache for the slot where a probe for k starts; only a table
  // larger than the L1 cache (large()) gains from it.
  void prefetch(const Key& k) const noexcept { kelo_frame::prefetch(&slots_[k.hash >> shift_]); }
  [[nodiscard]] bool large() const noexcept { return large_; }

 private:
  static constexpr std::uint32_t other_tag = 1;
  static constexpr std::uint32_t long_tag = 2 + ShortText::max + 1;
  static constexpr std::uint64_t other_hash = 0x5555555555555555ULL;

  struct Slot {
    ShortText words;
    std::uint32_t tag = 0;
    std::uint32_t id = 0;
  };

  [[nodiscard]] static std::uint64_t long_hash(std::string_view text, const ShortText& words) noexcept {
    std::uint64_t h = words.hash(text.size());
    for (std::size_t i = 8; i + 8 < text.size(); i += 8) {
      std::uint64_t w = 0;
      std::memcpy(&w, text.data() + i, sizeof w);
      h = (h ^ w) * 0x9E3779B97F4A7C15ULL;
    }
    return h;
  }

  // The copy of the long text numbered id.
  [[nodiscard]] std::string_view long_text(std::uint32_t id) const noexcept {
    const std::uint64_t from = id == 0 ? 0 : ends_[id - 1];
    return std::string_view(bytes_).substr(from, ends_[id] - from);
  }

  // Out of line, like add(): inlined, some compilers prepare the copy's
  // address on every probe, short texts included.
  [[gnu::noinline]] bool same_long(std::uint32_t id, std::string_view text) const noexcept {
    return long_text(id) == text;
  }

  // Out of line, so that the probe inlined into hot loops stays small.
  [[gnu::noinline]] std::uint32_t add(std::size_t s, const Key& k, std::string_view long_text) {
    const auto id = static_cast<std::uint32_t>(size());
    bytes_.append(long_text);
    ends_.push_back(bytes_.size());
    slots_[s] = Slot{k.words, k.tag, id};
    if (size() * 2 > slots_.size()) resize(bits_ + 1);
    return id;
  }

  // Rebuilds the map with 2^bits slots, each text's hash made again from its
  // slot (and its copy, for a long text).
  void resize(int bits) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(std::size_t{1} << bits));
    bits_ = bits;
    shift_ = 64 - bits;
    mask_ = slots_.size() - 1;
    large_ = slots_.size() * sizeof(Slot) > (std::size_t{32} << 10);
    for (const Slot& slot : old) {
      if (slot.tag == 0) continue;
      const std::uint64_t hash = slot.tag == other_tag  ? other_hash
                                 : slot.tag == long_tag ? long_hash(long_text(slot.id), slot.words)
                                                        : slot.words.hash(slot.tag - 2);
      std::size_t s = hash >> shift_;
      while (slots_[s].tag != 0) s = (s + 1) & mask_;
      slots_[s] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::vector<std::uint64_t> ends_;  // each text's end in bytes_ (a short one adds no bytes)
  std::string bytes_;                // the long texts, one after the other
  std::uint64_t limit_;
  std::uint64_t mask_ = 0;
  int bits_ = 0;
  int shift_ = 64;
  bool large_ = false;
};

}  // namespace kelo_frame
