// TBcd: the platform's packed decimal (34 bytes): Precision digits, SignSpecialPlaces (bit 7 sign,
// bit 6 "special" (blank), bits 0-5 the decimal places), then two digits per byte, high nibble first.
//
// | offset | size | meaning                                                        |
// |--------|------|----------------------------------------------------------------|
// | 0      | 1    | Precision: number of digits held, 1..64                         |
// | 1      | 1    | SignSpecialPlaces: 0x80 negative, 0x40 blank, 0x3F places       |
// | 2      | 32   | Fraction: digit i in byte i/2, high nibble when i is even       |
//
// The last `places` of the `Precision` digits are decimals. Values made here are canonical: no
// leading zeros beyond one integer digit, no trailing decimal zeros, unused nibbles 0, no negative zero
// (NormalizeBcd and CurrToBCD pad to a requested precision and places instead, as the platform does).
#pragma once

#include <cstdint>

#include "platform/rtl/Currency.h"
#include "platform/rtl/String.h"

struct TBcd {
  std::uint8_t Precision = 0;
  std::uint8_t SignSpecialPlaces = 0;
  std::uint8_t Fraction[32] = {};
};
static_assert(sizeof(TBcd) == 34);

inline constexpr int kMaxBcdDigits = 64;
inline constexpr int kMaxBcdPlaces = 63;

int BcdPrecision(const TBcd& Bcd);  // Precision
int BcdScale(const TBcd& Bcd);      // the decimal places
bool IsBcdNegative(const TBcd& Bcd);
bool IsBcdZero(const TBcd& Bcd);
int BcdDigit(const TBcd& Bcd, int Index);  // digit Index (0 = most significant)

TBcd NullBcd();  // 0 with precision 1
TBcd IntegerToBcd(Int64 Value);
// Raises EBcdOverflowException "BCD overflow" when the integer part does not fit an Int64.
Int64 BcdToInt64(const TBcd& Bcd, bool Truncate = true);

// Currency ⇄ BCD. CurrToBCD pads the result to Precision digits with Decimals places (the platform's
// default 32 and 4); it returns false when the value does not fit. BCDToCurr rounds more than four
// decimals half to even and returns false when the value leaves the Currency range.
bool CurrToBCD(Currency Curr, TBcd& Bcd, int Precision = 32, int Decimals = 4);
bool BCDToCurr(const TBcd& Bcd, Currency& Curr);
// Raising forms: EBcdOverflowException "BCD overflow".
TBcd CurrencyToBcd(Currency Curr);
Currency BcdToCurrency(const TBcd& Bcd);

// Double ⇄ BCD: the double's shortest round-trip decimal text, so DoubleToBcd(0.1) is exactly 0.1.
// NaN and infinities raise EBcdOverflowException "BCD overflow".
TBcd DoubleToBcd(double Value);
double BcdToDouble(const TBcd& Bcd);

// Text ⇄ BCD with '.' (or the settings' decimal separator for the default forms, which use the
// process-wide settings): optional blanks, sign, digits, one decimal separator, an optional exponent.
// StrToBcd raises EBcdException "%s is not a valid BCD value", or EBcdOverflowException "BCD overflow"
// when more than 64 significant digits or 63 places are needed.
TBcd StrToBcd(std::u16string_view S);
bool TryStrToBcd(std::u16string_view S, TBcd& Bcd);
String BcdToStr(const TBcd& Bcd);

// Rounds (half away from zero) or pads to exactly Precision digits with Places decimals; returns false
// (Out untouched) when the integer part needs more than Precision - Places digits.
bool NormalizeBcd(const TBcd& In, TBcd& Out, int Precision, int Places);

// -1, 0 or 1; compares values, so 1.50 equals 1.5 and -0 equals 0.
int BcdCompare(const TBcd& A, const TBcd& B);
inline bool operator==(const TBcd& A, const TBcd& B) { return BcdCompare(A, B) == 0; }
