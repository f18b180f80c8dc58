// Component tests over real tables in a fresh directory: tables are made and filled
// through an engine session of the fixture's own (as another program would have left
// them), then used through the components the way a program embedding the engine does.
// Each test ends with "Default" deactivated, so that no temporary database outlives it.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "components/database.h"
#include "components/session.h"
#include "components/table.h"
#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "lib/temp_dir.h"

namespace veldor::test {

// The text of the database error `body` raises ("" when none), and the engine code of an
// engine error (0 when none, or when the error is not an engine error).
inline std::string DatabaseMessageOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const EDatabaseError& e) {
    return e.Message;
  }
  return "";
}

inline uint16_t EngineCodeOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode;
  }
  return 0;
}

struct TPerson {
  int32_t Id;
  std::string Name;  // "" stores NULL
  int32_t Amount;
  std::string Memo;  // "" stores no BLOB
};

class ComponentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string made = MakeTempDirectory("veldor-components");
    ASSERT_FALSE(made.empty());
    dir_ = made + "/";
  }
  void TearDown() override {
    DefaultSession().Close();
    std::filesystem::remove_all(dir_);
  }

  static TFieldDescriptor Field(uint16_t number, const char* name, uint8_t type, uint8_t size = 0,
                                uint8_t subType = 0) {
    TFieldDescriptor f;
    f.SetFieldNumber(number);
    f.SetFieldName(name);
    f.SetFieldType(type);
    f.SetDeclaredSize(size);
    f.SetSubType(subType);
    return f;
  }

  static TIndexDescriptor Index(const char* name, std::vector<uint16_t> fields, bool unique,
                                bool noCase = false) {
    TIndexDescriptor d;
    d.SetName(name);
    for (size_t i = 0; i < fields.size(); ++i) d.SetFieldNumber(int(i), fields[i]);
    d.SetFieldCount(uint8_t(fields.size()));
    d.SetUnique(unique);
    d.SetCaseInsensitive(noCase);
    return d;
  }

  // Id integer (the primary key), Name string(20), Amount integer, Memo memo; "ByName"
  // (not unique, case-insensitive) on Name, "ByAmount" (unique) on Amount.
  static TTableDefinition People() {
    TTableDefinition d;
    d.Fields = {Field(1, "Id", FIELD_INTEGER), Field(2, "Name", FIELD_STRING, 20),
                Field(3, "Amount", FIELD_INTEGER), Field(4, "Memo", FIELD_BLOB, 0, SUBTYPE_MEMO)};
    d.Indexes = {Index("", {1}, true), Index("ByName", {2}, false, true), Index("ByAmount", {3}, true)};
    return d;
  }

  // Creates `name` in the test directory from `definition` and appends `rows` (a People
  // table's columns) through a session of the fixture's own, closed again afterwards.
  void MakeTable(const std::string& name, const TTableDefinition& definition,
                 const std::vector<TPerson>& rows = {}) {
    TDataSession session(0);
    session.AddPassword(definition.Password);
    TDataDirectory* db = session.OpenDataDirectory("", dir_);
    TDataCursor cursor(db);
    cursor.SetTableName(name);
    cursor.SetExclusive(true);
    cursor.CreateTable(definition, false, true);
    cursor.Open();
    for (const TPerson& p : rows) {
      std::vector<uint8_t> image(cursor.RecordSize());
      cursor.InitRecord(image.data());
      cursor.PutField(1, image.data(), &p.Id);
      cursor.PutField(2, image.data(), p.Name.empty() ? nullptr : p.Name.c_str());
      cursor.PutField(3, image.data(), &p.Amount);
      if (!p.Memo.empty()) {
        ASSERT_EQ(cursor.OpenBlob(4, image.data(), kBlobOwnerEngine, false, kBlobWrite), 0);
        ASSERT_EQ(cursor.PutBlob(4, image.data(), false, 0, uint32_t(p.Memo.size()), p.Memo.data()), 0);
      }
      cursor.AppendRecord(image.data());
    }
  }

  void MakePeople(const std::string& name = "people") {
    MakeTable(name, People(),
              {{1, "Smith", 300, "first memo"},
               {2, "Jones", 100, ""},
               {3, "smalley", 500, "third"},
               {4, "Brown", 200, ""},
               {5, "", 400, ""}});
  }

  // A table component on `name` in the test directory, owned by the fixture.
  TVELDORTable& Table(const std::string& name = "people") {
    tables_.push_back(std::make_unique<TVELDORTable>());
    tables_.back()->SetTableName(dir_ + name);
    return *tables_.back();
  }

  // The Id values from the first record on (or from the last, backward).
  static std::vector<int> Ids(TDataSet& t, bool backward = false) {
    std::vector<int> out;
    if (backward) {
      t.Last();
      while (!t.Bof()) {
        out.push_back(t.FieldByName("Id").AsInteger());
        t.Prior();
      }
    } else {
      t.First();
      while (!t.Eof()) {
        out.push_back(t.FieldByName("Id").AsInteger());
        t.Next();
      }
    }
    return out;
  }

  std::string dir_;
  std::vector<std::unique_ptr<TVELDORTable>> tables_;
};

}  // namespace veldor::test
