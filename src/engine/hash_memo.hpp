// HashMemo: the key hashes of recently seen keys of one number column.
//
// With few distinct keys, the common case, most rows find their key here and
// skip FNV-1a's eight-step multiply chain; the hash is the same either way.
// When most lookups of a batch miss (many distinct keys), the memo switches
// itself off for a while, so that it then costs next to nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelo_frame {

// Entry must be default-constructible into a valid entry (a key with its
// correct hash), so that no slot needs a "used" flag.
template <class Entry>
class HashMemo {
 public:
  static constexpr unsigned bits = 9;

  HashMemo() : entries_(std::size_t{1} << bits) {}

  // True when the memo should be used for the next batch.
  [[nodiscard]] bool on() noexcept {
    if (off_ == 0) return true;
    --off_;
    return false;
  }
  // Records how many of a batch's n lookups missed.
  void missed(std::size_t misses, std::size_t n) noexcept {
    if (misses * 2 > n) off_ = off_batches;
  }

  // The entry for a 64-bit mix of the key.
  [[nodiscard]] Entry& at(std::uint64_t mix) noexcept {
    return entries_[(mix * 0x9E3779B97F4A7C15ULL) >> (64 - bits)];
  }

 private:
  static constexpr unsigned off_batches = 64;
  std::vector<Entry> entries_;
  unsigned off_ = 0;
};

}  // namespace kelo_frame
