// The stream through which a cursor hands out the value of one BLOB field of its current record: a
// thin guard around the field's working copy, a compressed BLOB stream over a temporary stream that
// holds the value in its stored form. Writes and size changes are refused on a stream opened for
// reading (10115, 10116). The inherited modified flag decides whether the value is written back; the
// stream itself never sets it (the dataset component's wrapper does).
#pragma once

#include <cstdint>
#include <memory>

#include "engines/mdb/runtime/MdbBlobStream.h"
#include "engines/mdb/runtime/MdbStreams.h"

class TMdbCursor;

class TMdbLocalBLOBStream : public TMdbStream {
  VELLUM_CLASS(TMdbLocalBLOBStream)
 public:
  // Takes ownership of TemporaryStream and of the stream under it.
  TMdbLocalBLOBStream(std::unique_ptr<TMdbCompressedBLOBStream> TemporaryStream, TMdbCursor* Cursor,
                      TMdbBLOBOpenMode OpenMode, std::int32_t FieldNo);
  ~TMdbLocalBLOBStream() override;

  Int64 Read(void* Buffer, Int64 Count) override { return FTemporaryStream->Read(Buffer, Count); }
  Int64 Write(const void* Buffer, Int64 Count) override;
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override { return FTemporaryStream->Seek(Offset, Origin); }
  Int64 Size() override { return FTemporaryStream->Size(); }
  void SetSize(Int64 NewSize) override;

  TMdbCompressedBLOBStream* TemporaryStream() const { return FTemporaryStream.get(); }
  TMdbBLOBOpenMode FOpenMode;
  TMdbStream* FUserBLOBStream = nullptr;  // the dataset component's wrapper; not owned
  std::int32_t FFieldNo;
  TMdbCursor* FCursor;
  bool FDoNotFreeCompressedStream = false;

 private:
  std::unique_ptr<TMdbCompressedBLOBStream> FTemporaryStream;
};
