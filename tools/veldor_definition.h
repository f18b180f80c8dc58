// The text form of table definitions: the parser behind `veldor create` and the field
// texts of `veldor restructure`, and the writer behind `veldor info`, whose
// output the parser reads back. It builds the engine's field and index descriptors only;
// the engine validates them when it makes or changes a table. Pure functions over the
// engine's text (Windows-1252): callers convert definition files and options first.
//
// One statement a line ('#' starts a comment, blank lines are ignored):
//
//   description 'Customers of the shop'
//   language 1033 [sort 0]           collation of the table (0 = byte order, the default)
//   blocksize 512                    BLOB block size in bytes (at least 64)
//   version 1 0                      the owner's major and minor version numbers
//   password secret                  the table is encrypted with this password
//   encrypted                        the same, with the password given by --password
//   field NAME TYPE [SIZE] [required] [upper|lower] [default V] [min V] [max V]
//         [description V]
//   primary FIELD[,FIELD...] [nocase] [descending] [compress none|dup|trail|full]
//   index NAME FIELD[,FIELD...] [unique] [nocase] [descending] [compress ...]
//
// A field in an index list may carry ":desc" to sort that field backwards. No "primary"
// line makes a table without a primary key (records kept in record order).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/data_cursor.h"
#include "tools/veldor_tool.h"

namespace veldor::tool {

// The definition in `text`; `origin` names it in messages ("books.def line 3: ...") and
// `password` is what an "encrypted" line uses. Raises TToolError.
TTableDefinition ParseDefinition(std::string_view text, const std::string& origin,
                                 const std::string& password);

// The definition of a table in the same form, so that `veldor create` can make a table
// like it. The password is never written.
std::string FormatDefinition(const TTableInformation& info);
// The table's figures: "4 records, record size 52 bytes, last auto-increment value 6".
std::string DefinitionSummary(const TTableInformation& info);

// A field from the words of a "field" line after the keyword: NAME TYPE [SIZE] and the
// attributes. `where` prefixes messages.
TFieldDescriptor ParseFieldWords(const std::vector<TWord>& words, size_t first, const std::string& where);
// The type and attributes from words[at...] applied to `field`: type, subtype, size,
// scale, required flag, character case, default, minimum and maximum are all replaced
// (attributes not written are cleared); the name, number and description are kept
// unless a description is written.
void ParseTypeWords(const std::vector<TWord>& words, size_t at, TFieldDescriptor& field,
                    const std::string& where);

// "string 20", "autoinc", "bcd 2", "memo", ...
std::string TypeText(const TFieldDescriptor& field);
// NAME TYPE and the attributes, as a "field" line has them.
std::string FieldText(const TFieldDescriptor& field);

// An index over the named fields of `fields` (FIELD[,FIELD...], each optionally with
// ":desc"); names compare without regard to case. Raises TToolError for an unknown field.
TIndexDescriptor MakeIndex(const std::string& name, const std::string& fieldList,
                           const std::vector<TFieldDescriptor>& fields, bool unique, bool noCase,
                           bool descending, const std::string& where);

}  // namespace veldor::tool
