// Small routines shared across the engine: ticks and wait levels for the locks, unique names for
// temporary objects, wiping strings, table-operation texts, a byte-mixing combination of two hashes,
// string tests and comparisons, the sort of table-information arrays, splitting field-name lists and
// the length of a month.
//
// The tick source is injectable so that lock timeouts and wait levels can be driven by tests; the
// default reads a monotonic clock in milliseconds, truncated to 32 bits like the system tick counter.
#pragma once

#include <cstdint>
#include <string_view>

#include "engines/mdb/runtime/MdbTypes.h"

class TMdbWideStringList;

// ---- ticks and waiting -----------------------------------------------------------------------------
using TMdbTickSource = std::uint32_t (*)();
std::uint32_t CurrentTickCount();
// nullptr restores the monotonic clock.
void SetMdbTickSource(TMdbTickSource Source);
// The calling thread's id, as the engine's locks and sessions compare them.
std::int32_t CurrentThreadID();

std::uint32_t TickDifference(std::uint32_t Now, std::uint32_t Start);
// The wait level (0..255) of a waiter that started at Start against the longest wait MaxWait.
Byte ProgressFromTicks(std::uint32_t Start, std::uint32_t MaxWait);
// RetryCount x Delay (RetryCount when Delay is 0); raises ERangeError for a negative result and
// EIntOverflow when it does not fit 32 bits.
std::uint32_t LockWaitTime(const TMdbLockParams& LockParams);

// ---- names -----------------------------------------------------------------------------------------
AnsiString MakeUniqueName(const AnsiString& Prefix);
void SplitFieldNameList(std::u16string_view Text, TMdbWideStringList* List);

// ---- strings ---------------------------------------------------------------------------------------
void WipeAnsiString(AnsiString& S, bool Quick);
void WipeWideString(String& S, bool Quick);
String TableOperationName(Byte Op);
bool HasCharsAboveLatin1(std::u16string_view S);
int CompareWideStrings(std::u16string_view S1, std::u16string_view S2, bool CaseSensitive);
String UpperCaseWide(std::u16string_view S);
String LowerCaseWide(std::u16string_view S);
std::int32_t StrLenAnsi(const char* Text);
std::int32_t DaysInMonthOf(std::int32_t Month, std::int32_t Year);

// ---- hashing and sorting ---------------------------------------------------------------------------
std::uint32_t MixHashBytes(std::uint32_t A, std::uint32_t B, Byte Selector);
// By TableName, case-insensitively.
void SortTableInfoArray(TMdbTableInfoArray& Infos);
