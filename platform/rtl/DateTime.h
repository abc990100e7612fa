// Dates and times: TDateTime counts days from 1899-12-30 with the time of day as the fraction.
#pragma once

#include <cstdint>

using TDateTime = double;
using TDate = double;
using TTime = double;

// Date: days from 0001-01-01 plus one; Time: milliseconds of the day.
struct TTimeStamp {
  std::int32_t Time = 0;
  std::int32_t Date = 0;
};

struct TSQLTimeStamp {
  std::int16_t Year = 0;
  std::uint16_t Month = 0;
  std::uint16_t Day = 0;
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint32_t Fractions = 0;  // milliseconds
};
static_assert(sizeof(TSQLTimeStamp) == 16);

struct TSQLTimeStampOffset {
  std::int16_t Year = 0;
  std::uint16_t Month = 0;
  std::uint16_t Day = 0;
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint32_t Fractions = 0;
  std::int16_t TimeZoneHour = 0;
  std::int16_t TimeZoneMinute = 0;
};
static_assert(sizeof(TSQLTimeStampOffset) == 20);
