#include "engines/mdb/runtime/MdbStreams.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "platform/classes/Files.h"
#include "platform/sys/CodePage.h"

namespace {

Int64 SeekTarget(Int64 Position, Int64 Size, Int64 Offset, TSeekOrigin Origin) {
  switch (Origin) {
    case TSeekOrigin::soBeginning: return Offset;
    case TSeekOrigin::soCurrent: return Position + Offset;
    case TSeekOrigin::soEnd: return Size + Offset;
  }
  return Position;
}

}  // namespace

// ---- TMdbStream ------------------------------------------------------------------------------------

TMdbStream::TMdbStream() = default;

TMdbStream::~TMdbStream() = default;

void TMdbStream::DoProgress(double PercentDone) {
  if (FOnProgress) FOnProgress(this, PercentDone, FAbort);
}

void TMdbStream::SaveToStream(TStream* Stream) {
  if (FBlockSize == 0) throw EMdbException(10418, SMdbZeroBlockSize);
  const Int64 OwnPos = Position();
  const Int64 DestPos = Stream->Position();
  SetPosition(0);
  Int64 Copied = 0;
  FAbort = false;
  DoProgress(0);
  const Int64 Total = Size();
  TMdbMemBlock Buf(FBlockSize);
  try {
    while (!FAbort && Copied < Total) {
      const Int64 Chunk = std::min<Int64>(FBlockSize, Total - Copied);
      const Int64 ReadPos = Position();
      const Int64 Got = Read(Buf.Get(), Chunk);
      if (Got != Chunk) throw EMdbException(10146, SMdbCannotReadStream, {ReadPos, Size(), Chunk, Got});
      const Int64 WritePos = Stream->Position();
      const Int64 Put = Stream->Write(Buf.Get(), Chunk);
      if (Put != Chunk) throw EMdbException(10147, SMdbCannotWriteStream, {WritePos, Stream->Size(), Chunk, Put});
      Copied += Chunk;
      DoProgress(double(Copied) / double(Total) * 100.0);
    }
  } catch (...) {
    SetPosition(OwnPos);
    Stream->SetPosition(DestPos);
    throw;
  }
  SetPosition(OwnPos);
  Stream->SetPosition(DestPos);
  if (!FAbort) DoProgress(100);
}

void TMdbStream::LoadFromStream(TStream* Stream) { LoadFromStreamWithPosition(Stream, 0, Stream->Size()); }

void TMdbStream::LoadFromStreamWithPosition(TStream* Stream, Int64 FromPosition, Int64 StreamSize) {
  if (FBlockSize == 0) throw EMdbException(10419, SMdbZeroBlockSize);
  const Int64 OwnPos = Position();
  const Int64 SourcePos = Stream->Position();
  Stream->SetPosition(FromPosition);
  SetSize(0);
  SetPosition(0);
  FAbort = false;
  DoProgress(0);
  TMdbMemBlock Buf(FBlockSize);
  const Int64 End = FromPosition + StreamSize;
  auto Restore = [&] {
    SetPosition(OwnPos);
    Stream->SetPosition(SourcePos);
  };
  try {
    while (!FAbort && Stream->Position() < End) {
      const Int64 ReadPos = Stream->Position();
      const Int64 Chunk = std::min<Int64>(FBlockSize, End - ReadPos);
      const Int64 Got = Stream->Read(Buf.Get(), Chunk);
      if (Got != Chunk) throw EMdbException(10148, SMdbCannotReadStream, {ReadPos, Stream->Size(), Chunk, Got});
      const Int64 WritePos = Position();
      const Int64 Put = Write(Buf.Get(), Chunk);
      if (Put != Chunk) throw EMdbException(10149, SMdbCannotWriteStream, {WritePos, Size(), Chunk, Put});
      const Int64 SourceSize = Stream->Size();
      DoProgress(SourceSize > 0 ? double(Stream->Position()) / double(SourceSize) * 100.0 : 100.0);
    }
  } catch (...) {
    Restore();
    throw;
  }
  Restore();
  if (!FAbort) DoProgress(100);
}

// ---- TMdbMemoryStream ------------------------------------------------------------------------------

TMdbMemoryStream::TMdbMemoryStream(void* Buffer, Int64 BufferSize) {
  if (Buffer != nullptr) {
    FBuffer = Buffer;
    FBufferSize = BufferSize < 0 ? MdbMemoryManager->GetMemoryBufferSize(Buffer) : BufferSize;
    FSize = FBufferSize;
  }
}

TMdbMemoryStream::~TMdbMemoryStream() {
  try {
    InternalSetSize(0);
  } catch (...) {
    // An overrun of the buffer is reported by the manager after it freed the block; a destructor
    // cannot pass it on.
  }
}

void TMdbMemoryStream::InternalSetSize(Int64 NewSize) {
  if (NewSize == FSize && (NewSize > 0 || FBuffer == nullptr)) return;
  if (NewSize <= 0) {
    void* Old = FBuffer;
    FBuffer = nullptr;
    FBufferSize = FSize = 0;
    FFastReallocCount = 0;
    FReallocDelta = 0;
    if (FPosition > 0) FPosition = 0;
    if (Old) MdbMemoryManager->FreeAndNilMem(Old);
    return;
  }
  if (FBuffer == nullptr) {
    const Int64 Capacity = std::max<Int64>(NewSize, 1024);
    FBuffer = MdbMemoryManager->GetMem(Capacity);
    FBufferSize = Capacity;
    FFastReallocCount = 0;
  } else {
    const Int64 D = FBufferSize <= 0 ? 4 : FBufferSize == 4 ? 1020 : CalcReallocDelta(FBufferSize);
    if (NewSize < FSize) {
      if (FBufferSize - NewSize >= D) {
        MdbMemoryManager->ReallocMem(FBuffer, NewSize, false);
        FBufferSize = NewSize;
        FFastReallocCount = 0;
      }
    } else if (NewSize > FBufferSize) {
      Int64 Step = std::max(D, NewSize - FBufferSize);
      Int64 Capacity = FBufferSize + Step;
      const Int64 Rounded = (Capacity + 3) & ~Int64(3);
      Step += Rounded - Capacity;
      MdbMemoryManager->ReallocMem(FBuffer, Rounded, false);
      FBufferSize = Rounded;
      FReallocDelta = Step;
      FFastReallocCount = 0;
    } else {
      ++FFastReallocCount;
    }
  }
  FSize = NewSize;
  if (FPosition > FSize) FPosition = FSize;
}

void TMdbMemoryStream::Clear(Int64 KeepCapacity) {
  if (FBuffer != nullptr && FBufferSize <= KeepCapacity) {
    FSize = 0;
    FPosition = 0;
    return;
  }
  InternalSetSize(0);
  FPosition = 0;
}

void TMdbMemoryStream::SetSize(Int64 NewSize) {
  const Int64 OldSize = FSize;
  InternalSetSize(NewSize);
  if (FSize > OldSize) std::memset(static_cast<Byte*>(FBuffer) + OldSize, 0, static_cast<std::size_t>(FSize - OldSize));
}

Int64 TMdbMemoryStream::Read(void* Buffer, Int64 Count) {
  if (FPosition < 0 || FPosition >= FSize || Count <= 0) return 0;
  const Int64 N = std::min(Count, FSize - FPosition);
  std::memcpy(Buffer, static_cast<const Byte*>(FBuffer) + FPosition, static_cast<std::size_t>(N));
  FPosition += N;
  return N;
}

Int64 TMdbMemoryStream::Write(const void* Buffer, Int64 Count) {
  if (Count <= 0 || FPosition < 0) return 0;
  const Int64 OldSize = FSize;
  if (FPosition + Count > FSize) {
    InternalSetSize(FPosition + Count);
    if (FPosition > OldSize)
      std::memset(static_cast<Byte*>(FBuffer) + OldSize, 0, static_cast<std::size_t>(FPosition - OldSize));
  }
  std::memcpy(static_cast<Byte*>(FBuffer) + FPosition, Buffer, static_cast<std::size_t>(Count));
  FPosition += Count;
  return Count;
}

Int64 TMdbMemoryStream::Seek(Int64 Offset, TSeekOrigin Origin) {
  FPosition = SeekTarget(FPosition, FSize, Offset, Origin);
  return FPosition;
}

// ---- TMdbFileStream --------------------------------------------------------------------------------

namespace {

// The platform mode for a wide-name open: create read-write; otherwise read-write when the mode asks
// for 2, write for 1, read else; sharing exclusive for 0x10, deny-write for 0x20, else deny none.
Word WideOpenMode(Word Mode) {
  if (Mode == TMdbFileStream::kCreate) return fmCreate;
  const Word Access = (Mode & 2) ? fmOpenReadWrite : (Mode & 1) ? fmOpenWrite : fmOpenRead;
  const Word Share = (Mode & 0x10) ? fmShareExclusive : (Mode & 0x20) ? fmShareDenyWrite : fmShareDenyNone;
  return static_cast<Word>(Access | Share);
}

std::unique_ptr<TFileStream> OpenFile(const String& Name, Word PlatformMode, Word Mode) {
  try {
    return std::make_unique<TFileStream>(Name, PlatformMode);
  } catch (const Exception&) {
    if (Mode == TMdbFileStream::kCreate) throw EMdbException(10104, SMdbCannotCreateFile, {Name});
    throw EMdbException(10105, SMdbCannotOpenFile, {Name, int(Mode)});
  }
}

}  // namespace

TMdbFileStream::TMdbFileStream(const AnsiString& FileName, Word Mode) : FFileName(FileName), FMode(Mode) {
  FFile = OpenFile(sys::AnsiToUtf16(FileName), Mode == kCreate ? fmCreate : Mode, Mode);
}

TMdbFileStream::TMdbFileStream(const String& FileName, Word Mode) : FUnicodeFileName(FileName), FMode(Mode) {
  FFile = OpenFile(FileName, WideOpenMode(Mode), Mode);
}

TMdbFileStream::~TMdbFileStream() = default;

int TMdbFileStream::Handle() const { return FFile->Handle(); }

Int64 TMdbFileStream::Read(void* Buffer, Int64 Count) {
  if (Count <= 0 || FFile->Position() < 0) return 0;
  return FFile->Read(Buffer, Count);
}

Int64 TMdbFileStream::Write(const void* Buffer, Int64 Count) {
  if (Count <= 0) return 0;
  return FFile->Write(Buffer, Count);
}

Int64 TMdbFileStream::Seek(Int64 Offset, TSeekOrigin Origin) {
  // A position before the start of the file is refused by the system; the stream stays where it was.
  try {
    return FFile->Seek(Offset, Origin);
  } catch (const EStreamError&) {
    return FFile->Position();
  }
}

void TMdbFileStream::SetSize(Int64 NewSize) {
  const Int64 Remembered = FFile->Position();
  FFile->SetSize(NewSize);
  FFile->SetPosition(std::min(Remembered, NewSize));
}

// ---- TMdbTempFileStream ----------------------------------------------------------------------------

TMdbTempFileStream::TMdbTempFileStream(TMdbStream* /*Source*/) {
  MakeTempFileName(FTempFileName);
  try {
    FFileStream = std::make_unique<TMdbFileStream>(FTempFileName, TMdbFileStream::kCreate);
    FBlockSize = static_cast<std::int32_t>(kBlockSize);
    FCachedBlock = static_cast<Byte*>(MdbMemoryManager->AllocMem(kBlockSize));
  } catch (...) {
    FFileStream.reset();
    DeleteFile(FTempFileName);
    throw;
  }
}

TMdbTempFileStream::~TMdbTempFileStream() {
  FFileStream.reset();
  DeleteFile(FTempFileName);
  if (FCachedBlock) {
    try {
      MdbMemoryManager->FreeAndNilMem(FCachedBlock);
    } catch (...) {
    }
  }
}

Int64 TMdbTempFileStream::FileSize() { return FFileStream->Size(); }

void TMdbTempFileStream::ClearCachedBlock() {
  FCachedBlockNo = -1;
  std::memset(FCachedBlock, 0, kBlockSize);
}

void TMdbTempFileStream::LoadBlock(Int64 BlockNo) {
  const Int64 Offset = BlockNo * kBlockSize;
  FFileStream->SetPosition(Offset);
  if (Offset >= FSize) {
    ClearCachedBlock();
    FCachedBytes = 0;
  } else {
    const Int64 N = std::min(kBlockSize, FSize - Offset);
    const Int64 Got = FFileStream->Read(FCachedBlock, N);
    if (Got != N) {
      FCachedBlockNo = -1;
      throw EMdbException(11697, SMdbCannotReadStream, {Offset, FSize, kBlockSize, Got});
    }
    // Bytes behind the valid part read as zeros, as the file would give them once extended.
    std::memset(FCachedBlock + N, 0, static_cast<std::size_t>(kBlockSize - N));
    FCachedBytes = N;
  }
  FCachedBlockNo = BlockNo;
}

void TMdbTempFileStream::WriteBlock(Int64 BlockNo) {
  const Int64 Offset = BlockNo * kBlockSize;
  FFileStream->SetPosition(Offset);
  if (FCachedBytes > 0) {
    const Int64 Put = FFileStream->Write(FCachedBlock, FCachedBytes);
    if (Put != FCachedBytes) throw EMdbException(11698, SMdbCannotWriteStream, {Offset, FFileStream->Size(), FCachedBytes, Put});
  }
}

void TMdbTempFileStream::FlushWriteCache() {
  if (FWriteCacheBlockNo >= 0) {
    WriteBlock(FWriteCacheBlockNo);
    FWriteCacheBlockNo = -1;
  }
}

Int64 TMdbTempFileStream::Read(void* Buffer, Int64 Count) {
  FlushWriteCache();
  if (Count <= 0 || FPosition < 0 || FPosition >= FSize) return 0;
  Int64 Copied = 0;
  Int64 Block = FPosition / kBlockSize;
  Int64 Offset = FPosition % kBlockSize;
  while (Copied < Count && FPosition < FSize) {
    const Int64 N = std::min({Count - Copied, kBlockSize - Offset, FSize - FPosition});
    if (Block != FCachedBlockNo) {
      try {
        LoadBlock(Block);
      } catch (const Exception&) {
        return 0;
      }
    }
    std::memcpy(static_cast<Byte*>(Buffer) + Copied, FCachedBlock + Offset, static_cast<std::size_t>(N));
    Copied += N;
    FPosition += N;
    ++Block;
    Offset = 0;
  }
  return Copied;
}

Int64 TMdbTempFileStream::Write(const void* Buffer, Int64 Count) {
  FlushWriteCache();
  if (Count <= 0 || FPosition < 0) return 0;
  const Int64 End = FPosition + Count;
  const Int64 First = FPosition / kBlockSize;
  Int64 Written = 0;
  for (Int64 Block = First; FPosition < End; ++Block) {
    const Int64 Offset = Block == First ? FPosition % kBlockSize : 0;
    const Int64 N = std::min(End - FPosition, kBlockSize - Offset);
    if (Block != FCachedBlockNo) {
      if (Block == First || Offset + N < kBlockSize) {
        try {
          LoadBlock(Block);
        } catch (const Exception&) {
          return 0;
        }
      } else {
        FCachedBlockNo = Block;
        FCachedBytes = 0;
      }
    }
    std::memcpy(FCachedBlock + Offset, static_cast<const Byte*>(Buffer) + Written, static_cast<std::size_t>(N));
    FCachedBytes = std::max(FCachedBytes, Offset + N);
    if (Offset + N == kBlockSize) {
      try {
        WriteBlock(Block);
      } catch (const Exception&) {
        FCachedBlockNo = -1;
        return Written;
      }
    } else {
      FWriteCacheBlockNo = Block;
    }
    Written += N;
    FPosition += N;
  }
  FSize = std::max(FSize, End);
  return Written;
}

Int64 TMdbTempFileStream::Seek(Int64 Offset, TSeekOrigin Origin) {
  FPosition = SeekTarget(FPosition, FSize, Offset, Origin);
  return FPosition;
}

void TMdbTempFileStream::InternalSetSize(Int64 NewSize) {
  FlushWriteCache();
  if (NewSize == FSize) return;
  FFileStream->SetSize(std::max<Int64>(NewSize, 0));
  FSize = FFileStream->Size();
  // The cache may hold bytes beyond the new end that a later growth must not bring back.
  FCachedBlockNo = -1;
  FCachedBytes = 0;
  if (FPosition > FSize) FPosition = FSize;
}

// ---- TMdbTemporaryStream ---------------------------------------------------------------------------

TMdbTemporaryStream::TMdbTemporaryStream() : FMemoryStream(std::make_unique<TMdbMemoryStream>()) {
  FBlockSize = 32768;
}

TMdbTemporaryStream::~TMdbTemporaryStream() = default;

TStream* TMdbTemporaryStream::Inner() const {
  return FInMemory ? static_cast<TStream*>(FMemoryStream.get()) : static_cast<TStream*>(FFileStream.get());
}

void TMdbTemporaryStream::MoveToFile() {
  auto File = std::make_unique<TMdbTempFileStream>(FMemoryStream.get());
  const Int64 Held = FMemoryStream->Size();
  if (Held > 0) {
    const Int64 Put = File->Write(FMemoryStream->Buffer(), Held);
    if (Put != Held) throw EMdbException(11698, SMdbCannotWriteStream, {Int64(0), File->Size(), Held, Put});
  }
  File->SetPosition(FMemoryStream->Position());
  FFileStream = std::move(File);
  FMemoryStream.reset();
  FInMemory = false;
}

void TMdbTemporaryStream::InternalSetSize(Int64 NewSize) {
  if (FInMemory && NewSize > FMemoryLimit) MoveToFile();
  Inner()->SetSize(NewSize);
  if (Inner()->Position() > Inner()->Size()) Inner()->SetPosition(Inner()->Size());
}

void TMdbTemporaryStream::Clear(Int64 KeepCapacity) {
  if (!FInMemory) {
    auto Memory = std::make_unique<TMdbMemoryStream>();
    FFileStream.reset();
    FMemoryStream = std::move(Memory);
    FInMemory = true;
    return;
  }
  FMemoryStream->Clear(KeepCapacity);
}

Int64 TMdbTemporaryStream::Read(void* Buffer, Int64 Count) { return Inner()->Read(Buffer, Count); }

Int64 TMdbTemporaryStream::Write(const void* Buffer, Int64 Count) {
  // A write that takes the stream past its limit moves it to the file first, as a size change does.
  if (FInMemory && Count > 0 && FMemoryStream->Position() >= 0 && FMemoryStream->Position() + Count > FMemoryLimit)
    MoveToFile();
  return Inner()->Write(Buffer, Count);
}

Int64 TMdbTemporaryStream::Seek(Int64 Offset, TSeekOrigin Origin) { return Inner()->Seek(Offset, Origin); }

Int64 TMdbTemporaryStream::Size() { return Inner()->Size(); }

// ---- field routines --------------------------------------------------------------------------------

void WriteBufferToStream(const void* Buffer, Int64 Count, TStream* Stream, int NativeErrorCode) {
  const Int64 Pos = Stream->Position();
  const Int64 Put = Count > 0 ? Stream->Write(Buffer, Count) : 0;
  if (Put != std::max<Int64>(Count, 0))
    throw EMdbException(NativeErrorCode, SMdbCannotWriteStream, {Pos, Stream->Size(), Count, Put});
}

void ReadBufferFromStream(void* Buffer, Int64 Count, TStream* Stream, int NativeErrorCode) {
  const Int64 Pos = Stream->Position();
  const Int64 Got = Count > 0 ? Stream->Read(Buffer, Count) : 0;
  if (Got != std::max<Int64>(Count, 0))
    throw EMdbException(NativeErrorCode, SMdbCannotReadStream, {Pos, Stream->Size(), Count, Got});
}

void WriteWideStringToStream(std::u16string_view S, TStream* Stream, int NativeErrorCode) {
  const auto Len = static_cast<std::int32_t>(S.size() * 2);
  WriteValueToStream(Len, Stream, NativeErrorCode);
  if (Len > 0) WriteBufferToStream(S.data(), Len, Stream, NativeErrorCode);
}

void ReadWideStringFromStream(String& S, TStream* Stream, int NativeErrorCode) {
  const auto Len = ReadValueFromStream<std::int32_t>(Stream, NativeErrorCode);
  if (Len <= 0) {
    S.clear();
    return;
  }
  const Int64 Pos = Stream->Position();
  const Int64 Left = Stream->Size() - Pos;
  if (Len > Left) throw EMdbException(NativeErrorCode, SMdbCannotReadStream, {Pos, Stream->Size(), Int64(Len), std::max<Int64>(Left, 0)});
  String Text(static_cast<std::size_t>(Len) / 2, u'\0');
  ReadBufferFromStream(Text.data(), Int64(Len / 2) * 2, Stream, NativeErrorCode);
  if (Len % 2 != 0) {
    Byte Dropped;
    ReadBufferFromStream(&Dropped, 1, Stream, NativeErrorCode);
  }
  S = std::move(Text);
}

void WriteBooleanToStream(bool Value, TStream* Stream, int NativeErrorCode) {
  const Byte b = Value ? 0xFF : 0x00;
  WriteBufferToStream(&b, 1, Stream, NativeErrorCode);
}

bool ReadBooleanFromStream(bool& Value, TStream* Stream, int NativeErrorCode) {
  Byte b = 0;
  ReadBufferFromStream(&b, 1, Stream, NativeErrorCode);
  Value = b != 0;
  return Value;
}

void SetStreamPosition(TStream* Stream, int NativeErrorCode, Int64 Position) {
  const Int64 Before = Stream->Position();
  Int64 After = Before;
  try {
    After = Stream->Seek(Position, TSeekOrigin::soBeginning);
  } catch (const Exception&) {
    After = Stream->Position();
  }
  if (After != Position) throw EMdbException(NativeErrorCode, SMdbCannotSetPosition, {Position, Before, Stream->Size()});
}

// ---- temporary folder and names ----------------------------------------------------------------------

String TempDirectory;

void GetTempDirectory(String& Path) {
  std::error_code Error;
  const std::filesystem::path Dir = std::filesystem::temp_directory_path(Error);
  Path = Error ? String(u"/tmp/") : IncludeTrailingPathDelimiter(UTF8ToString(Dir.string()));
}

void InitTempDirectory() { GetTempDirectory(TempDirectory); }

void MakeTempFileName(String& FileName) {
  if (TempDirectory.empty()) InitTempDirectory();
  std::string Template = StringToUTF8(TempDirectory) + "ACRXXXXXX.tmp";
  const int Fd = ::mkstemps(Template.data(), 4);
  if (Fd < 0) throw EMdbException(10104, SMdbCannotCreateFile, {TempDirectory + u"ACR*.tmp"});
  ::close(Fd);
  FileName = UTF8ToString(Template);
}

bool FileExistsAnsi(const char* FileName) {
  return FileName != nullptr && FileExists(sys::AnsiToUtf16(FileName));
}

bool FileExistsWide(const char16_t* FileName) { return FileName != nullptr && FileExists(String(FileName)); }

bool FileExistsEither(const char* AnsiName, const char16_t* WideName) {
  return WideName != nullptr ? FileExistsWide(WideName) : FileExistsAnsi(AnsiName);
}

bool FileExistsAnsiOrWide(const AnsiString& FileName, const String& UnicodeFileName) {
  if (!UnicodeFileName.empty()) return FileExists(UnicodeFileName);
  if (!FileName.empty()) return FileExists(sys::AnsiToUtf16(FileName));
  return false;
}
