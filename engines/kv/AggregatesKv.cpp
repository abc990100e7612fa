#include "engines/kv/AggregatesKv.h"

#include "engines/kv/RecordsViewKv.h"

// ---- TMTAggregateKv ------------------------------------------------------------------------------------

TMTAggregateKv::TMTAggregateKv(TCollection* Collection) : TCollectionItem(Collection), FValue(Null()) {}

TMTAggregateKv::~TMTAggregateKv() = default;

TMTAggregatesKv* TMTAggregateKv::Aggregates() const { return dynamic_cast<TMTAggregatesKv*>(Collection()); }

void TMTAggregateKv::SetActive(bool Value) {
  if (FActive == Value) return;
  FActive = Value;
  TMTAggregatesKv* owner = Aggregates();
  if (!owner || !owner->DataSet() || owner->UpdateCount() > 0) return;
  try {
    Reset();
    Recalc();
    (void)this->Value();
  } catch (...) {
    FActive = false;
    FInUse = false;
    throw;
  }
}

void TMTAggregateKv::SetExpression(const String& Value) {
  if (FExpression == Value) return;
  FExpression = Value;
  Reset();
  TMTAggregatesKv* owner = Aggregates();
  if (!owner || owner->UpdateCount() == 0) Recalc();
}

void TMTAggregateKv::Assign(const TPersistent* Source) {
  if (const auto* item = dynamic_cast<const TMTAggregateKv*>(Source)) {
    FActive = item->FActive;
    SetExpression(item->FExpression);
    return;
  }
  if (const auto* field = dynamic_cast<const TAggregateField*>(Source)) {
    FActive = field->Active();
    SetExpression(field->Expression());
    return;
  }
  TCollectionItem::Assign(Source);
}

void TMTAggregateKv::Reset() {
  FInUse = false;
  FStale = true;
  FValue = Null();
  TMTAggregatesKv* owner = Aggregates();
  TDataSet* ds = owner ? owner->DataSet() : nullptr;
  if (!ds || !ds->Active() || !FActive || FExpression.empty() || !owner->Active()) return;
  if (!FAggrExpr) FAggrExpr = std::make_unique<TDataSetExprParserKv>(ds, dsptAggregateKv);
  FAggrExpr->ParseExpression(FExpression);
  FDataType = ftFloat;
  FInUse = true;
}

Variant TMTAggregateKv::Value() {
  if (!FStale) return FValue;
  TMTAggregatesKv* owner = Aggregates();
  TDataSet* ds = owner ? owner->DataSet() : nullptr;
  Variant v = Null();
  if (FInUse && ds && ds->Active() && !ds->HasState(csLoading) && owner->UpdateCount() == 0)
    FAggrExpr->CalcAggregateValue(owner->View(), v);
  FValue = std::move(v);
  FStale = false;
  return FValue;
}

// ---- TMTAggregatesKv -----------------------------------------------------------------------------------

TMTAggregatesKv::TMTAggregatesKv(TRecordsViewKv* Owner)
    : TCollection(&CollectionItemOf<TMTAggregateKv>, Owner), FOwner(Owner) {}

TDataSet* TMTAggregatesKv::DataSet() const { return FOwner ? dynamic_cast<TDataSet*>(FOwner->Owner()) : nullptr; }

void TMTAggregatesKv::SetActive(bool Value) {
  if (FActive == Value) return;
  FActive = Value;
  Reset();
}

void TMTAggregatesKv::Reset() {
  TDataSet* ds = DataSet();
  BeginUpdate();
  try {
    Clear();
    if (ds)
      for (TField* f : ds->AggFields()) {
        auto* field = dynamic_cast<TAggregateField*>(f);
        if (!field) continue;
        TMTAggregateKv* item = Add();
        item->Assign(field);
        item->Reset();
        field->SetResultType(item->DataType());
      }
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
  Recalc();
}

void TMTAggregatesKv::Recalc() {
  for (int i = 0; i < Count(); ++i) GetItem(i)->Recalc();
}
