// The date and decimal helpers under Variant's conversions: SQL time stamps to and from date-times
// and text (over the runtime's date functions), and an exact decimal for FMT BCD values and their
// arithmetic, and for currency read from text. Internal to Variant; every operation reports a
// bad input by returning false, so Variant can raise its own error with both kind names.
#pragma once

#include <string>

#include "platform/rtl/Bcd.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/String.h"

namespace variant_text {

// ---- dates ------------------------------------------------------------------------------------------
// The platform's date-time text (DateTimeToStr); a value outside years 1..9999 gives its serial number.
String DateTimeToText(double value);
// The platform's StrToDateTime with the process-wide settings.
bool TryTextToDateTime(std::u16string_view text, double& value);

// An all-zero stamp is date-time 0, as the platform treats it.
bool TryTimeStampToDateTime(const TSQLTimeStamp& ts, double& value);
bool TryTimeStampOffsetToDateTime(const TSQLTimeStampOffset& ts, double& value);
bool TryDateTimeToTimeStamp(double value, TSQLTimeStamp& ts);
// The date-time text, followed by " +hh:mm" for a stamp with offset.
bool TryTimeStampToText(const TSQLTimeStamp& ts, String& text);
bool TryTimeStampOffsetToText(const TSQLTimeStampOffset& ts, String& text);
// A date-time text with an optional trailing "+hh:mm" / "-hh:mm".
bool TryTextToTimeStampOffset(std::u16string_view text, TSQLTimeStampOffset& ts);
// The moment in UTC milliseconds from 0001-01-01, for ordering stamps of different offsets.
bool TimeStampOffsetToUtcMs(const TSQLTimeStampOffset& ts, Int64& ms);

// ---- exact decimals ---------------------------------------------------------------------------------
// Digits × 10^-Scale. Normal form: no leading zeros, no trailing fractional zeros, zero is "" and not
// negative.
struct Decimal {
  bool Negative = false;
  std::string Digits;  // '0'..'9', most significant first
  int Scale = 0;
};

// useSettings: the decimal separator of the format settings, else '.'.
bool ParseDecimal(std::u16string_view text, Decimal& value, bool useSettings);
String DecimalToText(const Decimal& value);
Decimal DecimalFromScaled(Int64 scaled, int places);
Decimal DecimalFromUInt64(UInt64 value);
// Shortest text that reads back as the same double.
Decimal DecimalFromDouble(double value);
double DecimalToDouble(const Decimal& value);
// Rounds to `places` (ties to even); false when it does not fit an Int64.
bool DecimalToScaled(const Decimal& value, int places, Int64& scaled);
// Validates the record (precision up to 64, places up to the precision, every nibble a digit).
bool DecimalFromBcd(const TBcd& bcd, Decimal& value);
// Rounds excess decimals away (64 digits at most, 63 places); false when the integer part is too long.
bool DecimalToBcd(const Decimal& value, TBcd& bcd);
int CompareDecimals(const Decimal& a, const Decimal& b);
Decimal AddDecimals(const Decimal& a, const Decimal& b);
Decimal SubDecimals(const Decimal& a, const Decimal& b);
Decimal MulDecimals(const Decimal& a, const Decimal& b);

}  // namespace variant_text
