#include "platform/classes/Streams.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "platform/classes/Files.h"
#include "platform/sys/Pages.h"

Int64 TStream::Size() {
  const Int64 pos = Seek(0, TSeekOrigin::soCurrent);
  const Int64 end = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return end;
}

void TStream::SetSize(Int64) { throw EStreamError(u"Stream size cannot be changed"); }

void TStream::ReadBuffer(void* Buffer, Int64 Count) {
  if (Count < 0 || (Count != 0 && Read(Buffer, Count) != Count)) throw EReadError(msg::SReadError);
}

void TStream::WriteBuffer(const void* Buffer, Int64 Count) {
  if (Count < 0 || (Count != 0 && Write(Buffer, Count) != Count)) throw EWriteError(msg::SWriteError);
}

Int64 TStream::CopyFrom(TStream* Source, Int64 Count) {
  if (Source == nullptr || Count < 0) throw EReadError(msg::SReadError);
  if (Count == 0) {
    Source->SetPosition(0);
    Count = Source->Size();
  }
  constexpr Int64 kChunk = 64 * 1024;
  std::vector<Byte> buffer(static_cast<size_t>(std::min(Count, kChunk)));
  Int64 left = Count;
  while (left > 0) {
    const Int64 n = std::min(left, kChunk);
    Source->ReadBuffer(buffer.data(), n);
    WriteBuffer(buffer.data(), n);
    left -= n;
  }
  return Count;
}

Int64 TCustomMemoryStream::Read(void* Buffer, Int64 Count) {
  if (FPosition < 0 || Count <= 0) return 0;
  const Int64 n = std::min(Count, FSize - FPosition);
  if (n <= 0) return 0;
  std::memcpy(Buffer, static_cast<const Byte*>(FMemory) + FPosition, static_cast<size_t>(n));
  FPosition += n;
  return n;
}

Int64 TCustomMemoryStream::Seek(Int64 Offset, TSeekOrigin Origin) {
  Int64 base = 0;
  switch (Origin) {
    case TSeekOrigin::soBeginning: base = 0; break;
    case TSeekOrigin::soCurrent: base = FPosition; break;
    case TSeekOrigin::soEnd: base = FSize; break;
  }
  // A position before the start, or one that does not fit an Int64, is refused rather than kept: a
  // later Write would turn it into an address.
  Int64 target = 0;
  if (__builtin_add_overflow(base, Offset, &target) || target < 0) throw EStreamError(u"Invalid stream position");
  FPosition = target;
  return FPosition;
}

void TCustomMemoryStream::SetPointer(void* Ptr, Int64 Size) {
  FMemory = Ptr;
  FSize = Size;
}

void TCustomMemoryStream::SaveToStream(TStream* Stream) {
  if (FSize != 0) Stream->WriteBuffer(FMemory, FSize);
}

void TCustomMemoryStream::SaveToFile(const String& FileName) {
  TFileStream file(FileName, fmCreate);
  SaveToStream(&file);
}

TMemoryStream::~TMemoryStream() { FreeBlock(); }

void TMemoryStream::FreeBlock() {
  if (FPagedSize != 0) sys::ReturnPages({Memory(), FPagedSize, true, FPagedGathered});
  else std::free(Memory());
  FPagedSize = 0;
  FPagedGathered = false;
}

void* TMemoryStream::Realloc(Int64& NewCapacity) {
  constexpr Int64 kDelta = 8192;
  if (NewCapacity < 0 || NewCapacity > INT64_MAX - kPagedStep) throw EOutOfMemory(msg::SOutOfMemory);
  if (NewCapacity > 0 && NewCapacity != Size()) NewCapacity = (NewCapacity + (kDelta - 1)) & ~(kDelta - 1);
  if (NewCapacity == FCapacity) return Memory();
  if (NewCapacity == 0) {
    FreeBlock();
    return nullptr;
  }
  if (NewCapacity >= kPagedBlock) {
    // Large: a page range, kept while it is big enough.
    if (FPagedSize >= static_cast<std::size_t>(NewCapacity)) {
      NewCapacity = static_cast<Int64>(FPagedSize);
      return Memory();
    }
    const Int64 wanted = (NewCapacity + (kPagedStep - 1)) / kPagedStep * kPagedStep;
    if (FPagedSize != 0) {
      // Growing: the pages move, the bytes are not copied. A block gathered from several ranges cannot
      // grow so; it is copied below like a heap block.
      const sys::TPages grown =
          sys::ResizePages({Memory(), FPagedSize, true, FPagedGathered}, static_cast<std::size_t>(wanted));
      if (grown.Memory != nullptr) {
        FPagedSize = grown.Size;
        NewCapacity = static_cast<Int64>(grown.Size);
        return grown.Memory;
      }
    }
    // A block made at once (the stream was empty: a writer sized it) may be gathered from ranges given
    // back earlier; one that grows step by step is not, since a gathered block grows only by copying.
    const sys::TPages pages = sys::TakePages(static_cast<std::size_t>(wanted), FCapacity == 0);
    if (pages.Memory == nullptr) throw EOutOfMemory(msg::SOutOfMemory);
    // The whole old block moves, not only its first Size() bytes: like realloc, a resize keeps what a
    // writer already put into the capacity past the size.
    const Int64 keep = std::min(FCapacity, NewCapacity);
    if (keep > 0) std::memcpy(pages.Memory, Memory(), static_cast<std::size_t>(keep));
    FreeBlock();
    FPagedSize = pages.Size;
    FPagedGathered = pages.Gathered;
    NewCapacity = static_cast<Int64>(pages.Size);
    return pages.Memory;
  }
  if (FPagedSize != 0) {
    // Shrunk below the paged sizes: back to the heap.
    void* p = std::malloc(static_cast<std::size_t>(NewCapacity));
    if (p == nullptr) throw EOutOfMemory(msg::SOutOfMemory);
    const Int64 keep = std::min(FCapacity, NewCapacity);
    if (keep > 0) std::memcpy(p, Memory(), static_cast<std::size_t>(keep));
    FreeBlock();
    return p;
  }
  void* p = std::realloc(Memory(), static_cast<size_t>(NewCapacity));
  if (p == nullptr) throw EOutOfMemory(msg::SOutOfMemory);
  return p;
}

void TMemoryStream::SetCapacity(Int64 NewCapacity) {
  if (NewCapacity < 0) throw EStreamError(u"Invalid stream size");
  void* p = Realloc(NewCapacity);
  SetPointer(p, std::min(Size(), NewCapacity));
  FCapacity = NewCapacity;
}

void TMemoryStream::SetSize(Int64 NewSize) {
  if (NewSize < 0) throw EStreamError(u"Invalid stream size");
  const Int64 old_position = FPosition;
  SetCapacity(NewSize);
  SetPointer(Memory(), NewSize);
  if (old_position > NewSize) Seek(0, TSeekOrigin::soEnd);
}

void TMemoryStream::Clear() {
  SetCapacity(0);
  FPosition = 0;
}

Int64 TMemoryStream::Write(const void* Buffer, Int64 Count) {
  if (FPosition < 0 || Count <= 0) return 0;
  Int64 end = 0;
  if (__builtin_add_overflow(FPosition, Count, &end)) return 0;
  if (end > Size()) {
    if (end > FCapacity) {
      // Grow geometrically so that a stream written value by value stays linear.
      Int64 want = std::max(end, FCapacity > INT64_MAX / 2 ? end : FCapacity + FCapacity / 2);
      void* p = Realloc(want);
      SetPointer(p, Size());
      FCapacity = want;
    }
    SetPointer(Memory(), end);
  }
  std::memcpy(static_cast<Byte*>(Memory()) + FPosition, Buffer, static_cast<size_t>(Count));
  FPosition = end;
  return Count;
}

void TMemoryStream::LoadFromStream(TStream* Stream) {
  if (Stream == this) return;
  Stream->SetPosition(0);
  const Int64 count = Stream->Size();
  SetSize(count);
  FPosition = 0;
  if (count != 0) Stream->ReadBuffer(Memory(), count);
}

void TMemoryStream::LoadFromFile(const String& FileName) {
  TFileStream file(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(&file);
}

TBytesStream::TBytesStream(const std::vector<Byte>& Bytes) {
  if (!Bytes.empty()) WriteBuffer(Bytes.data(), static_cast<Int64>(Bytes.size()));
  FPosition = 0;
}

std::vector<Byte> TBytesStream::Bytes() const {
  const auto* p = static_cast<const Byte*>(Memory());
  return std::vector<Byte>(p, p + const_cast<TBytesStream*>(this)->Size());
}
