// Words, quoting and the progress line of the veldor tool.

#include "tools/veldor_tool.h"

#include <unistd.h>

#include <cstdio>

namespace veldor::tool {

std::vector<TWord> SplitWords(std::string_view line, char separator, std::string* rest) {
  std::vector<TWord> words;
  if (rest) rest->clear();
  size_t i = 0;
  const size_t n = line.size();
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
  while (i < n) {
    if (blank(line[i])) {
      ++i;
      continue;
    }
    if (separator != 0 && line[i] == separator) {
      if (rest) *rest = std::string(line.substr(i + 1));
      return words;
    }
    if (line[i] == '#') break;
    TWord word;
    // A word runs to the next blank or separator; quoted stretches may sit anywhere in it.
    while (i < n && !blank(line[i]) && !(separator != 0 && line[i] == separator)) {
      const char c = line[i];
      if (c != '\'' && c != '"') {
        word.Text += c;
        ++i;
        continue;
      }
      word.Quoted = true;
      ++i;
      for (;;) {
        if (i >= n) throw TToolError(std::string("the quote ") + c + " is not closed");
        if (line[i] == c) {
          if (i + 1 < n && line[i + 1] == c) {
            word.Text += c;
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        word.Text += line[i++];
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::string Quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

std::string WordOf(std::string_view text) {
  if (text.empty()) return "''";
  for (char c : text)
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\'' || c == '"' || c == '#' || c == ';')
      return Quoted(text);
  return std::string(text);
}

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = char(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

TProgressLine::TProgressLine(std::string label)
    : Label_(std::move(label)), Terminal_(isatty(STDERR_FILENO) == 1) {}

TProgressLine::~TProgressLine() {
  if (!Shown_) return;
  std::fprintf(stderr, "\r%*s\r", int(Label_.size() + 6), "");
  std::fflush(stderr);
}

void TProgressLine::Show(int percent) {
  if (!Terminal_ || percent == Last_) return;
  Last_ = percent;
  Shown_ = true;
  std::fprintf(stderr, "\r%s %3d%%", Label_.c_str(), percent);
  std::fflush(stderr);
}

}  // namespace veldor::tool
