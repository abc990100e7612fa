#include "engines/vlx/vlxStreamFormat.h"

TvlxCustomStreamFormat::TvlxCustomStreamFormat(TComponent* AOwner) : TComponent(AOwner) {}
TvlxCustomStreamFormat::~TvlxCustomStreamFormat() = default;

void TvlxCustomStreamFormat::Assign(const TPersistent* Source) {
  if (const auto* s = dynamic_cast<const TvlxCustomStreamFormat*>(Source)) {
    sfData = s->sfData;
    sfCalculated = s->sfCalculated;
    sfLookup = s->sfLookup;
    sfNonVisible = s->sfNonVisible;
    sfBlobs = s->sfBlobs;
    sfDef = s->sfDef;
    sfIndexDef = s->sfIndexDef;
    sfFiltered = s->sfFiltered;
    sfIgnoreRange = s->sfIgnoreRange;
    sfIgnoreMasterDetail = s->sfIgnoreMasterDetail;
    sfDeltas = s->sfDeltas;
    sfDontFilterDeltas = s->sfDontFilterDeltas;
    sfAppend = s->sfAppend;
    sfFieldKind = s->sfFieldKind;
    sfFromStart = s->sfFromStart;
    return;
  }
  TComponent::Assign(Source);
}

void TvlxCustomStreamFormat::Save(TvlxCustomMemTable* Table, TStream* Stream) {
  FOrigStream = Stream;
  FWorkStream = nullptr;
  FWas = {};
  try {
    PrepareSave(Table);
    RunSave(Table);
  } catch (...) {
    try {
      FinishSave(Table);
    } catch (...) {
      HandleCurrentException(Table);
    }
    FOrigStream = FWorkStream = nullptr;
    throw;
  }
  FinishSave(Table);
  FOrigStream = FWorkStream = nullptr;
}

void TvlxCustomStreamFormat::Load(TvlxCustomMemTable* Table, TStream* Stream) {
  FOrigStream = Stream;
  FWorkStream = nullptr;
  FWas = {};
  try {
    PrepareLoad(Table);
    RunLoad(Table);
  } catch (...) {
    try {
      DiscardLoad(Table);
      FinishLoad(Table, false);
    } catch (...) {
      HandleCurrentException(Table);
    }
    FOrigStream = FWorkStream = nullptr;
    throw;
  }
  FinishLoad(Table, true);
  FOrigStream = FWorkStream = nullptr;
}

// ---- save ------------------------------------------------------------------------------------------------

void TvlxCustomStreamFormat::ChooseSaveFields(TvlxCustomMemTable* Table) {
  const int n = Table->FieldCount();
  SaveFields.assign(static_cast<std::size_t>(n), -1);
  for (int i = 0; i < n; ++i) {
    TField* f = Table->Fields()[i];
    int& e = SaveFields[static_cast<std::size_t>(i)];
    if (f->IsBlob()) {
      if (!(sfBlobs & sfSaveBlobs)) continue;
      e = i;
    }
    switch (f->FieldKind()) {
      case fkData: case fkInternalCalc: if (sfData & sfSaveData) e = i; break;
      case fkCalculated: if (sfCalculated & sfSaveCalculated) e = i; break;
      case fkLookup: if (sfLookup & sfSaveLookup) e = i; break;
      case fkAggregate: e = -1; break;
    }
    if (!f->Visible() && !(sfNonVisible & sfSaveNonVisible)) e = -1;
  }
}

void TvlxCustomStreamFormat::PrepareSave(TvlxCustomMemTable* Table) {
  Table->DisableControls();
  FWas.ControlsDisabled = true;
  Table->Common()->Lock();
  FWas.Locked = true;
  FWas.State = Table->TableState();
  Table->SetTableState(mtstSave);
  FWas.StateSet = true;
  Table->Progress(0, mtpcSave);
  FWas.Filtered = Table->Filtered();
  if (FWas.Filtered && (sfFiltered & sfSaveFiltered)) {
    Table->SetFiltered(false);
    FWas.FilterSwitched = true;
  }
  if (Table->DetailIndex() != nullptr && Table->CurIndex() == Table->DetailIndex() &&
      (sfIgnoreMasterDetail & sfSaveIgnoreMasterDetail)) {
    FWas.DetailIndex = Table->DetailIndex();
    FWas.MasterLinkUsed = Table->MasterLinkUsed();
    Table->SwitchToIndex(FWas.DetailIndex->Base());
    Table->SetMasterLinkUsed(false);
  }
  if (Table->RangeActive() && Table->RangeIndex() != nullptr && (sfIgnoreRange & sfSaveIgnoreRange)) {
    FWas.RangeIndex = Table->RangeIndex();
    Table->SwitchToIndex(FWas.RangeIndex->Base());
  }
  if (OnCompress) {
    FOwnedWorkStream = std::make_unique<TMemoryStream>();
    FWorkStream = FOwnedWorkStream.get();
  } else {
    FWorkStream = FOrigStream;
  }
  if (sfAppend & sfSaveAppend) {
    FWorkStream->Seek(0, TSeekOrigin::soEnd);
  } else if (!(sfAppend & sfSaveInsert)) {
    FWorkStream->SetSize(0);
    FWorkStream->SetPosition(0);
  }
  ChooseSaveFields(Table);
  Table->UpdateIsFiltered();
}

void TvlxCustomStreamFormat::RunSave(TvlxCustomMemTable* Table) {
  if (OnBeforeSave) OnBeforeSave(this);
  WriteDefinitions(Table);
  WriteRecords(Table);
  if (OnAfterSave) OnAfterSave(this);
}

void TvlxCustomStreamFormat::FinishSave(TvlxCustomMemTable* Table) {
  std::exception_ptr failure;
  auto step = [&](auto&& f) {
    try {
      f();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  if (OnCompress && FOwnedWorkStream) step([&] {
      FOwnedWorkStream->SetPosition(0);
      OnCompress(*Table, FOwnedWorkStream.get(), FOrigStream);
    });
  if (FWas.DetailIndex != nullptr) step([&] {
      Table->SwitchToIndex(FWas.DetailIndex);
      Table->SetMasterLinkUsed(FWas.MasterLinkUsed);
    });
  if (FWas.RangeIndex != nullptr) step([&] { Table->SwitchToIndex(FWas.RangeIndex); });
  if (FWas.FilterSwitched) step([&] { Table->SetFiltered(FWas.Filtered); });
  if (FWas.StateSet) Table->SetTableState(FWas.State);
  step([&] { Table->Progress(100, mtpcSave); });
  if (FWas.Locked) Table->Common()->Unlock();
  step([&] { Table->UpdateIsFiltered(); });
  if (FWas.ControlsDisabled) step([&] { Table->EnableControls(); });
  FOwnedWorkStream.reset();
  FWas = {};
  if (failure) std::rethrow_exception(failure);
}

// ---- load ------------------------------------------------------------------------------------------------

void TvlxCustomStreamFormat::CollectFieldNames(TvlxCustomMemTable* Table, std::vector<String>& Names, bool) {
  Names.clear();
  for (TField* f : Table->Fields()) Names.push_back(f->DisplayName());
}

bool TvlxCustomStreamFormat::LoadAllowed(TFieldKind Kind, TFieldType Type, bool Visible) const {
  switch (Kind) {
    case fkCalculated: if (!(sfCalculated & sfLoadCalculated)) return false; break;
    case fkLookup: if (!(sfLookup & sfLoadLookup)) return false; break;
    case fkData: case fkInternalCalc: if (!(sfData & sfLoadData)) return false; break;
    case fkAggregate: return false;
  }
  if (IsBlobFieldType(Type) && !(sfBlobs & sfLoadBlobs)) return false;
  if (!Visible && !(sfNonVisible & sfLoadNonVisible)) return false;
  return true;
}

void TvlxCustomStreamFormat::ChooseLoadFields(TvlxCustomMemTable* Table, bool AfterDefinitions) {
  std::vector<String> names;
  CollectFieldNames(Table, names, AfterDefinitions);
  const int n = static_cast<int>(names.size());
  LoadFields.assign(static_cast<std::size_t>(n), -1);
  LoadFieldWidths.assign(static_cast<std::size_t>(n), -1);
  for (int i = 0; i < n; ++i) {
    int& j = LoadFields[static_cast<std::size_t>(i)];
    MapLoadField(Table, names[static_cast<std::size_t>(i)], AfterDefinitions, j, i, n);
    if (j < 0 || j >= Table->FieldCount()) continue;
    TField* f = Table->Fields()[j];
    if (!LoadAllowed(f->FieldKind(), f->DataType(), f->Visible())) j = -1;
  }
}

void TvlxCustomStreamFormat::MapLoadField(TvlxCustomMemTable*, const String&, bool, int&, int, int) {}

void TvlxCustomStreamFormat::PrepareLoad(TvlxCustomMemTable* Table) {
  Table->DisableControls();
  FWas.ControlsDisabled = true;
  Table->Common()->Lock();
  FWas.Locked = true;
  FWas.State = Table->TableState();
  Table->SetTableState(mtstLoad);
  FWas.StateSet = true;
  FWas.Persistent = Table->Persistent();
  FWas.EnableIndexes = Table->EnableIndexes();
  FWas.IgnoreReadOnly = Table->IgnoreReadOnly();
  FWas.IgnoreAutoIncPopulation = Table->IgnoreAutoIncPopulation();
  FWas.FlagsSet = true;
  Table->SetPersistent(false);
  Table->SetEnableIndexes(false);
  Table->SetIgnoreReadOnly(true);
  Table->SetIgnoreAutoIncPopulation(true);
  FBookmark.clear();
  if (Table->Active() && !Table->IsEmpty() && Table->AutoReposition()) FBookmark = Table->GetBookmark();
  Table->Progress(0, mtpcLoad);
  if (OnDeCompress) {
    FOwnedWorkStream = std::make_unique<TMemoryStream>();
    FWorkStream = FOwnedWorkStream.get();
    if (sfFromStart & sfLoadFromStart) FOrigStream->SetPosition(0);
    OnDeCompress(*Table, FOrigStream, FWorkStream);
    FWorkStream->SetPosition(0);
  } else {
    FWorkStream = FOrigStream;
    if (sfFromStart & sfLoadFromStart) FWorkStream->SetPosition(0);
  }
  ChooseLoadFields(Table, false);
}

void TvlxCustomStreamFormat::RunLoad(TvlxCustomMemTable* Table) {
  if (OnBeforeLoad) OnBeforeLoad(this);
  ReadDefinitions(Table);
  ChooseLoadFields(Table, true);
  if (LoadFields.empty()) throw EMemTableError(String(u"Couldnt determine field count for load."));
  ReadRecords(Table);
  CommitLoad(Table);
  if (OnAfterLoad) OnAfterLoad(this);
}

void TvlxCustomStreamFormat::FinishLoad(TvlxCustomMemTable* Table, bool Succeeded) {
  std::exception_ptr failure;
  auto step = [&](auto&& f) {
    try {
      f();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  if (Succeeded)
    for (std::size_t i = 0; i < LoadFieldWidths.size() && i < LoadFields.size(); ++i) {
      const int j = LoadFields[i];
      if (LoadFieldWidths[i] > 0 && j >= 0 && j < Table->FieldCount())
        Table->Fields()[j]->SetDisplayWidth(LoadFieldWidths[i]);
    }
  if (FWas.FlagsSet) {
    Table->SetPersistent(FWas.Persistent);
    Table->SetEnableIndexes(FWas.EnableIndexes);
    Table->SetIgnoreReadOnly(FWas.IgnoreReadOnly);
    Table->SetIgnoreAutoIncPopulation(FWas.IgnoreAutoIncPopulation);
  }
  if (Succeeded) step([&] {
      Table->Common()->MarkIndexesDirty();
      Table->Common()->RebuildIndexes();
    });
  if (FWas.Locked) Table->Common()->Unlock();
  // A failed load changed nothing: the table keeps its position.
  if (Succeeded && Table->Active()) step([&] { RestorePositionAfterLoad(Table); });
  if (FWas.ControlsDisabled) step([&] { Table->EnableControls(); });
  step([&] { Table->Progress(100, mtpcLoad); });
  if (FWas.StateSet) Table->SetTableState(FWas.State);
  if (Succeeded && Table->Active()) step([&] { RefreshAfterLoad(Table); });
  FOwnedWorkStream.reset();
  FBookmark.clear();
  FWas = {};
  if (failure) std::rethrow_exception(failure);
}

void TvlxCustomStreamFormat::RestorePositionAfterLoad(TvlxCustomMemTable* Table) {
  if (Table->AutoReposition() && !FBookmark.empty() && Table->BookmarkValid(FBookmark)) {
    Table->GotoBookmark(FBookmark);
    return;
  }
  Table->First();
}

void TvlxCustomStreamFormat::RefreshAfterLoad(TvlxCustomMemTable* Table) { (void)Table; }
