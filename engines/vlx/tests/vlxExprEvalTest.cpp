// The vlx filter evaluator: filters compiled by the platform parser evaluated against records with and
// without nulls, hand-built buffers for the nodes the parser never writes, and malformed buffers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engines/vlx/vlxExprEval.h"
#include "platform/db/testing/FilterExprBuilder.h"
#include "platform/db/testing/VectorDataSet.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {

using Bytes = dbtesting::FilterExprBytes;

const char16_t* const kFieldNames[] = {u"ID", u"Name", u"Address", u"Salary", u"Birthdate", u"Married", u"Note"};

// A record as the evaluator sees it: values by field index, names resolved by the same order.
class TestRecord : public TvlxFilterRecord {
 public:
  explicit TestRecord(std::vector<Variant> values) : Values(std::move(values)) {}
  int FieldIndex(const String& Name) const override {
    ++Lookups;
    for (int i = 0; i < static_cast<int>(std::size(kFieldNames)); ++i)
      if (AnsiSameText(Name, kFieldNames[i])) return i;
    throw EDatabaseError(u"Field '" + Name + u"' not found");
  }
  Variant FieldValue(int Index) const override { return Values[static_cast<std::size_t>(Index)]; }

  std::vector<Variant> Values;
  mutable int Lookups = 0;
};

const TDateTime kBirth = 45322 + 10.5 / 24;  // 2024-01-31 10:30

TestRecord John() {
  return TestRecord({Variant(1), Variant(u"John"), Variant(u"北京路"), Variant(100.5), VarFromDateTime(kBirth),
                     Variant(true), Variant(u"  hi  ")});
}
TestRecord Jo() { return TestRecord({Variant(2), Variant(u"Jo"), Null(), Null(), Null(), Null(), Null()}); }
TestRecord J() { return TestRecord({Variant(3), Variant(u"J"), Null(), Null(), Null(), Variant(false), Null()}); }

class vlxExprEvalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    ds.FieldDefs().Add(u"ID", ftInteger);
    ds.FieldDefs().Add(u"Name", ftString, 20);
    ds.FieldDefs().Add(u"Address", ftWideString, 20);
    ds.FieldDefs().Add(u"Salary", ftFloat);
    ds.FieldDefs().Add(u"Birthdate", ftDateTime);
    ds.FieldDefs().Add(u"Married", ftBoolean);
    ds.FieldDefs().Add(u"Note", ftString, 20);
  }

  TVectorDataSet ds{nullptr};
};

std::string ErrorOf(TvlxExprEvaluator& eval, const TvlxFilterRecord& rec) {
  try {
    eval.Evaluate(rec);
  } catch (const EMemTableFilterError& e) {
    return StringToUTF8(e.Message());
  }
  return "(evaluated)";
}

// ---- evaluation table -----------------------------------------------------------------------------------

TEST_F(vlxExprEvalTest, EvaluationTable) {
  struct Case {
    const char16_t* text;
    TFilterOptions options;
    bool john, jo, j;  // the record with every value, and two with nulls
  };
  const Case cases[] = {
      {u"ID = 1", 0, true, false, false},
      {u"1 < ID", 0, false, true, true},
      {u"ID >= 2 AND ID <= 2", 0, false, true, false},
      {u"Salary = NULL", 0, false, true, true},
      {u"Salary <> NULL", 0, true, false, false},
      {u"Salary IS NULL", 0, false, true, true},
      {u"Salary IS NOT NULL", 0, true, false, false},
      // Every comparison with a null value is false, whatever the operator.
      {u"Salary > 0", 0, true, false, false},
      {u"Salary <= 0", 0, false, false, false},
      {u"Salary <> 0", 0, true, false, false},
      {u"Salary > 0 OR ID = 2", 0, true, true, false},
      {u"NOT (Salary > 100)", 0, false, true, true},
      {u"Married", 0, true, false, false},
      {u"NOT Married", 0, false, true, true},
      {u"Married AND ID = 1", 0, true, false, false},
      // Partial comparison: "Jo*" keeps its first two characters.
      {u"Name = 'Jo*'", 0, true, true, false},
      {u"Name <> 'Jo*'", 0, false, false, true},
      {u"Name = 'Jo*'", foNoPartialCompare, false, false, false},
      {u"Name = 'JOHN'", 0, false, false, false},
      {u"Name = 'JOHN'", foCaseInsensitive, true, false, false},
      {u"Name = 'jo*'", foCaseInsensitive, true, true, false},
      // Arithmetic with a null operand is null, and a comparison with it false.
      {u"Salary + 1 > 101", 0, true, false, false},
      {u"Salary + 1 > 0", 0, true, false, false},
      {u"Salary * 2 = 201", 0, true, false, false},
      {u"Salary / 2 > 50", 0, true, false, false},
      {u"ID - 1 = 1", 0, false, true, false},
      {u"-ID = -3", 0, false, false, true},
      // LIKE masks: * any run, ? one character, [set]; letters regardless of case.
      {u"Name LIKE 'J*n'", 0, true, false, false},
      {u"Name LIKE '?o*'", 0, true, true, false},
      {u"Name LIKE 'j*'", 0, true, true, true},
      {u"Name LIKE 'Jo*'", 0, true, true, false},
      {u"Name LIKE '[a-k]'", 0, false, false, true},
      {u"Name LIKE '[!j]*'", 0, false, false, false},
      {u"Name NOT LIKE 'J?'", 0, true, false, true},
      {u"Address LIKE '北*'", foNoPartialCompare, true, false, false},
      {u"Note LIKE '*'", 0, true, false, false},
      // IN over a list and over one element.
      {u"ID IN (1, 3)", 0, true, false, true},
      {u"Name IN ('Jo', 'J')", 0, false, true, true},
      {u"Name IN ('Jo')", 0, false, true, false},
      {u"ID NOT IN (2)", 0, true, false, true},
      {u"Salary IN (100.5, 2)", 0, true, false, false},
      // Wide text keeps its kind through functions and a one-element list.
      {u"UPPER(Address) = '北京路'", 0, true, false, false},
      {u"Address IN ('北京路')", 0, true, false, false},
      {u"Address = '北京路'", 0, true, false, false},
      {u"Address = '北京*'", 0, true, false, false},
      {u"UPPER(Name) = 'JOHN'", 0, true, false, false},
      {u"LOWER(Name) = 'jo'", 0, false, true, false},
      // SUBSTRING counts UTF-16 characters; start and length are clamped.
      {u"SUBSTRING(Name, 2, 2) = 'oh'", 0, true, false, false},
      {u"SUBSTRING(Name, 0, 100) = 'John'", 0, true, false, false},
      {u"SUBSTRING(Name, 3) = 'hn'", 0, true, false, false},
      {u"SUBSTRING(Name, 10, 2) = ''", 0, true, true, true},
      {u"SUBSTRING(Name, 2, -1) = ''", 0, true, true, true},
      {u"SUBSTRING(Address, 2, 1) = '京'", 0, true, false, false},
      {u"TRIM(Note) = 'hi'", 0, true, false, false},
      {u"TRIMLEFT(Note) = 'hi  '", 0, true, false, false},
      {u"TRIMRIGHT(Note) = '  hi'", 0, true, false, false},
      {u"TRIM(Name, 'J') = 'ohn'", 0, true, false, false},
      // Date parts read the date-time itself.
      {u"YEAR(Birthdate) = 2024", 0, true, false, false},
      {u"MONTH(Birthdate) = 1 AND DAY(Birthdate) = 31", 0, true, false, false},
      {u"HOUR(Birthdate) = 10 AND MINUTE(Birthdate) = 30 AND SECOND(Birthdate) = 0", 0, true, false, false},
      {u"DATE(Birthdate) = 45322", 0, true, false, false},
      {u"TIME(Birthdate) > 0.43 AND TIME(Birthdate) < 0.44", 0, true, false, false},
      {u"Birthdate > DATE('31/01/2024', 'dd/mm/yyyy')", 0, true, false, false},
      {u"Birthdate < DATE('01/02/2024', 'dd/mm/yyyy')", 0, true, false, false},
      {u"Birthdate = '2024/1/31 10:30:00'", 0, true, false, false},
      {u"GETDATE() > Birthdate", 0, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(StringToUTF8(c.text) + " options " + std::to_string(c.options));
    TvlxExprParser parser(&ds, c.text, c.options);
    const TestRecord records[] = {John(), Jo(), J()};
    const bool expected[] = {c.john, c.jo, c.j};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(parser.Evaluate(records[i]), expected[i]) << "record " << i;
  }
}

// Each field node is resolved once per record source, not per evaluation.
TEST_F(vlxExprEvalTest, FieldNamesResolvedOnce) {
  TvlxExprParser parser(&ds, u"ID > 0 AND Name <> 'x' AND ID < 10", 0);
  TestRecord rec = John();
  for (int i = 0; i < 5; ++i) {
    rec.Values[0] = Variant(i);
    parser.Evaluate(rec);
  }
  EXPECT_EQ(rec.Lookups, 3);
}

TEST_F(vlxExprEvalTest, InListHoldsFiftyOneValues) {
  auto listOf = [](int count) {
    String text = u"ID IN (";
    for (int i = 0; i < count; ++i) text += (i ? u", " : u"") + IntToStr(100 + i);
    return text + u")";
  };
  TestRecord last({Variant(150), Null(), Null(), Null(), Null(), Null(), Null()});
  TvlxExprParser fits(&ds, listOf(51), 0);
  EXPECT_TRUE(fits.Evaluate(last));
  EXPECT_FALSE(fits.Evaluate(John()));
  TvlxExprParser over(&ds, listOf(52), 0);
  EXPECT_THROW(over.Evaluate(last), EVariantBadIndexError);
}

// ---- hand-built buffers: nodes the parser never writes, and the messages -----------------------------------

TEST_F(vlxExprEvalTest, HandBuiltNodes) {
  // @0 ncBinary op (@12, @26), two int32 constants.
  auto binary = [](unsigned cls, unsigned op, int a, int b) {
    Bytes x;
    x.header(10 + 12 + 14 + 14 + 8, 10 + 12 + 14 + 14)
        .node(cls, op, {12, 26})
        .node(5, 14, {3, 4, 0})
        .node(5, 14, {3, 4, 4})
        .u32(static_cast<unsigned>(a))
        .u32(static_cast<unsigned>(b));
    return x.b;
  };
  struct Case {
    std::vector<Byte> data;
    const char* value;  // VarToStr of the root value, or the error
  };
  const Case cases[] = {
      {binary(2, coMOD, 7, 3), "1"},
      {binary(2, coREM, 7, 3), "1"},
      {binary(2, coADD, 7, 3), "10"},
      {binary(2, coASSIGN, 7, 3), "Operator not supported (37)."},
      {binary(2, coCONT, 7, 3), "Operator not supported (27)."},
      {binary(7, coEQ, 7, 3), "iClass Out of range (7)"},
  };
  TestRecord rec = John();
  for (const Case& c : cases) {
    TvlxExprEvaluator eval(c.data);
    std::string got;
    try {
      got = StringToUTF8(VarToStr(eval.EvaluateValue(rec)));
    } catch (const EMemTableFilterError& e) {
      got = StringToUTF8(e.Message());
    }
    EXPECT_EQ(got, c.value);
  }
}

TEST_F(vlxExprEvalTest, UnaryAndConstantCodes) {
  // ncUnary op over one constant: @0 unary (@10), @10 ncConst code, size, literal at 0.
  auto unary = [](unsigned op, unsigned code, std::initializer_list<int> literal) {
    Bytes x;
    const unsigned lit = 10 + 10 + 14;
    x.header(lit + static_cast<unsigned>(literal.size()), lit)
        .node(1, op, {10})
        .node(5, 14, {code, static_cast<unsigned>(literal.size()), 0})
        .raw(literal);
    return x.b;
  };
  struct Case {
    std::vector<Byte> data;
    const char* value;
  };
  const Case cases[] = {
      {unary(coMINUS, 2, {0xFE, 0xFF}), "2"},
      {unary(coMINUS, 3, {5, 0, 0, 0}), "-5"},
      {unary(coMINUS, 4, {0xFF, 0xFF}), "-65535"},
      {unary(coNOT, 5, {1, 0}), "False"},
      {unary(coNOT, 5, {0, 0}), "True"},
      {unary(coMINUS, 25, {1, 0, 0, 0, 0, 0, 0, 0x80}), "9223372036854775807"},
      {unary(coMINUS, 42, {0xFF, 0xFF, 0xFF, 0xFF}), "-4294967295"},
      {unary(coMINUS, 43, {0xFF}), "1"},
      {unary(coMINUS, 44, {0xFF}), "-255"},
      {unary(coUPPER, 1, {'a', 'b', 0}), "AB"},
      {unary(coLOWER, 4103, {4, 0, 'A', 0, 'B', 0}), "ab"},
      {unary(coISBLANK, 3, {1, 0, 0, 0}), "False"},
      {unary(coNOTBLANK, 3, {1, 0, 0, 0}), "True"},
      {unary(coCONT, 3, {1, 0, 0, 0}), ""},  // no value: unassigned
      {unary(coMINUS, 51, {0, 0}), "Unknown fieldtype (51)"},
      {unary(coMINUS, 0, {0, 0}), "Unknown fieldtype (0)"},
      // A literal shorter than its type reads.
      {unary(coMINUS, 3, {1, 0}), "Malformed filter expression: constant too short for its type"},
  };
  TestRecord rec = John();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    TvlxExprEvaluator eval(c.data);
    std::string got;
    try {
      got = StringToUTF8(VarToStr(eval.EvaluateValue(rec)));
    } catch (const EMemTableFilterError& e) {
      got = StringToUTF8(e.Message());
    }
    EXPECT_EQ(got, c.value);
  }
}

TEST_F(vlxExprEvalTest, ConstantDatesAndBcd) {
  auto constant = [](unsigned code, std::vector<int> literal) {
    Bytes x;
    const unsigned lit = 10 + 14;
    x.header(lit + static_cast<unsigned>(literal.size()), lit)
        .node(5, 14, {code, static_cast<unsigned>(literal.size()), 0});
    for (int v : literal) x.b.push_back(static_cast<Byte>(v));
    return x.b;
  };
  TestRecord rec = John();
  // 2024-01-31 is day 738916 counted from 0001-01-01 as day 1.
  const int day = 45322 + DateDelta;
  auto le = [](Int64 v, int n) {
    std::vector<int> out;
    for (int i = 0; i < n; ++i) out.push_back(static_cast<int>((v >> (8 * i)) & 0xFF));
    return out;
  };
  TvlxExprEvaluator date(constant(9, le(day, 4)));
  EXPECT_EQ(date.EvaluateValue(rec).AsDateTime(), 45322.0);
  TvlxExprEvaluator time(constant(10, le(37800000, 4)));
  EXPECT_DOUBLE_EQ(time.EvaluateValue(rec).AsDateTime(), 10.5 / 24);
  double ms = static_cast<double>(day) * 86400000.0 + 37800000.0;
  Int64 bits;
  std::memcpy(&bits, &ms, 8);
  TvlxExprEvaluator dateTime(constant(11, le(bits, 8)));
  EXPECT_DOUBLE_EQ(dateTime.EvaluateValue(rec).AsDateTime(), kBirth);
  // 12.50: precision 32, 2 places, digits 0..0 1 2 5 0 with 4 integer... packed as TBcd of "12.50".
  const TBcd bcd = StrToBcd(u"12.50");
  std::vector<int> bcdBytes{bcd.Precision, bcd.SignSpecialPlaces};
  for (int i = 0; i < 16; ++i) bcdBytes.push_back(bcd.Fraction[i]);
  TvlxExprEvaluator money(constant(8, bcdBytes));
  EXPECT_EQ(money.EvaluateValue(rec).AsCurrency(), Currency::FromScaled(125000));
  TvlxExprEvaluator stamp(constant(36, {0xE8, 0x07, 1, 0, 31, 0, 10, 0, 30, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(stamp.EvaluateValue(rec).AsSQLTimeStamp().Day, 31);
}

TEST_F(vlxExprEvalTest, FunctionAndFieldMessages) {
  // @0 ncFunction name at 0, no arguments.
  auto function = [](unsigned op, const char* name) {
    Bytes x;
    const unsigned lit = 10 + 12;
    x.header(lit + static_cast<unsigned>(std::strlen(name)) + 1, lit).node(10, op, {0, 0}).text(name);
    return x.b;
  };
  Bytes field;
  field.header(10 + 12 + kFieldNameSlot, 22).node(4, coEQ, {1, 0}).slot("ID");
  Bytes substring;  // SUBSTRING with one argument: not a list
  substring.header(10 + 12 + 12 + 14 + 14, 48)
      .node(10, coFUNC2, {0, 12})
      .node(11, coLISTELEM2, {24, 0})
      .node(5, 14, {3, 4, 10})
      .text("SUBSTRING")
      .u32(1);
  struct Case {
    std::vector<Byte> data;
    const char* message;
  };
  const Case cases[] = {
      {function(coFUNC2, "Foo"), "Invalid function name Foo"},
      {function(coEQ, "UPPER"), "Operator not supported (3)."},
      {field.b, "Unknown operator (3)"},
      {substring.b, "Invalid or missing parameter for function SUBSTRING"},
  };
  TestRecord rec = John();
  for (const Case& c : cases) {
    TvlxExprEvaluator eval(c.data);
    EXPECT_EQ(ErrorOf(eval, rec), c.message);
  }
  TvlxExprParser parser(&ds, u"YEAR(Name) = 1", 0);
  EXPECT_THROW(parser.Evaluate(rec), EMemTableFilterError);
}

// ---- malformed buffers ------------------------------------------------------------------------------------

// A compiled filter cut at every length, and with each offset pointed past the end, raises the filter error
// and never reads outside the buffer (the sanitizers watch the reads).
TEST_F(vlxExprEvalTest, MalformedBuffers) {
  TvlxExprParser parser(&ds, u"Name = 'Jo*' AND ID IN (1, 2) AND UPPER(Address) LIKE 'X*' OR Salary + 1 > 2", 0);
  const TExprData good = parser.FilterData();
  TestRecord rec = John();
  for (std::size_t cut = 0; cut < good.size(); ++cut) {
    std::vector<Byte> data(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    data.shrink_to_fit();
    try {
      TvlxExprEvaluator eval(data);
      eval.Evaluate(rec);
      if (cut != 0) ADD_FAILURE() << "cut at " << cut << " evaluated";
    } catch (const EMemTableFilterError&) {
    }
  }
  // Every 16-bit word of the node area and header set past the end (or to odd values).
  const int literalStart = good[8] | (good[9] << 8);
  for (int at = 0; at + 1 < literalStart; at += 2) {
    for (unsigned value : {0xFFFFu, static_cast<unsigned>(good.size()), 1u, 7u}) {
      std::vector<Byte> data = good;
      data[static_cast<std::size_t>(at)] = static_cast<Byte>(value);
      data[static_cast<std::size_t>(at) + 1] = static_cast<Byte>(value >> 8);
      try {
        TvlxExprEvaluator eval(data);
        eval.Evaluate(rec);
      } catch (const EMemTableFilterError&) {
      } catch (const EVariantError&) {
      } catch (const EDatabaseError&) {
      }
    }
  }
}

TEST_F(vlxExprEvalTest, OffsetsPastTheEnd) {
  struct Case {
    std::vector<Byte> data;
  };
  Bytes literalPast;  // constant literal at offset 600
  literalPast.header(24 + 4, 24).node(5, 14, {3, 4, 600}).u32(1);
  Bytes childPast;  // unary child at node offset 400
  childPast.header(18 + 2, 20).node(1, coNOT, {400});
  Bytes childBefore;  // a child naming its own parent would loop
  childBefore.header(18 + 2, 20).node(1, coNOT, {0});
  Bytes headerPast;  // literal start past the end
  headerPast.header(24, 300).node(5, 14, {3, 4, 0});
  Bytes nameUnterminated;  // field name slot runs off the end
  nameUnterminated.header(22 + 3, 22).node(4, coFIELD2, {1, 0}).raw({'I', 'D', 'X'});
  Bytes wideTooLong;  // wide text byte count past the literal
  wideTooLong.header(24 + 4, 24).node(5, 14, {4103, 4, 0}).raw({200, 0, 'A', 0});
  TestRecord rec = John();
  for (const auto& data : {literalPast.b, childPast.b, childBefore.b, headerPast.b, nameUnterminated.b, wideTooLong.b}) {
    std::vector<Byte> copy = data;
    EXPECT_THROW(
        {
          TvlxExprEvaluator eval(copy);
          eval.Evaluate(rec);
        },
        EMemTableFilterError);
  }
}

}  // namespace
