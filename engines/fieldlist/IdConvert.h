// Value conversions of the field-list store that the runtime does not give in the store's form: the
// checked forms of the date conversions (a native value outside 0001-01-01 .. 9999-12-31 is no date),
// the fixed text forms the getters produce and accept, and 80-bit floats read as the store reads them.
// Text to date-time, float to text and double to currency are the runtime's own, so that a value reads
// the same here as everywhere else. Everything else comes straight from the runtime (DateTime.h,
// Extended.h, SysUtils.h, Bcd.h) and platform/db's native date forms.
//
// Every function here is total: the Try forms return false instead of raising, and the getters of the
// store turn a false into their empty value. Nothing allocates except the functions that return text.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/rtl/Bcd.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/String.h"

namespace idconv {

// ---- dates ------------------------------------------------------------------------------------------
inline constexpr std::int32_t kMaxDayNumber = 3652059;  // 9999-12-31 as a native day number

// Day number (0001-01-01 = 1) of a calendar date; false for a date outside 0001-01-01 .. 9999-12-31.
inline bool TryEncodeDayNumber(int Year, int Month, int Day, std::int32_t& DayNumber) {
  TDateTime date;
  if (!TryEncodeDate(Year, Month, Day, date)) return false;
  DayNumber = static_cast<std::int32_t>(date) + DateDelta;
  return true;
}

// Whether TryNativeDateTimeToDateTime takes MSecs, by two compares (a load checks every row's value):
// the value rounded to whole milliseconds (halves away from zero) lies in days 1 .. kMaxDayNumber.
inline bool IsNativeDateTime(double MSecs) {
  return MSecs >= MSecsPerDay - 0.5 && MSecs < (kMaxDayNumber + 1.0) * MSecsPerDay - 0.5;
}

// DateTimeToTimeStamp, false when the value has no calendar date (years 1..9999).
bool TryDateTimeToTimeStamp(TDateTime Value, TTimeStamp& Result);
// DateTimeToSQLTimeStamp, false when the value has no calendar date.
bool TryDateTimeToSQLTimeStamp(TDateTime Value, TSQLTimeStamp& Result);
// The runtime's; its all-zero stamp reads as 0, which is also what the store makes of a stamp it
// cannot read.
using ::TrySQLTimeStampToDateTime;

// Native ftDate day numbers, ftTime milliseconds and ftDateTime milliseconds to TDateTime; false for a
// value outside the calendar (or a time outside the day).
bool TryNativeDateToDateTime(std::int32_t Days, TDateTime& Result);
bool TryNativeTimeToDateTime(std::int32_t MSecs, TDateTime& Result);
bool TryNativeDateTimeToDateTime(double MSecs, TDateTime& Result);

// "YYYY-MM-DD", "HH:NN:SS.ZZZ", "YYYY-MM-DD HH:NN:SS.ZZZ"; false when the value has no calendar date.
bool TryFormatDate(TDateTime Value, String& Text);
bool TryFormatTime(TDateTime Value, String& Text);
bool TryFormatDateTime(TDateTime Value, String& Text);

// Text to date-time: TryStrToDateTime with the system's format settings, '-' as date separator when
// the text holds one ("20-1-2" is 2020-01-02, "1-2" the 2nd of January this year, "1:02 PM" 13:02).
bool TryTextToDateTime(std::u16string_view Text, TDateTime& Result);

// ---- floating point ---------------------------------------------------------------------------------
// The 10-byte extended form, little-endian. Writing is the runtime's; reading is the store's own: it
// rounds the 64-bit significand to 53 bits before scaling (so a result in the double denormals is
// rounded twice) and reads a pseudo-infinity as infinity, where the runtime rounds once and gives NaN.
double ExtendedToDouble(const Byte* Bytes10);
inline void DoubleToExtended(double Value, Byte* Bytes10) {
  const TExtended80Rec r = ::DoubleToExtended(Value);
  for (int i = 0; i < 10; ++i) Bytes10[i] = r[i];
}

// FloatToStr with '.' as decimal point: 15 significant digits, "E" exponents below 1E-4 ("5E-5").
String FloatToText(double Value);
// TryStrToFloat with '.' as decimal point, refusing INF and NAN.
bool TryTextToFloat(std::u16string_view Text, double& Result);

// ---- currency and packed decimals -------------------------------------------------------------------
// Currency::TryFromDouble: the double's shortest decimal rounded (0.00015 → 0.0002), as everywhere
// else in the system.
bool TryDoubleToCurrency(double Value, Currency& Result);
// Through a double, so with the rounding above.
bool TryTextToCurrency(std::u16string_view Text, Currency& Result);
// CurrToStr with '.' as decimal point.
String CurrencyToText(Currency Value);
// Rounds more than four decimals half away from zero by the fifth decimal alone and never allocates;
// BCDToCurr rounds half to even through a text form.
bool TryBcdToCurrency(const TBcd& Bcd, Currency& Result);
// CurrToBCD padded to 32 digits with 4 decimals, the form the store keeps.
TBcd CurrencyToBcd(Currency Value);

}  // namespace idconv
