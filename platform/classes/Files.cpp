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
#include "platform/sys/CodePage.h"

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
  const off_t pos = ::lseek(FHandle, Offset, whence);
  if (pos < 0) throw EStreamError(u"Invalid stream position");
  return pos;
}

void THandleStream::SetSize(Int64 NewSize) {
  if (NewSize < 0 || ::ftruncate(FHandle, NewSize) != 0) throw EStreamError(u"Stream size cannot be changed");
  if (Position() > NewSize) Seek(0, TSeekOrigin::soEnd);
}

namespace {
// The lock bytes of the share-mode emulation, far past any real end of file.
constexpr off_t kLockBase = off_t{1} << 62;
enum LockSlot : off_t { kHasRead = 0, kHasWrite = 1, kDeniesRead = 2, kDeniesWrite = 3 };

// A slot is a single byte, so that each mode is held and probed independently of the others.
struct flock SlotLock(LockSlot slot, short type) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = kLockBase + slot;
  lock.l_len = 1;
  return lock;
}

bool SlotHeld(int fd, LockSlot slot) {
  struct flock probe = SlotLock(slot, F_WRLCK);
  if (::fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type != F_UNLCK;
}

void HoldSlot(int fd, LockSlot slot) {
  struct flock lock = SlotLock(slot, F_RDLCK);
  ::fcntl(fd, F_OFD_SETLK, &lock);
}

// Checks the opens already held against this one and, when they agree, records this one's access and
// share mode. False when the file is in use in a conflicting way.
bool AcquireShare(int fd, bool read, bool write, Word share) {
  const bool deny_read = share == fmShareExclusive || share == fmShareDenyRead;
  const bool deny_write = share == fmShareExclusive || share == fmShareDenyWrite;
  if ((read && SlotHeld(fd, kDeniesRead)) || (write && SlotHeld(fd, kDeniesWrite)) ||
      (deny_read && SlotHeld(fd, kHasRead)) || (deny_write && SlotHeld(fd, kHasWrite)))
    return false;
  if (read) HoldSlot(fd, kHasRead);
  if (write) HoldSlot(fd, kHasWrite);
  if (deny_read) HoldSlot(fd, kDeniesRead);
  if (deny_write) HoldSlot(fd, kDeniesWrite);
  return true;
}

String OsErrorText(int error) { return UTF8ToString(std::strerror(error)); }
}  // namespace

TFileStream::TFileStream(const AnsiString& AFileName, Word Mode)
    : TFileStream(sys::AnsiToUtf16(AFileName, sys::CP_ACP), Mode) {}

TFileStream::TFileStream(const String& AFileName, Word Mode) : THandleStream(-1), FFileName(AFileName) {
  const std::string name = OsName(AFileName);
  const bool create = (Mode & 0xFF00) == fmCreate;
  const int access = create ? fmOpenReadWrite : Mode & 3;
  const Word share = static_cast<Word>(Mode & 0xF0);
  // Write-only opens are made read-write where the file allows it: the share locks need a readable
  // descriptor.
  int flags = access == fmOpenReadWrite || access == fmOpenWrite ? O_RDWR : O_RDONLY;
  if (create) flags |= O_CREAT;
  FHandle = ::open(name.c_str(), flags | O_CLOEXEC, 0644);
  if (FHandle < 0 && access == fmOpenWrite && errno == EACCES) FHandle = ::open(name.c_str(), O_WRONLY | O_CLOEXEC);
  if (FHandle < 0) {
    const int error = errno;
    if (create) throw EFCreateError(Format(u"Cannot create file \"%s\". %s", {AFileName, OsErrorText(error)}));
    throw EFOpenError(Format(u"Cannot open file \"%s\". %s", {AFileName, OsErrorText(error)}));
  }
  const bool read = access != fmOpenWrite;
  const bool write = access != fmOpenRead;
  if (!AcquireShare(FHandle, read, write, share)) {
    ::close(FHandle);
    FHandle = -1;
    const String text = Format(u"The process cannot access the file \"%s\" because it is being used by another process", {AFileName});
    if (create) throw EFCreateError(Format(u"Cannot create file \"%s\". %s", {AFileName, text}));
    throw EFOpenError(Format(u"Cannot open file \"%s\". %s", {AFileName, text}));
  }
  // Truncate only once the share check passed: a file another stream protects must not lose its data.
  if (create && ::ftruncate(FHandle, 0) != 0) {
    const int error = errno;
    ::close(FHandle);
    FHandle = -1;
    throw EFCreateError(Format(u"Cannot create file \"%s\". %s", {AFileName, OsErrorText(error)}));
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
