// Name resolution of disk files: every spelling of one existing file, without regard to
// case, reaches one file object; the exact name wins, then the first match in byte order;
// new files keep the case they were given; directory spellings are made canonical.
#include "tests/files/file_test_support.h"

namespace veldor::test {
namespace {

class FileNamesTest : public TempDirTest {};

TEST_F(FileNamesTest, CreatedAsPartsOpensAsPartsInAnyCaseAndSharesOneObject) {
  TFileHandler creator(Path("Parts.dat"));
  creator.Create();
  creator.Write("parts", 5);
  creator.Close();
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"Parts.dat"});

  TFileHandler upper(Path("PARTS.DAT")), lower(Path("parts.dat"));
  EXPECT_TRUE(upper.Exists());
  EXPECT_TRUE(FileList().FileExists(Path("pArTs.DaT"), false));
  upper.Open();
  lower.Open();
  EXPECT_EQ(upper.File(), lower.File());
  EXPECT_EQ(upper.File()->Name(), ResolveDiskFileName(Path("Parts.dat")));
  EXPECT_EQ(upper.File()->OpenCount(), 2);
  char buffer[5];
  upper.Read(buffer, 5);
  EXPECT_EQ(std::string(buffer, 5), "parts");
  // Sharing rules see one file: an exclusive open in another spelling is refused.
  TFileHandler exclusive(Path("Parts.DAT"));
  exclusive.SetExclusive(true);
  EXPECT_EQ(ErrorOf([&] { exclusive.Open(); }), VELDOR_OSEACCES);
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"Parts.dat"});
}

TEST_F(FileNamesTest, CreateOfAnotherSpellingTruncatesTheExistingFile) {
  WriteRaw(Path("Parts.dat"), Bytes("old content"));
  TFileHandler file(Path("PARTS.DAT"));
  file.Create();
  file.Close();
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"Parts.dat"});
  EXPECT_EQ(ReadRaw(Path("Parts.dat")).size(), 0u);
}

TEST_F(FileNamesTest, NewFileKeepsTheCaseItWasGiven) {
  TFileHandler file(Path("MixedCase.Dat"));
  file.Create();
  file.Close();
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"MixedCase.Dat"});
}

TEST_F(FileNamesTest, ExactNameWinsElseFirstMatchInByteOrder) {
  WriteRaw(Path("a.DAT"), Bytes("lower-a"));
  WriteRaw(Path("A.dat"), Bytes("upper-A"));
  EXPECT_EQ(ResolveDiskFileName(Path("a.DAT")), Path("a.DAT"));  // exact
  EXPECT_EQ(ResolveDiskFileName(Path("A.dat")), Path("A.dat"));  // exact
  EXPECT_EQ(ResolveDiskFileName(Path("a.dat")), Path("A.dat"));  // 'A' < 'a'
  TFileHandler one(Path("a.dat")), two(Path("A.DAT"));
  one.Open();
  two.Open();
  EXPECT_EQ(one.File(), two.File());
  char buffer[7];
  one.Read(buffer, 7);
  EXPECT_EQ(std::string(buffer, 7), "upper-A");
  // Two existing files differing only in case stay two files.
  TFileHandler other(Path("a.DAT"));
  other.Open();
  EXPECT_NE(other.File(), one.File());
}

TEST_F(FileNamesTest, NoMatchGivesTheNameAsGiven) {
  EXPECT_EQ(ResolveDiskFileName(Path("nothing.dat")), Path("nothing.dat"));
  EXPECT_EQ(ResolveDiskFileName("/no/such/dir/x.dat"), "/no/such/dir/x.dat");
  EXPECT_EQ(ResolveDiskFileName(""), "");
}

TEST_F(FileNamesTest, BlanksAreTrimmedAndDirectorySpellingsShareOneObject) {
  WriteRaw(Path("Blank.dat"), Bytes("x"));
  TFileHandler padded("  " + Path("blank.dat") + " ");
  TFileHandler dotted(dir_ + "/./sub/../BLANK.dat");
  ASSERT_EQ(mkdir(Path("sub").c_str(), 0755), 0);
  TFileHandler doubled(dir_ + "//Blank.dat");
  padded.Open();
  dotted.Open();
  doubled.Open();
  EXPECT_EQ(padded.File(), dotted.File());
  EXPECT_EQ(padded.File(), doubled.File());
  EXPECT_EQ(padded.FileName(), "  " + Path("blank.dat") + " ");  // the handler keeps its name
}

TEST_F(FileNamesTest, RelativeNamesResolveAgainstTheCurrentDirectory) {
  WriteRaw(Path("Rel.dat"), Bytes("x"));
  char saved[4096];
  ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(chdir(dir_.c_str()), 0);
  TFileHandler relative("rel.DAT"), absolute(Path("Rel.dat"));
  relative.Open();
  absolute.Open();
  EXPECT_EQ(relative.File(), absolute.File());
  relative.Close();
  absolute.Close();
  ASSERT_EQ(chdir(saved), 0);
}

TEST_F(FileNamesTest, DeleteRenameAndCopyResolveTheName) {
  WriteRaw(Path("Orders.dat"), Bytes("orders"));
  TFileHandler file(Path("ORDERS.DAT"));
  file.Rename(Path("Archive.dat"));
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"Archive.dat"});
  TFileHandler archive(Path("archive.DAT"));
  archive.Open();
  archive.CopyTo(Path("Copy.dat"));
  archive.Close();
  EXPECT_EQ(ReadRaw(Path("Copy.dat")), Bytes("orders"));
  TFileHandler copy(Path("COPY.dat"));
  copy.Delete();
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{"Archive.dat"});
}

TEST_F(FileNamesTest, RenameRefusesAnExistingTargetButAllowsAChangeOfCase) {
  WriteRaw(Path("one.dat"), Bytes("one"));
  WriteRaw(Path("Two.dat"), Bytes("two"));
  TFileHandler one(Path("one.dat"));
  EXPECT_EQ(ErrorOf([&] { one.Rename(Path("Two.dat")); }), VELDOR_OSUNKNOWN);
  EXPECT_EQ(ErrorOf([&] { one.Rename(Path("TWO.DAT")); }), VELDOR_OSUNKNOWN);  // any case
  EXPECT_EQ(ReadRaw(Path("Two.dat")), Bytes("two"));
  one.Rename(Path("ONE.dat"));  // the same file in another case
  EXPECT_EQ(Entries(dir_), (std::vector<std::string>{"ONE.dat", "Two.dat"}));
  one.Rename(Path("ONE.dat"));  // to its own name: nothing happens
  EXPECT_EQ(ReadRaw(Path("ONE.dat")), Bytes("one"));
  // Into a missing directory.
  EXPECT_EQ(ErrorOf([&] { one.Rename(Path("nodir/x.dat")); }), VELDOR_OSENOENT);
}

TEST_F(FileNamesTest, ADirectoryLinkIsFollowedAfreshOutsideAPathMemo) {
  std::filesystem::create_directories(Path("one"));
  std::filesystem::create_directories(Path("two"));
  WriteRaw(Path("one/t.dat"), Bytes("1"));
  WriteRaw(Path("two/t.dat"), Bytes("2"));
  std::filesystem::create_directory_symlink(Path("one"), Path("link"));
  {
    TPathMemo memo;
    EXPECT_EQ(ResolveDiskFileName(Path("link/t.dat")), Path("one/t.dat"));
    // Inside one memo the directory keeps the form first worked out.
    std::filesystem::remove(Path("link"));
    std::filesystem::create_directory_symlink(Path("two"), Path("link"));
    EXPECT_EQ(ResolveDiskFileName(Path("link/t.dat")), Path("one/t.dat"));
  }
  // Afterwards the link is followed again.
  EXPECT_EQ(ResolveDiskFileName(Path("link/t.dat")), Path("two/t.dat"));
}

}  // namespace
}  // namespace veldor::test
