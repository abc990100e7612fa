// Fields: one TField per column a dataset shows, one class per field type, and TFields, the list a
// dataset keeps them in.
//
// Accessors. Every typed value has a getter named after the value and a setter prefixed with Set:
//   int v = field->AsInteger();      field->SetAsInteger(42);
//   String s = field->AsString();    field->SetAsString(u"text");
// The same pairs exist for AsBoolean, AsLargeInt, AsLongWord, AsSingle, AsFloat, AsExtended (double:
// the 80-bit form lives only in native buffers), AsCurrency, AsBCD, AsDateTime, AsSQLTimeStamp,
// AsSQLTimeStampOffset, AsAnsiString (bytes of the system code page), AsWideString, AsBytes, AsVariant
// (= Value / SetValue), Text / SetText, plus DisplayText, OldValue, NewValue, CurValue, IsNull, Clear.
// A field class converts what it can and raises EDatabaseError "Cannot access field '%s' as type %s"
// otherwise. Descendants override the protected virtuals GetAsXxx / the public virtual SetAsXxx.
//
// Per-row cost: a setter converts into a scratch buffer the field keeps (sized once, at DataSize) and
// hands it to TDataSet::WriteFieldData; nothing allocates per call except what a String result needs.
//
// Ownership: a field belongs to its dataset's TFields, which frees it when the dataset destroys its
// fields (on close for automatic fields, on destruction for all). A field may also have a component
// owner (the dataset for fields an engine creates, a form for designed fields); freeing it through
// either route detaches it from the other.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/classes/Classes.h"
#include "platform/classes/Streams.h"
#include "platform/db/FieldTypes.h"
#include "platform/rtl/Bcd.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/Variant.h"

class TDataSet;
class TField;
class TFields;
class TFieldDef;
class TObjectField;

using TFieldNotifyEvent = std::function<void(TField& Sender)>;
using TFieldGetTextEvent = std::function<void(TField& Sender, String& Text, bool DisplayText)>;
using TFieldSetTextEvent = std::function<void(TField& Sender, const String& Text)>;

// A field class as the framework picks it for a type (ChooseFieldClass): a factory plus its name.
struct TFieldClass {
  TField* (*Create)(TComponent* AOwner) = nullptr;
  const char16_t* Name = nullptr;

  explicit operator bool() const { return Create != nullptr; }
  friend bool operator==(const TFieldClass& a, const TFieldClass& b) { return a.Create == b.Create; }
  template <class T>
  static TFieldClass Of() {
    return TFieldClass{[](TComponent* AOwner) -> TField* { return new T(AOwner); }, T::kClassName};
  }
};

class TField : public TComponent {
  VELLUM_CLASS(TField)
 public:
  static constexpr const char16_t* kClassName = u"TField";
  explicit TField(TComponent* AOwner);
  ~TField() override;

  // ---- identity and layout -------------------------------------------------------------------------
  TDataSet* DataSet() const { return FDataSet; }
  // Attaches the field to ADataSet's field list (detaching it from the previous one). Raises
  // "Cannot perform this operation on an open dataset" when either dataset is open, and "Duplicate
  // field name '%s'" when ADataSet already has a field of this name.
  virtual void SetDataSet(TDataSet* ADataSet);
  TObjectField* ParentField() const { return FParentField; }
  void SetParentField(TObjectField* AField);

  const String& FieldName() const { return FFieldName; }
  void SetFieldName(const String& Value);
  // The full name for child fields ("Parent.Child"), else FieldName.
  String FullName() const;
  const String& DisplayLabel() const { return FDisplayLabel.empty() ? FFieldName : FDisplayLabel; }
  void SetDisplayLabel(const String& Value) { FDisplayLabel = Value; }
  // DisplayLabel, or FieldName when none: the name error messages show.
  String DisplayName() const;
  TFieldType DataType() const { return FDataType; }
  TFieldKind FieldKind() const { return FFieldKind; }
  void SetFieldKind(TFieldKind Value);
  bool Calculated() const { return FFieldKind == fkCalculated; }
  bool Lookup() const { return FFieldKind == fkLookup; }
  // The engine's 1-based field number for data fields, 0 for calculated and lookup fields.
  int FieldNo() const { return FFieldNo; }
  void SetFieldNo(int Value) { FFieldNo = Value; }
  // Position in the dataset's field list, -1 when detached.
  int Index() const;
  void SetIndex(int Value);
  int Size() const { return FSize; }
  // Raises "Invalid field size" for a size the type does not take.
  virtual void SetSize(int Value);
  // Bytes of the native form (FieldTypes.h).
  virtual int DataSize() const;
  // Calculated and lookup fields: the position of the has-value byte in the calculated area.
  int Offset() const { return FOffset; }
  void SetOffset(int Value) { FOffset = Value; }
  virtual bool IsBlob() const { return false; }
  bool IsIndexField() const;

  bool Required() const { return FRequired; }
  void SetRequired(bool Value) { FRequired = Value; }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value);
  bool Visible() const { return FVisible; }
  void SetVisible(bool Value);
  TProviderFlags ProviderFlags() const { return FProviderFlags; }
  void SetProviderFlags(TProviderFlags Value) { FProviderFlags = Value; }
  const String& Origin() const { return FOrigin; }
  void SetOrigin(const String& Value) { FOrigin = Value; }
  const String& DefaultExpression() const { return FDefaultExpression; }
  void SetDefaultExpression(const String& Value) { FDefaultExpression = Value; }
  // An engine that builds its structure from persistent fields makes an arAutoInc field count by itself.
  TAutoRefreshFlag AutoGenerateValue() const { return FAutoGenerateValue; }
  void SetAutoGenerateValue(TAutoRefreshFlag Value) { FAutoGenerateValue = Value; }
  const String& CustomConstraint() const { return FCustomConstraint; }
  void SetCustomConstraint(const String& Value) { FCustomConstraint = Value; }
  int DisplayWidth() const;
  void SetDisplayWidth(int Value) { FDisplayWidth = Value; }
  int Alignment() const { return FAlignment; }
  void SetAlignment(int Value) { FAlignment = Value; }
  bool Transliterate() const { return FTransliterate; }
  void SetTransliterate(bool Value) { FTransliterate = Value; }
  // A field the framework or an engine created by itself (automatic) is freed when its dataset closes.
  TFieldLifeCycle LifeCycle() const { return FLifeCycle; }
  void SetLifeCycle(TFieldLifeCycle Value) { FLifeCycle = Value; }
  bool Modified() const { return FModified; }
  void SetModified(bool Value) { FModified = Value; }
  // True when the field may be written in the dataset's present state.
  bool CanModify() const;

  // ---- lookup fields -------------------------------------------------------------------------------
  TDataSet* LookupDataSet() const { return FLookupDataSet; }
  void SetLookupDataSet(TDataSet* Value);
  const String& KeyFields() const { return FKeyFields; }
  void SetKeyFields(const String& Value) { FKeyFields = Value; }
  const String& LookupKeyFields() const { return FLookupKeyFields; }
  void SetLookupKeyFields(const String& Value) { FLookupKeyFields = Value; }
  const String& LookupResultField() const { return FLookupResultField; }
  void SetLookupResultField(const String& Value) { FLookupResultField = Value; }
  bool LookupCache() const { return FLookupCache; }
  void SetLookupCache(bool Value) { FLookupCache = Value; }
  // Computes the lookup value into the dataset's calculation buffer (called by the framework).
  void CalcLookupValue();

  // ---- values --------------------------------------------------------------------------------------
  // Reads the value into Buffer (at least DataSize bytes; empty: only the null test). False for null.
  bool GetData(TValueBuffer Buffer, bool NativeFormat = true) const;
  // Writes Buffer (DataSize bytes; empty: null) through the dataset.
  void SetData(TConstValueBuffer Buffer, bool NativeFormat = true);
  // Runs OnValidate with Buffer as the field's value; engines call it before they store a value.
  virtual void Validate(TConstValueBuffer Buffer);
  virtual bool IsNull() const;
  virtual void Clear();
  void FocusControl();
  // Copies the value of another field (by its Value).
  virtual void AssignValue(const TField& Source);
  void Assign(const TPersistent* Source) override;

  bool AsBoolean() const { return GetAsBoolean(); }
  virtual void SetAsBoolean(bool Value);
  int AsInteger() const { return GetAsInteger(); }
  virtual void SetAsInteger(int Value);
  Int64 AsLargeInt() const { return GetAsLargeInt(); }
  virtual void SetAsLargeInt(Int64 Value);
  Cardinal AsLongWord() const { return GetAsLongWord(); }
  virtual void SetAsLongWord(Cardinal Value);
  float AsSingle() const { return GetAsSingle(); }
  virtual void SetAsSingle(float Value);
  double AsFloat() const { return GetAsFloat(); }
  virtual void SetAsFloat(double Value);
  double AsExtended() const { return GetAsExtended(); }
  virtual void SetAsExtended(double Value);
  Currency AsCurrency() const { return GetAsCurrency(); }
  virtual void SetAsCurrency(Currency Value);
  TBcd AsBCD() const { return GetAsBCD(); }
  virtual void SetAsBCD(const TBcd& Value);
  TDateTime AsDateTime() const { return GetAsDateTime(); }
  virtual void SetAsDateTime(TDateTime Value);
  TSQLTimeStamp AsSQLTimeStamp() const { return GetAsSQLTimeStamp(); }
  virtual void SetAsSQLTimeStamp(const TSQLTimeStamp& Value);
  TSQLTimeStampOffset AsSQLTimeStampOffset() const { return GetAsSQLTimeStampOffset(); }
  virtual void SetAsSQLTimeStampOffset(const TSQLTimeStampOffset& Value);
  String AsString() const { return GetAsString(); }
  virtual void SetAsString(const String& Value);
  AnsiString AsAnsiString() const { return GetAsAnsiString(); }
  virtual void SetAsAnsiString(const AnsiString& Value);
  String AsWideString() const { return GetAsWideString(); }
  virtual void SetAsWideString(const String& Value);
  TBytes AsBytes() const { return GetAsBytes(); }
  virtual void SetAsBytes(const TBytes& Value);
  Variant AsVariant() const { return GetAsVariant(); }
  void SetAsVariant(const Variant& Value);
  Variant Value() const { return GetAsVariant(); }
  void SetValue(const Variant& Value) { SetAsVariant(Value); }
  // The value in the dataset's old, new and current-value states.
  Variant OldValue() const;
  Variant NewValue() const;
  void SetNewValue(const Variant& Value);
  Variant CurValue() const;

  // Text for editing and for display; both go through OnGetText when assigned.
  String Text() const;
  String DisplayText() const;
  void SetText(const String& Value);

  // ---- events --------------------------------------------------------------------------------------
  TFieldNotifyEvent OnChange;
  TFieldNotifyEvent OnValidate;
  TFieldGetTextEvent OnGetText;
  TFieldSetTextEvent OnSetText;

  // Called by the dataset when the field's value changed (OnChange).
  virtual void Change();
  // Called by the dataset when it binds or unbinds its fields.
  virtual void Bind(bool Binding);
  // Called by the framework to make a field for a definition: copies type, size, required, read-only.
  virtual void AssignFromDef(const TFieldDef& Def);
  // Called when a field is made for a definition of type Value: a class that stands for several types
  // (a blob field for every binary blob type, a memo field for formatted memo) takes the definition's,
  // so the field reports the type it was made for. Others keep their own.
  virtual void SetFieldType(TFieldType Value);

 protected:
  void Notification(TComponent* AComponent, TOperation Operation) override;
  // Descendants set their type (and default size) in their constructor.
  void SetDataType(TFieldType Value);
  void SetDefaultSize(int Value) { FSize = Value; }
  // Raises "Invalid field size" when Size is not acceptable for this field class (VerifyTypeSize).
  virtual void VerifyTypeSize(TFieldType AType, int ASize);

  virtual bool GetAsBoolean() const;
  virtual int GetAsInteger() const;
  virtual Int64 GetAsLargeInt() const;
  virtual Cardinal GetAsLongWord() const;
  virtual float GetAsSingle() const;
  virtual double GetAsFloat() const;
  virtual double GetAsExtended() const;
  virtual Currency GetAsCurrency() const;
  virtual TBcd GetAsBCD() const;
  virtual TDateTime GetAsDateTime() const;
  virtual TSQLTimeStamp GetAsSQLTimeStamp() const;
  virtual TSQLTimeStampOffset GetAsSQLTimeStampOffset() const;
  virtual String GetAsString() const;
  virtual AnsiString GetAsAnsiString() const;
  virtual String GetAsWideString() const;
  virtual TBytes GetAsBytes() const;
  virtual Variant GetAsVariant() const;
  // Stores a non-null dynamic value (Null and Empty clear the field before this is reached).
  virtual void AssignVariantValue(const Variant& Value);
  virtual void GetText(String& Text, bool DisplayText) const;
  virtual void SetTextValue(const String& Value);

  // "Cannot access field '%s' as type %s".
  [[noreturn]] void AccessError(const char16_t* TypeName) const;
  // "Field '%s' has no dataset" unless the field is attached.
  void RequireDataSet() const;
  // Scratch of DataSize bytes for converting a value on its way to or from the dataset.
  TValueBuffer ValueScratch() const;

 private:
  friend class TDataSet;
  friend class TFields;
  friend class TObjectField;

  TDataSet* FDataSet = nullptr;
  TObjectField* FParentField = nullptr;
  String FFieldName;
  String FDisplayLabel;
  String FOrigin;
  String FDefaultExpression;
  String FCustomConstraint;
  String FKeyFields;
  String FLookupKeyFields;
  String FLookupResultField;
  TDataSet* FLookupDataSet = nullptr;
  TFieldType FDataType = ftUnknown;
  TFieldKind FFieldKind = fkData;
  TFieldLifeCycle FLifeCycle = lcPersistent;
  TProviderFlags FProviderFlags = pfInUpdate | pfInWhere;
  TAutoRefreshFlag FAutoGenerateValue = arNone;
  int FFieldNo = 0;
  int FSize = 0;
  int FOffset = 0;
  int FDisplayWidth = 0;
  int FAlignment = 0;
  bool FRequired = false;
  bool FReadOnly = false;
  bool FVisible = true;
  bool FLookupCache = false;
  bool FModified = false;
  bool FTransliterate = true;
  // While OnValidate runs, reads see the value being written.
  bool FValidating = false;
  TConstValueBuffer FValidateBuffer;
  mutable std::vector<Byte> FScratch;
};

// ---- text fields ---------------------------------------------------------------------------------------
class TStringField : public TField {
  VELLUM_CLASS(TStringField)
 public:
  static constexpr const char16_t* kClassName = u"TStringField";
  explicit TStringField(TComponent* AOwner);
  int DataSize() const override;
  bool FixedChar() const { return FFixedChar; }
  void SetFixedChar(bool Value) { FFixedChar = Value; }
  // Stores the text converted to the system code page and cut at Size bytes (never inside a
  // double-byte character).
  void SetAsString(const String& Value) override;
  void SetAsAnsiString(const AnsiString& Value) override;
  void SetAsInteger(int Value) override;
  void SetAsLargeInt(Int64 Value) override;
  void SetAsFloat(double Value) override;
  void SetAsBoolean(bool Value) override;
  void SetAsDateTime(TDateTime Value) override;
  void SetAsCurrency(Currency Value) override;

 protected:
  void VerifyTypeSize(TFieldType AType, int ASize) override;
  String GetAsString() const override;
  AnsiString GetAsAnsiString() const override;
  int GetAsInteger() const override;
  Int64 GetAsLargeInt() const override;
  double GetAsFloat() const override;
  bool GetAsBoolean() const override;
  TDateTime GetAsDateTime() const override;
  Currency GetAsCurrency() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;
  // The stored bytes, bounded by the slot: at most Size bytes, up to the first zero.
  bool ReadAnsi(AnsiString& Value) const;

 private:
  bool FFixedChar = false;
};

class TWideStringField : public TStringField {
  VELLUM_CLASS(TWideStringField)
 public:
  static constexpr const char16_t* kClassName = u"TWideStringField";
  explicit TWideStringField(TComponent* AOwner);
  int DataSize() const override;
  // Stores at most Size UTF-16 code units (a surrogate pair is never split).
  void SetAsString(const String& Value) override;
  void SetAsAnsiString(const AnsiString& Value) override;
  void SetAsWideString(const String& Value) override { SetAsString(Value); }

 protected:
  String GetAsString() const override;
  AnsiString GetAsAnsiString() const override;
  String GetAsWideString() const override { return GetAsString(); }
  Variant GetAsVariant() const override;
};

class TGuidField : public TStringField {
  VELLUM_CLASS(TGuidField)
 public:
  static constexpr const char16_t* kClassName = u"TGuidField";
  explicit TGuidField(TComponent* AOwner);
  // A GUID's text is always 38 characters; 0 (no size given) keeps that.
  void SetSize(int Value) override;

 protected:
  void VerifyTypeSize(TFieldType AType, int ASize) override;
};

// ---- numbers -------------------------------------------------------------------------------------------
class TNumericField : public TField {
  VELLUM_CLASS(TNumericField)
 public:
  static constexpr const char16_t* kClassName = u"TNumericField";
  explicit TNumericField(TComponent* AOwner);
  const String& DisplayFormat() const { return FDisplayFormat; }
  void SetDisplayFormat(const String& Value) { FDisplayFormat = Value; }
  const String& EditFormat() const { return FEditFormat; }
  void SetEditFormat(const String& Value) { FEditFormat = Value; }

 private:
  String FDisplayFormat;
  String FEditFormat;
};

// Integers up to 32 bits (Smallint, Integer, Word, AutoInc, Shortint, Byte): one class parameterised by
// the native width and signedness, with the range check of MinValue/MaxValue.
class TIntegerField : public TNumericField {
  VELLUM_CLASS(TIntegerField)
 public:
  static constexpr const char16_t* kClassName = u"TIntegerField";
  explicit TIntegerField(TComponent* AOwner);
  int DataSize() const override;
  // 0 and 0 mean the type's own range.
  int MinValue() const { return FMinValue; }
  void SetMinValue(int Value) { FMinValue = Value; }
  int MaxValue() const { return FMaxValue; }
  void SetMaxValue(int Value) { FMaxValue = Value; }
  void SetAsInteger(int Value) override;
  void SetAsLargeInt(Int64 Value) override;
  void SetAsFloat(double Value) override;
  void SetAsString(const String& Value) override;
  void SetAsBoolean(bool Value) override;
  void SetAsCurrency(Currency Value) override;
  void SetAsLongWord(Cardinal Value) override;

 protected:
  int GetAsInteger() const override;
  Int64 GetAsLargeInt() const override;
  Cardinal GetAsLongWord() const override;
  double GetAsFloat() const override;
  Currency GetAsCurrency() const override;
  bool GetAsBoolean() const override;
  String GetAsString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;
  void GetText(String& Text, bool DisplayText) const override;
  // Reads the stored integer (width and sign by type); False for null.
  bool ReadValue(Int64& Value) const;
  void WriteValue(Int64 Value);
  // The type's own range, narrowed by MinValue/MaxValue.
  void ValueRange(Int64& Min, Int64& Max) const;

 private:
  int FMinValue = 0;
  int FMaxValue = 0;
};

class TSmallintField : public TIntegerField {
  VELLUM_CLASS(TSmallintField)
 public:
  static constexpr const char16_t* kClassName = u"TSmallintField";
  explicit TSmallintField(TComponent* AOwner);
};
class TShortintField : public TIntegerField {
  VELLUM_CLASS(TShortintField)
 public:
  static constexpr const char16_t* kClassName = u"TShortintField";
  explicit TShortintField(TComponent* AOwner);
};
class TByteField : public TIntegerField {
  VELLUM_CLASS(TByteField)
 public:
  static constexpr const char16_t* kClassName = u"TByteField";
  explicit TByteField(TComponent* AOwner);
};
class TWordField : public TIntegerField {
  VELLUM_CLASS(TWordField)
 public:
  static constexpr const char16_t* kClassName = u"TWordField";
  explicit TWordField(TComponent* AOwner);
};
class TAutoIncField : public TIntegerField {
  VELLUM_CLASS(TAutoIncField)
 public:
  static constexpr const char16_t* kClassName = u"TAutoIncField";
  explicit TAutoIncField(TComponent* AOwner);
};

class TLongWordField : public TNumericField {
  VELLUM_CLASS(TLongWordField)
 public:
  static constexpr const char16_t* kClassName = u"TLongWordField";
  explicit TLongWordField(TComponent* AOwner);
  void SetAsLongWord(Cardinal Value) override;
  void SetAsInteger(int Value) override;
  void SetAsLargeInt(Int64 Value) override;
  void SetAsFloat(double Value) override;
  void SetAsString(const String& Value) override;

 protected:
  Cardinal GetAsLongWord() const override;
  int GetAsInteger() const override;
  Int64 GetAsLargeInt() const override;
  double GetAsFloat() const override;
  String GetAsString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;
};

class TLargeintField : public TNumericField {
  VELLUM_CLASS(TLargeintField)
 public:
  static constexpr const char16_t* kClassName = u"TLargeintField";
  explicit TLargeintField(TComponent* AOwner);
  // 0 and 0 mean the whole 64-bit range.
  Int64 MinValue() const { return FMinValue; }
  void SetMinValue(Int64 Value) { FMinValue = Value; }
  Int64 MaxValue() const { return FMaxValue; }
  void SetMaxValue(Int64 Value) { FMaxValue = Value; }
  void SetAsLargeInt(Int64 Value) override;
  void SetAsInteger(int Value) override { SetAsLargeInt(Value); }
  void SetAsFloat(double Value) override;
  void SetAsString(const String& Value) override;
  void SetAsCurrency(Currency Value) override;

 protected:
  Int64 GetAsLargeInt() const override;
  int GetAsInteger() const override;
  double GetAsFloat() const override;
  Currency GetAsCurrency() const override;
  String GetAsString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;

 private:
  Int64 FMinValue = 0;
  Int64 FMaxValue = 0;
};

class TBooleanField : public TField {
  VELLUM_CLASS(TBooleanField)
 public:
  static constexpr const char16_t* kClassName = u"TBooleanField";
  explicit TBooleanField(TComponent* AOwner);
  // "True;False" by default: the texts AsString gives and SetAsString accepts (case-insensitive).
  const String& DisplayValues() const { return FDisplayValues; }
  void SetDisplayValues(const String& Value) { FDisplayValues = Value; }
  void SetAsBoolean(bool Value) override;
  void SetAsInteger(int Value) override { SetAsBoolean(Value != 0); }
  void SetAsString(const String& Value) override;

 protected:
  bool GetAsBoolean() const override;
  int GetAsInteger() const override { return GetAsBoolean() ? 1 : 0; }
  String GetAsString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;

 private:
  void SplitDisplayValues(String& TrueText, String& FalseText) const;
  String FDisplayValues = u"True;False";
};

// Floating point: ftFloat and ftCurrency (double), ftSingle (float), ftExtended (10 bytes).
class TFloatField : public TNumericField {
  VELLUM_CLASS(TFloatField)
 public:
  static constexpr const char16_t* kClassName = u"TFloatField";
  explicit TFloatField(TComponent* AOwner);
  int DataSize() const override;
  bool IsCurrency() const { return FCurrency; }
  void SetCurrency(bool Value) { FCurrency = Value; }
  int Precision() const { return FPrecision; }
  void SetPrecision(int Value) { FPrecision = Value; }
  double MinValue() const { return FMinValue; }
  void SetMinValue(double Value) { FMinValue = Value; }
  double MaxValue() const { return FMaxValue; }
  void SetMaxValue(double Value) { FMaxValue = Value; }
  void SetAsFloat(double Value) override;
  void SetAsSingle(float Value) override { SetAsFloat(Value); }
  void SetAsExtended(double Value) override { SetAsFloat(Value); }
  void SetAsInteger(int Value) override { SetAsFloat(Value); }
  void SetAsLargeInt(Int64 Value) override { SetAsFloat(static_cast<double>(Value)); }
  void SetAsCurrency(Currency Value) override;
  void SetAsString(const String& Value) override;

 protected:
  double GetAsFloat() const override;
  float GetAsSingle() const override { return static_cast<float>(GetAsFloat()); }
  double GetAsExtended() const override { return GetAsFloat(); }
  int GetAsInteger() const override;
  Int64 GetAsLargeInt() const override;
  Currency GetAsCurrency() const override;
  String GetAsString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;
  void GetText(String& Text, bool DisplayText) const override;
  bool ReadValue(double& Value) const;

 private:
  bool FCurrency = false;
  int FPrecision = 15;
  double FMinValue = 0;
  double FMaxValue = 0;
};

class TCurrencyField : public TFloatField {
  VELLUM_CLASS(TCurrencyField)
 public:
  static constexpr const char16_t* kClassName = u"TCurrencyField";
  explicit TCurrencyField(TComponent* AOwner);
};
class TSingleField : public TFloatField {
  VELLUM_CLASS(TSingleField)
 public:
  static constexpr const char16_t* kClassName = u"TSingleField";
  explicit TSingleField(TComponent* AOwner);

 protected:
  Variant GetAsVariant() const override;
};
class TExtendedField : public TFloatField {
  VELLUM_CLASS(TExtendedField)
 public:
  static constexpr const char16_t* kClassName = u"TExtendedField";
  explicit TExtendedField(TComponent* AOwner);
};

// ftBCD: native TBcd, typed access as Currency (Size = decimal places).
class TBCDField : public TNumericField {
  VELLUM_CLASS(TBCDField)
 public:
  static constexpr const char16_t* kClassName = u"TBCDField";
  explicit TBCDField(TComponent* AOwner);
  int Precision() const { return FPrecision; }
  void SetPrecision(int Value) { FPrecision = Value; }
  void SetAsCurrency(Currency Value) override;
  void SetAsBCD(const TBcd& Value) override;
  void SetAsFloat(double Value) override;
  void SetAsInteger(int Value) override;
  void SetAsLargeInt(Int64 Value) override;
  void SetAsString(const String& Value) override;

 protected:
  void VerifyTypeSize(TFieldType AType, int ASize) override;
  Currency GetAsCurrency() const override;
  TBcd GetAsBCD() const override;
  double GetAsFloat() const override;
  int GetAsInteger() const override;
  Int64 GetAsLargeInt() const override;
  String GetAsString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;

 private:
  int FPrecision = 0;
};

class TFMTBCDField : public TNumericField {
  VELLUM_CLASS(TFMTBCDField)
 public:
  static constexpr const char16_t* kClassName = u"TFMTBCDField";
  explicit TFMTBCDField(TComponent* AOwner);
  int Precision() const { return FPrecision; }
  void SetPrecision(int Value) { FPrecision = Value; }
  void SetAsBCD(const TBcd& Value) override;
  void SetAsCurrency(Currency Value) override;
  void SetAsFloat(double Value) override;
  void SetAsInteger(int Value) override;
  void SetAsLargeInt(Int64 Value) override;
  void SetAsString(const String& Value) override;

 protected:
  void VerifyTypeSize(TFieldType AType, int ASize) override;
  TBcd GetAsBCD() const override;
  Currency GetAsCurrency() const override;
  double GetAsFloat() const override;
  int GetAsInteger() const override;
  Int64 GetAsLargeInt() const override;
  String GetAsString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;

 private:
  int FPrecision = 0;
};

// ---- dates and times -----------------------------------------------------------------------------------
// ftDate, ftTime and ftDateTime share one class: the native form differs, the typed access is TDateTime.
class TDateTimeField : public TField {
  VELLUM_CLASS(TDateTimeField)
 public:
  static constexpr const char16_t* kClassName = u"TDateTimeField";
  explicit TDateTimeField(TComponent* AOwner);
  const String& DisplayFormat() const { return FDisplayFormat; }
  void SetDisplayFormat(const String& Value) { FDisplayFormat = Value; }
  void SetAsDateTime(TDateTime Value) override;
  void SetAsFloat(double Value) override { SetAsDateTime(Value); }
  void SetAsSQLTimeStamp(const TSQLTimeStamp& Value) override;
  void SetAsString(const String& Value) override;

 protected:
  TDateTime GetAsDateTime() const override;
  double GetAsFloat() const override { return GetAsDateTime(); }
  TSQLTimeStamp GetAsSQLTimeStamp() const override;
  String GetAsString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;
  void GetText(String& Text, bool DisplayText) const override;

 private:
  String FDisplayFormat;
};

class TDateField : public TDateTimeField {
  VELLUM_CLASS(TDateField)
 public:
  static constexpr const char16_t* kClassName = u"TDateField";
  explicit TDateField(TComponent* AOwner);
};
class TTimeField : public TDateTimeField {
  VELLUM_CLASS(TTimeField)
 public:
  static constexpr const char16_t* kClassName = u"TTimeField";
  explicit TTimeField(TComponent* AOwner);
};

class TSQLTimeStampField : public TField {
  VELLUM_CLASS(TSQLTimeStampField)
 public:
  static constexpr const char16_t* kClassName = u"TSQLTimeStampField";
  explicit TSQLTimeStampField(TComponent* AOwner);
  const String& DisplayFormat() const { return FDisplayFormat; }
  void SetDisplayFormat(const String& Value) { FDisplayFormat = Value; }
  void SetAsSQLTimeStamp(const TSQLTimeStamp& Value) override;
  void SetAsDateTime(TDateTime Value) override;
  void SetAsString(const String& Value) override;

 protected:
  TSQLTimeStamp GetAsSQLTimeStamp() const override;
  TDateTime GetAsDateTime() const override;
  double GetAsFloat() const override { return GetAsDateTime(); }
  String GetAsString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;
  void GetText(String& Text, bool DisplayText) const override;

 private:
  String FDisplayFormat;
};

class TSQLTimeStampOffsetField : public TField {
  VELLUM_CLASS(TSQLTimeStampOffsetField)
 public:
  static constexpr const char16_t* kClassName = u"TSQLTimeStampOffsetField";
  explicit TSQLTimeStampOffsetField(TComponent* AOwner);
  void SetAsSQLTimeStampOffset(const TSQLTimeStampOffset& Value) override;
  void SetAsSQLTimeStamp(const TSQLTimeStamp& Value) override;
  void SetAsDateTime(TDateTime Value) override;
  void SetAsString(const String& Value) override;

 protected:
  TSQLTimeStampOffset GetAsSQLTimeStampOffset() const override;
  TSQLTimeStamp GetAsSQLTimeStamp() const override;
  TDateTime GetAsDateTime() const override;
  String GetAsString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;
};

// ---- binary --------------------------------------------------------------------------------------------
// ftBytes (Size bytes) and ftVarBytes (uint16 length + Size bytes).
class TBytesField : public TField {
  VELLUM_CLASS(TBytesField)
 public:
  static constexpr const char16_t* kClassName = u"TBytesField";
  explicit TBytesField(TComponent* AOwner);
  int DataSize() const override;
  void SetAsBytes(const TBytes& Value) override;
  void SetAsString(const String& Value) override;

 protected:
  void VerifyTypeSize(TFieldType AType, int ASize) override;
  TBytes GetAsBytes() const override;
  String GetAsString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;
};
class TVarBytesField : public TBytesField {
  VELLUM_CLASS(TVarBytesField)
 public:
  static constexpr const char16_t* kClassName = u"TVarBytesField";
  explicit TVarBytesField(TComponent* AOwner);
};

// Blobs: values only through the dataset's blob stream.
class TBlobField : public TField {
  VELLUM_CLASS(TBlobField)
 public:
  static constexpr const char16_t* kClassName = u"TBlobField";
  explicit TBlobField(TComponent* AOwner);
  bool IsBlob() const override { return true; }
  int DataSize() const override { return 0; }
  TFieldType BlobType() const { return DataType(); }
  void SetBlobType(TFieldType Value);
  void SetFieldType(TFieldType Value) override;
  int BlobSize() const;
  void LoadFromStream(TStream& Stream);
  void SaveToStream(TStream& Stream) const;
  bool IsNull() const override;
  void Clear() override;
  void SetAsBytes(const TBytes& Value) override;
  void SetAsString(const String& Value) override;
  void SetAsAnsiString(const AnsiString& Value) override;
  void SetAsWideString(const String& Value) override;

 protected:
  void VerifyTypeSize(TFieldType AType, int ASize) override;
  TBytes GetAsBytes() const override;
  String GetAsString() const override;
  AnsiString GetAsAnsiString() const override;
  String GetAsWideString() const override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;
  void GetText(String& Text, bool DisplayText) const override;
  void WriteBlobBytes(const void* Data, std::size_t Count);
};
class TMemoField : public TBlobField {
  VELLUM_CLASS(TMemoField)
 public:
  static constexpr const char16_t* kClassName = u"TMemoField";
  explicit TMemoField(TComponent* AOwner);
};
class TWideMemoField : public TBlobField {
  VELLUM_CLASS(TWideMemoField)
 public:
  static constexpr const char16_t* kClassName = u"TWideMemoField";
  explicit TWideMemoField(TComponent* AOwner);
};
class TGraphicField : public TBlobField {
  VELLUM_CLASS(TGraphicField)
 public:
  static constexpr const char16_t* kClassName = u"TGraphicField";
  explicit TGraphicField(TComponent* AOwner);
};

// ---- other kinds ---------------------------------------------------------------------------------------
// ftVariant: the value travels as a Variant through TDataSet::GetFieldValue / WriteFieldValue.
class TVariantField : public TField {
  VELLUM_CLASS(TVariantField)
 public:
  static constexpr const char16_t* kClassName = u"TVariantField";
  explicit TVariantField(TComponent* AOwner);
  int DataSize() const override { return 0; }
  bool IsNull() const override;
  void Clear() override;
  void SetAsString(const String& Value) override;
  void SetAsInteger(int Value) override;
  void SetAsFloat(double Value) override;
  void SetAsBoolean(bool Value) override;
  void SetAsDateTime(TDateTime Value) override;
  void SetAsLargeInt(Int64 Value) override;

 protected:
  void VerifyTypeSize(TFieldType AType, int ASize) override;
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;
  String GetAsString() const override;
  int GetAsInteger() const override;
  double GetAsFloat() const override;
  bool GetAsBoolean() const override;
  TDateTime GetAsDateTime() const override;
  Int64 GetAsLargeInt() const override;
};

// ftInterface / ftIDispatch: a 32-bit handle the engine resolves; the framework only moves it.
class TInterfaceField : public TField {
  VELLUM_CLASS(TInterfaceField)
 public:
  static constexpr const char16_t* kClassName = u"TInterfaceField";
  explicit TInterfaceField(TComponent* AOwner);
  Cardinal Handle() const;
  void SetHandle(Cardinal Value);

 protected:
  Variant GetAsVariant() const override;
};
class TIDispatchField : public TInterfaceField {
  VELLUM_CLASS(TIDispatchField)
 public:
  static constexpr const char16_t* kClassName = u"TIDispatchField";
  explicit TIDispatchField(TComponent* AOwner);
};

// An aggregate over the dataset's rows; the engine computes it (ReadAggregateValue).
class TAggregateField : public TField {
  VELLUM_CLASS(TAggregateField)
 public:
  static constexpr const char16_t* kClassName = u"TAggregateField";
  explicit TAggregateField(TComponent* AOwner);
  const String& Expression() const { return FExpression; }
  void SetExpression(const String& Value) { FExpression = Value; }
  bool Active() const { return FActive; }
  void SetActive(bool Value) { FActive = Value; }
  int GroupingLevel() const { return FGroupingLevel; }
  void SetGroupingLevel(int Value) { FGroupingLevel = Value; }
  const String& IndexName() const { return FIndexName; }
  void SetIndexName(const String& Value) { FIndexName = Value; }
  TFieldType ResultType() const { return FResultType; }
  void SetResultType(TFieldType Value) { FResultType = Value; }
  int DataSize() const override { return 0; }
  bool IsNull() const override;

 protected:
  void VerifyTypeSize(TFieldType AType, int ASize) override;
  Variant GetAsVariant() const override;
  String GetAsString() const override;
  double GetAsFloat() const override;
  int GetAsInteger() const override;
  Currency GetAsCurrency() const override;

 private:
  String FExpression;
  String FIndexName;
  TFieldType FResultType = ftUnknown;
  int FGroupingLevel = 0;
  bool FActive = false;
};

// ---- object fields (minimal): a parent whose children are fields of the same dataset ----------------
class TObjectField : public TField {
  VELLUM_CLASS(TObjectField)
 public:
  static constexpr const char16_t* kClassName = u"TObjectField";
  explicit TObjectField(TComponent* AOwner);
  ~TObjectField() override;
  int DataSize() const override { return 0; }
  // The child fields (not owned here: the dataset's field list owns every field).
  const std::vector<TField*>& ChildFields() const { return FChildren; }
  int FieldCount() const { return static_cast<int>(FChildren.size()); }
  const String& ObjectType() const { return FObjectType; }
  void SetObjectType(const String& Value) { FObjectType = Value; }

 protected:
  void VerifyTypeSize(TFieldType AType, int ASize) override;
  Variant GetAsVariant() const override;
  String GetAsString() const override;

 private:
  friend class TField;
  std::vector<TField*> FChildren;
  String FObjectType;
};
class TADTField : public TObjectField {
  VELLUM_CLASS(TADTField)
 public:
  static constexpr const char16_t* kClassName = u"TADTField";
  explicit TADTField(TComponent* AOwner);
};
class TArrayField : public TObjectField {
  VELLUM_CLASS(TArrayField)
 public:
  static constexpr const char16_t* kClassName = u"TArrayField";
  explicit TArrayField(TComponent* AOwner);
};
class TDataSetField : public TObjectField {
  VELLUM_CLASS(TDataSetField)
 public:
  static constexpr const char16_t* kClassName = u"TDataSetField";
  explicit TDataSetField(TComponent* AOwner);
  // The nested dataset shown by this field (borrowed).
  TDataSet* NestedDataSet() const { return FNestedDataSet; }
  void SetNestedDataSet(TDataSet* Value) { FNestedDataSet = Value; }

 private:
  TDataSet* FNestedDataSet = nullptr;
};
class TReferenceField : public TDataSetField {
  VELLUM_CLASS(TReferenceField)
 public:
  static constexpr const char16_t* kClassName = u"TReferenceField";
  explicit TReferenceField(TComponent* AOwner);
};

// The framework's field class for each type; an empty class for types that have none (ftCursor, ...).
TFieldClass DefaultFieldClass(TFieldType Type);

// ---- the field list ------------------------------------------------------------------------------------
// The dataset's fields in order. It owns them: Clear frees every field it holds.
class TFields {
 public:
  explicit TFields(TDataSet* ADataSet) : FDataSet(ADataSet) {}
  TFields(const TFields&) = delete;
  TFields& operator=(const TFields&) = delete;
  ~TFields();

  TDataSet* DataSet() const { return FDataSet; }
  int Count() const { return static_cast<int>(FList.size()); }
  // Raises "List index out of bounds (%d)".
  TField* Fields(int Index) const;
  TField* operator[](int Index) const { return Fields(Index); }
  auto begin() const { return FList.begin(); }
  auto end() const { return FList.end(); }
  int IndexOf(const TField* Field) const;
  // Case-insensitive; nullptr when none.
  TField* FindField(std::u16string_view FieldName) const;
  // Raises "Field '%s' not found" with the dataset as component.
  TField* FieldByName(std::u16string_view FieldName) const;
  TField* FieldByNumber(int FieldNo) const;
  // Frees every field.
  void Clear();

  // Used by TField::SetDataSet: the list does not free a field it only lets go of.
  void Add(TField* Field);
  void Remove(TField* Field);
  void SetFieldIndex(TField* Field, int Value);

 private:
  TDataSet* FDataSet;
  std::vector<TField*> FList;
};
