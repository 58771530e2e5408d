// Grouping: one pass over the view that hashes each row's key cells, finds the
// row's group in an open-addressing map keyed by the hash, and records the
// group of every position; a counting pass then lays the row lists out in one
// flat buffer.
#include <algorithm>
#include <array>
#include <type_traits>
#include <utility>

#include "groups.hpp"
#include "key_hash.hpp"

namespace kelo_frame {

namespace {

// Rows hashed at once: enough independent FNV chains to keep the multiplier
// busy, small enough to stay in L1.
constexpr std::size_t batch = 256;

// Open-addressing map (linear probing) from a key hash to the groups whose key
// has that hash. Only hash and group id are stored; keys are compared through
// the caller's equality test, which sees only groups of the same hash.
class GroupMap {
 public:
  GroupMap() { resize(10); }

  // The id of the group whose key equals the row's (is_same(g) tells), or the
  // id returned by add() for a new group.
  template <class Same, class Add>
  std::uint32_t find_or_add(std::uint64_t hash, Same&& is_same, Add&& add) {
    for (std::size_t s = home(hash);; s = (s + 1) & mask_) {
      Slot& slot = slots_[s];
      if (slot.used == 0) {
        const std::uint32_t id = add();
        slot = Slot{hash, id, 1};
        if (++count_ * 2 > slots_.size()) resize(bits_ + 1);
        return id;
      }
      if (slot.hash == hash && is_same(slot.id)) return slot.id;
    }
  }

  void prefetch(std::uint64_t hash) const noexcept { __builtin_prefetch(&slots_[home(hash)]); }

 private:
  struct Slot {
    std::uint64_t hash = 0;
    std::uint32_t id = 0;
    std::uint32_t used = 0;
  };

  // The top bits of FNV-1a depend on every byte fed; the low bits do not.
  [[nodiscard]] std::size_t home(std::uint64_t hash) const noexcept { return hash >> (64 - bits_); }

  void resize(int bits) {
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(std::size_t{1} << bits));
    bits_ = bits;
    mask_ = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.used == 0) continue;
      std::size_t s = home(slot.hash);
      while (slots_[s].used != 0) s = (s + 1) & mask_;
      slots_[s] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::uint64_t count_ = 0;
  int bits_ = 0;
};

// Key columns of any number and dtypes: compared cell by cell at the group's
// first row.
class AnyKeys {
 public:
  explicit AnyKeys(const Table& keys) {
    cols_.reserve(keys.columns.size());
    for (const Column& c : keys.columns) cols_.push_back(&*c.col);
  }
  void hash(const std::uint32_t* rows, std::size_t n, std::uint64_t* h) const noexcept {
    std::fill_n(h, n, key_hash::basis);
    for (const Col* c : cols_) key_hash::feed_rows(*c, rows, n, h);
  }
  [[nodiscard]] bool same(std::uint32_t r, std::uint32_t first, std::uint32_t /*group*/) const noexcept {
    for (const Col* c : cols_) {
      if (!key_hash::equal(*c, r, first)) return false;
    }
    return true;
  }
  void added(std::uint32_t /*row*/) {}

 private:
  std::vector<const Col*> cols_;
};

// One number key column. Each group's key value is kept in a dense array by
// group id, so the comparison on a hash match reads cache-resident memory
// instead of the group's first row somewhere in the column.
template <class T>
class NumKey {
 public:
  explicit NumKey(const NumCol<T>& col) : col_(col), dense_(col.valid.all_present()) {}
  void hash(const std::uint32_t* rows, std::size_t n, std::uint64_t* h) const noexcept {
    const T* values = col_.values.data();
    if (dense_) {
      for (std::size_t i = 0; i < n; ++i) h[i] = feed(key_hash::basis, values[rows[i]]);
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t r = rows[i];
        h[i] = col_.present(r) ? feed(key_hash::basis, values[r]) : key_hash::feed_missing(key_hash::basis);
      }
    }
  }
  [[nodiscard]] bool same(std::uint32_t r, std::uint32_t /*first*/, std::uint32_t group) const noexcept {
    if (!dense_) {
      const bool present = col_.present(r);
      if (present != (group != missing_group_)) return false;
      if (!present) return true;
    }
    return equal(col_.values[r], keys_[group]);
  }
  void added(std::uint32_t row) {
    if (!dense_ && !col_.present(row)) missing_group_ = static_cast<std::uint32_t>(keys_.size());
    keys_.push_back(col_.values[row]);
  }

 private:
  static std::uint64_t feed(std::uint64_t h, T v) noexcept {
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

  const NumCol<T>& col_;
  bool dense_;
  std::uint32_t missing_group_ = ~std::uint32_t{0};
  std::vector<T> keys_;
};

// One str key column; each group's key text is kept as a view into the
// column, by group id.
class StrKey {
 public:
  explicit StrKey(const StrCol& col) : col_(col), dense_(col.valid.all_present()) {}
  void hash(const std::uint32_t* rows, std::size_t n, std::uint64_t* h) const noexcept {
    if (dense_) {
      for (std::size_t i = 0; i < n; ++i) h[i] = key_hash::feed_str(key_hash::basis, col_.at(rows[i]));
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t r = rows[i];
        h[i] = col_.present(r) ? key_hash::feed_str(key_hash::basis, col_.at(r))
                               : key_hash::feed_missing(key_hash::basis);
      }
    }
  }
  [[nodiscard]] bool same(std::uint32_t r, std::uint32_t /*first*/, std::uint32_t group) const noexcept {
    if (!dense_) {
      const bool present = col_.present(r);
      if (present != (group != missing_group_)) return false;
      if (!present) return true;
    }
    return col_.at(r) == keys_[group];
  }
  void added(std::uint32_t row) {
    if (!dense_ && !col_.present(row)) missing_group_ = static_cast<std::uint32_t>(keys_.size());
    keys_.push_back(col_.at(row));
  }

 private:
  const StrCol& col_;
  bool dense_;
  std::uint32_t missing_group_ = ~std::uint32_t{0};
  std::vector<std::string_view> keys_;
};

// The group of every position (ids), the first row of every group (firsts)
// and every group's row count (counts).
struct Assignment {
  std::vector<std::uint32_t> ids;
  std::vector<std::uint32_t> firsts;
  std::vector<std::uint64_t> counts;
};

template <class Keys>
Assignment assign(const Table& table, Keys& keys) {
  Assignment out;
  const std::uint64_t height = table.height;
  out.ids.resize(height);
  std::uint32_t* ids = out.ids.data();
  const std::uint32_t* index = table.index ? table.index->data() : nullptr;
  GroupMap map;
  std::array<std::uint32_t, batch> numbers{};
  std::array<std::uint64_t, batch> hashes{};
  for (std::uint64_t from = 0; from < height; from += batch) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(batch, height - from));
    const std::uint32_t* rows = numbers.data();
    if (index != nullptr) {
      rows = index + from;
    } else {
      for (std::size_t i = 0; i < n; ++i) numbers[i] = static_cast<std::uint32_t>(from + i);
    }
    keys.hash(rows, n, hashes.data());
    constexpr std::size_t ahead = 8;
    for (std::size_t i = 0; i < std::min(ahead, n); ++i) map.prefetch(hashes[i]);
    for (std::size_t i = 0; i < n; ++i) {
      if (i + ahead < n) map.prefetch(hashes[i + ahead]);
      const std::uint32_t r = rows[i];
      const std::uint32_t g = map.find_or_add(
          hashes[i], [&](std::uint32_t id) { return keys.same(r, out.firsts[id], id); },
          [&] {
            const auto id = static_cast<std::uint32_t>(out.firsts.size());
            out.firsts.push_back(r);
            out.counts.push_back(0);
            keys.added(r);
            return id;
          });
      ids[from + i] = g;
      ++out.counts[g];
    }
  }
  return out;
}

Assignment assign_keys(const Table& table, const Table& keys) {
  if (keys.columns.size() == 1) {
    return std::visit(
        [&table](const auto& c) {
          using C = std::decay_t<decltype(c)>;
          if constexpr (std::is_same_v<C, StrCol>) {
            StrKey k(c);
            return assign(table, k);
          } else {
            NumKey<typename decltype(c.values)::value_type> k(c);
            return assign(table, k);
          }
        },
        *keys.columns.front().col);
  }
  AnyKeys k(keys);
  return assign(table, k);
}

}  // namespace

Result<Groups> Table::group(std::span<const std::string> names) const {
  auto keys = select(names);
  if (!keys) return fail(std::move(keys.error()));

  Groups out;
  out.table = *this;
  out.keys.assign(names.begin(), names.end());
  if (height == 0) return out;
  if (names.empty()) {
    // Every row has the same (empty) key: one group of all rows.
    out.rows = rows();
    out.starts = {0, height};
    return out;
  }

  Assignment a = assign_keys(*this, *keys);
  const std::size_t groups = a.firsts.size();
  if (groups == 1) {
    out.rows = rows();
    out.starts = {0, height};
    return out;
  }
  // Counting sort of the positions by group: starts from the counts, then
  // each position's row number goes to the next free place of its group.
  std::vector<std::uint64_t> starts(groups + 1);
  std::vector<std::uint64_t> next(groups);
  std::uint64_t at = 0;
  for (std::size_t g = 0; g < groups; ++g) {
    starts[g] = at;
    next[g] = at;
    at += a.counts[g];
  }
  starts[groups] = at;
  out.starts = std::move(starts);
  out.rows.resize(height);
  std::uint32_t* rows_out = out.rows.data();
  const std::uint32_t* ids = a.ids.data();
  if (index) {
    const std::uint32_t* idx = index->data();
    for (std::uint64_t p = 0; p < height; ++p) rows_out[next[ids[p]]++] = idx[p];
  } else {
    for (std::uint64_t p = 0; p < height; ++p) rows_out[next[ids[p]]++] = static_cast<std::uint32_t>(p);
  }
  out.ids = std::move(a.ids);
  return out;
}

Table Groups::key_table() const {
  RowIndex firsts(size());
  for (std::uint64_t g = 0; g < size(); ++g) firsts[g] = rows[starts[g]];
  Table out;
  out.height = size();
  out.columns.reserve(keys.size());
  for (const std::string& key : keys) {
    for (const Column& c : table.columns) {
      if (c.name == key) {
        out.columns.push_back(Column{key, Rc<Col>::make(gather(*c.col, firsts))});
        break;
      }
    }
  }
  return out;
}

}  // namespace kelo_frame
