#include "engines/mdb/storage/MdbLocalBLOBStream.h"

#include "engines/mdb/runtime/MdbExcept.h"

namespace {
constexpr char16_t SReadOnlyStream[] = u"Cannot write to read only stream";
}

TMdbLocalBLOBStream::TMdbLocalBLOBStream(std::unique_ptr<TMdbCompressedBLOBStream> TemporaryStream,
                                         TMdbCursor* Cursor, TMdbBLOBOpenMode OpenMode, std::int32_t FieldNo)
    : FOpenMode(OpenMode), FFieldNo(FieldNo), FCursor(Cursor), FTemporaryStream(std::move(TemporaryStream)) {}

TMdbLocalBLOBStream::~TMdbLocalBLOBStream() {
  TStream* Under = FTemporaryStream ? FTemporaryStream->CompressedStream() : nullptr;
  FTemporaryStream.reset();
  if (!FDoNotFreeCompressedStream) delete Under;
}

Int64 TMdbLocalBLOBStream::Write(const void* Buffer, Int64 Count) {
  if (FOpenMode == bomRead) throw EMdbException(10115, SReadOnlyStream);
  return FTemporaryStream->Write(Buffer, Count);
}

void TMdbLocalBLOBStream::SetSize(Int64 NewSize) {
  if (FOpenMode == bomRead) throw EMdbException(10116, SReadOnlyStream);
  FTemporaryStream->SetSize(NewSize);
}
