// The data file format of the three platform engines: one self-describing binary layout whose first
// eight bytes name the engine class that wrote it. Files and streams carry the same bytes. All numbers
// are little-endian.
//
//   offset  size        meaning
//   0       8           magic of the engine class (kFDMemTableMagic, kClientDataSetMagic, kADODataSetMagic)
//   8       2           kDataFileVersion
//   10      2           flags, 0
//   12      4           F, the column count, 1 to kMaxDataFileColumns
//   16      ...         F column records:
//                         2    L, name length in UTF-16 units, 1 to kMaxColumnNameLength
//                         2L   name, UTF-16LE
//                         2    column type (TColumnType numbering)
//                         4    size (characters of text, bytes of byte columns, else 0), signed
//                         1    column flags: bit 0 required; other bits 0
//   ...     4           N, the row count
//   ...     ...         N rows, each:
//                         (F + 7) / 8   null bitmap, bit i set when column i is null; bits past F are 0
//                         then every non-null column in column order:
//                           fixed value     its native size in bytes (booleans 2 bytes, 1 = True)
//                           8-bit text      2-byte length (at most size), the bytes (system code page)
//                           UTF-16 text     2-byte length in units (at most size), 2 bytes per unit
//                           fixed bytes     size bytes
//                           var bytes       2-byte length (at most size), the bytes
//                           blob or memo    4-byte length, the bytes
//   ...     4           kDataFileEndMark
//
// The reader checks every count and length against the bytes that remain before it allocates or
// copies, builds a fresh store, and leaves the stream just past the end mark; bad input raises
// EMemDataFileError and the caller's store is untouched.
#pragma once

#include <array>
#include <memory>

#include "platform/classes/Streams.h"
#include "platform/engines/RowStore.h"

VELLUM_DECLARE_EXCEPTION(EMemDataFileError, EDatabaseError)

using TDataFileMagic = std::array<char, 8>;
inline constexpr TDataFileMagic kFDMemTableMagic = {'V', 'M', 'F', 'D', 'T', 'B', 'L', '\x1A'};
inline constexpr TDataFileMagic kClientDataSetMagic = {'V', 'M', 'C', 'D', 'S', 'B', 'N', '\x1A'};
inline constexpr TDataFileMagic kADODataSetMagic = {'V', 'M', 'A', 'D', 'O', 'T', 'G', '\x1A'};
inline constexpr std::uint16_t kDataFileVersion = 1;
inline constexpr std::uint32_t kDataFileEndMark = 0x444E4556;  // "VEND"
inline constexpr std::uint32_t kMaxDataFileColumns = 4096;
inline constexpr std::uint16_t kMaxColumnNameLength = 1024;
inline constexpr std::size_t kDataFileHeaderSize = 16;

// Writes Store's rows in their order, with Layout's columns, at Stream's position.
void WriteDataFile(TStream& Stream, const TDataFileMagic& Magic, TRowStore& Store);
// Reads one data file from Stream's position.
std::unique_ptr<TRowStore> ReadDataFile(TStream& Stream, const TDataFileMagic& Magic);
// The same over bytes in memory; Consumed is set to the bytes the file took.
std::unique_ptr<TRowStore> ReadDataFile(const std::uint8_t* Bytes, std::size_t Size, const TDataFileMagic& Magic, std::size_t& Consumed);
