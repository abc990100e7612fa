// The row store under the three platform engines: column definitions, the record layout, the rows in
// their order, and the blob table. It knows nothing of datasets; the engines' dataset class
// (MemEngine.h) drives it, and the data file format (DataFile.h) writes and reads it.
//
// Record data. A row's values and a record buffer's values share one layout, so a fetch and a post are
// one copy: a null bitmap (bit set = null, one bit per column in column order), then each column's
// native value at its offset. Native values are the forms the dataset framework passes: integers and
// floats as themselves, booleans as 16 bits, 8-bit text zero-terminated in Size + 1 bytes, UTF-16 text
// in (Size + 1) * 2 bytes, fixed bytes in Size bytes, var bytes as a 16-bit length and Size bytes. A blob
// column holds a 32-bit handle into the store's blob table (0: no bytes); no address ever sits in a
// record.
//
// Rows. Rows live in the slabs of a TRowPool (platform/store), addressed by a 32-bit row id; deleting a
// row frees its slot for reuse. Every row made gets a generation never handed out before by this
// store (and, within 2^24 rows each, by no other store of the process), so a bookmark (id,
// generation) of a deleted row, of a row from before Clear or of another store is recognised as stale.
// The order of the rows is a TGapList of row ids: inserting or deleting at the same place again and
// again (an Insert run at the cursor, emptying by deleting the first row until none is left) costs O(1)
// each; a move of the gap costs a memmove of 4-byte ids.
// Each row remembers the position it was last seen at, so finding a row's position from its id checks
// that position first and then searches outward: O(1) for the rows the cursor just visited.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/db/FieldTypes.h"
#include "platform/rtl/String.h"
#include "platform/store/GapList.h"
#include "platform/store/HandleTable.h"
#include "platform/store/RowPool.h"

// Column types are the framework's field types; the data files store their ordinals, which never change.
using TColumnType = TFieldType;

// How a column's native value is held.
enum class TColumnStorage : std::uint8_t { Fixed, AnsiText, WideText, FixedBytes, VarBytes, Blob };

struct TColumnDef {
  String Name;
  TColumnType Type = ftInteger;
  std::int32_t Size = 0;  // characters for text, bytes for byte columns, 0 otherwise
  bool Required = false;
};

struct TColumnLayout {
  TColumnStorage Storage = TColumnStorage::Fixed;
  std::uint32_t Offset = 0;      // in the record data
  std::uint32_t NativeSize = 0;  // bytes of the native value (a blob handle for blobs)
};

// The storage and native size of a column type, or false for a type the store cannot hold (or a Size
// out of its range: text and byte columns take 1 to kMaxColumnSize).
inline constexpr std::int32_t kMaxColumnSize = 65534;
bool DescribeColumn(TColumnType Type, std::int32_t Size, TColumnStorage& Storage, std::uint32_t& NativeSize);

class TRecordLayout {
 public:
  TRecordLayout() = default;
  // Raises EDatabaseError for a column the store cannot hold.
  explicit TRecordLayout(std::vector<TColumnDef> Columns);

  const std::vector<TColumnDef>& Columns() const { return FColumns; }
  const TColumnLayout& Column(std::size_t Index) const { return FLayouts[Index]; }
  std::size_t ColumnCount() const { return FColumns.size(); }
  std::uint32_t DataSize() const { return FDataSize; }
  std::uint32_t NullBytes() const { return FNullBytes; }
  const std::vector<std::uint32_t>& BlobColumns() const { return FBlobColumns; }

  static bool IsNull(const std::uint8_t* Data, std::size_t Column) { return (Data[Column >> 3] >> (Column & 7)) & 1; }
  static void SetNull(std::uint8_t* Data, std::size_t Column, bool Null) {
    if (Null)
      Data[Column >> 3] = static_cast<std::uint8_t>(Data[Column >> 3] | (1u << (Column & 7)));
    else
      Data[Column >> 3] = static_cast<std::uint8_t>(Data[Column >> 3] & ~(1u << (Column & 7)));
  }
  // An empty record: every column null, every value zero.
  void InitRecord(std::uint8_t* Data) const;

 private:
  std::vector<TColumnDef> FColumns;
  std::vector<TColumnLayout> FLayouts;
  std::vector<std::uint32_t> FBlobColumns;
  std::uint32_t FDataSize = 0;
  std::uint32_t FNullBytes = 0;
};

using TRowId = std::uint32_t;
using TBlobHandle = std::uint32_t;

// A row's identity that survives inserts and deletes of other rows; 8 bytes in a record buffer.
struct TRowBookmark {
  TRowId Id = 0;
  std::uint32_t Generation = 0;
};
static_assert(sizeof(TRowBookmark) == 8);

class TRowStore {
 public:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  // A slab holds at most kMaxRowsPerSlab rows and, past one row, no more than about kSlabBytes: a
  // wide row must not make every slab gigabytes (rows per slab is a power of two, from the row size).
  static constexpr std::uint32_t kMaxRowsPerSlab = 1024;
  static constexpr std::size_t kSlabBytes = std::size_t{1} << 20;

  explicit TRowStore(const TRecordLayout& Layout);
  TRowStore(const TRowStore&) = delete;
  TRowStore& operator=(const TRowStore&) = delete;

  const TRecordLayout& Layout() const { return FLayout; }
  std::size_t Count() const { return FOrder.Count(); }
  void Reserve(std::size_t Rows);

  // The row at Index (0 to Count - 1); remembers Index as the row's position.
  TRowId IdAt(std::size_t Index);
  const std::uint8_t* Data(TRowId Id) const { return Slot(Id) + kSlotHeader; }
  TRowBookmark BookmarkOf(TRowId Id) const { return {Id, SlotGeneration(Id)}; }
  bool IsLive(const TRowBookmark& Bookmark) const;
  // The position of a live row, npos for a stale bookmark.
  std::size_t IndexOf(const TRowBookmark& Bookmark);

  // Adds a row holding Source's values before position Index (Count: at the end). Blob handles in
  // Source that are pending become the row's; a handle of another row is copied.
  TRowId InsertRow(std::size_t Index, const std::uint8_t* Source);
  // Replaces a row's values; blob handles the row no longer holds are freed.
  void UpdateRow(TRowId Id, const std::uint8_t* Source);
  void DeleteAt(std::size_t Index);
  void Clear();

  // Blobs. A new blob is pending until a row takes it. Owner names the record buffer the pending blob
  // was made for: DiscardPending frees only that buffer's pending blobs, so a stale handle in another
  // buffer can never free a blob it does not own.
  TBlobHandle NewBlob(const void* Owner = nullptr);
  bool IsPendingFor(TBlobHandle Handle, const void* Owner) const {
    return IsBlob(Handle) && FBlobs[Handle].State == TBlobState::Pending && FBlobs[Handle].Owner == Owner;
  }
  bool IsBlob(TBlobHandle Handle) const { return FBlobs.Contains(Handle) && FBlobs[Handle].State != TBlobState::Free; }
  std::vector<std::uint8_t>& Blob(TBlobHandle Handle) { return FBlobs[Handle].Bytes; }
  const std::vector<std::uint8_t>& Blob(TBlobHandle Handle) const { return FBlobs[Handle].Bytes; }
  void DiscardPending(std::uint8_t* Data);
  static TBlobHandle BlobHandleAt(const std::uint8_t* Data, std::uint32_t Offset);
  static void SetBlobHandleAt(std::uint8_t* Data, std::uint32_t Offset, TBlobHandle Handle);

  std::size_t LiveBlobCount() const { return FBlobs.LiveCount(); }
  std::uint32_t RowsPerSlab() const { return FRows.SlotsPerSlab(); }

 private:
  static constexpr std::uint32_t kSlotHeader = 8;  // generation, last known position
  enum class TBlobState : std::uint8_t { Free, Pending, Owned };
  struct TBlobEntry {
    std::vector<std::uint8_t> Bytes;
    const void* Owner = nullptr;  // compared only, never followed
    TBlobState State = TBlobState::Free;
  };

  std::uint8_t* Slot(TRowId Id) const { return FRows.At(Id); }
  std::uint32_t SlotGeneration(TRowId Id) const;
  std::uint32_t SlotHint(TRowId Id) const;
  void SetSlotHint(TRowId Id, std::size_t Index);
  TRowId AllocateRow();
  void FreeRow(TRowId Id);
  TBlobHandle AdoptBlob(TBlobHandle Handle, TBlobHandle Current);
  void FreeBlob(TBlobHandle Handle);

  TRecordLayout FLayout;
  TRowPool FRows;
  std::uint32_t FGeneration = 0;  // even; the last row made got FGeneration + 1
  TGapList<TRowId> FOrder;
  THandleTable<TBlobEntry> FBlobs;
};
