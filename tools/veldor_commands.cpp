// The veldor tool's commands.

#include "tools/veldor_commands.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/table_check.h"
#include "engine/table_header.h"
#include "lib/file_layer.h"
#include "tools/veldor_definition.h"
#include "tools/veldor_tool.h"
#include "tools/veldor_values.h"

namespace veldor::tool {
namespace {

// A command's arguments: positional ones, and options in the order given.
struct TArguments {
  std::vector<std::string> Positional;
  std::vector<std::pair<std::string, std::vector<std::string>>> Options;

  bool Has(const std::string& name) const {
    for (const auto& o : Options)
      if (o.first == name) return true;
    return false;
  }
  // The values of the last use of an option, or nullptr.
  const std::vector<std::string>* Last(const std::string& name) const {
    const std::vector<std::string>* found = nullptr;
    for (const auto& o : Options)
      if (o.first == name) found = &o.second;
    return found;
  }
};

struct TOptionSpec {
  const char* Name;
  int Values;
};

// Splits args[1...] by `specs`; "--" ends the options, "-" alone is positional.
TArguments Parse(const std::vector<std::string>& args, std::initializer_list<TOptionSpec> specs) {
  TArguments out;
  bool options = true;
  for (size_t i = 1; i < args.size(); ++i) {
    std::string a = args[i];
    if (!options || a.size() < 2 || a.compare(0, 2, "--") != 0) {
      out.Positional.push_back(a);
      continue;
    }
    if (a == "--") {
      options = false;
      continue;
    }
    std::string inlineValue;
    bool hasInline = false;
    if (size_t eq = a.find('='); eq != std::string::npos) {
      inlineValue = a.substr(eq + 1);
      a.resize(eq);
      hasInline = true;
    }
    const TOptionSpec* spec = nullptr;
    for (const TOptionSpec& s : specs)
      if (a == s.Name) spec = &s;
    if (spec == nullptr) throw TUsageError(args[0] + ": unknown option " + a);
    std::vector<std::string> values;
    if (hasInline) {
      if (spec->Values != 1) throw TUsageError(args[0] + ": " + a + " takes no '=' value");
      values.push_back(inlineValue);
    } else {
      for (int v = 0; v < spec->Values; ++v) {
        if (i + 1 >= args.size())
          throw TUsageError(args[0] + ": " + a + " needs " +
                            (spec->Values == 1 ? "a value" : std::to_string(spec->Values) + " values"));
        values.push_back(args[++i]);
      }
    }
    out.Options.emplace_back(a, std::move(values));
  }
  return out;
}

void Expect(const TArguments& a, size_t low, size_t high, const char* usage) {
  if (a.Positional.size() < low || a.Positional.size() > high)
    throw TUsageError(std::string("usage: ") + usage);
}

// The name without a ".dat" ending in any case.
std::string WithoutDataEnding(std::string name) {
  if (name.size() > 4 && SameWord(name.substr(name.size() - 4), ".dat")) name.resize(name.size() - 4);
  return name;
}

// Writes text to standard output, raising when the output is gone.
void Out(const std::string& text) {
  if (!text.empty() && std::fwrite(text.data(), 1, text.size(), stdout) != text.size())
    throw TToolError(std::string("cannot write the output: ") + std::strerror(errno));
}

std::string Plural(int64_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::string ReadInput(const std::string& path) {
  const bool standardInput = path == "-";
  const std::string name = standardInput ? "standard input" : path;
  const int fd = standardInput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw TToolError("cannot read " + name + ": " + std::strerror(errno));
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    if (!standardInput) close(fd);
    throw TToolError("cannot read " + name + ": it is a directory");
  }
  std::string text;
  char block[65536];
  for (;;) {
    const ssize_t n = read(fd, block, sizeof block);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      if (!standardInput) close(fd);
      throw TToolError("cannot read " + name + ": " + std::strerror(error));
    }
    text.append(block, size_t(n));
  }
  if (!standardInput) close(fd);
  return text;
}

TTool::TTool(TOptions options) : Options_(std::move(options)), Session_(std::make_unique<TDataSession>(0)) {
  for (const std::string& p : Options_.Passwords) Session_->AddPassword(p);
}

TTool::~TTool() = default;

bool TTool::IsCommand(const std::string& name) {
  for (const char* c : {"info", "create", "load", "dump", "add-index", "drop-index", "restructure", "empty",
                        "rename", "drop", "verify"})
    if (name == c) return true;
  return false;
}

int TTool::Run(const std::vector<std::string>& args) {
  const std::string& c = args.at(0);
  if (c == "info") return Info(args);
  if (c == "create") return Create(args);
  if (c == "load") return Load(args);
  if (c == "dump") return Dump(args);
  if (c == "add-index") return AddIndex(args);
  if (c == "drop-index") return DropIndex(args);
  if (c == "restructure") return Restructure(args);
  if (c == "empty") return Empty(args);
  if (c == "rename") return Rename(args);
  if (c == "drop") return Drop(args);
  if (c == "verify") return Verify(args);
  throw TUsageError("unknown command '" + c + "'");
}

TTool::TTarget TTool::Target(const std::string& argument, bool mustExist) {
  TTarget t;
  t.Shown = argument;
  std::string name = argument;
  if (Options_.Memory) {
    if (name.find('/') != std::string::npos)
      throw TToolError("'" + argument + "': in-memory tables are named without a directory");
    t.Database = Session_->OpenDataDirectory("Memory", "");
  } else {
    std::string directory = Options_.Directory;
    if (size_t slash = name.rfind('/'); slash != std::string::npos) {
      directory = slash == 0 ? "/" : name.substr(0, slash);
      name = name.substr(slash + 1);
    }
    if (directory.empty()) directory = ".";
    t.Database = Session_->OpenDataDirectory("", directory);
    t.Directory = t.Database->Path();
  }
  t.Name = WithoutDataEnding(name);
  if (t.Name.empty() || t.Name.find_first_not_of(' ') == std::string::npos)
    throw TToolError("'" + argument + "' names no table");
  if (mustExist && !t.Database->TableExists(t.Name, Options_.Memory)) {
    if (Options_.Memory) throw TToolError("no in-memory table '" + t.Name + "'");
    throw TToolError("no table '" + argument + "' (" + TableFileName(t.Directory, t.Name, kDataExtension) +
                     " does not exist)");
  }
  return t;
}

std::unique_ptr<TDataCursor> TTool::Cursor(const TTarget& target, bool exclusive, bool readOnly, bool open) {
  auto cursor = std::make_unique<TDataCursor>(target.Database);
  cursor->SetTableName(target.Name);
  cursor->SetInMemory(Options_.Memory);
  cursor->SetExclusive(exclusive);
  cursor->SetReadOnly(readOnly);
  if (open) cursor->Open();
  return cursor;
}

// ---- info, create ---------------------------------------------------------------------------

int TTool::Info(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 1, 1, "veldor info TABLE");
  TTarget t = Target(a.Positional[0], true);
  auto cursor = Cursor(t, false, true, false);
  TTableInformation info = cursor->GetTableInformation();
  Out(FormatDefinition(t.Name, info));
  return 0;
}

int TTool::Create(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {{"--replace", 0}});
  Expect(a, 1, 2, "veldor create TABLE [DEFFILE|-] [--replace]");
  const std::string source = a.Positional.size() == 2 ? a.Positional[1] : "-";
  TTarget t = Target(a.Positional[0], false);
  const std::string text = ReadInput(source);
  TTableDefinition d = ParseDefinition(text, source == "-" ? "standard input" : source,
                                       Options_.Passwords.empty() ? "" : Options_.Passwords.front());
  auto cursor = Cursor(t, true, false, false);
  cursor->CreateTable(d, a.Has("--replace"), true);
  // The table's own password is needed to open it again in this run.
  if (d.Encrypted) Session_->AddPassword(d.Password);
  Out("created " + t.Shown + ": " + Plural(int64_t(d.Fields.size()), "field", "fields") + ", " +
      Plural(int64_t(d.Indexes.size()) - 1, "secondary index", "secondary indexes") +
      (d.Indexes[0].FieldCount() > 0 ? ", a primary key" : ", no primary key") + "\n");
  return 0;
}

// ---- load, dump -----------------------------------------------------------------------------

// A load is all or nothing. A first pass reads the whole file and converts every value,
// so that a malformed file changes nothing; then the records are appended one by one and,
// when the engine refuses one (a key violation, a required field left empty), those
// already appended are deleted again. The auto-increment values they took are not handed
// out a second time.
int TTool::Load(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 2, 2, "veldor load TABLE FILE.csv|-");
  TTarget t = Target(a.Positional[0], true);
  const std::string source = a.Positional[1];
  const std::string text = ReadInput(source);
  const std::string origin = source == "-" ? "standard input" : source;
  auto cursor = Cursor(t, true, false, true);
  TDataCursor& c = *cursor;

  // The header names the fields of the columns.
  std::vector<std::string> cells;
  auto next = [&](TCsvReader& reader) {
    try {
      return reader.Next(cells);
    } catch (const TToolError& e) {
      throw TToolError(origin + " " + e.what());  // the reader's messages start with the line
    }
  };
  TCsvReader checker(text);
  if (!next(checker)) throw TToolError(origin + " is empty: a header line with field names is needed");
  std::vector<uint16_t> columns;
  bool autoIncGiven = false;
  for (const std::string& raw : cells) {
    const size_t first = raw.find_first_not_of(' '), last = raw.find_last_not_of(' ');
    const std::string name = first == std::string::npos ? "" : raw.substr(first, last - first + 1);
    uint16_t number = 0;
    for (size_t i = 0; i < c.Fields().size(); ++i)
      if (SameWord(c.Fields()[i].FieldName(), name)) number = uint16_t(i + 1);
    if (number == 0) {
      std::string known;
      for (const TFieldDescriptor& f : c.Fields()) known += (known.empty() ? "" : ", ") + f.FieldName();
      throw TToolError(origin + " line 1: no field '" + name + "' in " + t.Shown + " (fields: " + known +
                       ")");
    }
    for (uint16_t seen : columns)
      if (seen == number) throw TToolError(origin + " line 1: the field '" + name + "' is named twice");
    columns.push_back(number);
    autoIncGiven |= c.Field(number).IsAutoInc();
  }
  auto where = [&](const TCsvReader& reader) { return origin + " line " + std::to_string(reader.Line()); };

  // First pass: every record well-formed, every value one of its field.
  int64_t rows = 0;
  try {
    while (next(checker)) {
      if (cells.size() != columns.size())
        throw TToolError(where(checker) + ": " + Plural(int64_t(cells.size()), "value", "values") +
                         ", the header names " + Plural(int64_t(columns.size()), "field", "fields"));
      for (size_t k = 0; k < columns.size(); ++k) {
        try {
          CheckText(c.Field(columns[k]), cells[k]);
        } catch (const TToolError& e) {
          throw TToolError(where(checker) + ", field '" + c.Field(columns[k]).FieldName() + "': " + e.what());
        }
      }
      ++rows;
    }
  } catch (const TToolError& e) {
    throw TToolError(std::string(e.what()) + "\nveldor: nothing was loaded");
  }

  // Second pass: the records go in, in natural order, so that the cursor stands on each
  // one it appended and knows its record number.
  c.SetIndexNumber(kNaturalOrder);
  // Given auto-increment values are kept; a row that leaves one empty gets the next.
  if (autoIncGiven) c.SetSuppressAutoInc(true);
  std::vector<int32_t> added;
  std::vector<uint8_t> image(c.RecordSize());
  TCsvReader reader(text);
  next(reader);
  try {
    TProgressLine progress("loading " + t.Shown);
    while (next(reader)) {
      c.InitRecord(image.data());
      for (size_t k = 0; k < columns.size(); ++k) {
        if (c.Field(columns[k]).IsAutoInc() && cells[k].empty()) {
          const int32_t last = c.Table()->LastAutoInc();
          const int32_t value = last >= INT32_MAX || last < 0 ? 1 : last + 1;
          c.PutField(columns[k], image.data(), &value);
        } else {
          PutText(c, columns[k], image.data(), cells[k]);
        }
      }
      try {
        c.AppendRecord(image.data(), true);
      } catch (const EVELDOREngineError& e) {
        throw TToolError(where(reader) + ": " + e.Message);
      }
      c.FreeAllBlobs(false);
      added.push_back(c.CurrentRecordNumber());
      if ((added.size() & 255) == 0) progress.Show(int(int64_t(added.size()) * 100 / rows));
    }
  } catch (const std::exception& e) {
    c.FreeAllBlobs(false);
    std::string undone = added.empty()
                             ? ""
                             : "; the " + Plural(int64_t(added.size()), "record", "records") +
                                   " it had added " + (added.size() == 1 ? "was" : "were") + " removed again";
    try {
      for (auto n = added.rbegin(); n != added.rend(); ++n) {
        uint8_t bookmark[kNaturalBookmarkSize];
        std::memcpy(bookmark, &*n, sizeof bookmark);
        if (!c.SetToBookmark(bookmark) || c.GetCurrentRecord(image.data()) != 0)
          throw TToolError("record " + std::to_string(*n) + " is gone");
        c.DeleteRecord(image.data(), false);
      }
    } catch (const std::exception& undo) {
      undone = "; removing the records it had added failed too (" + std::string(undo.what()) +
               "), so some of them remain";
    }
    throw TToolError(std::string(e.what()) + "\nveldor: nothing was loaded" + undone);
  }
  cursor->Close();
  Out("loaded " + Plural(int64_t(added.size()), "record", "records") + " into " + t.Shown + "\n");
  return 0;
}

int TTool::Dump(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {{"--index", 1}, {"--range", 2}, {"--filter", 1}, {"--count", 0}});
  Expect(a, 1, 1, "veldor dump TABLE [--index NAME] [--range LOW HIGH] [--filter EXPRESSION] [--count]");
  TTarget t = Target(a.Positional[0], true);
  auto cursor = Cursor(t, false, true, true);
  TDataCursor& c = *cursor;
  if (const auto* index = a.Last("--index")) {
    TIndexFile& file = c.Table()->IndexFile();
    int number = file.IndexOfName((*index)[0]);
    if (number < 1 || number > file.SecondaryCount()) {
      std::string known;
      for (int i = 1; i <= file.SecondaryCount(); ++i)
        known += (known.empty() ? "" : ", ") + file.Descriptor(i).Name();
      throw TToolError("no index '" + (*index)[0] + "' in " + t.Shown +
                       (known.empty() ? " (it has no secondary index)" : " (indexes: " + known + ")"));
    }
    c.SetIndexNumber(number);
  }
  if (const auto* range = a.Last("--range")) {
    if (c.NaturalOrder())
      throw TToolError("--range needs an index: " + t.Shown +
                       " has no primary key, so name one with --index");
    const uint16_t field = c.Table()->IndexFile().Descriptor(c.IndexNumber()).FieldNumber(0);
    std::vector<uint8_t> low(c.RecordSize(), 0), high(c.RecordSize(), 0);
    for (int k = 0; k < 2; ++k) {
      const std::string& text = (*range)[size_t(k)];
      if (text.empty()) continue;
      try {
        PutText(c, field, (k == 0 ? low : high).data(), text);
      } catch (const TToolError& e) {
        throw TToolError(std::string("--range ") + (k == 0 ? "LOW" : "HIGH") + " for field '" +
                         c.Field(field).FieldName() + "': " + e.what());
      }
    }
    c.SetRange(false, (*range)[0].empty() ? nullptr : low.data(), 1,
               (*range)[1].empty() ? nullptr : high.data(), 1);
  }
  if (const auto* filter = a.Last("--filter")) {
    TFilter* f = c.AddFilter(nullptr, (*filter)[0].c_str(), false, false, true, false);
    c.ActivateFilter(f);
  }
  if (a.Has("--count")) {
    Out(std::to_string(c.GetRecordCount()) + "\n");
    return 0;
  }
  std::vector<std::string> cells;
  for (const TFieldDescriptor& f : c.Fields()) cells.push_back(f.FieldName());
  std::string buffer = CsvLine(cells);
  std::vector<uint8_t> image(c.RecordSize());
  c.SetToBegin();
  while (c.GetNextRecord(image.data()) == 0) {
    cells.clear();
    for (uint16_t n = 1; n <= c.FieldCount(); ++n) cells.push_back(GetText(c, n, image.data()));
    buffer += CsvLine(cells);
    if (buffer.size() >= 65536) {
      Out(buffer);
      buffer.clear();
    }
  }
  Out(buffer);
  return 0;
}

// ---- Indexes --------------------------------------------------------------------------------

int TTool::AddIndex(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {{"--unique", 0}, {"--nocase", 0}, {"--descending", 0}});
  Expect(a, 3, 3, "veldor add-index TABLE NAME FIELD[,FIELD...] [--unique] [--nocase] [--descending]");
  TTarget t = Target(a.Positional[0], true);
  auto cursor = Cursor(t, true, false, true);
  TDataCursor& c = *cursor;
  TIndexDescriptor index = MakeIndex(a.Positional[1], a.Positional[2], c.Fields(), a.Has("--unique"),
                                     a.Has("--nocase"), a.Has("--descending"), "add-index");
  const int32_t before = c.Table()->IndexFile().ActiveRecords();
  {
    TProgressLine progress("indexing " + t.Shown);
    c.IndexProgress = [&](int percent) { progress.Show(percent); };
    c.AddIndex(index);
    c.IndexProgress = nullptr;
  }
  const int32_t removed = before - c.Table()->IndexFile().ActiveRecords();
  cursor->Close();
  if (removed > 0)
    std::fprintf(stderr, "veldor: warning: %s whose key was already in the unique index %s were removed\n",
                 Plural(removed, "record", "records").c_str(), a.Positional[1].c_str());
  Out("added index " + a.Positional[1] + " to " + t.Shown + "\n");
  return 0;
}

int TTool::DropIndex(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 2, 2, "veldor drop-index TABLE NAME");
  TTarget t = Target(a.Positional[0], true);
  auto cursor = Cursor(t, true, false, true);
  TIndexFile& file = cursor->Table()->IndexFile();
  const int number = file.IndexOfName(a.Positional[1]);
  if (number < 1 || number > file.SecondaryCount())
    throw TToolError("no secondary index '" + a.Positional[1] + "' in " + t.Shown);
  cursor->DeleteIndex(a.Positional[1], true);
  cursor->Close();
  Out("dropped index " + a.Positional[1] + " from " + t.Shown + "\n");
  return 0;
}

// ---- restructure ----------------------------------------------------------------------------

int TTool::Restructure(const std::vector<std::string>& args) {
  TArguments a = Parse(
      args,
      {{"--add", 1}, {"--drop", 1}, {"--retype", 1}, {"--rename", 1}, {"--no-backup", 0}, {"--strict", 0}});
  Expect(a, 1, 1,
         "veldor restructure TABLE [--add 'NAME TYPE ...'] [--drop FIELD] [--retype 'FIELD TYPE ...'] "
         "[--rename OLD=NEW] [--no-backup] [--strict]");
  TTarget t = Target(a.Positional[0], true);
  auto cursor = Cursor(t, true, false, false);
  TTableInformation info = cursor->GetTableInformation();
  TTableDefinition d;
  d.Fields = info.Fields;
  d.Indexes = info.Indexes;
  d.Language = info.Language;
  d.Sort = info.Sort;
  d.Description = info.Description;
  d.Password = info.Password;
  d.Encrypted = info.Encrypted;
  d.BlobBlockSize = info.BlobBlockSize;
  d.UserMajorVersion = info.UserMajorVersion;
  d.UserMinorVersion = info.UserMinorVersion;
  uint16_t nextNumber = 1;
  for (const TFieldDescriptor& f : d.Fields)
    nextNumber = std::max<uint16_t>(nextNumber, uint16_t(f.FieldNumber() + 1));

  auto find = [&](const std::string& name, const std::string& option) -> TFieldDescriptor& {
    for (TFieldDescriptor& f : d.Fields)
      if (SameWord(f.FieldName(), name)) return f;
    throw TToolError(option + ": no field '" + name + "' in " + t.Shown);
  };
  bool changes = false;
  for (const auto& [option, values] : a.Options) {
    const std::string& value = values.empty() ? std::string() : values[0];
    if (option == "--drop") {
      TFieldDescriptor& f = find(value, option);
      for (size_t i = 0; i < d.Indexes.size(); ++i) {
        const TIndexDescriptor& index = d.Indexes[i];
        if (i == 0 && info.NoPrimaryKey) continue;
        for (int k = 0; k < index.FieldCount(); ++k)
          if (index.FieldNumber(k) == f.FieldNumber())
            throw TToolError("--drop " + value + ": the field is part of " +
                             (i == 0 ? std::string("the primary key") : "the index " + index.Name()) +
                             (i == 0 ? "" : "; drop the index first"));
      }
      d.Fields.erase(d.Fields.begin() + (&f - d.Fields.data()));
    } else if (option == "--rename") {
      size_t eq = value.find('=');
      if (eq == std::string::npos) throw TUsageError("--rename takes OLD=NEW, not '" + value + "'");
      find(value.substr(0, eq), option).SetFieldName(value.substr(eq + 1));
    } else if (option == "--retype") {
      std::vector<TWord> words = SplitWords(value);
      if (words.empty()) throw TUsageError("--retype takes 'FIELD TYPE [ATTRIBUTES]'");
      ParseTypeWords(words, 1, find(words[0].Text, option), "--retype " + value);
    } else if (option == "--add") {
      std::vector<TWord> words = SplitWords(value);
      TFieldDescriptor f = ParseFieldWords(words, 0, "--add " + value);
      f.SetFieldNumber(nextNumber++);
      d.Fields.push_back(f);
    } else {
      continue;
    }
    changes = true;
  }
  if (!changes)
    throw TUsageError("restructure: nothing to change (give --add, --drop, --retype or --rename)");

  // What the engine reports as lost, counted by cause and field or index.
  std::map<std::pair<int, std::string>, int64_t> lost;
  bool stopped = false;
  const bool strict = a.Has("--strict");
  cursor->DataLost = [&](int cause, const std::string& context, bool& continueRestructure, bool&) {
    ++lost[{cause, context}];
    if (strict) {
      continueRestructure = false;
      stopped = true;
    }
  };
  if (!Options_.Memory) Session_->SetPrivateDirectory(t.Directory);
  {
    TProgressLine progress("restructuring " + t.Shown);
    cursor->RestructureProgress = [&](int percent) { progress.Show(percent); };
    cursor->RestructureTable(d, a.Has("--no-backup"), -1, true);
  }
  for (const auto& [key, count] : lost) {
    const std::string& context = key.second;
    const std::string records = Plural(count, "record", "records");
    std::string what;
    switch (key.first) {
      case 1:
        what = records + " dropped: a key violation in index " + (context.empty() ? "?" : context);
        break;
      case 2: what = records + " dropped: they fail the checks of field " + context; break;
      case 3: what = "field " + context + " dropped from " + records; break;
      case 4:
        what = "the value of field " + context + " does not convert to its new type in " + records;
        break;
      default: what = records + " dropped by an error"; break;
    }
    Out("data lost: " + what + "\n");
  }
  if (stopped)
    throw TToolError("restructure of " + t.Shown +
                     " stopped at the first data loss (--strict); the table is unchanged");
  Out("restructured " + t.Shown + "\n");
  return 0;
}

// ---- empty, rename, drop --------------------------------------------------------------------

int TTool::Empty(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 1, 1, "veldor empty TABLE");
  TTarget t = Target(a.Positional[0], true);
  auto cursor = Cursor(t, true, false, true);
  const int64_t before = cursor->Table()->IndexFile().ActiveRecords();
  cursor->EmptyTable();
  cursor->Close();
  Out("emptied " + t.Shown + " (" + Plural(before, "record", "records") + " removed)\n");
  return 0;
}

int TTool::Rename(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 2, 2, "veldor rename TABLE NEWNAME");
  TTarget t = Target(a.Positional[0], true);
  const std::string newName = WithoutDataEnding(a.Positional[1]);
  if (newName.empty() || newName.find('/') != std::string::npos)
    throw TToolError("the new name '" + a.Positional[1] +
                     "' must be a bare name (the table stays in its directory)");
  // Every target name must be free: the engine renames file by file and would stop
  // half-way at a taken one.
  for (const char* extension : {kDataExtension, kIndexExtension, kBlobExtension}) {
    const std::string target = TableFileName(t.Directory, newName, extension);
    if (FileList().FileExists(target, Options_.Memory))
      throw TToolError("a table '" + newName + "' already exists beside " + t.Shown + " (" + target + ")");
  }
  auto cursor = Cursor(t, true, false, false);
  cursor->RenameTable(newName);
  Out("renamed " + t.Shown + " to " + newName + "\n");
  return 0;
}

int TTool::Drop(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 1, 1, "veldor drop TABLE");
  TTarget t = Target(a.Positional[0], true);
  auto cursor = Cursor(t, true, false, false);
  cursor->DeleteTable();
  Out("dropped " + t.Shown + "\n");
  return 0;
}

// ---- verify ---------------------------------------------------------------------------------

int TTool::Verify(const std::vector<std::string>& args) {
  TArguments a = Parse(args, {});
  Expect(a, 1, 1, "veldor verify TABLE");
  TTarget t = Target(a.Positional[0], true);
  // Opening a table without its index file would make a new, empty one: say so instead.
  const std::string indexFile = TableFileName(t.Directory, t.Name, kIndexExtension);
  if (!FileList().FileExists(indexFile, Options_.Memory)) {
    Out(t.Shown + ": the index file " + indexFile + " is missing\n");
    return 1;
  }
  std::unique_ptr<TDataCursor> cursor;
  try {
    cursor = Cursor(t, true, true, true);
  } catch (const EVELDOREngineError& e) {
    // A table whose headers do not pass is damaged as well; a password refused is not.
    if (e.ErrorCode == VELDOR_NOTSUFFTABLERIGHTS || e.ErrorCode == VELDOR_OSEACCES) throw;
    Out(t.Shown + ": the table cannot be opened: " + e.Message + "\n");
    return 1;
  }
  TTableChecker checker(*cursor->Table());
  std::vector<std::string> problems;
  {
    TProgressLine progress("verifying " + t.Shown);
    checker.SetProgress([&](int percent) { progress.Show(percent); });
    problems = checker.Run();
  }
  cursor->Close();
  for (const std::string& p : problems) Out(t.Shown + ": " + p + "\n");
  if (!problems.empty()) {
    Out(t.Shown + ": " + Plural(int64_t(problems.size()), "problem", "problems") + " found\n");
    return 1;
  }
  Out(t.Shown + ": sound (" + Plural(checker.LiveRecords(), "record", "records") + ", " +
      Plural(checker.DeletedRecords(), "deleted slot", "deleted slots") + ", " +
      Plural(checker.IndexesChecked(), "index", "indexes") + ", " +
      Plural(checker.BlobBlocksChecked(), "BLOB block", "BLOB blocks") + ")\n");
  return 0;
}

}  // namespace veldor::tool
