#include "engines/fieldlist/IdRecordStore.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#include "engines/fieldlist/IdConvert.h"
#include "platform/rtl/Format.h"
#include "platform/rtl/SysUtils.h"
#include "platform/rtl/Variant.h"
#include "platform/sys/CodePage.h"
#include "platform/sys/Collation.h"

// ---- field types ----------------------------------------------------------------------------------------

bool IsSupportedFieldType(int DataType) {
  return (DataType >= idft::String && DataType <= idft::TypedBinary) || DataType == idft::WideString ||
         DataType == idft::Largeint || DataType == idft::Guid || DataType == idft::TimeStamp ||
         DataType == idft::FMTBcd || DataType == idft::WideMemo || DataType == idft::Shortint ||
         DataType == idft::Byte || DataType == idft::Extended;
}

bool IsBlobType(int DataType) {
  return (DataType >= idft::Blob && DataType <= idft::TypedBinary) || DataType == idft::WideMemo;
}

bool IsWideType(int DataType) { return DataType == idft::WideString || DataType == idft::WideMemo; }

bool IsTextType(int DataType) {
  return DataType == idft::String || DataType == idft::WideString || DataType == idft::Guid;
}

int FieldDataSize(int DataType, int Size) {
  switch (DataType) {
    case idft::String:
    case idft::Guid: return Size + 1;
    case idft::WideString: return (Size + 1) * 2;
    case idft::Smallint:
    case idft::Word:
    case idft::Boolean: return 2;
    case idft::Integer:
    case idft::Date:
    case idft::Time:
    case idft::AutoInc: return 4;
    case idft::Float:
    case idft::Currency:
    case idft::DateTime:
    case idft::Largeint: return 8;
    case idft::BCD:
    case idft::FMTBcd: return static_cast<int>(sizeof(TBcd));
    case idft::Bytes: return Size;
    case idft::VarBytes: return Size + 2;
    case idft::TimeStamp: return static_cast<int>(sizeof(TSQLTimeStamp));
    case idft::Shortint:
    case idft::Byte: return 1;
    case idft::Extended: return 10;
    default: return 0;
  }
}

// ---- text and date helpers ------------------------------------------------------------------------------

String BytesToText(int DataType, std::span<const Byte> Bytes) {
  if (Bytes.empty()) return {};
  if (IsWideType(DataType)) {
    const std::size_t units = Bytes.size() / 2;
    String s(units, u'\0');
    std::memcpy(s.data(), Bytes.data(), units * 2);
    const std::size_t zero = s.find(u'\0');
    if (zero != String::npos) s.resize(zero);
    return s;
  }
  std::string_view bytes(reinterpret_cast<const char*>(Bytes.data()), Bytes.size());
  const std::size_t zero = bytes.find('\0');
  if (zero != std::string_view::npos) bytes = bytes.substr(0, zero);
  return sys::AnsiToUtf16(bytes);
}

TBytes TextToBytes(int DataType, std::u16string_view Text) {
  if (IsWideType(DataType)) {
    TBytes b(Text.size() * 2);
    if (!Text.empty()) std::memcpy(b.data(), Text.data(), b.size());
    return b;
  }
  const std::string s = sys::Utf16ToAnsi(Text);
  return TBytes(s.begin(), s.end());
}

TDateTime BytesToDateTime(int DataType, std::span<const Byte> Bytes) {
  if (Bytes.empty()) return 0;
  Byte b[8] = {};
  std::memcpy(b, Bytes.data(), std::min<std::size_t>(8, Bytes.size()));
  TDateTime result = 0;
  if (DataType == idft::Date) {
    std::int32_t day;
    std::memcpy(&day, b, 4);
    if (!idconv::TryNativeDateToDateTime(day, result)) return 0;
  } else if (DataType == idft::Time) {
    std::int32_t ms;
    std::memcpy(&ms, b, 4);
    if (!idconv::TryNativeTimeToDateTime(ms, result)) return 0;
  } else {
    double msecs;
    std::memcpy(&msecs, b, 8);
    if (!idconv::TryNativeDateTimeToDateTime(msecs, result)) return 0;
  }
  return result;
}

// ---- TIdField -------------------------------------------------------------------------------------------

namespace {

bool IsIntegerType(int t) {
  return t == idft::Smallint || t == idft::Integer || t == idft::Word || t == idft::AutoInc ||
         t == idft::Shortint || t == idft::Byte;
}
bool IsDateType(int t) {
  return t == idft::Date || t == idft::Time || t == idft::DateTime || t == idft::TimeStamp;
}
bool IsBcdType(int t) { return t == idft::BCD || t == idft::FMTBcd; }

template <class T>
T Load(const Byte* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

// The first four value bytes as std::int32_t, zero bytes added when the value is shorter; the signed small
// types keep their sign.
std::int32_t IntegerOf(int type, const Byte* value, int dataSize) {
  switch (type) {
    case idft::Smallint: return Load<std::int16_t>(value);
    case idft::Shortint: return static_cast<std::int8_t>(value[0]);
    default: {
      Byte b[4] = {};
      std::memcpy(b, value, std::min(4, dataSize));
      return Load<std::int32_t>(b);
    }
  }
}

TSQLTimeStamp ZeroStamp() { return TSQLTimeStamp{}; }

int Sign(double d) { return d < 0 ? -1 : (d > 0 ? 1 : 0); }
template <class T>
int Compare3(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

}  // namespace

TIdField::TIdField(TIdRecordStore* Store, int DataType, int Size, int OffSet, bool IsVirtual)
    : FStore(Store),
      FDataType(DataType),
      FSize(Size),
      FDataSize(FieldDataSize(DataType, Size)),
      FOffSet(OffSet),
      FIsBlob(IsBlobType(DataType)),
      FIsVirtual(IsVirtual) {}

bool TIdField::BlockIsNull(const Byte* Block) const {
  if (Block == nullptr) return true;
  if (FIsBlob) return Load<std::uint32_t>(Block + FOffSet) == 0;
  return Block[FOffSet] == 0;
}

std::span<const Byte> TIdField::BlockBytes(const Byte* Block) const {
  if (BlockIsNull(Block)) return {};
  if (FIsBlob) return FStore->Blobs().Bytes(Load<std::uint32_t>(Block + FOffSet));
  return {Block + FOffSet + 1, static_cast<std::size_t>(FDataSize)};
}

bool TIdField::GetRecordData(const Byte* Block, TBytes& Bytes) const {
  if (BlockIsNull(Block)) return false;
  if (FIsBlob) {
    Bytes.assign(Block + FOffSet, Block + FOffSet + kBlobSlotSize);
    return true;
  }
  // A destination too short for the value cannot hold it: saying "copied" would hand back garbage.
  if (Bytes.size() < static_cast<std::size_t>(FDataSize)) return false;
  std::memcpy(Bytes.data(), Block + FOffSet + 1, FDataSize);
  return true;
}

bool TIdField::GetRecordData(const Byte* Block, void* Dest, std::size_t DestSize) const {
  if (BlockIsNull(Block)) return false;
  if (Dest == nullptr) return true;
  const std::size_t need = FIsBlob ? kBlobSlotSize : static_cast<std::size_t>(FDataSize);
  if (DestSize < need) return false;
  std::memcpy(Dest, Block + FOffSet + (FIsBlob ? 0 : 1), need);
  return true;
}

void TIdField::SetRecordData(Byte* Block, const Byte* Data, std::size_t Length) const {
  if (Block == nullptr) return;
  Byte* slot = Block + FOffSet;
  if (FIsBlob) {
    TBlobTable& blobs = FStore->Blobs();
    const auto old = Load<std::uint32_t>(slot);
    const std::uint32_t h = Length == 0 ? 0 : blobs.Add(Data, Length);
    std::memcpy(slot, &h, 4);
    blobs.Release(old);
    return;
  }
  if (Length == 0) {
    slot[0] = 0;  // the old value bytes stay; only the has-value byte says null
    return;
  }
  slot[0] = 1;
  const std::size_t n = std::min<std::size_t>(Length, FDataSize);
  std::memcpy(slot + 1, Data, n);
  if (n < static_cast<std::size_t>(FDataSize)) std::memset(slot + 1 + n, 0, FDataSize - n);
}

const Byte* TIdField::Row(int AIndex) const {
  return (AIndex < 0 || AIndex >= FStore->Count()) ? nullptr : FStore->Row(AIndex);
}

const Byte* TIdField::GetDataPointer(int AIndex) const {
  const std::span<const Byte> b = BlockBytes(Row(AIndex));
  return b.empty() ? nullptr : b.data();
}

bool TIdField::GetIsNull(int AIndex) const { return BlockIsNull(Row(AIndex)); }

void TIdField::PaddedValue(const Byte* Value, Byte* Out, int N) const {
  std::memset(Out, 0, N);
  std::memcpy(Out, Value, std::min(N, FDataSize));
}

TBytes TIdField::GetAsBytes(int AIndex) const {
  const std::span<const Byte> b = BlockBytes(Row(AIndex));
  if (b.empty()) return {};
  if (IsTextType(FDataType)) return TextToBytes(FDataType, BytesToText(FDataType, b));
  return TBytes(b.begin(), b.end());
}

String TIdField::GetAsString(int AIndex) const {
  const std::span<const Byte> b = BlockBytes(Row(AIndex));
  if (b.empty()) return {};
  const int t = FDataType;
  if (IsTextType(t) || t == idft::Memo || t == idft::WideMemo) return BytesToText(t, b);
  if (IsIntegerType(t) || t == idft::Boolean) return IntToStr(GetAsInteger(AIndex));
  if (t == idft::Float || t == idft::Currency || t == idft::Extended) return idconv::FloatToText(GetAsFloat(AIndex));
  if (IsBcdType(t)) return idconv::CurrencyToText(GetAsCurrency(AIndex));
  if (t == idft::Largeint) return IntToStr(Load<Int64>(b.data()));
  String text;
  switch (t) {
    case idft::Date: return idconv::TryFormatDate(GetAsDateTime(AIndex), text) ? text : String();
    case idft::Time: return idconv::TryFormatTime(GetAsDateTime(AIndex), text) ? text : String();
    case idft::DateTime:
    case idft::TimeStamp: return idconv::TryFormatDateTime(GetAsDateTime(AIndex), text) ? text : String();
    case idft::Bytes:
    case idft::VarBytes: {
      static constexpr char16_t kHex[] = u"0123456789ABCDEF";
      text = u"0x";
      for (Byte v : b) {
        text.push_back(kHex[v >> 4]);
        text.push_back(kHex[v & 15]);
      }
      return text;
    }
    default: return {};
  }
}

int TIdField::GetAsInteger(int AIndex) const {
  const std::span<const Byte> b = BlockBytes(Row(AIndex));
  if (b.empty()) return 0;
  const int t = FDataType;
  if (IsTextType(t)) {
    int v;
    return TryStrToInt(BytesToText(t, b), v) ? v : 0;
  }
  if (IsIntegerType(t) || t == idft::Time || t == idft::Bytes || t == idft::VarBytes)
    return IntegerOf(t, b.data(), FDataSize);
  if (t == idft::Boolean) return Load<std::uint16_t>(b.data()) != 0 ? 1 : 0;
  if (t == idft::Float || t == idft::Currency || t == idft::Extended || IsBcdType(t)) {
    Currency c;
    if (IsBcdType(t)) {
      if (!idconv::TryBcdToCurrency(Load<TBcd>(b.data()), c)) return 0;
    } else if (!idconv::TryDoubleToCurrency(GetAsFloat(AIndex), c)) {
      return 0;
    }
    const Int64 whole = c.Scaled / Currency::kScale;
    return (whole < std::numeric_limits<int>::min() || whole > std::numeric_limits<int>::max()) ? 0
                                                                                               : static_cast<int>(whole);
  }
  if (t == idft::Date || t == idft::DateTime || t == idft::TimeStamp) {
    const double d = std::trunc(GetAsDateTime(AIndex));
    return (d < std::numeric_limits<int>::min() || d > std::numeric_limits<int>::max()) ? 0 : static_cast<int>(d);
  }
  if (t == idft::Largeint) return static_cast<int>(static_cast<std::uint32_t>(Load<Int64>(b.data())));
  return 0;
}

Int64 TIdField::GetAsLargeInt(int AIndex) const {
  const std::span<const Byte> b = BlockBytes(Row(AIndex));
  if (b.empty()) return 0;
  const int t = FDataType;
  if (IsTextType(t)) {
    Int64 v;
    return TryStrToInt64(BytesToText(t, b), v) ? v : 0;
  }
  if (IsIntegerType(t) || t == idft::Boolean || t == idft::Date || t == idft::Time) return GetAsInteger(AIndex);
  if (t == idft::Float || t == idft::Currency || t == idft::Extended || IsBcdType(t)) {
    const double d = std::trunc(GetAsFloat(AIndex));
    if (!std::isfinite(d) || d < -9.2233720368547e18 || d > 9.2233720368547e18) return 0;
    return static_cast<Int64>(d);
  }
  if (t == idft::DateTime || t == idft::TimeStamp) return std::bit_cast<Int64>(GetAsDateTime(AIndex));
  if (t == idft::Bytes || t == idft::VarBytes || t == idft::Largeint) {
    Byte v[8];
    PaddedValue(b.data(), v, 8);
    return Load<Int64>(v);
  }
  return 0;
}

double TIdField::GetAsFloat(int AIndex) const {
  const std::span<const Byte> b = BlockBytes(Row(AIndex));
  if (b.empty()) return 0;
  const int t = FDataType;
  if (IsTextType(t)) {
    double v;
    return idconv::TryTextToFloat(BytesToText(t, b), v) ? v : 0;
  }
  if (IsIntegerType(t) || t == idft::Boolean) return GetAsInteger(AIndex);
  if (t == idft::Float || t == idft::Currency || t == idft::Bytes || t == idft::VarBytes) {
    Byte v[8];
    PaddedValue(b.data(), v, 8);
    const double d = Load<double>(v);
    return std::isfinite(d) ? d : 0;
  }
  if (IsBcdType(t)) return GetAsCurrency(AIndex).ToDouble();
  if (IsDateType(t)) return GetAsDateTime(AIndex);
  if (t == idft::Largeint) return static_cast<double>(Load<Int64>(b.data()));
  if (t == idft::Extended) {
    const double d = idconv::ExtendedToDouble(b.data());
    return std::isfinite(d) ? d : 0;
  }
  return 0;
}

double TIdField::GetAsExtended(int AIndex) const {
  const int t = FDataType;
  if (t == idft::Bytes || t == idft::VarBytes || t == idft::Extended) {
    const std::span<const Byte> b = BlockBytes(Row(AIndex));
    if (b.empty()) return 0;
    Byte v[10];
    PaddedValue(b.data(), v, 10);
    const double d = idconv::ExtendedToDouble(v);
    return std::isfinite(d) ? d : 0;
  }
  return GetAsFloat(AIndex);
}

Currency TIdField::GetAsCurrency(int AIndex) const {
  const std::span<const Byte> b = BlockBytes(Row(AIndex));
  Currency c;
  if (b.empty()) return c;
  const int t = FDataType;
  if (IsTextType(t)) return idconv::TryTextToCurrency(BytesToText(t, b), c) ? c : Currency();
  if (IsIntegerType(t) || t == idft::Boolean) return Currency::FromScaled(Int64(GetAsInteger(AIndex)) * Currency::kScale);
  if (IsBcdType(t)) return idconv::TryBcdToCurrency(Load<TBcd>(b.data()), c) ? c : Currency();
  if (t == idft::Largeint) {
    const Int64 v = Load<Int64>(b.data());
    const Int64 limit = std::numeric_limits<Int64>::max() / Currency::kScale;
    return (v > limit || v < -limit) ? Currency() : Currency::FromScaled(v * Currency::kScale);
  }
  const double d = t == idft::Extended ? GetAsExtended(AIndex) : GetAsFloat(AIndex);
  return idconv::TryDoubleToCurrency(d, c) ? c : Currency();
}

bool TIdField::GetAsBoolean(int AIndex) const {
  const std::span<const Byte> b = BlockBytes(Row(AIndex));
  if (b.empty()) return false;
  const int t = FDataType;
  if (IsTextType(t)) {
    const String s = BytesToText(t, b);
    if (std::all_of(s.begin(), s.end(), [](char16_t c) { return c == u' '; })) return false;
    return !(s == u"0" || SameText(s, u"F") || SameText(s, u"False"));
  }
  if (IsIntegerType(t)) return GetAsInteger(AIndex) != 0;
  if (t == idft::Boolean) return Load<std::uint16_t>(b.data()) != 0;
  if (IsBcdType(t)) return GetAsCurrency(AIndex).Scaled != 0;
  if (t == idft::Largeint) return Load<Int64>(b.data()) != 0;
  if (t == idft::Extended) return GetAsExtended(AIndex) != 0;
  if (t == idft::Float || t == idft::Currency || IsDateType(t) || t == idft::Bytes || t == idft::VarBytes)
    return GetAsFloat(AIndex) != 0;
  return false;
}

TDateTime TIdField::GetAsDateTime(int AIndex) const {
  const std::span<const Byte> b = BlockBytes(Row(AIndex));
  if (b.empty()) return 0;
  const int t = FDataType;
  if (IsTextType(t)) {
    const String s = BytesToText(t, b);
    TDateTime d;
    return idconv::TryTextToDateTime(s, d) ? d : 0;
  }
  switch (t) {
    case idft::Smallint:
    case idft::Integer:
    case idft::Word:
    case idft::AutoInc:
    case idft::Largeint: return static_cast<double>(GetAsInteger(AIndex) & 0xFFFF);
    case idft::Float:
    case idft::Currency:
    case idft::BCD:
    case idft::FMTBcd:
    case idft::Bytes:
    case idft::VarBytes:
    case idft::Extended: return GetAsFloat(AIndex);
    case idft::Date:
    case idft::Time:
    case idft::DateTime: return BytesToDateTime(t, b);
    case idft::TimeStamp: {
      TDateTime d;
      return TrySQLTimeStampToDateTime(GetAsSQLTimeStamp(AIndex), d) ? d : 0;
    }
    default: return 0;
  }
}

TSQLTimeStamp TIdField::GetAsSQLTimeStamp(int AIndex) const {
  const std::span<const Byte> b = BlockBytes(Row(AIndex));
  if (b.empty()) return ZeroStamp();
  const int t = FDataType;
  TSQLTimeStamp stamp;
  if (t == idft::Bytes || t == idft::VarBytes || t == idft::TimeStamp) {
    Byte v[16];
    PaddedValue(b.data(), v, 16);
    return Load<TSQLTimeStamp>(v);
  }
  if (IsTextType(t)) {
    const String s = BytesToText(t, b);
    TDateTime d;
    if (!idconv::TryTextToDateTime(s, d)) return ZeroStamp();
    return idconv::TryDateTimeToSQLTimeStamp(d, stamp) ? stamp : ZeroStamp();
  }
  return idconv::TryDateTimeToSQLTimeStamp(GetAsDateTime(AIndex), stamp) ? stamp : ZeroStamp();
}

Variant TIdField::GetAsVariant(int AIndex) const {
  const TIdField& F = *this;
  if (F.GetIsNull(AIndex)) return Null();
  const std::span<const Byte> b = F.BlockBytes(Row(AIndex));
  auto load = [&b](auto v) {
    std::memcpy(&v, b.data(), sizeof v);
    return v;
  };
  try {
    if (F.IsBlob()) return VarFromBytes(b.data(), b.size());
    switch (F.DataType()) {
      case idft::String:
      case idft::WideString:
      case idft::Guid: return Variant(F.GetAsString(AIndex));
      case idft::Smallint: return Variant(load(std::int16_t{}));
      case idft::Integer:
      case idft::AutoInc: return Variant(load(std::int32_t{}));
      case idft::Word: return Variant(load(std::uint16_t{}));
      case idft::Boolean: return Variant(load(std::uint16_t{}) != 0);
      case idft::Float:
      case idft::Currency: return Variant(load(double{}));
      case idft::BCD:
      case idft::FMTBcd: return Variant(F.GetAsCurrency(AIndex));
      case idft::Date:
      case idft::Time:
      case idft::DateTime:
      case idft::TimeStamp: return VarFromDateTime(F.GetAsDateTime(AIndex));
      case idft::Bytes:
      case idft::VarBytes: return VarFromBytes(b.data(), b.size());
      case idft::Largeint: return Variant(static_cast<long long>(load(Int64{})));
      case idft::Shortint: return Variant(load(static_cast<signed char>(0)));
      case idft::Byte: return Variant(load(static_cast<unsigned char>(0)));
      case idft::Extended: return Variant(F.GetAsExtended(AIndex));
      default: return Null();
    }
  } catch (const Exception&) {
    return Null();
  }
}

int TIdField::CompareData(std::span<const Byte> A, std::span<const Byte> B, bool CaseInsensitive) const {
  if (A.empty() || B.empty()) return A.empty() ? (B.empty() ? 0 : -1) : 1;
  const int t = FDataType;
  if (IsTextType(t)) {
    String a = BytesToText(t, A);
    String b = BytesToText(t, B);
    if (CaseInsensitive) {
      sys::LowerCaseInPlace(a.data(), a.size());
      sys::LowerCaseInPlace(b.data(), b.size());
    }
    const int r = sys::CompareStringW(sys::LOCALE_USER_DEFAULT, 0, a, b);
    return r == 0 ? Compare3(a, b) : r - 2;
  }
  Byte a[16] = {}, b[16] = {};
  std::memcpy(a, A.data(), std::min<std::size_t>(A.size(), 16));
  std::memcpy(b, B.data(), std::min<std::size_t>(B.size(), 16));
  switch (t) {
    case idft::Smallint:
    case idft::Integer:
    case idft::Word:
    case idft::AutoInc:
    case idft::Shortint:
    case idft::Byte: return Compare3(IntegerOf(t, a, FDataSize), IntegerOf(t, b, FDataSize));
    case idft::Boolean: return Compare3(a[0] != 0, b[0] != 0);
    case idft::Float:
    case idft::Currency: return Sign(Load<double>(a) - Load<double>(b));
    case idft::BCD:
    case idft::FMTBcd: {
      Currency ca, cb;
      TBcd ba{}, bb{};
      std::memcpy(&ba, A.data(), std::min(A.size(), sizeof(TBcd)));
      std::memcpy(&bb, B.data(), std::min(B.size(), sizeof(TBcd)));
      if (!idconv::TryBcdToCurrency(ba, ca)) ca = Currency();
      if (!idconv::TryBcdToCurrency(bb, cb)) cb = Currency();
      return Compare3(ca.Scaled, cb.Scaled);
    }
    case idft::Date:
    case idft::Time:
    case idft::DateTime: return Compare3(BytesToDateTime(t, A), BytesToDateTime(t, B));
    case idft::TimeStamp: {
      TDateTime da = 0, db = 0;
      if (!TrySQLTimeStampToDateTime(Load<TSQLTimeStamp>(a), da)) da = 0;
      if (!TrySQLTimeStampToDateTime(Load<TSQLTimeStamp>(b), db)) db = 0;
      return Compare3(da, db);
    }
    case idft::Bytes:
    case idft::VarBytes: {
      for (int k = 0; k < FDataSize; ++k) {
        const int x = k < static_cast<int>(A.size()) ? A[k] : 0;
        const int y = k < static_cast<int>(B.size()) ? B[k] : 0;
        if (x != y) return x < y ? -1 : 1;
      }
      return 0;
    }
    case idft::Largeint: return Compare3(Load<Int64>(a), Load<Int64>(b));
    case idft::Extended: return Compare3(idconv::ExtendedToDouble(a), idconv::ExtendedToDouble(b));
    default: return 0;
  }
}

// ---- TIdRecordStore -------------------------------------------------------------------------------------

namespace {
// Rows per slab: slabs of about 2 MB, so a load of a million rows maps a few hundred of them; a small
// table touches only the pages its rows use.
constexpr std::uint32_t kMaxRowsPerSlab = 1u << 16;
constexpr std::size_t kSlabBytes = std::size_t{2} << 20;
std::unique_ptr<TRowPool> NewPool(int BlockSize, sys::TPageReserve* Reserve) {
  return std::make_unique<TRowPool>(static_cast<std::size_t>(BlockSize), kMaxRowsPerSlab, kSlabBytes, Reserve);
}
}  // namespace

TIdRecordStore::TIdRecordStore(TBlobTable& Blobs, sys::TPageReserve* Reserve)
    : FBlobs(Blobs), FReserve(Reserve), FPool(NewPool(kRowHeaderSize, Reserve)) {}

TIdRecordStore::~TIdRecordStore() { ClearRecords(); }

TIdField* TIdRecordStore::AddField(int DataType, int Size, bool IsVirtual) {
  if (!IsSupportedFieldType(DataType))
    throw EDatabaseError(Format(u"Unsupported field type: %d", {DataType}));
  if (Count() > 0) throw EDatabaseError(std::string_view("Cannot change the layout of a store that holds rows"));
  const int slot = IsBlobType(DataType) ? kBlobSlotSize : 1 + FieldDataSize(DataType, Size);
  if (Size < 0 || FieldDataSize(DataType, Size) < 0 || FRecordSize + slot > kMaxRecordSize)
    throw EDatabaseError(Format(u"Record size exceeds %d bytes", {kMaxRecordSize}));
  auto f = std::make_unique<TIdField>(this, DataType, Size, kRowHeaderSize + FRecordSize, IsVirtual);
  FRecordSize += slot;
  TIdField* raw = f.get();
  FIdFields.push_back(std::move(f));
  if (raw->IsBlob()) FBlobFields.push_back(raw);
  if (IsVirtual && DataType == idft::AutoInc) FVirtualAutoIncFields.push_back(raw);
  FPool = NewPool(BlockSize(), FReserve);
  return raw;
}

bool TIdRecordStore::SameLayout(const TIdRecordStore& Other) const {
  if (FRecordSize != Other.FRecordSize || FIdFields.size() != Other.FIdFields.size()) return false;
  for (std::size_t i = 0; i < FIdFields.size(); ++i) {
    const TIdField& a = *FIdFields[i];
    const TIdField& b = *Other.FIdFields[i];
    if (a.DataType() != b.DataType() || a.DataSize() != b.DataSize() || a.OffSet() != b.OffSet() ||
        a.IsVirtual() != b.IsVirtual())
      return false;
  }
  return true;
}

Byte* TIdRecordStore::AllocRecordBlock() const {
  return static_cast<Byte*>(std::calloc(static_cast<std::size_t>(BlockSize()), 1));
}

void TIdRecordStore::ReleaseBlobs(Byte* Block) const {
  for (const TIdField* f : FBlobFields) {
    std::uint32_t h;
    std::memcpy(&h, Block + f->OffSet(), 4);
    if (h != 0) {
      const std::uint32_t zero = 0;
      std::memcpy(Block + f->OffSet(), &zero, 4);
      FBlobs.Release(h);
    }
  }
}

void TIdRecordStore::FreeRecordBlock(Byte*& Block) const {
  if (Block == nullptr) return;
  ReleaseBlobs(Block);
  std::free(Block);
  Block = nullptr;
}

void TIdRecordStore::CopyRecordData(const Byte* Source, Byte* Dest) const {
  if (Source == nullptr || Dest == nullptr || Source == Dest) return;
  if (FBlobFields.empty()) {
    std::memcpy(Dest + kRowHeaderSize, Source + kRowHeaderSize, FRecordSize);
    return;
  }
  // Blob slots: take the source's handle (one more holder) before letting go of ours, so a shared
  // blob is never freed in between.
  for (const TIdField* f : FBlobFields) {
    std::uint32_t src, dst;
    std::memcpy(&src, Source + f->OffSet(), 4);
    std::memcpy(&dst, Dest + f->OffSet(), 4);
    if (src == dst) continue;
    FBlobs.AddRef(src);
    FBlobs.Release(dst);
  }
  std::memcpy(Dest + kRowHeaderSize, Source + kRowHeaderSize, FRecordSize);
}

void TIdRecordStore::CopyRecordDataKeepAutoInc(const Byte* Source, Byte* Dest) const {
  CopyRecordData(Source, Dest);
  if (Dest == nullptr) return;
  const std::int32_t bookmark = BookmarkOf(Dest);
  for (const TIdField* f : FVirtualAutoIncFields) {
    Byte* slot = Dest + f->OffSet();
    slot[0] = 1;
    std::memcpy(slot + 1, &bookmark, 4);
  }
}

void TIdRecordStore::InitRecord(Byte* Block) const {
  if (Block == nullptr) return;
  ReleaseBlobs(Block);
  std::memset(Block + kRowHeaderSize, 0, FRecordSize);
}

std::int32_t TIdRecordStore::BookmarkOf(const Byte* Block) { return Load<std::int32_t>(Block); }
void TIdRecordStore::SetBookmarkOf(Byte* Block, std::int32_t Bookmark) { std::memcpy(Block, &Bookmark, 4); }

Byte* TIdRecordStore::NewStoredRecord(int Index) {
  const TRowPool::Id id = FPool->Alloc();
  Byte* row = FPool->At(id);
  const int count = Count();
  try {
    FRecords.Insert(static_cast<std::size_t>(Index < 0 || Index >= count ? count : Index), id);
  } catch (...) {
    FPool->Free(id);
    throw;
  }
  SetBookmarkOf(row, ++FLastBookmark);
  for (const TIdField* f : FVirtualAutoIncFields) {
    Byte* slot = row + f->OffSet();
    slot[0] = 1;
    std::memcpy(slot + 1, &FLastBookmark, 4);
  }
  return row;
}

void TIdRecordStore::DeleteRow(int Index) {
  const TRowPool::Id id = FRecords.Remove(static_cast<std::size_t>(Index));
  ReleaseBlobs(FPool->At(id));
  FPool->Free(id);
}

void TIdRecordStore::ClearRecords() {
  if (!FBlobFields.empty()) {
    for (int i = 0, n = Count(); i < n; ++i) ReleaseBlobs(Row(i));
  }
  FRecords.Clear();
  FPool->Clear();
  FLastBookmark = 0;
}

void TIdRecordStore::ClearRecordsAndBlobTable() {
  FBlobs.Clear();
  FRecords.Clear();
  FPool->Clear();
  FLastBookmark = 0;
}

int TIdRecordStore::FindBookmark(std::int32_t Bookmark, int Near) const {
  const std::size_t found = FindNear(FRecords.Count(), static_cast<std::size_t>(std::max(Near, 0)),
                                     [&](std::size_t I) { return BookmarkOf(FPool->At(FRecords[I])) == Bookmark; });
  return found == kNotFound ? -1 : static_cast<int>(found);
}

void TIdRecordStore::AdoptRows(TIdRecordStore& Other) {
  if (&Other.FBlobs != &FBlobs || !SameLayout(Other))
    throw EDatabaseError(std::string_view("Cannot adopt rows of another layout"));
  ClearRecords();
  std::swap(FRecords, Other.FRecords);
  std::swap(FPool, Other.FPool);
  FLastBookmark = Other.FLastBookmark;
  Other.FLastBookmark = 0;
}
