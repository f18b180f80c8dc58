#include <gtest/gtest.h>

#include <string>

#include "lib/code_page.h"

namespace veldor {
namespace {

// Every byte goes out to UTF-8 and comes back as it was, the undefined five included.
TEST(CodePage, EveryByteRoundTrips) {
  std::string all;
  for (int c = 0; c < 256; ++c) all += char(c);
  const std::string utf8 = Windows1252ToUtf8(all);
  EXPECT_EQ(Utf8ToWindows1252(utf8), all);
}

TEST(CodePage, KnownCharacters) {
  struct TCase {
    std::string Stored;
    std::string Utf8;
  };
  const TCase cases[] = {
      {"Apfel", "Apfel"},
      {"\xC4pfel", "\xC3\x84pfel"},              // Ä
      {"Z\xFCrich", "Z\xC3\xBCrich"},            // ü
      {"\x80", "\xE2\x82\xAC"},                  // €
      {"\x9F", "\xC5\xB8"},                      // Ÿ
      {"\x8A\x9A", "\xC5\xA0\xC5\xA1"},          // Š š
      {"\x81\x8D\x8F\x90\x9D", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},  // C1 controls kept
      {"\xFF", "\xC3\xBF"},                      // ÿ
  };
  for (const TCase& c : cases) {
    EXPECT_EQ(Windows1252ToUtf8(c.Stored), c.Utf8);
    EXPECT_EQ(Utf8ToWindows1252(c.Utf8), c.Stored);
  }
}

// Characters the code page has no place for, and bytes that are not UTF-8, are refused at
// the first one, with where it stands.
TEST(CodePage, RefusedTexts) {
  struct TCase {
    std::string Utf8;
    size_t Offset;
    size_t Length;
    uint32_t CodePoint;  // 0: malformed
    std::string Message;
  };
  const TCase cases[] = {
      {"ab\xD0\x96", 2, 2, 0x0416, "the character '\xD0\x96' (U+0416) has no place in Windows-1252"},
      {"\xE6\x9D\xB1x", 0, 3, 0x6771, "(U+6771)"},                 // CJK
      {"ok \xF0\x9F\x98\x80", 3, 4, 0x1F600, "(U+1F600)"},         // an emoji
      {"\xC2\x80", 0, 2, 0x80, "(U+0080)"},                        // a C1 control the code page uses otherwise
      {"a\x80", 1, 1, 0, "the byte 80 is not UTF-8"},              // a continuation byte alone
      {"caf\xC3", 3, 1, 0, "the byte c3 is not UTF-8"},            // cut short at the end
      {"\xC3(", 0, 1, 0, "not UTF-8"},                             // cut short before ASCII
      {"\xC0\xAF", 0, 1, 0, "not UTF-8"},                          // overlong lead
      {"\xE0\x80\xAF", 0, 3, 0, "the bytes e0 80 af are not UTF-8"},  // overlong form
      {"\xED\xA0\x80", 0, 3, 0, "not UTF-8"},                      // a surrogate
      {"\xF4\x90\x80\x80", 0, 4, 0, "not UTF-8"},                  // above U+10FFFF
      {"\xF5", 0, 1, 0, "not UTF-8"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Message);
    std::string out;
    TCodePageProblem problem;
    ASSERT_FALSE(Utf8ToWindows1252(c.Utf8, out, problem));
    EXPECT_EQ(problem.Offset, c.Offset);
    EXPECT_EQ(problem.Length, c.Length);
    EXPECT_EQ(problem.Malformed, c.CodePoint == 0);
    EXPECT_EQ(problem.CodePoint, c.CodePoint);
    EXPECT_EQ(out, c.Utf8.substr(0, c.Offset));
    EXPECT_NE(CodePageProblemText(c.Utf8, problem).find(c.Message), std::string::npos)
        << CodePageProblemText(c.Utf8, problem);
    try {
      Utf8ToWindows1252(c.Utf8);
      ADD_FAILURE() << "not refused";
    } catch (const ECodePageError& e) {
      EXPECT_EQ(e.Problem.Offset, c.Offset);
    }
  }
}

}  // namespace
}  // namespace veldor
