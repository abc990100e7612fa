// Currency: a fixed-point number, the value times 10,000 in an Int64, as the platform keeps money.
#pragma once

#include "platform/rtl/String.h"

struct Currency {
  Int64 Scaled = 0;  // value × 10,000

  static constexpr Int64 kScale = 10000;
  static constexpr Currency FromScaled(Int64 scaled) { return Currency{scaled}; }
  friend constexpr bool operator==(Currency a, Currency b) { return a.Scaled == b.Scaled; }
  friend constexpr auto operator<=>(Currency a, Currency b) { return a.Scaled <=> b.Scaled; }
};
