// Rc<T>: a shared, reference-counted holder with a plain (non-atomic) count.
//
// Columns and row indexes are shared between tables. Every table that shares
// them belongs to one Python thread (the api layer enforces it), so the count
// never needs atomic operations.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace kelo_frame {

template <class T>
class Rc {
 public:
  Rc() = default;

  template <class... Args>
  static Rc make(Args&&... args) {
    Rc rc;
    rc.box_ = new Box{1, T(std::forward<Args>(args)...)};  // NOLINT(cppcoreguidelines-owning-memory)
    return rc;
  }

  Rc(const Rc& other) noexcept : box_(other.box_) {
    if (box_ != nullptr) ++box_->count;
  }
  Rc(Rc&& other) noexcept : box_(std::exchange(other.box_, nullptr)) {}
  Rc& operator=(Rc other) noexcept {
    std::swap(box_, other.box_);
    return *this;
  }
  ~Rc() { release(); }

  [[nodiscard]] const T& operator*() const noexcept { return box_->value; }
  [[nodiscard]] const T* operator->() const noexcept { return &box_->value; }
  [[nodiscard]] const T* get() const noexcept { return box_ ? &box_->value : nullptr; }
  explicit operator bool() const noexcept { return box_ != nullptr; }
  [[nodiscard]] std::size_t use_count() const noexcept { return box_ ? box_->count : 0; }

 private:
  struct Box {
    std::size_t count;
    T value;
  };

  void release() noexcept {
    if (box_ != nullptr && --box_->count == 0) {
      delete box_;  // NOLINT(cppcoreguidelines-owning-memory)
    }
    box_ = nullptr;
  }

  Box* box_ = nullptr;
};

}  // namespace kelo_frame
