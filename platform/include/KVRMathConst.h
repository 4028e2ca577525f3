#pragma once

#include <limits>

// Mathematical constants in full double precision. Note that _2_Pi is two times pi (a full turn),
// not two divided by pi. Epsilon is the machine epsilon of double, the gap between 1 and the next
// representable value.
struct KVRMathConst {
  static constexpr double Pi = 3.14159265358979323846264338327950288;
  static constexpr double Pi_2 = 1.57079632679489661923132169163975144;
  static constexpr double Pi_4 = 0.785398163397448309615660845819875721;
  static constexpr double Sqrt_2 = 1.41421356237309504880168872420969808;
  static constexpr double Sqrt_3 = 1.73205080756887729352744634150587237;
  static constexpr double _2_Pi = 6.28318530717958647692528676655900577;
  static constexpr double Epsilon = std::numeric_limits<double>::epsilon();
};
