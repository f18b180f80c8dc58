// The RTF reader: small documents checked for their text and for the character and
// paragraph formats at chosen places; the plain-text fallback; damaged RTF, a deterministic
// mutation run over a rich document, very deep nesting and a long flat text.
#include <QGuiApplication>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "reader/rtf_reader.h"

// Failure messages show Qt strings as text.
void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace veldor::test {
namespace {

QByteArray Bytes(const std::string& s) { return QByteArray(s.data(), static_cast<qsizetype>(s.size())); }

// The document's characters with paragraph ends as '\n'; its indexes are document positions.
QString Text(const QTextDocument& document) {
  QString text = document.toRawText();
  text.replace(QChar::ParagraphSeparator, u'\n');
  return text;
}

QString Read(const std::string& rtf, QTextDocument& document) {
  ReadRtf(Bytes(rtf), document);
  return Text(document);
}

// What a character must look like; unset fields are not checked. An invalid colour stands
// for the automatic colour (no brush set).
struct TCharCheck {
  QString At;  // the first character of this text in the document
  std::optional<QString> Family = std::nullopt;
  std::optional<double> Points = std::nullopt;
  std::optional<bool> Bold = std::nullopt;
  std::optional<bool> Italic = std::nullopt;
  std::optional<QTextCharFormat::UnderlineStyle> Underline = std::nullopt;
  std::optional<bool> Strike = std::nullopt;
  std::optional<QColor> Foreground = std::nullopt;
  std::optional<QColor> Background = std::nullopt;
};

// What the paragraph holding `At` must look like; lengths in pixels (twips / 15).
struct TBlockCheck {
  QString At;
  std::optional<Qt::Alignment> Alignment = std::nullopt;
  std::optional<double> Left = std::nullopt;
  std::optional<double> Right = std::nullopt;
  std::optional<double> First = std::nullopt;
  std::optional<double> Before = std::nullopt;
  std::optional<double> After = std::nullopt;
};

struct TCase {
  const char* Name;
  std::string Rtf;
  QString Text;
  std::vector<TCharCheck> Chars;
  std::vector<TBlockCheck> Blocks = {};
};

void CheckColor(const char* what, bool has, const QBrush& brush, const QColor& expected) {
  if (!expected.isValid()) {
    EXPECT_FALSE(has) << what << " is " << brush.color().name().toStdString();
  } else {
    EXPECT_TRUE(has) << what << " missing";
    EXPECT_EQ(brush.color(), expected) << what;
  }
}

void CheckCase(const TCase& c) {
  SCOPED_TRACE(c.Name);
  QTextDocument document;
  const QString text = Read(c.Rtf, document);
  EXPECT_EQ(text, c.Text);
  for (const TCharCheck& check : c.Chars) {
    SCOPED_TRACE(check.At.toStdString());
    const qsizetype at = text.indexOf(check.At);
    ASSERT_GE(at, 0);
    QTextCursor cursor(&document);
    cursor.setPosition(static_cast<int>(at) + 1);
    const QTextCharFormat f = cursor.charFormat();
    if (check.Family) {
      EXPECT_EQ(f.fontFamilies().toStringList().value(0), *check.Family);
    }
    if (check.Points) {
      EXPECT_DOUBLE_EQ(f.fontPointSize(), *check.Points);
    }
    if (check.Bold) {
      EXPECT_EQ(f.fontWeight() == QFont::Bold, *check.Bold);
    }
    if (check.Italic) {
      EXPECT_EQ(f.fontItalic(), *check.Italic);
    }
    if (check.Underline) {
      EXPECT_EQ(f.underlineStyle(), *check.Underline);
    }
    if (check.Strike) {
      EXPECT_EQ(f.fontStrikeOut(), *check.Strike);
    }
    if (check.Foreground) {
      CheckColor("foreground", f.hasProperty(QTextFormat::ForegroundBrush), f.foreground(), *check.Foreground);
    }
    if (check.Background) {
      CheckColor("background", f.hasProperty(QTextFormat::BackgroundBrush), f.background(), *check.Background);
    }
  }
  for (const TBlockCheck& check : c.Blocks) {
    SCOPED_TRACE(check.At.toStdString());
    const qsizetype at = text.indexOf(check.At);
    ASSERT_GE(at, 0);
    const QTextBlockFormat f = document.findBlock(static_cast<int>(at)).blockFormat();
    if (check.Alignment) {
      EXPECT_EQ(f.alignment(), *check.Alignment);
    }
    if (check.Left) {
      EXPECT_DOUBLE_EQ(f.leftMargin(), *check.Left);
    }
    if (check.Right) {
      EXPECT_DOUBLE_EQ(f.rightMargin(), *check.Right);
    }
    if (check.First) {
      EXPECT_DOUBLE_EQ(f.textIndent(), *check.First);
    }
    if (check.Before) {
      EXPECT_DOUBLE_EQ(f.topMargin(), *check.Before);
    }
    if (check.After) {
      EXPECT_DOUBLE_EQ(f.bottomMargin(), *check.After);
    }
  }
}

const QColor kAuto;
const auto kNone = QTextCharFormat::NoUnderline;
const auto kSingle = QTextCharFormat::SingleUnderline;

TEST(RtfReader, CharacterFormats) {
  const TCase cases[] = {
      {"fonts, sizes, bold, italic, underline",
       R"({\rtf1\ansi\deff0{\fonttbl{\f0\froman Times New Roman;}{\f1\fswiss\fcharset0 Arial;}})"
       R"(\f0\fs20 Plain {\b bold} {\i\fs32 big italic} {\ul under\ulnone  not} \f1 arial\par})",
       "Plain bold big italic under not arial\n",
       {{.At = "Plain", .Family = "Times New Roman", .Points = 10, .Bold = false, .Italic = false,
         .Underline = kNone},
        {.At = "bold", .Points = 10, .Bold = true, .Italic = false},
        {.At = "big", .Points = 16, .Bold = false, .Italic = true},
        {.At = "under", .Underline = kSingle},
        {.At = "not", .Underline = kNone},
        {.At = "arial", .Family = "Arial", .Points = 10}}},
      {"toggles switched off by 0, and \\plain",
       R"({\rtf1 \b\i\ul\strike A\b0 B\i0 C\ul0 D\strike0 E\b\fs40 F\plain G})",
       "ABCDEFG",
       {{.At = "A", .Bold = true, .Italic = true, .Underline = kSingle, .Strike = true},
        {.At = "B", .Bold = false, .Italic = true},
        {.At = "C", .Italic = false, .Underline = kSingle},
        {.At = "D", .Underline = kNone, .Strike = true},
        {.At = "E", .Bold = false, .Strike = false},
        {.At = "F", .Points = 20, .Bold = true},
        {.At = "G", .Points = 12, .Bold = false}}},
      {"groups restore what they change",
       R"({\rtf1 {\b x{\i\fs36 y}z}w})",
       "xyzw",
       {{.At = "x", .Bold = true, .Italic = false},
        {.At = "y", .Points = 18, .Bold = true, .Italic = true},
        {.At = "z", .Points = 12, .Bold = true, .Italic = false},
        {.At = "w", .Bold = false}}},
      {"default font, \\plain returns to it",
       R"({\rtf1\deff1{\fonttbl{\f0\fmodern Courier New;}{\f1 Georgia;}}one \f0 two \plain three})",
       "one two three",
       {{.At = "one", .Family = "Georgia"},
        {.At = "two", .Family = "Courier New"},
        {.At = "three", .Family = "Georgia"}}},
      {"font table without entry groups, and with a skipped part inside an entry",
       R"({\rtf1{\fonttbl\f0\fnil Alpha;\f1{\*\panose 02020603}Beta Sans;}\f1 x\f0 y\f7 z})",
       "xyz",
       {{.At = "x", .Family = "Beta Sans"}, {.At = "y", .Family = "Alpha"},
        {.At = "z", .Family = ""}}},
      {"colour table with an automatic first entry",
       R"({\rtf1{\colortbl;\red255\green0\blue0;\red0\green0\blue255;})"
       R"(\cf1 red \cf2\highlight1 blue \cf0\highlight0 auto {\cb2 back} \cf9 none})",
       "red blue auto back none",
       {{.At = "red", .Foreground = QColor(255, 0, 0), .Background = kAuto},
        {.At = "blue", .Foreground = QColor(0, 0, 255), .Background = QColor(255, 0, 0)},
        {.At = "auto", .Foreground = kAuto, .Background = kAuto},
        {.At = "back", .Foreground = kAuto, .Background = QColor(0, 0, 255)},
        {.At = "none", .Foreground = kAuto}}},
      {"hidden text is not shown",
       R"({\rtf1 a{\v hidden}b\v c\v0 d})",
       "abd",
       {}},
  };
  for (const TCase& c : cases) CheckCase(c);
}

TEST(RtfReader, ParagraphFormats) {
  const TCase cases[] = {
      {"alignment, indents and spacing, set at each paragraph's end",
       R"({\rtf1\pard\qc\li720\ri360\fi-360\sb120\sa240 Centered\par)"
       R"(\pard\qr Right\par\pard\qj Justified\par\pard Left\line next\par})",
       "Centered\nRight\nJustified\nLeft\u2028next\n",
       {},
       {{.At = "Centered", .Alignment = Qt::AlignHCenter, .Left = 48, .Right = 24, .First = -24,
         .Before = 8, .After = 16},
        {.At = "Right", .Alignment = Qt::AlignRight, .Left = 0, .Right = 0, .First = 0},
        {.At = "Justified", .Alignment = Qt::AlignJustify},
        {.At = "next", .Alignment = Qt::AlignLeft, .Left = 0, .Before = 0, .After = 0}}},
      {"paragraph properties persist until \\pard; a last paragraph without \\par keeps them",
       R"({\rtf1\qc\li1440 one\par two\par\pard three\par\qr four})",
       "one\ntwo\nthree\nfour",
       {},
       {{.At = "one", .Alignment = Qt::AlignHCenter, .Left = 96},
        {.At = "two", .Alignment = Qt::AlignHCenter, .Left = 96},
        {.At = "three", .Alignment = Qt::AlignLeft, .Left = 0},
        {.At = "four", .Alignment = Qt::AlignRight}}},
  };
  for (const TCase& c : cases) CheckCase(c);
}

TEST(RtfReader, Characters) {
  const TCase cases[] = {
      {"special characters and escapes",
       R"({\rtf1 a\tab b\~c\-d\_e\emdash\endash\bullet\lquote\rquote\ldblquote\rdblquote\\\{\}})",
       "a\tb\u00A0c\u00ADd\u2011e\u2014\u2013\u2022\u2018\u2019\u201C\u201D\\{}",
       {}},
      {"\\'hh in the default code page", R"({\rtf1\ansi caf\'e9 \'80 \'9c})", "café € œ", {}},
      {"\\'hh in the document's code page", R"({\rtf1\ansi\ansicpg1251 \'c6\'e8\'e7\'ed\'fc})",
       "Жизнь", {}},
      {"\\'hh in the code page of the font's character set",
       R"({\rtf1\ansi\ansicpg1251{\fonttbl{\f0 Arial;}{\f1\fcharset238 Arial CE;}{\f2\fcharset0 Arial;})"
       R"({\f3\fcharset128 MS Mincho;}{\f4\fcharset204 \'c0\'f0\'e8\'e0\'eb;}})"
       R"(\f0\'c6\f1\'b3\f2\'e9\f3\'82\'a0\f4 x})",
       "Жłéあx",
       {{.At = "x", .Family = "Ариал"}}},
      {"\\u with its fallback skipped, \\uc, surrogate pairs",
       R"({\rtf1 \u1046?\u-10179?\u-8704?\uc2\u1078\'3f\'3fX{\uc0\u1079}Y\u1080 ??Z)"
       R"(\uc1\u1081{x}\u8212\endash.})",
       "Ж\U0001F600жXзYиZйx—.",
       {}},
      {"line ends in the RTF are not text; a backslash before one ends a paragraph",
       "{\\rtf1 one\r\ntwo\\\r\nthree}",
       "onetwo\nthree",
       {}},
  };
  for (const TCase& c : cases) CheckCase(c);
}

TEST(RtfReader, SkippedDestinations) {
  const TCase cases[] = {
      {"information, style sheet, headers, footnotes, pictures; a field shows its result",
       R"({\rtf1{\info{\title T}{\author A}}{\stylesheet{\s0 Normal;}}{\header H}{\footer F})"
       R"({\*\generator G;}{\*\unknownword U}Body {\footnote N}{\pict\pngblip 89504e47})"
       R"({\object\objemb{\*\objdata 0102}{\objclass Paint}{\result R}})"
       R"({\field{\*\fldinst HYPERLINK "x"}{\fldrslt Link}}{\field{\fldinst PAGE}{\fldrslt 7}} end})",
       "Body RLink7 end",
       {}},
      {"binary data is not scanned for braces",
       "{\\rtf1 a{\\pict\\bin6 }}{{\\x}b}", "ab", {}},
      {"unknown control words are ignored", R"({\rtf1 a\madeupword12 b\zz c})", "abc", {}},
  };
  for (const TCase& c : cases) CheckCase(c);
}

TEST(RtfReader, DamagedInputShowsWhatCanBeRead) {
  const TCase cases[] = {
      {"a '}' too many, text after the end, a group left open", R"({\rtf1 a{\b b}}} c{\i d)",
       "ab cd", {{.At = "c", .Bold = false}, {.At = "d", .Italic = true}}},
      {"cut in a control word", R"({\rtf1 hello\b)", "hello", {}},
      {"cut in \\'h", R"({\rtf1 hello\'e)", "hello", {}},
      {"cut after \\'", R"({\rtf1 x\')", "x", {}},
      {"\\' without hex digits", R"({\rtf1 x\'zy})", "xzy", {}},
      {"cut after a backslash", "{\\rtf1 x\\", "x", {}},
      {"cut in \\u: the '-' without a digit is text", R"({\rtf1 x\u-)", "x-", {}},
      {"\\bin past the end", R"({\rtf1 ok{\pict\bin999999999 abc)", "ok", {}},
      {"\\bin with a negative length", R"({\rtf1 a\bin-5 b})", "ab", {}},
      {"huge numbers are clamped",
       R"({\rtf1\fs99999999999999999999 big\li-99999999999999999 \u99999999999 ?)"
       R"(\uc99999999999 \u65 abc})",
       "big\uFFFDA",
       {{.At = "big", .Points = 1638}},
       {{.At = "big", .Left = -2112}}},
      {"colour components out of range", R"({\rtf1{\colortbl;\red999\green-4\blue77;}\cf1 x})", "x",
       {{.At = "x", .Foreground = QColor(255, 0, 77)}}},
  };
  for (const TCase& c : cases) CheckCase(c);
}

TEST(RtfReader, ReplacesTheDocumentAndKeepsItsUndoSetting) {
  QTextDocument document;
  document.setPlainText("old text");
  document.setUndoRedoEnabled(true);
  EXPECT_EQ(Read(R"({\rtf1 new})", document), "new");
  EXPECT_TRUE(document.isUndoRedoEnabled());
  EXPECT_FALSE(document.isUndoAvailable());
}

TEST(RtfReader, LooksLikeRtf) {
  EXPECT_TRUE(LooksLikeRtf("{\\rtf1 x}"));
  EXPECT_TRUE(LooksLikeRtf(" \r\n\t{\\rtf"));
  EXPECT_FALSE(LooksLikeRtf("{\\rt"));
  EXPECT_FALSE(LooksLikeRtf("{\\RTF1 x}"));
  EXPECT_FALSE(LooksLikeRtf("x{\\rtf1 x}"));
  EXPECT_FALSE(LooksLikeRtf(""));
}

TEST(RtfReader, LoadRichTextShowsOtherBytesAsWindows1252) {
  QTextDocument document;
  LoadRichText(QByteArray("caf\xE9 \x80 one\r\ntwo\rthree\nfour"), document);
  EXPECT_EQ(Text(document), "café € one\ntwo\nthree\nfour");
  EXPECT_EQ(document.blockCount(), 4);

  LoadRichText(QByteArray("  {\\rtf1 {\\b rich}}"), document);
  EXPECT_EQ(Text(document), "rich");
  QTextCursor cursor(&document);
  cursor.setPosition(1);
  EXPECT_EQ(cursor.charFormat().fontWeight(), QFont::Bold);

  LoadRichText(QByteArray(), document);
  EXPECT_TRUE(document.isEmpty());
}

// A document with every kind of thing the reader handles, for the mutation run.
std::string RichDocument() {
  return R"({\rtf1\ansi\ansicpg1252\deff0\uc1{\fonttbl{\f0\froman\fcharset0 Times New Roman;})"
         R"({\f1\fswiss\fcharset204{\*\panose 020b0604}Arial Cyr;}{\f2\fcharset128 MS Mincho;}})"
         R"({\colortbl;\red255\green0\blue0;\red0\green128\blue0;}{\stylesheet{\s0 Normal;}})"
         R"({\info{\title A title}{\author Someone}}{\header\pard Header text\par})"
         R"(\pard\qc\sb120\sa120\fs32{\b The Title}\par)"
         R"(\pard\qj\li720\ri360\fi-360\fs24 Plain text, {\i italic}, {\ul underlined\ulnone  not}, )"
         R"({\strike struck}, {\cf1 red}, {\highlight2 marked}, caf\'e9 \'80, )"
         R"({\f1\'c6\'e8\'e7\'ed\'fc}, {\f2\'82\'a0}, \u1046?\u-10179?\u-8704?\emdash\tab end.\line )"
         R"(Next line\~with\_specials\-here \\ \{ \}.\par)"
         R"({\field{\*\fldinst HYPERLINK "http://example.org"}{\fldrslt {\ul\cf2 a link}}})"
         R"({\footnote\pard A footnote.}{\pict\wmetafile8\picw100\pich100 0102030405060708})"
         R"({\object\objemb{\*\objdata\bin4 }{}\}{\result shown}}{\*\unknown skipped}\par)"
         R"(\pard\qr{\v hidden}{\b{\i{\ul{\fs40 deep}}}}\par})";
}

// Applies one random damage to `rtf`.
void Mutate(std::string& rtf, std::mt19937& random) {
  auto position = [&](size_t size) {
    return std::uniform_int_distribution<size_t>(0, size)(random);
  };
  switch (std::uniform_int_distribution<int>(0, 5)(random)) {
    case 0:  // truncation
      rtf.resize(position(rtf.size()));
      break;
    case 1:  // byte flips
      for (int i = 0; i < 3 && !rtf.empty(); ++i) {
        rtf[position(rtf.size() - 1)] = static_cast<char>(random());
      }
      break;
    case 2:  // brace insertions
      for (int i = 0; i < 4; ++i) rtf.insert(position(rtf.size()), 1, random() % 2 ? '{' : '}');
      break;
    case 3: {  // brace deletions
      for (int i = 0; i < 4; ++i) {
        const size_t at = rtf.find_first_of("{}", position(rtf.size()));
        if (at != std::string::npos) rtf.erase(at, 1);
      }
      break;
    }
    case 4: {  // a control word repeated many times
      const size_t at = rtf.find('\\', position(rtf.size()));
      if (at == std::string::npos) break;
      const size_t end = rtf.find_first_of(" \\{}", at + 1);
      const std::string word = rtf.substr(at, end == std::string::npos ? std::string::npos : end - at);
      std::string repeated;
      for (int i = 0; i < 500; ++i) repeated += word;
      rtf.insert(at, repeated);
      break;
    }
    case 5: {  // huge or negative numbers after a control word
      const size_t at = rtf.find('\\', position(rtf.size()));
      if (at == std::string::npos) break;
      size_t end = at + 1;
      while (end < rtf.size() && std::isalpha(static_cast<unsigned char>(rtf[end]))) ++end;
      rtf.insert(end, random() % 2 ? "-99999999999999999999" : "4294967296");
      break;
    }
  }
}

TEST(RtfReader, DamagedVariantsOfARichDocumentTerminate) {
  const char* fixed = std::getenv("RTF_FUZZ_SEED");
  const uint32_t seed = fixed ? static_cast<uint32_t>(std::strtoul(fixed, nullptr, 10)) : 301;
  std::printf("RTF mutation seed %u (set RTF_FUZZ_SEED to repeat)\n", seed);
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const std::string rich = RichDocument();
  QTextDocument document;
  ASSERT_TRUE(Read(rich, document).contains("The Title"));
  for (int variant = 0; variant < 3000; ++variant) {
    std::string rtf = rich;
    const int damages = 1 + static_cast<int>(random() % 3);
    for (int i = 0; i < damages; ++i) Mutate(rtf, random);
    ReadRtf(Bytes(rtf), document);
    // Every character shown comes from at least one byte of the input.
    ASSERT_LE(document.characterCount(), static_cast<int>(rtf.size()) + 1) << "variant " << variant;
  }
}

TEST(RtfReader, DeepNestingIsReadWithoutRecursion) {
  const std::string open(100000, '{');
  const std::string close(100000, '}');
  QTextDocument document;
  // Past the bound, property changes are ignored and text is still read.
  EXPECT_EQ(Read("{\\rtf1 " + open + "\\b deep" + close + " after}", document), "deep after");
  QTextCursor cursor(&document);
  cursor.setPosition(static_cast<int>(Text(document).indexOf("after")) + 1);
  EXPECT_NE(cursor.charFormat().fontWeight(), QFont::Bold);

  // Never closed.
  EXPECT_EQ(Read("{\\rtf1 " + open + "x", document), "x");
  // A skipped group past the bound is skipped whole, and its end is found.
  const std::string past(kRtfMaxGroupDepth + 10, '{');
  const std::string pastClose(kRtfMaxGroupDepth + 10, '}');
  EXPECT_EQ(Read("{\\rtf1 " + past + "{\\*\\unknown {{hidden}}}shown" + pastClose + " end}", document),
            "shown end");
  // Closed groups leave the stack as they found it: formats work again afterwards.
  EXPECT_EQ(Read("{\\rtf1 " + open + close + "{\\b bold}}", document), "bold");
  cursor = QTextCursor(&document);
  cursor.setPosition(1);
  EXPECT_EQ(cursor.charFormat().fontWeight(), QFont::Bold);
}

// A flat document of `paragraphs` paragraphs with formatting in each.
std::string FlatDocument(int paragraphs) {
  std::string rtf = "{\\rtf1\\ansi{\\fonttbl{\\f0 Serif;}}{\\colortbl;\\red200\\green0\\blue0;}";
  for (int i = 0; i < paragraphs; ++i) {
    rtf += "\\pard\\qj Line of an ordinary text, with {\\b bold} and {\\cf1 red} words, "
           "caf\\'e9 and \\u1046? too.\\par\n";
  }
  return rtf + "}";
}

TEST(RtfReader, LongFlatDocumentTakesLinearTime) {
  auto seconds = [](int paragraphs, int& blocks) {
    const QByteArray rtf = Bytes(FlatDocument(paragraphs));
    QTextDocument document;
    const auto start = std::chrono::steady_clock::now();
    ReadRtf(rtf, document);
    const auto stop = std::chrono::steady_clock::now();
    blocks = document.blockCount();
    return std::chrono::duration<double>(stop - start).count();
  };
  int smallBlocks = 0;
  int largeBlocks = 0;
  const double small = seconds(4000, smallBlocks);
  const double large = seconds(32000, largeBlocks);  // about 3.5 MB
  EXPECT_EQ(smallBlocks, 4001);
  EXPECT_EQ(largeBlocks, 32001);
  std::printf("4000 paragraphs %.3f s, 32000 paragraphs %.3f s\n", small, large);
  // Eight times the text: linear work takes about eight times as long, quadratic 64 times.
  EXPECT_LT(large, 24 * small + 0.5);
}

}  // namespace
}  // namespace veldor::test

int main(int argc, char** argv) {
  // Fonts need a GUI application; the offscreen platform needs no display, also when CTest
  // lists the tests.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  testing::InitGoogleTest(&argc, argv);
  QGuiApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
