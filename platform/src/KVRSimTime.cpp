#include "KVRSimTime.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>

#include "KVRException.h"

// Exact arithmetic runs on the total count of nanoseconds. Any representable time has fewer than
// 1e28 nanoseconds, and products of two such counts that could still give a representable result
// stay below 1e37, both well inside the range of 128-bit integers.
using KVRNanoCount = __int128;

static constexpr KVRNanoCount kNanosecondsPerSecond = KVRSimTime::NanosecondsPerSecond;

static KVRNanoCount totalNanoseconds(const KVRSimTime& t) {
  return KVRNanoCount(t.getSeconds()) * kNanosecondsPerSecond + t.getNanoseconds();
}

static KVRSimTime fromTotalNanoseconds(KVRNanoCount total) {
  KVRNanoCount seconds = total / kNanosecondsPerSecond;
  KVRNanoCount nanoseconds = total % kNanosecondsPerSecond;
  if (nanoseconds < 0) {
    nanoseconds += kNanosecondsPerSecond;
    --seconds;
  }
  if (seconds < std::numeric_limits<int64_t>::min() || seconds > std::numeric_limits<int64_t>::max()) {
    throw std::overflow_error("KVRSimTime: result does not fit the range of simulation time");
  }
  return KVRSimTime(static_cast<int64_t>(seconds), static_cast<int32_t>(nanoseconds));
}

// n / d rounded to nearest, halves away from zero; d != 0.
static KVRNanoCount divideRounded(KVRNanoCount n, KVRNanoCount d) {
  KVRNanoCount quotient = n / d;
  const KVRNanoCount remainder = n % d;
  const KVRNanoCount twiceRemainder = 2 * (remainder < 0 ? -remainder : remainder);
  if (twiceRemainder >= (d < 0 ? -d : d)) quotient += (n < 0) == (d < 0) ? 1 : -1;
  return quotient;
}

KVRSimTime::KVRSimTime(double seconds) {
  // Whole seconds must lie in [-2^63, 2^63), the range of int64_t.
  const double whole = std::floor(seconds);
  if (!(whole >= -0x1p63 && whole < 0x1p63)) {
    char value[32];
    std::snprintf(value, sizeof value, "%g", seconds);
    std::wstring text;
    for (const char* c = value; *c; ++c) text += static_cast<wchar_t>(*c);
    throw KVREInvalidArgument(L"A simulation time of %1 seconds cannot be represented") << text;
  }
  // seconds - whole is exact or off by far less than a nanosecond, and lies in [0, 1).
  seconds_ = static_cast<int64_t>(whole);
  nanoseconds_ = static_cast<int32_t>(std::lround((seconds - whole) * 1e9));
  // Rounding up to 1e9 carries into the seconds; whole < 2^63 - 1 here, so this cannot overflow.
  normalize_();
}

KVRSimTime::KVRSimTime(int64_t seconds, int32_t nanoseconds) : seconds_(seconds), nanoseconds_(nanoseconds) {
  normalize_();
}

double KVRSimTime::toSeconds() const {
  // For negative times, (seconds + 1) - (1e9 - ns) / 1e9 keeps small values such as -1 ns exact
  // to the last bit instead of cancelling -1 against 0.999999999.
  if (seconds_ < 0 && nanoseconds_ > 0) {
    return static_cast<double>(seconds_ + 1) - (NanosecondsPerSecond - nanoseconds_) / 1e9;
  }
  return static_cast<double>(seconds_) + nanoseconds_ / 1e9;
}

KVRSimTime KVRSimTime::operator-() const { return fromTotalNanoseconds(-totalNanoseconds(*this)); }

KVRSimTime& KVRSimTime::operator+=(const KVRSimTime& t) {
  KVRSimTime sum;
  if (__builtin_add_overflow(seconds_, t.seconds_, &sum.seconds_)) {
    // The carry from the nanoseconds may still bring the result into range.
    return *this = fromTotalNanoseconds(totalNanoseconds(*this) + totalNanoseconds(t));
  }
  sum.nanoseconds_ = nanoseconds_ + t.nanoseconds_;  // below 2e9, fits int32_t
  sum.normalize_();
  return *this = sum;
}

KVRSimTime& KVRSimTime::operator-=(const KVRSimTime& t) {
  KVRSimTime difference;
  if (__builtin_sub_overflow(seconds_, t.seconds_, &difference.seconds_)) {
    // The borrow from the nanoseconds may still bring the result into range.
    return *this = fromTotalNanoseconds(totalNanoseconds(*this) - totalNanoseconds(t));
  }
  difference.nanoseconds_ = nanoseconds_ - t.nanoseconds_;  // in (-1e9, 1e9)
  difference.normalize_();
  return *this = difference;
}

KVRSimTime& KVRSimTime::operator*=(const KVRSimTime& ratio) {
  KVRNanoCount product;
  if (__builtin_mul_overflow(totalNanoseconds(*this), totalNanoseconds(ratio), &product)) {
    throw std::overflow_error("KVRSimTime: product does not fit the range of simulation time");
  }
  return *this = fromTotalNanoseconds(divideRounded(product, kNanosecondsPerSecond));
}

KVRSimTime& KVRSimTime::operator/=(const KVRSimTime& ratio) {
  const KVRNanoCount divisor = totalNanoseconds(ratio);
  if (divisor == 0) throw std::domain_error("KVRSimTime: division by a zero time");
  return *this =
             fromTotalNanoseconds(divideRounded(totalNanoseconds(*this) * kNanosecondsPerSecond, divisor));
}

void KVRSimTime::normalize_() {
  if (nanoseconds_ >= 0 && nanoseconds_ < NanosecondsPerSecond) return;
  int64_t carry = nanoseconds_ / NanosecondsPerSecond;
  int32_t nanoseconds = nanoseconds_ % NanosecondsPerSecond;
  if (nanoseconds < 0) {
    nanoseconds += NanosecondsPerSecond;
    --carry;
  }
  int64_t seconds;
  if (__builtin_add_overflow(seconds_, carry, &seconds)) {
    throw std::overflow_error("KVRSimTime: seconds out of range after carrying nanoseconds");
  }
  seconds_ = seconds;
  nanoseconds_ = nanoseconds;
}

std::ostream& operator<<(std::ostream& os, const KVRSimTime& t) { return os << t.toSeconds(); }
