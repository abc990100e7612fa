#include <gtest/gtest.h>

#include <cstring>

#include "platform/engines/RowStore.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

namespace {

TRecordLayout IntAndMemo() {
  return TRecordLayout({{u"A", ftInteger, 0, false}, {u"M", ftWideMemo, 0, false}});
}

std::vector<std::uint8_t> Record(const TRecordLayout& layout, std::int32_t a) {
  std::vector<std::uint8_t> r(layout.DataSize());
  layout.InitRecord(r.data());
  std::memcpy(r.data() + layout.Column(0).Offset, &a, 4);
  TRecordLayout::SetNull(r.data(), 0, false);
  return r;
}

std::int32_t ValueAt(TRowStore& s, std::size_t index) {
  std::int32_t v;
  std::memcpy(&v, s.Data(s.IdAt(index)) + s.Layout().Column(0).Offset, 4);
  return v;
}

std::vector<std::int32_t> Values(TRowStore& s) {
  std::vector<std::int32_t> out;
  for (std::size_t i = 0; i < s.Count(); ++i) out.push_back(ValueAt(s, i));
  return out;
}

TEST(RowStoreTest, InsertsLandBeforeTheGivenPosition) {
  struct Step {
    std::size_t Index;
    std::int32_t Value;
  };
  struct Case {
    const char* What;
    std::vector<Step> Steps;
    std::vector<std::int32_t> Expected;
  };
  const Case cases[] = {
      {"append", {{0, 1}, {1, 2}, {2, 3}}, {1, 2, 3}},
      {"insert at the front", {{0, 1}, {0, 2}, {0, 3}}, {3, 2, 1}},
      {"insert before the last posted row", {{0, 1}, {1, 2}, {1, 3}, {1, 4}}, {1, 4, 3, 2}},
      {"mixed places move the gap both ways", {{0, 1}, {1, 2}, {0, 3}, {3, 4}, {2, 5}}, {3, 1, 5, 2, 4}},
      {"past the end appends", {{0, 1}, {9, 2}}, {1, 2}},
  };
  const TRecordLayout layout = IntAndMemo();
  for (const Case& c : cases) {
    TRowStore s(layout);
    for (const Step& step : c.Steps) s.InsertRow(step.Index, Record(layout, step.Value).data());
    EXPECT_EQ(Values(s), c.Expected) << c.What;
  }
}

TEST(RowStoreTest, DeletingTheFirstRowUntilEmptyKeepsTheRest) {
  const TRecordLayout layout = IntAndMemo();
  TRowStore s(layout);
  for (int i = 0; i < 5000; ++i) s.InsertRow(s.Count(), Record(layout, i).data());
  for (int i = 0; i < 4990; ++i) s.DeleteAt(0);
  EXPECT_EQ(Values(s), (std::vector<std::int32_t>{4990, 4991, 4992, 4993, 4994, 4995, 4996, 4997, 4998, 4999}));
  while (s.Count() > 0) s.DeleteAt(0);
  // Freed slots are reused for new rows.
  s.InsertRow(0, Record(layout, 7).data());
  EXPECT_EQ(Values(s), (std::vector<std::int32_t>{7}));
}

TEST(RowStoreTest, BookmarksFindTheirRowAfterOtherRowsMoveAndGoStaleOnDelete) {
  const TRecordLayout layout = IntAndMemo();
  TRowStore s(layout);
  std::vector<TRowBookmark> marks;
  for (int i = 0; i < 100; ++i) marks.push_back(s.BookmarkOf(s.InsertRow(s.Count(), Record(layout, i).data())));
  for (int i = 0; i < 30; ++i) s.InsertRow(0, Record(layout, -i).data());  // every old row moves by 30
  s.DeleteAt(30 + 10);                                                    // the row of value 10
  EXPECT_EQ(s.IndexOf(marks[0]), 30u);
  EXPECT_EQ(s.IndexOf(marks[99]), 128u);
  EXPECT_EQ(s.IndexOf(marks[10]), TRowStore::npos);
  EXPECT_FALSE(s.IsLive(marks[10]));
  // The freed slot is reused, but the old bookmark stays stale.
  const TRowId reused = s.InsertRow(0, Record(layout, 500).data());
  EXPECT_EQ(reused, marks[10].Id);
  EXPECT_EQ(s.IndexOf(marks[10]), TRowStore::npos);
  EXPECT_EQ(s.IndexOf(s.BookmarkOf(reused)), 0u);
  EXPECT_EQ(s.IndexOf(TRowBookmark{99999, 1}), TRowStore::npos);

  // After Clear the same slot ids come back, the old bookmarks still do not.
  s.Clear();
  for (int i = 0; i < 100; ++i) s.InsertRow(s.Count(), Record(layout, i).data());
  for (const TRowBookmark& b : marks) EXPECT_FALSE(s.IsLive(b));
  // Nor does another store take this one's bookmarks.
  TRowStore other(layout);
  const TRowBookmark theirs = other.BookmarkOf(other.InsertRow(0, Record(layout, 1).data()));
  EXPECT_FALSE(s.IsLive(theirs));
}

TEST(RowStoreTest, BlobsBelongToOneRowAndPendingOnesCanBeDiscarded) {
  const TRecordLayout layout = IntAndMemo();
  const std::uint32_t memo = layout.Column(1).Offset;
  TRowStore s(layout);

  std::vector<std::uint8_t> r = Record(layout, 1);
  TBlobHandle h = s.NewBlob();
  s.Blob(h) = {1, 2, 3};
  TRowStore::SetBlobHandleAt(r.data(), memo, h);
  TRecordLayout::SetNull(r.data(), 1, false);
  const TRowId first = s.InsertRow(0, r.data());
  EXPECT_EQ(TRowStore::BlobHandleAt(s.Data(first), memo), h);  // the pending blob was adopted

  // Posting the same buffer again makes a second row with its own copy.
  const TRowId second = s.InsertRow(1, r.data());
  const TBlobHandle h2 = TRowStore::BlobHandleAt(s.Data(second), memo);
  EXPECT_NE(h2, h);
  EXPECT_EQ(s.Blob(h2), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(s.LiveBlobCount(), 2u);

  // An edit that replaces the blob frees the old one; one that keeps it frees nothing.
  std::vector<std::uint8_t> edit(s.Data(first), s.Data(first) + layout.DataSize());
  s.UpdateRow(first, edit.data());
  EXPECT_EQ(s.LiveBlobCount(), 2u);
  const TBlobHandle fresh = s.NewBlob();
  s.Blob(fresh) = {9};
  TRowStore::SetBlobHandleAt(edit.data(), memo, fresh);
  s.UpdateRow(first, edit.data());
  EXPECT_EQ(s.LiveBlobCount(), 2u);
  EXPECT_EQ(s.Blob(TRowStore::BlobHandleAt(s.Data(first), memo)), (std::vector<std::uint8_t>{9}));

  // A cancelled buffer gives its pending blob back and keeps its owned ones.
  std::vector<std::uint8_t> cancelled(s.Data(second), s.Data(second) + layout.DataSize());
  s.DiscardPending(cancelled.data());
  EXPECT_EQ(s.LiveBlobCount(), 2u);
  TRowStore::SetBlobHandleAt(cancelled.data(), memo, s.NewBlob(cancelled.data()));
  EXPECT_EQ(s.LiveBlobCount(), 3u);
  std::vector<std::uint8_t> other = cancelled;  // a stale copy of the handle in another buffer
  s.DiscardPending(other.data());
  EXPECT_EQ(s.LiveBlobCount(), 3u);
  s.DiscardPending(cancelled.data());
  EXPECT_EQ(s.LiveBlobCount(), 2u);

  s.DeleteAt(0);
  EXPECT_EQ(s.LiveBlobCount(), 1u);
  s.Clear();
  EXPECT_EQ(s.LiveBlobCount(), 0u);
  EXPECT_EQ(s.Count(), 0u);
}

TEST(RecordLayoutTest, NativeSizesAndRefusedColumns) {
  struct Case {
    TColumnType Type;
    std::int32_t Size;
    bool Ok;
    std::uint32_t NativeSize;
  };
  const Case cases[] = {
      {ftInteger, 0, true, 4},     {ftBoolean, 0, true, 2},   {ftFloat, 0, true, 8},
      {ftDateTime, 0, true, 8},    {ftString, 10, true, 11},  {ftWideString, 20, true, 42},
      {ftVarBytes, 5, true, 7},    {ftBytes, 5, true, 5},     {ftWideMemo, 0, true, 4},
      {ftTimeStamp, 0, true, 16},  {ftString, 0, false, 0},  {ftWideString, -1, false, 0},
      {ftString, 70000, false, 0}, {static_cast<TColumnType>(999), 0, false, 0}, {ftVariant, 0, false, 0}, {ftExtended, 0, true, 10},
  };
  for (const Case& c : cases) {
    TColumnStorage storage;
    std::uint32_t native = 0;
    EXPECT_EQ(DescribeColumn(c.Type, c.Size, storage, native), c.Ok) << static_cast<int>(c.Type);
    if (c.Ok) {
      EXPECT_EQ(native, c.NativeSize) << static_cast<int>(c.Type);
    }
  }
  EXPECT_THROW(TRecordLayout({{u"S", ftString, 0, false}}), EDatabaseError);
}

}  // namespace

namespace {

// Slabs are sized by bytes: a small row keeps 1,024 rows to a slab, a wide one fewer, down to one row,
// so a file of a few wide rows never asks for gigabytes; rows still land and read back across slabs.
TEST(RowStoreTest, SlabsAreSizedByTheRowsBytes) {
  struct Case {
    int wideColumns;  // ftWideString columns of 65,534 characters
    std::uint32_t rowsPerSlab;
  };
  const Case cases[] = {{0, 1024}, {1, 4}, {20, 1}};
  for (const Case& c : cases) {
    std::vector<TColumnDef> defs{{u"A", ftInteger, 0, false}};
    for (int i = 0; i < c.wideColumns; ++i) defs.push_back({u"W" + IntToStr(i), ftWideString, 65534, false});
    TRowStore s{TRecordLayout(defs)};
    EXPECT_EQ(s.RowsPerSlab(), c.rowsPerSlab) << c.wideColumns;
    if (c.wideColumns > 1) continue;  // the widest layout is only sized, never filled
    std::vector<std::uint8_t> r(s.Layout().DataSize(), 0);
    for (std::int32_t v = 0; v < 9; ++v) {
      std::memcpy(r.data() + s.Layout().Column(0).Offset, &v, 4);
      TRecordLayout::SetNull(r.data(), 0, false);
      s.InsertRow(s.Count(), r.data());
    }
    for (std::size_t i = 0; i < 9; ++i) {
      std::int32_t v = -1;
      std::memcpy(&v, s.Data(s.IdAt(i)) + s.Layout().Column(0).Offset, 4);
      EXPECT_EQ(v, static_cast<std::int32_t>(i));
    }
  }
}

}  // namespace
