#include "platform/zip/Zip.h"

#include <minizip/unzip.h>
#include <minizip/zip.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <mutex>

#include "platform/rtl/Format.h"

namespace {

constexpr uLong kUtf8NameFlag = 0x800;  // general purpose bit 11: the entry name is UTF-8
constexpr uLong kEncryptedFlag = 0x1;
constexpr size_t kChunk = 64 * 1024;
constexpr UInt64 kZip64Threshold = 0xFFFFFFFFull;

// ---- handler table ----

struct HandlerPair {
  TZipCompressor Compressor;
  TZipDecompressor Decompressor;
};

struct HandlerTable {
  std::mutex Lock;
  std::map<TZipCompression, HandlerPair> Pairs;
};

HandlerTable& Handlers() {
  static HandlerTable table;  // built on first use, not at load
  return table;
}

HandlerPair FindHandler(TZipCompression Compression) {
  HandlerTable& table = Handlers();
  std::lock_guard<std::mutex> guard(table.Lock);
  const auto it = table.Pairs.find(Compression);
  if (it == table.Pairs.end()) throw EZipException(Format(u"Unsupported compression method %d", {Compression}));
  return it->second;
}

// ---- streams the archive lends to handlers ----

// A read-only view of bytes the archive holds; handlers read their input from it.
class TReadOnlyBytesStream : public TCustomMemoryStream {
 public:
  TReadOnlyBytesStream(const Byte* Data, size_t Size) { SetPointer(const_cast<Byte*>(Data), static_cast<Int64>(Size)); }
  Int64 Write(const void*, Int64) override { throw EZipException(u"Cannot write to a read-only stream"); }
};

// Passes a decompressor's output on, counting it and taking its CRC-32, and refuses more than the
// entry declared: a hostile entry cannot fill the disk beyond the size its directory admits.
class TCheckedOutputStream : public TStream {
 public:
  TCheckedOutputStream(TStream& Target, UInt64 Limit, const String& EntryName)
      : FTarget(Target), FLimit(Limit), FEntryName(EntryName) {}

  Int64 Read(void*, Int64) override { return 0; }
  Int64 Write(const void* Buffer, Int64 Count) override {
    if (Count <= 0) return 0;
    if (static_cast<UInt64>(Count) > FLimit - FCount)
      throw EZipException(Format(u"Zip entry \"%s\" holds more data than its declared size", {FEntryName}));
    FTarget.WriteBuffer(Buffer, Count);
    FCrc = crc32_z(FCrc, static_cast<const Bytef*>(Buffer), static_cast<z_size_t>(Count));
    FCount += static_cast<UInt64>(Count);
    return Count;
  }
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override {
    if (Offset == 0 && Origin != TSeekOrigin::soBeginning) return static_cast<Int64>(FCount);
    throw EZipException(u"Cannot seek in a zip output stream");
  }
  Int64 Size() override { return static_cast<Int64>(FCount); }

  UInt64 Count() const { return FCount; }
  Cardinal Crc() const { return static_cast<Cardinal>(FCrc); }

 private:
  TStream& FTarget;
  UInt64 FLimit;
  UInt64 FCount = 0;
  uLong FCrc = crc32_z(0, nullptr, 0);
  const String& FEntryName;
};

// minizip forgives an end record cut inside its comment length; an archive cut anywhere is refused
// here instead: the last end-of-directory record must be whole, comment included.
bool HasCompleteEndRecord(TStream& Stream) {
  constexpr Int64 kEndRecordSize = 22;
  const Int64 size = Stream.Size();
  if (size < kEndRecordSize) return false;
  const Int64 tail = std::min<Int64>(size, kEndRecordSize + 0xFFFF);
  std::vector<Byte> bytes(static_cast<size_t>(tail));
  Stream.SetPosition(size - tail);
  Stream.ReadBuffer(bytes.data(), tail);
  for (Int64 at = tail - kEndRecordSize; at >= 0; --at) {
    const Byte* p = bytes.data() + at;
    if (p[0] != 'P' || p[1] != 'K' || p[2] != 5 || p[3] != 6) continue;
    const Int64 comment = p[20] | (p[21] << 8);
    return at + kEndRecordSize + comment <= tail;
  }
  return false;
}

std::vector<Byte> ReadRest(TStream& Input) {
  std::vector<Byte> data;
  const Int64 size = Input.Size();
  const Int64 position = Input.Position();
  if (size > position) data.reserve(static_cast<size_t>(size - position));
  Byte chunk[kChunk];
  for (;;) {
    const Int64 n = Input.Read(chunk, sizeof chunk);
    if (n <= 0) break;
    data.insert(data.end(), chunk, chunk + n);
  }
  return data;
}

struct DeflateGuard {
  z_stream* Stream;
  bool Inflate;
  ~DeflateGuard() { Inflate ? inflateEnd(Stream) : deflateEnd(Stream); }
};

}  // namespace

// ---- raw deflate ----

void ZipDeflateRaw(TStream& Input, TStream& Output, int Level) {
  z_stream z{};
  if (deflateInit2(&z, Level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw EZipException(Format(u"Cannot start deflate at level %d", {Level}));
  DeflateGuard guard{&z, false};
  Byte in[kChunk];
  Byte out[kChunk];
  int flush = Z_NO_FLUSH;
  do {
    const Int64 n = Input.Read(in, sizeof in);
    flush = n <= 0 ? Z_FINISH : Z_NO_FLUSH;
    z.next_in = in;
    z.avail_in = n > 0 ? static_cast<uInt>(n) : 0;
    do {
      z.next_out = out;
      z.avail_out = sizeof out;
      const int rc = deflate(&z, flush);
      if (rc == Z_STREAM_ERROR) throw EZipException(u"Deflate failed");
      Output.WriteBuffer(out, static_cast<Int64>(sizeof out - z.avail_out));
    } while (z.avail_out == 0);
  } while (flush != Z_FINISH);
}

void ZipInflateRaw(TStream& Input, TStream& Output) {
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) throw EZipException(u"Cannot start inflate");
  DeflateGuard guard{&z, true};
  Byte in[kChunk];
  Byte out[kChunk];
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    const Int64 n = Input.Read(in, sizeof in);
    if (n <= 0) throw EZipException(u"Deflate data ends before its last block");
    z.next_in = in;
    z.avail_in = static_cast<uInt>(n);
    do {
      z.next_out = out;
      z.avail_out = sizeof out;
      rc = inflate(&z, Z_NO_FLUSH);
      if (rc == Z_NEED_DICT || rc == Z_DATA_ERROR || rc == Z_MEM_ERROR || rc == Z_STREAM_ERROR)
        throw EZipException(u"Invalid deflate data");
      Output.WriteBuffer(out, static_cast<Int64>(sizeof out - z.avail_out));
    } while (rc != Z_STREAM_END && (z.avail_out == 0 || z.avail_in > 0));
  }
}

void InitializeZipUnit() {
  TZipFile::RegisterCompressionHandler(
      zcStored, [](TStream& Input, TStream& Output) { Output.CopyFrom(&Input, 0); },
      [](TStream& Input, TStream& Output) { Output.CopyFrom(&Input, 0); });
  TZipFile::RegisterCompressionHandler(
      zcDeflate, [](TStream& Input, TStream& Output) { ZipDeflateRaw(Input, Output, Z_DEFAULT_COMPRESSION); },
      [](TStream& Input, TStream& Output) { ZipInflateRaw(Input, Output); });
}

void TZipFile::RegisterCompressionHandler(TZipCompression Compression, TZipCompressor Compressor, TZipDecompressor Decompressor) {
  if (!Compressor || !Decompressor) throw EZipException(u"A compression handler needs a compressor and a decompressor");
  HandlerTable& table = Handlers();
  std::lock_guard<std::mutex> guard(table.Lock);
  table.Pairs[Compression] = HandlerPair{std::move(Compressor), std::move(Decompressor)};
}

// ---- entry names ----

bool IsSafeZipEntryName(std::u16string_view Name) {
  if (Name.empty()) return false;
  if (Name.front() == u'/' || Name.front() == u'\\') return false;
  if (Name.size() >= 2 && Name[1] == u':') return false;  // "C:..." names a drive, "C:x" is drive-relative
  size_t start = 0;
  while (start <= Name.size()) {
    size_t end = Name.find_first_of(u"/\\", start);
    if (end == std::u16string_view::npos) end = Name.size();
    const std::u16string_view part = Name.substr(start, end - start);
    if (part == u"..") return false;
    if (part.find(u'\0') != std::u16string_view::npos) return false;
    start = end + 1;
  }
  return true;
}

// ---- minizip over a TStream ----

// minizip is C: nothing may unwind through it, so the callbacks catch and report failure by result.
struct TZipFile::TState {
  TStream* Stream = nullptr;
  bool Failed = false;
  zlib_filefunc64_def Functions{};
  zipFile Writer = nullptr;
  unzFile Reader = nullptr;

  static voidpf OpenFn(voidpf opaque, const void*, int) { return opaque; }
  // No exception may cross the C library: a throwing stream marks the state failed, which ErrorFn
  // reports, and the call returns the library's failure value.
  template <class Result, class Call>
  static Result Guarded(voidpf stream, Result OnFailure, Call call) {
    auto* self = static_cast<TState*>(stream);
    try {
      return call(*self->Stream);
    } catch (...) {
      self->Failed = true;
      return OnFailure;
    }
  }
  static uLong ReadFn(voidpf, voidpf stream, void* buf, uLong size) {
    return Guarded(stream, uLong{0},
                   [&](TStream& s) { return static_cast<uLong>(s.Read(buf, static_cast<Int64>(size))); });
  }
  static uLong WriteFn(voidpf, voidpf stream, const void* buf, uLong size) {
    return Guarded(stream, uLong{0},
                   [&](TStream& s) { return static_cast<uLong>(s.Write(buf, static_cast<Int64>(size))); });
  }
  static ZPOS64_T TellFn(voidpf, voidpf stream) {
    return Guarded(stream, static_cast<ZPOS64_T>(-1), [](TStream& s) {
      const Int64 p = s.Position();
      return p < 0 ? static_cast<ZPOS64_T>(-1) : static_cast<ZPOS64_T>(p);
    });
  }
  static long SeekFn(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    return Guarded(stream, -1L, [&](TStream& s) -> long {
      const TSeekOrigin o = origin == ZLIB_FILEFUNC_SEEK_SET   ? TSeekOrigin::soBeginning
                            : origin == ZLIB_FILEFUNC_SEEK_CUR ? TSeekOrigin::soCurrent
                                                               : TSeekOrigin::soEnd;
      if (offset > static_cast<ZPOS64_T>(INT64_MAX)) return -1;
      return s.Seek(static_cast<Int64>(offset), o) < 0 ? -1 : 0;
    });
  }
  static int CloseFn(voidpf, voidpf) { return 0; }
  static int ErrorFn(voidpf, voidpf stream) { return static_cast<TState*>(stream)->Failed ? 1 : 0; }

  explicit TState(TStream* AStream) : Stream(AStream) {
    Functions.zopen64_file = OpenFn;
    Functions.zread_file = ReadFn;
    Functions.zwrite_file = WriteFn;
    Functions.ztell64_file = TellFn;
    Functions.zseek64_file = SeekFn;
    Functions.zclose_file = CloseFn;
    Functions.zerror_file = ErrorFn;
    Functions.opaque = this;
  }
  ~TState() {
    if (Writer) zipClose(Writer, nullptr);
    if (Reader) unzClose(Reader);
  }
};

TZipFile::TZipFile() = default;

TZipFile::~TZipFile() {
  try {
    Close();
  } catch (const Exception&) {
    // A destructor cannot report; Close's own caller sees the error.
  }
}

void TZipFile::CheckMode(TZipMode Wanted) const {
  if (FMode != Wanted)
    throw EZipException(Wanted == TZipMode::zmRead ? u"The zip archive is not open for reading" : u"The zip archive is not open for writing");
}

void TZipFile::Open(const String& ZipFileName, TZipMode OpenMode) {
  Close();
  if (OpenMode == TZipMode::zmClosed) return;
  std::unique_ptr<TStream> file;
  if (OpenMode == TZipMode::zmWrite) {
    file = std::make_unique<TFileStream>(ZipFileName, fmCreate);
  } else {
    if (!FileExists(ZipFileName)) throw EZipException(Format(u"Zip archive \"%s\" does not exist", {ZipFileName}));
    try {
      file = std::make_unique<TFileStream>(ZipFileName, fmOpenRead | fmShareDenyWrite);
    } catch (const EFOpenError& e) {
      throw EZipException(e.Message());
    }
  }
  OpenOn(file.get(), OpenMode);
  FOwnedStream = std::move(file);
}

void TZipFile::Open(TStream* Stream, TZipMode OpenMode) {
  Close();
  if (OpenMode == TZipMode::zmClosed) return;
  if (Stream == nullptr) throw EZipException(u"No stream to open a zip archive on");
  OpenOn(Stream, OpenMode);
}

void TZipFile::OpenOn(TStream* Stream, TZipMode OpenMode) {
  auto state = std::make_unique<TState>(Stream);
  if (OpenMode == TZipMode::zmWrite) {
    state->Writer = zipOpen2_64("stream", APPEND_STATUS_CREATE, nullptr, &state->Functions);
    if (!state->Writer) throw EZipException(u"Cannot start a zip archive");
  } else {
    bool complete = false;
    try {
      complete = HasCompleteEndRecord(*Stream);
    } catch (const EStreamError&) {
    }
    if (complete) state->Reader = unzOpen2_64("stream", &state->Functions);
    if (!state->Reader) throw EZipException(u"Invalid zip archive: no readable directory (the file is truncated or not a zip archive)");
  }
  FState = std::move(state);
  FMode = OpenMode;
  if (OpenMode == TZipMode::zmRead) {
    try {
      ReadDirectory();
    } catch (...) {
      FState.reset();
      FMode = TZipMode::zmClosed;
      FEntries.clear();
      throw;
    }
  }
}

void TZipFile::ReadDirectory() {
  unzFile uf = FState->Reader;
  const Int64 archive_size = FState->Stream->Size();
  int rc = unzGoToFirstFile(uf);
  while (rc == UNZ_OK) {
    unz_file_info64 info{};
    if (unzGetCurrentFileInfo64(uf, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
      throw EZipException(u"Invalid zip archive: unreadable directory entry");
    std::string raw(info.size_filename, '\0');
    if (unzGetCurrentFileInfo64(uf, &info, raw.data(), static_cast<uLong>(raw.size()), nullptr, 0, nullptr, 0) != UNZ_OK)
      throw EZipException(u"Invalid zip archive: unreadable directory entry");
    unz64_file_pos pos{};
    if (unzGetFilePos64(uf, &pos) != UNZ_OK) throw EZipException(u"Invalid zip archive: unreadable directory entry");
    TEntry e;
    // Names without the UTF-8 flag are taken as UTF-8 as well: the archives of this system carry
    // ASCII names, which read the same either way.
    e.Name = UTF8ToString(raw);
    e.Method = static_cast<TZipCompression>(info.compression_method);
    e.Crc32 = static_cast<Cardinal>(info.crc);
    e.CompressedSize = info.compressed_size;
    e.UncompressedSize = info.uncompressed_size;
    e.DirectoryOffset = pos.pos_in_zip_directory;
    e.Number = pos.num_of_file;
    e.Encrypted = (info.flag & kEncryptedFlag) != 0;
    if (e.CompressedSize > static_cast<UInt64>(archive_size))
      throw EZipException(Format(u"Invalid zip archive: entry \"%s\" claims more bytes than the archive holds", {e.Name}));
    FEntries.push_back(std::move(e));
    rc = unzGoToNextFile(uf);
  }
  if (rc != UNZ_END_OF_LIST_OF_FILE) throw EZipException(u"Invalid zip archive: the directory is damaged");
}

void TZipFile::Close() {
  const TZipMode mode = FMode;
  // The stream outlives the minizip state that writes through it.
  std::unique_ptr<TStream> owned = std::move(FOwnedStream);
  std::unique_ptr<TState> state = std::move(FState);
  FMode = TZipMode::zmClosed;
  FEntries.clear();
  if (!state) return;
  if (mode == TZipMode::zmWrite) {
    zipFile writer = state->Writer;
    state->Writer = nullptr;
    const int rc = zipClose(writer, nullptr);
    if (rc != ZIP_OK || state->Failed) throw EZipException(u"Cannot write the zip archive's directory");
  }
}

const String& TZipFile::FileName(int Index) const {
  if (Index < 0 || Index >= FileCount()) throw EZipException(Format(u"Zip entry index %d out of bounds", {Index}));
  return FEntries[static_cast<size_t>(Index)].Name;
}

void TZipFile::Add(const String& FileName, const String& ArchiveFileName, TZipCompression Compression) {
  CheckMode(TZipMode::zmWrite);
  TFileStream file(FileName, fmOpenRead | fmShareDenyWrite);
  Add(file, ArchiveFileName.empty() ? ExtractFileName(FileName) : ArchiveFileName, Compression);
}

void TZipFile::Add(TStream& Data, const String& ArchiveFileName, TZipCompression Compression) {
  CheckMode(TZipMode::zmWrite);
  if (ArchiveFileName.empty()) throw EZipException(u"A zip entry needs a name");
  const HandlerPair handler = FindHandler(Compression);

  const std::vector<Byte> original = ReadRest(Data);
  const uLong crc = crc32_z(crc32_z(0, nullptr, 0), original.data(), original.size());
  TMemoryStream packed;
  {
    TReadOnlyBytesStream input(original.data(), original.size());
    handler.Compressor(input, packed);
  }

  const std::string name = StringToUTF8(ArchiveFileName);
  const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  zip_fileinfo info{};
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  info.tmz_date.tm_sec = static_cast<uInt>(local.tm_sec);
  info.tmz_date.tm_min = static_cast<uInt>(local.tm_min);
  info.tmz_date.tm_hour = static_cast<uInt>(local.tm_hour);
  info.tmz_date.tm_mday = static_cast<uInt>(local.tm_mday);
  info.tmz_date.tm_mon = static_cast<uInt>(local.tm_mon);
  info.tmz_date.tm_year = static_cast<uInt>(local.tm_year + 1900);

  zipFile zf = FState->Writer;
  const int zip64 = original.size() >= kZip64Threshold || static_cast<UInt64>(packed.Size()) >= kZip64Threshold ? 1 : 0;
  // Raw mode: minizip writes the handler's bytes untouched and takes CRC and size from us.
  if (zipOpenNewFileInZip4_64(zf, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Compression, Z_DEFAULT_COMPRESSION,
                              1, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY, nullptr, 0, 0, ascii ? 0 : kUtf8NameFlag, zip64) != ZIP_OK)
    throw EZipException(Format(u"Cannot add \"%s\" to the zip archive (method %d)", {ArchiveFileName, Compression}));
  const Byte* p = static_cast<const Byte*>(packed.Memory());
  Int64 left = packed.Size();
  bool ok = true;
  while (ok && left > 0) {
    const unsigned n = static_cast<unsigned>(std::min<Int64>(left, 1 << 30));
    ok = zipWriteInFileInZip(zf, p, n) == ZIP_OK;
    p += n;
    left -= n;
  }
  const bool closed = zipCloseFileInZipRaw64(zf, original.size(), crc) == ZIP_OK;
  if (!ok || !closed || FState->Failed) throw EZipException(Format(u"Cannot write \"%s\" into the zip archive", {ArchiveFileName}));
}

void TZipFile::ExtractEntry(int Index, TStream& Output) {
  const TEntry& e = FEntries[static_cast<size_t>(Index)];
  if (e.Encrypted) throw EZipException(Format(u"Zip entry \"%s\" is encrypted", {e.Name}));
  const HandlerPair handler = FindHandler(e.Method);
  unzFile uf = FState->Reader;
  unz64_file_pos pos{e.DirectoryOffset, e.Number};
  if (unzGoToFilePos64(uf, &pos) != UNZ_OK) throw EZipException(Format(u"Invalid zip archive: cannot find entry \"%s\"", {e.Name}));
  int method = 0;
  int level = 0;
  if (unzOpenCurrentFile2(uf, &method, &level, 1) != UNZ_OK)
    throw EZipException(Format(u"Invalid zip archive: the local header of \"%s\" is damaged", {e.Name}));
  std::vector<Byte> packed(static_cast<size_t>(e.CompressedSize));  // bounded by the archive size at Open
  size_t done = 0;
  int rc = 1;
  while (done < packed.size() && rc > 0) {
    const unsigned want = static_cast<unsigned>(std::min<size_t>(packed.size() - done, 1u << 30));
    rc = unzReadCurrentFile(uf, packed.data() + done, want);
    if (rc > 0) done += static_cast<size_t>(rc);
  }
  unzCloseCurrentFile(uf);
  if (done != packed.size() || FState->Failed)
    throw EZipException(Format(u"Invalid zip archive: the data of \"%s\" is truncated", {e.Name}));

  TReadOnlyBytesStream input(packed.data(), packed.size());
  TCheckedOutputStream checked(Output, e.UncompressedSize, e.Name);
  handler.Decompressor(input, checked);
  if (checked.Count() != e.UncompressedSize)
    throw EZipException(Format(u"Zip entry \"%s\" has %d bytes instead of %d", {e.Name, static_cast<Int64>(checked.Count()), static_cast<Int64>(e.UncompressedSize)}));
  if (checked.Crc() != e.Crc32) throw EZipException(Format(u"Zip entry \"%s\" fails its CRC-32 check", {e.Name}));
}

std::vector<Byte> TZipFile::ReadEntry(int Index) {
  CheckMode(TZipMode::zmRead);
  FileName(Index);
  TBytesStream out;
  ExtractEntry(Index, out);
  return out.Bytes();
}

void TZipFile::ExtractAll(const String& Path) {
  CheckMode(TZipMode::zmRead);
  // Every name is checked before anything is written: a hostile archive writes nothing at all.
  for (const TEntry& e : FEntries)
    if (!IsSafeZipEntryName(e.Name))
      throw EZipException(Format(u"Zip entry name \"%s\" is refused: it points outside the target folder", {e.Name}));
  const String base = Path.empty() ? String() : IncludeTrailingPathDelimiter(Path);
  for (int i = 0; i < FileCount(); ++i) {
    String name = FEntries[static_cast<size_t>(i)].Name;
    std::replace(name.begin(), name.end(), u'\\', u'/');
    const String target = base + name;
    if (name.back() == u'/') {
      if (!ForceDirectories(target)) throw EZipException(Format(u"Cannot create folder \"%s\"", {target}));
      continue;
    }
    const String folder = ExtractFilePath(target);
    if (!folder.empty() && !DirectoryExists(folder) && !ForceDirectories(folder))
      throw EZipException(Format(u"Cannot create folder \"%s\"", {folder}));
    // The entry goes to a side file first so a failing check leaves the old file as it was.
    const String temporary = target + u".unzipping";
    try {
      TFileStream out(temporary, fmCreate);
      ExtractEntry(i, out);
    } catch (...) {
      DeleteFile(temporary);
      throw;
    }
    if (!RenameFile(temporary, target)) {
      DeleteFile(temporary);
      throw EZipException(Format(u"Cannot replace file \"%s\"", {target}));
    }
  }
}

bool TZipFile::IsValid(const String& ZipFileName) {
  try {
    TZipFile zip;
    zip.Open(ZipFileName, TZipMode::zmRead);
    return true;
  } catch (const Exception&) {
    return false;
  }
}
