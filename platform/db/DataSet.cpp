#include "platform/db/DataSet.h"

#include <algorithm>
#include <cstring>

#include "platform/rtl/Bcd.h"
#include "platform/rtl/SysUtils.h"

// ==== errors and the default exception route ==============================================================

void DatabaseError(const String& Message, const TComponent* Component) {
  if (Component && !Component->Name().empty()) throw EDatabaseError(Component->Name() + u": " + Message);
  throw EDatabaseError(Message);
}

void DatabaseErrorFmt(std::u16string_view Fmt, std::initializer_list<TVarRec> Args, const TComponent* Component) {
  DatabaseError(Format(Fmt, Args), Component);
}

String ExtractFieldName(std::u16string_view Fields, std::size_t& Pos) {
  std::size_t i = Pos;
  while (i < Fields.size() && Fields[i] != u';') ++i;
  String name = Trim(Fields.substr(std::min(Pos, Fields.size()), i - std::min(Pos, Fields.size())));
  Pos = i < Fields.size() ? i + 1 : i;
  return name;
}

// ==== construction ======================================================================================

TDataSet::TDataSet(TComponent* AOwner)
    : TComponent(AOwner),
      FFields(std::make_unique<TFields>(this)),
      FAggFields(std::make_unique<TFields>(this)),
      FFieldDefs(std::make_unique<TFieldDefs>(this)),
      FIndexDefs(std::make_unique<TIndexDefs>(this)),
      FFieldDefList(std::make_unique<TFieldDefList>()) {}

TDataSet::~TDataSet() {
  TComponent::SetState(csDestroying, true);
  // An engine closes itself in its own destructor: its slots are gone by now. Report one that did not,
  // rather than call into a destroyed engine.
  if (FState != dsInactive)
    HandleDefaultException(this, EDatabaseError(u"A dataset was destroyed while open: " + ClassName()));
  // Sources that still show this dataset go blank; their links hear that the data went inactive.
  std::vector<TDataSource*> sources;
  sources.swap(FDataSources);
  for (TDataSource* ds : sources) {
    ds->FDataSet = nullptr;
    ds->UpdateState();
  }
  FFields->Clear();
  FAggFields->Clear();
}

// ==== opening and closing =================================================================================

void TDataSet::RequireActive() const {
  if (!Active()) DatabaseError(msg::SDataSetClosed, this);
}

void TDataSet::RequireInactive() const {
  if (Active()) DatabaseError(msg::SDataSetOpen, this);
}

void TDataSet::Loaded() {
  TComponent::Loaded();
  if (FStreamedActive) {
    FStreamedActive = false;
    SetActive(true);
  }
}

void TDataSet::SetActive(bool Value) {
  if (HasState(csReading) || HasState(csLoading)) {
    FStreamedActive = Value;
    return;
  }
  if (Value == Active()) return;
  if (Value) {
    DoBeforeOpen();
    StartCursor(false);
    OpenCursorComplete();
    DoAfterOpen();
    if (!IsEmpty()) DoAfterScroll();
  } else {
    const bool destroying = HasState(csDestroying);
    if (!destroying) DoBeforeClose();
    SetState(dsInactive);
    StopCursor();
    if (!destroying) DoAfterClose();
  }
}

void TDataSet::StartCursor(bool InfoQuery) {
  if (InfoQuery) {
    CursorReadFieldDefs();
    return;
  }
  FDefaultFields = FFields->Count() == 0;
  FState = dsOpening;
  try {
    CursorOpen();
    if (FCalcFieldsSize == 0) CalculateCalcFieldsLayout();
    ClearBuffers();
    UpdateBufferCount();
  } catch (...) {
    // Leave nothing half open: the buffers, the cursor and any field made on the way go.
    try {
      FreeBuffers();
      if (CursorIsOpen()) CursorClose();
    } catch (...) {
      HandleCurrentException(this);
    }
    DestroyAutomaticFields();
    FState = dsInactive;
    throw;
  }
}

void TDataSet::OpenCursorComplete() {
  FState = dsBrowse;
  FModified = false;
  ClearBuffers();
  GetNextRecords();
  FBOF = true;
  FEOF = FRecordCount == 0;
  DispatchDataEvent(deUpdateState, 0);
}

void TDataSet::StopCursor() {
  FBlockReadSize = 0;
  try {
    FreeBuffers();
    CursorClose();
  } catch (...) {
    FCalcFieldsSize = 0;
    FInternalCalcFields = false;
    DestroyAutomaticFields();
    throw;
  }
  FCalcFieldsSize = 0;
  FInternalCalcFields = false;
  FHasLookups = false;
  // Fields the framework or the engine made for this opening die with it: a later open makes them
  // again, with the same names.
  DestroyAutomaticFields();
}

void TDataSet::FreeBuffers() {
  for (TRecordBuffer& b : FBuffers)
    if (b) ReleaseRecordBuffer(b);
  FBuffers.clear();
  FBufferCount = 0;
  FRecordCount = 0;
  FActiveRecord = 0;
  FCurrentRecord = -1;
  FCalcBuffer = nullptr;
  FFilterBuffer = nullptr;
}

void TDataSet::SetState(TDataSetState Value) {
  if (FState == Value) return;
  FState = Value;
  FModified = false;
  // A field's mark lasts one edit: left set after Post or Cancel, it would let a later blob stream skip
  // the read-only check.
  for (TField* f : *FFields) f->SetModified(false);
  DispatchDataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState Value) {
  const TDataSetState old = FState;
  FState = Value;
  ++FDisableCount;
  return old;
}

void TDataSet::RestoreState(TDataSetState Value) {
  FState = Value;
  if (FDisableCount > 0) --FDisableCount;
}

// ==== the window of buffers ================================================================================

TRecordBuffer TDataSet::ActiveBuffer() const {
  if (FBuffers.empty()) return nullptr;
  return FBuffers[static_cast<std::size_t>(FActiveRecord)];
}

TRecordBuffer TDataSet::StateBuffer() const {
  switch (FState) {
    case dsBrowse:
    case dsBlockRead:
      return FRecordCount == 0 ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
    case dsNewValue:
    case dsCurValue:
      return ActiveBuffer();
    case dsCalcFields:
    case dsInternalCalc:
      return FCalcBuffer;
    case dsFilter:
      return FFilterBuffer;
    default:
      return nullptr;
  }
}

TRecordBuffer TDataSet::WritableStateBuffer() const {
  switch (FState) {
    case dsEdit:
    case dsInsert:
    case dsSetKey:
    case dsCalcFields:
    case dsFilter:
    case dsNewValue:
    case dsInternalCalc:
      if (TRecordBuffer buffer = StateBuffer()) return buffer;
      break;
    default:
      break;
  }
  DatabaseError(msg::SNotEditing, this);
}

void TDataSet::FieldDataWritten(TField* Field) {
  if (FState != dsCalcFields && FState != dsFilter && FState != dsNewValue)
    DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(Field));
}

void TDataSet::ClearBuffers() {
  FRecordCount = 0;
  FActiveRecord = 0;
  FCurrentRecord = -1;
  FBOF = true;
  FEOF = true;
}

void TDataSet::ActivateBuffers() {
  FRecordCount = 1;
  FActiveRecord = 0;
  FCurrentRecord = 0;
  FBOF = false;
  FEOF = false;
}

void TDataSet::MoveBuffer(int CurIndex, int NewIndex) {
  if (CurIndex == NewIndex) return;
  auto first = FBuffers.begin();
  if (CurIndex < NewIndex)
    std::rotate(first + CurIndex, first + CurIndex + 1, first + NewIndex + 1);
  else
    std::rotate(first + NewIndex, first + CurIndex, first + CurIndex + 1);
}

void TDataSet::SetBufferCount(int Value) {
  Value = std::max(Value, 1);
  if (Value == FBufferCount && FBuffers.size() == static_cast<std::size_t>(Value) + 1) return;
  if (Value < FBufferCount && FRecordCount > Value) {
    // Keep the active row inside the smaller window; rows that fall out go behind the spare.
    const int start = std::max(0, FActiveRecord - (Value - 1));
    std::rotate(FBuffers.begin(), FBuffers.begin() + start, FBuffers.end());
    FActiveRecord -= start;
    FCurrentRecord = FCurrentRecord - start;
    FRecordCount = std::min(FRecordCount - start, Value);
    if (FCurrentRecord < 0 || FCurrentRecord >= FRecordCount) FCurrentRecord = -1;
  }
  while (FBuffers.size() > static_cast<std::size_t>(Value) + 1) {
    TRecordBuffer b = FBuffers.back();
    FBuffers.pop_back();
    if (b) ReleaseRecordBuffer(b);
  }
  FBuffers.reserve(static_cast<std::size_t>(Value) + 1);
  while (FBuffers.size() < static_cast<std::size_t>(Value) + 1) FBuffers.push_back(AllocateRecordBuffer());
  const int old = FBufferCount;
  FBufferCount = Value;
  if (Value > old && FState == dsBrowse && FRecordCount > 0) {
    GetNextRecords();
    GetPriorRecords();
  }
}

void TDataSet::UpdateBufferCount() {
  if (!CursorIsOpen()) return;
  int count = 1;
  for (TDataSource* ds : FDataSources)
    for (TDataLink* link : ds->DataLinks()) count = std::max(count, link->BufferCount());
  SetBufferCount(count);
  for (TDataSource* ds : FDataSources)
    for (TDataLink* link : ds->DataLinks()) link->UpdateWindow();
}

void TDataSet::SetCurrentRecord(int Index) {
  if (FCurrentRecord == Index) return;
  TRecordBuffer buffer = FBuffers[static_cast<std::size_t>(Index)];
  switch (ReadBookmarkFlag(buffer)) {
    case bfBOF: CursorFirst(); break;
    case bfEOF: CursorLast(); break;
    default: CursorSetToRecord(buffer); break;
  }
  FCurrentRecord = Index;
}

void TDataSet::UpdateCursorPos() {
  if (FRecordCount > 0) SetCurrentRecord(FActiveRecord);
}

bool TDataSet::GetNextRecord() {
  TFetchMode mode = fmNext;
  if (FRecordCount > 0) {
    SetCurrentRecord(FRecordCount - 1);
    // A row being inserted at the window's end stands before the cursor's row: that row comes next.
    if (FState == dsInsert && FCurrentRecord == FActiveRecord && ReadBookmarkFlag(ActiveBuffer()) == bfCurrent)
      mode = fmCurrent;
  }
  const bool ok = FetchRecord(FBuffers[static_cast<std::size_t>(FRecordCount)], mode, true) == frOK;
  if (ok) {
    if (FRecordCount == 0)
      ActivateBuffers();
    else if (FRecordCount < FBufferCount)
      ++FRecordCount;
    else
      MoveBuffer(0, FRecordCount);
    FCurrentRecord = FRecordCount - 1;
  } else {
    CursorPosChanged();
  }
  return ok;
}

bool TDataSet::GetPriorRecord() {
  if (FRecordCount > 0) SetCurrentRecord(0);
  const bool ok = FetchRecord(FBuffers[static_cast<std::size_t>(FRecordCount)], fmPrior, true) == frOK;
  if (ok) {
    if (FRecordCount == 0) {
      ActivateBuffers();
    } else {
      MoveBuffer(FRecordCount, 0);
      if (FRecordCount < FBufferCount) {
        ++FRecordCount;
        ++FActiveRecord;
      }
    }
    FCurrentRecord = 0;
  } else {
    CursorPosChanged();
  }
  return ok;
}

int TDataSet::GetNextRecords() {
  int n = 0;
  while (FRecordCount < FBufferCount && GetNextRecord()) ++n;
  return n;
}

int TDataSet::GetPriorRecords() {
  int n = 0;
  while (FRecordCount < FBufferCount && GetPriorRecord()) ++n;
  return n;
}

bool TDataSet::FetchCurrentVisible(TRecordBuffer Buffer) {
  if (FetchRecord(Buffer, fmCurrent, false) != frOK) return false;
  // A row just posted may fail the filter event; an engine that did not test it for the current row
  // would otherwise leave the cursor on a row the dataset does not show.
  if (FFiltered && FOnFilterRecord && !RecordPassesFilterEvent(Buffer)) return false;
  return true;
}

void TDataSet::Resync(TResyncMode Mode) {
  TRecordBuffer spare = FBuffers[static_cast<std::size_t>(FRecordCount)];
  if ((Mode & rmExact) != 0) {
    CursorPosChanged();
    if (FetchRecord(spare, fmCurrent, true) != frOK) DatabaseError(msg::SRecordNotFound, this);
  } else if (!FetchCurrentVisible(spare) && FetchRecord(spare, fmNext, false) != frOK &&
             FetchRecord(spare, fmPrior, false) != frOK) {
    // The row is gone (or hidden by the filter) and so is every other: the dataset shows nothing.
    ClearBuffers();
    DispatchDataEvent(deDataSetChange, 0);
    return;
  }
  int count = (Mode & rmCenter) != 0 ? (FBufferCount - 1) / 2 : FActiveRecord;
  MoveBuffer(FRecordCount, 0);
  ActivateBuffers();
  try {
    while (count > 0 && GetPriorRecord()) --count;
    GetNextRecords();
    GetPriorRecords();
    // The engine cursor ends on the active row: an Insert that follows places its row there.
    UpdateCursorPos();
  } catch (...) {
    DispatchDataEvent(deDataSetChange, 0);
    throw;
  }
  DispatchDataEvent(deDataSetChange, 0);
}

// ==== navigation =========================================================================================

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    CursorFirst();
    GetNextRecord();
    GetNextRecords();
  } catch (...) {
    FBOF = true;
    DispatchDataEvent(deDataSetChange, 0);
    throw;
  }
  FBOF = true;
  DispatchDataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

void TDataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  try {
    CursorLast();
    GetPriorRecord();
    GetPriorRecords();
  } catch (...) {
    FEOF = true;
    DispatchDataEvent(deDataSetChange, 0);
    throw;
  }
  FEOF = true;
  DispatchDataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

int TDataSet::MoveBy(int Distance) {
  CheckBrowseMode();
  int moved = 0;
  DoBeforeScroll();
  if ((Distance > 0 && !FEOF) || (Distance < 0 && !FBOF)) {
    FBOF = false;
    FEOF = false;
    int scroll = 0;
    auto finish = [&] {
      DispatchDataEvent(deDataSetScroll, scroll);
    };
    try {
      while (Distance > 0) {
        if (FActiveRecord < FRecordCount - 1) {
          ++FActiveRecord;
        } else {
          const int shift = FRecordCount < FBufferCount ? 0 : 1;
          if (GetNextRecord()) {
            scroll -= shift;
            if (FActiveRecord < FRecordCount - 1) ++FActiveRecord;
          } else {
            FEOF = true;
            break;
          }
        }
        --Distance;
        ++moved;
      }
      while (Distance < 0) {
        if (FActiveRecord > 0) {
          --FActiveRecord;
        } else {
          const int shift = FRecordCount < FBufferCount ? 0 : 1;
          if (GetPriorRecord()) {
            scroll += shift;
            if (FActiveRecord > 0) --FActiveRecord;
          } else {
            FBOF = true;
            break;
          }
        }
        ++Distance;
        --moved;
      }
    } catch (...) {
      finish();
      throw;
    }
    finish();
    DoAfterScroll();
  }
  return moved;
}

bool TDataSet::IsEmpty() const { return FRecordCount == 0; }

void TDataSet::Refresh() {
  DoBeforeRefresh();
  CheckBrowseMode();
  UpdateCursorPos();
  try {
    CursorRefresh();
  } catch (...) {
    Resync(0);
    throw;
  }
  Resync(0);
  DoAfterRefresh();
}

bool TDataSet::FindRecord(bool, bool) { return false; }

bool TDataSet::Locate(const String&, const Variant&, TLocateOptions) { return false; }

Variant TDataSet::Lookup(const String&, const Variant&, const String&) { return Null(); }

bool TDataSet::GetLocateKeys(const String& KeyFields, const Variant& KeyValues, std::vector<TLocateKey>& Keys) const {
  std::vector<TField*> fields;
  GetFieldList(fields, KeyFields);
  if (fields.empty()) throw Exception(Format(msg::SFieldNotFound, {KeyFields}));
  Keys.clear();
  Keys.reserve(fields.size());
  if (!VarIsArray(KeyValues)) {
    if (fields.size() > 1) return false;
    Keys.push_back({fields.front(), KeyValues});
    return true;
  }
  if (VarArrayLength(KeyValues) < static_cast<int>(fields.size()))
    DatabaseErrorFmt(msg::SKeyValueCount, {static_cast<int>(fields.size()), KeyFields}, this);
  const int low = VarArrayLowBound(KeyValues, 1);
  for (std::size_t i = 0; i < fields.size(); ++i)
    Keys.push_back({fields[i], VarArrayGet(KeyValues, low + static_cast<int>(i))});
  return true;
}

void TDataSet::GetLookupResultFields(const String& ResultFields, std::vector<TField*>& Fields) const {
  Fields.clear();
  std::size_t pos = 0;
  while (pos < ResultFields.size()) {
    const String name = ExtractFieldName(ResultFields, pos);
    if (!name.empty()) Fields.push_back(FindField(name));
  }
}

Variant TDataSet::LookupResult(const std::vector<TField*>& Fields, const std::function<Variant(TField*)>& Value) {
  auto one = [&](TField* f) { return f != nullptr ? Value(f) : Null(); };
  if (Fields.size() <= 1) return Fields.empty() ? Null() : one(Fields.front());
  std::vector<Variant> values;
  values.reserve(Fields.size());
  for (TField* f : Fields) values.push_back(one(f));
  return VarArrayOf(values);
}

bool TDataSet::GetCurrentRecord(TRecordBuffer) { return false; }

// ==== editing ============================================================================================

void TDataSet::CheckRequiredFields() {
  for (TField* f : *FFields) {
    if (f->Required() && !f->ReadOnly() && f->FieldKind() == fkData && f->IsNull()) {
      f->FocusControl();
      DatabaseErrorFmt(msg::SFieldRequired, {f->DisplayName()});
    }
  }
}

void TDataSet::CursorPost() { CheckRequiredFields(); }

void TDataSet::CursorAddRecord(TRecordBuffer, bool) { DatabaseError(msg::SOperationNotSupported, this); }

void TDataSet::CursorReadFieldDefs() {
  // Without an engine's own definitions, the fields describe themselves.
  if (FFields->Count() == 0) return;
  FFieldDefs->Clear();
  for (TField* f : *FFields) {
    if (f->FieldKind() != fkData && f->FieldKind() != fkInternalCalc) continue;
    TFieldDef* def = FFieldDefs->Add(f->FieldName(), f->DataType(), f->Size(), f->Required());
    if (f->FieldKind() == fkInternalCalc) def->SetInternalCalcField(true);
  }
}

void TDataSet::HandleEngineException() { HandleCurrentException(this); }

void TDataSet::PrepareNewRecord(TRecordBuffer Buffer) {
  CursorInitRecord(Buffer);
  ResetCalculatedFields(Buffer);
  WriteBookmarkFlag(Buffer, bfInserted);
}

void TDataSet::CheckOperation(void (TDataSet::*Operation)(), const TDataSetErrorEvent& ErrorEvent) {
  for (;;) {
    try {
      UpdateCursorPos();
      (this->*Operation)();
      return;
    } catch (EDatabaseError& e) {
      TDataAction action = daFail;
      if (ErrorEvent) ErrorEvent(*this, e, action);
      if (action == daFail) throw;
      if (action == daAbort) throw EAbort(u"Operation aborted");
    }
  }
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  if (!CanModify()) DatabaseError(msg::SDataSetReadOnly, this);
  DoBeforeInsert();
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    SetState(dsBrowse);
    Resync(0);
    throw;
  }
  FModified = false;
  DispatchDataEvent(deDataSetChange, 0);
  DoAfterInsert();
  DoAfterScroll();
}

void TDataSet::Append() {
  BeginInsertAppend();
  // The window shows only the new row (and, with a larger window, the rows before the end); the engine
  // cursor is not touched until Post puts it after the last row.
  ClearBuffers();
  TRecordBuffer buffer = FBuffers[0];
  PrepareNewRecord(buffer);
  WriteBookmarkFlag(buffer, bfEOF);
  FRecordCount = 1;
  FBOF = false;
  GetPriorRecords();
  CursorInsert();
  EndInsertAppend();
}

void TDataSet::Insert() {
  BeginInsertAppend();
  // The new buffer stands where the active row was and carries that row's bookmark: the engine
  // inserts before it. The cursor already rests there, so nothing is searched.
  const bool hadRows = FRecordCount > 0;
  if (hadRows) {
    if (FBookmarkScratch.size() != static_cast<std::size_t>(FBookmarkSize))
      FBookmarkScratch.resize(static_cast<std::size_t>(FBookmarkSize));
    ReadBookmarkData(ActiveBuffer(), FBookmarkScratch);
  }
  MoveBuffer(FRecordCount, FActiveRecord);
  if (FCurrentRecord > FActiveRecord) ++FCurrentRecord;
  TRecordBuffer buffer = ActiveBuffer();
  PrepareNewRecord(buffer);
  if (!hadRows)
    WriteBookmarkFlag(buffer, bfBOF);
  else
    WriteBookmarkData(buffer, FBookmarkScratch);
  if (FRecordCount < FBufferCount) ++FRecordCount;
  if (FCurrentRecord >= FRecordCount) FCurrentRecord = -1;
  CursorInsert();
  EndInsertAppend();
}

void TDataSet::Edit() {
  if (FState == dsEdit || FState == dsInsert) return;
  if (FRecordCount == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  if (!CanModify()) DatabaseError(msg::SDataSetReadOnly, this);
  DoBeforeEdit();
  CheckOperation(&TDataSet::CursorEdit, OnEditError);
  UpdateCalculatedFields(ActiveBuffer());
  SetState(dsEdit);
  DispatchDataEvent(deRecordChange, 0);
  DoAfterEdit();
}

void TDataSet::UpdateRecord() {
  if (FState != dsEdit && FState != dsInsert && FState != dsSetKey) DatabaseError(msg::SNotEditing, this);
  DispatchDataEvent(deUpdateRecord, 0);
}

void TDataSet::Post() {
  UpdateRecord();
  if (FState != dsEdit && FState != dsInsert) {
    if (FState == dsSetKey) SetState(dsBrowse);
    return;
  }
  DispatchDataEvent(deCheckBrowseMode, 0);
  DoBeforePost();
  CheckOperation(&TDataSet::CursorPost, OnPostError);
  SetState(dsBrowse);
  // Refetch from where the engine put its cursor: the posted row, or, when the filter hides it, the
  // next visible row (or the prior one) — never a hidden row.
  Resync(0);
  DoAfterPost();
}

void TDataSet::Cancel() {
  if (FState == dsSetKey) {
    SetState(dsBrowse);
    return;
  }
  if (FState != dsEdit && FState != dsInsert) return;
  DispatchDataEvent(deCheckBrowseMode, 0);
  DoBeforeCancel();
  const bool scrolls = FState == dsInsert;
  if (scrolls) DoBeforeScroll();
  UpdateCursorPos();
  CursorCancel();
  SetState(dsBrowse);
  Resync(0);
  DoAfterCancel();
  if (scrolls) DoAfterScroll();
}

void TDataSet::Delete() {
  RequireActive();
  if (FState == dsInsert || FState == dsSetKey) {
    Cancel();
    return;
  }
  if (FRecordCount == 0) DatabaseError(msg::SDataSetEmpty, this);
  DispatchDataEvent(deCheckBrowseMode, 0);
  DoBeforeDelete();
  DoBeforeScroll();
  CheckOperation(&TDataSet::CursorDelete, OnDeleteError);
  SetState(dsBrowse);
  Resync(0);
  DoAfterDelete();
  DoAfterScroll();
}

void TDataSet::CheckBrowseMode() {
  RequireActive();
  DispatchDataEvent(deCheckBrowseMode, 0);
  switch (FState) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (FModified)
        Post();
      else
        Cancel();
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

void TDataSet::ClearFields() {
  if (FState != dsEdit && FState != dsInsert && FState != dsSetKey) DatabaseError(msg::SNotEditing, this);
  DispatchDataEvent(deCheckBrowseMode, 0);
  CursorInitRecord(ActiveBuffer());
  if (FState != dsSetKey) UpdateCalculatedFields(ActiveBuffer());
  DispatchDataEvent(deRecordChange, 0);
}

// ==== bookmarks ==========================================================================================

bool TDataSet::ActiveBufferIsRow() const {
  return !FBuffers.empty() && FRecordCount > 0 &&
         const_cast<TDataSet*>(this)->ReadBookmarkFlag(ActiveBuffer()) == bfCurrent;
}

bool TDataSet::BookmarkAvailable() const {
  return (FState == dsBrowse || FState == dsEdit || FState == dsInsert) && ActiveBufferIsRow();
}

TBookmark TDataSet::GetBookmark() const {
  TBookmark b;
  if (!BookmarkAvailable() || FBookmarkSize <= 0) return b;
  b.resize(static_cast<std::size_t>(FBookmarkSize));
  const_cast<TDataSet*>(this)->ReadBookmarkData(ActiveBuffer(), b);
  return b;
}

String TDataSet::GetBookmarkAsString() const {
  const TBookmark b = GetBookmark();
  String s(b.size(), u'\0');
  for (std::size_t i = 0; i < b.size(); ++i) s[i] = static_cast<char16_t>(b[i]);
  return s;
}

void TDataSet::GotoBookmark(const TBookmark& Bookmark) {
  if (Bookmark.empty()) return;
  CheckBrowseMode();
  DoBeforeScroll();
  CursorGotoBookmark(Bookmark);
  Resync(rmExact | rmCenter);
  DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark&) { return false; }

int TDataSet::CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) {
  if (Bookmark1.empty() && Bookmark2.empty()) return 0;
  if (Bookmark1.empty()) return -1;
  if (Bookmark2.empty()) return 1;
  return 0;
}

// ==== fields =============================================================================================

TField* TDataSet::FindField(std::u16string_view FieldName) const {
  if (TField* f = FFields->FindField(FieldName)) return f;
  return FAggFields->FindField(FieldName);
}

TField* TDataSet::FieldByName(std::u16string_view FieldName) const {
  TField* f = FindField(FieldName);
  if (!f) DatabaseErrorFmt(msg::SFieldNotFound, {String(FieldName)}, this);
  return f;
}

TField* TDataSet::FieldByNumber(int FieldNo) const { return FFields->FieldByNumber(FieldNo); }

void TDataSet::GetFieldList(std::vector<TField*>& List, std::u16string_view FieldNames) const {
  std::size_t pos = 0;
  while (pos < FieldNames.size()) {
    const String name = ExtractFieldName(FieldNames, pos);
    if (!name.empty()) List.push_back(FieldByName(name));
  }
}

void TDataSet::GetFieldNames(std::vector<String>& List) const {
  for (TField* f : *FFields) List.push_back(f->FieldName());
}

Variant TDataSet::FieldValues(std::u16string_view FieldNames) const {
  std::vector<TField*> fields;
  GetFieldList(fields, FieldNames);
  if (fields.size() == 1) return fields.front()->AsVariant();
  std::vector<Variant> values;
  values.reserve(fields.size());
  for (TField* f : fields) values.push_back(f->AsVariant());
  return VarArrayOf(values);
}

void TDataSet::SetFieldValues(std::u16string_view FieldNames, const Variant& Values) {
  std::vector<TField*> fields;
  GetFieldList(fields, FieldNames);
  if (fields.size() == 1) {
    fields.front()->SetAsVariant(Values);
    return;
  }
  for (std::size_t i = 0; i < fields.size(); ++i) fields[i]->SetAsVariant(VarArrayGet(Values, static_cast<int>(i)));
}

void TDataSet::SetFieldDefs(const TFieldDefs& Value) { FFieldDefs->Assign(&Value); }

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField*, TBlobStreamMode) {
  DatabaseErrorFmt(msg::SBlobNotSupported, {ClassName()}, this);
}

void TDataSet::BuildDefaultFields() {
  const bool hidden = FFieldDefs->HiddenFields();
  if (FObjectView) {
    // One field per top-level definition, object fields with their children.
    for (const auto& def : *FFieldDefs) {
      if (def->Hidden() && !hidden) continue;
      if (FFields->FindField(def->Name())) continue;
      TField* f = def->CreateField(this);
      f->SetLifeCycle(lcAutomatic);
      if (auto* obj = dynamic_cast<TObjectField*>(f))
        for (TField* child : obj->ChildFields()) child->SetLifeCycle(lcAutomatic);
    }
    return;
  }
  // Flat: one field per entry of the flat list under its full name; object types have no column.
  BuildFieldDefList();
  for (const auto& entry : *FFieldDefList) {
    TFieldDef* def = entry.Def;
    if (IsObjectFieldType(def->DataType())) continue;
    if (def->Hidden() && !hidden) continue;
    if (FFields->FindField(entry.Name)) continue;
    TField* f = def->CreateField(this, nullptr, entry.Name, false);
    f->SetLifeCycle(lcAutomatic);
  }
}

void TDataSet::CalculateCalcFieldsLayout() {
  FCalcFieldsSize = 0;
  FInternalCalcFields = false;
  FHasLookups = false;
  for (TField* f : *FFields) {
    switch (f->FieldKind()) {
      case fkCalculated:
      case fkLookup:
        f->FFieldNo = 0;
        f->FOffset = FCalcFieldsSize;
        FCalcFieldsSize += f->DataSize() + 1;
        if (f->FieldKind() == fkLookup) FHasLookups = true;
        break;
      case fkInternalCalc:
        FInternalCalcFields = true;
        break;
      default:
        break;
    }
  }
}

void TDataSet::BindAllFields(bool Binding) {
  if (Binding) {
    CalculateCalcFieldsLayout();
    for (TField* f : *FFields) {
      if (f->FieldKind() != fkData && f->FieldKind() != fkInternalCalc) continue;
      TFieldDef* def = FFieldDefs->FindDef(f->FieldName());
      if (!def) continue;
      if (f->LifeCycle() == lcPersistent && f->FieldKind() == fkData) VerifyFieldMatchesDef(f, def);
      if (f->FieldNo() <= 0) f->FFieldNo = def->FieldNo();
    }
  }
  for (TField* f : *FFields) f->Bind(Binding);
}

void TDataSet::DestroyFields() { FFields->Clear(); }

void TDataSet::DestroyAutomaticFields() {
  std::vector<TField*> doomed;
  for (TField* f : *FFields)
    if (f->LifeCycle() == lcAutomatic) doomed.push_back(f);
  // Children first: a parent's destructor would otherwise leave them orphaned mid-list.
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) delete *it;
  if (FFields->Count() == 0) FDefaultFields = false;
}

void TDataSet::SetFieldsLifeCycle(TFieldLifeCycle Value) {
  for (TField* f : *FFields) f->SetLifeCycle(Value);
}

TFieldClass TDataSet::ChooseFieldClass(TFieldType Type) const { return DefaultFieldClass(Type); }

void TDataSet::DefinitionsChanged(TObject*) {}

void TDataSet::RefreshFieldDefs() {
  if (FFieldDefs->Updated()) return;
  CursorReadFieldDefs();
  FFieldDefs->SetUpdated(true);
}

Variant TDataSet::ReadAggregateValue(TField*) { return Null(); }

String TDataSet::PSGetKeyFields() {
  String keys;
  for (TField* f : *FFields) {
    if ((f->ProviderFlags() & pfInKey) == 0) continue;
    if (!keys.empty()) keys += u';';
    keys += f->FieldName();
  }
  if (!keys.empty()) return keys;
  for (const auto& def : *FIndexDefs)
    if ((def->Options() & ixPrimary) != 0) return def->Fields();
  return keys;
}

std::unique_ptr<TIndexDefs> TDataSet::PSGetIndexDefList(TIndexOptions Options) {
  auto list = std::make_unique<TIndexDefs>(this);
  for (const auto& def : *FIndexDefs) {
    if (Options != 0 && (def->Options() & Options) == 0) continue;
    list->AddIndexDef()->Assign(def.get());
  }
  return list;
}

void TDataSet::GetDetailLinkFields(std::vector<TField*>& MasterFields, std::vector<TField*>& DetailFields) {
  MasterFields.clear();
  DetailFields.clear();
}

namespace {

// Types that store the same way count as one when a persistent field meets its definition.
TFieldType BaseFieldType(TFieldType Type) {
  switch (Type) {
    case ftFixedChar: case ftGuid: return ftString;
    case ftFixedWideChar: return ftWideString;
    case ftCurrency: return ftFloat;
    case ftAutoInc: return ftInteger;
    case ftDate: case ftTime: return ftDateTime;
    case ftMemo: case ftGraphic: case ftFmtMemo: case ftParadoxOle: case ftDBaseOle: case ftTypedBinary:
    case ftOraBlob: case ftOraClob:
      return ftBlob;
    case ftIDispatch: return ftInterface;
    case ftOraTimeStamp: return ftTimeStamp;
    default: return Type;
  }
}

}  // namespace

void TDataSet::VerifyFieldMatchesDef(TField* Field, TFieldDef* FieldDef) {
  if (BaseFieldType(Field->DataType()) != BaseFieldType(FieldDef->DataType()))
    DatabaseErrorFmt(msg::SFieldTypeMismatch,
                     {Field->DisplayName(), FieldTypeName(Field->DataType()), FieldTypeName(FieldDef->DataType())},
                     this);
}

// ==== field values =======================================================================================

namespace {

bool HasTwoForms(TFieldType Type) {
  return Type == ftDate || Type == ftTime || Type == ftDateTime || Type == ftBCD;
}

template <class T>
T Load(TConstValueBuffer b) {
  T v{};
  std::memcpy(&v, b.data(), std::min(sizeof(T), b.size()));
  return v;
}

template <class T>
void Store(TValueBuffer b, const T& v) {
  std::memcpy(b.data(), &v, std::min(sizeof(T), b.size()));
}

}  // namespace

bool TDataSet::GetFieldData(TField* Field, TValueBuffer Buffer, bool NativeFormat) {
  if (NativeFormat || Buffer.empty() || !HasTwoForms(Field->DataType())) return GetFieldData(Field, Buffer);
  alignas(8) Byte native[40] = {};
  const std::size_t n = static_cast<std::size_t>(NativeDataSize(Field->DataType(), Field->Size()));
  if (!GetFieldData(Field, TValueBuffer(native, n))) return false;
  ConvertFieldData(Field, TConstValueBuffer(native, n), Buffer, false);
  return true;
}

void TDataSet::WriteFieldData(TField* Field, TConstValueBuffer Buffer, bool NativeFormat) {
  if (NativeFormat || Buffer.empty() || !HasTwoForms(Field->DataType())) {
    WriteFieldData(Field, Buffer);
    return;
  }
  alignas(8) Byte native[40] = {};
  const std::size_t n = static_cast<std::size_t>(NativeDataSize(Field->DataType(), Field->Size()));
  ConvertFieldData(Field, Buffer, TValueBuffer(native, n), true);
  WriteFieldData(Field, TConstValueBuffer(native, n));
}

// An engine that forgot this slot would otherwise show every value as null: say so instead.
bool TDataSet::GetFieldData(TField*, TValueBuffer) { DatabaseErrorFmt(msg::SNoFieldData, {ClassName()}, this); }

bool TDataSet::GetFieldData(int FieldNo, TValueBuffer Buffer) {
  TField* f = FieldByNumber(FieldNo);
  return f && GetFieldData(f, Buffer);
}

bool TDataSet::GetFieldData(TField* Field, Byte* Buffer) {
  if (!Buffer) return GetFieldData(Field, TValueBuffer{});
  return GetFieldData(Field, TValueBuffer(Buffer, static_cast<std::size_t>(Field->DataSize())));
}

bool TDataSet::GetFieldData(TField* Field, Byte* Buffer, bool NativeFormat) {
  if (!Buffer) return GetFieldData(Field, TValueBuffer{});
  // The non-native forms (TDateTime, Currency) take 8 bytes; conversions touch no more than that.
  const std::size_t n = static_cast<std::size_t>(NativeFormat ? Field->DataSize() : std::max(Field->DataSize(), 8));
  return GetFieldData(Field, TValueBuffer(Buffer, n), NativeFormat);
}

void TDataSet::WriteFieldData(TField* Field, const Byte* Buffer, bool NativeFormat) {
  if (!Buffer) {
    WriteFieldData(Field, TConstValueBuffer{});
    return;
  }
  const std::size_t n = static_cast<std::size_t>(NativeFormat ? Field->DataSize() : std::max(Field->DataSize(), 8));
  WriteFieldData(Field, TConstValueBuffer(Buffer, n), NativeFormat);
}

void TDataSet::WriteFieldData(TField*, TConstValueBuffer) { DatabaseErrorFmt(msg::SNoFieldStore, {ClassName()}, this); }

void TDataSet::WriteFieldData(TField* Field, const Byte* Buffer) {
  if (!Buffer)
    WriteFieldData(Field, TConstValueBuffer{});
  else
    WriteFieldData(Field, TConstValueBuffer(Buffer, static_cast<std::size_t>(Field->DataSize())));
}

bool TDataSet::GetFieldValue(TField*, Variant& Value) {
  Value = Null();
  return false;
}

void TDataSet::WriteFieldValue(TField*, const Variant&) { DatabaseError(msg::SOperationNotSupported, this); }

void TDataSet::ConvertFieldData(TField* Field, TConstValueBuffer Source, TValueBuffer Dest, bool ToNative) {
  switch (Field->DataType()) {
    case ftDate:
      if (ToNative)
        Store(Dest, DateTimeToNativeDate(Load<double>(Source)));
      else
        Store(Dest, NativeDateToDateTime(Load<std::int32_t>(Source)));
      return;
    case ftTime:
      if (ToNative)
        Store(Dest, DateTimeToNativeTime(Load<double>(Source)));
      else
        Store(Dest, NativeTimeToDateTime(Load<std::int32_t>(Source)));
      return;
    case ftDateTime:
      if (ToNative)
        Store(Dest, DateTimeToNativeDateTime(Load<double>(Source)));
      else
        Store(Dest, NativeDateTimeToDateTime(Load<double>(Source)));
      return;
    case ftBCD:
      if (ToNative) {
        TBcd bcd;
        int precision = 32;
        if (auto* f = dynamic_cast<TBCDField*>(Field); f && f->Precision() > 0) precision = f->Precision();
        CurrToBCD(Load<Currency>(Source), bcd, precision, std::min(Field->Size(), 4));
        Store(Dest, bcd);
      } else {
        Currency c;
        BCDToCurr(Load<TBcd>(Source), c);
        Store(Dest, c);
      }
      return;
    default:
      std::memcpy(Dest.data(), Source.data(), std::min(Source.size(), Dest.size()));
      return;
  }
}

Variant TDataSet::GetStateFieldValue(TDataSetState AState, TField* Field) {
  const TDataSetState save = SetTempState(AState);
  Variant v;
  try {
    v = Field->AsVariant();
  } catch (...) {
    RestoreState(save);
    throw;
  }
  RestoreState(save);
  return v;
}

void TDataSet::SetStateFieldValue(TDataSetState AState, TField* Field, const Variant& Value) {
  const TDataSetState save = SetTempState(AState);
  try {
    Field->SetAsVariant(Value);
  } catch (...) {
    RestoreState(save);
    throw;
  }
  RestoreState(save);
}

bool TDataSet::ReadCalculatedField(const Byte* CalcArea, const TField* Field, TValueBuffer Buffer) {
  const Byte* slot = CalcArea + Field->Offset();
  if (slot[0] == 0) return false;
  const std::size_t n = std::min(Buffer.size(), static_cast<std::size_t>(Field->DataSize()));
  if (n) std::memcpy(Buffer.data(), slot + 1, n);
  return true;
}

void TDataSet::WriteCalculatedField(Byte* CalcArea, const TField* Field, TConstValueBuffer Buffer) {
  Byte* slot = CalcArea + Field->Offset();
  const std::size_t size = static_cast<std::size_t>(Field->DataSize());
  if (Buffer.empty()) {
    slot[0] = 0;
    return;
  }
  slot[0] = 1;
  const std::size_t n = std::min(Buffer.size(), size);
  std::memcpy(slot + 1, Buffer.data(), n);
  if (n < size) std::memset(slot + 1 + n, 0, size - n);
}

// ==== calculated fields ==================================================================================

void TDataSet::UpdateCalculatedFields(TRecordBuffer Buffer) {
  if (FCalcFieldsSize == 0 && !FInternalCalcFields) return;
  const TDataSetState save = FState;
  FState = dsCalcFields;
  try {
    EvaluateCalculatedFields(Buffer);
  } catch (...) {
    FState = save;
    throw;
  }
  FState = save;
}

void TDataSet::EvaluateCalculatedFields(TRecordBuffer Buffer) {
  FCalcBuffer = Buffer;
  if (FState != dsInternalCalc) {
    ResetCalculatedFields(Buffer);
    if (FHasLookups)
      for (TField* f : *FFields)
        if (f->FieldKind() == fkLookup) f->CalcLookupValue();
  }
  DoOnCalcFields();
}

void TDataSet::UpdateCalcFieldsOnChange() {
  if (FCalcFieldsSize == 0 || !FAutoCalcFields) return;
  if (FState != dsEdit && FState != dsInsert) return;
  UpdateCalculatedFields(ActiveBuffer());
}

// ==== filters ============================================================================================

void TDataSet::SetFilterText(const String& Value) { FFilterText = Value; }
void TDataSet::SetFiltered(bool Value) { FFiltered = Value; }
void TDataSet::SetFilterOptions(TFilterOptions Value) { FFilterOptions = Value; }
void TDataSet::SetOnFilterRecord(const TFilterRecordEvent& Value) { FOnFilterRecord = Value; }

bool TDataSet::RecordPassesFilterEvent(TRecordBuffer Buffer) {
  if (!FOnFilterRecord) return true;
  const TDataSetState save = SetTempState(dsFilter);
  TRecordBuffer saveBuffer = FFilterBuffer;
  FFilterBuffer = Buffer;
  bool accept = true;
  try {
    FOnFilterRecord(*this, accept);
  } catch (...) {
    FFilterBuffer = saveBuffer;
    RestoreState(save);
    throw;
  }
  FFilterBuffer = saveBuffer;
  RestoreState(save);
  return accept;
}

// ==== events and controls ================================================================================

void TDataSet::DispatchDataEvent(TDataEvent Event, std::intptr_t Info) {
  switch (Event) {
    case deFieldChange: {
      auto* field = reinterpret_cast<TField*>(Info);
      if (field && (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc)) FModified = true;
      UpdateCalcFieldsOnChange();
      if (field) field->Change();
      break;
    }
    case dePropertyChange:
      FFieldDefs->SetUpdated(false);
      break;
    default:
      break;
  }
  if (FDisableCount == 0 && FState != dsBlockRead) {
    // By index: a handler may add or remove a data source.
    for (std::size_t i = 0; i < FDataSources.size(); ++i) FDataSources[i]->DataEvent(Event, Info);
  } else if ((Event == deUpdateState && FState == dsInactive) || Event == deLayoutChange) {
    FEnableEvent = deLayoutChange;
  }
}

void TDataSet::DisableControls() {
  if (FDisableCount == 0) {
    FDisableState = FState;
    FEnableEvent = deDataSetChange;
  }
  ++FDisableCount;
}

void TDataSet::EnableControls() {
  if (FDisableCount == 0) return;
  if (--FDisableCount != 0) return;
  if (FDisableState != FState) DispatchDataEvent(deUpdateState, 0);
  if (FDisableState != dsInactive && FState != dsInactive) DispatchDataEvent(FEnableEvent, 0);
}

bool TDataSet::IsLinkedTo(const TDataSource* ADataSource) const {
  // A chain of masters is short; the bound only guards against a cycle made behind our back.
  int guard = 0;
  for (const TDataSource* ds = ADataSource; ds && ds->DataSet() && guard < 1000; ++guard) {
    if (ds->DataSet() == this) return true;
    ds = ds->DataSet()->DataSource();
  }
  return false;
}

void TDataSet::SetBlockReadSize(int Value) {
  if (Value > 0) {
    CheckBrowseMode();
    FBlockReadSize = Value;
    SetState(dsBlockRead);
  } else {
    FBlockReadSize = 0;
    if (FState == dsBlockRead) SetState(dsBrowse);
  }
}

void TDataSet::AddDataSource(TDataSource* ADataSource) {
  FDataSources.push_back(ADataSource);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* ADataSource) {
  FDataSources.erase(std::remove(FDataSources.begin(), FDataSources.end(), ADataSource), FDataSources.end());
  UpdateBufferCount();
}
