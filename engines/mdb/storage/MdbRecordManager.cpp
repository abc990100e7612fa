#include "engines/mdb/storage/MdbRecordManager.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbStorageConst.h"

namespace {

Int64 BytesLeft(TStream* Stream) { return std::max<Int64>(Stream->Size() - Stream->Position(), 0); }
Int64 BitmapBytes(Int64 Slots) { return (Slots + 7) / 8; }

[[noreturn]] void BadRecordBlock(int Code, const String& What) {
  throw EMdbException(Code, SMdbInvalidRecordBlock, {What});
}

// A memory-manager buffer freed unless released.
struct TStagedBuffer {
  Byte* Ptr = nullptr;
  ~TStagedBuffer() {
    if (Ptr) {
      try {
        MdbMemoryManager->FreeAndNilMem(Ptr);
      } catch (...) {
      }
    }
  }
  Byte* Release() { return std::exchange(Ptr, nullptr); }
};

void GrowBuffer(Byte*& Buffer, Int64 NewSize) {
  if (Buffer == nullptr) {
    Buffer = static_cast<Byte*>(MdbMemoryManager->AllocMem(NewSize));
    return;
  }
  void* p = Buffer;
  MdbMemoryManager->ReallocMemAndClearTail(p, NewSize);
  Buffer = static_cast<Byte*>(p);
}

}  // namespace

// ---- BLOB blocks -------------------------------------------------------------------------------------

TMdbBlobHandleTable::~TMdbBlobHandleTable() { Clear(); }

void TMdbBlobHandleTable::TEntries::reserve(std::size_t Count) {
  if (Count <= FCapacity) return;
  const std::size_t Bytes = std::max(Count, FCapacity * 2) * sizeof(TEntry);
  const sys::TPages Pages = sys::TakePages(Bytes);
  if (Pages.Memory == nullptr) throw EMdbException(30014, SMdbReallocMemError, {String(u"BLOB handle table")});
  if (FCount != 0) std::memcpy(Pages.Memory, FItems, FCount * sizeof(TEntry));
  sys::ReturnPages(std::exchange(FPages, Pages));
  FItems = static_cast<TEntry*>(Pages.Memory);
  FCapacity = Pages.Size / sizeof(TEntry);
}

void TMdbBlobHandleTable::TEntries::push_back(const TEntry& E) {
  if (FCount == FCapacity) reserve(FCount + 1);
  // Pages from the reserve hold what their last user left: every entry is written whole.
  FItems[FCount++] = E;
}

void TMdbBlobHandleTable::TEntries::clear() noexcept {
  sys::ReturnPages(std::exchange(FPages, sys::TPages{}));
  FItems = nullptr;
  FCount = FCapacity = 0;
}

std::uint32_t TMdbBlobHandleTable::NewHandle(const TEntry& Entry) {
  if (!FFreeHandles.empty()) {
    const std::uint32_t h = FFreeHandles.back();
    FFreeHandles.pop_back();
    FBlocks[h - 1] = Entry;
    ++FLive;
    return h;
  }
  if (FBlocks.size() >= UINT32_MAX - 1) throw EMdbException(30286, SMdbInvalidRecordBlock, {String(u"no BLOB handle left")});
  FBlocks.push_back(Entry);
  ++FLive;
  return static_cast<std::uint32_t>(FBlocks.size());
}

std::uint32_t TMdbBlobHandleTable::Add(void* Block) {
  try {
    return NewHandle({Block, kOwnBuffer, 0});
  } catch (...) {
    void* p = Block;
    try {
      MdbMemoryManager->FreeAndNilMem(p);
    } catch (...) {
    }
    throw;
  }
}

void* TMdbBlobHandleTable::Carve(Int64 Size, std::uint32_t& Handle) {
  if (Size <= 0 || Size > kMaxCarvedBlock) {
    void* Block = MdbMemoryManager->GetMem(Size);
    Handle = Add(Block);
    return Block;
  }
  // Carved blocks keep the memory manager's 16-byte alignment: values are read straight out of them.
  const Int64 Step = (Size + 15) & ~Int64(15);
  if (FCurrentSlab == 0 || FSlabs[FCurrentSlab - 1].Used + Step > kSlabSize) {
    // The slab carved from so far stays while blocks of it live; a new one takes over.
    if (FCurrentSlab != 0 && FSlabs[FCurrentSlab - 1].Live == 0) ReleaseSlab(FSlabs[FCurrentSlab - 1]);
    FCurrentSlab = 0;
    std::size_t Free = 0;
    while (Free < FSlabs.size() && FSlabs[Free].Memory != nullptr) ++Free;
    if (Free == FSlabs.size()) FSlabs.emplace_back();
    TSlab& S = FSlabs[Free];
    S.Pages = sys::TakePages(static_cast<std::size_t>(kSlabSize));
    if (S.Pages.Memory == nullptr) throw EMdbException(30014, SMdbReallocMemError, {String(u"BLOB slab")});
    S.Memory = static_cast<Byte*>(S.Pages.Memory);
    S.Used = 0;
    S.Live = 0;
    FCurrentSlab = static_cast<std::uint32_t>(Free + 1);
  }
  TSlab& S = FSlabs[FCurrentSlab - 1];
  Byte* Block = S.Memory + S.Used;
  Handle = NewHandle({Block, FCurrentSlab, static_cast<std::uint32_t>(Size)});
  S.Used += Step;
  ++S.Live;
  return Block;
}

void* TMdbBlobHandleTable::Get(std::uint32_t Handle) const {
  return Handle == 0 || Handle > FBlocks.size() ? nullptr : FBlocks[Handle - 1].Block;
}

Int64 TMdbBlobHandleTable::Size(std::uint32_t Handle) const {
  if (Handle == 0 || Handle > FBlocks.size() || FBlocks[Handle - 1].Block == nullptr) return 0;
  const TEntry& E = FBlocks[Handle - 1];
  return E.Slab == kOwnBuffer ? MdbMemoryManager->GetMemoryBufferSize(E.Block) : Int64(E.Size);
}

std::size_t TMdbBlobHandleTable::SlabCount() const {
  return static_cast<std::size_t>(std::count_if(FSlabs.begin(), FSlabs.end(), [](const TSlab& S) { return S.Memory != nullptr; }));
}

void TMdbBlobHandleTable::ReleaseSlab(TSlab& Slab) noexcept {
  Slab.Memory = nullptr;
  Slab.Used = 0;
  Slab.Live = 0;
  sys::ReturnPages(std::exchange(Slab.Pages, sys::TPages{}));
}

void TMdbBlobHandleTable::Free(std::uint32_t Handle) noexcept {
  if (Handle == 0 || Handle > FBlocks.size() || FBlocks[Handle - 1].Block == nullptr) return;
  if (FDeferFrees) {
    try {
      FDeferred.push_back(Handle);
      return;
    } catch (...) {
      // Without room to note it the block goes now, as it would without a transaction.
    }
  }
  const TEntry E = std::exchange(FBlocks[Handle - 1], TEntry{});
  if (E.Slab == kOwnBuffer) {
    void* p = E.Block;
    try {
      MdbMemoryManager->FreeAndNilMem(p);
    } catch (const Exception& Ex) {
      MdbStorageDiagnostic(Ex.Message());
    }
  } else {
    TSlab& S = FSlabs[E.Slab - 1];
    if (--S.Live == 0) {
      if (E.Slab != FCurrentSlab) ReleaseSlab(S);
      else S.Used = 0;  // the slab still carved from starts over
    }
  }
  try {
    FFreeHandles.push_back(Handle);
  } catch (...) {
    // The handle is simply not reused.
  }
  --FLive;
}

void TMdbBlobHandleTable::Clear() noexcept {
  // Every handle goes: the blocks are freed without noting their handles for reuse.
  for (TEntry& E : FBlocks) {
    if (E.Block == nullptr || E.Slab != kOwnBuffer) continue;
    void* p = std::exchange(E.Block, nullptr);
    try {
      MdbMemoryManager->FreeAndNilMem(p);
    } catch (const Exception& Ex) {
      MdbStorageDiagnostic(Ex.Message());
    }
  }
  for (TSlab& S : FSlabs)
    if (S.Memory != nullptr) ReleaseSlab(S);
  FBlocks.clear();
  FFreeHandles.clear();
  FSlabs.clear();
  FCurrentSlab = 0;
  FLive = 0;
  FDeferred.clear();
}

std::uint32_t GetBlobHandle(const Byte* Record, std::int32_t MemoryOffset) {
  std::uint32_t h;
  std::memcpy(&h, Record + MemoryOffset, 4);
  return h;
}
void SetBlobHandle(Byte* Record, std::int32_t MemoryOffset, std::uint32_t Handle) {
  std::memcpy(Record + MemoryOffset, &Handle, 4);
  Record[MemoryOffset + 4] = 0;
  Record[MemoryOffset + 5] = 0;
}
std::uint16_t GetBlobMarker(const Byte* Record, std::int32_t MemoryOffset) {
  std::uint16_t m;
  std::memcpy(&m, Record + MemoryOffset + kBlobMarkerOffset, 2);
  return m;
}
void SetBlobMarker(Byte* Record, std::int32_t MemoryOffset, std::uint16_t Marker) {
  std::memcpy(Record + MemoryOffset + kBlobMarkerOffset, &Marker, 2);
}

void ClearBlobFieldInRecordBuffer(Byte* Record, const TMdbBlobFieldSlot& Field, TMdbBlobHandleTable& Blobs) {
  if (!IsRecordFieldNull(Record, Field.FieldNo)) Blobs.Free(GetBlobHandle(Record, Field.MemoryOffset));
  std::memset(Record + Field.MemoryOffset, 0, kBlobSlotSize);
  SetRecordFieldNull(Record, Field.FieldNo, true);
}

// ---- TMdbMemoryRecordManager ------------------------------------------------------------------------------

TMdbMemoryRecordManager::TMdbMemoryRecordManager(TMdbTableData* aTableData, std::int32_t aRecordBufferSize,
                                                 std::int32_t AllocRecordsBy)
    : TMdbBaseRecordManager(aRecordBufferSize), LTableData(aTableData), FAllocRecordsBy(AllocRecordsBy) {
  if (aRecordBufferSize <= 0) throw EMdbException(10011, SMdbInvalidRecordSize, {aRecordBufferSize});
  for (int b = 0; b < 256; ++b) {
    int Zeros = 0;
    for (int i = 0; i < 8; ++i) Zeros += ((b >> i) & 1) == 0;
    FBitsTable[b] = static_cast<Byte>(Zeros);
  }
}

TMdbMemoryRecordManager::~TMdbMemoryRecordManager() { FreeArrays(); }

void TMdbMemoryRecordManager::SetBlobFields(std::vector<TMdbBlobFieldSlot> Fields, TMdbBlobHandleTable* Blobs) {
  FBlobFields = std::move(Fields);
  LBlobs = Blobs;
}

void TMdbMemoryRecordManager::FreeArrays() noexcept {
  sys::ReturnPages(std::exchange(FRecordPages, sys::TPages{}));
  FRecordBuffer = nullptr;
  for (Byte** p : {&FDeleteFlagBuffer}) {
    if (*p == nullptr) continue;
    void* q = *p;
    *p = nullptr;
    try {
      MdbMemoryManager->FreeAndNilMem(q);
    } catch (const Exception& E) {
      MdbStorageDiagnostic(E.Message());
    }
  }
}

void TMdbMemoryRecordManager::Empty(std::int32_t) {
  FreeArrays();
  FAllocatedRecordCount = 0;
  FReservedRecordCount = 0;
  FRecordCount = 0;
  FFirstRecordID = 0;
  FLastRecordID = 0;
}

void TMdbMemoryRecordManager::SetDeleted(std::int32_t Slot, bool Deleted) {
  const Byte Mask = static_cast<Byte>(1u << (Slot & 7));
  Byte& b = FDeleteFlagBuffer[Slot >> 3];
  b = Deleted ? static_cast<Byte>(b | Mask) : static_cast<Byte>(b & ~Mask);
}

void TMdbMemoryRecordManager::Grow(std::int32_t Slot) {
  const Int64 Size = RecordBufferSize;
  Int64 NewCount;
  if (FAllocRecordsBy > 0 && FAllocatedRecordCount > 0) {
    const Int64 Needed = (Int64(Slot) - FAllocatedRecordCount + 1) * Size;
    const Int64 Step = CalcReallocDelta((Int64(Slot) + 1) * Size);
    NewCount = FAllocatedRecordCount + std::max(Step, Needed) / Size;
  } else if (FAllocRecordsBy > 0) {
    NewCount = FAllocRecordsBy;
  } else {
    NewCount = Int64(Slot) + 1;
  }
  NewCount = std::max<Int64>(NewCount, Int64(Slot) + 1);
  if (NewCount > INT32_MAX || NewCount * Size > TMdbMemoryManager::kMaxBlockSize)
    throw EMdbException(30015, SMdbInvalidRecordBlock, {String(u"record array too large")});
  // The slot count follows the fixed growth steps (it is what the record block writes), but the
  // storage under it doubles at a time: with fixed steps alone every step would copy
  // the whole array, and appending n records would cost O(n^2 / step).
  if (NewCount > FReservedRecordCount) {
    Int64 Reserve = std::max<Int64>(NewCount, Int64(FReservedRecordCount) * 2);
    const Int64 Limit = std::min<Int64>(INT32_MAX, TMdbMemoryManager::kMaxBlockSize / Size);
    Reserve = std::min(Reserve, Limit);
    // Bitmap bytes past the old reserve come zero-filled: every slot the count later takes in is free.
    const auto Bytes = static_cast<std::size_t>(Reserve * Size);
    // A new range and a copy rather than a remap in place: the reserve keeps the ranges an earlier
    // table of this shape went through, step by step, with their pages already faulted in.
    const sys::TPages Pages = sys::TakePages(Bytes);
    if (Pages.Memory == nullptr) throw EMdbException(30014, SMdbReallocMemError, {String(u"record array")});
    if (FRecordBuffer != nullptr)
      std::memcpy(Pages.Memory, FRecordBuffer, static_cast<std::size_t>(Int64(FAllocatedRecordCount) * Size));
    sys::ReturnPages(std::exchange(FRecordPages, Pages));
    FRecordBuffer = static_cast<Byte*>(Pages.Memory);
    // The rest of the last page holds slots too.
    Reserve = std::min<Int64>(Limit, static_cast<Int64>(Pages.Size) / Size);
    FReservedRecordCount = static_cast<std::int32_t>(Reserve);
    GrowBuffer(FDeleteFlagBuffer, BitmapBytes(Reserve));
  }
  FAllocatedRecordCount = static_cast<std::int32_t>(NewCount);
}

bool TMdbMemoryRecordManager::AddRecord(const Byte* RecordBuffer, TMdbRecordID& RecordID, std::int32_t) {
  std::int32_t Slot;
  try {
    if (FRecordCount > 0 && FLastRecordID == INT32_MAX) return false;
    Slot = FRecordCount > 0 ? FLastRecordID + 1 : 0;
    if (Slot >= FAllocatedRecordCount) Grow(Slot);
    std::memcpy(SlotBuffer(Slot), RecordBuffer, static_cast<std::size_t>(RecordBufferSize));
  } catch (...) {
    return false;
  }
  RecordID.PageNo = Slot;
  RecordID.PageItemNo = 0;
  SetDeleted(Slot, false);
  if (FRecordCount == 0) {
    FFirstRecordID = FLastRecordID = Slot;
  } else {
    FFirstRecordID = std::min(FFirstRecordID, Slot);
    FLastRecordID = std::max(FLastRecordID, Slot);
  }
  ++FRecordCount;
  return true;
}

void TMdbMemoryRecordManager::RestoreRecord(std::int32_t Slot, const Byte* RecordBuffer) {
  if (Slot < 0 || (Slot < FAllocatedRecordCount && FRecordCount > 0 && Slot >= FFirstRecordID &&
                   Slot <= FLastRecordID && !IsSlotDeleted(Slot)))
    throw EMdbException(10847, SMdbInvalidRecordNo, {Slot});
  if (Slot >= FAllocatedRecordCount) Grow(Slot);
  std::memcpy(SlotBuffer(Slot), RecordBuffer, static_cast<std::size_t>(RecordBufferSize));
  auto MarkFree = [&](std::int32_t From, std::int32_t To) {
    for (std::int32_t s = From; s < To; ++s) SetDeleted(s, true);
    if (From < To) FNoRecordsDeleted = false;
  };
  if (FRecordCount == 0) {
    MarkFree(0, Slot);
    FFirstRecordID = FLastRecordID = Slot;
  } else {
    if (Slot > FLastRecordID) {
      MarkFree(FLastRecordID + 1, Slot);
      FLastRecordID = Slot;
    }
    if (Slot < FFirstRecordID) {
      MarkFree(Slot + 1, FFirstRecordID);
      FFirstRecordID = Slot;
    }
  }
  SetDeleted(Slot, false);
  ++FRecordCount;
}

bool TMdbMemoryRecordManager::UpdateRecord(Byte* RecordBuffer, const TMdbRecordID& RecordID, std::int32_t) {
  const std::int32_t p = RecordID.PageNo;
  // A deleted slot is no record: rewriting its BLOBs would free handles that are no longer its own.
  if (FRecordCount == 0 || p < FFirstRecordID || p > FLastRecordID || IsSlotDeleted(p)) return false;
  try {
    RewriteBLOBValues(RecordBuffer, SlotBuffer(p));
    std::memcpy(SlotBuffer(p), RecordBuffer, static_cast<std::size_t>(RecordBufferSize));
  } catch (...) {
    return false;
  }
  return true;
}

bool TMdbMemoryRecordManager::DeleteRecord(TMdbRecordID& RecordID, std::int32_t SessionID) {
  RecordID.PageItemNo = 0;
  const std::int32_t p = RecordID.PageNo;
  if (FRecordCount == 0 || p < FFirstRecordID || p > FLastRecordID || IsSlotDeleted(p)) return false;
  --FRecordCount;
  if (FRecordCount > 0) {
    SetDeleted(p, true);
    if (p == FFirstRecordID) {
      std::int32_t q = p;
      if (NavigateFromRecord(grmNext, q) == grrOK) FFirstRecordID = q;
    }
    if (p == FLastRecordID) {
      std::int32_t q = p;
      if (NavigateFromRecord(grmPrior, q) == grrOK) FLastRecordID = q;
      RecordID.PageNo = FLastRecordID;
    }
  } else {
    Empty(SessionID);
  }
  FNoRecordsDeleted = false;
  return true;
}

bool TMdbMemoryRecordManager::IsRecordExists(const TMdbRecordID& RecordID, std::int32_t) const {
  const std::int32_t p = RecordID.PageNo;
  return FRecordCount > 0 && p >= 0 && p < FAllocatedRecordCount && !IsSlotDeleted(p);
}

TMdbGetRecordResult TMdbMemoryRecordManager::NavigateFromFirst(TMdbGetRecordMode Mode, std::int32_t& p) const {
  switch (Mode) {
    case grmNext:
      p = FFirstRecordID;
      return grrOK;
    case grmPrior:
      return grrBOF;
    default:
      return grrError;
  }
}

TMdbGetRecordResult TMdbMemoryRecordManager::NavigateFromLast(TMdbGetRecordMode Mode, std::int32_t& p) const {
  switch (Mode) {
    case grmNext:
      return grrEOF;
    case grmPrior:
      p = FLastRecordID;
      return grrOK;
    default:
      return grrError;
  }
}

TMdbGetRecordResult TMdbMemoryRecordManager::NavigateFromRecord(TMdbGetRecordMode Mode, std::int32_t& p) const {
  switch (Mode) {
    case grmCurrent:
      return p < FFirstRecordID || p > FLastRecordID || IsSlotDeleted(p) ? grrError : grrOK;
    case grmNext:
      if (p >= FAllocatedRecordCount - 1) return grrEOF;
      if (p < FFirstRecordID - 1) p = FFirstRecordID - 1;  // below the first record: its next is the first
      for (;;) {
        ++p;
        if (p > FLastRecordID || p >= FAllocatedRecordCount) return grrEOF;
        if (IsLive(p)) return grrOK;
      }
    case grmPrior:
      if (p < 1) return grrBOF;
      if (p > FLastRecordID + 1) p = FLastRecordID + 1;  // above the last record: its prior is the last
      for (;;) {
        --p;
        if (p < FFirstRecordID) return grrBOF;
        if (IsLive(p)) return grrOK;
      }
  }
  return grrError;
}

void TMdbMemoryRecordManager::GetRecordBuffer(TMdbNavigationInfo& Info) {
  if (FRecordCount == 0) {
    Info.GetRecordResult = grrEOF;
    return;
  }
  std::int32_t p = Info.RecordID.PageNo;
  if (Info.FirstPosition) {
    Info.GetRecordResult = NavigateFromFirst(Info.GetRecordMode, p);
    if (Info.GetRecordResult == grrOK) Info.FirstPosition = false;
  } else if (Info.LastPosition) {
    Info.GetRecordResult = NavigateFromLast(Info.GetRecordMode, p);
    if (Info.GetRecordResult == grrOK) Info.LastPosition = false;
  } else {
    Info.GetRecordResult = NavigateFromRecord(Info.GetRecordMode, p);
  }
  Info.RecordID.PageNo = p;
  Info.RecordID.PageItemNo = 0;
  if (Info.GetRecordResult == grrOK) {
    if (Info.RecordBuffer == nullptr) throw EMdbException(10019, SMdbErrorRetrievingRecord);
    std::memcpy(Info.RecordBuffer, SlotBuffer(p), static_cast<std::size_t>(RecordBufferSize));
  }
}

Int64 TMdbMemoryRecordManager::GetApproximateRecNo(const TMdbRecordID& RecordID, std::int32_t) const {
  const std::int32_t p = RecordID.PageNo;
  if (FRecordCount == 0 || p < FFirstRecordID || p > FLastRecordID) return -1;
  if (FRecordCount == 1) return 1;
  const double v = double(p - FFirstRecordID) / double(FRecordCount) * double(FLastRecordID - FFirstRecordID);
  return static_cast<Int64>(std::nearbyint(v)) + 1;
}

void TMdbMemoryRecordManager::RewriteBLOBValues(Byte* Source, Byte* Dest) {
  if (FBlobFields.empty()) return;
  for (const auto& F : FBlobFields) {
    if (IsRecordFieldNull(Dest, F.FieldNo)) {
      SetBlobMarker(Source, F.MemoryOffset, kBlobNotModified);
    } else if (IsRecordFieldNull(Source, F.FieldNo) || GetBlobMarker(Source, F.MemoryOffset) == kBlobModified) {
      if (LBlobs) ClearBlobFieldInRecordBuffer(Dest, F, *LBlobs);
      SetBlobMarker(Source, F.MemoryOffset, kBlobNotModified);
    }
  }
}

Int64 TMdbMemoryRecordManager::GetRecordIDByRecNo(Int64 n) const {
  if (n < 0 || n >= FRecordCount) return -1;
  if (FNoRecordsDeleted) return n;
  Int64 k = 0;
  const Int64 Bytes = BitmapBytes(FAllocatedRecordCount);
  Int64 m = 0;
  while (m < Bytes && k + FBitsTable[FDeleteFlagBuffer[m]] <= n) {
    k += FBitsTable[FDeleteFlagBuffer[m]];
    ++m;
  }
  if (m * 8 >= FAllocatedRecordCount)
    throw EMdbException(10457, u"Invalid bit no = %d, number of bits = %d", {m * 8, FAllocatedRecordCount});
  const int Bits = (m == Bytes - 1 && FAllocatedRecordCount % 8 != 0) ? FAllocatedRecordCount % 8 : 8;
  for (int b = 0; b < Bits; ++b) {
    if (((FDeleteFlagBuffer[m] >> b) & 1) == 0 && ++k > n) return m * 8 + b;
  }
  throw EMdbException(10457, u"Invalid bit no = %d, number of bits = %d", {m * 8 + Bits, FAllocatedRecordCount});
}

Int64 TMdbMemoryRecordManager::GetRecNoByRecordID(Int64 p) const {
  if (p < 0 || p >= FAllocatedRecordCount) return -1;
  if (FNoRecordsDeleted) return p + 1;
  Int64 k = 0;
  const Int64 Whole = p / 8;
  for (Int64 m = 0; m < Whole; ++m) k += FBitsTable[FDeleteFlagBuffer[m]];
  for (int b = 0; b <= p % 8; ++b) k += ((FDeleteFlagBuffer[Whole] >> b) & 1) == 0;
  return k;
}

void TMdbMemoryRecordManager::SaveToStream(TStream* Stream) {
  WriteValueToStream(FAllocatedRecordCount, Stream, 10444);
  WriteBooleanToStream(FNoRecordsDeleted, Stream, 10445);
  WriteValueToStream(FFirstRecordID, Stream, 10446);
  WriteValueToStream(FLastRecordID, Stream, 10447);
  if (FAllocatedRecordCount > 0) WriteBufferToStream(FDeleteFlagBuffer, BitmapBytes(FAllocatedRecordCount), Stream, 10448);
}

void TMdbMemoryRecordManager::LoadFromStream(TStream* Stream) {
  const auto Slots = ReadValueFromStream<std::int32_t>(Stream, 10449);
  if (Slots < 0 || BitmapBytes(Slots) > BytesLeft(Stream) ||
      Int64(Slots) * RecordBufferSize > TMdbMemoryManager::kMaxBlockSize)
    BadRecordBlock(10449, Format(u"slot count %d", {Slots}));
  bool NoneDeleted = false;
  ReadBooleanFromStream(NoneDeleted, Stream, 10450);
  const auto First = ReadValueFromStream<std::int32_t>(Stream, 10451);
  const auto Last = ReadValueFromStream<std::int32_t>(Stream, 10452);
  if (Slots == 0 ? First != 0 : (First < 0 || First >= Slots)) BadRecordBlock(10451, Format(u"first slot %d", {First}));
  if (Slots == 0 ? Last != 0 : (Last < First || Last >= Slots)) BadRecordBlock(10452, Format(u"last slot %d", {Last}));
  TStagedBuffer Bitmap;
  sys::TPages Records;
  if (Slots > 0) {
    Bitmap.Ptr = static_cast<Byte*>(MdbMemoryManager->AllocMem(BitmapBytes(Slots)));
    ReadBufferFromStream(Bitmap.Ptr, BitmapBytes(Slots), Stream, 10453);
    // A stored manager with slots holds records: its first and last slots are live, and without
    // deletions every slot up to the last is.
    auto Deleted = [&](std::int32_t s) { return (Bitmap.Ptr[s >> 3] >> (s & 7)) & 1; };
    if (Deleted(First) || Deleted(Last)) BadRecordBlock(10453, Format(u"first %d or last %d slot deleted", {First, Last}));
    if (NoneDeleted) {
      if (First != 0) BadRecordBlock(10450, Format(u"first slot %d without deletions", {First}));
      for (std::int32_t s = 0; s <= Last; ++s)
        if (Deleted(s)) BadRecordBlock(10450, Format(u"slot %d deleted without deletions", {s}));
    }
    Records = sys::TakePages(static_cast<std::size_t>(Int64(Slots) * RecordBufferSize));
    if (Records.Memory == nullptr) throw EMdbException(30014, SMdbReallocMemError, {String(u"record array")});
  }
  FreeArrays();
  FRecordPages = Records;
  FRecordBuffer = static_cast<Byte*>(Records.Memory);
  FDeleteFlagBuffer = Bitmap.Release();
  FAllocatedRecordCount = Slots;
  FReservedRecordCount = Slots;
  FNoRecordsDeleted = NoneDeleted;
  FFirstRecordID = First;
  FLastRecordID = Last;
  FRecordCount = 0;
  FLoadingRecordInfo = {};
}

void TMdbMemoryRecordManager::AdvanceLoadingSlot(std::int32_t& RecordPos) {
  ++RecordPos;
  if (!FNoRecordsDeleted) {
    if (++FLoadingRecordInfo.BitNo > 7) {
      FLoadingRecordInfo.BitNo = 0;
      ++FLoadingRecordInfo.ByteNo;
      if (FLoadingRecordInfo.ByteNo > FAllocatedRecordCount / 8)
        throw EMdbException(10454, SMdbInvalidRecordNo, {FLoadingRecordInfo.ByteNo});
    }
  }
  // Records beyond the last live slot would be invisible to navigation: the block is lying.
  if (RecordPos >= FAllocatedRecordCount || RecordPos > FLastRecordID)
    throw EMdbException(10847, SMdbInvalidRecordNo, {FAllocatedRecordCount});
}

void TMdbMemoryRecordManager::AddLoadedRecord(const Byte* RecordBuffer, std::int32_t& RecordPos) {
  std::int32_t Pos = RecordPos;
  if (Pos == -1) {
    Pos = 0;
    FLoadingRecordInfo = {};
    if (FAllocatedRecordCount == 0) throw EMdbException(10847, SMdbInvalidRecordNo, {FAllocatedRecordCount});
  } else {
    AdvanceLoadingSlot(Pos);
  }
  if (!FNoRecordsDeleted)
    while (IsSlotDeleted(Pos)) AdvanceLoadingSlot(Pos);
  std::memcpy(SlotBuffer(Pos), RecordBuffer, static_cast<std::size_t>(RecordBufferSize));
  RecordPos = Pos;
  ++FRecordCount;
}
