// The timer component over a hand-driven timer host, and local master/detail with DetailDelay.
#include <gtest/gtest.h>

#include <map>

#include "VtTestSupport.h"
#include "engines/virttable/VtTimer.h"
#include "platform/classes/ExceptionRoute.h"
#include "platform/classes/TimerHost.h"

using namespace vttest;

namespace {

// Timers that tick only when the test says so.
class TManualTimerHost : public TTimerHost {
 public:
  TManualTimerHost() { FPrevious = SetTimerHost(this); }
  ~TManualTimerHost() override { SetTimerHost(FPrevious); }
  std::uintptr_t StartTimer(unsigned IntervalMs, std::function<void()> Tick) override {
    if (Refuse) return 0;
    ++Starts;
    Timers[++FNext] = {IntervalMs, std::move(Tick)};
    return FNext;
  }
  void StopTimer(std::uintptr_t Id) override { Timers.erase(Id); }
  // One tick of every running timer (a timer stopped by an earlier tick does not tick).
  void TickAll() {
    std::vector<std::uintptr_t> ids;
    for (const auto& [id, t] : Timers) ids.push_back(id);
    for (std::uintptr_t id : ids) {
      auto it = Timers.find(id);
      if (it != Timers.end()) {
        auto tick = it->second.second;
        tick();
      }
    }
  }
  std::map<std::uintptr_t, std::pair<unsigned, std::function<void()>>> Timers;
  int Starts = 0;
  bool Refuse = false;

 private:
  TTimerHost* FPrevious = nullptr;
  std::uintptr_t FNext = 0;
};

TEST(VtTimer, RunsOnlyWithIntervalCallbackAndEnabled) {
  TManualTimerHost host;
  vt::TVtTimer a(nullptr), b(nullptr);
  EXPECT_TRUE(a.Enabled());
  EXPECT_EQ(a.Interval(), 1000u);
  EXPECT_FALSE(a.Running());  // no callback yet
  int ticksA = 0, ticksB = 0;
  a.SetInterval(0);
  a.SetOnTimer([&](TObject*) { ++ticksA; });
  EXPECT_FALSE(a.Running());  // interval 0
  host.TickAll();
  EXPECT_EQ(ticksA, 0);
  a.SetInterval(50);
  b.SetOnTimer([&](TObject*) { ++ticksB; });
  ASSERT_TRUE(a.Running());
  ASSERT_TRUE(b.Running());
  EXPECT_EQ(host.Timers.size(), 2u);  // independent timers
  host.TickAll();
  EXPECT_EQ(ticksA, 1);
  EXPECT_EQ(ticksB, 1);
  // A restart is a new timer: a full interval from now.
  const int starts = host.Starts;
  a.SetEnabled(false);
  EXPECT_FALSE(a.Running());
  a.SetEnabled(true);
  EXPECT_EQ(host.Starts, starts + 1);
  EXPECT_EQ(host.Timers.size(), 2u);
  b.SetOnTimer(nullptr);
  EXPECT_FALSE(b.Running());
  host.TickAll();
  EXPECT_EQ(ticksA, 2);
  EXPECT_EQ(ticksB, 1);
  // Refused by the host.
  host.Refuse = true;
  a.SetEnabled(false);
  try {
    a.SetEnabled(true);
    ADD_FAILURE();
  } catch (const vt::EOutOfResources& e) {
    EXPECT_EQ(e.Message(), u"Not enough timers available");
  }
  EXPECT_TRUE(a.Enabled());
  EXPECT_FALSE(a.Running());
}

TEST(VtTimer, TickExceptionsGoToTheApplicationsRoute) {
  TManualTimerHost host;
  std::vector<String> seen;
  TExceptionHandler previous = SetDefaultExceptionHandler([&](TObject*, const std::exception& E) {
    if (auto* e = dynamic_cast<const Exception*>(&E)) seen.push_back(e->Message());
  });
  vt::TVtTimer t(nullptr);
  t.SetOnTimer([](TObject*) { throw Exception(u"tick failed"); });
  host.TickAll();
  host.TickAll();
  SetDefaultExceptionHandler(previous);
  EXPECT_EQ(seen, (std::vector<String>{u"tick failed", u"tick failed"}));
}

class VtMasterDetail : public CodePage936 {
 protected:
  void SetUp() override {
    CodePage936::SetUp();
    master = std::make_unique<TVirtTable>(nullptr);
    master->FieldDefs().Add(u"ID", ftInteger, 0, false);
    master->Open();
    detail = std::make_unique<TVirtTable>(nullptr);
    detail->FieldDefs().Add(u"ID", ftInteger, 0, false);
    detail->FieldDefs().Add(u"MasterID", ftInteger, 0, false);
    detail->Open();
    int id = 0;
    for (int m : {1, 2, 2, 3, 3, 3}) {
      detail->Append();
      detail->FieldByName(u"ID")->SetAsInteger(++id);
      if (m != 3 || id != 6) detail->FieldByName(u"MasterID")->SetAsInteger(m);
      detail->Post();
    }
    source = std::make_unique<TDataSource>(nullptr);
    source->SetDataSet(master.get());
  }
  void TearDown() override {
    detail.reset();
    source.reset();
    master.reset();
    CodePage936::TearDown();
  }
  void AddMaster(int Id) {
    master->Append();
    master->FieldByName(u"ID")->SetAsInteger(Id);
    master->Post();
  }
  std::vector<int> DetailIds() {
    std::vector<int> ids;
    for (detail->First(); !detail->Eof(); detail->Next()) ids.push_back(detail->FieldByName(u"ID")->AsInteger());
    EXPECT_EQ(detail->RecordCount(), static_cast<int>(ids.size()));
    return ids;
  }
  std::unique_ptr<TVirtTable> master, detail;
  std::unique_ptr<TDataSource> source;
};

TEST_F(VtMasterDetail, DetailRowsFollowTheMasterRow) {
  detail->SetMasterSource(source.get());
  detail->SetMasterFields(u"ID");
  EXPECT_EQ(DetailIds().size(), 6u);  // not linked until both field lists are set
  detail->SetDetailFields(u"MasterID");
  EXPECT_TRUE(DetailIds().empty());  // an empty master hides every detail row
  AddMaster(1);
  AddMaster(2);
  AddMaster(3);
  master->First();
  EXPECT_EQ(DetailIds(), (std::vector<int>{1}));
  master->Next();
  EXPECT_EQ(DetailIds(), (std::vector<int>{2, 3}));
  master->Last();
  EXPECT_EQ(DetailIds(), (std::vector<int>{4, 5}));
  master->Edit();  // a null master value matches null detail values only
  master->FieldByName(u"ID")->Clear();
  master->Post();
  EXPECT_EQ(DetailIds(), (std::vector<int>{6}));
  detail->SetDetailFields(u"");
  EXPECT_EQ(DetailIds().size(), 6u);
}

// A new detail row starts with its master row's link values; a failing OnNewRecord leaves no row.
TEST_F(VtMasterDetail, NewDetailRowsTakeTheMasterValues) {
  AddMaster(1);
  AddMaster(2);
  master->Last();
  detail->SetMasterSource(source.get());
  detail->SetMasterFields(u"ID");
  detail->SetDetailFields(u"MasterID");
  detail->Append();
  EXPECT_EQ(detail->FieldByName(u"MasterID")->AsInteger(), 2);
  detail->FieldByName(u"ID")->SetAsInteger(7);
  detail->Post();
  EXPECT_EQ(DetailIds(), (std::vector<int>{2, 3, 7}));
  detail->OnNewRecord = [](TDataSet&) { throw EDatabaseError(u"no new rows"); };
  EXPECT_THROW(detail->Insert(), EDatabaseError);
  EXPECT_EQ(detail->State(), dsBrowse);
  EXPECT_EQ(DetailIds(), (std::vector<int>{2, 3, 7}));
}

TEST_F(VtMasterDetail, CircularLinksAreRefused) {
  TDataSource own(nullptr);
  own.SetDataSet(detail.get());
  try {
    detail->SetMasterSource(&own);
    ADD_FAILURE();
  } catch (const EDatabaseError& e) {
    EXPECT_NE(e.Message().find(u"Circular datalinks are not allowed"), String::npos);
  }
  EXPECT_EQ(detail->MasterSource(), nullptr);
  detail->SetMasterSource(nullptr);
}

TEST_F(VtMasterDetail, DetailDelayRefreshesOnceAfterTheMasterStops) {
  TManualTimerHost host;
  AddMaster(1);
  AddMaster(2);
  AddMaster(3);
  master->First();
  detail->SetDetailDelay(200);
  detail->SetMasterSource(source.get());
  detail->SetMasterFields(u"ID");
  detail->SetDetailFields(u"MasterID");
  EXPECT_EQ(DetailIds(), (std::vector<int>{1}));
  const int starts = host.Starts;
  master->Next();
  master->Next();  // each move restarts the delay
  EXPECT_EQ(host.Starts, starts + 2);
  EXPECT_EQ(host.Timers.size(), 1u);
  EXPECT_EQ(detail->FieldByName(u"ID")->AsInteger(), 1);  // not refreshed yet
  host.TickAll();
  EXPECT_TRUE(host.Timers.empty());  // the refresh stops the timer: once
  EXPECT_EQ(DetailIds(), (std::vector<int>{4, 5}));
}

}  // namespace
