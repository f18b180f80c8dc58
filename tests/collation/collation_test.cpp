#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lib/collation.h"

namespace veldor {
namespace {

constexpr uint16_t kAnsi = 0;
constexpr uint16_t kEnglish = 0x0409;
constexpr uint16_t kGerman = 0x0407;
constexpr uint16_t kSwedish = 0x041D;
constexpr uint16_t kSpanishModern = 0x0C0A;

int Cmp(uint16_t language, uint16_t sort, const char* a, const char* b, bool ci = false,
        size_t n = 0) {
  return CompareStrings(language, sort, a, b, n, ci);
}

TEST(LanguageList, NamesIdentifiersAndSortOrders) {
  const auto& list = LanguageList();
  ASSERT_EQ(list.size(), 99u);
  EXPECT_STREQ(list.front().Name, "ANSI Standard");
  EXPECT_EQ(list.front().Id, 0);
  EXPECT_STREQ(list.back().Name, "Vietnamese");
  EXPECT_EQ(list.back().Id, 0x042A);
  std::set<uint16_t> ids;
  for (const auto& l : list) ids.insert(l.Id);
  EXPECT_EQ(ids.size(), 99u);

  EXPECT_TRUE(LanguageNameValid("german (standard)"));
  EXPECT_EQ(LanguageIdOfName("german (standard)"), 0x0407);
  EXPECT_FALSE(LanguageNameValid("Klingon"));
  EXPECT_EQ(LanguageIdOfName("Klingon"), 0);
  EXPECT_EQ(SortOrderNames(kGerman),
            (std::vector<std::string>{"Default Order", "German Phone Book Order"}));
  EXPECT_EQ(SortIdOfName(kGerman, "german phone book order"), 1);
  EXPECT_EQ(LocaleOf(kGerman, 1), 0x10407u);
  EXPECT_EQ(SortOrderNames(kEnglish), (std::vector<std::string>{"Default Order"}));
  EXPECT_FALSE(SortOrderValid(kEnglish, "German Phone Book Order"));
  EXPECT_EQ(SortIdOfName(kEnglish, "German Phone Book Order"), -1);
  for (uint16_t g : {0x0407, 0x0807, 0x0C07, 0x1007, 0x1407}) EXPECT_EQ(SortOrderNames(g).size(), 2u);
}

TEST(LanguageList, InstalledLocales) {
  for (const auto& l : LanguageList()) EXPECT_TRUE(LocaleInstalled(l.Id, 0)) << l.Name;
  EXPECT_TRUE(LocaleInstalled(kGerman, 1));
  EXPECT_FALSE(LocaleInstalled(kEnglish, 1));  // no phone book order for English
  EXPECT_FALSE(LocaleInstalled(0x7777, 0));    // no such language
}

TEST(AnsiCollation, ByteOrderWithItsRules) {
  EXPECT_EQ(Cmp(kAnsi, 0, "abc", "ABC", true), 0);
  EXPECT_EQ(Cmp(kAnsi, 0, "ABC", "abc"), -1);
  EXPECT_EQ(Cmp(kAnsi, 0, "ab", "abc"), -1);        // the NUL takes part
  EXPECT_EQ(Cmp(kAnsi, 0, "abc", "ab"), 1);
  EXPECT_EQ(Cmp(kAnsi, 0, "abcX", "abcY", false, 3), 0);
  EXPECT_EQ(Cmp(kAnsi, 0, "\xe9", "z"), 1);         // unsigned bytes
  EXPECT_EQ(Cmp(kAnsi, 0, "\xe9", "\xc9", true), 0);  // US-English upper case of e acute
  EXPECT_EQ(CompareChars(kAnsi, 0, 0x80, 0x7F), 1);
  const auto& order = GetCollation(kAnsi, 0).CharacterOrder();
  for (int i = 0; i < 256; ++i) EXPECT_EQ(order[i], i);
}

TEST(LocaleCollation, DiffersFromByteOrderWhereLanguagesDo) {
  // Accents are ignored, case counts unless asked not to.
  EXPECT_EQ(Cmp(kEnglish, 0, "r\xe9sum\xe9", "resume"), 0);
  EXPECT_EQ(Cmp(kEnglish, 0, "\xe9t\xe9", "ezz"), -1);  // byte order would put it last
  EXPECT_NE(Cmp(kEnglish, 0, "Apple", "apple"), 0);
  EXPECT_EQ(Cmp(kEnglish, 0, "Apple", "apple", true), 0);
  EXPECT_EQ(Cmp(kEnglish, 0, "apple", "Banana"), -1);
  // Punctuation is significant (string sort).
  EXPECT_NE(Cmp(kEnglish, 0, "co-op", "coop"), 0);
  // Swedish sorts a-ring after z.
  EXPECT_EQ(Cmp(kSwedish, 0, "\xe5sa", "zeta"), 1);
  EXPECT_EQ(Cmp(kEnglish, 0, "\xe5sa", "zeta"), -1);
  // German phone book order reads a-umlaut as ae: "Aerzte" < "Arzt"? With the phone book,
  // "\xc4rzte" sorts as "Aerzte", before "Arzt"; by default it sorts as "Arzte", after.
  EXPECT_EQ(Cmp(kGerman, 1, "\xc4rzte", "Arzt"), -1);
  EXPECT_EQ(Cmp(kGerman, 0, "\xc4rzte", "Arzt"), 1);
  // Spanish modern order keeps n-tilde after n.
  EXPECT_EQ(Cmp(kSpanishModern, 0, "\xf1u", "nz"), 1);
  // Partial length compares only that many characters.
  EXPECT_EQ(Cmp(kEnglish, 0, "Smith", "Smythe", false, 2), 0);
  EXPECT_EQ(Cmp(kEnglish, 0, "Smith", "Smythe", false, 3), -1);
}

TEST(LocaleCollation, CaseMappingAndCharacterOrder) {
  const TCollation& english = GetCollation(kEnglish, 0);
  char text[] = "caf\xe9 \x9a\xff";
  english.ToUpper(text, std::strlen(text));
  EXPECT_STREQ(text, "CAF\xc9 \x8a\x9f");
  english.ToLower(text, std::strlen(text));
  EXPECT_STREQ(text, "caf\xe9 \x9a\xff");
  EXPECT_EQ(english.UpperOf(0xDF), 0xDF);  // sharp s has no one-character upper case
  EXPECT_EQ(english.UpperOf(0xF7), 0xF7);  // the division sign has none at all

  // The order is a permutation that puts letters in alphabet order with case significant.
  const auto& order = english.CharacterOrder();
  std::set<uint8_t> seen(order.begin(), order.end());
  EXPECT_EQ(seen.size(), 256u);
  auto position = [&](uint8_t c) { return std::find(order.begin(), order.end(), c) - order.begin(); };
  EXPECT_LT(position('a'), position('b'));
  EXPECT_LT(position('a'), position('A'));  // lower case first at tertiary strength
  EXPECT_LT(position('e'), position(0xE9));  // marks significant: e before e acute
  EXPECT_LT(position(0xE9), position('f'));
  EXPECT_LT(position('9'), position('a'));
  EXPECT_EQ(LanguageCharMaps().GetCharacterOrder(kEnglish, 0), order.data());
}

TEST(LocaleCollation, SharedByThreads) {
  const TCollation& german = GetCollation(kGerman, 0);
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5000; ++i) {
        if (german.Compare("M\xfcller", "Mueller", false) == 0) ++wrong;
        if (german.Compare("\xe4", "a", false) != 0) ++wrong;
        if (GetCollation(kSwedish, 0).Compare("\xe5", "z", false) != 1) ++wrong;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace veldor
