// StrStore: the key texts of every group found so far, kept densely by group
// id while grouping by a str column, so that a row's long text is compared
// with a group's in small, cache-resident memory instead of at the group's
// first row somewhere in a large column. (Short texts are compared as words
// in the map's slots and need no store.)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "col.hpp"
#include "short_text.hpp"

namespace kelo_frame {

class StrStore {
 public:
  explicit StrStore(const StrCol& col) : col_(&col) {}

  // True when text equals the text of group g, a present text longer than a
  // ShortText.
  [[nodiscard]] bool same_text(std::string_view text, std::uint32_t g) const noexcept {
    const Entry& e = entries_[g];
    return text == std::string_view(bytes_).substr(e.from, e.size);
  }

  // Notes the text at row r as the next group's. Only a text longer than a
  // ShortText is kept: same_text is asked about those alone.
  void add(std::uint32_t r) {
    const std::string_view text = col_->at(r);
    entries_.push_back(Entry{bytes_.size(), text.size()});
    if (text.size() > ShortText::max) bytes_.append(text);
  }

 private:
  struct Entry {
    std::uint64_t from;
    std::uint64_t size;
  };

  const StrCol* col_;
  std::vector<Entry> entries_;
  std::string bytes_;
};

}  // namespace kelo_frame
