#include "engines/kv/DataDriverKv.h"

#include "engines/kv/KvValues.h"
#include "platform/classes/ComponentStreaming.h"
#include "platform/rtl/SysUtils.h"

bool IsDefaultKeyFieldTypeKv(TFieldType Type) {
  const int t = static_cast<int>(Type);
  return (t >= 0 && t <= 14) || (t >= 23 && t <= 28) || (t >= 32 && t <= 45);
}

TDataDriverKv::TDataDriverKv(TComponent* AOwner) : TComponent(AOwner) {}

TDataDriverKv::~TDataDriverKv() {
  SetProviderEOF(true);
  if (FProviderDataSet) FProviderDataSet->RemoveFreeNotification(this);
  if (FSideParent) FSideParent->RemoveFreeNotification(this);
}

void TDataDriverKv::SetProviderDataSet(TDataSet* Value) {
  if (Value == FProviderDataSet) return;
  if (FProviderDataSet) FProviderDataSet->RemoveFreeNotification(this);
  if (FReaderDataSet == FProviderDataSet) FReaderDataSet = nullptr;
  FProviderDataSet = Value;
  if (Value) Value->FreeNotification(this);
}

void TDataDriverKv::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == FSideParent) FSideParent = nullptr;
  if (Operation != TOperation::opRemove) return;
  if (AComponent == FProviderDataSet) {
    if (FReaderDataSet == FProviderDataSet) FReaderDataSet = nullptr;
    FProviderDataSet = nullptr;
    FProviderEOF = true;
  }
  if (AComponent == FDataDriverConsumer) FDataDriverConsumer = nullptr;
}

void TDataDriverKv::NotifyConsumerStructChanged() {
  if (auto* consumer = dynamic_cast<IDataDriverConsumerKv*>(FDataDriverConsumer)) consumer->DriverStructChanged();
}

void TDataDriverKv::SetProviderEOF(bool Value) {
  if (Value == FProviderEOF) return;
  FProviderEOF = Value;
  if (Value && FReaderDataSetFreeOnEof) {
    delete FReaderDataSet;
    FReaderDataSet = nullptr;
    FReaderDataSetFreeOnEof = false;
  }
}

TDataSet* TDataDriverKv::GetDataReader() {
  FDataToRecFields.clear();
  if (FReaderDataSet && !FProviderEOF) return FReaderDataSet;
  FReaderDataSetFreeOnEof = false;
  SetProviderEOF(false);
  TDataSet* reader = nullptr;
  bool freeOnEof = false;
  if (OnProduceDataReader) OnProduceDataReader(this, reader, freeOnEof);
  else DefaultProduceDataReader(reader, freeOnEof);
  FReaderDataSet = reader;
  FReaderDataSetFreeOnEof = reader && freeOnEof;
  return reader;
}

void TDataDriverKv::DefaultProduceDataReader(TDataSet*& DataReader, bool& FreeOnEof) {
  FreeOnEof = false;
  DataReader = FProviderDataSet;
  if (!FProviderDataSet) return;
  FProviderDataSet->Open();
  FProviderDataSet->First();
}

void TDataDriverKv::BuildDataStruct(TMTDataStructKv* DataStruct) {
  if (OnBuildDataStruct) {
    OnBuildDataStruct(this, DataStruct);
    return;
  }
  if (OnProduceDataReader) {
    if (TDataSet* reader = GetDataReader()) DataStruct->BuildStructFromFieldDefs(reader->FieldDefs());
    return;
  }
  DefaultBuildDataStruct(DataStruct);
}

void TDataDriverKv::DefaultBuildDataStruct(TMTDataStructKv* DataStruct) {
  if (FReaderDataSet) {
    FReaderDataSet->FieldDefs().Update();
    DataStruct->BuildStructFromFieldDefs(FReaderDataSet->FieldDefs());
    StructBuilt(DataStruct);
    return;
  }
  if (!FProviderDataSet) return;
  // A provider without fields is opened for the duration.
  const bool opened = !FProviderDataSet->Active() && FProviderDataSet->FieldCount() == 0;
  if (opened) FProviderDataSet->Open();
  try {
    FProviderDataSet->FieldDefs().Update();
    DataStruct->BuildStructFromFieldDefs(FProviderDataSet->FieldDefs());
  } catch (...) {
    if (opened) FProviderDataSet->Close();
    throw;
  }
  if (opened) FProviderDataSet->Close();
  StructBuilt(DataStruct);
}

int TDataDriverKv::ReadData(TMemTableDataKv* MemTableData, int Count) {
  if (FProviderEOF || Count == 0) return 0;
  TRecordsListKv* list = MemTableData->RecordsList();
  int read = 0;
  while (Count < 0 || read < Count) {
    TMemoryRecordKv* rec = list->NewRecord();
    bool eof = false;
    try {
      if (OnReadRecord) OnReadRecord(this, MemTableData, rec, eof);
      else DefaultReadRecord(MemTableData, rec, eof);
    } catch (...) {
      list->FreeRecord(rec);
      throw;
    }
    SetProviderEOF(eof);
    if (eof) {
      list->FreeRecord(rec);
      break;
    }
    try {
      list->FetchRecord(rec);
    } catch (...) {
      if (!rec->Attached()) list->FreeRecord(rec);
      throw;
    }
    ++read;
  }
  return read;
}

void TDataDriverKv::DefaultReadRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec, bool& ProviderEOF) {
  TDataSet* reader = FReaderDataSet;
  if (!reader || !reader->Active() || reader->Eof()) {
    ProviderEOF = true;
    return;
  }
  for (int i = 0; i < MemRec->ValueCount(); ++i) AssignFieldValue(MemTableData, MemRec, i, dvvValueKv, reader);
  reader->Next();
}

void TDataDriverKv::AssignFieldValue(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec, int DataFieldIndex,
                                     TDataValueVersionKv Version, TDataSet* ReaderDataSet) {
  if (OnAssignFieldValue) OnAssignFieldValue(this, MemTableData, MemRec, DataFieldIndex, Version, ReaderDataSet);
  else DefaultAssignFieldValue(MemTableData, MemRec, DataFieldIndex, Version, ReaderDataSet);
}

void TDataDriverKv::DefaultAssignFieldValue(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec, int DataFieldIndex,
                                            TDataValueVersionKv Version, TDataSet* ReaderDataSet) {
  if (!ReaderDataSet) return;
  const TMTDataStructKv* s = MemTableData->DataStruct();
  if (FDataToRecFields.empty()) {
    // Field positions are looked up once per reader.
    FDataToRecFields.assign(static_cast<size_t>(s->Count()), -1);
    for (int i = 0; i < s->Count(); ++i)
      for (int j = 0; j < ReaderDataSet->FieldCount(); ++j)
        if (AnsiSameText(ReaderDataSet->Fields()[static_cast<size_t>(j)]->FieldName(), s->DataFields(i)->FieldName())) {
          FDataToRecFields[static_cast<size_t>(i)] = j;
          break;
        }
  }
  if (DataFieldIndex < 0 || DataFieldIndex >= static_cast<int>(FDataToRecFields.size())) return;
  const int j = FDataToRecFields[static_cast<size_t>(DataFieldIndex)];
  if (j < 0 || j >= ReaderDataSet->FieldCount()) return;
  MemRec->SetDataValue(DataFieldIndex, Version, ReaderDataSet->Fields()[static_cast<size_t>(j)]->AsVariant());
}

void TDataDriverKv::UpdateRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) {
  FLastUpdateApplied = true;
  if (OnUpdateRecord) OnUpdateRecord(this, MemTableData, MemRec);
  else FLastUpdateApplied = DefaultUpdateRecord(MemTableData, MemRec);
}

void TDataDriverKv::DefaultUpdateError(TMemTableDataKv*, TMemoryRecordKv*, TUpdateErrorActionKv& Action) {
  Action = ueaBreakRaiseKv;
}

const TUpdateErrorKv* TDataDriverKv::UpdateError(const TMemoryRecordKv* MemRec) const {
  if (!MemRec) return nullptr;
  auto it = FUpdateErrors.find(MemRec->HashCode());
  return it == FUpdateErrors.end() ? nullptr : &it->second;
}

int TDataDriverKv::ApplyUpdates(TMemTableDataKv* MemTableData) {
  TRecordsListKv* list = MemTableData->RecordsList();
  constexpr int kMaxTries = 100;
  int applied = 0;
  bool stop = false;
  for (int i = 0; i < list->DeltaCount() && !stop; ++i) {
    TMemoryRecordKv* rec = list->DeltaItem(i);
    if (!rec) continue;
    for (int tries = 1;; ++tries) {
      TUpdateErrorActionKv action = ueaBreakRaiseKv;
      std::shared_ptr<EDatabaseError> error;
      try {
        UpdateRecord(MemTableData, rec);
        if (!FLastUpdateApplied) throw EDatabaseError(String(kvmsg::SRecordNotApplied));
      } catch (const EDatabaseError& e) {
        error = std::make_shared<EDatabaseError>(e);
      }
      if (!error) {
        ++applied;
        FUpdateErrors.erase(rec->HashCode());
        list->MergeRecordChange(rec);
        break;
      }
      if (OnUpdateError) OnUpdateError(this, MemTableData, rec, action);
      else DefaultUpdateError(MemTableData, rec, action);
      // A record that keeps failing is not retried for ever.
      if (action == ueaRetryKv && tries >= kMaxTries) action = ueaBreakRaiseKv;
      if (action == ueaBreakRaiseKv) {
        list->PackDelta();
        throw EDatabaseError(*error);
      }
      FUpdateErrors.insert_or_assign(rec->HashCode(), TUpdateErrorKv(error));
      if (action == ueaRetryKv) continue;
      if (action == ueaBreakAbortKv) stop = true;
      if (action == ueaCountinueKv) {
        FUpdateErrors.erase(rec->HashCode());
        list->MergeRecordChange(rec);
      }
      break;
    }
  }
  list->PackDelta();
  return applied;
}

String TDataDriverKv::EffectiveKeyFields() const {
  if (!FKeyFields.empty() || !FProviderDataSet) return FKeyFields;
  String keys;
  for (TField* f : FProviderDataSet->Fields())
    if (f->FieldKind() == fkData && IsDefaultKeyFieldTypeKv(f->DataType())) {
      if (!keys.empty()) keys += u";";
      keys += f->FieldName();
    }
  return keys;
}

namespace {

// The record's values of the named data fields in Version: one value, or an array for several.
Variant KeyValuesOf(const TMemoryRecordKv* Rec, const TMTDataStructKv* Struct, const String& Names,
                    TDataValueVersionKv Version) {
  std::vector<Variant> values;
  size_t pos = 0;
  for (String name = ExtractFieldName(Names, pos); !name.empty(); name = ExtractFieldName(Names, pos)) {
    const int i = Struct->FieldIndex(name);
    if (i < 0) DatabaseErrorFmt(u"Field '%s' not found", {name});
    values.push_back(Rec->GetDataValue(i, Version));
  }
  if (values.size() == 1) return values[0];
  return VarArrayOf(values);
}

// The provider's position, restored afterwards when it is still valid.
struct ProviderPlace {
  TDataSet* DataSet;
  TBookmark Mark;
  explicit ProviderPlace(TDataSet* D) : DataSet(D), Mark(D->Active() && !D->IsEmpty() ? D->GetBookmark() : TBookmark()) {}
  ~ProviderPlace() {
    try {
      if (!Mark.empty() && DataSet->Active() && DataSet->BookmarkValid(Mark)) DataSet->GotoBookmark(Mark);
    } catch (...) {
    }
  }
};

}  // namespace

bool TDataDriverKv::DefaultUpdateRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) {
  if (!FResolveToDataSet || !FProviderDataSet) return false;
  TDataSet* p = FProviderDataSet;
  if (!p->Active()) p->Open();
  const TMTDataStructKv* s = MemTableData->DataStruct();
  const TUpdateStatus status = MemRec->UpdateStatus();
  ProviderPlace place(p);
  if (status == usModified || status == usDeleted) {
    const String keys = EffectiveKeyFields();
    if (keys.empty()) return false;
    if (!p->Locate(keys, KeyValuesOf(MemRec, s, keys, dvvOldestValue), 0)) return false;
    if (status == usDeleted) {
      if (!place.Mark.empty() && p->CompareBookmarks(place.Mark, p->GetBookmark()) == 0) place.Mark.clear();
      p->Delete();
      return true;
    }
  }
  // Only fields that changed are written to an existing row; a row without such a change is done.
  std::vector<std::pair<TField*, int>> writes;
  for (int i = 0; i < s->Count(); ++i) {
    TField* f = p->FindField(s->DataFields(i)->FieldName());
    if (!f || f->ReadOnly()) continue;
    if (status == usModified && MemRec->HasOldData() &&
        KvVarEquals(MemRec->GetDataValue(i, dvvValueKv), MemRec->GetDataValue(i, dvvOldValueKv)))
      continue;
    writes.emplace_back(f, i);
  }
  if (status == usModified && writes.empty()) return true;
  try {
    if (status == usInserted) p->Append();
    else p->Edit();
    for (auto [f, i] : writes) f->SetAsVariant(MemRec->GetDataValue(i, dvvValueKv));
    p->Post();
  } catch (const EDatabaseError&) {
    if (p->State() == dsEdit || p->State() == dsInsert || p->State() == dsSetKey) p->Cancel();
    throw;
  }
  // Values the provider gave the row (defaults, generated keys) come back into the record.
  MemRec->EditForRefresh();
  for (int i = 0; i < s->Count(); ++i)
    if (TField* f = p->FindField(s->DataFields(i)->FieldName())) MemRec->SetDataValue(i, dvvValueKv, f->AsVariant());
  MemRec->Post();
  return true;
}

void TDataDriverKv::RefreshRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) {
  if (OnRefreshRecord) OnRefreshRecord(this, MemTableData, MemRec);
  else DefaultRefreshRecord(MemTableData, MemRec);
}

void TDataDriverKv::DefaultRefreshRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) {
  if (!FProviderDataSet) return;
  if (FKeyFields.empty()) throw Exception(String(kvmsg::SKeyFieldsRequired));
  TDataSet* p = FProviderDataSet;
  if (!p->Active()) p->Open();
  ProviderPlace place(p);
  const Variant key = KeyValuesOf(MemRec, MemTableData->DataStruct(), FKeyFields,
                                  MemRec->UpdateStatus() == usModified ? dvvOldValueKv : dvvValueKv);
  if (!p->Locate(FKeyFields, key, 0)) throw Exception(String(kvmsg::SKeyNotFound));
  FDataToRecFields.clear();
  for (int i = 0; i < MemRec->ValueCount(); ++i) AssignFieldValue(MemTableData, MemRec, i, dvvRefreshValue, p);
  FDataToRecFields.clear();
}

void TDataDriverKv::ConsumerClosed(TDataSet* ConsumerDataSet) {
  (void)ConsumerDataSet;
  if (FProviderDataSet) FProviderDataSet->Close();
  SetProviderEOF(true);
}

void TDataDriverKv::RefreshReader() {
  if (!FProviderDataSet) return;
  if (FProviderDataSet->Active()) FProviderDataSet->Refresh();
  else FProviderDataSet->Open();
  FProviderDataSet->First();
  FDataToRecFields.clear();
  FReaderDataSet = FProviderDataSet;
  SetProviderEOF(false);
}

namespace {
TParams* ParamsOf(TDataSet* Provider) {
  auto* p = dynamic_cast<IProviderParamsKv*>(Provider);
  return p ? p->ProviderParams() : nullptr;
}
}  // namespace

void TDataDriverKv::SetReaderParamsFromCursor(TDataSet* DataSet) {
  TParams* params = ParamsOf(FProviderDataSet);
  if (!params || !DataSet) return;
  for (int i = 0; i < params->Count(); ++i) {
    TParam* p = params->Items(i);
    if (p->Bound()) continue;
    if (TField* f = DataSet->FindField(p->Name())) {
      p->AssignField(*f);
      p->SetBound(false);
    }
  }
}

bool TDataDriverKv::RefreshReaderParamsFromCursor(TDataSet* DataSet) {
  TParams* params = ParamsOf(FProviderDataSet);
  if (!params || !DataSet) return false;
  for (int i = 0; i < params->Count(); ++i) {
    const TParam* p = params->Items(i);
    if (const TField* f = DataSet->FindField(p->Name()); f && !KvVarEquals(p->Value(), f->AsVariant())) return true;
  }
  return false;
}

// ---- side parent ------------------------------------------------------------------------------------------

void TDataDriverKv::SetSideParent(TComponent* Component) {
  if (!FSideParentable || Component == FSideParent) return;
  if (FSideParent) FSideParent->RemoveFreeNotification(this);
  FSideParent = Component;
  if (Component) Component->FreeNotification(this);
}

void TDataDriverKv::DefineProperties(TFiler* Filer) {
  TComponent::DefineProperties(Filer);
  if (!FSideParentable) return;
  Filer->DefineProperty(
      u"SideParentName", [this](TReader* r) { FSideParentName = r->ReadString(); },
      [this](TWriter* w) { w->WriteString(FSideParent->Name()); }, FSideParent != nullptr);
}

void TDataDriverKv::Loaded() {
  TComponent::Loaded();
  if (FSideParentName.empty()) return;
  if (TComponent* owner = Owner()) SetSideParent(owner->FindComponent(FSideParentName));
  FSideParentName.clear();
}
