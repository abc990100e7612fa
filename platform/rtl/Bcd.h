// TBcd: the platform's packed decimal (34 bytes): Precision digits, SignSpecialPlaces (bit 7 sign,
// bits 0-5 the decimal places), then two digits per byte, high nibble first.
#pragma once

#include <cstdint>

struct TBcd {
  std::uint8_t Precision = 0;
  std::uint8_t SignSpecialPlaces = 0;
  std::uint8_t Fraction[32] = {};
};
static_assert(sizeof(TBcd) == 34);
