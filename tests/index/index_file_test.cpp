#include "tests/index/index_fixture.h"

namespace veldor::test {
namespace {

TEST_F(IndexTest, KeyLengthsAndDefinitionErrors) {
  TTableDefinition d = Definition(20);
  d.Indexes.push_back(Secondary("ById", {1}, true));
  d.Indexes.push_back(Secondary("ByIdDup", {1}, false));
  d.Indexes.push_back(Secondary("ByNameId", {2, 1}, false));
  d.Indexes.push_back(Secondary("ByPrice", {3}, true));
  TDataTable& t = Create("keys", d);
  TIndexFile& f = t.IndexFile();
  EXPECT_EQ(f.Descriptor(0).KeyLength(), 5);
  EXPECT_EQ(f.Descriptor(1).KeyLength(), 5);
  EXPECT_EQ(f.Descriptor(2).KeyLength(), 9);
  EXPECT_EQ(f.Descriptor(3).KeyLength(), 22 + 5 + 4);
  EXPECT_EQ(f.Descriptor(4).KeyLength(), 9);  // BCD takes 8
  EXPECT_EQ(f.Descriptor(3).FieldCount(), 2);
  EXPECT_TRUE(f.Descriptor(0).Unique());
  EXPECT_FALSE(f.NoUserPrimary());
  EXPECT_EQ(f.Descriptor(kSysDeletedIndex).Name(), "Sys Deleted");
  EXPECT_EQ(f.Descriptor(kSysDeletedIndex).KeyLength(), 5);

  const auto& fields = t.DataFile().Fields();
  struct Case {
    const char* what;
    TIndexDescriptor descriptor;
    uint16_t code;
  };
  const Case cases[] = {
      {"no name", Secondary("", {1}, true), VELDOR_INDEXNAMEREQUIRED},
      {"bad first character", Secondary("9x", {1}, true), VELDOR_INVALIDINDEXNAME},
      {"existing name in other case", Secondary("byid", {1}, true), VELDOR_INDEXEXISTS},
      {"BLOB key field", Secondary("ByMemo", {4}, true), VELDOR_SEARCHCOLREQD},
      {"no such field", Secondary("ByNothing", {9}, true), VELDOR_INVALIDIDXDESC},
      {"no fields", Secondary("Empty", {}, true), VELDOR_INVALIDKEY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(ErrorOf([&] { f.AddSecondaryIndex(c.descriptor, fields); }), c.code);
  }
  EXPECT_EQ(ErrorOf([&] { f.AddPrimaryIndex(Secondary("", {1}, true), fields); }),
            VELDOR_PRIMARYKEYREDEFINE);
  EXPECT_EQ(f.SecondaryCount(), 4);
  for (int i = 5; i <= 30; ++i)
    EXPECT_EQ(f.AddSecondaryIndex(Secondary(("I" + std::to_string(i)).c_str(), {1}, true), fields), i);
  EXPECT_EQ(ErrorOf([&] { f.AddSecondaryIndex(Secondary("Extra", {1}, true), fields); }),
            VELDOR_INDEXLIMIT);
}

TEST_F(IndexTest, KeyPartSumLimit) {
  // Two strings of 250 (252 bytes each with flags... 251 + 1) and one of 16: 504 + 18 = 522.
  TTableDefinition d;
  d.Fields = {MakeField(1, "A", FIELD_STRING, 250), MakeField(2, "B", FIELD_STRING, 250),
              MakeField(3, "C", FIELD_STRING, 16), MakeField(4, "D", FIELD_STRING, 17)};
  PrepareFieldDefinitions(d.Fields, "t");
  d.Indexes.push_back(TIndexDescriptor{});
  TDataTable& t = Create("sum", d);
  const auto& fields = t.DataFile().Fields();
  EXPECT_EQ(t.IndexFile().AddSecondaryIndex(Secondary("Max", {1, 2, 3}, false), fields), 1);
  EXPECT_EQ(t.IndexFile().Descriptor(1).KeyLength(), 522 + 4);
  EXPECT_EQ(ErrorOf([&] { t.IndexFile().AddSecondaryIndex(Secondary("Over", {1, 2, 4}, true), fields); }),
            VELDOR_INVALIDKEY);
  // A table without a primary key: the flag is set and slot 0 stays unused.
  EXPECT_TRUE(t.IndexFile().NoUserPrimary());
  EXPECT_EQ(t.IndexFile().Descriptor(0).KeyLength(), 0);
  EXPECT_FALSE(t.HasUserPrimaryKey());
}

TEST_F(IndexTest, DeletingASecondaryIndexRenumbersTheLaterOnes) {
  TTableDefinition d = Definition(10);
  for (const char* name : {"One", "Two", "Three", "Four"}) d.Indexes.push_back(Secondary(name, {1}, true));
  TDataTable& t = Create("renumber", d);
  TIndexFile& f = t.IndexFile();
  f.DeleteIndex(2);
  EXPECT_EQ(f.SecondaryCount(), 3);
  EXPECT_EQ(f.Descriptor(2).Name(), "Three");
  EXPECT_EQ(f.Descriptor(3).Name(), "Four");
  EXPECT_EQ(f.Descriptor(4).Name(), "Two");  // parked beyond the count
  EXPECT_EQ(f.IndexOfName("four"), 3);
  EXPECT_EQ(f.IndexOfName("Two"), -1);
  EXPECT_EQ(f.IndexOfName(""), 0);
  t.Close();
  TDataTable& again = OpenTable("renumber");
  again.VerifyHeaders();
  EXPECT_EQ(again.IndexFile().Descriptor(3).Name(), "Four");
}

TEST_F(IndexTest, AMissingIndexFileIsRecreated) {
  TDataTable& t = Create("lost", Definition(10));
  Append(t, 1, "a");
  t.Close();
  std::filesystem::remove(dir_ + "lost.IDX");
  TDataTable& again = OpenTable("lost");
  EXPECT_TRUE(again.IndexFileRecreated());
  EXPECT_NO_THROW(again.VerifyHeaders());
  EXPECT_TRUE(again.IndexFile().NoUserPrimary());
  EXPECT_EQ(IdOf(again, 1), 1);
  EXPECT_TRUE(std::filesystem::exists(dir_ + "lost.IDX"));
}

TEST_F(IndexTest, BackupRestoreAndEmpty) {
  TTableDefinition d = Definition(10);
  TDataTable& t = Create("backup", d);
  TKeyLayout layout = LayoutOf(0);
  TBTree tree(t.IndexFile(), 0, layout);
  TIndexPath path;
  for (int32_t i = 1; i <= 300; ++i) tree.Insert(KeyOf(layout, i, "", 0).data(), i, path);
  t.BackupIndex();
  ASSERT_TRUE(std::filesystem::exists(dir_ + "backup.IBK"));
  for (int32_t i = 301; i <= 2000; ++i) tree.Insert(KeyOf(layout, i, "", 0).data(), i, path);
  t.Flush();
  EXPECT_EQ(tree.KeyCount(), 2000);
  t.RestoreIndex(false, true);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "backup.IBK"));
  TBTree restored(t.IndexFile(), 0, layout);
  EXPECT_EQ(restored.KeyCount(), 300);
  EXPECT_EQ(restored.Check(), "");
  EXPECT_EQ(std::filesystem::file_size(dir_ + "backup.IDX"),
            4096u * (1 + uint64_t(t.IndexFile().PageCount())));
  // Emptying truncates both files to their headers.
  Append(t, 1, "x");
  t.Empty();
  EXPECT_EQ(restored.KeyCount(), 0);
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_EQ(std::filesystem::file_size(dir_ + "backup.IDX"), 4096u);
  EXPECT_EQ(std::filesystem::file_size(dir_ + "backup.DAT"), 127u + 4 * 768);
}

TEST_F(IndexTest, DamagedIndexHeadersAreRefused) {
  TTableDefinition d = Definition(10);
  d.Indexes.push_back(Secondary("ByName", {2}, false));
  TDataTable& t = Create("hdr", d);
  t.Close();
  const std::vector<uint8_t> good = ReadWholeFile(dir_ + "hdr.IDX");
  struct Case {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
    uint16_t code;
  };
  const size_t secondary = 14 + 120;
  const Case cases[] = {
      {"version", 8, {4}, VELDOR_OLDVERSION},
      {"31 secondary indexes", 13, {31}, VELDOR_HEADERCORRUPT},
      {"secondary name starts with a digit", secondary + 1, {'1'}, VELDOR_HEADERCORRUPT},
      {"field number beyond the fields", secondary + 54, {9, 0}, VELDOR_HEADERCORRUPT},
      {"key length disagrees", secondary + 31, {7, 0}, VELDOR_HEADERCORRUPT},
      {"root page beyond the file", secondary + 86, {5, 0, 0, 0}, VELDOR_HEADERCORRUPT},
      {"primary not unique", 14 + 35, {0}, VELDOR_HEADERCORRUPT},
      {"cut short", 100, {}, VELDOR_HEADERCORRUPT},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = good;
    if (c.bytes.empty()) bytes.resize(c.offset);
    for (size_t i = 0; i < c.bytes.size(); ++i) bytes[c.offset + i] = c.bytes[i];
    WriteWholeFile(dir_ + "hdr.IDX", bytes);
    EXPECT_EQ(ErrorOf([&] {
                TDataTable& bad = OpenTable("hdr");
                bad.VerifyHeaders();
              }),
              c.code);
    table_.reset();
  }
}

}  // namespace
}  // namespace veldor::test
