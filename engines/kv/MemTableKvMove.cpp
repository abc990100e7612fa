// Moving records by drag operations: the stored order of the records list changes.
#include <algorithm>
#include <cstring>

#include "engines/kv/MemTableKv.h"

bool TCustomMemTableKv::MoveRecord(int FromIndex, int ToIndex, int TreeLevel, bool CheckOnly) {
  (void)TreeLevel;
  if (!Active()) return false;
  const int count = FRecordsView->ViewItemsCount();
  if (FromIndex < 0 || FromIndex >= count || ToIndex < 0 || ToIndex > count) return false;
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
  for (size_t k = recs.size(); k-- > 0 && result;) {
    const int fromIndex = FRecordsView->IndexOfRec(recs[k]);
    if (k + 1 < recs.size() && fromIndex < toRow) --toRow;
    result = MoveRecord(fromIndex, toRow, TreeLevel, CheckOnly);
  }
  if (!CheckOnly) {
    BookmarkList.clear();
    for (TMemoryRecordKv* r : recs) BookmarkList.push_back(RecToBookmark(r));
    std::sort(BookmarkList.begin(), BookmarkList.end(),
              [this](const TBookmark& a, const TBookmark& b) { return CompareBookmarks(a, b) < 0; });
  }
  return result;
}
