// The fused read: scan a stretch of text, then type its rows in every column
// while that text is still in the cache.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../engine/col.hpp"
#include "../engine/rc.hpp"

namespace kelo_frame::csv {

struct ReadColumns {
  std::vector<std::string> names;
  std::vector<Rc<Col>> cols;
};

// The header names and typed columns of text, or nothing when the fast scan
// gives up: the whole-text reading, which reports every failure, then decides.
// A repeated name is left to Table::add_all, which refuses the first one with
// the message the whole-text reading gives it, without a second set of names. text is not empty and holds fewer than
// 2^32 bytes. chunk: the bytes of text scanned per stretch (small in tests).
[[nodiscard]] std::optional<ReadColumns> read_fused(std::string_view text, std::size_t chunk = std::size_t{1} << 19);

}  // namespace kelo_frame::csv
