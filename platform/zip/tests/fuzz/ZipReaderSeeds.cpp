// Writes small archives (stored and deflated entries, a folder, a Chinese name) into the folder given.
#include <cstdio>
#include <string>

#include "platform/sys/CodePage.h"
#include "platform/zip/Zip.h"

namespace {

void Write(const std::string& path, const std::vector<Byte>& bytes) {
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

std::vector<Byte> Archive(TZipCompression Compression) {
  TBytesStream archive;
  TZipFile zip;
  zip.Open(&archive, TZipMode::zmWrite);
  const std::string text = "The quick brown fox jumps over the lazy dog. The quick brown fox.";
  TBytesStream a(std::vector<Byte>(text.begin(), text.end()));
  zip.Add(a, u"a.txt", Compression);
  TBytesStream b(std::vector<Byte>(300, 'b'));
  zip.Add(b, u"dir/\u6570\u636E.bin", Compression);
  TBytesStream empty;
  zip.Add(empty, u"empty", Compression);
  zip.Close();
  return archive.Bytes();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  sys::SetSystemCodePage(936);
  InitializeZipUnit();
  const std::string folder = argv[1];
  Write(folder + "/stored.zip", Archive(zcStored));
  Write(folder + "/deflated.zip", Archive(zcDeflate));
  return 0;
}
