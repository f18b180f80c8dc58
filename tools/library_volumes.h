// The shape of a Brevarion library, shared by the programs that make and fill one: its 20
// alphabetical volume tables in one directory, their fields and primary key, which volume
// a surname belongs in, and `TLibrary`, which opens (or creates) volumes and adds entries.
//
// Everything here works on the engine's text (Windows-1252); callers convert names and
// titles from UTF-8 before they come here. Entries go in through the engine's cursor
// operations only, so indexes and BLOBs stay right and the engine's locks coordinate other
// programs using the same volumes. Single-threaded, as the cursors are.
#pragma once

#include <array>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/data_cursor.h"
#include "engine/session.h"

namespace veldor::tool {

inline constexpr int kVolumeCount = 20;

// One volume: its table name (as the reader opens it) and the initial letters it holds.
struct TVolume {
  const char* TableName;
  const char* Letters;
};

// The volumes in the reader's order: A_book ... O_book, p_book (P, Q), R_book, S_book,
// t_book (T, U, V), w_book (W, X, Y, Z).
const std::array<TVolume, kVolumeCount>& Volumes();

// The field names every volume carries.
inline constexpr const char* kSurnameField = "AuthorSurname";
inline constexpr const char* kFirstNameField = "AuthorFirstName";
inline constexpr const char* kTitleField = "Title";
inline constexpr const char* kTextField = "TextPocket";

// The Latin capital letter a Windows-1252 character is written with, its accents and case
// dropped ('é' and 'É' give 'E', 'Ø' gives 'O', 'ß' gives 'S', 'Þ' gives 'T', 'Æ' and 'Œ'
// their first letter); 0 for a character that is no Latin letter.
char BaseLetter(unsigned char c);

// The volume (0 to 19) of a surname in the engine's text, by its first character. A surname
// that does not start with a letter raises TToolError saying so.
int VolumeOfSurname(std::string_view surname);

// The definition every volume is created with: surname, first name and title as strings
// (the surname and the title required), the text as a formatted memo, the primary key over
// surname, first name and title, ignoring case, in English (United States) order.
TTableDefinition VolumeDefinition();

// One entry, in the engine's text: the text is stored as it is (RTF, or plain text).
struct TEntry {
  std::string Surname;
  std::string FirstName;  // may be empty
  std::string Title;
  std::string Text;
};

// The volumes of one directory, opened on demand through one engine session. Cursors stay
// open until Close or the object's end. With `exclusive`, volumes are opened exclusively and
// their caches written back when they close (for a program that makes a new library);
// otherwise they are shared, and every entry is written through when it is added, so that
// readers and other writers see a sound table after each one.
class TLibrary {
 public:
  TLibrary(const std::string& directory, bool exclusive);
  ~TLibrary();
  TLibrary(const TLibrary&) = delete;
  TLibrary& operator=(const TLibrary&) = delete;

  // The files of volume tables present in the directory (any of the three of any volume).
  std::vector<std::string> PresentVolumeFiles() const;

  // The volumes another program has open: those an exclusive open is refused for by the
  // engine's sharing locks (a volume that fails to open for other reasons is not listed).
  // Their files must not be replaced.
  std::vector<std::string> VolumesInUse() const;

  // Creates the volume's table, replacing its files when `replace`; the volume must not be
  // open here. Raises the engine's errors (VELDOR_TABLEEXISTS without `replace`).
  void CreateVolume(int volume, bool replace);

  // Adds `entry` to the volume of its surname and returns that volume, creating it when it
  // does not exist yet (`created` then says so). Raises TToolError for an entry that cannot
  // go in: a surname that starts with no letter, a value longer than its field, an entry
  // with the same surname, first name and title already present (as the volume compares
  // them: without regard to case or accents), a volume that is incomplete or not shaped as
  // a volume; nothing is changed then, and no volume made. Other failures are engine errors.
  int Add(const TEntry& entry, bool* created = nullptr);

  // Closes every open volume (writing back what exclusive cursors hold). Raises the first
  // engine error met; every cursor is closed all the same.
  void Close();

 private:
  TDataCursor& Open(int volume, bool* created);

  bool Exclusive_;
  std::unique_ptr<TDataSession> Session_;
  TDataDirectory* Database_ = nullptr;
  std::array<std::unique_ptr<TDataCursor>, kVolumeCount> Cursors_;
};

}  // namespace veldor::tool
