// ShortText: a text of up to 16 bytes held as two words, for comparing and
// hashing the short texts that keys and repeated cells mostly are without a
// byte loop or a call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace kelo_frame {

// A text of at most 16 bytes as two words, read with loads that stay inside
// the text. Of two texts of the same length, equal texts give equal words and
// different texts different words, since the loads cover every byte.
struct ShortText {
  static constexpr std::size_t max = 16;
  std::uint64_t a = 0;
  std::uint64_t b = 0;

  [[nodiscard]] static ShortText of(std::string_view text) noexcept {
    const char* p = text.data();
    const std::size_t n = text.size();
    if (n >= 8) return {load<std::uint64_t>(p), load<std::uint64_t>(p + n - 8)};
    if (n >= 4) return {load<std::uint32_t>(p), load<std::uint32_t>(p + n - 4)};
    if (n == 0) return {};
    return {byte(p[0]) | byte(p[n / 2]) << 8 | byte(p[n - 1]) << 16, 0};
  }
  friend bool operator==(const ShortText&, const ShortText&) = default;

  // A hash of the text from its words and length: two multiplies instead of
  // one per byte, best mixed in the high bits. For a longer text (of() gives
  // its first and last 8 bytes) it is a hash still, only a weaker one.
  [[nodiscard]] std::uint64_t hash(std::size_t size) const noexcept {
    return (a * 0x9E3779B97F4A7C15ULL) ^ (b * 0xC2B2AE3D27D4EB4FULL) ^ size;
  }

 private:
  template <class W>
  static std::uint64_t load(const char* p) noexcept {
    W w;
    std::memcpy(&w, p, sizeof w);
    return w;
  }
  static std::uint64_t byte(char c) noexcept { return static_cast<std::uint8_t>(c); }
};

}  // namespace kelo_frame
