// TIdCustomDataSet / TIdMemDataSet: saving the view to, and loading from, the "TD" stream format.
#include <algorithm>

#include "engines/fieldlist/IdDataSet.h"
#include "platform/classes/Files.h"
#include "platform/rtl/SysUtils.h"
#include "platform/store/ByteStream.h"

namespace {
// The rows of the view in order: every row of the store, or those the filter lists.
class TViewRows final : public idstream::TRowSource {
 public:
  TViewRows(const TIdRecordStore& Store, const std::vector<std::int32_t>* Filter, std::size_t Count)
      : FStore(Store), FFilter(Filter), FCount(Count) {}
  std::size_t Count() const override { return FCount; }
  const Byte* Row(std::size_t I) const override {
    return FStore.Row(FFilter != nullptr ? (*FFilter)[I] : static_cast<int>(I));
  }

 private:
  const TIdRecordStore& FStore;
  const std::vector<std::int32_t>* FFilter;
  std::size_t FCount;
};
}  // namespace

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

void TIdCustomDataSet::CollectSavedFields(bool AExcludeVirtual, std::vector<idstream::TIdFieldDescriptor>& Descriptors,
                                          std::vector<const TIdField*>& SavedFields) const {
  // Saving nothing and reporting success would leave the caller with an empty stream it takes for data.
  if (!Active() || !FStore) DatabaseError(msg::SDataSetClosed, this);
  for (TField* f : Fields()) {
    if (f->FieldKind() != fkData || (AExcludeVirtual && IsVirtualField(f))) continue;
    const TIdField* idField = IdFieldOf(f);
    if (idField == nullptr) continue;
    Descriptors.push_back({f->FieldName(), f->DataType(), f->Size(), false});
    SavedFields.push_back(idField);
  }
}

void TIdCustomDataSet::SaveToStream(TStream* AStream, bool AExcludeVirtual) {
  std::vector<idstream::TIdFieldDescriptor> descriptors;
  std::vector<const TIdField*> fields;
  CollectSavedFields(AExcludeVirtual, descriptors, fields);
  const TViewRows rows(*FStore, FIsFiltered ? &FFilters : nullptr, static_cast<std::size_t>(GetRecordCount()));
  TRewind rewind{AStream};
  idstream::Write(*AStream, descriptors, fields, rows);
}

void TIdCustomDataSet::SaveToFile(const String& AFileName, bool AExcludeVirtual) {
  std::vector<idstream::TIdFieldDescriptor> descriptors;
  std::vector<const TIdField*> fields;
  CollectSavedFields(AExcludeVirtual, descriptors, fields);
  idstream::HeaderSize(descriptors);  // raises before the file is made
  TFileStream file(AFileName, fmCreate);
  idstream::Write(file, descriptors, fields,
                  TViewRows(*FStore, FIsFiltered ? &FFilters : nullptr, static_cast<std::size_t>(GetRecordCount())));
}

std::vector<const TFieldDef*> TIdCustomDataSet::VirtualDefsToMake(
    const std::vector<idstream::TIdFieldDescriptor>& Taken) const {
  std::vector<const TFieldDef*> defs;
  for (const auto& def : *FVirtualFieldDefs) {
    if (!IsSupportedFieldType(def->DataType())) continue;
    // Fields that outlive a close (calculated and lookup ones) keep their names too.
    // Compared as the field list compares names, or a name it takes for a duplicate would pass here.
    bool taken = FindField(def->Name()) != nullptr && FindField(def->Name())->FieldKind() != fkData;
    for (const auto& d : Taken) taken = taken || AnsiSameText(d.Name, def->Name());
    for (const TFieldDef* earlier : defs) taken = taken || AnsiSameText(earlier->Name(), def->Name());
    if (!taken) defs.push_back(def.get());
  }
  return defs;
}

std::unique_ptr<TIdRecordStore> TIdCustomDataSet::StagingStoreFor(
    const std::vector<idstream::TIdFieldDescriptor>& Descriptors) const {
  auto staging = std::make_unique<TIdRecordStore>(*FBlobs, FRowPages.get());
  for (const auto& d : Descriptors) staging->AddField(d.DataType, d.Size, false);
  for (const TFieldDef* def : VirtualDefsToMake(Descriptors)) staging->AddField(def->DataType(), def->Size(), true);
  return staging;
}

namespace {
// What FetchRecord raises for a dataset without data fields; a load that would make one is refused
// with it up front.
constexpr char16_t SNoRecords[] = u"No Records";
constexpr char16_t SUnsupportedFieldType[] = u"Unsupported field type: %s";
}  // namespace

void TIdCustomDataSet::CheckFieldsCanBeMade(const std::vector<idstream::TIdFieldDescriptor>& Descriptors,
                                            const TIdRecordStore& Staging) const {
  if (Staging.FieldCount() == 0) DatabaseError(SNoRecords, this);
  struct TToMake {
    String Name;
    TFieldType Type;
    int Size;
  };
  std::vector<TToMake> toMake;
  for (const auto& d : Descriptors) toMake.push_back({d.Name, static_cast<TFieldType>(d.DataType), d.Size});
  for (const TFieldDef* def : VirtualDefsToMake(Descriptors)) toMake.push_back({def->Name(), def->DataType(), def->Size()});
  for (std::size_t i = 0; i < toMake.size(); ++i) {
    const TToMake& m = toMake[i];
    // The names as the field list will hold them: a field that outlives the close (calculated,
    // lookup) keeps its name, and two names it takes for one are refused.
    if (const TField* kept = FindField(m.Name); kept != nullptr && kept->FieldKind() != fkData)
      DatabaseErrorFmt(msg::SDuplicateFieldName, {m.Name}, this);
    for (std::size_t j = 0; j < i; ++j)
      if (AnsiSameText(toMake[j].Name, m.Name)) DatabaseErrorFmt(msg::SDuplicateFieldName, {m.Name}, this);
    // The field made on its own, unattached: its class's size checks run here, and the layout it
    // reads must be the one the rows were read into.
    const TFieldClass fieldClass = ChooseFieldClass(m.Type);
    if (!fieldClass) DatabaseErrorFmt(SUnsupportedFieldType, {m.Name}, this);
    const std::unique_ptr<TField> probe(fieldClass.Create(nullptr));
    probe->SetFieldName(m.Name);
    probe->SetFieldType(m.Type);
    if (IsTextType(m.Type) || IsBlobType(m.Type) || m.Type == ftBytes || m.Type == ftVarBytes) probe->SetSize(m.Size);
    const TIdField* stored = Staging.Fields(static_cast<int>(i));
    if (probe->DataType() != stored->DataType() || (!probe->IsBlob() && probe->DataSize() != stored->DataSize()))
      DatabaseErrorFmt(SUnsupportedFieldType, {m.Name}, this);
  }
}

void TIdCustomDataSet::ReadFromStream(TStream* Stream) {
  // Until the end, staging rows may share the blob table: emptying must then go value by value.
  struct TStagingLoad {
    int& Count;
    explicit TStagingLoad(int& C) : Count(C) { ++Count; }
    ~TStagingLoad() { --Count; }
    TStagingLoad(const TStagingLoad&) = delete;
    TStagingLoad& operator=(const TStagingLoad&) = delete;
  } stagingLoad(FStagingLoads);
  // A memory stream is read in place; any other (a file) in blocks, never whole into memory.
  const bool inMemory = dynamic_cast<TCustomMemoryStream*>(Stream) != nullptr;
  std::vector<Byte> unused;
  const std::span<const Byte> data = inMemory ? WholeStreamBytes(*Stream, 0, unused) : std::span<const Byte>();
  const std::size_t size = inMemory ? data.size() : static_cast<std::size_t>(std::max<Int64>(Stream->Size(), 0));
  if (size < idstream::kRowsHeaderSize) throw Exception(String(idstream::SStreamIncorrect));
  const idstream::TIdStreamHeader header = inMemory ? idstream::ReadHeader(data) : idstream::ReadHeader(*Stream);
  const auto ReadRows = [&](TIdRecordStore& Into) {
    if (inMemory) idstream::ReadRows(data, header.RowsOffset, Into);
    else idstream::ReadRows(*Stream, header.RowsOffset, Into);
  };
  // The controls wait and the dataset counts as loading while the rows change, also when that raises.
  const auto WhileLoading = [this](auto&& Change) {
    DisableControls();
    SetIsLoading(true);
    try {
      Change();
    } catch (...) {
      SetIsLoading(false);
      EnableControls();
      throw;
    }
    SetIsLoading(false);
    EnableControls();
  };

  if (!header.HasDescriptors) {
    // Rows only: they need the fields of an open dataset, and replace its rows.
    if (!Active() || !FStore) DatabaseError(msg::SDataSetClosed, this);
    CheckBrowseMode();
    auto staging = std::make_unique<TIdRecordStore>(*FBlobs, FRowPages.get());
    bool anyRead = false;
    for (int i = 0; i < FStore->FieldCount(); ++i) {
      const TIdField* f = FStore->Fields(i);
      staging->AddField(f->DataType(), f->Size(), f->IsVirtual());
      anyRead = anyRead || !f->IsVirtual();
    }
    // Row bytes with no field to read them into cannot be taken: dropping them silently would pass
    // for a load.
    if (!anyRead && size > header.RowsOffset) throw Exception(String(idstream::SStreamIncorrect));
    ReadRows(*staging);
    if (staging->Count() == 0) return;  // a load that brings nothing keeps what the dataset holds
    WhileLoading([&] {
      ClearRecords();
      FStore->AdoptRows(*staging);
    });
    return;
  }

  // Fields and rows: everything is read into a store of the new layout first, and every check making
  // the fields would run is run on it; the dataset changes only once the whole stream proved good.
  std::unique_ptr<TIdRecordStore> staging = StagingStoreFor(header.Descriptors);
  CheckFieldsCanBeMade(header.Descriptors, *staging);
  ReadRows(*staging);

  Close();
  WhileLoading([&] {
    for (const auto& d : header.Descriptors) {
      TField* f = MakeField(d.Name, static_cast<TFieldType>(d.DataType), d.Size);
      if (d.InKey) f->SetProviderFlags(f->ProviderFlags() | pfInKey);
    }
    CreateVirtualFields();
    Open();
    FStore->AdoptRows(*staging);
  });
}

void TIdMemDataSet::LoadFromStream(TStream* AStream) { ReadFromStream(AStream); }

void TIdMemDataSet::LoadFromFile(const String& AFileName) {
  if (!FileExists(AFileName)) return;
  TFileStream file(AFileName, fmOpenRead | fmShareDenyWrite);
  LoadFromStream(&file);
}
