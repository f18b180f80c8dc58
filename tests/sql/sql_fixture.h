// A directory of fixture tables for SELECT tests, and the printed form of a result cursor.
//
// Each fixture owns a fresh temporary directory holding the tables (made through the
// engine from the `veldor create` definition form and CSV rows, as `veldor load` reads
// them) and a "private" subdirectory that the session uses for its result tables, so
// that a test can see what a statement leaves behind. Text handed in and printed is
// UTF-8; the engine sees Windows-1252. One thread.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/session.h"
#include "lib/temp_dir.h"
#include "sql/query_statement.h"
#include "tools/veldor_definition.h"
#include "tools/veldor_tool.h"
#include "tools/veldor_values.h"

namespace veldor::test {

// Columns the engine keeps for itself in a result table (the counts behind AVG); they are
// not part of what a query shows.
inline bool HiddenResultColumn(const std::string& name) { return name.rfind("Sys__Avg__Count", 0) == 0; }

// The printed form of a result: optionally a first line with the column names, then one
// CSV line per record in cursor order; NULL prints as the word NULL, so that it differs
// from an empty string. Everything is UTF-8.
struct TPrintedResult {
  std::vector<std::string> Columns;
  std::vector<std::string> Rows;
};

inline TPrintedResult PrintResult(TDataCursor& cursor) {
  TPrintedResult out;
  std::vector<uint16_t> shown;
  for (uint16_t n = 1; n <= cursor.FieldCount(); ++n) {
    const std::string name = cursor.Field(n).FieldName();
    if (HiddenResultColumn(name)) continue;
    shown.push_back(n);
    out.Columns.push_back(tool::Shown(name));
  }
  std::vector<uint8_t> buffer(cursor.RecordSize());
  std::vector<uint8_t> slot(std::max<size_t>(cursor.RecordSize(), 256));
  cursor.SetToBegin();
  while (cursor.GetNextRecord(buffer.data()) == 0) {
    std::vector<std::string> cells;
    for (uint16_t n : shown) {
      if (cursor.GetField(n, buffer.data(), slot.data()))
        cells.push_back("NULL");
      else
        cells.push_back(tool::Shown(tool::GetText(cursor, n, buffer.data())));
    }
    std::string line = tool::CsvLine(cells);
    line.pop_back();  // the LF
    out.Rows.push_back(line);
  }
  return out;
}

class TSqlFixture {
 public:
  TSqlFixture() {
    Directory_ = MakeTempDirectory("veldor-sql");
    if (Directory_.empty()) throw std::runtime_error("cannot make a temporary directory");
    Directory_ += "/";
    std::filesystem::create_directory(PrivateDirectory());
    Session = std::make_unique<TDataSession>(1);
    Session->SetPrivateDirectory(PrivateDirectory());
    Database = Session->OpenDataDirectory("", Directory_);
  }
  ~TSqlFixture() {
    Session.reset();
    std::error_code ignored;
    std::filesystem::remove_all(Directory_, ignored);
  }
  TSqlFixture(const TSqlFixture&) = delete;
  TSqlFixture& operator=(const TSqlFixture&) = delete;

  const std::string& Directory() const { return Directory_; }
  std::string PrivateDirectory() const { return Directory_ + "private/"; }

  // Makes table `name` from `definition` (the `veldor create` form, UTF-8) and appends
  // `rows`, CSV with one cell per field in field order (fewer cells leave the rest NULL;
  // an empty cell is NULL; an empty auto-increment cell takes the next number). `origin`
  // prefixes messages. Raises TToolError or EVELDOREngineError.
  void MakeTable(const std::string& name, const std::string& definition, const std::string& rows,
                 const std::string& origin) {
    TTableDefinition d = tool::ParseDefinition(tool::Stored(definition, origin), origin, "");
    {
      TDataCursor maker(Database);
      maker.SetTableName(name);
      maker.SetExclusive(true);
      maker.CreateTable(d, false, true);
    }
    const std::string stored = tool::Stored(rows, origin);
    if (stored.empty()) return;
    TDataCursor cursor(Database);
    cursor.SetTableName(name);
    cursor.SetExclusive(true);
    cursor.Open();
    std::vector<uint8_t> image(cursor.RecordSize());
    tool::TCsvReader reader(stored);
    std::vector<std::string> cells;
    while (reader.Next(cells)) {
      if (cells.size() > cursor.FieldCount())
        throw tool::TToolError(origin + " row " + std::to_string(reader.Line()) + ": more cells than fields");
      cursor.InitRecord(image.data());
      for (size_t k = 0; k < cells.size(); ++k) {
        const uint16_t field = uint16_t(k + 1);
        if (cursor.Field(field).IsAutoInc() && cells[k].empty()) {
          const int32_t value = cursor.Table()->LastAutoInc() + 1;
          cursor.PutField(field, image.data(), &value);
        } else {
          try {
            tool::PutText(cursor, field, image.data(), cells[k]);
          } catch (const tool::TToolError& e) {
            throw tool::TToolError(origin + " row " + std::to_string(reader.Line()) + " field " +
                                   cursor.Field(field).FieldName() + ": " + e.what());
          }
        }
      }
      cursor.AppendRecord(image.data(), false);
      cursor.FreeAllBlobs(false);
    }
  }

  // The names of the files in the private directory.
  std::vector<std::string> PrivateFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(PrivateDirectory()))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::unique_ptr<TDataSession> Session;
  TDataDirectory* Database = nullptr;  // the fixture directory; owned by the session

 private:
  std::string Directory_;
};

}  // namespace veldor::test
