// Writes vlx binary streams into the folder given, as the fuzzer's seed corpus: the benchmark table
// empty and with rows (nulls, Chinese text, memos), with and without its data-type header, and one
// field of each stored type.
#include <cstdio>
#include <string>

#include "engines/vlx/vlxMemBinaryStreamFormat.h"
#include "engines/vlx/vlxMemTable.h"
#include "platform/db/testing/BenchmarkSchema.h"
#include "platform/rtl/DateTime.h"
#include "platform/sys/CodePage.h"

namespace {

void Write(const std::string& folder, const std::string& name, TvlxMemTable& t, TvlxBinaryStreamFormat& format) {
  TBytesStream s;
  t.SaveToStreamViaFormat(&s, &format);
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
  TvlxBinaryStreamFormat format;
  TvlxMemTable bench(nullptr);
  AddBenchmarkSchema(bench.FieldDefs());
  bench.CreateTable();
  bench.Open();
  Write(folder, "bench-empty", bench, format);
  for (int i = 0; i < 3; ++i) {
    bench.Append();
    bench.Fields()[0]->SetAsInteger(i + 1);
    if (i != 1) bench.Fields()[1]->SetAsString(u"\u8D75" + String(1, char16_t(u'a' + i)));
    bench.Fields()[2]->SetAsDateTime(EncodeDate(1990 + i, 1 + i, 2));
    bench.Fields()[3]->SetAsBoolean(i % 2 == 0);
    bench.Fields()[4]->SetAsFloat(1000.5 * i);
    bench.Fields()[5]->SetAsString(u"Road \u4E00" + String(1, char16_t(u'0' + i)));
    if (i != 2) bench.Fields()[6]->SetAsString(u"memo " + String(1, char16_t(u'0' + i)));
    bench.Post();
  }
  Write(folder, "bench-rows", bench, format);
  format.sfDataTypeHeader = 0;
  Write(folder, "bench-rows-no-header", bench, format);
  format.sfDataTypeHeader = sfSaveDataTypeHeader | sfLoadDataTypeHeader;

  TvlxMemTable every(nullptr);
  const TFieldType types[] = {ftString,  ftSmallint, ftInteger,  ftWord,    ftBoolean,  ftFloat,   ftCurrency,
                              ftBCD,     ftDate,     ftTime,     ftDateTime, ftBytes,   ftVarBytes, ftAutoInc,
                              ftBlob,    ftMemo,     ftWideString, ftLargeint, ftGuid,  ftFMTBcd,  ftWideMemo,
                              ftLongWord, ftShortint, ftByte,    ftSingle,   ftTimeStamp};
  int n = 0;
  for (TFieldType type : types) {
    const bool sized = type == ftString || type == ftWideString || type == ftBytes || type == ftVarBytes ||
                       type == ftGuid || type == ftBCD || type == ftFMTBcd;
    every.FieldDefs().Add(u"F" + String(1, char16_t(u'A' + n++)), type, sized ? (type == ftGuid ? 38 : 4) : 0);
  }
  every.CreateTable();
  every.Open();
  every.Append();
  for (int i = 0; i < every.FieldCount(); ++i) {
    try {
      every.Fields()[i]->SetAsString(u"1");
    } catch (const Exception&) {
    }
  }
  every.Post();
  Write(folder, "every-type", every, format);
  return 0;
}
