// The COM-style stream interface the ADO recordset reads and writes, and the platform's adapter that
// offers a TStream through it. Objects live by std::shared_ptr or on the stack; no reference counting
// of our own. Results are HRESULT codes as the interfaces define them; OleCheck turns a failure into
// EOleException carrying the failing object's error text.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/classes/Streams.h"
#include "platform/rtl/Variant.h"

using HRESULT = std::int32_t;
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
inline constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT STG_E_READFAULT = static_cast<HRESULT>(0x8003001Eu);
inline constexpr HRESULT STG_E_WRITEFAULT = static_cast<HRESULT>(0x8003001Du);
inline constexpr HRESULT STG_E_INVALIDFUNCTION = static_cast<HRESULT>(0x80030001u);
inline constexpr HRESULT DISP_E_PARAMNOTFOUND = static_cast<HRESULT>(0x80020004u);
inline constexpr bool Succeeded(HRESULT Result) { return Result >= 0; }
inline constexpr bool Failed(HRESULT Result) { return Result < 0; }

class EOleException : public Exception {
 public:
  EOleException(String Message, HRESULT ErrorCode) : Exception(std::move(Message)), FErrorCode(ErrorCode) {}
  HRESULT ErrorCode() const { return FErrorCode; }

 private:
  HRESULT FErrorCode;
};

// The error text of the last failing call on this thread (the failing object sets it), which OleCheck
// takes into its exception.
void SetOleErrorText(const String& Text);
// Raises EOleException for a failing Result, with the last error text or a generic one.
void OleCheck(HRESULT Result);

// The value an automation call receives for an argument left out.
inline Variant EmptyParam() { return Variant::MakeError(DISP_E_PARAMNOTFOUND); }

class IUnknown {
 public:
  virtual ~IUnknown() = default;
};

enum TStreamSeekOrigin : std::uint32_t { STREAM_SEEK_SET = 0, STREAM_SEEK_CUR = 1, STREAM_SEEK_END = 2 };

class IStream : public IUnknown {
 public:
  // pcbRead / pcbWritten / NewPosition may be null.
  virtual HRESULT Read(void* pv, std::uint32_t cb, std::uint32_t* pcbRead) = 0;
  virtual HRESULT Write(const void* pv, std::uint32_t cb, std::uint32_t* pcbWritten) = 0;
  virtual HRESULT Seek(Int64 Move, TStreamSeekOrigin Origin, UInt64* NewPosition) = 0;
  virtual HRESULT SetSize(UInt64 NewSize) = 0;
  virtual HRESULT GetSize(UInt64* Size) = 0;
};

enum TStreamOwnership { soReference, soOwned };

// Offers a TStream as an IStream. With soReference (the usual case) the stream stays the caller's; with
// soOwned the adapter frees it.
class TStreamAdapter : public IStream {
 public:
  explicit TStreamAdapter(TStream* Stream, TStreamOwnership Ownership = soReference);
  ~TStreamAdapter() override;
  TStreamAdapter(const TStreamAdapter&) = delete;
  TStreamAdapter& operator=(const TStreamAdapter&) = delete;

  TStream* Stream() const { return FStream; }
  TStreamOwnership StreamOwnership() const { return FOwnership; }

  HRESULT Read(void* pv, std::uint32_t cb, std::uint32_t* pcbRead) override;
  HRESULT Write(const void* pv, std::uint32_t cb, std::uint32_t* pcbWritten) override;
  HRESULT Seek(Int64 Move, TStreamSeekOrigin Origin, UInt64* NewPosition) override;
  HRESULT SetSize(UInt64 NewSize) override;
  HRESULT GetSize(UInt64* Size) override;

 private:
  TStream* FStream;
  TStreamOwnership FOwnership;
  std::unique_ptr<TStream> FOwned;  // set only with soOwned
};
