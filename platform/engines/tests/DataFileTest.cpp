#include <gtest/gtest.h>

#include <cstring>

#include "platform/engines/DataFile.h"

namespace {

// Columns A integer, B 8-bit text of 3, M wide memo; rows (1, "xy", "h") and (null, "", null).
std::unique_ptr<TRowStore> SmallStore() {
  const TRecordLayout layout({{u"A", ftInteger, 0, false},
                              {u"B", ftString, 3, false},
                              {u"M", ftWideMemo, 0, true}});
  auto s = std::make_unique<TRowStore>(layout);
  std::vector<std::uint8_t> r(layout.DataSize());

  layout.InitRecord(r.data());
  const std::int32_t one = 1;
  std::memcpy(r.data() + layout.Column(0).Offset, &one, 4);
  std::memcpy(r.data() + layout.Column(1).Offset, "xy", 3);
  const TBlobHandle h = s->NewBlob();
  s->Blob(h) = {'h', 0};
  TRowStore::SetBlobHandleAt(r.data(), layout.Column(2).Offset, h);
  for (int c = 0; c < 3; ++c) TRecordLayout::SetNull(r.data(), c, false);
  s->InsertRow(0, r.data());

  layout.InitRecord(r.data());
  TRecordLayout::SetNull(r.data(), 1, false);
  s->InsertRow(1, r.data());
  return s;
}

const std::vector<std::uint8_t> kGolden = {
    'V', 'M', 'F', 'D', 'T', 'B', 'L', 0x1A,  // magic
    1, 0, 0, 0,                               // version, flags
    3, 0, 0, 0,                               // columns
    1, 0, 'A', 0, 3, 0, 0, 0, 0, 0, 0,        // A ftInteger
    1, 0, 'B', 0, 1, 0, 3, 0, 0, 0, 0,        // B ftString(3)
    1, 0, 'M', 0, 39, 0, 0, 0, 0, 0, 1,       // M ftWideMemo, required
    2, 0, 0, 0,                               // rows
    0x00, 1, 0, 0, 0, 2, 0, 'x', 'y', 2, 0, 0, 0, 'h', 0,
    0x05, 0, 0,
    'V', 'E', 'N', 'D',
};

TEST(DataFileTest, WritesTheGoldenBytes) {
  auto s = SmallStore();
  TBytesStream out;
  WriteDataFile(out, kFDMemTableMagic, *s);
  EXPECT_EQ(out.Bytes(), kGolden);
}

TEST(DataFileTest, ReadsTheGoldenBytesBackAndStopsAtTheEndMark) {
  std::vector<std::uint8_t> bytes = kGolden;
  bytes.push_back(0xEE);  // what follows the file in the stream is not the file's
  TBytesStream in(bytes);
  auto s = ReadDataFile(in, kFDMemTableMagic);
  EXPECT_EQ(in.Position(), static_cast<Int64>(kGolden.size()));
  ASSERT_EQ(s->Count(), 2u);
  const TRecordLayout& l = s->Layout();
  ASSERT_EQ(l.ColumnCount(), 3u);
  EXPECT_EQ(l.Columns()[1].Name, u"B");
  EXPECT_EQ(l.Columns()[1].Size, 3);
  EXPECT_TRUE(l.Columns()[2].Required);
  const std::uint8_t* r0 = s->Data(s->IdAt(0));
  std::int32_t a;
  std::memcpy(&a, r0 + l.Column(0).Offset, 4);
  EXPECT_EQ(a, 1);
  EXPECT_STREQ(reinterpret_cast<const char*>(r0 + l.Column(1).Offset), "xy");
  EXPECT_EQ(s->Blob(TRowStore::BlobHandleAt(r0, l.Column(2).Offset)), (std::vector<std::uint8_t>{'h', 0}));
  const std::uint8_t* r1 = s->Data(s->IdAt(1));
  EXPECT_TRUE(TRecordLayout::IsNull(r1, 0));
  EXPECT_FALSE(TRecordLayout::IsNull(r1, 1));
  EXPECT_EQ(r1[l.Column(1).Offset], 0);
  EXPECT_TRUE(TRecordLayout::IsNull(r1, 2));

  TBytesStream again;
  WriteDataFile(again, kFDMemTableMagic, *s);
  EXPECT_EQ(again.Bytes(), kGolden);
}

TEST(DataFileTest, EveryTruncationIsRefused) {
  for (std::size_t keep = 0; keep < kGolden.size(); ++keep) {
    std::size_t consumed = 0;
    EXPECT_THROW(ReadDataFile(kGolden.data(), keep, kFDMemTableMagic, consumed), EMemDataFileError) << "kept " << keep;
  }
}

TEST(DataFileTest, DamagedBytesAreRefused) {
  struct Case {
    const char* What;
    std::size_t Offset;
    std::vector<std::uint8_t> Bytes;
  };
  const Case cases[] = {
      {"another engine's signature", 2, {'C', 'D', 'S', 'B', 'N'}},
      {"unknown version", 8, {2}},
      {"unknown header flags", 10, {1}},
      {"no columns", 12, {0}},
      {"too many columns", 12, {0xFF, 0xFF}},
      {"empty column name", 16, {0}},
      {"unknown column type", 20, {0xE7, 0x03}},
      {"text column of size 0", 33, {0}},
      {"unknown column flags", 48, {2}},
      {"row count past the data", 49, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"text longer than its column", 58, {4}},
      {"null flag past the last column", 68, {0x0D}},
      {"blob longer than the data", 62, {0xFF, 0xFF, 0xFF, 0x7F}},
      {"end mark", static_cast<std::size_t>(71), {'X'}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bad = kGolden;
    ASSERT_LE(c.Offset + c.Bytes.size(), bad.size()) << c.What;
    std::copy(c.Bytes.begin(), c.Bytes.end(), bad.begin() + static_cast<std::ptrdiff_t>(c.Offset));
    std::size_t consumed = 0;
    EXPECT_THROW(ReadDataFile(bad.data(), bad.size(), kFDMemTableMagic, consumed), EMemDataFileError) << c.What;
  }
}

// The golden file with column A as a date or a time, and A's first value replaced.
TEST(DataFileTest, DatesOutsideTheCalendarAreRefused) {
  struct Case {
    const char* What;
    std::uint8_t Type;
    std::vector<std::uint8_t> Value;  // A's value of the first row
    bool Valid;
  };
  const Case cases[] = {
      {"date 0001-01-01", 9, {1, 0, 0, 0}, true},
      {"date 0", 9, {0, 0, 0, 0}, false},
      {"date INT_MIN", 9, {0, 0, 0, 0x80}, false},
      {"date past 9999-12-31", 9, {0xDC, 0xB9, 0x37, 0}, false},
      {"time of a whole day", 10, {0x00, 0x5C, 0x26, 0x05}, false},
      {"time negative", 10, {0xFF, 0xFF, 0xFF, 0xFF}, false},
      {"time 00:00:00.001", 10, {1, 0, 0, 0}, true},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes = kGolden;
    bytes[20] = c.Type;
    std::copy(c.Value.begin(), c.Value.end(), bytes.begin() + 54);
    std::size_t consumed = 0;
    if (c.Valid) {
      EXPECT_NO_THROW(ReadDataFile(bytes.data(), bytes.size(), kFDMemTableMagic, consumed)) << c.What;
    } else {
      EXPECT_THROW(ReadDataFile(bytes.data(), bytes.size(), kFDMemTableMagic, consumed), EMemDataFileError) << c.What;
    }
  }
}

TEST(DataFileTest, EachEngineReadsOnlyItsOwnFiles) {
  auto s = SmallStore();
  const TDataFileMagic magics[] = {kFDMemTableMagic, kClientDataSetMagic, kADODataSetMagic};
  for (const TDataFileMagic& written : magics) {
    TBytesStream out;
    WriteDataFile(out, written, *s);
    for (const TDataFileMagic& reader : magics) {
      out.SetPosition(0);
      if (reader == written)
        EXPECT_EQ(ReadDataFile(out, reader)->Count(), 2u);
      else
        EXPECT_THROW(ReadDataFile(out, reader), EMemDataFileError);
    }
  }
}

}  // namespace
