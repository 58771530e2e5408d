// Huge page advice: asked for only where no fault can wait on compaction.
#include <gtest/gtest.h>

#include <cstddef>
#include <string_view>

#include "engine/huge_pages.hpp"

namespace kelo_frame {
namespace {

constexpr std::size_t mb = std::size_t{1} << 20;

// Normal: 3 free order-9 blocks and 2 of order 10 (2 MiB units: 3 + 4);
// DMA32: 5 of order 10 (10); DMA is not counted.
constexpr std::string_view buddyinfo =
    "Node 0, zone      DMA      0      0      0      0      0      0      0      0      1      1      3 \n"
    "Node 0, zone    DMA32      0      4      2      2      1      2      0      3      3      0      5 \n"
    "Node 0, zone   Normal  23859  33398  59371  19801  10243   4812   2343   1454    791      3      2 \n";

TEST(HugePages, CountsFreeBlocksOfTwoMegabytesAndMore) {
  EXPECT_EQ(free_huge_blocks(buddyinfo), 17U);
  EXPECT_EQ(free_huge_blocks(""), 0U);
}

struct Case {
  std::string_view enabled;
  std::string_view defrag;
  std::size_t free_blocks;
  HugeAdvice want;  // for a 100 MiB array (50 blocks)
};

TEST(HugePages, AsksOnlyWhereNoFaultCompacts) {
  const Case cases[] = {
      {"always [madvise] never", "always defer defer+madvise [madvise] never", 1000, HugeAdvice::Ask},
      {"always [madvise] never", "always defer defer+madvise [madvise] never", 227, HugeAdvice::Leave},
      {"always [madvise] never", "always defer defer+madvise [madvise] never", 228, HugeAdvice::Ask},
      {"always [madvise] never", "always defer [defer+madvise] madvise never", 10, HugeAdvice::Leave},
      {"always [madvise] never", "always [defer] defer+madvise madvise never", 0, HugeAdvice::Ask},
      {"[always] madvise never", "always defer defer+madvise madvise [never]", 0, HugeAdvice::Ask},
      {"[always] madvise never", "[always] defer defer+madvise madvise never", 10, HugeAdvice::Refuse},
      {"always madvise [never]", "[always] defer defer+madvise madvise never", 0, HugeAdvice::Leave},
      // Settings unknown: asked for over free blocks, refused otherwise.
      {"", "", 1000, HugeAdvice::Ask},
      {"", "", 10, HugeAdvice::Refuse},
  };
  for (const Case& c : cases) {
    const HugePageSettings s = parse_huge_page_settings(c.enabled, c.defrag);
    EXPECT_EQ(huge_advice(s, 100 * mb, c.free_blocks), c.want)
        << c.enabled << " / " << c.defrag << " / " << c.free_blocks;
  }
}

TEST(HugePages, SeesABalloonThatReportsFreeBlocks) {
  // Bit 5 of the negotiated features, as the features file shows them.
  constexpr std::string_view reporting = "0110010100000000000000000000000010000000\n";
  constexpr std::string_view no_reporting = "0110000100000000000000000000000010000000\n";
  EXPECT_TRUE(reports_free_blocks(reporting, "9\n"));
  EXPECT_TRUE(reports_free_blocks(reporting, "5\n"));
  EXPECT_TRUE(reports_free_blocks(reporting, ""));       // the order not shown: the default
  EXPECT_FALSE(reports_free_blocks(reporting, "10\n"));  // only 4 MiB blocks go back
  EXPECT_FALSE(reports_free_blocks(reporting, "4294967295\n"));
  EXPECT_FALSE(reports_free_blocks(reporting, "-1\n"));
  EXPECT_FALSE(reports_free_blocks(no_reporting, "9\n"));
  EXPECT_FALSE(reports_free_blocks("01100", "9\n"));
  EXPECT_FALSE(reports_free_blocks("", ""));
}

TEST(HugePages, LeavesOrRefusesWhereFreeBlocksGoToTheHost) {
  const struct {
    std::string_view enabled;
    std::string_view defrag;
    HugeAdvice want;
  } cases[] = {
      {"always [madvise] never", "always defer defer+madvise [madvise] never", HugeAdvice::Leave},
      {"always [madvise] never", "always [defer] defer+madvise madvise never", HugeAdvice::Leave},
      {"[always] madvise never", "always defer defer+madvise madvise [never]", HugeAdvice::Refuse},
      {"always madvise [never]", "always defer defer+madvise madvise [never]", HugeAdvice::Leave},
  };
  for (const auto& c : cases) {
    HugePageSettings s = parse_huge_page_settings(c.enabled, c.defrag);
    s.blocks_reported = true;
    EXPECT_EQ(huge_advice(s, 100 * mb, 100000), c.want) << c.enabled << " / " << c.defrag;
  }
}

}  // namespace
}  // namespace kelo_frame
