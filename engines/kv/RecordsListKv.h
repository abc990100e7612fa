// The record store of the Kv memory table: TMemoryRecordKv is one row (one cell per field descriptor
// of the structure, in structure order, plus the editing and cached-update bookkeeping);
// TRecordsListKv keeps the rows in list order, the change log of cached updates, and tells every change
// to its table data (MemTableDataKv.h), which tells the listeners.
//
// Positions. A record's Index is its position in the list. The list is a counted tree (a treap whose
// nodes are the records themselves, each with its subtree size and a link to its parent), so inserting
// or removing at any position, and finding a record's position, cost O(log n): no renumbering pass ever
// runs, and a record carries no stored number that could go stale.
//
// Storage. A record and its cells share one slot of a row pool (platform/store/RowPool.h) owned by the
// list; numbers, dates and Booleans sit in the cell, texts (8-bit and UTF-16) are bytes in the list's
// text table (platform/store/BlobTable.h) under a 32-bit handle, and only the rare other kinds (arrays,
// time stamps, BCD, interfaces) get a Variant of their own. Making a record allocates nothing per row
// beyond its texts' bytes, and emptying the list hands back whole slabs and chunks instead of freeing
// rows one by one. Values come out as Variants (GetDataValue, Value) made on demand.
//
// Records are made by NewRecord, serial numbers (HashCode) 1, 2, 3, ... never reused; RecordBySerial
// resolves a serial to the live record or nullptr once it was freed. Bookmarks use the serial, never an
// address.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "platform/classes/Classes.h"
#include "platform/classes/ComponentStreaming.h"
#include "platform/db/DB.h"
#include "platform/rtl/Variant.h"
#include "platform/store/BlobTable.h"
#include "platform/store/RowPool.h"

class TRecordsListKv;
class TRecordLoaderKv;
class TMTDataStructKv;
class TMTDataFieldKv;
class TMTIndexesKv;
class TMemTableDataKv;

enum TRecordEditStateKv { resBrowseKv, resEditKv, resInsertKv, resEditForRefresh };
enum TDataValueVersionKv { dvvOldValueKv, dvvCurValueKv, dvvEditValueKv, dvvValueKv, dvvOldestValue, dvvRefreshValue };
enum TRecordsListNotification {
  rlnRecAddingKv, rlnRecAddedKv, rlnRecChangingKv, rlnRecChangedKv, rlnRecDeletingKv, rlnRecDeletedKv,
  rlnListChangingKv, rlnListChangedKv, rlnRecMarkingForDelKv, rlnRecMarkedForDelKv
};

// One stored value (see the file head). Type is the value's variant kind; kBoxed: Boxed holds it.
struct TKvCell {
  static constexpr TVarType kBoxed = 0xFFFF;
  TVarType Type = varEmpty;
  std::uint32_t Text = 0;  // text kinds: the handle in the list's text table (0: the empty text)
  union {
    Int64 Int = 0;
    double Dbl;
    float Sgl;
    bool Bool;
    Variant* Boxed;
  };
};
static_assert(sizeof(TKvCell) == 16);

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
  Variant GetDataValue(int FieldIndex, TDataValueVersionKv Version = dvvValueKv) const;
  // Stores by the field's cached kind: Null and Empty as they are, varVariant as given, bytes into an
  // 8-bit text field as text, anything else cast (a failing cast raises).
  void SetDataValue(int FieldIndex, TDataValueVersionKv Version, const Variant& Value);
  // The current value of a field (no range check).
  Variant Value(int FieldIndex) const;
  bool IsNullValue(int FieldIndex) const {
    const TVarType t = Cells()[FieldIndex].Type;
    return t == varNull || t == varEmpty;
  }
  // Stores a value already of the field's kind (the dataset's copy path): no cast.
  void StoreValue(int FieldIndex, const Variant& Value);
  const TKvCell* Cells() const { return reinterpret_cast<const TKvCell*>(this + 1); }

  void Edit();
  void EditForRefresh();
  void Post();
  // An inserted (unattached) record is freed by Cancel: the caller must drop it.
  void Cancel();

 private:
  friend class TRecordsListKv;
  friend class TRecordTreeKv;
  friend struct TKvCellAccess;
  friend class TRecordLoaderKv;
  TMemoryRecordKv(TRecordsListKv* List, int Count, int HashCode);
  ~TMemoryRecordKv() = default;
  TKvCell* MutableCells() { return reinterpret_cast<TKvCell*>(this + 1); }
  // The Variant array of an old version; nullptr for the current values (the cells).
  Variant* Array(TDataValueVersionKv Version) const;
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
  TRowPool::Id FSlot = 0;  // the slot of FPool the record and its cells occupy
  TRowPool* FPool = nullptr;
  // the cells follow the object in its slot
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
  // An empty tree takes Recs in their order, balanced, in one pass. Their priorities fall with the
  // depth, above any random one, so later inserts settle below them as in any treap.
  void Build(const std::vector<TMemoryRecordKv*>& Recs);

 private:
  static int Size(const TMemoryRecordKv* n) { return n ? n->FSize : 0; }
  static void Update(TMemoryRecordKv* n) { n->FSize = 1 + Size(n->FLeft) + Size(n->FRight); }
  void RotateUp(TMemoryRecordKv* x);
  static TMemoryRecordKv* BuildRange(TMemoryRecordKv* const* Recs, int Count, std::uint32_t Priority,
                                     TMemoryRecordKv* Parent);
  std::uint32_t NextPriority() {
    FSeed ^= FSeed << 13;
    FSeed ^= FSeed >> 17;
    FSeed ^= FSeed << 5;
    return FSeed;
  }
  TMemoryRecordKv* FRoot = nullptr;
  std::uint32_t FSeed = 2463534242u;
};

// Cells and Variants (RecordsListKv.cpp); the save format reads and writes cells directly.
struct TKvCellAccess {
  static Variant ToVariant(const TKvCell& Cell, const TBlobTable& Texts);
  // Replaces what Cell holds (its old text or box released) by Value, of whatever kind.
  static void Assign(TKvCell& Cell, const Variant& Value, TRecordsListKv& List);
  static void Release(TKvCell& Cell, TBlobTable& Texts) noexcept;
  static TKvCell* Cells(TMemoryRecordKv* Rec) { return Rec->MutableCells(); }
  // A text cell over bytes (8-bit text: varString; UTF-16LE: varUString), added to the text table.
  static void SetText(TKvCell& Cell, TVarType Type, const void* Bytes, std::size_t Length, TBlobTable& Texts) {
    const TBlobTable::Handle h = Texts.Add(static_cast<const Byte*>(Bytes), Length);
    Release(Cell, Texts);
    Cell.Type = Type;
    Cell.Text = h;
  }
};

// Text read from a stream a piece at a time (the text load): the bytes held are Text(); More reads on,
// first dropping the bytes before Drop (positions into Text() then move back by Drop). A file of any size
// is read through a buffer of about one piece plus the longest record.
class TTextSourceKv {
 public:
  static constexpr std::size_t kPieceBytes = std::size_t{1} << 20;
  explicit TTextSourceKv(TStream* Stream) : FStream(Stream) {}
  std::string_view Text() const { return {FBuffer.get(), FSize}; }
  // Every byte of the stream was read.
  bool AtEnd() const { return FEnd; }
  // Drops the bytes before Drop, then reads at least a piece, and at least as much as is kept, so a
  // record longer than a piece costs reads of doubling size. False when nothing more was read.
  bool More(std::size_t Drop = 0);

 private:
  TStream* FStream;
  std::unique_ptr<char[]> FBuffer;
  std::size_t FSize = 0;
  std::size_t FCapacity = 0;
  bool FEnd = false;
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
  // The bytes of the texts the records hold.
  TBlobTable& Texts() const { return *FTexts; }
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
  // Room in a memory stream for the values WriteData is about to write.
  void ReserveForData(TStream& Stream, const std::vector<const TMTDataFieldKv*>& Fields) const;
  // "Data" in the object text form, the same bytes converting WriteData's binary gives (Indent: the
  // value's nesting level), written to Stream in pieces.
  void WriteDataText(TStream* Stream, int Indent) const;
  // The other way, for text in that form from Pos in Source's text on: the records read as converting the
  // text to binary and reading that would read them, Pos moved past the values (in the text Source then
  // holds). False when the text is not in the form WriteDataText gives (the list is then to be dropped);
  // raises what reading the binary raises.
  bool ReadDataText(TTextSourceKv& Source, size_t& Pos);
  // Only the two closing "end"s follow Pos.
  static bool IsDataTextEnd(std::string_view Text, size_t Pos);
  // While false, component streaming leaves "Data" out (a text save writes it by WriteDataText).
  void SetDataInStream(bool Value) { FDataInStream = Value; }

 private:
  friend class TMemoryRecordKv;
  friend class TMemTableDataKv;
  friend struct TKvCellAccess;
  friend class TRecordLoaderKv;
  int Attach(TMemoryRecordKv* Rec, int Index, bool Fetching, bool Append);
  void Detach(TMemoryRecordKv* Rec);
  void AddToDelta(TMemoryRecordKv* Rec);
  void DropFromDelta(TMemoryRecordKv* Rec);
  void ReleaseSerial(TMemoryRecordKv* Rec);
  static constexpr std::size_t kRecordSlabBytes = std::size_t{1} << 20;
  TRowPool& PoolFor(int Count);
  TMemoryRecordKv* MakeRecord(int Count, int HashCode);
  // Every pool and the text table dropped whole (the records in them are gone).
  void DropStorage() noexcept;
  // Releases what the record's cells hold and gives its slot back.
  void DestroyRecord(TMemoryRecordKv* Rec) noexcept;
  // Notes that some record holds something of its own (a boxed cell, saved old values), which Clear
  // must free record by record; without it, Clear drops the pools and the text table whole.
  void NoteOwnedParts() { FRecordsOwnParts = true; }

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
  std::vector<std::unique_ptr<TRowPool>> FPools;  // one per record width in use
  std::unique_ptr<TBlobTable> FTexts;
  bool FRecordsOwnParts = false;
  bool FDataInStream = true;
};
