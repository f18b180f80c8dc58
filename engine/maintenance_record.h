// The record of a table maintenance that makes, moves or removes whole files beside a table:
// a rename, a deletion, the swap of a restructured copy for the table it replaces, the
// ".IBK" backup of an index rebuild. Changes inside the table's files go through the table's journal; what a
// journal cannot hold (a file that appears, goes or changes its name) is planned here.
//
// The record is a small file beside the table, NAME.MNT, written and made durable before the
// first file changes. It lists the files the operation makes (removed again should it not
// commit) and the moves that finish it (completed should it have committed), each move safe
// to repeat. The next process that opens, creates, deletes or renames a table of that name
// finds the record and finishes or undoes the operation before it touches the table's files
// (see Recover), so that whatever moment the operation's process died at, the table is found
// as before the operation or as after it, and none of the operation's own files remain.
//
// The owner keeps its records open exclusively while it works: a record that some process
// holds open belongs to an operation that is alive, and its table is in use. A writer that
// settles a record holds it exclusively the same way, so that two never settle one at once;
// a reader looks without a hold of its own (it never stands in the way of either) and
// finishes nothing: a table whose files are between two moves refuses it until a writer has
// opened it. The record is named after the table's data file as it stands on disk, as the
// journal is (engine/journal.h), so that looking for one costs a system call. Used by one
// thread; the file layer's sharing rules keep processes apart.
//
// File layout (numbers little-endian):
//
//   offset  width  meaning
//   0       8      "VELDORMR"
//   8       4      format version, 1
//   12      1      state: 1 the operation has not committed, 2 it has (Commit writes this byte)
//   13      1      kind (TMaintenanceKind)
//   14      2      zero
//   16      4      length n of the body
//   20      4      CRC-32 (IEEE) of the body
//   24      n      body
//
//   body (a name is a 2-byte length and that many bytes: a bare file name in the table's
//   directory, or empty)
//   2      count of the files the operation makes, then their names
//   2      count of the moves that finish it, then for each: from, to (empty: from is
//          removed), guard (empty: none; else the move is made only while this file exists),
//          1 byte flags (1: a file standing under `to` is removed first)
//   2      count of the record's own names (the table's, and a rename's twin under the new
//          name), then the names
//   4      length m of the commit image, then m bytes: for an index backup, the index file's
//          header as the committed change leaves it
//
// A file shorter than the header, with another magic or version, or whose body fails its
// checksum was cut short while it was written, before anything else changed: it is removed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/file_layer.h"

namespace veldor {

inline constexpr const char* kMaintenanceExtension = ".MNT";

enum class TMaintenanceKind : uint8_t {
  // The table's files move to other names (a rename, or to the backup names). Committed from
  // the start: recovery always finishes it. Written under both names for a rename, so that
  // an opener of either finds it.
  Rename = 1,
  // A table built beside this one replaces it. Recovery removes the new table before Commit
  // and finishes the swap after it.
  Copy = 2,
  // A copy of the index file as it was before a journaled change becomes the ".IBK" backup.
  // Committed when that change is: its journal beside the table is committed, or the index
  // file's header is the commit image.
  IndexBackup = 3,
  // The table's files are removed. Committed from the start.
  Delete = 4,
};

// What a record beside a table says, for callers that report it.
struct TMaintenanceState {
  bool Present = false;    // a record file exists
  bool InUse = false;      // its owner is alive (it could not be opened)
  bool Valid = false;      // it was read whole (an invalid one is removed by the next writer)
  bool Committed = false;  // a writer's open finishes the operation (else undoes it)
  TMaintenanceKind Kind = TMaintenanceKind::Rename;
};

// What Recover did.
enum class TMaintenanceOutcome { None, Finished, Undone, Removed };

class TMaintenanceRecord {
 public:
  // The record of an operation on table `table` of database path `directory` (as
  // TableFileName takes them). The record and every file it names lie in the directory of
  // the table's files.
  TMaintenanceRecord(const std::string& directory, const std::string& table, TMaintenanceKind kind);
  // Closes the records it holds; never removes them: a record left is for recovery.
  ~TMaintenanceRecord();
  TMaintenanceRecord(const TMaintenanceRecord&) = delete;
  TMaintenanceRecord& operator=(const TMaintenanceRecord&) = delete;

  // The bare name of table `table`'s file with `extension`, in the record's directory.
  std::string FileOf(const std::string& table, const char* extension) const;
  // The record's directory ("" or ending in "/").
  const std::string& Directory() const { return Directory_; }

  // ---- The plan, before Write ----
  void AddMade(const std::string& file);
  void AddMove(const std::string& from, const std::string& to, const std::string& guard, bool replace);
  void SetCommitImage(std::vector<uint8_t> image) { Image_ = std::move(image); }
  // The record is written under table `table`'s name as well.
  void AddTwin(const std::string& table);

  // Writes the record under each of its names, makes it durable and keeps it open
  // exclusively. A record that cannot be written is removed again and the error raised;
  // VELDOR_OSEACCES when a record of that name is held by another operation.
  void Write(bool committed);
  // Makes the files made durable, then marks the record committed (durable).
  void Commit();
  bool Committed() const { return Committed_; }
  // Makes every move that is still to be made, then removes the record.
  void Finish();
  // Removes the files made, then the record.
  void Undo();

  // ---- A record found beside a table ----
  // Finishes or undoes the operation whose record lies beside table `table` (nothing when
  // there is none). Raises VELDOR_OSEACCES when its owner is alive (the table is in use).
  // A reader (`readOnly`) changes nothing: it raises VELDOR_FILENOACCESS when the table's
  // files are between two moves (a writer's open must finish them), and otherwise leaves the
  // record for a writer.
  static TMaintenanceOutcome Recover(const std::string& directory, const std::string& table,
                                     bool readOnly);
  // Whether the data file of `table` is in place once the record beside it has been finished
  // or undone, so that the table exists as the next opener will find it (a rename or a drop
  // that committed has taken it away although its file is still there; a swap between two
  // moves brings it back although its file is missing for now). std::nullopt when there is no
  // record to go by (none, one cut short, or one that leaves the data file alone). A record
  // whose owner is alive keeps the table: it is in use.
  static std::optional<bool> DataFileAfterRecovery(const std::string& directory, const std::string& table);
  // What the record beside `table` says, without changing anything.
  static TMaintenanceState Inspect(const std::string& directory, const std::string& table);

 private:
  struct TMove {
    std::string From, To, Guard;
    bool Replace = false;
  };
  enum class TLoad { None, InUse, Invalid, Loaded };

  std::vector<uint8_t> Encode(bool committed) const;
  bool Decode(const std::vector<uint8_t>& bytes);
  // Opens and reads the record beside `table` into `record` (kept open in `held`).
  static TLoad Load(const std::string& directory, const std::string& table, bool exclusive,
                    std::unique_ptr<TMaintenanceRecord>& record, std::unique_ptr<TFileHandler>& held);
  // Whether the operation of a loaded record has committed (see TMaintenanceKind).
  bool HasCommitted(const std::string& directory, const std::string& table) const;
  bool Exists(const std::string& file) const;
  void Remove();
  void CloseHeld() noexcept;

  std::string Directory_;
  std::string TableName_;  // for errors
  TMaintenanceKind Kind_;
  std::vector<std::string> Made_;
  std::vector<TMove> Moves_;
  std::vector<std::string> Records_;
  std::vector<uint8_t> Image_;
  // The open record files, by their place in Records_ (nullptr: not held).
  std::vector<std::unique_ptr<TFileHandler>> Held_;
  bool Committed_ = false;
  bool DataFileFound_ = false;  // the table's data file was there when the record was named
};

}  // namespace veldor
