// Versions per mode, transactions from the table, delta chains through a stream, and attached tables.
#include "engines/vlx/tests/vlxTestSupport.h"

using namespace vlxtest;

namespace {

class VlxVersions : public VlxTest {};

int Versions(TvlxMemTable& T) {
  int n = 0;
  const TvlxRecord* stored = T.Common()->StoredRecord(reinterpret_cast<PvlxRecord>(T.ActiveRecordBuffer())->RecordID);
  for (const TvlxRecord* v = stored->PrevRecordVersion; v != nullptr; v = v->PrevRecordVersion) ++n;
  return n;
}

void EditSalary(TDataSet& T, double Value) {
  T.Edit();
  T.FieldByName(u"Salary")->SetAsFloat(Value);
  T.Post();
}

TEST_F(VlxVersions, ThreeEditsKeepOneOrThreeOlderVersions) {
  for (auto mode : {mtvm1SinceCheckPoint, mtvmAllSinceCheckPoint}) {
    auto t = MakeBenchmarkTable();
    AppendRows(*t, 1, 3);
    t->SetEnableVersioning(true);
    t->SetVersioningMode(mode);
    t->First();
    EditSalary(*t, 1);
    EditSalary(*t, 2);
    EditSalary(*t, 3);
    EXPECT_EQ(Versions(*t), mode == mtvm1SinceCheckPoint ? 1 : 3);
    EXPECT_EQ(t->UpdateStatus(), usModified);
    // The old value is the oldest version's.
    const TDataSetState s = t->__SetTempState(dsOldValue);
    EXPECT_DOUBLE_EQ(t->FieldByName(u"Salary")->AsFloat(), 4001.25);
    t->__RestoreState(s);
    EXPECT_DOUBLE_EQ(t->FieldByName(u"Salary")->AsFloat(), 3);
    // The chains travel through a stream that keeps deltas.
    TvlxBinaryStreamFormat fmt;
    fmt.sfDeltas = sfSaveDeltas | sfLoadDeltas;
    TMemoryStream ms;
    t->SaveToStreamViaFormat(&ms, &fmt);
    auto u = MakeBenchmarkTable();
    u->SetEnableVersioning(true);
    ms.SetPosition(0);
    u->LoadFromStreamViaFormat(&ms, &fmt);
    u->First();
    EXPECT_EQ(Versions(*u), mode == mtvm1SinceCheckPoint ? 1 : 3);
    EXPECT_DOUBLE_EQ(u->FieldByName(u"Salary")->AsFloat(), 3);
  }
}

TEST_F(VlxVersions, TransactionsRollBackAndCommitByLevel) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 3);
  EXPECT_THROW(t->StartTransaction(), EMemTableError);
  t->SetEnableVersioning(true);
  t->SetVersioningMode(mtvmAllSinceCheckPoint);
  t->StartTransaction();
  AppendRows(*t, 4, 5);
  t->First();
  EditSalary(*t, 7);
  t->Last();
  t->Delete();
  t->Rollback();
  EXPECT_EQ(t->TransactionLevel(), 0);
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 2, 3}));
  t->First();
  EXPECT_DOUBLE_EQ(t->FieldByName(u"Salary")->AsFloat(), 4001.25);
  // A delete rolled back no longer counts as deleted.
  t->StartTransaction();
  t->Last();
  t->Delete();
  EXPECT_EQ(t->DeletedRecordsCount(), 1);
  t->Rollback();
  EXPECT_EQ(t->DeletedRecordsCount(), 0);
  EXPECT_FALSE(t->IsFilteredView());
  EXPECT_EQ(Ids(*t), (std::vector<int>{1, 2, 3}));
  // Nested: a committed change moves down one level and a rollback there undoes it.
  t->StartTransaction();
  t->StartTransaction();
  t->First();
  EditSalary(*t, 9);
  t->Commit();
  EXPECT_EQ(t->TransactionLevel(), 1);
  t->First();
  EXPECT_DOUBLE_EQ(t->FieldByName(u"Salary")->AsFloat(), 9);
  t->Rollback();
  t->First();
  EXPECT_DOUBLE_EQ(t->FieldByName(u"Salary")->AsFloat(), 4001.25);
  EXPECT_EQ(t->RecordCount(), 3);
}

TEST_F(VlxVersions, DeletedRecordsLeaveTheDefaultIndexes) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 4);
  t->SetEnableVersioning(true);
  t->First();
  t->Delete();
  EXPECT_EQ(t->RecordCount(), 3);
  EXPECT_TRUE(t->IsFilteredView());
  t->SetStatusFilter(StatusBit(usDeleted));
  EXPECT_EQ(t->RecordCount(), 0);
  t->SetStatusFilter(0);
  EXPECT_EQ(Ids(*t), (std::vector<int>{2, 3, 4}));
}

TEST_F(VlxVersions, AttachedTablesShareRecords) {
  auto a = MakeBenchmarkTable(false);
  auto b = std::make_unique<TvlxMemTable>(nullptr);
  EXPECT_THROW(b->SetAttachedTo(b.get()), EMemTableError);
  b->SetAttachedTo(a.get());
  a->Open();
  AppendRows(*a, 1, 3);
  b->Open();
  EXPECT_EQ(Ids(*b), (std::vector<int>{1, 2, 3}));
  // A post in B shows in A at once; each keeps its own cursor.
  a->Last();
  b->Append();
  FillRow(*b, 4);
  b->Post();
  EXPECT_EQ(a->RecordCount(), 4);
  EXPECT_EQ(Ids(*a), (std::vector<int>{1, 2, 3, 4}));
  a->First();
  a->Next();
  b->GotoCurrent(*a);
  EXPECT_EQ(b->FieldByName(u"CustomerID")->AsInteger(), 2);
  a->First();
  b->GotoCurrent(*a);
  EXPECT_EQ(b->RecNo(), 1);
  // Filters are per table.
  b->SetFilterText(u"CustomerID > 2");
  b->SetFiltered(true);
  a->First();
  EXPECT_THROW(b->GotoCurrent(*a), EDatabaseError);
  b->SetFiltered(false);
  // Closing B leaves the records to A; reopened, B sees them again.
  b->Close();
  EXPECT_EQ(a->RecordCount(), 4);
  b->Open();
  EXPECT_EQ(b->RecordCount(), 4);
  // A third table cannot attach to an attachment.
  TvlxMemTable c(nullptr);
  EXPECT_THROW(c.SetAttachedTo(b.get()), EMemTableError);
  // Closing the owner closes B and empties the records.
  a->Close();
  EXPECT_FALSE(b->Active());
  a->Open();
  EXPECT_EQ(a->RecordCount(), 0);
  // Detached, B has a store of its own that takes posts.
  b->SetAttachedTo(nullptr);
  b->Open();
  EXPECT_EQ(b->RecordCount(), 0);
  AppendRows(*b, 1, 2);
  EXPECT_EQ(b->RecordCount(), 2);
  EXPECT_EQ(a->RecordCount(), 0);
}

TEST_F(VlxVersions, AttachedCalculatedFieldsMustFitTheOwnersRecords) {
  auto a = MakeBenchmarkTable(false);
  TvlxMemTable b(nullptr);
  b.SetAttachedTo(a.get());
  for (int i = 0; i < b.FieldDefs().Count(); ++i) b.FieldDefs()[i]->CreateField(&b);
  auto* extra = new TStringField(&b);
  extra->SetFieldName(u"Extra");
  extra->SetSize(40);
  extra->SetFieldKind(fkCalculated);
  extra->SetDataSet(&b);
  a->Open();
  AppendRows(*a, 1, 2);
  EXPECT_THROW(b.Open(), EMemTableError);
  EXPECT_FALSE(b.Active());
  EXPECT_EQ(a->RecordCount(), 2);
}

TEST_F(VlxVersions, RollbackWithAnAttachedTableAndTheOwnerGoingFirst) {
  auto a = MakeBenchmarkTable(false);
  auto b = std::make_unique<TvlxMemTable>(nullptr);
  b->SetAttachedTo(a.get());
  a->Open();
  b->Open();
  AppendRows(*a, 1, 3);
  b->SetIndexFieldNames(u"Salary");
  a->SetEnableVersioning(true);
  a->SetVersioningMode(mtvmAllSinceCheckPoint);
  b->StartTransaction();
  AppendRows(*b, 4, 6);
  b->Last();
  EXPECT_EQ(b->FieldByName(u"CustomerID")->AsInteger(), 6);
  a->Rollback();
  // B's indexes hold none of the freed records.
  EXPECT_EQ(Ids(*b), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(b->RecordCount(), 3);
  a.reset();
  // B lives on with a store of its own.
  EXPECT_EQ(b->AttachedTo(), nullptr);
  EXPECT_FALSE(b->Active());
  b->Open();
  AppendRows(*b, 1, 2);
  EXPECT_EQ(b->RecordCount(), 2);
}

}  // namespace
