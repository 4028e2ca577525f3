#pragma once

#include <compare>
#include <cstdint>
#include <iosfwd>

#include "KVRPlatformExport.h"

// Simulation time: a signed count of whole seconds plus a count of nanoseconds that is always kept
// in [0, 1e9), so each time has exactly one representation (-0.5 s is -1 s + 500000000 ns). Its
// value in seconds is seconds + nanoseconds / 1e9. Multiplication and division take the right-hand
// time as a ratio in seconds: 6 s / 3 s is 2 s and 4 s * 0.5 s is 2 s. Results are exact to the
// nanosecond (rounded to nearest); results whose seconds do not fit int64_t throw
// std::overflow_error and leave the operand unchanged.
class KVRPLATFORM_API KVRSimTime {
 public:
  static constexpr int32_t NanosecondsPerSecond = 1000000000;

  KVRSimTime() = default;
  // Rounds to the nearest nanosecond. Throws KVREInvalidArgument for NaN, infinities and values
  // whose whole seconds do not fit int64_t.
  KVRSimTime(double seconds);
  // Any nanosecond count is accepted and carried into the seconds, e.g. (1, -1) is 0.999999999 s.
  KVRSimTime(int64_t seconds, int32_t nanoseconds);

  // Nearest double to the value in seconds.
  double toSeconds() const;
  int64_t getSeconds() const { return seconds_; }
  int32_t getNanoseconds() const { return nanoseconds_; }
  friend bool operator==(const KVRSimTime&, const KVRSimTime&) = default;
  friend std::strong_ordering operator<=>(const KVRSimTime&, const KVRSimTime&) = default;

  KVRSimTime operator-() const;
  friend KVRSimTime operator+(KVRSimTime a, const KVRSimTime& b) { return a += b; }
  friend KVRSimTime operator-(KVRSimTime a, const KVRSimTime& b) { return a -= b; }
  friend KVRSimTime operator*(KVRSimTime a, const KVRSimTime& ratio) { return a *= ratio; }
  // Throws std::domain_error if ratio is zero.
  friend KVRSimTime operator/(KVRSimTime a, const KVRSimTime& ratio) { return a /= ratio; }

  KVRSimTime& operator+=(const KVRSimTime& t);
  KVRSimTime& operator-=(const KVRSimTime& t);
  // Scales by the value of ratio in seconds.
  KVRSimTime& operator*=(const KVRSimTime& ratio);
  // Becomes this / ratio, both taken in seconds. Throws std::domain_error if ratio is zero.
  KVRSimTime& operator/=(const KVRSimTime& ratio);
  // Brings the two counts to canonical form after arithmetic: carries whole seconds out of the
  // nanoseconds so that 0 <= nanoseconds < 1e9.
  void normalize_();

 private:
  int64_t seconds_ = 0;
  int32_t nanoseconds_ = 0;
};

// Writes the value in seconds as a double, using the stream's settings.
KVRPLATFORM_API std::ostream& operator<<(std::ostream& os, const KVRSimTime& t);
