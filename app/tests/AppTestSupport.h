// The fixture of the application's tests: one application object per suite (made after main, not
// statically), a fresh temporary executable folder per test, the real window made over it, the process
// end replaced by a recorder, and escaped exceptions collected instead of shown.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "engines/kv/MemTableDataKv.h"
#include "platform/rtl/Init.h"
#include "platform/rtl/Stopwatch.h"
#include "platform/zip/Zip.h"
#include "app/EnforceMaxZipFileCompression.h"

class AppTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "vellum_app_tests";
    static char* argv[] = {name, nullptr};
    app = new TApplication(argc, argv);
    // The start-up order of the real program: the platform zip handlers, then the application's.
    InitializeZipUnit();
    InitializeEnforceMaxZipFileCompression();
    InitializeMemTableDataKv();
  }
  static void TearDownTestSuite() {
    delete app;
    app = nullptr;
  }

  void SetUp() override {
    exeDir = std::filesystem::temp_directory_path() /
             ("vellum_app_" + std::to_string(::getpid()) + "_" +
              testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(exeDir);
    std::filesystem::create_directories(exeDir);
    SetTerminateProcessHook([this](int code) { exitCodes.push_back(code); });
    app->OnException = [this](TObject*, std::exception_ptr e) { shown.push_back(ExceptionMessage(e)); };
    form = NewForm();
  }
  void TearDown() override {
    delete form;
    app->OnException = nullptr;
    SetTerminateProcessHook(nullptr);
    std::filesystem::remove_all(exeDir);
  }

  TForm1* NewForm() { return new TForm1(app, UTF8ToString(exeDir.string())); }
  std::filesystem::path DataDir() const { return exeDir / "BinaryStreamV10.1"; }

  // Every button of the grid, by name.
  TButton* GridButton(const String& name) const {
    for (int i = 0; i < form->Panel1->ControlCount(); ++i)
      if (form->Panel1->Controls(i)->Name() == name) return dynamic_cast<TButton*>(form->Panel1->Controls(i));
    return nullptr;
  }

  // True when text is Lead, one or more decimal digits, then " ms".
  static bool ReadsMilliseconds(const std::string& text, const std::string& lead) {
    if (text.size() <= lead.size() + 3 || text.compare(0, lead.size(), lead) != 0) return false;
    if (text.compare(text.size() - 3, 3, " ms") != 0) return false;
    const std::string digits = text.substr(lead.size(), text.size() - lead.size() - 3);
    return !digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos;
  }

  // True when the caption reads Prefix, "-", a number of milliseconds and " ms".
  static bool ShowsTime(const String& caption, const std::string& prefix) {
    return ReadsMilliseconds(StringToUTF8(caption), prefix + "-");
  }

  // True when the caption reads "测试 - ", a number of milliseconds and " ms".
  static bool ShowsTotal(const String& caption) { return ReadsMilliseconds(StringToUTF8(caption), "测试 - "); }

  static TApplication* app;
  std::filesystem::path exeDir;
  TForm1* form = nullptr;
  std::vector<int> exitCodes;
  std::vector<String> shown;
};

inline TApplication* AppTest::app = nullptr;
