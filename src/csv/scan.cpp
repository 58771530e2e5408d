#include "scan.hpp"

namespace kelo_frame::csv {

Result<Scanned> scan(std::string_view text) {
  if (auto fast = scan_fast(text)) return std::move(*fast);
  return scan_exact(text);
}

}  // namespace kelo_frame::csv
