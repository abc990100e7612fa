#include <functional>
#include <gtest/gtest.h>

#include "engines/kv/TreeListKv.h"
#include "platform/rtl/Exceptions.h"
#include "platform/sys/Utf.h"

namespace {

// The tree as text: each node's text, children in parentheses.
std::string Dump(TTreeListKv& t, TBaseTreeNodeKv* n = nullptr) {
  std::string s;
  TBaseTreeNodeKv* p = n ? n : t.Root();
  for (int i = 0; i < p->Count(); ++i) {
    TBaseTreeNodeKv* c = p->Items(i);
    EXPECT_EQ(c->Index(), i);
    EXPECT_EQ(c->Level(), p->Level() + 1);
    if (!s.empty()) s += " ";
    s += sys::Utf16ToUtf8(c->Text());
    if (c->Count()) s += "(" + Dump(t, c) + ")";
  }
  return s;
}

std::string VisibleWalk(TTreeListKv& t, bool ExpandedOnly) {
  std::string s;
  for (TBaseTreeNodeKv* n = t.GetFirstVisible(); n; n = t.GetNextVisible(n, ExpandedOnly)) s += sys::Utf16ToUtf8(n->Text());
  return s;
}

}  // namespace

TEST(KvTreeList, AttachMoveAndWalk) {
  TTreeListKv t;
  EXPECT_EQ(t.Root()->Level(), 0);
  EXPECT_EQ(t.GetFirst(), nullptr);
  TBaseTreeNodeKv* a = t.AddChild(u"a", nullptr, nullptr);
  TBaseTreeNodeKv* b = t.AddChild(u"b", nullptr, nullptr);
  TBaseTreeNodeKv* a1 = t.AddChild(u"1", a, nullptr);
  t.AddChild(u"2", a, nullptr);
  TBaseTreeNodeKv* x = t.CreateNode(u"x", nullptr);
  t.AttachNode(x, a, true, naInsertKv);
  EXPECT_EQ(Dump(t), "x a(1 2) b");
  TBaseTreeNodeKv* y = t.CreateNode(u"y", nullptr);
  t.AttachNode(y, a1, true, naAddAfterKv);
  TBaseTreeNodeKv* z = t.CreateNode(u"z", nullptr);
  t.AttachNode(z, a, true, naAddChildFirstKv);
  EXPECT_EQ(Dump(t), "x a(z 1 y 2) b");
  // Walks.
  std::string order;
  for (TBaseTreeNodeKv* n = t.GetFirst(); n; n = t.GetNext(n)) order += sys::Utf16ToUtf8(n->Text());
  EXPECT_EQ(order, "xaz1y2b");
  EXPECT_EQ(t.GetPrevious(b)->Text(), u"2");
  EXPECT_EQ(t.GetPrevious(z), a);
  EXPECT_EQ(t.GetPrevious(x), nullptr);
  // A move under one's own descendant is refused and changes nothing.
  try {
    t.MoveTo(a, a1, naAddChildKv, true);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"Reference-loop found");
  }
  EXPECT_EQ(Dump(t), "x a(z 1 y 2) b");
  t.MoveTo(a, b, naAddChildKv, true);
  EXPECT_EQ(Dump(t), "x b(a(z 1 y 2))");
  EXPECT_EQ(a1->Level(), 3);
  t.DeleteNode(a1, true);
  EXPECT_EQ(Dump(t), "x b(a(z y 2))");
  EXPECT_EQ(t.FindNodeByData(nullptr, nullptr), t.Root());
  TTreeListKv other;
  TBaseTreeNodeKv* foreign = other.CreateNode(u"f", nullptr);
  EXPECT_THROW(b->Add(foreign), Exception);
  delete foreign;
}

TEST(KvTreeList, VisibilityExpansionAndSorting) {
  TTreeListKv t;
  TBaseTreeNodeKv* a = t.AddChild(u"a", nullptr, nullptr);
  TBaseTreeNodeKv* b = t.AddChild(u"b", nullptr, nullptr);
  t.AddChild(u"c", nullptr, nullptr);
  t.AddChild(u"1", a, nullptr);
  t.AddChild(u"2", b, nullptr);
  t.Expand(nullptr, true);
  EXPECT_EQ(VisibleWalk(t, true), "a1b2c");
  b->SetVisible(false);
  EXPECT_EQ(t.Root()->VisibleCount(), 2);
  EXPECT_EQ(VisibleWalk(t, true), "a1c");
  b->SetVisible(true);
  t.Collapse(a, false);
  EXPECT_EQ(VisibleWalk(t, true), "ab2c");
  EXPECT_EQ(VisibleWalk(t, false), "a1b2c");
  auto byTextDesc = [](void*, TBaseTreeNodeKv* n1, TBaseTreeNodeKv* n2, void*) { return -n1->Text().compare(n2->Text()); };
  t.SortData(nullptr, true, byTextDesc, nullptr);
  EXPECT_EQ(Dump(t), "c b(2) a(1)");
  EXPECT_EQ(VisibleWalk(t, true), "cb2a");
}

TEST(KvTreeList, LevelLimit) {
  TTreeListKv t;
  TBaseTreeNodeKv* n = nullptr;
  for (int i = 1; i <= 1000; ++i) n = t.AddChild(u"n", n, nullptr);
  EXPECT_EQ(n->Level(), 1000);
  const auto refused = [](const std::function<void()>& f) {
    try {
      f();
    } catch (const Exception& e) {
      return e.Message() == u"TBaseTreeNodeKv.SetLevel: Max level exceed - 1000";
    }
    return false;
  };
  // A refused level leaves the tree as it was: nothing linked, nothing unlinked, no level changed.
  EXPECT_TRUE(refused([&] { t.AddChild(u"n", n, nullptr); }));
  EXPECT_EQ(n->Count(), 0);
  TBaseTreeNodeKv* a = t.AddChild(u"a", nullptr, nullptr);
  TBaseTreeNodeKv* b = t.AddChild(u"b", a, nullptr);  // a subtree two levels high
  TBaseTreeNodeKv* deep = n->Parent();                // level 999: a fits, b would be 1001
  EXPECT_TRUE(refused([&] { t.MoveTo(a, deep, naAddChildKv, true); }));
  EXPECT_TRUE(refused([&] { t.MoveTo(a, n, naInsertKv, true); }));
  EXPECT_EQ(a->Parent(), t.Root());
  EXPECT_EQ(a->Index(), 1);
  EXPECT_EQ(t.Root()->Count(), 2);
  EXPECT_EQ(deep->Count(), 1);
  EXPECT_EQ(b->Level(), 2);
  EXPECT_TRUE(refused([&] { a->SetLevel(1000); }));
  EXPECT_EQ(a->Level(), 1);
  EXPECT_EQ(b->Level(), 2);
  t.ExtractNode(b, true);
  t.MoveTo(a, deep, naAddChildKv, true);  // alone it fits
  EXPECT_EQ(a->Level(), 1000);
  t.DeleteNode(b, true);
}
