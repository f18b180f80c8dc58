#include "reader/rtf_document_writer.h"

#include <QTextFormat>
#include <QTextDocument>

namespace veldor {
namespace {

// Lengths on the page: twips at the 96 dots per inch Qt lays documents out with.
qreal Pixels(int twips) { return twips / 15.0; }

QTextBlockFormat BlockFormatOf(const TRtfParagraphProps& p) {
  QTextBlockFormat format;
  format.setAlignment(p.Alignment);
  format.setLeftMargin(Pixels(p.LeftIndent));
  format.setRightMargin(Pixels(p.RightIndent));
  format.setTextIndent(Pixels(p.FirstIndent));
  format.setTopMargin(Pixels(p.SpaceBefore));
  format.setBottomMargin(Pixels(p.SpaceAfter));
  return format;
}

}  // namespace

TRtfDocumentWriter::TRtfDocumentWriter(QTextDocument& document) {
  document.clear();
  cursor_ = QTextCursor(&document);
  // One edit for the whole text: a view showing the document lays it out once, at the end.
  cursor_.beginEditBlock();
}

int TRtfDocumentWriter::CodePageOf(int font) const {
  const TRtfFont* f = FontOf(font);
  return f ? f->CodePage : documentCodePage_;
}

const TRtfFont* TRtfDocumentWriter::FontOf(int font) const {
  auto found = fonts_.find(font < 0 ? defaultFont_ : font);
  return found == fonts_.end() ? nullptr : &found->second;
}

std::optional<QColor> TRtfDocumentWriter::ColorOf(int index) const {
  if (index < 0 || static_cast<size_t>(index) >= colors_.size()) return std::nullopt;
  return colors_[static_cast<size_t>(index)];
}

QTextCharFormat TRtfDocumentWriter::CharFormatOf(const TRtfCharacterProps& p) const {
  QTextCharFormat format;
  if (const TRtfFont* font = FontOf(p.Font)) {
    if (!font->Family.isEmpty()) format.setFontFamilies({font->Family});
    format.setFontStyleHint(font->Hint);
  }
  format.setFontPointSize(p.HalfPoints / 2.0);
  format.setFontWeight(p.Bold ? QFont::Bold : QFont::Normal);
  format.setFontItalic(p.Italic);
  format.setUnderlineStyle(static_cast<QTextCharFormat::UnderlineStyle>(p.Underline));
  format.setFontStrikeOut(p.Strike);
  if (p.Capitals != 0) format.setFontCapitalization(static_cast<QFont::Capitalization>(p.Capitals));
  if (p.Vertical != 0) {
    format.setVerticalAlignment(p.Vertical > 0 ? QTextCharFormat::AlignSuperScript
                                               : QTextCharFormat::AlignSubScript);
  }
  if (auto color = ColorOf(p.Foreground)) format.setForeground(*color);
  if (auto color = ColorOf(p.Highlight >= 0 ? p.Highlight : p.Background)) {
    format.setBackground(*color);
  }
  return format;
}

void TRtfDocumentWriter::StartRun(const TRtfCharacterProps& props) {
  if (inRun_ && props == runProps_) return;
  FlushRun();
  inRun_ = true;
  runProps_ = props;
  runCodePage_ = CodePageOf(props.Font);
}

void TRtfDocumentWriter::DecodeBytes() {
  if (runBytes_.empty()) return;
  decoder_.Decode(runCodePage_, runBytes_, runText_);
  runBytes_.clear();
}

void TRtfDocumentWriter::FlushRun() {
  DecodeBytes();
  if (!runText_.isEmpty()) cursor_.insertText(runText_, CharFormatOf(runProps_));
  runText_.clear();
  inRun_ = false;
}

void TRtfDocumentWriter::AppendBytes(const TRtfCharacterProps& props, std::string_view bytes) {
  if (props.Hidden || bytes.empty()) return;
  StartRun(props);
  runBytes_.append(bytes);
}

void TRtfDocumentWriter::AppendCharacter(const TRtfCharacterProps& props, char16_t character) {
  if (props.Hidden) return;
  StartRun(props);
  DecodeBytes();
  runText_.append(QChar(character));
}

void TRtfDocumentWriter::EndParagraph(const TRtfParagraphProps& paragraph) {
  FlushRun();
  cursor_.setBlockFormat(BlockFormatOf(paragraph));
  cursor_.insertBlock();
}

void TRtfDocumentWriter::Finish(const TRtfParagraphProps& paragraph) {
  FlushRun();
  cursor_.setBlockFormat(BlockFormatOf(paragraph));
  cursor_.endEditBlock();
}

}  // namespace veldor
