// The volumes of a Brevarion library and the adding of entries to them.

#include "tools/library_volumes.h"

#include "engine/errors.h"
#include "engine/table_header.h"
#include "lib/file_layer.h"
#include "tools/veldor_definition.h"
#include "tools/veldor_tool.h"
#include "tools/veldor_values.h"

namespace veldor::tool {
namespace {

// The volume of each capital letter A to Z.
constexpr int kVolumeOfLetter[26] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                     13, 14, 15, 15, 16, 17, 18, 18, 18, 19, 19, 19, 19};

// In the form `veldor create` reads (and `veldor info` shows). A name or title longer than
// its field is refused, never cut.
constexpr const char kVolumeDefinition[] =
    "description 'A volume of a Brevarion library'\n"
    "language 1033\n"
    "field AuthorSurname string 40 required\n"
    "field AuthorFirstName string 40\n"
    "field Title string 120 required\n"
    "field TextPocket fmtmemo\n"
    "primary AuthorSurname,AuthorFirstName,Title nocase compress full\n";

std::string FileOf(const std::string& directory, int volume, const char* extension) {
  return TableFileName(directory, Volumes()[size_t(volume)].TableName, extension);
}

}  // namespace

const std::array<TVolume, kVolumeCount>& Volumes() {
  static const std::array<TVolume, kVolumeCount> volumes = {{
      {"A_book", "A"}, {"B_book", "B"}, {"C_book", "C"}, {"D_book", "D"}, {"E_book", "E"},
      {"F_book", "F"}, {"G_book", "G"}, {"H_book", "H"}, {"I_book", "I"}, {"J_book", "J"},
      {"K_book", "K"}, {"L_book", "L"}, {"M_book", "M"}, {"N_book", "N"}, {"O_book", "O"},
      {"p_book", "PQ"}, {"R_book", "R"}, {"S_book", "S"}, {"t_book", "TUV"}, {"w_book", "WXYZ"},
  }};
  return volumes;
}

char BaseLetter(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return char(c);
  if (c >= 'a' && c <= 'z') return char(c - 'a' + 'A');
  // Upper and lower case of the Latin-1 letters lie 0x20 apart.
  if (c >= 0xE0 && c != 0xF7 && c != 0xFF) c = uint8_t(c - 0x20);
  if (c >= 0xC0 && c <= 0xC6) return 'A';  // À to Å, and Æ
  if (c >= 0xC8 && c <= 0xCB) return 'E';
  if (c >= 0xCC && c <= 0xCF) return 'I';
  if ((c >= 0xD2 && c <= 0xD6) || c == 0xD8) return 'O';
  if (c >= 0xD9 && c <= 0xDC) return 'U';
  switch (c) {
    case 0xC7: return 'C';               // Ç
    case 0xD0: return 'D';               // Ð
    case 0xD1: return 'N';               // Ñ
    case 0xDD: case 0xFF: case 0x9F: return 'Y';  // Ý, ÿ, Ÿ
    case 0xDE: return 'T';               // Þ
    case 0xDF: case 0x8A: case 0x9A: return 'S';  // ß, Š, š
    case 0x8C: case 0x9C: return 'O';    // Œ, œ
    case 0x8E: case 0x9E: return 'Z';    // Ž, ž
    case 0x83: return 'F';               // ƒ
    default: return 0;
  }
}

int VolumeOfSurname(std::string_view surname) {
  if (surname.empty()) throw TToolError("the surname is empty");
  const char letter = BaseLetter(uint8_t(surname[0]));
  if (letter == 0)
    throw TToolError("the surname " + Brief(surname) + " does not start with a letter, so it belongs in no volume");
  return kVolumeOfLetter[letter - 'A'];
}

TTableDefinition VolumeDefinition() { return ParseDefinition(kVolumeDefinition, "the volume definition", ""); }

TLibrary::TLibrary(const std::string& directory, bool exclusive)
    : Exclusive_(exclusive), Session_(std::make_unique<TDataSession>(0)) {
  Database_ = Session_->OpenDataDirectory("", directory);
}

TLibrary::~TLibrary() {
  try {
    Close();
  } catch (...) {
    // The caller that wanted to know closed the library itself.
  }
}

std::vector<std::string> TLibrary::PresentVolumeFiles() const {
  std::vector<std::string> present;
  for (int v = 0; v < kVolumeCount; ++v)
    for (const char* extension : {kDataExtension, kIndexExtension, kBlobExtension}) {
      const std::string file = FileOf(Database_->Path(), v, extension);
      if (FileList().FileExists(file, false)) present.push_back(file);
    }
  return present;
}

std::vector<std::string> TLibrary::VolumesInUse() const {
  std::vector<std::string> inUse;
  for (int v = 0; v < kVolumeCount; ++v) {
    if (!FileList().FileExists(FileOf(Database_->Path(), v, kDataExtension), false)) continue;
    TDataCursor probe(Database_);
    probe.SetTableName(Volumes()[size_t(v)].TableName);
    probe.SetExclusive(true);
    probe.SetReadOnly(true);
    try {
      probe.Open();
    } catch (const EVELDOREngineError& e) {
      if (e.ErrorCode == VELDOR_OSEACCES) inUse.push_back(Volumes()[size_t(v)].TableName);
    }
  }
  return inUse;
}

void TLibrary::CreateVolume(int volume, bool replace) {
  TDataCursor cursor(Database_);
  cursor.SetTableName(Volumes()[size_t(volume)].TableName);
  cursor.SetExclusive(true);
  cursor.CreateTable(VolumeDefinition(), replace, false);
}

TDataCursor& TLibrary::Open(int volume, bool* created) {
  if (created) *created = false;
  if (Cursors_[size_t(volume)]) return *Cursors_[size_t(volume)];
  const std::string name = Volumes()[size_t(volume)].TableName;
  const std::string& path = Database_->Path();
  auto exists = [&](const char* extension) { return FileList().FileExists(FileOf(path, volume, extension), false); };
  auto incomplete = [&](const std::string& why) {
    throw TToolError("the volume " + name + " is incomplete: " + why);
  };
  // A writer opening a data file without its index or BLOB file would make new, empty ones
  // beside it, and creating a table over a stray index would replace it: both are refused.
  if (!exists(kDataExtension)) {
    for (const char* extension : {kIndexExtension, kBlobExtension})
      if (exists(extension))
        incomplete(FileOf(path, volume, extension) + " is there without " + FileOf(path, volume, kDataExtension));
    try {
      CreateVolume(volume, false);
      if (created) *created = true;
    } catch (const EVELDOREngineError& e) {
      // Another program made it meanwhile: it is opened like any other.
      if (e.ErrorCode != VELDOR_TABLEEXISTS) throw;
    }
  } else if (!exists(kIndexExtension)) {
    incomplete(FileOf(path, volume, kIndexExtension) + " is missing");
  }
  // A table of that name that is not shaped as a volume takes no entries. Its shape is read
  // through a read-only cursor, which makes and changes nothing.
  {
    TDataCursor probe(Database_);
    probe.SetTableName(name);
    probe.SetReadOnly(true);
    try {
      probe.Open();
    } catch (const EVELDOREngineError&) {
      // A table with BLOB fields does not open without its BLOB file.
      if (!exists(kBlobExtension)) incomplete(FileOf(path, volume, kBlobExtension) + " is missing");
      throw;
    }
    auto refuse = [&](const std::string& why) {
      throw TToolError(name + " is not a volume of a Brevarion library: " + why);
    };
    for (const char* field : {kSurnameField, kFirstNameField, kTitleField, kTextField}) {
      uint16_t number = 0;
      try {
        number = probe.FieldNumber(field);
      } catch (const EVELDOREngineError&) {
        refuse(std::string("it has no field ") + field);
      }
      const TFieldDescriptor& f = probe.Field(number);
      const bool text = std::string_view(field) == kTextField;
      const bool fits = text ? f.FieldType() == FIELD_BLOB &&
                                   (f.SubType() == SUBTYPE_FMTMEMO || f.SubType() == SUBTYPE_MEMO)
                             : f.FieldType() == FIELD_STRING;
      if (!fits) refuse(std::string("its field ") + field + " is not " + (text ? "a memo" : "a string"));
    }
  }
  if (!exists(kBlobExtension)) incomplete(FileOf(path, volume, kBlobExtension) + " is missing");  // gone meanwhile
  auto cursor = std::make_unique<TDataCursor>(Database_);
  cursor->SetTableName(name);
  cursor->SetExclusive(Exclusive_);
  cursor->Open();
  Cursors_[size_t(volume)] = std::move(cursor);
  return *Cursors_[size_t(volume)];
}

namespace {

// The entry's values against the fields of the volume definition: what a volume about to
// be made for it would refuse is refused before it is made.
void CheckAgainstDefinition(const TEntry& entry) {
  const TTableDefinition definition = VolumeDefinition();
  const std::pair<const char*, const std::string*> values[] = {{kSurnameField, &entry.Surname},
                                                               {kFirstNameField, &entry.FirstName},
                                                               {kTitleField, &entry.Title}};
  for (const auto& [name, value] : values)
    for (const TFieldDescriptor& field : definition.Fields) {
      if (field.FieldName() != name) continue;
      try {
        CheckText(field, *value);
      } catch (const TToolError& e) {
        throw TToolError(std::string(name) + ": " + e.what());
      }
    }
}

}  // namespace

int TLibrary::Add(const TEntry& entry, bool* created) {
  const int volume = VolumeOfSurname(entry.Surname);
  if (!Cursors_[size_t(volume)] && !FileList().FileExists(FileOf(Database_->Path(), volume, kDataExtension), false))
    CheckAgainstDefinition(entry);
  TDataCursor& c = Open(volume, created);
  std::vector<uint8_t> image(c.RecordSize());
  c.InitRecord(image.data());
  // The BLOB buffer PutText opens is the engine's until the append writes it; it is freed
  // on every path.
  struct TFreeBlobs {
    TDataCursor& Cursor;
    ~TFreeBlobs() {
      try {
        Cursor.FreeAllBlobs(false);
      } catch (...) {
      }
    }
  } freeBlobs{c};
  const std::pair<const char*, const std::string*> values[] = {{kSurnameField, &entry.Surname},
                                                               {kFirstNameField, &entry.FirstName},
                                                               {kTitleField, &entry.Title},
                                                               {kTextField, &entry.Text}};
  for (const auto& [field, value] : values) {
    try {
      PutText(c, c.FieldNumber(field), image.data(), *value);
    } catch (const TToolError& e) {
      throw TToolError(std::string(field) + ": " + e.what());
    }
  }
  try {
    c.AppendRecord(image.data(), false);
  } catch (const EVELDOREngineError& e) {
    if (e.ErrorCode != VELDOR_KEYVIOL) throw;
    throw TToolError("an entry by " + Brief(entry.Surname) +
                     (entry.FirstName.empty() ? "" : ", " + Brief(entry.FirstName)) + " titled " + Brief(entry.Title) +
                     " is already in " + Volumes()[size_t(volume)].TableName);
  }
  return volume;
}

void TLibrary::Close() {
  std::exception_ptr first;
  for (std::unique_ptr<TDataCursor>& cursor : Cursors_) {
    if (!cursor) continue;
    try {
      cursor->Close();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
    cursor.reset();
  }
  if (first) std::rethrow_exception(first);
}

}  // namespace veldor::tool
