// Writes the field-list streams the engine saves into the folder given, as the fuzzer's seed corpus.
#include <cstdio>
#include <string>

#include "engines/fieldlist/IdDataSet.h"
#include "platform/rtl/DateTime.h"
#include "platform/sys/CodePage.h"

namespace {

void Write(const std::string& folder, const std::string& name, TIdMemDataSet& ds, bool excludeVirtual = false) {
  TBytesStream s;
  ds.SaveToStream(&s, excludeVirtual);
  const TBytes bytes = s.Bytes();
  const std::string path = folder + "/" + name;
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
  // The benchmark's seven fields, a few rows with nulls, texts and memos.
  TIdMemDataSet bench(nullptr);
  TFieldDefs& defs = bench.VirtualFieldDefs();
  defs.Add(u"CustomerID", ftInteger);
  defs.Add(u"ContactName", ftString, 10);
  defs.Add(u"Birthdate", ftDateTime);
  defs.Add(u"MaritalStatus", ftBoolean);
  defs.Add(u"Salary", ftFloat);
  defs.Add(u"Address", ftWideString, 20);
  defs.Add(u"Comment", ftWideMemo);
  bench.CreateDataSet();
  Write(folder, "bench-empty", bench);
  for (int i = 0; i < 3; ++i) {
    bench.Append();
    bench.FieldByName(u"CustomerID")->SetAsInteger(i + 1);
    if (i != 1) bench.FieldByName(u"ContactName")->SetAsString(u"\u8D75" + String(1, char16_t(u'a' + i)));
    bench.FieldByName(u"Birthdate")->SetAsDateTime(EncodeDate(1990 + i, 1 + i, 2));
    bench.FieldByName(u"MaritalStatus")->SetAsBoolean(i % 2 == 0);
    bench.FieldByName(u"Salary")->SetAsFloat(1000.5 * i);
    bench.FieldByName(u"Address")->SetAsString(u"Road " + String(1, char16_t(u'0' + i)));
    if (i != 2) bench.FieldByName(u"Comment")->SetAsString(u"memo " + String(1, char16_t(u'0' + i)));
    bench.Post();
  }
  Write(folder, "bench-rows", bench);
  Write(folder, "bench-rows-no-virtual", bench, true);
  // One field of every type the engine stores.
  TIdMemDataSet every(nullptr);
  const TFieldType types[] = {ftString,  ftSmallint, ftInteger, ftWord,      ftBoolean, ftFloat,    ftCurrency,
                              ftBCD,     ftDate,     ftTime,    ftDateTime,  ftBytes,   ftVarBytes, ftAutoInc,
                              ftBlob,    ftMemo,     ftGraphic, ftFmtMemo,   ftWideString, ftLargeint, ftGuid,
                              ftTimeStamp, ftFMTBcd, ftWideMemo, ftShortint, ftByte,    ftExtended, ftTypedBinary};
  int n = 0;
  for (TFieldType t : types) {
    const int size = t == ftString || t == ftWideString ? 6 : t == ftGuid ? 38 : t == ftBytes || t == ftVarBytes ? 4 : 0;
    every.VirtualFieldDefs().Add(u"F" + String(1, char16_t(u'A' + n++)), t, size);
  }
  every.CreateDataSet();
  for (int i = 0; i < 2; ++i) {
    every.Append();
    for (TField* f : every.Fields()) {
      if (i == 1 && f->Index() % 2 == 0) continue;  // nulls in the second row
      try {
        f->SetAsString(f->DataType() == ftGuid ? u"{01234567-89AB-CDEF-0123-456789ABCDEF}" : u"12");
      } catch (const Exception&) {
      }
    }
    every.Post();
  }
  Write(folder, "every-type", every);
  // Rows only: two rows of an integer and a text of 8, the fields the harness's dataset holds.
  const TBytes rows = {0x54, 0x52, 1, 0, 1, 7, 0, 0, 0, 1, 2, 0, 0, 0, 'a', 'b', 0, 1, 1, 0, 0, 0, 'c'};
  if (std::FILE* f = std::fopen((folder + "/rows-only").c_str(), "wb")) {
    std::fwrite(rows.data(), 1, rows.size(), f);
    std::fclose(f);
  }
  return 0;
}
