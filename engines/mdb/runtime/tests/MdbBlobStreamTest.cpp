// The compressed BLOB chain: block layout, appends, gaps, extension and truncation, damaged blocks,
// cut chains with and without repair, and the plain format.
#include "engines/mdb/runtime/MdbBlobStream.h"

#include <cstring>
#include <random>

#include "engines/mdb/runtime/MdbCompression.h"
#include "engines/mdb/runtime/MdbConst.h"
#include "MdbTestSupport.h"

namespace {

using MdbBlobStreamTest = MdbRuntimeTest;

std::vector<Byte> Data(std::size_t N, unsigned Seed = 1) {
  std::vector<Byte> v(N);
  std::mt19937 Rng(Seed);
  for (std::size_t i = 0; i < N; ++i) v[i] = Byte((i % 97) < 60 ? 'a' + (i % 13) : Rng() % 256);
  return v;
}

TMdbBLOBDescriptor Descriptor(std::int32_t BlockSize, TMdbCompressionAlgorithm A = acaZLIB, Byte Mode = 1, Int64 Start = 0) {
  TMdbBLOBDescriptor D;
  D.BlockSize = BlockSize;
  D.CompressionAlgorithm = A;
  D.CompressionMode = Mode;
  D.StartPosition = Start;
  return D;
}

std::vector<Byte> ReadBlob(TMdbCompressedBLOBStream& B) {
  std::vector<Byte> v(static_cast<std::size_t>(B.Size()));
  B.SetPosition(0);
  if (!v.empty()) {
    EXPECT_EQ(B.Read(v.data(), Int64(v.size())), Int64(v.size()));
  }
  return v;
}

TMdbCompressedStreamBlockHeader HeaderAt(TMdbMemoryStream& S, Int64 Pos) {
  TMdbCompressedStreamBlockHeader H;
  std::memcpy(&H, static_cast<Byte*>(S.Buffer()) + Pos, sizeof H);
  return H;
}

TEST_F(MdbBlobStreamTest, DefaultBlockSizes) {
  struct Case {
    Byte Mode;
    std::int32_t BlockSize;
  };
  for (const Case C : {Case{0, 102400}, Case{1, 524288}, Case{3, 524288}, Case{4, 1048576}, Case{6, 1048576}, Case{7, 1572864}}) {
    TMdbMemoryStream S;
    TMdbCompressedBLOBStream B(&S, Descriptor(0, acaZLIB, C.Mode), true, false);
    EXPECT_EQ(+B.BLOBDescriptor().BlockSize, C.BlockSize);
    EXPECT_EQ(B.BlockSize(), C.BlockSize);
    EXPECT_EQ(B.CompressionRate(), 0);
  }
}

TEST_F(MdbBlobStreamTest, ChainOfBlocksWithExtendTruncateAndWriteAt) {
  const auto Bytes = Data(250000);
  TMdbMemoryStream S;
  S.Write("prefix", 6);  // the chain may start inside a larger stream
  TMdbBLOBDescriptor Stored;
  {
    TMdbCompressedBLOBStream B(&S, Descriptor(102400, acaZLIB, 1, 6), true, false);
    EXPECT_EQ(B.Write(Bytes.data(), Int64(Bytes.size())), Int64(Bytes.size()));
    Stored = B.BLOBDescriptor();
    EXPECT_EQ(+Stored.NumBlocks, 3);
    EXPECT_EQ(+Stored.UncompressedSize, 250000);
    Int64 Pos = 6;
    const std::int32_t Expected[] = {102400, 102400, 45200};
    for (int i = 0; i < 3; ++i) {
      const auto H = HeaderAt(S, Pos);
      EXPECT_EQ(+H.UncompressedSize, Expected[i]);
      EXPECT_EQ(+H.OffsetToNextHeader, 20 + +H.CompressedSize);
      EXPECT_EQ(+H.Crc32, CalcCRC32(0, Bytes.data() + i * 102400, Expected[i]));
      Pos += H.OffsetToNextHeader;
    }
    EXPECT_EQ(Pos, S.Size());
    EXPECT_GT(B.CompressionRate(), 0);

    // Appending 100 bytes recompresses the third block; a write inside the BLOB does nothing.
    const auto More = Data(100, 7);
    EXPECT_EQ(B.Write(More.data(), 100), 100);
    EXPECT_EQ(+B.BLOBDescriptor().NumBlocks, 3);
    EXPECT_EQ(+B.Headers().Items[2].UncompressedSize, 45300);
    B.SetPosition(10);
    EXPECT_EQ(B.Write(More.data(), 5), 0);
    EXPECT_EQ(B.Size(), 250100);
    auto Expected2 = Bytes;
    Expected2.insert(Expected2.end(), More.begin(), More.end());
    EXPECT_EQ(ReadBlob(B), Expected2);

    // Truncating inside a block rewrites it in place and cuts the stream behind it.
    B.SetSize(150000);
    EXPECT_EQ(+B.BLOBDescriptor().NumBlocks, 2);
    EXPECT_EQ(+B.Headers().Items[1].UncompressedSize, 47600);
    EXPECT_EQ(S.Size(), B.Headers().Positions[1] + 20 + +B.Headers().Items[1].CompressedSize);
    EXPECT_EQ(ReadBlob(B), std::vector<Byte>(Bytes.begin(), Bytes.begin() + 150000));

    // Extending appends zeros.
    B.SetPosition(5);
    B.SetSize(210000);
    EXPECT_EQ(B.Position(), 5);
    auto Grown = ReadBlob(B);
    EXPECT_TRUE(std::equal(Bytes.begin(), Bytes.begin() + 150000, Grown.begin()));
    for (std::size_t i = 150000; i < 210000; ++i) ASSERT_EQ(Grown[i], 0) << i;

    // Truncating at a block boundary keeps the stream's length.
    const Int64 Length = S.Size();
    B.SetSize(204800);
    EXPECT_EQ(+B.BLOBDescriptor().NumBlocks, 2);
    EXPECT_EQ(S.Size(), Length);
    Stored = B.BLOBDescriptor();
  }
  TMdbCompressedBLOBStream Again(&S, Stored, false, false);
  const auto Back = ReadBlob(Again);
  ASSERT_EQ(Back.size(), 204800u);
  EXPECT_TRUE(std::equal(Bytes.begin(), Bytes.begin() + 150000, Back.begin()));
}

TEST_F(MdbBlobStreamTest, WritePastTheEndFillsZeros) {
  for (auto A : {acaZLIB, acaNone}) {
    TMdbMemoryStream S;
    TMdbCompressedBLOBStream B(&S, Descriptor(64, A), true, false);
    const auto Bytes = Data(100);
    B.Write(Bytes.data(), 100);
    B.SetPosition(200);
    B.Write(Bytes.data(), 10);
    const auto All = ReadBlob(B);
    ASSERT_EQ(All.size(), 210u);
    for (int i = 100; i < 200; ++i) ASSERT_EQ(All[i], 0);
    EXPECT_TRUE(std::equal(Bytes.begin(), Bytes.begin() + 10, All.begin() + 200));
  }
}

struct Chain {
  TMdbMemoryStream Stream;
  TMdbBLOBDescriptor Descriptor;
  std::vector<Byte> Bytes;
  std::vector<Byte> Saved() {
    return std::vector<Byte>(static_cast<Byte*>(Stream.Buffer()), static_cast<Byte*>(Stream.Buffer()) + Stream.Size());
  }
};

void MakeChain(Chain& C, std::size_t Size, std::int32_t BlockSize, TMdbCompressionAlgorithm A = acaZLIB) {
  C.Bytes = Data(Size, 5);
  TMdbCompressedBLOBStream B(&C.Stream, Descriptor(BlockSize, A, 6), true, false);
  B.Write(C.Bytes.data(), Int64(Size));
  C.Descriptor = B.BLOBDescriptor();
}

void Load(TMdbMemoryStream& S, const std::vector<Byte>& Bytes) {
  S.SetSize(0);
  S.Write(Bytes.data(), Int64(Bytes.size()));
}

TEST_F(MdbBlobStreamTest, DamagedBlockIsReportedOnlyThere) {
  for (auto A : {acaZLIB, acaBZIP}) {
    Chain C;
    MakeChain(C, 3000, 1000, A);
    TMdbCompressedBLOBStream Probe(&C.Stream, C.Descriptor, false, false);
    const Int64 Second = Probe.Headers().Positions[1];
    const std::int32_t Size = Probe.Headers().Items[1].CompressedSize;
    for (std::int32_t k = 0; k < Size; k += std::max(1, Size / 16)) {
      auto Bytes = C.Saved();
      Bytes[static_cast<std::size_t>(Second + 20 + k)] ^= 0x40;
      TMdbMemoryStream S;
      Load(S, Bytes);
      TMdbCompressedBLOBStream B(&S, C.Descriptor, false, false);
      std::vector<Byte> Out(1000);
      B.SetPosition(1500);
      const int Code = NativeCodeOf([&] { B.Read(Out.data(), 10); });
      EXPECT_TRUE(Code == 10087 || Code == 10088 || Code == 10089) << Code;
      for (Int64 Pos : {Int64(0), Int64(2000)}) {
        B.SetPosition(Pos);
        ASSERT_EQ(B.Read(Out.data(), 1000), 1000);
        EXPECT_TRUE(std::equal(Out.begin(), Out.end(), C.Bytes.begin() + Pos));
      }
    }
  }
}

TEST_F(MdbBlobStreamTest, CutChainAndRepair) {
  Chain C;
  MakeChain(C, 3000, 1000);
  TMdbCompressedBLOBStream Probe(&C.Stream, C.Descriptor, false, false);
  const Int64 Third = Probe.Headers().Positions[2];
  auto Bytes = C.Saved();
  Bytes.resize(static_cast<std::size_t>(Third + 10));  // ends inside the third header
  TMdbMemoryStream S;
  Load(S, Bytes);
  EXPECT_EQ(NativeCodeOf([&] { TMdbCompressedBLOBStream B(&S, C.Descriptor, false, false); }), 10082);
  TMdbCompressedBLOBStream Repaired(&S, C.Descriptor, false, true);
  EXPECT_EQ(+Repaired.BLOBDescriptor().NumBlocks, 2);
  EXPECT_EQ(Repaired.Size(), 2000);
  EXPECT_EQ(ReadBlob(Repaired), std::vector<Byte>(C.Bytes.begin(), C.Bytes.begin() + 2000));
}

TEST_F(MdbBlobStreamTest, HostileChainsRaiseTheOpeningCode) {
  Chain C;
  MakeChain(C, 3000, 1000);
  const auto Bytes = C.Saved();
  for (std::size_t Cut = 0; Cut < Bytes.size(); ++Cut) {
    TMdbMemoryStream S;
    Load(S, std::vector<Byte>(Bytes.begin(), Bytes.begin() + Cut));
    EXPECT_EQ(NativeCodeOf([&] { TMdbCompressedBLOBStream B(&S, C.Descriptor, false, false); }), 10082) << Cut;
    EXPECT_EQ(S.Size(), Int64(Cut));
  }
  struct Case {
    const char* What;
    void (*Change)(TMdbBLOBDescriptor&);
  };
  const Case Cases[] = {{"negative count", [](TMdbBLOBDescriptor& D) { D.NumBlocks = -1; }},
                        {"huge count", [](TMdbBLOBDescriptor& D) { D.NumBlocks = Int64(1) << 40; }},
                        {"sizes disagree", [](TMdbBLOBDescriptor& D) { D.UncompressedSize += 1; }},
                        {"block size", [](TMdbBLOBDescriptor& D) { D.BlockSize = 0; }},
                        {"smaller blocks", [](TMdbBLOBDescriptor& D) { D.BlockSize = 999; }}};
  for (const auto& K : Cases) {
    TMdbBLOBDescriptor D = C.Descriptor;
    K.Change(D);
    EXPECT_EQ(NativeCodeOf([&] { TMdbCompressedBLOBStream B(&C.Stream, D, false, false); }), 10082) << K.What;
  }
  // Random flips: a clean open and read, or one of the chain's codes; never a crash.
  std::mt19937 Rng(17);
  for (int Round = 0; Round < 400; ++Round) {
    auto Bad = Bytes;
    Bad[Rng() % Bad.size()] ^= Byte(1u << (Rng() % 8));
    TMdbMemoryStream S;
    Load(S, Bad);
    const int Code = NativeCodeOf([&] {
      TMdbCompressedBLOBStream B(&S, C.Descriptor, false, Round % 2 == 0);
      std::vector<Byte> Out(static_cast<std::size_t>(B.Size()));
      B.Read(Out.data(), Int64(Out.size()));
    });
    EXPECT_TRUE(Code == -1 || Code == 10082 || Code == 10083 || (Code >= 10086 && Code <= 10089)) << Code;
  }
}

TEST_F(MdbBlobStreamTest, PlainFormat) {
  TMdbMemoryStream S;
  S.Write("head", 4);
  const auto Bytes = Data(500);
  TMdbBLOBDescriptor D = Descriptor(0, acaNone, 0, 4);
  {
    TMdbCompressedBLOBStream B(&S, D, true, false);
    B.Write(Bytes.data(), 500);
    D = B.BLOBDescriptor();
    EXPECT_EQ(+D.UncompressedSize, 500);
    EXPECT_EQ(B.CompressionRate(), 0);
  }
  S.Write("tail", 4);  // bytes behind the BLOB are not its own
  TMdbCompressedBLOBStream B(&S, D, false, false);
  std::vector<Byte> Out(600);
  EXPECT_EQ(B.Read(Out.data(), 600), 500);
  EXPECT_TRUE(std::equal(Bytes.begin(), Bytes.end(), Out.begin()));
  D.UncompressedSize = 10000;
  EXPECT_EQ(NativeCodeOf([&] { TMdbCompressedBLOBStream Bad(&S, D, false, false); }), 10081);
  D.StartPosition = -3;
  EXPECT_EQ(NativeCodeOf([&] { TMdbCompressedBLOBStream Bad(&S, D, false, false); }), 10103);
}

// A stream that refuses writes beyond a byte budget.
class TLimitedStream : public TMdbMemoryStream {
 public:
  Int64 Budget = 0;
  Int64 Write(const void* Buffer, Int64 Count) override {
    const Int64 N = std::min(Count, std::max<Int64>(Budget, 0));
    Budget -= N;
    return N > 0 ? TMdbMemoryStream::Write(Buffer, N) : 0;
  }
};

TEST_F(MdbBlobStreamTest, FailedWriteKeepsWhatWasWritten) {
  TLimitedStream S;
  S.Budget = 1 << 30;
  TMdbCompressedBLOBStream B(&S, Descriptor(1000, acaZLIB, 1), true, false);
  const auto Bytes = Data(5000);
  B.Write(Bytes.data(), 2000);
  S.Budget = 30;  // the next block's header fits, its data does not
  EXPECT_EQ(NativeCodeOf([&] { B.Write(Bytes.data() + 2000, 3000); }), 10101);
  EXPECT_EQ(B.Size(), 2000);
  EXPECT_EQ(+B.BLOBDescriptor().NumBlocks, 2);
  EXPECT_EQ(+B.BLOBDescriptor().UncompressedSize, 2000);
  S.Budget = 1 << 30;
  TMdbCompressedBLOBStream Again(&S, B.BLOBDescriptor(), false, false);
  EXPECT_EQ(ReadBlob(Again), std::vector<Byte>(Bytes.begin(), Bytes.begin() + 2000));
}

}  // namespace
