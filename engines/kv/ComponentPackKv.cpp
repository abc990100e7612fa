#include "engines/kv/ComponentPackKv.h"

#include <algorithm>

#include "platform/rtl/SysUtils.h"

// ---- named string variables ------------------------------------------------------------------------------

int TStringVarsKv::IndexOf(const String& Name) const {
  for (size_t i = 0; i < FItems.size(); ++i)
    if (SameText(FItems[i].first, Name)) return static_cast<int>(i);
  return -1;
}

String TStringVarsKv::Value(const String& Name) const {
  const int i = IndexOf(Name);
  return i < 0 ? String() : FItems[static_cast<size_t>(i)].second;
}

void TStringVarsKv::SetValue(const String& Name, const String& Value) {
  const int i = IndexOf(Name);
  if (i >= 0) FItems[static_cast<size_t>(i)].second = Value;
  else FItems.emplace_back(Name, Value);
  Changed();
}

void TStringVarsKv::Delete(int Index) {
  FItems.erase(FItems.begin() + (&Items(Index) - FItems.data()));
  Changed();
}

void TStringVarsKv::Clear() {
  FItems.clear();
  Changed();
}

void TStringVarsKv::Assign(const TStringVarsKv& Source) {
  if (&Source == this) return;
  FItems = Source.FItems;
  Changed();
}

// ---- bookmark list ---------------------------------------------------------------------------------------

bool TBookmarkListKv::Find(const TBookmark& Bookmark, int& Index) const {
  auto it = std::lower_bound(FList.begin(), FList.end(), Bookmark,
                             [this](const TBookmark& a, const TBookmark& b) { return FDataSet->CompareBookmarks(a, b) < 0; });
  Index = static_cast<int>(it - FList.begin());
  return it != FList.end() && FDataSet->CompareBookmarks(*it, Bookmark) == 0;
}

bool TBookmarkListKv::CurrentRowSelected() const {
  if (!FDataSet || !FDataSet->Active() || FDataSet->IsEmpty()) return false;
  int index;
  return Find(FDataSet->GetBookmark(), index);
}

void TBookmarkListKv::SetCurrentRowSelected(bool Value) {
  if (!FDataSet || !FDataSet->Active() || FDataSet->IsEmpty()) return;
  TBookmark current = FDataSet->GetBookmark();
  int index;
  const bool found = Find(current, index);
  if (Value && !found) FList.insert(FList.begin() + index, std::move(current));
  else if (!Value && found) FList.erase(FList.begin() + index);
}

bool TBookmarkListKv::Validate() {
  const size_t before = FList.size();
  std::erase_if(FList, [this](const TBookmark& b) { return !FDataSet->BookmarkValid(b); });
  return FList.size() != before;
}

void TBookmarkListKv::Sort() {
  std::stable_sort(FList.begin(), FList.end(),
                   [this](const TBookmark& a, const TBookmark& b) { return FDataSet->CompareBookmarks(a, b) < 0; });
}

// ---- dataset-features registry ---------------------------------------------------------------------------

namespace {
std::vector<dataset_features_detail::Entry>& Registry() {
  static std::vector<dataset_features_detail::Entry> entries;
  return entries;
}
}  // namespace

void dataset_features_detail::Register(Entry Item) {
  auto& entries = Registry();
  // The same class replaces its entry (each catches the other's throw only when they are one class).
  auto it = std::find_if(entries.begin(), entries.end(),
                         [&](const Entry& e) { return e.Catcher(Item.Thrower) && Item.Catcher(e.Thrower); });
  if (it != entries.end()) entries.erase(it);
  if (Item.Build) entries.push_back(std::move(Item));
}

const TBuildFieldDescriptorKv* DataSetFeaturesKv(const TDataSet* DataSet) {
  if (!DataSet) return nullptr;
  const dataset_features_detail::Entry* best = nullptr;
  for (const auto& e : Registry()) {
    if (!e.Matches(DataSet)) continue;
    // Every match is a base of the dataset's class; the nearest derives from the others.
    if (!best || best->Catcher(e.Thrower)) best = &e;
  }
  return best ? &best->Build : nullptr;
}
