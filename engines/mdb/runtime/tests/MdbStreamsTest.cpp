// Engine streams: memory-stream capacities, block copies, field routines, the temporary-file block
// cache and the temporary stream's move to its file.
#include "engines/mdb/runtime/MdbStreams.h"

#include <cstring>
#include <numeric>

#include "engines/mdb/runtime/MdbMemory.h"
#include "MdbTestSupport.h"
#include "platform/classes/Files.h"

namespace {

using MdbStreamsTest = MdbRuntimeTest;

std::vector<Byte> Pattern(std::size_t N, Byte Seed = 1) {
  std::vector<Byte> v(N);
  for (std::size_t i = 0; i < N; ++i) v[i] = Byte(i * 7 + Seed + i / 251);
  return v;
}

std::vector<Byte> ReadAll(TStream& S) {
  std::vector<Byte> v(static_cast<std::size_t>(S.Size()));
  S.SetPosition(0);
  if (!v.empty()) {
    EXPECT_EQ(S.Read(v.data(), Int64(v.size())), Int64(v.size()));
  }
  return v;
}

TEST_F(MdbStreamsTest, MemoryStreamCapacities) {
  struct Case {
    Int64 From, To, Capacity;
  };
  const Case Cases[] = {{0, 10, 1024}, {1024, 1025, 2048}, {1024, 5001, 5004}, {2048, 100, 100}, {2048, 1500, 2048},
                        {20000, 20001, 30240}};
  for (const auto& C : Cases) {
    TMdbMemoryStream S;
    S.SetSize(C.From);
    S.SetSize(C.From == 2048 ? 2048 : C.From);
    if (C.From == 2048) {
      ASSERT_EQ(S.BufferSize(), 2048);
    }
    S.SetSize(C.To);
    EXPECT_EQ(S.BufferSize(), C.Capacity) << C.From << " -> " << C.To;
    EXPECT_EQ(S.Size(), C.To);
  }
  TMdbMemoryStream S;
  S.SetSize(100);
  S.Seek(50, TSeekOrigin::soEnd);
  Byte b;
  EXPECT_EQ(S.Read(&b, 1), 0);
  S.Seek(-10, TSeekOrigin::soBeginning);
  EXPECT_EQ(S.Read(&b, 1), 0);
  EXPECT_EQ(S.Write(&b, 1), 0);
  EXPECT_EQ(S.Size(), 100);
  // A write past the end leaves zeros in the gap.
  S.Seek(200, TSeekOrigin::soBeginning);
  const Byte x = 9;
  EXPECT_EQ(S.Write(&x, 1), 1);
  const auto All = ReadAll(S);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(All[i], 0) << i;
  EXPECT_EQ(All[200], 9);
}

TEST_F(MdbStreamsTest, BlockCopiesAndProgress) {
  TMdbMemoryStream Src;
  const auto Data = Pattern(250000);
  Src.Write(Data.data(), Int64(Data.size()));
  Src.SetPosition(123);
  std::vector<double> Seen;
  Src.SetOnProgress([&](TObject*, double P, bool&) { Seen.push_back(P); });
  TMdbMemoryStream Dst;
  Src.SaveToStream(&Dst);
  EXPECT_EQ(ReadAll(Dst), Data);
  EXPECT_EQ(Src.Position(), 123);
  EXPECT_EQ(Seen.front(), 0);
  EXPECT_EQ(Seen.back(), 100);

  TMdbMemoryStream Part;
  Part.LoadFromStreamWithPosition(&Dst, 1000, 5000);
  EXPECT_EQ(ReadAll(Part), std::vector<Byte>(Data.begin() + 1000, Data.begin() + 6000));

  // An empty stream reports 0 and 100; an abort on the first call copies nothing and gets no 100.
  TMdbMemoryStream Empty;
  Seen.clear();
  Empty.SetOnProgress([&](TObject*, double P, bool&) { Seen.push_back(P); });
  Empty.SaveToStream(&Dst);
  EXPECT_EQ(Seen, (std::vector<double>{0, 100}));
  Seen.clear();
  Src.SetOnProgress([&](TObject*, double P, bool& Abort) {
    Seen.push_back(P);
    Abort = true;
  });
  TMdbMemoryStream None;
  Src.SaveToStream(&None);
  EXPECT_EQ(None.Size(), 0);
  EXPECT_EQ(Seen, (std::vector<double>{0}));

  Src.SetBlockSize(0);
  EXPECT_EQ(NativeCodeOf([&] { Src.SaveToStream(&None); }), 10418);
  EXPECT_EQ(NativeCodeOf([&] { Src.LoadFromStream(&None); }), 10419);
}

TEST_F(MdbStreamsTest, FieldRoutines) {
  TMdbMemoryStream S;
  WriteWideStringToStream(u"", &S, 1);
  WriteWideStringToStream(u"AB", &S, 1);
  WriteBooleanToStream(true, &S, 1);
  WriteBooleanToStream(false, &S, 1);
  EXPECT_EQ(ReadAll(S), HexBytes("00000000 04000000 41004200 ff 00"));
  S.SetPosition(0);
  String W = u"old";
  ReadWideStringFromStream(W, &S, 2);
  EXPECT_EQ(W, u"");
  ReadWideStringFromStream(W, &S, 2);
  EXPECT_EQ(W, u"AB");
  bool B = false;
  EXPECT_TRUE(ReadBooleanFromStream(B, &S, 2));

  struct Case {
    std::string_view Hex;
    String Result;
    int Code;
  };
  const Case Cases[] = {{"01", u"", 77},                         // length cut
                        {"05000000 41004200 43", u"AB", -1},     // odd length: the last byte dropped
                        {"ffffff7f 4100", u"", 77},              // length beyond the bytes left
                        {"06000000 41004200", u"", 77},          // text cut
                        {"feffffff", u"", -1}};                  // negative: empty
  for (const auto& C : Cases) {
    TMdbMemoryStream In;
    const auto Bytes = HexBytes(C.Hex);
    In.Write(Bytes.data(), Int64(Bytes.size()));
    In.SetPosition(0);
    String Out = u"keep";
    EXPECT_EQ(NativeCodeOf([&] { ReadWideStringFromStream(Out, &In, 77); }), C.Code) << C.Hex;
    EXPECT_EQ(Out, C.Code == -1 ? C.Result : String(u"keep"));
  }
  TMdbMemoryStream One;
  One.Write("\x01", 1);
  One.SetPosition(0);
  EXPECT_TRUE(ReadBooleanFromStream(B, &One, 3));
  EXPECT_EQ(NativeCodeOf([&] { ReadBooleanFromStream(B, &One, 3); }), 3);
  String Name;
  MakeTempFileName(Name);
  {
    TMdbFileStream File(Name, TMdbFileStream::kCreate);
    File.Write("x", 1);
    SetStreamPosition(&File, 55, 0);
    try {
      SetStreamPosition(&File, 55, -4);
      FAIL();
    } catch (const EMdbException& E) {
      EXPECT_EQ(E.NativeError, 55);
      EXPECT_EQ(E.Message(), u"Cannot set stream position to -4. Position = 0, Size = 1 - Native error: 00055");
    }
  }
  DeleteFile(Name);
}

TEST_F(MdbStreamsTest, FileStreamOpenModes) {
  String Name;
  MakeTempFileName(Name);
  EXPECT_NE(Name.find(u"/ACR"), String::npos);
  EXPECT_TRUE(FileExistsAnsiOrWide("", Name));
  {
    TMdbFileStream F(Name, TMdbFileStream::kCreate);
    F.Write("hello world", 11);
    F.SetPosition(8);
    F.SetSize(5);
    EXPECT_EQ(F.Position(), 5);
    EXPECT_EQ(F.Size(), 5);
  }
  {
    TMdbFileStream F(Name, 0x0000);
    char Buf[8] = {};
    EXPECT_EQ(F.Read(Buf, 8), 5);
    EXPECT_EQ(std::string(Buf), "hello");
    EXPECT_EQ(F.Write("x", 1), 0);
  }
  {
    // An exclusive open keeps a second open out.
    TMdbFileStream F(Name, 0x0012);
    EXPECT_EQ(NativeCodeOf([&] { TMdbFileStream G(Name, 0x0000); }), 10105);
  }
  DeleteFile(Name);
  EXPECT_FALSE(FileExistsWide(Name.c_str()));
  EXPECT_EQ(NativeCodeOf([&] { TMdbFileStream G(Name, 0x0000); }), 10105);
  EXPECT_EQ(NativeCodeOf([&] { TMdbFileStream G(String(u"/no/such/folder/x"), TMdbFileStream::kCreate); }), 10104);
  EXPECT_EQ(NativeCodeOf([&] { TMdbFileStream G(AnsiString("/no/such/folder/x"), TMdbFileStream::kCreate); }), 10104);
}

TEST_F(MdbStreamsTest, TempFileBlockCache) {
  const auto Data = Pattern(40000);
  {
    TMdbTempFileStream T;
    EXPECT_EQ(T.Write(Data.data(), 32768), 32768);
    EXPECT_EQ(T.WriteCacheBlockNo(), -1);
    EXPECT_EQ(T.FileSize(), 32768);
  }
  {
    TMdbTempFileStream T;
    T.Write(Data.data(), 32700);
    T.Read(nullptr, 0);  // flushes
    T.SetPosition(32700);
    EXPECT_EQ(T.Write(Data.data(), 100), 100);
    EXPECT_EQ(T.WriteCacheBlockNo(), 1);
    EXPECT_EQ(T.CachedBytes(), 32);
    EXPECT_EQ(T.FileSize(), 32768);
  }
  {
    TMdbTempFileStream T;
    const String Name = T.TempFileName();
    T.Write(Data.data(), 4096);
    T.Write(Data.data() + 4096, 4096);
    EXPECT_EQ(T.WriteCacheBlockNo(), 0);
    EXPECT_EQ(T.CachedBytes(), 8192);
    EXPECT_EQ(T.FileSize(), 4096);
    T.SetPosition(40000);
    Byte b;
    EXPECT_EQ(T.Read(&b, 1), 0);
    EXPECT_EQ(T.FileSize(), 8192);
    EXPECT_EQ(ReadAll(T), std::vector<Byte>(Data.begin(), Data.begin() + 8192));
    EXPECT_TRUE(FileExists(Name));
    T.SetPosition(0);
    T.Write(Data.data(), 10);
    EXPECT_EQ(T.Size(), 8192);
    // A write past the end leaves zeros between the old end and the new bytes.
    T.SetPosition(8292);
    T.Write(Data.data(), 5);
    const auto All = ReadAll(T);
    for (int i = 8192; i < 8292; ++i) ASSERT_EQ(All[i], 0);
    // Shrinking and growing again does not bring back cut bytes.
    T.SetSize(100);
    T.SetSize(9000);
    const auto Regrown = ReadAll(T);
    for (int i = 100; i < 9000; ++i) ASSERT_EQ(Regrown[i], 0) << i;
  }
  // Larger writes and reads across blocks; the file goes with the stream.
  String Name;
  {
    TMdbTempFileStream T;
    Name = T.TempFileName();
    const auto Big = Pattern(300000, 3);
    for (std::size_t Off = 0; Off < Big.size(); Off += 7001)
      T.Write(Big.data() + Off, Int64(std::min<std::size_t>(7001, Big.size() - Off)));
    EXPECT_EQ(ReadAll(T), Big);
  }
  EXPECT_FALSE(FileExists(Name));
}

TEST_F(MdbStreamsTest, TemporaryStreamMovesToItsFile) {
  const auto Data = Pattern(1048576 + 10);
  {
    TMdbTemporaryStream T;
    T.Write(Data.data(), 1048576);
    T.SetSize(1048576);
    EXPECT_TRUE(T.InMemory());
    T.SetPosition(77);
    T.SetSize(1048577);
    EXPECT_FALSE(T.InMemory());
    EXPECT_EQ(T.Position(), 77);
    EXPECT_EQ(T.Size(), 1048577);
    auto All = ReadAll(T);
    EXPECT_TRUE(std::equal(Data.begin(), Data.begin() + 1048576, All.begin()));
    EXPECT_EQ(All.back(), 0);
    T.SetSize(0);
    EXPECT_FALSE(T.InMemory());
  }
  {
    TMdbTemporaryStream T;
    T.Write(Data.data(), 1048576);
    EXPECT_TRUE(T.InMemory());
    T.Write(Data.data() + 1048576, 1);
    EXPECT_FALSE(T.InMemory());
    EXPECT_EQ(ReadAll(T), std::vector<Byte>(Data.begin(), Data.begin() + 1048577));
  }
}

}  // namespace
