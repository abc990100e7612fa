// The SQL script export of a table, a view and a database (contract in MdbSQLExport.h).
#include "engines/mdb/storage/MdbSQLExport.h"

#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbCodecs.h"
#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbTypeTable.h"
#include "engines/mdb/runtime/MdbUtils.h"
#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbFieldDefs.h"
#include "engines/mdb/storage/MdbLocalSession.h"
#include "engines/mdb/storage/MdbMetaDefs.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/FormatSettings.h"
#include "platform/rtl/SysUtils.h"

namespace {

constexpr char16_t CRLF[] = u"\r\n";

String Num(Int64 V) { return IntToStr(V); }

String TypeName(TMdbAdvancedFieldType T) { return AnsiToString(TypesToTypeName(T)); }

bool IsCharacterType(TMdbAdvancedFieldType T) {
  return T == aftChar || T == aftString || T == aftWideChar || T == aftWideString || T == aftBytes || T == aftVarBytes;
}

bool IsBlobType(TMdbAdvancedFieldType T) {
  return T == aftBlob || T == aftGraphic || T == aftMemo || T == aftFormattedMemo || T == aftWideMemo;
}

const char16_t* CompressionName(TMdbCompressionAlgorithm A) {
  switch (A) {
    case acaZLIB: return u"ZLIB";
    case acaBZIP: return u"BZIP";
    case acaPPM: return u"PPM";
    default: return u"NONE";
  }
}

// 'text' with every inner quote doubled.
String Quoted(std::u16string_view Text) {
  String Out;
  Out.reserve(Text.size() + 2);
  Out += u'\'';
  for (char16_t c : Text) {
    if (c == u'\'') Out += u'\'';
    Out += c;
  }
  Out += u'\'';
  return Out;
}

class TExporter {
 public:
  TExporter(TMdbCursor* Cursor, const TMdbSQLExportOptions& Options) : C(Cursor), O(Options) {
    IsView = C->FIsView;
    Name = ObjectName(IsView ? C->FViewName : C->FTableName);
    if (!IsView && C->FInMemory) Name = u"MEMORY " + Name;
  }

  void Run(String& Script, String& ForeignKeys) {
    if (O.ExportStructure) {
      if (O.AddDropTableCommand)
        Script += (IsView ? u"DROP VIEW " : u"DROP TABLE ") + Name + u" CASCADE;" + CRLF;
      Script += IsView ? CreateView() : CreateTable();
    }
    if (O.ExportForeignKeys && !IsView) ForeignKeys += ForeignKeyStatements();
    if (IsView) return;
    if (O.ExportIndexes) Script += Indexes();
    if (O.ExportData) Data(Script);
  }

 private:
  String ObjectName(const String& N) const { return O.UseBracketsForNames ? u"[" + N + u"]" : N; }

  // A value as the script writes it: character values quoted, numbers with ".", dates through TODATE.
  String ValueText(const TMdbVariant& V) const {
    if (V.IsNull()) return u"NULL";
    if (V.IsStringDataType() || V.IsWideStringDataType()) return Quoted(V.AsWideString());
    const TMdbBaseFieldType T = V.DataType();
    if (T == bftDate || T == bftTime || T == bftDateTime) {
      const TDateTime D = T == bftDate ? V.AsTDate() : T == bftTime ? V.AsTTime() : V.AsTDateTime();
      std::uint16_t Y = 0, M = 0, Dd = 0, H = 0, N = 0, S = 0, Z = 0;
      DecodeDateTime(D, Y, M, Dd, H, N, S, Z);
      return u"TODATE('" + Num(M) + u"/" + Num(Dd) + u"/" + Num(Y) + u" " + Num(H) + u":" + Num(N) + u":" + Num(S) +
             u":" + Num(Z) + u"','M/D/YYYY H24:N:S:Z')";
    }
    String Text = AnsiToString(V.AsString());
    if (V.IsNumericDataType()) {
      const char16_t Sep = FormatSettings().DecimalSeparator;
      if (Sep != u'.')
        for (char16_t& c : Text)
          if (c == Sep) c = u'.';
    }
    return Text;
  }

  String ColumnList(const TMdbIndexDef& I, const char16_t* Separator, bool Indented) const {
    String Out;
    for (std::int32_t k = 0; k < I.ColumnCount(); ++k) {
      const TMdbIndexColumn& Col = I.GetIndexColumn(k);
      if (k > 0) Out += Separator;
      if (Indented) Out += u'\t';
      Out += ObjectName(Col.FieldName);
      if (Col.Descending) Out += u" DESC";
      if (Col.CaseInsensitive) Out += u" NOCASE";
    }
    return Out;
  }

  String ColumnDefinition(const TMdbFieldDef& F) const {
    String Out = ObjectName(F.Name());
    const TMdbAdvancedFieldType T = F.FAdvancedFieldType;
    if (IsAutoIncAdvancedType(T)) {
      Out += u"  " + TypeName(aftAutoInc) + u" (" + TypeName(T) + u" INITIALVALUE " + Num(F.FAutoincInitialValue) +
             u" INCREMENT " + Num(F.FAutoincIncrement) + u" " +
             (F.FAutoincMinValue == 0 ? String(u"NOMINVALUE") : u"MINVALUE " + Num(F.FAutoincMinValue)) + u" " +
             (F.FAutoincMaxValue == INT64_MAX ? String(u"NOMAXVALUE") : u"MAXVALUE " + Num(F.FAutoincMaxValue)) + u" " +
             (F.FAutoincCycled ? u"CYCLED" : u"NOCYCLED") + u")";
    } else {
      Out += u" " + TypeName(T);
      if (IsCharacterType(T)) Out += u" (" + Num(F.FFieldSize) + u")";
    }
    if (IsBlobType(T))
      Out += u" BLOBBLOCKSIZE " + Num(F.FBLOBBlockSize) + u" BLOBCOMPRESSIONALGORITHM " +
             CompressionName(F.FBLOBCompressionAlgorithm) + u" BLOBCOMPRESSIONMODE " + Num(F.FBLOBCompressionMode);
    if (F.FDefaultValue && !F.FDefaultValue->IsNull()) Out += u" DEFAULT " + ValueText(*F.FDefaultValue);
    const String Upper = UpperCaseWide(F.Name());
    for (std::int32_t i = 0; i < C->FConstraintDefs.Count(); ++i) {
      const TMdbConstraintDef* D = C->FConstraintDefs.GetDef(i);
      if (const auto* N = dynamic_cast<const TMdbConstraintDefNotNull*>(D)) {
        if (UpperCaseWide(N->ColumnName) == Upper) Out += u" NOT NULL";
      } else if (const auto* K = dynamic_cast<const TMdbConstraintDefCheck*>(D)) {
        if (UpperCaseWide(K->ColumnName) != Upper) continue;
        if (K->MinValue && !K->MinValue->IsNull()) Out += u" MINVALUE " + ValueText(*K->MinValue);
        if (K->MaxValue && !K->MaxValue->IsNull()) Out += u" MAXVALUE " + ValueText(*K->MaxValue);
      }
    }
    return Out;
  }

  String Comment() const {
    // The comment is quoted like any text: a quote inside it would otherwise end the statement.
    return C->FComment.empty() ? String() : u" COMMENT " + Quoted(C->FComment);
  }

  String CreateTable() const {
    String Out = u"CREATE TABLE " + Name + u" (" + CRLF;
    for (std::int32_t i = 0; i < C->FFieldDefs.Count(); ++i) {
      if (i > 0) Out += String(u",") + CRLF;
      Out += u"\t";
      Out += ColumnDefinition(*C->FFieldDefs.GetDef(i));
    }
    for (std::int32_t i = 0; i < C->FIndexDefs.Count(); ++i) {
      const TMdbIndexDef& I = *C->FIndexDefs.GetDef(i);
      if (!I.FPrimary) continue;
      Out += String(u",") + CRLF + u"PRIMARY KEY " + ObjectName(I.Name()) + u" (" + ColumnList(I, u", ", false) + u")";
    }
    return Out + CRLF + u")" + Comment() + u";" + CRLF;
  }

  String CreateView() const {
    String Out = u"CREATE VIEW " + Name + u" ";
    if (!C->FViewColumns.empty()) Out += u"(" + C->FViewColumns + u") ";
    Out += String(u"AS") + CRLF + C->FViewSelect + CRLF;
    if (C->FIsViewWithCheckOption) Out += u"WITH CHECK OPTION";
    return Out + Comment() + u";" + CRLF;
  }

  String Indexes() const {
    String Out;
    for (std::int32_t i = 0; i < C->FIndexDefs.Count(); ++i) {
      const TMdbIndexDef& I = *C->FIndexDefs.GetDef(i);
      if (I.FPrimary) continue;
      const String IndexName = ObjectName(I.Name());
      if (O.AddDropIndexCommand) Out += u"DROP INDEX IF EXISTS " + Name + u"." + IndexName + u";" + CRLF;
      Out += String(u"CREATE ") + (I.FUnique ? u"UNIQUE " : u"") + u"INDEX " + IndexName + u" ON " + Name + u" (" + CRLF +
             ColumnList(I, u",\r\n", true) + CRLF + u");" + CRLF;
    }
    return Out;
  }

  String ForeignKeyStatements() const {
    String Out;
    bool First = true;
    for (std::int32_t i = 0; i < C->FConstraintDefs.Count(); ++i) {
      const TMdbConstraintDef* D = C->FConstraintDefs.GetDef(i);
      if (D->ConstraintType() != ctFK) continue;
      const auto* K = static_cast<const TMdbConstraintDefForeignKeyAction*>(D);
      if (!First) Out += CRLF;
      First = false;
      Out += u"ALTER TABLE " + Name + u" ADD FOREIGN KEY " + ObjectName(K->Name()) + u" (";
      for (std::size_t k = 0; k < K->Columns.size(); ++k) {
        if (k > 0) Out += u", ";
        Out += ObjectName(K->Columns[k].ColumnName);
      }
      Out += u") REFERENCES " + ObjectName(K->ReferencedTableName) + u" ";
      if (K->MatchType == cfkmtFull) Out += u"MATCH FULL ";
      if (K->MatchType == cfkmtPartial) Out += u"MATCH PARTIAL ";
      Out += Action(K->DeleteAction, u"ON DELETE ") + Action(K->UpdateAction, u" ON UPDATE ") + u";";
    }
    return Out;
  }

  static String Action(TMdbConstraintForeignKeyAction A, const char16_t* Lead) {
    switch (A) {
      case cfkaCascade: return Lead + String(u"CASCADE");
      case cfkaSetNull: return Lead + String(u"SET NULL");
      case cfkaSetDefault: return Lead + String(u"SET DEFAULT");
      case cfkaNoAction: return Lead + String(u"NO ACTION");
      default: return String();
    }
  }

  // A BLOB field's value: NULL when empty, else its bytes in Base64.
  String BlobText(std::int32_t FieldNo) {
    TMdbStream* S = C->InternalCreateBlobStream(false, FieldNo, bomRead);
    struct TClose {
      TMdbCursor* C;
      std::int32_t FieldNo;
      ~TClose() {
        try {
          C->InternalCloseBLOB(FieldNo);
        } catch (...) {
        }
      }
    } Close{C, FieldNo};
    const Int64 Size = S ? S->Size() : 0;
    if (Size <= 0) return u"NULL";
    if (Size > INT32_MAX) throw ERangeError(msg::SRangeError);
    TMdbBufferOwner Bytes;
    Bytes.Reset(MdbMemoryManager->AllocMem(static_cast<std::int32_t>(Size)));
    S->SetPosition(0);
    S->ReadBuffer(Bytes.Get(), Size);
    return u"TOBLOB ('" + BufferToMIME64(Bytes.Get(), static_cast<std::int32_t>(Size)) + u"',MIME64)";
  }

  void Data(String& Script) {
    const TMdbFieldDefs& Fields = C->FVisibleFieldDefs;
    bool HasBlob = false;
    for (std::int32_t i = 0; i < Fields.Count(); ++i) HasBlob |= Fields.GetDef(i)->IsBlob();
    String Columns;
    if (HasBlob && !O.ExportBLOBFields) {
      Columns = u"(";
      bool First = true;
      for (std::int32_t i = 0; i < Fields.Count(); ++i) {
        if (Fields.GetDef(i)->IsBlob()) continue;
        if (!First) Columns += u", ";
        First = false;
        Columns += ObjectName(Fields.GetDef(i)->Name());
      }
      Columns += u") ";
    }
    const String Head = u"INSERT INTO " + Name + u" " + Columns + u"VALUES (" + CRLF;

    // The cursor's place and record buffer come back whatever happens below.
    struct TRestore {
      TMdbCursor* C;
      void* Position;
      Byte* Saved;
      Byte* Fresh = nullptr;
      ~TRestore() {
        C->FCurrentRecordBuffer = Saved;
        C->RestorePosition(Position);
        C->FreePosition(Position);
        C->FreeRecordBuffer(Fresh);
      }
    } Restore{C, C->SavePosition(), C->FCurrentRecordBuffer};
    Restore.Fresh = C->AllocateRecordBuffer();
    C->FCurrentRecordBuffer = Restore.Fresh;
    C->ClearBLOBStreams(false);
    TMdbVariant Value;
    C->InternalFirst();
    while (C->GetRecordBuffer(grmNext) == grrOK) {
      Script += Head;
      bool First = true;
      for (std::int32_t i = 0; i < Fields.Count(); ++i) {
        const bool Blob = Fields.GetDef(i)->IsBlob();
        if (Blob && !O.ExportBLOBFields) continue;
        if (!First) Script += String(u",") + CRLF;
        First = false;
        Script += u'\t';
        if (Blob) {
          Script += BlobText(i);
        } else {
          C->GetFieldValue(&Value, i, false, false);
          Script += ValueText(Value);
        }
      }
      Script += CRLF + String(u");") + CRLF;
    }
  }

  TMdbCursor* C;
  const TMdbSQLExportOptions& O;
  bool IsView = false;
  String Name;
};

}  // namespace

void MdbExportTableToSQL(TMdbCursor* Cursor, const TMdbSQLExportOptions& Options, String& Script, String& ForeignKeys) {
  if (Cursor == nullptr) throw EMdbException(12139, u"Nil pointer occured");
  TExporter(Cursor, Options).Run(Script, ForeignKeys);
}

String TMdbCursor::ExportTableToSQL(bool ExportStructure, bool AddDropTableCommand, bool ExportIndexes,
                                    bool AddDropIndexCommand, bool ExportData, bool ExportBLOBFields,
                                    bool UseBracketsForNames, bool ExportForeignKeys) {
  const TMdbSQLExportOptions O{ExportStructure, AddDropTableCommand, ExportIndexes,      AddDropIndexCommand,
                               ExportData,      ExportBLOBFields,    UseBracketsForNames, ExportForeignKeys};
  String Script, ForeignKeys;
  MdbExportTableToSQL(this, O, Script, ForeignKeys);
  return Script + ForeignKeys;
}

String TMdbLocalSession::ExportDatabaseToSQL(bool ExportStructure, bool AddDropTableCommand, bool ExportIndexes,
                                             bool AddDropIndexCommand, bool ExportData, bool ExportBLOBFields,
                                             bool UseBracketsForNames, bool ExportForeignKeys,
                                             bool ExportStoredFunctions, bool ExportViews) {
  const TMdbSQLExportOptions O{ExportStructure, AddDropTableCommand, ExportIndexes,      AddDropIndexCommand,
                               ExportData,      ExportBLOBFields,    UseBracketsForNames, ExportForeignKeys};
  String Result, ForeignKeys;
  TMdbWideStringList Names;
  GetTablesList(&Names);
  if (Names.Count() == 0) return Result;
  for (std::int32_t i = 0; i < Names.Count(); ++i) {
    const String Name = Names.Strings(i);
    // A view left out is not opened: its query would run for nothing.
    std::unique_ptr<TMdbViewDef> View(FindView(Name));
    if (View && !ExportViews) continue;
    std::unique_ptr<TMdbCursor> C(CreateCursor(Name, true));
    C->FExclusive = false;
    C->FReadOnly = true;
    C->FInMemory = InMemory;
    C->FTemporary = Temporary;
    if (!C->FIsView) C->OpenTableByFieldDefs(nullptr, nullptr, nullptr);
    String Keys;
    try {
      MdbExportTableToSQL(C.get(), O, Result, Keys);
    } catch (...) {
      if (!C->FIsView) C->CloseTable();
      throw;
    }
    if (!C->FIsView) C->CloseTable();
    if (!Keys.empty()) {
      if (!ForeignKeys.empty()) ForeignKeys += CRLF;
      ForeignKeys += Keys;
    }
  }
  if (ExportForeignKeys) Result += CRLF + ForeignKeys;
  if (ExportStoredFunctions) ExportStoredFunctionsToSQL(Result);
  return Result;
}
