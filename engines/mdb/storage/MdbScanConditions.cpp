#include "engines/mdb/storage/MdbScanConditions.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {

// One cell per (A, B, order). Upper-case letters are fixed outcomes; lower-case ones depend on the
// key field counts:
//   E empty, A keep A, B take B, L longer, S shorter, Q equal, X both,
//   a  A when KA >= KB, else both        b  B when KB >= KA, else both
//   e  empty when KA <= KB, else both    f  empty when KB <= KA, else both
//   q  equal when KA = KB, else both
// Rows: A = equal, lower, greater, lower-equal, greater-equal; within a row five groups for B in the
// same order, each group the outcomes for a < b, a = b, a > b.
constexpr const char* kMergeTable[5] = {
    "ELE" "AEE" "EEA" "AaE" "EaA",  // A equal
    "EEB" "ASB" "EEX" "AAB" "EeX",  // A lower
    "BEE" "XEE" "BSA" "XeE" "BAA",  // A greater
    "EbB" "AXB" "EfX" "ALB" "EqX",  // A lower or equal
    "BbE" "XfE" "BBA" "XqE" "BLA",  // A greater or equal
};

int Sign(std::int32_t v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

bool IsIndexCondition(const TMdbScanSearchCondition& C) { return C.Expression == nullptr; }

}  // namespace

TMdbMergeOutcome MdbMergeOutcome(TMdbSearchCondition A, TMdbSearchCondition B, int Order, std::int32_t KA,
                                 std::int32_t KB) {
  if (A < scEqual || A > scGreaterEqual || B < scEqual || B > scGreaterEqual) return TMdbMergeOutcome::Both;
  const char Cell = kMergeTable[A - scEqual][(B - scEqual) * 3 + (Sign(Order) + 1)];
  switch (Cell) {
    case 'E': return TMdbMergeOutcome::Empty;
    case 'A': return TMdbMergeOutcome::KeepA;
    case 'B': return TMdbMergeOutcome::TakeB;
    case 'L': return TMdbMergeOutcome::Longer;
    case 'S': return TMdbMergeOutcome::Shorter;
    case 'Q': return TMdbMergeOutcome::Equal;
    case 'a': return KA >= KB ? TMdbMergeOutcome::KeepA : TMdbMergeOutcome::Both;
    case 'b': return KB >= KA ? TMdbMergeOutcome::TakeB : TMdbMergeOutcome::Both;
    case 'e': return KA <= KB ? TMdbMergeOutcome::Empty : TMdbMergeOutcome::Both;
    case 'f': return KB <= KA ? TMdbMergeOutcome::Empty : TMdbMergeOutcome::Both;
    case 'q': return KA == KB ? TMdbMergeOutcome::Equal : TMdbMergeOutcome::Both;
    default: return TMdbMergeOutcome::Both;
  }
}

bool MdbMergeScanConditions(TMdbScanSearchCondition& A, const TMdbScanSearchCondition& B,
                            const TMdbScanKeyComparer& Compare, bool& Merged) {
  Merged = false;
  if (A.KeyRecordBuffer == nullptr || B.KeyRecordBuffer == nullptr || A.Condition == scNone || B.Condition == scNone)
    return true;
  const std::int32_t KA = A.KeyFieldCount, KB = B.KeyFieldCount;
  const int Order = Sign(Compare(A.IndexID, A.KeyRecordBuffer, B.KeyRecordBuffer, std::min(KA, KB)));
  const bool BLonger = KB > KA;
  switch (MdbMergeOutcome(A.Condition, B.Condition, Order, KA, KB)) {
    case TMdbMergeOutcome::Empty:
      return false;
    case TMdbMergeOutcome::KeepA:
      break;
    case TMdbMergeOutcome::TakeB:
      A.Assign(&B);
      break;
    case TMdbMergeOutcome::Longer:
      if (BLonger) A.Assign(&B);
      break;
    case TMdbMergeOutcome::Shorter:
      if (KB < KA) A.Assign(&B);
      break;
    case TMdbMergeOutcome::Equal:
      if (BLonger) A.Assign(&B);
      A.Condition = scEqual;
      break;
    case TMdbMergeOutcome::Both:
      return true;
  }
  Merged = true;
  return true;
}

void MdbRemoveDuplicateScanConditions(TMdbScanSearchConditionArray& Conditions, const TMdbScanKeyComparer& Compare) {
  const auto Same = [&](const TMdbScanSearchCondition& X, const TMdbScanSearchCondition& Y) {
    if (X.IndexID != Y.IndexID || X.Condition != Y.Condition || X.Condition == scNone ||
        X.KeyFieldCount != Y.KeyFieldCount || !IsIndexCondition(X) || !IsIndexCondition(Y))
      return false;
    if (X.KeyRecordBuffer == Y.KeyRecordBuffer) return true;
    if (X.KeyRecordBuffer == nullptr || Y.KeyRecordBuffer == nullptr) return false;
    return Compare(X.IndexID, X.KeyRecordBuffer, Y.KeyRecordBuffer, X.KeyFieldCount) == 0;
  };
  std::int32_t i = 0;
  while (Conditions.Count() >= 2 && i < Conditions.Count()) {
    bool Duplicate = false;
    for (std::int32_t j = 0; j < Conditions.Count() && !Duplicate; ++j)
      Duplicate = j != i && Same(*Conditions.Items[static_cast<std::size_t>(i)], *Conditions.Items[static_cast<std::size_t>(j)]);
    if (Duplicate) Conditions.Delete(i);
    else ++i;
  }
}

bool MdbOptimizeScanConditions(TMdbScanSearchConditionArray& Conditions, const TMdbScanKeyComparer& Compare,
                               const TMdbScanIncompatibility& IsIncompatible) {
  for (const auto& C : Conditions.Items)
    if (!IsIndexCondition(*C) && IsIncompatible && IsIncompatible(C->Expression)) return false;
  std::vector<std::int32_t> Indexes;
  for (const auto& C : Conditions.Items)
    if (IsIndexCondition(*C) && std::find(Indexes.begin(), Indexes.end(), C->IndexID) == Indexes.end())
      Indexes.push_back(C->IndexID);
  TMdbScanSearchConditionArray Kept;
  for (const std::int32_t Id : Indexes) {
    const std::size_t First = Kept.Items.size();
    for (const auto& B : Conditions.Items) {
      if (!IsIndexCondition(*B) || B->IndexID != Id) continue;
      bool Absorbed = false;
      for (std::size_t k = First; k < Kept.Items.size(); ++k) {
        bool Merged = false;
        if (!MdbMergeScanConditions(*Kept.Items[k], *B, Compare, Merged)) return false;
        Absorbed = Absorbed || Merged;
      }
      if (!Absorbed) {
        auto Copy = std::make_unique<TMdbScanSearchCondition>();
        Copy->Assign(B.get());
        Kept.Items.push_back(std::move(Copy));
      }
    }
  }
  MdbRemoveDuplicateScanConditions(Kept, Compare);
  for (const auto& C : Conditions.Items) {
    if (IsIndexCondition(*C)) continue;
    auto Copy = std::make_unique<TMdbScanSearchCondition>();
    Copy->Assign(C.get());
    Kept.Items.push_back(std::move(Copy));
  }
  Conditions.Items = std::move(Kept.Items);
  return true;
}

namespace {

bool ChooseEqualCondition(const TMdbScanSearchConditionArray& Conditions, std::int32_t CursorIndexID,
                          TMdbScanChoiceSource& Source, std::int32_t& First) {
  std::int32_t Equalities = 0, OnlyEquality = -1, IndexConditions = 0, OnlyIndexCondition = -1;
  for (std::int32_t i = 0; i < Conditions.Count(); ++i) {
    const TMdbScanSearchCondition& C = *Conditions.Items[static_cast<std::size_t>(i)];
    if (!IsIndexCondition(C)) continue;
    ++IndexConditions;
    OnlyIndexCondition = i;
    if (C.IndexID == -1 || C.Condition != scEqual) continue;
    if (Source.FindsOneRecord(C.IndexID)) {
      First = i;
      return true;
    }
    ++Equalities;
    OnlyEquality = i;
  }
  if (Equalities == 1) {
    First = OnlyEquality;
    return true;
  }
  if (IndexConditions == 1 && CursorIndexID != -1 &&
      Conditions.Items[static_cast<std::size_t>(OnlyIndexCondition)]->IndexID == CursorIndexID) {
    First = OnlyIndexCondition;
    return true;
  }
  return false;
}

bool ChooseIndexByCost(const TMdbScanSearchConditionArray& Conditions, std::int32_t CursorIndexID,
                       TMdbScanChoiceSource& Source, std::int32_t& First, std::int32_t& Second) {
  const Int64 Records = Source.RecordCount();
  Int64 Best = Records;
  std::int32_t BestFirst = -1, BestSecond = -1;
  for (std::int32_t i = 0; i < Conditions.Count(); ++i) {
    const TMdbScanSearchCondition* C = Conditions.Items[static_cast<std::size_t>(i)].get();
    if (!IsIndexCondition(*C)) continue;
    std::int32_t Other = -1;
    if (i + 1 < Conditions.Count()) {
      const TMdbScanSearchCondition* N = Conditions.Items[static_cast<std::size_t>(i) + 1].get();
      if (IsIndexCondition(*N) && N->IndexID == C->IndexID) Other = i + 1;
    }
    const TMdbScanSearchCondition* End = Other >= 0 ? Conditions.Items[static_cast<std::size_t>(Other)].get() : C;
    const Int64 Estimate = Source.Estimate(C->IndexID, C, End);
    if (Estimate < Best) {
      Best = Estimate;
      BestFirst = i;
      BestSecond = Other;
    }
    if (Other >= 0) ++i;
  }
  if (BestFirst < 0) return false;
  const Int64 Threshold = CursorIndexID == -1 ? (Records - Source.ApproximateRecNo()) / 5 : Records;
  // Squares of record counts stay far inside 64 bits only below 3e9 records; beyond that the index
  // is not worth it anyway.
  if (Best > 3000000000LL || Best * Best > Threshold) return false;
  First = BestFirst;
  Second = BestSecond;
  return true;
}

}  // namespace

void MdbChooseScanConditions(const TMdbScanSearchConditionArray& Conditions, std::int32_t CursorIndexID,
                             bool GoForward, TMdbScanChoiceSource& Source, std::int32_t& First, std::int32_t& Second) {
  First = Second = -1;
  if (!ChooseEqualCondition(Conditions, CursorIndexID, Source, First) &&
      !ChooseIndexByCost(Conditions, CursorIndexID, Source, First, Second)) {
    for (std::int32_t i = 0; i < Conditions.Count() && First < 0; ++i) {
      const TMdbScanSearchCondition& C = *Conditions.Items[static_cast<std::size_t>(i)];
      if (IsIndexCondition(C) && C.IndexID != -1) First = i;
    }
  }
  if (Second < 0) return;
  const TMdbScanSearchCondition* A = Conditions.Items[static_cast<std::size_t>(First)].get();
  const TMdbScanSearchCondition* B = Conditions.Items[static_cast<std::size_t>(Second)].get();
  const bool FirstIsLower = Source.CompareConditions(A->IndexID, A, B) < 0;
  if (FirstIsLower != GoForward) std::swap(First, Second);
}
