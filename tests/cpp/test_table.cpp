#include <gtest/gtest.h>

#include "engine/table.hpp"

namespace kelo_frame {
namespace {

I64Col ints(std::initializer_list<std::int64_t> values) {
  I64Col c;
  for (auto v : values) c.push(v);
  return c;
}

TEST(Table, AddSetsHeightAndChecksLength) {
  Table t;
  ASSERT_TRUE(t.add("a", ints({1, 2, 3})));
  EXPECT_EQ(t.height, 3U);
  auto r = t.add("b", ints({1, 2, 3, 4, 5}));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), "column \"b\" has 5 values; the frame has 3 rows");
  auto dup = t.add("a", ints({1}));
  ASSERT_FALSE(dup);
  EXPECT_EQ(dup.error(), "the frame has a column \"a\" already");
}

TEST(Table, LookupMessageListsColumns) {
  Table t;
  EXPECT_EQ(t.col("x").error(), "no column \"x\" (the frame has none)");
  ASSERT_TRUE(t.add("a", ints({})));
  ASSERT_TRUE(t.add("b", ints({})));
  EXPECT_EQ(t.col("x").error(), "no column \"x\" (the frame has \"a\", \"b\")");
  EXPECT_FALSE(t.col("A"));
}

TEST(Table, AddToViewMaterialisesAndLeavesSourceAlone) {
  Table t;
  I64Col a = ints({10, 20, 30});
  a.push_missing();
  ASSERT_TRUE(t.add("a", std::move(a)));
  Table v = t.over({3, 0});
  ASSERT_TRUE(v.add("b", ints({1, 2})));
  EXPECT_FALSE(v.index);
  const auto& got = std::get<I64Col>(*v.col("a").value());
  ASSERT_EQ(got.size(), 2U);
  EXPECT_FALSE(got.present(0));
  EXPECT_EQ(got.values[1], 10);
  EXPECT_EQ(storage_length(*t.col("a").value()), 4U);
}

}  // namespace
}  // namespace kelo_frame
