// platform/zip: the platform's zip archive class TZipFile and its registry of compression handlers. It
// owns the archive it opens and the handler table; it calls platform/classes (streams, files), zlib and
// minizip; the application calls it to write and extract the zip companion of a data file.
//
// Handlers. An archive entry's method selects a compressor/decompressor pair from one process-wide
// table, one pair per method; a later registration replaces an earlier one. The archive writes exactly
// the compressor's bytes (minizip runs in raw mode: it never compresses itself) and computes the CRC-32
// and sizes from the original bytes, so what the handler produces is what lands in the archive.
// InitializeZipUnit registers the platform's own handlers: method 0 (stored) and method 8 (raw deflate
// at zlib's default level). There is no static initialiser: main calls InitializeZipUnit before any
// module that replaces a handler. minizip writes and reads entries of methods 0 and 8 only, so a
// handler registered for another method is kept but Add and extraction of such entries raise.
//
// Layout: the published ZIP format (local headers, data, central directory, end record), as minizip
// writes and reads it. Entry names are UTF-8 (general purpose flag bit 11 when not plain ASCII).
//
// Extraction refuses, before writing anything, an archive that holds an entry name with a ".."
// component, an absolute path or a drive prefix: an archive is a file anyone can replace, and its
// names must not reach outside the target folder. Each entry is written to a temporary file beside its
// target and moved over the target only once its size and CRC-32 checked out, so a corrupt archive
// leaves the existing file alone.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/classes/Files.h"
#include "platform/classes/Streams.h"

// Compression methods of the ZIP format the platform knows by name.
using TZipCompression = int;
inline constexpr TZipCompression zcStored = 0;
inline constexpr TZipCompression zcDeflate = 8;

// A compressor reads Input from its position to its end and writes the method's bytes to Output.
using TZipCompressor = std::function<void(TStream& Input, TStream& Output)>;
// A decompressor reads an entry's stored bytes from Input and writes the original bytes to Output. The
// archive bounds Output by the entry's declared size: writing more raises EZipException.
using TZipDecompressor = std::function<void(TStream& Input, TStream& Output)>;

// zlib's raw deflate (no header, no trailer; window 2^15, memory level 8, default strategy) at Level,
// and its inverse. Handlers are built from these; both raise EZipException on a zlib failure, and
// ZipInflateRaw also on input that ends before the deflate stream does.
void ZipDeflateRaw(TStream& Input, TStream& Output, int Level);
void ZipInflateRaw(TStream& Input, TStream& Output);

// Registers the platform's stored and Deflate handlers (raw deflate at the default level). Calling it
// again puts the platform's handlers back.
void InitializeZipUnit();
// Adds the zip unit (init: InitializeZipUnit) to the program's ordered unit list.
class TUnitList;
void RegisterZipUnit(TUnitList& Units);

enum class TZipMode { zmClosed, zmRead, zmWrite };

class TZipFile : public TObject {
  VELLUM_CLASS(TZipFile)
 public:
  TZipFile();
  // Closes an open archive; a failure to write the directory here is lost, call Close to see it.
  ~TZipFile() override;

  // zmWrite creates the file, replacing one that exists; zmRead opens an existing archive and reads its
  // directory. Raises EZipException for a missing, unreadable or malformed archive.
  void Open(const String& ZipFileName, TZipMode OpenMode);
  // The same over a stream the archive borrows (it must outlive the archive's Close).
  void Open(TStream* Stream, TZipMode OpenMode);
  // Writing: writes the central directory and the end record. Always leaves the archive closed.
  void Close();
  TZipMode Mode() const { return FMode; }

  // Adds the file's bytes through the method's registered compressor. An empty ArchiveFileName names
  // the entry by the file's name without its folder. Raises EZipException for a method without handler.
  void Add(const String& FileName, const String& ArchiveFileName = String(), TZipCompression Compression = zcDeflate);
  void Add(TStream& Data, const String& ArchiveFileName, TZipCompression Compression = zcDeflate);

  // Reading: the entries of the directory.
  int FileCount() const { return static_cast<int>(FEntries.size()); }
  const String& FileName(int Index) const;
  // Extracts every entry into Path (empty: the current folder), creating folders and replacing files.
  void ExtractAll(const String& Path = String());
  // The bytes of one entry, checked like an extraction.
  std::vector<Byte> ReadEntry(int Index);

  static void RegisterCompressionHandler(TZipCompression Compression, TZipCompressor Compressor, TZipDecompressor Decompressor);
  // True when the file opens as an archive with a readable directory.
  static bool IsValid(const String& ZipFileName);

  // One entry of the directory as read at Open.
  struct TEntry {
    String Name;
    TZipCompression Method = 0;
    Cardinal Crc32 = 0;
    UInt64 CompressedSize = 0;
    UInt64 UncompressedSize = 0;
    UInt64 DirectoryOffset = 0;  // where minizip finds the entry again
    UInt64 Number = 0;
    bool Encrypted = false;
  };
  struct TState;

 private:
  void OpenOn(TStream* Stream, TZipMode OpenMode);
  void ReadDirectory();
  void ExtractEntry(int Index, TStream& Output);
  void CheckMode(TZipMode Wanted) const;

  TZipMode FMode = TZipMode::zmClosed;
  std::unique_ptr<TStream> FOwnedStream;
  std::unique_ptr<TState> FState;
  std::vector<TEntry> FEntries;
};

// True when Name may be extracted beneath a folder: not empty, not absolute, no drive prefix, no ".."
// component ('/' and '\' both separate components).
bool IsSafeZipEntryName(std::u16string_view Name);
