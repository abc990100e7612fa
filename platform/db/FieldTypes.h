// The vocabulary every dataset engine shares: field types and their ordinals, field kinds, dataset
// states and events, bookmark flags, fetch modes, blob stream modes, the native value forms and the
// helpers that convert between the native date/time forms and TDateTime.
//
// Native value forms (what GetFieldData hands out and WriteFieldData takes), by field type:
//
// | type                            | bytes          | form                                               |
// |---------------------------------|----------------|----------------------------------------------------|
// | ftString, ftFixedChar, ftGuid   | Size + 1       | system code page, zero-terminated, cut at Size      |
// |                                 |                | bytes without splitting a double-byte character     |
// | ftWideString, ftFixedWideChar   | (Size + 1) × 2 | UTF-16LE, zero-terminated, cut at Size code units   |
// | ftSmallint / ftWord             | 2              | int16 / uint16                                      |
// | ftInteger, ftAutoInc            | 4              | int32                                               |
// | ftLongWord                      | 4              | uint32                                              |
// | ftShortint / ftByte             | 1              | int8 / uint8                                        |
// | ftLargeint                      | 8              | int64                                               |
// | ftBoolean                       | 2              | 16 bits, 1 = True, 0 = False                        |
// | ftFloat, ftCurrency             | 8              | IEEE double                                         |
// | ftSingle                        | 4              | IEEE float                                          |
// | ftExtended                      | 10             | x87 80-bit extended (platform/rtl/Extended.h)       |
// | ftBCD, ftFMTBcd                 | 34             | TBcd                                                |
// | ftDate                          | 4              | int32 day number, 0001-01-01 = day 1                 |
// | ftTime                          | 4              | int32 milliseconds of the day                        |
// | ftDateTime                      | 8              | double: day × 86,400,000 + ms of the day             |
// |                                 |                | (1899-12-30 = day 693594)                           |
// | ftTimeStamp, ftOraTimeStamp     | 16             | TSQLTimeStamp                                       |
// | ftTimeStampOffset               | 20             | TSQLTimeStampOffset                                 |
// | ftBytes                         | Size           | raw bytes                                           |
// | ftVarBytes                      | Size + 2       | uint16 length, then the bytes                       |
// | ftInterface, ftIDispatch,       | 4              | a 32-bit handle into a table the engine owns        |
// | ftReference, ftDataSet          |                | (never an address)                                  |
// | blob types                      | 0              | only through CreateBlobStream                       |
//
// The non-native forms (GetFieldData/WriteFieldData with NativeFormat false, used by the fields'
// typed accessors and converted by TDataSet::ConvertFieldData): ftDate, ftTime, ftDateTime take a
// TDateTime (double, days from 1899-12-30); ftBCD takes a Currency (Int64 × 10,000). Every other type
// has one form.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/rtl/DateTime.h"
#include "platform/rtl/String.h"

// Field-type ordinals are stored by engines' stream formats: never reorder.
enum TFieldType : int {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftCursor,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
  ftOraBlob,
  ftOraClob,
  ftVariant,
  ftInterface,
  ftIDispatch,
  ftGuid,
  ftTimeStamp,
  ftFMTBcd,
  ftFixedWideChar,
  ftWideMemo,
  ftOraTimeStamp,
  ftOraInterval,
  ftLongWord,
  ftShortint,
  ftByte,
  ftExtended,
  ftConnection,
  ftParams,
  ftStream,
  ftTimeStampOffset,
  ftObject,
  ftSingle,
};
inline constexpr int kFieldTypeCount = ftSingle + 1;

// The framework's field-type name table: "Unknown", "String", "SmallInt", ... indexed by ordinal.
const String& FieldTypeName(TFieldType Type);
// The type whose name is Name (case-insensitive), ftUnknown when none.
TFieldType FieldTypeFromName(std::u16string_view Name);

bool IsBlobFieldType(TFieldType Type);        // ftBlob .. ftTypedBinary, ftOraBlob, ftOraClob, ftWideMemo
bool IsStringFieldType(TFieldType Type);      // ftString, ftFixedChar, ftGuid, ftWideString, ftFixedWideChar
bool IsWideStringFieldType(TFieldType Type);  // ftWideString, ftFixedWideChar, ftWideMemo
bool IsObjectFieldType(TFieldType Type);      // ftADT, ftArray, ftReference, ftDataSet
// Bytes of the native form of a field of Type and Size (the table above); 0 for blobs and object types.
int NativeDataSize(TFieldType Type, int Size);

enum TFieldKind { fkData, fkCalculated, fkLookup, fkInternalCalc, fkAggregate };

enum TDataSetState {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsCurValue,
  dsBlockRead,
  dsInternalCalc,
  dsOpening,
};

enum TDataEvent {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
  dePropertyChange,
  deFieldListChange,
  deFocusControl,
  deParentScroll,
  deConnectChange,
  deReconcileError,
  deDisabledStateChange,
};

enum TBookmarkFlag : Byte { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TFetchMode { fmCurrent, fmNext, fmPrior };
enum TFetchResult { frOK, frBOF, frEOF, frError };
enum TBlobStreamMode { bmRead, bmWrite, bmReadWrite };
enum TDataAction { daFail, daAbort, daRetry };
enum TUpdateStatus { usUnmodified, usModified, usInserted, usDeleted };
enum TFieldLifeCycle { lcAutomatic, lcPersistent };

// Bit sets: the flag values combine with |.
enum TResyncModeFlag : unsigned { rmExact = 1u << 0, rmCenter = 1u << 1 };
using TResyncMode = unsigned;
enum TLocateOption : unsigned { loCaseInsensitive = 1u << 0, loPartialKey = 1u << 1 };
using TLocateOptions = unsigned;
enum TFilterOption : unsigned { foCaseInsensitive = 1u << 0, foNoPartialCompare = 1u << 1 };
using TFilterOptions = unsigned;
enum TProviderFlag : unsigned {
  pfInUpdate = 1u << 0,
  pfInWhere = 1u << 1,
  pfInKey = 1u << 2,
  pfHidden = 1u << 3,
  pfRefreshOnInsert = 1u << 4,
  pfRefreshOnUpdate = 1u << 5,
};
using TProviderFlags = unsigned;
// Whether the store makes a field's value itself, and how: not at all, as the next number of a counter,
// or from a default.
enum TAutoRefreshFlag { arNone, arAutoInc, arDefault };

// A record buffer is a block in the engine's own layout; the framework only moves the pointers.
using TRecordBuffer = Byte*;
// A value read lands in the caller's memory (an empty span asks only whether the value is null); a
// value written comes from the caller's memory (an empty span writes null). Neither allocates.
using TValueBuffer = std::span<Byte>;
using TConstValueBuffer = std::span<const Byte>;
// A bookmark as the application holds it: BookmarkSize bytes, empty when there was no record.
using TBookmark = std::vector<Byte>;
using TBytes = std::vector<Byte>;

// ---- native date and time forms --------------------------------------------------------------------
// Day 693594 of the native count (0001-01-01 = day 1) is 1899-12-30, day 0 of TDateTime.
inline constexpr std::int32_t kDateDelta = 693594;
inline constexpr double kMSecsPerDay = 86400000.0;

// TDateTime → native: ftDate day number, ftTime milliseconds, ftDateTime milliseconds as a double.
// Values are rounded to the millisecond as the platform's time stamps are.
std::int32_t DateTimeToNativeDate(TDateTime Value);
std::int32_t DateTimeToNativeTime(TDateTime Value);
double DateTimeToNativeDateTime(TDateTime Value);
TDateTime NativeDateToDateTime(std::int32_t Days);
TDateTime NativeTimeToDateTime(std::int32_t MSecs);
TDateTime NativeDateTimeToDateTime(double MSecs);
