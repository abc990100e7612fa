#include "engines/vlx/vlxCommon.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <mutex>
#include <thread>

#include "engines/vlx/vlxIndex.h"
#include "engines/vlx/vlxMemTable.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/Random.h"
#include "platform/sys/Pages.h"

// ---- arena ----------------------------------------------------------------------------------------------

#if defined(__SANITIZE_ADDRESS__)
#define VLX_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VLX_ASAN 1
#endif
#endif
#ifdef VLX_ASAN
#include <sanitizer/asan_interface.h>
#define VLX_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define VLX_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define VLX_POISON(p, n) ((void)(p), (void)(n))
#define VLX_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

TvlxArena::~TvlxArena() {
  FreeLarge();
  for (Byte* c : FChunks) ReturnChunk(c);
}

void TvlxArena::ReturnChunk(Byte* Chunk) {
  // Whoever takes the pages next sees them unpoisoned.
  VLX_UNPOISON(Chunk, kChunkSize);
  if (FReserve != nullptr) FReserve->Return({Chunk, kChunkSize, true});
  else sys::ReturnPages({Chunk, kChunkSize, true});
}

// A large object has a heap allocation of its own behind a link of the arena's list of them, so that a
// reset frees them too.
struct TvlxArena::TLarge {
  TLarge* Prev;
  TLarge* Next;
};

void TvlxArena::FreeLarge() {
  while (FLarge != nullptr) {
    TLarge* next = FLarge->Next;
    ::operator delete(static_cast<void*>(FLarge));
    FLarge = next;
  }
}

Byte* TvlxArena::Alloc(std::size_t N) {
  if (N > kSmallMax) {
    auto* l = static_cast<TLarge*>(::operator new(sizeof(TLarge) + N));
    l->Prev = nullptr;
    l->Next = FLarge;
    if (FLarge != nullptr) FLarge->Prev = l;
    FLarge = l;
    ++FLive;
    return reinterpret_cast<Byte*>(l + 1);
  }
  const std::size_t cls = (N + kGrain - 1) / kGrain;
  std::vector<Byte*>& free = FFree[cls];
  Byte* p;
  if (!free.empty()) {
    p = free.back();
    free.pop_back();
  } else {
    const std::size_t bytes = cls * kGrain;
    if (FOpened == 0 || FUsed + bytes > kChunkSize) {
      if (FOpened == FChunks.size()) {
        FChunks.reserve(FChunks.size() + 1);
        const sys::TPages pages = FReserve != nullptr ? FReserve->Take(kChunkSize) : sys::TakePages(kChunkSize);
        if (pages.Memory == nullptr) throw std::bad_alloc();
        // Past the first chunk (a small table never commits more than it writes), fresh pages are
        // committed in one call rather than one fault each as records are written.
        if (!pages.Dirty && !FChunks.empty()) sys::PopulatePages(pages.Memory, pages.Size);
        FChunks.push_back(static_cast<Byte*>(pages.Memory));
        VLX_POISON(FChunks.back(), kChunkSize);
      }
      ++FOpened;
      FUsed = 0;
    }
    p = FChunks[FOpened - 1] + FUsed;
    FUsed += bytes;
  }
  VLX_UNPOISON(p, cls * kGrain);
  ++FLive;
  return p;
}

void TvlxArena::Free(Byte* P, std::size_t N) {
  if (P == nullptr) return;
  --FLive;
  if (N > kSmallMax) {
    TLarge* l = reinterpret_cast<TLarge*>(P) - 1;
    if (l->Prev != nullptr) l->Prev->Next = l->Next;
    else FLarge = l->Next;
    if (l->Next != nullptr) l->Next->Prev = l->Prev;
    ::operator delete(static_cast<void*>(l));
  } else {
    const std::size_t cls = (N + kGrain - 1) / kGrain;
    VLX_POISON(P, cls * kGrain);
    FFree[cls].push_back(P);
  }
  if (FLive == 0) Rewind();
}

bool TvlxBlockTable::ReleaseAllIfOnly(std::size_t Records, std::size_t Blocks) {
  if (FArena.Live() != Records + Blocks || LiveCount() != Blocks) return false;
  FBlocks.clear();
  FFree.clear();
  FBytes = 0;
  FArena.Reset();
  return true;
}

void TvlxArena::Swap(TvlxArena& o) noexcept {
  std::swap(FChunks, o.FChunks);
  std::swap(FOpened, o.FOpened);
  std::swap(FUsed, o.FUsed);
  std::swap(FFree, o.FFree);
  std::swap(FLive, o.FLive);
  std::swap(FLarge, o.FLarge);
}

void TvlxBlockTable::Swap(TvlxBlockTable& o) noexcept {
  FArena.Swap(o.FArena);
  std::swap(FBlocks, o.FBlocks);
  std::swap(FFree, o.FFree);
  std::swap(FBytes, o.FBytes);
}

void TvlxArena::Reset() {
  FreeLarge();
  FLive = 0;
  Rewind();
}

void TvlxArena::Rewind() {
  for (auto& f : FFree) {
    f.clear();
    // A free list keeps its room for the next fill, up to a limit.
    if (f.capacity() > (std::size_t{1} << 20)) f.shrink_to_fit();
  }
  // A store's own reserve takes every chunk: whichever arena of the store fills next (its own, or a
  // load staging beside it) gets them, not only this one.
  const std::size_t keep = FReserve != nullptr ? 0 : std::min(FChunks.size(), kKeptChunks);
  for (std::size_t i = keep; i < FChunks.size(); ++i) ReturnChunk(FChunks[i]);
  FChunks.resize(keep);
  for (Byte* c : FChunks) VLX_POISON(c, kChunkSize);
  FOpened = 0;
  FUsed = 0;
}

// ---- store lock -----------------------------------------------------------------------------------------

namespace {

// A memory barrier on every running thread of the process: Linux's membarrier, registered once. False
// where the kernel does not offer it (the lock then never has a home).
bool ProcessBarrierAvailable() {
  static const bool available = [] {
    const long cmds = syscall(SYS_membarrier, MEMBARRIER_CMD_QUERY, 0, 0);
    if (cmds < 0 || (cmds & MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0) return false;
    return syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
  }();
  return available;
}

void ProcessBarrier() {
  if (syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0)
    throw EMemTableFatalError(String(u"The store lock could not be handed to another thread"));
}

std::mutex& RevokeMutex() {
  static std::mutex m;
  return m;
}

}  // namespace

bool TvlxStoreLock::ClaimHome(const void* Self) {
  const void* expected = nullptr;
  if (!ProcessBarrierAvailable()) {
    FHome.compare_exchange_strong(expected, Shared(), std::memory_order_relaxed);
    return false;
  }
  return FHome.compare_exchange_strong(expected, Self, std::memory_order_relaxed);
}

void TvlxStoreLock::Revoke() {
  std::lock_guard<std::mutex> guard(RevokeMutex());
  if (FHome.load(std::memory_order_relaxed) == Shared()) return;
  FRevoked.store(true, std::memory_order_relaxed);
  // Pairs with the home's compiler-only fence: either the home sees the revocation, or this thread
  // sees the home inside and waits for it to leave.
  ProcessBarrier();
  for (int spins = 0; FHomeInside.load(std::memory_order_acquire); ++spins) {
    if (spins < 64) std::this_thread::yield();
    else std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  FHome.store(Shared(), std::memory_order_relaxed);
}

// ---- block table ----------------------------------------------------------------------------------------

std::uint32_t TvlxBlockTable::NewHandle(std::uint32_t N) {
  if (FFree.empty() && FBlocks.size() >= std::numeric_limits<std::uint32_t>::max() - 1)
    throw EMemTableFatalError(String(vlxmsg::SBlockTableFull));
  Byte* block = FArena.Alloc(std::size_t{N} + 4);
  StoreU32(block, N);
  if (!FFree.empty()) {
    const std::uint32_t h = FFree.back();
    FFree.pop_back();
    FBlocks[h - 1] = block;
    FBytes += N;
    return h;
  }
  try {
    FBlocks.push_back(block);
  } catch (...) {
    FArena.Free(block, std::size_t{N} + 4);
    throw;
  }
  FBytes += N;
  return static_cast<std::uint32_t>(FBlocks.size());
}

std::uint32_t TvlxBlockTable::Alloc(std::uint32_t N) {
  const std::uint32_t h = NewHandle(N);
  if (N) std::memset(Bytes(h), 0, N);
  return h;
}

std::uint32_t TvlxBlockTable::AllocCopy(const void* Source, std::uint32_t N) {
  const std::uint32_t h = NewHandle(N);
  CopyValueBytes(Bytes(h), static_cast<const Byte*>(Source), N);
  return h;
}

void TvlxBlockTable::Free(std::uint32_t Handle) {
  if (!Valid(Handle)) return;
  Byte* block = FBlocks[Handle - 1];
  FBlocks[Handle - 1] = nullptr;
  FFree.push_back(Handle);
  FBytes -= LoadU32(block);
  FArena.Free(block, std::size_t{LoadU32(block)} + 4);
  // An emptied table starts over, so handles stay small and the lists do not keep their peak size.
  if (FFree.size() == FBlocks.size()) {
    FBlocks.clear();
    FFree.clear();
    FBytes = 0;
  }
}

// ---- construction ---------------------------------------------------------------------------------------

TvlxCommon::TvlxCommon(TvlxCustomMemTable* AOwner)
    : FOwner(AOwner), FPages(std::make_unique<sys::TPageReserve>(sys::kPageReserveLimit)) {
  FOwnBlocks.SetReserve(FPages.get());
  MakeDataID();
}

TvlxCommon::TvlxCommon(TvlxBlockTable& Blocks, TvlxPerformance Performance, int AttachMaxCount)
    : FStandalone(true), FPerformance(Performance), FAttachMaxCount(AttachMaxCount), FOwner(nullptr),
      FBlocks(&Blocks) {}

TvlxCommon::~TvlxCommon() {
  for (TvlxCustomMemTable* t : FAttachedTables) {
    if (t == nullptr || t == FOwner || FOwner == nullptr) continue;
    try {
      t->Close();
    } catch (...) {
      HandleCurrentException(t);
    }
    t->DetachedFromStore();
  }
  // The owner empties the store before it goes; whatever is left is freed here so nothing leaks.
  for (PvlxRecord r : FRecords) _InternalFreeRecord(r, true, true);
  FRecords.clear();
}

// ---- records --------------------------------------------------------------------------------------------

PvlxRecord TvlxCommon::_InternalAllocRecord(bool InArena) {
  // Records live in the arena; a table's record buffers come from the heap (AllocSize 0), so that the
  // arena holds nothing but stored records and blocks and an emptying can drop it whole.
  Byte* raw = InArena ? FBlocks->AllocRecordMemory(static_cast<std::size_t>(FTotalRecordSize))
                      : static_cast<Byte*>(::operator new(static_cast<std::size_t>(FTotalRecordSize)));
  auto* r = reinterpret_cast<PvlxRecord>(raw);
  r->AllocSize = InArena ? static_cast<std::uint32_t>(FTotalRecordSize) : 0;
  r->Data = raw + kvlxRecordHeaderSize;
  ResetRecord(r);
  return r;
}

PvlxRecord TvlxCommon::AllocRecordToOverwrite() {
  Byte* raw = FBlocks->AllocRecordMemory(static_cast<std::size_t>(FTotalRecordSize));
  auto* r = reinterpret_cast<PvlxRecord>(raw);
  r->AllocSize = static_cast<std::uint32_t>(FTotalRecordSize);
  r->Data = raw + kvlxRecordHeaderSize;
  ResetRecordHeader(r);
  return r;
}

void TvlxCommon::ResetRecordHeader(PvlxRecord ARecord) {
  ARecord->RecordNo = -1;
  ARecord->RecordID = -1;
  ARecord->UniqueRecordID = -1;
  ARecord->Tag = 0;
  ARecord->PrevRecordVersion = nullptr;
  ARecord->TransactionLevel = -1;
  ARecord->UpdateStatus = usUnmodified;
  ARecord->Flag = 0;
}

void TvlxCommon::ResetRecord(PvlxRecord ARecord) const {
  ResetRecordHeader(ARecord);
  std::memset(ARecord->Data, 0, static_cast<std::size_t>(FDataRecordSize));
}

void TvlxCommon::_InternalFreeRecord(PvlxRecord ARecord, bool FreeVarLengths, bool FreeVersions) {
  if (ARecord == nullptr) return;
  if (FreeVarLengths) ReleaseVarLengthValues(ARecord);
  if ((ARecord->Flag & 1) != 0 && FreeVersions) {
    PvlxRecord v = ARecord->PrevRecordVersion;
    while (v != nullptr) {
      PvlxRecord older = v->PrevRecordVersion;
      v->PrevRecordVersion = nullptr;
      v->Flag = 0;
      _InternalFreeRecord(v, FreeVarLengths, false);
      v = older;
    }
  }
  ARecord->PrevRecordVersion = nullptr;
  ReleaseRecordMemory(ARecord);
}

void TvlxCommon::ReleaseRecordMemory(PvlxRecord ARecord) {
  if (ARecord->AllocSize == 0) ::operator delete(static_cast<void*>(ARecord));
  else FBlocks->FreeRecordMemory(reinterpret_cast<Byte*>(ARecord), ARecord->AllocSize);
}

void TvlxCommon::ReleaseVarLengthValues(PvlxRecord ARecord) {
  // The var-length slots are the end of the data area, one after another.
  Byte* slot = ARecord->Data + FStartVarLength;
  for (int k = 0; k < FVarLengthCount; ++k, slot += kvlxVarSlotSize) {
    const std::uint32_t h = LoadU32(slot + 1);
    if (h) FBlocks->Free(h);
    StoreU32(slot + 1, 0);
    slot[0] = 0;
  }
}

void TvlxCommon::CopyRecordFixedArea(const TvlxRecord* Source, PvlxRecord Dest) const {
  Dest->RecordNo = Source->RecordNo;
  Dest->RecordID = Source->RecordID;
  Dest->UniqueRecordID = Source->UniqueRecordID;
  Dest->UpdateStatus = Source->UpdateStatus;
  Dest->PrevRecordVersion = Source->PrevRecordVersion;
  Dest->TransactionLevel = Source->TransactionLevel;
  Dest->Tag = Source->Tag;
  std::memcpy(Dest->Data, Source->Data, static_cast<std::size_t>(FFixedRecordSize));
  for (int i = 0; i < FFieldCount; ++i)
    if (IsVarLength(i)) Dest->Data[FieldOffset(i)] = Source->Data[FieldOffset(i)];
}

PvlxRecord TvlxCommon::CloneRecord(const TvlxRecord* Source, bool WithVarLengths) {
  PvlxRecord r = _InternalAllocRecord();
  CopyRecordFixedArea(Source, r);
  if (WithVarLengths) {
    try {
      CloneVarLengthValues(Source, r);
    } catch (...) {
      ReleaseVarLengthValues(r);
      ReleaseRecordMemory(r);
      throw;
    }
  } else {
    for (int i = 0; i < FFieldCount; ++i)
      if (IsVarLength(i)) StoreU32(r->Data + FieldOffset(i) + 1, 0);
  }
  return r;
}

void TvlxCommon::CloneVarLengthValue(const TvlxRecord* Source, PvlxRecord Dest, int FieldIndex) {
  const int ofs = FieldOffset(FieldIndex);
  Byte* dslot = Dest->Data + ofs;
  const std::uint32_t old = LoadU32(dslot + 1);
  StoreU32(dslot + 1, 0);
  dslot[0] = 0;
  if (old) FBlocks->Free(old);
  const Byte* sslot = Source->Data + ofs;
  std::uint32_t h = LoadU32(sslot + 1);
  // A buffer slot that was never written shares the stored record's block: the clone owns a copy.
  if (h == 0 && sslot[0] != 0) h = ResolveBlock(Source, ofs);
  if (h == 0) return;
  const std::uint32_t copy = FBlocks->AllocCopy(FBlocks->Bytes(h), FBlocks->Length(h));
  StoreU32(dslot + 1, copy);
  dslot[0] = 2;
}

void TvlxCommon::CloneVarLengthValues(const TvlxRecord* Source, PvlxRecord Dest) {
  for (int i = 0; i < FFieldCount; ++i)
    if (IsVarLength(i)) CloneVarLengthValue(Source, Dest, i);
}

void TvlxCommon::MoveRecordContents(PvlxRecord Source, PvlxRecord Dest) {
  for (int i = 0; i < FFieldCount; ++i) {
    if (!IsVarLength(i)) continue;
    Byte* s = Source->Data + FieldOffset(i);
    Byte* d = Dest->Data + FieldOffset(i);
    const std::uint32_t sh = LoadU32(s + 1);
    const std::uint32_t dh = LoadU32(d + 1);
    if (sh != 0) {
      if (dh != 0 && dh != sh) FBlocks->Free(dh);
      StoreU32(d + 1, sh);
      StoreU32(s + 1, 0);
    } else if (s[0] == 0) {
      if (dh != 0) FBlocks->Free(dh);
      StoreU32(d + 1, 0);
    }
  }
  CopyRecordFixedArea(Source, Dest);
}

Byte* TvlxCommon::GetFieldPointer(const TvlxRecord* ARecord, const TField* Field) const {
  if (ARecord == nullptr || ARecord->Data == nullptr) return nullptr;
  return ARecord->Data + GetFieldDataOffset(Field);
}

int TvlxCommon::GetFieldDataOffset(const TField* Field) const {
  if (Field->FieldNo() < 1) return FStartCalculated + Field->Offset();
  return FieldOffset(Field->FieldNo() - 1);
}

std::uint32_t TvlxCommon::ResolveBlock(const TvlxRecord* ARecord, int SlotOffset) const {
  const Byte* slot = ARecord->Data + SlotOffset;
  if (slot[0] == 0) return 0;
  const std::uint32_t h = LoadU32(slot + 1);
  if (h != 0) return h;
  const TvlxRecord* stored = StoredRecord(ARecord->RecordID);
  // Only the very record the buffer was fetched from may lend its block: a reused slot holds another.
  if (stored == nullptr || stored == ARecord || stored->UniqueRecordID != ARecord->UniqueRecordID)
    throw EMemTableInvalidRecord(String(vlxmsg::SInvalidRecord));
  return LoadU32(stored->Data + SlotOffset + 1);
}

void TvlxCommon::CompressFieldBuffer(const TField* Field, const Byte* Buffer, int& Size) const {
  switch (Field->DataType()) {
    case ftString:
    case ftFixedChar: {
      int n = 0;
      while (n < Size && Buffer[n] != 0) ++n;
      Size = std::min(Size, n + 1);
      break;
    }
    case ftWideString:
    case ftFixedWideChar: {
      int n = 0;
      while (2 * n + 1 < Size && (Buffer[2 * n] != 0 || Buffer[2 * n + 1] != 0)) ++n;
      Size = std::min(Size, 2 * n + 2);
      break;
    }
    default:
      break;
  }
}

// ---- record list ----------------------------------------------------------------------------------------

void TvlxCommon::RaiseBookmarkCounter() { throw EMemTableFatalError(String(vlxmsg::SBookmarkCounter)); }

bool TvlxCommon::AppendRecord(PvlxRecord ARecord) {
  TLockGuard guard(*this);
  // Checked on both paths, fresh slot and reused slot, so the counter cannot wrap.
  if (FUniqueRecordID >= 0x7FFFFFFF) RaiseBookmarkCounter();
  if (FDeletedRecords.empty()) {
    ARecord->RecordID = FRecordID++;
    ARecord->UniqueRecordID = FUniqueRecordID++;
    ARecord->Flag |= 1;
    FRecords.push_back(ARecord);
  } else {
    const std::int32_t id = FDeletedRecords.back();
    FDeletedRecords.pop_back();
    ARecord->RecordID = id;
    ARecord->UniqueRecordID = FUniqueRecordID++;
    FRecords[static_cast<std::size_t>(id)] = ARecord;
    ARecord->Flag |= 1;
  }
  if (FEnableVersioning) ARecord->UpdateStatus = usInserted;
  return FUniqueRecordID >= 0x7FFFFFFF;
}

void TvlxCommon::AdoptNumberedRecords(std::vector<PvlxRecord>& Records) {
  TLockGuard guard(*this);
  const auto n = static_cast<std::int32_t>(Records.size());
  if (FRecords.empty()) {
    // Both lists keep their room: the next load stages into this store's old one.
    FRecords.swap(Records);
  } else {
    FRecords.insert(FRecords.end(), Records.begin(), Records.end());
  }
  Records.clear();
  FRecordID += n;
  FUniqueRecordID += n;
}

void TvlxCommon::DeleteRecord(PvlxRecord ARecord) {
  TLockGuard guard(*this);
  const std::int32_t id = ARecord->RecordID;
  if (StoredRecord(id) != ARecord) return;
  FDeletedRecords.push_back(id);
  FRecords[static_cast<std::size_t>(id)] = nullptr;
}

void TvlxCommon::ReleaseAllRecords() {
  TLockGuard guard(*this);
  // When the records and their blocks are all the arena holds (no older versions, no staged records,
  // no blocks of an edited buffer), the arena and the block table are dropped whole; otherwise each
  // record is freed.
  std::size_t records = 0, blocks = 0;
  bool whole = true;
  for (std::size_t i = 0; i < FRecords.size(); ++i) {
    // Only each record's header and slots are read: asked for well ahead, the reads overlap.
    if (i + 16 < FRecords.size() && FRecords[i + 16] != nullptr) {
      const Byte* ahead = reinterpret_cast<const Byte*>(FRecords[i + 16]);
      __builtin_prefetch(ahead);
      __builtin_prefetch(ahead + kvlxRecordHeaderSize + FStartVarLength);
    }
    const TvlxRecord* r = FRecords[i];
    if (r == nullptr) continue;
    if (r->PrevRecordVersion != nullptr || r->AllocSize == 0) {
      whole = false;
      break;
    }
    ++records;
    const Byte* slot = r->Data + FStartVarLength;
    for (int k = 0; k < FVarLengthCount; ++k, slot += kvlxVarSlotSize) blocks += LoadU32(slot + 1) != 0;
  }
  // Dropped whole, the list is simply cleared below.
  if (!(whole && FBlocks->ReleaseAllIfOnly(records, blocks))) {
    for (PvlxRecord& r : FRecords) {
      _InternalFreeRecord(r, true, true);
      r = nullptr;
    }
  }
  FRecords.clear();
  FDeletedRecords.clear();
  FRecordID = 0;
  FUniqueRecordID = 0;
  FDeletedCount = 0;
  MakeDataID();
}

void TvlxCommon::MakeDataID() {
  std::int32_t id;
  do {
    id = static_cast<std::int32_t>(RandomRange(0, 0x40000001));
  } while (id == FDataID);
  FDataID = id;
}

// ---- layout ---------------------------------------------------------------------------------------------

bool TvlxCommon::IsSupportedType(TFieldType Type) {
  switch (Type) {
    case ftString: case ftSmallint: case ftInteger: case ftWord: case ftBoolean: case ftFloat:
    case ftCurrency: case ftBCD: case ftDate: case ftTime: case ftDateTime: case ftBytes: case ftVarBytes:
    case ftAutoInc: case ftBlob: case ftMemo: case ftGraphic: case ftFmtMemo: case ftParadoxOle:
    case ftDBaseOle: case ftTypedBinary: case ftFixedChar: case ftWideString: case ftLargeint: case ftADT:
    case ftArray: case ftOraBlob: case ftOraClob: case ftGuid: case ftTimeStamp: case ftFMTBcd:
    case ftFixedWideChar: case ftWideMemo: case ftOraTimeStamp: case ftOraInterval: case ftLongWord:
    case ftShortint: case ftByte: case ftExtended: case ftSingle:
      return true;
    default:
      return false;
  }
}

bool TvlxCommon::IsAlwaysVarLength(TFieldType Type) {
  switch (Type) {
    case ftBlob: case ftMemo: case ftGraphic: case ftFmtMemo: case ftParadoxOle: case ftDBaseOle:
    case ftTypedBinary: case ftOraBlob: case ftOraClob: case ftWideMemo:
      return true;
    default:
      return false;
  }
}

int TvlxCommon::ValueBytes(TFieldType Type, int Size) {
  switch (Type) {
    case ftString: case ftFixedChar: return Size + 1;
    case ftWideString: case ftFixedWideChar: return 2 * Size + 4;
    case ftBytes: return Size;
    case ftVarBytes: return Size + 2;
    case ftSmallint: case ftWord: case ftBoolean: return 2;
    case ftInteger: case ftAutoInc: case ftDate: case ftTime: case ftLongWord: case ftShortint: case ftByte:
    case ftSingle:
      return 4;
    case ftFloat: case ftCurrency: case ftDateTime: case ftLargeint: return 8;
    case ftExtended: return 10;
    case ftTimeStamp: case ftOraTimeStamp: return 16;
    case ftOraInterval: return 21;
    case ftBCD: case ftFMTBcd: return 34;
    case ftGuid: return 39;
    case ftADT: case ftArray: return 0;
    default:
      return IsAlwaysVarLength(Type) ? 0 : -1;
  }
}

void TvlxCommon::GrowFieldArrays(int N) {
  if (static_cast<std::size_t>(N) >= FFieldOfs.size()) {
    FFieldOfs.resize(static_cast<std::size_t>(N) + 20, 0);
    FFieldFlags.resize(static_cast<std::size_t>(N) + 20, 0);
    FLayoutFields.resize(static_cast<std::size_t>(N) + 20);
  }
}

void TvlxCommon::LayoutFixedFields(const TFieldDefs& Defs, int& I, int Count) {
  for (int d = 0; d < Defs.Count() && I < Count; ++d) {
    TFieldDef* def = Defs[d];
    GrowFieldArrays(I);
    const TFieldType type = def->DataType();
    if (!IsSupportedType(type))
      throw EMemTableError(u"Fielddef " + def->Name() + u" (" + def->DisplayName() + u")" +
                           Format(vlxmsg::SDatatypeNotSupported, {static_cast<int>(type)}));
    const std::size_t i = static_cast<std::size_t>(I);
    FLayoutFields[i] = {type, def->Size()};
    Byte flags = 0;
    bool var = IsAlwaysVarLength(type);
    if (!var && FPerformance != mtpfFast &&
        (type == ftString || type == ftBytes || type == ftVarBytes || type == ftFixedChar || type == ftWideString))
      var = def->Size() > 12;
    if (var) flags |= kvlxVarLength;
    if (FOwner != nullptr && !IsAlwaysVarLength(type) && FOwner->OnSetupField) {
      TField* field = FOwner->FindField(def->Name());
      FOwner->OnSetupField(*FOwner, field, flags);
    }
    FFieldFlags[i] = flags;
    if (flags & kvlxVarLength) {
      FFieldOfs[i] = -1;
      ++I;
      continue;
    }
    FFieldOfs[i] = FFixedRecordSize;
    FFixedRecordSize += 1 + ValueBytes(type, def->Size());
    ++I;
    if (def->HasChildDefs()) {
      const int repeats = type == ftArray ? std::max(def->Size(), 0) : 1;
      for (int k = 0; k < repeats; ++k) LayoutFixedFields(def->ChildDefs(), I, Count);
    }
  }
}

void TvlxCommon::LayoutVarLengthFields(const TFieldDefs& Defs, int& I, int Count) {
  for (int d = 0; d < Defs.Count() && I < Count; ++d) {
    TFieldDef* def = Defs[d];
    const std::size_t i = static_cast<std::size_t>(I);
    if (FFieldFlags[i] & kvlxVarLength) {
      if (FPerformance == mtpfSmall) FFieldFlags[i] |= kvlxCompressed;
      FFieldOfs[i] = FStartVarLength + kvlxVarSlotSize * FVarLengthCount;
      ++FVarLengthCount;
      ++I;
      continue;
    }
    ++I;
    if (def->HasChildDefs()) {
      const int repeats = def->DataType() == ftArray ? std::max(def->Size(), 0) : 1;
      for (int k = 0; k < repeats; ++k) LayoutVarLengthFields(def->ChildDefs(), I, Count);
    }
  }
}

void TvlxCommon::LayoutRecord(int AFieldCount) {
  LayoutFields(FOwner->FieldDefs(), FOwner->CalcFieldsSize(), AFieldCount);
}

bool TvlxCommon::SameLayout(const TvlxCommon& O) const {
  if (FFieldCount != O.FFieldCount || FDataRecordSize != O.FDataRecordSize || FFixedRecordSize != O.FFixedRecordSize ||
      FStartBookmarks != O.FStartBookmarks || FStartVarLength != O.FStartVarLength)
    return false;
  for (int i = 0; i < FFieldCount; ++i) {
    const auto u = static_cast<std::size_t>(i);
    if (FFieldOfs[u] != O.FFieldOfs[u] || ((FFieldFlags[u] ^ O.FFieldFlags[u]) & (kvlxVarLength | kvlxCompressed)))
      return false;
  }
  return true;
}

void TvlxCommon::LayoutFields(const TFieldDefs& defs, int CalcSize, int AFieldCount) {
  TLockGuard guard(*this);
  if (defs.Count() == 0) throw EMemTableError(String(vlxmsg::SNoFields));
  // Records laid out the old way cannot be read under the new layout.
  if (!FRecords.empty()) ReleaseAllRecords();
  FBookmarkArraySize = FAttachMaxCount * kvlxBookmarkEntrySize;
  FFixedRecordSize = 0;
  FFieldCount = AFieldCount;
  FVarLengthCount = 0;
  std::fill(FFieldFlags.begin(), FFieldFlags.end(), 0);
  int i = 0;
  LayoutFixedFields(defs, i, AFieldCount);
  FFieldCount = i;
  FStartCalculated = FFixedRecordSize;
  FCalcRecordSize = CalcSize;
  FStartBookmarks = FStartCalculated + FCalcRecordSize;
  FStartVarLength = FStartBookmarks + FBookmarkArraySize;
  i = 0;
  LayoutVarLengthFields(defs, i, AFieldCount);
  FVarLengthRecordSize = kvlxVarSlotSize * FVarLengthCount;
  FFixedRecordSize = FStartVarLength;
  FDataRecordSize = FStartVarLength + FVarLengthRecordSize;
  FTotalRecordSize = FDataRecordSize + kvlxRecordHeaderSize;
  FIsDataModified = false;
  ClearModifiedFlags();
}

void TvlxCommon::ClearModifiedFlags() {
  for (Byte& f : FFieldFlags) f &= static_cast<Byte>(~kvlxModified);
}

// ---- settings -------------------------------------------------------------------------------------------

void TvlxCommon::SetStandalone(bool Value) {
  if (Value == FStandalone) return;
  if (FAttachedTables.size() > 1) throw EMemTableError(String(vlxmsg::SChildrenAttached));
  // A standalone store takes no lock at all: only one table uses it, on one thread.
  FStandalone = Value;
}

void TvlxCommon::SetLocaleID(int Value) {
  FLocaleID = Value;
  FSortID = (Value >> 16) & 0xF;
  FLanguageID = Value & 0xFF;
  FSubLanguageID = (Value >> 10) & 0x3F;
}

void TvlxCommon::RecomposeLocaleID() {
  FLocaleID = (FSortID << 16) | ((FSubLanguageID << 10) & 0xFFFF) | (FLanguageID & 0xFFFF);
}

void TvlxCommon::SetAutoIncMin(int Value) {
  FAutoIncMin = Value;
  if (FAutoIncMax < Value) FAutoIncMax = Value - 1;
}

// ---- transactions ---------------------------------------------------------------------------------------

void TvlxCommon::Commit() {
  TLockGuard guard(*this);
  for (PvlxRecord r : FRecords)
    if (r != nullptr && r->TransactionLevel == FTransactionLevel) r->TransactionLevel = FTransactionLevel - 1;
}

void TvlxCommon::Rollback() {
  TLockGuard guard(*this);
  FIsDataModified = false;
  for (std::size_t slot = 0; slot < FRecords.size(); ++slot) {
    PvlxRecord r = FRecords[slot];
    while (r != nullptr && r->TransactionLevel == FTransactionLevel) {
      if (r->UpdateStatus == usUnmodified) break;
      if (r->UpdateStatus == usModified || r->UpdateStatus == usDeleted) {
        PvlxRecord prev = r->PrevRecordVersion;
        // A changed version without its older one cannot be undone: it stays as it is.
        if (prev == nullptr) break;
        // A restored deleted record no longer counts as deleted: tables stop testing every record.
        if (r->UpdateStatus == usDeleted && FDeletedCount > 0) --FDeletedCount;
        prev->Flag |= 1;
        prev->RecordID = r->RecordID;
        prev->UniqueRecordID = r->UniqueRecordID;
        FRecords[slot] = prev;
        r->Flag = 0;
        r->PrevRecordVersion = nullptr;
        _InternalFreeRecord(r, true, false);
        r = prev;
        continue;
      }
      // usInserted
      _InternalFreeRecord(r, true, true);
      FDeletedRecords.push_back(static_cast<std::int32_t>(slot));
      FRecords[slot] = nullptr;
      r = nullptr;
    }
    if (r != nullptr && r->UpdateStatus != usUnmodified) FIsDataModified = true;
  }
}

// ---- attached tables ------------------------------------------------------------------------------------

int TvlxCommon::AttachTable(TvlxCustomMemTable* ATable) {
  TLockGuard guard(*this);
  for (std::size_t i = 0; i < FAttachedTables.size(); ++i)
    if (FAttachedTables[i] == nullptr) {
      FAttachedTables[i] = ATable;
      return static_cast<int>(i);
    }
  if (IsAnyTableActive()) throw EMemTableError(String(vlxmsg::STableMustBeClosed));
  FAttachedTables.push_back(ATable);
  FAttachMaxCount = std::max(FAttachMaxCount, static_cast<int>(FAttachedTables.size()));
  return static_cast<int>(FAttachedTables.size()) - 1;
}

void TvlxCommon::DeAttachTable(TvlxCustomMemTable* ATable) {
  TLockGuard guard(*this);
  for (auto& t : FAttachedTables)
    if (t == ATable) t = nullptr;
}

int TvlxCommon::AttachCount() const {
  return static_cast<int>(std::count_if(FAttachedTables.begin(), FAttachedTables.end(),
                                        [](const TvlxCustomMemTable* t) { return t != nullptr; }));
}

void TvlxCommon::SetAttachMaxCount(int Value) {
  if (Value == FAttachMaxCount) return;
  if (Value <= 0) throw ERangeError(String(vlxmsg::SInvalidArgument));
  if (IsAnyTableActive()) throw EMemTableError(String(vlxmsg::STableMustBeClosed));
  int highest = -1;
  for (std::size_t i = 0; i < FAttachedTables.size(); ++i)
    if (FAttachedTables[i] != nullptr) highest = static_cast<int>(i);
  // Cutting an occupied slot would leave a table with a bookmark area outside every record.
  if (Value < highest + 1) throw EMemTableError(Format(vlxmsg::SAttachMaxCountInUse, {highest + 1}));
  TLockGuard guard(*this);
  FAttachedTables.resize(static_cast<std::size_t>(Value), nullptr);
  FAttachMaxCount = Value;
}

bool TvlxCommon::IsAnyTableActive() const {
  return std::any_of(FAttachedTables.begin(), FAttachedTables.end(),
                     [](const TvlxCustomMemTable* t) { return t != nullptr && t->Active(); });
}

void TvlxCommon::CloseTables(TvlxCustomMemTable* Caller) {
  TLockGuard guard(*this);
  for (auto it = FAttachedTables.rbegin(); it != FAttachedTables.rend(); ++it)
    if (*it != nullptr && *it != Caller) (*it)->Close();
}

void TvlxCommon::RefreshTables(TvlxCustomMemTable* Caller) {
  TLockGuard guard(*this);
  for (TvlxCustomMemTable* t : FAttachedTables)
    if (t != nullptr && t != Caller && t->Active() && t->State() == dsBrowse) t->Refresh();
}

void TvlxCommon::EmptyTables() {
  TLockGuard guard(*this);
  for (TvlxCustomMemTable* t : FAttachedTables)
    if (t != nullptr && t->Active()) t->EmptyTableStep();
  ReleaseAllRecords();
}

void TvlxCommon::MarkIndexesDirty() {
  TLockGuard guard(*this);
  for (TvlxCustomMemTable* t : FAttachedTables)
    if (t != nullptr && t->Active()) t->Indexes().MarkAllDirty();
}

void TvlxCommon::RebuildIndexes() {
  TLockGuard guard(*this);
  for (TvlxCustomMemTable* t : FAttachedTables)
    if (t != nullptr && t->Active()) t->Indexes().ReBuildAll();
}

void TvlxCommon::ReflectToIndexes(TvlxCustomMemTable* Caller, TvlxIndexUpdateHow How, PvlxRecord OldRecord,
                                  PvlxRecord NewRecord, int RecordPos, bool DontVersion) {
  TLockGuard guard(*this);
  for (TvlxCustomMemTable* t : FAttachedTables)
    if (t != nullptr && t->Active())
      t->Indexes().ReflectToIndexes(How, OldRecord, NewRecord, t == Caller ? RecordPos : -1, DontVersion);
}

void CopyFieldDefs(const TFieldDefs& Source, TFieldDefs& Dest) {
  Dest.Clear();
  for (int i = 0; i < Source.Count(); ++i) {
    TFieldDef* d = Source[i];
    Dest.Add(d->Name(), d->DataType(), d->Size(), d->Required());
  }
  Dest.SetUpdated(true);
}
