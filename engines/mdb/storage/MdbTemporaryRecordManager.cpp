#include "engines/mdb/storage/MdbTemporaryRecordManager.h"

#include <algorithm>
#include <cstring>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SInvalidRecordSize[] = u"Invalid record size = %d";
constexpr char16_t SCannotSetPosition[] = u"Cannot set stream position to %d. Position = %d, Size = %d";
constexpr char16_t SCannotReadStream[] =
    u"Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d";
constexpr char16_t SCannotWriteStream[] =
    u"Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d";
constexpr char16_t SInvalidRecordBlock[] = u"Invalid record block: %s";

TMdbTemporaryBlockAllocator& BlockAllocator() {
  static TMdbTemporaryBlockAllocator A;
  return A;
}

// A failed allocation is not an error here: the caller spills instead.
void* AllocateBlock(Int64 Size, Int64 RecordCount) {
  try {
    if (const auto& A = BlockAllocator()) return A(Size, RecordCount);
    return MdbMemoryManager->GetMem(Size);
  } catch (...) {
    return nullptr;
  }
}

void FreeBlock(Byte* P) noexcept {
  void* V = P;
  try {
    MdbMemoryManager->FreeAndNilMem(V);
  } catch (...) {
  }
}

// Writes Count bytes; a short write raises Code with the stream's position and size.
void Put(TStream* Stream, const void* Buffer, Int64 Count, int Code) {
  const Int64 Pos = Stream->Position();
  const Int64 Done = Stream->Write(Buffer, Count);
  if (Done != Count) throw EMdbException(Code, SCannotWriteStream, {Pos, Stream->Size(), Count, Done});
}

void Get(TStream* Stream, void* Buffer, Int64 Count, int Code) {
  const Int64 Pos = Stream->Position();
  const Int64 Done = Stream->Read(Buffer, Count);
  if (Done != Count) throw EMdbException(Code, SCannotReadStream, {Pos, Stream->Size(), Count, Done});
}

}  // namespace

void SetMdbTemporaryBlockAllocator(TMdbTemporaryBlockAllocator Allocator) { BlockAllocator() = std::move(Allocator); }

TMdbTemporaryRecordManager::TMdbTemporaryRecordManager(std::int32_t aRecordBufferSize, std::int32_t RecordsPerPage,
                                                       std::int32_t AllocRecordsBy)
    : TMdbBaseRecordManager(aRecordBufferSize),
      FRecordsPerPage(std::max(RecordsPerPage, 1)),
      FPageSize(0),
      FAllocRecordsBy(std::max(AllocRecordsBy, 1)) {
  if (aRecordBufferSize <= 0) throw EMdbException(10124, SInvalidRecordSize, {aRecordBufferSize});
  const Int64 Page = Int64(FRecordsPerPage) * aRecordBufferSize;
  FPageSize = static_cast<std::int32_t>(std::min<Int64>(Page, INT32_MAX));
}

TMdbTemporaryRecordManager::~TMdbTemporaryRecordManager() { Empty(-1); }

void TMdbTemporaryRecordManager::FreeBlocks() noexcept {
  for (Byte* B : FBufferList) FreeBlock(B);
  FBufferList.clear();
}

void TMdbTemporaryRecordManager::Empty(std::int32_t) {
  FreeBlocks();
  FRecordCount = 0;
  FCachedRecordCount = 0;
  FAllocatedRecordCount = 0;
  FTempPageRecordCount = 0;
  // The stream removes its file from disk.
  FTempPageFile.reset();
}

void* TMdbTemporaryRecordManager::NewBlock() const {
  // Slots past the Int32 range cannot be counted in memory: such records spill.
  if (Int64(FAllocatedRecordCount) + FAllocRecordsBy > INT32_MAX) return nullptr;
  return AllocateBlock(Int64(FAllocRecordsBy) * RecordBufferSize, FRecordCount);
}

void TMdbTemporaryRecordManager::Spill(const Byte* RecordBuffer) {
  if (!FTempPageFile) FTempPageFile = std::make_unique<TMdbTempFileStream>();
  const Int64 At = FTempPageRecordCount * RecordBufferSize;
  FTempPageFile->SetPosition(At);
  Put(FTempPageFile.get(), RecordBuffer, RecordBufferSize, 12366);
  ++FTempPageRecordCount;
}

bool TMdbTemporaryRecordManager::AddRecord(const Byte* RecordBuffer, TMdbRecordID& RecordID, std::int32_t) {
  try {
    if (FRecordCount >= kMdbTemporaryMaxRecordNo) return false;
    bool InMemory = FTempPageRecordCount == 0 && FCachedRecordCount < FAllocatedRecordCount;
    if (!InMemory && FTempPageRecordCount == 0) {
      if (void* B = NewBlock()) {
        FBufferList.reserve(FBufferList.size() + 1);
        FBufferList.push_back(static_cast<Byte*>(B));
        FAllocatedRecordCount += FAllocRecordsBy;
        InMemory = true;
      }
    }
    if (InMemory) {
      const Int64 Slot = FRecordCount % FAllocRecordsBy;
      std::memcpy(FBufferList.back() + Slot * RecordBufferSize, RecordBuffer, static_cast<std::size_t>(RecordBufferSize));
      ++FCachedRecordCount;
    } else {
      Spill(RecordBuffer);
    }
    RecordID = RecordIDOf(FRecordCount);
    ++FRecordCount;
    return true;
  } catch (...) {
    return false;
  }
}

void TMdbTemporaryRecordManager::DropLastRecord() noexcept {
  if (FRecordCount == 0) return;
  --FRecordCount;
  if (FTempPageRecordCount > 0) {
    --FTempPageRecordCount;
    return;
  }
  --FCachedRecordCount;
  // A block left without records goes, so that all blocks but the last stay full.
  if (FCachedRecordCount <= FAllocatedRecordCount - FAllocRecordsBy && !FBufferList.empty()) {
    FreeBlock(FBufferList.back());
    FBufferList.pop_back();
    FAllocatedRecordCount -= FAllocRecordsBy;
  }
}

bool TMdbTemporaryRecordManager::IsRecordExists(const TMdbRecordID& RecordID, std::int32_t) const {
  const Int64 n = RecordNo(RecordID);
  return n >= 0 && n < FRecordCount;
}

Int64 TMdbTemporaryRecordManager::GetApproximateRecNo(const TMdbRecordID& RecordID, std::int32_t) const {
  const Int64 n = RecordNo(RecordID);
  return n < FRecordCount ? n + 1 : -1;
}

bool TMdbTemporaryRecordManager::ReadRecord(Int64 n, Byte* Buffer) {
  try {
    if (n < 0 || n >= FRecordCount) return false;
    if (n < FCachedRecordCount) {
      const Byte* B = FBufferList[static_cast<std::size_t>(n / FAllocRecordsBy)];
      std::memcpy(Buffer, B + (n % FAllocRecordsBy) * RecordBufferSize, static_cast<std::size_t>(RecordBufferSize));
      return true;
    }
    if (!FTempPageFile) throw EMdbException(12365, SNilPointer);
    const Int64 Want = (n - FCachedRecordCount) * RecordBufferSize;
    const Int64 Before = FTempPageFile->Position();
    FTempPageFile->SetPosition(Want);
    if (FTempPageFile->Position() != Want)
      throw EMdbException(10129, SCannotSetPosition, {Want, Before, FTempPageFile->Size()});
    const Int64 Got = FTempPageFile->Read(Buffer, RecordBufferSize);
    if (Got != RecordBufferSize)
      throw EMdbException(10130, SCannotReadStream, {Want, FTempPageFile->Size(), Int64(RecordBufferSize), Got});
    return true;
  } catch (...) {
    return false;
  }
}

void TMdbTemporaryRecordManager::GetRecordBuffer(TMdbNavigationInfo& N) {
  Int64 n = RecordNo(N.RecordID);
  if (FRecordCount == 0) {
    N.GetRecordResult = grrEOF;
    return;
  }
  bool Chosen = false;
  if (N.FirstPosition) {
    if (N.GetRecordMode == grmNext) {
      n = 0;
      N.FirstPosition = false;
      Chosen = true;
    } else {
      N.GetRecordResult = N.GetRecordMode == grmPrior ? grrBOF : grrError;
    }
  } else if (N.LastPosition) {
    if (N.GetRecordMode == grmPrior) {
      n = FRecordCount - 1;
      N.LastPosition = false;
      Chosen = true;
    } else {
      N.GetRecordResult = N.GetRecordMode == grmNext ? grrEOF : grrError;
    }
  } else if (N.GetRecordMode == grmCurrent) {
    Chosen = n >= 0 && n < FRecordCount;
    if (!Chosen) N.GetRecordResult = grrError;
  } else if (N.GetRecordMode == grmNext) {
    Chosen = n < FRecordCount - 1;
    if (Chosen) ++n;
    else N.GetRecordResult = grrEOF;
  } else {
    Chosen = n > 0;
    if (Chosen) --n;
    else N.GetRecordResult = grrBOF;
  }
  if (Chosen) N.GetRecordResult = ReadRecord(n, N.RecordBuffer) ? grrOK : grrError;
  N.RecordID = RecordIDOf(n);
}

// ---- record block ------------------------------------------------------------------------------------------

void TMdbTemporaryRecordManager::SaveToStream(TStream* Stream) {
  const std::int32_t Size = RecordBufferSize;
  Put(Stream, &Size, 4, 11215);
  Put(Stream, &FRecordCount, 8, 11216);
  Put(Stream, &FRecordsPerPage, 4, 11208);
  Put(Stream, &FPageSize, 4, 11209);
  Put(Stream, &FAllocRecordsBy, 4, 11213);
  Int64 Left = FCachedRecordCount;
  for (const Byte* B : FBufferList) {
    if (Left <= 0) break;
    const bool Full = Left > FAllocRecordsBy;
    const Int64 n = Full ? FAllocRecordsBy : Left;
    Put(Stream, B, n * Size, Full ? 11211 : 11210);
    Left -= n;
  }
  if (FTempPageRecordCount == 0) return;
  // The spill file goes through in pieces, never whole into memory.
  const Int64 Bytes = FTempPageRecordCount * Size;
  TMdbMemBlock Chunk(std::min<Int64>(Bytes, 1 << 20));
  const Int64 ChunkSize = std::min<Int64>(Bytes, 1 << 20);
  FTempPageFile->SetPosition(0);
  for (Int64 Done = 0; Done < Bytes;) {
    const Int64 n = std::min(ChunkSize, Bytes - Done);
    Get(FTempPageFile.get(), Chunk.Get(), n, 10130);
    Put(Stream, Chunk.Get(), n, 11210);
    Done += n;
  }
}

void TMdbTemporaryRecordManager::LoadFromStream(TStream* Stream) {
  std::int32_t Size = 0, PerPage = 0, PageSize = 0, PerBlock = 0;
  Int64 N = 0;
  Get(Stream, &Size, 4, 11217);
  Get(Stream, &N, 8, 11218);
  Get(Stream, &PerPage, 4, 11219);
  Get(Stream, &PageSize, 4, 11220);
  Get(Stream, &PerBlock, 4, 11224);
  // Records of another size would be read with the wrong layout; a block of no records never ends.
  if (Size != RecordBufferSize)
    throw EMdbException(11217, SInvalidRecordBlock, {Format(u"record size %d, the table's is %d", {Size, RecordBufferSize})});
  if (PerBlock <= 0) throw EMdbException(11224, SInvalidRecordBlock, {Format(u"%d records per block", {PerBlock})});
  const Int64 Left = std::max<Int64>(Stream->Size() - Stream->Position(), 0);
  if (N < 0 || N > kMdbTemporaryMaxRecordNo || N > Left / Size)
    throw EMdbException(11218, SInvalidRecordBlock, {Format(u"%d records of %d bytes, %d bytes left", {N, Size, Left})});

  // Built aside, swapped in only when the whole block was read.
  std::vector<Byte*> Blocks;
  std::unique_ptr<TMdbTempFileStream> SpillFile;
  struct TRelease {
    std::vector<Byte*>& B;
    ~TRelease() {
      for (Byte* P : B) FreeBlock(P);
    }
  } Release{Blocks};
  Int64 Cached = 0, Spilled = 0;
  while (Cached < N) {
    const Int64 n = std::min<Int64>(PerBlock, N - Cached);
    void* B = Int64(Blocks.size() + 1) * PerBlock > INT32_MAX ? nullptr : AllocateBlock(Int64(PerBlock) * Size, Cached);
    if (B == nullptr) break;
    Blocks.reserve(Blocks.size() + 1);
    Blocks.push_back(static_cast<Byte*>(B));
    Get(Stream, B, n * Size, n == PerBlock && N - Cached > PerBlock ? 11222 : 11221);
    Cached += n;
  }
  if (Cached < N) {
    Spilled = N - Cached;
    SpillFile = std::make_unique<TMdbTempFileStream>();
    const Int64 Bytes = Spilled * Size;
    const Int64 ChunkSize = std::min<Int64>(Bytes, 1 << 20);
    TMdbMemBlock Chunk(ChunkSize);
    for (Int64 Done = 0; Done < Bytes;) {
      const Int64 n = std::min(ChunkSize, Bytes - Done);
      Get(Stream, Chunk.Get(), n, 11221);
      Put(SpillFile.get(), Chunk.Get(), n, 12366);
      Done += n;
    }
  }
  Empty(-1);
  FBufferList.swap(Blocks);
  FTempPageFile = std::move(SpillFile);
  FRecordCount = N;
  FRecordsPerPage = PerPage;
  FPageSize = PageSize;
  FAllocRecordsBy = PerBlock;
  FCachedRecordCount = static_cast<std::int32_t>(Cached);
  FAllocatedRecordCount = static_cast<std::int32_t>(FBufferList.size()) * PerBlock;
  FTempPageRecordCount = Spilled;
}
