// The commands of the `veldor` tool over one engine session: info, create, load, dump,
// add-index, drop-index, restructure, empty, rename, drop, verify and sql (the SQL shell
// of veldor_sql.h).
//
// `TTool` owns the engine session for the whole run, so that several commands (a script)
// share its databases, its passwords and, with `Memory`, the in-memory tables. Each
// command opens its cursor and closes it again before it returns, on every path. Output
// goes to standard output, warnings and progress to standard error. Each command converts
// the user's text (arguments, files) to the engine's code page where it takes it in, and
// engine text back to UTF-8 where it writes it; file names stay as they are. Commands that
// change a table in many steps (load, add-index, restructure) leave it as it was when
// they fail or are stopped. Single-threaded.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "engine/session.h"

namespace veldor::tool {

struct TOptions {
  std::string Directory = ".";  // where bare table names live
  bool Memory = false;          // tables of the in-memory database instead
  std::vector<std::string> Passwords;
};

class TTool {
 public:
  explicit TTool(TOptions options);
  ~TTool();
  TTool(const TTool&) = delete;
  TTool& operator=(const TTool&) = delete;

  // Runs one command, `args[0]` being its name, and returns its exit status (0, or 1 when
  // verify found problems). Raises TUsageError for arguments it does not understand,
  // TToolError for bad input, EVELDOREngineError for what the engine refuses, TOutputError
  // when standard output fails and TStopped when a signal stopped it.
  int Run(const std::vector<std::string>& args);

  // Whether `name` is one of the commands Run knows.
  static bool IsCommand(const std::string& name);

 private:
  // A table named on the command line: its database and its bare name.
  struct TTarget {
    TDataDirectory* Database = nullptr;
    std::string Directory;  // ends in "/"; empty for in-memory tables
    std::string Name;
    std::string Shown;  // as the user wrote it, for messages
  };
  TTarget Target(const std::string& argument, bool mustExist);
  // Raises TToolError ("no table ...") unless the table exists.
  void RequireTable(const TTarget& t);
  // A cursor on the table; opening it, a table another process holds is said to be in use.
  std::unique_ptr<TDataCursor> Cursor(const TTarget& target, bool exclusive, bool readOnly, bool open);
  // An open exclusive cursor for a command that changes the table; read-only files are
  // refused up front, naming them ("cannot DOING TABLE: the file ... is read-only").
  std::unique_ptr<TDataCursor> ChangeCursor(const TTarget& target, const std::string& doing);

  int Info(const std::vector<std::string>& args);
  int Create(const std::vector<std::string>& args);
  int Load(const std::vector<std::string>& args);
  int Dump(const std::vector<std::string>& args);
  int AddIndex(const std::vector<std::string>& args);
  int DropIndex(const std::vector<std::string>& args);
  int Restructure(const std::vector<std::string>& args);
  int Empty(const std::vector<std::string>& args);
  int Rename(const std::vector<std::string>& args);
  int Drop(const std::vector<std::string>& args);
  int Verify(const std::vector<std::string>& args);
  int Sql(const std::vector<std::string>& args);

  TOptions Options_;
  std::unique_ptr<TDataSession> Session_;
};

// The whole of a file ("-": standard input). Raises TToolError when it cannot be read and
// TStopped when a signal stops a wait for more of it.
std::string ReadInput(const std::string& path);

}  // namespace veldor::tool
