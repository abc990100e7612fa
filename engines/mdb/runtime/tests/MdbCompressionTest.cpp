// The compression dispatch over zlib and bzip2: the truth table by algorithm, mode and size, damaged
// input, growth from a poor size estimate, and the algorithm names.
#include "engines/mdb/runtime/MdbCompression.h"

#include <zlib.h>

#include <cstring>
#include <random>

#include "MdbTestSupport.h"

namespace {

std::vector<Byte> Text(std::size_t N) {
  std::vector<Byte> v(N);
  const char* Words = "the quick brown fox jumps over the lazy dog ";
  for (std::size_t i = 0; i < N; ++i) v[i] = Byte(Words[(i * 7 / 5) % 44]);
  return v;
}

std::vector<Byte> Noise(std::size_t N) {
  std::mt19937 Rng(3);
  std::vector<Byte> v(N);
  for (auto& b : v) b = Byte(Rng());
  return v;
}

struct Result {
  bool Ok;
  std::vector<Byte> Bytes;
};

Result Compress(TMdbCompressionAlgorithm A, Byte Mode, const std::vector<Byte>& In) {
  void* Out = nullptr;
  std::int32_t Size = 0;
  const bool Ok = CompressBuffer(A, Mode, In.data(), std::int32_t(In.size()), Out, Size);
  Result R{Ok, {}};
  if (Ok) R.Bytes.assign(static_cast<Byte*>(Out), static_cast<Byte*>(Out) + Size);
  else EXPECT_EQ(Out, nullptr);
  FreeRuntimeBuffer(Out);
  return R;
}

Result Decompress(TMdbCompressionAlgorithm A, const std::vector<Byte>& In, std::int32_t Expected) {
  void* Out = nullptr;
  std::int32_t Size = Expected;
  const bool Ok = DecompressBuffer(A, In.data(), std::int32_t(In.size()), Out, Size);
  Result R{Ok, {}};
  if (Ok) R.Bytes.assign(static_cast<Byte*>(Out), static_cast<Byte*>(Out) + Size);
  else EXPECT_EQ(Out, nullptr);
  FreeRuntimeBuffer(Out);
  return R;
}

TEST(MdbCompression, TruthTable) {
  struct Case {
    TMdbCompressionAlgorithm Algorithm;
    Byte Mode;
    bool Works;
  };
  const Case Cases[] = {{acaNone, 1, false}, {acaZLIB, 0, true},  {acaZLIB, 1, true},  {acaZLIB, 9, true},
                        {acaZLIB, 10, false}, {acaBZIP, 0, false}, {acaBZIP, 1, true},  {acaBZIP, 9, true},
                        {acaBZIP, 10, false}, {acaPPM, 0, false},  {acaPPM, 1, true},   {acaPPM, 6, true},  {acaPPM, 10, false}, {TMdbCompressionAlgorithm(4), 1, false}};
  for (std::size_t Size : {std::size_t(1), std::size_t(1000), std::size_t(60000)}) {
    for (const auto& Data : {Text(Size), Noise(Size)}) {
      for (const auto& C : Cases) {
        const Result R = Compress(C.Algorithm, C.Mode, Data);
        EXPECT_EQ(R.Ok, C.Works) << int(C.Algorithm) << "/" << int(C.Mode) << " size " << Size;
        if (!R.Ok) continue;
        const Result Back = Decompress(C.Algorithm, R.Bytes, std::int32_t(Data.size()));
        ASSERT_TRUE(Back.Ok);
        EXPECT_EQ(Back.Bytes, Data);
      }
    }
  }
  // Nothing to compress.
  void* Out = reinterpret_cast<void*>(0x10);
  std::int32_t Size = 5;
  EXPECT_FALSE(CompressBuffer(acaZLIB, 1, "x", 0, Out, Size));
  EXPECT_EQ(Out, reinterpret_cast<void*>(0x10));
  EXPECT_EQ(Size, 0);
}

TEST(MdbCompression, OutputIsOnePlainStream) {
  const auto Data = Text(5000);
  // Level 0 stores: slightly larger than the input, and zlib's own inflater reads it.
  const Result Stored = Compress(acaZLIB, 0, Data);
  ASSERT_TRUE(Stored.Ok);
  EXPECT_GT(Stored.Bytes.size(), Data.size());
  std::vector<Byte> Plain(Data.size());
  uLongf PlainSize = Plain.size();
  ASSERT_EQ(uncompress(Plain.data(), &PlainSize, Stored.Bytes.data(), Stored.Bytes.size()), Z_OK);
  EXPECT_EQ(Plain, Data);
  const Result Bz = Compress(acaBZIP, 9, Data);
  ASSERT_TRUE(Bz.Ok);
  EXPECT_EQ(std::string(Bz.Bytes.begin(), Bz.Bytes.begin() + 4), "BZh9");
}

TEST(MdbCompression, PoorEstimatesStillDecompressWhole) {
  const auto Data = Text(200000);
  for (auto A : {acaZLIB, acaBZIP}) {
    const Result C = Compress(A, 6, Data);
    ASSERT_TRUE(C.Ok);
    for (std::int32_t Expected : {1, 0, 100, 200000, 400000}) {
      const Result D = Decompress(A, C.Bytes, Expected);
      ASSERT_TRUE(D.Ok) << int(A) << " " << Expected;
      EXPECT_EQ(D.Bytes, Data);
    }
  }
}

TEST(MdbCompression, DamagedInputFails) {
  const auto Data = Text(20000);
  for (auto A : {acaZLIB, acaBZIP}) {
    const Result C = Compress(A, 5, Data);
    ASSERT_TRUE(C.Ok);
    for (std::size_t Cut : {std::size_t(1), std::size_t(10), C.Bytes.size() / 2, C.Bytes.size() - 1}) {
      const std::vector<Byte> Short(C.Bytes.begin(), C.Bytes.begin() + Cut);
      EXPECT_FALSE(Decompress(A, Short, 20000).Ok) << int(A) << " cut " << Cut;
    }
    std::mt19937 Rng(9);
    for (int Round = 0; Round < 50; ++Round) {
      std::vector<Byte> Bad = C.Bytes;
      Bad[Rng() % Bad.size()] ^= Byte(1u << (Rng() % 8));
      const Result D = Decompress(A, Bad, 20000);  // either a clean failure or some bytes
      if (D.Ok) {
        EXPECT_FALSE(D.Bytes.empty());
      }
    }
  }
  EXPECT_FALSE(Decompress(acaZLIB, {1, 2, 3}, 0).Ok);
  EXPECT_FALSE(Decompress(acaNone, {1, 2, 3}, 3).Ok);
}

TEST(MdbCompression, AlgorithmNames) {
  sys::SetSystemCodePage(936);
  EXPECT_EQ(CompressionAlgorithmFromName("zlib"), 1);
  EXPECT_EQ(CompressionAlgorithmFromName("ppmi"), 4);
  EXPECT_EQ(CompressionAlgorithmFromName("LZMA"), 0);
  EXPECT_EQ(CompressionAlgorithmName(3), "PPM");
  EXPECT_EQ(CompressionAlgorithmName(9), "");
  int Order = 0, Memory = 0;
  EXPECT_TRUE(PPMPreset(5, Order, Memory));
  EXPECT_EQ(Order, 7);
  EXPECT_EQ(Memory, 30);
  EXPECT_FALSE(PPMPreset(0, Order, Memory));
}

TEST(MdbCompression, WrapperErrorsNameTheLibrary) {
  try {
    ZLibCheck(-3);
    FAIL();
  } catch (const ECompressionError& E) {
    EXPECT_EQ(E.Message(), u"ZLib error -3: data error");
  }
  EXPECT_EQ(ZLibCheck(1), 1);
  try {
    BZip2CompressCheck(-2);
    FAIL();
  } catch (const EBZCompressionError& E) {
    EXPECT_EQ(E.Message(), u"error -2");
  }
  EXPECT_THROW(BZip2DecompressCheck(-4), EBZDecompressionError);
  EXPECT_THROW(BZip2InternalError(1001), EBZip2Error);
}

}  // namespace

// A zlib stream made piece by piece is the one CompressBuffer makes of the whole, whatever the pieces:
// empty, tiny, and larger than the writer's output block (incompressible noise), at several levels
// (level 0 only stores, and may cut its stored blocks elsewhere).
TEST(MdbCompression, PieceByPieceZLibStreamIsTheWholeOne) {
  std::vector<Byte> Data = Text(300000);
  const auto Tail = Noise(1500000);
  Data.insert(Data.end(), Tail.begin(), Tail.end());
  for (int Level : {0, 1, 6, 9}) {
    SCOPED_TRACE(Level);
    std::vector<Byte> Out;
    std::size_t Sinks = 0;
    TMdbZLibStreamWriter W(Level, [&](const void* P, std::int32_t n) {
      ++Sinks;
      Out.insert(Out.end(), static_cast<const Byte*>(P), static_cast<const Byte*>(P) + n);
    });
    std::size_t At = 0;
    for (std::size_t Piece : {std::size_t(0), std::size_t(1), std::size_t(7), std::size_t(65536), std::size_t(3)}) {
      W.Write(Data.data() + At, static_cast<Int64>(Piece));
      At += Piece;
    }
    W.Write(Data.data() + At, static_cast<Int64>(Data.size() - At));
    W.Finish();
    W.Finish();  // a second finish adds nothing
    EXPECT_EQ(W.TotalIn(), static_cast<Int64>(Data.size()));
    EXPECT_EQ(W.TotalOut(), static_cast<Int64>(Out.size()));
    EXPECT_GE(Sinks, 2u);
    const Result Whole = Compress(acaZLIB, static_cast<Byte>(Level), Data);
    ASSERT_TRUE(Whole.Ok);
    if (Level > 0) {
      EXPECT_EQ(Out, Whole.Bytes);
    }
    const Result Back = Decompress(acaZLIB, Out, static_cast<std::int32_t>(Data.size()));
    ASSERT_TRUE(Back.Ok);
    EXPECT_EQ(Back.Bytes, Data);
    EXPECT_THROW(W.Write(Data.data(), 1), ECompressionError);
  }
  EXPECT_THROW(TMdbZLibStreamWriter(12, [](const void*, std::int32_t) {}), ECompressionError);
}
