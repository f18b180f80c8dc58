#include "lib/collation.h"
#include "lib/name_text.h"

#include <unicode/ucol.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <map>

namespace veldor {
namespace {

const TLanguage kLanguages[] = {
    {"ANSI Standard", 0x0000},
    {"Afrikaans", 0x0436},
    {"Albanian", 0x041C},
    {"Arabic (Saudi Arabia)", 0x0401},
    {"Arabic (Iraq)", 0x0801},
    {"Arabic (Egypt)", 0x0C01},
    {"Arabic (Libya)", 0x1001},
    {"Arabic (Algeria)", 0x1401},
    {"Arabic (Morocco)", 0x1801},
    {"Arabic (Tunisia)", 0x1C01},
    {"Arabic (Oman)", 0x2001},
    {"Arabic (Yemen)", 0x2401},
    {"Arabic (Syria)", 0x2801},
    {"Arabic (Jordan)", 0x2C01},
    {"Arabic (Lebanon)", 0x3001},
    {"Arabic (Kuwait)", 0x3401},
    {"Arabic (U.A.E)", 0x3801},
    {"Arabic (Bahrain)", 0x3C01},
    {"Arabic (Qatar)", 0x4001},
    {"Basque", 0x042D},
    {"Belarusian", 0x0423},
    {"Bulgarian", 0x0402},
    {"Catalan", 0x0403},
    {"Croatian", 0x041A},
    {"Czech", 0x0405},
    {"Danish", 0x0406},
    {"Dutch (Standard)", 0x0413},
    {"Dutch (Belgian)", 0x0813},
    {"English (USA)", 0x0409},
    {"English (UK)", 0x0809},
    {"English (Australian)", 0x0C09},
    {"English (Canadian)", 0x1009},
    {"English (New Zealand)", 0x1409},
    {"English (Irish)", 0x1809},
    {"English (South Africa)", 0x1C09},
    {"English (Jamaica)", 0x2009},
    {"English (Caribbean)", 0x2409},
    {"English (Belize)", 0x2809},
    {"English (Trinidad)", 0x2C09},
    {"Estonian", 0x0425},
    {"Faeroese", 0x0438},
    {"Farsi", 0x0429},
    {"Finnish", 0x040B},
    {"French (Standard)", 0x040C},
    {"French (Belgian)", 0x080C},
    {"French (Canadian)", 0x0C0C},
    {"French (Swiss)", 0x100C},
    {"French (Luxembourg)", 0x140C},
    {"German (Standard)", 0x0407},
    {"German (Swiss)", 0x0807},
    {"German (Austrian)", 0x0C07},
    {"German (Luxembourg)", 0x1007},
    {"German (Liechtenstein)", 0x1407},
    {"Greek", 0x0408},
    {"Hebrew", 0x040D},
    {"Hungarian", 0x040E},
    {"Icelandic", 0x040F},
    {"Indonesian", 0x0421},
    {"Italian (Standard)", 0x0410},
    {"Italian (Swiss)", 0x0810},
    {"Latvian", 0x0426},
    {"Lithuanian", 0x0427},
    {"Norwegian (Bokmal)", 0x0414},
    {"Norwegian (Nynorsk)", 0x0814},
    {"Polish", 0x0415},
    {"Portuguese (Standard)", 0x0816},
    {"Portuguese (Brazilian)", 0x0416},
    {"Romanian", 0x0418},
    {"Russian", 0x0419},
    {"Serbian (Latin)", 0x081A},
    {"Serbian (Cyrillic)", 0x0C1A},
    {"Slovak", 0x041B},
    {"Slovenian", 0x0424},
    {"Spanish (Castilian)", 0x040A},
    {"Spanish (Mexican)", 0x080A},
    {"Spanish (Modern)", 0x0C0A},
    {"Spanish (Guatemala)", 0x100A},
    {"Spanish (Costa Rica)", 0x140A},
    {"Spanish (Panama)", 0x180A},
    {"Spanish (Dominican Republic)", 0x1C0A},
    {"Spanish (Venezuela)", 0x200A},
    {"Spanish (Colombia)", 0x240A},
    {"Spanish (Peru)", 0x280A},
    {"Spanish (Argentina)", 0x2C0A},
    {"Spanish (Ecuador)", 0x300A},
    {"Spanish (Chile)", 0x340A},
    {"Spanish (Uruguay)", 0x380A},
    {"Spanish (Paraguay)", 0x3C0A},
    {"Spanish (Bolivia)", 0x400A},
    {"Spanish (El Salvador)", 0x440A},
    {"Spanish (Honduras)", 0x480A},
    {"Spanish (Nicaragua)", 0x4C0A},
    {"Spanish (Puerto Rico)", 0x500A},
    {"Swedish (Standard)", 0x041D},
    {"Swedish (Finland)", 0x081D},
    {"Thai", 0x041E},
    {"Turkish", 0x041F},
    {"Ukranian", 0x0422},
    {"Vietnamese", 0x042A},
};

bool IsGerman(uint16_t language) {
  return language == 0x0407 || language == 0x0807 || language == 0x0C07 || language == 0x1007 ||
         language == 0x1407;
}

// The ICU locale name of a collation, or "" when the identifier has none.
std::string IcuLocale(uint16_t language, uint16_t sort) {
  if (language == 0) return "en_US";
  char name[ULOC_FULLNAME_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = uloc_getLocaleForLCID(language, name, sizeof name, &status);
  if (U_FAILURE(status) || length <= 0) return "";
  std::string locale(name, size_t(length));
  if (sort == 1) locale += "@collation=phonebook";
  return locale;
}

bool SortValid(uint16_t language, uint16_t sort) {
  return sort == 0 || (sort == 1 && IsGerman(language));
}

// Text in UTF-16 for ICU, by table; short strings stay on the stack.
class TUnicodeText {
 public:
  explicit TUnicodeText(std::string_view text) {
    Length_ = int32_t(text.size());
    if (text.size() > kInline) Heap_.resize(text.size());
    UChar* out = Data();
    for (size_t i = 0; i < text.size(); ++i) out[i] = Windows1252ToUnicode(uint8_t(text[i]));
  }
  const UChar* Data() const { return Heap_.empty() ? Inline_ : Heap_.data(); }
  UChar* Data() { return Heap_.empty() ? Inline_ : Heap_.data(); }
  int32_t Length() const { return Length_; }

 private:
  static constexpr size_t kInline = 256;
  UChar Inline_[kInline];
  std::vector<UChar> Heap_;
  int32_t Length_;
};

size_t BoundedLength(const char* s, size_t limit) {
  size_t n = 0;
  while ((limit == 0 || n < limit) && s[n] != 0) ++n;
  return n;
}

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

}  // namespace

// The collators of one collation: case-sensitive and case-insensitive comparison (primary
// strength, with or without the case level) and the tertiary one for character orders.
struct TCollatorSet {
  UCollator* WithCase = nullptr;
  UCollator* NoCase = nullptr;
  UCollator* Tertiary = nullptr;
  ~TCollatorSet() {
    for (UCollator* c : {WithCase, NoCase, Tertiary})
      if (c) ucol_close(c);
  }
};

// ---- Language list -----------------------------------------------------------------------

const std::vector<TLanguage>& LanguageList() {
  static const std::vector<TLanguage> list(std::begin(kLanguages), std::end(kLanguages));
  return list;
}

bool LanguageNameValid(std::string_view name) {
  for (const TLanguage& l : kLanguages)
    if (EqualsIgnoreCase(l.Name, name)) return true;
  return false;
}

uint16_t LanguageIdOfName(std::string_view name) {
  for (const TLanguage& l : kLanguages)
    if (EqualsIgnoreCase(l.Name, name)) return l.Id;
  return 0;
}

std::vector<std::string> SortOrderNames(uint16_t language) {
  std::vector<std::string> names{"Default Order"};
  if (IsGerman(language)) names.push_back("German Phone Book Order");
  return names;
}

int SortIdOfName(uint16_t language, std::string_view name) {
  std::vector<std::string> names = SortOrderNames(language);
  for (size_t i = 0; i < names.size(); ++i)
    if (EqualsIgnoreCase(names[i], name)) return int(i);
  return -1;
}

bool SortOrderValid(uint16_t language, std::string_view name) {
  return SortIdOfName(language, name) >= 0;
}

bool LocaleInstalled(uint16_t language, uint16_t sort) {
  if (language == 0) return true;
  return GetCollation(language, sort).Installed();
}

// ---- TCollation --------------------------------------------------------------------------

TCollation::TCollation(uint16_t language, uint16_t sort)
    : Language_(language), Sort_(sort), Collators_(std::make_unique<TCollatorSet>()) {
  std::string locale = IcuLocale(language, sort);
  bool mapped = !locale.empty() && SortValid(language, sort);
  auto open = [&](UColAttributeValue strength, UColAttributeValue caseLevel) -> UCollator* {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* c = ucol_open(mapped ? locale.c_str() : "", &status);
    if (U_FAILURE(status)) return nullptr;
    ucol_setAttribute(c, UCOL_STRENGTH, strength, &status);
    ucol_setAttribute(c, UCOL_CASE_LEVEL, caseLevel, &status);
    ucol_setAttribute(c, UCOL_ALTERNATE_HANDLING, UCOL_NON_IGNORABLE, &status);
    if (U_FAILURE(status)) {
      ucol_close(c);
      return nullptr;
    }
    return c;
  };
  // Language 0 compares bytes and never asks a collator: opening ICU's would cost the
  // first table of a process more than all the rest of its open.
  if (language != 0) {
    Collators_->WithCase = open(UCOL_PRIMARY, UCOL_ON);
    Collators_->NoCase = open(UCOL_PRIMARY, UCOL_OFF);
    Collators_->Tertiary = open(UCOL_TERTIARY, UCOL_OFF);
  }
  bool opened = Collators_->WithCase && Collators_->NoCase && Collators_->Tertiary;
  Installed_ = language == 0 || (mapped && opened);

  // Case tables, one character at a time, so that mapping a string is a lookup.
  std::string caseLocale = mapped ? locale : "en_US";
  for (int c = 0; c < 256; ++c) {
    Upper_[c] = Lower_[c] = uint8_t(c);
    UChar in[1] = {Windows1252ToUnicode(uint8_t(c))};
    for (int upper = 0; upper < 2; ++upper) {
      UChar out[8];
      UErrorCode status = U_ZERO_ERROR;
      int32_t n = upper ? u_strToUpper(out, 8, in, 1, caseLocale.c_str(), &status)
                        : u_strToLower(out, 8, in, 1, caseLocale.c_str(), &status);
      // A character whose case form is not one Windows-1252 character keeps its value.
      if (U_SUCCESS(status) && n == 1) {
        uint8_t mappedByte = UnicodeToWindows1252(out[0], uint8_t(c));
        (upper ? Upper_ : Lower_)[c] = mappedByte;
      }
    }
  }

  for (int c = 0; c < 256; ++c) Order_[c] = uint8_t(c);
  if (language != 0 && Collators_->Tertiary) {
    UCollator* tertiary = Collators_->Tertiary;
    std::sort(Order_.begin(), Order_.end(), [tertiary](uint8_t a, uint8_t b) {
      UChar ua = Windows1252ToUnicode(a), ub = Windows1252ToUnicode(b);
      return ucol_strcoll(tertiary, &ua, 1, &ub, 1) == UCOL_LESS;
    });
  }
}

TCollation::~TCollation() = default;

int TCollation::CompareUnicode(std::string_view a, std::string_view b,
                               bool caseInsensitive) const {
  UCollator* collator = caseInsensitive ? Collators_->NoCase : Collators_->WithCase;
  if (collator == nullptr) return Sign(a.compare(b));
  TUnicodeText ua(a), ub(b);
  return int(ucol_strcoll(collator, ua.Data(), ua.Length(), ub.Data(), ub.Length()));
}

int TCollation::Compare(std::string_view a, std::string_view b, bool caseInsensitive) const {
  if (Language_ != 0) return CompareUnicode(a, b, caseInsensitive);
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    uint8_t ca = uint8_t(a[i]), cb = uint8_t(b[i]);
    if (caseInsensitive) {
      ca = Upper_[ca];
      cb = Upper_[cb];
    }
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

int TCollation::Compare(const char* a, const char* b, size_t length, bool caseInsensitive) const {
  return Compare(std::string_view(a, BoundedLength(a, length)),
                 std::string_view(b, BoundedLength(b, length)), caseInsensitive);
}

int TCollation::CompareChars(uint8_t a, uint8_t b) const {
  if (Language_ == 0) return a < b ? -1 : a > b ? 1 : 0;
  char ca = char(a), cb = char(b);
  return CompareUnicode(std::string_view(&ca, 1), std::string_view(&cb, 1), false);
}

void TCollation::ToUpper(char* text, size_t length) const {
  for (size_t i = 0; i < length; ++i) text[i] = char(Upper_[uint8_t(text[i])]);
}

void TCollation::ToLower(char* text, size_t length) const {
  for (size_t i = 0; i < length; ++i) text[i] = char(Lower_[uint8_t(text[i])]);
}

// ---- The collation cache -----------------------------------------------------------------

const TCollation& GetCollation(uint16_t language, uint16_t sort) {
  static std::mutex lock;  // guards collations
  static std::map<uint32_t, std::unique_ptr<TCollation>> collations;
  std::lock_guard<std::mutex> guard(lock);
  auto& slot = collations[LocaleOf(language, sort)];
  if (!slot) slot = std::make_unique<TCollation>(language, sort);
  return *slot;
}

int CompareStrings(uint16_t language, uint16_t sort, const char* a, const char* b, size_t length,
                   bool caseInsensitive) {
  return GetCollation(language, sort).Compare(a, b, length, caseInsensitive);
}

int CompareChars(uint16_t language, uint16_t sort, uint8_t a, uint8_t b) {
  return GetCollation(language, sort).CompareChars(a, b);
}

void UpperCase(uint16_t language, uint16_t sort, char* text, size_t length) {
  GetCollation(language, sort).ToUpper(text, length);
}

void LowerCase(uint16_t language, uint16_t sort, char* text, size_t length) {
  GetCollation(language, sort).ToLower(text, length);
}

const uint8_t* TLanguageCharMapsList::GetCharacterOrder(uint16_t language, uint16_t sort) {
  std::lock_guard<std::mutex> guard(Lock_);
  for (const TEntry& e : Entries_)
    if (e.Language == language && e.Sort == sort) return e.Order;
  if (Entries_.capacity() == 0) Entries_.reserve(256);
  const uint8_t* order = GetCollation(language, sort).CharacterOrder().data();
  Entries_.push_back({language, sort, order});
  return order;
}

TLanguageCharMapsList& LanguageCharMaps() {
  static TLanguageCharMapsList list;
  return list;
}

}  // namespace veldor
