// TIdCustomDataSet / TIdMemDataSet: saving the view to, and loading from, the "TD" stream format.
#include "engines/fieldlist/IdDataSet.h"
#include "platform/classes/Files.h"
#include "platform/rtl/SysUtils.h"

std::vector<const Byte*> TIdCustomDataSet::ViewRows() const {
  std::vector<const Byte*> rows;
  const int count = GetRecordCount();
  rows.reserve(static_cast<std::size_t>(count));
  for (int recNo = 1; recNo <= count; ++recNo) rows.push_back(FStore->Row(DataIndexOf(recNo)));
  return rows;
}

namespace {
// Puts the stream back at its start however the writer ends.
struct TRewind {
  TStream* Stream;
  ~TRewind() {
    try {
      Stream->SetPosition(0);
    } catch (...) {
    }
  }
};
}  // namespace

void TIdCustomDataSet::SaveToStream(TStream* AStream, bool AExcludeVirtual) {
  // Saving nothing and reporting success would leave the caller with an empty stream it takes for data.
  if (!Active() || !FStore) DatabaseError(msg::SDataSetClosed, this);
  std::vector<idstream::TIdFieldDescriptor> descriptors;
  std::vector<const TIdField*> fields;
  for (TField* f : Fields()) {
    if (f->FieldKind() != fkData || (AExcludeVirtual && IsVirtualField(f))) continue;
    const TIdField* idField = IdFieldOf(f);
    if (idField == nullptr) continue;
    descriptors.push_back({f->FieldName(), f->DataType(), f->Size(), false});
    fields.push_back(idField);
  }
  TIdBytes bytes;
  idstream::WriteTo(bytes, descriptors, fields, ViewRows());
  TRewind rewind{AStream};
  AStream->SetSize(0);
  AStream->SetPosition(0);
  AStream->WriteBuffer(bytes.data(), static_cast<Int64>(bytes.size()));
}

void TIdCustomDataSet::SaveToFile(const String& AFileName, bool AExcludeVirtual) {
  if (!Active() || !FStore) DatabaseError(msg::SDataSetClosed, this);
  TMemoryStream memory;
  SaveToStream(&memory, AExcludeVirtual);
  TFileStream file(AFileName, fmCreate);
  file.WriteBuffer(memory.Memory(), memory.Size());
}

std::vector<const TFieldDef*> TIdCustomDataSet::VirtualDefsToMake(
    const std::vector<idstream::TIdFieldDescriptor>& Taken) const {
  std::vector<const TFieldDef*> defs;
  for (const auto& def : *FVirtualFieldDefs) {
    if (!IsSupportedFieldType(def->DataType())) continue;
    bool taken = false;
    for (const auto& d : Taken) taken = taken || SameText(d.Name, def->Name());
    for (const TFieldDef* earlier : defs) taken = taken || SameText(earlier->Name(), def->Name());
    if (!taken) defs.push_back(def.get());
  }
  return defs;
}

std::unique_ptr<TIdRecordStore> TIdCustomDataSet::StagingStoreFor(
    const std::vector<idstream::TIdFieldDescriptor>& Descriptors) const {
  auto staging = std::make_unique<TIdRecordStore>(*FBlobs);
  for (const auto& d : Descriptors) staging->AddField(d.DataType, d.Size, false);
  for (const TFieldDef* def : VirtualDefsToMake(Descriptors)) staging->AddField(def->DataType(), def->Size(), true);
  return staging;
}

void TIdCustomDataSet::ReadFromStream(TStream* Stream) {
  std::vector<Byte> holder;
  const std::span<const Byte> data = idstream::StreamBytes(*Stream, holder);
  if (data.size() < idstream::kRowsHeaderSize) throw Exception(String(idstream::SStreamIncorrect));
  const idstream::TIdStreamHeader header = idstream::ReadHeader(data);

  if (!header.HasDescriptors) {
    // Rows only: they need the fields of an open dataset, and replace its rows.
    if (!Active() || !FStore) DatabaseError(msg::SDataSetClosed, this);
    CheckBrowseMode();
    auto staging = std::make_unique<TIdRecordStore>(*FBlobs);
    for (int i = 0; i < FStore->FieldCount(); ++i) {
      const TIdField* f = FStore->Fields(i);
      staging->AddField(f->DataType(), f->Size(), f->IsVirtual());
    }
    idstream::ReadRows(data, header.RowsOffset, *staging);
    DisableControls();
    SetIsLoading(true);
    try {
      ClearRecords();
      FStore->AdoptRows(*staging);
    } catch (...) {
      SetIsLoading(false);
      EnableControls();
      throw;
    }
    SetIsLoading(false);
    EnableControls();
    return;
  }

  // Fields and rows: everything is read into a store of the new layout first; the dataset changes
  // only once the whole stream proved good.
  std::unique_ptr<TIdRecordStore> staging = StagingStoreFor(header.Descriptors);
  idstream::ReadRows(data, header.RowsOffset, *staging);

  Close();
  DisableControls();
  SetIsLoading(true);
  try {
    for (const auto& d : header.Descriptors) {
      TField* f = MakeField(d.Name, static_cast<TFieldType>(d.DataType), d.Size);
      if (d.InKey) f->SetProviderFlags(f->ProviderFlags() | pfInKey);
    }
    CreateVirtualFields();
    Open();
    FStore->AdoptRows(*staging);
  } catch (...) {
    SetIsLoading(false);
    EnableControls();
    throw;
  }
  SetIsLoading(false);
  EnableControls();
}

void TIdMemDataSet::LoadFromStream(TStream* AStream) { ReadFromStream(AStream); }

void TIdMemDataSet::LoadFromFile(const String& AFileName) {
  if (!FileExists(AFileName)) return;
  TMemoryStream memory;
  memory.LoadFromFile(AFileName);
  LoadFromStream(&memory);
}
