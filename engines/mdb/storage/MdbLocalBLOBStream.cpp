#include "engines/mdb/storage/MdbLocalBLOBStream.h"

#include "engines/mdb/runtime/MdbExcept.h"

namespace {
constexpr char16_t SReadOnlyStream[] = u"Cannot write to read only stream";
}

TMdbLocalBLOBStream::TMdbLocalBLOBStream(TMdbCursor* Cursor)
    : FCursor(Cursor), FHolder(std::make_unique<TMdbTemporaryStream>()) {}

TMdbLocalBLOBStream::~TMdbLocalBLOBStream() {
  FTemporaryStream.reset();
  if (FDoNotFreeCompressedStream) (void)FHolder.release();
}

void TMdbLocalBLOBStream::Open(TMdbBLOBOpenMode OpenMode, std::int32_t FieldNo, const TMdbBLOBDescriptor& Descriptor,
                               const void* Stored, Int64 StoredSize) {
  FOpenMode = OpenMode;
  FFieldNo = FieldNo;
  FModified = false;
  FHolder->Clear(kKeptHolderBytes);
  const bool ToCreate = Stored == nullptr;
  if (!ToCreate && StoredSize > 0) {
    WriteBufferToStream(Stored, StoredSize, FHolder.get(), 10112);
    FHolder->SetPosition(0);
  }
  if (FTemporaryStream) FTemporaryStream->Open(FHolder.get(), Descriptor, ToCreate, false);
  else FTemporaryStream = std::make_unique<TMdbCompressedBLOBStream>(FHolder.get(), Descriptor, ToCreate, false);
}

void TMdbLocalBLOBStream::Recycle() {
  FUserBLOBStream = nullptr;
  FModified = false;
  // The working copy keeps pointing at the emptied holder; nothing reads it before the next Open.
  FHolder->Clear(kKeptHolderBytes);
}

Int64 TMdbLocalBLOBStream::Write(const void* Buffer, Int64 Count) {
  if (FOpenMode == bomRead) throw EMdbException(10115, SReadOnlyStream);
  return FTemporaryStream->Write(Buffer, Count);
}

void TMdbLocalBLOBStream::SetSize(Int64 NewSize) {
  if (FOpenMode == bomRead) throw EMdbException(10116, SReadOnlyStream);
  FTemporaryStream->SetSize(NewSize);
}
