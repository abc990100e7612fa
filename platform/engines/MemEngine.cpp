#include "platform/engines/MemEngine.h"

#include <algorithm>
#include <cstring>

#include "platform/classes/Files.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr std::uint32_t AlignUp8(std::uint32_t Value) { return (Value + 7u) & ~7u; }

}  // namespace

// A blob stream over one blob column of one record buffer. Reading shows the blob the buffer holds;
// writing goes to a pending blob of the buffer's own (copied first for bmReadWrite), so the stored
// row is untouched until Post and Cancel simply drops the pending blob.
class TMemBlobStream : public TStream {
 public:
  TMemBlobStream(TMemEngineDataSet& DataSet, TField* Field, TRecordBuffer Buffer, std::size_t Column, TBlobStreamMode Mode)
      : FDataSet(DataSet), FField(Field), FBuffer(Buffer), FColumn(Column) {
    TRowStore& store = *DataSet.FStore;
    FOffset = store.Layout().Column(Column).Offset;
    const TBlobHandle current = TRecordLayout::IsNull(Buffer, Column) ? 0 : TRowStore::BlobHandleAt(Buffer, FOffset);
    FHandle = store.IsBlob(current) ? current : 0;
    if (Mode == bmRead) return;
    FWritable = true;
    if (!store.IsPendingFor(FHandle, Buffer)) {
      const TBlobHandle fresh = store.NewBlob(Buffer);
      if (Mode == bmReadWrite && FHandle != 0) store.Blob(fresh) = store.Blob(FHandle);
      FHandle = fresh;
      TRowStore::SetBlobHandleAt(Buffer, FOffset, FHandle);
    }
    if (Mode == bmWrite) {
      store.Blob(FHandle).clear();
      FModified = true;  // opening for writing replaces the value, even when nothing is written
    }
  }

  ~TMemBlobStream() override {
    if (!FModified) return;
    try {
      TRecordLayout::SetNull(FBuffer, FColumn, Bytes() == nullptr || Bytes()->empty());
      FDataSet.BlobWritten(FField);
    } catch (...) {
      HandleCurrentException(&FDataSet);
    }
  }

  Int64 Read(void* Buffer, Int64 Count) override {
    const std::vector<std::uint8_t>* bytes = Bytes();
    if (bytes == nullptr || Count <= 0 || FPosition >= static_cast<Int64>(bytes->size())) return 0;
    const Int64 n = std::min<Int64>(Count, static_cast<Int64>(bytes->size()) - FPosition);
    std::memcpy(Buffer, bytes->data() + FPosition, static_cast<std::size_t>(n));
    FPosition += n;
    return n;
  }

  Int64 Write(const void* Buffer, Int64 Count) override {
    if (!FWritable) throw EDatabaseError(u"The blob stream was opened for reading");
    if (Count <= 0) return 0;
    std::vector<std::uint8_t>& bytes = FDataSet.FStore->Blob(FHandle);
    const auto end = static_cast<std::size_t>(FPosition + Count);
    if (end > bytes.size()) bytes.resize(end);
    std::memcpy(bytes.data() + FPosition, Buffer, static_cast<std::size_t>(Count));
    FPosition += Count;
    FModified = true;
    return Count;
  }

  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override {
    const Int64 base = Origin == TSeekOrigin::soBeginning ? 0 : Origin == TSeekOrigin::soCurrent ? FPosition : Size();
    if (base + Offset < 0) throw EStreamError(u"Invalid blob stream position");
    FPosition = base + Offset;
    return FPosition;
  }

  Int64 Size() override {
    const std::vector<std::uint8_t>* bytes = Bytes();
    return bytes ? static_cast<Int64>(bytes->size()) : 0;
  }

  void SetSize(Int64 NewSize) override {
    if (!FWritable) throw EDatabaseError(u"The blob stream was opened for reading");
    if (NewSize < 0) throw EStreamError(u"Invalid blob stream size");
    FDataSet.FStore->Blob(FHandle).resize(static_cast<std::size_t>(NewSize));
    FPosition = std::min(FPosition, NewSize);
    FModified = true;
  }

 private:
  const std::vector<std::uint8_t>* Bytes() const {
    return FHandle != 0 && FDataSet.FStore && FDataSet.FStore->IsBlob(FHandle) ? &FDataSet.FStore->Blob(FHandle) : nullptr;
  }

  TMemEngineDataSet& FDataSet;
  TField* FField;
  TRecordBuffer FBuffer;
  std::size_t FColumn;
  std::uint32_t FOffset = 0;
  TBlobHandle FHandle = 0;
  Int64 FPosition = 0;
  bool FWritable = false;
  bool FModified = false;
};

TMemEngineDataSet::TMemEngineDataSet(TComponent* AOwner, const TDataFileMagic& Magic) : TDataSet(AOwner), FMagic(Magic) {}

TMemEngineDataSet::~TMemEngineDataSet() {
  // Closing here, while this class still exists, lets the buffers go back through our own release.
  try {
    Close();
  } catch (...) {
    HandleCurrentException(this);
  }
}

// ---- store life ----

void TMemEngineDataSet::BuildStoreFromFieldDefs() {
  if (FieldDefs().Count() == 0) DatabaseError(u"Cannot create a dataset without field definitions", this);
  std::vector<TColumnDef> columns;
  columns.reserve(static_cast<std::size_t>(FieldDefs().Count()));
  for (const auto& def : FieldDefs()) {
    TColumnStorage storage;
    std::uint32_t native = 0;
    if (!DescribeColumn(def->DataType(), def->Size(), storage, native))
      DatabaseErrorFmt(u"Field '%s' of type %s and size %d cannot be kept in memory",
                       {def->Name(), FieldTypeName(def->DataType()), def->Size()}, this);
    columns.push_back(TColumnDef{def->Name(), def->DataType(), IsBlobFieldType(def->DataType()) ? 0 : def->Size(), def->Required()});
  }
  FStore = std::make_unique<TRowStore>(TRecordLayout(std::move(columns)));
}

void TMemEngineDataSet::CreateDataSet() {
  Close();
  BuildStoreFromFieldDefs();
  Open();
}

void TMemEngineDataSet::AdoptStore(std::unique_ptr<TRowStore> Store) {
  if (!Store) DatabaseError(u"No rows to adopt", this);
  const bool was_active = Active();
  // A failed adoption reopens the old rows; the cursor then goes back to the row it stood on, so the
  // dataset is exactly as it was.
  const TBookmark keep = was_active ? GetBookmark() : TBookmark{};
  Close();
  std::unique_ptr<TRowStore> previous = std::move(FStore);
  FStore = std::move(Store);
  FieldDefs().SetUpdated(false);
  try {
    Open();
  } catch (...) {
    // The new rows do not fit the dataset (a persistent field of another type): the old rows stay.
    FStore = std::move(previous);
    FieldDefs().SetUpdated(false);
    if (was_active) {
      try {
        Open();
        if (!keep.empty() && BookmarkValid(keep)) GotoBookmark(keep);
      } catch (...) {
        HandleCurrentException(this);
      }
    }
    throw;
  }
}

void TMemEngineDataSet::EmptyDataSet() {
  RequireActive();
  if (State() == dsEdit || State() == dsInsert) Cancel();
  FStore->Clear();
  FCursor = -1;
  Resync(0);
}

// ---- cursor ----

void TMemEngineDataSet::CursorReadFieldDefs() {
  FieldDefs().Clear();
  if (!FStore) return;
  for (const TColumnDef& c : FStore->Layout().Columns()) FieldDefs().Add(c.Name, c.Type, c.Size, c.Required);
}

void TMemEngineDataSet::CursorOpen() {
  if (!FStore) BuildStoreFromFieldDefs();
  FieldDefs().SetUpdated(false);
  FieldDefs().Update();
  if (DefaultFields()) BuildDefaultFields();
  BindAllFields(true);
  const TRecordLayout& layout = FStore->Layout();
  // A field must hold its column's kind of value at its column's size, or reads and writes would cross
  // into the next value (a persistent field of another type, or a field class that names the type
  // differently, such as fixed characters read as a string field).
  for (int i = 0; i < Fields().Count(); ++i) {
    TField* f = Fields()[i];
    if (f->FieldKind() != fkData) continue;
    const int column = ColumnOf(f);
    TColumnStorage storage;
    std::uint32_t native = 0;
    const bool known = DescribeColumn(f->DataType(), f->IsBlob() ? 0 : f->Size(), storage, native);
    if (column < 0 || !known || storage != layout.Column(static_cast<std::size_t>(column)).Storage ||
        (!f->IsBlob() && static_cast<std::uint32_t>(f->DataSize()) != layout.Column(static_cast<std::size_t>(column)).NativeSize)) {
      BindAllFields(false);
      DatabaseErrorFmt(u"Field '%s' does not match the dataset's column of that name", {f->FieldName()}, this);
    }
  }
  SetBookmarkSize(sizeof(TRowBookmark));
  FCalcOffset = layout.DataSize();
  FBookmarkOffset = AlignUp8(FCalcOffset + static_cast<std::uint32_t>(CalcFieldsSize()));
  FFlagOffset = FBookmarkOffset + sizeof(TRowBookmark);
  FBufferSize = AlignUp8(FFlagOffset + 1);
  FCursor = -1;
  FCursorOpen = true;
}

void TMemEngineDataSet::CursorClose() {
  FCursorOpen = false;
  FCursor = -1;
  BindAllFields(false);
  if (DefaultFields()) DestroyFields();
}

int TMemEngineDataSet::ColumnOf(const TField* Field) const {
  if (Field == nullptr || Field->FieldKind() != fkData || !FStore) return -1;
  const int no = Field->FieldNo();
  return no >= 1 && static_cast<std::size_t>(no) <= FStore->Layout().ColumnCount() ? no - 1 : -1;
}

void TMemEngineDataSet::CopyRowToBuffer(std::size_t Index, TRecordBuffer Buffer) {
  const TRowId id = FStore->IdAt(Index);
  if (!FStore->Layout().BlobColumns().empty()) FStore->DiscardPending(Buffer);
  std::memcpy(Buffer, FStore->Data(id), FStore->Layout().DataSize());
  const TRowBookmark bookmark = FStore->BookmarkOf(id);
  std::memcpy(Buffer + FBookmarkOffset, &bookmark, sizeof bookmark);
  Buffer[FFlagOffset] = bfCurrent;
  UpdateCalculatedFields(Buffer);
}

TFetchResult TMemEngineDataSet::FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) {
  const auto count = static_cast<Int64>(FStore->Count());
  switch (Mode) {
    case fmNext:
      for (;;) {
        if (FCursor + 1 >= count) {
          FCursor = count;
          return frEOF;
        }
        ++FCursor;
        CopyRowToBuffer(static_cast<std::size_t>(FCursor), Buffer);
        if (PassesFilter(Buffer)) return frOK;
      }
    case fmPrior:
      for (;;) {
        if (FCursor <= 0) {
          FCursor = -1;
          return frBOF;
        }
        FCursor = std::min(FCursor - 1, count - 1);
        CopyRowToBuffer(static_cast<std::size_t>(FCursor), Buffer);
        if (PassesFilter(Buffer)) return frOK;
      }
    case fmCurrent:
      if (FCursor < 0) return count == 0 ? frEOF : frBOF;
      if (FCursor >= count) return frEOF;
      CopyRowToBuffer(static_cast<std::size_t>(FCursor), Buffer);
      if (PassesFilter(Buffer)) return frOK;
      if (DoCheck) DatabaseError(msg::SRecordNotFound, this);
      return frError;
  }
  return frError;
}

TRowBookmark TMemEngineDataSet::BufferBookmark(TRecordBuffer Buffer) const {
  TRowBookmark b;
  std::memcpy(&b, Buffer + FBookmarkOffset, sizeof b);
  return b;
}

void TMemEngineDataSet::CursorPost() {
  TDataSet::CursorPost();
  TRecordBuffer buffer = ActiveBuffer();
  if (State() == dsEdit) {
    if (FCursor < 0 || FCursor >= static_cast<Int64>(FStore->Count())) DatabaseError(msg::SRecordNotFound, this);
    FStore->UpdateRow(FStore->IdAt(static_cast<std::size_t>(FCursor)), buffer);
    return;
  }
  std::size_t index = FStore->Count();
  switch (ReadBookmarkFlag(buffer)) {
    case bfEOF:
      break;
    case bfBOF:
      index = 0;
      break;
    default: {
      // Before the row whose bookmark the buffer carries; a row deleted meanwhile leaves the end.
      const std::size_t at = FStore->IndexOf(BufferBookmark(buffer));
      if (at != TRowStore::npos) index = at;
      break;
    }
  }
  FStore->InsertRow(index, buffer);
  FCursor = static_cast<Int64>(index);
}

void TMemEngineDataSet::CursorDelete() {
  const auto count = static_cast<Int64>(FStore->Count());
  if (FCursor < 0 || FCursor >= count) DatabaseError(msg::SRecordNotFound, this);
  FStore->DeleteAt(static_cast<std::size_t>(FCursor));
  FCursor = std::min(FCursor, count - 2);
}

void TMemEngineDataSet::CursorCancel() {
  if (TRecordBuffer buffer = ActiveBuffer()) FStore->DiscardPending(buffer);
}

void TMemEngineDataSet::CursorGotoBookmark(TConstValueBuffer Bookmark) {
  TRowBookmark b;
  if (Bookmark.size() < sizeof b) DatabaseError(msg::SRecordNotFound, this);
  std::memcpy(&b, Bookmark.data(), sizeof b);
  const std::size_t index = FStore->IndexOf(b);
  if (index == TRowStore::npos) DatabaseError(msg::SRecordNotFound, this);
  FCursor = static_cast<Int64>(index);
}

void TMemEngineDataSet::CursorSetToRecord(TRecordBuffer Buffer) {
  CursorGotoBookmark(TConstValueBuffer(Buffer + FBookmarkOffset, sizeof(TRowBookmark)));
}

void TMemEngineDataSet::CursorInitRecord(TRecordBuffer Buffer) {
  if (!FStore->Layout().BlobColumns().empty()) FStore->DiscardPending(Buffer);
  FStore->Layout().InitRecord(Buffer);
}

// ---- buffers and bookmarks ----

TRecordBuffer TMemEngineDataSet::AllocateRecordBuffer() {
  // Freed by ReleaseRecordBuffer: the framework holds the window's buffers between the two.
  return new Byte[FBufferSize]();
}

void TMemEngineDataSet::ReleaseRecordBuffer(TRecordBuffer& Buffer) {
  if (Buffer && FStore && !FStore->Layout().BlobColumns().empty()) FStore->DiscardPending(Buffer);
  delete[] Buffer;
  Buffer = nullptr;
}

void TMemEngineDataSet::ReadBookmarkData(TRecordBuffer Buffer, TValueBuffer Data) {
  std::memcpy(Data.data(), Buffer + FBookmarkOffset, std::min(Data.size(), sizeof(TRowBookmark)));
}

void TMemEngineDataSet::WriteBookmarkData(TRecordBuffer Buffer, TConstValueBuffer Data) {
  std::memcpy(Buffer + FBookmarkOffset, Data.data(), std::min(Data.size(), sizeof(TRowBookmark)));
}

TBookmarkFlag TMemEngineDataSet::ReadBookmarkFlag(TRecordBuffer Buffer) { return static_cast<TBookmarkFlag>(Buffer[FFlagOffset]); }

void TMemEngineDataSet::WriteBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) { Buffer[FFlagOffset] = Value; }

void TMemEngineDataSet::ResetCalculatedFields(TRecordBuffer Buffer) {
  if (CalcFieldsSize() > 0) std::memset(Buffer + FCalcOffset, 0, static_cast<std::size_t>(CalcFieldsSize()));
}

bool TMemEngineDataSet::BookmarkValid(const TBookmark& Bookmark) {
  if (!FStore || Bookmark.size() != sizeof(TRowBookmark)) return false;
  TRowBookmark b;
  std::memcpy(&b, Bookmark.data(), sizeof b);
  return FStore->IsLive(b);
}

int TMemEngineDataSet::CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) {
  if (Bookmark1.empty() || Bookmark2.empty()) return Bookmark1.empty() ? (Bookmark2.empty() ? 0 : -1) : 1;
  if (!BookmarkValid(Bookmark1) || !BookmarkValid(Bookmark2)) return 2;
  TRowBookmark b1, b2;
  std::memcpy(&b1, Bookmark1.data(), sizeof b1);
  std::memcpy(&b2, Bookmark2.data(), sizeof b2);
  const std::size_t i1 = FStore->IndexOf(b1);
  const std::size_t i2 = FStore->IndexOf(b2);
  return i1 < i2 ? -1 : i1 > i2 ? 1 : 0;
}

// ---- counts and positions ----

int TMemEngineDataSet::GetRecordSize() const { return FStore ? static_cast<int>(FStore->Layout().DataSize()) : 0; }

int TMemEngineDataSet::GetRecordCount() const {
  if (!FStore) return 0;
  if (!Filtering() || !FCursorOpen) return static_cast<int>(std::min<std::size_t>(FStore->Count(), INT32_MAX));
  // Counting what the filter lets through means asking it about every row.
  auto* self = const_cast<TMemEngineDataSet*>(this);
  std::vector<Byte> scratch(FBufferSize);
  int visible = 0;
  for (std::size_t i = 0; i < FStore->Count(); ++i) {
    self->CopyRowToBuffer(i, scratch.data());
    if (self->RecordPassesFilterEvent(scratch.data())) ++visible;
  }
  return visible;
}

int TMemEngineDataSet::GetRecNo() const {
  TRecordBuffer buffer = ActiveBuffer();
  if (!FStore || buffer == nullptr || !Active() || IsEmpty() || buffer[FFlagOffset] != bfCurrent || Filtering()) return -1;
  const std::size_t index = FStore->IndexOf(BufferBookmark(buffer));
  return index == TRowStore::npos ? -1 : static_cast<int>(index) + 1;
}

void TMemEngineDataSet::SetRecNoValue(int Value) {
  CheckBrowseMode();
  if (!FStore || Filtering() || Value < 1 || static_cast<std::size_t>(Value) > FStore->Count() || Value == GetRecNo()) return;
  DoBeforeScroll();
  FCursor = Value - 1;
  Resync(rmCenter);
  DoAfterScroll();
}

// ---- field values ----

TRecordBuffer TMemEngineDataSet::StateBuffer() const {
  if (FProbeBuffer) return FProbeBuffer;
  if (State() == dsOldValue) return ActiveBuffer();
  return TDataSet::StateBuffer();
}

bool TMemEngineDataSet::GetFieldData(TField* Field, TValueBuffer Buffer) {
  TRecordBuffer record = StateBuffer();
  if (record == nullptr) return false;
  const int column = ColumnOf(Field);
  if (column < 0) return ReadCalculatedField(record + FCalcOffset, Field, Buffer);
  const auto c = static_cast<std::size_t>(column);
  if (TRecordLayout::IsNull(record, c)) return false;
  const TColumnLayout& l = FStore->Layout().Column(c);
  if (!Buffer.empty() && l.Storage != TColumnStorage::Blob)
    std::memcpy(Buffer.data(), record + l.Offset, std::min<std::size_t>(Buffer.size(), l.NativeSize));
  return true;
}

void TMemEngineDataSet::WriteFieldData(TField* Field, TConstValueBuffer Buffer) {
  TRecordBuffer record = WritableStateBuffer();
  Field->Validate(Buffer);
  const int column = ColumnOf(Field);
  if (column < 0) {
    WriteCalculatedField(record + FCalcOffset, Field, Buffer);
  } else {
    const auto c = static_cast<std::size_t>(column);
    const TColumnLayout& l = FStore->Layout().Column(c);
    if (l.Storage == TColumnStorage::Blob) DatabaseErrorFmt(u"Field '%s' takes its value through a blob stream", {Field->FieldName()}, this);
    if (Buffer.empty()) {
      TRecordLayout::SetNull(record, c, true);
      std::memset(record + l.Offset, 0, l.NativeSize);
    } else {
      const std::size_t n = std::min<std::size_t>(Buffer.size(), l.NativeSize);
      std::memcpy(record + l.Offset, Buffer.data(), n);
      if (n < l.NativeSize) std::memset(record + l.Offset + n, 0, l.NativeSize - n);
      // Texts stay terminated whatever the caller passed.
      if (l.Storage == TColumnStorage::AnsiText) record[l.Offset + l.NativeSize - 1] = 0;
      if (l.Storage == TColumnStorage::WideText) record[l.Offset + l.NativeSize - 1] = record[l.Offset + l.NativeSize - 2] = 0;
      TRecordLayout::SetNull(record, c, false);
    }
  }
  FieldDataWritten(Field);
}

std::unique_ptr<TStream> TMemEngineDataSet::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
  RequireActive();
  const int column = ColumnOf(Field);
  if (column < 0 || FStore->Layout().Column(static_cast<std::size_t>(column)).Storage != TColumnStorage::Blob)
    DatabaseErrorFmt(msg::SNotBlobField, {Field ? Field->FieldName() : String()}, this);
  if (Mode != bmRead && State() != dsEdit && State() != dsInsert) DatabaseError(msg::SNotEditing, this);
  TRecordBuffer record = StateBuffer();
  if (record == nullptr) {
    // No row: an empty stream over nothing reads as an empty value.
    return std::make_unique<TBytesStream>();
  }
  return std::make_unique<TMemBlobStream>(*this, Field, record, static_cast<std::size_t>(column), Mode);
}

void TMemEngineDataSet::BlobWritten(TField* Field) { FieldDataWritten(Field); }

// ---- saving and loading ----

void TMemEngineDataSet::SaveRowsToStream(TStream& Stream) {
  if (Active()) CheckBrowseMode();
  if (!FStore) DatabaseError(msg::SDataSetClosed, this);
  WriteDataFile(Stream, FMagic, *FStore);
}

void TMemEngineDataSet::SaveRowsToFile(const String& FileName) {
  if (Active()) CheckBrowseMode();
  if (!FStore) DatabaseError(msg::SDataSetClosed, this);
  bool written = false;
  try {
    TFileStream file(FileName, fmCreate);
    WriteDataFile(file, FMagic, *FStore);
    written = true;
  } catch (const EFCreateError&) {
    throw;  // nothing was made
  } catch (...) {
    // Half a file would fail its check on load anyway; leaving none says more plainly what happened.
    if (!written) DeleteFile(FileName);
    throw;
  }
}

void TMemEngineDataSet::LoadRowsFromStream(TStream& Stream) { AdoptStore(ReadDataFile(Stream, FMagic)); }

void TMemEngineDataSet::LoadRowsFromFile(const String& FileName) {
  TFileStream file(FileName, fmOpenRead | fmShareDenyWrite);
  AdoptStore(ReadDataFile(file, FMagic));
}

// ---- filtering and searching ----

void TMemEngineDataSet::CheckFilterExpression(bool IsFiltered, const String& Text) {
  if (IsFiltered && !Text.empty()) DatabaseError(u"Filter expressions are not supported by this dataset; use OnFilterRecord", this);
}

void TMemEngineDataSet::SetFiltered(bool Value) {
  if (Value == Filtered()) return;
  CheckFilterExpression(Value, Filter());
  if (Active()) CheckBrowseMode();
  TDataSet::SetFiltered(Value);
  if (Active()) First();
}

void TMemEngineDataSet::SetFilterText(const String& Value) {
  CheckFilterExpression(Filtered(), Value);
  TDataSet::SetFilterText(Value);
}

void TMemEngineDataSet::SetOnFilterRecord(const TFilterRecordEvent& Value) {
  if (Active()) CheckBrowseMode();
  TDataSet::SetOnFilterRecord(Value);
  if (Active() && Filtered()) First();
}

bool TMemEngineDataSet::GetCurrentRecord(TRecordBuffer Buffer) {
  TRecordBuffer active = ActiveBuffer();
  if (!FStore || Buffer == nullptr || active == nullptr || IsEmpty() || State() == dsInsert) return false;
  std::memcpy(Buffer, active, FStore->Layout().DataSize());
  return true;
}

namespace {

bool KeyMatches(const TField& Field, const Variant& Key, TLocateOptions Options) {
  if (VarIsNull(Key) || VarIsEmpty(Key)) return Field.IsNull();
  if (Field.IsNull()) return false;
  if (VarIsStr(Key) && (Options & (loCaseInsensitive | loPartialKey)) != 0) {
    String value = Field.AsString();
    String key = VarToStr(Key);
    if ((Options & loCaseInsensitive) != 0) {
      value = AnsiUpperCase(value);
      key = AnsiUpperCase(key);
    }
    if ((Options & loPartialKey) != 0) return value.compare(0, key.size(), key) == 0;
    return value == key;
  }
  try {
    return VarSameValue(Field.AsVariant(), Key);
  } catch (const EVariantError&) {
    return false;  // a key of a kind the field cannot be compared with matches nothing
  }
}

}  // namespace

std::size_t TMemEngineDataSet::FindRow(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options, std::vector<Byte>& Probe) {
  RequireActive();
  std::vector<TLocateKey> keys;
  if (!GetLocateKeys(KeyFields, KeyValues, keys)) return TRowStore::npos;
  Probe.assign(FBufferSize, 0);
  struct ProbeGuard {
    TRecordBuffer& Slot;
    ~ProbeGuard() { Slot = nullptr; }
  } guard{FProbeBuffer};
  for (std::size_t i = 0; i < FStore->Count(); ++i) {
    FProbeBuffer = nullptr;
    CopyRowToBuffer(i, Probe.data());
    if (!PassesFilter(Probe.data())) continue;
    FProbeBuffer = Probe.data();
    bool all = true;
    for (std::size_t k = 0; k < keys.size() && all; ++k) all = KeyMatches(*keys[k].Field, keys[k].Value, Options);
    if (all) return i;
  }
  return TRowStore::npos;
}

bool TMemEngineDataSet::Locate(const String& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
  CheckBrowseMode();
  std::vector<Byte> probe;
  const std::size_t index = FindRow(KeyFields, KeyValues, Options, probe);
  SetFound(index != TRowStore::npos);
  if (index == TRowStore::npos) return false;
  DoBeforeScroll();
  FCursor = static_cast<Int64>(index);
  Resync(rmExact | rmCenter);
  DoAfterScroll();
  return true;
}

Variant TMemEngineDataSet::Lookup(const String& KeyFields, const Variant& KeyValues, const String& ResultFields) {
  std::vector<Byte> probe;
  const std::size_t index = FindRow(KeyFields, KeyValues, 0, probe);
  if (index == TRowStore::npos) return Null();
  FProbeBuffer = probe.data();
  struct ProbeGuard {
    TRecordBuffer& Slot;
    ~ProbeGuard() { Slot = nullptr; }
  } guard{FProbeBuffer};
  std::vector<TField*> fields;
  GetLookupResultFields(ResultFields, fields);
  return LookupResult(fields, [](TField* f) { return f->AsVariant(); });
}
