// The engine exception's message composition, the name hash and keyword table, and the utilities.
#include "engines/mdb/runtime/MdbExcept.h"

#include <cstring>
#include <set>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbTypes.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "MdbTestSupport.h"
#include "platform/rtl/SysUtils.h"

namespace {

TEST(MdbException, MessagesCarryTheCodeInFiveDigits) {
  struct Case {
    EMdbException E;
    std::u16string_view Expected;
  };
  const Case Cases[] = {
      {EMdbException(11611, SMdbInvalidIndex, {5, 3}), u"Invalid index 5, count = 3 - Native error: 11611"},
      {EMdbException(2156, u"Text"), u"Text - Native error: 02156"},
      {EMdbException(0, u"Zero"), u"Zero - Native error: 00000"},
      {EMdbException(123456, u"Long"), u"Long - Native error: 123456"},
      // The plain form keeps placeholders.
      {EMdbException(30001, u"Kept %d"), u"Kept %d - Native error: 30001"},
      // One value for two placeholders: the text stays unformatted.
      {EMdbException(12362, SMdbCriticalSectionTimeout, {5}),
       u"Error - critical section timeout exceeded. Elapsed time, ms = %d. Maximum wait time, ms = %d. Arguments "
       u"are invalid! - Native error: 12362"},
      // A value of the wrong kind.
      {EMdbException(10, u"%d", {u"text"}), u"%d Arguments are invalid! - Native error: 00010"},
      {EMdbException(10, u"%d", {Int64(1) << 40}), u"1099511627776 - Native error: 00010"},
  };
  for (const auto& C : Cases) EXPECT_EQ(C.E.Message(), C.Expected);
  EXPECT_EQ(Cases[5].E.NativeError, 12362);
}

TEST(MdbException, WrapNamesTheOperationAndCanKeepEngineErrors) {
  try {
    MdbWrap(30015, SMdbGetMemError, false, [] { throw EOutOfMemory(u"none left"); });
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 30015);
    EXPECT_EQ(E.Message(), u"GetMem error: none left - Native error: 30015");
  }
  EXPECT_EQ(NativeCodeOf([] { MdbWrap(1, u"x error: %s", true, [] { throw EMdbException(7, u"inner"); }); }), 7);
  EXPECT_EQ(NativeCodeOf([] { MdbWrap(1, u"x error: %s", false, [] { throw EMdbException(7, u"inner"); }); }), 1);
}

TEST(MdbNameHash, CheckValues) {
  const char Digits[] = "123456789";
  EXPECT_NE(CalcCRC32(0, Digits, 9), 0xCBF43926u);
  EXPECT_EQ(CalcCRC32(0xFFFFFFFF, Digits, 9) ^ 0xFFFFFFFFu, 0xCBF43926u);
  EXPECT_EQ(CalcCRC32(42, nullptr, 5), 42u);
  EXPECT_EQ(CalcCRC32(42, Digits, 0), 42u);
  // Continuing over two halves equals one pass.
  EXPECT_EQ(CalcCRC32(CalcCRC32(7, Digits, 4), Digits + 4, 5), CalcCRC32(7, Digits, 9));

  sys::SetSystemCodePage(936);
  EXPECT_EQ(NameCRC32Ansi("abc", false), 0xCA6598D0u);
  EXPECT_EQ(NameCRC32Ansi("abc", true), 0x5CC2DA5Au);
  EXPECT_EQ(NameCRC32Wide(u"abc", false), 0x1C57DB13u);
  EXPECT_EQ(NameCRC32Wide(u"abc", true), 0x2E4D55B9u);
  EXPECT_EQ(NameCRC32Ansi("", true), 0u);
  EXPECT_EQ(NameCRC32Wide(u"", false), 0u);
  // A double-byte name upper-cases without changing its bytes: its hash is that of the raw bytes.
  const AnsiString Gbk = StringToAnsi(u"赵一");
  EXPECT_EQ(NameCRC32Ansi(Gbk, true), NameCRC32Ansi(Gbk, false));
  EXPECT_EQ(NameCRC32Ansi("Ab" + Gbk, true), NameCRC32Ansi("AB" + Gbk, false));
}

TEST_F(MdbRuntimeTest, KeywordTable) {
  EXPECT_EQ(ReservedWordText(rwSELECT), u"SELECT");
  EXPECT_EQ(int(rwSELECT), 184);
  EXPECT_EQ(int(rwHEX), 98);
  EXPECT_EQ(int(rwMIME64), 132);
  EXPECT_EQ(int(rwTOBLOB), 251);
  EXPECT_EQ(int(rwDIV), 378);
  EXPECT_EQ(int(rwNone), 379);
  EXPECT_EQ(ReservedWordText(rwNAnsiChar), u"NCHAR");
  EXPECT_EQ(ReservedWordText(rwEND_EXEC), u"END-EXEC");
  EXPECT_EQ(ReservedWordText(rwLAST_AUTOINC), u"LASTAUTOINC");
  EXPECT_EQ(NameCRC32Wide(u"select", true), ReservedWordCRCs[rwSELECT]);
  EXPECT_EQ(FindReservedWord(u"Select"), rwSELECT);
  EXPECT_EQ(FindReservedWord(u"notakeyword"), rwNone);
  std::set<std::uint32_t> Seen(std::begin(ReservedWordCRCs), std::end(ReservedWordCRCs));
  EXPECT_EQ(Seen.size(), std::size_t(kReservedWordCount));
  for (int i = 0; i < kReservedWordCount; ++i) EXPECT_EQ(String(ReservedWords[i]), UpperCase(ReservedWords[i]));
}

std::uint32_t FakeTicks = 0;
std::uint32_t ReadFakeTicks() { return FakeTicks; }

TEST(MdbUtils, TicksAndWaits) {
  EXPECT_EQ(TickDifference(5, 0xFFFFFFFE), 7u);
  EXPECT_EQ(TickDifference(10, 10), 0u);
  SetMdbTickSource(&ReadFakeTicks);
  struct Case {
    std::uint32_t Elapsed, MaxWait;
    int Level;
  };
  const Case Cases[] = {{50, 100, 50}, {1610, 40960, 10}, {40960, 40960, 255}, {50000, 40960, 255},
                        {1, 40960, 0},  {0, 100, 0},      {5, 0, 255},         {160, 40960, 0}, {161, 40960, 1}};
  for (const auto& C : Cases) {
    FakeTicks = 0xFFFFFFF0u + C.Elapsed;  // across the wrap
    EXPECT_EQ(ProgressFromTicks(0xFFFFFFF0u, C.MaxWait), C.Level) << C.Elapsed << " of " << C.MaxWait;
  }
  SetMdbTickSource(nullptr);
  EXPECT_EQ(LockWaitTime({1000, 1}), 1000u);
  EXPECT_EQ(LockWaitTime({5, 0}), 5u);
  EXPECT_THROW(LockWaitTime({-1, 5}), ERangeError);
  EXPECT_THROW(LockWaitTime({0x7FFFFFFF, 4}), EIntOverflow);
}

TEST(MdbUtils, TextsAndHashes) {
  InitTableOperationNames();
  EXPECT_EQ(TableOperationName(16), u"UNKNOWN OPERATION");
  EXPECT_EQ(TableOperationName(14), u"SET AUTO-INC VALUE");
  EXPECT_EQ(MaxTableOperationNameLength, 23);
  for (int s = 0; s < 24; ++s) EXPECT_EQ(MixHashBytes(0x12345678, 0, Byte(s)), 0x12345678u);
  EXPECT_EQ(MixHashBytes(0, 0x04030201, 0), 0x01020304u);
  EXPECT_EQ(MixHashBytes(0, 0x04030201, 12), 0x01020304u);
  // Row 1 (g f e d = 0 3 1 2): result bytes 3..0 take B's bytes 0, 3, 1, 2.
  EXPECT_EQ(MixHashBytes(0, 0x04030201, 1), 0x01040203u);
  for (int s = 0; s < 12; ++s) EXPECT_NE(MixHashBytes(0, 0x04030201, Byte(s)), 0x04030201u);
  EXPECT_EQ(DaysInMonthOf(2, 1900), 28);
  EXPECT_EQ(DaysInMonthOf(2, 2000), 29);
  EXPECT_EQ(DaysInMonthOf(11, 2001), 30);
  EXPECT_EQ(DaysInMonthOf(13, 2001), 31);
  EXPECT_TRUE(HasCharsAboveLatin1(u"a\u0100"));
  EXPECT_FALSE(HasCharsAboveLatin1(u"\u00FF"));
  EXPECT_FALSE(HasCharsAboveLatin1(u""));
  EXPECT_EQ(StrLenAnsi("abc"), 3);
  EXPECT_EQ(CompareWideStrings(u"abc", u"ABC", false), 0);
  EXPECT_NE(CompareWideStrings(u"abc", u"ABC", true), 0);
  String W = u"secret";
  WipeWideString(W, false);
  EXPECT_TRUE(W.empty());
  AnsiString A = "secret";
  WipeAnsiString(A, true);
  EXPECT_TRUE(A.empty());
  const AnsiString Name = MakeUniqueName("T");
  EXPECT_EQ(Name.substr(0, 1), "T");
  EXPECT_NE(Name.find('_'), AnsiString::npos);
}

TEST_F(MdbRuntimeTest, SplitFieldNameList) {
  struct Case {
    std::u16string_view Text;
    std::vector<String> Parts;
  };
  const Case Cases[] = {{u"a; b,c", {u"a", u"b", u"c"}},
                        {u"Name", {u"Name"}},
                        {u" spaced ", {u" spaced "}},
                        {u"", {}},
                        {u"a;;b", {u"a", u"b"}},
                        {u"a; ", {u"a", u""}},
                        {u"x,", {u"x"}}};
  for (const auto& C : Cases) {
    TMdbWideStringList List;
    SplitFieldNameList(C.Text, &List);
    ASSERT_EQ(List.Count(), static_cast<int>(C.Parts.size())) << StringToUTF8(C.Text);
    for (std::size_t i = 0; i < C.Parts.size(); ++i) EXPECT_EQ(List.Strings(int(i)), C.Parts[i]);
  }
}

TEST(MdbUtils, SortTableInfoArrayIgnoresCase) {
  TMdbTableInfoArray Infos;
  for (const char16_t* Name : {u"delta", u"Alpha", u"charlie", u"BRAVO", u"alpha2"}) Infos.push_back({Name, u"", {}, 0});
  SortTableInfoArray(Infos);
  std::vector<String> Names;
  for (auto& I : Infos) Names.push_back(I.TableName);
  EXPECT_EQ(Names, (std::vector<String>{u"Alpha", u"alpha2", u"BRAVO", u"charlie", u"delta"}));
}

TEST(MdbTypes, DateAndStateLayouts) {
  EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
  EXPECT_EQ(kMdbDateDelta, 693594);
  TMdbDateTime Absent;
  EXPECT_EQ(+Absent.Date, -2147483647 - 1);
  EXPECT_EQ(+Absent.Time, -1);
  TMdbTableState S;
  S.TableState = 0x01020304;
  S.TableMetaDataState = 5;
  S.TableFailureFlags = 0x0706;
  S.LastTableOperation = ltoCreateView;
  S.LastModificationDate = 1.5;
  Byte Raw[16];
  std::memcpy(Raw, &S, 16);
  EXPECT_EQ(Raw[7], 15);
  EXPECT_EQ(Raw[5], 6);
  TMdbTableState Back;
  std::memcpy(&Back, Raw, 16);
  EXPECT_EQ(std::memcmp(&Back, &S, 16), 0);
  EXPECT_GT(int(aftBytes), int(kLastScalarAdvancedFieldType));
}

}  // namespace
