// The record-set framework's shared vocabulary: field types and kinds, data set states,
// data events, the options sets, and the framework's own error texts.
//
// Owns only constants and the helpers that raise the framework's database error. The
// components' own error texts live beside the engine's error table (engine/errors.h);
// the texts here are the ones the framework itself raises. Stateless; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "lib/exception.h"

namespace veldor {

// Every field type a field definition or a parameter can carry. Only the kinds that an
// engine field type maps to have field classes; the others exist so that definitions and
// parameters can name them (and be refused where they have no engine type).
enum TFieldType : uint8_t {
  ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency, ftBCD,
  ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo, ftGraphic,
  ftFmtMemo, ftParadoxOle, ftDBaseOle, ftTypedBinary, ftCursor, ftFixedChar, ftWideString,
  ftLargeint, ftADT, ftArray, ftReference, ftDataSet, ftOraBlob, ftOraClob, ftVariant,
  ftInterface, ftIDispatch, ftGuid, ftTimeStamp, ftFMTBcd
};

// "String", "Integer", ... for messages.
const char* FieldTypeName(TFieldType type);
// True for the BLOB kinds (ftBlob, ftMemo, ftGraphic, ftFmtMemo, ftParadoxOle, ftDBaseOle,
// ftTypedBinary, ftOraBlob, ftOraClob).
bool IsBlobType(TFieldType type);

// Where a field's value lives: in the record (data), in the calculated-fields area of the
// record buffer (calculated, lookup), or in the record but computed (internal-calc).
enum TFieldKind : uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc };

enum TDataSetState : uint8_t {
  dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields, dsFilter, dsNewValue,
  dsOldValue, dsInternalCalc, dsOpening
};

// What a data set tells its data sources and their links.
enum TDataEvent : uint8_t {
  deFieldChange,       // info: the field whose value changed
  deRecordChange,      // info: the field, or null for the whole record
  deDataSetChange,     // the records shown changed as a whole
  deDataSetScroll,     // info: how far the buffer ring moved
  deLayoutChange,      // fields were added, removed or re-arranged
  deUpdateRecord,      // links write their pending edits into the record
  deUpdateState,       // the state changed
  deCheckBrowseMode,   // links finish what they are doing before the data set moves
  dePropertyChange,    // a property that links may show changed
  deFieldListChange,   // the field list changed
  deFocusControl,      // info: the field whose control should take the focus
  deDisabledStateChange
};

enum TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : uint8_t { grOK, grBOF, grEOF, grError };
enum TBookmarkFlag : uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };
enum TDataAction : uint8_t { daFail, daAbort, daRetry };
enum TBlobStreamMode : uint8_t { bmRead, bmWrite, bmReadWrite };

// Bit sets.
using TFilterOptions = uint8_t;
inline constexpr TFilterOptions foCaseInsensitive = 1;
inline constexpr TFilterOptions foNoPartialCompare = 2;

using TLocateOptions = uint8_t;
inline constexpr TLocateOptions loCaseInsensitive = 1;
inline constexpr TLocateOptions loPartialKey = 2;

using TIndexOptions = uint8_t;
inline constexpr TIndexOptions ixPrimary = 1;
inline constexpr TIndexOptions ixUnique = 2;
inline constexpr TIndexOptions ixDescending = 4;
inline constexpr TIndexOptions ixCaseInsensitive = 8;

// ---- The framework's own error texts ("%s" filled with the name the comment gives) ----

inline constexpr const char* SDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* SDataSetIsOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* SDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* SDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* SNotInEditMode = "Dataset not in edit or insert mode";
inline constexpr const char* SRecordNotFound = "Record not found";
inline constexpr const char* SNoSuchField = "Field '%s' not found";                 // field
inline constexpr const char* SFieldRequired = "Field '%s' must have a value";           // field
inline constexpr const char* SFieldAccess = "Cannot access field '%s' as type %s";      // field, type
inline constexpr const char* SFieldRange = "Value %s is out of range for field '%s'";   // value, field
inline constexpr const char* SFieldTypeMismatch = "Type mismatch for field '%s'";       // field
inline constexpr const char* SFieldTypeUnsupported = "Field type %s has no field class"; // type
inline constexpr const char* SDuplicateFieldName = "Duplicate field name '%s'";         // field
inline constexpr const char* SFieldNameMissing = "Field name missing";
inline constexpr const char* SFieldDefNotFound = "Field definition '%s' not found";     // name
inline constexpr const char* SIndexNotFound = "Index '%s' not found";                   // name
inline constexpr const char* SNoIndexForFields = "No index for fields '%s'";            // fields
inline constexpr const char* SDuplicateIndexName = "Duplicate index name '%s'";         // name
inline constexpr const char* SParamNotFound = "Parameter '%s' not found";               // name
inline constexpr const char* SDataSourceChange = "DataSource cannot be changed";
inline constexpr const char* SLookupInfoError = "Lookup information for field '%s' is incomplete";
inline constexpr const char* SKeyValueCount = "Locate needs one value per key field (%s)"; // fields
inline constexpr const char* SCircularLookup = "Field '%s' cannot look up in its own dataset";

// Fills the "%s" markers of `text` left to right with `a` and `b` (inserted unchanged).
std::string FormatMessage(const char* text, const std::string& a = "", const std::string& b = "");

// Raise the framework's database error with a fixed text.
[[noreturn]] void DatabaseError(const std::string& message);
[[noreturn]] void DatabaseErrorFmt(const char* text, const std::string& a,
                                   const std::string& b = "");

}  // namespace veldor
