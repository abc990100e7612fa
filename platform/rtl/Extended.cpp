#include "platform/rtl/Extended.h"

#include <bit>
#include <cstring>

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
