// A veldor load or maintenance command killed outright (SIGKILL, at chosen points of its
// work and its commit through the fault points, or at any moment while it works): the table
// is found with the whole change or none of it and nothing of the command beside it, verify
// says what a journal or maintenance record beside it means, and info completes what was
// cut short.

#include <signal.h>

#include <string>
#include <vector>

#include "tests/tools/cli_fixture.h"

namespace {

using namespace veldor::test;

class CrashTest : public VeldorCliTest {
 protected:
  // people with 1,000 records and memos.
  void MakeTable() {
    Write("people.def",
          "field Id integer\nfield Name string 20\nfield Age integer\nfield Note memo\nprimary Id\n"
          "index ByName Name nocase\n");
    Ok({"create", "people", "people.def"});
    Ok({"load", "people", "-"}, Rows(1, 1000));
  }

  static std::string Rows(int from, int count) {
    std::string csv = "Id,Name,Age,Note\n";
    for (int i = from; i < from + count; ++i)
      csv += std::to_string(i) + ",n" + std::to_string(i) + "," + std::to_string(i % 90) + ",note " +
             std::string(size_t(i % 700), 'm') + "\n";
    return csv;
  }

  void ExpectSound(int records) {
    TResult verify = Run({"verify", "people"});
    EXPECT_EQ(verify.Status, 0) << verify.Out << verify.Err;
    EXPECT_NE(verify.Out.find("sound (" + std::to_string(records) + " records"), std::string::npos)
        << verify.Out;
    EXPECT_EQ(Ok({"dump", "people", "--count"}), std::to_string(records) + "\n");
  }
};

TEST_F(CrashTest, LoadKilledInItsCommitIsFoundWholeOrNotAtAll) {
  struct TCase {
    const char* Point;
    bool Committed;
  };
  for (const TCase& c : {TCase{"commit-before-mark", false}, TCase{"commit-after-mark", true},
                         TCase{"commit-copy:4", true}, TCase{"commit-before-remove", true}}) {
    SCOPED_TRACE(c.Point);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);
    MakeTable();
    Write("more.csv", Rows(5000, 30000));
    const std::string bytes = TableBytes("people");

    TRunOptions options;
    options.Environment = {std::string("VELDOR_FAULT_KILL=") + c.Point};
    TResult r = Run({"load", "people", "more.csv"}, "", options);
    ASSERT_EQ(r.Status, 128 + SIGKILL) << r.Err;
    ASSERT_TRUE(Exists("people.JNL"));

    TResult verify = Run({"verify", "people"});
    if (c.Committed) {
      // Until a writer has completed the commit, the files are not the table.
      EXPECT_EQ(verify.Status, 1);
      EXPECT_NE(verify.Out.find("people.JNL holds a commit that did not finish"), std::string::npos)
          << verify.Out;
      EXPECT_NE(Run({"dump", "people", "--count"}).Err.find("people needs recovery"), std::string::npos);
      const std::string info = Ok({"info", "people"});
      EXPECT_NE(info.find("# completed a commit that did not finish"), std::string::npos) << info;
      EXPECT_FALSE(Exists("people.JNL"));
      ExpectSound(31000);
      EXPECT_EQ(Ok({"info", "people"}).find("completed"), std::string::npos);
    } else {
      EXPECT_EQ(verify.Status, 0) << verify.Out;
      EXPECT_NE(verify.Out.find("people.JNL holds no sound commit mark"),
                std::string::npos)
          << verify.Out;
      EXPECT_TRUE(TableBytes("people") == bytes) << "the table's files changed";
      ExpectSound(1000);
      // The next writer drops the journal.
      Ok({"load", "people", "-"}, Rows(2000, 3));
      EXPECT_FALSE(Exists("people.JNL"));
      ExpectSound(1003);
    }
  }
}

// Killed at a moment of its storing, after its changes have begun to go to the journal.
TEST_F(CrashTest, LoadKilledWhileStoringLeavesTheTableAsItWas) {
  MakeTable();
  Write("million.csv", Rows(5000, 300000));
  const std::string bytes = TableBytes("people");
  TResult r = RunAndSignal({"load", "people", "million.csv"}, "loading people", SIGKILL);
  EXPECT_EQ(r.Status, 128 + SIGKILL) << r.Err;
  EXPECT_TRUE(TableBytes("people") == bytes) << "the table's files changed";
  ExpectSound(1000);
}

// Each maintenance command killed at a moment of its work: once a writer has opened the
// table (info does), it is sound, as before the command or as after it, and its directory
// holds the table's files and the backups the command keeps, nothing else.
TEST_F(CrashTest, MaintenanceKilledLeavesTheTableAsBeforeOrAsAfter) {
  const std::vector<std::string> table{"people.BLB", "people.DAT", "people.IDX", "people.def"};
  const std::vector<std::string> backups{"people.BBK", "people.BLB", "people.DAT", "people.DBK",
                                         "people.IBK", "people.IDX", "people.def"};
  struct TCase {
    std::vector<std::string> Args;
    const char* Point;
    std::string Table;  // the table's name afterwards
    int Records;        // ... and its records
    std::vector<std::string> Files;
  };
  const std::vector<TCase> cases = {
      // Ages repeat every 90 records: a unique index on Age keeps 90 of the 1000.
      {{"add-index", "people", "UAge", "Age", "--unique"}, "maintenance-before-commit", "people", 1000, table},
      {{"add-index", "people", "UAge", "Age", "--unique"}, "commit-before-mark", "people", 1000, table},
      {{"add-index", "people", "UAge", "Age", "--unique"}, "commit-after-mark", "people", 90, table},
      {{"add-index", "people", "UAge", "Age", "--unique"}, "commit-copy:2", "people", 90, table},
      {{"drop-index", "people", "ByName"}, "maintenance-before-commit", "people", 1000, table},
      {{"drop-index", "people", "ByName"}, "commit-after-mark", "people", 1000, table},
      {{"empty", "people"}, "commit-before-mark", "people", 1000, table},
      {{"empty", "people"}, "commit-copy", "people", 0, table},
      {{"restructure", "people", "--rename", "Name=FullName"}, "maintenance-before-commit", "people", 1000, table},
      {{"restructure", "people", "--retype", "Name string 30"}, "maintenance-recorded", "people", 1000, table},
      {{"restructure", "people", "--retype", "Name string 30"}, "maintenance-committed", "people", 1000, backups},
      {{"restructure", "people", "--retype", "Name string 30"}, "maintenance-move:3", "people", 1000, backups},
      {{"rename", "people", "folk"}, "maintenance-move:1", "folk", 1000,
       {"folk.BLB", "folk.DAT", "folk.IDX", "people.def"}},
      {{"drop", "people"}, "maintenance-move:2", "", 0, {"people.def"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args[0] + " " + c.Args.back() + " killed at " + c.Point);
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);
    MakeTable();
    TRunOptions options;
    options.Environment = {std::string("VELDOR_FAULT_KILL=") + c.Point};
    TResult r = Run(c.Args, "", options);
    ASSERT_EQ(r.Status, 128 + SIGKILL) << r.Err;
    if (c.Table.empty()) {
      // The table is gone; info clears what the drop left.
      TResult info = Run({"info", "people"});
      EXPECT_EQ(info.Status, 1);
      EXPECT_NE(info.Out.find("# completed a drop that did not finish"), std::string::npos) << info.Out;
      EXPECT_NE(info.Err.find("no table 'people' (./people.DAT does not exist)"), std::string::npos) << info.Err;
    } else {
      Ok({"info", c.Table});
      TResult verify = Run({"verify", c.Table});
      EXPECT_EQ(verify.Status, 0) << verify.Out << verify.Err;
      EXPECT_NE(verify.Out.find("sound (" + std::to_string(c.Records) + " records"), std::string::npos)
          << verify.Out;
    }
    EXPECT_EQ(Listing(), c.Files);
  }
}

// Between two moves of a restructure's swap the files are not a table: readers say so and
// change nothing, verify refuses to call it sound, and info finishes the swap.
TEST_F(CrashTest, ARestructureKilledInItsSwapIsFinishedByTheNextWriter) {
  MakeTable();
  TRunOptions options;
  options.Environment = {"VELDOR_FAULT_KILL=maintenance-move:3"};
  ASSERT_EQ(Run({"restructure", "people", "--retype", "Name string 30"}, "", options).Status, 128 + SIGKILL);
  const std::vector<std::string> between = Listing();
  ASSERT_NE(std::find(between.begin(), between.end(), "people.MNT"), between.end());

  TResult verify = Run({"verify", "people"});
  EXPECT_EQ(verify.Status, 1);
  EXPECT_NE(verify.Out.find("people.MNT holds a restructure that did not finish; opening the table for writing"),
            std::string::npos)
      << verify.Out;
  TResult dump = Run({"dump", "people", "--count"});
  EXPECT_EQ(dump.Status, 1);
  EXPECT_NE(dump.Err.find("people needs recovery: ./people.MNT holds a restructure that did not finish"),
            std::string::npos)
      << dump.Err;
  EXPECT_EQ(Listing(), between);

  const std::string info = Ok({"info", "people"});
  EXPECT_NE(info.find("# completed a restructure that did not finish, from ./people.MNT"), std::string::npos) << info;
  EXPECT_NE(info.find("field Name string 30"), std::string::npos) << info;
  ExpectSound(1000);
  EXPECT_EQ(Ok({"info", "people"}).find("# completed"), std::string::npos);

  // Killed while it copies, the new table built beside the old one is removed by the next
  // writer, whatever its name.
  std::filesystem::remove_all(dir_);
  std::filesystem::create_directory(dir_);
  MakeTable();
  const std::vector<std::string> before = Listing();
  const std::string bytes = TableBytes("people");
  options.Environment = {"VELDOR_FAULT_KILL=maintenance-recorded"};
  ASSERT_EQ(Run({"restructure", "people", "--retype", "Name string 30"}, "", options).Status, 128 + SIGKILL);
  verify = Run({"verify", "people"});
  EXPECT_EQ(verify.Status, 0);
  EXPECT_NE(verify.Out.find("people.MNT was left by a restructure that did not finish; the next open for writing "
                            "removes it"),
            std::string::npos)
      << verify.Out;
  EXPECT_NE(Ok({"info", "people"}).find("# removed what a restructure that did not finish had made"),
            std::string::npos);
  EXPECT_EQ(Listing(), before);
  EXPECT_TRUE(TableBytes("people") == bytes) << "the table's files changed";
}

// A unique index killed while it is built (as often as the records it removes are many)
// leaves the table as it was: the next writer drops the journal, and the next build runs.
TEST_F(CrashTest, AUniqueIndexKilledWhileItIsBuiltLeavesTheTableAsItWas) {
  MakeTable();
  Write("more.csv", Rows(5000, 4000));
  Ok({"load", "people", "more.csv"});
  const std::vector<std::string> before = Listing();
  TResult r = RunAndSignal({"add-index", "people", "UAge", "Age", "--unique"}, "indexing people  50%", SIGKILL);
  EXPECT_EQ(r.Status, 128 + SIGKILL) << r.Err;
  EXPECT_TRUE(Exists("people.JNL"));  // half the records were indexed, and removed, in it
  EXPECT_NE(Ok({"info", "people"}).find("people.JNL, left by a change that never committed"),
            std::string::npos);
  ExpectSound(5000);
  EXPECT_EQ(Listing(), before);
  r = Run({"add-index", "people", "UAge", "Age", "--unique"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "veldor: warning: 4910 records whose key was already in the unique index UAge were removed\n");
  ExpectSound(90);
}

}  // namespace
