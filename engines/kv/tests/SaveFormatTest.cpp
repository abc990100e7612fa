#include <cmath>
#include <cstring>
#include <string>

#include "KvTestSupport.h"
#include "platform/classes/Files.h"
#include "platform/classes/ObjectText.h"
#include "platform/rtl/Bcd.h"

namespace {

std::vector<Byte> Golden(std::initializer_list<std::string> Parts) {
  // Each part is either raw hex bytes ("0F 02") or, when it starts with '\'', literal text.
  std::vector<Byte> out;
  for (const std::string& p : Parts) {
    if (!p.empty() && p[0] == '\'') {
      out.insert(out.end(), p.begin() + 1, p.end());
      continue;
    }
    for (size_t i = 0; i + 1 < p.size() + 1; i += 3) out.push_back(static_cast<Byte>(std::stoi(p.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// Every value the table shows, row by row, as text (the state a failed load must leave alone).
std::vector<String> Snapshot(TDataSet& t) {
  std::vector<String> rows;
  if (!t.Active()) return {u"<closed>"};
  t.First();
  while (!t.Eof()) {
    String row;
    for (TField* f : t.Fields()) row += f->AsString() + u"|";
    rows.push_back(row);
    t.Next();
  }
  return rows;
}

// A literal with its embedded zero bytes.
template <size_t N>
std::string Lit(const char (&Text)[N]) {
  return std::string(Text, N - 1);
}

}  // namespace

TEST_F(KvTest, OneIntegerFieldSavesTheGoldenBytes) {
  TMemTableKv t(nullptr);
  t.FieldDefs().Add(u"Id", ftInteger);
  t.CreateDataSet();
  t.Append();
  t.FieldByName(u"Id")->SetAsInteger(5);
  t.Post();
  TMemoryStream s;
  t.SaveToStream(&s);
  const std::vector<Byte> expected = Golden({"'TPF0", "0F", "'TMemTableDataKv", "0C", "'MemTableData", "00",
                                             "0F", "'TMTDataStructKv", "0A", "'DataStruct", "00",
                                             "15", "'TMTNumericDataFieldKv", "02", "'Id",
                                             "09", "'FieldName", "06 02", "'Id",
                                             "0F", "'NumericDataType", "07 0C", "'fdtIntegerKv",
                                             "0D", "'AutoIncrement", "08", "08", "'currency", "08",
                                             "09", "'Precision", "02 0F", "00", "00", "00",
                                             "0E", "'TRecordsListKv", "0B", "'RecordsList",
                                             "04", "'Data", "01 01 02 05 00 00", "00", "00", "00"});
  EXPECT_EQ(Bytes(s), expected);
}

TEST_F(KvTest, DescriptorsWriteTheirAttributesByTheirRules) {
  TMemTableKv t(nullptr);
  t.FieldDefs().Add(u"Name", ftString, 10);
  t.FieldDefs().Add(u"Wide", ftWideString, 20);
  t.FieldDefs().Add(u"Flag", ftBoolean);
  t.FieldDefs().Add(u"Memo", ftWideMemo);
  t.CreateDataSet();
  TMemoryStream s;
  t.SaveToStream(&s);
  const auto b = Bytes(s);
  const std::string text(b.begin(), b.end());
  // String of size 10: kind and size; wide string of the default size 20: kind only; boolean: the name
  // only; wide memo: blob type and Transliterate.
  EXPECT_NE(text.find(Lit("\x0eStringDataType\x07\x0b" "fdtStringKv\x04Size\x02\x0a\x00\x00")), std::string::npos);
  EXPECT_NE(text.find(Lit("\x0eStringDataType\x07\x0f" "fdtWideStringKv\x00\x00")), std::string::npos);
  EXPECT_NE(text.find(Lit("\x15TMTBooleanDataFieldKv\x04" "Flag\x09" "FieldName\x06\x04" "Flag\x00\x00")),
            std::string::npos);
  EXPECT_NE(text.find(Lit("\x08" "BlobType\x07\x0a" "ftWideMemo\x0dTransliterate\x08\x00\x00")),
            std::string::npos);
  // No record: no "Data".
  EXPECT_EQ(text.find("Data\x01"), std::string::npos);

  TMemTableKv back(nullptr);
  s.SetPosition(0);
  back.LoadFromStream(&s);
  back.Open();
  ASSERT_EQ(back.FieldCount(), 4);
  EXPECT_EQ(back.FieldByName(u"Name")->Size(), 10);
  EXPECT_EQ(back.FieldByName(u"Memo")->DataType(), ftWideMemo);
  EXPECT_EQ(back.RecordCount(), 0);
  EXPECT_EQ(back.MemTableData()->DataStruct()->DataFields(0)->Name(), u"Name");
}

TEST_F(KvTest, BenchmarkRowsSurviveBinaryAndTextSaves) {
  auto t = MakeBenchmarkTable();
  struct Row {
    Variant Id, Name, Birth, Married, Salary, Address, Comment;
  };
  const double when = 44915.43090277778;  // a date-time with a fraction that a decimal text would round
  const std::vector<Row> rows = {
      {Variant(2), VarFromAnsi("Ann"), VarFromDateTime(when), Variant(true), Variant(4000.123456789), VarFromOleStr(u"Addr"), VarFromOleStr(u"Memo")},
      {Null(), Null(), Null(), Null(), Null(), Null(), Null()},
      {Variant(-7), VarFromAnsi(""), VarFromDateTime(0.0), Variant(false), Variant(-0.0), VarFromOleStr(u""), VarFromOleStr(u"")},
      {Variant(INT32_MAX), VarFromAnsi(sys::Utf16ToAnsi(u"张三李四")), VarFromDateTime(-1.5), Variant(true), Variant(1e-300),
       VarFromOleStr(u"北京市海淀区"), VarFromOleStr(u"中文备注\u00e9")},
  };
  for (const Row& r : rows) {
    t->Append();
    TMemoryRecordKv* unused = nullptr;
    (void)unused;
    const Variant* values[] = {&r.Id, &r.Name, &r.Birth, &r.Married, &r.Salary, &r.Address, &r.Comment};
    for (int i = 0; i < 7; ++i) t->StoreFieldValue(t->Fields()[i], *values[i]);
    t->Post();
  }
  for (TDfmStreamFormatKv format : {dfmBinaryKv, dfmTextKv}) {
    const String name = u"/tmp/kv_roundtrip_" + IntToStr(format) + u".dat";
    SCOPED_TRACE(format);
    ASSERT_NO_THROW(t->SaveToFile(name, format));
    if (format == dfmTextKv) {
      TMemoryStream file;
      file.LoadFromFile(name);
      for (Byte b : Bytes(file)) ASSERT_LT(b, 0x80) << "the text form is pure ASCII";
    }
    TMemTableKv back(nullptr);
    ASSERT_NO_THROW(back.LoadFromFile(name));
    back.Open();
    ASSERT_EQ(back.RecordCount(), static_cast<int>(rows.size()));
    TRecordsListKv* a = t->MemTableData()->RecordsList();
    TRecordsListKv* b = back.MemTableData()->RecordsList();
    for (int i = 0; i < a->Count(); ++i)
      for (int f = 0; f < 7; ++f) {
        const Variant& x = a->Rec(i)->GetDataValue(f);
        const Variant& y = b->Rec(i)->GetDataValue(f);
        ASSERT_EQ(x.VType(), y.VType()) << "row " << i << " field " << f;
        if (x.VType() == varDouble || x.VType() == varDate) {
          const double dx = x.AsDouble(), dy = y.AsDouble();
          EXPECT_EQ(std::memcmp(&dx, &dy, 8), 0) << "row " << i << " field " << f;
        } else {
          EXPECT_TRUE(x == y) << "row " << i << " field " << f;
        }
      }
    DeleteFile(name);
  }
}

TEST_F(KvTest, TimeStampsAndBlobsUseTheirOwnForms) {
  TMemTableKv t(nullptr);
  t.FieldDefs().Add(u"Ts", ftTimeStamp);
  t.FieldDefs().Add(u"Tso", ftTimeStampOffset);
  t.FieldDefs().Add(u"Bin", ftBlob);
  t.CreateDataSet();
  TSQLTimeStampOffset o{2016, 12, 21, 10, 20, 30, 5, -5, 0};
  TSQLTimeStamp p{2016, 12, 21, 10, 20, 30, 0};
  t.Append();
  t.StoreFieldValue(t.Fields()[0], VarSQLTimeStampCreate(p));
  t.StoreFieldValue(t.Fields()[1], VarSQLTimeStampOffsetCreate(o));
  t.Post();
  TMemoryStream s;
  t.SaveToStream(&s);
  const auto b = Bytes(s);
  const std::string text(b.begin(), b.end());
  EXPECT_NE(text.find(Lit("\x06\x13" "2016-12-21T10:20:30\x06\x1d" "2016-12-21T10:20:30.005-05:00\x0a\x00\x00\x00\x00")),
            std::string::npos);
  TMemTableKv back(nullptr);
  s.SetPosition(0);
  back.LoadFromStream(&s);
  TMemoryRecordKv* r = back.MemTableData()->RecordsList()->Rec(0);
  const TSQLTimeStampOffset ro = r->GetDataValue(1).VSQLTimeStampOffset();
  EXPECT_EQ(ro.TimeZoneHour, -5);
  EXPECT_EQ(ro.TimeZoneMinute, 0);
  EXPECT_EQ(ro.Fractions, 5u);
  EXPECT_EQ(r->GetDataValue(0).VSQLTimeStamp().Second, 30);
  // A Null blob goes out as an empty binary and comes back as an empty byte array.
  EXPECT_TRUE(VarIsByteArray(r->GetDataValue(2)));
  EXPECT_EQ(VarArrayHighBound(r->GetDataValue(2), 1), -1);
}

TEST_F(KvTest, FormatTestDecidesHowAFileIsRead) {
  auto t = MakeBenchmarkTable();
  t->Append();
  t->FieldByName(u"CustomerID")->SetAsInteger(9);
  t->Post();
  const String name = u"/tmp/kv_format.dat";
  struct Case {
    const char* Content;
    size_t Length;
    bool Loads;
  };
  const Case cases[] = {
      {"\nobject", 7, false}, {"xyz", 3, false}, {"", 0, false}, {"\0\0\0\0", 4, false}, {"TPF0\x01", 5, false},
      {" object X: TNoSuchClass\nend\n", 28, false}, {"\xEF\xBB\xBFobject", 9, false},
  };
  const auto before = Snapshot(*t);
  for (const Case& c : cases) {
    {
      TFileStream f(name, fmCreate);
      if (c.Length) f.WriteBuffer(c.Content, static_cast<Int64>(c.Length));
    }
    EXPECT_ANY_THROW(t->LoadFromFile(name)) << c.Content;
    EXPECT_TRUE(t->Active());
    EXPECT_EQ(Snapshot(*t), before) << c.Content;
  }
  try {
    TFileStream f(name, fmCreate);
    f.WriteBuffer("x", 1);
  } catch (...) {
  }
  try {
    t->LoadFromFile(name);
  } catch (const Exception& e) {
    EXPECT_EQ(String(e.Message()), u"Invalid stream format.");
  }
  DeleteFile(name);
}

TEST_F(KvTest, DamagedStreamsLeaveTheTableAsItWas) {
  auto source = MakeBenchmarkTable();
  for (int i = 1; i <= 3; ++i) {
    source->Append();
    source->FieldByName(u"CustomerID")->SetAsInteger(i);
    source->FieldByName(u"ContactName")->SetAsString(u"N" + IntToStr(i));
    source->FieldByName(u"Comment")->SetAsString(u"C");
    source->Post();
  }
  TMemoryStream good;
  source->SaveToStream(&good);
  const auto bytes = Bytes(good);

  auto target = MakeBenchmarkTable();
  target->Append();
  target->FieldByName(u"CustomerID")->SetAsInteger(42);
  target->Post();
  const auto before = Snapshot(*target);
  // Every cut, then a flip at every byte: each either fails with the table unchanged or loads a stream
  // that was still whole.
  for (size_t cut = 0; cut < bytes.size(); ++cut) {
    TMemoryStream s;
    if (cut) s.WriteBuffer(bytes.data(), static_cast<Int64>(cut));
    s.SetPosition(0);
    EXPECT_ANY_THROW(target->LoadFromStream(&s)) << "cut at " << cut;
    ASSERT_EQ(Snapshot(*target), before) << "cut at " << cut;
  }
  for (size_t at = 0; at < bytes.size(); ++at) {
    auto copy = bytes;
    copy[at] ^= 0x5A;
    TMemoryStream s;
    s.WriteBuffer(copy.data(), static_cast<Int64>(copy.size()));
    s.SetPosition(0);
    try {
      target->LoadFromStream(&s);
    } catch (const Exception&) {
      ASSERT_EQ(Snapshot(*target), before) << "flip at " << at;
      continue;
    }
    // A flip the format cannot see (inside a text) loaded: put the original back for the next round.
    target = MakeBenchmarkTable();
    target->Append();
    target->FieldByName(u"CustomerID")->SetAsInteger(42);
    target->Post();
  }
}

TEST_F(KvTest, RecordsWithTheWrongValueCountOrKindAreRefused) {
  // A record of two values for one field, and a text where a blob is expected.
  TMemTableKv t(nullptr);
  t.FieldDefs().Add(u"Id", ftInteger);
  t.CreateDataSet();
  TMemoryStream s;
  t.Append();
  t.FieldByName(u"Id")->SetAsInteger(5);
  t.Post();
  t.SaveToStream(&s);
  auto bytes = Bytes(s);
  const std::vector<Byte> record = {0x01, 0x01, 0x02, 0x05, 0x00, 0x00};
  auto at = std::search(bytes.begin(), bytes.end(), record.begin(), record.end());
  ASSERT_NE(at, bytes.end());
  const size_t pos = static_cast<size_t>(at - bytes.begin());
  auto two = bytes;
  two.insert(two.begin() + static_cast<long>(pos) + 4, {0x02, 0x06});
  TMemoryStream bad;
  bad.WriteBuffer(two.data(), static_cast<Int64>(two.size()));
  bad.SetPosition(0);
  EXPECT_THROW(t.LoadFromStream(&bad), EReadError);
  EXPECT_EQ(t.RecordCount(), 1);

  TMemTableKv b(nullptr);
  b.FieldDefs().Add(u"Bin", ftBlob);
  b.CreateDataSet();
  b.Append();
  b.Post();
  TMemoryStream bs;
  b.SaveToStream(&bs);
  auto bb = Bytes(bs);
  const std::vector<Byte> empty_bin = {0x01, 0x01, 0x0A, 0, 0, 0, 0, 0x00, 0x00};
  auto bat = std::search(bb.begin(), bb.end(), empty_bin.begin(), empty_bin.end());
  ASSERT_NE(bat, bb.end());
  const std::vector<Byte> text_value = {0x01, 0x01, 0x06, 0x01, 'a', 0x00, 0x00};
  const size_t bpos = static_cast<size_t>(bat - bb.begin());
  bb.erase(bb.begin() + static_cast<long>(bpos), bb.begin() + static_cast<long>(bpos + empty_bin.size()));
  bb.insert(bb.begin() + static_cast<long>(bpos), text_value.begin(), text_value.end());
  TMemoryStream bad2;
  bad2.WriteBuffer(bb.data(), static_cast<Int64>(bb.size()));
  bad2.SetPosition(0);
  try {
    b.LoadFromStream(&bad2);
    FAIL() << "a text in a blob field loaded";
  } catch (const EReadError& e) {
    EXPECT_EQ(String(e.Message()), u"Invalid property value");
  }
  EXPECT_EQ(b.RecordCount(), 1);
}

TEST_F(KvTest, ObjectReferencesAreNeverWrittenAndReadBackAsNull) {
  TMemTableDataKv data(nullptr);
  TMTDataFieldKv* ref = data.DataStruct()->CreateField(ClassOf<TMTRefObjectFieldKv>());
  ref->SetFieldName(u"Obj");
  TMemoryRecordKv* rec = data.RecordsList()->NewRecord();
  rec->SetDataValue(0, dvvValueKv, Variant(123456));
  data.RecordsList()->AddRecord(rec);
  data.SetStoreStructInStream(true);
  data.SetStoreRecordsInStream(true);
  TMemoryStream s;
  data.WriteToStream(&s);
  const auto b = Bytes(s);
  const std::string text(b.begin(), b.end());
  EXPECT_NE(text.find(Lit("\x04" "Data\x01\x01\x0d\x00\x00")), std::string::npos);
  TMemTableDataKv back(nullptr);
  s.SetPosition(0);
  back.ReadFromStream(&s);
  ASSERT_EQ(back.RecordsList()->Count(), 1);
  EXPECT_TRUE(back.RecordsList()->Rec(0)->GetDataValue(0).IsNull());
}

TEST_F(KvTest, TextSaveWritesTheConversionsBytes) {
  // The text form is written straight from the records; it must be exactly what converting the binary
  // form gives, for every kind of value, and read back to the same binary.
  const Variant bytes = VarFromBytes(reinterpret_cast<const Byte*>("\x00\x01\x7f\x80\xff'#{}"), 9);
  std::string long256(300, 'x');
  long256[70] = '\'';
  long256[140] = '\n';
  const String longWide = u"长文本" + String(100, u'a') + u"'" + String(80, u'好');
  TSQLTimeStamp stamp{2016, 12, 21, 10, 20, 30, 5};
  TSQLTimeStampOffset offset{2016, 12, 21, 10, 20, 30, 0, -5, -30};
  struct Case {
    TFieldType Type;
    int Size;
    std::vector<Variant> Values;
  };
  const double nan = std::nan(""), inf = HUGE_VAL;
  const std::vector<Case> cases = {
      {ftString, 300, {Null(), VarFromAnsi(""), VarFromAnsi("plain"), VarFromAnsi("it's #1\r\n\t"), VarFromAnsi(long256),
                       VarFromAnsi(sys::Utf16ToAnsi(u"张三李四abc"))}},
      {ftWideString, 300, {Null(), VarFromOleStr(u""), VarFromOleStr(u"a'b"), VarFromOleStr(longWide),
                           VarFromOleStr(u"ab\xD800" u"c"), VarFromOleStr(u"\xDC00"), VarFromOleStr(u"\U0001F600 x"),
                           VarFromOleStr(String(1, u'\0') + u"z")}},
      {ftWideMemo, 0, {Null(), VarFromOleStr(u"memo 备注"), VarFromOleStr(longWide)}},
      {ftMemo, 0, {Null(), VarFromAnsi(long256), VarFromAnsi(sys::Utf16ToAnsi(u"备注"))}},
      {ftFixedChar, 5, {Null(), VarFromAnsi("abc")}},
      {ftGuid, 38, {Null(), VarFromAnsi("{00000000-0000-0000-0000-000000000001}")}},
      {ftSmallint, 0, {Null(), Variant(-32768), Variant(0), Variant(127), Variant(128)}},
      {ftInteger, 0, {Null(), Variant(INT32_MIN), Variant(-129), Variant(65535), Variant(INT32_MAX)}},
      {ftShortint, 0, {Null(), Variant(-128), Variant(5)}},
      {ftByte, 0, {Null(), Variant(255)}},
      {ftWord, 0, {Null(), Variant(65535)}},
      {ftLongWord, 0, {Null(), Variant(4294967295LL)}},
      {ftLargeint, 0, {Null(), Variant(static_cast<long long>(INT64_MIN)), Variant(static_cast<long long>(INT64_MAX)), Variant(40000LL)}},
      {ftAutoInc, 0, {Variant(1), Variant(7)}},
      {ftBoolean, 0, {Null(), Variant(true), Variant(false)}},
      {ftFloat, 0, {Null(), Variant(0.0), Variant(-0.0), Variant(0.1), Variant(1e300), Variant(-4.9e-324), Variant(123456789.0),
                    Variant(nan), Variant(inf), Variant(-inf)}},
      {ftExtended, 0, {Null(), Variant(2.5e-310), Variant(1.0 / 3)}},
      {ftSingle, 0, {Null(), Variant(1.5f), Variant(0.1f), Variant(-3e38f)}},
      {ftCurrency, 0, {Null(), Variant(Currency::FromScaled(-12345678)), Variant(Currency::FromScaled(INT64_MAX))}},
      {ftBCD, 0, {Null(), Variant(Currency::FromScaled(10001))}},
      {ftFMTBcd, 0, {Null(), VarFMTBcdCreate(StrToBcd(u"-123.4500"))}},
      {ftDate, 0, {Null(), VarFromDateTime(0.0), VarFromDateTime(45000.0)}},
      {ftTime, 0, {Null(), VarFromDateTime(0.4999999)}},
      {ftDateTime, 0, {Null(), VarFromDateTime(44915.43090277778), VarFromDateTime(-1.25), VarFromDateTime(2958465.99999)}},
      {ftTimeStamp, 0, {Null(), VarSQLTimeStampCreate(stamp)}},
      {ftTimeStampOffset, 0, {Null(), VarSQLTimeStampOffsetCreate(offset)}},
      {ftBlob, 0, {Null(), VarFromBytes(nullptr, 0), bytes, VarFromBytes(reinterpret_cast<const Byte*>(long256.data()), 100)}},
      {ftBytes, 9, {Null(), bytes}},
      {ftVarBytes, 9, {Null(), bytes}},
      {ftVariant, 0, {Null(), Variant(1), Variant(String(u"v'文")), Variant(2.75), Variant(true)}},
  };
  const String name = u"/tmp/kv_text_identity.dat";
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Type));
    TMemTableKv t(nullptr);
    t.FieldDefs().Add(u"Id", ftInteger);
    t.FieldDefs().Add(u"F", c.Type, c.Size);
    t.CreateDataSet();
    int id = 0;
    for (const Variant& v : c.Values) {
      t.Append();
      t.StoreFieldValue(t.Fields()[0], Variant(++id));
      t.StoreFieldValue(t.Fields()[1], v);
      t.Post();
    }
    TMemoryStream binary;
    t.SaveToStream(&binary);
    binary.SetPosition(0);
    TMemoryStream converted;
    ComponentBinaryToText(&binary, &converted);
    ASSERT_NO_THROW(t.SaveToFile(name, dfmTextKv));
    TMemoryStream file;
    file.LoadFromFile(name);
    const std::vector<Byte> want = Bytes(converted), got = Bytes(file);
    ASSERT_EQ(std::string(want.begin(), want.end()), std::string(got.begin(), got.end()));
    TMemTableKv back(nullptr);
    ASSERT_NO_THROW(back.LoadFromFile(name));
    TMemoryStream again;
    back.SaveToStream(&again);
    EXPECT_EQ(Bytes(again), Bytes(binary));
  }
  // No records: the plain conversion.
  TMemTableKv empty(nullptr);
  empty.FieldDefs().Add(u"Id", ftInteger);
  empty.CreateDataSet();
  TMemoryStream binary;
  empty.SaveToStream(&binary);
  binary.SetPosition(0);
  TMemoryStream converted;
  ComponentBinaryToText(&binary, &converted);
  empty.SaveToFile(name, dfmTextKv);
  TMemoryStream file;
  file.LoadFromFile(name);
  EXPECT_EQ(Bytes(file), Bytes(converted));
  DeleteFile(name);
}

namespace {

std::string SavedBytes(TMemoryStream& Out) {
  const auto* p = static_cast<const char*>(Out.Memory());
  return std::string(p, p + Out.Size());
}

// What a table saves after reading In's text through the whole-text conversion ("error" when refused).
std::string ConversionReading(TMemoryStream& In) {
  try {
    In.SetPosition(0);
    TMemoryStream binary;
    ComponentTextToBinary(&In, &binary);
    binary.SetPosition(0);
    TMemTableKv a(nullptr);
    a.LoadFromStream(&binary);
    TMemoryStream out;
    a.SaveToStream(&out);
    return SavedBytes(out);
  } catch (const Exception&) {
    return "error";
  }
}

// What a table holding one row saves after loading the text file Name; a refused load keeps the row.
std::string FileReadingOverARow(const String& Name) {
  TMemTableKv b(nullptr);
  b.FieldDefs().Add(u"X", ftInteger);
  b.CreateDataSet();
  b.Append();
  b.StoreFieldValue(b.Fields()[0], Variant(42));
  b.Post();
  try {
    b.LoadFromFile(Name);
    TMemoryStream out;
    b.SaveToStream(&out);
    return SavedBytes(out);
  } catch (const Exception&) {
    EXPECT_EQ(b.RecordCount(), 1);
    EXPECT_EQ(b.Fields()[0]->AsInteger(), 42);
    return "error";
  }
}

}  // namespace

TEST_F(KvTest, TextLoadReadsWhatTheConversionReads) {
  // Text files read straight or by converting the whole text must agree on every edit a person might
  // make: the same rows, or the same error with the table left as it was.
  TMemTableKv t(nullptr);
  t.FieldDefs().Add(u"Id", ftInteger);
  t.FieldDefs().Add(u"Name", ftWideString, 20);
  t.FieldDefs().Add(u"Amount", ftFloat);
  t.FieldDefs().Add(u"Flag", ftBoolean);
  t.CreateDataSet();
  for (int i = 1; i <= 2; ++i) {
    t.Append();
    t.StoreFieldValue(t.Fields()[0], Variant(i));
    t.StoreFieldValue(t.Fields()[1], i == 1 ? Variant(String(u"ab张")) : Variant(Null()));
    t.StoreFieldValue(t.Fields()[2], Variant(1.25 * i));
    t.StoreFieldValue(t.Fields()[3], Variant(i == 1));
    t.Post();
  }
  const String name = u"/tmp/kv_text_edits.dat";
  t.SaveToFile(name, dfmTextKv);
  TMemoryStream saved;
  saved.LoadFromFile(name);
  const std::vector<Byte> savedBytes = Bytes(saved);
  const std::string original(savedBytes.begin(), savedBytes.end());
  ASSERT_NE(original.find("        1\r\n        'ab'#24352\r\n        1.25\r\n        True)"), std::string::npos) << original;
  const auto replaced = [&](std::string_view from, std::string_view to, bool all = false) {
    std::string s = original;
    for (size_t at = s.find(from); at != std::string::npos; at = all ? s.find(from, at + to.size()) : std::string::npos)
      s.replace(at, from.size(), to);
    return s;
  };
  const std::vector<std::string> texts = {
      original,
      replaced("\r\n", "\n", true),
      replaced("\r\n        ", " ", true),
      replaced("        1\r\n", "        1.0\r\n"),
      replaced("True", "true"),
      replaced("nil", "NIL"),
      replaced("'ab'#24352", "'a' +\r\n 'b' + #24352"),
      replaced("'ab'#24352", "'a''b'"),
      replaced("'ab'#24352", "'ab"),
      replaced("'ab'#24352", "#99999"),
      replaced("1.25", "+1.25"),
      replaced("        2\r\n", "        +2\r\n"),
      replaced("        2\r\n", "        99999999999\r\n"),
      replaced("1.25", "125e-2"),
      replaced("1.25", "1.25c"),
      replaced("1.25", "1.25d"),
      replaced("1.25", "-INF"),
      replaced("True", "Null"),
      replaced("True", "Yes"),
      replaced("        True)", ")"),
      replaced("        True)", "        True\r\n        False)"),
      replaced("        True)", "        True)\r\n      ()"),
      replaced("        True)", "        True)\r\n      5"),
      replaced("        True)", "        (1))"),
      replaced("'ab'#24352", "{0102}"),
      original + "junk",
      original + "\r\n\r\n",
      original.substr(0, original.size() - 12),
      replaced("    Data = (", "    Data = (\r\n      (1 'x' 2.5 False 7)\r\n"),
  };
  for (size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(i);
    SCOPED_TRACE(texts[i]);
    TMemoryStream in;
    in.WriteBuffer(texts[i].data(), static_cast<Int64>(texts[i].size()));
    in.SaveToFile(name);
    // The conversion's reading.
    const std::string want = ConversionReading(in);
    // The file's, into a table that holds a row already.
    const std::string got = FileReadingOverARow(name);
    EXPECT_EQ(got, want);
  }
  DeleteFile(name);
}

TEST_F(KvTest, TextLoadAcrossReadPieces) {
  // A text file several times the load's read piece, with a record longer than a piece (a 1.5 MB blob,
  // twice that as hex text) in the middle: read straight it gives what the whole-text conversion gives,
  // and a cut or an edit far into the file is refused or read as the conversion does.
  TMemTableKv t(nullptr);
  t.FieldDefs().Add(u"Id", ftInteger);
  t.FieldDefs().Add(u"Name", ftWideString, 40);
  t.FieldDefs().Add(u"Bin", ftBlob);
  t.CreateDataSet();
  const std::string big(1500000, '\x5a');
  for (int i = 1; i <= 8000; ++i) {
    t.Append();
    t.StoreFieldValue(t.Fields()[0], Variant(i));
    t.StoreFieldValue(t.Fields()[1], Variant(String(u"名字 ") + IntToStr(i)));
    if (i == 4000) {
      t.StoreFieldValue(t.Fields()[2], VarFromBytes(reinterpret_cast<const Byte*>(big.data()), big.size()));
    }
    t.Post();
  }
  const String name = u"/tmp/kv_text_pieces.dat";
  t.SaveToFile(name, dfmTextKv);
  TMemoryStream saved;
  saved.LoadFromFile(name);
  const std::vector<Byte> savedBytes = Bytes(saved);
  const std::string original(savedBytes.begin(), savedBytes.end());
  ASSERT_GT(original.size(), 3u << 20);
  TMemoryStream expected;
  t.SaveToStream(&expected);
  const auto expectedBytes = Bytes(expected);
  const size_t last = original.rfind("        7999\r\n");
  ASSERT_NE(last, std::string::npos);
  std::string edited = original;
  edited.replace(last + 8, 4, "(1)");
  const std::vector<std::string> texts = {original, original.substr(0, original.size() / 3),
                                          original.substr(0, original.size() - 40), edited};
  for (size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(i);
    TMemoryStream in;
    in.WriteBuffer(texts[i].data(), static_cast<Int64>(texts[i].size()));
    in.SaveToFile(name);
    const std::string want = ConversionReading(in);
    if (i == 0) {
      EXPECT_TRUE(want == std::string(expectedBytes.begin(), expectedBytes.end()));
    }
    const std::string got = FileReadingOverARow(name);
    EXPECT_TRUE(got == want) << got.size() << " bytes against " << want.size();
  }
  DeleteFile(name);
}
