#include "key_hash.hpp"

#include <type_traits>

namespace kelo_frame::key_hash {

namespace {

template <class C>
std::uint64_t feed_present(std::uint64_t h, const C& c, std::uint32_t r) noexcept {
  if constexpr (std::is_same_v<C, StrCol>) {
    return feed_str(h, c.at(r));
  } else if constexpr (std::is_same_v<C, F64Col>) {
    return feed_f64(h, c.values[r]);
  } else {
    return feed_i64(h, c.values[r]);
  }
}

}  // namespace

std::uint64_t feed(std::uint64_t h, const Col& col, std::uint32_t r) noexcept {
  return std::visit([h, r](const auto& c) { return c.present(r) ? feed_present(h, c, r) : feed_missing(h); }, col);
}

bool equal(const Col& col, std::uint32_t a, std::uint32_t b) noexcept {
  return std::visit(
      [a, b](const auto& c) {
        const bool pa = c.present(a);
        if (pa != c.present(b)) return false;
        if (!pa) return true;
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, StrCol>) {
          return c.at(a) == c.at(b);
        } else if constexpr (std::is_same_v<C, F64Col>) {
          return same_f64(c.values[a], c.values[b]);
        } else {
          return c.values[a] == c.values[b];
        }
      },
      col);
}

void feed_rows(const Col& col, const std::uint32_t* rows, std::size_t n, std::uint64_t* h) noexcept {
  std::visit(
      [rows, n, h](const auto& c) {
        if (c.valid.all_present()) {
          for (std::size_t i = 0; i < n; ++i) h[i] = feed_present(h[i], c, rows[i]);
        } else {
          for (std::size_t i = 0; i < n; ++i) {
            h[i] = c.present(rows[i]) ? feed_present(h[i], c, rows[i]) : feed_missing(h[i]);
          }
        }
      },
      col);
}

}  // namespace kelo_frame::key_hash
