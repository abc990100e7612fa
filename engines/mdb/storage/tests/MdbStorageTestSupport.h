// Shared by the storage tests: a fixture that holds the Mdb runtime with the system code page pinned
// to 936 and catches what destructors report, and small helpers.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbRuntime.h"
#include "engines/mdb/runtime/MdbStreams.h"
#include "engines/mdb/storage/MdbCache.h"
#include "engines/mdb/storage/MdbStorageConst.h"
#include "platform/sys/CodePage.h"

class MdbStorageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    MdbRuntimeStartup();
    MdbStorageStartup();
    SetMdbStorageDiagnosticSink([this](const String& Text) { Diagnostics.push_back(Text); });
  }
  void TearDown() override {
    SetMdbStorageDiagnosticSink(nullptr);
    MdbCacheSettings() = TMdbCacheSettings();
    MdbStorageShutdown();
    MdbRuntimeShutdown();
  }
  std::vector<String> Diagnostics;
};

template <class F>
int NativeCodeOf(F&& Body) {
  try {
    Body();
  } catch (const EMdbException& E) {
    return E.NativeError;
  }
  return -1;
}

inline std::vector<Byte> StreamBytes(TMdbMemoryStream& S) {
  const auto* p = static_cast<const Byte*>(S.Buffer());
  return std::vector<Byte>(p, p + S.Size());
}

inline void FillStream(TMdbMemoryStream& S, const std::vector<Byte>& Bytes, std::size_t Count) {
  S.SetSize(0);
  if (Count) S.Write(Bytes.data(), static_cast<Int64>(Count));
  S.SetPosition(0);
}

// Reads the first Limit bytes of a byte vector in place: cutting a saved block at every byte needs no
// copy per cut.
class TByteViewStream : public TStream {
 public:
  TByteViewStream(const std::vector<Byte>& Bytes, Int64 Limit) : FBytes(Bytes), FLimit(Limit) {}
  Int64 Read(void* Buffer, Int64 Count) override {
    const Int64 n = std::max<Int64>(0, std::min<Int64>(Count, FLimit - FPos));
    if (n > 0) std::memcpy(Buffer, FBytes.data() + FPos, static_cast<std::size_t>(n));
    FPos += n;
    return n;
  }
  Int64 Write(const void*, Int64) override { return 0; }
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override {
    if (Origin == TSeekOrigin::soBeginning) FPos = Offset;
    else if (Origin == TSeekOrigin::soCurrent) FPos += Offset;
    else FPos = FLimit + Offset;
    return FPos;
  }

 private:
  const std::vector<Byte>& FBytes;
  Int64 FLimit;
  Int64 FPos = 0;
};

// "00 FF 1a" -> bytes; spaces are ignored.
inline std::vector<Byte> HexBytesOf(std::string_view Hex) {
  std::vector<Byte> Out;
  std::string Digits;
  for (char c : Hex)
    if (c != ' ') Digits.push_back(c);
  for (std::size_t i = 0; i + 1 < Digits.size(); i += 2)
    Out.push_back(static_cast<Byte>(std::stoi(Digits.substr(i, 2), nullptr, 16)));
  return Out;
}
