// TVectorDataSet: the smallest engine that honours the whole engine contract of TDataSet (DataSet.h), for
// the framework's tests and benchmark. Rows live in a vector; a record buffer is
//
// | part            | size             | content                                                    |
// |-----------------|------------------|------------------------------------------------------------|
// | data area       | RecordSize       | per data field: has-value byte, then its native value;       |
// |                 |                  | blob fields hold a 32-bit handle into the engine's blob table |
// | calculated area | CalcFieldsSize   | the framework's calculated-area layout                      |
// | bookmark        | 4                | the row's number, given once (never reused while open)      |
// | flag            | 1                | TBookmarkFlag                                               |
//
// It inserts at its own cursor position and checks that the framework put the cursor on the row the
// inserted buffer names, so a framework fault shows up as an exception here rather than as a row in the
// wrong place. It counts CursorSetToRecord calls, so tests can see that a path does not search.
// OnFilterRecord filters when Filtered; MasterSource/MasterFields/DetailFields make it a detail.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/db/DB.h"
#include "platform/rtl/SysUtils.h"

class TVectorDataSet : public TDataSet {
  VELLUM_CLASS(TVectorDataSet)
 public:
  explicit TVectorDataSet(TComponent* AOwner) : TDataSet(AOwner), FMasterLink(this) {
    FMasterLink.OnMasterChange = [this](TObject*) { MasterChanged(); };
    FMasterLink.OnMasterDisable = [this](TObject*) { MasterChanged(); };
  }
  ~TVectorDataSet() override {
    try {
      Close();
    } catch (...) {
      HandleCurrentException(this);
    }
  }

  using TDataSet::GetFieldData;
  using TDataSet::WriteFieldData;

  // Rows held (ignoring the filter) and the calls the tests watch.
  int RowCount() const { return static_cast<int>(FRows.size()); }
  int SetToRecordCalls() const { return FSetToRecordCalls; }
  void ResetCallCounts() { FSetToRecordCalls = 0; }
  // Empties the rows while open (like a memory table's EmptyDataSet).
  void EmptyDataSet() {
    FRows.clear();
    FBlobs.clear();
    FCurRec = -1;
    if (Active()) Resync(0);
  }
  void Reserve(std::size_t Rows) { FRows.reserve(Rows); }
  // Keeps only the row posted last, overwriting it in place: the engine then stores nothing per row,
  // which isolates the framework's own cost in the benchmark.
  void SetKeepOnlyLastRow(bool Value) { FKeepOnlyLastRow = Value; }
  // Behaves like an engine whose fmCurrent fetch does not test the filter (tests of the framework's
  // own guard).
  void SetCurrentIgnoresFilter(bool Value) { FCurrentIgnoresFilter = Value; }

  // Master/detail: rows whose DetailFields equal the master's MasterFields.
  void SetMasterSource(TDataSource* Value) {
    if (Value && IsLinkedTo(Value)) DatabaseError(msg::SCircularDataLink, this);
    FMasterLink.SetDataSource(Value);
  }
  void SetMasterFields(const String& Value) { FMasterLink.SetFieldNames(Value); }
  void SetDetailFields(const String& Value) { FDetailFields = Value; }

  bool Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) override {
    CheckBrowseMode();
    const int row = FindRow(KeyFields, KeyValues, Options);
    if (row < 0) return false;
    DoBeforeScroll();
    FCurRec = row;
    Resync(rmExact | rmCenter);
    DoAfterScroll();
    return true;
  }

  Variant Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) override {
    const int row = FindRow(KeyFields, KeyValues, 0);
    if (row < 0) return Null();
    std::vector<TField*> fields;
    GetLookupResultFields(ResultFields, fields);
    return WithRowInFilterState(row, [&] { return LookupResult(fields, [](TField* f) { return f->AsVariant(); }); });
  }

  bool BookmarkValid(const TBookmark& Bookmark) override {
    return Bookmark.size() == 4 && IndexOfBookmark(LoadInt(Bookmark.data())) >= 0;
  }

  int CompareBookmarks(const TBookmark& B1, const TBookmark& B2) override {
    if (B1.empty() || B2.empty()) return TDataSet::CompareBookmarks(B1, B2);
    const int a = IndexOfBookmark(LoadInt(B1.data()));
    const int b = IndexOfBookmark(LoadInt(B2.data()));
    return a < b ? -1 : (a > b ? 1 : 0);
  }

  bool GetFieldData(TField* Field, TValueBuffer Buffer) override {
    const Byte* buf = ActiveRecBuf();
    if (!buf) return false;
    if (Field->FieldKind() == fkCalculated || Field->FieldKind() == fkLookup)
      return ReadCalculatedField(buf + FRecordSize, Field, Buffer);
    const Byte* slot = buf + SlotOffset(Field);
    if (slot[0] == 0) return false;
    const std::size_t n = std::min(Buffer.size(), SlotSize(Field));
    if (n) std::memcpy(Buffer.data(), slot + 1, n);
    return true;
  }

  void WriteFieldData(TField* Field, TConstValueBuffer Buffer) override {
    const TDataSetState s = State();
    Byte* buf = WritableStateBuffer();
    if (Field->ReadOnly() && s != dsSetKey && s != dsCalcFields && s != dsFilter)
      DatabaseErrorFmt(msg::SFieldReadOnly, {Field->DisplayName()}, this);
    Field->Validate(Buffer);
    if (Field->FieldKind() == fkCalculated || Field->FieldKind() == fkLookup) {
      WriteCalculatedField(buf + FRecordSize, Field, Buffer);
    } else {
      Byte* slot = buf + SlotOffset(Field);
      const std::size_t size = SlotSize(Field);
      if (Buffer.empty()) {
        slot[0] = 0;
      } else {
        slot[0] = 1;
        const std::size_t n = std::min(Buffer.size(), size);
        std::memcpy(slot + 1, Buffer.data(), n);
        if (n < size) std::memset(slot + 1 + n, 0, size - n);
      }
    }
    FieldDataWritten(Field);
  }

  std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override {
    if (!Field->IsBlob()) DatabaseErrorFmt(msg::SNotBlobField, {Field->DisplayName()}, this);
    return std::make_unique<BlobStream>(*this, Field, Mode);
  }

 protected:
  // ---- cursor ----------------------------------------------------------------------------------------
  void CursorOpen() override {
    if (FieldDefs().Count() == 0) CursorReadFieldDefs();
    if (DefaultFields()) BuildDefaultFields();
    BindAllFields(true);
    // One slot per data field, in field order (nested definitions may repeat field numbers, so the
    // slot is found by the field itself).
    FSlots.clear();
    FRecordSize = 0;
    for (TField* f : Fields()) {
      if (f->FieldKind() != fkData && f->FieldKind() != fkInternalCalc) continue;
      if (f->FieldNo() <= 0) f->SetFieldNo(static_cast<int>(FSlots.size()) + 1);
      const int size = f->IsBlob() ? 4 : f->DataSize();
      FSlots.push_back({f, FRecordSize, size});
      FRecordSize += 1 + size;
    }
    FBookmarkOffset = FRecordSize + CalcFieldsSize();
    FBufferSize = FBookmarkOffset + 5;
    SetBookmarkSize(4);
    FCurRec = -1;
    FLastBookmark = 0;
    FOpen = true;
  }

  void CursorClose() override {
    FRows.clear();
    FBlobs.clear();
    FSlots.clear();
    BindAllFields(false);
    FOpen = false;
  }

  bool CursorIsOpen() const override { return FOpen; }

  TFetchResult FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) override {
    const int count = RowCount();
    switch (Mode) {
      case fmCurrent:
        if (FCurRec < 0 || FCurRec >= count ||
            !(FCurrentIgnoresFilter ? (CopyRow(FCurRec, Buffer), true) : CopyIfVisible(FCurRec, Buffer))) {
          if (DoCheck) DatabaseError(u"No current record", this);
          return frError;
        }
        break;
      case fmNext: {
        int i = FCurRec + 1;
        while (i < count && !CopyIfVisible(i, Buffer)) ++i;
        if (i >= count) {
          FCurRec = count;
          return frEOF;
        }
        FCurRec = i;
        break;
      }
      case fmPrior: {
        int i = std::min(FCurRec, count) - 1;
        while (i >= 0 && !CopyIfVisible(i, Buffer)) --i;
        if (i < 0) {
          FCurRec = -1;
          return frBOF;
        }
        FCurRec = i;
        break;
      }
    }
    WriteBookmarkFlag(Buffer, bfCurrent);
    UpdateCalculatedFields(Buffer);
    return frOK;
  }

  void CursorFirst() override { FCurRec = -1; }
  void CursorLast() override { FCurRec = RowCount(); }

  void CursorPost() override {
    TDataSet::CursorPost();
    TRecordBuffer buf = ActiveBuffer();
    if (State() == dsEdit) {
      RequireCursorOn(buf);
      std::memcpy(FRows[static_cast<std::size_t>(FCurRec)].Data.data(), buf, static_cast<std::size_t>(FRecordSize));
      return;
    }
    if (FKeepOnlyLastRow && RowCount() == 1 && ReadBookmarkFlag(buf) == bfEOF) {
      Row& only = FRows.front();
      only.Bookmark = ++FLastBookmark;
      std::memcpy(only.Data.data(), buf, static_cast<std::size_t>(FRecordSize));
      FCurRec = 0;
      return;
    }
    Row row;
    row.Bookmark = ++FLastBookmark;
    row.Data.assign(buf, buf + FRecordSize);
    switch (ReadBookmarkFlag(buf)) {
      case bfEOF:
        if (FCurRec != RowCount()) Fault(u"append with the cursor not after the last row");
        FRows.push_back(std::move(row));
        FCurRec = RowCount() - 1;
        break;
      case bfBOF:
        if (FCurRec != -1) Fault(u"insert into an empty window with the cursor not before the first row");
        FRows.insert(FRows.begin(), std::move(row));
        FCurRec = 0;
        break;
      default:
        RequireCursorOn(buf);
        FRows.insert(FRows.begin() + FCurRec, std::move(row));
        break;
    }
  }

  void CursorDelete() override {
    if (FCurRec < 0 || FCurRec >= RowCount()) return;
    FRows.erase(FRows.begin() + FCurRec);
    if (FCurRec >= RowCount()) FCurRec = RowCount() - 1;
  }

  void CursorGotoBookmark(TConstValueBuffer Bookmark) override {
    const int i = Bookmark.size() == 4 ? IndexOfBookmark(LoadInt(Bookmark.data())) : -1;
    if (i < 0) DatabaseError(u"Bookmark not found", this);
    FCurRec = i;
  }

  void CursorSetToRecord(TRecordBuffer Buffer) override {
    ++FSetToRecordCalls;
    Byte bm[4];
    ReadBookmarkData(Buffer, bm);
    CursorGotoBookmark(bm);
  }

  void CursorInitRecord(TRecordBuffer Buffer) override {
    std::memset(Buffer, 0, static_cast<std::size_t>(FBookmarkOffset));
  }

  TRecordBuffer AllocateRecordBuffer() override {
    FBufferPool.push_back(std::make_unique<Byte[]>(static_cast<std::size_t>(FBufferSize)));
    return FBufferPool.back().get();
  }

  void ReleaseRecordBuffer(TRecordBuffer& Buffer) override {
    auto it = std::find_if(FBufferPool.begin(), FBufferPool.end(), [&](const auto& p) { return p.get() == Buffer; });
    if (it != FBufferPool.end()) FBufferPool.erase(it);
    Buffer = nullptr;
  }

  void ReadBookmarkData(TRecordBuffer Buffer, TValueBuffer Data) override {
    std::memcpy(Data.data(), Buffer + FBookmarkOffset, std::min<std::size_t>(4, Data.size()));
  }
  void WriteBookmarkData(TRecordBuffer Buffer, TConstValueBuffer Data) override {
    std::memcpy(Buffer + FBookmarkOffset, Data.data(), std::min<std::size_t>(4, Data.size()));
  }
  TBookmarkFlag ReadBookmarkFlag(TRecordBuffer Buffer) override {
    return static_cast<TBookmarkFlag>(Buffer[FBookmarkOffset + 4]);
  }
  void WriteBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) override { Buffer[FBookmarkOffset + 4] = Value; }

  void ResetCalculatedFields(TRecordBuffer Buffer) override {
    if (CalcFieldsSize() > 0) std::memset(Buffer + FRecordSize, 0, static_cast<std::size_t>(CalcFieldsSize()));
  }

  int GetRecordSize() const override { return FRecordSize; }
  int GetRecordCount() const override {
    if (!Filtered() && !FMasterLink.Active()) return RowCount();
    int n = 0;
    for (int i = 0; i < RowCount(); ++i)
      if (const_cast<TVectorDataSet*>(this)->RowVisible(i)) ++n;
    return n;
  }
  int GetRecNo() const override {
    if (State() != dsBrowse && State() != dsEdit) return -1;
    if (IsEmpty()) return -1;
    const int i = IndexOfBookmark(LoadInt(ActiveBuffer() + FBookmarkOffset));
    int n = 0;
    for (int k = 0; k <= i; ++k)
      if (const_cast<TVectorDataSet*>(this)->RowVisible(k)) ++n;
    return n;
  }
  // The Value-th visible row (from 1); a number outside the rows leaves the cursor where it is.
  void SetRecNoValue(int Value) override {
    CheckBrowseMode();
    if (Value < 1 || Value == GetRecNo()) return;
    int n = 0;
    for (int i = 0; i < RowCount(); ++i) {
      if (!RowVisible(i) || ++n != Value) continue;
      DoBeforeScroll();
      FCurRec = i;
      Resync(rmExact | rmCenter);
      DoAfterScroll();
      return;
    }
  }
  TDataSource* GetDataSource() const override { return FMasterLink.DataSource(); }

 private:
  struct Row {
    std::int32_t Bookmark = 0;
    std::vector<Byte> Data;
  };
  struct Slot {
    const TField* Field = nullptr;
    int Offset = 0;
    int Size = 0;
  };

  // The blob stream: the value of the field in the buffer of the moment; it stores on destruction.
  class BlobStream : public TMemoryStream {
   public:
    BlobStream(TVectorDataSet& Owner, TField* Field, TBlobStreamMode Mode)
        : FOwner(Owner), FField(Field), FBuffer(Owner.ActiveRecBuf()), FMode(Mode) {
      if (Mode != bmRead && Owner.State() != dsEdit && Owner.State() != dsInsert)
        DatabaseError(msg::SNotEditing, &Owner);
      if (Mode == bmWrite) {
        FModified = true;
      } else if (FBuffer) {
        const std::uint32_t h = FOwner.BlobHandleIn(FBuffer, FField);
        if (h) {
          const TBytes& v = FOwner.FBlobs[h - 1];
          if (!v.empty()) TMemoryStream::Write(v.data(), static_cast<Int64>(v.size()));
          Seek(0, TSeekOrigin::soBeginning);
        }
      }
    }
    ~BlobStream() override {
      if (!FModified || !FBuffer || FMode == bmRead) return;
      try {
        const auto* p = static_cast<const Byte*>(Memory());
        FOwner.StoreBlob(FBuffer, FField, TBytes(p, p + Size()));
        FOwner.DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(FField));
      } catch (...) {
        HandleCurrentException(&FOwner);
      }
    }
    Int64 Write(const void* Buffer, Int64 Count) override {
      FModified = true;
      return TMemoryStream::Write(Buffer, Count);
    }

   private:
    TVectorDataSet& FOwner;
    TField* FField;
    TRecordBuffer FBuffer;
    TBlobStreamMode FMode;
    bool FModified = false;
  };

  static std::int32_t LoadInt(const Byte* p) {
    std::int32_t v;
    std::memcpy(&v, p, 4);
    return v;
  }

  [[noreturn]] void Fault(const char16_t* What) { throw EDatabaseError(String(u"TVectorDataSet: ") + What); }

  void RequireCursorOn(TRecordBuffer Buffer) {
    if (FCurRec < 0 || FCurRec >= RowCount() ||
        FRows[static_cast<std::size_t>(FCurRec)].Bookmark != LoadInt(Buffer + FBookmarkOffset))
      Fault(u"the cursor is not on the row the buffer names");
  }

  int IndexOfBookmark(std::int32_t Bookmark) const {
    for (int i = 0; i < RowCount(); ++i)
      if (FRows[static_cast<std::size_t>(i)].Bookmark == Bookmark) return i;
    return -1;
  }

  const Slot& SlotOf(const TField* Field) const {
    for (const Slot& slot : FSlots)
      if (slot.Field == Field) return slot;
    throw EDatabaseError(u"TVectorDataSet: field " + Field->FieldName() + u" has no slot");
  }
  std::size_t SlotSize(const TField* Field) const { return static_cast<std::size_t>(SlotOf(Field).Size); }
  int SlotOffset(const TField* Field) const { return SlotOf(Field).Offset; }

  std::uint32_t BlobHandleIn(const Byte* Buffer, const TField* Field) const {
    const Byte* slot = Buffer + SlotOffset(Field);
    if (slot[0] == 0) return 0;
    std::uint32_t h;
    std::memcpy(&h, slot + 1, 4);
    return h;
  }

  void StoreBlob(Byte* Buffer, const TField* Field, TBytes Value) {
    Byte* slot = Buffer + SlotOffset(Field);
    if (Value.empty()) {
      slot[0] = 0;
      return;
    }
    FBlobs.push_back(std::move(Value));
    const auto h = static_cast<std::uint32_t>(FBlobs.size());
    slot[0] = 1;
    std::memcpy(slot + 1, &h, 4);
  }

  // The framework's choice, but for the row a scan probes and the stored row of dsOldValue.
  TRecordBuffer StateBuffer() const override {
    switch (State()) {
      case dsFilter:
        return FScanBuffer ? FScanBuffer : FilterBuffer();
      case dsOldValue: {
        if (IsEmpty()) return nullptr;
        const int i = IndexOfBookmark(LoadInt(ActiveBuffer() + FBookmarkOffset));
        return i < 0 ? nullptr : const_cast<Byte*>(FRows[static_cast<std::size_t>(i)].Data.data());
      }
      default:
        return TDataSet::StateBuffer();
    }
  }
  Byte* ActiveRecBuf() const { return StateBuffer(); }

  void CopyRow(int Index, TRecordBuffer Buffer) {
    const Row& row = FRows[static_cast<std::size_t>(Index)];
    std::memcpy(Buffer, row.Data.data(), static_cast<std::size_t>(FRecordSize));
    std::memcpy(Buffer + FBookmarkOffset, &row.Bookmark, 4);
  }

  bool RowVisible(int Index) {
    if (!Filtered() && !FMasterLink.Active()) return true;
    return WithRowInFilterState(Index, [&] { return Accepts(); });
  }

  // Copies the row into the buffer and tests it against the detail link and the filter.
  bool CopyIfVisible(int Index, TRecordBuffer Buffer) {
    CopyRow(Index, Buffer);
    if (!Filtered() && !FMasterLink.Active()) return true;
    FScanBuffer = nullptr;
    if (!MatchesMaster(Buffer)) return false;
    return !Filtered() || RecordPassesFilterEvent(Buffer);
  }

  bool Accepts() { return MatchesMaster(FScanBuffer) && (!Filtered() || !OnFilterRecord() || FilterAccepts()); }

  bool FilterAccepts() {
    bool accept = true;
    OnFilterRecord()(*this, accept);
    return accept;
  }

  bool MatchesMaster(TRecordBuffer Buffer) {
    if (!FMasterLink.Active() || FMasterLink.Fields().empty() || FDetailFields.empty()) return true;
    std::vector<TField*> detail;
    GetFieldList(detail, FDetailFields);
    Byte* save = FScanBuffer;
    FScanBuffer = Buffer;
    const TDataSetState s = SetTempState(dsFilter);
    bool same = true;
    try {
      for (std::size_t i = 0; i < detail.size() && i < FMasterLink.Fields().size(); ++i)
        if (!VarSameValue(detail[i]->AsVariant(), FMasterLink.Fields()[i]->AsVariant())) same = false;
    } catch (...) {
      RestoreState(s);
      FScanBuffer = save;
      throw;
    }
    RestoreState(s);
    FScanBuffer = save;
    return same;
  }

  template <class F>
  auto WithRowInFilterState(int Index, F&& Body) -> decltype(Body()) {
    std::vector<Byte> scratch(static_cast<std::size_t>(FBufferSize));
    CopyRow(Index, scratch.data());
    Byte* save = FScanBuffer;
    FScanBuffer = scratch.data();
    const TDataSetState s = SetTempState(dsFilter);
    try {
      auto result = Body();
      RestoreState(s);
      FScanBuffer = save;
      return result;
    } catch (...) {
      RestoreState(s);
      FScanBuffer = save;
      throw;
    }
  }

  int FindRow(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
    std::vector<TLocateKey> keys;
    if (!GetLocateKeys(KeyFields, KeyValues, keys)) return -1;
    for (int i = 0; i < RowCount(); ++i) {
      const bool hit = WithRowInFilterState(i, [&] {
        if (!Accepts()) return false;
        for (const TLocateKey& key : keys) {
          const Variant have = key.Field->AsVariant();
          if ((Options & loCaseInsensitive) != 0 && VarIsStr(key.Value)) {
            if (!AnsiSameText(VarToStr(have), VarToStr(key.Value))) return false;
          } else if (!VarSameValue(have, key.Value)) {
            return false;
          }
        }
        return true;
      });
      if (hit) return i;
    }
    return -1;
  }

  void MasterChanged() {
    if (!Active()) return;
    CheckBrowseMode();
    First();
  }

  std::vector<Row> FRows;
  std::vector<TBytes> FBlobs;
  std::vector<Slot> FSlots;
  std::vector<std::unique_ptr<Byte[]>> FBufferPool;
  TMasterDataLink FMasterLink;
  String FDetailFields;
  Byte* FScanBuffer = nullptr;
  int FRecordSize = 0;
  int FBookmarkOffset = 0;
  int FBufferSize = 0;
  int FCurRec = -1;
  std::int32_t FLastBookmark = 0;
  int FSetToRecordCalls = 0;
  bool FOpen = false;
  bool FKeepOnlyLastRow = false;
  bool FCurrentIgnoresFilter = false;
};
