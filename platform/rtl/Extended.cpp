#include "platform/rtl/Extended.h"

#include <bit>
#include <cstring>

#include "platform/rtl/Currency.h"

namespace {

constexpr std::uint64_t kIntegerBit = std::uint64_t{1} << 63;
constexpr int kExtBias = 16383;
constexpr int kDoubleBias = 1023;

void Store(std::uint8_t* out, std::uint64_t significand, std::uint16_t signExponent) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(significand >> (8 * i));
  out[8] = static_cast<std::uint8_t>(signExponent);
  out[9] = static_cast<std::uint8_t>(signExponent >> 8);
}

}  // namespace

void DoubleToExtended(double Value, std::uint8_t (&Bytes)[10]) {
  const auto bits = std::bit_cast<std::uint64_t>(Value);
  const std::uint16_t sign = (bits >> 63) ? 0x8000 : 0;
  const int exponent = static_cast<int>((bits >> 52) & 0x7FF);
  const std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  std::uint64_t significand;
  int extExponent;
  if (exponent == 0x7FF) {  // infinity or NaN: the payload moves up, the quiet bit lands on bit 62
    significand = kIntegerBit | (mantissa << 11);
    extExponent = 0x7FFF;
  } else if (exponent == 0) {
    if (mantissa == 0) {
      significand = 0;
      extExponent = 0;
    } else {  // a double denormal is a normal extended number
      const int shift = std::countl_zero(mantissa);
      significand = mantissa << shift;
      extExponent = 63 - 1074 - shift + kExtBias;
    }
  } else {
    significand = kIntegerBit | (mantissa << 11);
    extExponent = exponent - kDoubleBias + kExtBias;
  }
  Store(Bytes, significand, static_cast<std::uint16_t>(sign | extExponent));
}

TExtended80Rec DoubleToExtended(double Value) {
  std::uint8_t bytes[10];
  DoubleToExtended(Value, bytes);
  TExtended80Rec r;
  std::memcpy(r.data(), bytes, 10);
  return r;
}

double ExtendedToDouble(const std::uint8_t* Bytes) {
  std::uint64_t significand = 0;
  for (int i = 7; i >= 0; --i) significand = (significand << 8) | Bytes[i];
  const std::uint16_t signExponent = static_cast<std::uint16_t>(Bytes[8] | (Bytes[9] << 8));
  const std::uint64_t sign = static_cast<std::uint64_t>(signExponent >> 15) << 63;
  const int exponent = signExponent & 0x7FFF;
  constexpr std::uint64_t kMantissaMask = (std::uint64_t{1} << 52) - 1;
  constexpr std::uint64_t kInfinity = std::uint64_t{0x7FF} << 52;

  if (exponent == 0x7FFF) {
    const std::uint64_t fraction = significand & ~kIntegerBit;
    if (fraction == 0 && (significand & kIntegerBit)) return std::bit_cast<double>(sign | kInfinity);
    // NaN (pseudo-NaN and pseudo-infinity included): keep the top 52 fraction bits.
    std::uint64_t mantissa = (fraction >> 11) & kMantissaMask;
    if (mantissa == 0) mantissa = std::uint64_t{1} << 51;
    return std::bit_cast<double>(sign | kInfinity | mantissa);
  }
  if (significand == 0) return std::bit_cast<double>(sign);

  // value = significand × 2^(e - bias - 63), e = 1 for the denormal encodings.
  const int effective = exponent == 0 ? 1 : exponent;
  const int lz = std::countl_zero(significand);
  significand <<= lz;
  int x = effective - kExtBias - lz;  // value = 1.f × 2^x
  if (x > kDoubleBias) return std::bit_cast<double>(sign | kInfinity);

  if (x >= 1 - kDoubleBias) {  // a normal double: keep 53 bits, round half to even
    std::uint64_t m = significand >> 11;
    const std::uint64_t rest = significand & 0x7FF;
    if (rest > 0x400 || (rest == 0x400 && (m & 1))) ++m;
    if (m == (std::uint64_t{1} << 53)) {
      m >>= 1;
      ++x;
      if (x > kDoubleBias) return std::bit_cast<double>(sign | kInfinity);
    }
    return std::bit_cast<double>(sign | (static_cast<std::uint64_t>(x + kDoubleBias) << 52) | (m & kMantissaMask));
  }

  // A double denormal (or zero): units of 2^-1074.
  const int shift = -1011 - x;  // > 11
  if (shift > 64) return std::bit_cast<double>(sign);
  const unsigned __int128 wide = significand;
  std::uint64_t m = static_cast<std::uint64_t>(wide >> shift);
  const unsigned __int128 rest = wide & ((static_cast<unsigned __int128>(1) << shift) - 1);
  const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
  if (rest > half || (rest == half && (m & 1))) ++m;  // reaching 2^52 gives the smallest normal
  return std::bit_cast<double>(sign | m);
}

double ExtendedToDouble(const TExtended80Rec& Value) { return ExtendedToDouble(Value.data()); }

// ---- exact integer and currency forms ----

namespace {

using u128 = unsigned __int128;

// Builds the extended number Magnitude × 2^Scale (Magnitude < 2^127) rounded to 64 significant bits,
// ties to even.
TExtended80Rec ComposeExtended(bool Negative, u128 Magnitude, int Scale, bool Sticky) {
  TExtended80Rec out{};
  if (Magnitude == 0) {
    Store(out.data(), 0, Negative ? 0x8000 : 0);
    return out;
  }
  const int top = 127 - (Magnitude >> 64 ? std::countl_zero(static_cast<std::uint64_t>(Magnitude >> 64))
                                         : 64 + std::countl_zero(static_cast<std::uint64_t>(Magnitude)));
  std::uint64_t significand;
  if (top <= 63) {
    significand = static_cast<std::uint64_t>(Magnitude) << (63 - top);
  } else {
    const int drop = top - 63;
    significand = static_cast<std::uint64_t>(Magnitude >> drop);
    const u128 rest = Magnitude & ((u128{1} << drop) - 1);
    const u128 half = u128{1} << (drop - 1);
    const bool roundUp = rest > half || (rest == half && (Sticky || (significand & 1)));
    if (roundUp && ++significand == 0) {
      significand = kIntegerBit;
      ++Scale;
    }
  }
  const int exponent = top + Scale + kExtBias;
  Store(out.data(), significand, static_cast<std::uint16_t>(exponent | (Negative ? 0x8000 : 0)));
  return out;
}

// Rounds |Value| × Multiplier to the nearest integer (ties to even); false for NaN, infinities and
// magnitudes of 2^64 or more.
bool RoundExtendedTimes(const TExtended80Rec& Value, std::uint64_t Multiplier, bool& Negative,
                        std::uint64_t& Magnitude) {
  std::uint64_t significand = 0;
  for (int i = 0; i < 8; ++i) significand |= std::uint64_t{Value[static_cast<std::size_t>(i)]} << (8 * i);
  const int signExponent = Value[8] | (Value[9] << 8);
  Negative = (signExponent & 0x8000) != 0;
  const int exponent = signExponent & 0x7FFF;
  if (exponent == 0x7FFF) return false;
  const u128 product = u128{significand} * Multiplier;  // < 2^78
  // Value = significand × 2^(exponent - bias - 63); a zero exponent field is the denormal scale.
  const int shift = (exponent == 0 ? 1 : exponent) - kExtBias - 63;
  if (product == 0) {
    Magnitude = 0;
    return true;
  }
  if (shift >= 0) {
    if (shift >= 64) return false;
    const u128 r = product << shift;
    if ((r >> shift) != product || (r >> 64) != 0) return false;
    Magnitude = static_cast<std::uint64_t>(r);
    return true;
  }
  const int drop = -shift;
  if (drop > 100) {
    Magnitude = 0;
    return true;
  }
  const u128 whole = product >> drop;
  const u128 rest = product & ((u128{1} << drop) - 1);
  const u128 half = u128{1} << (drop - 1);
  u128 r = whole + ((rest > half || (rest == half && (whole & 1))) ? 1 : 0);
  if ((r >> 64) != 0) return false;
  Magnitude = static_cast<std::uint64_t>(r);
  return true;
}

bool FitsInt64(bool Negative, std::uint64_t Magnitude, std::int64_t& Result) {
  if (Negative) {
    if (Magnitude > (std::uint64_t{1} << 63)) return false;
    Result = static_cast<std::int64_t>(0 - Magnitude);
  } else {
    if (Magnitude >= (std::uint64_t{1} << 63)) return false;
    Result = static_cast<std::int64_t>(Magnitude);
  }
  return true;
}

}  // namespace

TExtended80Rec Int64ToExtended(std::int64_t Value) {
  const bool negative = Value < 0;
  const std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(Value) : static_cast<std::uint64_t>(Value);
  return ComposeExtended(negative, magnitude, 0, false);
}

bool TryExtendedToInt64(const TExtended80Rec& Value, std::int64_t& Result) {
  bool negative;
  std::uint64_t magnitude;
  return RoundExtendedTimes(Value, 1, negative, magnitude) && FitsInt64(negative, magnitude, Result);
}

TExtended80Rec CurrencyToExtended(const Currency& Value) {
  const bool negative = Value.Scaled < 0;
  std::uint64_t magnitude =
      negative ? 0 - static_cast<std::uint64_t>(Value.Scaled) : static_cast<std::uint64_t>(Value.Scaled);
  if (magnitude == 0) return ComposeExtended(negative, 0, 0, false);
  // The quotient keeps 70 or more significant bits; the remainder only says "more than shown".
  const int lz = std::countl_zero(magnitude);
  const u128 numerator = u128{magnitude << lz} << 63;
  const u128 quotient = numerator / static_cast<u128>(Currency::kScale);
  const bool sticky = numerator % static_cast<u128>(Currency::kScale) != 0;
  return ComposeExtended(negative, quotient, -(63 + lz), sticky);
}

bool TryExtendedToCurrency(const TExtended80Rec& Value, Currency& Result) {
  bool negative;
  std::uint64_t magnitude;
  std::int64_t scaled;
  if (!RoundExtendedTimes(Value, static_cast<std::uint64_t>(Currency::kScale), negative, magnitude) ||
      !FitsInt64(negative, magnitude, scaled))
    return false;
  Result = Currency::FromScaled(scaled);
  return true;
}
