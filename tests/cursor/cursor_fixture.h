// Cursors over real tables in a fresh directory: a session and database, table
// definitions, and helpers that build and read record images through the cursor.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/data_cursor.h"
#include "engine/session.h"
#include "tests/tables/table_fixture.h"

namespace veldor::test {

class CursorTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    session_ = std::make_unique<TDataSession>(0);
    db_ = session_->OpenDataDirectory("", dir_);
  }
  void TearDown() override {
    cursors_.clear();
    session_.reset();
    TableTest::TearDown();
  }

  static TIndexDescriptor Index(const char* name, std::vector<uint16_t> fields, bool unique,
                                bool descending = false, bool noCase = false) {
    TIndexDescriptor d;
    d.SetName(name);
    for (size_t i = 0; i < fields.size(); ++i) d.SetFieldNumber(int(i), fields[i]);
    d.SetFieldCount(uint8_t(fields.size()));
    d.SetUnique(unique);
    d.SetDescending(descending);
    d.SetCaseInsensitive(noCase);
    return d;
  }

  // Id integer (primary key unless `primaryKey` is false), Name string(20), Amount
  // integer, Memo BLOB; "ByName" (not unique) on Name, "ByAmount" (unique) on Amount.
  static TTableDefinition People(bool primaryKey = true, int16_t language = 0) {
    TTableDefinition d;
    d.Fields = {MakeField(1, "Id", FIELD_INTEGER), MakeField(2, "Name", FIELD_STRING, 20),
                MakeField(3, "Amount", FIELD_INTEGER),
                MakeField(4, "Memo", FIELD_BLOB, 0, SUBTYPE_MEMO)};
    PrepareFieldDefinitions(d.Fields, "t");
    d.Language = language;
    TIndexDescriptor primary;
    if (primaryKey) {
      primary.SetFieldNumber(0, 1);
      primary.SetFieldCount(1);
      primary.SetUnique(true);
    }
    d.Indexes = {primary, Index("ByName", {2}, false), Index("ByAmount", {3}, true)};
    return d;
  }

  void MakeTable(const std::string& name, const TTableDefinition& d) {
    TDataTable* t = nullptr;
    ASSERT_EQ(db_->CreateTable(name, false, d, false, t), 0);
    ASSERT_EQ(db_->CloseTable(t), 0);
  }

  // An open cursor owned by the fixture.
  TDataCursor& OpenCursor(const std::string& name, bool exclusive = false) {
    cursors_.push_back(std::make_unique<TDataCursor>(db_));
    TDataCursor& c = *cursors_.back();
    c.SetTableName(name);
    c.SetExclusive(exclusive);
    c.Open();
    return c;
  }

  static std::vector<uint8_t> Blank(TDataCursor& c) {
    std::vector<uint8_t> image(c.RecordSize());
    c.InitRecord(image.data());
    return image;
  }

  static void PutInt(TDataCursor& c, std::vector<uint8_t>& image, const char* field, int32_t v) {
    c.PutField(c.FieldNumber(field), image.data(), &v);
  }
  static void PutText(TDataCursor& c, std::vector<uint8_t>& image, const char* field,
                      const std::string& v) {
    c.PutField(c.FieldNumber(field), image.data(), v.c_str());
  }
  static void PutNull(TDataCursor& c, std::vector<uint8_t>& image, const char* field) {
    c.PutField(c.FieldNumber(field), image.data(), nullptr);
  }
  static int32_t IntOf(TDataCursor& c, const uint8_t* image, const char* field) {
    int32_t v = 0;
    c.GetField(c.FieldNumber(field), image, &v);
    return v;
  }
  static std::string TextOf(TDataCursor& c, const uint8_t* image, const char* field) {
    char v[256] = {};
    c.GetField(c.FieldNumber(field), image, v);
    return v;
  }
  static bool IsNull(TDataCursor& c, const uint8_t* image, const char* field) {
    std::vector<uint8_t> v(256);
    return c.GetField(c.FieldNumber(field), image, v.data());
  }

  // Appends (Id, Name, Amount) and, when `memo` is not empty, a Memo value.
  static void Add(TDataCursor& c, int32_t id, const std::string& name, int32_t amount,
                  const std::string& memo = "") {
    std::vector<uint8_t> image = Blank(c);
    PutInt(c, image, "Id", id);
    PutText(c, image, "Name", name);
    PutInt(c, image, "Amount", amount);
    if (!memo.empty()) {
      uint16_t f = c.FieldNumber("Memo");
      ASSERT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerEngine, false, kBlobWrite), 0);
      ASSERT_EQ(c.PutBlob(f, image.data(), false, 0, uint32_t(memo.size()), memo.data()), 0);
    }
    c.AppendRecord(image.data());
  }

  // The Memo of `image`, read through an engine-owned buffer that is freed again.
  static std::string MemoOf(TDataCursor& c, std::vector<uint8_t> image) {
    uint16_t f = c.FieldNumber("Memo");
    if (c.OpenBlob(f, image.data(), kBlobOwnerEngine, false, kBlobRead) != 0) return "<error>";
    uint32_t size = 0;
    c.GetBlobSize(f, image.data(), false, size);
    std::string out(size, '\0');
    uint32_t got = 0;
    c.GetBlob(f, image.data(), false, 0, size, out.data(), got);
    c.FreeBlob(f, image.data(), kBlobOwnerEngine, false);
    return out;
  }

  // The Ids in the cursor's order, walking forward from the start (or backward).
  static std::vector<int32_t> Ids(TDataCursor& c, bool backward = false) {
    std::vector<int32_t> out;
    std::vector<uint8_t> image(c.RecordSize());
    if (backward) {
      c.SetToEnd();
      while (c.GetPriorRecord(image.data()) == 0) out.push_back(IntOf(c, image.data(), "Id"));
    } else {
      c.SetToBegin();
      while (c.GetNextRecord(image.data()) == 0) out.push_back(IntOf(c, image.data(), "Id"));
    }
    return out;
  }

  std::unique_ptr<TDataSession> session_;
  TDataDirectory* db_ = nullptr;
  std::vector<std::unique_ptr<TDataCursor>> cursors_;
};

}  // namespace veldor::test
