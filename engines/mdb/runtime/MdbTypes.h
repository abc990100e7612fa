// The value types the layers of the Mdb database pass to one another: column and storage types,
// record identifiers, navigation and lock records, table state, BLOB descriptors and the planner's
// small enumerations. Every enumeration is one byte and its ordinals are fixed: they reach table
// streams and pages. The records marked "packed" below are written into streams and pages byte for
// byte, little-endian; their layouts are pinned by static_assert.
//
// TMdbRecordID (6 bytes)                 TMdbDateTime (8 bytes)
//   0  Int32   PageNo                      0  Int32  Date  day number, 0001-01-01 = day 1; kMdbNoDate
//   4  UInt16  PageItemNo                  4  Int32  Time  ms since midnight; kMdbNoTime
//
// TMdbTableState (16 bytes)              TMdbBLOBDescriptor (32 bytes)
//   0  UInt32  TableState                  0  Int32  BlockSize
//   4  UInt8   TableMetaDataState          4  Int64  NumBlocks
//   5  UInt16  TableFailureFlags          12  Int64  UncompressedSize
//   7  UInt8   LastTableOperation         20  Int64  StartPosition
//   8  Double  LastModificationDate       28  UInt8  CompressionAlgorithm
//                                         29  UInt8  CompressionMode
// TMdbCompressedStreamBlockHeader (20)    30  2     Reserved
//   0  Int32   CompressedSize
//   4  Int32   UncompressedSize
//   8  UInt32  Crc32
//  12  Int64   OffsetToNextHeader
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/rtl/DateTime.h"
#include "platform/rtl/String.h"

enum TMdbAdvancedFieldType : Byte {
  aftUnknown, aftChar, aftString, aftWideChar, aftWideString, aftShortint, aftSmallint, aftInteger,
  aftLargeint, aftByte, aftWord, aftCardinal, aftAutoInc, aftAutoIncShortint, aftAutoIncSmallint,
  aftAutoIncInteger, aftAutoIncLargeint, aftAutoIncByte, aftAutoIncWord, aftAutoIncCardinal, aftSingle,
  aftDouble, aftExtended, aftBoolean, aftCurrency, aftDate, aftTime, aftDateTime, aftTimeStamp, aftBytes,
  aftVarBytes, aftBlob, aftGraphic, aftMemo, aftFormattedMemo, aftWideMemo
};

enum TMdbBaseFieldType : Byte {
  bftUnknown, bftChar, bftWideChar, bftVarchar, bftWideVarchar, bftSignedInt8, bftSignedInt16,
  bftSignedInt32, bftSignedInt64, bftUnsignedInt8, bftUnsignedInt16, bftUnsignedInt32, bftSingle, bftDouble,
  bftExtended, bftDate, bftTime, bftDateTime, bftBlob, bftClob, bftWideClob, bftLogical, bftCurrency,
  bftBytes, bftVarBytes, bftBFile
};

enum TMdbSearchCondition : Byte { scNone, scEqual, scLower, scGreater, scLowerEqual, scGreaterEqual };
enum TMdbCompareResult : Byte { cmprEqual, cmprLower, cmprGreater, cmprLeftNull, cmprRightNull, cmprBothNull };
enum TMdbGetRecordMode : Byte { grmCurrent, grmNext, grmPrior };
enum TMdbGetRecordResult : Byte { grrOK, grrBOF, grrEOF, grrError, grrReloadCache };
enum TMdbBLOBOpenMode : Byte { bomWrite, bomRead, bomReadWrite };
enum TMdbLockType : Byte { ltIS, ltS, ltIRW, ltRW, ltU, ltX };
enum TMdbLastTableOperation : Byte {
  ltoCreateTable, ltoInsert, ltoUpdate, ltoDelete, ltoCommit, ltoEmpty, ltoAddIndex, ltoDeleteIndex,
  ltoEmptyIndex, ltoAddForeignKey, ltoDeleteConstraint, ltoRenameReferencedTableName, ltoRename,
  ltoRenameField, ltoSetAutoInc, ltoCreateView
};
enum TMdbDBStateType : Byte {
  dbstNone, dbstAll, dbstFreeSpaceManager, dbstData, dbstTableMetaData, dbstTableMostUpdatedData,
  dbstTableLockFile, dbstRow, dbstIndex, dbstTablePFS, dbstVarchar, dbstBLOB
};
enum TMdbHexStringFormat : Byte { ahexfDefault, ahexfVellum, ahexfCPP };
enum TMdbDatePart : Byte {
  dpYEAR, dpQUARTER, dpMONTH, dpDAY, dpWEEK, dpHOUR, dpMINUTE, dpSECOND, dpMILLISECOND, dpUNDEFINED
};
enum TMdbJoinType : Byte { ajtCross, ajtInner, ajtLeftOuter, ajtRightOuter, ajtFullOuter };
enum TMdbUnionType : Byte { autUnion, autIntersect, autExcept };
enum TMdbTableType : Byte { attTable, attJoinedTable, attSubQuery };
enum TMdbQueryExprType : Byte { qetSelect, qetUnion, qetExcept, qetIntersect };
enum TMdbDistinctAlgorithm : Byte { adaNone, adaBySourceIndex, adaByDestIndex, adaByRecordHash };

// Compression (the dispatch is in MdbCompression.h).
enum TMdbCompressionAlgorithm : Byte { acaNone = 0, acaZLIB = 1, acaBZIP = 2, acaPPM = 3 };
enum TMdbCompressionLevel : Byte { aclNone, aclFastest, aclNormal, aclMaximum };
struct TMdbCompression {
  TMdbCompressionAlgorithm CompressionAlgorithm = acaNone;
  Byte CompressionMode = 0;
  TMdbCompressionLevel CompressionLevel = aclNone;
};

// The last scalar column type; above it are byte and large-object types.
inline constexpr TMdbAdvancedFieldType kLastScalarAdvancedFieldType = aftTimeStamp;

inline constexpr std::int32_t kMdbNoDate = INT32_MIN;
inline constexpr std::int32_t kMdbNoTime = -1;
// Engine day number of 1899-12-30, day 0 of TDateTime.
inline constexpr std::int32_t kMdbDateDelta = 693594;

#pragma pack(push, 1)
struct TMdbRecordID {
  std::int32_t PageNo = 0;
  std::uint16_t PageItemNo = 0;
  friend bool operator==(const TMdbRecordID&, const TMdbRecordID&) = default;
};

struct TMdbDateTime {
  std::int32_t Date = kMdbNoDate;
  std::int32_t Time = kMdbNoTime;
};

struct TMdbTableState {
  std::uint32_t TableState = 0;
  std::uint8_t TableMetaDataState = 0;
  std::uint16_t TableFailureFlags = 0;
  std::uint8_t LastTableOperation = 0;  // a TMdbLastTableOperation
  double LastModificationDate = 0;      // TDateTime
};

struct TMdbBLOBDescriptor {
  std::int32_t BlockSize = 0;
  std::int64_t NumBlocks = 0;
  std::int64_t UncompressedSize = 0;
  std::int64_t StartPosition = 0;
  std::uint8_t CompressionAlgorithm = acaNone;
  std::uint8_t CompressionMode = 0;
  std::uint8_t Reserved[2] = {0, 0};
};

struct TMdbCompressedStreamBlockHeader {
  std::int32_t CompressedSize = 0;
  std::int32_t UncompressedSize = 0;
  std::uint32_t Crc32 = 0;
  std::int64_t OffsetToNextHeader = 0;
};

// In memory only.
struct TMdbNavigationInfo {
  std::int32_t SessionID = 0;
  TMdbGetRecordMode GetRecordMode = grmCurrent;
  std::int32_t IndexID = 0;
  TMdbRecordID RecordID;
  Byte* RecordBuffer = nullptr;
  bool FirstPosition = false;
  bool LastPosition = false;
  TMdbGetRecordResult GetRecordResult = grrOK;
};

struct TMdbSessionLockInfo {
  std::int32_t SessionID = 0;
  std::uint32_t NumLocksIS = 0;
  std::uint32_t NumLocksS = 0;
  std::uint32_t NumLocksIRW = 0;
  TMdbRecordID LockedRecordID;
  std::uint32_t WaitTime = 0;
  TMdbLockType WaitLockType = ltIS;
  bool IsWaiting = false;
  bool LockX = false;
  bool LockRW = false;
  bool LockU = false;
};
#pragma pack(pop)

static_assert(sizeof(TMdbRecordID) == 6 && offsetof(TMdbRecordID, PageItemNo) == 4);
static_assert(sizeof(TMdbDateTime) == 8 && offsetof(TMdbDateTime, Time) == 4);
static_assert(sizeof(TMdbTableState) == 16);
static_assert(offsetof(TMdbTableState, TableMetaDataState) == 4 && offsetof(TMdbTableState, TableFailureFlags) == 5 &&
              offsetof(TMdbTableState, LastTableOperation) == 7 && offsetof(TMdbTableState, LastModificationDate) == 8);
static_assert(sizeof(TMdbBLOBDescriptor) == 32);
static_assert(offsetof(TMdbBLOBDescriptor, NumBlocks) == 4 && offsetof(TMdbBLOBDescriptor, UncompressedSize) == 12 &&
              offsetof(TMdbBLOBDescriptor, StartPosition) == 20 && offsetof(TMdbBLOBDescriptor, CompressionAlgorithm) == 28 &&
              offsetof(TMdbBLOBDescriptor, CompressionMode) == 29 && offsetof(TMdbBLOBDescriptor, Reserved) == 30);
static_assert(sizeof(TMdbCompressedStreamBlockHeader) == 20);
static_assert(offsetof(TMdbCompressedStreamBlockHeader, UncompressedSize) == 4 &&
              offsetof(TMdbCompressedStreamBlockHeader, Crc32) == 8 &&
              offsetof(TMdbCompressedStreamBlockHeader, OffsetToNextHeader) == 12);
inline constexpr std::size_t kMdbBlockHeaderSize = sizeof(TMdbCompressedStreamBlockHeader);

// Ordinals that reach streams and pages.
static_assert(aftTimeStamp == 28 && aftWideMemo == 35 && bftBFile == 25 && bftCurrency == 22);
static_assert(ltoCreateView == 15 && dbstBLOB == 11 && adaByRecordHash == 3 && dpUNDEFINED == 9);
static_assert(sizeof(TMdbAdvancedFieldType) == 1 && sizeof(TMdbBaseFieldType) == 1 && sizeof(TMdbLockType) == 1);

struct TMdbLockParams {
  std::int32_t RetryCount = 0;
  std::int32_t Delay = 0;  // ms between retries
};

struct TMdbTableLockInfo {
  std::int32_t LockXSessionID = 0;
  std::int32_t LockIRWSessionID = 0;
  std::int32_t LockRWSessionID = 0;
  std::uint32_t NumLockIS = 0;
  std::uint32_t NumLockS = 0;
  std::uint32_t NumLockU = 0;
};

struct TMdbTableInfo {
  String TableName;
  String Comment;
  TMdbTableState TableState;
  TDateTime CreationDate = 0;
};
using TMdbTableInfoArray = std::vector<TMdbTableInfo>;

struct TMdbSortSpecification {
  String TableName;
  String ColumnName;
  std::int32_t ColumnNumber = 0;
  bool Descending = false;
  bool CaseInsensitive = false;
};

struct TMdbSFMHeader {
  std::int32_t Count = 0;
  std::uint32_t State = 0;
};
