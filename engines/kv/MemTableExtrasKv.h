// Services of the Kv table beyond the dataset framework: extra filters layered over the table's own
// Filter (a grid's column filters), the distinct values of a field (drop-down filters), and aggregation
// over a range of rows (footers and group summaries).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/kv/ExprEvalKv.h"
#include "engines/kv/MemTableDataKv.h"
#include "engines/kv/MemTableIntfKv.h"
#include "platform/db/DataSet.h"

class TCustomMemTableKv;
class TMemTableFiltersKv;

// One extra filter: a filter text and/or a callback. It filters while Active with either of them.
class TMemTableFilterItemKv {
 public:
  explicit TMemTableFilterItemKv(TMemTableFiltersKv* Collection);

  bool Active() const { return FActive; }
  void SetActive(bool Value);
  const String& Filter() const { return FFilter; }
  // A text that does not compile raises (when the item is active and the table open) and is not kept.
  void SetFilter(const String& Value);
  const TFilterRecordEvent& OnFilterRecord() const { return FOnFilterRecord; }
  void SetOnFilterRecord(const TFilterRecordEvent& Value);
  bool Filtered() const { return FActive && (!FFilter.empty() || FOnFilterRecord); }
  // The expression's verdict (True without one), then the callback's (it sees and may change it).
  bool IsCurRecordInFilter(TMemoryRecordKv* MemRec);
  void RecreateFilterExpr();
  // The callback's own logic changed: the table filters again.
  void FilterProcChanged();
  TMemTableFiltersKv* MemTableFilters() const { return FCollection; }

 private:
  TMemTableFiltersKv* FCollection;
  TDataSetExprParserKv FFilterExpr;
  bool FActive = false;
  String FFilter;
  TFilterRecordEvent FOnFilterRecord;
};

class TMemTableFiltersKv {
 public:
  explicit TMemTableFiltersKv(TCustomMemTableKv* AMemTable) : FMemTable(AMemTable) {}

  TCustomMemTableKv* MemTable() const { return FMemTable; }
  int Count() const { return static_cast<int>(FItems.size()); }
  TMemTableFilterItemKv* Items(int Index) const { return FItems.at(static_cast<size_t>(Index)).get(); }
  TMemTableFilterItemKv* GetFilterItem(int Index) const { return Items(Index); }
  TMemTableFilterItemKv* Add();
  int IndexOfFilter(const TMemTableFilterItemKv* Item) const;
  // Frees Item; False when it is not one of ours.
  bool Remove(TMemTableFilterItemKv* Item);
  void Clear();
  int ActiveFilterCount() const { return static_cast<int>(FActiveFilterItems.size()); }
  bool IsCurRecordInFilter(TMemoryRecordKv* MemRec);
  bool HasEventActiveFilter() const;
  // Recompiles every item (after a change of the table's fields).
  void RecreateFilterExpr();
  // An item (or, with nullptr, the whole collection) changed: the active set is rebuilt and the table
  // filters again.
  void ItemChanged(TMemTableFilterItemKv* Item);

  TNotifyEvent OnChanged;

 private:
  TCustomMemTableKv* FMemTable;
  std::vector<std::unique_ptr<TMemTableFilterItemKv>> FItems;
  std::vector<TMemTableFilterItemKv*> FActiveFilterItems;
};

// The distinct values of one field of a table data, as texts, rebuilt lazily after any change of the
// records, the field name or the filter. Text fields list their texts in the locale's order (case folded
// when the dataset filters case-insensitively); other fields list their values in value order.
class TMemTableDataFieldValueListKv : public IMemTableDataFieldValueListKv {
 public:
  explicit TMemTableDataFieldValueListKv(TDataSet* ADataSet);
  ~TMemTableDataFieldValueListKv() override;

  const String& FieldName() const { return FFieldName; }
  void SetFieldName(const String& Value);
  TComponent* DataObject() const { return FNotificator->DataObject(); }
  void SetDataObject(TComponent* Value);
  void SetFilter(const String& Filter) override;
  const std::vector<String>& Values() override;
  void SetDataObsolete() { FDataObsoleted = true; }

 private:
  void RefreshValues();
  std::vector<String> FValues;
  bool FDataObsoleted = true;
  String FFieldName;
  std::unique_ptr<TRecordsListNotificatorKv> FNotificator;
  TDataSetExprParserKv FFilterExpr;
  String FFilter;
  TDataSet* FDataSet;
};

// The distinct texts of one field of any dataset (lookup fields list their lookup dataset's result
// field), in the locale's order; read on demand by walking the dataset without moving its cursor for
// the caller (its position is restored). The filter text is not applied.
class TDataSetFieldValueListKv : public IMemTableDataFieldValueListKv {
 public:
  TDataSetFieldValueListKv(TDataSet* ADataSet, const String& AFieldName) : FDataSet(ADataSet), FFieldName(AFieldName) {}
  const std::vector<String>& Values() override;
  void SetFilter(const String& Filter) override { FFilter = Filter; }

 private:
  TDataSet* FDataSet;
  String FFieldName;
  String FFilter;
  std::vector<String> FValues;
};

// The field class of ftUnknown fields: an object reference. The stored value is a 32-bit handle into a
// process-wide table of the engine (no address is ever stored); nil is Null.
class TRefObjectField : public TField {
  VELLUM_CLASS(TRefObjectField)
 public:
  static constexpr const char16_t* kClassName = u"TRefObjectField";
  explicit TRefObjectField(TComponent* AOwner);
  // Raises "Field '%s' has no dataset" without a Kv table.
  TObject* Value() const;
  void SetValue(TObject* Value);

 protected:
  void VerifyTypeSize(TFieldType AType, int ASize) override { (void)AType, (void)ASize; }
  Variant GetAsVariant() const override;
  void AssignVariantValue(const Variant& Value) override;
};

// A calculated field whose value a tree row keeps: written on a row (while browsing, or posted with an
// edit) it stays in the row's node and is read back whenever the row is fetched, instead of being
// cleared for OnCalcFields to compute. A grid's own column (a check mark, a note per row) needs nothing
// more. Only tree rows keep values (list rows have no node); with StoreValue off the field is an
// ordinary calculated field.
class TLookupValueFieldKv : public TVariantField, public IFieldLookupValueKv {
  VELLUM_CLASS(TLookupValueFieldKv)
 public:
  static constexpr const char16_t* kClassName = u"TLookupValueFieldKv";
  explicit TLookupValueFieldKv(TComponent* AOwner) : TVariantField(AOwner) { SetFieldKind(fkCalculated); }
  bool StoresLookupValue() const override { return FStoreValue; }
  bool StoreValue() const { return FStoreValue; }
  void SetStoreValue(bool Value) { FStoreValue = Value; }

 private:
  bool FStoreValue = true;
};

// The handle of an object in the reference table (0 for nullptr; the same object keeps its handle) and
// the object of a handle (nullptr for 0 or an unknown handle).
std::int32_t KvObjectHandle(TObject* Object);
TObject* KvObjectOfHandle(std::int32_t Handle);

// Aggregation functions of GetAggregatedValuesForRange.
enum : int { afSumKv = 1, afCountKv = 2, afAvgKv = 4, afMinKv = 8, afMaxKv = 16 };
