// Bytes in and out of the engines' stream formats.
//
// TByteReader<TFail> is a bounds-checked cursor over bytes in memory: every Take, Get and length prefix
// is checked against what remains before anything is read, and a shortfall calls TFail::Fail(What),
// which must raise (each format raises its own error). What names the part being read ("a row", ...).
//
// TStreamByteReader<TFail> makes the same checked reads from a stream that is read in blocks of
// kBlockSize bytes: a file is read through one block's memory, not into a buffer of its whole size. The
// bytes Take hands out stay good until the next read. What remains is counted from the stream's size
// when the reader is made; a stream that ends before that is a shortfall too.
//
// TByteWriter collects output in a block of kBlockSize bytes and hands only full blocks to the stream,
// so a save never builds the whole file in memory (each new page of such a buffer costs a fault, the
// cost that dominates a save).
//
// WholeStreamBytes gives a stream's bytes from a position to its end: in place for a memory stream,
// else read into a holder.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "platform/classes/Streams.h"
#include "platform/rtl/String.h"

// The typed reads every checked reader offers, over its own Take and Remaining.
template <class TReader, class TFail>
class TTypedByteReads {
 public:
  template <class T>
  T Get(const char* What = "the data") {
    T v;
    std::memcpy(&v, Self().Take(sizeof v, What), sizeof v);
    return v;
  }
  // A signed 32-bit length prefix that must be neither negative nor longer than what remains.
  std::size_t Length32(const char* What = "the data") {
    const auto n = Get<std::int32_t>(What);
    if (n < 0 || static_cast<std::size_t>(n) > Self().Remaining()) TFail::Fail(What);
    return static_cast<std::size_t>(n);
  }

 private:
  TReader& Self() { return static_cast<TReader&>(*this); }
};

template <class TFail>
class TByteReader : public TTypedByteReads<TByteReader<TFail>, TFail> {
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

 private:
  std::span<const Byte> FData;
  std::size_t FPos;
};

template <class TFail>
class TStreamByteReader : public TTypedByteReads<TStreamByteReader<TFail>, TFail> {
 public:
  static constexpr std::size_t kBlockSize = 1 << 20;

  // Reads from From (a position of the stream) to the stream's end.
  TStreamByteReader(TStream& Stream, Int64 From) : FStream(Stream) {
    const Int64 size = Stream.Size();
    FOffset = From < 0 ? 0 : std::min(From, size);
    FLeft = static_cast<std::size_t>(size - FOffset);
    Stream.SetPosition(FOffset);
  }
  TStreamByteReader(const TStreamByteReader&) = delete;
  TStreamByteReader& operator=(const TStreamByteReader&) = delete;

  std::size_t Remaining() const { return Buffered() + FLeft; }
  std::size_t Position() const { return static_cast<std::size_t>(FOffset) + static_cast<std::size_t>(FCur - FBase); }
  bool AtEnd() const { return FCur == FEnd && FLeft == 0; }

  const Byte* Take(std::size_t Count, const char* What = "the data") {
    if (Count > Buffered()) Fill(Count, What);
    const Byte* p = FCur;
    FCur += Count;
    return p;
  }

 private:
  std::size_t Buffered() const { return static_cast<std::size_t>(FEnd - FCur); }
  // Makes Count bytes contiguous at FCur: the unread tail moves to the block's front and the block is
  // filled up from the stream (grown first when Count is more than a block).
  void Fill(std::size_t Count, const char* What) {
    if (Count > Remaining()) TFail::Fail(What);
    const std::size_t kept = Buffered();
    const std::size_t consumed = static_cast<std::size_t>(FCur - FBase);
    if (FBlock.size() < std::max(Count, kBlockSize)) {
      std::vector<Byte> bigger(std::max(Count, kBlockSize));
      if (kept != 0) std::memcpy(bigger.data(), FCur, kept);
      FBlock.swap(bigger);
    } else if (kept != 0) {
      std::memmove(FBlock.data(), FCur, kept);
    }
    FOffset += static_cast<Int64>(consumed);
    FBase = FCur = FBlock.data();
    const std::size_t want = std::min(FBlock.size() - kept, FLeft);
    std::size_t got = 0;
    while (got < want) {
      const Int64 n = FStream.Read(FBlock.data() + kept + got, static_cast<Int64>(want - got));
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    FEnd = FCur + kept + got;
    // A stream that ends early has nothing more to give, whatever its size said.
    FLeft = got < want ? 0 : FLeft - want;
    if (Count > Buffered()) TFail::Fail(What);
  }

  TStream& FStream;
  static constexpr Byte kNothing[1] = {};
  std::vector<Byte> FBlock;
  const Byte* FBase = kNothing;  // FBlock's bytes once read into
  const Byte* FCur = kNothing;
  const Byte* FEnd = kNothing;
  Int64 FOffset = 0;       // stream position of FBlock's first byte
  std::size_t FLeft = 0;   // bytes of the stream not read into the block yet
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
