#include <gtest/gtest.h>

#include "platform/rtl/FormatSettings.h"

namespace {

// Every field of the three fixed tables, so that a change to one table cannot leak into another.
TEST(FormatSettings, TablesHoldTheirLocaleValues) {
  struct Case {
    std::uint32_t locale;
    const char16_t* currency;
    Byte negCurrFormat;
    const char16_t* shortDate;
    const char16_t* longDate;
    const char16_t* shortTime;
    const char16_t* longTime;
    const char16_t* am;
    const char16_t* pm;
    const char16_t* months[4];  // short January, short October, long January, long December
    const char16_t* days[4];    // short Sunday, short Saturday, long Sunday, long Saturday
  };
  const Case cases[] = {
      {1033, u"$", 0, u"M/d/yyyy", u"dddd, mmmm d, yyyy", u"h:mm AMPM", u"h:mm:ss AMPM", u"AM", u"PM",
       {u"Jan", u"Oct", u"January", u"December"}, {u"Sun", u"Sat", u"Sunday", u"Saturday"}},
      {0x7F, u"\u00A4", 0, u"MM/dd/yyyy", u"dddd, dd mmmm yyyy", u"hh:nn", u"hh:nn:ss", u"AM", u"PM",
       {u"Jan", u"Oct", u"January", u"December"}, {u"Sun", u"Sat", u"Sunday", u"Saturday"}},
      {2048, u"¥", 2, u"yyyy/M/d", u"yyyy'年'M'月'd'日'", u"h:mm", u"h:mm:ss", u"上午", u"下午",
       {u"1月", u"10月", u"一月", u"十二月"}, {u"周日", u"周六", u"星期日", u"星期六"}},
      {4242, u"¥", 2, u"yyyy/M/d", u"yyyy'年'M'月'd'日'", u"h:mm", u"h:mm:ss", u"上午", u"下午",
       {u"1月", u"10月", u"一月", u"十二月"}, {u"周日", u"周六", u"星期日", u"星期六"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    const TFormatSettings s = TFormatSettings::Create(c.locale);
    EXPECT_EQ(s.CurrencyString, String(c.currency));
    EXPECT_EQ(s.CurrencyFormat, 0);
    EXPECT_EQ(s.NegCurrFormat, c.negCurrFormat);
    EXPECT_EQ(s.CurrencyDecimals, 2);
    EXPECT_EQ(s.DateSeparator, u'/');
    EXPECT_EQ(s.TimeSeparator, u':');
    EXPECT_EQ(s.ListSeparator, u',');
    EXPECT_EQ(s.ThousandSeparator, u',');
    EXPECT_EQ(s.DecimalSeparator, u'.');
    EXPECT_EQ(s.TwoDigitYearCenturyWindow, 50);
    EXPECT_EQ(s.ShortDateFormat, String(c.shortDate));
    EXPECT_EQ(s.LongDateFormat, String(c.longDate));
    EXPECT_EQ(s.ShortTimeFormat, String(c.shortTime));
    EXPECT_EQ(s.LongTimeFormat, String(c.longTime));
    EXPECT_EQ(s.TimeAMString, String(c.am));
    EXPECT_EQ(s.TimePMString, String(c.pm));
    EXPECT_EQ(s.ShortMonthNames[0], String(c.months[0]));
    EXPECT_EQ(s.ShortMonthNames[9], String(c.months[1]));
    EXPECT_EQ(s.LongMonthNames[0], String(c.months[2]));
    EXPECT_EQ(s.LongMonthNames[11], String(c.months[3]));
    EXPECT_EQ(s.ShortDayNames[0], String(c.days[0]));
    EXPECT_EQ(s.ShortDayNames[6], String(c.days[1]));
    EXPECT_EQ(s.LongDayNames[0], String(c.days[2]));
    EXPECT_EQ(s.LongDayNames[6], String(c.days[3]));
  }
}

}  // namespace
