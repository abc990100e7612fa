// A small table for the storage tests: a database that hands out object ids, sessions with ids, a
// table data over the memory record manager with the insert path the tables build on (autoincrement,
// constraints, record, keys), a cursor that reaches the table data directly, and an ordered index on
// the first column of its definition.
#pragma once

#include <cstring>
#include <map>
#include <memory>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/storage/MdbConstraints.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbDatabaseData.h"
#include "engines/mdb/storage/MdbLocalBLOBStream.h"
#include "engines/mdb/storage/MdbManagers.h"
#include "engines/mdb/storage/MdbRecordCaches.h"
#include "engines/mdb/storage/MdbSession.h"
#include "engines/mdb/storage/MdbTableData.h"

class TTestSession : public TMdbBaseSession {
 public:
  explicit TTestSession(std::int32_t Id) { SessionID = Id; }
};

// The table data with the insert path of the tables built on it: autoincrement values, constraint
// checks, the record, then the keys of every index.
class TTestTableData : public TMdbTableData {
 public:
  using TMdbTableData::TMdbTableData;

  void CreateRecordManager() override {
    auto M = std::make_unique<TMdbMemoryRecordManager>(this, CalcRecordSize(), 1000);
    std::vector<TMdbBlobFieldSlot> Blobs;
    for (std::int32_t i = 0; i < FieldDefs().Count(); ++i)
      if (FieldDefs().GetDef(i)->IsBlob()) Blobs.push_back({i, FieldDefs().GetDef(i)->FMemoryOffset});
    M->SetBlobFields(std::move(Blobs), &FBlobs);
    FRecordManager = std::move(M);
  }
  void CreateTable(TMdbCursor*, TMdbFieldDefs& Fields, TMdbIndexDefs& Indexes, TMdbConstraintDefs& Constraints) override {
    CreateSequenceManager();
    CreateFieldManager(Fields);
    CreateIndexManager(Indexes);
    CreateConstraintManager(Constraints);
    CreateAutoincSequences();
    CreateRecordManager();
  }
  bool InsertRecord(TMdbCursor*& Cursor) override {
    if (!Cursor->FDirectSetAutoInc) FieldManager()->ApplyAutoIncValuesToRecordBuffer(Cursor->FSession, Cursor->FCurrentRecordBuffer);
    CheckConstraints(Cursor, Cursor->FSession->SessionID, Cursor->FCurrentRecordBuffer, nullptr, true, Cursor->CurrentRecordID,
                     false);
    if (!FRecordManager->AddRecord(Cursor->FCurrentRecordBuffer, Cursor->CurrentRecordID, Cursor->FSession->SessionID))
      return false;
    SetBLOBValuesModified(false, Cursor);
    // The stored copy carries the stored marker too.
    SetBLOBValuesModifiedIn(Memory()->SlotBuffer(Cursor->CurrentRecordID.PageNo));
    if (IndexManager()->IndexDefs().Count() > 0) IndexManager()->InsertRecord(Cursor);
    ChangeTableState(ltoInsert);
    return true;
  }
  void InternalSetRecNo(TMdbCursor* Cursor, Int64 RecNo) override {
    Cursor->CurrentRecordID.PageNo = static_cast<std::int32_t>(Memory()->GetRecordIDByRecNo(RecNo - 1));
    Cursor->CurrentRecordID.PageItemNo = 0;
  }
  Int64 InternalGetRecNo(TMdbCursor* Cursor) override { return Memory()->GetRecNoByRecordID(Cursor->CurrentRecordID.PageNo); }
  bool IsRecordVisible(TMdbCursor* Cursor) override { return !Visible || Visible(Cursor->FCurrentRecordBuffer); }

  TMdbMemoryRecordManager* Memory() const { return static_cast<TMdbMemoryRecordManager*>(RecordManager()); }
  std::function<bool(const Byte*)> Visible;

 private:
  void SetBLOBValuesModifiedIn(Byte* Record) {
    for (std::int32_t i = 0; i < FieldDefs().Count(); ++i)
      if (FieldDefs().GetDef(i)->IsBlob() && !IsRecordFieldNull(Record, i))
        SetBLOBModified(false, Record, *FieldDefs().GetDef(i));
  }
};

// A cursor on a table data, with the record buffers and BLOB streams the local cursor keeps.
class TTestCursor : public TMdbCursor {
 public:
  TTestCursor(TTestTableData* Table, TMdbBaseSession* Session) : LTable(Table) {
    FSession = Session;
    FTableName = Table->TableName();
    FFieldDefs.Assign(Table->FieldDefs());
    FFieldDefs.RecalcFieldOffsets();
    for (std::int32_t i = 0; i < FFieldDefs.Count(); ++i) {
      FVisibleFieldDefs.AddCreated()->Assign(FFieldDefs.GetDef(i));
      FVisibleFieldDefs.GetDef(i)->FFieldNoReference = i;
    }
    if (Table->IndexManager()) FIndexDefs.Assign(Table->IndexManager()->IndexDefs());
    SetRecordLayout();
    FCurrentRecordBuffer = AllocateRecordBuffer();
  }
  ~TTestCursor() override {
    ClearBLOBStreams(false);
    FreeRecordBuffer(FCurrentRecordBuffer);
  }
  TMdbGetRecordResult GetRecordBuffer(TMdbGetRecordMode Mode) override { return LTable->GetRecordBuffer(this, Mode); }
  Int64 GetRecordCount() override { return LTable->GetRecordCount(this, false); }
  void DeactivateFilters() override { FilterRecord = nullptr; }
  TMdbStream* InternalCreateBlobStream(bool ToInsert, std::int32_t FieldNo, TMdbBLOBOpenMode OpenMode) override {
    auto* S = LTable->InternalCreateBlobStream(this, ToInsert, FieldNo, OpenMode);
    FBLOBStreams.push_back(S);
    return S;
  }
  void InternalCloseBLOB(std::int32_t FieldNo) override {
    for (auto it = FBLOBStreams.begin(); it != FBLOBStreams.end(); ++it) {
      auto* S = static_cast<TMdbLocalBLOBStream*>(*it);
      if (S->FFieldNo != FieldNo) continue;
      FBLOBStreams.erase(it);
      std::unique_ptr<TMdbLocalBLOBStream> Owned(S);
      if (S->FOpenMode != bomRead) LTable->WriteBLOBFieldToRecordBuffer(this, FieldNo, S);
      return;
    }
  }
  void ClearBLOBStreams(bool) override {
    for (auto* S : FBLOBStreams) delete S;
    FBLOBStreams.clear();
  }
  bool Insert() {
    TMdbCursor* Self = this;
    return LTable->InsertRecord(Self);
  }
  TTestTableData* LTable;
};

// An ordered index over the first column of its definition (Int32 values; NULL lowest), unique when
// its definition is unique or primary.
class TTestIndex : public TMdbIndex {
 public:
  using TMdbIndex::TMdbIndex;
  static inline std::map<std::int32_t, std::multimap<std::int64_t, std::int32_t>> Keys;  // by index id
  static inline std::vector<std::int32_t> ClearedSessions;

  void CreateIndex(TMdbCursor* Cursor, TMdbIndexDef* aIndexDef) override {
    aIndexDef->FRootPageNo = 1;
    TMdbIndex::CreateIndex(Cursor, aIndexDef);
    Keys[FIndexDef.ObjectID()].clear();
  }
  void DropIndex(std::int32_t, bool EmptyIndex) override {
    Keys[FIndexDef.ObjectID()].clear();
    if (!EmptyIndex) Keys.erase(FIndexDef.ObjectID());
  }
  void ClearIndexCache(std::int32_t SessionID) override {
    if (SessionID != -1) ClearedSessions.push_back(SessionID);
  }
  void InsertRecord(TMdbCursor* Cursor) override {
    if (FIndexDef.FRootPageNo < 0) FIndexDef.FRootPageNo = 7;
    Keys[FIndexDef.ObjectID()].emplace(Key(Cursor->FCurrentRecordBuffer), std::int32_t(Cursor->CurrentRecordID.PageNo));
  }
  void DeleteRecord(TMdbCursor* Cursor) override {
    auto& K = Keys[FIndexDef.ObjectID()];
    for (auto it = K.begin(); it != K.end(); ++it)
      if (it->second == Cursor->CurrentRecordID.PageNo) {
        K.erase(it);
        return;
      }
  }
  void UpdateRecord(TMdbCursor* Cursor) override {
    DeleteRecord(Cursor);
    InsertRecord(Cursor);
  }
  bool CanInsertRecord(std::int32_t, const Byte* RecordBuffer) override {
    return !(FIndexDef.FUnique || FIndexDef.FPrimary) || !Keys[FIndexDef.ObjectID()].contains(Key(RecordBuffer));
  }
  std::int32_t CompareRecordBuffersByIndex(const Byte* A, const Byte* B, std::int32_t Count) override {
    LastCompareCount = Count;
    const auto a = Key(A), b = Key(B);
    return a < b ? -1 : (b < a ? 1 : 0);
  }
  static inline std::int32_t LastCompareCount = -1;

 private:
  std::int64_t Key(const Byte* R) const {
    const TMdbFieldDef* F = LTableData->FieldDefs().GetFieldDefByName(FIndexDef.GetIndexColumn(0).FieldName);
    const std::int32_t n = LTableData->FieldDefs().GetDefNumberByName(F->Name());
    if (IsRecordFieldNull(R, n)) return INT64_MIN;
    std::int32_t v;
    std::memcpy(&v, R + F->FMemoryOffset, 4);
    return v;
  }
};
