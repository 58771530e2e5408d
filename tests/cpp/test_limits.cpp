// Sizes at and past what 32-bit offsets and row numbers can address. The
// reader must refuse a text of 4 GiB or more before reading any of it: the
// texts here lie over a mapping that is almost all inaccessible, so touching
// a byte past the first page would crash the test.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <string_view>

#include "csv/read.hpp"
#include "engine/table.hpp"

namespace kelo_frame {
namespace {

constexpr std::uint64_t k4G = std::uint64_t{1} << 32;

// Address space of `size` bytes whose first page is readable and writable
// and the rest faults on any access. Nothing but the first page is ever
// backed by memory.
class Guarded {
 public:
  explicit Guarded(std::size_t size) : size_(size) {
    void* p = mmap(nullptr, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return;
    if (mprotect(p, 4096, PROT_READ | PROT_WRITE) != 0) {
      munmap(p, size);
      return;
    }
    base_ = static_cast<char*>(p);
  }
  ~Guarded() {
    if (base_ != nullptr) munmap(base_, size_);
  }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  [[nodiscard]] char* data() const { return base_; }

 private:
  char* base_ = nullptr;
  std::size_t size_;
};

TEST(Limits, ReaderRefusesFourGigabytesBeforeReadingThem) {
  const std::size_t mapped = k4G + (std::size_t{1} << 20);
  Guarded g(mapped);
  ASSERT_NE(g.data(), nullptr) << "cannot reserve address space";
  constexpr std::string_view head = "a,b\n1,2\n";
  std::memcpy(g.data(), head.data(), head.size());
  for (const std::uint64_t len : {k4G, k4G + 1, k4G + 4096, std::uint64_t{mapped}}) {
    const auto r = csv::read(std::string_view(g.data(), len));
    ASSERT_FALSE(r) << len;
    EXPECT_EQ(r.error(), "the text is over 4 GB") << len;
  }
  // The byte-order mark is removed first: 3 + 2^32 bytes is one byte too many.
  std::memcpy(g.data(), "\xEF\xBB\xBF", 3);
  const auto r = csv::read(std::string_view(g.data(), k4G + 3));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "the text is over 4 GB");
}

TEST(Limits, ColumnsLongerThanRowNumbersAddressAreRefused) {
  // Table::add refuses through this check; a column of 2^32 + 1 cells cannot
  // be built in a test's memory, so the check is exercised on its own.
  EXPECT_TRUE(check_storage_length("c", 0));
  EXPECT_TRUE(check_storage_length("c", k4G));
  const auto over = check_storage_length("c\n", k4G + 1);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error(), "column \"c\\n\" has 4294967297 values; a frame holds at most 4294967296 rows");
  EXPECT_FALSE(check_storage_length("c", UINT64_MAX));
}

}  // namespace
}  // namespace kelo_frame
