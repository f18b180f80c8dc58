// The table journal: commits that survive a process killed at any point of the commit,
// transactions whose changes spill to the journal under a memory budget, recovery at open
// (replayed once, by a writer; a read-only open refuses; a damaged journal is discarded),
// and other processes that keep seeing only the committed table during a transaction.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "engine/journal.h"
#include "engine/table_check.h"
#include "lib/file_layer.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

constexpr int kBaseRecords = 200;
constexpr int kAppended = 300;
constexpr int kSpilled = 20000;
constexpr size_t kSmall = 64 << 10;
constexpr size_t kLarge = 64 << 20;

class JournalTest : public CursorTest {
 protected:
  void TearDown() override {
    SetFaultHook(nullptr);
    CursorTest::TearDown();
  }

  std::string JournalPath(const std::string& table) const { return dir_ + table + ".JNL"; }
  bool JournalExists(const std::string& table) const {
    return std::filesystem::exists(JournalPath(table));
  }

  // People with kBaseRecords records; every even one has a memo.
  void MakeBase(const std::string& name) {
    MakeTable(name, People());
    TDataCursor& c = OpenCursor(name);
    for (int i = 1; i <= kBaseRecords; ++i)
      Add(c, i, "n" + std::to_string(i), i * 10, i % 2 == 0 ? Memo(i, 300) : "");
    cursors_.clear();
  }

  static std::string Memo(int id, size_t length) {
    std::string out;
    while (out.size() < length) out += "memo " + std::to_string(id) + " ";
    out.resize(length);
    return out;
  }

  // One transaction of every kind of change: appends with memos of several blocks, field
  // and memo modifies that move index keys, deletes of records with memos.
  void Transaction(TDataDirectory* db, TDataCursor& c, bool commit = true) {
    ASSERT_EQ(db->StartTransaction(), 0);
    for (int i = 1; i <= appended_; ++i) {
      const int id = 1000 + i;
      Add(c, id, "a" + std::to_string(id % 37), 100000 + id, i % 29 == 0 ? Memo(id, 1500) : "");
    }
    std::vector<uint8_t> image(c.RecordSize());
    c.SetIndexName("");
    c.SetToBegin();
    while (c.GetNextRecord(image.data()) == 0) {
      const int32_t id = IntOf(c, image.data(), "Id");
      if (id > 70) break;
      if (id <= 40) {
        PutText(c, image, "Name", "m" + std::to_string(id));
        PutInt(c, image, "Amount", 200000 + id);
        const uint16_t f = c.FieldNumber("Memo");
        ASSERT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerEngine, false, kBlobWrite), 0);
        ASSERT_EQ(c.TruncateBlob(f, image.data(), false, 0), 0);
        const std::string memo = Memo(id + 5000, 900);
        ASSERT_EQ(c.PutBlob(f, image.data(), false, 0, uint32_t(memo.size()), memo.data()), 0);
        c.ModifyRecord(image.data());
      } else {
        c.DeleteRecord(image.data());
      }
    }
    if (commit) db->CommitTransaction(true, false);
  }

  // Every record in primary order with its fields and memo, then the Ids in each
  // secondary order: what a reader of the table can see.
  std::vector<std::string> Dump(const std::string& name) {
    TDataCursor& c = OpenCursor(name);
    std::vector<std::string> out;
    std::vector<uint8_t> image(c.RecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(image.data()) == 0) {
      std::ostringstream line;
      line << IntOf(c, image.data(), "Id") << '|' << TextOf(c, image.data(), "Name") << '|'
           << IntOf(c, image.data(), "Amount") << '|' << MemoOf(c, image);
      out.push_back(line.str());
    }
    for (const char* index : {"ByName", "ByAmount"}) {
      c.SetIndexName(index);
      std::ostringstream line;
      line << index << ':';
      for (int32_t id : Ids(c)) line << id << ',';
      out.push_back(line.str());
    }
    return out;
  }

  std::vector<std::string> CheckProblems(const std::string& name) {
    TDataCursor& c = OpenCursor(name, true);
    std::vector<std::string> problems = CheckTable(*c.Table());
    cursors_.clear();
    return problems;
  }

  // The state before and after the transaction, made on a table of its own in this
  // process, so that a crash test can tell which one it finds.
  void ExpectedStates(std::vector<std::string>& before, std::vector<std::string>& after) {
    MakeBase("model");
    before = Dump("model");
    cursors_.clear();
    {
      TDataCursor& c = OpenCursor("model");
      Transaction(db_, c);
    }
    cursors_.clear();
    after = Dump("model");
    cursors_.clear();
    ASSERT_NE(before, after);
  }

  // A child that runs the transaction on `name` in a session of its own, with the given
  // budget, and dies by SIGKILL at the `pass`-th passage of fault point `point` ("during":
  // after the changes, before the commit). Returns the child's Join result.
  int RunChild(const std::string& name, size_t budget, const std::string& point, int pass) {
    cursors_.clear();
    TChildProcess child([&](TChannel&) {
      auto passes = std::make_shared<std::atomic<int>>(0);
      SetFaultHook([point, pass, passes](const char* at) {
        if (point == at && ++*passes == pass) kill(getpid(), SIGKILL);
      });
      TDataSession session(0);
      session.SetTransactionMemory(budget);
      TDataDirectory* db = session.OpenDataDirectory("", dir_);
      TDataCursor c(db);
      c.SetTableName(name);
      c.Open();
      Transaction(db, c, point != "during");
      if (point == "during") kill(getpid(), SIGKILL);
      c.Close();
      return 0;
    });
    return child.Join();
  }

  // Records the transaction appends: enough to fill the record cache when spills are
  // wanted (with a small budget), a few hundred otherwise.
  int appended_ = kAppended;
};

// The journal's overlay against a byte-vector model: random writes (repeated ranges,
// overlapping ranges, ranges past the end), set ends and reads through the handler, then
// the commit's copy (the file becomes the model) or a discard (the file stays as it was).
TEST_F(JournalTest, OverlayAgreesWithAModel) {
  int mappedCopies = 0;
  for (uint32_t seed = 1; seed <= 10; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto below = [&](int64_t n) { return int64_t(random() % uint64_t(n)); };
    // The later seeds write larger ranges: the journal's new entries then pass through its
    // tail into the file, and some ranges lie partly in each.
    const int64_t scale = seed > 6 ? 80 : 1;
    const std::string path = dir_ + "model.bin";
    std::vector<uint8_t> original(size_t((5000 + below(5000)) * scale));
    for (uint8_t& b : original) b = uint8_t(random());
    WriteWholeFile(path, original);
    std::vector<uint8_t> model = original;
    TFileHandler file(path);
    file.Open();
    {
      TJournal journal(JournalPath("model"), {&file, nullptr, nullptr}, "model");
      journal.Attach();
      std::vector<std::pair<int64_t, size_t>> ranges;  // earlier writes, to repeat some
      for (int op = 0; op < 400; ++op) {
        const int kind = int(below(10));
        if (kind < 5) {
          int64_t at = below(int64_t(model.size()) + 3000 * scale);
          size_t length = size_t(1 + below(700 * scale));
          if (!ranges.empty() && below(3) == 0) std::tie(at, length) = ranges[size_t(below(int64_t(ranges.size())))];
          ranges.emplace_back(at, length);
          std::vector<uint8_t> bytes(length);
          for (uint8_t& b : bytes) b = uint8_t(random());
          file.Seek(kSeekFromStart, at);
          file.Write(bytes.data(), length);
          if (model.size() < size_t(at) + length) model.resize(size_t(at) + length, 0);
          std::copy(bytes.begin(), bytes.end(), model.begin() + at);
        } else if (kind == 5) {
          const int64_t end = below(int64_t(model.size()) + 2000);
          file.Seek(kSeekFromStart, end);
          file.Write(nullptr, 0);
          model.resize(size_t(end), 0);
        } else if (kind == 6) {
          // A copy of slots from the file's mapping is either refused or the overlay's bytes.
          const size_t slot = size_t(1 + below(64));
          std::vector<int64_t> at(4);
          for (int64_t& a : at) a = below(int64_t(model.size()) + 500);
          std::vector<uint8_t> got(at.size() * slot, 0xEE);
          if (file.CopyMappedSlots(at.data(), at.size(), slot, got.data())) {
            ++mappedCopies;
            for (size_t i = 0; i < at.size(); ++i) {
              ASSERT_LE(at[i] + int64_t(slot), int64_t(model.size())) << "op " << op;
              ASSERT_TRUE(std::equal(got.begin() + int64_t(i * slot), got.begin() + int64_t((i + 1) * slot),
                                     model.begin() + at[i])) << "op " << op;
            }
          }
        } else {
          const int64_t at = below(int64_t(model.size()) + 500);
          std::vector<uint8_t> got(size_t(1 + below(2000 * scale)), 0xEE);
          file.Seek(kSeekFromStart, at);
          const size_t n = file.Read(got.data(), got.size(), true);
          const size_t expected = size_t(std::clamp<int64_t>(int64_t(model.size()) - at, 0, int64_t(got.size())));
          ASSERT_EQ(n, expected) << "op " << op;
          ASSERT_TRUE(std::equal(got.begin(), got.begin() + int64_t(n), model.begin() + at)) << "op " << op;
        }
        ASSERT_EQ(file.Size(), int64_t(model.size()));
      }
      // Nothing reached the file itself.
      ASSERT_EQ(ReadWholeFile(path), original);
      if (seed % 2 == 0) {
        journal.Discard();
        EXPECT_EQ(ReadWholeFile(path), original);
      } else {
        journal.Commit();
        EXPECT_EQ(ReadWholeFile(path), model);
      }
      EXPECT_FALSE(JournalExists("model"));
    }
    file.Close();
  }
}

// Copies through the file's mapping go on where the journal holds none of the bytes, and
// stop where it holds some or cut the file.
TEST_F(JournalTest, MappedCopiesSkipWhatTheJournalHolds) {
  const std::string path = dir_ + "mapped.bin";
  std::vector<uint8_t> original(size_t(1) << 20);
  for (size_t i = 0; i < original.size(); ++i) original[i] = uint8_t(i * 7 + i / 4096);
  WriteWholeFile(path, original);
  TFileHandler file(path);
  file.Open();
  TJournal journal(JournalPath("mapped"), {&file, nullptr, nullptr}, "mapped");
  journal.Attach();
  const std::vector<uint8_t> changed(100, 0xAB);
  file.Seek(kSeekFromStart, 8192 + 50);
  file.Write(changed.data(), changed.size());
  file.Seek(kSeekFromStart, 900000);
  file.Write(nullptr, 0);  // the rest of the file is cut off
  // Untouched slots, enough of them for the mapping to be made, come from it.
  std::vector<int64_t> untouched;
  for (int64_t at = 16384; at + 4096 <= 900000; at += 4096) untouched.push_back(at);
  std::vector<uint8_t> out(untouched.size() * 4096);
  ASSERT_TRUE(file.CopyMappedSlots(untouched.data(), untouched.size(), 4096, out.data()));
  for (size_t i = 0; i < untouched.size(); ++i)
    ASSERT_TRUE(std::equal(out.begin() + int64_t(i * 4096), out.begin() + int64_t((i + 1) * 4096),
                           original.begin() + untouched[i]));
  // A slot with journaled bytes, or past the cut, is refused; a read gives the journal's view.
  for (int64_t at : {int64_t(8192), int64_t(8192 + 149), int64_t(900000 - 10), int64_t(950000)}) {
    SCOPED_TRACE(at);
    std::vector<uint8_t> slot(64);
    EXPECT_FALSE(file.CopyMappedSlots(&at, 1, slot.size(), slot.data()));
  }
  std::vector<uint8_t> page(4096);
  file.Seek(kSeekFromStart, 8192);
  ASSERT_EQ(file.Read(page.data(), page.size(), true), page.size());
  EXPECT_EQ(page[50], 0xAB);
  EXPECT_EQ(page[150], original[8192 + 150]);
  journal.Discard();
  file.Close();
}

struct TCrashCase {
  const char* Point;
  int Pass;
  bool Committed;  // the transaction must be found whole (else: not at all)
  size_t Budget;
};

class CrashCases : public JournalTest, public ::testing::WithParamInterface<TCrashCase> {};

TEST_P(CrashCases, ReopenedTableHoldsTheWholeTransactionOrNoneOfIt) {
  const TCrashCase& p = GetParam();
  if (p.Budget == kSmall) appended_ = kSpilled / 3;
  std::vector<std::string> before, after;
  ExpectedStates(before, after);
  MakeBase("t");
  const int status = RunChild("t", p.Budget, p.Point, p.Pass);
  if (std::string(p.Point).empty()) {
    ASSERT_EQ(status, 0);
    EXPECT_FALSE(JournalExists("t"));
  } else {
    ASSERT_EQ(status, -1) << "the child was not killed at " << p.Point;
    // Killed inside the transaction, the spilled changes are in a journal without a mark.
    if (std::string(p.Point) == "during") {
      EXPECT_TRUE(JournalExists("t"));
    }
  }
  // Opening the table recovers it; the journal is gone afterwards either way.
  EXPECT_EQ(Dump("t"), p.Committed ? after : before);
  cursors_.clear();
  EXPECT_FALSE(JournalExists("t"));
  std::vector<std::string> problems = CheckProblems("t");
  EXPECT_TRUE(problems.empty()) << problems.front();
}

INSTANTIATE_TEST_SUITE_P(
    Points, CrashCases,
    ::testing::Values(TCrashCase{"", 0, true, kLarge}, TCrashCase{"", 0, true, kSmall},
                      TCrashCase{"during", 0, false, kSmall},
                      TCrashCase{"commit-before-mark", 1, false, kLarge},
                      TCrashCase{"commit-before-mark", 1, false, kSmall},
                      TCrashCase{"commit-after-mark", 1, true, kLarge},
                      TCrashCase{"commit-after-mark", 1, true, kSmall},
                      TCrashCase{"commit-copy", 1, true, kLarge},
                      TCrashCase{"commit-copy", 5, true, kSmall},
                      TCrashCase{"commit-before-remove", 1, true, kLarge},
                      TCrashCase{"commit-before-remove", 1, true, kSmall}),
    [](const ::testing::TestParamInfo<TCrashCase>& info) {
      std::string name = *info.param.Point ? info.param.Point : "none";
      for (char& ch : name)
        if (ch == '-') ch = '_';
      return name + "_" + std::to_string(info.param.Pass) +
             (info.param.Budget == kSmall ? "_spilled" : "_inMemory");
    });

// A change made atomic on a table opened exclusively, as maintenance makes its changes:
// appends that spill from the caches, deletes and an emptied-then-refilled variant. A
// child killed at any point leaves the table as before the change or, from the mark on, as
// after it; the same change run in this process gives the two states to compare with.
TEST_F(JournalTest, AtomicChangeOfAnExclusiveTableIsWholeOrAbsentAfterAKill) {
  auto change = [&](TDataCursor& c, bool empty) {
    c.Table()->BeginAtomicChange();
    if (empty) c.EmptyTable();
    for (int i = 1; i <= 3000; ++i)
      Add(c, 5000 + i, "z" + std::to_string(i % 41), 500000 + i, i % 97 == 0 ? Memo(i, 2000) : "");
    std::vector<uint8_t> image(c.RecordSize());
    c.SetIndexName("");
    c.SetToBegin();
    for (int n = 0; n < 50 && c.GetNextRecord(image.data()) == 0; ++n) c.DeleteRecord(image.data());
    c.Table()->CommitAtomicChange();
  };
  struct TCase {
    const char* Point;
    int Pass;
    bool Committed;
  };
  const TCase cases[] = {{"", 0, true},
                         {"during", 0, false},
                         {"commit-before-mark", 1, false},
                         {"commit-after-mark", 1, true},
                         {"commit-copy", 3, true},
                         {"commit-before-remove", 1, true}};
  for (bool empty : {false, true}) {
    MakeBase("model");
    const std::vector<std::string> before = Dump("model");
    cursors_.clear();
    change(OpenCursor("model", true), empty);
    cursors_.clear();
    const std::vector<std::string> after = Dump("model");
    cursors_.clear();
    ASSERT_NE(before, after);
    for (const TCase& k : cases) {
      SCOPED_TRACE(std::string(k.Point) + (empty ? " (emptied first)" : ""));
      for (const auto& entry : std::filesystem::directory_iterator(dir_))
        if (entry.path().filename().string().rfind("t.", 0) == 0) std::filesystem::remove(entry);
      MakeBase("t");
      const std::string point = k.Point;
      const int pass = k.Pass;
      TChildProcess child([&](TChannel&) {
        auto passes = std::make_shared<std::atomic<int>>(0);
        SetFaultHook([point, pass, passes](const char* at) {
          if (point == at && ++*passes == pass) kill(getpid(), SIGKILL);
        });
        TDataSession session(0);
        TDataDirectory* db = session.OpenDataDirectory("", dir_);
        TDataCursor c(db);
        c.SetTableName("t");
        c.SetExclusive(true);
        c.Open();
        if (point == "during") {
          c.Table()->BeginAtomicChange();
          if (empty) c.EmptyTable();
          for (int i = 1; i <= 3000; ++i) Add(c, 5000 + i, "z", 500000 + i, "");
          kill(getpid(), SIGKILL);
        }
        change(c, empty);
        c.Close();
        return 0;
      });
      ASSERT_EQ(child.Join(), point.empty() ? 0 : -1);
      EXPECT_EQ(Dump("t"), k.Committed ? after : before);
      cursors_.clear();
      EXPECT_FALSE(JournalExists("t"));
      std::vector<std::string> problems = CheckProblems("t");
      EXPECT_TRUE(problems.empty()) << problems.front();
    }
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      if (entry.path().filename().string().rfind("model.", 0) == 0) std::filesystem::remove(entry);
  }
}

// A full disk, played by a file size limit (a write past it fails with EFBIG), at every
// step of a transaction's commit and of an insert with a memo outside a transaction: the
// limit is swept from the files' size up past what the change needs. Whatever the limit,
// a change reported done is whole in the table and one reported failed is absent, and the
// table stays sound with no journal left beside it.
TEST_F(JournalTest, FullDiskLeavesTheChangeWholeOrAbsentAsReported) {
  auto largestFile = [&](const std::string& table) {
    int64_t largest = 0;
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
      std::error_code error;
      const auto size = std::filesystem::file_size(dir_ + table + ext, error);
      if (!error) largest = std::max(largest, int64_t(size));
    }
    return largest;
  };
  const std::string bigMemo = Memo(99999, 60000);
  struct TChange {
    const char* Name;
    std::function<void(TDataDirectory*, TDataCursor&)> Run;
  };
  const TChange changes[] = {
      {"transaction", [&](TDataDirectory* db, TDataCursor& c) { Transaction(db, c); }},
      {"insert with a memo", [&](TDataDirectory*, TDataCursor& c) { Add(c, 99999, "big", 999999, bigMemo); }},
  };
  for (const TChange& change : changes) {
    SCOPED_TRACE(change.Name);
    MakeBase("model");
    const std::vector<std::string> before = Dump("model");
    const int64_t low = largestFile("model");
    cursors_.clear();
    change.Run(db_, OpenCursor("model"));
    cursors_.clear();
    const std::vector<std::string> after = Dump("model");
    cursors_.clear();
    const int64_t high = largestFile("model") * 3;
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      if (entry.path().filename().string().rfind("model.", 0) == 0) std::filesystem::remove(entry);
    int done = 0, refused = 0;
    constexpr int kSteps = 14;
    for (int step = 0; step <= kSteps; ++step) {
      const int64_t limit = low + (high - low) * step / kSteps;
      SCOPED_TRACE("file size limit " + std::to_string(limit));
      for (const auto& entry : std::filesystem::directory_iterator(dir_))
        if (entry.path().filename().string().rfind("t.", 0) == 0) std::filesystem::remove(entry);
      MakeBase("t");
      cursors_.clear();
      TChildProcess child([&](TChannel& channel) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit r{rlim_t(limit), rlim_t(limit)};
        setrlimit(RLIMIT_FSIZE, &r);
        TDataSession session(0);
        TDataDirectory* db = session.OpenDataDirectory("", dir_);
        TDataCursor c(db);
        c.SetTableName("t");
        c.Open();
        try {
          change.Run(db, c);
        } catch (const EVELDOREngineError& e) {
          if (db->InTransaction()) db->RollbackTransaction();
          channel.Send(int32_t(e.ErrorCode));
          return 1;
        }
        c.Close();
        return 0;
      });
      const int status = child.Join();
      ASSERT_TRUE(status == 0 || status == 1) << "child ended with " << status;
      (status == 0 ? done : refused) += 1;
      EXPECT_EQ(Dump("t"), status == 0 ? after : before);
      cursors_.clear();
      EXPECT_FALSE(JournalExists("t"));
      std::vector<std::string> problems = CheckProblems("t");
      EXPECT_TRUE(problems.empty()) << problems.front();
    }
    // The sweep reached both sides.
    EXPECT_GT(done, 0);
    EXPECT_GT(refused, 0);
  }
}

// A journal killed right after its mark, then damaged: without a sound mark it is never
// replayed, not even partly, and the table stays as it was.
TEST_F(JournalTest, DamagedJournalIsDiscardedWhole) {
  struct TDamage {
    const char* Name;
    std::function<void(std::vector<uint8_t>&)> Apply;
  };
  const TDamage damages[] = {
      {"torn tail", [](std::vector<uint8_t>& j) { j.resize(j.size() - 1); }},
      {"mark only half written", [](std::vector<uint8_t>& j) { j.resize(j.size() - 12); }},
      {"body byte flipped", [](std::vector<uint8_t>& j) { j[j.size() / 2] ^= 0x40; }},
      {"checksum flipped", [](std::vector<uint8_t>& j) { j[j.size() - 8] ^= 1; }},
      {"length off", [](std::vector<uint8_t>& j) { j[j.size() - 16] ^= 2; }},
      {"header magic", [](std::vector<uint8_t>& j) { j[0] = 'X'; }},
      {"empty", [](std::vector<uint8_t>& j) { j.clear(); }},
  };
  std::vector<std::string> before, after;
  ExpectedStates(before, after);
  for (const TDamage& damage : damages) {
    SCOPED_TRACE(damage.Name);
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      if (entry.path().filename().string().rfind("t.", 0) == 0) std::filesystem::remove(entry);
    MakeBase("t");
    ASSERT_EQ(RunChild("t", kLarge, "commit-after-mark", 1), -1);
    std::vector<uint8_t> journal = ReadWholeFile(JournalPath("t"));
    ASSERT_GT(journal.size(), kJournalHeaderSize + kJournalMarkSize);
    damage.Apply(journal);
    WriteWholeFile(JournalPath("t"), journal);
    EXPECT_EQ(Dump("t"), before);
    EXPECT_FALSE(cursors_.back()->Table()->JournalReplayed());
    cursors_.clear();
    EXPECT_FALSE(JournalExists("t"));
    std::vector<std::string> problems = CheckProblems("t");
    EXPECT_TRUE(problems.empty()) << problems.front();
  }
}

// A committed journal that does not fit the table (an entry for a BLOB file the table
// lacks) is damage: the open fails cleanly and writes nothing.
TEST_F(JournalTest, CommittedJournalThatDoesNotFitTheTableIsRefused) {
  MakeBase("t");
  std::vector<uint8_t> before = ReadWholeFile(dir_ + "t.DAT");
  std::vector<uint8_t> j(kJournalHeaderSize, 0);
  std::memcpy(j.data(), "VELDORJN", 8);
  j[8] = 1;
  std::vector<uint8_t> entry(kJournalEntryHeaderSize + 4, 0);
  entry[0] = 1;
  entry[1] = 7;  // no such file
  entry[4] = 4;
  j.insert(j.end(), entry.begin(), entry.end());
  std::vector<uint8_t> mark(kJournalMarkSize, 0);
  std::memcpy(mark.data(), "COMMITJN", 8);
  StoreI64(&mark[8], int64_t(j.size()));
  StoreU32(&mark[16], Crc32(0, j.data(), j.size()));
  std::memcpy(&mark[20], "VJCM", 4);
  j.insert(j.end(), mark.begin(), mark.end());
  WriteWholeFile(JournalPath("t"), j);
  EXPECT_EQ(ErrorOf([&] { OpenCursor("t"); }), VELDOR_FILECORRUPT);
  cursors_.clear();
  EXPECT_EQ(ReadWholeFile(dir_ + "t.DAT"), before);
  EXPECT_TRUE(JournalExists("t"));
}

TEST_F(JournalTest, ReadOnlyOpenRefusesACommittedJournalAndWritesNothing) {
  std::vector<std::string> before, after;
  ExpectedStates(before, after);
  MakeBase("t");
  ASSERT_EQ(RunChild("t", kSmall, "commit-after-mark", 1), -1);
  const std::vector<uint8_t> journal = ReadWholeFile(JournalPath("t"));
  const std::vector<uint8_t> data = ReadWholeFile(dir_ + "t.DAT");
  cursors_.push_back(std::make_unique<TDataCursor>(db_));
  cursors_.back()->SetTableName("t");
  cursors_.back()->SetReadOnly(true);
  EXPECT_EQ(ErrorOf([&] { cursors_.back()->Open(); }), VELDOR_FILENOACCESS);
  cursors_.clear();
  EXPECT_EQ(ReadWholeFile(JournalPath("t")), journal);
  EXPECT_EQ(ReadWholeFile(dir_ + "t.DAT"), data);
  // A writer finishes the commit.
  EXPECT_EQ(Dump("t"), after);
  EXPECT_TRUE(cursors_.back()->Table()->JournalReplayed());
}

// Two processes open the table left by a dead commit at the same moment: one replays it,
// and both see the committed state.
TEST_F(JournalTest, TwoProcessesOpeningAtOnceReplayOnce) {
  std::vector<std::string> before, after;
  ExpectedStates(before, after);
  MakeBase("t");
  ASSERT_EQ(RunChild("t", kLarge, "commit-copy", 3), -1);
  const int64_t committedCount = int64_t(after.size()) - 2;  // the dump's two index lines
  std::vector<std::unique_ptr<TChildProcess>> openers;
  for (int k = 0; k < 2; ++k) {
    openers.push_back(std::make_unique<TChildProcess>([&](TChannel& channel) {
      channel.Receive();
      TDataSession session(0);
      TDataDirectory* db = session.OpenDataDirectory("", dir_);
      TDataCursor c(db);
      c.SetTableName("t");
      c.Open();
      const bool replayed = c.Table()->JournalReplayed();
      const int64_t count = c.GetRecordCount();
      c.Close();
      return (replayed ? 10 : 0) + (count == committedCount ? 1 : 0);
    }));
  }
  for (auto& opener : openers) opener->Send(1);
  int replayedBy = 0;
  for (auto& opener : openers) {
    const int status = opener->Join();
    EXPECT_EQ(status % 10, 1);
    replayedBy += status / 10;
  }
  EXPECT_EQ(replayedBy, 1);
  EXPECT_FALSE(JournalExists("t"));
  EXPECT_EQ(Dump("t"), after);
}

// Under a small budget a large transaction keeps its memory bounded: its changes go to
// the journal and are read back from it, other processes see only the committed table
// meanwhile, and a rollback leaves the files as they were.
TEST_F(JournalTest, LargeTransactionSpillsAndOthersSeeOnlyTheCommittedTable) {
  MakeBase("t");
  session_->SetTransactionMemory(kSmall);
  const std::vector<uint8_t> dataBefore = ReadWholeFile(dir_ + "t.DAT");
  const std::vector<uint8_t> indexBefore = ReadWholeFile(dir_ + "t.IDX");

  TChildProcess reader([&](TChannel& channel) {
    int result = 0;
    for (int32_t expected; (expected = channel.Receive()) > 0;) {
      TDataSession session(0);
      TDataDirectory* db = session.OpenDataDirectory("", dir_);
      TDataCursor c(db);
      c.SetTableName("t");
      c.Open();
      c.SetIndexName("ByAmount");
      std::vector<uint8_t> image(c.RecordSize());
      int32_t seen = 0;
      c.SetToBegin();
      while (c.GetNextRecord(image.data()) == 0) ++seen;
      if (seen != expected || c.GetRecordCount() != expected) result = 1;
      c.Close();
      channel.Send(seen);
    }
    return result;
  });

  for (bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    TDataCursor& c = OpenCursor("t");
    ASSERT_EQ(db_->StartTransaction(), 0);
    for (int i = 1; i <= kSpilled; ++i)
      Add(c, 10000 + i, "x" + std::to_string(i % 101), 500000 + i, i % 40 == 0 ? Memo(i, 2500) : "");
    TDataTable& table = *c.Table();
    EXPECT_GT(table.JournalSize(), 0);
    EXPECT_TRUE(JournalExists("t"));
    // The caches stay small (the budget, or at least the record cache's ordinary size and a
    // few pages per index) instead of growing with the transaction.
    EXPECT_LT(table.CachedBytes(), size_t(5) << 20);
    EXPECT_EQ(c.GetRecordCount(), kBaseRecords + kSpilled);
    // This process reads its spilled changes back through the journal.
    c.SetIndexName("ByAmount");
    EXPECT_EQ(Ids(c).size(), size_t(kBaseRecords + kSpilled));
    int memos = 0;
    std::vector<uint8_t> image(c.RecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(image.data()) == 0) {
      const int32_t i = IntOf(c, image.data(), "Id") - 10000;
      if (i <= 0 || i % 40 != 0) continue;
      ASSERT_EQ(MemoOf(c, image), Memo(i, 2500));
      ++memos;
    }
    EXPECT_EQ(memos, kSpilled / 40);
    reader.Send(kBaseRecords);
    EXPECT_EQ(reader.Receive(), kBaseRecords);
    if (commit) {
      db_->CommitTransaction(true, false);
    } else {
      db_->RollbackTransaction();
      EXPECT_EQ(ReadWholeFile(dir_ + "t.DAT"), dataBefore);
      EXPECT_EQ(ReadWholeFile(dir_ + "t.IDX"), indexBefore);
    }
    EXPECT_FALSE(JournalExists("t"));
    cursors_.clear();
  }
  reader.Send(kBaseRecords + kSpilled);
  EXPECT_EQ(reader.Receive(), kBaseRecords + kSpilled);
  reader.Send(0);
  EXPECT_EQ(reader.Join(), 0);
  std::vector<std::string> problems = CheckProblems("t");
  EXPECT_TRUE(problems.empty()) << problems.front();
}

// The commit mark's checksum is the standard CRC-32, also when fed in pieces.
TEST(JournalChecksum, IsTheStandardCrc32) {
  const std::string check = "123456789";
  const auto* bytes = reinterpret_cast<const uint8_t*>(check.data());
  EXPECT_EQ(Crc32(0, bytes, check.size()), 0xCBF43926u);
  EXPECT_EQ(Crc32(Crc32(0, bytes, 4), bytes + 4, 5), 0xCBF43926u);
  EXPECT_EQ(Crc32(0, bytes, 0), 0u);
}

// Over its budget, a transaction's caches hold what the budget allows, all through it: the
// records and pages that do not fit wait in the journal.
TEST_F(JournalTest, TransactionCachesStayWithinTheBudget) {
  constexpr size_t kBudget = size_t(2) << 20;
  MakeBase("t");
  session_->SetTransactionMemory(kBudget);
  TDataCursor& c = OpenCursor("t");
  TDataTable& table = *c.Table();
  ASSERT_EQ(db_->StartTransaction(), 0);
  size_t most = 0;
  for (int i = 1; i <= 60000; ++i) {
    Add(c, 10000 + (i * 7919) % 60000, "x" + std::to_string(i * 31 % 1009), 500000 + i, "");
    if (i % 500 == 0) most = std::max(most, table.CachedBytes());
  }
  EXPECT_GT(table.JournalSize(), 0);
  EXPECT_LE(most, kBudget + kBudget / 16) << "most bytes cached: " << most;
  db_->CommitTransaction(true, false);
  cursors_.clear();
  EXPECT_EQ(OpenCursor("t").GetRecordCount(), kBaseRecords + 60000);
  cursors_.clear();
  std::vector<std::string> problems = CheckProblems("t");
  EXPECT_TRUE(problems.empty()) << problems.front();
}

// A journal that cannot grow (a full disk; here a file size limit) fails the write that
// needed it, and only that write: once there is room again, the transaction goes on from
// where it was and commits a sound table with every change made before the failure. With
// no room, the commit fails and a rollback leaves the table as it was.
TEST_F(JournalTest, AJournalThatCannotGrowFailsOneWriteAndLosesNothing) {
  // Room for the journal from a few entries to megabytes: the write that fails is a
  // record's, or a page's in the middle of an insert.
  for (rlim_t room : {rlim_t(20) << 10, rlim_t(300) << 10, rlim_t(1) << 20, rlim_t(3) << 20}) {
    for (bool roomAgain : {true, false}) {
      SCOPED_TRACE("room " + std::to_string(room) + (roomAgain ? ", then more" : ""));
      std::filesystem::remove_all(dir_);
      std::filesystem::create_directory(dir_);
      MakeBase("t");
      const std::vector<std::string> before = Dump("t");
      cursors_.clear();
      const rlim_t limit = rlim_t(std::max(std::filesystem::file_size(dir_ + "t.DAT"),
                                           std::filesystem::file_size(dir_ + "t.IDX"))) + room;
      TChildProcess child([&](TChannel& channel) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit cap{limit, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &cap);
        TDataSession session(0);
        session.SetTransactionMemory(kSmall);
        TDataDirectory* db = session.OpenDataDirectory("", dir_);
        TDataCursor c(db);
        c.SetTableName("t");
        c.Open();
        db->StartTransaction();
        int added = 0;
        try {
          for (int i = 1; i <= 200000; ++i, ++added)
            Add(c, 10000 + i, "x" + std::to_string(i % 101), 500000 + i, "");
          return 2;  // the limit was never reached
        } catch (const EVELDOREngineError& e) {
          if (e.ErrorCode != VELDOR_WRITEERR) return 3;
        }
        int committed = 0;
        if (roomAgain) {
          cap.rlim_cur = RLIM_INFINITY;
          setrlimit(RLIMIT_FSIZE, &cap);
          // Everything before the failed write is there, and nothing of it.
          if (c.GetRecordCount() != kBaseRecords + added) return 4;
          c.SetIndexName("ByAmount");
          if (Ids(c).size() != size_t(kBaseRecords + added)) return 5;
          db->CommitTransaction(true, false);
          committed = 1;
        } else {
          try {
            db->CommitTransaction(true, false);
            return 6;  // the commit cannot have been written
          } catch (const EVELDOREngineError&) {
            db->RollbackTransaction();
          }
        }
        channel.Send(committed);
        channel.Send(added);
        c.Close();
        return 0;
      });
      const int committed = child.Receive();
      const int added = child.Receive();
      ASSERT_EQ(child.Join(), 0);
      EXPECT_FALSE(JournalExists("t"));
      std::vector<std::string> problems = CheckProblems("t");
      EXPECT_TRUE(problems.empty()) << problems.front();
      if (committed) {
        EXPECT_EQ(OpenCursor("t").GetRecordCount(), kBaseRecords + added);
      } else {
        EXPECT_EQ(Dump("t"), before);
      }
      cursors_.clear();
    }
  }
}

// Inside a transaction nothing reaches the table files before the commit: a reader holding
// its lock in another process does not hold up the transaction's writes, only its commit.
TEST_F(JournalTest, ReaderHoldingItsLockDoesNotHoldUpATransaction) {
  MakeBase("t");
  TChildProcess reader([&](TChannel& channel) {
    TDataSession session(0);
    TDataDirectory* db = session.OpenDataDirectory("", dir_);
    TDataCursor c(db);
    c.SetTableName("t");
    c.Open();
    c.Table()->ReadLock();
    channel.Send(c.Table()->ReadLocked() ? 1 : 0);
    channel.Receive();
    c.Table()->ReadUnlock();
    channel.Send(1);
    channel.Receive();
    return 0;
  });
  ASSERT_EQ(reader.Receive(), 1);
  TDataCursor& c = OpenCursor("t");
  // Were the writes to wait for the reader, they would fail with VELDOR_LOCKTIMEOUT.
  ASSERT_EQ(db_->StartTransaction(), 0);
  for (int i = 1; i <= 50; ++i) Add(c, 5000 + i, "r" + std::to_string(i), 900000 + i, i % 10 == 0 ? Memo(i, 700) : "");
  std::vector<uint8_t> image(c.RecordSize());
  c.SetToBegin();
  ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  c.DeleteRecord(image.data());
  reader.Send(1);
  ASSERT_EQ(reader.Receive(), 1);
  db_->CommitTransaction(true, false);
  EXPECT_EQ(c.GetRecordCount(), kBaseRecords + 50 - 1);
  reader.Send(0);
  EXPECT_EQ(reader.Join(), 0);
}

// Journaled writes outside transactions: every write-back is a commit of its own, so a
// process killed in one leaves the table sound with or without that write.
TEST_F(JournalTest, JournaledWriteOutsideTransactionsIsWholeOrAbsent) {
  MakeBase("t");
  for (const char* point : {"commit-before-mark", "commit-copy"}) {
    SCOPED_TRACE(point);
    cursors_.clear();
    TChildProcess child([&](TChannel&) {
      SetFaultHook([point](const char* at) {
        if (std::string(point) == at) kill(getpid(), SIGKILL);
      });
      TDataSession session(0);
      session.SetJournaledWrites(true);
      TDataDirectory* db = session.OpenDataDirectory("", dir_);
      TDataCursor c(db);
      c.SetTableName("t");
      c.Open();
      Add(c, 99999, "journaled", 99999, Memo(99999, 2000));
      c.Close();
      return 0;
    });
    ASSERT_EQ(child.Join(), -1);
    TDataCursor& c = OpenCursor("t");
    const int64_t count = c.GetRecordCount();
    EXPECT_EQ(count, std::string(point) == "commit-copy" ? kBaseRecords + 1 : kBaseRecords);
    cursors_.clear();
    std::vector<std::string> problems = CheckProblems("t");
    EXPECT_TRUE(problems.empty()) << problems.front();
  }
}

}  // namespace
}  // namespace veldor::test
