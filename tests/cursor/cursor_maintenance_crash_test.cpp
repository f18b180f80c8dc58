// Table maintenance killed at chosen moments and run out of disk space: every operation
// (adding, dropping and rebuilding indexes, emptying, the three kinds of restructure,
// renaming and dropping a table) leaves the table, once opened again, sound and as it was
// before the operation or as after it, with no file of the operation left beside it; a
// maintenance still running keeps other processes out; a reader changes nothing.

#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/maintenance_record.h"
#include "engine/table_check.h"
#include "lib/byte_order.h"
#include "lib/file_layer.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

constexpr int kRecords = 3000;
constexpr int kNameRepeat = 400;  // Name repeats every 400 records: a unique index on it removes records

// An operation on table "t" of `db`; `Progress` is installed as its progress hook where it
// has one (the tests kill it from there).
struct TOperation {
  const char* Name;
  std::function<void(TDataDirectory* db)> Run;
  const char* TableAfter;  // the table's name afterwards; nullptr: the table is gone
};

class MaintenanceCrashTest : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    session_->SetPrivateDirectory(dir_);
    base_ = dir_ + "base/";
    std::filesystem::create_directory(base_);
  }
  void TearDown() override {
    SetFaultHook(nullptr);
    CursorTest::TearDown();
  }

  static void Progress(int) { FaultPoint("test-progress"); }

  static std::unique_ptr<TDataCursor> Closed(TDataDirectory* db, const std::string& name = "t") {
    auto c = std::make_unique<TDataCursor>(db);
    c->SetTableName(name);
    c->SetExclusive(true);
    return c;
  }

  // "t": People with kRecords records, every ninth with a memo of several blocks, and
  // (with `oldBackup`) an ".IBK" file left by an earlier restructure. Kept in base_ and put
  // back by RestoreBase.
  void MakeBase(bool oldBackup) {
    MakeTable("t", People());
    {
      TDataCursor& c = OpenCursor("t", true);
      for (int i = 1; i <= kRecords; ++i)
        Add(c, i, "name " + std::to_string(i % kNameRepeat), i * 3, i % 9 == 0 ? std::string(900 + i % 300, 'm') : "");
      cursors_.clear();
    }
    if (oldBackup) WriteWholeFile(dir_ + "t.IBK", std::vector<uint8_t>(5000, 0x5A));
    for (const std::string& f : Files()) std::filesystem::copy_file(dir_ + f, base_ + f);
  }

  void RestoreBase() {
    for (const std::string& f : Files()) std::filesystem::remove(dir_ + f);
    for (const auto& entry : std::filesystem::directory_iterator(base_))
      std::filesystem::copy_file(entry.path(), dir_ + entry.path().filename().string());
  }

  // The regular files of the table's directory.
  std::set<std::string> Files() const {
    std::set<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      if (entry.is_regular_file()) out.insert(entry.path().filename().string());
    return out;
  }

  std::vector<uint8_t> Base(const std::string& file) const { return ReadWholeFile(base_ + file); }
  std::vector<uint8_t> Now(const std::string& file) const { return ReadWholeFile(dir_ + file); }

  // Everything a user of table `name` sees: fields, indexes, every record's values in
  // natural order, and the row identifiers in the order of each index. Opened for writing
  // (so that what a dead process left is settled first) and checked sound.
  std::vector<std::string> State(const std::string& name) {
    std::unique_ptr<TDataCursor> cursor = Closed(db_, name);
    TDataCursor& c = *cursor;
    c.Open();
    std::vector<std::string> out;
    TTableInformation info = c.GetTableInformation();
    for (const TFieldDescriptor& f : info.Fields)
      out.push_back("field " + f.FieldName() + " " + std::to_string(f.FieldType()) + " " + std::to_string(f.SlotSize()));
    for (size_t i = 0; i < info.Indexes.size(); ++i) {
      const TIndexDescriptor& d = info.Indexes[i];
      std::string line = "index " + d.Name() + (d.Unique() ? " unique" : "") + (d.Descending() ? " desc" : "");
      for (int k = 0; k < d.FieldCount(); ++k) line += " " + std::to_string(d.FieldNumber(k));
      out.push_back(line);
    }
    std::vector<uint8_t> image(c.RecordSize());
    std::vector<int> orders{kNaturalOrder};
    for (size_t i = 0; i < info.Indexes.size(); ++i)
      if (i > 0 || !info.NoPrimaryKey) orders.push_back(int(i));
    for (int order : orders) {
      c.SetIndexNumber(order);
      c.SetToBegin();
      std::ostringstream line;
      line << "order " << order << ":";
      while (c.GetNextRecord(image.data()) == 0) {
        line << ' ' << LoadI32(image.data() + kRowIdOffset);
        if (order != kNaturalOrder) continue;
        std::ostringstream record;
        for (uint16_t n = 1; n <= c.FieldCount(); ++n) record << '|' << ValueOf(c, n, image);
        out.push_back(record.str());
      }
      out.push_back(line.str());
    }
    const std::vector<std::string> problems = CheckTable(*c.Table());
    EXPECT_TRUE(problems.empty()) << problems.front();
    c.Close();
    return out;
  }

  static std::string ValueOf(TDataCursor& c, uint16_t n, std::vector<uint8_t> image) {
    const TFieldDescriptor& f = c.Field(n);
    if (f.FieldType() == FIELD_BLOB) {
      if (c.OpenBlob(n, image.data(), kBlobOwnerEngine, false, kBlobRead) != 0) return "<error>";
      uint32_t size = 0, got = 0;
      c.GetBlobSize(n, image.data(), false, size);
      std::string blob(size, '\0');
      c.GetBlob(n, image.data(), false, 0, size, blob.data(), got);
      c.FreeBlob(n, image.data(), kBlobOwnerEngine, false);
      return blob;
    }
    std::vector<uint8_t> value(f.SlotSize() + 16, 0);
    if (c.GetField(n, image.data(), value.data())) return "null";
    std::string hex;
    for (uint8_t b : value) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
    return hex;
  }

  static TTableDefinition Changed(const std::function<void(TTableDefinition&)>& change) {
    TTableDefinition d = People();
    change(d);
    return d;
  }

  static std::vector<TOperation> Operations() {
    auto restructure = [](std::function<void(TTableDefinition&)> change, bool noBackup) {
      return [change, noBackup](TDataDirectory* db) {
        auto c = Closed(db);
        c->RestructureProgress = Progress;
        // A dropped field is a loss asked for; any other would be a record lost.
        c->DataLost = [](int cause, const std::string&, bool&, bool&) {
          if (cause != 3) FaultPoint("test-data-lost");
        };
        c->RestructureTable(Changed(change), noBackup, -1, false);
      };
    };
    return {
        {"add a unique index",
         [](TDataDirectory* db) {
           auto c = Closed(db);
           c->Open();
           c->IndexProgress = Progress;
           c->AddIndex(Index("UniqueName", {2}, true));
           c->Close();
         },
         "t"},
        {"drop an index",
         [](TDataDirectory* db) {
           auto c = Closed(db);
           c->Open();
           c->DeleteIndex("ByName", true);
           c->Close();
         },
         "t"},
        {"empty",
         [](TDataDirectory* db) {
           auto c = Closed(db);
           c->Open();
           c->EmptyTable();
           c->Close();
         },
         "t"},
        {"new names", restructure([](TTableDefinition& d) { d.Fields[1].SetFieldName("Title"); }, false), "t"},
        {"rebuild", restructure([](TTableDefinition& d) { d.Indexes[1].SetDescending(true); }, false), "t"},
        {"rebuild without backup",
         restructure([](TTableDefinition& d) { d.Indexes[1].SetDescending(true); }, true), "t"},
        {"copy", restructure([](TTableDefinition& d) { d.Fields[1].SetDeclaredSize(30); }, false), "t"},
        {"copy without the memo or a backup",
         restructure([](TTableDefinition& d) { d.Fields.pop_back(); }, true), "t"},
        {"rename",
         [](TDataDirectory* db) {
           Closed(db)->RenameTable("u");
         },
         "u"},
        {"drop",
         [](TDataDirectory* db) {
           Closed(db)->DeleteTable();
         },
         nullptr},
    };
  }

  // Runs `op` in a child whose files cannot grow past `limit` bytes (a write beyond fails
  // with EFBIG, as a full disk fails it with ENOSPC): 1 when it raised an engine error, 0
  // when it succeeded, 2 when it reported a record lost through its data-lost hook.
  int Limited(const TOperation& op, rlim_t limit) {
    const std::string dir = dir_;
    TChildProcess child([&](TChannel&) {
      signal(SIGXFSZ, SIG_IGN);
      rlimit r{limit, limit};
      setrlimit(RLIMIT_FSIZE, &r);
      auto lost = std::make_shared<bool>(false);
      SetFaultHook([lost](const char* at) { *lost |= std::string(at) == "test-data-lost"; });
      TDataSession session(0);
      session.SetPrivateDirectory(dir);
      try {
        op.Run(session.OpenDataDirectory("", dir));
      } catch (const EVELDOREngineError&) {
        return *lost ? 2 : 1;
      }
      return *lost ? 2 : 0;
    });
    return child.Join();
  }

  // Runs `op` in a child that is killed at the `pass`-th pass of fault point `point`;
  // false when the child was not killed there.
  bool KilledAt(const TOperation& op, const std::string& point, int pass) {
    const std::string dir = dir_;
    TChildProcess child([&](TChannel&) {
      auto passes = std::make_shared<std::atomic<int>>(0);
      SetFaultHook([point, pass, passes](const char* at) {
        if (point == at && ++*passes == pass) kill(getpid(), SIGKILL);
      });
      TDataSession session(0);
      session.SetPrivateDirectory(dir);
      op.Run(session.OpenDataDirectory("", dir));
      return 0;
    });
    return child.Join() == -1;
  }

  std::string base_;
};

// Each operation, killed at the moments of its work, its record and its commit: the table
// is found as before or, from its commit on, as after; the files are those of that state
// (the backups the operation keeps included), byte for byte the old ones when before.
TEST_F(MaintenanceCrashTest, AKilledOperationLeavesTheTableAsBeforeOrAsAfter) {
  struct TCase {
    const char* Point;
    int Pass;
    bool After;
  };
  const std::map<std::string, std::vector<TCase>> cases = {
      {"add a unique index",
       {{"test-progress", 8, false}, {"maintenance-before-commit", 1, false}, {"commit-before-mark", 1, false},
        {"commit-after-mark", 1, true}, {"commit-copy", 2, true}, {"commit-before-remove", 1, true}}},
      {"drop an index",
       {{"maintenance-before-commit", 1, false}, {"commit-after-mark", 1, true}, {"commit-copy", 1, true}}},
      {"empty",
       {{"maintenance-before-commit", 1, false}, {"commit-before-mark", 1, false}, {"commit-after-mark", 1, true},
        {"commit-copy", 1, true}}},
      {"new names", {{"maintenance-before-commit", 1, false}, {"commit-after-mark", 1, true}}},
      {"rebuild",
       {{"test-progress", 8, false}, {"maintenance-recorded", 1, false}, {"maintenance-backup-copied", 1, false},
        {"maintenance-before-commit", 1, false}, {"commit-before-mark", 1, false}, {"commit-after-mark", 1, true},
        {"commit-before-remove", 1, true}, {"maintenance-move", 1, true}, {"maintenance-finished", 1, true}}},
      {"rebuild without backup",
       {{"maintenance-recorded", 1, false}, {"maintenance-before-commit", 1, false}, {"commit-after-mark", 1, true},
        {"maintenance-move", 1, true}}},
      {"copy",
       {{"maintenance-recorded", 1, false}, {"test-progress", 8, false}, {"maintenance-committed", 1, true},
        {"maintenance-move", 1, true}, {"maintenance-move", 4, true}, {"maintenance-finished", 1, true}}},
      {"copy without the memo or a backup",
       {{"test-progress", 8, false}, {"maintenance-committed", 1, true}, {"maintenance-move", 1, true},
        {"maintenance-move", 3, true}}},
      {"rename",
       {{"maintenance-recorded", 1, true}, {"maintenance-recorded", 2, true}, {"maintenance-move", 1, true},
        {"maintenance-move", 2, true}, {"maintenance-finished", 1, true}}},
      {"drop", {{"maintenance-recorded", 1, true}, {"maintenance-move", 2, true}, {"maintenance-finished", 1, true}}},
  };
  MakeBase(true);
  const std::set<std::string> filesBefore = Files();
  const std::vector<std::string> before = State("t");
  for (const TOperation& op : Operations()) {
    SCOPED_TRACE(op.Name);
    RestoreBase();
    op.Run(db_);
    const std::set<std::string> filesAfter = Files();
    const std::vector<std::string> after = op.TableAfter ? State(op.TableAfter) : std::vector<std::string>{};
    if (op.TableAfter != nullptr && std::string(op.TableAfter) == "t") {
      ASSERT_TRUE(before != after);
    }
    for (const TCase& k : cases.at(op.Name)) {
      SCOPED_TRACE(std::string(k.Point) + ":" + std::to_string(k.Pass));
      RestoreBase();
      ASSERT_TRUE(KilledAt(op, k.Point, k.Pass)) << "the operation never reached the point";
      if (!k.After) {
        EXPECT_TRUE(State("t") == before);
        EXPECT_EQ(Files(), filesBefore);
        for (const std::string& f : filesBefore) EXPECT_TRUE(Now(f) == Base(f)) << f << " changed";
        // The table takes the operation again as if nothing had happened.
        op.Run(db_);
        EXPECT_TRUE((op.TableAfter ? State(op.TableAfter) : std::vector<std::string>{}) == after);
        EXPECT_EQ(Files(), filesAfter);
      } else if (op.TableAfter == nullptr) {
        EXPECT_FALSE(db_->TableExists("t", false));
        EXPECT_EQ(ErrorOf([&] { State("t"); }), VELDOR_OSENOENT);
        EXPECT_EQ(Files(), filesAfter);
      } else {
        // A rename is found under either name once both records are written; before that
        // the old name's opener finishes it (the table then is no more under that name).
        const bool oldNameOnly = std::string(k.Point) == "maintenance-recorded" && k.Pass == 1;
        if (std::string(op.TableAfter) != "t" && oldNameOnly) {
          EXPECT_FALSE(db_->TableExists(op.TableAfter, false));
          EXPECT_EQ(ErrorOf([&] { State("t"); }), VELDOR_OSENOENT);
        }
        EXPECT_TRUE(db_->TableExists(op.TableAfter, false));
        EXPECT_TRUE(State(op.TableAfter) == after);
        EXPECT_EQ(Files(), filesAfter);
        if (std::string(op.TableAfter) != "t") {
          EXPECT_FALSE(db_->TableExists("t", false));
        }
      }
    }
  }
}

// The backups a restructure keeps are the old files, and an older backup stays until the
// new one has committed.
TEST_F(MaintenanceCrashTest, BackupsAreTheOldFilesOnceTheRestructureCommits) {
  MakeBase(true);
  const TOperation rebuild = Operations()[4], copy = Operations()[6];
  ASSERT_EQ(std::string(rebuild.Name), "rebuild");
  ASSERT_EQ(std::string(copy.Name), "copy");
  const struct {
    const TOperation& Op;
    const char* Point;
    bool After;
  } cases[] = {{rebuild, "commit-before-mark", false}, {rebuild, "commit-after-mark", true},
               {copy, "test-progress", false}, {copy, "maintenance-committed", true}};
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(k.Op.Name) + " " + k.Point);
    RestoreBase();
    ASSERT_TRUE(KilledAt(k.Op, k.Point, 1));
    State("t");
    EXPECT_EQ(Now("t.IBK"), k.After ? Base("t.IDX") : Base("t.IBK"));
    if (std::string(k.Op.Name) == "copy" && k.After) {
      EXPECT_EQ(Now("t.DBK"), Base("t.DAT"));
      EXPECT_EQ(Now("t.BBK"), Base("t.BLB"));
    }
  }
}

// While the files are between two moves, a reader neither reads nor changes them; the table
// still exists for whoever asks, and the next writer finishes the moves.
TEST_F(MaintenanceCrashTest, AReaderLeavesUnfinishedMovesToAWriter) {
  MakeBase(false);
  const TOperation copy = Operations()[6];
  ASSERT_TRUE(KilledAt(copy, "maintenance-move", 2));
  // The old index is a backup now, the new one in its place; the data file is still the old.
  const std::set<std::string> files = Files();
  ASSERT_TRUE(files.count("t.MNT") && files.count("t.IBK"));
  EXPECT_EQ(Now("t.IBK"), Base("t.IDX"));
  EXPECT_EQ(Now("t.DAT"), Base("t.DAT"));
  EXPECT_TRUE(db_->TableExists("t", false));
  TDataCursor reader(db_);
  reader.SetTableName("t");
  reader.SetReadOnly(true);
  EXPECT_EQ(ErrorOf([&] { reader.Open(); }), VELDOR_FILENOACCESS);
  EXPECT_EQ(Files(), files);
  const TMaintenanceState state = TMaintenanceRecord::Inspect(dir_, "t");
  EXPECT_TRUE(state.Valid && state.Committed);
  EXPECT_EQ(state.Kind, TMaintenanceKind::Copy);
  State("t");
  EXPECT_EQ(Files(), (std::set<std::string>{"t.DAT", "t.IDX", "t.BLB", "t.DBK", "t.IBK", "t.BBK"}));
  {
    auto c = Closed(db_);
    c->Open();
    EXPECT_EQ(c->Field(2).DeclaredSize(), 30);
    EXPECT_EQ(c->GetRecordCount(), kRecords);
  }

  // Before its commit a restructure's record leaves the old table readable, and a reader
  // leaves the new table's files for a writer to remove.
  RestoreBase();
  ASSERT_TRUE(KilledAt(copy, "test-progress", 3));
  const std::set<std::string> partial = Files();
  EXPECT_TRUE(partial.count("t.MNT"));
  EXPECT_EQ(std::count_if(partial.begin(), partial.end(), [](const std::string& f) { return f.rfind("t.", 0) != 0; }),
            3);  // the new table's files
  reader.Open();
  EXPECT_EQ(reader.GetRecordCount(), kRecords);
  reader.Close();
  EXPECT_EQ(Files(), partial);
  State("t");
  EXPECT_EQ(Files(), (std::set<std::string>{"t.DAT", "t.IDX", "t.BLB"}));
}

// A maintenance that is alive holds its record: other processes are kept out of the table
// (and told it is in use) until it has finished, and then find it done.
TEST_F(MaintenanceCrashTest, ALiveMaintenanceKeepsOthersOutUntilItHasFinished) {
  MakeBase(false);
  const std::string dir = dir_;
  for (const char* point : {"maintenance-committed", "maintenance-move"}) {
    SCOPED_TRACE(point);
    RestoreBase();
    TChildProcess child([&](TChannel& channel) {
      const std::string wanted = point;
      SetFaultHook([&channel, wanted](const char* at) {
        if (wanted != at) return;
        channel.Send(1);
        channel.Receive();
      });
      TDataSession session(0);
      Operations()[6].Run(session.OpenDataDirectory("", dir));
      SetFaultHook(nullptr);
      return 0;
    });
    ASSERT_EQ(child.Receive(), 1);
    EXPECT_TRUE(db_->TableExists("t", false));
    TDataCursor other(db_);
    other.SetTableName("t");
    EXPECT_EQ(ErrorOf([&] { other.Open(); }), VELDOR_OSEACCES);
    other.SetReadOnly(true);
    EXPECT_EQ(ErrorOf([&] { other.Open(); }), VELDOR_OSEACCES);
    EXPECT_TRUE(TMaintenanceRecord::Inspect(dir_, "t").InUse);
    for (int i = 0; i < 8; ++i) child.Send(1);  // every further pass of the point goes on
    EXPECT_EQ(child.Join(), 0);
    EXPECT_FALSE(Files().count("t.MNT"));
    other.Open();
    EXPECT_EQ(other.Field(2).DeclaredSize(), 30);
    EXPECT_EQ(other.GetRecordCount(), kRecords);
    other.Close();
  }
}

// A record cut short while it was written (nothing of its operation had begun) is removed by
// the next writer and passed over by a reader; one that is not a record at all, the same.
TEST_F(MaintenanceCrashTest, ARecordCutShortIsRemovedAndTheTableIsAsItWas) {
  MakeBase(false);
  const std::vector<std::string> before = State("t");
  ASSERT_TRUE(KilledAt(Operations()[8], "maintenance-recorded", 1));  // a rename's first record
  const std::vector<uint8_t> record = Now("t.MNT");
  ASSERT_GT(record.size(), 30u);
  for (size_t cut : {size_t(0), size_t(10), record.size() / 2, record.size() - 1}) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    RestoreBase();
    WriteWholeFile(dir_ + "t.MNT", std::vector<uint8_t>(record.begin(), record.begin() + std::ptrdiff_t(cut)));
    TDataCursor reader(db_);
    reader.SetTableName("t");
    reader.SetReadOnly(true);
    reader.Open();
    EXPECT_EQ(reader.GetRecordCount(), kRecords);
    reader.Close();
    EXPECT_TRUE(Files().count("t.MNT"));
    EXPECT_TRUE(State("t") == before);
    EXPECT_EQ(Files(), (std::set<std::string>{"t.DAT", "t.IDX", "t.BLB"}));
  }
}

// Writes that fail part-way (a file size limit stands in for a full disk: writes past it
// fail with EFBIG) leave the table byte for byte as it was, nothing beside it, and the
// operation raises an engine error.
TEST_F(MaintenanceCrashTest, AFullDiskLeavesTheTableAsItWas) {
  MakeBase(true);
  const std::set<std::string> filesBefore = Files();
  for (const TOperation& op : Operations()) {
    SCOPED_TRACE(op.Name);
    RestoreBase();
    // Every operation writes past 4 KiB somewhere (its journal, its new table), except
    // those that only move files, whose record alone is written.
    const bool moves = std::string(op.Name) == "rename" || std::string(op.Name) == "drop";
    EXPECT_EQ(Limited(op, moves ? 16 : 4096), 1);
    EXPECT_EQ(Files(), filesBefore);
    for (const std::string& f : filesBefore) EXPECT_EQ(Now(f), Base(f)) << f;
  }

  // The journal fits but the index's growth does not: the room is taken before the commit
  // mark, so the change fails while it can still be dropped.
  RestoreBase();
  int64_t journal = 0;
  {
    auto c = Closed(db_);
    c->Open();
    SetFaultHook([&](const char* at) {
      if (std::string(at) == "maintenance-before-commit") journal = c->Table()->JournalSize();
    });
    c->AddIndex(Index("ByAmountName", {3, 2}, false));
    SetFaultHook(nullptr);
    c->Close();
  }
  const int64_t grown = int64_t(Now("t.IDX").size()), old = int64_t(Base("t.IDX").size());
  ASSERT_GT(journal, 0);
  const rlim_t limit = rlim_t(std::max(old, journal) + 4096);
  ASSERT_LT(int64_t(limit), grown) << "the index must outgrow what the journal needs";
  RestoreBase();
  const TOperation add{"add an index",
                       [](TDataDirectory* db) {
                         auto c = Closed(db);
                         c->Open();
                         c->AddIndex(Index("ByAmountName", {3, 2}, false));
                         c->Close();
                       },
                       "t"};
  EXPECT_EQ(Limited(add, limit), 1);
  EXPECT_EQ(Files(), filesBefore);
  for (const std::string& f : filesBefore) EXPECT_EQ(Now(f), Base(f)) << f;
}

// A write that fails while records are copied into a restructured table ends the copy: it
// is no record lost (the data-lost hook hears nothing), and the old table stays.
TEST_F(MaintenanceCrashTest, AFailedWriteEndsACopyInsteadOfDroppingRecords) {
  MakeBase(false);
  const std::set<std::string> filesBefore = Files();
  // Wide records: the new table's record cache fills and writes back while records are
  // appended, and those writes fail.
  const TOperation widen = {"widen", [](TDataDirectory* db) {
                              auto c = Closed(db);
                              c->DataLost = [](int, const std::string&, bool&, bool&) { FaultPoint("test-data-lost"); };
                              c->RestructureTable(Changed([](TTableDefinition& d) { d.Fields[1].SetDeclaredSize(250); }),
                                                  false, -1, false);
                            },
                            "t"};
  EXPECT_EQ(Limited(widen, 96 << 10), 1);
  EXPECT_EQ(Files(), filesBefore);
  for (const std::string& f : filesBefore) EXPECT_EQ(Now(f), Base(f)) << f;
}

}  // namespace
}  // namespace veldor::test
