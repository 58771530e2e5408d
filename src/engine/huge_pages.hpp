// Whether an array may ask for huge pages without waiting on the kernel.
//
// Huge pages cut the faults of a large array about 500-fold, but where the
// kernel has no free 2 MiB block at hand, a fault in a region that asked for
// them may compact memory first (transparent huge pages with defrag "always",
// "madvise" or "defer+madvise"), which can stall the first call of a fresh
// process for hundreds of milliseconds. The advice therefore depends on the
// system's settings, read once, and, where a fault may compact, on the free
// 2 MiB blocks at the time of the request.
//
// On a virtual machine whose balloon reports free memory to the host, free
// blocks of 2 MiB and more are handed back to the host as soon as they form.
// A huge page is then made of memory the host must find and clear again at
// its first touch, which costs several times a small page taken from the
// guest's own broken-up free memory. There huge pages are not asked for.
#pragma once

#include <cstddef>
#include <string_view>

namespace kelo_frame {

// How an array of a given size should be advised.
enum class HugeAdvice {
  Ask,     // ask for huge pages: the kernel can give them without compacting
  Leave,   // ask for nothing: the system's own choice cannot stall
  Refuse,  // refuse them: the system would compact for them on its own
};

// The settings that decide the advice: the bracketed words of
// /sys/kernel/mm/transparent_hugepage/{enabled,defrag}, and whether a memory
// balloon reports free blocks (reports_free_blocks).
struct HugePageSettings {
  bool available = false;        // enabled is "always" or "madvise"
  bool always = false;           // enabled is "always": every large region gets them unasked
  bool may_stall = false;        // defrag makes a fault in an advised region compact
  bool stall_always = false;     // defrag "always": even unadvised regions compact
  bool blocks_reported = false;  // the host takes back free 2 MiB blocks
};

// The settings from the two files' text; where either is unknown (empty),
// the settings under which any fault may compact.
HugePageSettings parse_huge_page_settings(std::string_view enabled, std::string_view defrag) noexcept;

// Whether free 2 MiB blocks go back to the host: the text of a virtio balloon
// device's features file (one '0' or '1' a feature bit, from bit 0) and of
// page_reporting's page_reporting_order parameter (empty where the kernel
// does not show it: the default order, 9).
bool reports_free_blocks(std::string_view balloon_features, std::string_view reporting_order) noexcept;

// Free 2 MiB blocks (order 9 and above, counted in 2 MiB units) in the text
// of /proc/buddyinfo.
std::size_t free_huge_blocks(std::string_view buddyinfo) noexcept;

// The advice for `bytes` given the settings and the free 2 MiB blocks.
HugeAdvice huge_advice(const HugePageSettings& settings, std::size_t bytes, std::size_t free_blocks) noexcept;

// The advice for `bytes` on this system now.
HugeAdvice huge_advice_now(std::size_t bytes) noexcept;

}  // namespace kelo_frame
