#include <gtest/gtest.h>

#include "platform/db/testing/VectorDataSet.h"

namespace {

TEST(DataSetSmoke, AppendPostReadBack) {
  TVectorDataSet ds(nullptr);
  ds.FieldDefs().Add(u"CustomerID", ftInteger);
  ds.FieldDefs().Add(u"ContactName", ftString, 10);
  ds.Open();
  ds.Append();
  ds.FieldByName(u"CustomerID")->SetAsInteger(2);
  ds.FieldByName(u"ContactName")->SetAsString(u"abc");
  ds.Post();
  EXPECT_EQ(ds.RecordCount(), 1);
  EXPECT_EQ(ds.FieldByName(u"CustomerID")->AsInteger(), 2);
  EXPECT_EQ(ds.FieldByName(u"ContactName")->AsString(), u"abc");
}

}  // namespace
