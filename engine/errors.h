// Engine error codes and the one way engine code raises them.
//
// Owns the code table (number, name, message template, the context slots that fill it),
// the process-wide error context that carries up to seven strings from the place of a
// failure to the exception, `EVELDOREngineError`, and the fixed texts that the data-access
// components raise through the framework's database error. The context is one record per
// process behind one recursive lock; a raise holds that lock from storing the context to
// the end of the exception's construction, so each exception carries the context of its
// own raise even when several threads raise at once.
#pragma once

#include <cstdint>
#include <string>

#include "lib/exception.h"

namespace veldor {

// ---- Error codes -------------------------------------------------------------------------

inline constexpr uint16_t VELDOR_NONE = 0;
inline constexpr uint16_t VELDOR_BOF = 8705;
inline constexpr uint16_t VELDOR_EOF = 8706;
inline constexpr uint16_t VELDOR_KEYORRECDELETED = 8708;
inline constexpr uint16_t VELDOR_NOCURRREC = 8709;
inline constexpr uint16_t VELDOR_RECNOTFOUND = 8710;
inline constexpr uint16_t VELDOR_ENDOFBLOB = 8711;
inline constexpr uint16_t VELDOR_HEADERCORRUPT = 8961;
inline constexpr uint16_t VELDOR_FILECORRUPT = 8962;
inline constexpr uint16_t VELDOR_MEMOCORRUPT = 8963;
inline constexpr uint16_t VELDOR_INDEXCORRUPT = 8965;
inline constexpr uint16_t VELDOR_READERR = 9217;
inline constexpr uint16_t VELDOR_WRITEERR = 9218;
inline constexpr uint16_t VELDOR_FILEDELETEFAIL = 9220;
inline constexpr uint16_t VELDOR_FILENOACCESS = 9221;
inline constexpr uint16_t VELDOR_RECTOOBIG = 9477;
inline constexpr uint16_t VELDOR_TABLEFULL = 9479;
inline constexpr uint16_t VELDOR_INTERNALLIMIT = 9482;
inline constexpr uint16_t VELDOR_INDEXLIMIT = 9487;
inline constexpr uint16_t VELDOR_FLDLIMIT = 9492;
inline constexpr uint16_t VELDOR_OPENBLOBLIMIT = 9494;
inline constexpr uint16_t VELDOR_BLOBLIMIT = 9498;
inline constexpr uint16_t VELDOR_KEYVIOL = 9729;
inline constexpr uint16_t VELDOR_MINVALERR = 9730;
inline constexpr uint16_t VELDOR_MAXVALERR = 9731;
inline constexpr uint16_t VELDOR_REQDERR = 9732;
inline constexpr uint16_t VELDOR_OUTOFRANGE = 9985;
inline constexpr uint16_t VELDOR_PRIMARYKEYREDEFINE = 9993;
inline constexpr uint16_t VELDOR_INVALIDBLOBOFFSET = 9998;
inline constexpr uint16_t VELDOR_INVALIDFLDTYPE = 10000;
inline constexpr uint16_t VELDOR_INVALIDVCHKSTRUCT = 10006;
inline constexpr uint16_t VELDOR_INDEXNAMEREQUIRED = 10010;
inline constexpr uint16_t VELDOR_INVALIDPASSWORD = 10015;
inline constexpr uint16_t VELDOR_INVALIDINDEXNAME = 10022;
inline constexpr uint16_t VELDOR_INVALIDIDXDESC = 10023;
inline constexpr uint16_t VELDOR_INVALIDKEY = 10026;
inline constexpr uint16_t VELDOR_INDEXEXISTS = 10027;
inline constexpr uint16_t VELDOR_INVALIDBLOBLEN = 10029;
inline constexpr uint16_t VELDOR_INVALIDBLOBHANDLE = 10030;
inline constexpr uint16_t VELDOR_TABLEOPEN = 10031;
inline constexpr uint16_t VELDOR_INVALIDFIELDNAME = 10038;
inline constexpr uint16_t VELDOR_NOSUCHFILTER = 10050;
inline constexpr uint16_t VELDOR_INVALIDFILTER = 10051;
inline constexpr uint16_t VELDOR_INVALIDINDEXDELETE = 10055;
inline constexpr uint16_t VELDOR_LOCKED = 10241;
inline constexpr uint16_t VELDOR_UNLOCKFAILED = 10242;
inline constexpr uint16_t VELDOR_LOCKTIMEOUT = 10249;
inline constexpr uint16_t VELDOR_NEEDEXCLACCESS = 10253;
inline constexpr uint16_t VELDOR_RECLOCKFAILED = 10258;
inline constexpr uint16_t VELDOR_NOTSUFFTABLERIGHTS = 10498;
inline constexpr uint16_t VELDOR_NOTABLOB = 10753;
inline constexpr uint16_t VELDOR_NOTINITIALIZED = 10758;
inline constexpr uint16_t VELDOR_OSENOENT = 11010;
inline constexpr uint16_t VELDOR_OSEMFILE = 11012;
inline constexpr uint16_t VELDOR_OSEACCES = 11013;
inline constexpr uint16_t VELDOR_OSEBADF = 11014;
inline constexpr uint16_t VELDOR_OSENOMEM = 11016;
inline constexpr uint16_t VELDOR_OSEINVMEM = 11017;
inline constexpr uint16_t VELDOR_OSENODEV = 11023;
inline constexpr uint16_t VELDOR_OSENOTSAM = 11025;
inline constexpr uint16_t VELDOR_OSUNKNOWN = 11047;
inline constexpr uint16_t VELDOR_REMOTECOMMLOST = 11276;
inline constexpr uint16_t VELDOR_REMOTEUNKNOWN = 11279;
inline constexpr uint16_t VELDOR_REMOTECONNECT = 11280;
inline constexpr uint16_t VELDOR_REMOTENOLOGIN = 11281;
inline constexpr uint16_t VELDOR_REMOTEMAXCONNECT = 11282;
inline constexpr uint16_t VELDOR_REMOTEADDRESSBLOCK = 11283;
inline constexpr uint16_t VELDOR_REMOTECALLBACK = 11284;
inline constexpr uint16_t VELDOR_REMOTECALLBACKERR = 11285;
inline constexpr uint16_t VELDOR_REMOTEVERSION = 11286;
inline constexpr uint16_t VELDOR_REMOTEINVLOGIN = 11287;
inline constexpr uint16_t VELDOR_REMOTENOTAUTH = 11288;
inline constexpr uint16_t VELDOR_REMOTENOTADMIN = 11289;
inline constexpr uint16_t VELDOR_REMOTEINVUSER = 11290;
inline constexpr uint16_t VELDOR_REMOTENOUSER = 11291;
inline constexpr uint16_t VELDOR_REMOTEDUPUSER = 11292;
inline constexpr uint16_t VELDOR_REMOTEINVDB = 11293;
inline constexpr uint16_t VELDOR_REMOTENODB = 11294;
inline constexpr uint16_t VELDOR_REMOTEDUPDB = 11295;
inline constexpr uint16_t VELDOR_REMOTEINVDBUSER = 11296;
inline constexpr uint16_t VELDOR_REMOTENODBUSER = 11297;
inline constexpr uint16_t VELDOR_REMOTEDUPDBUSER = 11298;
inline constexpr uint16_t VELDOR_REMOTEINVREQUEST = 11299;
inline constexpr uint16_t VELDOR_IMPORTERROR = 11300;
inline constexpr uint16_t VELDOR_EXPORTERROR = 11301;
inline constexpr uint16_t VELDOR_SQLPARSE = 11949;
inline constexpr uint16_t VELDOR_OLDVERSION = 12035;
inline constexpr uint16_t VELDOR_SEARCHCOLREQD = 12292;
inline constexpr uint16_t VELDOR_TABLEEXISTS = 13060;
inline constexpr uint16_t VELDOR_COMPRESS = 15001;
inline constexpr uint16_t VELDOR_UNCOMPRESS = 15002;
inline constexpr uint16_t VELDOR_CANNOTLOADLDDRV = 15878;

// ---- Error context slots -----------------------------------------------------------------

enum TErrorSlot : int {
  kServer = 0,
  kUser = 1,
  kDatabase = 2,
  kTable = 3,
  kField = 4,
  kIndex = 5,
  kMessage = 6,
};

// The error that engine failures surface as. All fields are copies of the error context
// taken while the exception is constructed; they never change afterwards.
class EVELDOREngineError : public EDatabaseError {
 public:
  // Builds the exception for `code` from the current process-wide context.
  explicit EVELDOREngineError(uint16_t code);

  uint16_t ErrorCode;
  std::string ErrorServerName;
  std::string ErrorUserName;
  std::string ErrorDatabaseName;
  std::string ErrorTableName;
  std::string ErrorFieldName;
  std::string ErrorIndexName;
  std::string ErrorMessage;
};

// Clears the context, stores the code and the seven strings (each cut to 255 characters)
// and throws `EVELDOREngineError`. The only way engine code raises an error.
[[noreturn]] void RaiseEngineError(uint16_t code, const std::string& serverName,
                                   const std::string& userName, const std::string& databaseName,
                                   const std::string& tableName, const std::string& fieldName,
                                   const std::string& indexName, const std::string& message);

// Shorthand for the most common case: only the table slot is known.
[[noreturn]] void RaiseTableError(uint16_t code, const std::string& tableName);

// The formatted message of `code` from the current context, at most 254 characters.
// Codes not in the table give "An unknown error occurred".
std::string GetEngineErrorMessage(uint16_t code);

// "VELDOR_KEYVIOL" for 9729, "VELDOR_NONE" for 0, "" for a code not in the table.
std::string GetEngineErrorName(uint16_t code);

// The code of the last raised error; nothing but the next raise changes it.
uint16_t GetLastEngineErrorCode();

// Context slot 0 to 6 of the last raised error; any other slot gives "".
std::string GetEngineErrorContext(int slot);

// Does nothing for 0; otherwise throws `EVELDOREngineError` for `code` from the current
// context. Callers of operations that return negated codes pass the absolute value.
void CheckEngineResult(uint16_t code);

// Runs `fn` while holding the context lock, so that a sequence of context reads sees one
// raise. Used by code that inspects the context after catching an engine error.
template <typename Fn>
auto WithEngineErrorContext(Fn fn) -> decltype(fn());

// ---- Component messages ------------------------------------------------------------------
// Raised by the data-access components through `EDatabaseError`; "%s" is filled with the
// name the comment gives.

inline constexpr const char* SSessionNameInvalid = "Session name %s is not valid.";        // session
inline constexpr const char* SSessionNameExists = "Session name %s already exists.";       // session
inline constexpr const char* SSessionNameMissing = "Session name is missing.";
inline constexpr const char* SSessionActive = "Cannot perform this operation on an active session.";
inline constexpr const char* SAutoSessionActive =
    "Cannot perform this operation on the active auto-session.";
inline constexpr const char* SAutoSessionExclusive =
    "The active auto-session can be the only active session.";
inline constexpr const char* SAutoSessionExists = "This auto-session already exists.";
inline constexpr const char* SDatabaseNameExists = "Database name %s already exists.";    // database
inline constexpr const char* SDatabaseNameInvalid = "Database name %s is not valid.";     // database
inline constexpr const char* SDatabaseNameMissing = "Database name is missing.";
inline constexpr const char* SDatabaseOpen = "Cannot perform this operation on an open database.";
inline constexpr const char* SHandleError = "Error creating table handle.";
inline constexpr const char* SNotEditing = "Table is not in edit or insert mode.";
inline constexpr const char* SFieldReadOnly = "Field %s cannot be modified.";               // field
inline constexpr const char* SFieldNotInIndex = "Field %s is not in the current index.";    // field
inline constexpr const char* SFieldIndexError = "Field index out of range.";
inline constexpr const char* SIndexFieldMissing = "Cannot access index field %s.";          // field
inline constexpr const char* SNoTableName = "Missing table name.";
inline constexpr const char* SNoFieldDefsInMemory =
    "You must define at least one field before you can open an in-memory table at design-time";
inline constexpr const char* SCircularDataLink = "Circular data links are not allowed.";
inline constexpr const char* SNoSQLStatement = "No SQL statement available";
inline constexpr const char* SNoParameterValue = "No value for parameter '%s'";             // parameter
inline constexpr const char* SDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* SFieldNotFound = "Field '%s' not found";                       // field

// Fills the single "%s" of a component message with `arg` (inserted unchanged).
std::string FormatComponentMessage(const char* message, const std::string& arg);

// ---- Implementation detail of WithEngineErrorContext -------------------------------------

namespace detail {
void LockEngineErrorContext();
void UnlockEngineErrorContext();
}  // namespace detail

template <typename Fn>
auto WithEngineErrorContext(Fn fn) -> decltype(fn()) {
  struct Guard {
    Guard() { detail::LockEngineErrorContext(); }
    ~Guard() { detail::UnlockEngineErrorContext(); }
  } guard;
  return fn();
}

}  // namespace veldor
