#include "platform/classes/Files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/rtl/Format.h"

namespace {
std::string OsName(const String& name) { return StringToUTF8(name); }
}  // namespace

Int64 THandleStream::Read(void* Buffer, Int64 Count) {
  if (Count <= 0) return 0;
  Int64 done = 0;
  while (done < Count) {
    const ssize_t n = ::read(FHandle, static_cast<char*>(Buffer) + done, static_cast<size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

Int64 THandleStream::Write(const void* Buffer, Int64 Count) {
  if (Count <= 0) return 0;
  Int64 done = 0;
  while (done < Count) {
    const ssize_t n = ::write(FHandle, static_cast<const char*>(Buffer) + done, static_cast<size_t>(Count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  return done;
}

Int64 THandleStream::Seek(Int64 Offset, TSeekOrigin Origin) {
  const int whence = Origin == TSeekOrigin::soBeginning ? SEEK_SET : Origin == TSeekOrigin::soCurrent ? SEEK_CUR : SEEK_END;
  return ::lseek(FHandle, Offset, whence);
}

void THandleStream::SetSize(Int64 NewSize) {
  if (::ftruncate(FHandle, NewSize) != 0) throw EStreamError(u"Stream size cannot be changed");
  if (Position() > NewSize) Seek(0, TSeekOrigin::soEnd);
}

TFileStream::TFileStream(const String& AFileName, Word Mode) : THandleStream(-1), FFileName(AFileName) {
  const std::string name = OsName(AFileName);
  if (Mode == fmCreate || (Mode & 0xFF00) == fmCreate) {
    FHandle = ::open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (FHandle < 0) throw EFCreateError(Format(u"Cannot create file \"%s\". %s", {AFileName, UTF8ToString(std::strerror(errno))}));
    return;
  }
  const int access = Mode & 3;
  const int flags = access == fmOpenWrite ? O_WRONLY : access == fmOpenReadWrite ? O_RDWR : O_RDONLY;
  FHandle = ::open(name.c_str(), flags | O_CLOEXEC);
  if (FHandle < 0) throw EFOpenError(Format(u"Cannot open file \"%s\". %s", {AFileName, UTF8ToString(std::strerror(errno))}));
  const int share = Mode & 0xF0;
  // Advisory locks stand in for share modes: readers that deny writing share the file among themselves.
  if (share == fmShareExclusive || share == fmShareDenyWrite || share == fmShareDenyRead) {
    const int lock = (share == fmShareDenyWrite && access == fmOpenRead) ? LOCK_SH : LOCK_EX;
    if (::flock(FHandle, lock | LOCK_NB) != 0) {
      ::close(FHandle);
      FHandle = -1;
      throw EFOpenError(Format(u"Cannot open file \"%s\". The file is in use by another process", {AFileName}));
    }
  }
}

TFileStream::~TFileStream() {
  if (FHandle >= 0) ::close(FHandle);
}

bool FileExists(const String& FileName) {
  struct stat st {};
  return ::stat(OsName(FileName).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool DirectoryExists(const String& Directory) {
  struct stat st {};
  return ::stat(OsName(Directory).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const String& Dir) {
  if (Dir.empty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::u8path(OsName(ExcludeTrailingPathDelimiter(Dir))), ec);
  return DirectoryExists(Dir);
}

bool DeleteFile(const String& FileName) { return ::unlink(OsName(FileName).c_str()) == 0; }

bool RenameFile(const String& OldName, const String& NewName) {
  return ::rename(OsName(OldName).c_str(), OsName(NewName).c_str()) == 0;
}

namespace {
size_t LastDelimiter(const String& S) {
  const size_t p = S.find_last_of(u"/");
  return p;
}
}  // namespace

String ChangeFileExt(const String& FileName, const String& Extension) {
  const size_t slash = LastDelimiter(FileName);
  const size_t dot = FileName.find_last_of(u'.');
  if (dot == String::npos || (slash != String::npos && dot < slash)) return FileName + Extension;
  return FileName.substr(0, dot) + Extension;
}

String ExtractFilePath(const String& FileName) {
  const size_t slash = LastDelimiter(FileName);
  return slash == String::npos ? String() : FileName.substr(0, slash + 1);
}

String ExtractFileName(const String& FileName) {
  const size_t slash = LastDelimiter(FileName);
  return slash == String::npos ? FileName : FileName.substr(slash + 1);
}

String ExtractFileExt(const String& FileName) {
  const size_t slash = LastDelimiter(FileName);
  const size_t dot = FileName.find_last_of(u'.');
  if (dot == String::npos || (slash != String::npos && dot < slash)) return String();
  return FileName.substr(dot);
}

String IncludeTrailingPathDelimiter(const String& S) {
  if (!S.empty() && S.back() == PathDelim) return S;
  return S + PathDelim;
}

String ExcludeTrailingPathDelimiter(const String& S) {
  if (S.size() > 1 && S.back() == PathDelim) return S.substr(0, S.size() - 1);
  return S;
}

String ExecutableFolder() {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return IncludeTrailingPathDelimiter(UTF8ToString(std::filesystem::current_path().string()));
  return IncludeTrailingPathDelimiter(UTF8ToString(exe.parent_path().string()));
}
