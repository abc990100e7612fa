#include <algorithm>
#include <cstring>
#include <limits>
#include <thread>

#include "engines/vlx/tests/vlxTestSupport.h"
#include "platform/classes/Files.h"
#include "platform/rtl/Bcd.h"
#include "platform/rtl/Extended.h"

using namespace vlxtest;

namespace {

using Bytes = std::vector<Byte>;

// Hand encoding of component-streaming values, for golden streams.
struct Enc {
  Bytes b;
  Enc& raw(std::initializer_list<int> v) {
    for (int x : v) b.push_back(static_cast<Byte>(x));
    return *this;
  }
  Enc& str(std::string_view s) {  // short ASCII text; empty text goes as an empty wide string
    if (s.empty()) return raw({0x12, 0, 0, 0, 0});
    b.push_back(0x06);
    b.push_back(static_cast<Byte>(s.size()));
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Enc& i8(int v) { return raw({0x02, v & 0xFF}); }
  Enc& ext(const TExtended80Rec& e) {
    b.push_back(0x05);
    b.insert(b.end(), e.begin(), e.end());
    return *this;
  }
  Enc& boolean(bool v) { return raw({v ? 0x09 : 0x08}); }
  Enc& sig() { return raw({'T', 'P', 'F', '0'}); }
  Enc& def(TField* f, std::string_view name, std::string_view type, int size, bool v250 = true) {
    str(name).str(type).i8(size).str(name).str("");
    const int w = f->DisplayWidth();
    if (w < 128) i8(w);
    else raw({0x03, w & 0xFF, w >> 8});
    boolean(false).boolean(false);
    if (v250) str("Data").str("");
    return *this;
  }
};

Bytes Save(TvlxCustomMemTable& T, TvlxBinaryStreamFormat& F) {
  TBytesStream s;
  T.SaveToStreamViaFormat(&s, &F);
  return s.Bytes();
}

void Load(TvlxCustomMemTable& T, TvlxBinaryStreamFormat& F, const Bytes& B) {
  TBytesStream s{Bytes(B)};
  T.LoadFromStreamViaFormat(&s, &F);
}

class VlxBinaryFormat : public VlxTest {};

// The empty benchmark table: the field list, no index definitions, the type header, no records.
TEST_F(VlxBinaryFormat, EmptyBenchmarkTableGoldenBytes) {
  auto t = MakeBenchmarkTable();
  TvlxBinaryStreamFormat f;
  Enc e;
  e.sig().raw({0x03, 0x90, 0x01}).raw({0x01});
  e.def(t->Fields()[0], "CustomerID", "Integer", 0);
  e.def(t->Fields()[1], "ContactName", "String", 10);
  e.def(t->Fields()[2], "Birthdate", "DateTime", 0);
  e.def(t->Fields()[3], "MaritalStatus", "Boolean", 0);
  e.def(t->Fields()[4], "Salary", "Float", 0);
  e.def(t->Fields()[5], "Address", "WideString", 20);
  e.def(t->Fields()[6], "Comment", "WideMemo", 0);
  e.raw({0x00, 0x01, 0x00});
  e.raw({0x01, 0x02, 0x07, 0x02, 0x03, 0x02, 0x01, 0x02, 0x0B, 0x02, 0x05, 0x02, 0x06, 0x02, 0x18, 0x02, 0x27, 0x00});
  e.raw({0x01, 0x00});
  EXPECT_EQ(Save(*t, f), e.b);
  EXPECT_EQ(f.Version(), u"4.00");
}

// One record built from the layout by hand loads, and saves back to the same bytes.
TEST_F(VlxBinaryFormat, HandBuiltRecordLoadsAndSavesBack) {
  auto shape = MakeBenchmarkTable();
  Enc e;
  e.sig().raw({0x03, 0x90, 0x01}).raw({0x01});
  e.def(shape->Fields()[0], "CustomerID", "Integer", 0);
  e.def(shape->Fields()[1], "ContactName", "String", 10);
  e.def(shape->Fields()[2], "Birthdate", "DateTime", 0);
  e.def(shape->Fields()[3], "MaritalStatus", "Boolean", 0);
  e.def(shape->Fields()[4], "Salary", "Float", 0);
  e.def(shape->Fields()[5], "Address", "WideString", 20);
  e.def(shape->Fields()[6], "Comment", "WideMemo", 0);
  e.raw({0x00, 0x01, 0x00});
  e.raw({0x01, 0x02, 0x07, 0x02, 0x03, 0x02, 0x01, 0x02, 0x0B, 0x02, 0x05, 0x02, 0x06, 0x02, 0x18, 0x02, 0x27, 0x00});
  e.raw({0x01});             // records
  e.raw({0x01}).i8(0);       // record, status usUnmodified
  e.boolean(false).i8(42);   // CustomerID
  e.boolean(false).str("abc");
  e.boolean(false).ext(DoubleToExtended(36526.5));  // 2000-01-01 12:00
  e.boolean(false).boolean(true);
  e.boolean(false).ext(DoubleToExtended(4000.25));
  e.boolean(false).str("");  // a present, empty wide string
  e.boolean(true);           // Comment is null
  e.raw({0x00, 0x00});
  auto t = MakeBenchmarkTable();
  TvlxBinaryStreamFormat f;
  Load(*t, f, e.b);
  ASSERT_EQ(t->RecordCount(), 1);
  EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 42);
  EXPECT_EQ(t->FieldByName(u"ContactName")->AsString(), u"abc");
  EXPECT_DOUBLE_EQ(t->FieldByName(u"Birthdate")->AsDateTime(), 36526.5);
  EXPECT_TRUE(t->FieldByName(u"MaritalStatus")->AsBoolean());
  EXPECT_DOUBLE_EQ(t->FieldByName(u"Salary")->AsFloat(), 4000.25);
  EXPECT_FALSE(t->FieldByName(u"Address")->IsNull());
  EXPECT_TRUE(t->FieldByName(u"Comment")->IsNull());
  EXPECT_EQ(Save(*t, f), e.b);
}

TEST_F(VlxBinaryFormat, RoundTripKeepsValuesNullsAndText) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 3);
  t->Append();
  t->FieldByName(u"CustomerID")->SetAsInteger(-7);
  t->FieldByName(u"ContactName")->SetAsString(u"中文名字");
  t->FieldByName(u"Address")->SetAsString(u"北京市海淀区");
  t->FieldByName(u"Comment")->SetAsString(String(300, u'长'));
  t->Post();
  t->Append();
  t->FieldByName(u"CustomerID")->SetAsInteger(8);  // every other field null
  t->Post();
  TvlxBinaryStreamFormat f;
  const Bytes saved = Save(*t, f);
  auto u = MakeBenchmarkTable();
  AppendRows(*u, 100, 101);  // replaced by the load
  Load(*u, f, saved);
  ASSERT_EQ(Ids(*u), (std::vector<int>{1, 2, 3, -7, 8}));
  u->SetRecNo(4);
  EXPECT_EQ(u->FieldByName(u"ContactName")->AsString(), u"中文名字");
  EXPECT_EQ(u->FieldByName(u"Address")->AsString(), u"北京市海淀区");
  EXPECT_EQ(u->FieldByName(u"Comment")->AsString(), String(300, u'长'));
  u->Next();
  for (int i = 1; i < 7; ++i) EXPECT_TRUE(u->Fields()[i]->IsNull()) << i;
  u->First();
  EXPECT_EQ(u->FieldByName(u"Comment")->AsString(), u"Comment for 1");
  EXPECT_EQ(Save(*u, f), saved);
}

TEST_F(VlxBinaryFormat, ExactLargeIntegersAndCurrencies) {
  TvlxMemTable t(nullptr);
  t.FieldDefs().Add(u"Big", ftLargeint, 0, false);
  t.FieldDefs().Add(u"Money", ftBCD, 4, false);
  t.CreateTable();
  t.Open();
  const Int64 bigs[] = {9007199254740993LL, INT64_MAX, INT64_MIN, -1};
  const Int64 scaled[] = {INT64_MAX, INT64_MIN, 1, -12345678901234LL};
  for (int i = 0; i < 4; ++i) {
    t.Append();
    t.FieldByName(u"Big")->SetAsLargeInt(bigs[i]);
    t.FieldByName(u"Money")->SetAsCurrency(Currency::FromScaled(scaled[i]));
    t.Post();
  }
  TvlxBinaryStreamFormat f;
  const Bytes saved = Save(t, f);
  TvlxMemTable u(nullptr);
  Load(u, f, saved);
  ASSERT_EQ(u.RecordCount(), 4);
  u.First();
  for (int i = 0; i < 4; ++i, u.Next()) {
    EXPECT_EQ(u.FieldByName(u"Big")->AsLargeInt(), bigs[i]);
    EXPECT_EQ(u.FieldByName(u"Money")->AsCurrency().Scaled, scaled[i]);
  }
}

TEST_F(VlxBinaryFormat, VersionsAboveTheFormatAreRefusedAndChangeNothing) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 3);
  t->SetRecNo(2);
  Enc e;
  e.sig().raw({0x03, 0x91, 0x01, 0x01, 0x00});
  TvlxBinaryStreamFormat f;
  try {
    Load(*t, f, e.b);
    FAIL();
  } catch (const EReadError& x) {
    EXPECT_EQ(x.Message(),
              u"Newer vlxMemTable binary stream version (401) cant be read by this version of the software (400).");
  }
  EXPECT_EQ(t->RecordCount(), 3);
  EXPECT_EQ(t->RecNo(), 2);
  EXPECT_EQ(t->FieldCount(), 7);
}

// Version 100: no version item, no index list, records as bare values without null flags.
TEST_F(VlxBinaryFormat, Version100StreamLoads) {
  TvlxMemTable shape(nullptr);
  shape.FieldDefs().Add(u"Id", ftInteger, 0, false);
  shape.FieldDefs().Add(u"Name", ftString, 8, false);
  shape.CreateTable();
  shape.Open();
  Enc e;
  e.sig().raw({0x01});
  e.def(shape.Fields()[0], "Id", "Integer", 0, false);
  e.def(shape.Fields()[1], "Name", "String", 8, false);
  e.raw({0x00});
  e.raw({0x01, 0x02, 0x02, 0x02, 0x03, 0x02, 0x01, 0x00});  // header
  e.raw({0x01}).i8(5).str("five").i8(6).str("six").raw({0x00});
  TvlxMemTable t(nullptr);
  TvlxBinaryStreamFormat f;
  Load(t, f, e.b);
  EXPECT_EQ(t.RecordCount(), 2);
  t.Last();
  EXPECT_EQ(t.FieldByName(u"Name")->AsString(), u"six");
}

TEST_F(VlxBinaryFormat, LoadLimitStopsEarly) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 20);
  TvlxBinaryStreamFormat f;
  const Bytes saved = Save(*t, f);
  auto u = MakeBenchmarkTable();
  u->SetLoadLimit(10);
  Load(*u, f, saved);
  EXPECT_EQ(u->RecordCount(), 10);
  EXPECT_FALSE(u->LoadedCompletely());
  EXPECT_EQ(u->LoadCount(), 10);
}

TEST_F(VlxBinaryFormat, FieldsLeftOutAreSkippedThroughTheHeader) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 3);
  TvlxBinaryStreamFormat f;
  const Bytes saved = Save(*t, f);
  TvlxBinaryStreamFormat noBlobs;
  noBlobs.sfBlobs = sfSaveBlobs;
  auto u = MakeBenchmarkTable();
  Load(*u, noBlobs, saved);
  EXPECT_EQ(Ids(*u), (std::vector<int>{1, 2, 3}));
  u->First();
  EXPECT_TRUE(u->FieldByName(u"Comment")->IsNull());
  EXPECT_EQ(u->FieldByName(u"Address")->AsString(), u"Address 1");
  // Without the header nothing says how to skip: refused, and the table keeps what it had.
  TvlxBinaryStreamFormat noHeader;
  noHeader.sfDataTypeHeader = 0;
  noHeader.sfBlobs = sfSaveBlobs;
  TvlxBinaryStreamFormat writerNoHeader;
  writerNoHeader.sfDataTypeHeader = 0;
  const Bytes bare = Save(*t, writerNoHeader);
  EXPECT_THROW(Load(*u, noHeader, bare), EMemTableError);
  EXPECT_EQ(Ids(*u), (std::vector<int>{1, 2, 3}));
}

TEST_F(VlxBinaryFormat, FilteredTableSavesHiddenRowsAndStaysFiltered) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 6);
  t->SetOnFilterRecord([](TDataSet& D, bool& Accept) { Accept = D.FieldByName(u"CustomerID")->AsInteger() > 3; });
  t->SetFiltered(true);
  TvlxBinaryStreamFormat f;
  const Bytes saved = Save(*t, f);
  EXPECT_TRUE(t->Filtered());
  EXPECT_EQ(t->RecordCount(), 3);
  auto u = MakeBenchmarkTable();
  Load(*u, f, saved);
  EXPECT_EQ(u->RecordCount(), 6);
}

TEST_F(VlxBinaryFormat, AThrowingStepRestoresTheTable) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 6);
  t->SetOnFilterRecord([](TDataSet& D, bool& Accept) { Accept = D.FieldByName(u"CustomerID")->AsInteger() > 3; });
  t->SetFiltered(true);
  TvlxBinaryStreamFormat f;
  f.OnAfterSave = [](TObject*) { throw EDatabaseError(String(u"disk full")); };
  TBytesStream s;
  EXPECT_THROW(t->SaveToStreamViaFormat(&s, &f), EDatabaseError);
  EXPECT_TRUE(t->Filtered());
  EXPECT_EQ(t->RecordCount(), 3);
  EXPECT_FALSE(t->ControlsDisabled());
  EXPECT_EQ(t->TableState(), mtstBrowse);
  bool free = false;
  std::thread([&] {
    t->Common()->Lock();
    free = true;
    t->Common()->Unlock();
  }).join();
  EXPECT_TRUE(free);
  // A prepare step that fails (no signature to read) restores as well.
  TvlxBinaryStreamFormat g;
  EXPECT_THROW(Load(*t, g, Bytes{}), EReadError);
  EXPECT_FALSE(t->ControlsDisabled());
  EXPECT_EQ(t->TableState(), mtstBrowse);
  EXPECT_FALSE(t->IgnoreReadOnly());
  EXPECT_TRUE(t->EnableIndexes());
  EXPECT_EQ(t->RecordCount(), 3);
}

// Every cut of a good stream, and every flipped byte, is either refused with the table untouched or
// (for a flip inside a value) loaded; never a crash, a leak or a half-loaded table.
TEST_F(VlxBinaryFormat, CutAndFlippedStreamsLeaveTheTableUnchanged) {
  auto src = MakeBenchmarkTable();
  AppendRows(*src, 1, 20);
  TvlxBinaryStreamFormat f;
  const Bytes saved = Save(*src, f);
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 500, 502);
  t->SetRecNo(2);
  const std::size_t blocks = t->Common()->Blocks().LiveCount();
  auto unchanged = [&](const char* what, std::size_t at) {
    ASSERT_EQ(t->RecordCount(), 3) << what << at;
    ASSERT_EQ(t->FieldCount(), 7) << what << at;
    ASSERT_EQ(t->RecNo(), 2) << what << at;
    ASSERT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 501) << what << at;
    ASSERT_EQ(t->Common()->Blocks().LiveCount(), blocks) << what << at;
  };
  for (std::size_t cut = 0; cut < saved.size(); ++cut) {
    EXPECT_THROW(Load(*t, f, Bytes(saved.begin(), saved.begin() + static_cast<std::ptrdiff_t>(cut))), Exception)
        << cut;
    unchanged("cut ", cut);
  }
  for (std::size_t at = 0; at < saved.size(); ++at) {
    Bytes bad = saved;
    bad[at] ^= 0xFF;
    try {
      Load(*t, f, bad);
    } catch (const Exception&) {
      unchanged("flip ", at);
      continue;
    }
    // The flip hit a value or a name: the load went through. Start again from the three rows.
    t = MakeBenchmarkTable();
    AppendRows(*t, 500, 502);
    t->SetRecNo(2);
  }
}

TEST_F(VlxBinaryFormat, HostileLengthsAndCountsAreRefused) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 2);
  TvlxBinaryStreamFormat f;
  const Bytes good = Save(*t, f);
  struct Case {
    const char* name;
    Bytes stream;
  };
  Enc longText;
  longText.sig().raw({0x03, 0x90, 0x01, 0x01, 0x0C, 0xFF, 0xFF, 0xFF, 0x7F, 'a'});
  Enc negative;
  negative.sig().raw({0x03, 0x90, 0x01, 0x01, 0x12, 0x00, 0x00, 0x00, 0x80});
  Enc oldVersion;
  oldVersion.sig().raw({0x02, 0x05, 0x01, 0x00});
  Enc wrongMagic;
  wrongMagic.raw({'T', 'P', 'F', '1', 0x03, 0x90, 0x01});
  const Case cases[] = {{"text length past the end", longText.b},
                        {"negative length", negative.b},
                        {"version below 100", oldVersion.b},
                        {"wrong signature", wrongMagic.b}};
  for (const Case& c : cases) {
    EXPECT_THROW(Load(*t, f, c.stream), Exception) << c.name;
    EXPECT_EQ(Ids(*t), (std::vector<int>{1, 2})) << c.name;
  }
  // A header whose count differs from the definitions.
  Bytes badCount = good;
  const std::size_t header = [&] {
    const Byte h[] = {0x01, 0x02, 0x07, 0x02, 0x03};
    return static_cast<std::size_t>(std::search(badCount.begin(), badCount.end(), std::begin(h), std::end(h)) -
                                    badCount.begin());
  }();
  ASSERT_LT(header, badCount.size());
  badCount[header + 2] = 0x06;
  EXPECT_THROW(Load(*t, f, badCount), EMemTableError);
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 2}));
}

TEST_F(VlxBinaryFormat, SavesAndLoadsFiles) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 5);
  TvlxBinaryStreamFormat f;
  const String name = u"vlx_format_test.dat";
  t->SaveToFileViaFormat(name, &f);
  auto u = MakeBenchmarkTable(false);
  u->LoadFromFileViaFormat(name, &f);
  EXPECT_TRUE(u->Active());
  EXPECT_EQ(Ids(*u), (std::vector<int>{1, 2, 3, 4, 5}));
  DeleteFile(name);
  EXPECT_THROW(t->SaveToFileViaFormat(name, nullptr), EMemTableError);
}

}  // namespace

namespace {

// Text values go out as the component writer writes them and come back as its reader reads them, for
// text the quick paths take and text they leave to the platform (lone surrogates, astral characters,
// characters the code page lacks, long ASCII).
TEST_F(VlxBinaryFormat, TextGoesOutAsTheComponentWriterWritesIt) {
  const std::u16string texts[] = {u"",
                                  u"abc",
                                  String(300, u'x'),
                                  u"Address for \u8D75\u94B1",
                                  u"caf\u00E9 \u00FC",
                                  u"lone \xD800 surrogate",
                                  u"astral \U0001F600 pair",
                                  u"\u4E2D\u6587",
                                  u"mixed \u4E2D ascii \u00E9 and \U00010000"};
  for (const std::u16string& text : texts) {
    auto t = std::make_unique<TvlxMemTable>(nullptr);
    t->FieldDefs().Add(u"W", ftWideString, 40);
    t->FieldDefs().Add(u"M", ftWideMemo);
    t->FieldDefs().Add(u"S", ftString, 80);
    t->CreateTable();
    t->Open();
    t->Append();
    t->Fields()[0]->SetAsString(text.substr(0, 40));
    t->Fields()[1]->SetAsString(text);
    t->Fields()[2]->SetAsString(text);
    t->Post();
    // What the component writer makes of each stored value, and what its reader gives back.
    TBytesStream expected;
    std::vector<String> readBack;
    {
      TWriter w(&expected);
      for (int i = 0; i < 3; ++i) w.WriteString(t->Fields()[i]->AsString());  // a null reads as empty
      w.FlushBuffer();
    }
    {
      TBytesStream in{Bytes(expected.Bytes())};
      TReader r(&in);
      for (int i = 0; i < 3; ++i) readBack.push_back(r.ReadString());
    }
    TvlxBinaryStreamFormat f;
    const Bytes saved = Save(*t, f);
    Bytes tail;
    // The last record ends with: null flag, value, for each field, then the two list ends.
    for (int i = 0; i < 3; ++i) {
      if (t->Fields()[i]->IsNull()) {
        tail.push_back(0x09);
        continue;
      }
      TBytesStream one;
      TWriter w(&one);
      w.WriteString(t->Fields()[i]->AsString());
      w.FlushBuffer();
      const Bytes v = one.Bytes();
      tail.push_back(0x08);
      tail.insert(tail.end(), v.begin(), v.end());
    }
    tail.push_back(0x00);
    tail.push_back(0x00);
    ASSERT_GE(saved.size(), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), saved.end() - static_cast<std::ptrdiff_t>(tail.size())))
        << std::string(text.begin(), text.end());
    auto u = std::make_unique<TvlxMemTable>(nullptr);
    Load(*u, f, saved);
    u->First();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(u->Fields()[i]->AsString(), readBack[static_cast<std::size_t>(i)]) << i;
  }
}

// OnLoadField hears every loaded field of a staged record, which its fields read; a default expression
// fills a new record; PopulateField stores a decimal at the field's precision and scale.
TEST_F(VlxBinaryFormat, LoadFieldEventsDefaultsAndDecimals) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 3);
  TvlxBinaryStreamFormat f;
  const Bytes saved = Save(*t, f);
  auto u = MakeBenchmarkTable();
  std::vector<String> heard;
  u->OnLoadField = [&](TDataSet& T, int FieldNo, TField* Field) {
    EXPECT_EQ(T.Fields()[FieldNo], Field);
    if (Field->FieldName() == u"CustomerID") heard.push_back(Field->AsString());
  };
  Load(*u, f, saved);
  EXPECT_EQ(heard, (std::vector<String>{u"1", u"2", u"3"}));

  auto d = std::make_unique<TvlxMemTable>(nullptr);
  d->FieldDefs().Add(u"N", ftInteger);
  d->FieldDefs().Add(u"S", ftString, 8);
  d->FieldDefs().Add(u"B", ftBCD, 2);
  d->CreateTable();
  d->Open();
  static_cast<TBCDField*>(d->FieldByName(u"B"))->SetPrecision(10);
  d->FieldByName(u"N")->SetDefaultExpression(u"42");
  d->FieldByName(u"S")->SetDefaultExpression(u"none");
  d->Append();
  EXPECT_EQ(d->FieldByName(u"N")->AsInteger(), 42);
  EXPECT_EQ(d->FieldByName(u"S")->AsString(), u"none");
  d->PopulateField(d->ActiveRecordBuffer(), d->FieldByName(u"B"), Variant(Currency::FromScaled(12345000)));
  d->PopulateField(d->ActiveRecordBuffer(), d->FieldByName(u"S"), Variant(String(u"\u4E2D\u6587long text")));
  d->Post();
  EXPECT_EQ(d->FieldByName(u"B")->AsCurrency().Scaled, 12345000);
  EXPECT_EQ(d->FieldByName(u"S")->AsString(), u"\u4E2D\u6587long");
}

// Object fields are supported types: a definition of one loads (the flat view gives it no field).
TEST_F(VlxBinaryFormat, ObjectFieldDefinitionsLoad) {
  auto shape = MakeBenchmarkTable();
  Enc e;
  e.sig().raw({0x03, 0x90, 0x01}).raw({0x01});
  e.def(shape->Fields()[0], "N", "Integer", 0);
  e.str("A").str("ADT").i8(0).str("A").str("").i8(10).boolean(false).boolean(false).str("Data").str("");
  e.raw({0x00, 0x01, 0x00});
  e.raw({0x01, 0x02, 0x02, 0x02, 0x03, 0x02, 0x1A, 0x00});
  e.raw({0x01, 0x01}).i8(0).boolean(false).i8(5).boolean(false).str("").raw({0x00, 0x00});
  auto t = MakeBenchmarkTable();
  TvlxBinaryStreamFormat f;
  Load(*t, f, e.b);
  ASSERT_EQ(t->FieldDefs().Count(), 2);
  EXPECT_EQ(t->FieldDefs()[1]->DataType(), ftADT);
  ASSERT_EQ(t->RecordCount(), 1);
  t->First();
  EXPECT_EQ(t->FieldByName(u"N")->AsInteger(), 5);
}

// A date-time outside the calendar could be loaded but never saved again: it is refused, and the table
// keeps what it held.
TEST_F(VlxBinaryFormat, DateTimesOutsideTheCalendarAreRefused) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 2);
  TvlxBinaryStreamFormat f;
  const Bytes good = Save(*t, f);
  t->SetRecNo(1);
  TvlxBinaryStreamFormat g;
  Bytes bad = good;
  // The first record's Birthdate: after its null flag, vaExtended and ten bytes.
  const TExtended80Rec wanted = DoubleToExtended(30001.5);
  auto at = std::search(bad.begin(), bad.end(), wanted.begin(), wanted.end());
  ASSERT_NE(at, bad.end());
  const TExtended80Rec outside = DoubleToExtended(-700000.0);
  std::copy(outside.begin(), outside.end(), at);
  EXPECT_THROW(Load(*t, g, bad), EReadError);
  EXPECT_TRUE(t->Active());
  EXPECT_EQ(Save(*t, f), good);
}

}  // namespace

namespace {

Bytes MemoryBytes(TMemoryStream& S) {
  const auto* p = static_cast<const Byte*>(S.Memory());
  return Bytes(p, p + S.Size());
}

}  // namespace

// A plain memory stream is written in place: it gets the bytes any other stream gets, emptied first,
// written into after bytes it holds, or outgrowing the room made for the records (older versions).
TEST_F(VlxBinaryFormat, MemoryStreamGetsTheBytesOfAnyStream) {
  auto t = MakeBenchmarkTable();
  t->SetVersioningMode(mtvmAllSinceCheckPoint);
  t->SetEnableVersioning(true);
  AppendRows(*t, 1, 200);
  for (t->First(); !t->Eof(); t->Next())
    for (int k = 0; k < 8; ++k) {
      t->Edit();
      t->FieldByName(u"CustomerID")->SetAsInteger(1000 * k + t->RecNo());
      t->FieldByName(u"Comment")->Clear();
      t->Post();
    }
  const Bytes held = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
  for (unsigned append : {0u, unsigned{sfSaveAppend}, unsigned{sfSaveInsert}}) {
    TvlxBinaryStreamFormat f;
    f.sfDeltas = sfSaveDeltas;
    f.sfAppend = append;
    TBytesStream any{Bytes(held)};
    TMemoryStream memory;
    memory.WriteBuffer(held.data(), static_cast<Int64>(held.size()));
    any.SetPosition(4);
    memory.SetPosition(4);
    t->SaveToStreamViaFormat(&any, &f);
    t->SaveToStreamViaFormat(&memory, &f);
    EXPECT_GT(any.Size(), 200 * 9 * 20);
    EXPECT_EQ(MemoryBytes(memory), any.Bytes()) << append;
    EXPECT_EQ(memory.Position(), any.Position()) << append;
  }
}

// Loaded records are numbered as the store numbers them, taken whole or (after a freed slot) one by
// one: each reads back through its bookmark, and the rows saved again are the rows loaded.
TEST_F(VlxBinaryFormat, LoadedRecordsAnswerTheirBookmarks) {
  auto source = MakeBenchmarkTable();
  AppendRows(*source, 1, 5);
  TvlxBinaryStreamFormat f;
  const Bytes saved = Save(*source, f);
  for (bool freedSlot : {false, true}) {
    for (bool restructure : {false, true}) {
      auto t = MakeBenchmarkTable();
      AppendRows(*t, 101, 103);
      if (freedSlot) {
        t->First();
        t->Delete();
      }
      TvlxBinaryStreamFormat g;
      if (!restructure) g.sfDef &= ~sfLoadDef;
      Load(*t, g, saved);
      std::vector<std::pair<TBookmark, int>> marks;
      for (t->First(); !t->Eof(); t->Next()) marks.emplace_back(t->GetBookmark(), t->FieldByName(u"CustomerID")->AsInteger());
      ASSERT_EQ(static_cast<int>(marks.size()), t->RecordCount());
      const std::vector<int> ids = Ids(*t);
      for (int i = 1; i <= 5; ++i) EXPECT_NE(std::find(ids.begin(), ids.end(), i), ids.end()) << freedSlot << restructure;
      for (auto it = marks.rbegin(); it != marks.rend(); ++it) {
        ASSERT_TRUE(t->BookmarkValid(it->first));
        t->GotoBookmark(it->first);
        EXPECT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), it->second);
      }
      if (restructure) {
        EXPECT_EQ(Save(*t, f), saved);
      }
    }
  }
}

// A date or time whose day lies outside the calendar (or is no number at all) could be loaded but
// never shown or saved again: the load is refused and the table keeps what it held. The calendar's
// own ends load.
TEST_F(VlxBinaryFormat, DatesAndTimesOutsideTheCalendarAreRefused) {
  auto t = std::make_unique<TvlxMemTable>(nullptr);
  t->FieldDefs().Add(u"D", ftDate, 0, false);
  t->FieldDefs().Add(u"T", ftTime, 0, false);
  t->CreateTable();
  t->Open();
  t->Append();
  t->Fields()[0]->SetAsDateTime(30001.0);
  t->Fields()[1]->SetAsDateTime(0.25);
  t->Post();
  TvlxBinaryStreamFormat f;
  const Bytes good = Save(*t, f);
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double Saved;  // the value in the stream to replace
    double Value;
    bool Loads;
  };
  const Case cases[] = {
      {30001.0, -700000.0, false}, {30001.0, 3000000.0, false}, {30001.0, 4294967296.0 + 30001.0, false},
      {30001.0, nan, false},       {30001.0, inf, false},       {0.25, -700000.25, false},
      {0.25, 5000000.5, false},    {0.25, nan, false},          {0.25, -inf, false},
      {30001.0, -693593.0, true},  {30001.0, 2958465.0, true},  {0.25, 0.75, true},
  };
  for (const Case& c : cases) {
    Bytes patched = good;
    const TExtended80Rec from = DoubleToExtended(c.Saved);
    auto at = std::search(patched.begin(), patched.end(), from.begin(), from.end());
    ASSERT_NE(at, patched.end());
    const TExtended80Rec to = DoubleToExtended(c.Value);
    std::copy(to.begin(), to.end(), at);
    TvlxBinaryStreamFormat g;
    if (c.Loads) {
      Load(*t, g, patched);
      EXPECT_EQ(Save(*t, f), patched) << c.Value;
      Load(*t, g, good);
    } else {
      EXPECT_THROW(Load(*t, g, patched), EReadError) << c.Value;
      EXPECT_TRUE(t->Active());
      EXPECT_EQ(Save(*t, f), good) << c.Value;
    }
  }
}

// A load whose definitions are the table's own empties the open table in place; any other structure
// closes and rebuilds it. Either way the table ends the same: the stream's rows, labels, read-only
// flags and auto-increment counter, positioned on the first row, with earlier bookmarks stale.
TEST_F(VlxBinaryFormat, LoadOverTheSameOrAnotherStructureEndsAlike) {
  auto make = [](bool extraField) {
    auto t = std::make_unique<TvlxMemTable>(nullptr);
    t->FieldDefs().Add(u"Id", ftAutoInc, 0, false);
    t->FieldDefs().Add(u"Name", ftString, 10, false);
    t->FieldDefs().Add(u"Note", ftWideMemo, 0, false);
    if (extraField) t->FieldDefs().Add(u"Extra", ftInteger, 0, false);
    t->CreateTable();
    t->Open();
    return t;
  };
  auto append = [](TDataSet& T, int From, int To) {
    for (int i = From; i <= To; ++i) {
      T.Append();
      T.FieldByName(u"Name")->SetAsString(u"n" + IntToStr(i));
      T.FieldByName(u"Note")->SetAsString(u"note " + IntToStr(i));
      T.Post();
    }
  };
  auto source = make(false);
  append(*source, 1, 4);
  source->FieldByName(u"Name")->SetDisplayLabel(u"Full name");
  source->FieldByName(u"Note")->SetReadOnly(true);
  TvlxBinaryStreamFormat f;
  const Bytes saved = Save(*source, f);
  struct Case {
    bool extraField;
    int closes;
  };
  for (const Case c : {Case{false, 0}, Case{true, 1}}) {
    auto t = make(c.extraField);
    append(*t, 1, 30);
    t->FieldByName(u"Id")->SetDisplayLabel(u"Number");
    t->SetRecNo(7);
    const TBookmark mark = t->GetBookmark();
    int closes = 0;
    t->AfterClose = [&](TDataSet&) { ++closes; };
    Load(*t, f, saved);
    EXPECT_EQ(closes, c.closes) << c.extraField;
    ASSERT_TRUE(t->Active());
    EXPECT_EQ(t->FieldCount(), 3);
    std::vector<int> ids;
    for (t->First(); !t->Eof(); t->Next()) ids.push_back(t->FieldByName(u"Id")->AsInteger());
    EXPECT_EQ(ids, (std::vector<int>{0, 1, 2, 3}));
    t->First();
    EXPECT_EQ(t->RecNo(), 1);
    EXPECT_EQ(t->FieldByName(u"Note")->AsString(), u"note 1");
    EXPECT_EQ(t->FieldByName(u"Id")->DisplayLabel(), u"Id");
    EXPECT_EQ(t->FieldByName(u"Name")->DisplayLabel(), u"Full name");
    EXPECT_TRUE(t->FieldByName(u"Note")->ReadOnly());
    EXPECT_FALSE(t->BookmarkValid(mark));
    // The counter goes on from the loaded rows, not from the thirty the table held.
    t->FieldByName(u"Note")->SetReadOnly(false);
    append(*t, 5, 5);
    t->Last();
    EXPECT_EQ(t->FieldByName(u"Id")->AsInteger(), 4) << c.extraField;
  }
}

namespace {

// A stream that is not a memory stream and hands out at most a few bytes per read.
class TTrickleStream : public TStream {
 public:
  explicit TTrickleStream(Bytes B) : FBytes(std::move(B)) {}
  Int64 Read(void* Buffer, Int64 Count) override {
    const Int64 n = std::min<Int64>({Count, 7, static_cast<Int64>(FBytes.size()) - FPos});
    if (n <= 0) return 0;
    std::memcpy(Buffer, FBytes.data() + FPos, static_cast<std::size_t>(n));
    FPos += n;
    return n;
  }
  Int64 Write(const void*, Int64) override { return 0; }
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override {
    FPos = Origin == TSeekOrigin::soBeginning ? Offset
           : Origin == TSeekOrigin::soCurrent ? FPos + Offset
                                              : static_cast<Int64>(FBytes.size()) + Offset;
    return FPos;
  }

 private:
  Bytes FBytes;
  Int64 FPos = 0;
};

// A stream not in memory is read a piece at a time: records cut by a piece's end, and a memo longer
// than a piece, load as they do from memory; the stream is left after the last value read; a cut
// stream is refused at every length with the table unchanged.
TEST_F(VlxBinaryFormat, StreamsNotInMemoryAreReadInPieces) {
  auto source = MakeBenchmarkTable();
  AppendRows(*source, 1, 6);
  source->SetRecNo(3);
  source->Edit();
  source->FieldByName(u"Comment")->SetAsString(String(300, u'x') + u"中文");
  source->Post();
  TvlxBinaryStreamFormat f;
  const Bytes saved = Save(*source, f);
  Bytes followed = saved;
  followed.insert(followed.end(), {0xAB, 0xCD});
  for (std::size_t piece : {std::size_t{1}, std::size_t{16}, std::size_t{100}, std::size_t{1000}, std::size_t{1} << 20}) {
    f.SetReadPieceForTest(piece);
    auto t = MakeBenchmarkTable();
    TTrickleStream s(followed);
    t->LoadFromStreamViaFormat(&s, &f);
    EXPECT_EQ(Save(*t, f), saved) << piece;
    EXPECT_EQ(s.Position(), static_cast<Int64>(saved.size())) << piece;
  }
  f.SetReadPieceForTest(16);
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 500, 502);
  t->SetRecNo(2);
  for (std::size_t cut = 0; cut < saved.size(); ++cut) {
    TTrickleStream s(Bytes(saved.begin(), saved.begin() + static_cast<std::ptrdiff_t>(cut)));
    EXPECT_THROW(t->LoadFromStreamViaFormat(&s, &f), Exception) << cut;
    ASSERT_EQ(t->RecordCount(), 3) << cut;
    ASSERT_EQ(t->RecNo(), 2) << cut;
    ASSERT_EQ(t->FieldByName(u"CustomerID")->AsInteger(), 501) << cut;
  }
}

}  // namespace
