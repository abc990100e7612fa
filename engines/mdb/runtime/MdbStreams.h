// The engine's byte streams and the field routines through which every stream form of the engine
// writes and reads its fields.
//
//   TMdbStream           base: an exclusive lock an owner may bracket uses with, a block size, a
//                        progress event and block copies to and from another stream.
//   TMdbMemoryStream     a growable buffer from the memory manager, grown by CalcReallocDelta steps.
//   TMdbFileStream       a file by 8-bit or UTF-16 name, over the platform's file stream. Open modes
//                        are the platform's: 0xFF00 creates (replacing), else access 0 read / 1 write /
//                        2 read-write with sharing 0x10 exclusive, 0x20 deny write, otherwise deny none.
//                        On Linux the sharing is kept only among processes that use the platform's
//                        file streams (advisory locks); other programs are not kept out.
//   TMdbTempFileStream   a fresh temporary file ("ACR" prefix in TempDirectory), read and written
//                        through a one-block cache of 32 KiB; the file is deleted with the stream.
//   TMdbTemporaryStream  memory until it grows past MemoryLimit (1 MiB), by SetSize or by Write, then a
//                        temporary file for the rest of its life.
//
// Positions may be set anywhere by Seek; at a negative position Read and Write move nothing. Bytes
// between an old end and a later write or a larger size read as zeros: no stream carries stale heap
// bytes into what it saves.
//
// Field routines: each transfers one field and raises EMdbException with the caller's native code on a
// short transfer. Stream forms are little-endian; a wide string is an Int32 byte length followed by
// UTF-16LE without terminator; a Boolean is one byte, 0xFF for True (any non-zero byte reads True).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "platform/classes/Streams.h"

class TFileStream;

using TMdbProgressEvent = std::function<void(TObject* Sender, double PercentDone, bool& Abort)>;

class TMdbStream : public TStream {
  VELLUM_CLASS(TMdbStream)
 public:
  TMdbStream();
  ~TMdbStream() override;

  virtual void Lock() { FThreadSync.WaitAndLockForWrite(); }
  virtual void Unlock() { FThreadSync.Unlock(); }

  std::int32_t BlockSize() const { return FBlockSize; }
  void SetBlockSize(std::int32_t Value) { FBlockSize = Value; }
  const TMdbProgressEvent& OnProgress() const { return FOnProgress; }
  void SetOnProgress(TMdbProgressEvent Handler) { FOnProgress = std::move(Handler); }
  bool Modified() const { return FModified; }
  void SetModified(bool Value) { FModified = Value; }

  // Copies this whole stream into Stream at Stream's position; both positions are restored.
  void SaveToStream(TStream* Stream);
  void LoadFromStream(TStream* Stream);
  // Replaces this stream's content with StreamSize bytes of Stream from FromPosition.
  void LoadFromStreamWithPosition(TStream* Stream, Int64 FromPosition, Int64 StreamSize);
  void DoProgress(double PercentDone);

 protected:
  // Held in place: streams are made per BLOB value, and a lock of their own on the heap would cost
  // an allocation each.
  TMdbReadWriteThreadSyncBySingleCriticalSection FThreadSync;
  std::int32_t FBlockSize = 102400;
  TMdbProgressEvent FOnProgress;
  bool FModified = false;
  bool FAbort = false;
};

class TMdbMemoryStream : public TMdbStream {
  VELLUM_CLASS(TMdbMemoryStream)
 public:
  // A nil Buffer: an empty stream. A memory-manager block is taken over: the capacity and size are
  // BufferSize, or the block's recorded size when BufferSize is negative.
  explicit TMdbMemoryStream(void* Buffer = nullptr, Int64 BufferSize = -1);
  ~TMdbMemoryStream() override;

  Int64 Read(void* Buffer, Int64 Count) override;
  Int64 Write(const void* Buffer, Int64 Count) override;
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override;
  Int64 Size() override { return FSize; }
  void SetSize(Int64 NewSize) override;

  // Empties the stream; a buffer of at most KeepCapacity bytes stays for the next content, a larger one
  // is freed.
  void Clear(Int64 KeepCapacity);

  void* Buffer() const { return FBuffer; }
  Int64 BufferSize() const { return FBufferSize; }
  Int64 StreamSize() const { return FSize; }
  std::int32_t FastReallocCount() const { return FFastReallocCount; }
  Int64 ReallocDelta() const { return FReallocDelta; }

 private:
  void InternalSetSize(Int64 NewSize);
  void* FBuffer = nullptr;
  Int64 FPosition = 0;
  Int64 FSize = 0;
  Int64 FBufferSize = 0;
  std::int32_t FFastReallocCount = 0;
  Int64 FReallocDelta = 0;
};

class TMdbFileStream : public TMdbStream {
  VELLUM_CLASS(TMdbFileStream)
 public:
  static constexpr Word kCreate = 0xFF00;
  // 10104 "Cannot create file..." when mode 0xFF00 cannot create; 10105 "Cannot open file..." else.
  TMdbFileStream(const AnsiString& FileName, Word Mode);
  TMdbFileStream(const String& FileName, Word Mode);
  ~TMdbFileStream() override;

  Int64 Read(void* Buffer, Int64 Count) override;
  Int64 Write(const void* Buffer, Int64 Count) override;
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override;
  void SetSize(Int64 NewSize) override;

  int Handle() const;
  Word Mode() const { return FMode; }
  const AnsiString& FileName() const { return FFileName; }
  const String& UnicodeFileName() const { return FUnicodeFileName; }

 private:
  std::unique_ptr<TFileStream> FFile;
  AnsiString FFileName;
  String FUnicodeFileName;
  Word FMode = 0;
  std::uint32_t FAttrFlags = 0;
};

class TMdbTempFileStream : public TMdbStream {
  VELLUM_CLASS(TMdbTempFileStream)
 public:
  static constexpr Int64 kBlockSize = 32768;
  // Source names the stream whose bytes the new file continues; the caller copies them.
  explicit TMdbTempFileStream(TMdbStream* Source = nullptr);
  ~TMdbTempFileStream() override;

  Int64 Read(void* Buffer, Int64 Count) override;
  Int64 Write(const void* Buffer, Int64 Count) override;
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override;
  Int64 Size() override { return FSize; }
  void SetSize(Int64 NewSize) override { InternalSetSize(NewSize); }

  const String& TempFileName() const { return FTempFileName; }
  // Cache state, for tests.
  Int64 CachedBlockNo() const { return FCachedBlockNo; }
  Int64 CachedBytes() const { return FCachedBytes; }
  Int64 WriteCacheBlockNo() const { return FWriteCacheBlockNo; }
  Int64 FileSize();

 private:
  void LoadBlock(Int64 BlockNo);
  void WriteBlock(Int64 BlockNo);
  void ClearCachedBlock();
  void FlushWriteCache();
  void InternalSetSize(Int64 NewSize);

  String FTempFileName;
  std::unique_ptr<TMdbFileStream> FFileStream;
  Byte* FCachedBlock = nullptr;
  Int64 FCachedBlockNo = -1;
  Int64 FCachedBytes = 0;
  Int64 FPosition = 0;
  Int64 FSize = 0;
  Int64 FWriteCacheBlockNo = -1;
};

class TMdbTemporaryStream : public TMdbStream {
  VELLUM_CLASS(TMdbTemporaryStream)
 public:
  TMdbTemporaryStream();
  ~TMdbTemporaryStream() override;

  Int64 Read(void* Buffer, Int64 Count) override;
  Int64 Write(const void* Buffer, Int64 Count) override;
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override;
  Int64 Size() override;
  void SetSize(Int64 NewSize) override { InternalSetSize(NewSize); }

  // Empties the stream and brings it back to memory; a memory buffer of at most KeepCapacity bytes is
  // kept for the next content.
  void Clear(Int64 KeepCapacity);

  std::int32_t MemoryLimit() const { return FMemoryLimit; }
  void SetMemoryLimit(std::int32_t Value) { FMemoryLimit = Value; }
  bool InMemory() const { return FInMemory; }
  TMdbMemoryStream* MemoryStream() const { return FMemoryStream.get(); }
  TMdbTempFileStream* FileStream() const { return FFileStream.get(); }

 private:
  void MoveToFile();
  void InternalSetSize(Int64 NewSize);
  TStream* Inner() const;
  std::int32_t FMemoryLimit = 1048576;
  std::unique_ptr<TMdbMemoryStream> FMemoryStream;
  std::unique_ptr<TMdbTempFileStream> FFileStream;
  bool FInMemory = true;
};

// ---- field routines ----------------------------------------------------------------------------------
void WriteBufferToStream(const void* Buffer, Int64 Count, TStream* Stream, int NativeErrorCode);
void ReadBufferFromStream(void* Buffer, Int64 Count, TStream* Stream, int NativeErrorCode);
void WriteWideStringToStream(std::u16string_view S, TStream* Stream, int NativeErrorCode);
// The byte length is checked against the bytes left before anything is allocated.
void ReadWideStringFromStream(String& S, TStream* Stream, int NativeErrorCode);
void WriteBooleanToStream(bool Value, TStream* Stream, int NativeErrorCode);
bool ReadBooleanFromStream(bool& Value, TStream* Stream, int NativeErrorCode);
void SetStreamPosition(TStream* Stream, int NativeErrorCode, Int64 Position);

template <class T>
void WriteValueToStream(const T& Value, TStream* Stream, int NativeErrorCode) {
  WriteBufferToStream(&Value, sizeof(T), Stream, NativeErrorCode);
}
template <class T>
T ReadValueFromStream(TStream* Stream, int NativeErrorCode) {
  T Value{};
  ReadBufferFromStream(&Value, sizeof(T), Stream, NativeErrorCode);
  return Value;
}

// ---- temporary folder and names ----------------------------------------------------------------------
// The temporary folder with its trailing delimiter; set by InitTempDirectory at start-up.
extern String TempDirectory;
void GetTempDirectory(String& Path);
void InitTempDirectory();
// Creates an empty file with a unique "ACR" name in TempDirectory; raises EMdbException 10104 when the
// folder is missing or not writable.
void MakeTempFileName(String& FileName);

bool FileExistsAnsi(const char* FileName);
bool FileExistsWide(const char16_t* FileName);
bool FileExistsEither(const char* AnsiName, const char16_t* WideName);
bool FileExistsAnsiOrWide(const AnsiString& FileName, const String& UnicodeFileName);
