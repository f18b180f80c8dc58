// The locks a statement holds while it reads its source tables, so that what it reads is
// one state of each table that some commit left, never a mixture of two.
//
// `TReadingLocks` owns the query read locks (and the WITH LOCKS table locks) it took, and
// gives them back when it goes, on every path. It never takes back what someone else took:
// a table whose lock is held already (by an enclosing holder, a transaction's table lock,
// an exclusive or read-only opening) is left as it is. The tables must stay open while the
// holder lives. One thread at a time, like its statement.
//
// Between processes: a query read lock is a reader slot, so a holder keeps other processes'
// commits out of its tables while it lives (they wait for it), and a table lock keeps their
// writes out. Lock order: table locks before reader slots, and never a table lock asked for
// while this holder keeps a slot on that table's files (a reader that waits for the header
// byte while a writer that holds it waits for the reader's slot would wait for each other).
// Within the process, the write lock of the same process gives up these slots for the time
// of its write and takes them back, so a holder never blocks its own process's writes.
#pragma once

#include <vector>

namespace veldor {

class TDataQuery;
class TDataTable;

class TReadingLocks {
 public:
  TReadingLocks() = default;
  ~TReadingLocks() { Release(); }
  TReadingLocks(const TReadingLocks&) = delete;
  TReadingLocks& operator=(const TReadingLocks&) = delete;

  // WITH LOCKS: the table lock of every source table of `query` (call before LockReading
  // for the same tables). VELDOR_LOCKTIMEOUT when one is not had; what was taken stays held
  // until Release.
  void LockTables(TDataQuery& query);
  // The query read lock of every source table of `query` that has no read, table or write
  // lock yet. The lock re-reads the headers other processes wrote. VELDOR_LOCKTIMEOUT when
  // a slot is not had; what was taken stays held until Release.
  void LockReading(TDataQuery& query);
  // Gives back everything held, reader slots first. Never throws.
  void Release() noexcept;
  bool Empty() const { return Reading_.empty() && Tables_.empty(); }

 private:
  std::vector<TDataTable*> Reading_;  // query read locks taken here
  std::vector<TDataTable*> Tables_;   // table locks taken here
};

}  // namespace veldor
