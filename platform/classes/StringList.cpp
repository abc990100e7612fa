#include "platform/classes/StringList.h"

#include <algorithm>

#include "platform/classes/ComponentStreaming.h"
#include "platform/classes/UpdateBatch.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

using classes_detail::WithinUpdate;

// ---- TStrings -----------------------------------------------------------------------------------------

void TStrings::Error(int Index) { throw EListError(Format(msg::SListIndexError, {Index})); }

void TStrings::Put(int Index, const String& S) {
  TObject* object = GetObject(Index);
  Delete(Index);
  InsertObject(Index, S, object);
}

TObject* TStrings::GetObject(int) const { return nullptr; }
void TStrings::PutObject(int, TObject*) {}

int TStrings::Add(const String& S) {
  const int index = Count();
  Insert(index, S);
  return index;
}

int TStrings::AddObject(const String& S, TObject* AObject) {
  const int index = Add(S);
  PutObject(index, AObject);
  return index;
}

void TStrings::InsertObject(int Index, const String& S, TObject* AObject) {
  Insert(Index, S);
  PutObject(Index, AObject);
}

void TStrings::AddStrings(const TStrings& Strings) {
  WithinUpdate(*this, [&] {
    for (int i = 0; i < Strings.Count(); ++i) AddObject(Strings.Get(i), Strings.GetObject(i));
  });
}

int TStrings::CompareStrings(const String& S1, const String& S2) const { return CompareText(S1, S2); }

int TStrings::IndexOf(const String& S) const {
  for (int i = 0; i < Count(); ++i)
    if (CompareStrings(Get(i), S) == 0) return i;
  return -1;
}

int TStrings::IndexOfName(const String& Name) const {
  for (int i = 0; i < Count(); ++i) {
    const String s = Get(i);
    const size_t eq = s.find(u'=');
    if (eq != String::npos && CompareStrings(s.substr(0, eq), Name) == 0) return i;
  }
  return -1;
}

int TStrings::IndexOfObject(const TObject* AObject) const {
  for (int i = 0; i < Count(); ++i)
    if (GetObject(i) == AObject) return i;
  return -1;
}

void TStrings::Exchange(int Index1, int Index2) {
  const String s1 = Get(Index1), s2 = Get(Index2);
  TObject* o1 = GetObject(Index1);
  TObject* o2 = GetObject(Index2);
  Put(Index1, s2);
  PutObject(Index1, o2);
  Put(Index2, s1);
  PutObject(Index2, o1);
}

void TStrings::Move(int CurIndex, int NewIndex) {
  if (CurIndex == NewIndex) return;
  const String s = Get(CurIndex);
  TObject* o = GetObject(CurIndex);
  WithinUpdate(*this, [&] {
    Delete(CurIndex);
    InsertObject(NewIndex, s, o);
  });
}

bool TStrings::Equals(const TStrings& Strings) const {
  if (Count() != Strings.Count()) return false;
  for (int i = 0; i < Count(); ++i)
    if (Get(i) != Strings.Get(i)) return false;
  return true;
}

String TStrings::Text() const {
  String result;
  for (int i = 0; i < Count(); ++i) {
    result += Get(i);
    result += FLineBreak;
  }
  return result;
}

void TStrings::SetText(const String& Value) {
  WithinUpdate(*this, [&] {
    Clear();
    size_t start = 0;
    const size_t n = Value.size();
    while (start < n) {
      size_t end = start;
      while (end < n && Value[end] != u'\r' && Value[end] != u'\n') ++end;
      Add(Value.substr(start, end - start));
      if (end < n && Value[end] == u'\r') ++end;
      if (end < n && Value[end] == u'\n') ++end;
      start = end;
    }
  });
}

String TStrings::CommaText() const {
  String result;
  for (int i = 0; i < Count(); ++i) {
    const String s = Get(i);
    const bool quote = s.empty() || std::any_of(s.begin(), s.end(), [](char16_t c) {
      return c <= u' ' || c == u',' || c == u'"';
    });
    if (i > 0) result += u',';
    if (!quote) {
      result += s;
      continue;
    }
    result += u'"';
    for (char16_t c : s) {
      if (c == u'"') result += u'"';
      result += c;
    }
    result += u'"';
  }
  return result;
}

void TStrings::SetCommaText(const String& Value) {
  WithinUpdate(*this, [&] {
    Clear();
    size_t i = 0;
    const size_t n = Value.size();
    auto skip_blanks = [&] {
      while (i < n && Value[i] > 0 && Value[i] <= u' ') ++i;
    };
    skip_blanks();
    while (i < n) {
      String item;
      if (Value[i] == u'"') {
        ++i;
        while (i < n) {
          if (Value[i] == u'"') {
            if (i + 1 < n && Value[i + 1] == u'"') {
              item += u'"';
              i += 2;
              continue;
            }
            ++i;
            break;
          }
          item += Value[i++];
        }
      } else {
        while (i < n && Value[i] > u' ' && Value[i] != u',') item += Value[i++];
      }
      Add(item);
      skip_blanks();
      if (i < n && Value[i] == u',') {
        ++i;
        skip_blanks();
        if (i == n) Add(String());
      }
    }
  });
}

String TStrings::Names(int Index) const {
  const String s = Get(Index);
  const size_t eq = s.find(u'=');
  return eq == String::npos ? String() : s.substr(0, eq);
}

String TStrings::ValueFromIndex(int Index) const {
  const String s = Get(Index);
  const size_t eq = s.find(u'=');
  return eq == String::npos ? String() : s.substr(eq + 1);
}

String TStrings::Values(const String& Name) const {
  const int i = IndexOfName(Name);
  return i < 0 ? String() : ValueFromIndex(i);
}

void TStrings::SetValue(const String& Name, const String& Value) {
  const int i = IndexOfName(Name);
  if (Value.empty()) {
    if (i >= 0) Delete(i);
    return;
  }
  if (i < 0)
    Add(Name + u'=' + Value);
  else
    Put(i, Name + u'=' + Value);
}

void TStrings::BeginUpdate() {
  if (FUpdateCount++ == 0) SetUpdateState(true);
}

void TStrings::EndUpdate() {
  if (FUpdateCount > 0 && --FUpdateCount == 0) SetUpdateState(false);
}

void TStrings::Assign(const TPersistent* Source) {
  if (const auto* strings = dynamic_cast<const TStrings*>(Source)) {
    if (strings == this) return;
    WithinUpdate(*this, [&] {
      Clear();
      FLineBreak = strings->FLineBreak;
      AddStrings(*strings);
    });
    return;
  }
  TPersistent::Assign(Source);
}

void TStrings::DefineProperties(TFiler* Filer) {
  Filer->DefineProperty(
      u"Strings",
      [this](TReader* Reader) {
        Reader->ReadListBegin();
        WithinUpdate(*this, [&] {
          Clear();
          while (!Reader->EndOfList()) Add(Reader->ReadString());
        });
        Reader->ReadListEnd();
      },
      [this](TWriter* Writer) {
        Writer->WriteListBegin();
        for (int i = 0; i < Count(); ++i) Writer->WriteString(Get(i));
        Writer->WriteListEnd();
      },
      Count() > 0);
}

// ---- TStringList --------------------------------------------------------------------------------------

TStringList::~TStringList() {
  OnChange = nullptr;
  OnChanging = nullptr;
  if (FOwnsObjects)
    for (Item& item : FList) delete item.Object;
}

void TStringList::Changed() {
  if (UpdateCount() == 0 && OnChange) OnChange(this);
}

void TStringList::Changing() {
  if (UpdateCount() == 0 && OnChanging) OnChanging(this);
}

void TStringList::SetUpdateState(bool Updating) {
  if (Updating)
    Changing();
  else
    Changed();
}

String TStringList::Get(int Index) const {
  CheckIndex(Index);
  return FList[static_cast<size_t>(Index)].S;
}

void TStringList::Put(int Index, const String& S) {
  if (FSorted) throw EListError(u"Operation not allowed on sorted list");
  CheckIndex(Index);
  Changing();
  FList[static_cast<size_t>(Index)].S = S;
  Changed();
}

TObject* TStringList::GetObject(int Index) const {
  CheckIndex(Index);
  return FList[static_cast<size_t>(Index)].Object;
}

void TStringList::PutObject(int Index, TObject* AObject) {
  CheckIndex(Index);
  Changing();
  TObject*& slot = FList[static_cast<size_t>(Index)].Object;
  if (FOwnsObjects && slot != AObject) delete slot;
  slot = AObject;
  Changed();
}

void TStringList::InsertItem(int Index, const String& S, TObject* AObject) {
  Changing();
  FList.insert(FList.begin() + Index, Item{S, AObject});
  Changed();
}

void TStringList::Insert(int Index, const String& S) {
  if (FSorted) throw EListError(u"Operation not allowed on sorted list");
  if (Index < 0 || Index > Count()) Error(Index);
  InsertItem(Index, S, nullptr);
}

void TStringList::Delete(int Index) {
  CheckIndex(Index);
  Changing();
  TObject* object = FList[static_cast<size_t>(Index)].Object;
  FList.erase(FList.begin() + Index);
  if (FOwnsObjects) delete object;
  Changed();
}

void TStringList::Clear() {
  if (FList.empty()) return;
  Changing();
  std::vector<Item> old;
  old.swap(FList);
  if (FOwnsObjects)
    for (Item& item : old) delete item.Object;
  Changed();
}

int TStringList::Add(const String& S) { return AddObject(S, nullptr); }

int TStringList::AddObject(const String& S, TObject* AObject) {
  int index = Count();
  if (FSorted) {
    if (Find(S, index)) {
      switch (FDuplicates) {
        case TDuplicates::dupIgnore: return index;
        case TDuplicates::dupError: throw EListError(u"String list does not allow duplicates");
        case TDuplicates::dupAccept: break;
      }
    }
  }
  InsertItem(index, S, AObject);
  return index;
}

int TStringList::IndexOf(const String& S) const {
  if (!FSorted) return TStrings::IndexOf(S);
  int index = 0;
  return Find(S, index) ? index : -1;
}

void TStringList::Exchange(int Index1, int Index2) {
  CheckIndex(Index1);
  CheckIndex(Index2);
  Changing();
  std::swap(FList[static_cast<size_t>(Index1)], FList[static_cast<size_t>(Index2)]);
  Changed();
}

int TStringList::CompareStrings(const String& S1, const String& S2) const {
  if (FCaseSensitive) return S1.compare(S2) < 0 ? -1 : S1 == S2 ? 0 : 1;
  return CompareText(S1, S2);
}

bool TStringList::Find(const String& S, int& Index) const {
  int lo = 0, hi = Count() - 1;
  bool found = false;
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    const int c = CompareStrings(FList[static_cast<size_t>(mid)].S, S);
    if (c < 0) {
      lo = mid + 1;
    } else {
      hi = mid - 1;
      if (c == 0) {
        found = true;
        // Keep looking left for the first of equal items (dupAccept lists may hold several).
      }
    }
  }
  Index = lo;
  return found;
}

void TStringList::Sort() {
  Changing();
  std::stable_sort(FList.begin(), FList.end(),
                   [this](const Item& a, const Item& b) { return CompareStrings(a.S, b.S) < 0; });
  Changed();
}

void TStringList::CustomSort(const TStringListSortCompare& Compare) {
  if (FSorted || Count() < 2) return;
  Changing();
  // Sort positions first: the compare callback reads the list by index, so the list must not move
  // while it runs.
  std::vector<int> order(FList.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return Compare(this, a, b) < 0; });
  std::vector<Item> sorted;
  sorted.reserve(FList.size());
  for (int i : order) sorted.push_back(std::move(FList[static_cast<size_t>(i)]));
  FList.swap(sorted);
  Changed();
}

void TStringList::SetSorted(bool Value) {
  if (FSorted == Value) return;
  if (Value) Sort();
  FSorted = Value;
}

void TStringList::SetCaseSensitive(bool Value) {
  if (FCaseSensitive == Value) return;
  FCaseSensitive = Value;
  if (FSorted) Sort();
}
