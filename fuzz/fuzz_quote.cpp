// The quoted form of any bytes against the rules of quote_check.hpp.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quote_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kelo_frame::fuzz::quote_check::check_quoted(std::string_view(reinterpret_cast<const char*>(data), size));
  return 0;
}
