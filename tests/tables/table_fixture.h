// A table in a fresh temporary directory, with helpers to append, read and damage records.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/data_table.h"
#include "engine/errors.h"
#include "lib/byte_order.h"
#include "tests/support/child_process.h"
#include "lib/temp_dir.h"

namespace veldor::test {

// A unique primary index on one field.
inline TIndexDescriptor PrimaryKeyOn(uint16_t field) {
  TIndexDescriptor primary;
  primary.SetFieldNumber(0, field);
  primary.SetFieldCount(1);
  primary.SetUnique(true);
  return primary;
}

inline TFieldDescriptor MakeField(uint16_t number, const char* name, uint8_t type,
                                  uint8_t size = 0, uint8_t subType = 0) {
  TFieldDescriptor f;
  f.SetFieldNumber(number);
  f.SetFieldName(name);
  f.SetFieldType(type);
  f.SetDeclaredSize(size);
  f.SetSubType(subType);
  return f;
}

inline std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::vector<uint8_t> out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  uint8_t block[65536];
  for (ssize_t n; (n = read(fd, block, sizeof block)) > 0;) out.insert(out.end(), block, block + n);
  close(fd);
  return out;
}

inline void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  close(fd);
}

class TableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string made = MakeTempDirectory("veldor-tables");
    ASSERT_FALSE(made.empty());
    dir_ = made + "/";
  }
  void TearDown() override {
    table_.reset();
    std::filesystem::remove_all(dir_);
  }

  // An integer "Id" and a string "Name" of 10 characters; record size 9 + 5 + 12 = 26.
  // With `primaryKey` the table has a user primary key on Id.
  static TTableDefinition SimpleDefinition(bool primaryKey = false) {
    TTableDefinition d;
    d.Fields = {MakeField(1, "Id", FIELD_INTEGER), MakeField(2, "Name", FIELD_STRING, 10)};
    PrepareFieldDefinitions(d.Fields, "t");
    TIndexDescriptor primary;
    if (primaryKey) primary.SetFieldNumber(0, 1);
    d.Indexes.push_back(primary);
    return d;
  }

  TDataTable& Create(const std::string& name, const TTableDefinition& d) {
    table_ = std::make_unique<TDataTable>(nullptr, dir_);
    table_->SetName(name);
    table_->Create(d);
    return *table_;
  }

  TDataTable& OpenTable(const std::string& name, bool exclusive = true) {
    table_ = std::make_unique<TDataTable>(nullptr, dir_);
    table_->SetName(name);
    table_->SetExclusive(exclusive);
    table_->Open();
    return *table_;
  }

  // Appends a record with Id = id and Name = name through the slot the file allocates.
  int32_t Append(TDataTable& t, int32_t id, const char* name) {
    TDataFile& f = t.DataFile();
    TRecordPin r(f.AllocateRecord());
    int32_t number = r->RecordNumber();
    r->Clear(true);
    PutFieldValue(r->Data(), f.Fields()[0], &id);
    PutFieldValue(r->Data(), f.Fields()[1], name);
    r->SetModified();
    return number;
  }

  int32_t IdOf(TDataTable& t, int32_t record) {
    TRecordPin r(t.DataFile().GetRecord(record));
    int32_t id = 0;
    GetFieldValue(r->Data(), t.DataFile().Fields()[0], &id);
    return id;
  }

  std::string dir_;
  std::unique_ptr<TDataTable> table_;
};

}  // namespace veldor::test
