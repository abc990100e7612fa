#include "platform/db/FieldTypes.h"

#include <array>
#include <cmath>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

namespace {

const std::array<String, kFieldTypeCount>& FieldTypeNames() {
  // Built on first use: a static table of Strings would run constructors at start-up.
  static const std::array<String, kFieldTypeCount> kNames = {
      u"Unknown",    u"String",      u"SmallInt",      u"Integer",     u"Word",         u"Boolean",
      u"Float",      u"Currency",    u"BCD",           u"Date",        u"Time",         u"DateTime",
      u"Bytes",      u"VarBytes",    u"AutoInc",       u"Blob",        u"Memo",         u"Graphic",
      u"FmtMemo",    u"ParadoxOle",  u"DBaseOle",      u"TypedBinary", u"Cursor",       u"FixedChar",
      u"WideString", u"Largeint",    u"ADT",           u"Array",       u"Reference",    u"DataSet",
      u"OraBlob",    u"OraClob",     u"Variant",       u"Interface",   u"IDispatch",    u"Guid",
      u"TimeStamp",  u"FMTBcd",      u"FixedWideChar", u"WideMemo",    u"OraTimeStamp", u"OraInterval",
      u"LongWord",   u"Shortint",    u"Byte",          u"Extended",    u"Connection",   u"Params",
      u"Stream",     u"TimeStampOffset", u"Object",    u"Single",
  };
  return kNames;
}

}  // namespace

const String& FieldTypeName(TFieldType Type) {
  const auto& names = FieldTypeNames();
  if (Type < 0 || Type >= kFieldTypeCount) return names[ftUnknown];
  return names[static_cast<std::size_t>(Type)];
}

TFieldType FieldTypeFromName(std::u16string_view Name) {
  const auto& names = FieldTypeNames();
  for (int i = 0; i < kFieldTypeCount; ++i)
    if (SameText(names[static_cast<std::size_t>(i)], Name)) return static_cast<TFieldType>(i);
  return ftUnknown;
}

bool IsBlobFieldType(TFieldType Type) {
  return (Type >= ftBlob && Type <= ftTypedBinary) || Type == ftOraBlob || Type == ftOraClob || Type == ftWideMemo;
}

bool IsStringFieldType(TFieldType Type) {
  return Type == ftString || Type == ftFixedChar || Type == ftGuid || Type == ftWideString || Type == ftFixedWideChar;
}

bool IsWideStringFieldType(TFieldType Type) {
  return Type == ftWideString || Type == ftFixedWideChar || Type == ftWideMemo;
}

bool IsObjectFieldType(TFieldType Type) {
  return Type == ftADT || Type == ftArray || Type == ftReference || Type == ftDataSet;
}

int NativeDataSize(TFieldType Type, int Size) {
  switch (Type) {
    case ftString:
    case ftFixedChar:
    case ftGuid:
      return Size + 1;
    case ftWideString:
    case ftFixedWideChar:
      return (Size + 1) * 2;
    case ftSmallint:
    case ftWord:
    case ftBoolean:
      return 2;
    case ftInteger:
    case ftAutoInc:
    case ftLongWord:
    case ftDate:
    case ftTime:
    case ftSingle:
    case ftInterface:
    case ftIDispatch:
      return 4;
    case ftShortint:
    case ftByte:
      return 1;
    case ftLargeint:
    case ftFloat:
    case ftCurrency:
    case ftDateTime:
      return 8;
    case ftExtended:
      return 10;
    case ftBCD:
    case ftFMTBcd:
      return 34;
    case ftTimeStamp:
    case ftOraTimeStamp:
      return 16;
    case ftTimeStampOffset:
      return 20;
    case ftBytes:
      return Size;
    case ftVarBytes:
      return Size + 2;
    default:
      return 0;
  }
}

std::int32_t DateTimeToNativeDate(TDateTime Value) {
  return DateTimeToTimeStamp(Value).Date;
}

std::int32_t DateTimeToNativeTime(TDateTime Value) {
  return DateTimeToTimeStamp(Value).Time;
}

double DateTimeToNativeDateTime(TDateTime Value) {
  const TTimeStamp ts = DateTimeToTimeStamp(Value);
  return static_cast<double>(ts.Date) * kMSecsPerDay + static_cast<double>(ts.Time);
}

// Stored values come from files and engines that may hold anything: a value outside the platform's
// calendar (0001-01-01 to 9999-12-31, a time of day under 24 hours) is refused as an invalid time stamp
// rather than fed to arithmetic that would overflow.
namespace {
constexpr std::int32_t kMaxNativeDay = 3652059;  // 9999-12-31

[[noreturn]] void InvalidNativeStamp(Int64 Date, Int64 Time) {
  throw EConvertError(Format(msg::SInvalidTimeStamp, {Date, Time}));
}

// A day count for the message; NaN and values past the 64-bit range show as 0.
Int64 DayForMessage(double Days) { return std::fabs(Days) < 9.2e18 ? static_cast<Int64>(Days) : 0; }
}  // namespace

TDateTime NativeDateToDateTime(std::int32_t Days) {
  if (Days < 1 || Days > kMaxNativeDay) InvalidNativeStamp(Days, 0);
  return static_cast<double>(Days - kDateDelta);
}
TDateTime NativeTimeToDateTime(std::int32_t MSecs) {
  if (MSecs < 0 || MSecs >= kMSecsPerDay) InvalidNativeStamp(0, MSecs);
  return static_cast<double>(MSecs) / kMSecsPerDay;
}
TDateTime NativeDateTimeToDateTime(double MSecs) {
  // Whole milliseconds: the stored double is always integral, a rounding guard only.
  const double ms = std::round(MSecs);
  const double days = std::floor(ms / kMSecsPerDay);
  if (!(days >= 1 && days <= kMaxNativeDay)) InvalidNativeStamp(DayForMessage(days), 0);  // NaN fails too
  TTimeStamp ts;
  ts.Date = static_cast<std::int32_t>(days);
  ts.Time = static_cast<std::int32_t>(ms - days * kMSecsPerDay);
  return TimeStampToDateTime(ts);
}
