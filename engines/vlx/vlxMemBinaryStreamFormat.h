// The vlx binary stream format, version 4.00 (stored as 400; versions 100 to 400 are read), written as
// component-streaming values (platform/classes/ComponentStreaming.h: vaList 01, vaNull 00, vaInt8 02,
// vaInt16 03, vaInt32 04, vaExtended 05, vaString 06, vaFalse 08, vaTrue 09, vaLString 0C,
// vaWString 12, vaUTF8String 14).
//
// | # | item                | encoding                                                   | from version |
// |---|---------------------|------------------------------------------------------------|--------------|
// | 1 | signature           | "TPF0" (kSignature)                                        | 100          |
// | 2 | version             | integer kFormatVersion (400); absent in version 100         | 200          |
// | 3 | field definitions   | vaList, per saved field ten values (below), vaNull          | 100          |
// | 4 | index definitions   | vaList, per entry: name, fields, display name, four        | 200          |
// |   |                     | booleans (descending, case-insensitive, non-maintained,    |              |
// |   |                     | unique), vaNull                                            |              |
// | 5 | data-type header    | vaList, integer count, count type ordinals, vaNull; only   | 100          |
// |   |                     | with sfSaveDataTypeHeader / sfLoadDataTypeHeader (nothing  |              |
// |   |                     | marks it: writer and reader must agree)                    |              |
// | 6 | records             | vaList, records, vaNull                                    | 100          |
//
// A field definition: name (string), type name (string, kTypeNames), Size (integer), display name
// (string), edit mask (string), display width (integer), Required (boolean), ReadOnly (boolean), kind
// name (string, from 250: "Data", "Calculated", "Lookup", "InternalCalc", "Aggregate") and default
// expression (string, from 251).
//
// A record (from 230): vaList, versions (current first, then older ones along PrevRecordVersion),
// vaNull. A version: integer update status 0..3, then per saved field a null flag (boolean, from 249;
// true = null) and, when not null, the value. Before 230 a record is its values alone.
//
// | field types                                   | value                                             |
// |-----------------------------------------------|---------------------------------------------------|
// | ftSmallint, ftInteger, ftWord, ftAutoInc      | integer                                           |
// | ftBoolean                                     | boolean                                           |
// | ftFloat, ftDate, ftTime, ftDateTime           | vaExtended of the date-time or float value        |
// | ftLargeint, ftCurrency, ftBCD, ftFMTBcd       | vaExtended, exact (integer and currency forms of  |
// |                                               | platform/rtl/Extended.h); ftFMTBcd before 400 text |
// | ftWideString                                  | string of the UTF-16 text                         |
// | every other type                              | string of the field's text                        |
//
// Reading is staged: definitions, then every record, are read and checked into a staging area; the
// table changes only when the whole stream was good (CommitLoad). A stream cut short, a hostile length
// or count, an unknown type or a field-count mismatch raises and leaves the table's fields, records,
// position and state as they were.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "engines/vlx/vlxStreamFormat.h"
#include "platform/classes/ComponentStreaming.h"

enum : unsigned { sfSaveUsingIndex = 1 };
enum : unsigned { sfSaveDataTypeHeader = 1, sfLoadDataTypeHeader = 2 };

class TvlxValueCursor;

class TvlxCustomBinaryStreamFormat : public TvlxCustomStreamFormat {
  VELLUM_CLASS(TvlxCustomBinaryStreamFormat)
 public:
  static constexpr int kFormatVersion = 400;
  static constexpr int kOldestVersion = 100;
  static constexpr int kMinBufferSize = 16384;
  static constexpr std::size_t kOutBlock = 256 * 1024;
  // A stream not in memory is read in pieces of kReadPiece bytes; a record starts with at least
  // kReadSlack of them in hand (else the next piece is read first).
  static constexpr std::size_t kReadPiece = 1024 * 1024;
  static constexpr std::size_t kReadSlack = 64 * 1024;

  explicit TvlxCustomBinaryStreamFormat(TComponent* AOwner);
  ~TvlxCustomBinaryStreamFormat() override;

  String GetVersion() const override { return u"4.00"; }
  int BufferSize() const { return FBuffSize; }
  void SetBufferSize(int Value) { FBuffSize = Value < kMinBufferSize ? kMinBufferSize : Value; }

  // The type-name table of the definitions, indexed by field-type ordinal.
  static const String& TypeName(int Ordinal);

  unsigned sfUsingIndex = sfSaveUsingIndex;
  unsigned sfDataTypeHeader = sfSaveDataTypeHeader | sfLoadDataTypeHeader;

  // Test hook: the piece a stream not in memory is read in.
  void SetReadPieceForTest(std::size_t Bytes) { FReadPiece = std::max<std::size_t>(Bytes, 1); }

  int FileVersion = 0;
  bool InitIndexDef = false;
  Int64 StreamSize = 0;

 protected:
  void PrepareSave(TvlxCustomMemTable* Table) override;
  void WriteDefinitions(TvlxCustomMemTable* Table) override;
  void WriteRecords(TvlxCustomMemTable* Table) override;
  void FinishSave(TvlxCustomMemTable* Table) override;
  void CollectFieldNames(TvlxCustomMemTable* Table, std::vector<String>& Names, bool AfterDefinitions) override;
  void ChooseLoadFields(TvlxCustomMemTable* Table, bool AfterDefinitions) override;
  void MapLoadField(TvlxCustomMemTable* Table, const String& Name, bool AfterDefinitions, int& TableFieldIndex,
                    int Position, int Count) override;
  void PrepareLoad(TvlxCustomMemTable* Table) override;
  void ReadDefinitions(TvlxCustomMemTable* Table) override;
  void ReadRecords(TvlxCustomMemTable* Table) override;
  void CommitLoad(TvlxCustomMemTable* Table) override;
  void DiscardLoad(TvlxCustomMemTable* Table) override;
  void FinishLoad(TvlxCustomMemTable* Table, bool Succeeded) override;

 private:
  struct TStagedDef {
    String Name;
    TFieldType DataType = ftUnknown;
    int Size = 0;
    String DisplayName;
    int DisplayWidth = 0;
    bool Required = false;
    bool ReadOnly = false;
    TFieldKind Kind = fkData;
    String DefaultExpression;
  };
  struct TStagedIndexDef {
    String Name, Fields, DisplayName;
    TIndexOptions Options = 0;
  };
  // How one stream field position is read.
  struct TReadPlan {
    int Target = -1;          // layout field index, -1: skipped
    TFieldType Type = ftUnknown;
    int Size = 0;
    int Offset = 0;           // slot offset in the staging layout
    std::size_t Bytes = 0;    // value bytes of a fixed-area slot
    enum { fNone, fInteger, fBoolean, fFloat, fDateTime, fWideFixed, fAnsiFixed, fWideBlock } Fast = fNone;
    bool VarLength = false;
    TFieldType SkipType = ftUnknown;  // from the data-type header
  };

  // How one saved field is written, made once per save.
  struct TSaveSlot {
    int Position = 0;  // in the table's fields
    TField* Field = nullptr;
    TFieldType Type = ftUnknown;
    bool Calculated = false;
    bool VarLength = false;
    int Offset = 0;
    std::size_t Bytes = 0;
    // The benchmark's kinds of stored value go out inline; the rest through WriteValue.
    enum : Byte { sGeneric, sInteger, sBoolean, sFloat, sDateTime, sWideFixed, sAnsiFixed, sWideBlock } Step = sGeneric;
  };
  void WriteValue(TvlxCustomMemTable* Table, const TSaveSlot& S, const TvlxRecord* R);
  static std::size_t MaxSavedBytes(const TSaveSlot& S);
  // Room for N more bytes of output.
  Byte* Reserve(std::size_t N) {
    return FOutCap - FOutPos >= N ? FOutBase + FOutPos : ReserveMore(N);
  }
  Byte* ReserveMore(std::size_t N);
  // The record area's output goes straight into a plain memory stream (made room for once, from
  // Estimate bytes), else through the format's buffer to the work stream.
  void OpenOut(std::size_t Estimate);
  void CloseOut();
  void FlushOut();
  void AttachDirect();
  void PutTag(Byte Tag) {
    *Reserve(1) = Tag;
    ++FOutPos;
  }
  void PutInteger(Int64 Value);
  void PutExtended(const Byte* Ten);
  void PutFloat(double Value);
  void WriteText8(const Byte* P, std::size_t N);
  void WriteText16(std::u16string_view Text);
  void WriteVersion(TvlxCustomMemTable* Table, const TvlxRecord* R, bool First);
  void ReadValue(TvlxValueCursor& Cursor, const TReadPlan& Plan, PvlxRecord R, int Position);
  // One record (its versions) staged; FStagedComplete goes false at the load limit, reading nothing.
  void ReadRecord(TvlxCustomMemTable* Table, TvlxValueCursor& Cursor, const std::vector<TReadPlan>& Plan, int Count,
                  bool Records230, bool NullFlags);
  bool ReadFast(TvlxValueCursor& Cursor, const TReadPlan& Plan, PvlxRecord R);
  // Room for N UTF-16 units and 16 more: the format's own buffer, grown only for long text.
  char16_t* QuickBuffer(std::size_t N) {
    if (FQuick.size() < N + 16) FQuick.resize(std::max<std::size_t>(N + 16, 1024));
    return FQuick.data();
  }
  bool Restructuring() const { return FHasDefs && (sfDef & sfLoadDef); }
  // The open table's own fields are exactly the staged definitions (default fields, in order).
  bool TableHoldsDefinitions(TvlxCustomMemTable* Table) const;
  // A restructuring load that changes nothing of the structure: the table is emptied where it stands
  // instead of being closed and rebuilt.
  bool KeepsStructure(TvlxCustomMemTable* Table) const;
  void FreeStaged();
  bool OnLoadRecordAccepted(TvlxCustomMemTable* Table, PvlxRecord Record);

  int FBuffSize = kMinBufferSize;
  std::unique_ptr<TWriter> Writer;
  std::unique_ptr<TReader> Reader;
  int ProgressCnt = 0;

  // Staged by the read steps.
  bool FHasDefs = false;
  std::vector<TStagedDef> FDefs;
  std::vector<TStagedIndexDef> FIndexDefs;
  bool FHeaderRead = false;
  std::vector<TFieldType> FHeaderTypes;
  std::unique_ptr<TvlxBlockTable> FStagingBlocks;  // the staged records' memory, with a new layout
  std::unique_ptr<TvlxCommon> FStaging;  // the new layout, when the definitions change
  TvlxCommon* FStagedLayout = nullptr;   // the layout the staged records follow
  std::vector<PvlxRecord> FStaged;
  std::int32_t FStagedAutoIncMax = 0;
  bool FHasAutoInc = false;
  int FStagedDeleted = 0;
  int FStagedLoadCount = 0;
  Int64 FNumberBase = 0;  // the RecordID and UniqueRecordID the first staged record took
  Int64 FUniqueBase = 0;
  int FStagedTransactionLevel = 0;
  bool FStagedComplete = true;
  std::vector<TSaveSlot> FSavePlan;
  std::vector<Byte> FOut;
  std::vector<Byte> FWindow;  // the read window of a stream not in memory, kept for the next load
  std::size_t FReadPiece = kReadPiece;
  Byte* FOutBase = nullptr;
  std::size_t FOutCap = 0;
  std::size_t FOutPos = 0;
  TMemoryStream* FDirect = nullptr;
  std::size_t FDirectStart = 0;
  std::u16string FScratch16;
  String FText16;
  std::vector<char16_t> FQuick;
  std::string FScratch8;
};

class TvlxBinaryStreamFormat : public TvlxCustomBinaryStreamFormat {
  VELLUM_CLASS(TvlxBinaryStreamFormat)
 public:
  explicit TvlxBinaryStreamFormat(TComponent* AOwner = nullptr) : TvlxCustomBinaryStreamFormat(AOwner) {}
};
