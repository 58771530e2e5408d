// Sorting: Table::sort and the stable row orderings behind it.
//
// Present cells are ordered by one of two methods that give the same result;
// missing cells follow them in view order:
//
// - Radix: each cell becomes an unsigned 64-bit key whose unsigned order is
//   the wanted order (inverted for descending; NaN always greatest). Numbers
//   are keyed as they are read from the column, missing cells set aside on the
//   way, and ordered by order_by_keys (key_order.hpp), which also answers
//   inputs already in order, or in reverse order, after one scan. Texts of a
//   column with few distinct values are keyed by the rank of their text among
//   those values and ordered the same way; other texts by their first 8 bytes,
//   through sort_keyed (key_order.hpp), after which runs of equal keys are
//   ordered by their next bytes, the same way, until they are resolved. Texts
//   nearly in order are first tried the way keys nearly in order are ordered.
// - Compare: a stable comparison sort reading the cells, for short inputs.
#include "sort.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "key_order.hpp"
#include "large_buffer.hpp"
#include "prefetch.hpp"
#include "text_table.hpp"

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
  // In integer registers: the sort's passes compute a key for every cell
  // they read, and a float compare, an addition and the moves between
  // register files cost more than these few integer steps.
  auto bits = std::bit_cast<std::uint64_t>(v);
  bits = bits == sign_bit ? 0 : bits;  // -0.0 and +0.0 are one value
  // Negative floats order backwards by their bits: flip them all. Positive
  // ones order forwards: set the sign bit so they follow the negatives. (No
  // branch: the sign decides at random in unsorted data.)
  const auto negative = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63);
  const std::uint64_t key = bits ^ (negative | sign_bit);
  // NaN (all exponent bits set, a mantissa not zero, either sign) keys last.
  const bool nan = (bits << 1) > (std::uint64_t{0x7ff0000000000000} << 1);
  return nan ? nan_key : (descending ? ~key : key);
}

// Bytes [offset, offset + 8) of text, big-endian, padded with zero bytes.
// Whole words are one load; the last 1 to 7 bytes of a text of at least eight
// are its last eight moved up, so that no load's length varies.
[[nodiscard]] inline std::uint64_t text_key(std::string_view text, std::size_t offset, bool descending) noexcept {
  const auto load = [](const char* at) {
    std::uint64_t w = 0;
    std::memcpy(&w, at, 8);
    if constexpr (std::endian::native == std::endian::little) w = std::byteswap(w);
    return w;
  };
  std::uint64_t key = 0;
  if (offset + 8 <= text.size()) {
    key = load(text.data() + offset);
  } else if (offset < text.size()) {
    const std::size_t rest = text.size() - offset;
    if (text.size() >= 8) {
      key = load(text.data() + text.size() - 8) << (8 * (8 - rest));
    } else {
      for (std::size_t k = 0; k < 8; ++k) {
        key = (key << 8) | (k < rest ? static_cast<unsigned char>(text[offset + k]) : 0U);
      }
    }
  }
  return descending ? ~key : key;
}

// A text with its first 16 bytes at hand as two big-endian words (padded with
// zero bytes), so that comparing it again does not load them again.
struct HeadedText {
  std::uint64_t first = 0;
  std::uint64_t second = 0;
  std::string_view text;

  HeadedText() = default;
  explicit HeadedText(std::string_view t) noexcept
      : first(text_key(t, 0, false)), second(text_key(t, 8, false)), text(t) {}
};

// <0, 0 or >0 as text a comes before, with or after text b in byte order,
// compared eight bytes at a time as big-endian words, padded with zero bytes,
// the shorter text first when the words all agree (a text that is a prefix of
// another comes first). Texts that share a long prefix cost a few word
// comparisons rather than a call to compare bytes; the first two words are
// the ones at hand.
[[nodiscard]] inline int compare_headed(const HeadedText& a, const HeadedText& b) noexcept {
  if (a.first != b.first) return a.first < b.first ? -1 : 1;
  if (a.second != b.second) return a.second < b.second ? -1 : 1;
  const std::size_t longest = std::max(a.text.size(), b.text.size());
  for (std::size_t offset = 16; offset < longest; offset += 8) {
    const std::uint64_t x = text_key(a.text, offset, false);
    const std::uint64_t y = text_key(b.text, offset, false);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.text.size() < b.text.size() ? -1 : a.text.size() > b.text.size() ? 1 : 0;
}

// The places being sorted: row numbers, or none when place i is row i (a
// table without a row index and without missing cells), which lets the key of
// a place be read straight from the column in storage order.
struct Places {
  const std::uint32_t* rows;  // nullptr: place i is row i
  std::size_t size;

  [[nodiscard]] std::uint32_t operator[](std::size_t i) const noexcept {
    return rows != nullptr ? rows[i] : static_cast<std::uint32_t>(i);
  }
  [[nodiscard]] RowIndex list() const {
    RowIndex out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = (*this)[i];
    return out;
  }
};

// Sources of keys for order_by_keys.

// The keys of a column's rows in storage order: place i is row i, present
// unless the validity says otherwise (AllPresent: no cell is missing).
template <bool AllPresent, class Value, class KeyOf>
class StorageKeys {
 public:
  static constexpr bool rows_are_places = true;
  static constexpr bool all_present = AllPresent;

  StorageKeys(const Value* values, std::size_t n, const Validity& valid, KeyOf key_of)
      : values_(values), n_(n), words_(valid.words().data()), word_count_(valid.words().size()), key_of_(key_of) {}

  [[nodiscard]] std::size_t size() const noexcept { return n_; }
  [[nodiscard]] bool present(std::size_t i) const noexcept {
    if constexpr (AllPresent) {
      return true;
    } else {
      const std::size_t word = i >> 6;
      return word >= word_count_ || ((words_[word] >> (i & 63)) & 1U) != 0;
    }
  }
  [[nodiscard]] std::uint64_t key(std::size_t i) const noexcept { return key_of_(values_[i]); }
  [[nodiscard]] static std::uint32_t row(std::size_t i) noexcept { return static_cast<std::uint32_t>(i); }

 private:
  const Value* values_;
  std::size_t n_;
  const std::uint64_t* words_;
  std::size_t word_count_;
  KeyOf key_of_;
};

// Keys gathered through a row index: places [0, present) hold the present
// rows with their keys, places [present, size) the missing rows.
class GatheredKeys {
 public:
  static constexpr bool rows_are_places = false;

  GatheredKeys(const std::uint64_t* keys, const std::uint32_t* rows, std::size_t present, std::size_t n)
      : keys_(keys), rows_(rows), present_(present), n_(n) {}

  [[nodiscard]] std::size_t size() const noexcept { return n_; }
  [[nodiscard]] bool present(std::size_t i) const noexcept { return i < present_; }
  [[nodiscard]] std::uint64_t key(std::size_t i) const noexcept { return keys_[i]; }
  [[nodiscard]] std::uint32_t row(std::size_t i) const noexcept { return rows_[i]; }

 private:
  const std::uint64_t* keys_;
  const std::uint32_t* rows_;
  std::size_t present_;
  std::size_t n_;
};

// Every place present, with key key_at(i).
template <class KeyAt>
class PlaceKeys {
 public:
  static constexpr bool rows_are_places = false;
  static constexpr bool all_present = true;

  PlaceKeys(KeyAt key_at, Places places) : key_at_(key_at), places_(places) {}

  [[nodiscard]] std::size_t size() const noexcept { return places_.size; }
  [[nodiscard]] static bool present(std::size_t /*i*/) noexcept { return true; }
  [[nodiscard]] std::uint64_t key(std::size_t i) const { return key_at_(i); }
  [[nodiscard]] std::uint32_t row(std::size_t i) const noexcept { return places_[i]; }

 private:
  KeyAt key_at_;
  Places places_;
};

// The places of a numeric column ordered by key_of(value), missing cells last;
// nothing when they are already in order. Through a row index the keys are
// gathered once, so that the passes that read them again read memory in order.
template <class Value, class KeyOf>
std::optional<RowIndex> reorder_numbers(const Value* values, const Validity& valid, Places places, KeyOf key_of) {
  const std::size_t n = places.size;
  if (places.rows == nullptr) {
    if (valid.all_present()) return reorder_by_keys(StorageKeys<true, Value, KeyOf>(values, n, valid, key_of));
    return reorder_by_keys(StorageKeys<false, Value, KeyOf>(values, n, valid, key_of));
  }
  LargeBuffer<std::uint64_t> keys(n);
  LargeBuffer<std::uint32_t> rows(n);
  std::vector<std::uint32_t> missing;
  std::size_t present = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + prefetch_distance < n) prefetch(values + places.rows[i + prefetch_distance]);
    const std::uint32_t r = places.rows[i];
    if (valid.present(r)) {
      keys[present] = key_of(values[r]);
      rows[present++] = r;
    } else {
      missing.push_back(r);
    }
  }
  std::copy(missing.begin(), missing.end(), rows.data() + present);
  return reorder_by_keys(GatheredKeys(keys.data(), rows.data(), present, n));
}

// ---------------------------------------------------------------------------
// Texts

class Texts {
 public:
  explicit Texts(const StrCol& col) : offsets_(col.offsets.data()), bytes_(col.bytes.data()) {}
  [[nodiscard]] std::string_view operator()(std::uint32_t r) const noexcept {
    return {bytes_ + offsets_[r], static_cast<std::size_t>(offsets_[r + 1] - offsets_[r])};
  }

  // Asks for the texts of places i + distance (their offsets) and i + distance / 2
  // (their bytes, whose offsets have arrived by then), when rows are read
  // through a row index.
  void prefetch_ahead(const std::uint32_t* rows, std::size_t i, std::size_t n) const noexcept {
    if (rows == nullptr) return;
    if (i + 2 * prefetch_distance < n) prefetch(offsets_ + rows[i + 2 * prefetch_distance]);
    if (i + prefetch_distance < n) prefetch(bytes_ + offsets_[rows[i + prefetch_distance]]);
  }

 private:
  const std::uint64_t* offsets_;
  const char* bytes_;
};

// Keys of 16 characters for texts whose bytes take at most 16 values
// (hexadecimal or decimal digits, codes of a few letters): each byte becomes
// its rank among those values, four bits, so the key holds twice as much of
// the text as its first 8 bytes do, and every bit of it varies, which the
// in-cache sort's digits need to split evenly (bytes of 16 hex values use a
// sixteenth of a byte's values). A text shorter than 16 bytes is padded with
// the least value, rank 0: a text then keys no higher than any longer one it
// is a prefix of, and texts with equal keys agree on their first 16 bytes or
// one is a prefix of the other, which the length and the later bytes decide.
class NibbleKeys {
 public:
  // Set in the marks of key() when a text's first 16 bytes hold a value that
  // is not among the sample's: its key is then meaningless.
  static constexpr std::uint32_t unseen = 0x100;

  // The values are taken from a sample of the texts of rows [0, n): nothing
  // when there are more than 16.
  static std::optional<NibbleKeys> of(const Texts& text, std::size_t n) {
    std::array<bool, 256> seen{};
    const std::size_t step = std::max<std::size_t>(n / 4096, 1);
    for (std::size_t i = 0; i < n; i += step) {
      for (const char c : text(static_cast<std::uint32_t>(i))) seen[static_cast<unsigned char>(c)] = true;
    }
    std::array<std::uint32_t, 256> code{};  // the rank, or unseen
    unsigned values = 0;
    int least = -1;
    for (std::size_t b = 0; b < 256; ++b) {
      code[b] = seen[b] ? values : unseen;
      if (!seen[b]) continue;
      if (least < 0) least = static_cast<int>(b);
      if (++values > 16) return std::nullopt;
    }
    if (least < 0) return std::nullopt;  // only empty texts
    NibbleKeys keys;
    keys.pad_ = static_cast<std::uint64_t>(least) * 0x0101010101010101;
    keys.pairs_.resize(std::size_t{1} << 16);
    for (std::size_t pair = 0; pair < keys.pairs_.size(); ++pair) {
      const std::uint32_t first = code[pair >> 8];
      const std::uint32_t second = code[pair & 0xff];
      keys.pairs_[pair] =
          static_cast<std::uint16_t>(((first & 0xf) << 4) | (second & 0xf) | ((first | second) & unseen));
    }
    return keys;
  }

  // Where key() records unseen. A type that no other access of the sort's
  // loops has, so that the compiler may keep it in a register through them.
  using Marks = unsigned long long;

  // The key of t; ORs unseen into marks when t needs it.
  [[nodiscard]] std::uint64_t key(std::string_view t, bool descending, Marks& marks) const noexcept {
    // The first 16 bytes as two big-endian words, padded with the least value.
    const std::uint64_t hi = text_key(t, 0, false) | pad_from(t.size());
    const std::uint64_t lo = text_key(t, 8, false) | pad_from(t.size() > 8 ? t.size() - 8 : 0);
    const std::uint16_t* pairs = pairs_.data();
    std::uint64_t key = 0;
    std::uint32_t found = 0;
    for (unsigned k = 0; k < 4; ++k) {
      // Bytes 2k and 2k + 1 of each word give the key's byte k, or 4 + k.
      const std::uint32_t a = pairs[(hi >> (48 - 16 * k)) & 0xffff];
      const std::uint32_t b = pairs[(lo >> (48 - 16 * k)) & 0xffff];
      found |= a | b;
      key |= std::uint64_t{a & 0xff} << (56 - 8 * k);
      key |= std::uint64_t{b & 0xff} << (24 - 8 * k);
    }
    marks |= found;
    return descending ? ~key : key;
  }

 private:
  // The padding of a big-endian word that holds `real` bytes of text.
  [[nodiscard]] std::uint64_t pad_from(std::size_t real) const noexcept { return real >= 8 ? 0 : pad_ >> (8 * real); }

  std::uint64_t pad_ = 0;             // the least value in every byte
  std::vector<std::uint16_t> pairs_;  // by two bytes: their ranks, the first's in bits 4-7, and unseen
};

// a before b in byte order, for texts that agree on their first offset bytes
// when padded with zero bytes: the bytes from offset decide, then the length.
[[nodiscard]] inline bool text_less_from(std::string_view a, std::string_view b, std::size_t offset) noexcept {
  const std::string_view tail_a = a.substr(std::min(offset, a.size()));
  const std::string_view tail_b = b.substr(std::min(offset, b.size()));
  const int c = tail_a.compare(tail_b);
  return c != 0 ? c < 0 : a.size() < b.size();
}

// Orders items (keyed by their first `keyed` bytes, 8 as bytes or 16 as
// NibbleKeys, and sorted) within each run of equal keys. The texts of a run
// agree on their first `offset` bytes, or one is a prefix of the other; the
// run is keyed by its next 8 bytes and sorted again, until each run is a single
// row, or texts that are equal, or prefixes of one another (ordered by length).
void resolve_text_runs(std::span<Keyed> items, std::span<Keyed> scratch, const Texts& text, bool descending,
                       std::size_t keyed = 8) {
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
  push_runs(0, items.size(), keyed);

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
      shared = static_cast<std::size_t>(
          std::mismatch(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(limit), t.begin()).first -
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

// Ordering texts through their first 8 bytes, then resolving ties.
RowIndex prefix_text_rows(Places places, const Texts& text, bool descending) {
  const std::size_t n = places.size;
  LargeBuffer<Keyed> items(n);
  RowIndex out = large_vector<std::uint32_t>(n);
  if (places.rows == nullptr) {
    // In storage order the texts are read in order, so reading them twice
    // (to plan the split, then to split) costs less than gathering every
    // item first and splitting those into a second array: the items are
    // split straight from the texts, and each bucket is finished (its runs
    // of equal prefixes resolved, its rows listed) while it is in cache.
    struct Prefixes {
      const Texts* text;
      std::size_t count;
      bool descending;
      [[nodiscard]] std::size_t size() const noexcept { return count; }
      [[nodiscard]] static bool present(std::size_t /*i*/) noexcept { return true; }
      [[nodiscard]] std::uint64_t key(std::size_t i) const noexcept {
        return text_key((*text)(static_cast<std::uint32_t>(i)), 0, descending);
      }
    };
    struct Nibbles {
      const Texts* text;
      const NibbleKeys* keys;
      NibbleKeys::Marks* marks;
      std::size_t count;
      bool descending;
      [[nodiscard]] std::size_t size() const noexcept { return count; }
      [[nodiscard]] static bool present(std::size_t /*i*/) noexcept { return true; }
      [[nodiscard]] std::uint64_t key(std::size_t i) const noexcept {
        return keys->key((*text)(static_cast<std::uint32_t>(i)), descending, *marks);
      }
    };
    const auto make = [](std::size_t i, std::uint64_t key) { return Keyed{key, static_cast<std::uint32_t>(i)}; };
    const std::span<Keyed> all(items.data(), n);
    std::uint32_t* rows = out.data();

    // Texts of few byte values are keyed by their first 16 bytes' ranks.
    // Every key has been made once before the first bucket is done, so that
    // a text with a value the sample did not see is known by then: the
    // buckets are left, and the texts keyed by their bytes instead.
    if (const std::optional<NibbleKeys> nibbles = NibbleKeys::of(text, n)) {
      NibbleKeys::Marks marks = 0;
      sort_keyed_from(Nibbles{&text, &*nibbles, &marks, n, descending}, make, all,
                      [&](std::span<Keyed> bucket, std::span<Keyed> scratch) {
                        if ((marks & NibbleKeys::unseen) != 0) return;
                        resolve_text_runs(bucket, scratch, text, descending, 16);
                        for (const Keyed& item : bucket) *rows++ = item.row;
                      });
      if ((marks & NibbleKeys::unseen) == 0) return out;
    }
    sort_keyed_from(Prefixes{&text, n, descending}, make, all, [&](std::span<Keyed> bucket, std::span<Keyed> scratch) {
      resolve_text_runs(bucket, scratch, text, descending);
      for (const Keyed& item : bucket) *rows++ = item.row;
    });
    return out;
  }
  for (std::size_t i = 0; i < n; ++i) {
    text.prefetch_ahead(places.rows, i, n);
    items[i] = Keyed{text_key(text(places[i]), 0, descending), places[i]};
  }
  LargeBuffer<Keyed> scratch(n);
  const std::span<Keyed> all(items.data(), n);
  sort_keyed(all, {scratch.data(), n});
  resolve_text_runs(all, {scratch.data(), n}, text, descending);
  for (std::size_t i = 0; i < n; ++i) out[i] = items[i].row;
  return out;
}

// Columns of few distinct texts (names of cities, categories, dates) are
// sorted by the rank of each text among the distinct ones: only the distinct
// texts are compared, and the ranks need one or two radix passes. Returns
// nothing when there are too many distinct texts for that to pay.
std::optional<RowIndex> ranked_text_rows(Places places, const Texts& text, bool descending) {
  const std::size_t n = places.size;
  TextTable distinct(std::min<std::size_t>(std::size_t{1} << 16, n / 4), 10);
  std::vector<std::string_view> texts;  // by number
  // Given up on at the first text past the table's size, which may come early.
  LargeBuffer<std::uint32_t> ids(n, PagesAsWritten{});
  for (std::size_t i = 0; i < n; ++i) {
    text.prefetch_ahead(places.rows, i, n);
    const std::string_view t = text(places[i]);
    const std::uint32_t id = distinct.find_or_add(t);
    if (id == TextTable::none) return std::nullopt;
    if (id == texts.size()) texts.push_back(t);
    ids[i] = id;
  }
  std::vector<std::uint32_t> order(texts.size());
  std::iota(order.begin(), order.end(), std::uint32_t{0});
  std::sort(order.begin(), order.end(), [&texts](std::uint32_t a, std::uint32_t b) { return texts[a] < texts[b]; });
  std::vector<std::uint32_t> rank(texts.size());
  for (std::size_t i = 0; i < order.size(); ++i) {
    rank[order[i]] = static_cast<std::uint32_t>(descending ? order.size() - 1 - i : i);
  }
  for (std::size_t i = 0; i < n; ++i) ids[i] = rank[ids[i]];
  return order_by_keys(PlaceKeys{[ids = ids.data()](std::size_t i) { return std::uint64_t{ids[i]}; }, places});
}

// Texts nearly in order, the way order_by_keys answers keys nearly in order
// (key_order.hpp): a backward pass sets aside each text that comes after the
// kept text behind it, together with that text; the texts set aside are
// sorted alone and merged forwards with the kept ones, which are in order.
// Texts are compared whole, so a long shared prefix costs nothing extra; the
// first 16 bytes of the text each pass compares against (the stack's top,
// the next kept text) are kept at hand as words.
// Nothing when the first texts have many descents, or when too many texts
// would be set aside.
std::optional<RowIndex> nearly_sorted_text_rows(Places places, const Texts& text, bool descending) {
  using key_order_detail::aside_share;
  using key_order_detail::descent_probe;
  using key_order_detail::descent_share;
  const std::size_t n = places.size;
  // <0, 0 or >0 as text a comes before, with, or after text b.
  const auto order = [descending](const HeadedText& a, const HeadedText& b) {
    const int c = compare_headed(a, b);
    return descending ? -c : c;
  };
  const auto head = [&text, places](std::size_t i) { return HeadedText(text(places[i])); };
  const std::size_t probe = std::min(n, descent_probe);
  std::size_t descents = 0;
  for (std::size_t i = 1; i < probe; ++i) {
    text.prefetch_ahead(places.rows, i, probe);
    descents += order(head(i), head(i - 1)) < 0 ? 1 : 0;
  }
  if (descents > probe / descent_share) return std::nullopt;

  // The kept places, as a stack growing from the end of out towards its front.
  RowIndex out = large_vector<std::uint32_t>(n);
  std::uint32_t* const end = out.data() + n;
  std::vector<std::uint64_t> aside_marks((n + 63) / 64, 0);
  const std::size_t most_aside = n / aside_share;
  std::size_t kept = 0;
  std::size_t aside = 0;
  HeadedText top;  // the text of the stack's top, while kept != 0
  for (std::size_t i = n; i != 0;) {
    --i;
    const HeadedText current = head(i);
    if (kept == 0 || order(current, top) <= 0) {
      *(end - ++kept) = static_cast<std::uint32_t>(i);
      top = current;
      continue;
    }
    const std::uint32_t popped = *(end - kept--);
    aside_marks[popped >> 6] |= std::uint64_t{1} << (popped & 63);
    aside_marks[i >> 6] |= std::uint64_t{1} << (i & 63);
    aside += 2;
    if (aside > most_aside) return std::nullopt;
    if (kept != 0) top = head(*(end - kept));
  }

  // The texts set aside, copied together in place order (so that sorting
  // them reads memory close by), and sorted like any texts: by text, then
  // place.
  std::vector<std::uint32_t> aside_places;
  aside_places.reserve(aside);
  StrCol gathered;
  gathered.offsets.reserve(aside + 1);
  for (std::size_t w = 0; w < aside_marks.size(); ++w) {
    for (std::uint64_t b = aside_marks[w]; b != 0; b &= b - 1) {
      const auto p = static_cast<std::uint32_t>(64 * w + static_cast<unsigned>(std::countr_zero(b)));
      aside_places.push_back(p);
      gathered.push(text(places[p]));
    }
  }
  const RowIndex sorted = prefix_text_rows(Places{nullptr, aside}, Texts(gathered), descending);

  std::size_t from = n - kept;  // the first kept place not yet written
  std::size_t at = 0;           // where the next row goes
  HeadedText next;              // the text of kept place out[from], while from < n
  if (from < n) next = head(out[from]);
  for (const std::uint32_t j : sorted) {
    const std::uint32_t p = aside_places[j];
    const HeadedText aside_text(gathered.at(j));  // read where it was copied
    while (from < n) {
      const std::uint32_t q = out[from];
      const int c = order(aside_text, next);
      if (c < 0 || (c == 0 && p < q)) break;
      out[at++] = places[q];
      if (++from < n) next = head(out[from]);
    }
    out[at++] = places[p];
  }
  for (std::size_t i = from; i < n; ++i) out[i] = places[out[i]];
  return out;
}

RowIndex radix_text_rows(Places places, const Texts& text, bool descending) {
  if (auto nearly = nearly_sorted_text_rows(places, text, descending)) return std::move(*nearly);
  if (auto ranked = ranked_text_rows(places, text, descending)) return std::move(*ranked);
  return prefix_text_rows(places, text, descending);
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
RowIndex compare_sort(Places places, const Before& before) {
  RowIndex rows = places.list();
  std::stable_sort(rows.begin(), rows.end(), before);
  return rows;
}

RowIndex sort_present(const F64Col& col, Places places, bool descending) {
  const double* values = col.values.data();
  return compare_sort(places, [values, descending](std::uint32_t a, std::uint32_t b) {
    return f64_before(values[a], values[b], descending);
  });
}

RowIndex sort_present(const I64Col& col, Places places, bool descending) {
  const std::int64_t* values = col.values.data();
  return compare_sort(places, [values, descending](std::uint32_t a, std::uint32_t b) {
    return descending ? values[a] > values[b] : values[a] < values[b];
  });
}

RowIndex sort_present(const StrCol& col, Places places, bool descending, bool radix = false) {
  const Texts text(col);
  if (radix) return radix_text_rows(places, text, descending);
  return compare_sort(places, [&text, descending](std::uint32_t a, std::uint32_t b) {
    return descending ? text(b) < text(a) : text(a) < text(b);
  });
}

// Sorts the places by a comparison sort of the present cells, followed by the
// missing ones in the order given.
template <class C>
RowIndex split_and_sort(const C& c, Places places, bool descending, bool radix) {
  RowIndex present;
  RowIndex missing;
  Places sorted = places;
  if (!c.valid.all_present()) {
    present.reserve(places.size);
    for (std::size_t i = 0; i < places.size; ++i) {
      const std::uint32_t r = places[i];
      (c.valid.present(r) ? present : missing).push_back(r);
    }
    sorted = Places{present.data(), present.size()};
  }
  RowIndex out;
  if constexpr (std::is_same_v<C, StrCol>)
    out = sort_present(c, sorted, descending, radix);
  else
    out = sort_present(c, sorted, descending);
  out.insert(out.end(), missing.begin(), missing.end());
  return out;
}

// Sorts the places: the present cells first, then the missing ones in the
// order given. Nothing when the places are already in order (numbers only).
std::optional<RowIndex> sort_places(const Col& col, Places places, bool descending, SortMethod method) {
  return std::visit(
      [places, descending, method](const auto& c) -> std::optional<RowIndex> {
        using C = std::decay_t<decltype(c)>;
        const bool radix = method == SortMethod::Radix || (method == SortMethod::Auto && places.size >= compare_below);
        if constexpr (std::is_same_v<C, StrCol>) {
          return split_and_sort(c, places, descending, radix);
        } else {
          if (!radix) return split_and_sort(c, places, descending, false);
          const auto* values = c.values.data();
          if constexpr (std::is_same_v<C, F64Col>) {
            if (descending) return reorder_numbers(values, c.valid, places, [](double v) { return f64_key(v, true); });
            return reorder_numbers(values, c.valid, places, [](double v) { return f64_key(v, false); });
          } else {
            if (descending)
              return reorder_numbers(values, c.valid, places, [](std::int64_t v) { return i64_key(v, true); });
            return reorder_numbers(values, c.valid, places, [](std::int64_t v) { return i64_key(v, false); });
          }
        }
      },
      col);
}

}  // namespace

RowIndex sort_rows(const Col& col, RowIndex rows, bool descending, SortMethod method) {
  std::optional<RowIndex> sorted = sort_places(col, Places{rows.data(), rows.size()}, descending, method);
  return sorted ? std::move(*sorted) : std::move(rows);
}

Result<Table> Table::sort(std::string_view name, bool descending) const {
  auto found = col(name);
  if (!found) return fail(std::move(found.error()));
  const Places places{index ? index->data() : nullptr, static_cast<std::size_t>(height)};
  std::optional<RowIndex> sorted = sort_places(**found, places, descending, SortMethod::Auto);
  if (sorted) return over(std::move(*sorted));
  // Already in order: the same rows, and without a row index no list is made.
  if (index) return over(*index);
  Table out;
  out.columns = columns;
  out.height = height;
  return out;
}

}  // namespace kelo_frame
