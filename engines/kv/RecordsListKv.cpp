#include "engines/kv/RecordsListKv.h"

#include <cstring>
#include <new>

#include "engines/kv/DataStructKv.h"
#include "engines/kv/IndexesKv.h"
#include "engines/kv/MemTableDataKv.h"
#include "platform/rtl/Format.h"

namespace {
[[noreturn]] void IndexError(int Index) {
  throw EListError(Format(u"List index out of bounds (%d)", {Index}));
}
}  // namespace

// ---- cells ---------------------------------------------------------------------------------------------

Variant TKvCellAccess::ToVariant(const TKvCell& Cell, const TBlobTable& Texts) {
  switch (Cell.Type) {
    case varEmpty: return Variant();
    case varNull: return Null();
    case varSmallint: return Variant(static_cast<short>(Cell.Int));
    case varInteger: return Variant(static_cast<int>(Cell.Int));
    case varSingle: return Variant(Cell.Sgl);
    case varDouble: return Variant(Cell.Dbl);
    case varCurrency: return Variant(Currency::FromScaled(Cell.Int));
    case varDate: return VarFromDateTime(Cell.Dbl);
    case varBoolean: return Variant(Cell.Bool);
    case varShortInt: return Variant(static_cast<signed char>(Cell.Int));
    case varByte: return Variant(static_cast<unsigned char>(Cell.Int));
    case varWord: return Variant(static_cast<unsigned short>(Cell.Int));
    case varLongWord: return Variant(static_cast<unsigned>(Cell.Int));
    case varInt64: return Variant(static_cast<long long>(Cell.Int));
    case varUInt64: return Variant(static_cast<unsigned long long>(Cell.Int));
    case varString: {
      const std::span<const Byte> b = Texts.Bytes(Cell.Text);
      return VarFromAnsi(AnsiString(reinterpret_cast<const char*>(b.data()), b.size()));
    }
    case varUString:
    case varOleStr: {
      const std::span<const Byte> b = Texts.Bytes(Cell.Text);
      String text(b.size() / 2, u'\0');
      if (!b.empty()) std::memcpy(text.data(), b.data(), text.size() * 2);
      return Cell.Type == varOleStr ? VarFromOleStr(std::move(text)) : Variant(std::move(text));
    }
    case TKvCell::kBoxed: return *Cell.Boxed;
    default: return Variant();
  }
}

void TKvCellAccess::Release(TKvCell& Cell, TBlobTable& Texts) noexcept {
  if (Cell.Text != 0) Texts.Release(Cell.Text);
  if (Cell.Type == TKvCell::kBoxed) delete Cell.Boxed;
  Cell.Text = 0;
  Cell.Int = 0;
  Cell.Type = varEmpty;
}

void TKvCellAccess::Assign(TKvCell& Cell, const Variant& Value, TRecordsListKv& List) {
  TBlobTable& texts = List.Texts();
  const TVarType t = Value.VType();
  switch (t) {
    case varString: {
      const AnsiString& a = Value.VAnsiString();
      SetText(Cell, varString, a.data(), a.size(), texts);
      return;
    }
    case varUString:
    case varOleStr: {
      const String& u = Value.VUString();
      SetText(Cell, t, u.data(), u.size() * 2, texts);
      return;
    }
    default: break;
  }
  TKvCell next;
  next.Type = t;
  switch (t) {
    case varEmpty: case varNull: break;
    case varSmallint: next.Int = Value.VSmallint(); break;
    case varInteger: next.Int = Value.VInteger(); break;
    case varSingle: next.Sgl = Value.VSingle(); break;
    case varDouble: next.Dbl = Value.VDouble(); break;
    case varCurrency: next.Int = Value.VCurrency().Scaled; break;
    case varDate: next.Dbl = Value.VDate(); break;
    case varBoolean: next.Bool = Value.VBoolean(); break;
    case varShortInt: next.Int = Value.VShortInt(); break;
    case varByte: next.Int = Value.VByte(); break;
    case varWord: next.Int = Value.VWord(); break;
    case varLongWord: next.Int = Value.VLongWord(); break;
    case varInt64: next.Int = Value.VInt64(); break;
    case varUInt64: next.Int = static_cast<Int64>(Value.VUInt64()); break;
    default:
      next.Type = TKvCell::kBoxed;
      next.Boxed = new Variant(Value);
      List.NoteOwnedParts();
      break;
  }
  Release(Cell, texts);
  Cell = next;
}

// ---- TMemoryRecordKv -----------------------------------------------------------------------------------

TMemoryRecordKv::TMemoryRecordKv(TRecordsListKv* List, int Count, int HashCode)
    : FHashCode(HashCode), FRecordsList(List), FCount(Count) {
  TKvCell* cells = MutableCells();
  for (int i = 0; i < Count; ++i) cells[i].Type = varNull;
}

int TMemoryRecordKv::Index() const { return FRecordsList ? FRecordsList->IndexOf(this) : -1; }

void TMemoryRecordKv::CheckIndex(int FieldIndex) const {
  if (FieldIndex < 0 || FieldIndex >= FCount) IndexError(FieldIndex);
}

Variant* TMemoryRecordKv::Array(TDataValueVersionKv Version) const {
  switch (Version) {
    case dvvValueKv: return nullptr;
    case dvvEditValueKv:
      if (!FTmpOldRecValue) throw Exception(u"TMemoryRecordKv.GetDataValues: Edit values is not accessible.");
      return nullptr;
    case dvvOldValueKv:
      if (!FOldData) throw Exception(u"TMemoryRecordKv.GetDataValues: Old values is not accessible.");
      return FOldData.get();
    case dvvCurValueKv: return FTmpOldRecValue ? FTmpOldRecValue.get() : nullptr;
    case dvvOldestValue:
      return FOldData ? FOldData.get() : (FTmpOldRecValue ? FTmpOldRecValue.get() : nullptr);
    case dvvRefreshValue: return FOldData ? FOldData.get() : nullptr;
  }
  return nullptr;
}

Variant TMemoryRecordKv::Value(int FieldIndex) const {
  return TKvCellAccess::ToVariant(Cells()[FieldIndex], FRecordsList->Texts());
}

void TMemoryRecordKv::StoreValue(int FieldIndex, const Variant& Value) {
  TKvCellAccess::Assign(MutableCells()[FieldIndex], Value, *FRecordsList);
}

Variant TMemoryRecordKv::GetDataValue(int FieldIndex, TDataValueVersionKv Version) const {
  CheckIndex(FieldIndex);
  if (const Variant* arr = Array(Version)) return arr[FieldIndex];
  return Value(FieldIndex);
}

void TMemoryRecordKv::SetDataValue(int FieldIndex, TDataValueVersionKv Version, const Variant& Value) {
  CheckIndex(FieldIndex);
  Variant* arr = Array(Version);
  auto store = [&](const Variant& v) {
    if (arr) arr[FieldIndex] = v;
    else StoreValue(FieldIndex, v);
  };
  if (Value.IsNull() || Value.IsEmpty()) {
    store(Value);
    return;
  }
  const TVarType t = FRecordsList->DataStruct()->DataFields(FieldIndex)->VarDataType();
  if (t == varVariant || Value.VType() == t) {
    store(Value);
  } else if (t == varString && VarIsByteArray(Value)) {
    const int n = VarArrayHighBound(Value, 1) + 1;
    AnsiString bytes(static_cast<size_t>(n), '\0');
    for (int i = 0; i < n; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>(Value.GetElement(i).AsInteger());
    store(VarFromAnsi(std::move(bytes)));
  } else {
    store(VarAsType(Value, t));
  }
}

void TMemoryRecordKv::Edit() {
  if (FEditState != resBrowseKv) return;
  FEditState = resEditKv;
  FEditChanged = false;
  FTmpOldRecValue = std::make_unique<Variant[]>(static_cast<size_t>(FCount));
  for (int i = 0; i < FCount; ++i) FTmpOldRecValue[i] = Value(i);
  FRecordsList->NoteOwnedParts();
}

void TMemoryRecordKv::EditForRefresh() {
  if (FEditState == resEditKv || FEditState == resInsertKv)
    throw Exception(u"procedure TMemoryRecordKv.EditForRefresh: The MemoryRecord is in resEditKv state.");
  FEditState = resEditForRefresh;
  FEditChanged = false;
}

void TMemoryRecordKv::Post() {
  switch (FEditState) {
    case resInsertKv: FRecordsList->AddRecord(this); return;
    case resEditKv: {
      const int index = Index();
      if (TMemTableDataKv* data = FRecordsList->MemTableData()) data->CalculateFields(this);
      FRecordsList->Notify(this, index, rlnRecChangingKv);
      if (FRecordsList->CachedUpdates()) {
        if (FUpdateStatus == usUnmodified) FUpdateStatus = usModified;
        if (FUpdateIndex < 0) FRecordsList->AddToDelta(this);
        if (FUpdateStatus == usModified && !FOldData) FOldData = std::move(FTmpOldRecValue);
      }
      FTmpOldRecValue.reset();
      FEditState = resBrowseKv;
      FRecordsList->Notify(this, index, rlnRecChangedKv);
      return;
    }
    case resEditForRefresh:
      FEditState = resBrowseKv;
      if (TMemTableDataKv* data = FRecordsList->MemTableData()) data->CalculateFields(this);
      FRecordsList->Notify(this, Index(), rlnRecChangedKv);
      return;
    default: DatabaseError(msg::SNotEditing);
  }
}

void TMemoryRecordKv::Cancel() {
  switch (FEditState) {
    case resInsertKv: FRecordsList->FreeRecord(this); return;
    case resEditKv:
      if (FTmpOldRecValue)
        for (int i = 0; i < FCount; ++i) StoreValue(i, FTmpOldRecValue[i]);
      FTmpOldRecValue.reset();
      FEditState = resBrowseKv;
      return;
    case resEditForRefresh:
      // No backup was taken: the record goes back to browsing with the values it has.
      FEditState = resBrowseKv;
      return;
    default: DatabaseError(msg::SNotEditing);
  }
}

// ---- TRecordTreeKv -------------------------------------------------------------------------------------

TMemoryRecordKv* TRecordTreeKv::At(int Pos) const {
  TMemoryRecordKv* n = FRoot;
  while (n) {
    const int left = Size(n->FLeft);
    if (Pos < left) {
      n = n->FLeft;
    } else if (Pos == left) {
      return n;
    } else {
      Pos -= left + 1;
      n = n->FRight;
    }
  }
  return nullptr;
}

int TRecordTreeKv::RankOf(const TMemoryRecordKv* Rec) const {
  int r = Size(Rec->FLeft);
  for (const TMemoryRecordKv* n = Rec; n->FParent; n = n->FParent)
    if (n == n->FParent->FRight) r += Size(n->FParent->FLeft) + 1;
  return r;
}

void TRecordTreeKv::RotateUp(TMemoryRecordKv* x) {
  TMemoryRecordKv* p = x->FParent;
  TMemoryRecordKv* g = p->FParent;
  if (x == p->FLeft) {
    p->FLeft = x->FRight;
    if (x->FRight) x->FRight->FParent = p;
    x->FRight = p;
  } else {
    p->FRight = x->FLeft;
    if (x->FLeft) x->FLeft->FParent = p;
    x->FLeft = p;
  }
  p->FParent = x;
  x->FParent = g;
  if (!g) FRoot = x;
  else if (g->FLeft == p) g->FLeft = x;
  else g->FRight = x;
  Update(p);
  Update(x);
}

void TRecordTreeKv::InsertAt(int Pos, TMemoryRecordKv* Rec) {
  Rec->FLeft = Rec->FRight = Rec->FParent = nullptr;
  Rec->FSize = 1;
  Rec->FPriority = NextPriority();
  if (!FRoot) {
    FRoot = Rec;
    return;
  }
  TMemoryRecordKv* n = FRoot;
  for (;;) {
    ++n->FSize;
    const int left = Size(n->FLeft);
    if (Pos <= left) {
      if (!n->FLeft) {
        n->FLeft = Rec;
        break;
      }
      n = n->FLeft;
    } else {
      Pos -= left + 1;
      if (!n->FRight) {
        n->FRight = Rec;
        break;
      }
      n = n->FRight;
    }
  }
  Rec->FParent = n;
  while (Rec->FParent && Rec->FPriority > Rec->FParent->FPriority) RotateUp(Rec);
}

void TRecordTreeKv::Remove(TMemoryRecordKv* Rec) {
  while (Rec->FLeft || Rec->FRight) {
    TMemoryRecordKv* c = !Rec->FLeft ? Rec->FRight
                         : !Rec->FRight ? Rec->FLeft
                         : (Rec->FLeft->FPriority > Rec->FRight->FPriority ? Rec->FLeft : Rec->FRight);
    RotateUp(c);
  }
  TMemoryRecordKv* p = Rec->FParent;
  if (!p) {
    FRoot = nullptr;
  } else {
    if (p->FLeft == Rec) p->FLeft = nullptr;
    else p->FRight = nullptr;
    for (; p; p = p->FParent) --p->FSize;
  }
  Rec->FParent = nullptr;
  Rec->FSize = 1;
}

TMemoryRecordKv* TRecordTreeKv::BuildRange(TMemoryRecordKv* const* Recs, int Count, std::uint32_t Priority,
                                           TMemoryRecordKv* Parent) {
  if (Count <= 0) return nullptr;
  const int mid = Count / 2;
  TMemoryRecordKv* n = Recs[mid];
  n->FParent = Parent;
  n->FPriority = Priority;
  n->FLeft = BuildRange(Recs, mid, Priority - 1, n);
  n->FRight = BuildRange(Recs + mid + 1, Count - mid - 1, Priority - 1, n);
  n->FSize = Count;
  return n;
}

void TRecordTreeKv::Build(const std::vector<TMemoryRecordKv*>& Recs) {
  FRoot = BuildRange(Recs.data(), static_cast<int>(Recs.size()), UINT32_MAX, nullptr);
}

TMemoryRecordKv* TRecordTreeKv::First() const {
  TMemoryRecordKv* n = FRoot;
  while (n && n->FLeft) n = n->FLeft;
  return n;
}

TMemoryRecordKv* TRecordTreeKv::Next(const TMemoryRecordKv* Rec) {
  if (Rec->FRight) {
    TMemoryRecordKv* n = Rec->FRight;
    while (n->FLeft) n = n->FLeft;
    return n;
  }
  const TMemoryRecordKv* n = Rec;
  while (n->FParent && n == n->FParent->FRight) n = n->FParent;
  return n->FParent;
}

// ---- TRecordsListKv ------------------------------------------------------------------------------------

TRecordsListKv::TRecordsListKv(TComponent* AOwner) : TComponent(AOwner) {
  if (AOwner && !AOwner->InheritsFrom<TMemTableDataKv>()) throw Exception(AOwner->ClassName());
  FMemTableData = static_cast<TMemTableDataKv*>(AOwner);
  FIndexes = std::make_unique<TMTIndexesKv>(this);
  FTexts = std::make_unique<TBlobTable>();
}

TRecordsListKv::~TRecordsListKv() {
  FDeltaList.clear();
  BeginUpdate();  // nobody listens while the list goes
  Clear();
}

TMTDataStructKv* TRecordsListKv::DataStruct() const { return FMemTableData ? FMemTableData->DataStruct() : nullptr; }

int TRecordsListKv::RecValCount() const {
  const TMTDataStructKv* s = DataStruct();
  return s ? s->Count() : 0;
}

TMemoryRecordKv* TRecordsListKv::GetRec(int Index) const {
  if (Index < 0 || Index >= Count()) IndexError(Index);
  return FTree.At(Index);
}

TMemoryRecordKv* TRecordsListKv::RecordBySerial(int HashCode) const {
  const long long i = static_cast<long long>(HashCode) - FSerialBase;
  if (i < 0 || i >= static_cast<long long>(FBySerial.size())) return nullptr;
  return FBySerial[static_cast<size_t>(i)];
}

bool TRecordsListKv::HasCachedChanges() const {
  for (const TMemoryRecordKv* r : FDeltaList)
    if (r) return true;
  return false;
}

TRowPool& TRecordsListKv::PoolFor(int Count) {
  const size_t slot = sizeof(TMemoryRecordKv) + sizeof(TKvCell) * static_cast<size_t>(Count);
  for (auto& p : FPools)
    if (p->SlotSize() == slot) return *p;
  FPools.push_back(std::make_unique<TRowPool>(slot, 1u << 16, kRecordSlabBytes));
  return *FPools.back();
}

TMemoryRecordKv* TRecordsListKv::MakeRecord(int Count, int HashCode) {
  static_assert(sizeof(TMemoryRecordKv) % alignof(TKvCell) == 0);
  TRowPool& pool = PoolFor(Count);
  const TRowPool::Id id = pool.Alloc();
  auto* rec = new (pool.At(id)) TMemoryRecordKv(this, Count, HashCode);
  rec->FSlot = id;
  rec->FPool = &pool;
  return rec;
}

void TRecordsListKv::DestroyRecord(TMemoryRecordKv* Rec) noexcept {
  if (!Rec) return;
  TKvCell* cells = Rec->MutableCells();
  for (int i = 0; i < Rec->FCount; ++i) TKvCellAccess::Release(cells[i], *FTexts);
  TRowPool* pool = Rec->FPool;
  const TRowPool::Id id = Rec->FSlot;
  Rec->~TMemoryRecordKv();
  pool->Free(id);
}

TMemoryRecordKv* TRecordsListKv::NewRecord() {
  if (FBySerial.size() == FBySerial.capacity()) FBySerial.reserve(std::max<size_t>(1024, FBySerial.size() * 2));
  TMemoryRecordKv* rec = MakeRecord(RecValCount(), FNewHashCode);
  FBySerial.push_back(rec);
  ++FNewHashCode;
  return rec;
}

void TRecordsListKv::ReleaseSerial(TMemoryRecordKv* Rec) {
  const long long i = static_cast<long long>(Rec->FHashCode) - FSerialBase;
  if (i >= 0 && i < static_cast<long long>(FBySerial.size())) FBySerial[static_cast<size_t>(i)] = nullptr;
}

void TRecordsListKv::FreeRecord(TMemoryRecordKv* Rec) {
  if (!Rec || Rec->FAttached) return;
  DropFromDelta(Rec);
  ReleaseSerial(Rec);
  DestroyRecord(Rec);
}

void TRecordsListKv::AddToDelta(TMemoryRecordKv* Rec) {
  Rec->FUpdateIndex = static_cast<int>(FDeltaList.size());
  FDeltaList.push_back(Rec);
}

void TRecordsListKv::DropFromDelta(TMemoryRecordKv* Rec) {
  if (Rec->FUpdateIndex >= 0 && Rec->FUpdateIndex < static_cast<int>(FDeltaList.size()) &&
      FDeltaList[static_cast<size_t>(Rec->FUpdateIndex)] == Rec)
    FDeltaList[static_cast<size_t>(Rec->FUpdateIndex)] = nullptr;
  Rec->FUpdateIndex = -1;
}

int TRecordsListKv::Attach(TMemoryRecordKv* Rec, int Index, bool Fetching, bool Append) {
  if (Rec->FRecordsList != this) throw Exception(u"Record.RecordsList is not the same.");
  if (Rec->FAttached) throw Exception(u"The record is already attached to RecordsList.");
  const int count = Count();
  if (!Append && (Index < 0 || Index > count)) IndexError(Index);
  const int pos = Append ? count : Index;
  // Generated values are in place before anyone hears of the new record (the adding notification too).
  if (!Fetching && FMemTableData) FMemTableData->AssignAutoIncValues(Rec);
  if (FMemTableData) FMemTableData->CalculateFields(Rec);
  Notify(Rec, pos, rlnRecAddingKv);
  FTree.InsertAt(pos, Rec);
  Rec->FAttached = true;
  if (FCachedUpdates && !Fetching) {
    Rec->FUpdateStatus = usInserted;
    if (Rec->FUpdateIndex < 0) AddToDelta(Rec);
  } else {
    Rec->FUpdateStatus = usUnmodified;
  }
  Rec->FEditState = resBrowseKv;
  Notify(Rec, pos, rlnRecAddedKv);
  return pos;
}

int TRecordsListKv::AddRecord(TMemoryRecordKv* Rec) { return Attach(Rec, -1, false, true); }
int TRecordsListKv::InsertRecord(int Index, TMemoryRecordKv* Rec) { return Attach(Rec, Index, false, false); }
int TRecordsListKv::FetchRecord(TMemoryRecordKv* Rec) { return Attach(Rec, -1, true, true); }

void TRecordsListKv::Detach(TMemoryRecordKv* Rec) {
  FTree.Remove(Rec);
  Rec->FAttached = false;
}

void TRecordsListKv::DeleteRecord(int Index) {
  TMemoryRecordKv* rec = GetRec(Index);
  if (FCachedUpdates && rec->FUpdateStatus != usInserted) {
    if (rec->FUpdateStatus == usDeleted) throw Exception(u"Can't MarkDel the Deleted record");
    // A modified record keeps its values from before the change log, so CancelUpdates can bring them
    // back after the delete.
    Notify(rec, Index, rlnRecMarkingForDelKv);
    rec->FUpdateStatus = usDeleted;
    if (rec->FUpdateIndex < 0) AddToDelta(rec);
    Notify(rec, Index, rlnRecMarkedForDelKv);
    return;
  }
  if (FCachedUpdates) DropFromDelta(rec);
  PersistDeleteRecord(Index);
}

void TRecordsListKv::PersistDeleteRecord(int Index) {
  TMemoryRecordKv* rec = GetRec(Index);
  Notify(rec, Index, rlnRecDeletingKv);
  Detach(rec);
  DropFromDelta(rec);
  Notify(rec, Index, rlnRecDeletedKv);
  ReleaseSerial(rec);
  DestroyRecord(rec);
}

void TRecordsListKv::Move(int CurIndex, int NewIndex) {
  if (CurIndex == NewIndex) return;
  TMemoryRecordKv* rec = GetRec(CurIndex);
  if (NewIndex < 0 || NewIndex >= Count()) IndexError(NewIndex);
  FTree.Remove(rec);
  FTree.InsertAt(NewIndex, rec);
  if (FUpdateCount > 0) return;
  FIndexes->RecordMoved(rec, CurIndex, NewIndex);
  if (FMemTableData) FMemTableData->RecordMoved(rec, CurIndex, NewIndex);
}

void TRecordsListKv::Clear() {
  FDeltaList.clear();
  TMemoryRecordKv* cur = FTree.Root();
  FTree.Reset();
  if (!FRecordsOwnParts) {
    // Nothing any record holds lives outside the pools and the text table: both go whole. Records
    // made but not attached (a pending insert) go with them.
    DropStorage();
    cur = nullptr;
  }
  // Children before their parent, climbing back by the parent links: no list of the records is made.
  while (cur) {
    if (TMemoryRecordKv* l = cur->FLeft) {
      cur->FLeft = nullptr;
      cur = l;
    } else if (TMemoryRecordKv* r = cur->FRight) {
      cur->FRight = nullptr;
      cur = r;
    } else {
      TMemoryRecordKv* parent = cur->FParent;
      // The pools and the text table go whole below; only what the record owns besides is freed here.
      cur->FOldData.reset();
      cur->FTmpOldRecValue.reset();
      TKvCell* cells = cur->MutableCells();
      for (int i = 0; i < cur->FCount; ++i)
        if (cells[i].Type == TKvCell::kBoxed) delete cells[i].Boxed;
      cur = parent;
    }
  }
  if (FRecordsOwnParts) {
    // Records made but never attached are freed with the storage too.
    for (TMemoryRecordKv* r : FBySerial)
      if (r && !r->FAttached) {
        r->FOldData.reset();
        r->FTmpOldRecValue.reset();
        TKvCell* cells = r->MutableCells();
        for (int i = 0; i < r->FCount; ++i)
          if (cells[i].Type == TKvCell::kBoxed) delete cells[i].Boxed;
      }
    DropStorage();
  }
  // Every record is gone: serials issued so far resolve to nothing from now on.
  FBySerial.clear();
  FSerialBase = FNewHashCode;
  Notify(nullptr, -1, rlnListChangedKv);
}

void TRecordsListKv::DropStorage() noexcept {
  FPools.clear();
  FTexts = std::make_unique<TBlobTable>();
  FRecordsOwnParts = false;
}

void TRecordsListKv::SortData(const TRecordCompareKv& Compare) {
  const int n = Count();
  if (n == 0) return;
  std::vector<TMemoryRecordKv*> all;
  all.reserve(static_cast<size_t>(n));
  for (TMemoryRecordKv* r = FTree.First(); r; r = TRecordTreeKv::Next(r)) all.push_back(r);
  std::stable_sort(all.begin(), all.end(), [&](TMemoryRecordKv* a, TMemoryRecordKv* b) { return Compare(a, b) < 0; });
  FTree.Reset();
  for (int i = 0; i < n; ++i) FTree.InsertAt(i, all[static_cast<size_t>(i)]);
  Notify(nullptr, -1, rlnListChangedKv);
}

void TRecordsListKv::ReplaceAllValues(std::vector<std::vector<Variant>>& Rows) {
  const int n = Count();
  if (static_cast<int>(Rows.size()) != n) throw Exception(u"Record count mismatch");
  std::vector<TMemoryRecordKv*> old;
  old.reserve(static_cast<size_t>(n));
  for (TMemoryRecordKv* r = FTree.First(); r; r = TRecordTreeKv::Next(r)) old.push_back(r);
  std::vector<TMemoryRecordKv*> made;
  made.reserve(static_cast<size_t>(n));
  try {
    for (int i = 0; i < n; ++i) {
      std::vector<Variant>& row = Rows[static_cast<size_t>(i)];
      TMemoryRecordKv* rec = MakeRecord(static_cast<int>(row.size()), old[static_cast<size_t>(i)]->FHashCode);
      made.push_back(rec);
      for (size_t j = 0; j < row.size(); ++j) rec->StoreValue(static_cast<int>(j), row[j]);
    }
  } catch (...) {
    for (TMemoryRecordKv* r : made) DestroyRecord(r);
    throw;
  }
  FTree.Reset();
  for (int i = 0; i < n; ++i) {
    TMemoryRecordKv* was = old[static_cast<size_t>(i)];
    TMemoryRecordKv* rec = made[static_cast<size_t>(i)];
    rec->FUpdateStatus = was->FUpdateStatus;
    rec->FEditState = resBrowseKv;
    rec->FAttached = true;
    FTree.InsertAt(i, rec);
    const long long slot = static_cast<long long>(rec->FHashCode) - FSerialBase;
    if (slot >= 0 && slot < static_cast<long long>(FBySerial.size())) FBySerial[static_cast<size_t>(slot)] = rec;
    DestroyRecord(was);
  }
}

void TRecordsListKv::CancelUpdates() {
  std::vector<TMemoryRecordKv*> delta;
  delta.swap(FDeltaList);
  for (auto it = delta.rbegin(); it != delta.rend(); ++it) {
    TMemoryRecordKv* rec = *it;
    if (!rec) continue;
    switch (rec->FUpdateStatus) {
      case usModified:
      case usDeleted:
        if (rec->FOldData)
          for (int i = 0; i < rec->FCount; ++i) rec->StoreValue(i, rec->FOldData[i]);
        rec->FOldData.reset();
        rec->FUpdateStatus = usUnmodified;
        rec->FUpdateIndex = -1;
        break;
      case usInserted:
        rec->FUpdateIndex = -1;
        if (rec->FAttached) Detach(rec);
        ReleaseSerial(rec);
        DestroyRecord(rec);
        break;
      default: rec->FUpdateIndex = -1; break;
    }
  }
  Notify(nullptr, -1, rlnListChangedKv);
}

void TRecordsListKv::MergeChangeLog() {
  if (FDeltaList.empty()) return;
  std::vector<TMemoryRecordKv*> delta;
  delta.swap(FDeltaList);
  BeginUpdate();
  for (TMemoryRecordKv* rec : delta) {
    if (!rec) continue;
    rec->FUpdateIndex = -1;
    rec->FOldData.reset();
    if (rec->FUpdateStatus == usDeleted && rec->FAttached) {
      Detach(rec);
      ReleaseSerial(rec);
      DestroyRecord(rec);
      continue;
    }
    rec->FUpdateStatus = usUnmodified;
  }
  EndUpdate();
}

void TRecordsListKv::MergeRecordChange(TMemoryRecordKv* Rec) {
  if (!Rec) return;
  DropFromDelta(Rec);
  Rec->FUpdateIndex = -1;
  Rec->FOldData.reset();
  if (Rec->FUpdateStatus == usDeleted && Rec->FAttached) {
    PersistDeleteRecord(IndexOf(Rec));
    return;
  }
  Rec->FUpdateStatus = usUnmodified;
}

void TRecordsListKv::PackDelta() {
  size_t to = 0;
  for (TMemoryRecordKv* rec : FDeltaList) {
    if (!rec) continue;
    rec->FUpdateIndex = static_cast<int>(to);
    FDeltaList[to++] = rec;
  }
  FDeltaList.resize(to);
}

void TRecordsListKv::EndUpdate() {
  if (FUpdateCount == 0) return;
  if (--FUpdateCount == 0) Notify(nullptr, -1, rlnListChangedKv);
}

void TRecordsListKv::Notify(TMemoryRecordKv* Rec, int Index, TRecordsListNotification Event) {
  if (FUpdateCount > 0) return;
  if (FIndexes->Count() > 0) FIndexes->RecordsListChanged(Rec, Index, Event);
  if (FMemTableData) FMemTableData->DataEvent(Rec, Index, Event);
}
