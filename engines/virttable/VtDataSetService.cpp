#include "engines/virttable/VtDataSetService.h"

#include <cmath>

#include "engines/virttable/VtDataSet.h"
#include "engines/virttable/VtTimeStampFields.h"

namespace {
[[noreturn]] void Assertion() { throw Exception(String(u"Assertion failure")); }
}  // namespace

TDataSetUpdater::TDataSetUpdater(TMemDataSet* DataSet, TDataSetService* Service)
    : FDataSet(DataSet), FDataSetService(Service) {
  if (!Service) Assertion();
}

TDataSetService::TDataSetService(TMemDataSet* DataSet) : FDataSet(DataSet) { CreateUpdater(); }

void TDataSetService::CreateUpdater() { SetUpdater(std::make_unique<TDataSetUpdater>(FDataSet, this)); }

TFieldClass TDataSetService::FieldClassForType(TFieldType FieldType, Word DataType) {
  (void)DataType;
  // The offset time stamp gets the field that shows and reads the offset in its text.
  if (FieldType == ftTimeStampOffset) return TFieldClass::Of<TVtSQLTimeStampOffsetField>();
  return DefaultFieldClass(FieldType);
}

void TDataSetService::PrepareFields() {
  if (!FDataSet || FDataSet->DefaultFields() || !FDataSet->Data()) return;
  for (const auto& d : FDataSet->Data()->Fields())
    d->Updateable = FDataSet->FindField(d->HasParent() ? d->ActualName : d->Name) != nullptr;
}

void TDataSetService::SetNumberRange(TFieldDef* FieldDef) {
  if (!FDataSet || !FieldDef || !FDataSet->Data()) return;
  const TFieldType type = FieldDef->DataType();
  if (type != ftSmallint && type != ftInteger && type != ftFloat && type != ftLargeint) return;
  TField* field = FDataSet->FindField(FieldDef->Name());
  const vt::TFieldDesc* desc = FDataSet->Data()->FindField(FieldDef->Name());
  if (!field || !desc) return;
  FDataSet->VerifyFieldMatchesDef(field, FieldDef);
  if (type == ftFloat) {
    if (desc->Length == 0 || desc->Length > 15) return;
    auto* f = dynamic_cast<TFloatField*>(field);
    if (!f) Assertion();
    const double most = std::pow(10.0, desc->Length - desc->Scale) - std::pow(10.0, -static_cast<int>(desc->Scale));
    f->SetPrecision(desc->Length);
    f->SetMaxValue(most);
    f->SetMinValue(-most);
    return;
  }
  if (type == ftLargeint) {
    auto* f = dynamic_cast<TLargeintField*>(field);
    if (!f) Assertion();
    // 10^Length - 1 in 64 bits; a length of 19 or more leaves the whole range.
    if (desc->Length == 0 || desc->Length > 18) return;
    Int64 most = 1;
    for (int i = 0; i < desc->Length; ++i) most *= 10;
    f->SetMaxValue(most - 1);
    f->SetMinValue(-(most - 1));
    return;
  }
  auto* f = dynamic_cast<TIntegerField*>(field);
  if (!f) Assertion();
  // 10^Length - 1, kept within the 32 bits of the field's limits.
  const double most = std::min(std::pow(10.0, desc->Length) - 1, 2147483647.0);
  f->SetMaxValue(static_cast<int>(most));
  f->SetMinValue(-static_cast<int>(most));
}

bool TDataSetService::SetProp(int Prop, const Variant& Value) {
  (void)Prop;
  (void)Value;
  Assertion();
}

bool TDataSetService::GetProp(int Prop, Variant& Value) {
  (void)Prop;
  (void)Value;
  Assertion();
}
