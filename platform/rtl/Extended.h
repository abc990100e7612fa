// The x87 80-bit extended format in software: conversions between double and the 10-byte little-endian
// layout the platform stores (Extended fields, streams of 32-bit builds).
//
// | bytes | meaning                                                                   |
// |-------|---------------------------------------------------------------------------|
// | 0..7  | significand, 64 bits, bit 63 the explicit integer bit                     |
// | 8..9  | bits 0-14 the exponent (bias 16383), bit 15 the sign                       |
//
// DoubleToExtended is exact for every double (denormals become normal extended numbers, infinities,
// NaNs keep their sign and payload, -0 stays -0), and ExtendedToDouble gives that double back bit for
// bit. Other extended values round to nearest, ties to even, overflowing to ±infinity and underflowing
// through the double denormals to ±0; a NaN's payload keeps its top 52 bits. Unnormals and
// pseudo-denormals (integer bit clear) read as their numeric value; pseudo-NaN/infinity read as NaN.
#pragma once

#include <array>
#include <cstdint>

using TExtended80Rec = std::array<std::uint8_t, 10>;

TExtended80Rec DoubleToExtended(double Value);
double ExtendedToDouble(const TExtended80Rec& Value);
void DoubleToExtended(double Value, std::uint8_t (&Bytes)[10]);
double ExtendedToDouble(const std::uint8_t* Bytes);  // 10 bytes

// Exact integer and currency forms. Every Int64 fits the 64-bit significand, so Int64ToExtended is
// exact; a currency value (Scaled / 10,000) is rounded once to the nearest extended (ties to even),
// which is close enough that TryExtendedToCurrency gives the same Scaled back for every currency.
// The readers round to the nearest integer (ties to even) and return false for NaN, infinities and
// values outside the target's range. Nothing here goes through double.
struct Currency;
TExtended80Rec Int64ToExtended(std::int64_t Value);
bool TryExtendedToInt64(const TExtended80Rec& Value, std::int64_t& Result);
TExtended80Rec CurrencyToExtended(const Currency& Value);
bool TryExtendedToCurrency(const TExtended80Rec& Value, Currency& Result);
