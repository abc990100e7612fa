#include "platform/classes/Streams.h"

#include "platform/sys/Pages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<Byte>;

TEST(Streams, ShortReadsAndWritesRaise) {
  struct Case {
    Int64 size;
    Int64 position;
    Int64 count;
    bool fails;
  };
  const Case cases[] = {
      {10, 0, 10, false}, {10, 0, 11, true}, {10, 5, 5, false}, {10, 5, 6, true},
      {10, 10, 0, false}, {10, 10, 1, true}, {0, 0, 1, true},   {10, 0, -1, true},
  };
  for (const Case& c : cases) {
    TMemoryStream stream;
    stream.SetSize(c.size);
    stream.SetPosition(c.position);
    Byte buffer[32] = {};
    if (c.fails) {
      try {
        stream.ReadBuffer(buffer, c.count);
        ADD_FAILURE() << c.count;
      } catch (const EReadError& e) {
        EXPECT_EQ(e.Message(), u"Stream read error");
      }
    } else {
      EXPECT_NO_THROW(stream.ReadBuffer(buffer, c.count));
    }
  }
  TMemoryStream stream;
  EXPECT_THROW(stream.WriteBuffer("x", -1), EWriteError);
}

TEST(Streams, MemoryStreamGrowsClearsAndKeepsCapacity) {
  TMemoryStream stream;
  EXPECT_EQ(stream.Capacity(), 0);
  for (int i = 0; i < 100000; ++i) stream.WriteValue<std::int32_t>(i);
  EXPECT_EQ(stream.Size(), 400000);
  EXPECT_GE(stream.Capacity(), stream.Size());
  stream.SetPosition(4 * 99999);
  EXPECT_EQ(stream.ReadValue<std::int32_t>(), 99999);

  stream.SetSize(8);
  EXPECT_EQ(stream.Size(), 8);
  EXPECT_EQ(stream.Position(), 8);  // the position was past the new end
  stream.SetPosition(4);
  EXPECT_EQ(stream.ReadValue<std::int32_t>(), 1);

  stream.Clear();
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_EQ(stream.Capacity(), 0);
  EXPECT_EQ(stream.Position(), 0);
  EXPECT_EQ(stream.Memory(), nullptr);

  stream.SetCapacity(100);
  EXPECT_GE(stream.Capacity(), 100);
  EXPECT_EQ(stream.Size(), 0);
  EXPECT_THROW(stream.SetSize(-1), EStreamError);
}

TEST(Streams, WritingPastTheEndFillsTheGap) {
  TMemoryStream stream;
  stream.SetPosition(4);
  stream.WriteValue<Byte>(7);
  EXPECT_EQ(stream.Size(), 5);
}

TEST(Streams, PositionsBeforeTheStartOrBeyondInt64AreRefused) {
  TMemoryStream stream;
  stream.SetSize(10);
  EXPECT_THROW(stream.Seek(-1, TSeekOrigin::soBeginning), EStreamError);
  EXPECT_THROW(stream.Seek(-11, TSeekOrigin::soEnd), EStreamError);
  stream.SetPosition(5);
  EXPECT_THROW(stream.Seek(INT64_MAX, TSeekOrigin::soCurrent), EStreamError);
  EXPECT_EQ(stream.Position(), 5);
  stream.SetPosition(INT64_MAX);
  EXPECT_EQ(stream.Write("x", 1), 0);  // the end would not fit an Int64
}

class CountingStream : public TMemoryStream {
 public:
  int Reallocs = 0;

 protected:
  void* Realloc(Int64& NewCapacity) override {
    ++Reallocs;
    return TMemoryStream::Realloc(NewCapacity);
  }
};

TEST(Streams, ReallocationHookSeesEveryResize) {
  CountingStream stream;
  stream.SetSize(10);
  stream.SetSize(20000);
  stream.Clear();
  EXPECT_EQ(stream.Reallocs, 3);
}

TEST(Streams, CopyFromWithCountZeroCopiesTheWholeSourceFromItsStart) {
  TBytesStream source(Bytes{1, 2, 3, 4, 5});
  source.SetPosition(3);
  TBytesStream target;
  EXPECT_EQ(target.CopyFrom(&source, 0), 5);
  EXPECT_EQ(target.Bytes(), (Bytes{1, 2, 3, 4, 5}));

  source.SetPosition(1);
  TBytesStream part;
  EXPECT_EQ(part.CopyFrom(&source, 2), 2);
  EXPECT_EQ(part.Bytes(), (Bytes{2, 3}));
  EXPECT_THROW(part.CopyFrom(&source, 10), EReadError);
  EXPECT_THROW(part.CopyFrom(&source, -1), EReadError);

  TBytesStream empty;
  TBytesStream into;
  EXPECT_EQ(into.CopyFrom(&empty, 0), 0);
}

}  // namespace

TEST(Streams, LargeBlocksKeepTheirBytesAcrossGrowthAndShrinking) {
  // Past a few megabytes the block is whole pages; growing, shrinking back to the heap and emptying
  // must keep every byte the stream still holds.
  TMemoryStream stream;
  std::vector<Byte> chunk(1 << 20);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<Byte>(i * 7 + i / 251);
  for (int i = 0; i < 9; ++i) stream.WriteBuffer(chunk.data(), static_cast<Int64>(chunk.size()));
  ASSERT_EQ(stream.Size(), 9 << 20);
  EXPECT_GE(stream.Capacity(), stream.Size());
  const auto* p = static_cast<const Byte*>(stream.Memory());
  for (int i = 0; i < 9; ++i) ASSERT_EQ(std::memcmp(p + (std::size_t(i) << 20), chunk.data(), chunk.size()), 0) << i;
  stream.SetSize(5 << 20);  // still paged: kept in place
  EXPECT_EQ(stream.Memory(), p);
  stream.SetSize(1000);  // back to the heap
  EXPECT_EQ(std::memcmp(stream.Memory(), chunk.data(), 1000), 0);
  stream.SetSize(0);
  stream.SetSize(6 << 20);
  stream.SetPosition(0);
  stream.WriteBuffer(chunk.data(), 16);
  EXPECT_EQ(std::memcmp(stream.Memory(), chunk.data(), 16), 0);
}

TEST(Streams, ResizingKeepsBytesWrittenIntoTheCapacityPastTheSize) {
  // A writer may fill the capacity directly and set the size last; every resize on the way, from
  // the heap into whole pages and back, keeps those bytes as realloc would.
  TMemoryStream stream;
  for (const Int64 capacity : {Int64{64} << 10, Int64{6} << 20, Int64{9} << 20, Int64{1} << 20}) {
    const Int64 filled = std::min<Int64>(stream.Capacity(), capacity);
    stream.SetCapacity(capacity);
    ASSERT_EQ(stream.Size(), 0);
    auto* p = static_cast<Byte*>(stream.Memory());
    for (Int64 i = 0; i < filled; i += 4093) ASSERT_EQ(p[i], static_cast<Byte>(i % 251)) << capacity << " at " << i;
    for (Int64 i = 0; i < capacity; i += 4093) p[i] = static_cast<Byte>(i % 251);
  }
}

TEST(Streams, ABlockGatheredFromGivenBackRangesKeepsItsBytesWhenItGrows) {
  // Pieces given back earlier make up one large block; growing it past them moves the bytes, and the
  // block goes back to the reserve whole when the stream is emptied.
  sys::ReleaseReservedPages();
  std::vector<sys::TPages> pieces;
  for (int i = 0; i < 4; ++i) pieces.push_back(sys::TakePages(sys::kHugePageSize));
  for (const sys::TPages& p : pieces) sys::ReturnPages(p);
  TMemoryStream stream;
  std::vector<Byte> chunk(1 << 20);
  for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<Byte>(i * 13 + i / 509);
  stream.SetSize(6 << 20);
  EXPECT_EQ(sys::ReservedPages(), 2u << 20) << "three pieces went into the block";
  for (int i = 0; i < 6; ++i) stream.WriteBuffer(chunk.data(), static_cast<Int64>(chunk.size()));
  for (int i = 0; i < 12; ++i) stream.WriteBuffer(chunk.data(), static_cast<Int64>(chunk.size()));
  ASSERT_EQ(stream.Size(), 18 << 20);
  const auto* p = static_cast<const Byte*>(stream.Memory());
  for (int i = 0; i < 18; ++i) ASSERT_EQ(std::memcmp(p + (std::size_t(i) << 20), chunk.data(), chunk.size()), 0) << i;
  const std::size_t before = sys::ReservedPages();
  const auto capacity = static_cast<std::size_t>(stream.Capacity());
  stream.Clear();
  EXPECT_EQ(sys::ReservedPages(), before + capacity);
  sys::ReleaseReservedPages();
}
