// The engine's type tables: one table of 59 rows ties the SQL type names of the language, the column
// types (TMdbAdvancedFieldType), the storage types (TMdbBaseFieldType) and the platform's field types
// (TFieldType) together. Several rows share a type or even a name; every lookup scans from the first
// row and takes the first match, so the row order is part of the behaviour and must not be changed.
//
// The same unit holds the type predicates, the conversions between the engine's date and time
// encodings (day number with 0001-01-01 as day 1, milliseconds since midnight) and the platform's
// TDateTime, the storage size of a base type and the copy of a value into a new engine buffer.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "engines/mdb/runtime/MdbTypes.h"
#include "platform/db/FieldTypes.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/String.h"

// ---- message texts of the value layer --------------------------------------------------------------
inline constexpr char16_t SMdbUnknownDataTypeQuoted[] = u"Unknown DataType: '%s'";
inline constexpr char16_t SMdbCannotCopyData[] = u"Cannot copy data into new memory";
inline constexpr char16_t SMdbValueIsNull[] = u"Value is Null";
inline constexpr char16_t SMdbUnsupportedVariantType[] = u"Unsupported Variant Type %s";
inline constexpr char16_t SMdbCannotCast[] = u"Cannot cast from '%s' to '%s'";
inline constexpr char16_t SMdbIncompatibleCompare[] = u"Cannot compare Incompatible DataTypes: '%s' and '%s'";
inline constexpr char16_t SMdbUnknownReturnCode[] = u"Unknown return code: %d";
inline constexpr char16_t SMdbCannotInvert[] = u"Cannot invert value with not numeric type '%s'";
inline constexpr char16_t SMdbNotNumericArgument[] = u"Not numeric argument in numeric operator '%s'";
inline constexpr char16_t SMdbDivisionError[] = u"Division error: %s";

struct TSQLFieldType {
  const char* SqlName;
  TMdbAdvancedFieldType AdvancedFieldType;
  TMdbBaseFieldType BaseFieldType;
  TFieldType FieldType;
};

inline constexpr int kSQLFieldTypeCount = 59;
// Row i of the table is SQLFieldTypes[i - 1].
extern const std::array<TSQLFieldType, kSQLFieldTypeCount> SQLFieldTypes;
// NameCRC32Ansi(SqlName, True) of each row; the names are upper-case ASCII, so the hashes are fixed
// at compile time and need no start-up step.
extern const std::array<std::uint32_t, kSQLFieldTypeCount> SQLTypeNameCRCs;

TMdbBaseFieldType AdvancedToBaseFieldType(TMdbAdvancedFieldType T);
TMdbAdvancedFieldType BaseToAdvancedFieldType(TMdbBaseFieldType T);
// Raises EMdbException 30289 "Unknown DataType: '%s'" (the ordinal) for a platform type without a row.
TMdbAdvancedFieldType FieldTypeToAdvancedFieldType(TFieldType T);
TFieldType AdvancedFieldTypeToFieldType(TMdbAdvancedFieldType T);
AnsiString AdvancedFieldTypeName(TMdbAdvancedFieldType T);
AnsiString BaseFieldTypeName(TMdbBaseFieldType T);
// The same name as UTF-16, for messages.
String BaseFieldTypeNameW(TMdbBaseFieldType T);
TMdbBaseFieldType SQLTypeNameToBaseFieldType(const AnsiString& Name);
// The SQL name of the first row with that column type; empty when none.
AnsiString TypesToTypeName(TMdbAdvancedFieldType AdvancedFieldType);

// ---- predicates ------------------------------------------------------------------------------------
bool IsBLOBBaseType(TMdbBaseFieldType T);
bool IsBLOBAdvancedType(TMdbAdvancedFieldType T);
bool IsVarcharBaseType(TMdbBaseFieldType T);
bool IsVarcharAdvancedType(TMdbAdvancedFieldType T);
bool IsStringBaseType(TMdbBaseFieldType T);
bool IsStringAdvancedType(TMdbAdvancedFieldType T);
bool IsWideStringBaseType(TMdbBaseFieldType T);
bool IsWideStringAdvancedType(TMdbAdvancedFieldType T);
bool IsBytesAdvancedType(TMdbAdvancedFieldType T);
bool IsAutoIncAdvancedType(TMdbAdvancedFieldType T);
bool IsNumericBaseType(TMdbBaseFieldType T);
bool IsIntegerBaseType(TMdbBaseFieldType T);
bool IsDateTimeBaseType(TMdbBaseFieldType T);
bool IsScalarAdvancedType(TMdbAdvancedFieldType T);
// bftChar, bftWideChar, bftVarchar, bftWideVarchar (no CLOB).
bool IsCharBaseType(TMdbBaseFieldType T);
bool IsFloatBaseType(TMdbBaseFieldType T);
bool IsSignedIntegerBaseType(TMdbBaseFieldType T);

// ---- dates and times -------------------------------------------------------------------------------
inline constexpr std::int32_t kMdbMSecsPerDay = 86400000;
TDateTime MdbDateToDateTime(std::int32_t Date);
// Raises ERangeError when the day number does not fit an Int32.
std::int32_t DateTimeToMdbDate(TDateTime Value);
TDateTime MdbTimeToDateTime(std::int32_t Time);
// The signed fraction of Value in milliseconds, ties to even.
std::int32_t DateTimeToMdbTime(TDateTime Value);
TDateTime MdbDateTimeToDateTime(const TMdbDateTime& Value);
TMdbDateTime DateTimeToMdbDateTime(TDateTime Value);

// Bytes before the terminator of a zero-terminated value; wide column types count 16-bit units (and
// return twice their number). Reads at most MaxBytes bytes when MaxBytes >= 0, so a buffer that holds
// no terminator is never overrun. A nil buffer gives 0.
std::int32_t StrDataByteLength(const void* Buffer, TMdbAdvancedFieldType AdvancedType, std::int32_t MaxBytes = -1);

// ---- storage sizes and copies ----------------------------------------------------------------------
// Raises 30050 "Unknown DataType: '%s'" for types without a storage form; EIntOverflow when the size
// for a length does not fit an Int32.
std::int32_t GetBaseTypeDataSize(TMdbBaseFieldType DataType, std::int32_t Size);
// Copies the value at Data into a new memory-manager block. For the character types Data is a
// zero-terminated text of the type's width and an empty text gives no block (Buffer nil, size 0).
// Fixed types copy their storage size. A failure after the block was taken raises 30054; a type
// without a size (or of size 0) leaves Buffer nil without raising, so callers check Buffer.
void CopyValueToNewMemory(TMdbBaseFieldType DataType, const void* Data, void*& Buffer, std::int32_t& BufferSize);
