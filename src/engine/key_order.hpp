// Stable ordering by unsigned 64-bit keys: the one radix sort behind sorting,
// by a numeric column, by the ranks of texts, and (sort_keyed) by texts eight
// bytes at a time.
//
// A source describes the places 0 to n - 1:
//
//   std::size_t size() const;
//   bool present(std::size_t i) const;       // missing places go last, in order
//   std::uint64_t key(std::size_t i) const;  // read for present places only
//   std::uint32_t row(std::size_t i) const;  // what the result lists
//   static constexpr bool rows_are_places;   // row(i) == i
//   static constexpr bool all_present;       // optional: present(i) is always true
//
// order_by_keys returns the rows of the present places, stably ordered by key,
// followed by the rows of the missing places in place order. One scan finds
// the keys' range and whether they are already in order (or in reverse
// order); such inputs are answered in one more pass. Otherwise:
//
// - Keys of few bits are counted and the rows written straight to the result
//   (a counting sort: no intermediate items at all).
// - Other keys become items (the key less the least key, plus the place or the
//   row). Large inputs are split through memory once into buckets of about
//   equal size, planned from a sample of the keys before the scan, which then
//   counts the buckets as it goes: skewed keys (the exponents of floats) still
//   give buckets that fit in cache. Each bucket is then sorted in cache, most
//   significant digit first with digits of about as many values as items, and
//   its rows written to the result.
// - When the keys' range and the place fit together in 64 bits, both are
//   packed into one word whose order is the stable order, halving the memory
//   moved.
//
// sort_keyed sorts (key, row) items that the caller made, in place, by the
// same split and in-cache sort.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "large_buffer.hpp"
#include "prefetch.hpp"
#include "table.hpp"

namespace kelo_frame {

// A key and the row it belongs to. 12 bytes, not 16: the split and the
// in-cache sort move a quarter less memory for the price of unaligned access,
// which costs next to nothing.
struct [[gnu::packed]] Keyed {
  std::uint64_t key;
  std::uint32_t row;
};
static_assert(sizeof(Keyed) == 12);

inline void sort_keyed(std::span<Keyed> items, std::span<Keyed> scratch);

namespace key_order_detail {

// Runs this short are finished by an insertion sort.
inline constexpr std::size_t insertion_below = 24;
// The widest digit of the in-cache most-significant-digit sort.
inline constexpr unsigned cache_digit = 12;
// Keys of at most this many bits are sorted by counting alone.
inline constexpr unsigned counting_bits = 11;
// Width of the prefix that places keys in buckets.
inline constexpr unsigned split_bits = 12;
// Keys sampled to plan the split, and the most bits by which a prefix of many
// keys is split further.
inline constexpr std::size_t sample_size = 1 << 14;
inline constexpr unsigned max_split = 12;
// How far ahead of each bucket's next item the split asks for memory, in items.
inline constexpr std::size_t split_ahead = 16;
// Inputs of at most this many bytes of items skip the split.
inline constexpr std::size_t cache_bytes = std::size_t{1} << 20;
// Keys with at most one descent (a key less than the one before it) in this
// many are tried as nearly in order, and that way is given up once more than
// one key in aside_share would be set aside.
inline constexpr std::size_t descent_share = 16;
inline constexpr std::size_t aside_share = 8;

// Item operations: the key bits to sort on and the row to list.
struct PackedItems {
  using Item = std::uint64_t;
  unsigned place_bits;
  [[nodiscard]] static std::uint64_t key(Item item) noexcept { return item; }
  [[nodiscard]] std::size_t place(Item item) const noexcept {
    return static_cast<std::size_t>(item & ((std::uint64_t{1} << place_bits) - 1));
  }
};

struct KeyedItems {
  using Item = Keyed;
  [[nodiscard]] static std::uint64_t key(const Item& item) noexcept { return item.key; }
};

// Stable insertion sort of a short run by key.
template <class Item, class Ops>
void insertion_sort(Item* items, std::size_t m, Ops ops) {
  for (std::size_t i = 1; i < m; ++i) {
    const Item item = items[i];
    const std::uint64_t key = ops.key(item);
    std::size_t j = i;
    while (j > 0 && ops.key(items[j - 1]) > key) {
      items[j] = items[j - 1];
      --j;
    }
    items[j] = item;
  }
}

// Sorts the m items of a by key (for packed items the bits below lo hold the
// place, so the order of whole words is the stable order) and writes
// emit(item) of each to out. b is scratch of m items; out may be a or b
// itself, since each level writes out only after its last read of both.
// Each level splits stably by a digit of about as many values as there are
// items, taken from the top of the keys' range (key - least); most values
// then hold zero, one or two items, and one insertion sort over the whole
// level, which rarely moves an item, finishes it. A level with a crowded
// value sorts each value's items the same way.
template <class Item, class Ops, class Out, class Emit>
void cache_sort(Item* a, Item* b, std::size_t m, unsigned lo, Out* out, Ops ops, Emit emit) {
  if (m < insertion_below) {
    insertion_sort(a, m, ops);
    for (std::size_t j = 0; j < m; ++j) out[j] = emit(a[j]);
    return;
  }
  // Two chains of minimum and maximum, so that they run side by side.
  std::uint64_t least = ops.key(a[0]);
  std::uint64_t most = least;
  std::uint64_t least_odd = least;
  std::uint64_t most_odd = least;
  std::size_t at = 1;
  for (; at + 1 < m; at += 2) {
    least = std::min(least, ops.key(a[at]));
    most = std::max(most, ops.key(a[at]));
    least_odd = std::min(least_odd, ops.key(a[at + 1]));
    most_odd = std::max(most_odd, ops.key(a[at + 1]));
  }
  if (at < m) {
    least = std::min(least, ops.key(a[at]));
    most = std::max(most, ops.key(a[at]));
  }
  least = std::min(least, least_odd);
  most = std::max(most, most_odd);
  if ((least >> lo) == (most >> lo)) {  // the keys are equal: the items are in place order
    for (std::size_t j = 0; j < m; ++j) out[j] = emit(a[j]);
    return;
  }
  const auto range_bits = static_cast<unsigned>(std::bit_width(most - least));
  const unsigned width = std::min({cache_digit, range_bits, static_cast<unsigned>(std::bit_width(m >> 2))});
  const unsigned shift = range_bits - width;
  const std::size_t values = std::size_t{1} << width;
  // The next digit below, for the least-significant-digit pass first.
  const unsigned low_width = std::min(width, shift);
  const unsigned low_shift = shift - low_width;
  const std::uint64_t low_mask = (std::uint64_t{1} << low_width) - 1;
  const auto digit = [&ops, least, shift](const Item& item) {
    return static_cast<std::size_t>((ops.key(item) - least) >> shift);
  };
  const auto low_digit = [&ops, least, low_shift, low_mask](const Item& item) {
    return static_cast<std::size_t>(((ops.key(item) - least) >> low_shift) & low_mask);
  };
  std::array<std::uint32_t, std::size_t{1} << cache_digit> ends;
  std::array<std::uint32_t, std::size_t{1} << cache_digit> low_ends;
  std::fill_n(ends.begin(), values, 0U);
  std::fill_n(low_ends.begin(), low_mask + 1, 0U);
  for (std::size_t j = 0; j < m; ++j) {
    ++ends[digit(a[j])];
    ++low_ends[low_digit(a[j])];
  }
  std::uint32_t crowded = 0;
  std::uint32_t sum = 0;
  for (std::size_t d = 0; d < values; ++d) {
    crowded = std::max(crowded, ends[d]);
    sum += std::exchange(ends[d], sum);  // counts become starts
  }
  if (crowded < insertion_below) {
    // Few items share a value of the top digit: sort by the next digit and
    // then by the top one (both stable), which leaves items out of order
    // only where they share both digits, so that the insertion sort that
    // finishes the level almost never moves an item (and so almost never
    // mispredicts a branch).
    Item* sorted = b;
    if (low_width != 0) {
      sum = 0;
      for (std::size_t d = 0; d <= low_mask; ++d) sum += std::exchange(low_ends[d], sum);
      for (std::size_t j = 0; j < m; ++j) b[low_ends[low_digit(a[j])]++] = a[j];
      for (std::size_t j = 0; j < m; ++j) a[ends[digit(b[j])]++] = b[j];
      sorted = a;
    } else {
      for (std::size_t j = 0; j < m; ++j) b[ends[digit(a[j])]++] = a[j];
    }
    insertion_sort(sorted, m, ops);
    for (std::size_t j = 0; j < m; ++j) out[j] = emit(sorted[j]);
    return;
  }
  // Starts become ends.
  for (std::size_t j = 0; j < m; ++j) b[ends[digit(a[j])]++] = a[j];
  std::size_t begin = 0;
  for (std::size_t d = 0; d < values; ++d) {
    const std::size_t end = ends[d];
    if (end != begin) cache_sort(b + begin, a + begin, end - begin, lo, out + begin, ops, emit);
    begin = end;
  }
}

// The rows of the places in place order, the present ones first.
template <class Source>
void emit_in_order(Source source, std::size_t present, std::uint32_t* out) {
  std::size_t next = 0;
  std::size_t next_missing = present;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (source.present(i))
      out[next++] = source.row(i);
    else
      out[next_missing++] = source.row(i);
  }
}

// For keys that never increase: the runs of equal keys in reverse order, each
// run in place order. Rows are written back to front, and each run, reversed
// by that, is turned round once it ends.
template <class Source>
void emit_runs_reversed(Source source, std::size_t present, std::uint32_t* out) {
  std::size_t next_missing = present;
  std::size_t end = present;      // the present rows go to out[.., end)
  std::size_t run_end = present;  // the current run occupies out[end, run_end)
  std::uint64_t run_key = 0;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (!source.present(i)) {
      out[next_missing++] = source.row(i);
      continue;
    }
    const std::uint64_t key = source.key(i);
    if (key != run_key || end == present) {
      std::reverse(out + end, out + run_end);
      run_end = end;
      run_key = key;
    }
    out[--end] = source.row(i);
  }
  std::reverse(out + end, out + run_end);
}

// Counting sort of keys of few bits (key - least < 2^bits).
template <class Source>
void counting_order(Source source, std::uint64_t least, unsigned bits, std::size_t present, std::uint32_t* out) {
  std::vector<std::size_t> next((std::size_t{1} << bits) + 1);
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (source.present(i)) ++next[source.key(i) - least + 1];
  }
  for (std::size_t d = 1; d < next.size(); ++d) next[d] += next[d - 1];
  std::size_t next_missing = present;
  for (std::size_t i = 0; i < source.size(); ++i) {
    if (source.present(i))
      out[next[source.key(i) - least]++] = source.row(i);
    else
      out[next_missing++] = source.row(i);
  }
}

// How large inputs are split into buckets, planned from a sample of the keys
// before the keys are read in full, so that the pass that finds their range
// also counts the buckets. Keys are placed by their prefix: the top bits of
// (key - base) within the sample's range. Neighbouring prefixes share a
// bucket while it is expected to hold at most `full` items; a prefix expected
// to hold more is split by the bits below it into enough buckets. Keys below
// the sample's range go to the first bucket, keys above it to a last one of
// their own.
class SplitPlan {
 public:
  // Nothing when the sample finds no present place.
  template <class Source>
  static std::optional<SplitPlan> sample(const Source& source) {
    const std::size_t n = source.size();
    const std::size_t step = std::max<std::size_t>(n / sample_size, 1);
    std::vector<std::uint64_t> keys;
    keys.reserve(n / step + 1);
    for (std::size_t at = 0; at < n; at += step) {
      // The first present place of each step, so that a regular pattern of
      // missing cells cannot hide the keys.
      const std::size_t end = std::min(n, at + step);
      for (std::size_t i = at; i < end; ++i) {
        if (source.present(i)) {
          keys.push_back(source.key(i));
          break;
        }
      }
    }
    if (keys.empty()) return std::nullopt;
    const auto [low, high] = std::minmax_element(keys.begin(), keys.end());
    SplitPlan plan;
    plan.base_ = *low;
    const auto range_bits = static_cast<unsigned>(std::bit_width(*high - *low));
    const unsigned width = std::min(split_bits, range_bits);
    plan.shift_ = range_bits - width;
    const std::size_t prefixes = std::size_t{1} << width;
    plan.last_ = prefixes;
    std::vector<std::uint32_t> sampled(prefixes);
    for (const std::uint64_t key : keys) ++sampled[static_cast<std::size_t>((key - plan.base_) >> plan.shift_)];

    // Expected items per prefix: sampled * n / keys.size(), against full.
    // About 512 buckets for large inputs: the split writes one or two
    // streams a bucket, and with more of them (2048 were tried) nearly every
    // item it writes lands on a page and line that another stream evicted
    // (the split of 1e7 floats took a quarter longer), while buckets of up to
    // ~20,000 items (~240 KB) still sort in cache.
    const std::size_t full = std::max<std::size_t>(n >> 9, 1024);
    plan.route_.resize(prefixes + 1);
    std::size_t buckets = 0;
    std::size_t filled = 0;
    bool open = false;
    for (std::size_t p = 0; p < prefixes; ++p) {
      const std::size_t expected = sampled[p] * n / keys.size();
      if (expected > full && plan.shift_ > 0) {
        if (open) ++buckets;
        open = false;
        filled = 0;
        const unsigned split =
            std::min({static_cast<unsigned>(std::bit_width((expected - 1) / full)), max_split, plan.shift_});
        plan.route_[p] = static_cast<std::uint32_t>(buckets << 5) | split;
        buckets += std::size_t{1} << split;
        continue;
      }
      if (open && filled + expected > full) {
        ++buckets;
        filled = 0;
      }
      open = true;
      filled += expected;
      plan.route_[p] = static_cast<std::uint32_t>(buckets << 5);
    }
    if (open) ++buckets;
    plan.route_[prefixes] = static_cast<std::uint32_t>(buckets << 5);  // above the sample's range
    plan.starts_.assign(buckets + 2, 0);
    return plan;
  }

  // The bucket of a key, as a value to copy into loops.
  struct Router {
    std::uint64_t base = 0;
    unsigned shift = 0;
    std::size_t last = 0;
    const std::uint32_t* route = nullptr;

    [[nodiscard]] std::size_t bucket(std::uint64_t key) const noexcept {
      const std::uint64_t rel = key < base ? 0 : key - base;
      const std::uint32_t r = route[std::min(static_cast<std::size_t>(rel >> shift), last)];
      const unsigned split = r & 31U;
      return (r >> 5) + static_cast<std::size_t>((rel >> (shift - split)) & ((std::uint64_t{1} << split) - 1));
    }
  };
  [[nodiscard]] Router router() const noexcept { return Router{base_, shift_, last_, route_.data()}; }

  // Where the scan counts the items of bucket b, at [b + 1].
  [[nodiscard]] std::size_t* counts() noexcept { return starts_.data(); }

  // After the counts: the most items in one bucket.
  [[nodiscard]] std::size_t largest() {
    const std::vector<std::size_t>& bounds = starts();
    std::size_t most = 0;
    for (std::size_t b = 0; b + 1 < bounds.size(); ++b) most = std::max(most, bounds[b + 1] - bounds[b]);
    return most;
  }

  // After the counts: the bucket boundaries, starts()[b] to starts()[b + 1].
  [[nodiscard]] const std::vector<std::size_t>& starts() {
    if (!summed_) {
      for (std::size_t b = 1; b < starts_.size(); ++b) starts_[b] += starts_[b - 1];
      summed_ = true;
    }
    return starts_;
  }

 private:
  std::uint64_t base_ = 0;
  unsigned shift_ = 0;
  std::size_t last_ = 0;
  std::vector<std::uint32_t> route_;
  std::vector<std::size_t> starts_;
  bool summed_ = false;
};

// Asks for the line of array that holds item at + split_ahead, so that it
// has arrived by the time it is written (each bucket is written in order).
// (As an address only: it may lie past the array, which is harmless for a
// prefetch.)
template <class T>
inline void prefetch_ahead(const T* array, std::size_t at) noexcept {
  prefetch_for_write(
      reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(array) + (at + split_ahead) * sizeof(T)));
}

// Calls put(at, i, key) for every present place i, at its place in its
// bucket (the plan has counted every present key; in place order within each
// bucket), and missing(i) for the others.
template <class Source, class Put, class Missing>
void split_into(const Source& source, SplitPlan& plan, Put put, Missing missing) {
  const std::vector<std::size_t>& starts = plan.starts();
  std::vector<std::size_t> next_of(starts.begin(), starts.end() - 1);
  std::size_t* const next = next_of.data();
  const SplitPlan::Router router = plan.router();
  const std::size_t n = source.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (source.present(i)) {
      const std::uint64_t key = source.key(i);
      put(next[router.bucket(key)]++, i, key);
    } else {
      missing(i);
    }
  }
}

// Writes make(i, key) of every present place i into its bucket of into.
template <class Source, class Make, class Missing, class Item>
void split(const Source& source, SplitPlan& plan, Make make, Missing missing, Item* into) {
  split_into(
      source, plan,
      [into, make](std::size_t at, std::size_t i, std::uint64_t key) {
        prefetch_ahead(into, at);
        into[at] = make(i, key);
      },
      missing);
}

// The radix sort proper: make(i, key) gives the item of present place i.
// plan, when given, has counted every present key.
template <class Source, class Ops, class Make, class Emit>
void radix_order(Source source, std::size_t present, unsigned lo, SplitPlan* plan, Ops ops, Make make, Emit emit,
                 std::uint32_t* out) {
  using Item = typename Ops::Item;
  const std::size_t n = source.size();

  if (plan == nullptr || present * sizeof(Item) <= cache_bytes) {
    LargeBuffer<Item> items(present);
    std::size_t next = 0;
    std::size_t next_missing = present;
    for (std::size_t i = 0; i < n; ++i) {
      if (source.present(i))
        items[next++] = make(i, source.key(i));
      else
        out[next_missing++] = source.row(i);
    }
    LargeBuffer<Item> scratch(present);
    cache_sort(items.data(), scratch.data(), present, lo, out, ops, emit);
    return;
  }

  std::size_t next_missing = present;
  const auto missing = [&](std::size_t i) { out[next_missing++] = source.row(i); };
  if constexpr (std::is_same_v<Item, Keyed>) {
    // Keys and rows are split apart: the rows straight into out, where the
    // rows of each bucket end up, and the keys into an array of their own.
    // Each bucket is joined into items again in cache. The call then makes
    // 12 bytes of fresh memory an item (key and result) rather than 16, and
    // on a first call fresh memory costs more than the joining.
    LargeBuffer<std::uint64_t> keys(present);
    split_into(
        source, *plan,
        [&keys, out, make](std::size_t at, std::size_t i, std::uint64_t key) {
          prefetch_ahead(keys.data(), at);
          prefetch_ahead(out, at);
          const Keyed item = make(i, key);
          keys[at] = item.key;
          out[at] = item.row;
        },
        missing);
    const std::vector<std::size_t>& starts = plan->starts();
    const std::size_t largest = plan->largest();
    LargeBuffer<Keyed> joined(largest);
    LargeBuffer<Keyed> scratch(largest);
    for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
      const std::size_t begin = starts[b];
      const std::size_t m = starts[b + 1] - begin;
      for (std::size_t j = 0; j < m; ++j) joined[j] = Keyed{keys[begin + j], out[begin + j]};
      cache_sort(joined.data(), scratch.data(), m, lo, out + begin, ops, emit);
    }
    return;
  }
  LargeBuffer<Item> items(present);
  split(source, *plan, make, missing, items.data());
  const std::vector<std::size_t>& starts = plan->starts();
  LargeBuffer<Item> scratch(plan->largest());
  for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
    const std::size_t begin = starts[b];
    cache_sort(items.data() + begin, scratch.data(), starts[b + 1] - begin, lo, out + begin, ops, emit);
  }
}

// Keys nearly in order (rows appended to sorted ones, a few values set
// anew): the keys out of place are set aside in one pass, sorted alone, and
// merged with the others, which are then in order.
//
// The pass runs from the last place to the first and keeps the places not set
// aside as a stack at the end of out's present part, whose keys never
// increase as it grows towards the front. A key greater than the stack's top
// sets aside both itself and the top, which is popped: so at most twice as
// many keys are set aside as the fewest whose removal would leave the rest in
// order, and a single key far out of place costs two, not every key up to
// where it belongs. The merge then runs forwards, the way memory is best
// read, writing kept places and keys set aside to the front of out, never past
// a place still to be read.
//
// Writes the rows of the present places in order and the missing ones after
// them, like the radix sort; false, with out to be written again, once more
// than one key in aside_share would be set aside, since sorting them all is
// then cheaper.
template <class Source>
bool order_nearly_sorted(const Source& source, std::size_t present, std::uint32_t* out) {
  const std::size_t n = source.size();
  const std::size_t most_aside = present / aside_share;
  std::vector<std::uint64_t> aside_marks((n + 63) / 64, 0);
  std::uint32_t* const end = out + present;  // the stack is [end - kept, end)
  std::size_t kept = 0;
  std::size_t aside = 0;
  std::size_t missing_at = n;
  std::uint64_t top = 0;
  for (std::size_t i = n; i != 0;) {
    --i;
    if (!source.present(i)) {
      out[--missing_at] = source.row(i);
      continue;
    }
    const std::uint64_t key = source.key(i);
    if (kept == 0 || key <= top) {
      *(end - ++kept) = static_cast<std::uint32_t>(i);
      top = key;
      continue;
    }
    const std::uint32_t popped = *(end - kept--);
    aside_marks[popped >> 6] |= std::uint64_t{1} << (popped & 63);
    aside_marks[i >> 6] |= std::uint64_t{1} << (i & 63);
    aside += 2;
    if (aside > most_aside) return false;
    top = kept == 0 ? 0 : source.key(*(end - kept));
  }

  // The keys set aside, in place order, sorted stably: by key, then place.
  std::vector<Keyed> items(aside);
  std::size_t next = 0;
  for (std::size_t w = 0; w < aside_marks.size(); ++w) {
    for (std::uint64_t b = aside_marks[w]; b != 0; b &= b - 1) {
      const std::size_t place = 64 * w + static_cast<unsigned>(std::countr_zero(b));
      items[next++] = Keyed{source.key(place), static_cast<std::uint32_t>(place)};
    }
  }
  std::vector<Keyed> scratch(aside);
  sort_keyed(items, scratch);

  // Merged forwards: the kept places before each item set aside (by key, then
  // place) are written to the front, then the item. Kept places and their keys
  // are read in order, and the writes trail the reads. (A galloping search
  // with block moves was measured slower: its probes wait on memory.)
  std::size_t from = present - kept;  // the first kept place not yet written
  std::size_t at = 0;                 // where the next row goes
  for (const Keyed& item : items) {
    while (from < present) {
      const std::uint32_t place = out[from];
      const std::uint64_t key = source.key(place);
      if (key > item.key || (key == item.key && place > item.row)) break;
      out[at++] = source.row(place);
      ++from;
    }
    out[at++] = source.row(item.row);
  }
  // Every item is placed: the kept places left are where they belong.
  if constexpr (!Source::rows_are_places) {
    for (std::size_t i = from; i < present; ++i) out[i] = source.row(out[i]);
  }
  return true;
}

// One pass over the keys: their count, range and whether they are in order or
// in reverse order; plan, when given, counts them.
struct Scan {
  std::size_t present = 0;
  std::uint64_t least = ~std::uint64_t{0};
  std::uint64_t most = 0;
  std::size_t descents = 0;  // keys less than the present key before them
  bool up = true;
  bool down = true;
  std::optional<SplitPlan> plan;  // with the buckets counted
};

// Plans the split of source's keys and counts them into its buckets.
template <class Source>
std::optional<SplitPlan> planned_split(const Source& source) {
  std::optional<SplitPlan> plan = SplitPlan::sample(source);
  if (!plan) return plan;
  const SplitPlan::Router router = plan->router();
  std::size_t* const counts = plan->counts();
  const std::size_t n = source.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (source.present(i)) ++counts[router.bucket(source.key(i)) + 1];
  }
  return plan;
}

// Keys read past the first descent before the scan judges whether they are
// nearly in order.
inline constexpr std::size_t descent_probe = std::size_t{1} << 16;

// Whether every place of a source is present, known from its type: such
// sources declare `static constexpr bool all_present = true`.
template <class Source>
inline constexpr bool all_present_v = requires { requires Source::all_present; };

// The least and most of keys taken four at a time, in four running values
// each: with one, every key waits on the compare and conditional move of the
// key before it, and that chain, not the reading, set the pace of the scan
// (three to four times the time of reading the keys alone).
class Range4 {
 public:
  Range4(std::uint64_t least, std::uint64_t most) noexcept
      : least_{least, least, least, least}, most_{most, most, most, most} {}

  void add(std::uint64_t k0, std::uint64_t k1, std::uint64_t k2, std::uint64_t k3) noexcept {
    least_[0] = std::min(least_[0], k0);
    least_[1] = std::min(least_[1], k1);
    least_[2] = std::min(least_[2], k2);
    least_[3] = std::min(least_[3], k3);
    most_[0] = std::max(most_[0], k0);
    most_[1] = std::max(most_[1], k1);
    most_[2] = std::max(most_[2], k2);
    most_[3] = std::max(most_[3], k3);
  }
  [[nodiscard]] std::uint64_t least() const noexcept {
    return std::min(std::min(least_[0], least_[1]), std::min(least_[2], least_[3]));
  }
  [[nodiscard]] std::uint64_t most() const noexcept {
    return std::max(std::max(most_[0], most_[1]), std::max(most_[2], most_[3]));
  }

 private:
  std::uint64_t least_[4];
  std::uint64_t most_[4];
};

// Keys [i, end) of a source whose places are all present folded into their
// least and most (Range4) and the count of descents (the first key compared
// with `previous`), with count(key) called for each. Keys past the last whole
// four are left to the caller.
template <class Source, class Count>
std::size_t fold4(const Source& source, std::size_t i, std::size_t end, std::uint64_t& least_out,
                  std::uint64_t& most_out, std::uint64_t& previous_out, std::size_t& descents_out, Count count) {
  Range4 range(least_out, most_out);
  std::uint64_t previous = previous_out;
  std::size_t descents = descents_out;
  for (; i + 4 <= end; i += 4) {
    const std::uint64_t k0 = source.key(i);
    const std::uint64_t k1 = source.key(i + 1);
    const std::uint64_t k2 = source.key(i + 2);
    const std::uint64_t k3 = source.key(i + 3);
    count(k0);
    count(k1);
    count(k2);
    count(k3);
    range.add(k0, k1, k2, k3);
    descents += static_cast<std::size_t>(k0 < previous) + static_cast<std::size_t>(k1 < k0) +
                static_cast<std::size_t>(k2 < k1) + static_cast<std::size_t>(k3 < k2);
    previous = k3;
  }
  least_out = range.least();
  most_out = range.most();
  previous_out = previous;
  descents_out = descents;
  return i;
}

// While the keys are in order (or in reverse order) nothing is counted, so
// that sorted inputs cost no counting. Once they are neither, the next
// descent_probe keys judge whether they look nearly in order: if so the scan
// counts nothing either (the caller plans the split only if it needs it);
// otherwise, when `split` asks for it, the split is planned, the keys read so
// far are counted and the rest counted as they are read.
template <class Source>
Scan scan(Source source, bool split) {
  constexpr bool dense = all_present_v<Source>;
  // Locals only in the loops: the counts they write could otherwise alias them.
  std::size_t present = 0;
  std::uint64_t least = ~std::uint64_t{0};
  std::uint64_t most = 0;
  std::uint64_t previous = 0;
  bool up = true;
  bool down = true;
  const std::size_t n = source.size();
  std::size_t i = 0;
  std::size_t descents = 0;
  if constexpr (dense) {
    // Four keys at a time while in order: their range in a Range4, and a
    // descent or ascent anywhere among them ends either run. The keys of the
    // four that ended it are counted like the rest.
    if (n != 0) {
      previous = least = most = source.key(0);
      i = present = 1;
    }
    Range4 range(least, most);
    for (; i + 4 <= n && (up || down); i += 4) {
      const std::uint64_t k0 = source.key(i);
      const std::uint64_t k1 = source.key(i + 1);
      const std::uint64_t k2 = source.key(i + 2);
      const std::uint64_t k3 = source.key(i + 3);
      range.add(k0, k1, k2, k3);
      const bool d0 = k0 < previous;
      const bool d1 = k1 < k0;
      const bool d2 = k2 < k1;
      const bool d3 = k3 < k2;
      descents += static_cast<std::size_t>(d0) + static_cast<std::size_t>(d1) + static_cast<std::size_t>(d2) +
                  static_cast<std::size_t>(d3);
      up &= !(d0 | d1 | d2 | d3);
      down &= (k0 <= previous) & (k1 <= k0) & (k2 <= k1) & (k3 <= k2);
      previous = k3;
    }
    least = range.least();
    most = range.most();
    present = i;
  }
  for (; i < n && (up || down); ++i) {
    if (!source.present(i)) continue;
    const std::uint64_t key = source.key(i);
    least = std::min(least, key);
    most = std::max(most, key);
    const bool descent = present != 0 && key < previous;
    descents += descent ? 1 : 0;
    up &= !descent;
    down &= present == 0 || key <= previous;
    previous = key;
    ++present;
  }
  if (up || down) return Scan{present, least, most, descents, up, down, std::nullopt};
  const auto one = [&](std::uint64_t key) {
    least = std::min(least, key);
    most = std::max(most, key);
    descents += key < previous ? 1 : 0;
    previous = key;
    ++present;
  };
  const auto rest = [&](std::size_t end) {
    if constexpr (dense) {
      const std::size_t from = i;
      i = fold4(source, i, end, least, most, previous, descents, [](std::uint64_t /*key*/) {});
      present += i - from;
    }
    for (; i < end; ++i) {
      if (source.present(i)) one(source.key(i));
    }
  };
  rest(std::min(n, i + descent_probe));
  std::optional<SplitPlan> plan;
  if (split && descents > present / descent_share) plan = SplitPlan::sample(source);
  if (!plan) {
    rest(n);
    return Scan{present, least, most, descents, false, false, std::nullopt};
  }

  const SplitPlan::Router router = plan->router();
  std::size_t* const counts = plan->counts();
  for (std::size_t k = 0; k < i; ++k) {
    if (source.present(k)) ++counts[router.bucket(source.key(k)) + 1];
  }
  if constexpr (dense) {
    const std::size_t from = i;
    i = fold4(source, i, n, least, most, previous, descents,
              [router, counts](std::uint64_t key) { ++counts[router.bucket(key) + 1]; });
    present += i - from;
  }
  for (; i < n; ++i) {
    if (!source.present(i)) continue;
    const std::uint64_t key = source.key(i);
    ++counts[router.bucket(key) + 1];
    one(key);
  }
  return Scan{present, least, most, descents, false, false, std::move(plan)};
}

}  // namespace key_order_detail

// The rows of source's places: present ones stably ordered by key, then the
// missing ones in place order. Nothing when every place is present and the
// keys are already in order: the order is then the places' own.
template <class Source>
std::optional<RowIndex> reorder_by_keys(const Source& source) {
  using namespace key_order_detail;
  const std::size_t n = source.size();

  // Inputs large enough to need the split have it planned and counted by the
  // scan.
  Scan found = scan(source, n * sizeof(std::uint64_t) > cache_bytes);
  const std::size_t present = found.present;
  const std::uint64_t least = found.least;
  const bool up = found.up;
  const bool down = found.down;
  if (up && present == n) return std::nullopt;
  RowIndex out = large_vector<std::uint32_t>(n);
  if (up) {
    emit_in_order(source, present, out.data());
    return out;
  }
  if (down) {
    emit_runs_reversed(source, present, out.data());
    return out;
  }
  const auto bits = static_cast<unsigned>(std::bit_width(found.most - least));
  if (bits <= counting_bits) {
    counting_order(source, least, bits, present, out.data());
    return out;
  }
  if (found.descents <= present / descent_share && order_nearly_sorted(source, present, out.data())) return out;
  // Keys that looked nearly in order were not counted as they were scanned.
  if (!found.plan && n * sizeof(std::uint64_t) > cache_bytes) found.plan = planned_split(source);
  SplitPlan* const split = found.plan ? &*found.plan : nullptr;
  if constexpr (Source::rows_are_places) {
    const auto place_bits = static_cast<unsigned>(std::bit_width(n - 1));
    if (bits + place_bits <= 64) {
      const PackedItems ops{place_bits};
      radix_order(
          source, present, place_bits, split, ops,
          [least, place_bits](std::size_t i, std::uint64_t key) { return ((key - least) << place_bits) | i; },
          [ops](std::uint64_t item) { return static_cast<std::uint32_t>(ops.place(item)); }, out.data());
      return out;
    }
  }
  radix_order(
      source, present, 0, split, KeyedItems{},
      [source, least](std::size_t i, std::uint64_t key) { return Keyed{key - least, source.row(i)}; },
      [](const Keyed& item) { return item.row; }, out.data());
  return out;
}

// The same, listing the places in order when they are already in order.
template <class Source>
RowIndex order_by_keys(const Source& source) {
  if (std::optional<RowIndex> out = reorder_by_keys(source)) return std::move(*out);
  RowIndex out(source.size());
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = source.row(i);
  return out;
}

// Sorts items stably by key, in place; scratch holds as many items. Small
// inputs are sorted in cache at once; larger ones are split into scratch
// first, and each bucket sorted back into items.
inline void sort_keyed(std::span<Keyed> items, std::span<Keyed> scratch) {
  using namespace key_order_detail;
  const std::size_t n = items.size();
  const auto same = [](const Keyed& item) { return item; };
  if (n * sizeof(Keyed) <= cache_bytes) {
    cache_sort(items.data(), scratch.data(), n, 0, items.data(), KeyedItems{}, same);
    return;
  }
  struct Items {
    const Keyed* at;
    std::size_t count;
    [[nodiscard]] std::size_t size() const noexcept { return count; }
    [[nodiscard]] static bool present(std::size_t /*i*/) noexcept { return true; }
    [[nodiscard]] std::uint64_t key(std::size_t i) const noexcept { return at[i].key; }
  };
  const Items source{items.data(), n};
  std::optional<SplitPlan> plan = planned_split(source);  // never nothing: every item is present
  split(
      source, *plan, [&items](std::size_t i, std::uint64_t /*key*/) { return items[i]; }, [](std::size_t /*i*/) {},
      scratch.data());
  const std::vector<std::size_t>& starts = plan->starts();
  for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
    const std::size_t begin = starts[b];
    cache_sort(scratch.data() + begin, items.data() + begin, starts[b + 1] - begin, 0, items.data() + begin,
               KeyedItems{}, same);
  }
}

// Sorts the items make(i, key) of source's places, every one present, stably
// by key into items (as many as places), and hands each sorted bucket to
// done(bucket, scratch), scratch holding at least as many items, while the
// bucket is in cache. Unlike sort_keyed, large inputs are split from the
// source straight into their buckets: the keys are read twice (to count the
// buckets, then to split), but no second array of every item is made.
template <class Source, class Make, class Done>
void sort_keyed_from(const Source& source, Make make, std::span<Keyed> items, Done done) {
  using namespace key_order_detail;
  const std::size_t n = items.size();
  const auto same = [](const Keyed& item) { return item; };
  if (n * sizeof(Keyed) <= cache_bytes) {
    for (std::size_t i = 0; i < n; ++i) items[i] = make(i, source.key(i));
    LargeBuffer<Keyed> scratch(n);
    cache_sort(items.data(), scratch.data(), n, 0, items.data(), KeyedItems{}, same);
    done(items, std::span<Keyed>(scratch.data(), n));
    return;
  }
  std::optional<SplitPlan> plan = planned_split(source);  // never nothing: every place is present
  split(source, *plan, make, [](std::size_t /*i*/) {}, items.data());
  const std::vector<std::size_t>& starts = plan->starts();
  LargeBuffer<Keyed> scratch(plan->largest());
  for (std::size_t b = 0; b + 1 < starts.size(); ++b) {
    const std::size_t begin = starts[b];
    const std::size_t m = starts[b + 1] - begin;
    if (m == 0) continue;
    cache_sort(items.data() + begin, scratch.data(), m, 0, items.data() + begin, KeyedItems{}, same);
    done(items.subspan(begin, m), std::span<Keyed>(scratch.data(), m));
  }
}

}  // namespace kelo_frame
