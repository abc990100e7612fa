#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "platform/rtl/Currency.h"
#include "platform/rtl/Extended.h"

namespace {

TExtended80Rec Bytes(std::uint64_t significand, std::uint16_t signExponent) {
  TExtended80Rec r;
  for (int i = 0; i < 8; ++i) r[i] = static_cast<std::uint8_t>(significand >> (8 * i));
  r[8] = static_cast<std::uint8_t>(signExponent);
  r[9] = static_cast<std::uint8_t>(signExponent >> 8);
  return r;
}

// Golden layouts: the 10 bytes an x87 FSTP TBYTE writes.
TEST(Extended, GoldenLayouts) {
  using L = std::numeric_limits<double>;
  struct Case {
    double value;
    std::uint64_t significand;
    std::uint16_t signExponent;
  };
  const Case cases[] = {
      {0.0, 0, 0x0000},
      {-0.0, 0, 0x8000},
      {1.0, 0x8000000000000000, 0x3FFF},
      {-2.0, 0x8000000000000000, 0xC000},
      {0.1, 0xCCCCCCCCCCCCD000, 0x3FFB},
      {L::max(), 0xFFFFFFFFFFFFF800, 0x43FE},
      {L::min(), 0x8000000000000000, 0x3C01},
      {L::denorm_min(), 0x8000000000000000, 0x3BCD},
      {L::infinity(), 0x8000000000000000, 0x7FFF},
      {-L::infinity(), 0x8000000000000000, 0xFFFF},
      {L::quiet_NaN(), 0xC000000000000000, 0x7FFF},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DoubleToExtended(c.value), Bytes(c.significand, c.signExponent)) << c.value;
    const double back = ExtendedToDouble(Bytes(c.significand, c.signExponent));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(c.value)) << c.value;
  }
}

TEST(Extended, EveryDoubleComesBackBitForBit) {
  using L = std::numeric_limits<double>;
  std::vector<std::uint64_t> patterns = {
      0, 0x8000000000000000, 1, 0x8000000000000001, 0x000FFFFFFFFFFFFF, 0x0010000000000000,
      std::bit_cast<std::uint64_t>(L::max()), std::bit_cast<std::uint64_t>(-L::max()),
      0x7FF0000000000000, 0xFFF0000000000000,
      0x7FF8000000000000, 0xFFF8000000000000, 0x7FF0000000000001,  // quiet, negative and signalling NaN
      0x7FF4000000000123, 0x0000000000000400, 0x3FF0000000000001};
  std::mt19937_64 gen(12345);
  for (int i = 0; i < 20000; ++i) patterns.push_back(gen());
  for (std::uint64_t bits : patterns) {
    const double d = std::bit_cast<double>(bits);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(ExtendedToDouble(DoubleToExtended(d))), bits) << std::hex << bits;
  }
}

TEST(Extended, ExtendedOnlyValuesRound) {
  struct Case {
    std::uint64_t significand;
    std::uint16_t signExponent;
    double expected;
  };
  const double denormMin = std::numeric_limits<double>::denorm_min();
  const Case cases[] = {
      // 1 + 2^-53 is a tie: to even (1); 1 + 3×2^-54 rounds up.
      {0x8000000000000400, 0x3FFF, 1.0},
      {0x8000000000000600, 0x3FFF, 1.0 + 0x1p-52},
      {0x8000000000000C00, 0x3FFF, 1.0 + 0x1p-51},  // 1 + 3×2^-53: tie, odd → up
      {0xFFFFFFFFFFFFFFFF, 0x3FFF, 2.0},             // carries into the exponent
      {0x8000000000000000, 0x43FF, std::numeric_limits<double>::infinity()},  // 2^1024
      {0xFFFFFFFFFFFFFC00, 0x43FE, std::numeric_limits<double>::infinity()},  // rounds past max
      {0x8000000000000000, 0x3BCC, 0.0},             // 2^-1075: a tie with zero, to even
      {0xC000000000000000, 0x3BCC, denormMin},       // 1.5 × 2^-1075
      {0x8000000000000000, 0x0001, 0.0},             // far below the denormals
      {0x4000000000000000, 0x3FFF, 0.5},             // an unnormal reads as its value
  };
  for (const auto& c : cases)
    EXPECT_EQ(ExtendedToDouble(Bytes(c.significand, c.signExponent)), c.expected) << std::hex << c.significand;
  EXPECT_TRUE(std::signbit(ExtendedToDouble(Bytes(0x8000000000000000, 0x8001))));
  EXPECT_TRUE(std::isnan(ExtendedToDouble(Bytes(0x0000000000000000, 0x7FFF))));  // pseudo-infinity
  EXPECT_TRUE(std::isnan(ExtendedToDouble(Bytes(0x8000000000000001, 0x7FFF))));  // payload in the low bits
}

TEST(Extended, RawByteForms) {
  std::uint8_t raw[10];
  DoubleToExtended(-1.5, raw);
  EXPECT_EQ(ExtendedToDouble(raw), -1.5);
}

}  // namespace

namespace {

// The exact integer and currency forms: integers keep every bit, currencies come back to the same
// scaled value, and values that fit match what the double route gives.
TEST(ExtendedExact, Int64RoundTripsEveryBit) {
  const std::int64_t cases[] = {0,
                                1,
                                -1,
                                9007199254740993LL,  // 2^53 + 1: lost by a double
                                -9007199254740993LL,
                                std::numeric_limits<std::int64_t>::max(),
                                std::numeric_limits<std::int64_t>::min(),
                                0x123456789ABCDEFLL};
  for (std::int64_t v : cases) {
    const TExtended80Rec e = Int64ToExtended(v);
    std::int64_t back = 0;
    ASSERT_TRUE(TryExtendedToInt64(e, back)) << v;
    EXPECT_EQ(back, v);
    if (v > -(1LL << 53) && v < (1LL << 53)) {
      EXPECT_EQ(e, DoubleToExtended(static_cast<double>(v))) << v;
    }
  }
  EXPECT_EQ(Int64ToExtended(1), Bytes(0x8000000000000000ULL, 0x3FFF));
}

TEST(ExtendedExact, CurrencyRoundTripsAndMatchesTheNearestValue) {
  std::mt19937_64 rng(7);
  std::vector<std::int64_t> cases = {0, 1, -1, 10000, 5000, 1234567, -98765432109LL,
                                     std::numeric_limits<std::int64_t>::max(),
                                     std::numeric_limits<std::int64_t>::min()};
  for (int i = 0; i < 2000; ++i) cases.push_back(static_cast<std::int64_t>(rng()));
  for (std::int64_t scaled : cases) {
    Currency back{};
    ASSERT_TRUE(TryExtendedToCurrency(CurrencyToExtended(Currency::FromScaled(scaled)), back)) << scaled;
    EXPECT_EQ(back.Scaled, scaled);
  }
  // 1.5 and 0.0001 as the nearest extended numbers.
  EXPECT_EQ(CurrencyToExtended(Currency::FromScaled(15000)), DoubleToExtended(1.5));
  EXPECT_EQ(ExtendedToDouble(CurrencyToExtended(Currency::FromScaled(1))), 0.0001);
}

TEST(ExtendedExact, OutOfRangeAndNonFiniteAreRefused) {
  std::int64_t i = 0;
  Currency c{};
  EXPECT_FALSE(TryExtendedToInt64(DoubleToExtended(std::numeric_limits<double>::quiet_NaN()), i));
  EXPECT_FALSE(TryExtendedToInt64(DoubleToExtended(std::numeric_limits<double>::infinity()), i));
  EXPECT_FALSE(TryExtendedToInt64(DoubleToExtended(9.3e18), i));
  EXPECT_FALSE(TryExtendedToCurrency(DoubleToExtended(1e15), c));
  ASSERT_TRUE(TryExtendedToInt64(DoubleToExtended(2.5), i));
  EXPECT_EQ(i, 2);  // ties to even
  ASSERT_TRUE(TryExtendedToInt64(DoubleToExtended(-3.5), i));
  EXPECT_EQ(i, -4);
  ASSERT_TRUE(TryExtendedToCurrency(DoubleToExtended(-1.23456), c));
  EXPECT_EQ(c.Scaled, -12346);
}

}  // namespace
