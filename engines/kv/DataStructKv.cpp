#include "engines/kv/DataStructKv.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <random>

#include "engines/kv/ComponentPackKv.h"
#include "engines/kv/MemTableDataKv.h"
#include "platform/classes/ClassRegistry.h"
#include "platform/rtl/SysUtils.h"

namespace {

const std::vector<String>& FieldTypeIdents() {
  static const std::vector<String> kNames = {
      u"ftUnknown",    u"ftString",       u"ftSmallint",   u"ftInteger",    u"ftWord",         u"ftBoolean",
      u"ftFloat",      u"ftCurrency",     u"ftBCD",        u"ftDate",       u"ftTime",         u"ftDateTime",
      u"ftBytes",      u"ftVarBytes",     u"ftAutoInc",    u"ftBlob",       u"ftMemo",         u"ftGraphic",
      u"ftFmtMemo",    u"ftParadoxOle",   u"ftDBaseOle",   u"ftTypedBinary", u"ftCursor",      u"ftFixedChar",
      u"ftWideString", u"ftLargeint",     u"ftADT",        u"ftArray",      u"ftReference",    u"ftDataSet",
      u"ftOraBlob",    u"ftOraClob",      u"ftVariant",    u"ftInterface",  u"ftIDispatch",    u"ftGuid",
      u"ftTimeStamp",  u"ftFMTBcd",       u"ftFixedWideChar", u"ftWideMemo", u"ftOraTimeStamp", u"ftOraInterval",
      u"ftLongWord",   u"ftShortint",     u"ftByte",       u"ftExtended",   u"ftConnection",   u"ftParams",
      u"ftStream",     u"ftTimeStampOffset", u"ftObject",  u"ftSingle"};
  return kNames;
}

const std::vector<String> kAlignmentNames = {u"taLeftJustify", u"taRightJustify", u"taCenter"};

String NewGuidText() {
  static std::mt19937_64 engine{std::random_device{}()};
  const std::uint64_t a = engine(), b = engine();
  char text[40];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%04X-%012llX}", static_cast<unsigned>(a >> 32),
                static_cast<unsigned>((a >> 16) & 0xFFFF), static_cast<unsigned>((a & 0x0FFF) | 0x4000),
                static_cast<unsigned>(((b >> 48) & 0x3FFF) | 0x8000),
                static_cast<unsigned long long>(b & 0xFFFFFFFFFFFFull));
  String s;
  for (const char* p = text; *p; ++p) s += static_cast<char16_t>(*p);
  return s;
}

[[noreturn]] void CannotAssignDataType() { throw Exception(u"Can not assign DataType from Field"); }

}  // namespace

// ---- value kinds ---------------------------------------------------------------------------------------

TVarType KvVarTypeOfFieldType(TFieldType Type) {
  switch (Type) {
    case ftString: case ftMemo: case ftFmtMemo: case ftFixedChar: case ftOraClob: case ftGuid: case ftOraInterval:
      return varString;
    case ftWideString: case ftFixedWideChar: case ftWideMemo: return varOleStr;
    case ftSmallint: return varSmallint;
    case ftInteger: case ftWord: case ftAutoInc: return varInteger;
    case ftShortint: return varShortInt;
    case ftByte: return varByte;
    case ftLongWord: return varLongWord;
    case ftLargeint: return varInt64;
    case ftBoolean: return varBoolean;
    case ftFloat: case ftExtended: return varDouble;
    case ftSingle: return varSingle;
    case ftCurrency: case ftBCD: return varCurrency;
    case ftDate: case ftTime: case ftDateTime: return varDate;
    case ftBytes: case ftVarBytes: case ftBlob: case ftGraphic: case ftParadoxOle: case ftDBaseOle:
    case ftTypedBinary: case ftOraBlob:
      return kVarByteArray;
    case ftVariant: return varVariant;
    case ftInterface: return varUnknown;
    case ftIDispatch: return varDispatch;
    case ftTimeStamp: case ftOraTimeStamp: return varSQLTimeStamp;
    case ftTimeStampOffset: return varSQLTimeStampOffset;
    case ftFMTBcd: return varFMTBcd;
    case ftObject: return varEmpty;
    default: return varError;
  }
}

const TMetaClass* DataFieldClassOf(TFieldType Type) {
  switch (Type) {
    case ftUnknown: return &ClassOf<TMTRefObjectFieldKv>();
    case ftString: case ftFixedChar: case ftWideString: case ftGuid: case ftFixedWideChar: case ftOraInterval:
      return &ClassOf<TMTStringDataFieldKv>();
    case ftSmallint: case ftInteger: case ftWord: case ftFloat: case ftCurrency: case ftBCD: case ftAutoInc:
    case ftLargeint: case ftFMTBcd: case ftLongWord: case ftShortint: case ftByte: case ftExtended: case ftSingle:
      return &ClassOf<TMTNumericDataFieldKv>();
    case ftBoolean: return &ClassOf<TMTBooleanDataFieldKv>();
    case ftDate: case ftTime: case ftDateTime: return &ClassOf<TMTDateTimeDataFieldKv>();
    case ftBytes: case ftVarBytes: case ftVariant: return &ClassOf<TMTVariantDataFieldKv>();
    case ftBlob: case ftMemo: case ftGraphic: case ftFmtMemo: case ftParadoxOle: case ftDBaseOle: case ftTypedBinary:
    case ftOraBlob: case ftOraClob: case ftWideMemo:
      return &ClassOf<TMTBlobDataFieldKv>();
    case ftInterface: case ftIDispatch: return &ClassOf<TMTInterfaceDataFieldKv>();
    case ftTimeStamp: case ftOraTimeStamp: case ftTimeStampOffset: return &ClassOf<TMTSQLTimeStampDataFieldKv>();
    default: return nullptr;
  }
}

// ---- TMTDataFieldKv ------------------------------------------------------------------------------------

TMTDataFieldKv::TMTDataFieldKv(TComponent* AOwner) : TComponent(AOwner), FGUID(NewGuidText()) {
  FVarDataType = varError;
}

void TMTDataFieldKv::SetDataStruct(TMTDataStructKv* Value) {
  if (FDataStruct == Value) return;
  if (FDataStruct) FDataStruct->RemoveField(this);
  if (Value) Value->InsertField(this);
}

int TMTDataFieldKv::Index() const { return FDataStruct ? FDataStruct->IndexOf(this) : -1; }

void TMTDataFieldKv::Changed() {
  if (FDataStruct && !FDataStruct->Updating()) FDataStruct->StructChanged();
}

void TMTDataFieldKv::SetSize(int Value) {
  if (!CanDinaSize()) DatabaseError(msg::SInvalidFieldSize, FDataStruct ? FDataStruct->MemTableData() : nullptr);
  Change(FSize, Value);
}

void TMTDataFieldKv::SetFieldName(const String& Value) {
  if (FFieldName == Value) return;
  if (FDataStruct && !AnsiSameText(FFieldName, Value)) FDataStruct->CheckFieldName(Value);
  FFieldName = Value;
  // A descriptor being read keeps the component name the stream gave it.
  if (!HasState(csLoading)) MakeComponentName();
  Changed();
}

void TMTDataFieldKv::MakeComponentName() {
  auto filter = [](const String& s) {
    String r;
    for (size_t i = 0; i < s.size(); ++i) {
      const char16_t c = s[i];
      if ((c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_') r += c;
    }
    return r;
  };
  String base = filter(FFieldName);
  if (base.empty() || (base[0] >= u'0' && base[0] <= u'9')) {
    String cls = ClassName();
    if (!cls.empty() && cls[0] == u'T') cls.erase(0, 1);
    base = filter(cls + base);
  }
  auto taken = [&](const String& name) {
    if (!FDataStruct) return false;
    for (int i = 0; i < FDataStruct->Count(); ++i) {
      const TMTDataFieldKv* f = FDataStruct->DataFields(i);
      if (f != this && AnsiSameText(f->Name(), name)) return true;
    }
    return false;
  };
  String candidate = base;
  for (int n = 2; taken(candidate); ++n) candidate = base + IntToStr(n);
  if (Name() != candidate) SetName(candidate);
}

void TMTDataFieldKv::AssignDataType(TFieldType) { throw Exception(u"Can't assign DataType from Field"); }

void TMTDataFieldKv::Assign(const TPersistent* Source) {
  const auto* src = dynamic_cast<const TMTDataFieldKv*>(Source);
  if (!src) {
    TComponent::Assign(Source);
    return;
  }
  SetFieldName(src->FFieldName);
  if (CanDinaSize() && src->CanDinaSize()) FSize = src->FSize;
  FAlignment = src->FAlignment;
  FDefaultExpression = src->FDefaultExpression;
  FDisplayLabel = src->FDisplayLabel;
  FDisplayWidth = src->DisplayWidth();
  FEditMask = src->FEditMask;
  FRequired = src->FRequired;
  FVisible = src->FVisible;
  FAutoIncrement = src->FAutoIncrement;
  FCalculated = src->FCalculated;
  FGUID = src->FGUID;
  RefreshVarDataType();
}

void TMTDataFieldKv::AssignProps(const TField* Field) {
  if (!Field) return;
  if (Field->Alignment() >= taLeftJustify && Field->Alignment() <= taCenter)
    FAlignment = static_cast<TAlignment>(Field->Alignment());
  FDefaultExpression = Field->DefaultExpression();
  // A field without a label of its own shows its name: the descriptor keeps no label then.
  FDisplayLabel = Field->DisplayLabel() == Field->FieldName() ? String() : Field->DisplayLabel();
  FDisplayWidth = Field->DisplayWidth();
  FRequired = Field->Required();
  FAutoIncrement = Field->AutoGenerateValue() == arAutoInc;
  if (CanDinaSize()) FSize = Field->Size();
  FVisible = Field->Visible();
  FCalculated = Field->FieldKind() == fkInternalCalc;
}

void TMTDataFieldKv::AssignPropsTo(TField* Field) const {
  if (!Field) return;
  if (FAlignment != taLeftJustify) Field->SetAlignment(FAlignment);
  if (!FDefaultExpression.empty()) Field->SetDefaultExpression(FDefaultExpression);
  if (!FDisplayLabel.empty()) Field->SetDisplayLabel(FDisplayLabel);
  if (FDisplayWidth > 0) Field->SetDisplayWidth(FDisplayWidth);
  if (FRequired) Field->SetRequired(true);
  if (!FVisible) Field->SetVisible(false);
  if (FAutoIncrement) Field->SetAutoGenerateValue(arAutoInc);
}

TComponent* TMTDataFieldKv::GetParentComponent() const { return FDataStruct; }

void TMTDataFieldKv::ReadState(TReader* Reader) {
  TComponent::ReadState(Reader);
  if (auto* s = dynamic_cast<TMTDataStructKv*>(Reader->Parent())) SetDataStruct(s);
  RefreshVarDataType();
}

const TPropList& TMTDataFieldKv::PropList() const {
  static const TPropList kList = TPropListBuilder<TMTDataFieldKv>(TComponent::PropList())
                                     .StringProp(u"FieldName", &TMTDataFieldKv::FieldName, &TMTDataFieldKv::SetFieldName)
                                     .Boolean(u"Calculated", &TMTDataFieldKv::Calculated, &TMTDataFieldKv::SetCalculated, false)
                                     .Build();
  return kList;
}

// The attribute builders below add one attribute each with its writing rule; every class lists its
// own order.
#define KV_FIELDNAME(C) .StringProp(u"FieldName", &C::FieldName, &C::SetFieldName)
#define KV_CALCULATED(C) .Boolean(u"Calculated", &C::Calculated, &C::SetCalculated, false)
#define KV_ALIGNMENT(C, D) .Enumeration(u"Alignment", kAlignmentNames, &C::Alignment, &C::SetAlignment, D)
#define KV_DEFAULTEXPR(C) .StringProp(u"DefaultExpression", &C::DefaultExpression, &C::SetDefaultExpression)
#define KV_DISPLAYLABEL(C) .StringProp(u"DisplayLabel", &C::DisplayLabel, &C::SetDisplayLabel)
#define KV_DISPLAYWIDTH(C)                                                          \
  .Integer(u"DisplayWidth", &C::StoredDisplayWidth, &C::SetDisplayWidth)            \
      .StoredIf([](const C& f) { return f.StoredDisplayWidth() > 0; })
#define KV_EDITMASK(C) .StringProp(u"EditMask", &C::EditMask, &C::SetEditMask)
#define KV_REQUIRED(C) .Boolean(u"Required", &C::Required, &C::SetRequired, false)
#define KV_VISIBLE(C) .Boolean(u"Visible", &C::Visible, &C::SetVisible, true)

// ---- string --------------------------------------------------------------------------------------------

TMTStringDataFieldKv::TMTStringDataFieldKv(TComponent* AOwner) : TMTDataFieldKv(AOwner) {
  FSize = 20;
  RefreshVarDataType();
}

TFieldType TMTStringDataFieldKv::DataType() const {
  static constexpr TFieldType kTypes[] = {ftString, ftFixedChar, ftWideString, ftGuid, ftFixedWideChar, ftOraInterval};
  return kTypes[FStringDataType];
}

void TMTStringDataFieldKv::SetStringDataType(TMTStringDataTypeKv Value) {
  if (FStringDataType == Value) return;
  FStringDataType = Value;
  if (Value == fdtGuidKv) FSize = 38;
  RefreshVarDataType();
  Changed();
}

void TMTStringDataFieldKv::AssignDataType(TFieldType FieldType) {
  switch (FieldType) {
    case ftString: FStringDataType = fdtStringKv; break;
    case ftFixedChar: FStringDataType = fdtFixedCharKv; break;
    case ftWideString: FStringDataType = fdtWideStringKv; break;
    case ftGuid: FStringDataType = fdtGuidKv; FSize = 38; break;
    case ftFixedWideChar: FStringDataType = fdtFixedWideCharKv; break;
    case ftOraInterval: FStringDataType = fdtOraIntervalKv; break;
    default: CannotAssignDataType();
  }
  RefreshVarDataType();
}

void TMTStringDataFieldKv::Assign(const TPersistent* Source) {
  TMTDataFieldKv::Assign(Source);
  if (const auto* src = dynamic_cast<const TMTStringDataFieldKv*>(Source)) {
    FStringDataType = src->FStringDataType;
    FFixedChar = src->FFixedChar;
    FTransliterate = src->FTransliterate;
    RefreshVarDataType();
  }
}

void TMTStringDataFieldKv::AssignProps(const TField* Field) {
  TMTDataFieldKv::AssignProps(Field);
  if (const auto* f = dynamic_cast<const TStringField*>(Field)) {
    FFixedChar = f->FixedChar();
    FTransliterate = f->Transliterate();
  }
}

void TMTStringDataFieldKv::AssignPropsTo(TField* Field) const {
  TMTDataFieldKv::AssignPropsTo(Field);
  if (auto* f = dynamic_cast<TStringField*>(Field); f && FFixedChar) f->SetFixedChar(true);
}

const TPropList& TMTStringDataFieldKv::PropList() const {
  using C = TMTStringDataFieldKv;
  static const TPropList kList =
      TPropListBuilder<C>(TComponent::PropList()) KV_FIELDNAME(C) KV_CALCULATED(C)
          .Enumeration(u"StringDataType",
                       {u"fdtStringKv", u"fdtFixedCharKv", u"fdtWideStringKv", u"fdtGuidKv", u"fdtFixedWideCharKv",
                        u"fdtOraIntervalKv"},
                       &C::StringDataType, &C::SetStringDataType)
              KV_ALIGNMENT(C, taLeftJustify) KV_DEFAULTEXPR(C) KV_DISPLAYLABEL(C) KV_DISPLAYWIDTH(C) KV_EDITMASK(C)
                  KV_REQUIRED(C) KV_VISIBLE(C)
          .Boolean(u"FixedChar", &C::FixedChar, &C::SetFixedChar, false)
          .Integer(u"Size", &C::Size, &C::SetSize, 20)
          .Boolean(u"Transliterate", &C::Transliterate, &C::SetTransliterate, false)
          .Build();
  return kList;
}

// ---- numeric -------------------------------------------------------------------------------------------

TMTNumericDataFieldKv::TMTNumericDataFieldKv(TComponent* AOwner) : TMTDataFieldKv(AOwner) {
  FAlignment = taRightJustify;
  RefreshVarDataType();
}

TFieldType TMTNumericDataFieldKv::DataType() const {
  static constexpr TFieldType kTypes[] = {ftSmallint, ftInteger,  ftWord,     ftFloat,    ftCurrency,
                                          ftBCD,      ftAutoInc,  ftLargeint, ftFMTBcd,   ftLongWord,
                                          ftShortint, ftByte,     ftExtended, ftSingle};
  return kTypes[FNumericDataType];
}

void TMTNumericDataFieldKv::SetNumericDataType(TMTNumericDataTypeKv Value) {
  if (FNumericDataType == Value) return;
  FNumericDataType = Value;
  if (CanDinaSize() && FSize == 0) FSize = 4;
  RefreshVarDataType();
  Changed();
}

int TMTNumericDataFieldKv::GetDefaultWidth() const {
  if (FNumericDataType == fdtLargeintKv) return 15;
  if ((FNumericDataType == fdtBCDKv || FNumericDataType == fdtFMTBcdKv) && FPrecision > 0) return FPrecision + 1;
  return 10;
}

void TMTNumericDataFieldKv::AssignDataType(TFieldType FieldType) {
  static constexpr std::pair<TFieldType, TMTNumericDataTypeKv> kMap[] = {
      {ftSmallint, fdtSmallintKv}, {ftInteger, fdtIntegerKv},   {ftWord, fdtWordKv},         {ftFloat, fdtFloatKv},
      {ftCurrency, fdtCurrencyKv}, {ftBCD, fdtBCDKv},           {ftAutoInc, fdtAutoIncKv},   {ftLargeint, fdtLargeintKv},
      {ftFMTBcd, fdtFMTBcdKv},     {ftLongWord, fdtLongWordKv}, {ftShortint, fdtShortintKv}, {ftByte, fdtByteKv},
      {ftExtended, fdtExtendedKv}, {ftSingle, fdtSingleKv}};
  for (const auto& [type, kind] : kMap)
    if (type == FieldType) {
      FNumericDataType = kind;
      if (CanDinaSize() && FSize == 0) FSize = 4;
      RefreshVarDataType();
      return;
    }
  CannotAssignDataType();
}

void TMTNumericDataFieldKv::Assign(const TPersistent* Source) {
  if (const auto* src = dynamic_cast<const TMTNumericDataFieldKv*>(Source)) FNumericDataType = src->FNumericDataType;
  TMTDataFieldKv::Assign(Source);
  if (const auto* src = dynamic_cast<const TMTNumericDataFieldKv*>(Source)) {
    FDisplayFormat = src->FDisplayFormat;
    FEditFormat = src->FEditFormat;
    FCurrency = src->FCurrency;
    FMaxValue = src->FMaxValue;
    FMinValue = src->FMinValue;
    FPrecision = src->FPrecision;
    RefreshVarDataType();
  }
}

void TMTNumericDataFieldKv::AssignProps(const TField* Field) {
  TMTDataFieldKv::AssignProps(Field);
  if (const auto* f = dynamic_cast<const TNumericField*>(Field)) {
    FDisplayFormat = f->DisplayFormat();
    FEditFormat = f->EditFormat();
  }
  if (const auto* f = dynamic_cast<const TIntegerField*>(Field)) {
    FMaxValue = f->MaxValue();
    FMinValue = f->MinValue();
  } else if (const auto* f = dynamic_cast<const TLargeintField*>(Field)) {
    FMaxValue = static_cast<double>(f->MaxValue());
    FMinValue = static_cast<double>(f->MinValue());
  } else if (const auto* f = dynamic_cast<const TFloatField*>(Field)) {
    FCurrency = f->IsCurrency();
    FMaxValue = f->MaxValue();
    FMinValue = f->MinValue();
    FPrecision = f->Precision();
  } else if (const auto* f = dynamic_cast<const TBCDField*>(Field)) {
    FPrecision = f->Precision();
    FSize = f->Size();
  } else if (const auto* f = dynamic_cast<const TFMTBCDField*>(Field)) {
    FPrecision = f->Precision();
    FSize = f->Size();
  }
}

void TMTNumericDataFieldKv::AssignPropsTo(TField* Field) const {
  TMTDataFieldKv::AssignPropsTo(Field);
  if (auto* f = dynamic_cast<TNumericField*>(Field)) {
    if (!FDisplayFormat.empty()) f->SetDisplayFormat(FDisplayFormat);
    if (!FEditFormat.empty()) f->SetEditFormat(FEditFormat);
  }
  const bool limits = FMaxValue != 0 || FMinValue != 0;
  if (auto* f = dynamic_cast<TIntegerField*>(Field)) {
    if (limits) {
      f->SetMaxValue(static_cast<int>(std::clamp(FMaxValue, -2147483648.0, 2147483647.0)));
      f->SetMinValue(static_cast<int>(std::clamp(FMinValue, -2147483648.0, 2147483647.0)));
    }
  } else if (auto* f = dynamic_cast<TLargeintField*>(Field)) {
    if (limits) {
      f->SetMaxValue(static_cast<Int64>(std::clamp(FMaxValue, -9.2233720368547758e18, 9.2233720368547748e18)));
      f->SetMinValue(static_cast<Int64>(std::clamp(FMinValue, -9.2233720368547758e18, 9.2233720368547748e18)));
    }
  } else if (auto* f = dynamic_cast<TFloatField*>(Field)) {
    if (FCurrency) f->SetCurrency(true);
    if (limits) {
      f->SetMaxValue(FMaxValue);
      f->SetMinValue(FMinValue);
    }
    f->SetPrecision(FPrecision);
  } else if (auto* f = dynamic_cast<TBCDField*>(Field)) {
    if (FPrecision != 0) f->SetPrecision(FPrecision);
  } else if (auto* f = dynamic_cast<TFMTBCDField*>(Field)) {
    if (FPrecision != 0) f->SetPrecision(FPrecision);
  }
}

const TPropList& TMTNumericDataFieldKv::PropList() const {
  using C = TMTNumericDataFieldKv;
  static const TPropList kList =
      TPropListBuilder<C>(TComponent::PropList()) KV_FIELDNAME(C) KV_CALCULATED(C)
          .Enumeration(u"NumericDataType",
                       {u"fdtSmallintKv", u"fdtIntegerKv", u"fdtWordKv", u"fdtFloatKv", u"fdtCurrencyKv", u"fdtBCDKv",
                        u"fdtAutoIncKv", u"fdtLargeintKv", u"fdtFMTBcdKv", u"fdtLongWordKv", u"fdtShortintKv",
                        u"fdtByteKv", u"fdtExtendedKv", u"fdtSingleKv"},
                       &C::NumericDataType, &C::SetNumericDataType)
          .Boolean(u"AutoIncrement", &C::AutoIncrement, &C::SetAutoIncrement)
              KV_ALIGNMENT(C, taRightJustify) KV_DEFAULTEXPR(C) KV_DISPLAYLABEL(C) KV_DISPLAYWIDTH(C) KV_EDITMASK(C)
                  KV_REQUIRED(C) KV_VISIBLE(C)
          .StringProp(u"DisplayFormat", &C::DisplayFormat, &C::SetDisplayFormat)
          .StringProp(u"EditFormat", &C::EditFormat, &C::SetEditFormat)
          .Boolean(u"currency", &C::IsCurrency, &C::SetCurrency)
          .Float(u"MaxValue", &C::MaxValue, &C::SetMaxValue)
          .Float(u"MinValue", &C::MinValue, &C::SetMinValue)
          .Integer(u"Precision", &C::Precision, &C::SetPrecision)
          .Integer(u"Scale", &C::Scale, &C::SetScale)
          .StoredIf([](const C& f) { return f.CanDinaSize(); })
          .Build();
  return kList;
}

// ---- date/time -----------------------------------------------------------------------------------------

TMTDateTimeDataFieldKv::TMTDateTimeDataFieldKv(TComponent* AOwner) : TMTDataFieldKv(AOwner) { RefreshVarDataType(); }

TFieldType TMTDateTimeDataFieldKv::DataType() const {
  static constexpr TFieldType kTypes[] = {ftDate, ftTime, ftDateTime};
  return kTypes[FDateTimeDataType];
}

void TMTDateTimeDataFieldKv::SetDateTimeDataType(TMTDateTimeDataTypeKv Value) {
  if (FDateTimeDataType == Value) return;
  FDateTimeDataType = Value;
  RefreshVarDataType();
  Changed();
}

void TMTDateTimeDataFieldKv::AssignDataType(TFieldType FieldType) {
  switch (FieldType) {
    case ftDate: FDateTimeDataType = fdtDateKv; break;
    case ftTime: FDateTimeDataType = fdtTimeKv; break;
    case ftDateTime: FDateTimeDataType = fdtDateTimeKv; break;
    default: CannotAssignDataType();
  }
  RefreshVarDataType();
}

void TMTDateTimeDataFieldKv::Assign(const TPersistent* Source) {
  TMTDataFieldKv::Assign(Source);
  if (const auto* src = dynamic_cast<const TMTDateTimeDataFieldKv*>(Source)) {
    FDateTimeDataType = src->FDateTimeDataType;
    FDisplayFormat = src->FDisplayFormat;
  }
}

void TMTDateTimeDataFieldKv::AssignProps(const TField* Field) {
  TMTDataFieldKv::AssignProps(Field);
  if (const auto* f = dynamic_cast<const TDateTimeField*>(Field)) FDisplayFormat = f->DisplayFormat();
}

void TMTDateTimeDataFieldKv::AssignPropsTo(TField* Field) const {
  TMTDataFieldKv::AssignPropsTo(Field);
  if (auto* f = dynamic_cast<TDateTimeField*>(Field); f && !FDisplayFormat.empty()) f->SetDisplayFormat(FDisplayFormat);
}

const TPropList& TMTDateTimeDataFieldKv::PropList() const {
  using C = TMTDateTimeDataFieldKv;
  static const TPropList kList =
      TPropListBuilder<C>(TComponent::PropList()) KV_FIELDNAME(C) KV_CALCULATED(C)
          .Enumeration(u"DateTimeDataType", {u"fdtDateKv", u"fdtTimeKv", u"fdtDateTimeKv"}, &C::DateTimeDataType,
                       &C::SetDateTimeDataType)
              KV_ALIGNMENT(C, taLeftJustify) KV_DEFAULTEXPR(C) KV_DISPLAYLABEL(C) KV_DISPLAYWIDTH(C) KV_EDITMASK(C)
                  KV_REQUIRED(C) KV_VISIBLE(C)
          .StringProp(u"DisplayFormat", &C::DisplayFormat, &C::SetDisplayFormat)
          .Build();
  return kList;
}

// ---- blob ----------------------------------------------------------------------------------------------

TMTBlobDataFieldKv::TMTBlobDataFieldKv(TComponent* AOwner) : TMTDataFieldKv(AOwner) { RefreshVarDataType(); }

void TMTBlobDataFieldKv::SetBlobType(TFieldType Value) {
  if (FBlobType == Value) return;
  FBlobType = Value;
  RefreshVarDataType();
  Changed();
}

void TMTBlobDataFieldKv::AssignDataType(TFieldType FieldType) {
  if (FieldType >= ftBlob && FieldType <= ftWideMemo) FBlobType = FieldType;
  RefreshVarDataType();
}

void TMTBlobDataFieldKv::Assign(const TPersistent* Source) {
  TMTDataFieldKv::Assign(Source);
  if (const auto* src = dynamic_cast<const TMTBlobDataFieldKv*>(Source)) {
    FBlobType = src->FBlobType;
    FGraphicHeader = src->FGraphicHeader;
    FTransliterate = src->FTransliterate;
    RefreshVarDataType();
  }
}

void TMTBlobDataFieldKv::AssignProps(const TField* Field) {
  TMTDataFieldKv::AssignProps(Field);
  if (const auto* f = dynamic_cast<const TBlobField*>(Field)) {
    FBlobType = f->BlobType();
    FTransliterate = f->Transliterate();
    RefreshVarDataType();
  }
}

void TMTBlobDataFieldKv::AssignPropsTo(TField* Field) const { TMTDataFieldKv::AssignPropsTo(Field); }

const TPropList& TMTBlobDataFieldKv::PropList() const {
  using C = TMTBlobDataFieldKv;
  static const TPropList kList =
      TPropListBuilder<C>(TComponent::PropList()) KV_FIELDNAME(C) KV_CALCULATED(C) KV_ALIGNMENT(C, taLeftJustify)
          KV_DEFAULTEXPR(C) KV_DISPLAYLABEL(C) KV_DISPLAYWIDTH(C) KV_EDITMASK(C) KV_REQUIRED(C) KV_VISIBLE(C)
              .Enumeration(u"BlobType", FieldTypeIdents(), &C::BlobType, &C::SetBlobType, ftBlob)
              .Boolean(u"GraphicHeader", &C::GraphicHeader, &C::SetGraphicHeader, true)
              .Boolean(u"Transliterate", &C::Transliterate, &C::SetTransliterate)
              .Build();
  return kList;
}

// ---- boolean -------------------------------------------------------------------------------------------

TMTBooleanDataFieldKv::TMTBooleanDataFieldKv(TComponent* AOwner) : TMTDataFieldKv(AOwner) { RefreshVarDataType(); }

void TMTBooleanDataFieldKv::AssignDataType(TFieldType FieldType) {
  if (FieldType != ftBoolean) CannotAssignDataType();
  RefreshVarDataType();
}

void TMTBooleanDataFieldKv::Assign(const TPersistent* Source) {
  TMTDataFieldKv::Assign(Source);
  if (const auto* src = dynamic_cast<const TMTBooleanDataFieldKv*>(Source)) FDisplayValues = src->FDisplayValues;
}

void TMTBooleanDataFieldKv::AssignProps(const TField* Field) {
  TMTDataFieldKv::AssignProps(Field);
  if (const auto* f = dynamic_cast<const TBooleanField*>(Field)) FDisplayValues = f->DisplayValues();
}

void TMTBooleanDataFieldKv::AssignPropsTo(TField* Field) const {
  TMTDataFieldKv::AssignPropsTo(Field);
  if (auto* f = dynamic_cast<TBooleanField*>(Field); f && !FDisplayValues.empty()) f->SetDisplayValues(FDisplayValues);
}

const TPropList& TMTBooleanDataFieldKv::PropList() const {
  using C = TMTBooleanDataFieldKv;
  static const TPropList kList =
      TPropListBuilder<C>(TComponent::PropList()) KV_FIELDNAME(C) KV_CALCULATED(C) KV_ALIGNMENT(C, taLeftJustify)
          KV_DEFAULTEXPR(C) KV_DISPLAYLABEL(C) KV_DISPLAYWIDTH(C) KV_EDITMASK(C) KV_REQUIRED(C) KV_VISIBLE(C)
              .StringProp(u"DisplayValues", &C::DisplayValues, &C::SetDisplayValues)
              .Build();
  return kList;
}

// ---- interface -----------------------------------------------------------------------------------------

TMTInterfaceDataFieldKv::TMTInterfaceDataFieldKv(TComponent* AOwner) : TMTDataFieldKv(AOwner) {
  FVarDataType = varUnknown;
}

void TMTInterfaceDataFieldKv::AssignDataType(TFieldType FieldType) {
  if (FieldType == ftInterface) FInterfaceDataType = fdtInterfaceKv;
  else if (FieldType == ftIDispatch) FInterfaceDataType = fdtIDispatchKv;
  else CannotAssignDataType();
}

const TPropList& TMTInterfaceDataFieldKv::PropList() const {
  using C = TMTInterfaceDataFieldKv;
  static const TPropList kList =
      TPropListBuilder<C>(TComponent::PropList()) KV_FIELDNAME(C) KV_CALCULATED(C) KV_ALIGNMENT(C, taLeftJustify)
          KV_DEFAULTEXPR(C) KV_DISPLAYLABEL(C) KV_DISPLAYWIDTH(C)
              .Enumeration(u"InterfaceDataType", {u"fdtInterfaceKv", u"fdtIDispatchKv"}, &C::InterfaceDataType,
                           &C::SetInterfaceDataType) KV_REQUIRED(C) KV_VISIBLE(C)
              .Build();
  return kList;
}

// ---- variant -------------------------------------------------------------------------------------------

TMTVariantDataFieldKv::TMTVariantDataFieldKv(TComponent* AOwner) : TMTDataFieldKv(AOwner) {
  FVarDataType = varVariant;
}

TFieldType TMTVariantDataFieldKv::DataType() const {
  static constexpr TFieldType kTypes[] = {ftVariant, ftBytes, ftVarBytes};
  return kTypes[FVariantDataType];
}

void TMTVariantDataFieldKv::SetVariantDataType(TMTVariantDataTypeKv Value) {
  if (FVariantDataType == Value) return;
  FVariantDataType = Value;
  if (CanDinaSize() && FSize == 0) FSize = 16;
  RefreshVarDataType();
  Changed();
}

void TMTVariantDataFieldKv::AssignDataType(TFieldType FieldType) {
  // Values of a field built from a definition are stored as given: the cached kind stays varVariant.
  if (FieldType == ftVariant) FVariantDataType = fdtVariant;
  else if (FieldType == ftBytes) FVariantDataType = fdtBytes;
  else if (FieldType == ftVarBytes) FVariantDataType = fdtVarBytes;
  else CannotAssignDataType();
}

const TPropList& TMTVariantDataFieldKv::PropList() const {
  using C = TMTVariantDataFieldKv;
  static const TPropList kList =
      TPropListBuilder<C>(TComponent::PropList()) KV_FIELDNAME(C) KV_CALCULATED(C) KV_ALIGNMENT(C, taLeftJustify)
          KV_DEFAULTEXPR(C) KV_DISPLAYLABEL(C) KV_DISPLAYWIDTH(C)
              .Enumeration(u"VariantDataType", {u"fdtVariant", u"fdtBytes", u"fdtVarBytes"}, &C::VariantDataType,
                           &C::SetVariantDataType) KV_REQUIRED(C)
              .Integer(u"Size", &C::Size, &C::SetSize, 16)
              .StoredIf([](const C& f) { return f.CanDinaSize(); }) KV_VISIBLE(C)
              .Build();
  return kList;
}

// ---- object reference ----------------------------------------------------------------------------------

TMTRefObjectFieldKv::TMTRefObjectFieldKv(TComponent* AOwner) : TMTDataFieldKv(AOwner) { RefreshVarDataType(); }

void TMTRefObjectFieldKv::AssignDataType(TFieldType FieldType) {
  if (FieldType != ftUnknown) CannotAssignDataType();
}

const TPropList& TMTRefObjectFieldKv::PropList() const {
  using C = TMTRefObjectFieldKv;
  static const TPropList kList = TPropListBuilder<C>(TComponent::PropList()) KV_FIELDNAME(C) KV_CALCULATED(C)
      KV_ALIGNMENT(C, taLeftJustify) KV_DISPLAYLABEL(C) KV_DISPLAYWIDTH(C) KV_REQUIRED(C) KV_VISIBLE(C).Build();
  return kList;
}

// ---- SQL time stamp ------------------------------------------------------------------------------------

TMTSQLTimeStampDataFieldKv::TMTSQLTimeStampDataFieldKv(TComponent* AOwner) : TMTDataFieldKv(AOwner) {
  RefreshVarDataType();
}

TFieldType TMTSQLTimeStampDataFieldKv::DataType() const {
  static constexpr TFieldType kTypes[] = {ftTimeStamp, ftOraTimeStamp, ftTimeStampOffset};
  return kTypes[FKind];
}

void TMTSQLTimeStampDataFieldKv::AssignDataType(TFieldType FieldType) {
  if (FieldType == ftTimeStamp) FKind = fdtTimeStampKv;
  else if (FieldType == ftOraTimeStamp) FKind = fdtOraTimeStampKv;
  else if (FieldType == ftTimeStampOffset) FKind = fdtTimeStampOffsetKv;
  else CannotAssignDataType();
  RefreshVarDataType();
}

void TMTSQLTimeStampDataFieldKv::Assign(const TPersistent* Source) {
  TMTDataFieldKv::Assign(Source);
  if (const auto* src = dynamic_cast<const TMTSQLTimeStampDataFieldKv*>(Source)) {
    FKind = src->FKind;
    FDisplayFormat = src->FDisplayFormat;
    RefreshVarDataType();
  }
}

void TMTSQLTimeStampDataFieldKv::AssignProps(const TField* Field) {
  TMTDataFieldKv::AssignProps(Field);
  if (const auto* f = dynamic_cast<const TSQLTimeStampField*>(Field)) FDisplayFormat = f->DisplayFormat();
}

void TMTSQLTimeStampDataFieldKv::AssignPropsTo(TField* Field) const {
  TMTDataFieldKv::AssignPropsTo(Field);
  if (auto* f = dynamic_cast<TSQLTimeStampField*>(Field); f && !FDisplayFormat.empty()) f->SetDisplayFormat(FDisplayFormat);
}

const TPropList& TMTSQLTimeStampDataFieldKv::PropList() const {
  using C = TMTSQLTimeStampDataFieldKv;
  static const TPropList kList =
      TPropListBuilder<C>(TComponent::PropList()) KV_FIELDNAME(C) KV_CALCULATED(C)
          .Enumeration(u"SQLTimeStampDataFieldType", {u"fdtTimeStampKv", u"fdtOraTimeStampKv", u"fdtTimeStampOffsetKv"},
                       &C::SQLTimeStampDataFieldType, &C::SetSQLTimeStampDataFieldType)
              KV_ALIGNMENT(C, taLeftJustify) KV_DEFAULTEXPR(C) KV_DISPLAYLABEL(C) KV_DISPLAYWIDTH(C) KV_EDITMASK(C)
                  KV_REQUIRED(C) KV_VISIBLE(C)
          .StringProp(u"DisplayFormat", &C::DisplayFormat, &C::SetDisplayFormat)
          .Build();
  return kList;
}

// ---- TMTDataStructKv -----------------------------------------------------------------------------------

TMTDataStructKv::TMTDataStructKv(TComponent* AOwner) : TComponent(AOwner) {}

TMTDataStructKv::~TMTDataStructKv() {
  BeginUpdate();
  Clear();
}

TMTDataFieldKv* TMTDataStructKv::CreateField(const TMetaClass& FieldClass) {
  std::unique_ptr<TComponent> made(FieldClass.CreateComponent(this));
  auto* field = dynamic_cast<TMTDataFieldKv*>(made.get());
  if (!field) throw Exception(u"Can't assign DataType from Field");
  made.release();
  field->SetFieldId(FNextFieldId++);
  InsertField(field);
  return field;
}

void TMTDataStructKv::InsertField(TMTDataFieldKv* Field) {
  if (Field->Owner() != this) InsertComponent(Field);
  FList.push_back(Field);
  Field->FDataStruct = this;
  if (!Updating()) StructChanged();
}

void TMTDataStructKv::RemoveField(TMTDataFieldKv* Field) {
  auto it = std::find(FList.begin(), FList.end(), Field);
  if (it == FList.end()) return;
  FList.erase(it);
  Field->FDataStruct = nullptr;
  RemoveComponent(Field);
  if (!Updating()) StructChanged();
}

void TMTDataStructKv::Clear() {
  std::vector<TMTDataFieldKv*> fields;
  fields.swap(FList);
  for (TMTDataFieldKv* f : fields) {
    f->FDataStruct = nullptr;
    delete f;
  }
  if (!Updating() && !fields.empty()) StructChanged();
}

int TMTDataStructKv::IndexOf(const TMTDataFieldKv* Field) const {
  for (size_t i = 0; i < FList.size(); ++i)
    if (FList[i] == Field) return static_cast<int>(i);
  return -1;
}

void TMTDataStructKv::MoveField(TMTDataFieldKv* Field, int NewIndex) {
  const int cur = IndexOf(Field);
  if (cur < 0 || NewIndex < 0 || NewIndex >= Count() || cur == NewIndex) return;
  FList.erase(FList.begin() + cur);
  FList.insert(FList.begin() + NewIndex, Field);
  if (!Updating()) StructChanged();
}

TMTDataFieldKv* TMTDataStructKv::FindField(std::u16string_view FieldName) const {
  for (TMTDataFieldKv* f : FList)
    if (AnsiSameText(f->FieldName(), FieldName)) return f;
  return nullptr;
}

TMTDataFieldKv* TMTDataStructKv::FindFieldByGIUD(std::u16string_view GUID) const {
  for (TMTDataFieldKv* f : FList)
    if (f->GUID() == GUID) return f;
  return nullptr;
}

int TMTDataStructKv::FieldIndex(std::u16string_view FieldName) const {
  for (size_t i = 0; i < FList.size(); ++i)
    if (SameText(FList[i]->FieldName(), FieldName)) return static_cast<int>(i);
  return -1;
}

TMTDataFieldKv* TMTDataStructKv::FieldByName(std::u16string_view FieldName) const {
  TMTDataFieldKv* f = FindField(FieldName);
  if (!f) DatabaseErrorFmt(msg::SFieldNotFound, {String(FieldName)}, this);
  return f;
}

void TMTDataStructKv::GetFieldList(std::vector<TMTDataFieldKv*>* List, std::u16string_view FieldNames) const {
  size_t pos = 0;
  for (;;) {
    const String name = ExtractFieldName(FieldNames, pos);
    if (name.empty() && pos >= FieldNames.size()) break;
    TMTDataFieldKv* f = FieldByName(name);
    if (List) List->push_back(f);
    if (pos >= FieldNames.size()) break;
  }
}

std::vector<int> TMTDataStructKv::FieldsIndex(std::u16string_view FieldNames) const {
  std::vector<int> result;
  if (FieldNames.find(u';') != std::u16string_view::npos) {
    std::vector<TMTDataFieldKv*> list;
    GetFieldList(&list, FieldNames);
    for (TMTDataFieldKv* f : list) result.push_back(IndexOf(f));
    return result;
  }
  const int i = FieldIndex(FieldNames);
  if (i >= 0) result.push_back(i);
  return result;
}

void TMTDataStructKv::CheckFieldName(const String& FieldName) const {
  const TComponent* named = FMemTableData ? static_cast<const TComponent*>(FMemTableData) : this;
  if (FieldName.empty()) DatabaseError(msg::SFieldNameMissing, named);
  if (FindField(FieldName)) DatabaseErrorFmt(msg::SDuplicateFieldName, {FieldName}, named);
}

void TMTDataStructKv::BuildStructFromFieldDefs(const TFieldDefs& FieldDefs) {
  if (FMemTableData) FMemTableData->DestroyTable();
  BeginUpdate();
  try {
    for (const auto& def : FieldDefs) BuildDataFieldForFieldDef(*def);
  } catch (...) {
    EndUpdate(true);
    throw;
  }
  EndUpdate(true);
}

TMTDataFieldKv* TMTDataStructKv::BuildDataFieldForFieldDef(const TFieldDef& FieldDef) {
  const TMetaClass* cls = DataFieldClassOf(FieldDef.DataType());
  if (!cls)
    DatabaseErrorFmt(u"Field '%s' is of an unknown type", {FieldDef.Name()}, FMemTableData);
  TMTDataFieldKv* f = CreateField(*cls);
  f->AssignDataType(FieldDef.DataType());
  f->SetFieldName(FieldDef.Name());
  f->SetRequired(FieldDef.Required());
  if (auto* n = dynamic_cast<TMTNumericDataFieldKv*>(f); n && FieldDef.Precision() != 0)
    n->SetPrecision(FieldDef.Precision());
  if (f->CanDinaSize()) f->SetSize(FieldDef.Size());
  if (FieldDef.DataType() == ftAutoInc) f->SetAutoIncrement(true);
  f->SetCalculated(FieldDef.InternalCalcField());
  return f;
}

void TMTDataStructKv::BuildStructFromFields(const TFields& Fields) {
  if (FMemTableData) FMemTableData->DestroyTable();
  BeginUpdate();
  try {
    for (TField* f : Fields)
      if (f->FieldKind() == fkData || f->FieldKind() == fkInternalCalc) BuildDataFieldForField(f);
  } catch (...) {
    EndUpdate(true);
    throw;
  }
  EndUpdate(true);
}

TMTDataFieldKv* TMTDataStructKv::BuildDataFieldForField(TField* Field) {
  if (const TBuildFieldDescriptorKv* build = DataSetFeaturesKv(Field->DataSet()); build && *build)
    if (TMTDataFieldKv* f = (*build)(this, Field)) return f;
  return BuildAndCopyDataFieldForField(Field);
}

TMTDataFieldKv* TMTDataStructKv::BuildAndCopyDataFieldForField(TField* Field) {
  const TMetaClass* cls = DataFieldClassOf(Field->DataType());
  if (!cls) DatabaseErrorFmt(u"Field '%s' is of an unknown type", {Field->DisplayName()}, FMemTableData);
  TMTDataFieldKv* f = CreateField(*cls);
  f->AssignDataType(Field->DataType());
  f->SetFieldName(Field->FieldName());
  f->AssignProps(Field);
  return f;
}

void TMTDataStructKv::BuildFieldDefsFromStruct(TFieldDefs& FieldDefs) const {
  FieldDefs.Clear();
  for (const TMTDataFieldKv* f : FList) {
    TFieldDef* def = FieldDefs.AddFieldDef();
    def->SetName(f->FieldName());
    def->SetDataType(f->DataType());
    if (f->CanDinaSize() || IsStringFieldType(f->DataType())) def->SetSize(f->Size());
    def->SetInternalCalcField(f->Calculated());
    if (f->Required()) def->SetAttributes(def->Attributes() | faRequired);
    if (const auto* n = dynamic_cast<const TMTNumericDataFieldKv*>(f)) def->SetPrecision(n->Precision());
  }
}

void TMTDataStructKv::Assign(const TPersistent* Source) {
  const auto* src = dynamic_cast<const TMTDataStructKv*>(Source);
  if (!src) {
    TComponent::Assign(Source);
    return;
  }
  BeginUpdate();
  try {
    Clear();
    for (const TMTDataFieldKv* f : src->FList) {
      const TMetaClass* cls = GetClass(f->ClassName());
      if (!cls) cls = DataFieldClassOf(f->DataType());
      if (!cls) throw Exception(u"Can't assign DataType from Field");
      TMTDataFieldKv* copy = CreateField(*cls);
      copy->Assign(f);
    }
  } catch (...) {
    EndUpdate(true);
    throw;
  }
  EndUpdate(true);
}

void TMTDataStructKv::EndUpdate(bool AStructChanged) {
  if (FUpdateCount > 0 && --FUpdateCount == 0 && AStructChanged) StructChanged();
}

void TMTDataStructKv::StructChanged() {
  if (FMemTableData) FMemTableData->StructChanged();
  else FStructChanged = true;
  if (OnStructChanged) OnStructChanged(this);
}

void TMTDataStructKv::GetChildren(const TGetChildProc& Proc, TComponent*) {
  for (TMTDataFieldKv* f : FList) Proc(f);
}
