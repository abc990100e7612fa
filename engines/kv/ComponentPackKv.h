// Small helpers the Kv table shares with the grid side of the component pack: named string variables
// (the SQL driver's macros), a list of selected rows kept as bookmarks, and the dataset-features registry
// (per dataset class, how a field of that class becomes a Kv field descriptor).
//
// These are thin: they hold what the table and its drivers read and nothing of the grid itself.
#pragma once

#include <functional>
#include <utility>
#include <vector>

#include "platform/db/DataSet.h"

class TMTDataStructKv;
class TMTDataFieldKv;

// Named text values in collection order; names compare without regard to case. OnChange runs after
// every change.
class TStringVarsKv {
 public:
  int Count() const { return static_cast<int>(FItems.size()); }
  const std::pair<String, String>& Items(int Index) const { return FItems.at(static_cast<size_t>(Index)); }
  int IndexOf(const String& Name) const;
  // Empty when absent.
  String Value(const String& Name) const;
  // Adds the variable when absent.
  void SetValue(const String& Name, const String& Value);
  void Delete(int Index);
  void Clear();
  void Assign(const TStringVarsKv& Source);
  bool operator==(const TStringVarsKv& Other) const { return FItems == Other.FItems; }
  std::function<void()> OnChange;

 private:
  void Changed() {
    if (OnChange) OnChange();
  }
  std::vector<std::pair<String, String>> FItems;
};

// Rows chosen in a grid, as bookmarks of one dataset, kept in the dataset's bookmark order (so the table
// can move them as a block). Bookmarks whose record is gone are dropped by Validate.
class TBookmarkListKv {
 public:
  explicit TBookmarkListKv(TDataSet* ADataSet) : FDataSet(ADataSet) {}
  TDataSet* DataSet() const { return FDataSet; }
  int Count() const { return static_cast<int>(FList.size()); }
  const TBookmark& Items(int Index) const { return FList.at(static_cast<size_t>(Index)); }
  std::vector<TBookmark>& List() { return FList; }
  // Whether the dataset's current row is in the list; setting adds or removes it.
  bool CurrentRowSelected() const;
  void SetCurrentRowSelected(bool Value);
  // The index of Bookmark (by the dataset's comparison), or -1; Index is where it stands or would go.
  bool Find(const TBookmark& Bookmark, int& Index) const;
  void Clear() { FList.clear(); }
  // Drops the bookmarks the dataset no longer knows; returns whether any went.
  bool Validate();
  // Restores the order after the dataset moved rows.
  void Sort();

 private:
  TDataSet* FDataSet;
  std::vector<TBookmark> FList;
};

// The dataset-features registry: an entry per dataset class builds the Kv descriptor of a field of a
// dataset of that class (or of a class derived from it; the nearest registered class wins). Nothing is
// registered by default: fields are then copied by their type and properties.
using TBuildFieldDescriptorKv = std::function<TMTDataFieldKv*(TMTDataStructKv* Struct, TField* Field)>;

namespace dataset_features_detail {
struct Entry {
  bool (*Matches)(const TDataSet* DataSet);
  void (*Thrower)();
  bool (*Catcher)(void (*)());
  TBuildFieldDescriptorKv Build;
};
template <class T>
bool Matches(const TDataSet* DataSet) {
  return dynamic_cast<const T*>(DataSet) != nullptr;
}
template <class T>
void Throw() {
  throw static_cast<T*>(nullptr);
}
template <class T>
bool Catch(void (*Thrower)()) {
  try {
    Thrower();
  } catch (T*) {
    return true;
  } catch (...) {
  }
  return false;
}
void Register(Entry Item);
}  // namespace dataset_features_detail

// Registers (or replaces) the entry of dataset class T.
template <class T>
void RegisterDataSetFeaturesKv(TBuildFieldDescriptorKv Build) {
  dataset_features_detail::Register({&dataset_features_detail::Matches<T>, &dataset_features_detail::Throw<T>,
                                     &dataset_features_detail::Catch<T>, std::move(Build)});
}
template <class T>
void UnregisterDataSetFeaturesKv() {
  dataset_features_detail::Register({&dataset_features_detail::Matches<T>, &dataset_features_detail::Throw<T>,
                                     &dataset_features_detail::Catch<T>, nullptr});
}
// The builder of the registered class nearest to DataSet's class, or nullptr.
const TBuildFieldDescriptorKv* DataSetFeaturesKv(const TDataSet* DataSet);
