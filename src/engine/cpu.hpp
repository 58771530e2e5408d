// What the processor running the module can do. The module is built for any
// x86-64 processor; code with wider vector instructions is compiled for them
// alone and chosen at run time from here.
#pragma once

namespace kelo_frame::cpu {

// True when the processor has AVX2 (asked once, then remembered).
inline bool has_avx2() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
#else
  return false;
#endif
}

}  // namespace kelo_frame::cpu
