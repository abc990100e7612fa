// Grouping into another table (GroupBy) and aggregation into a value (Aggregate). Entries of an
// aggregate list are field names with an optional option word ("Salary:SUM"); the per-entry
// accumulators below are shared by both. Records are read through the override buffer: nothing is
// fetched per record.
#include <cmath>
#include <limits>

#include "engines/vlx/vlxMemTable.h"
#include "platform/rtl/SysUtils.h"

namespace {
constexpr char16_t SGroupField[] = u"Field must be listed as group field or be covered by aggregate function.";
constexpr char16_t kGroupIndexName[] = u"__MT__GROUP_";

constexpr TvlxifoOptions kAggregateBits = Bit(mtifoAggSum) | Bit(mtifoAggMin) | Bit(mtifoAggMax) | Bit(mtifoAggCount) |
                                          Bit(mtifoAggAvg) | Bit(mtifoAggStdDev) | Bit(mtifoAggUsr1) |
                                          Bit(mtifoAggUsr2) | Bit(mtifoAggUsr3);

bool IsTextType(TFieldType T) {
  switch (T) {
    case ftString: case ftMemo: case ftFmtMemo: case ftFixedChar: case ftWideString: case ftOraClob: case ftGuid:
    case ftFixedWideChar: case ftWideMemo: case ftOraInterval:
      return true;
    default:
      return false;
  }
}

struct TAccumulator {
  TField* Field = nullptr;
  TvlxifoOptions Options = 0;
  bool TextMode = false;
  double Value = std::numeric_limits<double>::quiet_NaN();
  String Text;
  bool HasText = false;  // an empty text is a value too
  double Mean = 0;
  int Count = 0;

  void Reset() {
    Value = std::numeric_limits<double>::quiet_NaN();
    Text.clear();
    HasText = false;
    Mean = 0;
    Count = 0;
  }

  void Add(TvlxCustomMemTable& Source, TvlxCustomMemTable& Holder) {
    if (Field->IsNull()) return;
    const TvlxifoOptions o = Options;
    if (o & (Bit(mtifoAggSum) | Bit(mtifoAggAvg))) {
      const double x = Field->AsFloat();
      Value = std::isnan(Value) ? x : Value + x;
    } else if (o & (Bit(mtifoAggMin) | Bit(mtifoAggMax))) {
      const bool min = (o & Bit(mtifoAggMin)) != 0;
      if (TextMode) {
        const String t = Field->AsString();
        if (!HasText || (min ? t < Text : t > Text)) Text = t;
        HasText = true;
      } else {
        const double x = Field->AsFloat();
        if (std::isnan(Value) || (min ? x < Value : x > Value)) Value = x;
      }
    } else if (o & Bit(mtifoAggStdDev)) {
      const double x = Field->AsFloat();
      if (Count == 0 || std::isnan(Value)) {
        Mean = x;
        Value = 0;
      } else {
        const double mean = Mean + (x - Mean) / (Count + 1);
        Value += (x - Mean) * (x - mean);
        Mean = mean;
      }
    } else if (o & (Bit(mtifoAggUsr1) | Bit(mtifoAggUsr2) | Bit(mtifoAggUsr3))) {
      if (Holder.OnUserAggregate) {
        const int fn = (o & Bit(mtifoAggUsr1)) ? 1 : (o & Bit(mtifoAggUsr2)) ? 2 : 3;
        Holder.OnUserAggregate(Source, fn, Count, Field->AsFloat(), Value);
      }
    }
    ++Count;
  }

  Variant Result() const {
    if (Options & Bit(mtifoAggCount)) return Variant(Count);
    if (TextMode && (Options & (Bit(mtifoAggMin) | Bit(mtifoAggMax)))) return HasText ? Variant(Text) : Null();
    if (std::isnan(Value)) return Null();
    if (Options & Bit(mtifoAggAvg)) return Count > 0 ? Variant(Value / Count) : Null();
    if (Options & Bit(mtifoAggStdDev)) return Count > 1 ? Variant(std::sqrt(Value / (Count - 1))) : Variant(0.0);
    return Variant(Value);
  }
};

std::vector<TAccumulator> MakeAccumulators(const TvlxFieldList& L) {
  std::vector<TAccumulator> acc(static_cast<std::size_t>(L.Count()));
  for (int i = 0; i < L.Count(); ++i) {
    auto& a = acc[static_cast<std::size_t>(i)];
    a.Field = L.Fields[static_cast<std::size_t>(i)];
    a.Options = L.Options[static_cast<std::size_t>(i)];
    a.TextMode = IsTextType(a.Field->DataType());
  }
  return acc;
}
}  // namespace

TvlxifoOptions TvlxCustomMemTable::GetAggregateFieldOption(const String& AAggregateFunction) {
  const struct {
    const char16_t* Word;
    TvlxifoOption Option;
  } words[] = {{u"MAX", mtifoAggMax},       {u"MIN", mtifoAggMin},   {u"COUNT", mtifoAggCount},
               {u"SUM", mtifoAggSum},       {u"STDDEV", mtifoAggStdDev}, {u"AVG", mtifoAggAvg},
               {u"USR1", mtifoAggUsr1},     {u"USR2", mtifoAggUsr2}, {u"USR3", mtifoAggUsr3}};
  for (const auto& w : words)
    if (AAggregateFunction == w.Word) return Bit(mtifoAggregate) | Bit(w.Option);
  return 0;
}

TvlxifoOptions TvlxCustomMemTable::GetExtractFieldOption(const String& AExtractOption) {
  const std::size_t colon = AExtractOption.find(u':');
  const String first = AExtractOption.substr(0, colon);
  const String second = colon == String::npos ? String() : AExtractOption.substr(colon + 1);
  TvlxifoOptions o = 0;
  if (first == u"DATE") o = Bit(mtifoExtract) | Bit(mtifoAsDate);
  else if (first == u"TIME") o = Bit(mtifoExtract) | Bit(mtifoAsTime);
  else if (first == u"DATETIME") o = Bit(mtifoExtract) | Bit(mtifoAsDateTime);
  else if (first == u"N") o = Bit(mtifoExtract) | Bit(mtifoIgnoreNull);
  if (o != 0 && second == u"N") o |= Bit(mtifoIgnoreNull);
  return o;
}

String TvlxCustomMemTable::GetAggregateFieldName(const String& AFieldName, TvlxifoOptions AOptions) {
  const struct {
    TvlxifoOption Option;
    const char16_t* Suffix;
  } names[] = {{mtifoAggSum, u"_SUM"},    {mtifoAggMin, u"_MIN"},       {mtifoAggMax, u"_MAX"},
               {mtifoAggCount, u"_COUNT"}, {mtifoAggAvg, u"_AVG"},      {mtifoAggStdDev, u"_STDDEV"},
               {mtifoAggUsr1, u"_USR1"},   {mtifoAggUsr2, u"_USR2"},    {mtifoAggUsr3, u"_USR3"}};
  for (const auto& n : names)
    if (AOptions & Bit(n.Option)) return AFieldName + n.Suffix;
  return AFieldName;
}

void TvlxCustomMemTable::GroupBy(TvlxCustomMemTable* ADestDataset, const String& AGroupFields,
                                 const String& AAggregateFields) {
  if (ADestDataset == nullptr) return;
  // The destination is rebuilt from scratch: it cannot be the table read from.
  if (ADestDataset == this) throw EMemTableError(String(vlxmsg::SInvalidArgument));
  RequireActive();
  TvlxFieldList group, aggregate;
  group.Build(this, AGroupFields);
  aggregate.Build(this, AAggregateFields);
  // The destination starts over with one field per entry.
  ADestDataset->Close();
  ADestDataset->FieldDefs().Clear();
  ADestDataset->DestroyFields();
  for (int i = 0; i < aggregate.Count(); ++i) {
    TField* f = aggregate.Fields[static_cast<std::size_t>(i)];
    const TvlxifoOptions o = aggregate.Options[static_cast<std::size_t>(i)];
    TFieldType type = f->DataType();
    if (o & (Bit(mtifoAggAvg) | Bit(mtifoAggStdDev) | Bit(mtifoAggUsr1) | Bit(mtifoAggUsr2) | Bit(mtifoAggUsr3)))
      type = ftFloat;
    // A count is a whole number whatever it counts.
    else if (o & Bit(mtifoAggCount)) type = ftInteger;
    const bool sized = type == f->DataType();
    ADestDataset->FieldDefs().Add(GetAggregateFieldName(f->FieldName(), o), type, sized ? f->Size() : 0, false);
  }
  ADestDataset->CreateTable();
  ADestDataset->Open();
  TvlxFieldList dest;
  dest.Build(ADestDataset, AAggregateFields, true);
  GroupBy(ADestDataset, group, aggregate, dest);
}

void TvlxCustomMemTable::GroupBy(TvlxCustomMemTable* ADestDataset, const TvlxFieldList& ASourceGroupFieldList,
                                 const TvlxFieldList& ASourceAggregateFieldList,
                                 const TvlxFieldList& ADestAggregateFieldList) {
  RequireActive();
  for (int i = 0; i < ASourceAggregateFieldList.Count(); ++i)
    if (!(ASourceAggregateFieldList.Options[static_cast<std::size_t>(i)] & kAggregateBits) &&
        ASourceGroupFieldList.IndexOf(ASourceAggregateFieldList.Fields[static_cast<std::size_t>(i)]) < 0)
      throw Exception(String(SGroupField));
  if (FGroupIndexOwned != nullptr) {
    FIndexes->DeleteIndex(FGroupIndexOwned);
    FGroupIndexOwned = nullptr;
  }
  FGroupIndex = nullptr;
  if (ASourceAggregateFieldList.Count() == 0 || ADestDataset == nullptr) return;
  CheckBrowseMode();
  const String groupNames = ASourceGroupFieldList.GetAsString();
  TvlxIndex* existing = groupNames.empty() ? nullptr : FIndexes->GetByFieldNames(groupNames);
  const bool fullCurrent = !FCurIndex->IsFiltered() && !FCurIndex->IsRange() && FCurIndex->Count() == FIndexes->RowOrderIndex()->Count();
  if (fullCurrent && existing != nullptr && !existing->IsFiltered() && !existing->IsRange() && existing->IsOrdered() &&
      existing->Count() == FIndexes->RowOrderIndex()->Count()) {
    FGroupIndex = existing;
  } else if (!groupNames.empty()) {
    FGroupIndex = FIndexes->AddIndex(std::make_unique<TvlxIndex>(FCurIndex, kGroupIndexName, this, groupNames, 0, mtitSorted));
    FGroupIndex->Rebuild();
    FGroupIndexOwned = FGroupIndex;
  }
  TvlxIndex* ix = FGroupIndex != nullptr ? FGroupIndex : FCurIndex;
  std::vector<TAccumulator> acc = MakeAccumulators(ASourceAggregateFieldList);
  auto writeResults = [&]() {
    for (std::size_t i = 0; i < acc.size(); ++i) {
      if (!(acc[i].Options & kAggregateBits)) continue;
      TField* d = ADestAggregateFieldList.Fields[i];
      const Variant v = acc[i].Result();
      if (VarIsNull(v)) d->Clear();
      else d->SetAsVariant(v);
    }
    ADestDataset->Post();
  };
  PvlxRecord first = nullptr;
  auto startGroup = [&](PvlxRecord r) {
    ADestDataset->Append();
    for (auto& a : acc) a.Reset();
    first = r;
    for (std::size_t i = 0; i < acc.size(); ++i)
      if (!(acc[i].Options & kAggregateBits)) ADestAggregateFieldList.Fields[i]->SetAsVariant(acc[i].Field->AsVariant());
  };
  ADestDataset->DisableControls();
  try {
    for (int k = 0; k < ix->Count(); ++k) {
      PvlxRecord r = ix->References()[k];
      TOverrideBuffer over(*this, r);
      if (first == nullptr) {
        startGroup(r);
      } else if (ASourceGroupFieldList.Count() > 0 &&
                 CompareRecords(*FCommon, this, ASourceGroupFieldList, 0, first, r, false, false) != 0) {
        writeResults();
        startGroup(r);
      }
      for (auto& a : acc) a.Add(*this, *ADestDataset);
    }
    if (ADestDataset->State() == dsInsert) writeResults();
  } catch (...) {
    if (ADestDataset->State() == dsInsert) ADestDataset->Cancel();
    ADestDataset->EnableControls();
    throw;
  }
  ADestDataset->EnableControls();
  ADestDataset->First();
}

Variant TvlxCustomMemTable::Aggregate(const String& AAggregateFields) {
  RequireActive();
  TvlxFieldList list;
  list.Build(this, AAggregateFields);
  if (list.Count() == 0) return Null();
  std::vector<TAccumulator> acc = MakeAccumulators(list);
  for (int k = 0; k < FCurIndex->Count(); ++k) {
    TOverrideBuffer over(*this, FCurIndex->References()[k]);
    for (auto& a : acc) a.Add(*this, *this);
  }
  auto result = [&](const TAccumulator& a) { return (a.Options & kAggregateBits) ? a.Result() : Null(); };
  if (acc.size() == 1) return result(acc[0]);
  std::vector<Variant> values;
  values.reserve(acc.size());
  for (const auto& a : acc) values.push_back(result(a));
  return VarArrayOf(values);
}
