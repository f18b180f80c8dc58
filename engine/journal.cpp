#include "engine/journal.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include <zlib.h>

#include "engine/errors.h"
#include "lib/byte_order.h"

namespace veldor {
namespace {

constexpr char kHeaderMagic[8] = {'V', 'E', 'L', 'D', 'O', 'R', 'J', 'N'};
constexpr char kMarkMagic[8] = {'C', 'O', 'M', 'M', 'I', 'T', 'J', 'N'};
constexpr char kMarkTail[4] = {'V', 'J', 'C', 'M'};
constexpr uint32_t kJournalVersion = 1;
constexpr uint8_t kEntryBytes = 1;
constexpr uint8_t kEntrySetEnd = 2;
// Moves of journal bytes go through buffers of this size, whatever an entry's length.
constexpr size_t kChunk = kJournalWorkingBytes / 2;
// New entries gather up to this many bytes before they are written in one call.
constexpr size_t kTailLimit = kJournalWorkingBytes / 2;
// No table file reaches the bytes that emulate sharing: an entry beyond them is damage.
constexpr int64_t kFileLimit = kShareLockOffset;

std::string DirectoryOf(const std::string& name) {
  size_t slash = name.rfind('/');
  return slash == std::string::npos ? std::string(".") : name.substr(0, slash + 1);
}

// Reads exactly `count` bytes at `offset`; false at the end of the file.
bool ReadAt(TFileHandler& file, int64_t offset, void* buffer, size_t count) {
  TFileSection section(file);
  file.Seek(kSeekFromStart, offset);
  return file.Read(buffer, count, true) == count;
}

void WriteAt(TFileHandler& file, int64_t offset, const void* buffer, size_t count) {
  TFileSection section(file);
  file.Seek(kSeekFromStart, offset);
  file.Write(buffer, count);
}

using TReader = std::function<bool(int64_t, void*, size_t)>;

// The CRC of the file's bytes [0, length).
uint32_t ChecksumOf(const TReader& readAt, int64_t length, bool& complete) {
  std::vector<uint8_t> buffer(size_t(std::min<int64_t>(length, int64_t(kChunk))));
  uint32_t crc = 0;
  complete = true;
  for (int64_t at = 0; at < length;) {
    size_t n = size_t(std::min<int64_t>(length - at, int64_t(buffer.size())));
    if (!readAt(at, buffer.data(), n)) {
      complete = false;
      return 0;
    }
    crc = Crc32(crc, buffer.data(), n);
    at += int64_t(n);
  }
  return crc;
}

uint32_t ChecksumOf(TFileHandler& file, int64_t length, bool& complete) {
  return ChecksumOf([&](int64_t at, void* out, size_t n) { return ReadAt(file, at, out, n); },
                    length, complete);
}

// Whether the journal of `size` bytes that `readAt` reads ends in a sound mark.
bool EndsInMark(const TReader& readAt, int64_t size, int64_t& body) {
  body = 0;
  if (size < int64_t(kJournalHeaderSize + kJournalMarkSize)) return false;
  uint8_t header[kJournalHeaderSize];
  uint8_t mark[kJournalMarkSize];
  if (!readAt(0, header, sizeof header) ||
      !readAt(size - int64_t(kJournalMarkSize), mark, sizeof mark))
    return false;
  if (std::memcmp(header, kHeaderMagic, 8) != 0 || LoadU32(header + 8) != kJournalVersion)
    return false;
  if (std::memcmp(mark, kMarkMagic, 8) != 0 || std::memcmp(mark + 20, kMarkTail, 4) != 0)
    return false;
  const int64_t length = LoadI64(mark + 8);
  if (length != size - int64_t(kJournalMarkSize)) return false;
  bool complete = false;
  if (ChecksumOf(readAt, length, complete) != LoadU32(mark + 16) || !complete) return false;
  body = length;
  return true;
}

}  // namespace

std::string JournalFileNameFor(const std::string& dataFileName) {
  const std::string data = ResolveDiskFileName(dataFileName);
  const size_t slash = data.rfind('/');
  const size_t dot = data.rfind('.');
  const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (extension ? data.substr(0, dot) : data) + kJournalExtension;
}

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t size) {
  // zlib's CRC-32 is this one (reflected 0xEDB88320, inverted before and after), done many
  // bytes at a time; it takes lengths that fit in its unsigned int, so long inputs go in parts.
  while (size > 0) {
    const size_t n = std::min<size_t>(size, size_t(1) << 30);
    crc = uint32_t(crc32(crc, data, uInt(n)));
    data += n;
    size -= n;
  }
  return crc;
}

TJournal::TJournal(std::string fileName, std::array<TFileHandler*, kJournalFiles> files,
                   std::string tableName)
    : FileName_(std::move(fileName)), Files_(files), TableName_(std::move(tableName)),
      Journal_(FileName_) {}

TJournal::~TJournal() {
  Detach();
  if (!Journal_.IsOpen()) return;
  try {
    if (Sealed_) Journal_.Close();
    else Remove(Journal_);
  } catch (...) {
    // A destructor does not raise: a journal left behind without a mark is discarded at
    // the next open.
  }
}

void TJournal::Attach() {
  for (int slot = 0; slot < kJournalFiles; ++slot)
    if (Files_[size_t(slot)] != nullptr) Files_[size_t(slot)]->SetOverlay(this, slot);
  Attached_ = true;
}

void TJournal::Detach() {
  if (!Attached_) return;
  for (TFileHandler* file : Files_)
    if (file != nullptr) file->SetOverlay(nullptr, 0);
  Attached_ = false;
}

TJournal::TFileState& TJournal::State(int slot) {
  if (slot < 0 || slot >= kJournalFiles || Files_[size_t(slot)] == nullptr)
    RaiseTableError(VELDOR_WRITEERR, TableName_);
  TFileState& state = States_[size_t(slot)];
  if (!state.Known) {
    state.DiskEnd = Files_[size_t(slot)]->DiskSize();
    state.End = state.DiskEnd;
    state.Known = true;
  }
  return state;
}

void TJournal::Open() {
  if (Journal_.IsOpen()) return;
  // Created exclusively and kept so until removed: while the journal is open here, no other
  // process takes it for the leftover of a dead one. Whoever creates one holds the table's
  // write lock, table lock or exclusive open, under which a journal already there was
  // replayed or removed: should one be there anyway, it is not replaced.
  if (DiskFileExists(FileName_))
    RaiseEngineError(VELDOR_FILENOACCESS, "", "", "", TableName_, "", "",
                     "the journal of another change is in the way");
  Journal_.SetExclusive(true);
  Journal_.Create();
  uint8_t header[kJournalHeaderSize] = {};
  std::memcpy(header, kHeaderMagic, 8);
  StoreU32(header + 8, kJournalVersion);
  try {
    WriteAt(Journal_, 0, header, sizeof header);
  } catch (...) {
    Remove(Journal_);
    throw;
  }
  End_ = int64_t(kJournalHeaderSize);
  TailStart_ = End_;
  Tail_.clear();
  Tail_.reserve(kTailLimit);
}

void TJournal::Append(const uint8_t* header, const void* bytes, size_t count) {
  Open();
  if (Tail_.size() + kJournalEntryHeaderSize + count > kTailLimit) FlushTail();
  if (kJournalEntryHeaderSize + count > kTailLimit) {
    // Larger than the tail holds: straight to the file.
    WriteAt(Journal_, End_, header, kJournalEntryHeaderSize);
    if (count > 0) WriteAt(Journal_, End_ + int64_t(kJournalEntryHeaderSize), bytes, count);
    End_ += int64_t(kJournalEntryHeaderSize + count);
    TailStart_ = End_;
    return;
  }
  Tail_.insert(Tail_.end(), header, header + kJournalEntryHeaderSize);
  const uint8_t* from = static_cast<const uint8_t*>(bytes);
  if (count > 0) Tail_.insert(Tail_.end(), from, from + count);
  End_ += int64_t(kJournalEntryHeaderSize + count);
}

void TJournal::FlushTail() {
  if (Tail_.empty()) return;
  WriteAt(Journal_, TailStart_, Tail_.data(), Tail_.size());
  TailStart_ = End_;
  Tail_.clear();
}

void TJournal::JournalWrite(int64_t offset, const uint8_t* bytes, size_t count) {
  const int64_t end = offset + int64_t(count);
  if (offset < TailStart_) {
    const size_t n = size_t(std::min(end, TailStart_) - offset);
    WriteAt(Journal_, offset, bytes, n);
    offset += int64_t(n);
    bytes += n;
  }
  if (offset < end) std::memcpy(Tail_.data() + (offset - TailStart_), bytes, size_t(end - offset));
}

void TJournal::JournalRead(int64_t offset, uint8_t* bytes, size_t count) {
  const int64_t end = offset + int64_t(count);
  if (offset < TailStart_) {
    const size_t n = size_t(std::min(end, TailStart_) - offset);
    if (!ReadAt(Journal_, offset, bytes, n)) RaiseTableError(VELDOR_READERR, TableName_);
    offset += int64_t(n);
    bytes += n;
  }
  if (offset < end) std::memcpy(bytes, Tail_.data() + (offset - TailStart_), size_t(end - offset));
}

std::map<int64_t, TJournal::TExtent>::iterator TJournal::FirstExtentFrom(TFileState& state,
                                                                        int64_t position) {
  auto it = state.Extents.upper_bound(position);
  if (it != state.Extents.begin() && std::prev(it)->second.End > position) --it;
  return it;
}

void TJournal::Cut(TFileState& state, int64_t from, int64_t to) {
  auto it = FirstExtentFrom(state, from);
  while (it != state.Extents.end() && it->first < to) {
    const int64_t start = it->first;
    const TExtent extent = it->second;
    it = state.Extents.erase(it);
    if (start < from) state.Extents[start] = TExtent{from, extent.Data};
    if (extent.End > to)
      it = state.Extents.emplace(to, TExtent{extent.End, extent.Data + (to - start)}).first;
  }
}

void TJournal::OverlayWrite(int slot, int64_t position, const void* buffer, size_t count) {
  if (Sealed_) RaiseTableError(VELDOR_WRITEERR, TableName_);
  TFileState& state = State(slot);
  if (position < 0 || position + int64_t(count) > kFileLimit)
    RaiseTableError(VELDOR_WRITEERR, TableName_);
  uint8_t header[kJournalEntryHeaderSize] = {};
  header[1] = uint8_t(slot);
  StoreI64(header + 8, position);
  if (count == 0) {
    header[0] = kEntrySetEnd;
    Append(header, nullptr, 0);
    Cut(state, position, INT64_MAX);
    state.End = position;
    state.ZeroFrom = std::min(state.ZeroFrom, position);
    return;
  }
  // Bytes the journal holds already are rewritten where they are: before the mark, the
  // place the map names for a byte is the last entry that covers it, so the replay still
  // ends with the newest bytes. Only the gaps between them take new entries, so that a
  // page written back again and again costs its size in the journal once.
  Open();
  const int64_t end = position + int64_t(count);
  const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
  auto it = FirstExtentFrom(state, position);
  for (int64_t at = position; at < end;) {
    if (it != state.Extents.end() && it->first <= at) {
      const int64_t to = std::min(it->second.End, end);
      JournalWrite(it->second.Data + (at - it->first), bytes + (at - position), size_t(to - at));
      at = to;
      ++it;
      continue;
    }
    const int64_t gapEnd = it != state.Extents.end() ? std::min(it->first, end) : end;
    header[0] = kEntryBytes;
    StoreU32(header + 4, uint32_t(gapEnd - at));
    StoreI64(header + 8, at);
    const int64_t data = End_ + int64_t(kJournalEntryHeaderSize);
    Append(header, bytes + (at - position), size_t(gapEnd - at));
    state.Extents.emplace(at, TExtent{gapEnd, data});
    at = gapEnd;
  }
  state.End = std::max(state.End, end);
}

size_t TJournal::OverlayRead(int slot, int64_t position, uint8_t* buffer, size_t count,
                             size_t got) {
  TFileState& state = State(slot);
  const int64_t available = std::max<int64_t>(0, state.End - position);
  const size_t yield = size_t(std::min<int64_t>(int64_t(count), available));
  // Bytes past the file on disk, or cut off by a set end, read as zeros unless journaled.
  size_t fromDisk = std::min(got, yield);
  if (state.ZeroFrom != INT64_MAX)
    fromDisk = size_t(std::clamp<int64_t>(state.ZeroFrom - position, 0, int64_t(fromDisk)));
  if (fromDisk < yield) std::memset(buffer + fromDisk, 0, yield - fromDisk);
  const int64_t end = position + int64_t(yield);
  auto it = FirstExtentFrom(state, position);
  for (; it != state.Extents.end() && it->first < end; ++it) {
    const int64_t from = std::max(it->first, position);
    const int64_t to = std::min(it->second.End, end);
    JournalRead(it->second.Data + (from - it->first), buffer + (from - position),
                size_t(to - from));
  }
  return yield;
}

int64_t TJournal::OverlaySize(int slot) { return State(slot).End; }

bool TJournal::OverlayLeavesAlone(int slot, int64_t position, size_t count) {
  TFileState& state = State(slot);
  const int64_t end = position + int64_t(count);
  if (end > std::min(state.DiskEnd, state.ZeroFrom) || end > state.End) return false;
  auto it = FirstExtentFrom(state, position);
  return it == state.Extents.end() || it->first >= end;
}

bool TJournal::OverlayCovers(int slot, int64_t position, size_t count) {
  TFileState& state = State(slot);
  // Past the file as the transaction sees it nothing is read; past the disk's end, or
  // what a set end cut off, the bytes the journal does not hold are zeros.
  const int64_t end = std::min(position + int64_t(count), state.End);
  const int64_t zeros = std::min(state.DiskEnd, state.ZeroFrom);
  auto it = FirstExtentFrom(state, position);
  for (int64_t at = position; at < end && at < zeros;) {
    if (it == state.Extents.end() || it->first > at) return false;
    at = it->second.End;
    ++it;
  }
  return true;
}

void TJournal::Commit() {
  if (!Journal_.IsOpen()) {
    Detach();
    return;
  }
  FlushTail();
  std::vector<uint8_t>().swap(Tail_);
  bool complete = false;
  const uint32_t crc = ChecksumOf(Journal_, End_, complete);
  if (!complete) RaiseTableError(VELDOR_READERR, TableName_);
  // Room for what the copy adds to the files is set aside now, while a refusal still means
  // nothing was committed: a disk that fills cannot stop the copy half way.
  for (int slot = 0; slot < kJournalFiles; ++slot) {
    const TFileState& state = States_[size_t(slot)];
    if (state.Known && state.End > state.DiskEnd)
      Files_[size_t(slot)]->Reserve(state.End, state.End - state.DiskEnd);
  }
  FaultPoint("commit-before-mark");
  uint8_t mark[kJournalMarkSize] = {};
  std::memcpy(mark, kMarkMagic, 8);
  StoreI64(mark + 8, End_);
  StoreU32(mark + 16, crc);
  std::memcpy(mark + 20, kMarkTail, 4);
  WriteAt(Journal_, End_, mark, sizeof mark);
  try {
    Journal_.Flush();
    if (int result = SyncDirectory(DirectoryOf(FileName_)); result < 0)
      RaiseTableError(uint16_t(-result), TableName_);
  } catch (...) {
    // Not durable: the mark is taken back, so that the journal stays one that never
    // committed, and the caller may roll back or try again.
    TFileSection section(Journal_);
    Journal_.Seek(kSeekFromStart, End_);
    Journal_.Write(nullptr, 0);
    throw;
  }
  Sealed_ = true;
  FaultPoint("commit-after-mark");
  Detach();
  Replay(Journal_, End_, Files_, TableName_);
  FaultPoint("commit-before-remove");
  Remove(Journal_);
  Sealed_ = false;
  End_ = TailStart_ = 0;
  States_ = {};
}

void TJournal::Discard() {
  Detach();
  if (Journal_.IsOpen()) Remove(Journal_);
  End_ = TailStart_ = 0;
  Tail_.clear();
  Sealed_ = false;
  States_ = {};
}

bool TJournal::Committed(TFileHandler& journal, int64_t& body) {
  return EndsInMark([&](int64_t at, void* out, size_t n) { return ReadAt(journal, at, out, n); },
                    journal.DiskSize(), body);
}

TJournal::TFound TJournal::Probe(const std::string& fileName) {
  if (!DiskFileExists(fileName)) return TFound::None;
  TDetachedFile file(fileName);
  if (!file.Exists()) return TFound::None;  // removed meanwhile
  if (file.HeldOpen()) return TFound::Live;
  int64_t body = 0;
  const bool committed = EndsInMark(
      [&](int64_t at, void* out, size_t n) { return file.ReadAt(at, out, n); }, file.Size(), body);
  return committed ? TFound::DeadCommitted : TFound::Dead;
}

void TJournal::Replay(TFileHandler& journal, int64_t body,
                      const std::array<TFileHandler*, kJournalFiles>& files,
                      const std::string& tableName) {
  struct TEntry {
    uint8_t Kind;
    uint8_t Slot;
    uint32_t Length;
    int64_t Offset;
    int64_t Data;
  };
  // The journal is read front to back a window at a time, not an entry at a time: a commit
  // of thousands of scattered pages costs a few reads of the journal, not thousands.
  std::vector<uint8_t> window;
  int64_t windowAt = 0;
  auto read = [&](int64_t at, uint8_t* out, size_t n) {
    if (at < windowAt || at + int64_t(n) > windowAt + int64_t(window.size())) {
      if (n >= kChunk) {
        if (!ReadAt(journal, at, out, n)) RaiseTableError(VELDOR_READERR, tableName);
        return;
      }
      window.resize(size_t(std::min<int64_t>(int64_t(kChunk), body - at)));
      windowAt = at;
      if (window.size() < n || !ReadAt(journal, at, window.data(), window.size()))
        RaiseTableError(VELDOR_FILECORRUPT, tableName);
    }
    std::memcpy(out, window.data() + (at - windowAt), n);
  };
  auto forEachEntry = [&](const std::function<void(const TEntry&)>& fn) {
    for (int64_t at = int64_t(kJournalHeaderSize); at < body;) {
      uint8_t header[kJournalEntryHeaderSize];
      if (body - at < int64_t(kJournalEntryHeaderSize)) RaiseTableError(VELDOR_FILECORRUPT, tableName);
      read(at, header, sizeof header);
      TEntry e{header[0], header[1], LoadU32(header + 4), LoadI64(header + 8),
               at + int64_t(kJournalEntryHeaderSize)};
      const bool kindOk = (e.Kind == kEntryBytes && e.Length > 0) ||
                          (e.Kind == kEntrySetEnd && e.Length == 0);
      if (!kindOk || e.Slot >= kJournalFiles || files[e.Slot] == nullptr || e.Offset < 0 ||
          e.Offset + int64_t(e.Length) > kFileLimit || int64_t(e.Length) > body - e.Data)
        RaiseTableError(VELDOR_FILECORRUPT, tableName);
      fn(e);
      at = e.Data + int64_t(e.Length);
    }
  };
  // First every entry is checked, so that a journal that does not fit the table writes
  // nothing at all; then a second pass copies them.
  forEachEntry([](const TEntry&) {});
  std::vector<uint8_t> buffer;
  forEachEntry([&](const TEntry& e) {
    TFileHandler& file = *files[e.Slot];
    if (e.Kind == kEntrySetEnd) {
      TFileSection section(file);
      file.Seek(kSeekFromStart, e.Offset);
      file.Write(nullptr, 0);
    } else {
      for (int64_t done = 0; done < int64_t(e.Length);) {
        size_t n = size_t(std::min<int64_t>(int64_t(e.Length) - done, int64_t(kChunk)));
        GrowBuffer(buffer, n);
        read(e.Data + done, buffer.data(), n);
        WriteAt(file, e.Offset + done, buffer.data(), n);
        done += int64_t(n);
      }
    }
    FaultPoint("commit-copy");
  });
  for (TFileHandler* file : files)
    if (file != nullptr) file->Flush();
}

bool TJournal::Settle(const std::string& fileName,
                      const std::array<TFileHandler*, kJournalFiles>& files,
                      const std::string& tableName) {
  const TFound found = Probe(fileName);
  // Live under the write lock is only ever a look of this very process: nothing to do.
  if (found == TFound::None || found == TFound::Live) return false;
  TFileHandler journal(fileName);
  journal.SetExclusive(true);
  try {
    journal.Open();
  } catch (const EVELDOREngineError& e) {
    if (e.ErrorCode == VELDOR_OSENOENT) return false;  // settled by another meanwhile
    throw;
  }
  int64_t body = 0;
  const bool committed = Committed(journal, body);
  // A replay that fails leaves the journal as it is, for the next try.
  if (committed) Replay(journal, body, files, tableName);
  Remove(journal);
  return committed;
}

void TJournal::Remove(TFileHandler& journal) {
  {
    TFileSection section(journal);
    journal.Seek(kSeekFromStart, 0);
    journal.Write(nullptr, 0);
  }
  // Emptied for good before it goes: should the removal not survive a crash, what is left is
  // a journal without a mark, discarded at the next open, so the directory needs no sync.
  journal.Flush();
  // The name goes while the hold is still on: a journal found by its name without a hold
  // is always a dead process's, never one on its way out.
  journal.Unlink();
  journal.Close();
}

}  // namespace veldor
