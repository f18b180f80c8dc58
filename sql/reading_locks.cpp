// The locks a statement holds over the reading of its source tables.
#include "sql/reading_locks.h"

#include "engine/data_cursor.h"
#include "sql/query.h"

namespace veldor {
namespace {

// The open table object behind a source table, or null.
TDataTable* TableOf(const TSourceTable& source) {
  if (!source.Cursor || !source.Cursor->IsOpen()) return nullptr;
  return source.Cursor->Table();
}

}  // namespace

void TReadingLocks::LockTables(TDataQuery& query) {
  for (auto& source : query.SourceTables) {
    TDataTable* table = TableOf(*source);
    if (table == nullptr || table->TableLocked()) continue;
    table->LockTable();
    if (table->TableLocked()) Tables_.push_back(table);
  }
}

void TReadingLocks::LockReading(TDataQuery& query) {
  for (auto& source : query.SourceTables) {
    TDataTable* table = TableOf(*source);
    // Several source tables may share one table object (a table joined with itself).
    if (table == nullptr || table->QueryReadLocked()) continue;
    table->QueryReadLock();
    if (table->QueryReadLocked()) Reading_.push_back(table);
  }
}

void TReadingLocks::Release() noexcept {
  for (auto it = Reading_.rbegin(); it != Reading_.rend(); ++it) {
    try {
      (*it)->QueryReadUnlock();
    } catch (...) {
      // A slot that cannot be given back is lost to this process only; the table's close
      // releases it in any case.
    }
  }
  Reading_.clear();
  for (auto it = Tables_.rbegin(); it != Tables_.rend(); ++it) {
    try {
      (*it)->UnlockTable();
    } catch (...) {
    }
  }
  Tables_.clear();
}

}  // namespace veldor
