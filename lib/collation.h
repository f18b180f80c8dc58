// Languages, collations and case mapping of Windows-1252 text, on ICU.
//
// Owns the fixed list of languages a table can name (identifier = primary language +
// 1024 x sublanguage), their sort orders, the test whether a collation is installed, and
// one ready `TCollation` per (language, sort) pair: string and character comparison, upper
// and lower case, and the 256-byte character order that key ranges step through. Language
// 0 is byte order with US-English case mapping. Collations are built once, on first use,
// and live until the process ends; they are immutable, so any thread may compare through
// one without locking. Only building them takes the cache's lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "lib/code_page.h"

namespace veldor {

struct TLanguage {
  const char* Name;
  uint16_t Id;
};

// The 99 languages in their fixed order, "ANSI Standard" (0) first.
const std::vector<TLanguage>& LanguageList();
bool LanguageNameValid(std::string_view name);  // without regard to case
// The identifier of the first language of that name (without regard to case); 0 if none.
uint16_t LanguageIdOfName(std::string_view name);
// "Default Order", and for the five German languages "German Phone Book Order".
std::vector<std::string> SortOrderNames(uint16_t language);
bool SortOrderValid(uint16_t language, std::string_view name);
// Position of the sort order in the language's list; -1 when it has no such order.
int SortIdOfName(uint16_t language, std::string_view name);
// sort x 65536 + language.
inline uint32_t LocaleOf(uint16_t language, uint16_t sort) {
  return uint32_t(sort) * 65536u + language;
}
// True for language 0, and for a language and sort that ICU can collate: the identifier
// maps to an ICU locale, the sort is one the language offers, and a collator opens.
bool LocaleInstalled(uint16_t language, uint16_t sort);

struct TCollatorSet;  // the ICU collators of one collation (defined in the implementation)

// One collation, ready to use. Obtain it with GetCollation; never destroyed while the
// process runs, so references may be kept (a table keeps its own).
class TCollation {
 public:
  TCollation(uint16_t language, uint16_t sort);
  ~TCollation();
  TCollation(const TCollation&) = delete;
  TCollation& operator=(const TCollation&) = delete;

  uint16_t Language() const { return Language_; }
  uint16_t Sort() const { return Sort_; }
  // False when the collation is not installed: comparisons then fall back to ICU's root
  // collation so that nothing crashes, but tables refuse to open with it.
  bool Installed() const { return Installed_; }

  // -1, 0 or 1. `length` 0 compares the whole NUL-terminated strings, otherwise at most
  // `length` characters of each (stopping at a NUL). Language 0: bytes as unsigned values,
  // a prefix sorting first, after upper-casing both when `caseInsensitive`. Otherwise the
  // locale's comparison with punctuation significant and non-spacing marks ignored, case
  // ignored when `caseInsensitive`.
  int Compare(const char* a, const char* b, size_t length, bool caseInsensitive) const;
  // The same on counted strings (no NUL needed).
  int Compare(std::string_view a, std::string_view b, bool caseInsensitive) const;
  // Language 0: unsigned bytes; else the locale's comparison of the one-character strings.
  int CompareChars(uint8_t a, uint8_t b) const;
  // Case mapping in place, character by character, by the locale (US English for 0).
  void ToUpper(char* text, size_t length) const;
  void ToLower(char* text, size_t length) const;
  uint8_t UpperOf(uint8_t c) const { return Upper_[c]; }
  uint8_t LowerOf(uint8_t c) const { return Lower_[c]; }
  // The 256 byte values in collation order (case and marks significant); entry 0 is the
  // lowest character. Identity for language 0.
  const std::array<uint8_t, 256>& CharacterOrder() const { return Order_; }

 private:
  int CompareUnicode(std::string_view a, std::string_view b, bool caseInsensitive) const;

  uint16_t Language_, Sort_;
  bool Installed_ = false;
  std::unique_ptr<TCollatorSet> Collators_;
  std::array<uint8_t, 256> Upper_{}, Lower_{}, Order_{};
};

// The collation of (language, sort), built on first use.
const TCollation& GetCollation(uint16_t language, uint16_t sort);

// Convenience forms that look the collation up on each call; hot paths keep a
// TCollation reference instead.
int CompareStrings(uint16_t language, uint16_t sort, const char* a, const char* b, size_t length,
                   bool caseInsensitive);
int CompareChars(uint16_t language, uint16_t sort, uint8_t a, uint8_t b);
void UpperCase(uint16_t language, uint16_t sort, char* text, size_t length);
void LowerCase(uint16_t language, uint16_t sort, char* text, size_t length);

// The process-wide cache of character orders by (language, sort).
class TLanguageCharMapsList {
 public:
  // Under the list's lock: the cached order of (language, sort), built and added on first
  // request. The returned bytes live until the process ends.
  const uint8_t* GetCharacterOrder(uint16_t language, uint16_t sort);

 private:
  struct TEntry {
    uint16_t Language, Sort;
    const uint8_t* Order;
  };
  std::mutex Lock_;  // guards Entries_
  std::vector<TEntry> Entries_;
};

TLanguageCharMapsList& LanguageCharMaps();

}  // namespace veldor
