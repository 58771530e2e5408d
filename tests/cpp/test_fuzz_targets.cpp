// The fuzz targets' checks in the ordinary suite: each target runs on every
// input of its seed corpus (public vectors and hand-written edge cases) and on
// seeded random inputs. A wrong answer aborts with the target's message.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <string_view>

#define KELO_TARGETS(X) X(csv_float) X(csv_read) X(date) X(group) X(quote) X(round_trip) X(sort) X(write)
#define KELO_DECLARE(t) extern "C" int replay_##t(const std::uint8_t*, std::size_t);
KELO_TARGETS(KELO_DECLARE)

namespace {

struct Target {
  const char* name;
  int (*run)(const std::uint8_t*, std::size_t);
  int count;                  // random inputs,
  std::size_t max_size;       // of up to this many bytes
  std::string_view alphabet;  // drawn from these (empty: any byte)
};

void PrintTo(const Target& t, std::ostream* os) { *os << t.name; }

void run(const Target& t, const std::string& bytes) {
  t.run(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

class FuzzTarget : public testing::TestWithParam<Target> {};

TEST_P(FuzzTarget, SeedCorpusAndRandomInputs) {
  const Target& t = GetParam();
  std::size_t seeds = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(KELO_TEST_DATA "/../../fuzz/corpus/fuzz_" + std::string(t.name))) {
    std::ifstream in(entry.path(), std::ios::binary);
    run(t, std::string(std::istreambuf_iterator<char>(in), {}));
    ++seeds;
  }
  EXPECT_GT(seeds, 0U) << "no seed corpus";
  std::mt19937_64 rng(seeds);
  for (int i = 0; i < t.count; ++i) {
    std::string bytes(rng() % t.max_size, '\0');
    for (char& b : bytes) b = static_cast<char>(t.alphabet.empty() ? rng() : t.alphabet[rng() % t.alphabet.size()]);
    run(t, bytes);
  }
}

using namespace std::literals;
constexpr std::string_view csv_bytes = "a1,,\"\"\r\n\n .e-9";
// Rich in UTF-8 lead and continuation bytes, and in the bytes with short escapes.
constexpr std::string_view utf8_bytes =
    "\0\"\\a\n\x7f\x80\x8f\x90\x9f\xa0\xbf\xc0\xc2\xdf\xe0\xe2\xed\xef\xf0\xf4\xf5\xff"sv;

INSTANTIATE_TEST_SUITE_P(Fuzz, FuzzTarget,
                         testing::Values(Target{"csv_float", replay_csv_float, 5000, 30, "0123456789..eE+-iInNfFaAtyY"},
                                         Target{"csv_read", replay_csv_read, 4000, 300, csv_bytes},
                                         Target{"date", replay_date, 3000, 12, "0123456789--"},
                                         Target{"group", replay_group, 300, 3000, ""},
                                         Target{"quote", replay_quote, 100000, 14, utf8_bytes},
                                         Target{"round_trip", replay_round_trip, 1000, 120, csv_bytes},
                                         Target{"sort", replay_sort, 500, 3000, ""},
                                         Target{"write", replay_write, 500, 1500, ""}),
                         [](const testing::TestParamInfo<Target>& target) { return std::string(target.param.name); });

}  // namespace
