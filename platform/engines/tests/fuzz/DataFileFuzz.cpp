// libFuzzer harness of the stand-ins' data-file reader: every accepted file writes back to bytes that
// read again to the same store, and a table that refuses a stream keeps the rows it held.
#include <cstdlib>

#include "platform/engines/DataFile.h"
#include "platform/engines/FDMemTable.h"
#include "platform/rtl/MemoryBudget.h"
#include "platform/sys/CodePage.h"

namespace {

std::vector<std::uint8_t> Written(const TDataFileMagic& Magic, TRowStore& Store) {
  TBytesStream out;
  WriteDataFile(out, Magic, Store);
  return out.Bytes();
}

std::vector<std::uint8_t> SavedTable(TFDMemTable& Table) {
  TBytesStream out;
  Table.SaveToStream(&out, sfAuto);
  return out.Bytes();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  sys::SetSystemCodePage(936);
  SetLoadMemoryLimit(64 << 20);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  for (const TDataFileMagic& magic : {kFDMemTableMagic, kClientDataSetMagic, kADODataSetMagic}) {
    std::unique_ptr<TRowStore> store;
    std::size_t consumed = 0;
    try {
      store = ReadDataFile(Data, Size, magic, consumed);
    } catch (const Exception&) {
      continue;
    }
    if (consumed > Size) std::abort();
    const std::vector<std::uint8_t> once = Written(magic, *store);
    std::size_t consumedAgain = 0;
    const std::unique_ptr<TRowStore> again = ReadDataFile(once.data(), once.size(), magic, consumedAgain);
    if (consumedAgain != once.size() || Written(magic, *again) != once) std::abort();
  }
  // Through a table: a refused load loses nothing it held.
  TFDMemTable table(nullptr);
  table.FieldDefs().Add(u"N", ftInteger, 0, false);
  table.FieldDefs().Add(u"S", ftString, 8, false);
  table.CreateDataSet();
  table.Append();
  table.FieldByName(u"N")->SetAsInteger(42);
  table.FieldByName(u"S")->SetAsString(u"kept");
  table.Post();
  const std::vector<std::uint8_t> before = SavedTable(table);
  TBytesStream input(std::vector<std::uint8_t>(Data, Data + Size));
  try {
    table.LoadFromStream(&input, sfAuto);
  } catch (const Exception&) {
    if (!table.Active() || SavedTable(table) != before) std::abort();
    return 0;
  }
  for (table.First(); !table.Eof(); table.Next())
    for (TField* f : table.Fields()) {
      try {
        (void)f->AsString();
      } catch (const Exception&) {
      }
    }
  return 0;
}
