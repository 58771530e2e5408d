// The key hash and key equality of grouping.
//
// A row's key hash is 64-bit FNV-1a over the bytes its key cells feed, key
// column after key column: a missing cell feeds one 0x00 byte; an i64 cell its
// 8 bytes, least significant first; an f64 cell the 8 bytes of its bit
// pattern, except that 0.0 and -0.0 (equal keys) both feed eight 0x00 bytes; a
// str cell its UTF-8 bytes and one 0xFF byte. The feeding is byte by byte, as
// FNV-1a requires; speed comes from hashing many rows at once (independent
// multiply chains) rather than from changing the function. The hash only
// chooses which groups a row's key is compared with, so a grouping by one
// number column probes with the key's own bits instead, and one by a str
// column with a mix of a short text's words (group.cpp): the groups and their
// order are the same.
//
// Keys are equal when every key column's cells are: both missing; equal
// integers; floats that compare equal, or NaNs with identical bits; the same
// text bytes.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>

namespace kelo_frame::key_hash {

inline constexpr std::uint64_t basis = 14695981039346656037ULL;
inline constexpr std::uint64_t prime = 1099511628211ULL;

[[nodiscard]] constexpr std::uint64_t feed_byte(std::uint64_t h, std::uint8_t b) noexcept { return (h ^ b) * prime; }

// The 8 bytes of w, least significant first.
[[nodiscard]] constexpr std::uint64_t feed_word(std::uint64_t h, std::uint64_t w) noexcept {
  for (int i = 0; i < 8; ++i) h = (h ^ ((w >> (8 * i)) & 0xFFU)) * prime;
  return h;
}

[[nodiscard]] inline std::uint64_t feed_missing(std::uint64_t h) noexcept { return feed_byte(h, 0); }

[[nodiscard]] inline std::uint64_t feed_i64(std::uint64_t h, std::int64_t v) noexcept {
  return feed_word(h, static_cast<std::uint64_t>(v));
}

[[nodiscard]] inline std::uint64_t feed_f64(std::uint64_t h, double v) noexcept {
  // 0.0 and -0.0 are one key, so both feed the bits of 0.0.
  return feed_word(h, v == 0.0 ? 0 : std::bit_cast<std::uint64_t>(v));
}

[[nodiscard]] inline std::uint64_t feed_str(std::uint64_t h, std::string_view s) noexcept {
  for (const char ch : s) h = (h ^ static_cast<std::uint8_t>(ch)) * prime;
  return feed_byte(h, 0xFF);
}

// Key equality of two present f64 cells: equal floats (0.0 and -0.0 too),
// or NaNs with the same bits.
[[nodiscard]] inline bool same_f64(double a, double b) noexcept {
  return a == b || (a != a && b != b && std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b));
}

}  // namespace kelo_frame::key_hash
