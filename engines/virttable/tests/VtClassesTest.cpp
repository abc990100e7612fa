// Lists, the class test, UTF-8 buffers, encodings and the string builder of the virtual table.
#include "engines/virttable/VtClasses.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "VtTestSupport.h"
#include "engines/virttable/VirtTable.h"
#include "platform/rtl/Exceptions.h"

using namespace vt;

namespace elsewhere {
// A class named like the table's, as a second module holding its own copy of the classes has it.
class TVirtTable : public TObject {};
}  // namespace elsewhere

namespace {

struct TCounted {
  explicit TCounted(int& Live) : FLive(Live) { ++FLive; }
  ~TCounted() { --FLive; }
  int& FLive;
};

}  // namespace

TEST(VtClasses, ObjectListFreesWhatItDeletesButNotWhatItHandsBack) {
  int live = 0;
  {
    TVtObjectList<TCounted> list;
    for (int i = 0; i < 4; ++i) list.Add(std::make_unique<TCounted>(live));
    list.Delete(1);
    EXPECT_EQ(live, 3);
    std::unique_ptr<TCounted> kept = list.Extract(0);
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(live, 3);
  }
  EXPECT_EQ(live, 0);
}

// The inheritance test answers by identity, the name chain by name; a program answers by identity.
TEST(VtClasses, ClassTests) {
  TVirtTable table(nullptr);
  TMemoryStream stream;
  struct Case {
    const TObject* Object;
    const TVtClass& Class;
    bool Inherits, Chain;
  } cases[] = {
      {&table, VtClassOf<TVirtTable>(), true, true},   {&table, VtClassOf<TDataSet>(), true, true},
      {&table, VtClassOf<TComponent>(), true, true},   {&table, VtClassOf<TObject>(), true, true},
      {&table, VtClassOf<elsewhere::TVirtTable>(), false, true},
      {&table, VtClassOf<TMemoryStream>(), false, false}, {&stream, VtClassOf<TDataSet>(), false, false},
      {nullptr, VtClassOf<TObject>(), false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(InheritsFromTest(c.Object, c.Class), c.Inherits) << c.Class.Name;
    EXPECT_EQ(ClassNameChainTest(c.Object, c.Class), c.Chain) << c.Class.Name;
  }
  EXPECT_EQ(VtClassOf<elsewhere::TVirtTable>().Name, "TVirtTable");
  EXPECT_EQ(ClassTestFor(true), &ClassNameChainTest);
  EXPECT_EQ(ClassTestHook, &InheritsFromTest);
  EXPECT_TRUE(IsVtClass<TDataSet>(&table));
  EXPECT_FALSE(IsVtClass<elsewhere::TVirtTable>(&table));
}

TEST(VtClasses, IntValueStringList) {
  TIntValueStringList list;
  list.Add(u"OR", 3);
  list.Add(u"AND", 1);
  list.Add(u"NOT", 2);
  int index = 0;
  EXPECT_FALSE(list.FindKeyIndex(u"and", index)) << "unsorted: exact keys";
  EXPECT_EQ(index, -1);
  list.Sort();
  EXPECT_EQ(list.GetKey(0), u"AND");
  EXPECT_EQ(list.GetKey(1), u"NOT");
  EXPECT_EQ(list.GetKey(2), u"OR");
  ASSERT_TRUE(list.FindKeyIndex(u"and", index));
  EXPECT_EQ(list.GetValue(index), 1);
  EXPECT_FALSE(list.FindKeyIndex(u"LIKE", index));
  EXPECT_EQ(index, 1) << "where it would go";
  EXPECT_EQ(list.Add(u"LIKE", 4), 1);
  try {
    list.Add(u"Not", 9);
    ADD_FAILURE();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"String \"Not\" is already in the list");
  }
  EXPECT_EQ(list.GetCount(), 4);
  list.Clear();
  EXPECT_EQ(list.GetCount(), 0);
}

TEST(VtClasses, Utf8Buffers) {
  // (text, room) -> (result, bytes before the zero)
  struct Case {
    std::u16string Text;
    int Room;
    int Result;
    std::string Bytes;
  } cases[] = {
      {u"a\u4e2d", 4, 2, "a"},                  // fills exactly: the three-byte character gives way
      {u"a\u4e2d", 5, 5, "a\xe4\xb8\xad"},
      {u"ab", 2, 2, "a"},                        // an ASCII last character is replaced directly
      {u"a\u4e2d", 3, 0, ""},                    // does not fit: nothing
      {u"a\xd83d\xde00", 5, 2, "a"},             // a pair is one four-byte character
      {std::u16string(u"a\0", 2), 2, 2, "a"},    // ends in a zero already
  };
  for (const Case& c : cases) {
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(WideToUtf8Buffer(buf, c.Room, c.Text.data(), static_cast<int>(c.Text.size())), c.Result)
        << c.Bytes;
    if (c.Result) {
      EXPECT_EQ(std::string(buf), c.Bytes);
    }
  }
  EXPECT_EQ(WideToUtf8Buffer(nullptr, 0, u"a\u4e2d", 2), 4);
  EXPECT_EQ(WideToUtf8Buffer(nullptr, 0, nullptr, 2), 0);

  const std::string pair = "a\xf0\x9f\x98\x80";  // a, U+1F600
  char16_t w[4] = {1, 1, 1, 1};
  EXPECT_EQ(Utf8ToWideBuffer(nullptr, 0, pair.data(), static_cast<int>(pair.size())), 3);
  EXPECT_EQ(Utf8ToWideBuffer(w, 3, pair.data(), static_cast<int>(pair.size())), 2) << "the pair gives way whole";
  EXPECT_EQ(w[0], u'a');
  EXPECT_EQ(w[1], 0);
  EXPECT_EQ(Utf8ToWideBuffer(w, 4, pair.data(), static_cast<int>(pair.size())), 4);
  EXPECT_EQ(w[2], 0xDE00);
  EXPECT_EQ(w[3], 0);

  EXPECT_EQ(EncodeUtf8(u""), "");
  EXPECT_EQ(EncodeUtf8(u"\u4e2d"), "\xe4\xb8\xad");
  EXPECT_EQ(DecodeUtf8("\xe4\xb8\xad"), u"\u4e2d");
  EXPECT_EQ(DecodeUtf8("a\xff" "b"), u"a\ufffdb");
}

class VtEncodings : public vttest::CodePage936 {};

TEST_F(VtEncodings, BytesAndTextsPerEncoding) {
  Encoding* d = Encoding::Default();
  Encoding* u = Encoding::Unicode();
  Encoding* u8 = Encoding::UTF8();
  EXPECT_EQ(Encoding::Unicode(), u) << "shared instances";
  const String text = u"a\u4e2d";  // the CJK character is two bytes in code page 936
  EXPECT_EQ(d->GetBytes(text).size(), 3u);
  EXPECT_EQ(u->GetBytes(String(u"abc")).size(), 6u);
  EXPECT_EQ(u8->GetBytes(text).size(), 4u);
  EXPECT_EQ(d->GetWideString(d->GetBytes(text)), text);
  EXPECT_EQ(u->GetWideString(u->GetBytes(text)), text);
  EXPECT_EQ(u8->GetWideString(u8->GetBytes(text)), text);
  EXPECT_EQ(u8->GetBytes(sys::Utf16ToAnsi(text)), u8->GetBytes(text)) << "8-bit text through UTF-16";
  EXPECT_EQ(u->GetWideString(TEncodingBytes{'a', 0, 'b', 0, 'c'}), u"ab") << "an odd byte is left";
  EXPECT_EQ(u->GetString(TEncodingBytes{'a', 0}, 0, 0), u"");
  const struct {
    Encoding* E;
    int Bytes, Chars;
  } counts[] = {{d, 5, 5}, {u, 10, 2}, {u8, 15, 5}};
  for (const auto& c : counts) {
    EXPECT_EQ(c.E->GetMaxByteCount(5), c.Bytes);
    EXPECT_EQ(c.E->GetMaxCharCount(5), c.Chars);
  }
}

TEST_F(VtEncodings, RangeForms) {
  TEncodingBytes bytes(6, 0xEE);
  EXPECT_EQ(Encoding::Default()->GetBytes(AnsiString("hello"), 1, 3, bytes, 2), 3);
  EXPECT_EQ(bytes, (TEncodingBytes{0xEE, 0xEE, 'e', 'l', 'l', 0xEE}));
  EXPECT_EQ(Encoding::Default()->GetBytes(AnsiString("hello"), 1, 0, bytes, 9), 0) << "nothing for no characters";
  EXPECT_EQ(Encoding::Unicode()->GetBytes(String(u"xyz"), 1, 2, bytes, 0), 4);
  EXPECT_EQ(bytes[0], 'y');
  EXPECT_EQ(bytes[2], 'z');
  // UTF-8 counts characters from 1 (0 or less as 1).
  const struct {
    int Index, Count;
    std::string Bytes;
  } utf8[] = {{1, 1, "a"}, {0, 1, "a"}, {-5, 2, "a\xe4\xb8\xad"}, {2, 1, "\xe4\xb8\xad"}, {3, 1, "b"}};
  for (const auto& c : utf8) {
    TEncodingBytes out(8, 0);
    const int n = Encoding::UTF8()->GetBytes(String(u"a\u4e2db"), c.Index, c.Count, out, 1);
    EXPECT_EQ(std::string(out.begin() + 1, out.begin() + 1 + n), c.Bytes) << c.Index;
  }
  // Too little room raises and writes nothing; so do ranges outside their arrays.
  TEncodingBytes small(3, 7);
  const auto invalid = [](auto&& Call) {
    try {
      Call();
      ADD_FAILURE();
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), u"Invalid buffer length");
    }
  };
  invalid([&] { Encoding::UTF8()->GetBytes(String(u"\u4e2d"), 1, 1, small, 1); });
  invalid([&] { Encoding::Default()->GetBytes(AnsiString("abc"), 2, 5, small, 0); });
  invalid([&] { Encoding::Unicode()->GetBytes(String(u"ab"), 0, 2, small, 0); });
  invalid([&] { Encoding::Default()->GetAnsiString(small, 2, 2); });
  EXPECT_EQ(small, TEncodingBytes(3, 7));
  EXPECT_THROW(Encoding::UTF8()->GetBytes(AnsiString("abc"), 0, 1, small, 0), Exception) << "not implemented";

  TEncodingBytes raw{1, 2, 3, 4};
  Byte out[2] = {};
  Marshal::Copy(raw, 1, 2, out);
  EXPECT_EQ(out[1], 3);
  Marshal::Copy(out, raw, 2, 2);
  EXPECT_EQ(raw, (TEncodingBytes{1, 2, 2, 3}));
  invalid([&] { Marshal::Copy(raw, 3, 2, out); });
}

TEST(VtClasses, StringBuilder) {
  WideStringBuilder b(4);
  b.Append(u"abc");
  EXPECT_EQ(b.Capacity(), 4);
  b.Append(u"def");
  EXPECT_EQ(b.Capacity(), 3 + 3 + 2);
  EXPECT_EQ(b.ToString(), u"abcdef");
  b.Insert(1, u"XY");
  EXPECT_EQ(b.ToString(), u"aXYbcdef");
  b.SetLength(3);
  EXPECT_EQ(b.ToString(), u"aXY");

  // (text, old, new) -> result
  const struct {
    const char16_t* Text;
    const char16_t* Old;
    const char16_t* New;
    const char16_t* Result;
  } replaces[] = {
      {u"abab", u"ab", u"xyz", u"xyzxyz"}, {u"abab", u"ab", u"x", u"xx"},   {u"abab", u"ab", u"cd", u"cdcd"},
      {u"aaa", u"a", u"aa", u"aaaaaa"},    {u"abc", u"zz", u"q", u"abc"},   {u"&amp;#13;", u"&amp;", u"&", u"&#13;"},
  };
  for (const auto& c : replaces) {
    WideStringBuilder r(c.Text, 2);
    r.Replace(c.Old, c.New);
    EXPECT_EQ(r.ToString(), c.Result);
    EXPECT_EQ(r.Length(), static_cast<int>(String(c.Result).size()));
  }
}
