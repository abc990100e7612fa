// Moving records by drag operations: the stored order of the records list changes; in tree mode the
// moved record also takes a new parent reference (a sibling's parent, or the target's own key).
#include <algorithm>
#include <cstring>

#include "engines/kv/MemTableKv.h"
#include "platform/rtl/SysUtils.h"

namespace {
enum { kPlaceAfter, kPlaceBefore, kPlaceChild };
}

bool TCustomMemTableKv::PlaceTreeNode(TMemRecViewKv* Source, TMemRecViewKv* Target, int Mode, bool CheckOnly,
                                      bool& Refused) {
  TMemoryTreeListKv* tree = Tree();
  TMemoryRecordKv* src = Source->Rec();
  TMemoryRecordKv* tgt = Target->Rec();
  const Variant newRef = Mode == kPlaceChild ? tree->KeyOf(tgt) : tree->RefOf(tgt);
  const int srcIndex = src->Index(), tgtIndex = tgt->Index();
  int appointedIndex = 0;
  TBaseTreeNodeKv* appointedParent = Target;
  if (Mode != kPlaceChild) {
    appointedParent = Target->Parent();
    appointedIndex = Mode == kPlaceAfter ? tgtIndex + (srcIndex >= tgtIndex ? 1 : 0) : tgtIndex - (srcIndex < tgtIndex ? 1 : 0);
  }
  if (OnRecordsViewCheckMoveNode && !OnRecordsViewCheckMoveNode(this, Source, appointedParent, appointedIndex)) {
    Refused = true;
    return false;
  }
  if (CheckOnly) return !tree->CheckReferenceLoop(src, newRef);
  // The new reference goes into the record's parent-reference fields.
  std::vector<int> refFields;
  const String& names = FRecordsView->TreeViewRefParentFieldName();
  size_t pos = 0;
  for (String name = ExtractFieldName(names, pos); !name.empty(); name = ExtractFieldName(names, pos))
    refFields.push_back(FRecordsView->MemTableData()->DataStruct()->FieldIndex(name));
  src->Edit();
  try {
    for (size_t i = 0; i < refFields.size(); ++i) {
      if (refFields[i] < 0) continue;
      const Variant v = refFields.size() == 1 || !newRef.IsArray()
                            ? newRef
                            : VarArrayGet(newRef, VarArrayLowBound(newRef, 1) + static_cast<int>(i));
      src->SetDataValue(refFields[i], dvvValueKv, v.IsEmpty() ? Variant(Null()) : v);
    }
    src->Post();
  } catch (const Exception&) {
    // A reference loop (or a refused value) leaves the record as it was.
    if (src->EditState() == resEditKv) src->Cancel();
    Refused = true;
    return false;
  }
  if (Mode != kPlaceChild) {
    const int from = src->Index(), to = tgt->Index();
    const int dest = Mode == kPlaceAfter ? (from < to ? to : to + 1) : (from < to ? to - 1 : to);
    const int last = FRecordsView->List()->Count() - 1;
    if (from != std::clamp(dest, 0, last)) FRecordsView->List()->Move(from, std::clamp(dest, 0, last));
  }
  return true;
}

bool TCustomMemTableKv::MoveRecord(int FromIndex, int ToIndex, int TreeLevel, bool CheckOnly) {
  if (!Active()) return false;
  const int count = FRecordsView->ViewItemsCount();
  if (FromIndex < 0 || FromIndex >= count || ToIndex < 0 || ToIndex > count) return false;
  const TRecordsViewUpdate update(this);
  if (FRecordsView->ViewAsTreeList()) {
    if (!CheckOnly) CheckBrowseMode();
    TMemoryRecordKv* current = CheckOnly ? nullptr : Rec();
    TMemoryTreeListKv* tree = Tree();
    TMemRecViewKv* source = tree->GetVisibleExpandedItem(FromIndex);
    TMemRecViewKv* before = nullptr;
    TMemRecViewKv* after = nullptr;
    if (FromIndex < ToIndex) {
      before = ToIndex < count ? tree->GetVisibleExpandedItem(ToIndex) : nullptr;
      after = ToIndex + 1 < count - 1 ? tree->GetVisibleExpandedItem(ToIndex + 1) : nullptr;
    } else {
      before = ToIndex > 0 ? tree->GetVisibleExpandedItem(ToIndex - 1) : nullptr;
      after = ToIndex < count ? tree->GetVisibleExpandedItem(ToIndex) : nullptr;
    }
    TMemRecViewKv* target = nullptr;
    int mode = kPlaceAfter;
    if (before && before->Level() == TreeLevel) {
      target = before;
    } else if (after && after->Level() == TreeLevel) {
      target = after;
      mode = kPlaceBefore;
    } else if (before && before->Level() < TreeLevel) {
      target = before;
      mode = kPlaceChild;
    } else if (before && before->Level() > TreeLevel) {
      TBaseTreeNodeKv* n = before;
      while (n->Level() > TreeLevel) {
        if (n->Parent() == tree->Root()) return true;  // no ancestor at that level: nothing moves
        n = n->Parent();
      }
      target = static_cast<TMemRecViewKv*>(n);
    }
    if (!target || target == source) return true;
    bool refused = false;
    bool result;
    if (CheckOnly) return PlaceTreeNode(source, target, mode, true, refused);
    DisableControls();
    try {
      result = PlaceTreeNode(source, target, mode, false, refused);
      SetToMemRecordQuiet(current);
      Resync(0);
    } catch (...) {
      EnableControls();
      throw;
    }
    EnableControls();
    return result;
  }
  if (CheckOnly) return true;
  CheckBrowseMode();
  TRecordsListKv* list = FRecordsView->List();
  TMemoryRecordKv* current = Rec();
  const int from = list->IndexOf(FRecordsView->GetRec(FromIndex));
  const int to = ToIndex == count ? list->Count() - 1 : list->IndexOf(FRecordsView->GetRec(ToIndex));
  if (from < 0 || to < 0) return false;
  list->Move(from, to);
  if (current) {
    const int row = FRecordsView->IndexOfRec(current);
    if (row >= 0) FRecordPos = row;
  }
  Resync(0);
  return true;
}

bool TCustomMemTableKv::MoveRecords(std::vector<TBookmark>& BookmarkList, int ToRecNo, int TreeLevel, bool CheckOnly) {
  if (!Active()) return false;
  const TRecordsListKv* list = FRecordsView->List();
  std::vector<TMemoryRecordKv*> recs;
  for (const TBookmark& b : BookmarkList) {
    if (b.size() != sizeof(TBookmarkDataKv)) continue;
    TBookmarkDataKv d;
    std::memcpy(&d, b.data(), sizeof d);
    if (TMemoryRecordKv* r = list->RecordBySerial(d.Serial)) recs.push_back(r);
  }
  std::sort(recs.begin(), recs.end(), [](TMemoryRecordKv* a, TMemoryRecordKv* b) { return a->Index() < b->Index(); });
  bool result = true;
  int toRow = ToRecNo - 1;
  if (!CheckOnly) DisableControls();
  try {
    for (size_t k = recs.size(); k-- > 0 && result;) {
      const int fromIndex = FRecordsView->IndexOfRec(recs[k]);
      if (k + 1 < recs.size() && fromIndex < toRow) --toRow;
      result = MoveRecord(fromIndex, toRow, TreeLevel, CheckOnly);
    }
  } catch (...) {
    if (!CheckOnly) EnableControls();
    throw;
  }
  if (!CheckOnly) {
    EnableControls();
    BookmarkList.clear();
    for (TMemoryRecordKv* r : recs) BookmarkList.push_back(RecToBookmark(r));
    std::sort(BookmarkList.begin(), BookmarkList.end(),
              [this](const TBookmark& a, const TBookmark& b) { return CompareBookmarks(a, b) < 0; });
  }
  return result;
}
