// The compressed BLOB stream: a BLOB's bytes stored plain or as a chain of independently compressed
// blocks, presented as one stream of uncompressed bytes. The owner opens it over the stream that holds
// the stored bytes (the compressed stream, not owned), gives it a TMdbBLOBDescriptor, reads and writes,
// and afterwards takes BLOBDescriptor() back and persists what it needs of it.
//
// Block chain, from the descriptor's StartPosition, NumBlocks blocks back to back (little-endian):
//   offset  size             field
//   0       Int32            CompressedSize      bytes of compressed data after this header (>= 0)
//   4       Int32            UncompressedSize    the block size, except the last block: 1..block size
//   8       UInt32           Crc32               CalcCRC32 from 0, not inverted, of the uncompressed bytes
//   12      Int64            OffsetToNextHeader  20 + CompressedSize
//   20      CompressedSize   data                CompressBuffer output with the chain's algorithm and mode
// Block i holds the uncompressed bytes from i x block size. Bytes of the compressed stream behind the
// last block do not belong to the chain. Plain format (acaNone): the bytes themselves from
// StartPosition, UncompressedSize of them.
//
// Opening reads every header at once and trusts none of them: each must fit the bytes left and follow
// the rules above, and their sizes must add up to the descriptor's UncompressedSize (10082 otherwise);
// repair mode accepts a chain that ends early (fewer than 20 bytes left for a header) as far as it goes.
// A block that fails to decompress, decompresses to another length or fails its CRC raises 10087 /
// 10088 / 10089 on every read that touches it; other blocks stay readable.
//
// Writes only append: a write below the end writes nothing (returns 0); a write past the end first
// fills the gap with zeros. Appending to a partly filled last block recompresses it in place.
// SetSize extends with zeros or truncates (the last kept block recompressed and the compressed stream
// cut behind it). A failure in the middle of a write keeps the blocks written before it, and size and
// descriptor describe exactly those.
#pragma once

#include <cstdint>

#include "engines/mdb/runtime/MdbContainers.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/runtime/MdbTypes.h"

class TMdbCompressedBLOBStream : public TMdbStream {
  VELLUM_CLASS(TMdbCompressedBLOBStream)
 public:
  TMdbCompressedBLOBStream(TStream* Stream, const TMdbBLOBDescriptor& BLOBDescriptor, bool ToCreate, bool ToRepair);
  ~TMdbCompressedBLOBStream() override;
  // Starts over on another BLOB as the constructor would, keeping the memory of the header list.
  void Open(TStream* Stream, const TMdbBLOBDescriptor& BLOBDescriptor, bool ToCreate, bool ToRepair);

  Int64 Read(void* Buffer, Int64 Count) override;
  Int64 Write(const void* Buffer, Int64 Count) override;
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override;
  Int64 Size() override { return FUncompressedSize; }
  void SetSize(Int64 NewSize) override;

  TStream* CompressedStream() const { return FCompressedStream; }
  TMdbCompressionAlgorithm CompressionAlgorithm() const { return FCompressionAlgorithm; }
  Byte CompressionMode() const { return FCompressionMode; }
  const TMdbBLOBDescriptor& BLOBDescriptor() const { return FBLOBDescriptor; }
  // The size of the whole compressed stream.
  Int64 CompressedSize() const { return FCompressedStream->Size(); }
  // The sum of the blocks' compressed sizes (headers not counted); the size for the plain format.
  Int64 CompressedDataSize() const { return FCompressedSize; }
  double CompressionRate();
  const TMdbCompressedStreamBlockHeadersArray& Headers() const { return FHeaders; }

  static std::int32_t DefaultBlockSize(Byte Mode);

 private:
  bool Compressed() const { return FCompressionAlgorithm != acaNone; }
  void InitHeaders(bool ToCreate);
  void LoadHeaders();
  // A runtime-heap buffer with block Index decompressed; the caller frees it.
  void* LoadBlock(Int64 Index);
  void CompressBlock(const void* Data, std::int32_t DataSize, TMdbCompressedStreamBlockHeader& Header, void*& OutBuf);
  void RewriteCurrentBlock(const void* Data, std::int32_t DataSize);
  Int64 AppendCompressed(const Byte* Buffer, Int64 Count);
  void ExtendToPosition();
  void Extend(Int64 NewSize);
  void Truncate(Int64 NewSize);
  void CalcCompressedSizeAndRate();
  void SyncSizeWithHeaders();

  bool FRepair = false;
  TMdbCompressedStreamBlockHeadersArray FHeaders;
  Int64 FUncompressedSize = 0;
  Int64 FCompressedSize = 0;
  Int64 FStartPosition = 0;
  std::int32_t FCurrentHeader = 0;
  Int64 FPosition = 0;
  Byte FCompressionMode = 0;
  TMdbCompressionAlgorithm FCompressionAlgorithm = acaNone;
  double FCompressionRate = 0;
  TStream* FCompressedStream = nullptr;
  TMdbBLOBDescriptor FBLOBDescriptor;
};
