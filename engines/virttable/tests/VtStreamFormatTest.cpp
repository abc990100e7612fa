// The binary stream format: golden bytes built by hand from the layout, round trips per type, older
// versions, and hostile streams that must leave the table as it was.
#include "engines/virttable/VtStreamFormat.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <tuple>

#include "VtTestSupport.h"
#include "platform/classes/Files.h"
#include "platform/rtl/Exceptions.h"

using namespace vttest;

namespace {

// Header, the seven definitions of the benchmark schema, P = 0 and R = 0.
constexpr std::string_view kEmptyBenchmarkStream =
    "0300 0700"
    "0a00 437573746f6d65724944 0300 0000 00000000"
    "0b00 436f6e746163744e616d65 0100 0a00 00000000"
    "0900 426972746864617465 0b00 0000 00000000"
    "0d00 4d61726974616c537461747573 0500 0000 00000000"
    "0600 53616c617279 0600 0000 00000000"
    "0700 41646472657373 1800 1400 00000000"
    "0700 436f6d6d656e74 2700 0000 00000000"
    "0000";

// CustomerID 2, ContactName 赵一 (GBK d5d4 d2bb), Birthdate 1990-05-06 07:08:09.010, MaritalStatus
// True, Salary 4000.5, Address and Comment "... for 赵一" in UTF-16LE.
constexpr std::string_view kBenchmarkRow =
    "04000000 02000000"
    "04000000 d5d4d2bb"
    "08000000 00d9ab16488ccc42"
    "02000000 0100"
    "08000000 000000000041af40"
    "1c000000 4100640064007200650073007300200066006f0072002000758d004e"
    "1c000000 43006f006d006d0065006e007400200066006f0072002000758d004e";

const TDateTime kBirth = EncodeDateTime(1990, 5, 6, 7, 8, 9, 10);

class StreamFormat : public CodePage936 {};

TEST_F(StreamFormat, TheEmptyBenchmarkTableWritesTheGoldenBytesAndReadsThemBack) {
  auto t = BenchmarkTable();
  TMemoryStream s;
  t->SaveToStream(&s, true, false);
  const std::vector<Byte> golden = Hex(std::string(kEmptyBenchmarkStream) + "00000000");
  ASSERT_EQ(golden.size(), 143u);
  EXPECT_EQ(Bytes(s), golden);

  auto u = std::make_unique<TVirtTable>(nullptr);
  Fill(s, golden);
  u->LoadFromStream(&s, true, true);
  ASSERT_EQ(u->FieldDefs().Count(), 7);
  EXPECT_EQ(u->FieldDefs()[5]->DataType(), ftWideString);
  EXPECT_EQ(u->FieldDefs()[5]->Size(), 20);
  EXPECT_FALSE(u->Active()) << "a closed table stays closed when the stream has no rows";
}

TEST_F(StreamFormat, OneHandComputedRowIsWrittenAndReadExactly) {
  auto t = BenchmarkTable();
  AppendBenchmarkRow(*t, 2, u"赵一", kBirth, true, 4000.5);
  TMemoryStream s;
  t->SaveToStream(&s, true, false);
  const std::vector<Byte> golden = Hex(std::string(kEmptyBenchmarkStream) + "01000000" + std::string(kBenchmarkRow));
  EXPECT_EQ(Bytes(s), golden);

  auto u = BenchmarkTable();
  Fill(s, golden);
  u->LoadFromStream(&s, true, true);
  ASSERT_TRUE(u->Active());
  ASSERT_EQ(u->RecordCount(), 1);
  EXPECT_EQ(u->FieldByName(u"CustomerID")->AsInteger(), 2);
  EXPECT_EQ(u->FieldByName(u"ContactName")->AsString(), u"赵一");
  EXPECT_EQ(u->FieldByName(u"Birthdate")->AsDateTime(), kBirth);
  EXPECT_TRUE(u->FieldByName(u"MaritalStatus")->AsBoolean());
  EXPECT_EQ(u->FieldByName(u"Salary")->AsFloat(), 4000.5);
  EXPECT_EQ(u->FieldByName(u"Address")->AsString(), u"Address for 赵一");
  EXPECT_EQ(u->FieldByName(u"Comment")->AsString(), u"Comment for 赵一");
}

// One table with one field per type: each case sets a value, saves, loads into a fresh table and reads.
TEST_F(StreamFormat, ValuesRoundTripByType) {
  struct Case {
    const char16_t* name;
    TFieldType type;
    int size;
    int precision;
    std::function<void(TField*)> set;
    std::function<void(TField*)> check;
  };
  const Case cases[] = {
      {u"S", ftString, 5, 0, [](TField* f) { f->SetAsString(u""); },
       [](TField* f) { EXPECT_FALSE(f->IsNull()); EXPECT_EQ(f->AsString(), u""); }},
      {u"SN", ftString, 5, 0, [](TField* f) { f->Clear(); }, [](TField* f) { EXPECT_TRUE(f->IsNull()); }},
      {u"W", ftWideString, 5, 0, [](TField* f) { f->SetAsString(u""); },
       [](TField* f) { EXPECT_FALSE(f->IsNull()); EXPECT_EQ(f->AsString(), u""); }},
      {u"WL", ftWideString, 3, 0, [](TField* f) { f->SetAsString(u"abcdef"); },
       [](TField* f) { EXPECT_EQ(f->AsString(), u"abc"); }},
      {u"L", ftLargeint, 0, 10, [](TField* f) { f->SetAsLargeInt(9999999999LL); },
       [](TField* f) { EXPECT_EQ(f->AsLargeInt(), 9999999999LL); }},
      {u"LM", ftLargeint, 0, 10, [](TField* f) { f->SetAsLargeInt(-1); }, [](TField* f) { EXPECT_EQ(f->AsLargeInt(), -1); }},
      {u"SI", ftSmallint, 0, 4, [](TField* f) { f->SetAsInteger(1000); }, [](TField* f) { EXPECT_EQ(f->AsInteger(), 1000); }},
      {u"WO", ftWord, 0, 0, [](TField* f) { f->SetAsInteger(65535); }, [](TField* f) { EXPECT_EQ(f->AsInteger(), 65535); }},
      {u"B", ftBoolean, 0, 0, [](TField* f) { f->SetAsBoolean(false); },
       [](TField* f) { EXPECT_FALSE(f->IsNull()); EXPECT_FALSE(f->AsBoolean()); }},
      {u"F", ftFloat, 0, 15, [](TField* f) { f->SetAsFloat(-1.25e300); }, [](TField* f) { EXPECT_EQ(f->AsFloat(), -1.25e300); }},
      {u"C", ftCurrency, 0, 0, [](TField* f) { f->SetAsFloat(12.5); }, [](TField* f) { EXPECT_EQ(f->AsFloat(), 12.5); }},
      {u"D", ftDate, 0, 0, [](TField* f) { f->SetAsDateTime(EncodeDate(2000, 2, 29)); },
       [](TField* f) { EXPECT_EQ(f->AsDateTime(), EncodeDate(2000, 2, 29)); }},
      {u"T", ftTime, 0, 0, [](TField* f) { f->SetAsDateTime(EncodeTime(23, 59, 59, 999)); },
       [](TField* f) { EXPECT_NEAR(f->AsDateTime(), EncodeTime(23, 59, 59, 999), 1e-9); }},
      {u"DT", ftDateTime, 0, 0, [](TField* f) { f->SetAsDateTime(kBirth); }, [](TField* f) { EXPECT_EQ(f->AsDateTime(), kBirth); }},
      {u"M", ftMemo, 0, 0, [](TField* f) { f->SetAsString(std::u16string(1000, u'x')); },
       [](TField* f) { EXPECT_EQ(f->AsString(), std::u16string(1000, u'x')); }},
      {u"WM", ftWideMemo, 0, 0, [](TField* f) { f->SetAsString(u""); }, [](TField* f) { EXPECT_TRUE(f->IsNull()); }},
      {u"TS", ftTimeStamp, 0, 0, [](TField* f) { f->SetAsSQLTimeStamp(TSQLTimeStamp{2021, 7, 5, 13, 5, 9, 7}); },
       [](TField* f) {
         const TSQLTimeStamp t = f->AsSQLTimeStamp();
         EXPECT_EQ(std::tie(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second, t.Fractions),
                   std::make_tuple(2021, 7, 5, 13, 5, 9, 7u));
       }},
      {u"TO", ftTimeStampOffset, 0, 0,
       [](TField* f) { f->SetAsSQLTimeStampOffset(TSQLTimeStampOffset{2021, 7, 5, 13, 5, 9, 7, -3, -30}); },
       [](TField* f) {
         const TSQLTimeStampOffset t = f->AsSQLTimeStampOffset();
         EXPECT_EQ(std::tie(t.Year, t.Month, t.Day, t.Hour, t.Second, t.Fractions, t.TimeZoneHour, t.TimeZoneMinute),
                   std::make_tuple(2021, 7, 5, 13, 9, 7u, -3, -30));
         EXPECT_EQ(f->AsString(), u"2021/7/5 13:05:09 -03:30");
       }},
      {u"VI", ftVariant, 0, 0, [](TField* f) { f->SetAsVariant(Variant(static_cast<unsigned short>(65535))); },
       [](TField* f) { EXPECT_EQ(f->AsVariant().AsInteger(), 65535); }},
      {u"VS", ftVariant, 0, 0, [](TField* f) { f->SetAsVariant(Variant(static_cast<signed char>(-1))); },
       [](TField* f) { EXPECT_EQ(f->AsVariant().AsInteger(), -1); }},
      {u"VT", ftVariant, 0, 0, [](TField* f) { f->SetAsVariant(Variant(String(u"文本"))); },
       [](TField* f) { EXPECT_EQ(f->AsVariant().AsString(), u"文本"); }},
  };
  auto t = std::make_unique<TVirtTable>(nullptr);
  for (const Case& c : cases) t->FieldDefs().Add(c.name, c.type, c.size, false)->SetPrecision(c.precision);
  t->Open();
  t->Append();
  for (const Case& c : cases) c.set(t->FieldByName(c.name));
  t->Post();
  TMemoryStream s;
  t->SaveToStream(&s);
  auto u = std::make_unique<TVirtTable>(nullptr);
  u->LoadFromStream(&s);
  EXPECT_FALSE(u->Active()) << "a closed table keeps its loaded rows closed";
  u->Open();
  ASSERT_EQ(u->RecordCount(), 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(StringToUTF8(c.name));
    c.check(u->FieldByName(c.name));
    EXPECT_EQ(u->FieldDefs().Find(c.name)->DataType(), c.type);
  }
  EXPECT_EQ(u->FieldDefs().Find(u"F")->Precision(), 15);
  EXPECT_EQ(u->Data()->FindField(u"L")->DataType(), vt::dtInt64) << "Precision only limits the range";
  EXPECT_EQ(u->Data()->FindField(u"SI")->DataType(), vt::dtInt16);
}

// Older versions: hand-built streams with one ftInteger field "A" and one row holding 7.
TEST_F(StreamFormat, OlderAndNewerVersionsAreRead) {
  struct Case {
    const char* name;
    std::string_view bytes;
  };
  const Case cases[] = {
      {"v0: UInt16 lengths, no precision, no persistent block", "0000 0100 0100 41 0300 0000 01000000 0400 07000000"},
      {"v1: UInt16 lengths, persistent block", "0100 0100 0100 41 0300 0000 0000 01000000 0400 07000000"},
      {"v2: Int32 lengths, no precision", "0200 0100 0100 41 0300 0000 0000 01000000 04000000 07000000"},
      {"v4: read like v3", "0400 0100 0100 41 0300 0000 00000000 0000 01000000 04000000 07000000"},
      {"v3 with a persistent field entry, skipped", "0300 0100 0100 41 0300 0000 00000000 0100 0100 41 0000 0300 0000 01000000 04000000 07000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto t = std::make_unique<TVirtTable>(nullptr);
    TMemoryStream s;
    Fill(s, Hex(c.bytes));
    t->LoadFromStream(&s);
    ASSERT_EQ(t->FieldDefs().Count(), 1);
    t->Open();
    ASSERT_EQ(t->RecordCount(), 1);
    EXPECT_EQ(t->FieldByName(u"A")->AsInteger(), 7);
  }
}

// A table holding other rows meets a bad stream: the error is clear and nothing changes.
void ExpectUnchanged(TVirtTable& t, const std::vector<int>& ids, int recNo) {
  ASSERT_TRUE(t.Active());
  EXPECT_EQ(t.FieldDefs().Count(), 7);
  EXPECT_EQ(t.FieldCount(), 7);
  EXPECT_EQ(t.RecNo(), recNo);
  EXPECT_EQ(Ids(t), ids);
}

TEST_F(StreamFormat, EveryCutOfASavedStreamRaisesAndKeepsTheTable) {
  auto src = BenchmarkTable();
  for (int i = 0; i < 200; ++i) AppendBenchmarkRow(*src, i + 2, u"钱二", kBirth + i, i % 2 == 0, 4000.25 + i);
  TMemoryStream saved;
  src->SaveToStream(&saved);
  const std::vector<Byte> full = Bytes(saved);

  auto t = BenchmarkTable();
  AppendBenchmarkRow(*t, 900, u"甲", kBirth, false, 1);
  AppendBenchmarkRow(*t, 901, u"乙", kBirth, true, 2);
  t->First();
  t->Next();
  TMemoryStream s;
  for (std::size_t cut = 0; cut < full.size(); ++cut) {
    Fill(s, std::vector<Byte>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut)));
    EXPECT_THROW(t->LoadFromStream(&s), EReadError) << "cut at " << cut;
    if (::testing::Test::HasFailure()) break;
  }
  ExpectUnchanged(*t, {900, 901}, 2);
  Fill(s, full);
  t->LoadFromStream(&s);
  EXPECT_EQ(t->RecordCount(), 200);
}

TEST_F(StreamFormat, HostileValuesRaiseAndKeepTheTable) {
  const std::string head(kEmptyBenchmarkStream);
  const std::string goodTail = std::string(kBenchmarkRow);
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"record count beyond the bytes", head + "ffffff7f" + goodTail},
      {"negative record count", head + "ffffffff"},
      {"negative length", head + "01000000 ffffffff 02000000"},
      {"length beyond the bytes", head + "01000000 04000000 02000000 ffffff00"},
      {"integer of 3 bytes", head + "01000000 03000000 020000" + goodTail.substr(17)},
      {"odd UTF-16 length",
       head + "01000000 04000000 02000000 04000000 d5d4d2bb 08000000 00d9ab16488ccc42 02000000 0100 "
              "08000000 000000000041af40 03000000 410042 00000000"},
      {"date-time that is not a number",
       head + "01000000 04000000 02000000 04000000 d5d4d2bb 08000000 000000000000f8ff 02000000 0100 "
              "08000000 000000000041af40 00000000 00000000"},
      {"duplicate definition", "0300 0200 0100 41 0300 0000 00000000 0100 61 0300 0000 00000000 0000 00000000"},
      {"unsupported type", "0300 0100 0100 41 1a00 0000 00000000 0000 00000000"},
      {"definition name cut", "0300 0100 0900 41 0300"},
      {"records without definitions", "0300 0000 0000 05000000"},
  };
  auto t = BenchmarkTable();
  AppendBenchmarkRow(*t, 900, u"甲", kBirth, false, 1);
  TMemoryStream s;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fill(s, Hex(c.bytes));
    EXPECT_THROW(t->LoadFromStream(&s), EReadError);
    ExpectUnchanged(*t, {900}, 1);
  }
  Fill(s, Hex("0300"));
  EXPECT_THROW(t->LoadFromStream(&s), EReadError) << "under five bytes";
  ExpectUnchanged(*t, {900}, 1);
}

TEST_F(StreamFormat, XmlWithoutARowsetSchemaIsRefused) {
  auto t = BenchmarkTable();
  TMemoryStream s;
  for (const char* text : {"<?xml version", "<XML>", "\xEF\xBB\xBF<?xml "}) {
    Fill(s, std::vector<Byte>(text, text + std::strlen(text)));
    EXPECT_THROW(t->LoadFromStream(&s), Exception) << text;
  }
  EXPECT_EQ(t->FieldCount(), 7);
}

TEST_F(StreamFormat, LoadingWithoutFieldsMapsValuesByName) {
  auto src = BenchmarkTable();
  AppendBenchmarkRow(*src, 5, u"孙三", kBirth, false, 7);
  TMemoryStream s;
  src->SaveToStream(&s);
  auto t = std::make_unique<TVirtTable>(nullptr);
  t->FieldDefs().Add(u"Salary", ftString, 20, false);  // a changed type: converted through a variant
  t->FieldDefs().Add(u"CustomerID", ftInteger, 0, false);
  t->FieldDefs().Add(u"Extra", ftInteger, 0, false);
  t->Open();
  t->LoadFromStream(&s, false, true);
  ASSERT_EQ(t->RecordCount(), 1);
  EXPECT_EQ(t->FieldCount(), 3);
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 5);
  EXPECT_EQ(t->FieldByName(u"Salary")->AsString(), u"7");
  EXPECT_TRUE(t->FieldByName(u"Extra")->IsNull());
}

TEST_F(StreamFormat, ChangingADefinitionKeepsTheRowsValues) {
  auto t = BenchmarkTable();
  AppendBenchmarkRow(*t, 5, u"孙三", kBirth, false, 7);
  AppendBenchmarkRow(*t, 6, u"李四", kBirth, true, 8);
  t->FieldDefs().Add(u"Note", ftString, 4, false);
  ASSERT_TRUE(t->Active());
  ASSERT_EQ(t->FieldCount(), 8);
  EXPECT_EQ(Ids(*t), (std::vector<int>{5, 6}));
  t->First();
  EXPECT_EQ(t->FieldByName(u"ContactName")->AsString(), u"孙三");
  EXPECT_EQ(t->FieldByName(u"Comment")->AsString(), u"Comment for 孙三");
  EXPECT_TRUE(t->FieldByName(u"Note")->IsNull());
}

}  // namespace

namespace {

TEST_F(StreamFormat, AFileIsReadInChunksWithValuesAcrossTheirEdges) {
  // Over a megabyte of rows, and one memo bigger than a chunk, so values straddle the refills.
  auto src = BenchmarkTable();
  for (int i = 0; i < 12000; ++i) AppendBenchmarkRow(*src, i, u"孙三", kBirth, i % 2 == 0, i);
  src->Append();
  src->FieldByName(u"Comment")->SetAsString(String(700000, u'长'));
  src->Post();
  TMemoryStream expected;
  src->SaveToStream(&expected);

  const String file = Str(::testing::TempDir()) + u"vt_chunked.dat";
  src->SaveToFile(file);
  auto t = BenchmarkTable();
  t->LoadFromFile(file);
  TMemoryStream again;
  t->SaveToStream(&again);
  EXPECT_EQ(Bytes(again), Bytes(expected));

  // The same file one byte short is refused, and the table keeps what it held.
  {
    TFileStream cut(file, fmCreate);
    cut.WriteBuffer(expected.Memory(), expected.Size() - 1);
  }
  EXPECT_THROW(t->LoadFromFile(file), EReadError);
  EXPECT_EQ(t->RecordCount(), 12001);
  DeleteFile(file);
}

// Empty texts are written as their terminator alone (L = 1 for 8-bit text, L = 2 for UTF-16) and stay
// empty, not null; an empty memo is written L = 0 and comes back null.
TEST_F(StreamFormat, EmptyTextsKeepTheirTerminatorAndAnEmptyMemoReloadsNull) {
  auto t = BenchmarkTable();
  t->Append();
  t->FieldByName(u"CustomerID")->SetAsInteger(2);
  t->FieldByName(u"ContactName")->SetAsString(u"");
  t->FieldByName(u"Birthdate")->SetAsDateTime(kBirth);
  t->FieldByName(u"MaritalStatus")->SetAsBoolean(true);
  t->FieldByName(u"Salary")->SetAsFloat(4000.5);
  t->FieldByName(u"Address")->SetAsString(u"");
  t->FieldByName(u"Comment")->SetAsString(u"");
  t->Post();
  TMemoryStream s;
  t->SaveToStream(&s, true, false);
  const std::string row =
      "04000000 02000000  01000000 00  08000000 00d9ab16488ccc42  02000000 0100  08000000 000000000041af40"
      "02000000 0000  00000000";
  EXPECT_EQ(Bytes(s), Hex(std::string(kEmptyBenchmarkStream) + "01000000" + row));

  auto u = BenchmarkTable();
  s.SetPosition(0);
  u->LoadFromStream(&s);
  ASSERT_EQ(u->RecordCount(), 1);
  EXPECT_FALSE(u->FieldByName(u"ContactName")->IsNull());
  EXPECT_EQ(u->FieldByName(u"ContactName")->AsString(), u"");
  EXPECT_FALSE(u->FieldByName(u"Address")->IsNull());
  EXPECT_EQ(u->FieldByName(u"Address")->AsString(), u"");
  EXPECT_TRUE(u->FieldByName(u"Comment")->IsNull());
}

// Texts exactly as long as their field are written whole; stored texts longer than the field (a stream
// from a table with wider fields) load cut at the field's size, an 8-bit text never inside a
// double-byte character.
TEST_F(StreamFormat, TextsAtTheFieldSizeAndBeyondIt) {
  auto t = std::make_unique<TVirtTable>(nullptr);
  t->FieldDefs().Add(u"S", ftString, 4, false);
  t->FieldDefs().Add(u"W", ftWideString, 5, false);
  t->Open();
  t->Append();
  t->FieldByName(u"S")->SetAsString(u"甲乙");
  t->FieldByName(u"W")->SetAsString(u"abcde");
  t->Post();
  const std::string head = "0300 0200  0100 53 0100 0400 00000000  0100 57 1800 0500 00000000  0000";
  TMemoryStream s;
  t->SaveToStream(&s, true, false);
  EXPECT_EQ(Bytes(s), Hex(head + "01000000  04000000 bcd7d2d2  0a000000 61006200630064006500"));

  struct Case {
    const char* what;
    std::string row;
    const char16_t* s;
    const char16_t* w;
  };
  const Case cases[] = {
      {"at the size", "04000000 bcd7d2d2  0a000000 61006200630064006500", u"甲乙", u"abcde"},
      {"one byte and a character over", "05000000 61bcd7d2d2  0e000000 6100620063006400650066006700", u"a甲", u"abcde"},
      {"a zero inside", "03000000 610062  06000000 610000006200", u"a", u"a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fill(s, Hex(head + "01000000" + c.row));
    auto u = std::make_unique<TVirtTable>(nullptr);
    u->LoadFromStream(&s);
    u->Open();
    ASSERT_EQ(u->RecordCount(), 1);
    EXPECT_EQ(u->FieldByName(u"S")->AsString(), c.s);
    EXPECT_EQ(u->FieldByName(u"W")->AsString(), c.w);
  }
}

// A stream that is not a memory stream and claims more bytes than it gives: the read fails with the
// stream read error and the table keeps its rows, position and structure.
class TShortStream : public TStream {
 public:
  TShortStream(std::vector<Byte> Bytes, Int64 Claimed) : FBytes(std::move(Bytes)), FClaimed(Claimed) {}
  Int64 Read(void* Buffer, Int64 Count) override {
    const Int64 n = std::max<Int64>(0, std::min<Int64>(Count, static_cast<Int64>(FBytes.size()) - FPos));
    if (n) std::memcpy(Buffer, FBytes.data() + FPos, static_cast<std::size_t>(n));
    FPos += n;
    return n;
  }
  Int64 Write(const void*, Int64) override { return 0; }
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override {
    FPos = Origin == TSeekOrigin::soBeginning ? Offset : Origin == TSeekOrigin::soCurrent ? FPos + Offset : FClaimed + Offset;
    return FPos;
  }
  Int64 Size() override { return FClaimed; }

 private:
  std::vector<Byte> FBytes;
  Int64 FClaimed;
  Int64 FPos = 0;
};

TEST_F(StreamFormat, AStreamGivingLessThanItsSizeKeepsTheTable) {
  auto src = BenchmarkTable();
  for (int i = 0; i < 3; ++i) AppendBenchmarkRow(*src, i + 2, u"钱二", kBirth, true, 1);
  TMemoryStream saved;
  src->SaveToStream(&saved);
  const std::vector<Byte> full = Bytes(saved);

  auto t = BenchmarkTable();
  AppendBenchmarkRow(*t, 900, u"甲", kBirth, false, 1);
  AppendBenchmarkRow(*t, 901, u"乙", kBirth, false, 1);
  t->First();
  t->Next();
  for (const std::size_t given : {full.size() - 1, full.size() / 2, std::size_t{20}}) {
    SCOPED_TRACE(given);
    TShortStream lying(std::vector<Byte>(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(given)),
                       static_cast<Int64>(full.size()));
    EXPECT_THROW(t->LoadFromStream(&lying), EReadError);
    ExpectUnchanged(*t, {900, 901}, 2);
  }
  TShortStream honest(full, static_cast<Int64>(full.size()));
  t->LoadFromStream(&honest);
  EXPECT_EQ(Ids(*t), (std::vector<int>{2, 3, 4}));
}

}  // namespace
