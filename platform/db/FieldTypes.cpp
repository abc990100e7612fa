#include "platform/db/FieldTypes.h"

#include <array>
#include <cmath>

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

TDateTime NativeDateToDateTime(std::int32_t Days) {
  return static_cast<double>(Days - kDateDelta);
}

TDateTime NativeTimeToDateTime(std::int32_t MSecs) {
  return static_cast<double>(MSecs) / kMSecsPerDay;
}

TDateTime NativeDateTimeToDateTime(double MSecs) {
  // Whole milliseconds: the stored double is always integral, a rounding guard only.
  const double ms = std::round(MSecs);
  TTimeStamp ts;
  ts.Date = static_cast<std::int32_t>(std::floor(ms / kMSecsPerDay));
  ts.Time = static_cast<std::int32_t>(ms - static_cast<double>(ts.Date) * kMSecsPerDay);
  return TimeStampToDateTime(ts);
}
