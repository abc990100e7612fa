// Moving data between the table and other datasets or files: CopyRecords (any two datasets of the
// platform), loading from and saving to another dataset, updating another dataset by key, creating the
// table with another dataset's structure, copying field properties, persistence across activations,
// and the table as text (CommaText) or as one byte-array value (AllData).
#include <algorithm>

#include "engines/vlx/vlxStreamFormat.h"
#include "platform/classes/Files.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

namespace {
constexpr char16_t SAppendAndStructure[] = u"Cannot both append and copy structure.";
constexpr char16_t SPersistentRename[] = u"Cannot rename %s to %s";
constexpr char16_t SPersistentBackupName[] = u"The backup file name equals the file name: %s";
constexpr char16_t SCommaTextChar[] = u"CommaText holds a character that is not a byte: %d";

bool IsWideText(TFieldType T) { return T == ftWideString || T == ftFixedWideChar || T == ftWideMemo; }
bool IsNarrowText(TFieldType T) { return T == ftString || T == ftFixedChar; }

// Mapping text: "Dest=Source;Dest2=Source2".
String MappedSourceName(const String& Mapping, const String& DestName) {
  std::size_t pos = 0;
  while (pos < Mapping.size()) {
    std::size_t end = Mapping.find(u';', pos);
    if (end == String::npos) end = Mapping.size();
    const std::u16string_view pair(Mapping.data() + pos, end - pos);
    pos = end + 1;
    const std::size_t eq = pair.find(u'=');
    if (eq == std::u16string_view::npos) continue;
    if (SameText(String(pair.substr(0, eq)), DestName)) return String(pair.substr(eq + 1));
  }
  return DestName;
}

// Source field index per destination field: -2 lookup, -1 not copied.
std::vector<int> SourceIndexes(TDataSet* Source, TDataSet* Destination, const String& Mapping, bool AutoIncRule) {
  const bool destHasRecords = AutoIncRule && Destination->Active() && !Destination->IsEmpty();
  std::vector<int> map(static_cast<std::size_t>(Destination->Fields().Count()), -1);
  for (int i = 0; i < Destination->Fields().Count(); ++i) {
    TField* d = Destination->Fields()[i];
    int& m = map[static_cast<std::size_t>(i)];
    if (d->FieldKind() == fkLookup) {
      m = -2;
      continue;
    }
    if (d->FieldKind() == fkAggregate || !TvlxCommon::IsSupportedType(d->DataType())) continue;
    if (d->DataType() == ftAutoInc && destHasRecords) continue;
    TField* s = Source->FindField(MappedSourceName(Mapping, d->FieldName()));
    if (s != nullptr) m = s->Index();
  }
  return map;
}

void CopyFieldValue(TField* S, TField* D, bool WideStringAsUTF8) {
  if (S->IsNull()) {
    D->Clear();
    return;
  }
  const TFieldType st = S->DataType(), dt = D->DataType();
  if (st == ftLargeint) {
    D->SetAsString(S->AsString());
    return;
  }
  if (WideStringAsUTF8 && (IsWideText(st) || IsWideText(dt))) {
    if (IsNarrowText(st) && IsWideText(dt)) D->SetAsWideString(sys::AnsiToUtf16(S->AsAnsiString(), sys::CP_UTF8));
    else if (IsWideText(st) && IsNarrowText(dt)) D->SetAsAnsiString(sys::Utf16ToAnsi(S->AsWideString(), sys::CP_UTF8));
    else D->SetAsVariant(S->AsVariant());
    return;
  }
  if (st == ftOraBlob || st == ftOraClob) {
    try {
      D->SetAsString(S->AsString());
    } catch (const Exception&) {
      D->Clear();
    }
    return;
  }
  if ((dt == ftDate || dt == ftTime || dt == ftDateTime) &&
      (st == ftSmallint || st == ftInteger || st == ftWord || st == ftFloat || st == ftCurrency)) {
    D->SetAsDateTime(S->AsFloat());
    return;
  }
  if (S->ClassName() == D->ClassName()) D->SetAsVariant(S->AsVariant());
  else D->SetAsString(S->AsString());
}

// Disables a dataset's controls for a scope unless they already are.
class TControlsOff {
 public:
  explicit TControlsOff(TDataSet* D) : FD(D), FWas(D->ControlsDisabled()) {
    if (!FWas) FD->DisableControls();
  }
  ~TControlsOff() {
    if (!FWas) FD->EnableControls();
  }
  TControlsOff(const TControlsOff&) = delete;
  TControlsOff& operator=(const TControlsOff&) = delete;

 private:
  TDataSet* FD;
  bool FWas;
};
}  // namespace

int TvlxCustomMemTable::CopyRecords(TDataSet* Source, TDataSet* Destination, int Count, bool IgnoreErrors,
                                    const String& Mapping, bool WideStringAsUTF8) {
  if (Source == nullptr || Destination == nullptr || Source == Destination) return 0;
  const std::vector<int> map = SourceIndexes(Source, Destination, Mapping, true);
  Progress(0, mtpcCopy);
  int total = 0;
  if (OnProgress) total = Source->RecordCount();
  if (total < 1) Progress(50, mtpcCopy);
  FLoadedCompletely = true;
  int posted = 0, visited = 0;
  while (!Source->Eof()) {
    ++visited;
    if (total > 0 && visited % 100 == 0) Progress(static_cast<int>(static_cast<Int64>(visited) * 100 / total), mtpcCopy);
    bool accept = true;
    if (Source == this && OnSaveRecord) OnSaveRecord(*this, accept);
    if (!accept) {
      Source->Next();
      continue;
    }
    Destination->Append();
    try {
      for (int i = 0; i < static_cast<int>(map.size()); ++i) {
        const int si = map[static_cast<std::size_t>(i)];
        if (si < 0) continue;
        TField* d = Destination->Fields()[i];
        TField* s = Source->Fields()[si];
        try {
          if (Source == this && OnSaveField) OnSaveField(*this, i, s);
          CopyFieldValue(s, d, WideStringAsUTF8);
          if (Destination == this && OnLoadField) OnLoadField(*this, i, d);
        } catch (const Exception&) {
          if (!IgnoreErrors) throw;
        }
      }
      if (Destination == this && OnLoadRecord) OnLoadRecord(*this, accept);
      if (!accept) {
        Destination->Cancel();
      } else {
        try {
          Destination->Post();
          ++posted;
        } catch (const Exception&) {
          if (!IgnoreErrors) throw;
          Destination->Cancel();
        }
      }
    } catch (...) {
      // The half-made destination record goes; what was posted before stays.
      if (Destination->State() == dsInsert) Destination->Cancel();
      throw;
    }
    Source->Next();
    if (Count > 0 && posted >= Count) {
      FLoadedCompletely = Source->Eof();
      break;
    }
  }
  Progress(100, mtpcCopy);
  return posted;
}

void TvlxCustomMemTable::LoadFromDataSet(TDataSet* Source, TvlxMemTableCopyTableOptions CopyOptions,
                                         const String& Mapping) {
  if (Source == nullptr || Source == this) return;
  if ((CopyOptions & mtcpoAppend) && (CopyOptions & (mtcpoStructure | mtcpoProperties)))
    throw EMemTableError(String(SAppendAndStructure));
  FState = mtstLoad;
  if (OnLoad) OnLoad(*this, mtstDataSet, nullptr);
  if (CopyOptions & mtcpoStructure) Close();
  else if (!(CopyOptions & mtcpoAppend) && Active()) EmptyTable();
  const bool sourceWasActive = Source->Active();
  const bool wasFiltered = Filtered();
  TDataSource* master = MasterSource();
  const bool enableIndexes = FEnableIndexes;
  TBookmark mark;
  auto restore = [&]() {
    FEnableIndexes = enableIndexes;
    if (Active()) {
      FCommon->MarkIndexesDirty();
      UpdateIndexes();
    }
    if (!mark.empty()) {
      try {
        Source->GotoBookmark(mark);
      } catch (const Exception&) {
      }
    }
    FIgnoreReadOnly = false;
    if (!sourceWasActive) Source->Close();
    SetFiltered(wasFiltered);
    if (master != nullptr) SetMasterSource(master);
    FState = mtstBrowse;
  };
  try {
    TControlsOff sourceOff(Source), selfOff(this);
    if (!(CopyOptions & mtcpoDontDisableIndexes)) FEnableIndexes = false;
    FIgnoreReadOnly = true;
    if (!Source->Active()) Source->Open();
    try {
      mark = Source->GetBookmark();
    } catch (const Exception&) {
      mark.clear();
    }
    SetFiltered(false);
    if (master != nullptr) SetMasterSource(nullptr);
    try {
      Source->CheckBrowseMode();
    } catch (const Exception&) {
    }
    if (CopyOptions & mtcpoStructure) CreateTableAs(Source, CopyOptions);
    if (!Active()) Open();
    if (!(CopyOptions & mtcpoAppend) && (CopyOptions & mtcpoProperties)) CopyFieldsProperties(Source, this);
    CheckBrowseMode();
    if (!Source->Bof()) Source->First();
    FLoadCount = CopyRecords(Source, this, FLoadLimit, (CopyOptions & mtcpoIgnoreErrors) != 0, Mapping,
                             (CopyOptions & mtcpoWideStringUTF8) != 0);
    First();
  } catch (...) {
    restore();
    throw;
  }
  restore();
  if (Active()) First();
}

void TvlxCustomMemTable::SaveToDataSet(TDataSet* Destination, TvlxMemTableCopyTableOptions CopyOptions,
                                       const String& Mapping) {
  if (Destination == nullptr || Destination == this) return;
  FState = mtstSave;
  if (OnSave) OnSave(*this, mtstDataSet, nullptr);
  const bool destWasActive = Destination->Active();
  try {
    TControlsOff destOff(Destination), selfOff(this);
    if (!destWasActive) Destination->Open();
    Destination->CheckBrowseMode();
    if (!Active()) Open();
    CheckBrowseMode();
    First();
    FSaveCount = CopyRecords(this, Destination, FSaveLimit, (CopyOptions & mtcpoIgnoreErrors) != 0, Mapping,
                             (CopyOptions & mtcpoWideStringUTF8) != 0);
    FSavedCompletely = FLoadedCompletely;
  } catch (...) {
    if (Destination->Active()) Destination->First();
    if (!destWasActive) Destination->Close();
    FState = mtstBrowse;
    throw;
  }
  Destination->First();
  if (!destWasActive) Destination->Close();
  FState = mtstBrowse;
}

void TvlxCustomMemTable::UpdateToDataSet(TDataSet* Destination, const String& KeyFields,
                                         TvlxMemTableUpdateFlags Flags, const String& Mapping) {
  if (Active()) CheckBrowseMode();
  if (Destination == nullptr || Destination == this) return;
  if (OnSave) OnSave(*this, mtstDataSet, nullptr);
  const bool destWasActive = Destination->Active();
  auto finish = [&]() {
    Progress(100, mtpcUpdate);
    FState = mtstBrowse;
    if (Destination->Active()) Destination->First();
    if (!destWasActive) Destination->Close();
  };
  try {
    TControlsOff destOff(Destination), selfOff(this);
    if (!destWasActive) Destination->Open();
    Destination->CheckBrowseMode();
    if (!Active()) Open();
    CheckBrowseMode();
    First();
    Progress(0, mtpcUpdate);
    FState = mtstUpdate;
    TvlxFieldList keys;
    keys.Build(this, KeyFields);
    const std::vector<int> map = SourceIndexes(this, Destination, Mapping, false);
    First();
    const int total = RecordCount();
    if (total < 1) Progress(50, mtpcCopy);
    int visited = 0;
    std::vector<Variant> values(static_cast<std::size_t>(keys.Count()));
    while (!Eof()) {
      ++visited;
      if (total > 0 && visited % 100 == 0) Progress(static_cast<int>(static_cast<Int64>(visited) * 100 / total), mtpcCopy);
      bool accept = true;
      if (OnSaveRecord) OnSaveRecord(*this, accept);
      if (!accept) {
        Next();
        continue;
      }
      for (int k = 0; k < keys.Count(); ++k)
        values[static_cast<std::size_t>(k)] = keys.Fields[static_cast<std::size_t>(k)]->AsVariant();
      const Variant key = keys.Count() == 1 ? values[0] : VarArrayOf(values);
      bool write = false;
      if (Destination->Locate(KeyFields, key, 0)) {
        if (Flags & mtufEdit) {
          Destination->Edit();
          write = true;
        }
      } else if (Flags & mtufAppend) {
        Destination->Append();
        write = true;
      }
      if (write) {
        try {
          for (int i = 0; i < static_cast<int>(map.size()); ++i) {
            const int si = map[static_cast<std::size_t>(i)];
            TField* d = Destination->Fields()[i];
            if (OnSaveField && i < Fields().Count()) OnSaveField(*this, i, Fields()[i]);
            if (si >= 0) {
              TField* s = Fields()[si];
              if (s->IsNull()) d->Clear();
              else d->SetAsString(s->AsString());
            }
          }
          if (OnLoadRecord && Destination == this) OnLoadRecord(*this, accept);
          if (accept) Destination->Post();
          else Destination->Cancel();
        } catch (...) {
          if (Destination->State() == dsInsert || Destination->State() == dsEdit) Destination->Cancel();
          throw;
        }
      }
      Next();
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
}

void TvlxCustomMemTable::CreateTableAs(TDataSet* Source, TvlxMemTableCopyTableOptions CopyOptions) {
  CloseAttachedTables();
  if (Source == nullptr) return;
  if (!Source->Active()) Source->FieldDefs().Update();
  FieldDefs().Clear();
  DestroyFields();
  const TFieldDefs& sd = Source->FieldDefs();
  for (int i = 0; i < sd.Count(); ++i) {
    const TFieldDef* s = sd[i];
    TFieldDef* d = FieldDefs().Add(s->Name(), s->DataType(), s->Size(), s->Required());
    d->SetPrecision(s->Precision());
    d->SetAttributes(s->Attributes());
    d->SetInternalCalcField(s->InternalCalcField());
  }
  for (int i = FieldDefs().Count() - 1; i >= 0; --i) {
    TFieldDef* d = FieldDefs()[i];
    if (!TvlxCommon::IsSupportedType(d->DataType()) ||
        ((CopyOptions & mtcpoOnlyActiveFields) && Source->FindField(d->Name()) == nullptr) || d->InternalCalcField()) {
      FieldDefs().Delete(i);
      continue;
    }
    if ((CopyOptions & mtcpoStringAsWideString) && (d->DataType() == ftString || d->DataType() == ftFixedChar))
      d->SetDataType(ftWideString);
  }
  // Fields made here are kept: a table with some fields of its own makes no default fields at open, so
  // the data fields are made too whenever the source keeps its own or calculated ones are added.
  if (!Source->DefaultFields() || (CopyOptions & (mtcpoLookup | mtcpoCalculated)))
    for (int i = 0; i < FieldDefs().Count(); ++i) FieldDefs()[i]->CreateField(this);
  for (TField* f : Source->Fields()) {
    TField* made = nullptr;
    if (f->FieldKind() == fkLookup && (CopyOptions & mtcpoLookup))
      made = CreateFieldAs(f, (CopyOptions & mtcpoLookupAsData) != 0);
    else if (f->FieldKind() == fkCalculated && (CopyOptions & mtcpoCalculated))
      made = CreateFieldAs(f, (CopyOptions & mtcpoCalculatedAsData) != 0);
    if (made != nullptr && (CopyOptions & mtcpoFieldIndex)) made->SetIndex(f->Index());
  }
  if (CopyOptions & mtcpoProperties) CopyFieldsProperties(Source, this);
  ResetAutoInc();
}

TField* TvlxCustomMemTable::CreateFieldAs(TField* Field, bool AForceAsData) {
  if (Field == nullptr || !TvlxCommon::IsSupportedType(Field->DataType())) return nullptr;
  const TFieldClass cls = ChooseFieldClass(Field->DataType());
  if (!cls) return nullptr;
  TField* f = cls.Create(Owner() != nullptr ? Owner() : this);
  try {
    f->SetSize(Field->Size());
    f->SetFieldName(Field->FieldName());
    if (AForceAsData) {
      f->SetFieldKind(fkData);
    } else {
      f->SetFieldKind(Field->FieldKind());
      f->SetKeyFields(Field->KeyFields());
      f->SetLookupDataSet(Field->LookupDataSet());
      f->SetLookupResultField(Field->LookupResultField());
      f->SetLookupKeyFields(Field->LookupKeyFields());
    }
    if (auto* b = dynamic_cast<TBCDField*>(f))
      if (auto* sb = dynamic_cast<TBCDField*>(Field)) b->SetPrecision(sb->Precision());
    f->SetDataSet(this);
  } catch (...) {
    delete f;
    throw;
  }
  return f;
}

void TvlxCustomMemTable::CopyFieldProperties(TField* Source, TField* Destination) {
  if (Source == nullptr || Destination == nullptr || Source == Destination) return;
  Destination->SetDisplayWidth(Source->DisplayWidth());
  Destination->SetDisplayLabel(Source->DisplayLabel());
  Destination->SetRequired(Source->Required());
  Destination->SetReadOnly(Source->ReadOnly());
  Destination->SetVisible(Source->Visible());
  Destination->SetDefaultExpression(Source->DefaultExpression());
  Destination->SetAlignment(Source->Alignment());
  Destination->SetProviderFlags(Source->ProviderFlags());
  if (Destination->DataSet() == nullptr || !Destination->DataSet()->Active()) {
    Destination->SetLookupCache(Source->LookupCache());
    Destination->SetLookupDataSet(Source->LookupDataSet());
    Destination->SetLookupKeyFields(Source->LookupKeyFields());
    Destination->SetLookupResultField(Source->LookupResultField());
    Destination->SetKeyFields(Source->KeyFields());
  }
  if (auto* s = dynamic_cast<TNumericField*>(Source))
    if (auto* d = dynamic_cast<TNumericField*>(Destination)) {
      d->SetDisplayFormat(s->DisplayFormat());
      d->SetEditFormat(s->EditFormat());
    }
  if (auto* s = dynamic_cast<TIntegerField*>(Source))
    if (auto* d = dynamic_cast<TIntegerField*>(Destination)) {
      d->SetMaxValue(s->MaxValue());
      d->SetMinValue(s->MinValue());
    }
  if (auto* s = dynamic_cast<TDateTimeField*>(Source))
    if (auto* d = dynamic_cast<TDateTimeField*>(Destination)) d->SetDisplayFormat(s->DisplayFormat());
  if (auto* s = dynamic_cast<TBooleanField*>(Source))
    if (auto* d = dynamic_cast<TBooleanField*>(Destination)) d->SetDisplayValues(s->DisplayValues());
  if (dynamic_cast<TStringField*>(Source) != nullptr && dynamic_cast<TStringField*>(Destination) != nullptr)
    Destination->SetTransliterate(Source->Transliterate());
  if (auto* s = dynamic_cast<TFloatField*>(Source))
    if (auto* d = dynamic_cast<TFloatField*>(Destination)) {
      d->SetMaxValue(s->MaxValue());
      d->SetMinValue(s->MinValue());
      d->SetPrecision(s->Precision());
      d->SetCurrency(s->IsCurrency());
    }
  if (dynamic_cast<TBlobField*>(Source) != nullptr && dynamic_cast<TBlobField*>(Destination) != nullptr)
    Destination->SetTransliterate(Source->Transliterate());
  if (OnSetupFieldProperties) OnSetupFieldProperties(*this, Destination);
}

void TvlxCustomMemTable::CopyFieldsProperties(TDataSet* Source, TDataSet* Destination) {
  if (Source == nullptr || Destination == nullptr) return;
  for (int i = 0; i < Destination->Fields().Count() && i < Fields().Count(); ++i) {
    TField* s = Source->FindField(Destination->Fields()[i]->FieldName());
    if (s != nullptr) CopyFieldProperties(s, Fields()[i]);
  }
}

// ---- persistence ------------------------------------------------------------------------------------------

void TvlxCustomMemTable::SetActive(bool Value) {
  if (!Value && Active() && FPersistent) SavePersistent();
  TDataSet::SetActive(Value);
  if (Value && Active() && FPersistent && !FPersistentLoading) {
    FPersistentLoading = true;
    try {
      LoadPersistent();
    } catch (...) {
      FPersistentLoading = false;
      throw;
    }
    FPersistentLoading = false;
  }
}

void TvlxCustomMemTable::SavePersistent() {
  if (!Active() || FPersistentSaved || !FPersistent || FPersistentFile.empty() || FPersistentFormat == nullptr) return;
  const String temp = ChangeFileExt(FPersistentFile, u".$$$");
  const String backup = ChangeFileExt(FPersistentFile, FPersistentBackupExt);
  // A backup under the file's own name would delete the file it is meant to keep.
  if (FPersistentBackup && backup == FPersistentFile)
    throw EMemTableError(Format(SPersistentBackupName, {FPersistentFile}));
  SaveToFileViaFormat(temp, FPersistentFormat);
  if (FileExists(FPersistentFile)) {
    if (FPersistentBackup) {
      DeleteFile(backup);
      if (!RenameFile(FPersistentFile, backup))
        throw EMemTableError(Format(SPersistentRename, {FPersistentFile, backup}));
    } else {
      DeleteFile(FPersistentFile);
    }
  }
  if (!RenameFile(temp, FPersistentFile)) throw EMemTableError(Format(SPersistentRename, {temp, FPersistentFile}));
  FPersistentSaved = true;
}

void TvlxCustomMemTable::LoadPersistent() {
  if (FPersistent && !FPersistentFile.empty() && FPersistentFormat != nullptr && FileExists(FPersistentFile)) {
    FPersistent = false;
    try {
      LoadFromFileViaFormat(FPersistentFile, FPersistentFormat);
    } catch (...) {
      FPersistent = true;
      FPersistentSaved = false;
      throw;
    }
    FPersistent = true;
    First();
  }
  FPersistentSaved = false;
}

// ---- the table as text and as a value ---------------------------------------------------------------------

String TvlxCustomMemTable::CommaText() {
  TMemoryStream stream;
  SaveToStreamViaFormat(&stream, FCommaTextFormat);
  String text(static_cast<std::size_t>(stream.Size()), u'\0');
  const auto* bytes = static_cast<const Byte*>(stream.Memory());
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(bytes[i]);
  return text;
}

void TvlxCustomMemTable::SetCommaText(const String& Value) {
  TMemoryStream stream;
  std::vector<Byte> bytes(Value.size());
  for (std::size_t i = 0; i < Value.size(); ++i) {
    if (Value[i] > 0xFF) throw EMemTableError(Format(SCommaTextChar, {static_cast<int>(Value[i])}));
    bytes[i] = static_cast<Byte>(Value[i]);
  }
  if (Active()) EmptyTable();
  stream.Write(bytes.data(), static_cast<Int64>(bytes.size()));
  stream.SetPosition(0);
  LoadFromStreamViaFormat(&stream, FCommaTextFormat);
}

Variant TvlxCustomMemTable::AllData() {
  if (!Active()) return Variant();
  TMemoryStream stream;
  SaveToStreamViaFormat(&stream, FAllDataFormat);
  return VarFromBytes(stream.Memory(), static_cast<std::size_t>(stream.Size()));
}

void TvlxCustomMemTable::SetAllData(const Variant& Value) {
  if (VarIsNull(Value) || VarIsEmpty(Value) || !VarIsArray(Value)) return;
  const std::vector<Byte> bytes = VarToBytes(Value);
  TMemoryStream stream;
  stream.Write(bytes.data(), static_cast<Int64>(bytes.size()));
  stream.SetPosition(0);
  if (Active()) EmptyTable();
  LoadFromStreamViaFormat(&stream, FAllDataFormat);
}
