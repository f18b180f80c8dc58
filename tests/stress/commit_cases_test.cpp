// Commits while other processes share the table: a writer killed in the middle of its
// commit while another process has the table open and goes on with it, a commit that meets
// a full disk, commits while other programs open the table. The failures the stress test
// meets at random, one at a time.
//
// The dead writer's transaction moves 5 from record 1 to record 2 and appends record
// 100000, so that a reader can tell the table before it (10, 20, no 100000) from the table
// after it (5, 25, 100000) and from anything in between. Whatever the moment of death, the
// other process must read one of the two, its own writes reported OK must hold, and the
// next open must find a sound table holding the dead writer's transaction whole or not at
// all. A commit that fails on a full disk must likewise leave no trace.
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>
#include <memory>
#include <string>

#include "engine/table_check.h"
#include "lib/file_layer.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

constexpr int kBase = 50;
constexpr int32_t kAppendedByDead = 100000;
constexpr int32_t kAppendedByOther = 200000;

// What the other process does after the death.
enum class TNext { kRead, kAppend, kTransaction };

struct TDeadCase {
  const char* Point;
  int Pass;
  TNext Next;
};

// The table as a reader sees it: record 1's and record 2's amounts, and which of the
// appended records are there.
struct TView {
  int32_t First = -1, Second = -1;
  bool Dead = false, Other = false;
  int64_t Count = 0, Walked = 0;
  bool operator==(const TView&) const = default;
};

std::string Show(const TView& v) {
  return "record 1: " + std::to_string(v.First) + ", record 2: " + std::to_string(v.Second) +
         ", record " + std::to_string(kAppendedByDead) + (v.Dead ? " present" : " absent") + ", record " +
         std::to_string(kAppendedByOther) + (v.Other ? " present" : " absent") + ", " + std::to_string(v.Walked) +
         " records walked, count " + std::to_string(v.Count);
}

void PrintTo(const TView& v, std::ostream* out) { *out << Show(v); }
void PrintTo(const TDeadCase& c, std::ostream* out) {
  static const char* const kNext[] = {"a read", "an append", "a transaction"};
  *out << "death at " << c.Point << " #" << c.Pass << ", then " << kNext[int(c.Next)];
}

class CommitCaseTest : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    MakeTable("t", People());
    TDataCursor& c = OpenCursor("t");
    for (int i = 1; i <= kBase; ++i) Add(c, i, "n" + std::to_string(i), i * 10);
    cursors_.clear();
  }
  void TearDown() override {
    SetFaultHook(nullptr);
    CursorTest::TearDown();
  }

  static std::vector<uint8_t> Seek(TDataCursor& c, int32_t id) {
    std::vector<uint8_t> key = Blank(c);
    PutInt(c, key, "Id", id);
    std::vector<uint8_t> image(c.RecordSize());
    if (!c.Find(false, key.data(), image.data(), 0, false, 1)) return {};
    return image;
  }

  static void AddTo(TDataCursor& c, int32_t id, int32_t delta) {
    std::vector<uint8_t> image = Seek(c, id);
    c.GetCurrentRecord(image.data(), true);
    PutInt(c, image, "Amount", IntOf(c, image.data(), "Amount") + delta);
    c.ModifyRecord(image.data());
  }

  // The dead writer's transaction: record 1 gives 5 to record 2, record 100000 is appended.
  static void DeadTransaction(TDataCursor& c) {
    AddTo(c, 1, -5);
    AddTo(c, 2, 5);
    Add(c, kAppendedByDead, "dead", 1000000);
  }

  // Walks the table in primary order (the caller holds whatever lock makes it consistent).
  static TView Read(TDataCursor& c) {
    TView v;
    std::vector<uint8_t> image(c.RecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(image.data()) == 0) {
      ++v.Walked;
      const int32_t id = IntOf(c, image.data(), "Id");
      if (id == 1) v.First = IntOf(c, image.data(), "Amount");
      if (id == 2) v.Second = IntOf(c, image.data(), "Amount");
      if (id == kAppendedByDead) v.Dead = true;
      if (id == kAppendedByOther) v.Other = true;
    }
    v.Count = c.GetRecordCount();
    return v;
  }

  static TView Before(bool other) { return TView{10, 20, false, other, kBase + other, kBase + other}; }
  static TView After(bool other) { return TView{5, 25, true, other, kBase + 1 + other, kBase + 1 + other}; }

  // The table after everything, opened anew (which recovers what the dead writer left):
  // sound, and one of the two states.
  void ExpectSoundTableWithOrWithoutTheDeadTransaction(bool other) {
    cursors_.clear();
    TView view;
    try {
      TDataCursor& c = OpenCursor("t", true);
      std::vector<std::string> problems = CheckTable(*c.Table());
      EXPECT_TRUE(problems.empty()) << problems.size() << " problems, the first: " << problems.front();
      view = Read(c);
    } catch (const EVELDOREngineError& e) {
      FAIL() << "the table does not open: " << e.what();
    }
    EXPECT_TRUE(view == Before(other) || view == After(other)) << Show(view);
    if (other) {
      EXPECT_TRUE(view.Other) << "a write reported OK is lost: " << Show(view);
    }
  }

  // A child that runs the dead transaction and dies at the `pass`-th passage of `point`.
  int RunDeadWriter(const std::string& point, int pass) {
    TChildProcess child([&](TChannel&) {
      auto passes = std::make_shared<int>(0);
      SetFaultHook([point, pass, passes](const char* at) {
        if (point == at && ++*passes == pass) kill(getpid(), SIGKILL);
      });
      TDataSession session(0);
      TDataDirectory* db = session.OpenDataDirectory("", dir_);
      TDataCursor c(db);
      c.SetTableName("t");
      c.Open();
      if (db->StartTransaction() != 0) return 2;
      DeadTransaction(c);
      db->CommitTransaction(true, false);
      return 0;
    });
    return child.Join();
  }
};

class DeadWriterCases : public CommitCaseTest, public ::testing::WithParamInterface<TDeadCase> {};

TEST_P(DeadWriterCases, OtherProcessSeesOneStateAndKeepsItsWrites) {
  const TDeadCase& p = GetParam();
  // This process is the other one: it has the table open (nothing of it cached yet) when
  // the writer dies.
  TDataCursor& other = OpenCursor("t");
  ASSERT_EQ(RunDeadWriter(p.Point, p.Pass), -1) << "the writer was not killed at " << p.Point;

  bool wrote = false;
  switch (p.Next) {
    case TNext::kRead: {
      other.Table()->ReadLock();
      const TView view = Read(other);
      other.Table()->ReadUnlock();
      EXPECT_TRUE(view == Before(false) || view == After(false)) << "read under the read lock: " << Show(view);
      break;
    }
    case TNext::kAppend: {
      const uint16_t code = ErrorOf([&] { Add(other, kAppendedByOther, "other", 2000000); });
      wrote = code == 0;
      EXPECT_TRUE(code == 0 || code == VELDOR_LOCKTIMEOUT) << "append: " << GetEngineErrorName(code);
      break;
    }
    case TNext::kTransaction: {
      ASSERT_EQ(db_->StartTransaction(), 0);
      uint16_t code = ErrorOf([&] { Add(other, kAppendedByOther, "other", 2000000); });
      if (code == 0) code = ErrorOf([&] { db_->CommitTransaction(true, false); });
      if (code != 0) db_->RollbackTransaction();
      wrote = code == 0;
      EXPECT_TRUE(code == 0 || code == VELDOR_LOCKTIMEOUT) << "transaction: " << GetEngineErrorName(code);
      break;
    }
  }
  ExpectSoundTableWithOrWithoutTheDeadTransaction(wrote);
}

std::vector<TDeadCase> DeadCases() {
  std::vector<TDeadCase> cases;
  const std::pair<const char*, int> points[] = {
      {"commit-after-mark", 1}, {"commit-copy", 1}, {"commit-copy", 2}, {"commit-before-remove", 1}};
  for (const auto& [point, pass] : points)
    for (TNext next : {TNext::kRead, TNext::kAppend, TNext::kTransaction}) cases.push_back({point, pass, next});
  return cases;
}

std::string DeadCaseName(const ::testing::TestParamInfo<TDeadCase>& info) {
  static const char* const kNext[] = {"Read", "Append", "Transaction"};
  std::string name = info.param.Point;
  for (char& ch : name)
    if (ch == '-') ch = '_';
  return name + "_" + std::to_string(info.param.Pass) + "_then" + kNext[int(info.param.Next)];
}

INSTANTIATE_TEST_SUITE_P(Points, DeadWriterCases, ::testing::ValuesIn(DeadCases()), DeadCaseName);

// A commit whose copy into the table files would meet a full disk (a file size limit that
// the journal fits under and the data file cannot grow past) finds out before its journal
// is marked, is reported failed, and the next open must not make it happen after all.
TEST_F(CommitCaseTest, CommitReportedFailedOnAFullDiskLeavesNoTrace) {
  {
    // A data file larger than the journal will be.
    TDataCursor& c = OpenCursor("t");
    for (int32_t id = 1000; id < 4000; ++id) Add(c, id, "filler", id * 10);
    cursors_.clear();
  }
  const TView before = Read(OpenCursor("t"));
  cursors_.clear();
  TChildProcess child([&](TChannel& channel) {
    signal(SIGXFSZ, SIG_IGN);
    auto marked = std::make_shared<bool>(false);
    SetFaultHook([marked](const char* at) { *marked = *marked || std::string(at) == "commit-after-mark"; });
    TDataSession session(0);
    TDataDirectory* db = session.OpenDataDirectory("", dir_);
    TDataCursor c(db);
    c.SetTableName("t");
    c.Open();
    if (db->StartTransaction() != 0) return 2;
    DeadTransaction(c);
    rlimit cap{std::filesystem::file_size(dir_ + "t.DAT"), RLIM_INFINITY};
    setrlimit(RLIMIT_FSIZE, &cap);
    const uint16_t code = ErrorOf([&] { db->CommitTransaction(true, false); });
    cap.rlim_cur = RLIM_INFINITY;
    setrlimit(RLIMIT_FSIZE, &cap);
    if (code != 0) db->RollbackTransaction();
    channel.Send(code);
    channel.Send(*marked);
    c.Close();
    return 0;
  });
  const int code = child.Receive();
  const int marked = child.Receive();
  ASSERT_EQ(child.Join(), 0);
  ASSERT_EQ(code, VELDOR_WRITEERR) << "the commit did not fail as the disk filled";
  EXPECT_FALSE(marked) << "the commit failed after its journal was marked: it took effect";
  TDataCursor& c = OpenCursor("t", true);
  std::vector<std::string> problems = CheckTable(*c.Table());
  EXPECT_TRUE(problems.empty()) << problems.front();
  EXPECT_EQ(Read(c), before) << "a commit reported failed took effect";
}

// Programs that open the table and close it again, over and over, while this process
// commits one small transaction after another: every open looks for a journal beside the
// table just as the commits make and remove theirs. No commit or open may fail for it (but
// for a lock not had in time), and no commit reported failed may take effect.
TEST_F(CommitCaseTest, CommitsHoldWhileOtherProgramsOpenTheTable) {
  constexpr int kCommits = 300;
  constexpr int kOpeners = 3;
  void* shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  auto* stop = new (shared) std::atomic<int>(0);
  std::vector<std::unique_ptr<TChildProcess>> openers;
  for (int k = 0; k < kOpeners; ++k)
    openers.push_back(std::make_unique<TChildProcess>([&](TChannel& channel) {
      int32_t opens = 0, failed = 0, code = 0;
      while (stop->load() == 0) {
        TDataSession session(0);
        TDataDirectory* db = session.OpenDataDirectory("", dir_);
        TDataCursor c(db);
        c.SetTableName("t");
        const uint16_t error = ErrorOf([&] { c.Open(); });
        ++(error == 0 || error == VELDOR_LOCKTIMEOUT ? opens : failed);
        if (error != 0) code = error;
      }
      channel.Send(opens);
      channel.Send(failed);
      channel.Send(code);
      return 0;
    }));
  TDataCursor& c = OpenCursor("t");
  std::map<uint16_t, int> failures;
  std::vector<int32_t> committed, refused;
  for (int i = 0; i < kCommits; ++i) {
    ASSERT_EQ(db_->StartTransaction(), 0);
    const int32_t id = 10000 + i;
    uint16_t code = ErrorOf([&] {
      AddTo(c, 1 + i % 10, 0);
      Add(c, id, "c" + std::to_string(i), 100000 + i);
    });
    if (code == 0) code = ErrorOf([&] { db_->CommitTransaction(true, false); });
    if (code != 0) {
      db_->RollbackTransaction();
      ++failures[code];
    }
    (code == 0 ? committed : refused).push_back(id);
    // A pause between transactions, as a program takes between two of its commits.
    std::this_thread::sleep_for(std::chrono::microseconds(500 + i % 7 * 300));
  }
  stop->store(1);
  int32_t opens = 0;
  for (auto& opener : openers) {
    opens += opener->Receive();
    const int32_t failed = opener->Receive(), code = opener->Receive();
    EXPECT_EQ(failed, 0) << failed << " opens failed, the last with " << GetEngineErrorName(uint16_t(code));
    EXPECT_EQ(opener->Join(), 0);
  }
  for (const auto& [code, n] : failures)
    if (code != VELDOR_LOCKTIMEOUT)
      ADD_FAILURE() << n << " of " << kCommits << " commits failed with " << GetEngineErrorName(code) << " while "
                  << opens << " opens were made";
  cursors_.clear();
  TDataCursor& check = OpenCursor("t", true);
  std::vector<std::string> problems = CheckTable(*check.Table());
  EXPECT_TRUE(problems.empty()) << problems.front();
  int lost = 0, tookEffect = 0;
  for (int32_t id : committed) lost += Seek(check, id).empty();
  for (int32_t id : refused) tookEffect += !Seek(check, id).empty();
  EXPECT_EQ(lost, 0) << "commits reported OK that are not in the table";
  EXPECT_EQ(tookEffect, 0) << "of " << refused.size() << " commits reported failed, these are in the table";
}

}  // namespace
}  // namespace veldor::test
