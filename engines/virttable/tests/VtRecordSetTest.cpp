// The record set below the dataset: layout, unique names, the string heap, blobs, and the item list
// with its lazily kept record numbers and bookmarks.
#include "engines/virttable/VtData.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "engines/virttable/VtStreamFormat.h"
#include "engines/virttable/VtUtils.h"
#include "platform/rtl/Exceptions.h"
#include "platform/sys/CodePage.h"

using namespace vt;

namespace {

TFieldDesc* AddDesc(TData& Data, const String& Name, Word Type, int Size, int Length = 0) {
  auto d = Data.CreateFieldDesc();
  d->Name = Name;
  d->SetDataType(Type);
  d->Size = Size;
  d->Length = static_cast<Word>(Length);
  d->FieldNo = static_cast<Word>(Data.Fields().Count() + 1);
  return Data.Fields().Add(std::move(d));
}

class FixedFields : public TMemData {
 public:
  std::function<void(TMemData&)> Build;

 protected:
  void InternalOpen() override { InitFields(); }
  void InternalInitFields() override {
    if (Build) Build(*this);
  }
};

TEST(VtLayout, OffsetsPadsAndRecordSizes) {
  struct Case {
    const char* what;
    std::vector<std::tuple<Word, int, int>> fields;  // code, Size, Length
    std::vector<int> offsets;
    int dataSize;
    int recordSize;
  };
  const Case cases[] = {
      {"int8, string(3), widestring(2)", {{dtInt8, 2, 0}, {dtString, 4, 3}, {dtWideString, 6, 2}}, {0, 2, 6}, 12, 16},
      {"widestring after an odd string", {{dtString, 3, 2}, {dtWideString, 4, 1}}, {0, 4}, 8, 10},
      {"no fields", {}, {}, 0, 0},
      {"the benchmark record", {{dtInt32, 4, 0}, {dtString, 11, 10}, {dtDateTime, 8, 0}, {dtBoolean, 2, 0},
                                {dtFloat, 8, 0}, {dtWideString, 42, 20}, {dtWideMemo, 4, 0}},
       {0, 4, 15, 23, 25, 34, 76}, 80, 88},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TMemData data;
    data.AutoInitFields = false;
    int i = 0;
    for (auto [code, size, length] : c.fields) AddDesc(data, Str("F" + std::to_string(i++)), code, size, length);
    data.InitFields();
    for (std::size_t k = 0; k < c.offsets.size(); ++k) EXPECT_EQ(data.Fields()[static_cast<int>(k)]->Offset, c.offsets[k]);
    EXPECT_EQ(data.DataSize(), c.dataSize);
    EXPECT_EQ(data.RecordSize(), c.recordSize);
  }
}

TEST(VtLayout, InitRecordLeavesReferencesEmptyAndEveryFieldNull) {
  TMemData data;
  data.AutoInitFields = false;
  AddDesc(data, u"A", dtExtString, 4);
  AddDesc(data, u"B", dtInt32, 4);
  data.InitFields();
  std::vector<Byte> rec(static_cast<std::size_t>(data.RecordSize()), 0xAB);
  data.InitRecord(rec.data());
  EXPECT_EQ(std::count(rec.begin(), rec.begin() + 8, 0), 8);
  EXPECT_TRUE(data.GetNull(*data.Fields()[0], rec.data()));
  EXPECT_TRUE(data.GetNull(*data.Fields()[1], rec.data()));
}

// A native 8-bit text longer than its slot is cut where no double-byte character is split (code page
// 936: "\xd6\xd0" is one character).
TEST(VtLayout, ANativeTextLongerThanItsSlotIsCutBetweenCharacters) {
  const unsigned saved = sys::GetSystemCodePage();
  sys::SetSystemCodePage(936);
  TMemData data;
  data.AutoInitFields = false;
  AddDesc(data, u"S", dtString, 4, 3);
  data.InitFields();
  const struct {
    std::string Source;
    std::string Stored;
  } cases[] = {
      {"ab\xd6\xd0", "ab"},       // the character would straddle the end
      {"a\xd6\xd0x", "a\xd6\xd0"},  // it ends exactly there
      {"abc", "abc"},
      {"abcdef", "abc"},
      {"a", "a"},
  };
  std::vector<Byte> rec(static_cast<std::size_t>(data.RecordSize()), 0);
  for (const auto& c : cases) {
    data.PutField(*data.Fields()[0], rec.data(), reinterpret_cast<const Byte*>(c.Source.data()), c.Source.size());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(rec.data() + data.Fields()[0]->Offset)), c.Stored) << c.Source;
  }
  sys::SetSystemCodePage(saved);
}

TEST(VtLayout, NamesAreMadeUnique) {
  struct Case {
    std::vector<String> in;
    std::vector<String> out;
  };
  const Case cases[] = {
      {{u"", u"A", u"a"}, {u"_0", u"A", u"a_1"}},
      {{u"ID", u"id", u"Id"}, {u"ID", u"id_1", u"Id_2"}},
      {{u"ID", u"id", u"Id", u"id_1"}, {u"ID", u"id_2", u"Id_3", u"id_1"}},
      {{u"X", u"Y"}, {u"X", u"Y"}},
  };
  for (const Case& c : cases) {
    TMemData data;
    data.AutoInitFields = false;
    for (const String& n : c.in) AddDesc(data, n, dtInt32, 4);
    data.MakeFieldNamesUnique();
    for (std::size_t i = 0; i < c.out.size(); ++i)
      EXPECT_EQ(data.Fields()[static_cast<int>(i)]->Name, c.out[i]) << i;
  }
}

TEST(VtStringHeap, SizeClassesReuseAndReferences) {
  TStringHeap heap;
  EXPECT_TRUE(heap.Empty());
  heap.Clear();
  EXPECT_TRUE(heap.Empty());
  struct Case {
    int size;
    int capacity;
    bool large;
  };
  for (const Case& c : {Case{1, 8, false}, Case{8, 8, false}, Case{9, 16, false}, Case{2000, 2000, false},
                        Case{2001, 2001, true}}) {
    const std::uint32_t h = heap.NewBuf(c.size);
    EXPECT_EQ(heap.Capacity(h), c.capacity) << c.size;
    EXPECT_EQ((h & kLargeFlag) != 0, c.large) << c.size;
    EXPECT_EQ(heap.SysGetMem(), c.large) << c.size;
    heap.DisposeBuf(h);
  }
  const std::uint32_t a = heap.NewBuf(20);
  heap.AddRef(a);
  heap.DisposeBuf(a);
  EXPECT_NE(heap.NewBuf(20), a) << "a buffer with a reference left is not reused";
  heap.DisposeBuf(a);
  EXPECT_EQ(heap.NewBuf(17), a) << "the freed buffer of the class comes back";
  const std::uint32_t b = heap.NewBuf(8);
  heap.DisposeBuf(b);
  EXPECT_THROW(heap.DisposeBuf(b), Exception) << "a buffer released twice";
}

TEST(VtStringHeap, CarvingLeavesNoUnusableRemainder) {
  // Chunks of 2,000 bytes (+6) leave 16,380 - 8 × 2,006 = 332 bytes; a chunk of 320 + 6 then leaves 6
  // bytes, too few for any buffer: they stay unused instead of becoming a buffer no class takes back.
  TStringHeap heap;
  for (int i = 0; i < 8; ++i) heap.NewBuf(2000);
  const std::uint32_t h = heap.NewBuf(320);
  EXPECT_EQ(heap.Capacity(h), 320);
  EXPECT_EQ(heap.BlockCount(), 1u);
  heap.NewBuf(8);
  EXPECT_EQ(heap.BlockCount(), 2u);
  heap.DisposeBuf(h);
  EXPECT_EQ(heap.NewBuf(320), h);
}

TEST(VtBlob, CompressionPaysOffOnlyAboveFiftyBytes) {
  TCompressedBlob small;
  const std::string fifty(50, 'a');
  small.Write(0, 50, fifty.data());
  EXPECT_FALSE(small.Compressed());

  TCompressedBlob big;
  const std::string thousand(1000, 'a');
  big.Write(0, 1000, thousand.data());
  ASSERT_TRUE(big.Compressed());
  EXPECT_EQ(big.Size(), 1000);
  EXPECT_LT(big.CompressedSize(), 100);
  const auto& piece = big.Data().Pieces().front();
  EXPECT_TRUE(std::equal(kCompressedSignature.begin(), kCompressedSignature.end(), piece.begin()));
  std::string whole(1000, '\0');
  EXPECT_EQ(big.Read(0, 0, whole.data()), 1000);
  EXPECT_EQ(whole, thousand);
  EXPECT_TRUE(big.Compressed()) << "a whole read leaves the stored form compressed";
  char part[10];
  EXPECT_EQ(big.Read(500, 10, part), 10);
  EXPECT_FALSE(big.Compressed()) << "a partial read decompresses for good";
  EXPECT_THROW(big.CompressedSize(), Exception);

  // Plain content that happens to begin with the signature stays plain: the flag decides, not bytes.
  TCompressedBlob lookalike;
  std::string fake(kCompressedSignature.begin(), kCompressedSignature.end());
  fake += std::string("\xff\xff\xff\x7f", 4) + "garbage";
  lookalike.Write(0, static_cast<Int64>(fake.size()), fake.data());
  EXPECT_FALSE(lookalike.Compressed());
  EXPECT_EQ(lookalike.Size(), static_cast<Int64>(fake.size()));
}

TEST(VtBlob, PiecesRollbackAndPositions) {
  TBlob blob;
  blob.SetPieceSize(4);
  blob.EnableRollback();
  blob.Write(0, 10, "0123456789");
  EXPECT_EQ(blob.Data().PieceCount(), 3u);
  blob.Commit();
  blob.Write(2, 3, "abc");
  blob.Write(10, 2, "yz");
  EXPECT_EQ(blob.AsAnsiString(), "01abc56789yz");
  blob.Cancel();
  EXPECT_EQ(blob.AsAnsiString(), "0123456789") << "Cancel restores the content before the first write";
  blob.Commit();
  blob.Cancel();
  EXPECT_EQ(blob.AsAnsiString(), "0123456789");

  TBlob empty;
  empty.Write(0, 0, "");
  EXPECT_FALSE(empty.IsNull());
  empty.Clear();
  EXPECT_TRUE(empty.IsNull());
}

TEST(VtBlob, ACharacterSplitAcrossPiecesIsNotCut) {
  const unsigned saved = sys::GetSystemCodePage();
  sys::SetSystemCodePage(936);
  TBlob blob;  // 8-bit content in CP936
  blob.SetPieceSize(3);
  const std::string text = "a\xd5\xd4\xd2\xbb";  // a 赵 一: the second character spans two pieces
  blob.Write(0, static_cast<Int64>(text.size()), text.data());
  EXPECT_EQ(blob.GetSizeUni(), 6);
  EXPECT_EQ(blob.TranslatePositionToUni(4), 3);
  EXPECT_EQ(blob.TranslatePositionToUni(6), 5);
  EXPECT_THROW(blob.TranslatePositionToUni(8), Exception);
  TBlob wide(true);
  wide.Write(0, 4, "A\0B\0");
  EXPECT_EQ(wide.GetSizeAnsi(), 2);
  EXPECT_EQ(wide.TranslatePositionToAnsi(1), 2);
  sys::SetSystemCodePage(saved);
}

TEST(VtUtilsTest, DatesAndStamps) {
  double v = 0;
  EXPECT_TRUE(TryEncodeDateValue(2000, 2, 29, v));
  EXPECT_FALSE(TryEncodeDateValue(1900, 2, 29, v));
  EXPECT_FALSE(TryEncodeDateValue(2000, 13, 1, v));
  EXPECT_FALSE(TryEncodeDateValue(0, 1, 1, v));
  EXPECT_TRUE(TryEncodeTimeValue(23, 59, 59, 999, v));
  EXPECT_FALSE(TryEncodeTimeValue(24, 0, 0, 0, v));
  EXPECT_EQ(StampToDateTime(693594, 43200000), 0.5);
  EXPECT_EQ(StampToDateTime(693593, 43200000), -1.5);
  EXPECT_THROW(StampToDateTime(0, 0), EConvertError);
  char s[] = "ab  ";
  StrTrimAnsi(s, -1);
  EXPECT_EQ(std::memcmp(s, "ab\0\0", 4), 0);
}

// ---- the item list ----

class RecordSetModel : public ::testing::Test {
 protected:
  void SetUp() override {
    data.Build = [](TMemData& d) {
      AddFieldDescForFieldDef(d, u"V", ftInteger, 0, false, false, 0);
      AddFieldDescForFieldDef(d, u"M", ftWideMemo, 0, false, false, 0);
    };
    data.Open();
    rec.resize(static_cast<std::size_t>(data.RecordSize()));
  }
  void Put(int v) {
    data.InitRecord(rec.data());
    data.CreateComplexFields(rec.data(), true);
    const TFieldDesc& f = *data.Fields()[0];
    data.PutField(f, rec.data(), reinterpret_cast<const Byte*>(&v), 4);
    data.WriteBlob(*data.Fields()[1], rec.data(), 0, 2, u"x", true);
  }
  int Current() {
    data.GetRecord(rec.data());
    int v = 0;
    bool blank = true;
    data.GetField(*data.Fields()[0], rec.data(), reinterpret_cast<Byte*>(&v), blank);
    return v;
  }
  FixedFields data;
  std::vector<Byte> rec;
};

TEST_F(RecordSetModel, RandomAppendsInsertsAndDeletesMatchAVector) {
  std::mt19937 rng(12345);
  std::vector<int> model;
  int next = 1;
  for (int step = 0; step < 3000; ++step) {
    const int op = static_cast<int>(rng() % 10);
    if (op < 4 || model.empty()) {
      Put(next);
      data.AppendRecord(rec.data());
      model.push_back(next++);
      ASSERT_EQ(data.RecordNo(), static_cast<int>(model.size()));
    } else if (op < 8) {
      const int at = static_cast<int>(rng() % model.size()) + 1;
      data.SetRecordNo(at);
      ASSERT_EQ(data.RecordNo(), at);
      Put(next);
      data.InsertRecord(rec.data());
      model.insert(model.begin() + (at - 1), next++);
      ASSERT_EQ(data.RecordNo(), at);
      ASSERT_EQ(Current(), model[static_cast<std::size_t>(at - 1)]);
    } else {
      const int at = static_cast<int>(rng() % model.size()) + 1;
      data.SetRecordNo(at);
      ASSERT_EQ(Current(), model[static_cast<std::size_t>(at - 1)]);
      data.DeleteRecord();
      model.erase(model.begin() + (at - 1));
    }
    ASSERT_EQ(data.RecordCount(), static_cast<int>(model.size()));
    if (step % 100 == 0 && !model.empty()) {
      const int at = static_cast<int>(rng() % model.size()) + 1;
      data.SetRecordNo(at);
      ASSERT_EQ(Current(), model[static_cast<std::size_t>(at - 1)]) << "step " << step;
    }
  }
  // The whole order, by walking.
  data.SetToBegin();
  std::vector<int> walked;
  for (data.GetNextRecord(rec.data()); !data.Eof(); data.GetNextRecord(rec.data())) {
    walked.push_back(Current());
    ASSERT_EQ(data.RecordNo(), static_cast<int>(walked.size()));
  }
  EXPECT_EQ(walked, model);
}

TEST_F(RecordSetModel, BookmarksFollowTheirItemAndFallBackToTheNumber) {
  for (int v = 1; v <= 60; ++v) {
    Put(v);
    data.AppendRecord(rec.data());
  }
  data.SetRecordNo(30);
  TRecBookmark b30;
  data.GetBookmark(b30);
  data.SetRecordNo(1);
  Put(1000);
  data.InsertRecord(rec.data());  // item 30 is now record 31
  data.SetToBookmark(b30);
  EXPECT_EQ(Current(), 30);
  EXPECT_EQ(data.RecordNo(), 31);

  // Delete every item of the bookmark's block: the block goes back to the allocator and the bookmark
  // must not read it.
  const std::size_t blocks = data.BlockMan().BlockCount();
  data.SetToBookmark(b30);
  data.DeleteRecord();
  for (int i = 0; i < 24; ++i) {
    data.SetRecordNo(27);
    data.DeleteRecord();
  }
  EXPECT_LT(data.BlockMan().BlockCount(), blocks);
  EXPECT_FALSE(data.BookmarkValid(b30)) << "its row is gone";
  data.SetToBookmark(b30);  // falls back to the record number it was taken with
  EXPECT_EQ(data.RecordNo(), 30);

  // After emptying, a bookmark of the old generation is resolved by its number alone.
  data.EmptyData();
  Put(7);
  data.AppendRecord(rec.data());
  EXPECT_FALSE(data.BookmarkValid(b30));
  TRecBookmark first;
  data.GetBookmark(first);
  EXPECT_EQ(data.CompareBookmarks(&first, nullptr), -1);
  EXPECT_EQ(data.CompareBookmarks(nullptr, &first), 1);
}

TEST_F(RecordSetModel, AnInsertRunAtOnePlaceRenumbersOnlyNearTheWatermark) {
  for (int v = 1; v <= 1000; ++v) {
    Put(v);
    data.AppendRecord(rec.data());
  }
  // Insert before the last record again and again, as the benchmark's Insert run does.
  for (int v = 1001; v <= 2000; ++v) {
    Put(v);
    data.InsertRecord(rec.data());
    ASSERT_EQ(data.RecordNo(), 1000);
  }
  data.SetToEnd();
  data.GetPriorRecord(rec.data());
  EXPECT_EQ(Current(), 1000);
  EXPECT_EQ(data.RecordNo(), 2000);
  data.SetRecordNo(1001);
  EXPECT_EQ(Current(), 1999) << "the run's rows stand in reverse before the last one";
}

}  // namespace
