#include "engines/mdb/runtime/MdbUtils.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <limits>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "platform/rtl/Random.h"
#include "platform/rtl/SysUtils.h"

namespace {

std::uint32_t MonotonicTicks() {
  using namespace std::chrono;
  return static_cast<std::uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::atomic<TMdbTickSource> TickSource{&MonotonicTicks};

}  // namespace

std::uint32_t CurrentTickCount() { return TickSource.load(std::memory_order_relaxed)(); }

void SetMdbTickSource(TMdbTickSource Source) { TickSource.store(Source ? Source : &MonotonicTicks); }

std::int32_t CurrentThreadID() {
  thread_local const std::int32_t Id = static_cast<std::int32_t>(::syscall(SYS_gettid));
  return Id;
}

std::uint32_t TickDifference(std::uint32_t Now, std::uint32_t Start) {
  // Unsigned subtraction is the difference across the wrap of the 32-bit counter.
  return Now - Start;
}

Byte ProgressFromTicks(std::uint32_t Start, std::uint32_t MaxWait) {
  if (MaxWait == 0) return 255;
  const std::uint32_t Elapsed = TickDifference(CurrentTickCount(), Start);
  if (Elapsed <= 1) return 0;
  if (Elapsed >= MaxWait) return 255;
  if (MaxWait > 255) return static_cast<Byte>(Elapsed / (MaxWait / 255 + 1));
  return static_cast<Byte>(Elapsed);
}

std::uint32_t LockWaitTime(const TMdbLockParams& LockParams) {
  const Int64 Total = LockParams.Delay != 0 ? Int64(LockParams.RetryCount) * LockParams.Delay : LockParams.RetryCount;
  if (Total < 0) throw ERangeError(String(msg::SRangeError));
  if (Total > std::numeric_limits<std::uint32_t>::max()) throw EIntOverflow(String(msg::SIntOverflow));
  return static_cast<std::uint32_t>(Total);
}

AnsiString MakeUniqueName(const AnsiString& Prefix) {
  const std::int32_t R1 = Random(0x7FFFFFFF);
  const std::uint32_t T1 = CurrentTickCount();
  const std::int32_t R2 = Random(0x7FFFFFFF);
  const std::uint32_t T2 = CurrentTickCount();
  const auto Mixed = static_cast<std::int32_t>(static_cast<std::uint32_t>(R1) ^ T1 ^ static_cast<std::uint32_t>(R2) ^ T2);
  return Prefix + std::to_string(Mixed) + "_" + std::to_string(CurrentThreadID());
}

void SplitFieldNameList(std::u16string_view Text, TMdbWideStringList* List) {
  if (Text.empty() || List == nullptr) return;
  if (Text.find_first_of(u";,") == std::u16string_view::npos) {
    List->Add(String(Text), false);
    return;
  }
  std::size_t Start = 0;
  while (true) {
    const std::size_t Sep = Text.find_first_of(u";,", Start);
    const std::u16string_view Part = Text.substr(Start, Sep == std::u16string_view::npos ? std::u16string_view::npos : Sep - Start);
    if (!Part.empty()) List->Add(Trim(Part), false);
    if (Sep == std::u16string_view::npos) break;
    Start = Sep + 1;
  }
}

void WipeAnsiString(AnsiString& S, bool Quick) {
  if (!Quick) {
    volatile char* p = S.data();
    for (std::size_t i = 0; i < S.size(); ++i) p[i] = static_cast<char>(0xFF);
  }
  S.clear();
}

void WipeWideString(String& S, bool Quick) {
  if (!Quick) {
    volatile char16_t* p = S.data();
    for (std::size_t i = 0; i < S.size(); ++i) p[i] = 0xFFFF;
  }
  S.clear();
}

String TableOperationName(Byte Op) {
  if (Op >= kTableOperationCount) return SMdbUnknownOperation;
  return TableOperationNames[Op];
}

bool HasCharsAboveLatin1(std::u16string_view S) {
  for (char16_t c : S)
    if (c > 0x00FF) return true;
  return false;
}

int CompareWideStrings(std::u16string_view S1, std::u16string_view S2, bool CaseSensitive) {
  return CaseSensitive ? AnsiCompareStr(S1, S2) : AnsiCompareText(S1, S2);
}

String UpperCaseWide(std::u16string_view S) { return AnsiUpperCase(S); }
String LowerCaseWide(std::u16string_view S) { return AnsiLowerCase(S); }

std::int32_t StrLenAnsi(const char* Text) {
  if (Text == nullptr) return 0;
  return static_cast<std::int32_t>(std::char_traits<char>::length(Text));
}

std::int32_t DaysInMonthOf(std::int32_t Month, std::int32_t Year) {
  switch (Month) {
    case 2: return IsLeapYear(Year) ? 29 : 28;
    case 4: case 6: case 9: case 11: return 30;
    default: return 31;
  }
}

std::uint32_t MixHashBytes(std::uint32_t A, std::uint32_t B, Byte Selector) {
  // For each row: the byte of B combined with result bytes 3, 2, 1, 0.
  static constexpr Byte kRows[12][4] = {{0, 1, 2, 3}, {0, 3, 1, 2}, {3, 1, 2, 0}, {2, 3, 1, 0},
                                        {2, 0, 3, 1}, {2, 1, 0, 3}, {3, 0, 2, 1}, {1, 3, 0, 2},
                                        {1, 0, 3, 2}, {0, 3, 2, 1}, {2, 1, 3, 0}, {1, 0, 2, 3}};
  const Byte* Row = kRows[Selector % 12];
  std::uint32_t Result = 0;
  for (int k = 0; k < 4; ++k) {
    const int ResultByte = 3 - k;
    const std::uint32_t b = (B >> (8 * Row[k])) & 0xFF;
    const std::uint32_t a = (A >> (8 * ResultByte)) & 0xFF;
    Result |= (a ^ b) << (8 * ResultByte);
  }
  return Result;
}

namespace {

void QuickSortInfos(TMdbTableInfoArray& Infos, std::int64_t Min, std::int64_t Max) {
  while (Min < Max) {
    std::int64_t i = Min, j = Max;
    const String Pivot = Infos[static_cast<std::size_t>((Min + Max) / 2)].TableName;
    do {
      while (CompareWideStrings(Infos[i].TableName, Pivot, false) < 0) ++i;
      while (CompareWideStrings(Infos[j].TableName, Pivot, false) > 0) --j;
      if (i <= j) {
        if (i != j) std::swap(Infos[i], Infos[j]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (i == Min && j == Max)
      throw EMdbException(12131, SMdbSortErrorTableInfoArray, {i, j, Min, Max, Int64(Infos.size())});
    // Recurse into the smaller side so the depth stays logarithmic.
    if (j - Min < Max - i) {
      QuickSortInfos(Infos, Min, j);
      Min = i;
    } else {
      QuickSortInfos(Infos, i, Max);
      Max = j;
    }
  }
}

}  // namespace

void SortTableInfoArray(TMdbTableInfoArray& Infos) {
  if (Infos.size() > 1) QuickSortInfos(Infos, 0, static_cast<std::int64_t>(Infos.size()) - 1);
}
