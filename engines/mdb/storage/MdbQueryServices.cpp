#include "engines/mdb/storage/MdbQueryServices.h"

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbStreams.h"

namespace {

constexpr char16_t SNotAvailable[] = u"Error - %s is not available: no query processor is installed";

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
