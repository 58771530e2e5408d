// The two Python classes, Frame and Grouped: instance layout, creation,
// thread binding, borrowing and destruction.
#pragma once

#include <atomic>
#include <cstdint>
#include <string_view>

#include "engine/groups.hpp"
#include "engine/table.hpp"
#include "py.hpp"

namespace kelo_frame::api {

// What every instance holds after the object header: its payload (a Table or
// a Groups, owned), the borrow counter (0 free, n > 0 shared borrows, -1 one
// exclusive borrow) and the identity of the thread that made it. An owner of
// 0 (unclaimed) is given only to a frame whose payload shares nothing with
// any other object (an unpickled one): the first thread that calls one of its
// methods becomes its owner.
template <class Payload>
struct Instance {
  PyObject_HEAD Payload payload;
  std::atomic<std::int64_t> borrow;
  std::atomic<std::uint64_t> owner;
};

inline constexpr std::uint64_t unclaimed = 0;

using FrameObject = Instance<Table>;
using GroupedObject = Instance<Groups>;

// Names used in the owner-thread messages.
template <class Payload>
constexpr std::string_view rust_style_name();
template <>
constexpr std::string_view rust_style_name<Table>() {
  return "kelo_frame::api::Frame";
}
template <>
constexpr std::string_view rust_style_name<Groups>() {
  return "kelo_frame::api::Grouped";
}

// The rows of a payload: what a step over it visits, and about what freeing it
// gives back.
inline std::uint64_t rows_of(const Table& table) noexcept { return table.height; }
inline std::uint64_t rows_of(const Groups& groups) noexcept { return groups.table.height; }

// A number unique to the calling thread within this process.
std::uint64_t thread_id() noexcept;

// The type objects, made once per process on first need (null with an
// exception set if that fails).
PyTypeObject* frame_type();
PyTypeObject* grouped_type();

// New instances owned by the calling thread (null with an exception set).
PyObject* new_frame(Table table);
// A new frame that the first thread to use it claims; table must share no
// column or row index with any other table.
PyObject* new_unclaimed_frame(Table table);
PyObject* new_grouped(Groups groups);

// Fails with PanicException unless the calling thread made the instance.
template <class Payload>
bool check_owner(const Instance<Payload>* self);

enum class Borrow : std::uint8_t { Shared, Exclusive };

// Holds one borrow of an instance for the length of a call.
template <class Payload>
class BorrowGuard {
 public:
  // Check ok() after construction: false means the borrow conflicted and a
  // RuntimeError is set.
  BorrowGuard(Instance<Payload>* self, Borrow kind) noexcept;
  ~BorrowGuard();
  BorrowGuard(const BorrowGuard&) = delete;
  BorrowGuard& operator=(const BorrowGuard&) = delete;
  [[nodiscard]] bool ok() const noexcept { return ok_; }

 private:
  Instance<Payload>* self_;
  Borrow kind_;
  bool ok_ = false;
};

}  // namespace kelo_frame::api
