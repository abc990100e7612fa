#include "engines/mdb/runtime/MdbTypeTable.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

const std::array<TSQLFieldType, kSQLFieldTypeCount> SQLFieldTypes = {{
    {"CHAR", aftChar, bftChar, ftFixedChar},
    {"FIXEDCHAR", aftChar, bftChar, ftFixedChar},
    {"STRING", aftString, bftVarchar, ftString},
    {"VARCHAR", aftString, bftVarchar, ftString},
    {"VARCHAR2", aftString, bftVarchar, ftString},
    {"WIDECHAR", aftWideChar, bftWideChar, ftWideString},
    {"FIXEDWIDECHAR", aftWideChar, bftWideChar, ftFixedWideChar},
    {"WIDESTRING", aftWideString, bftWideVarchar, ftWideString},
    {"WIDEVARCHAR", aftWideString, bftWideVarchar, ftWideString},
    {"SIGNEDINT16", aftSmallint, bftSignedInt16, ftSmallint},
    {"SMALLINT", aftSmallint, bftSignedInt16, ftSmallint},
    {"INTEGER", aftInteger, bftSignedInt32, ftInteger},
    {"SIGNEDINT32", aftInteger, bftSignedInt32, ftInteger},
    {"SIGNEDINT64", aftLargeint, bftSignedInt64, ftLargeint},
    {"LARGEINT", aftLargeint, bftSignedInt64, ftLargeint},
    {"INT64", aftLargeint, bftSignedInt64, ftLargeint},
    {"UNSIGNEDINT16", aftWord, bftUnsignedInt16, ftWord},
    {"WORD", aftWord, bftUnsignedInt16, ftWord},
    {"SIGNEDINT8", aftShortint, bftSignedInt8, ftShortint},
    {"SHORTINT", aftShortint, bftSignedInt8, ftShortint},
    {"UNSIGNEDINT8", aftByte, bftUnsignedInt8, ftByte},
    {"BYTE", aftByte, bftUnsignedInt8, ftByte},
    {"UNSIGNEDINT32", aftCardinal, bftUnsignedInt32, ftLongWord},
    {"CARDINAL", aftCardinal, bftUnsignedInt32, ftLongWord},
    {"AUTOINC", aftAutoInc, bftSignedInt32, ftAutoInc},
    {"AUTOINCSHORTINT", aftAutoIncShortint, bftSignedInt8, ftAutoInc},
    {"AUTOINCSMALLINT", aftAutoIncSmallint, bftSignedInt16, ftAutoInc},
    {"AUTOINCINTEGER", aftAutoIncInteger, bftSignedInt32, ftAutoInc},
    {"AUTOINCLARGEINT", aftAutoIncLargeint, bftSignedInt64, ftLargeint},
    {"AUTOINCBYTE", aftAutoIncByte, bftUnsignedInt8, ftAutoInc},
    {"AUTOINCWORD", aftAutoIncWord, bftUnsignedInt16, ftAutoInc},
    {"AUTOINCCARDINAL", aftAutoIncCardinal, bftUnsignedInt32, ftAutoInc},
    {"FLOAT", aftDouble, bftDouble, ftFloat},
    {"SINGLE", aftSingle, bftSingle, ftFloat},
    {"DOUBLE", aftDouble, bftDouble, ftFloat},
    {"EXTENDED", aftExtended, bftExtended, ftFloat},
    {"LOGICAL", aftBoolean, bftLogical, ftBoolean},
    {"BOOLEAN", aftBoolean, bftLogical, ftBoolean},
    {"BOOL", aftBoolean, bftLogical, ftBoolean},
    {"BIT", aftBoolean, bftLogical, ftBoolean},
    {"CURRENCY", aftCurrency, bftCurrency, ftCurrency},
    {"MONEY", aftCurrency, bftCurrency, ftCurrency},
    {"DATE", aftDate, bftDate, ftDate},
    {"TIME", aftTime, bftTime, ftTime},
    {"DATETIME", aftDateTime, bftDateTime, ftDateTime},
    {"TIMESTAMP", aftTimeStamp, bftDateTime, ftTimeStamp},
    {"BLOB", aftBlob, bftBlob, ftBlob},
    {"BLOB", aftBlob, bftBlob, ftParadoxOle},
    {"BLOB", aftBlob, bftBlob, ftTypedBinary},
    {"BLOB", aftBlob, bftBlob, ftDBaseOle},
    {"GRAPHIC", aftGraphic, bftBlob, ftGraphic},
    {"MEMO", aftMemo, bftClob, ftMemo},
    {"CLOB", aftMemo, bftClob, ftMemo},
    {"FORMATTEDMEMO", aftFormattedMemo, bftClob, ftFmtMemo},
    {"WIDEMEMO", aftWideMemo, bftWideClob, ftWideMemo},
    {"WIDECLOB", aftWideMemo, bftWideClob, ftWideMemo},
    {"GUID", aftChar, bftChar, ftGuid},
    {"BYTES", aftBytes, bftBytes, ftBytes},
    {"VARBYTES", aftVarBytes, bftVarBytes, ftVarBytes},
}};

namespace {

constexpr std::uint32_t ConstNameCRC(const char* S) {
  std::uint32_t Crc = 0;
  for (; *S; ++S) Crc = mdbcrc::kTable[(Crc ^ static_cast<Byte>(*S)) & 0xFF] ^ (Crc >> 8);
  return Crc;
}

std::array<std::uint32_t, kSQLFieldTypeCount> MakeNameCRCs() {
  std::array<std::uint32_t, kSQLFieldTypeCount> Out{};
  for (int i = 0; i < kSQLFieldTypeCount; ++i) Out[i] = ConstNameCRC(SQLFieldTypes[i].SqlName);
  return Out;
}

}  // namespace

const std::array<std::uint32_t, kSQLFieldTypeCount> SQLTypeNameCRCs = MakeNameCRCs();

TMdbBaseFieldType AdvancedToBaseFieldType(TMdbAdvancedFieldType T) {
  for (const auto& R : SQLFieldTypes)
    if (R.AdvancedFieldType == T) return R.BaseFieldType;
  return bftUnknown;
}

TMdbAdvancedFieldType BaseToAdvancedFieldType(TMdbBaseFieldType T) {
  for (const auto& R : SQLFieldTypes)
    if (R.BaseFieldType == T) return R.AdvancedFieldType;
  return aftUnknown;
}

TMdbAdvancedFieldType FieldTypeToAdvancedFieldType(TFieldType T) {
  for (const auto& R : SQLFieldTypes)
    if (R.FieldType == T) return R.AdvancedFieldType;
  throw EMdbException(30289, SMdbUnknownDataTypeQuoted, {IntToStr(static_cast<int>(T))});
}

TFieldType AdvancedFieldTypeToFieldType(TMdbAdvancedFieldType T) {
  for (const auto& R : SQLFieldTypes)
    if (R.AdvancedFieldType == T) return R.FieldType;
  return ftUnknown;
}

AnsiString AdvancedFieldTypeName(TMdbAdvancedFieldType T) {
  for (const auto& R : SQLFieldTypes)
    if (R.AdvancedFieldType == T) return R.SqlName;
  return "Unknown";
}

AnsiString BaseFieldTypeName(TMdbBaseFieldType T) {
  for (const auto& R : SQLFieldTypes)
    if (R.BaseFieldType == T) return R.SqlName;
  return "Unknown";
}

String BaseFieldTypeNameW(TMdbBaseFieldType T) { return Str(BaseFieldTypeName(T)); }

TMdbBaseFieldType SQLTypeNameToBaseFieldType(const AnsiString& Name) {
  const std::uint32_t Crc = NameCRC32Ansi(Name, true);
  for (int i = 0; i < kSQLFieldTypeCount; ++i)
    if (SQLTypeNameCRCs[i] == Crc) return SQLFieldTypes[i].BaseFieldType;
  return bftUnknown;
}

AnsiString TypesToTypeName(TMdbAdvancedFieldType AdvancedFieldType) {
  for (const auto& R : SQLFieldTypes)
    if (R.AdvancedFieldType == AdvancedFieldType) return R.SqlName;
  return AnsiString();
}

bool IsBLOBBaseType(TMdbBaseFieldType T) { return T == bftBlob || T == bftClob || T == bftWideClob; }
bool IsBLOBAdvancedType(TMdbAdvancedFieldType T) {
  return T == aftBlob || T == aftGraphic || T == aftMemo || T == aftFormattedMemo || T == aftWideMemo;
}
bool IsVarcharBaseType(TMdbBaseFieldType T) { return T == bftVarchar || T == bftWideVarchar; }
bool IsVarcharAdvancedType(TMdbAdvancedFieldType T) { return T == aftString || T == aftWideString; }
bool IsCharBaseType(TMdbBaseFieldType T) {
  return T == bftChar || T == bftWideChar || T == bftVarchar || T == bftWideVarchar;
}
bool IsStringBaseType(TMdbBaseFieldType T) { return IsCharBaseType(T) || T == bftClob || T == bftWideClob; }
bool IsStringAdvancedType(TMdbAdvancedFieldType T) {
  return T == aftChar || T == aftString || T == aftWideChar || T == aftWideString;
}
bool IsWideStringBaseType(TMdbBaseFieldType T) { return T == bftWideChar || T == bftWideVarchar || T == bftWideClob; }
bool IsWideStringAdvancedType(TMdbAdvancedFieldType T) {
  return T == aftWideChar || T == aftWideString || T == aftWideMemo;
}
bool IsBytesAdvancedType(TMdbAdvancedFieldType T) { return T == aftBytes || T == aftVarBytes; }
bool IsAutoIncAdvancedType(TMdbAdvancedFieldType T) { return T >= aftAutoInc && T <= aftAutoIncCardinal; }
bool IsNumericBaseType(TMdbBaseFieldType T) { return (T >= bftSignedInt8 && T <= bftExtended) || T == bftCurrency; }
bool IsIntegerBaseType(TMdbBaseFieldType T) { return T >= bftSignedInt8 && T <= bftUnsignedInt32; }
bool IsSignedIntegerBaseType(TMdbBaseFieldType T) { return T >= bftSignedInt8 && T <= bftSignedInt64; }
bool IsFloatBaseType(TMdbBaseFieldType T) { return T >= bftSingle && T <= bftExtended; }
bool IsDateTimeBaseType(TMdbBaseFieldType T) { return T == bftDate || T == bftTime || T == bftDateTime; }
bool IsScalarAdvancedType(TMdbAdvancedFieldType T) { return T >= aftChar && T <= aftTimeStamp; }

TDateTime MdbDateToDateTime(std::int32_t Date) {
  if (Date == kMdbNoDate) return 0;
  return static_cast<double>(Date) - kMdbDateDelta;
}

std::int32_t DateTimeToMdbDate(TDateTime Value) {
  const double Day = std::trunc(Value) + kMdbDateDelta;
  if (!(Day >= INT32_MIN && Day <= INT32_MAX)) throw ERangeError(String(msg::SRangeError));
  return static_cast<std::int32_t>(Day);
}

TDateTime MdbTimeToDateTime(std::int32_t Time) {
  if (Time == kMdbNoTime) return 0;
  const double Days = static_cast<double>(Time) / kMdbMSecsPerDay;
  return Days - std::trunc(Days);
}

std::int32_t DateTimeToMdbTime(TDateTime Value) {
  if (!std::isfinite(Value)) throw ERangeError(String(msg::SRangeError));
  // nearbyint rounds in the default mode, ties to even.
  return static_cast<std::int32_t>(std::nearbyint((Value - std::trunc(Value)) * kMdbMSecsPerDay));
}

TDateTime MdbDateTimeToDateTime(const TMdbDateTime& Value) {
  TDateTime R = MdbDateToDateTime(Value.Date);
  if (Value.Time != kMdbNoTime) R += MdbTimeToDateTime(Value.Time);
  return R;
}

TMdbDateTime DateTimeToMdbDateTime(TDateTime Value) { return {DateTimeToMdbDate(Value), DateTimeToMdbTime(Value)}; }

std::int32_t StrDataByteLength(const void* Buffer, TMdbAdvancedFieldType AdvancedType, std::int32_t MaxBytes) {
  if (!Buffer) return 0;
  const auto* P = static_cast<const Byte*>(Buffer);
  if (!IsWideStringAdvancedType(AdvancedType)) {
    std::int32_t N = 0;
    while ((MaxBytes < 0 || N < MaxBytes) && P[N] != 0) ++N;
    return N;
  }
  std::int32_t N = 0;  // bytes
  while ((MaxBytes < 0 || N + 1 < MaxBytes) && (P[N] != 0 || P[N + 1] != 0)) N += 2;
  return N;
}

std::int32_t GetBaseTypeDataSize(TMdbBaseFieldType DataType, std::int32_t Size) {
  switch (DataType) {
    case bftChar:
    case bftVarchar:
      if (Size == INT32_MAX) throw EIntOverflow(String(msg::SIntOverflow));
      return Size + 1;
    case bftWideChar:
    case bftWideVarchar:
      if (Size >= INT32_MAX / 2) throw EIntOverflow(String(msg::SIntOverflow));
      return (Size + 1) * 2;
    case bftSignedInt8:
    case bftUnsignedInt8:
      return 1;
    case bftSignedInt16:
    case bftUnsignedInt16:
    case bftLogical:
      return 2;
    case bftSignedInt32:
    case bftUnsignedInt32:
    case bftSingle:
    case bftDate:
    case bftTime:
      return 4;
    case bftSignedInt64:
    case bftDouble:
    case bftDateTime:
    case bftBlob:
    case bftClob:
    case bftWideClob:
    case bftCurrency:
      return 8;
    case bftExtended:
      return 10;
    case bftBytes:
    case bftVarBytes:
      return Size;
    default:
      throw EMdbException(30050, SMdbUnknownDataTypeQuoted, {BaseFieldTypeNameW(DataType)});
  }
}

void CopyValueToNewMemory(TMdbBaseFieldType DataType, const void* Data, void*& Buffer, std::int32_t& BufferSize) {
  Buffer = nullptr;
  try {
    switch (DataType) {
      case bftChar:
      case bftVarchar: {
        const auto N = static_cast<std::int32_t>(std::strlen(static_cast<const char*>(Data)));
        if (N == 0) {
          BufferSize = 0;
          return;
        }
        BufferSize = GetBaseTypeDataSize(DataType, N);
        Buffer = MdbMemoryManager->AllocMem(BufferSize);
        std::memcpy(Buffer, Data, static_cast<std::size_t>(N));
        return;
      }
      case bftWideChar:
      case bftWideVarchar: {
        const auto N = static_cast<std::int32_t>(std::char_traits<char16_t>::length(static_cast<const char16_t*>(Data)));
        if (N == 0) {
          BufferSize = 0;
          return;
        }
        BufferSize = GetBaseTypeDataSize(DataType, N);
        Buffer = MdbMemoryManager->AllocMem(BufferSize);
        std::memcpy(Buffer, Data, static_cast<std::size_t>(N) * 2);
        return;
      }
      default:
        BufferSize = GetBaseTypeDataSize(DataType, 0);
        Buffer = MdbMemoryManager->GetMem(BufferSize);
        std::memcpy(Buffer, Data, static_cast<std::size_t>(BufferSize));
        return;
    }
  } catch (const Exception&) {
    if (Buffer) {
      MdbMemoryManager->FreeAndNilMem(Buffer);
      throw EMdbException(30054, SMdbCannotCopyData);
    }
    // Before a block exists the failure is not reported: the caller sees a nil Buffer.
  } catch (const std::bad_alloc&) {
    if (Buffer) MdbMemoryManager->FreeAndNilMem(Buffer);
    throw EMdbException(30054, SMdbCannotCopyData);
  }
}
