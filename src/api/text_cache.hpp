#pragma once

// Python str objects for the cells of a text column, reusing the object made
// for an earlier equal cell. Text columns often repeat a few values (cities,
// codes, categories); a repeat then costs a reference count instead of a UTF-8
// decode and an allocation. Equal cells may share one str object, which Python
// code cannot tell from separate equal objects except by identity.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/short_text.hpp"
#include "py.hpp"

namespace kelo_frame::api {

class TextCache {
 public:
  // A new reference to a str equal to `text`, or nullptr with the error set.
  // The objects returned must stay alive (held by the list being built) for
  // as long as this cache is used, since its slots borrow them.
  PyObject* get(std::string_view text) {
    if (!on_) return make(text);
    // Texts of up to 16 bytes (most repeated values) are hashed and compared
    // by their words; longer ones hash by their first and last 8 bytes and
    // are compared in full.
    const ShortText words = ShortText::of(text);
    Slot& s = slots_[words.hash(text.size()) >> (64 - kSlotBits)];
    if (s.object != nullptr && s.text.size() == text.size() &&
        (text.size() <= ShortText::max ? s.words == words : s.text == text)) {
      ++hits_;
      return Py_NewRef(s.object);
    }
    PyObject* made = make(text);
    if (made == nullptr) return nullptr;
    s = {text, words, made};
    // Mostly distinct texts: hashing and comparing only add cost, so stop
    // looking once a sample shows few repeats.
    if (++misses_ == kSample && hits_ < kSample / 2) on_ = false;
    return made;
  }

 private:
  static constexpr unsigned kSlotBits = 12;
  static constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;
  static constexpr std::uint64_t kSample = 2048;
  struct Slot {
    std::string_view text;
    ShortText words;
    PyObject* object = nullptr;  // borrowed
  };

  static PyObject* make(std::string_view text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  }

  std::vector<Slot> slots_ = std::vector<Slot>(kSlots);
  std::uint64_t hits_ = 0;
  std::uint64_t misses_ = 0;
  bool on_ = true;
};

}  // namespace kelo_frame::api
