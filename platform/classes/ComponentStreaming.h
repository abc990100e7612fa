// Component streaming, binary form: the value writer and reader (TWriter, TReader) and the object layout
// they carry. The vlx binary format and the Kv save format are sequences of these values.
//
// A value is one TValueType byte and its data; integers are little-endian.
//
// | tag | name           | data                                                         |
// |-----|----------------|--------------------------------------------------------------|
// |  0  | vaNull         | none; closes a list                                          |
// |  1  | vaList         | none; opens a list                                           |
// |  2  | vaInt8         | signed 1 byte                                                |
// |  3  | vaInt16        | signed 2 bytes                                               |
// |  4  | vaInt32        | signed 4 bytes                                               |
// |  5  | vaExtended     | 10-byte x87 extended                                         |
// |  6  | vaString       | 1-byte length, bytes (system code page)                      |
// |  7  | vaIdent        | 1-byte length, UTF-8                                         |
// |  8  | vaFalse        | none                                                         |
// |  9  | vaTrue         | none                                                         |
// | 10  | vaBinary       | Int32 length, bytes                                          |
// | 11  | vaSet          | names (1-byte length, bytes), then an empty one              |
// | 12  | vaLString      | Int32 length, bytes (system code page)                       |
// | 13  | vaNil          | none                                                         |
// | 14  | vaCollection   | items (optional integer, vaList, properties, vaNull), vaNull |
// | 15  | vaSingle       | 4-byte float                                                 |
// | 16  | vaCurrency     | Int64 scaled by 10,000                                       |
// | 17  | vaDate         | 8-byte double                                                |
// | 18  | vaWString      | Int32 count of UTF-16 units, UTF-16LE                        |
// | 19  | vaInt64        | 8 bytes                                                      |
// | 20  | vaUTF8String   | Int32 byte length, UTF-8                                     |
// | 21  | vaDouble       | 8-byte double                                                |
//
// Writer rules: WriteInteger takes the smallest of vaInt8/16/32 that holds the value, vaInt64 only
// outside 32 bits. WriteFloat writes vaExtended. WriteString: when the UTF-8 form is shorter than twice
// the UTF-16 unit count, vaUTF8String if any byte is 0x80 or above, else vaString (up to 255 bytes) or
// vaLString; otherwise vaWString (so an empty text is 18 00 00 00 00).
//
// Object layout (TStream::WriteComponent / ReadComponent):
//
//   "TPF0"                                    kSignature, only before the root
//   [0xF0 | flags, [integer when ffChildPos]]  optional prefix: ffInherited 1, ffChildPos 2, ffInline 4
//   class name, object name                   each 1-byte length + UTF-8, kMaxObjectNameBytes
//                                             at most (a first byte of 0xF0 or more reads as a prefix)
//   (property name, value)* vaNull            name: 1-byte length + UTF-8, dotted path for sub-objects
//   (child object)* vaNull                    children in the same layout, without signature
//
// Reading never trusts a length: each length-prefixed value is checked against the bytes left before
// anything is allocated, list nesting is bounded (kMaxNestingDepth), and a failing read raises EReadError
// with the reader put back at the start of the value that failed.
//
// vaNull is both "Null" (WriteVariant of a Null) and the end of a list. Inside a list a Null would end
// the list early and corrupt every value after it, so code that writes values into a list uses
// WriteListVariant, which writes Null as vaNil; WriteVariant keeps the vaNull form for a value that
// stands alone.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "platform/classes/Classes.h"
#include "platform/classes/Streams.h"
#include "platform/rtl/Currency.h"
#include "platform/rtl/DateTime.h"
#include "platform/rtl/Extended.h"

class TMetaClass;
class TCollection;
class Variant;
struct TPropInfo;

enum TValueType : Byte {
  vaNull = 0,
  vaList = 1,
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaExtended = 5,
  vaString = 6,
  vaIdent = 7,
  vaFalse = 8,
  vaTrue = 9,
  vaBinary = 10,
  vaSet = 11,
  vaLString = 12,
  vaNil = 13,
  vaCollection = 14,
  vaSingle = 15,
  vaCurrency = 16,
  vaDate = 17,
  vaWString = 18,
  vaInt64 = 19,
  vaUTF8String = 20,
  vaDouble = 21,
};
inline constexpr Byte kMaxValueType = vaDouble;

enum TFilerFlag : Byte { ffInherited = 1, ffChildPos = 2, ffInline = 4 };
using TFilerFlags = Byte;
inline constexpr Byte kFilerPrefixMask = 0xF0;
// A class or object name's length byte stands where a prefix may: it must stay below the prefix mask.
inline constexpr size_t kMaxObjectNameBytes = kFilerPrefixMask - 1;

inline constexpr Byte kSignature[4] = {'T', 'P', 'F', '0'};
inline constexpr int kDefaultFilerBufferSize = 4096;
// Lists inside lists, collections, sub-objects and child components together.
inline constexpr int kMaxNestingDepth = 64;

using TReaderProc = std::function<void(TReader* Reader)>;
using TWriterProc = std::function<void(TWriter* Writer)>;
using TStreamProc = std::function<void(TStream* Stream)>;

// The common part of writer and reader: the stream, one buffer block, the root being streamed.
class TFiler : public TObject {
  VELLUM_CLASS(TFiler)
 public:
  TFiler(TStream* Stream, int BufSize);
  TFiler(const TFiler&) = delete;
  TFiler& operator=(const TFiler&) = delete;

  TStream* Stream() const { return FStream; }
  TComponent* Root() const { return FRoot; }
  void SetRoot(TComponent* Value) { FRoot = Value; }
  TComponent* LookupRoot() const { return FLookupRoot; }
  // The object this one is compared with when writing inherited forms (not used by this writer beyond
  // being offered to DefineProperties; always nullptr unless a caller sets it).
  TPersistent* Ancestor() const { return FAncestor; }
  void SetAncestor(TPersistent* Value) { FAncestor = Value; }
  bool IgnoreChildren() const { return FIgnoreChildren; }
  void SetIgnoreChildren(bool Value) { FIgnoreChildren = Value; }

  // A property whose data the class writes and reads itself. The writer calls WriteData when HasData;
  // the reader calls ReadData when the stream holds a property of that name.
  virtual void DefineProperty(const String& Name, const TReaderProc& ReadData, const TWriterProc& WriteData,
                              bool HasData) = 0;
  // The same for data kept as bytes: written as vaBinary; ReadData gets a memory stream over them.
  virtual void DefineBinaryProperty(const String& Name, const TStreamProc& ReadData, const TStreamProc& WriteData,
                                    bool HasData) = 0;
  virtual void FlushBuffer() = 0;

 protected:
  TStream* FStream;
  std::vector<Byte> FBuffer;
  size_t FBufPos = 0;
  size_t FBufEnd = 0;
  TComponent* FRoot = nullptr;
  TComponent* FLookupRoot = nullptr;
  TPersistent* FAncestor = nullptr;
  bool FIgnoreChildren = false;
};

class TWriter : public TFiler {
  VELLUM_CLASS(TWriter)
 public:
  explicit TWriter(TStream* Stream, int BufSize = kDefaultFilerBufferSize);
  // Flushes what is buffered. A destructor cannot report a failing stream, so a caller that must know
  // calls FlushBuffer itself first.
  ~TWriter() override;

  void FlushBuffer() override;
  // The stream position the next byte will land at.
  Int64 Position() const;
  void Write(const void* Buf, Int64 Count);
  void WriteValue(TValueType Value) { WriteByte(static_cast<Byte>(Value)); }

  void WriteSignature();
  void WriteListBegin() { WriteValue(vaList); }
  void WriteListEnd() { WriteValue(vaNull); }
  void WriteInteger(Int64 Value);
  void WriteFloat(double Value);     // vaExtended
  void WriteExtended(const TExtended80Rec& Value);  // vaExtended, the ten bytes as given
  void WriteSingle(float Value);     // vaSingle
  void WriteDouble(double Value);    // vaDouble
  void WriteCurrency(Currency Value);
  void WriteDate(TDateTime Value);
  void WriteBoolean(bool Value) { WriteValue(Value ? vaTrue : vaFalse); }
  void WriteString(std::u16string_view Value);
  void WriteWideString(std::u16string_view Value);  // always vaWString
  void WriteIdent(std::u16string_view Ident);        // vaIdent, or vaFalse/vaTrue/vaNil/vaNull for those words
  void WriteBinary(const void* Data, Int64 Count);   // vaBinary
  // Empty vaNil, Null vaNull, integers as WriteInteger, single vaSingle, double vaExtended, currency
  // vaCurrency, date vaDate, Boolean vaFalse/vaTrue, text (and anything with a text form: SQL time
  // stamps, FMT BCD, 8-bit text) as WriteString. Arrays and interfaces raise EWriteError.
  void WriteVariant(const Variant& Value);
  // WriteVariant for a value inside a list: Null goes as vaNil, since vaNull would end the list.
  void WriteListVariant(const Variant& Value);
  // A 1-byte length and the UTF-8 bytes, no tag (names). Longer than 255 bytes raises EWriteError.
  void WriteStr(std::u16string_view Value);
  void WriteUTF8Str(std::string_view Utf8);
  // WriteStr of a class or object name: over kMaxObjectNameBytes bytes raises EWriteError, as its
  // length byte would read back as a prefix.
  void WriteObjectName(std::u16string_view Name);

  // ---- objects ----
  // Signature, then Root with its properties and children.
  void WriteRootComponent(TComponent* Root);
  void WriteDescendent(TComponent* Root, TComponent* AAncestor);
  void WriteComponent(TComponent* Component);
  // Called by TComponent::WriteState: prefix, names, properties, children.
  void WriteData(TComponent* Instance);
  void WriteProperties(const TPersistent* Instance);
  void WriteCollection(const TCollection* Value);

  void DefineProperty(const String& Name, const TReaderProc& ReadData, const TWriterProc& WriteData,
                      bool HasData) override;
  void DefineBinaryProperty(const String& Name, const TStreamProc& ReadData, const TStreamProc& WriteData,
                            bool HasData) override;

  void WriteByte(Byte B) {
    if (FBufPos == FBuffer.size()) FlushBuffer();
    FBuffer[FBufPos++] = B;
  }

 private:
  template <class T>
  void WriteRaw(const T& Value) {
    if (FBuffer.size() - FBufPos < sizeof(T)) FlushBuffer();
    std::memcpy(FBuffer.data() + FBufPos, &Value, sizeof(T));
    FBufPos += sizeof(T);
  }
  void WritePrefix(TFilerFlags Flags, int ChildPos);
  void WriteProperty(const TPersistent* Instance, const TPropInfo& Prop);
  void WritePropName(const String& Name);
  void Enter();
  void Leave() { --FDepth; }
  // Runs Write one nesting level deeper under the property path Path; both come back on every exit.
  template <class Body>
  void WriteNested(const String& Path, Body&& WriteBody);

  String FPropPath;  // "Sub." prefix while a sub-object's properties are written
  int FDepth = 0;
};

class TReader : public TFiler {
  VELLUM_CLASS(TReader)
 public:
  explicit TReader(TStream* Stream, int BufSize = kDefaultFilerBufferSize);
  // Puts the stream just after the last value read (the rest of the buffer goes back).
  ~TReader() override;

  void FlushBuffer() override;
  // The stream position of the next value.
  Int64 Position() const;
  void SetPosition(Int64 Value);
  // Exactly Count bytes, else EReadError "Stream read error".
  void Read(void* Buf, Int64 Count);

  TValueType ReadValue();
  TValueType NextValue();
  bool EndOfList() { return NextValue() == vaNull; }
  // Reads one tag and raises "Invalid property value" when it is not Value.
  void CheckValue(TValueType Value);
  // Raises EReadError "Invalid stream format" when the next four bytes are not "TPF0".
  void ReadSignature();
  void ReadListBegin() { CheckValue(vaList); }
  void ReadListEnd() { CheckValue(vaNull); }
  void ReadPrefix(TFilerFlags& Flags, int& AChildPos);

  int ReadInteger();    // vaInt8/16/32
  Int64 ReadInt64();    // those and vaInt64
  double ReadFloat();   // vaExtended, vaDouble or any integer tag
  // The ten bytes of a vaExtended as stored (no rounding through double); vaDouble and integer tags
  // are widened exactly.
  TExtended80Rec ReadExtended();
  float ReadSingle();   // vaSingle or any integer tag
  double ReadDouble() { return ReadFloat(); }
  Currency ReadCurrency();   // vaCurrency or any integer tag
  TDateTime ReadDate();      // vaDate or any integer tag
  bool ReadBoolean();        // vaFalse / vaTrue
  String ReadString();       // vaString, vaLString (system code page), vaWString, vaUTF8String
  String ReadIdent();        // vaIdent, or the words of vaFalse/vaTrue/vaNil/vaNull
  std::vector<Byte> ReadBinary();  // vaBinary
  // vaNil → Empty, vaNull → Null, vaInt8/16/32 → Integer, vaInt64 → Int64, vaExtended/vaDouble → Double,
  // vaSingle → Single, vaCurrency → Currency, vaDate → date, texts → UTF-16 text, vaFalse/vaTrue →
  // Boolean, vaBinary → byte array. Anything else raises "Invalid property value".
  Variant ReadVariant();
  String ReadStr();  // 1-byte length + UTF-8, no tag
  // Skips one whole value (lists, sets and collections with what they hold).
  void SkipValue();

  // ---- objects ----
  // Reads the signature and the root object. Root nullptr: the class named in the stream is made
  // (registered classes only); otherwise the stream is read into Root.
  TComponent* ReadRootComponent(TComponent* Root);
  // Reads one object; Component nullptr makes it (Owner as its owner).
  TComponent* ReadComponent(TComponent* Component);
  // Called by TComponent::ReadState: properties, then children.
  void ReadData(TComponent* Instance);
  void ReadProperties(TPersistent* Instance);
  void ReadCollection(TCollection* Collection);

  TComponent* Owner() const { return FOwner; }
  void SetOwner(TComponent* Value) { FOwner = Value; }
  TComponent* Parent() const { return FParent; }
  void SetParent(TComponent* Value) { FParent = Value; }
  // Lets the caller hand over an existing component instead of a new one (leave Component nullptr to
  // have the class made).
  std::function<void(TReader* Reader, const TMetaClass& ComponentClass, TComponent*& Component)> OnCreateComponent;
  // An inherited object (ffInherited) names a component the owner should already have; when the owner
  // has none of that name, this hook may supply it (else "Ancestor for '%s' not found").
  std::function<void(TReader* Reader, const String& ComponentName, const TMetaClass* ComponentClass,
                     TComponent*& Component)>
      OnAncestorNotFound;

  void DefineProperty(const String& Name, const TReaderProc& ReadData, const TWriterProc& WriteData,
                      bool HasData) override;
  void DefineBinaryProperty(const String& Name, const TStreamProc& ReadData, const TStreamProc& WriteData,
                            bool HasData) override;

  Byte ReadByte() {
    if (FBufPos == FBufEnd) Fill(1);
    return FBuffer[FBufPos++];
  }

 private:
  template <class T>
  T ReadRaw() {
    if (FBufEnd - FBufPos < sizeof(T)) Fill(sizeof(T));
    T v;
    std::memcpy(&v, FBuffer.data() + FBufPos, sizeof(T));
    FBufPos += sizeof(T);
    return v;
  }
  // Makes at least Count bytes available in the buffer (Count <= buffer size), else "Stream read error".
  void Fill(size_t Count);
  // Reads an Int32 length and checks it against the bytes left.
  Int64 ReadLength();
  Int64 BytesLeft();
  [[noreturn]] void PropValueError();
  [[noreturn]] void ReadErrorAt(Int64 Start, std::u16string_view Message);
  Int64 ReadIntegerOfTag(TValueType Tag);
  double ReadExtendedData();
  String ReadStringOfTag(TValueType Tag);
  void SkipValueOfTag(TValueType Tag);
  void SkipBytes(Int64 Count);
  void ReadProperty(TPersistent* Instance);
  void ReadPropValue(TPersistent* Instance, const TPropInfo& Prop);
  void ReadDataInner(TComponent* Instance);
  void DropFixupsInto(const TCollection& Collection);
  void Enter();
  void Leave() { --FDepth; }

  Int64 FBufStart = 0;     // stream position of FBuffer[0]
  Int64 FStreamSize = -1;  // learnt on the first length check
  TComponent* FOwner = nullptr;
  TComponent* FParent = nullptr;
  String FPropName;        // the property being read; emptied once a defined property took it
  std::vector<TComponent*> FLoaded;
  struct Fixup {
    TPersistent* Instance;
    const TPropInfo* Prop;
    String Name;
  };
  std::vector<Fixup> FFixups;
  std::string FScratch;  // reused for 8-bit and UTF-8 texts
  int FDepth = 0;
};
