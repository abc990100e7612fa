#include "platform/engines/ADODataSet.h"

#include <algorithm>

namespace {

constexpr char16_t kClosedText[] = u"Operation is not allowed when the object is closed.";
constexpr char16_t kOpenText[] = u"Operation is not allowed when the object is open.";

[[noreturn]] void RaiseOle(const String& Text, HRESULT Code) {
  SetOleErrorText(Text);
  OleCheck(Code);
  throw EOleException(Text, Code);  // not reached: OleCheck raises for a failing code
}

// Everything from the stream's position to its end.
HRESULT ReadAll(IStream& Stream, std::vector<std::uint8_t>& Bytes) {
  std::uint8_t chunk[64 * 1024];
  for (;;) {
    std::uint32_t got = 0;
    const HRESULT hr = Stream.Read(chunk, sizeof chunk, &got);
    if (Failed(hr)) return hr;
    Bytes.insert(Bytes.end(), chunk, chunk + got);
    if (got == 0) return S_OK;
  }
}

HRESULT WriteAll(IStream& Stream, const std::uint8_t* Data, std::size_t Size) {
  while (Size > 0) {
    const auto want = static_cast<std::uint32_t>(std::min<std::size_t>(Size, 1u << 30));
    std::uint32_t put = 0;
    const HRESULT hr = Stream.Write(Data, want, &put);
    if (Failed(hr)) return hr;
    if (put == 0) return STG_E_WRITEFAULT;
    Data += put;
    Size -= put;
  }
  return S_OK;
}

}  // namespace

// ---- recordset ----

TADORecordset::~TADORecordset() = default;

TRowStore* TADORecordset::Rows() const { return FDataSet ? FDataSet->Store() : FStore.get(); }

int TADORecordset::RecordCount() const {
  const TRowStore* rows = Rows();
  return rows ? static_cast<int>(std::min<std::size_t>(rows->Count(), INT32_MAX)) : -1;
}

void TADORecordset::Save(IUnknown* Destination, int PersistFormat) {
  auto* stream = dynamic_cast<IStream*>(Destination);
  if (stream == nullptr) RaiseOle(u"The destination of Save is not a stream", E_INVALIDARG);
  if (PersistFormat != adPersistADTG) RaiseOle(u"Only the ADTG persistence format is supported", E_INVALIDARG);
  TMemoryStream bytes;
  if (FDataSet) {
    if (!FDataSet->HasStore()) RaiseOle(kClosedText, E_FAIL);
    FDataSet->SaveRowsToStream(bytes);
  } else {
    if (!FStore) RaiseOle(kClosedText, E_FAIL);
    WriteDataFile(bytes, kADODataSetMagic, *FStore);
  }
  OleCheck(WriteAll(*stream, static_cast<const std::uint8_t*>(bytes.Memory()), static_cast<std::size_t>(bytes.Size())));
}

HRESULT TADORecordset::Open(IUnknown* Source, const Variant& ActiveConnection, int CursorType, int LockType, int Options) {
  (void)CursorType;
  (void)LockType;
  (void)Options;
  auto* stream = dynamic_cast<IStream*>(Source);
  if (stream == nullptr) {
    SetOleErrorText(u"The source of Open is not a stream");
    return E_INVALIDARG;
  }
  const bool missing = VarIsEmpty(ActiveConnection) || VarIsNull(ActiveConnection) ||
                       (VarType(ActiveConnection) == varError && ActiveConnection.VError() == DISP_E_PARAMNOTFOUND);
  if (!missing) {
    SetOleErrorText(u"A recordset opened from a stream takes no connection");
    return E_INVALIDARG;
  }
  if (IsOpen()) {
    SetOleErrorText(kOpenText);
    return E_FAIL;
  }
  std::vector<std::uint8_t> bytes;
  const HRESULT hr = ReadAll(*stream, bytes);
  if (Failed(hr)) return hr;
  try {
    std::size_t consumed = 0;
    FStore = ReadDataFile(bytes.data(), bytes.size(), kADODataSetMagic, consumed);
    return S_OK;
  } catch (const Exception& e) {
    SetOleErrorText(e.Message());
    return E_FAIL;
  }
}

void TADORecordset::Close() { FStore.reset(); }

// ---- dataset ----

TADODataSet::TADODataSet(TComponent* AOwner) : TMemEngineDataSet(AOwner, kADODataSetMagic), FRecordset(std::make_shared<TADORecordset>()) {
  FRecordset->FDataSet = this;
}

TADODataSet::~TADODataSet() {
  // The recordset may outlive us in someone's hands: it must not reach back into a freed dataset.
  if (FRecordset && FRecordset->FDataSet == this) FRecordset->FDataSet = nullptr;
}

void TADODataSet::SetRecordset(std::shared_ptr<TADORecordset> Value) {
  if (!Value) DatabaseError(u"No recordset", this);
  if (Value == FRecordset) return;
  if (Value->FDataSet != nullptr) DatabaseError(u"The recordset belongs to another dataset", this);
  if (!Value->FStore) DatabaseError(kClosedText, this);
  AdoptStore(std::move(Value->FStore));
  FRecordset->FDataSet = nullptr;
  FRecordset = std::move(Value);
  FRecordset->FDataSet = this;
}

void TADODataSet::SaveToFile(const String& FileName, TPersistFormat Format) {
  if (Format != pfADTG) DatabaseError(u"Only the ADTG persistence format is supported", this);
  SaveRowsToFile(FileName);
}

void TADODataSet::LoadFromFile(const String& FileName) { LoadRowsFromFile(FileName); }
