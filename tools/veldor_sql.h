// The SQL shell of the veldor tool (`veldor sql`): statements from -c, from standard input
// or typed at a prompt, each prepared and run as one engine statement over one database,
// its result printed as an aligned table or as CSV.
//
// The shell owns a private directory for the run (a fresh directory under $TMPDIR or
// /var/tmp, removed when the shell ends), where the result tables of SELECT live, so that
// the database's directory is not littered. It does not own the session or the database;
// each statement is freed (closing its result table) before the next one is read. Text
// typed or given is UTF-8 and goes to the engine in Windows-1252; results come back out in
// UTF-8. Single-threaded, like the rest of the tool.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/session.h"

namespace veldor::tool {

// Cuts SQL text into statements at each ";" that stands outside quotes ('...', "..."),
// brackets ([...]) and comments (/* ... */). Text is fed a piece at a time; a statement
// is complete once its ";" has been fed. Knows nothing of the engine.
class TStatementSplitter {
 public:
  // Adds text; the statements it completes (without their ";", blank ones left out) are
  // appended to `complete`, each with the line (from 1) where it starts.
  void Feed(std::string_view text, std::vector<std::pair<std::string, size_t>>& complete);
  // The text of a statement begun and not yet ended by ";" (blank when there is none).
  const std::string& Pending() const { return Pending_; }
  bool HasPending() const;
  // The line on which the pending statement starts.
  size_t PendingLine() const { return PendingLine_; }
  // Forgets the pending statement (what was typed when Ctrl-C came at the prompt).
  void Discard();

 private:
  enum class TState { Plain, Single, Double, Bracket, Comment };
  std::string Pending_;
  TState State_ = TState::Plain;
  size_t Line_ = 1;         // the line the next fed character is on
  size_t PendingLine_ = 1;  // where the pending statement's first non-blank character is
  bool Started_ = false;    // the pending statement has a non-blank character
};

struct TSqlOptions {
  TDataDirectory* Database = nullptr;  // where the statements' bare table names live
  bool HaveStatements = false;         // -c was given
  std::string Statements;              // the text of -c
  bool Csv = false;
};

// Runs the shell and returns its exit status, 0. A batch (-c, or standard input that is
// not a terminal) stops at the first statement that fails with TToolError, whose message
// names the statement ("-c statement 2: ...", "standard input line 7: ...") and carries
// the engine's message. Interactively, failures are printed on standard error and the
// shell goes on; SIGINT stops the running statement and returns to the prompt. Raises
// TStopped when a signal stops a batch (or SIGTERM an interactive run), TOutputError when
// standard output fails, and TToolError when the private directory cannot be made.
int RunSqlShell(TDataSession& session, const TSqlOptions& options);

}  // namespace veldor::tool
