#include "engines/mdb/runtime/MdbBlobStream.h"

#include <algorithm>
#include <cstring>

#include "engines/mdb/runtime/MdbCompression.h"
#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"

namespace {

constexpr Int64 kHeaderSize = static_cast<Int64>(kMdbBlockHeaderSize);

// Owns a buffer of the runtime heap (the results of the compression routines).
struct THeapBuffer {
  void* P = nullptr;
  THeapBuffer() = default;
  explicit THeapBuffer(void* p) : P(p) {}
  ~THeapBuffer() { FreeRuntimeBuffer(P); }
  THeapBuffer(const THeapBuffer&) = delete;
  THeapBuffer& operator=(const THeapBuffer&) = delete;
  const Byte* Bytes() const { return static_cast<const Byte*>(P); }
};

// Seeks Stream to Pos and checks it got there; Code with the position message otherwise.
void SeekExactly(TStream* Stream, Int64 Pos, int Code) {
  Int64 At = -1;
  try {
    At = Stream->Seek(Pos, TSeekOrigin::soBeginning);
  } catch (const Exception&) {
    At = Stream->Position();
  }
  if (At != Pos) throw EMdbException(Code, SMdbCannotSetPosition, {Pos, Stream->Position(), Stream->Size()});
}

}  // namespace

std::int32_t TMdbCompressedBLOBStream::DefaultBlockSize(Byte Mode) {
  if (Mode == 0) return 102400;
  if (Mode <= 3) return 524288;
  if (Mode <= 6) return 1048576;
  return 1572864;
}

TMdbCompressedBLOBStream::TMdbCompressedBLOBStream(TStream* Stream, const TMdbBLOBDescriptor& BLOBDescriptor, bool ToCreate,
                                                   bool ToRepair) {
  Open(Stream, BLOBDescriptor, ToCreate, ToRepair);
}

void TMdbCompressedBLOBStream::Open(TStream* Stream, const TMdbBLOBDescriptor& BLOBDescriptor, bool ToCreate, bool ToRepair) {
  FRepair = ToRepair;
  FCompressedStream = Stream;
  FBLOBDescriptor = BLOBDescriptor;
  FHeaders.SetSize(0);
  FUncompressedSize = FCompressedSize = 0;
  FCurrentHeader = 0;
  FPosition = 0;
  FCompressionRate = 0;
  FModified = false;
  FAbort = false;
  FCompressionAlgorithm = static_cast<TMdbCompressionAlgorithm>(FBLOBDescriptor.CompressionAlgorithm);
  FCompressionMode = FBLOBDescriptor.CompressionMode;
  FStartPosition = FBLOBDescriptor.StartPosition;
  if (FStartPosition < 0)
    throw EMdbException(10103, SMdbCannotSetPosition, {FStartPosition, FCompressedStream->Position(), FCompressedStream->Size()});
  SeekExactly(FCompressedStream, FStartPosition, 10103);
  FBlockSize = FBLOBDescriptor.BlockSize;
  if (Compressed()) {
    InitHeaders(ToCreate);
  } else {
    SeekExactly(FCompressedStream, FStartPosition, 10079);
    if (ToCreate) {
      FUncompressedSize = 0;
      FBLOBDescriptor.UncompressedSize = 0;
    } else {
      FUncompressedSize = FBLOBDescriptor.UncompressedSize;
      const Int64 Left = FCompressedStream->Size() - FStartPosition;
      if (FUncompressedSize < 0 || (!FRepair && Left < FUncompressedSize))
        throw EMdbException(10081, SMdbStreamTooSmall, {FCompressedStream->Size(), FStartPosition + FUncompressedSize});
      if (FRepair) FUncompressedSize = FBLOBDescriptor.UncompressedSize = std::min(FUncompressedSize, Left);
    }
  }
  CalcCompressedSizeAndRate();
}

TMdbCompressedBLOBStream::~TMdbCompressedBLOBStream() = default;

void TMdbCompressedBLOBStream::InitHeaders(bool ToCreate) {
  if (ToCreate) {
    if (FBLOBDescriptor.BlockSize == 0) FBLOBDescriptor.BlockSize = DefaultBlockSize(FCompressionMode);
    FBLOBDescriptor.NumBlocks = 0;
    FBLOBDescriptor.UncompressedSize = 0;
  }
  FBlockSize = FBLOBDescriptor.BlockSize;
  if (FBlockSize <= 0)
    throw EMdbException(10082, SMdbInvalidStreamData, {Format(u"block size %d", {FBlockSize})});
  FUncompressedSize = FCompressedSize = 0;
  LoadHeaders();
  FCurrentHeader = 0;
  FPosition = 0;
}

void TMdbCompressedBLOBStream::LoadHeaders() {
  FUncompressedSize = FCompressedSize = 0;
  if (FCompressedStream->Position() != FStartPosition)
    throw EMdbException(10080, SMdbCannotSetPosition, {FStartPosition, FCompressedStream->Position(), FCompressedStream->Size()});
  FHeaders.SetSize(0);
  const Int64 StreamSize = FCompressedStream->Size();
  const Int64 NumBlocks = FBLOBDescriptor.NumBlocks;
  if (NumBlocks < 0 || (!FRepair && NumBlocks > (StreamSize - FStartPosition) / kHeaderSize))
    throw EMdbException(10082, SMdbStreamTooSmall, {StreamSize, FStartPosition + std::max<Int64>(NumBlocks, 0) * kHeaderSize});
  Int64 Sum = 0;
  for (Int64 i = 0; i < NumBlocks; ++i) {
    const Int64 P = FCompressedStream->Position();
    if (StreamSize - P < kHeaderSize) {
      if (FRepair) {
        FBLOBDescriptor.NumBlocks = i;
        break;
      }
      throw EMdbException(10082, SMdbStreamTooSmall, {StreamSize, P + kHeaderSize});
    }
    TMdbCompressedStreamBlockHeader H;
    ReadBufferFromStream(&H, kHeaderSize, FCompressedStream, 10082);
    const bool Shape = H.CompressedSize >= 0 && H.OffsetToNextHeader == kHeaderSize + H.CompressedSize &&
                       H.UncompressedSize >= 1 && H.UncompressedSize <= FBlockSize;
    // Every block but the last is full.
    const bool PreviousFull = i == 0 || FHeaders.Items[static_cast<std::size_t>(i - 1)].UncompressedSize == FBlockSize;
    if (!Shape || !PreviousFull)
      throw EMdbException(10082, SMdbInvalidBlockHeader, {i, H.CompressedSize, H.UncompressedSize, H.OffsetToNextHeader});
    if (P + H.OffsetToNextHeader > StreamSize) {
      if (FRepair) {
        FBLOBDescriptor.NumBlocks = i;
        break;
      }
      throw EMdbException(10082, SMdbStreamTooSmall, {StreamSize, P + H.OffsetToNextHeader});
    }
    Sum += H.UncompressedSize;
    FCompressedSize += H.CompressedSize;
    FHeaders.AppendItem(H, P);
    SeekExactly(FCompressedStream, P + H.OffsetToNextHeader, 10083);
  }
  if (FRepair) {
    FBLOBDescriptor.UncompressedSize = Sum;
  } else if (Sum != FBLOBDescriptor.UncompressedSize) {
    throw EMdbException(10082, SMdbInvalidStreamSize, {Sum, FBLOBDescriptor.UncompressedSize});
  }
  FUncompressedSize = Sum;
}

void* TMdbCompressedBLOBStream::LoadBlock(Int64 Index) {
  const TMdbCompressedStreamBlockHeader H = FHeaders.Items[static_cast<std::size_t>(Index)];
  const Int64 DataPos = FHeaders.Positions[static_cast<std::size_t>(Index)] + kHeaderSize;
  FCurrentHeader = static_cast<std::int32_t>(Index);
  TMdbMemBlock Compressed(std::max<Int64>(H.CompressedSize, 1));
  Int64 Got = 0;
  try {
    FCompressedStream->SetPosition(DataPos);
    Got = H.CompressedSize > 0 ? FCompressedStream->Read(Compressed.Get(), H.CompressedSize) : 0;
  } catch (const Exception&) {
    Got = 0;
  }
  if (Got != H.CompressedSize)
    throw EMdbException(10086, SMdbCannotReadStream, {DataPos, FCompressedStream->Size(), H.CompressedSize, Got});
  void* Out = nullptr;
  std::int32_t Size = H.UncompressedSize;
  if (!DecompressBuffer(FCompressionAlgorithm, Compressed.Get(), H.CompressedSize, Out, Size))
    throw EMdbException(10087, SMdbDecompressFailed, {int(FCompressionAlgorithm), H.CompressedSize, Size});
  THeapBuffer Result(Out);
  if (Size != H.UncompressedSize) throw EMdbException(10088, SMdbDecompressSizeMismatch, {Size, H.UncompressedSize});
  const std::uint32_t Crc = CalcCRC32(0, Out, Size);
  if (Crc != H.Crc32)
    throw EMdbException(10089, SMdbDecompressCrcMismatch, {static_cast<std::int32_t>(Crc), static_cast<std::int32_t>(H.Crc32)});
  Result.P = nullptr;
  return Out;
}

void TMdbCompressedBLOBStream::CompressBlock(const void* Data, std::int32_t DataSize, TMdbCompressedStreamBlockHeader& Header,
                                             void*& OutBuf) {
  Header.UncompressedSize = DataSize;
  Header.Crc32 = CalcCRC32(0, Data, DataSize);
  std::int32_t CompressedSize = 0;
  if (!CompressBuffer(FCompressionAlgorithm, FCompressionMode, Data, DataSize, OutBuf, CompressedSize)) {
    if (OutBuf) FreeRuntimeBuffer(OutBuf);
    throw EMdbException(10085, SMdbCompressFailed, {int(FCompressionAlgorithm), int(FCompressionMode), DataSize, CompressedSize});
  }
  Header.CompressedSize = CompressedSize;
}

void TMdbCompressedBLOBStream::RewriteCurrentBlock(const void* Data, std::int32_t DataSize) {
  const auto i = static_cast<std::size_t>(FCurrentHeader);
  TMdbCompressedStreamBlockHeader H = FHeaders.Items[i];
  THeapBuffer Out;
  CompressBlock(Data, DataSize, H, Out.P);
  H.OffsetToNextHeader = H.CompressedSize + kHeaderSize;
  const Int64 Pos = FHeaders.Positions[i];
  SeekExactly(FCompressedStream, Pos, 10099);
  const Int64 PutHeader = FCompressedStream->Write(&H, kHeaderSize);
  if (PutHeader != kHeaderSize)
    throw EMdbException(10100, SMdbCannotWriteStream, {Pos, FCompressedStream->Size(), kHeaderSize, PutHeader});
  const Int64 PutData = FCompressedStream->Write(Out.P, H.CompressedSize);
  if (PutData != H.CompressedSize)
    throw EMdbException(10101, SMdbCannotWriteStream, {Pos + kHeaderSize, FCompressedStream->Size(), Int64(H.CompressedSize), PutData});
  FHeaders.Items[i] = H;
}

Int64 TMdbCompressedBLOBStream::Read(void* Buffer, Int64 Count) {
  if (Count <= 0 || FPosition < 0 || FPosition >= FUncompressedSize) return 0;
  if (!Compressed()) {
    // Bounded by the BLOB: bytes behind it in the stream belong to someone else.
    const Int64 N = std::min(Count, FUncompressedSize - FPosition);
    FCompressedStream->SetPosition(FStartPosition + FPosition);
    const Int64 Got = FCompressedStream->Read(Buffer, N);
    FPosition = FCompressedStream->Position() - FStartPosition;
    return Got;
  }
  Int64 Copied = 0;
  Int64 Block = FPosition / FBlockSize;
  while (FPosition < FUncompressedSize && Copied < Count) {
    THeapBuffer Data(LoadBlock(Block));
    const Int64 Offset = FPosition % FBlockSize;
    const Int64 N = std::min({Int64(FBlockSize) - Offset, Count - Copied, FUncompressedSize - FPosition,
                              Int64(FHeaders.Items[static_cast<std::size_t>(Block)].UncompressedSize) - Offset});
    if (N <= 0) throw EMdbException(10090, SMdbCannotReadSize, {N});
    std::memcpy(static_cast<Byte*>(Buffer) + Copied, Data.Bytes() + Offset, static_cast<std::size_t>(N));
    Copied += N;
    FPosition += N;
    ++Block;
  }
  return Copied;
}

void TMdbCompressedBLOBStream::SyncSizeWithHeaders() {
  Int64 Sum = 0;
  for (Int64 i = 0; i < FHeaders.ItemCount; ++i) Sum += FHeaders.Items[static_cast<std::size_t>(i)].UncompressedSize;
  FUncompressedSize = Sum;
  FBLOBDescriptor.NumBlocks = FHeaders.ItemCount;
  FBLOBDescriptor.UncompressedSize = Sum;
  FPosition = std::min(FPosition, Sum);
  CalcCompressedSizeAndRate();
}

Int64 TMdbCompressedBLOBStream::AppendCompressed(const Byte* Buffer, Int64 Count) {
  Int64 Done = 0;
  const Int64 T = FUncompressedSize % FBlockSize;
  if (T > 0) {
    // The last block is partly filled: recompress it with the new bytes behind its old ones.
    const Int64 Last = FHeaders.ItemCount - 1;
    THeapBuffer Old(LoadBlock(Last));
    TMdbMemBlock Block(FBlockSize);
    std::memcpy(Block.Get(), Old.P, static_cast<std::size_t>(T));
    const Int64 N = std::min(Count, Int64(FBlockSize) - T);
    std::memcpy(Block.Get() + T, Buffer, static_cast<std::size_t>(N));
    FCurrentHeader = static_cast<std::int32_t>(Last);
    RewriteCurrentBlock(Block.Get(), static_cast<std::int32_t>(T + N));
    Done = N;
    FUncompressedSize += N;
    FPosition += N;
  }
  if (Done < Count) {
    Int64 Next = FStartPosition;
    if (FHeaders.ItemCount > 0) {
      const auto Last = static_cast<std::size_t>(FHeaders.ItemCount - 1);
      Next = FHeaders.Positions[Last] + FHeaders.Items[Last].OffsetToNextHeader;
    }
    SeekExactly(FCompressedStream, Next, 10102);
    while (Done < Count) {
      const Int64 Piece = std::min(Count - Done, Int64(FBlockSize));
      FHeaders.AppendItem({}, FCompressedStream->Position());
      FCurrentHeader = static_cast<std::int32_t>(FHeaders.ItemCount - 1);
      try {
        RewriteCurrentBlock(Buffer + Done, static_cast<std::int32_t>(Piece));
      } catch (...) {
        FHeaders.SetSize(FHeaders.ItemCount - 1);
        throw;
      }
      Done += Piece;
      FUncompressedSize += Piece;
      FPosition += Piece;
    }
  }
  FBLOBDescriptor.NumBlocks = FHeaders.ItemCount;
  return Done;
}

Int64 TMdbCompressedBLOBStream::Write(const void* Buffer, Int64 Count) {
  if (Count <= 0) return 0;
  if (!Compressed()) {
    if (FPosition < 0) return 0;
    FCompressedStream->SetPosition(FStartPosition + FPosition);
    const Int64 Put = FCompressedStream->Write(Buffer, Count);
    FPosition = FCompressedStream->Position() - FStartPosition;
    FUncompressedSize = std::max(FUncompressedSize, FPosition);
    FBLOBDescriptor.UncompressedSize = FUncompressedSize;
    CalcCompressedSizeAndRate();
    return Put;
  }
  if (FPosition < FUncompressedSize) return 0;
  try {
    if (FPosition > FUncompressedSize) ExtendToPosition();
    AppendCompressed(static_cast<const Byte*>(Buffer), Count);
  } catch (...) {
    SyncSizeWithHeaders();
    throw;
  }
  FBLOBDescriptor.UncompressedSize = FUncompressedSize;
  CalcCompressedSizeAndRate();
  return Count;
}

Int64 TMdbCompressedBLOBStream::Seek(Int64 Offset, TSeekOrigin Origin) {
  Int64 Target = FPosition;
  switch (Origin) {
    case TSeekOrigin::soBeginning: Target = Offset; break;
    case TSeekOrigin::soCurrent: Target = FPosition + Offset; break;
    case TSeekOrigin::soEnd: Target = FUncompressedSize + Offset; break;
  }
  if (Compressed()) {
    FPosition = std::max<Int64>(Target, 0);
  } else {
    try {
      FCompressedStream->Seek(FStartPosition + Target, TSeekOrigin::soBeginning);
    } catch (const Exception&) {
    }
    FPosition = FCompressedStream->Position() - FStartPosition;
  }
  return FPosition;
}

void TMdbCompressedBLOBStream::ExtendToPosition() {
  const Int64 P = FPosition;
  FPosition = 0;
  SetSize(P);
  Seek(P, TSeekOrigin::soBeginning);
  if (FPosition != P) throw EMdbException(10091, SMdbCannotSetPosition, {P, FPosition, FUncompressedSize});
  if (FUncompressedSize != P) throw EMdbException(10092, SMdbInvalidStreamSize, {FUncompressedSize, P});
}

void TMdbCompressedBLOBStream::Extend(Int64 NewSize) {
  FPosition = FUncompressedSize;
  const Int64 E = NewSize - FUncompressedSize;
  if (E <= 0) throw EMdbException(10098, SMdbInvalidExtensionSize, {NewSize, FUncompressedSize, E});
  TMdbMemBlock Zeros(std::min(E, Int64(FBlockSize)), true);
  Int64 Left = E;
  while (Left > 0) {
    const Int64 Piece = std::min(Left, Int64(FBlockSize));
    const Int64 WritePos = FPosition;
    const Int64 Put = Write(Zeros.Get(), Piece);
    if (Put != Piece) throw EMdbException(10097, SMdbCannotWriteStream, {WritePos, FUncompressedSize, Piece, Put});
    Left -= Piece;
  }
}

void TMdbCompressedBLOBStream::Truncate(Int64 NewSize) {
  const Int64 L = NewSize / FBlockSize;
  const std::int32_t R = static_cast<std::int32_t>(NewSize % FBlockSize);
  const Int64 Keep = L + (R > 0 ? 1 : 0);
  THeapBuffer Compressed;
  TMdbCompressedStreamBlockHeader H;
  if (R > 0) {
    THeapBuffer Data(LoadBlock(L));
    H = FHeaders.Items[static_cast<std::size_t>(L)];
    CompressBlock(Data.P, R, H, Compressed.P);
  }
  FHeaders.SetSize(Keep);
  FBLOBDescriptor.NumBlocks = Keep;
  if (R > 0) {
    const Int64 Pos = FHeaders.Positions[static_cast<std::size_t>(L)];
    FCompressedStream->SetSize(Pos);
    if (FCompressedStream->Size() != Pos) throw EMdbException(10093, SMdbInvalidStreamSize, {FCompressedStream->Size(), Pos});
    const Int64 End = FCompressedStream->Seek(0, TSeekOrigin::soEnd);
    if (End != Pos) throw EMdbException(10094, SMdbCannotSetPosition, {Pos, End, FCompressedStream->Size()});
    H.OffsetToNextHeader = kHeaderSize + H.CompressedSize;
    FHeaders.Items[static_cast<std::size_t>(L)] = H;
    FHeaders.Positions[static_cast<std::size_t>(L)] = Pos;
    if (FCompressedStream->Write(&H, kHeaderSize) != kHeaderSize) throw EMdbException(10095, SMdbErrorWritingStream);
    if (FCompressedStream->Write(Compressed.P, H.CompressedSize) != H.CompressedSize)
      throw EMdbException(10096, SMdbErrorWritingStream);
  }
}

void TMdbCompressedBLOBStream::SetSize(Int64 NewSize) {
  NewSize = std::max<Int64>(NewSize, 0);
  if (Compressed()) {
    const Int64 Kept = FPosition;
    try {
      if (NewSize > FUncompressedSize) Extend(NewSize);
      else if (NewSize < FUncompressedSize) Truncate(NewSize);
    } catch (...) {
      FPosition = Kept;
      SyncSizeWithHeaders();
      throw;
    }
    FPosition = Kept;
  } else {
    FCompressedStream->SetSize(FStartPosition + NewSize);
  }
  FUncompressedSize = NewSize;
  FBLOBDescriptor.UncompressedSize = NewSize;
  CalcCompressedSizeAndRate();
  if (FPosition > FUncompressedSize) FPosition = FUncompressedSize;
}

void TMdbCompressedBLOBStream::CalcCompressedSizeAndRate() {
  if (Compressed() && FUncompressedSize > 0) {
    Int64 Sum = 0;
    for (Int64 i = 0; i < FHeaders.ItemCount; ++i) Sum += FHeaders.Items[static_cast<std::size_t>(i)].CompressedSize;
    FCompressedSize = Sum;
    FCompressionRate = (1.0 - double(FCompressedSize) / double(FUncompressedSize)) * 100.0;
  } else {
    FCompressedSize = FUncompressedSize;
    FCompressionRate = 0;
  }
}

double TMdbCompressedBLOBStream::CompressionRate() {
  CalcCompressedSizeAndRate();
  return FCompressionRate;
}
