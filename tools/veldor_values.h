// Field values as text, and CSV files: what `veldor load` reads and `veldor dump` writes.
// Values go into and come out of a cursor's record images; BLOB values through
// engine-owned buffers of that cursor. Single-threaded, as the cursor is.
//
// A value's text is the engine's text form of its type: dates 2024-03-09, times 01:30:15 PM
// (or 13:30:15), timestamps a date, a blank and a time, booleans True and False, numbers
// with "." as the decimal separator. Floats are written in the shortest form that reads
// back to the same double; BCD values are stored exactly with the field's scale (a text
// with more decimals, or more digits than the field's 32, is refused) and written exactly.
// Strings and memo fields are their characters; bytes fields and binary BLOBs are
// hexadecimal digits, two a byte. The empty text is NULL. All text here is the engine's
// (Windows-1252): callers convert from and to UTF-8 at the file and the terminal.
// CSV follows RFC 4180: comma-separated cells, a cell in double quotes when it holds a
// comma, a quote, a line break, or (so that it reads back) blanks at either end, with
// quotes inside doubled. Records end at CR LF or LF (the writer ends them with LF); empty
// lines hold no record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/data_cursor.h"
#include "tools/veldor_tool.h"

namespace veldor::tool {

// Puts `text` into field `number` of the record image `image` of `cursor`: "" clears the
// field; a memo or other BLOB gets an engine-owned BLOB buffer (the caller frees it with
// FreeAllBlobs after posting). A text that is not a value of the field's type, or a string
// longer than the field, raises TToolError saying why (without the field's name: callers
// add it).
void PutText(TDataCursor& cursor, uint16_t number, uint8_t* image, std::string_view text);

// Whether `text` can be put into `field`: raises TToolError as PutText would, writes
// nothing.
void CheckText(const TFieldDescriptor& field, std::string_view text);

// The text of field `number` of `image`; "" for NULL. BLOBs are read through an
// engine-owned buffer on a copy of the image, freed again before returning.
std::string GetText(TDataCursor& cursor, uint16_t number, const uint8_t* image);

// Whether the engine's conversion of the non-null slot `value` of field `from` to the
// type, size and scale of field `to` (as a restructure converts it) keeps less than the
// value: a string cut, a number rounded or cut, a time of day dropped. A conversion that
// fails altogether is not counted here (the engine reports it).
bool ConversionChanges(const TFieldDescriptor& from, const TFieldDescriptor& to, const uint8_t* value);

// Reads CSV records from text held by the caller, which must outlive the reader.
class TCsvReader {
 public:
  explicit TCsvReader(std::string_view text);
  // The next record's cells; false at the end. Raises TToolError naming the line of a
  // malformed record (an unclosed quote, text after a closing quote, a quote inside an
  // unquoted cell).
  bool Next(std::vector<std::string>& cells);
  // The line the last record returned by Next started on (1-based).
  size_t Line() const { return RecordLine_; }
  // How far the reader got, for progress.
  size_t Offset() const { return Offset_; }
  size_t Size() const { return Text_.size(); }

 private:
  std::string_view Text_;
  size_t Offset_ = 0;
  size_t LineNumber_ = 1;
  size_t RecordLine_ = 0;
};

// One CSV cell as it is written: quoted when needed.
std::string CsvCell(std::string_view text);
// Cells joined by commas, ended by LF.
std::string CsvLine(const std::vector<std::string>& cells);

}  // namespace veldor::tool
