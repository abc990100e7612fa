#include "engines/mdb/storage/MdbScanConditions.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

// Keys are arrays of Int32 columns; indexes compare them column by column.
std::int32_t CompareInts(std::int32_t, const void* K1, const void* K2, std::int32_t Count) {
  const auto* a = static_cast<const std::int32_t*>(K1);
  const auto* b = static_cast<const std::int32_t*>(K2);
  for (std::int32_t i = 0; i < Count; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

class TExpression : public TMdbBaseExpression {
 public:
  explicit TExpression(bool aIncompatible = false) : Incompatible(aIncompatible) {}
  void ExtractIndexScanConditions(TMdbIndexDefs*, TMdbScanSearchConditionArray*, TList*) override {}
  void AddNode(TMdbExpressionNode*) override {}
  bool Incompatible;
};

bool IsIncompatible(TMdbBaseExpression* E) { return static_cast<TExpression*>(E)->Incompatible; }

bool Holds(TMdbSearchCondition C, int x, int k) {
  switch (C) {
    case scEqual: return x == k;
    case scLower: return x < k;
    case scGreater: return x > k;
    case scLowerEqual: return x <= k;
    case scGreaterEqual: return x >= k;
    default: return false;
  }
}

struct TSpec {
  TMdbSearchCondition Condition;
  const std::int32_t* Key;
  std::int32_t Count = 1;
  std::int32_t IndexID = 1;
  TMdbBaseExpression* Expression = nullptr;
};
TSpec Cond(TMdbSearchCondition C, const std::int32_t* Key, std::int32_t Count = 1, std::int32_t IndexID = 1) {
  return {C, Key, Count, IndexID};
}
void Set(TMdbScanSearchCondition& S, const TSpec& T) {
  S.Condition = T.Condition;
  S.KeyRecordBuffer = const_cast<std::int32_t*>(T.Key);
  S.KeyFieldCount = T.Count;
  S.IndexID = T.IndexID;
  S.Expression = T.Expression;
}
void Fill(TMdbScanSearchConditionArray& A, const std::vector<TSpec>& In) {
  for (const TSpec& T : In) {
    TMdbScanSearchCondition S;
    Set(S, T);
    A.AddCondition(S);
  }
}

struct TSeen {
  TMdbSearchCondition Condition;
  std::int32_t Key;
  std::int32_t Count;
  std::int32_t IndexID;
  bool operator==(const TSeen&) const = default;
};

std::vector<TSeen> Describe(const TMdbScanSearchConditionArray& A) {
  std::vector<TSeen> Out;
  for (const auto& C : A.Items)
    Out.push_back({C->Condition, C->KeyRecordBuffer ? *static_cast<std::int32_t*>(C->KeyRecordBuffer) : -1,
                   C->KeyFieldCount, C->Expression ? -2 : C->IndexID});
  return Out;
}

}  // namespace

// With one key column the merged condition must describe exactly the records both conditions allow;
// checked against the sets themselves for every pair of comparisons and every order of the keys.
TEST(MdbScanConditionsTest, EveryMergeKeepsExactlyTheRecordsBothAllow) {
  const TMdbSearchCondition All[] = {scEqual, scLower, scGreater, scLowerEqual, scGreaterEqual};
  for (TMdbSearchCondition A : All)
    for (TMdbSearchCondition B : All)
      for (auto [a, b] : {std::pair{3, 5}, std::pair{4, 4}, std::pair{5, 3}}) {
        std::set<int> Both, OnlyA, OnlyB, OnA;
        for (int x = 0; x <= 9; ++x) {
          if (Holds(A, x, a) && Holds(B, x, b)) Both.insert(x);
          if (Holds(A, x, a)) OnlyA.insert(x);
          if (Holds(B, x, b)) OnlyB.insert(x);
          if (x == a) OnA.insert(x);
        }
        const auto Outcome = MdbMergeOutcome(A, B, a < b ? -1 : (a > b ? 1 : 0), 1, 1);
        const std::string Where = std::to_string(A) + " " + std::to_string(B) + " " + std::to_string(a - b);
        switch (Outcome) {
          case TMdbMergeOutcome::Empty: EXPECT_TRUE(Both.empty()) << Where; break;
          case TMdbMergeOutcome::KeepA:
          case TMdbMergeOutcome::Longer:   // equal widths: A
          case TMdbMergeOutcome::Shorter: EXPECT_EQ(Both, OnlyA) << Where; break;
          case TMdbMergeOutcome::TakeB: EXPECT_EQ(Both, OnlyB) << Where; break;
          case TMdbMergeOutcome::Equal: EXPECT_EQ(Both, OnA) << Where; break;
          case TMdbMergeOutcome::Both: EXPECT_FALSE(Both.empty()) << Where; break;
        }
      }
  EXPECT_EQ(MdbMergeOutcome(scNone, scEqual, 0, 1, 1), TMdbMergeOutcome::Both);
}

// Where the key widths differ, an equality on a longer key is not implied by a shorter bound.
TEST(MdbScanConditionsTest, WidthDecidesWhereKeysMeet) {
  const struct {
    TMdbSearchCondition A, B;
    std::int32_t KA, KB;
    TMdbMergeOutcome Expected;
  } Cases[] = {
      {scEqual, scLowerEqual, 2, 1, TMdbMergeOutcome::KeepA},   {scEqual, scLowerEqual, 1, 2, TMdbMergeOutcome::Both},
      {scLower, scGreaterEqual, 1, 2, TMdbMergeOutcome::Empty}, {scLower, scGreaterEqual, 2, 1, TMdbMergeOutcome::Both},
      {scLowerEqual, scEqual, 1, 2, TMdbMergeOutcome::TakeB},   {scLowerEqual, scEqual, 2, 1, TMdbMergeOutcome::Both},
      {scGreaterEqual, scLower, 2, 1, TMdbMergeOutcome::Empty}, {scGreaterEqual, scLowerEqual, 1, 2, TMdbMergeOutcome::Both},
  };
  for (const auto& C : Cases) EXPECT_EQ(MdbMergeOutcome(C.A, C.B, 0, C.KA, C.KB), C.Expected) << C.A << " " << C.B;
  // Longer and Shorter pick by width.
  const std::int32_t K1[] = {4, 1}, K2[] = {4, 9};
  TMdbScanSearchCondition A, B;
  Set(A, Cond(scLower, K1, 1));
  Set(B, Cond(scLower, K2, 2));
  bool Merged = false;
  ASSERT_TRUE(MdbMergeScanConditions(A, B, CompareInts, Merged));
  EXPECT_TRUE(Merged);
  EXPECT_EQ(A.KeyFieldCount, 1);  // shorter: the looser bound over the prefix
  Set(A, Cond(scGreaterEqual, K1, 1));
  Set(B, Cond(scGreaterEqual, K2, 2));
  ASSERT_TRUE(MdbMergeScanConditions(A, B, CompareInts, Merged));
  EXPECT_EQ(A.KeyFieldCount, 2);
  EXPECT_EQ(A.KeyRecordBuffer, K2);
}

TEST(MdbScanConditionsTest, OptimizeSimplifiesContradictsAndGroups) {
  const std::int32_t k3[] = {3}, k5[] = {5}, k7[] = {7}, k9[] = {9};
  TExpression Plain, Bad(true);
  const auto Run = [&](std::vector<TSpec> In, std::vector<TSeen> Expected, bool Possible) {
    TMdbScanSearchConditionArray A;
    Fill(A, In);
    const auto Before = Describe(A);
    EXPECT_EQ(MdbOptimizeScanConditions(A, CompareInts, IsIncompatible), Possible);
    EXPECT_EQ(Describe(A), Possible ? Expected : Before);
  };
  Run({Cond(scGreater, k5), Cond(scLower, k3)}, {}, false);
  Run({Cond(scGreaterEqual, k5), Cond(scLowerEqual, k5)}, {{scEqual, 5, 1, 1}}, true);
  Run({Cond(scGreaterEqual, k3), Cond(scGreater, k3)}, {{scGreater, 3, 1, 1}}, true);
  Run({Cond(scLower, k7), Cond(scLower, k9)}, {{scLower, 7, 1, 1}}, true);
  Run({Cond(scGreater, k3), Cond(scLower, k9), Cond(scLower, k7)}, {{scGreater, 3, 1, 1}, {scLower, 7, 1, 1}}, true);
  // Two indexes in order of first appearance, expressions last; an expression never merges.
  const TSpec E{scNone, nullptr, 0, -1, &Plain};
  Run({E, Cond(scEqual, k5, 1, 2), Cond(scGreater, k3, 1, 1), Cond(scEqual, k5, 1, 2), Cond(scLower, k9, 1, 1)},
      {{scEqual, 5, 1, 2}, {scGreater, 3, 1, 1}, {scLower, 9, 1, 1}, {scNone, -1, 0, -2}}, true);
  // A condition without key, or without comparison, stays as it is.
  const TSpec NoKey = Cond(scEqual, nullptr);
  Run({NoKey, Cond(scEqual, k5)}, {{scEqual, -1, 1, 1}, {scEqual, 5, 1, 1}}, true);
  const TSpec Incompatible{scNone, nullptr, 0, -1, &Bad};
  Run({Cond(scEqual, k5), Incompatible}, {}, false);
}

TEST(MdbScanConditionsTest, DuplicatesGoOnce) {
  const std::int32_t k5[] = {5}, also5[] = {5}, k6[] = {6};
  TMdbScanSearchConditionArray A;
  Fill(A, {Cond(scLower, k5), Cond(scLower, also5), Cond(scLower, k5, 1, 2), Cond(scLower, k6), Cond(scLowerEqual, k5),
           Cond(scLower, also5)});
  MdbRemoveDuplicateScanConditions(A, CompareInts);
  EXPECT_EQ(Describe(A), (std::vector<TSeen>{
                             {scLower, 5, 1, 2}, {scLower, 6, 1, 1}, {scLowerEqual, 5, 1, 1}, {scLower, 5, 1, 1}}));
}

namespace {
// Index 1 is unique; estimates are the key width of the range (upper key - lower key, or the key of a
// single bound), so the test states them directly in the keys.
class TChoiceSource : public TMdbScanChoiceSource {
 public:
  bool FindsOneRecord(std::int32_t IndexID) override { return IndexID == 1; }
  Int64 RecordCount() override { return 1000; }
  Int64 ApproximateRecNo() override { return RecNo; }
  Int64 Estimate(std::int32_t, const TMdbScanSearchCondition* First, const TMdbScanSearchCondition* Second) override {
    const auto Key = [](const TMdbScanSearchCondition* C) { return *static_cast<const std::int32_t*>(C->KeyRecordBuffer); };
    return First == Second ? Key(First) : std::abs(Key(Second) - Key(First));
  }
  std::int32_t CompareConditions(std::int32_t, const TMdbScanSearchCondition* First,
                                 const TMdbScanSearchCondition* Second) override {
    return CompareInts(0, First->KeyRecordBuffer, Second->KeyRecordBuffer, 1);
  }
  Int64 RecNo = 0;
};
}  // namespace

TEST(MdbScanConditionsTest, DrivingConditionChoice) {
  const std::int32_t k5[] = {5}, k8[] = {8}, k20[] = {20}, k30[] = {30}, k900[] = {900};
  TExpression Plain;
  const TSpec E{scNone, nullptr, 0, -1, &Plain};
  const struct {
    std::vector<TSpec> Conditions;
    std::int32_t CursorIndexID;
    bool GoForward;
    Int64 RecNo;
    std::int32_t First, Second;
  } Cases[] = {
      // An equality on a unique index drives even when a range elsewhere is estimated smaller.
      {{Cond(scGreater, k20, 1, 2), Cond(scLower, k30, 1, 2), Cond(scEqual, k900, 1, 1)}, -1, true, 0, 2, -1},
      // The only equality drives.
      {{Cond(scGreater, k5, 1, 3), Cond(scEqual, k900, 1, 2)}, -1, true, 0, 1, -1},
      // The only condition, on the cursor's index.
      {{Cond(scGreater, k900, 1, 3)}, 3, true, 0, 0, -1},
      // Cost: the range 20..30 (10 records, 100 <= 1000 / 5) beats the single bound at 900.
      {{Cond(scGreater, k900, 1, 3), Cond(scGreater, k20, 1, 2), Cond(scLower, k30, 1, 2)}, -1, true, 0, 1, 2},
      // Backwards the scan starts from the upper bound.
      {{Cond(scGreater, k900, 1, 3), Cond(scGreater, k20, 1, 2), Cond(scLower, k30, 1, 2)}, -1, false, 0, 2, 1},
      {{Cond(scLower, k30, 1, 2), Cond(scGreater, k20, 1, 2)}, -1, true, 0, 1, 0},
      // Not worth it: 10 x 10 > (1000 - 600) / 5, so the first index condition drives alone.
      {{Cond(scGreater, k900, 1, 3), Cond(scGreater, k20, 1, 2), Cond(scLower, k30, 1, 2)}, -1, true, 600, 0, -1},
      // On an index order the threshold is the record count.
      {{Cond(scGreater, k900, 1, 3), Cond(scGreater, k20, 1, 2), Cond(scLower, k30, 1, 2)}, 4, true, 600, 1, 2},
      {{Cond(scGreater, k5, 1, 3), Cond(scGreater, k8, 1, 4)}, -1, true, 0, 0, -1},
      // Expressions alone: a full scan.
      {{E}, -1, true, 0, -1, -1},
  };
  for (std::size_t n = 0; n < std::size(Cases); ++n) {
    const auto& K = Cases[n];
    TMdbScanSearchConditionArray A;
    Fill(A, K.Conditions);
    TChoiceSource S;
    S.RecNo = K.RecNo;
    std::int32_t First = 0, Second = 0;
    MdbChooseScanConditions(A, K.CursorIndexID, K.GoForward, S, First, Second);
    EXPECT_EQ(First, K.First) << n;
    EXPECT_EQ(Second, K.Second) << n;
  }
}
