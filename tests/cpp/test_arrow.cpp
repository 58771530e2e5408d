// Arrow export and import at the C level: a round trip through the C stream,
// and exported arrays released on another thread while the owner keeps
// deriving views of the same columns (run under the sanitizers).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "arrow/export.hpp"
#include "arrow/import.hpp"
#include "rowops_cols.hpp"

namespace kelo_frame {
namespace {

using rowops_test::f64s;
using rowops_test::i64s;
using rowops_test::strs;

Table sample() {
  Table t;
  EXPECT_TRUE(t.add("i", i64s({1, std::nullopt, INT64_MIN, INT64_MAX, 0})));
  EXPECT_TRUE(t.add("f", f64s({-0.0, 1.5, std::nullopt, 2.0, 3.0})));
  EXPECT_TRUE(t.add("s", strs({"", "é", std::nullopt, "abc", std::nullopt})));
  return t;
}

bool same_cells(const Table& a, const Table& b) {
  if (a.height != b.height || a.names() != b.names()) return false;
  for (const Column& c : a.columns) {
    auto x = a.column(c.name);
    auto y = b.column(c.name);
    for (std::uint64_t r = 0; r < a.height; ++r) {
      if (present(*x, r) != present(*y, r)) return false;
    }
    const bool equal = std::visit(
        [&](const auto& cx) {
          const auto& cy = std::get<std::decay_t<decltype(cx)>>(*y);
          if constexpr (std::is_same_v<std::decay_t<decltype(cx)>, StrCol>) {
            return cx.offsets == cy.offsets && cx.bytes == cy.bytes;
          } else {
            return cx.values.size() == cy.values.size() &&
                   (cx.values.empty() || std::memcmp(cx.values.data(), cy.values.data(), cx.values.size() * 8) == 0);
          }
        },
        *x);
    if (!equal) return false;
  }
  return true;
}

Result<Table> through_stream(const Table& t) {
  auto plan = arrow::plan_export(t, nullptr, true);
  if (!plan) return fail(plan.error());
  ArrowArrayStream stream{};
  arrow::export_stream(std::move(*plan), &stream);
  auto back = arrow::import_stream(stream);
  stream.release(&stream);
  return back;
}

TEST(Arrow, StreamRoundTripOfStorageAndViews) {
  const Table t = sample();
  for (const Table& v : {t, t.over({4, 2, 0}), t.head(0), *t.select({})}) {
    auto back = through_stream(v);
    ASSERT_TRUE(back) << back.error();
    EXPECT_TRUE(same_cells(v, *back));
  }
}

TEST(Arrow, ReleaseOnAnotherThreadWhileOwnerDerivesViews) {
  const Table t = sample();
  auto plan = arrow::plan_export(t, nullptr, true);
  ASSERT_TRUE(plan);
  constexpr int rounds = 2000;
  std::vector<ArrowArray> batches(rounds);
  for (ArrowArray& b : batches) arrow::export_batch(*plan, &b);
  plan = arrow::plan_export(Table{}, nullptr, true);  // the batches hold the only other references
  std::atomic<int> released{0};
  std::thread consumer([&] {
    for (ArrowArray& b : batches) {
      // Children are moved out and released apart from their parent, as
      // consumers may do.
      ArrowArray child = *b.children[0];
      b.children[0]->release = nullptr;
      child.release(&child);
      b.release(&b);
      released.fetch_add(1, std::memory_order_relaxed);
    }
  });
  while (released.load(std::memory_order_relaxed) < rounds) {
    const Table v = t.over({3, 1}).head(1);
    ASSERT_EQ(v.height, 1U);
  }
  consumer.join();
  for (const Column& c : t.columns) EXPECT_EQ(c.col.use_count(), 1U);  // nothing leaked, nothing freed twice
}

}  // namespace
}  // namespace kelo_frame
