// Writes component streams in both forms into the folder given: <folder>/binary and <folder>/text.
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "platform/classes/ObjectText.h"
#include "platform/classes/tests/fuzz/FuzzClasses.h"
#include "platform/sys/CodePage.h"

namespace {

void Write(const std::string& path, const std::vector<Byte>& bytes) {
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
}

}  // namespace

int main(int argc, char** argv) {
  using namespace fuzzclasses;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 2;
  }
  sys::SetSystemCodePage(936);
  Register();
  const std::string folder = argv[1];
  mkdir((folder + "/binary").c_str(), 0755);
  mkdir((folder + "/text").c_str(), 0755);
  TThing root(nullptr);
  root.SetName(u"Root");
  root.Count = 40000;
  root.Active = true;
  root.Caption = u"Hello \u4E2D\u6587 'q'";
  root.Kind = 2;
  root.Options = 5;
  root.Ratio = 0.1;
  root.Font.Size = 12;
  root.Blob = {0, 1, 2, 255};
  auto* item = static_cast<TItem*>(root.Items.Add());
  item->Value = u"first";
  item->Target = &root;
  static_cast<TItem*>(root.Items.Add())->Font.Size = 3;
  auto* child = new TThing(&root);
  child->SetName(u"Child1");
  child->Caption = u"c";
  root.Buddy = child;
  item->Target = child;
  TBytesStream binary;
  binary.WriteComponent(&root);
  Write(folder + "/binary/thing", binary.Bytes());
  binary.SetPosition(0);
  TBytesStream text;
  ObjectBinaryToText(&binary, &text);
  Write(folder + "/text/thing", text.Bytes());
  TThing empty(nullptr);
  TBytesStream small;
  small.WriteComponent(&empty);
  Write(folder + "/binary/empty", small.Bytes());
  const std::string lists = "object A: TThing\r\n  Data = (\r\n    'abc'\r\n    +INF\r\n    -5\r\n    1.5s\r\n    2.25d\r\n"
                            "    3.5r\r\n    12.5c\r\n    {00FF}\r\n    [oA, oB]\r\n    <\r\n      item\r\n        Value = 'x'\r\n"
                            "      end>\r\n    nil\r\n    True)\r\nend\r\n";
  Write(folder + "/text/lists", std::vector<Byte>(lists.begin(), lists.end()));
  return 0;
}
