// Comparisons of names as the engine makes them: table, field, index, language and option
// names are compared without regard to ASCII case, after trimming blanks. Names are 8-bit
// Windows-1252 text; only A-Z and a-z fold. Pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>

namespace veldor {

inline char FoldAsciiUpper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// Leading and trailing blanks (and tabs) removed.
inline std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

inline std::string Trimmed(std::string_view s) { return std::string(TrimBlanks(s)); }

// Every character up to and including the space removed from both ends (names and paths
// given by users, where stray control characters are as meaningless as blanks).
inline std::string TrimControls(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') s.remove_suffix(1);
  return std::string(s);
}

inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAsciiUpper(a[i]) != FoldAsciiUpper(b[i])) return false;
  return true;
}

// Equal without regard to case once both are trimmed: how names identify things.
inline bool SameName(std::string_view a, std::string_view b) {
  return EqualsIgnoreCase(TrimBlanks(a), TrimBlanks(b));
}

inline bool EndsWithIgnoreCase(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && EqualsIgnoreCase(s.substr(s.size() - suffix.size()), suffix);
}

}  // namespace veldor
