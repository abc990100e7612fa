// Writes the data files the three stand-in engines save into the folder given, as the fuzzer's seeds.
#include <cstdio>
#include <string>

#include "platform/engines/ClientDataSet.h"
#include "platform/engines/FDMemTable.h"
#include "platform/rtl/DateTime.h"
#include "platform/sys/CodePage.h"

namespace {

void Fill(TDataSet& ds) {
  ds.FieldDefs().Add(u"CustomerID", ftInteger, 0, false);
  ds.FieldDefs().Add(u"ContactName", ftString, 10, false);
  ds.FieldDefs().Add(u"Birthdate", ftDateTime, 0, false);
  ds.FieldDefs().Add(u"MaritalStatus", ftBoolean, 0, false);
  ds.FieldDefs().Add(u"Salary", ftFloat, 0, false);
  ds.FieldDefs().Add(u"Address", ftWideString, 20, false);
  ds.FieldDefs().Add(u"Comment", ftWideMemo, 0, false);
}

void AddRows(TDataSet& ds) {
  for (int i = 0; i < 3; ++i) {
    ds.Append();
    ds.FieldByName(u"CustomerID")->SetAsInteger(i + 1);
    if (i != 1) ds.FieldByName(u"ContactName")->SetAsString(u"\u8D75" + String(1, char16_t(u'a' + i)));
    ds.FieldByName(u"Birthdate")->SetAsDateTime(EncodeDate(1990 + i, 1 + i, 2));
    ds.FieldByName(u"MaritalStatus")->SetAsBoolean(i % 2 == 0);
    ds.FieldByName(u"Salary")->SetAsFloat(1000.5 * i);
    ds.FieldByName(u"Address")->SetAsString(u"Road");
    if (i != 2) ds.FieldByName(u"Comment")->SetAsString(u"memo");
    ds.Post();
  }
}

void Write(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  sys::SetSystemCodePage(936);
  const std::string folder = argv[1];
  {
    TFDMemTable t(nullptr);
    Fill(t);
    t.CreateDataSet();
    TBytesStream empty;
    t.SaveToStream(&empty, sfAuto);
    Write(folder + "/fdmemtable-empty", empty.Bytes());
    AddRows(t);
    TBytesStream rows;
    t.SaveToStream(&rows, sfAuto);
    Write(folder + "/fdmemtable-rows", rows.Bytes());
  }
  {
    TClientDataSet c(nullptr);
    Fill(c);
    c.CreateDataSet();
    AddRows(c);
    TBytesStream rows;
    c.SaveToStream(&rows);
    Write(folder + "/clientdataset-rows", rows.Bytes());
  }
  return 0;
}
