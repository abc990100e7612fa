// Shared objects of the record set: reference-counted blobs (piece lists with a rollback copy, and the
// compressed form) and the variant objects of dtVariant fields. A record slot never holds their
// address: it holds a 32-bit handle into the record set's TSharedObjectTable.
//
// Compressed content (one piece, integers little-endian):
//
// | offset | size | contents                                                                         |
// |--------|------|----------------------------------------------------------------------------------|
// | 0      | 16   | kCompressedSignature (a GUID in its binary layout)                              |
// | 16     | 4    | Int32 uncompressed size                                                          |
// | 20     | n    | zlib stream (RFC 1950, default level) of the uncompressed bytes                  |
//
// Whether content is compressed is an explicit flag of the storage, never guessed from its first
// bytes: plain content that happens to begin with the signature stays plain.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/rtl/String.h"
#include "platform/db/FieldTypes.h"
#include "platform/rtl/Variant.h"

namespace vt {

inline constexpr std::array<Byte, 16> kCompressedSignature = {0x39, 0x8C, 0x9D, 0xF1, 0x58, 0x55, 0x49, 0x38,
                                                              0xA6, 0x52, 0x87, 0xCE, 0xE0, 0xC6, 0xDA, 0x7E};
inline constexpr std::size_t kCompressedHeaderSize = 20;
// Content of this size or less is never compressed.
inline constexpr std::size_t kMinCompressSize = 50;
inline constexpr int kDefaultPieceSize = 65514;
// Largest content a blob holds (sizes are Int32 in the record set's interfaces).
inline constexpr Int64 kMaxBlobSize = 0x7FFFFFFF;

// Reference-counted base: created with one reference; Release drops one and destroys at zero.
class TSharedObject {
 public:
  TSharedObject() = default;
  TSharedObject(const TSharedObject&) = delete;
  TSharedObject& operator=(const TSharedObject&) = delete;
  virtual ~TSharedObject() = default;

  int RefCount() const { return FRefCount; }
  void AddRef() { ++FRefCount; }
  // Raises "<class>.Free RefCount = n" for a count of 0 or below; true when the object must go.
  bool Release();
  virtual void Disconnect() {}
  virtual bool IsRecyclableBlob() const { return false; }

 protected:
  void ResetRefCount() { FRefCount = 1; }

 private:
  int FRefCount = 1;
};

class TVariantObject : public TSharedObject {
 public:
  Variant Value;
};

// The content of a blob: the concatenation of its pieces' bytes.
class TVtBlobData {
 public:
  explicit TVtBlobData(int PieceSize = kDefaultPieceSize) : FPieceSize(PieceSize > 0 ? PieceSize : kDefaultPieceSize) {}
  virtual ~TVtBlobData() = default;

  bool IsNull() const { return FIsNull && (FPieces.empty() || FPieces.front().empty()); }
  int PieceSize() const { return FPieceSize; }
  void SetPieceSize(int Value) { FPieceSize = Value > 0 ? Value : kDefaultPieceSize; }
  std::size_t PieceCount() const { return FPieces.size(); }
  const std::vector<std::vector<Byte>>& Pieces() const { return FPieces; }

  // Stored bytes (the compressed form counts its own size here).
  Int64 GetDataSize() const;
  virtual Int64 GetSize() const { return GetDataSize(); }
  virtual void SetSize(Int64 Value);
  virtual void Clear();
  virtual void Truncate(Int64 NewSize);
  // Bytes delivered; Count 0 reads to the end.
  virtual Int64 Read(Int64 Position, Int64 Count, void* Dest);
  virtual void Write(Int64 Position, Int64 Count, const void* Source);
  // Packs the content into one piece when it spans several (pieces below MinPieceSize only).
  void Defrag(int MinPieceSize = 0);
  virtual std::unique_ptr<TVtBlobData> CreateEmpty() const { return std::make_unique<TVtBlobData>(FPieceSize); }
  void CopyTo(TVtBlobData& Dest) const;
  // Empty and null again, keeping a small first piece's buffer for the next content.
  void Recycle();

  // Text forms of the content through the system code page, piece by piece; a double-byte character
  // split between pieces is carried over to the next piece, never cut.
  Int64 GetSizeAnsi() const;  // of UTF-16 content
  Int64 GetSizeUni() const;   // of 8-bit content, in bytes of UTF-16
  // Raise "Invalid BLOB position" for a position inside a character or beyond the content.
  Int64 TranslatePositionToAnsi(Int64 Position) const;
  Int64 TranslatePositionToUni(Int64 Position) const;

 protected:
  Int64 PlainSize() const { return GetDataSize(); }
  Int64 PlainRead(Int64 Position, Int64 Count, void* Dest) const;
  void PlainWrite(Int64 Position, Int64 Count, const void* Source);
  void PlainTruncate(Int64 NewSize);
  // No content; the first piece's buffer stays.
  void DropPieces();
  static constexpr int kRecycledCapacity = 4096;
  std::vector<std::vector<Byte>> FPieces;
  bool FIsNull = true;
  // Set only by TCompressedBlobData: the single piece holds the compressed form.
  bool FCompressed = false;
  int FPieceSize;
};

class TCompressedBlobData : public TVtBlobData {
 public:
  using TVtBlobData::TVtBlobData;
  bool IsCompressed() const { return FCompressed; }
  Int64 UnCompressedSize() const;
  Int64 GetSize() const override;
  // Raises "Blob is not compressed".
  Int64 GetCompressedSize() const;
  void SetSize(Int64 Value) override;
  void Clear() override;
  void Truncate(Int64 NewSize) override;
  Int64 Read(Int64 Position, Int64 Count, void* Dest) override;
  void Write(Int64 Position, Int64 Count, const void* Source) override;
  std::unique_ptr<TVtBlobData> CreateEmpty() const override { return std::make_unique<TCompressedBlobData>(FPieceSize); }
  // False when there is no content or it is already in the asked state.
  bool SetCompressed(bool Value);

 private:
  // Stores Count bytes compressed when that saves more than the header; true when kept.
  bool CompressFrom(const void* Source, std::size_t Count);
  // Inflates into Dest (capacity DestLen); DestLen := bytes produced.
  void UncompressTo(void* Dest, std::size_t& DestLen) const;
  void Decompress();
};

class TBlob : public TSharedObject {
 public:
  explicit TBlob(bool IsUnicode = false);
  ~TBlob() override;

  // Raises "Invalid BLOB" for a destroyed blob.
  void CheckValid() const;
  bool IsUnicode() const { return FIsUnicode; }
  // Raises "Cannot change IsUnicode if Size > 0".
  void SetIsUnicode(bool Value);
  int PieceSize() const { return FData->PieceSize(); }
  void SetPieceSize(int Value) { FData->SetPieceSize(Value); }
  bool IsNull() const { return FData->IsNull(); }
  Int64 Size() const { return FData->GetSize(); }
  void SetSize(Int64 Value);
  Int64 GetSizeAnsi() const;
  Int64 GetSizeUni() const;
  Int64 TranslatePositionToAnsi(Int64 Position) const;
  Int64 TranslatePositionToUni(Int64 Position) const;

  Int64 Read(Int64 Position, Int64 Count, void* Dest);
  void Write(Int64 Position, Int64 Count, const void* Source);
  void Clear();
  void Truncate(Int64 NewSize);

  // The whole content.
  TBytes AsBytes();
  void SetAsBytes(const TBytes& Value);
  AnsiString AsAnsiString();
  void SetAsAnsiString(const AnsiString& Value);
  String AsWideString();
  void SetAsWideString(const String& Value);

  // Rollback: after EnableRollback the first change keeps the prior content; Commit drops it, Cancel
  // restores it. UseRollback shows the kept content to readers meanwhile.
  bool RollbackEnabled() const { return FNeedRollback; }
  void EnableRollback() { FNeedRollback = true; }
  bool CanRollback() const { return FRollback != nullptr || FRollbackNull; }
  void Commit() {
    FRollback.reset();
    FRollbackNull = false;
  }
  // Ready for reuse as a new blob: one reference, empty, no rollback.
  void Recycle(bool IsUnicode);
  void Cancel();
  bool UseRollback() const { return FStoredData != nullptr; }
  void SetUseRollback(bool Value);
  // Hands the content kept for rollback to Dest (an empty blob of the same kind), moved, not copied;
  // Dest gets rollback enabled and this blob keeps its present content with nothing to roll back to.
  // False (nothing done) without a kept copy, while readers see the kept copy, or for another kind.
  bool MoveRollbackTo(TBlob& Dest);

  TVtBlobData& Data() { return *FData; }
  const TVtBlobData& Data() const { return *FData; }

 protected:
  TBlob(bool IsUnicode, std::unique_ptr<TVtBlobData> Data) : FData(std::move(Data)), FIsUnicode(IsUnicode) {}
  std::unique_ptr<TVtBlobData> CreateBlobData() const { return FData->CreateEmpty(); }
  void SaveRollback();
  void BeforeChange();

  std::unique_ptr<TVtBlobData> FData;
  std::unique_ptr<TVtBlobData> FRollback;
  std::unique_ptr<TVtBlobData> FStoredData;
  bool FRollbackNull = false;  // the content before the change was null (no copy kept)
  bool FIsUnicode = false;
  bool FNeedRollback = false;
  Byte FTest = 0xDD;
};

class TCompressedBlob : public TBlob {
 public:
  explicit TCompressedBlob(bool IsUnicode = false) : TBlob(IsUnicode, std::make_unique<TCompressedBlobData>()) {}
  bool IsRecyclableBlob() const override { return true; }
  bool Compressed() const { return static_cast<const TCompressedBlobData&>(*FData).IsCompressed(); }
  bool SetCompressed(bool Value);
  Int64 CompressedSize() const { return static_cast<const TCompressedBlobData&>(*FData).GetCompressedSize(); }
};

}  // namespace vt
