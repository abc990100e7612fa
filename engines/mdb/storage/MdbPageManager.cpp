#include "engines/mdb/storage/MdbPageManager.h"

#include <algorithm>
#include <cstring>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbCache.h"
#include "engines/mdb/storage/MdbStorageConst.h"
#include "platform/rtl/SysUtils.h"

namespace {

Int64 BytesLeft(TStream* Stream) { return std::max<Int64>(Stream->Size() - Stream->Position(), 0); }

[[noreturn]] void BadBlock(int Code, const String& What) {
  throw EMdbException(Code, SMdbInvalidPageManagerBlock, {What});
}

// Page buffers read from a stream before they replace a manager's own; freed unless released.
struct TStagedBuffers {
  std::vector<Byte*> Items;
  ~TStagedBuffers() {
    for (Byte*& p : Items)
      if (p) {
        try {
          MdbMemoryManager->FreeAndNilMem(p);
        } catch (...) {
        }
      }
  }
};

// Index of the first clear bit, or -1; whole bytes of set bits are skipped at once.
std::int32_t FirstClearBit(const TMdbBitsArray& Map) {
  const Byte* Bits = Map.Bits();
  const std::int32_t N = Map.Size();
  for (std::int32_t Byte_ = 0; Byte_ * 8 < N; ++Byte_) {
    if (Bits[Byte_] == 0xFF) continue;
    for (std::int32_t b = 0; b < 8; ++b) {
      const std::int32_t n = Byte_ * 8 + b;
      if (n >= N) return -1;
      if (((Bits[Byte_] >> b) & 1) == 0) return n;
    }
  }
  return -1;
}

String CorruptedPageText(TMdbPageManager* M) {
  return IntToHex(static_cast<Int64>(reinterpret_cast<std::uintptr_t>(M) & 0xFFFFFFFFu), 8);
}

}  // namespace

// ---- TMdbPageManager ---------------------------------------------------------------------------------

TMdbPageManager::TMdbPageManager() : FCache(std::make_unique<TMdbDatabaseCache>(this)) {}
TMdbPageManager::~TMdbPageManager() = default;

void TMdbPageManager::ApplyChanges(std::uint32_t State1, TMdbDBStateType StateType2, std::uint32_t State2) {
  FCache->ApplyChanges(State1, StateType2, State2);
}
void TMdbPageManager::ClearCache() { FCache->ClearAllSharedPages(); }

void TMdbPageManager::DirectAddPages(TMdbPageArray* Pages, std::int32_t Count) {
  TMdbPage Scratch(this, nullptr);
  for (std::int32_t i = 0; i < Count; ++i) {
    Scratch.SetPageNo(-1);
    InternalAddPage(&Scratch);
    Pages->Insert(Scratch.PageNo(), false);
  }
  Scratch.FreeAndNilPageBuffer();
}

void TMdbPageManager::DirectRemovePages(TMdbPageArray* Pages, std::int32_t Count) {
  const std::int32_t N = Pages->Count();
  const std::int32_t Stop = Count <= 0 ? 0 : std::max(N - Count, 0);
  for (std::int32_t i = N - 1; i >= Stop; --i) InternalRemovePage(Pages->GetItem(i));
}

void TMdbPageManager::DirectReadPage(TMdbPage* aPage) {
  if (aPage == nullptr) throw EMdbException(11868, SMdbPageNilPointer);
  if (aPage->PageBuffer() == nullptr) throw EMdbException(11869, SMdbPageNilPointer);
  InternalReadPage(aPage);
}

void TMdbPageManager::DirectWritePage(TMdbPage* aPage) {
  if (aPage == nullptr) throw EMdbException(11870, SMdbPageNilPointer);
  if (aPage->PageBuffer() == nullptr) throw EMdbException(11871, SMdbPageNilPointer);
  InternalWritePage(aPage);
}

// ---- TMdbMemoryPageManager -----------------------------------------------------------------------------

TMdbMemoryPageManager::TMdbMemoryPageManager()
    : FThreadSync(std::make_unique<TMdbReadWriteThreadSyncByCriticalSections>(this, "TMdbMemoryPageManager")) {
  FPageSize = static_cast<std::uint16_t>(kMemoryPageSize);
  FPageHeaderSize = 0;
  FPageDataSize = FPageSize;
}

TMdbMemoryPageManager::~TMdbMemoryPageManager() {
  FCache.reset();
  FreeBuffers();
  if (FPageCount > 0) MdbStorageDiagnostic(String(SMdbIndexPagesNotReleased) + u" (20023)");
}

void TMdbMemoryPageManager::FreeBuffers() noexcept {
  for (Byte*& p : FDataPtrs)
    if (p) {
      try {
        MdbMemoryManager->FreeAndNilMem(p);
      } catch (const Exception& E) {
        MdbStorageDiagnostic(E.Message());
      }
    }
  FDataPtrs.clear();
}

void TMdbMemoryPageManager::CheckAllPagesReleased() const {
  if (FPageCount > 0) throw EMdbException(20023, SMdbIndexPagesNotReleased);
}

Byte* TMdbMemoryPageManager::StoredPage(std::int32_t PageNo) const {
  if (PageNo < 0 || static_cast<std::size_t>(PageNo) >= FDataPtrs.size())
    throw ERangeError(Format(u"Page number %d outside the %d stored pages", {PageNo, Int64(FDataPtrs.size())}));
  return FDataPtrs[static_cast<std::size_t>(PageNo)];
}

std::int32_t TMdbMemoryPageManager::DirectAddPage() {
  TMdbLockGuard G(*FThreadSync, true);
  std::int32_t n = FirstClearBit(FAllocatedPageMap);
  if (n < 0) {
    n = FAllocatedPageCount > 0 ? FLastAllocatedPageNo + 1 : 0;
    if (n >= FAllocatedPageCount) {
      FAllocatedPageMap.SetSize(FAllocatedPageCount + FAllocateBy);
      FAllocatedPageCount += FAllocateBy;
    }
  }
  if (n < FPageCount && FAllocatedPageMap.GetBit(n)) throw EMdbException(20037, SMdbNotReleasedPageAllocated);
  // Buffers first: a failed allocation leaves the counts as they were.
  if (static_cast<std::size_t>(n) >= FDataPtrs.size()) {
    const std::size_t NewLen = std::max(FDataPtrs.size() + static_cast<std::size_t>(FAllocateBy), static_cast<std::size_t>(n) + 1);
    FDataPtrs.reserve(NewLen);
    while (FDataPtrs.size() < NewLen) FDataPtrs.push_back(static_cast<Byte*>(MdbMemoryManager->AllocMem(FPageSize)));
  }
  ++FPageCount;
  FAllocatedPageMap.SetBit(n, true);
  FLastAllocatedPageNo = std::max(FLastAllocatedPageNo, n);
  return n;
}

void TMdbMemoryPageManager::InitPage(TMdbPage* aPage) {
  TMdbLockGuard G(*FThreadSync, false);
  Byte* Stored = StoredPage(aPage->PageNo());
  aPage->SetOwnBuffer(false);
  aPage->SetPageBuffer(Stored);
}

void TMdbMemoryPageManager::InternalAddPage(TMdbPage* aPage) {
  aPage->SetPageNo(DirectAddPage());
  aPage->FreeAndNilPageBuffer();
  InitPage(aPage);
}

void TMdbMemoryPageManager::InternalRemovePage(std::int32_t PageNo) {
  TMdbLockGuard G(*FThreadSync, true);
  // A number that is not allocated changes nothing: counting it would make the live count lie.
  if (PageNo < 0 || PageNo >= FAllocatedPageMap.Size() || !FAllocatedPageMap.GetBit(PageNo)) return;
  --FPageCount;
  FAllocatedPageMap.SetBit(PageNo, false);
}

void TMdbMemoryPageManager::InternalReadPage(TMdbPage* aPage) {
  const std::int32_t n = aPage->PageNo();
  if (n < 0 || n >= FAllocatedPageMap.Size() || !FAllocatedPageMap.GetBit(n))
    throw EMdbException(10392, SMdbNotReleasedPageAllocated);
  aPage->FreeAndNilPageBuffer();
  InitPage(aPage);
}

void TMdbMemoryPageManager::InternalWritePage(TMdbPage* aPage) {
  if (aPage == nullptr) throw EMdbException(12294, SMdbPageNilPointer);
  if (aPage->IsHeaderCorrupted())
    throw EMdbException(12295, SMdbCannotWriteCorruptedPage,
                        {aPage->PageNo(), static_cast<int>(aPage->FStateType), ClassName(), CorruptedPageText(this)});
  const std::int32_t n = aPage->PageNo();
  if (n < 0 || n >= FAllocatedPageMap.Size() || !FAllocatedPageMap.GetBit(n))
    throw EMdbException(10393, SMdbNotReleasedPageAllocated);
  TMdbLockGuard G(*FThreadSync, false);
  Byte* Stored = StoredPage(n);
  if (aPage->OwnBuffer() && aPage->PageBuffer() != Stored)
    std::memcpy(Stored, aPage->PageBuffer(), static_cast<std::size_t>(FPageSize));
}

void TMdbMemoryPageManager::SaveToStream(TStream* Stream) {
  TMdbLockGuard G(*FThreadSync, false);
  WriteValueToStream(FAllocatedPageCount, Stream, 10362);
  WriteValueToStream(FLastAllocatedPageNo, Stream, 10363);
  WriteValueToStream(FAllocateBy, Stream, 10364);
  WriteValueToStream(FPageSize, Stream, 10365);
  WriteValueToStream(FPageHeaderSize, Stream, 10366);
  WriteValueToStream(FPageCount, Stream, 10367);
  FAllocatedPageMap.SaveToStream(Stream);
  for (std::int32_t i = 0; i < FAllocatedPageCount; ++i) WriteBufferToStream(StoredPage(i), FPageSize, Stream, 10368);
}

void TMdbMemoryPageManager::LoadFromStream(TStream* Stream) {
  const auto Slots = ReadValueFromStream<std::int32_t>(Stream, 10369);
  if (Slots < 0 || Int64(Slots) * FPageSize > BytesLeft(Stream)) BadBlock(10369, Format(u"slot count %d", {Slots}));
  const auto Last = ReadValueFromStream<std::int32_t>(Stream, 10370);
  if (Last < 0 || (Slots == 0 ? Last != 0 : Last >= Slots)) BadBlock(10370, Format(u"last page number %d", {Last}));
  const auto AllocateBy = ReadValueFromStream<std::int32_t>(Stream, 10371);
  if (AllocateBy <= 0 || AllocateBy > 1 << 20) BadBlock(10371, Format(u"growth step %d", {AllocateBy}));
  const auto PageSize = ReadValueFromStream<std::uint16_t>(Stream, 10372);
  if (PageSize != FPageSize) BadBlock(10372, Format(u"page size %d", {int(PageSize)}));
  const auto HeaderSize = ReadValueFromStream<std::uint16_t>(Stream, 10373);
  if (HeaderSize != 0) BadBlock(10373, Format(u"page header size %d", {int(HeaderSize)}));
  const auto Count = ReadValueFromStream<std::int32_t>(Stream, 10374);
  if (Count < 0 || Count > Slots) BadBlock(10374, Format(u"page count %d of %d slots", {Count, Slots}));
  TMdbBitsArray Map;
  Map.LoadFromStream(Stream);
  if (Map.Size() != Slots) BadBlock(10401, Format(u"%d bits for %d slots", {Map.Size(), Slots}));
  if (Map.NonZeroBitCount() != Count) BadBlock(10426, Format(u"%d set bits for %d pages", {Map.NonZeroBitCount(), Count}));
  // The next number after a full map is the highest one plus one: it must not be a live page.
  for (std::int32_t n = Slots - 1; n > Last; --n)
    if (Map.GetBit(n)) BadBlock(10370, Format(u"page %d above the last page number %d", {n, Last}));
  if (Int64(Slots) * FPageSize > BytesLeft(Stream)) BadBlock(10375, Format(u"%d pages beyond the stream's end", {Slots}));
  TStagedBuffers Staged;
  Staged.Items.reserve(static_cast<std::size_t>(Slots));
  for (std::int32_t i = 0; i < Slots; ++i) {
    Staged.Items.push_back(static_cast<Byte*>(MdbMemoryManager->GetMem(FPageSize)));
    ReadBufferFromStream(Staged.Items.back(), FPageSize, Stream, 10375);
  }
  TMdbLockGuard G(*FThreadSync, true);
  FreeBuffers();
  FDataPtrs.swap(Staged.Items);
  // TMdbBitsArray has no public swap: rebuild ours from the staged one.
  FAllocatedPageMap.SetSize(0);
  FAllocatedPageMap.SetSize(Slots);
  for (std::int32_t n = 0; n < Slots; ++n)
    if (Map.GetBit(n)) FAllocatedPageMap.SetBit(n, true);
  FAllocatedPageCount = Slots;
  FLastAllocatedPageNo = Last;
  FAllocateBy = AllocateBy;
  FPageCount = Count;
}

// ---- TMdbTemporaryPageManager ----------------------------------------------------------------------------

TMdbTemporaryPageManager::TMdbTemporaryPageManager(std::int32_t MaxMemoryPageCount)
    : FMaxMemoryPageCount(MaxMemoryPageCount < 0 ? TempMemoryPageLimit : MaxMemoryPageCount),
      FMemoryPageManager(std::make_unique<TMdbMemoryPageManager>()) {
  FPageSize = static_cast<std::uint16_t>(kTemporaryPageSize);
  FPageHeaderSize = 0;
  FPageDataSize = FPageSize;
}

TMdbTemporaryPageManager::~TMdbTemporaryPageManager() {
  FCache.reset();
  if (FPageCount > 0) MdbStorageDiagnostic(String(SMdbIndexPagesNotReleased) + u" (20036)");
}

void TMdbTemporaryPageManager::CheckAllPagesReleased() const {
  if (FPageCount > 0) throw EMdbException(20036, SMdbIndexPagesNotReleased);
}

void TMdbTemporaryPageManager::EnsureSpillStream() {
  if (!FTempPageFile) FTempPageFile = std::make_unique<TMdbTemporaryStream>();
}

std::int32_t TMdbTemporaryPageManager::AllocateNumber(TMdbPage* aPage) {
  std::int32_t n;
  if (FAllocatedPageCount < FMaxMemoryPageCount) {
    if (aPage) {
      FMemoryPageManager->InternalAddPage(aPage);
      n = aPage->PageNo();
    } else {
      n = FMemoryPageManager->DirectAddPage();
    }
    if (n >= FAllocatedPageCount) {
      FAllocatedPageMap.SetSize(n + 1);
      FAllocatedPageCount = n + 1;
    }
  } else {
    EnsureSpillStream();
    n = FAllocatedPageCount;
    FAllocatedPageMap.SetSize(n + 1);
    FAllocatedPageCount = n + 1;
    if (aPage) {
      aPage->SetPageNo(n);
      if (!aPage->OwnBuffer() || aPage->PageBuffer() == nullptr) {
        aPage->FreeAndNilPageBuffer();
        aPage->AllocPageBuffer();
      }
    }
  }
  FAllocatedPageMap.SetBit(n, true);
  ++FPageCount;
  return n;
}

std::int32_t TMdbTemporaryPageManager::DirectAddPage() { return AllocateNumber(nullptr); }
void TMdbTemporaryPageManager::InternalAddPage(TMdbPage* aPage) { AllocateNumber(aPage); }

void TMdbTemporaryPageManager::InitPage(TMdbPage* aPage) {
  if (aPage->PageNo() < FMaxMemoryPageCount) {
    FMemoryPageManager->InitPage(aPage);
    return;
  }
  aPage->FreeAndNilPageBuffer();
  aPage->AllocPageBuffer();
}

void TMdbTemporaryPageManager::InternalRemovePage(std::int32_t PageNo) {
  if (PageNo < 0 || PageNo >= FAllocatedPageMap.Size() || !FAllocatedPageMap.GetBit(PageNo)) return;
  --FPageCount;
  FAllocatedPageMap.SetBit(PageNo, false);
  if (PageNo < FMaxMemoryPageCount) FMemoryPageManager->InternalRemovePage(PageNo);
}

void TMdbTemporaryPageManager::InternalReadPage(TMdbPage* aPage) {
  const std::int32_t n = aPage->PageNo();
  if (n < 0 || n >= FAllocatedPageMap.Size() || !FAllocatedPageMap.GetBit(n))
    throw EMdbException(10396, SMdbNotReleasedPageAllocated);
  if (n < FMaxMemoryPageCount) {
    FMemoryPageManager->InternalReadPage(aPage);
    return;
  }
  if (!aPage->OwnBuffer() || aPage->PageBuffer() == nullptr) {
    aPage->FreeAndNilPageBuffer();
    aPage->AllocPageBuffer();
  }
  if (!FTempPageFile) throw EMdbException(10396, SMdbNotReleasedPageAllocated);
  FTempPageFile->SetPosition(SpillPosition(n));
  ReadBufferFromStream(aPage->PageBuffer(), FPageSize, FTempPageFile.get(), 10396);
}

void TMdbTemporaryPageManager::InternalWritePage(TMdbPage* aPage) {
  if (aPage == nullptr) throw EMdbException(12292, SMdbPageNilPointer);
  if (aPage->IsHeaderCorrupted())
    throw EMdbException(12293, SMdbCannotWriteCorruptedPage,
                        {aPage->PageNo(), static_cast<int>(aPage->FStateType), ClassName(), CorruptedPageText(this)});
  const std::int32_t n = aPage->PageNo();
  if (n < 0 || n >= FAllocatedPageMap.Size() || !FAllocatedPageMap.GetBit(n))
    throw EMdbException(10397, SMdbNotReleasedPageAllocated);
  if (n < FMaxMemoryPageCount) {
    FMemoryPageManager->InternalWritePage(aPage);
    return;
  }
  EnsureSpillStream();
  FTempPageFile->SetPosition(SpillPosition(n));
  WriteBufferToStream(aPage->PageBuffer(), FPageSize, FTempPageFile.get(), 10397);
}

void TMdbTemporaryPageManager::SaveToStream(TStream* Stream) {
  FMemoryPageManager->SaveToStream(Stream);
  FAllocatedPageMap.SaveToStream(Stream);
  WriteValueToStream(FAllocatedPageCount, Stream, 11196);
  WriteValueToStream(FMaxMemoryPageCount, Stream, 11197);
  WriteValueToStream(FPageSize, Stream, 11198);
  WriteValueToStream(FPageHeaderSize, Stream, 11199);
  WriteValueToStream(FPageCount, Stream, 11200);
  const Int64 S = FTempPageFile ? FTempPageFile->Size() : 0;
  WriteValueToStream(S, Stream, 11201);
  if (S > 0) {
    TMdbMemBlock Buf(kTemporaryPageSize);
    FTempPageFile->SetPosition(0);
    for (Int64 Done = 0; Done < S;) {
      const Int64 Chunk = std::min<Int64>(kTemporaryPageSize, S - Done);
      ReadBufferFromStream(Buf.Get(), Chunk, FTempPageFile.get(), 11201);
      WriteBufferToStream(Buf.Get(), Chunk, Stream, 11201);
      Done += Chunk;
    }
  }
}

void TMdbTemporaryPageManager::LoadFromStream(TStream* Stream) {
  auto Inner = std::make_unique<TMdbMemoryPageManager>();
  Inner->LoadFromStream(Stream);
  TMdbBitsArray Map;
  Map.LoadFromStream(Stream);
  const auto Allocated = ReadValueFromStream<std::int32_t>(Stream, 11202);
  if (Allocated != Map.Size()) BadBlock(11202, Format(u"allocated count %d for %d bits", {Allocated, Map.Size()}));
  const auto Limit = ReadValueFromStream<std::int32_t>(Stream, 11203);
  if (Limit < 0) BadBlock(11203, Format(u"memory limit %d", {Limit}));
  const auto PageSize = ReadValueFromStream<std::uint16_t>(Stream, 11204);
  if (PageSize != FPageSize) BadBlock(11204, Format(u"page size %d", {int(PageSize)}));
  const auto HeaderSize = ReadValueFromStream<std::uint16_t>(Stream, 11205);
  if (HeaderSize != 0) BadBlock(11205, Format(u"page header size %d", {int(HeaderSize)}));
  const auto Count = ReadValueFromStream<std::int32_t>(Stream, 11206);
  if (Count != Map.NonZeroBitCount()) BadBlock(11206, Format(u"page count %d for %d set bits", {Count, Map.NonZeroBitCount()}));
  // Numbers below the limit are the inner manager's: both maps must agree on them.
  std::int32_t InnerLive = 0;
  for (std::int32_t n = 0; n < std::min(Limit, Allocated); ++n) {
    const bool Outer = Map.GetBit(n);
    const bool InnerBit = n < Inner->AllocatedPageMap().Size() && Inner->AllocatedPageMap().GetBit(n);
    if (Outer != InnerBit) BadBlock(11206, Format(u"page %d allocated in one map only", {n}));
    InnerLive += Outer ? 1 : 0;
  }
  if (InnerLive != Inner->PageCount()) BadBlock(11206, Format(u"%d memory pages for %d", {Inner->PageCount(), InnerLive}));
  const auto S = ReadValueFromStream<Int64>(Stream, 11207);
  const Int64 MaxSpill = Int64(std::max(Allocated - Limit, 0)) * FPageSize;
  if (S < 0 || S > MaxSpill || S > BytesLeft(Stream)) BadBlock(11207, Format(u"spill size %d", {S}));
  std::unique_ptr<TMdbTemporaryStream> Spill;
  if (S > 0) {
    Spill = std::make_unique<TMdbTemporaryStream>();
    TMdbMemBlock Buf(kTemporaryPageSize);
    for (Int64 Done = 0; Done < S;) {
      const Int64 Chunk = std::min<Int64>(kTemporaryPageSize, S - Done);
      ReadBufferFromStream(Buf.Get(), Chunk, Stream, 11207);
      WriteBufferToStream(Buf.Get(), Chunk, Spill.get(), 11207);
      Done += Chunk;
    }
  }
  // Everything was good: take it over.
  FMemoryPageManager.swap(Inner);
  FAllocatedPageMap.SetSize(0);
  FAllocatedPageMap.SetSize(Allocated);
  for (std::int32_t n = 0; n < Allocated; ++n)
    if (Map.GetBit(n)) FAllocatedPageMap.SetBit(n, true);
  FAllocatedPageCount = Allocated;
  FMaxMemoryPageCount = Limit;
  FPageCount = Count;
  if (Spill) FTempPageFile.swap(Spill);
  // The replaced inner manager's pages were taken over wholesale: it has nothing left to report.
  if (Inner) Inner.reset();
}
