// The entries of the sample library: invented authors, invented titles and texts made
// from this project's own phrase tables (stories, poems, letters, essays and one
// novella), the same on every run.
//
// Most texts are RTF with real formatting (two font families and a mono one, a colour
// table, a centred bold title, italic epigraphs, indented verse with line breaks,
// underlined, struck and coloured words, Windows-1252 characters as \'hh and others as
// \uN?); some are plain text, for readers to show as such. Pure functions; safe from any
// thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/library_volumes.h"

namespace veldor::tool {

struct TSampleEntry {
  TEntry Entry;       // the engine's text (Windows-1252); the text RTF or plain
  size_t Words = 0;   // the words of the text as a reader sees it (CountWords)
  bool Rich = false;  // RTF rather than plain text
};

// Every entry of the sample library, in no particular order; no two share surname, first
// name and title as the volumes compare them (case and accents aside).
std::vector<TSampleEntry> MakeSampleEntries();

}  // namespace veldor::tool
