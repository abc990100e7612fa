#include "engines/fieldlist/IdStreamFormat.h"

#include <cstring>
#include <limits>
#include <new>

#include "engines/fieldlist/IdConvert.h"
#include "platform/classes/Streams.h"
#include "platform/rtl/Exceptions.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/MemoryBudget.h"
#include "platform/rtl/SysUtils.h"
#include "platform/store/ByteStream.h"
#include "platform/sys/CodePage.h"

namespace idstream {
namespace {

[[noreturn]] void StreamIncorrect() { throw Exception(String(SStreamIncorrect)); }
[[noreturn]] void DataIncorrect() { throw Exception(String(SDataIncorrect)); }

// The reader's errors: every shortfall is the same plain error, whatever was being read.
struct TStreamFail {
  [[noreturn]] static void Fail(const char*) { StreamIncorrect(); }
};
using TReader = TByteReader<TStreamFail>;
using TBlockReader = TStreamByteReader<TStreamFail>;

// How one stored field is read from a row, decided once per load.
enum class TReadOp { Blob, Text8, Text16, Fixed, Date, Time, DateTime, DefaultZero, DefaultNull };
struct TStep {
  const TIdField* Field;
  TReadOp Op;
};

bool GetsZeroWhenNotRead(int t) {
  switch (t) {
    case idft::Smallint:
    case idft::Integer:
    case idft::Word:
    case idft::Boolean:
    case idft::Float:
    case idft::Currency:
    case idft::BCD:
    case idft::VarBytes:
    case idft::Largeint:
    case idft::FMTBcd:
    case idft::Shortint:
    case idft::Byte:
    case idft::Extended: return true;
    default: return false;
  }
}

}  // namespace

int DescriptorSize(int DataType, int Size) {
  if (IsTextType(DataType)) return Size;
  return FieldDataSize(DataType, Size);
}

// ---- writing ----------------------------------------------------------------------------------------

namespace {
template <class T>
Byte* Store(Byte* out, T v) {
  std::memcpy(out, &v, sizeof v);
  return out + sizeof v;
}
Byte* StoreBytes(Byte* out, const void* p, std::size_t n) {
  if (n != 0) std::memcpy(out, p, n);
  return out + n;
}
}  // namespace

std::size_t HeaderSize(std::span<const TIdFieldDescriptor> Descriptors) {
  std::size_t size = kHeaderSize;
  for (const TIdFieldDescriptor& d : Descriptors) {
    // A name the reader would refuse must not produce a stream that cannot be read back.
    if (d.Name.size() * 2 > static_cast<std::size_t>(kMaxNameLength))
      throw EDatabaseError(Format(u"Field name too long to be saved: %s", {d.Name}));
    size += 4 + 1 + 2 + d.Name.size() * 2;
  }
  return size;
}

Byte* WriteHeader(Byte* Out, std::span<const TIdFieldDescriptor> Descriptors) {
  Out = Store<std::uint16_t>(Out, kSignature);
  Out = Store<std::uint16_t>(Out, kVersion);
  Out = Store<std::int32_t>(Out, static_cast<std::int32_t>(Descriptors.size()));
  for (const TIdFieldDescriptor& d : Descriptors) {
    Out = Store<std::int32_t>(Out, DescriptorSize(d.DataType, d.Size));
    Out = Store<Byte>(Out, static_cast<Byte>(d.DataType));
    Out = Store<std::uint16_t>(Out, static_cast<std::uint16_t>(d.Name.size() * 2));
    Out = StoreBytes(Out, d.Name.data(), d.Name.size() * 2);
  }
  return Out;
}

namespace {
// How one field is written, decided once per save: the per-row loop neither asks a field for its type
// nor copies a value of a size it does not know.
enum class TWriteOp : std::uint8_t { Blob, Text8, Text16, Fixed1, Fixed2, Fixed4, Fixed8, Fixed };
struct TWriteStep {
  std::uint32_t Offset;
  std::uint32_t DataSize;
  TWriteOp Op;
};

template <std::size_t N>
Byte* PutFixed(Byte* out, const Byte* slot) {
  *out++ = 1;
  std::memcpy(out, slot + 1, N);
  return out + N;
}

class TRowWriter {
 public:
  explicit TRowWriter(std::span<const TIdField* const> Fields) {
    for (const TIdField* f : Fields) {
      const auto size = static_cast<std::uint32_t>(f->DataSize());
      TWriteOp op;
      if (f->IsBlob()) {
        op = TWriteOp::Blob;
        FBlobs = &f->Store()->Blobs();
        FBound += 4;
      } else if (IsTextType(f->DataType())) {
        op = f->DataType() == idft::WideString ? TWriteOp::Text16 : TWriteOp::Text8;
        FBound += 1 + 4 + size;
      } else {
        op = size == 1 ? TWriteOp::Fixed1 : size == 2 ? TWriteOp::Fixed2 : size == 4 ? TWriteOp::Fixed4
             : size == 8 ? TWriteOp::Fixed8 : TWriteOp::Fixed;
        FBound += 1 + size;
      }
      FSteps.push_back({static_cast<std::uint32_t>(f->OffSet()), size, op});
    }
  }

  // The bytes Write gives for Row.
  std::size_t Size(const Byte* Row) const {
    std::size_t size = 0;
    for (const TWriteStep& s : FSteps) {
      const Byte* slot = Row + s.Offset;
      if (s.Op == TWriteOp::Blob) size += 4 + Blob(slot).size();
      else if (slot[0] == 0) size += 1;
      else if (s.Op == TWriteOp::Text8 || s.Op == TWriteOp::Text16) size += 1 + 4 + TextLength(s, slot + 1);
      else size += 1 + s.DataSize;
    }
    return size;
  }
  // At least Size(Row), found without measuring texts.
  std::size_t Bound(const Byte* Row) const {
    std::size_t size = FBound;
    if (FBlobs != nullptr)
      for (const TWriteStep& s : FSteps)
        if (s.Op == TWriteOp::Blob) size += Blob(Row + s.Offset).size();
    return size;
  }
  Byte* Write(Byte* Out, const Byte* Row) const {
    for (const TWriteStep& s : FSteps) {
      const Byte* slot = Row + s.Offset;
      if (s.Op == TWriteOp::Blob) {
        const std::span<const Byte> b = Blob(slot);
        Out = Store<std::int32_t>(Out, static_cast<std::int32_t>(b.size()));
        Out = StoreBytes(Out, b.data(), b.size());
        continue;
      }
      if (slot[0] == 0) {
        *Out++ = 0;
        continue;
      }
      switch (s.Op) {
        case TWriteOp::Text8:
        case TWriteOp::Text16: {
          const std::size_t n = TextLength(s, slot + 1);
          *Out++ = 1;
          Out = Store<std::int32_t>(Out, static_cast<std::int32_t>(n));
          Out = StoreBytes(Out, slot + 1, n);
          break;
        }
        case TWriteOp::Fixed1: Out = PutFixed<1>(Out, slot); break;
        case TWriteOp::Fixed2: Out = PutFixed<2>(Out, slot); break;
        case TWriteOp::Fixed4: Out = PutFixed<4>(Out, slot); break;
        case TWriteOp::Fixed8: Out = PutFixed<8>(Out, slot); break;
        default:
          *Out++ = 1;
          Out = StoreBytes(Out, slot + 1, s.DataSize);
          break;
      }
    }
    return Out;
  }

 private:
  std::span<const Byte> Blob(const Byte* Slot) const {
    std::uint32_t h;
    std::memcpy(&h, Slot, 4);
    return h == 0 ? std::span<const Byte>() : FBlobs->Bytes(h);
  }
  // The stored text of a fixed text slot: up to the terminator, never past the slot.
  static std::size_t TextLength(const TWriteStep& S, const Byte* Value) {
    if (S.Op == TWriteOp::Text16) {
      const std::size_t units = S.DataSize / 2;
      std::size_t n = 0;
      while (n < units && (Value[2 * n] | Value[2 * n + 1]) != 0) ++n;
      return n * 2;
    }
    return strnlen(reinterpret_cast<const char*>(Value), S.DataSize);
  }

  std::vector<TWriteStep> FSteps;
  const TBlobTable* FBlobs = nullptr;
  std::size_t FBound = 0;  // the widest bytes of every field but the blobs' values
};
}  // namespace

void Write(TStream& Stream, std::span<const TIdFieldDescriptor> Descriptors,
           std::span<const TIdField* const> Fields, const TRowSource& Rows) {
  const std::size_t headerSize = HeaderSize(Descriptors);
  const TRowWriter rows(Fields);
  const std::size_t count = Rows.Count();
  if (auto* memory = dynamic_cast<TMemoryStream*>(&Stream)) {
    // Sized once and written in place: no intermediate copy, no growth.
    std::size_t size = headerSize;
    for (std::size_t i = 0; i < count; ++i) size += rows.Size(Rows.Row(i));
    memory->SetSize(static_cast<Int64>(size));
    Byte* out = WriteHeader(static_cast<Byte*>(memory->Memory()), Descriptors);
    for (std::size_t i = 0; i < count; ++i) out = rows.Write(out, Rows.Row(i));
    return;
  }
  Stream.SetSize(0);
  Stream.SetPosition(0);
  TByteWriter writer(Stream);
  writer.Commit(WriteHeader(writer.Room(headerSize), Descriptors));
  for (std::size_t i = 0; i < count; ++i) {
    const Byte* row = Rows.Row(i);
    writer.Commit(rows.Write(writer.Room(rows.Bound(row)), row));
  }
  writer.Flush();
}

void Write(TStream& Stream, std::span<const TIdFieldDescriptor> Descriptors,
           std::span<const TIdField* const> Fields, std::span<const Byte* const> Rows) {
  struct TSpanRows final : TRowSource {
    std::span<const Byte* const> Rows;
    std::size_t Count() const override { return Rows.size(); }
    const Byte* Row(std::size_t I) const override { return Rows[I]; }
  };
  TSpanRows source;
  source.Rows = Rows;
  Write(Stream, Descriptors, Fields, source);
}

// ---- reading ----------------------------------------------------------------------------------------

namespace {
template <class TAnyReader>
TIdStreamHeader ReadHeaderWith(TAnyReader& r) {
  TIdStreamHeader header;
  const auto signature = r.template Get<std::uint16_t>();
  r.template Get<std::uint16_t>();  // version
  if (signature == kRowsSignature) {
    header.RowsOffset = r.Position();
    return header;
  }
  if (signature != kSignature) StreamIncorrect();
  header.HasDescriptors = true;
  const auto count = r.template Get<std::int32_t>();
  if (count > 0) {
    constexpr std::size_t kMinDescriptor = 4 + 1 + 2;
    if (static_cast<std::size_t>(count) > r.Remaining() / kMinDescriptor) StreamIncorrect();
    header.Descriptors.reserve(static_cast<std::size_t>(count));
  }
  for (std::int32_t i = 0; i < count; ++i) {
    TIdFieldDescriptor d;
    const auto storedSize = r.template Get<std::int32_t>();
    const Byte typeByte = r.template Get<Byte>();
    const auto nameLength = r.template Get<std::uint16_t>();
    if (nameLength > kMaxNameLength || nameLength % 2 != 0) DataIncorrect();
    const Byte* name = r.Take(nameLength);
    d.Name.resize(nameLength / 2);
    std::memcpy(d.Name.data(), name, nameLength);
    d.DataType = typeByte & ~kKeyFlag;
    if (d.DataType > idft::MaxCode) d.DataType = idft::Unknown;
    d.InKey = (typeByte & kKeyFlag) != 0;
    if (!IsSupportedFieldType(d.DataType) || d.Name.empty()) DataIncorrect();
    // A control character (an embedded NUL among them) makes a name no one can type or show.
    for (char16_t c : d.Name)
      if (c < 0x20 || c == 0x7F) DataIncorrect();
    // Compared as the field list compares names, so that two it takes for one are refused here.
    for (const TIdFieldDescriptor& earlier : header.Descriptors)
      if (AnsiSameText(earlier.Name, d.Name)) DataIncorrect();
    // The descriptor holds DataSize for ftVarBytes (two bytes of length more than Size): take Size back
    // out of it, or every save and load would grow the field.
    if (IsTextType(d.DataType) || d.DataType == idft::Bytes) d.Size = storedSize;
    else if (d.DataType == idft::VarBytes) d.Size = storedSize - 2;
    if (d.Size < 0 || d.Size > kMaxRecordSize) DataIncorrect();
    // A GUID field holds its text form, braces included, and no other size.
    if (d.DataType == idft::Guid && d.Size != kGuidSize) DataIncorrect();
    header.Descriptors.push_back(std::move(d));
  }
  header.RowsOffset = r.Position();
  // Without descriptors no byte after the header can be a row: taking such bytes for an empty load
  // would drop the rows held.
  if (header.Descriptors.empty() && !r.AtEnd()) DataIncorrect();
  return header;
}
}  // namespace

TIdStreamHeader ReadHeader(std::span<const Byte> Data) {
  TReader r(Data);
  return ReadHeaderWith(r);
}

TIdStreamHeader ReadHeader(TStream& Stream) {
  TBlockReader r(Stream, 0);
  return ReadHeaderWith(r);
}

namespace {
template <class TAnyReader>
void ReadRowsWithin(TAnyReader& r, TIdRecordStore& Store, const std::vector<TStep>& Steps) {
  TMemoryBudget budget;
  const std::size_t rowCost = static_cast<std::size_t>(Store.BlockSize()) + sizeof(Byte*);
  while (!r.AtEnd()) {
    budget.Charge(rowCost);
    Byte* row = Store.NewStoredRecord(-1);
    for (const TStep& s : Steps) {
      Byte* slot = row + s.Field->OffSet();
      const std::size_t dataSize = static_cast<std::size_t>(s.Field->DataSize());
      switch (s.Op) {
        case TReadOp::DefaultZero: slot[0] = 1; break;  // the new row's value bytes are zero
        case TReadOp::DefaultNull: break;               // null, or the bookmark number of an autoinc
        case TReadOp::Blob: {
          const std::size_t n = r.Length32();
          budget.Charge(n);
          if (n > 0) s.Field->SetRecordData(row, r.Take(n), n);
          break;
        }
        case TReadOp::Text8:
        case TReadOp::Text16: {
          if (r.template Get<Byte>() == 0) break;
          const std::size_t n = r.Length32();
          const Byte* text = r.Take(n);
          // Keep the terminator inside the slot: cut to Size characters, never inside a character.
          std::size_t keep;
          if (s.Op == TReadOp::Text16) {
            keep = std::min(n, dataSize - 2) & ~std::size_t(1);
          } else {
            keep = n < dataSize ? n
                                : sys::CutLength(std::string_view(reinterpret_cast<const char*>(text), n), dataSize - 1);
          }
          slot[0] = 1;
          std::memcpy(slot + 1, text, keep);
          break;
        }
        case TReadOp::Fixed: {
          if (r.template Get<Byte>() == 0) break;
          slot[0] = 1;
          std::memcpy(slot + 1, r.Take(dataSize), dataSize);
          break;
        }
        case TReadOp::Date:
        case TReadOp::Time:
        case TReadOp::DateTime: {
          // A native date outside the calendar would raise at every read of the field: refused here.
          if (r.template Get<Byte>() == 0) break;
          const Byte* value = r.Take(dataSize);
          bool valid;
          if (s.Op == TReadOp::DateTime) {
            double msecs;
            std::memcpy(&msecs, value, 8);
            valid = idconv::IsNativeDateTime(msecs);
          } else {
            std::int32_t native;
            std::memcpy(&native, value, 4);
            valid = s.Op == TReadOp::Date ? native >= 1 && native <= idconv::kMaxDayNumber
                                          : native >= 0 && native < MSecsPerDay;
          }
          if (!valid) DataIncorrect();
          slot[0] = 1;
          std::memcpy(slot + 1, value, dataSize);
          break;
        }
      }
    }
  }
}

std::vector<TStep> ReadSteps(const TIdRecordStore& Store) {
  std::vector<TStep> steps;
  bool anyRead = false;
  for (int i = 0; i < Store.FieldCount(); ++i) {
    const TIdField* f = Store.Fields(i);
    TReadOp op;
    if (f->IsVirtual()) op = GetsZeroWhenNotRead(f->DataType()) ? TReadOp::DefaultZero : TReadOp::DefaultNull;
    else if (f->IsBlob()) op = TReadOp::Blob;
    else if (f->DataType() == idft::WideString) op = TReadOp::Text16;
    else if (IsTextType(f->DataType())) op = TReadOp::Text8;
    else if (f->DataType() == idft::Date) op = TReadOp::Date;
    else if (f->DataType() == idft::Time) op = TReadOp::Time;
    else if (f->DataType() == idft::DateTime) op = TReadOp::DateTime;
    else op = TReadOp::Fixed;
    anyRead = anyRead || !f->IsVirtual();
    steps.push_back({f, op});
  }
  if (!anyRead) steps.clear();
  return steps;
}

// A one-byte row of nulls becomes a whole fixed-width row in the store: a short stream can ask for
// more memory than the machine has. The rows are charged as they are made, and an allocation that
// fails anyway is the same clear error; either way only the staging store is lost.
template <class TAnyReader>
void ReadAllRows(TAnyReader& r, TIdRecordStore& Store, const std::vector<TStep>& Steps) {
  try {
    ReadRowsWithin(r, Store, Steps);
  } catch (const std::bad_alloc&) {
    throw EOutOfMemory(msg::SOutOfMemory);
  }
}
}  // namespace

void ReadRows(std::span<const Byte> Data, std::size_t Offset, TIdRecordStore& Store) {
  const std::vector<TStep> steps = ReadSteps(Store);
  if (steps.empty()) return;
  TReader r(Data, Offset);
  ReadAllRows(r, Store, steps);
}

void ReadRows(TStream& Stream, std::size_t Offset, TIdRecordStore& Store) {
  const std::vector<TStep> steps = ReadSteps(Store);
  if (steps.empty()) return;
  TBlockReader r(Stream, static_cast<Int64>(Offset));
  ReadAllRows(r, Store, steps);
}

}  // namespace idstream
