// Checking, preparing and evaluating expression trees, and the value conversions of CAST.
//
// Owns the type rules of the expression language: binding column references through the
// caller's binder, operand compatibility, result types and sizes, the function and
// predicate rules and their messages (`CheckExpression`); the rewrites that let filters
// and WHERE clauses use prefix comparisons and pre-converted constants
// (`PrepareExpression`); and computing a tree's value for the current record
// (`EvaluateExpression`). It does not parse (expression_parser.h), does not read records
// (the caller's fetcher does) and does not run sub-selects (the SQL layer does, through
// `TSubSelectSource`). Every node it hands out comes from the process's node pool and is
// returned inside a `TTokenTree`. A tree is used by one thread at a time; the pool is the
// only shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "lib/expression.h"

namespace veldor {

// Finds the column named by node.ColumnName (and node.CorrelationName) and fills DataType,
// SubType, DataSize and Scale (SQL also FieldNumber and SourceTable). False when there is
// no such column; the node's Value bytes must be left alone.
using TBindColumn = std::function<bool(void* owner, TExpToken& node)>;

// Fills node's Value and IsNull from the current record. String-like values (strings and
// memos) are NUL-terminated text; the fetcher sets DataSize to cover the text and its NUL
// (SetStringValue does both).
using TFetchColumn = std::function<void(void* owner, void* record, TExpToken& node)>;

// What the SQL layer supplies for sub-select nodes (kind 6). Without one, checking or
// evaluating a sub-select raises VELDOR_SQLPARSE with an internal-error message.
class TSubSelectSource {
 public:
  virtual ~TSubSelectSource() = default;
  // Checking: the number of result columns of node.SubQuery and, when it has at least one,
  // the first column's DataType, SubType, DataSize and Scale written into `node`. False
  // when that column cannot be resolved.
  virtual bool DescribeResult(void* owner, TExpToken& node, int& columnCount) = 0;
  // Evaluating a sub-select node outside IN: the value node it stands for (from the pool).
  virtual TTokenTree Evaluate(void* owner, void* record, const TExpToken& node) = 0;
  // IN (sub-select): `equal` is an `=` node whose Left is the tested value (evaluated) and
  // whose Right is the sub-select node; true when the sub-select's result holds the value.
  virtual bool Search(void* owner, void* record, const TExpToken& equal) = 0;
};

// The longest text, in characters, that evaluation builds: concatenation and REPLACE, the
// only operations whose result can be longer than their operands, refuse a longer result
// with VELDOR_OSENOMEM before allocating it. 64 MiB is many times the longest text a memo
// of this system is expected to hold (a whole novel in rich text takes a few MiB), while
// one evaluation never holds more than a few values of this size at once, however the
// expression nests its functions. A value read from a record is as long as it is stored,
// and the operations that never lengthen text (UPPER, TRIM, SUBSTRING, CAST) keep it so.
inline constexpr size_t kMaxTextResult = size_t(64) << 20;

// ---- Type classes ------------------------------------------------------------------------

inline bool IsIntegerType(uint8_t t) { return t == 5 || t == 6 || t == 12 || t == 18; }
inline bool IsNumericType(uint8_t t) { return IsIntegerType(t) || t == 7 || t == 8; }
inline bool IsDateTimeType(uint8_t t) { return t == 2 || t == 10 || t == 11; }
// A string, or a BLOB with the memo subtype.
inline bool IsStringLike(uint8_t t, uint8_t subType) { return t == 1 || (t == 3 && subType == 22); }

// ---- The three steps ---------------------------------------------------------------------

// Checks the tree below `node` in place and raises `errorCode` (with `databaseName` and
// `tableName` in the error's context) on the first error, the message ending in
// `contextName` and cut to 255 characters. Binds every column through `bind`, fixes each
// node's DataType, SubType, DataSize and Scale, sets each node's Parent (`parent` for the
// root), converts string constants compared with dates, times and timestamps, and, when
// `rewriteBooleans`, turns bare boolean columns, CASTs and IFs used as conditions into
// (node = TRUE) in place. On an error the tree is left partly checked; the caller discards
// it. Nodes taken for rewrites belong to the tree, so freeing the tree returns them.
void CheckExpression(uint16_t errorCode, const std::string& databaseName, const std::string& tableName,
                     bool rewriteBooleans, const TBindColumn& bind, void* owner, TExpToken* parent,
                     TExpToken* node, const std::string& contextName, TSubSelectSource* subSelects = nullptr);

// A copy of a checked tree, with `=` and `<>` against strings turned into string
// comparison nodes (kind 3: prefix from a trailing '*' unless `noPartialCompare`,
// `caseInsensitive` as asked), LIKE 'abc%' turned into a prefix comparison, and constant
// right operands of the other comparisons (and BETWEEN bounds and IN items) evaluated once
// and converted to the left operand's type. The caller owns and frees both trees.
TTokenTree PrepareExpression(const TExpToken* node, void* owner, bool noPartialCompare, bool caseInsensitive,
                             uint16_t language, uint16_t sort, const TFetchColumn& fetch);

// A comparison (=, <>, <, <=, >, >=) of two values decided as the evaluator decides it,
// when neither value is text; nullopt when one is (text compares through the collation).
// Lets a caller that tests one comparison on many records skip building result trees.
std::optional<bool> CompareValues(uint8_t op, const TExpToken& left, const TExpToken& right);

// The value of a checked (and possibly prepared) tree for `record`: a new node of kind 5
// (a copy of the evaluated node with its value), owned by the caller. Never raises for
// data: NULLs, division by zero and failed conversions give NULL or zero values. Raises
// VELDOR_SQLPARSE only for a column that cannot be fetched (no fetcher and not a string
// constant) and for a sub-select without `subSelects`, and VELDOR_OSENOMEM for a text
// result longer than kMaxTextResult. AND and OR evaluate their right
// operand first and skip the left one when the right decides. `language` and `sort` select
// the collation of string comparisons, LIKE and UPPER/LOWER (0: byte order, US English).
TTokenTree EvaluateExpression(const TExpToken* node, void* record, void* owner, uint16_t sort, uint16_t language,
                              const TFetchColumn& fetch, TSubSelectSource* subSelects = nullptr);

// Whether an evaluated condition holds: a non-NULL boolean TRUE. A null tree does not.
inline bool IsTrueValue(const TExpToken* value) {
  return value != nullptr && !value->IsNull && value->Value.size() >= 2 && (value->Value[0] | value->Value[1]) != 0;
}

// ---- Value conversion --------------------------------------------------------------------

inline constexpr size_t kConvertBufferSize = 251;

// Converts the value in `buffer` (source type, size, scale; record encoding) in place into
// the target type, size and scale. `capacity` is the buffer's size, at least 251 bytes;
// nothing beyond it is read or written, and string results are cut to both the target size
// and the capacity. Integers are range-checked: a value that does not fit the target
// integer type (or a NaN or infinite float) fails. On failure the target's bytes are zero
// and false comes back; CAST then yields that zero value.
bool ConvertValue(uint8_t sourceType, int32_t sourceSize, uint8_t sourceScale, uint8_t* buffer, uint8_t targetScale,
                  int32_t targetSize, uint8_t targetType, size_t capacity = kConvertBufferSize);

}  // namespace veldor
