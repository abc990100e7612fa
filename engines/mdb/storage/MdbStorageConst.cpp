#include "engines/mdb/storage/MdbStorageConst.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex SinkLock;
TMdbStorageDiagnosticSink& Sink() {
  static TMdbStorageDiagnosticSink S;
  return S;
}
}  // namespace

void SetMdbStorageDiagnosticSink(TMdbStorageDiagnosticSink NewSink) {
  std::lock_guard<std::mutex> G(SinkLock);
  Sink() = std::move(NewSink);
}

void MdbStorageDiagnostic(const String& Text) {
  std::lock_guard<std::mutex> G(SinkLock);
  if (Sink()) {
    Sink()(Text);
    return;
  }
  std::string Utf8;
  for (char16_t c : Text) Utf8.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  std::fprintf(stderr, "Mdb storage: %s\n", Utf8.c_str());
}
