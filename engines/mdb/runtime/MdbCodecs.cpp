#include "engines/mdb/runtime/MdbCodecs.h"

#include <cstring>

#include "engines/mdb/runtime/MdbMemory.h"
#include "platform/rtl/Format.h"
#include "platform/sys/CodePage.h"

namespace {

[[noreturn]] void RangeError() { throw ERangeError(String(msg::SRangeError)); }

void* ToBlock(const AnsiString& Bytes) {
  if (Bytes.empty()) return nullptr;
  void* P = MdbMemoryManager->GetMem(static_cast<Int64>(Bytes.size()));
  std::memcpy(P, Bytes.data(), Bytes.size());
  return P;
}

int Base64Value(char C) {
  if (C >= 'A' && C <= 'Z') return C - 'A';
  if (C >= 'a' && C <= 'z') return C - 'a' + 26;
  if (C >= '0' && C <= '9') return C - '0' + 52;
  if (C == '+') return 62;
  if (C == '/') return 63;
  if (C == '=') return 64;
  return -1;
}

}  // namespace

AnsiString TFormat_HEX::Encode(const void* Value, std::int32_t Size) {
  AnsiString Out;
  if (!Value || Size <= 0) return Out;
  Out.reserve(static_cast<std::size_t>(Size) * 2);
  const auto* B = static_cast<const Byte*>(Value);
  for (std::int32_t i = 0; i < Size; ++i) {
    Out.push_back(kCharTable[B[i] >> 4]);
    Out.push_back(kCharTable[B[i] & 15]);
  }
  return Out;
}

AnsiString TFormat_HEX::Decode(std::string_view Value) {
  if (Value.empty()) RangeError();
  AnsiString Out;
  Out.reserve(Value.size() / 2);
  bool HighPending = false;
  bool PrefixSeen = false;
  for (char C : Value) {
    auto Pos = kCharTable.find(C);
    if (Pos == std::string_view::npos && C >= 'a' && C <= 'z') {
      Pos = kCharTable.substr(0, 16).find(static_cast<char>(C - 'a' + 'A'));
    }
    if (Pos == std::string_view::npos)
      throw ECodecException(Format(SCodecInvalidInput, {Identity()}));
    if (Pos >= 16) {
      if (!PrefixSeen) {
        Out.clear();
        HighPending = false;
        PrefixSeen = true;
      }
      continue;
    }
    if (!HighPending) {
      Out.push_back(static_cast<char>(Pos << 4));
      HighPending = true;
    } else {
      Out.back() = static_cast<char>(static_cast<Byte>(Out.back()) | Pos);
      HighPending = false;
    }
  }
  if (HighPending) Out.pop_back();
  return Out;
}

AnsiString TFormat_MIME64::Encode(const void* Value, std::int32_t Size) {
  AnsiString Out;
  if (!Value || Size <= 0) return Out;
  const auto* B = static_cast<const Byte*>(Value);
  Out.reserve((static_cast<std::size_t>(Size) + 2) / 3 * 4);
  for (std::int32_t i = 0; i < Size; i += 3) {
    const std::uint32_t N = (std::uint32_t(B[i]) << 16) | (i + 1 < Size ? std::uint32_t(B[i + 1]) << 8 : 0) |
                            (i + 2 < Size ? B[i + 2] : 0);
    Out.push_back(kCharTable[(N >> 18) & 63]);
    Out.push_back(kCharTable[(N >> 12) & 63]);
    Out.push_back(i + 1 < Size ? kCharTable[(N >> 6) & 63] : '=');
    Out.push_back(i + 2 < Size ? kCharTable[N & 63] : '=');
  }
  return Out;
}

AnsiString TFormat_MIME64::Decode(std::string_view Value) {
  if (Value.empty()) RangeError();
  AnsiString Out;
  Out.reserve(Value.size() / 4 * 3);
  std::uint32_t Group[4];
  int Count = 0;
  auto Flush = [&] {
    if (Count >= 2) Out.push_back(static_cast<char>((Group[0] << 2) | (Group[1] >> 4)));
    if (Count >= 3) Out.push_back(static_cast<char>(((Group[1] & 15) << 4) | (Group[2] >> 2)));
    if (Count >= 4) Out.push_back(static_cast<char>(((Group[2] & 3) << 6) | Group[3]));
    Count = 0;
  };
  for (char C : Value) {
    const int V = Base64Value(C);
    if (V < 0) continue;
    if (V == 64) break;  // padding ends the input after its group
    Group[Count++] = static_cast<std::uint32_t>(V);
    if (Count == 4) Flush();
  }
  Flush();
  return Out;
}

String BufferToMIME64(const void* Buffer, std::int32_t Size) { return sys::AnsiToUtf16(TFormat_MIME64::Encode(Buffer, Size)); }

void* HexToBuffer(std::u16string_view Text) { return ToBlock(TFormat_HEX::Decode(sys::Utf16ToAnsi(Text))); }

void* MIME64ToBuffer(std::u16string_view Text) { return ToBlock(TFormat_MIME64::Decode(sys::Utf16ToAnsi(Text))); }
