// What the pieces of the `veldor` command-line tool share: its two kinds of failure, the
// splitting of command and definition lines into words, and the progress line.
//
// The tool is single-threaded; nothing here is shared between threads. Errors of the
// engine reach the tool's top level as `EVELDOREngineError` and are printed there with the
// engine's message; the tool's own failures are `TToolError` (bad input: exit status 1)
// and `TUsageError` (a command line the tool does not understand: exit status 2).
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace veldor::tool {

// Bad input: a malformed definition or CSV file, a value that does not fit its field, a
// table that does not exist.
class TToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command line the tool does not understand.
class TUsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One word of a line, and whether it was quoted (a quoted word is never a keyword).
struct TWord {
  std::string Text;
  bool Quoted = false;
};

// Splits a line into words at blanks. A word in single or double quotes keeps its blanks;
// inside, the quote doubled stands for itself ('it''s'). Outside quotes "#" at the start
// of a word ends the line and, when `separator` is not 0, that character ends a command
// (the rest goes to `rest`, which is cleared otherwise). An unclosed quote raises
// TToolError.
std::vector<TWord> SplitWords(std::string_view line, char separator = 0, std::string* rest = nullptr);

// Text in single quotes, inner quotes doubled: what SplitWords reads back as one word.
std::string Quoted(std::string_view text);
// The text as it is when SplitWords reads it back unchanged as one word, else Quoted.
std::string WordOf(std::string_view text);

// Case-insensitive comparison of ASCII words.
bool SameWord(std::string_view a, std::string_view b);

// A percentage on one line of standard error, redrawn in place; shown only when standard
// error is a terminal. The line is erased when the object goes.
class TProgressLine {
 public:
  explicit TProgressLine(std::string label);
  ~TProgressLine();
  TProgressLine(const TProgressLine&) = delete;
  TProgressLine& operator=(const TProgressLine&) = delete;
  void Show(int percent);

 private:
  std::string Label_;
  bool Terminal_;
  bool Shown_ = false;
  int Last_ = -1;
};

}  // namespace veldor::tool
