// The filter parser and its compiled buffer: golden bytes built by hand from the layout in
// FilterExpr.h, a table of texts and their dumps, a table of bad texts and their messages, and a
// randomized loop that every outcome is either a sound buffer or the parser's error.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "platform/db/ExprParser.h"
#include "platform/db/FilterExpr.h"
#include "platform/db/testing/FilterExprBuilder.h"
#include "platform/db/testing/VectorDataSet.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {

// The memory table's map: each type to its own ordinal except the groups below.
TFieldMap VlxMap() {
  TFieldMap m{};
  for (int t = 0; t < kFieldTypeCount; ++t) m[static_cast<std::size_t>(t)] = static_cast<Byte>(t);
  m[ftCurrency] = ftFloat;
  m[ftAutoInc] = ftInteger;
  for (TFieldType t : {ftMemo, ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftOraBlob, ftOraClob})
    m[t] = ftBlob;
  m[ftFixedChar] = m[ftOraInterval] = ftString;
  m[ftFixedWideChar] = m[ftWideMemo] = ftWideString;
  m[ftOraTimeStamp] = ftTimeStamp;
  for (TFieldType t : {ftUnknown, ftCursor, ftReference, ftDataSet, ftVariant, ftInterface, ftIDispatch, ftConnection,
                       ftParams, ftStream, ftTimeStampOffset, ftObject})
    m[t] = 0;
  return m;
}

// The variant table's map: its own code numbering.
TFieldMap KvMap() {
  TFieldMap m{};
  auto set = [&](Byte code, std::initializer_list<TFieldType> types) {
    for (TFieldType t : types) m[t] = code;
  };
  set(0, {ftUnknown, ftVariant, ftInterface, ftIDispatch, ftShortint, ftByte, ftConnection, ftParams, ftStream, ftObject});
  set(1, {ftString, ftFixedChar, ftWideString, ftGuid, ftOraInterval});
  set(2, {ftDate});
  set(3, {ftBlob, ftMemo, ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftOraBlob, ftOraClob, ftWideMemo});
  set(4, {ftBoolean});
  set(5, {ftSmallint});
  set(6, {ftInteger, ftAutoInc, ftLongWord});
  set(7, {ftFloat, ftCurrency, ftExtended});
  set(8, {ftBCD});
  set(9, {ftBytes});
  set(10, {ftTime});
  set(11, {ftDateTime});
  set(12, {ftWord});
  set(15, {ftVarBytes});
  set(17, {ftCursor});
  set(18, {ftLargeint});
  set(20, {ftADT});
  set(21, {ftArray});
  set(22, {ftReference});
  set(23, {ftDataSet});
  set(24, {ftTimeStamp, ftOraTimeStamp});
  set(25, {ftFMTBcd});
  set(26, {ftFixedWideChar});
  set(27, {ftSingle});
  set(36, {ftTimeStampOffset});
  return m;
}

using Bytes = dbtesting::FilterExprBytes;

// The fields every case uses, as definitions of a closed dataset (field numbers 1..n in this order).
class FilterExprTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    ds.FieldDefs().Add(u"ID", ftInteger);                 // 1
    ds.FieldDefs().Add(u"Name", ftString, 20);            // 2
    ds.FieldDefs().Add(u"Address", ftWideString, 20);     // 3
    ds.FieldDefs().Add(u"Birthdate", ftDateTime);         // 4
    ds.FieldDefs().Add(u"Day", ftDate);                   // 5
    ds.FieldDefs().Add(u"Married", ftBoolean);            // 6
    ds.FieldDefs().Add(u"Salary", ftFloat);               // 7
    ds.FieldDefs().Add(u"Price", ftBCD, 2);               // 8
    ds.FieldDefs().Add(u"Small", ftSmallint);             // 9
    ds.FieldDefs().Add(u"Big", ftLargeint);               // 10
    ds.FieldDefs().Add(u"Code", ftWord);                  // 11
    ds.FieldDefs().Add(u"Exact", ftFMTBcd, 4);            // 12
    ds.FieldDefs().Add(u"Comment", ftWideMemo);           // 13
    ds.FieldDefs().Add(u"Stamp", ftTimeStamp);            // 14
    ds.FieldDefs().Add(u"At", ftTime);                    // 15
    ds.FieldDefs().Add(u"Ratio", ftSingle);               // 16
    ds.FieldDefs().Add(u"Tiny", ftShortint);              // 17
    ds.FieldDefs().Add(u"My Field", ftInteger);           // 18
    ds.FieldDefs().Add(u"Count", ftLongWord);             // 19
    ds.FieldDefs().Add(u"Guid", ftGuid, 38);              // 20
    ds.FieldDefs().Add(u"Ext", ftExtended);               // 21
    ds.FieldDefs().Add(u"Pic", ftBlob);                   // 22
    ds.FieldDefs().Add(u"Fixed", ftFixedChar, 5);         // 23
    ds.FieldDefs().Add(u"FixedW", ftFixedWideChar, 5);    // 24
    ds.FieldDefs().Add(u"Auto", ftAutoInc);               // 25
    ds.FieldDefs().Add(u"Money", ftCurrency);             // 26
    ds.FieldDefs().Add(u"Ora", ftOraTimeStamp);           // 27
    ds.FieldDefs().Add(u"Offs", ftTimeStampOffset);       // 28
    ds.FieldDefs().Add(u"Memo", ftMemo);                  // 29
    ds.FieldDefs().Add(u"Octet", ftByte);                 // 30
  }

  TExprData Compile(const String& text, TFilterOptions fo = 0, TParserOptions po = poExtSyntax,
                    const TFieldMap& map = VlxMap()) {
    TExprParser parser(&ds, text, fo, po, String(), map, false);
    EXPECT_EQ(parser.DataSize(), static_cast<int>(parser.FilterData().size()));
    return parser.FilterData();
  }
  std::string Dump(const String& text, TFilterOptions fo = 0, TParserOptions po = poExtSyntax,
                   const TFieldMap& map = VlxMap()) {
    const TExprData data = Compile(text, fo, po, map);
    return StringToUTF8(DumpFilterExpr(data, map));
  }
  std::string ErrorOf(const String& text, TFilterOptions fo = 0, TParserOptions po = poExtSyntax) {
    try {
      Compile(text, fo, po);
    } catch (const EExprParserError& e) {
      return StringToUTF8(e.Message());
    }
    return "(compiled)";
  }

  TVectorDataSet ds{nullptr};
};

// ---- golden bytes ----------------------------------------------------------------------------------------

TEST_F(FilterExprTest, GoldenIntegerComparison) {
  Bytes want;
  want.header(309, 48)
      .node(2, 3, {12, 24})         // @0  ncBinary coEQ
      .node(4, 13, {1, 0})          // @12 ncField ID, name slot at 0
      .node(5, 14, {3, 4, 257})     // @24 ncConst ftInteger, 4 bytes, at 257
      .slot("ID")
      .raw({5, 0, 0, 0});
  EXPECT_EQ(Compile(u"ID = 5"), want.b);
  // The constant on the left is swapped to the right with the operator mirrored; a bracketed name is the
  // same field.
  Bytes mirrored = want;
  mirrored.b[10 + 4] = 6;  // coLT
  EXPECT_EQ(Compile(u"5 > [ID]"), mirrored.b);
}

TEST_F(FilterExprTest, GoldenBooleanPartialAndWideText) {
  Bytes want;
  want.header(946, 164)
      .node(2, 10, {12, 50})          // @0   AND
      .node(2, 4, {24, 36})           // @12  Married <> false
      .node(4, 13, {6, 0})            // @24  Married, slot at 0
      .node(5, 14, {5, 2, 257})       // @36  ftBoolean false at 257
      .node(2, 11, {62, 104})         // @50  OR
      .node(3, 3, {0, 2, 78, 90})     // @62  ncCompare EQ, sensitive, partial 2
      .node(4, 13, {2, 259})          // @78  Name, slot at 259
      .node(5, 14, {1, 3, 516})       // @90  ftString "Jo" at 516
      .node(2, 31, {116, 128})        // @104 IN
      .node(4, 13, {3, 519})          // @116 Address, slot at 519
      .node(11, 36, {140, 0})         // @128 list element, last
      .node(5, 14, {4103, 6, 776})    // @140 wide text at 776
      .slot("Married")
      .raw({0, 0})
      .slot("Name")
      .text("Jo")
      .slot("Address")
      .raw({4, 0, 0x2D, 0x4E, 0x87, 0x65});  // 中文
  EXPECT_EQ(Compile(u"Married AND (Name = 'Jo*' OR Address IN ('中文'))"), want.b);
}

TEST_F(FilterExprTest, GoldenDateDateTimeAndBcd) {
  Bytes want;
  want.header(949, 148)
      .node(2, 10, {12, 100})         // @0   AND
      .node(2, 10, {24, 62})          // @12  AND
      .node(2, 7, {36, 48})           // @24  GE
      .node(4, 13, {5, 0})            // @36  Day
      .node(5, 14, {9, 4, 257})       // @48  ftDate
      .node(2, 6, {74, 86})           // @62  LT
      .node(4, 13, {4, 261})          // @74  Birthdate
      .node(5, 14, {11, 8, 518})      // @86  ftDateTime
      .node(2, 3, {112, 124})         // @100 EQ
      .node(4, 13, {8, 526})          // @112 Price
      .node(5, 14, {8, 18, 783})      // @124 ftBCD
      .slot("Day")
      .raw({0xAF, 0x40, 0x0B, 0x00})  // day 737455 = 2020-01-31
      .slot("Birthdate")
      .raw({0x00, 0x00, 0x09, 0x66, 0x89, 0xF9, 0xCC, 0x42})  // 737455 × 86,400,000 + 12 h, as a double
      .slot("Price")
      .raw({32, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0x50});  // 12.50: 32 digits, 2 places
  EXPECT_EQ(Compile(u"Day >= '2020-01-31' AND Birthdate < '2020-01-31 12:00:00' AND Price = 12.5"), want.b);
}

TEST_F(FilterExprTest, GoldenFunctionWithVariantTableMap) {
  Bytes want;
  want.header(337, 72)
      .node(2, 3, {12, 48})           // @0  EQ
      .node(10, 35, {0, 24})          // @12 function, name at 0, arguments at @24
      .node(11, 36, {36, 0})          // @24 the one argument
      .node(4, 13, {2, 6})            // @36 Name, slot at 6
      .node(5, 14, {1, 2, 263})       // @48 text (code 1 in this map) at 263
      .text("UPPER")
      .slot("Name")
      .text("X");
  EXPECT_EQ(Compile(u"upper(Name) = 'X'", 0, poExtSyntax, KvMap()), want.b);
}

TEST_F(FilterExprTest, FieldsOfAnOpenDatasetAndUnicodeNames) {
  TVectorDataSet open{nullptr};
  open.FieldDefs().Add(u"ID", ftInteger);
  open.FieldDefs().Add(u"名字", ftString, 10);
  open.Open();
  TExprParser parser(&open, u"名字 = 'a' and ID = 1", 0, poExtSyntax, String(), VlxMap(), false);
  EXPECT_EQ(StringToUTF8(DumpFilterExpr(parser.FilterData(), VlxMap())), "(AND (EQ [名字:2] #1:'a') (EQ [ID:1] #3:1))");
  TExprParser wide(&open, u"名字 = 'a'", 0, poExtSyntax, String(), VlxMap(), true);
  const TExprData& data = wide.FilterData();
  EXPECT_EQ(data.size(), 10u + 12 + 12 + 14 + 514 + 2);
  EXPECT_EQ(data[10 + 38 + 514], 'a');  // after the nodes and the one wide slot
  EXPECT_EQ(StringToUTF8(DumpFilterExpr(data, VlxMap(), true)), "(EQ [名字:2] #1:'a')");
  TExprParser function(&open, u"upper(名字) = 'A'", 0, poExtSyntax, String(), VlxMap(), true);
  EXPECT_EQ(StringToUTF8(DumpFilterExpr(function.FilterData(), VlxMap(), true)), "(EQ UPPER([名字:2]) #1:'A')");
  EXPECT_NO_THROW(CheckFilterExprData(function.FilterData(), true));
}

TEST_F(FilterExprTest, ACalculatedFieldIsWrittenWithNumberZero) {
  TVectorDataSet open{nullptr};
  auto* id = new TIntegerField(&open);
  id->SetFieldName(u"ID");
  id->SetDataSet(&open);
  auto* twice = new TIntegerField(&open);
  twice->SetFieldName(u"Twice");
  twice->SetFieldKind(fkCalculated);
  twice->SetDataSet(&open);
  open.Open();
  TExprParser parser(&open, u"Twice > 2 AND ID < 9", 0, poExtSyntax, String(), VlxMap(), false);
  EXPECT_EQ(StringToUTF8(DumpFilterExpr(parser.FilterData(), VlxMap())), "(AND (GT [Twice:0] #3:2) (LT [ID:1] #3:9))");
}

// ---- texts and their dumps ---------------------------------------------------------------------------------

struct DumpCase {
  const char16_t* text;
  TFilterOptions filterOptions;
  TParserOptions parserOptions;
  const char* dump;
};

TEST_F(FilterExprTest, TextsCompileToTheseTrees) {
  const TParserOptions X = poExtSyntax, A = poExtSyntax | poAggregate;
  const TFilterOptions CI = foCaseInsensitive, NP = foNoPartialCompare;
  const DumpCase cases[] = {
      // precedence and parentheses
      {u"ID = 1 OR ID = 2 AND ID = 3", 0, X, "(OR (EQ [ID:1] #3:1) (AND (EQ [ID:1] #3:2) (EQ [ID:1] #3:3)))"},
      {u"(ID = 1 OR ID = 2) AND ID = 3", 0, X, "(AND (OR (EQ [ID:1] #3:1) (EQ [ID:1] #3:2)) (EQ [ID:1] #3:3))"},
      {u"ID + Small * 2 > 10 - -3", 0, X, "(GT (ADD [ID:1] (MUL [Small:9] #3:2)) (SUB #3:10 #3:-3))"},
      {u"(ID + Small) * 2 / 4 <= 1.5", 0, X, "(LE (DIV (MUL (ADD [ID:1] [Small:9]) #3:2) #3:4) #6:1.5)"},
      {u"NOT ID = 1 AND NOT NOT Married", 0, X,
       "(AND (NOT (EQ [ID:1] #3:1)) (NOT (NOT (NE [Married:6] #5:false))))"},
      {u"-ID < 0", 0, X, "(LT (SUB #3:0 [ID:1]) #3:0)"},
      {u"ID = - -5 OR ID = -(-(6)) OR ID = +7", 0, X, "(OR (OR (EQ [ID:1] #3:5) (EQ [ID:1] #3:6)) (EQ [ID:1] #3:7))"},
      {u"Big = -9223372036854775808", 0, X, "(EQ [Big:10] #25:-9223372036854775808)"},
      // the swap and mirror
      {u"10 < ID", 0, X, "(GT [ID:1] #3:10)"},
      {u"10 >= ID", 0, X, "(LE [ID:1] #3:10)"},
      {u"'x' <> Name", 0, X, "(NE [Name:2] #1:'x')"},
      {u"10 < ID + 1", 0, X, "(LT #3:10 (ADD [ID:1] #3:1))"},
      // NULL
      {u"Name = NULL", 0, X, "(ISBLANK [Name:2])"},
      {u"NULL <> Name", 0, X, "(NOTBLANK [Name:2])"},
      {u"Name IS NULL OR Salary IS NOT NULL", 0, X, "(OR (ISBLANK [Name:2]) (NOTBLANK [Salary:7]))"},
      {u"UPPER(Name) = NULL", 0, X, "(ISBLANK UPPER([Name:2]))"},
      // Boolean fields as whole conditions only
      {u"Married", 0, X, "(NE [Married:6] #5:false)"},
      {u"Married = TRUE", 0, X, "(EQ [Married:6] #5:true)"},
      {u"Married = 'False' OR Married <> 0", 0, X, "(OR (EQ [Married:6] #5:false) (NE [Married:6] #5:false))"},
      // partial "*" and case-insensitivity
      {u"Name = 'Jo*'", 0, X, "(EQ/p2 [Name:2] #1:'Jo')"},
      {u"Name = 'Jo*'", NP, X, "(EQ [Name:2] #1:'Jo*')"},
      {u"Name = 'Jo*'", CI, X, "(EQ/ci/p2 [Name:2] #1:'Jo')"},
      {u"Name <> 'Jo'", CI, X, "(NE/ci [Name:2] #1:'Jo')"},
      {u"Name = '*'", 0, X, "(EQ [Name:2] #1:'*')"},
      {u"Name = ''", CI, X, "(EQ [Name:2] #1:'')"},
      {u"Name LIKE 'J%'", CI, X, "(LIKE/ci [Name:2] #1:'J%')"},
      {u"Name NOT LIKE 'J_n*'", 0, X, "(NOT (LIKE/p3 [Name:2] #1:'J_n'))"},
      {u"Name > 'Jo*'", CI, X, "(GT [Name:2] #1:'Jo*')"},
      {u"'Jo*' = Name", 0, X, "(EQ/p2 [Name:2] #1:'Jo')"},
      {u"Address = 'Jo*'", CI, X, "(EQ/ci/p2 [Address:3] #4103:u'Jo')"},
      {u"Comment LIKE '%备注%'", 0, X, "(LIKE [Comment:13] #4103:u'%备注%')"},
      {u"UPPER(Name) = 'JO*'", CI, X, "(EQ UPPER([Name:2]) #1:'JO*')"},
      // constants typed by the field beside them
      {u"Name = 5", 0, X, "(EQ [Name:2] #1:'5')"},
      {u"ID = '7'", 0, X, "(EQ [ID:1] #3:7)"},
      {u"ID > 2.5", 0, X, "(GT [ID:1] #6:2.5)"},
      {u"ID = 2.0", 0, X, "(EQ [ID:1] #3:2)"},
      {u"Salary > 2", 0, X, "(GT [Salary:7] #6:2)"},
      {u"Small = -32768 AND Code = 65535 AND Tiny = -128", 0, X,
       "(AND (AND (EQ [Small:9] #2:-32768) (EQ [Code:11] #4:65535)) (EQ [Tiny:17] #43:-128))"},
      {u"Big = 5000000000 AND Count = 4294967295", 0, X, "(AND (EQ [Big:10] #25:5000000000) (EQ [Count:19] #42:4294967295))"},
      {u"Exact = 1234567890.0123", 0, X, "(EQ [Exact:12] #8:bcd(1234567890.0123))"},
      {u"Price = '3.25'", 0, X, "(EQ [Price:8] #8:bcd(000000000000000000000000000003.25))"},
      {u"Price = 3", 0, X, "(EQ [Price:8] #8:bcd(000000000000000000000000000003.00))"},
      // more places than the field has are kept, not rounded away
      {u"Price = 1.234", 0, X, "(EQ [Price:8] #8:bcd(00000000000000000000000000001.234))"},
      {u"Price = 1.23456", 0, X, "(EQ [Price:8] #8:bcd(0000000000000000000000000001.2346))"},
      {u"Day = '2024/2/29'", 0, X, "(EQ [Day:5] #9:2024-02-29)"},
      {u"At > '10:30'", 0, X, "(GT [At:15] #10:10:30:00.000)"},
      {u"Birthdate = '2024-02-29 10:30:15.250'", 0, X, "(EQ [Birthdate:4] #11:2024-02-29 10:30:15.250)"},
      {u"Stamp = '2024-02-29 10:30'", 0, X, "(EQ [Stamp:14] #36:ts(2024-02-29 10:30:00.000))"},
      {u"Ratio < 0.5", 0, X, "(LT [Ratio:16] #51:0.5)"},
      // GUID text and extended floats go under the codes of plain text and floats, which evaluators know
      {u"Guid = '{0}' AND Ext > 1.5", 0, X, "(AND (EQ [Guid:20] #1:'{0}') (GT [Ext:21] #6:1.5))"},
      {u"[My Field] = 1 AND \"My Field\" = 2", 0, X, "(AND (EQ [My Field:18] #3:1) (EQ [My Field:18] #3:2))"},
      // constants with no field beside them keep their own type
      {u"'a' = 'b' OR 1 = 2.5 OR 3000000000 > 1e3 OR TRUE", 0, X,
       "(OR (OR (OR (EQ #1:'a' #1:'b') (EQ #3:1 #6:2.5)) (GT #25:3000000000 #6:1000)) #5:true)"},
      {u"'ก' = Name", 0, X, "(EQ [Name:2] #4103:u'ก')"},  // not in code page 936
      // IN lists
      {u"ID IN (1, '2', 3)", 0, X, "(IN [ID:1] {#3:1, #3:2, #3:3})"},
      {u"Name NOT IN ('a', UPPER('b'))", 0, X, "(NOT (IN [Name:2] {#1:'a', UPPER(#1:'b')}))"},
      // functions
      {u"SUBSTRING(Name, 2, 3) = 'bc'", 0, X, "(EQ SUBSTRING([Name:2], #3:2, #3:3) #1:'bc')"},
      {u"TRIM(Address, 'x') = 'y' AND TRIMLEFT(Name) <> '' AND TrimRight(Name) <> ''", 0, X,
       "(AND (AND (EQ TRIM([Address:3], #4103:u'x') #4103:u'y') (NE TRIMLEFT([Name:2]) #1:'')) "
       "(NE TRIMRIGHT([Name:2]) #1:''))"},
      {u"YEAR(Birthdate) = 2020 AND MONTH(Day) > 1 AND DAY(Day) < 3", 0, X,
       "(AND (AND (EQ YEAR([Birthdate:4]) #3:2020) (GT MONTH([Day:5]) #3:1)) (LT DAY([Day:5]) #3:3))"},
      {u"HOUR(At) + MINUTE(At) + SECOND(At) > 0 OR GETDATE() > Birthdate", 0, X,
       "(OR (GT (ADD (ADD HOUR([At:15]) MINUTE([At:15])) SECOND([At:15])) #3:0) (GT GETDATE() [Birthdate:4]))"},
      {u"DATE(Birthdate) = DATE('2020/1/2', 'yyyy/m/d') AND TIME(Birthdate) > 0.5", 0, X,
       "(AND (EQ DATE([Birthdate:4]) DATE(#1:'2020/1/2', #1:'yyyy/m/d')) (GT TIME([Birthdate:4]) #6:0.5))"},
      {u"LOWER(Address) LIKE '%a%'", 0, X, "(LIKE LOWER([Address:3]) #4103:u'%a%')"},
      // aggregates
      {u"SUM(Salary) / COUNT(*)", 0, A, "(DIV SUM([Salary:7]) COUNT())"},
      {u"MAX(Day) > '2020-01-01' AND MIN(ID) < 3 AND AVG(Salary) > COUNT(Name)", 0, A,
       "(AND (AND (GT MAX([Day:5]) #9:2020-01-01) (LT MIN([ID:1]) #3:3)) (GT AVG([Salary:7]) COUNT([Name:2])))"},
  };
  for (const DumpCase& c : cases) {
    SCOPED_TRACE(StringToUTF8(c.text));
    try {
      EXPECT_EQ(Dump(c.text, c.filterOptions, c.parserOptions), c.dump);
    } catch (const std::exception& e) {
      ADD_FAILURE() << e.what();
    }
  }
}

// Every constant encoding under both engines' maps: the code each evaluator will meet.
struct MapCase {
  const char16_t* text;
  const char* vlx;
  const char* kv;
};

TEST_F(FilterExprTest, ConstantCodesFollowEachMap) {
  const MapCase cases[] = {
      {u"Fixed = 'ab'", "(EQ [Fixed:23] #1:'ab')", "(EQ [Fixed:23] #1:'ab')"},
      {u"FixedW = 'ab'", "(EQ [FixedW:24] #4103:u'ab')", "(EQ [FixedW:24] #4103:u'ab')"},
      {u"Address = 'ab'", "(EQ [Address:3] #4103:u'ab')", "(EQ [Address:3] #4103:u'ab')"},
      {u"Memo LIKE '%a%'", "(LIKE [Memo:29] #1:'%a%')", "(LIKE [Memo:29] #1:'%a%')"},
      {u"Auto = 3", "(EQ [Auto:25] #3:3)", "(EQ [Auto:25] #6:3)"},
      {u"Money = 2.5", "(EQ [Money:26] #6:2.5)", "(EQ [Money:26] #7:2.5)"},
      {u"Small = 3", "(EQ [Small:9] #2:3)", "(EQ [Small:9] #5:3)"},
      {u"Code = 3", "(EQ [Code:11] #4:3)", "(EQ [Code:11] #12:3)"},
      {u"Tiny = -3", "(EQ [Tiny:17] #43:-3)", "(EQ [Tiny:17] #0:-3)"},
      {u"Octet = 200", "(EQ [Octet:30] #44:200)", "(EQ [Octet:30] #0:200)"},
      {u"Big = 3", "(EQ [Big:10] #25:3)", "(EQ [Big:10] #18:3)"},
      {u"Married = TRUE", "(EQ [Married:6] #5:true)", "(EQ [Married:6] #4:true)"},
      {u"Day = '2020-01-31'", "(EQ [Day:5] #9:2020-01-31)", "(EQ [Day:5] #2:2020-01-31)"},
      {u"At = '01:02:03'", "(EQ [At:15] #10:01:02:03.000)", "(EQ [At:15] #10:01:02:03.000)"},
      {u"Exact = 1.5", "(EQ [Exact:12] #8:bcd(1.5))", "(EQ [Exact:12] #8:bcd(1.5))"},
      {u"Ora = '2020-01-31 01:02'", "(EQ [Ora:27] #36:ts(2020-01-31 01:02:00.000))",
       "(EQ [Ora:27] #24:ts(2020-01-31 01:02:00.000))"},
      {u"Offs = '2020-01-31 01:02'", "(EQ [Offs:28] #0:ts(2020-01-31 01:02:00.000))",
       "(EQ [Offs:28] #36:ts(2020-01-31 01:02:00.000))"},
      {u"Ratio = 0.5", "(EQ [Ratio:16] #51:0.5)", "(EQ [Ratio:16] #27:0.5)"},
      {u"Count = 7", "(EQ [Count:19] #42:7)", "(EQ [Count:19] #6:7)"},
  };
  for (const MapCase& c : cases) {
    SCOPED_TRACE(StringToUTF8(c.text));
    EXPECT_EQ(Dump(c.text, 0, poExtSyntax, VlxMap()), c.vlx);
    EXPECT_EQ(Dump(c.text, 0, poExtSyntax, KvMap()), c.kv);
  }
}

TEST_F(FilterExprTest, BlankTextCompilesToNothing) {
  EXPECT_TRUE(Compile(u"").empty());
  EXPECT_TRUE(Compile(u"  \t ").empty());
}

// ---- bad texts --------------------------------------------------------------------------------------------

struct ErrorCase {
  String text;
  TFilterOptions filterOptions;
  TParserOptions parserOptions;
  const char* message;
};

TEST_F(FilterExprTest, BadTextsRaiseTheseMessages) {
  const TParserOptions X = poExtSyntax, A = poExtSyntax | poAggregate;
  String manyTerms;
  for (int i = 0; i < 1400; ++i) manyTerms += u"ID = 1 OR ";
  manyTerms += u"ID = 2";
  String longList = u"Name IN (";
  for (int i = 0; i < 300; ++i) longList += u"'" + String(200, u'x') + u"', ";
  longList += u"'y')";
  const ErrorCase cases[] = {
      {u"Name = 'abc", 0, X, "Unterminated text constant starting at position 8"},
      {u"Name = 'it''s", 0, X, "Unterminated text constant starting at position 8"},
      {u"[Name = 'a'", 0, X, "Unterminated field name starting at position 1"},
      {u"(ID = 1", 0, X, "')' expected at position 8"},
      {u"ID = 1)", 0, X, "End of expression expected at position 7"},
      {u"((ID = 1) OR (ID = 2)", 0, X, "')' expected at position 22"},
      {u"ID = = 1", 0, X, "Operand expected at position 6"},
      {u"ID =", 0, X, "Operand expected at position 5"},
      {u"ID = 1 AND", 0, X, "Operand expected at position 11"},
      {u"ID = 1 = 2", 0, X, "Comparisons do not chain: AND or OR expected at position 8"},
      {u"ID = 1 # 2", 0, X, "Invalid character '#' at position 8"},
      {u"ID = 12abc", 0, X, "Invalid number at position 6"},
      {u"ID = 1e", 0, X, "Exponent digits expected at position 8"},
      {u"ID IN ()", 0, X, "Operand expected at position 8"},
      {u"ID IN 1", 0, X, "'(' expected at position 7"},
      {u"ID IS 1", 0, X, "NULL expected at position 7"},
      {u"Nope = 1", 0, X, "Field 'Nope' not found"},
      {u"FOO(ID) = 1", 0, X, "Unknown function 'FOO' at position 1"},
      {u"UPPER(Name, ID) = 'x'", 0, X, "UPPER takes 1 argument at position 1"},
      {u"SUBSTRING(Name) = 'x'", 0, X, "SUBSTRING takes 2 to 3 arguments at position 1"},
      {u"Name LIKE NULL", 0, X, "NULL only allowed with '=' and '<>'"},
      {u"ID > NULL", 0, X, "NULL only allowed with '=' and '<>'"},
      {u"NULL = NULL", 0, X, "NULL only allowed with '=' and '<>'"},
      {u"ID + NULL = 1", 0, X, "NULL only allowed with '=' and '<>'"},
      {u"ID IN (1, NULL)", 0, X, "NULL only allowed with '=' and '<>'"},
      {u"NULL", 0, X, "NULL only allowed with '=' and '<>'"},
      {u"Small = 40000", 0, X, "Constant out of range"},
      {u"Code = -1", 0, X, "Constant out of range"},
      {u"Tiny = 128", 0, X, "Constant out of range"},
      {u"ID = 2147483648", 0, X, "Constant out of range"},
      {u"Count = -1", 0, X, "Constant out of range"},
      {u"Price = 1e30", 0, X, "Constant out of range"},
      {u"Exact = 123456789012345678901234567890123", 0, X, "Constant out of range"},
      {u"Day = '10000-01-01'", 0, X, "Constant is not correct type Date"},
      {u"Day > 1e12", 0, X, "Constant out of range"},
      {u"Name = '" + String(256, u'x') + u"'", 0, X, "Constant out of range"},
      {u"Name = '" + String(128, u'中') + u"'", 0, X, "Constant out of range"},
      {u"ID = 'abc'", 0, X, "Constant is not correct type Integer"},
      {u"Day = 'notadate'", 0, X, "Constant is not correct type Date"},
      {u"Married = 'maybe'", 0, X, "Constant is not correct type Boolean"},
      {u"Salary = TRUE", 0, X, "Constant is not correct type Float"},
      {u"Pic = 'x'", 0, X, "Constant is not correct type Blob"},
      {u"SUM(Salary) > 1", 0, X, "Aggregate function SUM not allowed in a filter at position 1"},
      {u"Salary > 1", 0, A, "Field 'Salary' must stand inside an aggregate function at position 1"},
      {u"SUM(SUM(Salary))", 0, A, "Aggregate functions do not nest at position 5"},
      {u"Salary * 2 > 1", 0, 0, "Arithmetic operators need the extended syntax option at position 8"},
      {u"UPPER(Name) = 'A'", 0, 0, "Functions need the extended syntax option at position 1"},
      {String(300, u'(') + u"ID = 1" + String(300, u')'), 0, X, "Expression nested too deeply at position 201"},
      {manyTerms, 0, X, "Filter expression too large: its compiled form would exceed 65535 bytes at position 2121"},
      {longList, 0, X, "Filter expression too large: its compiled form would exceed 65535 bytes at position 6"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(StringToUTF8(c.text.substr(0, 60)));
    EXPECT_EQ(ErrorOf(c.text, c.filterOptions, c.parserOptions), c.message);
  }
}

TEST_F(FilterExprTest, AFieldNameLongerThanItsSlotIsRefused) {
  ds.FieldDefs().Add(String(256, u'n'), ftInteger);
  EXPECT_NO_THROW(Compile(u"[" + String(256, u'n') + u"] = 1"));
  ds.FieldDefs().Add(String(257, u'm'), ftInteger);
  EXPECT_EQ(ErrorOf(u"[" + String(257, u'm') + u"] = 1"),
            "Field name '" + std::string(257, 'm') + "' is too long for a filter expression at position 1");
}

TEST_F(FilterExprTest, TheBiggestBufferThatFitsIsExact) {
  // Terms of 12 + 12 + 14 node bytes, a 257-byte slot and a 4-byte integer each, under OR nodes of 12.
  String text = u"ID = 1";
  int terms = 1;
  for (;; ++terms) {
    const int size = 10 + terms * (38 + 261) + (terms - 1) * 12;
    if (size + 38 + 261 + 12 > kExprMaxSize) break;
    text += u" OR ID = 1";
  }
  const TExprData data = Compile(text);
  EXPECT_EQ(data.size(), static_cast<std::size_t>(10 + terms * (38 + 261) + (terms - 1) * 12));
  EXPECT_NO_THROW(CheckFilterExprData(data));
}

// ---- the reader refuses malformed buffers -------------------------------------------------------------------

struct HostileCase {
  const char* what;
  std::size_t at;        // byte to overwrite
  std::vector<Byte> with;
  const char* message;   // what the error says (a part of it)
};

TEST_F(FilterExprTest, ReaderRefusesHostileBuffers) {
  // "ID = 5": header, EQ @0 (operands at 18, 20), field @12 (operands at 30, 32), constant @24
  // (operands at 42, 44, 46), literal area from 48: the 257-byte slot, then 4 bytes.
  const TExprData good = Compile(u"ID = 5");
  ASSERT_EQ(good.size(), 309u);
  const HostileCase cases[] = {
      {"version", 0, {3, 0}, "version 3 instead of 2"},
      {"size", 2, {0x34, 0x01}, "header size 308 but 309 bytes"},
      {"marker", 4, {0xFE, 0xFF}, "no 0xFFFF marker"},
      {"node start", 6, {12, 0}, "node area does not start at 10"},
      {"literal start low", 8, {9, 0}, "literal area start 9 out of bounds"},
      {"literal start high", 8, {0x36, 0x01}, "literal area start 310 out of bounds"},
      {"child names the root", 20, {0, 0}, "names the node at 0 before it"},
      {"child outside", 18, {0x2C, 0x01}, "node offset 300 outside the node area"},
      {"child overlaps the end", 20, {34, 0}, "outside the node area"},
      {"constant too long", 44, {0x60, 0xEA}, "runs past the buffer"},
      {"constant of 0 bytes", 44, {0, 0}, "constant of 0 bytes"},
      {"name slot cut", 32, {10, 0}, "runs past the buffer"},
      {"unknown class", 10, {99}, "node class 99"},
      {"case flag", 10, {3}, "case flag"},  // EQ turned ncCompare: its operands now read as flag 12
  };
  for (const HostileCase& c : cases) {
    SCOPED_TRACE(c.what);
    TExprData bad = good;
    std::copy(c.with.begin(), c.with.end(), bad.begin() + static_cast<std::ptrdiff_t>(c.at));
    try {
      CheckFilterExprData(bad);
      ADD_FAILURE() << "accepted";
    } catch (const EExprDataError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
  // A list element whose "next" leads back to an earlier element would loop: refused.
  TExprData list = Compile(u"ID IN (1, 2)");
  TExprDataReader reader(list);
  const auto in = reader.ReadNode(0);
  const auto first = reader.ReadChild(in, 1);
  const auto second = reader.ReadChild(first, 1);
  const std::size_t nextOperand = kExprNodeStart + static_cast<std::size_t>(second.Offset) + 8 + 2;
  list[nextOperand] = static_cast<Byte>(first.Offset);
  list[nextOperand + 1] = static_cast<Byte>(first.Offset >> 8);
  EXPECT_THROW(CheckFilterExprData(list), EExprDataError);
}

TEST_F(FilterExprTest, ReaderRefusesEveryCutAndMostFlips) {
  const TExprData good = Compile(u"Married AND (Name = 'Jo*' OR Address IN ('中文', 'b')) AND UPPER(Name) LIKE 'J%'");
  ASSERT_NO_THROW(CheckFilterExprData(good));
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    const std::vector<Byte> part(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_THROW(CheckFilterExprData(part), EExprDataError) << "cut at " << cut;
  }
  // A flipped byte either leaves a buffer the checker can walk or is refused; never anything else.
  for (std::size_t i = 0; i < good.size(); ++i) {
    std::vector<Byte> bad = good;
    bad[i] ^= 0xA5;
    try {
      CheckFilterExprData(bad);
      (void)DumpFilterExpr(bad, VlxMap());
    } catch (const EExprDataError&) {
    }
  }
}

// ---- randomized texts -----------------------------------------------------------------------------------------

TEST_F(FilterExprTest, RandomTextsCompileToSoundBuffersOrRaiseTheParserError) {
  static const char16_t* const kPieces[] = {
      u"ID", u"Name", u"Address", u"Birthdate", u"Day", u"Married", u"Salary", u"Price", u"Small", u"Exact",
      u"[My Field]", u"Nope", u"=", u"<>", u"<", u">", u"<=", u">=", u"+", u"-", u"*", u"/", u"(", u")", u",",
      u"AND", u"OR", u"NOT", u"LIKE", u"IN", u"IS", u"NULL", u"TRUE", u"'Jo*'", u"'2020-01-31'", u"'中文'", u"''",
      u"'a''b'", u"1", u"-5", u"2.5", u"1e3", u"70000", u"UPPER(", u"SUBSTRING(", u"TRIM(", u"YEAR(", u"COUNT(",
      u"SUM(", u"GETDATE()", u"'", u"[", u"!", u"#",
  };
  static const char16_t* const kSeeds[] = {
      u"ID = 1 AND (Name LIKE 'J%' OR Address IN ('a', 'b'))",
      u"NOT Married OR YEAR(Birthdate) > 2000 AND Price <> 12.5",
      u"SUBSTRING(Name, 1, 2) = 'Jo*' AND Salary * 2 >= Small - 3",
      u"Day IS NOT NULL AND Exact < 1.25 AND [My Field] IN (1, 2, 3)",
  };
  std::mt19937 rng(20261211);
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  int compiled = 0, refused = 0;
  for (int round = 0; round < 3000; ++round) {
    String text;
    if (round % 2 == 0) {
      const std::size_t count = 1 + pick(14);
      for (std::size_t i = 0; i < count; ++i) text += String(kPieces[pick(std::size(kPieces))]) + u" ";
    } else {
      text = kSeeds[pick(std::size(kSeeds))];
      const std::size_t edits = 1 + pick(4);
      for (std::size_t e = 0; e < edits && !text.empty(); ++e) {
        const std::size_t at = pick(text.size());
        switch (pick(3)) {
          case 0: text.erase(at, 1 + pick(3)); break;
          case 1: text.insert(at, kPieces[pick(std::size(kPieces))]); break;
          default: text[at] = static_cast<char16_t>(u' ' + pick(95)); break;
        }
      }
    }
    for (TFilterOptions fo : {0u, static_cast<unsigned>(foCaseInsensitive)}) {
      try {
        const bool unicode = round % 5 == 0;
        const TFieldMap map = round % 4 < 2 ? VlxMap() : KvMap();
        TExprParser parser(&ds, text, fo, poExtSyntax | (round % 3 == 0 ? static_cast<unsigned>(poAggregate) : 0u),
                           String(), map, unicode);
        const TExprData& data = parser.FilterData();
        if (data.empty()) continue;
        ASSERT_LE(data.size(), 65535u);
        ASSERT_NO_THROW(CheckFilterExprData(data, unicode)) << StringToUTF8(text);
        ASSERT_NO_THROW((void)DumpFilterExpr(data, map, unicode)) << StringToUTF8(text);
        ++compiled;
      } catch (const EExprParserError&) {
        ++refused;
      }
    }
  }
  // Both outcomes occur, so the loop exercises the writer as well as the errors.
  EXPECT_GT(compiled, 100);
  EXPECT_GT(refused, 100);
}

}  // namespace
