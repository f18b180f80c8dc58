// The file layer: the only code of the engine that touches operating-system files.
// Owns the process-wide `TFileList` of shared file objects (`TPhysicalFile` on disk,
// `TMemoryFile` for the in-memory database) with their per-handle positions, sharing rules,
// byte-range locks and temporary-file lifetime, and `TFileHandler`, the base of the data,
// index and BLOB files. It knows nothing of table formats or of which lock byte means what.
// Threads: each file object's operations run under its recursive mutex, each list operation
// under the list's mutex, list before object; one handler, one thread at a time.
// Processes: sharing and byte-range locks are OFD locks on one descriptor per file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lib/file_mapping.h"

namespace veldor {

// Seek origins of `TFileHandler::Seek` and `TAbstractFile::Seek`.
enum TSeekOrigin : int {
  kSeekFromStart = 0,
  kSeekFromCurrent = 1,
  kSeekFromEnd = 2,
};

// Bytes of every disk file that emulate the platform's sharing modes (see file_layer.cpp
// for the protocol). Byte-range locks on disk files may not touch them.
inline constexpr int64_t kShareLockOffset = 4294967296;           // 2^32
inline constexpr int64_t kExclusiveReaderLockOffset = 4294967297;  // 2^32 + 1

// Size of the blocks in which CopyTo and CopyFrom move data.
inline constexpr size_t kCopyBlockSize = 65536;

// Step in which an in-memory file's buffer grows.
inline constexpr size_t kMemoryFileStep = 4096;

// The engine code (11010, 11013, ...) for an `errno` value: ENOENT/ENOTDIR 11010,
// EMFILE/ENFILE 11012, EACCES/EPERM/EROFS 11013, EBADF 11014, ENOMEM 11016, ENODEV 11023,
// EXDEV 11025, anything else 11047.
uint16_t MapOsError(int error);

// The name a disk-file operation works on: blanks trimmed; then the exact name when a file
// of that name exists, else the one entry of its directory equal to it without regard to
// (ASCII) case, the first in byte order if several are, else the name as given; finally
// the directory part is made canonical (`realpath`) when it exists. The result is the key
// of disk file objects in the file list, compared exactly.
std::string ResolveDiskFileName(const std::string& name);

// While a TPathMemo lives on a thread, the canonical form of each directory the file
// layer resolves there is worked out once, so that an operation naming several files of
// one directory (opening a table's three files) pays for one `realpath`. Outside any
// memo nothing is remembered: a directory renamed or re-linked between two operations is
// always seen. Memos nest; the outermost one holds the answers. Not shared between threads.
class TPathMemo {
 public:
  TPathMemo();
  ~TPathMemo();
  TPathMemo(const TPathMemo&) = delete;
  TPathMemo& operator=(const TPathMemo&) = delete;

 private:
  bool Outermost_;
};

// One byte-range lock: Start to End inclusive, Length = End - Start + 1.
struct TFileLock {
  int64_t Start;
  int64_t End;
  int64_t Length;
  int32_t Owner;  // the handle that set it (disk files); 0 for in-memory files (no owner)
};

// One handle on a file object and its own position.
struct THandleEntry {
  int32_t Handle;
  int64_t Position;
};

// A shared file object: the handle list with per-handle positions, the flags, and the lock
// list. Owned by the `TFileList`; callers reach it through a `TFileHandler`.
//
// Every operation takes `Mutex()` itself; callers that need several operations to be seen
// as one (seek then read) hold it around them (`TFileHandler::Enter`/`Leave`). Operations
// that fail return a negative engine code (-11013, ...) and never throw; handle numbers are
// positive and unique among the object's open handles.
class TAbstractFile {
 public:
  explicit TAbstractFile(std::string name);
  virtual ~TAbstractFile();
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;

  virtual bool IsInMemory() const = 0;

  // Index of `handle` in the handle list, -1 when it is not open on this object.
  int FindHandle(int32_t handle) const;

  // Creates the file empty (truncating an existing one) and opens one handle on it, with
  // the object marked exclusive by the list beforehand. Returns the handle or -code.
  virtual int32_t CreateFile() = 0;
  // Adds a handle: the first one opens the file (flags set by the list beforehand), later
  // ones share it. `readOnlyByAttribute` reports the file's read-only attribute. Returns
  // the handle or -code; a failed first open leaves the object without handles.
  virtual int32_t OpenFile(bool& readOnlyByAttribute) = 0;
  // Closes one handle and releases the byte-range locks it set (disk files). At the last
  // handle a disk file closes its descriptor (and is unlinked when temporary). 0 or -code.
  virtual int CloseHandle(int32_t handle) = 0;
  // Renames or deletes the file of an object without handles (else -11013). 0 or -code.
  virtual int Rename(const std::string& newName) = 0;
  virtual int Delete() = 0;
  // Reads or writes at the handle's position and advances it by the bytes moved. Read
  // returns the bytes read (fewer at the end of the file) or -code. Write returns the bytes
  // written (fewer or -code on failure; -11013 on a read-only file); a write of 0 bytes sets
  // the end of the file at the position (truncate or extend with zeros).
  virtual int64_t Read(int32_t handle, void* buffer, size_t count) = 0;
  virtual int64_t Write(int32_t handle, const void* buffer, size_t count) = 0;
  // Copies `count` slots of `slotSize` bytes, slot i from offset offsets[i] to
  // out + i x slotSize, without a system call per slot (disk files, through their read-only
  // mapping); positions are not moved. False when it cannot (in-memory files, mapping off or
  // refused, a slot past the end): the caller reads instead.
  virtual bool CopyMappedSlots(const int64_t* /*offsets*/, size_t /*count*/, size_t /*slotSize*/,
                               uint8_t* /*out*/) {
    return false;
  }
  // Makes written data durable (fdatasync; nothing for in-memory or read-only files).
  virtual int Flush() = 0;
  // Makes sure that writes up to byte `end`, adding at most `growth` bytes to the file,
  // will not fail for want of room: the disk's blocks are set aside without changing the
  // file's size (a little ahead, so that a file growing a record at a time asks seldom),
  // and a size beyond the process's file size limit is refused. 0, or -code (-11047 for a
  // full disk or the limit) with nothing changed. Nothing to do for in-memory files or
  // where the file system cannot set blocks aside (the writes then find out themselves).
  virtual int Reserve(int64_t /*end*/, int64_t /*growth*/) { return 0; }
  // Removes the file's name while this object's descriptor keeps it open (disk files; the
  // handles stay usable until they close); 0 or -code.
  virtual int UnlinkOpen();
  // Moves the handle's position (origin `TSeekOrigin`); returns the new position or -code
  // (-11047 for a bad origin or a position before 0).
  virtual int64_t Seek(int32_t handle, int origin, int64_t offset) = 0;
  // Locks bytes offset .. offset + length - 1. False when the range overlaps a range of the
  // lock list (whoever set it; the same handle too), when another process holds any of
  // its bytes (disk), or for an empty, negative or reserved range. Never throws.
  virtual bool LockRange(int32_t handle, int64_t offset, int64_t length) = 0;
  // Removes the lock entry of exactly this offset and length (set through this handle on
  // disk files; by anyone on in-memory files). False when there is none.
  virtual bool UnlockRange(int32_t handle, int64_t offset, int64_t length) = 0;
  // Removes every lock entry lying in bytes offset .. offset + length - 1 with one call to
  // the system (releasing many locks one by one costs, in the kernel, the length of the
  // file's lock list for each). False, and nothing changed, when an entry reaches out of
  // the span or was set through another handle (disk files).
  bool UnlockSpan(int32_t handle, int64_t offset, int64_t length);

  // The object's critical section (recursive: the operations above take it again).
  std::recursive_mutex& Mutex() const { return mutex_; }

  std::string Name() const;
  bool Exclusive() const;
  void SetExclusive(bool exclusive);
  bool Temporary() const;
  void SetTemporary(bool temporary);
  bool ReadOnly() const;
  bool ReadOnlyByAttribute() const;
  int OpenCount() const;
  // A copy of the lock list by first byte, for diagnostics and tests.
  std::vector<TFileLock> Locks() const;

 protected:
  // The helpers below expect `mutex_` held by the caller.
  int32_t AddHandle();  // appends a handle at position 0 and returns its number
  THandleEntry* Entry(int32_t handle);
  bool OverlapsLock(int64_t start, int64_t end) const;
  // Releases bytes offset .. offset + length - 1 at the system, for UnlockSpan.
  virtual bool ReleaseSpan(int64_t /*offset*/, int64_t /*length*/) { return true; }
  // Checks length > 0, offset >= 0 and no overflow; sets `end` (inclusive).
  static bool RangeEnd(int64_t offset, int64_t length, int64_t& end);
  // New position for a seek or -11047.
  static int64_t SeekTarget(int64_t position, int64_t size, int origin, int64_t offset);

  mutable std::recursive_mutex mutex_;
  // Everything below is guarded by mutex_.
  std::string name_;  // full resolved path (disk) or trimmed bare name (in memory)
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool readOnlyByAttribute_ = false;
  bool temporary_ = false;
  std::vector<THandleEntry> handles_;
  // Held ranges by their first byte; they never overlap, so a look-up checks neighbours
  // only (a transaction may hold many thousands of record locks).
  std::map<int64_t, TFileLock> locks_;
  int32_t nextHandle_ = 1;
};

// A disk file: one descriptor shared by all handles of the object in this process.
class TPhysicalFile : public TAbstractFile {
 public:
  explicit TPhysicalFile(std::string path);
  ~TPhysicalFile() override;  // closes the descriptor (unlinking a temporary file)

  bool IsInMemory() const override { return false; }
  int32_t CreateFile() override;
  int32_t OpenFile(bool& readOnlyByAttribute) override;
  int CloseHandle(int32_t handle) override;
  int Rename(const std::string& newName) override;
  int Delete() override;
  int64_t Read(int32_t handle, void* buffer, size_t count) override;
  int64_t Write(int32_t handle, const void* buffer, size_t count) override;
  bool CopyMappedSlots(const int64_t* offsets, size_t count, size_t slotSize, uint8_t* out) override;
  int Flush() override;
  int Reserve(int64_t end, int64_t growth) override;
  int UnlinkOpen() override;
  int64_t Seek(int32_t handle, int origin, int64_t offset) override;
  bool LockRange(int32_t handle, int64_t offset, int64_t length) override;
  bool UnlockRange(int32_t handle, int64_t offset, int64_t length) override;

  // The shared descriptor, -1 when closed or detached.
  int Descriptor() const;

  // In a forked child only: drops the descriptor inherited from the parent (its locks stay
  // the parent's) without unlinking anything; later operations fail with -11014.
  void DetachAfterFork();

 protected:
  bool ReleaseSpan(int64_t offset, int64_t length) override;

 private:
  void CloseDescriptor();  // mutex_ held

  int fd_ = -1;            // guarded by mutex_
  bool detached_ = false;  // guarded by mutex_
  int64_t reservedEnd_ = 0;  // guarded by mutex_; Reserve has room up to here already
  TFileMapping mapping_;   // guarded by mutex_; of fd_, released when it closes
};

// An in-memory file: one growable buffer, kept by the list after its last handle closes
// (its content is the table) unless it is temporary.
class TMemoryFile : public TAbstractFile {
 public:
  explicit TMemoryFile(std::string name);

  bool IsInMemory() const override { return true; }
  int32_t CreateFile() override;
  int32_t OpenFile(bool& readOnlyByAttribute) override;
  int CloseHandle(int32_t handle) override;
  int Rename(const std::string& newName) override;
  int Delete() override;
  int64_t Read(int32_t handle, void* buffer, size_t count) override;
  int64_t Write(int32_t handle, const void* buffer, size_t count) override;
  int Flush() override;
  int64_t Seek(int32_t handle, int origin, int64_t offset) override;
  bool LockRange(int32_t handle, int64_t offset, int64_t length) override;
  bool UnlockRange(int32_t handle, int64_t offset, int64_t length) override;

  int64_t Size() const;
  // Bytes allocated: a multiple of 4096, 0 when the size is 0.
  size_t Capacity() const;

 private:
  int SetSize(int64_t size);  // mutex_ held; grows zero-filled, 0 frees; 0 or -code

  std::vector<uint8_t> data_;  // guarded by mutex_; data_.size() is the capacity
  int64_t size_ = 0;           // guarded by mutex_
};

// The process-wide registry of file objects, keyed by name: disk files by resolved path
// (exactly), in-memory files by trimmed name without regard to case; the two are separate
// name spaces. Every operation runs under the list's mutex and returns 0 or a handle on
// success and a negative engine code on failure; none throws.
//
// A forked child starts with no disk file objects: those inherited from the parent are
// detached (their descriptors closed in the child, never unlinked), so the child's opens
// take descriptors of its own and conflict with the parent's like any other process's; an
// inherited handler can only be closed (its other operations fail). In-memory files are
// copied with the process. fork() takes the list's mutex (pthread_atfork), so do not fork
// inside a handler's Enter/Leave. At normal exit, temporary disk files still open are
// unlinked.
class TFileList {
 public:
  TFileList();
  ~TFileList();
  TFileList(const TFileList&) = delete;
  TFileList& operator=(const TFileList&) = delete;

  // Creates the file empty (truncating an existing file) and returns a handle on it in
  // `file`, the object marked exclusive. -11013 when the object is open (in this process,
  // or, on disk, in another one; the existing file is then left untouched) or the disk
  // file has the read-only attribute.
  int32_t CreateFile(const std::string& name, bool inMemory, bool temporary,
                     TAbstractFile*& file);
  // Opens a handle. An object without handles takes the request's exclusive and temporary
  // flags; one with handles refuses (-11013) when it or the request is exclusive. An unknown
  // in-memory name, a missing disk file or a directory gives -11010.
  int32_t OpenFile(const std::string& name, bool inMemory, bool temporary, bool exclusive,
                   bool& readOnlyByAttribute, TAbstractFile*& file);
  // Returns a handle. At the last handle a disk object is freed (descriptor closed, file
  // unlinked when temporary); an in-memory object is kept unless temporary. Unknown object
  // -11010, unknown handle -11014. `inMemory` is not needed: the object knows its kind.
  int CloseFile(TAbstractFile* file, bool inMemory, int32_t handle);
  // Deletes a file. -11013 when open here or (disk) in another process, or when the disk
  // file has the read-only attribute; -11010 when it does not exist.
  int DeleteFile(const std::string& name, bool inMemory);
  // Renames a file to `newName` (full path for disk files). -11013 when open here or (disk)
  // in another process; -11047 when a file of the new name already exists (except a case
  // change of the same file); -11010 when it does not exist; -11025 across file systems.
  int RenameFile(const std::string& name, bool inMemory, const std::string& newName);
  // True when an object of that kind and name is listed or, for disk names, a regular
  // file of that (resolved) name exists.
  bool FileExists(const std::string& name, bool inMemory);
  // Copies the whole open `file` (handle left at its end) into `targetName`, created anew
  // as a file of the same kind, in 65536-byte blocks; the target handle is closed after.
  int CopyToFile(TAbstractFile* file, int32_t handle, const std::string& targetName,
                 bool inMemory);
  // Overwrites the open `file` from position 0 with the content of `sourceName`, opened
  // exclusively, in 65536-byte blocks; bytes beyond the copied length stay; the handle is
  // left after the last byte copied.
  int CopyFromFile(TAbstractFile* file, int32_t handle, const std::string& sourceName,
                   bool inMemory);

  // Diagnostics: number of listed objects; the object of a name (or nullptr). The pointer
  // stays valid only while some handle keeps the object open.
  size_t Count();
  TAbstractFile* Find(const std::string& name, bool inMemory);

 private:
  friend TFileList& FileList();
  // Process hooks registered by FileList(): pthread_atfork handlers and the exit cleanup.
  static void ForkPrepare();
  static void ForkParent();
  static void ForkChild();
  static void AtExit();

  // The helpers below expect `mutex_` held.
  TAbstractFile* FindLocked(const std::string& key, bool inMemory) const;
  bool Listed(const TAbstractFile* file) const;
  int32_t CreateLocked(const std::string& name, bool inMemory, bool temporary,
                       TAbstractFile*& file);
  int32_t OpenLocked(const std::string& name, bool inMemory, bool temporary, bool exclusive,
                     bool& readOnlyByAttribute, TAbstractFile*& file);
  int CloseLocked(TAbstractFile* file, int32_t handle);

  std::mutex mutex_;
  std::vector<std::unique_ptr<TAbstractFile>> files_;     // guarded by mutex_
  std::vector<std::unique_ptr<TAbstractFile>> detached_;  // guarded by mutex_; forked child
};

// The process's file list, created on first use and never destroyed (handlers that close
// during static destruction still find it).
TFileList& FileList();

// Test-only fault points of commit paths. `FaultPoint(name)` passes `name` to the hook a
// test set with `SetFaultHook` (none by default), and kills the process with SIGKILL when
// the environment variable VELDOR_FAULT_KILL names the point ("name", or "name:n" for its
// n-th pass in this process), so that tests can stop a program (the veldor tool too) at
// a chosen moment of a commit. Nothing else happens; production code sets neither.
void FaultPoint(const char* name);
void SetFaultHook(std::function<void(const char*)> hook);

// Makes the entries of directory `path` durable (fsync of the directory), so that a file
// created or removed there survives a power loss. 0 or -code.
int SyncDirectory(const std::string& path);

// A disk file looked at from outside the file list, as another process would: whether it
// exists, whether any descriptor (of any process, this one's file objects included) holds
// it open with the sharing locks, and its bytes. Takes no lock, so that looking never
// stands in the way of the file's owner; keeps a read-only descriptor until destroyed.
class TDetachedFile {
 public:
  explicit TDetachedFile(const std::string& path);
  ~TDetachedFile();
  TDetachedFile(const TDetachedFile&) = delete;
  TDetachedFile& operator=(const TDetachedFile&) = delete;

  bool Exists() const { return fd_ >= 0; }
  // Whether some descriptor holds the file's sharing lock (an open through the file layer).
  bool HeldOpen() const;
  int64_t Size() const;
  // Reads exactly `count` bytes at `offset`; false at the end of the file or on an error.
  bool ReadAt(int64_t offset, void* buffer, size_t count) const;

 private:
  int fd_ = -1;
};

// Whether a disk file of exactly this name exists (no look-up without regard to case, so
// that it costs one system call).
bool DiskFileExists(const std::string& path);

// Where a handler's writes go while a table's journal holds its changes: the overlay keeps
// them instead of the file, and the handler's reads and size see them over the file's own
// bytes. Other handlers of the file, and other processes, see the file alone. The overlay
// belongs to the engine; the file layer only routes. `slot` names the handler's file for
// the overlay. Errors are raised as the handler's own would be.
class TFileOverlay {
 public:
  virtual ~TFileOverlay() = default;
  // Takes the `count` bytes written at `position` (count 0: the end of the file is set at
  // `position`, cutting or extending with zeros).
  virtual void OverlayWrite(int slot, int64_t position, const void* buffer, size_t count) = 0;
  // The file gave `got` of the `count` bytes asked for at `position` in `buffer`; lays the
  // overlay's bytes over them and returns how many bytes the read yields in all.
  virtual size_t OverlayRead(int slot, int64_t position, uint8_t* buffer, size_t count,
                             size_t got) = 0;
  // Whether the overlay alone answers every byte of the `count` at `position`, so that the
  // read need not reach the file (OverlayRead is then called with `got` 0).
  virtual bool OverlayCovers(int slot, int64_t position, size_t count) = 0;
  // Whether the overlay holds none of the `count` bytes at `position` and the file's own
  // bytes stand there, so that they may be copied from the file's mapping.
  virtual bool OverlayLeavesAlone(int slot, int64_t position, size_t count) = 0;
  // The file's size as the handler sees it.
  virtual int64_t OverlaySize(int slot) = 0;
};

// Read and write calls of one handler that reached the file object, and the bytes they
// moved; CopyTo and CopyFrom are not counted. Plain counters: the handler's thread only.
struct TFileIoCounters {
  uint64_t ReadCalls = 0;
  uint64_t ReadBytes = 0;
  uint64_t WriteCalls = 0;
  uint64_t WriteBytes = 0;
};

// One named file and one handle on its shared file object; the base of `TDataFile`,
// `TIndexFile` and `TBlobFile`. The owner sets the name and the in-memory, exclusive and
// temporary flags before Open or Create. Every failure raises `EVELDOREngineError` through
// `RaiseEngineError` with the handler's file name as the table name. A handler is used by
// one thread at a time; different handlers may be used by different threads.
class TFileHandler {
 public:
  TFileHandler();
  explicit TFileHandler(std::string fileName, bool inMemory = false);
  virtual ~TFileHandler();  // closes; never throws
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;

  // Nothing when open. A file that does not exist raises VELDOR_OSENOENT; a sharing
  // conflict VELDOR_OSEACCES ("Access denied to table '%s'"); other failures their mapped
  // code. Afterwards the handle stands at 0 and ReadOnlyByAttribute() tells whether the
  // file could only be opened for reading.
  virtual void Open();
  // Returns the handle (nothing when closed); the handler is closed afterwards even when
  // the list reports an error, which is then raised.
  virtual void Close();
  // Creates the file empty (truncating an existing one) and leaves the handler open on it,
  // exclusively. Raises VELDOR_OSEACCES when the handler is open or the file is open
  // elsewhere (in this or another process) or read-only.
  virtual void Create();
  // Delete and Rename need the file closed everywhere (else VELDOR_OSEACCES). Rename takes
  // a full new name and makes it the handler's name.
  virtual void Delete();
  virtual void Rename(const std::string& newName);
  // Copies the whole open file into `targetName` (same kind), created anew; the handle is
  // left at the end of the file.
  virtual void CopyTo(const std::string& targetName);
  // Reads `count` bytes at the handle's position into `buffer`; fewer (end of file) raise
  // VELDOR_READERR unless `allowShort`; a read error always raises it. Returns the bytes
  // read; the position advances by them.
  virtual size_t Read(void* buffer, size_t count, bool allowShort = false);
  // Writes `count` bytes at the position, which advances; 0 bytes set the end of the file
  // at the position. A failure (a read-only file included) raises VELDOR_WRITEERR.
  virtual void Write(const void* buffer, size_t count);
  // Makes written data durable; failure raises VELDOR_WRITEERR.
  virtual void Flush();
  // See TAbstractFile::Reserve; a refusal raises VELDOR_WRITEERR, nothing changed.
  void Reserve(int64_t end, int64_t growth);
  // Removes the name of the open file (see TAbstractFile::UnlinkOpen): nobody can open it
  // any more, while this handler goes on using it until Close. Failure raises its code.
  void Unlink();
  // The slots at `offsets` copied without a system call each (see
  // `TAbstractFile::CopyMappedSlots`); false, nothing raised, when they must be read. The
  // caller keeps other processes from shortening the file meanwhile (a read lock, a write
  // lock or an exclusive open); should one do it anyway, the copy is refused, not a crash.
  bool CopyMappedSlots(const int64_t* offsets, size_t count, size_t slotSize, uint8_t* out);

  // Byte-range lock and unlock of `length` bytes at `offset` (note the order: length
  // first). True on success; false when the range is locked already (by any handler of
  // this process, or another process) or, for Unlock, not locked through this handler
  // (in-memory files: not locked with exactly this offset and length). False when closed.
  bool Lock(int64_t length, int64_t offset);
  bool Unlock(int64_t length, int64_t offset);
  // Every lock this handler holds within the span, released with one system call; false
  // (nothing released) when a lock there is another handler's or reaches out of the span.
  bool UnlockSpan(int64_t length, int64_t offset);
  // Moves the position (origin `TSeekOrigin`) and returns it; failures raise their code.
  int64_t Seek(int origin, int64_t offset);
  // The file's size (as the overlay shows it, when one is set); the position is unchanged.
  int64_t Size();
  // The size of the file itself, whatever an overlay holds.
  int64_t DiskSize();
  // Routes writes to `overlay` and lays it over reads (nullptr: back to the file). While
  // set, Flush does nothing (the overlay's owner makes its bytes durable) and
  // CopyMappedSlots declines, so that every read sees the overlay.
  void SetOverlay(TFileOverlay* overlay, int slot) {
    overlay_ = overlay;
    overlaySlot_ = slot;
  }
  TFileOverlay* Overlay() const { return overlay_; }
  // Whether the file exists (see `TFileList::FileExists`); the handler may be closed.
  bool Exists();
  // Overwrites the open file from 0 with the content of `sourceName` (opened exclusively);
  // a longer file keeps its tail. The handle is left after the last byte copied.
  void CopyFrom(const std::string& sourceName);

  // The file object's critical section, for callers that make several calls as one. Do not
  // call Open, Close, Create, Delete, Rename, CopyTo, CopyFrom or Exists inside it (they
  // take the list's mutex, which ranks before the object's). Enter on a closed handler
  // locks nothing; each Leave releases what its Enter took.
  void Enter();
  void Leave();

  const std::string& FileName() const { return fileName_; }
  void SetFileName(std::string fileName) { fileName_ = std::move(fileName); }
  bool InMemory() const { return inMemory_; }
  void SetInMemory(bool inMemory) { inMemory_ = inMemory; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool exclusive) { exclusive_ = exclusive; }
  bool Temporary() const { return temporary_; }
  void SetTemporary(bool temporary) { temporary_ = temporary; }
  // Reported by the last Open (false after Create).
  bool ReadOnlyByAttribute() const { return readOnlyByAttribute_; }
  bool IsOpen() const { return open_; }
  int32_t Handle() const { return handle_; }
  // The shared file object while open, else nullptr; owned by the file list.
  TAbstractFile* File() const { return file_; }

  const TFileIoCounters& IoCounters() const { return counters_; }
  void ResetIoCounters() { counters_ = TFileIoCounters{}; }

 protected:
  [[noreturn]] void Raise(uint16_t code) const;
  void RequireOpen() const;  // raises VELDOR_OSEBADF when closed

 private:
  bool inMemory_ = false;
  TAbstractFile* file_ = nullptr;
  std::string fileName_;
  int32_t handle_ = 0;
  bool exclusive_ = false;
  bool temporary_ = false;
  bool readOnlyByAttribute_ = false;
  bool open_ = false;
  TFileIoCounters counters_;
  TFileOverlay* overlay_ = nullptr;  // not owned; see SetOverlay
  int overlaySlot_ = 0;
  std::vector<TAbstractFile*> entered_;  // objects locked by Enter, innermost last
};

// Holds a handler's file-object critical section for a scope (Enter/Leave).
class TFileSection {
 public:
  explicit TFileSection(TFileHandler& handler) : handler_(handler) { handler_.Enter(); }
  ~TFileSection() { handler_.Leave(); }
  TFileSection(const TFileSection&) = delete;
  TFileSection& operator=(const TFileSection&) = delete;

 private:
  TFileHandler& handler_;
};

}  // namespace veldor
