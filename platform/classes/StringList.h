// String lists: TStrings is the abstract list of texts with an object beside each (text, name=value
// pairs, comma text, assignment, streaming as the defined property "Strings"); TStringList keeps them
// in memory, optionally sorted, with a duplicates rule and case sensitivity. Bad indexes raise
// EListError "List index out of bounds (%d)".
//
// Comparison: case-sensitive lists compare by code unit, case-insensitive ones by CompareText (ASCII
// folding). A descendant that needs a locale order overrides CompareStrings.
#pragma once

#include <functional>
#include <vector>

#include "platform/classes/Classes.h"

class TStream;

enum class TDuplicates { dupIgnore, dupAccept, dupError };

class TStrings : public TPersistent {
  VELLUM_CLASS(TStrings)
 public:
  TStrings() = default;

  virtual int Count() const = 0;
  virtual String Get(int Index) const = 0;
  virtual void Put(int Index, const String& S);
  virtual TObject* GetObject(int Index) const;
  virtual void PutObject(int Index, TObject* AObject);
  virtual void Insert(int Index, const String& S) = 0;
  virtual void Delete(int Index) = 0;
  virtual void Clear() = 0;

  String Strings(int Index) const { return Get(Index); }
  TObject* Objects(int Index) const { return GetObject(Index); }

  virtual int Add(const String& S);
  virtual int AddObject(const String& S, TObject* AObject);
  void InsertObject(int Index, const String& S, TObject* AObject);
  void AddStrings(const TStrings& Strings);
  void Append(const String& S) { Add(S); }
  virtual int IndexOf(const String& S) const;
  int IndexOfName(const String& Name) const;
  int IndexOfObject(const TObject* AObject) const;
  virtual void Exchange(int Index1, int Index2);
  void Move(int CurIndex, int NewIndex);
  bool Equals(const TStrings& Strings) const;

  // The lines joined, each followed by LineBreak; setting splits at CR LF, LF or CR.
  String Text() const;
  virtual void SetText(const String& Value);
  String LineBreak() const { return FLineBreak; }
  void SetLineBreak(const String& Value) { FLineBreak = Value; }
  // Items separated by commas; an item holding a blank, comma, quote or control character is quoted
  // with " (quotes doubled). Setting splits on commas and blanks outside quotes.
  String CommaText() const;
  void SetCommaText(const String& Value);

  // "Name=Value" pairs.
  String Names(int Index) const;
  String ValueFromIndex(int Index) const;
  String Values(const String& Name) const;
  // An empty value removes the pair.
  void SetValue(const String& Name, const String& Value);

  void BeginUpdate();
  void EndUpdate();
  int UpdateCount() const { return FUpdateCount; }

  void Assign(const TPersistent* Source) override;
  // Streams the lines as the defined property "Strings" (a list of strings).
  void DefineProperties(TFiler* Filer) override;

 protected:
  virtual void SetUpdateState(bool) {}
  virtual int CompareStrings(const String& S1, const String& S2) const;
  [[noreturn]] static void Error(int Index);

 private:
  int FUpdateCount = 0;
  String FLineBreak = u"\r\n";
};

class TStringList : public TStrings {
  VELLUM_CLASS(TStringList)
 public:
  using TStringListSortCompare = std::function<int(TStringList* List, int Index1, int Index2)>;

  TStringList() = default;
  explicit TStringList(bool AOwnsObjects) : FOwnsObjects(AOwnsObjects) {}
  ~TStringList() override;

  int Count() const override { return static_cast<int>(FList.size()); }
  String Get(int Index) const override;
  void Put(int Index, const String& S) override;
  TObject* GetObject(int Index) const override;
  void PutObject(int Index, TObject* AObject) override;
  // A sorted list refuses Insert (EListError "Operation not allowed on sorted list"): use Add.
  void Insert(int Index, const String& S) override;
  void Delete(int Index) override;
  void Clear() override;
  int Add(const String& S) override;
  int AddObject(const String& S, TObject* AObject) override;
  int IndexOf(const String& S) const override;
  void Exchange(int Index1, int Index2) override;

  // Binary search of a sorted list: true when found; Index is the match (the first of equal ones) or
  // the place it would go.
  bool Find(const String& S, int& Index) const;
  virtual void Sort();
  void CustomSort(const TStringListSortCompare& Compare);

  bool Sorted() const { return FSorted; }
  void SetSorted(bool Value);
  TDuplicates Duplicates() const { return FDuplicates; }
  void SetDuplicates(TDuplicates Value) { FDuplicates = Value; }
  bool CaseSensitive() const { return FCaseSensitive; }
  void SetCaseSensitive(bool Value);
  bool OwnsObjects() const { return FOwnsObjects; }
  void SetOwnsObjects(bool Value) { FOwnsObjects = Value; }

  std::function<void(TObject* Sender)> OnChange;
  std::function<void(TObject* Sender)> OnChanging;

 protected:
  int CompareStrings(const String& S1, const String& S2) const override;
  void SetUpdateState(bool Updating) override;
  virtual void Changed();
  virtual void Changing();

 private:
  struct Item {
    String S;
    TObject* Object = nullptr;
  };
  void InsertItem(int Index, const String& S, TObject* AObject);
  void CheckIndex(int Index) const {
    if (Index < 0 || Index >= Count()) Error(Index);
  }

  std::vector<Item> FList;
  bool FSorted = false;
  bool FCaseSensitive = false;
  bool FOwnsObjects = false;
  TDuplicates FDuplicates = TDuplicates::dupIgnore;
};
