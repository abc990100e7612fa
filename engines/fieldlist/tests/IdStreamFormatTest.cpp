// The "TD" stream format at the store level: golden bytes for the benchmark schema, the reader's
// checks on hostile input, and the ftVarBytes descriptor that must not grow on a round trip.
#include "engines/fieldlist/IdStreamFormat.h"
#include "platform/classes/Streams.h"
#include "platform/store/ByteStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

#include "engines/fieldlist/IdConvert.h"
#include "platform/sys/CodePage.h"

namespace {

TBytes Hex(std::string_view hex) {
  TBytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<Byte>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

// Header and the seven descriptors of the benchmark schema.
constexpr std::string_view kEmptyBenchmarkStream =
    "5444010007000000"
    "0400000003140043007500730074006f006d006500720049004400"
    "0a00000001160043006f006e0074006100630074004e0061006d006500"
    "080000000b1200420069007200740068006400610074006500"
    "02000000051a004d00610072006900740061006c00530074006100740075007300"
    "08000000060c00530061006c00610072007900"
    "14000000180e004100640064007200650073007300"
    "00000000270e0043006f006d006d0065006e007400";

// CustomerID 2, ContactName 赵一 (GBK), Birthdate 1990-05-06 07:08:09.010, MaritalStatus True,
// Salary 4000.5, Address and Comment "... for 赵一".
constexpr std::string_view kBenchmarkRow =
    "0102000000"
    "0104000000d5d4d2bb"
    "0100d9ab16488ccc42"
    "010100"
    "01000000000041af40"
    "011c0000004100640064007200650073007300200066006f0072002000758d004e"
    "1c00000043006f006d006d0065006e007400200066006f0072002000758d004e";

std::string Squash(std::string_view s) {
  std::string r;
  for (char c : s)
    if (c != ' ') r.push_back(c);
  return r;
}

// A stream that is not a memory stream: a save to it goes through the block writer, as a file save
// does. Counts the writes it gets.
class TVectorStream : public TStream {
 public:
  TBytes Bytes;
  int Writes = 0;
  Int64 Read(void*, Int64) override { return 0; }
  Int64 Write(const void* Buffer, Int64 Count) override {
    ++Writes;
    const auto* p = static_cast<const Byte*>(Buffer);
    Bytes.insert(Bytes.end(), p, p + Count);
    return Count;
  }
  Int64 Seek(Int64, TSeekOrigin) override { return static_cast<Int64>(Bytes.size()); }
  void SetSize(Int64 NewSize) override { Bytes.resize(static_cast<std::size_t>(NewSize)); }
};

// The stream as the saves write it into memory.
TBytes Saved(std::span<const idstream::TIdFieldDescriptor> Descriptors, std::span<const TIdField* const> Fields,
             std::span<const Byte* const> Rows) {
  TBytesStream stream;
  idstream::Write(stream, Descriptors, Fields, Rows);
  return stream.Bytes();
}

struct Benchmark {
  TBlobTable Blobs;
  TIdRecordStore Store{Blobs};
  std::vector<idstream::TIdFieldDescriptor> Descriptors{
      {u"CustomerID", idft::Integer, 0}, {u"ContactName", idft::String, 10}, {u"Birthdate", idft::DateTime, 0},
      {u"MaritalStatus", idft::Boolean, 0}, {u"Salary", idft::Float, 0},  {u"Address", idft::WideString, 20},
      {u"Comment", idft::WideMemo, 0}};
  std::vector<const TIdField*> Fields;
  Benchmark() {
    for (const auto& d : Descriptors) Fields.push_back(Store.AddField(d.DataType, d.Size));
  }
  std::vector<const Byte*> Rows() const {
    std::vector<const Byte*> rows;
    for (int i = 0; i < Store.Count(); ++i) rows.push_back(Store.Row(i));
    return rows;
  }
  TBytes Save() const { return Saved(Descriptors, Fields, Rows()); }
  // The same through the block writer of a file save.
  TBytes SaveInBlocks(int* Writes = nullptr) const {
    TVectorStream stream;
    idstream::Write(stream, Descriptors, Fields, Rows());
    if (Writes) *Writes = stream.Writes;
    return stream.Bytes;
  }
  void AddBenchmarkRow() {
    Byte* row = Store.NewStoredRecord(-1);
    const std::int32_t id = 2;
    Fields[0]->SetRecordData(row, reinterpret_cast<const Byte*>(&id), 4);
    Fields[1]->SetRecordData(row, TextToBytes(idft::String, u"赵一"));
    std::int32_t day;
    idconv::TryEncodeDayNumber(1990, 5, 6, day);
    const double ms = double(day) * 86400000 + ((7 * 60 + 8) * 60 + 9) * 1000 + 10;
    Fields[2]->SetRecordData(row, reinterpret_cast<const Byte*>(&ms), 8);
    const std::uint16_t yes = 1;
    Fields[3]->SetRecordData(row, reinterpret_cast<const Byte*>(&yes), 2);
    const double salary = 4000.5;
    Fields[4]->SetRecordData(row, reinterpret_cast<const Byte*>(&salary), 8);
    Fields[5]->SetRecordData(row, TextToBytes(idft::WideString, u"Address for 赵一"));
    Fields[6]->SetRecordData(row, TextToBytes(idft::WideMemo, u"Comment for 赵一"));
  }
};

class StreamFormat : public ::testing::Test {
 protected:
  void SetUp() override { sys::SetSystemCodePage(936); }
};

TEST_F(StreamFormat, EmptyBenchmarkStreamIsTheSevenDescriptors) {
  Benchmark b;
  const TBytes out = b.Save();
  EXPECT_EQ(out.size(), 183u);
  EXPECT_EQ(out, Hex(Squash(kEmptyBenchmarkStream)));
}

TEST_F(StreamFormat, OneBenchmarkRowGoldenBytes) {
  Benchmark b;
  b.AddBenchmarkRow();
  const TBytes out = b.Save();
  EXPECT_EQ(out.size(), 183u + 100u);
  std::string expected(kEmptyBenchmarkStream);
  expected += kBenchmarkRow;
  EXPECT_EQ(out, Hex(Squash(expected)));
}

TEST_F(StreamFormat, BlockWriterGivesTheSameBytesAcrossItsFlushes) {
  // Enough rows to fill the 256 KB block several times, with a blob larger than a block in the middle:
  // the rows cut at a flush and the value written past the block must come out as the in-place save's.
  Benchmark b;
  for (int i = 0; i < 6000; ++i) b.AddBenchmarkRow();
  const TBytes big(300 * 1024, 0x5A);
  b.Fields[6]->SetRecordData(b.Store.Row(1234), big);
  const TBytes inPlace = b.Save();
  ASSERT_GT(inPlace.size(), 3 * TByteWriter::kBlockSize);
  int writes = 0;
  EXPECT_EQ(b.SaveInBlocks(&writes), inPlace);
  EXPECT_GE(writes, 4);
  // The header alone and one row: a single flush at the end.
  Benchmark one;
  one.AddBenchmarkRow();
  EXPECT_EQ(one.SaveInBlocks(&writes), one.Save());
  EXPECT_EQ(writes, 1);
}

TEST_F(StreamFormat, ReadBackGivesTheSameRowsAndDescriptors) {
  Benchmark b;
  b.AddBenchmarkRow();
  Byte* nulls = b.Store.NewStoredRecord(-1);  // every field null
  b.Fields[1]->SetRecordData(nulls, TextToBytes(idft::String, u""));
  b.Fields[1]->SetRecordData(nulls, TBytes{});
  Byte* empty = b.Store.NewStoredRecord(-1);
  Byte zero = 0;
  b.Fields[1]->SetRecordData(empty, &zero, 1);  // an empty text, not null
  const TBytes saved = b.Save();

  const idstream::TIdStreamHeader header = idstream::ReadHeader(saved);
  ASSERT_TRUE(header.HasDescriptors);
  ASSERT_EQ(header.Descriptors.size(), 7u);
  EXPECT_EQ(header.RowsOffset, 183u);
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(header.Descriptors[i].Name, b.Descriptors[i].Name);
    EXPECT_EQ(header.Descriptors[i].DataType, b.Descriptors[i].DataType);
    EXPECT_EQ(header.Descriptors[i].Size, b.Descriptors[i].Size);
  }
  Benchmark c;
  idstream::ReadRows(saved, header.RowsOffset, c.Store);
  ASSERT_EQ(c.Store.Count(), 3);
  EXPECT_EQ(c.Save(), saved);
  EXPECT_EQ(c.Fields[1]->GetAsString(0), u"赵一");
  EXPECT_EQ(c.Fields[6]->GetAsString(0), u"Comment for 赵一");
  EXPECT_TRUE(c.Fields[1]->GetIsNull(1));
  EXPECT_FALSE(c.Fields[1]->GetIsNull(2));
  EXPECT_EQ(c.Fields[1]->GetAsString(2), u"");
}

TEST_F(StreamFormat, VarBytesDescriptorKeepsItsSizeOverRoundTrips) {
  TBlobTable blobs;
  std::vector<idstream::TIdFieldDescriptor> d{{u"V", idft::VarBytes, 5}, {u"N", idft::Integer, 0}};
  for (int trip = 0; trip < 3; ++trip) {
    TIdRecordStore store(blobs);
    std::vector<const TIdField*> fields{store.AddField(d[0].DataType, d[0].Size), store.AddField(d[1].DataType, 0)};
    Byte* row = store.NewStoredRecord(-1);
    fields[0]->SetRecordData(row, TBytes{2, 0, 0xAA, 0xBB});
    const std::int32_t n = 77;
    fields[1]->SetRecordData(row, reinterpret_cast<const Byte*>(&n), 4);
    const Byte* rows[] = {row};
    const TBytes out = Saved(d, fields, rows);
    const auto header = idstream::ReadHeader(out);
    ASSERT_EQ(header.Descriptors[0].Size, 5) << "trip " << trip;
    TIdRecordStore back(blobs);
    back.AddField(header.Descriptors[0].DataType, header.Descriptors[0].Size);
    const TIdField* number = back.AddField(header.Descriptors[1].DataType, 0);
    idstream::ReadRows(out, header.RowsOffset, back);
    ASSERT_EQ(back.Count(), 1);
    EXPECT_EQ(number->GetAsInteger(0), 77);
    d = header.Descriptors;
  }
}

TEST_F(StreamFormat, TruncationAtEveryByteOfARowIsRefused) {
  Benchmark b;
  b.AddBenchmarkRow();
  const TBytes saved = b.Save();
  for (std::size_t cut = 184; cut < saved.size(); ++cut) {
    SCOPED_TRACE(cut);
    Benchmark c;
    const TBytes part(saved.begin(), saved.begin() + cut);
    try {
      idstream::ReadRows(part, 183, c.Store);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), u"The stream is incorrect");
    }
  }
  for (std::size_t cut = 0; cut < 183; ++cut) {
    SCOPED_TRACE(cut);
    const TBytes part(saved.begin(), saved.begin() + cut);
    EXPECT_THROW(idstream::ReadHeader(part), Exception);
  }
}

TEST_F(StreamFormat, HostileHeadersAndLengths) {
  struct Case {
    const char* name;
    std::string hex;
    bool headerOnly;
    const char16_t* message;
  };
  const std::string one = "544401000100000004000000030200" "4900";  // one ftInteger field "I"
  const Case cases[] = {
      {"bad magic", "5858010000000000", true, u"The stream is incorrect"},
      {"three bytes", "544401", true, u"The stream is incorrect"},
      {"count larger than the stream", "54440100ffffff7f", true, u"The stream is incorrect"},
      {"name length 257", "5444010001000000040000000301" "01" + std::string(514, '0'), true, u"The data is incorrect"},
      {"odd name length", "54440100010000000400000003030049000000", true, u"The data is incorrect"},
      {"name longer than the stream", "544401000100000004000000030001", true, u"The stream is incorrect"},
      {"type 0", "54440100010000000400000000020049 00", true, u"The data is incorrect"},
      {"type above 51", "5444010001000000040000003402004900", true, u"The data is incorrect"},
      {"unsupported type", "5444010001000000040000002a02004900", true, u"The data is incorrect"},
      {"duplicate name", "544401000200000004000000030200490004000000030200690000", true, u"The data is incorrect"},
      {"negative string size", "54440100010000" "00ffffffff01020049" "00", true, u"The data is incorrect"},
      {"value cut short", one + "01020000", false, u"The stream is incorrect"},
      {"has-value byte missing", "5444010002000000" "04000000030200" "4900" "04000000030200" "4a00" "0102000000", false,
       u"The stream is incorrect"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TBytes data = Hex(Squash(c.hex));
    try {
      const auto header = idstream::ReadHeader(data);
      ASSERT_FALSE(c.headerOnly);
      TBlobTable blobs;
      TIdRecordStore store(blobs);
      for (const auto& d : header.Descriptors) store.AddField(d.DataType, d.Size);
      idstream::ReadRows(data, header.RowsOffset, store);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
  }
}

TEST_F(StreamFormat, HostileValueLengthsAreRefusedBeforeAllocating) {
  struct Case {
    const char* name;
    int type;
    int size;
    std::string row;
  };
  const Case cases[] = {
      {"negative text length", idft::String, 10, "01ffffffff41"},
      {"text length past the end", idft::String, 10, "01ffffff7f41"},
      {"wide text length past the end", idft::WideString, 10, "010800000041004200"},
      {"negative blob length", idft::Blob, 0, "feffffff"},
      {"huge blob length", idft::WideMemo, 0, "ffffff7f0000"},
      {"blob length short", idft::Memo, 0, "0200"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TBlobTable blobs;
    TIdRecordStore store(blobs);
    store.AddField(c.type, c.size);
    const TBytes data = Hex(c.row);
    try {
      idstream::ReadRows(data, 0, store);
      ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), u"The stream is incorrect");
    }
    EXPECT_EQ(blobs.LiveCount(), 0u);
  }
}

TEST_F(StreamFormat, KeyBitAndRowsOnlySignature) {
  const auto header = idstream::ReadHeader(Hex("5444010001000000040000008302004900"));
  ASSERT_EQ(header.Descriptors.size(), 1u);
  EXPECT_EQ(header.Descriptors[0].DataType, idft::Integer);
  EXPECT_TRUE(header.Descriptors[0].InKey);
  const auto rows = idstream::ReadHeader(Hex("54520100"));
  EXPECT_FALSE(rows.HasDescriptors);
  EXPECT_EQ(rows.RowsOffset, 4u);
}

TEST_F(StreamFormat, LongTextsAreCutInsideTheSlot) {
  TBlobTable blobs;
  TIdRecordStore store(blobs);
  const TIdField* name = store.AddField(idft::String, 3);
  const TIdField* wide = store.AddField(idft::WideString, 2);
  // "赵赵" is 4 bytes in GBK: a cut at 3 bytes would split the second character, so "赵" stays.
  idstream::ReadRows(Hex("0104000000d5d4d5d4"
                         "0106000000410042004300"),
                     0, store);
  ASSERT_EQ(store.Count(), 1);
  EXPECT_EQ(name->GetAsString(0), u"赵");
  EXPECT_EQ(wide->GetAsString(0), u"AB");
}

}  // namespace

// The load's date-time check agrees with the conversion at every edge of the calendar and of rounding.
TEST(IdConvert, DateTimeCheckAgreesWithTheConversion) {
  const double day = MSecsPerDay, last = (idconv::kMaxDayNumber + 1.0) * MSecsPerDay;
  for (double v : {-1.0, 0.0, day - 0.5000001, day - 0.5, day, 1e12, last - 0.5000001, last - 0.5, last, 1e15,
                   std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    TDateTime unused;
    EXPECT_EQ(idconv::IsNativeDateTime(v), idconv::TryNativeDateTimeToDateTime(v, unused)) << v;
  }
}
