// The SQL shell of the veldor tool (`veldor sql`) through its process interface: statements
// from -c, from standard input and typed on a terminal, results as a table and as CSV,
// errors and their exit status, stops by a signal, and the private directory of the run.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/tools/cli_fixture.h"

namespace {

using namespace veldor::test;

class SqlShellTest : public VeldorCliTest {
 protected:
  // people: Id (primary), Name string 20, Age integer, Price bcd 2; an accented name, NULLs.
  void MakeTable() {
    Write("people.def", "field Id integer\nfield Name string 20\nfield Age integer\nfield Price bcd 2\nprimary Id\n");
    Ok({"create", "people", "people.def"});
    Ok({"load", "people", "-"}, "Id,Name,Age,Price\n1,bob,30,1.5\n2,Zoë,,2.25\n3,\"carol, jr\",35,\n");
  }

  // A run whose private directory goes to tmp/ in the test's directory, so that the test
  // can see it is gone afterwards.
  TResult RunSql(const std::vector<std::string>& args, const std::string& input = "") {
    std::filesystem::create_directory(Path("tmp"));
    TRunOptions options;
    options.Environment = {"TMPDIR=" + Path("tmp")};
    std::vector<std::string> all{"sql", "."};
    all.insert(all.end(), args.begin(), args.end());
    TResult r = Run(all, input, options);
    EXPECT_TRUE(std::filesystem::is_empty(Path("tmp"))) << "the private directory was left behind";
    return r;
  }

  // people: Id (primary) and Age, a thousand records: a self-join of it walks a million
  // pairs, long after the first percent of its progress has shown.
  void MakeBigTable() {
    Write("big.def", "field Id integer\nfield Age integer\nprimary Id\n");
    Ok({"create", "people", "big.def"});
    std::string csv = "Id,Age\n";
    for (int i = 1; i <= 1000; ++i) csv += std::to_string(i) + "," + std::to_string(i % 90) + "\n";
    Ok({"load", "people", "-"}, csv);
  }
  static constexpr const char* kLongSelect = "select a.Id from people a, people b where a.Age < b.Age - 200";

  // Runs the shell on a terminal (standard input, output and error), typing each line of
  // `lines` once the prompt asks for it; Out is all the terminal showed, without CRs. When
  // the terminal shows `cue`, the shell gets `signal` (once): SIGINT as Ctrl-C would send
  // it, SIGHUP as a closed terminal would.
  TResult RunTyped(const std::vector<std::string>& lines, const std::string& cue = "", int signal = SIGINT) {
    int master = -1, terminal = -1;
    EXPECT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    pid_t pid = fork();
    if (pid == 0) {
      close(master);
      setsid();
      if (chdir(dir_.c_str()) != 0) _exit(126);
      for (int fd = 0; fd < 3; ++fd) dup2(terminal, fd);
      setenv("TERM", "dumb", 1);
      setenv("TMPDIR", dir_.c_str(), 1);
      ExecTool({"sql", "."});
    }
    close(terminal);
    TResult r;
    size_t typed = 0;
    bool interrupted = cue.empty();
    char buffer[4096];
    auto prompts = [&] {
      size_t n = 0;
      for (const char* p : {"sql> ", "...> "})
        for (size_t at = r.Out.find(p); at != std::string::npos; at = r.Out.find(p, at + 1)) ++n;
      return n;
    };
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) {
      for (ssize_t i = 0; i < n; ++i)
        if (buffer[i] != '\r') r.Out += buffer[i];
      if (!interrupted && r.Out.find(cue) != std::string::npos) {
        kill(pid, signal);
        interrupted = true;
      }
      while (typed < lines.size() && prompts() > typed) {
        const std::string line = lines[typed++] + "\n";
        EXPECT_EQ(write(master, line.data(), line.size()), ssize_t(line.size()));
      }
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    r.Status = StatusOf(status);
    EXPECT_TRUE(interrupted) << "never showed '" << cue << "':\n" << r.Out;
    ExpectNoSanitizerReport(r.Out);
    return r;
  }
};

// A SELECT as an aligned table and as CSV: NULLs, an accented letter, a quoted cell, numbers
// to the right, the count of rows; the hidden count column of an average is left out.
TEST_F(SqlShellTest, ResultsAsTableAndCsv) {
  MakeTable();
  std::filesystem::create_directory(Path("tmp"));
  const std::vector<std::string> before = Listing();
  TResult r = RunSql({"-c", "select * from people"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out,
            "Id  Name       Age   Price\n"
            "--  ---------  ----  -----\n"
            " 1  bob          30    1.5\n"
            " 2  Zoë        NULL   2.25\n"
            " 3  carol, jr    35   NULL\n"
            "(3 rows)\n");
  EXPECT_EQ(r.Err, "");

  r = RunSql({"--csv", "-c", "select * from people"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "Id,Name,Age,Price\n1,bob,30,1.5\n2,Zoë,,2.25\n3,\"carol, jr\",35,\n");

  r = RunSql({"--csv", "-c", "select avg(Age) as Mean, max(Price) as Most from people"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "Mean,Most\n32.5,2.25\n");

  // No result table is left in the database's directory.
  EXPECT_EQ(Listing(), before);
}

// Text goes in and comes out as UTF-8; a character Windows-1252 has no place for is refused
// before anything runs.
TEST_F(SqlShellTest, Utf8TextInAndOut) {
  MakeTable();
  TResult r = RunSql({"--csv", "-c", "select Id, Name from people where Name = 'Zoë'"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "Id,Name\n2,Zoë\n");

  r = RunSql({"-c", "select Id from people where Name = 'Жук'"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Out, "");
  EXPECT_NE(r.Err.find("veldor: -c statement 1: the statement: "), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("Windows-1252"), std::string::npos) << r.Err;
}

// Several statements run in order; the first that fails stops the batch with its engine
// message, naming it, and status 1; what ran before it was printed.
TEST_F(SqlShellTest, SeveralStatementsStopAtTheFirstError) {
  MakeTable();
  TResult r = RunSql({"--csv", "-c", "select Id from people where Age > 31; select Name from people where Id = 1;"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "Id\n3\nName\nbob\n");

  r = RunSql({"--csv", "-c", "select Id from people where Id = 1; select Nope from people; select Id from people"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Out, "Id\n1\n");
  EXPECT_NE(r.Err.find("veldor: -c statement 2: VELDOR Engine Error # 11949 SQL error - Invalid column name 'Nope'"),
            std::string::npos)
      << r.Err;

  r = RunSql({"-c", "select * from missing"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("missing.DAT' does not exist"), std::string::npos) << r.Err;

  // Command-line mistakes: status 2 for what the tool does not understand, 1 for a
  // directory that is not there.
  EXPECT_EQ(Run({"sql", ".", "--json"}).Status, 2);
  EXPECT_EQ(Run({"sql", ".", "-c"}).Status, 2);
  r = Run({"sql", "nowhere", "-c", "select * from people"});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("veldor: directory nowhere does not exist"), std::string::npos) << r.Err;
}

// INSERT, UPDATE and DELETE report their row counts (on standard error with --csv, so that
// standard output holds only CSV) and change the table as they say; CREATE TABLE and DROP
// TABLE say what they did.
TEST_F(SqlShellTest, ChangesReportTheirRowCounts) {
  MakeTable();
  TResult r = RunSql({"-c",
                      "insert into people (Id, Name, Age) values (4, 'Chloé', 41); "
                      "update people set Age = 50 where Id >= 3; delete from people where Id = 1"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  const std::regex report(
      "1 row inserted \\([0-9]+\\.[0-9]{2} s\\)\n"
      "2 rows updated \\([0-9]+\\.[0-9]{2} s\\)\n"
      "1 row deleted \\([0-9]+\\.[0-9]{2} s\\)\n");
  EXPECT_TRUE(std::regex_match(r.Out, report)) << r.Out;
  EXPECT_EQ(Ok({"dump", "people"}), "Id,Name,Age,Price\n2,Zoë,,2.25\n3,\"carol, jr\",50,\n4,Chloé,50,\n");

  r = RunSql({"--csv", "-c", "update people set Price = 9.5 where Id < 4; select Id, Price from people"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "Id,Price\n2,9.5\n3,9.5\n4,\n");
  EXPECT_TRUE(std::regex_match(r.Err, std::regex("2 rows updated \\([0-9.]+ s\\)\n"))) << r.Err;

  r = RunSql({"-c", "create table extra (A integer, B char(10)); insert into extra (A, B) values (1, 'é'); "
                    "select * from extra; drop table extra"});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("table created ("), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("A  B\n-  -\n1  é\n(1 row)\n"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("table dropped ("), std::string::npos) << r.Out;
  EXPECT_FALSE(Exists("extra.DAT"));
}

// Standard input that is no terminal: statements spanning lines, ";" inside quotes,
// brackets and comments, a last statement without ";", and errors named by their line.
TEST_F(SqlShellTest, StatementsFromStandardInput) {
  MakeTable();
  TResult r = RunSql({"--csv"},
                     "select Id\n  from people\n  where Name <> 'a;b' /* ; */ and [Name] <> \"x;\"\n"
                     "  and Id < 3;\n\n"
                     "select Name from people where Name = 'it''s;'; select Id from people where Id = 3");
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "Id\n1\n2\nName\nId\n3\n");

  r = RunSql({}, "select Id from people where Id = 1;\n\nselect\n  Nope from people;\nselect Id from people;\n");
  EXPECT_EQ(r.Status, 1);
  EXPECT_EQ(r.Out, "Id\n--\n 1\n(1 row)\n");
  EXPECT_NE(r.Err.find("veldor: standard input line 3: VELDOR Engine Error # 11949"), std::string::npos) << r.Err;

  // .quit ends the input where it stands.
  r = RunSql({"--csv"}, "select Id from people where Id = 2;\n.quit\nselect Nope from people;\n");
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Out, "Id\n2\n");
}

// On a terminal the shell prompts, goes on after a failed statement, keeps a statement
// that spans lines, and leaves at .quit.
TEST_F(SqlShellTest, TypedStatementsGoOnAfterErrors) {
  MakeTable();
  TResult r = RunTyped({"select Nope from people;", "select Name", "  from people where Id = 2;", ".quit"});
  EXPECT_EQ(r.Status, 0) << r.Out;
  EXPECT_NE(r.Out.find("veldor: VELDOR Engine Error # 11949 SQL error - Invalid column name 'Nope'"),
            std::string::npos)
      << r.Out;
  EXPECT_NE(r.Out.find("Name\n----\nZoë\n(1 row)\n"), std::string::npos) << r.Out;
  // Nothing of the run is left in its temporary directory (the test's own).
  for (const auto& entry : std::filesystem::directory_iterator(dir_))
    EXPECT_EQ(entry.path().filename().string().rfind("veldor-sql-", 0), std::string::npos) << entry.path();
}

// A long SELECT stopped by a signal: the abort reaches the engine, the run ends by the
// signal with a message, no result is printed and the private directory is gone.
TEST_F(SqlShellTest, StoppedStatementEndsTheRun) {
  MakeBigTable();
  std::filesystem::create_directory(Path("tmp"));
  const std::vector<std::string> listing = Listing();
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal == SIGINT ? "SIGINT" : "SIGTERM");
    setenv("TMPDIR", Path("tmp").c_str(), 1);
    TResult r = RunAndSignal({"sql", ".", "-c", kLongSelect}, "running SELECT", signal);
    unsetenv("TMPDIR");
    EXPECT_EQ(r.Status, 128 + signal) << r.Err;
    const std::string name = signal == SIGINT ? "SIGINT" : "SIGTERM";
    EXPECT_NE(r.Err.find("veldor: -c statement 1: SELECT stopped by " + name + "; its result is not shown"),
              std::string::npos)
        << r.Err;
    EXPECT_EQ(r.Out, "");
    EXPECT_TRUE(std::filesystem::is_empty(Path("tmp")));
    EXPECT_EQ(Listing(), listing);
  }
}

// At the prompt, Ctrl-C stops the running statement only: the shell says so and takes the
// next one.
TEST_F(SqlShellTest, TypedCtrlCStopsOnlyTheStatement) {
  MakeBigTable();
  TResult r = RunTyped({std::string(kLongSelect) + ";", "select Age from people where Id = 89;", ".quit"},
                       "running SELECT");
  EXPECT_EQ(r.Status, 0) << r.Out;
  EXPECT_NE(r.Out.find("veldor: SELECT stopped by SIGINT; its result is not shown"), std::string::npos) << r.Out;
  EXPECT_NE(r.Out.find("Age\n---\n 89\n(1 row)\n"), std::string::npos) << r.Out;
}

// A terminal that goes away (SIGHUP) while a statement runs ends the shell by that signal,
// and its private directory goes with it.
TEST_F(SqlShellTest, HangUpEndsTheShellAndCleansUp) {
  MakeBigTable();
  TResult r = RunTyped({std::string(kLongSelect) + ";", ".quit"}, "running SELECT", SIGHUP);
  EXPECT_EQ(r.Status, 128 + SIGHUP) << r.Out;
  EXPECT_NE(r.Out.find("veldor: SELECT stopped by SIGHUP; its result is not shown"), std::string::npos) << r.Out;
  for (const auto& entry : std::filesystem::directory_iterator(dir_))
    EXPECT_EQ(entry.path().filename().string().rfind("veldor-sql-", 0), std::string::npos) << entry.path();
}

// An UPDATE stopped by a signal stops where the engine lets it: the rows it changed before
// the stop stay changed (the engine commits them), as many as the message says, and the
// table is sound.
TEST_F(SqlShellTest, StoppedUpdateKeepsWhatItReports) {
  Write("big.def", "field Id integer\nfield Age integer\nprimary Id\n");
  Ok({"create", "people", "big.def"});
  std::string csv = "Id,Age\n";
  for (int i = 1; i <= 50000; ++i) csv += std::to_string(i) + ",1\n";
  Ok({"load", "people", "-"}, csv);
  TResult r = RunAndSignal({"sql", ".", "-c", "update people set Age = 2 where Id > 0"}, "running UPDATE", SIGINT);
  EXPECT_EQ(r.Status, 128 + SIGINT) << r.Err;
  std::smatch match;
  ASSERT_TRUE(std::regex_search(r.Err, match,
                                std::regex("veldor: -c statement 1: UPDATE stopped by SIGINT; what it did before the "
                                           "stop stays: ([0-9]+) rows updated")))
      << r.Err;
  const std::string changed = Ok({"dump", "people", "--filter", "Age = 2", "--count"});
  EXPECT_EQ(changed, match[1].str() + "\n");
  EXPECT_NE(changed, "50000\n");
  EXPECT_EQ(Run({"verify", "people"}).Status, 0);
}

}  // namespace
