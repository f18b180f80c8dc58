// The INI profile reader.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "lib/temp_dir.h"
#include "toolkit/ini_file.h"

namespace veldor {
namespace {

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override { Dir = MakeTempDirectory("toolkit-ini"); ASSERT_FALSE(Dir.empty()); }
  void TearDown() override { std::filesystem::remove_all(Dir); }
  std::string Write(const std::string& text) {
    std::string path = Dir + "/quorvish.ini";
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::string Dir;
};

TEST_F(IniFileTest, ReadsValuesWithoutRegardToCase) {
  TIniFile ini(Write("\xEF\xBB\xBF; settings\r\n[Z]\r\n UserPath = /data/books/ \r\n"
                     "Quoted=\"  spaced  \"\r\n# comment\nEmpty=\n[z]\nUserPath=second\n"
                     "[Other]\nUserPath=other\n"));
  EXPECT_EQ(ini.ReadString("Z", "UserPath", "default"), "/data/books/");
  EXPECT_EQ(ini.ReadString("z", "USERPATH", "default"), "/data/books/");  // the first one wins
  EXPECT_EQ(ini.ReadString("Z", "Quoted", ""), "  spaced  ");
  EXPECT_EQ(ini.ReadString("Z", "Empty", "default"), "");
  EXPECT_EQ(ini.ReadString("Z", "Missing", "default"), "default");
  EXPECT_EQ(ini.ReadString("Nope", "UserPath", "default"), "default");
  EXPECT_EQ(ini.ReadString("Other", "UserPath", ""), "other");
  EXPECT_TRUE(ini.SectionExists("other"));
  EXPECT_TRUE(ini.ValueExists("Z", "empty"));
  EXPECT_FALSE(ini.ValueExists("Z", "nope"));
}

TEST_F(IniFileTest, AMissingFileGivesDefaults) {
  TIniFile ini(Dir + "/absent.ini");
  EXPECT_EQ(ini.ReadString("Z", "UserPath", "~/marrowdene/newtables"), "~/marrowdene/newtables");
}

TEST_F(IniFileTest, MalformedFilesAreRefusedNamingTheLine) {
  struct TCase {
    std::string Text;
    int Line;
  } cases[] = {
      {"[Z\nUserPath=x\n", 1},
      {"[Z]\njust words\n", 2},
      {"[Z] trailing\n", 1},
      {"[Z]\n=value\n", 2},
      {"UserPath=before any section\n", 1},
      {std::string("[Z]\nA=1\n\nB=\xFF\0x\n", 14), 4},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    try {
      TIniFile ini(Write(c.Text));
      FAIL();
    } catch (const EIniFileError& e) {
      EXPECT_NE(std::string(e.what()).find("line " + std::to_string(c.Line)), std::string::npos) << e.what();
    }
  }
  EXPECT_THROW(TIniFile ini(Dir), EIniFileError);  // a directory
}

}  // namespace
}  // namespace veldor
