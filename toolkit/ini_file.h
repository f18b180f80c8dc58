// Reader of INI profile files: "[Section]" headers and "Key=Value" lines.
//
// `TIniFile` reads the whole file once, when made, and owns the parsed sections; it never
// writes. Section and key names compare without regard to ASCII case; the first of two
// equal keys in a section wins, as do the keys of the first of two equal sections. Bytes
// are taken as they are (file and directory names in values are never converted).
// Immutable after construction: safe to read from any thread.
#pragma once

#include <string>
#include <vector>

#include "lib/exception.h"

namespace veldor {

// A profile file that cannot be read or that is not in INI form, naming the file and,
// for a malformed line, its number.
class EIniFileError : public Exception {
 public:
  using Exception::Exception;
};

class TIniFile {
 public:
  // Reads `fileName`. A missing file is an empty profile (every read gives its default),
  // as the profile's default values are meant for it. A file that exists but cannot be
  // read, and a malformed line, raise EIniFileError. Lines are, after leading and
  // trailing blanks: empty; a comment starting with ";" or "#"; "[name]" (blanks inside
  // the brackets trimmed); or "key=value" with key and value trimmed and one pair of
  // matching quotes ('...' or "...") around the value removed. A line of anything else,
  // a header without its "]" or with text after it, an empty key, a key before the first
  // section and a NUL byte are malformed. A UTF-8 byte order mark at the start is skipped.
  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return FileName_; }
  // The value of `key` in `section`, or `defaultValue` when either is missing.
  std::string ReadString(const std::string& section, const std::string& key,
                         const std::string& defaultValue) const;
  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;

 private:
  struct TEntry {
    std::string Key;
    std::string Value;
  };
  struct TSection {
    std::string Name;
    std::vector<TEntry> Entries;
  };
  void Parse(const std::string& text);
  const TSection* FindSection(const std::string& name) const;
  const TEntry* Find(const std::string& section, const std::string& key) const;

  std::string FileName_;
  std::vector<TSection> Sections_;
};

}  // namespace veldor
