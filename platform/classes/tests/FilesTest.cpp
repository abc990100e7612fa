#include "platform/classes/Files.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "platform/sys/CodePage.h"

namespace {

using Bytes = std::vector<Byte>;

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vellum_files_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    FDir = IncludeTrailingPathDelimiter(UTF8ToString(tmpl));
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(StringToUTF8(FDir), ec);
  }
  String FDir;
};

TEST_F(FilesTest, CreateWritesAndOpenReads) {
  const String name = FDir + u"data.dat";
  {
    TFileStream f(name, fmCreate);
    f.WriteBuffer("abc", 3);
  }
  {
    TFileStream f(name, fmCreate);  // create replaces
    f.WriteBuffer("xy", 2);
  }
  TFileStream f(name, fmOpenRead | fmShareDenyWrite);
  EXPECT_EQ(f.Size(), 2);
  char buf[2];
  f.ReadBuffer(buf, 2);
  EXPECT_EQ(std::string(buf, 2), "xy");
  EXPECT_THROW(f.ReadBuffer(buf, 1), EReadError);
}

TEST_F(FilesTest, ErrorsNameTheFile) {
  const String missing = FDir + u"missing.dat";
  try {
    TFileStream f(missing, fmOpenRead);
    ADD_FAILURE();
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message().rfind(u"Cannot open file \"" + missing + u"\"", 0), 0u);
  }
  const String bad_dir = FDir + u"no/such/dir/x.dat";
  try {
    TFileStream f(bad_dir, fmCreate);
    ADD_FAILURE();
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message().rfind(u"Cannot create file \"" + bad_dir + u"\"", 0), 0u);
  }
}

TEST_F(FilesTest, ShareModes) {
  const String name = FDir + u"shared.dat";
  { TFileStream f(name, fmCreate); }
  struct Case {
    Word first;
    Word second;
    bool second_opens;
  };
  const Case cases[] = {
      {fmOpenRead | fmShareDenyWrite, fmOpenRead | fmShareDenyWrite, true},
      {fmOpenRead | fmShareDenyWrite, fmOpenWrite, false},
      {fmOpenRead | fmShareDenyWrite, fmOpenReadWrite | fmShareDenyNone, false},
      {fmOpenRead | fmShareDenyWrite, fmCreate, false},
      {fmOpenReadWrite, fmOpenRead | fmShareDenyWrite, false},
      {fmOpenRead | fmShareExclusive, fmOpenRead, false},
      {fmOpenRead, fmOpenRead | fmShareDenyNone, true},
      {fmOpenReadWrite | fmShareDenyNone, fmOpenReadWrite | fmShareDenyNone, true},
  };
  for (const Case& c : cases) {
    TFileStream first(name, c.first);
    if (c.second_opens) {
      EXPECT_NO_THROW(TFileStream(name, c.second)) << c.first << " then " << c.second;
    } else {
      EXPECT_ANY_THROW(TFileStream(name, c.second)) << c.first << " then " << c.second;
    }
  }
  // Every lock went with its stream.
  EXPECT_NO_THROW(TFileStream(name, fmOpenReadWrite | fmShareExclusive));
}

TEST_F(FilesTest, AProtectedFileKeepsItsDataWhenCreateIsRefused) {
  const String name = FDir + u"keep.dat";
  {
    TFileStream f(name, fmCreate);
    f.WriteBuffer("data", 4);
  }
  TFileStream reader(name, fmOpenRead | fmShareDenyWrite);
  EXPECT_THROW(TFileStream(name, fmCreate), EFCreateError);
  EXPECT_EQ(reader.Size(), 4);
}

TEST_F(FilesTest, EightBitNamesAreDecodedThroughTheSystemCodePage) {
  const unsigned old_page = sys::GetSystemCodePage();
  sys::SetSystemCodePage(936);
  const AnsiString gbk_name = StringToUTF8(FDir) + "\xD6\xD0.dat";  // U+4E2D in code page 936
  {
    TFileStream f(gbk_name, fmCreate);
    f.WriteBuffer("1", 1);
  }
  sys::SetSystemCodePage(old_page);
  EXPECT_TRUE(FileExists(FDir + u"\u4E2D.dat"));
}

TEST(FileNames, Helpers) {
  EXPECT_EQ(ChangeFileExt(u"/a/b.c/name.dat", u".zip"), u"/a/b.c/name.zip");
  EXPECT_EQ(ChangeFileExt(u"/a/b.c/name", u".zip"), u"/a/b.c/name.zip");
  EXPECT_EQ(ExtractFilePath(u"/a/b/name.dat"), u"/a/b/");
  EXPECT_EQ(ExtractFileName(u"/a/b/name.dat"), u"name.dat");
  EXPECT_EQ(ExtractFileExt(u"/a.b/name"), u"");
  EXPECT_EQ(IncludeTrailingPathDelimiter(u"/a"), u"/a/");
  EXPECT_EQ(ExcludeTrailingPathDelimiter(u"/a/"), u"/a");
}

}  // namespace
