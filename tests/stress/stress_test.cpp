// Several processes at once on one table: transfers in transactions, appends and deletes,
// edits outside transactions, consistent readers through cursors and through SQL, a program
// that opens the table again and again, a writer killed now and then (at chosen points of
// its commit, and by the parent at random) and a writer whose disk fills. Afterwards the
// parent audits the workers' logs against the table (stress_audit.h) and runs the
// integrity checker. Each scenario is one case, so that a failure names its mix.
//
// A consistent cursor read, as the readers here take it: the whole walk, from SetToBegin to
// the last record, under one hold of the table's operation read lock (TDataTable::ReadLock,
// which no writer can share), or inside a database transaction (the table lock, which no
// other writer can share either). Either way the walk must see one committed state: the
// fixed total, every account, and values that the ledger entries seen explain.
//
// The run is bounded in time: VELDOR_STRESS_SECONDS per scenario (default 2); the seed is
// printed and VELDOR_STRESS_SEED runs it again; VELDOR_STRESS_KEEP=1 keeps the directory of
// a run (table, logs) and prints where it is. Timing makes a run differ from its rerun;
// the seed fixes every process's choices.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/session.h"
#include "engine/table_check.h"
#include "lib/temp_dir.h"
#include "sql/query_statement.h"
#include "tests/stress/stress_audit.h"
#include "tests/stress/stress_workload.h"

namespace veldor::stress {
namespace {

using Clock = std::chrono::steady_clock;

double StressSeconds() {
  const char* text = std::getenv("VELDOR_STRESS_SECONDS");
  const double seconds = text ? std::atof(text) : 0;
  return seconds > 0 ? seconds : 2.0;
}

uint64_t StressSeed() {
  if (const char* text = std::getenv("VELDOR_STRESS_SEED")) return std::strtoull(text, nullptr, 10);
  return (uint64_t(std::random_device{}()) << 32) | std::random_device{}();
}

uint64_t Mix(uint64_t x) {  // splitmix64's finaliser
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

struct TScenario {
  const char* Name;
  std::vector<TRole> Roles;
};

void PrintTo(const TScenario& scenario, std::ostream* out) {
  *out << scenario.Name << ':';
  for (TRole role : scenario.Roles) *out << ' ' << RoleName(role);
}

// A worker process as the parent sees it.
struct TProcess {
  TRole Role;
  int Number = 0;       // among the scenario's workers
  int Incarnation = 0;  // how many times it was started before (the killed writer restarts)
  pid_t Pid = -1;
  std::string Name;
  std::string Log;
  // The killed writer's death by the parent's hand: a random moment once its log shows it
  // at work (opening the table may take long, in a sanitizer build most of all).
  Clock::time_point KillAt = Clock::time_point::max();
  bool KillPlanned = false;
};

// Forks a child that runs `body` and leaves through _exit with its result (99 when an
// exception escapes), so that nothing of the parent's (gtest, atexit) runs twice.
pid_t Fork(const std::function<int()>& body) {
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    int status = 99;
    try {
      status = body();
    } catch (...) {
    }
    _exit(status);
  }
  return pid;
}

std::string StatusText(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

class StressTest : public ::testing::TestWithParam<TScenario> {
 protected:
  void SetUp() override {
    std::string made = MakeTempDirectory("veldor-stress");
    ASSERT_FALSE(made.empty());
    root_ = made + "/";
    tableDir_ = root_ + "table/";
    std::filesystem::create_directories(tableDir_);
    std::filesystem::create_directories(root_ + "logs");
  }
  void TearDown() override {
    if (std::getenv("VELDOR_STRESS_KEEP")) {
      std::cout << "[stress] kept " << root_ << std::endl;
      return;
    }
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  void Start(TProcess& p) {
    TWorker worker;
    worker.Directory = tableDir_;
    if (p.Role == TRole::kSqlReader) {
      worker.PrivateDir = root_ + "private/" + p.Name + "-" + std::to_string(p.Incarnation) + "/";
      std::filesystem::create_directories(worker.PrivateDir);
    }
    worker.LogPath = root_ + "logs/" + p.Name + "-" + std::to_string(p.Incarnation) + ".log";
    worker.Seed = Mix(seed_ ^ (uint64_t(p.Number) << 20) ^ uint64_t(p.Incarnation));
    worker.Shared = shared_;
    p.Log = worker.LogPath;
    p.KillPlanned = false;
    p.KillAt = Clock::time_point::max();
    logs_.push_back({worker.LogPath, p.Name + "#" + std::to_string(p.Incarnation), p.Role == TRole::kCrampedWriter});
    const TRole role = p.Role;
    p.Pid = Fork([role, worker] { return RunWorker(role, worker); });
    ASSERT_GT(p.Pid, 0);
  }

  // Runs the workers for the run's time; then tells them to stop and waits for them.
  void RunWorkers(std::vector<TProcess>& processes) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds_));
    for (TProcess& p : processes) Start(p);
    while (Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      for (TProcess& p : processes) {
        if (p.Pid <= 0) continue;
        int status = 0;
        if (waitpid(p.Pid, &status, WNOHANG) == p.Pid) {
          p.Pid = -1;
          if (p.Role == TRole::kKilledWriter && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) {
            ++p.Incarnation;
            Start(p);
          } else {
            audit_.Problem("process", p.Name + " ended while the run went on, with " + StatusText(status));
          }
        } else if (p.Role == TRole::kKilledWriter && !p.KillPlanned) {
          std::error_code ignored;
          if (std::filesystem::file_size(p.Log, ignored) > 0 && !ignored) {
            p.KillPlanned = true;
            p.KillAt = Clock::now() + std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 250)(random_));
          }
        } else if (p.Role == TRole::kKilledWriter && Clock::now() >= p.KillAt) {
          kill(p.Pid, SIGKILL);
          ++parentKills_;
          p.KillAt = Clock::time_point::max();
        }
      }
    }
    shared_->Stop.store(1);
    const auto patience = Clock::now() + std::chrono::seconds(60);
    for (TProcess& p : processes) {
      while (p.Pid > 0) {
        int status = 0;
        if (waitpid(p.Pid, &status, WNOHANG) == p.Pid) {
          p.Pid = -1;
          // A SIGKILL the parent sent just before the stop is the killed writer's lot.
          const bool killed = p.Role == TRole::kKilledWriter && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
          if (!killed && !(WIFEXITED(status) && WEXITSTATUS(status) == 0))
            audit_.Problem("process", p.Name + " ended with " + StatusText(status));
        } else if (Clock::now() > patience) {
          kill(p.Pid, SIGKILL);
          waitpid(p.Pid, nullptr, 0);
          p.Pid = -1;
          audit_.Problem("process", p.Name + " did not stop within 60 s of being told (killed)");
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
      }
    }
  }

  // Opens the table after the run (replaying what a dead writer left), runs the integrity
  // checker and reads every record; false when the table does not open.
  bool ReadTable(std::vector<TTableRecord>& records) {
    TDataSession session(0);
    TDataDirectory* db = session.OpenDataDirectory("", tableDir_);
    TDataCursor c(db);
    c.SetTableName(kTableName);
    c.SetExclusive(true);
    try {
      c.Open();
    } catch (const EVELDOREngineError& e) {
      audit_.Problem("final-open", "the table does not open after the run: " + std::string(e.what()));
      return false;
    }
    for (const std::string& problem : CheckTable(*c.Table())) audit_.Problem("integrity", problem);
    try {
      c.SetIndexNumber(kNaturalOrder);
      std::vector<uint8_t> image(c.RecordSize());
      auto number = [&](const char* field) {
        int32_t v = 0;
        c.GetField(c.FieldNumber(field), image.data(), &v);
        return v;
      };
      c.SetToBegin();
      while (c.GetNextRecord(image.data()) == 0) {
        TTableRecord r;
        r.Id = number("Id");
        r.Kind = number("Kind");
        r.V = number("V");
        r.Txn = number("Txn");
        r.Src = number("Src");
        r.Dst = number("Dst");
        r.Amt = number("Amt");
        r.Edits = number("Edits");
        char note[64] = {};
        c.GetField(c.FieldNumber("Note"), image.data(), note);
        r.Note = note;
        if (r.Kind == kSpare) r.Memo = MemoOf(c, image);
        records.push_back(std::move(r));
      }
    } catch (const EVELDOREngineError& e) {
      audit_.Problem("final-read", "reading the table after the run failed: " + std::string(e.what()));
      return false;
    }
    return true;
  }

  static std::string MemoOf(TDataCursor& c, std::vector<uint8_t> image) {
    const uint16_t f = c.FieldNumber("Memo");
    if (c.OpenBlob(f, image.data(), kBlobOwnerEngine, false, kBlobRead) != 0) return "<no blob>";
    uint32_t size = 0, got = 0;
    c.GetBlobSize(f, image.data(), false, size);
    std::string out(size, '\0');
    c.GetBlob(f, image.data(), false, 0, size, out.data(), got);
    c.FreeBlob(f, image.data(), kBlobOwnerEngine, false);
    out.resize(got);
    return out;
  }

  // The SQL sum of the table at rest.
  void FinalSqlSum() {
    TDataSession session(0);
    std::filesystem::create_directories(root_ + "private/final");
    session.SetPrivateDirectory(root_ + "private/final/");
    TDataDirectory* db = session.OpenDataDirectory("", tableDir_);
    try {
      TQueryStatement statement(db);
      statement.Prepare("SELECT SUM(V) FROM accounts");
      TDataCursor* result = statement.Execute(0);
      if (result == nullptr) RaiseTableError(VELDOR_NOCURRREC, kTableName);
      std::vector<uint8_t> row(result->RecordSize());
      result->SetToBegin();
      int64_t sum = 0;
      if (result->GetNextRecord(row.data()) == 0) result->GetField(1, row.data(), &sum);
      if (result->Field(1).FieldType() != FIELD_LARGEINT || sum != kTotal)
        audit_.Problem("sql-sum", "after the run: SUM(V) " + std::to_string(sum) + " of field type " +
                                      std::to_string(result->Field(1).FieldType()) + ", the total is " +
                                      std::to_string(kTotal));
    } catch (const EVELDOREngineError& e) {
      audit_.Problem("final-read", "SELECT after the run failed: " + std::string(e.what()));
    }
  }

  std::string root_, tableDir_;
  uint64_t seed_ = 0;
  double seconds_ = 0;
  TStressShared* shared_ = nullptr;
  std::mt19937_64 random_;
  TAudit audit_;
  struct TLogFile {
    std::string Path, Worker;
    bool Cramped;
  };
  std::vector<TLogFile> logs_;
  int parentKills_ = 0;
};

TEST_P(StressTest, SharedTableKeepsItsTotalAndEveryReportedCommit) {
  const TScenario& scenario = GetParam();
  seed_ = StressSeed();
  seconds_ = StressSeconds();
  random_.seed(Mix(seed_));
  std::cout << "[stress] " << scenario.Name << ": seed " << seed_ << ", " << seconds_
            << " s (rerun: VELDOR_STRESS_SEED=" << seed_ << " VELDOR_STRESS_SECONDS=" << seconds_
            << " tests/stress/stress_test --gtest_filter='*/" << scenario.Name << "')" << std::endl;
  shared_ = MapShared();
  ASSERT_NE(shared_, nullptr);
  MakeAccountsTable(tableDir_);

  std::vector<TProcess> processes;
  std::map<TRole, int> ofRole;
  for (TRole role : scenario.Roles) {
    TProcess p;
    p.Role = role;
    p.Number = int(processes.size()) + 1;
    p.Name = std::string(RoleName(role)) + (ofRole[role]++ > 0 ? std::to_string(ofRole[role]) : "");
    processes.push_back(p);
  }
  RunWorkers(processes);

  for (const TLogFile& log : logs_) audit_.ReadLog(log.Path, log.Worker, log.Cramped);
  std::vector<TTableRecord> records;
  if (ReadTable(records)) {
    audit_.Judge(records);
    FinalSqlSum();
  }

  std::cout << "[stress] " << scenario.Name << ": " << records.size() << " records at the end; " << audit_.Summary();
  if (parentKills_ > 0) std::cout << "\nthe parent killed the killed writer " << parentKills_ << " times";
  std::cout << std::endl;
  for (const auto& [check, finding] : audit_.Findings()) {
    std::ostringstream text;
    text << "seed " << seed_ << ", " << scenario.Name << ": " << check << ", " << finding.Count << " time(s):";
    for (const auto& [example, times] : finding.Examples)
      text << "\n    " << example << (times > 1 ? " (" + std::to_string(times) + " times)" : "");
    ADD_FAILURE() << text.str();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, StressTest,
    ::testing::Values(
        TScenario{"Transfers",
                  {TRole::kTransfers, TRole::kTransfers, TRole::kCursorReader, TRole::kSqlReader, TRole::kOpener}},
        TScenario{"AppendsAndEdits",
                  {TRole::kTransfers, TRole::kAppender, TRole::kEditor, TRole::kCursorReader, TRole::kSqlReader,
                   TRole::kOpener}},
        TScenario{"KilledWriter",
                  {TRole::kTransfers, TRole::kKilledWriter, TRole::kAppender, TRole::kEditor, TRole::kCursorReader,
                   TRole::kSqlReader, TRole::kOpener}},
        TScenario{"FullDisk", {TRole::kTransfers, TRole::kCrampedWriter, TRole::kCursorReader, TRole::kSqlReader}}),
    [](const ::testing::TestParamInfo<TScenario>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace veldor::stress
