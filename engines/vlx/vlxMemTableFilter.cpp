// The table's record filters: the status filter, the Filter text compiled once into a TvlxExprParser
// and evaluated on the record under test (the override buffer, so nothing is fetched or copied per
// record), OnFilterRecord, and the searches that apply them (FindRecord).
#include "engines/vlx/vlxMemTable.h"
#include "platform/rtl/SysUtils.h"

int TvlxTableFilterAccess::FieldIndex(const String& Name) const { return FTable.FieldByName(Name)->Index(); }

Variant TvlxTableFilterAccess::FieldValue(int Index) const {
  if (Index < 0 || Index >= FTable.Fields().Count()) return Null();
  return FTable.Fields()[Index]->AsVariant();
}

std::unique_ptr<TvlxExprParser> TvlxCustomMemTable::CompileFilter(const String& Text, TFilterOptions Options) {
  return std::make_unique<TvlxExprParser>(this, Text, Options);
}

bool TvlxCustomMemTable::EvaluateFilter(TvlxExprParser& Parser, PvlxRecord Record) {
  if (!FFilterAccess) FFilterAccess = std::make_unique<TvlxTableFilterAccess>(*this);
  TOverrideBuffer over(*this, Record);
  return Parser.Evaluate(*FFilterAccess);
}

void TvlxCustomMemTable::UpdateIsFiltered() {
  TvlxCommon::TLockGuard lock(*FCommon);
  FIsFiltered = FStatusFilter != 0 || (FCommon->DeletedCount() > 0 && !(FStatusFilter & StatusBit(usDeleted))) ||
                (Filtered() && (FFilterParser != nullptr || static_cast<bool>(OnFilterRecord())));
}

bool TvlxCustomMemTable::FilterRecord(PvlxRecord ARecord, bool ForceUseFilter) {
  if (!ForceUseFilter && !FIsFiltered) return true;
  if (FStatusFilter != 0 && !(FStatusFilter & StatusBit(ARecord->UpdateStatus))) return false;
  // A deleted record the index still lists shows only when the status filter asks for it.
  if (FStatusFilter == 0 && ARecord->UpdateStatus == usDeleted) return false;
  if (!ForceUseFilter && !Filtered()) return true;
  if (!OnFilterRecord() && FFilterParser == nullptr) return true;
  bool accept = true;
  PvlxRecord old = FFilterRecord;
  FFilterRecord = ARecord;
  const TDataSetState s = SetTempState(dsFilter);
  try {
    if (FRecalcOnIndex) {
      ResetCalculatedFields(reinterpret_cast<TRecordBuffer>(ARecord));
      UpdateCalculatedFields(reinterpret_cast<TRecordBuffer>(ARecord));
    }
    if (OnFilterRecord()) OnFilterRecord()(*this, accept);
    if (accept && FFilterParser != nullptr) accept = EvaluateFilter(*FFilterParser, ARecord);
  } catch (...) {
    RestoreState(s);
    FFilterRecord = old;
    throw;
  }
  RestoreState(s);
  FFilterRecord = old;
  return accept;
}

void TvlxCustomMemTable::SetFilterText(const String& Value) {
  TDataSet::SetFilterText(Value);
  FFilterParser.reset();
  if (!Active()) return;
  const String text = Trim(Value);
  if (!text.empty()) FFilterParser = CompileFilter(text, FilterOptions());
  UpdateIsFiltered();
  if (Filtered()) {
    CheckBrowseMode();
    ClearBuffers();
    FRecNo = -1;
    First();
  }
}

void TvlxCustomMemTable::SetFiltered(bool Value) {
  if (Value == Filtered()) return;
  // A text that does not compile leaves the table unfiltered.
  if (Value && Active() && FFilterParser == nullptr) {
    const String text = Trim(Filter());
    if (!text.empty()) FFilterParser = CompileFilter(text, FilterOptions());
  }
  TDataSet::SetFiltered(Value);
  if (!Active()) return;
  UpdateIsFiltered();
  CheckBrowseMode();
  ClearBuffers();
  FRecNo = -1;
  First();
}

void TvlxCustomMemTable::SetOnFilterRecord(const TFilterRecordEvent& Value) {
  TDataSet::SetOnFilterRecord(Value);
  UpdateIsFiltered();
}

bool TvlxCustomMemTable::FindRecord(bool Restart, bool GoForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  SetFound(false);
  // The filter applies here even while Filtered is off; a text set before opening compiles now.
  if (FFilterParser == nullptr && !Trim(Filter()).empty()) FFilterParser = CompileFilter(Trim(Filter()), FilterOptions());
  UpdateCursorPos();
  bool found;
  {
    TvlxCommon::TLockGuard lock(*FCommon);
    if (GoForward) {
      if (Restart) FRecNo = -1;
      found = NextVisibleRecord(true);
    } else {
      if (Restart) FRecNo = FCurIndex->Count();
      found = PriorVisibleRecord(true);
    }
  }
  if (!found) {
    // The cursor goes back to the record the buffers show.
    CursorPosChanged();
    UpdateCursorPos();
    return false;
  }
  CursorPosChanged();
  Resync(rmExact | rmCenter);
  SetFound(true);
  DoAfterScroll();
  return true;
}
