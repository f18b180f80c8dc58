// What the tests of the veldor tool share: the built binary run as a child process in a
// fresh directory with files the tests write, its output, errors and exit status; runs with
// standard output elsewhere (/dev/full, a pipe), with a file size limit, and runs on a
// terminal that are stopped by a signal once they show a given text.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "lib/temp_dir.h"

#ifndef VELDOR_TOOL
#error "VELDOR_TOOL must name the veldor binary"
#endif

namespace veldor::test {

struct TResult {
  int Status = -1;  // the exit status, or 128 + the signal that ended the run
  std::string Out;
  std::string Err;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// The lines of a dump that are records (the header dropped), each cut at its first comma.
inline std::vector<std::string> FirstCells(const std::string& dump) {
  std::vector<std::string> out;
  std::istringstream in(dump);
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) out.push_back(line.substr(0, line.find(',')));
  return out;
}

// How a run differs from the plain one.
struct TRunOptions {
  std::string StdoutPath;     // standard output goes here instead of a file of the test's
  rlim_t FileSizeLimit = 0;   // RLIMIT_FSIZE for the run (SIGXFSZ ignored), 0 for none
  std::vector<std::string> Environment;  // "NAME=value" settings added for the run
};

class VeldorCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = veldor::MakeTempDirectory("veldor-cli");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  bool Exists(const std::string& name) const { return std::filesystem::exists(Path(name)); }
  void Write(const std::string& name, const std::string& text) const { WriteFile(Path(name), text); }
  // The names in the test's directory (the run's own .stdin, .stdout and .stderr left out).
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      std::string name = entry.path().filename().string();
      if (name[0] != '.') names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // The bytes of a table's three files (a missing one counts as empty).
  std::string TableBytes(const std::string& name) const {
    return ReadFile(Path(name + ".DAT")) + "|" + ReadFile(Path(name + ".IDX")) + "|" +
           ReadFile(Path(name + ".BLB"));
  }

  static void ExecTool(const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(VELDOR_TOOL)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(VELDOR_TOOL, argv.data());
    _exit(127);
  }

  static int StatusOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

  static void ExpectNoSanitizerReport(const std::string& err) {
    // Whatever the status, a sanitizer's report is a failure of its own.
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
  }

  // Runs veldor with `args` in the test's directory, `input` on standard input.
  TResult Run(const std::vector<std::string>& args, const std::string& input = "",
              const TRunOptions& options = {}) const {
    const std::string in = Path(".stdin"), err = Path(".stderr");
    const std::string out = options.StdoutPath.empty() ? Path(".stdout") : options.StdoutPath;
    WriteFile(in, input);
    pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(126);
      int fds[3] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                    open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
      for (int k = 0; k < 3; ++k) dup2(fds[k], k);
      if (options.FileSizeLimit != 0) {
        signal(SIGXFSZ, SIG_IGN);  // writes past the limit then fail with EFBIG
        rlimit limit{options.FileSizeLimit, options.FileSizeLimit};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      for (const std::string& setting : options.Environment) {
        const size_t equals = setting.find('=');
        setenv(setting.substr(0, equals).c_str(), setting.substr(equals + 1).c_str(), 1);
      }
      ExecTool(args);
    }
    TResult r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.Status = StatusOf(status);
    if (options.StdoutPath.empty()) r.Out = ReadFile(out);
    r.Err = ReadFile(err);
    ExpectNoSanitizerReport(r.Err);
    return r;
  }

  // Runs a command that must succeed and returns its output.
  std::string Ok(const std::vector<std::string>& args, const std::string& input = "") const {
    TResult r = Run(args, input);
    EXPECT_EQ(r.Status, 0) << args[0] << ": " << r.Err;
    return r.Out;
  }

  // Runs veldor with standard error on a terminal (where it shows progress), and sends
  // `signal` once the terminal shows `cue`; Err is all the terminal showed. The run is not
  // timed: it ends when the tool does (a run that never shows the cue just finishes).
  TResult RunAndSignal(const std::vector<std::string>& args, const std::string& cue, int signal) const {
    int master = -1, terminal = -1;
    EXPECT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    const std::string out = Path(".stdout");
    pid_t pid = fork();
    if (pid == 0) {
      close(master);
      if (chdir(dir_.c_str()) != 0) _exit(126);
      int devnull = open("/dev/null", O_RDONLY);
      int output = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(devnull, 0);
      dup2(output, 1);
      dup2(terminal, 2);
      ExecTool(args);
    }
    close(terminal);
    TResult r;
    bool sent = false;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) {
      r.Err.append(buffer, size_t(n));
      if (!sent && r.Err.find(cue) != std::string::npos) {
        kill(pid, signal);
        sent = true;
      }
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    r.Status = StatusOf(status);
    r.Out = ReadFile(out);
    EXPECT_TRUE(sent) << "never showed '" << cue << "':\n" << r.Err;
    ExpectNoSanitizerReport(r.Err);
    return r;
  }

  // people: Id integer (primary), Name string 20, Age integer; ByName (nocase) and ByAge.
  void MakePeople() {
    Write("people.def",
          "field Id integer\nfield Name string 20\nfield Age integer\nprimary Id\n"
          "index ByName Name nocase\nindex ByAge Age\n");
    Ok({"create", "people", "people.def"});
    Ok({"load", "people", "-"}, "Id,Name,Age\n1,bob,30\n2,Alice,25\n3,carol,35\n4,Dave,25\n5,eve,40\n");
  }

  std::string dir_;
};

}  // namespace veldor::test
