// veldor: the command-line tool for people who keep VELDOR tables. It reads the global
// options, then runs one command, a script file of commands or the commands of -e, all in
// one engine session, and turns every failure into a message on standard error and a
// non-zero exit status. The commands themselves are in veldor_commands.cpp.

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "lib/exception.h"
#include "tools/veldor_commands.h"
#include "tools/veldor_tool.h"

using namespace veldor;
using namespace veldor::tool;

namespace {

const char kHelp[] = R"(veldor: keep VELDOR tables from the command line.

usage: veldor [OPTIONS] COMMAND ARGUMENTS...
       veldor [OPTIONS] script FILE        commands from FILE, one a line (or ';'-separated)
       veldor [OPTIONS] -e 'CMD; CMD...'   commands given on the command line

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

Commands:
  info TABLE                     the table's definition (in the form create reads), with
                                 its record count, record size and last auto-increment value
  create TABLE [DEFFILE|-] [--replace]
                                 make a table from a definition (standard input when no file
                                 is given); --replace overwrites an existing table
  load TABLE FILE.csv|-          append the records of a CSV file: all of them or, when one
                                 fails, none
  dump TABLE [--index NAME] [--range LOW HIGH] [--filter EXPRESSION] [--count]
                                 write the records as CSV in the order of the primary key (or
                                 of --index NAME); --range keeps the records whose first index
                                 field lies from LOW to HIGH, both included ('' for no limit;
                                 in a descending index the higher value comes first);
                                 --filter keeps those for which the expression is true, e.g.
                                 "Price > 10 and Title like 'A%'"; --count writes only the
                                 number of records the dump would write
  add-index TABLE NAME FIELD[,FIELD...] [--unique] [--nocase] [--descending]
                                 add a secondary index (FIELD:desc sorts one field backwards);
                                 with --unique, records whose key is already present are
                                 removed (the lowest record number stays) and counted
  drop-index TABLE NAME          remove a secondary index
  restructure TABLE OPTIONS      change fields, keeping the data that fits:
      --add 'NAME TYPE [ATTRIBUTES]'     a new field at the end
      --drop FIELD                        remove a field (not one an index uses)
      --retype 'FIELD TYPE [ATTRIBUTES]'  a new type and attributes (those not written go)
      --rename OLD=NEW                    a new name
      --no-backup                         do not keep the old files as .DBK, .IBK, .BBK
      --strict                            stop at the first loss of data, changing nothing
                                 the options apply in the order given; lost data is reported
  empty TABLE                    remove every record
  rename TABLE NEWNAME           rename the table's files (in the same directory)
  drop TABLE                     delete the table's files
  verify TABLE                   check records, free chains, every index and every BLOB
                                 chain; prints each problem; exit status 0 only when sound
  help                           this text

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

Exit status: 0 success, 1 failure (the message says why; verify: problems found), 2 a
command line veldor does not understand.
)";

// One command's words, and where it came from for messages ("" on the command line).
struct TCommand {
  std::vector<std::string> Words;
  std::string Where;
};

// The commands of a script text: lines, each split at ';' outside quotes.
std::vector<TCommand> ScriptCommands(const std::string& text, const std::string& origin) {
  std::vector<TCommand> commands;
  size_t lineNumber = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    const std::string where = origin + " line " + std::to_string(lineNumber);
    while (!line.empty()) {
      std::string rest;
      std::vector<TWord> words;
      try {
        words = SplitWords(line, ';', &rest);
      } catch (const TToolError& e) {
        throw TToolError(where + ": " + e.what());
      }
      if (!words.empty()) {
        TCommand command{{}, where};
        for (TWord& w : words) command.Words.push_back(std::move(w.Text));
        commands.push_back(std::move(command));
      }
      line = rest;
    }
  }
  return commands;
}

int Fail(const std::string& where, const std::string& message, int status) {
  std::fflush(stdout);
  std::fprintf(stderr, "veldor: %s%s\n", where.empty() ? "" : (where + ": ").c_str(), message.c_str());
  return status;
}

// Runs `commands` in order and stops at the first that fails; returns the exit status.
int RunAll(TTool& tool, const std::vector<TCommand>& commands) {
  for (const TCommand& command : commands) {
    try {
      const std::string& name = command.Words.at(0);
      if (name == "help" || name == "--help" || name == "-h") {
        std::fputs(kHelp, stdout);
        continue;
      }
      if (name == "script" || name == "-e")
        throw TUsageError("'" + name + "' cannot be used inside a script");
      if (!TTool::IsCommand(name)) throw TUsageError("unknown command '" + name + "' (see veldor help)");
      int status = tool.Run(command.Words);
      std::fflush(stdout);
      if (status != 0) return status;
    } catch (const TUsageError& e) {
      return Fail(command.Where, e.what(), 2);
    } catch (const TToolError& e) {
      return Fail(command.Where, e.what(), 1);
    } catch (const EVELDOREngineError& e) {
      return Fail(command.Where, e.Message, 1);
    } catch (const Exception& e) {
      return Fail(command.Where, e.Message, 1);
    } catch (const std::bad_alloc&) {
      return Fail(command.Where, "out of memory", 1);
    } catch (const std::exception& e) {
      return Fail(command.Where, e.what(), 1);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  TOptions options;
  std::string inlineScript;
  bool haveInline = false;
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string a = args[i];
    const bool valued = a == "--dir" || a == "--password" || a == "-e";
    if (valued && i + 1 >= args.size()) return Fail("", a + " needs a value", 2);
    if (a == "--dir") {
      options.Directory = args[++i];
    } else if (a == "--memory") {
      options.Memory = true;
    } else if (a == "--password") {
      options.Passwords.push_back(args[++i]);
    } else if (a == "-e") {
      inlineScript = args[++i];
      haveInline = true;
    } else if (a == "-h" || a == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    } else if (a.size() > 1 && a[0] == '-') {
      return Fail("", "unknown option " + a + " (see veldor help)", 2);
    } else {
      break;
    }
  }
  std::vector<std::string> rest(args.begin() + std::ptrdiff_t(i), args.end());
  if (haveInline && !rest.empty()) return Fail("", "give either -e or a command, not both", 2);
  if (!haveInline && rest.empty()) {
    std::fputs(kHelp, stderr);
    return 2;
  }
  try {
    TTool tool(options);
    std::vector<TCommand> commands;
    if (haveInline) {
      commands = ScriptCommands(inlineScript, "-e");
    } else if (rest[0] == "script") {
      if (rest.size() != 2) return Fail("", "usage: veldor script FILE", 2);
      commands = ScriptCommands(ReadInput(rest[1]), rest[1]);
    } else {
      commands.push_back({rest, ""});
    }
    return RunAll(tool, commands);
  } catch (const TToolError& e) {
    return Fail("", e.what(), 1);
  } catch (const std::exception& e) {
    return Fail("", e.what(), 1);
  }
}
