#include "tests/stress/stress_workload.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/session.h"
#include "lib/file_layer.h"
#include "sql/query_statement.h"
#include "tests/tables/table_fixture.h"

namespace veldor::stress {
namespace {

// Field numbers, in the order MakeAccountsTable defines them.
enum : uint16_t { kId = 1, kKindField, kV, kTxn, kSrc, kDst, kAmt, kEdits, kNote, kMemo };

struct TMissing {};  // a record the worker looked for is not in the table

class TLog {
 public:
  explicit TLog(const std::string& path)
      : fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644)) {}
  ~TLog() {
    if (fd_ >= 0) close(fd_);
  }
  TLog(const TLog&) = delete;
  TLog& operator=(const TLog&) = delete;
  bool Ok() const { return fd_ >= 0; }

  // One line, one write: a line is in the file whole or not at all, whenever the process dies.
  __attribute__((format(printf, 2, 3))) void Line(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(text, sizeof text - 1, format, args);
    va_end(args);
    if (n < 0) return;
    // The time on the machine's monotonic clock, comparable between processes, so that the
    // logs of a kept run can be read as one story.
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    n = std::min(n, int(sizeof text) - 40);
    n += snprintf(text + n, 32, " @%lld", (long long)micros.count());
    text[n++] = '\n';
    ssize_t written = write(fd_, text, size_t(n));
    (void)written;
  }

 private:
  int fd_;
};

// An operation as the log names it.
struct TOp {
  int32_t Op;
  const char* Kind;
  int64_t A, B, C;
};

// Where the killed writer dies: the `Pass`-th passage of `Point` from the moment it is set.
struct TDeath {
  std::string Point;
  int Pass = 0;
  int Passes = 0;
  int32_t Op = 0;
};

class TWorkerProcess {
 public:
  TWorkerProcess(TRole role, const TWorker& worker)
      : Role_(role), Worker_(worker), Log_(worker.LogPath), Random_(worker.Seed) {}

  bool LogOk() const { return Log_.Ok(); }

  int Run() {
    if (Role_ == TRole::kOpener) return OpenAgainAndAgain();
    if (Role_ == TRole::kKilledWriter) SetFaultHook([this](const char* at) { OnFaultPoint(at); });
    if (Role_ == TRole::kCrampedWriter) signal(SIGXFSZ, SIG_IGN);
    while (Worker_.Shared->Stop.load() == 0) {
      if (!Cursor_ && !Connect()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      Step();
    }
    Disconnect();
    return 0;
  }

 private:
  // ---- The session ----

  bool Connect() {
    Disconnect();
    Session_ = std::make_unique<TDataSession>(0);
    // Record locks are waited for briefly: a transaction that meets an editor's lock
    // gives up (and rolls back) instead of holding the table for seconds.
    Session_->SetLockRetryCount(40);
    Session_->SetLockWaitTime(5);
    if (!Worker_.PrivateDir.empty()) Session_->SetPrivateDirectory(Worker_.PrivateDir);
    Db_ = Session_->OpenDataDirectory("", Worker_.Directory);
    Cursor_ = std::make_unique<TDataCursor>(Db_);
    Cursor_->SetTableName(kTableName);
    // The killed writer may die while its open replays a journal a predecessor left.
    if (Role_ == TRole::kKilledWriter && Below(4) == 0) Death_ = TDeath{"commit-copy", 1 + Below(3), 0, 0};
    try {
      Cursor_->Open();
      Cursor_->SetIndexNumber(0);
    } catch (const EVELDOREngineError& e) {
      Log_.Line("U open %d", e.ErrorCode);
      Death_.reset();
      Disconnect();
      return false;
    }
    Death_.reset();
    return true;
  }

  void Disconnect() {
    Statement_.reset();
    Cursor_.reset();
    Session_.reset();
    Db_ = nullptr;
  }

  // After an error that is not a refusal the table is opened again, as after any failure
  // in the middle of a write.
  void AfterError(int code) {
    if (!ContentionCode(code)) Disconnect();
  }

  void Rollback() {
    try {
      Db_->RollbackTransaction();
    } catch (const EVELDOREngineError& e) {
      Log_.Line("U rollback %d", e.ErrorCode);
      Disconnect();
    }
  }

  // ---- Choices ----

  int Below(int n) { return int(Random_() % uint64_t(n)); }
  int32_t Account() { return AccountId(1 + Below(kAccounts)); }
  int32_t OtherAccount(int32_t not_) {
    const int32_t a = Account();
    return a == not_ ? AccountId(a / kAccountSpacing % kAccounts + 1) : a;
  }
  int32_t NewId() {
    if (NextId_ == IdEnd_) {
      NextId_ = Worker_.Shared->NextId.fetch_add(64);
      IdEnd_ = NextId_ + 64;
    }
    return NextId_++;
  }
  void Pause(int maxMicros) { std::this_thread::sleep_for(std::chrono::microseconds(Below(maxMicros + 1))); }

  // ---- Records ----

  int32_t Int(const std::vector<uint8_t>& image, uint16_t field) const {
    int32_t v = 0;
    Cursor_->GetField(field, image.data(), &v);
    return v;
  }
  void Put(std::vector<uint8_t>& image, uint16_t field, int32_t v) { Cursor_->PutField(field, image.data(), &v); }

  std::vector<uint8_t> Blank() {
    std::vector<uint8_t> image(Cursor_->RecordSize());
    Cursor_->InitRecord(image.data());
    return image;
  }

  // Positions the cursor (on the primary index) on record `id`; throws TMissing when
  // there is none.
  std::vector<uint8_t> Seek(int32_t id) {
    std::vector<uint8_t> key = Blank();
    Put(key, kId, id);
    std::vector<uint8_t> image(Cursor_->RecordSize());
    if (!Cursor_->Find(false, key.data(), image.data(), 0, false, 1)) throw TMissing{};
    return image;
  }

  // Adds `delta` to the value of record `id` and marks it with operation `op`; returns
  // the value it had.
  int32_t Move(int32_t id, int32_t delta, int32_t op) {
    std::vector<uint8_t> image = Seek(id);
    Cursor_->GetCurrentRecord(image.data(), true);
    const int32_t before = Int(image, kV);
    Put(image, kV, before + delta);
    Put(image, kTxn, op);
    Cursor_->ModifyRecord(image.data());
    return before;
  }

  void AppendRecord(int32_t id, int32_t kind, int32_t value, int32_t op, int32_t src, int32_t dst,
                    int32_t amount, const std::string& memo = "") {
    std::vector<uint8_t> image = Blank();
    Put(image, kId, id);
    Put(image, kKindField, kind);
    Put(image, kV, value);
    Put(image, kTxn, op);
    Put(image, kSrc, src);
    Put(image, kDst, dst);
    Put(image, kAmt, amount);
    if (!memo.empty()) {
      if (Cursor_->OpenBlob(kMemo, image.data(), kBlobOwnerEngine, false, kBlobWrite) != 0 ||
          Cursor_->PutBlob(kMemo, image.data(), false, 0, uint32_t(memo.size()), memo.data()) != 0)
        RaiseTableError(VELDOR_INVALIDBLOBHANDLE, kTableName);
    }
    Cursor_->AppendRecord(image.data(), false);
  }

  void Ledger(int32_t op, int32_t src, int32_t dst, int32_t amount) {
    AppendRecord(op, kLedger, 0, op, src, dst, amount);
  }

  // ---- Transactions ----

  void Failed(const TOp& t, const char* stage, int code) {
    Log_.Line("F %d %s %s %d %lld %lld %lld", t.Op, t.Kind, stage, code, (long long)t.A, (long long)t.B,
              (long long)t.C);
  }

  // Runs `work` in a database transaction and commits it, logging each step; true when
  // the commit came back OK.
  bool Transact(TOp& t, const std::function<void(TOp&)>& work) {
    if (int rc = Db_->StartTransaction(); rc != 0) {
      Failed(t, "start", -rc);
      return false;
    }
    int code = 0;
    try {
      work(t);
    } catch (const EVELDOREngineError& e) {
      code = e.ErrorCode;
    } catch (const TMissing&) {
      code = kMissingRecord;
    }
    if (code != 0) {
      Failed(t, "work", code);
      Rollback();
      if (Cursor_) AfterError(code);
      return false;
    }
    Log_.Line("B %d %s %lld %lld %lld", t.Op, t.Kind, (long long)t.A, (long long)t.B, (long long)t.C);
    BeforeCommit(t.Op);
    try {
      Db_->CommitTransaction(true, false);
    } catch (const EVELDOREngineError& e) {
      AfterCommit();
      Log_.Line("E %d fail %d", t.Op, e.ErrorCode);
      Rollback();
      if (Cursor_) AfterError(e.ErrorCode);
      return false;
    }
    AfterCommit();
    Log_.Line("E %d ok", t.Op);
    return true;
  }

  void BeforeCommit(int32_t op) {
    if (Role_ == TRole::kKilledWriter && Below(3) == 0) {
      static const char* const kPoints[] = {"commit-before-mark", "commit-after-mark", "commit-copy",
                                            "commit-before-remove"};
      const char* point = kPoints[Below(4)];
      Death_ = TDeath{point, std::string(point) == "commit-copy" ? 1 + Below(3) : 1, 0, op};
    }
    if (Role_ == TRole::kCrampedWriter) {
      // Room for the commit's writes beyond the largest file: none, a few records, a few
      // pages, plenty. Files smaller than the largest may still grow up to its size.
      static const rlim_t kRoom[] = {0, 200, 4096, 1 << 20};
      rlim_t largest = 0;
      std::error_code ignored;
      for (const auto& entry : std::filesystem::directory_iterator(Worker_.Directory, ignored))
        if (entry.is_regular_file(ignored)) largest = std::max<rlim_t>(largest, entry.file_size(ignored));
      rlimit cap{largest + kRoom[Below(4)], RLIM_INFINITY};
      setrlimit(RLIMIT_FSIZE, &cap);
    }
  }

  void AfterCommit() {
    Death_.reset();
    if (Role_ == TRole::kCrampedWriter) {
      rlimit cap{RLIM_INFINITY, RLIM_INFINITY};
      setrlimit(RLIMIT_FSIZE, &cap);
    }
  }

  void OnFaultPoint(const char* at) {
    if (!Death_ || Death_->Point != at || ++Death_->Passes != Death_->Pass) return;
    Log_.Line("K %d %s %d", Death_->Op, at, Death_->Pass);
    kill(getpid(), SIGKILL);
  }

  void Transfer() {
    const int32_t src = Account(), dst = OtherAccount(src);
    TOp t{NewId(), "transfer", src, dst, 1 + Below(100)};
    Transact(t, [&](TOp& op) {
      Move(src, -int32_t(op.C), op.Op);
      Move(dst, int32_t(op.C), op.Op);
      Ledger(op.Op, src, dst, int32_t(op.C));
    });
  }

  // Moves an amount from an account into a new record of its own (a pocket).
  void Spawn() {
    const int32_t src = Account(), pocket = NewId();
    TOp t{NewId(), "spawn", src, pocket, 1 + Below(100)};
    const bool ok = Transact(t, [&](TOp& op) {
      Move(src, -int32_t(op.C), op.Op);
      AppendRecord(pocket, kPocket, int32_t(op.C), op.Op, 0, 0, 0);
      Ledger(op.Op, src, pocket, int32_t(op.C));
    });
    if (ok) Pockets_.push_back(pocket);
  }

  // Deletes one of this process's pockets and gives its value to an account.
  void Merge() {
    if (Pockets_.empty()) return Spawn();
    const size_t which = size_t(Below(int(Pockets_.size())));
    const int32_t pocket = Pockets_[which], dst = Account();
    TOp t{NewId(), "merge", pocket, dst, -1};
    const bool ok = Transact(t, [&](TOp& op) {
      std::vector<uint8_t> image = Seek(pocket);
      Cursor_->GetCurrentRecord(image.data(), true);
      op.C = Int(image, kV);
      Cursor_->DeleteRecord(image.data(), false);
      Move(dst, int32_t(op.C), op.Op);
      Ledger(op.Op, pocket, dst, int32_t(op.C));
    });
    // Once read, a pocket is not tried again: after a failed commit whether it still exists
    // is the audit's question, and after a refusal it simply keeps its value.
    if (ok || t.C >= 0) Pockets_.erase(Pockets_.begin() + int64_t(which));
  }

  // ---- Outside transactions ----

  // Runs one writing call with its B and E lines.
  void Call(const TOp& t, const std::function<void()>& call, const std::function<void()>& onFailure = {}) {
    Log_.Line("B %d %s %lld %lld %lld", t.Op, t.Kind, (long long)t.A, (long long)t.B, (long long)t.C);
    try {
      call();
    } catch (const EVELDOREngineError& e) {
      Log_.Line("E %d fail %d", t.Op, e.ErrorCode);
      if (onFailure) onFailure();
      AfterError(e.ErrorCode);
      return;
    }
    Log_.Line("E %d ok", t.Op);
  }

  void AppendSpare() {
    const int32_t id = NewId();
    bool ok = false;
    Call(TOp{id, "append", id, 0, 0}, [&] {
      AppendRecord(id, kSpare, 0, 0, 0, 0, 0, SpareMemo(id));
      ok = true;
    });
    if (ok) Spares_.push_back(id);
  }

  void DeleteSpare() {
    if (Spares_.empty()) return AppendSpare();
    const size_t which = size_t(Below(int(Spares_.size())));
    const int32_t id = Spares_[which];
    Spares_.erase(Spares_.begin() + int64_t(which));
    TOp t{NewId(), "delete", id, 0, 0};
    std::vector<uint8_t> image;
    try {
      image = Seek(id);
    } catch (const TMissing&) {
      return Failed(t, "work", kMissingRecord);
    }
    Call(t, [&] { Cursor_->DeleteRecord(image.data(), false); });
  }

  void Edit() {
    const int32_t account = Account();
    TOp t{NewId(), "edit", account, 0, 0};
    std::vector<uint8_t> image;
    try {
      image = Seek(account);
      Cursor_->GetCurrentRecord(image.data(), true);
    } catch (const TMissing&) {
      return Failed(t, "work", kMissingRecord);
    } catch (const EVELDOREngineError& e) {
      Failed(t, "work", e.ErrorCode);
      return AfterError(e.ErrorCode);
    }
    Put(image, kEdits, Int(image, kEdits) + 1);
    const std::string note = "e" + std::to_string(t.Op);
    Cursor_->PutField(kNote, image.data(), note.c_str());
    Call(t, [&] { Cursor_->ModifyRecord(image.data()); },
         [&] {
           try {
             Cursor_->UnlockRecord(0);
           } catch (const EVELDOREngineError&) {
           }
         });
  }

  // ---- Readers ----

  // One walk over the whole table, under the table's read lock or inside a transaction
  // (the two ways a cursor reads a table that no other process changes meanwhile).
  void CursorRead() {
    const int n = Reads_++;
    const bool transaction = n % 2 == 1;
    static const char* const kOrders[] = {"primary", "ByV", "natural"};
    const int order = (n / 2) % 3;
    const std::string mode = std::string(transaction ? "transaction/" : "readlock/") + kOrders[order];
    TDataTable& table = *Cursor_->Table();
    int code = 0;
    try {
      if (order == 0) Cursor_->SetIndexNumber(0);
      if (order == 1) Cursor_->SetIndexName("ByV");
      if (order == 2) Cursor_->SetIndexNumber(kNaturalOrder);
      if (transaction) {
        if (int rc = Db_->StartTransaction(); rc != 0) {
          Log_.Line("X cursor %s %d", mode.c_str(), -rc);
          return;
        }
      } else {
        table.ReadLock();
        if (!table.ReadLocked()) code = kNotReadLocked;
      }
    } catch (const EVELDOREngineError& e) {
      code = e.ErrorCode;
    }
    if (code != 0) {
      Log_.Line("X cursor %s %d", mode.c_str(), code);
      return AfterError(code);
    }
    int64_t sum = 0, count = 0, accounts = 0;
    std::map<int32_t, int64_t> values;  // every record but the ledger's, by Id
    std::map<int32_t, int64_t> moved;   // what the ledger entries seen moved, by Id
    try {
      std::vector<uint8_t> image(Cursor_->RecordSize());
      Cursor_->SetToBegin();
      while (Cursor_->GetNextRecord(image.data()) == 0) {
        ++count;
        const int32_t id = Int(image, kId), v = Int(image, kV);
        sum += v;
        if (Int(image, kKindField) == kLedger) {
          moved[Int(image, kSrc)] -= Int(image, kAmt);
          moved[Int(image, kDst)] += Int(image, kAmt);
        } else {
          values[id] = v;
          if (Int(image, kKindField) == kAccount) ++accounts;
        }
      }
    } catch (const EVELDOREngineError& e) {
      code = e.ErrorCode;
    }
    if (transaction)
      Rollback();
    else
      try {
        table.ReadUnlock();
      } catch (const EVELDOREngineError& e) {
        if (code == 0) code = e.ErrorCode;
      }
    if (code != 0) {
      Log_.Line("X cursor %s %d", mode.c_str(), code);
      return AfterError(code);
    }
    // The ledger seen must explain every value seen.
    int64_t mismatches = 0;
    int32_t first = 0;
    auto expect = [&](int32_t id, int64_t actual) {
      const int64_t opening = IsAccountId(id) ? kOpeningBalance : 0;
      const auto m = moved.find(id);
      if (opening + (m == moved.end() ? 0 : m->second) == actual) return;
      if (mismatches++ == 0) first = id;
    };
    for (const auto& [id, v] : values) expect(id, v);
    for (const auto& [id, delta] : moved)
      if (values.count(id) == 0) expect(id, 0);
    Log_.Line("R cursor %s %lld %lld %lld %lld %d", mode.c_str(), (long long)sum, (long long)count,
              (long long)accounts, (long long)mismatches, first);
  }

  static int64_t Number(TDataCursor& c, uint16_t field, const uint8_t* record) {
    uint8_t slot[16] = {};
    if (c.GetField(field, record, slot)) return 0;  // NULL
    switch (c.Field(field).FieldType()) {
      case FIELD_SMALLINT: {
        int16_t v;
        std::memcpy(&v, slot, sizeof v);
        return v;
      }
      case FIELD_INTEGER: {
        int32_t v;
        std::memcpy(&v, slot, sizeof v);
        return v;
      }
      case FIELD_LARGEINT: {
        int64_t v;
        std::memcpy(&v, slot, sizeof v);
        return v;
      }
      case FIELD_FLOAT: {
        double v;
        std::memcpy(&v, slot, sizeof v);
        return int64_t(v);
      }
      default:
        return INT64_MIN;
    }
  }

  // SELECT COUNT(*), SUM(V) through a query statement: in turn in a session opened for it
  // (nothing of the table cached), prepared again in the same session, and run again.
  void SqlRead() {
    static const char* const kModes[] = {"fresh", "prepared", "again"};
    const char* mode = kModes[Reads_++ % 3];
    try {
      if (mode == kModes[0]) {
        if (!Connect()) return;
      }
      if (mode != kModes[2] || !Statement_) {
        Statement_.reset();
        Statement_ = std::make_unique<TQueryStatement>(Db_);
        Statement_->Prepare("SELECT COUNT(*), SUM(V) FROM accounts");
      }
      TDataCursor* result = Statement_->Execute(0);
      if (result == nullptr) RaiseTableError(VELDOR_NOCURRREC, kTableName);
      std::vector<uint8_t> row(result->RecordSize());
      result->SetToBegin();
      if (result->GetNextRecord(row.data()) != 0) RaiseTableError(VELDOR_NOCURRREC, kTableName);
      Log_.Line("R sql %s %lld %lld -1 0 0", mode, (long long)Number(*result, 2, row.data()),
                (long long)Number(*result, 1, row.data()));
    } catch (const EVELDOREngineError& e) {
      Log_.Line("X sql %s %d", mode, e.ErrorCode);
      Statement_.reset();
      AfterError(e.ErrorCode);
    }
  }

  // A program that starts, opens the table and ends, as often as it can: every open looks
  // for a journal beside the table while the writers' commits make and remove theirs.
  int OpenAgainAndAgain() {
    int64_t opens = 0;
    while (Worker_.Shared->Stop.load() == 0) {
      TDataSession session(0);
      TDataDirectory* db = session.OpenDataDirectory("", Worker_.Directory);
      TDataCursor c(db);
      c.SetTableName(kTableName);
      try {
        c.Open();
        c.GetRecordCount();
        ++opens;
      } catch (const EVELDOREngineError& e) {
        Log_.Line("X opener open %d", e.ErrorCode);
        // A table that does not open fails at once: a pause keeps the log from flooding.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
    Log_.Line("O %lld", (long long)opens);
    return 0;
  }

  // ---- The worker's loop ----

  void Step() {
    const int r = Below(10);
    switch (Role_) {
      case TRole::kTransfers:
        Transfer();
        break;
      case TRole::kKilledWriter:
      case TRole::kCrampedWriter:
        if (r < 6)
          Transfer();
        else if (r < 8)
          Spawn();
        else
          Merge();
        break;
      case TRole::kAppender:
        if (Spares_.size() > 30 || (r >= 4 && r < 7))
          DeleteSpare();
        else if (r < 4)
          AppendSpare();
        else if (r < 9)
          Spawn();
        else
          Merge();
        break;
      case TRole::kEditor:
        Edit();
        break;
      case TRole::kCursorReader:
        CursorRead();
        break;
      case TRole::kSqlReader:
        SqlRead();
        break;
      case TRole::kOpener:
        break;
    }
    // A short pause lets the other processes' lock attempts in.
    Pause(Role_ == TRole::kCursorReader || Role_ == TRole::kSqlReader ? 5000 : 1500);
  }

  TRole Role_;
  TWorker Worker_;
  TLog Log_;
  std::mt19937_64 Random_;
  // Destroyed in reverse order: the statement and the cursor before their session.
  std::unique_ptr<TDataSession> Session_;
  TDataDirectory* Db_ = nullptr;
  std::unique_ptr<TDataCursor> Cursor_;
  std::unique_ptr<TQueryStatement> Statement_;
  int32_t NextId_ = 0, IdEnd_ = 0;
  std::vector<int32_t> Pockets_;  // pockets this process made and has not merged
  std::vector<int32_t> Spares_;   // spares this process appended and has not deleted
  std::optional<TDeath> Death_;
  int Reads_ = 0;
};

}  // namespace

bool ContentionCode(int code) {
  return code == VELDOR_LOCKTIMEOUT || code == VELDOR_RECLOCKFAILED || code == VELDOR_KEYORRECDELETED;
}

TStressShared* MapShared() {
  void* memory = mmap(nullptr, sizeof(TStressShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return nullptr;
  return new (memory) TStressShared();
}

const char* RoleName(TRole role) {
  switch (role) {
    case TRole::kTransfers: return "transfers";
    case TRole::kKilledWriter: return "killed-writer";
    case TRole::kCrampedWriter: return "cramped-writer";
    case TRole::kAppender: return "appender";
    case TRole::kEditor: return "editor";
    case TRole::kCursorReader: return "cursor-reader";
    case TRole::kSqlReader: return "sql-reader";
    case TRole::kOpener: return "opener";
  }
  return "?";
}

int RunWorker(TRole role, const TWorker& worker) {
  TWorkerProcess process(role, worker);
  if (!process.LogOk()) return 3;
  return process.Run();
}

std::string SpareMemo(int32_t id) {
  std::string out;
  const size_t length = 40 + size_t(id % 7) * 300;  // one BLOB block to several
  while (out.size() < length) out += "spare " + std::to_string(id) + " ";
  out.resize(length);
  return out;
}

void MakeAccountsTable(const std::string& directory) {
  using test::MakeField;
  TTableDefinition d;
  d.Fields = {MakeField(kId, "Id", FIELD_INTEGER),      MakeField(kKindField, "Kind", FIELD_INTEGER),
              MakeField(kV, "V", FIELD_INTEGER),        MakeField(kTxn, "Txn", FIELD_INTEGER),
              MakeField(kSrc, "Src", FIELD_INTEGER),    MakeField(kDst, "Dst", FIELD_INTEGER),
              MakeField(kAmt, "Amt", FIELD_INTEGER),    MakeField(kEdits, "Edits", FIELD_INTEGER),
              MakeField(kNote, "Note", FIELD_STRING, 20), MakeField(kMemo, "Memo", FIELD_BLOB, 0, SUBTYPE_MEMO)};
  PrepareFieldDefinitions(d.Fields, kTableName);
  auto index = [](const char* name, uint16_t field) {
    TIndexDescriptor x;
    x.SetName(name);
    x.SetFieldNumber(0, field);
    x.SetFieldCount(1);
    return x;
  };
  // Transfers move keys of ByV, edits keys of ByNote.
  d.Indexes = {test::PrimaryKeyOn(kId), index("ByV", kV), index("ByNote", kNote)};
  TDataSession session(0);
  TDataDirectory* db = session.OpenDataDirectory("", directory);
  TDataTable* table = nullptr;
  if (db->CreateTable(kTableName, false, d, false, table) != 0 || db->CloseTable(table) != 0)
    RaiseTableError(VELDOR_OSEACCES, kTableName);
  TDataCursor c(db);
  c.SetTableName(kTableName);
  c.Open();
  std::vector<uint8_t> image(c.RecordSize());
  auto append = [&](int32_t id, int32_t kind, int32_t value) {
    const int32_t zero = 0;
    c.InitRecord(image.data());
    c.PutField(kId, image.data(), &id);
    c.PutField(kKindField, image.data(), &kind);
    c.PutField(kV, image.data(), &value);
    for (uint16_t f : {kTxn, kSrc, kDst, kAmt, kEdits}) c.PutField(f, image.data(), &zero);
    c.PutField(kNote, image.data(), "");
    c.AppendRecord(image.data(), false);
  };
  for (int32_t k = 1; k <= kAccounts; ++k) {
    append(AccountId(k), kAccount, kOpeningBalance);
    for (int32_t b = 1; b <= kBallastPerAccount; ++b) append(AccountId(k) + b, kBallast, 0);
  }
}

}  // namespace veldor::stress
