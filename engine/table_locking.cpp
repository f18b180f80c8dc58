// Locks between processes that share a table's files, and the table's transactions.
//
// The lock protocol. Every lock is an operating-system byte-range lock on the one handle a
// process keeps per file, on bytes far beyond the data (the files never grow that far):
//
//   file    offset                  length  meaning
//   data    4294967295 (FFFFFFFF)   1       header byte: the write lock, and the table lock
//   data    4294967294 - n          1       record n (1 <= n <= 200,000,000)
//   data    4094967293              1       recovery: held while a journal left beside the
//                                           table is looked at and replayed
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
// - The journal of a live transaction is kept open exclusively by its owner. An open that
//   finds a journal takes the recovery byte first, then tries the journal: refused, its
//   owner is alive and the table files hold the committed state; opened, its owner died,
//   and under the write lock the journal is replayed (committed) or dropped (not). The
//   byte makes a second opener wait until the first has finished, so that nobody reads
//   files that a replay is still putting right.
// Attempts: reader slots, writer ranges and the header byte are tried 8193 times, 3 ms
// apart, then VELDOR_LOCKTIMEOUT; record locks LockRetryCount more times, LockWaitTime
// apart, then VELDOR_RECLOCKFAILED.
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
constexpr int64_t kRecoveryByte = 4094967293LL;
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
  if (ReadOnlyByAttribute_ || Exclusive_ || !Open_) return false;
  if (ReadLocked_ || QueryReadLocked_ || WriteLocked_ || TableLocked_) return false;
  TakeReaderSlots(ReadSlots_);
  ReadLocked_ = true;
  return ReloadIfChanged();
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
  if (ReadOnlyByAttribute_ || Exclusive_ || !Open_) return false;
  if (ReadLocked_ || QueryReadLocked_ || WriteLocked_ || TableLocked_) return false;
  TakeReaderSlots(QuerySlots_);
  QueryReadLocked_ = true;
  return ReloadIfChanged();
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
  bool header = false, index = false;
  try {
    if (!TableLocked_) {
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
    ResumeReadLocks();
    throw;
  }
  WriteLocked_ = true;
  return TableLocked_ ? false : ReloadIfChanged();
}

void TDataTable::WriteUnlock() {
  if (!WriteLocked_) return;
  WriteLocked_ = false;
  if (WriteLockInMemory_) {
    WriteLockInMemory_ = false;
    return;
  }
  bool ok = true;
  if (TFileHandler* blob = BlobLockFile()) ok = blob->Unlock(kWriterRangeLength, kWriterRange) && ok;
  ok = Index_->Unlock(kWriterRangeLength, kWriterRange) && ok;
  if (!TableLocked_) ok = Data_->Unlock(1, kHeaderByte) && ok;
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
  if (TableLocked_ || ReadOnlyByAttribute_ || !Open_) return;
  if (!Persist([&] { return Data_->Lock(1, kHeaderByte); }))
    RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
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

// ---- Recovery of a journal left by a dead process ------------------------------------------------

bool TDataTable::RecoverJournal(bool& reopen) {
  reopen = false;
  if (InMemory_ || Temporary_) return false;
  TFileHandler journal(JournalFileName());
  if (!journal.Exists()) return false;
  // Files nobody may write take no locks; nobody can replay into them either.
  const bool locking = !ReadOnlyByAttribute_;
  if (locking && !Persist([&] { return Data_->Lock(1, kRecoveryByte); }))
    RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
  bool replayed = false;
  try {
    if (!journal.Exists()) {
      // Another process finished a recovery while this one waited.
      reopen = true;
    } else {
      journal.SetExclusive(true);
      bool opened = true;
      try {
        journal.Open();
      } catch (const EVELDOREngineError& e) {
        // Open elsewhere: its transaction is alive, and the files hold what it last
        // committed.
        if (e.ErrorCode != VELDOR_OSEACCES) throw;
        opened = false;
      }
      if (opened) {
        int64_t body = 0;
        const bool committed = TJournal::Committed(journal, body);
        if (ReadOnly()) {
          journal.Close();
          // A reader writes nothing: the commit it found must be finished by a writer.
          if (committed)
            RaiseEngineError(VELDOR_FILENOACCESS, "", "", "", Name_, "", "",
                             "a committed journal awaits replay by a writer");
        } else {
          WriteLock();
          try {
            if (committed) {
              std::array<TFileHandler*, kJournalFiles> files = {
                  Data_.get(), Index_.get(), Blob_->IsOpen() ? Blob_.get() : nullptr};
              TJournal::Replay(journal, body, files, Name_);
            }
            TJournal::Remove(journal);
          } catch (...) {
            try {
              WriteUnlock();
            } catch (...) {
            }
            throw;
          }
          WriteUnlock();
          replayed = committed;
          reopen = committed;
        }
      }
    }
  } catch (...) {
    if (locking) Data_->Unlock(1, kRecoveryByte);
    throw;
  }
  if (locking && !Data_->Unlock(1, kRecoveryByte)) RaiseTableError(VELDOR_LOCKTIMEOUT, Name_);
  return replayed;
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
  auto commitFlush = [&](bool trim) {
    Committing_ = true;
    try {
      Flush(trim, false, forceFlush);
    } catch (...) {
      Committing_ = false;
      if (Journal_) {
        Journal_.reset();
        ++Discards_;
        Data_->DropCache();
        Index_->DropCaches();
        DropBlobCache();
        try {
          Data_->ReadHeader();
          Index_->ReloadHeader();
          if (Blob_->IsOpen()) Blob_->ReloadHeader();
        } catch (...) {
        }
      }
      throw;
    }
    Committing_ = false;
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
      try {
        WriteUnlock();
      } catch (...) {
      }
      UnlockTable();
      throw;
    }
    try {
      WriteUnlock();
    } catch (...) {
      UnlockTable();
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
    WriteUnlock();
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
  ++Discards_;
  Data_->DropCache();
  Index_->DropCaches();
  DropBlobCache();
  try {
    Data_->ReadHeader();
    Index_->ReloadHeader();
    if (Blob_->IsOpen()) Blob_->ReloadHeader();
  } catch (...) {
    UnlockTable();
    throw;
  }
  UnlockTable();
}

}  // namespace veldor
