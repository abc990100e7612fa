// Byte streams: the abstract TStream with the platform's buffer helpers, and the memory streams every
// engine saves to and loads from. TFileStream lives in Files.h.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/classes/Classes.h"

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream : public TObject {
  VELLUM_CLASS(TStream)
 public:
  // Read and Write move what they can and say how much; ReadBuffer and WriteBuffer insist on all of it.
  virtual Int64 Read(void* Buffer, Int64 Count) = 0;
  virtual Int64 Write(const void* Buffer, Int64 Count) = 0;
  virtual Int64 Seek(Int64 Offset, TSeekOrigin Origin) = 0;

  Int64 Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(Int64 Pos) { Seek(Pos, TSeekOrigin::soBeginning); }
  virtual Int64 Size();
  virtual void SetSize(Int64 NewSize);

  // Raise EReadError "Stream read error" / EWriteError "Stream write error" on a short transfer.
  void ReadBuffer(void* Buffer, Int64 Count);
  void WriteBuffer(const void* Buffer, Int64 Count);
  // Count 0 copies the whole of Source from its start; returns the bytes copied.
  Int64 CopyFrom(TStream* Source, Int64 Count);

  // Component streaming (ComponentStreaming.h): the signature and Instance with its properties and
  // children. ReadComponent(nullptr) makes the root from the class registry and hands it to the caller.
  void WriteComponent(TComponent* Instance);
  void WriteDescendent(TComponent* Instance, TComponent* Ancestor);
  TComponent* ReadComponent(TComponent* Instance);

  template <class T>
  void WriteValue(const T& v) { WriteBuffer(&v, sizeof(T)); }
  template <class T>
  T ReadValue() { T v; ReadBuffer(&v, sizeof(T)); return v; }
};

// A stream over one growable block. Memory() stays valid until the next write or size change.
class TCustomMemoryStream : public TStream {
  VELLUM_CLASS(TCustomMemoryStream)
 public:
  Int64 Read(void* Buffer, Int64 Count) override;
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override;
  Int64 Size() override { return FSize; }
  void* Memory() const { return FMemory; }
  void SaveToStream(TStream* Stream);
  void SaveToFile(const String& FileName);

 protected:
  void SetPointer(void* Ptr, Int64 Size);
  Int64 FPosition = 0;

 private:
  void* FMemory = nullptr;
  Int64 FSize = 0;
};

class TMemoryStream : public TCustomMemoryStream {
  VELLUM_CLASS(TMemoryStream)
 public:
  TMemoryStream() = default;
  ~TMemoryStream() override;

  Int64 Write(const void* Buffer, Int64 Count) override;
  void SetSize(Int64 NewSize) override;
  void Clear();
  Int64 Capacity() const { return FCapacity; }
  void SetCapacity(Int64 NewCapacity);
  void LoadFromStream(TStream* Stream);
  void LoadFromFile(const String& FileName);

 protected:
  // The reallocation hook: returns the block for NewCapacity bytes (nullptr frees it when 0), growing
  // NewCapacity as it likes. Raises EOutOfMemory when it cannot.
  virtual void* Realloc(Int64& NewCapacity);

 private:
  // A block of kPagedBlock bytes or more is whole pages (platform/sys/Pages.h), sized in steps of
  // kPagedStep: emptied and filled again (a save into the same stream, a load through a stream made
  // for it) it comes back from the page reserve instead of being faulted in page by page.
  static constexpr Int64 kPagedBlock = Int64{4} << 20;
  static constexpr Int64 kPagedStep = Int64{2} << 20;
  void FreeBlock();

  Int64 FCapacity = 0;
  std::size_t FPagedSize = 0;  // the size of the page range holding the block, 0 for a heap block
  bool FPagedGathered = false;  // the range was gathered from several (sys::TPages::Gathered)
};

// A memory stream over a byte vector it owns; Bytes() shows the written bytes.
class TBytesStream : public TMemoryStream {
  VELLUM_CLASS(TBytesStream)
 public:
  TBytesStream() = default;
  explicit TBytesStream(const std::vector<Byte>& Bytes);
  std::vector<Byte> Bytes() const;
};
