#include "platform/store/BlobTable.h"

#include <cstring>
#include <limits>
#include <stdexcept>

#include "platform/rtl/Exceptions.h"
#include "platform/sys/Pages.h"

TBlobTable::~TBlobTable() { Clear(); }

void TBlobTable::Clear() noexcept {
  for (const Handle h : FLarge) delete[] FEntries[h].Data;
  FLarge.clear();
  FChunks.clear();  // each chunk's pages go back to the reserve
  FFreeChunks.clear();
  FCurrentChunk = 0;
  FEntries.Clear();
}

void TBlobTable::FreeLarge(TEntry& E) noexcept {
  delete[] E.Data;
  const Handle moved = FLarge.back();
  FLarge[E.Chunk] = moved;
  FEntries[moved].Chunk = E.Chunk;
  FLarge.pop_back();
}

void TBlobTable::TChunkPages::operator()(Byte* Memory) const noexcept {
  sys::ReturnPages({Memory, kChunkSize, true, Gathered});
}

std::unique_ptr<Byte, TBlobTable::TChunkPages> TBlobTable::NewChunk() {
  const sys::TPages pages = sys::TakePages(kChunkSize);
  if (pages.Memory == nullptr) throw EOutOfMemory(String(msg::SOutOfMemory));
  // Fresh pages are committed in one call rather than one fault each as values are copied in.
  if (!pages.Dirty) sys::PopulatePages(pages.Memory, pages.Size);
  return std::unique_ptr<Byte, TChunkPages>(static_cast<Byte*>(pages.Memory), TChunkPages{pages.Gathered});
}

Byte* TBlobTable::Carve(std::size_t Length, std::uint32_t& ChunkNumber) {
  if (FCurrentChunk == 0 || FChunks[FCurrentChunk - 1].Used + Length > kChunkSize) {
    // The chunk being filled stops taking values; it goes when its last value dies.
    if (FCurrentChunk != 0 && FChunks[FCurrentChunk - 1].Live == 0) {
      FChunks[FCurrentChunk - 1].Memory.reset();
      FFreeChunks.push_back(FCurrentChunk);
    }
    std::uint32_t number;
    if (!FFreeChunks.empty()) {
      number = FFreeChunks.back();
      FFreeChunks.pop_back();
    } else {
      FChunks.emplace_back();
      number = static_cast<std::uint32_t>(FChunks.size());
    }
    TChunk& c = FChunks[number - 1];
    try {
      c.Memory = NewChunk();
    } catch (...) {
      FFreeChunks.push_back(number);
      FCurrentChunk = 0;
      throw;
    }
    c.Used = 0;
    c.Live = 0;
    FCurrentChunk = number;
  }
  TChunk& c = FChunks[FCurrentChunk - 1];
  Byte* p = c.Memory.get() + c.Used;
  c.Used += Length;
  ++c.Live;
  ChunkNumber = FCurrentChunk;
  return p;
}

TBlobTable::Handle TBlobTable::Add(const Byte* Data, std::size_t Length) {
  if (Length == 0) return 0;
  if (Length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw EDatabaseError(std::string_view("Blob value too large"));
  Handle h;
  try {
    h = FEntries.Add();
  } catch (const std::length_error&) {
    throw EOutOfMemory(String(msg::SOutOfMemory));
  }
  TEntry& e = FEntries[h];
  try {
    if (Length <= kSmallValue) {
      e.Data = Carve(Length, e.Chunk);
    } else {
      FLarge.reserve(FLarge.size() + 1);
      e.Data = new Byte[Length];
      e.Chunk = static_cast<std::uint32_t>(FLarge.size());
      FLarge.push_back(h);
    }
  } catch (...) {
    FEntries.Free(h);
    throw;
  }
  std::memcpy(e.Data, Data, Length);
  e.Length = static_cast<std::uint32_t>(Length);
  e.RefCount = 1;
  return h;
}

void TBlobTable::Release(Handle H) {
  if (H == 0) return;
  TEntry& e = FEntries[H];
  if (--e.RefCount != 0) return;
  if (IsLarge(e)) {
    FreeLarge(e);
  } else {
    TChunk& c = FChunks[e.Chunk - 1];
    if (--c.Live == 0) {
      if (e.Chunk == FCurrentChunk) {
        c.Used = 0;  // the chunk being filled starts over
      } else {
        c.Memory.reset();
        FFreeChunks.push_back(e.Chunk);
      }
    }
  }
  e = TEntry{};
  FEntries.Free(H);
}

std::span<const Byte> TBlobTable::Bytes(Handle H) const {
  if (!FEntries.Contains(H)) return {};
  const TEntry& e = FEntries[H];
  return {e.Data, e.Length};
}

std::uint32_t TBlobTable::RefCount(Handle H) const { return FEntries.Contains(H) ? FEntries[H].RefCount : 0; }
