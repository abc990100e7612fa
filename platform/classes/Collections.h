// Collections: a TCollection owns a list of items of one item class (TCollectionItem descendants). An
// item made with a collection joins it; freeing an item takes it out; the collection frees the rest.
// Component streaming writes a collection property as vaCollection, one property list per item.
#pragma once

#include <vector>

#include "platform/classes/Classes.h"

class TCollection;

class TCollectionItem : public TPersistent {
  VELLUM_CLASS(TCollectionItem)
 public:
  explicit TCollectionItem(TCollection* Collection);
  ~TCollectionItem() override;

  TCollection* Collection() const { return FCollection; }
  // Moves the item to another collection (nullptr: out of any; the caller then owns it).
  void SetCollection(TCollection* Value);
  int ID() const { return FID; }
  int Index() const;
  void SetIndex(int Value);
  virtual String DisplayName() const { return ClassName(); }
  TPersistent* GetOwner() const override;

 protected:
  // Tells the collection this item (or, with AllItems, every item) changed.
  void Changed(bool AllItems);

 private:
  friend class TCollection;
  TCollection* FCollection = nullptr;
  int FID = 0;
};

enum class TCollectionNotification { cnAdded, cnExtracting, cnDeleting };

// The item class: a factory that makes one item in the given collection (`new T(Collection)`).
using TCollectionItemClass = TCollectionItem* (*)(TCollection* Collection);
template <class T>
TCollectionItem* CollectionItemOf(TCollection* Collection) {
  return new T(Collection);
}

class TCollection : public TPersistent {
  VELLUM_CLASS(TCollection)
 public:
  explicit TCollection(TCollectionItemClass ItemClass, TPersistent* Owner = nullptr);
  ~TCollection() override;

  TCollectionItemClass ItemClass() const { return FItemClass; }
  TCollectionItem* Add();
  TCollectionItem* Insert(int Index);
  void Delete(int Index);
  void Clear();
  int Count() const { return static_cast<int>(FItems.size()); }
  TCollectionItem* Items(int Index) const;
  TCollectionItem* FindItemID(int ID) const;
  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return FUpdateCount; }
  TPersistent* Owner() const { return FOwner; }
  TPersistent* GetOwner() const override { return FOwner; }

  // Makes this collection hold copies of Source's items (each made by ItemClass and Assign'ed).
  void Assign(const TPersistent* Source) override;

 protected:
  // Item is the one that changed, nullptr for "all of them"; runs when no update is open.
  virtual void Update(TCollectionItem* Item);
  virtual void Notify(TCollectionItem* Item, TCollectionNotification Action);
  void Changed();

 private:
  friend class TCollectionItem;
  void InsertItem(TCollectionItem* Item);
  void RemoveItem(TCollectionItem* Item);
  void MoveItem(TCollectionItem* Item, int NewIndex);

  TCollectionItemClass FItemClass;
  TPersistent* FOwner;
  std::vector<TCollectionItem*> FItems;  // owned
  int FNextID = 0;
  int FUpdateCount = 0;
  int FInsertIndex = -1;  // where Insert puts the next item that joins
};
