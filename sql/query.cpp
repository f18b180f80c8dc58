// Construction and destruction of the parsed statement objects; the cursor slots need the
// cursor's full type to be freed.
#include "sql/query.h"

#include "engine/data_cursor.h"
#include "engine/session.h"

namespace veldor {

TSourceTable::TSourceTable() = default;
TSourceTable::~TSourceTable() = default;

TTableJoin::TTableJoin() = default;
TTableJoin::~TTableJoin() = default;

TDataQuery::TDataQuery() = default;
TDataQuery::~TDataQuery() { ReleaseTables(); }

void TDataQuery::ReleaseTables() noexcept {
  ResultCursor = nullptr;
  OwnedResult.reset();
  WorkCursor.reset();
  for (auto& table : SourceTables) {
    table->Joins.clear();
    table->JoinedBy = nullptr;
    table->PushedFilters.clear();
    table->Cursor.reset();
  }
  for (auto d = OpenedDatabases.rbegin(); d != OpenedDatabases.rend(); ++d) {
    try {
      if (Session != nullptr) Session->CloseDataDirectory(*d);
    } catch (...) {
    }
  }
  OpenedDatabases.clear();
  SubSelectIntegers.clear();
  SubSelectNumbers.clear();
  SubSelectHasNull = 0;
  SubSelectTexts.clear();
  SubSelectValues.clear();
  SubSelectLoaded = 0;
  Bound = 0;
}

}  // namespace veldor
