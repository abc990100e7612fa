#include <atomic>
#include <chrono>
#include <thread>

#include "engines/vlx/tests/vlxTestSupport.h"

using namespace vlxtest;

namespace {

class VlxCommon : public VlxTest {};

struct LayoutCase {
  TFieldType type;
  int size;
  TvlxPerformance performance;
  bool varLength;
  int fixedBytes;  // null byte + value bytes in the fixed area (0 for var-length)
};

// Where a single field lands: var-length or fixed, and how many bytes it takes.
TEST_F(VlxCommon, LayoutOfOneField) {
  const LayoutCase cases[] = {
      {ftInteger, 0, mtpfFast, false, 5},        {ftString, 12, mtpfBalanced, false, 14},
      {ftString, 13, mtpfBalanced, true, 0},      {ftString, 13, mtpfSmall, true, 0},
      {ftString, 13, mtpfFast, false, 15},        {ftFixedWideChar, 40, mtpfSmall, false, 85},
      {ftWideMemo, 0, mtpfFast, true, 0},         {ftWideString, 20, mtpfFast, false, 45},
      {ftWideString, 20, mtpfBalanced, true, 0},  {ftBoolean, 0, mtpfFast, false, 3},
      {ftFloat, 0, mtpfFast, false, 9},           {ftLargeint, 0, mtpfFast, false, 9},
      {ftExtended, 0, mtpfFast, false, 11},       {ftBCD, 4, mtpfFast, false, 35},
      {ftTimeStamp, 0, mtpfFast, false, 17},      {ftGuid, 38, mtpfFast, false, 40},
      {ftBytes, 8, mtpfFast, false, 9},           {ftVarBytes, 8, mtpfFast, false, 11},
      {ftShortint, 0, mtpfFast, false, 5},        {ftBlob, 0, mtpfFast, true, 0},
  };
  for (const LayoutCase& c : cases) {
    TvlxMemTable t(nullptr);
    t.SetPerformance(c.performance);
    t.FieldDefs().Add(u"F", c.type, c.size, false);
    t.CreateTable();
    t.Open();
    const TvlxCommon& s = *t.Common();
    EXPECT_EQ(s.IsVarLength(0), c.varLength) << c.type << " " << c.size;
    const int fixed = s.StartCalculated();
    EXPECT_EQ(fixed, c.fixedBytes) << c.type << " " << c.size;
    EXPECT_EQ(s.DataRecordSize(), fixed + kvlxBookmarkEntrySize + (c.varLength ? kvlxVarSlotSize : 0)) << c.type;
    EXPECT_EQ(s.IsCompressed(0), c.varLength && c.performance == mtpfSmall && !TvlxCommon::IsAlwaysVarLength(c.type) ?
                                     true : c.varLength && c.performance == mtpfSmall)
        << c.type;
  }
}

TEST_F(VlxCommon, BenchmarkLayout) {
  auto t = MakeBenchmarkTable();
  const TvlxCommon& s = *t->Common();
  EXPECT_EQ(s.StartCalculated(), 83);
  EXPECT_EQ(s.StartBookmarks(), 83);
  EXPECT_EQ(s.StartVarLength(), 95);
  EXPECT_EQ(s.DataRecordSize(), 83 + 12 + 5);
  EXPECT_EQ(s.FieldOffset(6), 95);
  EXPECT_EQ(s.TotalRecordSize(), 100 + kvlxRecordHeaderSize);
}

TEST_F(VlxCommon, UnsupportedTypesAndEmptyDefinitionsAreRefused) {
  TvlxMemTable t(nullptr);
  t.FieldDefs().Add(u"V", ftVariant, 0, false);
  try {
    t.CreateTable();
    FAIL();
  } catch (const EMemTableError& e) {
    EXPECT_EQ(e.Message(), u"Fielddef V (V) Datatype 32 not supported.");
  }
  TvlxMemTable empty(nullptr);
  EXPECT_THROW(empty.CreateTable(), EMemTableError);
}

TEST_F(VlxCommon, SlotsAreReusedWithNewUniqueIds) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 3);
  TvlxCommon& s = *t->Common();
  t->SetRecNo(2);
  t->Delete();
  EXPECT_EQ(s.DeletedRecordCount(), 1);
  AppendRows(*t, 4, 4);
  t->Last();
  const PvlxRecord last = t->CurIndex()->References()[2];
  EXPECT_EQ(last->RecordID, 1);
  EXPECT_EQ(last->UniqueRecordID, 3);
  EXPECT_EQ(s.DeletedRecordCount(), 0);
  EXPECT_EQ(s.RecordCount(), 3);
  // Emptying restarts both counters and draws a new generation.
  const std::int32_t before = s.DataID();
  t->EmptyTable();
  EXPECT_EQ(s.RecordCount(), 0);
  EXPECT_NE(s.DataID(), before);
  AppendRows(*t, 9, 9);
  EXPECT_EQ(t->CurIndex()->References()[0]->RecordID, 0);
  EXPECT_EQ(t->CurIndex()->References()[0]->UniqueRecordID, 0);
}

// The unique-number limit holds on the fresh-slot path and on the reuse path alike.
TEST_F(VlxCommon, UniqueIdLimitOnBothPaths) {
  for (const bool reuse : {false, true}) {
    auto t = MakeBenchmarkTable();
    AppendRows(*t, 1, 2);
    if (reuse) {
      t->First();
      t->Delete();
    }
    t->Common()->SetNextUniqueRecordIDForTest(0x7FFFFFFE);
    t->Append();
    FillRow(*t, 3);
    try {
      t->Post();
      FAIL() << reuse;
    } catch (const EMemTableFatalError& e) {
      EXPECT_EQ(e.Message(), u"Bookmark counter is out of range. Please close and reopen table.");
    }
    // The record that took the last number is stored and shown.
    t->Cancel();
    EXPECT_EQ(t->RecordCount(), reuse ? 2 : 3) << reuse;
    t->Append();
    FillRow(*t, 4);
    EXPECT_THROW(t->Post(), EMemTableFatalError);
    t->Cancel();
    EXPECT_EQ(t->RecordCount(), reuse ? 2 : 3) << reuse;
  }
}

TEST_F(VlxCommon, SettingsAndLocale) {
  TvlxMemTable t(nullptr);
  TvlxCommon& s = *t.Common();
  EXPECT_EQ(s.LocaleID(), 1024);
  s.SetLocaleID(1024);
  EXPECT_EQ(s.SortID(), 0);
  EXPECT_EQ(s.LanguageID(), 0);
  EXPECT_EQ(s.SubLanguageID(), 1);
  s.SetLanguageID(4);
  EXPECT_EQ(s.LocaleID(), (1 << 10) | 4);
  s.SetAutoIncMax(5);
  s.SetAutoIncMin(10);
  EXPECT_EQ(s.AutoIncMax(), 9);
  EXPECT_THROW(s.SetAttachMaxCount(0), ERangeError);
  // The owner holds slot 0: the count may grow, but not shrink below it.
  s.SetAttachMaxCount(3);
  EXPECT_EQ(s.AttachMaxCount(), 3);
  s.SetAttachMaxCount(1);
  EXPECT_EQ(s.AttachMaxCount(), 1);
}

TEST_F(VlxCommon, AttachMaxCountBelowAnOccupiedSlotIsRefused) {
  TvlxMemTable t(nullptr);
  TvlxCommon& s = *t.Common();
  s.SetAttachMaxCount(3);
  TvlxMemTable other(nullptr);
  // A second table taking slot 1 of this store (as an attached table would).
  ASSERT_EQ(s.AttachTable(&other), 1);
  EXPECT_THROW(s.SetAttachMaxCount(1), EMemTableError);
  EXPECT_EQ(s.AttachMaxCount(), 3);
  s.DeAttachTable(&other);
  s.SetAttachMaxCount(1);
  EXPECT_EQ(s.AttachMaxCount(), 1);
}

TEST_F(VlxCommon, RollbackFreesRecordsInsertedInTheTransaction) {
  auto t = MakeBenchmarkTable();
  t->SetEnableVersioning(true);
  TvlxCommon& s = *t->Common();
  s.IncTransactionLevel();
  AppendRows(*t, 1, 2);
  EXPECT_EQ(s.RecordCount(), 2);
  s.Rollback();
  EXPECT_EQ(s.DeletedRecordCount(), 2);
  EXPECT_FALSE(s.IsDataModified());
  s.DecTransactionLevel();
  s.DecTransactionLevel();
  EXPECT_EQ(s.TransactionLevel(), 0);
  t->Indexes().ReBuildAll();
  t->Refresh();
  EXPECT_EQ(t->RecordCount(), 0);
}

// Turning standalone on or off while a caller holds the store leaves nothing held once every Lock is
// undone, in either order of the switch.
TEST_F(VlxCommon, StandaloneSwitchWhileLockedReleasesTheLock) {
  TvlxMemTable t(nullptr);
  TvlxCommon& s = *t.Common();
  s.Lock();
  s.Lock();
  EXPECT_TRUE(s.LockHeldForTest());
  s.SetStandalone(true);
  s.Lock();
  s.Unlock();
  s.Unlock();
  EXPECT_TRUE(s.LockHeldForTest());
  s.Unlock();
  EXPECT_FALSE(s.LockHeldForTest());

  s.Lock();  // standalone: takes nothing
  EXPECT_FALSE(s.LockHeldForTest());
  s.SetStandalone(false);
  s.Lock();
  EXPECT_TRUE(s.LockHeldForTest());
  s.Unlock();
  s.Unlock();
  EXPECT_FALSE(s.LockHeldForTest());
  // Another thread gets the store.
  std::thread other([&] {
    s.Lock();
    s.Unlock();
  });
  other.join();
  EXPECT_FALSE(s.LockHeldForTest());
}

}  // namespace

// The store's lock keeps other threads out however its first user takes it: a thread asking while the
// first one holds it waits for it, and from then on both take turns (re-entering too) without losing
// an update.
TEST_F(VlxCommon, StoreLockKeepsAnotherThreadOut) {
  TvlxStoreLock lock;
  lock.Enter();
  lock.Enter();
  std::atomic<bool> entered{false};
  std::thread other([&] {
    lock.Enter();
    entered = true;
    lock.Leave();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered);
  lock.Leave();
  EXPECT_FALSE(entered);
  lock.Leave();
  other.join();
  EXPECT_TRUE(entered);
  int counter = 0;
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      lock.Enter();
      lock.Enter();
      ++counter;
      lock.Leave();
      lock.Leave();
    }
  };
  std::thread second(work);
  work();
  second.join();
  EXPECT_EQ(counter, 40000);
}
