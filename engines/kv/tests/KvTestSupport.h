// Shared set-up of the Kv tests: the stream classes registered, the code page pinned, and the
// benchmark's seven-field table.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "engines/kv/MemTableKv.h"
#include "platform/classes/ClassRegistry.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/CodePage.h"

class KvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    InitializeMemTableDataKv();
  }

  static std::unique_ptr<TMemTableKv> MakeBenchmarkTable() {
    auto t = std::make_unique<TMemTableKv>(nullptr);
    t->FieldDefs().Add(u"CustomerID", ftInteger);
    t->FieldDefs().Add(u"ContactName", ftString, 10);
    t->FieldDefs().Add(u"Birthdate", ftDateTime);
    t->FieldDefs().Add(u"MaritalStatus", ftBoolean);
    t->FieldDefs().Add(u"Salary", ftFloat);
    t->FieldDefs().Add(u"Address", ftWideString, 20);
    t->FieldDefs().Add(u"Comment", ftWideMemo);
    t->CreateDataSet();
    return t;
  }

  static std::vector<Byte> Bytes(TMemoryStream& s) {
    const auto* p = static_cast<const Byte*>(s.Memory());
    return std::vector<Byte>(p, p + s.Size());
  }
};
