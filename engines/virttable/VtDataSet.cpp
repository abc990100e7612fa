#include "engines/virttable/VtDataSet.h"

#include "engines/virttable/VtFilter.h"
#include "engines/virttable/VtTimer.h"
#include "engines/virttable/VtTypes.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/rtl/SysUtils.h"

namespace {

constexpr int kRecInfoSize = 8;
constexpr int kRecNoOfs = 0;
constexpr int kUpdateStatusOfs = 4;
constexpr int kFlagOfs = 5;

bool ReadBookmarkBytes(TConstValueBuffer Bytes, vt::TRecBookmark& Bookmark) {
  if (Bytes.size() != static_cast<std::size_t>(vt::kBookmarkSize)) return false;
  std::memcpy(&Bookmark, Bytes.data(), sizeof Bookmark);
  return true;
}

}  // namespace

std::int32_t TMemDataSet::LoadInt(const Byte* p) {
  std::int32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

// A filter expression's calculated and lookup fields: computed for the record under test into a
// buffer of their own and read through the fields in state dsFilter.
class TMemDataSet::TCalcFieldSource final : public vt::TComputedFieldSource {
 public:
  explicit TCalcFieldSource(TMemDataSet& Owner) : FOwner(Owner) {}

  vt::TFieldDesc* FindComputedField(std::u16string_view Name) override {
    TField* f = FOwner.FindField(String(Name));
    if (!f || (f->FieldKind() != fkCalculated && f->FieldKind() != fkLookup)) return nullptr;
    // Descriptors live as long as the dataset (an expression may still point at one); a name seen
    // again takes its present field.
    for (TEntry& e : FEntries)
      if (AnsiSameText(e.Desc->Name, f->FieldName())) {
        e.Field = f;
        e.Desc->SetDataType(vt::TFieldTypeMap::GetDataType(f->DataType()));
        return e.Desc.get();
      }
    TEntry e{std::make_unique<vt::TFieldDesc>(), f};
    e.Desc->Name = f->FieldName();
    e.Desc->FieldDescKind = vt::fdkCalculated;
    e.Desc->SetDataType(vt::TFieldTypeMap::GetDataType(f->DataType()));
    FEntries.push_back(std::move(e));
    return FEntries.back().Desc.get();
  }

  void ComputeFields(const Byte* Record) override {
    FBuffer.assign(static_cast<std::size_t>(FOwner.FRecBufSize), 0);
    std::memcpy(FBuffer.data(), Record, static_cast<std::size_t>(FOwner.FData->RecordSize()));
    FOwner.UpdateCalculatedFieldsOf(FBuffer.data());
  }

  bool ComputedData(const vt::TFieldDesc& Desc, std::vector<Byte>& Buffer) override {
    TField* field = FieldOf(Desc);
    if (!field || FBuffer.empty()) return false;
    const std::size_t size = static_cast<std::size_t>(std::max(field->DataSize(), 8));
    if (Buffer.size() < size) Buffer.resize(size);
    const TFieldType type = field->DataType();
    const bool native = type != ftDate && type != ftTime && type != ftDateTime;
    return ReadThroughField([&] { return field->GetData(TValueBuffer(Buffer.data(), Buffer.size()), native); });
  }

  Variant ComputedValue(const vt::TFieldDesc& Desc) override {
    TField* field = FieldOf(Desc);
    if (!field || FBuffer.empty()) return Null();
    return ReadThroughField([&] { return field->AsVariant(); });
  }

 private:
  struct TEntry {
    std::unique_ptr<vt::TFieldDesc> Desc;
    TField* Field;
  };

  TField* FieldOf(const vt::TFieldDesc& Desc) const {
    for (const TEntry& e : FEntries)
      if (e.Desc.get() == &Desc) return e.Field;
    return nullptr;
  }
  // Read runs with the fields reading the computed buffer in state dsFilter; both are put back after.
  template <typename TRead>
  decltype(std::declval<TRead&>()()) ReadThroughField(TRead Read) {
    TRecordBuffer save = FOwner.FScanRecBuf;
    FOwner.FScanRecBuf = FBuffer.data();
    const TDataSetState s = FOwner.SetTempState(dsFilter);
    try {
      auto result = Read();
      FOwner.RestoreState(s);
      FOwner.FScanRecBuf = save;
      return result;
    } catch (...) {
      FOwner.RestoreState(s);
      FOwner.FScanRecBuf = save;
      throw;
    }
  }

  TMemDataSet& FOwner;
  std::vector<TEntry> FEntries;
  std::vector<Byte> FBuffer;
};

TMemDataSet::TMemDataSet(TComponent* AOwner) : TDataSet(AOwner), FCalcFieldSource(std::make_unique<TCalcFieldSource>(*this)) {}

TMemDataSet::~TMemDataSet() {
  try {
    Close();
  } catch (...) {
    HandleCurrentException(this);
  }
}

TDataSetService* TMemDataSet::DataSetService() const {
  if (!FDataSetService) FDataSetService = const_cast<TMemDataSet*>(this)->CreateDataSetService();
  return FDataSetService.get();
}

TFieldClass TMemDataSet::GetFieldClassByService(TFieldType FieldType, Word DataType) const {
  return DataSetService()->FieldClassForType(FieldType, DataType);
}

TFieldClass TMemDataSet::ChooseFieldClass(TFieldType Type) const { return GetFieldClassByService(Type, 0); }

void TMemDataSet::VerifyFieldMatchesDef(TField* Field, TFieldDef* FieldDef) {
  // A float field may stand for a currency definition and back; BCD, FMTBcd, single and offset time
  // stamp fields only for their own type, whatever the framework's base types say.
  const TFieldType f = Field->DataType();
  const TFieldType d = FieldDef->DataType();
  if ((f == ftFloat || f == ftCurrency) && (d == ftFloat || d == ftCurrency)) return;
  if ((f == ftBCD || f == ftFMTBcd || f == ftSingle || f == ftTimeStampOffset) && f == d) return;
  TDataSet::VerifyFieldMatchesDef(Field, FieldDef);
}

// ---- sort order and filter expression ----

void TMemDataSet::SetIndexFieldNames(const String& Value) {
  if (Value == FIndexFieldNames) return;
  if (Active()) CheckBrowseMode();
  FIndexFieldNames = Value;
  if (!FData) return;
  if (FRanged) ClearRange();
  FData->SetIndexFieldNames(Value);  // sorts when open; a bad text raises and leaves no sort columns
  if (Active()) {
    CursorPosChanged();
    Resync(0);
  }
}

void TMemDataSet::ApplyFilterExpression() {
  if (!FData) return;
  FData->ComputedFields = FCalcFieldSource.get();
  FData->FilterCaseInsensitive = (FilterOptions() & foCaseInsensitive) != 0;
  FData->FilterNoPartialCompare = (FilterOptions() & foNoPartialCompare) != 0;
  const String text = FilterOn() && !Trim(Filter()).empty() ? Filter() : String();
  FData->SetFilterText(text);
}

void TMemDataSet::FilterChanged() {
  if (!Active()) return;
  if (FData) FData->FilterUpdated();
  CursorPosChanged();
  Resync(0);
  First();
}

void TMemDataSet::SetFilterText(const String& Value) {
  if (Active()) CheckBrowseMode();
  if (Value == Filter()) return;
  TDataSet::SetFilterText(Value);
  ApplyFilterExpression();
  if (Filtered()) FilterChanged();
}

void TMemDataSet::SetFilterOptions(TFilterOptions Value) {
  if (Active()) CheckBrowseMode();
  if (Value == FilterOptions()) return;
  TDataSet::SetFilterOptions(Value);
  ApplyFilterExpression();
  if (Filtered()) FilterChanged();
}

void TMemDataSet::SetFiltered(bool Value) {
  if (Active()) CheckBrowseMode();
  if (Value == Filtered()) return;
  TDataSet::SetFiltered(Value);
  ApplyFilterExpression();
  FilterChanged();
}

// ---- key ranges ----

bool TMemDataSet::KeyExclusive() const {
  if (State() != dsSetKey || !FRangeCurrentBuffer) DatabaseError(msg::SNotEditing, this);
  return FRangeCurrentBuffer[FRecInfoOfs + 7] != 0;
}

void TMemDataSet::SetKeyExclusive(bool Value) {
  if (State() != dsSetKey || !FRangeCurrentBuffer) DatabaseError(msg::SNotEditing, this);
  FRangeCurrentBuffer[FRecInfoOfs + 7] = Value ? 1 : 0;
  SetModified(true);
}

void TMemDataSet::ClearRange() {
  for (std::vector<Byte>* key : {&FRangeStartBuffer, &FRangeEndBuffer}) {
    if (key->empty()) continue;
    FData->FreeComplexFields(key->data(), false);
    std::fill(key->begin(), key->end(), Byte{0});
    FData->InitRecord(key->data());
  }
  FData->FilterRangeFunc = nullptr;
  if (FRanged) {
    FRanged = false;
    FData->FilterUpdated();
  }
}

void TMemDataSet::ReleaseRangeBuffers() {
  if (FData) {
    for (std::vector<Byte>* key : {&FRangeStartBuffer, &FRangeEndBuffer})
      if (!key->empty()) FData->FreeComplexFields(key->data(), false);
    FData->FilterRangeFunc = nullptr;
  }
  FRangeStartBuffer.clear();
  FRangeEndBuffer.clear();
  FRangeCurrentBuffer = nullptr;
  FRanged = false;
}

// ---- filtering by OnFilterRecord, Locate and Lookup ----

template <class F>
auto TMemDataSet::WithItemInScan(const vt::TItemHeader* Item, F&& Body) -> decltype(Body()) {
  FScanBuffer.resize(static_cast<std::size_t>(FRecBufSize));
  std::memcpy(FScanBuffer.data(), Item->Record(), static_cast<std::size_t>(FData->RecordSize()));
  UpdateCalculatedFieldsOf(FScanBuffer.data());
  TRecordBuffer save = FScanRecBuf;
  FScanRecBuf = FScanBuffer.data();
  const TDataSetState s = SetTempState(dsFilter);
  try {
    auto result = Body();
    RestoreState(s);
    FScanRecBuf = save;
    return result;
  } catch (...) {
    RestoreState(s);
    FScanRecBuf = save;
    throw;
  }
}

void TMemDataSet::RunWithItemInScan(const vt::TItemHeader* Item, const std::function<void()>& Body) {
  WithItemInScan(Item, [&] {
    Body();
    return 0;
  });
}

Variant TMemDataSet::FieldValueOfItem(TField* Field, const vt::TItemHeader* Item) {
  return WithItemInScan(Item, [&] { return Field->AsVariant(); });
}

bool TMemDataSet::ItemVisible(const vt::TItemHeader* Item) {
  if (!FilterActive()) return true;
  if (FCachedUpdates) {
    unsigned kind = rtUnmodified;
    switch (Item->Status) {
      case vt::isUpdated: kind = rtModified; break;
      case vt::isAppended: kind = rtInserted; break;
      case vt::isDeleted: kind = rtDeleted; break;
      default: break;
    }
    if (!(FUpdateRecordTypes & (1u << kind))) return false;
  } else if (Item->Status == vt::isDeleted) {
    return false;
  }
  if (FMasterDetailOn && !MasterDetailAccepts(Item)) return false;
  if (FRanged && FData->FilterRangeFunc && !FData->FilterRangeFunc(Item->Record())) return false;
  if (!FData->ItemPassesFilter(const_cast<vt::TItemHeader*>(Item))) return false;
  if (!FilterOn() || !OnFilterRecord()) return true;
  return WithItemInScan(Item, [&] {
    bool accept = true;
    OnFilterRecord()(*this, accept);
    return accept;
  });
}

bool TMemDataSet::FindRecord(bool Restart, bool GoForward) {
  CheckBrowseMode();
  DoBeforeScroll();
  UpdateCursorPos();
  CursorPosChanged();
  // Without Filtered the filter is switched on for the search only (its outcomes forgotten both ways).
  const bool temporary = !Filtered();
  auto setFinding = [&](bool Value) {
    FFinding = Value;
    ApplyFilterExpression();
    FData->FilterUpdated();
  };
  if (temporary) setFinding(true);
  const vt::TItemHeader* found = nullptr;
  try {
    const vt::TItemHeader* from = FData->CurrentItem();
    const vt::TItemHeader* item = GoForward ? (Restart || !from ? FData->FirstItem() : from->Next)
                                            : (Restart || !from ? FData->LastItem() : from->Prev);
    for (; item; item = GoForward ? item->Next : item->Prev)
      if (ItemVisible(item)) {
        found = item;
        break;
      }
  } catch (...) {
    if (temporary) setFinding(false);
    Resync(0);
    throw;
  }
  if (temporary) setFinding(false);
  if (!found) {
    Resync(0);
    return false;
  }
  FData->SetCurrentItem(const_cast<vt::TItemHeader*>(found));
  Resync(rmExact | rmCenter);
  DoAfterScroll();
  return true;
}

bool TMemDataSet::Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
  CheckBrowseMode();
  vt::TItemHeader* item = FindItem(KeyFields, KeyValues, Options);
  if (!item) return false;
  DoBeforeScroll();
  FData->SetCurrentItem(item);
  Resync(rmExact | rmCenter);
  DoAfterScroll();
  return true;
}

Variant TMemDataSet::Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) {
  vt::TItemHeader* item = FindItem(KeyFields, KeyValues, 0);
  if (!item) return Null();
  return WithItemInScan(item, [&] { return FieldValues(ResultFields); });
}

void TMemDataSet::SetOnFilterRecord(const TFilterRecordEvent& Value) {
  TDataSet::SetOnFilterRecord(Value);
  if (Active() && Filtered()) {
    CheckBrowseMode();
    First();
  }
}

// ---- descriptors and buffers ----

vt::TFieldDesc* TMemDataSet::GetFieldDesc(int FieldNo) const {
  if (!FData || FieldNo <= 0 || FieldNo > FData->Fields().Count()) return nullptr;
  return FData->Fields()[FieldNo - 1];
}

vt::TFieldDesc* TMemDataSet::GetFieldDesc(const TField* Field) const {
  if (!FData || !Field) return nullptr;
  if (Field->FieldNo() > 0 && Field->FieldNo() <= static_cast<int>(FDescByFieldNo.size()))
    return FDescByFieldNo[static_cast<std::size_t>(Field->FieldNo() - 1)];
  return FData->FindField(Field->FieldName());
}

TRecordBuffer TMemDataSet::GetActiveRecBuf() const {
  switch (State()) {
    case dsBrowse:
    case dsBlockRead:
      return IsEmpty() ? nullptr : ActiveBuffer();
    case dsNewValue:
      return FNewCacheRecBuf ? FNewCacheRecBuf : ActiveBuffer();
    case dsOldValue:
      return FOldCacheRecBuf ? FOldCacheRecBuf : ActiveBuffer();
    case dsEdit:
    case dsInsert:
    case dsCurValue:
      return ActiveBuffer();
    case dsCalcFields:
    case dsInternalCalc:
      return CalcBuffer();
    case dsFilter:
      return FScanRecBuf ? FScanRecBuf : FilterBuffer();
    case dsSetKey:
      return FRangeCurrentBuffer;
    default:
      return nullptr;
  }
}

void TMemDataSet::LayOutBuffers() {
  const int recordSize = FData->RecordSize();
  FRecInfoOfs = recordSize + CalcFieldsSize();
  FBookmarkOfs = FRecInfoOfs + kRecInfoSize;
  FRecBufSize = FBookmarkOfs + vt::kBookmarkSize;
  FDescByFieldNo.clear();
  for (int i = 0; i < FData->Fields().Count(); ++i) FDescByFieldNo.push_back(FData->Fields()[i]);
}

void TMemDataSet::CursorOpen() {
  if (!FData) DatabaseError(u"Assertion failure", this);
  // A record set handed over (a load) learns the sort order and filter here.
  FData->SetIndexFieldNames(FIndexFieldNames);
  ApplyFilterExpression();
  FData->SetCachedUpdates(FCachedUpdates);
  FData->LocalUpdate = FLocalUpdate;
  FData->OnApplyRecord = [this](vt::TUpdateRecKind Kind, vt::TUpdateResult& Action, bool) { ApplyRecord(Kind, Action); };
  if (!FData->Active()) {
    InitRecordSetFields();
    FData->Open();
  }
  BuildLocalMDLinks();
  DataSetService()->PrepareFields();
  if (DefaultFields()) BuildDefaultFields();
  if (FNumberRange)
    for (const auto& def : FieldDefs()) DataSetService()->SetNumberRange(def.get());
  BindAllFields(true);
  // Persistent fields find their descriptors by name; default fields by their definition's number.
  for (TField* f : Fields()) {
    if (f->FieldKind() != fkData) continue;
    if (vt::TFieldDesc* d = FData->FindField(f->FieldName())) f->SetFieldNo(d->FieldNo);
  }
  SetBookmarkSize(vt::kBookmarkSize);
  LayOutBuffers();
  for (std::vector<Byte>* key : {&FRangeStartBuffer, &FRangeEndBuffer}) {
    key->assign(static_cast<std::size_t>(FRecBufSize), 0);
    FData->InitRecord(key->data());
  }
  FRangeCurrentBuffer = FRangeStartBuffer.data();
  FData->SetToBegin();
  FCursorOpen = true;
}

void TMemDataSet::CursorClose() {
  if (FDetailRefreshTimer) FDetailRefreshTimer->SetEnabled(false);
  ReleaseRangeBuffers();
  FLocalMDLinks.clear();
  BindAllFields(false);
  FDescByFieldNo.clear();
  FInInserting = FInEditing = false;
  FCursorOpen = false;
}

TRecordBuffer TMemDataSet::AllocateRecordBuffer() {
  auto* buf = new Byte[static_cast<std::size_t>(FRecBufSize)]();
  return buf;
}

void TMemDataSet::ReleaseRecordBuffer(TRecordBuffer& Buffer) {
  delete[] Buffer;
  Buffer = nullptr;
}

void TMemDataSet::ReadBookmarkData(TRecordBuffer Buffer, TValueBuffer Data) {
  std::memcpy(Data.data(), Buffer + FBookmarkOfs, std::min<std::size_t>(Data.size(), vt::kBookmarkSize));
}

void TMemDataSet::WriteBookmarkData(TRecordBuffer Buffer, TConstValueBuffer Data) {
  std::memcpy(Buffer + FBookmarkOfs, Data.data(), std::min<std::size_t>(Data.size(), vt::kBookmarkSize));
}

TBookmarkFlag TMemDataSet::ReadBookmarkFlag(TRecordBuffer Buffer) {
  return static_cast<TBookmarkFlag>(Buffer[FRecInfoOfs + kFlagOfs]);
}

void TMemDataSet::WriteBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) { Buffer[FRecInfoOfs + kFlagOfs] = Value; }

void TMemDataSet::ResetCalculatedFields(TRecordBuffer Buffer) {
  if (CalcFieldsSize() > 0)
    std::memset(Buffer + FData->RecordSize(), 0, static_cast<std::size_t>(CalcFieldsSize()));
}

void TMemDataSet::CursorInitRecord(TRecordBuffer Buffer) {
  FData->InitRecord(Buffer);
  FData->CreateComplexFields(Buffer, true);
}

void TMemDataSet::PrepareNewRecord(TRecordBuffer Buffer) {
  TDataSet::PrepareNewRecord(Buffer);
  const std::int32_t minusOne = -1;
  std::memcpy(Buffer + FRecInfoOfs + kRecNoOfs, &minusOne, 4);
  Buffer[FRecInfoOfs + kUpdateStatusOfs] = usInserted;
  WriteBookmarkFlag(Buffer, bfInserted);
}

TFetchResult TMemDataSet::FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) {
  for (;;) {
    switch (Mode) {
      case fmCurrent: FData->GetRecord(Buffer); break;
      case fmNext: FData->GetNextRecord(Buffer); break;
      case fmPrior: FData->GetPriorRecord(Buffer); break;
    }
    if (FData->Bof()) return frBOF;
    if (FData->Eof()) return frEOF;
    if (!FilterActive() || ItemVisible(FData->CurrentItem())) break;
    if (Mode == fmCurrent) {
      if (DoCheck) DatabaseError(msg::SRecordNotFound, this);
      return frError;
    }
  }
  // With a filter the visible number is counted when asked for (GetRecNo), not on every fetch.
  // Sorted rows move as others come: their number too is counted when asked for.
  const std::int32_t recNo = FilterActive() || FData->IndexFieldCount() > 0 ? 0 : FData->RecordNo();
  std::memcpy(Buffer + FRecInfoOfs + kRecNoOfs, &recNo, 4);
  // Row statuses and update statuses share their numbers.
  Buffer[FRecInfoOfs + kUpdateStatusOfs] = static_cast<Byte>(FData->CurrentItem()->Status);
  WriteBookmarkFlag(Buffer, bfCurrent);
  vt::TRecBookmark bm;
  FData->GetBookmark(bm);
  std::memcpy(Buffer + FBookmarkOfs, &bm, sizeof bm);
  UpdateCalculatedFields(Buffer);
  return frOK;
}

void TMemDataSet::CursorPost() {
  if (State() == dsBrowse || (!FInInserting && !FInEditing && State() != dsInsert && State() != dsEdit)) return;
  TDataSet::CursorPost();
  TRecordBuffer buf = ActiveBuffer();
  if (State() == dsEdit) {
    FData->PostRecord(buf);
  } else {
    // The buffer's flag says where the row goes, whatever the cursor did meanwhile: at the end, first,
    // or before the row whose bookmark the buffer carries.
    switch (ReadBookmarkFlag(buf)) {
      case bfEOF: FData->SetToEnd(); break;
      case bfBOF: FData->SetToBegin(); break;
      default: {
        vt::TRecBookmark bm;
        std::memcpy(&bm, buf + FBookmarkOfs, sizeof bm);
        if (bm.Order == -1 && bm.Item == 0) FData->SetToEnd();
        else FData->SetToBookmark(bm);
        break;
      }
    }
    FData->InsertRecord(buf);
  }
  FInInserting = FInEditing = false;
}

void TMemDataSet::CursorAddRecord(TRecordBuffer Buffer, bool Append) {
  if (Append) FData->AppendRecord(Buffer);
  else FData->InsertRecord(Buffer);
}

void TMemDataSet::CursorDelete() {
  if (!CanModify()) DatabaseError(msg::SDataSetReadOnly, this);
  FData->DeleteRecord();
  FInInserting = FInEditing = false;
}

void TMemDataSet::CursorEdit() {
  FInEditing = true;
  FData->EditRecord(ActiveBuffer());
}

void TMemDataSet::CursorCancel() {
  TRecordBuffer buf = ActiveBuffer();
  if (State() == dsEdit) FData->CancelRecord(buf);
  else if (State() == dsInsert) FData->FreeComplexFields(buf, true);
  FInInserting = FInEditing = false;
}

void TMemDataSet::CursorGotoBookmark(TConstValueBuffer Bookmark) {
  vt::TRecBookmark bm;
  if (ReadBookmarkBytes(Bookmark, bm)) FData->SetToBookmark(bm);
}

void TMemDataSet::CursorSetToRecord(TRecordBuffer Buffer) {
  CursorGotoBookmark(TConstValueBuffer(Buffer + FBookmarkOfs, vt::kBookmarkSize));
}

bool TMemDataSet::BookmarkValid(const TBookmark& Bookmark) {
  vt::TRecBookmark bm;
  return FData && Active() && ReadBookmarkBytes(Bookmark, bm) && FData->BookmarkValid(bm);
}

int TMemDataSet::CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) {
  if (!FData) return 0;
  vt::TRecBookmark b1, b2;
  const bool has1 = ReadBookmarkBytes(Bookmark1, b1);
  const bool has2 = ReadBookmarkBytes(Bookmark2, b2);
  return FData->CompareBookmarks(has1 ? &b1 : nullptr, has2 ? &b2 : nullptr);
}

int TMemDataSet::GetRecordCount() const {
  if (!Active() || !FData) return 0;
  if (!FilterActive()) return FData->RecordCount();
  auto* self = const_cast<TMemDataSet*>(this);
  int n = 0;
  for (const vt::TItemHeader* item = FData->FirstItem(); item; item = item->Next)
    if (self->ItemVisible(item)) ++n;
  return n;
}

int TMemDataSet::GetRecNo() const {
  const TRecordBuffer buf = GetActiveRecBuf();
  if (!buf || State() == dsInsert) return State() == dsInsert ? -1 : 0;
  if (!FilterActive() && FData->IndexFieldCount() == 0) return LoadInt(buf + FRecInfoOfs + kRecNoOfs);
  vt::TRecBookmark bm;
  std::memcpy(&bm, buf + FBookmarkOfs, sizeof bm);
  const vt::TItemHeader* target = FData->ItemOf(bm);
  if (!FilterActive()) return target ? FData->OrderOf(const_cast<vt::TItemHeader*>(target)) : LoadInt(buf + FRecInfoOfs + kRecNoOfs);
  auto* self = const_cast<TMemDataSet*>(this);
  int n = 0;
  for (const vt::TItemHeader* item = FData->FirstItem(); item; item = item->Next) {
    if (self->ItemVisible(item)) ++n;
    if (item == target) return n;
  }
  return 0;
}

void TMemDataSet::SetRecNoValue(int Value) {
  CheckBrowseMode();
  if (Value < 1 || Value > GetRecordCount()) return;
  DoBeforeScroll();
  if (!FilterActive()) {
    FData->SetRecordNo(Value);
  } else {
    int n = 0;
    for (const vt::TItemHeader* item = FData->FirstItem(); item; item = item->Next)
      if (ItemVisible(item) && ++n == Value) {
        FData->SetCurrentItem(const_cast<vt::TItemHeader*>(item));
        break;
      }
  }
  Resync(rmExact | rmCenter);
  DoAfterScroll();
}

Variant TMemDataSet::GetStateFieldValue(TDataSetState AState, TField* Field) {
  if (AState == dsInsert || (AState == dsOldValue && State() == dsInsert)) return Null();
  return TDataSet::GetStateFieldValue(AState, Field);
}

// ---- field values ----

bool TMemDataSet::GetFieldData(TField* Field, TValueBuffer Buffer) {
  const TRecordBuffer buf = GetActiveRecBuf();
  if (!buf) return false;
  if (Field->FieldKind() == fkCalculated || Field->FieldKind() == fkLookup) {
    const TDataSetState s = State();
    if (s != dsBrowse && s != dsEdit && s != dsInsert && s != dsCalcFields && s != dsFilter && s != dsBlockRead &&
        s != dsInternalCalc)
      return false;
    return ReadCalculatedField(buf + FData->RecordSize(), Field, Buffer);
  }
  const vt::TFieldDesc* desc = GetFieldDesc(Field);
  if (!desc) return false;
  bool blank = true;
  FData->GetField(*desc, buf, Buffer.empty() ? nullptr : Buffer.data(), blank);
  return !blank;
}

void TMemDataSet::WriteFieldData(TField* Field, TConstValueBuffer Buffer) {
  const TDataSetState s = State();
  if (s != dsEdit && s != dsInsert && s != dsSetKey && s != dsCalcFields && s != dsFilter && s != dsNewValue &&
      s != dsInternalCalc)
    DatabaseError(msg::SNotEditing, this);
  TRecordBuffer buf = GetActiveRecBuf();
  if (!buf) return;
  if (Field->FieldKind() == fkCalculated || Field->FieldKind() == fkLookup) {
    Field->Validate(Buffer);
    WriteCalculatedField(buf + FData->RecordSize(), Field, Buffer);
  } else {
    if (s == dsCalcFields) DatabaseError(msg::SNotEditing, this);
    if (Field->ReadOnly() && s != dsSetKey && s != dsFilter)
      DatabaseErrorFmt(msg::SFieldReadOnly, {Field->DisplayName()}, this);
    Field->Validate(Buffer);
    if (Field->FieldKind() != fkInternalCalc) {
      const vt::TFieldDesc* desc = GetFieldDesc(Field);
      if (!desc) DatabaseErrorFmt(msg::SFieldNotFound, {Field->FieldName()}, this);
      FData->PutField(*desc, buf, Buffer.empty() ? nullptr : Buffer.data(), Buffer.size());
    }
  }
  if (s != dsCalcFields && s != dsFilter && s != dsNewValue)
    DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(Field));
}

bool TMemDataSet::GetFieldValue(TField* Field, Variant& Value) {
  const TRecordBuffer buf = GetActiveRecBuf();
  const vt::TFieldDesc* desc = buf ? GetFieldDesc(Field) : nullptr;
  if (!desc) {
    Value = Null();
    return false;
  }
  Value = FData->GetFieldAsVariant(*desc, buf, State() == dsOldValue);
  return !Value.IsNull();
}

void TMemDataSet::WriteFieldValue(TField* Field, const Variant& Value) {
  const TDataSetState s = State();
  if (s != dsEdit && s != dsInsert && s != dsSetKey && s != dsNewValue) DatabaseError(msg::SNotEditing, this);
  if (Field->ReadOnly() && s != dsSetKey) DatabaseErrorFmt(msg::SFieldReadOnly, {Field->DisplayName()}, this);
  TRecordBuffer buf = GetActiveRecBuf();
  const vt::TFieldDesc* desc = buf ? GetFieldDesc(Field) : nullptr;
  if (!desc) return;
  FData->PutFieldAsVariant(*desc, buf, Value);
  if (s != dsNewValue) DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(Field));
}

std::unique_ptr<TStream> TMemDataSet::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
  if (!Field->IsBlob()) DatabaseErrorFmt(msg::SNotBlobField, {Field->DisplayName()}, this);
  return std::make_unique<TVtBlobStream>(Field, Mode);
}

// ---- TVtBlobStream ----

namespace {
struct TSpareStreams {
  static constexpr int kMax = 4;
  void* Blocks[kMax] = {};
  int Count = 0;
  ~TSpareStreams() {
    while (Count > 0) ::operator delete(Blocks[--Count]);
  }
};
thread_local TSpareStreams gSpareStreams;
}  // namespace

void* TVtBlobStream::operator new(std::size_t Size) {
  TSpareStreams& spare = gSpareStreams;
  if (Size == sizeof(TVtBlobStream) && spare.Count > 0) return spare.Blocks[--spare.Count];
  return ::operator new(Size);
}

void TVtBlobStream::operator delete(void* Memory, std::size_t Size) noexcept {
  TSpareStreams& spare = gSpareStreams;
  if (Memory && Size == sizeof(TVtBlobStream) && spare.Count < TSpareStreams::kMax) {
    spare.Blocks[spare.Count++] = Memory;
    return;
  }
  ::operator delete(Memory);
}

TVtBlobStream::TVtBlobStream(TField* Field, TBlobStreamMode Mode)
    : FField(Field), FDataSet(static_cast<TMemDataSet*>(Field->DataSet())), FMode(Mode) {
  FFieldDesc = FDataSet->GetFieldDesc(Field);
  FBuffer = FDataSet->GetActiveRecBuf();
  FUnicode = Field->DataType() == ftWideMemo;
  if (!FBuffer || !FFieldDesc) return;
  // Every writable stream needs an edit: a stored row's blob is never changed behind the dataset's back,
  // whatever the field's Modified flag says.
  if (Mode != bmRead) {
    if (Field->ReadOnly()) DatabaseErrorFmt(msg::SFieldReadOnly, {Field->DisplayName()}, FDataSet);
    const TDataSetState s = FDataSet->State();
    // A cached-update handler writes the row being applied, whatever state it reads it in.
    const bool applying = FDataSet->FNewCacheRecBuf && FBuffer == FDataSet->FNewCacheRecBuf;
    if (s != dsEdit && s != dsInsert && s != dsNewValue && !applying) DatabaseError(msg::SNotEditing, FDataSet);
  }
  // A row without its blob object (a buffer filled by hand) gets one before the first write.
  if (Mode != bmRead && !FDataSet->FData->BlobHandle(*FFieldDesc, FBuffer))
    FDataSet->FData->CreateComplexField(FBuffer, *FFieldDesc);
  // The record being inserted owns its blobs alone and a cancel drops them: small content is written
  // straight into its packed form, with nothing kept to roll back to.
  FNewRecord = Mode != bmRead && FDataSet->State() == dsInsert;
  FOpened = true;
  if (Mode == bmWrite) Truncate();
}

TVtBlobStream::~TVtBlobStream() {
  if (!FModified) return;
  try {
    if (FOpened) FField->SetModified(true);
    FDataSet->DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(FField));
  } catch (...) {
    HandleCurrentException(FDataSet);
  }
}

Int64 TVtBlobStream::Read(void* Buffer, Int64 Count) {
  if (!FOpened) return 0;
  const Int64 rest = FDataSet->FData->GetBlobSize(*FFieldDesc, FBuffer, FDataSet->State() == dsOldValue, FUnicode) - FPosition;
  if (Count > rest) Count = rest;
  if (Count <= 0) return 0;
  if (!FDataSet->FData->GetObject(*FFieldDesc, FBuffer)) return 0;
  const Int64 n = FDataSet->FData->ReadBlob(*FFieldDesc, FBuffer, FPosition, Count, Buffer,
                                            FDataSet->State() == dsOldValue, FUnicode);
  FPosition += n;
  return n;
}

Int64 TVtBlobStream::Write(const void* Buffer, Int64 Count) {
  if (!FOpened || Count <= 0) return 0;
  if (!FNewRecord || !FDataSet->FData->WriteNewPackedBlob(*FFieldDesc, FBuffer, FPosition, Count, Buffer, FUnicode))
    FDataSet->FData->WriteBlob(*FFieldDesc, FBuffer, FPosition, Count, Buffer, FUnicode);
  FPosition += Count;
  FModified = true;
  return Count;
}

Int64 TVtBlobStream::Seek(Int64 Offset, TSeekOrigin Origin) {
  switch (Origin) {
    case TSeekOrigin::soBeginning: FPosition = Offset; break;
    case TSeekOrigin::soCurrent: FPosition += Offset; break;
    case TSeekOrigin::soEnd:
      FPosition = Offset + (FOpened ? FDataSet->FData->GetBlobSize(*FFieldDesc, FBuffer, FDataSet->State() == dsOldValue, FUnicode) : 0);
      break;
  }
  if (FPosition < 0) FPosition = 0;
  return FPosition;
}

void TVtBlobStream::SetSize(Int64 NewSize) {
  if (!FOpened) return;
  FDataSet->FData->TruncateBlob(*FFieldDesc, FBuffer, NewSize, FUnicode);
  FModified = true;
}

void TVtBlobStream::Truncate() {
  if (!FOpened) return;
  if (!FNewRecord || !FDataSet->FData->TruncateNewPackedBlob(*FFieldDesc, FBuffer, FPosition))
    FDataSet->FData->TruncateBlob(*FFieldDesc, FBuffer, FPosition, FUnicode);
  FModified = true;
}
