// Windows-1252, the code page of all text the engine stores, and its one conversion pair
// with UTF-8, the text of everything outside the engine (command lines, CSV and script
// files, terminals, Qt strings, network clients). Every program converts at that boundary
// through these functions and nowhere else; file and directory names are never converted.
//
// The code page is a table of 256 code points. The five bytes Windows-1252 leaves
// undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) stand for the C1 controls of the same value, so
// that every byte string goes out to UTF-8 and comes back unchanged. A character the code
// page cannot hold, and bytes that are not UTF-8, are refused, never replaced. Pure
// functions over a constant table; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "lib/exception.h"

namespace veldor {

// Code point of a Windows-1252 byte.
uint16_t Windows1252ToUnicode(uint8_t c);
// The Windows-1252 byte of a code point; `fallback` for code points the code page lacks.
uint8_t UnicodeToWindows1252(uint32_t codePoint, uint8_t fallback);

// Why a UTF-8 text could not be converted: the bytes at `Offset` (`Length` of them) are a
// character Windows-1252 has no place for (`CodePoint` set), or are not UTF-8 at all
// (`Malformed`: a stray continuation byte, a sequence cut short, an overlong form, a
// surrogate, or a value above U+10FFFF).
struct TCodePageProblem {
  size_t Offset = 0;
  size_t Length = 0;
  uint32_t CodePoint = 0;
  bool Malformed = false;
};

// The Windows-1252 form of `utf8` in `out` (replaced). On a character it cannot convert it
// returns false with `problem` describing the first one; `out` then holds the text up to it.
bool Utf8ToWindows1252(std::string_view utf8, std::string& out, TCodePageProblem& problem);

// Appends the UTF-8 form of the code point `c` (at most U+10FFFF) to `out`.
void AppendUtf8(std::string& out, uint32_t c);

// The UTF-8 form of Windows-1252 text; every byte has one.
std::string Windows1252ToUtf8(std::string_view text);

// A message for `problem` found in `utf8`: "the character 'Ж' (U+0416) has no place in
// Windows-1252" or "the bytes e2 82 are not UTF-8". The message is UTF-8.
std::string CodePageProblemText(std::string_view utf8, const TCodePageProblem& problem);

// Raised by the throwing form: the message of CodePageProblemText; `Problem` tells where.
class ECodePageError : public Exception {
 public:
  ECodePageError(std::string message, const TCodePageProblem& problem)
      : Exception(std::move(message)), Problem(problem) {}
  TCodePageProblem Problem;
};

// The Windows-1252 form of `utf8`; ECodePageError when it has no such form.
std::string Utf8ToWindows1252(std::string_view utf8);

}  // namespace veldor
