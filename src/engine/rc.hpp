// Rc<T>: a shared, reference-counted holder of an immutable value.
//
// Columns and row indexes are shared between tables, and columns also with
// arrays handed to other libraries, which may drop them on any thread at any
// time. The count is therefore atomic: a copy adds one with a relaxed
// increment (the copier already holds a reference, so nothing needs ordering),
// a drop subtracts one with release order, and the drop that reaches zero
// takes an acquire fence before freeing, so every access made through any
// other reference happens before the value is destroyed. The value itself is
// never changed after make(), so readers on several threads need no more.
#pragma once

#include <atomic>
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
    if (box_ != nullptr) box_->count.fetch_add(1, std::memory_order_relaxed);
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
  [[nodiscard]] std::size_t use_count() const noexcept {
    return box_ ? box_->count.load(std::memory_order_relaxed) : 0;
  }

 private:
  struct Box {
    std::atomic<std::size_t> count;
    T value;
  };

  void release() noexcept {
    if (box_ != nullptr && box_->count.fetch_sub(1, std::memory_order_release) == 1) {
      std::atomic_thread_fence(std::memory_order_acquire);
      delete box_;  // NOLINT(cppcoreguidelines-owning-memory)
    }
    box_ = nullptr;
  }

  Box* box_ = nullptr;
};

}  // namespace kelo_frame
