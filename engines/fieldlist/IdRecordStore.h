// The field-list record store: every row is one block laid out field after field, kept in a row list
// in view order; blob values live in a blob table and are shared by reference count between rows and
// record buffers. TIdField reads and writes one field's slot in any row block or record buffer.
//
// Row block (also the layout of every record buffer):
//
//   offset          size        content
//   0               4           bookmark (32-bit), given once when the row is made
//   4               1           bookmark flag (record buffers only)
//   5 ...           per field   one slot per stored field, in field order:
//                                 blob field:  4-byte blob handle, 0 for a null or empty value
//                                 other field: has-value byte (0 null, 1 value) + DataSize native bytes
//
// The field area (all slots) is RecordSize bytes and must fit 16 bits. A blob handle is a handle of
// the store's TBlobTable (platform/store), never an address: the same layout goes into record buffers the
// framework keeps, and no pointer may ever leak into a stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "platform/db/FieldTypes.h"
#include "platform/rtl/Bcd.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/String.h"
#include "platform/rtl/Variant.h"
#include "platform/store/BlobTable.h"
#include "platform/store/GapList.h"
#include "platform/store/RowPool.h"

class TField;
class TIdCustomDataSet;
class TIdRecordStore;

// Field type codes: the ordinals of the platform's TFieldType. The store works on codes so that its
// layout does not depend on the framework's field classes.
namespace idft {
inline constexpr int Unknown = 0, String = 1, Smallint = 2, Integer = 3, Word = 4, Boolean = 5, Float = 6,
                     Currency = 7, BCD = 8, Date = 9, Time = 10, DateTime = 11, Bytes = 12, VarBytes = 13,
                     AutoInc = 14, Blob = 15, Memo = 16, Graphic = 17, FmtMemo = 18, ParadoxOle = 19,
                     DBaseOle = 20, TypedBinary = 21, WideString = 24, Largeint = 25, Guid = 35,
                     TimeStamp = 36, FMTBcd = 37, WideMemo = 39, Shortint = 43, Byte = 44, Extended = 45;
inline constexpr int MaxCode = 51;
}  // namespace idft

inline constexpr int kBookmarkSize = 4;
inline constexpr int kRowHeaderSize = kBookmarkSize + 1;  // bookmark + bookmark flag
inline constexpr int kBlobSlotSize = 4;
inline constexpr int kMaxRecordSize = 65535;

bool IsSupportedFieldType(int DataType);
bool IsBlobType(int DataType);
// UTF-16LE for ftWideString and ftWideMemo; the system code page for everything else.
bool IsWideType(int DataType);
bool IsTextType(int DataType);  // ftString, ftWideString, ftGuid
// The native size of a fixed field's value (0 for blobs); Size is the declared size in characters or
// bytes where the type has one.
int FieldDataSize(int DataType, int Size);

// One stored field: its slot in any block, and typed reads of the rows of the store.
class TIdField {
 public:
  TIdField(TIdRecordStore* Store, int DataType, int Size, int OffSet, bool IsVirtual);

  TIdCustomDataSet* DataSet() const { return FDataSet; }
  TField* Field() const { return FField; }
  void Bind(TIdCustomDataSet* ADataSet, TField* AField) {
    FDataSet = ADataSet;
    FField = AField;
  }
  int DataType() const { return FDataType; }
  int DataSize() const { return FDataSize; }
  int Size() const { return FSize; }
  int OffSet() const { return FOffSet; }
  bool IsBlob() const { return FIsBlob; }
  bool IsVirtual() const { return FIsVirtual; }  // made from VirtualFieldDefs
  TIdRecordStore* Store() const { return FStore; }

  // ---- one block ----
  bool BlockIsNull(const Byte* Block) const;
  // Fixed: the value bytes when present; blob: the blob's bytes. Empty for null.
  std::span<const Byte> BlockBytes(const Byte* Block) const;
  // Blob: the 4 bytes of the handle; fixed: the DataSize value bytes, copied only when Bytes already
  // holds that many. False for null, a nil block, or a destination that is too short.
  bool GetRecordData(const Byte* Block, TBytes& Bytes) const;
  // The same into raw memory of DestSize bytes (nil Dest only asks whether a value is present).
  bool GetRecordData(const Byte* Block, void* Dest, std::size_t DestSize) const;
  // Empty Data stores null (a fixed field keeps its old value bytes); a fixed value is zero-padded or
  // cut to DataSize.
  void SetRecordData(Byte* Block, const Byte* Data, std::size_t Length) const;
  void SetRecordData(Byte* Block, const TBytes& Bytes) const { SetRecordData(Block, Bytes.data(), Bytes.size()); }

  // ---- rows by data index (an index outside the rows reads as null) ----
  const Byte* GetDataPointer(int AIndex) const;
  bool GetIsNull(int AIndex) const;
  TBytes GetAsBytes(int AIndex) const;
  String GetAsString(int AIndex) const;
  int GetAsInteger(int AIndex) const;
  Int64 GetAsLargeInt(int AIndex) const;
  double GetAsFloat(int AIndex) const;
  double GetAsExtended(int AIndex) const;  // an 80-bit value read in full precision as far as a double holds
  Currency GetAsCurrency(int AIndex) const;
  bool GetAsBoolean(int AIndex) const;
  TDateTime GetAsDateTime(int AIndex) const;
  TSQLTimeStamp GetAsSQLTimeStamp(int AIndex) const;
  // The platform's dynamic value of the kind the type maps to; Null for null, a missing row, a type
  // without a mapping or a value that does not convert.
  Variant GetAsVariant(int AIndex) const;

  // -1, 0, 1 for two value byte arrays of this field's type; empty stands for null and orders first.
  int CompareData(std::span<const Byte> A, std::span<const Byte> B, bool CaseInsensitive) const;

 private:
  const Byte* Row(int AIndex) const;
  // The stored bytes of a fixed value padded with zeros to N (at most 16) bytes.
  void PaddedValue(const Byte* Value, Byte* Out, int N) const;

  TIdRecordStore* FStore;
  TIdCustomDataSet* FDataSet = nullptr;
  TField* FField = nullptr;
  int FDataType;
  int FSize;
  int FDataSize;
  int FOffSet;
  bool FIsBlob;
  bool FIsVirtual;
};

// Text of bytes stored for a field type: decoded in the type's encoding, cut at the first zero.
String BytesToText(int DataType, std::span<const Byte> Bytes);
// Date-time of the native bytes of ftDate, ftTime, ftDateTime (and any other type as the double form).
TDateTime BytesToDateTime(int DataType, std::span<const Byte> Bytes);
// The text encoded in the field's encoding, without terminator.
TBytes TextToBytes(int DataType, std::u16string_view Text);

// The rows and the layout of one table. The blob table is borrowed: record buffers made by the same
// dataset hold handles into it too, and a store read from a stream shares it with the store it replaces.
// So is the page reserve the row slabs come from (the process reserve when null): a dataset gives its
// stores one of its own, so a load is written into the memory of the rows the last one dropped.
class TIdRecordStore {
 public:
  explicit TIdRecordStore(TBlobTable& Blobs, sys::TPageReserve* Reserve = nullptr);
  ~TIdRecordStore();
  TIdRecordStore(const TIdRecordStore&) = delete;
  TIdRecordStore& operator=(const TIdRecordStore&) = delete;

  // ---- layout ----
  // Appends a slot. Raises EDatabaseError for an unsupported type or a field area over 65,535 bytes.
  TIdField* AddField(int DataType, int Size, bool IsVirtual = false);
  int FieldCount() const { return static_cast<int>(FIdFields.size()); }
  TIdField* Fields(int I) const { return FIdFields[I].get(); }
  int RecordSize() const { return FRecordSize; }
  int BlockSize() const { return FRecordSize + kRowHeaderSize; }
  bool HasBlobFields() const { return !FBlobFields.empty(); }
  TBlobTable& Blobs() const { return FBlobs; }
  sys::TPageReserve* Reserve() const { return FReserve; }
  // Same slots at the same offsets.
  bool SameLayout(const TIdRecordStore& Other) const;

  // ---- blocks (record buffers live on the heap, rows in the pool) ----
  Byte* AllocRecordBlock() const;
  void FreeRecordBlock(Byte*& Block) const;
  // The field area only; blob slots share the source's blob.
  void CopyRecordData(const Byte* Source, Byte* Dest) const;
  // As CopyRecordData, but the virtual ftAutoInc fields of Dest keep their value.
  void CopyRecordDataKeepAutoInc(const Byte* Source, Byte* Dest) const;
  // Every slot null, blob references released.
  void InitRecord(Byte* Block) const;
  void ReleaseBlobs(Byte* Block) const;

  static std::int32_t BookmarkOf(const Byte* Block);
  static void SetBookmarkOf(Byte* Block, std::int32_t Bookmark);

  // ---- rows ----
  int Count() const { return static_cast<int>(FRecords.Count()); }
  Byte* Row(int I) const { return FPool->At(FRecords[static_cast<std::size_t>(I)]); }
  // The row order: pool ids of the row blocks in view order (a gap list, because the dataset inserts at
  // its cursor and the cursor stays where the last row went).
  TGapList<TRowPool::Id>& Records() { return FRecords; }
  Byte* RowById(TRowPool::Id Id) const { return FPool->At(Id); }
  // A new row with the next bookmark at Index (appended when Index is negative or past the end).
  Byte* NewStoredRecord(int Index);
  void DeleteRow(int Index);
  void ClearRecords();  // also resets the bookmark counter
  // As ClearRecords, for an owner that knows these rows hold every handle into the blob table (no
  // record buffer or other store holds one): the table is emptied whole, not value by value.
  void ClearRecordsAndBlobTable();
  std::int32_t LastBookmark() const { return FLastBookmark; }
  // The data index of the row carrying Bookmark, searching outward from Near (the cursor usually
  // stands on or beside it); -1 when no row carries it.
  int FindBookmark(std::int32_t Bookmark, int Near) const;
  // Takes Other's rows and bookmark counter; the layouts must be the same. Our rows are freed.
  void AdoptRows(TIdRecordStore& Other);

 private:
  TBlobTable& FBlobs;
  sys::TPageReserve* FReserve;
  std::vector<std::unique_ptr<TIdField>> FIdFields;
  std::vector<const TIdField*> FBlobFields;
  std::vector<const TIdField*> FVirtualAutoIncFields;
  TGapList<TRowPool::Id> FRecords;
  std::unique_ptr<TRowPool> FPool;
  int FRecordSize = 0;
  std::int32_t FLastBookmark = 0;
};
