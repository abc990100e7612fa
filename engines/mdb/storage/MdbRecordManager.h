// The record managers: the abstract record manager a table data object stores its rows through, and
// the memory record manager behind in-memory tables. The memory record manager keeps one flat array
// of fixed-size record slots plus a delete bitmap (bit i set = slot i holds no record); the slot
// number is the record's identity (TMdbRecordID.PageNo, PageItemNo 0) and survives a save and load.
//
// Record buffer (one row, stored byte for byte): a null bitmap of ceil(field count / 8) bytes (bit
// i mod 8 of byte i div 8 set = field i is NULL), then the field values at their memory offsets.
// A BLOB field's 8-byte slot holds a 32-bit handle into the table's BLOB block table at bytes 0..3,
// zeros at 4..5 and the modified marker at 6..7 (kBlobModified 0x0F0F: written through this buffer
// and owned by it; anything else, normally kBlobNotModified 0xF0F0: the stored record's block).
// No address is ever kept in a record, so a record block can be saved as it is.
//
// Manager block (little-endian; write / read codes):
//   0  4  Int32  slot count S                               10444 / 10449
//   4  1  Byte   no record ever deleted (0xFF / 0)          10445 / 10450
//   5  4  Int32  lowest live slot                           10446 / 10451
//   9  4  Int32  highest live slot                          10447 / 10452
//  13  ceil(S/8) delete bitmap, only when S > 0             10448 / 10453
// The record count is not stored: AddLoadedRecord rebuilds it while the records are read back.
//
// The slot array lives in whole pages from the process page reserve: it doubles into a new range, and
// the ranges a dropped or emptied table gives back serve the next table without being faulted in again.
// Such pages are not zeroed: only live slots are ever read, and each is written whole first.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "engines/mdb/runtime/MdbTypes.h"
#include "platform/classes/Classes.h"
#include "platform/sys/Pages.h"

class TStream;
class TMdbTableData;

inline constexpr std::uint16_t kBlobModified = 0x0F0F;
inline constexpr std::uint16_t kBlobNotModified = 0xF0F0;
inline constexpr std::int32_t kBlobSlotSize = 8;
inline constexpr std::int32_t kBlobMarkerOffset = 6;
inline constexpr std::int32_t kBlobBlockHeaderSize = 12;

// BLOB blocks of one table, by 32-bit handle (0 = none). A block is a 12-byte header {Int32 compressed
// block count, Int64 uncompressed size} and the compressed block sequence. A block is either a
// memory-manager buffer of its own (Add) or carved from one of the table's slabs (Carve, what a load
// uses: one allocation per megabyte instead of one per value). A slab is given back once its last
// block is freed; Clear gives back every slab at once.
class TMdbBlobHandleTable {
 public:
  // Blocks up to this size are carved from slabs; larger ones get a buffer of their own.
  static constexpr Int64 kMaxCarvedBlock = 64 * 1024;
  static constexpr Int64 kSlabSize = 1024 * 1024;

  TMdbBlobHandleTable() = default;
  ~TMdbBlobHandleTable();
  TMdbBlobHandleTable(const TMdbBlobHandleTable&) = delete;
  TMdbBlobHandleTable& operator=(const TMdbBlobHandleTable&) = delete;

  // Takes ownership of Block (a memory-manager buffer) and returns its handle.
  std::uint32_t Add(void* Block);
  // A new block of Size bytes (uninitialised) and its handle: carved from a slab when small enough.
  void* Carve(Int64 Size, std::uint32_t& Handle);
  // The block of Handle; nil for 0 or a handle not in use.
  void* Get(std::uint32_t Handle) const;
  // The size of the block of Handle (header included); 0 for 0 or a handle not in use.
  Int64 Size(std::uint32_t Handle) const;
  // Frees the block of Handle; 0 and unknown handles are ignored.
  void Free(std::uint32_t Handle) noexcept;
  std::size_t LiveCount() const { return FLive; }
  std::size_t SlabCount() const;
  // While set, Free keeps the block and notes its handle instead (a transaction may bring the record
  // back that named it); TakeDeferred hands the noted handles over and forgets them.
  void SetDeferFrees(bool Value) { FDeferFrees = Value; }
  bool DeferFrees() const { return FDeferFrees; }
  std::vector<std::uint32_t> TakeDeferred() { return std::exchange(FDeferred, {}); }
  // Room for Count more handles, so that many blocks come without regrowing the table.
  void Reserve(std::size_t Count) { FBlocks.reserve(FBlocks.size() + Count); }
  void Clear() noexcept;

 private:
  static constexpr std::uint32_t kOwnBuffer = 0;  // TEntry::Slab of a memory-manager buffer
  struct TEntry {
    void* Block = nullptr;
    std::uint32_t Slab = kOwnBuffer;  // slab index + 1 for carved blocks
    std::uint32_t Size = 0;           // carved blocks only
  };
  struct TSlab {
    // kSlabSize bytes of pages from the process reserve (a table filled again after an empty or a
    // load reuses the pages an earlier fill faulted in); nil once given back.
    Byte* Memory = nullptr;
    sys::TPages Pages;
    Int64 Used = 0;
    std::uint32_t Live = 0;
  };
  // The entries, in pages from the process reserve for the same reason; grown by doubling.
  class TEntries {
   public:
    TEntries() = default;
    ~TEntries() { clear(); }
    TEntries(const TEntries&) = delete;
    TEntries& operator=(const TEntries&) = delete;
    std::size_t size() const { return FCount; }
    TEntry& operator[](std::size_t i) { return FItems[i]; }
    const TEntry& operator[](std::size_t i) const { return FItems[i]; }
    TEntry* begin() { return FItems; }
    TEntry* end() { return FItems + FCount; }
    void push_back(const TEntry& E);
    void reserve(std::size_t Count);
    void clear() noexcept;

   private:
    sys::TPages FPages;
    TEntry* FItems = nullptr;
    std::size_t FCount = 0;
    std::size_t FCapacity = 0;
  };
  std::uint32_t NewHandle(const TEntry& Entry);
  void ReleaseSlab(TSlab& Slab) noexcept;

  TEntries FBlocks;  // index = handle - 1
  std::vector<std::uint32_t> FFreeHandles;
  std::vector<TSlab> FSlabs;
  std::uint32_t FCurrentSlab = 0;  // the slab carved from (index + 1), 0 = none
  std::size_t FLive = 0;
  bool FDeferFrees = false;
  std::vector<std::uint32_t> FDeferred;
};

// Where a BLOB field sits in a record buffer: its null bit and its slot.
struct TMdbBlobFieldSlot {
  std::int32_t FieldNo = 0;
  std::int32_t MemoryOffset = 0;
};

// Null-bit and BLOB-slot access on a record buffer.
inline bool IsRecordFieldNull(const Byte* Record, std::int32_t FieldNo) {
  return (Record[FieldNo >> 3] >> (FieldNo & 7)) & 1;
}
inline void SetRecordFieldNull(Byte* Record, std::int32_t FieldNo, bool Null) {
  const Byte Mask = static_cast<Byte>(1u << (FieldNo & 7));
  Record[FieldNo >> 3] = Null ? static_cast<Byte>(Record[FieldNo >> 3] | Mask) : static_cast<Byte>(Record[FieldNo >> 3] & ~Mask);
}
std::uint32_t GetBlobHandle(const Byte* Record, std::int32_t MemoryOffset);
void SetBlobHandle(Byte* Record, std::int32_t MemoryOffset, std::uint32_t Handle);
std::uint16_t GetBlobMarker(const Byte* Record, std::int32_t MemoryOffset);
void SetBlobMarker(Byte* Record, std::int32_t MemoryOffset, std::uint16_t Marker);
// Frees the field's block (if any), clears the slot and sets the null bit.
void ClearBlobFieldInRecordBuffer(Byte* Record, const TMdbBlobFieldSlot& Field, TMdbBlobHandleTable& Blobs);

class TMdbBaseRecordManager : public TObject {
  VELLUM_CLASS(TMdbBaseRecordManager)
 public:
  explicit TMdbBaseRecordManager(std::int32_t aRecordBufferSize) : RecordBufferSize(aRecordBufferSize) {}
  virtual Int64 GetRecordCount() const { return FRecordCount; }
  virtual void Empty(std::int32_t SessionID) = 0;
  virtual bool AddRecord(const Byte* RecordBuffer, TMdbRecordID& RecordID, std::int32_t SessionID) = 0;
  virtual bool UpdateRecord(Byte*, const TMdbRecordID&, std::int32_t) { return false; }
  virtual bool DeleteRecord(TMdbRecordID&, std::int32_t) { return false; }
  virtual bool IsRecordExists(const TMdbRecordID& RecordID, std::int32_t SessionID) const = 0;
  virtual void GetRecordBuffer(TMdbNavigationInfo& NavigationInfo) = 0;
  virtual Int64 GetApproximateRecNo(const TMdbRecordID& RecordID, std::int32_t SessionID) const = 0;
  virtual void LoadFromStream(TStream*) {}
  virtual void SaveToStream(TStream*) {}
  virtual void AddLoadedRecord(const Byte*, std::int32_t&) {}

  Int64 RecordCount() const { return GetRecordCount(); }
  const std::int32_t RecordBufferSize;
  bool Repair = false;

 protected:
  Int64 FRecordCount = 0;
};

class TMdbMemoryRecordManager : public TMdbBaseRecordManager {
  VELLUM_CLASS(TMdbMemoryRecordManager)
 public:
  static constexpr std::int32_t kDefaultAllocRecordsBy = 1000;

  // 10011 for a record size of 0 or less.
  TMdbMemoryRecordManager(TMdbTableData* aTableData, std::int32_t aRecordBufferSize, std::int32_t AllocRecordsBy);
  ~TMdbMemoryRecordManager() override;

  // The table's BLOB fields and block table; without them records carry no BLOBs.
  void SetBlobFields(std::vector<TMdbBlobFieldSlot> Fields, TMdbBlobHandleTable* Blobs);

  void Empty(std::int32_t SessionID) override;
  bool AddRecord(const Byte* RecordBuffer, TMdbRecordID& RecordID, std::int32_t SessionID) override;
  bool UpdateRecord(Byte* RecordBuffer, const TMdbRecordID& RecordID, std::int32_t SessionID) override;
  bool DeleteRecord(TMdbRecordID& RecordID, std::int32_t SessionID) override;
  bool IsRecordExists(const TMdbRecordID& RecordID, std::int32_t SessionID) const override;
  void GetRecordBuffer(TMdbNavigationInfo& NavigationInfo) override;
  Int64 GetApproximateRecNo(const TMdbRecordID& RecordID, std::int32_t SessionID) const override;
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) override;
  void AddLoadedRecord(const Byte* RecordBuffer, std::int32_t& RecordPos) override;
  // Puts a record back into Slot, a slot no live record holds (a rolled-back deletion): the slots it
  // passes on the way stay free.
  void RestoreRecord(std::int32_t Slot, const Byte* RecordBuffer);
  // Hands the blocks of Source's changed BLOB fields to the stored record Dest, freeing Dest's old ones.
  void RewriteBLOBValues(Byte* Source, Byte* Dest);

  // Record number (1-based) <-> slot; -1 when there is no such record.
  Int64 GetRecordIDByRecNo(Int64 RecNoLessOne) const;
  Int64 GetRecNoByRecordID(Int64 PageNo) const;

  // The stored bytes of a live or deleted slot (the table stream writes them as they are).
  Byte* SlotBuffer(std::int32_t Slot) const { return FRecordBuffer + Int64(Slot) * RecordBufferSize; }
  bool IsSlotDeleted(std::int32_t Slot) const { return (FDeleteFlagBuffer[Slot >> 3] >> (Slot & 7)) & 1; }
  std::int32_t AllocatedRecordCount() const { return FAllocatedRecordCount; }
  std::int32_t FirstRecordID() const { return FFirstRecordID; }
  std::int32_t LastRecordID() const { return FLastRecordID; }
  bool NoRecordsDeleted() const { return FNoRecordsDeleted; }
  bool HasBlobFields() const { return !FBlobFields.empty(); }
  const std::vector<TMdbBlobFieldSlot>& BlobFields() const { return FBlobFields; }

 private:
  struct TMdbLoadingRecordsInfo {
    std::int32_t BitNo = 0;
    std::int32_t ByteNo = 0;
  };
  void Grow(std::int32_t Slot);
  void FreeArrays() noexcept;
  void SetDeleted(std::int32_t Slot, bool Deleted);
  TMdbGetRecordResult NavigateFromFirst(TMdbGetRecordMode Mode, std::int32_t& p) const;
  TMdbGetRecordResult NavigateFromLast(TMdbGetRecordMode Mode, std::int32_t& p) const;
  TMdbGetRecordResult NavigateFromRecord(TMdbGetRecordMode Mode, std::int32_t& p) const;
  bool IsLive(std::int32_t Slot) const { return !IsSlotDeleted(Slot); }
  void AdvanceLoadingSlot(std::int32_t& RecordPos);

  TMdbTableData* LTableData;
  sys::TPages FRecordPages;  // under FRecordBuffer
  Byte* FRecordBuffer = nullptr;
  Byte* FDeleteFlagBuffer = nullptr;
  std::int32_t FAllocatedRecordCount = 0;
  std::int32_t FReservedRecordCount = 0;  // slots the arrays have room for (>= FAllocatedRecordCount)
  std::int32_t FAllocRecordsBy;
  std::int32_t FFirstRecordID = 0;
  std::int32_t FLastRecordID = 0;
  std::array<Byte, 256> FBitsTable{};
  bool FNoRecordsDeleted = true;
  TMdbLoadingRecordsInfo FLoadingRecordInfo;
  std::vector<TMdbBlobFieldSlot> FBlobFields;
  TMdbBlobHandleTable* LBlobs = nullptr;
};
