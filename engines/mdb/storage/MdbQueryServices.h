// What the storage layer needs of the query processing, which stands above it: the expression that
// filters, Locate and foreign-key checks evaluate, the SQL processor that sessions run for views, and
// the stored-function manager each memory database keeps.
//
// The query processing installs its factories at start-up (SetMdbExpressionFactory,
// SetMdbSQLProcessorFactory). Until it has, asking for an expression or a processor raises 30900
// "Error - %s is not available: no query processor is installed", naming what was asked for; so does
// every stored-function operation of the empty manager that would need to parse or run SQL.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbCriticalSection.h"
#include "engines/mdb/runtime/MdbNameArray.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbSession.h"
#include "platform/rtl/Variant.h"

class TMdbCursor;
class TMdbIndexDef;
class TMdbConstraintDef;


inline constexpr int kMdbQueryNotAvailableCode = 30900;
[[noreturn]] void RaiseMdbQueryNotAvailable(const String& What);

// A compiled Boolean expression over a cursor's record buffers.
class TMdbExpression : public TMdbBaseExpression {
 public:
  // Parses Filter as one Boolean expression over Cursor's fields (30119 for an empty text);
  // case-insensitive when asked or when the cursor is.
  virtual void ParseForFilter(TMdbCursor* Cursor, const String& Filter, bool CaseInsensitive, bool PartialKey) = 0;
  // The AND of one equality per name of FieldNames (split at ";" or ","); KeyValues holds one value
  // per name (30112 otherwise); no name at all: 12389.
  virtual void ParseForLocate(TMdbCursor* Cursor, const String& FieldNames, const Variant& KeyValues,
                              bool CaseInsensitive, bool PartialKey) = 0;
  // Rebinds a parsed expression to Cursor: its case handling, session and fields.
  virtual void AssignCursor(TMdbCursor* Cursor) = 0;
  // Every field node reads from Buffer from now on.
  virtual void AssignCursorBuffer(const Byte* Buffer) = 0;
  // The value for the buffer last assigned; 30110 without a root node.
  virtual bool GetResult() = 0;
  virtual bool IsEmpty() = 0;
  // An equality of a string field with a constant longer than the field: nothing can match.
  virtual bool IsIncompatible() = 0;
  virtual void PrepareForeignKeyCheck(TMdbCursor* ReferencedCursor, TMdbCursor* Cursor, TMdbIndexDef* PrimaryIndex,
                                      TMdbConstraintDef* ConstraintDef) = 0;
  virtual void PrepareForeignKeyActionFilter(TMdbCursor* ReferencedCursor, TMdbCursor* Cursor,
                                             TMdbIndexDef* PrimaryIndex, TMdbConstraintDef* ConstraintDef) = 0;
};

using TMdbExpressionFactory = std::function<std::unique_ptr<TMdbExpression>(TMdbBaseSession* Session, TMdbSQLParams* Params)>;
void SetMdbExpressionFactory(TMdbExpressionFactory Factory);
// A new, empty expression bound to Session and Params (nil allowed); the caller owns it.
std::unique_ptr<TMdbExpression> MdbCreateExpression(TMdbBaseSession* Session, TMdbSQLParams* Params);

// The SQL processor the sessions create for views.
class TMdbLocalSQLProcessor : public TMdbSQLProcessor {
 public:
  using TMdbSQLProcessor::TMdbSQLProcessor;
  // Lets the result dataset of the current (else the last) query let go of its result cursor, which
  // then outlives the processor.
  virtual void ResetRootAOCursorInResultDataset() = 0;
  TMdbSQLDatabaseParams FDefaultDatabaseParams;
};

using TMdbSQLProcessorFactory = std::function<std::unique_ptr<TMdbLocalSQLProcessor>(TObject* Query, bool CaseIns)>;
void SetMdbSQLProcessorFactory(TMdbSQLProcessorFactory Factory);
std::unique_ptr<TMdbLocalSQLProcessor> MdbCreateLocalSQLProcessor(TObject* Query, bool CaseIns);

// The stored functions of one memory database. Until the query processing brings a parser, the
// manager keeps what a database stream or AddStoredFunction gives it: each function's header, name
// and SQL text. Lookups, listing, export and the stream block work on those; creating, parsing,
// executing, dropping or altering a function from SQL, which needs the parser, raises 30900.
//
// Stored-function block of the database stream (Save / Load):
//   0  Int32   Count (12017 / 12013)
//   4  UInt32  State
//   8  Count headers of 24 bytes, one write (12018 / 12014): Double CreationDate, Double
//      LastModificationDate, UInt32 NameCRC, UInt32 SQLCRC
//   .. function names, then SQL texts, each a name array (11954; a read failure raises 12015 / 12016,
//      a write failure 12019 / 12020)
// A reader checks Count >= 0 and Count x 24 against the bytes left before it reads a header (12471)
// and that both arrays hold Count entries; a load is staged: a failed one leaves the manager as it was.
struct TMdbStoredFunctionHeader {
  double CreationDate = 0;
  double LastModificationDate = 0;
  std::uint32_t NameCRC = 0;
  std::uint32_t SQLCRC = 0;
};
static_assert(sizeof(TMdbStoredFunctionHeader) == 24);

class TMdbStoredFunctionManager : public TMdbStoredFunctionsManager {
  VELLUM_CLASS(TMdbStoredFunctionManager)
 public:
  explicit TMdbStoredFunctionManager(TMdbDatabaseData* DatabaseData);
  ~TMdbStoredFunctionManager() override;

  void CreateStoredFunction(TMdbBaseSession* Session, const String& SQLScript) override;
  void CreateStoredFunction(TObject* StoredFunction, const String& SQLScript) override;
  void ParseStoredFunction(TMdbBaseSession* Session, TObject* Lexer, void* Token, TObject*& StoredFunction,
                           String& SQLScript) override;
  void DropStoredFunction(TMdbBaseSession* Session, const String& FunctionName) override;
  void AlterStoredFunction(TMdbBaseSession* Session, const String& FunctionName, const String& NewSQLScript) override;
  void AlterStoredFunctionRename(TMdbBaseSession* Session, const String& FunctionName,
                                 const String& NewFunctionName) override;
  bool ExecuteStoredFunction(TMdbBaseSession* Session, const String& FunctionName, TMdbVariant* ResultValue,
                             TMdbSQLParams* Params) override;
  // The SQL text of the function of that name (compared upper-cased); empty when none.
  String FindStoredFunction(const String& FunctionName) override;
  TObject* GetStoredFunctionByName(const String& FunctionName, TMdbBaseSession* Session) override;
  TObject* ParseStoredFunctionParams(TMdbBaseSession* Session, TObject* Lexer, TObject* ParentFunction, void* Token,
                                     TMdbSQLParams*& Params) override;
  void GetStoredFunctions(TStrings* FunctionNames, TStrings* FunctionSQLScripts, bool SortNamesByAlphabet) override;
  void GetStoredFunctions(TMdbWideStringList* FunctionNames, TMdbWideStringList* FunctionSQLScripts,
                          bool SortNamesByAlphabet) override;
  // 12134 / 12135 / 12137 when the names, the SQL texts or the headers do not number Count; then each
  // function's SQL text, preceded by CR LF when SQL is not empty.
  void ExportStoredFunctionsToSQL(String& SQL) override;
  // Registers a function the caller has parsed (its name and its SQL text).
  void AddStoredFunction(const String& Name, const String& SQLScript);
  void Save(TStream* Stream);
  void Load(TStream* Stream, bool SkipSFMHeader);
  // Takes Other's functions over (under the write lock); Other is left empty.
  void TakeOver(TMdbStoredFunctionManager& Other);

  std::int32_t Count() const { return FCount; }
  std::uint32_t State() const { return FState; }

 private:
  TMdbDatabaseData* FDatabaseData;
  TMdbReadWriteThreadSyncByCriticalSections FThreadSync;
  std::int32_t FCount = 0;
  std::uint32_t FState = 0;
  std::vector<TMdbStoredFunctionHeader> FHeaders;
  std::unique_ptr<TMdbObjectNameArray> FNames;
  std::unique_ptr<TMdbObjectNameArray> FSQLTexts;
};
