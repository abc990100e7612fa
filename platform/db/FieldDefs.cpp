#include "platform/db/FieldDefs.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/db/DataSet.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

namespace {

[[noreturn]] void IndexError(int Index) { throw EListError(Format(msg::SListIndexError, {Index})); }

// The definition and parameter lists own their items in a vector: these serve all three.

template <class Item>
Item* ItemAt(const std::vector<std::unique_ptr<Item>>& Items, int Index) {
  if (Index < 0 || Index >= static_cast<int>(Items.size())) IndexError(Index);
  return Items[static_cast<std::size_t>(Index)].get();
}

template <class Item>
void EraseAt(std::vector<std::unique_ptr<Item>>& Items, int Index) {
  if (Index < 0 || Index >= static_cast<int>(Items.size())) IndexError(Index);
  Items.erase(Items.begin() + Index);
}

// Names compare without regard to case, as the platform's field and index names do.
template <class Item>
int IndexOfName(const std::vector<std::unique_ptr<Item>>& Items, std::u16string_view Name) {
  for (std::size_t i = 0; i < Items.size(); ++i)
    if (AnsiSameText(Items[i]->Name(), Name)) return static_cast<int>(i);
  return -1;
}

// An item's place in its owner's list, -1 without an owner.
template <class Owner, class Item>
int PositionIn(const Owner* Collection, const Item* This) {
  if (!Collection) return -1;
  for (int i = 0; i < Collection->Count(); ++i)
    if (Collection->Items(i) == This) return i;
  return -1;
}

}  // namespace

// ==== TFieldDef ==========================================================================================

TFieldDef::TFieldDef(TFieldDefs* AOwner, const String& AName, TFieldType ADataType, int ASize, bool ARequired,
                     int AFieldNo)
    : FOwner(AOwner), FName(AName), FDataType(ADataType), FSize(ASize), FFieldNo(AFieldNo) {
  if (ARequired) FAttributes |= faRequired;
}

TFieldDef::~TFieldDef() = default;

TDataSet* TFieldDef::DataSet() const { return FOwner ? FOwner->DataSet() : nullptr; }

int TFieldDef::Index() const { return PositionIn(FOwner, this); }

void TFieldDef::SetName(const String& Value) {
  if (Value == FName) return;
  if (Value.empty()) DatabaseError(msg::SFieldNameMissing, DataSet());
  if (FOwner) {
    TFieldDef* other = FOwner->FindDef(Value);
    if (other && other != this) DatabaseErrorFmt(msg::SDuplicateFieldName, {Value}, DataSet());
  }
  FName = Value;
  if (FOwner) FOwner->Changed();
}

void TFieldDef::SetDataType(TFieldType Value) {
  FDataType = Value;
  if (FOwner) FOwner->Changed();
}

void TFieldDef::SetSize(int Value) {
  FSize = Value;
  if (FOwner) FOwner->Changed();
}

void TFieldDef::SetRequired(bool Value) {
  if (Value)
    FAttributes |= faRequired;
  else
    FAttributes &= ~static_cast<TFieldAttributes>(faRequired);
}

TFieldClass TFieldDef::FieldClass() const {
  if (TDataSet* ds = DataSet()) return ds->ChooseFieldClass(FDataType);
  return DefaultFieldClass(FDataType);
}

TFieldDefs& TFieldDef::ChildDefs() {
  if (!FChildDefs) FChildDefs = std::make_unique<TFieldDefs>(DataSet(), this);
  return *FChildDefs;
}

bool TFieldDef::HasChildDefs() const { return FChildDefs && FChildDefs->Count() > 0; }

TFieldDef* TFieldDef::ParentDef() const { return FOwner ? FOwner->ParentDef() : nullptr; }

TFieldDef* TFieldDef::AddChild() { return ChildDefs().AddFieldDef(); }

TField* TFieldDef::CreateField(TComponent* Owner, TObjectField* ParentField, const String& FieldName,
                               bool CreateChildren) {
  const TFieldClass cls = FieldClass();
  if (!cls) DatabaseErrorFmt(u"Field '%s' is of an unknown type", {FName}, DataSet());
  TField* field = cls.Create(Owner);
  try {
    field->SetFieldName(FieldName.empty() ? FName : FieldName);
    field->SetFieldType(FDataType);
    field->SetSize(FSize);
    field->SetRequired(Required());
    field->SetFieldNo(FFieldNo);
    if ((FAttributes & faReadonly) != 0) field->SetReadOnly(true);
    if (FInternalCalcField) field->SetFieldKind(fkInternalCalc);
    if (auto* bcd = dynamic_cast<TBCDField*>(field)) bcd->SetPrecision(FPrecision);
    if (auto* fmt = dynamic_cast<TFMTBCDField*>(field)) fmt->SetPrecision(FPrecision);
    if (auto* flt = dynamic_cast<TFloatField*>(field); flt && FPrecision > 0) flt->SetPrecision(FPrecision);
    if (ParentField)
      field->SetParentField(ParentField);
    field->SetDataSet(DataSet());
    if (CreateChildren && HasChildDefs())
      if (auto* obj = dynamic_cast<TObjectField*>(field))
        for (const auto& child : *FChildDefs) child->CreateField(Owner, obj, {}, true);
  } catch (...) {
    delete field;
    throw;
  }
  return field;
}

void TFieldDef::Assign(const TPersistent* Source) {
  const auto* src = dynamic_cast<const TFieldDef*>(Source);
  if (!src) {
    TPersistent::Assign(Source);
    return;
  }
  FName = src->FName;
  FDataType = src->FDataType;
  FSize = src->FSize;
  FPrecision = src->FPrecision;
  FAttributes = src->FAttributes;
  FInternalCalcField = src->FInternalCalcField;
  if (src->HasChildDefs())
    ChildDefs().Assign(src->FChildDefs.get());
  else if (FChildDefs)
    FChildDefs->Clear();
}

// ==== TFieldDefs =========================================================================================

TFieldDefs::TFieldDefs(TDataSet* ADataSet, TFieldDef* AParentDef) : FDataSet(ADataSet), FParentDef(AParentDef) {}

TFieldDefs::~TFieldDefs() = default;

TFieldDef* TFieldDefs::Items(int Index) const { return ItemAt(FItems, Index); }

TFieldDef* TFieldDefs::Add(const String& Name, TFieldType DataType, int Size, bool Required) {
  if (Name.empty()) DatabaseError(msg::SFieldNameMissing, FDataSet);
  if (IndexOf(Name) >= 0) DatabaseErrorFmt(msg::SDuplicateFieldName, {Name}, FDataSet);
  FItems.push_back(std::make_unique<TFieldDef>(this, Name, DataType, Size, Required, Count() + 1));
  Changed();
  return FItems.back().get();
}

TFieldDef* TFieldDefs::AddFieldDef() {
  FItems.push_back(std::make_unique<TFieldDef>(this, String(), ftUnknown, 0, false, Count() + 1));
  Changed();
  return FItems.back().get();
}

int TFieldDefs::IndexOf(std::u16string_view Name) const { return IndexOfName(FItems, Name); }

TFieldDef* TFieldDefs::FindDef(std::u16string_view Name) const {
  const int i = IndexOf(Name);
  return i < 0 ? nullptr : FItems[static_cast<std::size_t>(i)].get();
}

TFieldDef* TFieldDefs::Find(std::u16string_view Name) const {
  TFieldDef* def = FindDef(Name);
  if (!def) DatabaseErrorFmt(msg::SFieldNotFound, {String(Name)}, FDataSet);
  return def;
}

void TFieldDefs::Delete(int Index) {
  EraseAt(FItems, Index);
  Changed();
}

void TFieldDefs::Clear() {
  if (FItems.empty()) return;
  FItems.clear();
  Changed();
}

void TFieldDefs::Assign(const TPersistent* Source) {
  const auto* src = dynamic_cast<const TFieldDefs*>(Source);
  if (!src) {
    TPersistent::Assign(Source);
    return;
  }
  if (src == this) return;
  FItems.clear();
  for (const auto& item : src->FItems) {
    FItems.push_back(std::make_unique<TFieldDef>(this, String(), ftUnknown, 0, false, item->FieldNo()));
    FItems.back()->Assign(item.get());
  }
  FHiddenFields = src->FHiddenFields;
  Changed();
}

void TFieldDefs::Update() {
  if (!FUpdated && FDataSet && !FParentDef) FDataSet->RefreshFieldDefs();
}

void TFieldDefs::Changed() {
  FUpdated = false;
  if (FDataSet && !FParentDef) FDataSet->DefinitionsChanged(this);
}

// ==== TFieldDefList ======================================================================================

TFieldDef* TFieldDefList::Find(std::u16string_view FullName) const {
  for (const Entry& e : FItems)
    if (AnsiSameText(e.Name, FullName)) return e.Def;
  return nullptr;
}

void TFieldDefList::Build(TFieldDefs& Defs) {
  FItems.clear();
  AddLevel(Defs, String());
}

void TFieldDefList::AddLevel(TFieldDefs& Defs, const String& Prefix) {
  for (const auto& def : Defs) {
    const String name = Prefix + def->Name();
    Add(name, def.get());
    if (!def->HasChildDefs()) continue;
    if (def->DataType() == ftArray) {
      for (int i = 0; i < def->Size(); ++i) {
        const String element = name + u"[" + IntToStr(i) + u"]";
        TFieldDef* child = def->ChildDefs()[0];
        Add(element, child);
        if (child->HasChildDefs()) AddLevel(child->ChildDefs(), element + u".");
      }
    } else if ((def->Attributes() & faUnNamed) != 0) {
      AddLevel(def->ChildDefs(), Prefix);
    } else {
      AddLevel(def->ChildDefs(), name + u".");
    }
  }
}

// ==== index definitions ==================================================================================

TIndexDef::TIndexDef(TIndexDefs* AOwner, const String& AName, const String& AFields, TIndexOptions AOptions)
    : FOwner(AOwner), FName(AName), FFields(AFields), FOptions(AOptions) {}

int TIndexDef::Index() const { return PositionIn(FOwner, this); }

void TIndexDef::Assign(const TPersistent* Source) {
  const auto* src = dynamic_cast<const TIndexDef*>(Source);
  if (!src) {
    TPersistent::Assign(Source);
    return;
  }
  FName = src->FName;
  FFields = src->FFields;
  FOptions = src->FOptions;
  FDescFields = src->FDescFields;
  FCaseInsFields = src->FCaseInsFields;
  FExpression = src->FExpression;
  FSource = src->FSource;
  FGroupingLevel = src->FGroupingLevel;
}

TIndexDefs::TIndexDefs(TDataSet* ADataSet) : FDataSet(ADataSet) {}
TIndexDefs::~TIndexDefs() = default;

TIndexDef* TIndexDefs::Items(int Index) const { return ItemAt(FItems, Index); }

TIndexDef* TIndexDefs::Add(const String& Name, const String& Fields, TIndexOptions Options) {
  FItems.push_back(std::make_unique<TIndexDef>(this, Name, Fields, Options));
  FUpdated = false;
  return FItems.back().get();
}

TIndexDef* TIndexDefs::AddIndexDef() { return Add(String(), String(), 0); }

int TIndexDefs::IndexOf(std::u16string_view Name) const { return IndexOfName(FItems, Name); }

TIndexDef* TIndexDefs::FindIndexDef(std::u16string_view Name) const {
  const int i = IndexOf(Name);
  return i < 0 ? nullptr : FItems[static_cast<std::size_t>(i)].get();
}

TIndexDef* TIndexDefs::Find(std::u16string_view Name) const {
  TIndexDef* def = FindIndexDef(Name);
  if (!def) DatabaseErrorFmt(msg::SIndexNotFound, {String(Name)}, FDataSet);
  return def;
}

TIndexDef* TIndexDefs::GetIndexForFields(std::u16string_view Fields, bool CaseInsensitive) const {
  const std::size_t len = Fields.size();
  for (const auto& def : FItems) {
    if ((def->Options() & ixExpression) != 0) continue;
    if (CaseInsensitive != ((def->Options() & ixCaseInsensitive) != 0)) continue;
    const String& f = def->Fields();
    // The index's leading fields are Fields: equal, or Fields followed by ";".
    if (f.size() >= len && AnsiSameText(std::u16string_view(f).substr(0, len), Fields) &&
        (f.size() == len || f[len] == u';'))
      return def.get();
  }
  return nullptr;
}

TIndexDef* TIndexDefs::FindIndexForFields(std::u16string_view Fields) const {
  TIndexDef* def = GetIndexForFields(Fields, false);
  if (!def) def = GetIndexForFields(Fields, true);
  if (!def) DatabaseErrorFmt(msg::SNoIndexForFields, {String(Fields)}, FDataSet);
  return def;
}

void TIndexDefs::Delete(int Index) {
  EraseAt(FItems, Index);
  FUpdated = false;
}

void TIndexDefs::Clear() {
  FItems.clear();
  FUpdated = false;
}

void TIndexDefs::Assign(const TPersistent* Source) {
  const auto* src = dynamic_cast<const TIndexDefs*>(Source);
  if (!src) {
    TPersistent::Assign(Source);
    return;
  }
  if (src == this) return;
  FItems.clear();
  for (const auto& item : src->FItems) {
    FItems.push_back(std::make_unique<TIndexDef>(this, String(), String(), 0));
    FItems.back()->Assign(item.get());
  }
  FUpdated = false;
}

void TIndexDefs::Update() {
  if (!FUpdated && FDataSet) {
    FDataSet->RefreshIndexDefs();
    FUpdated = true;
  }
}

// ==== parameters =========================================================================================

TParam::TParam(TParams* AOwner, const String& AName, TParamType AParamType)
    : FOwner(AOwner), FName(AName), FParamType(AParamType) {}

int TParam::Index() const { return PositionIn(FOwner, this); }

void TParam::SetDataType(TFieldType Value) { FDataType = Value; }

namespace {

TFieldType FieldTypeOfVariant(const Variant& v) {
  switch (VarType(v) & varTypeMask) {
    case varSmallint: return ftSmallint;
    case varInteger: return ftInteger;
    case varShortInt: return ftShortint;
    case varByte: return ftByte;
    case varWord: return ftWord;
    case varLongWord: return ftLongWord;
    case varInt64: case varUInt64: return ftLargeint;
    case varSingle: return ftSingle;
    case varDouble: return ftFloat;
    case varCurrency: return ftCurrency;
    case varDate: return ftDateTime;
    case varBoolean: return ftBoolean;
    case varString: return ftString;
    case varOleStr: case varUString: return ftWideString;
    case varSQLTimeStamp: return ftTimeStamp;
    case varSQLTimeStampOffset: return ftTimeStampOffset;
    case varFMTBcd: return ftFMTBcd;
    default: return ftUnknown;
  }
}

}  // namespace

void TParam::SetValue(const Variant& Value) {
  if (FDataType == ftUnknown) FDataType = FieldTypeOfVariant(Value);
  FValue = Value;
  FBound = !VarIsClear(Value);
}

void TParam::Clear() { FValue = Null(); }

int TParam::AsInteger() const { return IsNull() ? 0 : FValue.AsInteger(); }
void TParam::SetAsInteger(int Value) {
  FDataType = ftInteger;
  SetValue(Variant(Value));
}
Int64 TParam::AsLargeInt() const { return IsNull() ? 0 : FValue.AsInt64(); }
void TParam::SetAsLargeInt(Int64 Value) {
  FDataType = ftLargeint;
  SetValue(Variant(static_cast<long long>(Value)));
}
double TParam::AsFloat() const { return IsNull() ? 0 : FValue.AsDouble(); }
void TParam::SetAsFloat(double Value) {
  FDataType = ftFloat;
  SetValue(Variant(Value));
}
Currency TParam::AsCurrency() const { return IsNull() ? Currency{} : FValue.AsCurrency(); }
void TParam::SetAsCurrency(Currency Value) {
  FDataType = ftCurrency;
  SetValue(Variant(Value));
}
bool TParam::AsBoolean() const { return !IsNull() && FValue.AsBoolean(); }
void TParam::SetAsBoolean(bool Value) {
  FDataType = ftBoolean;
  SetValue(Variant(Value));
}
TDateTime TParam::AsDateTime() const { return IsNull() ? 0 : FValue.AsDateTime(); }
void TParam::SetAsDateTime(TDateTime Value) {
  FDataType = ftDateTime;
  SetValue(VarFromDateTime(Value));
}
String TParam::AsString() const { return VarToStr(FValue); }
void TParam::SetAsString(const String& Value) {
  if (FDataType == ftUnknown) FDataType = ftString;
  SetValue(Variant(Value));
}

void TParam::AssignField(const TField& Field) {
  FName = Field.FieldName();
  FDataType = Field.DataType();
  FSize = Field.Size();
  SetValue(Field.AsVariant());
}

void TParam::AssignToField(TField& Field) const { Field.SetAsVariant(FValue); }

void TParam::Assign(const TPersistent* Source) {
  if (const auto* p = dynamic_cast<const TParam*>(Source)) {
    FName = p->FName;
    FParamType = p->FParamType;
    FDataType = p->FDataType;
    FSize = p->FSize;
    FPrecision = p->FPrecision;
    FNumericScale = p->FNumericScale;
    FBound = p->FBound;
    FValue = p->FValue;
    return;
  }
  if (const auto* f = dynamic_cast<const TField*>(Source)) {
    AssignField(*f);
    return;
  }
  TPersistent::Assign(Source);
}

TParams::~TParams() = default;

TParam* TParams::Items(int Index) const { return ItemAt(FItems, Index); }

TParam* TParams::AddParam() {
  FItems.push_back(std::make_unique<TParam>(this));
  return FItems.back().get();
}

TParam* TParams::CreateParam(TFieldType FldType, const String& ParamName, TParamType ParamType) {
  TParam* p = AddParam();
  p->SetName(ParamName);
  p->SetParamType(ParamType);
  p->SetDataType(FldType);
  return p;
}

TParam* TParams::FindParam(std::u16string_view Name) const {
  for (const auto& p : FItems)
    if (AnsiSameText(p->Name(), Name)) return p.get();
  return nullptr;
}

TParam* TParams::ParamByName(std::u16string_view Name) const {
  TParam* p = FindParam(Name);
  if (!p) DatabaseErrorFmt(msg::SParameterNotFound, {String(Name)});
  return p;
}

void TParams::Delete(int Index) { EraseAt(FItems, Index); }

void TParams::Clear() { FItems.clear(); }

void TParams::Assign(const TPersistent* Source) {
  const auto* src = dynamic_cast<const TParams*>(Source);
  if (!src) {
    TPersistent::Assign(Source);
    return;
  }
  if (src == this) return;
  FItems.clear();
  for (const auto& p : src->FItems) AddParam()->Assign(p.get());
}

Variant TParams::ParamValues(std::u16string_view Names) const {
  std::vector<Variant> values;
  std::size_t pos = 0;
  for (String name = ExtractFieldName(Names, pos); !name.empty(); name = ExtractFieldName(Names, pos))
    values.push_back(ParamByName(name)->Value());
  if (values.size() == 1) return values.front();
  return VarArrayOf(values);
}

void TParams::SetParamValues(std::u16string_view Names, const Variant& Values) {
  std::vector<TParam*> params;
  std::size_t pos = 0;
  for (String name = ExtractFieldName(Names, pos); !name.empty(); name = ExtractFieldName(Names, pos))
    params.push_back(ParamByName(name));
  if (params.size() == 1) {
    params.front()->SetValue(Values);
    return;
  }
  for (std::size_t i = 0; i < params.size(); ++i) params[i]->SetValue(VarArrayGet(Values, static_cast<int>(i)));
}
