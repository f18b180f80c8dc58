// Words, quoting, the progress line, text conversion, output and stops of the veldor tool.

#include "tools/veldor_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "lib/code_page.h"

namespace veldor::tool {

// ---- Stops ----------------------------------------------------------------------------------

namespace {

volatile std::sig_atomic_t gStopSignal = 0;
int gDeferred = 0;

extern "C" void OnStopSignal(int signal) {
  if (gStopSignal == 0) gStopSignal = signal;
}

}  // namespace

TStopped::TStopped(int signal, const std::string& message)
    : std::runtime_error(message.empty() ? "stopped by " + SignalName(signal) : message), Signal(signal) {}

void InstallStopHandlers() {
  // A standard descriptor that is closed would be taken by the first table file opened, and
  // output would land in the table. Each gets /dev/null opened the wrong way round, so that
  // using it fails (EBADF) as using the closed one would.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = open("/dev/null", fd == 0 ? O_WRONLY : O_RDONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Reads and writes go on after the handler: the request is looked at between records.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

int StopSignal() { return int(gStopSignal); }

void ClearStopRequest() { gStopSignal = 0; }

std::string SignalName(int signal) {
  return signal == SIGINT    ? "SIGINT"
         : signal == SIGTERM ? "SIGTERM"
         : signal == SIGHUP  ? "SIGHUP"
                             : "signal " + std::to_string(signal);
}

TStopsOnHangUp::TStopsOnHangUp() {
  struct sigaction action {};
  sigaction(SIGINT, nullptr, &action);
  sigaction(SIGHUP, &action, &Former_);
}

TStopsOnHangUp::~TStopsOnHangUp() { sigaction(SIGHUP, &Former_, nullptr); }

void StopPoint() {
  if (gStopSignal != 0 && gDeferred == 0) throw TStopped(int(gStopSignal));
}

TInterruptibleReads::TInterruptibleReads() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    action.sa_flags &= ~SA_RESTART;
    sigaction(signal, &action, nullptr);
  }
}

TInterruptibleReads::~TInterruptibleReads() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction action {};
    sigaction(signal, nullptr, &action);
    action.sa_flags |= SA_RESTART;
    sigaction(signal, &action, nullptr);
  }
}

TDeferStops::TDeferStops() { ++gDeferred; }
TDeferStops::~TDeferStops() { --gDeferred; }

// ---- Text across the boundary ---------------------------------------------------------------

std::string Stored(std::string_view utf8, const std::string& what) {
  std::string out;
  TCodePageProblem problem;
  if (!Utf8ToWindows1252(utf8, out, problem))
    throw TToolError(what + ": " + CodePageProblemText(utf8, problem));
  return out;
}

std::string Shown(std::string_view stored) { return Windows1252ToUtf8(stored); }

std::string Brief(std::string_view stored) {
  constexpr size_t kShown = 60;
  if (stored.size() <= kShown) return "'" + Shown(stored) + "'";
  return "'" + Shown(stored.substr(0, kShown)) + "...' (" + std::to_string(stored.size()) + " characters)";
}

std::string EngineMessage(const std::string& message, const std::string& tableName,
                          const std::string& databaseName) {
  std::string out;
  std::string pending;
  auto flush = [&] {
    out += Shown(pending);
    pending.clear();
  };
  for (size_t i = 0; i < message.size();) {
    bool raw = false;
    for (const std::string* name : {&tableName, &databaseName}) {
      if (!name->empty() && message.compare(i, name->size(), *name) == 0) {
        flush();
        out += *name;
        i += name->size();
        raw = true;
        break;
      }
    }
    if (!raw) pending += message[i++];
  }
  flush();
  return out;
}

// ---- Standard output ------------------------------------------------------------------------

namespace {

[[noreturn]] void OutputFailed(int error) {
  throw TOutputError(std::string("cannot write the output: ") + std::strerror(error), error == EPIPE);
}

}  // namespace

void Out(std::string_view text) {
  if (text.empty()) return;
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) OutputFailed(errno ? errno : EIO);
}

void FinishOutput() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) OutputFailed(errno ? errno : EIO);
}

std::vector<TWord> SplitWords(std::string_view line, char separator, std::string* rest) {
  std::vector<TWord> words;
  if (rest) rest->clear();
  size_t i = 0;
  const size_t n = line.size();
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < n) {
    if (blank(line[i])) {
      ++i;
      continue;
    }
    if (separator != 0 && line[i] == separator) {
      if (rest) *rest = std::string(line.substr(i + 1));
      return words;
    }
    if (line[i] == '#') break;
    TWord word;
    // A word runs to the next blank or separator; quoted stretches may sit anywhere in it.
    while (i < n && !blank(line[i]) && !(separator != 0 && line[i] == separator)) {
      const char c = line[i];
      if (c != '\'' && c != '"') {
        word.Text += c;
        ++i;
        continue;
      }
      word.Quoted = true;
      ++i;
      for (;;) {
        if (i >= n) throw TToolError(std::string("the quote ") + c + " is not closed");
        if (line[i] == c) {
          if (i + 1 < n && line[i + 1] == c) {
            word.Text += c;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        word.Text += line[i++];
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::string Quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

std::string WordOf(std::string_view text) {
  if (text.empty()) return "''";
  for (char c : text)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\'' || c == '"' || c == '#' || c == ';')
      return Quoted(text);
  return std::string(text);
}

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = char(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

TProgressLine::TProgressLine(std::string label)
    : Label_(std::move(label)), Terminal_(isatty(STDERR_FILENO) == 1) {}

TProgressLine::~TProgressLine() {
  if (!Shown_) return;
  std::fprintf(stderr, "\r%*s\r", int(Label_.size() + 6), "");
  std::fflush(stderr);
}

void TProgressLine::Show(int percent) {
  if (!Terminal_ || percent == Last_) return;
  Last_ = percent;
  Shown_ = true;
  std::fprintf(stderr, "\r%s %3d%%", Label_.c_str(), percent);
  std::fflush(stderr);
}

}  // namespace veldor::tool
