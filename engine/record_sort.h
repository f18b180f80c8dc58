// The record sort of a data file: rewrites a table's records in the order of a list of
// sort fields, renumbered 1, 2, 3, ..., and on the way drops duplicates (distinct) or folds
// each group of equal sort fields into one row through the caller's callbacks (grouping).
//
// Owns the sort keys, the output rules, the temporary ".TMP" run files of the external
// merge and the rebuild of the "Sys Deleted" index over the new record numbers. It does
// not own the table: `TDataFile::SortRecords` runs it on its own file and the cursor's
// `SortRecords` is the checked entry for callers. One thread at a time, on a table no other
// cursor or process uses meanwhile (an exclusive open); nothing here takes a lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace veldor {

// The byte of a sort field's descriptor (in the working area that result sets keep) that
// marks the field descending; 0 is ascending.
inline constexpr size_t kSortDescendingOffset = 253;

// The largest number of records read, sorted and buffered at once, and so the length of
// each run of the external merge: min(8192, 1 MB / record size), at least 1.
int32_t SortChunkRecords(uint16_t recordSize);

// What a grouping sort folds rows with. Rows are record images of the table (record size
// bytes) that the callee may change in place but must not keep past the call. A callback
// that throws ends the sort with that exception; the table is then as it was.
struct TRecordSortCallbacks {
  // Whether the finished output row of a group stays; false drops it, and the next group's
  // row takes its record number.
  std::function<bool(uint8_t* row)> Filter;
  // Called once on each group's output row after its last record was folded in, before
  // Filter.
  std::function<void(uint8_t* row)> Finish;
  // `start` true: a new group begins with `input`; `output` is then the same image as
  // `input` (the row to be output). `start` false: `input`, a further record of the group,
  // is folded into the group's `output` row.
  std::function<void(bool start, uint8_t* output, const uint8_t* input)> Accumulate;
};

// How a sort runs. Filter and Finish are called only in grouping mode, and only when their
// flag is set; Accumulate is called whenever grouping is on.
struct TRecordSortOptions {
  bool UseFilter = false;
  bool UseFinish = false;
  bool Grouping = false;
  // Keeps only the first record of each run of equal sort fields (equal as the key order
  // has it: by the collation, and without case when CaseInsensitive); the BLOB values of
  // the records left out are freed. Ignored with grouping, which keeps one row per run
  // anyway and leaves the BLOB values of folded and dropped rows to its callbacks.
  bool Distinct = false;
  // String parts of the sort keys are upper-cased by the table's collation first.
  bool CaseInsensitive = false;
  // Where the temporary run files go: a directory ending in "/" (empty: the current
  // directory). The cursor passes its session's private directory.
  std::string WorkDirectory;
};

// What a sort did.
struct TRecordSortResult {
  int32_t Records = 0;  // records in the table afterwards
  bool InMemory = false;  // every record was cached: no run files
  int Runs = 0;           // run files of the external merge
};

}  // namespace veldor
