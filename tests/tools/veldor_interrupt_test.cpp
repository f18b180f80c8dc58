// Long commands of the veldor tool stopped by a signal, writes that fail (a file size
// limit stands in for a full disk) and output that cannot be written: the table is left as
// it was and sound, nothing is left beside it, and the exit says what happened.

#include <signal.h>

#include <string>
#include <vector>

#include "tests/tools/cli_fixture.h"

namespace {

using namespace veldor::test;

class InterruptTest : public VeldorCliTest {
 protected:
  // people with 1,000 records and, when `withHoles`, free slots and free BLOB blocks (a
  // unique index removed the records that repeat a key), so that a load reuses them.
  void MakeTable(bool withHoles) {
    Write("people.def",
          "field Id integer\nfield Name string 20\nfield Age integer\nfield Note memo\nprimary Id\n"
          "index ByName Name nocase\n");
    Ok({"create", "people", "people.def"});
    std::string csv = "Id,Name,Age,Note\n";
    const int count = withHoles ? 1100 : 1000;
    for (int i = 1; i <= count; ++i)
      csv += std::to_string(i) + ",n" + std::to_string(i <= 1000 ? i : i - 1000) + "," + std::to_string(i % 90) +
             ",note " + std::string(size_t(i % 700), 'm') + "\n";
    Ok({"load", "people", "-"}, csv);
    if (withHoles) {
      Ok({"add-index", "people", "UniqueName", "Name", "--unique"});
      Ok({"drop-index", "people", "UniqueName"});
    }
    ASSERT_EQ(Ok({"dump", "people", "--count"}), "1000\n");
  }

  static std::string ManyRows(int from, int count) {
    std::string csv = "Id,Name,Age,Note\n";
    csv.reserve(size_t(count) * 40);
    for (int i = from; i < from + count; ++i)
      csv += std::to_string(i) + ",m" + std::to_string(i) + "," + std::to_string(i % 90) + ",memo " +
             std::to_string(i) + "\n";
    return csv;
  }

  void ExpectUnchanged(const std::string& bytes, const std::vector<std::string>& listing) {
    EXPECT_TRUE(TableBytes("people") == bytes) << "the table's files changed";
    EXPECT_EQ(Listing(), listing);
    TResult verify = Run({"verify", "people"});
    EXPECT_EQ(verify.Status, 0) << verify.Out;
    EXPECT_NE(verify.Out.find("sound (1000 records"), std::string::npos) << verify.Out;
  }
};

// A load of a million records stopped once it is storing them leaves the table exactly as
// it was: its thousand records, sound, with no copies left beside it.
TEST_F(InterruptTest, StoppedLoadLeavesTheTableAsItWas) {
  struct TCase {
    int Signal;
    bool WithHoles;  // free slots and blocks: the data and BLOB files change in place
  };
  for (const TCase& c : {TCase{SIGINT, false}, TCase{SIGTERM, true}}) {
    SCOPED_TRACE(c.Signal == SIGINT ? "SIGINT" : "SIGTERM");
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);
    MakeTable(c.WithHoles);
    Write("million.csv", ManyRows(2000, 1000000));
    const std::string bytes = TableBytes("people");
    const std::vector<std::string> listing = Listing();

    TResult r = RunAndSignal({"load", "people", "million.csv"}, "loading people", c.Signal);
    EXPECT_EQ(r.Status, 128 + c.Signal) << r.Err;
    const std::string name = c.Signal == SIGINT ? "SIGINT" : "SIGTERM";
    EXPECT_NE(r.Err.find("veldor: load into people stopped by " + name +
                         ": nothing was loaded, people is as it was before"),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(r.Out, "");
    ExpectUnchanged(bytes, listing);
  }
}

// Writes that fail part-way (RLIMIT_FSIZE makes them fail with EFBIG, as a full disk fails
// them with ENOSPC) leave the table as it was, with a message; so does a failed index build.
TEST_F(InterruptTest, FailedWritesLeaveTheTableAsItWas) {
  for (bool withHoles : {false, true}) {
    SCOPED_TRACE(withHoles ? "with free slots" : "appending only");
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directory(dir_);
    MakeTable(withHoles);
    Write("more.csv", ManyRows(5000, 60000));
    const std::string bytes = TableBytes("people");
    const std::vector<std::string> listing = Listing();
    const rlim_t limit = std::max(std::filesystem::file_size(Path("people.DAT")),
                                  std::max(std::filesystem::file_size(Path("people.IDX")),
                                           std::filesystem::file_size(Path("people.BLB")))) +
                         65536;
    TRunOptions options;
    options.FileSizeLimit = limit;
    TResult r = Run({"load", "people", "more.csv"}, "", options);
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("VELDOR Engine Error # 9218"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find("nothing was loaded; people is as it was before"), std::string::npos) << r.Err;
    ExpectUnchanged(bytes, listing);

    // An index that outgrows the limit cannot be written either: the room it takes is
    // reserved before its commit, so the build fails while it can still be dropped.
    options.FileSizeLimit = std::filesystem::file_size(Path("people.IDX")) + 1;
    r = Run({"add-index", "people", "ByAgeName", "Age,Name,Id"}, "", options);
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("no index was added; people is as it was before"), std::string::npos) << r.Err;
    ExpectUnchanged(bytes, listing);
  }
}

// Every other maintenance command that cannot write (the limit is below what its journal
// or its new table needs) fails with the write error and leaves the table byte for byte as
// it was, nothing beside it.
TEST_F(InterruptTest, FailedMaintenanceLeavesTheTableAsItWas) {
  MakeTable(false);
  const std::string bytes = TableBytes("people");
  const std::vector<std::string> listing = Listing();
  struct TCase {
    std::vector<std::string> Args;
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {{"drop-index", "people", "ByName"}, "no index was dropped; people is as it was before"},
      {{"empty", "people"}, "nothing was removed; people is as it was before"},
      {{"restructure", "people", "--retype", "Name string 30"}, "people is unchanged"},
      {{"restructure", "people", "--rename", "Name=FullName"}, "people is unchanged"},
  };
  TRunOptions options;
  options.FileSizeLimit = 4096;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Args[0] + " " + c.Args.back());
    TResult r = Run(c.Args, "", options);
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("VELDOR Engine Error # 9218"), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err;
    ExpectUnchanged(bytes, listing);
  }
}

// A load meeting a full disk at any step, the file size limit swept from the table's own
// size up past what the load needs: each run either loads everything, or says that nothing
// was loaded and leaves the table exactly as it was. A load reported failed never took
// effect, and none that succeeded lost a record.
TEST_F(InterruptTest, LoadUnderAnyFileSizeLimitIsWholeOrAbsentAsReported) {
  MakeTable(true);
  Write("more.csv", ManyRows(5000, 20000));
  rlim_t low = 0;
  for (const char* ext : {".DAT", ".IDX", ".BLB"})
    low = std::max(low, rlim_t(std::filesystem::file_size(Path(std::string("people") + ext))));
  const std::string saved = Path("saved");
  std::filesystem::create_directory(saved);
  for (const char* ext : {".DAT", ".IDX", ".BLB"})
    std::filesystem::copy_file(Path(std::string("people") + ext), saved + "/people" + ext);
  const std::string bytes = TableBytes("people");
  const std::vector<std::string> listing = Listing();
  // Past the top of the sweep there is room for everything: the files as a load without a
  // limit leaves them, and a journal as large as all of them.
  Ok({"load", "people", "more.csv"});
  rlim_t high = 0;
  for (const char* ext : {".DAT", ".IDX", ".BLB"})
    high += rlim_t(std::filesystem::file_size(Path(std::string("people") + ext)));
  int loaded = 0, refused = 0;
  constexpr int kSteps = 10;
  for (int step = 0; step <= kSteps; ++step) {
    const rlim_t limit = low + (high - low) * rlim_t(step) / kSteps;
    SCOPED_TRACE("file size limit " + std::to_string(limit));
    for (const char* ext : {".DAT", ".IDX", ".BLB"})
      std::filesystem::copy_file(saved + "/people" + ext, Path(std::string("people") + ext),
                                 std::filesystem::copy_options::overwrite_existing);
    TRunOptions options;
    options.FileSizeLimit = limit;
    TResult r = Run({"load", "people", "more.csv"}, "", options);
    if (r.Status == 0) {
      ++loaded;
      EXPECT_EQ(Ok({"dump", "people", "--count"}), "21000\n");
      TResult verify = Run({"verify", "people"});
      EXPECT_EQ(verify.Status, 0) << verify.Out;
    } else {
      ++refused;
      EXPECT_EQ(r.Status, 1) << r.Err;
      EXPECT_NE(r.Err.find("nothing was loaded; people is as it was before"), std::string::npos) << r.Err;
      ExpectUnchanged(bytes, listing);
    }
  }
  EXPECT_GT(loaded, 0);
  EXPECT_GT(refused, 0);
}

// add-index and restructure stopped while they work leave the table as it was and no
// temporary table or copy beside it.
TEST_F(InterruptTest, StoppedIndexAndRestructureLeaveNothingBehind) {
  Write("big.def", "field Id integer\nfield Name string 20\nfield Age integer\nprimary Id\n");
  Ok({"create", "people", "big.def"});
  std::string csv = "Id,Name,Age\n";
  for (int i = 1; i <= 400000; ++i) csv += std::to_string(i) + ",n" + std::to_string(i) + "," + std::to_string(i % 90) + "\n";
  Write("big.csv", csv);
  Ok({"load", "people", "big.csv"});
  const std::string bytes = TableBytes("people");
  const std::vector<std::string> listing = Listing();
  struct TCase {
    std::vector<std::string> Args;
    std::string Cue;
    int Signal;
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {{"add-index", "people", "ByName", "Name"}, "indexing people", SIGINT,
       "add-index ByName stopped by SIGINT: people is as it was before"},
      {{"add-index", "people", "UniqueAge", "Age", "--unique"}, "indexing people", SIGTERM,
       "add-index UniqueAge stopped by SIGTERM: people is as it was before"},
      {{"restructure", "people", "--add", "Extra integer default 7"}, "restructuring people", SIGINT,
       "restructure of people stopped by SIGINT: people is unchanged"},
      {{"restructure", "people", "--retype", "Name string 30"}, "restructuring people", SIGTERM,
       "restructure of people stopped by SIGTERM: people is unchanged"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Message);
    TResult r = RunAndSignal(c.Args, c.Cue, c.Signal);
    EXPECT_EQ(r.Status, 128 + c.Signal) << r.Err;
    EXPECT_NE(r.Err.find("veldor: " + c.Message), std::string::npos) << r.Err;
    EXPECT_TRUE(TableBytes("people") == bytes) << "the table's files changed";
    EXPECT_EQ(Listing(), listing);
  }
  EXPECT_EQ(Ok({"dump", "people", "--count"}), "400000\n");
  EXPECT_EQ(Run({"verify", "people"}).Status, 0);
}

// A data-changing statement stopped while it still selects its rows (the SELECT of an
// INSERT ... SELECT, a sub-select, the join of an UPDATE) stops there and changes nothing:
// rows cut short by the stop are not acted on.
TEST_F(InterruptTest, StoppedSelectionOfAChangeChangesNothing) {
  MakeTable(false);
  Write("copy.def", "field Id integer\nfield Age integer\n");
  Ok({"create", "copy", "copy.def"});
  // Half a million joined rows: the stop comes long before they are all made.
  const std::string many = "SELECT a.Id * 10000 + b.Id, a.Age FROM people a, people b WHERE a.Age <= b.Age";
  struct TCase {
    std::string Sql;
    std::string Cue;
    int Signal;
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {"insert into copy " + many, "running INSERT", SIGTERM,
       "INSERT stopped by SIGTERM; what it did before the stop stays: 0 rows inserted"},
      {"update people set Age = 0 where Id in (select a.Id from people a, people b where a.Age <= b.Age)",
       "running UPDATE", SIGINT, "UPDATE stopped by SIGINT; what it did before the stop stays: 0 rows updated"},
      {"delete from people where Id in (select a.Id from people a, people b where a.Age <= b.Age)",
       "running DELETE", SIGTERM, "DELETE stopped by SIGTERM; what it did before the stop stays: 0 rows deleted"},
      {"update people set Age = 0 from people, people b where people.Age < b.Age - 200", "running UPDATE", SIGTERM,
       "UPDATE stopped by SIGTERM; what it did before the stop stays: 0 rows updated"},
  };
  const std::string people = TableBytes("people"), copy = TableBytes("copy");
  const std::vector<std::string> listing = Listing();
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TResult r = RunAndSignal({"sql", ".", "-c", c.Sql}, c.Cue, c.Signal);
    EXPECT_EQ(r.Status, 128 + c.Signal) << r.Err;
    EXPECT_NE(r.Err.find("veldor: -c statement 1: " + c.Message + " ("), std::string::npos) << r.Err;
    EXPECT_EQ(r.Out, "");
    EXPECT_TRUE(TableBytes("people") == people) << "people changed";
    EXPECT_TRUE(TableBytes("copy") == copy) << "copy changed";
    EXPECT_EQ(Listing(), listing);
  }
  EXPECT_EQ(Ok({"dump", "people", "--count"}), "1000\n");
  EXPECT_EQ(Run({"verify", "people"}).Status, 0);
}

// Output that cannot be written fails the run (status 1) for every command; a reader that
// stops reading early is no error.
TEST_F(InterruptTest, OutputThatCannotBeWrittenFails) {
  MakePeople();
  TRunOptions full;
  full.StdoutPath = "/dev/full";
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"dump", "people"}, {"dump", "people", "--count"}, {"info", "people"},
        {"verify", "people"}, {"--version"}, {"help"}, {"load", "people", "-"}}) {
    SCOPED_TRACE(args[0]);
    TResult r = Run(args, args[0] == "load" ? "Id\n77\n" : "", full);
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find("veldor: cannot write the output: No space left on device"), std::string::npos) << r.Err;
  }

  // A closed standard output is an error too.
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(dir_.c_str()) != 0) _exit(126);
    int err = open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    close(err);
    close(1);
    ExecTool({"dump", "people"});
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(StatusOf(status), 1);
  EXPECT_NE(ReadFile(Path(".stderr")).find("cannot write the output"), std::string::npos);

  // A reader that takes the first line and goes (as head does) ends the dump quietly.
  std::string rows = "Id,Name\n";
  for (int i = 100; i < 100100; ++i) rows += std::to_string(i) + ",someone\n";
  Ok({"load", "people", "-"}, rows);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  pid = fork();
  if (pid == 0) {
    if (chdir(dir_.c_str()) != 0) _exit(126);
    close(pipeFds[0]);
    dup2(pipeFds[1], 1);
    int err = open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(err, 2);
    ExecTool({"-e", "dump people; dump people; drop people"});
  }
  close(pipeFds[1]);
  char first[16];
  ASSERT_GT(read(pipeFds[0], first, sizeof first), 0);
  close(pipeFds[0]);
  waitpid(pid, &status, 0);
  EXPECT_EQ(StatusOf(status), 0);
  EXPECT_EQ(ReadFile(Path(".stderr")), "");
  EXPECT_TRUE(Exists("people.DAT"));  // the run ended there: the commands after it did not run
}

}  // namespace
