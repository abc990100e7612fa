// Currency: a fixed-point number, the value times 10,000 in an Int64, as the platform keeps money.
//
// One rounding rule everywhere a value gains more than four decimals: round half to even (banker's
// rounding) at the fourth decimal. A double is taken as the decimal it stands for — its shortest
// round-trip text, the number as written — so 0.00005 → 0, 0.00015 → 0.0002, 0.00025 → 0.0002 and
// 922337203685477.0 is exact (a product value × 10,000 in binary would turn 0.00015 into 1.4999999…).
// Products, quotients, StrToCurr and BCDToCurr round their exact results the same way. Text forms are in
// SysUtils.h (CurrToStr, StrToCurr).
#pragma once

#include "platform/rtl/String.h"

struct Currency {
  Int64 Scaled = 0;  // value × 10,000

  static constexpr Int64 kScale = 10000;
  static constexpr Currency FromScaled(Int64 scaled) { return Currency{scaled}; }
  static constexpr Currency FromInt(Int64 units) { return Currency{units * kScale}; }
  // Raises EInvalidOp "Invalid floating point operation" for NaN, infinities and values outside
  // ±922337203685477.5807.
  static Currency FromDouble(double value);
  static bool TryFromDouble(double value, Currency& result);
  double ToDouble() const { return static_cast<double>(Scaled) / kScale; }

  friend constexpr bool operator==(Currency a, Currency b) { return a.Scaled == b.Scaled; }
  friend constexpr auto operator<=>(Currency a, Currency b) { return a.Scaled <=> b.Scaled; }

  // Arithmetic raises EOverflow "Floating point overflow" when a result leaves the Int64 range, and
  // EZeroDivide "Floating point division by zero" on division by zero.
  friend Currency operator+(Currency a, Currency b);
  friend Currency operator-(Currency a, Currency b);
  friend Currency operator-(Currency a);
  friend Currency operator*(Currency a, Currency b);
  friend Currency operator/(Currency a, Currency b);
  Currency& operator+=(Currency b) { return *this = *this + b; }
  Currency& operator-=(Currency b) { return *this = *this - b; }
  Currency& operator*=(Currency b) { return *this = *this * b; }
  Currency& operator/=(Currency b) { return *this = *this / b; }
};
static_assert(sizeof(Currency) == 8);

inline Currency DoubleToCurr(double value) { return Currency::FromDouble(value); }
inline double CurrToDouble(Currency value) { return value.ToDouble(); }
// Rounds a double to four decimals by the Currency rule (half to even of value × 10,000).
double RoundToCurrencyPlaces(double value);
