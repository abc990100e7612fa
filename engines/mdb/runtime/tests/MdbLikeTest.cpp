#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engines/mdb/runtime/MdbCodecs.h"
#include "engines/mdb/runtime/MdbLike.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/tests/MdbTestSupport.h"

namespace {

using MdbLikeTest = MdbRuntimeTest;

// The answers of the plain recursive definition, to check the table-driven matcher against.
bool Reference(const char* V, const char* P) {
  if (P[0] == '%' && P[1] == 0) return true;
  if (*V == 0) return *P == 0;
  if (*P == '%') {
    for (const char* K = V; *K; ++K)
      if (Reference(K, P + 1)) return true;
    return false;
  }
  if (*P != '_' && *P != *V) return false;
  return Reference(V + 1, P + 1);
}

TEST_F(MdbLikeTest, PatternTable) {
  struct Case {
    const char* Value;
    const char* Pattern;
    bool Expected;
  };
  const Case Cases[] = {
      {"", "%", true},      {"abc", "%", true},     {"", "", true},        {"a", "", false},
      {"", "_", false},     {"a", "_", true},       {"ab", "_", false},    {"abc", "a%", true},
      {"abc", "%c", true},  {"abc", "a_c", true},   {"abc", "abc%%", false}, {"abc", "ab", false},
      {"abc", "%%", true},  {"", "%%", false},      {"abc", "%b%", true},  {"abc", "%%c", true},
      {"a%c", "a%c", true}, {"abc", "a__", true},   {"abc", "a___", false}, {"abcabc", "%bc%bc", true},
  };
  for (const auto& C : Cases) {
    EXPECT_EQ(MatchLikePatternAnsi(C.Value, C.Pattern, false), C.Expected) << C.Value << " LIKE " << C.Pattern;
    EXPECT_EQ(Reference(C.Value, C.Pattern), C.Expected) << C.Value << " LIKE " << C.Pattern;
    const std::u16string V(C.Value, C.Value + std::strlen(C.Value)), P(C.Pattern, C.Pattern + std::strlen(C.Pattern));
    EXPECT_EQ(MatchLikePatternWide(V.c_str(), P.c_str(), false), C.Expected) << C.Value << " LIKE " << C.Pattern;
  }
}

TEST_F(MdbLikeTest, AgreesWithTheRecursiveDefinition) {
  const char* Values[] = {"", "a", "ab", "aab", "abab", "bba", "abcab"};
  const char Alphabet[] = {'a', 'b', '%', '_'};
  for (int Len = 0; Len <= 4; ++Len) {
    int Total = 1;
    for (int i = 0; i < Len; ++i) Total *= 4;
    for (int Code = 0; Code < Total; ++Code) {
      std::string P;
      for (int i = 0, c = Code; i < Len; ++i, c /= 4) P.push_back(Alphabet[c % 4]);
      for (const char* V : Values) ASSERT_EQ(MatchLikePatternAnsi(V, P.c_str(), false), Reference(V, P.c_str())) << V << " " << P;
    }
  }
}

TEST_F(MdbLikeTest, CaseInsensitive) {
  EXPECT_TRUE(MatchLikePatternAnsi("ABC", "a%", true));
  EXPECT_FALSE(MatchLikePatternAnsi("ABC", "a%", false));
  EXPECT_TRUE(MatchLikePatternWide(u"ÄBC", u"ä_c", true));
  // Bytes of different double-byte characters never compare equal.
  EXPECT_FALSE(MatchLikePatternAnsi("\xD6\xD0", "\xCE\xC4", true));
  EXPECT_TRUE(MatchLikePatternAnsi("\xD6\xD0", "\xD6\xD0", true));
}

// Many "%" over a long value: the matcher does at most pattern x value steps (this would not finish
// with the plain recursive definition).
TEST_F(MdbLikeTest, ManyPercentSignsStayPolynomial) {
  const std::string Value(10000, 'a');
  const std::string Pattern = std::string(40, '%') + "b";
  EXPECT_FALSE(MatchLikePatternAnsi(Value.c_str(), Pattern.c_str(), false));
  std::string P2;
  for (int i = 0; i < 40; ++i) P2 += "%a";
  EXPECT_TRUE(MatchLikePatternAnsi(Value.c_str(), P2.c_str(), false));
}

TEST_F(MdbLikeTest, Hex) {
  const Byte AB[2] = {0x41, 0x42};
  EXPECT_EQ(TFormat_HEX::Encode(AB, 2), "4142");
  EXPECT_EQ(TFormat_HEX::Encode(AB, 0), "");
  struct Case {
    const char* Text;
    const char* Bytes;
  };
  for (const Case& C : {Case{"4142", "AB"}, Case{"$4142", "AB"}, Case{"0X4142", "AB"}, Case{"414", "A"},
                        Case{"ab$41$42", "AB"}, Case{"4a4B", "JK"}})
    EXPECT_EQ(TFormat_HEX::Decode(C.Text), C.Bytes) << C.Text;
  for (const char* Bad : {"4G", "0x41", "41 42"}) {
    try {
      TFormat_HEX::Decode(Bad);
      FAIL() << Bad;
    } catch (const ECodecException& E) {
      EXPECT_EQ(E.Message(), u"Input is not an valid HEX format.");
    }
  }
  EXPECT_THROW(TFormat_HEX::Decode(""), ERangeError);
  void* P = HexToBuffer(u"414243");
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(MdbMemoryManager->GetMemoryBufferSize(P), 3);
  EXPECT_EQ(std::memcmp(P, "ABC", 3), 0);
  MdbMemoryManager->FreeAndNilMem(P);
  EXPECT_EQ(HexToBuffer(u"$"), nullptr);
}

TEST_F(MdbLikeTest, Base64) {
  EXPECT_EQ(TFormat_MIME64::Encode("abc", 3), "YWJj");
  const Byte Zero = 0;
  EXPECT_EQ(TFormat_MIME64::Encode(&Zero, 1), "AA==");
  EXPECT_EQ(TFormat_MIME64::Encode("ab", 2), "YWI=");
  EXPECT_EQ(TFormat_MIME64::Decode("YWJj"), "abc");
  EXPECT_EQ(TFormat_MIME64::Decode("YW\r\nJ j"), "abc");
  EXPECT_EQ(TFormat_MIME64::Decode("YWI=YWJj"), "ab");
  EXPECT_EQ(TFormat_MIME64::Decode("Y"), "");
  EXPECT_EQ(BufferToMIME64("abc", 3), u"YWJj");
  void* P = MIME64ToBuffer(u"YWJj");
  ASSERT_NE(P, nullptr);
  EXPECT_EQ(MdbMemoryManager->GetMemoryBufferSize(P), 3);
  MdbMemoryManager->FreeAndNilMem(P);
  EXPECT_EQ(MIME64ToBuffer(u"!!"), nullptr);
  // Every byte value survives a round trip.
  std::string All;
  for (int i = 0; i < 256; ++i) All.push_back(static_cast<char>(i));
  EXPECT_EQ(TFormat_MIME64::Decode(TFormat_MIME64::Encode(All.data(), 256)), All);
  EXPECT_EQ(TFormat_HEX::Decode(TFormat_HEX::Encode(All.data(), 256)), All);
}

}  // namespace
