// The structure of a Kv memory table: TMTDataStructKv holds the ordered field descriptors of one table
// data (MemTableDataKv.h); every stored record holds one Variant per descriptor, in the same order.
// A descriptor (TMTDataFieldKv or one of its nine typed descendants) names the field, fixes its field
// type, the Variant kind a record keeps for it (VarDataType), its size and display attributes.
//
// Descriptors are components owned by their structure, so component streaming writes them as child
// objects of "DataStruct" with their published attributes; each class's PropList lists them in writing
// order with the rules of the save format (a default means "written only when different").
#pragma once

#include <functional>
#include <vector>

#include "platform/classes/Classes.h"
#include "platform/classes/ComponentStreaming.h"
#include "platform/classes/Properties.h"
#include "platform/db/DB.h"
#include "platform/rtl/Variant.h"

class TMemTableDataKv;
class TMTDataStructKv;

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

enum TMTStringDataTypeKv { fdtStringKv, fdtFixedCharKv, fdtWideStringKv, fdtGuidKv, fdtFixedWideCharKv, fdtOraIntervalKv };
enum TMTNumericDataTypeKv {
  fdtSmallintKv, fdtIntegerKv, fdtWordKv, fdtFloatKv, fdtCurrencyKv, fdtBCDKv, fdtAutoIncKv,
  fdtLargeintKv, fdtFMTBcdKv, fdtLongWordKv, fdtShortintKv, fdtByteKv, fdtExtendedKv, fdtSingleKv
};
enum TMTDateTimeDataTypeKv { fdtDateKv, fdtTimeKv, fdtDateTimeKv };
enum TMTInterfaceDataTypeKv { fdtInterfaceKv, fdtIDispatchKv };
enum TMTVariantDataTypeKv { fdtVariant, fdtBytes, fdtVarBytes };
enum TMTSQLTimeStampDataTypeKv { fdtTimeStampKv, fdtOraTimeStampKv, fdtTimeStampOffsetKv };

// The Variant kind a record keeps for a field of Type (varArray | varByte for byte arrays).
TVarType KvVarTypeOfFieldType(TFieldType Type);
inline constexpr TVarType kVarByteArray = varArray | varByte;

class TMTDataFieldKv : public TComponent {
  VELLUM_CLASS(TMTDataFieldKv)
 public:
  explicit TMTDataFieldKv(TComponent* AOwner);

  TMTDataStructKv* DataStruct() const { return FDataStruct; }
  void SetDataStruct(TMTDataStructKv* Value);
  virtual TFieldType DataType() const { return ftUnknown; }
  // Position in the structure; -1 outside one.
  int Index() const;

  const String& FieldName() const { return FFieldName; }
  void SetFieldName(const String& Value);
  TAlignment Alignment() const { return FAlignment; }
  void SetAlignment(TAlignment Value) { Change(FAlignment, Value); }
  bool AutoIncrement() const { return FAutoIncrement; }
  void SetAutoIncrement(bool Value) { Change(FAutoIncrement, Value); }
  bool Calculated() const { return FCalculated; }
  void SetCalculated(bool Value) { Change(FCalculated, Value); }
  const String& DefaultExpression() const { return FDefaultExpression; }
  void SetDefaultExpression(const String& Value) { Change(FDefaultExpression, Value); }
  const String& DisplayLabel() const { return FDisplayLabel; }
  void SetDisplayLabel(const String& Value) { Change(FDisplayLabel, Value); }
  int StoredDisplayWidth() const { return FDisplayWidth; }
  int DisplayWidth() const { return FDisplayWidth > 0 ? FDisplayWidth : GetDefaultWidth(); }
  void SetDisplayWidth(int Value) { Change(FDisplayWidth, Value); }
  const String& EditMask() const { return FEditMask; }
  void SetEditMask(const String& Value) { Change(FEditMask, Value); }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value) { Change(FReadOnly, Value); }
  bool Required() const { return FRequired; }
  void SetRequired(bool Value) { Change(FRequired, Value); }
  bool Visible() const { return FVisible; }
  void SetVisible(bool Value) { Change(FVisible, Value); }
  int Size() const { return FSize; }
  // Raises "Invalid field size" on a kind that takes no size.
  virtual void SetSize(int Value);
  const String& GUID() const { return FGUID; }
  Int64 FieldId() const { return FFieldId; }
  void SetFieldId(Int64 Value) { FFieldId = Value; }
  // The cached Variant kind a record stores for this field.
  TVarType VarDataType() const { return FVarDataType; }

  virtual bool CanDinaSize() const { return false; }
  virtual TVarType GetVarDataType() const { return KvVarTypeOfFieldType(DataType()); }
  virtual int GetDefaultWidth() const { return 10; }
  // Raises "Can not assign DataType from Field" for a type the class does not hold.
  virtual void AssignDataType(TFieldType FieldType);
  // Copies the attributes of another descriptor (same class for the class's own attributes).
  void Assign(const TPersistent* Source) override;
  // Takes the attributes of a platform field (each class adds those of its own kind of field), and
  // writes them back onto one. Attributes the descriptor holds at their defaults are not written back,
  // so a field keeps its own defaults (a numeric field stays right-aligned).
  virtual void AssignProps(const TField* Field);
  virtual void AssignPropsTo(TField* Field) const;

  // One value in the save format, and back (the value table of the format; SaveFormatKv.cpp).
  void WriteDataToWriter(const Variant& Value, TWriter* Writer) const;
  void ReadDataFromReader(Variant& Value, TReader* Reader) const;

  const TPropList& PropList() const override;
  TComponent* GetParentComponent() const override;
  bool HasParent() const override { return true; }
  void ReadState(TReader* Reader) override;

 protected:
  template <class T>
  void Change(T& Field, const T& Value) {
    if (Field == Value) return;
    Field = Value;
    Changed();
  }
  void Changed();
  void RefreshVarDataType() { FVarDataType = GetVarDataType(); }
  void MakeComponentName();
  friend class TMTDataStructKv;

  TAlignment FAlignment = taLeftJustify;
  bool FAutoIncrement = false;
  TMTDataStructKv* FDataStruct = nullptr;
  String FDefaultExpression;
  String FDisplayLabel;
  int FDisplayWidth = 0;
  String FEditMask;
  Int64 FFieldId = 0;
  String FFieldName;
  String FGUID;
  bool FReadOnly = false;
  bool FRequired = false;
  int FSize = 0;
  bool FVisible = true;
  bool FCalculated = false;
  TVarType FVarDataType = varError;
};

class TMTStringDataFieldKv : public TMTDataFieldKv {
  VELLUM_CLASS(TMTStringDataFieldKv)
 public:
  explicit TMTStringDataFieldKv(TComponent* AOwner);
  TFieldType DataType() const override;
  TMTStringDataTypeKv StringDataType() const { return FStringDataType; }
  void SetStringDataType(TMTStringDataTypeKv Value);
  bool FixedChar() const { return FFixedChar; }
  void SetFixedChar(bool Value) { Change(FFixedChar, Value); }
  bool Transliterate() const { return FTransliterate; }
  void SetTransliterate(bool Value) { Change(FTransliterate, Value); }
  bool CanDinaSize() const override { return true; }
  int GetDefaultWidth() const override { return FSize < 100 ? FSize : 100; }
  void AssignDataType(TFieldType FieldType) override;
  void Assign(const TPersistent* Source) override;
  void AssignProps(const TField* Field) override;
  void AssignPropsTo(TField* Field) const override;
  const TPropList& PropList() const override;

 private:
  bool FFixedChar = false;
  bool FTransliterate = false;
  TMTStringDataTypeKv FStringDataType = fdtStringKv;
};

class TMTNumericDataFieldKv : public TMTDataFieldKv {
  VELLUM_CLASS(TMTNumericDataFieldKv)
 public:
  explicit TMTNumericDataFieldKv(TComponent* AOwner);
  TFieldType DataType() const override;
  TMTNumericDataTypeKv NumericDataType() const { return FNumericDataType; }
  void SetNumericDataType(TMTNumericDataTypeKv Value);
  const String& DisplayFormat() const { return FDisplayFormat; }
  void SetDisplayFormat(const String& Value) { Change(FDisplayFormat, Value); }
  const String& EditFormat() const { return FEditFormat; }
  void SetEditFormat(const String& Value) { Change(FEditFormat, Value); }
  bool IsCurrency() const { return FCurrency; }
  void SetCurrency(bool Value) { Change(FCurrency, Value); }
  double MaxValue() const { return FMaxValue; }
  void SetMaxValue(double Value) { Change(FMaxValue, Value); }
  double MinValue() const { return FMinValue; }
  void SetMinValue(double Value) { Change(FMinValue, Value); }
  int Precision() const { return FPrecision; }
  void SetPrecision(int Value) { Change(FPrecision, Value); }
  // Scale is Size for the sized kinds (BCD, FMT BCD).
  int Scale() const { return FSize; }
  void SetScale(int Value) { SetSize(Value); }
  bool CanDinaSize() const override { return FNumericDataType == fdtBCDKv || FNumericDataType == fdtFMTBcdKv; }
  int GetDefaultWidth() const override;
  void AssignDataType(TFieldType FieldType) override;
  void Assign(const TPersistent* Source) override;
  void AssignProps(const TField* Field) override;
  void AssignPropsTo(TField* Field) const override;
  const TPropList& PropList() const override;

 private:
  String FDisplayFormat;
  String FEditFormat;
  bool FCurrency = false;
  double FMaxValue = 0;
  double FMinValue = 0;
  int FPrecision = 15;
  TMTNumericDataTypeKv FNumericDataType = fdtIntegerKv;
};

class TMTDateTimeDataFieldKv : public TMTDataFieldKv {
  VELLUM_CLASS(TMTDateTimeDataFieldKv)
 public:
  explicit TMTDateTimeDataFieldKv(TComponent* AOwner);
  TFieldType DataType() const override;
  TMTDateTimeDataTypeKv DateTimeDataType() const { return FDateTimeDataType; }
  void SetDateTimeDataType(TMTDateTimeDataTypeKv Value);
  const String& DisplayFormat() const { return FDisplayFormat; }
  void SetDisplayFormat(const String& Value) { Change(FDisplayFormat, Value); }
  int GetDefaultWidth() const override { return 18; }
  void AssignDataType(TFieldType FieldType) override;
  void Assign(const TPersistent* Source) override;
  void AssignProps(const TField* Field) override;
  void AssignPropsTo(TField* Field) const override;
  const TPropList& PropList() const override;

 private:
  String FDisplayFormat;
  TMTDateTimeDataTypeKv FDateTimeDataType = fdtDateTimeKv;
};

class TMTBlobDataFieldKv : public TMTDataFieldKv {
  VELLUM_CLASS(TMTBlobDataFieldKv)
 public:
  explicit TMTBlobDataFieldKv(TComponent* AOwner);
  TFieldType DataType() const override { return FBlobType; }
  TFieldType BlobType() const { return FBlobType; }
  void SetBlobType(TFieldType Value);
  bool GraphicHeader() const { return FGraphicHeader; }
  void SetGraphicHeader(bool Value) { Change(FGraphicHeader, Value); }
  bool Transliterate() const { return FTransliterate; }
  void SetTransliterate(bool Value) { Change(FTransliterate, Value); }
  void AssignDataType(TFieldType FieldType) override;
  void Assign(const TPersistent* Source) override;
  void AssignProps(const TField* Field) override;
  void AssignPropsTo(TField* Field) const override;
  const TPropList& PropList() const override;

 private:
  bool FGraphicHeader = true;
  bool FTransliterate = false;
  TFieldType FBlobType = ftBlob;
};

class TMTBooleanDataFieldKv : public TMTDataFieldKv {
  VELLUM_CLASS(TMTBooleanDataFieldKv)
 public:
  explicit TMTBooleanDataFieldKv(TComponent* AOwner);
  TFieldType DataType() const override { return ftBoolean; }
  const String& DisplayValues() const { return FDisplayValues; }
  void SetDisplayValues(const String& Value) { Change(FDisplayValues, Value); }
  int GetDefaultWidth() const override { return 5; }
  void AssignDataType(TFieldType FieldType) override;
  void Assign(const TPersistent* Source) override;
  void AssignProps(const TField* Field) override;
  void AssignPropsTo(TField* Field) const override;
  const TPropList& PropList() const override;

 private:
  String FDisplayValues;
};

class TMTInterfaceDataFieldKv : public TMTDataFieldKv {
  VELLUM_CLASS(TMTInterfaceDataFieldKv)
 public:
  explicit TMTInterfaceDataFieldKv(TComponent* AOwner);
  TFieldType DataType() const override { return FInterfaceDataType == fdtIDispatchKv ? ftIDispatch : ftInterface; }
  TMTInterfaceDataTypeKv InterfaceDataType() const { return FInterfaceDataType; }
  void SetInterfaceDataType(TMTInterfaceDataTypeKv Value) { Change(FInterfaceDataType, Value); }
  void AssignDataType(TFieldType FieldType) override;
  const TPropList& PropList() const override;

 private:
  TMTInterfaceDataTypeKv FInterfaceDataType = fdtInterfaceKv;
};

class TMTVariantDataFieldKv : public TMTDataFieldKv {
  VELLUM_CLASS(TMTVariantDataFieldKv)
 public:
  explicit TMTVariantDataFieldKv(TComponent* AOwner);
  TFieldType DataType() const override;
  TMTVariantDataTypeKv VariantDataType() const { return FVariantDataType; }
  void SetVariantDataType(TMTVariantDataTypeKv Value);
  bool CanDinaSize() const override { return FVariantDataType != fdtVariant; }
  int GetDefaultWidth() const override { return 15; }
  void AssignDataType(TFieldType FieldType) override;
  const TPropList& PropList() const override;

 private:
  TMTVariantDataTypeKv FVariantDataType = fdtVariant;
};

class TMTRefObjectFieldKv : public TMTDataFieldKv {
  VELLUM_CLASS(TMTRefObjectFieldKv)
 public:
  explicit TMTRefObjectFieldKv(TComponent* AOwner);
  TFieldType DataType() const override { return ftUnknown; }
  TVarType GetVarDataType() const override { return varInteger; }
  bool CanDinaSize() const override { return true; }
  void AssignDataType(TFieldType FieldType) override;
  const TPropList& PropList() const override;
};

class TMTSQLTimeStampDataFieldKv : public TMTDataFieldKv {
  VELLUM_CLASS(TMTSQLTimeStampDataFieldKv)
 public:
  explicit TMTSQLTimeStampDataFieldKv(TComponent* AOwner);
  TFieldType DataType() const override;
  TMTSQLTimeStampDataTypeKv SQLTimeStampDataFieldType() const { return FKind; }
  void SetSQLTimeStampDataFieldType(TMTSQLTimeStampDataTypeKv Value) {
    FKind = Value;
    RefreshVarDataType();
  }
  const String& DisplayFormat() const { return FDisplayFormat; }
  void SetDisplayFormat(const String& Value) { Change(FDisplayFormat, Value); }
  int GetDefaultWidth() const override { return 18; }
  void AssignDataType(TFieldType FieldType) override;
  void Assign(const TPersistent* Source) override;
  void AssignProps(const TField* Field) override;
  void AssignPropsTo(TField* Field) const override;
  const TPropList& PropList() const override;

 private:
  String FDisplayFormat;
  TMTSQLTimeStampDataTypeKv FKind = fdtTimeStampKv;
};

using TMTDataFieldClassKv = const TMetaClass*;
// The descriptor class for a field type; nullptr for types no descriptor holds.
const TMetaClass* DataFieldClassOf(TFieldType Type);

class TMTDataStructKv : public TComponent {
  VELLUM_CLASS(TMTDataStructKv)
 public:
  explicit TMTDataStructKv(TComponent* AOwner);
  ~TMTDataStructKv() override;

  int Count() const { return static_cast<int>(FList.size()); }
  TMTDataFieldKv* DataFields(int Index) const { return FList.at(static_cast<size_t>(Index)); }
  TMemTableDataKv* MemTableData() const { return FMemTableData; }
  void SetMemTableData(TMemTableDataKv* Value) { FMemTableData = Value; }
  std::function<void(TObject*)> OnStructChanged;

  TMTDataFieldKv* CreateField(const TMetaClass& FieldClass);
  void InsertField(TMTDataFieldKv* Field);
  void RemoveField(TMTDataFieldKv* Field);
  void Clear();
  int IndexOf(const TMTDataFieldKv* Field) const;
  void MoveField(TMTDataFieldKv* Field, int NewIndex);

  // Locale case-insensitive; nullptr when absent.
  TMTDataFieldKv* FindField(std::u16string_view FieldName) const;
  TMTDataFieldKv* FindFieldByGIUD(std::u16string_view GUID) const;
  // ASCII case-insensitive; -1 when absent.
  int FieldIndex(std::u16string_view FieldName) const;
  // Raises "Field '%s' not found".
  TMTDataFieldKv* FieldByName(std::u16string_view FieldName) const;
  void GetFieldList(std::vector<TMTDataFieldKv*>* List, std::u16string_view FieldNames) const;
  std::vector<int> FieldsIndex(std::u16string_view FieldNames) const;
  // Raises "Field name missing" / "Duplicate field name '%s'".
  void CheckFieldName(const String& FieldName) const;

  // Builds the descriptors from definitions (the table data's DestroyTable runs first when attached).
  void BuildStructFromFieldDefs(const TFieldDefs& FieldDefs);
  TMTDataFieldKv* BuildDataFieldForFieldDef(const TFieldDef& FieldDef);
  void BuildFieldDefsFromStruct(TFieldDefs& FieldDefs) const;
  // Builds the descriptors from persistent fields: the data and internal-calc ones, in order (the table
  // data's DestroyTable runs first when attached). The dataset-features registry's entry for the fields'
  // dataset class builds a descriptor when there is one; otherwise BuildAndCopyDataFieldForField.
  void BuildStructFromFields(const TFields& Fields);
  TMTDataFieldKv* BuildDataFieldForField(TField* Field);
  // A descriptor of the class for the field's type, named after it, with its attributes.
  TMTDataFieldKv* BuildAndCopyDataFieldForField(TField* Field);
  // Copies another structure's descriptors (records are not converted here).
  void Assign(const TPersistent* Source) override;

  void BeginUpdate() { ++FUpdateCount; }
  void EndUpdate(bool AStructChanged);
  bool Updating() const { return FUpdateCount > 0; }
  void StructChanged();
  bool StructChangedFlag() const { return FStructChanged; }

  void GetChildren(const TGetChildProc& Proc, TComponent* Root) override;
  TComponent* GetChildOwner() override { return this; }

 private:
  std::vector<TMTDataFieldKv*> FList;  // owned as components; the structure frees them itself
  TMemTableDataKv* FMemTableData = nullptr;
  Int64 FNextFieldId = 0;
  bool FStructChanged = false;
  int FUpdateCount = 0;
};
