#include "engines/kv/SQLDataDriverKv.h"

#include <algorithm>

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
    : FCommandText(std::make_unique<TStringList>()),
      FCommandType(AType),
      FDataDriver(ADataDriver),
      FFinalCommandText(std::make_unique<TStringList>()) {
  FCommandText->OnChange = [this](TObject*) { TextChanged(); };
}

TCustomSQLCommandKv::~TCustomSQLCommandKv() { FCommandText->OnChange = nullptr; }

void TCustomSQLCommandKv::SetCommandText(std::initializer_list<String> Lines) {
  SetCommandText(std::vector<String>(Lines));
}

void TCustomSQLCommandKv::SetCommandText(const std::vector<String>& Lines) {
  FCommandText->BeginUpdate();
  FCommandText->Clear();
  for (const String& l : Lines) FCommandText->Add(l);
  FCommandText->EndUpdate();
  // An unchanged (empty) list reports no change; the text is formed again all the same.
  FFinalCommandTextObsolete = true;
}

String TCustomSQLCommandKv::Text() const {
  String s;
  for (int i = 0; i < FCommandText->Count(); ++i) s += FCommandText->Get(i) + u"\n";
  return s;
}

void TCustomSQLCommandKv::TextChanged() {
  if (FDataDriver) FDataDriver->CommandTextChanged(this);
  FFinalCommandTextObsolete = true;
}

void TCustomSQLCommandKv::Assign(const TPersistent* Source) {
  if (const auto* c = dynamic_cast<const TCustomSQLCommandKv*>(Source)) {
    if (c == this) return;
    FCommandText->Assign(c->FCommandText.get());
    FCommandType = c->FCommandType;
    FFinalCommandTextObsolete = true;
    return;
  }
  TPersistent::Assign(Source);
}

TSQLCommandTypeKv TCustomSQLCommandKv::GetDefaultCommandType() const {
  return FDataDriver ? FDataDriver->DefaultCommandType(this) : cthSelectQuery;
}

const TStrings& TCustomSQLCommandKv::FinalCommandText() {
  if (FFinalCommandTextObsolete) FormFinalCommandText();
  return *FFinalCommandText;
}

void TCustomSQLCommandKv::FormFinalCommandText() {
  // Substituted over the whole text, so a macro may span what the lines split.
  String text;
  for (int i = 0; i < FCommandText->Count(); ++i) text += (i ? u"\n" : u"") + FCommandText->Get(i);
  if (TCustomSQLDataDriverKv* d = FDataDriver) {
    const TMacroVarsKv& m = d->MacroVars();
    if (m.SpecMacrosUsages() & smuUseFilterMacroKv)
      text = SubstituteMacro(text, m.SpecMacros().FilterMacroName(), m.SpecMacros().FilterMacroValue());
    if (m.SpecMacrosUsages() & smuUseSortOrderMacroKv)
      text = SubstituteMacro(text, m.SpecMacros().SortOrderMacroName(), m.SpecMacros().SortOrderMacroValue());
    for (int i = 0; i < m.Macros().Count(); ++i) text = SubstituteMacro(text, m.Macros().Items(i).first, m.Macros().Items(i).second);
  }
  FFinalCommandText->BeginUpdate();
  FFinalCommandText->Clear();
  if (FCommandText->Count() > 0) {
    size_t start = 0;
    for (;;) {
      const size_t nl = text.find(u'\n', start);
      FFinalCommandText->Add(text.substr(start, nl == String::npos ? String::npos : nl - start));
      if (nl == String::npos) break;
      start = nl + 1;
    }
  }
  FFinalCommandText->EndUpdate();
  FFinalCommandTextObsolete = false;
}

String TCustomSQLCommandKv::FinalText() {
  const TStrings& lines = FinalCommandText();
  String s;
  for (int i = 0; i < lines.Count(); ++i) s += lines.Get(i) + u"\n";
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

// ---- commands with parameters --------------------------------------------------------------------------

namespace {
bool IsParamNameChar(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_' || c == u'$' ||
         c == u'#' || c >= 0x80;
}
}  // namespace

std::vector<String> ParseSQLParamNames(const String& Text) {
  std::vector<String> names;
  const size_t n = Text.size();
  for (size_t i = 0; i < n; ++i) {
    const char16_t c = Text[i];
    if (c == u'\'' || c == u'"') {
      // Quoted text (a doubled quote inside stays inside) holds no parameters.
      for (++i; i < n; ++i)
        if (Text[i] == c) {
          if (i + 1 < n && Text[i + 1] == c) ++i;
          else break;
        }
      continue;
    }
    if (c != u':') continue;
    if (i + 1 < n && Text[i + 1] == u':') {
      ++i;  // "::" is a literal colon
      continue;
    }
    size_t end = i + 1;
    while (end < n && IsParamNameChar(Text[end])) ++end;
    if (end == i + 1) continue;
    String name = Text.substr(i + 1, end - i - 1);
    if (std::none_of(names.begin(), names.end(), [&](const String& x) { return SameText(x, name); }))
      names.push_back(std::move(name));
    i = end - 1;
  }
  return names;
}

void TParamSQLCommandKv::TextChanged() {
  TCustomSQLCommandKv::TextChanged();
  FParamsObsolete = true;
}

TParams* TParamSQLCommandKv::GetParams() {
  if (FParamsObsolete || FinalCommandTextObsolete()) RebuildParams();
  return &FParams;
}

void TParamSQLCommandKv::RebuildParams() {
  FinalCommandText();
  String text;
  for (int i = 0; i < FinalCommandText().Count(); ++i) text += FinalCommandText().Get(i) + u"\n";
  const std::vector<String> names = ParseSQLParamNames(text);
  // A parameter that stays keeps its type and value.
  struct Kept {
    String Name;
    TFieldType Type;
    Variant Value;
    bool Bound;
  };
  std::vector<Kept> kept;
  for (const auto& p : FParams) kept.push_back({p->Name(), p->DataType(), p->Value(), p->Bound()});
  FParams.Clear();
  for (const String& name : names) {
    TParam* p = FParams.CreateParam(ftUnknown, name, ptInput);
    for (const Kept& k : kept)
      if (SameText(k.Name, name)) {
        if (k.Type != ftUnknown) p->SetDataType(k.Type);
        p->SetValue(k.Value);
        p->SetBound(k.Bound);
        break;
      }
  }
  FParamsObsolete = false;
}

void TParamSQLCommandKv::RefreshParams(TMemoryRecordKv* MemRecord, TDataValueVersionKv DataValueVersion) {
  TParams* params = GetParams();
  if (!MemRecord || params->Count() == 0) return;
  const TMTDataStructKv* s = MemRecord->RecordsList()->DataStruct();
  for (const auto& p : *params) {
    const String& name = p->Name();
    int i = s->FieldIndex(name);
    TDataValueVersionKv version = DataValueVersion;
    if (i < 0 && name.size() > 4 && SameText(name.substr(0, 4), u"OLD_")) {
      i = s->FieldIndex(std::u16string_view(name).substr(4));
      // A record without old values (a new one) has only its current ones.
      version = MemRecord->HasOldData() ? dvvOldValueKv : dvvValueKv;
    }
    if (i < 0) continue;
    if (p->DataType() == ftUnknown) p->SetDataType(s->DataFields(i)->DataType());
    p->SetValue(MemRecord->GetDataValue(i, version));
  }
}

void TParamSQLCommandKv::SetParams(TParams* AParams) {
  TParams* own = GetParams();
  if (!AParams || AParams == own) return;
  for (const auto& p : *AParams)
    if (TParam* q = own->FindParam(p->Name())) {
      if (p->DataType() != ftUnknown) q->SetDataType(p->DataType());
      q->SetValue(p->Value());
      q->SetBound(p->Bound());
    }
}

// ---- dynamic-SQL parameters and macros -----------------------------------------------------------------

void TDynaSQLParamsKv::Assign(const TPersistent* Source) {
  if (const auto* p = dynamic_cast<const TDynaSQLParamsKv*>(Source)) {
    FUpdateTable = p->FUpdateTable;
    FUpdateFields = p->FUpdateFields;
    FKeyFields = p->FKeyFields;
    FSkipUnchangedFields = p->FSkipUnchangedFields;
    FOptions = p->FOptions;
    FUpdateFieldListSource = p->FUpdateFieldListSource;
    return;
  }
  TPersistent::Assign(Source);
}

void TSpecMacrosKv::Changed() {
  if (FMacroVars) FMacroVars->MacrosChanged();
}

void TSpecMacrosKv::SetFilterMacroName(const String& Value) {
  if (Value == FFilterMacroName) return;
  FFilterMacroName = Value;
  Changed();
}

void TSpecMacrosKv::SetSortOrderMacroName(const String& Value) {
  if (Value == FSortOrderMacroName) return;
  FSortOrderMacroName = Value;
  Changed();
}

void TSpecMacrosKv::SetFilterMacroValue(const String& Value) {
  FFilterMacroValue = Value;
  Changed();
}

void TSpecMacrosKv::SetSortOrderMacroValue(const String& Value) {
  FSortOrderMacroValue = Value;
  Changed();
}

void TSpecMacrosKv::Assign(const TPersistent* Source) {
  if (const auto* m = dynamic_cast<const TSpecMacrosKv*>(Source)) {
    FFilterMacroName = m->FFilterMacroName;
    FSortOrderMacroName = m->FSortOrderMacroName;
    Changed();
    return;
  }
  TPersistent::Assign(Source);
}

TMacroVarsKv::TMacroVarsKv(TCustomSQLDataDriverKv* ADataDriver) : FDataDriver(ADataDriver), FSpecMacros(this) {
  FMacros.OnChange = [this] { MacrosChanged(); };
}

void TMacroVarsKv::SetSpecMacrosUsages(unsigned Value) {
  if (Value == FSpecMacrosUsages) return;
  FSpecMacrosUsages = Value;
  MacrosChanged();
}

void TMacroVarsKv::Assign(const TPersistent* Source) {
  if (const auto* m = dynamic_cast<const TMacroVarsKv*>(Source)) {
    if (m == this) return;
    FSpecMacros.Assign(&m->FSpecMacros);
    FSpecMacrosUsages = m->FSpecMacrosUsages;
    FMacros.Assign(m->FMacros);
    MacrosChanged();
    return;
  }
  TPersistent::Assign(Source);
}

void TMacroVarsKv::MacrosChanged() {
  if (FDataDriver) FDataDriver->CommandTextsObsolete();
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

TServerSpecOperationsKv* TSQLDataDriverResolver::GetServerSpecOperations() {
  if (OnGetServerSpecOperations) {
    bool processed = false;
    TServerSpecOperationsKv* ops = nullptr;
    OnGetServerSpecOperations(processed, ops);
    if (processed) return ops;
  }
  return ServerSpecOperations;
}

int TSQLDataDriverResolver::UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec,
                                         bool& Processed) {
  Processed = false;
  if (OnUpdateRecord) {
    OnUpdateRecord(Driver, Data, MemRec, Processed);
    if (Processed) return 0;
  }
  return DefaultUpdateRecord(Driver, Data, MemRec, Processed);
}

int TSQLDataDriverResolver::DefaultUpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec,
                                                bool& Processed) {
  Processed = true;
  if (TServerSpecOperationsKv* ops = GetServerSpecOperations()) return ops->UpdateRecord(Driver, Data, MemRec);
  if (TServerSpecOperationsKv* ops = Driver->ServerSpecOperations()) return ops->UpdateRecord(Driver, Data, MemRec);
  return Driver->DoUpdateRecord(Data, MemRec);
}

void TSQLDataDriverResolver::GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec,
                                                  TCustomSQLCommandKv* Command, TDataSet* ResDataSet, bool& Processed) {
  Processed = false;
  if (OnGetBackUpdatedValues) OnGetBackUpdatedValues(Driver, MemRec, Command, ResDataSet, Processed);
  if (!Processed) DefaultGetUpdatedServerValues(Driver, MemRec, Command, ResDataSet, Processed);
}

void TSQLDataDriverResolver::DefaultGetUpdatedServerValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec,
                                                           TCustomSQLCommandKv* Command, TDataSet* ResDataSet,
                                                           bool& Processed) {
  TServerSpecOperationsKv* ops = GetServerSpecOperations();
  if (!ops) ops = Driver->ServerSpecOperations();
  Processed = ops != nullptr;
  if (ops) ops->GetBackUpdatedValues(Driver, MemRec, Command, ResDataSet);
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
  const std::vector<String> keys = CommaList(p.KeyFields());
  auto isKey = [&](const String& n) {
    return std::any_of(keys.begin(), keys.end(), [&](const String& k) { return SameText(k, n); });
  };
  std::vector<String> update;
  if (p.UpdateFieldListSource() == tflsListPropertyKv) {
    update = CommaList(p.UpdateFields());
  } else if (IConnectionProviderKv* provider = Driver->GetConnectionProvider()) {
    // The table's columns as the schema lists them, in the record's field order, keys left out.
    std::vector<String> columns;
    if (provider->GetTableFieldNames(p.UpdateTable(), columns)) {
      const TMTDataStructKv* s = MemRec->RecordsList()->DataStruct();
      for (int i = 0; i < s->Count(); ++i) {
        const TMTDataFieldKv* f = s->DataFields(i);
        if (f->Calculated() || isKey(f->FieldName())) continue;
        if (std::any_of(columns.begin(), columns.end(), [&](const String& c) { return SameText(c, f->FieldName()); }))
          update.push_back(f->FieldName());
      }
    }
  }
  if (p.SkipUnchangedFields() && kind == usModified) {
    std::vector<String> changed;
    GetChangedFields(Driver, MemRec, update, changed);
    update = std::move(changed);
  }
  std::vector<String> lines;
  switch (kind) {
    case usInserted: {
      std::vector<String> k, u;
      for (const String& n : keys)
        if (std::none_of(update.begin(), update.end(), [&](const String& x) { return SameText(x, n); }) &&
            Driver->FieldUsedInDynaSQL(n, kind))
          k.push_back(n);
      for (const String& n : update)
        if (Driver->FieldUsedInDynaSQL(n, kind)) u.push_back(n);
      lines.push_back(u"insert into " + p.UpdateTable());
      ColumnList(lines, {k, u}, String());
      lines.push_back(u"values");
      ColumnList(lines, {k, u}, u":");
      break;
    }
    case usModified:
      if (update.empty()) break;
      // Without a key the statement would change every row of the table.
      if (keys.empty()) throw Exception(Format(kvmsg::SNoKeyFields, {Str("UPDATE")}));
      lines.push_back(u"update " + p.UpdateTable());
      lines.push_back(u"set");
      for (size_t i = 0; i < update.size(); ++i)
        lines.push_back(u" " + update[i] + u" = :" + update[i] + (i + 1 < update.size() ? u"," : u""));
      AddWhereClause(keys, lines);
      break;
    case usDeleted:
      if (keys.empty()) throw Exception(Format(kvmsg::SNoKeyFields, {Str("DELETE")}));
      lines.push_back(u"delete from " + p.UpdateTable());
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
  if (TParams* params = c->GetParams()) {
    params->Clear();
    c->SetParams(params);
  }
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
  const String seq = Driver->SpecParams().Values(u"SEQUENCE");
  if (MemRec->UpdateStatus() == usInserted && !seq.empty())
    QueryIntoField(Driver, Format(u"SELECT %s.nextval FROM dual", {seq}), MemRec, Driver->SpecParams().Values(u"SEQUENCE_FIELD"));
  return TServerSpecOperationsKv::UpdateRecord(Driver, Data, MemRec);
}

void TMSSQLSpecOperationsKv::GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec,
                                                  TCustomSQLCommandKv*, TDataSet*) {
  const String field = Driver->SpecParams().Values(u"AUTO_INCREMENT_FIELD");
  if (MemRec->UpdateStatus() == usInserted && !field.empty()) QueryIntoField(Driver, u"SELECT @@IDENTITY", MemRec, field);
}

int TInterbaseSpecOperationsKv::UpdateRecord(TCustomSQLDataDriverKv* Driver, TMemTableDataKv* Data, TMemoryRecordKv* MemRec) {
  const String gen = Driver->SpecParams().Values(u"GENERATOR");
  if (MemRec->UpdateStatus() == usInserted && !gen.empty())
    QueryIntoField(Driver, Format(u"SELECT GEN_ID(%s, %d) FROM RDB$DATABASE", {gen, 1}), MemRec,
                   Driver->SpecParams().Values(u"GENERATOR_FIELD"));
  return TServerSpecOperationsKv::UpdateRecord(Driver, Data, MemRec);
}

void TInterbaseSpecOperationsKv::GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec,
                                                      TCustomSQLCommandKv*, TDataSet*) {
  const String gen = Driver->SpecParams().Values(u"GENERATOR");
  const String field = Driver->SpecParams().Values(u"GENERATOR_FIELD");
  if (MemRec->UpdateStatus() == usInserted && !gen.empty() && MemRec->RecordsList()->DataStruct()->FieldIndex(field) >= 0)
    QueryIntoField(Driver, Format(u"SELECT GEN_ID(%s, %d) FROM RDB$DATABASE", {gen, 0}), MemRec, field);
}

void TInfromixSpecOperationsKv::GetBackUpdatedValues(TCustomSQLDataDriverKv* Driver, TMemoryRecordKv* MemRec,
                                                     TCustomSQLCommandKv*, TDataSet*) {
  const String field = Driver->SpecParams().Values(u"AUTO_INCREMENT_FIELD");
  if (MemRec->UpdateStatus() == usInserted && !field.empty())
    QueryIntoField(Driver, u"select DBINFO(\"sqlca.sqlerrd1\") from systables where tabid=1", MemRec, field);
}

// ---- the driver ----------------------------------------------------------------------------------------

TCustomSQLDataDriverKv::TCustomSQLDataDriverKv(TComponent* AOwner)
    : TDataDriverKv(AOwner), FDynaSQLParams(this), FMacroVars(this) {
  RecreateCommands();
  SetResolveToDataSet(false);
}

TCustomSQLDataDriverKv::~TCustomSQLDataDriverKv() {
  if (FDesignDataBase) FDesignDataBase->RemoveFreeNotification(this);
}

std::unique_ptr<TCustomSQLCommandKv> TCustomSQLDataDriverKv::NewDriverCommand() {
  return std::make_unique<TCustomSQLCommandKv>(this, cthSelectQuery);
}

void TCustomSQLDataDriverKv::RecreateCommands() {
  for (auto* slot : {&FSelectCommand, &FUpdateCommand, &FInsertCommand, &FDeleteCommand, &FGetrecCommand, &FServiceCommand}) {
    std::unique_ptr<TCustomSQLCommandKv> c = NewDriverCommand();
    if (*slot) c->Assign(slot->get());
    std::swap(*slot, c);
    if (!c) (*slot)->SetCommandType(DefaultCommandType(slot->get()));
  }
}

TSQLCommandTypeKv TCustomSQLDataDriverKv::DefaultCommandType(const TCustomSQLCommandKv* Command) const {
  return Command && (Command == FSelectCommand.get() || Command == FGetrecCommand.get()) ? cthSelectQuery : cthUpdateQuery;
}

void TCustomSQLDataDriverKv::SetDesignDataBase(TComponent* Value) {
  if (Value == FDesignDataBase) return;
  if (FDesignDataBase) FDesignDataBase->RemoveFreeNotification(this);
  FDesignDataBase = Value;
  if (Value) Value->FreeNotification(this);
}

TComponent* TCustomSQLDataDriverKv::GetDesignDataBase() const {
  if (IConnectionProviderKv* p = GetConnectionProvider())
    if (TComponent* db = p->GetDesignDataBase()) return db;
  return FDesignDataBase;
}

void TCustomSQLDataDriverKv::Notification(TComponent* AComponent, TOperation Operation) {
  TDataDriverKv::Notification(AComponent, Operation);
  if (Operation == TOperation::opRemove && AComponent == FDesignDataBase) FDesignDataBase = nullptr;
}

std::unique_ptr<TCustomSQLDataDriverKv> TCustomSQLDataDriverKv::CreateDesignCopy() {
  auto copy = std::make_unique<TCustomSQLDataDriverKv>(nullptr);
  copy->AssignFromDesignDriver(this);
  return copy;
}

void TCustomSQLDataDriverKv::AssignFromDesignDriver(TCustomSQLDataDriverKv* DesignDriver) {
  if (!DesignDriver || DesignDriver == this) return;
  FSelectCommand->Assign(DesignDriver->FSelectCommand.get());
  FUpdateCommand->Assign(DesignDriver->FUpdateCommand.get());
  FInsertCommand->Assign(DesignDriver->FInsertCommand.get());
  FDeleteCommand->Assign(DesignDriver->FDeleteCommand.get());
  FGetrecCommand->Assign(DesignDriver->FGetrecCommand.get());
  FSpecParams.Assign(&DesignDriver->FSpecParams);
  FDynaSQLParams.Assign(&DesignDriver->FDynaSQLParams);
  FMacroVars.Assign(&DesignDriver->FMacroVars);
}

void TCustomSQLDataDriverKv::CommandTextsObsolete() {
  for (auto* c : {FSelectCommand.get(), FUpdateCommand.get(), FInsertCommand.get(), FDeleteCommand.get(), FGetrecCommand.get(),
                  FServiceCommand.get()})
    if (c) c->SetObsolete();
}

void TCustomSQLDataDriverKv::CommandTextChanged(TCustomSQLCommandKv* Command) {
  if (Command && Command == FSelectCommand.get()) NotifyConsumerStructChanged();
}

void TCustomSQLDataDriverKv::ApplyFilterText(const String& FilterText) {
  TSpecMacrosKv& m = FMacroVars.SpecMacros();
  if (FilterText.empty()) m.SetFilterMacroValue(String());
  else if (SpecMacrosUsages() & smuFilterAsWhereClauseKv) m.SetFilterMacroValue(u"WHERE " + FilterText);
  else if (SpecMacrosUsages() & smuFilterWithANDPrecedingKv) m.SetFilterMacroValue(u"AND (" + FilterText + u")");
}

void TCustomSQLDataDriverKv::ApplyOrderByText(const String& OrderByText) {
  TSpecMacrosKv& m = FMacroVars.SpecMacros();
  if (OrderByText.empty()) m.SetSortOrderMacroValue(String());
  else if (SpecMacrosUsages() & smuSortOrderAsOrderByClauseKv) m.SetSortOrderMacroValue(u"ORDER BY " + OrderByText);
  else if (SpecMacrosUsages() & smuSortOrderWithCommaPrecedingKv) m.SetSortOrderMacroValue(u", " + OrderByText);
}

int TCustomSQLDataDriverKv::ExecuteCommand(TCustomSQLCommandKv* Command, TDataSet*& Cursor, bool& FreeOnEof) {
  if (OnExecuteCommand) return OnExecuteCommand(this, Command, Cursor, FreeOnEof);
  return DefaultExecuteCommand(Command, Cursor, FreeOnEof);
}

int TCustomSQLDataDriverKv::DefaultExecuteCommand(TCustomSQLCommandKv* Command, TDataSet*& Cursor, bool& FreeOnEof) {
  if (HaveDataConnection()) return Command->Execute(Cursor, FreeOnEof);
  if (TSQLDataDriverResolver* r = GetSQLDataDriverResolver()) {
    bool processed = false;
    const int result = r->ExecuteCommand(this, Command, Cursor, FreeOnEof, processed);
    if (processed) return result;
  }
  return Command->Execute(Cursor, FreeOnEof);
}

bool TCustomSQLDataDriverKv::ConnectionIsPostponed() const {
  IConnectionProviderKv* p = GetConnectionProvider();
  return p && p->ConnectionIsPostponed();
}

void TCustomSQLDataDriverKv::AddPostponedActivationDataSet(TDataSet* ADataSet) {
  if (IConnectionProviderKv* p = GetConnectionProvider()) p->AddPostponedActivationDataSet(ADataSet);
}

bool TCustomSQLDataDriverKv::FieldUsedInDynaSQL(const String& FieldName, TUpdateStatus Kind) const {
  return !(Kind == usInserted && SameText(FieldName, FSpecParams.Values(u"AUTO_INCREMENT_FIELD")));
}

void TCustomSQLDataDriverKv::StructBuilt(TMTDataStructKv* DataStruct) {
  TDataDriverKv::StructBuilt(DataStruct);
  const String name = FSpecParams.Values(u"AUTO_INCREMENT_FIELD");
  if (name.empty()) return;
  TMTDataFieldKv* f = DataStruct->FindField(name);
  if (!f) return;
  switch (f->DataType()) {
    case ftSmallint: case ftInteger: case ftWord: case ftAutoInc: case ftLargeint: case ftLongWord: case ftShortint:
    case ftByte: case ftFloat: case ftCurrency: case ftBCD: case ftFMTBcd: case ftExtended: case ftSingle:
      f->SetAutoIncrement(true);
      break;
    default: break;
  }
}

void TCustomSQLDataDriverKv::GenerateDynamicSQLCommand(TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command) {
  TServerSpecOperationsKv* ops = ServerSpecOperations();
  if (!ops && GetSQLDataDriverResolver()) ops = GetSQLDataDriverResolver()->GetServerSpecOperations();
  if (!ops) ops = DefaultServerSpecOperations();
  TServerSpecOperationsKv fallback;  // the module's state was never set up
  (ops ? ops : &fallback)->GenerateDynaSQLCommand(this, MemRec, Command);
}

void TCustomSQLDataDriverKv::GetBackUpdatedValues(TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command, TDataSet* ResDataSet) {
  if (OnGetBackUpdatedValues) OnGetBackUpdatedValues(this, MemRec, Command, ResDataSet);
  else DefaultGetUpdatedServerValues(MemRec, Command, ResDataSet);
}

void TCustomSQLDataDriverKv::DefaultGetUpdatedServerValues(TMemoryRecordKv* MemRec, TCustomSQLCommandKv* Command,
                                                           TDataSet* ResDataSet) {
  bool processed = false;
  if (IConnectionProviderKv* p = GetConnectionProvider()) p->GetBackUpdatedValues(this, MemRec, Command, ResDataSet, processed);
  if (!processed)
    if (TSQLDataDriverResolver* r = GetSQLDataDriverResolver()) r->GetBackUpdatedValues(this, MemRec, Command, ResDataSet, processed);
  if (!processed)
    if (TServerSpecOperationsKv* ops = ServerSpecOperations()) ops->GetBackUpdatedValues(this, MemRec, Command, ResDataSet);
}

int TCustomSQLDataDriverKv::DoUpdateRecord(TMemTableDataKv* Data, TMemoryRecordKv* MemRec) {
  if (ResolveToDataSet()) return TDataDriverKv::DefaultUpdateRecord(Data, MemRec) ? 0 : -1;
  const TUpdateStatus kind = MemRec->UpdateStatus();
  const unsigned o = FDynaSQLParams.Options();
  TCustomSQLCommandKv* command = nullptr;
  if ((kind == usModified && (o & dsoDynamicSQLUpdateKv)) || (kind == usInserted && (o & dsoDynamicSQLInsertKv)) ||
      (kind == usDeleted && (o & dsoDynamicSQLDeleteKv))) {
    GenerateDynamicSQLCommand(MemRec, FServiceCommand.get());
    // Nothing left to write (every update field unchanged): done without a statement.
    if (FServiceCommand->CommandText().Count() == 0) return 0;
    command = FServiceCommand.get();
  } else {
    command = kind == usInserted ? FInsertCommand.get() : (kind == usDeleted ? FDeleteCommand.get() : FUpdateCommand.get());
  }
  command->RefreshParams(MemRec, dvvValueKv);
  TDataSet* cursor = nullptr;
  bool freeOnEof = false;
  const int result = ExecuteCommand(command, cursor, freeOnEof);
  std::unique_ptr<TDataSet> owned(cursor && freeOnEof ? cursor : nullptr);
  // Values the server generated are fetched only for a statement that ran.
  if (result >= 0) GetBackUpdatedValues(MemRec, command, cursor);
  return result;
}

bool TCustomSQLDataDriverKv::DefaultUpdateRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) {
  int result = -1;
  bool processed = false;
  if (IConnectionProviderKv* p = GetConnectionProvider()) {
    result = p->UpdateRecord(this, MemTableData, MemRec, processed);
    if (processed) return result >= 0;
  }
  if (TSQLDataDriverResolver* r = GetSQLDataDriverResolver()) {
    result = r->UpdateRecord(this, MemTableData, MemRec, processed);
    if (processed) return result >= 0;
  }
  TServerSpecOperationsKv* ops = ServerSpecOperations();
  result = ops ? ops->UpdateRecord(this, MemTableData, MemRec) : DoUpdateRecord(MemTableData, MemRec);
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
  if (ProviderDataSet() || ReaderDataSet()) {
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

bool TCustomSQLDataDriverKv::RefreshReaderParamsFromCursor(TDataSet* DataSet) {
  if (ProviderDataSet()) return TDataDriverKv::RefreshReaderParamsFromCursor(DataSet);
  TParams* params = FSelectCommand->GetParams();
  if (!params || !DataSet) return false;
  for (const auto& p : *params)
    if (TField* f = DataSet->FindField(p->Name()))
      if (!KvVarEquals(p->Value(), f->AsVariant())) return true;
  return false;
}

void TCustomSQLDataDriverKv::SetReaderParamsFromCursor(TDataSet* DataSet) {
  if (ProviderDataSet()) {
    TDataDriverKv::SetReaderParamsFromCursor(DataSet);
    return;
  }
  TParams* params = FSelectCommand->GetParams();
  if (!params || !DataSet) return;
  DataSet->FieldDefs().Update();
  for (const auto& p : *params) {
    TField* f = DataSet->FieldByName(p->Name());
    p->SetDataType(f->DataType());
    p->SetValue(f->AsVariant());
    p->SetBound(false);
  }
  FSelectCommand->SetParams(params);
}

void TCustomSQLDataDriverKv::DefaultRefreshRecord(TMemTableDataKv* MemTableData, TMemoryRecordKv* MemRec) {
  if (ResolveToDataSet()) {
    TDataDriverKv::DefaultRefreshRecord(MemTableData, MemRec);
    return;
  }
  FGetrecCommand->RefreshParams(MemRec, dvvOldestValue);
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
