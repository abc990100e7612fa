#include <gtest/gtest.h>

#include <memory>

#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/runtime/tests/MdbTestSupport.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/FormatSettings.h"

namespace {

class MdbFunctionsTest : public MdbRuntimeTest {
 protected:
  void SetUp() override {
    MdbRuntimeTest::SetUp();
    FSaved = FormatSettings();
    FormatSettings().DecimalSeparator = u'.';
  }
  void TearDown() override {
    FormatSettings() = FSaved;
    MdbRuntimeTest::TearDown();
  }
  TFormatSettings FSaved;
};

std::unique_ptr<TMdbVariant> Int(std::int32_t V) {
  auto P = std::make_unique<TMdbVariant>();
  P->SetAsInteger(V);
  return P;
}
std::unique_ptr<TMdbVariant> Dbl(double V) {
  auto P = std::make_unique<TMdbVariant>();
  P->SetAsDouble(V);
  return P;
}
std::unique_ptr<TMdbVariant> Txt(const char* V) {
  auto P = std::make_unique<TMdbVariant>();
  P->SetAsString(V);
  return P;
}
std::unique_ptr<TMdbVariant> At(int Y, int M, int D, int H = 0, int Mi = 0) {
  auto P = std::make_unique<TMdbVariant>();
  P->SetAsTDateTime(EncodeDateTime(Y, M, D, H, Mi, 0, 0));
  return P;
}

TEST_F(MdbFunctionsTest, AbsSignCeilingFloor) {
  auto A = Int(-5);
  A->AbsData();
  EXPECT_EQ(A->AsInteger(), 5);
  EXPECT_EQ(NativeCodeOf([] { Txt("x")->AbsData(); }), 11651);
  EXPECT_EQ(NativeCodeOf([] { Txt("x")->SignData(); }), 11652);
  auto N = std::make_unique<TMdbVariant>(bftSignedInt32);
  N->AbsData();
  EXPECT_TRUE(N->IsNull());
  auto C = Dbl(2.1);
  C->CeilingData();
  EXPECT_EQ(C->DataType(), bftSignedInt32);
  EXPECT_EQ(C->AsInteger(), 3);
  auto F = Dbl(-2.1);
  F->FloorData();
  EXPECT_EQ(F->AsInteger(), -3);
  auto T = Txt("2.5");
  T->CeilingData();
  EXPECT_TRUE(T->IsNull());
  auto S = Dbl(-0.5);
  S->SignData();
  EXPECT_EQ(S->AsDouble(), -1.0);
}

TEST_F(MdbFunctionsTest, PowerRoundTruncate) {
  auto P = Int(2);
  P->PowerData(Int(10).get());
  EXPECT_EQ(P->DataType(), bftSignedInt64);
  EXPECT_EQ(P->AsInt64(), 1024);
  auto Q = Dbl(2.0);
  Q->PowerData(Dbl(0.5).get());
  EXPECT_EQ(Q->DataType(), bftExtended);
  EXPECT_NEAR(Q->AsExtended(), 1.41421356, 1e-8);
  struct Case {
    double X;
    Int64 Round;
    Int64 Trunc;
  };
  for (const Case& C : {Case{2.5, 2, 2}, Case{3.5, 4, 3}, Case{-2.7, -3, -2}}) {
    auto R = Dbl(C.X);
    R->RoundData(nullptr);
    EXPECT_EQ(R->DataType(), bftSignedInt64);
    EXPECT_EQ(R->AsInt64(), C.Round);
    auto T = Dbl(C.X);
    T->TruncateData(nullptr);
    EXPECT_EQ(T->AsInt64(), C.Trunc);
  }
  struct Places {
    double X;
    bool Round;
    const char* Text;
  };
  for (const Places& C : {Places{3.14159, true, "3.14"}, Places{3.14159, false, "3.14"}, Places{2.0, true, "2.00"},
                          Places{-2.345, true, "-2.35"}, Places{2.675, true, "2.68"}}) {
    auto R = Dbl(C.X);
    if (C.Round)
      R->RoundData(Int(2).get());
    else
      R->TruncateData(Int(2).get());
    EXPECT_EQ(R->DataType(), bftVarchar);
    EXPECT_EQ(R->AsString(), C.Text) << C.X;
  }
  auto Null = std::make_unique<TMdbVariant>(bftDouble);
  Null->TruncateData(Int(2).get());
  EXPECT_TRUE(Null->IsNull());
  EXPECT_EQ(Null->DataType(), bftVarchar);
}

TEST_F(MdbFunctionsTest, Hex) {
  auto T = Txt("AB");
  T->HexData(ahexfDefault);
  EXPECT_EQ(T->DataType(), bftWideChar);
  EXPECT_EQ(T->AsWideString(), u"4142");
  auto C = Int(255);
  C->HexData(ahexfCPP);
  EXPECT_EQ(C->AsWideString(), u"0x000000ff");
  auto V = Int(255);
  V->HexData(ahexfVellum);
  EXPECT_EQ(V->AsWideString(), u"$000000FF");
  auto Neg = std::make_unique<TMdbVariant>();
  Neg->SetAsShortint(-1);
  Neg->HexData(ahexfDefault);
  EXPECT_EQ(Neg->AsWideString(), u"FFFFFFFF");
  auto D = Dbl(1);
  D->HexData(ahexfDefault);
  EXPECT_TRUE(D->IsNull());
  EXPECT_EQ(D->DataType(), bftChar);
}

TEST_F(MdbFunctionsTest, DateAdd) {
  struct Case {
    std::unique_ptr<TMdbVariant> From;
    TMdbDatePart Part;
    int Number;
    TDateTime Expected;
  };
  Case Cases[] = {
      {At(2021, 1, 31), dpMONTH, 1, EncodeDate(2021, 2, 28)},
      {At(2020, 2, 29), dpYEAR, 1, EncodeDate(2021, 2, 28)},
      {At(2021, 12, 31, 23), dpDAY, 1, EncodeDateTime(2022, 1, 1, 23, 0, 0, 0)},
      {At(2021, 3, 1, 0, 30), dpHOUR, -1, EncodeDateTime(2021, 2, 28, 23, 30, 0, 0)},
      {At(2021, 1, 1), dpQUARTER, -1, EncodeDate(2020, 10, 1)},
      {At(2021, 1, 1), dpWEEK, 2, EncodeDate(2021, 1, 15)},
      {At(2021, 1, 1), dpMILLISECOND, 1000000000, EncodeDateTime(2021, 1, 12, 13, 46, 40, 0)},
  };
  for (auto& C : Cases) {
    C.From->DateAdd(C.Part, C.Number);
    EXPECT_DOUBLE_EQ(C.From->AsTDateTime(), C.Expected) << int(C.Part);
  }
  auto D = std::make_unique<TMdbVariant>();
  D->SetAsTDate(EncodeDate(2021, 1, 31));
  D->DateAdd(dpMONTH, 1);
  EXPECT_EQ(D->DataType(), bftDate);
  EXPECT_DOUBLE_EQ(D->AsTDate(), EncodeDate(2021, 2, 28));
  auto Bad = Txt("no date");
  Bad->DateAdd(dpDAY, 1);
  EXPECT_TRUE(Bad->IsNull());
  EXPECT_EQ(Bad->DataType(), bftUnknown);
  auto Far = At(9999, 12, 1);
  Far->DateAdd(dpMONTH, 1);
  EXPECT_TRUE(Far->IsNull());
}

TEST_F(MdbFunctionsTest, DateDiff) {
  struct Case {
    std::unique_ptr<TMdbVariant> A, B;
    TMdbDatePart Part;
    std::int32_t Expected;
  };
  Case Cases[] = {
      {At(2020, 12, 31), At(2021, 1, 1), dpYEAR, 1},
      {At(2021, 1, 2), At(2021, 1, 1), dpDAY, -1},
      {At(2021, 1, 2), At(2021, 1, 3), dpWEEK, 1},  // Saturday to Sunday
      {At(2021, 1, 3), At(2021, 1, 9), dpWEEK, 0},  // Sunday to Saturday
      {At(2021, 3, 31), At(2021, 4, 1), dpQUARTER, 1},
      {At(2021, 1, 31), At(2021, 2, 1), dpMONTH, 1},
      {At(2021, 1, 1, 10, 59), At(2021, 1, 1, 11, 0), dpHOUR, 1},
  };
  for (auto& C : Cases) {
    TMdbVariant R;
    R.DateDiff(C.Part, C.A.get(), C.B.get());
    EXPECT_EQ(R.DataType(), bftSignedInt32);
    EXPECT_EQ(R.AsInteger(), C.Expected) << int(C.Part);
  }
  TMdbVariant R;
  R.DateDiff(dpDAY, Txt("no date").get(), At(2021, 1, 1).get());
  EXPECT_TRUE(R.IsNull());
  EXPECT_EQ(R.DataType(), bftUnknown);
  TMdbVariant Big;
  Big.DateDiff(dpMILLISECOND, At(1, 1, 1).get(), At(9999, 1, 1).get());
  EXPECT_TRUE(Big.IsNull());
}

TEST_F(MdbFunctionsTest, Transcendental) {
  auto L = Dbl(8);
  L->LogData(Dbl(2).get());
  EXPECT_NEAR(L->AsDouble(), 3.0, 1e-12);
  auto I = Int(10);
  I->LogData(nullptr);
  EXPECT_EQ(I->AsInteger(), 2);  // ln 10 = 2.30 rounded into the integer type
  auto S = Dbl(16);
  S->SqrtData();
  EXPECT_EQ(S->AsDouble(), 4.0);
  EXPECT_THROW(Dbl(-1)->SqrtData(), EInvalidOp);
  auto Deg = Dbl(3.141592653589793);
  Deg->DegreesData();
  EXPECT_NEAR(Deg->AsDouble(), 180.0, 1e-9);
  auto T = Txt("0");
  T->CosData();
  EXPECT_EQ(T->AsString(), "1");
  auto Blob = std::make_unique<TMdbVariant>();
  Blob->SetData("x", 1, bftBytes, true, false);
  EXPECT_EQ(NativeCodeOf([&] { Blob->ExpData(); }), 12488);
  auto N = std::make_unique<TMdbVariant>(bftDouble);
  N->SinData();
  EXPECT_TRUE(N->IsNull());
  auto Sq = Int(46341);
  Sq->SqrData();
  EXPECT_EQ(Sq->AsInteger(), static_cast<std::int32_t>(46341LL * 46341LL));
  auto Big = std::make_unique<TMdbVariant>();
  Big->SetAsInt64(INT64_MAX / 2);
  EXPECT_THROW(Big->SqrData(), EIntOverflow);
  TMdbVariant Pi;
  Pi.PiData();
  EXPECT_EQ(Pi.DataType(), bftExtended);
  EXPECT_NEAR(Pi.AsExtended(), 3.14159265358979, 1e-14);
}

}  // namespace
