#include "KvTestSupport.h"
#include "platform/sys/Utf.h"

namespace {

class KvDriverTest : public KvTest {
 protected:
  void SetUp() override {
    KvTest::SetUp();
    provider = std::make_unique<TMemTableKv>(nullptr);
    provider->FieldDefs().Add(u"Id", ftInteger);
    provider->FieldDefs().Add(u"Name", ftString, 20);
    provider->CreateDataSet();
    for (int i = 1; i <= 4; ++i) {
      provider->Append();
      provider->FieldByName(u"Id")->SetAsInteger(i);
      provider->FieldByName(u"Name")->SetAsString(u"P" + IntToStr(i));
      provider->Post();
    }
    driver = std::make_unique<TDataDriverKv>(nullptr);
    driver->SetProviderDataSet(provider.get());
    driver->SetKeyFields(u"Id");
    t = std::make_unique<TMemTableKv>(nullptr);
    t->SetDataDriver(driver.get());
  }
  void TearDown() override {
    t.reset();
    driver.reset();
    provider.reset();
  }
  static std::string Rows(TDataSet& d) {
    std::string s;
    d.First();
    while (!d.Eof()) {
      if (!s.empty()) s += " ";
      s += std::to_string(d.FieldByName(u"Id")->AsInteger()) + ":" + sys::Utf16ToUtf8(d.FieldByName(u"Name")->AsString());
      d.Next();
    }
    return s;
  }
  void Rename(int id, const char16_t* name) {
    ASSERT_TRUE(t->Locate(u"Id", Variant(id), 0));
    t->Edit();
    t->FieldByName(u"Name")->SetAsString(name);
    t->Post();
  }
  std::unique_ptr<TMemTableKv> provider;
  std::unique_ptr<TDataDriverKv> driver;
  std::unique_ptr<TMemTableKv> t;
};

}  // namespace

TEST_F(KvDriverTest, ReadsTheProviderOnDemandAndAll) {
  t->Open();
  EXPECT_EQ(t->RecordCount(), 1);  // only what the first fetch needed
  EXPECT_EQ(Rows(*t), "1:P1 2:P2 3:P3 4:P4");
  EXPECT_TRUE(driver->ProviderEOF());
  t->Close();
  t->SetFetchAllOnOpen(true);
  t->Open();
  EXPECT_EQ(t->RecordCount(), 4);
  t->Close();
  t->SetFetchAllOnOpen(false);
  t->Open();
  EXPECT_TRUE(t->Locate(u"Id", Variant(3), 0));  // reads on until the key turns up
  EXPECT_EQ(t->RecordCount(), 3);
  EXPECT_EQ(driver->ReadData(t->MemTableData(), 0), 0);
  EXPECT_EQ(t->FetchRecords(-1), 1);
}

TEST_F(KvDriverTest, AppliesTheChangeLog) {
  t->SetFetchAllOnOpen(true);
  t->Open();
  t->SetCachedUpdates(true);
  Rename(2, u"Two");
  Rename(3, u"Three");
  ASSERT_TRUE(t->Locate(u"Id", Variant(3), 0));
  t->Edit();
  t->FieldByName(u"Id")->SetAsInteger(33);
  t->Post();
  t->Delete();  // modified, then deleted: the provider loses its row by the old key
  t->Append();
  t->FieldByName(u"Id")->SetAsInteger(9);
  t->FieldByName(u"Name")->SetAsString(u"New");
  t->Post();
  EXPECT_EQ(Rows(*provider), "1:P1 2:P2 3:P3 4:P4");
  EXPECT_EQ(t->ApplyUpdates(), 3);
  EXPECT_EQ(Rows(*provider), "1:P1 2:Two 4:P4 9:New");
  EXPECT_FALSE(t->MemTableData()->RecordsList()->HasCachedChanges());
}

TEST_F(KvDriverTest, UpdateErrorPolicies) {
  struct Case {
    TUpdateErrorActionKv action;
    bool raises;
    int applied;
    const char* provider;
    int pending;
  } cases[] = {
      {ueaBreakRaiseKv, true, 1, "1:A 2:P2 3:P3 4:P4", 2},
      {ueaBreakAbortKv, false, 1, "1:A 2:P2 3:P3 4:P4", 2},
      {ueaCountinueKv, false, 2, "1:A 2:P2 3:C 4:P4", 0},
      {ueaCountinueSkip, false, 2, "1:A 2:P2 3:C 4:P4", 1},
      {ueaRetryKv, false, 3, "1:A 2:B 3:C 4:P4", 0},  // the third try succeeds
  };
  for (const Case& c : cases) {
    SetUp();
    t->SetFetchAllOnOpen(true);
    t->Open();
    t->SetCachedUpdates(true);
    Rename(1, u"A");
    Rename(2, u"B");
    Rename(3, u"C");
    int tries = 0;
    driver->OnUpdateRecord = [&](TDataDriverKv*, TMemTableDataKv*, TMemoryRecordKv* rec) {
      if (rec->GetDataValue(0).AsInteger() == 2 && ++tries < 3) throw EDatabaseError(String(u"refused"));
      // Otherwise as the driver would.
      provider->Locate(u"Id", rec->GetDataValue(0), 0);
      provider->Edit();
      provider->FieldByName(u"Name")->SetAsVariant(rec->GetDataValue(1));
      provider->Post();
    };
    std::vector<TUpdateErrorActionKv> asked;
    driver->OnUpdateError = [&](TDataDriverKv*, TMemTableDataKv*, TMemoryRecordKv*, TUpdateErrorActionKv& a) {
      a = c.action;
      asked.push_back(a);
    };
    int applied = -1;
    bool raised = false;
    try {
      applied = t->ApplyUpdates();
    } catch (const EDatabaseError& e) {
      raised = true;
      EXPECT_EQ(e.Message(), u"refused");
    }
    EXPECT_EQ(raised, c.raises) << c.action;
    if (!c.raises) {
      EXPECT_EQ(applied, c.applied) << c.action;
    }
    EXPECT_EQ(Rows(*provider), c.provider) << c.action;
    int pending = 0;
    TRecordsListKv* list = t->MemTableData()->RecordsList();
    for (int i = 0; i < list->DeltaCount(); ++i) pending += list->DeltaItem(i) != nullptr;
    EXPECT_EQ(pending, c.pending) << c.action;
    if (c.action == ueaCountinueSkip) {
      ASSERT_TRUE(t->Locate(u"Id", Variant(2), 0));
      ASSERT_NE(t->UpdateError(), nullptr);
      EXPECT_EQ(t->UpdateError()->ExceptionObject()->Message(), u"refused");
    }
    TearDown();
  }
}

TEST_F(KvDriverTest, RecordsNotFoundAndRetryLimit) {
  t->SetFetchAllOnOpen(true);
  t->Open();
  t->SetCachedUpdates(true);
  Rename(2, u"Two");
  provider->Locate(u"Id", Variant(2), 0);
  provider->Delete();
  // Default policy: the missing key raises, and the change stays pending.
  try {
    t->ApplyUpdates();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), u"Record not found or changed");
  }
  EXPECT_TRUE(t->MemTableData()->RecordsList()->HasCachedChanges());
  // A handler that always retries is cut off.
  int asked = 0;
  driver->OnUpdateError = [&](TDataDriverKv*, TMemTableDataKv*, TMemoryRecordKv*, TUpdateErrorActionKv& a) {
    ++asked;
    a = ueaRetryKv;
  };
  EXPECT_THROW(t->ApplyUpdates(), EDatabaseError);
  EXPECT_EQ(asked, 100);
  // Without a provider nothing is written: not applied either.
  driver->OnUpdateError = nullptr;
  driver->SetResolveToDataSet(false);
  EXPECT_THROW(t->ApplyUpdates(), EDatabaseError);
}

TEST_F(KvDriverTest, RefreshRecord) {
  t->SetFetchAllOnOpen(true);
  t->Open();
  provider->Locate(u"Id", Variant(3), 0);
  provider->Edit();
  provider->FieldByName(u"Name")->SetAsString(u"Fresh");
  provider->Post();
  TMemoryRecordKv* rec = t->MemTableData()->RecordsList()->GetRec(2);
  driver->RefreshRecord(t->MemTableData(), rec);
  EXPECT_EQ(VarToStr(rec->GetDataValue(1)), u"Fresh");
  driver->SetKeyFields(u"");
  try {
    driver->RefreshRecord(t->MemTableData(), rec);
    FAIL();
  } catch (const Exception& e) {
    EXPECT_EQ(e.Message(), u"It is required to set DataDriver.KeyFields to refresh record values");
  }
  driver->SetKeyFields(u"Id");
  rec->SetDataValue(0, dvvValueKv, Variant(77));
  EXPECT_THROW(driver->RefreshRecord(t->MemTableData(), rec), Exception);
}

TEST_F(KvDriverTest, TheSideParentTravelsByName) {
  TComponent form(nullptr);
  auto* grid = new TComponent(&form);
  grid->SetName(u"Grid1");
  auto* d = new TDataDriverKv(&form);
  d->SetName(u"Driver1");
  d->SetSideParent(grid);
  EXPECT_EQ(d->SideParent(), nullptr) << "off unless side-parentable";
  d->SetSideParentable(true);
  d->SetSideParent(grid);
  EXPECT_TRUE(d->IsSideParentedBy(grid));
  TMemoryStream stream;
  stream.WriteComponent(d);

  TComponent form2(nullptr);
  auto* grid2 = new TComponent(&form2);
  grid2->SetName(u"Grid1");
  auto* d2 = new TDataDriverKv(&form2);
  d2->SetSideParentable(true);
  stream.SetPosition(0);
  stream.ReadComponent(d2);
  EXPECT_EQ(d2->SideParent(), grid2);
  delete grid2;  // the holder goes: the driver forgets it
  EXPECT_EQ(d2->SideParent(), nullptr);
}
