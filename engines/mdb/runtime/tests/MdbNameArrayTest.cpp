// The name array (golden bytes, edits, hostile streams), the hash set and the scan conditions with a
// stand-in expression.
#include "engines/mdb/runtime/MdbNameArray.h"

#include <random>

#include "engines/mdb/runtime/MdbMemory.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "MdbTestSupport.h"
#include "platform/classes/Lists.h"

namespace {

using MdbNameArrayTest = MdbRuntimeTest;

std::vector<Byte> Saved(const TMdbObjectNameArray& A) {
  TMdbMemoryStream S;
  EXPECT_EQ(A.SaveToStream(&S, false), 0);
  return std::vector<Byte>(static_cast<Byte*>(S.Buffer()), static_cast<Byte*>(S.Buffer()) + S.Size());
}

std::vector<String> Names(const TMdbObjectNameArray& A) {
  std::vector<String> v;
  for (int i = 0; i < A.Count(); ++i) v.push_back(A.GetString(i));
  return v;
}

TEST_F(MdbNameArrayTest, GoldenBytesAndEdits) {
  TMdbObjectNameArray A;
  EXPECT_EQ(Saved(A), HexBytes("08000000 00000000"));
  A.Add(u"AB");
  A.Add(u"C");
  EXPECT_EQ(A.SaveToStream(nullptr, true), 22);
  EXPECT_EQ(Saved(A), HexBytes("16000000 02000000 04000000 41004200 02000000 4300"));
  A.SetString(0, u"LONGER");
  EXPECT_EQ(Names(A), (std::vector<String>{u"LONGER", u"C"}));
  EXPECT_EQ(A.UsedSize(), 30);
  A.SetString(0, u"");
  A.SetString(5, u"ignored");
  EXPECT_EQ(Names(A), (std::vector<String>{u"", u"C"}));
  A.Add(u"\u4E2D");
  A.Delete(0);
  A.Delete(7);
  EXPECT_EQ(Names(A), (std::vector<String>{u"C", u"\u4E2D"}));
  EXPECT_EQ(A.GetString(-1), u"");
  TMdbObjectNameArray Copy;
  Copy.Assign(&A);
  EXPECT_EQ(Saved(Copy), Saved(A));
  A.Clear();
  EXPECT_EQ(A.Count(), 0);
  // Many names grow the buffer in steps and read back in order.
  for (int i = 0; i < 2000; ++i) A.Add(u"name" + String(1, char16_t(u'A' + i % 26)));
  EXPECT_EQ(A.Count(), 2000);
  EXPECT_EQ(A.GetString(1999), u"nameX");
  TMdbMemoryStream S;
  A.SaveToStream(&S, false);
  S.SetPosition(0);
  TMdbObjectNameArray Loaded;
  Loaded.LoadFromStream(&S);
  EXPECT_EQ(Names(Loaded), Names(A));
}

TEST_F(MdbNameArrayTest, HostileStreams) {
  TMdbObjectNameArray Source;
  Source.Add(u"AB");
  Source.Add(u"C");
  const auto Good = Saved(Source);
  struct Case {
    std::vector<Byte> Data;
    int Code;
  };
  std::vector<Case> Cases = {
      {HexBytes("00000000"), -1},                                     // S = 0: empty
      {HexBytes("04000000 00000000"), 11955},                         // S below the head
      {HexBytes("16000000 03000000 04000000 41004200 02000000 4300"), 11956},  // N too large
      {HexBytes("16000000 ffffffff 04000000 41004200 02000000 4300"), 11956},  // N negative
      {HexBytes("16000000 02000000 08000000 41004200 02000000 4300"), 11956},  // entry past S
      {HexBytes("16000000 02000000 03000000 41004200 02000000 4300"), 11956},  // odd length
      {HexBytes("16000000 01000000 04000000 41004200 02000000 4300"), 11956},  // bytes after the names
      {HexBytes("ffffff7f 00000000"), 11956},                         // huge S, nothing behind it
  };
  for (std::size_t Cut = 0; Cut < Good.size(); ++Cut)
    Cases.push_back({std::vector<Byte>(Good.begin(), Good.begin() + Cut), Cut < 4 ? 11955 : 11956});
  for (const auto& C : Cases) {
    TMdbObjectNameArray Target;
    Target.Add(u"keep");
    TMdbMemoryStream S;
    S.Write(C.Data.data(), Int64(C.Data.size()));
    S.SetPosition(0);
    EXPECT_EQ(NativeCodeOf([&] { Target.LoadFromStream(&S); }), C.Code) << C.Data.size();
    if (C.Code != -1) {
      EXPECT_EQ(Names(Target), std::vector<String>{u"keep"});
    } else {
      EXPECT_EQ(Target.Count(), 0);
    }
  }
  std::mt19937 Rng(23);
  for (int Round = 0; Round < 500; ++Round) {
    auto Bad = Good;
    Bad[Rng() % Bad.size()] ^= Byte(1u << (Rng() % 8));
    TMdbObjectNameArray Target;
    TMdbMemoryStream S;
    S.Write(Bad.data(), Int64(Bad.size()));
    S.SetPosition(0);
    const int Code = NativeCodeOf([&] { Target.LoadFromStream(&S); });
    if (Code == -1) {
      for (int i = 0; i < Target.Count(); ++i) Target.GetString(i);
    } else {
      EXPECT_TRUE(Code == 11955 || Code == 11956) << Code;
    }
  }
}

TEST_F(MdbNameArrayTest, HashSetBuckets) {
  TMdbHashArray H(0, 2, 0, 8);
  EXPECT_TRUE(H.Append(261));
  EXPECT_FALSE(H.Append(261));
  EXPECT_TRUE(H.Append(517));  // the same bucket 5
  EXPECT_EQ(H.KeyElementCount(), 1);
  for (std::uint32_t v = 5; v < 5 + 256 * 50; v += 256) H.Append(v);  // grows the bucket block
  EXPECT_EQ(H.ValueElementCount(), 50);
  EXPECT_FALSE(H.Append(5 + 256 * 49));
  EXPECT_EQ(NativeCodeOf([] { TMdbHashArray Bad(0, 10, 0, 0); }), 11662);
  EXPECT_EQ(NativeCodeOf([] { TMdbHashArray Bad(0, 10, 0, 32); }), 11662);
  TMdbHashArray NoData(0, 10, 0, 4);
  NoData.Append(1, "x");
  EXPECT_EQ(NativeCodeOf([&] { NoData.Append(17, "x"); }), 11665);
  TMdbHashArray WithData(8, 0, 4, 4);  // AllocBy 0 still grows
  for (std::uint32_t i = 0; i < 100; ++i) EXPECT_TRUE(WithData.Append(i << 8, "12345678"));
}

class TStubExpression : public TMdbBaseExpression {
 public:
  std::vector<TMdbExpressionNode*> Nodes;
  void ExtractIndexScanConditions(TMdbIndexDefs*, TMdbScanSearchConditionArray* Conditions, TList* Info) override {
    TMdbScanSearchCondition C;
    C.Condition = scEqual;
    C.IndexID = 7;
    C.KeyFieldCount = 1;
    C.KeyRecordBuffer = MdbMemoryManager->GetMem(16);
    Conditions->AddCondition(C);
    Info->Add(new TMdbExtractedConditionInfo{C.KeyRecordBuffer, reinterpret_cast<TMdbExpressionNode*>(0x1234), this});
  }
  void AddNode(TMdbExpressionNode* Node) override { Nodes.push_back(Node); }
};

TEST_F(MdbNameArrayTest, ScanConditionsLendAndReturnNodes) {
  TMdbScanSearchConditionArray A;
  TStubExpression E1, E2;
  A.AddExpression(&E1);
  A.AddExpression(&E2);
  TList Info;
  A.ExtractConditionsFromExpressions(nullptr, &Info);
  EXPECT_EQ(A.Count(), 4);  // the two added conditions were not visited again
  EXPECT_EQ(A.Items[2]->IndexID, 7);
  A.ReturnConditionsToExpressions(&Info);
  EXPECT_EQ(E1.Nodes.size(), 1u);
  EXPECT_EQ(E2.Nodes.size(), 1u);
  EXPECT_EQ(Info.Get(0), nullptr);
  EXPECT_EQ(MdbMemoryManager->TotalMemAllocated(), 0);

  EXPECT_EQ(NativeCodeOf([&] { A.AddCondition(TMdbScanSearchCondition()); }), 10388);
  EXPECT_EQ(NativeCodeOf([&] { A.Delete(4); }), 10413);
  A.Delete(0);
  EXPECT_EQ(A.Items[0]->Expression, &E2);

  TList Bad;
  TMdbExtractedConditionInfo Missing{nullptr, nullptr, &E1};
  Bad.Add(&Missing);
  EXPECT_EQ(NativeCodeOf([&] { A.ReturnConditionsToExpressions(&Bad); }), 20061);
  Missing.Expression = nullptr;
  EXPECT_EQ(NativeCodeOf([&] { A.ReturnConditionsToExpressions(&Bad); }), 20060);
}

}  // namespace
