#include <cstring>

#include "lib/date_time.h"
#include "tests/tables/table_fixture.h"

namespace veldor::test {
namespace {

TEST(TableFileNames, EndingsReplacedOrAppended) {
  EXPECT_EQ(TableFileName("/d/", "Parts", kDataExtension), "/d/Parts.DAT");
  EXPECT_EQ(TableFileName("/d/", "Parts.DAT", kIndexExtension), "/d/Parts.IDX");
  EXPECT_EQ(TableFileName("/d/", "Parts.dat", kBlobExtension), "/d/Parts.BLB");
  EXPECT_EQ(TableFileName("/d/", "Parts.txt", kDataExtension), "/d/Parts.txt.DAT");
  EXPECT_EQ(TableFileName("/d/", "/other/Parts", kDataBackupExtension), "/other/Parts.DBK");
  EXPECT_EQ(TableFileName("", "Mem", kIndexBackupExtension), "Mem.IBK");
}

TEST(TableScrambling, IsItsOwnInverseAndDiffersPerPair) {
  std::vector<uint8_t> data(700), copy;
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i * 7);
  copy = data;
  ScrambleTableData(data.data(), data.size());
  EXPECT_NE(data, copy);
  ScrambleTableData(data.data(), data.size());
  EXPECT_EQ(data, copy);
  std::vector<uint8_t> text = copy;
  ScrambleHeaderText(text.data(), 16);
  ScrambleTableData(copy.data(), 16);
  EXPECT_NE(std::vector<uint8_t>(text.begin(), text.begin() + 16),
            std::vector<uint8_t>(copy.begin(), copy.begin() + 16));
}

TEST_F(TableTest, CreatedFileHasTheHeaderLayout) {
  for (bool encrypted : {false, true}) {
    SCOPED_TRACE(encrypted);
    TTableDefinition d = SimpleDefinition();
    d.Description = "Customers";
    d.Password = "secret";
    d.Encrypted = encrypted;
    d.Language = 0x0407;
    d.Sort = 1;
    d.UserMajorVersion = 3;
    d.UserMinorVersion = -2;
    d.BlobBlockSize = 1024;
    std::string name = encrypted ? "Secret" : "Plain";
    TDataTable& t = Create(name, d);
    Append(t, 42, "Ann");
    t.Close();

    std::vector<uint8_t> file = ReadWholeFile(dir_ + name + ".DAT");
    ASSERT_EQ(file.size(), 127u + 2 * 768 + 26);
    const uint8_t* h = file.data();
    EXPECT_EQ(LoadI32(h + 0), 2);  // written at create and at close
    EXPECT_EQ(LoadU32(h + 4), 1024u);
    EXPECT_EQ(h[8], 5);
    EXPECT_EQ(LoadI32(h + 9), 0);
    EXPECT_EQ(LoadI32(h + 13), 2);
    EXPECT_EQ(LoadI32(h + 17), 1);
    EXPECT_EQ(LoadU16(h + 21), 26);
    EXPECT_EQ(LoadU16(h + 23), 2);
    EXPECT_EQ(LoadI16(h + 25), 0);
    double written = LoadDouble(h + 27);
    double today = CurrentDate() - kDayNumber18991230;
    EXPECT_GE(written, today - 1);
    EXPECT_LE(written, today + 2);
    EXPECT_EQ(h[35], 9);
    EXPECT_EQ(h[86], encrypted ? 1 : 0);
    EXPECT_EQ(h[87], encrypted ? 6 : 0);
    std::string description(reinterpret_cast<const char*>(h + 36), 9);
    std::string password(reinterpret_cast<const char*>(h + 88), 6);
    if (encrypted) {
      EXPECT_NE(description, "Customers");
      ScrambleHeaderText(reinterpret_cast<uint8_t*>(description.data()), 9);
      ScrambleHeaderText(reinterpret_cast<uint8_t*>(password.data()), 6);
      EXPECT_EQ(password, "secret");
    }
    EXPECT_EQ(description, "Customers");
    EXPECT_EQ(LoadI16(h + 103), 0x0407);
    EXPECT_EQ(LoadU16(h + 105), 1);
    EXPECT_EQ(LoadI16(h + 107), 3);
    EXPECT_EQ(LoadI16(h + 109), -2);
    EXPECT_EQ(LoadU32(h + 116), 30300u);
    for (int i = 120; i < 127; ++i) EXPECT_EQ(h[i], 0) << i;

    // The descriptor block and the record slot, unscrambled when encrypted.
    std::vector<uint8_t> rest(file.begin() + 127, file.end());
    if (encrypted) {
      ScrambleTableData(rest.data(), 2 * 768);
      ScrambleTableData(rest.data() + 2 * 768, 26);
    }
    EXPECT_EQ(LoadU16(&rest[0]), 1);
    EXPECT_EQ(rest[2], 2);
    EXPECT_EQ(std::memcmp(&rest[3], "Id", 2), 0);
    EXPECT_EQ(rest[84], FIELD_INTEGER);
    EXPECT_EQ(rest[88], 4);
    EXPECT_EQ(LoadU16(&rest[90]), 9);
    EXPECT_EQ(LoadU16(&rest[768 + 90]), 14);
    const uint8_t* slot = &rest[2 * 768];
    EXPECT_EQ(slot[0], 0);               // in use
    EXPECT_EQ(LoadI32(slot + 1), 1);     // its own record number
    EXPECT_EQ(LoadI32(slot + 5), 1);     // row identifier
    EXPECT_EQ(slot[9], 1);               // Id present
    EXPECT_EQ(LoadI32(slot + 10), 42);
    EXPECT_EQ(slot[14], 1);              // Name present
    EXPECT_EQ(std::memcmp(slot + 15, "Ann\0", 4), 0);

    // And it opens again, with the texts readable.
    TDataTable& again = OpenTable(name);
    again.VerifyHeaders();
    EXPECT_EQ(again.Description(), "Customers");
    EXPECT_EQ(again.Password(), encrypted ? "secret" : "");
    EXPECT_EQ(IdOf(again, 1), 42);
    again.Close();
  }
}

// Damage to a good table's data file, and the error its open and verification give.
TEST_F(TableTest, DamagedDataFilesGiveCleanErrors) {
  struct Damage {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> apply;
    uint16_t code;
  };
  const Damage cases[] = {
      {"empty file", [](auto& f) { f.clear(); }, VELDOR_HEADERCORRUPT},
      {"cut inside the header", [](auto& f) { f.resize(60); }, VELDOR_HEADERCORRUPT},
      {"cut inside the descriptors", [](auto& f) { f.resize(127 + 700); }, VELDOR_HEADERCORRUPT},
      {"cut inside a record", [](auto& f) { f.resize(f.size() - 5); }, VELDOR_HEADERCORRUPT},
      {"extra slot beyond the next record number",
       [](auto& f) { f.insert(f.end(), 26, 0); }, VELDOR_HEADERCORRUPT},
      {"next record number too small", [](auto& f) { StoreI32(&f[13], 2); }, VELDOR_HEADERCORRUPT},
      {"free chain head beyond the last slot", [](auto& f) { StoreI32(&f[9], 9); },
       VELDOR_HEADERCORRUPT},
      {"negative free chain head", [](auto& f) { StoreI32(&f[9], -1); }, VELDOR_HEADERCORRUPT},
      {"old format version", [](auto& f) { f[8] = 4; }, VELDOR_OLDVERSION},
      {"language not installed", [](auto& f) { StoreI16(&f[103], 0x7777); },
       VELDOR_CANNOTLOADLDDRV},
      {"more than 1024 fields", [](auto& f) { StoreU16(&f[23], 1025); }, VELDOR_HEADERCORRUPT},
      {"field count beyond the file", [](auto& f) { StoreU16(&f[23], 900); }, VELDOR_HEADERCORRUPT},
      {"record size disagrees", [](auto& f) { StoreU16(&f[21], 27); }, VELDOR_HEADERCORRUPT},
      {"record size 0", [](auto& f) { StoreU16(&f[21], 0); }, VELDOR_HEADERCORRUPT},
      {"BLOB count disagrees", [](auto& f) { StoreI16(&f[25], 1); }, VELDOR_HEADERCORRUPT},
      {"descriptor offset damaged", [](auto& f) { StoreU16(&f[127 + 768 + 90], 15); },
       VELDOR_HEADERCORRUPT},
      {"descriptor type damaged", [](auto& f) { f[127 + 84] = 0; }, VELDOR_HEADERCORRUPT},
      {"garbage everywhere",
       [](auto& f) { for (size_t i = 0; i < f.size(); ++i) f[i] = uint8_t(i * 31 + 7); },
       VELDOR_HEADERCORRUPT},
  };
  TDataTable& t = Create("good", SimpleDefinition());
  Append(t, 1, "a");
  Append(t, 2, "b");
  t.Close();
  const std::vector<uint8_t> good = ReadWholeFile(dir_ + "good.DAT");
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = good;
    c.apply(bytes);
    WriteWholeFile(dir_ + "bad.DAT", bytes);
    uint16_t code = ErrorOf([&] {
      TDataTable& bad = OpenTable("bad");
      bad.VerifyHeaders();
    });
    EXPECT_EQ(code, c.code);
    table_.reset();
  }
}

TEST_F(TableTest, NamesShareFilesAndBackupsAreReplaced) {
  TDataTable& t = Create("Parts.DAT", SimpleDefinition());
  EXPECT_EQ(t.DataFileName(), dir_ + "Parts.DAT");
  t.Close();
  // The bare name, and another spelling of it, open the same file.
  TDataTable& same = OpenTable("parts");
  same.VerifyHeaders();
  EXPECT_EQ(same.RecordCount(), 0);
  same.Close();

  WriteWholeFile(dir_ + "Parts.DBK", {1, 2, 3});
  TDataTable renamer(nullptr, dir_);
  renamer.SetName("Parts");
  renamer.Rename("Parts", true);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "Parts.DAT"));
  EXPECT_EQ(ReadWholeFile(dir_ + "Parts.DBK").size(), 127u + 2 * 768);

  renamer.SetName("Parts.DBK");
  EXPECT_EQ(ErrorOf([&] { renamer.Delete(); }), VELDOR_OSENOENT);  // Parts.DBK.DAT: none
  std::filesystem::rename(dir_ + "Parts.DBK", dir_ + "Old.DAT");
  TDataTable old(nullptr, dir_);
  old.SetName("Old");
  old.Rename("New", false);
  EXPECT_EQ(old.Name(), "New");
  EXPECT_TRUE(std::filesystem::exists(dir_ + "New.DAT"));
  old.Delete();
  EXPECT_FALSE(std::filesystem::exists(dir_ + "New.DAT"));
}

TEST_F(TableTest, OpenTablesRefuseDeleteRenameAndExclusiveSharing) {
  TDataTable& t = Create("busy", SimpleDefinition());
  EXPECT_EQ(ErrorOf([&] { t.Delete(); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { t.Rename("other", false); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { t.AddUser(false, false); }), VELDOR_OSEACCES);  // opened exclusively
  EXPECT_EQ(ErrorOf([&] { t.AddUser(false, true); }), 0);                 // a clone may share
  EXPECT_EQ(t.OpenCount(), 2);
  t.Close();
  EXPECT_TRUE(t.IsOpen());
  t.Close();
  EXPECT_FALSE(t.IsOpen());

  TDataTable& shared = OpenTable("busy", false);
  EXPECT_EQ(ErrorOf([&] { shared.AddUser(false, false); }), 0);
  EXPECT_EQ(ErrorOf([&] { shared.AddUser(true, false); }), VELDOR_OSEACCES);
}

TEST_F(TableTest, TableInformationAndLimits) {
  TTableDefinition d = SimpleDefinition();
  d.Encrypted = true;
  d.Password = "pw";
  TDataTable& t = Create("info", d);
  t.SetTableInformation("longerpassword!!!", "A description that is a bit longer than fifty characters",
                        7, 8, 100);
  t.Flush();
  t.Close();
  TDataTable& again = OpenTable("info");
  EXPECT_EQ(again.Password(), "longerpassword!");  // cut to 15
  EXPECT_EQ(again.Description().size(), 50u);
  EXPECT_EQ(again.UserMajorVersion(), 7);
  EXPECT_EQ(again.LastAutoInc(), 100);
  EXPECT_EQ(again.FieldByName("NAME"), again.Field(2));
  EXPECT_EQ(again.Field(3), nullptr);
  again.Close();

  TTableDefinition blobs;
  for (int i = 1; i <= 65; ++i)
    blobs.Fields.push_back(MakeField(uint16_t(i), ("B" + std::to_string(i)).c_str(), FIELD_BLOB));
  PrepareFieldDefinitions(blobs.Fields, "t");
  EXPECT_EQ(ErrorOf([&] { Create("blobs", blobs); }), VELDOR_BLOBLIMIT);
  EXPECT_FALSE(std::filesystem::exists(dir_ + "blobs.DAT"));
}

}  // namespace
}  // namespace veldor::test
