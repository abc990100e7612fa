// TVirtTable: copying another table or any dataset, and the rows kept in the owner's component stream
// (the binary property "Data").
#include "engines/virttable/VirtTable.h"
#include "platform/classes/ComponentStreaming.h"
#include "platform/db/Fields.h"

namespace {

bool SupportedForCopy(TFieldType t) {
  if (t >= ftString && t <= ftMemo) return true;
  switch (t) {
    case ftWideString: case ftLargeint: case ftVariant: case ftGuid: case ftTimeStamp: case ftTimeStampOffset: case ftFMTBcd:
    case ftWideMemo: case ftLongWord: case ftShortint: case ftByte: case ftExtended: case ftSingle:
      return true;
    default:
      return false;
  }
}

}  // namespace

void TVirtTable::Assign(const TPersistent* Source) {
  if (const auto* table = dynamic_cast<const TVirtTable*>(Source)) {
    TMemoryStream stream;
    const_cast<TVirtTable*>(table)->SaveToStream(&stream, true, false);
    stream.SetPosition(0);
    LoadFromStream(&stream, true, true);
    return;
  }
  if (const auto* dataset = dynamic_cast<const TDataSet*>(Source)) {
    AssignFromDataSet(const_cast<TDataSet*>(dataset));
    return;
  }
  TMemDataSet::Assign(Source);
}

void TVirtTable::FieldDefsFromFields(const TFields& SourceFields, TFieldDefs& Defs) {
  const TDataSet* source = nullptr;
  for (TField* f : SourceFields) {
    source = f->DataSet();
    TFieldType type = f->DataType();
    if (type == ftOraBlob) type = ftBlob;
    else if (type == ftOraClob) type = ftMemo;
    else if (type == ftOraTimeStamp) type = ftTimeStamp;
    if (!SupportedForCopy(type)) {
      if (HasOption(voSkipUnSupportedFieldTypes)) continue;
      DatabaseError(vt::kUnsupportedFieldType, this);
    }
    TFieldDef* def = Defs.Add(f->FieldName(), type, f->Size(), false);
    TFieldAttributes attributes = 0;
    if (f->Required()) attributes |= faRequired;
    if (FReadOnly) attributes |= faReadonly;
    if (source)
      if (const TFieldDef* own = source->FieldDefs().FindDef(f->FieldName()))
        if (own->Attributes() & faFixed) attributes |= faFixed;
    def->SetAttributes(attributes);
    if (type == ftBCD)
      if (const auto* bcd = dynamic_cast<const TBCDField*>(f)) def->SetPrecision(bcd->Precision());
  }
}

void TVirtTable::AssignFromDataSet(TDataSet* Source) {
  const bool wasActive = Active();
  Close();
  DeleteFields();
  FieldDefsFromFields(Source->Fields(), FieldDefs());
  if (Source->Active()) {
    Source->DisableControls();
    DisableControls();
    const TBookmark mark = Source->GetBookmark();
    struct TFieldState {
      TField* Own;
      TField* Theirs;
      bool ReadOnly;
      bool Required;
    };
    std::vector<TFieldState> map;
    auto finish = [&] {
      First();
      for (const TFieldState& s : map) {
        s.Own->SetReadOnly(s.ReadOnly);
        s.Own->SetRequired(s.Required);
      }
      if (!Source->IsEmpty() && Source->BookmarkValid(mark)) Source->GotoBookmark(mark);
      Source->EnableControls();
      EnableControls();
    };
    try {
      Source->First();
      Open();
      for (TField* f : Fields()) {
        map.push_back({f, Source->FieldByName(f->FieldName()), f->ReadOnly(), f->Required()});
        f->SetReadOnly(false);
        f->SetRequired(false);
      }
      while (!Source->Eof()) {
        Append();
        for (const TFieldState& s : map) {
          if (s.Theirs->IsNull()) continue;
          // 64-bit integers go through their own accessor: a dynamic value may pass a double.
          if (s.Own->DataType() == ftLargeint) s.Own->SetAsLargeInt(s.Theirs->AsLargeInt());
          else s.Own->SetAsVariant(s.Theirs->AsVariant());
        }
        Post();
        Source->Next();
      }
    } catch (...) {
      try {
        if (State() == dsInsert) Cancel();
        finish();
      } catch (...) {
      }
      throw;
    }
    finish();
  }
  SetActive(wasActive);
}

// ---- the "Data" property ----

void TVirtTable::DefineProperties(TFiler* Filer) {
  TMemDataSet::DefineProperties(Filer);
  Filer->DefineBinaryProperty(
      u"Data", [this](TStream* Stream) { ReadData(Stream); }, [this](TStream* Stream) { WriteData(Stream); },
      HasOption(voStored));
}

void TVirtTable::WriteData(TStream* Stream) {
  if (HasOption(voStored)) SaveToStream(Stream, false, true);
}

void TVirtTable::ReadData(TStream* Stream) {
  if (!HasOption(voStored)) return;
  FRecordDataStream.SetSize(0);
  const Int64 left = Stream->Size() - Stream->Position();
  if (left > 0) FRecordDataStream.CopyFrom(Stream, left);
}

void TVirtTable::Loaded() {
  struct TEmpty {
    TMemoryStream& S;
    ~TEmpty() { S.SetSize(0); }
  };
  if (FRecordDataStream.Size() > 0) {
    TEmpty empty{FRecordDataStream};
    FRecordDataStream.SetPosition(0);
    LoadFromStream(&FRecordDataStream, false, true);
  }
  TMemDataSet::Loaded();  // opens a table streamed as active
}
