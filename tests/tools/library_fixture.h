// What the tests of the library programs (brevarion-sample, brevarion-import) share: the
// built programs run as child processes in a fresh directory, also on a terminal that
// gets a signal once it shows a cue; the volumes read back through the engine and checked
// with the same checker `veldor verify` uses; and the text a reader would see in an RTF
// document, read by a small reader of the tests' own.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/session.h"
#include "engine/table_check.h"
#include "lib/code_page.h"
#include "lib/temp_dir.h"
#include "tools/library_volumes.h"

#ifndef BREVARION_SAMPLE
#error "BREVARION_SAMPLE must name the brevarion-sample binary"
#endif
#ifndef BREVARION_IMPORT
#error "BREVARION_IMPORT must name the brevarion-import binary"
#endif

namespace veldor::test {

struct TRun {
  int Status = -1;  // the exit status, or 128 + the signal that ended the run
  std::string Out;
  std::string Err;
};

// One entry as a volume holds it: names in UTF-8, the text as stored.
struct TStored {
  std::string Surname, FirstName, Title, Text;
  bool operator==(const TStored&) const = default;
};

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

inline void WriteWhole(const std::string& path, const std::string& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// The text an RTF document shows, in UTF-8: \par and \line as line breaks, \tab as a tab,
// \'hh as that Windows-1252 character, \uN as its character (the one stand-in after it
// skipped), the font and colour tables and "\*" destinations left out. Iterative.
inline std::string VisibleText(const std::string& rtf) {
  std::string out;
  std::vector<bool> skipStack;
  bool skip = false;
  uint32_t highSurrogate = 0;
  auto emit = [&](uint32_t c) {
    if (skip) return;
    if (c >= 0xD800 && c <= 0xDBFF) {
      highSurrogate = c;
      return;
    }
    if (c >= 0xDC00 && c <= 0xDFFF && highSurrogate != 0) c = 0x10000 + ((highSurrogate - 0xD800) << 10) + (c - 0xDC00);
    highSurrogate = 0;
    AppendUtf8(out, c);
  };
  for (size_t i = 0; i < rtf.size();) {
    const char c = rtf[i];
    if (c == '{') {
      skipStack.push_back(skip);
      ++i;
      continue;
    }
    if (c == '}') {
      if (!skipStack.empty()) {
        skip = skipStack.back();
        skipStack.pop_back();
      }
      ++i;
      continue;
    }
    if (c == '\r' || c == '\n') {
      ++i;
      continue;
    }
    if (c != '\\') {
      emit(Windows1252ToUnicode(uint8_t(c)));
      ++i;
      continue;
    }
    ++i;
    if (i >= rtf.size()) break;
    const char n = rtf[i];
    if (n == '\\' || n == '{' || n == '}') {
      emit(uint8_t(n));
      ++i;
    } else if (n == '\'') {
      emit(Windows1252ToUnicode(uint8_t(std::stoi(rtf.substr(i + 1, 2), nullptr, 16))));
      i += 3;
    } else if (n == '*') {
      skip = true;
      ++i;
    } else if ((n >= 'a' && n <= 'z') || (n >= 'A' && n <= 'Z')) {
      size_t end = i;
      while (end < rtf.size() && ((rtf[end] >= 'a' && rtf[end] <= 'z') || (rtf[end] >= 'A' && rtf[end] <= 'Z'))) ++end;
      const std::string word = rtf.substr(i, end - i);
      size_t digits = end;
      if (digits < rtf.size() && rtf[digits] == '-') ++digits;
      while (digits < rtf.size() && rtf[digits] >= '0' && rtf[digits] <= '9') ++digits;
      const std::string argument = rtf.substr(end, digits - end);
      i = digits;
      if (i < rtf.size() && rtf[i] == ' ') ++i;  // the delimiter
      if (word == "par" || word == "line") {
        emit('\n');
      } else if (word == "tab") {
        emit('\t');
      } else if (word == "u" && !argument.empty()) {
        emit(uint32_t(uint16_t(int16_t(std::stoi(argument)))));
        if (i < rtf.size()) ++i;  // the stand-in character
      } else if (word == "fonttbl" || word == "colortbl") {
        skip = true;
      }
    } else {
      ++i;  // a control symbol this reader has no use for
    }
  }
  return out;
}

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = veldor::MakeTempDirectory("brevarion");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  void Write(const std::string& name, const std::string& bytes) const { WriteWhole(Path(name), bytes); }

  static int StatusOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

  [[noreturn]] static void Exec(const char* program, const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
  }

  static void ExpectNoSanitizerReport(const std::string& err) {
    EXPECT_EQ(err.find("Sanitizer"), std::string::npos) << err;
    EXPECT_EQ(err.find("runtime error"), std::string::npos) << err;
  }

  // Starts `program` in the test's directory with its output and errors in files named
  // after `tag`; returns the child's id.
  pid_t Start(const char* program, const std::vector<std::string>& args, const std::string& tag) const {
    const std::string out = Path("." + tag + ".out"), err = Path("." + tag + ".err");
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(126);
      const int fds[3] = {open("/dev/null", O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                          open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
      for (int k = 0; k < 3; ++k) dup2(fds[k], k);
      Exec(program, args);
    }
    return pid;
  }

  TRun Finish(pid_t pid, const std::string& tag) const {
    TRun r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.Status = StatusOf(status);
    r.Out = ReadWhole(Path("." + tag + ".out"));
    r.Err = ReadWhole(Path("." + tag + ".err"));
    ExpectNoSanitizerReport(r.Err);
    return r;
  }

  TRun Run(const char* program, const std::vector<std::string>& args) const {
    return Finish(Start(program, args, "run"), "run");
  }
  TRun Sample(const std::vector<std::string>& args) const { return Run(BREVARION_SAMPLE, args); }
  TRun Import(const std::vector<std::string>& args) const { return Run(BREVARION_IMPORT, args); }

  // Runs `program` with standard error on a terminal and sends `signal` once the terminal
  // shows `cue`, then calls `afterSignal` (when given); Err is all the terminal showed.
  TRun RunAndSignal(const char* program, const std::vector<std::string>& args, const std::string& cue, int signal,
                    const std::function<void()>& afterSignal = nullptr) const {
    int master = -1, terminal = -1;
    EXPECT_EQ(openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    const std::string out = Path(".signal.out");
    const pid_t pid = fork();
    if (pid == 0) {
      close(master);
      if (chdir(dir_.c_str()) != 0) _exit(126);
      const int input = open("/dev/null", O_RDONLY), output = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(input, 0);
      dup2(output, 1);
      dup2(terminal, 2);
      Exec(program, args);
    }
    close(terminal);
    TRun r;
    bool sent = false;
    char buffer[4096];
    for (ssize_t n; (n = read(master, buffer, sizeof buffer)) > 0;) {
      r.Err.append(buffer, size_t(n));
      if (!sent && r.Err.find(cue) != std::string::npos) {
        kill(pid, signal);
        sent = true;
        if (afterSignal) afterSignal();
      }
    }
    close(master);
    int status = 0;
    waitpid(pid, &status, 0);
    r.Status = StatusOf(status);
    r.Out = ReadWhole(out);
    EXPECT_TRUE(sent) << "never showed '" << cue << "':\n" << r.Err;
    ExpectNoSanitizerReport(r.Err);
    return r;
  }

  // The entries of a volume of the library in `directory`, in its primary order, after
  // the table checker found it sound (its problems, if any, fail the test).
  static std::vector<TStored> ReadVolume(const std::string& directory, const std::string& table) {
    TDataSession session(0);
    TDataCursor c(session.OpenDataDirectory("", directory));
    c.SetTableName(table);
    c.SetExclusive(true);
    c.SetReadOnly(true);
    c.Open();
    const std::vector<std::string> problems = CheckTable(*c.Table());
    for (const std::string& p : problems) ADD_FAILURE() << table << ": " << p;
    std::vector<TStored> entries;
    std::vector<uint8_t> image(c.RecordSize());
    const uint16_t fields[3] = {c.FieldNumber("AuthorSurname"), c.FieldNumber("AuthorFirstName"), c.FieldNumber("Title")};
    const uint16_t text = c.FieldNumber("TextPocket");
    c.SetToBegin();
    while (c.GetNextRecord(image.data()) == 0) {
      TStored e;
      std::string* names[3] = {&e.Surname, &e.FirstName, &e.Title};
      for (int k = 0; k < 3; ++k) {
        std::vector<char> slot(c.Field(fields[k]).SlotSize() + 1, 0);
        if (!c.GetField(fields[k], image.data(), slot.data())) *names[k] = Windows1252ToUtf8(slot.data());
      }
      EXPECT_EQ(c.OpenBlob(text, image.data(), kBlobOwnerEngine, false, kBlobRead), 0);
      uint32_t size = 0, got = 0;
      EXPECT_EQ(c.GetBlobSize(text, image.data(), false, size), 0);
      e.Text.resize(size);
      if (size > 0) {
        EXPECT_EQ(c.GetBlob(text, image.data(), false, 0, size, e.Text.data(), got), 0);
      }
      c.FreeBlob(text, image.data(), kBlobOwnerEngine, false);
      entries.push_back(std::move(e));
    }
    c.Close();
    return entries;
  }

  // Every volume of the library in `directory` that exists, by volume number.
  static std::vector<std::vector<TStored>> ReadLibrary(const std::string& directory, int* present = nullptr) {
    std::vector<std::vector<TStored>> volumes(tool::kVolumeCount);
    int count = 0;
    for (int v = 0; v < tool::kVolumeCount; ++v) {
      const std::string name = tool::Volumes()[size_t(v)].TableName;
      if (!std::filesystem::exists(directory + "/" + name + ".DAT")) continue;
      ++count;
      volumes[size_t(v)] = ReadVolume(directory, name);
    }
    if (present) *present = count;
    return volumes;
  }

  std::string dir_;
};

}  // namespace veldor::test
