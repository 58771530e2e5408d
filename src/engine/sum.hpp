// Compensated float summation (Neumaier's variant of Kahan summation).
//
// Step for step the summation of the interpreter's built-in sum over floats:
// the running sum s and the compensation c start at 0.0; each value v makes
// t = s + v and adds the low-order bits lost by that addition to c. The total
// adds c only when it is non-zero and finite, so a sum that overflowed to an
// infinity stays that infinity rather than becoming NaN.
#pragma once

#include <cmath>

namespace kelo_frame {

struct Neumaier {
  double s = 0.0;
  double c = 0.0;

  void add(double v) noexcept {
    const double t = s + v;
    if (std::fabs(s) >= std::fabs(v)) {
      c += (s - t) + v;
    } else {
      c += (v - t) + s;
    }
    s = t;
  }

  [[nodiscard]] double total() const noexcept { return c != 0.0 && std::isfinite(c) ? s + c : s; }
};

}  // namespace kelo_frame
