// The record store of the Kv memory table: TMemoryRecordKv is one row (one Variant per field
// descriptor of the structure, in structure order, plus the editing and cached-update bookkeeping);
// TRecordsListKv keeps the rows in list order, the change log of cached updates, and tells every change
// to its table data (MemTableDataKv.h), which tells the listeners.
//
// Positions. A record's Index is its position in the list. The list is a counted tree (a treap whose
// nodes are the records themselves, each with its subtree size and a link to its parent), so inserting
// or removing at any position, and finding a record's position, cost O(log n): no renumbering pass ever
// runs, and a record carries no stored number that could go stale.
//
// Records are made by NewRecord with their values inline (one allocation per record), serial numbers
// (HashCode) 1, 2, 3, ... never reused; RecordBySerial resolves a serial to the live record or nullptr
// once it was freed. Bookmarks use the serial, never an address.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/classes/Classes.h"
#include "platform/classes/ComponentStreaming.h"
#include "platform/db/DB.h"
#include "platform/rtl/Variant.h"

class TRecordsListKv;
class TMTDataStructKv;
class TMTIndexesKv;
class TMemTableDataKv;

enum TRecordEditStateKv { resBrowseKv, resEditKv, resInsertKv, resEditForRefresh };
enum TDataValueVersionKv { dvvOldValueKv, dvvCurValueKv, dvvEditValueKv, dvvValueKv, dvvOldestValue, dvvRefreshValue };
enum TRecordsListNotification {
  rlnRecAddingKv, rlnRecAddedKv, rlnRecChangingKv, rlnRecChangedKv, rlnRecDeletingKv, rlnRecDeletedKv,
  rlnListChangingKv, rlnListChangedKv, rlnRecMarkingForDelKv, rlnRecMarkedForDelKv
};

class TMemoryRecordKv {
 public:
  TMemoryRecordKv(const TMemoryRecordKv&) = delete;
  TMemoryRecordKv& operator=(const TMemoryRecordKv&) = delete;

  int ValueCount() const { return FCount; }
  // Position in the list; -1 while not attached. O(log n).
  int Index() const;
  bool Attached() const { return FAttached; }
  int HashCode() const { return FHashCode; }
  TRecordsListKv* RecordsList() const { return FRecordsList; }
  TRecordEditStateKv EditState() const { return FEditState; }
  TUpdateStatus UpdateStatus() const { return FUpdateStatus; }
  void SetUpdateStatus(TUpdateStatus Value) { FUpdateStatus = Value; }
  int UpdateIndex() const { return FUpdateIndex; }
  bool HasOldData() const { return FOldData != nullptr; }

  // Raises "List index out of bounds (%d)" and the old/edit-values messages.
  const Variant& GetDataValue(int FieldIndex, TDataValueVersionKv Version = dvvValueKv) const;
  // Stores by the field's cached kind: Null and Empty as they are, varVariant as given, bytes into an
  // 8-bit text field as text, anything else cast (a failing cast raises).
  void SetDataValue(int FieldIndex, TDataValueVersionKv Version, const Variant& Value);
  // The value already of the field's kind (the dataset's copy path): no cast.
  void SetDataValueRaw(int FieldIndex, Variant&& Value) { FData[FieldIndex] = std::move(Value); }
  Variant* Data() { return FData; }
  const Variant* Data() const { return FData; }

  void Edit();
  void EditForRefresh();
  void Post();
  // An inserted (unattached) record is freed by Cancel: the caller must drop it.
  void Cancel();

  void WriteRecord(TWriter* Writer) const;
  void ReadRecord(TReader* Reader);

 private:
  friend class TRecordsListKv;
  friend class TRecordTreeKv;
  TMemoryRecordKv(TRecordsListKv* List, int Count, int HashCode);
  ~TMemoryRecordKv();
  static TMemoryRecordKv* Make(TRecordsListKv* List, int Count, int HashCode);
  static void Free(TMemoryRecordKv* Rec) noexcept;
  Variant* Array(TDataValueVersionKv Version, bool ForWrite) const;
  void CheckIndex(int FieldIndex) const;

  // counted-tree links
  TMemoryRecordKv* FLeft = nullptr;
  TMemoryRecordKv* FRight = nullptr;
  TMemoryRecordKv* FParent = nullptr;
  std::uint32_t FPriority = 0;
  int FSize = 1;
  bool FAttached = false;

  bool FEditChanged = false;
  TRecordEditStateKv FEditState = resInsertKv;
  int FHashCode;
  int FUpdateIndex = -1;
  TUpdateStatus FUpdateStatus = usUnmodified;
  TRecordsListKv* FRecordsList;
  std::unique_ptr<Variant[]> FOldData;        // values before the first cached change
  std::unique_ptr<Variant[]> FTmpOldRecValue; // backup taken when an edit begins
  int FCount;
  Variant* FData;  // inline, after the object
};

// The positions of the records list: an implicit treap over the records (see the file head).
class TRecordTreeKv {
 public:
  int Count() const { return Size(FRoot); }
  TMemoryRecordKv* At(int Pos) const;
  int RankOf(const TMemoryRecordKv* Rec) const;
  void InsertAt(int Pos, TMemoryRecordKv* Rec);
  void Remove(TMemoryRecordKv* Rec);
  TMemoryRecordKv* First() const;
  static TMemoryRecordKv* Next(const TMemoryRecordKv* Rec);
  TMemoryRecordKv* Root() const { return FRoot; }
  // Forgets every node (the caller frees the records).
  void Reset() { FRoot = nullptr; }

 private:
  static int Size(const TMemoryRecordKv* n) { return n ? n->FSize : 0; }
  static void Update(TMemoryRecordKv* n) { n->FSize = 1 + Size(n->FLeft) + Size(n->FRight); }
  void RotateUp(TMemoryRecordKv* x);
  std::uint32_t NextPriority() {
    FSeed ^= FSeed << 13;
    FSeed ^= FSeed >> 17;
    FSeed ^= FSeed << 5;
    return FSeed;
  }
  TMemoryRecordKv* FRoot = nullptr;
  std::uint32_t FSeed = 2463534242u;
};

using TRecordCompareKv = std::function<int(TMemoryRecordKv* Rec1, TMemoryRecordKv* Rec2)>;

class TRecordsListKv : public TComponent {
  VELLUM_CLASS(TRecordsListKv)
 public:
  explicit TRecordsListKv(TComponent* AOwner);
  ~TRecordsListKv() override;

  int Count() const { return FTree.Count(); }
  TMemoryRecordKv* Rec(int Index) const { return GetRec(Index); }
  // Raises "List index out of bounds (%d)".
  TMemoryRecordKv* GetRec(int Index) const;
  int IndexOf(const TMemoryRecordKv* Rec) const { return Rec && Rec->FAttached ? FTree.RankOf(Rec) : -1; }
  TMemoryRecordKv* First() const { return FTree.First(); }
  static TMemoryRecordKv* Next(const TMemoryRecordKv* Rec) { return TRecordTreeKv::Next(Rec); }
  TMemoryRecordKv* RecordBySerial(int HashCode) const;
  bool CachedUpdates() const { return FCachedUpdates; }
  void SetCachedUpdates(bool Value) { FCachedUpdates = Value; }
  TMemTableDataKv* MemTableData() const { return FMemTableData; }
  // The key indexes, told of every change before the listeners (IndexesKv.h).
  TMTIndexesKv* Indexes() const { return FIndexes.get(); }
  TMTDataStructKv* DataStruct() const;
  int RecValCount() const;
  int DeltaCount() const { return static_cast<int>(FDeltaList.size()); }
  // The change log of cached updates, in order of first change; freed records leave nil slots.
  const std::vector<TMemoryRecordKv*>& DeltaList() const { return FDeltaList; }
  // Non-nil entries of the change log.
  bool HasCachedChanges() const;

  TMemoryRecordKv* NewRecord();
  // Frees a record that is not attached (a record that failed to attach).
  void FreeRecord(TMemoryRecordKv* Rec);
  int AddRecord(TMemoryRecordKv* Rec);
  int InsertRecord(int Index, TMemoryRecordKv* Rec);
  int FetchRecord(TMemoryRecordKv* Rec);
  void DeleteRecord(int Index);
  void PersistDeleteRecord(int Index);
  void Move(int CurIndex, int NewIndex);
  void Clear();
  void SortData(const TRecordCompareKv& Compare);
  // Gives every record, in list order, the values of Rows (one row per record, any value count): each
  // record is remade with its serial, status and position. All or nothing: the records change only
  // when every new one was made. No notification (the caller tells of the structure change).
  void ReplaceAllValues(std::vector<std::vector<Variant>>& Rows);
  void CancelUpdates();
  void MergeChangeLog();
  // The change log's entry at Index (nullptr for an emptied slot).
  TMemoryRecordKv* DeltaItem(int Index) const { return FDeltaList.at(static_cast<size_t>(Index)); }
  // One pending change made permanent: the record leaves the change log (a deleted one is freed).
  void MergeRecordChange(TMemoryRecordKv* Rec);
  // Drops the emptied slots of the change log.
  void PackDelta();

  void BeginUpdate() { ++FUpdateCount; }
  void EndUpdate();
  void Notify(TMemoryRecordKv* Rec, int Index, TRecordsListNotification Event);

  void DefineProperties(TFiler* Filer) override;
  void ReadData(TReader* Reader);
  void WriteData(TWriter* Writer) const;

 private:
  friend class TMemoryRecordKv;
  friend class TMemTableDataKv;
  int Attach(TMemoryRecordKv* Rec, int Index, bool Fetching, bool Append);
  void Detach(TMemoryRecordKv* Rec);
  void AddToDelta(TMemoryRecordKv* Rec);
  void DropFromDelta(TMemoryRecordKv* Rec);
  void ReleaseSerial(TMemoryRecordKv* Rec);

  bool FCachedUpdates = false;
  std::unique_ptr<TMTIndexesKv> FIndexes;
  std::vector<TMemoryRecordKv*> FDeltaList;  // nil slots skipped everywhere
  TMemTableDataKv* FMemTableData = nullptr;
  int FNewHashCode = 1;
  TRecordTreeKv FTree;
  int FUpdateCount = 0;
  // Serial → record for serials from FSerialBase on; a freed record's slot is nullptr.
  std::vector<TMemoryRecordKv*> FBySerial;
  int FSerialBase = 1;
};
