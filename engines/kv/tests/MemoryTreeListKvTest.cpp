#include <algorithm>
#include <random>

#include "KvTestSupport.h"
#include "engines/kv/MemoryTreeListKv.h"
#include "platform/sys/Utf.h"

namespace {

// Records (Id, Parent) into a fresh table data, in the given order.
struct TreeData {
  TMemTableDataKv data{nullptr};
  explicit TreeData(const std::vector<std::pair<int, int>>& rows) {
    TFieldDefs defs(nullptr);
    defs.Add(u"Id", ftInteger);
    defs.Add(u"Parent", ftInteger);
    data.DataStruct()->BuildStructFromFieldDefs(defs);
    for (auto [id, parent] : rows) Add(id, parent);
  }
  TMemoryRecordKv* Add(int id, int parent) {
    TRecordsListKv* list = data.RecordsList();
    TMemoryRecordKv* r = list->NewRecord();
    r->SetDataValue(0, dvvValueKv, Variant(id));
    r->SetDataValue(1, dvvValueKv, parent ? Variant(parent) : Null());
    list->AddRecord(r);
    return r;
  }
  TMemoryRecordKv* Rec(int id) {
    TRecordsListKv* list = data.RecordsList();
    for (int i = 0; i < list->Count(); ++i)
      if (list->GetRec(i)->GetDataValue(0).AsInteger() == id) return list->GetRec(i);
    return nullptr;
  }
};

std::unique_ptr<TMemoryTreeListKv> Tree(TreeData& d, bool FullBuildCheck) {
  auto t = std::make_unique<TMemoryTreeListKv>(d.data.RecordsList());
  t->SetKeyFieldNames(u"Id");
  t->SetParentFieldNames(u"Parent");
  t->FullBuildCheck = FullBuildCheck;
  t->Build();
  return t;
}

std::string Dump(TMemoryTreeListKv& t) { return sys::Utf16ToUtf8(t.Dump()); }

}  // namespace

TEST_F(KvTest, TreeBuildsInAnyRecordOrder) {
  // 1(2(4) 3) 5(6)
  const std::vector<std::pair<int, int>> parentFirst = {{1, 0}, {2, 1}, {4, 2}, {3, 1}, {5, 0}, {6, 5}};
  const std::vector<std::pair<int, int>> childFirst = {{6, 5}, {4, 2}, {3, 1}, {2, 1}, {5, 0}, {1, 0}};
  std::vector<std::pair<int, int>> shuffled = parentFirst;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(3));
  const std::vector<std::pair<int, int>>* cases[] = {&parentFirst, &childFirst, &shuffled};
  for (const auto* rows : cases) {
    TreeData d(*rows);
    auto t = Tree(d, true);
    // Children in record order: compare against the order the records arrived in.
    std::vector<int> order;
    for (auto [id, p] : *rows) order.push_back(id);
    auto pos = [&](int id) { return std::find(order.begin(), order.end(), id) - order.begin(); };
    std::string expect;
    {
      // The expected dump, built from the record order.
      std::function<std::string(int)> dump = [&](int parent) {
        std::vector<int> kids;
        for (auto [id, p] : *rows)
          if (p == parent) kids.push_back(id);
        std::sort(kids.begin(), kids.end(), [&](int a, int b) { return pos(a) < pos(b); });
        std::string s;
        for (int k : kids) {
          if (!s.empty()) s += " ";
          s += std::to_string(k);
          const std::string sub = dump(k);
          if (!sub.empty()) s += "(" + sub + ")";
        }
        return s;
      };
      expect = dump(0);
    }
    EXPECT_EQ(Dump(*t), expect);
    EXPECT_EQ(t->AccountableCount(), 6);
  }
  // Without the build check, a child that came before its parent stays under the root.
  TreeData d(childFirst);
  EXPECT_EQ(Dump(*Tree(d, false)), "6 4 3 2 5 1");
}

TEST_F(KvTest, TreeReferenceLoopsAndChanges) {
  TreeData d({{1, 0}, {2, 1}, {3, 2}, {4, 0}});
  auto t = Tree(d, false);
  EXPECT_EQ(Dump(*t), "1(2(3)) 4");
  EXPECT_TRUE(t->CheckReferenceLoop(d.Rec(1), Variant(1)));   // its own key
  EXPECT_TRUE(t->CheckReferenceLoop(d.Rec(1), Variant(3)));   // under its own descendant
  EXPECT_FALSE(t->CheckReferenceLoop(d.Rec(1), Variant(4)));
  EXPECT_FALSE(t->CheckReferenceLoop(d.Rec(1), Variant(99)));  // a parent that does not exist
  EXPECT_FALSE(t->CheckReferenceLoop(d.Rec(2)));
  // A changed reference moves the node with its subtree.
  d.Rec(2)->SetDataValue(1, dvvValueKv, Variant(4));
  t->UpdateParent(t->GetNode(nullptr, d.Rec(2)), true);
  EXPECT_EQ(Dump(*t), "1 4(2(3))");
  // A removed record's descendants go where their references lead now.
  t->RemoveRecord(d.Rec(2));
  EXPECT_EQ(Dump(*t), "1 3 4");  // under the root in record order
}

TEST_F(KvTest, TreeNodeStatesAndFlatLists) {
  TreeData d({{1, 0}, {2, 1}, {3, 1}, {4, 0}, {5, 4}});
  auto t = Tree(d, false);
  t->Expand(nullptr, true);
  EXPECT_EQ(t->VisibleExpandedCount(), 5);
  t->Collapse(t->GetNode(nullptr, d.Rec(1)), false);
  EXPECT_EQ(t->VisibleExpandedCount(), 3);
  EXPECT_EQ(t->AccountableCount(), 5);
  // Only 3 passes: its parent stays visible for it, 4 and 5 go.
  t->OnFilterRecord = [](TMemoryRecordKv* r) { return r->GetDataValue(0).AsInteger() == 3; };
  t->UpdateNodesState(nullptr);
  EXPECT_EQ(t->AccountableCount(), 2);
  EXPECT_EQ(t->GetAccountableItem(0)->Rec(), d.Rec(1));
  EXPECT_EQ(t->GetAccountableItem(1)->Rec(), d.Rec(3));
  EXPECT_EQ(t->GetAccountableItem(2), nullptr);
  t->FilterNodeIfParentVisible = false;
  t->ShowDescendantsOfVisibleNodes(nullptr);
  EXPECT_EQ(t->AccountableCount(), 2);
  // Sorted children: by Id descending.
  t->OnCompareRecords = [](TMemoryRecordKv* a, TMemoryRecordKv* b) {
    return b->GetDataValue(0).AsInteger() - a->GetDataValue(0).AsInteger();
  };
  t->Resort();
  EXPECT_EQ(Dump(*t), "4(5) 1(3 2)");
  TMemoryRecordKv* six = d.Add(6, 1);
  t->AddChildAtKey(six);
  EXPECT_EQ(Dump(*t), "4(5) 1(6 3 2)");
}
