// Construction and destruction of the parsed statement objects; the cursor slot of a
// source table needs the cursor's full type to be freed.
#include "sql/query.h"

#include "engine/data_cursor.h"

namespace veldor {

TSourceTable::TSourceTable() = default;
TSourceTable::~TSourceTable() = default;

TDataQuery::TDataQuery() = default;
TDataQuery::~TDataQuery() = default;

}  // namespace veldor
