// TIdCustomDataSet: life, fields, cursor, record buffers, bookmarks and field data. Sorting, filtering
// and search live in IdDataSetSearch.cpp, saving and loading in IdDataSetStream.cpp.
#include "engines/fieldlist/IdDataSet.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engines/fieldlist/IdConvert.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

static_assert(idft::String == ftString && idft::Smallint == ftSmallint && idft::VarBytes == ftVarBytes &&
              idft::WideString == ftWideString && idft::Largeint == ftLargeint && idft::Guid == ftGuid &&
              idft::TimeStamp == ftTimeStamp && idft::FMTBcd == ftFMTBcd && idft::WideMemo == ftWideMemo &&
              idft::Shortint == ftShortint && idft::Byte == ftByte && idft::Extended == ftExtended &&
              idft::MaxCode == ftSingle,
              "the store's type codes are the framework's field-type ordinals");

namespace {
constexpr char16_t SBookmarkNotFound[] = u"Bookmark not found";
constexpr char16_t SNoRecords[] = u"No Records";
constexpr char16_t SUnsupportedFieldType[] = u"Unsupported field type: %s";
constexpr char16_t SIdFieldNotFound[] = u"IdField '%s' not found";

bool IsEditingState(TDataSetState s) { return s == dsEdit || s == dsInsert || s == dsSetKey; }
}  // namespace

// ---- TIdBlobStream ------------------------------------------------------------------------------------

TIdBlobStream::TIdBlobStream(TField* Field, TBlobStreamMode Mode)
    : FField(Field), FDataSet(dynamic_cast<TIdCustomDataSet*>(Field->DataSet())), FRecordBuffer(nullptr), FMode(Mode) {
  if (FDataSet == nullptr) DatabaseErrorFmt(msg::SDataSetMissing, {Field->DisplayName()});
  FRecordBuffer = FDataSet->GetActiveRecBuf();
  if (FRecordBuffer != nullptr && Mode != bmRead) {
    if (!Field->Modified() && Field->ReadOnly())
      DatabaseErrorFmt(msg::SFieldReadOnly, {Field->DisplayName()}, FDataSet);
    // Checked even for a field already modified: a write into a browsed row's buffer would look
    // stored and be lost at the next fetch.
    if (!IsEditingState(FDataSet->State())) DatabaseError(msg::SNotEditing, FDataSet);
  }
  LoadBlobValue();
}

void TIdBlobStream::LoadBlobValue() {
  if (FMode == bmWrite) {
    FModified = true;  // an untouched write stream stores an empty value
    return;
  }
  if (FRecordBuffer == nullptr) return;
  const TIdField* f = FDataSet->IdFieldOf(FField);
  if (f == nullptr) return;
  const std::span<const Byte> bytes = f->BlockBytes(FRecordBuffer);
  if (!bytes.empty()) {
    TMemoryStream::Write(bytes.data(), static_cast<Int64>(bytes.size()));
    SetPosition(0);
  }
}

Int64 TIdBlobStream::Write(const void* Buffer, Int64 Count) {
  if (FRecordBuffer == nullptr) return 0;
  FModified = true;
  return TMemoryStream::Write(Buffer, Count);
}

TIdBlobStream::~TIdBlobStream() {
  if (FModified && FRecordBuffer != nullptr) {
    try {
      if (const TIdField* f = FDataSet->IdFieldOf(FField))
        f->SetRecordData(FRecordBuffer, static_cast<const Byte*>(Memory()), static_cast<std::size_t>(Size()));
      FField->SetModified(true);
      FDataSet->DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(FField));
    } catch (...) {
      // A destructor cannot raise: the failure goes to the application's handler.
      HandleCurrentException(FDataSet);
    }
  }
  // Hand the memory back here: the base class would free the dataset's scratch.
  Clear();
}

void* TIdBlobStream::Realloc(Int64& NewCapacity) {
  constexpr Int64 kMaxScratch = 1 << 20;
  if (!FUsesScratch && NewCapacity > 0 && NewCapacity <= kMaxScratch && Memory() == nullptr && FDataSet != nullptr &&
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
    // Too large to keep around: move to memory of the stream's own.
    void* own = std::malloc(static_cast<std::size_t>(NewCapacity));
    if (own == nullptr) throw EOutOfMemory(String(msg::SOutOfMemory));
    if (Size() > 0) std::memcpy(own, scratch.data(), static_cast<std::size_t>(Size()));
    FUsesScratch = false;
    FDataSet->FBlobScratchInUse = false;
    return own;
  }
  if (scratch.size() < static_cast<std::size_t>(NewCapacity))
    scratch.resize(std::max<std::size_t>(static_cast<std::size_t>(NewCapacity), std::max<std::size_t>(scratch.size() * 2, 256)));
  NewCapacity = static_cast<Int64>(scratch.size());
  return scratch.data();
}

// ---- life and properties --------------------------------------------------------------------------------

TIdCustomDataSet::TIdCustomDataSet(TComponent* AOwner)
    : TDataSet(AOwner),
      FRowPages(std::make_unique<sys::TPageReserve>(sys::kPageReserveLimit)),
      FBlobs(std::make_unique<TBlobTable>()),
      FVirtualFieldDefs(std::make_unique<TFieldDefs>(this)) {}

TIdCustomDataSet::~TIdCustomDataSet() {
  try {
    Close();
  } catch (...) {
    HandleCurrentException(this);
  }
  FStore.reset();
}

void TIdCustomDataSet::SetVirtualFieldDefs(const TFieldDefs& Value) { FVirtualFieldDefs->Assign(&Value); }

TIdField* TIdCustomDataSet::IdFieldOf(const TField* AField) const {
  if (AField == nullptr || !FStore) return nullptr;
  const int no = AField->FieldNo();
  if (no >= 1 && no <= static_cast<int>(FIdFieldByNo.size())) {
    TIdField* f = FIdFieldByNo[no - 1];
    if (f != nullptr && f->Field() == AField) return f;
  }
  for (int i = 0; i < FStore->FieldCount(); ++i)
    if (FStore->Fields(i)->Field() == AField) return FStore->Fields(i);
  return nullptr;
}

TIdField* TIdCustomDataSet::IdFieldByName(const String& AFieldName) const {
  TIdField* f = IdFieldOf(FindField(AFieldName));
  if (f == nullptr) DatabaseErrorFmt(SIdFieldNotFound, {AFieldName}, this);
  return f;
}

int TIdCustomDataSet::DataIndexOf(int ARecNo) const {
  if (ARecNo < 1 || ARecNo > GetRecordCount()) return -1;
  return FIsFiltered ? FFilters[ARecNo - 1] : ARecNo - 1;
}

bool TIdCustomDataSet::IsVirtualField(const TField* Field) const {
  return std::find(FVirtualFields.begin(), FVirtualFields.end(), Field) != FVirtualFields.end();
}

// ---- fields ---------------------------------------------------------------------------------------------

String TIdCustomDataSet::MakeFieldComponentName(const String& FieldName) const {
  for (int n = 1;; ++n) {
    String candidate = Name() + u"_" + FieldName + IntToStr(n);
    if (FindComponent(candidate) == nullptr) return candidate;
  }
}

TField* TIdCustomDataSet::MakeField(const String& FieldName, TFieldType Type, int Size) {
  const TFieldClass fieldClass = ChooseFieldClass(Type);
  if (!fieldClass) DatabaseErrorFmt(SUnsupportedFieldType, {FieldName}, this);
  TField* f = fieldClass.Create(this);
  try {
    f->SetFieldName(FieldName);
    f->SetFieldType(Type);  // ftFmtMemo, ftTypedBinary, ...: the stream's layout names the exact type
    // A field name that is not an identifier (blanks, non-Latin letters) still makes a field; only its
    // component name stays empty.
    const String componentName = MakeFieldComponentName(FieldName);
    if (IsValidIdent(componentName)) f->SetName(componentName);
    f->SetFieldKind(fkData);
    if (IsTextType(Type) || IsBlobType(Type) || Type == ftBytes || Type == ftVarBytes) f->SetSize(Size);
    f->SetReadOnly(FReadOnly);
    f->SetLifeCycle(lcAutomatic);
    f->SetDataSet(this);
  } catch (...) {
    delete f;
    throw;
  }
  return f;
}

void TIdCustomDataSet::CreateVirtualFields() {
  for (const auto& def : *FVirtualFieldDefs) {
    if (FindField(def->Name()) != nullptr || !IsSupportedFieldType(def->DataType())) continue;
    FVirtualFields.push_back(MakeField(def->Name(), def->DataType(), def->Size()));
  }
}

// ---- cursor ---------------------------------------------------------------------------------------------

void TIdCustomDataSet::CursorReadFieldDefs() {
  TDataSet::CursorReadFieldDefs();
  FCalcFields.clear();
  for (TField* f : Fields())
    if (f->FieldKind() != fkData) FCalcFields.push_back(f);
}

void TIdCustomDataSet::CursorOpen() {
  for (TField* f : Fields())
    if (f->FieldKind() == fkData && !IsSupportedFieldType(f->DataType()))
      DatabaseErrorFmt(SUnsupportedFieldType, {f->FieldName()}, this);
  FCurRec = -1;
  FFilterCurRec = -1;
  SetBookmarkSize(kBookmarkSize);
  CursorReadFieldDefs();
  auto store = std::make_unique<TIdRecordStore>(*FBlobs, FRowPages.get());
  for (TField* f : Fields()) {
    if (f->FieldKind() != fkData) continue;
    TIdField* idField = store->AddField(f->DataType(), f->Size(), IsVirtualField(f));
    // The framework's fields read and write the native forms; a size the store would lay out
    // differently must not reach a slot.
    if (idField->DataSize() != f->DataSize() && !f->IsBlob())
      DatabaseErrorFmt(SUnsupportedFieldType, {f->FieldName()}, this);
    idField->Bind(this, f);
  }
  FStore = std::move(store);
  BindAllFields(true);
  FIdFieldByNo.assign(static_cast<std::size_t>(FieldCount()), nullptr);
  for (int i = 0; i < FStore->FieldCount(); ++i) {
    TIdField* f = FStore->Fields(i);
    const int no = f->Field()->FieldNo();
    if (no >= 1) {
      if (no > static_cast<int>(FIdFieldByNo.size())) FIdFieldByNo.resize(no, nullptr);
      FIdFieldByNo[no - 1] = f;
    }
  }
  FActive = true;
  if (!FIsLoading) ApplySort(false);
}

void TIdCustomDataSet::CursorClose() {
  if (!FActive) return;
  FActive = false;
  FSortings.clear();
  ClearRecords();
  FIdFieldByNo.clear();
  FStore.reset();
  FVirtualFields.clear();
  FCalcFields.clear();
  BindAllFields(false);
  // A closed dataset has no data fields: the next CreateDataSet or load makes them again, so a load
  // never meets a stored field left over from before. Persistent calculated and lookup fields stay;
  // they take no slot and keep their values in the record buffers' calculated area.
  std::vector<TField*> doomed;
  for (TField* f : Fields())
    if (f->LifeCycle() == lcAutomatic || (f->FieldKind() != fkCalculated && f->FieldKind() != fkLookup))
      doomed.push_back(f);
  for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) delete *it;
}

void TIdCustomDataSet::ClearRecords() {
  if (FStore) {
    if (FStagingLoads == 0) {
      for (TRecordBuffer b : FLiveBuffers) FStore->ReleaseBlobs(b);
      FStore->ClearRecordsAndBlobTable();
    } else {
      FStore->ClearRecords();
    }
  }
  FFilters.clear();
  FCurRec = -1;
  FFilterCurRec = -1;
}

TFetchResult TIdCustomDataSet::FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) {
  if (!FStore || FStore->FieldCount() == 0) {
    if (DoCheck) DatabaseError(SNoRecords, this);
    return frError;
  }
  if (FStore->Count() == 0) return frEOF;
  const int count = GetRecordCount();
  std::int32_t& position = FIsFiltered ? FFilterCurRec : FCurRec;
  TFetchResult result = frOK;
  switch (Mode) {
    case fmCurrent:
      if (position < 0 || position >= count) result = frError;
      break;
    case fmNext:
      if (position >= count - 1) result = frEOF;
      else ++position;
      break;
    case fmPrior:
      if (position <= 0) result = frBOF;
      else --position;
      break;
  }
  if (FIsFiltered) FCurRec = result == frOK ? FFilters[FFilterCurRec] : -1;
  if (result == frOK) {
    const Byte* row = FStore->Row(FCurRec);
    FStore->CopyRecordData(row, Buffer);
    std::memcpy(Buffer, row, kBookmarkSize);
    Buffer[kBookmarkSize] = bfCurrent;
    UpdateCalculatedFields(Buffer);
  } else if (result == frError && DoCheck) {
    DatabaseError(SNoRecords, this);
  }
  return result;
}

void TIdCustomDataSet::CursorFirst() {
  FCurRec = -1;
  FFilterCurRec = -1;
}

void TIdCustomDataSet::CursorLast() {
  if (FIsFiltered) FFilterCurRec = GetRecordCount();
  FCurRec = FStore ? FStore->Count() : 0;
}

void TIdCustomDataSet::CursorPost() {
  TDataSet::CursorPost();
  TRecordBuffer buffer = ActiveBuffer();
  if (State() == dsEdit) {
    CursorSetToRecord(buffer);
    Byte* row = FStore->Row(FCurRec);
    bool moved = false;
    for (const TIdSorting& key : FSortings) {
      // A key cleared to null is not compared: it does not mark the row as moved.
      if (key.IdField()->BlockIsNull(buffer)) continue;
      if (key.CompareKeyWithRow(key.IdField()->BlockBytes(buffer), row) != 0) {
        moved = true;
        break;
      }
    }
    FStore->CopyRecordData(buffer, row);
    KeepCurrentInOrder(moved);
  } else if (State() == dsInsert) {
    const int count = FStore->Count();
    FCurRec = std::min(std::max(FCurRec, 0), count);
    Byte* row = FStore->NewStoredRecord(FCurRec);
    FStore->CopyRecordDataKeepAutoInc(buffer, row);
    AddCurrentToFilter();
    KeepCurrentInOrder(!FSortings.empty());
  }
}

void TIdCustomDataSet::CursorAddRecord(TRecordBuffer Buffer, bool Append) {
  if (Append) CursorLast();
  // Not appending: the row goes before the cursor's row, first when the cursor is before the first
  // row, and the cursor moves onto it.
  const int count = FStore->Count();
  FCurRec = Append ? count : std::min(std::max(FCurRec, 0), count);
  Byte* row = FStore->NewStoredRecord(FCurRec);
  FStore->CopyRecordDataKeepAutoInc(Buffer, row);
  AddCurrentToFilter();
  KeepCurrentInOrder(true);
}

void TIdCustomDataSet::CursorDelete() {
  CursorSetToRecord(ActiveBuffer());
  if (FCurRec < 0 || FCurRec >= FStore->Count()) return;
  FStore->DeleteRow(FCurRec);
  if (!FIsFiltered) {
    if (FCurRec == FStore->Count()) --FCurRec;
    return;
  }
  const int deleted = FCurRec;
  if (FFilterCurRec >= 0 && FFilterCurRec < static_cast<int>(FFilters.size()))
    FFilters.erase(FFilters.begin() + FFilterCurRec);
  for (std::int32_t& index : FFilters)
    if (index > deleted) --index;
  if (FFilterCurRec == static_cast<int>(FFilters.size())) --FFilterCurRec;
  FCurRec = FFilterCurRec < 0 ? -1 : FFilters[FFilterCurRec];
}

int TIdCustomDataSet::FindBookmarkIndex(TConstValueBuffer Bookmark) const {
  if (Bookmark.size() != static_cast<std::size_t>(kBookmarkSize) || !FStore) return -1;
  std::int32_t number;
  std::memcpy(&number, Bookmark.data(), kBookmarkSize);
  return FStore->FindBookmark(number, FCurRec);
}

int TIdCustomDataSet::FilterPositionOf(int DataIndex) const {
  const auto it = std::lower_bound(FFilters.begin(), FFilters.end(), DataIndex);
  return (it != FFilters.end() && *it == DataIndex) ? static_cast<int>(it - FFilters.begin()) : -1;
}

void TIdCustomDataSet::CursorGotoBookmark(TConstValueBuffer Bookmark) {
  const int index = FindBookmarkIndex(Bookmark);
  if (index < 0) DatabaseError(SBookmarkNotFound, this);
  if (FIsFiltered) {
    const int position = FilterPositionOf(index);
    if (position < 0) DatabaseError(SBookmarkNotFound, this);
    FFilterCurRec = position;
  }
  FCurRec = index;
}

void TIdCustomDataSet::CursorSetToRecord(TRecordBuffer Buffer) {
  CursorGotoBookmark(TConstValueBuffer(Buffer, kBookmarkSize));
}

void TIdCustomDataSet::CursorInitRecord(TRecordBuffer Buffer) {
  if (FStore) FStore->InitRecord(Buffer);
}

// ---- record buffers and bookmarks ---------------------------------------------------------------------

TRecordBuffer TIdCustomDataSet::AllocateRecordBuffer() {
  // The calculated area follows the row block; rows themselves never carry one.
  const std::size_t size = static_cast<std::size_t>((FStore ? FStore->BlockSize() : kRowHeaderSize) + CalcFieldsSize());
  FLiveBuffers.reserve(FLiveBuffers.size() + 1);
  auto* buffer = static_cast<TRecordBuffer>(std::calloc(size, 1));
  if (buffer == nullptr) throw EOutOfMemory(String(msg::SOutOfMemory));
  FLiveBuffers.push_back(buffer);
  return buffer;
}

void TIdCustomDataSet::ReleaseRecordBuffer(TRecordBuffer& Buffer) {
  if (Buffer == nullptr) return;
  const auto live = std::find(FLiveBuffers.begin(), FLiveBuffers.end(), Buffer);
  if (live != FLiveBuffers.end()) {
    *live = FLiveBuffers.back();
    FLiveBuffers.pop_back();
  }
  if (FStore) FStore->ReleaseBlobs(Buffer);
  std::free(Buffer);
  Buffer = nullptr;
}

void TIdCustomDataSet::ReadBookmarkData(TRecordBuffer Buffer, TValueBuffer Data) {
  std::memcpy(Data.data(), Buffer, std::min<std::size_t>(Data.size(), kBookmarkSize));
}

void TIdCustomDataSet::WriteBookmarkData(TRecordBuffer Buffer, TConstValueBuffer Data) {
  std::memcpy(Buffer, Data.data(), std::min<std::size_t>(Data.size(), kBookmarkSize));
}

TBookmarkFlag TIdCustomDataSet::ReadBookmarkFlag(TRecordBuffer Buffer) {
  return static_cast<TBookmarkFlag>(Buffer[kBookmarkSize]);
}

void TIdCustomDataSet::WriteBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) {
  Buffer[kBookmarkSize] = static_cast<Byte>(Value);
}

void TIdCustomDataSet::PrepareNewRecord(TRecordBuffer Buffer) {
  CursorInitRecord(Buffer);
  ResetCalculatedFields(Buffer);
  WriteBookmarkFlag(Buffer, bfInserted);
}

bool TIdCustomDataSet::BookmarkValid(const TBookmark& Bookmark) {
  const int index = FindBookmarkIndex(Bookmark);
  return index >= 0 && (!FIsFiltered || FilterPositionOf(index) >= 0);
}

int TIdCustomDataSet::CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) {
  if (Bookmark1.empty() || Bookmark2.empty()) return Bookmark1.empty() ? (Bookmark2.empty() ? 0 : -1) : 1;
  if (Bookmark1 == Bookmark2) return 0;
  // Position in the row list decides, not the bookmark number: after a sort a later bookmark may
  // stand first.
  return FindBookmarkIndex(Bookmark2) < FindBookmarkIndex(Bookmark1) ? 1 : -1;
}

int TIdCustomDataSet::GetRecordCount() const {
  if (FIsFiltered) return static_cast<int>(FFilters.size());
  return FStore ? FStore->Count() : 0;
}

int TIdCustomDataSet::GetRecNo() const {
  auto* self = const_cast<TIdCustomDataSet*>(this);
  if (State() != dsCalcFields && Active() && BufferedRecordCount() > 0) self->UpdateCursorPos();
  if (FCurRec == -1 && GetRecordCount() > 0) return 1;
  return (FIsFiltered ? FFilterCurRec : FCurRec) + 1;
}

void TIdCustomDataSet::SetRecNoValue(int Value) {
  if (Active()) CheckBrowseMode();
  if (Value < 1 || Value > GetRecordCount()) return;
  if (Active() && BufferedRecordCount() > 0) UpdateCursorPos();
  const int target = DataIndexOf(Value);
  if (target == FCurRec) return;
  DoBeforeScroll();
  FCurRec = target;
  if (FIsFiltered) FFilterCurRec = Value - 1;
  Resync(rmCenter);
  DoAfterScroll();
}

bool TIdCustomDataSet::GetCurrentRecord(TRecordBuffer Buffer) {
  const TRecordBuffer active = BufferedRecordCount() > 0 ? ActiveBuffer() : nullptr;
  if (active == nullptr || !FStore) return false;
  FStore->CopyRecordData(active, Buffer);
  return true;
}

// ---- field data -----------------------------------------------------------------------------------------

bool TIdCustomDataSet::GetFieldData(TField* Field, TValueBuffer Buffer) {
  const TRecordBuffer record = GetActiveRecBuf();
  if (record == nullptr || Field == nullptr) return false;
  if (Field->FieldKind() != fkData) {
    if (CalcFieldsSize() == 0 || !FStore) return false;
    return ReadCalculatedField(record + FStore->BlockSize(), Field, Buffer);
  }
  const TIdField* f = IdFieldOf(Field);
  if (f == nullptr) return false;
  if (Buffer.empty()) return !f->BlockIsNull(record);
  return f->GetRecordData(record, Buffer.data(), Buffer.size());
}

void TIdCustomDataSet::WriteFieldData(TField* Field, TConstValueBuffer Buffer) {
  const TRecordBuffer record = WritableStateBuffer();
  if (Field->FieldKind() != fkData) {
    if (CalcFieldsSize() == 0 || !FStore) return;
    WriteCalculatedField(record + FStore->BlockSize(), Field, Buffer);
  } else {
    const TIdField* f = IdFieldOf(Field);
    if (f == nullptr) return;
    if (!Field->IsBlob()) Field->Validate(Buffer);
    f->SetRecordData(record, Buffer.data(), Buffer.size());
  }
  FieldDataWritten(Field);
}

Variant TIdCustomDataSet::GetStateFieldValue(TDataSetState AState, TField* Field) {
  if (AState == dsOldValue && State() == dsEdit && Modified()) {
    if (const TIdField* f = IdFieldOf(Field)) {
      UpdateCursorPos();
      return GetAsVariant(*f, FCurRec);
    }
  }
  return TDataSet::GetStateFieldValue(AState, Field);
}

void TIdCustomDataSet::CloseBlob(TField* Field) {
  if (State() == dsFilter) return;
  const TRecordBuffer record = GetActiveRecBuf();
  const TIdField* f = IdFieldOf(Field);
  if (record == nullptr || f == nullptr) return;
  if (State() == dsEdit) {
    UpdateCursorPos();
    f->SetRecordData(record, f->GetAsBytes(FCurRec));
  } else {
    f->SetRecordData(record, TBytes{});
  }
}

Variant TIdCustomDataSet::GetAsVariant(const TIdField& F, int AIndex) const { return F.GetAsVariant(AIndex); }

std::unique_ptr<TStream> TIdCustomDataSet::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
  return std::make_unique<TIdBlobStream>(Field, Mode);
}

// ---- calculated fields and events ------------------------------------------------------------------------

void TIdCustomDataSet::ResetCalculatedFields(TRecordBuffer Buffer) {
  if (CalcFieldsSize() > 0 && FStore) std::memset(Buffer + FStore->BlockSize(), 0, CalcFieldsSize());
}

void TIdCustomDataSet::UpdateCalculatedFields(TRecordBuffer Buffer) {
  if (!FCalcFields.empty() || InternalCalcFields()) TDataSet::UpdateCalculatedFields(Buffer);
}

void TIdCustomDataSet::DoAfterCancel() { if (!FIsLoading) TDataSet::DoAfterCancel(); }
void TIdCustomDataSet::DoAfterClose() { if (!FIsLoading) TDataSet::DoAfterClose(); }
void TIdCustomDataSet::DoAfterInsert() { if (!FIsLoading) TDataSet::DoAfterInsert(); }
void TIdCustomDataSet::DoAfterOpen() { if (!FIsLoading) TDataSet::DoAfterOpen(); }
void TIdCustomDataSet::DoAfterPost() { if (!FIsLoading) TDataSet::DoAfterPost(); }
void TIdCustomDataSet::DoBeforeClose() { if (!FIsLoading) TDataSet::DoBeforeClose(); }
void TIdCustomDataSet::DoBeforeInsert() { if (!FIsLoading) TDataSet::DoBeforeInsert(); }
void TIdCustomDataSet::DoBeforeOpen() { if (!FIsLoading) TDataSet::DoBeforeOpen(); }
void TIdCustomDataSet::DoBeforePost() { if (!FIsLoading) TDataSet::DoBeforePost(); }
void TIdCustomDataSet::DoOnNewRecord() { if (!FIsLoading) TDataSet::DoOnNewRecord(); }

void TIdCustomDataSet::SetIsLoading(bool Value) {
  if (FIsLoading == Value) return;
  FIsLoading = Value;
  if (!Active() || Value) return;
  const TDataSetNotifyEvent beforeScroll = std::move(BeforeScroll);
  const TDataSetNotifyEvent afterScroll = std::move(AfterScroll);
  BeforeScroll = nullptr;
  AfterScroll = nullptr;
  try {
    ApplySort(false);
    CursorFirst();
    First();
  } catch (...) {
    BeforeScroll = beforeScroll;
    AfterScroll = afterScroll;
    throw;
  }
  BeforeScroll = beforeScroll;
  AfterScroll = afterScroll;
}

// ---- emptying ------------------------------------------------------------------------------------------

void TIdCustomDataSet::EmptyDataSet() {
  if (!Active()) return;
  DisableControls();
  try {
    // A pending new or edited row has nowhere to go once every row is gone.
    if (State() == dsEdit || State() == dsInsert) Cancel();
    ClearRecords();
    RefetchBuffers();
  } catch (...) {
    EnableControls();
    throw;
  }
  EnableControls();
}

void TIdMemDataSet::CreateDataSet() {
  Close();
  CreateVirtualFields();
  Open();
}

void TIdMemDataSet::EmptyDataSet() {
  if (Active()) TIdCustomDataSet::EmptyDataSet();
  else CreateDataSet();
}
