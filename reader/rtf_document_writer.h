// The output side of the RTF reader: turns text with RTF character and paragraph
// properties into the blocks and fragments of a QTextDocument. It owns the document's font
// and colour tables as the RTF text declared them, and buffers text into runs of equal
// properties, so that a long text is inserted a run at a time, never a character at a time.
//
// It does not read RTF: the interpreter (rtf_reader.cpp) decides what is text and with
// which properties. One writer fills one document, in the document's thread.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>
#include <QTextCursor>
#include <QTextFormat>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "reader/rtf_code_page.h"

class QTextDocument;

namespace veldor {

// Character properties of RTF text. Numbers index the font and colour tables; -1 is "none
// given" (the default font, the automatic colour).
struct TRtfCharacterProps {
  int Font = -1;
  int HalfPoints = 24;
  bool Bold = false;
  bool Italic = false;
  bool Strike = false;
  bool Hidden = false;  // hidden text is not shown at all
  uint8_t Underline = 0;  // a QTextCharFormat::UnderlineStyle
  uint8_t Capitals = 0;   // a QFont::Capitalization
  int8_t Vertical = 0;    // 1 superscript, -1 subscript
  int Foreground = -1;
  int Background = -1;
  int Highlight = -1;  // shown in place of Background when set
  bool operator==(const TRtfCharacterProps&) const = default;
};

// Paragraph properties; lengths are in twips (1/1440 inch), as RTF gives them.
struct TRtfParagraphProps {
  Qt::Alignment Alignment = Qt::AlignLeft;
  int LeftIndent = 0;
  int RightIndent = 0;
  int FirstIndent = 0;
  int SpaceBefore = 0;
  int SpaceAfter = 0;
  bool operator==(const TRtfParagraphProps&) const = default;
};

struct TRtfFont {
  QString Family;  // empty: the document's default family
  int CodePage = kRtfDefaultCodePage;
  QFont::StyleHint Hint = QFont::AnyStyle;
};

class TRtfDocumentWriter {
 public:
  // Clears `document` and writes into it; the document must outlive the writer.
  explicit TRtfDocumentWriter(QTextDocument& document);
  TRtfDocumentWriter(const TRtfDocumentWriter&) = delete;
  TRtfDocumentWriter& operator=(const TRtfDocumentWriter&) = delete;

  void SetDocumentCodePage(int codePage) { documentCodePage_ = codePage; }
  int DocumentCodePage() const { return documentCodePage_; }
  void SetDefaultFont(int number) { defaultFont_ = number; }
  // A later entry of the same number replaces an earlier one.
  void AddFont(int number, TRtfFont font) { fonts_[number] = std::move(font); }
  // nullopt is the automatic colour (the usual empty first entry).
  void AddColor(std::optional<QColor> color) { colors_.push_back(color); }

  // The code page in which text of font `font` is written.
  int CodePageOf(int font) const;
  TRtfDecoder& Decoder() { return decoder_; }

  // Text bytes in the code page of the properties' font.
  void AppendBytes(const TRtfCharacterProps& props, std::string_view bytes);
  void AppendCharacter(const TRtfCharacterProps& props, char16_t character);
  // Ends the current paragraph, giving it `paragraph`, and starts the next.
  void EndParagraph(const TRtfParagraphProps& paragraph);
  // Writes what is buffered; the last paragraph takes `paragraph`. Call once, at the end.
  void Finish(const TRtfParagraphProps& paragraph);

 private:
  void StartRun(const TRtfCharacterProps& props);
  void DecodeBytes();
  void FlushRun();
  const TRtfFont* FontOf(int font) const;
  std::optional<QColor> ColorOf(int index) const;
  QTextCharFormat CharFormatOf(const TRtfCharacterProps& props) const;

  QTextCursor cursor_;
  TRtfDecoder decoder_;
  int documentCodePage_ = kRtfDefaultCodePage;
  int defaultFont_ = -1;
  std::map<int, TRtfFont> fonts_;
  std::vector<std::optional<QColor>> colors_;

  // The run being gathered: text already decoded, then bytes still in the run's code page.
  bool inRun_ = false;
  TRtfCharacterProps runProps_;
  int runCodePage_ = kRtfDefaultCodePage;
  QString runText_;
  std::string runBytes_;
};

}  // namespace veldor
