// Bytes in and out of the engines' stream formats.
//
// TByteReader<TFail> is a bounds-checked cursor over bytes in memory: every Take, Get and length prefix
// is checked against what remains before anything is read, and a shortfall calls TFail::Fail(What),
// which must raise (each format raises its own error). What names the part being read ("a row", ...).
//
// TByteWriter collects output in a block of kBlockSize bytes and hands only full blocks to the stream,
// so a save never builds the whole file in memory (each new page of such a buffer costs a fault, the
// cost that dominates a save).
//
// WholeStreamBytes gives a stream's bytes from a position to its end: in place for a memory stream,
// else read into a holder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "platform/classes/Streams.h"
#include "platform/rtl/String.h"

template <class TFail>
class TByteReader {
 public:
  explicit TByteReader(std::span<const Byte> Data, std::size_t Position = 0)
      : FData(Data), FPos(Position <= Data.size() ? Position : Data.size()) {}

  std::size_t Remaining() const { return FData.size() - FPos; }
  std::size_t Position() const { return FPos; }
  bool AtEnd() const { return FPos >= FData.size(); }

  const Byte* Take(std::size_t Count, const char* What = "the data") {
    if (Count > Remaining()) TFail::Fail(What);
    const Byte* p = FData.data() + FPos;
    FPos += Count;
    return p;
  }
  template <class T>
  T Get(const char* What = "the data") {
    T v;
    std::memcpy(&v, Take(sizeof v, What), sizeof v);
    return v;
  }
  // A signed 32-bit length prefix that must be neither negative nor longer than what remains.
  std::size_t Length32(const char* What = "the data") {
    const auto n = Get<std::int32_t>(What);
    if (n < 0 || static_cast<std::size_t>(n) > Remaining()) TFail::Fail(What);
    return static_cast<std::size_t>(n);
  }

 private:
  std::span<const Byte> FData;
  std::size_t FPos;
};

class TByteWriter {
 public:
  static constexpr std::size_t kBlockSize = 256 * 1024;

  explicit TByteWriter(TStream& Stream) : FStream(Stream), FBlock(kBlockSize) {}
  TByteWriter(const TByteWriter&) = delete;
  TByteWriter& operator=(const TByteWriter&) = delete;

  void Put(const void* Data, std::size_t Size);
  template <class T>
  void PutValue(T Value) {
    Put(&Value, sizeof Value);
  }
  // Count contiguous bytes to write into (the block is flushed first when they do not fit, and grows
  // when Count is more than a block); Commit(end) then takes the bytes up to end.
  Byte* Room(std::size_t Count);
  void Commit(const Byte* End) { FUsed = static_cast<std::size_t>(End - FBlock.data()); }
  // Writes what the block holds; call once at the end (a writer dropped without it loses the tail).
  void Flush();

 private:
  TStream& FStream;
  std::vector<Byte> FBlock;
  std::size_t FUsed = 0;
};

std::span<const Byte> WholeStreamBytes(TStream& Stream, Int64 From, std::vector<Byte>& Holder);
