#include "span.hpp"

namespace kelo_frame::csv {

std::string Span::text(const Span& span, std::string_view text) {
  const std::string_view bytes = text.substr(span.start, span.end - span.start);
  if (!span.escaped) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    out.push_back(bytes[i]);
    // A doubled quote stands for one; the pair is consumed whole, so three
    // quotes in a row give two.
    if (bytes[i] == '"' && i + 1 < bytes.size() && bytes[i + 1] == '"') ++i;
  }
  return out;
}

}  // namespace kelo_frame::csv
