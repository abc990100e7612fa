#include "engines/kv/SQLDataDriverKv.h"

#include "engines/kv/KvValues.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/Init.h"
#include "platform/rtl/SysUtils.h"

namespace {

struct ModuleState {
  std::unique_ptr<TSQLDataDriverResolver> Resolver;
  std::unique_ptr<TServerSpecOperationsKv> DefaultOperations;
  std::map<String, TServerSpecOperationsFactoryKv> Registry;
};
ModuleState* gState = nullptr;

// "a, b ,c" → {"a", "b", "c"} (the platform's comma-text split, blanks trimmed).
std::vector<String> CommaList(const String& Text) {
  std::vector<String> out;
  size_t start = 0;
  while (start <= Text.size()) {
    size_t end = Text.find(u',', start);
    if (end == String::npos) end = Text.size();
    String item = Trim(std::u16string_view(Text).substr(start, end - start));
    if (!item.empty()) out.push_back(std::move(item));
    start = end + 1;
  }
  return out;
}

String JoinComma(const std::vector<String>& Names) {
  String s;
  for (const String& n : Names) {
    if (!s.empty()) s += u",";
    s += n;
  }
  return s;
}

void ColumnList(std::vector<String>& Lines, const std::vector<std::vector<String>>& Groups, const String& Prefix) {
  String line = u"  (";
  bool first = true;
  for (const auto& group : Groups)
    for (size_t i = 0; i < group.size(); ++i) {
      line += (first ? u"" : u", ") + Prefix + group[i];
      first = false;
      if (line.size() > 70 && i + 1 < group.size()) {
        Lines.push_back(line);
        line = u"   ";
      }
    }
  Lines.push_back(line + u")");
}

}  // namespace

// ---- named values --------------------------------------------------------------------------------------

String TStringVarsKv::Value(const String& Name) const {
  for (const auto& [n, v] : FItems)
    if (SameText(n, Name)) return v;
  return String();
}

void TStringVarsKv::SetValue(const String& Name, const String& Value) {
  for (auto& [n, v] : FItems)
    if (SameText(n, Name)) {
      v = Value;
      if (OnChange) OnChange();
      return;
    }
  FItems.emplace_back(Name, Value);
  if (OnChange) OnChange();
}

String SubstituteMacro(const String& Text, const String& MacroName, const String& MacroValue) {
  if (MacroName.empty()) return Text;
  String out;
  size_t at = 0;
  for (;;) {
    const size_t hit = Text.find(MacroName, at);
    if (hit == String::npos) break;
    out.append(Text, at, hit - at);
    const size_t after = hit + MacroName.size();
    if (after < Text.size() && Text[after] == u'%') {
      out += MacroName;  // escaped: the name stays, the extra "%" goes
      at = after + 1;
    } else {
      out += MacroValue;
      at = after;
    }
  }
  out.append(Text, at, String::npos);
  return out;
}

// ---- commands ------------------------------------------------------------------------------------------

TCustomSQLCommandKv::TCustomSQLCommandKv(TCustomSQLDataDriverKv* ADataDriver, TSQLCommandTypeKv AType)
    : FCommandType(AType), FDataDriver(ADataDriver) {}

void TCustomSQLCommandKv::SetCommandText(std::vector<String> Lines) {
  FCommandText = std::move(Lines);
  FFinalCommandTextObsolete = true;
  if (FDataDriver && this == FDataDriver->SelectCommand()) FDataDriver->CommandTextsObsolete();
}

String TCustomSQLCommandKv::Text() const {
  String s;
  for (const String& l : FCommandText) s += l + u"\n";
  return s;
}

const std::vector<String>& TCustomSQLCommandKv::FinalCommandText() {
  if (!FFinalCommandTextObsolete) return FFinalCommandText;
  // Substituted over the whole text, so a macro may span what the lines split.
  String text;
  for (size_t i = 0; i < FCommandText.size(); ++i) text += (i ? u"\n" : u"") + FCommandText[i];
  if (TCustomSQLDataDriverKv* d = FDataDriver) {
    if (d->SpecMacrosUsages() & smuUseFilterMacroKv) text = SubstituteMacro(text, d->FilterMacroName, d->FilterMacroValue());
    if (d->SpecMacrosUsages() & smuUseSortOrderMacroKv)
      text = SubstituteMacro(text, d->SortOrderMacroName, d->SortOrderMacroValue());
    for (int i = 0; i < d->Macros().Count(); ++i) text = SubstituteMacro(text, d->Macros().Items(i).first, d->Macros().Items(i).second);
  }
  FFinalCommandText.clear();
  if (!FCommandText.empty()) {
    size_t start = 0;
    for (;;) {
      const size_t nl = text.find(u'\n', start);
      FFinalCommandText.push_back(text.substr(start, nl == String::npos ? String::npos : nl - start));
      if (nl == String::npos) break;
      start = nl + 1;
    }
  }
  FFinalCommandTextObsolete = false;
  return FFinalCommandText;
}

String TCustomSQLCommandKv::FinalText() {
  String s;
  for (const String& l : FinalCommandText()) s += l + u"\n";
  return s;
}

int TCustomSQLCommandKv::Execute(TDataSet*& Cursor, bool& FreeOnEof) {
  Cursor = nullptr;
  FreeOnEof = false;
  if (FDataDriver)
    if (IConnectionProviderKv* p = FDataDriver->GetConnectionProvider()) {
      bool processed = false;
      const int r = p->ExecuteCommand(this, Cursor, FreeOnEof, processed);
      if (processed) return r;
    }
  if (TSQLDataDriverResolver* r = GetSQLDataDriverResolver()) {
    bool processed = false;
    return r->ExecuteCommand(FDataDriver, this, Cursor, FreeOnEof, processed);
  }
  return -1;
}

// ---- module state, registry, resolver ------------------------------------------------------------------

void InitializeDataDriverKv() {
  if (gState) return;
  gState = new ModuleState;
  gState->Resolver = std::make_unique<TSQLDataDriverResolver>();
  gState->DefaultOperations = std::make_unique<TServerSpecOperationsKv>();
  RegisterServerSpecOperations(TServerSpecOperationsKv::ServerTypeName(), [] { return std::make_unique<TServerSpecOperationsKv>(); });
  RegisterServerSpecOperations(TOracleSpecOperationsKv::ServerTypeName(), [] { return std::make_unique<TOracleSpecOperationsKv>(); });
  RegisterServerSpecOperations(TMSSQLSpecOperationsKv::ServerTypeName(), [] { return std::make_unique<TMSSQLSpecOperationsKv>(); });
  RegisterServerSpecOperations(TInterbaseSpecOperationsKv::ServerTypeName(),
                               [] { return std::make_unique<TInterbaseSpecOperationsKv>(); });
  RegisterServerSpecOperations(TInfromixSpecOperationsKv::ServerTypeName(),
                               [] { return std::make_unique<TInfromixSpecOperationsKv>(); });
  RegisterServerSpecOperations(TDB2SpecOperationsKv::ServerTypeName(), [] { return std::make_unique<TDB2SpecOperationsKv>(); });
  RegisterServerSpecOperations(TSybaseSpecOperationsKv::ServerTypeName(), [] { return std::make_unique<TSybaseSpecOperationsKv>(); });
  RegisterServerSpecOperations(TMSAccessSpecOperationsKv::ServerTypeName(),
                               [] { return std::make_unique<TMSAccessSpecOperationsKv>(); });
}

void FinalizeDataDriverKv() {
  delete gState;
  gState = nullptr;
}

void RegisterDataDriverKvUnit(TUnitList& Units) {
  Units.Add({"DataDriverKv", &InitializeDataDriverKv, &FinalizeDataDriverKv});
}

TSQLDataDriverResolver* GetSQLDataDriverResolver() { return gState ? gState->Resolver.get() : nullptr; }

std::unique_ptr<TSQLDataDriverResolver> SetSQLDataDriverResolver(std::unique_ptr<TSQLDataDriverResolver> Value) {
  if (!gState) InitializeDataDriverKv();
  std::swap(gState->Resolver, Value);
  return Value;
}

TServerSpecOperationsKv* DefaultServerSpecOperations() { return gState ? gState->DefaultOperations.get() : nullptr; }

void RegisterServerSpecOperations(const String& ServerTypeName, TServerSpecOperationsFactoryKv Factory) {
  if (!gState) InitializeDataDriverKv();
  if (!gState->Registry.emplace(ServerTypeName, std::move(Factory)).second)
    throw Exception(Format(kvmsg::SServerTypeRegistered, {ServerTypeName}));
}

std::unique_ptr<TServerSpecOperationsKv> CreateServerSpecOperations(const String& ServerTypeName) {
  if (!gState) return nullptr;
  auto it = gState->Registry.find(ServerTypeName);
  return it == gState->Registry.end() ? nullptr : it->second();
}

int TSQLDataDriverResolver::ExecuteCommand(TCustomSQLDataDriverKv* Driver, TCustomSQLCommandKv* Command, TDataSet*& Cursor,
                                           bool& FreeOnEof, bool& Processed) {
  Processed = false;
  if (OnExecuteCommand) return OnExecuteCommand(Driver, Command, Cursor, FreeOnEof, Processed);
  return -1;
}

int TSQLDataDriverResolver::UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec,
                                         bool& Processed) {
  Processed = false;
  if (OnUpdateRecord) {
    OnUpdateRecord(Driver, Data, MemRec, Processed);
    if (Processed) return 0;
  }
  Processed = true;
  if (ServerSpecOperations) return ServerSpecOperations->UpdateRecord(Driver, Data, MemRec);
  if (Driver->ServerSpecOperations()) return Driver->ServerSpecOperations()->UpdateRecord(Driver, Data, MemRec);
  return Driver->DoUpdateRecord(Data, MemRec);
}

// ---- server operations ---------------------------------------------------------------------------------

void TServerSpecOperationsKv::AddWhereClause(const std::vector<String>& KeyFields, std::vector<String>& Lines) {
  if (KeyFields.empty()) return;
  Lines.push_back(u"where");
  for (size_t i = 0; i < KeyFields.size(); ++i) {
    String line = u" " + KeyFields[i] + u" = :OLD_" + KeyFields[i];
    if (i + 1 < KeyFields.size()) line += u" and";
    Lines.push_back(line);
  }
}

void TServerSpecOperationsKv::GetChangedFields(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec,
                                               const std::vector<String>& Fields, std::vector<String>& Changed) {
  (void)Driver;
  const TMTDataStructKv* s = MemRec->RecordsList()->DataStruct();
  for (const String& name : Fields) {
    const int i = s->FieldIndex(name);
    if (i < 0) throw Exception(Format(kvmsg::SInvalidFieldName, {name, JoinComma(Fields)}));
    if (!MemRec->HasOldData() || !KvVarEquals(MemRec->GetDataValue(i, dvvValueKv), MemRec->GetDataValue(i, dvvOldValueKv)))
      Changed.push_back(name);
  }
}

void TServerSpecOperationsKv::GenerateDynaSQLCommand(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec,
                                                     TCustomSQLCommandKv* Command) {
  Command->SetCommandType(cthUpdateQuery);
  const TDynaSQLParamsKv& p = Driver->DynaSQLParams();
  const TUpdateStatus kind = MemRec->UpdateStatus();
  std::vector<String> update = CommaList(p.UpdateFields);
  if (p.SkipUnchangedFields && kind == usModified) {
    std::vector<String> changed;
    GetChangedFields(Driver, MemRec, update, changed);
    update = std::move(changed);
  }
  const std::vector<String> keys = CommaList(p.KeyFields);
  std::vector<String> lines;
  switch (kind) {
    case usInserted: {
      std::vector<String> k, u;
      for (const String& n : keys)
        if (std::find_if(update.begin(), update.end(), [&](const String& x) { return SameText(x, n); }) == update.end() &&
            Driver->FieldUsedInDynaSQL(n, kind))
          k.push_back(n);
      for (const String& n : update)
        if (Driver->FieldUsedInDynaSQL(n, kind)) u.push_back(n);
      lines.push_back(u"insert into " + p.UpdateTable);
      ColumnList(lines, {k, u}, String());
      lines.push_back(u"values");
      ColumnList(lines, {k, u}, u":");
      break;
    }
    case usModified:
      if (update.empty()) break;
      // Without a key the statement would change every row of the table.
      if (keys.empty()) throw Exception(Format(kvmsg::SNoKeyFields, {Str("UPDATE")}));
      lines.push_back(u"update " + p.UpdateTable);
      lines.push_back(u"set");
      for (size_t i = 0; i < update.size(); ++i)
        lines.push_back(u" " + update[i] + u" = :" + update[i] + (i + 1 < update.size() ? u"," : u""));
      AddWhereClause(keys, lines);
      break;
    case usDeleted:
      if (keys.empty()) throw Exception(Format(kvmsg::SNoKeyFields, {Str("DELETE")}));
      lines.push_back(u"delete from " + p.UpdateTable);
      AddWhereClause(keys, lines);
      break;
    default: break;
  }
  Command->SetCommandText(std::move(lines));
}

int TServerSpecOperationsKv::UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec) {
  return Driver->DoUpdateRecord(Data, MemRec);
}

void TServerSpecOperationsKv::GetBackUpdatedValues(TCustomSQLDataDriverKv*, TMemoryRecordKv*, TCustomSQLCommandKv*, TDataSet*) {}

void TServerSpecOperationsKv::QueryIntoField(TCustomSQLDataDriverKv* Driver, const String& Query, TMemoryRecordKv* MemRec,
                                             const String& FieldName) {
  TCustomSQLCommandKv* c = Driver->ServiceCommand();
  c->SetCommandText({Query});
  c->SetCommandType(cthSelectQuery);
  TDataSet* cursor = nullptr;
  bool freeOnEof = false;
  Driver->ExecuteCommand(c, cursor, freeOnEof);
  if (!cursor) return;
  std::unique_ptr<TDataSet> owned(freeOnEof ? cursor : nullptr);
  if (!cursor->Active()) cursor->Open();
  if (cursor->FieldCount() == 0 || cursor->IsEmpty()) return;
  const Variant v = cursor->Fields()[0]->AsVariant();
  const int i = MemRec->RecordsList()->DataStruct()->FieldIndex(FieldName);
  if (i >= 0 && !v.IsNull() && !v.IsEmpty()) MemRec->SetDataValue(i, dvvValueKv, v);
}

int TOracleSpecOperationsKv::UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec) {
  // The sequence's next value is fetched before the insert, so the row goes in with its key.
  const String seq = Driver->SpecParams().Value(u"SEQUENCE");
  if (MemRec->UpdateStatus() == usInserted && !seq.empty())
    QueryIntoField(Driver, Format(u"SELECT %s.nextval FROM dual", {seq}), MemRec, Driver->SpecParams().Value(u"SEQUENCE_FIELD"));
  return TServerSpecOperationsKv::UpdateRecord(Driver, Data, MemRec);
}

void TMSSQLSpecOperationsKv::GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec,
                                                  TCustomSQLCommandKv*, TDataSet*) {
  const String field = Driver->SpecParams().Value(u"AUTO_INCREMENT_FIELD");
  if (MemRec->UpdateStatus() == usInserted && !field.empty()) QueryIntoField(Driver, u"SELECT @@IDENTITY", MemRec, field);
}

int TInterbaseSpecOperationsKv::UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec) {
  const String gen = Driver->SpecParams().Value(u"GENERATOR");
  if (MemRec->UpdateStatus() == usInserted && !gen.empty())
    QueryIntoField(Driver, Format(u"SELECT GEN_ID(%s, %d) FROM RDB$DATABASE", {gen, 1}), MemRec,
                   Driver->SpecParams().Value(u"GENERATOR_FIELD"));
  return TServerSpecOperationsKv::UpdateRecord(Driver, Data, MemRec);
}

void TInterbaseSpecOperationsKv::GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec,
                                                      TCustomSQLCommandKv*, TDataSet*) {
  const String gen = Driver->SpecParams().Value(u"GENERATOR");
  const String field = Driver->SpecParams().Value(u"GENERATOR_FIELD");
  if (MemRec->UpdateStatus() == usInserted && !gen.empty() && MemRec->RecordsList()->DataStruct()->FieldIndex(field) >= 0)
    QueryIntoField(Driver, Format(u"SELECT GEN_ID(%s, %d) FROM RDB$DATABASE", {gen, 0}), MemRec, field);
}

void TInfromixSpecOperationsKv::GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec,
                                                     TCustomSQLCommandKv*, TDataSet*) {
  const String field = Driver->SpecParams().Value(u"AUTO_INCREMENT_FIELD");
  if (MemRec->UpdateStatus() == usInserted && !field.empty())
    QueryIntoField(Driver, u"select DBINFO(\"sqlca.sqlerrd1\") from systables where tabid=1", MemRec, field);
}

// ---- the driver ----------------------------------------------------------------------------------------

TCustomSQLDataDriverKv::TCustomSQLDataDriverKv(TComponent* AOwner)
    : TDataDriverKv(AOwner),
      FSelectCommand(std::make_unique<TCustomSQLCommandKv>(this, cthSelectQuery)),
      FUpdateCommand(std::make_unique<TCustomSQLCommandKv>(this, cthUpdateQuery)),
      FInsertCommand(std::make_unique<TCustomSQLCommandKv>(this, cthUpdateQuery)),
      FDeleteCommand(std::make_unique<TCustomSQLCommandKv>(this, cthUpdateQuery)),
      FGetrecCommand(std::make_unique<TCustomSQLCommandKv>(this, cthSelectQuery)),
      FServiceCommand(std::make_unique<TCustomSQLCommandKv>(this, cthUpdateQuery)) {
  SetResolveToDataSet(false);
  FMacros.OnChange = [this] { CommandTextsObsolete(); };
}

TCustomSQLDataDriverKv::~TCustomSQLDataDriverKv() = default;

void TCustomSQLDataDriverKv::SetSpecMacrosUsages(unsigned Value) {
  FSpecMacrosUsages = Value;
  CommandTextsObsolete();
}

void TCustomSQLDataDriverKv::CommandTextsObsolete() {
  for (auto* c : {FSelectCommand.get(), FUpdateCommand.get(), FInsertCommand.get(), FDeleteCommand.get(), FGetrecCommand.get()})
    if (c) c->SetObsolete();
}

void TCustomSQLDataDriverKv::ApplyFilterText(const String& FilterText) {
  if (FilterText.empty()) FFilterMacroValue.clear();
  else if (FSpecMacrosUsages & smuFilterAsWhereClauseKv) FFilterMacroValue = u"WHERE " + FilterText;
  else if (FSpecMacrosUsages & smuFilterWithANDPrecedingKv) FFilterMacroValue = u"AND (" + FilterText + u")";
  CommandTextsObsolete();
}

void TCustomSQLDataDriverKv::ApplyOrderByText(const String& OrderByText) {
  if (OrderByText.empty()) FSortOrderMacroValue.clear();
  else if (FSpecMacrosUsages & smuSortOrderAsOrderByClauseKv) FSortOrderMacroValue = u"ORDER BY " + OrderByText;
  else if (FSpecMacrosUsages & smuSortOrderWithCommaPrecedingKv) FSortOrderMacroValue = u", " + OrderByText;
  CommandTextsObsolete();
}

int TCustomSQLDataDriverKv::ExecuteCommand(TCustomSQLCommandKv* Command, TDataSet*& Cursor, bool& FreeOnEof) {
  if (OnExecuteCommand) return OnExecuteCommand(this, Command, Cursor, FreeOnEof);
  if (HaveDataConnection()) return Command->Execute(Cursor, FreeOnEof);
  if (TSQLDataDriverResolver* r = GetSQLDataDriverResolver()) {
    bool processed = false;
    const int result = r->ExecuteCommand(this, Command, Cursor, FreeOnEof, processed);
    if (processed) return result;
  }
  return Command->Execute(Cursor, FreeOnEof);
}

bool TCustomSQLDataDriverKv::FieldUsedInDynaSQL(const String& FieldName, TUpdateStatus Kind) const {
  return !(Kind == usInserted && SameText(FieldName, FSpecParams.Value(u"AUTO_INCREMENT_FIELD")));
}

void TCustomSQLDataDriverKv::GenerateDynamicSQLCommand(TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command) {
  TServerSpecOperationsKv* ops = FServerSpecOperations;
  if (!ops && GetSQLDataDriverResolver()) ops = GetSQLDataDriverResolver()->ServerSpecOperations;
  if (!ops) ops = DefaultServerSpecOperations();
  TServerSpecOperationsKv fallback;
  (ops ? ops : &fallback)->GenerateDynaSQLCommand(this, MemRec, Command);
}

void TCustomSQLDataDriverKv::GetBackUpdatedValues(TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command, TDataSet* ResDataSet) {
  if (OnGetBackUpdatedValues) {
    OnGetBackUpdatedValues(this, MemRec, Command, ResDataSet);
    return;
  }
  bool processed = false;
  if (TSQLDataDriverResolver* r = GetSQLDataDriverResolver()) {
    if (r->OnGetBackUpdatedValues) r->OnGetBackUpdatedValues(this, MemRec, Command, ResDataSet, processed);
    if (!processed && (r->ServerSpecOperations || FServerSpecOperations)) {
      (r->ServerSpecOperations ? r->ServerSpecOperations : FServerSpecOperations)->GetBackUpdatedValues(this, MemRec, Command, ResDataSet);
      processed = true;
    }
  }
  if (!processed && FServerSpecOperations) FServerSpecOperations->GetBackUpdatedValues(this, MemRec, Command, ResDataSet);
}

int TCustomSQLDataDriverKv::DoUpdateRecord(TMemTableDataKv* Data, TMemoryRecordKv* MemRec) {
  if (ResolveToDataSet()) return TDataDriverKv::DefaultUpdateRecord(Data, MemRec) ? 0 : -1;
  const TUpdateStatus kind = MemRec->UpdateStatus();
  const unsigned o = FDynaSQLParams.Options;
  TCustomSQLCommandKv* command = nullptr;
  if ((kind == usModified && (o & dsoDynamicSQLUpdateKv)) || (kind == usInserted && (o & dsoDynamicSQLInsertKv)) ||
      (kind == usDeleted && (o & dsoDynamicSQLDeleteKv))) {
    GenerateDynamicSQLCommand(MemRec, FServiceCommand.get());
    // Nothing left to write (every update field unchanged): done without a statement.
    if (FServiceCommand->CommandText().empty()) return 0;
    command = FServiceCommand.get();
  } else {
    command = kind == usInserted ? FInsertCommand.get() : (kind == usDeleted ? FDeleteCommand.get() : FUpdateCommand.get());
  }
  TDataSet* cursor = nullptr;
  bool freeOnEof = false;
  const int result = ExecuteCommand(command, cursor, freeOnEof);
  std::unique_ptr<TDataSet> owned(cursor && freeOnEof ? cursor : nullptr);
  if (result >= 0) GetBackUpdatedValues(MemRec, command, cursor);
  return result;
}

bool TCustomSQLDataDriverKv::DefaultUpdateRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) {
  if (IConnectionProviderKv* p = GetConnectionProvider())
    if (p->UpdateRecord(this, MemTableData, MemRec)) return true;
  int result;
  bool processed = false;
  if (TSQLDataDriverResolver* r = GetSQLDataDriverResolver()) {
    result = r->UpdateRecord(this, MemTableData, MemRec, processed);
    if (processed) return result >= 0;
  }
  result = FServerSpecOperations ? FServerSpecOperations->UpdateRecord(this, MemTableData, MemRec)
                                 : DoUpdateRecord(MemTableData, MemRec);
  // A command that nothing executed did not apply the record.
  return result >= 0;
}

void TCustomSQLDataDriverKv::DefaultProduceDataReader(TDataSet*& DataReader, bool& FreeOnEof) {
  if (ProviderDataSet()) {
    TDataDriverKv::DefaultProduceDataReader(DataReader, FreeOnEof);
    return;
  }
  ExecuteCommand(FSelectCommand.get(), DataReader, FreeOnEof);
  if (DataReader && !DataReader->Active()) DataReader->Open();
}

void TCustomSQLDataDriverKv::DefaultBuildDataStruct(TMTDataStructKv* DataStruct) {
  if (ProviderDataSet()) {
    TDataDriverKv::DefaultBuildDataStruct(DataStruct);
    return;
  }
  TDataSet* cursor = nullptr;
  bool freeOnEof = false;
  ExecuteCommand(FSelectCommand.get(), cursor, freeOnEof);
  if (!cursor) throw Exception(String(kvmsg::SSelectNoDataSet));
  std::unique_ptr<TDataSet> owned(freeOnEof ? cursor : nullptr);
  cursor->Open();
  cursor->FieldDefs().Update();
  DataStruct->BuildStructFromFieldDefs(cursor->FieldDefs());
  cursor->Close();
  StructBuilt(DataStruct);
}

void TCustomSQLDataDriverKv::DefaultRefreshRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) {
  if (ResolveToDataSet()) {
    TDataDriverKv::DefaultRefreshRecord(MemTableData, MemRec);
    return;
  }
  TDataSet* cursor = nullptr;
  bool freeOnEof = false;
  ExecuteCommand(FGetrecCommand.get(), cursor, freeOnEof);
  std::unique_ptr<TDataSet> owned(cursor && freeOnEof ? cursor : nullptr);
  if (cursor && !cursor->Active()) cursor->Open();
  if (!cursor || cursor->IsEmpty()) throw Exception(String(kvmsg::SNoFreshRecord));
  MemRec->EditForRefresh();
  try {
    for (int i = 0; i < MemRec->ValueCount(); ++i) AssignFieldValue(MemTableData, MemRec, i, dvvValueKv, cursor);
  } catch (...) {
    MemRec->Post();
    throw;
  }
  MemRec->Post();
}
