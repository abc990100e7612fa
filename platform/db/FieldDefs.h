// Definitions: the description of a dataset's columns (TFieldDefs), of its indexes (TIndexDefs) and the
// parameters of a command (TParams). Definitions own their items (and a field definition its child
// definitions); a dataset owns its definition lists.
#pragma once

#include <memory>
#include <vector>

#include "platform/classes/Classes.h"
#include "platform/db/Fields.h"
#include "platform/db/FieldTypes.h"
#include "platform/rtl/Variant.h"

class TDataSet;
class TFieldDefs;

// Attributes of a field definition (bit set).
enum TFieldAttribute : unsigned {
  faHiddenCol = 1u << 0,
  faReadonly = 1u << 1,
  faRequired = 1u << 2,
  faLink = 1u << 3,
  faUnNamed = 1u << 4,
  faFixed = 1u << 5,
};
using TFieldAttributes = unsigned;

class TFieldDef : public TPersistent {
  VELLUM_CLASS(TFieldDef)
 public:
  TFieldDef(TFieldDefs* AOwner, const String& AName, TFieldType ADataType, int ASize, bool ARequired,
            int AFieldNo);
  ~TFieldDef() override;

  TFieldDefs* Collection() const { return FOwner; }
  TDataSet* DataSet() const;
  int Index() const;
  const String& Name() const { return FName; }
  // Raises "Duplicate field name '%s'" when a sibling has the name, "Field name missing" for empty.
  void SetName(const String& Value);
  String DisplayName() const { return FName; }
  TFieldType DataType() const { return FDataType; }
  void SetDataType(TFieldType Value);
  int Size() const { return FSize; }
  void SetSize(int Value);
  int Precision() const { return FPrecision; }
  void SetPrecision(int Value) { FPrecision = Value; }
  int FieldNo() const { return FFieldNo; }
  void SetFieldNo(int Value) { FFieldNo = Value; }
  TFieldAttributes Attributes() const { return FAttributes; }
  void SetAttributes(TFieldAttributes Value) { FAttributes = Value; }
  bool Required() const { return (FAttributes & faRequired) != 0; }
  void SetRequired(bool Value);
  bool Hidden() const { return (FAttributes & faHiddenCol) != 0; }
  bool InternalCalcField() const { return FInternalCalcField; }
  void SetInternalCalcField(bool Value) { FInternalCalcField = Value; }
  // The field class the dataset would make for this definition (its ChooseFieldClass).
  TFieldClass FieldClass() const;

  // Child definitions (object types); made on first use.
  TFieldDefs& ChildDefs();
  bool HasChildDefs() const;
  TFieldDef* ParentDef() const;
  // Adds a child definition.
  TFieldDef* AddChild();

  // Makes the field for this definition, attached to the definitions' dataset (and to ParentField
  // when given), with Owner as component owner. Children are made too when CreateChildren is set.
  TField* CreateField(TComponent* Owner, TObjectField* ParentField = nullptr, const String& FieldName = {},
                      bool CreateChildren = true);
  void Assign(const TPersistent* Source) override;

 private:
  TFieldDefs* FOwner;
  String FName;
  TFieldType FDataType;
  int FSize;
  int FPrecision = 0;
  int FFieldNo;
  TFieldAttributes FAttributes = 0;
  bool FInternalCalcField = false;
  std::unique_ptr<TFieldDefs> FChildDefs;
};

class TFieldDefs : public TPersistent {
  VELLUM_CLASS(TFieldDefs)
 public:
  // ADataSet: the dataset the definitions describe; AParentDef: the definition whose children these are.
  explicit TFieldDefs(TDataSet* ADataSet, TFieldDef* AParentDef = nullptr);
  ~TFieldDefs() override;

  TDataSet* DataSet() const { return FDataSet; }
  TFieldDef* ParentDef() const { return FParentDef; }
  int Count() const { return static_cast<int>(FItems.size()); }
  TFieldDef* Items(int Index) const;
  TFieldDef* operator[](int Index) const { return Items(Index); }
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }

  // Adds a definition; raises "Field name missing" for an empty name and "Duplicate field name '%s'"
  // for a name already present (case-insensitive), with the dataset as component.
  TFieldDef* Add(const String& Name, TFieldType DataType, int Size = 0, bool Required = false);
  // Adds an unnamed definition (the caller names it).
  TFieldDef* AddFieldDef();
  // Case-insensitive; -1 / nullptr when none.
  int IndexOf(std::u16string_view Name) const;
  TFieldDef* FindDef(std::u16string_view Name) const;
  // Raises "Field '%s' not found".
  TFieldDef* Find(std::u16string_view Name) const;
  void Delete(int Index);
  void Clear();
  void Assign(const TPersistent* Source) override;

  // True while the definitions match the dataset (the dataset's RefreshFieldDefs clears it first).
  bool Updated() const { return FUpdated; }
  void SetUpdated(bool Value) { FUpdated = Value; }
  // Reads the definitions from the dataset (its CursorReadFieldDefs) unless Updated.
  void Update();
  bool HiddenFields() const { return FHiddenFields; }
  void SetHiddenFields(bool Value) { FHiddenFields = Value; }

  // Told of every change (the dataset's DefinitionsChanged).
  void Changed();

 private:
  friend class TFieldDef;
  TDataSet* FDataSet;
  TFieldDef* FParentDef;
  std::vector<std::unique_ptr<TFieldDef>> FItems;
  bool FUpdated = false;
  bool FHiddenFields = false;
};

// The flat view of nested definitions (see TDataSet::FieldDefList).
class TFieldDefList {
 public:
  struct Entry {
    String Name;  // full name: "Parent.Child", "Array[0]"
    TFieldDef* Def;
  };
  int Count() const { return static_cast<int>(FItems.size()); }
  const Entry& Items(int Index) const { return FItems.at(static_cast<std::size_t>(Index)); }
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }
  // Case-insensitive; nullptr when none.
  TFieldDef* Find(std::u16string_view FullName) const;
  void Clear() { FItems.clear(); }
  void Add(const String& FullName, TFieldDef* Def) { FItems.push_back({FullName, Def}); }
  // Rebuilds the list from Defs: every definition under its full name; an array definition adds one
  // entry per element (Name[i]); an unnamed object's children go without a prefix.
  void Build(TFieldDefs& Defs);

 private:
  void AddLevel(TFieldDefs& Defs, const String& Prefix);
  std::vector<Entry> FItems;
};

// How a dataset combines persistent and automatic fields.
enum TFieldsAutoCreationMode { acExclusive, acCombineComputed, acCombineAlways };
struct TFieldOptions {
  TFieldsAutoCreationMode AutoCreateMode = acExclusive;
};

// ---- indexes -------------------------------------------------------------------------------------------
enum TIndexOption : unsigned {
  ixPrimary = 1u << 0,
  ixUnique = 1u << 1,
  ixDescending = 1u << 2,
  ixCaseInsensitive = 1u << 3,
  ixExpression = 1u << 4,
  ixNonMaintained = 1u << 5,
};
using TIndexOptions = unsigned;

class TIndexDefs;

class TIndexDef : public TPersistent {
  VELLUM_CLASS(TIndexDef)
 public:
  TIndexDef(TIndexDefs* AOwner, const String& AName, const String& AFields, TIndexOptions AOptions);

  TIndexDefs* Collection() const { return FOwner; }
  int Index() const;
  const String& Name() const { return FName; }
  void SetName(const String& Value) { FName = Value; }
  // ";"-separated field names.
  const String& Fields() const { return FFields; }
  void SetFields(const String& Value) { FFields = Value; }
  TIndexOptions Options() const { return FOptions; }
  void SetOptions(TIndexOptions Value) { FOptions = Value; }
  const String& DescFields() const { return FDescFields; }
  void SetDescFields(const String& Value) { FDescFields = Value; }
  const String& CaseInsFields() const { return FCaseInsFields; }
  void SetCaseInsFields(const String& Value) { FCaseInsFields = Value; }
  const String& Expression() const { return FExpression; }
  void SetExpression(const String& Value) { FExpression = Value; }
  const String& Source() const { return FSource; }
  void SetSource(const String& Value) { FSource = Value; }
  int GroupingLevel() const { return FGroupingLevel; }
  void SetGroupingLevel(int Value) { FGroupingLevel = Value; }
  void Assign(const TPersistent* Source) override;

 private:
  TIndexDefs* FOwner;
  String FName;
  String FFields;
  TIndexOptions FOptions;
  String FDescFields;
  String FCaseInsFields;
  String FExpression;
  String FSource;
  int FGroupingLevel = 0;
};

class TIndexDefs : public TPersistent {
  VELLUM_CLASS(TIndexDefs)
 public:
  explicit TIndexDefs(TDataSet* ADataSet);
  ~TIndexDefs() override;

  TDataSet* DataSet() const { return FDataSet; }
  int Count() const { return static_cast<int>(FItems.size()); }
  TIndexDef* Items(int Index) const;
  TIndexDef* operator[](int Index) const { return Items(Index); }
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }
  TIndexDef* Add(const String& Name, const String& Fields, TIndexOptions Options);
  TIndexDef* AddIndexDef();
  int IndexOf(std::u16string_view Name) const;
  TIndexDef* FindIndexDef(std::u16string_view Name) const;
  // Raises "Index '%s' not found".
  TIndexDef* Find(std::u16string_view Name) const;
  // The first index whose leading fields are Fields (";"-separated), case-insensitive; nullptr when
  // none. CaseInsensitive asks for an index with ixCaseInsensitive.
  TIndexDef* GetIndexForFields(std::u16string_view Fields, bool CaseInsensitive) const;
  // Raises "No index for fields '%s'" when GetIndexForFields finds none.
  TIndexDef* FindIndexForFields(std::u16string_view Fields) const;
  void Delete(int Index);
  void Clear();
  void Assign(const TPersistent* Source) override;
  bool Updated() const { return FUpdated; }
  void SetUpdated(bool Value) { FUpdated = Value; }
  // Asks the dataset to refresh the definitions (its RefreshIndexDefs) unless Updated.
  void Update();

 private:
  TDataSet* FDataSet;
  std::vector<std::unique_ptr<TIndexDef>> FItems;
  bool FUpdated = false;
};

// ---- parameters ----------------------------------------------------------------------------------------
enum TParamType { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

class TParams;

class TParam : public TPersistent {
  VELLUM_CLASS(TParam)
 public:
  TParam(TParams* AOwner, const String& AName = {}, TParamType AParamType = ptUnknown);

  TParams* Collection() const { return FOwner; }
  int Index() const;
  const String& Name() const { return FName; }
  void SetName(const String& Value) { FName = Value; }
  TParamType ParamType() const { return FParamType; }
  void SetParamType(TParamType Value) { FParamType = Value; }
  TFieldType DataType() const { return FDataType; }
  void SetDataType(TFieldType Value);
  int Size() const { return FSize; }
  void SetSize(int Value) { FSize = Value; }
  int Precision() const { return FPrecision; }
  void SetPrecision(int Value) { FPrecision = Value; }
  int NumericScale() const { return FNumericScale; }
  void SetNumericScale(int Value) { FNumericScale = Value; }
  bool Bound() const { return FBound; }
  void SetBound(bool Value) { FBound = Value; }

  const Variant& Value() const { return FValue; }
  // Sets the value; an unknown data type is taken from the value's kind.
  void SetValue(const Variant& Value);
  bool IsNull() const { return VarIsClear(FValue) || VarIsNull(FValue); }
  void Clear();
  int AsInteger() const;
  void SetAsInteger(int Value);
  Int64 AsLargeInt() const;
  void SetAsLargeInt(Int64 Value);
  double AsFloat() const;
  void SetAsFloat(double Value);
  Currency AsCurrency() const;
  void SetAsCurrency(Currency Value);
  bool AsBoolean() const;
  void SetAsBoolean(bool Value);
  TDateTime AsDateTime() const;
  void SetAsDateTime(TDateTime Value);
  String AsString() const;
  void SetAsString(const String& Value);
  // Takes name, type, size and value from a field.
  void AssignField(const TField& Field);
  // Writes the value into a field (Null clears it).
  void AssignToField(TField& Field) const;
  void Assign(const TPersistent* Source) override;

 private:
  TParams* FOwner;
  String FName;
  TParamType FParamType;
  TFieldType FDataType = ftUnknown;
  int FSize = 0;
  int FPrecision = 0;
  int FNumericScale = 0;
  bool FBound = false;
  Variant FValue;
};

class TParams : public TPersistent {
  VELLUM_CLASS(TParams)
 public:
  TParams() = default;
  ~TParams() override;
  int Count() const { return static_cast<int>(FItems.size()); }
  TParam* Items(int Index) const;
  TParam* operator[](int Index) const { return Items(Index); }
  auto begin() const { return FItems.begin(); }
  auto end() const { return FItems.end(); }
  TParam* AddParam();
  TParam* CreateParam(TFieldType FldType, const String& ParamName, TParamType ParamType);
  TParam* FindParam(std::u16string_view Name) const;
  // Raises "Parameter '%s' not found".
  TParam* ParamByName(std::u16string_view Name) const;
  void Delete(int Index);
  void Clear();
  void Assign(const TPersistent* Source) override;
  // Values of the named parameters (";"-separated): one value, or an array for several names.
  Variant ParamValues(std::u16string_view Names) const;
  void SetParamValues(std::u16string_view Names, const Variant& Values);

 private:
  std::vector<std::unique_ptr<TParam>> FItems;
};
