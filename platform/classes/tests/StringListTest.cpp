#include "platform/classes/StringList.h"

#include <gtest/gtest.h>

#include "platform/classes/ComponentStreaming.h"

namespace {

std::vector<String> Items(const TStrings& list) {
  std::vector<String> items;
  for (int i = 0; i < list.Count(); ++i) items.push_back(list.Strings(i));
  return items;
}

TEST(StringList, SortedListsFollowTheDuplicatesRule) {
  struct Case {
    TDuplicates duplicates;
    bool case_sensitive;
    std::vector<String> expected;
  };
  const Case cases[] = {
      {TDuplicates::dupIgnore, false, {u"a", u"B", u"c"}},
      {TDuplicates::dupAccept, false, {u"a", u"b", u"B", u"c"}},  // an equal one goes before the first match
      {TDuplicates::dupIgnore, true, {u"B", u"a", u"b", u"c"}},
  };
  for (const Case& c : cases) {
    TStringList list;
    list.SetCaseSensitive(c.case_sensitive);
    list.SetDuplicates(c.duplicates);
    list.SetSorted(true);
    for (const char16_t* s : {u"c", u"B", u"a", u"b"}) list.Add(s);
    EXPECT_EQ(Items(list), c.expected);
  }
  TStringList strict;
  strict.SetSorted(true);
  strict.SetDuplicates(TDuplicates::dupError);
  strict.Add(u"x");
  EXPECT_THROW(strict.Add(u"X"), EListError);
  EXPECT_THROW(strict.Insert(0, u"y"), EListError);
  int index = -1;
  EXPECT_FALSE(strict.Find(u"w", index));
  EXPECT_EQ(index, 0);
  EXPECT_EQ(strict.IndexOf(u"X"), 0);
}

TEST(StringList, TextNamesValuesAndCommaText) {
  TStringList list;
  list.SetText(u"a=1\r\nb=2\nc\rlast");
  EXPECT_EQ(Items(list), (std::vector<String>{u"a=1", u"b=2", u"c", u"last"}));
  EXPECT_EQ(list.Values(u"B"), u"2");
  EXPECT_EQ(list.Names(0), u"a");
  list.SetValue(u"a", u"");
  EXPECT_EQ(list.IndexOfName(u"a"), -1);
  EXPECT_EQ(list.Text(), u"b=2\r\nc\r\nlast\r\n");
  list.SetCommaText(u"one, \"two three\",\"q\"\"uote\",");
  EXPECT_EQ(Items(list), (std::vector<String>{u"one", u"two three", u"q\"uote", u""}));
  EXPECT_EQ(list.CommaText(), u"one,\"two three\",\"q\"\"uote\",\"\"");
  EXPECT_THROW(list.Strings(4), EListError);
}

TEST(StringList, ObjectsAndOwnership) {
  int live = 0;
  struct Counted : TObject {
    explicit Counted(int& n) : N(n) { ++N; }
    ~Counted() override { --N; }
    int& N;
  };
  {
    TStringList list(true);
    list.AddObject(u"a", new Counted(live));
    list.AddObject(u"b", new Counted(live));
    list.Delete(0);
    EXPECT_EQ(live, 1);
    EXPECT_NE(list.Objects(0), nullptr);
  }
  EXPECT_EQ(live, 0);
}

TEST(StringList, StreamsAsTheStringsProperty) {
  TStringList source;
  source.SetText(u"x\r\n\u4E2D");
  TBytesStream stream;
  {
    TWriter w(&stream);
    source.DefineProperties(&w);
  }
  const std::vector<Byte> expected = {7, 'S', 't', 'r', 'i', 'n', 'g', 's', 0x01, 0x06, 0x01, 'x',
                                      0x12, 0x01, 0, 0, 0, 0x2D, 0x4E, 0x00};
  EXPECT_EQ(stream.Bytes(), expected);
}

}  // namespace
