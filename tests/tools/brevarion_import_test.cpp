// brevarion-import through its process interface: names from a manifest or from file
// names, text files kept character for character as RTF, volumes made on demand, files
// that cannot go in reported and skipped, two imports at once into one volume, and an
// import stopped by SIGINT; every volume is read back through the engine and checked.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/library_fixture.h"
#include "tools/veldor_definition.h"

namespace veldor::test {
namespace {

using tool::kVolumeCount;
using tool::Volumes;

class ImportTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    library_ = Path("library");
    std::filesystem::create_directory(library_);
  }

  // The volumes present in the library, by table name.
  std::vector<std::string> PresentVolumes() const {
    std::vector<std::string> names;
    for (int v = 0; v < kVolumeCount; ++v)
      if (std::filesystem::exists(library_ + "/" + Volumes()[size_t(v)].TableName + ".DAT"))
        names.push_back(Volumes()[size_t(v)].TableName);
    return names;
  }

  // The entries of one volume; fails the test when it is not sound.
  std::vector<TStored> Volume(const std::string& table) const { return ReadVolume(library_, table); }

  size_t EntryCount() const {
    size_t n = 0;
    for (const auto& volume : ReadLibrary(library_)) n += volume.size();
    return n;
  }

  std::string library_;
};

TEST_F(ImportTest, TakesNamesFromTheManifestOrTheFileName) {
  const std::string rtf = "{\\rtf1\\ansi\\ansicpg1252 {\\b Tides} at the caf\\'e9, \xe9 raw\\par}";
  // A byte order mark, a quoted cell with a comma, a quoted file name, CR LF.
  Write("texts/manifest.csv",
        "\xEF\xBB\xBF"
        "File, Surname ,First Name,Title\n"
        "one.rtf,Quennick,Ada,\"Tides, and Other Things\"\n"
        "\"two.txt\",Émond,,Plain Words\r\n");
  Write("texts/one.rtf", rtf);
  const std::string text =
      "First line\nsecond line\twith a tab\n\n \nNew paragraph: Łódź ☃ 𝄞 naïve “quoted” {braces} back\\slash\r\n"
      "last line\n\n";
  Write("texts/two.txt", text);
  Write("texts/Zeller, Mark - Notes From Home.TXT", "zed\n");
  Write("texts/Ängel, Öda - Old Bytes.txt", "caf\xe9 cr\xe8me\n");  // Windows-1252, not UTF-8
  Write("texts/notes.md", "not a text of the library");           // left alone
  Write("texts/.hidden.txt", "left alone as well");
  Write("solo/Brook - Solo.rtf", "{\\rtf1 solo}");

  const TRun r = Import({library_, Path("texts"), Path("solo/Brook - Solo.rtf")});
  EXPECT_EQ(r.Status, 0) << r.Err;
  EXPECT_EQ(r.Err, "");
  EXPECT_EQ(r.Out,
            // The folder's files in name order (bytes: upper case first), then the single file.
            "made the new volume w_book\nmade the new volume p_book\nmade the new volume E_book\n"
            "made the new volume A_book\nmade the new volume B_book\nimported 5 texts into 5 volumes, 0 skipped\n");
  EXPECT_EQ(PresentVolumes(), (std::vector<std::string>{"A_book", "B_book", "E_book", "p_book", "w_book"}));

  // An RTF file goes in as its bytes.
  EXPECT_EQ(Volume("p_book"), (std::vector<TStored>{{"Quennick", "Ada", "Tides, and Other Things", rtf}}));
  EXPECT_EQ(Volume("B_book"), (std::vector<TStored>{{"Brook", "", "Solo", "{\\rtf1 solo}"}}));

  // A text file becomes RTF that keeps every character: \'hh for what Windows-1252 holds,
  // \uN? for the rest (a pair of them beyond U+FFFF); lines and paragraphs kept.
  const std::vector<TStored> e = Volume("E_book");
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(e[0].Surname, "Émond");
  EXPECT_EQ(e[0].FirstName, "");
  EXPECT_EQ(e[0].Title, "Plain Words");
  EXPECT_EQ(e[0].Text.rfind("{\\rtf1\\ansi\\ansicpg1252", 0), 0u) << e[0].Text;
  EXPECT_NE(e[0].Text.find("First line\\line\nsecond line\\tab with a tab\\par\nNew paragraph: \\u321?\\'f3d\\u378? "
                           "\\u9731? \\u-10188?\\u-8930? na\\'efve \\'93quoted\\'94 \\{braces\\} back\\\\slash\\line\n"
                           "last line\\par\n}"),
            std::string::npos)
      << e[0].Text;
  EXPECT_EQ(VisibleText(e[0].Text),
            "First line\nsecond line\twith a tab\nNew paragraph: Łódź ☃ 𝄞 naïve “quoted” {braces} back\\slash\n"
            "last line\n");

  const std::vector<TStored> a = Volume("A_book");
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].Surname, "Ängel");
  EXPECT_EQ(a[0].FirstName, "Öda");
  EXPECT_EQ(VisibleText(a[0].Text), "café crème\n");
  const std::vector<TStored> w = Volume("w_book");
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(w[0].Surname + "|" + w[0].FirstName + "|" + w[0].Title, "Zeller|Mark|Notes From Home");
}

TEST_F(ImportTest, SkipsWhatCannotGoInAndGoesOn) {
  Write("first/Aske, Tor - Kept.txt", "kept\n");
  Write("first/Jay - One.txt", "one\n");
  ASSERT_EQ(Import({library_, Path("first")}).Status, 0);
  struct TCase {
    std::string File;
    std::string Bytes;
    std::string Message;
  };
  const std::string longTitle(121, 't');
  std::vector<TCase> cases = {
      // The same key as the volume compares it: case aside.
      {"aske, TOR - kept.txt", "again", "an entry by 'aske', 'TOR' titled 'kept' is already in A_book"},
      {"No dash here.txt", "x", "the name is not in the form 'Surname, First name - Title'"},
      {"Surname only - .txt", "x", "the name is not in the form"},
      {"1984 - Numbers.txt", "x", "the surname '1984' does not start with a letter, so it belongs in no volume"},
      {"'t Hooft, Els - Quoted.txt", "x", "the surname ''t Hooft' does not start with a letter"},
      {"Łukasz, Anna - Beyond.txt", "x", "the surname: the character 'Ł' (U+0141) has no place in Windows-1252"},
      {"Fake - Not Rich.rtf", "plain words", "it does not start with {\\rtf, so it is no RTF file"},
      {"Empty - Nothing.txt", "  \n\n", "the text is empty"},
      {"Long - " + longTitle + ".txt", "x", "Title: '" + longTitle.substr(0, 60) + "...' (121 characters) is longer than 120"},
      {"Huge - Text.txt", "", "is larger than 64 MB"},
  };
  // A volume with its index file alone, one without its BLOB file, and a table of a volume's name made for other
  // things: neither takes entries, and neither is changed.
  Write("library/G_book.IDX", "not an index of mine");
  std::filesystem::remove(library_ + "/J_book.BLB");
  cases.push_back({"Jay - Two.txt", "x", "the volume J_book is incomplete: " + library_ + "/J_book.BLB is missing"});
  cases.push_back({"Gale, Ann - Lost.txt", "x",
                   "the volume G_book is incomplete: " + library_ + "/G_book.IDX is there without " + library_ +
                       "/G_book.DAT"});
  {
    TDataSession session(0);
    TDataCursor other(session.OpenDataDirectory("", library_));
    other.SetTableName("K_book");
    other.SetExclusive(true);
    other.CreateTable(tool::ParseDefinition("field Name string 10\nprimary Name\n", "test", ""), false, false);
  }
  cases.push_back({"Kell, Bo - Wrong.txt", "x", "K_book is not a volume of a Brevarion library: it has no field AuthorSurname"});
  for (const TCase& c : cases) Write("bad/" + c.File, c.Bytes);
  std::filesystem::resize_file(Path("bad/Huge - Text.txt"), 65 * 1024 * 1024);  // sparse
  Write("bad/Berg, Una - Fine.txt", "fine\n");

  const TRun r = Import({library_, Path("bad"), Path("missing.txt"), Path("bad/notes.doc")});
  EXPECT_EQ(r.Status, 1);
  for (const TCase& c : cases)
    EXPECT_NE(r.Err.find("brevarion-import: " + Path("bad/" + c.File) + ": " + c.Message), std::string::npos)
        << c.File << " in:\n" << r.Err;
  EXPECT_NE(r.Err.find(Path("missing.txt") + ": cannot be read: No such file or directory"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find(Path("bad/notes.doc") + ": cannot be read"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Out, "made the new volume B_book\nimported 1 text into 1 volume, " + std::to_string(cases.size() + 2) +
                       " skipped\n");
  // Nothing but the one good file went in; no volume was made for a refused one.
  EXPECT_EQ(PresentVolumes(), (std::vector<std::string>{"A_book", "B_book", "J_book", "K_book"}));
  EXPECT_FALSE(std::filesystem::exists(library_ + "/G_book.DAT"));
  EXPECT_FALSE(std::filesystem::exists(library_ + "/J_book.BLB"));
  EXPECT_EQ(ReadWhole(library_ + "/G_book.IDX"), "not an index of mine");
  const std::vector<TStored> a = Volume("A_book");
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(VisibleText(a[0].Text), "kept\n");
  EXPECT_EQ(Volume("B_book").size(), 1u);
  // A command line it does not understand, and a library directory that is not there.
  EXPECT_EQ(Import({library_}).Status, 2);
  EXPECT_EQ(Import({"--all", library_, Path("first")}).Status, 2);
  const TRun none = Import({Path("nowhere"), Path("first")});
  EXPECT_EQ(none.Status, 1);
  EXPECT_NE(none.Err.find("nowhere is not a directory"), std::string::npos) << none.Err;
}

TEST_F(ImportTest, ManifestProblemsSkipOnlyWhatTheyConcern) {
  Write("listed/manifest.csv",
        "file,surname,first name,title\n"
        "a.txt,Amsel,Jo,Listed\n"
        "b.txt,Bram,Kai\n"
        "missing.txt,Cole,Ib,Nowhere\n"
        "b.txt,Bram,Kai,\n"
        "a.txt,Amsel,Jo,Listed Again\n"
        "sub/d.txt,Dorn,Al,Deeper\n");
  for (const char* name : {"a.txt", "b.txt", "c.txt", "Dahl - Named.txt"}) Write(std::string("listed/") + name, "words\n");
  // A manifest without the columns it needs holds back every file of its folder.
  Write("unlisted/manifest.csv", "file,author,title\nx.txt,Xu,Title\n");
  Write("unlisted/Xu, Li - Title.txt", "words\n");

  const TRun r = Import({library_, Path("listed"), Path("unlisted")});
  EXPECT_EQ(r.Status, 1);
  const std::string manifest = Path("listed/manifest.csv");
  for (const std::string& message : {
           manifest + " line 3: 3 cells, the header has 4",
           Path("listed/b.txt") + ": " + manifest + " line 5 gives no title",
           manifest + " line 6: a.txt is listed again (first on line 2)",
           manifest + " line 7: the file cell must name a file of the folder, not 'sub/d.txt'",
           Path("listed/missing.txt") + ": is listed in manifest.csv but is no .rtf or .txt file of the folder",
           Path("listed/c.txt") + ": the name is not in the form",
           Path("unlisted/manifest.csv") + ": line 1: the header has no column 'surname'",
           Path("unlisted/Xu, Li - Title.txt") + ": skipped: the manifest of its folder cannot be used",
       })
    EXPECT_NE(r.Err.find(message), std::string::npos) << message << "\nin:\n" << r.Err;
  EXPECT_NE(r.Out.find("imported 2 texts into 2 volumes, 7 skipped\n"), std::string::npos) << r.Out;
  // The listed file under its manifest names, an unlisted one under its file name.
  EXPECT_EQ(Volume("A_book")[0].Title, "Listed");
  EXPECT_EQ(Volume("D_book")[0].Surname + "|" + Volume("D_book")[0].Title, "Dahl|Named");
  EXPECT_EQ(PresentVolumes(), (std::vector<std::string>{"A_book", "D_book"}));
}

// Two importers add to one volume at the same time while this process reads it: the
// engine's locks keep every entry and the table sound.
TEST_F(ImportTest, ImportsAtTheSameTimeShareAVolume) {
  Write("seed/Hale, Ann - Seed.txt", "the first\n");
  ASSERT_EQ(Import({library_, Path("seed")}).Status, 0);
  constexpr int kEach = 60;
  for (int i = 0; i < kEach; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "Piece %03d.txt", i);
    Write(std::string("one/Hale, Ann - ") + name, "by the first importer " + std::to_string(i) + "\n");
    Write(std::string("two/Hale, Bo - ") + name, "by the second importer " + std::to_string(i) + "\n");
  }
  TDataSession session(0);
  // Strict detection: every read looks for changes by other programs, not only reads that
  // miss the caches.
  session.SetStrictChangeDetection(true);
  TDataCursor reader(session.OpenDataDirectory("", library_));
  reader.SetTableName("H_book");
  reader.SetReadOnly(true);
  reader.Open();
  const pid_t first = Start(BREVARION_IMPORT, {library_, Path("one")}, "one");
  const pid_t second = Start(BREVARION_IMPORT, {library_, Path("two")}, "two");
  // Walks of the whole volume while they write: each sees at least what the last one saw.
  auto walk = [&] {
    std::vector<uint8_t> image(reader.RecordSize());
    int64_t count = 0;
    reader.SetToBegin();
    while (reader.GetNextRecord(image.data()) == 0) ++count;
    return count;
  };
  int64_t last = 1;
  for (int i = 0; i < 400 && last < 2 * kEach + 1; ++i) {
    const int64_t count = walk();
    EXPECT_GE(count, last) << "entries went missing";
    last = count;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const TRun a = Finish(first, "one"), b = Finish(second, "two");
  EXPECT_EQ(a.Status, 0) << a.Err;
  EXPECT_EQ(b.Status, 0) << b.Err;
  EXPECT_EQ(a.Out, "imported 60 texts into 1 volume, 0 skipped\n");
  EXPECT_EQ(b.Out, "imported 60 texts into 1 volume, 0 skipped\n");
  EXPECT_EQ(walk(), 2 * kEach + 1);
  reader.Close();
  EXPECT_EQ(Volume("H_book").size(), size_t(2 * kEach + 1));
}

// SIGINT stops an import between files, never inside one: an entry the signal finds
// under way (here: waiting for the write lock this process holds on its volume) is
// finished, and the import stops before the next. Every volume is sound; running the
// import again adds the rest and skips what is already there.
TEST_F(ImportTest, StoppedImportFinishesTheEntryUnderWay) {
  Write("seed/Abbot, Sal - Seed.txt", "the first\n");
  ASSERT_EQ(Import({library_, Path("seed")}).Status, 0);
  constexpr int kFiles = 200;
  for (int i = 0; i < kFiles; ++i) {
    char name[96];
    // In name order the A files come first, so the first file waits for A_book.
    std::snprintf(name, sizeof name, "many/%c%04d, Kit - Entry %d.txt", 'A' + i % 26, i, i);
    Write(name, "entry " + std::to_string(i) + "\n");
  }
  TDataSession session(0);
  TDataDirectory* database = session.OpenDataDirectory("", library_);
  TDataCursor holder(database);
  holder.SetTableName("A_book");
  holder.Open();
  ASSERT_EQ(database->StartTransaction(), 0);  // holds A_book's write lock
  const TRun r = RunAndSignal(BREVARION_IMPORT, {library_, Path("many")}, "importing", SIGINT, [&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    database->RollbackTransaction();
  });
  holder.Close();
  EXPECT_EQ(r.Status, 128 + SIGINT) << r.Err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(
      r.Err, m, std::regex(R"(stopped by SIGINT: imported (\d+) texts? into \d+ volumes?, 0 skipped before the stop)")))
      << r.Err;
  const size_t imported = std::stoul(m[1]);
  // The signal came as the first file began (in the rare case, just before it).
  EXPECT_LE(imported, 1u) << r.Err;
  EXPECT_NE(r.Err.find("the files after it were not read"), std::string::npos) << r.Err;
  EXPECT_EQ(EntryCount(), imported + 1);

  const TRun again = Import({library_, Path("many")});
  EXPECT_EQ(again.Status, imported == 0 ? 0 : 1) << again.Err;
  EXPECT_NE(again.Out.find("imported " + std::to_string(kFiles - imported) + " texts"), std::string::npos) << again.Out;
  EXPECT_EQ(EntryCount(), size_t(kFiles) + 1);
}

}  // namespace
}  // namespace veldor::test
