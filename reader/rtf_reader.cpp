#include "reader/rtf_reader.h"

#include <QFont>
#include <QString>
#include <QTextDocument>
#include <QTextFormat>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "lib/code_page.h"
#include "reader/rtf_code_page.h"
#include "reader/rtf_control_words.h"
#include "reader/rtf_document_writer.h"
#include "reader/rtf_tokenizer.h"

namespace veldor {
namespace {

// Where the text of a group goes.
enum class TDestination : uint8_t {
  Text,        // the page
  FontTable,   // font names
  ColorTable,  // ';' ends a colour
  Skipped,     // nowhere; control words are ignored too
  Object,      // nowhere, except for the object's \result
};

// What a group saves on '{' and restores on '}'.
struct TGroupState {
  TRtfCharacterProps Char;
  TRtfParagraphProps Paragraph;
  int UnicodeSkip = 1;  // \ucN: fallback characters after each \uN
  TDestination Destination = TDestination::Text;
};

// Bounds of the numbers that reach the document: Word's own limits for lengths (22
// inches) and font sizes (1638 points), a byte per colour component.
constexpr int kMaxTwips = 31680;
constexpr int kMaxHalfPoints = 3276;
constexpr int kMaxUnicodeSkip = 64;

// A toggle property is switched on by the bare word and off by the word with 0.
bool Toggle(const TRtfToken& t) { return !(t.HasParameter && t.Parameter == 0); }

// A table index, or -1 when the word has none or a negative one.
int Index(const TRtfToken& t) { return t.HasParameter && t.Parameter >= 0 ? t.Parameter : -1; }

int Clamped(const TRtfToken& t, int low, int high) {
  return std::clamp(t.HasParameter ? t.Parameter : 0, low, high);
}

// Reads one RTF text token by token into a document. The groups' states are a stack in a
// vector, at most kRtfMaxGroupDepth deep; deeper groups are only counted.
class TRtfInterpreter {
 public:
  TRtfInterpreter(std::string_view input, QTextDocument& document)
      : tokenizer_(input), writer_(document), stack_(1) {
    // Nothing before the first '{' is RTF; text outside every group after it is (a '}'
    // too many ends the outer group early, and the text after it is still shown).
    stack_[0].Destination = TDestination::Skipped;
  }

  void Run();

 private:
  TGroupState& State() { return stack_.back(); }
  TDestination Destination() const {
    return overflowSkipFrom_ > 0 ? TDestination::Skipped : stack_.back().Destination;
  }
  void SetDestination(TDestination destination);

  void OnGroupStart();
  void OnGroupEnd();
  void OnWord(const TRtfToken& t);
  void OnFontTableWord(TRtfWord word, const TRtfToken& t);
  void OnTextWord(TRtfWord word, const TRtfToken& t, char16_t character);
  void OnSymbol(char symbol);
  void OnText(std::string_view text);
  void OnBytes(std::string_view bytes);
  void OnUnicode(const TRtfToken& t);
  void EmitCharacter(char16_t character);
  void EndParagraph();
  void CommitFont();
  void ResetFont();
  void CommitColor();

  TRtfTokenizer tokenizer_;
  TRtfDocumentWriter writer_;
  std::vector<TGroupState> stack_;  // stack_[0] is the state outside every group
  int overflow_ = 0;                // groups open beyond the stack's bound
  int overflowSkipFrom_ = 0;        // the overflow level of a skipped group, 0 for none
  int pendingSkip_ = 0;             // fallback characters of the last \uN still to skip
  bool starPending_ = false;        // \* seen: the next control word opens a skipped group

  // The font table entry being read.
  std::optional<int> fontNumber_;
  int fontCharset_ = 1;
  int fontCodePage_ = 0;
  QFont::StyleHint fontHint_ = QFont::AnyStyle;
  std::string fontName_;

  // The colour table entry being read.
  int red_ = 0, green_ = 0, blue_ = 0;
  bool colorGiven_ = false;

  // The paragraph being written: whether it has text yet, and its properties at the last.
  bool blockHasText_ = false;
  TRtfParagraphProps blockParagraph_;
};

void TRtfInterpreter::Run() {
  for (;;) {
    const TRtfToken t = tokenizer_.Next();
    if (t.Kind != TRtfTokenKind::ControlWord) starPending_ = false;
    switch (t.Kind) {
      case TRtfTokenKind::End:
        writer_.Finish(blockHasText_ ? blockParagraph_ : TRtfParagraphProps{});
        return;
      case TRtfTokenKind::GroupStart:
        OnGroupStart();
        break;
      case TRtfTokenKind::GroupEnd:
        OnGroupEnd();
        break;
      case TRtfTokenKind::ControlWord:
        OnWord(t);
        break;
      case TRtfTokenKind::ControlSymbol:
        if (pendingSkip_ > 0) {
          --pendingSkip_;
        } else {
          OnSymbol(t.Symbol);
        }
        break;
      case TRtfTokenKind::HexByte:
        if (pendingSkip_ > 0) {
          --pendingSkip_;
        } else if (t.Byte >= 0x20 || t.Byte == '\t') {
          const char byte = static_cast<char>(t.Byte);
          OnBytes(std::string_view(&byte, 1));
        }
        break;
      case TRtfTokenKind::Text: {
        std::string_view text = t.Text;
        const size_t skipped = std::min(text.size(), static_cast<size_t>(pendingSkip_));
        pendingSkip_ -= static_cast<int>(skipped);
        text.remove_prefix(skipped);
        OnText(text);
        break;
      }
      case TRtfTokenKind::Binary:
        // Binary data belongs to pictures and objects, which are skipped anyway.
        if (pendingSkip_ > 0) --pendingSkip_;
        break;
    }
  }
}

void TRtfInterpreter::SetDestination(TDestination destination) {
  if (overflow_ > 0) {
    // Past the stack's bound a group cannot change its destination and have it undone on
    // '}'; one that leaves the page is skipped whole, which a single level number tracks.
    if (destination != TDestination::Text && overflowSkipFrom_ == 0) overflowSkipFrom_ = overflow_;
    return;
  }
  State().Destination = destination;
}

void TRtfInterpreter::OnGroupStart() {
  pendingSkip_ = 0;
  if (stack_.size() == 1) stack_[0].Destination = TDestination::Text;
  if (stack_.size() <= static_cast<size_t>(kRtfMaxGroupDepth)) {
    stack_.push_back(stack_.back());
  } else {
    ++overflow_;
  }
}

void TRtfInterpreter::OnGroupEnd() {
  pendingSkip_ = 0;
  if (overflow_ > 0) {
    if (overflowSkipFrom_ == overflow_) overflowSkipFrom_ = 0;
    --overflow_;
    return;
  }
  if (stack_.size() == 1) return;  // a '}' too many: nothing to close
  // A font entry cut short by its group's end still counts.
  if (State().Destination == TDestination::FontTable && fontNumber_ && !fontName_.empty()) {
    CommitFont();
  }
  stack_.pop_back();
}

void TRtfInterpreter::OnWord(const TRtfToken& t) {
  if (pendingSkip_ > 0) {
    --pendingSkip_;
    return;
  }
  const TDestination destination = Destination();
  if (destination == TDestination::Skipped) return;
  if (starPending_) {
    // \* marks a group a reader may ignore when it does not know the word; this reader
    // shows nothing of such groups.
    starPending_ = false;
    SetDestination(TDestination::Skipped);
    return;
  }
  const TRtfWordInfo info = LookUpRtfWord(t.Text);
  switch (info.Word) {
    case TRtfWord::FontTable:
      ResetFont();
      SetDestination(TDestination::FontTable);
      return;
    case TRtfWord::ColorTable:
      colorGiven_ = false;
      red_ = green_ = blue_ = 0;
      SetDestination(TDestination::ColorTable);
      return;
    case TRtfWord::SkippedDestination:
      SetDestination(TDestination::Skipped);
      return;
    case TRtfWord::Object:
      SetDestination(TDestination::Object);
      return;
    case TRtfWord::ObjectResult:
      if (destination == TDestination::Object) SetDestination(TDestination::Text);
      return;
    case TRtfWord::Unicode:
      OnUnicode(t);
      return;
    default:
      break;
  }
  // Past the stack's bound a change would outlive its group: ignore it.
  if (overflow_ > 0 && IsRtfStateWord(info.Word)) return;
  switch (destination) {
    case TDestination::FontTable:
      OnFontTableWord(info.Word, t);
      return;
    case TDestination::ColorTable:
      if (info.Word == TRtfWord::Red) red_ = Clamped(t, 0, 255), colorGiven_ = true;
      if (info.Word == TRtfWord::Green) green_ = Clamped(t, 0, 255), colorGiven_ = true;
      if (info.Word == TRtfWord::Blue) blue_ = Clamped(t, 0, 255), colorGiven_ = true;
      return;
    case TDestination::Text:
      OnTextWord(info.Word, t, info.Character);
      return;
    case TDestination::Skipped:
    case TDestination::Object:
      return;
  }
}

void TRtfInterpreter::OnFontTableWord(TRtfWord word, const TRtfToken& t) {
  switch (word) {
    case TRtfWord::Font:
      fontNumber_ = Index(t) >= 0 ? std::optional<int>(Index(t)) : std::nullopt;
      break;
    case TRtfWord::FontCharset: fontCharset_ = Clamped(t, 0, 255); break;
    case TRtfWord::FontCodePage: fontCodePage_ = Clamped(t, 0, 65535); break;
    case TRtfWord::FontRoman: fontHint_ = QFont::Serif; break;
    case TRtfWord::FontSwiss: fontHint_ = QFont::SansSerif; break;
    case TRtfWord::FontModern: fontHint_ = QFont::TypeWriter; break;
    case TRtfWord::FontScript: fontHint_ = QFont::Cursive; break;
    case TRtfWord::FontDecorative: fontHint_ = QFont::Decorative; break;
    case TRtfWord::FontTechnical: fontHint_ = QFont::Fantasy; break;
    default: break;
  }
}

void TRtfInterpreter::OnTextWord(TRtfWord word, const TRtfToken& t, char16_t character) {
  TRtfCharacterProps& c = State().Char;
  TRtfParagraphProps& p = State().Paragraph;
  switch (word) {
    case TRtfWord::Ansi: writer_.SetDocumentCodePage(1252); break;
    case TRtfWord::Mac: writer_.SetDocumentCodePage(10000); break;
    case TRtfWord::Pc: writer_.SetDocumentCodePage(437); break;
    case TRtfWord::Pca: writer_.SetDocumentCodePage(850); break;
    case TRtfWord::AnsiCodePage:
      if (t.HasParameter && t.Parameter > 0 && t.Parameter <= 65535) {
        writer_.SetDocumentCodePage(t.Parameter);
      }
      break;
    case TRtfWord::DefaultFont: writer_.SetDefaultFont(Index(t)); break;

    case TRtfWord::Font: c.Font = Index(t); break;
    case TRtfWord::Plain: c = TRtfCharacterProps{}; break;
    case TRtfWord::FontSize:
      c.HalfPoints = t.HasParameter && t.Parameter > 0 ? std::min(t.Parameter, kMaxHalfPoints) : 24;
      break;
    case TRtfWord::Bold: c.Bold = Toggle(t); break;
    case TRtfWord::Italic: c.Italic = Toggle(t); break;
    case TRtfWord::Strike: c.Strike = Toggle(t); break;
    case TRtfWord::Hidden: c.Hidden = Toggle(t); break;
    case TRtfWord::Underline:
      c.Underline = Toggle(t) ? QTextCharFormat::SingleUnderline : QTextCharFormat::NoUnderline;
      break;
    case TRtfWord::UnderlineDotted:
      c.Underline = Toggle(t) ? QTextCharFormat::DotLine : QTextCharFormat::NoUnderline;
      break;
    case TRtfWord::UnderlineDashed:
      c.Underline = Toggle(t) ? QTextCharFormat::DashUnderline : QTextCharFormat::NoUnderline;
      break;
    case TRtfWord::UnderlineWave:
      c.Underline = Toggle(t) ? QTextCharFormat::WaveUnderline : QTextCharFormat::NoUnderline;
      break;
    case TRtfWord::UnderlineNone: c.Underline = QTextCharFormat::NoUnderline; break;
    case TRtfWord::Caps: c.Capitals = Toggle(t) ? QFont::AllUppercase : QFont::MixedCase; break;
    case TRtfWord::SmallCaps: c.Capitals = Toggle(t) ? QFont::SmallCaps : QFont::MixedCase; break;
    case TRtfWord::Superscript: c.Vertical = Toggle(t) ? 1 : 0; break;
    case TRtfWord::Subscript: c.Vertical = Toggle(t) ? -1 : 0; break;
    case TRtfWord::NoSuperSub: c.Vertical = 0; break;
    case TRtfWord::ForeColor: c.Foreground = Index(t); break;
    case TRtfWord::BackColor: c.Background = Index(t); break;
    // \highlight0 is "no highlight", whatever the first colour is.
    case TRtfWord::Highlight: c.Highlight = Index(t) > 0 ? Index(t) : -1; break;
    case TRtfWord::UnicodeSkip: State().UnicodeSkip = Clamped(t, 0, kMaxUnicodeSkip); break;

    case TRtfWord::ParagraphDefault: p = TRtfParagraphProps{}; break;
    case TRtfWord::AlignLeft: p.Alignment = Qt::AlignLeft; break;
    case TRtfWord::AlignRight: p.Alignment = Qt::AlignRight; break;
    case TRtfWord::AlignCenter: p.Alignment = Qt::AlignHCenter; break;
    case TRtfWord::AlignJustify: p.Alignment = Qt::AlignJustify; break;
    case TRtfWord::LeftIndent: p.LeftIndent = Clamped(t, -kMaxTwips, kMaxTwips); break;
    case TRtfWord::RightIndent: p.RightIndent = Clamped(t, -kMaxTwips, kMaxTwips); break;
    case TRtfWord::FirstIndent: p.FirstIndent = Clamped(t, -kMaxTwips, kMaxTwips); break;
    case TRtfWord::SpaceBefore: p.SpaceBefore = Clamped(t, 0, kMaxTwips); break;
    case TRtfWord::SpaceAfter: p.SpaceAfter = Clamped(t, 0, kMaxTwips); break;

    case TRtfWord::Paragraph: EndParagraph(); break;
    case TRtfWord::LineBreak: EmitCharacter(QChar::LineSeparator); break;
    case TRtfWord::Tab: EmitCharacter(u'\t'); break;
    case TRtfWord::Character: EmitCharacter(character); break;
    default: break;
  }
}

void TRtfInterpreter::OnUnicode(const TRtfToken& t) {
  if (!t.HasParameter) return;
  // The parameter is a signed 16-bit number: negative values stand for those above 32767.
  int value = t.Parameter < 0 ? t.Parameter + 65536 : t.Parameter;
  if (value < 0 || value > 0xFFFF) value = 0xFFFD;
  // Line ends and Qt's frame marks would break the block structure; they are not text.
  if (value == 0xFDD0 || value == 0xFDD1) value = 0xFFFD;
  if (value >= 0x20 || value == '\t') EmitCharacter(static_cast<char16_t>(value));
  pendingSkip_ = State().UnicodeSkip;
}

void TRtfInterpreter::OnSymbol(char symbol) {
  switch (symbol) {
    case '*':
      if (Destination() != TDestination::Skipped) starPending_ = true;
      break;
    case '\\':
    case '{':
    case '}':
      OnBytes(std::string_view(&symbol, 1));
      break;
    case '~': EmitCharacter(u'\u00A0'); break;
    case '-': EmitCharacter(u'\u00AD'); break;
    case '_': EmitCharacter(u'\u2011'); break;
    case '\n':
      if (Destination() == TDestination::Text) EndParagraph();
      break;
    default: break;
  }
}

void TRtfInterpreter::OnText(std::string_view text) {
  switch (Destination()) {
    case TDestination::Text:
      OnBytes(text);
      return;
    case TDestination::FontTable:
      // ';' ends an entry: "\f0\fswiss Arial;".
      for (size_t semicolon; (semicolon = text.find(';')) != std::string_view::npos;) {
        fontName_.append(text.substr(0, semicolon));
        CommitFont();
        text.remove_prefix(semicolon + 1);
      }
      fontName_.append(text);
      return;
    case TDestination::ColorTable:
      for (char c : text) {
        if (c == ';') CommitColor();
      }
      return;
    case TDestination::Skipped:
    case TDestination::Object:
      return;
  }
}

void TRtfInterpreter::OnBytes(std::string_view bytes) {
  if (bytes.empty()) return;
  const TDestination destination = Destination();
  if (destination == TDestination::FontTable) {
    fontName_.append(bytes);
  } else if (destination == TDestination::Text) {
    writer_.AppendBytes(State().Char, bytes);
    blockHasText_ = true;
    blockParagraph_ = State().Paragraph;
  }
}

void TRtfInterpreter::EmitCharacter(char16_t character) {
  if (Destination() != TDestination::Text) return;
  writer_.AppendCharacter(State().Char, character);
  blockHasText_ = true;
  blockParagraph_ = State().Paragraph;
}

void TRtfInterpreter::EndParagraph() {
  writer_.EndParagraph(State().Paragraph);
  blockHasText_ = false;
}

void TRtfInterpreter::CommitFont() {
  if (fontNumber_) {
    TRtfFont font;
    font.CodePage = fontCodePage_ > 0 ? fontCodePage_
                                      : CodePageOfCharset(fontCharset_, writer_.DocumentCodePage());
    writer_.Decoder().Decode(font.CodePage, fontName_, font.Family);
    font.Family = font.Family.trimmed();
    font.Hint = fontHint_;
    writer_.AddFont(*fontNumber_, std::move(font));
  }
  ResetFont();
}

void TRtfInterpreter::ResetFont() {
  fontNumber_.reset();
  fontCharset_ = 1;
  fontCodePage_ = 0;
  fontHint_ = QFont::AnyStyle;
  fontName_.clear();
}

void TRtfInterpreter::CommitColor() {
  writer_.AddColor(colorGiven_ ? std::optional<QColor>(QColor(red_, green_, blue_)) : std::nullopt);
  colorGiven_ = false;
  red_ = green_ = blue_ = 0;
}

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

}  // namespace

bool LooksLikeRtf(const QByteArray& bytes) {
  qsizetype i = 0;
  while (i < bytes.size() && IsSpace(bytes[i])) ++i;
  return QByteArrayView(bytes).sliced(i).startsWith("{\\rtf");
}

void ReadRtf(const QByteArray& bytes, QTextDocument& document) {
  // Building the document is not an edit anyone undoes.
  const bool undo = document.isUndoRedoEnabled();
  document.setUndoRedoEnabled(false);
  TRtfInterpreter(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), document)
      .Run();
  document.setUndoRedoEnabled(undo);
}

void LoadRichText(const QByteArray& bytes, QTextDocument& document) {
  if (bytes.isEmpty()) {
    document.clear();
    return;
  }
  if (LooksLikeRtf(bytes)) {
    ReadRtf(bytes, document);
    return;
  }
  const std::string utf8 =
      Windows1252ToUtf8(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())));
  QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
  text.replace(QLatin1StringView("\r\n"), QLatin1StringView("\n"));
  text.replace(u'\r', u'\n');
  document.setPlainText(text);
}

}  // namespace veldor
