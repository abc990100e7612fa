#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "platform/rtl/Currency.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/FloatDecimal.h"

namespace {

// The one rounding rule: value × 10,000 in double precision, then half to even.
TEST(Currency, FromDoubleRoundsHalfToEven) {
  struct Case {
    double value;
    Int64 scaled;
  };
  const Case cases[] = {
      {0.00005, 0},       // 0.5 → 0 (even)
      {0.00015, 2},       // 1.5 → 2
      {0.00025, 2},       // 2.5 → 2
      {0.00035, 4},       // 3.5 → 4
      {-0.00005, 0},
      {-0.00015, -2},
      {1.23456, 12346},   // not a tie
      {1.23454, 12345},
      {12345.6789, 123456789},
      {-7.5, -75000},
      {0.0, 0},
      {922337203685477.0, 9223372036854770000},
  };
  for (const auto& c : cases) EXPECT_EQ(Currency::FromDouble(c.value).Scaled, c.scaled) << c.value;
  EXPECT_EQ(RoundToCurrencyPlaces(0.00015), 0.0002);
}

TEST(Currency, FromDoubleRejectsWhatDoesNotFit) {
  for (double bad : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 1e15, -1e15}) {
    Currency c = Currency::FromScaled(5);
    EXPECT_FALSE(Currency::TryFromDouble(bad, c)) << bad;
    EXPECT_EQ(c.Scaled, 5);
    EXPECT_THROW(Currency::FromDouble(bad), EInvalidOp);
  }
}

TEST(Currency, Arithmetic) {
  const Currency a = Currency::FromScaled(15000);  // 1.5
  const Currency b = Currency::FromScaled(2500);   // 0.25
  EXPECT_EQ((a + b).Scaled, 17500);
  EXPECT_EQ((a - b).Scaled, 12500);
  EXPECT_EQ((-a).Scaled, -15000);
  EXPECT_EQ((a * b).Scaled, 3750);
  EXPECT_EQ((a / b).Scaled, 60000);
  // 0.0001 × 0.5 = 0.00005 → 0; 0.0003 × 0.5 = 0.00015 → 0.0002
  EXPECT_EQ((Currency::FromScaled(1) * Currency::FromScaled(5000)).Scaled, 0);
  EXPECT_EQ((Currency::FromScaled(3) * Currency::FromScaled(5000)).Scaled, 2);
  EXPECT_EQ((Currency::FromScaled(10000) / Currency::FromScaled(30000)).Scaled, 3333);
  Currency c = a;
  c += b;
  c *= Currency::FromInt(2);
  EXPECT_EQ(c.Scaled, 35000);
  EXPECT_DOUBLE_EQ(a.ToDouble(), 1.5);
  EXPECT_THROW(a / Currency{}, EZeroDivide);
  EXPECT_THROW(Currency::FromScaled(INT64_MAX) + Currency::FromScaled(1), EOverflow);
  EXPECT_THROW(-Currency::FromScaled(INT64_MIN), EOverflow);
  EXPECT_THROW(Currency::FromInt(1000000000) * Currency::FromInt(1000000000), EOverflow);
}

}  // namespace

namespace {

// The double and the text of the same number give the same currency, ties included.
TEST(Currency, FromDoubleAgreesWithTheDecimalText) {
  for (Int64 n = -3000; n <= 3000; n += 7) {
    for (const char* tail : {"5", "49", "51", "50001"}) {
      const std::string text = std::to_string(n / 10000) + "." + std::string(4 - std::to_string(std::abs(n % 10000)).size(), '0') +
                               std::to_string(std::abs(n % 10000)) + tail;
      const std::string signedText = (n < 0 && n / 10000 == 0 ? "-" : "") + text;
      const double d = std::stod(signedText);
      Int64 expected;
      ASSERT_TRUE(rtl_detail::ScaledFromAscii(signedText, 4, expected));
      EXPECT_EQ(Currency::FromDouble(d).Scaled, expected) << signedText;
    }
  }
}

}  // namespace
