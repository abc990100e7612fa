#include "bench/RawFloor.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "platform/db/testing/BenchmarkSchema.h"
#include "platform/sys/CodePage.h"

namespace {

constexpr std::size_t kWriteBlock = 256 * 1024;
constexpr std::size_t kReadBlock = 1024 * 1024;

template <class T>
std::uint8_t* Put(std::uint8_t* out, T v) {
  std::memcpy(out, &v, sizeof v);
  return out + sizeof v;
}

std::size_t RowBytes(const TRawFloor::TRow& r) {
  return (1 + 4) + (1 + 4 + r.NameLength) + (1 + 8) + (1 + 2) + (1 + 8) + (1 + 4 + 2 * r.AddressLength) +
         (4 + 2 * r.Comment.size());
}

std::uint8_t* WriteRow(std::uint8_t* out, const TRawFloor::TRow& r) {
  *out++ = 1;
  out = Put<std::int32_t>(out, r.CustomerID);
  *out++ = 1;
  out = Put<std::int32_t>(out, r.NameLength);
  std::memcpy(out, r.ContactName, r.NameLength);
  out += r.NameLength;
  *out++ = 1;
  out = Put<double>(out, r.Birthdate);
  *out++ = 1;
  out = Put<std::uint16_t>(out, r.MaritalStatus);
  *out++ = 1;
  out = Put<double>(out, r.Salary);
  *out++ = 1;
  out = Put<std::int32_t>(out, 2 * r.AddressLength);
  std::memcpy(out, r.Address, 2 * r.AddressLength);
  out += 2 * r.AddressLength;
  out = Put<std::int32_t>(out, static_cast<std::int32_t>(2 * r.Comment.size()));
  std::memcpy(out, r.Comment.data(), 2 * r.Comment.size());
  return out + 2 * r.Comment.size();
}

[[noreturn]] void Bad() { throw std::runtime_error("raw floor: the saved rows are damaged"); }

// Rows from bytes in memory.
class TMemorySource {
 public:
  TMemorySource(const std::uint8_t* data, std::size_t size) : FAt(data), FEnd(data + size) {}
  bool AtEnd() { return FAt == FEnd; }
  const std::uint8_t* Take(std::size_t n) {
    if (static_cast<std::size_t>(FEnd - FAt) < n) Bad();
    const std::uint8_t* p = FAt;
    FAt += n;
    return p;
  }

 private:
  const std::uint8_t* FAt;
  const std::uint8_t* FEnd;
};

// Rows from a file, read in blocks; a value across a block end is moved to the front first.
class TFileSource {
 public:
  explicit TFileSource(std::FILE* file) : FFile(file), FBuffer(kReadBlock) {}
  bool AtEnd() {
    Fill(1);
    return FAt == FEnd;
  }
  const std::uint8_t* Take(std::size_t n) {
    if (FEnd - FAt < n) Fill(n);
    if (FEnd - FAt < n) Bad();
    const std::uint8_t* p = FBuffer.data() + FAt;
    FAt += n;
    return p;
  }

 private:
  void Fill(std::size_t n) {
    if (FEnd - FAt >= n) return;
    std::memmove(FBuffer.data(), FBuffer.data() + FAt, FEnd - FAt);
    FEnd -= FAt;
    FAt = 0;
    if (FBuffer.size() < n) FBuffer.resize(n);
    FEnd += std::fread(FBuffer.data() + FEnd, 1, FBuffer.size() - FEnd, FFile);
    if (std::ferror(FFile)) throw std::runtime_error("raw floor: cannot read the file");
  }

  std::FILE* FFile;
  std::vector<std::uint8_t> FBuffer;
  std::size_t FAt = 0;
  std::size_t FEnd = 0;
};

template <class T, class TSource>
T Get(TSource& in) {
  T v;
  std::memcpy(&v, in.Take(sizeof v), sizeof v);
  return v;
}

template <class TSource>
void ExpectValue(TSource& in) {
  if (*in.Take(1) != 1) Bad();
}

template <class TSource>
std::vector<TRawFloor::TRow> ReadRows(TSource& in) {
  std::vector<TRawFloor::TRow> rows;
  while (!in.AtEnd()) {
    TRawFloor::TRow& r = rows.emplace_back();
    ExpectValue(in);
    r.CustomerID = Get<std::int32_t>(in);
    ExpectValue(in);
    const auto name = Get<std::int32_t>(in);
    if (name < 0 || name > static_cast<std::int32_t>(sizeof r.ContactName)) Bad();
    r.NameLength = static_cast<std::uint8_t>(name);
    std::memcpy(r.ContactName, in.Take(name), name);
    ExpectValue(in);
    r.Birthdate = Get<double>(in);
    ExpectValue(in);
    r.MaritalStatus = Get<std::uint16_t>(in);
    ExpectValue(in);
    r.Salary = Get<double>(in);
    ExpectValue(in);
    const auto address = Get<std::int32_t>(in);
    if (address < 0 || address % 2 != 0 || address > static_cast<std::int32_t>(sizeof r.Address)) Bad();
    r.AddressLength = static_cast<std::uint8_t>(address / 2);
    std::memcpy(r.Address, in.Take(address), address);
    const auto comment = Get<std::int32_t>(in);
    if (comment < 0 || comment % 2 != 0) Bad();
    const std::uint8_t* text = in.Take(comment);  // checked before the memo is sized
    r.Comment.resize(comment / 2);
    std::memcpy(r.Comment.data(), text, comment);
  }
  return rows;
}

struct TFileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFile = std::unique_ptr<std::FILE, TFileCloser>;

}  // namespace

TRawFloor::TRow TRawFloor::MakeRow(int CustomerID) const {
  const TBenchmarkRow drawn = DrawBenchmarkRow(CustomerID);
  TRow r;
  r.CustomerID = drawn.CustomerID;
  r.NameLength = static_cast<std::uint8_t>(sys::Utf16ToAnsi(drawn.ContactName, r.ContactName, sizeof r.ContactName));
  r.Birthdate = drawn.Birthdate;
  r.MaritalStatus = drawn.MaritalStatus ? 1 : 0;
  r.Salary = drawn.Salary;
  // The address and the comment are made from the name as stored, as the generator fills them.
  char16_t stored[sizeof r.ContactName];
  const std::size_t n = std::min(
      sys::AnsiToUtf16(std::string_view(r.ContactName, r.NameLength), stored, std::size(stored)), std::size(stored));
  const std::u16string_view name(stored, n);
  constexpr std::u16string_view address = u"Address for ";
  r.AddressLength = static_cast<std::uint8_t>(std::min(address.size() + n, std::size(r.Address)));
  std::copy_n(address.begin(), std::min<std::size_t>(address.size(), r.AddressLength), r.Address);
  if (r.AddressLength > address.size()) std::copy_n(name.begin(), r.AddressLength - address.size(), r.Address + address.size());
  r.Comment.reserve(12 + n);
  r.Comment.append(u"Comment for ").append(name);
  return r;
}

void TRawFloor::Append(int Count) {
  for (int i = 1; i <= Count - 1; ++i) FRows.push_back(MakeRow(i + 1));
}

void TRawFloor::Insert(int Count) {
  std::vector<TRow> added;
  for (int i = 1; i <= Count - 1; ++i) added.push_back(MakeRow(i + 1));
  const std::size_t at = FRows.empty() ? 0 : FRows.size() - 1;
  FRows.insert(FRows.begin() + static_cast<std::ptrdiff_t>(at), std::make_move_iterator(added.rbegin()),
               std::make_move_iterator(added.rend()));
}

void TRawFloor::SaveToFile(const std::string& FileName) const {
  TFile file(std::fopen(FileName.c_str(), "wb"));
  if (!file) throw std::runtime_error("raw floor: cannot create " + FileName);
  std::vector<std::uint8_t> block(kWriteBlock);
  std::size_t used = 0;
  auto flush = [&] {
    if (std::fwrite(block.data(), 1, used, file.get()) != used) throw std::runtime_error("raw floor: write failed");
    used = 0;
  };
  for (const TRow& r : FRows) {
    const std::size_t need = RowBytes(r);
    if (block.size() - used < need) flush();
    if (block.size() < need) block.resize(need);
    used = static_cast<std::size_t>(WriteRow(block.data() + used, r) - block.data());
  }
  flush();
  if (std::fclose(file.release()) != 0) throw std::runtime_error("raw floor: write failed");
}

void TRawFloor::SaveToStream() {
  std::size_t size = 0;
  for (const TRow& r : FRows) size += RowBytes(r);
  FStream.reset();
  FStream = std::make_unique_for_overwrite<std::uint8_t[]>(size);
  std::uint8_t* out = FStream.get();
  for (const TRow& r : FRows) out = WriteRow(out, r);
  FStreamSize = size;
}

void TRawFloor::Empty() { FRows.clear(); }

void TRawFloor::LoadFromFile(const std::string& FileName) {
  TFile file(std::fopen(FileName.c_str(), "rb"));
  if (!file) throw std::runtime_error("raw floor: cannot open " + FileName);
  TFileSource in(file.get());
  FRows = ReadRows(in);
}

void TRawFloor::LoadFromStream() {
  TMemorySource in(FStream.get(), FStreamSize);
  FRows = ReadRows(in);
}
