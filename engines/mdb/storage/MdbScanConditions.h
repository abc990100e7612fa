// The scan conditions of one search, simplified before any record is read.
//
// A search gathers index conditions (a key compared with the record's key in one index over its first
// KeyFieldCount columns) and expression conditions, all of which must hold. OptimizeScanConditions
// merges the index conditions on one index pairwise: a contradiction ends the search without a
// record read, a tighter bound replaces a looser one, and two bounds meeting at one key become an
// equality. Duplicates are dropped; the result lists the index conditions grouped by index (indexes
// in order of first appearance) followed by the expression conditions in their order.
//
// Merge outcomes of A (kept) and B (incoming) on one index, keys a and b compared over the smaller
// key field count (KA, KB); Longer/Shorter is the condition with more/fewer key fields (A when equal):
//   Empty    no record satisfies both: the search answers False
//   KeepA    B adds nothing
//   TakeB    B replaces A
//   Longer / Shorter   that condition replaces A
//   Equal    Longer with the comparison "equal" replaces A
//   Both     no merge: both are kept
#pragma once

#include <cstdint>
#include <functional>

#include "engines/mdb/runtime/MdbNameArray.h"
#include "engines/mdb/runtime/MdbTypes.h"

enum class TMdbMergeOutcome : Byte { Empty, KeepA, TakeB, Longer, Shorter, Equal, Both };

// Order: the sign of a compared with b. A and B are scEqual..scGreaterEqual; scNone gives Both.
TMdbMergeOutcome MdbMergeOutcome(TMdbSearchCondition A, TMdbSearchCondition B, int Order, std::int32_t KA,
                                 std::int32_t KB);

// Compares two key record buffers of index IndexID over Count columns: < 0, 0 or > 0.
using TMdbScanKeyComparer =
    std::function<std::int32_t(std::int32_t IndexID, const void* Key1, const void* Key2, std::int32_t Count)>;
// Whether an expression condition can never hold (e.g. a string field compared with a longer text).
using TMdbScanIncompatibility = std::function<bool(TMdbBaseExpression* Expression)>;

// Merges A with B in place; False when the two contradict each other. Merged tells whether B was
// absorbed into A.
bool MdbMergeScanConditions(TMdbScanSearchCondition& A, const TMdbScanSearchCondition& B,
                            const TMdbScanKeyComparer& Compare, bool& Merged);
// Deletes every condition that equals another of the list (same index, comparison, key field count
// and keys equal over that count).
void MdbRemoveDuplicateScanConditions(TMdbScanSearchConditionArray& Conditions, const TMdbScanKeyComparer& Compare);
// Simplifies Conditions in place; False (and the list left as it was) when they contradict each other.
bool MdbOptimizeScanConditions(TMdbScanSearchConditionArray& Conditions, const TMdbScanKeyComparer& Compare,
                               const TMdbScanIncompatibility& IsIncompatible);

// What choosing the driving condition needs to know about the table and its indexes.
class TMdbScanChoiceSource {
 public:
  virtual ~TMdbScanChoiceSource() = default;
  // A unique index, or one whose first column is an autoincrement field: an equality finds one record.
  virtual bool FindsOneRecord(std::int32_t IndexID) = 0;
  virtual Int64 RecordCount() = 0;
  // The approximate record number of the cursor's record in physical order.
  virtual Int64 ApproximateRecNo() = 0;
  // The records a range (or one condition, Second = First) covers; grows with the range.
  virtual Int64 Estimate(std::int32_t IndexID, const TMdbScanSearchCondition* First,
                         const TMdbScanSearchCondition* Second) = 0;
  // < 0 when First's bound lies below Second's in the index order.
  virtual std::int32_t CompareConditions(std::int32_t IndexID, const TMdbScanSearchCondition* First,
                                         const TMdbScanSearchCondition* Second) = 0;
};

// The condition that drives the scan (First, -1: none, a full scan) and for a range its other end
// (Second, -1: none), tried in turn: an equality that finds one record, the only equality, the only
// condition when it is on the cursor's index; the cheapest condition or range when its estimate is
// worth an index (its square at most the records left after the cursor, a fifth of them, in physical
// order, else the record count); the first index condition. A range starts from the bound the scan
// meets first in its direction.
void MdbChooseScanConditions(const TMdbScanSearchConditionArray& Conditions, std::int32_t CursorIndexID,
                             bool GoForward, TMdbScanChoiceSource& Source, std::int32_t& First, std::int32_t& Second);
