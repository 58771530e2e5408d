// Huge page advice that never makes a fault wait on compaction (see
// huge_pages.hpp).
#include "huge_pages.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <string>

#if defined(__linux__)
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kelo_frame {

namespace {

constexpr std::size_t huge_bytes = std::size_t{1} << 21;
// Buddy orders: order 9 is one 2 MiB block on 4 KiB pages; the kernel lists
// orders 0 to 10.
constexpr unsigned huge_order = 9;
constexpr unsigned orders = 11;
// The virtio balloon's feature bit for free page reporting.
constexpr std::size_t reporting_feature = 5;

// Free blocks left over for everything else that faults in meanwhile: asking
// only when there are twice the blocks needed and 256 MiB more keeps a
// concurrent allocation from taking the last ones.
constexpr std::size_t spare_blocks = 128;

// The word in brackets, which marks the active choice: "always [madvise] never".
std::string_view chosen(std::string_view text) noexcept {
  const std::size_t open = text.find('[');
  const std::size_t close = text.find(']', open);
  if (open == std::string_view::npos || close == std::string_view::npos) return {};
  return text.substr(open + 1, close - open - 1);
}

// The text of a small system file into buffer, or nothing.
template <std::size_t N>
std::string_view read_small(const char* path, std::array<char, N>& buffer) noexcept {
#if defined(__linux__)
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::size_t size = 0;
  while (size < buffer.size()) {
    const ssize_t got = ::read(fd, buffer.data() + size, buffer.size() - size);
    if (got <= 0) break;
    size += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return {buffer.data(), size};
#else
  (void)path;
  (void)buffer;
  return {};
#endif
}

// Whether a virtio balloon device reports free blocks to the host.
bool system_reports_free_blocks() noexcept {
#if defined(__linux__)
  constexpr const char* balloons = "/sys/bus/virtio/drivers/virtio_balloon";
  DIR* dir = ::opendir(balloons);
  if (dir == nullptr) return false;
  std::array<char, 32> order{};
  const std::string_view order_text = read_small("/sys/module/page_reporting/parameters/page_reporting_order", order);
  bool reported = false;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::string_view(entry->d_name).rfind("virtio", 0) != 0) continue;
    const std::string path = std::string(balloons) + "/" + entry->d_name + "/features";
    std::array<char, 256> features{};
    if (reports_free_blocks(read_small(path.c_str(), features), order_text)) reported = true;
  }
  ::closedir(dir);
  return reported;
#else
  return false;
#endif
}

HugePageSettings system_settings() noexcept {
  std::array<char, 256> enabled{};
  std::array<char, 256> defrag{};
  HugePageSettings s = parse_huge_page_settings(read_small("/sys/kernel/mm/transparent_hugepage/enabled", enabled),
                                                read_small("/sys/kernel/mm/transparent_hugepage/defrag", defrag));
  s.blocks_reported = system_reports_free_blocks();
  return s;
}

}  // namespace

HugePageSettings parse_huge_page_settings(std::string_view enabled, std::string_view defrag) noexcept {
  HugePageSettings s;
  if (chosen(enabled).empty() || chosen(defrag).empty()) {
    // Unknown (no /sys, as in a container without it): assume the settings
    // that compact most, so that huge pages are asked for only over free
    // blocks and refused otherwise.
    return HugePageSettings{true, true, true, true};
  }
  const std::string_view on = chosen(enabled);
  s.available = on == "always" || on == "madvise";
  s.always = on == "always";
  const std::string_view mode = chosen(defrag);
  // "defer" and "never" never compact at a fault; an unknown word is taken
  // to compact, which only costs the huge pages where blocks are short.
  s.may_stall = mode != "defer" && mode != "never";
  s.stall_always = mode == "always";
  return s;
}

bool reports_free_blocks(std::string_view balloon_features, std::string_view reporting_order) noexcept {
  if (balloon_features.size() <= reporting_feature || balloon_features[reporting_feature] != '1') return false;
  // Blocks of this order and above are reported; a kernel that does not show
  // the order reports from 2 MiB. An order above 2 MiB, or the unset value
  // (all ones) of a kernel where no device asked for reports, leaves 2 MiB
  // blocks to the guest.
  while (!reporting_order.empty() && (reporting_order.back() == '\n' || reporting_order.back() == ' ')) {
    reporting_order.remove_suffix(1);
  }
  if (reporting_order.empty()) return true;
  const char* const last = reporting_order.data() + reporting_order.size();
  std::uint64_t order = 0;
  const auto [end, error] = std::from_chars(reporting_order.data(), last, order);
  return error == std::errc{} && end == last && order <= huge_order;
}

std::size_t free_huge_blocks(std::string_view buddyinfo) noexcept {
  std::size_t blocks = 0;
  while (!buddyinfo.empty()) {
    const std::size_t end = buddyinfo.find('\n');
    std::string_view line = buddyinfo.substr(0, end);
    buddyinfo = end == std::string_view::npos ? std::string_view{} : buddyinfo.substr(end + 1);
    // "Node 0, zone   Normal     27    648 ...": the counts follow the zone's name.
    const std::size_t zone = line.find("zone");
    if (zone == std::string_view::npos) continue;
    line.remove_prefix(zone + 4);
    line.remove_prefix(std::min(line.size(), line.find_first_not_of(' ')));
    const std::string_view name = line.substr(0, line.find(' '));
    if (name == "DMA") continue;  // the first 16 MiB, not for ordinary memory
    line.remove_prefix(name.size());
    for (unsigned order = 0; order < orders; ++order) {
      line.remove_prefix(std::min(line.size(), line.find_first_not_of(' ')));
      std::uint64_t count = 0;
      const auto [next, error] = std::from_chars(line.data(), line.data() + line.size(), count);
      if (error != std::errc{}) break;
      line.remove_prefix(static_cast<std::size_t>(next - line.data()));
      if (order >= huge_order) blocks += static_cast<std::size_t>(count) << (order - huge_order);
    }
  }
  return blocks;
}

HugeAdvice huge_advice(const HugePageSettings& settings, std::size_t bytes, std::size_t free_blocks) noexcept {
  if (!settings.available) return HugeAdvice::Leave;
  // Free huge blocks are the host's again: a small page from the guest's own
  // broken-up memory is cheaper to touch, so the system's own choice of huge
  // pages is refused too.
  if (settings.blocks_reported) return settings.always ? HugeAdvice::Refuse : HugeAdvice::Leave;
  if (!settings.may_stall) return HugeAdvice::Ask;
  const std::size_t needed = (bytes + huge_bytes - 1) / huge_bytes;
  if (free_blocks >= 2 * needed + spare_blocks) return HugeAdvice::Ask;
  // Short of free blocks: where the system would compact for an unadvised
  // region too, refuse; else its own choice (small pages) is safe.
  return settings.always && settings.stall_always ? HugeAdvice::Refuse : HugeAdvice::Leave;
}

HugeAdvice huge_advice_now(std::size_t bytes) noexcept {
  static const HugePageSettings settings = system_settings();
  if (!settings.available || settings.blocks_reported || !settings.may_stall) return huge_advice(settings, bytes, 0);
  std::array<char, 4096> buffer{};
  return huge_advice(settings, bytes, free_huge_blocks(read_small("/proc/buddyinfo", buffer)));
}

}  // namespace kelo_frame
