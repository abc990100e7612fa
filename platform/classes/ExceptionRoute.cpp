#include "platform/classes/ExceptionRoute.h"

#include <cstdio>
#include <mutex>

#include "platform/rtl/Exceptions.h"

namespace {

struct ExceptionRoute {
  std::mutex Lock;
  TExceptionHandler Handler;
};

ExceptionRoute& Route() {
  static ExceptionRoute route;
  return route;
}

void WriteToStderr(const char* what) noexcept {
  std::fprintf(stderr, "%s\n", what);
  std::fflush(stderr);
}

}  // namespace

TExceptionHandler SetDefaultExceptionHandler(TExceptionHandler Handler) {
  std::lock_guard<std::mutex> guard(Route().Lock);
  std::swap(Route().Handler, Handler);
  return Handler;
}

void HandleDefaultException(TObject* Sender, const std::exception& E) noexcept {
  // EAbort is the platform's silent exception: it ends an operation without a message by design.
  if (dynamic_cast<const EAbort*>(&E)) return;
  TExceptionHandler handler;
  {
    std::lock_guard<std::mutex> guard(Route().Lock);
    handler = Route().Handler;
  }
  if (!handler) {
    WriteToStderr(E.what());
    return;
  }
  try {
    handler(Sender, E);
  } catch (const std::exception& inner) {
    // A failing handler must not swallow the original either.
    WriteToStderr(E.what());
    WriteToStderr(inner.what());
  } catch (...) {
    WriteToStderr(E.what());
  }
}

void HandleCurrentException(TObject* Sender) noexcept {
  try {
    throw;
  } catch (const std::exception& e) {
    HandleDefaultException(Sender, e);
  } catch (...) {
    WriteToStderr("unknown exception");
  }
}

