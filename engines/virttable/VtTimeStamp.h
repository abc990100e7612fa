// SQL time stamps with a time-zone offset: comparison, validity, parsing of a text that ends in
// " +hh:nn" / " -hh:nn", shifting between wall-clock and UTC time, and a text formatter driven by a
// date-time format string.
//
// The offset is TimeZoneHour (-12..14) and TimeZoneMinute (0..59, 0 at hour 14). An offset below one
// hour behind UTC ("-00:30") has no negative hour to carry its sign, so it is held as TimeZoneHour 0
// and a negative TimeZoneMinute (-30); every operation here reads the offset's sign that way, so the
// text "-00:30" keeps meaning thirty minutes behind UTC through shifts, comparison and text.
#pragma once

#include "platform/rtl/DateTime.h"
#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/String.h"

namespace vt {

// Year, Month, Day, Hour, Minute, Second as unsigned 16-bit numbers (the year too), then Fractions:
// -1, 0 or 1.
int CompareSQLTimeStamps(const TSQLTimeStamp& A, const TSQLTimeStamp& B);
// Both moved to UTC first; the first nonzero component difference, unreduced.
int CompareSQLTimeStampOffsets(const TSQLTimeStampOffset& A, const TSQLTimeStampOffset& B);
bool IsNullSQLTimeStampOffset(const TSQLTimeStampOffset& T);
// Month 1..12, Day 1..days of the month, Hour <= 23, Minute and Second <= 59, offset as above.
bool IsValidSQLTimeStampOffset(const TSQLTimeStampOffset& T);
// Offset in minutes east of UTC (negative: behind).
int OffsetMinutes(const TSQLTimeStampOffset& T);
// 0 for the null stamp; the offset is not applied. Raises EConvertError for invalid components.
double SQLTimeStampOffsetToDateTimeValue(const TSQLTimeStampOffset& T);

// U: T's wall-clock time moved to UTC (offset fields kept). Unchanged for a zero offset.
void ShiftToUTC(const TSQLTimeStampOffset& T, TSQLTimeStampOffset& U);
// L: T taken as UTC moved forward by its offset.
void ShiftToOffsetTime(const TSQLTimeStampOffset& T, TSQLTimeStampOffset& L);

// A date-time text, optionally followed by a blank, a sign and "hh:nn". Fails (False, null stamp) for
// an empty or unreadable text and for a stamp that is not valid. Precision: fraction digits kept.
bool TryParseSQLTimeStampOffset(std::u16string_view Text, TSQLTimeStampOffset& T, int Precision = 3);
// Raises EConvertError "Could not parse SQL TimeStamp string".
void ParseSQLTimeStampOffset(std::u16string_view Text, int Precision, TSQLTimeStampOffset& T);
// The digits after the seconds' decimal separator, padded with zeros to Precision digits; 0 when the
// text has none.
std::uint32_t ReadFractionDigits(std::u16string_view Text, const TFormatSettings& Settings, int Precision);

// The stamp (offset ignored) as text by a date-time picture; an empty Format means "C". Specifiers:
// / : AM/PM A/P AMPM AAA AAAA C d..dddddd e..eee g gg h hh m..mmmm n nn s ss t tt yy yyyy z..zzzzzzz,
// quoted text copied; a letter's run length (any case) selects its form.
String FormatSQLTimeStamp(std::u16string_view Format, const TSQLTimeStamp& T, const TFormatSettings& Settings);
String FormatSQLTimeStamp(std::u16string_view Format, const TSQLTimeStampOffset& T, const TFormatSettings& Settings);

// The text form of a time-stamp-with-offset value: the stamp by Format (empty: the default), then
// " +" or " -" and the offset as "hh:nn".
String SQLTimeStampOffsetToText(const TSQLTimeStampOffset& T, std::u16string_view Format,
                                const TFormatSettings& Settings);

}  // namespace vt
