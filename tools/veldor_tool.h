// What the pieces of the `veldor` command-line tool share: its kinds of failure, the
// splitting of command and definition lines into words, the progress line, the text that
// crosses between the user (UTF-8) and the engine (Windows-1252), standard output, and the
// stop that SIGINT and SIGTERM ask for.
//
// The tool is single-threaded; nothing here is shared between threads, except the stop
// request, which a signal handler sets. Errors of the engine reach the tool's top level as
// `EVELDOREngineError` and are printed there with the engine's message; the tool's own
// failures are `TToolError` (bad input: exit status 1) and `TUsageError` (a command line
// the tool does not understand: exit status 2). A stop asked for by a signal leaves a
// command as `TStopped` at the next point where it can stop cleanly.
#pragma once

#include <signal.h>

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veldor::tool {

// Bad input: a malformed definition or CSV file, a value that does not fit its field, a
// table that does not exist.
class TToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command line the tool does not understand.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A stop asked for by SIGINT or SIGTERM, raised at a stop point. A command that catches it
// raises it again with a message saying what became of its work.
class TStopped : public std::runtime_error {
 public:
  explicit TStopped(int signal, const std::string& message = "");
  int Signal;
};

// Output that cannot be written; `ReaderGone` when the reader of a pipe stopped reading
// (EPIPE), which ends the run quietly.
class TOutputError : public std::runtime_error {
 public:
  TOutputError(const std::string& message, bool readerGone)
      : std::runtime_error(message), ReaderGone(readerGone) {}
  bool ReaderGone;
};

// ---- Stops --------------------------------------------------------------------------------
// SIGINT and SIGTERM set a request (and nothing else); SIGPIPE is ignored, so that a
// closed pipe shows as EPIPE; a closed standard descriptor is kept from being reused by a
// table file. Installed once at start, before anything is opened.
void InstallStopHandlers();
// The signal asked to stop with, 0 when none.
int StopSignal();
// Forgets a stop request that has been answered without ending the run (a Ctrl-C that
// stopped one statement of an interactive SQL shell).
void ClearStopRequest();
// "SIGINT", "SIGTERM" or "SIGHUP".
std::string SignalName(int signal);
// Raises TStopped when a stop was asked for and no TDeferStops is alive. Long loops call
// it between units of work that leave everything consistent.
void StopPoint();
// While one lives, SIGHUP (the terminal went away) asks for a stop as SIGINT does: for a
// program that works at a terminal and must clean up when it is closed.
class TStopsOnHangUp {
 public:
  TStopsOnHangUp();
  ~TStopsOnHangUp();
  TStopsOnHangUp(const TStopsOnHangUp&) = delete;
  TStopsOnHangUp& operator=(const TStopsOnHangUp&) = delete;

 private:
  struct sigaction Former_;
};
// While one lives, SIGINT, SIGTERM (and SIGHUP) end a read that waits (it fails with EINTR) instead
// of letting it go on: for a library's reads from a terminal, which a stop should end.
class TInterruptibleReads {
 public:
  TInterruptibleReads();
  ~TInterruptibleReads();
  TInterruptibleReads(const TInterruptibleReads&) = delete;
  TInterruptibleReads& operator=(const TInterruptibleReads&) = delete;
};
// While one lives, StopPoint does not raise: the work of its scope runs to its end (a
// commit, a rename, an undo), and the request waits for the next stop point.
class TDeferStops {
 public:
  TDeferStops();
  ~TDeferStops();
  TDeferStops(const TDeferStops&) = delete;
  TDeferStops& operator=(const TDeferStops&) = delete;
};

// ---- Text across the boundary -------------------------------------------------------------
// The engine's (Windows-1252) form of user text; a character it cannot hold raises
// TToolError "WHAT: the character ... has no place in Windows-1252".
std::string Stored(std::string_view utf8, const std::string& what);
// The UTF-8 form of engine text, for the terminal and for CSV.
std::string Shown(std::string_view stored);
// Engine text quoted for a message, in UTF-8: 'text', or its first 60 characters and its
// length when it is longer ('abc...' (10000000 characters)).
std::string Brief(std::string_view stored);
// An engine error's message in UTF-8: its table and database names are file names and
// stay as they are, the rest is engine text.
std::string EngineMessage(const std::string& message, const std::string& tableName,
                          const std::string& databaseName);

// ---- Standard output ----------------------------------------------------------------------
// Writes to standard output; TOutputError when it cannot.
void Out(std::string_view text);
// Pushes out what is buffered and checks that everything written arrived; TOutputError.
void FinishOutput();

// One word of a line, and whether it was quoted (a quoted word is never a keyword).
struct TWord {
  std::string Text;
  bool Quoted = false;
};

// Splits a line into words at blanks. A word in single or double quotes keeps its blanks;
// inside, the quote doubled stands for itself ('it''s'). Outside quotes "#" at the start
// of a word ends the line and, when `separator` is not 0, that character ends a command
// (the rest goes to `rest`, which is cleared otherwise). An unclosed quote raises
// TToolError.
std::vector<TWord> SplitWords(std::string_view line, char separator = 0, std::string* rest = nullptr);

// Text in single quotes, inner quotes doubled: what SplitWords reads back as one word.
std::string Quoted(std::string_view text);
// The text as it is when SplitWords reads it back unchanged as one word, else Quoted.
std::string WordOf(std::string_view text);

// Case-insensitive comparison of ASCII words.
bool SameWord(std::string_view a, std::string_view b);

// A percentage on one line of standard error, redrawn in place; shown only when standard
// error is a terminal. The line is erased when the object goes.
class TProgressLine {
 public:
  explicit TProgressLine(std::string label);
  ~TProgressLine();
  TProgressLine(const TProgressLine&) = delete;
  TProgressLine& operator=(const TProgressLine&) = delete;
  void Show(int percent);

 private:
  std::string Label_;
  bool Terminal_;
  bool Shown_ = false;
  int Last_ = -1;
};

}  // namespace veldor::tool
