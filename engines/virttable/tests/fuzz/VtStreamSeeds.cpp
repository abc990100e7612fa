// Writes virtual table streams into the folder given, as the fuzzer's seed corpus: an empty table of the
// benchmark schema, a few of its rows, and a table of the other kinds of value.
#include <cstdio>
#include <string>

#include "engines/virttable/VirtTable.h"
#include "platform/db/testing/BenchmarkSchema.h"
#include "platform/sys/CodePage.h"

namespace {

void Write(const std::string& folder, const std::string& name, TVirtTable& t) {
  TBytesStream s;
  t.SaveToStream(&s);
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

  TVirtTable bench(nullptr);
  AddBenchmarkSchema(bench.FieldDefs());
  bench.Open();
  Write(folder, "benchmark-empty.vt", bench);
  const TBenchmarkFields f(bench);
  for (int i = 1; i <= 3; ++i) {
    bench.Append();
    FillBenchmarkRow(f, i);
    bench.Post();
  }
  Write(folder, "benchmark-3.vt", bench);

  TVirtTable kinds(nullptr);
  kinds.FieldDefs().Add(u"I16", ftSmallint);
  kinds.FieldDefs().Add(u"I64", ftLargeint);
  kinds.FieldDefs().Add(u"B", ftBoolean);
  kinds.FieldDefs().Add(u"C", ftCurrency);
  kinds.FieldDefs().Add(u"DA", ftDate);
  kinds.FieldDefs().Add(u"TI", ftTime);
  kinds.FieldDefs().Add(u"BY", ftBytes, 4);
  kinds.FieldDefs().Add(u"VB", ftVarBytes, 6);
  kinds.FieldDefs().Add(u"BL", ftBlob);
  kinds.FieldDefs().Add(u"ME", ftMemo);
  kinds.FieldDefs().Add(u"V", ftVariant);
  kinds.Open();
  kinds.Append();
  kinds.FieldByName(u"I16")->SetAsInteger(-7);
  kinds.FieldByName(u"I64")->SetAsLargeInt(9999999999);
  kinds.FieldByName(u"B")->SetAsBoolean(true);
  kinds.FieldByName(u"C")->SetAsCurrency(Currency::FromScaled(12345));
  kinds.FieldByName(u"DA")->SetAsDateTime(45000);
  kinds.FieldByName(u"TI")->SetAsDateTime(0.5);
  kinds.FieldByName(u"BL")->SetAsString(u"blob bytes");
  kinds.FieldByName(u"ME")->SetAsString(u"memo text");
  kinds.FieldByName(u"V")->SetAsString(u"variant");
  kinds.Post();
  kinds.Append();
  kinds.Post();
  Write(folder, "kinds.vt", kinds);
  return 0;
}
