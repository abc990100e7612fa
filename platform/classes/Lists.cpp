#include "platform/classes/Lists.h"

#include <algorithm>

#include "platform/rtl/Format.h"

TList::~TList() { Clear(); }

void TList::Error(int Index) { throw EListError(Format(msg::SListIndexError, {Index})); }

int TList::Add(void* Item) {
  FList.push_back(Item);
  if (Item != nullptr) Notify(Item, TListNotification::lnAdded);
  return Count() - 1;
}

void TList::Insert(int Index, void* Item) {
  if (Index < 0 || Index > Count()) Error(Index);
  FList.insert(FList.begin() + Index, Item);
  if (Item != nullptr) Notify(Item, TListNotification::lnAdded);
}

void TList::Delete(int Index) {
  CheckIndex(Index);
  void* item = FList[static_cast<size_t>(Index)];
  FList.erase(FList.begin() + Index);
  if (item != nullptr) Notify(item, TListNotification::lnDeleted);
}

int TList::Remove(void* Item) {
  const int index = IndexOf(Item);
  if (index >= 0) Delete(index);
  return index;
}

void* TList::Extract(void* Item) {
  const int index = IndexOf(Item);
  if (index < 0) return nullptr;
  FList.erase(FList.begin() + index);
  if (Item != nullptr) Notify(Item, TListNotification::lnExtracted);
  return Item;
}

void TList::Clear() {
  SetCount(0);
  FList.shrink_to_fit();
}

int TList::IndexOf(const void* Item) const {
  auto it = std::find(FList.begin(), FList.end(), Item);
  return it == FList.end() ? -1 : static_cast<int>(it - FList.begin());
}

void TList::Exchange(int Index1, int Index2) {
  CheckIndex(Index1);
  CheckIndex(Index2);
  std::swap(FList[static_cast<size_t>(Index1)], FList[static_cast<size_t>(Index2)]);
}

void TList::Move(int CurIndex, int NewIndex) {
  if (CurIndex == NewIndex) return;
  CheckIndex(CurIndex);
  CheckIndex(NewIndex);
  void* item = FList[static_cast<size_t>(CurIndex)];
  FList.erase(FList.begin() + CurIndex);
  FList.insert(FList.begin() + NewIndex, item);
}

void TList::Pack() { FList.erase(std::remove(FList.begin(), FList.end(), nullptr), FList.end()); }

void TList::Sort(const TListSortCompare& Compare) {
  std::stable_sort(FList.begin(), FList.end(), [&](void* a, void* b) { return Compare(a, b) < 0; });
}

void TList::Assign(const TList& Source) {
  if (&Source == this) return;
  Clear();
  FList.reserve(Source.FList.size());
  for (void* p : Source.FList) Add(p);
}

void TList::SetCount(int NewCount) {
  if (NewCount < 0) Error(NewCount);
  // From the end, one at a time: a descendant's Notify may look at the list while items leave it.
  while (Count() > NewCount) Delete(Count() - 1);
  if (NewCount > Count()) FList.resize(static_cast<size_t>(NewCount), nullptr);
}

void TList::SetCapacity(int NewCapacity) {
  if (NewCapacity < Count()) Error(NewCapacity);
  if (static_cast<size_t>(NewCapacity) > FList.capacity())
    FList.reserve(static_cast<size_t>(NewCapacity));
  else
    FList.shrink_to_fit();
}

void* TList::Get(int Index) const {
  CheckIndex(Index);
  return FList[static_cast<size_t>(Index)];
}

void TList::Put(int Index, void* Item) {
  CheckIndex(Index);
  void* old = FList[static_cast<size_t>(Index)];
  if (old == Item) return;
  FList[static_cast<size_t>(Index)] = Item;
  if (old != nullptr) Notify(old, TListNotification::lnDeleted);
  if (Item != nullptr) Notify(Item, TListNotification::lnAdded);
}

void TList::Notify(void*, TListNotification) {}

TObjectList::~TObjectList() { Clear(); }

void TObjectList::Notify(void* Ptr, TListNotification Action) {
  if (FOwnsObjects && Action == TListNotification::lnDeleted) delete static_cast<TObject*>(Ptr);
  TList::Notify(Ptr, Action);
}
