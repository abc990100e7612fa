// Mdb runtime: compression through the dispatch against zlib called directly, bzip2 by mode, a memory
// stream written in small pieces, and a compressed BLOB chain written and read.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <random>
#include <vector>

#include "engines/mdb/runtime/MdbBlobStream.h"
#include "engines/mdb/runtime/MdbCompression.h"
#include "engines/mdb/runtime/MdbRuntime.h"
#include "engines/mdb/runtime/MdbStreams.h"

namespace {

// Table-like bytes: repeated words with some noise, about what a saved table body looks like.
std::vector<Byte> Sample(std::size_t N) {
  std::vector<Byte> v(N);
  std::mt19937 Rng(1);
  const char* Words = "customer contact birthdate salary address comment ";
  for (std::size_t i = 0; i < N; ++i) v[i] = (i % 16) < 12 ? Byte(Words[(i * 3) % 50]) : Byte(Rng());
  return v;
}

const std::vector<Byte>& FiveMB() {
  static const std::vector<Byte> Data = Sample(5 * 1024 * 1024);
  return Data;
}

void BM_ZlibDispatchLevel1(benchmark::State& State) {
  const auto& In = FiveMB();
  for (auto _ : State) {
    void* Out = nullptr;
    std::int32_t Size = 0;
    benchmark::DoNotOptimize(CompressBuffer(acaZLIB, 1, In.data(), std::int32_t(In.size()), Out, Size));
    FreeRuntimeBuffer(Out);
  }
  State.SetBytesProcessed(State.iterations() * Int64(In.size()));
}
BENCHMARK(BM_ZlibDispatchLevel1)->Unit(benchmark::kMillisecond);

void BM_ZlibDirectLevel1(benchmark::State& State) {
  const auto& In = FiveMB();
  std::vector<Byte> Out(compressBound(uLong(In.size())));
  for (auto _ : State) {
    uLongf Size = Out.size();
    benchmark::DoNotOptimize(compress2(Out.data(), &Size, In.data(), uLong(In.size()), 1));
  }
  State.SetBytesProcessed(State.iterations() * Int64(In.size()));
}
BENCHMARK(BM_ZlibDirectLevel1)->Unit(benchmark::kMillisecond);

void BM_Compress(benchmark::State& State) {
  const auto Algorithm = static_cast<TMdbCompressionAlgorithm>(State.range(0));
  const auto Mode = static_cast<Byte>(State.range(1));
  const auto& In = FiveMB();
  for (auto _ : State) {
    void* Out = nullptr;
    std::int32_t Size = 0;
    if (!CompressBuffer(Algorithm, Mode, In.data(), std::int32_t(In.size()), Out, Size)) State.SkipWithError("failed");
    FreeRuntimeBuffer(Out);
  }
  State.SetBytesProcessed(State.iterations() * Int64(In.size()));
}
BENCHMARK(BM_Compress)
    ->Args({acaBZIP, 1})
    ->Args({acaBZIP, 9})
    ->Args({acaPPM, 1})
    ->Args({acaPPM, 5})
    ->Args({acaPPM, 9})
    ->Unit(benchmark::kMillisecond);

void BM_Decompress(benchmark::State& State) {
  const auto Algorithm = static_cast<TMdbCompressionAlgorithm>(State.range(0));
  const auto& In = FiveMB();
  void* Packed = nullptr;
  std::int32_t PackedSize = 0;
  CompressBuffer(Algorithm, Byte(State.range(1)), In.data(), std::int32_t(In.size()), Packed, PackedSize);
  for (auto _ : State) {
    void* Out = nullptr;
    std::int32_t Size = std::int32_t(In.size());
    if (!DecompressBuffer(Algorithm, Packed, PackedSize, Out, Size)) State.SkipWithError("failed");
    FreeRuntimeBuffer(Out);
  }
  FreeRuntimeBuffer(Packed);
  State.SetBytesProcessed(State.iterations() * Int64(In.size()));
}
BENCHMARK(BM_Decompress)
    ->Args({acaZLIB, 1})
    ->Args({acaBZIP, 1})
    ->Args({acaBZIP, 9})
    ->Args({acaPPM, 1})
    ->Args({acaPPM, 5})
    ->Args({acaPPM, 9})
    ->Unit(benchmark::kMillisecond);

// 50 MB in 100-byte pieces: the growth steps keep it linear.
void BM_MemoryStreamSmallWrites(benchmark::State& State) {
  const std::int64_t Total = State.range(0) * 1024 * 1024;
  Byte Piece[100] = {};
  for (auto _ : State) {
    TMdbMemoryStream S;
    for (std::int64_t Done = 0; Done < Total; Done += 100) S.Write(Piece, 100);
    benchmark::DoNotOptimize(S.Size());
  }
  State.SetBytesProcessed(State.iterations() * Total);
}
BENCHMARK(BM_MemoryStreamSmallWrites)->Arg(10)->Arg(50)->Unit(benchmark::kMillisecond);

void BM_BlobChainWriteRead(benchmark::State& State) {
  const auto In = Sample(10 * 1024 * 1024);
  std::vector<Byte> Back(In.size());
  for (auto _ : State) {
    TMdbMemoryStream Store;
    TMdbBLOBDescriptor D;
    D.CompressionAlgorithm = acaZLIB;
    D.CompressionMode = 1;
    TMdbCompressedBLOBStream Blob(&Store, D, true, false);
    for (std::size_t Off = 0; Off < In.size(); Off += 65536) Blob.Write(In.data() + Off, 65536);
    Blob.SetPosition(0);
    Blob.Read(Back.data(), Int64(Back.size()));
  }
  State.SetBytesProcessed(State.iterations() * Int64(In.size()));
}
BENCHMARK(BM_BlobChainWriteRead)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  TMdbRuntimeScope Runtime;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
