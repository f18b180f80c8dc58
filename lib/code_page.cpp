#include "lib/code_page.h"

#include <cstdio>

namespace veldor {
namespace {

// Code points of 0x80..0x9F; every other byte is its own code point. The five bytes the
// code page leaves undefined keep their C1 value.
const uint16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// Decodes the sequence at `at`: its code point and length, or false (with the length of
// the bad bytes, at least 1) when it is not well-formed UTF-8.
bool DecodeUtf8(std::string_view s, size_t at, uint32_t& codePoint, size_t& length) {
  const uint8_t b = uint8_t(s[at]);
  size_t need;
  uint32_t c, minimum;
  if (b < 0x80) {
    codePoint = b;
    length = 1;
    return true;
  } else if (b >= 0xC2 && b <= 0xDF) {
    need = 1, c = b & 0x1F, minimum = 0x80;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 2, c = b & 0x0F, minimum = 0x800;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 3, c = b & 0x07, minimum = 0x10000;
  } else {
    length = 1;  // a continuation byte alone, an overlong lead (C0, C1) or F5..FF
    return false;
  }
  size_t i = 1;
  for (; i <= need; ++i) {
    if (at + i >= s.size() || (uint8_t(s[at + i]) & 0xC0) != 0x80) {
      length = i;
      return false;
    }
    c = (c << 6) | (uint8_t(s[at + i]) & 0x3F);
  }
  length = i;
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  codePoint = c;
  return true;
}

}  // namespace

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += char(c);
  } else if (c < 0x800) {
    out += char(0xC0 | (c >> 6));
    out += char(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += char(0xE0 | (c >> 12));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  } else {
    out += char(0xF0 | (c >> 18));
    out += char(0x80 | ((c >> 12) & 0x3F));
    out += char(0x80 | ((c >> 6) & 0x3F));
    out += char(0x80 | (c & 0x3F));
  }
}

uint16_t Windows1252ToUnicode(uint8_t c) {
  return c >= 0x80 && c <= 0x9F ? kHighControls[c - 0x80] : c;
}

uint8_t UnicodeToWindows1252(uint32_t codePoint, uint8_t fallback) {
  if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) return uint8_t(codePoint);
  for (int i = 0; i < 32; ++i)
    if (kHighControls[i] == codePoint) return uint8_t(0x80 + i);
  return fallback;
}

bool Utf8ToWindows1252(std::string_view utf8, std::string& out, TCodePageProblem& problem) {
  out.clear();
  out.reserve(utf8.size());
  for (size_t at = 0; at < utf8.size();) {
    // Runs of ASCII, the common case, go across as they are.
    if (uint8_t(utf8[at]) < 0x80) {
      out += utf8[at++];
      continue;
    }
    uint32_t c = 0;
    size_t length = 0;
    if (!DecodeUtf8(utf8, at, c, length)) {
      problem = TCodePageProblem{at, length, 0, true};
      return false;
    }
    // 0 serves as "none": NUL is ASCII and never comes here.
    const uint8_t byte = UnicodeToWindows1252(c, 0);
    if (byte == 0) {
      problem = TCodePageProblem{at, length, c, false};
      return false;
    }
    out += char(byte);
    at += length;
  }
  return true;
}

std::string Windows1252ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    if (uint8_t(c) < 0x80)
      out += c;
    else
      AppendUtf8(out, Windows1252ToUnicode(uint8_t(c)));
  }
  return out;
}

std::string CodePageProblemText(std::string_view utf8, const TCodePageProblem& problem) {
  char code[16];
  if (!problem.Malformed) {
    std::snprintf(code, sizeof code, "U+%04X", unsigned(problem.CodePoint));
    return "the character '" + std::string(utf8.substr(problem.Offset, problem.Length)) + "' (" + code +
           ") has no place in Windows-1252";
  }
  std::string bytes;
  for (size_t i = 0; i < problem.Length && problem.Offset + i < utf8.size(); ++i) {
    std::snprintf(code, sizeof code, "%s%02x", i == 0 ? "" : " ", unsigned(uint8_t(utf8[problem.Offset + i])));
    bytes += code;
  }
  return (problem.Length == 1 ? "the byte " : "the bytes ") + bytes + (problem.Length == 1 ? " is" : " are") +
         " not UTF-8";
}

std::string Utf8ToWindows1252(std::string_view utf8) {
  std::string out;
  TCodePageProblem problem;
  if (!Utf8ToWindows1252(utf8, out, problem)) throw ECodePageError(CodePageProblemText(utf8, problem), problem);
  return out;
}

}  // namespace veldor
