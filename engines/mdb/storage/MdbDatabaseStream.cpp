// The database stream of a memory database: the table count, the table streams, the stored functions
// (layout in MdbMemoryDatabaseData.h).
#include <algorithm>
#include <memory>
#include <vector>

#include "engines/mdb/runtime/MdbConst.h"
#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbAdvancedTableData.h"
#include "engines/mdb/storage/MdbCursor.h"
#include "engines/mdb/storage/MdbMemoryDatabaseData.h"
#include "engines/mdb/storage/MdbMemoryTableData.h"
#include "engines/mdb/storage/MdbQueryServices.h"
#include "engines/mdb/storage/MdbSession.h"

namespace {

constexpr char16_t SNilPointer[] = u"Nil pointer occured";
constexpr char16_t SBadTableCount[] = u"Error - invalid table count in database stream: %d tables, %d bytes left";
constexpr char16_t STableInUse[] = u"Cannot load table '%s'. Table is open by another dataset";
constexpr char16_t SInsideTransaction[] = u"Cannot perform this operation inside a transaction";

Int64 BytesLeft(TStream* Stream) { return std::max<Int64>(Stream->Size() - Stream->Position(), 0); }

}  // namespace

void TMdbMemoryDatabaseData::SaveDatabaseToStream(TMdbBaseSession* Session, TStream* Stream,
                                                  TMdbCompressionAlgorithm CompressionAlgorithm, Byte CompressionMode,
                                                  std::int32_t BlockSize) {
  if (Session == nullptr || Stream == nullptr) throw EMdbException(11759, SNilPointer);
  TMdbLockGuard G(FThreadSync, true);
  // Views have no table stream: the count is that of the table streams that follow.
  std::vector<TMdbTableData*> Tables;
  for (const auto& T : FTableDataList)
    if (T) Tables.push_back(T.get());
  WriteValueToStream(static_cast<std::int32_t>(Tables.size()), Stream, 11759);
  for (TMdbTableData* T : Tables) {
    // A read lock keeps writers of other threads out while the table is written.
    std::int32_t Code = 11892;
    if (!T->LockTable(false, Session, Code, true))
      throw EMdbException(11892, u"Cannot lock table '%s'", {T->TableName()});
    try {
      T->SaveTableToStream(Stream, CompressionAlgorithm, CompressionMode, BlockSize, true);
    } catch (...) {
      T->UnlockTable(false, Session, true);
      throw;
    }
    T->UnlockTable(false, Session, true);
  }
  StoredFunctionManager()->Save(Stream);
}

void TMdbMemoryDatabaseData::LoadDatabaseFromStream(TMdbBaseSession* Session, TStream* Stream) {
  if (Session == nullptr || Stream == nullptr) throw EMdbException(11760, SNilPointer);
  TMdbLockGuard G(FThreadSync, true);
  const std::int32_t N = ReadValueFromStream<std::int32_t>(Stream, 11760);
  if (N < 0 || Int64(N) * kMdbTableStreamHeaderSize > BytesLeft(Stream))
    throw EMdbException(11760, SBadTableCount, {N, BytesLeft(Stream)});

  // Every table is read into a table data object of its own, outside the table list; a later stream
  // of the same name replaces an earlier one, as loading them one by one would.
  TMdbCursor Loader;
  Loader.FSession = Session;
  Loader.FInMemory = true;
  std::vector<std::unique_ptr<TMdbTableData>> Staged;
  for (std::int32_t i = 0; i < N; ++i) {
    auto T = std::make_unique<TMdbMemoryTableData>(this, Loader.FMemoryTableAllocBy);
    T->LoadTableFromStream(&Loader, Stream);
    const std::uint32_t Crc = T->TableNameCRC();
    std::erase_if(Staged, [&](const auto& S) { return S->TableNameCRC() == Crc; });
    Staged.push_back(std::move(T));
  }
  std::unique_ptr<TMdbStoredFunctionManager> Functions;
  if (Stream->Position() < Stream->Size()) {
    Functions = std::make_unique<TMdbStoredFunctionManager>(this);
    Functions->Load(Stream, false);
  }

  // The tables to be replaced must be free to go before any of them goes.
  FTableDataList.reserve(FTableDataList.size() + Staged.size());
  std::vector<TMdbTableData*> Old(Staged.size(), nullptr);
  for (std::size_t i = 0; i < Staged.size(); ++i) {
    TMdbTableData* T = FindTableDataByCRC(Staged[i]->TableNameCRC());
    if (T == nullptr) continue;
    if (!T->CursorList().empty()) throw EMdbException(10152, STableInUse, {T->TableName()});
    const auto* A = dynamic_cast<const TMdbAdvancedTableData*>(T);
    if (A != nullptr && A->HeldByTransaction()) throw EMdbException(10838, SInsideTransaction);
    Old[i] = T;
  }
  // Nothing below fails: the old tables leave the list and are freed, the new ones take their places.
  for (std::size_t i = 0; i < Staged.size(); ++i) {
    if (Old[i] != nullptr) {
      auto It = std::find_if(FTableDataList.begin(), FTableDataList.end(), [&](const auto& P) { return P.get() == Old[i]; });
      std::unique_ptr<TMdbTableData> Gone = std::move(*It);
      *It = std::move(Staged[i]);
      Gone->FDoNotLockDatabaseData = true;
      Gone.reset();
    } else {
      FTableDataList.push_back(std::move(Staged[i]));
    }
  }
  if (Functions) StoredFunctionManager()->TakeOver(*Functions);
}
