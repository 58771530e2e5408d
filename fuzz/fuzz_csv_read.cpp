// csv::read against a reference reader written straight from the dialect's
// rules, one byte at a time, with no speed tricks: the same table (names,
// dtypes, cells bit for bit, missing cells) or the same message.
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check.hpp"
#include "csv/float.hpp"
#include "csv/read.hpp"

namespace {

using kelo_frame::Col;
using kelo_frame::F64Col;
using kelo_frame::I64Col;
using kelo_frame::StrCol;
using kelo_frame::Table;
using kelo_frame::fuzz::check;

struct Field {
  std::string text;  // with doubled quotes made one
  bool quoted = false;
  [[nodiscard]] bool missing() const { return text.empty() && !quoted; }
};

// An optional sign, then at least one digit, in the i64 range.
std::optional<std::int64_t> integer_text(std::string_view s) {
  if (s.starts_with('+')) {
    s.remove_prefix(1);
    if (s.starts_with('-')) return std::nullopt;
  }
  std::int64_t v = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (error != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// i64 when every present cell is an integer text, else f64 when every one is
// a float text, else str; a quoted cell makes the column str.
Col type_column(const std::vector<Field>& cells) {
  bool any_quoted = false;
  for (const Field& f : cells) any_quoted |= f.quoted;
  auto all_as = [&](auto col, auto parse) -> std::optional<Col> {
    for (const Field& f : cells) {
      if (f.missing()) {
        col.push_missing();
      } else if (auto v = parse(f.text)) {
        col.push(*v);
      } else {
        return std::nullopt;
      }
    }
    return Col(std::move(col));
  };
  if (!any_quoted) {
    if (auto ints = all_as(I64Col{}, integer_text)) return std::move(*ints);
    if (auto floats = all_as(F64Col{}, [](std::string_view t) { return kelo_frame::csv::float_(t); })) {
      return std::move(*floats);
    }
  }
  return *all_as(StrCol{}, [](const std::string& t) { return std::optional<std::string_view>(t); });
}

kelo_frame::Result<Table> reference(std::string_view text) {
  using kelo_frame::fail;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  if (text.empty()) return fail("no header line");
  const std::size_t n = text.size();
  std::uint64_t line = 1;
  std::size_t p = 0;
  std::optional<std::vector<std::string>> header;
  std::vector<std::vector<Field>> columns;
  std::optional<std::string> pending;
  while (p < n) {
    const std::uint64_t first_line = line;
    std::vector<Field> record;
    for (;;) {
      Field field;
      if (text[p] == '"') {
        field.quoted = true;
        std::size_t q = p + 1;
        for (;;) {
          if (q >= n) return fail("line " + std::to_string(first_line) + ": a quoted field is never closed");
          if (text[q] == '\n') ++line;
          if (text[q] != '"') {
            field.text += text[q++];
            continue;
          }
          if (q + 1 < n && text[q + 1] == '"') {
            field.text += '"';
            q += 2;
            continue;
          }
          break;
        }
        // q is the closing quote.
        p = q + 1;
        if (p < n && text[p] != ',' && text[p] != '\n' && text[p] != '\r') {
          return fail("line " + std::to_string(line) + ": text after a closing quote");
        }
      } else {
        while (p < n && text[p] != ',' && text[p] != '\n' && text[p] != '\r') field.text += text[p++];
      }
      record.push_back(std::move(field));
      if (p == n) break;
      if (text[p] == ',') {
        ++p;
        if (p == n) {
          record.emplace_back();
          break;
        }
        continue;
      }
      if (text[p] == '\r' && p + 1 < n && text[p + 1] == '\n') ++p;
      ++p;
      break;
    }
    ++line;
    if (record.size() == 1 && record[0].missing()) continue;
    if (!header) {
      header.emplace();
      for (Field& f : record) header->push_back(std::move(f.text));
      columns.resize(header->size());
      continue;
    }
    if (record.size() != header->size()) {
      if (!pending) {
        pending = "line " + std::to_string(first_line) + ": " + std::to_string(record.size()) +
                  " fields; the header has " + std::to_string(header->size());
      }
      continue;
    }
    for (std::size_t i = 0; i < record.size(); ++i) columns[i].push_back(std::move(record[i]));
  }
  if (!header) return fail("no header line");
  if (pending) return fail(std::move(*pending));
  Table table;
  for (std::size_t i = 0; i < header->size(); ++i) {
    if (auto added = table.add((*header)[i], type_column(columns[i])); !added) return fail(std::move(added.error()));
  }
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto got = kelo_frame::csv::read(text);
  const auto want = reference(text);
  if (!want) {
    check(!got, "read a table from a text the reference refuses", want.error());
    check(got.error() == want.error(), "messages differ", got.error() + " | expected: " + want.error());
    return 0;
  }
  check(got.has_value(), "refused a text the reference reads", got ? "" : got.error());
  const Table& t = *got;
  kelo_frame::fuzz::check_invariants(t);
  check(!t.index, "a read table has a row index");
  check(kelo_frame::fuzz::same_table(t, *want), "tables differ (names, dtypes, height or a cell)");
  return 0;
}
