// The PPM block coder behind acaPPM. A compressed buffer is:
//   0  UInt32 LE  header word: bits 0..3 = model order - 1, bits 4..11 = model memory in MB - 1,
//                 bits 12..15 = 6 (the variant), bits 16..31 = 0
//   4  ...        the range coder's output; the data ends with the end-of-data code, the last four
//                 bytes are the coder's flush
// The uncompressed length is not stored. Each call builds its own model and coder, so calls may run in
// parallel and the same input always gives the same bytes. The model is the engine's own order-N PPM
// (see MdbPPM.cpp): buffers of other PPM coders carrying the same header word do not decode with it.
#pragma once

#include <cstdint>

#include "platform/rtl/String.h"

// Writes at most OutSpace bytes; returns the length written, or 0 when the space or the model memory
// is not enough.
std::int32_t PPMCompress(const void* InBuf, std::uint32_t InSize, void* OutBuf, std::int32_t OutSpace, int Order,
                         int MemoryMB);
// Produces at most OutSpace bytes; returns their number, or 0 for a header of another variant, damaged
// data, or data that would decode past OutSpace. Never reads past InSize.
std::int32_t PPMDecompress(const void* InBuf, std::int32_t InSize, void* OutBuf, std::int32_t OutSpace);
// The header word of a preset.
std::uint32_t PPMHeaderWord(int Order, int MemoryMB);
