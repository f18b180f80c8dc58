#include "toolkit/ini_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

#include "lib/name_text.h"

namespace veldor {

namespace {

std::string_view TrimAll(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : FileName_(std::move(fileName)) {
  struct stat info;
  if (::stat(FileName_.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return;  // no file: every read gives its default
    throw EIniFileError("Cannot read the profile file '" + FileName_ + "': " + std::strerror(errno));
  }
  if (!S_ISREG(info.st_mode))
    throw EIniFileError("Cannot read the profile file '" + FileName_ + "': not a regular file");
  std::ifstream in(FileName_, std::ios::binary);
  if (!in) throw EIniFileError("Cannot read the profile file '" + FileName_ + "'");
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw EIniFileError("Cannot read the profile file '" + FileName_ + "'");
  Parse(content.str());
}

void TIniFile::Parse(const std::string& text) {
  std::string_view rest(text);
  if (rest.substr(0, 3) == "\xEF\xBB\xBF") rest.remove_prefix(3);
  int lineNumber = 0;
  TSection* current = nullptr;
  while (!rest.empty()) {
    size_t end = rest.find('\n');
    std::string_view raw = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    ++lineNumber;
    auto malformed = [&](const char* why) {
      throw EIniFileError("The profile file '" + FileName_ + "' is malformed at line " +
                          std::to_string(lineNumber) + ": " + why);
    };
    if (raw.find('\0') != std::string_view::npos) malformed("a NUL byte");
    std::string_view line = TrimAll(raw);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      if (close == std::string_view::npos) malformed("a section header without ']'");
      if (!TrimAll(line.substr(close + 1)).empty()) malformed("text after a section header");
      std::string name(TrimAll(line.substr(1, close - 1)));
      current = nullptr;
      for (TSection& s : Sections_)
        if (EqualsIgnoreCase(s.Name, name)) current = &s;
      if (!current) {
        Sections_.push_back({name, {}});
        current = &Sections_.back();
      }
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string_view::npos) malformed("neither a section header nor key=value");
    std::string_view key = TrimAll(line.substr(0, equals));
    std::string_view value = TrimAll(line.substr(equals + 1));
    if (key.empty()) malformed("an empty key");
    if (!current) malformed("a key before the first section");
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
      value = value.substr(1, value.size() - 2);
    bool seen = false;
    for (const TEntry& e : current->Entries)
      if (EqualsIgnoreCase(e.Key, key)) seen = true;
    if (!seen) current->Entries.push_back({std::string(key), std::string(value)});
  }
}

const TIniFile::TSection* TIniFile::FindSection(const std::string& name) const {
  std::string_view wanted = TrimAll(name);
  for (const TSection& s : Sections_)
    if (EqualsIgnoreCase(s.Name, wanted)) return &s;
  return nullptr;
}

const TIniFile::TEntry* TIniFile::Find(const std::string& section, const std::string& key) const {
  const TSection* s = FindSection(section);
  if (!s) return nullptr;
  std::string_view wanted = TrimAll(key);
  for (const TEntry& e : s->Entries)
    if (EqualsIgnoreCase(e.Key, wanted)) return &e;
  return nullptr;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
  const TEntry* e = Find(section, key);
  return e ? e->Value : defaultValue;
}

bool TIniFile::SectionExists(const std::string& section) const {
  return FindSection(section) != nullptr;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const {
  return Find(section, key) != nullptr;
}

}  // namespace veldor
