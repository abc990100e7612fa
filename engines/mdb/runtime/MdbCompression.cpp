#include "engines/mdb/runtime/MdbCompression.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbPPM.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr std::int32_t RoundUp256(Int64 n) {
  return static_cast<std::int32_t>(std::min<Int64>((n + 255) / 256 * 256, std::numeric_limits<std::int32_t>::max() & ~255));
}

// Grows a runtime-heap buffer; raises EOutOfMemory when it cannot.
void Grow(void*& Buf, Int64 NewSize) {
  if (NewSize > std::numeric_limits<std::int32_t>::max()) throw EOutOfMemory(String(msg::SOutOfMemory));
  void* p = std::realloc(Buf, static_cast<std::size_t>(std::max<Int64>(NewSize, 1)));
  if (p == nullptr) throw EOutOfMemory(String(msg::SOutOfMemory));
  Buf = p;
}

void* ZAlloc(void*, uInt Items, uInt Size) {
  // calloc refuses an overflowing product itself.
  return std::calloc(Items, Size);
}
void ZFree(void*, void* Address) { std::free(Address); }

void* BzAlloc(void*, int Items, int Size) {
  if (Items < 0 || Size < 0) return nullptr;
  return std::calloc(static_cast<std::size_t>(Items), static_cast<std::size_t>(Size));
}
void BzFree(void*, void* Address) { std::free(Address); }

const char* ZLibText(int Code) {
  switch (Code) {
    case Z_ERRNO: return "file error";
    case Z_STREAM_ERROR: return "stream error";
    case Z_DATA_ERROR: return "data error";
    case Z_MEM_ERROR: return "insufficient memory";
    case Z_BUF_ERROR: return "buffer error";
    case Z_VERSION_ERROR: return "incompatible version";
    default: return "";
  }
}

const char* const kAlgorithmNames[kCompressionAlgorithmNameCount] = {"NONE", "ZLIB", "BZIP", "PPM", "PPMI"};

}  // namespace

void FreeRuntimeBuffer(void*& Buffer) {
  std::free(Buffer);
  Buffer = nullptr;
}

int ZLibCheck(int Code) {
  if (Code < 0) {
    String Text = SMdbZLibErrorPrefix;
    Text += IntToStr(Code) + u": " + Str(ZLibText(Code));
    throw ECompressionError(Text);
  }
  return Code;
}

void ZLibCompressBuffer(const void* InBuf, std::int32_t InBytes, void*& OutBuf, std::int32_t& OutBytes, int Level) {
  z_stream Z{};
  Z.zalloc = &ZAlloc;
  Z.zfree = &ZFree;
  OutBytes = RoundUp256(Int64(InBytes) + InBytes / 10 + 12);
  OutBuf = std::calloc(static_cast<std::size_t>(OutBytes), 1);
  if (OutBuf == nullptr) throw EOutOfMemory(String(msg::SOutOfMemory));
  try {
    ZLibCheck(deflateInit_(&Z, Level, ZLIB_VERSION, sizeof(z_stream)));
    try {
      Z.next_in = static_cast<Bytef*>(const_cast<void*>(InBuf));
      Z.avail_in = static_cast<uInt>(InBytes);
      Z.next_out = static_cast<Bytef*>(OutBuf);
      Z.avail_out = static_cast<uInt>(OutBytes);
      while (ZLibCheck(deflate(&Z, Z_FINISH)) != Z_STREAM_END) {
        Grow(OutBuf, Int64(OutBytes) + 256);
        OutBytes += 256;
        Z.next_out = static_cast<Bytef*>(OutBuf) + Z.total_out;
        Z.avail_out = static_cast<uInt>(OutBytes - Z.total_out);
      }
    } catch (...) {
      deflateEnd(&Z);
      throw;
    }
    ZLibCheck(deflateEnd(&Z));
    OutBytes = static_cast<std::int32_t>(Z.total_out);
    Grow(OutBuf, OutBytes);
  } catch (...) {
    FreeRuntimeBuffer(OutBuf);
    OutBytes = 0;
    throw;
  }
}

struct TMdbZLibStreamWriter::TState {
  static constexpr uInt kOut = 1 << 20;
  z_stream Z{};
  std::unique_ptr<Byte[]> Out = std::make_unique_for_overwrite<Byte[]>(kOut);
  ~TState() { deflateEnd(&Z); }
};

TMdbZLibStreamWriter::TMdbZLibStreamWriter(int Level, TSink Sink) : FSink(std::move(Sink)) {
  auto S = std::make_unique<TState>();
  S->Z.zalloc = &ZAlloc;
  S->Z.zfree = &ZFree;
  ZLibCheck(deflateInit_(&S->Z, Level, ZLIB_VERSION, sizeof(z_stream)));
  S->Z.next_out = S->Out.get();
  S->Z.avail_out = TState::kOut;
  FState = std::move(S);
}

TMdbZLibStreamWriter::~TMdbZLibStreamWriter() = default;

void TMdbZLibStreamWriter::Pump(int Flush) {
  z_stream& Z = FState->Z;
  for (;;) {
    const int r = ZLibCheck(deflate(&Z, Flush));
    if (Z.avail_out == 0 || (r == Z_STREAM_END && Z.avail_out < TState::kOut)) {
      const auto n = static_cast<std::int32_t>(TState::kOut - Z.avail_out);
      Z.next_out = FState->Out.get();
      Z.avail_out = TState::kOut;
      FTotalOut += n;
      FSink(FState->Out.get(), n);
    }
    if (r == Z_STREAM_END) return;
    if (Flush == Z_NO_FLUSH && Z.avail_in == 0) return;
  }
}

void TMdbZLibStreamWriter::Write(const void* Data, Int64 Size) {
  if (FFinished) throw ECompressionError(String(SMdbZLibErrorPrefix) + u"write after the end");
  const auto* P = static_cast<const Byte*>(Data);
  while (Size > 0) {
    // zlib counts in 32 bits: a larger piece goes in parts.
    const uInt n = static_cast<uInt>(std::min<Int64>(Size, 1 << 30));
    FState->Z.next_in = const_cast<Bytef*>(P);
    FState->Z.avail_in = n;
    Pump(Z_NO_FLUSH);
    P += n;
    Size -= n;
    FTotalIn += n;
  }
}

void TMdbZLibStreamWriter::Finish() {
  if (FFinished) return;
  FState->Z.next_in = nullptr;
  FState->Z.avail_in = 0;
  Pump(Z_FINISH);
  FFinished = true;
}

void ZLibDecompressBuffer(const void* InBuf, std::int32_t InBytes, std::int32_t OutEstimate, void*& OutBuf,
                          std::int32_t& OutBytes) {
  z_stream Z{};
  Z.zalloc = &ZAlloc;
  Z.zfree = &ZFree;
  const std::int32_t Step = std::max(RoundUp256(InBytes), 256);
  OutBytes = OutEstimate > 0 ? OutEstimate : Step;
  OutBuf = std::malloc(static_cast<std::size_t>(OutBytes));
  bool Initialised = false;
  try {
    if (OutBuf == nullptr || inflateInit_(&Z, ZLIB_VERSION, sizeof(z_stream)) < 0) throw EZlibError(u"inflate init");
    Initialised = true;
    Z.next_in = static_cast<Bytef*>(const_cast<void*>(InBuf));
    Z.avail_in = static_cast<uInt>(InBytes);
    Z.next_out = static_cast<Bytef*>(OutBuf);
    Z.avail_out = static_cast<uInt>(OutBytes);
    while (true) {
      const uLong InBefore = Z.total_in, OutBefore = Z.total_out;
      const int r = inflate(&Z, Z_NO_FLUSH);
      if (r < 0 || r == Z_NEED_DICT) throw EZlibError(u"inflate");
      if (r == Z_STREAM_END) break;
      if (Z.avail_out > 0 && Z.total_in == InBefore && Z.total_out == OutBefore) throw EZlibError(u"inflate stalled");
      if (Z.avail_out > 0) continue;
      // Grow by at least the input size, and geometrically, so a poor estimate costs no quadratic copying.
      const Int64 NewSize = Int64(OutBytes) + std::max<Int64>(Step, OutBytes / 2);
      Grow(OutBuf, NewSize);
      OutBytes = static_cast<std::int32_t>(NewSize);
      Z.next_out = static_cast<Bytef*>(OutBuf) + Z.total_out;
      Z.avail_out = static_cast<uInt>(OutBytes - Z.total_out);
    }
    Initialised = false;
    if (inflateEnd(&Z) < 0) throw EZlibError(u"inflate end");
    OutBytes = static_cast<std::int32_t>(Z.total_out);
    Grow(OutBuf, OutBytes);
  } catch (...) {
    if (Initialised) inflateEnd(&Z);
    FreeRuntimeBuffer(OutBuf);
    OutBytes = 0;
  }
}

int BZip2CompressCheck(int Code) {
  if (Code < 0) throw EBZCompressionError(Format(SMdbBZip2Error, {Code}));
  return Code;
}

int BZip2DecompressCheck(int Code) {
  if (Code < 0) throw EBZDecompressionError(Format(SMdbBZip2Error, {Code}));
  return Code;
}

void BZip2InternalError(int ErrorCode) { throw EBZip2Error(Format(SMdbBZip2InternalError, {ErrorCode})); }

void BZip2CompressBuffer(const void* InBuf, std::int32_t InBytes, void*& OutBuf, std::int32_t& OutBytes,
                         int BlockSize100k) {
  bz_stream B{};
  B.bzalloc = &BzAlloc;
  B.bzfree = &BzFree;
  OutBytes = RoundUp256(Int64(InBytes) + InBytes / 10 + 12);
  OutBuf = std::malloc(static_cast<std::size_t>(OutBytes));
  if (OutBuf == nullptr) throw EOutOfMemory(String(msg::SOutOfMemory));
  try {
    BZip2CompressCheck(BZ2_bzCompressInit(&B, BlockSize100k, 0, 0));
    try {
      B.next_in = static_cast<char*>(const_cast<void*>(InBuf));
      B.avail_in = static_cast<unsigned>(InBytes);
      B.next_out = static_cast<char*>(OutBuf);
      B.avail_out = static_cast<unsigned>(OutBytes);
      while (BZip2CompressCheck(BZ2_bzCompress(&B, BZ_FINISH)) != BZ_STREAM_END) {
        Grow(OutBuf, Int64(OutBytes) + 256);
        OutBytes += 256;
        B.next_out = static_cast<char*>(OutBuf) + B.total_out_lo32;
        B.avail_out = static_cast<unsigned>(OutBytes - B.total_out_lo32);
      }
    } catch (...) {
      BZ2_bzCompressEnd(&B);
      throw;
    }
    BZip2CompressCheck(BZ2_bzCompressEnd(&B));
    OutBytes = static_cast<std::int32_t>(B.total_out_lo32);
    Grow(OutBuf, OutBytes);
  } catch (...) {
    FreeRuntimeBuffer(OutBuf);
    OutBytes = 0;
    throw;
  }
}

void BZip2DecompressBuffer(const void* InBuf, std::int32_t InBytes, std::int32_t OutEstimate, void*& OutBuf,
                           std::int32_t& OutBytes) {
  bz_stream B{};
  B.bzalloc = &BzAlloc;
  B.bzfree = &BzFree;
  const std::int32_t Step = std::max(RoundUp256(InBytes), 256);
  OutBytes = OutEstimate > 0 ? OutEstimate : Step;
  OutBuf = std::malloc(static_cast<std::size_t>(OutBytes));
  if (OutBuf == nullptr) throw EOutOfMemory(String(msg::SOutOfMemory));
  try {
    BZip2DecompressCheck(BZ2_bzDecompressInit(&B, 0, 0));
    try {
      B.next_in = static_cast<char*>(const_cast<void*>(InBuf));
      B.avail_in = static_cast<unsigned>(InBytes);
      B.next_out = static_cast<char*>(OutBuf);
      B.avail_out = static_cast<unsigned>(OutBytes);
      while (true) {
        const unsigned InBefore = B.total_in_lo32, OutBefore = B.total_out_lo32;
        if (BZip2DecompressCheck(BZ2_bzDecompress(&B)) == BZ_STREAM_END) break;
        if (B.total_out_lo32 == 0) break;
        if (B.total_in_lo32 == InBefore && B.total_out_lo32 == OutBefore)
          throw EBZDecompressionError(Format(SMdbBZip2Error, {BZ_UNEXPECTED_EOF}));
        if (B.avail_out > 0) continue;
        const Int64 NewSize = Int64(OutBytes) + std::max<Int64>(Step, OutBytes / 2);
        Grow(OutBuf, NewSize);
        OutBytes = static_cast<std::int32_t>(NewSize);
        B.next_out = static_cast<char*>(OutBuf) + B.total_out_lo32;
        B.avail_out = static_cast<unsigned>(OutBytes - B.total_out_lo32);
      }
    } catch (...) {
      BZ2_bzDecompressEnd(&B);
      throw;
    }
    BZip2DecompressCheck(BZ2_bzDecompressEnd(&B));
    OutBytes = static_cast<std::int32_t>(B.total_out_lo32);
    Grow(OutBuf, OutBytes);
  } catch (...) {
    FreeRuntimeBuffer(OutBuf);
    OutBytes = 0;
    throw;
  }
}

bool PPMPreset(Byte Mode, int& Order, int& MemoryMB) {
  static constexpr int kOrder[9] = {2, 3, 4, 5, 7, 8, 10, 13, 16};
  static constexpr int kMemory[9] = {2, 3, 7, 16, 30, 30, 45, 100, 100};
  if (Mode < 1 || Mode > 9) return false;
  Order = kOrder[Mode - 1];
  MemoryMB = kMemory[Mode - 1];
  return true;
}

bool CompressBuffer(TMdbCompressionAlgorithm Algorithm, Byte Mode, const void* InBuf, std::int32_t InSize, void*& OutBuf,
                    std::int32_t& OutSize) {
  OutSize = 0;
  if (Algorithm == acaNone || InSize <= 0 || InBuf == nullptr) return false;
  try {
    switch (Algorithm) {
      case acaZLIB: ZLibCompressBuffer(InBuf, InSize, OutBuf, OutSize, Mode); break;
      case acaBZIP: BZip2CompressBuffer(InBuf, InSize, OutBuf, OutSize, Mode); break;
      case acaPPM: {
        int Order = 0, MemoryMB = 0;
        if (!PPMPreset(Mode, Order, MemoryMB)) return false;
        const Int64 Space = Int64(InSize) + InSize / 20 + 50;
        if (Space > std::numeric_limits<std::int32_t>::max()) return false;
        OutBuf = std::calloc(static_cast<std::size_t>(Space), 1);
        if (OutBuf == nullptr) return false;
        OutSize = PPMCompress(InBuf, static_cast<std::uint32_t>(InSize), OutBuf, static_cast<std::int32_t>(Space), Order,
                              MemoryMB);
        break;
      }
      default: return false;
    }
  } catch (...) {
    OutSize = 0;
  }
  if (OutSize <= 0) {
    if (OutBuf) FreeRuntimeBuffer(OutBuf);
    OutSize = 0;
    return false;
  }
  return true;
}

bool DecompressBuffer(TMdbCompressionAlgorithm Algorithm, const void* InBuf, std::int32_t InSize, void*& OutBuf,
                      std::int32_t& OutSize) {
  if (Algorithm == acaNone || InSize <= 0 || InBuf == nullptr) return false;
  const std::int32_t Expected = OutSize;
  OutSize = 0;
  try {
    switch (Algorithm) {
      case acaZLIB: ZLibDecompressBuffer(InBuf, InSize, Expected, OutBuf, OutSize); break;
      case acaBZIP: BZip2DecompressBuffer(InBuf, InSize, Expected, OutBuf, OutSize); break;
      case acaPPM:
        if (Expected <= 0) return false;
        OutBuf = std::calloc(static_cast<std::size_t>(Expected), 1);
        if (OutBuf == nullptr) return false;
        OutSize = PPMDecompress(InBuf, InSize, OutBuf, Expected);
        break;
      default: return false;
    }
  } catch (...) {
    OutSize = 0;
  }
  if (OutSize <= 0) {
    if (OutBuf) FreeRuntimeBuffer(OutBuf);
    OutSize = 0;
    return false;
  }
  return true;
}

Byte CompressionAlgorithmFromName(const AnsiString& Name) {
  const AnsiString Upper = AnsiUpperCase(std::string_view(Name));
  for (int i = 0; i < kCompressionAlgorithmNameCount; ++i)
    if (Upper == kAlgorithmNames[i]) return static_cast<Byte>(i);
  return 0;
}

AnsiString CompressionAlgorithmName(Byte Index) {
  return Index < kCompressionAlgorithmNameCount ? AnsiString(kAlgorithmNames[Index]) : AnsiString();
}
