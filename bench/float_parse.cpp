// Nanoseconds per csv::float_ call on typical cell texts, next to
// std::from_chars on the same texts. The texts sit in one buffer, as cells of
// a CSV text do; each figure is the best of 300 passes over 20,000 texts.
//
//   scripts/env.sh bash -c 'g++ -std=c++23 -O3 -DNDEBUG -Isrc src/csv/float.cpp
//     bench/float_parse.cpp -o build/float_parse && build/float_parse'   (one line)
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "csv/float.hpp"

namespace {

template <class F>
double ns_per_call(const std::vector<std::string>& texts, F parse) {
  std::string buffer;
  for (const auto& t : texts) buffer += t + ",";
  std::vector<std::string_view> cells;
  std::size_t pos = 0;
  for (const auto& t : texts) {
    cells.push_back(std::string_view(buffer).substr(pos, t.size()));
    pos += t.size() + 1;
  }
  double best = 1e300;
  for (int pass = 0; pass < 300; ++pass) {
    const auto t0 = std::chrono::steady_clock::now();
    double sink = 0;
    for (const auto cell : cells) sink += parse(cell);
    const auto t1 = std::chrono::steady_clock::now();
    if (sink == 1.25) std::puts("");  // keeps the work
    best =
        std::min(best, std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(cells.size()));
  }
  return best;
}

}  // namespace

int main() {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(0, 10000);
  struct Kind {
    const char* name;
    const char* format;
    double scale;
    std::vector<std::string> texts;
  };
  Kind kinds[] = {{"2 decimals (37.42)", "%.2f", 0.01, {}},
                  {"4 decimals (7543.8530)", "%.4f", 1, {}},
                  {"17 digits (94.930120289264408)", "%.17g", 0.01, {}},
                  {"17 digits (0.0011741428103451813)", "%.17g", 1e-6, {}}};
  char buf[64];
  for (auto& k : kinds) {
    for (int i = 0; i < 20000; ++i) {
      std::snprintf(buf, sizeof buf, k.format, u(rng) * k.scale);
      k.texts.push_back(buf);
    }
  }
  const auto ours = [](std::string_view s) { return *kelo_frame::csv::float_(s); };
  const auto library = [](std::string_view s) {
    double v = 0;
    std::from_chars(s.data(), s.data() + s.size(), v);
    return v;
  };
  for (const auto& k : kinds) {
    std::printf("%-36s csv::float_ %5.1f ns   std::from_chars %5.1f ns\n", k.name, ns_per_call(k.texts, ours),
                ns_per_call(k.texts, library));
  }
}
