#include "engines/mdb/storage/MdbQueryServices.h"

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbStreams.h"

namespace {

constexpr char16_t SNotAvailable[] = u"Error - %s is not available: no query processor is installed";
constexpr char16_t SErrorLoadingStoredFunctions[] = u"Error loading stored functions: \r\n%s";

// Set once at start-up by the query processing, before any session exists.
TMdbExpressionFactory GExpressionFactory;
TMdbSQLProcessorFactory GSQLProcessorFactory;

}  // namespace

void RaiseMdbQueryNotAvailable(const String& What) { throw EMdbException(kMdbQueryNotAvailableCode, SNotAvailable, {What}); }

void SetMdbExpressionFactory(TMdbExpressionFactory Factory) { GExpressionFactory = std::move(Factory); }

std::unique_ptr<TMdbExpression> MdbCreateExpression(TMdbBaseSession* Session, TMdbSQLParams* Params) {
  if (!GExpressionFactory) RaiseMdbQueryNotAvailable(u"Expression");
  return GExpressionFactory(Session, Params);
}

void SetMdbSQLProcessorFactory(TMdbSQLProcessorFactory Factory) { GSQLProcessorFactory = std::move(Factory); }

std::unique_ptr<TMdbLocalSQLProcessor> MdbCreateLocalSQLProcessor(TObject* Query, bool CaseIns) {
  if (!GSQLProcessorFactory) RaiseMdbQueryNotAvailable(u"SQL processor");
  return GSQLProcessorFactory(Query, CaseIns);
}

// ---- stored functions ------------------------------------------------------------------------------------

TMdbStoredFunctionManager::TMdbStoredFunctionManager(TMdbDatabaseData* DatabaseData)
    : FDatabaseData(DatabaseData), FThreadSync(this, "StoredFunctions") {}

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

String TMdbStoredFunctionManager::FindStoredFunction(const String&) { return String(); }

void TMdbStoredFunctionManager::GetStoredFunctions(TMdbWideStringList*, TMdbWideStringList*, bool) {}

void TMdbStoredFunctionManager::ExportStoredFunctionsToSQL(String&) {}

void TMdbStoredFunctionManager::Save(TStream* Stream) {
  TMdbLockGuard G(FThreadSync, false);
  WriteValueToStream(FCount, Stream, 12017);
  WriteValueToStream(FState, Stream, 12017);
  TMdbObjectNameArray Empty;
  try {
    Empty.SaveToStream(Stream, false);
  } catch (const Exception& E) {
    throw EMdbException(12019, SErrorLoadingStoredFunctions, {E.Message()});
  }
  try {
    Empty.SaveToStream(Stream, false);
  } catch (const Exception& E) {
    throw EMdbException(12020, SErrorLoadingStoredFunctions, {E.Message()});
  }
}

void TMdbStoredFunctionManager::Load(TStream* Stream, bool SkipSFMHeader) {
  TMdbLockGuard G(FThreadSync, true);
  std::int32_t Count = 0;
  std::uint32_t State = 0;
  if (!SkipSFMHeader) {
    Count = ReadValueFromStream<std::int32_t>(Stream, 12013);
    State = ReadValueFromStream<std::uint32_t>(Stream, 12013);
  }
  if (Count != 0) RaiseMdbQueryNotAvailable(u"Stored functions");
  TMdbObjectNameArray Names;
  try {
    Names.LoadFromStream(Stream);
  } catch (const Exception& E) {
    throw EMdbException(12015, SErrorLoadingStoredFunctions, {E.Message()});
  }
  try {
    Names.LoadFromStream(Stream);
  } catch (const Exception& E) {
    throw EMdbException(12016, SErrorLoadingStoredFunctions, {E.Message()});
  }
  FCount = 0;
  FState = State;
}
