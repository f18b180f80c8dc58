// A table with an index file in a fresh directory, and keys built from synthetic records.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/btree.h"
#include "engine/index_key.h"
#include "lib/collation.h"
#include "tests/tables/table_fixture.h"

namespace veldor::test {

class IndexTest : public TableTest {
 protected:
  // Fields: Id integer, Name string of `nameSize`, Price BCD(2), Memo BLOB.
  static TTableDefinition Definition(int nameSize, int16_t language = 0) {
    TTableDefinition d;
    d.Fields = {MakeField(1, "Id", FIELD_INTEGER), MakeField(2, "Name", FIELD_STRING, uint8_t(nameSize)),
                MakeField(3, "Price", FIELD_BCD), MakeField(4, "Memo", FIELD_BLOB, 0, SUBTYPE_MEMO)};
    d.Fields[2].SetDeclaredScale(2);
    PrepareFieldDefinitions(d.Fields, "t");
    d.Language = language;
    TIndexDescriptor primary;
    primary.SetFieldNumber(0, 1);
    d.Indexes.push_back(primary);
    return d;
  }

  static TIndexDescriptor Secondary(const char* name, std::vector<uint16_t> fields, bool unique,
                                    uint8_t compression = COMPRESS_NONE, bool descending = false,
                                    bool noCase = false) {
    TIndexDescriptor d;
    d.SetName(name);
    for (size_t i = 0; i < fields.size(); ++i) d.SetFieldNumber(int(i), fields[i]);
    d.SetFieldCount(uint8_t(fields.size()));
    d.SetUnique(unique);
    d.SetCompression(compression);
    d.SetDescending(descending);
    d.SetCaseInsensitive(noCase);
    return d;
  }

  // The key of a record with these values under `layout`.
  std::vector<uint8_t> KeyOf(const TKeyLayout& layout, int32_t id, const std::string& name,
                             int32_t rowId) {
    const auto& fields = table_->DataFile().Fields();
    std::vector<uint8_t> record(table_->RecordSize(), 0);
    StoreI32(&record[kRowIdOffset], rowId);
    PutFieldValue(record.data(), fields[0], &id);
    PutFieldValue(record.data(), fields[1], name.c_str());
    std::vector<uint8_t> key(size_t(layout.KeyLength()));
    layout.BuildKey(record.data(), key.data());
    return key;
  }

  TKeyLayout LayoutOf(int index) {
    return TKeyLayout(table_->IndexFile().Descriptor(index), table_->DataFile().Fields(),
                      table_->Collation());
  }
};

}  // namespace veldor::test
