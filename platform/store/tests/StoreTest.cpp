// The storage kit: the gap list against a vector, the outward search, the handle and blob tables under
// churn, the row pool's slots and slabs, the checked byte reader and the block writer's flushes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/rtl/Exceptions.h"
#include "platform/store/BlobTable.h"
#include "platform/store/ByteStream.h"
#include "platform/store/GapList.h"
#include "platform/store/HandleTable.h"
#include "platform/store/RowPool.h"
#include "platform/sys/Pages.h"

namespace {

TEST(GapList, InsertRemoveMoveAgreeWithAVector) {
  TGapList<std::uint32_t> list;
  std::vector<std::uint32_t> model;
  unsigned seed = 7;
  auto next = [&] { return seed = seed * 1103515245 + 12345, (seed >> 16) & 0x7FFF; };
  for (int step = 0; step < 400; ++step) {
    const int n = static_cast<int>(model.size());
    const unsigned op = next() % 4;
    if (op <= 1 || n == 0) {
      const int at = op == 0 ? 0 : static_cast<int>(next() % (n + 1));
      list.Insert(at, static_cast<std::uint32_t>(step));
      model.insert(model.begin() + at, static_cast<std::uint32_t>(step));
    } else if (op == 2) {
      const int at = static_cast<int>(next() % n);
      EXPECT_EQ(list.Remove(at), model[at]);
      model.erase(model.begin() + at);
    } else {
      const int from = static_cast<int>(next() % n), to = static_cast<int>(next() % n);
      list.Move(from, to);
      const std::uint32_t row = model[from];
      model.erase(model.begin() + from);
      model.insert(model.begin() + to, row);
    }
    ASSERT_EQ(list.Count(), model.size());
    for (std::size_t i = 0; i < list.Count(); ++i) ASSERT_EQ(list[i], model[i]) << "step " << step << " at " << i;
  }
  auto all = list.Contiguous();
  EXPECT_TRUE(std::equal(all.begin(), all.end(), model.begin(), model.end()));
}

TEST(BlobTable, ValuesSurviveChurnAcrossChunksAndLargeValues) {
  TBlobTable blobs;
  struct Held {
    TBlobTable::Handle handle;
    std::vector<Byte> value;
  };
  std::vector<Held> held;
  unsigned seed = 99;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  for (int step = 0; step < 6000; ++step) {
    if (held.empty() || next() % 3 != 0) {
      // Mostly small values, now and then one larger than a chunk takes in one piece.
      const std::size_t size = next() % 50 == 0 ? 5000 + next() % 70000 : 1 + next() % 300;
      std::vector<Byte> value(size);
      for (Byte& b : value) b = static_cast<Byte>(next());
      held.push_back({blobs.Add(value.data(), value.size()), value});
      if (next() % 4 == 0) blobs.AddRef(held.back().handle), blobs.Release(held.back().handle);
    } else {
      const std::size_t k = next() % held.size();
      blobs.Release(held[k].handle);
      held.erase(held.begin() + static_cast<std::ptrdiff_t>(k));
    }
  }
  EXPECT_EQ(blobs.LiveCount(), held.size());
  for (const Held& h : held) {
    const auto b = blobs.Bytes(h.handle);
    ASSERT_TRUE(std::equal(b.begin(), b.end(), h.value.begin(), h.value.end()));
    EXPECT_EQ(blobs.RefCount(h.handle), 1u);
  }
  for (const Held& h : held) blobs.Release(h.handle);
  EXPECT_EQ(blobs.LiveCount(), 0u);
  EXPECT_EQ(blobs.Add(nullptr, 0), 0u);
}

TEST(GapList, FindNearSearchesOutwardFromTheHint) {
  const std::vector<int> v{5, 1, 5, 2, 5};
  auto at = [&](int value) { return [&v, value](std::size_t i) { return v[i] == value; }; };
  EXPECT_EQ(FindNear(v.size(), 2, at(5)), 2u);
  EXPECT_EQ(FindNear(v.size(), 1, at(5)), 2u);  // ties go to the later position
  EXPECT_EQ(FindNear(v.size(), 3, at(1)), 1u);
  EXPECT_EQ(FindNear(v.size(), 99, at(1)), 1u);  // a hint past the end starts at the last
  EXPECT_EQ(FindNear(v.size(), 0, at(7)), kNotFound);
  EXPECT_EQ(FindNear(0, 0, at(5)), kNotFound);
}

TEST(HandleTable, HandlesAreNeverZeroAndComeBackAfterFree) {
  THandleTable<int> t;
  const auto a = t.Add(), b = t.Add();
  EXPECT_NE(a, 0u);
  EXPECT_NE(a, b);
  t[a] = 11;
  t[b] = 22;
  int* stable = &t[a];
  for (int i = 0; i < 10000; ++i) t.Add();  // new pages never move the old entries
  EXPECT_EQ(stable, &t[a]);
  t.Free(b);
  EXPECT_EQ(t.LiveCount(), 10001u);
  const auto again = t.Add();
  EXPECT_EQ(again, b);
  EXPECT_EQ(t[again], 0) << "a handed-out entry starts empty";
  EXPECT_TRUE(t.Contains(a));
  EXPECT_FALSE(t.Contains(0));
  EXPECT_FALSE(t.Contains(static_cast<std::uint32_t>(t.Count() + 1)));
}

TEST(BlobTable, ClearDropsSmallAndLargeValuesAtOnce) {
  TBlobTable blobs;
  std::vector<TBlobTable::Handle> large;
  for (int i = 0; i < 4; ++i) {
    const std::vector<Byte> value(5000 + static_cast<std::size_t>(i), static_cast<Byte>(i + 1));
    large.push_back(blobs.Add(value.data(), value.size()));
  }
  // Releasing a large value in the middle moves the last into its place; the others stay readable.
  blobs.Release(large[1]);
  for (int i : {0, 2, 3}) {
    const auto b = blobs.Bytes(large[static_cast<std::size_t>(i)]);
    ASSERT_EQ(b.size(), 5000u + static_cast<std::size_t>(i));
    EXPECT_EQ(b[4999], static_cast<Byte>(i + 1));
  }
  const Byte small[40] = {9};
  for (int i = 0; i < 5000; ++i) blobs.AddRef(blobs.Add(small, sizeof small));  // counts above 1 too
  sys::ReleaseReservedPages();
  blobs.Clear();
  EXPECT_EQ(blobs.LiveCount(), 0u);
  EXPECT_GE(sys::ReservedPages(), std::size_t{5000} * 40) << "the chunks went back";
  const std::vector<Byte> value(6000, 7);
  const auto h = blobs.Add(value.data(), value.size());
  const auto s = blobs.Add(small, sizeof small);
  EXPECT_EQ(blobs.Bytes(h).size(), 6000u);
  EXPECT_EQ(blobs.Bytes(s)[0], 9);
  EXPECT_EQ(blobs.LiveCount(), 2u);
}

TEST(HandleTable, PagesGoBackToTheReserveAndComeBackEmpty) {
  // The pages of a dropped table (its entries and, for a blob table, its chunks) are kept by the process
  // reserve and serve the next table: entries on them start empty, values on them read back whole.
  sys::ReleaseReservedPages();
  {
    THandleTable<int> t;
    for (int i = 0; i < 10000; ++i) t[t.Add()] = 0x5A5A;
    TBlobTable blobs;
    const Byte value[24] = {1, 2, 3};
    for (int i = 0; i < 20000; ++i) blobs.Add(value, sizeof value);
  }
  const std::size_t kept = sys::ReservedPages();
  EXPECT_GE(kept, std::size_t{20000} * 24) << "the chunks and entry pages went back";
  THandleTable<int> again;
  for (int i = 0; i < 10000; ++i) ASSERT_EQ(again[again.Add()], 0) << i;
  TBlobTable blobs;
  std::vector<TBlobTable::Handle> handles;
  for (int i = 0; i < 20000; ++i) {
    const Byte value[3] = {static_cast<Byte>(i), static_cast<Byte>(i >> 8), 7};
    handles.push_back(blobs.Add(value, sizeof value));
  }
  EXPECT_LT(sys::ReservedPages(), kept) << "the new tables took kept pages";
  for (int i = 0; i < 20000; ++i) {
    const auto b = blobs.Bytes(handles[static_cast<std::size_t>(i)]);
    ASSERT_EQ(b.size(), 3u);
    ASSERT_EQ(b[0], static_cast<Byte>(i));
    ASSERT_EQ(b[1], static_cast<Byte>(i >> 8));
  }
}

TEST(RowPool, SlotsAreZeroStableAndReused) {
  TRowPool pool(24, 8, 1 << 20);  // eight slots per slab
  EXPECT_EQ(pool.SlotsPerSlab(), 8u);
  std::vector<TRowPool::Id> ids;
  for (int i = 0; i < 20; ++i) {
    ids.push_back(pool.Alloc());
    Byte* p = pool.At(ids.back());
    EXPECT_TRUE(std::all_of(p, p + 24, [](Byte b) { return b == 0; }));
    std::memset(p, i + 1, 24);
  }
  EXPECT_EQ(pool.End(), 20u);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(pool.At(ids[i])[23], i + 1) << "slots never move as slabs are added";
  pool.Free(ids[3]);
  EXPECT_EQ(pool.At(ids[3])[0], 4) << "a freed slot keeps its bytes until handed out again";
  const TRowPool::Id again = pool.Alloc();
  EXPECT_EQ(again, ids[3]);
  EXPECT_EQ(pool.At(again)[0], 0);
  pool.Clear();
  // The slabs went to the page reserve; taken again they still give zeroed slots.
  for (int i = 0; i < 20; ++i) {
    const TRowPool::Id id = pool.Alloc();
    EXPECT_EQ(id, static_cast<TRowPool::Id>(i));
    EXPECT_TRUE(std::all_of(pool.At(id), pool.At(id) + 24, [](Byte b) { return b == 0; })) << i;
  }
}

TEST(RowPool, AnOwnersReserveGetsTheSlabsBackForItsNextPool) {
  sys::ReleaseReservedPages();
  const std::size_t slab = sys::WholePages(100 * 1024);
  sys::TPageReserve own(std::size_t{64} << 20);
  {
    TRowPool rows(100, 1024, 1 << 20, &own);
    for (int i = 0; i < 3000; ++i) std::memset(rows.At(rows.Alloc()), 0xEE, 100);  // three slabs
  }
  EXPECT_EQ(own.Bytes(), 3 * slab);
  EXPECT_EQ(sys::ReservedPages(), 0u) << "no other store can take them in between";
  TRowPool staging(100, 1024, 1 << 20, &own);
  const Byte* slot = staging.At(staging.Alloc());
  EXPECT_EQ(own.Bytes(), 2 * slab);
  EXPECT_TRUE(std::all_of(slot, slot + 100, [](Byte b) { return b == 0; })) << "a slot from kept pages is zeroed";
}

TEST(RowPool, LargeSlabsComeSeveralToAMappingAndEachStaysZeroedWhenReused) {
  sys::ReleaseReservedPages();
  // 1 KB rows, 1024 to a 1 MB slab: half a huge page, so slabs after the first are mapped four at a time.
  const std::size_t slab = std::size_t{1} << 20;
  const int rows = 3 * 1024;
  sys::TPageReserve own(std::size_t{64} << 20);
  {
    TRowPool pool(1024, 1024, slab, &own);
    for (int i = 0; i < rows; ++i) std::memset(pool.At(pool.Alloc()), 0xEE, 1024);
  }
  EXPECT_EQ(own.Bytes(), (1 + TRowPool::kSlabsPerMapping) * slab) << "the first slab alone, then four";
  // Taken again (dirty), every slab of every mapping hands out zeroed slots, across the mapping's slabs.
  TRowPool again(1024, 1024, slab, &own);
  for (int i = 0; i < rows + 1024; ++i) {
    const TRowPool::Id id = again.Alloc();
    const Byte* p = again.At(id);
    ASSERT_TRUE(std::all_of(p, p + 1024, [](Byte b) { return b == 0; })) << "row " << i;
    std::memset(again.At(id), 0x11, 1024);
  }
  for (TRowPool::Id id = 0; id < again.End(); ++id) ASSERT_EQ(again.At(id)[1023], 0x11) << "slots do not overlap";
  EXPECT_EQ(own.Bytes(), 0u);
}

TEST(RowPool, SlabSizeFollowsTheRowWidth) {
  EXPECT_EQ(TRowPool(100, 1024, 1 << 20).SlotsPerSlab(), 1024u);
  EXPECT_EQ(TRowPool(4096, 1024, 1 << 20).SlotsPerSlab(), 256u);
  EXPECT_EQ(TRowPool(3 << 20, 1024, 1 << 20).SlotsPerSlab(), 1u) << "a row wider than a slab gets a slab of its own";
}

struct TTestFail {
  [[noreturn]] static void Fail(const char* What) { throw EReadError(String(u"short: ") + Str(What)); }
};

TEST(ByteReader, EveryReadIsChecked) {
  const Byte data[] = {1, 0, 2, 0, 0, 0, 0xAA, 0xBB, 0xFF, 0xFF, 0xFF, 0xFF};
  TByteReader<TTestFail> r(data);
  EXPECT_EQ(r.Get<std::uint16_t>(), 1);
  EXPECT_EQ(r.Length32(), 2u);
  EXPECT_EQ(r.Take(2)[1], 0xBB);
  EXPECT_EQ(r.Remaining(), 4u);
  TByteReader<TTestFail> negative = r;
  EXPECT_THROW(negative.Length32("a length"), EReadError);
  try {
    r.Take(5, "a row");
    ADD_FAILURE();
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), u"short: a row");
  }
  EXPECT_EQ(r.Position(), 8u) << "a failed read takes nothing";
  const Byte tooLong[] = {9, 0, 0, 0, 1};
  TByteReader<TTestFail> t(tooLong);
  EXPECT_THROW(t.Length32(), EReadError);
}

// Bytes behind a stream that may claim to be longer than they are (a file cut while it is read).
class TClaimingStream : public TStream {
 public:
  TClaimingStream(std::vector<Byte> Bytes, Int64 Claimed) : FBytes(std::move(Bytes)), FClaimed(Claimed) {}
  Int64 Read(void* Buffer, Int64 Count) override {
    const Int64 n = std::max<Int64>(0, std::min<Int64>(Count, static_cast<Int64>(FBytes.size()) - FPos));
    if (n > 0) std::memcpy(Buffer, FBytes.data() + FPos, static_cast<std::size_t>(n));
    FPos += n;
    return n;
  }
  Int64 Write(const void*, Int64) override { return 0; }
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override {
    FPos = Origin == TSeekOrigin::soBeginning ? Offset : Origin == TSeekOrigin::soCurrent ? FPos + Offset : FClaimed + Offset;
    return FPos;
  }

 private:
  std::vector<Byte> FBytes;
  Int64 FClaimed;
  Int64 FPos = 0;
};

TEST(StreamByteReader, ReadsAcrossBlocksAsTheMemoryReaderReads) {
  constexpr std::size_t kBlock = TStreamByteReader<TTestFail>::kBlockSize;
  // Length-prefixed values of every size up to more than a block, so that values and prefixes
  // straddle the block ends and one value is read whole past a block.
  std::vector<Byte> data;
  std::vector<std::size_t> lengths;
  for (std::size_t n = 1; data.size() < 3 * kBlock; n = n * 3 + 1) {
    const std::size_t length = std::min(n, kBlock + 4321);
    lengths.push_back(length);
    const auto prefix = static_cast<std::int32_t>(length);
    data.insert(data.end(), reinterpret_cast<const Byte*>(&prefix), reinterpret_cast<const Byte*>(&prefix) + 4);
    for (std::size_t k = 0; k < length; ++k) data.push_back(static_cast<Byte>(data.size() * 7));
  }
  TClaimingStream stream(data, static_cast<Int64>(data.size()));
  TStreamByteReader<TTestFail> blocks(stream, 0);
  TByteReader<TTestFail> memory(data);
  for (std::size_t length : lengths) {
    ASSERT_EQ(blocks.Length32(), length);
    ASSERT_EQ(memory.Length32(), length);
    ASSERT_EQ(std::memcmp(blocks.Take(length), memory.Take(length), length), 0) << length;
    ASSERT_EQ(blocks.Position(), memory.Position());
    ASSERT_EQ(blocks.Remaining(), memory.Remaining());
  }
  EXPECT_TRUE(blocks.AtEnd());
  EXPECT_THROW(blocks.Get<Byte>(), EReadError);

  // From a position; a length past the end; a stream that ends before the size it claimed.
  TStreamByteReader<TTestFail> from(stream, 4);
  EXPECT_EQ(from.Get<Byte>(), data[4]);
  std::vector<Byte> lying(data.begin(), data.begin() + 100);
  const std::int32_t tooLong = 200;
  std::memcpy(lying.data(), &tooLong, 4);
  TClaimingStream shortStream(lying, 100);
  TStreamByteReader<TTestFail> past(shortStream, 0);
  EXPECT_THROW(past.Length32(), EReadError);
  TClaimingStream cut(lying, 2 * kBlock);
  TStreamByteReader<TTestFail> r(cut, 0);
  EXPECT_EQ(r.Get<std::int32_t>(), 200);
  EXPECT_EQ(r.Remaining(), 96u) << "the stream ended early: what it holds counts, not what it claimed";
  EXPECT_THROW(r.Take(200, "a row"), EReadError);
}

// A stream that records the size of every write it gets.
class TRecordingStream : public TStream {
 public:
  std::vector<Byte> Bytes;
  std::vector<std::size_t> Writes;
  Int64 Read(void*, Int64) override { return 0; }
  Int64 Write(const void* Buffer, Int64 Count) override {
    Writes.push_back(static_cast<std::size_t>(Count));
    const auto* p = static_cast<const Byte*>(Buffer);
    Bytes.insert(Bytes.end(), p, p + Count);
    return Count;
  }
  Int64 Seek(Int64, TSeekOrigin) override { return static_cast<Int64>(Bytes.size()); }
};

TEST(ByteWriter, FlushesFullBlocksAndKeepsEveryByteInOrder) {
  constexpr std::size_t kBlock = TByteWriter::kBlockSize;
  TRecordingStream stream;
  std::vector<Byte> expected;
  {
    TByteWriter w(stream);
    // Values that straddle the block end, a Room run, and one value larger than a block.
    for (std::uint32_t i = 0; expected.size() < kBlock + 1000; ++i) {
      w.PutValue(i);
      for (int k = 0; k < 4; ++k) expected.push_back(static_cast<Byte>(i >> (8 * k)));
    }
    std::vector<Byte> big(kBlock + 17, 0x42);
    w.Put(big.data(), big.size());
    expected.insert(expected.end(), big.begin(), big.end());
    for (int i = 0; i < 70000; ++i) {
      Byte* p = w.Room(7);
      for (int k = 0; k < 7; ++k) expected.push_back(p[k] = static_cast<Byte>(i + k));
      w.Commit(p + 7);
    }
    Byte* huge = w.Room(kBlock * 2);  // more than a block: the block grows
    std::memset(huge, 0x77, kBlock * 2);
    w.Commit(huge + kBlock * 2);
    expected.insert(expected.end(), kBlock * 2, 0x77);
    w.Flush();
  }
  EXPECT_EQ(stream.Bytes, expected);
  ASSERT_GE(stream.Writes.size(), 4u);
  EXPECT_EQ(stream.Writes[0], kBlock) << "the first flush is a full block";
  for (std::size_t n : stream.Writes) EXPECT_GT(n, 0u);
}

TEST(WholeStreamBytes, InPlaceForMemoryAndReadOtherwise) {
  TBytesStream memory(std::vector<Byte>{1, 2, 3, 4});
  std::vector<Byte> holder;
  const auto span = WholeStreamBytes(memory, 1, holder);
  EXPECT_EQ(span.data(), static_cast<const Byte*>(memory.Memory()) + 1);
  EXPECT_EQ(span.size(), 3u);
  EXPECT_TRUE(holder.empty());
  EXPECT_TRUE(WholeStreamBytes(memory, 4, holder).empty());
  EXPECT_TRUE(WholeStreamBytes(memory, -1, holder).empty());
}

}  // namespace
