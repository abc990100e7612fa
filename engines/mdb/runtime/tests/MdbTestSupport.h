// Shared by the runtime's tests: a fixture that holds the runtime (memory manager, keyword hashes)
// with the system code page pinned to 936, and small byte helpers.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engines/mdb/runtime/MdbExcept.h"
#include "engines/mdb/runtime/MdbRuntime.h"
#include "platform/sys/CodePage.h"

class MdbRuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sys::SetSystemCodePage(936);
    MdbRuntimeStartup();
  }
  void TearDown() override { MdbRuntimeShutdown(); }
};

// The native code of the EMdbException that Body raises; -1 when it raises none.
template <class F>
int NativeCodeOf(F&& Body) {
  try {
    Body();
  } catch (const EMdbException& E) {
    return E.NativeError;
  }
  return -1;
}

inline std::vector<Byte> HexBytes(std::string_view Hex) {
  std::vector<Byte> Out;
  for (std::size_t i = 0; i + 1 < Hex.size(); i += 2) {
    if (Hex[i] == ' ') { --i; continue; }
    Out.push_back(static_cast<Byte>(std::stoi(std::string(Hex.substr(i, 2)), nullptr, 16)));
  }
  return Out;
}
