// The records view: the rows the dataset reads, in order. A row is a record of the table data that
// passes the update-status filter (StatusFilter; at creation every status but usDeleted) and the
// record filter (OnFilterRecord, when set); rows stand in the order of the view comparison: by
// OnCompareRecords over the parsed SortOrder when a sort order is set, else in records-list order.
//
// Two forms, one behaviour. While no sort order is set and every record passes the filters (no pending
// cached delete, no record filter) the rows are the records list itself: a row's position is its
// record's position (O(log n)) and no per-row structure exists, so the common table pays nothing for
// the view. Otherwise the view keeps its rows in a counted tree of row items (one per shown record, with
// a record-to-row map): adding, removing or moving a row and finding a record's row cost O(log n)
// comparisons; it goes back to the first form when the rows are rebuilt and the conditions hold again.
//
// Row events (OnViewDataEvent, OnViewRecordMovedEvent and the DoDataEvent / DoRecordMoved of the view's
// own listeners) carry view positions: an added record that passes is announced added at its row; a
// changed or marked-for-delete record is announced moved (old row, new row) when its row moved, then
// changed at its row, or deleted at its old row when it no longer passes, or added when it newly passes;
// a deleted record that had a row is announced deleted at that row; any rebuild is announced as a list
// change (Index -1).
//
// Tree mode (ViewAsTreeList): the rows are the visible nodes of a memory tree list whose ancestors are all
// expanded (TMemoryTreeListKv), built from TreeViewKeyFieldName and TreeViewRefParentFieldName. Record
// events update the tree in place and are announced as one list change; a record whose new reference
// would make it its own ancestor is refused before it changes ("Reference-loop found").
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engines/kv/KvValues.h"
#include "engines/kv/MemTableDataKv.h"
#include "engines/kv/MemoryTreeListKv.h"

using TUpdateStatusSetKv = unsigned;
constexpr TUpdateStatusSetKv UpdateStatusBit(TUpdateStatus S) { return 1u << static_cast<unsigned>(S); }
constexpr TUpdateStatusSetKv kDefaultStatusFilterKv =
    UpdateStatusBit(usUnmodified) | UpdateStatusBit(usModified) | UpdateStatusBit(usInserted);

class TMTAggregatesKv;

class TRecordsViewKv : public TRecordsListNotificatorKv {
  VELLUM_CLASS(TRecordsViewKv)
 public:
  explicit TRecordsViewKv(TComponent* AOwner);
  ~TRecordsViewKv() override;

  TMemTableDataKv* MemTableData() const { return FMemTableData; }
  TRecordsListKv* List() const { return FMemTableData ? FMemTableData->RecordsList() : nullptr; }

  int Count() const;
  int ViewItemsCount() const { return Count(); }
  // Tree mode: every node the filters show, also inside collapsed branches; list mode: the rows.
  int AccountableItemsCount() const;
  // Raises "List index out of bounds (%d)".
  TMemoryRecordKv* GetRec(int Index) const;
  TMemoryRecordKv* GetViewRecord(int Index) const { return GetRec(Index); }
  TMemoryRecordKv* GetAccountableRecord(int Index) const;
  // The node of row Index in tree mode; nullptr in list mode or out of range.
  TMemRecViewKv* GetRecordView(int Index) const;
  // The record's row; -1 when the view does not show it. O(log n).
  int IndexOfRec(const TMemoryRecordKv* Rec) const;
  // True while the rows are the records list itself (see the file head).
  bool ShowsWholeList() const { return FWholeList; }

  // Record operations, through the records list (row positions are translated to list positions).
  TMemoryRecordKv* NewRecord() { return List()->NewRecord(); }
  int AddRecord(TMemoryRecordKv* Rec) { return List()->AddRecord(Rec); }
  // In records-list order at the list position of the record of row Index (after the last row when
  // Index is the row count; at 0 without rows).
  int InsertRecord(int Index, TMemoryRecordKv* Rec);
  void DeleteRecord(int Index);
  void MergeChangeLog() { List()->MergeChangeLog(); }
  void CancelUpdates() { List()->CancelUpdates(); }

  // ---- tree mode ----
  bool ViewAsTreeList() const { return FViewAsTreeList; }
  void SetViewAsTreeList(bool Value);
  const String& TreeViewKeyFieldName() const { return FTreeViewKeyFieldName; }
  void SetTreeViewKeyFieldName(const String& Value);
  const String& TreeViewRefParentFieldName() const { return FTreeViewRefParentFieldName; }
  void SetTreeViewRefParentFieldName(const String& Value);
  // The tree over the bound records list (made on first use, remade when the data changes); nullptr
  // without data.
  TMemoryTreeListKv* MemoryTreeList() const;
  // The tree rebuilt from the records list (tree mode), or emptied.
  void RebuildMemoryTreeList();
  // Asked before a node expands or collapses (may refuse) and told after it did.
  std::function<bool(TMemRecViewKv*)> OnTreeNodeExpanding;
  std::function<void(TMemRecViewKv*)> OnTreeNodeExpanded;
  // Settings of the tree kept across a remade tree.
  bool DefaultNodeExpanded() const { return FDefaultNodeExpanded; }
  void SetDefaultNodeExpanded(bool Value);
  bool DefaultNodeHasChildren() const { return FDefaultNodeHasChildren; }
  void SetDefaultNodeHasChildren(bool Value);
  bool FullBuildCheck() const { return FFullBuildCheck; }
  void SetFullBuildCheck(bool Value);
  bool FilterNodeIfParentVisible() const { return FFilterNodeIfParentVisible; }
  void SetFilterNodeIfParentVisible(bool Value);

  // ---- order and filters ----
  const String& SortOrder() const { return FSortOrder; }
  // Parses through OnParseOrderByStr (a parse error keeps the previous order) and resorts.
  void SetSortOrder(const String& Value);
  bool SortOrderCaseInsensitive() const { return FSortOrderCaseInsensitive; }
  void SetSortOrderCaseInsensitive(bool Value);
  TUpdateStatusSetKv StatusFilter() const { return FStatusFilter; }
  void SetStatusFilter(TUpdateStatusSetKv Value);
  const TOrderByList* OrderByList() const { return FOrderByList.get(); }
  bool RecordPassesFilter(TMemoryRecordKv* MemRec, int Index);
  // Rebuilds the rows from the records list (filters, then sort order).
  void RefreshFilteredRecsList();
  void ResortView();

  std::function<int(TMemoryRecordKv* Rec1, TMemoryRecordKv* Rec2, const TOrderByList* ParamSort)> OnCompareRecords;
  std::function<bool(TMemoryRecordKv* MemRec, int Index)> OnFilterRecord;
  std::function<std::unique_ptr<TOrderByList>(const String& Text)> OnParseOrderByStr;
  std::function<void(TMemoryRecordKv*, int, TRecordsListNotification)> OnViewDataEvent;
  std::function<void(TMemoryRecordKv*, int, int)> OnViewRecordMovedEvent;
  // Fills a row node's lookup buffer (its calculated values) when the node is placed or updated. Only
  // tree rows are nodes: list rows carry no buffer.
  std::function<void(TMemoryRecordKv* MemRec, TMemRecViewKv* RecView)> OnCalcLookupBuffer;
  // Every node's calculated values computed again (values the rows keep stay).
  void UpdateAllLookupBuffer();
  // Set on every row event; the dataset clears it to learn whether rows changed meanwhile.
  bool CatchChanged = false;

  // The view's aggregates (AggregatesKv.h); every row event makes their values stale.
  TMTAggregatesKv* Aggregates() const { return FAggregates.get(); }

  // Listeners bound to this view (their DataObject is the view).
  void AddNotificator(TRecordsListNotificatorKv* Item);
  void RemoveNotificator(TRecordsListNotificatorKv* Item);

  void DoDataEvent(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Action) override;
  void DoRecordMoved(TMemoryRecordKv* MemRec, int OldIndex, int NewIndex) override;
  // A row event raised now comes from a change of the records (made through any view of the data), not
  // from this view's own rebuild, sort or tree expansion.
  bool InRecordsChange() const { return FRecordsChangeDepth > 0; }

 private:
  int FRecordsChangeDepth = 0;
  struct TRecordsChange {
    explicit TRecordsChange(int& Depth) : FDepth(Depth) { ++FDepth; }
    ~TRecordsChange() { --FDepth; }
    TRecordsChange(const TRecordsChange&) = delete;
    TRecordsChange& operator=(const TRecordsChange&) = delete;
    int& FDepth;
  };
  struct TRow {
    TRow* Left = nullptr;
    TRow* Right = nullptr;
    TRow* Parent = nullptr;
    std::uint32_t Priority = 0;
    int Size = 1;
    TMemoryRecordKv* Rec = nullptr;
  };
  static int Size(const TRow* n) { return n ? n->Size : 0; }
  static void Update(TRow* n) { n->Size = 1 + Size(n->Left) + Size(n->Right); }
  void RotateUp(TRow* x);
  TRow* RowAt(int Pos) const;
  int RankOf(const TRow* Row) const;
  void InsertRowAt(int Pos, TRow* Row);
  void RemoveRow(TRow* Row);
  void ClearRows();
  // View comparison and the row position a record belongs at (rows less than it).
  int Compare(TMemoryRecordKv* A, TMemoryRecordKv* B) const;
  int PositionOf(TMemoryRecordKv* Rec) const;
  // Places a row for Rec at its position; returns the position.
  int PlaceRow(TMemoryRecordKv* Rec);
  bool Sorted() const { return !FSortOrder.empty() && FOrderByList && FOrderByList->Count() > 0 && OnCompareRecords; }
  // Whether the rows can be the records list itself.
  bool WholeListFits() const;
  // Builds the row items from the records list (every record passing the filters, list order).
  void Materialize();
  void DoViewDataEvent(TMemoryRecordKv* MemRec, int Pos, TRecordsListNotification Action);
  void DoViewRecordMoved(TMemoryRecordKv* MemRec, int OldPos, int NewPos);
  void ChangedOrMarked(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Action);
  void TreeDataEvent(TMemoryRecordKv* MemRec, int Index, TRecordsListNotification Action);
  void ApplyTreeSettings(TMemoryTreeListKv* Tree) const;
  bool TreeMode() const { return FViewAsTreeList && List(); }

  bool FWholeList = true;
  TRow* FRoot = nullptr;
  std::unordered_map<const TMemoryRecordKv*, TRow*> FRowOf;
  std::uint32_t FSeed = 2463534242u;
  String FSortOrder;
  bool FSortOrderCaseInsensitive = false;
  std::unique_ptr<TOrderByList> FOrderByList;
  TUpdateStatusSetKv FStatusFilter = kDefaultStatusFilterKv;
  std::vector<TRecordsListNotificatorKv*> FNotificators;
  std::unique_ptr<TMTAggregatesKv> FAggregates;
  bool FViewAsTreeList = false;
  String FTreeViewKeyFieldName, FTreeViewRefParentFieldName;
  bool FDefaultNodeExpanded = false, FDefaultNodeHasChildren = false, FFullBuildCheck = true,
       FFilterNodeIfParentVisible = true;
  mutable std::unique_ptr<TMemoryTreeListKv> FMemoryTreeList;
  mutable const TRecordsListKv* FTreeListOf = nullptr;
  bool FTreeUpdating = false;
};
