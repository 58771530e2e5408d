// libFuzzer's FuzzedDataProvider where it is installed (the fuzz build, with
// clang); elsewhere (the C++ tests, which run the targets on seeded inputs) a
// stand-in with the calls the targets make: integers from the end of the
// input, texts from its front, zeros once the bytes run out.
#pragma once

#if __has_include(<fuzzer/FuzzedDataProvider.h>)
#include <fuzzer/FuzzedDataProvider.h>
#else
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>

class FuzzedDataProvider {
 public:
  FuzzedDataProvider(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  [[nodiscard]] std::size_t remaining_bytes() const { return size_; }

  template <class T>
  T ConsumeIntegralInRange(T lo, T hi) {
    using U = std::make_unsigned_t<T>;
    const std::uint64_t range = static_cast<U>(static_cast<U>(hi) - static_cast<U>(lo));
    std::uint64_t v = 0;
    for (std::uint64_t r = range; r != 0 && size_ != 0; r >>= 8) v = (v << 8) | data_[--size_];
    if (range != std::numeric_limits<std::uint64_t>::max()) v %= range + 1;
    return static_cast<T>(static_cast<U>(static_cast<U>(lo) + static_cast<U>(v)));
  }

  template <class T>
  T ConsumeIntegral() {
    return ConsumeIntegralInRange(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
  }

  bool ConsumeBool() { return (ConsumeIntegral<std::uint8_t>() & 1U) != 0; }

  template <class T, std::size_t N>
  T PickValueInArray(const T (&values)[N]) {
    return values[ConsumeIntegralInRange<std::size_t>(0, N - 1)];
  }

  // A backslash followed by another ends the text; a doubled one is one.
  std::string ConsumeRandomLengthString(std::size_t max) {
    std::string out;
    while (out.size() < max && size_ != 0) {
      const char c = static_cast<char>(*data_++);
      --size_;
      if (c == '\\' && size_ != 0) {
        ++data_, --size_;
        if (data_[-1] != '\\') break;
      }
      out += c;
    }
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};
#endif
