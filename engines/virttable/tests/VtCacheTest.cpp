// Cached updates: pending changes, apply, commit, cancel, revert and restore, with RecNo and
// RecordCount checked after each step.
#include <gtest/gtest.h>

#include "VtTestSupport.h"
#include <algorithm>
#include <cstring>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/SysUtils.h"

using namespace vttest;

namespace {

class VtCache : public CodePage936 {
 protected:
  void SetUp() override {
    CodePage936::SetUp();
    t = std::make_unique<TVirtTable>(nullptr);
    t->FieldDefs().Add(u"ID", ftInteger, 0, false);
    t->FieldDefs().Add(u"Name", ftString, 20, false);
    t->FieldDefs().Add(u"Note", ftMemo, 0, false);
    t->Open();
    for (int i = 1; i <= 3; ++i) Row(i, u"n" + IntToStr(i));
    t->Close();
    t->SetCachedUpdates(true);
    t->Open();
  }
  void Row(int Id, const String& Name) {
    t->Append();
    t->FieldByName(u"ID")->SetAsInteger(Id);
    t->FieldByName(u"Name")->SetAsString(Name);
    t->FieldByName(u"Note")->SetAsString(u"memo " + Name);
    t->Post();
  }
  void Edit(int RecNo, const String& Name) {
    t->SetRecNo(RecNo);
    t->Edit();
    t->FieldByName(u"Name")->SetAsString(Name);
    t->FieldByName(u"Note")->SetAsString(u"memo " + Name);
    t->Post();
  }
  String Names() {
    String s;
    for (t->First(); !t->Eof(); t->Next()) {
      s += t->FieldByName(u"Name")->AsString() + u"/" + t->FieldByName(u"Note")->AsString() + u";";
      EXPECT_EQ(t->RecNo(), static_cast<int>(std::count(s.begin(), s.end(), u';')));
    }
    EXPECT_EQ(t->RecordCount(), static_cast<int>(std::count(s.begin(), s.end(), u';')));
    return s;
  }
  std::unique_ptr<TVirtTable> t;
};

TEST_F(VtCache, SwitchingNeedsAClosedTableAndModeChecks) {
  EXPECT_THROW(t->SetCachedUpdates(false), EDatabaseError);
  t->Close();
  t->SetCachedUpdates(false);
  t->Open();
  EXPECT_THROW(t->ApplyUpdates(), EDatabaseError);
  EXPECT_THROW(t->RevertRecord(), EDatabaseError);
  EXPECT_THROW(t->UpdateRecordTypes(), EDatabaseError);
  EXPECT_THROW(t->SetUpdateRecordTypes(0), EDatabaseError);
}

// Rows show by their pending change: one of each kind, then every set of kinds in a table.
TEST_F(VtCache, UpdateRecordTypesChooseTheRowsShown) {
  EXPECT_EQ(t->UpdateRecordTypes(), kDefaultUpdateRecordTypes);
  Edit(1, u"m");  // modified
  t->SetRecNo(2);
  t->Delete();  // deleted
  Row(4, u"i");  // inserted; row 3 stays unmodified
  const unsigned M = 1u << rtModified, I = 1u << rtInserted, D = 1u << rtDeleted, U = 1u << rtUnmodified;
  const struct {
    unsigned types;
    const char16_t* names;
  } cases[] = {
      {M | I | U, u"m/memo m;n3/memo n3;i/memo i;"},
      {M, u"m/memo m;"},
      {D, u"n2/memo n2;"},
      {I | D, u"n2/memo n2;i/memo i;"},
      {U, u"n3/memo n3;"},
      {M | I | D | U, u"m/memo m;n2/memo n2;n3/memo n3;i/memo i;"},
      {0, u""},
  };
  for (const auto& c : cases) {
    t->SetUpdateRecordTypes(c.types);
    EXPECT_EQ(Names(), c.names) << c.types;
  }
  // An edit in progress is posted first; switching cached updates resets the set.
  t->SetUpdateRecordTypes(M | I | U);
  t->SetRecNo(2);
  t->Edit();
  t->FieldByName(u"Name")->SetAsString(u"p");
  t->SetUpdateRecordTypes(M);
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_EQ(Names(), u"m/memo m;p/memo n3;");
  t->CancelUpdates();
  t->Close();
  t->SetCachedUpdates(false);
  t->SetCachedUpdates(true);
  EXPECT_EQ(t->UpdateRecordTypes(), kDefaultUpdateRecordTypes);
}

TEST_F(VtCache, InsertUpdateDeleteOfOneRowLeavesNoTrace) {
  Row(4, u"x");
  EXPECT_TRUE(t->UpdatesPending());
  EXPECT_EQ(t->UpdateStatus(), usInserted);
  Edit(4, u"y");
  EXPECT_EQ(t->UpdateStatus(), usInserted);
  t->SetRecNo(4);
  t->Delete();
  EXPECT_FALSE(t->UpdatesPending());
  EXPECT_EQ(Names(), u"n1/memo n1;n2/memo n2;n3/memo n3;");
}

TEST_F(VtCache, CancelRestoresTheStateBeforeTheFirstChange) {
  Edit(2, u"a");
  Edit(2, u"b");  // the saved record stays the one before "a"
  EXPECT_EQ(t->UpdateStatus(), usModified);
  Row(9, u"new");
  t->SetRecNo(1);
  t->Delete();
  EXPECT_EQ(Names(), u"b/memo b;n3/memo n3;new/memo new;");
  t->CancelUpdates();
  EXPECT_FALSE(t->UpdatesPending());
  EXPECT_EQ(Names(), u"n1/memo n1;n2/memo n2;n3/memo n3;");
}

TEST_F(VtCache, DeletingAnUpdatedRowAndRevertingIt) {
  Edit(3, u"c");
  t->SetRecNo(3);
  t->Delete();
  EXPECT_EQ(Names(), u"n1/memo n1;n2/memo n2;");
  // The deleted row is hidden; the record set still holds it with its earlier values.
  vt::TMemData& d = *t->Data();
  vt::TItemHeader* hidden = d.FirstItem()->Next->Next;
  EXPECT_EQ(hidden->Status, vt::isDeleted);
  d.SetCurrentItem(hidden);
  d.RevertRecord();
  t->Resync(0);
  EXPECT_EQ(Names(), u"n1/memo n1;n2/memo n2;n3/memo n3;");
  EXPECT_FALSE(t->UpdatesPending());
}

TEST_F(VtCache, ApplyAndCommitThroughTheHandler) {
  Edit(1, u"a");
  Row(4, u"d");
  t->SetRecNo(2);
  t->Delete();
  std::vector<std::pair<TUpdateKind, String>> seen;
  t->OnUpdateRecord = [&](TDataSet& ds, TUpdateKind Kind, TUpdateAction& Action) {
    seen.emplace_back(Kind, ds.FieldByName(u"Name")->AsString());
    Action = uaApplied;
  };
  t->ApplyUpdates();
  EXPECT_EQ(seen, (std::vector<std::pair<TUpdateKind, String>>{{ukModify, u"a"}, {ukInsert, u"d"}, {ukDelete, u"n2"}}));
  EXPECT_FALSE(t->UpdatesPending());
  t->CommitUpdates();
  EXPECT_EQ(Names(), u"a/memo a;n3/memo n3;d/memo d;");
  t->CancelUpdates();  // nothing left to cancel
  EXPECT_EQ(Names(), u"a/memo a;n3/memo n3;d/memo d;");
  EXPECT_EQ(t->Data()->RecordCount(), 3);

  // A failing answer raises and keeps the change pending.
  Edit(1, u"z");
  t->OnUpdateRecord = [](TDataSet&, TUpdateKind, TUpdateAction& Action) { Action = uaFail; };
  EXPECT_THROW(t->ApplyUpdates(), EDatabaseError);
  EXPECT_TRUE(t->UpdatesPending());
  t->OnUpdateRecord = [](TDataSet&, TUpdateKind, TUpdateAction& Action) { Action = uaAbort; };
  EXPECT_THROW(t->ApplyUpdates(), EAbort);
  t->OnUpdateRecord = nullptr;  // without a handler every change counts as applied
  t->CommitUpdates();
  EXPECT_FALSE(t->UpdatesPending());
  EXPECT_EQ(Names(), u"z/memo z;n3/memo n3;d/memo d;");
}

// What the handler writes to the row being applied (directly, through NewValue, a memo) is what the
// row keeps; OldValue reads the row before the change; a sorted row moves to its new place.
TEST_F(VtCache, HandlerWritesLandInTheAppliedRow) {
  t->SetIndexFieldNames(u"Name");
  Edit(1, u"a");
  Row(4, u"d");
  t->SetRecNo(3);
  t->Delete();  // n2 (a, d, n2, n3)
  std::vector<String> old;
  t->OnUpdateRecord = [&](TDataSet& ds, TUpdateKind Kind, TUpdateAction& Action) {
    TField* name = ds.FieldByName(u"Name");
    old.push_back(VarToStr(name->OldValue()));
    if (Kind == ukModify) name->SetNewValue(Variant(String(u"zz")));
    if (Kind == ukInsert) {
      name->SetAsString(u"b");
      ds.FieldByName(u"Note")->SetAsString(u"changed");
    }
    if (Kind == ukDelete) name->SetAsString(u"lost");  // a deleted row keeps nothing
    Action = uaApplied;
  };
  t->ApplyUpdates();
  EXPECT_EQ(old, (std::vector<String>{u"n1", u"d", u"n2"}));
  EXPECT_EQ(Names(), u"b/changed;n3/memo n3;zz/memo a;");
  t->CommitUpdates();
  EXPECT_EQ(Names(), u"b/changed;n3/memo n3;zz/memo a;");
  EXPECT_EQ(t->Data()->RecordCount(), 3);

  // A handler that raises leaves the row as it was; one that reverts the row gives its writes up.
  Edit(2, u"c");
  t->OnUpdateRecord = [&](TDataSet& ds, TUpdateKind, TUpdateAction&) {
    ds.FieldByName(u"Name")->SetAsString(u"x");
    throw EDatabaseError(u"no");
  };
  EXPECT_EQ(Names(), u"b/changed;c/memo c;zz/memo a;");
  EXPECT_THROW(t->ApplyUpdates(), EDatabaseError);
  EXPECT_EQ(Names(), u"b/changed;c/memo c;zz/memo a;");
  t->OnUpdateRecord = [&](TDataSet& ds, TUpdateKind, TUpdateAction& Action) {
    ds.FieldByName(u"Name")->SetAsString(u"x");
    static_cast<TVirtTable&>(ds).Data()->RevertRecord();
    Action = uaApplied;
  };
  t->ApplyUpdates();
  EXPECT_EQ(Names(), u"b/changed;n3/memo n3;zz/memo a;");
  EXPECT_FALSE(t->UpdatesPending());
}

// Saved records share a row's blob until the row's blob changes; then they keep the content from
// before the change. Every blob goes once (ASan), and cancel, revert and restore bring the content back.
TEST_F(VtCache, SavedRecordsShareBlobsUntilTheyChange) {
  vt::TMemData& d = *t->Data();
  const vt::TFieldDesc& note = *d.FieldByName(u"Note");
  auto handle = [&](const Byte* Rec) {
    std::uint32_t h;
    std::memcpy(&h, Rec + note.Offset, 4);
    return h;
  };
  std::vector<Byte> old(static_cast<std::size_t>(d.RecordSize()));
  t->SetRecNo(1);
  t->Edit();
  t->FieldByName(u"Name")->SetAsString(u"a");  // the memo stays: shared
  t->Post();
  d.GetOldRecord(old.data());
  EXPECT_EQ(handle(old.data()), handle(d.CurrentItem()->Record()));
  EXPECT_EQ(d.Objects().RefCount(handle(old.data())), 2);
  for (const char16_t* memo : {u"first", u"second"}) {  // the first change detaches, the second keeps it
    t->Edit();
    t->FieldByName(u"Note")->SetAsString(memo);
    t->Post();
    d.GetOldRecord(old.data());
    EXPECT_NE(handle(old.data()), handle(d.CurrentItem()->Record()));
    EXPECT_EQ(d.Objects().RefCount(handle(d.CurrentItem()->Record())), 1);
  }
  d.GetOldRecord(old.data());
  EXPECT_EQ(static_cast<vt::TBlob*>(d.Objects().Get(handle(old.data())))->AsAnsiString(), AnsiString("memo n1"));
  EXPECT_EQ(Names(), u"a/second;n2/memo n2;n3/memo n3;");
  t->CancelUpdates();
  EXPECT_EQ(Names(), u"n1/memo n1;n2/memo n2;n3/memo n3;");

  // An apply makes the applied state the saved one (sharing again); a later change and a restore
  // bring the content from before the apply back.
  t->OnUpdateRecord = [](TDataSet&, TUpdateKind, TUpdateAction& Action) { Action = uaApplied; };
  auto applyThenChangeMemo = [&](const String& Name, const String& Memo) {
    Edit(2, Name);
    t->ApplyUpdates();
    t->SetRecNo(2);
    t->Edit();
    t->FieldByName(u"Note")->SetAsString(Memo);
    t->Post();
  };
  applyThenChangeMemo(u"b", u"third");
  EXPECT_EQ(Names(), u"n1/memo n1;b/third;n3/memo n3;");
  t->CancelUpdates();  // back to the applied state
  EXPECT_EQ(Names(), u"n1/memo n1;b/memo b;n3/memo n3;");
  applyThenChangeMemo(u"d", u"fourth");
  d.RestoreUpdates();  // back to the state before the apply
  t->SetRecNo(2);
  t->RevertRecord();
  EXPECT_EQ(Names(), u"n1/memo n1;b/memo b;n3/memo n3;");
  // A deleted row with a changed memo comes back whole.
  Edit(3, u"e");
  t->SetRecNo(3);
  t->Delete();
  t->CancelUpdates();
  EXPECT_EQ(Names(), u"n1/memo n1;b/memo b;n3/memo n3;");
}

TEST_F(VtCache, RecordSetQueueRules) {
  vt::TMemData& d = *t->Data();
  Edit(1, u"a");
  Edit(2, u"b");
  Edit(3, u"c");
  // No callback: nothing applies, nothing is committed.
  d.OnApplyRecord = nullptr;
  d.CommitUpdates();
  EXPECT_TRUE(d.UpdatesPending());
  // Two suspended answers, then an applied one: all three applied.
  int calls = 0;
  d.OnApplyRecord = [&](vt::TUpdateRecKind, vt::TUpdateResult& Action, bool Last) {
    ++calls;
    Action = Last ? vt::urApplied : vt::urSuspended;
  };
  d.ApplyUpdates();
  EXPECT_EQ(calls, 3);
  for (const vt::TItemHeader* it = d.FirstItem(); it; it = it->Next) EXPECT_EQ(it->UpdateResult, vt::urApplied);
  EXPECT_FALSE(d.UpdatesPending());
  // RestoreUpdates puts back the saved records an apply replaced and reopens the changes.
  d.RestoreUpdates();
  EXPECT_TRUE(d.UpdatesPending());
  // A retry processes the change again.
  int tries = 0;
  d.OnApplyRecord = [&](vt::TUpdateRecKind, vt::TUpdateResult& Action, bool) {
    Action = ++tries == 1 ? vt::urRetry : vt::urApplied;
  };
  d.ApplyUpdates();
  EXPECT_EQ(tries, 4);
  // After an apply the saved states are the applied ones; restoring first brings the earlier back.
  d.RestoreUpdates();
  d.CancelUpdates();
  t->Resync(0);
  EXPECT_EQ(Names(), u"n1/memo n1;n2/memo n2;n3/memo n3;");
  // The old record of an inserted row is the row itself.
  Row(5, u"e");
  std::vector<Byte> old(static_cast<std::size_t>(d.RecordSize()));
  d.GetOldRecord(old.data());
  EXPECT_EQ(0, std::memcmp(old.data(), d.CurrentItem()->Record(), old.size()));
}

TEST_F(VtCache, SortedRowsGoBackToTheirPlaceOnCancel) {
  t->SetIndexFieldNames(u"Name");
  Edit(1, u"zz");  // n1 moves last
  EXPECT_EQ(Names(), u"n2/memo n2;n3/memo n3;zz/memo zz;");
  t->CancelUpdates();
  EXPECT_EQ(Names(), u"n1/memo n1;n2/memo n2;n3/memo n3;");
}

}  // namespace
