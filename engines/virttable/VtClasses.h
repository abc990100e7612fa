// Small shared types of the virtual table, below the record set: a list that owns its objects, a list
// of text keys with integer codes (the lexeme lists of the parsers), UTF-16 <-> UTF-8 conversions into
// caller buffers, the text encodings the binary format and the XML reader convert bytes through (the
// 8-bit system code page, UTF-16LE, UTF-8), raw byte copies (Marshal), a UTF-16 string builder and the
// start-up choice of how "is this object of that class" is answered. Everything here calls platform/rtl
// and platform/sys only, and knows platform/classes' TObject by name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/rtl/String.h"

class TObject;

namespace vt {

// ---- lists ------------------------------------------------------------------------------------------------

// A list owning its objects: deleting an item, clearing and destroying free them; Extract hands one
// back without freeing it.
template <class T>
class TVtObjectList {
 public:
  int Add(std::unique_ptr<T> Item) {
    FItems.push_back(std::move(Item));
    return Count() - 1;
  }
  void Insert(int Index, std::unique_ptr<T> Item) { FItems.insert(FItems.begin() + Index, std::move(Item)); }
  void Delete(int Index) { FItems.erase(FItems.begin() + Index); }
  std::unique_ptr<T> Extract(int Index) {
    std::unique_ptr<T> item = std::move(FItems[static_cast<std::size_t>(Index)]);
    FItems.erase(FItems.begin() + Index);
    return item;
  }
  void Clear() { FItems.clear(); }
  int Count() const { return static_cast<int>(FItems.size()); }
  T* Items(int Index) const { return FItems[static_cast<std::size_t>(Index)].get(); }

 private:
  std::vector<std::unique_ptr<T>> FItems;
};

struct TIntValueItem {
  String Key;
  int Value = 0;
};

// Text keys with integer codes. Unsorted it keeps the order of Add; after Sort it is ordered by ASCII
// case-insensitive key and Add inserts in order, refusing a key it holds.
class TIntValueStringList {
 public:
  // Unsorted: appends. Sorted: inserts in order; a key already held raises Exception
  // "String \"S\" is already in the list" and leaves the list unchanged. Returns the position.
  int Add(std::u16string_view S, int Code);
  void Insert(int Index, std::u16string_view Key, int Value);
  void Clear() {
    FCodeStrings.clear();
    FSorted = false;
  }
  void Sort();
  bool Sorted() const { return FSorted; }
  const String& GetKey(int Index) const { return FCodeStrings[static_cast<std::size_t>(Index)].Key; }
  int GetValue(int Index) const { return FCodeStrings[static_cast<std::size_t>(Index)].Value; }
  int GetCount() const { return static_cast<int>(FCodeStrings.size()); }
  // Sorted: binary search; true on a hit with Index there, else Index is where S would go. Unsorted:
  // the first equal key, Index -1 without one.
  bool FindKeyIndex(std::u16string_view S, int& Index) const;

 private:
  std::vector<TIntValueItem> FCodeStrings;
  bool FSorted = false;
};

// -1, 0 or 1 by address (lists of objects sorted by identity).
int ComparePointers(const void* A, const void* B);

// ---- class test -------------------------------------------------------------------------------------------

// A class as a class test names it: its name (unqualified, as the language spells it) and the
// language's own test for an instance of it or of a descendant.
struct TVtClass {
  std::string Name;
  bool (*IsInstance)(const TObject* Object);
};
std::string UnqualifiedClassName(const std::type_info& Type);
template <class T>
const TVtClass& VtClassOf() {
  static const TVtClass kClass{UnqualifiedClassName(typeid(T)),
                               [](const TObject* Object) { return dynamic_cast<const T*>(Object) != nullptr; }};
  return kClass;
}

using TClassTest = bool (*)(const TObject* Object, const TVtClass& Class);
// The inheritance test. No object belongs to any class.
bool InheritsFromTest(const TObject* Object, const TVtClass& Class);
// True when the object's class or one of its ancestors has exactly the class's name: where a class may
// exist twice (once in each of two loaded modules), the two are the same class by name.
bool ClassNameChainTest(const TObject* Object, const TVtClass& Class);
// The test a module of the given kind answers with: the name chain in a library, the inheritance test in
// a program.
TClassTest ClassTestFor(bool RunningModuleIsLibrary);
// Chosen once, at start-up, for the running module. The virtual table is linked into the program
// itself, so this is the inheritance test.
extern const TClassTest ClassTestHook;
// Whether Object is a T through ClassTestHook.
template <class T>
bool IsVtClass(const TObject* Object) {
  return ClassTestHook(Object, VtClassOf<T>());
}

// ---- UTF-8 --------------------------------------------------------------------------------------------------

// UTF-16 -> UTF-8 into Dest (lone surrogates as U+FFFD). Without Source: 0. Without Dest: the bytes the
// conversion needs (no terminator). Otherwise: 0 when the bytes do not fit MaxDestBytes; else the bytes
// written plus 1 for the zero written after them. When the bytes fill Dest exactly, the last character
// is dropped to make room for the zero (which takes its first byte); a conversion whose last byte is
// already zero is returned as it is.
int WideToUtf8Buffer(char* Dest, int MaxDestBytes, const char16_t* Source, int SourceChars);
// UTF-8 -> UTF-16 into Dest (bad sequences as U+FFFD). Without Source: 0. Without Dest or with no room:
// the units needed. Otherwise as above in UTF-16 units: when the units fill Dest exactly, the last
// character (a surrogate pair whole) gives way to the zero.
int Utf8ToWideBuffer(char16_t* Dest, int MaxDestChars, const char* Source, int SourceBytes);
// UTF-8 bytes of a text as an 8-bit string, and back (empty for empty).
AnsiString EncodeUtf8(std::u16string_view S);
String DecodeUtf8(std::string_view S);
// Text of the system code page -> UTF-8 bytes, and back (through UTF-16).
AnsiString AnsiToUtf8Text(std::string_view S);
AnsiString Utf8ToAnsiText(std::string_view S);

// ---- encodings ----------------------------------------------------------------------------------------------

using TEncodingBytes = std::vector<Byte>;

// How text becomes bytes and back. Three shared instances: Encoding::Default() (8-bit, system code
// page, one byte a character), Encoding::Unicode() (UTF-16LE, no byte order mark; compared by
// identity to know text is kept as UTF-16) and Encoding::UTF8() (no byte order mark). Ranges are
// checked: one that does not fit its array raises Exception "Invalid buffer length".
class Encoding {
 public:
  virtual ~Encoding() = default;
  static Encoding* Default();
  static Encoding* Unicode();
  static Encoding* UTF8();

  virtual TEncodingBytes GetBytes(const AnsiString& Chars);
  // CharCount characters of Chars from CharIndex (0-based) into Bytes at ByteIndex; the bytes written.
  virtual int GetBytes(const AnsiString& Chars, int CharIndex, int CharCount, TEncodingBytes& Bytes, int ByteIndex);
  virtual TEncodingBytes GetBytes(const String& Chars);
  virtual int GetBytes(const String& Chars, int CharIndex, int CharCount, TEncodingBytes& Bytes, int ByteIndex);
  AnsiString GetAnsiString(const TEncodingBytes& Bytes) { return GetAnsiString(Bytes, 0, static_cast<int>(Bytes.size())); }
  virtual AnsiString GetAnsiString(const TEncodingBytes& Bytes, int Index, int Count);
  String GetWideString(const TEncodingBytes& Bytes) { return GetWideString(Bytes, 0, static_cast<int>(Bytes.size())); }
  virtual String GetWideString(const TEncodingBytes& Bytes, int Index, int Count);
  virtual int GetMaxByteCount(int CharCount) { return CharCount; }
  virtual int GetMaxCharCount(int ByteCount) { return ByteCount; }
  String GetString(const TEncodingBytes& Bytes) { return GetWideString(Bytes); }
  String GetString(const TEncodingBytes& Bytes, int Index, int Count) { return GetWideString(Bytes, Index, Count); }

 protected:
  // The part [Index, Index + Count) of Bytes, checked.
  static std::string_view Range(const TEncodingBytes& Bytes, int Index, int Count);
};

class UnicodeEncoding : public Encoding {
 public:
  TEncodingBytes GetBytes(const AnsiString& Chars) override;
  int GetBytes(const AnsiString& Chars, int CharIndex, int CharCount, TEncodingBytes& Bytes, int ByteIndex) override;
  TEncodingBytes GetBytes(const String& Chars) override;
  int GetBytes(const String& Chars, int CharIndex, int CharCount, TEncodingBytes& Bytes, int ByteIndex) override;
  AnsiString GetAnsiString(const TEncodingBytes& Bytes, int Index, int Count) override;
  String GetWideString(const TEncodingBytes& Bytes, int Index, int Count) override;
  int GetMaxByteCount(int CharCount) override { return 2 * CharCount; }
  int GetMaxCharCount(int ByteCount) override { return ByteCount / 2; }
  using Encoding::GetAnsiString;
  using Encoding::GetWideString;
};

class UTF8Encoding : public Encoding {
 public:
  TEncodingBytes GetBytes(const AnsiString& Chars) override;
  // Not provided for 8-bit text: raises Exception "not implemented".
  int GetBytes(const AnsiString& Chars, int CharIndex, int CharCount, TEncodingBytes& Bytes, int ByteIndex) override;
  TEncodingBytes GetBytes(const String& Chars) override;
  // CharIndex counts from 1 here (0 or less counts as 1), unlike the other encodings.
  int GetBytes(const String& Chars, int CharIndex, int CharCount, TEncodingBytes& Bytes, int ByteIndex) override;
  AnsiString GetAnsiString(const TEncodingBytes& Bytes, int Index, int Count) override;
  String GetWideString(const TEncodingBytes& Bytes, int Index, int Count) override;
  int GetMaxByteCount(int CharCount) override { return 3 * CharCount; }
  int GetMaxCharCount(int ByteCount) override { return ByteCount; }
  using Encoding::GetAnsiString;
  using Encoding::GetWideString;
};

// Raw byte copies between arrays and memory, ranges checked ("Invalid buffer length").
class Marshal {
 public:
  // Length bytes of Source from StartIndex to Destination.
  static void Copy(const TEncodingBytes& Source, int StartIndex, int Length, void* Destination);
  // Length bytes of Source to Destination from StartIndex.
  static void Copy(const void* Source, TEncodingBytes& Destination, int StartIndex, int Length);
};

// ---- string builder -----------------------------------------------------------------------------------------

// A UTF-16 text built in place. Its room grows by what is needed plus half the old room, so appending n
// characters costs O(n) in all.
class WideStringBuilder {
 public:
  explicit WideStringBuilder(int Capacity = 16);
  WideStringBuilder(std::u16string_view Value, int Capacity);
  void Append(std::u16string_view Value);
  // Value at Index (0-based; the characters from there move right).
  void Insert(int Index, std::u16string_view Value);
  // Every occurrence of OldValue, left to right, the next search starting after the text put in; one
  // pass whatever the number of occurrences.
  void Replace(std::u16string_view OldValue, std::u16string_view NewValue);
  int Length() const { return FActualLength; }
  void SetLength(int Value);
  int Capacity() const { return static_cast<int>(FString.size()); }
  String ToString() const { return String(FString.data(), static_cast<std::size_t>(FActualLength)); }

 private:
  // Room for Extra more characters, grown by the rule above when short.
  void Reserve(int Extra);
  std::u16string FString;  // its size is the capacity
  int FActualLength = 0;
};

}  // namespace vt
