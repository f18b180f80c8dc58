// The rich text of a Brevarion library's entries: writing text into RTF so that every
// character survives, making an RTF document of a plain text file, recognising an RTF
// document, and counting the words of a text.
//
// The RTF written here is 7-bit ASCII throughout: a character Windows-1252 holds is written
// as \'hh (the document declares code page 1252), any other as \uN? (N the signed 16-bit
// UTF-16 unit, two of them for characters beyond U+FFFF, "?" the stand-in for readers that
// do not know \u). Pure functions; safe from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veldor::tool {

// Appends Windows-1252 text to an RTF body: "\", "{" and "}" escaped, a tab as \tab,
// other control characters and bytes from 0x80 as \'hh. Line breaks are the caller's.
void AppendRtfText(std::string& rtf, std::string_view text);

// Appends UTF-8 text the same way, characters outside Windows-1252 as \uN?. Returns false,
// with part of the text appended, when `utf8` is not UTF-8.
bool AppendRtfUtf8(std::string& rtf, std::string_view utf8);

// The opening of the documents made here, up to and including the first \pard: RTF 1,
// code page 1252, one byte of stand-in after \u, and the font table `fonts` (the text
// between the braces of \fonttbl) and colour table `colours` (likewise; empty for none).
std::string RtfPrologue(std::string_view fonts, std::string_view colours);

// An RTF document holding the text of a plain text file: UTF-8, or Windows-1252 when the
// bytes are not UTF-8 (a byte order mark is dropped). Lines that follow each other are
// kept apart by \line; one or more blank lines (empty, or blanks only) end a paragraph.
// Leading and trailing blank lines are dropped; every other character is kept.
std::string RtfOfPlainText(std::string_view bytes);

// Whether `bytes` starts as an RTF document does ("{\rtf").
bool LooksLikeRtf(std::string_view bytes);

// The number of words in UTF-8 text: runs of characters between blanks (space, tab, line
// and page breaks) that hold at least one letter or digit, a letter being an ASCII letter
// or any character from U+00C0 on that is not a sign (× ÷, and the punctuation, arrow and
// symbol blocks U+2000 to U+2BFF). Dashes and quotes standing alone are no words.
size_t CountWords(std::string_view utf8);

}  // namespace veldor::tool
