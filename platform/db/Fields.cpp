#include "platform/db/Fields.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "platform/db/DataSet.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {

template <class T>
T LoadAs(const Byte* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

template <class T>
void StoreAs(Byte* p, T v) {
  std::memcpy(p, &v, sizeof(T));
}

template <class T>
TConstValueBuffer BytesOf(const T& v) {
  return TConstValueBuffer(reinterpret_cast<const Byte*>(&v), sizeof(T));
}

template <class T>
TValueBuffer BytesOf(T& v) {
  return TValueBuffer(reinterpret_cast<Byte*>(&v), sizeof(T));
}

Currency CurrencyOf(double v) { return Currency::FromDouble(v); }

Variant ByteArrayVariant(const TBytes& bytes) {
  if (bytes.empty()) return VarArrayCreate({0, -1}, varByte);
  Variant v = VarArrayCreate({0, static_cast<int>(bytes.size()) - 1}, varByte);
  std::memcpy(VarArrayLock(v), bytes.data(), bytes.size());
  VarArrayUnlock(v);
  return v;
}

TBytes BytesOfVariant(const Variant& v) {
  if (VarIsByteArray(v)) {
    Variant copy = v;
    const int n = VarArrayLength(copy);
    TBytes out(static_cast<std::size_t>(n));
    if (n > 0) std::memcpy(out.data(), VarArrayLock(copy), out.size());
    VarArrayUnlock(copy);
    return out;
  }
  const AnsiString s = v.AsAnsiString();
  return TBytes(s.begin(), s.end());
}

String LatinBytesToString(const Byte* p, std::size_t n) {
  String s(n, u'\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char16_t>(p[i]);
  return s;
}

// Text typed into a number field: empty text clears it, as a user blanking an edit box means; any
// other text must parse whole once trimmed, or the error names the text and the field. False when the
// field was cleared and there is no value to store.
template <class T>
bool ParseNumberText(TField& Field, const String& Value,
                     std::type_identity_t<bool (*)(std::u16string_view, T&)> TryParse, std::u16string_view Error,
                     T& Out) {
  if (Value.empty()) {
    Field.Clear();
    return false;
  }
  if (!TryParse(Trim(Value), Out)) DatabaseErrorFmt(Error, {Value, Field.DisplayName()});
  return true;
}

// The edit text falls back to the display format when the field has no edit format of its own.
const String& NumberTextFormat(const TNumericField& Field, bool DisplayText) {
  return DisplayText || Field.EditFormat().empty() ? Field.DisplayFormat() : Field.EditFormat();
}

// A time stamp field's text is a date and time; empty text clears it.
void SetTimeStampText(TField& Field, const String& Value) {
  if (Value.empty())
    Field.Clear();
  else
    Field.SetAsDateTime(StrToDateTime(Value));
}

// Unassigned and Null both stand for a field without a value.
bool VarIsNothing(const Variant& v) { return VarIsClear(v) || VarIsNull(v); }

}  // namespace

// ==== TField ============================================================================================

TField::TField(TComponent* AOwner) : TComponent(AOwner) {}

TField::~TField() {
  if (FLookupDataSet) FLookupDataSet->RemoveFreeNotification(this);
  if (FParentField) {
    auto& kids = FParentField->FChildren;
    kids.erase(std::remove(kids.begin(), kids.end(), this), kids.end());
    FParentField = nullptr;
  }
  if (FDataSet) {
    FDataSet->FFields->Remove(this);
    FDataSet->FAggFields->Remove(this);
    FDataSet = nullptr;
  }
}

void TField::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == FLookupDataSet) FLookupDataSet = nullptr;
}

void TField::SetDataSet(TDataSet* ADataSet) {
  if (ADataSet == FDataSet) return;
  if (FDataSet) FDataSet->RequireInactive();
  if (ADataSet) {
    ADataSet->RequireInactive();
    if (FFieldName.empty()) DatabaseError(msg::SFieldNameMissing, ADataSet);
    if (ADataSet->FindField(FFieldName))
      DatabaseErrorFmt(msg::SDuplicateFieldName, {FFieldName}, ADataSet);
  }
  // Aggregates live in their own list: they are no column of the rows.
  auto listOf = [this](TDataSet* ds) -> TFields& {
    return FFieldKind == fkAggregate ? *ds->FAggFields : *ds->FFields;
  };
  if (FDataSet) listOf(FDataSet).Remove(this);
  FDataSet = ADataSet;
  if (FDataSet) listOf(FDataSet).Add(this);
}

void TField::SetParentField(TObjectField* AField) {
  if (AField == FParentField) return;
  if (FParentField) {
    auto& kids = FParentField->FChildren;
    kids.erase(std::remove(kids.begin(), kids.end(), this), kids.end());
  }
  FParentField = AField;
  if (FParentField) FParentField->FChildren.push_back(this);
}

void TField::SetFieldName(const String& Value) {
  if (Value == FFieldName) return;
  if (FDataSet) {
    TField* other = FDataSet->FFields->FindField(Value);
    if (other && other != this) DatabaseErrorFmt(msg::SDuplicateFieldName, {Value}, FDataSet);
  }
  FFieldName = Value;
}

String TField::FullName() const {
  if (FParentField) return FParentField->FullName() + u"." + FFieldName;
  return FFieldName;
}

String TField::DisplayName() const { return FDisplayLabel.empty() ? FFieldName : FDisplayLabel; }

void TField::SetFieldKind(TFieldKind Value) {
  if (Value == FFieldKind) return;
  TDataSet* ds = FDataSet;
  if (ds) {
    ds->RequireInactive();
    SetDataSet(nullptr);
  }
  FFieldKind = Value;
  if (ds) SetDataSet(ds);
}

int TField::Index() const { return FDataSet ? FDataSet->FFields->IndexOf(this) : -1; }

void TField::SetIndex(int Value) {
  if (FDataSet) FDataSet->FFields->SetFieldIndex(this, Value);
}

void TField::SetSize(int Value) {
  if (Value == FSize) return;
  if (FDataSet) FDataSet->RequireInactive();
  VerifyTypeSize(FDataType, Value);
  FSize = Value;
}

int TField::DataSize() const { return NativeDataSize(FDataType, FSize); }

bool TField::IsIndexField() const { return FDataSet && FDataSet->IsFieldInIndex(const_cast<TField*>(this)); }

void TField::SetReadOnly(bool Value) {
  if (Value == FReadOnly) return;
  FReadOnly = Value;
  if (FDataSet) FDataSet->DispatchDataEvent(deLayoutChange, 0);
}

void TField::SetVisible(bool Value) {
  if (Value == FVisible) return;
  FVisible = Value;
  if (FDataSet) FDataSet->DispatchDataEvent(deLayoutChange, 0);
}

int TField::DisplayWidth() const {
  if (FDisplayWidth > 0) return FDisplayWidth;
  if (IsStringFieldType(FDataType)) return std::max(FSize, 1);
  return 10;
}

bool TField::CanModify() const {
  if (FReadOnly || !FDataSet) return false;
  if (FFieldKind == fkCalculated || FFieldKind == fkAggregate) return false;
  return FDataSet->CanModify();
}

void TField::SetLookupDataSet(TDataSet* Value) {
  if (Value == FLookupDataSet) return;
  if (FLookupDataSet) FLookupDataSet->RemoveFreeNotification(this);
  FLookupDataSet = Value;
  if (FLookupDataSet) FLookupDataSet->FreeNotification(this);
}

void TField::CalcLookupValue() {
  if (!FLookupDataSet || FKeyFields.empty() || FLookupKeyFields.empty() || FLookupResultField.empty())
    DatabaseErrorFmt(msg::SLookupInfoError, {DisplayName()}, FDataSet);
  if (!FLookupDataSet->Active()) {
    Clear();
    return;
  }
  const Variant keys = FDataSet->FieldValues(FKeyFields);
  SetAsVariant(FLookupDataSet->Lookup(FLookupKeyFields, keys, FLookupResultField));
}

void TField::RequireDataSet() const {
  if (!FDataSet) DatabaseErrorFmt(msg::SDataSetMissing, {DisplayName()});
}

TValueBuffer TField::ValueScratch() const {
  const std::size_t n = static_cast<std::size_t>(std::max(DataSize(), 0));
  // Sized once per field (grows only if the size changes): no allocation on the per-row path.
  if (FScratch.size() < n + 1) FScratch.resize(n + 1);
  return TValueBuffer(FScratch.data(), n);
}

bool TField::GetData(TValueBuffer Buffer, bool NativeFormat) const {
  if (FValidating) {
    if (FValidateBuffer.empty()) return false;
    const std::size_t n = std::min(Buffer.size(), FValidateBuffer.size());
    if (n) std::memcpy(Buffer.data(), FValidateBuffer.data(), n);
    return true;
  }
  RequireDataSet();
  return FDataSet->GetFieldData(const_cast<TField*>(this), Buffer, NativeFormat);
}

void TField::SetData(TConstValueBuffer Buffer, bool NativeFormat) {
  RequireDataSet();
  FDataSet->WriteFieldData(this, Buffer, NativeFormat);
}

void TField::Validate(TConstValueBuffer Buffer) {
  if (!OnValidate) return;
  FValidating = true;
  FValidateBuffer = Buffer;
  try {
    OnValidate(*this);
  } catch (...) {
    FValidating = false;
    FValidateBuffer = {};
    throw;
  }
  FValidating = false;
  FValidateBuffer = {};
}

bool TField::IsNull() const {
  if (FValidating) return FValidateBuffer.empty();
  return !GetData(TValueBuffer{}, true);
}

void TField::Clear() { SetData(TConstValueBuffer{}); }

void TField::FocusControl() {
  if (FDataSet) FDataSet->DispatchDataEvent(deFocusControl, reinterpret_cast<std::intptr_t>(this));
}

void TField::AssignValue(const TField& Source) { SetAsVariant(Source.AsVariant()); }

void TField::Assign(const TPersistent* Source) {
  if (!Source) {
    Clear();
    return;
  }
  if (const auto* f = dynamic_cast<const TField*>(Source)) {
    AssignValue(*f);
    return;
  }
  TComponent::Assign(Source);
}

void TField::SetAsVariant(const Variant& Value) {
  if (VarIsNothing(Value))
    Clear();
  else
    AssignVariantValue(Value);
}

Variant TField::OldValue() const {
  RequireDataSet();
  return FDataSet->GetStateFieldValue(dsOldValue, const_cast<TField*>(this));
}

Variant TField::NewValue() const {
  RequireDataSet();
  return FDataSet->GetStateFieldValue(dsNewValue, const_cast<TField*>(this));
}

void TField::SetNewValue(const Variant& Value) {
  RequireDataSet();
  FDataSet->SetStateFieldValue(dsNewValue, this, Value);
}

Variant TField::CurValue() const {
  RequireDataSet();
  return FDataSet->GetStateFieldValue(dsCurValue, const_cast<TField*>(this));
}

String TField::Text() const {
  String text;
  if (OnGetText)
    OnGetText(const_cast<TField&>(*this), text, false);
  else
    GetText(text, false);
  return text;
}

String TField::DisplayText() const {
  String text;
  if (OnGetText)
    OnGetText(const_cast<TField&>(*this), text, true);
  else
    GetText(text, true);
  return text;
}

void TField::SetText(const String& Value) {
  if (OnSetText)
    OnSetText(*this, Value);
  else
    SetTextValue(Value);
}

void TField::GetText(String& Text, bool) const { Text = GetAsString(); }
void TField::SetTextValue(const String& Value) { SetAsString(Value); }

void TField::Change() {
  if (OnChange) OnChange(*this);
}

void TField::Bind(bool) {}

void TField::AssignFromDef(const TFieldDef& Def) {
  SetFieldType(Def.DataType());
  SetSize(Def.Size());
  FRequired = Def.Required();
  if ((Def.Attributes() & faReadonly) != 0) FReadOnly = true;
  if (Def.InternalCalcField()) FFieldKind = fkInternalCalc;
}

void TField::SetDataType(TFieldType Value) { FDataType = Value; }
void TField::SetFieldType(TFieldType) {}

void TField::VerifyTypeSize(TFieldType, int ASize) {
  if (ASize != 0) DatabaseError(msg::SInvalidFieldSize, FDataSet);
}

void TField::AccessError(const char16_t* TypeName) const {
  DatabaseErrorFmt(msg::SFieldAccessError, {DisplayName(), TypeName});
}

bool TField::GetAsBoolean() const { AccessError(u"Boolean"); }
int TField::GetAsInteger() const { AccessError(u"Integer"); }
Int64 TField::GetAsLargeInt() const { AccessError(u"LargeInt"); }
Cardinal TField::GetAsLongWord() const { AccessError(u"LongWord"); }
float TField::GetAsSingle() const { return static_cast<float>(GetAsFloat()); }
double TField::GetAsFloat() const { AccessError(u"Float"); }
double TField::GetAsExtended() const { return GetAsFloat(); }
Currency TField::GetAsCurrency() const { AccessError(u"Currency"); }
TBcd TField::GetAsBCD() const { AccessError(u"BCD"); }
TDateTime TField::GetAsDateTime() const { AccessError(u"DateTime"); }
TSQLTimeStamp TField::GetAsSQLTimeStamp() const { AccessError(u"SQLTimeStamp"); }
TSQLTimeStampOffset TField::GetAsSQLTimeStampOffset() const { AccessError(u"SQLTimeStampOffset"); }
String TField::GetAsString() const { AccessError(u"String"); }
AnsiString TField::GetAsAnsiString() const { return sys::Utf16ToAnsi(GetAsString()); }
String TField::GetAsWideString() const { return GetAsString(); }
TBytes TField::GetAsBytes() const { AccessError(u"Bytes"); }
Variant TField::GetAsVariant() const { AccessError(u"Variant"); }
void TField::AssignVariantValue(const Variant&) { AccessError(u"Variant"); }

void TField::SetAsBoolean(bool) { AccessError(u"Boolean"); }
void TField::SetAsInteger(int) { AccessError(u"Integer"); }
void TField::SetAsLargeInt(Int64) { AccessError(u"LargeInt"); }
void TField::SetAsLongWord(Cardinal) { AccessError(u"LongWord"); }
void TField::SetAsSingle(float Value) { SetAsFloat(Value); }
void TField::SetAsFloat(double) { AccessError(u"Float"); }
void TField::SetAsExtended(double Value) { SetAsFloat(Value); }
void TField::SetAsCurrency(Currency) { AccessError(u"Currency"); }
void TField::SetAsBCD(const TBcd&) { AccessError(u"BCD"); }
void TField::SetAsDateTime(TDateTime) { AccessError(u"DateTime"); }
void TField::SetAsSQLTimeStamp(const TSQLTimeStamp&) { AccessError(u"SQLTimeStamp"); }
void TField::SetAsSQLTimeStampOffset(const TSQLTimeStampOffset&) { AccessError(u"SQLTimeStampOffset"); }
void TField::SetAsString(const String&) { AccessError(u"String"); }
void TField::SetAsAnsiString(const AnsiString& Value) { SetAsString(sys::AnsiToUtf16(Value)); }
void TField::SetAsWideString(const String& Value) { SetAsString(Value); }
void TField::SetAsBytes(const TBytes&) { AccessError(u"Bytes"); }

// ==== TStringField =======================================================================================

TStringField::TStringField(TComponent* AOwner) : TField(AOwner) {
  SetDataType(ftString);
  SetDefaultSize(20);
}

int TStringField::DataSize() const { return NativeDataSize(DataType(), Size()); }

void TStringField::VerifyTypeSize(TFieldType, int ASize) {
  if (ASize < 0) DatabaseError(msg::SInvalidFieldSize, DataSet());
}

bool TStringField::ReadAnsi(AnsiString& Value) const {
  TValueBuffer buf = ValueScratch();
  if (!GetData(buf)) return false;
  // A slot's text ends at its first zero or after Size bytes, whatever the engine left behind.
  const std::size_t limit = std::min<std::size_t>(static_cast<std::size_t>(Size()), buf.size());
  const auto* p = reinterpret_cast<const char*>(buf.data());
  Value.assign(p, ::strnlen(p, limit));
  return true;
}

String TStringField::GetAsString() const {
  AnsiString bytes;
  if (!ReadAnsi(bytes)) return {};
  return sys::AnsiToUtf16(bytes);
}

AnsiString TStringField::GetAsAnsiString() const {
  AnsiString bytes;
  ReadAnsi(bytes);
  return bytes;
}

void TStringField::SetAsString(const String& Value) {
  TValueBuffer buf = ValueScratch();
  const std::size_t cap = static_cast<std::size_t>(std::max(Size(), 0));
  const std::size_t n = sys::Utf16ToAnsi(Value, reinterpret_cast<char*>(buf.data()), std::min(cap, buf.size()));
  std::memset(buf.data() + n, 0, buf.size() - n);
  SetData(buf);
}

void TStringField::SetAsAnsiString(const AnsiString& Value) {
  TValueBuffer buf = ValueScratch();
  const std::size_t cap = std::min(static_cast<std::size_t>(std::max(Size(), 0)), buf.size());
  const std::size_t n = sys::CutLength(Value, cap);
  std::memcpy(buf.data(), Value.data(), n);
  std::memset(buf.data() + n, 0, buf.size() - n);
  SetData(buf);
}

void TStringField::SetAsInteger(int Value) { SetAsString(IntToStr(Value)); }
void TStringField::SetAsLargeInt(Int64 Value) { SetAsString(IntToStr(Value)); }
void TStringField::SetAsFloat(double Value) { SetAsString(FloatToStr(Value)); }
void TStringField::SetAsBoolean(bool Value) { SetAsString(Value ? u"T" : u"F"); }
void TStringField::SetAsDateTime(TDateTime Value) { SetAsString(DateTimeToStr(Value)); }
void TStringField::SetAsCurrency(Currency Value) { SetAsString(CurrToStr(Value)); }

int TStringField::GetAsInteger() const { return StrToInt(GetAsString()); }
Int64 TStringField::GetAsLargeInt() const { return StrToInt64(GetAsString()); }
double TStringField::GetAsFloat() const { return StrToFloat(GetAsString()); }
TDateTime TStringField::GetAsDateTime() const { return StrToDateTime(GetAsString()); }
Currency TStringField::GetAsCurrency() const { return StrToCurr(GetAsString()); }

bool TStringField::GetAsBoolean() const {
  const String s = GetAsString();
  return !s.empty() && (s[0] == u'T' || s[0] == u't' || s[0] == u'Y' || s[0] == u'y');
}

Variant TStringField::GetAsVariant() const {
  AnsiString bytes;
  if (!ReadAnsi(bytes)) return Null();
  return Variant(sys::AnsiToUtf16(bytes));
}

void TStringField::AssignVariantValue(const Variant& Value) { SetAsString(VarToStr(Value)); }

// ==== TWideStringField ===================================================================================

TWideStringField::TWideStringField(TComponent* AOwner) : TStringField(AOwner) { SetDataType(ftWideString); }

int TWideStringField::DataSize() const { return NativeDataSize(DataType(), Size()); }

String TWideStringField::GetAsString() const {
  TValueBuffer buf = ValueScratch();
  if (!GetData(buf)) return {};
  const std::size_t limit = std::min<std::size_t>(static_cast<std::size_t>(std::max(Size(), 0)), buf.size() / 2);
  String s;
  s.reserve(limit);
  for (std::size_t i = 0; i < limit; ++i) {
    const char16_t c = static_cast<char16_t>(buf[2 * i] | (buf[2 * i + 1] << 8));
    if (c == 0) break;
    s.push_back(c);
  }
  return s;
}

void TWideStringField::SetAsString(const String& Value) {
  TValueBuffer buf = ValueScratch();
  std::size_t n = std::min<std::size_t>(Value.size(), static_cast<std::size_t>(std::max(Size(), 0)));
  // A cut between the halves of a surrogate pair would leave half a character.
  if (n > 0 && n < Value.size() && Value[n - 1] >= 0xD800 && Value[n - 1] <= 0xDBFF) --n;
  n = std::min(n, buf.size() / 2);
  // The native form is UTF-16LE, the machine's own order.
  static_assert(std::endian::native == std::endian::little);
  if (n) std::memcpy(buf.data(), Value.data(), 2 * n);
  std::memset(buf.data() + 2 * n, 0, buf.size() - 2 * n);
  SetData(buf);
}

void TWideStringField::SetAsAnsiString(const AnsiString& Value) { SetAsString(sys::AnsiToUtf16(Value)); }

AnsiString TWideStringField::GetAsAnsiString() const { return sys::Utf16ToAnsi(GetAsString()); }

Variant TWideStringField::GetAsVariant() const {
  if (IsNull()) return Null();
  return Variant(GetAsString());
}

TGuidField::TGuidField(TComponent* AOwner) : TStringField(AOwner) {
  SetDataType(ftGuid);
  SetDefaultSize(38);
}

void TGuidField::SetSize(int Value) { TStringField::SetSize(Value == 0 ? 38 : Value); }

void TGuidField::VerifyTypeSize(TFieldType, int ASize) {
  if (ASize != 38) DatabaseError(msg::SInvalidFieldSize, DataSet());
}

// ==== numbers ============================================================================================

TNumericField::TNumericField(TComponent* AOwner) : TField(AOwner) {}

TIntegerField::TIntegerField(TComponent* AOwner) : TNumericField(AOwner) { SetDataType(ftInteger); }
TSmallintField::TSmallintField(TComponent* AOwner) : TIntegerField(AOwner) { SetDataType(ftSmallint); }
TShortintField::TShortintField(TComponent* AOwner) : TIntegerField(AOwner) { SetDataType(ftShortint); }
TByteField::TByteField(TComponent* AOwner) : TIntegerField(AOwner) { SetDataType(ftByte); }
TWordField::TWordField(TComponent* AOwner) : TIntegerField(AOwner) { SetDataType(ftWord); }
TAutoIncField::TAutoIncField(TComponent* AOwner) : TIntegerField(AOwner) { SetDataType(ftAutoInc); }

int TIntegerField::DataSize() const { return NativeDataSize(DataType(), 0); }

bool TIntegerField::ReadValue(Int64& Value) const {
  Byte buf[8] = {};
  if (!GetData(TValueBuffer(buf, static_cast<std::size_t>(DataSize())))) return false;
  switch (DataType()) {
    case ftSmallint: Value = LoadAs<std::int16_t>(buf); break;
    case ftWord: Value = LoadAs<std::uint16_t>(buf); break;
    case ftShortint: Value = LoadAs<std::int8_t>(buf); break;
    case ftByte: Value = LoadAs<std::uint8_t>(buf); break;
    default: Value = LoadAs<std::int32_t>(buf); break;
  }
  return true;
}

void TIntegerField::ValueRange(Int64& Min, Int64& Max) const {
  switch (DataType()) {
    case ftSmallint: Min = -32768; Max = 32767; break;
    case ftWord: Min = 0; Max = 65535; break;
    case ftShortint: Min = -128; Max = 127; break;
    case ftByte: Min = 0; Max = 255; break;
    default: Min = std::numeric_limits<std::int32_t>::min(); Max = std::numeric_limits<std::int32_t>::max(); break;
  }
  if (FMinValue != 0 || FMaxValue != 0) {
    Min = std::max<Int64>(Min, FMinValue);
    Max = std::min<Int64>(Max, FMaxValue);
  }
}

void TIntegerField::WriteValue(Int64 Value) {
  Int64 lo, hi;
  ValueRange(lo, hi);
  if (Value < lo || Value > hi)
    DatabaseErrorFmt(msg::SFieldRangeError, {IntToStr(Value), DisplayName(), IntToStr(lo), IntToStr(hi)});
  Byte buf[8] = {};
  switch (DataType()) {
    case ftSmallint: StoreAs(buf, static_cast<std::int16_t>(Value)); break;
    case ftWord: StoreAs(buf, static_cast<std::uint16_t>(Value)); break;
    case ftShortint: StoreAs(buf, static_cast<std::int8_t>(Value)); break;
    case ftByte: StoreAs(buf, static_cast<std::uint8_t>(Value)); break;
    default: StoreAs(buf, static_cast<std::int32_t>(Value)); break;
  }
  SetData(TConstValueBuffer(buf, static_cast<std::size_t>(DataSize())));
}

void TIntegerField::SetAsInteger(int Value) { WriteValue(Value); }
void TIntegerField::SetAsLargeInt(Int64 Value) { WriteValue(Value); }
void TIntegerField::SetAsLongWord(Cardinal Value) { WriteValue(Value); }
void TIntegerField::SetAsFloat(double Value) { WriteValue(static_cast<Int64>(std::llround(Value))); }
void TIntegerField::SetAsBoolean(bool Value) { WriteValue(Value ? 1 : 0); }
void TIntegerField::SetAsCurrency(Currency Value) { WriteValue(static_cast<Int64>(std::llround(Value.ToDouble()))); }

void TIntegerField::SetAsString(const String& Value) {
  Int64 v;
  if (ParseNumberText(*this, Value, TryStrToInt64, msg::SInvalidIntegerValue, v)) WriteValue(v);
}

int TIntegerField::GetAsInteger() const {
  Int64 v = 0;
  ReadValue(v);
  return static_cast<int>(v);
}
Int64 TIntegerField::GetAsLargeInt() const {
  Int64 v = 0;
  ReadValue(v);
  return v;
}
Cardinal TIntegerField::GetAsLongWord() const { return static_cast<Cardinal>(GetAsLargeInt()); }
double TIntegerField::GetAsFloat() const { return static_cast<double>(GetAsLargeInt()); }
Currency TIntegerField::GetAsCurrency() const { return Currency::FromInt(GetAsLargeInt()); }
bool TIntegerField::GetAsBoolean() const { return GetAsLargeInt() != 0; }

String TIntegerField::GetAsString() const {
  Int64 v;
  return ReadValue(v) ? IntToStr(v) : String();
}

void TIntegerField::GetText(String& Text, bool DisplayText) const {
  Int64 v;
  if (!ReadValue(v)) {
    Text.clear();
    return;
  }
  const String& fmt = NumberTextFormat(*this, DisplayText);
  Text = fmt.empty() ? IntToStr(v) : FormatFloat(fmt, static_cast<double>(v));
}

Variant TIntegerField::GetAsVariant() const {
  Int64 v;
  if (!ReadValue(v)) return Null();
  switch (DataType()) {
    case ftSmallint: return Variant(static_cast<short>(v));
    case ftWord: return Variant(static_cast<unsigned short>(v));
    case ftShortint: return Variant(static_cast<signed char>(v));
    case ftByte: return Variant(static_cast<unsigned char>(v));
    default: return Variant(static_cast<int>(v));
  }
}

void TIntegerField::AssignVariantValue(const Variant& Value) { WriteValue(Value.AsInt64()); }

TLongWordField::TLongWordField(TComponent* AOwner) : TNumericField(AOwner) { SetDataType(ftLongWord); }

void TLongWordField::SetAsLongWord(Cardinal Value) { SetData(BytesOf(Value)); }
void TLongWordField::SetAsLargeInt(Int64 Value) {
  if (Value < 0 || Value > 0xFFFFFFFFLL)
    DatabaseErrorFmt(msg::SFieldRangeError, {IntToStr(Value), DisplayName(), String(u"0"), String(u"4294967295")});
  SetAsLongWord(static_cast<Cardinal>(Value));
}
void TLongWordField::SetAsInteger(int Value) { SetAsLargeInt(Value); }
void TLongWordField::SetAsFloat(double Value) { SetAsLargeInt(static_cast<Int64>(std::llround(Value))); }
void TLongWordField::SetAsString(const String& Value) {
  Int64 v;
  if (ParseNumberText(*this, Value, TryStrToInt64, msg::SInvalidIntegerValue, v)) SetAsLargeInt(v);
}
Cardinal TLongWordField::GetAsLongWord() const {
  Cardinal v = 0;
  return GetData(BytesOf(v)) ? v : 0;
}
int TLongWordField::GetAsInteger() const { return static_cast<int>(GetAsLongWord()); }
Int64 TLongWordField::GetAsLargeInt() const { return GetAsLongWord(); }
double TLongWordField::GetAsFloat() const { return GetAsLongWord(); }
String TLongWordField::GetAsString() const { return IsNull() ? String() : UIntToStr(GetAsLongWord()); }
Variant TLongWordField::GetAsVariant() const { return IsNull() ? Null() : Variant(static_cast<unsigned>(GetAsLongWord())); }
void TLongWordField::AssignVariantValue(const Variant& Value) { SetAsLargeInt(Value.AsInt64()); }

TLargeintField::TLargeintField(TComponent* AOwner) : TNumericField(AOwner) { SetDataType(ftLargeint); }

void TLargeintField::SetAsLargeInt(Int64 Value) {
  if ((FMinValue != 0 || FMaxValue != 0) && (Value < FMinValue || Value > FMaxValue))
    DatabaseErrorFmt(msg::SFieldRangeError, {IntToStr(Value), DisplayName(), IntToStr(FMinValue), IntToStr(FMaxValue)});
  SetData(BytesOf(Value));
}
void TLargeintField::SetAsFloat(double Value) { SetAsLargeInt(static_cast<Int64>(std::llround(Value))); }
void TLargeintField::SetAsCurrency(Currency Value) { SetAsLargeInt(Value.Scaled / Currency::kScale); }
void TLargeintField::SetAsString(const String& Value) {
  Int64 v;
  if (ParseNumberText(*this, Value, TryStrToInt64, msg::SInvalidIntegerValue, v)) SetAsLargeInt(v);
}
Int64 TLargeintField::GetAsLargeInt() const {
  Int64 v = 0;
  return GetData(BytesOf(v)) ? v : 0;
}
int TLargeintField::GetAsInteger() const { return static_cast<int>(GetAsLargeInt()); }
double TLargeintField::GetAsFloat() const { return static_cast<double>(GetAsLargeInt()); }
Currency TLargeintField::GetAsCurrency() const { return Currency::FromInt(GetAsLargeInt()); }
String TLargeintField::GetAsString() const { return IsNull() ? String() : IntToStr(GetAsLargeInt()); }
Variant TLargeintField::GetAsVariant() const { return IsNull() ? Null() : Variant(static_cast<long long>(GetAsLargeInt())); }
void TLargeintField::AssignVariantValue(const Variant& Value) { SetAsLargeInt(Value.AsInt64()); }

// ---- Boolean --------------------------------------------------------------------------------------------

TBooleanField::TBooleanField(TComponent* AOwner) : TField(AOwner) { SetDataType(ftBoolean); }

void TBooleanField::SetAsBoolean(bool Value) {
  const std::uint16_t v = Value ? 1 : 0;
  SetData(BytesOf(v));
}

bool TBooleanField::GetAsBoolean() const {
  std::uint16_t v = 0;
  return GetData(BytesOf(v)) && v != 0;
}

void TBooleanField::SplitDisplayValues(String& TrueText, String& FalseText) const {
  const auto semi = FDisplayValues.find(u';');
  if (semi == String::npos) {
    TrueText = FDisplayValues;
    FalseText.clear();
  } else {
    TrueText = FDisplayValues.substr(0, semi);
    FalseText = FDisplayValues.substr(semi + 1);
  }
}

String TBooleanField::GetAsString() const {
  std::uint16_t v = 0;
  if (!GetData(BytesOf(v))) return {};
  String t, f;
  SplitDisplayValues(t, f);
  return v != 0 ? t : f;
}

void TBooleanField::SetAsString(const String& Value) {
  if (Value.empty()) {
    Clear();
    return;
  }
  String t, f;
  SplitDisplayValues(t, f);
  // A leading part of either text is enough ("T", "fal"), as users type it.
  auto matches = [&](const String& full) {
    return !full.empty() && Value.size() <= full.size() && AnsiSameText(Value, full.substr(0, Value.size()));
  };
  if (matches(t))
    SetAsBoolean(true);
  else if (matches(f))
    SetAsBoolean(false);
  else
    DatabaseErrorFmt(msg::SInvalidBoolValue, {Value, DisplayName()});
}

Variant TBooleanField::GetAsVariant() const { return IsNull() ? Null() : Variant(GetAsBoolean()); }
void TBooleanField::AssignVariantValue(const Variant& Value) {
  if (VarIsStr(Value))
    SetAsString(Value.AsString());
  else
    SetAsBoolean(Value.AsBoolean());
}

// ---- floating point -------------------------------------------------------------------------------------

TFloatField::TFloatField(TComponent* AOwner) : TNumericField(AOwner) { SetDataType(ftFloat); }
TCurrencyField::TCurrencyField(TComponent* AOwner) : TFloatField(AOwner) {
  SetDataType(ftCurrency);
  SetCurrency(true);
}
TSingleField::TSingleField(TComponent* AOwner) : TFloatField(AOwner) {
  SetDataType(ftSingle);
  SetPrecision(7);
}
TExtendedField::TExtendedField(TComponent* AOwner) : TFloatField(AOwner) {
  SetDataType(ftExtended);
  SetPrecision(19);
}

int TFloatField::DataSize() const { return NativeDataSize(DataType(), 0); }

bool TFloatField::ReadValue(double& Value) const {
  Byte buf[10] = {};
  if (!GetData(TValueBuffer(buf, static_cast<std::size_t>(DataSize())))) return false;
  switch (DataType()) {
    case ftSingle: Value = LoadAs<float>(buf); break;
    case ftExtended: Value = ExtendedToDouble(buf); break;
    default: Value = LoadAs<double>(buf); break;
  }
  return true;
}

void TFloatField::SetAsFloat(double Value) {
  if ((FMinValue != 0 || FMaxValue != 0) && (Value < FMinValue || Value > FMaxValue))
    DatabaseErrorFmt(msg::SFieldRangeError, {FloatToStr(Value), DisplayName(), FloatToStr(FMinValue), FloatToStr(FMaxValue)});
  Byte buf[10] = {};
  switch (DataType()) {
    case ftSingle: StoreAs(buf, static_cast<float>(Value)); break;
    case ftExtended: DoubleToExtended(Value, buf); break;
    default: StoreAs(buf, Value); break;
  }
  SetData(TConstValueBuffer(buf, static_cast<std::size_t>(DataSize())));
}

void TFloatField::SetAsCurrency(Currency Value) { SetAsFloat(Value.ToDouble()); }

void TFloatField::SetAsString(const String& Value) {
  double v;
  if (ParseNumberText(*this, Value, TryStrToFloat, msg::SInvalidFloatValue, v)) SetAsFloat(v);
}

double TFloatField::GetAsFloat() const {
  double v = 0;
  ReadValue(v);
  return v;
}
int TFloatField::GetAsInteger() const { return static_cast<int>(std::llround(GetAsFloat())); }
Int64 TFloatField::GetAsLargeInt() const { return static_cast<Int64>(std::llround(GetAsFloat())); }
Currency TFloatField::GetAsCurrency() const { return CurrencyOf(GetAsFloat()); }

String TFloatField::GetAsString() const {
  double v;
  return ReadValue(v) ? FloatToStr(v) : String();
}

void TFloatField::GetText(String& Text, bool DisplayText) const {
  double v;
  if (!ReadValue(v)) {
    Text.clear();
    return;
  }
  const String& fmt = NumberTextFormat(*this, DisplayText);
  if (!fmt.empty())
    Text = FormatFloat(fmt, v);
  else if (FCurrency && DisplayText)
    Text = FloatToStrF(v, TFloatFormat::ffCurrency, FPrecision, 2);
  else
    Text = FloatToStrF(v, TFloatFormat::ffGeneral, FPrecision, 0);
}

Variant TFloatField::GetAsVariant() const {
  double v;
  if (!ReadValue(v)) return Null();
  if (DataType() == ftCurrency) return Variant(CurrencyOf(v));
  return Variant(v);
}

Variant TSingleField::GetAsVariant() const { return IsNull() ? Null() : Variant(GetAsSingle()); }

void TFloatField::AssignVariantValue(const Variant& Value) { SetAsFloat(Value.AsDouble()); }

// ---- BCD ------------------------------------------------------------------------------------------------

TBCDField::TBCDField(TComponent* AOwner) : TNumericField(AOwner) {
  SetDataType(ftBCD);
  SetDefaultSize(4);
}

void TBCDField::VerifyTypeSize(TFieldType, int ASize) {
  if (ASize < 0 || ASize > 32) DatabaseError(msg::SInvalidFieldSize, DataSet());
}

// The typed form of ftBCD is Currency: the framework converts to and from the stored TBcd.
void TBCDField::SetAsCurrency(Currency Value) { SetData(BytesOf(Value), false); }
Currency TBCDField::GetAsCurrency() const {
  Currency c;
  return GetData(BytesOf(c), false) ? c : Currency{};
}
void TBCDField::SetAsBCD(const TBcd& Value) { SetData(BytesOf(Value)); }
TBcd TBCDField::GetAsBCD() const {
  TBcd b;
  return GetData(BytesOf(b)) ? b : NullBcd();
}
void TBCDField::SetAsFloat(double Value) { SetAsCurrency(CurrencyOf(Value)); }
void TBCDField::SetAsInteger(int Value) { SetAsCurrency(Currency::FromInt(Value)); }
void TBCDField::SetAsLargeInt(Int64 Value) { SetAsCurrency(Currency::FromInt(Value)); }
void TBCDField::SetAsString(const String& Value) {
  Currency c;
  if (ParseNumberText(*this, Value, TryStrToCurr, msg::SInvalidFloatValue, c)) SetAsCurrency(c);
}
double TBCDField::GetAsFloat() const { return GetAsCurrency().ToDouble(); }
int TBCDField::GetAsInteger() const { return static_cast<int>(GetAsCurrency().Scaled / Currency::kScale); }
Int64 TBCDField::GetAsLargeInt() const { return GetAsCurrency().Scaled / Currency::kScale; }
String TBCDField::GetAsString() const { return IsNull() ? String() : CurrToStr(GetAsCurrency()); }
Variant TBCDField::GetAsVariant() const { return IsNull() ? Null() : Variant(GetAsCurrency()); }
void TBCDField::AssignVariantValue(const Variant& Value) { SetAsCurrency(Value.AsCurrency()); }

TFMTBCDField::TFMTBCDField(TComponent* AOwner) : TNumericField(AOwner) {
  SetDataType(ftFMTBcd);
  SetDefaultSize(8);
}
void TFMTBCDField::VerifyTypeSize(TFieldType, int ASize) {
  if (ASize < 0 || ASize > 64) DatabaseError(msg::SInvalidFieldSize, DataSet());
}
void TFMTBCDField::SetAsBCD(const TBcd& Value) { SetData(BytesOf(Value)); }
TBcd TFMTBCDField::GetAsBCD() const {
  TBcd b;
  return GetData(BytesOf(b)) ? b : NullBcd();
}
void TFMTBCDField::SetAsCurrency(Currency Value) { SetAsBCD(CurrencyToBcd(Value)); }
void TFMTBCDField::SetAsFloat(double Value) { SetAsBCD(DoubleToBcd(Value)); }
void TFMTBCDField::SetAsInteger(int Value) { SetAsBCD(IntegerToBcd(Value)); }
void TFMTBCDField::SetAsLargeInt(Int64 Value) { SetAsBCD(IntegerToBcd(Value)); }
void TFMTBCDField::SetAsString(const String& Value) {
  TBcd b;
  if (ParseNumberText(*this, Value, TryStrToBcd, msg::SInvalidFloatValue, b)) SetAsBCD(b);
}
Currency TFMTBCDField::GetAsCurrency() const { return BcdToCurrency(GetAsBCD()); }
double TFMTBCDField::GetAsFloat() const { return BcdToDouble(GetAsBCD()); }
int TFMTBCDField::GetAsInteger() const { return static_cast<int>(BcdToInt64(GetAsBCD())); }
Int64 TFMTBCDField::GetAsLargeInt() const { return BcdToInt64(GetAsBCD()); }
String TFMTBCDField::GetAsString() const { return IsNull() ? String() : BcdToStr(GetAsBCD()); }
Variant TFMTBCDField::GetAsVariant() const { return IsNull() ? Null() : VarFMTBcdCreate(GetAsBCD()); }
void TFMTBCDField::AssignVariantValue(const Variant& Value) { SetAsBCD(Value.AsBcd()); }

// ==== dates and times ====================================================================================

TDateTimeField::TDateTimeField(TComponent* AOwner) : TField(AOwner) { SetDataType(ftDateTime); }
TDateField::TDateField(TComponent* AOwner) : TDateTimeField(AOwner) { SetDataType(ftDate); }
TTimeField::TTimeField(TComponent* AOwner) : TDateTimeField(AOwner) { SetDataType(ftTime); }

// The typed form is TDateTime; the framework's ConvertFieldData turns it into the native form.
void TDateTimeField::SetAsDateTime(TDateTime Value) { SetData(BytesOf(Value), false); }

TDateTime TDateTimeField::GetAsDateTime() const {
  TDateTime v = 0;
  return GetData(BytesOf(v), false) ? v : 0;
}

void TDateTimeField::SetAsSQLTimeStamp(const TSQLTimeStamp& Value) { SetAsDateTime(SQLTimeStampToDateTime(Value)); }
TSQLTimeStamp TDateTimeField::GetAsSQLTimeStamp() const { return DateTimeToSQLTimeStamp(GetAsDateTime()); }

void TDateTimeField::SetAsString(const String& Value) {
  if (Value.empty()) {
    Clear();
    return;
  }
  switch (DataType()) {
    case ftDate: SetAsDateTime(StrToDate(Value)); break;
    case ftTime: SetAsDateTime(StrToTime(Value)); break;
    default: SetAsDateTime(StrToDateTime(Value)); break;
  }
}

String TDateTimeField::GetAsString() const {
  TDateTime v = 0;
  if (!GetData(BytesOf(v), false)) return {};
  switch (DataType()) {
    case ftDate: return DateToStr(v);
    case ftTime: return TimeToStr(v);
    default: return DateTimeToStr(v);
  }
}

void TDateTimeField::GetText(String& Text, bool DisplayText) const {
  TDateTime v = 0;
  if (!GetData(BytesOf(v), false)) {
    Text.clear();
    return;
  }
  if (DisplayText && !FDisplayFormat.empty())
    Text = FormatDateTime(FDisplayFormat, v);
  else
    Text = GetAsString();
}

Variant TDateTimeField::GetAsVariant() const {
  TDateTime v = 0;
  return GetData(BytesOf(v), false) ? VarFromDateTime(v) : Null();
}

void TDateTimeField::AssignVariantValue(const Variant& Value) {
  if (VarIsStr(Value))
    SetAsString(Value.AsString());
  else
    SetAsDateTime(Value.AsDateTime());
}

TSQLTimeStampField::TSQLTimeStampField(TComponent* AOwner) : TField(AOwner) { SetDataType(ftTimeStamp); }

void TSQLTimeStampField::SetAsSQLTimeStamp(const TSQLTimeStamp& Value) { SetData(BytesOf(Value), false); }
TSQLTimeStamp TSQLTimeStampField::GetAsSQLTimeStamp() const {
  TSQLTimeStamp v;
  return GetData(BytesOf(v), false) ? v : TSQLTimeStamp{};
}
void TSQLTimeStampField::SetAsDateTime(TDateTime Value) { SetAsSQLTimeStamp(DateTimeToSQLTimeStamp(Value)); }
TDateTime TSQLTimeStampField::GetAsDateTime() const {
  if (IsNull()) return 0;
  return SQLTimeStampToDateTime(GetAsSQLTimeStamp());
}
void TSQLTimeStampField::SetAsString(const String& Value) { SetTimeStampText(*this, Value); }
String TSQLTimeStampField::GetAsString() const { return IsNull() ? String() : DateTimeToStr(GetAsDateTime()); }
void TSQLTimeStampField::GetText(String& Text, bool DisplayText) const {
  if (IsNull())
    Text.clear();
  else if (DisplayText && !FDisplayFormat.empty())
    Text = FormatDateTime(FDisplayFormat, GetAsDateTime());
  else
    Text = GetAsString();
}
Variant TSQLTimeStampField::GetAsVariant() const {
  return IsNull() ? Null() : VarSQLTimeStampCreate(GetAsSQLTimeStamp());
}
void TSQLTimeStampField::AssignVariantValue(const Variant& Value) {
  if (VarIsSQLTimeStamp(Value))
    SetAsSQLTimeStamp(Value.AsSQLTimeStamp());
  else if (VarIsStr(Value))
    SetAsString(Value.AsString());
  else
    SetAsDateTime(Value.AsDateTime());
}

TSQLTimeStampOffsetField::TSQLTimeStampOffsetField(TComponent* AOwner) : TField(AOwner) {
  SetDataType(ftTimeStampOffset);
}
void TSQLTimeStampOffsetField::SetAsSQLTimeStampOffset(const TSQLTimeStampOffset& Value) { SetData(BytesOf(Value)); }
TSQLTimeStampOffset TSQLTimeStampOffsetField::GetAsSQLTimeStampOffset() const {
  TSQLTimeStampOffset v;
  return GetData(BytesOf(v)) ? v : TSQLTimeStampOffset{};
}
void TSQLTimeStampOffsetField::SetAsSQLTimeStamp(const TSQLTimeStamp& Value) {
  SetAsSQLTimeStampOffset(SQLTimeStampToSQLTimeStampOffset(Value));
}
TSQLTimeStamp TSQLTimeStampOffsetField::GetAsSQLTimeStamp() const {
  return SQLTimeStampOffsetToSQLTimeStamp(GetAsSQLTimeStampOffset());
}
void TSQLTimeStampOffsetField::SetAsDateTime(TDateTime Value) {
  SetAsSQLTimeStampOffset(DateTimeToSQLTimeStampOffset(Value));
}
TDateTime TSQLTimeStampOffsetField::GetAsDateTime() const {
  if (IsNull()) return 0;
  return SQLTimeStampOffsetToDateTime(GetAsSQLTimeStampOffset());
}
void TSQLTimeStampOffsetField::SetAsString(const String& Value) { SetTimeStampText(*this, Value); }
String TSQLTimeStampOffsetField::GetAsString() const { return IsNull() ? String() : DateTimeToStr(GetAsDateTime()); }
Variant TSQLTimeStampOffsetField::GetAsVariant() const {
  return IsNull() ? Null() : VarSQLTimeStampOffsetCreate(GetAsSQLTimeStampOffset());
}
void TSQLTimeStampOffsetField::AssignVariantValue(const Variant& Value) {
  if (VarIsSQLTimeStampOffset(Value))
    SetAsSQLTimeStampOffset(Value.AsSQLTimeStampOffset());
  else
    SetAsDateTime(Value.AsDateTime());
}

// ==== binary =============================================================================================

TBytesField::TBytesField(TComponent* AOwner) : TField(AOwner) {
  SetDataType(ftBytes);
  SetDefaultSize(16);
}
TVarBytesField::TVarBytesField(TComponent* AOwner) : TBytesField(AOwner) { SetDataType(ftVarBytes); }

int TBytesField::DataSize() const { return NativeDataSize(DataType(), Size()); }

void TBytesField::VerifyTypeSize(TFieldType, int ASize) {
  if (ASize < 0 || ASize > 65535) DatabaseError(msg::SInvalidFieldSize, DataSet());
}

TBytes TBytesField::GetAsBytes() const {
  TValueBuffer buf = ValueScratch();
  if (!GetData(buf)) return {};
  if (DataType() == ftVarBytes) {
    const std::size_t len = std::min<std::size_t>(LoadAs<std::uint16_t>(buf.data()), buf.size() - 2);
    return TBytes(buf.data() + 2, buf.data() + 2 + len);
  }
  return TBytes(buf.begin(), buf.end());
}

void TBytesField::SetAsBytes(const TBytes& Value) {
  TValueBuffer buf = ValueScratch();
  if (DataType() == ftVarBytes) {
    const std::size_t len = std::min(Value.size(), buf.size() - 2);
    StoreAs(buf.data(), static_cast<std::uint16_t>(len));
    std::memcpy(buf.data() + 2, Value.data(), len);
    std::memset(buf.data() + 2 + len, 0, buf.size() - 2 - len);
  } else {
    const std::size_t len = std::min(Value.size(), buf.size());
    if (len) std::memcpy(buf.data(), Value.data(), len);
    std::memset(buf.data() + len, 0, buf.size() - len);
  }
  SetData(buf);
}

// Bytes travel as text one character per byte, so that a text round trip keeps every byte.
String TBytesField::GetAsString() const {
  const TBytes b = GetAsBytes();
  return LatinBytesToString(b.data(), b.size());
}

void TBytesField::SetAsString(const String& Value) {
  TBytes b(Value.size());
  for (std::size_t i = 0; i < Value.size(); ++i) b[i] = static_cast<Byte>(Value[i]);
  SetAsBytes(b);
}

Variant TBytesField::GetAsVariant() const { return IsNull() ? Null() : ByteArrayVariant(GetAsBytes()); }
void TBytesField::AssignVariantValue(const Variant& Value) { SetAsBytes(BytesOfVariant(Value)); }

// ---- blobs ----------------------------------------------------------------------------------------------

TBlobField::TBlobField(TComponent* AOwner) : TField(AOwner) { SetDataType(ftBlob); }
TMemoField::TMemoField(TComponent* AOwner) : TBlobField(AOwner) { SetDataType(ftMemo); }
TWideMemoField::TWideMemoField(TComponent* AOwner) : TBlobField(AOwner) { SetDataType(ftWideMemo); }
TGraphicField::TGraphicField(TComponent* AOwner) : TBlobField(AOwner) { SetDataType(ftGraphic); }

void TBlobField::SetBlobType(TFieldType Value) {
  if (DataSet()) DataSet()->RequireInactive();
  SetDataType(Value);
}

void TBlobField::SetFieldType(TFieldType Value) {
  // Within the blob types only, and never across the 8-bit / UTF-16 line the field's class reads by.
  if (IsBlobFieldType(Value) && IsWideStringFieldType(Value) == IsWideStringFieldType(DataType())) SetBlobType(Value);
}

void TBlobField::VerifyTypeSize(TFieldType, int ASize) {
  if (ASize < 0) DatabaseError(msg::SInvalidFieldSize, DataSet());
}

bool TBlobField::IsNull() const { return TField::IsNull(); }

TBytes TBlobField::GetAsBytes() const {
  RequireDataSet();
  auto stream = DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  TBytes out;
  if (!stream) return out;
  const Int64 size = stream->Size();
  stream->Seek(0, TSeekOrigin::soBeginning);
  out.resize(static_cast<std::size_t>(std::max<Int64>(size, 0)));
  if (!out.empty()) out.resize(static_cast<std::size_t>(stream->Read(out.data(), static_cast<Int64>(out.size()))));
  return out;
}

void TBlobField::WriteBlobBytes(const void* Data, std::size_t Count) {
  RequireDataSet();
  auto stream = DataSet()->CreateBlobStream(this, bmWrite);
  if (!stream) return;
  if (Count) stream->Write(Data, static_cast<Int64>(Count));
  // The stream stores its content into the record when it goes.
  stream.reset();
}

void TBlobField::Clear() { WriteBlobBytes(nullptr, 0); }

void TBlobField::SetAsBytes(const TBytes& Value) { WriteBlobBytes(Value.data(), Value.size()); }

String TBlobField::GetAsString() const {
  const TBytes b = GetAsBytes();
  if (IsWideStringFieldType(DataType())) {
    String s(b.size() / 2, u'\0');
    for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(b[2 * i] | (b[2 * i + 1] << 8));
    return s;
  }
  return sys::AnsiToUtf16(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
}

AnsiString TBlobField::GetAsAnsiString() const {
  if (IsWideStringFieldType(DataType())) return sys::Utf16ToAnsi(GetAsString());
  const TBytes b = GetAsBytes();
  return AnsiString(b.begin(), b.end());
}

String TBlobField::GetAsWideString() const { return GetAsString(); }

void TBlobField::SetAsString(const String& Value) {
  if (IsWideStringFieldType(DataType())) {
    // UTF-16LE, as the wide memo's stream carries it.
    thread_local std::vector<Byte> bytes;
    bytes.resize(Value.size() * 2);
    for (std::size_t i = 0; i < Value.size(); ++i) {
      bytes[2 * i] = static_cast<Byte>(Value[i] & 0xFF);
      bytes[2 * i + 1] = static_cast<Byte>(Value[i] >> 8);
    }
    WriteBlobBytes(bytes.data(), bytes.size());
  } else {
    const AnsiString a = sys::Utf16ToAnsi(Value);
    WriteBlobBytes(a.data(), a.size());
  }
}

void TBlobField::SetAsAnsiString(const AnsiString& Value) {
  if (IsWideStringFieldType(DataType()))
    SetAsString(sys::AnsiToUtf16(Value));
  else
    WriteBlobBytes(Value.data(), Value.size());
}

void TBlobField::SetAsWideString(const String& Value) { SetAsString(Value); }

int TBlobField::BlobSize() const {
  if (!DataSet()) return 0;
  auto stream = DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), bmRead);
  return stream ? static_cast<int>(stream->Size()) : 0;
}

void TBlobField::LoadFromStream(TStream& Stream) {
  const Int64 size = Stream.Size() - Stream.Position();
  TBytes b(static_cast<std::size_t>(std::max<Int64>(size, 0)));
  if (!b.empty()) b.resize(static_cast<std::size_t>(Stream.Read(b.data(), static_cast<Int64>(b.size()))));
  SetAsBytes(b);
}

void TBlobField::SaveToStream(TStream& Stream) const {
  const TBytes b = GetAsBytes();
  if (!b.empty()) Stream.WriteBuffer(b.data(), static_cast<Int64>(b.size()));
}

Variant TBlobField::GetAsVariant() const {
  if (IsNull()) return Null();
  switch (DataType()) {
    case ftMemo:
    case ftFmtMemo:
    case ftWideMemo:
    case ftOraClob:
      return Variant(GetAsString());
    default:
      return ByteArrayVariant(GetAsBytes());
  }
}

void TBlobField::AssignVariantValue(const Variant& Value) {
  if (VarIsStr(Value))
    SetAsString(Value.AsString());
  else
    SetAsBytes(BytesOfVariant(Value));
}

void TBlobField::GetText(String& Text, bool DisplayText) const {
  if (!DisplayText) {
    Text = GetAsString();
    return;
  }
  String kind;
  switch (DataType()) {
    case ftMemo: kind = u"Memo"; break;
    case ftWideMemo: kind = u"WideMemo"; break;
    case ftFmtMemo: kind = u"FmtMemo"; break;
    case ftGraphic: kind = u"Graphic"; break;
    default: kind = u"Blob"; break;
  }
  // Upper case marks a value that is present, as the platform's grids show it.
  Text = u"(" + (IsNull() ? kind : UpperCase(kind)) + u")";
}

// ==== other kinds ========================================================================================

TVariantField::TVariantField(TComponent* AOwner) : TField(AOwner) { SetDataType(ftVariant); }
void TVariantField::VerifyTypeSize(TFieldType, int) {}
Variant TVariantField::GetAsVariant() const {
  RequireDataSet();
  Variant v;
  if (!DataSet()->GetFieldValue(const_cast<TVariantField*>(this), v)) return Null();
  return v;
}
void TVariantField::AssignVariantValue(const Variant& Value) {
  RequireDataSet();
  DataSet()->WriteFieldValue(this, Value);
}
bool TVariantField::IsNull() const {
  const Variant v = GetAsVariant();
  return VarIsNothing(v);
}
void TVariantField::Clear() {
  RequireDataSet();
  DataSet()->WriteFieldValue(this, Null());
}
void TVariantField::SetAsString(const String& Value) { SetAsVariant(Variant(Value)); }
void TVariantField::SetAsInteger(int Value) { SetAsVariant(Variant(Value)); }
void TVariantField::SetAsFloat(double Value) { SetAsVariant(Variant(Value)); }
void TVariantField::SetAsBoolean(bool Value) { SetAsVariant(Variant(Value)); }
void TVariantField::SetAsDateTime(TDateTime Value) { SetAsVariant(VarFromDateTime(Value)); }
void TVariantField::SetAsLargeInt(Int64 Value) { SetAsVariant(Variant(static_cast<long long>(Value))); }
String TVariantField::GetAsString() const { return VarToStr(GetAsVariant()); }
int TVariantField::GetAsInteger() const {
  const Variant v = GetAsVariant();
  return VarIsNothing(v) ? 0 : v.AsInteger();
}
double TVariantField::GetAsFloat() const {
  const Variant v = GetAsVariant();
  return VarIsNothing(v) ? 0 : v.AsDouble();
}
bool TVariantField::GetAsBoolean() const {
  const Variant v = GetAsVariant();
  return !VarIsNothing(v) && v.AsBoolean();
}
TDateTime TVariantField::GetAsDateTime() const {
  const Variant v = GetAsVariant();
  return VarIsNothing(v) ? 0 : v.AsDateTime();
}
Int64 TVariantField::GetAsLargeInt() const {
  const Variant v = GetAsVariant();
  return VarIsNothing(v) ? 0 : v.AsInt64();
}

TInterfaceField::TInterfaceField(TComponent* AOwner) : TField(AOwner) { SetDataType(ftInterface); }
TIDispatchField::TIDispatchField(TComponent* AOwner) : TInterfaceField(AOwner) { SetDataType(ftIDispatch); }
Cardinal TInterfaceField::Handle() const {
  Cardinal h = 0;
  return GetData(BytesOf(h)) ? h : 0;
}
void TInterfaceField::SetHandle(Cardinal Value) { SetData(BytesOf(Value)); }
Variant TInterfaceField::GetAsVariant() const { return IsNull() ? Null() : Variant(static_cast<unsigned>(Handle())); }

TAggregateField::TAggregateField(TComponent* AOwner) : TField(AOwner) {
  SetDataType(ftUnknown);
  SetFieldKind(fkAggregate);
}
void TAggregateField::VerifyTypeSize(TFieldType, int) {}
Variant TAggregateField::GetAsVariant() const {
  if (!DataSet() || !FActive) return Null();
  return DataSet()->ReadAggregateValue(const_cast<TAggregateField*>(this));
}
bool TAggregateField::IsNull() const {
  const Variant v = GetAsVariant();
  return VarIsNothing(v);
}
String TAggregateField::GetAsString() const { return VarToStr(GetAsVariant()); }
double TAggregateField::GetAsFloat() const {
  const Variant v = GetAsVariant();
  return VarIsNothing(v) ? 0 : v.AsDouble();
}
int TAggregateField::GetAsInteger() const {
  const Variant v = GetAsVariant();
  return VarIsNothing(v) ? 0 : v.AsInteger();
}
Currency TAggregateField::GetAsCurrency() const {
  const Variant v = GetAsVariant();
  return VarIsNothing(v) ? Currency{} : v.AsCurrency();
}

TObjectField::TObjectField(TComponent* AOwner) : TField(AOwner) {}
TObjectField::~TObjectField() {
  for (TField* child : FChildren) child->FParentField = nullptr;
  FChildren.clear();
}
void TObjectField::VerifyTypeSize(TFieldType, int ASize) {
  if (ASize < 0) DatabaseError(msg::SInvalidFieldSize, DataSet());
}
Variant TObjectField::GetAsVariant() const {
  std::vector<Variant> values;
  values.reserve(FChildren.size());
  for (TField* child : FChildren) values.push_back(child->AsVariant());
  return VarArrayOf(values);
}
String TObjectField::GetAsString() const {
  String s = u"(";
  for (std::size_t i = 0; i < FChildren.size(); ++i) {
    if (i) s += u", ";
    s += FChildren[i]->DisplayText();
  }
  return s + u")";
}
TADTField::TADTField(TComponent* AOwner) : TObjectField(AOwner) { SetDataType(ftADT); }
TArrayField::TArrayField(TComponent* AOwner) : TObjectField(AOwner) { SetDataType(ftArray); }
TDataSetField::TDataSetField(TComponent* AOwner) : TObjectField(AOwner) { SetDataType(ftDataSet); }
TReferenceField::TReferenceField(TComponent* AOwner) : TDataSetField(AOwner) { SetDataType(ftReference); }

// ==== field classes ======================================================================================

TFieldClass DefaultFieldClass(TFieldType Type) {
  switch (Type) {
    case ftString: case ftFixedChar: return TFieldClass::Of<TStringField>();
    case ftWideString: case ftFixedWideChar: return TFieldClass::Of<TWideStringField>();
    case ftGuid: return TFieldClass::Of<TGuidField>();
    case ftSmallint: return TFieldClass::Of<TSmallintField>();
    case ftInteger: return TFieldClass::Of<TIntegerField>();
    case ftWord: return TFieldClass::Of<TWordField>();
    case ftAutoInc: return TFieldClass::Of<TAutoIncField>();
    case ftShortint: return TFieldClass::Of<TShortintField>();
    case ftByte: return TFieldClass::Of<TByteField>();
    case ftLongWord: return TFieldClass::Of<TLongWordField>();
    case ftLargeint: return TFieldClass::Of<TLargeintField>();
    case ftBoolean: return TFieldClass::Of<TBooleanField>();
    case ftFloat: return TFieldClass::Of<TFloatField>();
    case ftCurrency: return TFieldClass::Of<TCurrencyField>();
    case ftSingle: return TFieldClass::Of<TSingleField>();
    case ftExtended: return TFieldClass::Of<TExtendedField>();
    case ftBCD: return TFieldClass::Of<TBCDField>();
    case ftFMTBcd: return TFieldClass::Of<TFMTBCDField>();
    case ftDate: return TFieldClass::Of<TDateField>();
    case ftTime: return TFieldClass::Of<TTimeField>();
    case ftDateTime: return TFieldClass::Of<TDateTimeField>();
    case ftTimeStamp: case ftOraTimeStamp: return TFieldClass::Of<TSQLTimeStampField>();
    case ftTimeStampOffset: return TFieldClass::Of<TSQLTimeStampOffsetField>();
    case ftBytes: return TFieldClass::Of<TBytesField>();
    case ftVarBytes: return TFieldClass::Of<TVarBytesField>();
    case ftBlob: case ftParadoxOle: case ftDBaseOle: case ftTypedBinary: case ftOraBlob: return TFieldClass::Of<TBlobField>();
    case ftMemo: case ftFmtMemo: case ftOraClob: return TFieldClass::Of<TMemoField>();
    case ftWideMemo: return TFieldClass::Of<TWideMemoField>();
    case ftGraphic: return TFieldClass::Of<TGraphicField>();
    case ftVariant: return TFieldClass::Of<TVariantField>();
    case ftInterface: return TFieldClass::Of<TInterfaceField>();
    case ftIDispatch: return TFieldClass::Of<TIDispatchField>();
    case ftADT: return TFieldClass::Of<TADTField>();
    case ftArray: return TFieldClass::Of<TArrayField>();
    case ftDataSet: return TFieldClass::Of<TDataSetField>();
    case ftReference: return TFieldClass::Of<TReferenceField>();
    default: return {};
  }
}

// ==== TFields ============================================================================================

TFields::~TFields() { Clear(); }

TField* TFields::Fields(int Index) const {
  if (Index < 0 || Index >= Count()) throw EListError(Format(msg::SListIndexError, {Index}));
  return FList[static_cast<std::size_t>(Index)];
}

int TFields::IndexOf(const TField* Field) const {
  const auto it = std::find(FList.begin(), FList.end(), Field);
  return it == FList.end() ? -1 : static_cast<int>(it - FList.begin());
}

TField* TFields::FindField(std::u16string_view FieldName) const {
  for (TField* f : FList)
    if (AnsiSameText(f->FieldName(), FieldName)) return f;
  return nullptr;
}

TField* TFields::FieldByName(std::u16string_view FieldName) const {
  TField* f = FindField(FieldName);
  if (!f) DatabaseErrorFmt(msg::SFieldNotFound, {String(FieldName)}, FDataSet);
  return f;
}

TField* TFields::FieldByNumber(int FieldNo) const {
  for (TField* f : FList)
    if (f->FieldNo() == FieldNo) return f;
  return nullptr;
}

void TFields::Clear() {
  // Let go of the list first: each field's destructor would otherwise remove itself from it.
  std::vector<TField*> doomed;
  doomed.swap(FList);
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) {
    TField* f = *it;
    f->FDataSet = nullptr;
    delete f;
  }
}

void TFields::Add(TField* Field) { FList.push_back(Field); }

void TFields::Remove(TField* Field) {
  const auto it = std::find(FList.begin(), FList.end(), Field);
  if (it != FList.end()) FList.erase(it);
}

void TFields::SetFieldIndex(TField* Field, int Value) {
  const int cur = IndexOf(Field);
  if (cur < 0) return;
  Value = std::clamp(Value, 0, Count() - 1);
  if (Value == cur) return;
  FList.erase(FList.begin() + cur);
  FList.insert(FList.begin() + Value, Field);
  if (FDataSet) FDataSet->DispatchDataEvent(deFieldListChange, 0);
}
