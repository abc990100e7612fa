#include "engines/mdb/storage/MdbMetaDefs.h"

#include <random>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/storage/tests/MdbStorageTestSupport.h"

using MdbMetaDefsTest = MdbStorageTest;

namespace {

TMdbIndexDef* AddIndex(TMdbIndexDefs& Defs, const char16_t* Name, std::int32_t Id,
                       std::initializer_list<TMdbIndexColumn> Columns) {
  TMdbIndexDef* D = Defs.AddCreated();
  D->SetName(Name);
  D->SetObjectID(Id);
  for (const auto& C : Columns) D->FIndexColumns.push_back(C);
  return D;
}

std::unique_ptr<TMdbWideStringList> List(std::initializer_list<const char16_t*> Items) {
  auto L = std::make_unique<TMdbWideStringList>();
  for (const auto* s : Items) L->Add(s, false);
  return L;
}

// Every cut of a saved list and random flips in it raise an engine error and leave the list it would
// replace as it was.
template <class TList>
void CorruptionLoop(const std::vector<Byte>& Good, std::int32_t Count, std::uint32_t Seed) {
  TList L;
  {
    TByteViewStream V(Good, static_cast<Int64>(Good.size()));
    L.LoadFromStream(&V);
    ASSERT_EQ(L.Count(), Count);
  }
  for (std::size_t Cut = 0; Cut < Good.size(); ++Cut) {
    TByteViewStream V(Good, static_cast<Int64>(Cut));
    ASSERT_NE(NativeCodeOf([&] { L.LoadFromStream(&V); }), -1) << Cut;
    ASSERT_EQ(L.Count(), Count) << Cut;
  }
  std::mt19937 Rng(Seed);
  for (int i = 0; i < 400; ++i) {
    auto Bad = Good;
    Bad[Rng() % Bad.size()] ^= static_cast<Byte>(1 + Rng() % 255);
    TByteViewStream V(Bad, static_cast<Int64>(Bad.size()));
    TList F;
    try {
      F.LoadFromStream(&V);
    } catch (const EMdbException&) {
      ASSERT_EQ(F.Count(), 0);
    }
  }
}

template <class TList>
std::vector<Byte> Saved(const TList& L) {
  TMdbMemoryStream S;
  L.SaveToStream(&S);
  return StreamBytes(S);
}

}  // namespace

TEST_F(MdbMetaDefsTest, FindIndexRulesAndListErrors) {
  TMdbIndexDefs Defs;
  AddIndex(Defs, u"Short", 1, {{u"a", 0, 1, 0}});                      // fewer columns than asked below
  AddIndex(Defs, u"AscAB", 2, {{u"a", 0, 0, 0}, {u"B", 0, 0, 0}});
  AddIndex(Defs, u"DescAB", 3, {{u"A", 0, 1, 1}, {u"b", 0, 0, 0}});
  auto Names = List({u"a", u"b"});
  const struct {
    std::initializer_list<const char16_t*> Order, Case;
    std::int32_t Expected;
  } Cases[] = {
      {{u"", u""}, {u"", u""}, 2},
      {{u"DESC", u"X"}, {u"X", u"X"}, 3},
      {{u"DESC", u""}, {u"CASE", u""}, -1},
      {{u"ASC", u"ASC"}, {u"NO_CASE", u""}, -1},
      {{u"X", u"DESC"}, {u"", u""}, -1},
  };
  for (const auto& C : Cases) {
    auto O = List(C.Order), K = List(C.Case);
    EXPECT_EQ(Defs.FindIndex(Names.get(), O.get(), K.get()), C.Expected);
  }
  // One name: the first index whose first column is "a" descending, whatever its case setting.
  auto One = List({u"A"}), Desc = List({u"DESC"}), X = List({u"X"});
  EXPECT_EQ(Defs.FindIndex(One.get(), Desc.get(), X.get()), 1);

  auto Short = List({u"a"});
  EXPECT_EQ(NativeCodeOf([&] { Defs.FindIndex(nullptr, Names.get(), Names.get()); }), 10389);
  EXPECT_EQ(NativeCodeOf([&] { Defs.FindIndex(Names.get(), nullptr, Names.get()); }), 10390);
  EXPECT_EQ(NativeCodeOf([&] { Defs.FindIndex(Names.get(), Names.get(), nullptr); }), 10391);
  try {
    Defs.FindIndex(Names.get(), Short.get(), Names.get());
    FAIL();
  } catch (const EMdbException& E) {
    EXPECT_EQ(E.NativeError, 10276);
    EXPECT_NE(E.Message().find(u"Error - different lists length. L1 = 2, L2 = 1"), String::npos);
  }
  EXPECT_EQ(NativeCodeOf([&] { Defs.FindIndex(Names.get(), Names.get(), Short.get()); }), 10277);

  EXPECT_EQ(Defs.FindPrimaryIndex(), nullptr);
  Defs.GetIndexDef(2)->FPrimary = 1;
  EXPECT_EQ(Defs.FindPrimaryIndex(), Defs.GetIndexDef(2));
  EXPECT_EQ(Defs.GetIndexDefByName(u"ascab"), Defs.GetIndexDef(1));

  // Assign refuses a second definition of one name and keeps what it copied before it.
  TMdbIndexDefs Dup, Into;
  AddIndex(Dup, u"X", 1, {});
  AddIndex(Dup, u"Y", 2, {});
  AddIndex(Dup, u"x", 3, {});
  EXPECT_EQ(NativeCodeOf([&] { Into.Assign(Dup); }), 10424);
  EXPECT_EQ(Into.Count(), 2);
}

TEST_F(MdbMetaDefsTest, IndexListSkipsTemporaryIndexesAndRoundTrips) {
  TMdbIndexDefs Defs;
  auto* A = AddIndex(Defs, u"ByName", 7, {{u"Name", 0, 1, 1}, {u"ID", 0, 0, 0}});
  A->FUnique = 1;
  A->FRootPageNo = 4;
  AddIndex(Defs, u"Scratch", 8, {{u"ID", 0, 0, 0}})->FTemporary = 1;
  AddIndex(Defs, u"PK", 9, {{u"ID", 0, 0, 0}})->FPrimary = 0xFF;
  const auto Good = Saved(Defs);
  EXPECT_EQ(Good[0], 2);  // the temporary index is neither counted nor written

  TMdbIndexDefs L;
  TByteViewStream V(Good, static_cast<Int64>(Good.size()));
  L.LoadFromStream(&V);
  ASSERT_EQ(L.Count(), 2);
  const TMdbIndexDef &B = *L.GetIndexDef(0), &P = *L.GetIndexDef(1);
  EXPECT_EQ(B.Name(), u"ByName");
  EXPECT_EQ(B.ObjectID(), 7);
  EXPECT_EQ(B.FUnique, 1);
  EXPECT_EQ(B.FRootPageNo, 4);
  EXPECT_EQ(B.FTemporary, 0);
  ASSERT_EQ(B.ColumnCount(), 2);
  EXPECT_EQ(B.GetIndexColumn(0).FieldName, u"Name");
  EXPECT_EQ(B.GetIndexColumn(0).NameCRC, UpperNameCRC(u"NAME"));
  EXPECT_EQ(B.GetIndexColumn(0).Descending, 1);
  EXPECT_EQ(B.GetIndexColumn(0).CaseInsensitive, 1);
  EXPECT_EQ(P.FPrimary, 0xFF);  // raw one-byte Booleans keep their byte
  EXPECT_THROW(B.GetIndexColumn(2), std::out_of_range);
  CorruptionLoop<TMdbIndexDefs>(Good, 2, 116);
}

TEST_F(MdbMetaDefsTest, ConstraintListRoundTripFlagsAndErrors) {
  TMdbConstraintDefs Defs;
  auto* N = Defs.AddNotNull();
  N->SetName(u"NN");
  N->ColumnName = u"ID";
  N->ColumnObjectID = 3;
  auto* C = Defs.AddCheck();
  C->SetName(u"CK");
  C->ColumnName = u"Qty";
  C->MinValue->SetAsInteger(1);
  auto* P = Defs.AddPK();
  P->SetName(u"PK");
  P->IndexName = u"PKI";
  P->IndexObjectID = 9;
  P->Columns = {{u"ID", 3}, {u"Qty", 4}};
  Defs.AddUnique()->SetName(u"U");
  auto* F = Defs.AddFK();
  F->SetName(u"FK");
  F->ReferencedTableName = u"Parent";
  F->DeleteAction = cfkaCascade;
  F->UpdateAction = cfkaNoAction;
  F->MatchType = cfkmtPartial;
  F->Columns = {{u"PID", 5}};
  auto* A = Defs.AddFKAction();
  A->SetName(u"FK_Action");
  A->DeleteAction = cfkaNoAction;
  A->UpdateAction = cfkaSetNull;
  EXPECT_TRUE(Defs.ForeignKeysExists && Defs.ForeignKeysActionsExists);
  EXPECT_TRUE(Defs.ForeignKeysActionsUpdateExists());
  EXPECT_FALSE(Defs.ForeignKeysActionsDeleteExists());

  const auto Good = Saved(Defs);
  TMdbConstraintDefs L;
  TByteViewStream V(Good, static_cast<Int64>(Good.size()));
  L.LoadFromStream(&V);
  ASSERT_EQ(L.Count(), 6);
  EXPECT_EQ(Saved(L), Good);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(L.GetDef(i)->ConstraintType(), Defs.GetDef(i)->ConstraintType());
  EXPECT_TRUE(L.ForeignKeysExists && L.ForeignKeysActionsExists);
  const auto& LP = static_cast<const TMdbConstraintDefPrimary&>(*L.GetDef(2));
  EXPECT_EQ(LP.Columns, P->Columns);
  EXPECT_EQ(LP.IndexObjectID, 9);
  const auto& LC = static_cast<const TMdbConstraintDefCheck&>(*L.GetDef(1));
  EXPECT_EQ(LC.MinValue->AsInteger(), 1);
  EXPECT_TRUE(LC.MaxValue->IsNull());
  const auto& LF = static_cast<const TMdbConstraintDefForeignKey&>(*L.GetDef(4));
  EXPECT_EQ(LF.MatchType, cfkmtPartial);
  EXPECT_EQ(LF.ReferencedTableName, u"Parent");

  // Assign copies through the adders; Delete and ExtractForeignKeys recompute the flags.
  TMdbConstraintDefs Copy;
  Copy.Assign(Defs);
  EXPECT_EQ(Saved(Copy), Good);
  Copy.Delete(5);
  EXPECT_FALSE(Copy.ForeignKeysActionsExists);
  TMdbConstraintDefs Moved;
  Defs.ExtractForeignKeys(&Moved);
  EXPECT_EQ(Defs.Count(), 4);
  EXPECT_FALSE(Defs.ForeignKeysExists || Defs.ForeignKeysActionsExists);
  ASSERT_EQ(Moved.Count(), 1);
  EXPECT_EQ(Moved.GetDef(0)->Name(), u"FK");

  // An unknown type byte: 30316 with the byte.
  auto Bad = Good;
  Bad[4] = 6;
  TByteViewStream BV(Bad, static_cast<Int64>(Bad.size()));
  EXPECT_EQ(NativeCodeOf([&] { L.LoadFromStream(&BV); }), 30316);
  CorruptionLoop<TMdbConstraintDefs>(Good, 6, 120);
}

TEST_F(MdbMetaDefsTest, ViewsRoundTripAndChildren) {
  TMdbObjectNameArray Children, Columns;
  Children.Add(u"Orders");
  Children.Add(u"Items");
  Columns.Add(u"Total");
  TMdbViewDefs Defs;
  Defs.Add(std::make_unique<TMdbViewDef>(u"V1", u"SELECT 1", &Children, &Columns, true, u"first"));
  Defs.Add(std::make_unique<TMdbViewDef>(u"V2", u"SELECT 2", nullptr, nullptr, false, u""));
  EXPECT_GT(Defs.GetDef(0)->CreationDate, 0);
  EXPECT_TRUE(Defs.FindChildren(u"ORDERS"));
  EXPECT_FALSE(Defs.FindChildren(u"V1"));

  const auto Good = Saved(Defs);
  TMdbViewDefs L;
  TByteViewStream V(Good, static_cast<Int64>(Good.size()));
  L.LoadFromStream(&V);
  ASSERT_EQ(L.Count(), 2);
  const TMdbViewDef& A = *L.GetDef(0);
  EXPECT_EQ(A.SelectStatement, u"SELECT 1");
  EXPECT_EQ(A.Comment, u"first");
  EXPECT_TRUE(A.WithCheckOption);
  EXPECT_EQ(A.ChildrenNames->GetString(1), u"Items");
  EXPECT_TRUE(A.FindChild(UpperNameCRC(u"items")));
  EXPECT_EQ(A.ColumnNames->Count(), 1);
  EXPECT_EQ(A.CreationDate, 0);  // not stored
  EXPECT_EQ(L.GetDef(1)->ChildrenNames->Count(), 0);

  L.DeleteChildren(u"orders");
  ASSERT_EQ(L.Count(), 1);
  EXPECT_EQ(L.GetDef(0)->Name(), u"V2");
  CorruptionLoop<TMdbViewDefs>(Good, 2, 161);
}

TEST_F(MdbMetaDefsTest, ConstraintFromIndexDef) {
  TMdbConstraintDefs Defs;
  TMdbIndexDef Plain, Unique, Primary;
  for (auto* D : {&Plain, &Unique, &Primary}) {
    D->SetName(u"I");
    D->SetObjectID(12);
    D->FIndexColumns = {{u"A", 0, 0, 0}, {u"B", 0, 1, 0}};
  }
  Unique.FUnique = 1;
  Primary.FPrimary = 1;
  Primary.FUnique = 1;
  EXPECT_EQ(ConstraintFromIndexDef(&Plain, &Defs), nullptr);
  auto* U = ConstraintFromIndexDef(&Unique, &Defs);
  auto* P = ConstraintFromIndexDef(&Primary, &Defs);
  ASSERT_EQ(Defs.Count(), 2);
  EXPECT_EQ(U->ConstraintType(), ctUnique);
  EXPECT_EQ(P->ConstraintType(), ctPK);
  EXPECT_EQ(P->Name(), u"I");
  EXPECT_EQ(P->IndexName, u"I");
  EXPECT_EQ(P->IndexObjectID, 12);
  EXPECT_EQ(P->ObjectID(), -1);
  EXPECT_EQ(P->Columns, (std::vector<TMdbConstraintColumn>{{u"A", 0}, {u"B", 0}}));
}
