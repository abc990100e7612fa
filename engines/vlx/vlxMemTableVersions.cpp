// Transactions driven from the table, and tables sharing one store. Transactions belong to the store:
// every table of it sees the same level, and commit and rollback bring every active table's indexes
// back in line, so no index keeps a record a rollback freed. A table is either the owner of its store
// or attached to another table's store; an owner that goes hands each attached table a fresh store of
// its own.
#include "engines/vlx/vlxMemTable.h"

namespace {
constexpr char16_t SNeedsMultiVersion[] = u"Transactioning requires multiversion versioning.";
constexpr char16_t SAttachToSelf[] = u"Cant attach memorytable to it self.";
constexpr char16_t SAttachToAttachment[] = u"Cant attach to another table which itself is an attachment.";
}  // namespace

void TvlxCustomMemTable::StartTransaction() {
  if (!Active()) return;
  if (!FCommon->EnableVersioning() || FCommon->VersioningMode() != mtvmAllSinceCheckPoint)
    throw EMemTableError(String(SNeedsMultiVersion));
  FCommon->IncTransactionLevel();
}

void TvlxCustomMemTable::RefreshAfterStoreChange() {
  if (!Active() || State() != dsBrowse) return;
  FRecNo = std::min(FRecNo, FCurIndex->Count() - 1);
  CursorPosChanged();
  try {
    Resync(0);
  } catch (const EDatabaseError&) {
    // The record shown is gone: the first record stands in.
    ClearBuffers();
    FRecNo = -1;
    First();
  }
}

void TvlxCustomMemTable::Commit() {
  TvlxCommon::TLockGuard lock(*FCommon);
  if (!Active() || FCommon->TransactionLevel() <= 0) return;
  FCommon->Commit();
  FCommon->DecTransactionLevel();
  FCommon->RebuildIndexes();
  for (TvlxCustomMemTable* t : FCommon->AttachedTables())
    if (t != nullptr) t->RefreshAfterStoreChange();
}

void TvlxCustomMemTable::Rollback() {
  TvlxCommon::TLockGuard lock(*FCommon);
  if (!Active() || FCommon->TransactionLevel() <= 0) return;
  if (State() == dsEdit || State() == dsInsert) {
    Cancel();
    UpdateCursorPos();
  }
  FCommon->Rollback();
  FCommon->DecTransactionLevel();
  FCommon->RebuildIndexes();
  for (TvlxCustomMemTable* t : FCommon->AttachedTables())
    if (t != nullptr && t->Active()) {
      t->UpdateIsFiltered();
      t->RefreshAfterStoreChange();
    }
}

void TvlxCustomMemTable::CloseAttachedTables() {
  if (FCommon->IsAnyTableActive()) FCommon->CloseTables(nullptr);
}

void TvlxCustomMemTable::TakeOwnStore() {
  FCurIndex = nullptr;
  FSortIndex = FDetailIndex = FRangeIndex = FGroupIndex = FGroupIndexOwned = nullptr;
  FIndexes.reset();
  FCommon = std::make_unique<TvlxCommon>(this);
  FTableID = FCommon->AttachTable(this);
  FIndexes = std::make_unique<TvlxIndexes>(this);
  auto rowOrder = std::make_unique<TvlxIndex>(nullptr, kRowOrderIndexName, this, String(), 0, mtitNonSorted);
  rowOrder->SetRowOrder(true);
  FIndexes->SetRowOrderIndex(rowOrder.get());
  FCurIndex = FIndexes->AddIndex(std::move(rowOrder));
}

void TvlxCustomMemTable::SetAttachedTo(TvlxCustomMemTable* Value) {
  if (Value == FAttachedTo) return;
  if (Value == this) throw EMemTableError(String(SAttachToSelf));
  if (Value != nullptr && Value->FAttachedTo != nullptr) throw EMemTableError(String(SAttachToAttachment));
  Close();
  if (FAttachedTo != nullptr) {
    FCommon->DeAttachTable(this);
    FAttachedTo = nullptr;
    TakeOwnStore();
    FCommon->SetStandalone(false);
  }
  if (Value == nullptr) return;
  // Tables attached to this one follow it to nothing: they get stores of their own first.
  for (TvlxCustomMemTable* t : std::vector<TvlxCustomMemTable*>(FCommon->AttachedTables()))
    if (t != nullptr && t != this) t->DetachFromDyingStore();
  FCommon->DeAttachTable(this);
  FCurIndex = nullptr;
  FSortIndex = FDetailIndex = FRangeIndex = FGroupIndex = FGroupIndexOwned = nullptr;
  FIndexes.reset();
  FCommon = std::unique_ptr<TvlxCommon, TvlxStoreRef>(Value->FCommon.get(), TvlxStoreRef(false));
  FIndexes = std::make_unique<TvlxIndexes>(this);
  auto rowOrder = std::make_unique<TvlxIndex>(nullptr, kRowOrderIndexName, this, String(), 0, mtitNonSorted);
  rowOrder->SetRowOrder(true);
  FIndexes->SetRowOrderIndex(rowOrder.get());
  FCurIndex = FIndexes->AddIndex(std::move(rowOrder));
  try {
    FTableID = FCommon->AttachTable(this);
  } catch (...) {
    TakeOwnStore();
    FCommon->SetStandalone(false);
    throw;
  }
  FAttachedTo = Value;
  CopyFieldDefs(Value->FieldDefs(), FieldDefs());
  for (TField* f : Value->Fields()) {
    if (FindField(f->FieldName()) != nullptr) continue;
    TField* mine = CreateFieldAs(f, false);
    if (mine != nullptr) CopyFieldProperties(f, mine);
  }
}

void TvlxCustomMemTable::DetachFromDyingStore() {
  try {
    Close();
  } catch (...) {
    HandleCurrentException(this);
  }
  FCommon->DeAttachTable(this);
  FAttachedTo = nullptr;
  TakeOwnStore();
  FCommon->SetStandalone(false);
}
