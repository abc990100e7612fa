// The stored-function manager of a memory database: the functions' headers, names and SQL texts, and
// their block in the database stream (layout in MdbQueryServices.h).
#include <algorithm>
#include <numeric>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr char16_t SErrorLoadingStoredFunctions[] = u"Error loading stored functions: \r\n%s";
constexpr char16_t STooSmall[] =
    u"Error - cannot load stored functions from stream (too small size). Stream.Position = %d, Stream.Size = %d, "
    u"headerSize = %d, FHeader.Count = %d";
constexpr char16_t SInvalidCount[] = u"Error - invalid function count. FHeader.Count = %d, Count = %d";
constexpr std::int32_t kHeaderSize = static_cast<std::int32_t>(sizeof(TMdbStoredFunctionHeader));

std::uint32_t UpperCRC(std::u16string_view S) { return NameCRC32Wide(S, true); }

}  // namespace

TMdbStoredFunctionManager::TMdbStoredFunctionManager(TMdbDatabaseData* DatabaseData)
    : FDatabaseData(DatabaseData),
      FThreadSync(this, "StoredFunctions"),
      FNames(std::make_unique<TMdbObjectNameArray>()),
      FSQLTexts(std::make_unique<TMdbObjectNameArray>()) {}

TMdbStoredFunctionManager::~TMdbStoredFunctionManager() = default;

void TMdbStoredFunctionManager::CreateStoredFunction(TMdbBaseSession*, const String&) {
  RaiseMdbQueryNotAvailable(u"CreateStoredFunction");
}
void TMdbStoredFunctionManager::DropStoredFunction(TMdbBaseSession*, const String&) {
  RaiseMdbQueryNotAvailable(u"DropStoredFunction");
}
void TMdbStoredFunctionManager::AlterStoredFunction(TMdbBaseSession*, const String&, const String&) {
  RaiseMdbQueryNotAvailable(u"AlterStoredFunction");
}
void TMdbStoredFunctionManager::AlterStoredFunctionRename(TMdbBaseSession*, const String&, const String&) {
  RaiseMdbQueryNotAvailable(u"AlterStoredFunctionRename");
}

void TMdbStoredFunctionManager::CreateStoredFunction(TObject*, const String&) {
  RaiseMdbQueryNotAvailable(u"CreateStoredFunction");
}
void TMdbStoredFunctionManager::ParseStoredFunction(TMdbBaseSession*, TObject*, void*, TObject*& StoredFunction,
                                                    String&) {
  StoredFunction = nullptr;
  RaiseMdbQueryNotAvailable(u"ParseStoredFunction");
}
bool TMdbStoredFunctionManager::ExecuteStoredFunction(TMdbBaseSession*, const String&, TMdbVariant*, TMdbSQLParams*) {
  RaiseMdbQueryNotAvailable(u"ExecuteStoredFunction");
}
TObject* TMdbStoredFunctionManager::ParseStoredFunctionParams(TMdbBaseSession*, TObject*, TObject*, void*,
                                                              TMdbSQLParams*& Params) {
  Params = nullptr;
  RaiseMdbQueryNotAvailable(u"ParseStoredFunctionParams");
}

// A function object exists only once the query processing has parsed the text: a known name cannot be
// answered yet, an unknown one is simply not there.
TObject* TMdbStoredFunctionManager::GetStoredFunctionByName(const String& FunctionName, TMdbBaseSession*) {
  if (!FindStoredFunction(FunctionName).empty()) RaiseMdbQueryNotAvailable(u"GetStoredFunctionByName");
  return nullptr;
}

void TMdbStoredFunctionManager::GetStoredFunctions(TStrings* FunctionNames, TStrings* FunctionSQLScripts,
                                                   bool SortNamesByAlphabet) {
  TMdbWideStringList Names, Scripts;
  GetStoredFunctions(&Names, &Scripts, SortNamesByAlphabet);
  if (FunctionNames) Names.ExportToTstrings(FunctionNames);
  if (FunctionSQLScripts) Scripts.ExportToTstrings(FunctionSQLScripts);
}

void TMdbStoredFunctionManager::AddStoredFunction(const String& Name, const String& SQLScript) {
  TMdbLockGuard G(FThreadSync, true);
  TMdbStoredFunctionHeader H;
  H.CreationDate = H.LastModificationDate = Now();
  H.NameCRC = UpperCRC(Name);
  H.SQLCRC = NameCRC32Wide(SQLScript, false);
  FHeaders.push_back(H);
  FNames->Add(Name);
  FSQLTexts->Add(SQLScript);
  ++FCount;
}

String TMdbStoredFunctionManager::FindStoredFunction(const String& FunctionName) {
  TMdbLockGuard G(FThreadSync, false);
  const std::uint32_t Crc = UpperCRC(FunctionName);
  const String Upper = UpperCaseWide(FunctionName);
  for (std::int32_t i = 0; i < FNames->Count() && i < FSQLTexts->Count(); ++i) {
    const String Name = FNames->GetString(i);
    if (UpperCRC(Name) == Crc && UpperCaseWide(Name) == Upper) return FSQLTexts->GetString(i);
  }
  return String();
}

void TMdbStoredFunctionManager::GetStoredFunctions(TMdbWideStringList* FunctionNames,
                                                   TMdbWideStringList* FunctionSQLScripts, bool SortNamesByAlphabet) {
  TMdbLockGuard G(FThreadSync, false);
  const std::int32_t n = std::min(FNames->Count(), FSQLTexts->Count());
  std::vector<std::int32_t> Order(static_cast<std::size_t>(n));
  std::iota(Order.begin(), Order.end(), 0);
  if (SortNamesByAlphabet) {
    std::vector<String> Keys(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) Keys[static_cast<std::size_t>(i)] = UpperCaseWide(FNames->GetString(i));
    std::stable_sort(Order.begin(), Order.end(),
                     [&](std::int32_t a, std::int32_t b) { return Keys[static_cast<std::size_t>(a)] < Keys[static_cast<std::size_t>(b)]; });
  }
  for (std::int32_t i : Order) {
    if (FunctionNames) FunctionNames->Add(FNames->GetString(i), false);
    if (FunctionSQLScripts) FunctionSQLScripts->Add(FSQLTexts->GetString(i), false);
  }
}

void TMdbStoredFunctionManager::ExportStoredFunctionsToSQL(String& SQL) {
  TMdbLockGuard G(FThreadSync, false);
  if (FNames->Count() != FCount) throw EMdbException(12134, SInvalidCount, {FCount, FNames->Count()});
  if (FSQLTexts->Count() != FCount) throw EMdbException(12135, SInvalidCount, {FCount, FSQLTexts->Count()});
  const auto Headers = static_cast<std::int32_t>(FHeaders.size());
  if (Headers != FCount) throw EMdbException(12137, SInvalidCount, {FCount, Headers});
  for (std::int32_t i = 0; i < FCount; ++i) {
    if (!SQL.empty()) SQL += u"\r\n";
    SQL += FSQLTexts->GetString(i);
  }
}

void TMdbStoredFunctionManager::Save(TStream* Stream) {
  TMdbLockGuard G(FThreadSync, false);
  WriteValueToStream(FCount, Stream, 12017);
  WriteValueToStream(FState, Stream, 12017);
  if (FCount > 0) WriteBufferToStream(FHeaders.data(), Int64(FCount) * kHeaderSize, Stream, 12018);
  try {
    FNames->SaveToStream(Stream, false);
  } catch (const Exception& E) {
    throw EMdbException(12019, SErrorLoadingStoredFunctions, {E.Message()});
  }
  try {
    FSQLTexts->SaveToStream(Stream, false);
  } catch (const Exception& E) {
    throw EMdbException(12020, SErrorLoadingStoredFunctions, {E.Message()});
  }
}

void TMdbStoredFunctionManager::Load(TStream* Stream, bool SkipSFMHeader) {
  if (Stream == nullptr) throw EMdbException(12013, u"Nil pointer occured");
  std::int32_t Count = 0;
  std::uint32_t State = 0;
  if (!SkipSFMHeader) {
    Count = ReadValueFromStream<std::int32_t>(Stream, 12013);
    State = ReadValueFromStream<std::uint32_t>(Stream, 12013);
  }
  // A negative count or one whose headers cannot fit in what is left is a damaged block; 64-bit
  // arithmetic keeps Count x 24 from wrapping.
  const Int64 Pos = Stream->Position(), Size = Stream->Size();
  if (Count < 0 || Int64(Count) * kHeaderSize > Size - Pos)
    throw EMdbException(12471, STooSmall, {Pos, Size, kHeaderSize, Count});
  std::vector<TMdbStoredFunctionHeader> Headers(static_cast<std::size_t>(Count));
  if (Count > 0) ReadBufferFromStream(Headers.data(), Int64(Count) * kHeaderSize, Stream, 12014);
  auto Names = std::make_unique<TMdbObjectNameArray>();
  auto Texts = std::make_unique<TMdbObjectNameArray>();
  try {
    Names->LoadFromStream(Stream);
    if (Names->Count() != Count)
      throw EMdbException(12015, SInvalidCount, {Count, Names->Count()});
  } catch (const Exception& E) {
    throw EMdbException(12015, SErrorLoadingStoredFunctions, {E.Message()});
  }
  try {
    Texts->LoadFromStream(Stream);
    if (Texts->Count() != Count)
      throw EMdbException(12016, SInvalidCount, {Count, Texts->Count()});
  } catch (const Exception& E) {
    throw EMdbException(12016, SErrorLoadingStoredFunctions, {E.Message()});
  }
  // Everything read: the block replaces what the manager held.
  TMdbLockGuard G(FThreadSync, true);
  FCount = Count;
  FState = State;
  FHeaders = std::move(Headers);
  FNames = std::move(Names);
  FSQLTexts = std::move(Texts);
}

void TMdbStoredFunctionManager::TakeOver(TMdbStoredFunctionManager& Other) {
  if (&Other == this) return;
  TMdbLockGuard G(FThreadSync, true);
  FCount = std::exchange(Other.FCount, 0);
  FState = std::exchange(Other.FState, 0u);
  FHeaders = std::move(Other.FHeaders);
  Other.FHeaders.clear();
  FNames = std::exchange(Other.FNames, std::make_unique<TMdbObjectNameArray>());
  FSQLTexts = std::exchange(Other.FSQLTexts, std::make_unique<TMdbObjectNameArray>());
}
