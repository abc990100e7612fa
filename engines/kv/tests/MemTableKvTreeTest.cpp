#include <map>

#include "KvTestSupport.h"
#include "platform/classes/TimerHost.h"

namespace {

// Records: 1 (2 (3)) 4 (5); every node collapsed at start.
class KvTreeTest : public KvTest {
 protected:
  void SetUp() override {
    KvTest::SetUp();
    t = std::make_unique<TMemTableKv>(nullptr);
    t->FieldDefs().Add(u"Id", ftInteger);
    t->FieldDefs().Add(u"Parent", ftInteger);
    t->FieldDefs().Add(u"Name", ftString, 10);
    t->CreateDataSet();
    for (auto [id, parent] : std::vector<std::pair<int, int>>{{1, 0}, {2, 1}, {3, 2}, {4, 0}, {5, 4}}) Add(id, parent);
    t->TreeList().SetKeyFieldName(u"Id");
    t->TreeList().SetRefParentFieldName(u"Parent");
    t->TreeList().SetActive(true);
    t->First();
  }
  void Add(int id, int parent) {
    t->Append();
    t->FieldByName(u"Id")->SetAsInteger(id);
    if (parent) t->FieldByName(u"Parent")->SetAsInteger(parent);
    t->FieldByName(u"Name")->SetAsString(u"n" + IntToStr(id));
    t->Post();
  }
  std::vector<int> Rows() {
    std::vector<int> ids;
    for (t->First(); !t->Eof(); t->Next()) ids.push_back(t->FieldByName(u"Id")->AsInteger());
    return ids;
  }
  int Current() { return t->FieldByName(u"Id")->AsInteger(); }
  String Dump() { return t->RecordsView()->MemoryTreeList()->Dump(); }
  std::unique_ptr<TMemTableKv> t;
};

class TReceiver : public TComponent, public IMTEventReceiverKv {
 public:
  explicit TReceiver(TComponent* AOwner) : TComponent(AOwner) {}
  void MTViewDataEvent(int RowNum, TMTViewEventTypeKv EventType, int OldRowNum) override {
    Events.push_back({RowNum, EventType, OldRowNum});
  }
  struct Event {
    int Row;
    TMTViewEventTypeKv Type;
    int Old;
    bool operator==(const Event&) const = default;
  };
  std::vector<Event> Events;
};

}  // namespace

TEST_F(KvTreeTest, RowsAreTheVisibleExpandedNodes) {
  EXPECT_EQ(Dump(), u"1(2(3)) 4(5)");
  EXPECT_EQ(Rows(), (std::vector<int>{1, 4}));
  t->First();
  EXPECT_EQ(t->TreeNodeLevel(), 1);
  EXPECT_TRUE(t->TreeNodeHasChildren());
  EXPECT_FALSE(t->TreeNodeExpanded());
  EXPECT_EQ(t->GetPrevRowTreeNodeLevel(), -1);  // first row
  t->SetTreeNodeExpanded(true);
  EXPECT_EQ(Current(), 1);
  EXPECT_EQ(Rows(), (std::vector<int>{1, 2, 4}));
  t->First();
  t->Next();
  EXPECT_EQ(Current(), 2);
  EXPECT_EQ(t->TreeNodeLevel(), 2);
  EXPECT_EQ(t->GetPrevRowTreeNodeLevel(), 1);
  EXPECT_EQ(t->GetNextRowTreeNodeLevel(), 1);
  EXPECT_TRUE(t->ParentHasNextSibling(1));   // 1 is followed by 4
  EXPECT_FALSE(t->ParentHasNextSibling(2));  // 2 is the last child of 1
  t->Last();
  EXPECT_EQ(t->GetNextRowTreeNodeLevel(), -1);  // last row

  // Expanding asks the table's callback; a refusal keeps the node collapsed.
  std::vector<int> asked;
  t->OnTreeNodeExpanding = [&](TCustomMemTableKv*, int recNo, bool& allow) {
    asked.push_back(recNo);
    allow = false;
  };
  t->SetTreeNodeExpanded(true);  // node 4, row 3
  EXPECT_EQ(asked, (std::vector<int>{3}));
  EXPECT_FALSE(t->TreeNodeExpanded());
  EXPECT_EQ(t->RecordCount(), 3);

  // Leaving tree mode shows every record in list order; the cursor keeps its record.
  t->TreeList().SetActive(false);
  EXPECT_EQ(Current(), 4);
  EXPECT_EQ(Rows(), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(KvTreeTest, NodesAnswerForTheirPlaceInTheTree) {
  TMemoryTreeListKv* tree = t->RecordsView()->MemoryTreeList();
  auto node = [&](int id) {
    for (int i = 0; i < t->MemTableData()->RecordsList()->Count(); ++i) {
      TMemoryRecordKv* r = t->MemTableData()->RecordsList()->GetRec(i);
      if (r->GetDataValue(0, dvvValueKv).AsInteger() == id) return tree->GetNode(nullptr, r);
    }
    return static_cast<TMemRecViewKv*>(nullptr);
  };
  EXPECT_EQ(tree->KeyFieldNames(), u"Id");
  EXPECT_EQ(tree->ParentFieldNames(), u"Parent");
  TMemRecViewKv* one = node(1);
  TMemRecViewKv* three = node(3);
  EXPECT_EQ(one->NodeOwner(), tree);
  EXPECT_EQ(one->NodeParent(), nullptr);
  EXPECT_EQ(three->NodeParent(), node(2));
  EXPECT_EQ(three->NodeLevel() - one->NodeLevel(), 2);
  EXPECT_EQ(node(4)->NodeIndex(), 1);
  EXPECT_EQ(one->NodesCount(), 1);
  EXPECT_EQ(one->GetItem(0), node(2));
  EXPECT_TRUE(one->NodeHasChildren());
  EXPECT_FALSE(three->NodeHasChildren());
  EXPECT_FALSE(one->NodeExpanded());
  EXPECT_TRUE(one->NodeVisible());
  EXPECT_EQ(one->VisibleNodesCount(), 1);
  EXPECT_EQ(tree->GetParentNodeAtKeyValue(Variant(4)), node(4));
  EXPECT_EQ(tree->GetParentNodeAtKeyValue(Variant(99)), tree->Root());
  three->SetNodeParent(node(5));
  EXPECT_EQ(Dump(), u"1(2) 4(5(3))");
  three->SetNodeParent(nullptr);
  EXPECT_EQ(Dump(), u"1(2) 4(5) 3");
}

TEST_F(KvTreeTest, CollapsingAboveTheCurrentRowReturnsTheAncestorsRecNo) {
  t->TreeList().FullExpand();
  EXPECT_EQ(Rows(), (std::vector<int>{1, 2, 3, 4, 5}));
  ASSERT_TRUE(t->Locate(u"Id", Variant(3), 0));
  EXPECT_EQ(t->SetRowTreeNodeExpanded(3, false), -1);  // node 4: unrelated
  EXPECT_EQ(Current(), 3);
  EXPECT_EQ(t->SetRowTreeNodeExpanded(0, false), 1);   // node 1 hides 2 and 3
  EXPECT_EQ(Current(), 1);
  EXPECT_EQ(Rows(), (std::vector<int>{1, 4}));

  // A tree search finds a record inside a collapsed branch, opens the branch and moves there.
  ASSERT_TRUE(t->TreeList().Locate(u"Name", Variant(u"N3"), loCaseInsensitive));
  EXPECT_EQ(Current(), 3);
  EXPECT_EQ(t->RecNo(), 3);
  EXPECT_FALSE(t->TreeList().Locate(u"Id", Variant(9), 0));

  t->TreeList().FullCollapse();
  EXPECT_EQ(Current(), 1);
  EXPECT_EQ(Rows(), (std::vector<int>{1, 4}));
}

TEST_F(KvTreeTest, TheTablesFiltersDecideWhichNodesShow) {
  t->TreeList().FullExpand();
  // A shown node keeps its ancestors shown, though they fail the filter.
  t->SetFilterText(u"Id = 3");
  t->SetFiltered(true);
  EXPECT_EQ(Rows(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(t->RecordCount(), 3);
  t->Last();
  EXPECT_EQ(t->RecNo(), 3);
  EXPECT_TRUE(t->Locate(u"Id", Variant(1), 0));
  EXPECT_FALSE(t->Locate(u"Id", Variant(5), 0));

  // Not filtering nodes under a shown parent shows the whole branch.
  t->SetFilterText(u"Id = 1");
  EXPECT_EQ(Rows(), (std::vector<int>{1}));
  t->TreeList().SetFilterNodeIfParentVisible(false);
  t->RefreshRecordsView();
  EXPECT_EQ(Rows(), (std::vector<int>{1, 2, 3}));
  t->TreeList().SetFilterNodeIfParentVisible(true);

  // The filter event and extra filters count too; an edit moves a node in or out.
  t->SetFiltered(false);
  EXPECT_EQ(Rows(), (std::vector<int>{1, 2, 3, 4, 5}));
  TMemTableFilterItemKv* extra = t->AddExtraFilter(u"Name = 'n5'", nullptr);
  EXPECT_EQ(Rows(), (std::vector<int>{4, 5}));
  t->SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = accept && d.FieldByName(u"Id")->AsInteger() != 5; });
  t->SetFilterText(u"");
  t->SetFiltered(true);
  EXPECT_EQ(Rows(), (std::vector<int>{}));
  t->SetOnFilterRecord(nullptr);
  t->SetFiltered(false);
  ASSERT_TRUE(t->Locate(u"Id", Variant(5), 0));
  t->Edit();
  t->FieldByName(u"Name")->SetAsString(u"x");
  t->Post();
  EXPECT_EQ(Rows(), (std::vector<int>{}));
  EXPECT_TRUE(t->RemoveExtraFilter(extra));
  EXPECT_EQ(Rows(), (std::vector<int>{1, 2, 3, 4, 5}));

  // A filter set while closed applies to the tree on opening; leaving tree mode filters rows again.
  t->Close();
  t->SetFilterText(u"Id > 3");
  t->SetFiltered(true);
  t->Open();
  t->TreeList().FullExpand();
  EXPECT_EQ(Rows(), (std::vector<int>{4, 5}));
  t->TreeList().SetActive(false);
  EXPECT_EQ(Rows(), (std::vector<int>{4, 5}));
  t->SetFilterText(u"Id = 3");
  t->TreeList().SetActive(true);
  EXPECT_EQ(Rows(), (std::vector<int>{1}));  // 1 collapsed: its shown branch stays folded
}

TEST_F(KvTreeTest, ReferenceLoopsAreRefusedAndRecordsMoveUnderNewParents) {
  t->TreeList().FullExpand();
  t->First();
  t->Edit();
  t->FieldByName(u"Parent")->SetAsInteger(3);  // 1 under its own grandchild
  EXPECT_THROW(t->Post(), Exception);
  t->Cancel();
  EXPECT_EQ(Dump(), u"1(2(3)) 4(5)");

  // Rows: 1 2 3 4 5. Row 4 (5) dropped after row 0 (1) at level 1 becomes a sibling after 1.
  EXPECT_TRUE(t->MoveRecord(4, 1, 1));
  EXPECT_EQ(Dump(), u"1(2(3)) 5 4");
  // Row 3 (5) dropped below row 1 (2) at level 3 becomes a child of 2.
  t->TreeList().FullExpand();
  EXPECT_TRUE(t->MoveRecord(3, 2, 3));
  EXPECT_EQ(Dump(), u"1(2(5 3)) 4");  // children in records-list order: 5 now stands before 3
  // Checking only: making 1 a child of its descendant 3 would loop; nothing changes.
  t->TreeList().FullExpand();
  EXPECT_EQ(Rows(), (std::vector<int>{1, 2, 5, 3, 4}));
  EXPECT_FALSE(t->MoveRecord(0, 3, 4, true));
  std::vector<TBookmark> marks{t->RecToBookmark(t->RecordsView()->GetRec(0))};
  EXPECT_FALSE(t->MoveRecords(marks, 4, 4, true));
  EXPECT_EQ(Dump(), u"1(2(5 3)) 4");
  // The callback may refuse a move.
  t->OnRecordsViewCheckMoveNode = [](TCustomMemTableKv*, TMemRecViewKv*, TBaseTreeNodeKv*, int) { return false; };
  EXPECT_FALSE(t->MoveRecord(4, 0, 1));
  EXPECT_EQ(Dump(), u"1(2(5 3)) 4");
  // Bounds: the row count is a valid target, past it is not.
  t->OnRecordsViewCheckMoveNode = nullptr;
  EXPECT_FALSE(t->MoveRecord(0, 6, 1));
  EXPECT_FALSE(t->MoveRecord(5, 0, 1));
}

TEST_F(KvTreeTest, InstantReadSeesAnyRowAndTheRowBeingInserted) {
  t->TreeList().SetActive(false);
  t->First();
  t->InstantReadEnter(3);
  EXPECT_EQ(Current(), 4);
  t->InstantReadEnter(1);  // nested
  EXPECT_EQ(Current(), 2);
  EXPECT_EQ(t->InstantReadViewRow(), 1);
  t->InstantReadLeave();
  EXPECT_EQ(Current(), 4);
  t->InstantReadLeave();
  EXPECT_EQ(Current(), 1);
  EXPECT_THROW(t->InstantReadLeave(), Exception);

  // Insert before row 2 (record 3): the new row reads what was typed, the rows after it one lower.
  t->First();
  t->Next();
  t->Next();
  t->Insert();
  t->FieldByName(u"Id")->SetAsInteger(9);
  EXPECT_EQ(t->InstantReadRowCount(), 6);
  t->InstantReadEnter(2);
  EXPECT_EQ(Current(), 9);
  EXPECT_EQ(t->InstantReadViewRow(), 2);
  t->InstantReadLeave();
  t->InstantReadEnter(3);
  EXPECT_EQ(Current(), 3);
  EXPECT_EQ(t->InstantReadViewRow(), 3);
  // Writes go to the row being inserted, not to the row read.
  t->FieldByName(u"Name")->SetAsString(u"new");
  t->InstantReadLeave();
  EXPECT_EQ(t->FieldByName(u"Name")->AsString(), u"new");
  t->Cancel();
  EXPECT_EQ(t->RecordCount(), 5);
}

TEST_F(KvTreeTest, EventsWaitWhileControlsAreDisabled) {
  t->TreeList().SetActive(false);
  TReceiver r(nullptr);
  t->AddEventReceiver(&r);
  t->AddEventReceiver(&r);  // once only
  using E = TReceiver::Event;
  for (int events : {0, 1, 10}) {
    r.Events.clear();
    t->DisableControls();
    for (int i = 0; i < events; ++i) {
      t->Last();
      t->Edit();
      t->FieldByName(u"Name")->SetAsString(u"x" + IntToStr(i));
      t->Post();
    }
    EXPECT_TRUE(r.Events.empty());
    t->EnableControls();
    const std::vector<E> want = events == 0   ? std::vector<E>{}
                                : events == 1 ? std::vector<E>{{4, mtRowChangedKv, -1}}
                                              : std::vector<E>{{-1, mtViewDataChangedKv, -1}};
    EXPECT_EQ(r.Events, want) << events << " events";
  }

  // Starting an insert announces a row at the cursor's row; cancelling takes it back.
  r.Events.clear();
  t->First();
  t->Next();
  t->Insert();
  t->Cancel();
  EXPECT_EQ(r.Events, (std::vector<E>{{1, mtRowInsertedKv, -1}, {1, mtRowDeletedKv, -1}}));

  // Reopening announces the whole view once.
  r.Events.clear();
  t->Close();
  t->Open();
  EXPECT_EQ(r.Events, (std::vector<E>{{-1, mtViewDataChangedKv, -1}}));
  EXPECT_EQ(t->RemoveEventReceiver(&r), 0);
  EXPECT_EQ(t->RemoveEventReceiver(&r), -1);

  // A receiver destroyed while registered is forgotten.
  {
    TReceiver gone(nullptr);
    t->AddEventReceiver(&gone);
  }
  t->Last();
  t->Edit();
  t->FieldByName(u"Name")->SetAsString(u"y");
  t->Post();
}

TEST_F(KvTreeTest, ATableReadAtDesignTimeOpensFromTheLoop) {
  class TManualTimerHost : public TTimerHost {
   public:
    std::uintptr_t StartTimer(unsigned, std::function<void()> Tick) override {
      Ticks[++Next] = std::move(Tick);
      return Next;
    }
    void StopTimer(std::uintptr_t Id) override { Stopped.push_back(Id); }
    std::map<std::uintptr_t, std::function<void()>> Ticks;
    std::vector<std::uintptr_t> Stopped;
    std::uintptr_t Next = 0;
  } host;
  TTimerHost* previous = SetTimerHost(&host);
  t->Close();
  static_cast<TComponent&>(*t).SetState(csDesigning, true);
  static_cast<TComponent&>(*t).SetState(csLoading, true);
  t->SetActive(true);  // kept until loading completes
  t->Loaded();
  EXPECT_FALSE(t->Active());
  ASSERT_EQ(host.Ticks.size(), 1u);
  host.Ticks.begin()->second();
  EXPECT_TRUE(t->Active());
  EXPECT_EQ(host.Stopped, (std::vector<std::uintptr_t>{1}));
  // At run time the table opens at once.
  t->Close();
  static_cast<TComponent&>(*t).SetState(csDesigning, false);
  t->SetActive(true);
  EXPECT_TRUE(t->Active());
  SetTimerHost(previous);
}
