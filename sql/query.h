// The parsed form of one SQL statement: `TDataQuery` and the items of its lists.
//
// The statement parser fills these objects completely; binding and execution work from
// them alone and add their own state. A query owns its lists and their expression trees;
// it never owns another query (sub-selects, the SELECT of an INSERT and UNION members are
// owned by the statement that registered them, and are only referred to here). Nothing
// here opens a table: the cursor and database slots stay empty until binding. One thread
// at a time per query, like its statement.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "lib/expression.h"

namespace veldor {

class TDataCursor;
class TDataDirectory;
class TDataQuery;
class TDataSession;
class TFilter;
struct TSourceTable;

// Statement kinds.
inline constexpr uint8_t kStatementSelect = 1;
inline constexpr uint8_t kStatementInsert = 2;
inline constexpr uint8_t kStatementUpdate = 3;
inline constexpr uint8_t kStatementDelete = 4;
inline constexpr uint8_t kStatementCreateTable = 5;
inline constexpr uint8_t kStatementAlterTable = 6;
inline constexpr uint8_t kStatementDropTable = 7;
inline constexpr uint8_t kStatementCreateIndex = 8;
inline constexpr uint8_t kStatementDropIndex = 9;

// Aggregate kinds of a result column.
inline constexpr uint8_t kAggregateNone = 0;
inline constexpr uint8_t kAggregateSum = 1;
inline constexpr uint8_t kAggregateRunSum = 2;
inline constexpr uint8_t kAggregateMin = 3;
inline constexpr uint8_t kAggregateMax = 4;
inline constexpr uint8_t kAggregateAvg = 5;
inline constexpr uint8_t kAggregateCount = 6;

// UNION kinds.
inline constexpr uint8_t kUnionDistinct = 1;
inline constexpr uint8_t kUnionAll = 2;

// Join sides marked on the comparisons of an ON condition.
inline constexpr uint8_t kJoinSideInner = 1;
inline constexpr uint8_t kJoinSideLeft = 2;
inline constexpr uint8_t kJoinSideRight = 3;

// CHARCASE of a column definition.
inline constexpr uint8_t kCharCaseNoChange = 0;
inline constexpr uint8_t kCharCaseLower = 1;
inline constexpr uint8_t kCharCaseUpper = 2;

// COMPRESS of an index definition.
inline constexpr uint8_t kCompressNone = 0;
inline constexpr uint8_t kCompressDupByte = 1;
inline constexpr uint8_t kCompressTrailByte = 2;
inline constexpr uint8_t kCompressFull = 3;

// One select-list item.
struct TResultField {
  std::string SourceColumnName;
  uint16_t FieldNumber = 0;
  std::string SourceCorrelation;
  std::string ResultName;    // from the alias, or the plain column's name (never "*")
  uint8_t NameFromAlias = 1; // 0 when an alias gave the name
  uint8_t IsExpression = 0;  // 0 for a plain column or an aggregate of one
  uint8_t AggregateKind = kAggregateNone;
  std::string ExpressionText;
  TTokenTree Expression;

  // Set by binding.
  TSourceTable* SourceTable = nullptr;  // a plain column's table (COUNT(*): the first)
  uint16_t ResultFieldNumber = 0;       // its field in the result table
  uint8_t DataType = 0;
  uint8_t SubType = 0;
  int32_t DataSize = 0;
  uint8_t Scale = 0;
  uint8_t CountStar = 0;
  uint16_t AvgCountField = 0;  // AVG: the hidden count column's field number
};

struct TTableJoin;

// How two source tables are joined: for each row of the outer table the inner table's
// matching rows are selected through a filter rebuilt from `Condition` (left operands refer
// to the inner table, right operands to the outer one).
struct TTableJoin {
  TTableJoin();
  ~TTableJoin();
  TSourceTable* Outer = nullptr;
  TSourceTable* Inner = nullptr;
  uint8_t JoinKind = 0;  // 1 inner, 2 left outer
  TTokenTree Condition;
  // ON conditions on the outer table alone: a row of the outer table for which they are
  // false has no matches (a left join still keeps it, with NULLs).
  TTokenTree OuterCondition;
  TFilter* Filter = nullptr;  // installed on the inner table's cursor, which owns it
};

// One table of FROM, JOIN, INSERT INTO, UPDATE or DELETE. The database and the cursor are
// filled when the query is bound; parsing only names the table.
struct TSourceTable {
  TSourceTable();
  ~TSourceTable();
  TSourceTable(const TSourceTable&) = delete;
  TSourceTable& operator=(const TSourceTable&) = delete;

  TDataQuery* Query = nullptr;        // the owning query
  TDataDirectory* Database = nullptr;  // not owned; set by binding
  std::unique_ptr<TDataCursor> Cursor; // opened by binding
  uint8_t InMemory = 0;
  uint16_t TableNumber = 0;    // 1 for the statement's first table, then one more per table
  std::string DatabaseName;    // "Memory", a directory ending in "/", or empty for the statement's own
  std::string TableName;       // the file name without directory and without ".DAT"
  std::string CorrelationName; // the alias, or the table name
  uint8_t AliasGiven = 0;      // an AS or bare alias named the correlation

  // Set by binding and running.
  std::vector<uint8_t> RecordBuffer;  // the current row of the join
  uint16_t JoinOrder = 0;
  uint8_t AtEnd = 0;
  uint8_t NullRow = 0;   // an outer join found no match: every column reads NULL
  uint8_t IsTarget = 0;  // the table an UPDATE or DELETE changes: it never drives a join
  std::vector<std::unique_ptr<TTableJoin>> Joins;  // this table as the outer table
  TTableJoin* JoinedBy = nullptr;                  // the join whose inner table this is
  std::vector<TFilter*> PushedFilters;             // conditions installed on the cursor
};

// A target column of INSERT or UPDATE ("*" for an INSERT without a column list).
struct TUpdateField {
  std::string ColumnName;
  uint16_t FieldNumber = 0;
  std::string CorrelationName;
  uint8_t DataType = 0;
  uint8_t SubType = 0;
  int32_t DataSize = 0;
  uint8_t Scale = 0;
  std::string ExpressionText;
  TTokenTree Expression;
};

// A value of INSERT ... VALUES or of UPDATE ... SET.
struct TUpdateValue {
  std::string ExpressionText;
  TTokenTree Expression;
};

// A column definition or change of CREATE TABLE and ALTER TABLE.
struct TCreateField {
  std::string ColumnName;
  std::string NewColumnName;  // REDEFINE with a new name
  std::string Description;
  uint8_t DescriptionGiven = 0;
  uint8_t NotNull = 0;
  uint8_t NotNullGiven = 0;
  uint8_t CharCase = kCharCaseNoChange;
  uint8_t CharCaseGiven = 0;
  std::string MinimumText;
  uint8_t MinimumGiven = 0;
  std::string MaximumText;
  uint8_t MaximumGiven = 0;
  std::string DefaultText;
  uint8_t DefaultGiven = 0;
  uint8_t IsAdd = 0;
  uint8_t IsRedefine = 0;
  uint8_t IsDrop = 0;
  uint16_t Position = 0;  // AT n; 0 when not given
  std::string ExpressionText;
  TTokenTree Expression;  // the column's name node, carrying the data type
  TTokenTree NewExpression;  // REDEFINE: the new name's node with its type, if given
};

// A primary key of CREATE TABLE or ALTER TABLE, or the index of CREATE INDEX.
struct TCreateIndex {
  std::string IndexName;
  uint8_t Descending = 0;
  uint8_t Unique = 0;
  uint8_t NoCase = 0;
  uint8_t Compression = kCompressNone;
  uint8_t IsAdd = 0;
  uint8_t IsRedefine = 0;
  uint8_t IsDrop = 0;
  std::string ExpressionText;
  TTokenTree Columns;  // the key columns, a chain of name nodes linked through Right
  std::vector<std::string> ColumnNames;
};

// An ORDER BY item: a name with its correlation, or a column number (ColumnName empty).
struct TOrderByField {
  std::string ColumnName;
  std::string CorrelationName;
  uint16_t ColumnNumber = 0;
  uint8_t Descending = 0;
};

// A GROUP BY item, as for ORDER BY without the direction.
struct TGroupByField {
  std::string ColumnName;
  std::string CorrelationName;
  uint16_t ColumnNumber = 0;
};

// One parsed statement, sub-select or UNION member.
class TDataQuery {
 public:
  TDataQuery();
  ~TDataQuery();
  TDataQuery(const TDataQuery&) = delete;
  TDataQuery& operator=(const TDataQuery&) = delete;

  uint8_t StatementKind = 0;
  uint8_t IsSubQuery = 0;  // a sub-select inside IN, or the SELECT of an INSERT

  std::vector<std::unique_ptr<TResultField>> ResultColumns;
  std::vector<std::unique_ptr<TSourceTable>> SourceTables;  // FROM order; a RIGHT JOIN table goes first
  std::vector<std::unique_ptr<TUpdateField>> UpdateFields;
  std::vector<std::unique_ptr<TUpdateValue>> UpdateValues;
  std::vector<std::unique_ptr<TCreateField>> CreateFields;
  std::vector<std::unique_ptr<TCreateIndex>> CreateIndexes;
  std::vector<std::unique_ptr<TOrderByField>> OrderByColumns;
  std::vector<std::unique_ptr<TGroupByField>> GroupByColumns;

  // WHERE and every ON condition, joined by AND with the newest on the right.
  TTokenTree Condition;
  TTokenTree HavingCondition;

  uint8_t Distinct = 0;
  uint8_t MultiTable = 0;    // a comma or a JOIN was seen in FROM
  uint8_t HasCondition = 0;  // WHERE or an outer join was seen
  uint8_t HasGroupBy = 0;
  uint8_t HasHaving = 0;
  uint8_t HasOrderBy = 0;
  uint8_t OrderByNoCase = 0;
  uint8_t WithLocks = 0;
  uint8_t NoJoinOptimize = 0;
  uint8_t NoAutoInc = 0;
  uint8_t IfExists = 0;     // DROP TABLE
  uint8_t IfNotExists = 0;  // CREATE TABLE
  uint8_t NoBackup = 0;     // ALTER TABLE
  uint8_t HasAverages = 0;  // an AVG column

  int32_t TopCount = 0;  // 0 = no TOP
  // The next member of a UNION chain (owned by the statement) and, on a member, how it
  // joined the chain (kUnionDistinct or kUnionAll; 0 on the chain's first query).
  TDataQuery* UnionQuery = nullptr;
  uint8_t UnionKind = 0;
  // The SELECT of an INSERT ... SELECT (owned by the statement).
  TDataQuery* InsertQuery = nullptr;

  // The result table (SELECT ... INTO) or the target table of the other kinds.
  uint8_t InMemory = 0;
  std::string TableName;
  std::string DatabaseName;  // its database, named as for a source table
  std::string IndexName;     // DROP INDEX

  uint16_t LanguageCode = 0;
  uint8_t LanguageGiven = 0;
  uint16_t SortCode = 0;
  uint8_t SortGiven = 0;
  uint8_t Encrypted = 0;
  std::string EncryptionPassword;
  uint8_t EncryptionGiven = 0;
  std::string TableDescription;
  uint8_t DescriptionGiven = 0;
  uint16_t BlobBlockSize = 0;
  uint8_t BlobBlockSizeGiven = 0;
  uint16_t UserMajorVersion = 0;
  uint8_t UserMajorVersionGiven = 0;
  uint16_t UserMinorVersion = 0;
  uint8_t UserMinorVersionGiven = 0;
  int32_t LastAutoInc = 0;
  uint8_t LastAutoIncGiven = 0;

  int32_t CommitInterval = 0;
  uint8_t CommitIntervalGiven = 0;
  uint8_t CommitFlush = 0;

  // Set by the statement before binding, and by binding and running.
  uint8_t RequestLive = 0;
  int32_t MaxRows = -1;  // negative: no limit
  uint8_t IsLiveResult = 0;
  uint8_t CanEdit = 0;
  double ExecutionTime = 0;
  int32_t RowCount = 0;

  // The cursor the statement returns: a source table's own for a live result, else the
  // result table's (owned in OwnedResult). UNION members write into the chain head's.
  TDataCursor* ResultCursor = nullptr;
  std::unique_ptr<TDataCursor> OwnedResult;
  // The cursor a table-definition statement works through, on its target table.
  std::unique_ptr<TDataCursor> WorkCursor;
  TDataQuery* UnionHead = nullptr;  // on a UNION member: the query whose table it fills
  uint8_t SingleGroup = 0;
  uint8_t CountStarOnly = 0;
  uint8_t HasExpressionColumns = 0;
  uint8_t HasBlobExpression = 0;
  uint8_t OrderBySatisfied = 0;
  uint8_t OrderByFromIndex = 0;
  uint8_t Bound = 0;
  uint16_t Language = 0;  // of the result table and of string comparisons
  uint16_t Sort = 0;
  TTokenTree ResidualCondition;
  TTokenTree UnindexedCondition;
  // Result-table field numbers of the ORDER BY, GROUP BY and DISTINCT columns, resolved
  // at binding, with ORDER BY's directions.
  std::vector<uint16_t> OrderFields;
  std::vector<uint8_t> OrderDescending;
  std::vector<uint16_t> GroupFields;
  std::vector<uint16_t> DistinctFields;
  TTokenTree BoundHaving;  // HAVING over the result table's fields
  // The tables whose conditions the current run has pushed down already.
  std::vector<const TSourceTable*> PushedConditions;
  // Databases opened through `Session` for the source and result tables, closed when the
  // query ends (looked up in the session's list first: one the session already destroyed
  // is not touched).
  TDataSession* Session = nullptr;
  std::vector<TDataDirectory*> OpenedDatabases;
  // Sub-select answers: the values of the first column of the last run, loaded on first
  // use: numbers sorted by value, text sorted by the query's collation, other kinds as they
  // are, and whether a NULL was among them.
  std::vector<int64_t> SubSelectIntegers;  // exact: integers, dates and times
  std::vector<double> SubSelectNumbers;    // floats and BCD
  std::vector<std::string> SubSelectTexts;
  std::vector<TTokenTree> SubSelectValues;
  uint8_t SubSelectHasNull = 0;
  uint8_t SubSelectLoaded = 0;

  // Closes the result and source cursors and the databases opened for them. Never throws.
  void ReleaseTables() noexcept;
};

}  // namespace veldor
