#include "engines/virttable/VtBlob.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engines/virttable/VtUtils.h"
#include "platform/sys/CodePage.h"

namespace vt {

namespace {
[[noreturn]] void InvalidPosition() { throw Exception(String(u"Invalid BLOB position")); }
[[noreturn]] void Assertion(const char16_t* Text) { throw Exception(String(Text)); }

std::string Flatten(const std::vector<std::vector<Byte>>& Pieces) {
  std::string out;
  for (const auto& p : Pieces) out.append(reinterpret_cast<const char*>(p.data()), p.size());
  return out;
}

std::u16string FlattenWide(const std::vector<std::vector<Byte>>& Pieces) {
  const std::string bytes = Flatten(Pieces);
  std::u16string out(bytes.size() / 2, u'\0');
  for (std::size_t i = 0; i < out.size(); ++i)
    out[i] = static_cast<char16_t>(static_cast<Byte>(bytes[2 * i]) | (static_cast<Byte>(bytes[2 * i + 1]) << 8));
  return out;
}
}  // namespace

// ---- TSharedObject ----

bool TSharedObject::Release() {
  if (FRefCount <= 0)
    throw Exception(String(u"TSharedObject.Free RefCount = ") + Str(std::to_string(FRefCount)));
  return --FRefCount == 0;
}

// ---- TVtBlobData ----

Int64 TVtBlobData::GetDataSize() const {
  Int64 n = 0;
  for (const auto& p : FPieces) n += static_cast<Int64>(p.size());
  return n;
}

void TVtBlobData::SetSize(Int64 Value) {
  const Int64 size = GetSize();
  if (Value < size) {
    Truncate(Value);
  } else if (Value > size) {
    const std::vector<Byte> zeros(static_cast<std::size_t>(Value - size), 0);
    Write(size, Value - size, zeros.data());
  }
}

void TVtBlobData::Clear() {
  DropPieces();
  FIsNull = true;
}

void TVtBlobData::Truncate(Int64 NewSize) { PlainTruncate(NewSize); }

void TVtBlobData::PlainTruncate(Int64 NewSize) {
  if (NewSize <= 0) {
    DropPieces();
    return;
  }
  Int64 at = 0;
  for (std::size_t i = 0; i < FPieces.size(); ++i) {
    const Int64 n = static_cast<Int64>(FPieces[i].size());
    if (at + n >= NewSize) {
      FPieces[i].resize(static_cast<std::size_t>(NewSize - at));
      FPieces.resize(i + 1);
      return;
    }
    at += n;
  }
}

Int64 TVtBlobData::Read(Int64 Position, Int64 Count, void* Dest) { return PlainRead(Position, Count, Dest); }

Int64 TVtBlobData::PlainRead(Int64 Position, Int64 Count, void* Dest) const {
  const Int64 size = PlainSize();
  if (Position < 0 || Position >= size) return 0;
  if (Count <= 0 || Count > size - Position) Count = size - Position;
  auto* out = static_cast<Byte*>(Dest);
  Int64 at = 0;
  Int64 done = 0;
  for (const auto& p : FPieces) {
    const Int64 n = static_cast<Int64>(p.size());
    if (done < Count && Position + done < at + n) {
      const Int64 from = Position + done - at;
      const Int64 take = std::min(n - from, Count - done);
      std::memcpy(out + done, p.data() + from, static_cast<std::size_t>(take));
      done += take;
    }
    at += n;
    if (done >= Count) break;
  }
  return done;
}

void TVtBlobData::Write(Int64 Position, Int64 Count, const void* Source) { PlainWrite(Position, Count, Source); }

void TVtBlobData::PlainWrite(Int64 Position, Int64 Count, const void* Source) {
  FIsNull = false;
  if (Count <= 0) return;
  Int64 size = PlainSize();
  if (Position < 0) Position = 0;
  if (Position + Count > kMaxBlobSize) throw Exception(String(u"Invalid BLOB position"));
  if (Position > size) {
    // A gap reads as zeros.
    const std::vector<Byte> zeros(static_cast<std::size_t>(Position - size), 0);
    PlainWrite(size, Position - size, zeros.data());
    size = Position;
  }
  const auto* in = static_cast<const Byte*>(Source);
  Int64 done = 0;
  // Overwrite what exists.
  Int64 at = 0;
  for (auto& p : FPieces) {
    const Int64 n = static_cast<Int64>(p.size());
    if (done < Count && Position + done < at + n) {
      const Int64 from = Position + done - at;
      const Int64 take = std::min(n - from, Count - done);
      std::memcpy(p.data() + from, in + done, static_cast<std::size_t>(take));
      done += take;
    }
    at += n;
  }
  // Append the rest: fill the last piece up to the piece size, then new pieces; existing bytes never move.
  while (done < Count) {
    if (FPieces.empty() || static_cast<Int64>(FPieces.back().size()) >= FPieceSize) {
      FPieces.emplace_back();
      FPieces.back().reserve(static_cast<std::size_t>(std::min<Int64>(FPieceSize, Count - done)));
    }
    auto& last = FPieces.back();
    const Int64 take = std::min<Int64>(FPieceSize - static_cast<Int64>(last.size()), Count - done);
    last.insert(last.end(), in + done, in + done + take);
    done += take;
  }
}

void TVtBlobData::Defrag(int MinPieceSize) {
  (void)MinPieceSize;
  if (FPieces.size() <= 1) return;
  std::vector<Byte> one;
  one.reserve(static_cast<std::size_t>(GetDataSize()));
  for (const auto& p : FPieces) one.insert(one.end(), p.begin(), p.end());
  FPieces.clear();
  FPieces.push_back(std::move(one));
}

void TVtBlobData::CopyTo(TVtBlobData& Dest) const {
  Dest.FPieces = FPieces;
  Dest.FIsNull = FIsNull;
  // The compressed flag travels with the bytes it describes.
  Dest.FCompressed = FCompressed;
}

Int64 TVtBlobData::GetSizeAnsi() const {
  return static_cast<Int64>(sys::AnsiLength(FlattenWide(FPieces)));
}

Int64 TVtBlobData::GetSizeUni() const {
  const std::string bytes = Flatten(FPieces);
  return 2 * static_cast<Int64>(sys::AnsiToUtf16(bytes).size());
}

Int64 TVtBlobData::TranslatePositionToAnsi(Int64 Position) const {
  if (Position == 0) return 0;
  const std::u16string text = FlattenWide(FPieces);
  Int64 a = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t units = (text[i] >= 0xD800 && text[i] < 0xDC00 && i + 1 < text.size()) ? 2 : 1;
    a += static_cast<Int64>(sys::AnsiLength(std::u16string_view(text).substr(i, units)));
    i += units;
    if (a == Position) return static_cast<Int64>(2 * i);
    if (a > Position) InvalidPosition();
  }
  InvalidPosition();
}

Int64 TVtBlobData::TranslatePositionToUni(Int64 Position) const {
  if (Position == 0) return 0;
  const std::string bytes = Flatten(FPieces);
  Int64 u = 0;
  std::size_t s = 0;
  while (s < bytes.size()) {
    const std::size_t len = std::max<std::size_t>(1, sys::CharLengthAt(bytes, s));
    u += 2 * static_cast<Int64>(sys::AnsiToUtf16(std::string_view(bytes).substr(s, len)).size());
    s += len;
    if (u == Position) return static_cast<Int64>(s);
    if (u > Position) InvalidPosition();
  }
  InvalidPosition();
}

void TVtBlobData::DropPieces() {
  // The first piece keeps its buffer: a recycled blob takes its next content without allocating.
  if (FPieces.empty()) return;
  FPieces.resize(1);
  FPieces.front().clear();
}

void TVtBlobData::Recycle() {
  DropPieces();
  if (!FPieces.empty() && FPieces.front().capacity() > static_cast<std::size_t>(kRecycledCapacity)) FPieces.clear();
  FIsNull = true;
  FCompressed = false;
}

// ---- TCompressedBlobData ----

Int64 TCompressedBlobData::UnCompressedSize() const {
  if (!FCompressed) Assertion(u"Assertion failure");
  std::int32_t n = 0;
  std::memcpy(&n, FPieces.front().data() + 16, 4);
  return n;
}

Int64 TCompressedBlobData::GetSize() const { return FCompressed ? UnCompressedSize() : GetDataSize(); }

Int64 TCompressedBlobData::GetCompressedSize() const {
  if (!FCompressed) throw Exception(String(u"Blob is not compressed"));
  return GetDataSize();
}

void TCompressedBlobData::SetSize(Int64 Value) {
  if (FCompressed && Value != 0 && Value != GetSize()) Decompress();
  if (Value == 0) {
    DropPieces();
    FCompressed = false;
    return;
  }
  TVtBlobData::SetSize(Value);
}

void TCompressedBlobData::Clear() {
  TVtBlobData::Clear();
  FCompressed = false;
}

void TCompressedBlobData::Truncate(Int64 NewSize) {
  if (FCompressed) {
    if (NewSize > 0) {
      Decompress();
    } else {
      DropPieces();
      FCompressed = false;
      return;
    }
  }
  PlainTruncate(NewSize);
}

Int64 TCompressedBlobData::Read(Int64 Position, Int64 Count, void* Dest) {
  if (FCompressed) {
    const Int64 size = GetSize();
    if (Position == 0 && (Count == 0 || Count >= size)) {
      // A whole read inflates straight into the caller's memory; the stored form stays compressed.
      std::size_t len = static_cast<std::size_t>(size);
      UncompressTo(Dest, len);
      return static_cast<Int64>(len);
    }
    Decompress();
  }
  return PlainRead(Position, Count, Dest);
}

void TCompressedBlobData::Write(Int64 Position, Int64 Count, const void* Source) {
  const Int64 size = GetSize();
  if (Position == 0 && (Count == size || size == 0 || (FCompressed && Count >= size))) {
    // The write replaces the whole content: store it compressed when that pays off.
    DropPieces();
    FCompressed = false;
    FIsNull = false;
    if (Count > static_cast<Int64>(kMinCompressSize) && CompressFrom(Source, static_cast<std::size_t>(Count))) return;
    PlainWrite(0, Count, Source);
    return;
  }
  if (FCompressed) Decompress();
  PlainWrite(Position, Count, Source);
}

bool TCompressedBlobData::SetCompressed(bool Value) {
  if (GetDataSize() == 0 || Value == FCompressed) return false;
  if (Value) {
    const Int64 size = GetDataSize();
    if (size > static_cast<Int64>(kMinCompressSize)) {
      Defrag(0);
      const std::vector<Byte> plain = FPieces.front();
      CompressFrom(plain.data(), plain.size());
    }
  } else {
    Decompress();
  }
  return true;
}

bool TCompressedBlobData::CompressFrom(const void* Source, std::size_t Count) {
  CheckZLibLinked();
  std::vector<Byte> piece(Count + Count / 5 + 32);
  std::size_t n = piece.size() - kCompressedHeaderSize;
  try {
    CompressHook()(piece.data() + kCompressedHeaderSize, n, Source, Count);
  } catch (const EZLibError&) {
    return false;
  }
  if (n + kCompressedHeaderSize >= Count) return false;
  std::memcpy(piece.data(), kCompressedSignature.data(), kCompressedSignature.size());
  const std::int32_t size = static_cast<std::int32_t>(Count);
  std::memcpy(piece.data() + 16, &size, 4);
  piece.resize(n + kCompressedHeaderSize);
  piece.shrink_to_fit();
  FPieces.clear();
  FPieces.push_back(std::move(piece));
  FCompressed = true;
  FIsNull = false;
  return true;
}

void TCompressedBlobData::UncompressTo(void* Dest, std::size_t& DestLen) const {
  if (FPieces.size() != 1) Assertion(u"Assertion failure");
  const auto& p = FPieces.front();
  if (p.size() <= kCompressedHeaderSize) throw Exception(String(u"Invalid compressed blob size"));
  if (!std::equal(kCompressedSignature.begin(), kCompressedSignature.end(), p.begin()))
    throw Exception(String(u"Invalid compressed blob header"));
  CheckZLibLinked();
  try {
    UncompressHook()(Dest, DestLen, p.data() + kCompressedHeaderSize, p.size() - kCompressedHeaderSize);
  } catch (const Exception&) {
    throw Exception(String(u"Invalid compressed blob data"));
  }
}

void TCompressedBlobData::Decompress() {
  if (!FCompressed) return;
  const Int64 size = UnCompressedSize();
  if (size <= 0 || size > kMaxBlobSize) throw Exception(String(u"Invalid uncompressed blob size"));
  std::vector<Byte> plain(static_cast<std::size_t>(size));
  std::size_t len = plain.size();
  UncompressTo(plain.data(), len);
  if (len != plain.size()) throw Exception(String(u"Invalid uncompressed blob size"));
  FPieces.clear();
  FCompressed = false;
  PlainWrite(0, static_cast<Int64>(plain.size()), plain.data());
}

// ---- TBlob ----

TBlob::TBlob(bool IsUnicode) : FData(std::make_unique<TVtBlobData>()), FIsUnicode(IsUnicode) {}

TBlob::~TBlob() { FTest = 0; }

void TBlob::CheckValid() const {
  if (FTest != 0xDD) throw Exception(String(u"Invalid BLOB"));
}

void TBlob::SetIsUnicode(bool Value) {
  if (Value == FIsUnicode) return;
  if (Size() > 0) throw Exception(String(u"Cannot change IsUnicode if Size > 0"));
  FIsUnicode = Value;
}

void TBlob::SaveRollback() {
  if (!FNeedRollback) throw Exception(String(u"Blob must be in cached mode"));
  // Null content (every new record's blob) is remembered without a copy.
  if (FData->IsNull()) {
    FRollbackNull = true;
    return;
  }
  FRollback = CreateBlobData();
  FData->CopyTo(*FRollback);
}

void TBlob::BeforeChange() {
  CheckValid();
  if (FNeedRollback && !CanRollback()) SaveRollback();
}

void TBlob::Recycle(bool IsUnicode) {
  ResetRefCount();
  FData->Recycle();
  FData->SetPieceSize(kDefaultPieceSize);
  FRollback.reset();
  FStoredData.reset();
  FRollbackNull = false;
  FNeedRollback = false;
  FIsUnicode = IsUnicode;
  FTest = 0xDD;
}

void TBlob::SetSize(Int64 Value) {
  BeforeChange();
  FData->SetSize(Value);
}

Int64 TBlob::GetSizeAnsi() const {
  if (!FIsUnicode) Assertion(u"Assertion failure");
  return FData->GetSizeAnsi();
}
Int64 TBlob::GetSizeUni() const {
  if (FIsUnicode) Assertion(u"Assertion failure");
  return FData->GetSizeUni();
}
Int64 TBlob::TranslatePositionToAnsi(Int64 Position) const {
  if (!FIsUnicode) Assertion(u"Assertion failure");
  return FData->TranslatePositionToAnsi(Position);
}
Int64 TBlob::TranslatePositionToUni(Int64 Position) const {
  if (FIsUnicode) Assertion(u"Assertion failure");
  return FData->TranslatePositionToUni(Position);
}

Int64 TBlob::Read(Int64 Position, Int64 Count, void* Dest) {
  CheckValid();
  return FData->Read(Position, Count, Dest);
}

void TBlob::Write(Int64 Position, Int64 Count, const void* Source) {
  BeforeChange();
  FData->Write(Position, Count, Source);
}

void TBlob::Clear() {
  CheckValid();
  if (IsNull()) {
    if (FData->PieceCount()) FData->Clear();
    return;
  }
  BeforeChange();
  FData->Clear();
}

void TBlob::Truncate(Int64 NewSize) {
  BeforeChange();
  FData->Truncate(NewSize);
}

TBytes TBlob::AsBytes() {
  TBytes out(static_cast<std::size_t>(Size()));
  if (!out.empty()) out.resize(static_cast<std::size_t>(Read(0, 0, out.data())));
  return out;
}

void TBlob::SetAsBytes(const TBytes& Value) {
  Clear();
  Write(0, static_cast<Int64>(Value.size()), Value.data());
}

AnsiString TBlob::AsAnsiString() {
  if (FIsUnicode) return sys::Utf16ToAnsi(AsWideString());
  const TBytes b = AsBytes();
  return AnsiString(b.begin(), b.end());
}

void TBlob::SetAsAnsiString(const AnsiString& Value) {
  if (FIsUnicode) {
    SetAsWideString(sys::AnsiToUtf16(Value));
    return;
  }
  Clear();
  Write(0, static_cast<Int64>(Value.size()), Value.data());
}

String TBlob::AsWideString() {
  if (!FIsUnicode) return sys::AnsiToUtf16(AsAnsiString());
  const TBytes b = AsBytes();
  String s(b.size() / 2, u'\0');
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char16_t>(b[2 * i] | (b[2 * i + 1] << 8));
  return s;
}

void TBlob::SetAsWideString(const String& Value) {
  if (!FIsUnicode) {
    SetAsAnsiString(sys::Utf16ToAnsi(Value));
    return;
  }
  std::vector<Byte> bytes(Value.size() * 2);
  for (std::size_t i = 0; i < Value.size(); ++i) {
    bytes[2 * i] = static_cast<Byte>(Value[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<Byte>(Value[i] >> 8);
  }
  Clear();
  Write(0, static_cast<Int64>(bytes.size()), bytes.data());
}

bool TBlob::MoveRollbackTo(TBlob& Dest) {
  if (!CanRollback() || FStoredData || Dest.FStoredData || Dest.CanRollback()) return false;
  const bool compressed = dynamic_cast<const TCompressedBlobData*>(FData.get()) != nullptr;
  if (compressed != (dynamic_cast<const TCompressedBlobData*>(Dest.FData.get()) != nullptr)) return false;
  if (FRollback) Dest.FData = std::move(FRollback);
  else Dest.FData = CreateBlobData();  // the content before the change was null
  FRollback.reset();
  FRollbackNull = false;
  Dest.FIsUnicode = FIsUnicode;
  Dest.FNeedRollback = true;
  return true;
}

void TBlob::Cancel() {
  if (FRollbackNull) {
    FRollbackNull = false;
    FStoredData.reset();
    FData->Clear();
    return;
  }
  if (!FRollback) return;
  if (FStoredData) FStoredData.reset();
  FData = std::move(FRollback);
}

void TBlob::SetUseRollback(bool Value) {
  if (Value) {
    if (FStoredData || !CanRollback()) return;
    FStoredData = std::move(FData);
    FData = FStoredData->CreateEmpty();
    if (FRollback) FRollback->CopyTo(*FData);
  } else if (FStoredData) {
    FData = std::move(FStoredData);
  }
}

bool TCompressedBlob::SetCompressed(bool Value) {
  CheckValid();
  return static_cast<TCompressedBlobData&>(*FData).SetCompressed(Value);
}

}  // namespace vt
