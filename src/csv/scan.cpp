#include "scan.hpp"

namespace kelo_frame::csv {

Result<Scanned> scan(std::string_view text) { return scan_exact(text); }

}  // namespace kelo_frame::csv
