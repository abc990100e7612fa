#include "platform/rtl/FormatSettings.h"

namespace {

using MonthNames = const char16_t* const[12];
using DayNames = const char16_t* const[7];

constexpr MonthNames kEnglishShortMonths = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                            u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
constexpr MonthNames kEnglishLongMonths = {u"January", u"February", u"March",     u"April",   u"May",      u"June",
                                           u"July",    u"August",   u"September", u"October", u"November", u"December"};
constexpr DayNames kEnglishShortDays = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
constexpr DayNames kEnglishLongDays = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                       u"Thursday", u"Friday", u"Saturday"};

constexpr MonthNames kChineseShortMonths = {u"1月", u"2月", u"3月", u"4月",  u"5月",  u"6月",
                                            u"7月", u"8月", u"9月", u"10月", u"11月", u"12月"};
constexpr MonthNames kChineseLongMonths = {u"一月", u"二月", u"三月", u"四月",   u"五月",   u"六月",
                                           u"七月", u"八月", u"九月", u"十月", u"十一月", u"十二月"};
constexpr DayNames kChineseShortDays = {u"周日", u"周一", u"周二", u"周三", u"周四", u"周五", u"周六"};
constexpr DayNames kChineseLongDays = {u"星期日", u"星期一", u"星期二", u"星期三", u"星期四", u"星期五", u"星期六"};

// What one locale's table holds beyond what all three tables share: currency before the number with
// two decimals, '/' and ':' separators, ',' lists and thousands, '.' decimals, a century window of 50.
struct LocaleTable {
  const char16_t* CurrencyString;
  Byte NegCurrFormat;
  const char16_t* ShortDateFormat;
  const char16_t* LongDateFormat;
  const char16_t* ShortTimeFormat;
  const char16_t* LongTimeFormat;
  const char16_t* TimeAMString;
  const char16_t* TimePMString;
  const MonthNames& ShortMonthNames;
  const MonthNames& LongMonthNames;
  const DayNames& ShortDayNames;
  const DayNames& LongDayNames;
};

// English (United States).
constexpr LocaleTable kEnglishUs = {.CurrencyString = u"$",
                                    .NegCurrFormat = 0,
                                    .ShortDateFormat = u"M/d/yyyy",
                                    .LongDateFormat = u"dddd, mmmm d, yyyy",
                                    .ShortTimeFormat = u"h:mm AMPM",
                                    .LongTimeFormat = u"h:mm:ss AMPM",
                                    .TimeAMString = u"AM",
                                    .TimePMString = u"PM",
                                    .ShortMonthNames = kEnglishShortMonths,
                                    .LongMonthNames = kEnglishLongMonths,
                                    .ShortDayNames = kEnglishShortDays,
                                    .LongDayNames = kEnglishLongDays};

constexpr LocaleTable kInvariant = {.CurrencyString = u"\u00A4",
                                    .NegCurrFormat = 0,
                                    .ShortDateFormat = u"MM/dd/yyyy",
                                    .LongDateFormat = u"dddd, dd mmmm yyyy",
                                    .ShortTimeFormat = u"hh:nn",
                                    .LongTimeFormat = u"hh:nn:ss",
                                    .TimeAMString = u"AM",
                                    .TimePMString = u"PM",
                                    .ShortMonthNames = kEnglishShortMonths,
                                    .LongMonthNames = kEnglishLongMonths,
                                    .ShortDayNames = kEnglishShortDays,
                                    .LongDayNames = kEnglishLongDays};

// Chinese (PRC), the platform's settings of locale 2048 on the reference machine.
constexpr LocaleTable kChinesePrc = {.CurrencyString = u"¥",
                                     .NegCurrFormat = 2,
                                     .ShortDateFormat = u"yyyy/M/d",
                                     .LongDateFormat = u"yyyy'年'M'月'd'日'",
                                     .ShortTimeFormat = u"h:mm",
                                     .LongTimeFormat = u"h:mm:ss",
                                     .TimeAMString = u"上午",
                                     .TimePMString = u"下午",
                                     .ShortMonthNames = kChineseShortMonths,
                                     .LongMonthNames = kChineseLongMonths,
                                     .ShortDayNames = kChineseShortDays,
                                     .LongDayNames = kChineseLongDays};

TFormatSettings FromTable(const LocaleTable& t) {
  TFormatSettings s;
  s.CurrencyString = t.CurrencyString;
  s.CurrencyFormat = 0;
  s.NegCurrFormat = t.NegCurrFormat;
  s.CurrencyDecimals = 2;
  s.DateSeparator = u'/';
  s.TimeSeparator = u':';
  s.ListSeparator = u',';
  s.ShortDateFormat = t.ShortDateFormat;
  s.LongDateFormat = t.LongDateFormat;
  s.TimeAMString = t.TimeAMString;
  s.TimePMString = t.TimePMString;
  s.ShortTimeFormat = t.ShortTimeFormat;
  s.LongTimeFormat = t.LongTimeFormat;
  for (int i = 0; i < 12; ++i) {
    s.ShortMonthNames[i] = t.ShortMonthNames[i];
    s.LongMonthNames[i] = t.LongMonthNames[i];
  }
  for (int i = 0; i < 7; ++i) {
    s.ShortDayNames[i] = t.ShortDayNames[i];
    s.LongDayNames[i] = t.LongDayNames[i];
  }
  s.ThousandSeparator = u',';
  s.DecimalSeparator = u'.';
  s.TwoDigitYearCenturyWindow = 50;
  return s;
}

}  // namespace

TFormatSettings TFormatSettings::Create(std::uint32_t Locale) {
  switch (Locale) {
    case 1033: return FromTable(kEnglishUs);
    case 0x7F: return FromTable(kInvariant);
    default: return FromTable(kChinesePrc);  // 2048, 1024, 0, 2052 and every id without a table of its own
  }
}

TFormatSettings& FormatSettings() {
  static TFormatSettings settings = TFormatSettings::Create(2048);
  return settings;
}
