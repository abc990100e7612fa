#include <gtest/gtest.h>

#include <cstring>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbSQLParams.h"
#include "engines/mdb/runtime/tests/MdbTestSupport.h"
#include "platform/classes/Streams.h"

namespace {

using MdbSQLParamsTest = MdbRuntimeTest;

TEST_F(MdbSQLParamsTest, LookupByNameIgnoresCaseAndFirstWins) {
  TMdbSQLParams Ps;
  TMdbSQLParam* A = Ps.AddCreated();
  A->SetName(u"Cust_ID");
  EXPECT_EQ(Ps.GetParamByName(u"CUST_ID"), A);
  EXPECT_EQ(Ps.GetParamByName(u"cust_id"), A);
  EXPECT_EQ(Ps.GetParamByName(u"other"), nullptr);
  Ps.AddCreated()->SetName(u"X");
  Ps.AddCreated()->SetName(u"x");
  EXPECT_EQ(Ps.GetParamIndexByName(u"X"), 1);
  // An unnamed parameter has NameCRC 0, the hash of the empty name.
  TMdbSQLParam* Unnamed = Ps.AddCreated();
  EXPECT_EQ(Unnamed->NameCRC(), 0u);
  EXPECT_EQ(Ps.GetParamByName(u""), Unnamed);
  EXPECT_EQ(NativeCodeOf([&] { Ps.GetValue(4); }), 11611);
  EXPECT_EQ(NativeCodeOf([&] { Ps.GetValue(-1); }), 11611);
}

TEST_F(MdbSQLParamsTest, HashFollowsValuesNotNames) {
  TMdbSQLParams Ps;
  EXPECT_EQ(Ps.GetHashValue(), 0xF37ADE3Bu);
  TMdbSQLParam* P = Ps.AddCreated();
  P->SetAsInteger(1);
  const std::uint32_t H1 = Ps.GetHashValue();
  P->SetName(u"renamed");
  EXPECT_EQ(Ps.GetHashValue(), H1);
  P->SetAsInteger(2);
  EXPECT_NE(Ps.GetHashValue(), H1);
  for (int i = 1; i < 256; ++i) Ps.AddCreated();
  EXPECT_NO_THROW(Ps.GetHashValue());
  Ps.AddCreated();
  EXPECT_THROW(Ps.GetHashValue(), ERangeError);
}

TEST_F(MdbSQLParamsTest, Variants) {
  TMdbSQLParams Ps;
  EXPECT_TRUE(VarIsNull(Ps.AsVariant()));
  Ps.SetAsVariant(VarArrayOf({Variant(1), Variant(u"two"), Variant(3.5)}));
  ASSERT_EQ(Ps.Count(), 3);
  EXPECT_EQ(Ps.GetValue(1)->AsWideString(), u"two");
  EXPECT_EQ(VarArrayLength(Ps.AsVariant()), 3);
  Ps.SetAsVariant(Null());
  EXPECT_EQ(Ps.Count(), 0);
  Ps.SetAsVariant(Variant(7));
  ASSERT_EQ(Ps.Count(), 1);
  EXPECT_EQ(Ps.AsVariant().VType(), varInteger);
  EXPECT_EQ(Ps.AsVariant().AsInteger(), 7);
}

TEST_F(MdbSQLParamsTest, StreamForm) {
  TMdbSQLParam P;
  P.SetName(u"Ab");
  P.SetAsInteger(5);
  TMemoryStream S;
  P.SaveToStream(&S);
  EXPECT_EQ(S.Size(), 4 + 4 + 6 + 4);
  EXPECT_EQ(std::memcmp(S.Memory(), "\x04\x00\x00\x00" "A\x00" "b\x00" "\x07\x00\x04\x00\x00\x00\x05\x00\x00\x00", 18), 0);
  S.SetPosition(0);
  TMdbSQLParam L;
  L.LoadFromStream(&S);
  EXPECT_EQ(L.Name(), u"Ab");
  EXPECT_EQ(L.NameCRC(), NameCRC32Wide(u"AB", false));
  EXPECT_EQ(L.AsInteger(), 5);
  // A cut at every byte raises the name's or the value's read code.
  for (Int64 Cut = 0; Cut < S.Size(); ++Cut) {
    TMemoryStream C;
    C.WriteBuffer(S.Memory(), Cut);
    C.SetPosition(0);
    TMdbSQLParam R;
    const int Code = NativeCodeOf([&] { R.LoadFromStream(&C); });
    EXPECT_TRUE(Code == 11191 || (Code >= 10183 && Code <= 10186)) << Cut << " " << Code;
  }
  TMdbSQLParam Copy;
  Copy.Assign(&L, true, true);
  EXPECT_EQ(Copy.Name(), u"Ab");
  TMdbVariant Plain;
  Plain.SetAsInteger(9);
  Copy.Assign(&Plain, true, true);
  EXPECT_EQ(Copy.Name(), u"Ab");
  EXPECT_EQ(Copy.AsInteger(), 9);
}

}  // namespace
