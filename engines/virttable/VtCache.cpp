// Cached updates of the in-memory record set: the change queue, saved records, apply, commit,
// cancel, revert and restore.
#include <cstring>
#include <list>
#include <unordered_map>

#include "engines/virttable/VtData.h"
#include "platform/rtl/Exceptions.h"

namespace vt {

struct TCacheEntry {
  TItemHeader* Item = nullptr;
  std::vector<Byte> Rollback;  // the record before the first update (empty: none)
  std::vector<Byte> Restore;   // the Rollback an apply replaced (empty: none)
};

struct TCacheState {
  std::list<TCacheEntry> Queue;
  std::unordered_map<const TItemHeader*, std::list<TCacheEntry>::iterator> Index;
  std::vector<Byte> NewBuf, OldBuf;
  Byte* OwnerNewBuf = nullptr;  // the owner's buffers, when it handed some over
  Byte* OwnerOldBuf = nullptr;
  Byte* NewData = nullptr;  // the buffers the apply fills now
  Byte* OldData = nullptr;
  bool InProcessing = false;
  int Deleted = 0;  // isDeleted rows still in the list

  TCacheEntry* Find(const TItemHeader* Item) {
    auto it = Index.find(Item);
    return it == Index.end() ? nullptr : &*it->second;
  }
  TCacheEntry& Add(TItemHeader* Item) {
    Queue.push_back(TCacheEntry{Item, {}, {}});
    Index[Item] = std::prev(Queue.end());
    return Queue.back();
  }
};

namespace {
[[noreturn]] void AssertionFailure() { throw Exception(u"Assertion failure"); }

template <class T>
void Store(Byte* p, T v) {
  std::memcpy(p, &v, sizeof v);
}
}  // namespace

// ---- record copies ----

void TMemData::CopyRecordShared(const Byte* Source, std::vector<Byte>& Dest) {
  Dest.assign(Source, Source + FRecordSize);
  if (!FHasComplexFields) return;
  // Texts and variant values get copies of their own, as an edit gives them; blobs are shared (one
  // more reference each) until a change of the row's blob is committed (DetachSavedBlobs).
  CreateComplexFields(Dest.data(), false);
  CopyComplexFields(Source, Dest.data(), false);
  for (const auto& d : FFields)
    if (d->IsBlob() && d->FieldDescKind != fdkCalculated) FObjects.AddRef(LoadSlot<std::uint32_t>(Dest.data() + d->Offset));
}

void TMemData::DetachSavedBlobs(TItemHeader* Item) {
  if (!FCache || !FHasBlobFields) return;
  TCacheEntry* e = FCache->Find(Item);
  if (!e || (e->Rollback.empty() && e->Restore.empty())) return;
  for (const auto& d : FFields) {
    if (!d->IsBlob() || d->FieldDescKind == fdkCalculated) continue;
    const std::uint32_t h = LoadSlot<std::uint32_t>(Item->Record() + d->Offset);
    auto shares = [&](std::vector<Byte>& Copy) {
      return !Copy.empty() && LoadSlot<std::uint32_t>(Copy.data() + d->Offset) == h;
    };
    const bool inRollback = shares(e->Rollback), inRestore = shares(e->Restore);
    if (!h || (!inRollback && !inRestore)) continue;
    auto* blob = static_cast<TBlob*>(FObjects.Get(h));
    if (!blob || !blob->CanRollback()) continue;  // unchanged: still the saved content
    // The saved records keep the content from before the change: the blob's rollback copy becomes a
    // blob of their own.
    std::unique_ptr<TSharedObject> object = FObjects.Pool->Take(blob->IsUnicode());
    auto& fresh = static_cast<TBlob&>(*object);
    if (!blob->MoveRollbackTo(fresh)) {
      blob->SetUseRollback(true);
      try {
        if (!blob->IsNull()) {
          if (d->DataType() == dtWideMemo) fresh.SetAsWideString(blob->AsWideString());
          else fresh.SetAsBytes(blob->AsBytes());
        }
      } catch (...) {
        blob->SetUseRollback(false);
        throw;
      }
      blob->SetUseRollback(false);
      fresh.EnableRollback();
    }
    const std::uint32_t saved = FObjects.Add(std::move(object));
    if (inRollback) {
      Store<std::uint32_t>(e->Rollback.data() + d->Offset, saved);
      FObjects.Release(h);
    }
    if (inRestore) {
      if (inRollback) FObjects.AddRef(saved);
      Store<std::uint32_t>(e->Restore.data() + d->Offset, saved);
      FObjects.Release(h);
    }
  }
}

void TMemData::ReleaseRecordCopy(std::vector<Byte>& Copy) {
  if (Copy.empty()) return;
  FreeComplexFields(Copy.data(), true);
  Copy.clear();
}

void TMemData::RestoreFromRollback(TItemHeader* Item, std::vector<Byte>& Rollback) {
  if (Rollback.empty()) return;
  const int d = FIndexFields.empty() ? 0 : CompareItemRecords(Rollback.data(), Item->Record());
  FreeComplexFields(Item->Record(), true);
  std::memcpy(Item->Record(), Rollback.data(), static_cast<std::size_t>(FRecordSize));
  Rollback.clear();  // its values now belong to the row
  Item->FilterResult = fsNotChecked;
  if (d != 0) {
    TItemHeader* saved = FCurrent;
    const bool bof = FBOF, eof = FEOF;
    FCurrent = Item;
    MoveItemToSortedPlace(d);
    FCurrent = saved;
    FBOF = bof;
    FEOF = eof;
  }
}

// ---- changes while caching ----

void TMemData::SetCachedUpdates(bool Value) {
  if (Value == FCachedUpdates) return;
  if (!Value) CancelUpdates();
  FCachedUpdates = Value;
  if (!FCache) FCache = std::make_shared<TCacheState>();
}

void TMemData::CacheInserted(TItemHeader* Item) {
  if (!FCache) FCache = std::make_shared<TCacheState>();
  Item->Status = isAppended;
  Item->UpdateResult = urNone;
  FCache->Add(Item);
}

void TMemData::CacheBeforeUpdate(TItemHeader* Item) {
  if (!FCache) FCache = std::make_shared<TCacheState>();
  TCacheEntry* e = FCache->Find(Item);
  if (Item->Status == isUnmodified || !e) e = &FCache->Add(Item);
  const bool unappliedInsert = Item->Status == isAppended && Item->UpdateResult != urApplied;
  if (!unappliedInsert) {
    Item->Status = isUpdated;
    if (e->Rollback.empty()) CopyRecordShared(Item->Record(), e->Rollback);
  }
  Item->UpdateResult = urNone;
}

void TMemData::CacheDelete() {
  TItemHeader* item = FCurrent;
  if (!FCache) FCache = std::make_shared<TCacheState>();
  TCacheEntry* e = FCache->Find(item);
  switch (item->Status) {
    case isDeleted: return;
    case isAppended:
      if (item->UpdateResult != urApplied) {
        if (e) {
          ReleaseRecordCopy(e->Rollback);
          ReleaseRecordCopy(e->Restore);
          FCache->Queue.erase(FCache->Index[item]);
          FCache->Index.erase(item);
        }
        DeleteItem(item);
        --FRecordCount;
        return;
      }
      [[fallthrough]];
    case isUpdated:
      if (e) RestoreFromRollback(item, e->Rollback);
      break;
    default:
      if (!e) FCache->Add(item);
      break;
  }
  item->Status = isDeleted;
  item->UpdateResult = urNone;
  item->FilterResult = fsNotChecked;
  ++FCache->Deleted;
  // The row stays (hidden); the cursor moves on to a neighbour.
  FCurrent = item->Next ? item->Next : item->Prev;
  if (!FCurrent) {
    FBOF = FEOF = true;
  }
}

// ---- queue operations ----

bool TMemData::UpdatesPending() const {
  if (!FCache) return false;
  for (const TCacheEntry& e : FCache->Queue)
    if (e.Item->UpdateResult != urApplied) return true;
  return false;
}

int TMemData::DeletedCount() const { return FCache ? FCache->Deleted : 0; }
const Byte* TMemData::NewCacheRecBuf() const { return FCache ? FCache->NewData : nullptr; }
const Byte* TMemData::OldCacheRecBuf() const { return FCache ? FCache->OldData : nullptr; }

void TMemData::SetCacheRecBuf(Byte* NewBuf, Byte* OldBuf) {
  if (!FCache) FCache = std::make_shared<TCacheState>();
  FCache->OwnerNewBuf = NewBuf && OldBuf ? NewBuf : nullptr;
  FCache->OwnerOldBuf = NewBuf && OldBuf ? OldBuf : nullptr;
}

void TMemData::ApplyUpdates(TUpdateRecKinds Kinds) {
  if (!FCachedUpdates || !FCache) return;
  TCacheState& c = *FCache;
  TItemHeader* saved = FCurrent;
  const std::uint64_t savedSerial = saved ? saved->Serial : 0;
  const bool bof = FBOF, eof = FEOF;
  c.InProcessing = true;
  if (c.OwnerNewBuf) {
    c.NewData = c.OwnerNewBuf;
    c.OldData = c.OwnerOldBuf;
  } else {
    c.NewBuf.assign(static_cast<std::size_t>(FRecordSize), 0);
    c.OldBuf.assign(static_cast<std::size_t>(FRecordSize), 0);
    c.NewData = c.NewBuf.data();
    c.OldData = c.OldBuf.data();
  }
  struct TDone {
    TCacheState& C;
    ~TDone() {
      C.InProcessing = false;
      C.NewData = C.OldData = nullptr;
      C.NewBuf.clear();
      C.OldBuf.clear();
    }
  } done{c};
  std::vector<TItemHeader*> group;  // rows answered urSuspended whose result is still open
  auto it = c.Queue.begin();
  auto groupStart = c.Queue.end();
  while (it != c.Queue.end()) {
    TCacheEntry& e = *it;
    TItemHeader* item = e.Item;
    if (item->UpdateResult == urApplied) {
      ++it;
      continue;
    }
    TUpdateRecKind kind;
    switch (item->Status) {
      case isUpdated: kind = ukUpdate; break;
      case isAppended: kind = ukInsert; break;
      case isDeleted: kind = ukDelete; break;
      default: AssertionFailure();
    }
    if ((Kinds & kind) == 0) {
      ++it;
      continue;
    }
    FCurrent = item;
    FBOF = FEOF = false;
    // The new-record buffer is an edit buffer of the row (EditRecord): what the callback writes
    // there is written back as a post would, and nothing of the row changes before that.
    Byte* newBuf = c.NewData;
    std::memcpy(newBuf, item->Record(), static_cast<std::size_t>(FRecordSize));
    EditRecord(newBuf);
    std::memcpy(c.OldData, kind == ukUpdate && !e.Rollback.empty() ? e.Rollback.data() : item->Record(),
                static_cast<std::size_t>(FRecordSize));
    TUpdateResult action = urFail;
    const bool last = std::next(it) == c.Queue.end();
    TItemHeader* const nextItem = last ? nullptr : std::next(it)->Item;
    // The callback may close the record set (then every value went with its tables), or revert or
    // drop the row, which takes its entry out of the queue: the edit is then given up.
    auto entryLives = [&] {
      auto idx = c.Index.find(item);
      return idx != c.Index.end() && &*idx->second == &e;
    };
    try {
      if (OnApplyRecord) OnApplyRecord(kind, action, last);  // an exception leaves the failing row current
    } catch (...) {
      if (FActive) {
        if (entryLives()) CancelRecord(newBuf);
        else FreeComplexFields(newBuf, false);
      }
      throw;
    }
    if (!FActive) return;
    if (!entryLives()) {
      FreeComplexFields(newBuf, false);
      auto idx = nextItem ? c.Index.find(nextItem) : c.Index.end();
      it = idx != c.Index.end() ? idx->second : c.Queue.end();
      continue;
    }
    if (kind == ukDelete) {
      CancelRecord(newBuf);
    } else {
      FCurrent = item;
      FBOF = FEOF = false;
      FinishEdit(newBuf, false);
    }
    if (kind == ukUpdate && action == urApplied && e.Restore.empty()) {
      // The saved state becomes the applied one; the one before is kept for RestoreUpdates.
      e.Restore = std::move(e.Rollback);
      e.Rollback.clear();
      CopyRecordShared(item->Record(), e.Rollback);
    }
    if (action == urSuspended) {
      if (group.empty()) groupStart = it;
      group.push_back(item);
      ++it;
      continue;
    }
    if (action == urRetry) {  // again, from the start of an open group
      if (!group.empty()) it = groupStart;
      group.clear();
      continue;
    }
    for (TItemHeader* g : group) g->UpdateResult = action;
    item->UpdateResult = action;
    group.clear();
    ++it;
  }
  // The current row comes back when it still lives.
  if (saved && saved->Flag == kItemUsed && saved->Serial == savedSerial) {
    FCurrent = saved;
    FBOF = bof;
    FEOF = eof;
  } else if (!saved) {
    FCurrent = nullptr;
    FBOF = bof;
    FEOF = eof;
  }
}

void TMemData::CommitUpdates() {
  if (UpdatesPending()) ApplyUpdates();
  if (!FCache) return;
  TCacheState& c = *FCache;
  c.InProcessing = true;
  for (auto it = c.Queue.begin(); it != c.Queue.end();) {
    TItemHeader* item = it->Item;
    if (item->UpdateResult != urApplied) {
      ++it;
      continue;
    }
    ReleaseRecordCopy(it->Rollback);
    ReleaseRecordCopy(it->Restore);
    c.Index.erase(item);
    it = c.Queue.erase(it);
    if (item->Status == isDeleted) {
      --c.Deleted;
      DeleteItem(item);
      --FRecordCount;
    } else {
      item->Status = isUnmodified;
      item->UpdateResult = urNone;
    }
  }
  c.InProcessing = false;
}


void TMemData::UndoCacheEntry(TCacheEntry& e) {
  TItemHeader* item = e.Item;
  switch (item->Status) {
    case isUpdated: RestoreFromRollback(item, e.Rollback); break;
    case isAppended:
      DeleteItem(item);
      --FRecordCount;
      item = nullptr;
      break;
    case isDeleted: --FCache->Deleted; break;
    default: break;
  }
  if (item) {
    item->Status = isUnmodified;
    item->UpdateResult = urNone;
    item->FilterResult = fsNotChecked;
  }
  ReleaseRecordCopy(e.Rollback);
  ReleaseRecordCopy(e.Restore);
}

void TMemData::CancelUpdates() {
  if (!FCache || FCache->Queue.empty()) return;
  TCacheState& c = *FCache;
  while (!c.Queue.empty()) {
    TCacheEntry e = std::move(c.Queue.front());
    c.Queue.pop_front();
    c.Index.erase(e.Item);
    UndoCacheEntry(e);
  }
}

void TMemData::RevertRecord() {
  if (!FCache || !FCurrent) return;
  TCacheState& c = *FCache;
  auto idx = c.Index.find(FCurrent);
  if (idx == c.Index.end()) return;
  TCacheEntry e = std::move(*idx->second);
  c.Queue.erase(idx->second);
  c.Index.erase(idx);
  UndoCacheEntry(e);
}

void TMemData::RestoreUpdates() {
  if (!FCachedUpdates || !FCache) return;
  for (TCacheEntry& e : FCache->Queue) {
    if (!e.Restore.empty()) {
      ReleaseRecordCopy(e.Rollback);
      e.Rollback = std::move(e.Restore);
      e.Restore.clear();
    }
    e.Item->UpdateResult = urNone;
  }
}

void TMemData::GetOldRecord(Byte* RecBuf) {
  if (!FCurrent) return;
  const TCacheEntry* e = FCache ? FCache->Find(FCurrent) : nullptr;
  const Byte* from = e && !e->Rollback.empty() ? e->Rollback.data() : FCurrent->Record();
  std::memcpy(RecBuf, from, static_cast<std::size_t>(FRecordSize));
}

void TMemData::ClearCache() {
  if (!FCache) return;
  // The saved records' values go with the record set's tables.
  FCache->Queue.clear();
  FCache->Index.clear();
  FCache->Deleted = 0;
}

}  // namespace vt
