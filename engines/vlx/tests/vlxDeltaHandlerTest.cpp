#include <map>

#include "engines/vlx/tests/vlxTestSupport.h"
#include "engines/vlx/vlxDeltaHandler.h"

using namespace vlxtest;

namespace {

// Records every hook call as (CustomerID of the current version, resolved state).
class TRecordingHandler : public TvlxCustomDeltaHandler {
 public:
  std::vector<std::pair<int, TUpdateStatus>> Calls;
  int Ends = 0;

 protected:
  void Note(TUpdateStatus State) {
    const TvlxCommon& c = *DataSet()->Common();
    const Byte* slot = CurrentRecord()->Data + c.FieldOffset(0);
    Calls.push_back({LoadI32(slot + 1), State});
  }
  void ResolveInserted(bool&, TUpdateStatus& State) override { Note(State); }
  void ResolveDeleted(bool&, TUpdateStatus& State) override { Note(State); }
  void ResolveModified(bool&, TUpdateStatus& State) override { Note(State); }
  void ResolveUnmodified(bool&, TUpdateStatus& State) override { Note(State); }
  void EndRecordResolve() override { ++Ends; }
};

class VlxDeltaHandler : public VlxTest {};

TEST_F(VlxDeltaHandler, ResolvesEachStoredRecordByItsHistory) {
  auto t = MakeBenchmarkTable();
  AppendRows(*t, 1, 2);  // before versioning: unmodified
  t->SetEnableVersioning(true);
  AppendRows(*t, 3, 4);  // inserted
  t->SetRecNo(1);
  t->Edit();
  t->FieldByName(u"Salary")->SetAsFloat(1);
  t->Post();  // 1: modified
  t->SetRecNo(3);
  t->Edit();
  t->FieldByName(u"Salary")->SetAsFloat(2);
  t->Post();  // 3: inserted, then modified
  t->SetRecNo(4);
  t->Delete();  // 4: inserted, then deleted
  TRecordingHandler h;
  t->SetDeltaHandler(&h);
  h.Resolve();
  std::map<int, TUpdateStatus> got(h.Calls.begin(), h.Calls.end());
  EXPECT_EQ(h.Calls.size(), 4u);
  EXPECT_EQ(h.Ends, 4);
  EXPECT_EQ(got[1], usModified);
  EXPECT_EQ(got[2], usUnmodified);
  EXPECT_EQ(got[3], usInserted);
  EXPECT_EQ(got[4], usUnmodified);
  t->SetDeltaHandler(nullptr);
  TRecordingHandler alone;
  try {
    alone.Resolve();
    FAIL();
  } catch (const EMemTableError& e) {
    EXPECT_EQ(e.Message(), u"Delta handler is not assigned to any memorytables.");
  }
}

}  // namespace
