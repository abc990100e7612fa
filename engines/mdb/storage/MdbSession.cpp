#include "engines/mdb/storage/MdbSession.h"

#include <algorithm>

#include "engines/mdb/runtime/MdbExcept.h"

namespace {
constexpr char16_t SNotOverridden[] = u"The method '%s' not overrided in class '%s'";
constexpr char16_t SNotSupported[] = u"Error - operation is not supported";
}  // namespace

TMdbBaseSession::~TMdbBaseSession() {
  // The password must not linger in freed memory.
  std::fill(FCryptoParams.Password.begin(), FCryptoParams.Password.end(), u'\0');
}

void TMdbBaseSession::NotOverridden(const char16_t* Method) const {
  throw EMdbException(30339, SNotOverridden, {String(Method), ClassName()});
}

void TMdbBaseSession::DisconnectQuietly() noexcept {
  try {
    SetConnected(false);
  } catch (...) {
  }
}

// ---- slots without a base body ---------------------------------------------------------------------------

bool TMdbBaseSession::GetConnected() { NotOverridden(u"GetConnected"); }
void TMdbBaseSession::SetConnected(bool) { NotOverridden(u"SetConnected"); }
void TMdbBaseSession::CreateDatabase() { throw EMdbException(10888, SNotSupported); }
void TMdbBaseSession::FlushFileBuffers() { NotOverridden(u"FlushFileBuffers"); }
double TMdbBaseSession::GetFormatVersion() { NotOverridden(u"GetFormatVersion"); }
std::int32_t TMdbBaseSession::GetTotalPageCount() { NotOverridden(u"GetTotalPageCount"); }
std::int32_t TMdbBaseSession::GetFreePageCount() { NotOverridden(u"GetFreePageCount"); }
bool TMdbBaseSession::IsDatabaseEncrypted() { NotOverridden(u"IsDatabaseEncrypted"); }
bool TMdbBaseSession::IsDatabaseEncryptedByPassword() { NotOverridden(u"IsDatabaseEncryptedByPassword"); }
bool TMdbBaseSession::IsCryptoParamsValid() { NotOverridden(u"IsCryptoParamsValid"); }
bool TMdbBaseSession::GetDatabaseExists() { NotOverridden(u"GetDatabaseExists"); }
void TMdbBaseSession::GetTablesList(TMdbWideStringList*) { NotOverridden(u"GetTablesList"); }
TMdbTableInfoArray TMdbBaseSession::GetTablesInfo(bool) { NotOverridden(u"GetTablesInfo"); }
TMdbTableState TMdbBaseSession::GetTableState(const String&) { NotOverridden(u"GetTableState"); }
bool TMdbBaseSession::TableExists(const String&) { NotOverridden(u"TableExists"); }
String TMdbBaseSession::ExportDatabaseToSQL(bool, bool, bool, bool, bool, bool, bool, bool, bool, bool) {
  NotOverridden(u"ExportDatabaseToSQL");
}
void TMdbBaseSession::LoadDatabaseFromStream(TStream*) { NotOverridden(u"LoadDatabaseFromStream"); }
void TMdbBaseSession::SaveDatabaseToStream(TStream*, TMdbCompressionAlgorithm, Byte, std::int32_t) {
  NotOverridden(u"SaveDatabaseToStream");
}
void TMdbBaseSession::MakeExeDatabase(const String&, const String&) { NotOverridden(u"MakeExeDatabase"); }
void TMdbBaseSession::RemoveDatabaseFromExe() { NotOverridden(u"RemoveDatabaseFromExe"); }
bool TMdbBaseSession::IsMdbTableDatabaseFile() { NotOverridden(u"IsMdbTableDatabaseFile"); }
bool TMdbBaseSession::GetInTransaction() { NotOverridden(u"GetInTransaction"); }
void TMdbBaseSession::StartTransaction() { NotOverridden(u"StartTransaction"); }
void TMdbBaseSession::Commit(bool) { NotOverridden(u"Commit"); }
void TMdbBaseSession::Rollback() { NotOverridden(u"Rollback"); }
void TMdbBaseSession::CreateStoredFunction(const String&) { NotOverridden(u"CreateStoredFunction"); }
void TMdbBaseSession::CreateStoredFunction(TObject*, const String&) { NotOverridden(u"CreateStoredFunction"); }
void TMdbBaseSession::ParseStoredFunction(TObject*, void*, TObject*&, String&) { NotOverridden(u"ParseStoredFunction"); }
void TMdbBaseSession::DropStoredFunction(const String&) { NotOverridden(u"DropStoredFunction"); }
void TMdbBaseSession::AlterStoredFunction(const String&, const String&) { NotOverridden(u"AlterStoredFunction"); }
void TMdbBaseSession::AlterStoredFunctionRename(const String&, const String&) {
  NotOverridden(u"AlterStoredFunctionRename");
}
bool TMdbBaseSession::ExecuteStoredFunction(const String&, TMdbVariant*, TMdbSQLParams*) {
  NotOverridden(u"ExecuteStoredFunction");
}
String TMdbBaseSession::FindStoredFunction(const String&) { NotOverridden(u"FindStoredFunction"); }
TObject* TMdbBaseSession::GetStoredFunctionByName(const String&) { NotOverridden(u"GetStoredFunctionByName"); }
TObject* TMdbBaseSession::ParseStoredFunctionParams(TObject*, TObject*, void*, TMdbSQLParams*&) {
  NotOverridden(u"ParseStoredFunctionParams");
}
void TMdbBaseSession::GetStoredFunctions(TStrings*, TStrings*, bool) { NotOverridden(u"GetStoredFunctions"); }
void TMdbBaseSession::GetStoredFunctions(TMdbWideStringList*, TMdbWideStringList*, bool) {
  NotOverridden(u"GetStoredFunctions");
}
void TMdbBaseSession::ExportStoredFunctionsToSQL(String&) { NotOverridden(u"ExportStoredFunctionsToSQL"); }
void TMdbBaseSession::CreateView(const String&, const String&, TMdbWideStringList*, bool, const String&) {
  NotOverridden(u"CreateView");
}
void TMdbBaseSession::DropView(const String&, bool) { NotOverridden(u"DropView"); }
TMdbViewDef* TMdbBaseSession::FindView(const String&) { NotOverridden(u"FindView"); }
void TMdbBaseSession::CloseLocalSessionWithoutDatabase() { NotOverridden(u"CloseLocalSessionWithoutDatabase"); }
TMdbCursor* TMdbBaseSession::CreateCursor(const String&, bool) { NotOverridden(u"CreateCursor"); }

// ---- named values ----------------------------------------------------------------------------------------

TMdbSessionNamedObject* TMdbBaseSession::GetNamedObject(std::u16string_view ObjectName) const {
  for (const auto& O : FSessionNamedObjectList)
    if (O->Name == ObjectName) return O.get();
  return nullptr;
}

void TMdbBaseSession::SetSequenceValue(const String& Name, Int64 Value) {
  if (auto* O = dynamic_cast<TMdbSessionNamedObjectSequenceValue*>(GetNamedObject(Name))) {
    O->Value = Value;
    return;
  }
  FSessionNamedObjectList.push_back(std::make_unique<TMdbSessionNamedObjectSequenceValue>(Name, Value));
}

void TMdbBaseSession::SetDatabaseParams(TMdbSQLDatabaseParams& DBParams) {
  DBParams.Session = this;
  DBParams.ParamsSet = true;
  DBParams.DatabaseName = FDatabaseName;
  DBParams.SessionName = FSessionName;
  DBParams.InMemory = InMemory;
  DBParams.CaseInsensitive = CaseInsensitive;
  DBParams.RequestLive = true;
  DBParams.Params = nullptr;
}

// ---- SQL processor ---------------------------------------------------------------------------------------

TMdbCursor* TMdbSQLProcessor::OpenQuery(TMdbWideStringList*) {
  FParamsChanged = false;
  if (FSQLParams && FSQLParams->Count() > 0) {
    const std::uint32_t Hash = FSQLParams->GetHashValue();
    if (!FNeverOpened && Hash != FParamsHash) UpdateParams();
    FParamsHash = Hash;
  }
  FRowsAffected = 0;
  return nullptr;
}
