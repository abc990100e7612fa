// engines/virttable: the virtual table, TVirtTable, and the record set under it. A table keeps its
// rows in an in-memory record set (VtData.h: field descriptors, record layout, item blocks, string
// heap, shared blobs and variant objects), is driven by the platform's TDataSet through the dataset
// layer (VtDataSet.h) and saves and loads its binary stream format, version 3 (VtStreamFormat.h). It
// calls platform/db, platform/classes, platform/rtl, platform/sys and zlib; the benchmark application
// creates it, fills it through the framework and times its save, load and empty operations.
//
// This header: the memory and text utilities the record set shares, and the two compression hooks of
// compressed blobs, which default to zlib and which RegisterVirtTableUnit installs again at start.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Init.h"
#include "platform/rtl/String.h"

// zlib failures of the compression hooks.
class EZLibError : public Exception {
 public:
  using Exception::Exception;
};
class EZCompressionError : public EZLibError {
 public:
  using EZLibError::EZLibError;
};
class EZDecompressionError : public EZLibError {
 public:
  using EZLibError::EZLibError;
};

namespace vt {

// (Dest, var DestLen, Source, SourceLen); DestLen holds the capacity on entry, the output on return.
using TCompressFunc = void (*)(void* Dest, std::size_t& DestLen, const void* Source, std::size_t SourceLen);

// One zlib stream (RFC 1950) at the default level / its inflation. A negative zlib result raises
// EZCompressionError / EZDecompressionError "Error"; an incomplete run raises EZLibError
// "ZLib error: target buffer may be too small".
void ZCompressBuffer(void* Dest, std::size_t& DestLen, const void* Source, std::size_t SourceLen);
void ZUncompressBuffer(void* Dest, std::size_t& DestLen, const void* Source, std::size_t SourceLen);

// The installed hooks (nullptr: not linked). Tests may swap them.
TCompressFunc& CompressHook();
TCompressFunc& UncompressHook();
// Raises "Compressor function is not linked" / "Uncompressor function is not linked".
void CheckZLibLinked();

// Adds the unit that installs the zlib hooks to the start-up list.
void RegisterVirtTableUnit(TUnitList& Units);

// ---- text and dates -------------------------------------------------------------------------------------
// From position Len - 1 backwards (Len -1: the text's length) every blank or zero becomes zero until
// another character is met.
void StrTrimAnsi(char* Str, int Len);
void StrTrimWide(char16_t* Str, int Len);
// Characters before the first zero.
std::size_t WideTextLength(const char16_t* Str);

bool TryEncodeDateValue(int Year, int Month, int Day, double& Value);
bool TryEncodeTimeValue(int Hour, int Min, int Sec, int MSec, double& Value);
bool TryEncodeDateTimeValue(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec, double& Value);
// Raises EConvertError "Invalid argument to date encode".
double EncodeDateTimeValue(int Year, int Month, int Day, int Hour, int Min, int Sec, int MSec);
// A time stamp (day 1 = 0001-01-01, milliseconds of the day) as a date-time; a day <= 0 or negative
// milliseconds raise EConvertError "'%d.%d' is not a valid timestamp".
double StampToDateTime(std::int32_t Day, std::int32_t MSecs);

}  // namespace vt
