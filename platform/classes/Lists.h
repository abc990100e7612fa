// Pointer and object lists: TList holds untyped pointers, TObjectList holds objects and may own them.
// Indexes are checked ("List index out of bounds (%d)", EListError). A descendant hears of every item
// that enters or leaves through Notify; nil items are not announced.
//
// Destruction trap: C++ runs ~TList after a descendant's destructor, when Notify no longer reaches the
// descendant's override. A descendant whose Notify frees items (TObjectList, or any list of its own)
// calls Clear() in its own destructor, as TObjectList does.
#pragma once

#include <functional>
#include <vector>

#include "platform/classes/Classes.h"

enum class TListNotification { lnAdded, lnExtracted, lnDeleted };

class TList : public TObject {
  VELLUM_CLASS(TList)
 public:
  using TListSortCompare = std::function<int(void* Item1, void* Item2)>;

  TList() = default;
  ~TList() override;

  int Add(void* Item);
  void Insert(int Index, void* Item);
  void Delete(int Index);
  // Removes the first occurrence; returns its former index or -1.
  int Remove(void* Item);
  // Takes Item out without announcing it as deleted (an owning list does not free it).
  void* Extract(void* Item);
  void Clear();
  int IndexOf(const void* Item) const;
  void Exchange(int Index1, int Index2);
  void Move(int CurIndex, int NewIndex);
  void* First() const { return Get(0); }
  void* Last() const { return Get(Count() - 1); }
  // Drops the nil items.
  void Pack();
  // A stable sort, so equal items keep their order.
  void Sort(const TListSortCompare& Compare);
  // Makes this list a copy of Source's pointers.
  void Assign(const TList& Source);

  int Count() const { return static_cast<int>(FList.size()); }
  // Growing adds nil items; shrinking deletes from the end (announced).
  void SetCount(int NewCount);
  int Capacity() const { return static_cast<int>(FList.capacity()); }
  void SetCapacity(int NewCapacity);
  void* Get(int Index) const;
  void* Items(int Index) const { return Get(Index); }
  void Put(int Index, void* Item);
  // The items themselves, for loops that must not pay a call per item.
  const std::vector<void*>& List() const { return FList; }

 protected:
  virtual void Notify(void* Ptr, TListNotification Action);
  [[noreturn]] static void Error(int Index);

 private:
  void CheckIndex(int Index) const {
    if (Index < 0 || Index >= Count()) Error(Index);
  }
  std::vector<void*> FList;
};

class TObjectList : public TList {
  VELLUM_CLASS(TObjectList)
 public:
  explicit TObjectList(bool AOwnsObjects = true) : FOwnsObjects(AOwnsObjects) {}
  ~TObjectList() override;

  int Add(TObject* AObject) { return TList::Add(AObject); }
  void Insert(int Index, TObject* AObject) { TList::Insert(Index, AObject); }
  int Remove(TObject* AObject) { return TList::Remove(AObject); }
  TObject* Extract(TObject* Item) { return static_cast<TObject*>(TList::Extract(Item)); }
  int IndexOf(const TObject* AObject) const { return TList::IndexOf(AObject); }
  TObject* Items(int Index) const { return static_cast<TObject*>(Get(Index)); }
  void SetItem(int Index, TObject* AObject) { Put(Index, AObject); }
  TObject* First() const { return static_cast<TObject*>(TList::First()); }
  TObject* Last() const { return static_cast<TObject*>(TList::Last()); }
  bool OwnsObjects() const { return FOwnsObjects; }
  void SetOwnsObjects(bool Value) { FOwnsObjects = Value; }

 protected:
  // An owning list frees an item that is deleted or replaced (not one that is extracted).
  void Notify(void* Ptr, TListNotification Action) override;

 private:
  bool FOwnsObjects;
};
