// The decimal form behind every number-to-text conversion of the runtime (FloatToStrF, FormatFloat,
// Format's e/f/g/n/m, CurrToStr, BCD text). Internal to platform/rtl; other modules call SysUtils.h.
//
// A value is 0.d1d2...dn × 10^Exponent, as the platform's TFloatRec. A double is first taken to 18
// significant digits (its exact binary value rounded to nearest, as the platform's 80-bit conversion
// gives), then rounded to what the format asks with round half away from zero on those digits: so
// 0.125 shows as "0.13" with two decimals and 2.675 (really 2.67499999999999982...) as "2.67".
#pragma once

#include <string>

#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/String.h"

enum class TFloatFormat;

namespace rtl_detail {

struct TDecimal {
  bool Negative = false;
  bool Nan = false;
  bool Infinite = false;
  int Exponent = 0;    // position of the decimal point relative to the first digit
  std::string Digits;  // '0'-'9', no leading or trailing zeros; empty for zero
};

TDecimal DecimalFromDouble(double Value);
TDecimal DecimalFromScaled(Int64 Scaled, int Scale);  // Scaled × 10^-Scale, exact
// Keeps at most Precision significant digits and at most Decimals digits after the point, rounding
// half away from zero; a value that rounds to zero loses its sign.
void RoundDecimal(TDecimal& D, int Precision, int Decimals);

// A decimal number in ASCII ("-12.345e-2") times 10^scale, rounded half to even; false when the text
// is malformed or the result leaves the Int64 range.
bool ScaledFromAscii(std::string_view Ascii, int Scale, Int64& Result);

// The platform's FloatToText over a decimal (not yet rounded).
String DecimalToText(TDecimal D, TFloatFormat Format, int Precision, int Digits, const TFormatSettings& Settings);
// A decimal number in ASCII ("-12.345e-2") times 10^scale, rounded half to even; false when the text
// is malformed or the result leaves the Int64 range.
bool ScaledFromAscii(std::string_view Ascii, int Scale, Int64& Result);

// The platform's FloatToTextFmt (FormatFloat pictures).
String DecimalToTextFmt(const TDecimal& Value, std::u16string_view Format, const TFormatSettings& Settings);

}  // namespace rtl_detail
