#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/rtl/Bcd.h"
#include "platform/rtl/Exceptions.h"

namespace {

TBcd Make(std::uint8_t precision, std::uint8_t signPlaces, std::initializer_list<std::uint8_t> bytes) {
  TBcd b;
  b.Precision = precision;
  b.SignSpecialPlaces = signPlaces;
  int i = 0;
  for (std::uint8_t x : bytes) b.Fraction[i++] = x;
  return b;
}

bool SameBytes(const TBcd& a, const TBcd& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Golden packings of canonical values.
TEST(Bcd, Layout) {
  struct Case {
    std::u16string_view text;
    TBcd bcd;
  };
  const Case cases[] = {
      {u"12.34", Make(4, 2, {0x12, 0x34})},
      {u"-1.5", Make(2, 0x81, {0x15})},
      {u"123", Make(3, 0, {0x12, 0x30})},
      {u"0", Make(1, 0, {})},
      {u"0.05", Make(3, 2, {0x00, 0x50})},
      {u"-0", Make(1, 0, {})},
      {u"007.500", Make(2, 1, {0x75})},
  };
  for (const auto& c : cases) {
    const TBcd b = StrToBcd(c.text);
    EXPECT_TRUE(SameBytes(b, c.bcd)) << std::string(c.text.begin(), c.text.end());
  }
}

TEST(Bcd, TextRoundTrips) {
  for (std::u16string_view text : {u"0", u"1", u"-1", u"12.34", u"0.0001", u"-987654321.123456789",
                                   u"1234567890123456789012345678901234567890123456789012345678901234"}) {
    EXPECT_EQ(BcdToStr(StrToBcd(text)), text);
  }
  EXPECT_EQ(BcdToStr(StrToBcd(u"1.5e3")), u"1500");
  EXPECT_EQ(BcdToStr(StrToBcd(u" +2.50 ")), u"2.5");
}

TEST(Bcd, BadTextAndOverflow) {
  TBcd b;
  for (std::u16string_view bad : {u"", u"abc", u"1.2.3", u"--1", u"1e"}) {
    EXPECT_FALSE(TryStrToBcd(bad, b));
    EXPECT_THROW(StrToBcd(bad), EBcdException);
  }
  const String tooLong(65, u'9');
  EXPECT_FALSE(TryStrToBcd(tooLong, b));
  try {
    StrToBcd(tooLong);
    ADD_FAILURE();
  } catch (const EBcdOverflowException& e) {
    EXPECT_EQ(e.Message(), u"BCD overflow");
  }
  // Too many places round instead: 64 digits of precision are kept.
  EXPECT_EQ(BcdToStr(StrToBcd(u"0." + String(70, u'3'))), u"0." + String(63, u'3'));
}

TEST(Bcd, Currency) {
  struct Case {
    Int64 scaled;
    std::u16string_view text;
  };
  const Case cases[] = {{125000, u"12.5"}, {-1, u"-0.0001"}, {0, u"0"}, {INT64_MAX, u"922337203685477.5807"},
                        {INT64_MIN, u"-922337203685477.5808"}};
  for (const auto& c : cases) {
    TBcd b;
    ASSERT_TRUE(CurrToBCD(Currency::FromScaled(c.scaled), b));
    EXPECT_EQ(BcdPrecision(b), 32);
    EXPECT_EQ(BcdScale(b), 4);
    EXPECT_EQ(BcdCompare(b, StrToBcd(c.text)), 0);
    Currency back;
    ASSERT_TRUE(BCDToCurr(b, back));
    EXPECT_EQ(back.Scaled, c.scaled);
    EXPECT_EQ(BcdToCurrency(StrToBcd(c.text)).Scaled, c.scaled);
  }
  // More than four places: half to even.
  EXPECT_EQ(BcdToCurrency(StrToBcd(u"0.00005")).Scaled, 0);
  EXPECT_EQ(BcdToCurrency(StrToBcd(u"0.00015")).Scaled, 2);
  EXPECT_EQ(BcdToCurrency(StrToBcd(u"-0.000151")).Scaled, -2);
  Currency c;
  EXPECT_FALSE(BCDToCurr(StrToBcd(u"922337203685478"), c));
  EXPECT_THROW(BcdToCurrency(StrToBcd(u"922337203685478")), EBcdOverflowException);
  TBcd small;
  EXPECT_FALSE(CurrToBCD(Currency::FromInt(12345), small, 6, 4));  // 5 integer digits, room for 2
  EXPECT_TRUE(CurrToBCD(Currency::FromInt(12), small, 6, 4));
}

TEST(Bcd, Doubles) {
  for (double v : {0.0, 0.1, -2.5, 123456.789, 1e-20, 1e20, 0.30000000000000004}) {
    const TBcd b = DoubleToBcd(v);
    EXPECT_EQ(BcdToDouble(b), v) << v;
  }
  EXPECT_EQ(BcdToStr(DoubleToBcd(0.1)), u"0.1");
  EXPECT_EQ(BcdToDouble(DoubleToBcd(1e-300)), 0.0);  // below 63 places
  EXPECT_THROW(DoubleToBcd(1e100), EBcdOverflowException);
  EXPECT_THROW(DoubleToBcd(std::numeric_limits<double>::quiet_NaN()), EBcdOverflowException);
  EXPECT_THROW(DoubleToBcd(std::numeric_limits<double>::infinity()), EBcdOverflowException);
}

TEST(Bcd, Compare) {
  struct Case {
    std::u16string_view a, b;
    int result;
  };
  const Case cases[] = {{u"1.5", u"1.50", 0}, {u"-0", u"0", 0},     {u"1", u"2", -1},      {u"-1", u"-2", 1},
                        {u"-1", u"1", -1},    {u"0.001", u"0.01", -1}, {u"10", u"9.999", 1}, {u"-0.5", u"0", -1}};
  for (const auto& c : cases) {
    EXPECT_EQ(BcdCompare(StrToBcd(c.a), StrToBcd(c.b)), c.result);
    EXPECT_EQ(BcdCompare(StrToBcd(c.b), StrToBcd(c.a)), -c.result);
  }
  TBcd padded;
  ASSERT_TRUE(NormalizeBcd(StrToBcd(u"1.5"), padded, 10, 4));
  EXPECT_EQ(BcdPrecision(padded), 10);
  EXPECT_EQ(BcdToStr(padded), u"1.5");
  EXPECT_TRUE(padded == StrToBcd(u"1.5"));
}

TEST(Bcd, IntegersAndNormalize) {
  EXPECT_EQ(BcdToStr(IntegerToBcd(INT64_MIN)), u"-9223372036854775808");
  EXPECT_EQ(BcdToInt64(StrToBcd(u"-9223372036854775808")), INT64_MIN);
  EXPECT_EQ(BcdToInt64(StrToBcd(u"2.7")), 2);
  EXPECT_EQ(BcdToInt64(StrToBcd(u"2.5"), false), 3);
  EXPECT_THROW(BcdToInt64(StrToBcd(u"9223372036854775808")), EBcdOverflowException);
  TBcd out = NullBcd();
  EXPECT_TRUE(NormalizeBcd(StrToBcd(u"1.25"), out, 3, 1));
  EXPECT_EQ(BcdToStr(out), u"1.3");
  EXPECT_FALSE(NormalizeBcd(StrToBcd(u"123.4"), out, 3, 1));
  EXPECT_TRUE(IsBcdZero(NullBcd()));
  EXPECT_TRUE(IsBcdNegative(StrToBcd(u"-3")));
}

TEST(Bcd, InvalidStructureRaises) {
  TBcd b = Make(2, 0, {0x1A});  // a nibble above 9
  EXPECT_THROW(BcdToStr(b), EBcdException);
  TBcd c = Make(70, 0, {});
  EXPECT_THROW(BcdToDouble(c), EBcdException);
}

}  // namespace
