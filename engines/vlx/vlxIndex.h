// Indexes of the vlx table. A TvlxIndex is a list of the store's records (vlxCommon.h) kept in key
// order (mtitSorted) or in insertion order (the row-order index "__MT__ROWORDER_"), optionally limited
// by a key range, an update-status set and filters. TvlxIndexes is a table's named collection with the
// cross-index operations: search with automatic indexes, the uniqueness check before a write, and
// reflecting an insert, edit or delete into every index.
//
// Rows are held in a gap list (TvlxRefList): inserting where the last insert happened costs O(1), so
// a run of inserts at the cursor is linear however long the table is.
#pragma once

#include <memory>
#include <vector>

#include "engines/vlx/vlxExprEval.h"
#include "engines/vlx/vlxFieldList.h"

enum TvlxMemTableCompareOption : unsigned {
  mtcoDescending = 1u << 0,
  mtcoCaseInsensitive = 1u << 1,
  mtcoPartialKey = 1u << 2,
  mtcoIgnoreNullKey = 1u << 3,
  mtcoIgnoreLocale = 1u << 4,
  mtcoUnique = 1u << 5,
  mtcoNonMaintained = 1u << 6,
  mtcoNullFirst = 1u << 7,
};
using TvlxMemTableCompareOptions = unsigned;
enum TvlxIndexType { mtitNonSorted, mtitSorted };
enum TvlxSearchType { mtstFirst, mtstLast, mtstNearestBefore, mtstNearestAfter };
using TvlxUpdateStatusSet = unsigned;  // bit n = TUpdateStatus n
constexpr TvlxUpdateStatusSet StatusBit(int S) { return 1u << S; }

inline constexpr char16_t kRowOrderIndexName[] = u"__MT__ROWORDER_";
inline constexpr char16_t kDefaultIndexName[] = u"__MT__DEFAULT_";
inline constexpr char16_t kDetailIndexName[] = u"__MT__DETAIL_";
inline constexpr char16_t kRangeIndexName[] = u"__MT__RANGE_";
inline constexpr char16_t kAutoIndexPrefix[] = u"__MT__AUTO_";

// A sequence of record pointers with a movable gap.
class TvlxRefList {
 public:
  int Count() const { return static_cast<int>(FItems.size() - FGapLen); }
  PvlxRecord operator[](int I) const { return FItems[Phys(I)]; }
  void Set(int I, PvlxRecord R) { FItems[Phys(I)] = R; }
  void Insert(int I, PvlxRecord R);
  void Add(PvlxRecord R) { Insert(Count(), R); }
  void Delete(int I);
  void Clear() {
    FItems.clear();
    FGapStart = FGapLen = 0;
  }
  void Reserve(int N);
  // Replaces the rows with the non-null entries of Rows, in order.
  void AssignNonNull(const std::vector<PvlxRecord>& Rows);
  // The rows as one contiguous array (the gap moves to the end).
  PvlxRecord* Contiguous();
  void Exchange(int A, int B) {
    const std::size_t a = Phys(A), b = Phys(B);
    std::swap(FItems[a], FItems[b]);
  }

 private:
  std::size_t Phys(int I) const {
    const auto u = static_cast<std::size_t>(I);
    return u < FGapStart ? u : u + FGapLen;
  }
  void MoveGap(std::size_t To);
  std::vector<PvlxRecord> FItems;
  std::size_t FGapStart = 0;
  std::size_t FGapLen = 0;
};

class TvlxIndexes;

class TvlxIndex : public TObject {
  VELLUM_CLASS(TvlxIndex)
 public:
  TvlxIndex(TvlxIndex* ABase, const String& Name, TvlxCustomMemTable* ADataSet, const String& Fields,
            TvlxMemTableCompareOptions Options, TvlxIndexType IndexType);
  TvlxIndex(TvlxIndex* ABase, const TIndexDef& IndexDef, TvlxCustomMemTable* ADataSet);
  ~TvlxIndex() override;

  const String& Name() const { return FName; }
  TvlxCustomMemTable* DataSet() const { return FDataSet; }
  TvlxIndex* Base() const { return FBaseIndex; }
  const String& IndexFields() const { return FIndexFields; }
  const TvlxFieldList& IndexFieldList() const { return FIndexFieldList; }
  TvlxMemTableCompareOptions IndexOptions() const { return FIndexOptions; }
  TvlxIndexType IndexType() const { return FType; }
  bool IsSorted() const { return FSorted; }
  bool IsDirty() const { return FDirty; }
  bool IsOrdered() const { return FSorted && !FDirty; }
  bool IsFiltered() const { return FIsFiltered; }
  void SetIsFiltered(bool Value) { FIsFiltered = Value; }
  bool IsRange() const { return FIsRange; }
  bool IsRowOrder() const { return FRowOrder; }
  void SetRowOrder(bool Value) { FRowOrder = Value; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);
  TvlxUpdateStatusSet UpdateStatus() const { return FUpdateStatus; }
  void SetUpdateStatus(TvlxUpdateStatusSet Value) { FUpdateStatus = Value; }
  TvlxRefList& References() { return FReferences; }
  const TvlxRefList& References() const { return FReferences; }
  int Count() const { return FReferences.Count(); }
  const TvlxRecord* RangeStartKey() const { return FRangeStartKey; }
  const TvlxRecord* RangeEndKey() const { return FRangeEndKey; }
  void SetRangeStartKey(const TvlxRecord* Value);
  void SetRangeEndKey(const TvlxRecord* Value);
  std::function<void(TDataSet& DataSet, TvlxIndex* Index, bool& Accept)> OnFilterIndex;
  // A filter expression of this index (empty text: none); records it rejects stay out of the index.
  // The index is marked dirty: the next Rebuild applies it.
  void SetFilter(const String& Text, TFilterOptions Options = 0);
  const String& Filter() const { return FFilterText; }
  const std::vector<TvlxIndex*>& DependantIndexes() const { return FDependants; }

  void Clear();
  void Load();
  void ReSort();
  void Rebuild();
  void RebuildDepending();
  bool IsDependingOn(const TvlxIndex* AIndex) const;
  bool IndexAcceptsRecord(PvlxRecord Record, bool CheckRange);
  // Every stored record belongs in this index whatever it holds (no filter, range or status left out).
  bool TakesEveryStoredRecord(bool Versioning) const;

  // Result: the last key comparison; Index the position found (or where the scan stopped).
  int Search(const TvlxFieldList* FieldList, PvlxRecord KeyRecord, TvlxSearchType SearchType, bool PrimaryOnly,
             bool RespectFilter, int& Index, bool& Found);
  // Position of that very record, or -1.
  int SearchRecord(const TvlxRecord* KeyRecord);
  int SearchRecordID(std::int32_t RecordID);

  // Key comparison of KeyRecord against ARecord.
  int CompareIndexKeys(const TvlxFieldList& L, const TvlxRecord* KeyRecord, const TvlxRecord* ARecord,
                       bool PrimaryOnly, bool Partial, bool NullsUnequal, bool TieBreak) const;

 private:
  friend class TvlxIndexes;
  void Init(TvlxIndex* ABase, TvlxCustomMemTable* ADataSet);
  void SortIndexQuick(PvlxRecord* Rows, int L, int R);
  void SortIndexInsertion(PvlxRecord* Rows, int N);
  int SearchIndexBinary(const TvlxFieldList& L, PvlxRecord Key, TvlxSearchType T, bool PrimaryOnly,
                        bool RespectFilter, int Lo, int Hi, int& Index, bool& Found);
  int SearchIndexLinear(const TvlxFieldList& L, PvlxRecord Key, TvlxSearchType T, bool PrimaryOnly,
                        bool RespectFilter, int Lo, int Hi, bool EarlyStop, int& Index, bool& Found);

  bool FBeingFreed = false;
  std::vector<TvlxIndex*> FDependants;  // borrowed: the table's collection owns every index
  TvlxRefList FReferences;
  String FName;
  TvlxCustomMemTable* FDataSet;
  String FIndexFields;
  TvlxFieldList FIndexFieldList;
  TvlxMemTableCompareOptions FIndexOptions = 0;
  PvlxRecord FRangeStartKey = nullptr;
  PvlxRecord FRangeEndKey = nullptr;
  bool FSorted = false;
  bool FDirty = false;
  TvlxIndexType FType = mtitSorted;
  bool FRowOrder = false;
  bool FIsFiltered = false;
  bool FIsRange = false;
  bool FEnabled = true;
  TvlxUpdateStatusSet FUpdateStatus = StatusBit(usUnmodified) | StatusBit(usModified) | StatusBit(usInserted);
  TvlxIndex* FBaseIndex = nullptr;
  String FFilterText;
  std::unique_ptr<TvlxExprParser> FFilterParser;
};

class TvlxIndexes : public TObject {
  VELLUM_CLASS(TvlxIndexes)
 public:
  explicit TvlxIndexes(TvlxCustomMemTable* ADataSet) : FDataSet(ADataSet) {}
  ~TvlxIndexes() override;

  void Clear();
  int Count() const { return static_cast<int>(FIndexes.size()); }
  TvlxIndex* Items(int I) const { return FIndexes[static_cast<std::size_t>(I)].get(); }
  TvlxIndex* AddIndex(std::unique_ptr<TvlxIndex> Index);
  // Raises "Missing Name or FieldNames in IndexDef!" for a definition without fields.
  TvlxIndex* Add(const TIndexDef& IndexDef);
  // Frees Index and the indexes built on it (never the row-order index).
  void DeleteIndex(TvlxIndex* Index);
  TvlxIndex* Get(std::u16string_view IndexName) const;
  TvlxIndex* GetByFieldNames(std::u16string_view FieldNames) const;
  TvlxIndex* RowOrderIndex() const { return FRowOrderIndex; }
  void SetRowOrderIndex(TvlxIndex* Value) { FRowOrderIndex = Value; }
  void EmptyAll();
  // Every index emptied and exact, for a store that holds no records.
  void ResetEmpty();
  void ReBuildAll();
  void MarkAllDirty();
  int Search(const TvlxFieldList& FieldList, PvlxRecord KeyRecord, TvlxSearchType SearchType, bool PrimaryOnly,
             bool RespectFilter, bool AutoAddIdx, int& Index, bool& Found);
  void CheckRecordUniqueness(PvlxRecord ARecord, const TvlxRecord* ActualRecord);
  void ReflectToIndexes(TvlxIndexUpdateHow How, PvlxRecord OldRecord, PvlxRecord NewRecord, int RecordPos,
                        bool DontVersion);

 private:
  bool FInClear = false;
  std::vector<std::unique_ptr<TvlxIndex>> FIndexes;
  TvlxIndex* FRowOrderIndex = nullptr;
  TvlxCustomMemTable* FDataSet;
};
