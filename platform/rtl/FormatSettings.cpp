#include "platform/rtl/FormatSettings.h"

namespace {

void English(TFormatSettings& s) {
  static constexpr const char16_t* kShortMonths[12] = {u"Jan", u"Feb", u"Mar", u"Apr", u"May", u"Jun",
                                                       u"Jul", u"Aug", u"Sep", u"Oct", u"Nov", u"Dec"};
  static constexpr const char16_t* kLongMonths[12] = {u"January", u"February", u"March",     u"April",
                                                      u"May",     u"June",     u"July",      u"August",
                                                      u"September", u"October", u"November", u"December"};
  static constexpr const char16_t* kShortDays[7] = {u"Sun", u"Mon", u"Tue", u"Wed", u"Thu", u"Fri", u"Sat"};
  static constexpr const char16_t* kLongDays[7] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                                   u"Thursday", u"Friday", u"Saturday"};
  for (int i = 0; i < 12; ++i) {
    s.ShortMonthNames[i] = kShortMonths[i];
    s.LongMonthNames[i] = kLongMonths[i];
  }
  for (int i = 0; i < 7; ++i) {
    s.ShortDayNames[i] = kShortDays[i];
    s.LongDayNames[i] = kLongDays[i];
  }
  s.TimeAMString = u"AM";
  s.TimePMString = u"PM";
}

// Chinese (PRC), the platform's settings of locale 2048 on the reference machine.
void ChinesePrc(TFormatSettings& s) {
  static constexpr const char16_t* kLongMonths[12] = {u"一月", u"二月", u"三月", u"四月",   u"五月",   u"六月",
                                                      u"七月", u"八月", u"九月", u"十月", u"十一月", u"十二月"};
  static constexpr const char16_t* kShortDays[7] = {u"周日", u"周一", u"周二", u"周三", u"周四", u"周五", u"周六"};
  static constexpr const char16_t* kLongDays[7] = {u"星期日", u"星期一", u"星期二", u"星期三",
                                                   u"星期四", u"星期五", u"星期六"};
  for (int i = 0; i < 12; ++i) {
    s.ShortMonthNames[i] = String(i + 1 >= 10 ? u"1" : u"") + static_cast<char16_t>(u'0' + (i + 1) % 10) + u"月";
    s.LongMonthNames[i] = kLongMonths[i];
  }
  for (int i = 0; i < 7; ++i) {
    s.ShortDayNames[i] = kShortDays[i];
    s.LongDayNames[i] = kLongDays[i];
  }
  s.CurrencyString = u"¥";
  s.CurrencyFormat = 0;
  s.NegCurrFormat = 2;
  s.CurrencyDecimals = 2;
  s.DateSeparator = u'/';
  s.TimeSeparator = u':';
  s.ListSeparator = u',';
  s.ShortDateFormat = u"yyyy/M/d";
  s.LongDateFormat = u"yyyy'年'M'月'd'日'";
  s.TimeAMString = u"上午";
  s.TimePMString = u"下午";
  s.ShortTimeFormat = u"h:mm";
  s.LongTimeFormat = u"h:mm:ss";
  s.ThousandSeparator = u',';
  s.DecimalSeparator = u'.';
  s.TwoDigitYearCenturyWindow = 50;
}

}  // namespace

TFormatSettings TFormatSettings::Create(std::uint32_t Locale) {
  TFormatSettings s;
  switch (Locale) {
    case 1033:  // English (United States)
      English(s);
      s.CurrencyString = u"$";
      s.CurrencyFormat = 0;
      s.NegCurrFormat = 0;
      s.CurrencyDecimals = 2;
      s.DateSeparator = u'/';
      s.TimeSeparator = u':';
      s.ListSeparator = u',';
      s.ShortDateFormat = u"M/d/yyyy";
      s.LongDateFormat = u"dddd, mmmm d, yyyy";
      s.ShortTimeFormat = u"h:mm AMPM";
      s.LongTimeFormat = u"h:mm:ss AMPM";
      s.ThousandSeparator = u',';
      s.DecimalSeparator = u'.';
      s.TwoDigitYearCenturyWindow = 50;
      break;
    case 0x7F:  // invariant
      English(s);
      s.CurrencyString = u"\u00A4";
      s.CurrencyFormat = 0;
      s.NegCurrFormat = 0;
      s.CurrencyDecimals = 2;
      s.DateSeparator = u'/';
      s.TimeSeparator = u':';
      s.ListSeparator = u',';
      s.ShortDateFormat = u"MM/dd/yyyy";
      s.LongDateFormat = u"dddd, dd mmmm yyyy";
      s.ShortTimeFormat = u"hh:nn";
      s.LongTimeFormat = u"hh:nn:ss";
      s.ThousandSeparator = u',';
      s.DecimalSeparator = u'.';
      s.TwoDigitYearCenturyWindow = 50;
      break;
    default:  // 2048, 1024, 0, 2052 and every id without a table of its own
      ChinesePrc(s);
      break;
  }
  return s;
}

TFormatSettings& FormatSettings() {
  static TFormatSettings settings = TFormatSettings::Create(2048);
  return settings;
}
