#include "engines/mdb/runtime/MdbPPM.h"

#include <algorithm>
#include <cstring>
#include <vector>

// A prediction-by-partial-matching coder of our own behind the framing: contexts of order 1 up to the
// preset's order are found by a hash of the bytes before the current one; each holds its symbols with
// counts. A symbol is coded in the longest context that has been seen, escaping to shorter ones while
// it is missing there. Whether a context escapes is coded first, as a binary event whose odds are
// learnt per class of context (its order, how many symbols it has, how often it was seen): on data
// without structure escapes become nearly free, so such input grows by only a little. The order-0
// context holds every byte value, so an escape from it can only mean the end of the data. When the statistics
// outgrow the preset's memory the model restarts from its initial state. Encoder and decoder apply the
// same updates, so the model needs no side information and a given input always gives the same bytes.
namespace {

constexpr std::uint32_t kTop = 1u << 24;
constexpr std::uint32_t kBottom = 1u << 15;
constexpr std::uint32_t kMaxTotal = 1u << 13;  // totals stay far below kBottom, so Range / Total >= 1
constexpr std::uint32_t kVariant = 6;

struct TSymbol {
  Byte Sym;
  std::uint16_t Freq;
};

struct TContext {
  std::vector<TSymbol> Symbols;
  std::uint32_t Total = 0;  // sum of the symbol counts
};

// The carry-less range coder, exactly as the format fixes it.
class TRangeEncoder {
 public:
  TRangeEncoder(Byte* Out, std::int64_t Space) : FOut(Out), FSpace(Space) {}
  void Encode(std::uint32_t L, std::uint32_t H, std::uint32_t T) {
    FRange /= T;
    FLow += FRange * L;
    FRange *= H - L;
    Normalize();
  }
  void Flush() {
    for (int i = 0; i < 4; ++i) {
      Put(static_cast<Byte>(FLow >> 24));
      FLow <<= 8;
    }
  }
  bool Overflow() const { return FOverflow; }
  std::int64_t Written() const { return FWritten; }

 private:
  void Normalize() {
    while (true) {
      if ((FLow ^ (FLow + FRange)) >= kTop) {
        if (FRange >= kBottom) break;
        FRange = (0u - FLow) & (kBottom - 1);
      }
      Put(static_cast<Byte>(FLow >> 24));
      FLow <<= 8;
      FRange <<= 8;
    }
  }
  void Put(Byte b) {
    if (FWritten >= FSpace) {
      FOverflow = true;
      return;
    }
    FOut[FWritten++] = b;
  }
  Byte* FOut;
  std::int64_t FSpace;
  std::int64_t FWritten = 0;
  bool FOverflow = false;
  std::uint32_t FLow = 0;
  std::uint32_t FRange = 0xFFFFFFFFu;
};

class TRangeDecoder {
 public:
  TRangeDecoder(const Byte* In, std::int64_t Size) : FIn(In), FSize(Size) {
    for (int i = 0; i < 4; ++i) FCode = (FCode << 8) | Get();
  }
  // The count the next symbol falls on; false when damaged data points outside the total.
  bool GetFreq(std::uint32_t T, std::uint32_t& Freq) {
    FRange /= T;
    Freq = (FCode - FLow) / FRange;
    return Freq < T;
  }
  void Decode(std::uint32_t L, std::uint32_t H) {
    FLow += FRange * L;
    FRange *= H - L;
    while (true) {
      if ((FLow ^ (FLow + FRange)) >= kTop) {
        if (FRange >= kBottom) break;
        FRange = (0u - FLow) & (kBottom - 1);
      }
      FCode = (FCode << 8) | Get();
      FLow <<= 8;
      FRange <<= 8;
    }
  }
  bool Overrun() const { return FOverrun; }

 private:
  Byte Get() {
    if (FPos >= FSize) {
      FOverrun = true;  // never reads past the buffer; the caller fails the call
      return 0;
    }
    return FIn[FPos++];
  }
  const Byte* FIn;
  std::int64_t FSize;
  std::int64_t FPos = 0;
  bool FOverrun = false;
  std::uint32_t FLow = 0;
  std::uint32_t FRange = 0xFFFFFFFFu;
  std::uint32_t FCode = 0;
};

class TModel {
 public:
  TModel(int Order, int MemoryMB) : FOrder(Order), FBudget(std::int64_t(MemoryMB) * 1048576) {
    InitTable();
    Restart();
  }

  // The contexts to try for the next symbol, longest first (those seen so far).
  void Candidates(std::vector<std::pair<TContext*, int>>& Out) {
    Out.clear();
    ComputeHashes();
    for (int k = std::min<int>(FOrder, static_cast<int>(FHistoryLength)); k >= 1; --k) {
      TContext* C = Find(FHashes[k]);
      if (C != nullptr && !C->Symbols.empty()) Out.push_back({C, k});
    }
  }
  TContext& Order0() { return FOrder0; }

  // After a symbol was coded: counts up where it was found, added with count 1 where it escaped and
  // to every longer context not yet seen.
  void Update(Byte Sym) {
    for (int k = 1; k <= std::min<int>(FOrder, static_cast<int>(FHistoryLength)); ++k) {
      Bump(FindOrAdd(FHashes[k]), Sym);
    }
    Bump(FOrder0, Sym);
    FHistory[FHistoryStart] = Sym;
    FHistoryStart = (FHistoryStart + 1) % kMaxOrder;
    if (FHistoryLength < kMaxOrder) ++FHistoryLength;
    if (FUsed > FBudget) Restart();
  }

  // The learnt odds of an escape for contexts like C of order Order: {escape count, hit count}.
  std::uint16_t* EscapeOdds(const TContext& C, int Order) {
    const std::size_t d = C.Symbols.size();
    const int Distinct = d >= 8 ? 7 : static_cast<int>(d) - 1;
    const std::uint32_t n = C.Total;
    const int Seen = n <= d ? 0 : n <= 2 * d ? 1 : n <= 4 * d ? 2 : 3;
    return FSee[Order][Distinct][Seen];
  }
  static void Learn(std::uint16_t* Odds, bool Escaped) {
    Odds[Escaped ? 0 : 1] += 24;
    if (Odds[0] + Odds[1] > 4096) {
      Odds[0] = static_cast<std::uint16_t>((Odds[0] + 1) / 2);
      Odds[1] = static_cast<std::uint16_t>((Odds[1] + 1) / 2);
    }
  }

 private:
  static constexpr int kMaxOrder = 16;
  // What a context and a symbol cost in the hash table and its lists, allocator overhead included.
  static constexpr std::int64_t kContextCost = 128;
  static constexpr std::int64_t kSymbolCost = 8;

  void Restart() {
    for (auto& PerOrder : FSee)
      for (auto& PerDistinct : PerOrder)
        for (auto& Odds : PerDistinct) {
          Odds[0] = 8;
          Odds[1] = 8;
        }
    // The contexts' symbol lists keep their storage for the next round of the model.
    for (std::size_t i = 0; i < FUsedContexts; ++i) {
      FPool[i].Symbols.clear();
      FPool[i].Total = 0;
    }
    FUsedContexts = 0;
    std::fill(FSlots.begin(), FSlots.end(), kEmpty);
    FUsed = 0;
    FOrder0.Symbols.clear();
    for (int b = 0; b < 256; ++b) FOrder0.Symbols.push_back({static_cast<Byte>(b), 1});
    FOrder0.Total = 256;
  }

  void ComputeHashes() {
    std::uint64_t h = 0x9E3779B97F4A7C15ull;
    for (int k = 1; k <= std::min<int>(FOrder, static_cast<int>(FHistoryLength)); ++k) {
      const Byte b = FHistory[(FHistoryStart + kMaxOrder - k) % kMaxOrder];
      h = (h ^ b) * 0x100000001B3ull + static_cast<std::uint64_t>(k);
      FHashes[k] = h ^ (h >> 29);
    }
  }

  void Bump(TContext& C, Byte Sym) {
    auto It = std::find_if(C.Symbols.begin(), C.Symbols.end(), [Sym](const TSymbol& s) { return s.Sym == Sym; });
    if (It == C.Symbols.end()) {
      C.Symbols.push_back({Sym, 1});
      C.Total += 1;
      FUsed += kSymbolCost;
    } else {
      It->Freq += 1;
      C.Total += 1;
      // Keep the more frequent symbols in front: the searches above stop sooner.
      while (It != C.Symbols.begin() && (It - 1)->Freq < It->Freq) {
        std::iter_swap(It, It - 1);
        --It;
      }
    }
    if (C.Total > kMaxTotal) {
      C.Total = 0;
      for (auto& s : C.Symbols) {
        s.Freq = static_cast<std::uint16_t>((s.Freq + 1) / 2);
        C.Total += s.Freq;
      }
    }
  }

  int FOrder;
  std::int64_t FBudget;
  std::int64_t FUsed = 0;
  // Contexts by hash: open addressing over indexes into a pool sized for the memory budget, so finding
  // and making a context costs no allocation.
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  TContext* Find(std::uint64_t Key) {
    for (std::size_t i = Key & FMask;; i = (i + 1) & FMask) {
      const std::uint32_t Index = FSlots[i];
      if (Index == kEmpty) return nullptr;
      if (FKeys[i] == Key) return &FPool[Index];
    }
  }
  TContext& FindOrAdd(std::uint64_t Key) {
    if ((FUsedContexts + 1) * 2 > FSlots.size()) Grow();
    std::size_t i = Key & FMask;
    for (;; i = (i + 1) & FMask) {
      const std::uint32_t Index = FSlots[i];
      if (Index == kEmpty) break;
      if (FKeys[i] == Key) return FPool[Index];
    }
    if (FUsedContexts == FPool.size()) FPool.emplace_back();
    FSlots[i] = static_cast<std::uint32_t>(FUsedContexts);
    FKeys[i] = Key;
    FUsed += kContextCost;
    return FPool[FUsedContexts++];
  }
  void InitTable() {
    FSlots.assign(1024, kEmpty);
    FKeys.assign(1024, 0);
    FMask = 1023;
  }
  // At most half the slots are in use, which keeps the probes short.
  void Grow() {
    std::vector<std::uint32_t> OldSlots(FSlots.size() * 2, kEmpty);
    std::vector<std::uint64_t> OldKeys(FKeys.size() * 2, 0);
    OldSlots.swap(FSlots);
    OldKeys.swap(FKeys);
    FMask = FSlots.size() - 1;
    for (std::size_t j = 0; j < OldSlots.size(); ++j) {
      if (OldSlots[j] == kEmpty) continue;
      std::size_t i = OldKeys[j] & FMask;
      while (FSlots[i] != kEmpty) i = (i + 1) & FMask;
      FSlots[i] = OldSlots[j];
      FKeys[i] = OldKeys[j];
    }
  }
  std::vector<std::uint32_t> FSlots;
  std::vector<std::uint64_t> FKeys;
  std::size_t FMask = 0;
  std::vector<TContext> FPool;
  std::size_t FUsedContexts = 0;
  TContext FOrder0;
  Byte FHistory[kMaxOrder] = {};
  int FHistoryStart = 0;
  std::size_t FHistoryLength = 0;
  std::uint64_t FHashes[kMaxOrder + 1] = {};
  std::uint16_t FSee[kMaxOrder + 1][8][4][2] = {};
};

// The interval of Sym in C, or false when C does not hold it.
bool FindInterval(const TContext& C, Byte Sym, std::uint32_t& L, std::uint32_t& H) {
  std::uint32_t Cum = 0;
  for (const auto& s : C.Symbols) {
    if (s.Sym == Sym) {
      L = Cum;
      H = Cum + s.Freq;
      return true;
    }
    Cum += s.Freq;
  }
  return false;
}

void StoreU32(Byte* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<Byte>(v >> (8 * i));
}

}  // namespace

std::uint32_t PPMHeaderWord(int Order, int MemoryMB) {
  return (kVariant << 12) + static_cast<std::uint32_t>((MemoryMB - 1) & 0xFF) * 16u +
         static_cast<std::uint32_t>((Order - 1) & 0xF);
}

std::int32_t PPMCompress(const void* InBuf, std::uint32_t InSize, void* OutBuf, std::int32_t OutSpace, int Order,
                         int MemoryMB) {
  if (Order < 1 || Order > 16 || MemoryMB < 1 || MemoryMB > 256 || OutSpace < 8 || (InBuf == nullptr && InSize > 0))
    return 0;
  auto* Out = static_cast<Byte*>(OutBuf);
  StoreU32(Out, PPMHeaderWord(Order, MemoryMB));
  TModel Model(Order, MemoryMB);
  TRangeEncoder Coder(Out + 4, OutSpace - 4);
  const auto* In = static_cast<const Byte*>(InBuf);
  std::vector<std::pair<TContext*, int>> Contexts;
  for (std::uint64_t i = 0; i <= InSize; ++i) {
    const bool End = i == InSize;
    const Byte Sym = End ? 0 : In[i];
    Model.Candidates(Contexts);
    bool Coded = false;
    for (auto [C, Order] : Contexts) {
      std::uint32_t L, H;
      const bool Present = !End && FindInterval(*C, Sym, L, H);
      std::uint16_t* Odds = Model.EscapeOdds(*C, Order);
      const std::uint32_t Hit = Odds[1], Total = std::uint32_t(Odds[0]) + Odds[1];
      if (Present) Coder.Encode(0, Hit, Total);
      else Coder.Encode(Hit, Total, Total);
      TModel::Learn(Odds, !Present);
      if (Present) {
        Coder.Encode(L, H, C->Total);
        Coded = true;
        break;
      }
    }
    if (!Coded) {
      TContext& Z = Model.Order0();
      std::uint32_t L = 0, H = 0;
      if (End) {
        Coder.Encode(Z.Total, Z.Total + 1, Z.Total + 1);
      } else {
        FindInterval(Z, Sym, L, H);
        Coder.Encode(L, H, Z.Total + 1);
      }
    }
    if (Coder.Overflow()) return 0;
    if (!End) Model.Update(Sym);
  }
  Coder.Flush();
  if (Coder.Overflow()) return 0;
  return static_cast<std::int32_t>(Coder.Written() + 4);
}

std::int32_t PPMDecompress(const void* InBuf, std::int32_t InSize, void* OutBuf, std::int32_t OutSpace) {
  if (InBuf == nullptr || InSize < 8 || OutSpace < 0) return 0;
  const auto* In = static_cast<const Byte*>(InBuf);
  const std::uint32_t Word = std::uint32_t(In[0]) | std::uint32_t(In[1]) << 8 | std::uint32_t(In[2]) << 16 |
                             std::uint32_t(In[3]) << 24;
  if ((Word >> 12) != kVariant) return 0;
  const int Order = static_cast<int>(Word & 0xF) + 1;
  const int MemoryMB = static_cast<int>((Word >> 4) & 0xFF) + 1;
  TModel Model(Order, MemoryMB);
  TRangeDecoder Coder(In + 4, InSize - 4);
  auto* Out = static_cast<Byte*>(OutBuf);
  std::int64_t Produced = 0;
  std::vector<std::pair<TContext*, int>> Contexts;
  while (true) {
    Model.Candidates(Contexts);
    bool Found = false;
    Byte Sym = 0;
    for (auto [C, Order] : Contexts) {
      std::uint16_t* Odds = Model.EscapeOdds(*C, Order);
      const std::uint32_t Hit = Odds[1], Total = std::uint32_t(Odds[0]) + Odds[1];
      std::uint32_t F;
      if (!Coder.GetFreq(Total, F)) return 0;
      const bool Present = F < Hit;
      if (Present) Coder.Decode(0, Hit);
      else Coder.Decode(Hit, Total);
      TModel::Learn(Odds, !Present);
      if (!Present) continue;
      if (!Coder.GetFreq(C->Total, F)) return 0;
      std::uint32_t Cum = 0;
      for (const auto& s : C->Symbols) {
        if (F < Cum + s.Freq) {
          Coder.Decode(Cum, Cum + s.Freq);
          Sym = s.Sym;
          break;
        }
        Cum += s.Freq;
      }
      Found = true;
      break;
    }
    if (!Found) {
      TContext& Z = Model.Order0();
      std::uint32_t F;
      if (!Coder.GetFreq(Z.Total + 1, F)) return 0;
      if (F >= Z.Total) {
        Coder.Decode(Z.Total, Z.Total + 1);
        break;  // the end of the data
      }
      std::uint32_t Cum = 0;
      for (const auto& s : Z.Symbols) {
        if (F < Cum + s.Freq) {
          Coder.Decode(Cum, Cum + s.Freq);
          Sym = s.Sym;
          break;
        }
        Cum += s.Freq;
      }
    }
    if (Coder.Overrun() || Produced >= OutSpace) return 0;
    Out[Produced++] = Sym;
    Model.Update(Sym);
  }
  if (Coder.Overrun()) return 0;
  return static_cast<std::int32_t>(Produced);
}
