#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/zip/Zip.h"

namespace {

namespace fs = std::filesystem;

std::vector<Byte> SampleBytes() {
  std::vector<Byte> data;
  const std::string line = "CustomerID;ContactName;Birthdate;Salary 12345.678\n";
  for (int i = 0; i < 400; ++i) {
    data.insert(data.end(), line.begin(), line.end());
    data.push_back(static_cast<Byte>(i * 37));
  }
  return data;
}

std::vector<Byte> ZlibRaw(const std::vector<Byte>& input, int level) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  std::vector<Byte> out(deflateBound(&z, input.size()));
  z.next_in = const_cast<Byte*>(input.data());
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

Cardinal Le32(const std::vector<Byte>& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<Cardinal>(b[at + 3]) << 24);
}
Word Le16(const std::vector<Byte>& b, size_t at) { return static_cast<Word>(b[at] | (b[at + 1] << 8)); }

// The first local header of an archive and the entry data behind it.
struct LocalEntry {
  Word Method;
  Cardinal Crc;
  Cardinal Compressed;
  Cardinal Uncompressed;
  std::string Name;
  std::vector<Byte> Data;
};

LocalEntry FirstLocalEntry(const std::vector<Byte>& archive) {
  EXPECT_GE(archive.size(), 30u);
  EXPECT_EQ(Le32(archive, 0), 0x04034b50u);
  LocalEntry e;
  e.Method = Le16(archive, 8);
  e.Crc = Le32(archive, 14);
  e.Compressed = Le32(archive, 18);
  e.Uncompressed = Le32(archive, 22);
  const size_t name_len = Le16(archive, 26);
  const size_t extra_len = Le16(archive, 28);
  e.Name.assign(archive.begin() + 30, archive.begin() + 30 + static_cast<long>(name_len));
  const size_t data_at = 30 + name_len + extra_len;
  e.Data.assign(archive.begin() + static_cast<long>(data_at), archive.begin() + static_cast<long>(data_at + e.Compressed));
  return e;
}

std::vector<Byte> WriteArchive(const std::vector<Byte>& data, const String& name, TZipCompression method) {
  TBytesStream archive;
  {
    TZipFile zip;
    zip.Open(&archive, TZipMode::zmWrite);
    TBytesStream source(data);
    zip.Add(source, name, method);
    zip.Close();
  }
  return archive.Bytes();
}

std::vector<Byte> ReadOnlyEntry(const std::vector<Byte>& archive) {
  TBytesStream in(archive);
  TZipFile zip;
  zip.Open(&in, TZipMode::zmRead);
  EXPECT_EQ(zip.FileCount(), 1);
  return zip.ReadEntry(0);
}

class ZipFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    InitializeZipUnit();
    Folder = fs::temp_directory_path() / ("vellum_zip_" + std::to_string(::getpid()) + "_" +
                                          ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Folder);
    fs::create_directories(Folder);
  }
  void TearDown() override {
    fs::remove_all(Folder);
    InitializeZipUnit();  // later tests see the platform's handlers again
  }
  String Path(const std::string& name) const { return UTF8ToString((Folder / name).string()); }
  static void WriteFile(const fs::path& p, const std::vector<Byte>& bytes) {
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  static std::vector<Byte> ReadFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    return std::vector<Byte>(std::istreambuf_iterator<char>(f), {});
  }
  fs::path Folder;
};

TEST_F(ZipFileTest, LevelNineHandlerWritesExactlyZlibRawLevelNine) {
  TZipFile::RegisterCompressionHandler(
      zcDeflate, [](TStream& in, TStream& out) { ZipDeflateRaw(in, out, 9); },
      [](TStream& in, TStream& out) { ZipInflateRaw(in, out); });
  const std::vector<Byte> data = SampleBytes();
  const std::vector<Byte> archive = WriteArchive(data, u"TFDMemTable.dat", zcDeflate);

  const LocalEntry e = FirstLocalEntry(archive);
  EXPECT_EQ(e.Method, 8);
  EXPECT_EQ(e.Name, "TFDMemTable.dat");
  EXPECT_EQ(e.Crc, crc32(0, data.data(), static_cast<uInt>(data.size())));
  EXPECT_EQ(e.Uncompressed, data.size());
  EXPECT_EQ(e.Data, ZlibRaw(data, 9));
  EXPECT_EQ(ReadOnlyEntry(archive), data);
}

TEST_F(ZipFileTest, DefaultHandlersAreStoredAndRawDeflateAtTheDefaultLevel) {
  const std::vector<Byte> data = SampleBytes();
  struct Case {
    TZipCompression Method;
    std::vector<Byte> Expected;
  };
  const Case cases[] = {{zcDeflate, ZlibRaw(data, Z_DEFAULT_COMPRESSION)}, {zcStored, data}};
  for (const Case& c : cases) {
    const std::vector<Byte> archive = WriteArchive(data, u"a.dat", c.Method);
    const LocalEntry e = FirstLocalEntry(archive);
    EXPECT_EQ(e.Method, c.Method);
    EXPECT_EQ(e.Data, c.Expected) << "method " << c.Method;
    EXPECT_EQ(ReadOnlyEntry(archive), data) << "method " << c.Method;
  }
  // Default and level 9 differ on this sample, so the test above tells the handlers apart.
  EXPECT_NE(ZlibRaw(data, Z_DEFAULT_COMPRESSION), ZlibRaw(data, 9));
}

TEST_F(ZipFileTest, EmptyEntryRoundTrips) {
  for (TZipCompression method : {zcStored, zcDeflate}) {
    const std::vector<Byte> archive = WriteArchive({}, u"empty.dat", method);
    EXPECT_TRUE(ReadOnlyEntry(archive).empty()) << method;
  }
}

TEST_F(ZipFileTest, LaterRegistrationReplacesEarlier) {
  int first_inflates = 0;
  int second_inflates = 0;
  TZipFile::RegisterCompressionHandler(
      zcDeflate, [](TStream& in, TStream& out) { ZipDeflateRaw(in, out, 1); },
      [&](TStream& in, TStream& out) { ++first_inflates; ZipInflateRaw(in, out); });
  TZipFile::RegisterCompressionHandler(
      zcDeflate, [](TStream& in, TStream& out) { ZipDeflateRaw(in, out, 9); },
      [&](TStream& in, TStream& out) { ++second_inflates; ZipInflateRaw(in, out); });
  const std::vector<Byte> data = SampleBytes();
  const std::vector<Byte> archive = WriteArchive(data, u"a.dat", zcDeflate);
  EXPECT_EQ(FirstLocalEntry(archive).Data, ZlibRaw(data, 9));
  EXPECT_EQ(ReadOnlyEntry(archive), data);
  EXPECT_EQ(first_inflates, 0);
  EXPECT_EQ(second_inflates, 1);
}

TEST_F(ZipFileTest, NonAsciiNamesAreMarkedUtf8AndReadBack) {
  const std::vector<Byte> archive = WriteArchive({1, 2}, u"数据.dat", zcStored);
  EXPECT_EQ(Le16(archive, 6) & 0x800, 0x800);
  EXPECT_EQ(Le16(WriteArchive({1, 2}, u"plain.dat", zcStored), 6) & 0x800, 0);
  TBytesStream in(archive);
  TZipFile zip;
  zip.Open(&in, TZipMode::zmRead);
  EXPECT_EQ(zip.FileName(0), u"数据.dat");
}

TEST_F(ZipFileTest, MethodWithoutHandlerRaises) {
  TBytesStream archive;
  TZipFile zip;
  zip.Open(&archive, TZipMode::zmWrite);
  TBytesStream source(SampleBytes());
  EXPECT_THROW(zip.Add(source, u"a.dat", 12), EZipException);
}

TEST_F(ZipFileTest, AddFileWithEmptyNameUsesBareFileNameAndExtractReplaces) {
  const std::vector<Byte> data = SampleBytes();
  fs::create_directories(Folder / "src");
  WriteFile(Folder / "src" / "TClientDataSet.dat", data);
  {
    TZipFile zip;
    zip.Open(Path("TClientDataSet.zip"), TZipMode::zmWrite);
    zip.Add(Path("src/TClientDataSet.dat"), String(), zcDeflate);
  }  // freeing the object writes the directory
  WriteFile(Folder / "TClientDataSet.dat", {1, 2, 3});
  TZipFile zip;
  zip.Open(Path("TClientDataSet.zip"), TZipMode::zmRead);
  ASSERT_EQ(zip.FileCount(), 1);
  EXPECT_EQ(zip.FileName(0), u"TClientDataSet.dat");
  zip.ExtractAll(UTF8ToString(Folder.string()));
  zip.Close();
  EXPECT_EQ(ReadFile(Folder / "TClientDataSet.dat"), data);
  EXPECT_FALSE(fs::exists(Folder / "TClientDataSet.dat.unzipping"));
}

TEST_F(ZipFileTest, OpenForWritingReplacesAnExistingFile) {
  WriteFile(Folder / "a.zip", std::vector<Byte>(5000, 0xAB));
  {
    TZipFile zip;
    zip.Open(Path("a.zip"), TZipMode::zmWrite);
    TBytesStream source(std::vector<Byte>{1, 2, 3});
    zip.Add(source, u"x", zcStored);
  }
  TZipFile zip;
  zip.Open(Path("a.zip"), TZipMode::zmRead);
  EXPECT_EQ(zip.ReadEntry(0), (std::vector<Byte>{1, 2, 3}));
  EXPECT_LT(fs::file_size(Folder / "a.zip"), 5000u);
}

TEST(ZipEntryNameTest, OnlyNamesBeneathTheFolderAreSafe) {
  struct Case {
    std::u16string Name;
    bool Safe;
  };
  const Case cases[] = {
      {u"TFDMemTable.dat", true}, {u"sub/a.dat", true},     {u"a..b", true},         {u"..a", true},
      {u"./a", true},             {u"", false},             {u"..", false},          {u"../evil", false},
      {u"a/../../evil", false},   {u"sub/..", false},       {u"..\\evil", false},    {u"a\\..\\..\\x", false},
      {u"/etc/passwd", false},    {u"\\root\\x", false}, {u"C:/x", false},        {u"C:x", false},
      {u"c:\\x", false},          {std::u16string(u"a\0b", 3), false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsSafeZipEntryName(c.Name), c.Safe) << StringToUTF8(c.Name);
}

TEST_F(ZipFileTest, HostileEntryNameIsRefusedAndNothingIsWritten) {
  const std::u16string hostile[] = {u"../escape.dat", u"/tmp/vellum_zip_abs.dat", u"C:evil.dat", u"sub/../../escape.dat"};
  fs::create_directories(Folder / "out");
  for (const std::u16string& name : hostile) {
    TBytesStream archive;
    {
      TZipFile zip;
      zip.Open(&archive, TZipMode::zmWrite);
      TBytesStream good(std::vector<Byte>{7});
      zip.Add(good, u"good.dat", zcStored);  // a safe entry first: it must not be written either
      TBytesStream bad(std::vector<Byte>{9});
      zip.Add(bad, name, zcStored);
    }
    archive.SetPosition(0);
    TZipFile zip;
    zip.Open(&archive, TZipMode::zmRead);
    EXPECT_THROW(zip.ExtractAll(UTF8ToString((Folder / "out").string())), EZipException) << StringToUTF8(name);
  }
  EXPECT_TRUE(fs::is_empty(Folder / "out"));
  EXPECT_FALSE(fs::exists(Folder / "escape.dat"));
  EXPECT_FALSE(fs::exists("/tmp/vellum_zip_abs.dat"));
}

TEST_F(ZipFileTest, TruncatedArchiveRaises) {
  const std::vector<Byte> archive = WriteArchive(SampleBytes(), u"a.dat", zcDeflate);
  for (size_t keep : {size_t{0}, size_t{4}, size_t{30}, archive.size() / 2, archive.size() - 22, archive.size() - 1}) {
    TBytesStream in(std::vector<Byte>(archive.begin(), archive.begin() + static_cast<long>(keep)));
    TZipFile zip;
    EXPECT_THROW(
        {
          zip.Open(&in, TZipMode::zmRead);
          zip.ReadEntry(0);
        },
        EZipException)
        << "kept " << keep;
  }
}

TEST_F(ZipFileTest, MissingArchiveRaisesZipError) {
  TZipFile zip;
  EXPECT_THROW(zip.Open(Path("none.zip"), TZipMode::zmRead), EZipException);
  EXPECT_FALSE(TZipFile::IsValid(Path("none.zip")));
}

TEST_F(ZipFileTest, DamagedEntryRaisesAndLeavesTheOldFile) {
  const std::vector<Byte> data = SampleBytes();
  const std::vector<Byte> good = WriteArchive(data, u"a.dat", zcDeflate);
  const LocalEntry e = FirstLocalEntry(good);
  const size_t data_at = 30 + e.Name.size();
  struct Case {
    const char* What;
    size_t Offset;
    Byte Xor;
  };
  const Case cases[] = {
      {"compressed byte", data_at + e.Compressed / 2, 0x55},
      {"CRC in the directory", good.size() - 22 - 46 - e.Name.size() + 16, 0x01},
      {"size in the directory", good.size() - 22 - 46 - e.Name.size() + 24, 0x01},
  };
  for (const Case& c : cases) {
    std::vector<Byte> bad = good;
    bad[c.Offset] ^= c.Xor;
    WriteFile(Folder / "a.zip", bad);
    WriteFile(Folder / "a.dat", {1, 2, 3});
    TZipFile zip;
    EXPECT_THROW(
        {
          zip.Open(Path("a.zip"), TZipMode::zmRead);
          zip.ExtractAll(UTF8ToString(Folder.string()));
        },
        EZipException)
        << c.What;
    EXPECT_EQ(ReadFile(Folder / "a.dat"), (std::vector<Byte>{1, 2, 3})) << c.What;
    EXPECT_FALSE(fs::exists(Folder / "a.dat.unzipping")) << c.What;
  }
}

TEST_F(ZipFileTest, DecompressorWritingPastTheDeclaredSizeIsStopped) {
  TZipFile::RegisterCompressionHandler(
      zcStored, [](TStream& in, TStream& out) { out.CopyFrom(&in, 0); },
      [](TStream& in, TStream& out) {
        out.CopyFrom(&in, 0);
        const Byte extra[4096] = {};
        out.WriteBuffer(extra, sizeof extra);
      });
  const std::vector<Byte> archive = WriteArchive(SampleBytes(), u"a.dat", zcStored);
  EXPECT_THROW(ReadOnlyEntry(archive), EZipException);
}

}  // namespace

namespace {

// A stream that raises from the given call onwards: the error must come out of TZipFile as its own,
// never through the C library underneath.
class FailingStream : public TBytesStream {
 public:
  FailingStream(const std::vector<Byte>& Bytes, int FailFromCall) : TBytesStream(Bytes), FLeft(FailFromCall) {}
  Int64 Read(void* Buffer, Int64 Count) override {
    Tick();
    return TBytesStream::Read(Buffer, Count);
  }
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override {
    Tick();
    return TBytesStream::Seek(Offset, Origin);
  }

 private:
  void Tick() {
    if (FLeft-- <= 0) throw EStreamError(u"the medium is gone");
  }
  int FLeft;
};

}  // namespace

TEST_F(ZipFileTest, ARaisingStreamRaisesZipError) {
  const std::vector<Byte> archive = WriteArchive(SampleBytes(), u"a.dat", zcDeflate);
  for (int failFrom : {0, 1, 2, 3, 5, 8}) {
    FailingStream in(archive, failFrom);
    TZipFile zip;
    EXPECT_THROW(
        {
          zip.Open(&in, TZipMode::zmRead);
          for (int i = 0; i < 1000; ++i) zip.ReadEntry(0);
        },
        EZipException)
        << "failing from call " << failFrom;
  }
}
