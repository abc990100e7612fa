#include "engines/virttable/VtHeap.h"

#include <cstring>

#include "platform/rtl/Exceptions.h"

namespace vt {

namespace {
[[noreturn]] void Fail(const char16_t* Text) { throw Exception(String(Text)); }

std::int32_t LoadInt(const Byte* p) {
  std::int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void StoreInt(Byte* p, std::int32_t v) { std::memcpy(p, &v, 4); }
Word LoadWord(const Byte* p) {
  Word v;
  std::memcpy(&v, p, 2);
  return v;
}
void StoreWord(Byte* p, Word v) { std::memcpy(p, &v, 2); }
}  // namespace

Byte* TStringHeap::Header(std::uint32_t Handle) {
  if (Handle & kLargeFlag) {
    const std::uint32_t n = Handle & ~kLargeFlag;
    if (n >= FLarge.size() || !FLarge[n]) Fail(u"Assertion failure");
    return FLarge[n].get();
  }
  const std::uint32_t block = (Handle >> 14) - 1;
  const std::uint32_t offset = Handle & 0x3FFF;
  if (block >= FBlocks.size() || offset < kChunkHeaderSize + 4 || offset >= kHeapBlockSize) Fail(u"Assertion failure");
  return FBlocks[block].get() + offset - kChunkHeaderSize;
}

Byte* TStringHeap::Data(std::uint32_t Handle) { return Handle ? Header(Handle) + kChunkHeaderSize : nullptr; }

int TStringHeap::Capacity(std::uint32_t Handle) const {
  return LoadInt(const_cast<TStringHeap*>(this)->Header(Handle));
}

Word TStringHeap::RefWord(std::uint32_t Handle) const {
  return LoadWord(const_cast<TStringHeap*>(this)->Header(Handle) + 4);
}

void TStringHeap::NewBlock() {
  if (FBlocks.size() >= (1u << 17) - 1) throw EOutOfMemory(String(msg::SOutOfMemory));
  auto block = std::make_unique<Byte[]>(kHeapBlockSize);
  // The first 4 bytes are the block's link word in the classic layout; kept so offsets match it.
  std::memset(block.get(), 0, 4);
  FBlocks.push_back(std::move(block));
  FFree = kHeapDataSize;
}

std::uint32_t TStringHeap::Carve(int Capacity) {
  if (FBlocks.empty()) NewBlock();
  if (FFree < Capacity + kChunkHeaderSize) {
    // The rest of the block becomes a free buffer when it can hold one of the smallest class; a
    // remainder under 14 bytes would make a buffer of capacity 0, which no class can take back.
    if (FFree >= kChunkHeaderSize + 8) {
      const int cap = (FFree - kChunkHeaderSize) / 8 * 8;
      const std::uint32_t h = Carve(cap);
      Byte* hdr = Header(h);
      StoreWord(hdr + 4, 100);
      StoreInt(hdr + kChunkHeaderSize, static_cast<std::int32_t>(FSmallTab[cap / 8]));
      FSmallTab[cap / 8] = h;
    }
    NewBlock();
  }
  const int start = 4 + (kHeapDataSize - FFree);
  Byte* hdr = FBlocks.back().get() + start;
  int cap = Capacity;
  FFree -= cap + kChunkHeaderSize;
  if (FFree < kChunkHeaderSize + 8) {
    const int extra = FFree / 8 * 8;
    if (cap + extra <= kMaxSmallSize) cap += extra;
    FFree = 0;
  }
  StoreInt(hdr, cap);
  StoreWord(hdr + 4, 101);
  const std::uint32_t block = static_cast<std::uint32_t>(FBlocks.size());
  return (block << 14) | static_cast<std::uint32_t>(start + kChunkHeaderSize);
}

std::uint32_t TStringHeap::NewBuf(int Size) {
  if (Size <= 0) return 0;
  FEmpty = false;
  const int cls = (Size + 7) / 8;
  if (cls <= kSmallClasses) {
    if (const std::uint32_t h = FSmallTab[cls]) {
      Byte* hdr = Header(h);
      FSmallTab[cls] = static_cast<std::uint32_t>(LoadInt(hdr + kChunkHeaderSize));
      StoreWord(hdr + 4, 101);
      return h;
    }
    return Carve(cls * 8);
  }
  auto buf = std::make_unique<Byte[]>(static_cast<std::size_t>(Size) + kChunkHeaderSize);
  StoreInt(buf.get(), Size);
  StoreWord(buf.get() + 4, 101);
  std::uint32_t n;
  if (!FFreeLarge.empty()) {
    n = FFreeLarge.back();
    FFreeLarge.pop_back();
    FLarge[n] = std::move(buf);
  } else {
    n = static_cast<std::uint32_t>(FLarge.size());
    FLarge.push_back(std::move(buf));
  }
  FSysGetMem = true;
  return kLargeFlag | n;
}

std::uint32_t TStringHeap::AllocStr(const char* Str, bool Trim, int Len) {
  if (!Str) return 0;
  if (Len < 0) Len = static_cast<int>(std::strlen(Str));
  if (Trim)
    while (Len > 0 && Str[Len - 1] == ' ') --Len;
  const std::uint32_t h = NewBuf(Len + 1);
  Byte* d = Data(h);
  std::memcpy(d, Str, static_cast<std::size_t>(Len));
  d[Len] = 0;
  return h;
}

std::uint32_t TStringHeap::AllocWideStr(const char16_t* Str, bool Trim, int Len) {
  if (!Str) return 0;
  if (Len < 0) {
    Len = 0;
    while (Str[Len]) ++Len;
  }
  if (Trim)
    while (Len > 0 && Str[Len - 1] == u' ') --Len;
  const std::uint32_t h = NewBuf(2 * Len + 2);
  Byte* d = Data(h);
  std::memcpy(d, Str, 2 * static_cast<std::size_t>(Len));
  d[2 * Len] = 0;
  d[2 * Len + 1] = 0;
  return h;
}

void TStringHeap::AddRef(std::uint32_t Handle) {
  if (!Handle) return;
  Byte* hdr = Header(Handle);
  const Word w = LoadWord(hdr + 4);
  if (w <= 100) Fail(u"AddRefStr failed");
  StoreWord(hdr + 4, static_cast<Word>(w + 1));
}

void TStringHeap::DisposeBuf(std::uint32_t Handle) {
  if (!Handle) return;
  Byte* hdr = Header(Handle);
  const Word w = LoadWord(hdr + 4);
  if (w <= 100) Fail(u"DisposeBuf failed");
  if (w > 101) {
    StoreWord(hdr + 4, static_cast<Word>(w - 1));
    return;
  }
  StoreWord(hdr + 4, 100);
  if (Handle & kLargeFlag) {
    const std::uint32_t n = Handle & ~kLargeFlag;
    FLarge[n].reset();
    FFreeLarge.push_back(n);
    return;
  }
  const int cls = (LoadInt(hdr) + 7) / 8;
  if (cls < 1 || cls > kSmallClasses) Fail(u"SmallTab in DisposeBuf failed");
  StoreInt(hdr + kChunkHeaderSize, static_cast<std::int32_t>(FSmallTab[cls]));
  FSmallTab[cls] = Handle;
}

void TStringHeap::Clear() {
  if (FEmpty) return;
  FBlocks.clear();
  FLarge.clear();
  FFreeLarge.clear();
  FSmallTab.fill(0);
  FFree = kHeapDataSize;
  FEmpty = true;
  FSysGetMem = false;
}

}  // namespace vt
