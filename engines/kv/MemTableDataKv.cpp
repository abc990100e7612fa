#include "engines/kv/MemTableDataKv.h"

#include <algorithm>

#include "engines/kv/IndexesKv.h"
#include "engines/kv/RecordsViewKv.h"
#include "platform/classes/ClassRegistry.h"

// ---- TRecordsListNotificatorKv -------------------------------------------------------------------------

TRecordsListNotificatorKv::TRecordsListNotificatorKv(TComponent* AOwner) : TComponent(AOwner) {}

TRecordsListNotificatorKv::~TRecordsListNotificatorKv() { SetDataObject(nullptr); }

void TRecordsListNotificatorKv::SetDataObject(TComponent* Value) {
  if (FDataObject == Value) return;
  DoDataEvent(nullptr, -1, rlnListChangingKv);
  if (auto* old = dynamic_cast<TMemTableDataKv*>(FDataObject)) old->RemoveNotificator(this);
  if (auto* old = dynamic_cast<TRecordsViewKv*>(FDataObject)) old->RemoveNotificator(this);
  if (FDataObject) FDataObject->RemoveFreeNotification(this);
  FDataObject = Value;
  FMemTableData = dynamic_cast<TMemTableDataKv*>(Value);
  if (FMemTableData) FMemTableData->AddNotificator(this);
  if (auto* view = dynamic_cast<TRecordsViewKv*>(Value)) view->AddNotificator(this);
  if (Value) Value->FreeNotification(this);
  DoDataEvent(nullptr, -1, rlnListChangedKv);
}

void TRecordsListNotificatorKv::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == FDataObject) {
    if (auto* data = dynamic_cast<TMemTableDataKv*>(FDataObject)) data->RemoveNotificator(this);
    if (auto* view = dynamic_cast<TRecordsViewKv*>(FDataObject)) view->RemoveNotificator(this);
    FDataObject = nullptr;
    FMemTableData = nullptr;
  }
}

void TRecordsListNotificatorKv::DoDataEvent(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Action) {
  if (OnDataEvent) OnDataEvent(MemRec, Index, Action);
}

void TRecordsListNotificatorKv::DoRecordMoved(TMemoryRecordKv* MemRec, int OldIndex, int NewIndex) {
  if (OnRecordMoved) OnRecordMoved(MemRec, OldIndex, NewIndex);
}

void TRecordsListNotificatorKv::DoStructChanged() {
  if (OnStructChanged) OnStructChanged();
}

// ---- TAutoIncrementKv ----------------------------------------------------------------------------------

void TAutoIncrementKv::SetInitValue(int Value) {
  if (FCurValue == FInitValue) FCurValue = Value;
  FInitValue = Value;
}

int TAutoIncrementKv::Promote() {
  const int v = FCurValue;
  FCurValue += FStep;
  return v;
}

void TAutoIncrementKv::Assign(const TPersistent* Source) {
  if (const auto* src = dynamic_cast<const TAutoIncrementKv*>(Source)) {
    FStep = src->FStep;
    SetInitValue(src->FInitValue);
    return;
  }
  TPersistent::Assign(Source);
}

// ---- TMemTableDataKv -----------------------------------------------------------------------------------

TMemTableDataKv::TMemTableDataKv(TComponent* AOwner) : TComponent(AOwner) {
  FDataStruct = new TMTDataStructKv(this);
  FDataStruct->SetName(u"DataStruct");
  FDataStruct->SetMemTableData(this);
  FRecordsList = new TRecordsListKv(this);
  FRecordsList->SetName(u"RecordsList");
}

TMemTableDataKv::~TMemTableDataKv() {
  while (!FNotificators.empty()) FNotificators.front()->SetDataObject(nullptr);
  // Records first: freeing them needs nothing of the structure, and nobody listens any more.
  delete FRecordsList;
  delete FDataStruct;
}

void TMemTableDataKv::AddNotificator(TRecordsListNotificatorKv* Item) {
  if (std::find(FNotificators.begin(), FNotificators.end(), Item) == FNotificators.end())
    FNotificators.push_back(Item);
}

void TMemTableDataKv::RemoveNotificator(TRecordsListNotificatorKv* Item) {
  FNotificators.erase(std::remove(FNotificators.begin(), FNotificators.end(), Item), FNotificators.end());
}

bool TMemTableDataKv::HasApplyUpdatesListener() const {
  for (const auto* n : FNotificators)
    if (n->OnApplyUpdates) return true;
  return false;
}

void TMemTableDataKv::DataEvent(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Action) {
  for (size_t i = 0; i < FNotificators.size(); ++i) FNotificators[i]->DoDataEvent(MemRec, Index, Action);
}

void TMemTableDataKv::RecordMoved(TMemoryRecordKv* MemRec, int OldIndex, int NewIndex) {
  for (size_t i = 0; i < FNotificators.size(); ++i) FNotificators[i]->DoRecordMoved(MemRec, OldIndex, NewIndex);
}

void TMemTableDataKv::StructChanged() {
  FIncFieldIndexes.clear();
  for (int i = 0; i < FDataStruct->Count(); ++i) {
    const TMTDataFieldKv* f = FDataStruct->DataFields(i);
    if (f->DataType() == ftAutoInc || f->AutoIncrement()) FIncFieldIndexes.push_back(i);
  }
  for (size_t i = 0; i < FNotificators.size(); ++i) FNotificators[i]->DoStructChanged();
}

void TMemTableDataKv::AssignAutoIncValues(TMemoryRecordKv* MemRec) {
  if (FIncFieldIndexes.empty()) return;
  const int value = FAutoIncrement.Promote();
  for (int i : FIncFieldIndexes)
    if (i < MemRec->ValueCount()) MemRec->SetDataValue(i, dvvValueKv, Variant(value));
}

void TMemTableDataKv::SetOnFieldCalculation(TFieldCalculationKv Value) {
  FOnFieldCalculation = std::move(Value);
  if (!FOnFieldCalculation) return;
  for (TMemoryRecordKv* r = FRecordsList->First(); r; r = TRecordsListKv::Next(r)) CalculateFields(r);
}

void TMemTableDataKv::CalculateFields(TMemoryRecordKv* MemRec) {
  if (!FOnFieldCalculation) return;
  std::vector<Variant> values(static_cast<size_t>(MemRec->ValueCount()));
  FOnFieldCalculation(MemRec, values);
  // A handler may shrink or grow the array; only the fields it covers are taken.
  for (int i = 0; i < MemRec->ValueCount() && i < FDataStruct->Count(); ++i) {
    if (!FDataStruct->DataFields(i)->Calculated()) continue;
    const Variant& v = static_cast<size_t>(i) < values.size() ? values[static_cast<size_t>(i)] : Variant();
    MemRec->SetDataValue(i, dvvValueKv, v.IsEmpty() ? Null() : v);
  }
}

TMTDataStructKv* TMemTableDataKv::BeginRestruct() {
  if (FRestructMode) throw Exception(u"MemTableData already in RestructMode.");
  auto scratch = std::make_unique<TMTDataStructKv>(nullptr);
  scratch->Assign(FDataStruct);
  FNewDataStruct = std::move(scratch);
  FRestructMode = true;
  return FNewDataStruct.get();
}

void TMemTableDataKv::CancelRestruct() {
  FRestructMode = false;
  FNewDataStruct.reset();
}

void TMemTableDataKv::CommitRestruct() {
  if (!FRestructMode) return;
  // The change log keeps values in the old layout: it is applied or cancelled first.
  if (FRecordsList->HasCachedChanges()) throw Exception(u"Cannot restructure while cached updates are pending.");
  TMTDataStructKv* next = FNewDataStruct.get();
  // Everything is converted into new records first; the table changes only when all of them are made.
  std::vector<int> from(static_cast<size_t>(next->Count()), -1);
  for (int i = 0; i < next->Count(); ++i) from[static_cast<size_t>(i)] = FDataStruct->FieldIndex(next->DataFields(i)->FieldName());
  std::vector<std::vector<Variant>> rows;
  rows.reserve(static_cast<size_t>(FRecordsList->Count()));
  for (TMemoryRecordKv* r = FRecordsList->First(); r; r = TRecordsListKv::Next(r)) {
    std::vector<Variant> row(static_cast<size_t>(next->Count()), Null());
    for (int i = 0; i < next->Count(); ++i) {
      const int old = from[static_cast<size_t>(i)];
      if (old < 0) continue;
      const Variant& v = r->GetDataValue(old);
      if (v.IsNull() || v.IsEmpty()) continue;
      const TVarType t = next->DataFields(i)->VarDataType();
      try {
        row[static_cast<size_t>(i)] = t == varVariant || v.VType() == t ? v : VarAsType(v, t);
      } catch (const Exception&) {
        // A value the new type cannot hold is dropped, not the restructure.
      }
    }
    rows.push_back(std::move(row));
  }
  FDataStruct->BeginUpdate();
  FDataStruct->Assign(next);
  FDataStruct->EndUpdate(false);
  FRecordsList->ReplaceAllValues(rows);
  FRestructMode = false;
  FNewDataStruct.reset();
  StructChanged();
  FRecordsList->Notify(nullptr, -1, rlnListChangedKv);
}

void TMemTableDataKv::DestroyTable() {
  FRecordsList->Clear();
  FAutoIncrement.Reset();
  FDataStruct->Clear();
}

void TMemTableDataKv::ResetRecords() {
  FRecordsList->Clear();
  FAutoIncrement.Reset();
}

void TMemTableDataKv::SwapContents(TMemTableDataKv& Other) {
  // The two children change owners; their names stay, and each owner has exactly one of each.
  RemoveComponent(FDataStruct);
  RemoveComponent(FRecordsList);
  Other.RemoveComponent(Other.FDataStruct);
  Other.RemoveComponent(Other.FRecordsList);
  std::swap(FDataStruct, Other.FDataStruct);
  std::swap(FRecordsList, Other.FRecordsList);
  InsertComponent(FDataStruct);
  InsertComponent(FRecordsList);
  Other.InsertComponent(Other.FDataStruct);
  Other.InsertComponent(Other.FRecordsList);
  FDataStruct->SetMemTableData(this);
  Other.FDataStruct->SetMemTableData(&Other);
  FRecordsList->FMemTableData = this;
  Other.FRecordsList->FMemTableData = &Other;
  {
    TAutoIncrementKv mine;
    mine.SetStep(FAutoIncrement.Step());
    mine.SetInitValue(FAutoIncrement.InitValue());
    mine.SetCurValue(FAutoIncrement.CurValue());
    FAutoIncrement.SetStep(Other.FAutoIncrement.Step());
    FAutoIncrement.SetInitValue(Other.FAutoIncrement.InitValue());
    FAutoIncrement.SetCurValue(Other.FAutoIncrement.CurValue());
    Other.FAutoIncrement.SetStep(mine.Step());
    Other.FAutoIncrement.SetInitValue(mine.InitValue());
    Other.FAutoIncrement.SetCurValue(mine.CurValue());
  }
  std::swap(FStoreStructInStream, Other.FStoreStructInStream);
  std::swap(FStoreRecordsInStream, Other.FStoreRecordsInStream);
  // Key indexes belong to the table, not to the records they were built over.
  std::swap(FRecordsList->FIndexes, Other.FRecordsList->FIndexes);
  FRecordsList->FIndexes->Rebind(FRecordsList);
  Other.FRecordsList->FIndexes->Rebind(Other.FRecordsList);
  StructChanged();
  FRecordsList->Notify(nullptr, -1, rlnListChangedKv);
}

void TMemTableDataKv::DefineProperties(TFiler* Filer) {
  TComponent::DefineProperties(Filer);
  const bool changed = FAutoIncrement.CurValue() != FAutoIncrement.InitValue();
  Filer->DefineProperty(
      u"AutoIncCurValue", [this](TReader* r) { FAutoIncrement.SetCurValue(r->ReadInteger()); },
      [this](TWriter* w) { w->WriteInteger(FAutoIncrement.CurValue()); }, changed);
}

void TMemTableDataKv::GetChildren(const TGetChildProc& Proc, TComponent*) {
  if (FStoreStructInStream) Proc(FDataStruct);
  if (FStoreRecordsInStream) Proc(FRecordsList);
}

void TMemTableDataKv::ReadState(TReader* Reader) {
  auto previous = Reader->OnCreateComponent;
  Reader->OnCreateComponent = [this](TReader*, const TMetaClass& cls, TComponent*& component) {
    if (cls.InheritsFrom<TMTDataStructKv>()) component = FDataStruct;
    else if (cls.InheritsFrom<TRecordsListKv>()) component = FRecordsList;
  };
  try {
    TComponent::ReadState(Reader);
  } catch (...) {
    Reader->OnCreateComponent = previous;
    throw;
  }
  Reader->OnCreateComponent = previous;
}

void TMemTableDataKv::WriteToStream(TStream* Stream) { Stream->WriteComponent(this); }

void TMemTableDataKv::ReadFromStream(TStream* Stream) { Stream->ReadComponent(this); }

// ---- registration --------------------------------------------------------------------------------------

namespace {
template <class F>
void ForEachStreamClass(F f) {
  f(ClassOf<TMemTableDataKv>());
  f(ClassOf<TMTDataStructKv>());
  f(ClassOf<TRecordsListKv>());
  f(ClassOf<TMTDataFieldKv>());
  f(ClassOf<TMTStringDataFieldKv>());
  f(ClassOf<TMTNumericDataFieldKv>());
  f(ClassOf<TMTDateTimeDataFieldKv>());
  f(ClassOf<TMTBlobDataFieldKv>());
  f(ClassOf<TMTBooleanDataFieldKv>());
  f(ClassOf<TMTInterfaceDataFieldKv>());
  f(ClassOf<TMTVariantDataFieldKv>());
  f(ClassOf<TMTRefObjectFieldKv>());
  f(ClassOf<TMTSQLTimeStampDataFieldKv>());
}
}  // namespace

void InitializeMemTableDataKv() {
  ForEachStreamClass([](const TMetaClass& c) { RegisterClass(c); });
}

void FinalizeMemTableDataKv() {
  ForEachStreamClass([](const TMetaClass& c) { UnRegisterClass(c); });
}

void RegisterMemTableDataKvUnit(TUnitList& Units) {
  Units.Add({"MemTableDataKv", &InitializeMemTableDataKv, &FinalizeMemTableDataKv});
}
