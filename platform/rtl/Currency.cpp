#include "platform/rtl/Currency.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/FloatDecimal.h"

namespace {

using Int128 = __int128;

constexpr Int128 kMin = std::numeric_limits<Int64>::min();
constexpr Int128 kMax = std::numeric_limits<Int64>::max();

Int64 Checked(Int128 v) {
  if (v < kMin || v > kMax) throw EOverflow(String(msg::SOverflow));
  return static_cast<Int64>(v);
}

// num / den rounded half to even.
Int128 DivideHalfEven(Int128 num, Int128 den) {
  Int128 q = num / den;
  const Int128 r = num % den;
  if (r != 0) {
    const Int128 twice = (r < 0 ? -r : r) * 2;
    const Int128 absDen = den < 0 ? -den : den;
    const bool negative = (num < 0) != (den < 0);
    if (twice > absDen || (twice == absDen && (q % 2 != 0))) q += negative ? -1 : 1;
  }
  return q;
}

}  // namespace

bool Currency::TryFromDouble(double value, Currency& result) {
  if (!std::isfinite(value)) return false;
  // The rule: the double's shortest round-trip decimal (the number as written), rounded half to even
  // at the fourth decimal. Most values are far from a tie: for them the product value × 10,000 rounds
  // the same way (its error is below 2^-12 when |product| < 2^40), and no text is made.
  const double product = value * static_cast<double>(kScale);
  if (std::fabs(product) < 0x1p40) {
    const double whole = std::floor(product);
    const double fraction = product - whole;  // exact
    if (std::fabs(fraction - 0.5) > 1e-3) {
      result.Scaled = static_cast<Int64>(fraction < 0.5 ? whole : whole + 1);
      return true;
    }
  }
  char buf[40];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  if (ec != std::errc()) return false;
  Int64 scaled;
  if (!rtl_detail::ScaledFromAscii(std::string_view(buf, static_cast<size_t>(end - buf)), 4, scaled)) return false;
  result.Scaled = scaled;
  return true;
}

Currency Currency::FromDouble(double value) {
  Currency c;
  if (!TryFromDouble(value, c)) throw EInvalidOp(u"Invalid floating point operation");
  return c;
}

Currency operator+(Currency a, Currency b) { return Currency{Checked(Int128{a.Scaled} + b.Scaled)}; }
Currency operator-(Currency a, Currency b) { return Currency{Checked(Int128{a.Scaled} - b.Scaled)}; }
Currency operator-(Currency a) { return Currency{Checked(-Int128{a.Scaled})}; }

Currency operator*(Currency a, Currency b) {
  return Currency{Checked(DivideHalfEven(Int128{a.Scaled} * b.Scaled, Currency::kScale))};
}

Currency operator/(Currency a, Currency b) {
  if (b.Scaled == 0) throw EZeroDivide(u"Floating point division by zero");
  return Currency{Checked(DivideHalfEven(Int128{a.Scaled} * Currency::kScale, b.Scaled))};
}

double RoundToCurrencyPlaces(double value) {
  Currency c;
  return Currency::TryFromDouble(value, c) ? c.ToDouble() : value;
}
