// Field lists and value comparison of the vlx table. Every ordering, search, range and uniqueness test
// compares records field by field over a TvlxFieldList: fields with per-field options, built from a
// text of names each optionally followed by ":" and option letters ("Name:DC;Salary"). Field offsets
// are resolved when the list is built, so comparing needs no field lookups. Text compares go through
// the platform's locale collation (platform/sys/Collation.h).
#pragma once

#include <vector>

#include "engines/vlx/vlxCommon.h"

// Per-field options: bit n = value n.
enum TvlxifoOption : int {
  mtifoDescending = 0,
  mtifoCaseInsensitive = 1,
  mtifoPartial = 2,
  mtifoIgnoreNull = 3,
  mtifoIgnoreLocale = 4,
  mtifoAggregate = 5,
  mtifoAggSum = 6,
  mtifoAggMin = 7,
  mtifoAggMax = 8,
  mtifoAggCount = 9,
  mtifoAggAvg = 10,
  mtifoAggStdDev = 11,
  mtifoAggUsr1 = 12,
  mtifoAggUsr2 = 13,
  mtifoAggUsr3 = 14,
  mtifoIgnoreNonSpace = 15,
  mtifoIgnoreKanatype = 16,
  mtifoIgnoreSymbols = 17,
  mtifoIgnoreWidth = 18,
  mtifoExtract = 19,
  mtifoAsDate = 20,
  mtifoAsTime = 21,
  mtifoAsDateTime = 22,
  mtifoNullFirst = 23,
};
using TvlxifoOptions = std::uint32_t;
constexpr TvlxifoOptions Bit(TvlxifoOption O) { return TvlxifoOptions{1} << O; }

// A value type: copies are cheap (a few short arrays) and searches work on copies.
class TvlxFieldList {
 public:
  TvlxFieldList() { Clear(); }
  void Clear();
  // Raises the dataset error "Can't index on field %s" for a field that cannot be ordered; the list
  // keeps the fields added before it.
  void Build(TvlxCustomMemTable* ADataSet, const String& AFieldNames, bool AAggregateFieldNaming = false);
  int Add(TvlxCustomMemTable* ADataSet, TField* AField, TvlxifoOptions AValue);
  int IndexOf(const TField* Item) const;
  void AssignTo(TvlxFieldList& AFieldList) const { AFieldList = *this; }
  void MergeOptionsTo(TvlxFieldList& AFieldList) const;
  void DefineAdditionalOrderFields(TvlxCustomMemTable* ADataSet, const TvlxFieldList& AFieldList);
  void SetOptions(TvlxCustomMemTable* ADataSet, TvlxifoOption AOption, const String& AFieldNames);
  bool StartsWith(const TvlxFieldList& AList, bool ASameCase, bool AOnlyPrimary) const;
  String GetAsString() const;

  int Count() const { return FCount; }
  int PrimaryCount() const { return FPrimaryCount; }
  void SetPrimaryCount(int Value) { FPrimaryCount = Value; }

  std::vector<TField*> Fields;
  std::vector<TvlxifoOptions> Options;
  std::vector<int> FieldOfs;
  std::vector<int> FieldNo;
  unsigned LocateOptions = 0;  // bit 0: case-insensitive search

 private:
  void Grow();
  int FCount = 0;
  int FPrimaryCount = 0;
};

// Compares two stored values of one type (pointers past the null bytes); -1, 0, 1 (ordinal 8-bit text:
// any sign). KeyLength / ALength are the value lengths for var-length blocks (-1: terminated by the
// type's size). FullCompare becomes false for a partial match.
int CompareFieldValues(const Byte* KeyField, int KeyLength, const Byte* AField, int ALength, TFieldType FieldType,
                       int Size, int LocaleID, TvlxifoOptions Options, bool& FullCompare);
int ComparePCharExact(const char* A, const char* B);
int ComparePCharNoCase(const char* A, const char* B);

// Compares two records over the first AFieldCount fields of the list (all when 0).
int CompareRecords(const TvlxCommon& Store, TvlxCustomMemTable* Table, const TvlxFieldList& AFieldList,
                   int AFieldCount, const TvlxRecord* AKeyRecord, const TvlxRecord* ARecord, bool APartial,
                   bool ANullsUnequal);
