// The benchmark's Deflate handler for zip archives: every entry of a zip companion is compressed at
// zlib's maximum level instead of the platform's default. InitializeEnforceMaxZipFileCompression must run
// after the platform zip unit's initialisation, because the archive class keeps one handler per method
// and the later registration wins.
#pragma once

#include "platform/classes/Streams.h"

// Raw deflate (no zlib header or trailer, as method 8 of the zip format requires): level 9, window of
// 2^15 bytes, memory level 8, default strategy. Reads Input from its position to its end.
void MaxDeflateCompress(TStream& Input, TStream& Output);
// Inflates raw deflate data read from Input's position; raises EZipException on corrupt or short data.
void MaxDeflateDecompress(TStream& Input, TStream& Output);

// Registers the pair above for method 8.
void InitializeEnforceMaxZipFileCompression();
