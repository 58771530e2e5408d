// GroupIds: the group of every position of a grouped table, in position order.
//
// Stored in the narrowest of 8, 16 or 32 bits that holds every group id, so
// that the common few-group case writes and later reads a quarter of the
// memory. The buffers are not zero-filled when sized: every element is
// written once by grouping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <variant>
#include <vector>

namespace kelo_frame {

// An allocator whose default construction leaves numbers uninitialised, so
// that resize() of a buffer that is about to be overwritten costs nothing.
template <class T>
struct NoInit : std::allocator<T> {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = NoInit<U>;
  };
  NoInit() = default;
  template <class U>
  explicit NoInit(const NoInit<U>& /*other*/) noexcept {}

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

class GroupIds {
 public:
  template <class Id>
  using Buffer = std::vector<Id, NoInit<Id>>;

  GroupIds() = default;
  template <class Id>
  explicit GroupIds(Buffer<Id> ids) : ids_(std::move(ids)) {}

  [[nodiscard]] std::size_t size() const noexcept {
    return std::visit([](const auto& v) { return v.size(); }, ids_);
  }
  [[nodiscard]] bool empty() const noexcept { return size() == 0; }
  void clear() noexcept { ids_ = Buffer<std::uint8_t>(); }

  // Calls f with a pointer to the ids (const std::uint8_t*, std::uint16_t*
  // or std::uint32_t*).
  template <class F>
  decltype(auto) visit(F&& f) const {
    return std::visit([&f](const auto& v) -> decltype(auto) { return f(v.data()); }, ids_);
  }

 private:
  std::variant<Buffer<std::uint8_t>, Buffer<std::uint16_t>, Buffer<std::uint32_t>> ids_;
};

}  // namespace kelo_frame
