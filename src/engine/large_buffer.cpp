// Huge-page backed scratch arrays (see large_buffer.hpp).
#include "large_buffer.hpp"

#include <cstdlib>
#include <new>

#include "fresh_pages.hpp"
#include "huge_pages.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace kelo_frame {

namespace large_buffer_detail {
namespace {

// Below this size the faults saved do not pay for the alignment.
constexpr std::size_t huge_from = 2 * huge_page;

}  // namespace

void* allocate(std::size_t bytes, bool made_ahead) {
  void* data = nullptr;
  if (bytes >= huge_from) {
    const std::size_t rounded = (bytes + huge_page - 1) / huge_page * huge_page;
    data = std::aligned_alloc(huge_page, rounded);
    if (data != nullptr) {
      prefer_huge_pages(data, rounded);
      if (made_ahead) make_pages(data, static_cast<char*>(data) + bytes);
    }
  } else {
    data = std::malloc(bytes == 0 ? 1 : bytes);
  }
  if (data == nullptr) throw std::bad_alloc();
  return data;
}

void release(void* data) noexcept { std::free(data); }

}  // namespace large_buffer_detail

void prefer_huge_pages(void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  using large_buffer_detail::huge_page;
  if (bytes < large_buffer_detail::huge_from) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t first = (begin + huge_page - 1) / huge_page * huge_page;
  const std::uintptr_t last = (begin + bytes) / huge_page * huge_page;
  if (last <= first) return;
  // Only where the kernel has the blocks free, or will not compact for them:
  // a first call must not wait while it assembles them.
  switch (huge_advice_now(last - first)) {
    case HugeAdvice::Ask: madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE); break;
    case HugeAdvice::Refuse: madvise(reinterpret_cast<void*>(first), last - first, MADV_NOHUGEPAGE); break;
    case HugeAdvice::Leave: break;
  }
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace kelo_frame
