// Grouping by one str key column: the groups are the distinct texts of a
// TextTable (text_table.hpp), numbered in the order they first appear, plus
// one group for the missing cells.
//
// With a table larger than the L1 cache, each row's key (words and hash) is
// made `ahead` rows before its probe and kept in a small ring, so that the
// table can be asked for the slot early; the probe then finds it arriving.
// A smaller table is probed straight away, in a loop of its own.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string_view>
#include <utility>

#include "assignment.hpp"
#include "text_table.hpp"

namespace kelo_frame {

namespace {

class TextAssigner {
 public:
  TextAssigner(const Table& table, const StrCol& col) : table_(table), col_(col), dense_(col.valid.all_present()) {}

  Assignment run() {
    out_.ids =
        assign_widening(table_.height, [this](auto* ids, std::uint64_t from) { return this->run_from(ids, from); });
    count_from(out_.ids, counted_, table_.height, out_.counts.data());
    return std::move(out_);
  }

 private:
  static constexpr std::uint64_t ahead = 8;  // a power of two: the ring's size

  // Assigns positions from `from` on; stops at the first position whose
  // group id might not fit Id and returns it (the height when done). While
  // ids are 8 bits wide the counts are kept during the run; past that, one
  // pass over the ids counts the rest, which costs less than a scattered
  // increment here.
  template <class Id>
  std::uint64_t run_from(Id* ids, std::uint64_t from) {
    map_.set_limit(std::uint64_t{std::numeric_limits<Id>::max()} + 1);
    full_ = false;
    std::uint64_t p = from;
    // A table only grows, so a run with a small table ends where it becomes
    // large, and the rest runs with the large table's loop.
    while (p < table_.height && !full_) p = map_.large() ? run<true>(ids, p) : run<false>(ids, p);
    return p;
  }

  // Assigns positions from p on while the table stays as Large says. Returns
  // the height when done; the position after the one whose new text made a
  // small table large; or, with full_ set, the position of a new text the
  // table has no room for. With a large table, each row's key (words and
  // hash) is made `ahead` rows early and kept in the ring, and its slot asked
  // for then; a small table is probed straight away. The loop has no other
  // branch on the table's size, so that the compiler keeps each key in
  // registers.
  //
  // What the loop reads is held in locals where it can be: a store through
  // an 8-bit id pointer may alias any memory, so members would be read again
  // every row.
  template <bool Large, class Id>
  std::uint64_t run(Id* ids, std::uint64_t p) {
    const std::uint64_t height = table_.height;
    const std::uint32_t* const index = table_.index ? table_.index->data() : nullptr;
    const std::uint64_t* const offsets = col_.offsets.data();
    const char* const bytes = col_.bytes.data();
    // The validity words (rows past them are present), or none when dense.
    const std::uint64_t* const valid = dense_ ? nullptr : col_.valid.words().data();
    const std::uint64_t valid_words = col_.valid.words().size();
    const auto text_of = [offsets, bytes](std::uint32_t r) noexcept {
      return std::string_view(bytes + offsets[r], offsets[r + 1] - offsets[r]);
    };
    const auto key_of = [valid, valid_words, text_of](std::uint32_t r) noexcept {
      if (valid != nullptr && (r >> 6) < valid_words && ((valid[r >> 6] >> (r & 63)) & 1) == 0)
        return TextTable::other();
      return TextTable::key(text_of(r));
    };
    const auto row_of = [index](std::uint64_t q) noexcept {
      return index != nullptr ? index[q] : static_cast<std::uint32_t>(q);
    };
    TextTable& map = map_;
    std::uint64_t* counts = out_.counts.data();
    std::uint64_t groups = out_.firsts.size();

    std::array<TextTable::Key, ahead> ring{};
    if constexpr (Large) {
      for (std::uint64_t q = p; q < std::min(height, p + ahead); ++q) ring[q % ahead] = key_of(row_of(q));
    }
    for (; p < height; ++p) {
      TextTable::Key k;
      if constexpr (Large) {
        k = ring[p % ahead];
        if (p + ahead < height) {
          const TextTable::Key next = key_of(row_of(p + ahead));
          ring[(p + ahead) % ahead] = next;
          map.prefetch(next);
        }
      } else {
        k = key_of(row_of(p));
      }
      // The row is looked up again only for a long text or a new group.
      const std::uint32_t g = map.find_or_add(k, [text_of, row_of, p] { return text_of(row_of(p)); });
      bool grown = false;
      if (g >= groups) {  // a new group, or none past the limit
        if (g == TextTable::none) {
          full_ = true;
          if constexpr (sizeof(Id) == 1) counted_ = p;
          return p;
        }
        ++groups;
        out_.firsts.push_back(row_of(p));
        out_.counts.push_back(0);
        counts = out_.counts.data();
        if constexpr (!Large) grown = map.large();
      }
      ids[p] = static_cast<Id>(g);
      if constexpr (sizeof(Id) == 1) ++counts[g];
      if (grown) return p + 1;
    }
    if constexpr (sizeof(Id) == 1) counted_ = height;
    return height;
  }

  const Table& table_;
  const StrCol& col_;
  bool dense_;
  TextTable map_;
  Assignment out_;
  std::uint64_t counted_ = 0;  // positions before this one are counted
  bool full_ = false;          // the last run stopped at a text the table had no room for
};

}  // namespace

Assignment assign_texts(const Table& table, const StrCol& key) { return TextAssigner(table, key).run(); }

}  // namespace kelo_frame
