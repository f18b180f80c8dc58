// Locks between processes that share a table's files, and the table's transactions.
//
// The lock protocol. Every lock is an operating-system byte-range lock on the one handle a
// process keeps per file, on bytes far beyond the data (the files never grow that far):
//
//   file    offset                  length  meaning
//   data    4294967295 (FFFFFFFF)   1       header byte: the write lock, and the table lock
//   data    4294967294 - n          1       record n (1 <= n <= 200,000,000)
//   index   4294967295 - s          1       a reader's slot s, 1 <= s <= 65535, drawn at random
//   index   4294901759 (FFFEFFFF)   65536   the writer's range, covering every reader slot
//   BLOB    as the index file               (only for tables with BLOB fields)
//
// Who may hold what together:
// - Readers hold one slot in the index file and one in the BLOB file. Any number of
//   readers coexist; two that draw the same slot conflict, and the later draws again.
// - A writer holds the header byte, then the index range, then the BLOB range, taken in
//   that order and released in reverse. It cannot get a range while any reader holds a
//   slot, and readers cannot get a slot while it holds the range, so a reader never sees
//   a write half done. The header byte serialises writers.
// - The table lock (transactions) is the header byte held on its own for a long time;
//   while it is held, this process's write locks skip the header byte, and no other
//   process can write. Inside a transaction the write lock takes nothing in the system:
//   nothing reaches the table files before the commit, whose write lock is the real one.
// - Record locks are independent of the others and last from edit to post.
// Attempts: reader slots, writer ranges and the header byte are tried 8193 times, 3 ms
// apart, then VELDOR_LOCKTIMEOUT; record locks LockRetryCount more times, LockWaitTime
// apart, then VELDOR_RECLOCKFAILED.
//
// The journal ("NAME.JNL" beside the data file, named after the data file's own name so
// that every process finds the same one by one look-up; see engine/journal.h):
// - Only a process holding the header byte (the write lock of a journaled write-back, or
//   the table lock of a transaction) or the table's exclusive open creates a journal, and
//   it holds the journal file open exclusively from its creation until its name is gone:
//   the commit writes the mark, copies the entries into the table's files under the whole
//   write lock, makes them durable, empties the journal durably, removes its name and only
//   then closes it. So a journal found under its name that no descriptor holds open was
//   left by a process that died (or gave it up after its copy failed): it is dead.
// - A dead journal without a mark is harmless: none of it reached the files. A dead
//   journal with a mark is a commit that may be half copied: nobody reads or writes the
//   table's files before it is replayed.
// - Whoever takes a lock (a reader slot, the query slots, the write lock, the table lock,
//   in a table already open or at its open) looks for the journal afterwards (one system
//   call when there is none). A live one is another process's change in progress: readers
//   go on reading the files, which hold the last commit. A dead one is settled under the
//   whole write lock (header byte, then the ranges): a reader gives its slots up and waits
//   for the write lock, a table lock adds the ranges; under it the journal is looked at
//   again (another process may have settled it meanwhile), replayed when it has a mark,
//   and removed; every cache of the table is dropped and every header read again. A
//   process that only reads (a read-only open) writes nothing: a dead committed journal
//   is an error for it (VELDOR_FILENOACCESS) until a writer finishes the commit.
// - At an open the look comes first, before any header is read, with handles of the
//   open's own; an exclusive open settles a dead journal without locks (nobody else has
//   the files open).
// - Looking takes no lock of the journal's (it tests whether one is held), so it never
//   stands in the way of the owner's creating, committing or removing it; and a new
//   journal is never made over a dead one (the creator settled it under the same lock).
//
// After taking a read lock, a write lock or the table lock, the headers are compared with
// the copies held (change counters) and re-read when another process wrote them; the
// stale caches are dropped. That is how processes notice each other's writes.
//
// Within the process, all cursors share the table object and its handles, so byte-range
// locks cannot tell them apart: the object's bitmaps say which records the process holds,
// which some cursor of it holds, and which unlocks wait for the table lock's release. A
// writer first gives up this process's own reader slots (its range covers them) and takes
// them again afterwards.
//
// Tables opened exclusively take no read, write or record locks (only the table lock of
// transactions); tables whose files are read-only take none at all.

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>

#include <pthread.h>
#include <unistd.h>

#include "engine/data_table.h"
#include "engine/errors.h"
#include "engine/journal.h"
#include "lib/records_bitmap.h"

namespace veldor {
namespace {

constexpr int64_t kHeaderByte = 4294967295LL;
constexpr int64_t kRecordBytesTop = 4294967294LL;
constexpr int64_t kReaderSlotsTop = 4294967295LL;
constexpr int64_t kWriterRange = 4294901759LL;
constexpr int64_t kWriterRangeLength = 65536;
constexpr int kTableLockAttempts = 8193;
constexpr auto kTableLockSleep = std::chrono::milliseconds(3);

// Reader slots are drawn from a generator seeded per thread and process: a forked child
// reseeds. The fork handler counts forks, so that a draw does not pay for a getpid call.
std::atomic<uint32_t> g_forkGeneration{1};
void CountFork() { g_forkGeneration.fetch_add(1); }

int32_t RandomSlot() {
  thread_local std::mt19937 generator;
  thread_local uint32_t seededAt = 0;
  static std::once_flag forkHandler;
  std::call_once(forkHandler, [] { pthread_atfork(nullptr, nullptr, CountFork); });
  const uint32_t generation = g_forkGeneration.load(std::memory_order_relaxed);
  if (seededAt != generation) {
    // Seeded from the clock, the process and the thread: draws only need to differ between
    // processes, and a random device costs more than the whole lock.
    const uint64_t ticks = uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
    generator.seed(uint32_t(ticks) ^ uint32_t(ticks >> 32) ^ (uint32_t(getpid()) << 16) ^
                   uint32_t(reinterpret_cast<uintptr_t>(&generator)));
    seededAt = generation;
  }
  return int32_t(std::uniform_int_distribution<int32_t>(1, 65535)(generator));
}

// Tries `attempt` up to 8193 times, 3 ms apart.
template <typename Fn>
bool Persist(Fn attempt) {
  for (int i = 0; i < kTableLockAttempts; ++i) {
    if (attempt()) return true;
    if (i + 1 < kTableLockAttempts) std::this_thread::sleep_for(kTableLockSleep);
  }
  return false;
}

}  // namespace

// ---- Bookkeeping -----------------------------------------------------------------------------

void TDataTable::EnsureLockBitmaps(int32_t record) {
  uint32_t needed = uint32_t(std::max(record, RecordCount()) + 1);
  for (TRecordsBitmap* b : {ProcessLocks_.get(), CursorLocks_.get(), PendingUnlocks_.get()}) {
    if (b->Size() >= needed) continue;
    uint32_t old = b->Size();
    b->SetSize(needed);
    // Growing within the allocation keeps stale bits: clear what was uncovered.
    b->ClearBits(old + 1, needed);
  }
}

bool TDataTable::RecordLockedByProcess(int32_t record) const {
  return record >= 1 && uint32_t(record) <= ProcessLocks_->Size() &&
         ProcessLocks_->GetBit(uint32_t(record));
}

bool TDataTable::RecordLockedByCursor(int32_t record) const {
  return record >= 1 && uint32_t(record) <= CursorLocks_->Size() &&
         CursorLocks_->GetBit(uint32_t(record));
}

void TDataTable::SetRecordLockedByCursor(int32_t record, bool locked) {
  if (record < 1) return;
  EnsureLockBitmaps(record);
  if (locked)
    CursorLocks_->SetBit(uint32_t(record));
  else
    CursorLocks_->ClearBit(uint32_t(record));
}

// ---- Record locks ------------------------------------------------------------------------------

bool TDataTable::LockRecord(int32_t record) {
  if (ReadOnlyByAttribute_) return false;
  if (Exclusive_ && !TableLocked_) return false;
  if (record <= 0) RaiseTableError(VELDOR_RECLOCKFAILED, Name_);
  if (TableLocked_ && RecordLockedByProcess(record)) {
    PendingUnlocks_->ClearBit(uint32_t(record));  // locked again: its deferred unlock is off
    return false;
  }
  bool changed = Settings_->StrictChangeDetection ? false : ReadLock();
  if (RecordLockedByProcess(record)) RaiseTableError(VELDOR_RECLOCKFAILED, Name_);
  if (TableLocked_ && record >= UnsharedFrom_) {
    // Appended under the table lock: no other process sees the record before this one
    // lets the table go, so the mark of this process is the whole lock (a transaction
    // appending millions of records holds no lock per record in the system).
    EnsureLockBitmaps(record);
    ProcessLocks_->SetBit(uint32_t(record));
    PendingUnlocks_->ClearBit(uint32_t(record));
    return changed;
  }
  int64_t offset = kRecordBytesTop - record;
  bool locked = Data_->Lock(1, offset);
  for (int retry = 0; !locked && retry < Settings_->LockRetryCount; ++retry) {
    std::this_thread::sleep_for(std::chrono::milliseconds(Settings_->LockWaitTime));
    locked = Data_->Lock(1, offset);
  }
  if (!locked) RaiseTableError(VELDOR_RECLOCKFAILED, Name_);
  EnsureLockBitmaps(record);
  ProcessLocks_->SetBit(uint32_t(record));
  PendingUnlocks_->ClearBit(uint32_t(record));
  return changed;
}

void TDataTable::UnlockRecord(int32_t record) {
  if (ReadOnlyByAttribute_) return;
  if (Exclusive_ && !TableLocked_) return;
  if (TableLocked_) {
    if (RecordLockedByProcess(record)) PendingUnlocks_->SetBit(uint32_t(record));
    return;
  }
  if (!RecordLockedByProcess(record) || !Data_->Unlock(1, kRecordBytesTop - record))
    RaiseTableError(VELDOR_UNLOCKFAILED, Name_);
  ProcessLocks_->ClearBit(uint32_t(record));
}

void TDataTable::UnlockAllRecords(bool pendingOnly) {
  TRecordsBitmap& which = pendingOnly ? *PendingUnlocks_ : *ProcessLocks_;
  // Runs of held records that all go are released with one call each: the kernel walks
  // the file's whole lock list for every call, so a commit releasing its thousands of
  // locks one by one would cost their number squared. Records held by this process that
  // stay (another cursor is editing them) end a run.
  constexpr size_t kUnlockRunLimit = 65536;
  uint32_t position = 0;
  int32_t counter = 0;
  std::vector<uint32_t> run;
  auto release = [&] {
    if (run.empty()) return;
    const int64_t low = int64_t(run.front()), high = int64_t(run.back());
    if (!Data_->UnlockSpan(high - low + 1, kRecordBytesTop - high))
      for (uint32_t n : run) Data_->Unlock(1, kRecordBytesTop - int64_t(n));
    for (uint32_t n : run) {
      ProcessLocks_->ClearBit(n);
      PendingUnlocks_->ClearBit(n);
    }
    run.clear();
  };
  while (ProcessLocks_->NextMembers(position, 1, counter).Found) {
    if (which.GetBit(position)) {
      run.push_back(position);
      // Bounded, so that a commit of a million appends does not hold their list at once.
      if (run.size() >= kUnlockRunLimit) release();
    } else {
      release();
    }
  }
  release();
  // Deferred unlocks of records no longer held have nothing left to release.
  if (pendingOnly) PendingUnlocks_->ClearAll();
}

// ---- Read locks ---------------------------------------------------------------------------------

void TDataTable::TakeReaderSlots(TReaderSlots& slots) {
  auto take = [&](TFileHandler& file, int32_t& slot) {
    bool ok = Persist([&] {
      int32_t s = RandomSlot();
      if (!file.Lock(1, kReaderSlotsTop - s)) return false;
      slot = s;
      return true;
    });
    if (!ok) RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
  };
  take(*Index_, slots.Index);
  if (TFileHandler* blob = BlobLockFile()) {
    try {
      take(*blob, slots.Blob);
    } catch (...) {
      Index_->Unlock(1, kReaderSlotsTop - slots.Index);
      slots.Index = 0;
      throw;
    }
  }
}

void TDataTable::ReleaseReaderSlots(TReaderSlots& slots) {
  bool ok = true;
  if (slots.Blob != 0 && BlobLockFile())
    ok = BlobLockFile()->Unlock(1, kReaderSlotsTop - slots.Blob) && ok;
  if (slots.Index != 0) ok = Index_->Unlock(1, kReaderSlotsTop - slots.Index) && ok;
  slots = TReaderSlots{};
  if (!ok) RaiseTableError(VELDOR_UNLOCKFAILED, Name_);
}

bool TDataTable::ReadLock() {
  if (PendingCopy_) FinishPendingCommit();
  if (ReadOnlyByAttribute_ || Exclusive_ || !Open_) return false;
  if (ReadLocked_ || QueryReadLocked_ || WriteLocked_ || TableLocked_) return false;
  TakeReaderSlots(ReadSlots_);
  ReadLocked_ = true;
  const bool settled = SettleOrLetGo(ReadSlots_, ReadLocked_);
  return ReloadIfChanged() || settled;
}

bool TDataTable::SettleOrLetGo(TReaderSlots& slots, bool& held) {
  try {
    return SettleJournalAsReader(slots);
  } catch (...) {
    // The caller never learns of a lock whose taking failed: it is not kept.
    if (held) {
      held = false;
      try {
        ReleaseReaderSlots(slots);
      } catch (...) {
      }
    }
    throw;
  }
}

void TDataTable::ReadUnlock() {
  if (ReadSuspended_) {  // given up for a write lock: it is simply not taken back
    ReadSuspended_ = false;
    return;
  }
  if (!ReadLocked_) return;
  ReadLocked_ = false;
  ReleaseReaderSlots(ReadSlots_);
}

bool TDataTable::QueryReadLock() {
  if (PendingCopy_) FinishPendingCommit();
  if (ReadOnlyByAttribute_ || Exclusive_ || !Open_) return false;
  if (ReadLocked_ || QueryReadLocked_ || WriteLocked_ || TableLocked_) return false;
  TakeReaderSlots(QuerySlots_);
  QueryReadLocked_ = true;
  const bool settled = SettleOrLetGo(QuerySlots_, QueryReadLocked_);
  return ReloadIfChanged() || settled;
}

void TDataTable::QueryReadUnlock() {
  if (QueryReadSuspended_) {
    QueryReadSuspended_ = false;
    return;
  }
  if (!QueryReadLocked_) return;
  QueryReadLocked_ = false;
  ReleaseReaderSlots(QuerySlots_);
}

// ---- Write lock and table lock -------------------------------------------------------------------

bool TDataTable::WriteLock() {
  if (PendingCopy_) FinishPendingCommit();
  if (ReadOnlyByAttribute_ || WriteLocked_ || Exclusive_ || !Open_) return false;
  if (InTransaction_ && TableLocked_) {
    // A transaction writes nothing to the table files before its commit (its changes stay
    // in the caches and its journal), and the table lock keeps every other writer out: the
    // write is the process's own business, and readers elsewhere go on reading the files.
    // The commit takes the real lock.
    WriteLocked_ = true;
    WriteLockInMemory_ = true;
    return false;
  }
  // This process's own reader slots lie inside the writer's ranges: give them up.
  if (ReadLocked_) {
    ReleaseReaderSlots(ReadSlots_);
    ReadLocked_ = false;
    ReadSuspended_ = true;
  }
  if (QueryReadLocked_) {
    ReleaseReaderSlots(QuerySlots_);
    QueryReadLocked_ = false;
    QueryReadSuspended_ = true;
  }
  bool settled = false;
  try {
    TakeWriterLocks(!TableLocked_);
    try {
      // Under the table lock a journal was settled when it was taken, and none can have
      // appeared since.
      if (!TableLocked_) settled = SettleJournalUnderWriteLock();
    } catch (...) {
      ReleaseWriterLocks(!TableLocked_);
      throw;
    }
  } catch (...) {
    ResumeReadLocks();
    throw;
  }
  WriteLocked_ = true;
  if (TableLocked_) return false;
  return ReloadIfChanged() || settled;
}

void TDataTable::TakeWriterLocks(bool headerByte) {
  bool header = false, index = false;
  try {
    if (headerByte) {
      if (!Persist([&] { return Data_->Lock(1, kHeaderByte); }))
        RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
      header = true;
    }
    if (!Persist([&] { return Index_->Lock(kWriterRangeLength, kWriterRange); }))
      RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
    index = true;
    TFileHandler* blob = BlobLockFile();
    if (blob && !Persist([&] { return blob->Lock(kWriterRangeLength, kWriterRange); }))
      RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
  } catch (...) {
    // Give back what was obtained, so that a failed writer blocks nobody.
    if (index) Index_->Unlock(kWriterRangeLength, kWriterRange);
    if (header) Data_->Unlock(1, kHeaderByte);
    throw;
  }
}

bool TDataTable::ReleaseWriterLocks(bool headerByte) noexcept {
  bool ok = true;
  if (TFileHandler* blob = BlobLockFile()) ok = blob->Unlock(kWriterRangeLength, kWriterRange) && ok;
  ok = Index_->Unlock(kWriterRangeLength, kWriterRange) && ok;
  if (headerByte) ok = Data_->Unlock(1, kHeaderByte) && ok;
  return ok;
}

void TDataTable::WriteUnlock() {
  if (!WriteLocked_) return;
  WriteLocked_ = false;
  if (WriteLockInMemory_) {
    WriteLockInMemory_ = false;
    return;
  }
  const bool ok = ReleaseWriterLocks(!TableLocked_);
  // The reader slots given up for the write come back (what was written is current).
  ResumeReadLocks();
  if (!ok) RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
}

void TDataTable::ResumeReadLocks() {
  bool read = ReadSuspended_, query = QueryReadSuspended_;
  ReadSuspended_ = QueryReadSuspended_ = false;
  if (read) {
    TakeReaderSlots(ReadSlots_);
    ReadLocked_ = true;
  }
  if (query) {
    TakeReaderSlots(QuerySlots_);
    QueryReadLocked_ = true;
  }
}

void TDataTable::LockTable() {
  if (PendingCopy_) FinishPendingCommit();
  if (TableLocked_ || ReadOnlyByAttribute_ || !Open_) return;
  if (!Persist([&] { return Data_->Lock(1, kHeaderByte); }))
    RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
  if (!Exclusive_ && JournalMayBeFound() && TJournal::Probe(JournalPath_) != TJournal::TFound::None) {
    // A dead journal: settled now under the whole write lock, so that the transaction
    // starts from what was committed (and its own journal finds the place free).
    try {
      TakeWriterLocks(false);
    } catch (...) {
      Data_->Unlock(1, kHeaderByte);
      throw;
    }
    try {
      SettleJournalUnderWriteLock();
    } catch (...) {
      ReleaseWriterLocks(true);
      throw;
    }
    ReleaseWriterLocks(false);
  }
  TableLocked_ = true;
  if (!Exclusive_) ReloadIfChanged();
  UnsharedFrom_ = Data_->RecordCount() + 1;
}

void TDataTable::UnlockTable() {
  if (!TableLocked_) return;
  if (!Exclusive_) {
    // Records appended under the table lock that a cursor still holds take their lock in
    // the system now, before other processes can see them.
    uint32_t position = uint32_t(std::max(UnsharedFrom_, 1) - 1);
    int32_t counter = 0;
    while (ProcessLocks_->NextMembers(position, 1, counter).Found)
      if (!PendingUnlocks_->GetBit(position)) Data_->Lock(1, kRecordBytesTop - int64_t(position));
  }
  UnsharedFrom_ = INT32_MAX;
  TableLocked_ = false;
  if (!Data_->Unlock(1, kHeaderByte)) RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
  if (!Exclusive_) UnlockAllRecords(true);
}

void TDataTable::ReleaseAllLocks() noexcept {
  try {
    if (WriteLocked_) WriteUnlock();
  } catch (...) {
  }
  ReadSuspended_ = QueryReadSuspended_ = false;
  try {
    ReadUnlock();
  } catch (...) {
  }
  try {
    QueryReadUnlock();
  } catch (...) {
  }
  try {
    UnsharedFrom_ = INT32_MAX;
    if (TableLocked_) {
      TableLocked_ = false;
      Data_->Unlock(1, kHeaderByte);
    }
    if (Data_->IsOpen()) UnlockAllRecords(false);
  } catch (...) {
  }
  CursorLocks_->ClearAll();
  PendingUnlocks_->ClearAll();
}

// ---- Journals left by dead processes -------------------------------------------------------------

bool TDataTable::JournalMayBeFound() const {
  return !InMemory_ && !Temporary_ && !ReadOnlyByAttribute_ && !JournalPath_.empty();
}

bool TDataTable::SettleJournalUnderWriteLock() {
  if (!JournalMayBeFound() || Journal_) return false;
  if (ReadOnly()) {
    if (TJournal::Probe(JournalPath_) == TJournal::TFound::DeadCommitted) RaisePendingCommit();
    return false;
  }
  std::array<TFileHandler*, kJournalFiles> files = {Data_.get(), Index_.get(),
                                                    Blob_->IsOpen() ? Blob_.get() : nullptr};
  if (!TJournal::Settle(JournalPath_, files, Name_)) return false;
  // What the caches hold and what the headers say may be of the half-copied files.
  DiscardCachedChanges();
  return true;
}

bool TDataTable::SettleJournalAsReader(TReaderSlots& slots) {
  if (!JournalMayBeFound() || Journal_) return false;
  const TJournal::TFound found = TJournal::Probe(JournalPath_);
  // A live journal is another process's change in progress, a dead one without a mark
  // never reached the files: the files hold the last commit either way.
  if (found != TJournal::TFound::DeadCommitted) return false;
  if (ReadOnly()) RaisePendingCommit();
  // The commit is finished under the write lock, which this reader's own slots would
  // keep out: they are given up meanwhile and taken again afterwards.
  ReleaseReaderSlots(slots);
  bool settled = false;
  try {
    TakeWriterLocks(true);
    try {
      settled = SettleJournalUnderWriteLock();
    } catch (...) {
      ReleaseWriterLocks(true);
      throw;
    }
    if (!ReleaseWriterLocks(true)) RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
  } catch (...) {
    try {
      TakeReaderSlots(slots);
    } catch (...) {
      // Without its slots the read lock is not held.
      if (&slots == &ReadSlots_) ReadLocked_ = false;
      else QueryReadLocked_ = false;
    }
    throw;
  }
  try {
    TakeReaderSlots(slots);
  } catch (...) {
    if (&slots == &ReadSlots_) ReadLocked_ = false;
    else QueryReadLocked_ = false;
    throw;
  }
  return settled;
}

void TDataTable::RaisePendingCommit() const {
  RaiseEngineError(VELDOR_FILENOACCESS, "", "", "", Name_, "", "",
                   "a committed journal awaits replay by a writer");
}

bool TDataTable::SettleJournalAtOpen() {
  if (InMemory_ || Temporary_) return false;
  // A live journal is another process's change in progress (the files hold the last
  // commit); a dead one is settled here, so that an open leaves no leftover behind.
  const TJournal::TFound found = TJournal::Probe(JournalPath_);
  if (found == TJournal::TFound::None || found == TJournal::TFound::Live) return false;
  // Handles of this look's own, before anything of the table is read: a half-copied
  // commit may have left headers that do not even verify.
  TFileHandler data(DataFileName()), index(IndexFileName()), blob(BlobFileName());
  const bool exclusive = Exclusive_;
  data.SetExclusive(exclusive);
  data.Open();
  const bool readOnly = ReadOnly_ || data.ReadOnlyByAttribute();
  if (readOnly) {
    // Files nobody may write take no locks; nobody can replay into them either.
    if (found == TJournal::TFound::DeadCommitted) RaisePendingCommit();
    return false;
  }
  for (TFileHandler* file : {&index, &blob}) {
    file->SetExclusive(exclusive);
    if (file->Exists()) file->Open();
  }
  std::array<TFileHandler*, kJournalFiles> files = {&data, index.IsOpen() ? &index : nullptr,
                                                    blob.IsOpen() ? &blob : nullptr};
  if (exclusive) return TJournal::Settle(JournalPath_, files, Name_);
  // The whole write lock, as a writer takes it.
  std::vector<std::pair<TFileHandler*, std::pair<int64_t, int64_t>>> held;
  auto take = [&](TFileHandler* file, int64_t length, int64_t offset) {
    if (!Persist([&] { return file->Lock(length, offset); }))
      RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
    held.push_back({file, {length, offset}});
  };
  bool replayed = false;
  try {
    take(&data, 1, kHeaderByte);
    if (index.IsOpen()) take(&index, kWriterRangeLength, kWriterRange);
    if (blob.IsOpen()) take(&blob, kWriterRangeLength, kWriterRange);
    replayed = TJournal::Settle(JournalPath_, files, Name_);
  } catch (...) {
    for (auto it = held.rbegin(); it != held.rend(); ++it) it->first->Unlock(it->second.first, it->second.second);
    throw;
  }
  for (auto it = held.rbegin(); it != held.rend(); ++it) it->first->Unlock(it->second.first, it->second.second);
  return replayed;
}

void TDataTable::FinishPendingCommit() {
  // Only a table open exclusively keeps this mark: nobody else can open it to finish the
  // commit, and it takes no locks that would find the journal. Shared tables find it at
  // their next lock, as every other process does.
  std::array<TFileHandler*, kJournalFiles> files = {Data_.get(), Index_.get(),
                                                    Blob_->IsOpen() ? Blob_.get() : nullptr};
  TJournal::Settle(JournalPath_, files, Name_);
  PendingCopy_ = false;
  DiscardCachedChanges();
}

// ---- Transactions ---------------------------------------------------------------------------------

void TDataTable::BeginTransaction() {
  if (ReadOnly() || InTransaction_ || !Open_) return;
  if (Exclusive_) Flush();
  InTransaction_ = true;
  try {
    LockTable();
  } catch (...) {
    InTransaction_ = false;
    throw;
  }
}

void TDataTable::CommitTransaction(bool end, bool forceFlush) {
  if (!InTransaction_) return;
  // The write-back of a commit goes through the journal (see Flush). Should it fail, the
  // changes that only the journal held are gone with it: the table goes back to what its
  // files hold, as after a rollback, so that no half of the transaction is written later.
  // (A failure after the commit's mark is no failure: Flush finishes the copy or leaves it
  // pending, and returns.)
  auto commitFlush = [&](bool trim) {
    Committing_ = true;
    try {
      Flush(trim, false, forceFlush);
    } catch (...) {
      Committing_ = false;
      if (Journal_) {
        Journal_.reset();
        DiscardCachedChanges();
      }
      throw;
    }
    Committing_ = false;
  };
  // Unlocks on the way out of a failure never replace its error.
  auto quietly = [](auto&& unlock) {
    try {
      unlock();
    } catch (...) {
    }
  };
  if (end) {
    // Still in the transaction until the write lock is had: a failure here leaves the
    // caller free to roll back.
    InTransaction_ = false;
    try {
      WriteLock();
    } catch (...) {
      InTransaction_ = true;
      throw;
    }
    try {
      commitFlush(true);
    } catch (...) {
      quietly([&] { WriteUnlock(); });
      quietly([&] { UnlockTable(); });
      throw;
    }
    try {
      WriteUnlock();
    } catch (...) {
      quietly([&] { UnlockTable(); });
      throw;
    }
    UnlockTable();
    return;
  }
  // Out of the transaction first, so that the write lock is the real one.
  InTransaction_ = false;
  try {
    WriteLock();
  } catch (...) {
    InTransaction_ = true;
    throw;
  }
  try {
    commitFlush(false);
  } catch (...) {
    InTransaction_ = true;
    quietly([&] { WriteUnlock(); });
    throw;
  }
  UnlockAllRecords(true);
  InTransaction_ = true;
  WriteUnlock();
}

void TDataTable::RollbackTransaction() {
  if (!InTransaction_) return;
  InTransaction_ = false;
  // What the journal holds goes with it (the files never saw it).
  if (Journal_) {
    Journal_->Discard();
    Journal_.reset();
  }
  // What changed in memory is forgotten and read again from the files; every cursor of
  // the table re-synchronises at its next operation.
  DiscardCachedChanges();
  UnlockTable();
}

}  // namespace veldor
