// Files and folders: the file stream and the file-name helpers. Names are UTF-16 and go to the OS as
// UTF-8; an 8-bit name holds bytes of the system code page and is decoded first.
#pragma once

#include "platform/classes/Streams.h"

inline constexpr Word fmCreate = 0xFF00;
inline constexpr Word fmOpenRead = 0x0000;
inline constexpr Word fmOpenWrite = 0x0001;
inline constexpr Word fmOpenReadWrite = 0x0002;
inline constexpr Word fmShareExclusive = 0x0010;
inline constexpr Word fmShareDenyWrite = 0x0020;
inline constexpr Word fmShareDenyRead = 0x0030;
inline constexpr Word fmShareDenyNone = 0x0040;

class THandleStream : public TStream {
  VELLUM_CLASS(THandleStream)
 public:
  explicit THandleStream(int AHandle) : FHandle(AHandle) {}
  Int64 Read(void* Buffer, Int64 Count) override;
  Int64 Write(const void* Buffer, Int64 Count) override;
  Int64 Seek(Int64 Offset, TSeekOrigin Origin) override;
  void SetSize(Int64 NewSize) override;
  int Handle() const { return FHandle; }

 protected:
  int FHandle = -1;
};

// fmCreate replaces the file; fmOpenRead with fmShareDenyWrite keeps other writers out while it is open.
// Failures raise EFCreateError / EFOpenError naming the file.
//
// Share modes are kept among the file streams of all processes on this machine: each open holds shared
// byte-range locks (open-file-description locks, far past the end of the file) that say "has read
// access", "has write access", "denies read", "denies write", and an open is refused when it conflicts
// with one already held. fmShareCompat (0) denies nothing. Other programs that take no such locks are
// not kept out.
inline constexpr Word fmShareCompat = 0x0000;

class TFileStream : public THandleStream {
  VELLUM_CLASS(TFileStream)
 public:
  TFileStream(const String& AFileName, Word Mode);
  // An 8-bit name holds bytes of the system code page; it is decoded before it goes to the OS.
  TFileStream(const AnsiString& AFileName, Word Mode);
  ~TFileStream() override;
  const String& FileName() const { return FFileName; }

 private:
  String FFileName;
};

bool FileExists(const String& FileName);
bool DirectoryExists(const String& Directory);
bool ForceDirectories(const String& Dir);
bool DeleteFile(const String& FileName);
bool RenameFile(const String& OldName, const String& NewName);
String ChangeFileExt(const String& FileName, const String& Extension);
String ExtractFilePath(const String& FileName);
String ExtractFileName(const String& FileName);
String ExtractFileExt(const String& FileName);
String IncludeTrailingPathDelimiter(const String& S);
String ExcludeTrailingPathDelimiter(const String& S);
// The folder of the running executable, with its trailing delimiter.
String ExecutableFolder();
inline constexpr char16_t PathDelim = u'/';
