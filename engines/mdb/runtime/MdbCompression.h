// Block compression: the one entry through which the engine compresses a table stream body or a BLOB
// block, the zlib and bzip2 wrappers behind it, and the algorithm names of column definitions.
//
// Framing: none is added. A zlib buffer is exactly one zlib stream (default window, memory level 8,
// default strategy, level = the mode 0..9); a bzip2 buffer is exactly one bzip2 stream (block size =
// the mode 1..9); a PPM buffer is the PPM coder's format (MdbPPM.h, modes 1..9). The uncompressed size
// is not stored: the caller keeps it and passes it back as the expected size.
//
// CompressBuffer and DecompressBuffer never raise: a failure of a library, of memory, a bad mode or
// damaged input gives False, with OutBuf nil. Their output buffers come from the runtime heap and are
// released with FreeRuntimeBuffer. The wrappers keep all state in the call's own stream record, so
// calls may run on several threads at once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "engines/mdb/runtime/MdbTypes.h"
#include "platform/rtl/Exceptions.h"

VELLUM_DECLARE_EXCEPTION(EZlibError, Exception)
VELLUM_DECLARE_EXCEPTION(ECompressionError, EZlibError)
VELLUM_DECLARE_EXCEPTION(EBZip2Error, Exception)
VELLUM_DECLARE_EXCEPTION(EBZCompressionError, EBZip2Error)
VELLUM_DECLARE_EXCEPTION(EBZDecompressionError, EBZip2Error)

bool CompressBuffer(TMdbCompressionAlgorithm Algorithm, Byte Mode, const void* InBuf, std::int32_t InSize, void*& OutBuf,
                    std::int32_t& OutSize);
// On entry OutSize is the size the caller expects; on success the decompressed size.
bool DecompressBuffer(TMdbCompressionAlgorithm Algorithm, const void* InBuf, std::int32_t InSize, void*& OutBuf,
                      std::int32_t& OutSize);
// Releases a buffer of the runtime heap (the compression results) and sets it to nil.
void FreeRuntimeBuffer(void*& Buffer);

inline constexpr int kCompressionAlgorithmNameCount = 5;
// The index of the name (any case), 0 when none matches.
Byte CompressionAlgorithmFromName(const AnsiString& Name);
// "NONE", "ZLIB", "BZIP", "PPM", "PPMI"; empty for other indexes.
AnsiString CompressionAlgorithmName(Byte Index);

// One zlib stream made piece by piece: the pieces written in turn give the stream CompressBuffer(acaZLIB,
// Level) makes of them joined (level 0, which only stores, may cut its stored blocks elsewhere), handed
// to Sink in pieces of up to a megabyte as they come. Nothing of
// the input is held, so a large body is compressed without a copy of it in memory. Write and Finish
// raise ECompressionError on a failure of the library and pass on what Sink raises.
class TMdbZLibStreamWriter {
 public:
  using TSink = std::function<void(const void* Data, std::int32_t Size)>;
  TMdbZLibStreamWriter(int Level, TSink Sink);
  ~TMdbZLibStreamWriter();
  TMdbZLibStreamWriter(const TMdbZLibStreamWriter&) = delete;
  TMdbZLibStreamWriter& operator=(const TMdbZLibStreamWriter&) = delete;
  void Write(const void* Data, Int64 Size);
  void Finish();
  Int64 TotalIn() const { return FTotalIn; }
  Int64 TotalOut() const { return FTotalOut; }

 private:
  struct TState;
  void Pump(int Flush);
  std::unique_ptr<TState> FState;
  TSink FSink;
  Int64 FTotalIn = 0;
  Int64 FTotalOut = 0;
  bool FFinished = false;
};

// ---- wrappers (raise on failure unless noted) ------------------------------------------------------
void ZLibCompressBuffer(const void* InBuf, std::int32_t InBytes, void*& OutBuf, std::int32_t& OutBytes, int Level);
// Never raises: a failure leaves OutBuf nil and OutBytes 0.
void ZLibDecompressBuffer(const void* InBuf, std::int32_t InBytes, std::int32_t OutEstimate, void*& OutBuf,
                          std::int32_t& OutBytes);
// A negative code raises ECompressionError "ZLib error <code>: <zlib's text>".
int ZLibCheck(int Code);
void BZip2CompressBuffer(const void* InBuf, std::int32_t InBytes, void*& OutBuf, std::int32_t& OutBytes, int BlockSize100k);
void BZip2DecompressBuffer(const void* InBuf, std::int32_t InBytes, std::int32_t OutEstimate, void*& OutBuf,
                           std::int32_t& OutBytes);
int BZip2CompressCheck(int Code);    // EBZCompressionError "error %d"
int BZip2DecompressCheck(int Code);  // EBZDecompressionError "error %d"
// Raises EBZip2Error "Compression Error %d". The system's libbz2 handles its own internal errors;
// this is kept for callers that detect one themselves.
[[noreturn]] void BZip2InternalError(int ErrorCode);

// The model order and memory (MB) of a PPM mode 1..9; false for other modes.
bool PPMPreset(Byte Mode, int& Order, int& MemoryMB);
