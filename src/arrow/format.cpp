#include "format.hpp"

namespace kelo_frame::arrow {

namespace {

struct Named {
  std::string_view format;
  std::string_view name;
};

constexpr Named simple_types[] = {
    {"n", "null"},
    {"b", "bool"},
    {"c", "int8"},
    {"C", "uint8"},
    {"s", "int16"},
    {"S", "uint16"},
    {"i", "int32"},
    {"I", "uint32"},
    {"l", "int64"},
    {"L", "uint64"},
    {"e", "float16"},
    {"f", "float32"},
    {"g", "float64"},
    {"z", "binary"},
    {"Z", "large_binary"},
    {"vz", "binary_view"},
    {"u", "utf8"},
    {"U", "large_utf8"},
    {"vu", "string_view"},
    {"tdD", "date32[day]"},
    {"tdm", "date64[ms]"},
    {"tts", "time32[s]"},
    {"ttm", "time32[ms]"},
    {"ttu", "time64[us]"},
    {"ttn", "time64[ns]"},
    {"tDs", "duration[s]"},
    {"tDm", "duration[ms]"},
    {"tDu", "duration[us]"},
    {"tDn", "duration[ns]"},
    {"tiM", "month_interval"},
    {"tiD", "day_time_interval"},
    {"tin", "month_day_nano_interval"},
    {"+l", "list"},
    {"+L", "large_list"},
    {"+s", "struct"},
    {"+m", "map"},
};

}  // namespace

std::string type_name(std::string_view format) {
  for (const Named& t : simple_types) {
    if (t.format == format) return std::string(t.name);
  }
  // Timestamps: "ts" + unit + ":" + time zone (possibly empty).
  if (format.size() >= 4 && format.starts_with("ts") && format[3] == ':') {
    std::string out = "timestamp[";
    switch (format[2]) {
      case 's': out += "s"; break;
      case 'm': out += "ms"; break;
      case 'u': out += "us"; break;
      case 'n': out += "ns"; break;
      default: return std::string(format);
    }
    if (format.size() > 4) out += ", tz=" + std::string(format.substr(4));
    return out + "]";
  }
  if (format.starts_with("d:")) return "decimal(" + std::string(format.substr(2)) + ")";
  if (format.starts_with("w:")) return "fixed_size_binary[" + std::string(format.substr(2)) + "]";
  if (format.starts_with("+w:")) return "fixed_size_list[" + std::string(format.substr(3)) + "]";
  if (format.starts_with("+u")) return "union";
  return std::string(format);
}

std::string type_text(const ArrowSchema& schema) {
  const std::string_view format = schema.format != nullptr ? schema.format : "";
  if (schema.dictionary != nullptr) {
    return "dictionary<values=" + type_text(*schema.dictionary) + ", indices=" + type_name(format) + ">";
  }
  return type_name(format);
}

}  // namespace kelo_frame::arrow
