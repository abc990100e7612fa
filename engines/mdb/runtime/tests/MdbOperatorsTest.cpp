#include <gtest/gtest.h>

#include <memory>

#include "engines/mdb/runtime/MdbVariant.h"
#include "engines/mdb/runtime/tests/MdbTestSupport.h"

namespace {

using MdbOperatorsTest = MdbRuntimeTest;

std::unique_ptr<TMdbVariant> Int(std::int32_t V) {
  auto P = std::make_unique<TMdbVariant>();
  P->SetAsInteger(V);
  return P;
}
std::unique_ptr<TMdbVariant> Typed(TMdbBaseFieldType T, const char* Text) {
  auto P = std::make_unique<TMdbVariant>(T);
  P->SetAsString(Text);
  return P;
}

TEST_F(MdbOperatorsTest, ArithmeticInTheCommonType) {
  auto A = Int(5);
  auto B = std::make_unique<TMdbVariant>();
  B->SetAsDouble(2.5);
  A->Add(B.get());
  EXPECT_EQ(A->DataType(), bftDouble);
  EXPECT_EQ(A->AsDouble(), 7.5);

  auto Seven = Int(7);
  Seven->Division(Int(2).get());
  EXPECT_EQ(Seven->AsInteger(), 3);
  auto Neg = Int(-7);
  Neg->Division(Int(2).get());
  EXPECT_EQ(Neg->AsInteger(), -3);

  auto Max = Int(INT32_MAX);
  Max->Add(Int(1).get());
  EXPECT_EQ(Max->AsInteger(), INT32_MIN);
  auto Mul = Int(65536);
  Mul->Mul(Int(65536).get());
  EXPECT_EQ(Mul->AsInteger(), 0);

  auto I8 = Typed(bftSignedInt8, "100");
  EXPECT_THROW(I8->Add(Typed(bftSignedInt8, "100").get()), ERangeError);

  auto DT = std::make_unique<TMdbVariant>();
  DT->SetAsMdbDateTime({10, 80000000});
  auto DT2 = std::make_unique<TMdbVariant>();
  DT2->SetAsMdbDateTime({0, 10000000});
  DT->Add(DT2.get());
  EXPECT_EQ(DT->AsMdbDateTime().Date, 11);
  EXPECT_EQ(DT->AsMdbDateTime().Time, 3600000);
}

TEST_F(MdbOperatorsTest, DivisionFaultsBecome30128) {
  struct Case {
    std::int32_t A, B;
  };
  for (const Case& C : {Case{7, 0}, Case{INT32_MIN, -1}}) {
    auto A = Int(C.A);
    try {
      A->Division(Int(C.B).get());
      FAIL() << C.A << " / " << C.B;
    } catch (const EMdbException& E) {
      EXPECT_EQ(E.NativeError, 30128);
      EXPECT_EQ(E.Message().rfind(u"Division error: ", 0), 0u);
    }
  }
  auto L = std::make_unique<TMdbVariant>();
  L->SetAsInt64(INT64_MIN);
  auto M1 = std::make_unique<TMdbVariant>();
  M1->SetAsInt64(-1);
  EXPECT_EQ(NativeCodeOf([&] { L->Division(M1.get()); }), 30128);
  auto D = std::make_unique<TMdbVariant>();
  D->SetAsDouble(1);
  auto Z = std::make_unique<TMdbVariant>();
  Z->SetAsDouble(0);
  EXPECT_EQ(NativeCodeOf([&] { D->Division(Z.get()); }), 30128);
  auto S = Typed(bftVarchar, "a");
  EXPECT_EQ(NativeCodeOf([&] { S->Division(Int(1).get()); }), 30127);
}

TEST_F(MdbOperatorsTest, Modulo) {
  auto A = Int(7);
  EXPECT_THROW(A->ModData(Int(0).get()), EDivByZero);
  auto F = std::make_unique<TMdbVariant>();
  F->SetAsDouble(7.9);
  F->ModData(Int(2).get());
  EXPECT_EQ(F->DataType(), bftSignedInt64);
  EXPECT_EQ(F->AsInt64(), 1);
  auto Min = std::make_unique<TMdbVariant>();
  Min->SetAsInt64(INT64_MIN);
  Min->ModData(Int(-1).get());
  EXPECT_EQ(Min->AsInt64(), 0);
  auto T = Typed(bftVarchar, "7");
  T->ModData(Int(2).get());
  EXPECT_TRUE(T->IsNull());
}

TEST_F(MdbOperatorsTest, NullsAndText) {
  auto N = std::make_unique<TMdbVariant>(bftSignedInt32);
  N->Add(Int(5).get());
  EXPECT_EQ(N->AsInteger(), 5);
  auto F = Int(5);
  F->Add(std::make_unique<TMdbVariant>(bftSignedInt32).get());
  EXPECT_TRUE(F->IsNull());
  auto S = std::make_unique<TMdbVariant>(bftSignedInt32);
  S->Sub(Int(5).get());
  EXPECT_TRUE(S->IsNull());

  auto Ab = Typed(bftVarchar, "ab");
  Ab->Add(Int(12).get());
  EXPECT_EQ(Ab->DataType(), bftVarchar);
  EXPECT_EQ(Ab->AsString(), "ab12");
  auto Twelve = Int(12);
  Twelve->Add(Typed(bftVarchar, "3").get());
  EXPECT_EQ(Twelve->DataType(), bftSignedInt32);
  EXPECT_EQ(Twelve->AsInteger(), 123);
  auto W = Typed(bftVarchar, "x");
  auto Wide = std::make_unique<TMdbVariant>();
  Wide->SetAsWideString(u"中");
  W->Add(Wide.get());
  EXPECT_EQ(W->AsWideString(), u"x中");
}

TEST_F(MdbOperatorsTest, InvertValue) {
  auto T = std::make_unique<TMdbVariant>();
  T->SetAsMdbTime(1000);
  T->InvertValue();
  EXPECT_EQ(T->AsMdbTime(), 86399000);
  auto U = std::make_unique<TMdbVariant>();
  U->SetAsByte(5);
  U->InvertValue();
  EXPECT_EQ(U->AsByte(), 251);
  U->SetAsByte(200);
  EXPECT_THROW(U->InvertValue(), ERangeError);
  auto Min = Int(INT32_MIN);
  EXPECT_THROW(Min->InvertValue(), EIntOverflow);
  auto S = Typed(bftVarchar, "a");
  EXPECT_EQ(NativeCodeOf([&] { S->InvertValue(); }), 30123);
}

TEST_F(MdbOperatorsTest, BitwiseAndBoolean) {
  auto Tr = std::make_unique<TMdbVariant>();
  Tr->SetAsBoolean(true);
  auto Fa = std::make_unique<TMdbVariant>();
  Fa->SetAsBoolean(false);
  Tr->AndData(Fa.get());
  EXPECT_FALSE(Tr->AsBoolean());
  auto Twelve = Int(12);
  Twelve->AndData(Int(10).get());
  EXPECT_EQ(Twelve->AsInteger(), 8);
  auto X = Int(12);
  X->XorData(Int(10).get());
  EXPECT_EQ(X->AsInteger(), 6);
  auto S = Typed(bftVarchar, "a");
  EXPECT_EQ(NativeCodeOf([&] { S->AndData(Int(1).get()); }), 11645);
  auto One = Int(1);
  One->ShlData(Int(33).get());
  EXPECT_EQ(One->AsInteger(), 2);
  auto Neg = Int(-8);
  Neg->ShrData(Int(1).get());
  EXPECT_EQ(Neg->AsInteger(), 0x7FFFFFFC);
  auto I8 = Typed(bftSignedInt8, "64");
  EXPECT_THROW(I8->ShlData(Typed(bftSignedInt8, "1").get()), ERangeError);
  auto N8 = Typed(bftSignedInt8, "-2");
  EXPECT_THROW(N8->ShrData(Typed(bftSignedInt8, "1").get()), ERangeError);
  auto Nt = Int(0);
  Nt->NotData();
  EXPECT_EQ(Nt->AsInteger(), -1);
  auto D = std::make_unique<TMdbVariant>();
  D->SetAsDouble(1);
  EXPECT_EQ(NativeCodeOf([&] { D->ShlData(Int(1).get()); }), 11648);
  EXPECT_EQ(NativeCodeOf([&] { D->NotData(); }), 11647);
  auto Null = Int(3);
  Null->OrData(std::make_unique<TMdbVariant>(bftSignedInt32).get());
  EXPECT_TRUE(Null->IsNull());
  EXPECT_EQ(Null->DataType(), bftSignedInt32);
}

}  // namespace
