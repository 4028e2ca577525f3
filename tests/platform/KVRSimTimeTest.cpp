#include <gtest/gtest.h>
#include <cmath>
#include <cstdint>
#include <iomanip>
#include <limits>
#include <sstream>
#include <stdexcept>
#include "KVRException.h"
#include "KVRSimTime.h"

static constexpr int64_t kMaxSeconds = std::numeric_limits<int64_t>::max();
static constexpr int64_t kMinSeconds = std::numeric_limits<int64_t>::min();

static void expectTime(const KVRSimTime& t, int64_t seconds, int32_t nanoseconds) {
  EXPECT_EQ(t.getSeconds(), seconds); EXPECT_EQ(t.getNanoseconds(), nanoseconds);
}

TEST(KVRSimTimeTest, SecondsRoundCountsCarryArithmeticIsExactAndUnrepresentableValuesAreRejected) {
  expectTime(KVRSimTime(-0.5), -1, 500000000); expectTime(KVRSimTime(0.1), 0, 100000000);
  expectTime(KVRSimTime(-0.0), 0, 0); expectTime(KVRSimTime(1.9999999996), 2, 0);
  expectTime(KVRSimTime(-1e-9), -1, 999999999); expectTime(KVRSimTime(-0x1p63), kMinSeconds, 0);
  EXPECT_EQ(KVRSimTime(-1e-9).toSeconds(), -1e-9);
  // 4294967295 s is the "not scheduled" marker and must survive the round trip exactly.
  expectTime(KVRSimTime(4294967295.0), 4294967295, 0);
  EXPECT_EQ(KVRSimTime(4294967295.0).toSeconds(), 4294967295.0);
  for (double bad : {std::nan(""), std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity(), 0x1p63, -0x1p64, 1e300})
    EXPECT_THROW(KVRSimTime{bad}, KVREInvalidArgument) << bad;
  EXPECT_THROW(KVRSimTime(kMaxSeconds, 1000000000), std::overflow_error);
  EXPECT_THROW(KVRSimTime(kMinSeconds, -1), std::overflow_error);
  expectTime(KVRSimTime(1, -1), 0, 999999999); expectTime(KVRSimTime(0, 1500000000), 1, 500000000);
  expectTime(KVRSimTime(-2, -1500000000), -4, 500000000);
  expectTime(KVRSimTime(5, std::numeric_limits<int32_t>::min()), 2, 852516352);
  expectTime(KVRSimTime(kMaxSeconds, 999999999), kMaxSeconds, 999999999);
  EXPECT_LT(KVRSimTime(-1, 999999999), KVRSimTime()); EXPECT_LT(KVRSimTime(), KVRSimTime(0, 1));
  EXPECT_LT(KVRSimTime(-0.5), KVRSimTime(-0.25));
  EXPECT_TRUE(KVRSimTime(1.25) < 1.5 && 2.0 > KVRSimTime(1.25));
  std::ostringstream os;
  os << KVRSimTime(1.5) << ' ' << KVRSimTime(-0.25) << ' ' << std::setprecision(10)
     << KVRSimTime(4294967295.0);
  EXPECT_EQ(os.str(), "1.5 -0.25 4294967295");
  // Arithmetic carries, borrows, is exact, and an error leaves the value.
  expectTime(KVRSimTime(1, 600000000) + KVRSimTime(2, 700000000), 4, 300000000);
  expectTime(KVRSimTime(1, 200000000) - KVRSimTime(0, 700000000), 0, 500000000);
  expectTime(-KVRSimTime(1, 250000000), -2, 750000000);
  KVRSimTime t(1, 0);
  t += 0.5; t -= KVRSimTime(0, 250000000);
  expectTime(t, 1, 250000000);
  // The seconds overflow on their own but the carry or borrow brings the result back.
  expectTime(KVRSimTime(kMinSeconds, 500000000) + KVRSimTime(-1, 600000000), kMinSeconds, 100000000);
  expectTime(KVRSimTime(0, 0) - KVRSimTime(kMinSeconds, 1), kMaxSeconds, 999999999);
  KVRSimTime big(kMaxSeconds, 500000000);
  EXPECT_THROW(big += KVRSimTime(0, 600000000), std::overflow_error);
  EXPECT_THROW(big -= KVRSimTime(-1, 0), std::overflow_error);
  expectTime(big, kMaxSeconds, 500000000);
  EXPECT_THROW(-KVRSimTime(kMinSeconds, 0), std::overflow_error);
  KVRSimTime twelve(12.0), two(2.0);
  two *= (twelve /= KVRSimTime(6.0));
  expectTime(two, 4, 0);
  EXPECT_EQ(KVRSimTime(6.0) / KVRSimTime(-3.0), KVRSimTime(-2.0));
  EXPECT_EQ(KVRSimTime(-6.0) / KVRSimTime(-3.0), KVRSimTime(2.0));
  expectTime(KVRSimTime(1.0) / KVRSimTime(3.0), 0, 333333333);
  expectTime(KVRSimTime(-1.0) / KVRSimTime(3.0), -1, 666666667);
  expectTime(KVRSimTime(-0.5) * KVRSimTime(3.0), -2, 500000000);
  expectTime(KVRSimTime(0, 1) * KVRSimTime(0.4), 0, 0); expectTime(KVRSimTime(0, 1) * KVRSimTime(0.5), 0, 1);
  expectTime(KVRSimTime(3037000499.0) * KVRSimTime(3037000499.0), 9223372030926249001, 0);
  t = KVRSimTime(3.5);
  EXPECT_THROW(t /= KVRSimTime(), std::domain_error);
  EXPECT_THROW(KVRSimTime(0.0) / KVRSimTime(0, 0), std::domain_error);
  EXPECT_THROW(t *= KVRSimTime(kMaxSeconds, 0), std::overflow_error);
  expectTime(t, 3, 500000000);
  big = KVRSimTime(kMaxSeconds, 0);
  EXPECT_THROW(big /= KVRSimTime(0, 1), std::overflow_error);
  expectTime(big, kMaxSeconds, 0);
  EXPECT_THROW(KVRSimTime(kMaxSeconds, 0) * KVRSimTime(kMinSeconds, 0), std::overflow_error);
}

