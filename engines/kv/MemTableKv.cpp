#include "engines/kv/MemTableKv.h"

#include <cmath>
#include <cstring>
#include <algorithm>

#include "engines/kv/IndexesKv.h"
#include "engines/kv/KvValues.h"
#include "platform/classes/ClassRegistry.h"
#include "platform/classes/Files.h"
#include "platform/classes/ObjectText.h"
#include "platform/rtl/Bcd.h"
#include "platform/rtl/Extended.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {

template <class T>
void Put(TValueBuffer B, const T& v) {
  std::memcpy(B.data(), &v, std::min(sizeof(T), B.size()));
}

template <class T>
T Get(TConstValueBuffer B) {
  T v{};
  std::memcpy(&v, B.data(), std::min(sizeof(T), B.size()));
  return v;
}

[[noreturn]] void Unsupported(TField* Field) {
  DatabaseErrorFmt(u"Unsupported field type (%s) in field %s", {FieldTypeName(Field->DataType()), Field->DisplayName()});
}

bool IsEditingState(TDataSetState s) {
  return s == dsEdit || s == dsInsert || s == dsSetKey || s == dsCalcFields || s == dsFilter || s == dsNewValue ||
         s == dsInternalCalc;
}

// A stored value in the framework's native form of the field (FieldTypes.h).
void VarValueToValueBuffer(TField* Field, const Variant& Value, TValueBuffer Buffer) {
  switch (Field->DataType()) {
    case ftString: case ftFixedChar: case ftGuid: {
      AnsiString scratch;
      const AnsiString* bytes;
      if (Value.VType() == varString) {
        bytes = &Value.VAnsiString();
      } else {
        scratch = Value.AsAnsiString();
        bytes = &scratch;
      }
      const size_t size = static_cast<size_t>(Field->Size());
      const size_t n = std::min(sys::CutLength(*bytes, size), Buffer.size() ? Buffer.size() - 1 : 0);
      std::memcpy(Buffer.data(), bytes->data(), n);
      if (n < Buffer.size()) Buffer[n] = 0;
      return;
    }
    case ftWideString: case ftFixedWideChar: {
      String scratch;
      const String* text;
      if (Value.VType() == varOleStr || Value.VType() == varUString) {
        text = &Value.VUString();
      } else {
        scratch = Value.AsString();
        text = &scratch;
      }
      const size_t cap = Buffer.size() / 2;
      const size_t n = std::min({text->size(), static_cast<size_t>(Field->Size()), cap ? cap - 1 : 0});
      std::memcpy(Buffer.data(), text->data(), n * 2);
      if (cap > n) {
        Buffer[n * 2] = 0;
        Buffer[n * 2 + 1] = 0;
      }
      return;
    }
    case ftSmallint: Put(Buffer, static_cast<std::int16_t>(Value.AsInteger())); return;
    case ftWord: Put(Buffer, static_cast<std::uint16_t>(Value.AsInteger())); return;
    case ftInteger: case ftAutoInc: Put(Buffer, static_cast<std::int32_t>(Value.AsInteger())); return;
    case ftLongWord: Put(Buffer, static_cast<std::uint32_t>(Value.AsInt64())); return;
    case ftShortint: Put(Buffer, static_cast<std::int8_t>(Value.AsInteger())); return;
    case ftByte: Put(Buffer, static_cast<std::uint8_t>(Value.AsInteger())); return;
    case ftLargeint: Put(Buffer, static_cast<std::int64_t>(Value.AsInt64())); return;
    case ftBoolean: Put(Buffer, static_cast<std::uint16_t>(Value.AsBoolean() ? 1 : 0)); return;
    case ftFloat: case ftCurrency: Put(Buffer, Value.AsDouble()); return;
    case ftSingle: Put(Buffer, static_cast<float>(Value.AsDouble())); return;
    case ftExtended: Put(Buffer, DoubleToExtended(Value.AsDouble())); return;
    case ftDate: Put(Buffer, DateTimeToNativeDate(Value.AsDateTime())); return;
    case ftTime: Put(Buffer, DateTimeToNativeTime(Value.AsDateTime())); return;
    case ftDateTime: Put(Buffer, DateTimeToNativeDateTime(Value.AsDateTime())); return;
    case ftBCD: {
      TBcd bcd;
      if (!CurrToBCD(Value.AsCurrency(), bcd)) throw EBcdOverflowException(u"BCD overflow");
      Put(Buffer, bcd);
      return;
    }
    case ftFMTBcd: Put(Buffer, Value.AsBcd()); return;
    case ftTimeStamp: case ftOraTimeStamp: Put(Buffer, Value.AsSQLTimeStamp()); return;
    case ftTimeStampOffset: Put(Buffer, Value.AsSQLTimeStampOffset()); return;
    case ftBytes: case ftVarBytes: {
      std::vector<Byte> bytes;
      if (Value.VType() == varString) {
        bytes.assign(Value.VAnsiString().begin(), Value.VAnsiString().end());
      } else if (VarIsByteArray(Value)) {
        const int n = VarArrayHighBound(Value, 1) + 1;
        for (int i = 0; i < n; ++i) bytes.push_back(static_cast<Byte>(Value.GetElement(i).AsInteger()));
      }
      size_t at = 0;
      if (Field->DataType() == ftVarBytes) {
        const auto len = static_cast<std::uint16_t>(std::min<size_t>(bytes.size(), Buffer.size() >= 2 ? Buffer.size() - 2 : 0));
        Put(Buffer, len);
        at = 2;
      }
      const size_t n = std::min(bytes.size(), Buffer.size() - std::min(at, Buffer.size()));
      if (n) std::memcpy(Buffer.data() + at, bytes.data(), n);
      return;
    }
    default: Unsupported(Field);
  }
}

Variant ValueBufferToVarValue(TField* Field, TConstValueBuffer Buffer) {
  switch (Field->DataType()) {
    case ftString: case ftFixedChar: case ftGuid: {
      const char* p = reinterpret_cast<const char*>(Buffer.data());
      const size_t limit = std::min(Buffer.size(), static_cast<size_t>(Field->Size()));
      const size_t n = strnlen(p, limit);
      return VarFromAnsi(AnsiString(p, n));
    }
    case ftWideString: case ftFixedWideChar: {
      const size_t cap = std::min(Buffer.size() / 2, static_cast<size_t>(Field->Size()));
      size_t n = 0;
      while (n < cap && (Buffer[n * 2] | Buffer[n * 2 + 1]) != 0) ++n;
      String s(n, u'\0');
      if (n) std::memcpy(s.data(), Buffer.data(), n * 2);
      return VarFromOleStr(std::move(s));
    }
    case ftSmallint: return Variant(Get<std::int16_t>(Buffer));
    case ftWord: return Variant(static_cast<int>(Get<std::uint16_t>(Buffer)));
    case ftInteger: case ftAutoInc: return Variant(Get<std::int32_t>(Buffer));
    case ftLongWord: return Variant(Get<std::uint32_t>(Buffer));
    case ftShortint: return Variant(Get<std::int8_t>(Buffer));
    case ftByte: return Variant(Get<std::uint8_t>(Buffer));
    case ftLargeint: return Variant(static_cast<long long>(Get<std::int64_t>(Buffer)));
    case ftBoolean: return Variant(Get<std::uint16_t>(Buffer) != 0);
    case ftFloat: case ftCurrency: return Variant(Get<double>(Buffer));
    case ftSingle: return Variant(Get<float>(Buffer));
    case ftExtended: return Variant(ExtendedToDouble(Get<TExtended80Rec>(Buffer)));
    case ftDate: return VarFromDateTime(NativeDateToDateTime(Get<std::int32_t>(Buffer)));
    case ftTime: return VarFromDateTime(NativeTimeToDateTime(Get<std::int32_t>(Buffer)));
    case ftDateTime: return VarFromDateTime(NativeDateTimeToDateTime(Get<double>(Buffer)));
    case ftBCD: {
      Currency c;
      if (!BCDToCurr(Get<TBcd>(Buffer), c)) throw EBcdOverflowException(u"BCD overflow");
      return Variant(c);
    }
    case ftFMTBcd: return VarFMTBcdCreate(Get<TBcd>(Buffer));
    case ftTimeStamp: case ftOraTimeStamp: return VarSQLTimeStampCreate(Get<TSQLTimeStamp>(Buffer));
    case ftTimeStampOffset: return VarSQLTimeStampOffsetCreate(Get<TSQLTimeStampOffset>(Buffer));
    case ftBytes: case ftVarBytes: {
      size_t at = 0, n = Buffer.size();
      if (Field->DataType() == ftVarBytes) {
        n = std::min<size_t>(Get<std::uint16_t>(Buffer), Buffer.size() >= 2 ? Buffer.size() - 2 : 0);
        at = 2;
      }
      Variant arr = VarArrayCreate({0, static_cast<int>(n) - 1}, varByte);
      if (n) {
        std::memcpy(VarArrayLock(arr), Buffer.data() + at, n);
        VarArrayUnlock(arr);
      }
      return arr;
    }
    default: Unsupported(Field);
  }
}

}  // namespace

// ---- blob stream ---------------------------------------------------------------------------------------

TMemBlobStreamKv::TMemBlobStreamKv(TField* Field, TBlobStreamMode Mode)
    : FField(Field), FDataSet(static_cast<TCustomMemTableKv*>(Field->DataSet())) {
  FBuffer = FDataSet->GetActiveMTRecBuf(Mode != bmRead);
  if (!FBuffer) return;
  if (Mode != bmRead) {
    if (Field->ReadOnly()) DatabaseErrorFmt(msg::SFieldReadOnly, {Field->DisplayName()}, FDataSet);
    if (FDataSet->State() != dsEdit && FDataSet->State() != dsInsert) DatabaseError(msg::SNotEditing, FDataSet);
  }
  if (Mode == bmWrite) {
    FModified = true;
    return;
  }
  Variant v;
  if (!FDataSet->GetFieldValue(Field, v)) return;
  switch (v.VType()) {
    case varOleStr: case varUString: {
      const String& s = v.VUString();
      if (!s.empty()) TMemoryStream::Write(s.data(), static_cast<Int64>(s.size() * 2));
      break;
    }
    case varString: {
      const AnsiString& s = v.VAnsiString();
      if (!s.empty()) TMemoryStream::Write(s.data(), static_cast<Int64>(s.size()));
      break;
    }
    default:
      if (VarIsByteArray(v)) {
        const int n = VarArrayHighBound(v, 1) + 1;
        if (n > 0) {
          TMemoryStream::Write(VarArrayLock(v), n);
          VarArrayUnlock(v);
        }
      }
      break;
  }
  Seek(0, TSeekOrigin::soBeginning);
}

TMemBlobStreamKv::~TMemBlobStreamKv() {
  if (!FModified || !FBuffer) return;
  try {
    const auto* p = static_cast<const Byte*>(Memory());
    const size_t n = static_cast<size_t>(Size());
    Variant value;
    switch (FField->DataType()) {
      case ftWideMemo: case ftFixedWideChar: {
        // An odd byte count keeps the whole characters only.
        String s(n / 2, u'\0');
        if (n >= 2) std::memcpy(s.data(), p, (n / 2) * 2);
        value = VarFromOleStr(std::move(s));
        break;
      }
      case ftMemo: case ftFmtMemo: case ftFixedChar: case ftOraClob:
        value = VarFromAnsi(AnsiString(reinterpret_cast<const char*>(p), n));
        break;
      default: {
        Variant arr = VarArrayCreate({0, static_cast<int>(n) - 1}, varByte);
        if (n) {
          std::memcpy(VarArrayLock(arr), p, n);
          VarArrayUnlock(arr);
        }
        value = std::move(arr);
        break;
      }
    }
    FDataSet->StoreFieldValue(FField, std::move(value));
    FField->SetModified(true);
    FDataSet->DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(FField));
  } catch (...) {
    HandleCurrentException(FDataSet);
  }
}

Int64 TMemBlobStreamKv::Write(const void* Buffer, Int64 Count) {
  FModified = true;
  return TMemoryStream::Write(Buffer, Count);
}

// ---- table life ----------------------------------------------------------------------------------------

TCustomMemTableKv::TCustomMemTableKv(TComponent* AOwner) : TDataSet(AOwner) {
  FOwnMemTableData = new TMemTableDataKv(this);
  FOwnMemTableData->SetName(u"MemTableData");
  FInternMemTableData = FOwnMemTableData;
  FRecordsView = new TRecordsViewKv(this);
  FTreeList = std::make_unique<TMemTableTreeListKv>(this);
  BindView(FInternMemTableData);
  FFilterExpr = std::make_unique<TDataSetExprParserKv>(this, dsptFilterKv);
  FExtraFilters = std::make_unique<TMemTableFiltersKv>(this);
  FMasterDataLink = std::make_unique<TMasterDataLink>(this);
  FMasterDataLink->OnMasterChange = [this](TObject* Sender) { MasterChanged(Sender); };
}

TCustomMemTableKv::~TCustomMemTableKv() {
  CancelDeferredOpen();
  try {
    Close();
  } catch (...) {
    HandleCurrentException(this);
  }
  FMasterDataLink.reset();
  delete FRecordsView;
  FRecordsView = nullptr;
  if (FExternalMemData) FExternalMemData->RemoveFreeNotification(this);
  FExternalMemData = nullptr;
  FInternMemTableData = nullptr;
  delete FOwnMemTableData;
  FOwnMemTableData = nullptr;
}

void TCustomMemTableKv::BindView(TMemTableDataKv* Data) {
  // The view's lists are made by ParseSortOrder: each is the table's order-by list.
  FRecordsView->OnCompareRecords = [this](TMemoryRecordKv* a, TMemoryRecordKv* b, const TOrderByList* list) {
    return CompareMemRecords(a, b, static_cast<const TMTOrderByList*>(list));
  };
  FRecordsView->OnParseOrderByStr = [this](const String& text) { return ParseSortOrder(text); };
  FRecordsView->OnTreeNodeExpanding = [this](TMemRecViewKv* node) { return TreeListExpandedChanging(node); };
  FRecordsView->OnTreeNodeExpanded = [this](TMemRecViewKv* node) { TreeListExpandedChanged(node); };
  FRecordsView->OnViewDataEvent = [this](TMemoryRecordKv* rec, int index, TRecordsListNotification event) {
    ViewDataEvent(rec, index, event);
  };
  FRecordsView->OnViewRecordMovedEvent = [this](TMemoryRecordKv* rec, int oldIndex, int newIndex) {
    ViewRecordMoved(rec, oldIndex, newIndex);
  };
  FRecordsView->OnStructChanged = [this] { ViewStructChanged(); };
  FRecordsView->OnCalcLookupBuffer = [this](TMemoryRecordKv* rec, TMemRecViewKv* node) { CalcLookupBuffer(rec, node); };
  FRecordsView->OnDataEvent = [this](TMemoryRecordKv* rec, int, TRecordsListNotification event) {
    if (event == rlnRecDeletingKv || event == rlnListChangedKv) ReleaseGoneRecords(event == rlnRecDeletingKv ? rec : nullptr);
  };
  FRecordsView->SetDataObject(Data);
}

// ---- order, status filter and cached updates -----------------------------------------------------------

void TCustomMemTableKv::ApplySortOrder() { FRecordsView->SetSortOrder(FActive ? FSortOrder : String()); }

void TCustomMemTableKv::SetSortOrder(const String& Value) {
  if (Value == FSortOrder) return;
  if (Active()) {
    CheckBrowseMode();
    // Parsed before anything changes: a bad text keeps the order and the text as they were.
    if (!Value.empty()) ParseSortOrder(Value);
  }
  FSortOrder = Value;
  ApplySortOrder();
  RefreshRecordsView();
}

void TCustomMemTableKv::SetStatusFilter(TUpdateStatusSetKv Value) {
  if (Active()) CheckBrowseMode();
  FRecordsView->SetStatusFilter(Value);
  RefreshRecordsView();
}

int TCustomMemTableKv::ApplyUpdates(int) {
  RequireActive();
  CheckBrowseMode();
  // With a data driver the change log goes to its provider (MemTableKvDriver.cpp); without one it is
  // simply merged.
  int applied = 0;
  try {
    const TRecordsViewUpdate update(this);
    if (FDataDriver) applied = FDataDriver->ApplyUpdates(FRecordsView->MemTableData());
    else FRecordsView->MergeChangeLog();
  } catch (...) {
    Resync(0);
    throw;
  }
  UpdateCursorPos();
  Resync(0);
  return applied;
}

void TCustomMemTableKv::CancelUpdates() {
  RequireActive();
  Cancel();
  {
    const TRecordsViewUpdate update(this);
    FRecordsView->CancelUpdates();
  }
  FRecordPos = std::min(FRecordPos, FRecordsView->ViewItemsCount() - 1);
  Resync(0);
}

void TCustomMemTableKv::SetReadOnly(bool Value) {
  if (FReadOnly == Value) return;
  FReadOnly = Value;
  DispatchDataEvent(deDataSetChange, 0);
}

TMemoryRecordKv* TCustomMemTableKv::Rec() const {
  const TMTRecBuf* rb = GetActiveMTRecBuf();
  return rb ? rb->MemRec : nullptr;
}

void TCustomMemTableKv::CreateDataSet() {
  RequireInactive();
  // Persistent fields decide the structure: the definitions are made again from them.
  if (FieldCount() > 0) FieldDefs().Clear();
  PrepareFieldDefs();
  FInternMemTableData->DataStruct()->BuildStructFromFieldDefs(FieldDefs());
  MarkAutoIncrementField();
  Open();
}

void TCustomMemTableKv::ClearAllRecords() {
  FInternMemTableData->RecordsList()->Clear();
  FInternMemTableData->AutoIncrement().Reset();
  FRecordPos = -1;
}

void TCustomMemTableKv::EmptyTable() {
  if (!Active()) return;
  CheckBrowseMode();
  {
    const TRecordsViewUpdate update(this);
    ClearAllRecords();
  }
  Resync(0);
}

void TCustomMemTableKv::DestroyTable() {
  Close();
  FInternMemTableData->DestroyTable();
}

// ---- saving and loading --------------------------------------------------------------------------------

void TCustomMemTableKv::SaveToStream(TStream* Stream) {
  FInternMemTableData->SetStoreStructInStream(true);
  FInternMemTableData->SetStoreRecordsInStream(true);
  FInternMemTableData->WriteToStream(Stream);
}

void TCustomMemTableKv::GetChildren(const TGetChildProc& Proc, TComponent* Root) {
  TDataSet::GetChildren(Proc, Root);
  FInternMemTableData->SetStoreStructInStream(true);
  FInternMemTableData->SetStoreRecordsInStream(true);
  if (!FDataDriver && !FExternalMemData && !FInternMemTableData->IsEmpty()) Proc(FInternMemTableData);
}

void TCustomMemTableKv::ReadState(TReader* Reader) {
  auto previousCreate = Reader->OnCreateComponent;
  auto previousAncestor = Reader->OnAncestorNotFound;
  // The stored state replaces the table's: a stored "MemTableData" is read into the (emptied) data
  // component, whether the reader finds it by name or asks for a new one. An open table cannot take it
  // (its fields and buffers stand on the data it shows).
  RequireInactive();
  FInternMemTableData->DestroyTable();
  Reader->OnCreateComponent = [this, previousCreate](TReader* R, const TMetaClass& Class, TComponent*& Component) {
    if (Class.InheritsFrom<TMemTableDataKv>()) Component = FInternMemTableData;
    else if (previousCreate) previousCreate(R, Class, Component);
  };
  Reader->OnAncestorNotFound = [this, previousAncestor](TReader* R, const String& Name, const TMetaClass* Class,
                                                        TComponent*& Component) {
    if (SameText(Name, u"MemTableData") && R->Root()) Component = FInternMemTableData;
    else if (previousAncestor) previousAncestor(R, Name, Class, Component);
  };
  try {
    TDataSet::ReadState(Reader);
  } catch (...) {
    Reader->OnCreateComponent = previousCreate;
    Reader->OnAncestorNotFound = previousAncestor;
    throw;
  }
  Reader->OnCreateComponent = previousCreate;
  Reader->OnAncestorNotFound = previousAncestor;
}

void TCustomMemTableKv::SaveToFile(const String& FileName, TDfmStreamFormatKv Format) {
  FInternMemTableData->SetStoreStructInStream(true);
  FInternMemTableData->SetStoreRecordsInStream(true);
  // The target is replaced only by a complete file: a failed save leaves the previous one in place.
  const String temp = FileName + u".tmp";
  try {
    {
      TFileStream file(temp, fmCreate);
      if (Format == dfmTextKv) {
        SaveTextForm(&file);
      } else {
        FInternMemTableData->WriteToStream(&file);
      }
    }
    if (FileExists(FileName) && !DeleteFile(FileName)) throw EFCreateError(u"Cannot create file \"" + FileName + u"\"");
    if (!RenameFile(temp, FileName)) throw EFCreateError(u"Cannot create file \"" + FileName + u"\"");
  } catch (...) {
    DeleteFile(temp);
    throw;
  }
}

void TCustomMemTableKv::SaveTextForm(TStream* Stream) {
  // The structure goes through the binary form and its conversion; the values, the bulk of the text,
  // are written as text straight from the records (the same bytes the conversion would give them). The
  // records list is the root's last child, with "Data" its only property: the values go in just before
  // its "end".
  TRecordsListKv* list = FInternMemTableData->RecordsList();
  TMemoryStream binary;
  list->SetDataInStream(list->Count() == 0);
  try {
    FInternMemTableData->WriteToStream(&binary);
  } catch (...) {
    list->SetDataInStream(true);
    throw;
  }
  list->SetDataInStream(true);
  binary.SetPosition(0);
  if (list->Count() == 0) return ComponentBinaryToText(&binary, Stream);
  TMemoryStream head;
  ComponentBinaryToText(&binary, &head);
  static constexpr std::string_view kListEnd = "  object RecordsList: TRecordsListKv\r\n  end\r\nend\r\n";
  const std::string_view text(static_cast<const char*>(head.Memory()), static_cast<size_t>(head.Size()));
  if (!text.ends_with(kListEnd)) {
    // Not the layout above: the whole text by conversion.
    binary.SetSize(0);
    FInternMemTableData->WriteToStream(&binary);
    binary.SetPosition(0);
    return ComponentBinaryToText(&binary, Stream);
  }
  const size_t valuesAt = text.size() - kListEnd.size() + kListEnd.find("  end");
  Stream->WriteBuffer(text.data(), static_cast<Int64>(valuesAt));
  static constexpr std::string_view kData = "    Data = ";
  Stream->WriteBuffer(kData.data(), static_cast<Int64>(kData.size()));
  list->WriteDataText(Stream, 2);
  Stream->WriteBuffer(objtext::kLineBreak.data(), static_cast<Int64>(objtext::kLineBreak.size()));
  Stream->WriteBuffer(text.data() + valuesAt, static_cast<Int64>(text.size() - valuesAt));
}

void TCustomMemTableKv::LoadStaged(std::unique_ptr<TMemTableDataKv> Staged) {
  // A stream without a structure (another class's root, or nothing in it) is not a table, nor is one
  // whose fields could not be shown.
  const TMTDataStructKv* s = Staged->DataStruct();
  if (s->Count() == 0) throw EReadError(u"Invalid stream format");
  for (int i = 0; i < s->Count(); ++i) {
    const TMTDataFieldKv* f = s->DataFields(i);
    if (f->FieldName().empty()) throw EReadError(u"Invalid property value");
    for (int j = 0; j < i; ++j)
      if (AnsiSameText(s->DataFields(j)->FieldName(), f->FieldName())) throw EReadError(u"Invalid property value");
    if (IsStringFieldType(f->DataType()) && f->Size() <= 0) throw EReadError(u"Invalid property value");
  }
  const bool wasActive = Active();
  TBookmark where;
  if (wasActive) {
    CheckBrowseMode();
    where = GetBookmark();
    Close();
  }
  FInternMemTableData->SwapContents(*Staged);
  FRecordPos = -1;
  if (!wasActive) return;
  try {
    Open();
  } catch (...) {
    // The loaded data cannot be shown: the table goes back to what it held, on the row it stood on.
    FInternMemTableData->SwapContents(*Staged);
    Open();
    if (!where.empty() && BookmarkValid(where)) GotoBookmark(where);
    throw;
  }
}

void TCustomMemTableKv::LoadFromStream(TStream* Stream) {
  auto staged = std::make_unique<TMemTableDataKv>(nullptr);
  staged->ReadFromStream(Stream);
  LoadStaged(std::move(staged));
}

std::unique_ptr<TMemTableDataKv> TCustomMemTableKv::LoadTextForm(TStream* Stream) {
  // Text as SaveTextForm writes it: the structure goes through the conversion, the values are read
  // straight from the text, a piece at a time. Anything else (or anything wrong) answers nil, and the
  // caller converts the whole text, which reads what this reads and refuses what it refuses.
  TTextSourceKv source(Stream);
  // The first one: the structure comes before the values (a look-alike inside a text of the structure
  // leaves a head that does not convert, and the whole text is converted instead).
  static constexpr std::string_view kList = "object RecordsList: TRecordsListKv";
  size_t list = std::string_view::npos;
  for (size_t from = 0;;) {
    list = source.Text().find(kList, from);
    if (list != std::string_view::npos) break;
    from = source.Text().size() - std::min(source.Text().size(), kList.size() - 1);
    if (!source.More()) return nullptr;
  }
  static constexpr std::string_view kData = "Data = ";
  size_t pos = list + kList.size();
  for (;;) {
    const std::string_view text = source.Text();
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\r' || text[pos] == '\n')) ++pos;
    if (pos + kData.size() <= text.size() || !source.More()) break;
  }
  const size_t dataAt = pos;
  if (source.Text().substr(pos, kData.size()) != kData) return nullptr;
  pos += kData.size();
  try {
    std::string head(source.Text().substr(0, dataAt));
    head += "end\r\nend\r\n";
    TMemoryStream headText;
    headText.WriteBuffer(head.data(), static_cast<Int64>(head.size()));
    headText.SetPosition(0);
    TMemoryStream binary;
    ComponentTextToBinary(&headText, &binary);
    binary.SetPosition(0);
    auto staged = std::make_unique<TMemTableDataKv>(nullptr);
    staged->ReadFromStream(&binary);
    TRecordsListKv* records = staged->RecordsList();
    if (records->Count() != 0 || !records->ReadDataText(source, pos)) return nullptr;
    // What follows the values is read whole (the two closing "end"s, or text that is not the form).
    while (!source.AtEnd()) {
      source.More(pos);
      pos = 0;
    }
    if (!TRecordsListKv::IsDataTextEnd(source.Text(), pos)) return nullptr;
    return staged;
  } catch (const Exception&) {
    return nullptr;
  }
}

void TCustomMemTableKv::LoadFromFile(const String& FileName) {
  TFileStream file(FileName, fmOpenRead | fmShareDenyWrite);
  switch (DetectComponentStreamFormat(&file)) {
    case TStreamOriginalFormat::sofText:
    case TStreamOriginalFormat::sofUTF8Text: {
      const Int64 start = file.Position();
      if (auto staged = LoadTextForm(&file)) return LoadStaged(std::move(staged));
      file.SetPosition(start);
      // The whole text is converted before anything is read (the conversion reads the file in one go).
      TMemoryStream binary;
      ComponentTextToBinary(&file, &binary);
      binary.SetPosition(0);
      LoadFromStream(&binary);
      return;
    }
    case TStreamOriginalFormat::sofBinary: LoadFromStream(&file); return;
    default: throw Exception(u"Invalid stream format.");
  }
}

// ---- cursor --------------------------------------------------------------------------------------------

void TCustomMemTableKv::CursorReadFieldDefs() { FInternMemTableData->DataStruct()->BuildFieldDefsFromStruct(FieldDefs()); }

void TCustomMemTableKv::CursorOpen() {
  if (FDataDriver) OpenFromDriver();
  if (FInternMemTableData->IsEmpty()) DatabaseError(u"MemTable doesn't have data.", this);
  SetBookmarkSize(sizeof(TBookmarkDataKv));
  FieldDefs().SetUpdated(false);
  FieldDefs().Update();
  if (DefaultFields()) BuildDefaultFields();
  BindAllFields(true);
  if (FieldCount() == 0) throw EDatabaseError(u"No fields defined. Cannot create dataset.");
  SyncLookupBufferOrder();
  UpdateLookupValueFields();
  // A data field's FieldNo - 1 is its value's position in every record.
  const TMTDataStructKv* s = FInternMemTableData->DataStruct();
  FDataFields.assign(static_cast<size_t>(s->Count()), nullptr);
  for (TField* f : Fields()) {
    if (f->FieldKind() != fkData && f->FieldKind() != fkInternalCalc) continue;
    const int i = s->FieldIndex(f->FieldName());
    if (i < 0) continue;
    f->SetFieldNo(i + 1);
    FDataFields[static_cast<size_t>(i)] = f;
  }
  BuildIndexesFromIndexDefs();
  FRecBufSize = -1;
  FRecordPos = -1;
  FActive = true;
  DropDetailRows();
  try {
    UpdateFilterExpr();
    FExtraFilters->RecreateFilterExpr();
    UpdateDetailMode(false);
    // The tree's node states follow the filters now in force.
    if (FRecordsView->ViewAsTreeList()) FRecordsView->RefreshFilteredRecsList();
  } catch (...) {
    CursorClose();
    throw;
  }
  ApplySortOrder();
  WireInternalCalc(true);
}

void TCustomMemTableKv::BuildIndexesFromIndexDefs() {
  TMTIndexesKv* indexes = FInternMemTableData->RecordsList()->Indexes();
  // The indexes of earlier definitions give way to the current ones; indexes added by hand stay.
  for (int i = indexes->Count() - 1; i >= 0; --i)
    if (indexes->GetItem(i)->FromIndexDefs) indexes->Delete(i);
  for (int i = 0; i < IndexDefs().Count(); ++i) {
    const TIndexDef* def = IndexDefs().Items(i);
    TMTIndexKv* index = indexes->Add();
    index->FromIndexDefs = true;
    index->SetUnical((def->Options() & ixUnique) != 0);
    index->SetPrimary((def->Options() & ixPrimary) != 0);
    index->SetActive(true);
    index->SetFields(def->Fields());
  }
  for (int i = 0; i < indexes->Count(); ++i) indexes->GetItem(i)->SetActive(true);
}

void TCustomMemTableKv::RefreshIndexDefs() {
  if (HasState(csDesigning) && IndexDefs().Count() > 0) return;
  if (!Active() || IndexDefs().Updated()) return;
  FieldDefs().Update();
  IndexDefs().Clear();
  IndexDefs().SetUpdated(true);
}

void TCustomMemTableKv::CursorClose() {
  WireInternalCalc(false);
  FActive = false;
  DropDetailRows();
  while (!FInstantBuffers.empty()) InstantReadLeave();
  FStateInsert = false;
  FStateInsertRowNum = -1;
  if (FDataDriver) FDataDriver->ConsumerClosed(this);
  ApplySortOrder();
  FFilterExpr->Clear();
  FExtraFilters->RecreateFilterExpr();
  FMasterValList.Clear();
  FDetailFieldList.clear();
  FDetailDataIndexes.clear();
  FDataFields.clear();
  FLookupValueFields.clear();
  BindAllFields(false);
  if (DefaultFields()) DestroyFields();
}

size_t TCustomMemTableKv::SlotOf(const TField* Field) const {
  const int no = Field->FieldNo();
  if (no > 0 && static_cast<size_t>(no) <= FDataFields.size() && FDataFields[static_cast<size_t>(no - 1)] == Field)
    return static_cast<size_t>(no - 1);
  // Calculated and lookup fields after the data fields, in field order.
  size_t slot = FDataFields.size();
  for (const TField* f : Fields()) {
    if (f == Field) return slot;
    const int n = f->FieldNo();
    if (!(n > 0 && static_cast<size_t>(n) <= FDataFields.size() && FDataFields[static_cast<size_t>(n - 1)] == f)) ++slot;
  }
  return slot;
}

Variant TCustomMemTableKv::BufValue(const TMTRecBuf* RecBuf, TField* Field) const {
  const size_t slot = SlotOf(Field);
  if (slot < FDataFields.size() && RecBuf->UseMemRec && RecBuf->MemRec)
    return RecBuf->MemRec->Value(static_cast<int>(slot));
  return slot < RecBuf->Values.size() ? RecBuf->Values[slot] : Null();
}

void TCustomMemTableKv::BufSetValue(TMTRecBuf* RecBuf, TField* Field, Variant Value) {
  const size_t slot = SlotOf(Field);
  if (slot < FDataFields.size() && RecBuf->UseMemRec) {
    // Copy on first write: from now on the buffer holds the row and the record waits for Post.
    if (RecBuf->MemRec)
      for (size_t i = 0; i < FDataFields.size(); ++i) RecBuf->Values[i] = RecBuf->MemRec->Value(static_cast<int>(i));
    RecBuf->UseMemRec = false;
  }
  if (slot >= RecBuf->Values.size()) RecBuf->Values.resize(slot + 1);
  // A kept value written on a row read from its record goes to the row's node at once.
  if (RecBuf->UseMemRec && RecBuf->MemRec && KeepsLookupValue(Field))
    if (TMemRecViewKv* node = NodeOfBuf(RecBuf)) {
      const auto index = static_cast<size_t>(Field->Index());
      if (node->LookupBuffer.size() <= index) node->SetLookupBufferLength(FieldCount());
      node->LookupBuffer[index] = Value;
    }
  RecBuf->Values[slot] = std::move(Value);
}

TMTRecBuf* TCustomMemTableKv::GetActiveMTRecBuf(bool IgnoreInstantRead) const {
  TRecordBuffer b = nullptr;
  const TDataSetState state = State();
  if (!IgnoreInstantRead && !FInstantBuffers.empty() && (state == dsBrowse || state == dsEdit || state == dsInsert))
    return Buf(FInstantBuffers.back());
  switch (state) {
    case dsBrowse:
      if (ActiveRecord() < BufferedRecordCount()) b = ActiveBuffer();
      break;
    case dsEdit: case dsInsert: case dsNewValue: b = ActiveBuffer(); break;
    case dsCalcFields: case dsInternalCalc: b = CalcBuffer(); break;
    case dsFilter:
      if (FScanning) return &FScanBuf;
      b = FilterBuffer() ? FilterBuffer() : SpareBuffer();
      break;
    case dsOldValue: case dsCurValue: {
      TRecordBuffer a = ActiveBuffer();
      if (a && Buf(a)->BookmarkFlag != bfBOF && Buf(a)->BookmarkFlag != bfEOF && Buf(a)->BookmarkFlag != bfInserted)
        b = a;
      break;
    }
    default: break;
  }
  return b ? Buf(b) : nullptr;
}

void TCustomMemTableKv::LoadRecBuf(TMemoryRecordKv* MemRec, int RowNum, TMTRecBuf* RecBuf) {
  RecBuf->RecordNumber = RowNum;
  RecBuf->BookmarkFlag = bfCurrent;
  RecBuf->MemRec = MemRec;
  RecBuf->BookmarkData = {MemRec->HashCode(), RowNum};
  RecBuf->UseMemRec = true;
  RecBuf->RecView = FRecordsView->ViewAsTreeList() ? NodeOfBuf(RecBuf) : nullptr;
  if (!FLookupValueFields.empty()) SeedLookupValues(RecBuf);
  UpdateCalculatedFields(reinterpret_cast<TRecordBuffer>(RecBuf));
}

bool TCustomMemTableKv::RowPasses(int Row, TMTRecBuf* Buffer) {
  TMemoryRecordKv* rec = FRecordsView->GetRec(Row);
  if (FilterActive() && !RecordPassesFilters(rec)) return false;
  LoadRecBuf(rec, Row, Buffer);
  return true;
}

TFetchResult TCustomMemTableKv::FetchRecord(TRecordBuffer Buffer, TFetchMode Mode, bool DoCheck) {
  int n = FRecordsView->ViewItemsCount();
  TMTRecBuf* rb = Buf(Buffer);
  switch (Mode) {
    case fmCurrent:
      if (FRecordPos < 0 || FRecordPos >= n || !RowPasses(FRecordPos, rb)) {
        if (DoCheck) DatabaseError(u"No data found", this);
        return frError;
      }
      return frOK;
    case fmNext: {
      int i = NextCandidateRow(std::max(FRecordPos + 1, 0));
      while (i < n && !RowPasses(i, rb)) i = NextCandidateRow(i + 1);
      // Past the rows read so far, a data driver is asked for more, one at a time.
      while (i >= n && FDataDriver && ReadFromDriver(1) > 0) {
        i = NextCandidateRow(std::max({FRecordPos + 1, 0, n}));
        n = FRecordsView->ViewItemsCount();
        while (i < n && !RowPasses(i, rb)) i = NextCandidateRow(i + 1);
      }
      if (i >= n) {
        FRecordPos = n;
        return frEOF;
      }
      FRecordPos = i;
      return frOK;
    }
    case fmPrior: {
      int i = PriorCandidateRow(std::min(FRecordPos, n) - 1);
      while (i >= 0 && !RowPasses(i, rb)) i = PriorCandidateRow(i - 1);
      if (i < 0) {
        FRecordPos = -1;
        return frBOF;
      }
      FRecordPos = i;
      return frOK;
    }
  }
  return frError;
}

void TCustomMemTableKv::RecBufToMemRecord(TMTRecBuf* RecBuf, TMemoryRecordKv* MemRec) {
  if (State() == dsFilter) DatabaseError(msg::SNotEditing, this);
  if (RecBuf->UseMemRec && RecBuf->MemRec == MemRec) return;
  const TMTDataStructKv* s = FInternMemTableData->DataStruct();
  const bool fromRecord = RecBuf->UseMemRec && RecBuf->MemRec;
  for (size_t i = 0; i < FDataFields.size() && i < static_cast<size_t>(MemRec->ValueCount()); ++i) {
    const int field = static_cast<int>(i);
    if (fromRecord) {
      MemRec->SetDataValue(field, dvvValueKv, RecBuf->MemRec->Value(field));
      continue;
    }
    const Variant& v = RecBuf->Values[i];
    if (v.VType() == s->DataFields(field)->VarDataType()) MemRec->StoreValue(field, v);
    else MemRec->SetDataValue(field, dvvValueKv, v);
  }
}

void TCustomMemTableKv::CursorPost() {
  TDataSet::CursorPost();
  if (State() == dsEdit) {
    TMemoryRecordKv* rec = FRecordsView->GetRec(FRecordPos);
    rec->Edit();
    try {
      RecBufToMemRecord(Buf(ActiveBuffer()), rec);
      rec->Post();
    } catch (...) {
      // The store keeps what it had; the buffer keeps the user's values for another try.
      if (rec->EditState() == resEditKv) rec->Cancel();
      throw;
    }
    FRecordPos = FRecordsView->IndexOfRec(rec);
    if (FRecordPos >= 0) StoreLookupValues(Buf(ActiveBuffer()), NodeOfBuf(Buf(ActiveBuffer())));
    return;
  }
  CursorAddRecord(ActiveBuffer(), ReadBookmarkFlag(ActiveBuffer()) == bfEOF);
  // A new row's node takes the state given while it had none.
  const TMTRecBuf* rb = Buf(ActiveBuffer());
  if (FRecordPos >= 0 && FRecordsView->ViewAsTreeList())
    if (TMemRecViewKv* node = Tree()->GetNode(nullptr, FRecordsView->GetRec(FRecordPos))) {
      StoreLookupValues(rb, node);
      if (rb->NewTreeNodeHasChildren) node->SetHasVisibleChildren(true);
      if (rb->NewTreeNodeExpanded) {
        node->SetExpanded(true);
        FRecordPos = FRecordsView->IndexOfRec(node->Rec());
      }
    }
}

void TCustomMemTableKv::CursorAddRecord(TRecordBuffer Buffer, bool Append) {
  TMemoryRecordKv* rec = FRecordsView->NewRecord();
  try {
    RecBufToMemRecord(Buf(Buffer), rec);
    if (Append) FRecordsView->AddRecord(rec);
    else FRecordsView->InsertRecord(FRecordPos < 0 ? 0 : FRecordPos, rec);
  } catch (...) {
    // Only a record that never joined the list is ours to free.
    if (!rec->Attached()) FRecordsView->List()->FreeRecord(rec);
    throw;
  }
  FRecordPos = FRecordsView->IndexOfRec(rec);
}

void TCustomMemTableKv::CursorDelete() {
  const int n = FRecordsView->ViewItemsCount();
  if (FRecordPos < 0 || FRecordPos >= n) return;
  const TRecordsViewUpdate update(this);
  FRecordsView->DeleteRecord(FRecordPos);
  if (FRecordPos >= FRecordsView->ViewItemsCount()) FRecordPos = FRecordsView->ViewItemsCount() - 1;
}

void TCustomMemTableKv::CursorEdit() {
  if (TRecordBuffer a = ActiveBuffer()) Buf(a)->NeedUpdateCalcFields = true;
}

void TCustomMemTableKv::CursorCancel() {
  if (State() == dsEdit)
    if (TRecordBuffer a = ActiveBuffer()) Buf(a)->UseMemRec = Buf(a)->MemRec != nullptr;
}

int TCustomMemTableKv::RowOfBookmark(const TBookmarkDataKv& Bookmark) const {
  const TRecordsListKv* list = FRecordsView->List();
  if (!list) return -1;
  const TMemoryRecordKv* rec = list->RecordBySerial(Bookmark.Serial);
  return rec ? FRecordsView->IndexOfRec(rec) : -1;
}

void TCustomMemTableKv::CursorGotoBookmark(TConstValueBuffer Bookmark) {
  if (Bookmark.size() < sizeof(TBookmarkDataKv)) DatabaseError(msg::SRecordNotFound, this);
  const int row = RowOfBookmark(Get<TBookmarkDataKv>(Bookmark));
  if (row < 0) DatabaseError(msg::SRecordNotFound, this);
  FRecordPos = row;
}

void TCustomMemTableKv::CursorSetToRecord(TRecordBuffer Buffer) {
  const int row = RowOfBookmark(Buf(Buffer)->BookmarkData);
  if (row < 0) DatabaseError(msg::SRecordNotFound, this);
  FRecordPos = row;
}

void TCustomMemTableKv::CursorInitRecord(TRecordBuffer Buffer) {
  TMTRecBuf* rb = Buf(Buffer);
  rb->Clear();
  rb->MemRec = nullptr;
  rb->UseMemRec = false;
}

TRecordBuffer TCustomMemTableKv::AllocateRecordBuffer() {
  TMTRecBuf* rb = nullptr;
  for (auto& e : FRecordCache)
    if (!e->InUse) {
      rb = e.get();
      break;
    }
  if (!rb) {
    FRecordCache.push_back(std::make_unique<TMTRecBuf>());
    rb = FRecordCache.back().get();
  }
  rb->InUse = true;
  rb->RecordNumber = -2;
  rb->SetLength(static_cast<size_t>(FieldCount()) + FDataFields.size());
  return reinterpret_cast<TRecordBuffer>(rb);
}

void TCustomMemTableKv::ReleaseRecordBuffer(TRecordBuffer& Buffer) {
  if (TMTRecBuf* rb = Buf(Buffer)) {
    rb->InUse = false;
    rb->RecordNumber = -1;
    rb->Clear();
    rb->MemRec = nullptr;
    rb->UseMemRec = false;
  }
  Buffer = nullptr;
}

void TCustomMemTableKv::ReadBookmarkData(TRecordBuffer Buffer, TValueBuffer Data) {
  std::memcpy(Data.data(), &Buf(Buffer)->BookmarkData, std::min(Data.size(), sizeof(TBookmarkDataKv)));
}

void TCustomMemTableKv::WriteBookmarkData(TRecordBuffer Buffer, TConstValueBuffer Data) {
  std::memcpy(&Buf(Buffer)->BookmarkData, Data.data(), std::min(Data.size(), sizeof(TBookmarkDataKv)));
}

TBookmarkFlag TCustomMemTableKv::ReadBookmarkFlag(TRecordBuffer Buffer) { return Buf(Buffer)->BookmarkFlag; }
void TCustomMemTableKv::WriteBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) { Buf(Buffer)->BookmarkFlag = Value; }

void TCustomMemTableKv::PrepareNewRecord(TRecordBuffer Buffer) {
  TDataSet::PrepareNewRecord(Buffer);
  TMTRecBuf* rb = Buf(Buffer);
  rb->BookmarkData = {0, -1};
  rb->BookmarkFlag = bfInserted;
  rb->RecordNumber = -1;
  rb->RecView = nullptr;
  rb->NewTreeNodeExpanded = FRecordsView->DefaultNodeExpanded();
  rb->NewTreeNodeHasChildren = FRecordsView->DefaultNodeHasChildren();
}

int TCustomMemTableKv::GetRecordCount() const {
  RequireActive();
  const int n = FRecordsView->ViewItemsCount();
  if (!FilterActive()) return n;
  auto* self = const_cast<TCustomMemTableKv*>(this);
  int count = 0;
  for (int i = self->NextCandidateRow(0); i < n; i = self->NextCandidateRow(i + 1))
    if (self->RecordPassesFilters(FRecordsView->GetRec(i))) ++count;
  return count;
}

int TCustomMemTableKv::GetRecNo() const {
  RequireActive();
  const TMTRecBuf* rb = GetActiveMTRecBuf();
  if (!rb) return -1;
  if (!FilterActive() || rb->RecordNumber < 0) return rb->RecordNumber + 1;
  auto* self = const_cast<TCustomMemTableKv*>(this);
  int visible = 0;
  const int n = FRecordsView->ViewItemsCount();
  for (int i = self->NextCandidateRow(0); i <= rb->RecordNumber && i < n; i = self->NextCandidateRow(i + 1))
    if (self->RecordPassesFilters(FRecordsView->GetRec(i))) ++visible;
  return visible;
}

void TCustomMemTableKv::SetRecNoValue(int Value) {
  CheckBrowseMode();
  if (Value < 1) return;
  int row = Value - 1;
  if (FilterActive()) {
    row = -1;
    const int n = FRecordsView->ViewItemsCount();
    for (int i = NextCandidateRow(0), seen = 0; i < n; i = NextCandidateRow(i + 1))
      if (RecordPassesFilters(FRecordsView->GetRec(i)) && ++seen == Value) {
        row = i;
        break;
      }
  }
  if (row < 0 || row >= FRecordsView->ViewItemsCount()) return;
  if (BufferedRecordCount() > 0) UpdateCursorPos();
  if (row == FRecordPos) return;
  DoBeforeScroll();
  FRecordPos = row;
  Resync(rmCenter);
  DoAfterScroll();
}

bool TCustomMemTableKv::BookmarkValid(const TBookmark& Bookmark) {
  return Active() && Bookmark.size() == sizeof(TBookmarkDataKv) &&
         RowOfBookmark(Get<TBookmarkDataKv>(TConstValueBuffer(Bookmark))) >= 0;
}

int TCustomMemTableKv::CompareBookmarks(const TBookmark& B1, const TBookmark& B2) {
  if (B1.size() != sizeof(TBookmarkDataKv) || B2.size() != sizeof(TBookmarkDataKv))
    return TDataSet::CompareBookmarks(B1, B2);
  const int a = RowOfBookmark(Get<TBookmarkDataKv>(TConstValueBuffer(B1)));
  const int b = RowOfBookmark(Get<TBookmarkDataKv>(TConstValueBuffer(B2)));
  return a < b ? -1 : (a > b ? 1 : 0);
}

TUpdateStatus TCustomMemTableKv::UpdateStatus() const {
  RequireActive();
  const TMTRecBuf* rb = GetActiveMTRecBuf();
  return rb && rb->MemRec ? rb->MemRec->UpdateStatus() : usUnmodified;
}

// ---- field values --------------------------------------------------------------------------------------

bool TCustomMemTableKv::GetFieldValue(TField* Field, Variant& Value) {
  Value = Null();
  const TMTRecBuf* rb = GetActiveMTRecBuf();
  if (!rb) return false;
  Variant v = BufValue(rb, Field);
  if (v.IsNull()) return false;
  Value = std::move(v);
  return true;
}

bool TCustomMemTableKv::GetFieldData(TField* Field, TValueBuffer Buffer) {
  const TMTRecBuf* rb = GetActiveMTRecBuf();
  if (!rb) return false;
  const Variant v = State() == dsOldValue && rb->MemRec && rb->MemRec->HasOldData() && SlotOf(Field) < FDataFields.size()
                        ? rb->MemRec->GetDataValue(static_cast<int>(SlotOf(Field)), dvvOldValueKv)
                        : BufValue(rb, Field);
  if (v.IsNull() || v.IsEmpty()) return false;
  if (!Buffer.empty()) VarValueToValueBuffer(Field, v, Buffer);
  return true;
}

void TCustomMemTableKv::CheckFieldDataVarValue(TField* Field, Variant& VarValue) {
  if (VarValue.IsNull() || VarValue.IsEmpty() || Field->DataType() != ftBCD) return;
  const auto* bcd = dynamic_cast<const TBCDField*>(Field);
  const int p = bcd ? bcd->Precision() : 0;
  if (p <= 0) return;
  const int s = Field->Size();
  Currency c = VarValue.AsCurrency();
  if (s < 4) {
    // Round first (ties to even, in currency arithmetic), then check the rounded value.
    const Int64 unit = static_cast<Int64>(std::pow(10, 4 - s));
    Int64 q = c.Scaled / unit, r = c.Scaled % unit;
    const Int64 half = unit / 2;
    const Int64 ar = r < 0 ? -r : r;
    if (ar > half || (ar == half && (q % 2 != 0))) q += c.Scaled < 0 ? -1 : 1;
    c = Currency::FromScaled(q * unit);
  }
  const double limit = std::pow(10.0, p - s);
  const double magnitude = std::fabs(static_cast<double>(c.Scaled) / 10000.0);
  if (magnitude >= limit) throw EBcdOverflowException(u"BCD overflow");
  VarValue = Variant(c);
}

void TCustomMemTableKv::WriteFieldData(TField* Field, TConstValueBuffer Buffer) {
  const TDataSetState s = State();
  const bool calc = Field->FieldKind() == fkCalculated || Field->FieldKind() == fkLookup;
  if (!calc && !IsEditingState(s)) DatabaseError(msg::SNotEditing, this);
  if ((Field->FieldKind() == fkData || Field->FieldKind() == fkInternalCalc) && Field->ReadOnly() && s != dsSetKey &&
      s != dsFilter)
    DatabaseErrorFmt(msg::SFieldReadOnly, {Field->DisplayName()});
  TMTRecBuf* rb = GetActiveMTRecBuf(true);
  if (!rb) return;
  Field->Validate(Buffer);
  Variant value = Buffer.empty() ? Null() : ValueBufferToVarValue(Field, Buffer);
  CheckFieldDataVarValue(Field, value);
  BufSetValue(rb, Field, std::move(value));
  if (s != dsCalcFields && s != dsFilter && s != dsNewValue && s != dsInternalCalc)
    DispatchDataEvent(deFieldChange, reinterpret_cast<std::intptr_t>(Field));
}

void TCustomMemTableKv::StoreFieldValue(TField* Field, Variant Value) {
  TMTRecBuf* rb = GetActiveMTRecBuf(true);
  if (!rb) return;
  BufSetValue(rb, Field, std::move(Value));
}

std::unique_ptr<TStream> TCustomMemTableKv::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
  if (!Field->IsBlob()) DatabaseErrorFmt(msg::SNotBlobField, {Field->DisplayName()}, this);
  return std::make_unique<TMemBlobStreamKv>(Field, Mode);
}
