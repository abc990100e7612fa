// Key indexes of the Kv memory table. A TMTIndexKv keeps one entry per record of its records list,
// ordered by the record's key (the values of its Fields, one value, or an array for several names
// separated by ";"), by the Kv value comparison (Nulls first). The records list tells its indexes of
// every change before its listeners, so a unique or primary index refuses a duplicate key before the
// store changes:
//   "Unique key violation \r\n FieldNames: <Fields>\r\n Value: "<key text>""  (EDatabaseError)
// Keys of different shapes (an array against a single value) raise
//   "TMTIndexKv.FindKeyValueIndex: values is not comparable."
//
// Entries point at their records, not at positions: an entry's RecIndex is its record's current
// position (O(log n) in the counted records list), so adding or removing a record in the middle renumbers
// nothing. The entries live in an order-statistics tree (equal keys ordered by record serial): search,
// insert, remove and entry position all cost O(log n). A free-standing index (CreateApart) is never
// told of changes; its owner rebuilds it.
#pragma once

#include <ext/pb_ds/assoc_container.hpp>
#include <ext/pb_ds/tree_policy.hpp>

#include <unordered_map>
#include <vector>

#include "engines/kv/RecordsListKv.h"
#include "platform/classes/Collections.h"

class TMTIndexesKv;

struct TIndexItemKv {
  Variant Value;
  TMemoryRecordKv* Rec = nullptr;
  // The record's position in the records list.
  int RecIndex() const { return Rec ? Rec->Index() : -1; }
};

class TMTIndexKv : public TCollectionItem {
  VELLUM_CLASS(TMTIndexKv)
 public:
  explicit TMTIndexKv(TCollection* Collection);
  // An index outside any collection, over ARecordsList.
  static std::unique_ptr<TMTIndexKv> CreateApart(TRecordsListKv* ARecordsList);
  ~TMTIndexKv() override;

  bool Active() const { return FActive; }
  void SetActive(bool Value);
  const String& Fields() const { return FFields; }
  void SetFields(const String& Value);
  bool Primary() const { return FPrimary; }
  void SetPrimary(bool Value);
  bool Unical() const { return FUnical; }
  void SetUnical(bool Value);
  TRecordsListKv* RecordsList() const;

  void ClearIndex();
  void RebuildIndex();
  int Count() const { return static_cast<int>(FEntries.size()); }
  // Entry Index in key order (a copy).
  TIndexItemKv GetItems(int Index) const;
  Variant GetKeyValue(int Index) const { return GetItems(Index).Value; }
  // Binary search: Index gets the position of an equal entry, or where Value would go.
  bool FindKeyValueIndex(const Variant& Value, int& Index) const;
  // As FindKeyValueIndex, but Index gets the found record's position in the records list.
  bool FindRecordIndexByKey(const Variant& Value, int& Index) const;
  // The record of an entry with key Value, nullptr when none.
  TMemoryRecordKv* FindRecordByKey(const Variant& Value) const;
  // Appends the records of every entry whose key equals Value.
  void FillMatchedRecsList(const Variant& Value, std::vector<TMemoryRecordKv*>& List) const;
  // Kept for callers that track moves; positions are the records' own, so nothing needs renumbering.
  virtual void RecordMoved(TMemoryRecordKv* Rec, int OldIndex, int NewIndex);
  void RecordsListChanged(TMemoryRecordKv* Rec, int Index, TRecordsListNotification Event);

  // Made by the dataset from its index definitions (replaced when those are applied again).
  bool FromIndexDefs = false;

  // The key of a record in the given version (one value, or an array for several fields).
  Variant RecordKey(const TMemoryRecordKv* Rec, TDataValueVersionKv Version) const;

 private:
  struct TKey {
    Variant Value;
    int Serial;
    TMemoryRecordKv* Rec;
  };
  struct TKeyLess {
    bool operator()(const TKey& A, const TKey& B) const;
  };
  using TTree = __gnu_pbds::tree<TKey, __gnu_pbds::null_type, TKeyLess, __gnu_pbds::rb_tree_tag,
                                 __gnu_pbds::tree_order_statistics_node_update>;

  void Rebuild();
  void Insert(TMemoryRecordKv* Rec, Variant Key);
  void Remove(TMemoryRecordKv* Rec);
  [[noreturn]] void UniqueViolation(const Variant& Key) const;
  // The first entry not less than Value (by key only).
  TTree::const_iterator LowerBound(const Variant& Value, int& Position) const;
  bool Unique() const { return FUnical || FPrimary; }

  bool FActive = false;
  String FFields;
  Variant FOldValue;
  bool FPrimary = false;
  bool FUnical = false;
  TRecordsListKv* FRecordsList = nullptr;
  std::vector<int> FFieldIndexes;
  TTree FEntries;
  // Each record's current entry key, to find its entry again.
  std::unordered_map<const TMemoryRecordKv*, Variant> FKeyOf;
};

class TMTIndexesKv : public TCollection {
  VELLUM_CLASS(TMTIndexesKv)
 public:
  explicit TMTIndexesKv(TRecordsListKv* ARecList);
  TMTIndexKv* Add() { return static_cast<TMTIndexKv*>(TCollection::Add()); }
  TMTIndexKv* GetItem(int Index) const { return static_cast<TMTIndexKv*>(Items(Index)); }
  TRecordsListKv* RecList() const { return FRecList; }
  // The indexes go with their table when its records are replaced by loaded ones; the new list's
  // list-changed notification then rebuilds them.
  void Rebind(TRecordsListKv* ARecList);
  // The first index whose Fields equal FieldNames (ASCII case folding), nullptr when none.
  TMTIndexKv* GetIndexForFields(std::u16string_view FieldNames) const;
  void RecordsListChanged(TMemoryRecordKv* Rec, int Index, TRecordsListNotification Event);
  virtual void RecordMoved(TMemoryRecordKv* Rec, int OldIndex, int NewIndex);

 private:
  TRecordsListKv* FRecList;
};
