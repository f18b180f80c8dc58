// A veldor load killed outright (SIGKILL, at chosen points of its commit through the
// fault points, or at any moment while it stores records): the table is found with the
// whole load or none of it, verify says what the journal beside it means, and info
// completes a commit that was cut short.

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

}  // namespace
