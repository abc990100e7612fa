// Field definitions from persistent fields, and the calculated values the Kv table keeps outside its
// record buffers.
//
// CreateDataSet on a table with persistent fields builds the definitions from its data and internal-calc
// fields (name, type, size, required, read-only, precision) before the structure is made from them.
//
// Internal-calc fields are stored in the records: while the table is open on its own data, the data's
// field calculation runs the table's OnCalcFields for each record as it is added or posted (state
// dsInternalCalc, the record in a buffer of its own), and the values of the internal-calc fields go into
// the record. So they sort, filter, index and save like data fields.
//
// In tree mode every row is a node; a node's lookup buffer holds the row's calculated and lookup values,
// computed when the node is placed or its state is updated, and again on a layout change.
#include <unordered_map>

#include "engines/kv/MemTableKv.h"
#include "platform/rtl/Format.h"

void TCustomMemTableKv::WireInternalCalc(bool Open) {
  // Only the table that owns the data decides its calculation: an attached table (ExternalMemData)
  // leaves the owner's in place.
  if (!FInternMemTableData || FInternMemTableData != FOwnMemTableData) return;
  if (Open && InternalCalcFields())
    FInternMemTableData->SetOnFieldCalculation(
        [this](TMemoryRecordKv* MemRec, std::vector<Variant>& Values) { CalcInternalFields(MemRec, Values); });
  else if (FInternMemTableData->OnFieldCalculation())
    FInternMemTableData->SetOnFieldCalculation(nullptr);
}

void TCustomMemTableKv::CalcInternalFields(TMemoryRecordKv* MemRec, std::vector<Variant>& Values) {
  if (!FActive || !MemRec) return;
  const TDataSetState save = SetTempState(dsInternalCalc);
  TMTRecBuf* rb = PushInstantBuffer();
  try {
    rb->SetLength(static_cast<size_t>(FieldCount()) + FDataFields.size());
    rb->RecordNumber = -1;
    rb->BookmarkFlag = bfCurrent;
    rb->MemRec = MemRec;
    rb->BookmarkData = {MemRec->HashCode(), -1};
    rb->UseMemRec = true;
    rb->RecView = nullptr;
    rb->NeedUpdateCalcFields = true;
    EvaluateCalculatedFields(reinterpret_cast<TRecordBuffer>(rb));
    rb->NeedUpdateCalcFields = false;
    for (TField* f : Fields()) {
    if (f->FieldKind() != fkInternalCalc) continue;
    const int no = f->FieldNo();
    if (no > 0 && static_cast<size_t>(no) <= Values.size()) Values[static_cast<size_t>(no - 1)] = f->AsVariant();
    }
  } catch (...) {
    InstantReadLeave();
    RestoreState(save);
    throw;
  }
  InstantReadLeave();
  RestoreState(save);
}

void TCustomMemTableKv::CalcLookupBuffer(TMemoryRecordKv* MemRec, TMemRecViewKv* RecView) {
  if (!FActive || !MemRec || !RecView || CalcFieldsSize() == 0) return;
  RecView->SetLookupBufferLength(FieldCount());
  TMTRecBuf buf;
  buf.SetLength(static_cast<size_t>(FieldCount()) + FDataFields.size());
  LoadRecBuf(MemRec, -1, &buf);
  for (TField* f : Fields())
    if ((f->FieldKind() == fkCalculated || f->FieldKind() == fkLookup) && !KeepsLookupValue(f))
      RecView->LookupBuffer[static_cast<size_t>(f->Index())] = BufValue(&buf, f);
}

Variant TCustomMemTableKv::CalcLookupValue(TField* AField) {
  TDataSet* source = AField ? AField->LookupDataSet() : nullptr;
  if (!source || !source->Active()) return Null();
  const Variant value = source->Lookup(AField->LookupKeyFields(), FieldValues(AField->KeyFields()), AField->LookupResultField());
  return value.IsEmpty() ? Null() : value;
}

void TCustomMemTableKv::UpdateLookupValueFields() {
  FLookupValueFields.clear();
  for (TField* f : Fields())
    if (const auto* lv = dynamic_cast<const IFieldLookupValueKv*>(f); lv && lv->StoresLookupValue())
      FLookupValueFields.push_back(f);
}

void TCustomMemTableKv::SyncLookupBufferOrder() {
  const std::vector<TField*> now(Fields().begin(), Fields().end());
  if (now == FLookupBufferOrder) return;
  TRecordsListKv* list = FRecordsView->List();
  if (!FLookupBufferOrder.empty() && FRecordsView->ViewAsTreeList() && list) {
    // from[i]: where the value of the field now at i stood, -1 for a field the rows hold nothing for.
    std::unordered_map<const TField*, int> was;
    for (size_t i = 0; i < FLookupBufferOrder.size(); ++i) was.emplace(FLookupBufferOrder[i], static_cast<int>(i));
    std::vector<int> from(now.size(), -1);
    for (size_t i = 0; i < now.size(); ++i)
      if (const auto it = was.find(now[i]); it != was.end()) from[i] = it->second;
    TMemoryTreeListKv* tree = FRecordsView->MemoryTreeList();
    std::vector<Variant> moved;
    for (TMemoryRecordKv* r = list->First(); r; r = TRecordsListKv::Next(r)) {
      TMemRecViewKv* node = tree->GetNode(nullptr, r);
      if (!node || node->LookupBuffer.empty()) continue;
      moved.assign(now.size(), Variant());
      for (size_t i = 0; i < now.size(); ++i)
        if (from[i] >= 0 && static_cast<size_t>(from[i]) < node->LookupBuffer.size())
          moved[i] = std::move(node->LookupBuffer[static_cast<size_t>(from[i])]);
      node->LookupBuffer.swap(moved);
    }
  }
  FLookupBufferOrder = now;
}

void TCustomMemTableKv::SeedLookupValues(TMTRecBuf* RecBuf) {
  const TMemRecViewKv* node = RecBuf->RecView;
  for (TField* f : FLookupValueFields) {
    const size_t slot = SlotOf(f);
    if (slot >= RecBuf->Values.size()) RecBuf->Values.resize(slot + 1);
    const auto index = static_cast<size_t>(f->Index());
    RecBuf->Values[slot] = node && index < node->LookupBuffer.size() ? node->LookupBuffer[index] : Null();
  }
}

void TCustomMemTableKv::StoreLookupValues(const TMTRecBuf* Buffer, TMemRecViewKv* RecView) {
  if (!Buffer || !RecView) return;
  for (TField* f : Fields()) {
    const auto* lv = dynamic_cast<const IFieldLookupValueKv*>(f);
    if (!lv || !lv->StoresLookupValue()) continue;
    const auto index = static_cast<size_t>(f->Index());
    if (RecView->LookupBuffer.size() <= index) RecView->SetLookupBufferLength(FieldCount());
    RecView->LookupBuffer[index] = BufValue(Buffer, f);
  }
}

void TCustomMemTableKv::PrepareFieldDefs() {
  // Definitions given without fields have no auto-increment field of this kind (an ftAutoInc definition
  // counts by its type).
  FAutoIncrementFieldName.clear();
  if (FieldDefs().Count() > 0) return;
  for (TField* f : Fields()) {
    if (f->FieldKind() != fkData && f->FieldKind() != fkInternalCalc) continue;
    const TFieldType t = f->DataType();
    if (t == ftCursor || t == ftArray || t == ftReference || t == ftDataSet || t == ftConnection || t == ftParams ||
        t == ftStream || t == ftObject || static_cast<int>(t) > static_cast<int>(ftSingle))
      throw EDatabaseError(Format(u"Field '%s' is of an unknown type", {f->DisplayName()}));
    if (f->AutoGenerateValue() == arAutoInc) FAutoIncrementFieldName = f->FieldName();
  }
  for (TField* f : Fields()) {
    if (f->FieldKind() != fkData && f->FieldKind() != fkInternalCalc) continue;
    TFieldDef* def = FieldDefs().AddFieldDef();
    def->SetName(f->FieldName());
    def->SetDataType(f->DataType());
    def->SetSize(f->Size());
    def->SetInternalCalcField(f->FieldKind() == fkInternalCalc);
    TFieldAttributes attributes = 0;
    if (f->Required()) attributes |= faRequired;
    if (f->ReadOnly()) attributes |= faReadonly;
    def->SetAttributes(attributes);
    if (const auto* bcd = dynamic_cast<const TBCDField*>(f); bcd && f->DataType() == ftBCD) def->SetPrecision(bcd->Precision());
    if (const auto* fmt = dynamic_cast<const TFMTBCDField*>(f); fmt && f->DataType() == ftFMTBcd)
      def->SetPrecision(fmt->Precision());
  }
}

void TCustomMemTableKv::MarkAutoIncrementField() {
  if (FAutoIncrementFieldName.empty()) return;
  TMTDataStructKv* s = FInternMemTableData->DataStruct();
  for (int i = 0; i < s->Count(); ++i)
    if (s->DataFields(i)->FieldName() == FAutoIncrementFieldName) s->DataFields(i)->SetAutoIncrement(true);
}

void TCustomMemTableKv::BuildDefaultFields() {
  TDataSet::BuildDefaultFields();
  const TMTDataStructKv* s = FInternMemTableData->DataStruct();
  for (TField* f : Fields())
    if (f->LifeCycle() == lcAutomatic && f->FieldKind() == fkData)
      if (const TMTDataFieldKv* d = s->FindField(f->FieldName())) d->AssignPropsTo(f);
}

void TCustomMemTableKv::ResetCalculatedFields(TRecordBuffer Buffer) {
  TMTRecBuf* rb = Buf(Buffer);
  if (!rb) return;
  for (TField* f : Fields()) {
    if (f->FieldKind() != fkCalculated && f->FieldKind() != fkLookup) continue;
    if (dynamic_cast<const IFieldLookupValueKv*>(f)) continue;
    const size_t slot = SlotOf(f);
    if (slot < rb->Values.size()) rb->Values[slot] = Null();
  }
}

void TCustomMemTableKv::CursorInsert() {
  if (ReadBookmarkFlag(ActiveBuffer()) != bfEOF) return;
  if (FDataDriver && !FDataDriver->ProviderEOF()) {
    Resync(0);
    throw EDatabaseError(u"Attempt to append a record before all records have been read from DataDriver.");
  }
}

void TCustomMemTableKv::DoOnNewRecord() {
  for (TField* f : Fields())
    if (!f->DefaultExpression().empty() && f->CanModify()) f->SetText(f->DefaultExpression());
  if (FDetailMode) {
    const std::vector<TField*>& master = FMasterDataLink->Fields();
    for (size_t j = 0; j < FDetailFieldList.size() && j < master.size(); ++j)
      if (FDetailFieldList[j]->CanModify()) FDetailFieldList[j]->SetAsVariant(master[j]->AsVariant());
  }
  TDataSet::DoOnNewRecord();
}

void TCustomMemTableKv::WriteFieldValue(TField* Field, const Variant& Value) {
  const TDataSetState s = State();
  const bool calc = Field->FieldKind() == fkCalculated || Field->FieldKind() == fkLookup;
  const bool writing = s == dsEdit || s == dsInsert || s == dsSetKey || s == dsCalcFields || s == dsFilter ||
                       s == dsNewValue || s == dsInternalCalc;
  if (!calc && !writing) DatabaseError(msg::SNotEditing, this);
  if ((Field->FieldKind() == fkData || Field->FieldKind() == fkInternalCalc) && Field->ReadOnly() && s != dsSetKey &&
      s != dsFilter)
    DatabaseErrorFmt(msg::SFieldReadOnly, {Field->DisplayName()});
  TMTRecBuf* rb = GetActiveMTRecBuf(true);
  if (!rb) return;
  Variant value = Value;
  CheckFieldDataVarValue(Field, value);
  BufSetValue(rb, Field, std::move(value));
  if (s != dsCalcFields && s != dsFilter && s != dsNewValue && s != dsInternalCalc)
    DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(Field));
}
