// Writes Kv save streams (binary and object text) into the folder given, as the fuzzer's seed corpus.
#include <cstdio>
#include <string>

#include "engines/kv/MemTableKv.h"
#include "platform/classes/ObjectText.h"
#include "platform/rtl/DateTime.h"
#include "platform/sys/CodePage.h"

namespace {

void Write(const std::string& path, TMemoryStream& s) {
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(s.Memory(), 1, static_cast<size_t>(s.Size()), f);
    std::fclose(f);
  }
}

void WriteBoth(const std::string& folder, const std::string& name, TMemTableKv& t) {
  TMemoryStream binary;
  t.SaveToStream(&binary);
  Write(folder + "/" + name + ".bin", binary);
  binary.SetPosition(0);
  TMemoryStream text;
  ObjectBinaryToText(&binary, &text);
  Write(folder + "/" + name + ".txt", text);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  sys::SetSystemCodePage(936);
  InitializeMemTableDataKv();
  const std::string folder = argv[1];
  TMemTableKv t(nullptr);
  t.FieldDefs().Add(u"CustomerID", ftInteger);
  t.FieldDefs().Add(u"ContactName", ftString, 10);
  t.FieldDefs().Add(u"Birthdate", ftDateTime);
  t.FieldDefs().Add(u"MaritalStatus", ftBoolean);
  t.FieldDefs().Add(u"Salary", ftFloat);
  t.FieldDefs().Add(u"Address", ftWideString, 20);
  t.FieldDefs().Add(u"Comment", ftWideMemo);
  t.FieldDefs().Add(u"Stamp", ftTimeStampOffset);
  t.FieldDefs().Add(u"Raw", ftBlob);
  t.FieldDefs().Add(u"Auto", ftAutoInc);
  t.CreateDataSet();
  WriteBoth(folder, "empty", t);
  for (int i = 0; i < 3; ++i) {
    t.Append();
    t.FieldByName(u"CustomerID")->SetAsInteger(i + 1);
    if (i != 1) t.FieldByName(u"ContactName")->SetAsString(u"\u8D75" + String(1, char16_t(u'a' + i)));
    t.FieldByName(u"Birthdate")->SetAsDateTime(EncodeDate(1990 + i, 1 + i, 2));
    t.FieldByName(u"MaritalStatus")->SetAsBoolean(i % 2 == 0);
    t.FieldByName(u"Salary")->SetAsFloat(1000.5 * i);
    t.FieldByName(u"Address")->SetAsString(u"Road " + String(1, char16_t(u'0' + i)));
    t.FieldByName(u"Comment")->SetAsString(u"memo \u4E2D");
    if (i == 2) t.FieldByName(u"Raw")->SetAsString(u"bytes");
    t.Post();
  }
  WriteBoth(folder, "rows", t);
  return 0;
}
