// The RTF control words the reader understands, and what each one is: a document setting,
// a destination (a group whose text goes somewhere other than the page, or nowhere), a
// font or colour table entry, a character or paragraph property, or a character of text.
// Words missing here are ignored by the reader. The table is built once, on first use,
// and is read-only after that; safe from any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace veldor {

enum class TRtfWord : uint8_t {
  Unknown,
  // Document settings.
  Ansi, Mac, Pc, Pca, AnsiCodePage, DefaultFont,
  // Destinations.
  FontTable, ColorTable, SkippedDestination, Object, ObjectResult,
  // Font table entries (\f is also the character property "font").
  Font, FontCharset, FontCodePage, FontRoman, FontSwiss, FontModern, FontScript,
  FontDecorative, FontTechnical,
  // Colour table entries.
  Red, Green, Blue,
  // Character properties.
  Plain, FontSize, Bold, Italic, Underline, UnderlineDotted, UnderlineDashed,
  UnderlineWave, UnderlineNone, Strike, Caps, SmallCaps, Hidden, Superscript, Subscript,
  NoSuperSub, ForeColor, BackColor, Highlight, UnicodeSkip,
  // Paragraph properties.
  ParagraphDefault, AlignLeft, AlignRight, AlignCenter, AlignJustify, LeftIndent,
  RightIndent, FirstIndent, SpaceBefore, SpaceAfter,
  // Text.
  Paragraph, LineBreak, Tab, Unicode, Character,
};

struct TRtfWordInfo {
  TRtfWord Word = TRtfWord::Unknown;
  char16_t Character = 0;  // the text of TRtfWord::Character words (\emdash, \bullet, ...)
};

// What control word `name` (its letters only) is; Unknown for a word the reader ignores.
TRtfWordInfo LookUpRtfWord(std::string_view name);

// Whether `word` changes the state of the current group (a property, a setting or a table
// entry) rather than making text or opening a destination.
bool IsRtfStateWord(TRtfWord word);

}  // namespace veldor
