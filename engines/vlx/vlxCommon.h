// engines/vlx: the vlx memory table. A record store (this header) shared by one owning table and the
// tables attached to it; field lists and value comparison (vlxFieldList.h); indexes, the table's views
// of the store (vlxIndex.h); the dataset TvlxMemTable (vlxMemTable.h) with its blob stream and delta
// handler; pluggable stream formats (vlxStreamFormat.h) and the binary format
// (vlxMemBinaryStreamFormat.h). It calls platform/db, platform/classes, platform/rtl and platform/sys
// only; the benchmark application creates a table, fills it through the framework and times its saves,
// loads and emptying through a TvlxBinaryStreamFormat.
//
// ==== The record store ===================================================================================
//
// A record is one allocation: a TvlxRecord header followed by its data area. The data area, laid out by
// LayoutRecord from the owner's field definitions:
//
// | part                | size                      | content                                          |
// |---------------------|---------------------------|--------------------------------------------------|
// | fixed area          | per fixed field 1 + value | null byte (0 null, 2 written), then the value     |
// | calculated area     | owner's CalcFieldsSize    | the framework's calculated-field layout           |
// | bookmark array      | AttachMaxCount × 12       | per attached table: RecordID, flag, pad, UniqueID |
// | var-length slots    | 5 per var-length field    | flag byte (0 null), uint32 block handle (0 none)  |
//
// A var-length value lives in a block of the store's block table: {uint32 length, bytes}. A slot with a
// non-zero flag and handle 0 (a fetched record buffer) reads the block of the stored record with the same
// RecordID: fetches do not copy blocks. Handles are 32-bit numbers into the store's table, never
// addresses, so the data area has the same size on every build; slots are read and written unaligned.
//
// RecordID is the slot in the record list; freed slots are reused last in, first out. UniqueRecordID is
// given once per store generation; DataID changes whenever the store is emptied, so bookmarks taken
// before an emptying are recognised as stale.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "platform/classes/SyncObjs.h"
#include "platform/db/DB.h"
#include "platform/sys/Pages.h"

class TvlxCustomMemTable;
class TvlxFieldList;

// ---- errors -------------------------------------------------------------------------------------------
VELLUM_DECLARE_EXCEPTION(EMemTableError, EDatabaseError)
VELLUM_DECLARE_EXCEPTION(EMemTableFatalError, EMemTableError)
VELLUM_DECLARE_EXCEPTION(EMemTableInvalidRecord, EMemTableFatalError)
VELLUM_DECLARE_EXCEPTION(EMemTableDupKey, EMemTableError)
VELLUM_DECLARE_EXCEPTION(EMemTableFilterError, EMemTableError)
VELLUM_DECLARE_EXCEPTION(EMemTableLocaleError, EMemTableError)
VELLUM_DECLARE_EXCEPTION(EMemTableInvalidLocale, EMemTableLocaleError)

namespace vlxmsg {
inline constexpr char16_t SNoFields[] = u"There must be at least one field";
inline constexpr char16_t SDatatypeNotSupported[] = u" Datatype %d not supported.";
inline constexpr char16_t SBookmarkCounter[] = u"Bookmark counter is out of range. Please close and reopen table.";
inline constexpr char16_t STableMustBeClosed[] = u"Table must be closed for this operation.";
inline constexpr char16_t SInvalidArgument[] = u"Invalid argument.";
inline constexpr char16_t SChildrenAttached[] = u"Children are attached to this table.";
inline constexpr char16_t SInvalidRecord[] = u"Invalid record ";
inline constexpr char16_t SInvalidLocale[] = u"Invalid locale.";
inline constexpr char16_t SAttachMaxCountInUse[] = u"Attach slots in use: AttachMaxCount must be at least %d.";
inline constexpr char16_t SBlockTableFull[] = u"Var-length block table is full.";
}  // namespace vlxmsg

enum TvlxPerformance { mtpfFast, mtpfBalanced, mtpfSmall };
enum TvlxVersioningMode { mtvm1SinceCheckPoint, mtvmAllSinceCheckPoint };
enum TvlxIndexUpdateHow { mtiuhInsert, mtiuhEdit, mtiuhDelete, mtiuhAppend };

// Field flag bits (FFieldFlags).
inline constexpr Byte kvlxVarLength = 1;
inline constexpr Byte kvlxCompressed = 2;
inline constexpr Byte kvlxModified = 4;

inline constexpr int kvlxBookmarkEntrySize = 12;  // per attach slot in the data area, and BookmarkSize
inline constexpr int kvlxVarSlotSize = 5;         // flag byte + uint32 block handle

struct TvlxRecord {
  std::int32_t RecordNo;
  std::int32_t RecordID;
  std::int32_t UniqueRecordID;
  std::int32_t TransactionLevel;
  std::uint32_t Tag;
  std::uint32_t AllocSize;  // bytes taken from the store's arena, header included
  Byte Flag;  // bit 0: stored in the record list, owns its chain of older versions
  Byte UpdateStatus;
  TvlxRecord* PrevRecordVersion;
  Byte* Data;
};
using PvlxRecord = TvlxRecord*;
inline constexpr int kvlxRecordHeaderSize = static_cast<int>((sizeof(TvlxRecord) + 7) / 8 * 8);

inline std::int32_t LoadI32(const Byte* p) {
  std::int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline std::uint32_t LoadU32(const Byte* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void StoreI32(Byte* p, std::int32_t v) { std::memcpy(p, &v, 4); }
// Copies N bytes; a short value (the usual field value) inline, in at most four overlapping moves,
// rather than through a library call.
inline void CopyValueBytes(Byte* Dest, const Byte* Source, std::size_t N) {
  auto move = [](Byte* d, const Byte* s, auto chunk) {
    decltype(chunk) v;
    std::memcpy(&v, s, sizeof v);
    std::memcpy(d, &v, sizeof v);
  };
  struct T16 {
    std::uint64_t a, b;
  };
  if (N >= 16) {
    if (N > 32) {
      std::memcpy(Dest, Source, N);
      return;
    }
    T16 head, tail;
    std::memcpy(&head, Source, 16);
    std::memcpy(&tail, Source + N - 16, 16);
    std::memcpy(Dest, &head, 16);
    std::memcpy(Dest + N - 16, &tail, 16);
  } else if (N >= 8) {
    move(Dest, Source, std::uint64_t{});
    move(Dest + N - 8, Source + N - 8, std::uint64_t{});
  } else if (N >= 4) {
    move(Dest, Source, std::uint32_t{});
    move(Dest + N - 4, Source + N - 4, std::uint32_t{});
  } else {
    for (std::size_t i = 0; i < N; ++i) Dest[i] = Source[i];
  }
}
// Zeroes N bytes, a short run inline.
inline void ZeroValueBytes(Byte* Dest, std::size_t N) {
  static constexpr Byte kZero[32] = {};
  if (N <= 32) CopyValueBytes(Dest, kZero, N);
  else std::memset(Dest, 0, N);
}
inline void StoreU32(Byte* p, std::uint32_t v) { std::memcpy(p, &v, 4); }

// The store's memory: records and var-length blocks are carved from 256 KB chunks in size classes of
// 16 bytes (objects over 2 KB get an allocation of their own). A freed object goes to its class's free
// list and is the next one handed out of that class, so a table that is emptied and filled again, or a
// record edited in place, reuses memory instead of going back to the heap; the chunks are kept while
// anything lives and rewound when the last object goes. Chunks are whole pages from the page reserve
// (platform/sys/Pages.h) and go back there, so a load that stages its records beside the ones it
// replaces gets the pages the previous load gave back instead of faulting new ones in. Under
// AddressSanitizer freed objects are poisoned, so a stale record or block is still reported.
class TvlxArena {
 public:
  TvlxArena() = default;
  // Chunks come from Reserve (the process reserve when null) and go back to it.
  void SetReserve(sys::TPageReserve* Reserve) { FReserve = Reserve; }
  TvlxArena(const TvlxArena&) = delete;
  TvlxArena& operator=(const TvlxArena&) = delete;
  ~TvlxArena();
  // N uninitialised bytes, 16-aligned.
  Byte* Alloc(std::size_t N);
  // P came from Alloc(N) with the same N.
  void Free(Byte* P, std::size_t N);
  std::size_t Live() const { return FLive; }
  // Forgets every object at once; the caller knows none of them is used any more.
  void Reset();
  void Swap(TvlxArena& Other) noexcept;

 private:
  static constexpr std::size_t kGrain = 16;
  static constexpr std::size_t kSmallMax = 2048;
  static constexpr std::size_t kChunkSize = 256 * 1024;
  static constexpr std::size_t kKeptChunks = 128;  // rewinding without a reserve keeps at most 32 MB
  void Rewind();
  struct TLarge;
  void FreeLarge();

  void ReturnChunk(Byte* Chunk);
  sys::TPageReserve* FReserve = nullptr;
  std::vector<Byte*> FChunks;
  TLarge* FLarge = nullptr;
  std::size_t FOpened = 0;  // chunks carved so far; the last of them is being carved
  std::size_t FUsed = 0;
  std::vector<Byte*> FFree[kSmallMax / kGrain + 1];
  std::size_t FLive = 0;
};

// The store's var-length values. A block is {uint32 length, bytes}; a handle names it until freed, and
// freed handles are reused. The table also hands out record memory from the same arena, so a staging
// store that shares the table makes records the owning store can adopt and free.
class TvlxBlockTable {
 public:
  // A new block of N zero bytes; raises EMemTableFatalError when no handle is left.
  std::uint32_t Alloc(std::uint32_t N);
  // A new block holding a copy of N bytes at Source.
  std::uint32_t AllocCopy(const void* Source, std::uint32_t N);
  void Free(std::uint32_t Handle);
  bool Valid(std::uint32_t Handle) const {
    return Handle != 0 && Handle <= FBlocks.size() && FBlocks[Handle - 1] != nullptr;
  }
  std::uint32_t Length(std::uint32_t Handle) const { return LoadU32(FBlocks[Handle - 1]); }
  Byte* Bytes(std::uint32_t Handle) const { return FBlocks[Handle - 1] + 4; }
  std::size_t LiveCount() const { return FBlocks.size() - FFree.size(); }
  // The value bytes of every live block (their length words left out).
  std::size_t LiveBytes() const { return FBytes; }
  // Record memory: N bytes, uninitialised.
  Byte* AllocRecordMemory(std::size_t N) { return FArena.Alloc(N); }
  void FreeRecordMemory(Byte* P, std::size_t N) { FArena.Free(P, N); }
  // Drops every block and all arena memory when the arena holds exactly Records records and Blocks
  // blocks and the table exactly Blocks blocks (so they are all the caller's); false, changing
  // nothing, otherwise.
  bool ReleaseAllIfOnly(std::size_t Records, std::size_t Blocks);
  // Holds no block and no arena object.
  bool Empty() const { return FArena.Live() == 0 && LiveCount() == 0; }
  // Exchanges every block, handle and arena chunk with Other (each keeps its page reserve).
  void Swap(TvlxBlockTable& Other) noexcept;
  void SetReserve(sys::TPageReserve* Reserve) { FArena.SetReserve(Reserve); }

 private:
  std::uint32_t NewHandle(std::uint32_t N);

  TvlxArena FArena;
  std::vector<Byte*> FBlocks;
  std::vector<std::uint32_t> FFree;
  std::size_t FBytes = 0;
};

// One field of a record layout.
struct TvlxLayoutField {
  TFieldType DataType = ftUnknown;
  int Size = 0;
};

// The store's lock: recursive, taken on every record operation of every attached table, so its
// uncontended paths must cost next to nothing. A store is nearly always used from one thread only, so
// the first thread to take the lock becomes its home and takes it with plain stores: it marks itself
// inside, then checks that no other thread has asked for the lock. Another thread asks once and for
// good: it marks the lock revoked, forces a memory barrier on every thread of the process (so that the
// home's mark and its check cannot both have missed the revocation) and waits for the home to be
// outside. From then on every thread takes the lock word with a compare-exchange (a counter on
// re-entry), and a waiting thread sleeps on it. Where the kernel offers no process-wide barrier, the
// lock word is used from the start.
class TvlxStoreLock {
 public:
  void Enter() {
    const void* self = Self();
    const void* home = FHome.load(std::memory_order_relaxed);
    if (home == self || (home == nullptr && ClaimHome(self))) {
      if (FHomeDepth++ > 0) return;
      FHomeInside.store(true, std::memory_order_relaxed);
      std::atomic_signal_fence(std::memory_order_seq_cst);
      if (!FRevoked.load(std::memory_order_relaxed)) return;
      // Asked for meanwhile: step out and take the lock word like any other thread.
      FHomeDepth = 0;
      FHomeInside.store(false, std::memory_order_release);
    } else if (home != Shared()) {
      Revoke();
    }
    EnterShared(self);
  }
  void Leave() {
    if (FHome.load(std::memory_order_relaxed) == Self() && FHomeDepth > 0) {
      if (--FHomeDepth == 0) FHomeInside.store(false, std::memory_order_release);
      return;
    }
    if (--FDepth > 0) return;
    FOwner.store(nullptr, std::memory_order_relaxed);
    if (FState.exchange(0, std::memory_order_release) == 2) FState.notify_one();
  }
  bool HeldForTest() const { return FHomeDepth > 0 || FState.load(std::memory_order_relaxed) != 0; }

 private:
  static const void* Self() {
    static thread_local const char tag = 0;
    return &tag;
  }
  // The home value of a lock that every thread takes through the lock word.
  static const void* Shared() {
    static const char tag = 0;
    return &tag;
  }
  bool ClaimHome(const void* Self);
  void Revoke();
  void EnterShared(const void* self) {
    if (FOwner.load(std::memory_order_relaxed) == self) {
      ++FDepth;
      return;
    }
    int c = 0;
    if (!FState.compare_exchange_strong(c, 1, std::memory_order_acquire)) Wait(c);
    FOwner.store(self, std::memory_order_relaxed);
    FDepth = 1;
  }
  void Wait(int c) {
    // 0 free, 1 held, 2 held with sleepers.
    if (c != 2) c = FState.exchange(2, std::memory_order_acquire);
    while (c != 0) {
      FState.wait(2, std::memory_order_relaxed);
      c = FState.exchange(2, std::memory_order_acquire);
    }
  }
  std::atomic<const void*> FHome{nullptr};
  std::atomic<bool> FHomeInside{false};
  std::atomic<bool> FRevoked{false};
  int FHomeDepth = 0;  // the home's own
  std::atomic<int> FState{0};
  std::atomic<const void*> FOwner{nullptr};
  int FDepth = 0;
};

class TvlxCommon : public TObject {
  VELLUM_CLASS(TvlxCommon)
 public:
  explicit TvlxCommon(TvlxCustomMemTable* AOwner);
  // A staging store: lays out definitions of its own and keeps its records and blocks in Blocks (the
  // owning store's table, or one the stager hands over whole when it commits).
  TvlxCommon(TvlxBlockTable& Blocks, TvlxPerformance Performance, int AttachMaxCount);
  ~TvlxCommon() override;
  TvlxCommon(const TvlxCommon&) = delete;
  TvlxCommon& operator=(const TvlxCommon&) = delete;

  // ---- locking ----------------------------------------------------------------------------------------
  // No-ops on a standalone store. Each Unlock undoes the latest Lock, whichever kind it was: the store
  // may turn standalone, or stop being so, while a caller holds it.
  void Lock() {
    if (FStandalone) ++FFreeDepth;
    else FLock.Enter();
  }
  void Unlock() {
    if (FFreeDepth > 0) --FFreeDepth;
    else FLock.Leave();
  }
  // Test hook: some thread holds the store lock itself (not a standalone store's no-op hold).
  bool LockHeldForTest() const { return FLock.HeldForTest(); }
  class TLockGuard {
   public:
    explicit TLockGuard(TvlxCommon& C) : FC(C) { FC.Lock(); }
    ~TLockGuard() { FC.Unlock(); }
    TLockGuard(const TLockGuard&) = delete;
    TLockGuard& operator=(const TLockGuard&) = delete;

   private:
    TvlxCommon& FC;
  };

  // ---- records ----------------------------------------------------------------------------------------
  PvlxRecord _InternalAllocRecord(bool InArena = true);
  // A stored record whose every data byte the caller writes before anything reads it: the header is
  // set, the data area left as the arena gave it.
  PvlxRecord AllocRecordToOverwrite();
  void ReleaseRecordMemory(PvlxRecord ARecord);
  void ResetRecord(PvlxRecord ARecord) const;
  static void ResetRecordHeader(PvlxRecord ARecord);
  void _InternalFreeRecord(PvlxRecord ARecord, bool FreeVarLengths, bool FreeVersions);
  void ReleaseVarLengthValues(PvlxRecord ARecord);
  void CopyRecordFixedArea(const TvlxRecord* Source, PvlxRecord Dest) const;
  PvlxRecord CloneRecord(const TvlxRecord* Source, bool WithVarLengths);
  void CloneVarLengthValue(const TvlxRecord* Source, PvlxRecord Dest, int FieldIndex);
  void CloneVarLengthValues(const TvlxRecord* Source, PvlxRecord Dest);
  void MoveRecordContents(PvlxRecord Source, PvlxRecord Dest);
  std::uint32_t AllocVarLengthBlock(std::uint32_t N) { return FBlocks->Alloc(N); }
  TvlxBlockTable& Blocks() { return *FBlocks; }
  // A staging store whose block table was handed to another store follows it there.
  void RetargetBlocks(TvlxBlockTable& Blocks) { FBlocks = &Blocks; }
  const TvlxBlockTable& Blocks() const { return *FBlocks; }
  // The owning store's page reserve (null for a staging store), for a block table staged beside it.
  sys::TPageReserve* PageReserve() const { return FPages.get(); }

  // The value slot of a field (data fields by number, calculated and lookup fields in the calculated
  // area); nullptr for no record.
  Byte* GetFieldPointer(const TvlxRecord* ARecord, const TField* Field) const;
  int GetFieldDataOffset(const TField* Field) const;
  // Per field index (FieldNo - 1).
  bool IsVarLength(int FieldIndex) const { return (FFieldFlags[static_cast<std::size_t>(FieldIndex)] & kvlxVarLength) != 0; }
  bool IsCompressed(int FieldIndex) const { return (FFieldFlags[static_cast<std::size_t>(FieldIndex)] & kvlxCompressed) != 0; }
  int FieldOffset(int FieldIndex) const { return FFieldOfs[static_cast<std::size_t>(FieldIndex)]; }
  const TvlxLayoutField& LayoutField(int FieldIndex) const { return FLayoutFields[static_cast<std::size_t>(FieldIndex)]; }
  // The var-length block a record's slot refers to, following an unwritten buffer slot to the stored
  // record with its RecordID; 0 when null. Raises "Invalid record " when a buffer slot has no block and
  // no stored record to read it from.
  std::uint32_t ResolveBlock(const TvlxRecord* ARecord, int SlotOffset) const;
  // The stored record with RecordID, or nullptr when the id is outside the list or the slot is free.
  PvlxRecord StoredRecord(std::int32_t RecordID) const {
    return RecordID >= 0 && static_cast<std::size_t>(RecordID) < FRecords.size()
               ? FRecords[static_cast<std::size_t>(RecordID)]
               : nullptr;
  }

  void CompressFieldBuffer(const TField* Field, const Byte* Buffer, int& Size) const;

  // ---- record list ------------------------------------------------------------------------------------
  // Stores ARecord in a freed slot (newest first) or a new one, with the next unique number. Raises
  // EMemTableFatalError, storing nothing, when no unique number is left; returns true when the number
  // just given was the last one (the caller finishes its step, then reports it).
  bool AppendRecord(PvlxRecord ARecord);
  [[noreturn]] static void RaiseBookmarkCounter();
  // Stores Records whole, in order; each already holds the RecordID and UniqueRecordID AppendRecord
  // would give it (no freed slot to reuse, no number running out: the caller made sure). Records is
  // left empty; an empty store takes its list whole and hands its own (emptied) list's room back in it.
  void AdoptNumberedRecords(std::vector<PvlxRecord>& Records);
  void DeleteRecord(PvlxRecord ARecord);
  int RecordCount() const { return static_cast<int>(FRecords.size()); }
  int DeletedRecordCount() const { return static_cast<int>(FDeletedRecords.size()); }
  const std::vector<PvlxRecord>& Records() const { return FRecords; }
  int Capacity() const { return static_cast<int>(FRecords.capacity()); }
  void ReserveRecords(std::size_t N) { FRecords.reserve(N); }
  void ReleaseAllRecords();
  void MakeDataID();
  std::int32_t DataID() const { return FDataID; }
  std::int32_t NextUniqueRecordID() const { return FUniqueRecordID; }
  std::int32_t NextRecordID() const { return FRecordID; }
  // Test hook: where the unique-number counter stands.
  void SetNextUniqueRecordIDForTest(std::int32_t Value) { FUniqueRecordID = Value; }

  // ---- layout -----------------------------------------------------------------------------------------
  // Lays out the owner's field definitions (the first AFieldCount, counted depth first).
  void LayoutRecord(int AFieldCount);
  // Lays out Defs with a calculated area of CalcSize bytes.
  void LayoutFields(const TFieldDefs& Defs, int CalcSize, int AFieldCount);
  // Same offsets, flags and sizes: records of one store fit the other.
  bool SameLayout(const TvlxCommon& Other) const;
  void ClearModifiedFlags();
  void SetFieldModified(int FieldIndex) { FFieldFlags[static_cast<std::size_t>(FieldIndex)] |= kvlxModified; }
  bool FieldModified(int FieldIndex) const { return (FFieldFlags[static_cast<std::size_t>(FieldIndex)] & kvlxModified) != 0; }
  int FieldCount() const { return FFieldCount; }
  int DataRecordSize() const { return FDataRecordSize; }
  int TotalRecordSize() const { return FTotalRecordSize; }
  int FixedRecordSize() const { return FFixedRecordSize; }
  int StartCalculated() const { return FStartCalculated; }
  int StartBookmarks() const { return FStartBookmarks; }
  int StartVarLength() const { return FStartVarLength; }
  int VarLengthCount() const { return FVarLengthCount; }
  // The value bytes a field of Type and Size takes in the fixed area; -1 for an unsupported type.
  static int ValueBytes(TFieldType Type, int Size);
  static bool IsSupportedType(TFieldType Type);
  static bool IsAlwaysVarLength(TFieldType Type);

  // ---- settings ---------------------------------------------------------------------------------------
  bool Standalone() const { return FStandalone; }
  // Raises "Children are attached to this table." with more than one attach slot.
  void SetStandalone(bool Value);
  TvlxPerformance Performance() const { return FPerformance; }
  void SetPerformance(TvlxPerformance Value) { FPerformance = Value; }
  int LocaleID() const { return FLocaleID; }
  void SetLocaleID(int Value);
  int LanguageID() const { return FLanguageID; }
  int SortID() const { return FSortID; }
  int SubLanguageID() const { return FSubLanguageID; }
  void SetLanguageID(int Value) { FLanguageID = Value; RecomposeLocaleID(); }
  void SetSortID(int Value) { FSortID = Value; RecomposeLocaleID(); }
  void SetSubLanguageID(int Value) { FSubLanguageID = Value; RecomposeLocaleID(); }
  int AutoIncMin() const { return FAutoIncMin; }
  void SetAutoIncMin(int Value);
  int AutoIncMax() const { return FAutoIncMax; }
  void SetAutoIncMax(int Value) { FAutoIncMax = Value; }
  bool EnableVersioning() const { return FEnableVersioning; }
  void SetEnableVersioning(bool Value) { FEnableVersioning = Value; }
  TvlxVersioningMode VersioningMode() const { return FVersioningMode; }
  void SetVersioningMode(TvlxVersioningMode Value) { FVersioningMode = Value; }
  bool IsDataModified() const { return FIsDataModified; }
  void SetIsDataModified(bool Value) { FIsDataModified = Value; }
  int DeletedCount() const { return FDeletedCount; }
  void SetDeletedCount(int Value) { FDeletedCount = Value; }
  bool ThreadProtected() const { return FThreadProtected; }
  void SetThreadProtected(bool Value) { FThreadProtected = Value; }
  TvlxCustomMemTable* Owner() const { return FOwner; }

  // ---- transactions -----------------------------------------------------------------------------------
  void IncTransactionLevel() { ++FTransactionLevel; }
  void DecTransactionLevel() {
    if (FTransactionLevel > 0) --FTransactionLevel;
  }
  int TransactionLevel() const { return FTransactionLevel; }
  void Commit();
  void Rollback();

  // ---- attached tables --------------------------------------------------------------------------------
  int AttachTable(TvlxCustomMemTable* ATable);
  void DeAttachTable(TvlxCustomMemTable* ATable);
  int AttachCount() const;
  int AttachMaxCount() const { return FAttachMaxCount; }
  // Raises ERangeError "Invalid argument." for 0 or less, "Table must be closed for this operation."
  // while a table is active, and refuses a count below the highest occupied slot + 1.
  void SetAttachMaxCount(int Value);
  bool IsAnyTableActive() const;
  const std::vector<TvlxCustomMemTable*>& AttachedTables() const { return FAttachedTables; }
  void CloseTables(TvlxCustomMemTable* Caller);
  void RefreshTables(TvlxCustomMemTable* Caller);
  void EmptyTables();
  void MarkIndexesDirty();
  void RebuildIndexes();
  void ReflectToIndexes(TvlxCustomMemTable* Caller, TvlxIndexUpdateHow How, PvlxRecord OldRecord,
                        PvlxRecord NewRecord, int RecordPos, bool DontVersion);

 private:
  void RecomposeLocaleID();
  void GrowFieldArrays(int N);
  void LayoutFixedFields(const TFieldDefs& Defs, int& I, int Count);
  void LayoutVarLengthFields(const TFieldDefs& Defs, int& I, int Count);

  bool FStandalone = false;
  int FFreeDepth = 0;  // Lock calls made while standalone and not yet undone
  std::vector<PvlxRecord> FRecords;
  int FFieldCount = 0;
  std::vector<int> FFieldOfs;
  std::vector<Byte> FFieldFlags;
  std::vector<TvlxLayoutField> FLayoutFields;
  int FLanguageID = 0;
  int FSubLanguageID = 1;
  int FSortID = 0;
  int FLocaleID = 1024;
  std::int32_t FDataID = -1;
  int FBookmarkArraySize = 0;
  int FFixedRecordSize = 0;
  int FTotalRecordSize = 0;
  int FDataRecordSize = 0;
  int FCalcRecordSize = 0;
  int FVarLengthRecordSize = 0;
  int FStartCalculated = 0;
  int FStartBookmarks = 0;
  int FStartVarLength = 0;
  int FVarLengthCount = 0;
  bool FIsDataModified = false;
  int FAutoIncMin = 0;
  int FAutoIncMax = 0;
  int FDeletedCount = 0;
  TvlxPerformance FPerformance = mtpfFast;
  int FAttachMaxCount = 1;
  std::vector<std::int32_t> FDeletedRecords;
  TvlxVersioningMode FVersioningMode = mtvm1SinceCheckPoint;
  bool FEnableVersioning = false;
  int FTransactionLevel = 0;
  bool FThreadProtected = false;
  std::vector<TvlxCustomMemTable*> FAttachedTables;
  TvlxCustomMemTable* FOwner;
  TvlxStoreLock FLock;
  std::int32_t FUniqueRecordID = 0;
  std::int32_t FRecordID = 0;
  // The pages the store's records and blocks give back are kept for its next fill or load, whatever
  // other stores of the process take meanwhile. Made before the blocks, gone after them.
  std::unique_ptr<sys::TPageReserve> FPages;
  TvlxBlockTable FOwnBlocks;
  TvlxBlockTable* FBlocks = &FOwnBlocks;
};

// Helpers of the table module.
void CopyFieldDefs(const TFieldDefs& Source, TFieldDefs& Dest);
