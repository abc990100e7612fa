// The record store of a temporary table: records are only appended, numbered from 0 in the order they
// came, and never renumbered or reused until the table is emptied. The first records live in memory
// blocks of AllocRecordsBy records each; once a block cannot be had, this record and every later one
// go to a spill file (a fresh temporary file of the engine's streams, removed when the manager is
// emptied or freed, also after a failure). Record n is in block n div AllocRecordsBy while
// n < CachedRecordCount, else at byte (n - CachedRecordCount) x RecordBufferSize of the spill file.
//
// A record id holds the record number as a 48-bit unsigned little-endian number: PageNo the low 32
// bits, PageItemNo the high 16.
//
// Record block (SaveToStream / LoadFromStream, little-endian; write / read codes):
//   0  4  Int32  record buffer size (must be the table's)          11215 / 11217
//   4  8  Int64  record count N                                    11216 / 11218
//  12  4  Int32  records per page                                  11208 / 11219
//  16  4  Int32  page size                                         11209 / 11220
//  20  4  Int32  records per block (> 0)                           11213 / 11224
//  24     the memory blocks in order: a full block's bytes while more records than a block holds
//         remain, else the remaining records          full 11211 / 11222, last 11210 / 11221
//  ..     when records were spilled: the spill file's records, record size each (read 11221)
// A reader checks the sizes against the manager and N x record size against the bytes left before it
// allocates anything, and builds the new blocks aside: a bad block leaves the manager as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engines/mdb/storage/MdbRecordManager.h"

class TMdbTempFileStream;

// Where the temporary record manager gets its memory blocks: a block of Size bytes, or nil when none
// can be had (the record then goes to the spill file). Tests install one that refuses; nil restores
// the engine's memory manager.
using TMdbTemporaryBlockAllocator = std::function<void*(Int64 Size, Int64 RecordCount)>;
void SetMdbTemporaryBlockAllocator(TMdbTemporaryBlockAllocator Allocator);

inline constexpr Int64 kMdbTemporaryMaxRecordNo = (Int64(1) << 48) - 1;

class TMdbTemporaryRecordManager : public TMdbBaseRecordManager {
  VELLUM_CLASS(TMdbTemporaryRecordManager)
 public:
  // 10124 for a record size of 0 or less; records per block below 1 count as 1.
  TMdbTemporaryRecordManager(std::int32_t aRecordBufferSize, std::int32_t RecordsPerPage, std::int32_t AllocRecordsBy);
  ~TMdbTemporaryRecordManager() override;

  void Empty(std::int32_t SessionID) override;
  bool AddRecord(const Byte* RecordBuffer, TMdbRecordID& RecordID, std::int32_t SessionID) override;
  bool IsRecordExists(const TMdbRecordID& RecordID, std::int32_t SessionID) const override;
  void GetRecordBuffer(TMdbNavigationInfo& NavigationInfo) override;
  Int64 GetApproximateRecNo(const TMdbRecordID& RecordID, std::int32_t SessionID) const override;
  void LoadFromStream(TStream* Stream) override;
  void SaveToStream(TStream* Stream) override;

  // Takes back the record added last (its index keys could not be stored).
  void DropLastRecord() noexcept;
  // Reads record n into Buffer; False when it cannot be read.
  bool ReadRecord(Int64 n, Byte* Buffer);

  static Int64 RecordNo(const TMdbRecordID& Id) { return Int64(std::uint32_t(Id.PageNo)) | (Int64(Id.PageItemNo) << 32); }
  static TMdbRecordID RecordIDOf(Int64 n) {
    TMdbRecordID Id;
    Id.PageNo = static_cast<std::int32_t>(static_cast<std::uint32_t>(n & 0xFFFFFFFF));
    Id.PageItemNo = static_cast<std::uint16_t>((n >> 32) & 0xFFFF);
    return Id;
  }

  std::int32_t RecordsPerPage() const { return FRecordsPerPage; }
  std::int32_t PageSize() const { return FPageSize; }
  std::int32_t AllocRecordsBy() const { return FAllocRecordsBy; }
  std::int32_t CachedRecordCount() const { return FCachedRecordCount; }
  std::int32_t AllocatedRecordCount() const { return FAllocatedRecordCount; }
  Int64 TempPageRecordCount() const { return FTempPageRecordCount; }
  std::size_t BlockCount() const { return FBufferList.size(); }
  // The spill file (nil until the first spill) and its name.
  TMdbTempFileStream* TempPageFile() const { return FTempPageFile.get(); }

 private:
  struct TBlocks;
  void FreeBlocks() noexcept;
  void* NewBlock() const;
  void Spill(const Byte* RecordBuffer);

  std::int32_t FRecordsPerPage;
  std::int32_t FPageSize;
  std::int32_t FCachedRecordCount = 0;
  std::int32_t FAllocatedRecordCount = 0;
  Int64 FTempPageRecordCount = 0;
  std::unique_ptr<TMdbTempFileStream> FTempPageFile;
  std::int32_t FAllocRecordsBy;
  std::vector<Byte*> FBufferList;
};
