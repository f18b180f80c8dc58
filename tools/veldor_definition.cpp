// Table definitions as text: the words of each statement and the engine's descriptors.

#include "tools/veldor_definition.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "engine/field_types.h"
#include "engine/index_format.h"
#include "engine/table_header.h"

namespace veldor::tool {
namespace {

enum class TArgument { None, Size, Scale };

struct TTypeName {
  const char* Word;
  uint8_t Type;
  uint8_t SubType;
  TArgument Argument;
};

// The words of the types, in the order `info` prefers when several would do.
constexpr TTypeName kTypes[] = {
    {"string", FIELD_STRING, 0, TArgument::Size},
    {"fixed", FIELD_STRING, SUBTYPE_FIXED, TArgument::Size},
    {"unicode", FIELD_STRING, SUBTYPE_UNICODE, TArgument::Size},
    {"date", FIELD_DATE, 0, TArgument::None},
    {"time", FIELD_TIME, 0, TArgument::None},
    {"timestamp", FIELD_TIMESTAMP, 0, TArgument::None},
    {"boolean", FIELD_BOOLEAN, 0, TArgument::None},
    {"smallint", FIELD_SMALLINT, 0, TArgument::None},
    {"integer", FIELD_INTEGER, 0, TArgument::None},
    {"autoinc", FIELD_INTEGER, SUBTYPE_AUTOINC, TArgument::None},
    {"word", FIELD_WORD, 0, TArgument::None},
    {"longword", FIELD_LONGWORD, 0, TArgument::None},
    {"largeint", FIELD_LARGEINT, 0, TArgument::None},
    {"float", FIELD_FLOAT, 0, TArgument::None},
    {"money", FIELD_FLOAT, SUBTYPE_MONEY, TArgument::None},
    {"extended", FIELD_EXTENDED, 0, TArgument::None},
    {"bcd", FIELD_BCD, 0, TArgument::Scale},
    {"bytes", FIELD_BYTES, 0, TArgument::Size},
    {"varbytes", FIELD_VARBYTES, 0, TArgument::Size},
    {"memo", FIELD_BLOB, SUBTYPE_MEMO, TArgument::None},
    {"fmtmemo", FIELD_BLOB, SUBTYPE_FMTMEMO, TArgument::None},
    {"blob", FIELD_BLOB, 0, TArgument::None},
    {"binary", FIELD_BLOB, SUBTYPE_BINARY, TArgument::None},
    {"graphic", FIELD_BLOB, SUBTYPE_GRAPHIC, TArgument::None},
    {"ole", FIELD_BLOB, SUBTYPE_OLE, TArgument::None},
    {"dbole", FIELD_BLOB, SUBTYPE_DBOLE, TArgument::None},
    {"typedbinary", FIELD_BLOB, SUBTYPE_TYPEDBINARY, TArgument::None},
};

const char* kCompressionWords[] = {"none", "dup", "trail", "full"};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw TToolError(where + ": " + what);
}

// A whole number within [low, high] from a word; decimal, or hexadecimal after "0x".
int64_t NumberOf(const TWord& word, int64_t low, int64_t high, const std::string& where, const char* what) {
  const std::string& text = word.Text;
  if (!text.empty()) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    errno = 0;
    long long value = std::strtoll(text.c_str(), &end, hex ? 16 : 10);
    if (errno == 0 && end == text.c_str() + text.size() && value >= low && value <= high &&
        (text[0] != '+' && text[0] != ' '))
      return value;
  }
  Fail(where, std::string(what) + " must be a whole number from " + std::to_string(low) + " to " +
                  std::to_string(high) + ", not '" + text + "'");
}

const TWord& Next(const std::vector<TWord>& words, size_t& at, const std::string& where,
                  const std::string& after) {
  if (at >= words.size()) Fail(where, "a value is missing after '" + after + "'");
  return words[at++];
}

// Words after a type: the attributes of a field.
void ParseAttributes(const std::vector<TWord>& words, size_t at, TFieldDescriptor& field,
                     const std::string& where) {
  bool seenCase = false;
  while (at < words.size()) {
    const TWord& word = words[at++];
    const std::string& w = word.Text;
    auto text = [&](const char* what) -> std::string {
      const std::string value = Next(words, at, where, w).Text;
      if (value.size() > size_t(kMaxValueTextLength))
        Fail(where, std::string("the ") + what + " may have at most 50 characters");
      return value;
    };
    if (word.Quoted) Fail(where, "unexpected " + Quoted(w) + " (an attribute was expected)");
    if (SameWord(w, "required")) {
      field.SetRequired(true);
    } else if (SameWord(w, "upper") || SameWord(w, "lower")) {
      if (seenCase) Fail(where, "only one of 'upper' and 'lower' may be given");
      seenCase = true;
      field.SetCharCase(SameWord(w, "upper") ? CHARCASE_UPPER : CHARCASE_LOWER);
    } else if (SameWord(w, "default")) {
      field.SetDefaultValue(text("default"));
    } else if (SameWord(w, "min")) {
      field.SetMinValue(text("minimum"));
    } else if (SameWord(w, "max")) {
      field.SetMaxValue(text("maximum"));
    } else if (SameWord(w, "description")) {
      const std::string value = Next(words, at, where, w).Text;
      if (value.size() > size_t(kMaxFieldDescriptionLength))
        Fail(where, "a field description may have at most 50 characters");
      field.SetDescription(value);
    } else {
      Fail(where,
           "unknown attribute '" + w + "' (required, upper, lower, default V, min V, max V, description V)");
    }
  }
}

std::string TypeWords() {
  std::string out;
  for (const TTypeName& t : kTypes) {
    if (!out.empty()) out += ", ";
    out += t.Word;
    if (t.Argument == TArgument::Size) out += " N";
    if (t.Argument == TArgument::Scale) out += " SCALE";
  }
  return out;
}

// The field list of an index as names, ":desc" where a field sorts backwards.
std::string FieldListText(const TIndexDescriptor& index, const std::vector<TFieldDescriptor>& fields) {
  std::string out;
  for (int i = 0; i < index.FieldCount(); ++i) {
    if (i > 0) out += ",";
    uint16_t number = index.FieldNumber(i);
    std::string name = number >= 1 && number <= fields.size() ? fields[number - 1].FieldName()
                                                              : "#" + std::to_string(number);
    out += name;
    if (index.FieldDescending(i)) out += ":desc";
  }
  return WordOf(out);
}

std::string IndexOptionsText(const TIndexDescriptor& index, bool primary) {
  std::string out;
  if (!primary && index.Unique()) out += " unique";
  if (index.CaseInsensitive()) out += " nocase";
  if (index.Descending()) out += " descending";
  if (index.Compression() != COMPRESS_NONE && index.Compression() <= COMPRESS_FULL)
    out += std::string(" compress ") + kCompressionWords[index.Compression()];
  return out;
}

// Options after the field list of "primary" and "index" lines.
void ParseIndexOptions(const std::vector<TWord>& words, size_t at, bool primary, TIndexDescriptor& index,
                       const std::string& where) {
  while (at < words.size()) {
    const TWord& word = words[at++];
    const std::string& w = word.Text;
    if (!word.Quoted && SameWord(w, "unique") && !primary) {
      index.SetUnique(true);
    } else if (!word.Quoted && SameWord(w, "nocase")) {
      index.SetCaseInsensitive(true);
    } else if (!word.Quoted && SameWord(w, "descending")) {
      index.SetDescending(true);
    } else if (!word.Quoted && SameWord(w, "compress")) {
      const std::string mode = Next(words, at, where, w).Text;
      bool found = false;
      for (uint8_t m = COMPRESS_NONE; m <= COMPRESS_FULL; ++m)
        if (SameWord(mode, kCompressionWords[m])) {
          index.SetCompression(m);
          found = true;
        }
      if (!found) Fail(where, "compression must be none, dup, trail or full, not '" + mode + "'");
    } else {
      Fail(where, "unknown index option '" + w +
                      (primary ? "' (nocase, descending, compress MODE)"
                               : "' (unique, nocase, descending, compress MODE)"));
    }
  }
}

}  // namespace

void ParseTypeWords(const std::vector<TWord>& words, size_t at, TFieldDescriptor& field,
                    const std::string& where) {
  if (at >= words.size()) Fail(where, "the type of field '" + field.FieldName() + "' is missing");
  std::string word = words[at++].Text;
  std::string argument;
  bool haveArgument = false;
  // "string(20)" reads as "string 20".
  if (size_t open = word.find('('); open != std::string::npos && !word.empty() && word.back() == ')') {
    argument = word.substr(open + 1, word.size() - open - 2);
    word = word.substr(0, open);
    haveArgument = true;
  }
  const std::string description = field.Description();
  const std::string name = field.FieldName();
  const uint16_t number = field.FieldNumber();
  field = TFieldDescriptor();
  field.SetFieldNumber(number);
  field.SetFieldName(name);
  field.SetDescription(description);

  if (SameWord(word, "type")) {
    // The generic form that info writes for codes without a word: type CODE SUBTYPE SIZE.
    size_t need = at + 3;
    if (need > words.size()) Fail(where, "'type' needs CODE SUBTYPE SIZE");
    field.SetFieldType(uint8_t(NumberOf(words[at], 1, kMaxFieldType, where, "a type code")));
    field.SetSubType(uint8_t(NumberOf(words[at + 1], 0, 255, where, "a subtype code")));
    field.SetDeclaredSize(uint8_t(NumberOf(words[at + 2], 0, 255, where, "a size")));
    ParseAttributes(words, need, field, where);
    return;
  }
  const TTypeName* type = nullptr;
  for (const TTypeName& t : kTypes)
    if (SameWord(word, t.Word)) type = &t;
  if (type == nullptr) Fail(where, "unknown type '" + word + "' (" + TypeWords() + ")");
  field.SetFieldType(type->Type);
  field.SetSubType(type->SubType);
  if (type->Argument != TArgument::None) {
    TWord size{argument, false};
    if (!haveArgument) {
      if (at >= words.size())
        Fail(where, std::string("the type '") + type->Word + "' needs a " +
                        (type->Argument == TArgument::Size ? "size" : "scale"));
      size = words[at++];
    }
    if (type->Argument == TArgument::Size)
      field.SetDeclaredSize(uint8_t(NumberOf(size, 1, kMaxDeclaredSize, where, "a size")));
    else
      field.SetDeclaredScale(uint8_t(NumberOf(size, 0, kMaxBCDScale, where, "a scale")));
  } else if (haveArgument) {
    Fail(where, std::string("the type '") + type->Word + "' takes no size");
  }
  ParseAttributes(words, at, field, where);
}

TFieldDescriptor ParseFieldWords(const std::vector<TWord>& words, size_t first, const std::string& where) {
  if (first >= words.size()) Fail(where, "a field name is missing");
  TFieldDescriptor field;
  const std::string& name = words[first].Text;
  if (name.empty() || name.size() > size_t(kMaxFieldNameLength))
    Fail(where, "a field name has 1 to 30 characters: '" + name + "'");
  field.SetFieldName(name);
  ParseTypeWords(words, first + 1, field, where);
  return field;
}

std::string TypeText(const TFieldDescriptor& f) {
  for (const TTypeName& t : kTypes) {
    if (t.Type != f.FieldType() || t.SubType != f.SubType()) continue;
    switch (t.Argument) {
      case TArgument::None: return t.Word;
      case TArgument::Size: return std::string(t.Word) + " " + std::to_string(f.DeclaredSize());
      case TArgument::Scale: return std::string(t.Word) + " " + std::to_string(f.DeclaredScale());
    }
  }
  return "type " + std::to_string(f.FieldType()) + " " + std::to_string(f.SubType()) + " " +
         std::to_string(f.DeclaredSize());
}

std::string FieldText(const TFieldDescriptor& f) {
  std::string out = WordOf(f.FieldName()) + " " + TypeText(f);
  if (f.Required()) out += " required";
  if (f.CharCase() == CHARCASE_UPPER) out += " upper";
  if (f.CharCase() == CHARCASE_LOWER) out += " lower";
  if (!f.DefaultValue().empty()) out += " default " + Quoted(f.DefaultValue());
  if (!f.MinValue().empty()) out += " min " + Quoted(f.MinValue());
  if (!f.MaxValue().empty()) out += " max " + Quoted(f.MaxValue());
  if (!f.Description().empty()) out += " description " + Quoted(f.Description());
  return out;
}

TIndexDescriptor MakeIndex(const std::string& name, const std::string& fieldList,
                           const std::vector<TFieldDescriptor>& fields, bool unique, bool noCase,
                           bool descending, const std::string& where) {
  TIndexDescriptor index;
  index.SetName(name);
  index.SetUnique(unique);
  index.SetCaseInsensitive(noCase);
  index.SetDescending(descending);
  int count = 0;
  size_t start = 0;
  while (start <= fieldList.size()) {
    size_t comma = fieldList.find(',', start);
    if (comma == std::string::npos) comma = fieldList.size();
    std::string part = fieldList.substr(start, comma - start);
    start = comma + 1;
    bool backwards = false;
    if (size_t colon = part.rfind(':'); colon != std::string::npos) {
      if (!SameWord(part.substr(colon + 1), "desc"))
        Fail(where, "'" + part + "': only ':desc' may follow a field name");
      backwards = true;
      part.resize(colon);
    }
    const TFieldDescriptor* found = nullptr;
    for (const TFieldDescriptor& f : fields)
      if (SameWord(f.FieldName(), part)) found = &f;
    if (found == nullptr) {
      std::string known;
      for (const TFieldDescriptor& f : fields) known += (known.empty() ? "" : ", ") + f.FieldName();
      Fail(where, "no field '" + part + "' for the index (fields: " + known + ")");
    }
    if (count == kMaxIndexFields) Fail(where, "an index has at most 16 fields");
    index.SetFieldNumber(count, found->FieldNumber());
    index.SetFieldDescending(count, backwards);
    ++count;
  }
  index.SetFieldCount(uint8_t(count));
  return index;
}

TTableDefinition ParseDefinition(std::string_view text, const std::string& origin,
                                 const std::string& password) {
  TTableDefinition d;
  d.Indexes.emplace_back();  // the primary slot, without fields until a "primary" line
  struct TPendingIndex {
    std::vector<TWord> Words;
    std::string Where;
    bool Primary;
  };
  std::vector<TPendingIndex> pending;
  bool seenPrimary = false, seenLanguage = false, seenDescription = false, seenBlockSize = false,
       seenVersion = false, seenPassword = false;
  size_t lineNumber = 0;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    ++lineNumber;
    const std::string where = origin + " line " + std::to_string(lineNumber);
    std::vector<TWord> words;
    try {
      words = SplitWords(line);
    } catch (const TToolError& e) {
      Fail(where, e.what());
    }
    if (words.empty()) continue;
    const std::string& keyword = words[0].Text;
    auto once = [&](bool& seen) {
      if (seen) Fail(where, "'" + keyword + "' is given twice");
      seen = true;
    };
    auto exactly = [&](size_t count, const char* form) {
      if (words.size() != count) Fail(where, std::string("expected: ") + form);
    };
    if (words[0].Quoted) Fail(where, "a line starts with a keyword, not " + Quoted(keyword));
    if (SameWord(keyword, "field")) {
      TFieldDescriptor field = ParseFieldWords(words, 1, where);
      for (const TFieldDescriptor& f : d.Fields)
        if (SameWord(f.FieldName(), field.FieldName()))
          Fail(where, "the field '" + field.FieldName() + "' is defined twice");
      if (d.Fields.size() == size_t(kMaxFieldCount)) Fail(where, "a table has at most 1024 fields");
      field.SetFieldNumber(uint16_t(d.Fields.size() + 1));
      d.Fields.push_back(field);
    } else if (SameWord(keyword, "primary")) {
      once(seenPrimary);
      if (words.size() < 2) Fail(where, "expected: primary FIELD[,FIELD...] [options]");
      pending.push_back({words, where, true});
    } else if (SameWord(keyword, "index")) {
      if (words.size() < 3) Fail(where, "expected: index NAME FIELD[,FIELD...] [options]");
      pending.push_back({words, where, false});
    } else if (SameWord(keyword, "language")) {
      once(seenLanguage);
      if (words.size() != 2 && !(words.size() == 4 && SameWord(words[2].Text, "sort")))
        Fail(where, "expected: language N [sort M]");
      d.Language = int16_t(NumberOf(words[1], 0, std::numeric_limits<int16_t>::max(), where, "a language"));
      if (words.size() == 4) d.Sort = uint16_t(NumberOf(words[3], 0, 65535, where, "a sort identifier"));
    } else if (SameWord(keyword, "description")) {
      once(seenDescription);
      exactly(2, "description TEXT");
      if (words[1].Text.size() > size_t(kMaxDescriptionLength))
        Fail(where, "the description may have at most 50 characters");
      d.Description = words[1].Text;
    } else if (SameWord(keyword, "blocksize")) {
      once(seenBlockSize);
      exactly(2, "blocksize N");
      d.BlobBlockSize = uint32_t(NumberOf(words[1], 64, 65535 + 18, where, "a block size"));
    } else if (SameWord(keyword, "version")) {
      once(seenVersion);
      exactly(3, "version MAJOR MINOR");
      d.UserMajorVersion = int16_t(NumberOf(words[1], -32768, 32767, where, "a version"));
      d.UserMinorVersion = int16_t(NumberOf(words[2], -32768, 32767, where, "a version"));
    } else if (SameWord(keyword, "password")) {
      once(seenPassword);
      exactly(2, "password TEXT");
      d.Encrypted = true;
      d.Password = words[1].Text;
    } else if (SameWord(keyword, "encrypted")) {
      once(seenPassword);
      exactly(1, "encrypted");
      if (password.empty()) Fail(where, "'encrypted' takes its password from --password, which is not given");
      d.Encrypted = true;
      d.Password = password;
    } else {
      Fail(where, "unknown statement '" + keyword +
                      "' (field, primary, index, language, description, blocksize, version, password, "
                      "encrypted)");
    }
  }
  if (d.Fields.empty()) throw TToolError(origin + ": the definition has no field");
  // Indexes last, so that they may name fields defined after them.
  for (const TPendingIndex& p : pending) {
    if (p.Primary) {
      TIndexDescriptor primary = MakeIndex("", p.Words[1].Text, d.Fields, true, false, false, p.Where);
      ParseIndexOptions(p.Words, 2, true, primary, p.Where);
      d.Indexes[0] = primary;
    } else {
      TIndexDescriptor index =
          MakeIndex(p.Words[1].Text, p.Words[2].Text, d.Fields, false, false, false, p.Where);
      ParseIndexOptions(p.Words, 3, false, index, p.Where);
      d.Indexes.push_back(index);
    }
  }
  return d;
}

std::string DefinitionSummary(const TTableInformation& info) {
  return std::to_string(info.RecordCount) + (info.RecordCount == 1 ? " record" : " records") +
         ", record size " + std::to_string(info.RecordSize) + " bytes, last auto-increment value " +
         std::to_string(info.LastAutoInc);
}

std::string FormatDefinition(const TTableInformation& info) {
  std::string out;
  if (info.Encrypted) out += "# encrypted (give the password with a 'password' line to make one like it)\n";
  if (!info.Description.empty()) out += "description " + Quoted(info.Description) + "\n";
  if (info.Language != 0 || info.Sort != 0) {
    out += "language " + std::to_string(info.Language);
    if (info.Sort != 0) out += " sort " + std::to_string(info.Sort);
    out += "\n";
  }
  if (info.BlobBlockSize != kDefaultBlobBlockSize)
    out += "blocksize " + std::to_string(info.BlobBlockSize) + "\n";
  if (info.UserMajorVersion != 0 || info.UserMinorVersion != 0)
    out += "version " + std::to_string(info.UserMajorVersion) + " " + std::to_string(info.UserMinorVersion) +
           "\n";
  for (const TFieldDescriptor& f : info.Fields) out += "field " + FieldText(f) + "\n";
  for (size_t i = 0; i < info.Indexes.size(); ++i) {
    const TIndexDescriptor& index = info.Indexes[i];
    if (i == 0) {
      if (info.NoPrimaryKey || index.FieldCount() == 0) continue;
      out += "primary " + FieldListText(index, info.Fields) + IndexOptionsText(index, true) + "\n";
    } else {
      out += "index " + WordOf(index.Name()) + " " + FieldListText(index, info.Fields) +
             IndexOptionsText(index, false) + "\n";
    }
  }
  return out;
}

}  // namespace veldor::tool
