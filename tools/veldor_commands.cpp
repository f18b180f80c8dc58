// The veldor tool's commands.

#include "tools/veldor_commands.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <functional>
#include <map>

#include "engine/blob_file.h"
#include "lib/code_page.h"
#include "lib/expression_eval.h"

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/journal.h"
#include "engine/maintenance_record.h"
#include "engine/table_check.h"
#include "engine/table_header.h"
#include "lib/file_layer.h"
#include "tools/veldor_definition.h"
#include "tools/veldor_sql.h"
#include "tools/veldor_tool.h"
#include "tools/veldor_values.h"

namespace veldor::tool {
namespace {

// A command's arguments: positional ones, and options in the order given.
struct TArguments {
  std::vector<std::string> Positional;
  std::vector<std::pair<std::string, std::vector<std::string>>> Options;

  bool Has(const std::string& name) const {
    for (const auto& o : Options)
      if (o.first == name) return true;
    return false;
  }
  // The values of the last use of an option, or nullptr.
  const std::vector<std::string>* Last(const std::string& name) const {
    const std::vector<std::string>* found = nullptr;
    for (const auto& o : Options)
      if (o.first == name) found = &o.second;
    return found;
  }
};

struct TOptionSpec {
  const char* Name;
  int Values;
};

// Splits args[1...] by `specs`; "--" ends the options, "-" alone is positional.
TArguments Parse(const std::vector<std::string>& args, std::initializer_list<TOptionSpec> specs) {
  TArguments out;
  bool options = true;
  for (size_t i = 1; i < args.size(); ++i) {
    std::string a = args[i];
    if (!options || a.size() < 2 || a.compare(0, 2, "--") != 0) {
      out.Positional.push_back(a);
      continue;
    }
    if (a == "--") {
      options = false;
      continue;
    }
    std::string inlineValue;
    bool hasInline = false;
    if (size_t eq = a.find('='); eq != std::string::npos) {
      inlineValue = a.substr(eq + 1);
      a.resize(eq);
      hasInline = true;
    }
    const TOptionSpec* spec = nullptr;
    for (const TOptionSpec& s : specs)
      if (a == s.Name) spec = &s;
    if (spec == nullptr) throw TUsageError(args[0] + ": unknown option " + a);
    std::vector<std::string> values;
    if (hasInline) {
      if (spec->Values != 1) throw TUsageError(args[0] + ": " + a + " takes no '=' value");
      values.push_back(inlineValue);
    } else {
      for (int v = 0; v < spec->Values; ++v) {
        if (i + 1 >= args.size())
          throw TUsageError(args[0] + ": " + a + " needs " +
                            (spec->Values == 1 ? "a value" : std::to_string(spec->Values) + " values"));
        values.push_back(args[++i]);
      }
    }
    out.Options.emplace_back(a, std::move(values));
  }
  return out;
}

void Expect(const TArguments& a, size_t low, size_t high, const char* usage) {
  if (a.Positional.size() < low || a.Positional.size() > high)
    throw TUsageError(std::string("usage: ") + usage);
}

// The name without a ".dat" ending in any case.
std::string WithoutDataEnding(std::string name) {
  if (name.size() > 4 && SameWord(name.substr(name.size() - 4), ".dat")) name.resize(name.size() - 4);
  return name;
}

std::string Plural(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string ReadInput(const std::string& path) {
  const bool standardInput = path == "-";
  const std::string name = standardInput ? "standard input" : path;
  const int fd = standardInput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw TToolError("cannot read " + name + ": " + std::strerror(errno));
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    if (!standardInput) close(fd);
    throw TToolError("cannot read " + name + ": it is a directory");
  }
  std::string text;
  char block[65536];
  for (;;) {
    // A terminal or a pipe may keep a read waiting: a stop asked for meanwhile ends it
    // (poll, unlike read, is never restarted after a signal).
    pollfd ready{fd, POLLIN, 0};
    if (poll(&ready, 1, -1) < 0 && errno == EINTR) {
      try {
        StopPoint();
      } catch (...) {
        if (!standardInput) close(fd);
        throw;
      }
      continue;
    }
    const ssize_t n = read(fd, block, sizeof block);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      if (!standardInput) close(fd);
      throw TToolError("cannot read " + name + ": " + std::strerror(error));
    }
    text.append(block, size_t(n));
  }
  if (!standardInput) close(fd);
  return text;
}

TTool::TTool(TOptions options) : Options_(std::move(options)), Session_(std::make_unique<TDataSession>(0)) {
  for (const std::string& p : Options_.Passwords) Session_->AddPassword(Stored(p, "--password"));
  // Progress, and with it the points where restructure and add-index can stop, at every
  // percent.
  Session_->SetProgressSteps(100);
}

TTool::~TTool() = default;

bool TTool::IsCommand(const std::string& name) {
  for (const char* c : {"info", "create", "load", "dump", "add-index", "drop-index", "restructure", "empty",
                        "rename", "drop", "verify", "sql"})
    if (name == c) return true;
  return false;
}

int TTool::Run(const std::vector<std::string>& args) {
  const std::string& c = args.at(0);
  if (c == "info") return Info(args);
  if (c == "create") return Create(args);
  if (c == "load") return Load(args);
  if (c == "dump") return Dump(args);
  if (c == "add-index") return AddIndex(args);
  if (c == "drop-index") return DropIndex(args);
  if (c == "restructure") return Restructure(args);
  if (c == "empty") return Empty(args);
  if (c == "rename") return Rename(args);
  if (c == "drop") return Drop(args);
  if (c == "verify") return Verify(args);
  if (c == "sql") return Sql(args);
  throw TUsageError("unknown command '" + c + "'");
}

TTool::TTarget TTool::Target(const std::string& argument, bool mustExist) {
  TTarget t;
  t.Shown = argument;
  std::string name = argument;
  if (Options_.Memory) {
    if (name.find('/') != std::string::npos)
      throw TToolError("'" + argument + "': in-memory tables are named without a directory");
    t.Database = Session_->OpenDataDirectory("Memory", "");
  } else {
    std::string directory = Options_.Directory;
    if (size_t slash = name.rfind('/'); slash != std::string::npos) {
      directory = slash == 0 ? "/" : name.substr(0, slash);
      name = name.substr(slash + 1);
    }
    if (directory.empty()) directory = ".";
    struct stat st {};
    const int error = stat(directory.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (error != 0) {
      const std::string missing = "directory " + directory +
                                  (error == ENOENT    ? " does not exist"
                                   : error == ENOTDIR ? " is not a directory"
                                                      : std::string(": ") + std::strerror(error));
      if (mustExist) throw TToolError("no table '" + argument + "' (" + missing + ")");
      throw TToolError("cannot make " + argument + ": the " + missing);
    }
    t.Database = Session_->OpenDataDirectory("", directory);
    t.Directory = t.Database->Path();
  }
  t.Name = WithoutDataEnding(name);
  if (t.Name.empty() || t.Name.find_first_not_of(' ') == std::string::npos)
    throw TToolError("'" + argument + "' names no table");
  if (mustExist) RequireTable(t);
  return t;
}

void TTool::RequireTable(const TTarget& t) {
  if (t.Database->TableExists(t.Name, Options_.Memory)) return;
  if (Options_.Memory) throw TToolError("no in-memory table '" + t.Name + "'");
  // A drop or a rename that did not finish has taken the table away already; what is left of
  // it goes when info settles the record.
  const std::string record = TableFileName(t.Directory, t.Name, kMaintenanceExtension);
  if (FileList().FileExists(record, false))
    throw TToolError("no table '" + t.Shown + "' (" + record + " holds what is left of a drop or rename of it that " +
                     "did not finish; veldor info " + t.Shown + " clears it)");
  throw TToolError("no table '" + t.Shown + "' (" + TableFileName(t.Directory, t.Name, kDataExtension) +
                   " does not exist)");
}

namespace {

// Whether another process holds the sharing lock of a disk file (any open of the file by a
// program of this engine holds it: a read lock when shared, a write lock when exclusive).
bool HeldByAnotherProgram(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kShareLockOffset;
  lock.l_len = 1;
  const bool held = fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type != F_UNLCK;
  close(fd);
  return held;
}

// The files among `paths` that this process may not write (or that carry no write bit).
std::vector<std::string> ReadOnlyFiles(const std::vector<std::string>& paths) {
  std::vector<std::string> out;
  for (const std::string& path : paths) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) continue;
    if (access(path.c_str(), W_OK) != 0 || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)
      out.push_back(path);
  }
  return out;
}

std::string Listed(const std::vector<std::string>& items) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i)
    out += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
  return out;
}

// Refuses a change to a table whose files (some of `paths`) are read-only, naming them.
void RefuseReadOnly(const std::string& doing, const std::string& table, const std::vector<std::string>& paths,
                    bool knownReadOnly) {
  const std::vector<std::string> readOnly = ReadOnlyFiles(paths);
  if (readOnly.empty() && !knownReadOnly) return;
  throw TToolError("cannot " + doing + " " + table + ": " +
                   (readOnly.empty() ? std::string("its files are read-only")
                                     : (readOnly.size() == 1 ? "the file " : "the files ") + Listed(readOnly) +
                                           (readOnly.size() == 1 ? " is" : " are") + " read-only"));
}

// The line (from 1) of the byte at `offset` of a text.
size_t LineAt(const std::string& text, size_t offset) {
  return 1 + size_t(std::count(text.begin(), text.begin() + std::ptrdiff_t(offset), '\n'));
}

// An engine error as the tool says it.
std::string EngineText(const EVELDOREngineError& e) {
  return EngineMessage(e.Message, e.ErrorTableName, e.ErrorDatabaseName);
}

// What a journal beside a table says about it (see engine/journal.h).
enum class TJournalState { None, InUse, Unfinished, Committed };

// Looked at as the engine looks (see the lock protocol in engine/table_locking.cpp):
// without a hold of its own, which would stand in the way of the journal's owner.
TJournalState JournalState(const std::string& path) {
  switch (TJournal::Probe(path)) {
    case TJournal::TFound::None: return TJournalState::None;
    case TJournal::TFound::Live: return TJournalState::InUse;
    case TJournal::TFound::Dead: return TJournalState::Unfinished;
    case TJournal::TFound::DeadCommitted: return TJournalState::Committed;
  }
  return TJournalState::None;
}

// What a maintenance record beside a table is about, as a user would say it.
std::string MaintenanceWhat(TMaintenanceKind kind) {
  switch (kind) {
    case TMaintenanceKind::Rename: return "rename";
    case TMaintenanceKind::Copy: return "restructure";
    case TMaintenanceKind::IndexBackup: return "restructure's index backup";
    case TMaintenanceKind::Delete: return "drop";
  }
  return "maintenance";
}

// After a changing command failed: whether its change holds all the same. A failure after
// the change's commit was made durable leaves a committed journal or maintenance record
// beside the table, which the next open for writing completes; any other failure left the
// table as it was.
bool ChangeHoldsAfterFailure(const std::string& directory, const std::string& name, bool memory) {
  if (memory) return false;
  try {
    if (JournalState(JournalFileNameFor(TableFileName(directory, name, kDataExtension))) == TJournalState::Committed)
      return true;
    const TMaintenanceState record = TMaintenanceRecord::Inspect(directory, name);
    return record.Valid && record.Committed;
  } catch (const EVELDOREngineError&) {
    return false;
  }
}

// The end of a failed change's message: what the table is now (`unchanged` when the change
// did not hold).
std::string AfterFailure(const std::string& directory, const std::string& name, const std::string& shown,
                         bool memory, const std::string& unchanged) {
  if (ChangeHoldsAfterFailure(directory, name, memory))
    return "the change was committed before the failure: opening " + shown +
           " for writing (veldor info does) completes it";
  return unchanged;
}

}  // namespace

std::unique_ptr<TDataCursor> TTool::Cursor(const TTarget& target, bool exclusive, bool readOnly, bool open) {
  auto cursor = std::make_unique<TDataCursor>(target.Database);
  cursor->SetTableName(target.Name);
  cursor->SetInMemory(Options_.Memory);
  cursor->SetExclusive(exclusive);
  cursor->SetReadOnly(readOnly);
  if (!open) return cursor;
  try {
    cursor->Open();
  } catch (const EVELDOREngineError& e) {
    if (e.ErrorCode == VELDOR_OSEACCES && !Options_.Memory) {
      for (const char* extension : {kDataExtension, kIndexExtension, kBlobExtension, kMaintenanceExtension})
        if (HeldByAnotherProgram(TableFileName(target.Directory, target.Name, extension)))
          throw TToolError(target.Shown + " is in use by another program");
    }
    const std::string journal = JournalFileNameFor(TableFileName(target.Directory, target.Name, kDataExtension));
    if (e.ErrorCode == VELDOR_FILENOACCESS && readOnly && !Options_.Memory) {
      if (JournalState(journal) == TJournalState::Committed)
        throw TToolError(target.Shown + " needs recovery: " + journal +
                         " holds a commit that did not finish; opening the table for writing "
                         "(veldor info does) completes it");
      const TMaintenanceState record = TMaintenanceRecord::Inspect(target.Directory, target.Name);
      if (record.Valid && record.Committed)
        throw TToolError(target.Shown + " needs recovery: " +
                         TableFileName(target.Directory, target.Name, kMaintenanceExtension) + " holds a " +
                         MaintenanceWhat(record.Kind) +
                         " that did not finish; opening the table for writing (veldor info does) completes it");
    }
    throw;
  }
  return cursor;
}

std::unique_ptr<TDataCursor> TTool::ChangeCursor(const TTarget& target, const std::string& doing) {
  auto cursor = Cursor(target, true, false, true);
  TDataTable& table = *cursor->Table();
  if (table.ReadOnly()) {
    std::vector<std::string> files{table.DataFileName(), table.IndexFileName()};
    if (table.HasBlobFile()) files.push_back(table.BlobFileName());
    RefuseReadOnly(doing, target.Shown, files, true);
  }
  return cursor;
}

// ---- info, create ---------------------------------------------------------------------------

int TTool::Info(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 1, 1, "veldor info TABLE");
  TTarget t = Target(a.Positional[0], false);
  // A maintenance or a commit that a dead process left unfinished is completed first, by a
  // writer (a table on files this user may not write stays as it is, and the read below
  // says so).
  std::string recovered;
  if (!Options_.Memory) {
    const std::string record = TableFileName(t.Directory, t.Name, kMaintenanceExtension);
    const TMaintenanceState state = TMaintenanceRecord::Inspect(t.Directory, t.Name);
    if (state.Present && !state.InUse) {
      try {
        switch (TMaintenanceRecord::Recover(t.Directory, t.Name, false)) {
          case TMaintenanceOutcome::Finished:
            recovered += "# completed a " + MaintenanceWhat(state.Kind) + " that did not finish, from " + record + "\n";
            break;
          case TMaintenanceOutcome::Undone:
            recovered += "# removed what a " + MaintenanceWhat(state.Kind) + " that did not finish had made, from " +
                         record + "\n";
            break;
          case TMaintenanceOutcome::Removed:
            recovered += "# removed " + record + ", cut short before its maintenance began\n";
            break;
          case TMaintenanceOutcome::None:
            break;
        }
      } catch (const EVELDOREngineError&) {
        // Left to the read below, which reports why the table cannot be read.
      }
    }
  }
  if (!t.Database->TableExists(t.Name, Options_.Memory)) {
    // A drop or rename of it that was finished above took the table away from this name.
    if (!recovered.empty()) Out(recovered);
    RequireTable(t);
  }
  const std::string journal = JournalFileNameFor(TableFileName(t.Directory, t.Name, kDataExtension));
  const TJournalState journalState = Options_.Memory ? TJournalState::None : JournalState(journal);
  if (journalState == TJournalState::Committed || journalState == TJournalState::Unfinished) {
    try {
      auto writer = Cursor(t, false, false, true);
      if (writer->Table()->JournalReplayed())
        recovered += "# completed a commit that did not finish, from " + journal + "\n";
      else if (!FileList().FileExists(journal, false))
        recovered += "# removed " + journal + ", left by a change that never committed\n";
      writer->Close();
    } catch (const EVELDOREngineError&) {
      // Left to the read below, which reports why the table cannot be read.
    }
  }
  auto cursor = Cursor(t, false, true, false);
  TTableInformation info;
  try {
    info = cursor->GetTableInformation();
  } catch (const EVELDOREngineError& e) {
    if (e.ErrorCode == VELDOR_OSEACCES && !Options_.Memory &&
        HeldByAnotherProgram(TableFileName(t.Directory, t.Name, kDataExtension)))
      throw TToolError(t.Shown + " is in use by another program");
    throw;
  }
  Out(recovered + "# table " + t.Name + ": " + DefinitionSummary(info) + "\n" +
      Shown(FormatDefinition(info)));
  return 0;
}

namespace {

// The engine's form of a text file given by the user; a character it cannot hold raises
// TToolError naming the file's line.
std::string StoredFileText(const std::string& utf8, const std::string& origin) {
  std::string out;
  TCodePageProblem problem;
  if (Utf8ToWindows1252(utf8, out, problem)) return out;
  throw TToolError(origin + " line " + std::to_string(LineAt(utf8, problem.Offset)) + ": " +
                   CodePageProblemText(utf8, problem));
}

// Runs a parse over engine text whose messages quote that text: they come out in UTF-8,
// after `origin` (a file name, not converted).
template <typename T>
T ParsedOrShown(const std::string& origin, const std::function<T()>& parse) {
  try {
    return parse();
  } catch (const TToolError& e) {
    throw TToolError(origin + Shown(e.what()));
  }
}

}  // namespace

int TTool::Create(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {{"--replace", 0}});
  Expect(a, 1, 2, "veldor create TABLE [DEFFILE|-] [--replace]");
  const std::string source = a.Positional.size() == 2 ? a.Positional[1] : "-";
  TTarget t = Target(a.Positional[0], false);
  const std::string origin = source == "-" ? "standard input" : source;
  const std::string text = StoredFileText(ReadInput(source), origin);
  const std::string password =
      Options_.Passwords.empty() ? "" : Stored(Options_.Passwords.front(), "--password");
  TTableDefinition d = ParsedOrShown<TTableDefinition>(origin, [&] { return ParseDefinition(text, "", password); });
  auto cursor = Cursor(t, true, false, false);
  cursor->CreateTable(d, a.Has("--replace"), true);
  // The table's own password is needed to open it again in this run.
  if (d.Encrypted) Session_->AddPassword(d.Password);
  Out("created " + t.Shown + ": " + Plural(int64_t(d.Fields.size()), "field", "fields") + ", " +
      Plural(int64_t(d.Indexes.size()) - 1, "secondary index", "secondary indexes") +
      (d.Indexes[0].FieldCount() > 0 ? ", a primary key" : ", no primary key") + "\n");
  return 0;
}

// ---- load, dump -----------------------------------------------------------------------------

namespace {

// The engine's form of a CSV file. When a character has no place in it, the message names
// the line and the field of the cell that holds it (or the line alone in a file that is
// malformed before it).
std::string StoredCsvText(const std::string& utf8, const std::string& origin) {
  std::string out;
  TCodePageProblem problem;
  if (Utf8ToWindows1252(utf8, out, problem)) return out;
  std::string located;
  try {
    TCsvReader reader(utf8);
    std::vector<std::string> cells, header;
    for (bool first = true; located.empty() && reader.Next(cells); first = false) {
      if (first) header = cells;
      for (size_t k = 0; k < cells.size() && located.empty(); ++k) {
        std::string ignored;
        TCodePageProblem p;
        if (Utf8ToWindows1252(cells[k], ignored, p)) continue;
        located = origin + " line " + std::to_string(reader.Line());
        if (first)
          located += ", field name " + std::to_string(k + 1);
        else if (k < header.size() && header[k].size() <= 60)
          located += ", field '" + header[k] + "'";
        else
          located += ", value " + std::to_string(k + 1);
        located += ": " + CodePageProblemText(cells[k], p);
      }
    }
  } catch (const TToolError&) {
    // The file is malformed before the character: its line alone says where it is.
  }
  if (!located.empty()) throw TToolError(located);
  throw TToolError(origin + " line " + std::to_string(LineAt(utf8, problem.Offset)) + ": " +
                   CodePageProblemText(utf8, problem));
}

}  // namespace

// A load is all or nothing. A first pass reads the whole file and converts every value,
// so that a malformed file changes nothing. Then the records are appended one by one
// through an exclusive cursor inside one transaction, whose changes beyond the session's
// memory budget go to the table's journal. When the engine refuses a record (a key
// violation, a required field left empty), a write fails (the disk is full) or a signal
// asks to stop, the transaction is rolled back: the table is then the one before the load,
// byte for byte. A load killed outright is finished or dropped by the next open of the
// table, whole (see engine/journal.h).
int TTool::Load(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 2, 2, "veldor load TABLE FILE.csv|-");
  TTarget t = Target(a.Positional[0], true);
  const std::string source = a.Positional[1];
  const std::string origin = source == "-" ? "standard input" : source;
  std::string text;
  {
    std::string utf8 = ReadInput(source);
    if (utf8.compare(0, 3, "\xEF\xBB\xBF") == 0) utf8.erase(0, 3);  // a byte order mark
    try {
      text = StoredCsvText(utf8, origin);
    } catch (const TToolError& e) {
      throw TToolError(std::string(e.what()) + "\nveldor: nothing was loaded");
    }
  }
  auto cursor = ChangeCursor(t, "load into");
  TDataCursor& c = *cursor;
  const std::string unchanged = "\nveldor: nothing was loaded; " + t.Shown + " is as it was before";

  // The header names the fields of the columns.
  std::vector<std::string> cells;
  auto next = [&](TCsvReader& reader) {
    try {
      return reader.Next(cells);
    } catch (const TToolError& e) {
      // The reader's messages start with the line and may quote the file's text.
      throw TToolError(origin + " " + Shown(e.what()));
    }
  };
  TCsvReader checker(text);
  if (!next(checker)) throw TToolError(origin + " is empty: a header line with field names is needed");
  std::vector<uint16_t> columns;
  bool autoIncGiven = false;
  for (const std::string& raw : cells) {
    const size_t first = raw.find_first_not_of(' '), last = raw.find_last_not_of(' ');
    const std::string name = first == std::string::npos ? "" : raw.substr(first, last - first + 1);
    uint16_t number = 0;
    for (size_t i = 0; i < c.Fields().size(); ++i)
      if (SameWord(c.Fields()[i].FieldName(), name)) number = uint16_t(i + 1);
    if (number == 0) {
      std::string known;
      for (const TFieldDescriptor& f : c.Fields()) known += (known.empty() ? "" : ", ") + f.FieldName();
      throw TToolError(origin + " line 1: no field " + Brief(name) + " in " + t.Shown + " (fields: " +
                       Shown(known) + ")");
    }
    for (uint16_t seen : columns)
      if (seen == number)
        throw TToolError(origin + " line 1: the field " + Brief(name) + " is named twice");
    columns.push_back(number);
    autoIncGiven |= c.Field(number).IsAutoInc();
  }
  auto where = [&](const TCsvReader& reader) { return origin + " line " + std::to_string(reader.Line()); };

  // First pass: every record well-formed, every value one of its field.
  int64_t rows = 0;
  try {
    while (next(checker)) {
      StopPoint();
      if (cells.size() != columns.size())
        throw TToolError(where(checker) + ": " + Plural(int64_t(cells.size()), "value", "values") +
                         ", the header names " + Plural(int64_t(columns.size()), "field", "fields"));
      for (size_t k = 0; k < columns.size(); ++k) {
        try {
          CheckText(c.Field(columns[k]), cells[k]);
        } catch (const TToolError& e) {
          throw TToolError(where(checker) + ", field '" + Shown(c.Field(columns[k]).FieldName()) +
                           "': " + e.what());
        }
      }
      ++rows;
    }
  } catch (const TToolError& e) {
    throw TToolError(std::string(e.what()) + "\nveldor: nothing was loaded");
  } catch (const TStopped& e) {
    throw TStopped(e.Signal, "load into " + t.Shown + " stopped by " + SignalName(e.Signal) +
                                 " before it stored anything: nothing was loaded");
  }

  // Second pass: the records go in, in natural order, inside one transaction. Its changes
  // reach the table's files only at the commit, through the table's journal: a load that
  // is refused, fails or is stopped is rolled back, and one killed outright leaves a
  // journal that the next open replays whole (it had committed) or drops (it had not).
  if (t.Database->StartTransaction() != 0)
    throw TToolError("cannot begin the load's transaction on " + t.Shown + "\nveldor: nothing was loaded");
  c.SetIndexNumber(kNaturalOrder);
  // Given auto-increment values are kept; a row that leaves one empty gets the next.
  if (autoIncGiven) c.SetSuppressAutoInc(true);
  int64_t added = 0;
  bool committed = false;
  std::vector<uint8_t> image(c.RecordSize());
  TCsvReader reader(text);
  next(reader);
  try {
    {
      TProgressLine progress("loading " + t.Shown);
      while (next(reader)) {
        StopPoint();
        c.InitRecord(image.data());
        for (size_t k = 0; k < columns.size(); ++k) {
          if (c.Field(columns[k]).IsAutoInc() && cells[k].empty()) {
            const int32_t last = c.Table()->LastAutoInc();
            const int32_t value = last >= INT32_MAX || last < 0 ? 1 : last + 1;
            c.PutField(columns[k], image.data(), &value);
          } else {
            PutText(c, columns[k], image.data(), cells[k]);
          }
        }
        try {
          c.AppendRecord(image.data(), false);
        } catch (const EVELDOREngineError& e) {
          throw TToolError(where(reader) + ": " + EngineText(e));
        }
        c.FreeAllBlobs(false);
        ++added;
        if ((added & 255) == 0) progress.Show(int(added * 100 / rows));
      }
    }
    // The commit is the last step; a signal now waits.
    TDeferStops defer;
    t.Database->CommitTransaction(true, false);
    committed = true;
    cursor->Close();
  } catch (...) {
    if (committed) {
      // The records are in: only what came after the commit failed.
      std::string why;
      try {
        throw;
      } catch (const EVELDOREngineError& e) {
        why = EngineText(e);
      } catch (const std::exception& e) {
        why = e.what();
      }
      throw TToolError("loaded " + Plural(added, "record", "records") + " into " + t.Shown +
                       ", but closing it then failed: " + why);
    }
    // Whatever stopped the load, the transaction is rolled back: the files never saw it.
    std::string why;
    int signal = 0;
    try {
      throw;
    } catch (const TStopped& e) {
      signal = e.Signal;
    } catch (const EVELDOREngineError& e) {
      why = "cannot write " + t.Shown + ": " + EngineText(e);
    } catch (const std::bad_alloc&) {
      why = "out of memory";
    } catch (const std::exception& e) {
      why = e.what();
    }
    TDeferStops defer;
    try {
      c.FreeAllBlobs(false);
    } catch (...) {
    }
    std::string failed;
    try {
      if (t.Database->InTransaction()) t.Database->RollbackTransaction();
    } catch (const EVELDOREngineError& e) {
      failed = "\nveldor: the rollback failed too: " + EngineText(e);
    }
    try {
      cursor->Close();
    } catch (...) {
    }
    if (!failed.empty()) {
      if (signal != 0) throw TStopped(signal, "load into " + t.Shown + " stopped by " + SignalName(signal) + failed);
      throw TToolError(why + failed);
    }
    if (signal != 0)
      throw TStopped(signal, "load into " + t.Shown + " stopped by " + SignalName(signal) +
                                 ": nothing was loaded, " + t.Shown + " is as it was before");
    throw TToolError(why + unchanged);
  }
  std::string pending;
  if (!Options_.Memory &&
      JournalState(JournalFileNameFor(TableFileName(t.Directory, t.Name, kDataExtension))) ==
          TJournalState::Committed)
    pending = " (committed; copying the commit into the table's files failed and is finished by the "
              "next program that opens the table for writing)";
  Out("loaded " + Plural(added, "record", "records") + " into " + t.Shown + pending + "\n");
  return 0;
}

int TTool::Dump(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {{"--index", 1}, {"--range", 2}, {"--filter", 1}, {"--count", 0}});
  Expect(a, 1, 1, "veldor dump TABLE [--index NAME] [--range LOW HIGH] [--filter EXPRESSION] [--count]");
  TTarget t = Target(a.Positional[0], true);
  auto cursor = Cursor(t, false, true, true);
  TDataCursor& c = *cursor;
  if (const auto* index = a.Last("--index")) {
    const std::string name = Stored((*index)[0], "--index");
    TIndexFile& file = c.Table()->IndexFile();
    int number = file.IndexOfName(name);
    if (number < 1 || number > file.SecondaryCount()) {
      std::string known;
      for (int i = 1; i <= file.SecondaryCount(); ++i)
        known += (known.empty() ? "" : ", ") + file.Descriptor(i).Name();
      throw TToolError("no index " + Brief(name) + " in " + t.Shown +
                       (known.empty() ? " (it has no secondary index)" : " (indexes: " + Shown(known) + ")"));
    }
    c.SetIndexNumber(number);
  }
  if (const auto* range = a.Last("--range")) {
    if (c.NaturalOrder())
      throw TToolError("--range needs an index: " + t.Shown +
                       " has no primary key, so name one with --index");
    const uint16_t field = c.Table()->IndexFile().Descriptor(c.IndexNumber()).FieldNumber(0);
    std::vector<uint8_t> low(c.RecordSize(), 0), high(c.RecordSize(), 0);
    for (int k = 0; k < 2; ++k) {
      const std::string what = std::string("--range ") + (k == 0 ? "LOW" : "HIGH");
      const std::string text = Stored((*range)[size_t(k)], what);
      if (text.empty()) continue;
      try {
        PutText(c, field, (k == 0 ? low : high).data(), text);
      } catch (const TToolError& e) {
        throw TToolError(what + " for field '" + Shown(c.Field(field).FieldName()) + "': " + e.what());
      }
    }
    c.SetRange(false, (*range)[0].empty() ? nullptr : low.data(), 1,
               (*range)[1].empty() ? nullptr : high.data(), 1);
  }
  if (const auto* filter = a.Last("--filter")) {
    const std::string expression = Stored((*filter)[0], "--filter");
    TFilter* f = c.AddFilter(nullptr, expression.c_str(), false, false, true, false);
    c.ActivateFilter(f);
  }
  if (a.Has("--count")) {
    Out(std::to_string(c.GetRecordCount()) + "\n");
    return 0;
  }
  // The CSV is made in the engine's text and goes out in UTF-8, a block at a time.
  std::vector<std::string> cells;
  for (const TFieldDescriptor& f : c.Fields()) cells.push_back(f.FieldName());
  std::string buffer = CsvLine(cells);
  std::vector<uint8_t> image(c.RecordSize());
  c.SetToBegin();
  try {
    while (c.GetNextRecord(image.data()) == 0) {
      StopPoint();
      cells.clear();
      for (uint16_t n = 1; n <= c.FieldCount(); ++n) cells.push_back(GetText(c, n, image.data()));
      buffer += CsvLine(cells);
      if (buffer.size() >= 65536) {
        Out(Shown(buffer));
        buffer.clear();
      }
    }
  } catch (const TStopped& e) {
    Out(Shown(buffer));
    throw TStopped(e.Signal, "dump of " + t.Shown + " stopped by " + SignalName(e.Signal) +
                                 " (the output holds the records written so far)");
  }
  Out(Shown(buffer));
  return 0;
}

// ---- Indexes --------------------------------------------------------------------------------

namespace {

// What a caught failure of a changing command was: the signal of a stop (0 otherwise) and
// the message of anything else.
struct TFailure {
  int Signal = 0;
  std::string Why;
};

TFailure CurrentFailure() {
  TFailure f;
  try {
    throw;
  } catch (const TStopped& e) {
    f.Signal = e.Signal;
  } catch (const EVELDOREngineError& e) {
    f.Why = EngineText(e);
  } catch (const std::bad_alloc&) {
    f.Why = "out of memory";
  } catch (const std::exception& e) {
    f.Why = e.what();
  }
  return f;
}

}  // namespace

// The index is built through the table's journal (the engine makes it one atomic change):
// a build that fails or is stopped leaves the table as it was, and one killed outright is
// dropped by the next open of the table, or finished by it once it had committed. A unique
// index removes the records whose key is already present.
int TTool::AddIndex(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {{"--unique", 0}, {"--nocase", 0}, {"--descending", 0}});
  Expect(a, 3, 3, "veldor add-index TABLE NAME FIELD[,FIELD...] [--unique] [--nocase] [--descending]");
  TTarget t = Target(a.Positional[0], true);
  const std::string name = Stored(a.Positional[1], "the index name");
  const std::string fieldList = Stored(a.Positional[2], "the field list");
  auto cursor = ChangeCursor(t, "add an index to");
  TDataCursor& c = *cursor;
  const bool unique = a.Has("--unique");
  TIndexDescriptor index = ParsedOrShown<TIndexDescriptor>("", [&] {
    return MakeIndex(name, fieldList, c.Fields(), unique, a.Has("--nocase"), a.Has("--descending"), "add-index");
  });
  const int32_t before = c.Table()->IndexFile().ActiveRecords();
  int32_t removed = 0;
  try {
    {
      TProgressLine progress("indexing " + t.Shown);
      c.IndexProgress = [&](int percent) {
        progress.Show(percent);
        StopPoint();
      };
      c.AddIndex(index);
      c.IndexProgress = nullptr;
    }
    removed = before - c.Table()->IndexFile().ActiveRecords();
    TDeferStops defer;
    cursor->Close();
  } catch (...) {
    const TFailure failure = CurrentFailure();
    TDeferStops defer;
    c.IndexProgress = nullptr;
    try {
      cursor->Close();
    } catch (...) {
    }
    if (failure.Signal != 0)
      throw TStopped(failure.Signal, "add-index " + Shown(name) + " stopped by " + SignalName(failure.Signal) +
                                         ": " +
                                         AfterFailure(t.Directory, t.Name, t.Shown, Options_.Memory,
                                                      t.Shown + " is as it was before"));
    throw TToolError(failure.Why + "\nveldor: " +
                     AfterFailure(t.Directory, t.Name, t.Shown, Options_.Memory,
                                  "no index was added; " + t.Shown + " is as it was before"));
  }
  if (removed > 0)
    std::fprintf(stderr, "veldor: warning: %s whose key was already in the unique index %s were removed\n",
                 Plural(removed, "record", "records").c_str(), Shown(name).c_str());
  Out("added index " + Shown(name) + " to " + t.Shown + "\n");
  return 0;
}

int TTool::DropIndex(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 2, 2, "veldor drop-index TABLE NAME");
  TTarget t = Target(a.Positional[0], true);
  const std::string name = Stored(a.Positional[1], "the index name");
  auto cursor = ChangeCursor(t, "drop an index of");
  TIndexFile& file = cursor->Table()->IndexFile();
  const int number = file.IndexOfName(name);
  if (number < 1 || number > file.SecondaryCount())
    throw TToolError("no secondary index " + Brief(name) + " in " + t.Shown);
  try {
    TDeferStops defer;  // freeing the pages is quick: a stop waits for its end
    cursor->DeleteIndex(name, true);
    cursor->Close();
  } catch (const EVELDOREngineError& e) {
    try {
      cursor->Close();
    } catch (...) {
    }
    throw TToolError(EngineText(e) + "\nveldor: " +
                     AfterFailure(t.Directory, t.Name, t.Shown, Options_.Memory,
                                  "no index was dropped; " + t.Shown + " is as it was before"));
  }
  Out("dropped index " + Shown(name) + " from " + t.Shown + "\n");
  return 0;
}

// ---- restructure ----------------------------------------------------------------------------

namespace {

// Kept values that a field's new type would change, counted by field: strings cut to a
// shorter size, numbers rounded or cut. (The engine reports values that do not convert at
// all, and records a new check refuses, itself.) Reads every record of the table once.
std::vector<std::pair<std::string, int64_t>> CountChangedValues(TDataCursor& c,
                                                               const std::vector<TFieldDescriptor>& next) {
  struct TPair {
    uint16_t Number;
    TFieldDescriptor To;
    int64_t Count = 0;
  };
  std::vector<TPair> pairs;
  for (TFieldDescriptor to : next) {
    const uint16_t number = to.FieldNumber();
    if (number < 1 || number > c.FieldCount()) continue;  // a new field
    const TFieldDescriptor& from = c.Field(number);
    ComputeFieldSize(to);
    if (from.FieldType() == FIELD_BLOB || to.FieldType() == FIELD_BLOB) continue;
    if (from.FieldType() == to.FieldType() && from.SlotSize() == to.SlotSize() &&
        from.DeclaredScale() == to.DeclaredScale())
      continue;
    pairs.push_back({number, to});
  }
  std::vector<std::pair<std::string, int64_t>> out;
  if (pairs.empty()) return out;
  std::vector<uint8_t> image(c.RecordSize());
  uint8_t slot[512];
  c.SetIndexNumber(kNaturalOrder);
  c.SetToBegin();
  while (c.GetNextRecord(image.data()) == 0) {
    StopPoint();
    for (TPair& p : pairs) {
      std::memset(slot, 0, sizeof slot);
      if (!c.GetField(p.Number, image.data(), slot) && ConversionChanges(c.Field(p.Number), p.To, slot)) ++p.Count;
    }
  }
  for (const TPair& p : pairs)
    if (p.Count > 0) out.emplace_back(p.To.FieldName() + " (" + TypeText(p.To) + ")", p.Count);
  return out;
}

}  // namespace

int TTool::Restructure(const std::vector<std::string>& args) {
  TArguments a = Parse(
      args,
      {{"--add", 1}, {"--drop", 1}, {"--retype", 1}, {"--rename", 1}, {"--no-backup", 0}, {"--strict", 0}});
  Expect(a, 1, 1,
         "veldor restructure TABLE [--add 'NAME TYPE ...'] [--drop FIELD] [--retype 'FIELD TYPE ...'] "
         "[--rename OLD=NEW] [--no-backup] [--strict]");
  TTarget t = Target(a.Positional[0], true);
  if (!Options_.Memory) {
    std::vector<std::string> files;
    for (const char* extension : {kDataExtension, kIndexExtension, kBlobExtension})
      files.push_back(TableFileName(t.Directory, t.Name, extension));
    RefuseReadOnly("restructure", t.Shown, files, false);
  }
  auto cursor = Cursor(t, true, false, false);
  TTableInformation info = cursor->GetTableInformation();
  TTableDefinition d;
  d.Fields = info.Fields;
  d.Indexes = info.Indexes;
  d.Language = info.Language;
  d.Sort = info.Sort;
  d.Description = info.Description;
  d.Password = info.Password;
  d.Encrypted = info.Encrypted;
  d.BlobBlockSize = info.BlobBlockSize;
  d.UserMajorVersion = info.UserMajorVersion;
  d.UserMinorVersion = info.UserMinorVersion;
  uint16_t nextNumber = 1;
  for (const TFieldDescriptor& f : d.Fields)
    nextNumber = std::max<uint16_t>(nextNumber, uint16_t(f.FieldNumber() + 1));

  auto find = [&](const std::string& name, const std::string& option) -> TFieldDescriptor& {
    for (TFieldDescriptor& f : d.Fields)
      if (SameWord(f.FieldName(), name)) return f;
    throw TToolError(option + ": no field " + Brief(name) + " in " + t.Shown);
  };
  bool changes = false;
  for (const auto& [option, values] : a.Options) {
    if (option == "--no-backup" || option == "--strict") continue;
    const std::string value = Stored(values.empty() ? std::string() : values[0], option);
    const std::string where = option + " " + value;
    if (option == "--drop") {
      TFieldDescriptor& f = find(value, option);
      for (size_t i = 0; i < d.Indexes.size(); ++i) {
        const TIndexDescriptor& index = d.Indexes[i];
        if (i == 0 && info.NoPrimaryKey) continue;
        for (int k = 0; k < index.FieldCount(); ++k)
          if (index.FieldNumber(k) == f.FieldNumber())
            throw TToolError("--drop " + Shown(value) + ": the field is part of " +
                             (i == 0 ? std::string("the primary key") : "the index " + Shown(index.Name())) +
                             (i == 0 ? "" : "; drop the index first"));
      }
      d.Fields.erase(d.Fields.begin() + (&f - d.Fields.data()));
    } else if (option == "--rename") {
      size_t eq = value.find('=');
      if (eq == std::string::npos) throw TUsageError("--rename takes OLD=NEW, not " + Brief(value));
      find(value.substr(0, eq), option).SetFieldName(value.substr(eq + 1));
    } else if (option == "--retype") {
      std::vector<TWord> words = SplitWords(value);
      if (words.empty()) throw TUsageError("--retype takes 'FIELD TYPE [ATTRIBUTES]'");
      TFieldDescriptor& field = find(words[0].Text, option);
      ParsedOrShown<int>("", [&] {
        ParseTypeWords(words, 1, field, where);
        return 0;
      });
    } else if (option == "--add") {
      TFieldDescriptor f = ParsedOrShown<TFieldDescriptor>("", [&] {
        return ParseFieldWords(SplitWords(value), 0, where);
      });
      f.SetFieldNumber(nextNumber++);
      d.Fields.push_back(f);
    }
    changes = true;
  }
  if (!changes)
    throw TUsageError("restructure: nothing to change (give --add, --drop, --retype or --rename)");
  const bool strict = a.Has("--strict");
  auto stopped = [&](int signal) {
    return TStopped(signal, "restructure of " + t.Shown + " stopped by " + SignalName(signal) + ": " + t.Shown +
                                " is unchanged");
  };

  // Cut and rounded values, which the engine converts without a word, are counted first.
  std::vector<std::pair<std::string, int64_t>> changed;
  try {
    auto reader = Cursor(t, false, true, true);
    changed = CountChangedValues(*reader, d.Fields);
  } catch (const TStopped& e) {
    throw stopped(e.Signal);
  }
  auto changedText = [](const std::pair<std::string, int64_t>& c) {
    return Plural(c.second, "value", "values") + " of field " + Shown(c.first) + " cut or rounded to fit";
  };
  if (strict && !changed.empty())
    throw TToolError("restructure of " + t.Shown + " stopped (--strict): " + changedText(changed.front()) +
                     "; the table is unchanged");

  // What the engine reports as lost, counted by cause and field or index. A field dropped
  // on purpose is no loss --strict stops at.
  std::map<std::pair<int, std::string>, int64_t> lost;
  bool stoppedByLoss = false;
  cursor->DataLost = [&](int cause, const std::string& context, bool& continueRestructure, bool&) {
    ++lost[{cause, context}];
    if (strict && cause != 3) {
      continueRestructure = false;
      stoppedByLoss = true;
    }
  };
  try {
    TProgressLine progress("restructuring " + t.Shown);
    cursor->RestructureProgress = [&](int percent) {
      progress.Show(percent);
      StopPoint();
    };
    cursor->RestructureTable(d, a.Has("--no-backup"), -1, true);
  } catch (const TStopped& e) {
    // A restructure stopped is dropped whole by the engine: the new table built beside the
    // old one is removed, a rebuild of the indexes is not committed.
    throw stopped(e.Signal);
  } catch (const EVELDOREngineError& e) {
    throw TToolError("restructure of " + t.Shown + " failed: " + EngineText(e) + "\nveldor: " +
                     AfterFailure(t.Directory, t.Name, t.Shown, Options_.Memory, t.Shown + " is unchanged"));
  }
  for (const auto& c : changed) std::fprintf(stderr, "veldor: warning: data lost: %s\n", changedText(c).c_str());
  for (const auto& [key, count] : lost) {
    const std::string context = Shown(key.second);
    const std::string records = Plural(count, "record", "records");
    std::string what;
    switch (key.first) {
      case 1:
        what = records + " dropped: a key violation in index " + (context.empty() ? "?" : context);
        break;
      case 2: what = records + " dropped: they fail the checks of field " + context; break;
      case 3: what = "field " + context + " dropped from " + records; break;
      case 4:
        what = "the value of field " + context + " does not convert to its new type in " + records;
        break;
      default: what = records + " dropped by an error"; break;
    }
    std::fprintf(stderr, "veldor: warning: data lost: %s\n", what.c_str());
  }
  if (stoppedByLoss)
    throw TToolError("restructure of " + t.Shown +
                     " stopped at the first data loss (--strict); the table is unchanged");
  Out("restructured " + t.Shown + "\n");
  return 0;
}

// ---- empty, rename, drop --------------------------------------------------------------------

int TTool::Empty(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 1, 1, "veldor empty TABLE");
  TTarget t = Target(a.Positional[0], true);
  auto cursor = ChangeCursor(t, "empty");
  const int64_t before = cursor->Table()->IndexFile().ActiveRecords();
  try {
    TDeferStops defer;  // cutting the files to their headers runs to its end once begun
    cursor->EmptyTable();
    cursor->Close();
  } catch (const EVELDOREngineError& e) {
    try {
      cursor->Close();
    } catch (...) {
    }
    throw TToolError(EngineText(e) + "\nveldor: " +
                     AfterFailure(t.Directory, t.Name, t.Shown, Options_.Memory,
                                  "nothing was removed; " + t.Shown + " is as it was before"));
  }
  Out("emptied " + t.Shown + " (" + Plural(before, "record", "records") + " removed)\n");
  return 0;
}

int TTool::Rename(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 2, 2, "veldor rename TABLE NEWNAME");
  TTarget t = Target(a.Positional[0], true);
  const std::string newName = WithoutDataEnding(a.Positional[1]);
  if (newName.empty() || newName.find('/') != std::string::npos)
    throw TToolError("the new name '" + a.Positional[1] +
                     "' must be a bare name (the table stays in its directory)");
  // Every target name must be free: the engine renames file by file and would stop
  // half-way at a taken one.
  for (const char* extension : {kDataExtension, kIndexExtension, kBlobExtension}) {
    const std::string target = TableFileName(t.Directory, newName, extension);
    if (FileList().FileExists(target, Options_.Memory))
      throw TToolError("a table '" + newName + "' already exists beside " + t.Shown + " (" + target + ")");
  }
  auto cursor = Cursor(t, true, false, false);
  try {
    TDeferStops defer;
    cursor->RenameTable(newName);
  } catch (const EVELDOREngineError& e) {
    const TMaintenanceState record =
        Options_.Memory ? TMaintenanceState{} : TMaintenanceRecord::Inspect(t.Directory, t.Name);
    if (!(record.Valid && record.Committed)) throw;
    throw TToolError(EngineText(e) + "\nveldor: the rename was committed before the failure: opening " + newName +
                     " for writing (veldor info does) completes it");
  }
  Out("renamed " + t.Shown + " to " + newName + "\n");
  return 0;
}

int TTool::Drop(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 1, 1, "veldor drop TABLE");
  TTarget t = Target(a.Positional[0], true);
  auto cursor = Cursor(t, true, false, false);
  {
    TDeferStops defer;
    cursor->DeleteTable();
  }
  Out("dropped " + t.Shown + "\n");
  return 0;
}

// ---- verify ---------------------------------------------------------------------------------

int TTool::Verify(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 1, 1, "veldor verify TABLE");
  TTarget t = Target(a.Positional[0], true);
  // Opening a table without its index file would make a new, empty one: say so instead.
  const std::string indexFile = TableFileName(t.Directory, t.Name, kIndexExtension);
  if (!FileList().FileExists(indexFile, Options_.Memory)) {
    Out(t.Shown + ": the index file " + indexFile + " is missing\n");
    return 1;
  }
  // A journal beside the table: an unfinished transaction's is only reported (the files
  // hold the committed state); a committed one means the files are not the table until a
  // writer's open has completed that commit.
  const std::string journal = JournalFileNameFor(TableFileName(t.Directory, t.Name, kDataExtension));
  const TJournalState journalState = Options_.Memory ? TJournalState::None : JournalState(journal);
  if (journalState == TJournalState::Committed) {
    Out(t.Shown + ": " + journal + " holds a commit that did not finish; opening the table for "
        "writing (veldor info does) completes it\n");
    return 1;
  }
  if (journalState == TJournalState::Unfinished)
    Out(t.Shown + ": " + journal + " holds no sound commit mark (its transaction never "
        "committed, or the journal was damaged since); the next open for writing removes it\n");
  if (journalState == TJournalState::InUse)
    Out(t.Shown + ": " + journal + " belongs to a transaction in progress\n");
  // A maintenance record beside the table: one that moves files and committed means the
  // files are not the table until a writer's open has finished it; the others are reported.
  if (!Options_.Memory) {
    const std::string record = TableFileName(t.Directory, t.Name, kMaintenanceExtension);
    const TMaintenanceState state = TMaintenanceRecord::Inspect(t.Directory, t.Name);
    const std::string what = MaintenanceWhat(state.Kind);
    if (state.InUse) {
      Out(t.Shown + ": " + record + " belongs to a maintenance in progress\n");
    } else if (state.Present && !state.Valid) {
      Out(t.Shown + ": " + record + " was cut short before its maintenance began; the next open for writing "
          "removes it\n");
    } else if (state.Committed && state.Kind != TMaintenanceKind::IndexBackup) {
      Out(t.Shown + ": " + record + " holds a " + what + " that did not finish; opening the table for writing "
          "(veldor info does) completes it\n");
      return 1;
    } else if (state.Committed) {
      Out(t.Shown + ": " + record + " holds a " + what + " that did not finish; the next open for writing "
          "puts it in place\n");
    } else if (state.Present) {
      Out(t.Shown + ": " + record + " was left by a " + what + " that did not finish; the next open for "
          "writing removes it and what it made\n");
    }
  }
  std::unique_ptr<TDataCursor> cursor;
  try {
    cursor = Cursor(t, true, true, true);
  } catch (const EVELDOREngineError& e) {
    // A table whose headers do not pass is damaged as well; a password refused is not.
    if (e.ErrorCode == VELDOR_NOTSUFFTABLERIGHTS || e.ErrorCode == VELDOR_OSEACCES) throw;
    Out(t.Shown + ": the table cannot be opened: " + EngineText(e) + "\n");
    return 1;
  }
  TTableChecker checker(*cursor->Table());
  std::vector<std::string> problems;
  {
    TProgressLine progress("verifying " + t.Shown);
    checker.SetProgress([&](int percent) {
      progress.Show(percent);
      StopPoint();
    });
    problems = checker.Run();
  }
  // The indexes a person defined: the secondary ones and the primary key, when there is
  // one (the index of deleted records is the engine's own).
  const TIndexFile& indexes = cursor->Table()->IndexFile();
  const std::string defined = Plural(indexes.SecondaryCount(), "secondary index", "secondary indexes") +
                              (indexes.NoUserPrimary() ? " and no primary key" : " and a primary key");
  cursor->Close();
  for (const std::string& p : problems) Out(t.Shown + ": " + Shown(p) + "\n");
  if (!problems.empty()) {
    Out(t.Shown + ": " + Plural(int64_t(problems.size()), "problem", "problems") + " found\n");
    return 1;
  }
  Out(t.Shown + ": sound (" + Plural(checker.LiveRecords(), "record", "records") + ", " +
      Plural(checker.DeletedRecords(), "deleted slot", "deleted slots") + ", " + defined + ", " +
      Plural(checker.BlobBlocksChecked(), "BLOB block", "BLOB blocks") + ")\n");
  return 0;
}

}  // namespace veldor::tool

// ---- sql --------------------------------------------------------------------------------------

namespace veldor::tool {

int TTool::Sql(const std::vector<std::string>& args) {
  const char* usage = "usage: veldor sql DIR [-c STATEMENTS] [--csv]";
  TSqlOptions options;
  std::vector<std::string> positional;
  bool more = true;
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (more && a == "--") {
      more = false;
    } else if (more && a == "-c") {
      if (i + 1 >= args.size()) throw TUsageError("sql: -c needs a value");
      options.HaveStatements = true;
      options.Statements = args[++i];
    } else if (more && a == "--csv") {
      options.Csv = true;
    } else if (more && a.size() > 1 && a[0] == '-') {
      throw TUsageError("sql: unknown option " + a);
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() > 1) throw TUsageError(usage);
  if (Options_.Memory) {
    // The in-memory database has no directory.
    if (!positional.empty()) throw TUsageError("sql: with --memory, give no directory");
    options.Database = Session_->OpenDataDirectory("Memory", "");
  } else {
    const std::string directory = positional.empty() ? Options_.Directory : positional[0];
    struct stat st {};
    const int error = stat(directory.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (error != 0)
      throw TToolError("directory " + directory +
                       (error == ENOENT    ? " does not exist"
                        : error == ENOTDIR ? " is not a directory"
                                           : std::string(": ") + std::strerror(error)));
    options.Database = Session_->OpenDataDirectory("", directory);
  }
  return RunSqlShell(*Session_, options);
}

}  // namespace veldor::tool
