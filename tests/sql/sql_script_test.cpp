// SQL test scripts: each file of the scripts directory is one test case that makes its
// fixture tables in a fresh directory and runs its statements in order, comparing what the
// engine gives with what the script expects.
//
// A script is a sequence of blocks; blank lines between blocks and lines starting with
// "#" are ignored.
//
//   table NAME            a fixture table: the lines up to "rows" (or a blank line) are
//   field Id integer      its definition in the `veldor create` form
//   primary Id
//   rows                  then CSV rows, one cell per field in field order (an empty cell
//   1,Anna                is NULL), up to a line "end"
//   end
//
//   query [rowsort] [columns]
//   SELECT ...            the statement (any number of lines) up to "----",
//   ----                  then the expected result up to a blank line or the end: one CSV
//   Anna                  line per row, NULL for a NULL value; "columns" adds a first line
//                         with the column names; "rowsort" compares the rows sorted;
//                         a statement without a result gives one line "changed N"
//
//   error
//   SELECT ...            the statement must fail; the expected text is the message slot
//   ----                  of the engine error (the whole message for errors without one)
//   Invalid column name ...
//
// Scripts are UTF-8. A failure names the script, the line of the statement, the statement,
// the expected and the actual output; every block of a script runs even after a failure.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "sql_fixture.h"

#ifndef VELDOR_SQL_SCRIPTS
#error "VELDOR_SQL_SCRIPTS must name the directory of the SQL test scripts"
#endif

namespace veldor::test {
namespace {

struct TScriptBlock {
  enum class TKind { Table, Query, Error } Kind = TKind::Query;
  size_t Line = 0;          // where the block starts (1-based)
  std::string Name;         // table name
  std::string Definition;   // table definition text
  std::string Rows;         // table rows, CSV
  std::string Sql;          // statement text
  bool RowSort = false;
  bool Columns = false;
  std::vector<std::string> Expected;
};

struct TScript {
  std::vector<TScriptBlock> Blocks;
  std::vector<std::string> Problems;  // "line N: ..." for text the reader could not take
};

std::vector<std::string> Words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

std::string Trimmed(const std::string& s) {
  const size_t first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return "";
  const size_t last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

TScript ReadScript(const std::string& path) {
  TScript script;
  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  size_t i = 0;
  auto problem = [&](size_t line, const std::string& what) {
    script.Problems.push_back("line " + std::to_string(line) + ": " + what);
  };
  while (i < lines.size()) {
    const std::string head = Trimmed(lines[i]);
    if (head.empty() || head[0] == '#') {
      ++i;
      continue;
    }
    const std::vector<std::string> words = Words(head);
    TScriptBlock block;
    block.Line = i + 1;
    ++i;
    if (words[0] == "table") {
      if (words.size() != 2) {
        problem(block.Line, "table needs one name");
        continue;
      }
      block.Kind = TScriptBlock::TKind::Table;
      block.Name = words[1];
      for (; i < lines.size() && !Trimmed(lines[i]).empty() && Trimmed(lines[i]) != "rows"; ++i)
        block.Definition += lines[i] + "\n";
      if (i < lines.size() && Trimmed(lines[i]) == "rows") {
        const size_t rowsLine = ++i;
        for (; i < lines.size() && Trimmed(lines[i]) != "end"; ++i) block.Rows += lines[i] + "\n";
        if (i == lines.size()) problem(rowsLine, "rows without end");
        ++i;
      }
    } else if (words[0] == "query" || words[0] == "error") {
      block.Kind = words[0] == "query" ? TScriptBlock::TKind::Query : TScriptBlock::TKind::Error;
      for (size_t w = 1; w < words.size(); ++w) {
        if (words[w] == "rowsort" && words[0] == "query")
          block.RowSort = true;
        else if (words[w] == "columns" && words[0] == "query")
          block.Columns = true;
        else
          problem(block.Line, "unknown option " + words[w]);
      }
      for (; i < lines.size() && Trimmed(lines[i]) != "----"; ++i) {
        if (Trimmed(lines[i]).empty()) continue;
        block.Sql += (block.Sql.empty() ? "" : "\n") + lines[i];
      }
      if (i == lines.size()) {
        problem(block.Line, "statement without ----");
        continue;
      }
      for (++i; i < lines.size() && !Trimmed(lines[i]).empty(); ++i) block.Expected.push_back(lines[i]);
    } else {
      problem(block.Line, "unknown block " + words[0]);
      continue;
    }
    script.Blocks.push_back(std::move(block));
  }
  return script;
}

// What running the block's statement gave, in the script's printed form.
std::vector<std::string> RunStatement(TSqlFixture& fixture, const TScriptBlock& block, bool& failed) {
  failed = false;
  try {
    TQueryStatement statement(fixture.Database);
    statement.Prepare(tool::Stored(block.Sql, "statement"));
    TDataCursor* cursor = statement.Execute(0);
    // A statement without a result shows the rows it changed.
    if (cursor == nullptr) return {"changed " + std::to_string(statement.RowCount)};
    TPrintedResult printed = PrintResult(*cursor);
    std::vector<std::string> out;
    if (block.Columns) {
      out.push_back(tool::CsvLine(printed.Columns));
      out.back().pop_back();  // the LF
    }
    if (block.RowSort) std::sort(printed.Rows.begin(), printed.Rows.end());
    out.insert(out.end(), printed.Rows.begin(), printed.Rows.end());
    return out;
  } catch (const EVELDOREngineError& e) {
    failed = true;
    // Errors without a message slot of their own (other codes than SQL errors) show whole.
    return {tool::Shown(e.ErrorMessage.empty() ? e.Message : e.ErrorMessage)};
  } catch (const std::exception& e) {
    failed = true;
    return {std::string("exception: ") + e.what()};
  }
}

std::string Indented(const std::vector<std::string>& lines) {
  if (lines.empty()) return "  (no rows)\n";
  std::string out;
  for (const auto& l : lines) out += "  " + l + "\n";
  return out;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> ScriptFiles() {
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(VELDOR_SQL_SCRIPTS))
    if (entry.path().extension() == ".test") files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  return files;
}

struct SqlScriptTest : ::testing::TestWithParam<std::string> {};

TEST_P(SqlScriptTest, Runs) {
  const std::string path = GetParam();
  const std::string name = std::filesystem::path(path).filename().string();
  const TScript script = ReadScript(path);
  for (const auto& p : script.Problems) ADD_FAILURE_AT(path.c_str(), 0) << name << " " << p;
  ASSERT_FALSE(script.Blocks.empty()) << name << " holds no blocks";
  TSqlFixture fixture;
  for (const TScriptBlock& block : script.Blocks) {
    const std::string where = name + ":" + std::to_string(block.Line);
    if (block.Kind == TScriptBlock::TKind::Table) {
      try {
        fixture.MakeTable(block.Name, block.Definition, block.Rows, where);
      } catch (const EVELDOREngineError& e) {
        FAIL() << where << ": table " << block.Name << ": " << e.Message;
      } catch (const std::exception& e) {
        FAIL() << where << ": table " << block.Name << ": " << e.what();
      }
      continue;
    }
    bool failed = false;
    std::vector<std::string> actual = RunStatement(fixture, block, failed);
    std::vector<std::string> expected = block.Expected;
    if (block.RowSort) std::sort(expected.begin() + (block.Columns && !expected.empty() ? 1 : 0), expected.end());
    const bool wantError = block.Kind == TScriptBlock::TKind::Error;
    if (failed == wantError && actual == expected) continue;
    ADD_FAILURE_AT(path.c_str(), int(block.Line))
        << where << ": " << (wantError ? "error" : "query") << "\n"
        << Indented(Lines(block.Sql)) << "expected " << (wantError ? "the error" : "rows") << ":\n"
        << Indented(expected) << "actual " << (failed ? "error" : "rows") << ":\n"
        << Indented(actual);
  }
}

std::string CaseName(const ::testing::TestParamInfo<std::string>& info) {
  std::string stem = std::filesystem::path(info.param).stem().string();
  for (char& c : stem)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return stem;
}

INSTANTIATE_TEST_SUITE_P(Scripts, SqlScriptTest, ::testing::ValuesIn(ScriptFiles()), CaseName);

}  // namespace
}  // namespace veldor::test
