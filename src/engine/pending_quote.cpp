// Placeholder until the Unicode-aware quoted form lands; deleted with it.
#include "quote.hpp"
namespace kelo_frame {
std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char ch : text) {
    switch (ch) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      default: out += ch;
    }
  }
  return out + "\"";
}
}  // namespace kelo_frame
