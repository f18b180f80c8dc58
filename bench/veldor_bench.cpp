// veldor-bench: the same work on the VELDOR engine and on SQLite, side by side.
//
// Each workload of each engine runs in a program of its own (this one started again), so
// that its time and peak memory (VmHWM) are its own and nothing is inherited from the
// parent; the table files stay in the directory between workloads, which run in order (the
// loads first). The run reports its elapsed time through a pipe. SQLite runs twice: with its default settings and with a 64 MB page cache.
// Nothing here asserts a speed: the program prints what it measured.

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/session.h"
#include "lib/byte_order.h"
#include "lib/file_mapping.h"
#include "lib/temp_dir.h"

namespace veldor::bench {
namespace {

struct TOptions {
  int64_t Records = 1000000;
  std::string Directory;
  std::string Only;
  bool VeldorOnly = false;  // for profiling: SQLite is not run
  bool NoMapping = false;   // the engine reads through system calls only
};

TOptions g_options;

// What a workload found (rows, matches, bytes): both engines must find the same.
int64_t g_answer = 0;

[[noreturn]] void Mismatch(const char* what, long long got, long long expected) {
  throw std::runtime_error(std::string(what) + ": " + std::to_string(got) + " instead of " + std::to_string(expected));
}

// ---- The data both engines hold ------------------------------------------------------------------

// Record i (1-based) of the table, the same on both engines.
struct TRow {
  int32_t Id;
  std::string Name;
  int32_t Born;
  int32_t Count;
  double Score;
};

std::string NameOf(int64_t i) {
  static const char* kSyllables[] = {"ka", "lo", "mi", "ne", "ru", "sa", "to", "vi", "we", "zu"};
  std::string name;
  uint64_t x = uint64_t(i) * 2654435761u;
  for (int k = 0; k < 6; ++k) {
    name += kSyllables[x % 10];
    x /= 10;
  }
  name += std::to_string(i % 100000000);
  name.resize(20, 'x');
  return name;
}

TRow RowOf(int64_t i) {
  return {int32_t(i), NameOf(i), int32_t(700000 + i % 30000), int32_t(i % 1000), double(i % 10007) / 7.0};
}

// The keys in a random order, the same for every run.
std::vector<int32_t> ShuffledKeys(int64_t n, uint32_t seed) {
  std::vector<int32_t> keys(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) keys[size_t(i)] = int32_t(i + 1);
  std::mt19937 random(seed);
  std::shuffle(keys.begin(), keys.end(), random);
  return keys;
}

// The page walk: pages of a grid's size at random row numbers of the name index.
constexpr int kPageRows = 40;
constexpr int kPageWalkPages = 2500;

// The autocommit loads: fewer records when every one is synced to the disk.
int64_t SmallLoadCount(const std::string& workload) { return workload == "load-synced" ? 1000 : 10000; }

// Resident anonymous memory (heap, stacks, private mappings) of a process in kilobytes, from
// its status file; 0 when it cannot be read. File pages a process maps (the engine's mapped
// reads) are not in it: they are the system's page cache, shared and reclaimable.
// A field of a /proc status file in kilobytes ("RssAnon:", "VmHWM:"), 0 when unreadable.
long StatusKilobytes(const std::string& status, const char* field) {
  int fd = open(status.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char text[4096];
  ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n <= 0) return 0;
  text[n] = 0;
  const char* at = std::strstr(text, field);
  return at ? std::atol(at + std::strlen(field)) : 0;
}

long AnonKilobytes(const std::string& status) { return StatusKilobytes(status, "RssAnon:"); }

// The child's anonymous memory when its timed work ended (before it frees anything).
long g_anonAtEnd = 0;

double Seconds(std::chrono::steady_clock::time_point since) {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  g_anonAtEnd = AnonKilobytes("/proc/self/status");
  return seconds;
}

// ---- VELDOR --------------------------------------------------------------------------------------

class TVeldor {
 public:
  TVeldor() {
    Session_ = std::make_unique<TDataSession>();
    Database_ = Session_->OpenDataDirectory("", g_options.Directory);
  }
  ~TVeldor() {
    Cursors_.clear();
    Session_.reset();
  }

  static TTableDefinition Definition(bool blobs) {
    auto field = [](uint16_t n, const char* name, uint8_t type, uint8_t size = 0, uint8_t sub = 0) {
      TFieldDescriptor f;
      f.SetFieldNumber(n);
      f.SetFieldName(name);
      f.SetFieldType(type);
      f.SetDeclaredSize(size);
      f.SetSubType(sub);
      return f;
    };
    TTableDefinition d;
    if (blobs) {
      d.Fields = {field(1, "Id", FIELD_INTEGER), field(2, "Data", FIELD_BLOB, 0, SUBTYPE_BINARY)};
    } else {
      d.Fields = {field(1, "Id", FIELD_INTEGER), field(2, "Name", FIELD_STRING, 20),
                  field(3, "Born", FIELD_DATE), field(4, "Qty", FIELD_INTEGER),
                  field(5, "Score", FIELD_FLOAT)};
    }
    TIndexDescriptor primary;
    primary.SetFieldNumber(0, 1);
    d.Indexes.push_back(primary);
    if (!blobs) {
      TIndexDescriptor byName, byCount;
      byName.SetName("ByName");
      byName.SetFieldNumber(0, 2);
      byCount.SetName("ByQty");
      byCount.SetFieldNumber(0, 4);
      d.Indexes.push_back(byName);
      d.Indexes.push_back(byCount);
    }
    return d;
  }

  TDataCursor& Cursor(const std::string& name, bool exclusive = false) {
    Cursors_.push_back(std::make_unique<TDataCursor>(Database_));
    TDataCursor& c = *Cursors_.back();
    c.SetTableName(name);
    c.SetExclusive(exclusive);
    c.Open();
    return c;
  }

  void Create(const std::string& name, bool blobs) {
    TDataCursor c(Database_);
    c.SetTableName(name);
    c.SetExclusive(true);
    c.CreateTable(Definition(blobs), true, false);
  }

  static void Fill(TDataCursor& c, std::vector<uint8_t>& image, const TRow& row) {
    c.InitRecord(image.data());
    c.PutField(1, image.data(), &row.Id);
    c.PutField(2, image.data(), row.Name.c_str());
    c.PutField(3, image.data(), &row.Born);
    c.PutField(4, image.data(), &row.Count);
    c.PutField(5, image.data(), &row.Score);
  }

  TDataDirectory& Database() { return *Database_; }
  TDataSession& Session() { return *Session_; }

 private:
  std::unique_ptr<TDataSession> Session_;
  TDataDirectory* Database_ = nullptr;
  std::vector<std::unique_ptr<TDataCursor>> Cursors_;
};

double VeldorWorkload(const std::string& workload) {
  TVeldor v;
  const int64_t n = g_options.Records;
  std::vector<uint8_t> image;
  auto started = std::chrono::steady_clock::now();
  if (workload == "load-transaction" || workload == "load-rollback") {
    // The rollback: the same load into a table of its own, given up at the end.
    const bool rollback = workload == "load-rollback";
    const char* table = rollback ? "rolled" : "bench";
    v.Create(table, false);
    started = std::chrono::steady_clock::now();
    TDataCursor& c = v.Cursor(table);
    image.resize(c.RecordSize());
    std::vector<int32_t> keys = ShuffledKeys(n, 1);
    v.Database().StartTransaction();
    for (int32_t k : keys) {
      TVeldor::Fill(c, image, RowOf(k));
      c.AppendRecord(image.data(), false);
    }
    if (rollback) v.Database().RollbackTransaction();
    else v.Database().CommitTransaction(true, false);
  } else if (workload == "load-autocommit" || workload == "load-synced" || workload == "load-unsynced") {
    // Synced: every append reaches the disk before it returns, as SQLite's default does.
    v.Session().SetForceBufferFlush(workload == "load-synced");
    v.Create("small", false);
    started = std::chrono::steady_clock::now();
    TDataCursor& c = v.Cursor("small", workload == "load-autocommit");
    image.resize(c.RecordSize());
    for (int32_t k : ShuffledKeys(SmallLoadCount(workload), 2)) {
      TVeldor::Fill(c, image, RowOf(k));
      c.AppendRecord(image.data(), false);
    }
    c.Close();
  } else if (workload == "lookup-primary" || workload == "lookup-name") {
    TDataCursor& c = v.Cursor("bench");
    const bool byName = workload == "lookup-name";
    if (byName) c.SetIndexName("ByName");
    image.resize(c.RecordSize());
    std::vector<uint8_t> probe(c.RecordSize()), out(c.RecordSize());
    std::mt19937 random(3);
    int64_t found = 0;
    for (int i = 0; i < 100000; ++i) {
      int64_t k = int64_t(random() % uint64_t(n)) + 1;
      TVeldor::Fill(c, probe, RowOf(k));
      found += c.Find(false, probe.data(), out.data(), 0, false, byName ? 1 : 0);
    }
    if (found != 100000) Mismatch("lookups found", found, 100000);
    g_answer = found;
  } else if (workload == "scan-primary" || workload == "scan-natural") {
    TDataCursor& c = v.Cursor("bench");
    if (workload == "scan-natural") c.SetIndexNumber(kNaturalOrder);
    image.resize(c.RecordSize());
    int64_t sum = 0, rows = 0;
    c.SetToBegin();
    char name[32];
    while (c.GetNextRecord(image.data()) == 0) {
      int32_t count = 0;
      c.GetField(4, image.data(), &count);
      c.GetField(2, image.data(), name);
      sum += count + name[0];
      ++rows;
    }
    if (rows != n) Mismatch("scan rows", rows, n);
    g_answer = rows;
  } else if (workload == "page-walk") {
    // A grid's way: jump to a row number of the index, then read a page of rows.
    TDataCursor& c = v.Cursor("bench");
    c.SetIndexName("ByName");
    image.resize(c.RecordSize());
    std::mt19937 random(9);
    int64_t rows = 0;
    for (int page = 0; page < kPageWalkPages; ++page) {
      const int64_t first = int64_t(random() % uint64_t(n - kPageRows + 1)) + 1;
      c.SetToRecNo(first);
      for (int i = 0; i < kPageRows; ++i) {
        if ((i == 0 ? c.GetCurrentRecord(image.data()) : c.GetNextRecord(image.data())) != 0) break;
        ++rows;
      }
    }
    if (rows != int64_t(kPageWalkPages) * kPageRows) Mismatch("page walk rows", rows, int64_t(kPageWalkPages) * kPageRows);
    g_answer = rows;
  } else if (workload == "range-scans") {
    TDataCursor& c = v.Cursor("bench");
    image.resize(c.RecordSize());
    std::vector<uint8_t> low(c.RecordSize()), high(c.RecordSize());
    std::mt19937 random(4);
    const int64_t width = std::max<int64_t>(n / 100, 1);
    int64_t rows = 0;
    for (int i = 0; i < 1000; ++i) {
      int64_t start = int64_t(random() % uint64_t(n - width + 1)) + 1;
      TVeldor::Fill(c, low, RowOf(start));
      TVeldor::Fill(c, high, RowOf(start + width - 1));
      c.SetRange(false, low.data(), 0, high.data(), 0);
      c.SetToBegin();
      while (c.GetNextRecord(image.data()) == 0) ++rows;
    }
    if (rows != 1000 * width) Mismatch("range scan rows", rows, 1000 * width);
    g_answer = rows;
  } else if (workload == "count-indexed" || workload == "count-unindexed" || workload == "count-and") {
    TDataCursor& c = v.Cursor("bench");
    const char* text = workload == "count-indexed" ? "Qty = 7"
                       : workload == "count-unindexed" ? "Score < 100"
                                                       : "Qty = 7 AND Score < 100";
    TFilter* f = c.AddFilter(nullptr, text, false, false, true, false);
    c.ActivateFilter(f);
    g_answer = c.GetRecordCount();
  } else if (workload == "modify-plain" || workload == "modify-indexed" || workload == "delete-tenth") {
    TDataCursor& c = v.Cursor("bench");
    image.resize(c.RecordSize());
    std::vector<uint8_t> probe(c.RecordSize());
    std::mt19937 random(workload == "modify-plain" ? 5 : workload == "modify-indexed" ? 6 : 7);
    const int64_t changes = workload == "delete-tenth" ? n / 10 : 100000;
    std::vector<int32_t> victims = workload == "delete-tenth" ? ShuffledKeys(n, 8) : std::vector<int32_t>{};
    for (int64_t i = 0; i < changes; ++i) {
      if (i % 1000 == 0) v.Database().StartTransaction();
      int64_t k = workload == "delete-tenth" ? victims[size_t(i)] : int64_t(random() % uint64_t(n)) + 1;
      TVeldor::Fill(c, probe, RowOf(k));
      if (c.Find(false, probe.data(), image.data(), 0, false, 0)) {
        if (workload == "delete-tenth") {
          c.DeleteRecord(image.data(), false);
        } else {
          c.GetCurrentRecord(image.data(), true);
          if (workload == "modify-plain") {
            double score = double(i);
            c.PutField(5, image.data(), &score);
          } else {
            int32_t count = int32_t(i % 1000);
            c.PutField(4, image.data(), &count);
          }
          c.ModifyRecord(image.data(), true, false);
        }
      }
      if (i % 1000 == 999 || i + 1 == changes) v.Database().CommitTransaction(true, false);
    }
  } else if (workload == "blob-write" || workload == "blob-read") {
    if (workload == "blob-write") {
      v.Create("blobs", true);
      started = std::chrono::steady_clock::now();
    }
    TDataCursor& c = v.Cursor("blobs");
    image.resize(c.RecordSize());
    std::vector<uint8_t> data(20 * 1024);
    if (workload == "blob-write") {
      for (int32_t i = 1; i <= 10000; ++i) {
        if (i % 1000 == 1) v.Database().StartTransaction();
        for (size_t b = 0; b < data.size(); ++b) data[b] = uint8_t(i + b);
        c.InitRecord(image.data());
        c.PutField(1, image.data(), &i);
        c.OpenBlob(2, image.data(), kBlobOwnerEngine, false, kBlobWrite);
        c.PutBlob(2, image.data(), false, 0, uint32_t(data.size()), data.data());
        c.AppendRecord(image.data(), false);
        if (i % 1000 == 0) v.Database().CommitTransaction(true, false);
      }
    } else {
      int64_t bytes = 0;
      c.SetToBegin();
      while (c.GetNextRecord(image.data()) == 0) {
        c.OpenBlob(2, image.data(), kBlobOwnerEngine, false, kBlobRead);
        uint32_t got = 0;
        c.GetBlob(2, image.data(), false, 0, uint32_t(data.size()), data.data(), got);
        bytes += got;
        c.FreeBlob(2, image.data(), kBlobOwnerEngine, false);
      }
      if (bytes != 10000LL * 20 * 1024) Mismatch("BLOB bytes read", bytes, 10000LL * 20 * 1024);
      g_answer = bytes;
    }
  }
  return Seconds(started);
}

// ---- SQLite --------------------------------------------------------------------------------------

class TSqlite {
 public:
  explicit TSqlite(bool bigCache) {
    std::string path = g_options.Directory + "/" + (bigCache ? "sqlite64.db" : "sqlite.db");
    if (sqlite3_open(path.c_str(), &Db_) != SQLITE_OK) Fail("open");
    if (bigCache) Exec("PRAGMA cache_size=-65536");
  }
  ~TSqlite() { sqlite3_close(Db_); }
  void Exec(const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(Db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
      std::fprintf(stderr, "sqlite: %s: %s\n", sql, error ? error : "?");
      std::exit(3);
    }
  }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(Db_, sql, -1, &s, nullptr) != SQLITE_OK) Fail(sql);
    return s;
  }
  void Fail(const char* what) {
    std::fprintf(stderr, "sqlite %s: %s\n", what, sqlite3_errmsg(Db_));
    std::exit(3);
  }
  static void Bind(sqlite3_stmt* s, const TRow& row) {
    sqlite3_bind_int(s, 1, row.Id);
    sqlite3_bind_text(s, 2, row.Name.c_str(), int(row.Name.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 3, row.Born);
    sqlite3_bind_int(s, 4, row.Count);
    sqlite3_bind_double(s, 5, row.Score);
  }
  int64_t Run(sqlite3_stmt* s) {
    int64_t rows = 0;
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) ++rows;
    if (rc != SQLITE_DONE) Fail("step");
    sqlite3_reset(s);
    return rows;
  }

 private:
  sqlite3* Db_ = nullptr;
};

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS bench(id INTEGER PRIMARY KEY, name TEXT, born INTEGER, count INTEGER, "
    "score REAL);CREATE INDEX IF NOT EXISTS byname ON bench(name);"
    "CREATE INDEX IF NOT EXISTS bycount ON bench(count)";

double SqliteWorkload(const std::string& workload, bool bigCache) {
  TSqlite db(bigCache);
  const int64_t n = g_options.Records;
  auto started = std::chrono::steady_clock::now();
  auto insertAll = [&](const char* table, const std::vector<int32_t>& keys, bool oneTransaction,
                       bool commit = true) {
    std::string sql = std::string("INSERT INTO ") + table + " VALUES(?,?,?,?,?)";
    sqlite3_stmt* insert = db.Prepare(sql.c_str());
    if (oneTransaction) db.Exec("BEGIN");
    for (int32_t k : keys) {
      TSqlite::Bind(insert, RowOf(k));
      db.Run(insert);
    }
    sqlite3_finalize(insert);
    if (oneTransaction) db.Exec(commit ? "COMMIT" : "ROLLBACK");
  };
  if (workload == "load-transaction") {
    db.Exec("DROP TABLE IF EXISTS bench");
    db.Exec(kSchema);
    started = std::chrono::steady_clock::now();
    insertAll("bench", ShuffledKeys(n, 1), true);
  } else if (workload == "load-rollback") {
    db.Exec("DROP TABLE IF EXISTS rolled");
    db.Exec("CREATE TABLE rolled(id INTEGER PRIMARY KEY, name TEXT, born INTEGER, count INTEGER, score REAL);"
            "CREATE INDEX rolledbyname ON rolled(name);CREATE INDEX rolledbycount ON rolled(count)");
    started = std::chrono::steady_clock::now();
    insertAll("rolled", ShuffledKeys(n, 1), true, false);
  } else if (workload == "load-autocommit" || workload == "load-synced" || workload == "load-unsynced") {
    // Unsynced: SQLite leaves the writing to the operating system, as the engine's default does.
    if (workload == "load-unsynced") db.Exec("PRAGMA synchronous=OFF");
    db.Exec("DROP TABLE IF EXISTS small");
    db.Exec("CREATE TABLE small(id INTEGER PRIMARY KEY, name TEXT, born INTEGER, count INTEGER, score REAL);"
            "CREATE INDEX smallname ON small(name);CREATE INDEX smallcount ON small(count)");
    started = std::chrono::steady_clock::now();
    insertAll("small", ShuffledKeys(SmallLoadCount(workload), 2), false);
  } else if (workload == "lookup-primary" || workload == "lookup-name") {
    const bool byName = workload == "lookup-name";
    sqlite3_stmt* s = db.Prepare(byName ? "SELECT * FROM bench WHERE name = ?" : "SELECT * FROM bench WHERE id = ?");
    std::mt19937 random(3);
    int64_t found = 0;
    for (int i = 0; i < 100000; ++i) {
      int64_t k = int64_t(random() % uint64_t(n)) + 1;
      if (byName) {
        std::string name = NameOf(k);
        sqlite3_bind_text(s, 1, name.c_str(), int(name.size()), SQLITE_TRANSIENT);
      } else {
        sqlite3_bind_int64(s, 1, k);
      }
      found += db.Run(s);
    }
    sqlite3_finalize(s);
    g_answer = found;
  } else if (workload == "scan-primary" || workload == "scan-natural") {
    sqlite3_stmt* s = db.Prepare(workload == "scan-primary" ? "SELECT count, name FROM bench ORDER BY id"
                                                            : "SELECT count, name FROM bench");
    int64_t sum = 0, rows = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
      sum += sqlite3_column_int(s, 0) + sqlite3_column_text(s, 1)[0];
      ++rows;
    }
    sqlite3_finalize(s);
    g_answer = rows;
  } else if (workload == "page-walk") {
    sqlite3_stmt* s = db.Prepare("SELECT * FROM bench ORDER BY name LIMIT ? OFFSET ?");
    std::mt19937 random(9);
    for (int page = 0; page < kPageWalkPages; ++page) {
      const int64_t first = int64_t(random() % uint64_t(n - kPageRows + 1)) + 1;
      sqlite3_bind_int(s, 1, kPageRows);
      sqlite3_bind_int64(s, 2, first - 1);
      g_answer += db.Run(s);
    }
    sqlite3_finalize(s);
  } else if (workload == "range-scans") {
    sqlite3_stmt* s = db.Prepare("SELECT * FROM bench WHERE id BETWEEN ? AND ? ORDER BY id");
    std::mt19937 random(4);
    const int64_t width = std::max<int64_t>(n / 100, 1);
    for (int i = 0; i < 1000; ++i) {
      int64_t start = int64_t(random() % uint64_t(n - width + 1)) + 1;
      sqlite3_bind_int64(s, 1, start);
      sqlite3_bind_int64(s, 2, start + width - 1);
      g_answer += db.Run(s);
    }
    sqlite3_finalize(s);
  } else if (workload == "count-indexed" || workload == "count-unindexed" || workload == "count-and") {
    const char* sql = workload == "count-indexed"     ? "SELECT COUNT(*) FROM bench WHERE count = 7"
                      : workload == "count-unindexed" ? "SELECT COUNT(*) FROM bench WHERE score < 100"
                                                      : "SELECT COUNT(*) FROM bench WHERE count = 7 AND score < 100";
    sqlite3_stmt* s = db.Prepare(sql);
    if (sqlite3_step(s) != SQLITE_ROW) db.Fail("count");
    g_answer = sqlite3_column_int64(s, 0);
    sqlite3_finalize(s);
  } else if (workload == "modify-plain" || workload == "modify-indexed" || workload == "delete-tenth") {
    sqlite3_stmt* s = db.Prepare(workload == "modify-plain"     ? "UPDATE bench SET score = ? WHERE id = ?"
                                 : workload == "modify-indexed" ? "UPDATE bench SET count = ? WHERE id = ?"
                                                                : "DELETE FROM bench WHERE id = ?");
    std::mt19937 random(workload == "modify-plain" ? 5 : workload == "modify-indexed" ? 6 : 7);
    const int64_t changes = workload == "delete-tenth" ? n / 10 : 100000;
    std::vector<int32_t> victims = workload == "delete-tenth" ? ShuffledKeys(n, 8) : std::vector<int32_t>{};
    for (int64_t i = 0; i < changes; ++i) {
      if (i % 1000 == 0) db.Exec("BEGIN");
      int64_t k = workload == "delete-tenth" ? victims[size_t(i)] : int64_t(random() % uint64_t(n)) + 1;
      if (workload == "delete-tenth") {
        sqlite3_bind_int64(s, 1, k);
      } else {
        if (workload == "modify-plain")
          sqlite3_bind_double(s, 1, double(i));
        else
          sqlite3_bind_int(s, 1, int(i % 1000));
        sqlite3_bind_int64(s, 2, k);
      }
      db.Run(s);
      if (i % 1000 == 999 || i + 1 == changes) db.Exec("COMMIT");
    }
    sqlite3_finalize(s);
  } else if (workload == "blob-write" || workload == "blob-read") {
    std::vector<uint8_t> data(20 * 1024);
    if (workload == "blob-write") {
      db.Exec("DROP TABLE IF EXISTS blobs");
      db.Exec("CREATE TABLE blobs(id INTEGER PRIMARY KEY, data BLOB)");
      started = std::chrono::steady_clock::now();
      sqlite3_stmt* s = db.Prepare("INSERT INTO blobs VALUES(?, ?)");
      for (int i = 1; i <= 10000; ++i) {
        if (i % 1000 == 1) db.Exec("BEGIN");
        for (size_t b = 0; b < data.size(); ++b) data[b] = uint8_t(i + b);
        sqlite3_bind_int(s, 1, i);
        sqlite3_bind_blob(s, 2, data.data(), int(data.size()), SQLITE_TRANSIENT);
        db.Run(s);
        if (i % 1000 == 0) db.Exec("COMMIT");
      }
      sqlite3_finalize(s);
    } else {
      sqlite3_stmt* s = db.Prepare("SELECT data FROM blobs ORDER BY id");
      int64_t bytes = 0;
      while (sqlite3_step(s) == SQLITE_ROW) {
        bytes += sqlite3_column_bytes(s, 0);
        std::memcpy(data.data(), sqlite3_column_blob(s, 0), size_t(sqlite3_column_bytes(s, 0)));
      }
      sqlite3_finalize(s);
      g_answer = bytes;
    }
  }
  return Seconds(started);
}

// ---- Running and reporting ---------------------------------------------------------------------------

struct TResult {
  double Seconds = -1;
  int64_t Answer = 0;
  long PeakKilobytes = 0;      // VmHWM: every resident page, mapped file pages included
  long AnonPeakKilobytes = 0;  // anonymous memory, sampled every 2 ms and at the end
  bool Ran = false;
};

// Each run is a program of its own: this program started again (posix_spawn, then exec)
// with "--child ENGINE WORKLOAD" and the options, so that no run inherits the parent's
// memory (a forked child pays a copy-on-write fault for each heap page it touches first),
// and a run starts as a program that embeds an engine starts. The run reports its time,
// answer, anonymous memory and resident peak through a pipe on descriptor 3.
constexpr int kReportFd = 3;

TResult InChild(const char* engine, const std::string& workload) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) std::abort();
  std::fflush(nullptr);
  std::vector<std::string> arguments = {"veldor-bench", "--child", engine, workload, "--records",
                                        std::to_string(g_options.Records), "--dir", g_options.Directory};
  if (g_options.NoMapping) arguments.push_back("--no-mapping");
  std::vector<char*> argv;
  for (std::string& a : arguments) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], kReportFd);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  TResult result;
  result.Ran = true;
  if (spawned != 0) {
    std::fprintf(stderr, "error: cannot start a run: %s\n", std::strerror(spawned));
    close(pipeFds[0]);
    return result;
  }
  // While the child works, its anonymous memory is looked at every 2 ms from here (the
  // other processor), so that the child's own time is not disturbed.
  const std::string statusFile = "/proc/" + std::to_string(pid) + "/status";
  pollfd wait{pipeFds[0], POLLIN, 0};
  while (poll(&wait, 1, 2) == 0) result.AnonPeakKilobytes = std::max(result.AnonPeakKilobytes, AnonKilobytes(statusFile));
  double report[4] = {-1, 0, 0, 0};
  if (read(pipeFds[0], report, sizeof report) != ssize_t(sizeof report)) report[0] = -1;
  result.Seconds = report[0];
  result.Answer = int64_t(report[1]);
  result.AnonPeakKilobytes = std::max(result.AnonPeakKilobytes, long(report[2]));
  result.PeakKilobytes = long(report[3]);
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result.Seconds = -1;
  return result;
}

// The body of one run ("--child ENGINE WORKLOAD"): the report goes to descriptor 3.
int ChildMain(const std::string& engine, const std::string& workload) {
  InitEngine();
  if (g_options.NoMapping) SetFileMappingAllowed(false);
  double report[4] = {-1, 0, 0, 0};
  try {
    g_answer = 0;
    report[0] = engine == "veldor"   ? VeldorWorkload(workload)
                : engine == "sqlite" ? SqliteWorkload(workload, false)
                                     : SqliteWorkload(workload, true);
    report[1] = double(g_answer);
    report[2] = double(g_anonAtEnd);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "error: %s\n", e.what());
  }
  // The resident peak of this program since its exec (the rusage of a spawned child would
  // count the parent's pages it was started from).
  report[3] = double(StatusKilobytes("/proc/self/status", "VmHWM:"));
  ssize_t written = write(kReportFd, report, sizeof report);
  (void)written;
  return report[0] < 0 ? 1 : 0;
}

// The run of median time among `runs`, with the highest memory peaks of them all; a failed
// run makes the result failed.
TResult Median(std::vector<TResult> runs) {
  long peak = 0, anon = 0;
  bool failed = false;
  for (const TResult& r : runs) {
    peak = std::max(peak, r.PeakKilobytes);
    anon = std::max(anon, r.AnonPeakKilobytes);
    failed = failed || r.Seconds < 0;
  }
  std::sort(runs.begin(), runs.end(), [](const TResult& a, const TResult& b) { return a.Seconds < b.Seconds; });
  TResult median = runs[runs.size() / 2];
  median.PeakKilobytes = peak;
  median.AnonPeakKilobytes = anon;
  if (failed) median.Seconds = -1;
  return median;
}

uint64_t FileBytes(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

std::string Time(double seconds) {
  char buffer[32];
  if (seconds < 0) return g_options.VeldorOnly ? "-" : "failed";
  if (seconds < 0.01)
    std::snprintf(buffer, sizeof buffer, "%.2f ms", seconds * 1000);
  else
    std::snprintf(buffer, sizeof buffer, "%.3f s", seconds);
  return buffer;
}

std::string Megabytes(long kilobytes) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f MB", double(kilobytes) / 1024.0);
  return buffer;
}

int Main(int argc, char** argv) {
  std::string childEngine, childWorkload;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--child" && i + 2 < argc) {
      childEngine = argv[++i];
      childWorkload = argv[++i];
    } else if (a == "--quick") {
      g_options.Records = 50000;
    } else if (a == "--records" && i + 1 < argc) {
      g_options.Records = std::atoll(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      g_options.Directory = argv[++i];
    } else if (a == "--only" && i + 1 < argc) {
      g_options.Only = argv[++i];
    } else if (a == "--veldor-only") {
      g_options.VeldorOnly = true;
    } else if (a == "--no-mapping") {
      g_options.NoMapping = true;
    } else {
      std::fprintf(stderr,
                   "usage: veldor-bench [--quick] [--records N] [--dir DIRECTORY] [--only WORKLOAD] [--veldor-only] [--no-mapping]\n"
                   "  --quick      50,000 records instead of 1,000,000\n"
                   "  --only       one workload (its tables must be in --dir already, except for the loads)\n"
                   "  --veldor-only  the VELDOR runs alone, for profiling\n"
                   "  --no-mapping  VELDOR reads its files through system calls only, never a mapping\n"
                   "  --dir        where the table files go (default: a new directory in /var/tmp)\n");
      return 2;
    }
  }
  if (g_options.Records < 100) g_options.Records = 100;
  if (!childEngine.empty()) return ChildMain(childEngine, childWorkload);
  bool madeDirectory = false;
  if (g_options.Directory.empty()) {
    // On disk, not on a memory file system where syncs cost nothing; mkdtemp fills the
    // six trailing characters.
    std::string pattern = "/var/tmp/veldor-bench-" + std::string(6, 'X');
    if (mkdtemp(pattern.data()) == nullptr) return 2;
    g_options.Directory = pattern;
    madeDirectory = true;
  }
  InitEngine();
  if (g_options.NoMapping) SetFileMappingAllowed(false);
  const std::vector<std::string> workloads = {
      "load-transaction", "load-rollback", "load-autocommit", "load-synced",     "load-unsynced", "lookup-primary",
      "lookup-name",      "scan-primary",    "scan-natural",    "page-walk",     "range-scans",
      "count-indexed",    "count-unindexed", "count-and",       "modify-plain",  "modify-indexed",
      "delete-tenth",     "blob-write",      "blob-read"};
  std::printf("%lld records in %s\n", (long long)g_options.Records, g_options.Directory.c_str());
  // The ratios compare only within one run on an idle machine: say how idle it was.
  double load[3] = {-1, -1, -1};
  if (getloadavg(load, 3) == 3)
    std::printf("load average at start: %.2f %.2f %.2f (%ld processors)\n", load[0], load[1], load[2],
                sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("\n");
  std::printf("%-17s %11s %11s %11s %8s %10s %10s %10s %10s %10s\n", "workload", "VELDOR", "SQLite", "SQLite 64M",
              "ratio", "mem VELDOR", "mem SQLite", "mem 64M", "anon VELD", "anon SQLi");
  bool failed = false;
  for (const std::string& w : workloads) {
    if (!g_options.Only.empty() && g_options.Only != w) continue;
    TResult v = InChild("veldor", w);
    TResult s, b;
    if (!g_options.VeldorOnly) {
      s = InChild("sqlite", w);
      b = InChild("sqlite64", w);
    }
    // A count takes a fraction of a millisecond and swings with the state of the page cache
    // and the scheduler: counts that short run five times, the engines taking turns, and each
    // engine's median time is shown (with the highest of its memory peaks).
    if (w.rfind("count-", 0) == 0 && v.Seconds >= 0 && v.Seconds < 0.01) {
      std::vector<TResult> vs{v}, ss{s}, bs{b};
      for (int round = 1; round < 5; ++round) {
        vs.push_back(InChild("veldor", w));
        if (!g_options.VeldorOnly) {
          ss.push_back(InChild("sqlite", w));
          bs.push_back(InChild("sqlite64", w));
        }
      }
      v = Median(vs);
      if (!g_options.VeldorOnly) {
        s = Median(ss);
        b = Median(bs);
      }
    }
    char ratio[32] = "-";
    if (v.Seconds >= 0 && s.Seconds > 0) std::snprintf(ratio, sizeof ratio, "%.2fx", v.Seconds / s.Seconds);
    failed = failed || v.Seconds < 0 || (s.Ran && s.Seconds < 0) || (b.Ran && b.Seconds < 0);
    if (v.Seconds >= 0 && s.Seconds >= 0 && v.Answer != s.Answer) {
      std::fprintf(stderr, "%s: VELDOR found %lld, SQLite %lld\n", w.c_str(), (long long)v.Answer,
                   (long long)s.Answer);
      failed = true;
    }
    std::printf("%-17s %11s %11s %11s %8s %10s %10s %10s %10s %10s\n", w.c_str(), Time(v.Seconds).c_str(),
                Time(s.Seconds).c_str(), Time(b.Seconds).c_str(), ratio, Megabytes(v.PeakKilobytes).c_str(),
                Megabytes(s.PeakKilobytes).c_str(), Megabytes(b.PeakKilobytes).c_str(),
                Megabytes(v.AnonPeakKilobytes).c_str(), Megabytes(s.AnonPeakKilobytes).c_str());
    std::fflush(stdout);
  }
  // Workload 9: the bench table's files against the pages SQLite gives the same table and
  // its two indexes (from its dbstat table when the library has it), and the BLOB table.
  const std::string& d = g_options.Directory;
  auto tableFiles = [&](const char* name) {
    return double(FileBytes(d + "/" + name + ".DAT") + FileBytes(d + "/" + name + ".IDX") +
                  FileBytes(d + "/" + name + ".BLB")) /
           1048576.0;
  };
  auto sqliteObjects = [&](const char* names) -> double {
    sqlite3* db = nullptr;
    double bytes = -1;
    const std::string path = d + "/sqlite.db";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      const std::string sql = std::string("SELECT SUM(pgsize) FROM dbstat WHERE name IN (") + names + ")";
      sqlite3_stmt* s = nullptr;
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
        bytes = sqlite3_column_double(s, 0) / 1048576.0;
      sqlite3_finalize(s);
    }
    sqlite3_close(db);
    return bytes;
  };
  if (g_options.Only.empty() || g_options.Only == "blob-write") {
    const double sqliteBench = sqliteObjects("'bench','byname','bycount'");
    const double sqliteBlobs = sqliteObjects("'blobs'");
    std::printf("\nfile sizes: bench table VELDOR %.1f MB, SQLite %.1f MB; BLOB table VELDOR %.1f MB, SQLite %.1f MB"
                " (SQLite database file in all: %.1f MB)\n",
                tableFiles("bench"), sqliteBench, tableFiles("blobs"), sqliteBlobs,
                double(FileBytes(d + "/sqlite.db")) / 1048576.0);
  }
  ShutdownEngine();
  if (madeDirectory) std::filesystem::remove_all(d);
  return failed ? 1 : 0;
}

}  // namespace
}  // namespace veldor::bench

int main(int argc, char** argv) { return veldor::bench::Main(argc, argv); }
