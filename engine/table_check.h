// The integrity checker of one table: its records and their stored values, its free
// chain of deleted slots, every index and every BLOB chain, compared with each other.
//
// `TTableChecker` reads the table through the table object's caches (so it sees what the
// process holds, written or not) and never writes, locks or repairs anything; it reports
// what it finds as sentences, one problem each. Header checks are the open's, except the
// counts of records, pages and blocks: those it compares with what the files hold before
// it sizes anything by them. The caller keeps the table open and unused by other cursors
// of the session for the duration; other processes must not write meanwhile (open it
// exclusively). Tests call it after heavy work; `veldor verify` uses it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace veldor {

class TDataTable;

class TTableChecker {
 public:
  // Called with the percentage of the work done, rising from 0 to 100.
  using TProgress = std::function<void(int percent)>;

  explicit TTableChecker(TDataTable& table) : Table_(table) {}

  void SetProgress(TProgress progress) { Progress_ = std::move(progress); }
  // At most this many problems are listed; the rest are counted in one closing line.
  void SetProblemLimit(size_t limit) { Limit_ = limit; }

  // Runs every check and returns the problems found, empty for a sound table. Engine
  // errors met while reading (a page that does not unpack, a block the file does not
  // hold) become problems too; only failures of the machine itself (memory) are thrown.
  std::vector<std::string> Run();

  // What the last run looked at.
  int32_t LiveRecords() const { return Live_; }
  int32_t DeletedRecords() const { return Deleted_; }
  int IndexesChecked() const { return Indexes_; }
  int32_t BlobBlocksChecked() const { return Blocks_; }

 private:
  TDataTable& Table_;
  TProgress Progress_;
  size_t Limit_ = 1000;
  int32_t Live_ = 0;
  int32_t Deleted_ = 0;
  int Indexes_ = 0;
  int32_t Blocks_ = 0;
};

// The problems of `table` (empty when sound), with the default problem limit.
std::vector<std::string> CheckTable(TDataTable& table);

}  // namespace veldor
