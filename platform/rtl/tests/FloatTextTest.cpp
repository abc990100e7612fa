#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

namespace {

TEST(FloatText, FloatToStr) {
  struct Case {
    double value;
    std::u16string_view text;
  };
  const Case cases[] = {
      {0.0, u"0"},
      {-0.0, u"0"},
      {1.5, u"1.5"},
      {-1.5, u"-1.5"},
      {0.1, u"0.1"},
      {0.1 + 0.2, u"0.3"},  // 15 significant digits
      {1.0 / 3, u"0.333333333333333"},
      {100.0, u"100"},
      {123456789012345.0, u"123456789012345"},
      {1e15, u"1E15"},
      {1e20, u"1E20"},
      {0.0001, u"0.0001"},
      {0.00001, u"1E-5"},
      {-2.5e-10, u"-2.5E-10"},
      {std::numeric_limits<double>::infinity(), u"INF"},
      {-std::numeric_limits<double>::infinity(), u"-INF"},
      {std::numeric_limits<double>::quiet_NaN(), u"NAN"},
      {1.7976931348623157e308, u"1.79769313486232E308"},
  };
  for (const auto& c : cases) EXPECT_EQ(FloatToStr(c.value), c.text) << c.value;
}

TEST(FloatText, FloatToStrF) {
  struct Case {
    double value;
    TFloatFormat format;
    int precision, digits;
    std::u16string_view text;
  };
  using F = TFloatFormat;
  const Case cases[] = {
      {1234.5678, F::ffFixed, 15, 2, u"1234.57"},
      {1234.5678, F::ffNumber, 15, 2, u"1,234.57"},
      {1234.5678, F::ffCurrency, 15, 2, u"¥1,234.57"},
      {-1234.5678, F::ffCurrency, 15, 2, u"¥-1,234.57"},
      {1234.5678, F::ffExponent, 4, 2, u"1.235E+03"},
      {1234.5678, F::ffGeneral, 6, 0, u"1234.57"},
      {1e20, F::ffFixed, 15, 2, u"1.00000000000000E+20"},  // more integer digits than the precision
      {0.5, F::ffFixed, 15, 0, u"1"},
      {999999.5, F::ffNumber, 15, 0, u"1,000,000"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FloatToStrF(c.value, c.format, c.precision, c.digits), c.text) << c.value;
}

TEST(FloatText, FormatFloat) {
  struct Case {
    std::u16string_view format;
    double value;
    std::u16string_view text;
  };
  const Case cases[] = {
      {u"0.00", 1.005, u"1.00"},  // 1.005 is really 1.00499999...
      {u"0.00", 1.5, u"1.50"},
      {u"#.##", 0.5, u".5"},
      {u"#,##0.00", 1234567.891, u"1,234,567.89"},
      {u"#,##0", -1234.0, u"-1,234"},
      {u"000", 7.0, u"007"},
      {u"0", 1234.0, u"1234"},
      {u"#", 0.0, u""},
      {u"0.###", 1.2, u"1.2"},
      {u"0.0##", 1.0, u"1.0"},
      {u"0.00E+00", 12345.0, u"1.23E+04"},
      {u"0.00E-00", 0.000123, u"1.23E-04"},
      {u"0.00e+0", 12345.0, u"1.23e+4"},
      {u"0.0;(0.0);'zero'", -3.25, u"(3.3)"},
      {u"0.0;(0.0);'zero'", 0.0, u"zero"},
      {u"0.0;(0.0);'zero'", 0.01, u"zero"},  // rounds to zero with the first section
      {u"'Total: '0.00", 5.0, u"Total: 5.00"},
      {u"", 1.5, u"1.5"},
      {u"$#,##0.00", 1234.5, u"$1,234.50"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(FormatFloat(c.format, c.value), c.text) << std::string(c.format.begin(), c.format.end()) << " " << c.value;
}

TEST(FloatText, StrToFloat) {
  struct Case {
    std::u16string_view text;
    double value;
  };
  const Case cases[] = {
      {u"1.5", 1.5}, {u" -2.25 ", -2.25}, {u"+3", 3.0}, {u"1e3", 1000.0}, {u"1.5E-2", 0.015},
      {u".5", 0.5},  {u"5.", 5.0},        {u"0", 0.0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StrToFloat(c.text), c.value) << std::string(c.text.begin(), c.text.end());
    double v = 0;
    EXPECT_TRUE(TryStrToFloat(c.text, v));
    EXPECT_EQ(v, c.value);
  }
  EXPECT_TRUE(std::isinf(StrToFloat(u"INF")));
  EXPECT_TRUE(std::isnan(StrToFloat(u"nan")));
}

TEST(FloatText, BadFloatTextNeverRaisesInTheDefForms) {
  for (std::u16string_view bad : {u"", u" ", u"abc", u"1,5", u"1.2.3", u"1e", u"--1", u"1 2", u"1e400"}) {
    double v = 7;
    EXPECT_FALSE(TryStrToFloat(bad, v)) << std::string(bad.begin(), bad.end());
    EXPECT_EQ(v, 7);
    EXPECT_EQ(StrToFloatDef(bad, -1), -1);
  }
  try {
    StrToFloat(u"abc");
    ADD_FAILURE();
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), u"'abc' is not a valid floating point value");
  }
}

TEST(FloatText, DecimalSeparatorFromSettings) {
  TFormatSettings s = TFormatSettings::Create();
  s.DecimalSeparator = u',';
  EXPECT_EQ(StrToFloat(u"1,5", s), 1.5);
  double v;
  EXPECT_FALSE(TryStrToFloat(u"1.5", v, s));
  EXPECT_EQ(FloatToStr(1.5, s), u"1,5");
}

// FloatToStr keeps 15 digits: every value with at most 15 significant digits comes back exactly.
TEST(FloatText, RoundTrips) {
  const double values[] = {0.1, 1.5, -2.75, 123456.789, 1e-10, 9.87654321e100, 3.14159265358979, -1e-300,
                           999999999999999.0};
  for (double v : values) EXPECT_EQ(StrToFloat(FloatToStr(v)), v) << v;
}

TEST(CurrencyText, CurrToStrAndBack) {
  struct Case {
    Int64 scaled;
    std::u16string_view text;
  };
  const Case cases[] = {{125000, u"12.5"},    {-1, u"-0.0001"}, {30000, u"3"},
                        {0, u"0"},            {INT64_MAX, u"922337203685477.5807"},
                        {INT64_MIN, u"-922337203685477.5808"}};
  for (const auto& c : cases) {
    EXPECT_EQ(CurrToStr(Currency::FromScaled(c.scaled)), c.text);
    EXPECT_EQ(StrToCurr(c.text).Scaled, c.scaled);
  }
  EXPECT_EQ(CurrToStrF(Currency::FromScaled(125000), TFloatFormat::ffCurrency, 2), u"¥12.50");
}

TEST(CurrencyText, StrToCurrRoundsHalfToEven) {
  struct Case {
    std::u16string_view text;
    Int64 scaled;
  };
  const Case cases[] = {{u"0.00005", 0},     {u"0.00015", 2},  {u"0.00025", 2},     {u"-0.00015", -2},
                        {u"0.000051", 1},    {u"1.23456", 12346}, {u"1e2", 1000000}, {u"1.5e-4", 2}};
  for (const auto& c : cases) EXPECT_EQ(StrToCurr(c.text).Scaled, c.scaled) << std::string(c.text.begin(), c.text.end());
  Currency v;
  EXPECT_FALSE(TryStrToCurr(u"922337203685478", v));
  EXPECT_FALSE(TryStrToCurr(u"x", v));
  EXPECT_EQ(StrToCurrDef(u"x", Currency::FromScaled(9)).Scaled, 9);
}

TEST(BoolAndHex, Texts) {
  EXPECT_EQ(BoolToStr(true), u"-1");
  EXPECT_EQ(BoolToStr(false), u"0");
  EXPECT_EQ(BoolToStr(true, true), u"True");
  EXPECT_TRUE(StrToBool(u"true"));
  EXPECT_FALSE(StrToBool(u"FALSE"));
  EXPECT_TRUE(StrToBool(u"-1"));
  EXPECT_FALSE(StrToBool(u"0"));
  EXPECT_TRUE(StrToBoolDef(u"maybe", true));
  EXPECT_THROW(StrToBool(u"maybe"), EConvertError);
  EXPECT_EQ(IntToHex(255, 4), u"00FF");
  EXPECT_EQ(IntToHex(-1, 2), u"FFFFFFFF");
  EXPECT_EQ(IntToHex(Int64{-1}, 2), u"FFFFFFFFFFFFFFFF");
  EXPECT_EQ(IntToHex(UInt64{0xABC}, 0), u"ABC");
}

}  // namespace
