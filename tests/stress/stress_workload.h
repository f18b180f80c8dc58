// The work of the multi-process stress test: the accounts table, the workers that share it
// (each a forked process with an engine session of its own) and the log each of them keeps
// of what the engine told it.
//
// The table holds a fixed total: account records carry value V, and every change that
// moves value is a database transaction that also appends a ledger record naming the move
// (its id, source, destination and amount), so that the audit can tell afterwards which
// transactions took effect and replay them. Records appended outside transactions carry 0.
//
// Workers never decide whether the engine did right; they only log, one line per event
// and one write per line (so a line survives its process being killed), what they asked
// and what came back. The parent's audit (stress_audit.h) judges. Nothing here is shared
// between processes but the table files and `TStressShared`.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace veldor::stress {

inline constexpr const char* kTableName = "accounts";
inline constexpr int32_t kAccounts = 24;
inline constexpr int32_t kOpeningBalance = 1000;  // each account's V at the start
inline constexpr int64_t kTotal = int64_t(kAccounts) * kOpeningBalance;
// Account k (1..kAccounts) has Id k * kAccountSpacing; the Ids between two accounts hold
// kBallastPerAccount ballast records of value 0, so that the accounts lie apart in every
// order and a walk over them takes many pages and many records.
inline constexpr int32_t kAccountSpacing = 1000;
inline constexpr int32_t kBallastPerAccount = 120;
inline constexpr int32_t AccountId(int32_t k) { return k * kAccountSpacing; }
inline constexpr bool IsAccountId(int32_t id) {
  return id >= kAccountSpacing && id <= kAccounts * kAccountSpacing && id % kAccountSpacing == 0;
}
// Ids of every record other than the accounts (ledger entries, pockets, spares) and of
// every operation are drawn from one counter from here on, so no two ever meet.
inline constexpr int32_t kFirstDrawnId = 1000000;

// Record kinds, in the Kind field.
enum TKind : int32_t { kAccount = 0, kLedger = 1, kPocket = 2, kSpare = 3, kBallast = 4 };

// What the processes share besides the files: an anonymous shared mapping made before the
// first fork. Lock-free atomics only.
struct TStressShared {
  std::atomic<int32_t> NextId{kFirstDrawnId};
  std::atomic<int32_t> Stop{0};  // set by the parent when the run's time is up
};
// Maps a fresh `TStressShared` (never unmapped: children inherit it).
TStressShared* MapShared();

enum class TRole {
  kTransfers,      // transfers between two accounts, in transactions
  kKilledWriter,   // transfers and pockets, killed at chosen commit points and by the parent
  kCrampedWriter,  // transfers and pockets whose commits meet a file size limit (a full disk)
  kAppender,       // spares with value 0 appended and deleted outside transactions; pockets
  kEditor,         // the Note and Edits fields of accounts, outside transactions
  kCursorReader,   // consistent walks through a cursor
  kSqlReader,      // SELECT COUNT(*), SUM(V) through a query statement
  kOpener,         // opens the table in a session of its own and closes it, again and again
};
const char* RoleName(TRole role);

struct TWorker {
  std::string Directory;    // the table's directory, ending in "/"
  std::string PrivateDir;   // a directory of this process's own for SQL result tables, or ""
  std::string LogPath;      // this process's log, appended to
  uint64_t Seed = 0;        // this process's choices follow from it
  TStressShared* Shared = nullptr;
};

// The body of a worker process: works until Shared->Stop is set and returns the exit
// status (0; anything else means the worker itself could not run, e.g. its log).
int RunWorker(TRole role, const TWorker& worker);

// Refusals that sharing a table brings with it (a lock not had in time, a record another
// process changed first): the operation must have changed nothing, and that is all.
bool ContentionCode(int code);

// Makes the table (in `directory`) with its accounts and ballast, through a session of its own.
void MakeAccountsTable(const std::string& directory);

// The text the Memo field of spare `id` holds.
std::string SpareMemo(int32_t id);

// ---- The log ----
// One line per event, fields separated by one blank, each ending in "@" and the time in
// microseconds on the monotonic clock:
//   B op kind a b c            about to commit (or to call the one operation) op
//   E op ok | E op fail code    what that commit or operation came back with
//   F op kind stage code a b c  op failed before its commit (stage: start, work) and was
//                               rolled back
//   K op point pass             the killed writer kills itself at that fault point
//   R reader mode sum count accounts mismatches first   one read of the whole table
//   X reader mode code          a read (or, reader "opener", an open) that failed
//   O opens                     the opener's count of opens, when it stops
//   U what code                 an error outside operations (opening, a rollback)
// Kinds and their a b c: transfer src dst amount; spawn src pocket amount; merge pocket dst
// amount (amount -1 when not yet read); append id 0 0; delete id 0 0; edit account 0 0.
// Codes are engine error codes; kMissingRecord stands for a record that was not found, and
// kNotReadLocked for a read lock the table object says it did not take.
inline constexpr int kMissingRecord = 1;
inline constexpr int kNotReadLocked = 2;
// "first" of an R line: the first record whose value the read's own ledger entries do not
// explain, 0 when there is none.

}  // namespace veldor::stress
