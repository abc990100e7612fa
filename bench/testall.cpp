// The headless test-all driver: starts the real benchmark window offscreen, sets the row counts and the
// compression box as a user would, clicks the test-all button one or more times and prints, per engine
// column, the milliseconds each operation's button shows, then the total and the data folder used.
//
//   testall [--append N] [--insert N] [--compress] [--runs K] [--screenshot FILE] [--floor]
//           [--only ENGINE]...
//
// A developer tool, not part of the window: it reads the same captions a user reads. With --floor, each
// run ends with the same seven operations done by a plain vector of structs (bench/RawFloor.h), printed
// as one more row: what the work costs on this machine, in the same run. The floor never compresses.
// --only (repeatable) disables the other columns' buttons, as if their engines were not built, to
// measure one engine alone.
#include <QPixmap>
#include <QWidget>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "bench/RawFloor.h"
#include "platform/rtl/Init.h"
#include "platform/zip/Zip.h"

namespace {

struct TOptions {
  std::optional<int> Append;
  std::optional<int> Insert;
  bool Compress = false;
  int Runs = 1;
  std::string Screenshot;
  bool Floor = false;
  std::vector<std::string> Only;
};

void Usage(FILE* out) {
  std::fputs("usage: testall [--append N] [--insert N] [--compress] [--runs K] [--screenshot FILE] [--floor] [--only ENGINE]...\n", out);
}

bool ParseInt(const char* text, int& value) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

bool ParseArgs(int argc, char** argv, TOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    int value = 0;
    if (arg == "--append" || arg == "--insert" || arg == "--runs") {
      const char* text = next();
      if (text == nullptr || !ParseInt(text, value)) {
        std::fprintf(stderr, "testall: %s needs a whole number\n", arg.c_str());
        return false;
      }
      if (arg == "--append") options.Append = value;
      else if (arg == "--insert") options.Insert = value;
      else if (value < 1) {
        std::fputs("testall: --runs needs at least 1\n", stderr);
        return false;
      } else options.Runs = value;
    } else if (arg == "--compress") {
      options.Compress = true;
    } else if (arg == "--floor") {
      options.Floor = true;
    } else if (arg == "--only") {
      const char* text = next();
      if (text == nullptr) {
        std::fputs("testall: --only needs an engine column name\n", stderr);
        return false;
      }
      options.Only.emplace_back(text);
    } else if (arg == "--screenshot") {
      const char* text = next();
      if (text == nullptr) {
        std::fputs("testall: --screenshot needs a file name\n", stderr);
        return false;
      }
      options.Screenshot = text;
    } else if (arg == "--help" || arg == "-h") {
      Usage(stdout);
      std::exit(0);
    } else {
      std::fprintf(stderr, "testall: unknown argument %s\n", arg.c_str());
      return false;
    }
  }
  return true;
}

// The engine columns as the window shows them, each with its buttons in operation order.
struct TColumn {
  const char* Engine;
  std::vector<TButton*> Buttons;
};

const char* const kOperations[] = {"Append", "Insert", "SaveToFile", "SaveToStream", "EmptyDataSet", "LoadFromFile",
                                   "LoadFromStream"};

std::vector<TColumn> Columns(TForm1* f) {
  return {
      {"TFDMemTable", {f->btnFDAppend, f->btnFDInsert, f->btnFDSaveToFile, f->btnFDSaveToStream, f->btnFDEmptyDataSet,
                       f->btnFDLoadFromFile, f->btnFDLoadFromStream}},
      {"TClientDataSet", {f->btnAppend, f->btnCDSInsert, f->btnSaveToFile, f->btnSaveToStream, f->btnEmptyDataSet,
                          f->btnLoadFromFile, f->btnLoadFromStream}},
      {"TvlxMemTable", {f->btnvlxAppend, f->btnvlxInsert, f->btnvlxSaveToFile, f->btnvlxSaveToStream,
                        f->btnvlxEmptyDataSet, f->btnvlxLoadFromFile, f->btnvlxLoadFromStream}},
      {"TADODataSet", {f->btnADOAppend, f->btnADOInsert, f->btnADOSaveToFile, f->btnADOSaveToStream,
                       f->btnADOEmptyDataSet, f->btnADOLoadFromFile, f->btnADOLoadFromStream}},
      {"TMdbTable", {f->btnMdbAppend, f->btnMdbInsert, f->btnMdbSaveToFile, f->btnMdbSaveToStream,
                     f->btnMdbTableEmptyDataSet, f->btnMdbLoadFromFile, f->btnMdbLoadFromStream}},
      {"TMemTableKv", {f->btnMemTableKvAppend, f->btnMemTableKvInsert, f->btnKvSaveToFile,
                       f->btnMemTableKvSaveToStream, f->btnMemTableKvEmptyDataSet, f->btnMemTableKvLoadFromFile,
                       f->btnMemTableKvLoadFromStream}},
      {"TVirtTable", {f->btnVtAppend, f->btnVtInsert, f->btnVtSaveToFile, f->btnVtSaveToStream, f->btnVtEmptyDataSet,
                      f->btnVtLoadFromFile, f->btnVtLoadFromStream}},
      {"TIdMemDataSet", {f->Button1, f->Button7, f->Button3, f->Button5, f->Button2, f->Button4, f->Button6}},
  };
}

// The milliseconds a caption shows ("Name-123 ms"), or an empty text when it shows none.
std::string CaptionMs(const String& caption) {
  const std::string text = StringToUTF8(caption);
  const std::size_t dash = text.rfind('-');
  if (dash == std::string::npos || text.size() < dash + 5 || text.compare(text.size() - 3, 3, " ms") != 0) return {};
  return text.substr(dash + 1, text.size() - 3 - dash - 1);
}

void PrintTable(TForm1* form) {
  std::printf("%-16s", "engine");
  for (const char* op : kOperations) std::printf(" %14s", op);
  std::printf("\n");
  for (const TColumn& column : Columns(form)) {
    std::printf("%-16s", column.Engine);
    bool any = false;
    for (TButton* b : column.Buttons) any = any || b->Enabled();
    for (TButton* b : column.Buttons) {
      std::string ms = CaptionMs(b->Caption());
      if (ms.empty()) ms = any ? "-" : "not built";
      std::printf(" %14s", ms.c_str());
    }
    std::printf("\n");
  }
  std::printf("total: %s\n", StringToUTF8(form->btnTestAll->Caption()).c_str());
}

// Times the floor's seven operations in the window's order, with the window's counts.
std::vector<long long> RunFloor(TRawFloor& floor, int append, int insert, const std::string& fileName) {
  std::vector<long long> ms;
  auto timed = [&](auto&& step) {
    const TStopwatch watch = TStopwatch::StartNew();
    step();
    ms.push_back(static_cast<long long>(watch.ElapsedMilliseconds()));
  };
  floor.Empty();  // the window's walk empties every engine first
  timed([&] { floor.Append(append); });
  timed([&] { floor.Insert(insert); });
  timed([&] { floor.SaveToFile(fileName); });
  timed([&] { floor.SaveToStream(); });
  timed([&] { floor.Empty(); });
  timed([&] { floor.LoadFromFile(fileName); });
  timed([&] { floor.LoadFromStream(); });
  return ms;
}

void PrintFloor(const std::vector<long long>& ms, const TRawFloor& floor, const std::string& engineFile) {
  std::printf("%-16s", "raw floor");
  for (long long v : ms) std::printf(" %14lld", v);
  std::printf("\n");
  std::error_code error;
  const auto engineBytes = std::filesystem::file_size(engineFile, error);
  std::printf("raw floor: %zu rows, %zu bytes saved", floor.RowCount(), floor.StreamSize());
  if (!error) std::printf(" (TIdMemDataSet file: %llu bytes)", static_cast<unsigned long long>(engineBytes));
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  TOptions options;
  if (!ParseArgs(argc, argv, options)) {
    Usage(stderr);
    return 2;
  }
  // The window is real but never shown on a screen.
  setenv("QT_QPA_PLATFORM", "offscreen", 1);

  TUnitList units;
  RegisterRtlUnit(units);
  RegisterZipUnit(units);
  RegisterAppUnits(units);
  units.Initialize();

  int argcQt = 1;
  TApplication application(argcQt, argv);
  Application->Initialize();
  Application->CreateForm(Form1);
  Form1->Show();
  Application->ProcessMessages();

  if (options.Append) Form1->seAppend->SetValue(*options.Append);
  if (options.Insert) Form1->seInsert->SetValue(*options.Insert);
  if (options.Compress) Form1->chkCompressionDecompressionFile->SetChecked(true);

  if (!options.Only.empty()) {
    for (const std::string& name : options.Only) {
      bool known = false;
      for (const TColumn& column : Columns(Form1)) known = known || name == column.Engine;
      if (!known) {
        std::fprintf(stderr, "testall: no engine column %s\n", name.c_str());
        return 2;
      }
    }
    for (const TColumn& column : Columns(Form1))
      if (std::find(options.Only.begin(), options.Only.end(), column.Engine) == options.Only.end())
        for (TButton* b : column.Buttons) b->SetEnabled(false);
  }

  int status = 0;
  TRawFloor floor;
  for (int run = 1; run <= options.Runs; ++run) {
    std::printf("run %d of %d: append %d, insert %d, compression %s\n", run, options.Runs, Form1->seAppend->Value(),
                Form1->seInsert->Value(), Form1->chkCompressionDecompressionFile->Checked() ? "on" : "off");
    try {
      Form1->btnTestAll->Click();
    } catch (...) {
      std::fprintf(stderr, "testall: the run stopped: %s\n",
                   StringToUTF8(ExceptionMessage(std::current_exception())).c_str());
      status = 1;
    }
    Application->ProcessMessages();
    PrintTable(Form1);
    if (status != 0) break;
    if (options.Floor) {
      const std::string folder = StringToUTF8(Form1->FilePath());
      try {
        PrintFloor(RunFloor(floor, Form1->seAppend->Value(), Form1->seInsert->Value(), folder + "RawFloor.dat"), floor,
                   folder + "TIdMemDataSet.dat");
      } catch (const std::exception& e) {
        std::fprintf(stderr, "testall: the floor stopped: %s\n", e.what());
        status = 1;
        break;
      }
    }
  }
  std::printf("data folder: %s\n", StringToUTF8(Form1->FilePath()).c_str());

  if (!options.Screenshot.empty()) {
    Application->ProcessMessages();
    const QPixmap shot = Form1->Widget()->grab();
    if (!shot.save(QString::fromStdString(options.Screenshot), "PNG")) {
      std::fprintf(stderr, "testall: cannot write %s\n", options.Screenshot.c_str());
      status = 1;
    } else {
      std::printf("screenshot: %s\n", options.Screenshot.c_str());
    }
  }
  std::fflush(stdout);
  return status;
}
