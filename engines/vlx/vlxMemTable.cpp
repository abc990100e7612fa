#include "engines/vlx/vlxMemTable.h"

#include <algorithm>

#include "engines/vlx/vlxDeltaHandler.h"
#include "engines/vlx/vlxStreamFormat.h"
#include "platform/classes/Files.h"
#include "platform/rtl/Bcd.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/Format.h"
#include "platform/sys/CodePage.h"

namespace {
constexpr char16_t SNotEditMode[] = u"Dataset is not in edit mode.";
constexpr char16_t SFieldIsReadOnly[] = u"Field %s is read only";
constexpr char16_t SNoFormat[] = u"No format specified.";
constexpr char16_t SNoCurrentRecord[] = u"No current record.";

// Holds the store lock for a scope (nothing on a standalone store).
using TStoreLock = TvlxCommon::TLockGuard;
}  // namespace

// ---- life ---------------------------------------------------------------------------------------------

TvlxCustomMemTable::TvlxCustomMemTable(TComponent* AOwner) : TDataSet(AOwner) { TakeOwnStore(); }

TvlxCustomMemTable::~TvlxCustomMemTable() {
  try {
    Close();
  } catch (...) {
    HandleCurrentException(this);
  }
  if (FDeltaHandler != nullptr) FDeltaHandler->SetDataSet(nullptr);
  // Tables sharing this table's store keep working, each on a store of its own.
  if (FAttachedTo == nullptr)
    for (TvlxCustomMemTable* t : std::vector<TvlxCustomMemTable*>(FCommon->AttachedTables()))
      if (t != nullptr && t != this) t->DetachFromDyingStore();
  FMasterLink.reset();
  FFilterParser.reset();
  FIndexes.reset();
  FCurIndex = nullptr;
  FCommon->DeAttachTable(this);
  FCommon.reset();
}

void TvlxCustomMemTable::SetPerformance(TvlxPerformance Value) {
  if (Active()) throw EMemTableError(String(vlxmsg::STableMustBeClosed));
  FCommon->SetPerformance(Value);
}

void TvlxCustomMemTable::SetStandalone(bool Value) {
  TStoreLock lock(*FCommon);
  if (Value == FCommon->Standalone()) return;
  if (Active()) throw EMemTableError(String(vlxmsg::STableMustBeClosed));
  FCommon->SetStandalone(Value);
}

void TvlxCustomMemTable::SetDeltaHandler(TvlxCustomDeltaHandler* Value) {
  if (FDeltaHandler == Value) return;
  if (FDeltaHandler != nullptr) FDeltaHandler->SetDataSet(nullptr);
  FDeltaHandler = Value;
  if (Value != nullptr) Value->SetDataSet(this);
}

void TvlxCustomMemTable::Progress(int Pct, TvlxProgressCode Code) {
  if (OnProgress && (FProgressFlags & (1u << Code))) OnProgress(*this, Pct, Code);
}

void TvlxCustomMemTable::Lock() {
  FCommon->Lock();
  FCommon->SetThreadProtected(true);
}

void TvlxCustomMemTable::Unlock() {
  FCommon->SetThreadProtected(false);
  FCommon->Unlock();
}

void TvlxCustomMemTable::DispatchDataEvent(TDataEvent Event, std::intptr_t Info) {
  if (FCommon && FCommon->ThreadProtected()) {
    if (Event != deFieldChange) return;
    DisableControls();
    try {
      TDataSet::DispatchDataEvent(Event, Info);
    } catch (...) {
      EnableControls();
      throw;
    }
    EnableControls();
    return;
  }
  TDataSet::DispatchDataEvent(Event, Info);
}

std::uint32_t TvlxCustomMemTable::RecordTag() const {
  PvlxRecord r = const_cast<TvlxCustomMemTable*>(this)->ActiveRecordBuffer();
  if (r == nullptr) throw EMemTableError(String(SNoCurrentRecord));
  return r->Tag;
}

void TvlxCustomMemTable::SetRecordTag(std::uint32_t Value) {
  PvlxRecord r = ActiveRecordBuffer();
  if (r == nullptr) throw EMemTableError(String(SNoCurrentRecord));
  PvlxRecord stored = StoredRecordOf(r);
  if (stored == nullptr) throw EMemTableError(String(SNoCurrentRecord));
  stored->Tag = Value;
  r->Tag = Value;
}

// ---- structure ----------------------------------------------------------------------------------------

void TvlxCustomMemTable::CreateTable() {
  if (FCommon->IsAnyTableActive()) FCommon->CloseTables(nullptr);
  if (FieldDefs().Count() == 0)
    for (TField* f : Fields())
      if (f->FieldKind() == fkData) FieldDefs().Add(f->FieldName(), f->DataType(), f->Size(), f->Required());
  if (FieldDefs().Count() == 0) throw EMemTableError(String(vlxmsg::SNoFields));
  // The structure is checked now, not at the first open.
  for (int i = 0; i < FieldDefs().Count(); ++i) {
    TFieldDef* d = FieldDefs()[i];
    if (!TvlxCommon::IsSupportedType(d->DataType()))
      throw EMemTableError(u"Fielddef " + d->Name() + u" (" + d->DisplayName() + u")" +
                           Format(vlxmsg::SDatatypeNotSupported, {static_cast<int>(d->DataType())}));
  }
  DestroyIndexes();
  ResetAutoInc();
}

void TvlxCustomMemTable::DeleteTable() {
  FCommon->CloseTables(nullptr);
  DestroyFields();
}

void TvlxCustomMemTable::ResetAutoInc() {
  FAutoIncField = nullptr;
  FCommon->SetAutoIncMax(FCommon->AutoIncMin() - 1);
  for (TField* f : Fields())
    if (f->DataType() == ftAutoInc) {
      FAutoIncField = f;
      break;
    }
}

void TvlxCustomMemTable::ClearModified() {
  FCommon->ClearModifiedFlags();
  FCommon->SetIsDataModified(false);
}

void TvlxCustomMemTable::EmptyTable() {
  Progress(0, mtpcEmpty);
  DisableControls();
  try {
    FCommon->EmptyTables();
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
  Progress(100, mtpcEmpty);
}

void TvlxCustomMemTable::EmptyTableStep() {
  const TvlxState old = FState;
  FState = mtstEmpty;
  try {
    CheckBrowseMode();
  } catch (...) {
    FState = old;
    throw;
  }
  ClearBuffers();
  // The store is about to drop every record: the indexes are emptied, and being empty they are exact,
  // so new rows go straight in.
  FIndexes->ResetEmpty();
  FRecNo = -1;
  FReposRecNo = -1;
  FState = old;
  TDataSet::DispatchDataEvent(deDataSetChange, 0);
}

int TvlxCustomMemTable::DeleteRecords() {
  int n = 0;
  First();
  while (!Eof()) {
    Delete();
    ++n;
  }
  return n;
}

// ---- open and close ---------------------------------------------------------------------------------------

void TvlxCustomMemTable::CursorReadFieldDefs() {
  if (!DefaultFields()) TDataSet::CursorReadFieldDefs();
}

void TvlxCustomMemTable::CursorOpen() {
  // An attached table reads the owner's records: the owner opens first and lays the records out.
  if (FAttachedTo != nullptr && !FAttachedTo->Active()) FAttachedTo->Open();
  TStoreLock lock(*FCommon);
  CursorReadFieldDefs();
  if (DefaultFields()) {
    if (FieldDefs().Count() == 0) throw EMemTableError(String(vlxmsg::SNoFields));
    BuildDefaultFields();
    SetFieldsLifeCycle(lcAutomatic);
  }
  if (FAttachedTo == nullptr) {
    ResetAutoInc();
  } else {
    FAutoIncField = nullptr;
    for (TField* f : Fields())
      if (f->DataType() == ftAutoInc) {
        FAutoIncField = f;
        break;
      }
  }
  SetBookmarkSize(kvlxBookmarkEntrySize);
  BuildFieldDefList();
  BindAllFields(true);
  if (FAttachedTo == nullptr)
    FCommon->LayoutRecord(FieldDefList().Count() > 0 ? FieldDefList().Count() : FieldDefs().Count());
  else if (CalcFieldsSize() > FCommon->StartBookmarks() - FCommon->StartCalculated())
    // The records are laid out by the owner: calculated values of this table must fit its area.
    throw EMemTableError(String(u"Calculated fields of an attached table do not fit the owner's records."));
  FIsOpen = true;
  FRecNo = -1;
  FReposRecNo = -1;
  CreateIndexes();
  FCurIndex = FIndexes->RowOrderIndex();
  FIndexes->RowOrderIndex()->Rebuild();
  BuildDetailFieldList();
  FMasterDetailRelationChanged = true;
}

void TvlxCustomMemTable::CursorClose() {
  {
    TStoreLock lock(*FCommon);
    FCommon->_InternalFreeRecord(FMasterKey, true, false);
    FMasterKey = nullptr;
    // Only the owner's closing empties the store; an attached table just stops looking at it.
    if (FAttachedTo == nullptr) {
      FCommon->CloseTables(this);
      FCommon->ReleaseAllRecords();
    }
  }
  FFilterParser.reset();
  FRecNo = -1;
  DestroyIndexes();
  FCurIndex = FIndexes->RowOrderIndex();
  FIsOpen = false;
  FFilterRecord = nullptr;
  FOverrideActiveRecordBuffer = nullptr;
  FPendingBlobError = nullptr;
  BindAllFields(false);
}

void TvlxCustomMemTable::DoAfterOpen() {
  // An attached table opens onto records already there.
  if (FCommon->RecordCount() > 0) FIndexes->MarkAllDirty();
  UpdateIndexes();
  if (!FIndexFieldNames.empty()) SetIndexFieldNames(FIndexFieldNames);
  else if (!FIndexName.empty()) SetIndexName(FIndexName);
  UpdateIsFiltered();
  if (Filtered()) {
    // Compiles the filter text for the fields just made.
    TDataSet::SetFiltered(false);
    SetFiltered(true);
  }
  TDataSet::DoAfterOpen();
  MasterChanged();
}

void TvlxCustomMemTable::DoBeforeClose() {
  if (State() == dsEdit || State() == dsInsert) Cancel();
  TDataSet::DoBeforeClose();
}

// ---- record buffers -------------------------------------------------------------------------------------

TRecordBuffer TvlxCustomMemTable::AllocateRecordBuffer() {
  return reinterpret_cast<TRecordBuffer>(FCommon->_InternalAllocRecord(false));
}

void TvlxCustomMemTable::ReleaseRecordBuffer(TRecordBuffer& Buffer) {
  PvlxRecord r = Rec(Buffer);
  if (r != nullptr) {
    // A buffer owns only the blocks it wrote itself; its version pointer is borrowed.
    r->Flag = 0;
    FCommon->_InternalFreeRecord(r, true, false);
  }
  Buffer = nullptr;
}

void TvlxCustomMemTable::CursorInitRecord(TRecordBuffer Buffer) {
  PvlxRecord r = Rec(Buffer);
  FCommon->ReleaseVarLengthValues(r);
  FCommon->ResetRecord(r);
}

void TvlxCustomMemTable::ResetCalculatedFields(TRecordBuffer Buffer) {
  if (CalcFieldsSize() > 0)
    std::memset(Rec(Buffer)->Data + FCommon->StartCalculated(), 0, static_cast<std::size_t>(CalcFieldsSize()));
}

void TvlxCustomMemTable::ReadBookmarkData(TRecordBuffer Buffer, TValueBuffer Data) {
  const Byte* area = BookmarkArea(Rec(Buffer));
  Byte bm[kvlxBookmarkEntrySize];
  std::memcpy(bm, area, 4);
  StoreI32(bm + 4, FCommon->DataID());
  std::memcpy(bm + 8, area + 8, 4);
  std::memcpy(Data.data(), bm, std::min<std::size_t>(Data.size(), sizeof bm));
}

void TvlxCustomMemTable::WriteBookmarkData(TRecordBuffer Buffer, TConstValueBuffer Data) {
  Byte* area = BookmarkArea(Rec(Buffer));
  if (Data.size() >= 4) std::memcpy(area, Data.data(), 4);
  if (Data.size() >= 12) std::memcpy(area + 8, Data.data() + 8, 4);
}

TBookmarkFlag TvlxCustomMemTable::ReadBookmarkFlag(TRecordBuffer Buffer) {
  return static_cast<TBookmarkFlag>(BookmarkArea(Rec(Buffer))[4]);
}

void TvlxCustomMemTable::WriteBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) {
  BookmarkArea(Rec(Buffer))[4] = Value;
}

PvlxRecord TvlxCustomMemTable::ActiveRecordBuffer() {
  if (FOverrideActiveRecordBuffer != nullptr) return FOverrideActiveRecordBuffer;
  switch (State()) {
    case dsBrowse:
      return IsEmpty() ? nullptr : Rec(ActiveBuffer());
    case dsEdit:
    case dsInsert:
    case dsNewValue:
    case dsCurValue:
    case dsBlockRead:
      return Rec(ActiveBuffer());
    case dsCalcFields:
    case dsInternalCalc:
      return Rec(CalcBuffer());
    case dsFilter:
      return FFilterRecord != nullptr ? FFilterRecord : Rec(FilterBuffer());
    case dsOldValue: {
      if (IsEmpty()) return nullptr;
      PvlxRecord r = Rec(ActiveBuffer());
      PvlxRecord stored = StoredRecordOf(r);
      if (stored == nullptr) return r;
      while (stored->PrevRecordVersion != nullptr) stored = stored->PrevRecordVersion;
      return stored;
    }
    default:
      return nullptr;
  }
}

PvlxRecord TvlxCustomMemTable::StoredRecordOf(const TvlxRecord* Buffer) const {
  if (Buffer == nullptr) return nullptr;
  PvlxRecord s = FCommon->StoredRecord(Buffer->RecordID);
  if (s == nullptr || s->UniqueRecordID != Buffer->UniqueRecordID) return nullptr;
  return s;
}

int TvlxCustomMemTable::PositionInCurrent(const TvlxRecord* Stored, int Hint) const {
  if (Stored == nullptr || FCurIndex == nullptr) return -1;
  const TvlxRefList& refs = FCurIndex->References();
  if (Hint >= 0 && Hint < refs.Count() && refs[Hint] == Stored) return Hint;
  return FCurIndex->SearchRecord(Stored);
}

// ---- field values ---------------------------------------------------------------------------------------

bool TvlxCustomMemTable::GetFieldData(TField* Field, TValueBuffer Buffer) {
  if (!FIsOpen) return false;
  TStoreLock lock(*FCommon);
  PvlxRecord r = ActiveRecordBuffer();
  if (r == nullptr) return false;
  if (Field->FieldNo() < 1) return ReadCalculatedField(r->Data + FCommon->StartCalculated(), Field, Buffer);
  const int idx = Field->FieldNo() - 1;
  if (idx >= FCommon->FieldCount()) return false;
  const int ofs = FCommon->FieldOffset(idx);
  const Byte* slot = r->Data + ofs;
  if (slot[0] == 0) return false;
  if (FCommon->IsVarLength(idx)) {
    if (Field->IsBlob()) return true;
    if (Buffer.empty()) return true;
    const std::uint32_t h = FCommon->ResolveBlock(r, ofs);
    if (h == 0) return false;
    const std::size_t n = std::min<std::size_t>(Buffer.size(), FCommon->Blocks().Length(h));
    std::memcpy(Buffer.data(), FCommon->Blocks().Bytes(h), n);
    if (n < Buffer.size()) std::memset(Buffer.data() + n, 0, Buffer.size() - n);
    return true;
  }
  if (!Buffer.empty()) {
    const std::size_t size = static_cast<std::size_t>(TvlxCommon::ValueBytes(Field->DataType(), Field->Size()));
    std::memcpy(Buffer.data(), slot + 1, std::min(Buffer.size(), size));
  }
  return true;
}

void TvlxCustomMemTable::WriteFieldData(TField* Field, TConstValueBuffer Buffer) {
  if (!FIsOpen) return;
  const TDataSetState s = State();
  if (s != dsEdit && s != dsInsert && s != dsSetKey && s != dsCalcFields && s != dsFilter && s != dsNewValue &&
      s != dsInternalCalc)
    DatabaseError(SNotEditMode, this);
  {
    TStoreLock lock(*FCommon);
    PvlxRecord r = ActiveRecordBuffer();
    if (r == nullptr) return;
    if (!FIgnoreReadOnly && (FReadOnly || Field->ReadOnly()) && s != dsSetKey && s != dsCalcFields)
      DatabaseErrorFmt(SFieldIsReadOnly, {Field->DisplayName()}, this);
    // Validation first: a refused value leaves the old one in place.
    if (Field->FieldKind() != fkLookup) Field->Validate(Buffer);
    if (Field->FieldNo() < 1) {
      WriteCalculatedField(r->Data + FCommon->StartCalculated(), Field, Buffer);
    } else {
      const int idx = Field->FieldNo() - 1;
      const int ofs = FCommon->FieldOffset(idx);
      Byte* slot = r->Data + ofs;
      const TvlxLayoutField& lf = FCommon->LayoutField(idx);
      if (FCommon->IsVarLength(idx)) {
        std::uint32_t h = 0;
        if (!Buffer.empty()) {
          int size = static_cast<int>(Buffer.size());
          if (!TvlxCommon::IsAlwaysVarLength(lf.DataType))
            size = std::min(size, TvlxCommon::ValueBytes(lf.DataType, lf.Size));
          if (FCommon->IsCompressed(idx)) FCommon->CompressFieldBuffer(Field, Buffer.data(), size);
          h = FCommon->Blocks().AllocCopy(Buffer.data(), static_cast<std::uint32_t>(size));
        }
        const std::uint32_t old = LoadU32(slot + 1);
        StoreU32(slot + 1, h);
        slot[0] = h ? 2 : 0;
        if (old) FCommon->Blocks().Free(old);
      } else {
        const std::size_t size = static_cast<std::size_t>(TvlxCommon::ValueBytes(lf.DataType, lf.Size));
        if (Buffer.empty()) {
          slot[0] = 0;
          std::memset(slot + 1, 0, size);
        } else {
          slot[0] = 2;
          const std::size_t n = std::min(Buffer.size(), size);
          std::memcpy(slot + 1, Buffer.data(), n);
          if (n < size) std::memset(slot + 1 + n, 0, size - n);
        }
      }
      FCommon->SetFieldModified(idx);
    }
  }
  if (s != dsCalcFields && s != dsFilter && s != dsNewValue)
    DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(Field));
}

void TvlxCustomMemTable::PopulateField(PvlxRecord Record, TField* Field, const Variant& Value) {
  TStoreLock lock(*FCommon);
  Byte* slot = FCommon->GetFieldPointer(Record, Field);
  if (slot == nullptr) return;
  const int idx = Field->FieldNo() - 1;
  const bool var = idx >= 0 && FCommon->IsVarLength(idx);
  if (VarIsNull(Value) || VarIsEmpty(Value)) {
    if (var) {
      const std::uint32_t h = LoadU32(slot + 1);
      StoreU32(slot + 1, 0);
      if (h) FCommon->Blocks().Free(h);
    } else if (idx >= 0) {
      std::memset(slot + 1, 0, static_cast<std::size_t>(TvlxCommon::ValueBytes(Field->DataType(), Field->Size())));
    }
    slot[0] = 0;
    return;
  }
  Byte value[64] = {};
  std::vector<Byte> text;
  const Byte* src = value;
  std::size_t n = 0;
  switch (Field->DataType()) {
    case ftString: case ftFixedChar: case ftGuid: case ftOraInterval: {
      // A transliterated field holds its text in the OEM code page (the system page translated).
      const std::string a = sys::Utf16ToAnsi(Value.AsString(), Field->Transliterate() ? sys::CP_OEMCP : sys::CP_ACP);
      const std::string_view cut = sys::CutAnsi(a, static_cast<std::size_t>(Field->Size()));
      text.assign(cut.begin(), cut.end());
      text.resize(static_cast<std::size_t>(Field->Size()) + 1, 0);
      src = text.data();
      n = text.size();
      break;
    }
    case ftWideString: case ftFixedWideChar: {
      String w = Value.AsString();
      if (w.size() > static_cast<std::size_t>(Field->Size())) w.resize(static_cast<std::size_t>(Field->Size()));
      text.resize(2 * (static_cast<std::size_t>(Field->Size()) + 1), 0);
      std::memcpy(text.data(), w.data(), 2 * w.size());
      src = text.data();
      n = text.size();
      break;
    }
    case ftSmallint: case ftWord: { const auto v = static_cast<std::int16_t>(Value.AsInteger()); std::memcpy(value, &v, 2); n = 2; break; }
    case ftInteger: case ftAutoInc: case ftShortint: case ftByte: { const std::int32_t v = Value.AsInteger(); std::memcpy(value, &v, 4); n = 4; break; }
    case ftLongWord: { const auto v = static_cast<std::uint32_t>(Value.AsInt64()); std::memcpy(value, &v, 4); n = 4; break; }
    case ftLargeint: { const Int64 v = Value.AsInt64(); std::memcpy(value, &v, 8); n = 8; break; }
    case ftBoolean: { const std::uint16_t v = Value.AsBoolean() ? 1 : 0; std::memcpy(value, &v, 2); n = 2; break; }
    case ftFloat: case ftCurrency: { const double v = Value.AsDouble(); std::memcpy(value, &v, 8); n = 8; break; }
    case ftDate: { const std::int32_t v = DateTimeToNativeDate(Value.AsDateTime()); std::memcpy(value, &v, 4); n = 4; break; }
    case ftTime: { const std::int32_t v = DateTimeToNativeTime(Value.AsDateTime()); std::memcpy(value, &v, 4); n = 4; break; }
    case ftDateTime: { const double v = DateTimeToNativeDateTime(Value.AsDateTime()); std::memcpy(value, &v, 8); n = 8; break; }
    case ftBCD: {
      // Precision: the field's when it exceeds its size, else size + 1; the size is the scale.
      const auto* bcdField = dynamic_cast<const TBCDField*>(Field);
      const int scale = Field->Size();
      const int precision = bcdField != nullptr && bcdField->Precision() > scale ? bcdField->Precision() : scale + 1;
      TBcd b;
      if (!CurrToBCD(Value.AsCurrency(), b, precision, scale))
        throw EMemTableError(u"PopulateField: " + Format(u"%s does not fit field %s", {Value.AsString(), Field->DisplayName()}));
      std::memcpy(value, &b, sizeof b);
      n = sizeof b;
      break;
    }
    case ftExtended: { const TExtended80Rec e = DoubleToExtended(Value.AsDouble()); std::memcpy(value, e.data(), 10); n = 10; break; }
    case ftTimeStamp: case ftOraTimeStamp: { const TSQLTimeStamp t = Value.AsSQLTimeStamp(); std::memcpy(value, &t, sizeof t); n = sizeof t; break; }
    default:
      throw EMemTableError(u"PopulateField: " + Format(vlxmsg::SDatatypeNotSupported, {static_cast<int>(Field->DataType())}));
  }
  if (var) {
    const std::uint32_t h = FCommon->Blocks().AllocCopy(src, static_cast<std::uint32_t>(n));
    const std::uint32_t old = LoadU32(slot + 1);
    StoreU32(slot + 1, h);
    if (old) FCommon->Blocks().Free(old);
  } else {
    const std::size_t size = static_cast<std::size_t>(TvlxCommon::ValueBytes(Field->DataType(), Field->Size()));
    std::memset(slot + 1, 0, size);
    std::memcpy(slot + 1, src, std::min(n, size));
  }
  slot[0] = 2;
  if (idx >= 0) FCommon->SetFieldModified(idx);
}

void TvlxCustomMemTable::CloseBlob(TField* Field) {
  (void)Field;
}

TUpdateStatus TvlxCustomMemTable::UpdateStatus() const {
  PvlxRecord r = const_cast<TvlxCustomMemTable*>(this)->ActiveRecordBuffer();
  return r ? static_cast<TUpdateStatus>(r->UpdateStatus) : usUnmodified;
}

bool TvlxCustomMemTable::IsFieldInIndex(TField* Field) const {
  return FCurIndex != nullptr && FCurIndex->IndexFieldList().IndexOf(Field) >= 0;
}

std::unique_ptr<TStream> TvlxCustomMemTable::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
  if (!Field->IsBlob()) DatabaseErrorFmt(msg::SNotBlobField, {Field->DisplayName()}, this);
  return std::make_unique<TvlxBlobStream>(Field, Mode);
}

// ---- navigation -----------------------------------------------------------------------------------------

bool TvlxCustomMemTable::NextVisibleRecord(bool ForceUseFilter) {
  const int n = FCurIndex->Count();
  if (ForceUseFilter || FIsFiltered) {
    for (int i = std::max(FRecNo + 1, 0); i < n; ++i)
      if (FilterRecord(FCurIndex->References()[i], ForceUseFilter)) {
        FRecNo = i;
        return true;
      }
    return false;
  }
  if (FRecNo < n - 1) {
    ++FRecNo;
    return true;
  }
  return false;
}

bool TvlxCustomMemTable::PriorVisibleRecord(bool ForceUseFilter) {
  if (ForceUseFilter || FIsFiltered) {
    for (int i = std::min(FRecNo, FCurIndex->Count()) - 1; i >= 0; --i)
      if (FilterRecord(FCurIndex->References()[i], ForceUseFilter)) {
        FRecNo = i;
        return true;
      }
    return false;
  }
  if (FRecNo > 0) {
    FRecNo = std::min(FRecNo, FCurIndex->Count()) - 1;
    return true;
  }
  return false;
}

TFetchResult TvlxCustomMemTable::FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) {
  (void)DoCheck;
  TStoreLock lock(*FCommon);
  const int n = FCurIndex->Count();
  switch (Mode) {
    case fmCurrent:
      if (FRecNo >= n || FRecNo < 0) return frError;
      if (FIsFiltered && !FilterRecord(FCurIndex->References()[FRecNo], false)) return frError;
      break;
    case fmNext:
      if (!NextVisibleRecord(false)) {
        FRecNo = n;
        return frEOF;
      }
      break;
    case fmPrior:
      if (!PriorVisibleRecord(false)) {
        FRecNo = -1;
        return frBOF;
      }
      break;
  }
  PvlxRecord stored = FCurIndex->References()[FRecNo];
  PvlxRecord b = Rec(Buffer);
  FCommon->ReleaseVarLengthValues(b);
  FCommon->ResetRecord(b);
  FCommon->CopyRecordFixedArea(stored, b);
  b->RecordNo = FRecNo;
  b->RecordID = stored->RecordID;
  b->UniqueRecordID = stored->UniqueRecordID;
  Byte* area = BookmarkArea(b);
  StoreI32(area, stored->RecordID);
  area[4] = bfCurrent;
  area[5] = area[6] = area[7] = 0;
  StoreI32(area + 8, stored->UniqueRecordID);
  b->Flag = 0;
  if (FRecalcOnFetch) UpdateCalculatedFields(Buffer);
  return frOK;
}

void TvlxCustomMemTable::CursorSetToRecord(TRecordBuffer Buffer) {
  TStoreLock lock(*FCommon);
  PvlxRecord b = Rec(Buffer);
  // A buffer's RecordNo may be stale after rows were inserted before it: trust it only when the index
  // still holds that very record there.
  const int pos = PositionInCurrent(StoredRecordOf(b), b->RecordNo);
  if (pos >= 0) FRecNo = pos;
}

int TvlxCustomMemTable::GetRecordCount() const {
  if (!Active()) DatabaseError(msg::SDataSetClosed, this);
  if (!FIsFiltered) return FCurIndex->Count();
  auto* self = const_cast<TvlxCustomMemTable*>(this);
  int n = 0;
  for (int i = 0; i < FCurIndex->Count(); ++i)
    if (self->FilterRecord(FCurIndex->References()[i], false)) ++n;
  return n;
}

int TvlxCustomMemTable::GetRecNo() const {
  if (!Active() || IsEmpty() || ActiveRecord() >= BufferedRecordCount()) return -1;
  const TvlxRecord* b = Rec(ActiveBuffer());
  if (b->RecordNo < 0) return -1;
  const int pos = PositionInCurrent(StoredRecordOf(b), b->RecordNo);
  return pos < 0 ? -1 : pos + 1;
}

void TvlxCustomMemTable::SetRecNoValue(int Value) {
  RequireActive();
  const int cur = GetRecNo();
  if (Value != cur && Value > 0 && Value <= FCurIndex->Count()) MoveBy(Value - cur);
}

// ---- post, delete, cancel ---------------------------------------------------------------------------------

void TvlxCustomMemTable::RaisePendingBlobError() {
  if (FPendingBlobError) {
    std::exception_ptr e = std::move(FPendingBlobError);
    FPendingBlobError = nullptr;
    std::rethrow_exception(e);
  }
}

void TvlxCustomMemTable::StoreNewRecord(PvlxRecord Buffer, TvlxIndexUpdateHow How, int RecordPos) {
  FIndexes->CheckRecordUniqueness(Buffer, nullptr);
  if (FCommon->NextUniqueRecordID() >= 0x7FFFFFFF) throw EMemTableFatalError(String(vlxmsg::SBookmarkCounter));
  // The fixed area is copied and every slot written below: the record needs no clearing first.
  PvlxRecord rec = FCommon->AllocRecordToOverwrite();
  FCommon->CopyRecordFixedArea(Buffer, rec);
  // The buffer's own blocks move into the stored record; a slot marked present without a block of
  // its own (a copied buffer) gets a copy of the value it shows.
  for (int i = 0; i < FCommon->FieldCount(); ++i) {
    if (!FCommon->IsVarLength(i)) continue;
    const int ofs = FCommon->FieldOffset(i);
    Byte* bs = Buffer->Data + ofs;
    Byte* rs = rec->Data + ofs;
    std::uint32_t h = LoadU32(bs + 1);
    if (h != 0) {
      StoreU32(bs + 1, 0);
    } else if (bs[0] != 0) {
      const std::uint32_t src = FCommon->ResolveBlock(Buffer, ofs);
      if (src) h = FCommon->Blocks().AllocCopy(FCommon->Blocks().Bytes(src), FCommon->Blocks().Length(src));
    }
    StoreU32(rs + 1, h);
    rs[0] = h ? 2 : 0;
  }
  rec->PrevRecordVersion = nullptr;
  rec->UpdateStatus = usUnmodified;
  rec->TransactionLevel = FCommon->TransactionLevel();
  bool lastNumber;
  try {
    lastNumber = FCommon->AppendRecord(rec);
  } catch (...) {
    FCommon->_InternalFreeRecord(rec, true, false);
    throw;
  }
  rec->Flag |= 1;
  FCommon->ReflectToIndexes(this, How, nullptr, rec, RecordPos, false);
  FCommon->SetIsDataModified(true);
  if (FReposRecNo >= 0) FRecNo = FReposRecNo;
  // The record that took the last number is stored and shown; the table must be reopened for more.
  if (lastNumber) TvlxCommon::RaiseBookmarkCounter();
}

void TvlxCustomMemTable::CursorPost() {
  TDataSet::CursorPost();
  RaisePendingBlobError();
  TStoreLock lock(*FCommon);
  PvlxRecord b = Rec(ActiveBuffer());
  if (State() == dsEdit) {
    // The record the buffer was fetched from, whatever the cursor stands on.
    PvlxRecord stored = StoredRecordOf(b);
    if (stored == nullptr || stored->UpdateStatus == usDeleted)
      throw EMemTableInvalidRecord(String(vlxmsg::SInvalidRecord));
    FIndexes->CheckRecordUniqueness(b, stored);
    b->PrevRecordVersion = stored->PrevRecordVersion;
    b->UpdateStatus = stored->UpdateStatus;
    b->Tag = stored->Tag;
    if (Modified()) {
      if (FCommon->EnableVersioning() &&
          (FCommon->VersioningMode() == mtvmAllSinceCheckPoint || stored->PrevRecordVersion == nullptr)) {
        PvlxRecord copy = FCommon->CloneRecord(stored, true);
        copy->Flag |= 1;
        b->PrevRecordVersion = copy;
      }
      if (b->UpdateStatus != usInserted || !FCommon->EnableVersioning()) b->UpdateStatus = usModified;
      FCommon->SetIsDataModified(true);
    }
    const int pos = PositionInCurrent(stored, FRecNo);
    FCommon->ReflectToIndexes(this, mtiuhEdit, stored, b, pos, false);
    FCommon->MoveRecordContents(b, stored);
    stored->Flag |= 1;
    stored->TransactionLevel = FCommon->TransactionLevel();
    const int now = PositionInCurrent(stored, FReposRecNo);
    if (now >= 0) FRecNo = now;
  } else {
    const TBookmarkFlag flag = ReadBookmarkFlag(ActiveBuffer());
    if (flag == bfEOF) {
      StoreNewRecord(b, mtiuhAppend, -1);
    } else {
      // Insert before the record the buffer names; the framework left the cursor there.
      int pos = 0;
      if (flag != bfBOF) {
        const TvlxRecord* before = FCommon->StoredRecord(LoadI32(BookmarkArea(b)));
        pos = (before != nullptr && before->UniqueRecordID == LoadI32(BookmarkArea(b) + 8))
                  ? PositionInCurrent(before, FRecNo)
                  : -1;
        if (pos < 0) pos = std::clamp(FRecNo, 0, FCurIndex->Count());
      }
      StoreNewRecord(b, mtiuhInsert, pos);
    }
  }
  FCommon->ClearModifiedFlags();
}

void TvlxCustomMemTable::CursorAddRecord(TRecordBuffer Buffer, bool Append) {
  TStoreLock lock(*FCommon);
  StoreNewRecord(Rec(Buffer), Append ? mtiuhAppend : mtiuhInsert, Append ? -1 : std::max(FRecNo, 0));
}

void TvlxCustomMemTable::CursorDelete() {
  TStoreLock lock(*FCommon);
  if (FRecNo < 0 || FRecNo >= FCurIndex->Count()) return;
  PvlxRecord rec = FCurIndex->References()[FRecNo];
  FCommon->ReflectToIndexes(this, mtiuhDelete, rec, nullptr, FRecNo, false);
  if (FCommon->EnableVersioning()) {
    PvlxRecord copy = FCommon->CloneRecord(rec, true);
    copy->Flag |= 1;
    rec->PrevRecordVersion = copy;
    rec->UpdateStatus = usDeleted;
    rec->TransactionLevel = FCommon->TransactionLevel();
    FCommon->SetDeletedCount(FCommon->DeletedCount() + 1);
  } else {
    FCommon->DeleteRecord(rec);
    FCommon->_InternalFreeRecord(rec, true, true);
  }
  FCommon->SetIsDataModified(true);
  if (FRecNo >= FCurIndex->Count()) FRecNo = FCurIndex->Count() - 1;
  UpdateIsFiltered();
}

void TvlxCustomMemTable::CursorCancel() {
  FPendingBlobError = nullptr;
  FCommon->ClearModifiedFlags();
  if (ActiveBuffer() != nullptr) FCommon->ReleaseVarLengthValues(Rec(ActiveBuffer()));
}

void TvlxCustomMemTable::DoOnNewRecord() {
  ApplyMasterValues();
  // Default expressions are taken as the text of the value (a 64-bit integer field takes none).
  for (TField* f : Fields())
    if (!f->DefaultExpression().empty() && f->DataType() != ftLargeint) f->SetAsString(f->DefaultExpression());
  TDataSet::DoOnNewRecord();
  if (FAutoIncField != nullptr && !FIgnoreAutoIncPopulation)
    PopulateField(ActiveRecordBuffer(), FAutoIncField, Variant(FCommon->AutoIncMax() + 1));
}

void TvlxCustomMemTable::DoBeforePost() {
  TDataSet::DoBeforePost();
  if (FAutoIncField != nullptr) {
    TStoreLock lock(*FCommon);
    PvlxRecord r = ActiveRecordBuffer();
    const Byte* slot = FCommon->GetFieldPointer(r, FAutoIncField);
    if (slot != nullptr && slot[0] != 0) {
      const std::int32_t v = LoadI32(slot + 1);
      if (v > FCommon->AutoIncMax()) FCommon->SetAutoIncMax(v);
    }
  }
}

void TvlxCustomMemTable::DoAfterPost() {
  if (FAttachedAutoRefresh && FCommon->AttachCount() > 1) FCommon->RefreshTables(this);
  FReposRecNo = -1;
  TDataSet::DoAfterPost();
}

void TvlxCustomMemTable::DoAfterDelete() {
  if (FAttachedAutoRefresh && FCommon->AttachCount() > 1) FCommon->RefreshTables(this);
  FReposRecNo = -1;
  TDataSet::DoAfterDelete();
}

// ---- bookmarks ------------------------------------------------------------------------------------------

bool TvlxCustomMemTable::BookmarkValid(const TBookmark& Bookmark) {
  if (Bookmark.size() != kvlxBookmarkEntrySize || !FIsOpen) return false;
  TStoreLock lock(*FCommon);
  if (LoadI32(Bookmark.data() + 4) != FCommon->DataID()) return false;
  const TvlxRecord* r = FCommon->StoredRecord(LoadI32(Bookmark.data()));
  return r != nullptr && r->UniqueRecordID == LoadI32(Bookmark.data() + 8) && r->UpdateStatus != usDeleted;
}

void TvlxCustomMemTable::CursorGotoBookmark(TConstValueBuffer Bookmark) {
  if (Bookmark.empty()) throw EMemTableError(Format(u"Bookmark %d not found.", {-200}));
  const TBookmark bm(Bookmark.begin(), Bookmark.end());
  if (!BookmarkValid(bm)) return;
  TStoreLock lock(*FCommon);
  const int pos = PositionInCurrent(FCommon->StoredRecord(LoadI32(bm.data())), -1);
  if (pos >= 0) FRecNo = pos;
}

int TvlxCustomMemTable::CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) {
  if (!BookmarkValid(Bookmark1) || !BookmarkValid(Bookmark2)) return 2;
  TStoreLock lock(*FCommon);
  const TvlxRecord* a = FCommon->StoredRecord(LoadI32(Bookmark1.data()));
  const TvlxRecord* b = FCommon->StoredRecord(LoadI32(Bookmark2.data()));
  if (a == b) return 0;
  // Positions in the current index order the two, whatever kind of index it is.
  const int pa = PositionInCurrent(a, a->RecordNo), pb = PositionInCurrent(b, b->RecordNo);
  int r;
  if (pa >= 0 && pb >= 0) {
    r = pa - pb;
  } else {
    r = FCurIndex->CompareIndexKeys(FCurIndex->IndexFieldList(), a, b, false, false, false, false);
    if (r == 0) r = a->RecordID - b->RecordID;
  }
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

// ---- saving and loading -----------------------------------------------------------------------------------

void TvlxCustomMemTable::SaveViaFormat(TStream* Stream, TvlxCustomStreamFormat* AFormat) {
  if (AFormat == nullptr) throw EMemTableError(String(SNoFormat));
  AFormat->Save(this, Stream);
}

void TvlxCustomMemTable::LoadViaFormat(TStream* Stream, TvlxCustomStreamFormat* AFormat) {
  if (AFormat == nullptr) throw EMemTableError(String(SNoFormat));
  AFormat->Load(this, Stream);
}

void TvlxCustomMemTable::SaveToFileViaFormat(const String& FileName, TvlxCustomStreamFormat* AFormat) {
  RequireActive();
  if (AFormat == nullptr) throw EMemTableError(String(SNoFormat));
  const bool append = (AFormat->sfAppend & sfSaveAppend) != 0;
  const bool exists = FileExists(FileName);
  TFileStream stream(FileName, append && exists ? static_cast<Word>(fmOpenReadWrite | fmShareDenyWrite) : fmCreate);
  if (append) stream.Seek(0, TSeekOrigin::soEnd);
  if (OnSave) OnSave(*this, mtstFile, &stream);
  SaveViaFormat(&stream, AFormat);
}

void TvlxCustomMemTable::SaveToStreamViaFormat(TStream* Stream, TvlxCustomStreamFormat* AFormat) {
  RequireActive();
  if (OnSave) OnSave(*this, mtstStream, Stream);
  SaveViaFormat(Stream, AFormat);
}

void TvlxCustomMemTable::LoadFromFileViaFormat(const String& FileName, TvlxCustomStreamFormat* AFormat) {
  if (AFormat == nullptr) throw EMemTableError(String(SNoFormat));
  TFileStream stream(FileName, static_cast<Word>(fmOpenRead | fmShareDenyWrite));
  if (OnLoad) OnLoad(*this, mtstFile, &stream);
  LoadViaFormat(&stream, AFormat);
}

void TvlxCustomMemTable::LoadFromStreamViaFormat(TStream* Stream, TvlxCustomStreamFormat* AFormat) {
  if (OnLoad) OnLoad(*this, mtstStream, Stream);
  LoadViaFormat(Stream, AFormat);
}

// ---- blob stream ----------------------------------------------------------------------------------------

TvlxBlobStream::TvlxBlobStream(TField* Field, TBlobStreamMode Mode)
    : FField(Field), FDataSet(static_cast<TvlxCustomMemTable*>(Field->DataSet())), FMode(Mode),
      FFieldNo(Field->FieldNo()) {
  TvlxCommon& c = *FDataSet->Common();
  TvlxCommon::TLockGuard lock(c);
  if (Mode != bmRead) {
    if (Field->ReadOnly() && !FDataSet->IgnoreReadOnly())
      DatabaseErrorFmt(u"Field %s is read only", {Field->DisplayName()}, FDataSet);
    if (FDataSet->State() != dsEdit && FDataSet->State() != dsInsert)
      DatabaseError(u"Dataset is not in edit mode.", FDataSet);
  }
  FWorkBuffer = FDataSet->ActiveRecordBuffer();
  if (FWorkBuffer == nullptr || FFieldNo < 1) return;
  FSlotOffset = c.FieldOffset(FFieldNo - 1);
  if (Mode == bmWrite) Truncate();
  else LoadFromRecord();
}

TvlxBlobStream::~TvlxBlobStream() {
  if (FModified && FWorkBuffer != nullptr && FMode != bmRead) {
    try {
      StoreToRecord();
      FField->SetModified(true);
      FDataSet->DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(FField));
    } catch (...) {
      FDataSet->SetPendingBlobError(std::current_exception());
    }
  }
  // Handed back here: the base class would free the table's scratch.
  Clear();
}

void* TvlxBlobStream::Realloc(Int64& NewCapacity) {
  constexpr Int64 kMaxScratch = 1 << 20;
  if (!FUsesScratch && NewCapacity > 0 && NewCapacity <= kMaxScratch && Memory() == nullptr &&
      !FDataSet->FBlobScratchInUse) {
    FUsesScratch = true;
    FDataSet->FBlobScratchInUse = true;
  }
  if (!FUsesScratch) return TMemoryStream::Realloc(NewCapacity);
  std::vector<Byte>& scratch = FDataSet->FBlobScratch;
  if (NewCapacity == 0) {
    FUsesScratch = false;
    FDataSet->FBlobScratchInUse = false;
    return nullptr;
  }
  if (NewCapacity > kMaxScratch) {
    // Too large to keep around: the stream moves to memory of its own.
    Int64 own = NewCapacity;
    FUsesScratch = false;
    FDataSet->FBlobScratchInUse = false;
    void* p = TMemoryStream::Realloc(own);
    if (Size() > 0) std::memcpy(p, scratch.data(), static_cast<std::size_t>(Size()));
    NewCapacity = own;
    return p;
  }
  if (scratch.size() < static_cast<std::size_t>(NewCapacity))
    scratch.resize(std::max<std::size_t>(static_cast<std::size_t>(NewCapacity), std::max<std::size_t>(scratch.size() * 2, 256)));
  NewCapacity = static_cast<Int64>(scratch.size());
  return scratch.data();
}

Int64 TvlxBlobStream::Write(const void* Buffer, Int64 Count) {
  if (FMode != bmRead) FModified = true;
  return TMemoryStream::Write(Buffer, Count);
}

void TvlxBlobStream::Truncate() {
  SetSize(0);
  // The old value stays in the buffer until the new one is stored: a failed store keeps it.
  FModified = true;
}

void TvlxBlobStream::LoadFromRecord() {
  TvlxCommon& c = *FDataSet->Common();
  const std::uint32_t h = c.ResolveBlock(FWorkBuffer, FSlotOffset);
  if (h == 0) return;
  const std::uint32_t n = c.Blocks().Length(h);
  if (FDataSet->OnDecompressBlobStream) {
    TMemoryStream packed;
    packed.Write(c.Blocks().Bytes(h), n);
    packed.SetPosition(0);
    FDataSet->OnDecompressBlobStream(*FDataSet, &packed, this);
  } else {
    SetSize(n);
    if (n) std::memcpy(Memory(), c.Blocks().Bytes(h), n);
  }
  SetPosition(0);
}

void TvlxBlobStream::StoreToRecord() {
  TvlxCommon& c = *FDataSet->Common();
  std::uint32_t h = 0;
  if (FDataSet->OnCompressBlobStream) {
    TMemoryStream packed;
    SetPosition(0);
    FDataSet->OnCompressBlobStream(*FDataSet, this, &packed);
    if (packed.Size() > 0xFFFFFFF0LL) throw EMemTableError(String(u"Blob value too large"));
    if (packed.Size() > 0) h = c.Blocks().AllocCopy(packed.Memory(), static_cast<std::uint32_t>(packed.Size()));
  } else {
    if (Size() > 0xFFFFFFF0LL) throw EMemTableError(String(u"Blob value too large"));
    if (Size() > 0) h = c.Blocks().AllocCopy(Memory(), static_cast<std::uint32_t>(Size()));
  }
  TvlxCommon::TLockGuard lock(c);
  Byte* slot = FWorkBuffer->Data + FSlotOffset;
  const std::uint32_t old = LoadU32(slot + 1);
  StoreU32(slot + 1, h);
  slot[0] = h ? 2 : 0;
  if (old) c.Blocks().Free(old);
  c.SetFieldModified(FFieldNo - 1);
}
