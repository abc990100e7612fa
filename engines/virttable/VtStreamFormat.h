// The virtual table's binary stream format, version 3 (older versions 0 to 2 are read too). All
// integers little-endian; a name is a UInt16 byte count n and n bytes in the system code page.
//
// | offset | width | contents                                                                          |
// |--------|-------|-----------------------------------------------------------------------------------|
// | 0      | 2     | version (kStreamVersion is written; the word is not checked on reading)            |
// | 2      | 2     | D: number of field definitions                                                    |
// | 4      | -     | D definitions: name; UInt16 field type ordinal (low byte used); UInt16 Size;       |
// |        |       | Int32 Precision (versions >= 3 only)                                               |
// | -      | 2     | P: persistent fields (versions >= 1 only); each: name, UInt16 kind, UInt16 type,   |
// |        |       | UInt16 Size.                                                                       |
// | -      | 4     | R: number of records                                                              |
// | -      | -     | R records, each one value per definition, in definition order                     |
//
// A value is a length L (Int32; UInt16 in versions 0 and 1) and L bytes; L = 0 is null. By the type of
// the definition: ftString 8-bit text (an empty text is the single byte 0); ftWideString UTF-16LE (an
// empty text is two zero bytes); fixed types their slot bytes (ftShortint, ftByte 2; ftSmallint, ftWord,
// ftBoolean 2; ftInteger, ftLongWord, ftSingle 4; ftLargeint, ftFloat, ftCurrency, ftBCD (Int64 × 10,000)
// 8; ftExtended 10; ftTimeStamp 16; ftTimeStampOffset 20 (the time stamp, then Int16 zone hour and
// minute); ftFMTBcd 34; ftBytes Size; ftGuid Size + 1); ftDate Int32 day
// number (0001-01-01 = 1) + 4 zero bytes; ftTime Int32 milliseconds + 4 zero bytes; ftDateTime the
// framework's native double (day × 86,400,000 + ms); ftVarBytes the bytes only (L = count); blobs their
// whole (inflated) content; ftVariant the value bytes by subtype, then a UInt16 subtype (not counted
// in L): 2 → 2, 3 → 4, 5 → 8, 6 → 8, 11 → 2, 16 → 1, 17 → 1, 18 → 2, 19 → 4, 20 → 8; 8 and 258 UTF-16
// with a zero character; 256 8-bit text with a zero byte.
//
// The reader checks every count and length against the bytes left before it allocates or copies, and
// builds the rows in a staging record set that replaces the table's only when the whole stream was good.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engines/virttable/VtData.h"
#include "platform/classes/Streams.h"
#include "platform/db/FieldTypes.h"

namespace vt {

inline constexpr Word kStreamVersion = 3;
inline constexpr std::size_t kMinStreamSize = 5;

inline constexpr Word kVarSmallint = 2, kVarInteger = 3, kVarDouble = 5, kVarCurrency = 6, kVarOleStr = 8,
                      kVarBoolean = 11, kVarShortInt = 16, kVarByte = 17, kVarWord = 18, kVarLongWord = 19,
                      kVarInt64 = 20, kVarString = 256, kVarUString = 258;

// A definition as the stream holds it.
struct TStreamFieldDef {
  String Name;
  TFieldType DataType = ftUnknown;
  int Size = 0;
  int Precision = 0;
};

// Builds the descriptor of one definition into Data's field list; raises the unsupported-type error.
void AddFieldDescForFieldDef(TMemData& Data, const String& Name, TFieldType FieldType, int Size, bool Fixed,
                             bool Required, int Precision);
extern const char16_t kUnsupportedFieldType[];

using TProgressFunc = std::function<void(int Percent)>;

// A persistent field as the stream holds it (Kind: data 0, calculated 1, lookup 2, internal
// calculated 3, aggregate 4; DataType: the field type ordinal).
struct TStreamPersistentField {
  String Name;
  Word Kind = 0;
  Word DataType = 0;
  Word Size = 0;
};
// Which rows a save writes (nullptr: all).
using TItemFilter = std::function<bool(const TItemHeader* Item)>;

// Writes the definitions, the persistent fields and every record of Data that Include lets through
// (the descriptor of each definition found by name; a definition without one is written null).
void WriteVirtTableStream(TStream& Stream, const std::vector<TStreamFieldDef>& Defs, TMemData& Data,
                          const TProgressFunc& Progress, const std::vector<TStreamPersistentField>& Persistent = {},
                          const TItemFilter& Include = nullptr);

// What a read produced: the definitions and the rows, already in a record set of their own.
struct TStreamContents {
  Word Version = 0;
  std::vector<TStreamFieldDef> Defs;
  std::vector<TStreamPersistentField> Persistent;
  std::int32_t RecordCount = 0;
};

// Reads the whole stream from position 0. Rows go into Staging (opened, with its descriptors already
// built); stored values are matched to Staging's descriptors by name. Raises EReadError for a stream of
// fewer than kMinStreamSize bytes and EReadError with the reason for any other malformed content.
// BuildStaging is called once the definitions are known, before any row is read.
TStreamContents ReadVirtTableStream(TStream& Stream, const std::function<TMemData&(const TStreamContents&)>& BuildStaging,
                                    const TProgressFunc& Progress);

// True when the stream's first bytes (after a UTF-8 byte-order mark) are "<xml" or "<?xml", any case.
bool IsXmlStream(const std::vector<Byte>& Head);

}  // namespace vt
