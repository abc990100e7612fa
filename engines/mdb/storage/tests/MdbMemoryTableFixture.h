// Memory tables for the tests: a memory database with sessions, and a cursor that opens a memory
// table data directly (with the record buffers the local cursor keeps) and posts rows through it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engines/mdb/storage/MdbLocalBLOBStream.h"
#include "engines/mdb/storage/MdbMemoryDatabaseData.h"
#include "engines/mdb/storage/MdbMemoryTableData.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"
#include "engines/mdb/storage/tests/MdbTableFixture.h"

class TMemCursor : public TMdbCursor {
 public:
  TMemCursor(TMdbMemoryTableData* Table, TMdbBaseSession* Session, bool Exclusive = false) : LTable(Table) {
    FSession = Session;
    FTableName = Table->TableName();
    FExclusive = Exclusive;
    FInMemory = true;
  }
  ~TMemCursor() override {
    if (FIsOpen) CloseTable();
  }
  void Open() {
    LTable->OpenTable(this);
    FFieldDefs.Assign(LTable->FieldDefs());
    FFieldDefs.RecalcFieldOffsets();
    FVisibleFieldDefs.Clear();
    for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
      FVisibleFieldDefs.AddCreated()->Assign(FFieldDefs.GetDef(i));
      FVisibleFieldDefs.GetDef(i)->FFieldNoReference = i;
    }
    SetRecordLayout();
    FCurrentRecordBuffer = AllocateRecordBuffer();
    FEditRecordBuffer = AllocateRecordBuffer();
    InternalFirst();
  }
  void CloseTable() override {
    for (auto* S : FBLOBStreams) delete S;
    FBLOBStreams.clear();
    FreeRecordBuffer(FCurrentRecordBuffer);
    FreeRecordBuffer(FEditRecordBuffer);
    FreeRecordBuffer(FTempRecordBuffer);
    FIsOpen = false;
    LTable->CloseTable(this);
  }
  TMdbGetRecordResult GetRecordBuffer(TMdbGetRecordMode Mode) override { return LTable->GetRecordBuffer(this, Mode); }
  Int64 GetRecordCount() override { return LTable->GetRecordCount(this, false); }

  // Posts a new row: Values[i] < 0 leaves Int32 column i NULL; Note (when given) goes to BLOB column Blob.
  bool Post(const std::vector<std::int32_t>& Values, const std::u16string& Note = u"", std::int32_t Blob = -1) {
    InternalInitRecord(FCurrentRecordBuffer, true);
    for (std::size_t i = 0; i < Values.size(); ++i)
      if (Values[i] >= 0) SetFieldData(static_cast<std::int32_t>(i), &Values[i], FCurrentRecordBuffer);
    if (Blob >= 0 && !Note.empty()) WriteBlob(Blob, Note, true);
    TMdbCursor* Self = this;
    return LTable->InsertRecord(Self);
  }
  void WriteBlob(std::int32_t FieldNo, const std::u16string& Text, bool ToInsert) {
    std::unique_ptr<TMdbStream> S(LTable->InternalCreateBlobStream(this, ToInsert, FieldNo, bomWrite));
    S->Write(Text.data(), static_cast<Int64>(Text.size() * 2));
    S->SetModified(true);
    LTable->WriteBLOBFieldToRecordBuffer(this, FieldNo, static_cast<TMdbLocalBLOBStream*>(S.get()));
  }
  std::u16string ReadBlob(std::int32_t FieldNo) {
    std::unique_ptr<TMdbStream> S(LTable->InternalCreateBlobStream(this, false, FieldNo, bomRead));
    std::u16string Text(static_cast<std::size_t>(S->Size() / 2), u'\0');
    S->SetPosition(0);
    S->Read(Text.data(), S->Size());
    return Text;
  }
  std::int32_t IntAt(std::int32_t FieldNo) {
    std::int32_t v = -1;
    return GetFieldData(FieldNo, &v, FCurrentRecordBuffer) ? v : -1;
  }
  bool Next() { return GetRecordBuffer(grmNext) == grrOK; }
  bool Delete() { return LTable->DeleteRecord(this); }
  void Edit() {
    LTable->EditRecord(this);
    std::memcpy(FEditRecordBuffer, FCurrentRecordBuffer, static_cast<std::size_t>(FRecordBufferSize));
  }
  bool Update() { return LTable->UpdateRecord(this); }
  void Cancel(bool ToInsert) { LTable->CancelRecord(this, ToInsert); }
  // Every row's Int32 columns, in physical order, with each BLOB column's text.
  std::vector<std::string> Rows() {
    std::vector<std::string> Out;
    InternalFirst();
    while (Next()) {
      std::string Row = std::to_string(CurrentRecordID.PageNo) + ":";
      for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
        if (FFieldDefs.GetDef(i)->IsBlob()) {
          const std::u16string T = IsRecordFieldNull(FCurrentRecordBuffer, i) ? u"" : ReadBlob(i);
          Row += "[" + std::string(T.begin(), T.end()) + "]";
        } else {
          Row += std::to_string(IntAt(i)) + ",";
        }
      }
      Out.push_back(Row);
    }
    return Out;
  }

  TMdbMemoryTableData* LTable;
};

// A memory database with two sessions of this thread's id and a third of another id.
class MdbMemoryTableTest : public MdbStorageTest {
 protected:
  void SetUp() override {
    MdbStorageTest::SetUp();
    Db = std::make_unique<TMdbMemoryDatabaseData>();
    Db->FDatabaseName = AnsiString("MEMORY");
  }
  void TearDown() override {
    Cursors.clear();
    Db.reset();
    SetMdbIndexFactory(nullptr);
    MdbStorageTest::TearDown();
  }
  static TMdbFieldDef* AddField(TMdbFieldDefs& Defs, const char16_t* Name, TMdbAdvancedFieldType Type,
                                std::int32_t Size = 0) {
    TMdbFieldDef* F = Defs.AddCreated();
    F->SetName(Name);
    F->SetFieldDefDataType(Type, Size);
    return F;
  }
  // A table through a cursor named Name; the definitions are the caller's.
  TMdbMemoryTableData* Create(const char16_t* Name, TMdbFieldDefs& Fields, TMdbIndexDefs* Indexes = nullptr,
                              TMdbConstraintDefs* Constraints = nullptr) {
    TMdbIndexDefs NoIndexes;
    TMdbConstraintDefs NoConstraints;
    TMdbCursor Namer;
    Namer.FTableName = Name;
    auto* T = static_cast<TMdbMemoryTableData*>(Db->CreateTableData(&Namer));
    T->CreateTable(&Namer, Fields, Indexes ? *Indexes : NoIndexes, Constraints ? *Constraints : NoConstraints);
    T->SetMaxWaitLockTime(50);
    return T;
  }
  // {ID Int32, Qty Int32, Note WideMemo}
  TMdbMemoryTableData* CreateStandard(const char16_t* Name = u"T") {
    TMdbFieldDefs F;
    AddField(F, u"ID", aftInteger);
    AddField(F, u"Qty", aftInteger);
    AddField(F, u"Note", aftWideMemo);
    return Create(Name, F);
  }
  TMemCursor* Open(TMdbMemoryTableData* T, TMdbBaseSession* S = nullptr, bool Exclusive = false) {
    Cursors.push_back(std::make_unique<TMemCursor>(T, S ? S : &S1, Exclusive));
    Cursors.back()->Open();
    return Cursors.back().get();
  }
  void CloseAll() { Cursors.clear(); }
  std::vector<Byte> Save(TMdbMemoryTableData* T, TMdbCompressionAlgorithm Alg = acaNone, Byte Mode = 0) {
    TMdbMemoryStream S;
    T->SaveTableToStream(&S, Alg, Mode, 4096, true);
    return StreamBytes(S);
  }

  std::unique_ptr<TMdbMemoryDatabaseData> Db;
  TTestSession S1{1}, S2{2};
  std::vector<std::unique_ptr<TMemCursor>> Cursors;
};
