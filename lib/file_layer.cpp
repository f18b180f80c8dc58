#include <iterator>
#include "lib/file_layer.h"
#include "lib/name_text.h"

// Sharing and locking protocol of disk files
// ------------------------------------------
// Each process keeps one descriptor per disk file (per file object), opened with
// O_CLOEXEC, shared by every handle of the object. All locks below are open-file-
// description locks (F_OFD_SETLK, non-blocking, 64-bit offsets) on that descriptor, so
// they conflict between processes and between two descriptors of one process, and go away
// with the descriptor.
//
// Sharing (the platform's share modes), on byte S = 2^32 and marker byte M = 2^32 + 1,
// above every byte of the engine's lock protocol:
//   - shared open: read lock on S; then test M (F_OFD_GETLK for a write lock): if another
//     descriptor holds M, release S and refuse.
//   - exclusive open with a read/write descriptor (and every create): write lock on S.
//   - exclusive open with a read-only descriptor: a read-only descriptor cannot take a
//     write lock (EBADF), so it takes a read lock on S (keeps every exclusive writer out),
//     then a read lock on M (tells later shared openers to back off), then tests S: if any
//     other descriptor holds S, release both and refuse. Each side sets its own byte before
//     it tests the other's, so of two racing openers at least one sees the other; both may
//     be refused, never both admitted. Delete and rename probe the file the same way, so a
//     file another process has open is neither deleted nor renamed.
// Any refusal is a sharing violation, -11013. Within the process the file list refuses a
// second open of an exclusively opened object before the operating system is asked.
//
// Byte-range locks (TFileHandler::Lock): the object's lock list decides within the process
// (a range overlapping any listed range is refused, whichever handle set it); the OS lock
// decides between processes: a write lock on the range, or a read lock when the descriptor
// is read-only (which keeps other processes' write locks out but not their read locks;
// the engine takes no locks on read-only tables). Locks of one descriptor merge in the
// kernel, so an unlock releases exactly the bytes of its own entry: entries never overlap,
// so a neighbour's bytes stay locked. Ranges touching S or M are refused. A handle's locks
// are released when it closes.

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "engine/errors.h"

namespace veldor {
namespace {

constexpr int64_t kMaxInt64 = std::numeric_limits<int64_t>::max();

int32_t Fail(int error) { return -static_cast<int32_t>(MapOsError(error)); }

std::string Trim(const std::string& name) { return TrimControls(name); }

// Directory part ("." when there is none) and last component of a path.
struct TPathParts {
  std::string Dir;
  std::string Base;
};

TPathParts SplitPath(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return TPathParts{std::string(1, '.'), path};
  return TPathParts{slash == 0 ? std::string(1, '/') : path.substr(0, slash),
                    path.substr(slash + 1)};
}

// The path with its directory part made canonical, when that directory exists.
// The directories the TPathMemo of this thread has resolved, with their canonical forms.
struct TPathMemoState {
  bool Active = false;
  std::vector<std::pair<std::string, std::string>> Entries;
};
thread_local TPathMemoState tPathMemo;

std::string CanonicalPath(const std::string& path) {
  TPathParts parts = SplitPath(path);
  const std::string& base = parts.Base;
  if (base.empty() || base == "." || base == "..") return path;
  if (tPathMemo.Active) {
    for (const auto& [directory, canonical] : tPathMemo.Entries)
      if (directory == parts.Dir) return canonical + base;
  }
  char* real = realpath(parts.Dir.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string out(real);
  free(real);
  if (out != "/") out += '/';
  if (tPathMemo.Active) tPathMemo.Entries.emplace_back(parts.Dir, out);
  return out + base;
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The read-only attribute: no write permission bit at all (so that a file marked
// read-only stays read-only for root), or this process may not write it.
bool HasReadOnlyAttribute(const std::string& path, const struct stat& st) {
  if ((st.st_mode & 0222) == 0) return true;
  return faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0;
}

bool IsPermissionError(int error) {
  return error == EACCES || error == EPERM || error == EROFS || error == ETXTBSY;
}

// ---- OFD locks ---------------------------------------------------------------------------

// 0 or the errno of F_OFD_SETLK (EAGAIN/EACCES: held by another descriptor).
int SetOfdLock(int fd, short type, int64_t start, int64_t length) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = length;
  fl.l_pid = 0;
  while (fcntl(fd, F_OFD_SETLK, &fl) != 0) {
    if (errno != EINTR) return errno;
  }
  return 0;
}

// Whether another descriptor holds any lock on the range (tested as a write lock, which
// works on read-only descriptors too). `error` receives a failure of the test itself.
bool HeldElsewhere(int fd, int64_t start, int64_t length, int& error) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = length;
  fl.l_pid = 0;
  error = 0;
  while (fcntl(fd, F_OFD_GETLK, &fl) != 0) {
    if (errno != EINTR) {
      error = errno;
      return false;
    }
  }
  return fl.l_type != F_UNLCK;
}

int32_t SharingFailure(int error) {
  return (error == EAGAIN || error == EACCES) ? -static_cast<int32_t>(VELDOR_OSEACCES)
                                              : Fail(error);
}

void ReleaseSharing(int fd) { SetOfdLock(fd, F_UNLCK, kShareLockOffset, 2); }

// Takes the sharing locks of the protocol above; 0 or -code (nothing held on failure).
int32_t AcquireSharing(int fd, bool exclusive, bool writable) {
  if (exclusive && writable) {
    int error = SetOfdLock(fd, F_WRLCK, kShareLockOffset, 1);
    return error == 0 ? 0 : SharingFailure(error);
  }
  int error = SetOfdLock(fd, F_RDLCK, kShareLockOffset, 1);
  if (error != 0) return SharingFailure(error);
  int32_t result = 0;
  if (exclusive) {
    error = SetOfdLock(fd, F_RDLCK, kExclusiveReaderLockOffset, 1);
    if (error != 0) {
      result = SharingFailure(error);
    } else if (HeldElsewhere(fd, kShareLockOffset, 1, error)) {
      result = -static_cast<int32_t>(VELDOR_OSEACCES);
    } else if (error != 0) {
      result = Fail(error);
    }
  } else {
    if (HeldElsewhere(fd, kExclusiveReaderLockOffset, 1, error)) {
      result = -static_cast<int32_t>(VELDOR_OSEACCES);
    } else if (error != 0) {
      result = Fail(error);
    }
  }
  if (result != 0) ReleaseSharing(fd);
  return result;
}

// Opens a regular file; O_NONBLOCK keeps a FIFO planted under the name from blocking the
// open and is cleared afterwards. -1 with errno set on failure (ENOENT for a non-file).
int OpenRegular(const std::string& path, int flags, mode_t mode = 0) {
  int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    errno = ENOENT;  // the file layer sees regular files only
    return -1;
  }
  int fl = fcntl(fd, F_GETFL);
  if (fl >= 0) fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  return fd;
}

// Opens a probe descriptor and holds the exclusive sharing locks on it, proving that no
// other descriptor has the file open; 0 (probe in `fd`) or -code.
int32_t ProbeExclusive(const std::string& path, int& fd) {
  fd = OpenRegular(path, O_RDONLY);
  if (fd < 0) return Fail(errno);
  int32_t result = AcquireSharing(fd, true, false);
  if (result != 0) {
    close(fd);
    fd = -1;
  }
  return result;
}

int DeleteDiskFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return Fail(errno);
  if (!S_ISREG(st.st_mode)) return -VELDOR_OSENOENT;
  // The platform refuses to delete a read-only file; so do we.
  if (HasReadOnlyAttribute(path, st)) return -VELDOR_OSEACCES;
  int probe = -1;
  int32_t result = ProbeExclusive(path, probe);
  if (result != 0) return result;
  if (unlink(path.c_str()) != 0) result = Fail(errno);
  close(probe);
  return result;
}

// Renames without replacing an existing file (the platform's move refuses that too).
int RenameDiskFile(const std::string& from, const std::string& newName) {
  struct stat st;
  if (stat(from.c_str(), &st) != 0) return Fail(errno);
  if (!S_ISREG(st.st_mode)) return -VELDOR_OSENOENT;
  std::string target = CanonicalPath(Trim(newName));
  if (target.empty()) return -VELDOR_OSENOENT;
  std::string existing = ResolveDiskFileName(newName);
  struct stat tst;
  bool sameFile = false;
  if (lstat(existing.c_str(), &tst) == 0) {
    if (tst.st_dev != st.st_dev || tst.st_ino != st.st_ino) return Fail(EEXIST);
    if (target == from) return 0;
    sameFile = true;  // a change of case only
  }
  int probe = -1;
  int32_t result = ProbeExclusive(from, probe);
  if (result != 0) return result;
  int rc;
  if (sameFile) {
    rc = rename(from.c_str(), target.c_str());
  } else {
    rc = renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && (errno == EINVAL || errno == ENOSYS)) {
      // File systems without RENAME_NOREPLACE: check, then rename.
      rc = lstat(target.c_str(), &tst) == 0 ? (errno = EEXIST, -1)
                                             : rename(from.c_str(), target.c_str());
    }
  }
  if (rc != 0) result = Fail(errno);
  close(probe);
  return result;
}

}  // namespace

uint16_t MapOsError(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return VELDOR_OSENOENT;
    case EMFILE:
    case ENFILE:
      return VELDOR_OSEMFILE;
    case EACCES:
    case EPERM:
    case EROFS:
      return VELDOR_OSEACCES;
    case EBADF:
      return VELDOR_OSEBADF;
    case ENOMEM:
      return VELDOR_OSENOMEM;
    case ENODEV:
      return VELDOR_OSENODEV;
    case EXDEV:
      return VELDOR_OSENOTSAM;
    default:
      return VELDOR_OSUNKNOWN;
  }
}

std::string ResolveDiskFileName(const std::string& name) {
  std::string trimmed = Trim(name);
  if (trimmed.empty()) return trimmed;
  struct stat st;
  if (stat(trimmed.c_str(), &st) == 0) return CanonicalPath(trimmed);
  TPathParts parts = SplitPath(trimmed);
  const std::string& base = parts.Base;
  if (base.empty()) return CanonicalPath(trimmed);
  std::string best;
  if (DIR* d = opendir(parts.Dir.c_str())) {
    while (struct dirent* entry = readdir(d)) {
      std::string candidate(entry->d_name);
      if (EqualsIgnoreCase(candidate, base) && (best.empty() || candidate < best)) best = candidate;
    }
    closedir(d);
  }
  if (best.empty()) return CanonicalPath(trimmed);
  size_t slash = trimmed.rfind('/');
  std::string prefix = slash == std::string::npos ? "" : trimmed.substr(0, slash + 1);
  return CanonicalPath(prefix + best);
}

TPathMemo::TPathMemo() : Outermost_(!tPathMemo.Active) { tPathMemo.Active = true; }

TPathMemo::~TPathMemo() {
  if (!Outermost_) return;
  tPathMemo.Active = false;
  tPathMemo.Entries.clear();
}

// ---- TAbstractFile -----------------------------------------------------------------------

TAbstractFile::TAbstractFile(std::string name) : name_(std::move(name)) {}

TAbstractFile::~TAbstractFile() = default;

int TAbstractFile::FindHandle(int32_t handle) const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  for (size_t i = 0; i < handles_.size(); ++i) {
    if (handles_[i].Handle == handle) return static_cast<int>(i);
  }
  return -1;
}

std::string TAbstractFile::Name() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return name_;
}

bool TAbstractFile::Exclusive() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return exclusive_;
}

void TAbstractFile::SetExclusive(bool exclusive) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  exclusive_ = exclusive;
}

bool TAbstractFile::Temporary() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return temporary_;
}

void TAbstractFile::SetTemporary(bool temporary) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  temporary_ = temporary;
}

bool TAbstractFile::ReadOnly() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return readOnly_;
}

bool TAbstractFile::ReadOnlyByAttribute() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return readOnlyByAttribute_;
}

int TAbstractFile::OpenCount() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return static_cast<int>(handles_.size());
}

std::vector<TFileLock> TAbstractFile::Locks() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  std::vector<TFileLock> out;
  for (const auto& [start, lock] : locks_) out.push_back(lock);
  return out;
}

int32_t TAbstractFile::AddHandle() {
  // Numbers are not reused while open: the next number not held by an open handle.
  int32_t number = nextHandle_;
  while (FindHandle(number) >= 0) {
    number = number == std::numeric_limits<int32_t>::max() ? 1 : number + 1;
  }
  handles_.push_back(THandleEntry{number, 0});
  nextHandle_ = number == std::numeric_limits<int32_t>::max() ? 1 : number + 1;
  return number;
}

THandleEntry* TAbstractFile::Entry(int32_t handle) {
  int index = FindHandle(handle);
  return index < 0 ? nullptr : &handles_[index];
}

bool TAbstractFile::OverlapsLock(int64_t start, int64_t end) const {
  // The held ranges are disjoint: only the last one starting at or before `end` can reach
  // into [start, end].
  auto after = locks_.upper_bound(end);
  if (after == locks_.begin()) return false;
  return std::prev(after)->second.End >= start;
}

bool TAbstractFile::UnlockSpan(int32_t handle, int64_t offset, int64_t length) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  int64_t end;
  if (!RangeEnd(offset, length, end) || FindHandle(handle) < 0) return false;
  auto first = locks_.lower_bound(offset);
  if (first != locks_.begin() && std::prev(first)->second.End >= offset) return false;
  auto last = first;
  for (; last != locks_.end() && last->first <= end; ++last) {
    const TFileLock& lock = last->second;
    if (lock.End > end || (lock.Owner != 0 && lock.Owner != handle)) return false;
  }
  if (first == last) return true;
  if (!ReleaseSpan(offset, length)) return false;
  locks_.erase(first, last);
  return true;
}

bool TAbstractFile::RangeEnd(int64_t offset, int64_t length, int64_t& end) {
  if (length <= 0 || offset < 0 || offset > kMaxInt64 - (length - 1)) return false;
  end = offset + (length - 1);
  return true;
}

int64_t TAbstractFile::SeekTarget(int64_t position, int64_t size, int origin, int64_t offset) {
  int64_t base;
  switch (origin) {
    case kSeekFromStart: base = 0; break;
    case kSeekFromCurrent: base = position; break;
    case kSeekFromEnd: base = size; break;
    default: return -VELDOR_OSUNKNOWN;
  }
  if ((offset > 0 && base > kMaxInt64 - offset) || base + offset < 0) return -VELDOR_OSUNKNOWN;
  return base + offset;
}

// ---- TPhysicalFile -----------------------------------------------------------------------

TPhysicalFile::TPhysicalFile(std::string path) : TAbstractFile(std::move(path)) {}

TPhysicalFile::~TPhysicalFile() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  CloseDescriptor();
}

int TPhysicalFile::Descriptor() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return fd_;
}

void TPhysicalFile::DetachAfterFork() {
  // Runs in the child's only thread; the mutex may be a copy held by a parent thread.
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  detached_ = true;
  mapping_.Release();
  locks_.clear();
}

void TPhysicalFile::CloseDescriptor() {
  mapping_.Release();
  if (fd_ >= 0) {
    if (temporary_ && !detached_) {
      // Unlink only the file this descriptor has open (it may have been replaced).
      struct stat mine, named;
      if (fstat(fd_, &mine) == 0 && lstat(name_.c_str(), &named) == 0 &&
          mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) {
        unlink(name_.c_str());
      }
    }
    close(fd_);  // releases the sharing and byte-range locks
    fd_ = -1;
  }
  locks_.clear();
}

int32_t TPhysicalFile::CreateFile() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty() || fd_ >= 0 || detached_) return -VELDOR_OSEACCES;
  // No O_TRUNC: the file may be open in another process, which the lock finds out first.
  // An existing file is opened as it is; only a missing one is created (exclusively, so that
  // we know which of the two happened).
  int fd = -1;
  bool existed = true;
  for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
    fd = OpenRegular(name_, O_RDWR);
    if (fd >= 0 || errno != ENOENT) break;
    fd = OpenRegular(name_, O_RDWR | O_CREAT | O_EXCL, 0666);
    existed = fd < 0;
    if (fd < 0 && errno != EEXIST) break;  // EEXIST: created meanwhile, open it instead
  }
  if (fd < 0) return Fail(errno);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int error = errno;
    close(fd);
    return Fail(error);
  }
  // An existing file without write bits has the read-only attribute even for root.
  int32_t result = existed && (st.st_mode & 0222) == 0 ? -VELDOR_OSEACCES
                                                       : AcquireSharing(fd, true, true);
  if (result == 0 && ftruncate(fd, 0) != 0) result = Fail(errno);
  if (result != 0) {
    close(fd);
    return result;
  }
  fd_ = fd;
  reservedEnd_ = 0;
  exclusive_ = true;
  readOnly_ = false;
  readOnlyByAttribute_ = false;
  return AddHandle();
}

int32_t TPhysicalFile::OpenFile(bool& readOnlyByAttribute) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (detached_) return -VELDOR_OSEBADF;
  if (!handles_.empty()) {
    readOnlyByAttribute = readOnlyByAttribute_;
    return AddHandle();
  }
  struct stat st;
  if (stat(name_.c_str(), &st) != 0) return Fail(errno);
  if (!S_ISREG(st.st_mode)) return -VELDOR_OSENOENT;
  bool readOnly = HasReadOnlyAttribute(name_, st);
  int fd = OpenRegular(name_, readOnly ? O_RDONLY : O_RDWR);
  if (fd < 0 && !readOnly && IsPermissionError(errno)) {
    readOnly = true;  // cannot be opened for writing: that is the read-only attribute
    fd = OpenRegular(name_, O_RDONLY);
  }
  if (fd < 0) return Fail(errno);
  int32_t result = AcquireSharing(fd, exclusive_, !readOnly);
  if (result != 0) {
    close(fd);
    return result;
  }
  fd_ = fd;
  reservedEnd_ = 0;
  readOnly_ = readOnly;
  readOnlyByAttribute_ = readOnly;
  readOnlyByAttribute = readOnly;
  return AddHandle();
}

int TPhysicalFile::CloseHandle(int32_t handle) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  int index = FindHandle(handle);
  if (index < 0) return -VELDOR_OSEBADF;
  for (auto it = locks_.begin(); it != locks_.end();) {
    if (it->second.Owner == handle) {
      if (fd_ >= 0) SetOfdLock(fd_, F_UNLCK, it->second.Start, it->second.Length);
      it = locks_.erase(it);
    } else {
      ++it;
    }
  }
  handles_.erase(handles_.begin() + index);
  if (handles_.empty()) CloseDescriptor();
  return 0;
}

int TPhysicalFile::Rename(const std::string& newName) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -VELDOR_OSEACCES;
  int result = RenameDiskFile(name_, newName);
  if (result == 0) name_ = CanonicalPath(Trim(newName));
  return result;
}

int TPhysicalFile::Delete() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -VELDOR_OSEACCES;
  return DeleteDiskFile(name_);
}

int64_t TPhysicalFile::Read(int32_t handle, void* buffer, size_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr || fd_ < 0) return -VELDOR_OSEBADF;
  size_t done = 0;
  while (done < count) {
    size_t chunk = std::min<size_t>(count - done, size_t{1} << 30);
    ssize_t n = pread(fd_, static_cast<char*>(buffer) + done, chunk,
                      static_cast<off_t>(entry->Position + static_cast<int64_t>(done)));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done > 0) break;  // report what was read; the caller sees it is short
      return Fail(errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  entry->Position += static_cast<int64_t>(done);
  return static_cast<int64_t>(done);
}

int64_t TPhysicalFile::Write(int32_t handle, const void* buffer, size_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr || fd_ < 0) return -VELDOR_OSEBADF;
  if (readOnly_) return -VELDOR_OSEACCES;
  if (count == 0) {
    reservedEnd_ = 0;  // what was set aside may be gone with the cut
    if (ftruncate(fd_, static_cast<off_t>(entry->Position)) != 0) return Fail(errno);
    mapping_.Truncated(entry->Position);
    return 0;
  }
  if (count > static_cast<size_t>(kMaxInt64 - entry->Position)) return -VELDOR_OSUNKNOWN;
  size_t done = 0;
  while (done < count) {
    size_t chunk = std::min<size_t>(count - done, size_t{1} << 30);
    ssize_t n = pwrite(fd_, static_cast<const char*>(buffer) + done, chunk,
                       static_cast<off_t>(entry->Position + static_cast<int64_t>(done)));
    if (n < 0) {
      if (errno == EINTR) continue;
      if (done > 0) break;
      return Fail(errno);
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  entry->Position += static_cast<int64_t>(done);
  return static_cast<int64_t>(done);
}

bool TPhysicalFile::CopyMappedSlots(const int64_t* offsets, size_t count, size_t slotSize,
                                    uint8_t* out) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return mapping_.CopySlots(fd_, offsets, count, slotSize, out);
}

int TPhysicalFile::Flush() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (fd_ < 0) return -VELDOR_OSEBADF;
  if (readOnly_) return 0;
  while (fdatasync(fd_) != 0) {
    if (errno != EINTR) return Fail(errno);
  }
  return 0;
}

int TPhysicalFile::Reserve(int64_t end, int64_t growth) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (fd_ < 0) return -VELDOR_OSEBADF;
  if (readOnly_) return -VELDOR_OSEACCES;
  if (end <= reservedEnd_) return 0;  // set aside (or written) already
  struct stat st;
  if (fstat(fd_, &st) != 0) return Fail(errno);
  // The caller's end may come from a header, which bounds nothing: the writes add at most
  // `growth` bytes.
  end = std::min(end, int64_t(st.st_size) + std::max<int64_t>(growth, 0));
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      uint64_t(end) > uint64_t(limit.rlim_cur))
    return Fail(EFBIG);
  if (end <= st.st_size) return 0;
  // Set aside past the end without moving it: other processes go on seeing the size the
  // file's header speaks for, and nothing is left to cut back should the writes not come.
  // A step ahead, so that appends one record at a time ask seldom; a step refused is not
  // needed, and only `end` itself must fit.
  constexpr int64_t kStep = 64 << 10;
  for (int64_t target : {(end + kStep - 1) / kStep * kStep, end}) {
    bool fits = target <= end || limit.rlim_cur == RLIM_INFINITY || uint64_t(target) <= uint64_t(limit.rlim_cur);
    if (!fits) continue;
    int error = 0;
    while (fallocate(fd_, FALLOC_FL_KEEP_SIZE, st.st_size, target - st.st_size) != 0) {
      error = errno;
      if (error != EINTR) break;
      error = 0;
    }
    if (error == 0) {
      reservedEnd_ = target;
      return 0;
    }
    if (error == EOPNOTSUPP || error == ENOSYS) return 0;
    if (target == end) return Fail(error);
  }
  return 0;
}

int TPhysicalFile::UnlinkOpen() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (fd_ < 0) return -VELDOR_OSEBADF;
  if (unlink(name_.c_str()) != 0) return Fail(errno);
  return 0;
}

int64_t TPhysicalFile::Seek(int32_t handle, int origin, int64_t offset) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr || fd_ < 0) return -VELDOR_OSEBADF;
  int64_t size = 0;
  if (origin == kSeekFromEnd) {
    struct stat st;
    if (fstat(fd_, &st) != 0) return Fail(errno);
    size = st.st_size;
  }
  int64_t target = SeekTarget(entry->Position, size, origin, offset);
  if (target >= 0) entry->Position = target;
  return target;
}

bool TPhysicalFile::LockRange(int32_t handle, int64_t offset, int64_t length) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  int64_t end;
  if (FindHandle(handle) < 0 || fd_ < 0 || !RangeEnd(offset, length, end)) return false;
  if (offset <= kExclusiveReaderLockOffset && kShareLockOffset <= end) return false;
  if (OverlapsLock(offset, end)) return false;
  if (SetOfdLock(fd_, readOnly_ ? F_RDLCK : F_WRLCK, offset, length) != 0) return false;
  try {
    locks_.emplace(offset, TFileLock{offset, end, length, handle});
  } catch (const std::bad_alloc&) {
    SetOfdLock(fd_, F_UNLCK, offset, length);
    return false;
  }
  return true;
}

bool TPhysicalFile::UnlockRange(int32_t handle, int64_t offset, int64_t length) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  auto it = locks_.find(offset);
  if (it == locks_.end()) return false;
  const TFileLock& lock = it->second;
  if (lock.Length != length || lock.Owner != handle) return false;
  if (fd_ >= 0 && SetOfdLock(fd_, F_UNLCK, offset, length) != 0) return false;
  locks_.erase(it);
  return true;
}

bool TPhysicalFile::ReleaseSpan(int64_t offset, int64_t length) {
  return fd_ < 0 || SetOfdLock(fd_, F_UNLCK, offset, length) == 0;
}

// ---- TMemoryFile -------------------------------------------------------------------------

TMemoryFile::TMemoryFile(std::string name) : TAbstractFile(std::move(name)) {}

int64_t TMemoryFile::Size() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return size_;
}

size_t TMemoryFile::Capacity() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return data_.size();
}

int TMemoryFile::SetSize(int64_t size) {
  if (size == 0) {
    std::vector<uint8_t>().swap(data_);
    size_ = 0;
    return 0;
  }
  if (size > static_cast<int64_t>(data_.size())) {
    uint64_t wanted = (static_cast<uint64_t>(size) + kMemoryFileStep - 1) / kMemoryFileStep *
                      kMemoryFileStep;
    if (wanted > data_.max_size()) return -VELDOR_OSEINVMEM;
    try {
      data_.resize(static_cast<size_t>(wanted), 0);  // new space zero-filled
    } catch (const std::bad_alloc&) {
      return -VELDOR_OSENOMEM;
    } catch (const std::length_error&) {
      return -VELDOR_OSEINVMEM;
    }
  } else if (size < size_) {
    // Keep the bytes past the end zero, so that a later extension reads zeros.
    std::fill(data_.begin() + size, data_.begin() + size_, uint8_t{0});
  }
  size_ = size;
  return 0;
}

int32_t TMemoryFile::CreateFile() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -VELDOR_OSEACCES;
  SetSize(0);
  locks_.clear();
  exclusive_ = true;
  return AddHandle();
}

int32_t TMemoryFile::OpenFile(bool& readOnlyByAttribute) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  readOnlyByAttribute = false;
  return AddHandle();
}

int TMemoryFile::CloseHandle(int32_t handle) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  int index = FindHandle(handle);
  if (index < 0) return -VELDOR_OSEBADF;
  handles_.erase(handles_.begin() + index);
  // Locks have no owner; with no handle left nobody holds them.
  if (handles_.empty()) locks_.clear();
  return 0;
}

int TMemoryFile::Rename(const std::string& newName) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -VELDOR_OSEACCES;
  name_ = Trim(newName);
  return 0;
}

int TMemoryFile::Delete() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -VELDOR_OSEACCES;
  SetSize(0);
  return 0;
}

int64_t TMemoryFile::Read(int32_t handle, void* buffer, size_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr) return -VELDOR_OSEBADF;
  if (entry->Position >= size_ || count == 0) return 0;
  size_t n = static_cast<size_t>(
      std::min<uint64_t>(count, static_cast<uint64_t>(size_ - entry->Position)));
  std::memcpy(buffer, data_.data() + entry->Position, n);
  entry->Position += static_cast<int64_t>(n);
  return static_cast<int64_t>(n);
}

int64_t TMemoryFile::Write(int32_t handle, const void* buffer, size_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr) return -VELDOR_OSEBADF;
  if (count == 0) return SetSize(entry->Position);
  if (count > static_cast<uint64_t>(kMaxInt64 - entry->Position)) return -VELDOR_OSEINVMEM;
  int64_t end = entry->Position + static_cast<int64_t>(count);
  if (end > size_) {
    int result = SetSize(end);
    if (result != 0) return result;
  }
  std::memcpy(data_.data() + entry->Position, buffer, count);
  entry->Position = end;
  return static_cast<int64_t>(count);
}

int TMemoryFile::Flush() { return 0; }

int64_t TMemoryFile::Seek(int32_t handle, int origin, int64_t offset) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr) return -VELDOR_OSEBADF;
  int64_t target = SeekTarget(entry->Position, size_, origin, offset);
  if (target >= 0) entry->Position = target;
  return target;
}

bool TMemoryFile::LockRange(int32_t handle, int64_t offset, int64_t length) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  int64_t end;
  if (FindHandle(handle) < 0 || !RangeEnd(offset, length, end)) return false;
  if (OverlapsLock(offset, end)) return false;
  try {
    locks_.emplace(offset, TFileLock{offset, end, length, 0});
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool TMemoryFile::UnlockRange(int32_t handle, int64_t offset, int64_t length) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (FindHandle(handle) < 0) return false;
  auto it = locks_.find(offset);
  if (it == locks_.end() || it->second.Length != length) return false;
  locks_.erase(it);
  return true;
}

// ---- TFileList ---------------------------------------------------------------------------

namespace {

TFileList* gFileList = nullptr;  // set once by FileList()

// Moves data in 65536-byte blocks from one handle to another until a read comes back
// short; a zero-length read is never written (that would truncate).
int CopyBlocks(TAbstractFile* source, int32_t sourceHandle, TAbstractFile* target,
               int32_t targetHandle) {
  std::vector<uint8_t> block;
  try {
    block.resize(kCopyBlockSize);
  } catch (const std::bad_alloc&) {
    return -VELDOR_OSENOMEM;
  }
  for (;;) {
    int64_t n = source->Read(sourceHandle, block.data(), block.size());
    if (n < 0) return -VELDOR_READERR;
    if (n > 0 && target->Write(targetHandle, block.data(), static_cast<size_t>(n)) != n) {
      return -VELDOR_WRITEERR;
    }
    if (n < static_cast<int64_t>(block.size())) return 0;
  }
}

}  // namespace

void TFileList::ForkPrepare() { gFileList->mutex_.lock(); }

void TFileList::ForkParent() { gFileList->mutex_.unlock(); }

// Child side of fork: the list mutex was taken by ForkPrepare in the forking thread, which
// is the child's only thread; every disk object is detached from the name space.
void TFileList::ForkChild() {
  TFileList& list = *gFileList;
  for (auto it = list.files_.begin(); it != list.files_.end();) {
    if (!(*it)->IsInMemory()) {
      static_cast<TPhysicalFile*>(it->get())->DetachAfterFork();
      list.detached_.push_back(std::move(*it));
      it = list.files_.erase(it);
    } else {
      ++it;
    }
  }
  list.mutex_.unlock();
}

// Normal exit: temporary disk files still open are unlinked, as a delete-on-close file
// would be. Skipped when another thread holds the list.
void TFileList::AtExit() {
  TFileList& list = *gFileList;
  if (!list.mutex_.try_lock()) return;
  for (auto& file : list.files_) {
    if (file->IsInMemory()) continue;
    auto* physical = static_cast<TPhysicalFile*>(file.get());
    std::unique_lock<std::recursive_mutex> guard(physical->Mutex(), std::try_to_lock);
    if (!guard.owns_lock() || !physical->Temporary() || physical->Descriptor() < 0) continue;
    struct stat mine, named;
    std::string name = physical->Name();
    if (fstat(physical->Descriptor(), &mine) == 0 && lstat(name.c_str(), &named) == 0 &&
        mine.st_dev == named.st_dev && mine.st_ino == named.st_ino) {
      unlink(name.c_str());
    }
  }
  list.mutex_.unlock();
}

TFileList& FileList() {
  static TFileList* list = [] {
    gFileList = new TFileList();
    pthread_atfork(TFileList::ForkPrepare, TFileList::ForkParent, TFileList::ForkChild);
    atexit(TFileList::AtExit);
    return gFileList;
  }();
  return *list;
}

TFileList::TFileList() = default;

TFileList::~TFileList() = default;

TAbstractFile* TFileList::FindLocked(const std::string& key, bool inMemory) const {
  for (const auto& file : files_) {
    if (file->IsInMemory() != inMemory) continue;
    if (inMemory ? EqualsIgnoreCase(file->Name(), key) : file->Name() == key) return file.get();
  }
  return nullptr;
}

bool TFileList::Listed(const TAbstractFile* file) const {
  for (const auto& f : files_) {
    if (f.get() == file) return true;
  }
  return false;
}

int32_t TFileList::CreateLocked(const std::string& name, bool inMemory, bool temporary,
                                TAbstractFile*& file) {
  file = nullptr;
  std::string key = inMemory ? Trim(name) : ResolveDiskFileName(name);
  TAbstractFile* existing = FindLocked(key, inMemory);
  if (existing != nullptr) {
    std::lock_guard<std::recursive_mutex> guard(existing->Mutex());
    if (existing->OpenCount() > 0) return -VELDOR_OSEACCES;
    existing->SetExclusive(true);
    existing->SetTemporary(temporary);
    int32_t handle = existing->CreateFile();
    if (handle > 0) file = existing;
    return handle;
  }
  std::unique_ptr<TAbstractFile> fresh;
  if (inMemory) {
    fresh = std::make_unique<TMemoryFile>(key);
  } else {
    fresh = std::make_unique<TPhysicalFile>(key);
  }
  files_.reserve(files_.size() + 1);  // so that registering cannot fail after the create
  fresh->SetExclusive(true);
  fresh->SetTemporary(temporary);
  int32_t handle = fresh->CreateFile();
  if (handle < 0) return handle;
  file = fresh.get();
  files_.push_back(std::move(fresh));
  return handle;
}

int32_t TFileList::OpenLocked(const std::string& name, bool inMemory, bool temporary,
                              bool exclusive, bool& readOnlyByAttribute, TAbstractFile*& file) {
  file = nullptr;
  readOnlyByAttribute = false;
  std::string key = inMemory ? Trim(name) : ResolveDiskFileName(name);
  TAbstractFile* existing = FindLocked(key, inMemory);
  if (existing != nullptr) {
    std::lock_guard<std::recursive_mutex> guard(existing->Mutex());
    if (existing->OpenCount() == 0) {
      existing->SetExclusive(exclusive);
      existing->SetTemporary(temporary);
    } else if (existing->Exclusive() || exclusive) {
      return -VELDOR_OSEACCES;
    }
    int32_t handle = existing->OpenFile(readOnlyByAttribute);
    if (handle > 0) file = existing;
    return handle;
  }
  if (inMemory) return -VELDOR_OSENOENT;
  auto fresh = std::make_unique<TPhysicalFile>(key);
  files_.reserve(files_.size() + 1);
  fresh->SetExclusive(exclusive);
  fresh->SetTemporary(temporary);
  int32_t handle = fresh->OpenFile(readOnlyByAttribute);
  if (handle < 0) return handle;  // never registered: nothing half-open stays behind
  file = fresh.get();
  files_.push_back(std::move(fresh));
  return handle;
}

int TFileList::CloseLocked(TAbstractFile* file, int32_t handle) {
  for (auto* list : {&files_, &detached_}) {
    for (auto it = list->begin(); it != list->end(); ++it) {
      if (it->get() != file) continue;
      int result;
      bool remove;
      {
        std::lock_guard<std::recursive_mutex> guard(file->Mutex());
        result = file->CloseHandle(handle);
        remove = file->OpenCount() == 0 && (!file->IsInMemory() || file->Temporary());
      }
      if (result == 0 && remove) list->erase(it);
      return result;
    }
  }
  return -VELDOR_OSENOENT;
}

int32_t TFileList::CreateFile(const std::string& name, bool inMemory, bool temporary,
                              TAbstractFile*& file) {
  std::lock_guard<std::mutex> guard(mutex_);
  try {
    return CreateLocked(name, inMemory, temporary, file);
  } catch (const std::bad_alloc&) {
    file = nullptr;
    return -VELDOR_OSENOMEM;
  }
}

int32_t TFileList::OpenFile(const std::string& name, bool inMemory, bool temporary,
                            bool exclusive, bool& readOnlyByAttribute, TAbstractFile*& file) {
  std::lock_guard<std::mutex> guard(mutex_);
  try {
    return OpenLocked(name, inMemory, temporary, exclusive, readOnlyByAttribute, file);
  } catch (const std::bad_alloc&) {
    file = nullptr;
    return -VELDOR_OSENOMEM;
  }
}

int TFileList::CloseFile(TAbstractFile* file, bool /*inMemory*/, int32_t handle) {
  std::lock_guard<std::mutex> guard(mutex_);
  return CloseLocked(file, handle);
}

int TFileList::DeleteFile(const std::string& name, bool inMemory) {
  std::lock_guard<std::mutex> guard(mutex_);
  try {
    std::string key = inMemory ? Trim(name) : ResolveDiskFileName(name);
    TAbstractFile* existing = FindLocked(key, inMemory);
    if (existing == nullptr) {
      return inMemory ? -VELDOR_OSENOENT : DeleteDiskFile(key);
    }
    int result = existing->Delete();  // -11013 while it has handles
    if (result != 0) return result;
    files_.erase(std::find_if(files_.begin(), files_.end(),
                              [&](const auto& f) { return f.get() == existing; }));
    return 0;
  } catch (const std::bad_alloc&) {
    return -VELDOR_OSENOMEM;
  }
}

int TFileList::RenameFile(const std::string& name, bool inMemory, const std::string& newName) {
  std::lock_guard<std::mutex> guard(mutex_);
  try {
    std::string key = inMemory ? Trim(name) : ResolveDiskFileName(name);
    TAbstractFile* existing = FindLocked(key, inMemory);
    if (existing == nullptr) {
      if (inMemory) return -VELDOR_OSENOENT;
      if (FindLocked(ResolveDiskFileName(newName), false) != nullptr) return -VELDOR_OSEACCES;
      return RenameDiskFile(key, newName);
    }
    if (existing->OpenCount() > 0) return -VELDOR_OSEACCES;
    if (inMemory) {
      TAbstractFile* other = FindLocked(Trim(newName), true);
      if (other != nullptr && other != existing) return Fail(EEXIST);
    }
    return existing->Rename(newName);
  } catch (const std::bad_alloc&) {
    return -VELDOR_OSENOMEM;
  }
}

bool TFileList::FileExists(const std::string& name, bool inMemory) {
  std::lock_guard<std::mutex> guard(mutex_);
  try {
    std::string key = inMemory ? Trim(name) : ResolveDiskFileName(name);
    if (FindLocked(key, inMemory) != nullptr) return true;
    return !inMemory && IsRegularFile(key);
  } catch (const std::bad_alloc&) {
    return false;
  }
}

int TFileList::CopyToFile(TAbstractFile* file, int32_t handle, const std::string& targetName,
                          bool inMemory) {
  std::lock_guard<std::mutex> guard(mutex_);
  try {
    if (!Listed(file)) return -VELDOR_OSENOENT;
    TAbstractFile* target = nullptr;
    int32_t targetHandle = CreateLocked(targetName, inMemory, false, target);
    if (targetHandle < 0) return targetHandle;
    int64_t seek = file->Seek(handle, kSeekFromStart, 0);
    int result = seek < 0 ? static_cast<int>(seek) : CopyBlocks(file, handle, target, targetHandle);
    int closed = CloseLocked(target, targetHandle);
    return result != 0 ? result : closed;
  } catch (const std::bad_alloc&) {
    return -VELDOR_OSENOMEM;
  }
}

int TFileList::CopyFromFile(TAbstractFile* file, int32_t handle, const std::string& sourceName,
                            bool inMemory) {
  std::lock_guard<std::mutex> guard(mutex_);
  try {
    if (!Listed(file)) return -VELDOR_OSENOENT;
    TAbstractFile* source = nullptr;
    bool readOnly = false;
    int32_t sourceHandle = OpenLocked(sourceName, inMemory, false, true, readOnly, source);
    if (sourceHandle < 0) return sourceHandle;
    int64_t seek = file->Seek(handle, kSeekFromStart, 0);
    int result = seek < 0 ? static_cast<int>(seek) : CopyBlocks(source, sourceHandle, file, handle);
    int closed = CloseLocked(source, sourceHandle);
    return result != 0 ? result : closed;
  } catch (const std::bad_alloc&) {
    return -VELDOR_OSENOMEM;
  }
}

size_t TFileList::Count() {
  std::lock_guard<std::mutex> guard(mutex_);
  return files_.size();
}

TAbstractFile* TFileList::Find(const std::string& name, bool inMemory) {
  std::lock_guard<std::mutex> guard(mutex_);
  try {
    return FindLocked(inMemory ? Trim(name) : ResolveDiskFileName(name), inMemory);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// ---- TFileHandler ------------------------------------------------------------------------

TFileHandler::TFileHandler() = default;

TFileHandler::TFileHandler(std::string fileName, bool inMemory)
    : inMemory_(inMemory), fileName_(std::move(fileName)) {}

TFileHandler::~TFileHandler() {
  try {
    Close();
  } catch (...) {
    // A destructor does not raise; the handle is returned in any case.
  }
}

void TFileHandler::Raise(uint16_t code) const {
  RaiseEngineError(code, "", "", "", fileName_, "", "", "");
}

void TFileHandler::RequireOpen() const {
  if (!open_ || file_ == nullptr) Raise(VELDOR_OSEBADF);
}

void TFileHandler::Open() {
  if (open_) return;
  if (!Exists()) Raise(VELDOR_OSENOENT);
  TAbstractFile* file = nullptr;
  bool readOnly = false;
  int32_t handle =
      FileList().OpenFile(fileName_, inMemory_, temporary_, exclusive_, readOnly, file);
  if (handle < 0) Raise(static_cast<uint16_t>(-handle));
  file_ = file;
  handle_ = handle;
  readOnlyByAttribute_ = readOnly;
  open_ = true;
}

void TFileHandler::Close() {
  if (file_ == nullptr) {
    open_ = false;
    return;
  }
  TAbstractFile* file = file_;
  int32_t handle = handle_;
  file_ = nullptr;
  handle_ = 0;
  open_ = false;
  int result = FileList().CloseFile(file, file->IsInMemory(), handle);
  if (result < 0) Raise(static_cast<uint16_t>(-result));
}

void TFileHandler::Create() {
  if (open_) Raise(VELDOR_OSEACCES);
  TAbstractFile* file = nullptr;
  int32_t handle = FileList().CreateFile(fileName_, inMemory_, temporary_, file);
  if (handle < 0) Raise(static_cast<uint16_t>(-handle));
  file_ = file;
  handle_ = handle;
  readOnlyByAttribute_ = false;
  open_ = true;
}

void TFileHandler::Reserve(int64_t end, int64_t growth) {
  RequireOpen();
  if (file_->Reserve(end, growth) < 0) Raise(VELDOR_WRITEERR);
}

void TFileHandler::Unlink() {
  RequireOpen();
  int result = file_->UnlinkOpen();
  if (result < 0) Raise(static_cast<uint16_t>(-result));
}

void TFileHandler::Delete() {
  int result = FileList().DeleteFile(fileName_, inMemory_);
  if (result < 0) Raise(static_cast<uint16_t>(-result));
}

void TFileHandler::Rename(const std::string& newName) {
  int result = FileList().RenameFile(fileName_, inMemory_, newName);
  if (result < 0) Raise(static_cast<uint16_t>(-result));
  fileName_ = newName;
}

void TFileHandler::CopyTo(const std::string& targetName) {
  RequireOpen();
  int result = FileList().CopyToFile(file_, handle_, targetName, file_->IsInMemory());
  if (result < 0) Raise(static_cast<uint16_t>(-result));
}

void TFileHandler::CopyFrom(const std::string& sourceName) {
  RequireOpen();
  int result = FileList().CopyFromFile(file_, handle_, sourceName, file_->IsInMemory());
  if (result < 0) Raise(static_cast<uint16_t>(-result));
}

size_t TFileHandler::Read(void* buffer, size_t count, bool allowShort) {
  RequireOpen();
  ++counters_.ReadCalls;
  int64_t position = 0;
  if (overlay_ != nullptr) {
    TFileSection section(*this);
    position = Seek(kSeekFromCurrent, 0);
    int64_t got = 0;
    if (!overlay_->OverlayCovers(overlaySlot_, position, count)) {
      got = file_->Read(handle_, buffer, count);
      if (got < 0) Raise(VELDOR_READERR);
    }
    size_t n = overlay_->OverlayRead(overlaySlot_, position, static_cast<uint8_t*>(buffer),
                                     count, size_t(got));
    Seek(kSeekFromStart, position + int64_t(n));
    counters_.ReadBytes += n;
    if (n < count && !allowShort) Raise(VELDOR_READERR);
    return n;
  }
  int64_t n = file_->Read(handle_, buffer, count);
  if (n < 0) Raise(VELDOR_READERR);
  counters_.ReadBytes += static_cast<uint64_t>(n);
  if (static_cast<size_t>(n) < count && !allowShort) Raise(VELDOR_READERR);
  return static_cast<size_t>(n);
}

void TFileHandler::Write(const void* buffer, size_t count) {
  RequireOpen();
  ++counters_.WriteCalls;
  if (overlay_ != nullptr) {
    TFileSection section(*this);
    int64_t position = Seek(kSeekFromCurrent, 0);
    overlay_->OverlayWrite(overlaySlot_, position, buffer, count);
    Seek(kSeekFromStart, position + int64_t(count));
    counters_.WriteBytes += count;
    return;
  }
  int64_t n = file_->Write(handle_, buffer, count);
  if (n < 0) Raise(VELDOR_WRITEERR);
  counters_.WriteBytes += static_cast<uint64_t>(n);
  if (static_cast<size_t>(n) < count) Raise(VELDOR_WRITEERR);
}

bool TFileHandler::CopyMappedSlots(const int64_t* offsets, size_t count, size_t slotSize,
                                   uint8_t* out) {
  if (overlay_ != nullptr) {
    for (size_t i = 0; i < count; ++i)
      if (!overlay_->OverlayLeavesAlone(overlaySlot_, offsets[i], slotSize)) return false;
  }
  if (!open_ || file_ == nullptr || !file_->CopyMappedSlots(offsets, count, slotSize, out)) return false;
  ++counters_.ReadCalls;
  counters_.ReadBytes += uint64_t(count) * slotSize;
  return true;
}

void TFileHandler::Flush() {
  RequireOpen();
  if (overlay_ != nullptr) return;
  if (file_->Flush() < 0) Raise(VELDOR_WRITEERR);
}

bool TFileHandler::Lock(int64_t length, int64_t offset) {
  if (!open_ || file_ == nullptr) return false;
  return file_->LockRange(handle_, offset, length);
}

bool TFileHandler::Unlock(int64_t length, int64_t offset) {
  if (!open_ || file_ == nullptr) return false;
  return file_->UnlockRange(handle_, offset, length);
}

bool TFileHandler::UnlockSpan(int64_t length, int64_t offset) {
  if (!open_ || file_ == nullptr) return false;
  return file_->UnlockSpan(handle_, offset, length);
}

int64_t TFileHandler::Seek(int origin, int64_t offset) {
  RequireOpen();
  int64_t position = file_->Seek(handle_, origin, offset);
  if (position < 0) Raise(static_cast<uint16_t>(-position));
  return position;
}

int64_t TFileHandler::Size() {
  if (overlay_ != nullptr) {
    RequireOpen();
    return overlay_->OverlaySize(overlaySlot_);
  }
  return DiskSize();
}

int64_t TFileHandler::DiskSize() {
  RequireOpen();
  TFileSection section(*this);
  int64_t position = Seek(kSeekFromCurrent, 0);
  int64_t size = Seek(kSeekFromEnd, 0);
  Seek(kSeekFromStart, position);
  return size;
}

bool TFileHandler::Exists() { return FileList().FileExists(fileName_, inMemory_); }

void TFileHandler::Enter() {
  entered_.push_back(file_);  // before locking: a failed push leaves nothing locked
  if (file_ != nullptr) file_->Mutex().lock();
}

void TFileHandler::Leave() {
  if (entered_.empty()) return;
  TAbstractFile* file = entered_.back();
  entered_.pop_back();
  if (file != nullptr) file->Mutex().unlock();
}

// ---- Fault points and directory sync ------------------------------------------------------

namespace {

std::mutex g_faultMutex;
std::function<void(const char*)> g_faultHook;  // guarded by g_faultMutex
std::map<std::string, int> g_faultPasses;      // guarded by g_faultMutex

}  // namespace

void SetFaultHook(std::function<void(const char*)> hook) {
  std::lock_guard<std::mutex> guard(g_faultMutex);
  g_faultHook = std::move(hook);
}

void FaultPoint(const char* name) {
  std::function<void(const char*)> hook;
  {
    std::lock_guard<std::mutex> guard(g_faultMutex);
    hook = g_faultHook;
    if (const char* wanted = std::getenv("VELDOR_FAULT_KILL")) {
      std::string spec = wanted;
      int pass = 1;
      if (size_t colon = spec.find(':'); colon != std::string::npos) {
        pass = std::atoi(spec.c_str() + colon + 1);
        spec.resize(colon);
      }
      if (spec == name && ++g_faultPasses[spec] == pass) kill(getpid(), SIGKILL);
    }
  }
  if (hook) hook(name);
}

int TAbstractFile::UnlinkOpen() { return -VELDOR_OSEACCES; }

TDetachedFile::TDetachedFile(const std::string& path) {
  fd_ = OpenRegular(path, O_RDONLY);
}

TDetachedFile::~TDetachedFile() {
  if (fd_ >= 0) close(fd_);
}

bool TDetachedFile::HeldOpen() const {
  if (fd_ < 0) return false;
  // Any sharing lock of another descriptor stands in the way of a write lock on the byte.
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = kShareLockOffset;
  fl.l_len = 1;
  while (fcntl(fd_, F_OFD_GETLK, &fl) != 0) {
    if (errno != EINTR) return true;  // cannot tell: taken as held, so nothing is touched
  }
  return fl.l_type != F_UNLCK;
}

int64_t TDetachedFile::Size() const {
  struct stat st;
  if (fd_ < 0 || fstat(fd_, &st) != 0) return 0;
  return int64_t(st.st_size);
}

bool TDetachedFile::ReadAt(int64_t offset, void* buffer, size_t count) const {
  if (fd_ < 0 || offset < 0) return false;
  size_t done = 0;
  while (done < count) {
    ssize_t n = pread(fd_, static_cast<char*>(buffer) + done, count - done,
                      static_cast<off_t>(offset + int64_t(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool DiskFileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int SyncDirectory(const std::string& path) {
  int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -static_cast<int>(MapOsError(errno));
  int result = fsync(fd) == 0 ? 0 : -static_cast<int>(MapOsError(errno));
  ::close(fd);
  return result;
}

}  // namespace veldor
