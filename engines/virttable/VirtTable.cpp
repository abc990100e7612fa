#include "engines/virttable/VirtTable.h"

#include "engines/virttable/VtTypes.h"
#include "engines/virttable/VtXml.h"
#include "platform/classes/Files.h"

namespace {

// Raises the counter for the life of the guard.
struct TNesting {
  explicit TNesting(int& Counter) : FCounter(Counter) { ++FCounter; }
  ~TNesting() { --FCounter; }
  int& FCounter;
};

bool KeepsPrecision(TFieldType t) {
  switch (t) {
    case ftSmallint: case ftInteger: case ftWord: case ftFloat: case ftCurrency: case ftDate: case ftTime:
    case ftDateTime: case ftLargeint: case ftTimeStamp: case ftTimeStampOffset: case ftLongWord: case ftShortint: case ftByte:
    case ftExtended: case ftSingle:
      return true;
    default:
      return false;
  }
}

}  // namespace

void TVirtTableData::InternalInitFields() {
  if (!FDefs) return;
  for (const auto& def : *FDefs)
    vt::AddFieldDescForFieldDef(*this, def->Name(), def->DataType(), def->Size(), (def->Attributes() & faFixed) != 0,
                                def->Required(), def->Precision());
}

TVirtTable::TVirtTable(TComponent* AOwner) : TMemDataSet(AOwner) {
  BindRecordSet(std::make_unique<TVirtTableData>(&FieldDefs()));
}

TVirtTable::~TVirtTable() {
  try {
    Close();
  } catch (...) {
    HandleCurrentException(this);
  }
}

void TVirtTable::SetOptions(TVirtTableOptions Value) {
  FOptions = Value;
  Data()->SetEmptyStrToNull = HasOption(voSetEmptyStrToNull);
}

void TVirtTable::FireProgress(int Percent) {
  if (OnProgress) OnProgress(this, Percent);
}

vt::TProgressFunc TVirtTable::ProgressFunc() {
  // Without a callback the per-row report costs one test.
  if (!OnProgress) return nullptr;
  return [this](int Percent) { FireProgress(Percent); };
}

void TVirtTable::CursorClose() {
  TNesting guard(FAvoidReload);
  TMemDataSet::CursorClose();
  if (HasOption(voPersistentData)) Data()->SetToBegin();
  else Data()->Close();
}

void TVirtTable::Clear() {
  if (State() == dsEdit || State() == dsInsert) Cancel();
  if (Data()->Active()) Data()->EmptyData();
  if (Active()) Resync(0);
}

void TVirtTable::DeleteFields() {
  Clear();
  TNesting guard(FAvoidReload);
  const bool was = FAvoidRefreshData;
  FAvoidRefreshData = true;
  Close();
  FieldDefs().Clear();
  Fields().Clear();
  FAvoidRefreshData = was;
}

void TVirtTable::DefinitionsChanged(TObject* Sender) {
  TMemDataSet::DefinitionsChanged(Sender);
  if (FAvoidRefreshData || FAvoidReload > 0) return;
  RestructureKeepingData();
}

void TVirtTable::RestructureKeepingData() {
  TNesting guard(FAvoidReload);
  const bool wasActive = Active();
  if (!Data()->Active() || Data()->RecordCount() == 0) {
    Close();
    Data()->Close();
    if (wasActive) Open();
    return;
  }
  // Write the rows by the descriptors they were stored with, then read them back into the new
  // structure: values follow their field names, converted when a type changed.
  TMemoryStream stream;
  vt::WriteVirtTableStream(stream, StreamDefsOfDescriptors(), *Data(), nullptr);
  Close();
  Data()->Close();
  LoadInto(stream, false);
  if (wasActive && !Active()) Open();
}

std::vector<vt::TStreamFieldDef> TVirtTable::StreamDefsOfDefinitions() const {
  std::vector<vt::TStreamFieldDef> defs;
  for (const auto& d : FieldDefs()) defs.push_back({d->Name(), d->DataType(), d->Size(), d->Precision()});
  return defs;
}

std::vector<vt::TStreamFieldDef> TVirtTable::StreamDefsOfDescriptors() const {
  std::vector<vt::TStreamFieldDef> defs;
  for (const auto& d : Data()->Fields()) {
    const TFieldType type = vt::TFieldTypeMap::GetFieldType(d->DataType());
    int size = 0;
    int precision = d->Length;
    switch (type) {
      case ftString: case ftWideString: case ftGuid: case ftBytes: case ftVarBytes: size = d->Length; precision = 0; break;
      case ftBCD: case ftFMTBcd: size = d->Scale; break;
      default: break;
    }
    defs.push_back({d->Name, type, size, precision});
  }
  return defs;
}

void TVirtTable::SaveDefs(TStream& Stream, const std::vector<vt::TStreamFieldDef>& Defs,
                          const std::vector<vt::TStreamPersistentField>& Persistent, bool AllRows) {
  TNesting guard(FAvoidReload);
  if (!Data()->Active() && !Defs.empty()) {
    // A table never opened has no rows; its definitions are written all the same.
    vt::TMemData empty;
    vt::WriteVirtTableStream(Stream, Defs, empty, nullptr, Persistent);
    return;
  }
  CheckBrowseMode();
  // Rows deleted under cached updates are never written; a filter or master hides rows unless all
  // are asked for.
  vt::TItemFilter include;
  if (Data()->DeletedCount() > 0 || (!AllRows && RowsMayBeHidden()))
    include = [this, AllRows](const vt::TItemHeader* Item) {
      return Item->Status != vt::isDeleted && (AllRows || RowShown(Item));
    };
  vt::WriteVirtTableStream(Stream, Defs, *Data(), ProgressFunc(), Persistent, include);
}

void TVirtTable::SaveToStream(TStream* Stream, bool StoreFields, bool StoreAllData) {
  if (!Stream) DatabaseError(u"Stream is not assigned", this);
  std::vector<vt::TStreamPersistentField> persistent;
  if (StoreFields && !DefaultFields())
    for (TField* f : Fields())
      if (f->FieldKind() != fkLookup)
        persistent.push_back({f->FieldName(), static_cast<Word>(f->FieldKind()), static_cast<Word>(f->DataType()),
                              static_cast<Word>(f->Size())});
  SaveDefs(*Stream, StreamDefsOfDefinitions(), persistent, StoreAllData);
}

void TVirtTable::SaveToFile(const String& FileName, bool StoreFields, bool StoreAllData) {
  TFileStream file(FileName, fmCreate);
  SaveToStream(&file, StoreFields, StoreAllData);
}

void TVirtTable::LoadFromFile(const String& FileName, bool LoadFields, bool DecodeHTMLEntities) {
  TFileStream file(FileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(&file, LoadFields, DecodeHTMLEntities);
}

void TVirtTable::LoadFromStream(TStream* Stream, bool LoadFields, bool DecodeHTMLEntities) {
  if (!Stream) DatabaseError(u"Stream is not assigned", this);
  TNesting guard(FAvoidReload);
  {
    Stream->SetPosition(0);
    std::vector<Byte> head(static_cast<std::size_t>(std::min<Int64>(Stream->Size(), 8)));
    if (!head.empty()) Stream->ReadBuffer(head.data(), static_cast<Int64>(head.size()));
    if (vt::IsXmlStream(head)) {
      LoadXml(*Stream, LoadFields, DecodeHTMLEntities);
      return;
    }
  }
  LoadInto(*Stream, LoadFields);
}

void TVirtTable::LoadXml(TStream& Stream, bool LoadFields, bool DecodeHTMLEntities) {
  // The whole document goes into a table of its own first (schema, then rows); only a good document
  // reaches this table, through the binary format's all-or-nothing load.
  vt::XmlTextReader reader(Stream, DecodeHTMLEntities);
  TFieldDefs defs(nullptr);
  std::vector<String> nameMap;
  vt::ReadXmlSchema(reader, defs, nameMap, this);
  if (defs.Count() == 0) throw Exception(u"Invalid XML document");  // no rowset schema
  TVirtTable staging(nullptr);
  staging.FieldDefs().Assign(LoadFields ? &defs : &FieldDefs());
  staging.Open();
  vt::ReadXmlRows(reader, staging, nameMap);
  TMemoryStream binary;
  staging.SaveToStream(&binary, false, true);
  binary.SetPosition(0);
  LoadInto(binary, LoadFields);
  if (!LoadFields) return;
  // The binary format keeps no attributes: the schema's come back here.
  for (const auto& d : defs)
    if (TFieldDef* own = FieldDefs().FindDef(d->Name())) {
      own->SetAttributes(d->Attributes());
      if (TField* f = FindField(d->Name())) f->SetRequired((d->Attributes() & faRequired) != 0);
    }
}

void TVirtTable::LoadInto(TStream& Stream, bool LoadFields) {
  TNesting guard(FAvoidReload);
  // Everything is read into a staging record set (with its own definitions when LoadFields) first.
  auto stagedDefs = std::make_unique<TFieldDefs>(nullptr);
  auto staging = std::make_unique<TVirtTableData>(LoadFields ? stagedDefs.get() : &FieldDefs());
  staging->SetEmptyStrToNull = HasOption(voSetEmptyStrToNull);
  staging->Objects().Pool = Data()->Objects().Pool;
  const vt::TStreamContents contents = vt::ReadVirtTableStream(
      Stream,
      [&](const vt::TStreamContents& c) -> vt::TMemData& {
        if (LoadFields)
          for (const auto& d : c.Defs) {
            TFieldDef* def = stagedDefs->Add(d.Name, d.DataType, d.Size, false);
            if (KeepsPrecision(d.DataType)) def->SetPrecision(d.Precision);
          }
        staging->Open();
        // An emptied table (the usual case: emptied, then loaded) lends the staging set its tables.
        staging->TakeSpareRoom(*Data());
        return *staging;
      },
      ProgressFunc());

  // The whole stream was good: swap it in. Should the new structure fail to open (definitions the
  // framework refuses), the old definitions and rows come back.
  struct TSavedDef {
    String Name;
    TFieldType Type;
    int Size;
    int Precision;
    TFieldAttributes Attributes;
  };
  std::vector<TSavedDef> oldDefs;
  for (const auto& d : FieldDefs()) oldDefs.push_back({d->Name(), d->DataType(), d->Size(), d->Precision(), d->Attributes()});
  const bool wasActive = Active();
  if (State() == dsEdit || State() == dsInsert) Cancel();
  const int recNo = wasActive && !IsEmpty() ? RecNo() : 0;
  const bool was = FAvoidRefreshData;
  FAvoidRefreshData = true;
  Close();
  std::unique_ptr<vt::TMemData> old = ReleaseRecordSet();
  try {
    if (LoadFields) {
      if (!DefaultFields()) Fields().Clear();
      FieldDefs().Clear();
      for (const auto& d : *stagedDefs) {
        TFieldDef* def = FieldDefs().Add(d->Name(), d->DataType(), d->Size(), false);
        def->SetPrecision(d->Precision());
      }
      // The stream's persistent fields become this table's (lookup fields carry no row data and are
      // left out).
      for (const vt::TStreamPersistentField& p : contents.Persistent) {
        if (p.Kind == fkLookup || p.DataType >= kFieldTypeCount) continue;
        TField* f = ChooseFieldClass(static_cast<TFieldType>(p.DataType)).Create(Owner());
        f->SetFieldName(p.Name);
        f->SetFieldKind(static_cast<TFieldKind>(p.Kind));
        if (p.DataType == ftString) f->SetSize(p.Size);
        f->SetDataSet(this);
      }
    }
    staging->SetDefs(&FieldDefs());
    BindRecordSet(std::move(staging));
    SetOptions(FOptions);
    if (wasActive || (contents.RecordCount > 0 && !HasOption(voPersistentData))) Open();
  } catch (...) {
    try {
      Close();
    } catch (...) {
    }
    if (LoadFields) {
      FieldDefs().Clear();
      for (const TSavedDef& d : oldDefs) {
        TFieldDef* def = FieldDefs().Add(d.Name, d.Type, d.Size, false);
        def->SetPrecision(d.Precision);
        def->SetAttributes(d.Attributes);
      }
    }
    BindRecordSet(std::move(old));
    FAvoidRefreshData = was;
    if (wasActive) {
      Open();
      if (recNo > 0) SetRecNo(recNo);
    }
    throw;
  }
  FAvoidRefreshData = was;
}
