// The "TD" stream format of the field-list dataset: field descriptors, then the rows of the view.
// All integers little-endian; offsets from the start of the stream.
//
// Header
//   offset  size  content
//   0       2     signature: kSignature 0x4454 ("TD", with descriptors) or kRowsSignature 0x5254
//                 ("TR", rows only, read into the fields the dataset already has)
//   2       2     version: kVersion 1 (written; not examined on reading)
//   4       4     std::int32_t N: number of field descriptors ("TD" only); N <= 0 means none
//
// Field descriptor, N times, in field order ("TD" only)
//   size  content
//   4     std::int32_t size: Size (characters) for ftString, ftWideString, ftGuid; the native DataSize for every
//         other type (ftVarBytes: Size + 2; blob types 0)
//   1     type code (TFieldType ordinal); bit 7 (kKeyFlag) set marks a key field
//   2     name length L in bytes, even, at most kMaxNameLength
//   L     field name, UTF-16LE, no terminator
//
// Rows, until the end of the stream (no count, no end marker); per written field, in descriptor order:
//   blob field:   std::int32_t length, then that many bytes (a null blob: length 0, nothing follows)
//   other field:  has-value byte (0 null: nothing follows; 1 value), then
//                   ftString, ftWideString, ftGuid: std::int32_t length in bytes, then the text in the field's
//                   encoding (system code page; UTF-16LE for ftWideString), no terminator
//                   every other type: DataSize bytes of the native value
//
// The reader trusts nothing: every count and length is checked against the bytes that remain before
// anything is allocated, and rows go into a store that is not the dataset's until the whole stream read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engines/fieldlist/IdRecordStore.h"

class TStream;

namespace idstream {

inline constexpr std::uint16_t kSignature = 0x4454;      // "TD"
inline constexpr std::uint16_t kRowsSignature = 0x5254;  // "TR"
inline constexpr std::uint16_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 8;
inline constexpr std::size_t kRowsHeaderSize = 4;  // a "TR" stream has no descriptor count
inline constexpr int kMaxNameLength = 256;
inline constexpr Byte kKeyFlag = 0x80;
inline constexpr int kGuidSize = 38;  // the size an ftGuid descriptor must give

// Raised as plain exceptions, not as the dataset error.
inline constexpr char16_t SStreamIncorrect[] = u"The stream is incorrect";
inline constexpr char16_t SDataIncorrect[] = u"The data is incorrect";

struct TIdFieldDescriptor {
  String Name;
  int DataType = 0;
  int Size = 0;  // the field's declared Size (characters or bytes), as the field is to be made
  bool InKey = false;
};

// The descriptor's stored size of a field: Size for texts, DataSize otherwise (0 for blobs).
int DescriptorSize(int DataType, int Size);

// ---- writing ----
// The writer measures first and then writes into memory it is given, so that a save fills its
// destination once, without growing or copying it.
//
// Bytes of the header and descriptors; raises (before anything is written) for a name longer than
// kMaxNameLength bytes.
std::size_t HeaderSize(std::span<const TIdFieldDescriptor> Descriptors);
// Writes exactly HeaderSize bytes and returns the end of what it wrote.
Byte* WriteHeader(Byte* Out, std::span<const TIdFieldDescriptor> Descriptors);
// The rows a save writes, in order, read where they lie: a save of millions of rows does not first
// gather their addresses into fresh memory.
class TRowSource {
 public:
  virtual std::size_t Count() const = 0;
  virtual const Byte* Row(std::size_t I) const = 0;

 protected:
  ~TRowSource() = default;
};

// The whole stream, as every save writes it: a "TD" header, one descriptor per field and one row per
// block of Rows (the values of Fields, in order). A memory stream is sized once and written in place;
// any other stream is emptied and gets the bytes in blocks of TByteWriter::kBlockSize. Raises (before
// writing) what HeaderSize raises.
void Write(TStream& Stream, std::span<const TIdFieldDescriptor> Descriptors,
           std::span<const TIdField* const> Fields, const TRowSource& Rows);
// The same for rows already gathered.
void Write(TStream& Stream, std::span<const TIdFieldDescriptor> Descriptors,
           std::span<const TIdField* const> Fields, std::span<const Byte* const> Rows);

// ---- reading ----
struct TIdStreamHeader {
  bool HasDescriptors = false;  // "TD"; false for "TR"
  std::vector<TIdFieldDescriptor> Descriptors;
  std::size_t RowsOffset = 0;
};

// The signature and, for "TD", the descriptors. Raises SStreamIncorrect / SDataIncorrect.
TIdStreamHeader ReadHeader(std::span<const Byte> Data);
// Appends the rows at Data[Offset..] to Store. The fields read are the store's fields not made from
// VirtualFieldDefs, in store order; the others get their default (zero, null or the bookmark number).
// A store whose every field is virtual reads no rows. Raises SStreamIncorrect on a short or hostile row.
void ReadRows(std::span<const Byte> Data, std::size_t Offset, TIdRecordStore& Store);
// The same from a stream that is not in memory (a file), read in blocks from the stream's start (the
// header) or from Offset (the rows) to its end.
TIdStreamHeader ReadHeader(TStream& Stream);
void ReadRows(TStream& Stream, std::size_t Offset, TIdRecordStore& Store);

}  // namespace idstream
