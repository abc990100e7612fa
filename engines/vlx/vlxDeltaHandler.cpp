#include "engines/vlx/vlxDeltaHandler.h"

TvlxCustomDeltaHandler::~TvlxCustomDeltaHandler() {
  if (FDataSet != nullptr && FDataSet->DeltaHandler() == this) FDataSet->SetDeltaHandler(nullptr);
}

void TvlxCustomDeltaHandler::RequireTable() const {
  if (FDataSet == nullptr) throw EMemTableError(String(u"Delta handler is not assigned to any memorytables."));
}

int TvlxCustomDeltaHandler::FieldCount() const {
  RequireTable();
  return FDataSet->FieldCount();
}

void TvlxCustomDeltaHandler::Resolve() {
  RequireTable();
  TvlxCustomMemTable* table = FDataSet;
  TvlxCommon& c = *table->Common();
  const bool autoRefresh = table->AttachedAutoRefresh();
  table->SetAttachedAutoRefresh(false);
  std::exception_ptr failure;
  c.Lock();
  try {
    // Slots are read by index each time: a hook may not add records, but the walk never holds an
    // iterator across a hook.
    for (std::size_t slot = 0; slot < c.Records().size(); ++slot) {
      PvlxRecord r = c.Records()[slot];
      if (r == nullptr) continue;
      PvlxRecord o = r;
      while (o->PrevRecordVersion != nullptr) o = o->PrevRecordVersion;
      TUpdateStatus state;
      if (r->UpdateStatus == usDeleted) state = o->UpdateStatus == usInserted ? usUnmodified : usDeleted;
      else if (o->UpdateStatus == usInserted) state = usInserted;
      else state = static_cast<TUpdateStatus>(r->UpdateStatus);
      FPRecord = r;
      FPOrigRecord = o;
      StartRecordResolve();
      try {
        bool retry;
        do {
          retry = false;
          switch (state) {
            case usUnmodified: ResolveUnmodified(retry, state); break;
            case usModified: ResolveModified(retry, state); break;
            case usInserted: ResolveInserted(retry, state); break;
            case usDeleted: ResolveDeleted(retry, state); break;
          }
        } while (retry);
      } catch (...) {
        EndRecordResolve();
        throw;
      }
      EndRecordResolve();
    }
  } catch (...) {
    failure = std::current_exception();
  }
  FPRecord = FPOrigRecord = nullptr;
  c.Unlock();
  table->SetAttachedAutoRefresh(autoRefresh);
  if (autoRefresh) {
    try {
      c.RefreshTables(nullptr);
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
}
