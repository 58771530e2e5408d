// Grouping: the group of every position, the first row and the row count of
// every group, found in one pass over the view. A number key column is
// grouped here, through an open-addressing map whose slots keep the keys (an
// i64 column whose keys span a small range goes to a direct table instead,
// range_key.cpp); a str key column in text_key.cpp; several key columns are
// grouped one by one and their ids folded together (key_fold.cpp). The row
// lists, when asked for, are laid out from the group ids in one flat buffer
// by a counting sort.
#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>

#include "assignment.hpp"
#include "groups.hpp"
#include "key_equal.hpp"
#include "prefetch.hpp"

namespace kelo_frame {

namespace {

// Rows hashed at once, ahead of their probes: enough to ask for a large
// map's slots early, small enough to stay in L1.
constexpr std::size_t batch = 256;

// A map slot for one number key column that keeps the key itself: comparing
// it is comparing the keys, and a probe touches one cache line.
template <class T>
struct NumSlot {
  T key{};
  std::uint32_t id = 0;
  std::uint32_t state = 0;  // 0 empty, 1 a present key, 2 the missing key

  [[nodiscard]] bool empty() const noexcept { return state == 0; }
  [[nodiscard]] std::uint64_t hash() const noexcept { return state == 2 ? missing_probe : probe(key); }

  // The probe hash of a key: the key's bits, folded so that high bits also
  // reach the map's slot choice. The hash only picks the slots a row's key is
  // compared with, and keys are compared exactly, so any hash gives the same
  // groups in the same order. Equal keys (0.0 and -0.0) have equal bits after
  // normalising.
  static constexpr std::uint64_t missing_probe = 0x5555555555555555ULL;
  [[nodiscard]] static std::uint64_t probe(T v) noexcept {
    std::uint64_t bits = 0;
    if constexpr (std::is_same_v<T, double>) {
      bits = v == 0.0 ? 0 : std::bit_cast<std::uint64_t>(v);
    } else {
      bits = static_cast<std::uint64_t>(v);
    }
    return bits ^ (bits >> 32);
  }
};

// Open-addressing map (linear probing) from a key hash to the groups with
// that hash. A row's probe compares keys only with slots it meets, and at
// most one group can match, since different groups have different keys.
template <class Slot>
class GroupMap {
 public:
  GroupMap() { resize(10); }

  // The id of the slot that match() accepts, or of the slot make() fills.
  template <class Match, class Make>
  std::uint32_t find_or_add(std::uint64_t hash, Match&& match, Make&& make) {
    for (std::size_t s = home(hash);; s = (s + 1) & mask_) {
      Slot& slot = slots_[s];
      if (slot.empty()) {
        slot = make();
        const std::uint32_t id = slot.id;
        if (++count_ * 2 > slots_.size()) resize(bits_ + 1);
        return id;
      }
      if (match(slot)) return slot.id;
    }
  }

  void prefetch(std::uint64_t hash) const noexcept { kelo_frame::prefetch(&slots_[home(hash)]); }
  [[nodiscard]] bool large() const noexcept { return slots_.size() * sizeof(Slot) > (std::size_t{32} << 10); }

 private:
  // A key's bits are poorly spread for similar keys (small integers differ in
  // their low bits only), so the slot is taken from the top bits of the hash
  // times a large odd constant (Fibonacci hashing).
  [[nodiscard]] std::size_t home(std::uint64_t hash) const noexcept {
    return (hash * 0x9E3779B97F4A7C15ULL) >> (64 - bits_);
  }

  void resize(int bits) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(std::size_t{1} << bits));
    bits_ = bits;
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.empty()) continue;
      std::size_t s = home(slot.hash());
      while (!slots_[s].empty()) s = (s + 1) & mask_;
      slots_[s] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::uint64_t count_ = 0;
  int bits_ = 0;
};

// One number key column, its keys kept in the map's slots.
template <class T>
class NumKey {
 public:
  using Slot = NumSlot<T>;
  explicit NumKey(const NumCol<T>& col) : col_(col), dense_(col.valid.all_present()) {}

  void hash(const std::uint32_t* rows, std::size_t n, std::uint64_t* h) const noexcept {
    const T* values = col_.values.data();
    if (dense_) {
      for (std::size_t i = 0; i < n; ++i) h[i] = Slot::probe(values[rows[i]]);
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t r = rows[i];
        h[i] = col_.present(r) ? Slot::probe(values[r]) : Slot::missing_probe;
      }
    }
  }
  [[nodiscard]] bool match(const Slot& slot, std::uint64_t /*hash*/, std::uint32_t r,
                           std::size_t /*i*/) const noexcept {
    if (!dense_ && !col_.present(r)) return slot.state == 2;
    return slot.state == 1 && same_key(slot.key, col_.values[r]);
  }
  Slot make(std::uint64_t /*hash*/, std::uint32_t r, std::uint32_t id, std::size_t /*i*/) const noexcept {
    const bool present = dense_ || col_.present(r);
    return Slot{col_.values[r], id, present ? 1U : 2U};
  }

 private:
  const NumCol<T>& col_;
  bool dense_;
};

// Assigns each position of a table to its group, in position order.
template <class Keys>
class Assigner {
 public:
  Assigner(const Table& table, Keys& keys) : table_(table), keys_(keys) {}

  Assignment run() {
    out_.ids =
        assign_widening(table_.height, [this](auto* ids, std::uint64_t from) { return this->run_from(ids, from); });
    count_from(out_.ids, counted_, table_.height, out_.counts.data());
    return std::move(out_);
  }

 private:
  // Assigns positions from `from` on; stops at the first position that might
  // need a group id wider than Id and returns it (the height when done).
  template <class Id>
  std::uint64_t run_from(Id* ids, std::uint64_t from) {
    constexpr std::uint64_t max_groups = std::uint64_t{std::numeric_limits<Id>::max()} + 1;
    const std::uint64_t height = table_.height;
    const std::uint32_t* index = table_.index ? table_.index->data() : nullptr;
    std::array<std::uint32_t, batch> numbers{};
    std::array<std::uint64_t, batch> hashes{};
    for (; from < height; from += batch) {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(batch, height - from));
      const std::uint32_t* rows = numbers.data();
      if (index != nullptr) {
        rows = index + from;
      } else {
        for (std::size_t i = 0; i < n; ++i) numbers[i] = static_cast<std::uint32_t>(from + i);
      }
      keys_.hash(rows, n, hashes.data());
      // Only a map larger than the L1 cache gains from prefetching its slots.
      const bool ask_ahead = map_.large();
      constexpr std::size_t ahead = 16;
      if (ask_ahead) {
        for (std::size_t i = 0; i < std::min(ahead, n); ++i) map_.prefetch(hashes[i]);
      }
      const bool may_fill = out_.firsts.size() + n > max_groups;
      for (std::size_t i = 0; i < n; ++i) {
        if (may_fill && out_.firsts.size() == max_groups) return stop<Id>(from + i);
        if (ask_ahead && i + ahead < n) map_.prefetch(hashes[i + ahead]);
        const std::uint32_t r = rows[i];
        const std::uint64_t hash = hashes[i];
        const std::uint32_t g = map_.find_or_add(
            hash, [&](const typename Keys::Slot& slot) { return keys_.match(slot, hash, r, i); },
            [&] {
              const auto id = static_cast<std::uint32_t>(out_.firsts.size());
              out_.firsts.push_back(r);
              out_.counts.push_back(0);
              return keys_.make(hash, r, id, i);
            });
        ids[from + i] = static_cast<Id>(g);
        if constexpr (sizeof(Id) == 1) ++out_.counts[g];
      }
    }
    return stop<Id>(height);
  }

  // Ends a run at position p; while ids are 8 bits wide, every position
  // assigned is also counted.
  template <class Id>
  std::uint64_t stop(std::uint64_t p) {
    if constexpr (sizeof(Id) == 1) counted_ = p;
    return p;
  }

  const Table& table_;
  Keys& keys_;
  GroupMap<typename Keys::Slot> map_;
  Assignment out_;
  std::uint64_t counted_ = 0;  // positions before this one are counted
};

template <class Keys>
Assignment assign(const Table& table, Keys& keys) {
  return Assigner<Keys>(table, keys).run();
}

// The row number of a position, with a row index or without.
struct Indexed {
  const std::uint32_t* index;
  std::uint32_t operator()(std::uint64_t p) const noexcept { return index[p]; }
};
struct Storage {
  std::uint32_t operator()(std::uint64_t p) const noexcept { return static_cast<std::uint32_t>(p); }
};

// Writes the row number of every position to the next free place of its
// group in rows, in position order. With many groups a single pass writes to
// as many places spread over the whole buffer and misses the cache on almost
// every row; so the positions are first partitioned by their group's id
// without its low 8 bits (a few hundred write streams), and then each
// partition, small enough to stay in cache, is laid out by the low 8 bits.
template <class Id, class RowOf>
void lay_out(const Id* ids, RowOf row_of, std::span<const std::uint64_t> starts, std::uint32_t* rows) {
  const std::size_t groups = starts.size() - 1;
  const std::uint64_t height = starts.back();
  constexpr std::size_t direct_max = 4096;
  if (groups <= direct_max) {
    std::vector<std::uint64_t> next(starts.begin(), starts.end() - 1);
    std::uint64_t* cursor = next.data();
    for (std::uint64_t p = 0; p < height; ++p) rows[cursor[ids[p]]++] = row_of(p);
    return;
  }
  constexpr unsigned low_bits = 8;
  constexpr std::size_t span = std::size_t{1} << low_bits;
  const std::size_t parts = (groups + span - 1) >> low_bits;
  const auto part_start = [&](std::size_t part) { return starts[std::min(part << low_bits, groups)]; };
  std::vector<std::uint64_t> next(parts);
  for (std::size_t part = 0; part < parts; ++part) next[part] = part_start(part);
  auto low = std::make_unique_for_overwrite<std::uint8_t[]>(height);
  for (std::uint64_t p = 0; p < height; ++p) {
    const std::uint32_t g = ids[p];
    const std::uint64_t to = next[g >> low_bits]++;
    rows[to] = row_of(p);
    low[to] = static_cast<std::uint8_t>(g);
  }
  std::vector<std::uint32_t> scratch;
  std::array<std::uint64_t, span> cursor{};
  for (std::size_t part = 0; part < parts; ++part) {
    const std::uint64_t from = part_start(part);
    const std::uint64_t to = part_start(part + 1);
    scratch.assign(rows + from, rows + to);
    for (std::size_t j = 0; j < span && (part << low_bits) + j < groups; ++j)
      cursor[j] = starts[(part << low_bits) + j];
    for (std::uint64_t i = 0; i < to - from; ++i) rows[cursor[low[from + i]]++] = scratch[i];
  }
}

}  // namespace

Assignment assign_column(const Table& table, const Col& key) {
  return std::visit(
      [&table](const auto& c) {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, StrCol>) {
          return assign_texts(table, c);
        } else {
          if constexpr (std::is_same_v<C, I64Col>) {
            Assignment a;
            if (assign_by_range(table, c, a)) return a;
          }
          NumKey<typename decltype(c.values)::value_type> k(c);
          return assign(table, k);
        }
      },
      key);
}

Result<Groups> Table::group(std::span<const std::string> names) const {
  auto keys = select(names);
  if (!keys) return fail(std::move(keys.error()));

  Groups out;
  out.table = *this;
  out.keys.assign(names.begin(), names.end());
  if (height == 0) return out;
  if (names.empty()) {
    // Every row has the same (empty) key: one group of all rows.
    out.firsts = {index ? index->front() : 0};
    out.counts = {height};
    return out;
  }

  Assignment a =
      keys->columns.size() == 1 ? assign_column(*this, *keys->columns.front().col) : assign_many(*this, *keys);
  out.firsts = std::move(a.firsts);
  out.counts = std::move(a.counts);
  // With one group the ids say nothing: each position is in group 0.
  if (out.firsts.size() > 1) out.ids = std::move(a.ids);
  return out;
}

const Groups::RowLists& Groups::row_lists() const {
  if (lists_) return *lists_;
  // Built aside and stored only when complete: an allocation that throws
  // part way leaves no cache behind, so a later call builds it afresh.
  RowLists l;
  const std::size_t groups = size();
  // Counting sort of the positions by group: starts from the counts, then
  // each position's row number goes to the next free place of its group.
  l.starts.resize(groups + 1);
  std::uint64_t at = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    l.starts[g] = at;
    at += counts[g];
  }
  l.starts[groups] = at;
  if (groups == 1) {
    l.rows = table.rows();
  } else if (groups > 1) {
    l.rows.resize(table.height);
    ids.visit([&](const auto* id) {
      if (table.index) {
        lay_out(id, Indexed{table.index->data()}, l.starts, l.rows.data());
      } else {
        lay_out(id, Storage{}, l.starts, l.rows.data());
      }
    });
  }
  return lists_.emplace(std::move(l));
}

std::span<const std::uint32_t> Groups::group(std::uint64_t g) const {
  const RowLists& l = row_lists();
  return std::span<const std::uint32_t>(l.rows).subspan(l.starts[g], l.starts[g + 1] - l.starts[g]);
}

Table Groups::key_table() const {
  // Grouping checked these names against this table, so the selection holds.
  Table keyed = *table.select(keys);
  Table out;
  out.height = size();
  out.columns.reserve(keyed.columns.size());
  for (Column& c : keyed.columns)
    out.columns.push_back(Column{std::move(c.name), Rc<Col>::make(gather(*c.col, firsts))});
  return out;
}

}  // namespace kelo_frame
