// The PPM coder through the dispatch: header words, round trips per mode, determinism, the model's
// restart, the offered space, foreign headers and damaged input.
#include "engines/mdb/runtime/MdbPPM.h"

#include <cstring>
#include <random>

#include "engines/mdb/runtime/MdbCompression.h"
#include "MdbTestSupport.h"

namespace {

std::vector<Byte> Text(std::size_t N) {
  std::vector<Byte> v(N);
  const char* Words = "select name, salary from customers where birthdate > 1990 order by name; ";
  for (std::size_t i = 0; i < N; ++i) v[i] = Byte(Words[(i * 5 / 3) % 74]);
  return v;
}

std::vector<Byte> Noise(std::size_t N, unsigned Seed = 4) {
  std::mt19937 Rng(Seed);
  std::vector<Byte> v(N);
  for (auto& b : v) b = Byte(Rng());
  return v;
}

std::vector<Byte> Pack(Byte Mode, const std::vector<Byte>& In) {
  void* Out = nullptr;
  std::int32_t Size = 0;
  EXPECT_TRUE(CompressBuffer(acaPPM, Mode, In.data(), std::int32_t(In.size()), Out, Size));
  std::vector<Byte> R(static_cast<Byte*>(Out), static_cast<Byte*>(Out) + Size);
  FreeRuntimeBuffer(Out);
  return R;
}

bool Unpack(const std::vector<Byte>& In, std::int32_t Expected, std::vector<Byte>& Out) {
  void* Buf = nullptr;
  std::int32_t Size = Expected;
  const bool Ok = DecompressBuffer(acaPPM, In.data(), std::int32_t(In.size()), Buf, Size);
  Out.assign(static_cast<Byte*>(Buf), static_cast<Byte*>(Buf) + (Ok ? Size : 0));
  FreeRuntimeBuffer(Buf);
  return Ok;
}

std::uint32_t HeaderWord(const std::vector<Byte>& Packed) {
  return std::uint32_t(Packed[0]) | std::uint32_t(Packed[1]) << 8 | std::uint32_t(Packed[2]) << 16 | std::uint32_t(Packed[3]) << 24;
}

TEST(MdbPPM, HeaderWordsAndRoundTrips) {
  const std::uint32_t Words[10] = {0, 0x6011, 0, 0, 0, 0x61D6, 0x61D7, 0, 0, 0x663F};
  for (Byte Mode = 1; Mode <= 9; ++Mode) {
    for (const auto& Data : {std::vector<Byte>{'x'}, Text(20000), Noise(3000)}) {
      const auto Packed = Pack(Mode, Data);
      ASSERT_GE(Packed.size(), 8u);
      int Order, Memory;
      PPMPreset(Mode, Order, Memory);
      EXPECT_EQ(HeaderWord(Packed), PPMHeaderWord(Order, Memory));
      if (Words[Mode]) {
        EXPECT_EQ(HeaderWord(Packed), Words[Mode]);
      }
      std::vector<Byte> Back;
      ASSERT_TRUE(Unpack(Packed, std::int32_t(Data.size()), Back)) << int(Mode) << " " << Data.size();
      EXPECT_EQ(Back, Data);
      EXPECT_EQ(Pack(Mode, Data), Packed);  // the model starts afresh on every call
    }
  }
  EXPECT_LT(Pack(4, Text(20000)).size(), 2000u);
}

TEST(MdbPPM, ModelRestartsWhenItsMemoryIsFull) {
  // Noise in the smallest preset fills its model memory several times over.
  const auto Data = Noise(200000, 8);
  const auto Packed = Pack(1, Data);
  std::vector<Byte> Back;
  ASSERT_TRUE(Unpack(Packed, std::int32_t(Data.size()), Back));
  EXPECT_EQ(Back, Data);
}

TEST(MdbPPM, NeverWritesPastTheOfferedSpace) {
  const auto Data = Noise(1000);
  std::vector<Byte> Out(1100, 0xEE);
  EXPECT_EQ(PPMCompress(Data.data(), 1000, Out.data(), 500, 4, 7), 0);
  for (std::size_t i = 500; i < Out.size(); ++i) ASSERT_EQ(Out[i], 0xEE);
  const auto Packed = Pack(3, Text(5000));
  std::vector<Byte> Back;
  EXPECT_FALSE(Unpack(Packed, 4999, Back));  // more data than the caller expects
  EXPECT_TRUE(Unpack(Packed, 6000, Back));   // room to spare: the data ends at its end code
  EXPECT_EQ(Back.size(), 5000u);
}

TEST(MdbPPM, ForeignAndDamagedBuffers) {
  const auto Data = Text(4000);
  const auto Packed = Pack(5, Data);
  std::vector<Byte> Back;
  auto Foreign = Packed;
  Foreign[1] = Byte((Foreign[1] & 0x0F) | 0x70);  // variant 7
  EXPECT_FALSE(Unpack(Foreign, 4000, Back));
  Foreign = Packed;
  Foreign[2] = 1;  // a bit of 16..31
  EXPECT_FALSE(Unpack(Foreign, 4000, Back));
  for (std::size_t Cut = 0; Cut < Packed.size(); Cut += 7) {
    const std::vector<Byte> Short(Packed.begin(), Packed.begin() + Cut);
    if (Unpack(Short, 4000, Back)) {
      EXPECT_NE(Back, Data) << Cut;
    }
  }
  std::mt19937 Rng(31);
  for (int Round = 0; Round < 200; ++Round) {
    auto Bad = Packed;
    Bad[4 + Rng() % (Bad.size() - 4)] ^= Byte(1u << (Rng() % 8));
    Unpack(Bad, 4000, Back);  // sanitizers watch for reads and writes outside the buffers
    EXPECT_LE(Back.size(), 4000u);
  }
}

}  // namespace
