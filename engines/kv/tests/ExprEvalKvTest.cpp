#include "KvTestSupport.h"
#include "engines/kv/ExprEvalKv.h"
#include "platform/db/testing/FilterExprBuilder.h"
#include "platform/rtl/DateTime.h"
#include "platform/sys/Utf.h"

namespace {

class KvExprTest : public KvTest {
 protected:
  void SetUp() override {
    KvTest::SetUp();
    t = std::make_unique<TMemTableKv>(nullptr);
    t->FieldDefs().Add(u"Name", ftString, 20);
    t->FieldDefs().Add(u"Id", ftInteger);
    t->FieldDefs().Add(u"Salary", ftFloat);
    t->FieldDefs().Add(u"Born", ftDateTime);
    t->FieldDefs().Add(u"Flag", ftBoolean);
    t->FieldDefs().Add(u"Wide", ftWideString, 20);
    t->FieldDefs().Add(u"Big", ftLargeint);
    t->CreateDataSet();
  }
  void Add(const Variant& name, const Variant& id, const Variant& salary, const Variant& born = Null(),
           const Variant& flag = Null(), const Variant& wide = Null()) {
    t->Append();
    t->FieldByName(u"Name")->SetAsVariant(name);
    t->FieldByName(u"Id")->SetAsVariant(id);
    t->FieldByName(u"Salary")->SetAsVariant(salary);
    t->FieldByName(u"Born")->SetAsVariant(born);
    t->FieldByName(u"Flag")->SetAsVariant(flag);
    t->FieldByName(u"Wide")->SetAsVariant(wide);
    t->Post();
  }
  TMemoryRecordKv* Rec(int i) { return t->MemTableData()->RecordsList()->GetRec(i); }
  // The root value for record i, or "error: <message>".
  String Eval(const String& text, int i = 0, TFilterOptions options = 0) {
    t->SetFilterOptions(options);
    TDataSetExprParserKv p(t.get(), dsptFilterKv);
    try {
      p.ParseExpression(text);
      const Variant v = p.EvaluateRecord(Rec(i));
      return v.IsNull() ? String(u"Null") : VarToStr(v);
    } catch (const Exception& e) {
      return u"error: " + e.Message();
    }
  }
  String Agg(const String& text) {
    TDataSetExprParserKv p(t.get(), dsptAggregateKv);
    try {
      p.ParseExpression(text);
      Variant v;
      p.CalcAggregateValue(t->RecordsView(), v);
      return v.IsNull() ? String(u"Null") : VarToStr(v);
    } catch (const Exception& e) {
      return u"error: " + e.Message();
    }
  }
  std::unique_ptr<TMemTableKv> t;
};

}  // namespace

TEST(KvLike, StandardMatching) {
  struct Case {
    const char16_t* pattern;
    const char16_t* value;
    bool match;
  } cases[] = {
      {u"ab%", u"abc", true},     {u"ab%", u"ab", true},       {u"a_%", u"a", false},     {u"a_%", u"ab", true},
      {u"%b", u"ab", true},       {u"%b", u"ba", false},       {u"abc%d", u"abc", false}, {u"ab%bc", u"abc", false},
      {u"ab%bc", u"abbc", true},  {u"c%b%a%", u"cab", false},  {u"c%b%a%x", u"cbax", true}, {u"c%b%a%x", u"cbxy", false},
      {u"ab%c%d%", u"abdcx", false}, {u"ab%c%d%", u"abcdx", true}, {u"a%c", u"a%xc", true},
      // backtracking: the first placement of a run is not the only one tried
      {u"%aab", u"aaab", true},   {u"a%b%b", u"abxbxb", true}, {u"%a_c", u"abcabd", false}, {u"%a_c", u"xxabc", true},
      {u"", u"", true},           {u"%", u"", true},           {u"%%", u"", true},        {u"", u"a", false},
      {u"_", u"", false},         {u"_", u"中", true},         {u"a__", u"abc", true},    {u"a__", u"ab", false},
  };
  for (const Case& c : cases) EXPECT_EQ(KvLikeMatch(c.value, c.pattern, false), c.match) << sys::Utf16ToUtf8(c.pattern) << " / " << sys::Utf16ToUtf8(c.value);
  EXPECT_TRUE(KvLikeMatch(u"ABC", u"a%c", true));
  EXPECT_FALSE(KvLikeMatch(u"ABC", u"a%c", false));
}

TEST_F(KvExprTest, EvaluatesThroughTheParser) {
  Add(VarFromAnsi("abcdef"), 10, 1500.5, VarFromDateTime(EncodeDate(1990, 5, 17) + EncodeTime(10, 30, 0, 250)), true,
      Variant(u"中文abc"));
  Add(VarFromAnsi("10"), Null(), Null(), Null(), false, Variant(u"xxx"));
  Add(VarFromAnsi(""), 3, 6.0);
  struct Case {
    const char16_t* text;
    int row;
    TFilterOptions options;
    const char16_t* result;
  } cases[] = {
      {u"Name = 'abcdef'", 0, 0, u"True"},
      {u"Name = 'ABCDEF'", 0, 0, u"False"},
      {u"Name = 'ABCDEF'", 0, foCaseInsensitive, u"True"},
      {u"Name LIKE 'ABC%'", 0, foCaseInsensitive, u"True"},
      {u"Name = 'abc*'", 0, 0, u"True"},  // partial compare through ncCompare
      {u"Name IS NULL", 2, 0, u"True"},   // an empty text is blank
      {u"Name IS NULL", 1, 0, u"False"},
      {u"Id IS NULL", 1, 0, u"True"},
      {u"Name < 9", 1, 0, u"True"},       // a text against a number compares texts
      {u"Id > 5 AND Salary < 2000", 0, 0, u"True"},
      {u"Id > 5 OR Salary < 2000", 2, 0, u"True"},
      {u"NOT (Id = 10)", 0, 0, u"False"},
      {u"Id IN (3, 10, 12)", 0, 0, u"True"},
      {u"Id NOT IN (3, 12)", 0, 0, u"True"},
      {u"Id + 1 = 11", 0, 0, u"True"},
      {u"Salary / 2", 2, 0, u"3"},
      {u"Name + 'x'", 2, 0, u"x"},
      {u"SUBSTRING(Name, 2)", 0, 0, u"bcdef"},
      {u"SUBSTRING(Name, 2, 3)", 0, 0, u"bcd"},
      {u"SUBSTRING(Name, 20)", 0, 0, u""},
      {u"UPPER(Name)", 0, 0, u"ABCDEF"},
      {u"LOWER(Wide)", 1, 0, u"xxx"},
      {u"TRIM(Name, '**')", 0, 0, u"abcdef"},
      {u"TRIMRIGHT(Wide, 'x')", 1, 0, u""},
      {u"TRIMLEFT(Name, 'a')", 0, 0, u"bcdef"},
      {u"YEAR(Born)", 0, 0, u"1990"},
      {u"MONTH(Born)", 0, 0, u"5"},
      {u"SECOND(Born)", 0, 0, u"0"},
      {u"HOUR(Born)", 1, 0, u"Null"},
      {u"Wide = '中文abc'", 0, 0, u"True"},
      {u"Flag", 0, 0, u"True"},
      {u"Flag", 1, 0, u"False"},
      {u"UPPER('a') IN ('A', 'B')", 0, 0, u"True"},
      {u"Big = 5000000000", 0, 0, u"False"},
  };
  for (const Case& c : cases) EXPECT_EQ(Eval(c.text, c.row, c.options), c.result) << sys::Utf16ToUtf8(c.text);
}

TEST_F(KvExprTest, DateTimeConstantEqualsToTheMillisecond) {
  Add(VarFromAnsi("a"), 1, 1.0, VarFromDateTime(EncodeDate(2024, 1, 31) + EncodeTime(10, 30, 0, 5)));
  EXPECT_EQ(Eval(u"Born = '2024-01-31 10:30:00.005'"), u"True");
  EXPECT_EQ(Eval(u"Born = '2024-01-31 10:30:00.006'"), u"False");
  EXPECT_EQ(Eval(u"Born > '2024-01-31'"), u"True");
}

TEST_F(KvExprTest, Aggregates) {
  EXPECT_EQ(Agg(u"COUNT(Id)"), u"0");
  EXPECT_EQ(Agg(u"COUNT(*)"), u"0");
  EXPECT_EQ(Agg(u"SUM(Salary)"), u"Null");
  Add(VarFromAnsi("b"), Null(), 3.0);
  Add(VarFromAnsi("a"), 2, Null());
  Add(VarFromAnsi("C"), 7, 6.0);
  struct Case {
    const char16_t* text;
    const char16_t* result;
  } cases[] = {
      {u"SUM(Salary)", u"9"},  {u"AVG(Salary)", u"4.5"}, {u"COUNT(Id)", u"2"},  {u"COUNT(*)", u"3"},
      {u"MIN(Id)", u"2"},      {u"MAX(Id)", u"7"},       {u"MIN(Name)", u"a"},  {u"MAX(Name)", u"C"},
      {u"SUM(Id) + 1", u"10"}, {u"MAX(Salary) - MIN(Salary)", u"3"},
  };
  for (const Case& c : cases) EXPECT_EQ(Agg(c.text), c.result) << sys::Utf16ToUtf8(c.text);
}

// Buffers the parser never writes: other operators, bad offsets, unsupported constants.
TEST_F(KvExprTest, HandBuiltBuffers) {
  Add(VarFromAnsi("abc"), 4, 2.0);
  using dbtesting::FilterExprBytes;
  auto run = [&](std::vector<Byte> bytes) -> String {
    TDataSetExprParserKv p(t.get(), dsptFilterKv);
    p.SetExprData(std::move(bytes));
    try {
      const Variant v = p.EvaluateRecord(Rec(0));
      return v.IsNull() ? String(u"Null") : VarToStr(v);
    } catch (const Exception& e) {
      return u"error: " + e.Message();
    }
  };
  // UPPER as a unary operator over a field.
  FilterExprBytes upper;
  upper.header(10 + 12 + 12 + kFieldNameSlot, 10 + 24).node(ncUnary, coUPPER, {12}).raw({0, 0}).node(ncField, coFIELD2, {1, 0}).slot("Name");
  upper.b.resize(10 + 24 + kFieldNameSlot);
  EXPECT_EQ(run(upper.b), u"ABC");
  // coMOD is not one of ours.
  FilterExprBytes mod;
  mod.header(10 + 40 + 8, 10 + 40)
      .node(ncBinary, coMOD, {12, 26})
      .node(ncConst, coCONST2, {6, 4, 0})
      .node(ncConst, coCONST2, {6, 4, 4})
      .u32(7).u32(2);
  EXPECT_EQ(run(mod.b), u"error: Operator <2:20> not supported.");
  // Function names and argument counts the parser would have refused.
  FilterExprBytes foo;
  foo.header(10 + 12 + 4, 10 + 12).node(ncFunction, coFUNC2, {0, 0}).text("FOO");
  EXPECT_EQ(run(foo.b), u"error: Unsupported function: FOO");
  FilterExprBytes upperNoArgs;
  upperNoArgs.header(10 + 12 + 6, 10 + 12).node(ncFunction, coFUNC2, {0, 0}).text("upper");
  EXPECT_EQ(run(upperNoArgs.b), u"error: Incorrect number of arguments in function <upper>");
  // A blob constant has no literal form.
  FilterExprBytes blob;
  blob.header(10 + 14 + 1, 10 + 14).node(ncConst, coCONST2, {3, 1, 0}).raw({0});
  EXPECT_EQ(run(blob.b), u"error: Unsupported data type: [15].");
  // Single (code 27) and a LongWord's 64-bit literal under the integer code.
  FilterExprBytes single;
  single.header(10 + 14 + 4, 10 + 14).node(ncConst, coCONST2, {27, 4, 0});
  const float f = 1.5f;
  const auto* fb = reinterpret_cast<const Byte*>(&f);
  single.b.insert(single.b.end(), fb, fb + 4);
  EXPECT_EQ(run(single.b), u"1.5");
  FilterExprBytes longword;
  longword.header(10 + 14 + 8, 10 + 14).node(ncConst, coCONST2, {6, 8, 0}).u32(4000000000u).u32(0);
  EXPECT_EQ(run(longword.b), u"4000000000");
  // Offsets past the end, a literal past the end, a child before its parent.
  FilterExprBytes past;
  past.header(10 + 12, 10 + 12).node(ncUnary, coNOT, {400});
  EXPECT_TRUE(run(past.b).starts_with(u"error:"));
  FilterExprBytes lit;
  lit.header(10 + 14, 10 + 14).node(ncConst, coCONST2, {7, 8, 60});
  EXPECT_TRUE(run(lit.b).starts_with(u"error:"));
  FilterExprBytes loop;
  loop.header(10 + 12, 10 + 12).node(ncUnary, coNOT, {0});
  EXPECT_TRUE(run(loop.b).starts_with(u"error:"));
  // Unknown node classes stay Null.
  FilterExprBytes tuple;
  tuple.header(10 + 8, 10 + 8).node(ncTuple, coTUPLE2, {});
  EXPECT_EQ(run(tuple.b), u"Null");
}

TEST_F(KvExprTest, FailedCompileKeepsThePreviousExpression) {
  Add(VarFromAnsi("abc"), 4, 2.0);
  TDataSetExprParserKv p(t.get(), dsptFilterKv);
  p.ParseExpression(u"Id = 4");
  EXPECT_THROW(p.ParseExpression(u"Id = = 4"), Exception);
  EXPECT_TRUE(p.IsCurRecordInFilter(Rec(0)));
  p.ParseExpression(u"");
  EXPECT_FALSE(p.HasData());
  EXPECT_FALSE(p.IsCurRecordInFilter(Rec(0)));
}
