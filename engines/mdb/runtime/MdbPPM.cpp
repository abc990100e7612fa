#include "engines/mdb/runtime/MdbPPM.h"

// The PPM coder is not part of this build yet: compression reports failure (so the dispatch answers
// False and callers raise their own codes), and decompression refuses every buffer.

std::uint32_t PPMHeaderWord(int Order, int MemoryMB) {
  return 0x6000u + static_cast<std::uint32_t>((MemoryMB - 1) & 0xFF) * 16u + static_cast<std::uint32_t>((Order - 1) & 0xF);
}

std::int32_t PPMCompress(const void*, std::uint32_t, void*, std::int32_t, int, int) { return 0; }

std::int32_t PPMDecompress(const void*, std::int32_t, void*, std::int32_t) { return 0; }
