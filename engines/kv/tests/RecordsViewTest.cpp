#include <algorithm>
#include <random>

#include "KvTestSupport.h"
#include "engines/kv/RecordsViewKv.h"

namespace {

struct Event {
  int Id;
  int Pos;
  TRecordsListNotification Action;
};

// A table of Id (integer) and Key (integer) with cached updates, read through a view sorted by Key
// and filtered by update status, beside a model: the shown records are the stable order by Key (then
// list order) of the records whose status passes. The view's events are replayed onto a plain list of
// ids, which must come out equal to the rows after every step.
struct ViewFixture {
  std::unique_ptr<TMemTableKv> Table;
  TRecordsViewKv* View;
  std::vector<int> Replayed;
  ViewFixture() {
    Table = std::make_unique<TMemTableKv>(nullptr);
    Table->FieldDefs().Add(u"Id", ftInteger);
    Table->FieldDefs().Add(u"Key", ftInteger);
    Table->CreateDataSet();
    View = Table->RecordsView();
    View->OnViewDataEvent = [this](TMemoryRecordKv* rec, int pos, TRecordsListNotification action) {
      switch (action) {
        case rlnRecAddedKv: Replayed.insert(Replayed.begin() + pos, Id(rec)); break;
        case rlnRecDeletedKv: Replayed.erase(Replayed.begin() + pos); break;
        case rlnRecChangedKv:
        case rlnRecMarkedForDelKv: Replayed[static_cast<size_t>(pos)] = Id(rec); break;
        case rlnListChangedKv: Replayed = Rows(); break;
        default: break;
      }
    };
    View->OnViewRecordMovedEvent = [this](TMemoryRecordKv*, int from, int to) {
      const int v = Replayed[static_cast<size_t>(from)];
      Replayed.erase(Replayed.begin() + from);
      Replayed.insert(Replayed.begin() + to, v);
    };
  }
  ~ViewFixture() {
    View->OnViewDataEvent = nullptr;
    View->OnViewRecordMovedEvent = nullptr;
  }
  static int Id(TMemoryRecordKv* r) { return r->GetDataValue(0).AsInteger(); }
  std::vector<int> Rows() const {
    std::vector<int> ids;
    for (int i = 0; i < View->Count(); ++i) ids.push_back(Id(View->GetRec(i)));
    return ids;
  }
  std::vector<int> Expected(bool sorted, TUpdateStatusSetKv filter) const {
    TRecordsListKv* list = Table->MemTableData()->RecordsList();
    std::vector<TMemoryRecordKv*> shown;
    for (int i = 0; i < list->Count(); ++i)
      if (filter & UpdateStatusBit(list->Rec(i)->UpdateStatus())) shown.push_back(list->Rec(i));
    if (sorted)
      std::stable_sort(shown.begin(), shown.end(), [](TMemoryRecordKv* a, TMemoryRecordKv* b) {
        return a->GetDataValue(1).AsInteger() < b->GetDataValue(1).AsInteger();
      });
    std::vector<int> ids;
    for (TMemoryRecordKv* r : shown) ids.push_back(Id(r));
    return ids;
  }
};

}  // namespace

TEST_F(KvTest, ViewRowsFollowAModelThroughRandomSteps) {
  ViewFixture fx;
  TMemTableKv& t = *fx.Table;
  t.SetCachedUpdates(true);
  std::mt19937 rng(5);
  int next = 0;
  bool sorted = false;
  TUpdateStatusSetKv filter = kDefaultStatusFilterKv;
  for (int step = 0; step < 600; ++step) {
    // Rows of other statuses are only looked at; changes go through the default filter.
    const unsigned op = filter == kDefaultStatusFilterKv ? rng() % 12 : 8 + rng() % 4;
    const int rows = t.RecordCount();
    auto go = [&] { t.SetRecNo(static_cast<int>(rng() % static_cast<unsigned>(rows)) + 1); };
    if (op < 4 || (rows == 0 && op < 8)) {
      if (rows > 0) go();
      if (op % 2) t.Append();
      else t.Insert();
      t.FieldByName(u"Id")->SetAsInteger(next++);
      t.FieldByName(u"Key")->SetAsInteger(static_cast<int>(rng() % 20));
      t.Post();
    } else if (op < 6) {
      go();
      t.Edit();
      t.FieldByName(u"Key")->SetAsInteger(static_cast<int>(rng() % 20));
      t.Post();
    } else if (op < 8) {
      go();
      t.Delete();
    } else if (op == 8) {
      sorted = !sorted;
      t.SetSortOrder(sorted ? u"Key" : u"");
    } else if (op == 9) {
      filter = (rng() % 3 == 0) ? UpdateStatusBit(usDeleted) : kDefaultStatusFilterKv;
      t.SetStatusFilter(filter);
    } else if (op == 10 && rng() % 4 == 0) {
      t.ApplyUpdates();
    } else if (op == 11 && rng() % 6 == 0) {
      t.CancelUpdates();
    }
    ASSERT_EQ(fx.Rows(), fx.Expected(sorted, filter)) << "step " << step;
    ASSERT_EQ(fx.Replayed, fx.Rows()) << "step " << step;
    ASSERT_EQ(t.RecordCount(), static_cast<int>(fx.Rows().size()));
    for (int i = 0; i < fx.View->Count(); ++i) ASSERT_EQ(fx.View->IndexOfRec(fx.View->GetRec(i)), i);
  }
}

TEST_F(KvTest, SortOrderTextsAndTheirErrors) {
  auto t = MakeBenchmarkTable();
  const struct {
    double Salary;
    const char16_t* Name;
  } rows[] = {{100, u"b"}, {300, u"a"}, {100, u"a"}, {200, u"c"}};
  for (const auto& r : rows) {
    t->Append();
    t->FieldByName(u"Salary")->SetAsFloat(r.Salary);
    t->FieldByName(u"ContactName")->SetAsString(r.Name);
    t->Post();
  }
  auto names = [&] {
    String s;
    for (t->First(); !t->Eof(); t->Next()) s += t->FieldByName(u"ContactName")->AsString();
    return s;
  };
  const struct {
    const char16_t* Text;
    const char16_t* Names;
  } cases[] = {
      {u"Salary DESC; ContactName", u"acab"},
      {u"Salary DESC ASC", u"acba"},  // equal keys keep records-list order
      {u"Salary;", u"baca"},
      {u"ContactName, Salary desc", u"aabc"},
      {u"", u"baac"},
  };
  for (const auto& c : cases) {
    t->SetSortOrder(c.Text);
    EXPECT_EQ(names(), String(c.Names)) << String(c.Text).size();
  }
  t->SetSortOrder(u"Salary");
  try {
    t->SetSortOrder(u"Salary X");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), String(u" Invalid token - \"X\""));
  }
  try {
    t->SetSortOrder(u"Nope");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), String(u" Field - \"Nope\" not found."));
  }
  EXPECT_EQ(t->SortOrder(), String(u"Salary"));
  EXPECT_EQ(names(), String(u"baca"));
}
