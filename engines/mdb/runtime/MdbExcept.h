// engines/mdb/runtime: the floor of the Mdb database. It owns the engine's one exception class with
// native error codes, the shared enumerations and packed records, the CRC-32 name hash and keyword
// table, the guarded memory manager, the reader/writer locks, the containers, the engine streams, block
// compression (zlib, bzip2, PPM) and the compressed BLOB chain. It calls only the platform (sys, rtl,
// classes) and the system zlib and bzip2 libraries; the Mdb storage, components and query modules
// stand on it. Start-up and shut-down run through MdbRuntimeStartup / MdbRuntimeShutdown (MdbRuntime.h),
// never through static initialisers.
//
// This header: EMdbException. Every engine failure raises it with a literal native code chosen at the
// raise site and a text from MdbConst.h. The message is the text, " - Native error: " and the code as
// at least five digits. A raise site that calls the platform and must not let its exception escape
// wraps it with MdbWrap: a new EMdbException whose text names the operation and ends in " error: %s".
#pragma once

#include <initializer_list>
#include <new>
#include <string_view>
#include <utility>

#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Format.h"

class EMdbException : public Exception {
 public:
  // The plain form: ErrorMsg is used as it is, placeholders included.
  EMdbException(int NativeErrorCode, std::u16string_view ErrorMsg);
  // The formatting form: ErrorMsg is a Format string. When formatting fails (too few values, a value
  // of the wrong kind) the text is ErrorMsg unformatted followed by " Arguments are invalid!".
  EMdbException(int NativeErrorCode, std::u16string_view ErrorMsg, std::initializer_list<TVarRec> Args);

  int NativeError;
};

// Runs Body; an Exception (or std::bad_alloc) escaping from it is raised again as
// EMdbException(Code, Text, {caught message}), Text ending in " error: %s". With KeepMdb an
// EMdbException thrown inside passes unchanged; without it, it is wrapped like any other.
template <class F>
decltype(auto) MdbWrap(int Code, std::u16string_view Text, bool KeepMdb, F&& Body) {
  try {
    return std::forward<F>(Body)();
  } catch (const EMdbException& E) {
    if (KeepMdb) throw;
    throw EMdbException(Code, Text, {E.Message()});
  } catch (const Exception& E) {
    throw EMdbException(Code, Text, {E.Message()});
  } catch (const std::bad_alloc&) {
    throw EMdbException(Code, Text, {std::u16string_view(msg::SOutOfMemory)});
  }
}
