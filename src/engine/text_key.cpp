// Grouping by one str key column: a dictionary of the distinct texts met so
// far, an open-addressing map whose slots hold a text's two words (ShortText:
// the whole of a text of up to 16 bytes, the first and last 8 bytes of a
// longer one) and a tag for its length. A row's probe hashes its words with
// two multiplies, and a short text is equal to a slot's exactly when words
// and tag are; a longer one is then compared in full with the group's text.
//
// Each row's words and hash are made `ahead` rows before its probe and kept
// in a small ring, so that a map larger than the cache can be asked for the
// slot early; the probe then finds it arriving.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "assignment.hpp"
#include "key_store.hpp"
#include "short_text.hpp"

namespace kelo_frame {

namespace {

// A probe's key: the words, the tag (0 marks an empty slot, 1 the missing
// key, 2 + length a short text, long_tag any longer one) and the hash.
struct TextProbe {
  ShortText words;
  std::uint64_t hash;
  std::uint32_t tag;
};

constexpr std::uint32_t missing_tag = 1;
constexpr std::uint32_t long_tag = 2 + ShortText::max + 1;
constexpr std::uint64_t missing_hash = 0x5555555555555555ULL;

struct TextSlot {
  ShortText words;
  std::uint32_t tag = 0;
  std::uint32_t id = 0;
};

class TextAssigner {
 public:
  TextAssigner(const Table& table, const StrCol& col)
      : table_(table), col_(col), dense_(col.valid.all_present()), store_(col) {
    resize(8);
  }

  Assignment run() {
    const std::uint64_t height = table_.height;
    GroupIds::Buffer<std::uint8_t> ids8(height);
    std::uint64_t p = run_from(ids8.data(), 0);
    if (p == height) return finish(GroupIds(std::move(ids8)));
    GroupIds::Buffer<std::uint16_t> ids16(height);
    std::copy_n(ids8.begin(), p, ids16.begin());
    ids8 = {};
    p = run_from(ids16.data(), p);
    if (p == height) return finish(GroupIds(std::move(ids16)));
    GroupIds::Buffer<std::uint32_t> ids32(height);
    std::copy_n(ids16.begin(), p, ids32.begin());
    ids16 = {};
    run_from(ids32.data(), p);
    return finish(GroupIds(std::move(ids32)));
  }

 private:
  static constexpr std::uint64_t ahead = 8;  // a power of two: the ring's size

  [[nodiscard]] std::uint32_t row_of(std::uint64_t p) const noexcept {
    return index_ != nullptr ? index_[p] : static_cast<std::uint32_t>(p);
  }

  // Counts the rows of each group not counted during the run (see run_from).
  Assignment finish(GroupIds ids) {
    std::uint64_t* counts = out_.counts.data();
    const std::uint64_t height = table_.height;
    ids.visit([&](const auto* id) {
      for (std::uint64_t p = counted_; p < height; ++p) ++counts[id[p]];
    });
    out_.ids = std::move(ids);
    return std::move(out_);
  }

  // Assigns positions from `from` on; stops at the first position whose
  // group id might not fit Id and returns it (the height when done). While
  // ids are 8 bits wide the counts are kept during the run; past that, one
  // pass over the ids counts the rest, which costs less than a scattered
  // increment here.
  //
  // Everything the loop reads is held in locals: a store through an 8-bit id
  // pointer may alias any memory, so members would be read again every row.
  template <class Id>
  std::uint64_t run_from(Id* ids, std::uint64_t from) {
    constexpr std::uint64_t max_groups = std::uint64_t{std::numeric_limits<Id>::max()} + 1;
    const std::uint64_t height = table_.height;
    const std::uint32_t* const index = index_;
    const std::uint64_t* const offsets = col_.offsets.data();
    const char* const bytes = col_.bytes.data();
    // The validity words (rows past them are present), or none when dense.
    const std::uint64_t* const valid = dense_ ? nullptr : col_.valid.words().data();
    const std::uint64_t valid_words = col_.valid.words().size();
    const auto probe_of = [offsets, bytes, valid, valid_words](std::uint32_t r) noexcept {
      if (valid != nullptr && (r >> 6) < valid_words && ((valid[r >> 6] >> (r & 63)) & 1) == 0) {
        return TextProbe{ShortText{}, missing_hash, missing_tag};
      }
      const std::uint64_t at = offsets[r];
      const std::uint64_t size = offsets[r + 1] - at;
      const ShortText words = ShortText::of(std::string_view(bytes + at, size));
      const auto tag = static_cast<std::uint32_t>(size > ShortText::max ? long_tag : 2 + size);
      return TextProbe{words, words.hash(size), tag};
    };
    const auto row_of = [index](std::uint64_t p) noexcept {
      return index != nullptr ? index[p] : static_cast<std::uint32_t>(p);
    };
    const TextSlot* slots = slots_.data();
    std::uint64_t mask = mask_;
    int shift = shift_;
    bool large = large_;
    std::uint64_t* counts = out_.counts.data();

    // With a large map, each row's probe is made `ahead` rows early and
    // kept in the ring, and its slot asked for then; a small map is probed
    // straight away.
    std::array<TextProbe, ahead> ring{};
    const auto prime = [&](std::uint64_t q) {
      for (const std::uint64_t end = std::min(height, q + ahead); q < end; ++q) ring[q % ahead] = probe_of(row_of(q));
    };
    if (large) prime(from);
    for (std::uint64_t p = from; p < height; ++p) {
      TextProbe k;
      if (large) {
        k = ring[p % ahead];
        if (p + ahead < height) {
          const TextProbe next = probe_of(row_of(p + ahead));
          ring[(p + ahead) % ahead] = next;
          __builtin_prefetch(&slots[next.hash >> shift]);
        }
      } else {
        k = probe_of(row_of(p));
      }
      std::uint64_t s = k.hash >> shift;
      std::uint32_t g = 0;
      for (;; s = (s + 1) & mask) {
        const TextSlot& slot = slots[s];
        if (slot.tag == k.tag && slot.words == k.words &&
            (k.tag != long_tag || store_.same_text(col_.at(row_of(p)), slot.id))) {
          g = slot.id;
          break;
        }
        if (slot.tag == 0) {
          if (out_.firsts.size() == max_groups) {
            if constexpr (sizeof(Id) == 1) counted_ = p;
            return p;
          }
          g = add(s, k, row_of(p));
          slots = slots_.data();
          mask = mask_;
          shift = shift_;
          counts = out_.counts.data();
          if (large_ && !large) prime(p + 1);
          large = large_;
          break;
        }
      }
      ids[p] = static_cast<Id>(g);
      if constexpr (sizeof(Id) == 1) ++counts[g];
    }
    if constexpr (sizeof(Id) == 1) counted_ = height;
    return height;
  }

  std::uint32_t add(std::uint64_t s, const TextProbe& k, std::uint32_t r) {
    const auto g = static_cast<std::uint32_t>(out_.firsts.size());
    slots_[s] = TextSlot{k.words, k.tag, g};
    hashes_.push_back(k.hash);
    out_.firsts.push_back(r);
    out_.counts.push_back(0);
    store_.add(r);
    if (out_.firsts.size() * 2 > slots_.size()) resize(bits_ + 1);
    return g;
  }

  // Rebuilds the map with 2^bits slots from the groups' hashes.
  void resize(int bits) {
    std::vector<TextSlot> old = std::exchange(slots_, std::vector<TextSlot>(std::size_t{1} << bits));
    bits_ = bits;
    shift_ = 64 - bits;
    mask_ = slots_.size() - 1;
    // Only a map larger than the L1 cache gains from asking for slots early.
    large_ = slots_.size() * sizeof(TextSlot) > (std::size_t{32} << 10);
    for (const TextSlot& slot : old) {
      if (slot.tag == 0) continue;
      std::uint64_t s = hashes_[slot.id] >> shift_;
      while (slots_[s].tag != 0) s = (s + 1) & mask_;
      slots_[s] = slot;
    }
  }

  const Table& table_;
  const StrCol& col_;
  const std::uint32_t* index_ = table_.index ? table_.index->data() : nullptr;
  bool dense_;
  StrStore store_;  // the groups' long texts, for comparing long texts in full
  std::vector<TextSlot> slots_;
  std::vector<std::uint64_t> hashes_;  // every group's hash, for resizing
  std::uint64_t mask_ = 0;
  int bits_ = 0;
  int shift_ = 64;
  bool large_ = false;
  Assignment out_;
  std::uint64_t counted_ = 0;  // positions before this one are counted
};

}  // namespace

Assignment assign_texts(const Table& table, const StrCol& key) { return TextAssigner(table, key).run(); }

}  // namespace kelo_frame
