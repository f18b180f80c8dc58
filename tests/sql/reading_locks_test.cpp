// What a statement reads while other processes commit: every SELECT shape sees one state
// that a commit left (sums and counts that transfers keep invariant stay so), the locks
// that make it so are given back on every way out of a statement, and they never hold up a
// writer of the statement's own process.
//
// The writers run in forked processes with sessions of their own, as separate programs
// would; the reader runs the statements in the test process.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/session.h"
#include "engine/table_check.h"
#include "lib/byte_order.h"
#include "lib/temp_dir.h"
#include "sql/query_statement.h"
#include "tests/support/child_process.h"

namespace veldor::test {
namespace {

constexpr int32_t kAccounts = 400;
constexpr int32_t kBalance = 100;
constexpr int64_t kTotal = int64_t(kAccounts) * kBalance;

// A flag the test process and its children share (an anonymous shared mapping made before
// the fork).
class TSharedFlag {
 public:
  TSharedFlag() {
    void* p = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) std::abort();
    flag_ = new (p) std::atomic<int>(0);
  }
  ~TSharedFlag() { munmap(flag_, sizeof(std::atomic<int>)); }
  TSharedFlag(const TSharedFlag&) = delete;
  TSharedFlag& operator=(const TSharedFlag&) = delete;
  void Set() { flag_->store(1); }
  bool IsSet() const { return flag_->load() != 0; }

 private:
  std::atomic<int>* flag_;
};

// A session and database of one process on the test's directory.
class TSide {
 public:
  explicit TSide(const std::string& dir) : Session_(std::make_unique<TDataSession>(0)) {
    Session_->SetPrivateDirectory(dir + "private/");
    Database_ = Session_->OpenDataDirectory("", dir);
  }
  TDataDirectory& Database() { return *Database_; }
  // The session's database of another directory (the one its statements open for a path).
  TDataDirectory& DatabaseOf(const std::string& dir) { return *Session_->OpenDataDirectory("", dir); }

  // Runs `sql`; the statement's row count.
  int32_t Run(const std::string& sql) {
    TQueryStatement statement(Database_);
    statement.Prepare(sql);
    statement.Execute(0);
    return statement.RowCount;
  }

  // The integers of the result's first row.
  std::vector<int64_t> Row(const std::string& sql) {
    TQueryStatement statement(Database_);
    statement.Prepare(sql);
    TDataCursor* result = statement.Execute(0);
    std::vector<int64_t> out;
    if (result == nullptr) return out;
    std::vector<uint8_t> record(result->RecordSize());
    result->SetToBegin();
    if (result->GetNextRecord(record.data()) != 0) return out;
    uint8_t value[16] = {};
    for (uint16_t n = 1; n <= result->FieldCount(); ++n) {
      if (result->GetField(n, record.data(), value)) {
        out.push_back(INT64_MIN);
        continue;
      }
      const uint8_t type = result->Field(n).FieldType();
      out.push_back(type == FIELD_LARGEINT ? int64_t(LoadU64(value)) : int64_t(LoadI32(value)));
    }
    return out;
  }

 private:
  std::unique_ptr<TDataSession> Session_;
  TDataDirectory* Database_;
};

class ReadingLocksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDirectory("veldor-sql") + "/";
    std::filesystem::create_directory(dir_ + "private");
    std::filesystem::create_directory(dir_ + "other");
    side_ = std::make_unique<TSide>(dir_);
  }
  void TearDown() override {
    side_.reset();
    std::filesystem::remove_all(dir_);
  }

  // acct: kAccounts accounts of kBalance each (Id 1..kAccounts). The records are long, so
  // that the table outgrows the record cache and every walk over it reads from the file.
  void MakeAccounts() {
    side_->Run("CREATE TABLE acct (Id INTEGER, V INTEGER, Pad CHAR(250), Pad2 CHAR(250), Pad3 CHAR(250), "
               "PRIMARY KEY (Id))");
    for (int32_t id = 1; id <= kAccounts; ++id)
      side_->Run("INSERT INTO acct (Id, V, Pad) VALUES (" + std::to_string(id) + ", " + std::to_string(kBalance) +
                 ", 'x')");
  }

  // Whether the table object of `table` holds a query read lock now.
  bool QueryReadLocked(const std::string& table) { return Open(side_->Database(), table)->Table()->QueryReadLocked(); }

  static std::unique_ptr<TDataCursor> Open(TDataDirectory& database, const std::string& table) {
    auto cursor = std::make_unique<TDataCursor>(&database);
    cursor->SetTableName(table);
    cursor->Open();
    return cursor;
  }

  std::string dir_;
  std::unique_ptr<TSide> side_;
};

// The writer's work: transactions that move amounts between two accounts, and now and then
// replace an account by a new one with the same balance; the count and the sum of acct stay
// as they were after every commit. It commits until `stop` is set (at most `limit` times),
// setting `started` after the first commit. Exit status 0 when every transaction committed.
int Transfer(const std::string& dir, TSharedFlag& started, const TSharedFlag& stop, int limit) {
  TSide side(dir);
  std::mt19937 random(12345);
  std::vector<int32_t> ids;
  for (int32_t id = 1; id <= kAccounts; ++id) ids.push_back(id);
  int32_t next = kAccounts + 1;
  for (int n = 0; n < limit && !stop.IsSet(); ++n) {
    TDataDirectory& db = side.Database();
    if (db.StartTransaction() != 0) return 10;
    // Accounts far apart in the table, so that a reader between the two writes would see one
    // without the other.
    const size_t a = random() % (ids.size() / 2), b = ids.size() / 2 + random() % (ids.size() / 2);
    const int32_t amount = int32_t(random() % 50) + 1;
    side.Run("UPDATE acct SET V = V - " + std::to_string(amount) + " WHERE Id = " + std::to_string(ids[a]));
    if (n % 4 == 3) {
      // The account moves: gone under its old Id, back under a new one with its balance.
      const int32_t balance = int32_t(side.Row("SELECT V FROM acct WHERE Id = " + std::to_string(ids[b])).at(0));
      side.Run("DELETE FROM acct WHERE Id = " + std::to_string(ids[b]));
      side.Run("INSERT INTO acct (Id, V, Pad) VALUES (" + std::to_string(next) + ", " +
               std::to_string(balance + amount) + ", 'y')");
      ids[b] = next++;
    } else {
      side.Run("UPDATE acct SET V = V + " + std::to_string(amount) + " WHERE Id = " + std::to_string(ids[b]));
    }
    db.CommitTransaction(true, false);
    started.Set();
  }
  return 0;
}

// Every SELECT shape run while another process transfers reads a state some commit left:
// an aggregate over the table, COUNT(*) answered from the counts, a join, a sub-select that
// must see the state its outer query sees, and the SELECT of an INSERT ... SELECT.
TEST_F(ReadingLocksTest, StatementsReadOnlyStatesThatCommitsLeft) {
  MakeAccounts();
  // The copies go to another database: the INSERT's transaction then locks none of the
  // tables the writer writes.
  const std::string snap = "'" + dir_ + "other/snap'";
  side_->Run("CREATE TABLE " + snap + " (Id INTEGER, V INTEGER)");
  // Kept open by the reader, so that its statements find the table object open (an
  // opening looks for a journal beside the table, and may find the writer's).
  TDataCursor keep(&side_->Database());
  keep.SetTableName("acct");
  keep.Open();
  TSharedFlag started, stop;
  TChildProcess writer([&](TChannel&) { return Transfer(dir_, started, stop, 100000); });
  for (int i = 0; i < 2000 && !started.IsSet(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(started.IsSet()) << "the writer never committed";

  struct TShape {
    const char* Sql;
    std::vector<int64_t> Expected;
  };
  const std::vector<TShape> shapes = {
      {"SELECT COUNT(*), SUM(V) FROM acct", {kAccounts, kTotal}},
      {"SELECT COUNT(*) FROM acct", {kAccounts}},
      {"SELECT SUM(a.V), COUNT(*) FROM acct a, acct b WHERE a.Id = b.Id", {kTotal, kAccounts}},
      // A balance of the outer query's state that its sub-select's state does not hold is left
      // out of the sum.
      {"SELECT SUM(V) FROM acct WHERE V IN (SELECT V FROM acct)", {kTotal}},
  };
  int bad = 0;
  // A few seconds of rounds (at least five), however fast the machine.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (int round = 0; round < 5 || std::chrono::steady_clock::now() < end; ++round) {
    // A pause after each statement lets the writer in: readers that follow each other
    // without a gap would keep its commit waiting.
    auto pause = [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); };
    for (const TShape& shape : shapes) {
      const std::vector<int64_t> row = side_->Row(shape.Sql);
      if (row != shape.Expected && ++bad <= 5) ADD_FAILURE() << shape.Sql << " read a state no commit left";
      pause();
    }
    side_->Run("DELETE FROM " + snap);
    side_->Run("INSERT INTO " + snap + " SELECT Id, V FROM acct");
    const std::vector<int64_t> copied = side_->Row("SELECT COUNT(*), SUM(V) FROM " + snap);
    if (copied != std::vector<int64_t>{kAccounts, kTotal} && ++bad <= 5)
      ADD_FAILURE() << "INSERT ... SELECT copied a state no commit left";
    pause();
  }
  EXPECT_EQ(bad, 0);
  stop.Set();
  EXPECT_EQ(writer.Join(), 0);
  EXPECT_EQ(side_->Row("SELECT COUNT(*), SUM(V) FROM acct"), (std::vector<int64_t>{kAccounts, kTotal}));
}

// The locks cover the whole of a statement's reading: a sub-select and its outer query
// read under the same locks (taken before the sub-select runs, so that no commit comes
// between them), and a change's selection reads the tables of other databases under their
// query read locks while its transaction's table lock holds the target.
TEST_F(ReadingLocksTest, LocksCoverTheWholeOfAStatementsReading) {
  MakeAccounts();
  side_->Run("CREATE TABLE pick (Id INTEGER)");
  side_->Run("INSERT INTO pick (Id) VALUES (3)");
  TSide other(dir_ + "other/");
  other.Run("CREATE TABLE ref (Id INTEGER, PRIMARY KEY (Id))");
  other.Run("INSERT INTO ref (Id) VALUES (3)");
  auto acct = Open(side_->Database(), "acct");
  auto pick = Open(side_->Database(), "pick");
  auto ref = Open(side_->DatabaseOf(dir_ + "other/"), "ref");
  struct TCase {
    std::string Sql;
    std::vector<TDataTable*> ReadLocked;   // query read locks while rows are read
    std::vector<TDataTable*> TableLocked;  // table locks meanwhile
  };
  const std::vector<TCase> cases = {
      {"SELECT SUM(V) FROM acct WHERE Id IN (SELECT Id FROM pick)", {acct->Table(), pick->Table()}, {}},
      {"SELECT COUNT(*) FROM acct a, acct b WHERE a.Id = b.Id WITH LOCKS", {}, {acct->Table()}},
      {"UPDATE acct SET V = V FROM acct, '" + dir_ + "other/ref' r WHERE acct.Id = r.Id", {ref->Table()},
       {acct->Table()}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    int calls = 0, unlocked = 0;
    TQueryStatement statement(&side_->Database());
    statement.ProgressCallback = [&](TQueryStatement&, int, uint8_t*) {
      ++calls;
      for (TDataTable* table : c.ReadLocked) unlocked += table->QueryReadLocked() ? 0 : 1;
      for (TDataTable* table : c.TableLocked) unlocked += table->TableLocked() ? 0 : 1;
    };
    statement.Prepare(c.Sql);
    statement.Execute(0);
    EXPECT_GT(calls, 0);
    EXPECT_EQ(unlocked, 0);
    for (TDataTable* table : {acct->Table(), pick->Table(), ref->Table()}) {
      EXPECT_FALSE(table->QueryReadLocked());
      EXPECT_FALSE(table->TableLocked());
    }
  }
}

// Whichever way a statement ends, it leaves no query read lock behind: after its rows, at
// MaxRows, aborted or failed from its progress callback, as a live result, and a
// data-changing statement whose selection reads a table of another database.
TEST_F(ReadingLocksTest, EveryWayOutGivesTheLocksBack) {
  MakeAccounts();
  TSide other(dir_ + "other/");
  other.Run("CREATE TABLE ref (Id INTEGER, PRIMARY KEY (Id))");
  other.Run("INSERT INTO ref (Id) VALUES (3)");
  struct TCase {
    const char* Name;
    std::string Sql;
    int32_t MaxRows;
    bool Live;
    int Callback;  // 0 none, 1 asks to stop, 2 throws
    bool Fails;
  };
  const std::vector<TCase> cases = {
      {"all rows", "SELECT Id, V FROM acct WHERE V > 0", -1, false, 0, false},
      {"MaxRows", "SELECT Id, V FROM acct", 3, false, 0, false},
      {"aborted", "SELECT SUM(V) FROM acct a, acct b WHERE a.Id < b.Id", -1, false, 1, false},
      {"callback fails", "SELECT Id FROM acct a WHERE Id IN (SELECT Id FROM acct WHERE V > 0)", -1, false, 2, true},
      {"live", "SELECT Id, V FROM acct WHERE Id < 10", -1, true, 0, false},
      {"update joined with another database",
       "UPDATE acct SET V = V + 0 FROM acct, '" + dir_ + "other/ref' r WHERE acct.Id = r.Id", -1, false, 0, false},
      {"delete with a sub-select on another database",
       "DELETE FROM acct WHERE Id IN (SELECT Id FROM '" + dir_ + "other/ref') AND Id < 0", -1, false, 0, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TQueryStatement statement(&side_->Database());
    statement.RequestLive = c.Live ? 1 : 0;
    statement.MaxRows = c.MaxRows;
    if (c.Callback != 0) {
      statement.ProgressCallback = [&](TQueryStatement&, int, uint8_t* abort) {
        if (c.Callback == 2) throw std::runtime_error("the caller gave up");
        *abort = 1;
      };
    }
    statement.Prepare(c.Sql);
    bool failed = false;
    try {
      statement.Execute(0);
    } catch (const std::exception&) {
      failed = true;
    }
    EXPECT_EQ(failed, c.Fails);
    EXPECT_FALSE(QueryReadLocked("acct"));
    // Another process writes the tables at once (a slot left behind would keep it waiting
    // until its lock attempts ran out).
    TChildProcess writer([&](TChannel&) {
      TSide side(dir_);
      TSide elsewhere(dir_ + "other/");
      return side.Run("UPDATE acct SET V = V WHERE Id = 1") == 1 &&
                     elsewhere.Run("UPDATE ref SET Id = Id WHERE Id = 3") == 1
                 ? 0
                 : 1;
    });
    EXPECT_EQ(writer.Join(), 0);
  }
}

// A statement that holds its reading locks never waits for a write of its own process:
// INSERT ... SELECT and UPDATE with a sub-select on their own table, both on their own and
// inside a transaction of the caller, and a write made from the progress callback of a
// SELECT that is reading the same table.
TEST_F(ReadingLocksTest, ItsOwnProcessWritesWhileAStatementReads) {
  MakeAccounts();
  side_->Run("CREATE TABLE log (Id INTEGER, V INTEGER)");
  EXPECT_EQ(side_->Run("INSERT INTO acct SELECT Id + 1000, V, Pad, Pad2, Pad3 FROM acct WHERE Id <= 10"), 10);
  EXPECT_EQ(side_->Run("UPDATE acct SET V = V + 1 WHERE Id IN (SELECT Id FROM acct WHERE Id > 1000)"), 10);
  ASSERT_EQ(side_->Database().StartTransaction(), 0);
  EXPECT_EQ(side_->Run("INSERT INTO acct SELECT Id + 1000, V, Pad, Pad2, Pad3 FROM acct WHERE Id > 1000"), 10);
  EXPECT_EQ(side_->Run("DELETE FROM acct WHERE Id IN (SELECT Id FROM acct WHERE Id > 2000)"), 10);
  side_->Database().CommitTransaction(true, false);
  EXPECT_EQ(side_->Row("SELECT COUNT(*), SUM(V) FROM acct"),
            (std::vector<int64_t>{kAccounts + 10, kTotal + 10 * (kBalance + 1)}));

  // The callback appends to the table the SELECT is summing, through another cursor.
  TDataCursor writer(&side_->Database());
  writer.SetTableName("acct");
  writer.Open();
  std::vector<uint8_t> record(writer.RecordSize());
  int32_t appended = 0;
  TQueryStatement statement(&side_->Database());
  statement.ProgressCallback = [&](TQueryStatement&, int, uint8_t*) {
    writer.InitRecord(record.data());
    const int32_t id = 5000 + appended, v = 1;
    writer.PutField(1, record.data(), &id);
    writer.PutField(2, record.data(), &v);
    writer.AppendRecord(record.data(), false);
    ++appended;
  };
  statement.Prepare("SELECT SUM(V) FROM acct WHERE V > 0");
  ASSERT_NE(statement.Execute(0), nullptr);
  EXPECT_GT(appended, 0);
  EXPECT_FALSE(writer.Table()->QueryReadLocked());
  EXPECT_EQ(side_->Row("SELECT COUNT(*) FROM acct WHERE Id >= 5000"), (std::vector<int64_t>{appended}));
  EXPECT_EQ(CheckTable(*writer.Table()), std::vector<std::string>{});
}

}  // namespace
}  // namespace veldor::test
