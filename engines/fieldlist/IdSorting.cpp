#include "engines/fieldlist/IdSorting.h"

#include <cstring>

#include "engines/fieldlist/IdConvert.h"
#include "platform/rtl/SysUtils.h"
#include "platform/sys/Collation.h"

void TIdSorting::AddOption(std::u16string_view Token) {
  if (SameText(Token, u"DESC")) FDescending = true;
  else if (SameText(Token, u"CASE") && IsTextType(FIdField->DataType())) FCaseInsensitive = true;
}

int TIdSorting::CompareKeyWithRow(std::span<const Byte> Bytes, const Byte* Row) const {
  const int r = FIdField->CompareData(Bytes, FIdField->BlockBytes(Row), FCaseInsensitive);
  return FDescending ? -r : r;
}

int TIdSorting::CompareRows(const Byte* A, const Byte* B) const {
  return CompareKeyWithRow(FIdField->BlockBytes(A), B);
}

int TIdSorting::CompareIndexes(int AIndex, int BIndex) const {
  const TIdRecordStore& store = *FIdField->Store();
  return CompareRows(store.Row(AIndex), store.Row(BIndex));
}

bool TIdSorting::AcceptsCase(bool ACaseInsensitive) const {
  return !IsTextType(FIdField->DataType()) || ACaseInsensitive == FCaseInsensitive;
}

namespace {
template <class IsSeparator>
std::vector<std::u16string_view> Split(std::u16string_view text, IsSeparator isSeparator) {
  std::vector<std::u16string_view> parts;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || isSeparator(text[i])) {
      if (i > start) parts.push_back(text.substr(start, i - start));
      start = i + 1;
    }
  }
  return parts;
}
}  // namespace

std::vector<TIdSorting> ParseSortText(std::u16string_view Text,
                                      const std::function<TIdField*(std::u16string_view Name)>& Resolve) {
  std::vector<TIdSorting> keys;
  for (std::u16string_view item : Split(Text, [](char16_t c) { return c == u',' || c == u';'; })) {
    const auto tokens = Split(item, [](char16_t c) { return c == u' ' || c == u'\x07'; });
    if (tokens.empty()) continue;
    TIdField* field = Resolve(tokens[0]);
    if (field == nullptr || field->IsBlob()) continue;
    bool already = false;
    for (const TIdSorting& k : keys) already = already || k.IdField() == field;
    if (already) continue;
    TIdSorting key(field);
    for (std::size_t t = 1; t < tokens.size(); ++t) key.AddOption(tokens[t]);
    keys.push_back(key);
  }
  return keys;
}

namespace {
template <class T>
TBytes Raw(T v) {
  TBytes b(sizeof v);
  std::memcpy(b.data(), &v, sizeof v);
  return b;
}
TTimeStamp StampOf(TDateTime d) {
  TTimeStamp s;
  if (!idconv::TryDateTimeToTimeStamp(d, s)) throw EVariantTypeCastError(String(msg::SInvalidVarCast));
  return s;
}
}  // namespace

TBytes VariantToFieldBytes(const Variant& Value, const TIdField& Field) {
  if (Value.IsNull() || Value.IsEmpty()) return {};
  const int t = Field.DataType();
  switch (t) {
    case idft::String:
    case idft::WideString:
    case idft::Guid: {
      TBytes b = TextToBytes(t, Value.AsString());
      if (b.size() > static_cast<std::size_t>(Field.DataSize())) b.resize(Field.DataSize());
      // An empty text is a value, not null: a lone terminator keeps it apart from the empty array.
      if (b.empty()) b.assign(IsWideType(t) ? 2 : 1, 0);
      return b;
    }
    case idft::Smallint: return Raw(static_cast<std::int16_t>(Value.AsInteger()));
    case idft::Word: return Raw(static_cast<std::uint16_t>(Value.AsInteger()));
    case idft::Integer:
    case idft::AutoInc: return Raw(static_cast<std::int32_t>(Value.AsInteger()));
    case idft::Boolean: return Raw(static_cast<std::uint16_t>(Value.AsBoolean() ? 1 : 0));
    case idft::Float:
    case idft::Currency: return Raw(Value.AsDouble());
    case idft::BCD:
    case idft::FMTBcd: return Raw(idconv::CurrencyToBcd(Value.AsCurrency()));
    case idft::Date: return Raw(StampOf(Value.AsDateTime()).Date);
    case idft::Time: return Raw(StampOf(Value.AsDateTime()).Time);
    case idft::DateTime: {
      return Raw(static_cast<double>(TimeStampToMSecs(StampOf(Value.AsDateTime()))));
    }
    case idft::TimeStamp: {
      TSQLTimeStamp s;
      if (!idconv::TryDateTimeToSQLTimeStamp(Value.AsDateTime(), s))
        throw EVariantTypeCastError(String(msg::SInvalidVarCast));
      return Raw(s);
    }
    case idft::Largeint: return Raw(static_cast<std::int64_t>(Value.AsInt64()));
    case idft::Shortint:
    case idft::Byte: return Raw(static_cast<std::uint8_t>(Value.AsInteger()));
    case idft::Extended: {
      TBytes b(10);
      idconv::DoubleToExtended(Value.AsDouble(), b.data());
      return b;
    }
    default: return {};
  }
}

int CompareKeyText(std::u16string_view KeyText, int DataType, std::span<const Byte> RowBytes, TLocateOptions Options) {
  String row = BytesToText(DataType, RowBytes);
  String key(KeyText);
  if ((Options & loPartialKey) != 0 && !key.empty() && row.size() > key.size()) row.resize(key.size());
  if ((Options & loCaseInsensitive) != 0) {
    sys::LowerCaseInPlace(key.data(), key.size());
    sys::LowerCaseInPlace(row.data(), row.size());
  }
  const int r = sys::CompareStringW(sys::LOCALE_USER_DEFAULT, 0, key, row);
  if (r == 0) return key < row ? -1 : (row < key ? 1 : 0);
  return r - 2;
}
