// Text and numbers across the veldor tool's boundary: UTF-8 outside, Windows-1252 in the
// table, characters sorted by the table's language; floats and decimals that come back as
// they went in; bad values quoted briefly.

#include <string>
#include <vector>

#include "tests/tools/cli_fixture.h"

namespace {

using namespace veldor::test;

// A German table: its words, names and texts in UTF-8 on the way in and out, one byte a
// character in the files, and in the language's order in its index.
class GermanTableTest : public VeldorCliTest {
 protected:
  void SetUp() override {
    VeldorCliTest::SetUp();
    Write("de.def",
          "description 'St\xC3\xA4" "dte und W\xC3\xB6rter'\n"
          "language 0x0407\n"
          "field Nr autoinc\n"
          "field Stra\xC3\x9F" "e string 6 default 'Gr\xC3\xB6\xC3\x9F" "e' min 'A'\n"
          "field Notiz memo\n"
          "primary Nr\n"
          "index Nach\xC3\x84hnlichkeit Stra\xC3\x9F" "e\n");
    Ok({"create", "de", "de.def"});
    Ok({"load", "de", "-"},
       "Stra\xC3\x9F" "e,Notiz\n"
       "\xC3\x96l,F\xC3\xBC\xC3\x9F" "e\n"  // Öl, Füße
       "\xC3\x84pfel,\n"                    // Äpfel
       "Apfel,\n"
       "Oslo,\n"
       "Z\xC3\xBCrich,\n"                   // Zürich
       "Zebra,\n"
       "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9,\xE2\x82\xAC 5\n");  // éééééé (six characters), € 5
  }
};

TEST_F(GermanTableTest, SortsByCharactersAndStoresWindows1252) {
  // Ä, Ö, é sort with A, O, e; Öl comes before Oslo, Zürich after Zebra.
  EXPECT_EQ(Ok({"dump", "de", "--index", "Nach\xC3\x84hnlichkeit"}),
            "Nr,Stra\xC3\x9F" "e,Notiz\n"
            "2,\xC3\x84pfel,\n"
            "3,Apfel,\n"
            "7,\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9,\xE2\x82\xAC 5\n"
            "1,\xC3\x96l,F\xC3\xBC\xC3\x9F" "e\n"
            "4,Oslo,\n"
            "6,Zebra,\n"
            "5,Z\xC3\xBCrich,\n");
  // In the files each character is its Windows-1252 byte; no UTF-8 is stored.
  const std::string data = ReadFile(Path("de.DAT")), blobs = ReadFile(Path("de.BLB"));
  for (const std::string stored : {"\xD6l", "\xC4pfel", "Z\xFCrich", "\xE9\xE9\xE9\xE9\xE9\xE9", "Stra\xDF" "e",
                                   "Gr\xF6\xDF" "e"})
    EXPECT_NE(data.find(stored), std::string::npos) << stored;
  EXPECT_NE(blobs.find("F\xFC\xDF" "e"), std::string::npos);
  EXPECT_NE(blobs.find("\x80 5"), std::string::npos);
  for (const std::string& file : {data, blobs, ReadFile(Path("de.IDX"))}) {
    EXPECT_EQ(file.find("\xC3\x96"), std::string::npos);
    EXPECT_EQ(file.find("\xC3\x9F"), std::string::npos);
  }

  // Names, defaults and descriptions come back in UTF-8, filters and bounds go in so.
  const std::string info = Ok({"info", "de"});
  EXPECT_NE(info.find("description 'St\xC3\xA4" "dte und W\xC3\xB6rter'\n"), std::string::npos) << info;
  EXPECT_NE(info.find("field Stra\xC3\x9F" "e string 6 default 'Gr\xC3\xB6\xC3\x9F" "e' min 'A'\n"),
            std::string::npos)
      << info;
  EXPECT_EQ(Ok({"dump", "de", "--filter", "Stra\xC3\x9F" "e = 'Z\xC3\xBCrich'", "--count"}), "1\n");
  EXPECT_EQ(FirstCells(Ok({"dump", "de", "--index", "Nach\xC3\x84hnlichkeit", "--range", "\xC3\x96", "Oz"})),
            (std::vector<std::string>{"1", "4"}));
  Ok({"load", "de", "-"}, "Notiz\nohne Stra\xC3\x9F" "e\n");
  EXPECT_NE(Ok({"dump", "de"}).find("8,Gr\xC3\xB6\xC3\x9F" "e,ohne Stra\xC3\x9F" "e\n"), std::string::npos);

  // Sizes count stored characters: six é fit a string 6, seven do not.
  TResult r = Run({"load", "de", "-"}, "Stra\xC3\x9F" "e\n\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\n");
  EXPECT_EQ(r.Status, 1);
  EXPECT_NE(r.Err.find("line 2, field 'Stra\xC3\x9F" "e': '\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9' "
                       "is longer than 6 characters (it has 7)"),
            std::string::npos)
      << r.Err;
  EXPECT_EQ(Run({"verify", "de"}).Status, 0);
}

// A character Windows-1252 cannot hold, or bytes that are not UTF-8, are refused with the
// line and field (or the option) named, and nothing of that command is stored.
TEST_F(GermanTableTest, UnrepresentableCharactersAreRefused) {
  const std::string before = TableBytes("de");
  struct TCase {
    std::vector<std::string> Args;
    std::string Input;
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {{"load", "de", "-"},
       "Stra\xC3\x9F" "e,Notiz\nOk,\nAuch,\n\xD0\x96uk,\n",
       "standard input line 4, field 'Stra\xC3\x9F" "e': the character '\xD0\x96' (U+0416) has no place in "
       "Windows-1252\nveldor: nothing was loaded"},
      {{"load", "de", "-"}, "Notiz\n\"zwei\nZeilen \xE6\x9D\xB1\"\n", "line 2, field 'Notiz': the character '\xE6\x9D\xB1' (U+6771)"},
      {{"load", "de", "-"}, "Notiz,\xF0\x9F\x98\x80\nx,y\n", "line 1, field name 2: the character '\xF0\x9F\x98\x80' (U+1F600)"},
      {{"load", "de", "-"}, "Notiz\nbad \xFF byte\n", "line 2, field 'Notiz': the byte ff is not UTF-8"},
      {{"create", "neu"}, "field A integer\nfield \xD0\x91 string 5\n", "standard input line 2: the character '\xD0\x91' (U+0411)"},
      {{"dump", "de", "--filter", "Notiz = '\xF0\x9F\x98\x80'"}, "", "--filter: the character '\xF0\x9F\x98\x80'"},
      {{"dump", "de", "--index", "Nach\xC3\x84hnlichkeit", "--range", "\xCE\xA9", ""}, "", "--range LOW: the character '\xCE\xA9' (U+03A9)"},
      {{"--password", "\xD0\xBF", "dump", "de"}, "", "--password: the character '\xD0\xBF' (U+043F)"},
      {{"add-index", "de", "\xD0\x98", "Notiz"}, "", "the index name: the character '\xD0\x98'"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Message);
    TResult r = Run(c.Args, c.Input);
    EXPECT_EQ(r.Status, 1) << r.Err;
    EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err;
  }
  EXPECT_TRUE(TableBytes("de") == before) << "the table's files changed";
  EXPECT_FALSE(Exists("neu.DAT"));
}

// Floats in the shortest form that reads back to the same double, decimals exactly with the
// field's scale: a dump reloaded is the same table, and matches its own filters.
TEST_F(VeldorCliTest, NumbersComeBackAsTheyWentIn) {
  Write("n.def", "field Id integer\nfield F float\nfield D bcd 8\nfield M bcd 2\nprimary Id\n");
  Ok({"create", "n", "n.def"});
  Ok({"load", "n", "-"},
     "Id,F,D,M\n"
     "1,0.30000000000000004,1.23456789,12.50\n"
     "2,123456789.123456789,0.00001,-0.01\n"
     "3,-1e+300,-123456789012345678901234,0\n"
     "4,5e-324,1.5e-7,1e3\n");
  const std::string dump = Ok({"dump", "n"});
  EXPECT_EQ(dump,
            "Id,F,D,M\n"
            "1,0.30000000000000004,1.23456789,12.5\n"
            "2,123456789.12345679,0.00001,-0.01\n"
            "3,-1e+300,-123456789012345678901234,0\n"
            "4,5e-324,0.00000015,1000\n");
  Ok({"create", "copy", "n.def"});
  Ok({"load", "copy", "-"}, dump);
  EXPECT_EQ(Ok({"dump", "copy"}), dump);
  EXPECT_EQ(Ok({"dump", "copy", "--filter", "F = 0.30000000000000004", "--count"}), "1\n");
  EXPECT_EQ(Ok({"dump", "copy", "--filter", "F = 123456789.12345679", "--count"}), "1\n");
  EXPECT_EQ(Ok({"dump", "copy", "--filter", "F = 0.3", "--count"}), "0\n");

  // A decimal with more decimals than the scale, or more digits than the type holds, is
  // refused as a string that is too long is.
  const std::string before = TableBytes("n");
  struct TCase {
    std::string Row;
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {"9,,1.123456789,", "field 'D': '1.123456789' has 9 decimals, the field keeps 8"},
      {"9,,1234567890123456789012345,", "field 'D': '1234567890123456789012345' has 25 digits before the point, "
                                        "the field holds 24"},
      {"9,,,0.001", "field 'M': '0.001' has 3 decimals, the field keeps 2"},
      {"9,,,1e31", "field 'M': '1e31' has 32 digits before the point, the field holds 30"},
      {"9,,,12.3.4", "field 'M': '12.3.4' is not a decimal number"},
      {"9,1e999,,", "field 'F': '1e999' is not a number"},
  };
  for (const TCase& c : cases) {
    TResult r = Run({"load", "n", "-"}, "Id,F,D,M\n" + c.Row + "\n");
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find("line 2, " + c.Message), std::string::npos) << r.Err;
  }
  EXPECT_TRUE(TableBytes("n") == before) << "the table's files changed";
}

// A bad value is quoted by its first 60 characters and its length, never whole.
TEST_F(VeldorCliTest, BadValuesAreQuotedBriefly) {
  MakePeople();
  const std::string huge(10000000, 'x');
  struct TCase {
    std::string Csv;
    std::string Message;
  };
  const std::vector<TCase> cases = {
      {"Id,Name\n9," + huge + "\n", "field 'Name': '" + std::string(60, 'x') + "...' (10000000 characters) is longer "
                                    "than 20 characters"},
      {"Id,Age\n9,y" + huge + "\n", "field 'Age': 'y" + std::string(59, 'x') + "...' (10000001 characters) is not an "
                                    "integer"},
      {"Id," + huge + "\n", "no field '" + std::string(60, 'x') + "...' (10000000 characters) in people"},
  };
  for (const TCase& c : cases) {
    TResult r = Run({"load", "people", "-"}, c.Csv);
    EXPECT_EQ(r.Status, 1);
    EXPECT_NE(r.Err.find(c.Message), std::string::npos) << r.Err.substr(0, 400);
    EXPECT_LT(r.Err.size(), 600u);
  }
}

}  // namespace
