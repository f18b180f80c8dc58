// The SQL shell of the veldor tool: statement splitting, the private directory, running
// one statement with progress and stops, printing results, and the three kinds of input.

#include "tools/veldor_sql.h"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/exception.h"
#include "lib/temp_dir.h"
#include "sql/query.h"
#include "sql/query_statement.h"
#include "tools/veldor_tool.h"
#include "tools/veldor_values.h"

#ifdef VELDOR_HAVE_LIBEDIT
#include <editline/readline.h>
#endif

namespace veldor::tool {

// ---- Statement splitting ----------------------------------------------------------------------

bool TStatementSplitter::HasPending() const { return Started_; }

void TStatementSplitter::Discard() {
  Pending_.clear();
  State_ = TState::Plain;
  Started_ = false;
}

void TStatementSplitter::Feed(std::string_view text, std::vector<std::pair<std::string, size_t>>& complete) {
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    switch (State_) {
      case TState::Plain:
        if (c == ';') {
          if (Started_) complete.emplace_back(Pending_, PendingLine_);
          Pending_.clear();
          Started_ = false;
          break;
        }
        if (!Started_ && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) break;
        if (!Started_) {
          Started_ = true;
          PendingLine_ = Line_;
        }
        if (c == '\'') State_ = TState::Single;
        if (c == '"') State_ = TState::Double;
        if (c == '[') State_ = TState::Bracket;
        if (c == '/' && next == '*') {
          State_ = TState::Comment;
          Pending_ += c;
          ++i;
          Pending_ += next;
          continue;
        }
        Pending_ += c;
        break;
      // A doubled quote inside quotes closes and at once reopens them, which is what it
      // means: a quote that stands for itself.
      case TState::Single:
        Pending_ += c;
        if (c == '\'') State_ = TState::Plain;
        break;
      case TState::Double:
        Pending_ += c;
        if (c == '"') State_ = TState::Plain;
        break;
      case TState::Bracket:
        Pending_ += c;
        if (c == ']') State_ = TState::Plain;
        break;
      case TState::Comment:
        Pending_ += c;
        if (c == '*' && next == '/') {
          Pending_ += next;
          ++i;
          State_ = TState::Plain;
        }
        break;
    }
    if (c == '\n') ++Line_;
  }
}

namespace {

// ---- The private directory --------------------------------------------------------------------

// A fresh directory for the run's result tables, given to the session as its private
// directory; when it goes, the session's former private directory is given back and the
// directory removed with whatever is left in it.
class TPrivateDirectory {
 public:
  explicit TPrivateDirectory(TDataSession& session) : Session_(session), Former_(session.GetPrivateDirectory()) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string base = tmp != nullptr && tmp[0] != '\0' ? tmp : "/var/tmp";
    Path_ = MakeTempDirectory("veldor-sql", base);
    if (Path_.empty())
      throw TToolError("cannot make a private directory in " + base + ": " + std::strerror(errno));
    Session_.SetPrivateDirectory(Path_);
  }
  ~TPrivateDirectory() {
    Session_.SetPrivateDirectory(Former_);
    std::error_code ignored;
    std::filesystem::remove_all(Path_, ignored);
  }
  TPrivateDirectory(const TPrivateDirectory&) = delete;
  TPrivateDirectory& operator=(const TPrivateDirectory&) = delete;

 private:
  TDataSession& Session_;
  std::string Former_;
  std::string Path_;
};

// ---- Results ----------------------------------------------------------------------------------

// Columns the engine adds to a result for its averages, which are no part of the answer.
bool HiddenColumn(const TFieldDescriptor& field) {
  return field.FieldName().rfind("Sys__Avg__Count", 0) == 0;
}

bool NumericColumn(const TFieldDescriptor& field) {
  switch (field.FieldType()) {
    case FIELD_SMALLINT:
    case FIELD_INTEGER:
    case FIELD_WORD:
    case FIELD_LONGWORD:
    case FIELD_LARGEINT:
    case FIELD_FLOAT:
    case FIELD_EXTENDED:
    case FIELD_BCD: return true;
    default: return false;
  }
}

// Characters of UTF-8 text, as a terminal lays them out (one column each).
size_t Width(std::string_view utf8) {
  size_t n = 0;
  for (char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

// A value as the table shows it: on one line, line breaks and tabs as blanks.
std::string OnOneLine(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  return text;
}

std::string Padded(const std::string& text, size_t width, bool right) {
  const size_t w = Width(text);
  if (w >= width) return text;
  return right ? std::string(width - w, ' ') + text : text + std::string(width - w, ' ');
}

std::string Plural(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The stop of a result being printed (the output so far stands).
void OutputStopPoint() {
  if (StopSignal() != 0) throw TStopped(StopSignal(), "output of the result stopped by " + SignalName(StopSignal()));
}

// Prints the rows of `result` (positioned before its first row) and returns their count.
// The table is laid out in two passes over the rows, the first to size the columns, so
// that no result is held in memory.
int64_t PrintResult(TDataCursor& result, bool csv) {
  std::vector<uint16_t> columns;
  for (uint16_t n = 1; n <= result.FieldCount(); ++n)
    if (!HiddenColumn(result.Field(n))) columns.push_back(n);
  std::vector<uint8_t> image(result.RecordSize());
  std::vector<uint8_t> slot(512);
  // The text of each shown column of the current row; `null` marks NULLs.
  std::vector<std::string> cells(columns.size());
  std::vector<bool> null(columns.size());
  auto readRow = [&] {
    for (size_t k = 0; k < columns.size(); ++k) {
      null[k] = result.GetField(columns[k], image.data(), slot.data());
      cells[k] = null[k] ? std::string() : Shown(GetText(result, columns[k], image.data()));
    }
  };
  std::vector<std::string> header;
  for (uint16_t n : columns) header.push_back(Shown(result.Field(n).FieldName()));

  int64_t rows = 0;
  std::string buffer;
  auto flushSome = [&](bool all) {
    if (all || buffer.size() >= 65536) {
      Out(buffer);
      buffer.clear();
    }
  };
  if (csv) {
    buffer = CsvLine(header);
    result.SetToBegin();
    while (result.GetNextRecord(image.data()) == 0) {
      OutputStopPoint();
      readRow();
      buffer += CsvLine(cells);
      ++rows;
      flushSome(false);
    }
    flushSome(true);
    return rows;
  }

  std::vector<size_t> widths(columns.size());
  for (size_t k = 0; k < columns.size(); ++k) widths[k] = Width(header[k]);
  result.SetToBegin();
  while (result.GetNextRecord(image.data()) == 0) {
    OutputStopPoint();
    readRow();
    for (size_t k = 0; k < columns.size(); ++k)
      widths[k] = std::max(widths[k], null[k] ? size_t(4) : Width(OnOneLine(cells[k])));
  }
  auto line = [&](const std::vector<std::string>& texts, const std::vector<bool>* right) {
    std::string out;
    for (size_t k = 0; k < texts.size(); ++k) {
      const bool last = k + 1 == texts.size();
      const bool alignRight = right != nullptr && (*right)[k];
      // The last column is not padded on the right, so that lines carry no trailing blanks.
      out += last && !alignRight ? texts[k] : Padded(texts[k], widths[k], alignRight);
      if (!last) out += "  ";
    }
    return out + "\n";
  };
  std::vector<bool> right(columns.size());
  for (size_t k = 0; k < columns.size(); ++k) right[k] = NumericColumn(result.Field(columns[k]));
  buffer += line(header, nullptr);
  std::vector<std::string> rules;
  for (size_t w : widths) rules.emplace_back(w, '-');
  buffer += line(rules, nullptr);
  std::vector<std::string> shown(columns.size());
  result.SetToBegin();
  while (result.GetNextRecord(image.data()) == 0) {
    OutputStopPoint();
    readRow();
    for (size_t k = 0; k < columns.size(); ++k) shown[k] = null[k] ? "NULL" : OnOneLine(cells[k]);
    buffer += line(shown, &right);
    ++rows;
    flushSome(false);
  }
  buffer += "(" + Plural(rows, "row", "rows") + ")\n";
  flushSome(true);
  return rows;
}

// ---- Running one statement --------------------------------------------------------------------

const char* KindName(uint8_t kind) {
  switch (kind) {
    case kStatementSelect: return "SELECT";
    case kStatementInsert: return "INSERT";
    case kStatementUpdate: return "UPDATE";
    case kStatementDelete: return "DELETE";
    case kStatementCreateTable: return "CREATE TABLE";
    case kStatementAlterTable: return "ALTER TABLE";
    case kStatementDropTable: return "DROP TABLE";
    case kStatementCreateIndex: return "CREATE INDEX";
    case kStatementDropIndex: return "DROP INDEX";
    default: return "statement";
  }
}

// What a statement without a result did, with its time.
std::string ChangeReport(uint8_t kind, int32_t rows, double seconds) {
  char time[32];
  std::snprintf(time, sizeof time, " (%.2f s)\n", seconds);
  switch (kind) {
    case kStatementInsert: return Plural(rows, "row", "rows") + " inserted" + time;
    case kStatementUpdate: return Plural(rows, "row", "rows") + " updated" + time;
    case kStatementDelete: return Plural(rows, "row", "rows") + " deleted" + time;
    case kStatementCreateTable: return std::string("table created") + time;
    case kStatementAlterTable: return std::string("table altered") + time;
    case kStatementDropTable: return std::string("table dropped") + time;
    case kStatementCreateIndex: return std::string("index created") + time;
    case kStatementDropIndex: return std::string("index dropped") + time;
    default: return "done" + std::string(time);
  }
}

class TShell {
 public:
  TShell(TDataSession& session, const TSqlOptions& options) : Options_(options), Private_(session) {}

  // Runs one statement (UTF-8 text) and prints what it gives. Returns its failure's
  // message, or "" when it succeeded. TStopped, TOutputError pass.
  std::string Run(const std::string& text);

 private:
  void Execute(const std::string& stored);

  const TSqlOptions& Options_;
  TPrivateDirectory Private_;
  int64_t Results_ = 0;  // results printed so far, to set one table off from the last
};

std::string TShell::Run(const std::string& text) {
  try {
    Execute(Stored(text, "the statement"));
    return "";
  } catch (const TStopped&) {
    throw;
  } catch (const TOutputError&) {
    throw;
  } catch (const EVELDOREngineError& e) {
    const std::string message = EngineMessage(e.Message, e.ErrorTableName, e.ErrorDatabaseName);
    // An engine error while a stop was asked for may be the stop itself.
    if (StopSignal() != 0)
      throw TStopped(StopSignal(), "statement stopped by " + SignalName(StopSignal()) + ": " + message);
    return message;
  } catch (const Exception& e) {
    return Shown(e.Message);
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& e) {
    return e.what();
  }
}

void TShell::Execute(const std::string& stored) {
  // Freed, with its result table, before the next statement is read.
  TQueryStatement statement(Options_.Database);
  statement.Prepare(stored);
  StopPoint();
  const uint8_t kind = statement.StatementKind;
  TDataCursor* result = nullptr;
  {
    TProgressLine progress(std::string("running ") + KindName(kind));
    statement.ProgressCallback = [&](TQueryStatement&, int percent, uint8_t* abort) {
      progress.Show(percent);
      if (StopSignal() != 0) *abort = 1;
    };
    // Asked between rows: a stop is answered within a row, not at the next percent.
    statement.StopRequested = [] { return StopSignal() != 0; };
    result = statement.Execute(0);
    statement.ProgressCallback = nullptr;
    statement.StopRequested = nullptr;
  }
  const bool aborted = statement.Aborted();
  if (StopSignal() != 0) {
    const std::string by = SignalName(StopSignal());
    if (kind == kStatementSelect)
      throw TStopped(StopSignal(), std::string("SELECT ") + (aborted ? "stopped" : "finished, then stopped") + " by " +
                                       by + "; its result is not shown");
    // A change stopped keeps the rows it changed before the stop (the engine commits them).
    std::string done = ChangeReport(kind, statement.RowCount, statement.ExecutionTime);
    done.pop_back();
    throw TStopped(StopSignal(), std::string(KindName(kind)) +
                                     (aborted ? " stopped by " + by + "; what it did before the stop stays: "
                                              : " finished before " + by + " came: ") +
                                     done);
  }
  if (kind == kStatementSelect || result != nullptr) {
    if (Results_++ > 0 && !Options_.Csv) Out("\n");
    if (result != nullptr) PrintResult(*result, Options_.Csv);
    return;
  }
  const std::string report = ChangeReport(kind, statement.RowCount, statement.ExecutionTime);
  // With --csv, standard output holds only CSV.
  if (Options_.Csv) {
    FinishOutput();
    std::fputs(report.c_str(), stderr);
  } else {
    Out(report);
  }
}

// ---- Input ------------------------------------------------------------------------------------

const char kShellHelp[] =
    "Statements end with ';' and may span lines. Results show as a table (NULL for nothing),\n"
    "or as CSV with --csv. Ctrl-C stops a running statement.\n"
    ".help   this text\n"
    ".quit   leave (also .exit, or end of input: Ctrl-D)\n";

// A line that is a shell command (".quit") rather than SQL: it stands alone, outside any
// statement.
bool IsDotCommand(const TStatementSplitter& splitter, const std::string& line) {
  if (splitter.HasPending()) return false;
  const size_t first = line.find_first_not_of(" \t\r");
  return first != std::string::npos && line[first] == '.';
}

// Runs a dot command: false when it leaves the shell. Raises TToolError for an unknown one.
bool DotCommand(const std::string& line) {
  std::vector<TWord> words = SplitWords(line);
  const std::string name = words.empty() ? "" : words[0].Text;
  if (name == ".quit" || name == ".exit") return false;
  if (name == ".help") {
    Out(kShellHelp);
    return true;
  }
  throw TToolError("unknown command " + name + " (.help lists them)");
}

// Statements of a batch: run in order, stopping at the first that fails.
class TBatch {
 public:
  TBatch(TShell& shell, std::string origin, bool byLine) : Shell_(shell), Origin_(std::move(origin)), ByLine_(byLine) {}

  // Feeds one line (with its line break); false when the batch is over (.quit). Raises
  // TToolError naming the statement that failed.
  bool Line(const std::string& line) {
    ++LineNumber_;
    if (IsDotCommand(Splitter_, line)) {
      try {
        return DotCommand(line);
      } catch (const TToolError& e) {
        throw TToolError(Origin_ + " line " + std::to_string(LineNumber_) + ": " + e.what());
      }
    }
    std::vector<std::pair<std::string, size_t>> complete;
    Splitter_.Feed(line, complete);
    for (const auto& [text, at] : complete) RunOne(text, at);
    return true;
  }
  // The end of the input: a last statement without ";" runs too.
  void End() {
    if (Splitter_.HasPending()) RunOne(Splitter_.Pending(), Splitter_.PendingLine());
    Splitter_.Discard();
  }

 private:
  void RunOne(const std::string& text, size_t line) {
    ++Count_;
    const std::string where =
        Origin_ + (ByLine_ ? " line " + std::to_string(line) : " statement " + std::to_string(Count_));
    try {
      const std::string failure = Shell_.Run(text);
      if (!failure.empty()) throw TToolError(where + ": " + failure);
    } catch (const TStopped& e) {
      throw TStopped(e.Signal, where + ": " + e.what());
    }
  }

  TShell& Shell_;
  std::string Origin_;
  bool ByLine_;
  TStatementSplitter Splitter_;
  size_t LineNumber_ = 0;
  size_t Count_ = 0;
};

// Feeds text to a batch line by line; false when it said to stop.
bool FeedLines(TBatch& batch, std::string& carry, std::string_view text, bool end) {
  carry.append(text);
  size_t start = 0;
  for (size_t nl; (nl = carry.find('\n', start)) != std::string::npos; start = nl + 1)
    if (!batch.Line(carry.substr(start, nl + 1 - start))) return false;
  carry.erase(0, start);
  if (end && !carry.empty()) {
    const bool goOn = batch.Line(carry);
    carry.clear();
    return goOn;
  }
  return true;
}

// Standard input that is no terminal, read a block at a time so that each statement runs
// as soon as its ";" has come (a pipe may hold a long conversation).
void RunStandardInput(TShell& shell) {
  TBatch batch(shell, "standard input", true);
  std::string carry;
  char block[65536];
  for (;;) {
    // A read from a pipe may wait: a stop asked for meanwhile ends it (poll, unlike read,
    // is never restarted after a signal).
    pollfd ready{STDIN_FILENO, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0 && errno == EINTR) {
      StopPoint();
      continue;
    }
    const ssize_t n = read(STDIN_FILENO, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw TToolError(std::string("cannot read standard input: ") + std::strerror(errno));
    if (n == 0) break;
    if (!FeedLines(batch, carry, std::string_view(block, size_t(n)), false)) return;
  }
  if (FeedLines(batch, carry, "", true)) batch.End();
}

// ---- Interactive input ------------------------------------------------------------------------

// One line typed at the terminal, without its line break; false at the end of input (or
// when a signal came while waiting: the caller looks at StopSignal).
#ifdef VELDOR_HAVE_LIBEDIT
bool ReadTypedLine(const char* prompt, std::string& line) {
  char* typed = nullptr;
  {
    // Ctrl-C makes libedit give up the line at once (readline returns null).
    TInterruptibleReads interruptible;
    typed = readline(prompt);
  }
  if (typed == nullptr) return false;
  line = typed;
  std::free(typed);
  if (line.find_first_not_of(" \t") != std::string::npos) add_history(line.c_str());
  return true;
}
#else
// Without a line-editing library: the terminal's own line editing (erase, kill a line).
bool ReadTypedLine(const char* prompt, std::string& line) {
  std::fputs(prompt, stdout);
  std::fflush(stdout);
  line.clear();
  for (;;) {
    pollfd ready{STDIN_FILENO, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0 && errno == EINTR) {
      if (StopSignal() != 0) return false;
      continue;
    }
    char c = 0;
    const ssize_t n = read(STDIN_FILENO, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return !line.empty();
    if (c == '\n') return true;
    line += c;
  }
}
#endif

void RunInteractive(TShell& shell) {
#ifdef VELDOR_HAVE_LIBEDIT
  // Line editing of UTF-8 text needs a character type that knows it.
  const char* locale = std::setlocale(LC_CTYPE, "");
  if (locale == nullptr || std::strcmp(locale, "C") == 0 || std::strcmp(locale, "POSIX") == 0)
    std::setlocale(LC_CTYPE, "C.UTF-8");
  // Signals stay the tool's: a Ctrl-C at the prompt ends the read of the line.
  rl_catch_signals = 0;
#endif
  std::fputs("veldor SQL shell: statements end with ';', .help for help, .quit to leave\n", stdout);
  TStatementSplitter splitter;
  std::string line;
  for (;;) {
    FinishOutput();
    // A stop asked for while the last statement's output was written is answered first.
    const bool got = StopSignal() == 0 && ReadTypedLine(splitter.HasPending() ? "  ...> " : "sql> ", line);
    if (StopSignal() == SIGINT) {
      // Ctrl-C at the prompt drops what was typed so far.
      ClearStopRequest();
      splitter.Discard();
      std::fputs("\n", stdout);
      continue;
    }
    StopPoint();
    if (!got) {
      std::fputs("\n", stdout);
      break;
    }
    if (IsDotCommand(splitter, line)) {
      try {
        if (!DotCommand(line)) break;
      } catch (const TToolError& e) {
        FinishOutput();
        std::fprintf(stderr, "veldor: %s\n", e.what());
      }
      continue;
    }
    std::vector<std::pair<std::string, size_t>> complete;
    splitter.Feed(line + "\n", complete);
    for (const auto& entry : complete) {
      std::string failure;
      try {
        failure = shell.Run(entry.first);
      } catch (const TStopped& e) {
        if (e.Signal != SIGINT) throw;
        ClearStopRequest();
        failure = e.what();
      }
      if (!failure.empty()) {
        FinishOutput();
        std::fprintf(stderr, "veldor: %s\n", failure.c_str());
      }
    }
  }
  FinishOutput();
}

}  // namespace

int RunSqlShell(TDataSession& session, const TSqlOptions& options) {
  // A closed terminal stops the shell as Ctrl-C stops a batch, so that the private
  // directory goes with it.
  TStopsOnHangUp hangUp;
  TShell shell(session, options);
  if (options.HaveStatements) {
    TBatch batch(shell, "-c", false);
    std::string carry;
    if (FeedLines(batch, carry, options.Statements, true)) batch.End();
    return 0;
  }
  if (isatty(STDIN_FILENO) == 1) {
    RunInteractive(shell);
    return 0;
  }
  RunStandardInput(shell);
  return 0;
}

}  // namespace veldor::tool
