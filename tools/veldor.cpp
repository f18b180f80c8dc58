// veldor: the command-line tool for people who keep VELDOR tables. It reads the global
// options, then runs one command, a script file of commands or the commands of -e, all in
// one engine session, and turns every failure into a message on standard error and a
// non-zero exit status. The commands themselves are in veldor_commands.cpp.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/table_header.h"
#include "lib/exception.h"
#include "tools/veldor_commands.h"
#include "tools/veldor_tool.h"

using namespace veldor;
using namespace veldor::tool;

namespace {

// Each command's usage, as `veldor COMMAND --help` prints it and the list in the help.
struct TCommandHelp {
  const char* Name;
  const char* Text;
};

const TCommandHelp kCommands[] = {
    {"info", R"(  info TABLE                     the table's definition (in the form create reads), with
                                 its record count, record size and last auto-increment value
)"},
    {"create", R"(  create TABLE [DEFFILE|-] [--replace]
                                 make a table from a definition (standard input when no file
                                 is given); --replace overwrites an existing table
)"},
    {"load", R"(  load TABLE FILE.csv|-          append the records of a CSV file: all of them or, when one
                                 fails, the disk fills or the load is stopped (Ctrl-C), none
)"},
    {"dump", R"(  dump TABLE [--index NAME] [--range LOW HIGH] [--filter EXPRESSION] [--count]
                                 write the records as CSV in the order of the primary key (or
                                 of --index NAME); --range keeps the records whose first index
                                 field lies from LOW to HIGH, both included ('' for no limit;
                                 in a descending index the higher value comes first);
                                 --filter keeps those for which the expression is true, e.g.
                                 "Price > 10 and Title like 'A%'"; --count writes only the
                                 number of records the dump would write
)"},
    {"add-index", R"(  add-index TABLE NAME FIELD[,FIELD...] [--unique] [--nocase] [--descending]
                                 add a secondary index (FIELD:desc sorts one field backwards);
                                 with --unique, records whose key is already present are
                                 removed (the lowest record number stays) and counted
)"},
    {"drop-index", R"(  drop-index TABLE NAME          remove a secondary index
)"},
    {"restructure", R"(  restructure TABLE OPTIONS      change fields, keeping the data that fits:
      --add 'NAME TYPE [ATTRIBUTES]'     a new field at the end
      --drop FIELD                        remove a field (not one an index uses)
      --retype 'FIELD TYPE [ATTRIBUTES]'  a new type and attributes (those not written go)
      --rename OLD=NEW                    a new name
      --no-backup                         do not keep the old files as .DBK, .IBK, .BBK
      --strict                            stop, changing nothing, at the first kept value
                                          that would be lost: a string cut, a number
                                          rounded, a value a new check refuses
                                 the options apply in the order given; what is lost is
                                 reported on standard error
)"},
    {"empty", R"(  empty TABLE                    remove every record
)"},
    {"rename", R"(  rename TABLE NEWNAME           rename the table's files (in the same directory)
)"},
    {"drop", R"(  drop TABLE                     delete the table's files
)"},
    {"verify", R"(  verify TABLE                   check records, free chains, every index and every BLOB
                                 chain; prints each problem; exit status 0 only when sound
)"},
    {"sql", R"(  sql [DIR] [-c STATEMENTS] [--csv]
                                 an SQL shell over the tables of DIR (default: the --dir
                                 directory; with --memory, the in-memory tables): runs the
                                 statements of -c (separated by ';'), of standard input, or
                                 typed at a prompt on a terminal (a statement ends with ';';
                                 .quit or Ctrl-D leaves). A result shows as a table (NULL for
                                 no value), or with --csv as CSV (an empty cell); a change
                                 reports its row count and time (with --csv on standard
                                 error). Result tables are kept in a private temporary
                                 directory ($TMPDIR, default /var/tmp), removed at the end.
                                 -c and standard input stop at the first statement that
                                 fails; at a prompt Ctrl-C stops only the running statement
)"},
    {"help", R"(  help [COMMAND]                 this text, or the usage of one command
)"},
};

const char kIntroduction[] = R"(veldor: keep VELDOR tables from the command line.

usage: veldor [OPTIONS] COMMAND ARGUMENTS...
       veldor [OPTIONS] script FILE        commands from FILE, one a line (or ';'-separated)
       veldor [OPTIONS] -e 'CMD; CMD...'   commands given on the command line
       veldor COMMAND --help               the usage of one command

TABLE is the path of a table's files, with or without the ".dat" ending (data/customers
uses data/customers.DAT, .IDX and .BLB), or a bare name in the --dir directory.

Options:
  --dir DIR        where bare table names live (default: the current directory)
  --memory         use the in-memory database: tables live until the run ends, so use it
                   with 'script' or -e
  --password P     a password for encrypted tables (may be repeated)
  -e COMMANDS      run the commands, separated by ';' or new lines, and stop at the first
                   that fails
  -h, --help       this text
  --version        the versions of the tool, the engine and the table format

Commands:
)";

const char kFormats[] = R"(
Definition files, one statement a line ('#' starts a comment):
  field NAME TYPE [SIZE] [required] [upper|lower] [default V] [min V] [max V]
        [description V]
  primary FIELD[,FIELD...] [nocase] [descending] [compress none|dup|trail|full]
  index NAME FIELD[,FIELD...] [unique] [nocase] [descending] [compress ...]
  description TEXT      language N [sort M]      blocksize N      version MAJOR MINOR
  password P            (the table is encrypted) encrypted (password from --password)
Types: string N, fixed N, unicode N, date, time, timestamp, boolean, smallint, integer,
autoinc, word, longword, largeint, float, money, extended, bcd SCALE, bytes N, varbytes N,
memo, fmtmemo, blob, binary, graphic, ole, dbole, typedbinary.
Values with blanks go in single or double quotes (a quote doubled stands for itself).
Without a 'primary' line the table has no primary key and keeps its records in order.

  field Id autoinc
  field Name string 30 required
  field Born date min '1800-01-01'
  field Notes memo
  primary Id
  index ByName Name nocase

CSV files: a header line of field names, then one record a line, cells separated by
commas, in double quotes when they hold commas, quotes or line breaks (a quote inside is
doubled); empty lines are skipped. An empty cell is NULL; a field missing from the header
gets its default. Values in their text forms: 2024-03-09, 01:30:15 PM or 13:30:15,
True/False, 12.5; memo fields as text; bytes and binary BLOBs as hexadecimal digits. Given
auto-increment values are kept, empty ones take the next value.

Text: files, arguments and output are UTF-8; tables keep their text in Windows-1252, so a
character it has no place for (Cyrillic, Chinese, emoji) is refused, naming its line and
field. Sizes count stored characters. File names are used as they are.

Exit status: 0 success, 1 failure (the message says why; verify: problems found), 2 a
command line veldor does not understand. SIGINT (Ctrl-C) and SIGTERM stop a command at
the next point where it can stop cleanly, leaving the table as it was (a load, add-index,
restructure), and end veldor by that signal.
)";

std::string FullHelp() {
  std::string text = kIntroduction;
  for (const TCommandHelp& c : kCommands) text += c.Text;
  return text + kFormats;
}

// The usage of one command, or nullptr when there is no such command.
const char* CommandHelp(const std::string& name) {
  for (const TCommandHelp& c : kCommands)
    if (name == c.Name) return c.Text;
  return nullptr;
}

// One command's words, and where it came from for messages ("" on the command line).
struct TCommand {
  std::vector<std::string> Words;
  std::string Where;
};

// The commands of a script text: lines, each split at ';' outside quotes. A script file's
// commands are named by their line (and their place on it when a line holds several), those
// of -e by their place in the list.
std::vector<TCommand> ScriptCommands(const std::string& text, const std::string& origin, bool byPosition) {
  std::vector<TCommand> commands;
  size_t lineNumber = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    std::vector<TCommand> onLine;
    while (!line.empty()) {
      std::string rest;
      std::vector<TWord> words;
      try {
        words = SplitWords(line, ';', &rest);
      } catch (const TToolError& e) {
        const std::string where = byPosition ? origin + " command " + std::to_string(commands.size() + onLine.size() + 1)
                                             : origin + " line " + std::to_string(lineNumber);
        throw TToolError(where + ": " + e.what());
      }
      if (!words.empty()) {
        TCommand command;
        for (TWord& w : words) command.Words.push_back(std::move(w.Text));
        onLine.push_back(std::move(command));
      }
      line = rest;
    }
    for (size_t k = 0; k < onLine.size(); ++k) {
      onLine[k].Where = byPosition ? origin + " command " + std::to_string(commands.size() + 1)
                                   : origin + " line " + std::to_string(lineNumber) +
                                         (onLine.size() > 1 ? ", command " + std::to_string(k + 1) : "");
      commands.push_back(std::move(onLine[k]));
    }
  }
  return commands;
}

int Fail(const std::string& where, const std::string& message, int status) {
  try {
    FinishOutput();
  } catch (const TOutputError&) {
    // The message below is what matters now.
  }
  std::fprintf(stderr, "veldor: %s%s\n", where.empty() ? "" : (where + ": ").c_str(), message.c_str());
  return status;
}

// What ends a run: its exit status, or the signal it is to end by.
struct TOutcome {
  int Status = 0;
  int Signal = 0;
};

bool AsksForHelp(const std::vector<std::string>& words) {
  for (size_t i = 1; i < words.size(); ++i) {
    if (words[i] == "--") break;
    if (words[i] == "--help" || words[i] == "-h") return true;
  }
  return false;
}

// Runs `commands` in order and stops at the first that fails or is stopped.
TOutcome RunAll(TTool& tool, const std::vector<TCommand>& commands) {
  for (const TCommand& command : commands) {
    const std::string& name = command.Words.at(0);
    try {
      StopPoint();
      if (name == "help" || name == "--help" || name == "-h") {
        if (command.Words.size() > 1 && name == "help") {
          const char* text = CommandHelp(command.Words[1]);
          if (text == nullptr) throw TUsageError("help: unknown command '" + command.Words[1] + "'");
          Out(std::string("usage:\n") + text);
        } else {
          Out(FullHelp());
        }
      } else if (name == "script" || name == "-e") {
        throw TUsageError("'" + name + "' cannot be used inside a script");
      } else if (!TTool::IsCommand(name)) {
        throw TUsageError("unknown command '" + name + "' (see veldor help)");
      } else if (AsksForHelp(command.Words)) {
        Out(std::string("usage:\n") + CommandHelp(name));
      } else {
        int status = tool.Run(command.Words);
        FinishOutput();
        if (status != 0) return {status, 0};
      }
      FinishOutput();
    } catch (const TUsageError& e) {
      return {Fail(command.Where, e.what(), 2), 0};
    } catch (const TToolError& e) {
      return {Fail(command.Where, e.what(), 1), 0};
    } catch (const TStopped& e) {
      Fail(command.Where, e.what(), 0);
      return {128 + e.Signal, e.Signal};
    } catch (const TOutputError& e) {
      // A reader that stopped reading wants no more: the run ends quietly.
      if (e.ReaderGone) return {0, 0};
      return {Fail(command.Where, e.what(), 1), 0};
    } catch (const EVELDOREngineError& e) {
      return {Fail(command.Where, EngineMessage(e.Message, e.ErrorTableName, e.ErrorDatabaseName), 1), 0};
    } catch (const Exception& e) {
      return {Fail(command.Where, Shown(e.Message), 1), 0};
    } catch (const std::bad_alloc&) {
      return {Fail(command.Where, "out of memory", 1), 0};
    } catch (const std::exception& e) {
      return {Fail(command.Where, e.what(), 1), 0};
    }
    // A signal that came while the command could not stop: its work stands, the run ends.
    if (StopSignal() != 0) {
      Fail(command.Where, SignalName(StopSignal()) + " came while " + name +
                              " could not stop; it finished, and veldor stops here", 0);
      return {128 + StopSignal(), StopSignal()};
    }
  }
  return {0, 0};
}

std::string VersionText() {
  const unsigned engine = veldor::kEngineVersion / 100;
  char text[128];
  std::snprintf(text, sizeof text, "veldor %s (VELDOR engine %u.%02u, table format %u)\n", VELDOR_TOOL_VERSION,
                engine / 100, engine % 100, unsigned(veldor::kFormatVersion));
  return text;
}

// Ends the process: standard output closed and checked, then the exit status, or the
// signal that stopped the run raised again with its default action (so that a shell sees
// the program end by it).
int Finish(TOutcome outcome) {
  if (std::fclose(stdout) != 0 && outcome.Status == 0 && outcome.Signal == 0) {
    std::fprintf(stderr, "veldor: cannot write the output: %s\n", std::strerror(errno));
    outcome.Status = 1;
  }
  if (outcome.Signal != 0) {
    std::fflush(stderr);
    std::signal(outcome.Signal, SIG_DFL);
    std::raise(outcome.Signal);
  }
  return outcome.Status;
}

}  // namespace

int main(int argc, char** argv) {
  InstallStopHandlers();
  std::vector<std::string> args(argv + 1, argv + argc);
  TOptions options;
  std::string inlineScript;
  bool haveInline = false;
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string a = args[i];
    const bool valued = a == "--dir" || a == "--password" || a == "-e";
    if (valued && i + 1 >= args.size()) return Finish({Fail("", a + " needs a value", 2), 0});
    if (a == "--dir") {
      options.Directory = args[++i];
    } else if (a == "--memory") {
      options.Memory = true;
    } else if (a == "--password") {
      options.Passwords.push_back(args[++i]);
    } else if (a == "-e") {
      inlineScript = args[++i];
      haveInline = true;
    } else if (a == "-h" || a == "--help" || a == "--version") {
      try {
        Out(a == "--version" ? VersionText() : FullHelp());
        FinishOutput();
      } catch (const TOutputError& e) {
        return Finish({e.ReaderGone ? 0 : Fail("", e.what(), 1), 0});
      }
      return Finish({0, 0});
    } else if (a.size() > 1 && a[0] == '-') {
      return Finish({Fail("", "unknown option " + a + " (see veldor help)", 2), 0});
    } else {
      break;
    }
  }
  std::vector<std::string> rest(args.begin() + std::ptrdiff_t(i), args.end());
  if (haveInline && !rest.empty()) return Finish({Fail("", "give either -e or a command, not both", 2), 0});
  if (!haveInline && rest.empty()) {
    std::fputs(FullHelp().c_str(), stderr);
    return Finish({2, 0});
  }
  if (!haveInline && rest[0] == "script" && rest.size() != 2)
    return Finish({Fail("", "usage: veldor script FILE", 2), 0});
  TOutcome outcome;
  try {
    // The session ends (its tables closed) before the run does.
    TTool tool(options);
    std::vector<TCommand> commands;
    if (haveInline)
      commands = ScriptCommands(inlineScript, "-e", true);
    else if (rest[0] == "script")
      commands = ScriptCommands(ReadInput(rest[1]), rest[1], false);
    else
      commands.push_back({rest, ""});
    outcome = RunAll(tool, commands);
  } catch (const TToolError& e) {
    outcome = {Fail("", e.what(), 1), 0};
  } catch (const std::exception& e) {
    outcome = {Fail("", e.what(), 1), 0};
  }
  return Finish(outcome);
}
