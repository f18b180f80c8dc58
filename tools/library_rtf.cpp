// RTF writing and word counting for the library's entries.

#include "tools/library_rtf.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "lib/code_page.h"

namespace veldor::tool {
namespace {

// UTF-8 is converted a window at a time, so that a text full of characters Windows-1252
// lacks costs one window per character, not the rest of the text each time.
constexpr size_t kWindow = 4096;

void AppendUnit(std::string& rtf, uint32_t unit) {
  const int value = unit > 32767 ? int(unit) - 65536 : int(unit);
  rtf += "\\u" + std::to_string(value) + "?";
}

void AppendCodePoint(std::string& rtf, uint32_t codePoint) {
  if (codePoint <= 0xFFFF) {
    AppendUnit(rtf, codePoint);
    return;
  }
  const uint32_t v = codePoint - 0x10000;
  AppendUnit(rtf, 0xD800 + (v >> 10));
  AppendUnit(rtf, 0xDC00 + (v & 0x3FF));
}

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\v'; }

// The lines of a text, split at LF, CR LF and CR.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\n' && text[i] != '\r') continue;
    lines.push_back(text.substr(start, i - start));
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

bool BlankLine(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) { return Blank(c); });
}

}  // namespace

void AppendRtfText(std::string& rtf, std::string_view text) {
  static const char digits[] = "0123456789abcdef";
  for (char ch : text) {
    const uint8_t c = uint8_t(ch);
    if (c == '\\' || c == '{' || c == '}') {
      rtf += '\\';
      rtf += ch;
    } else if (c == '\t') {
      rtf += "\\tab ";  // the blank ends the control word and is no text
    } else if (c < 0x20 || c >= 0x7F) {
      rtf += "\\'";
      rtf += digits[c >> 4];
      rtf += digits[c & 15];
    } else {
      rtf += ch;
    }
  }
}

bool AppendRtfUtf8(std::string& rtf, std::string_view utf8) {
  std::string piece;
  TCodePageProblem problem;
  for (size_t at = 0; at < utf8.size();) {
    size_t end = std::min(utf8.size(), at + kWindow);
    if (end < utf8.size()) {
      // The window stops before the character the cut would split.
      size_t lead = end;
      while (lead > at && (uint8_t(utf8[lead]) & 0xC0) == 0x80) --lead;
      if (lead > at) end = lead;
    }
    const std::string_view window = utf8.substr(at, end - at);
    const bool whole = Utf8ToWindows1252(window, piece, problem);
    AppendRtfText(rtf, piece);
    if (whole) {
      at = end;
      continue;
    }
    if (problem.Malformed) return false;
    AppendCodePoint(rtf, problem.CodePoint);
    at += problem.Offset + problem.Length;
  }
  return true;
}

std::string RtfPrologue(std::string_view fonts, std::string_view colours) {
  std::string rtf = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1\n{\\fonttbl";
  rtf += fonts;
  rtf += "}\n";
  if (!colours.empty()) {
    rtf += "{\\colortbl";
    rtf += colours;
    rtf += "}\n";
  }
  rtf += "\\pard\\f0\\fs22 ";
  return rtf;
}

std::string RtfOfPlainText(std::string_view bytes) {
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") bytes.remove_prefix(3);
  const std::vector<std::string_view> lines = Lines(bytes);
  // UTF-8 unless some line is not; then the whole file is Windows-1252.
  for (int attempt = 0; attempt < 2; ++attempt) {
    const bool utf8 = attempt == 0;
    std::string rtf = RtfPrologue("{\\f0\\fswiss\\fcharset0 DejaVu Sans;}", "");
    bool wrote = false, pendingBreak = false, pendingParagraph = false, malformed = false;
    for (std::string_view line : lines) {
      if (BlankLine(line)) {
        pendingParagraph = wrote;
        continue;
      }
      if (pendingParagraph)
        rtf += "\\par\n";
      else if (pendingBreak)
        rtf += "\\line\n";
      if (utf8) {
        if (!AppendRtfUtf8(rtf, line)) {
          malformed = true;
          break;
        }
      } else {
        AppendRtfText(rtf, line);
      }
      wrote = true;
      pendingBreak = true;
      pendingParagraph = false;
    }
    if (malformed) continue;
    rtf += "\\par\n}\n";
    return rtf;
  }
  return {};  // not reached: every byte string is Windows-1252
}

bool LooksLikeRtf(std::string_view bytes) { return bytes.substr(0, 5) == "{\\rtf"; }

size_t CountWords(std::string_view utf8) {
  size_t count = 0;
  bool inWord = false, hasLetter = false;
  for (size_t i = 0; i < utf8.size(); ++i) {
    const uint8_t c = uint8_t(utf8[i]);
    if (Blank(char(c)) || c == '\n' || c == '\r') {
      if (inWord && hasLetter) ++count;
      inWord = hasLetter = false;
      continue;
    }
    inWord = true;
    if (c < 0x80) {
      if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) hasLetter = true;
      continue;
    }
    if (c < 0xC0) continue;  // a continuation byte: its character was looked at already
    const size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    uint32_t codePoint = c & (c >= 0xF0 ? 0x07 : c >= 0xE0 ? 0x0F : 0x1F);
    for (size_t k = 1; k < length && i + k < utf8.size(); ++k)
      codePoint = (codePoint << 6) | (uint8_t(utf8[i + k]) & 0x3F);
    if (codePoint >= 0xC0 && codePoint != 0xD7 && codePoint != 0xF7 && !(codePoint >= 0x2000 && codePoint < 0x2C00))
      hasLetter = true;
  }
  if (inWord && hasLetter) ++count;
  return count;
}

}  // namespace veldor::tool
