// The stream through which a cursor hands out the value of one BLOB field of its current record: a
// thin guard around the field's working copy, a compressed BLOB stream over a temporary stream (the
// holder) that keeps the value in its stored form. Writes and size changes are refused on a stream
// opened for reading (10115, 10116). The inherited modified flag decides whether the value is written
// back; the stream itself never sets it (the dataset component's wrapper does).
//
// A stream is reusable: its owner may Recycle it once released and Open it on the next value; the
// holder keeps a small buffer and the working copy its header list, so a BLOB posted per record costs
// no allocation beyond its stored block.
#pragma once

#include <cstdint>
#include <memory>

#include "engines/mdb/runtime/MdbBlobStream.h"
#include "engines/mdb/runtime/MdbStreams.h"

class TMdbCursor;

class TMdbLocalBLOBStream : public TMdbStream {
  VELLUM_CLASS(TMdbLocalBLOBStream)
 public:
  // Holder memory up to this size is kept by Recycle.
  static constexpr Int64 kKeptHolderBytes = 65536;

  explicit TMdbLocalBLOBStream(TMdbCursor* Cursor);
  ~TMdbLocalBLOBStream() override;

  // Sets the stream on a value of field FieldNo: Stored/StoredSize are the stored form's bytes (Stored
  // nil: a new, empty value), Descriptor describes them; the position is 0 and nothing is modified.
  void Open(TMdbBLOBOpenMode OpenMode, std::int32_t FieldNo, const TMdbBLOBDescriptor& Descriptor, const void* Stored,
            Int64 StoredSize);
  // Forgets the value and the links of its last use, keeping small buffers for the next Open.
  void Recycle();

  Int64 Read(void* Buffer, Int64 Count) override { return FTemporaryStream->Read(Buffer, Count); }
  Int64 Write(const void* Buffer, Int64 Count) override;
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override { return FTemporaryStream->Seek(Offset, Origin); }
  Int64 Size() override { return FTemporaryStream->Size(); }
  void SetSize(Int64 NewSize) override;

  // The working copy (opened by Open) and the holder of the stored form under it.
  TMdbCompressedBLOBStream* TemporaryStream() const { return FTemporaryStream.get(); }
  TMdbTemporaryStream* Holder() const { return FHolder.get(); }

  TMdbBLOBOpenMode FOpenMode = bomRead;
  TMdbStream* FUserBLOBStream = nullptr;  // the dataset component's wrapper; not owned
  std::int32_t FFieldNo = -1;
  TMdbCursor* FCursor;
  // Set: the holder outlives this stream (someone else took it); it is not freed here.
  bool FDoNotFreeCompressedStream = false;

 private:
  std::unique_ptr<TMdbTemporaryStream> FHolder;
  std::unique_ptr<TMdbCompressedBLOBStream> FTemporaryStream;
};
