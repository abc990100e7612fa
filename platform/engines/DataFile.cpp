#include "platform/engines/DataFile.h"

#include <bit>
#include <cstring>
#include <new>
#include <string>

#include "platform/rtl/Format.h"
#include "platform/store/ByteStream.h"

static_assert(std::endian::native == std::endian::little, "the data file stores native values as little-endian bytes");

namespace {

[[noreturn]] void Invalid(const std::string& Why) { throw EMemDataFileError(u"Invalid data file: " + Str(Why)); }

// A read past the end names what it was reading.
struct TDataFileFail {
  [[noreturn]] static void Fail(const char* What) { Invalid(std::string("the data ends inside ") + What); }
};
using TDataFileReader = TByteReader<TDataFileFail>;

std::size_t NativeTextLength(const std::uint8_t* p, std::size_t Max) {
  std::size_t n = 0;
  while (n < Max && p[n] != 0) ++n;
  return n;
}

std::size_t NativeWideLength(const std::uint8_t* p, std::size_t Max) {
  std::size_t n = 0;
  while (n < Max && (p[2 * n] | p[2 * n + 1]) != 0) ++n;
  return n;
}

}  // namespace

void WriteDataFile(TStream& Stream, const TDataFileMagic& Magic, TRowStore& Store) {
  const TRecordLayout& layout = Store.Layout();
  const std::size_t rows = Store.Count();
  if (rows > UINT32_MAX) throw EMemDataFileError(u"Too many rows for a data file");
  TByteWriter w(Stream);
  w.Put(Magic.data(), Magic.size());
  w.PutValue<std::uint16_t>(kDataFileVersion);
  w.PutValue<std::uint16_t>(0);
  w.PutValue<std::uint32_t>(static_cast<std::uint32_t>(layout.ColumnCount()));
  for (const TColumnDef& c : layout.Columns()) {
    w.PutValue<std::uint16_t>(static_cast<std::uint16_t>(c.Name.size()));
    w.Put(c.Name.data(), c.Name.size() * 2);
    w.PutValue<std::uint16_t>(static_cast<std::uint16_t>(c.Type));
    w.PutValue<std::int32_t>(c.Size);
    w.PutValue<std::uint8_t>(c.Required ? 1 : 0);
  }
  w.PutValue<std::uint32_t>(static_cast<std::uint32_t>(rows));
  const std::size_t columns = layout.ColumnCount();
  std::vector<std::uint8_t> nulls(layout.NullBytes());
  for (std::size_t r = 0; r < rows; ++r) {
    const std::uint8_t* data = Store.Data(Store.IdAt(r));
    std::memcpy(nulls.data(), data, nulls.size());
    if (columns % 8 != 0) nulls.back() = static_cast<std::uint8_t>(nulls.back() & ((1u << (columns % 8)) - 1));
    w.Put(nulls.data(), nulls.size());
    for (std::size_t c = 0; c < columns; ++c) {
      if (TRecordLayout::IsNull(data, c)) continue;
      const TColumnLayout& l = layout.Column(c);
      const std::uint8_t* v = data + l.Offset;
      const auto size = static_cast<std::size_t>(layout.Columns()[c].Size);
      switch (l.Storage) {
        case TColumnStorage::Fixed:
        case TColumnStorage::FixedBytes:
          w.Put(v, l.NativeSize);
          break;
        case TColumnStorage::AnsiText: {
          const std::size_t n = NativeTextLength(v, size);
          w.PutValue<std::uint16_t>(static_cast<std::uint16_t>(n));
          w.Put(v, n);
          break;
        }
        case TColumnStorage::WideText: {
          const std::size_t n = NativeWideLength(v, size);
          w.PutValue<std::uint16_t>(static_cast<std::uint16_t>(n));
          w.Put(v, n * 2);
          break;
        }
        case TColumnStorage::VarBytes: {
          std::uint16_t n;
          std::memcpy(&n, v, 2);
          if (n > size) n = static_cast<std::uint16_t>(size);
          w.PutValue<std::uint16_t>(n);
          w.Put(v + 2, n);
          break;
        }
        case TColumnStorage::Blob: {
          const TBlobHandle h = TRowStore::BlobHandleAt(data, l.Offset);
          const std::vector<std::uint8_t>* bytes = Store.IsBlob(h) ? &Store.Blob(h) : nullptr;
          const std::size_t n = bytes ? bytes->size() : 0;
          if (n > UINT32_MAX) throw EMemDataFileError(u"A blob is too large for a data file");
          w.PutValue<std::uint32_t>(static_cast<std::uint32_t>(n));
          if (n) w.Put(bytes->data(), n);
          break;
        }
      }
    }
  }
  w.PutValue<std::uint32_t>(kDataFileEndMark);
  w.Flush();
}

namespace {
// A native date or time the fields would refuse to read (outside 0001-01-01 .. 9999-12-31, or a time
// outside the day) is refused with the file, not kept to raise at every read.
bool IsCalendarValue(TColumnType Type, const std::uint8_t* Value) {
  if (Type != ftDate && Type != ftTime && Type != ftDateTime) return true;
  try {
    if (Type == ftDateTime) {
      double msecs;
      std::memcpy(&msecs, Value, 8);
      NativeDateTimeToDateTime(msecs);
    } else {
      std::int32_t native;
      std::memcpy(&native, Value, 4);
      if (Type == ftDate) NativeDateToDateTime(native);
      else NativeTimeToDateTime(native);
    }
  } catch (const EConvertError&) {
    return false;
  }
  return true;
}
}  // namespace

std::unique_ptr<TRowStore> ReadDataFile(const std::uint8_t* Bytes, std::size_t Size, const TDataFileMagic& Magic, std::size_t& Consumed) {
  TDataFileReader r({Bytes, Size});
  if (Size < Magic.size() || std::memcmp(Bytes, Magic.data(), Magic.size()) != 0)
    Invalid("it does not start with this engine's signature");
  r.Take(Magic.size(), "the signature");
  const auto version = r.Get<std::uint16_t>("the header");
  if (version != kDataFileVersion) Invalid("format version " + std::to_string(version) + " is not known");
  if (r.Get<std::uint16_t>("the header") != 0) Invalid("unknown header flags");
  const auto column_count = r.Get<std::uint32_t>("the header");
  if (column_count == 0 || column_count > kMaxDataFileColumns) Invalid("column count " + std::to_string(column_count) + " is out of range");

  std::vector<TColumnDef> columns;
  columns.reserve(column_count);
  for (std::uint32_t i = 0; i < column_count; ++i) {
    const auto name_length = r.Get<std::uint16_t>("a column definition");
    if (name_length == 0 || name_length > kMaxColumnNameLength) Invalid("a column name length is out of range");
    TColumnDef c;
    c.Name.resize(name_length);
    std::memcpy(c.Name.data(), r.Take(name_length * 2u, "a column name"), name_length * 2u);
    c.Type = static_cast<TColumnType>(r.Get<std::uint16_t>("a column definition"));
    c.Size = r.Get<std::int32_t>("a column definition");
    const auto flags = r.Get<std::uint8_t>("a column definition");
    if (flags > 1) Invalid("unknown column flags");
    c.Required = flags == 1;
    TColumnStorage storage;
    std::uint32_t native_size;
    if (!DescribeColumn(c.Type, c.Size, storage, native_size))
      Invalid("column " + StringToUTF8(c.Name) + " has an unknown type or a size out of range");
    columns.push_back(std::move(c));
  }
  const TRecordLayout layout(std::move(columns));
  auto store = std::make_unique<TRowStore>(layout);

  const auto row_count = r.Get<std::uint32_t>("the row count");
  // Every row takes at least its null bitmap, so a count the bytes cannot hold is refused before the
  // store reserves anything for it.
  if (row_count > r.Remaining() / layout.NullBytes()) Invalid("the row count exceeds the data");
  store->Reserve(row_count);

  const std::size_t ncols = layout.ColumnCount();
  std::vector<std::uint8_t> record(layout.DataSize());
  for (std::uint32_t row = 0; row < row_count; ++row) {
    std::memset(record.data(), 0, record.size());
    const std::uint8_t* nulls = r.Take(layout.NullBytes(), "a row");
    if (ncols % 8 != 0 && (nulls[layout.NullBytes() - 1] >> (ncols % 8)) != 0) Invalid("a row's null flags are damaged");
    std::memcpy(record.data(), nulls, layout.NullBytes());
    for (std::size_t c = 0; c < ncols; ++c) {
      if (TRecordLayout::IsNull(record.data(), c)) continue;
      const TColumnLayout& l = layout.Column(c);
      std::uint8_t* v = record.data() + l.Offset;
      const auto size = static_cast<std::size_t>(layout.Columns()[c].Size);
      switch (l.Storage) {
        case TColumnStorage::Fixed:
        case TColumnStorage::FixedBytes:
          std::memcpy(v, r.Take(l.NativeSize, "a value"), l.NativeSize);
          if (!IsCalendarValue(layout.Columns()[c].Type, v)) Invalid("a date or time is outside the calendar");
          break;
        case TColumnStorage::AnsiText:
        case TColumnStorage::VarBytes: {
          const auto n = r.Get<std::uint16_t>("a value");
          if (n > size) Invalid("a value is longer than its column");
          const std::uint8_t* p = r.Take(n, "a value");
          if (l.Storage == TColumnStorage::VarBytes) {
            std::memcpy(v, &n, 2);
            v += 2;
          }
          std::memcpy(v, p, n);
          break;
        }
        case TColumnStorage::WideText: {
          const auto n = r.Get<std::uint16_t>("a value");
          if (n > size) Invalid("a value is longer than its column");
          std::memcpy(v, r.Take(n * 2u, "a value"), n * 2u);
          break;
        }
        case TColumnStorage::Blob: {
          const auto n = r.Get<std::uint32_t>("a blob");
          const std::uint8_t* p = r.Take(n, "a blob");
          if (n > 0) {
            const TBlobHandle h = store->NewBlob();
            store->Blob(h).assign(p, p + n);
            TRowStore::SetBlobHandleAt(record.data(), l.Offset, h);
          }
          break;
        }
      }
    }
    store->InsertRow(store->Count(), record.data());
  }
  if (r.Get<std::uint32_t>("the end mark") != kDataFileEndMark) Invalid("the end mark is missing");
  Consumed = r.Position();
  return store;
}

std::unique_ptr<TRowStore> ReadDataFile(TStream& Stream, const TDataFileMagic& Magic) {
  const Int64 start = Stream.Position();
  const Int64 size = Stream.Size();
  if (start < 0 || size < start) throw EMemDataFileError(u"Invalid data file: the stream has no readable data");
  std::size_t consumed = 0;
  std::unique_ptr<TRowStore> store;
  try {
    // A memory stream is parsed where it lies: no copy of the whole file.
    std::vector<Byte> holder;
    const std::span<const Byte> bytes = WholeStreamBytes(Stream, start, holder);
    store = ReadDataFile(bytes.data(), bytes.size(), Magic, consumed);
  } catch (const std::bad_alloc&) {
    // The rows were read into a store of their own: the dataset still holds what it held.
    throw EMemDataFileError(u"Not enough memory to load the data file");
  }
  Stream.SetPosition(start + static_cast<Int64>(consumed));
  return store;
}
