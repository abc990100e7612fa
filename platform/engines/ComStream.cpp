#include "platform/engines/ComStream.h"

#include <cstdio>

namespace {
String& OleErrorText() {
  thread_local String text;  // made on first use on each thread
  return text;
}
}  // namespace

void SetOleErrorText(const String& Text) { OleErrorText() = Text; }

void OleCheck(HRESULT Result) {
  if (Succeeded(Result)) return;
  String text = std::move(OleErrorText());
  OleErrorText().clear();
  if (text.empty()) {
    char code[32];
    std::snprintf(code, sizeof code, "OLE error %08X", static_cast<unsigned>(Result));
    text = Str(code);
  }
  throw EOleException(std::move(text), Result);
}

TStreamAdapter::TStreamAdapter(TStream* Stream, TStreamOwnership Ownership) : FStream(Stream), FOwnership(Ownership) {
  if (Stream == nullptr) throw EArgumentException(u"A stream adapter needs a stream");
  if (Ownership == soOwned) FOwned.reset(Stream);
}

TStreamAdapter::~TStreamAdapter() = default;

// The stream may raise; an interface call must answer with a code instead.
HRESULT TStreamAdapter::Read(void* pv, std::uint32_t cb, std::uint32_t* pcbRead) {
  if (pcbRead) *pcbRead = 0;
  if (pv == nullptr && cb > 0) return E_INVALIDARG;
  try {
    const Int64 n = FStream->Read(pv, cb);
    if (pcbRead) *pcbRead = static_cast<std::uint32_t>(n);
    return n < static_cast<Int64>(cb) ? S_FALSE : S_OK;
  } catch (const std::exception& e) {
    SetOleErrorText(UTF8ToString(e.what()));
    return STG_E_READFAULT;
  }
}

HRESULT TStreamAdapter::Write(const void* pv, std::uint32_t cb, std::uint32_t* pcbWritten) {
  if (pcbWritten) *pcbWritten = 0;
  if (pv == nullptr && cb > 0) return E_INVALIDARG;
  try {
    const Int64 n = FStream->Write(pv, cb);
    if (pcbWritten) *pcbWritten = static_cast<std::uint32_t>(n);
    return n == static_cast<Int64>(cb) ? S_OK : STG_E_WRITEFAULT;
  } catch (const std::exception& e) {
    SetOleErrorText(UTF8ToString(e.what()));
    return STG_E_WRITEFAULT;
  }
}

HRESULT TStreamAdapter::Seek(Int64 Move, TStreamSeekOrigin Origin, UInt64* NewPosition) {
  if (Origin > STREAM_SEEK_END) return STG_E_INVALIDFUNCTION;
  try {
    const TSeekOrigin o = Origin == STREAM_SEEK_SET ? TSeekOrigin::soBeginning
                          : Origin == STREAM_SEEK_CUR ? TSeekOrigin::soCurrent
                                                      : TSeekOrigin::soEnd;
    const Int64 p = FStream->Seek(Move, o);
    if (p < 0) return STG_E_INVALIDFUNCTION;
    if (NewPosition) *NewPosition = static_cast<UInt64>(p);
    return S_OK;
  } catch (const std::exception& e) {
    SetOleErrorText(UTF8ToString(e.what()));
    return STG_E_INVALIDFUNCTION;
  }
}

HRESULT TStreamAdapter::SetSize(UInt64 NewSize) {
  try {
    FStream->SetSize(static_cast<Int64>(NewSize));
    return S_OK;
  } catch (const std::exception& e) {
    SetOleErrorText(UTF8ToString(e.what()));
    return E_FAIL;
  }
}

HRESULT TStreamAdapter::GetSize(UInt64* Size) {
  if (Size == nullptr) return E_INVALIDARG;
  try {
    *Size = static_cast<UInt64>(FStream->Size());
    return S_OK;
  } catch (const std::exception& e) {
    SetOleErrorText(UTF8ToString(e.what()));
    return E_FAIL;
  }
}
