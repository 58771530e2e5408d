#pragma once

// Python str objects for the cells of a text column, reusing the object made
// for an earlier equal cell. Text columns often repeat a few values (cities,
// codes, categories); a repeat then costs a reference count instead of a UTF-8
// decode and an allocation. Equal cells may share one str object, which Python
// code cannot tell from separate equal objects except by identity.

#include <cstdint>
#include <memory>
#include <string_view>

#include "engine/text_table.hpp"
#include "py.hpp"

namespace kelo_frame::api {

class TextCache {
 public:
  // A new reference to a str equal to `text`, or nullptr with the error set.
  // The objects returned must stay alive (held by the list being built) for
  // as long as this cache is used, since it borrows them.
  PyObject* get(std::string_view text) {
    if (!on_) return make(text);
    const std::uint32_t id = texts_.find_or_add(text);
    if (id < known_) {
      ++hits_;
      return Py_NewRef(objects_[id]);
    }
    PyObject* made = make(text);
    if (made == nullptr) {
      on_ = false;  // the text is numbered but has no object: stop looking
      return nullptr;
    }
    if (id != TextTable::none) objects_[known_++] = made;
    // Mostly distinct texts: hashing and comparing only add cost, so stop
    // looking once a sample shows few repeats.
    if (++misses_ == kSample && hits_ < kSample / 2) on_ = false;
    return made;
  }

 private:
  // The most texts kept: a column of more distinct texts shares objects
  // among the first ones met only.
  static constexpr std::uint32_t kLimit = std::uint32_t{1} << 16;
  static constexpr std::uint64_t kSample = 2048;

  static PyObject* make(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  }

  TextTable texts_{kLimit, 12};
  // Borrowed, by the texts' numbers: [0, known_) are set. Sized for the
  // limit up front (untouched pages cost nothing), so a hit is one compare.
  std::unique_ptr<PyObject*[]> objects_ = std::make_unique_for_overwrite<PyObject*[]>(kLimit);
  std::uint32_t known_ = 0;
  std::uint64_t hits_ = 0;
  std::uint64_t misses_ = 0;
  bool on_ = true;
};

}  // namespace kelo_frame::api
