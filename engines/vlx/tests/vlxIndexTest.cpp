#include <algorithm>
#include <random>

#include "engines/vlx/tests/vlxTestSupport.h"

using namespace vlxtest;

namespace {

class VlxIndex : public VlxTest {};

TEST_F(VlxIndex, RefListInsertsAndDeletesAnywhere) {
  TvlxRefList l;
  std::vector<PvlxRecord> model;
  std::mt19937 rng(5);
  for (int i = 0; i < 3000; ++i) {
    auto* r = reinterpret_cast<PvlxRecord>(static_cast<std::uintptr_t>(8 * (i + 1)));
    if (model.empty() || rng() % 3 != 0) {
      const int at = static_cast<int>(rng() % (model.size() + 1));
      l.Insert(at, r);
      model.insert(model.begin() + at, r);
    } else {
      const int at = static_cast<int>(rng() % model.size());
      l.Delete(at);
      model.erase(model.begin() + at);
    }
  }
  ASSERT_EQ(l.Count(), static_cast<int>(model.size()));
  for (int i = 0; i < l.Count(); ++i) ASSERT_EQ(l[i], model[static_cast<std::size_t>(i)]);
  PvlxRecord* flat = l.Contiguous();
  EXPECT_TRUE(std::equal(model.begin(), model.end(), flat));
}

// Sorting against std::stable_sort over the same keys (ties by insertion, as the tie-break orders
// unpositioned records by RecordID), with duplicates and nulls, for small and larger row counts.
TEST_F(VlxIndex, SortMatchesAReferenceSort) {
  std::mt19937 rng(11);
  for (const int rows : {0, 1, 2, 3, 4, 5, 6, 7, 8, 2000}) {
    for (const char16_t* order : {u"CustomerID", u"CustomerID:D"}) {
      for (const bool nullFirst : {false, true}) {
        auto t = MakeBenchmarkTable();
        std::vector<std::pair<int, int>> keys;  // (key or INT_MIN for null, insertion number)
        for (int i = 0; i < rows; ++i) {
          t->Append();
          const bool isNull = rng() % 7 == 0;
          const int key = static_cast<int>(rng() % 10);
          if (!isNull) t->FieldByName(u"CustomerID")->SetAsInteger(key);
          t->FieldByName(u"Salary")->SetAsFloat(i);
          t->Post();
          keys.push_back({isNull ? INT32_MIN : key, i});
        }
        auto ix = std::make_unique<TvlxIndex>(nullptr, u"ix", t.get(), order,
                                              nullFirst ? TvlxMemTableCompareOptions{mtcoNullFirst} : 0u, mtitSorted);
        ix->Rebuild();
        const bool desc = order[10] == u':';
        std::stable_sort(keys.begin(), keys.end(), [&](const auto& a, const auto& b) {
          const bool an = a.first == INT32_MIN, bn = b.first == INT32_MIN;
          if (an != bn) return (an == nullFirst) != desc;
          if (an) return false;
          return desc ? a.first > b.first : a.first < b.first;
        });
        ASSERT_EQ(ix->Count(), rows);
        for (int i = 0; i < rows; ++i) {
          const PvlxRecord r = ix->References()[i];
          const Byte* slot = r->Data + t->Common()->FieldOffset(0);
          const int key = slot[0] ? LoadI32(slot + 1) : INT32_MIN;
          ASSERT_EQ(key, keys[static_cast<std::size_t>(i)].first) << rows << " " << i;
        }
        // A unique index refuses the duplicates exactly when there are any.
        std::vector<int> present;
        for (const auto& k : keys)
          if (k.first != INT32_MIN) present.push_back(k.first);
        std::sort(present.begin(), present.end());
        const bool dups = std::adjacent_find(present.begin(), present.end()) != present.end();
        auto unique = std::make_unique<TvlxIndex>(nullptr, u"u", t.get(), u"CustomerID", mtcoUnique, mtitSorted);
        if (dups) EXPECT_THROW(unique->Rebuild(), EMemTableDupKey) << rows;
        else EXPECT_NO_THROW(unique->Rebuild()) << rows;
      }
    }
  }
}

TEST_F(VlxIndex, SearchFirstAndLastInARunOfEqualKeys) {
  auto t = MakeBenchmarkTable();
  for (const int k : {1, 2, 2, 2, 3}) {
    t->Append();
    t->FieldByName(u"CustomerID")->SetAsInteger(k);
    t->Post();
  }
  TvlxIndex ix(nullptr, u"ix", t.get(), u"CustomerID", 0, mtitSorted);
  ix.Rebuild();
  PvlxRecord key = t->Common()->_InternalAllocRecord();
  t->PopulateField(key, t->FieldByName(u"CustomerID"), Variant(2));
  int at = -1;
  bool found = false;
  ix.Search(nullptr, key, mtstLast, true, false, at, found);
  EXPECT_TRUE(found);
  EXPECT_EQ(at, 3);
  ix.Search(nullptr, key, mtstFirst, true, false, at, found);
  EXPECT_TRUE(found);
  EXPECT_EQ(at, 1);
  t->PopulateField(key, t->FieldByName(u"CustomerID"), Variant(9));
  ix.Search(nullptr, key, mtstFirst, true, false, at, found);
  EXPECT_FALSE(found);
  t->Common()->_InternalFreeRecord(key, true, false);
}

// A hit in another index that the current index does not hold is not a hit.
TEST_F(VlxIndex, CollectionSearchHitOutsideTheCurrentIndexIsNotFound) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 6);
  t->SetIndexFieldNames(u"CustomerID");
  TvlxIndex* cur = t->CurIndex();
  // The current index now holds only the rows with an even CustomerID.
  cur->OnFilterIndex = [](TDataSet& D, TvlxIndex*, bool& Accept) {
    Accept = D.FieldByName(u"CustomerID")->AsInteger() % 2 == 0;
  };
  cur->Rebuild();
  t->First();
  ASSERT_EQ(t->RecordCount(), 3);
  auto* other = t->Indexes().AddIndex(std::make_unique<TvlxIndex>(t->Indexes().RowOrderIndex(), u"all", t.get(),
                                                                   u"CustomerID", 0, mtitSorted));
  other->Rebuild();
  EXPECT_FALSE(t->Locate(u"CustomerID", Variant(3), 0));
  EXPECT_TRUE(t->Locate(u"CustomerID", Variant(4), 0));
  EXPECT_EQ(t->RecNo(), 2);
  cur->OnFilterIndex = nullptr;
}

// Random inserts, edits and deletes keep every index equal to a rebuild from scratch.
TEST_F(VlxIndex, MaintainedIndexesEqualAFreshRebuild) {
  auto t = std::make_unique<TvlxMemTable>(nullptr);
  AddBenchmarkSchema(t->FieldDefs());
  t->IndexDefs().Add(u"ById", u"CustomerID", 0);
  t->IndexDefs().Add(u"ByName", u"ContactName;Salary", ixDescending);
  t->CreateTable();
  t->Open();
  std::mt19937 rng(17);
  for (int step = 0; step < 300; ++step) {
    const int op = static_cast<int>(rng() % 3);
    if (op == 0 || t->RecordCount() == 0) {
      t->Append();
      FillRow(*t, static_cast<int>(rng() % 50));
      t->Post();
    } else if (op == 1) {
      t->SetRecNo(1 + static_cast<int>(rng() % static_cast<unsigned>(t->RecordCount())));
      t->Edit();
      t->FieldByName(u"CustomerID")->SetAsInteger(static_cast<int>(rng() % 50));
      t->FieldByName(u"ContactName")->SetAsString(u"N" + IntToStr(static_cast<int>(rng() % 9)));
      t->Post();
    } else {
      t->SetRecNo(1 + static_cast<int>(rng() % static_cast<unsigned>(t->RecordCount())));
      t->Delete();
    }
  }
  for (const char16_t* name : {u"ById", u"ByName"}) {
    TvlxIndex* ix = t->Indexes().Get(name);
    ASSERT_NE(ix, nullptr);
    std::vector<PvlxRecord> maintained;
    for (int i = 0; i < ix->Count(); ++i) maintained.push_back(ix->References()[i]);
    ix->Rebuild();
    ASSERT_EQ(ix->Count(), static_cast<int>(maintained.size()));
    for (int i = 0; i < ix->Count(); ++i) {
      // Equal keys may sit in either order; the keys themselves must agree.
      ASSERT_EQ(ix->CompareIndexKeys(ix->IndexFieldList(), maintained[static_cast<std::size_t>(i)],
                                     ix->References()[i], true, false, false, false),
                0)
          << StringToUTF8(name) << " row " << i;
    }
  }
}

}  // namespace
