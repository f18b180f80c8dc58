// The reader's rich-text loader: fills a QTextDocument from the bytes of a text field,
// which hold RTF or, in older records, plain Windows-1252 text.
//
// The RTF reader keeps the text, its fonts, sizes, styles and colours, and the paragraphs
// with their alignment, indents and spacing; it skips what a reading pane has no use for
// (document information, style sheets, headers, footers, footnotes, pictures, embedded
// objects). Damaged RTF never fails: what can be read is shown. The reading walks the
// input once, without recursion, keeping at most kRtfMaxGroupDepth group states.
//
// The functions hold no state between calls; each call must own its document (one thread).
#pragma once

#include <QByteArray>

class QTextDocument;

namespace veldor {

// Groups nested deeper than this share the state of the deepest kept group: their text is
// read, their property changes are ignored.
inline constexpr int kRtfMaxGroupDepth = 4096;

// Whether `bytes` are RTF: "{\rtf" after optional white space.
bool LooksLikeRtf(const QByteArray& bytes);

// Clears `document` and fills it from the RTF text `bytes`.
void ReadRtf(const QByteArray& bytes, QTextDocument& document);

// Clears `document` and fills it from a text field's bytes: RTF through ReadRtf, anything
// else as plain Windows-1252 text (line ends CR LF, CR or LF). Empty bytes give an empty
// document.
void LoadRichText(const QByteArray& bytes, QTextDocument& document);

}  // namespace veldor
