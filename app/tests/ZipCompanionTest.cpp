#include <fstream>
#include <iterator>

#include "app/tests/AppTestSupport.h"
#include "platform/classes/Files.h"

namespace {

std::vector<Byte> ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::filesystem::path& p, const std::vector<Byte>& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Text with enough repetition at long distances that deflate levels produce different output.
std::vector<Byte> SampleData() {
  std::vector<Byte> out;
  std::uint32_t x = 12345;
  for (int i = 0; i < 200000; ++i) {
    x = x * 1103515245u + 12345u;
    out.push_back(static_cast<Byte>("abcdefghij 0123"[(x >> 16) % 15]));
    if (i % 97 == 0)
      for (char c : std::string("CustomerID ContactName Birthdate")) out.push_back(static_cast<Byte>(c));
  }
  return out;
}

// Level -1 stands for the application's handler, any other for zlib's raw deflate at that level.
std::vector<Byte> Deflate(const std::vector<Byte>& data, int level) {
  TBytesStream in(data), out;
  in.SetPosition(0);
  if (level < 0) MaxDeflateCompress(in, out);
  else ZipDeflateRaw(in, out, level);
  return out.Bytes();
}

// The first local entry of a zip file, read by its published layout.
struct LocalEntry {
  std::uint32_t signature;
  std::uint16_t method;
  std::string name;
  std::vector<Byte> data;
};

LocalEntry FirstEntry(const std::vector<Byte>& zip) {
  auto u16 = [&](std::size_t at) { return static_cast<std::uint16_t>(zip.at(at) | zip.at(at + 1) << 8); };
  auto u32 = [&](std::size_t at) { return static_cast<std::uint32_t>(u16(at) | static_cast<std::uint32_t>(u16(at + 2)) << 16); };
  LocalEntry e;
  e.signature = u32(0);
  e.method = u16(8);
  const std::uint32_t compressed = u32(18);
  const std::uint16_t nameLength = u16(26);
  const std::uint16_t extraLength = u16(28);
  e.name.assign(zip.begin() + 30, zip.begin() + 30 + nameLength);
  const std::size_t start = 30u + nameLength + extraLength;
  e.data.assign(zip.begin() + static_cast<std::ptrdiff_t>(start),
                zip.begin() + static_cast<std::ptrdiff_t>(start + compressed));
  return e;
}

TEST_F(AppTest, TheDeflateHandlerWritesRawDeflateAtLevelNine) {
  const std::vector<Byte> data = SampleData();
  const std::vector<Byte> ours = Deflate(data, -1);
  EXPECT_EQ(ours, Deflate(data, 9));
  EXPECT_NE(ours, Deflate(data, 1)) << "the sample must tell levels apart";

  TBytesStream in(ours), out;
  in.SetPosition(0);
  MaxDeflateDecompress(in, out);
  EXPECT_EQ(out.Bytes(), data);
}

TEST_F(AppTest, TheDeflateHandlerRefusesBadData) {
  const std::vector<Byte> good = Deflate(SampleData(), -1);
  const std::vector<std::vector<Byte>> bad = {
      {},                                                                  // nothing at all
      std::vector<Byte>(good.begin(), good.begin() + good.size() / 2),     // cut short
      {0xFF, 0xFF, 0xFF, 0xFF},                                            // not deflate
  };
  for (const auto& bytes : bad) {
    TBytesStream in(bytes), out;
    in.SetPosition(0);
    EXPECT_THROW(MaxDeflateDecompress(in, out), EZipException) << bytes.size();
  }
}

TEST_F(AppTest, TheZipCompanionHoldsOneDeflateEntryNamedByTheBareFileName) {
  const std::filesystem::path dat = DataDir() / "TFDMemTable.dat";
  const std::vector<Byte> data = SampleData();
  WriteAll(dat, data);

  TForm1::ZipDataFile(UTF8ToString(dat.string()));
  const std::filesystem::path zip = DataDir() / "TFDMemTable.zip";
  ASSERT_TRUE(std::filesystem::exists(zip));
  EXPECT_TRUE(std::filesystem::exists(dat)) << "the data file stays beside its archive";

  TZipFile reader;
  reader.Open(UTF8ToString(zip.string()), TZipMode::zmRead);
  ASSERT_EQ(reader.FileCount(), 1);
  EXPECT_EQ(reader.FileName(0), u"TFDMemTable.dat");
  reader.Close();

  const LocalEntry entry = FirstEntry(ReadAll(zip));
  EXPECT_EQ(entry.signature, 0x04034b50u);
  EXPECT_EQ(entry.method, 8);
  EXPECT_EQ(entry.name, "TFDMemTable.dat");
  EXPECT_EQ(entry.data, Deflate(data, 9));

  // Extracting puts the archived bytes back over a data file changed since.
  WriteAll(dat, {'c', 'h', 'a', 'n', 'g', 'e', 'd'});
  TForm1::UnzipDataFile(UTF8ToString(zip.string()));
  EXPECT_EQ(ReadAll(dat), data);

  // A second zip replaces the archive rather than adding to it.
  WriteAll(dat, {'x'});
  TForm1::ZipDataFile(UTF8ToString(dat.string()));
  TForm1::UnzipDataFile(UTF8ToString(zip.string()));
  EXPECT_EQ(ReadAll(dat), std::vector<Byte>{'x'});
}

TEST_F(AppTest, TheStartUpOrderPutsTheLevelNineHandlerOverThePlatformsOwn) {
  const std::filesystem::path dat = DataDir() / "TClientDataSet.dat";
  const std::vector<Byte> data = SampleData();
  WriteAll(dat, data);
  auto zippedEntry = [&] {
    TForm1::ZipDataFile(UTF8ToString(dat.string()));
    return FirstEntry(ReadAll(DataDir() / "TClientDataSet.zip")).data;
  };
  {
    TUnitList units;  // the order main uses: the platform's units, then the application's
    RegisterZipUnit(units);
    RegisterAppUnits(units);
    units.Initialize();
    EXPECT_EQ(zippedEntry(), Deflate(data, 9));
  }
  {
    TUnitList units;  // the zip unit last would put the default level back
    RegisterAppUnits(units);
    RegisterZipUnit(units);
    units.Initialize();
    EXPECT_EQ(zippedEntry(), Deflate(data, 6));  // zlib's default level
    EXPECT_NE(zippedEntry(), Deflate(data, 9));
  }
  InitializeEnforceMaxZipFileCompression();
}

TEST_F(AppTest, UnzippingAMissingArchiveRaises) {
  EXPECT_THROW(TForm1::UnzipDataFile(UTF8ToString((DataDir() / "TFDMemTable.zip").string())), EZipException);
}

}  // namespace
