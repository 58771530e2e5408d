#include "fresh_pages.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kelo_frame {

void make_pages(const void* from, const void* to) noexcept {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  // Cleared once a kernel says it does not know the request (before 5.14).
  static std::atomic<bool> supported{true};
  constexpr std::uintptr_t kPage = 4096;
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(from) + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(to) & ~(kPage - 1);
  if (last <= first || !supported.load(std::memory_order_relaxed)) return;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): page-aligned addresses inside the caller's own array
  if (madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) != 0 && errno == EINVAL) {
    supported.store(false, std::memory_order_relaxed);
  }
#else
  (void)from;
  (void)to;
#endif
}

}  // namespace kelo_frame
