#include "engines/kv/IndexesKv.h"

#include <climits>

#include "engines/kv/DataStructKv.h"
#include "engines/kv/KvValues.h"
#include "platform/db/DB.h"
#include "platform/rtl/SysUtils.h"

namespace {
[[noreturn]] void NotComparable() { throw Exception(u"TMTIndexKv.FindKeyValueIndex: values is not comparable."); }
}  // namespace

bool TMTIndexKv::TKeyLess::operator()(const TKey& A, const TKey& B) const {
  switch (KvVarCompare(A.Value, B.Value)) {
    case vrLessThan: return true;
    case vrGreaterThan: return false;
    case vrEqual: return A.Serial < B.Serial;
    default: NotComparable();
  }
}

// ---- TMTIndexKv ----------------------------------------------------------------------------------------

TMTIndexKv::TMTIndexKv(TCollection* Collection) : TCollectionItem(Collection) {}

std::unique_ptr<TMTIndexKv> TMTIndexKv::CreateApart(TRecordsListKv* ARecordsList) {
  auto index = std::make_unique<TMTIndexKv>(nullptr);
  index->FRecordsList = ARecordsList;
  return index;
}

TMTIndexKv::~TMTIndexKv() = default;

TRecordsListKv* TMTIndexKv::RecordsList() const {
  if (FRecordsList) return FRecordsList;
  const auto* owner = dynamic_cast<const TMTIndexesKv*>(Collection());
  return owner ? owner->RecList() : nullptr;
}

void TMTIndexKv::SetActive(bool Value) {
  if (FActive == Value) return;
  FActive = Value;
  if (Value) RebuildIndex();
  else ClearIndex();
}

void TMTIndexKv::SetFields(const String& Value) {
  if (FFields == Value) return;
  FFields = Value;
  RebuildIndex();
}

void TMTIndexKv::SetPrimary(bool Value) {
  if (FPrimary == Value) return;
  FPrimary = Value;
  RebuildIndex();
}

void TMTIndexKv::SetUnical(bool Value) {
  if (FUnical == Value) return;
  FUnical = Value;
  RebuildIndex();
}

void TMTIndexKv::ClearIndex() {
  FEntries.clear();
  FKeyOf.clear();
}

void TMTIndexKv::RebuildIndex() {
  ClearIndex();
  FFieldIndexes.clear();
  TRecordsListKv* list = RecordsList();
  if (FFields.empty() || !list || !list->DataStruct()) return;
  FFieldIndexes = list->DataStruct()->FieldsIndex(FFields);
  if (FFieldIndexes.empty()) DatabaseErrorFmt(u"Field '%s' not found", {FFields});
  for (TMemoryRecordKv* r = list->First(); r; r = TRecordsListKv::Next(r)) Insert(r, RecordKey(r, dvvValueKv));
}

Variant TMTIndexKv::RecordKey(const TMemoryRecordKv* Rec, TDataValueVersionKv Version) const {
  if (FFieldIndexes.size() == 1) return Rec->GetDataValue(FFieldIndexes[0], Version);
  Variant key = VarArrayCreate({0, static_cast<int>(FFieldIndexes.size()) - 1}, varVariant);
  for (size_t i = 0; i < FFieldIndexes.size(); ++i)
    VarArrayPut(key, Rec->GetDataValue(FFieldIndexes[i], Version), static_cast<int>(i));
  return key;
}

void TMTIndexKv::Insert(TMemoryRecordKv* Rec, Variant Key) {
  FEntries.insert(TKey{Key, Rec->HashCode(), Rec});
  FKeyOf[Rec] = std::move(Key);
}

void TMTIndexKv::Remove(TMemoryRecordKv* Rec) {
  const auto it = FKeyOf.find(Rec);
  if (it == FKeyOf.end()) return;
  FEntries.erase(TKey{it->second, Rec->HashCode(), Rec});
  FKeyOf.erase(it);
}

TMTIndexKv::TTree::const_iterator TMTIndexKv::LowerBound(const Variant& Value, int& Position) const {
  const TKey probe{Value, INT_MIN, nullptr};
  Position = static_cast<int>(FEntries.order_of_key(probe));
  return FEntries.lower_bound(probe);
}

TIndexItemKv TMTIndexKv::GetItems(int Index) const {
  if (Index < 0 || Index >= Count()) throw EListError(u"List index out of bounds (" + IntToStr(Index) + u")");
  const auto it = FEntries.find_by_order(static_cast<size_t>(Index));
  return TIndexItemKv{it->Value, it->Rec};
}

bool TMTIndexKv::FindKeyValueIndex(const Variant& Value, int& Index) const {
  const auto it = LowerBound(Value, Index);
  return it != FEntries.end() && KvVarCompare(it->Value, Value) == vrEqual;
}

bool TMTIndexKv::FindRecordIndexByKey(const Variant& Value, int& Index) const {
  if (!FindKeyValueIndex(Value, Index)) return false;
  Index = FEntries.find_by_order(static_cast<size_t>(Index))->Rec->Index();
  return true;
}

TMemoryRecordKv* TMTIndexKv::FindRecordByKey(const Variant& Value) const {
  int position = 0;
  const auto it = LowerBound(Value, position);
  return it != FEntries.end() && KvVarCompare(it->Value, Value) == vrEqual ? it->Rec : nullptr;
}

void TMTIndexKv::FillMatchedRecsList(const Variant& Value, std::vector<TMemoryRecordKv*>& List) const {
  int position = 0;
  for (auto it = LowerBound(Value, position); it != FEntries.end() && KvVarCompare(it->Value, Value) == vrEqual; ++it)
    List.push_back(it->Rec);
}

void TMTIndexKv::RecordMoved(TMemoryRecordKv*, int, int) {}

void TMTIndexKv::UniqueViolation(const Variant& Key) const {
  throw EDatabaseError(u"Unique key violation \r\n FieldNames: " + FFields + u"\r\n Value: \"" + KvVarToText(Key) +
                       u"\"");
}

void TMTIndexKv::RecordsListChanged(TMemoryRecordKv* Rec, int, TRecordsListNotification Event) {
  if (!FActive || FFields.empty()) return;
  switch (Event) {
    case rlnRecAddingKv:
      if (Unique()) {
        const Variant key = RecordKey(Rec, dvvValueKv);
        if (FindRecordByKey(key)) UniqueViolation(key);
      }
      return;
    case rlnRecAddedKv: Insert(Rec, RecordKey(Rec, dvvValueKv)); return;
    case rlnRecChangingKv:
      FOldValue = RecordKey(Rec, dvvCurValueKv);
      if (Unique()) {
        const Variant key = RecordKey(Rec, dvvValueKv);
        if (KvVarCompare(key, FOldValue) != vrEqual) {
          std::vector<TMemoryRecordKv*> same;
          FillMatchedRecsList(key, same);
          for (TMemoryRecordKv* r : same)
            if (r != Rec) UniqueViolation(key);
        }
      }
      return;
    case rlnRecChangedKv: {
      // Found by the record itself: a change may come without a changing notification before it.
      Variant key = RecordKey(Rec, dvvValueKv);
      Remove(Rec);
      Insert(Rec, std::move(key));
      return;
    }
    case rlnRecDeletedKv:
    case rlnRecMarkedForDelKv: Remove(Rec); return;
    case rlnListChangedKv: RebuildIndex(); return;
    default: return;
  }
}

// ---- TMTIndexesKv --------------------------------------------------------------------------------------

TMTIndexesKv::TMTIndexesKv(TRecordsListKv* ARecList)
    : TCollection(&CollectionItemOf<TMTIndexKv>, ARecList), FRecList(ARecList) {}

void TMTIndexesKv::Rebind(TRecordsListKv* ARecList) {
  FRecList = ARecList;
}

TMTIndexKv* TMTIndexesKv::GetIndexForFields(std::u16string_view FieldNames) const {
  for (int i = 0; i < Count(); ++i)
    if (SameText(GetItem(i)->Fields(), FieldNames)) return GetItem(i);
  return nullptr;
}

void TMTIndexesKv::RecordsListChanged(TMemoryRecordKv* Rec, int Index, TRecordsListNotification Event) {
  for (int i = 0; i < Count(); ++i) GetItem(i)->RecordsListChanged(Rec, Index, Event);
}

void TMTIndexesKv::RecordMoved(TMemoryRecordKv* Rec, int OldIndex, int NewIndex) {
  for (int i = 0; i < Count(); ++i) GetItem(i)->RecordMoved(Rec, OldIndex, NewIndex);
}
