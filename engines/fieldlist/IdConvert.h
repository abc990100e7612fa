// Value conversions the field-list store needs between native field bytes, numbers, dates and text:
// the date forms (day numbers from 0001-01-01, milliseconds of the day, TDateTime, SQL time stamps),
// 80-bit floats, currency and packed decimals, and the text forms the getters produce and accept.
//
// Every function here is total: the Try forms return false instead of raising, and the getters of the
// store turn a false into their empty value. Nothing allocates except the functions that return text.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/rtl/Bcd.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/String.h"

namespace idconv {

inline constexpr std::int32_t kDateDelta = 693594;       // day number of 1899-12-30 (0001-01-01 is day 1)
inline constexpr std::int64_t kMSecsPerDay = 86400000;

// ---- dates ------------------------------------------------------------------------------------------
// Day number (0001-01-01 = 1) of a calendar date; false for a date outside 0001-01-01 .. 9999-12-31.
bool TryEncodeDayNumber(int Year, int Month, int Day, std::int32_t& DayNumber);
bool TryDecodeDayNumber(std::int32_t DayNumber, int& Year, int& Month, int& Day);

// {day number, milliseconds of the day} ⇄ TDateTime, with the platform's rule for days before
// 1899-12-30: the day is negative and the time of day is still added away from zero.
bool TryTimeStampToDateTime(TTimeStamp Stamp, TDateTime& Result);
bool TryDateTimeToTimeStamp(TDateTime Value, TTimeStamp& Result);

// The native ftDateTime value: a double of day number × 86,400,000 + milliseconds of the day.
bool TryMSecsToDateTime(double MSecs, TDateTime& Result);
bool TryDateTimeToMSecs(TDateTime Value, double& MSecs);

bool TryDateTimeToSQLTimeStamp(TDateTime Value, TSQLTimeStamp& Result);
bool TrySQLTimeStampToDateTime(const TSQLTimeStamp& Stamp, TDateTime& Result);

// "YYYY-MM-DD", "HH:NN:SS.ZZZ", "YYYY-MM-DD HH:NN:SS.ZZZ"; false when the value has no calendar date.
bool TryFormatDate(TDateTime Value, String& Text);
bool TryFormatTime(TDateTime Value, String& Text);
bool TryFormatDateTime(TDateTime Value, String& Text);

// Text to date-time: a date of year, month and day separated by DateSeparator, a time of hours and
// minutes with optional seconds and milliseconds separated by ':' (and '.'), or a date, blanks, a time.
bool TryTextToDateTime(std::u16string_view Text, char16_t DateSeparator, TDateTime& Result);

// ---- floating point ---------------------------------------------------------------------------------
// The 10-byte IEEE extended form, little-endian, converted in software (no long double assumed).
double ExtendedToDouble(const Byte* Bytes10);
void DoubleToExtended(double Value, Byte* Bytes10);

// Shortest general text of a double with 15 significant digits, '.' as decimal point, "E" exponents.
String FloatToText(double Value);
bool TryTextToFloat(std::u16string_view Text, double& Result);

// ---- currency and packed decimals -------------------------------------------------------------------
bool TryDoubleToCurrency(double Value, Currency& Result);
inline double CurrencyToDouble(Currency Value) { return static_cast<double>(Value.Scaled) / Currency::kScale; }
String CurrencyToText(Currency Value);
bool TryTextToCurrency(std::u16string_view Text, Currency& Result);
bool TryBcdToCurrency(const TBcd& Bcd, Currency& Result);
TBcd CurrencyToBcd(Currency Value, int Precision = 32, int Scale = 4);

}  // namespace idconv
