// INSERT, UPDATE and DELETE: the statements that change the records of one target table,
// and CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE and DROP INDEX, which change its
// structure.
//
// Records change through an ordinary engine cursor on the target table, so indexes,
// constraints, locks and BLOBs behave as for any other edit; UPDATE and DELETE find their
// rows with SELECT's push-down and join machinery, INSERT ... SELECT reads its SELECT's
// result. The record statements run in a transaction of their own (committed every so
// many rows) unless their database is in one already. Structure changes go through the
// cursor's table maintenance. One thread at a time per statement, like its database.
#pragma once

#include "sql/query_statement.h"

namespace veldor {

// The runner of INSERT, UPDATE and DELETE.
TQueryRunner& DataChangeRunner();
// The runner of CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE and DROP INDEX.
TQueryRunner& TableDefinitionRunner();

// The commit interval of a statement that gives none: 32768 bytes of records, at most 8192
// rows, at least 1.
int32_t DefaultCommitInterval(uint16_t recordSize);

}  // namespace veldor
