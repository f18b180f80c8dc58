// brevarion-sample through its process interface: the library it makes is read back
// through the engine, every volume checked, every entry in its volume, the texts counted
// and their formatting looked for; a directory holding volumes is refused unless forced.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/tools/library_fixture.h"
#include "tools/library_rtf.h"

namespace veldor::test {
namespace {

using tool::BaseLetter;
using tool::CountWords;
using tool::kVolumeCount;
using tool::Volumes;

class SampleTest : public LibraryTest {};

bool IsRtf(const std::string& text) { return text.rfind("{\\rtf", 0) == 0; }

// Where each entry is, by surname (UTF-8).
std::string VolumeHolding(const std::vector<std::vector<TStored>>& library, const std::string& surname) {
  for (int v = 0; v < kVolumeCount; ++v)
    for (const TStored& e : library[size_t(v)])
      if (e.Surname == surname) return Volumes()[size_t(v)].TableName;
  return "";
}

TEST_F(SampleTest, MakesTwentySoundVolumesOfInventedTexts) {
  const std::string library = Path("new/library");  // made, parents and all
  const TRun r = Sample({library});
  ASSERT_EQ(r.Status, 0) << r.Err;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.Out, m, std::regex(R"((\d+) volumes, (\d+) entries, (\d+) words\n$)"))) << r.Out;
  EXPECT_EQ(std::stoul(m[1]), 20u);
  const size_t summaryEntries = std::stoul(m[2]), summaryWords = std::stoul(m[3]);

  int present = 0;
  const std::vector<std::vector<TStored>> volumes = ReadLibrary(library, &present);
  EXPECT_EQ(present, 20);
  size_t entries = 0, words = 0, longest = 0, largest = 0, plain = 0;
  std::string allRtf;
  for (int v = 0; v < kVolumeCount; ++v) {
    const tool::TVolume& volume = Volumes()[size_t(v)];
    for (const char* extension : {".DAT", ".IDX", ".BLB"})
      EXPECT_TRUE(std::filesystem::exists(library + "/" + volume.TableName + extension)) << volume.TableName;
    EXPECT_FALSE(volumes[size_t(v)].empty()) << volume.TableName;
    largest = std::max(largest, volumes[size_t(v)].size());
    for (const TStored& e : volumes[size_t(v)]) {
      ++entries;
      const char letter = BaseLetter(uint8_t(Utf8ToWindows1252(e.Surname)[0]));
      EXPECT_NE(letter, 0) << e.Surname;
      EXPECT_NE(std::string(volume.Letters).find(letter), std::string::npos) << e.Surname << " in " << volume.TableName;
      const bool rich = IsRtf(e.Text);
      if (rich) {
        allRtf += e.Text;
        EXPECT_TRUE(std::all_of(e.Text.begin(), e.Text.end(), [](char c) { return uint8_t(c) < 0x80; }))
            << e.Title << ": RTF that is not 7-bit";
      } else {
        ++plain;
      }
      const std::string seen = rich ? VisibleText(e.Text) : Windows1252ToUtf8(e.Text);
      EXPECT_EQ(seen.rfind(e.Title, 0), 0u) << "the text does not open with its title " << e.Title;
      const size_t n = CountWords(seen);
      words += n;
      longest = std::max(longest, n);
    }
  }
  EXPECT_EQ(entries, summaryEntries);
  EXPECT_GE(entries, 200u);
  EXPECT_LE(entries, 600u);
  EXPECT_GE(largest, 40u) << "no volume is long enough to scroll";
  EXPECT_EQ(words, summaryWords);
  EXPECT_GE(longest, 2000u);
  EXPECT_LE(longest, 10000u);
  EXPECT_GT(plain, 5u);
  EXPECT_LT(plain * 5, entries);
  // The formatting the reader has to show: three font families, colours, a centred bold
  // title, italics, verse lines, underlined, struck and coloured words, Windows-1252
  // characters (é, “, ”, –, —) and characters only Unicode has.
  for (const char* feature : {"{\\f0\\froman", "{\\f1\\fswiss", "{\\f2\\fmodern", "{\\colortbl;\\red", "\\qc",
                              "\\b\\f1\\fs36", "\\i ", "\\line", "{\\ul ", "{\\strike ", "{\\cf1 ", "{\\cf3 ",
                              "\\'e9", "\\'93", "\\'94", "\\'96", "\\'97", "\\u"})
    EXPECT_NE(allRtf.find(feature), std::string::npos) << feature;

  // Initials with accents go to their letter's volume, the shared volumes take theirs.
  const std::pair<const char*, const char*> placed[] = {
      {"Ødegaard", "O_book"}, {"Þórsey", "t_book"},  {"d'Aubrière", "D_book"}, {"Åberg", "A_book"},
      {"Žarnovec", "w_book"}, {"Quillery", "p_book"}, {"Ulvestad", "t_book"},   {"Xerrano", "w_book"},
      {"Éverard", "E_book"},  {"Ñuñorco", "N_book"},  {"Šimek", "S_book"},      {"Çevrel", "C_book"}};
  for (const auto& [surname, table] : placed) EXPECT_EQ(VolumeHolding(volumes, surname), table) << surname;

  // The primary order ignores accents and case: Séverac and Šimek sit among the S names.
  std::vector<std::string> order;
  for (const TStored& e : volumes[17])
    if (order.empty() || order.back() != e.Surname) order.push_back(e.Surname);
  const std::vector<std::string> expected = {"Sallowmere", "Séverac", "Šimek", "Sorrowby", "Spindlewood", "Stenhavn",
                                             "Sundqvist-Aro"};
  EXPECT_EQ(order, expected);
  // Two authors share a surname; one writes under a surname alone.
  std::set<std::string> stenhavns;
  bool surnameAlone = false;
  for (const auto& volume : volumes)
    for (const TStored& e : volume) {
      if (e.Surname == "Stenhavn") stenhavns.insert(e.FirstName);
      surnameAlone |= e.FirstName.empty();
    }
  EXPECT_EQ(stenhavns.size(), 2u);
  EXPECT_TRUE(surnameAlone);

  // Another run makes the same library.
  ASSERT_EQ(Sample({Path("again")}).Status, 0);
  EXPECT_TRUE(ReadLibrary(Path("again")) == volumes);
}

TEST_F(SampleTest, RefusesADirectoryWithVolumesUnlessForced) {
  ASSERT_EQ(Sample({dir_}).Status, 0);
  const size_t sampleEntries = [&] {
    size_t n = 0;
    for (const auto& volume : ReadLibrary(dir_)) n += volume.size();
    return n;
  }();
  Write("mine/Aalto, Ilse - My Own.txt", "a text of my own\n");
  ASSERT_EQ(Import({dir_, Path("mine")}).Status, 0);
  const auto before = ReadLibrary(dir_);

  TRun r = Sample({dir_});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("already holds volume tables (" + dir_ + "/A_book.DAT"), std::string::npos) << r.Err;
  EXPECT_NE(r.Err.find("give --force"), std::string::npos) << r.Err;
  EXPECT_EQ(r.Out, "");
  EXPECT_TRUE(ReadLibrary(dir_) == before);

  // Nor does --force pull a volume from under a program that has it open.
  {
    TDataSession session(0);
    TDataCursor reader(session.OpenDataDirectory("", dir_));
    reader.SetTableName("M_book");
    reader.SetReadOnly(true);
    reader.Open();
    r = Sample({"--force", dir_});
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("cannot replace M_book in " + dir_ + ": in use by another program"), std::string::npos)
        << r.Err;
  }
  EXPECT_TRUE(ReadLibrary(dir_) == before);

  r = Sample({"--force", dir_});
  EXPECT_EQ(r.Status, 0) << r.Err;
  size_t entries = 0;
  for (const auto& volume : ReadLibrary(dir_)) {
    entries += volume.size();
    for (const TStored& e : volume) EXPECT_NE(e.Surname, "Aalto");
  }
  EXPECT_EQ(entries, sampleEntries);

  // One file of one volume, in any case, is enough to refuse; nothing is made beside it.
  Write("other/s_book.idx", "not mine to lose");
  r = Sample({Path("other")});
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("S_book.IDX"), std::string::npos) << r.Err;
  std::vector<std::string> listing;
  for (const auto& entry : std::filesystem::directory_iterator(Path("other")))
    listing.push_back(entry.path().filename().string());
  EXPECT_EQ(listing, std::vector<std::string>{"s_book.idx"});
  EXPECT_EQ(ReadWhole(Path("other/s_book.idx")), "not mine to lose");

  // A command line it does not understand.
  EXPECT_EQ(Sample({}).Status, 2);
  EXPECT_EQ(Sample({"--replace", dir_}).Status, 2);
  EXPECT_EQ(Sample({dir_, Path("second")}).Status, 2);
}

}  // namespace
}  // namespace veldor::test
