#include "app/EnforceMaxZipFileCompression.h"

#include <zlib.h>

#include <array>

#include "platform/zip/Zip.h"

namespace {

constexpr int kLevel = 9;
constexpr int kWindowBits = 15;  // negative when passed: raw deflate
constexpr int kMemLevel = 8;
constexpr std::size_t kChunk = 64 * 1024;

// Owns a zlib stream so an exception from a stream read or write still ends it.
template <int (*End)(z_streamp)>
struct ZStream {
  z_stream z{};
  bool open = false;
  ~ZStream() {
    if (open) End(&z);
  }
};

[[noreturn]] void Fail(const char* what, int code) {
  throw EZipException(Str(std::string(what) + " failed (zlib " + std::to_string(code) + ")"));
}

}  // namespace

void MaxDeflateCompress(TStream& Input, TStream& Output) {
  ZStream<deflateEnd> s;
  const int init = deflateInit2(&s.z, kLevel, Z_DEFLATED, -kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY);
  if (init != Z_OK) Fail("deflateInit2", init);
  s.open = true;
  std::array<Byte, kChunk> in{};
  std::array<Byte, kChunk> out{};
  int flush = Z_NO_FLUSH;
  do {
    const Int64 got = Input.Read(in.data(), static_cast<Int64>(in.size()));
    flush = got < static_cast<Int64>(in.size()) ? Z_FINISH : Z_NO_FLUSH;
    s.z.next_in = in.data();
    s.z.avail_in = static_cast<uInt>(got);
    do {
      s.z.next_out = out.data();
      s.z.avail_out = static_cast<uInt>(out.size());
      const int rc = deflate(&s.z, flush);
      if (rc == Z_STREAM_ERROR) Fail("deflate", rc);
      Output.WriteBuffer(out.data(), static_cast<Int64>(out.size() - s.z.avail_out));
    } while (s.z.avail_out == 0);
  } while (flush != Z_FINISH);
}

void MaxDeflateDecompress(TStream& Input, TStream& Output) {
  ZStream<inflateEnd> s;
  const int init = inflateInit2(&s.z, -kWindowBits);
  if (init != Z_OK) Fail("inflateInit2", init);
  s.open = true;
  std::array<Byte, kChunk> in{};
  std::array<Byte, kChunk> out{};
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    const Int64 got = Input.Read(in.data(), static_cast<Int64>(in.size()));
    if (got == 0) throw EZipException(u"Deflate data ends before its last block");
    s.z.next_in = in.data();
    s.z.avail_in = static_cast<uInt>(got);
    do {
      s.z.next_out = out.data();
      s.z.avail_out = static_cast<uInt>(out.size());
      rc = inflate(&s.z, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) Fail("inflate", rc);
      Output.WriteBuffer(out.data(), static_cast<Int64>(out.size() - s.z.avail_out));
    } while (s.z.avail_out == 0 && rc != Z_STREAM_END);
  }
}

void InitializeEnforceMaxZipFileCompression() {
  TZipFile::RegisterCompressionHandler(zcDeflate, MaxDeflateCompress, MaxDeflateDecompress);
}
