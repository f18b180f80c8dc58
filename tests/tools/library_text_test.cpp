// The text rules of a Brevarion library: the volume a surname belongs in, the RTF that
// keeps every character of a text (also where the conversion window cuts a character),
// plain text made into RTF, and the counting of words.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/library_rtf.h"
#include "tools/library_volumes.h"
#include "tools/veldor_tool.h"

namespace veldor::tool {
namespace {

TEST(LibraryTextTest, SurnamesGoToTheVolumeOfTheirBaseLetter) {
  // Surnames in Windows-1252.
  const std::vector<std::pair<std::string, std::string>> placed = {
      {"Abel", "A_book"},        {"abel", "A_book"},        {"\xC6lfric", "A_book"},  // Æ
      {"\xC7" "elik", "C_book"},    {"\xD0orn", "D_book"},     {"\xC9mile", "E_book"},   // Ç Ð É
      {"\x83oss", "F_book"},     {"\xD1u\xF1" "ez", "N_book"}, {"\xF6sterberg", "O_book"},  // ƒ Ñ ö
      {"\xD8" "degaard", "O_book"}, {"\x8C" "uvre", "O_book"}, {"Pym", "p_book"},  // Ø Œ
      {"quist", "p_book"},       {"Rask", "R_book"},        {"\xDF" "a", "S_book"},  // ß
      {"\x8Aimek", "S_book"},    {"\xDE\xF3r", "t_book"},   {"Uhl", "t_book"},      // Š Þ
      {"vane", "t_book"},        {"Wren", "w_book"},        {"Xu", "w_book"},
      {"\xDDr", "w_book"},       {"\x9F" "a", "w_book"},    {"\xFF" "b", "w_book"},  // Ý Ÿ ÿ
      {"\x8E" "ivot", "w_book"}, {"\x9E" "u", "w_book"},                              // Ž ž
  };
  for (const auto& [surname, table] : placed)
    EXPECT_EQ(Volumes()[size_t(VolumeOfSurname(surname))].TableName, table) << Shown(surname);
  // No letter first: a digit, a quote, a blank, signs, the ordinal marks, µ, the euro.
  for (const char* surname : {"", "1984", "'t Hooft", " Lead", "\xD7", "\xF7", "\xAA", "\xBA", "\xB5", "\x80"})
    EXPECT_THROW(VolumeOfSurname(surname), TToolError) << Shown(surname);
}

TEST(LibraryTextTest, RtfKeepsEveryCharacter) {
  std::string rtf;
  ASSERT_TRUE(AppendRtfUtf8(rtf, "a\\b{c}\td é€Ł😀"));
  EXPECT_EQ(rtf, "a\\\\b\\{c\\}\\tab d \\'e9\\'80\\u321?\\u-10179?\\u-8704?");

  // Long texts go a window at a time; no window splits a character, wherever it falls.
  for (size_t before : {4093u, 4094u, 4095u, 4096u}) {
    SCOPED_TRACE(before);
    const std::string text = std::string(before, 'a') + "☃é" + std::string(4094, 'b') + "𝄞";
    std::string expected = std::string(before, 'a') + "\\u9731?\\'e9" + std::string(4094, 'b') + "\\u-10188?\\u-8930?";
    rtf.clear();
    ASSERT_TRUE(AppendRtfUtf8(rtf, text));
    EXPECT_EQ(rtf, expected);
  }
  // A text of nothing but characters Windows-1252 lacks.
  std::string many, expected;
  for (int i = 0; i < 5000; ++i) {
    many += "ł";
    expected += "\\u322?";
  }
  rtf.clear();
  ASSERT_TRUE(AppendRtfUtf8(rtf, many));
  EXPECT_EQ(rtf, expected);
  rtf.clear();
  EXPECT_FALSE(AppendRtfUtf8(rtf, "fine, then \xFF"));
}

TEST(LibraryTextTest, PlainTextBecomesParagraphsAndLines) {
  struct TCase {
    std::string Text;
    std::string Body;  // what follows the prologue
  };
  const std::vector<TCase> cases = {
      {"one\ntwo\n\nthree", "one\\line\ntwo\\par\nthree\\par\n}\n"},
      // Blank lines (blanks only, too) at either end are dropped; several are one break.
      {"\xEF\xBB\xBF\n \t\nfirst\r\n\r\n\r\n  \r\nsecond\r\n\r\n", "first\\par\nsecond\\par\n}\n"},
      // Not UTF-8: the whole text is Windows-1252, CR line ends as well.
      {"caf\xe9\rna\xefve \xe2\x82\xac", "caf\\'e9\\line\nna\\'efve \\'e2\\'82\\'ac\\par\n}\n"},
      {"  indented\n\tand tabbed", "  indented\\line\n\\tab and tabbed\\par\n}\n"},
      {"", "\\par\n}\n"},
  };
  for (const TCase& c : cases) {
    const std::string rtf = RtfOfPlainText(c.Text);
    EXPECT_TRUE(LooksLikeRtf(rtf));
    const size_t body = rtf.find("\\pard\\f0\\fs22 ");
    ASSERT_NE(body, std::string::npos) << rtf;
    EXPECT_EQ(rtf.substr(body + 14), c.Body) << Shown(c.Text);
  }
}

TEST(LibraryTextTest, WordsHoldALetterOrDigit) {
  const std::vector<std::pair<std::string, size_t>> cases = {
      {"", 0},
      {"one two  three", 3},
      {"a\nb\tc\r\nd", 4},
      {"– “ ” — … * ·", 0},
      {"“quoted,” she said—twice.", 3},
      {"naïve café 1984", 3},
      {"λόγος Łódź", 2},
      {"♪ → ♪", 0},
  };
  for (const auto& [text, words] : cases) EXPECT_EQ(CountWords(text), words) << text;
}

}  // namespace
}  // namespace veldor::tool
