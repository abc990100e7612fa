// TFormatSettings: the separators, formats and names that number and date text uses.
//
// The tables are fixed, never read from the OS, so text is the same on every machine. The default is
// the platform's settings of locale id 2048 (the system default locale, Chinese PRC): '.' decimal,
// ',' thousands, '/' dates, ':' times, ShortDateFormat "yyyy/M/d", LongTimeFormat "h:mm:ss", Chinese
// month and day names. 2048, 1024, 0 and 2052 give that table, 1033 gives English (United States), 127
// the invariant table; any other id gives the default table.
#pragma once

#include <cstdint>

#include "platform/rtl/String.h"

struct TFormatSettings {
  String CurrencyString;
  Byte CurrencyFormat = 0;   // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"
  Byte CurrencyDecimals = 2;
  char16_t DateSeparator = u'/';
  char16_t TimeSeparator = u':';
  char16_t ListSeparator = u',';
  String ShortDateFormat;
  String LongDateFormat;
  String TimeAMString;
  String TimePMString;
  String ShortTimeFormat;
  String LongTimeFormat;
  String ShortMonthNames[12];
  String LongMonthNames[12];
  String ShortDayNames[7];  // Sunday first, as the platform's tables
  String LongDayNames[7];
  char16_t ThousandSeparator = u',';
  char16_t DecimalSeparator = u'.';
  Word TwoDigitYearCenturyWindow = 50;
  Byte NegCurrFormat = 0;    // the platform's 16 negative currency patterns, 0 "($1)" ... 15 "(1 $)"

  // The settings of a locale id from the fixed tables (see above).
  static TFormatSettings Create(std::uint32_t Locale);
  static TFormatSettings Create() { return Create(2048); }
  static TFormatSettings Invariant() { return Create(0x7F); }
};

// The process-wide settings every call without an explicit settings argument uses. Made from locale
// 2048 on first use; tests may change it (and should restore it).
TFormatSettings& FormatSettings();
