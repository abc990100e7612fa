#include "platform/classes/Collections.h"

#include <algorithm>

#include "platform/classes/UpdateBatch.h"
#include "platform/rtl/Format.h"

using classes_detail::WithinUpdate;

TCollectionItem::TCollectionItem(TCollection* Collection) { SetCollection(Collection); }

TCollectionItem::~TCollectionItem() {
  if (FCollection != nullptr) FCollection->RemoveItem(this);
}

void TCollectionItem::SetCollection(TCollection* Value) {
  if (FCollection == Value) return;
  if (FCollection != nullptr) FCollection->RemoveItem(this);
  if (Value != nullptr) Value->InsertItem(this);
}

int TCollectionItem::Index() const {
  if (FCollection == nullptr) return -1;
  const auto& items = FCollection->FItems;
  auto it = std::find(items.begin(), items.end(), this);
  return it == items.end() ? -1 : static_cast<int>(it - items.begin());
}

void TCollectionItem::SetIndex(int Value) {
  if (FCollection != nullptr && Value != Index()) FCollection->MoveItem(this, Value);
}

TPersistent* TCollectionItem::GetOwner() const { return FCollection; }

void TCollectionItem::Changed(bool AllItems) {
  if (FCollection != nullptr && FCollection->FUpdateCount == 0) FCollection->Update(AllItems ? nullptr : this);
}

TCollection::TCollection(TCollectionItemClass ItemClass, TPersistent* Owner)
    : FItemClass(ItemClass), FOwner(Owner) {}

TCollection::~TCollection() {
  // Items leave one by one from the end; Update/Notify overrides of a descendant are gone by now, so
  // nothing is announced.
  FUpdateCount = 1;
  while (!FItems.empty()) {
    TCollectionItem* item = FItems.back();
    FItems.pop_back();
    item->FCollection = nullptr;
    delete item;
  }
}

TCollectionItem* TCollection::Add() {
  if (FItemClass == nullptr) throw EInvalidOperation(u"Collection has no item class");
  TCollectionItem* item = FItemClass(this);
  if (item->FCollection != this) item->SetCollection(this);
  return item;
}

TCollectionItem* TCollection::Insert(int Index) {
  if (Index < 0 || Index > Count()) throw EListError(Format(msg::SListIndexError, {Index}));
  FInsertIndex = Index;
  TCollectionItem* item = nullptr;
  try {
    item = Add();
  } catch (...) {
    FInsertIndex = -1;
    throw;
  }
  FInsertIndex = -1;
  return item;
}

void TCollection::Delete(int Index) { delete Items(Index); }

void TCollection::Clear() {
  if (FItems.empty()) return;
  WithinUpdate(*this, [&] {
    while (!FItems.empty()) delete FItems.back();
  });
}

TCollectionItem* TCollection::Items(int Index) const {
  if (Index < 0 || Index >= Count()) throw EListError(Format(msg::SListIndexError, {Index}));
  return FItems[static_cast<size_t>(Index)];
}

TCollectionItem* TCollection::FindItemID(int ID) const {
  for (TCollectionItem* item : FItems)
    if (item->FID == ID) return item;
  return nullptr;
}

void TCollection::BeginUpdate() { ++FUpdateCount; }

void TCollection::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0) Changed();
}

void TCollection::Changed() {
  if (FUpdateCount == 0) Update(nullptr);
}

void TCollection::Update(TCollectionItem*) {}
void TCollection::Notify(TCollectionItem*, TCollectionNotification) {}

void TCollection::Assign(const TPersistent* Source) {
  if (const auto* other = dynamic_cast<const TCollection*>(Source)) {
    if (other == this) return;
    WithinUpdate(*this, [&] {
      Clear();
      for (TCollectionItem* item : other->FItems) Add()->Assign(item);
    });
    return;
  }
  TPersistent::Assign(Source);
}

void TCollection::InsertItem(TCollectionItem* Item) {
  if (FInsertIndex >= 0 && FInsertIndex <= Count())
    FItems.insert(FItems.begin() + FInsertIndex, Item);
  else
    FItems.push_back(Item);
  FInsertIndex = -1;
  Item->FCollection = this;
  Item->FID = FNextID++;
  Notify(Item, TCollectionNotification::cnAdded);
  Changed();
}

void TCollection::RemoveItem(TCollectionItem* Item) {
  Notify(Item, TCollectionNotification::cnExtracting);
  FItems.erase(std::remove(FItems.begin(), FItems.end(), Item), FItems.end());
  Item->FCollection = nullptr;
  Changed();
}

void TCollection::MoveItem(TCollectionItem* Item, int NewIndex) {
  if (NewIndex < 0 || NewIndex >= Count()) throw EListError(Format(msg::SListIndexError, {NewIndex}));
  FItems.erase(std::remove(FItems.begin(), FItems.end(), Item), FItems.end());
  FItems.insert(FItems.begin() + NewIndex, Item);
  Changed();
}
