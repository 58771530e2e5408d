// Assigning group ids through a direct table: when every position's key maps
// to a number below a known bound (an integer key's distance from the least
// key, or a pair of group ids combined), the group of a key is table[number],
// found without a hash or a key compare.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "assignment.hpp"

namespace kelo_frame {

// The largest direct table for a table of the given height: big enough for
// any key set a few times smaller than the rows, small enough that filling it
// costs less than a pass over the rows and that it mostly stays in cache.
[[nodiscard]] inline std::uint64_t direct_limit(std::uint64_t height) noexcept {
  const std::uint64_t by_rows = height < (std::uint64_t{1} << 16) ? std::uint64_t{1} << 16 : height;
  return by_rows < (std::uint64_t{1} << 22) ? by_rows : std::uint64_t{1} << 22;
}

namespace direct_detail {

template <class Id, class SlotOf>
void run(std::uint64_t height, std::uint64_t size, const std::uint32_t* index, SlotOf& slot_of, Id* ids,
         Assignment& out) {
  constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();
  const auto table = std::make_unique_for_overwrite<std::uint32_t[]>(size);
  std::fill_n(table.get(), size, none);
  std::uint32_t* t = table.get();
  // The counts are reached through a local pointer: a store through an 8-bit
  // id may alias any memory, so the vector's would be read again every row.
  std::uint64_t* counts = nullptr;
  for (std::uint64_t p = 0; p < height; ++p) {
    const std::uint64_t s = slot_of(p);
    std::uint32_t g = t[s];
    if (g == none) [[unlikely]] {
      g = static_cast<std::uint32_t>(out.firsts.size());
      t[s] = g;
      out.firsts.push_back(index != nullptr ? index[p] : static_cast<std::uint32_t>(p));
      out.counts.push_back(0);
      counts = out.counts.data();
    }
    ids[p] = static_cast<Id>(g);
    ++counts[g];
  }
}

}  // namespace direct_detail

// Assigns every position p of a table of the given height (with the given
// row index, or none) to the group of slot_of(p), which is below size. The
// ids are as narrow as the bound min(size, height) on the groups allows.
template <class SlotOf>
Assignment assign_direct(std::uint64_t height, std::uint64_t size, const std::uint32_t* index, SlotOf slot_of) {
  Assignment out;
  const std::uint64_t bound = size < height ? size : height;
  if (bound <= std::uint64_t{1} << 8) {
    GroupIds::Buffer<std::uint8_t> ids(height);
    direct_detail::run(height, size, index, slot_of, ids.data(), out);
    out.ids = GroupIds(std::move(ids));
  } else if (bound <= std::uint64_t{1} << 16) {
    GroupIds::Buffer<std::uint16_t> ids(height);
    direct_detail::run(height, size, index, slot_of, ids.data(), out);
    out.ids = GroupIds(std::move(ids));
  } else {
    GroupIds::Buffer<std::uint32_t> ids(height);
    direct_detail::run(height, size, index, slot_of, ids.data(), out);
    out.ids = GroupIds(std::move(ids));
  }
  return out;
}

}  // namespace kelo_frame
