// The way back for a command that changes a table in several steps (load, add-index): what
// it takes to put the table's files back exactly as they were before the command, when the
// command fails part-way, runs out of disk space or is stopped by a signal.
//
// For each file of the table either a whole copy beside it (NAME.DAT.undo, ...) or, for a
// file the command only appends to, its header bytes and its length, kept in memory. The
// engine writes an exclusive table back only when its caches fill or it is closed, so the
// files in between match no header: only putting them back makes the table sound again.
// Single-threaded; the table must stay open, and unchanged, while the snapshot is taken.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/data_table.h"

namespace veldor::tool {

class TTableUndo {
 public:
  // How a file is kept: whole, or by its header and length (only valid when the command
  // writes nothing before the file's end but the header).
  enum class TKeep { Whole, HeaderAndLength };

  // Takes the snapshot of the open table `table`, which nothing has written since it was
  // opened; its index file is always copied whole (its pages change in place). A copy left from an earlier command that was killed raises TToolError (the
  // table may hold part of that command's work). Raises engine errors when a copy cannot
  // be written; whatever was copied is removed again.
  TTableUndo(TDataTable& table, TKeep data, TKeep blob);
  // Removes the copies unless Restore failed (then they are the way back and stay).
  ~TTableUndo();
  TTableUndo(const TTableUndo&) = delete;
  TTableUndo& operator=(const TTableUndo&) = delete;

  // Puts every file back; the table must be closed by then. Raises TToolError naming the
  // copies (which are kept) when a file cannot be put back.
  void Restore();

  // The undo copy of a table file: its name with ".undo" appended.
  static std::string CopyName(const std::string& fileName) { return fileName + ".undo"; }

 private:
  struct TFile {
    std::string Name;
    TKeep Keep;
    std::vector<uint8_t> Header;
    int64_t Length = 0;
    bool Copied = false;
  };
  bool InMemory_;
  std::vector<TFile> Files_;
  bool Keep_ = false;
};

}  // namespace veldor::tool
