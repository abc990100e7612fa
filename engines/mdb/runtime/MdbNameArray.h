// Three special containers: the name array (names packed in one length-prefixed buffer, written to and
// read from streams byte for byte as held in memory), the hash set that detects duplicate rows by
// their hash, and the index-scan conditions of a table scan with the exchange of comparison nodes
// between filter expressions and the index search.
//
// TMdbObjectNameArray buffer, identical in memory and in streams (little-endian):
//   0  Int32  S: used size in bytes, these 8 bytes included
//   4  Int32  N: number of names
//   8  N entries: Int32 byte length L (even, >= 0), then L bytes of UTF-16LE text, no terminator
// S = 8 + sum(4 + L); an empty array is {8, 0}. LoadFromStream checks S, N and every entry against the
// bytes read before the array changes: 11955 (size) or 11956 (content) otherwise; S <= 0 reads as an
// empty array.
//
// The filter expressions belong to the query processor; this module reaches them through
// TMdbBaseExpression, which declares the two operations the scan conditions use. The storage and query
// modules complete it (TMdbExpression derives from it).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbTypes.h"

class TStream;
class TList;
class TMdbIndexDefs;
class TMdbExpressionNode;
class TMdbScanSearchConditionArray;

class TMdbObjectNameArray : public TObject {
  VELLUM_CLASS(TMdbObjectNameArray)
 public:
  static constexpr std::int32_t kHeadSize = 8;
  TMdbObjectNameArray();
  ~TMdbObjectNameArray() override;

  std::int32_t Count() const;
  void Add(std::u16string_view Name);
  String GetString(std::int32_t ItemIndex) const;
  void SetString(std::int32_t ItemIndex, std::u16string_view Name);
  void Delete(std::int32_t ItemIndex);
  void Clear();
  void Assign(const TMdbObjectNameArray* Source);
  // With CountSize, writes nothing and returns S; otherwise writes S bytes (11954) and returns 0.
  std::int32_t SaveToStream(TStream* Stream, bool CountSize) const;
  void LoadFromStream(TStream* Stream);

  std::int32_t UsedSize() const;
  std::int32_t AllocatedSize() const { return FAllocatedSize; }
  const Byte* Buffer() const { return FBuffer; }

 private:
  void Resize(std::int32_t NewUsed);
  void SetUsed(std::int32_t Used);
  std::int32_t EntrySize(std::int32_t ItemIndex) const;
  void Swap(TMdbObjectNameArray& Other) noexcept;

  std::unique_ptr<TMdbIntegerArray> FItemOffsets;
  Byte* FBuffer = nullptr;
  std::int32_t FAllocatedSize = 0;
};

class TMdbHashArray : public TObject {
  VELLUM_CLASS(TMdbHashArray)
 public:
  // 11662 when KeySize is not 1..31 (or the key bits leave the 32 bits of the hash).
  TMdbHashArray(std::int32_t DataSize, std::int32_t AllocBy, std::int32_t KeyStartBitNo, std::int32_t KeySize);
  ~TMdbHashArray() override;
  // Adds the hash (and DataSize bytes of Data) unless its bucket already holds it; true when added.
  bool Append(std::uint32_t HashValue, const void* Data = nullptr);
  std::int32_t KeyElementCount() const { return FKeyElementCount; }
  std::int32_t ValueElementCount() const { return FValueElementCount; }

 private:
  struct TBucket {
    std::uint32_t Count = 0;
    Byte* Values = nullptr;  // memory-manager block of Capacity values
    std::uint32_t Capacity = 0;
  };
  std::int32_t FDataSize;
  std::int32_t FAllocBy;
  std::int32_t FKeyStartBitNo;
  std::int32_t FKeySize;
  std::int32_t FValueElementSize;
  std::int64_t FMaxElementCount;
  std::uint32_t FKeyMask;
  std::vector<TBucket> FKeyData;
  std::int32_t FKeyElementCount = 0;
  std::int32_t FValueElementCount = 0;
};

// A filter expression as the scan conditions see it.
class TMdbBaseExpression {
 public:
  virtual ~TMdbBaseExpression() = default;
  // Appends to ScanConditions one condition per comparison an index of IndexDefs can serve, takes
  // those comparison nodes out of the expression and records one TMdbExtractedConditionInfo per node.
  virtual void ExtractIndexScanConditions(TMdbIndexDefs* IndexDefs, TMdbScanSearchConditionArray* ScanConditions,
                                          TList* ExtractedConditionsInfo) = 0;
  // Gives a node back: the root when empty, another child of a root AND, else a new AND root.
  virtual void AddNode(TMdbExpressionNode* Node) = 0;
};

// One entry of the list passed between the two exchange operations; made with new by the expression,
// deleted by ReturnConditionsToExpressions.
struct TMdbExtractedConditionInfo {
  void* KeyBuffer = nullptr;  // memory-manager block of the extracted key
  TMdbExpressionNode* Node = nullptr;
  TMdbBaseExpression* Expression = nullptr;
};

class TMdbScanSearchCondition : public TObject {
  VELLUM_CLASS(TMdbScanSearchCondition)
 public:
  TMdbScanSearchCondition() = default;
  void Assign(const TMdbScanSearchCondition* Source);

  TMdbSearchCondition Condition = scNone;
  void* KeyRecordBuffer = nullptr;  // not owned
  std::int32_t KeyFieldCount = 0;
  std::int32_t IndexID = -1;
  TMdbBaseExpression* Expression = nullptr;  // not owned
};

class TMdbScanSearchConditionArray : public TObject {
  VELLUM_CLASS(TMdbScanSearchConditionArray)
 public:
  TMdbScanSearchConditionArray() = default;
  std::int32_t Count() const { return static_cast<std::int32_t>(Items.size()); }
  void AddExpression(TMdbBaseExpression* Expression);
  void AddCondition(const TMdbScanSearchCondition& Condition);  // 10388
  void Delete(std::int32_t ItemNo);                             // 10413, 10414
  void ExtractConditionsFromExpressions(TMdbIndexDefs* IndexDefs, TList* ExtractedConditionsInfo);
  // 20060 / 20061 / 20062 for a record without expression, node or key buffer. Each record is deleted
  // and its list entry set to nil; the caller clears the list.
  void ReturnConditionsToExpressions(TList* ExtractedConditionsInfo);

  std::vector<std::unique_ptr<TMdbScanSearchCondition>> Items;
};
