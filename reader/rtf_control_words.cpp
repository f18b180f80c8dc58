#include "reader/rtf_control_words.h"

#include <unordered_map>

namespace veldor {
namespace {

using W = TRtfWord;

struct TEntry {
  std::string_view Name;
  TRtfWordInfo Info;
};

// Groups whose content is not part of the text a reader shows: document information,
// style and list definitions, headers and footers (the page has no pages), footnotes and
// comments (they would break into the middle of a sentence), pictures and the binary or
// instruction parts of objects and fields. A field shows its result: \fldinst is skipped
// and \fldrslt, unknown here, is read as ordinary text.
constexpr std::string_view kSkipped[] = {
    "annotation", "atnauthor", "atndate", "atnid", "author", "bkmkend", "bkmkstart", "buptim",
    "colorschememapping", "comment", "company", "creatim", "datafield", "datastore", "doccomm",
    "docvar", "falt", "fldinst", "filetbl", "footer", "footerf", "footerl", "footerr",
    "footnote", "ftncn", "ftnsep", "ftnsepc", "generator", "header", "headerf", "headerl",
    "headerr", "info", "keywords", "latentstyles", "listoverridetable", "listtable",
    "manager", "nonshppict", "objalias", "objclass", "objdata", "objname", "objsect",
    "objtime", "operator", "panose", "pgdsctbl", "pict", "printim", "private", "revtbl",
    "revtim", "rsidtbl", "shp", "shpinst", "stylesheet", "subject", "tc", "template",
    "themedata", "title", "txe", "userprops", "xe", "xmlnstbl",
};

constexpr TEntry kWords[] = {
    {"ansi", {W::Ansi}}, {"mac", {W::Mac}}, {"pc", {W::Pc}}, {"pca", {W::Pca}},
    {"ansicpg", {W::AnsiCodePage}}, {"deff", {W::DefaultFont}},

    {"fonttbl", {W::FontTable}}, {"colortbl", {W::ColorTable}}, {"object", {W::Object}},
    {"result", {W::ObjectResult}},

    {"f", {W::Font}}, {"fcharset", {W::FontCharset}}, {"cpg", {W::FontCodePage}},
    {"froman", {W::FontRoman}}, {"fswiss", {W::FontSwiss}}, {"fmodern", {W::FontModern}},
    {"fscript", {W::FontScript}}, {"fdecor", {W::FontDecorative}},
    {"ftech", {W::FontTechnical}},

    {"red", {W::Red}}, {"green", {W::Green}}, {"blue", {W::Blue}},

    {"plain", {W::Plain}}, {"fs", {W::FontSize}}, {"b", {W::Bold}}, {"i", {W::Italic}},
    {"ul", {W::Underline}}, {"ulw", {W::Underline}}, {"uldb", {W::Underline}},
    {"ulth", {W::Underline}}, {"uld", {W::UnderlineDotted}}, {"ulthd", {W::UnderlineDotted}},
    {"uldash", {W::UnderlineDashed}}, {"uldashd", {W::UnderlineDashed}},
    {"uldashdd", {W::UnderlineDashed}}, {"ulthdash", {W::UnderlineDashed}},
    {"ulwave", {W::UnderlineWave}}, {"ulhwave", {W::UnderlineWave}},
    {"ululdbwave", {W::UnderlineWave}}, {"ulnone", {W::UnderlineNone}},
    {"strike", {W::Strike}}, {"striked", {W::Strike}}, {"caps", {W::Caps}},
    {"scaps", {W::SmallCaps}}, {"v", {W::Hidden}}, {"super", {W::Superscript}},
    {"sub", {W::Subscript}}, {"nosupersub", {W::NoSuperSub}}, {"cf", {W::ForeColor}},
    {"cb", {W::BackColor}}, {"chcbpat", {W::BackColor}}, {"highlight", {W::Highlight}},
    {"uc", {W::UnicodeSkip}},

    {"pard", {W::ParagraphDefault}}, {"ql", {W::AlignLeft}}, {"qr", {W::AlignRight}},
    {"qc", {W::AlignCenter}}, {"qj", {W::AlignJustify}}, {"qd", {W::AlignJustify}},
    {"li", {W::LeftIndent}}, {"lin", {W::LeftIndent}}, {"ri", {W::RightIndent}},
    {"rin", {W::RightIndent}}, {"fi", {W::FirstIndent}}, {"sb", {W::SpaceBefore}},
    {"sa", {W::SpaceAfter}},

    // A table cell reads as a tab and a table row as a paragraph; pages and sections
    // have no place in a scrolling view and end a paragraph.
    {"par", {W::Paragraph}}, {"row", {W::Paragraph}}, {"nestrow", {W::Paragraph}},
    {"page", {W::Paragraph}}, {"sect", {W::Paragraph}}, {"line", {W::LineBreak}},
    {"tab", {W::Tab}}, {"cell", {W::Tab}}, {"nestcell", {W::Tab}}, {"u", {W::Unicode}},
    {"emdash", {W::Character, u'\u2014'}}, {"endash", {W::Character, u'\u2013'}},
    {"emspace", {W::Character, u'\u2003'}}, {"enspace", {W::Character, u'\u2002'}},
    {"qmspace", {W::Character, u'\u2005'}}, {"bullet", {W::Character, u'\u2022'}},
    {"lquote", {W::Character, u'\u2018'}}, {"rquote", {W::Character, u'\u2019'}},
    {"ldblquote", {W::Character, u'\u201C'}}, {"rdblquote", {W::Character, u'\u201D'}},
    {"zwj", {W::Character, u'\u200D'}}, {"zwnj", {W::Character, u'\u200C'}},
    {"ltrmark", {W::Character, u'\u200E'}}, {"rtlmark", {W::Character, u'\u200F'}},
};

const std::unordered_map<std::string_view, TRtfWordInfo>& Words() {
  static const std::unordered_map<std::string_view, TRtfWordInfo> words = [] {
    std::unordered_map<std::string_view, TRtfWordInfo> map;
    for (const TEntry& entry : kWords) map.emplace(entry.Name, entry.Info);
    for (std::string_view name : kSkipped) map.emplace(name, TRtfWordInfo{W::SkippedDestination});
    return map;
  }();
  return words;
}

}  // namespace

TRtfWordInfo LookUpRtfWord(std::string_view name) {
  const auto& words = Words();
  auto found = words.find(name);
  return found == words.end() ? TRtfWordInfo{} : found->second;
}

bool IsRtfStateWord(TRtfWord word) {
  switch (word) {
    case W::Unknown:
    case W::FontTable:
    case W::ColorTable:
    case W::SkippedDestination:
    case W::Object:
    case W::ObjectResult:
    case W::Paragraph:
    case W::LineBreak:
    case W::Tab:
    case W::Unicode:
    case W::Character:
      return false;
    default:
      return true;
  }
}

}  // namespace veldor
