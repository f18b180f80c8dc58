#include "engine/errors.h"

#include <array>
#include <mutex>

namespace veldor {
namespace {

constexpr size_t kShortStringMax = 255;
constexpr size_t kMessageMax = 254;

struct TErrorEntry {
  uint16_t Code;
  const char* Name;
  TErrorSlot Args[3];  // the slots that fill the template's "%s", left to right
  const char* Template;
};

// Ordered by code so that lookups can search.
const TErrorEntry kErrorTable[] = {
    {0, "VELDOR_NONE", {}, "no error"},
    {8705, "VELDOR_BOF", {kTable}, "Beginning of table '%s' unexpectedly encountered"},
    {8706, "VELDOR_EOF", {kTable}, "End of table '%s' unexpectedly encountered"},
    {8708, "VELDOR_KEYORRECDELETED", {kTable}, "Record has been changed or deleted by another user, session, or table cursor in the table '%s'"},
    {8709, "VELDOR_NOCURRREC", {kTable}, "No current record in the table '%s'"},
    {8710, "VELDOR_RECNOTFOUND", {kTable}, "Record not found in the table '%s'"},
    {8711, "VELDOR_ENDOFBLOB", {kTable}, "End of blob data in the table '%s' reached prematurely"},
    {8961, "VELDOR_HEADERCORRUPT", {kTable}, "Header information corrupt in the table '%s'"},
    {8962, "VELDOR_FILECORRUPT", {kTable}, "Data record buffers corrupt in the table '%s'"},
    {8963, "VELDOR_MEMOCORRUPT", {kTable}, "BLOB block buffers corrupt in the table '%s'"},
    {8965, "VELDOR_INDEXCORRUPT", {kTable}, "Index page buffers corrupt in the table '%s'"},
    {9217, "VELDOR_READERR", {kTable}, "Error reading from the table '%s'"},
    {9218, "VELDOR_WRITEERR", {kTable}, "Error writing to the table '%s'"},
    {9220, "VELDOR_FILEDELETEFAIL", {kTable}, "Cannot delete the table '%s'"},
    {9221, "VELDOR_FILENOACCESS", {kTable}, "Error accessing header information for the table '%s'"},
    {9477, "VELDOR_RECTOOBIG", {kTable}, "Maximum record size exceeded in the table '%s'"},
    {9479, "VELDOR_TABLEFULL", {kTable}, "The table '%s' is full and cannot contain any more data"},
    {9482, "VELDOR_INTERNALLIMIT", {kTable}, "Too many filters defined for the table '%s'"},
    {9487, "VELDOR_INDEXLIMIT", {kTable}, "Maximum or minimum limits on number of indexes or fields in an index exceeded in the table '%s'"},
    {9492, "VELDOR_FLDLIMIT", {kTable}, "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in the table '%s'"},
    {9494, "VELDOR_OPENBLOBLIMIT", {kTable}, "Too many blobs opened in the table '%s'"},
    {9498, "VELDOR_BLOBLIMIT", {kTable}, "Too many blob fields or invalid blob block size specified for the table '%s'"},
    {9729, "VELDOR_KEYVIOL", {kIndex, kTable}, "Duplicate key found in the index '%s' of the table '%s'"},
    {9730, "VELDOR_MINVALERR", {kField, kTable}, "The value for the field '%s' in the table '%s' is below the minimum allowable value"},
    {9731, "VELDOR_MAXVALERR", {kField, kTable}, "The value for the field '%s' in the table '%s' is above the maximum allowable value"},
    {9732, "VELDOR_REQDERR", {kField, kTable}, "A value must be provided for the field '%s' in the table '%s'"},
    {9985, "VELDOR_OUTOFRANGE", {kField, kTable}, "Invalid field number or name '%s' specified for the table '%s'"},
    {9993, "VELDOR_PRIMARYKEYREDEFINE", {kTable}, "A primary index is already defined for the table '%s' and cannot be added again"},
    {9998, "VELDOR_INVALIDBLOBOFFSET", {kTable}, "Invalid blob offset into the table '%s' specified"},
    {10000, "VELDOR_INVALIDFLDTYPE", {kField, kTable}, "Invalid field definition specified for the field '%s' in the table '%s'"},
    {10006, "VELDOR_INVALIDVCHKSTRUCT", {kField, kTable}, "Invalid default, min or max validity check, or expression specified for the field '%s' in the table '%s'"},
    {10010, "VELDOR_INDEXNAMEREQUIRED", {kTable}, "The secondary index name is missing or not specified for the table '%s'"},
    {10015, "VELDOR_INVALIDPASSWORD", {kTable}, "Password provided for the table '%s' is invalid"},
    {10022, "VELDOR_INVALIDINDEXNAME", {kIndex, kTable}, "Invalid secondary index name '%s' specified for the table '%s'"},
    {10023, "VELDOR_INVALIDIDXDESC", {kField, kIndex, kTable}, "Invalid field number '%s' specified in the index '%s' for the table '%s'"},
    {10026, "VELDOR_INVALIDKEY", {kIndex, kTable}, "Invalid key size specified in the index '%s' for the table '%s'"},
    {10027, "VELDOR_INDEXEXISTS", {kIndex, kTable}, "The secondary index '%s' already exists for the table '%s'"},
    {10029, "VELDOR_INVALIDBLOBLEN", {kTable}, "Invalid blob length in the table '%s'"},
    {10030, "VELDOR_INVALIDBLOBHANDLE", {kTable}, "Invalid blob handle for the table '%s' specified"},
    {10031, "VELDOR_TABLEOPEN", {kTable}, "The table '%s' is already in use"},
    {10038, "VELDOR_INVALIDFIELDNAME", {kField, kTable}, "Invalid or duplicate field name '%s' specified for the table '%s'"},
    {10050, "VELDOR_NOSUCHFILTER", {kTable}, "Invalid filter handle specified for the table '%s'"},
    {10051, "VELDOR_INVALIDFILTER", {kTable, kMessage}, "Filter error for the table '%s' - %s"},
    {10055, "VELDOR_INVALIDINDEXDELETE", {kTable}, "The primary index cannot be removed from the table '%s'"},
    {10241, "VELDOR_LOCKED", {kTable}, "The table '%s' is already locked by another user"},
    {10242, "VELDOR_UNLOCKFAILED", {kTable}, "Cannot unlock table or record in the table '%s'"},
    {10249, "VELDOR_LOCKTIMEOUT", {kTable}, "General lock failure with the table '%s'"},
    {10253, "VELDOR_NEEDEXCLACCESS", {kTable}, "The table '%s' must be opened exclusively"},
    {10258, "VELDOR_RECLOCKFAILED", {kTable}, "Record in the table '%s' is in use by another user"},
    {10498, "VELDOR_NOTSUFFTABLERIGHTS", {kTable}, "Insufficient rights to the table '%s', a password is required"},
    {10753, "VELDOR_NOTABLOB", {kField, kTable}, "Invalid blob field '%s' specified for the table '%s'"},
    {10758, "VELDOR_NOTINITIALIZED", {}, "The database engine is not initialized"},
    {11010, "VELDOR_OSENOENT", {kTable}, "Table '%s' does not exist"},
    {11012, "VELDOR_OSEMFILE", {kTable}, "Too many operating system files open while attempting to open the table '%s'"},
    {11013, "VELDOR_OSEACCES", {kTable}, "Access denied to table '%s'"},
    {11014, "VELDOR_OSEBADF", {kTable}, "Invalid operating system file handle for the table '%s'"},
    {11016, "VELDOR_OSENOMEM", {}, "There is insufficient operating system memory available for the current operation"},
    {11017, "VELDOR_OSEINVMEM", {kTable}, "Invalid length for the in-memory table '%s'"},
    {11023, "VELDOR_OSENODEV", {kTable}, "Access denied to logical operating system device for the table '%s'"},
    {11025, "VELDOR_OSENOTSAM", {kTable}, "The table '%s' has been moved"},
    {11047, "VELDOR_OSUNKNOWN", {kTable}, "An unknown operating system error occurred with the table '%s'"},
    {11276, "VELDOR_REMOTECOMMLOST", {kServer}, "The connection to the database server at '%s' has been lost"},
    {11279, "VELDOR_REMOTEUNKNOWN", {kMessage, kServer}, "An unknown error ('%s') occurred with the connection to the database server at '%s', please check the server log"},
    {11280, "VELDOR_REMOTECONNECT", {kServer}, "A connection to the database server at '%s' cannot be established"},
    {11281, "VELDOR_REMOTENOLOGIN", {kServer}, "A connection to the database server at '%s' cannot be established, the server is not accepting new logins"},
    {11282, "VELDOR_REMOTEMAXCONNECT", {kServer}, "A connection to the database server at '%s' cannot be established, the maximum number of connections has been reached"},
    {11283, "VELDOR_REMOTEADDRESSBLOCK", {kServer}, "A connection to the database server at '%s' cannot be established, the client address is blocked"},
    {11284, "VELDOR_REMOTECALLBACK", {}, "An unknown error occurred"},
    {11285, "VELDOR_REMOTECALLBACKERR", {kServer}, "A server callback error occurred for the database server at '%s'"},
    {11286, "VELDOR_REMOTEVERSION", {kServer}, "A call to the database server at '%s' failed, the client engine version does not match the server"},
    {11287, "VELDOR_REMOTEINVLOGIN", {kServer}, "A connection to the database server at '%s' cannot be established, the login information provided is invalid"},
    {11288, "VELDOR_REMOTENOTAUTH", {kUser, kDatabase, kServer}, "The user '%s' is not authorized to perform this operation with the database '%s' on the database server at '%s'"},
    {11289, "VELDOR_REMOTENOTADMIN", {kUser, kServer}, "The user '%s' is not authorized to perform administration functions on the database server at '%s'"},
    {11290, "VELDOR_REMOTEINVUSER", {}, "The user name is either invalid or blank"},
    {11291, "VELDOR_REMOTENOUSER", {kUser, kServer}, "The user '%s' does not exist on the database server at '%s'"},
    {11292, "VELDOR_REMOTEDUPUSER", {kUser, kServer}, "The user '%s' already exists on the database server at '%s'"},
    {11293, "VELDOR_REMOTEINVDB", {}, "The database name or directory is either invalid or blank"},
    {11294, "VELDOR_REMOTENODB", {kDatabase, kServer}, "The database '%s' does not exist on the database server at '%s'"},
    {11295, "VELDOR_REMOTEDUPDB", {kDatabase, kServer}, "The database '%s' already exists on the database server at '%s'"},
    {11296, "VELDOR_REMOTEINVDBUSER", {}, "The database user name is either invalid or blank"},
    {11297, "VELDOR_REMOTENODBUSER", {kUser, kDatabase, kServer}, "The database user '%s' does not exist for the database '%s' on the database server at '%s'"},
    {11298, "VELDOR_REMOTEDUPDBUSER", {kUser, kDatabase, kServer}, "The database user '%s' already exists for the database '%s' on the database server at '%s'"},
    {11299, "VELDOR_REMOTEINVREQUEST", {kServer}, "An invalid or unknown request was made to the database server at '%s'"},
    {11300, "VELDOR_IMPORTERROR", {kTable, kMessage}, "An error occurred during the import into the table '%s' - %s"},
    {11301, "VELDOR_EXPORTERROR", {kTable, kMessage}, "An error occurred during the export from the table '%s' - %s"},
    {11949, "VELDOR_SQLPARSE", {kMessage}, "SQL error - %s"},
    {12035, "VELDOR_OLDVERSION", {kTable}, "The table '%s' is not the correct version"},
    {12292, "VELDOR_SEARCHCOLREQD", {kIndex, kTable}, "Invalid field type specified for the index '%s' in the table '%s'"},
    {13060, "VELDOR_TABLEEXISTS", {kTable}, "The table '%s' already exists"},
    {15001, "VELDOR_COMPRESS", {}, "Error compressing data"},
    {15002, "VELDOR_UNCOMPRESS", {}, "Error uncompressing data"},
    {15878, "VELDOR_CANNOTLOADLDDRV", {kTable}, "The language driver for the table '%s' is not available or installed"},
};

const TErrorEntry* FindEntry(uint16_t code) {
  size_t lo = 0, hi = std::size(kErrorTable);
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (kErrorTable[mid].Code < code)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo < std::size(kErrorTable) && kErrorTable[lo].Code == code) return &kErrorTable[lo];
  return nullptr;
}

// The process-wide error context. Guarded by ContextLock; recursive because a raise holds
// it from the store to the end of the exception's construction, which re-enters it.
struct TErrorContext {
  uint16_t Code = 0;
  uint16_t OSError = 0;  // offered to VELDOR_OSUNKNOWN's template, which never shows it
  std::array<std::string, 7> Slots;
};

std::recursive_mutex& ContextLock() {
  static std::recursive_mutex lock;
  return lock;
}

TErrorContext& Context() {
  static TErrorContext context;
  return context;
}

std::string Cut(const std::string& s, size_t max) { return s.size() > max ? s.substr(0, max) : s; }

}  // namespace

namespace detail {
void LockEngineErrorContext() { ContextLock().lock(); }
void UnlockEngineErrorContext() { ContextLock().unlock(); }
}  // namespace detail

std::string GetEngineErrorMessage(uint16_t code) {
  std::lock_guard<std::recursive_mutex> guard(ContextLock());
  const TErrorEntry* entry = FindEntry(code);
  if (entry == nullptr || code == VELDOR_REMOTECALLBACK) return "An unknown error occurred";
  std::string text;
  int arg = 0;
  for (const char* p = entry->Template; *p != 0; ++p) {
    if (p[0] == '%' && p[1] == 's') {
      text += Context().Slots[entry->Args[arg++]];
      ++p;
    } else {
      text += *p;
    }
  }
  return Cut(Cut(text, kShortStringMax), kMessageMax);
}

std::string GetEngineErrorName(uint16_t code) {
  const TErrorEntry* entry = FindEntry(code);
  return entry ? entry->Name : "";
}

uint16_t GetLastEngineErrorCode() {
  std::lock_guard<std::recursive_mutex> guard(ContextLock());
  return Context().Code;
}

std::string GetEngineErrorContext(int slot) {
  if (slot < 0 || slot > 6) return "";
  std::lock_guard<std::recursive_mutex> guard(ContextLock());
  return Context().Slots[slot];
}

EVELDOREngineError::EVELDOREngineError(uint16_t code)
    : EDatabaseError(""), ErrorCode(code) {
  std::lock_guard<std::recursive_mutex> guard(ContextLock());
  std::string text = GetEngineErrorMessage(code);
  const auto& slots = Context().Slots;
  ErrorServerName = slots[kServer];
  ErrorUserName = slots[kUser];
  ErrorDatabaseName = slots[kDatabase];
  ErrorTableName = slots[kTable];
  ErrorFieldName = slots[kField];
  ErrorIndexName = slots[kIndex];
  ErrorMessage = slots[kMessage];
  Message = "VELDOR Engine Error # " + std::to_string(code) + " " + text;
}

void RaiseEngineError(uint16_t code, const std::string& serverName, const std::string& userName,
                      const std::string& databaseName, const std::string& tableName,
                      const std::string& fieldName, const std::string& indexName,
                      const std::string& message) {
  // Held until the exception is built: another thread's raise cannot slip in between.
  std::unique_lock<std::recursive_mutex> guard(ContextLock());
  TErrorContext& context = Context();
  context = TErrorContext{};
  context.Code = code;
  const std::string* values[7] = {&serverName, &userName,  &databaseName, &tableName,
                                  &fieldName,  &indexName, &message};
  for (int i = 0; i < 7; ++i) context.Slots[i] = Cut(*values[i], kShortStringMax);
  EVELDOREngineError error(code);
  guard.unlock();
  throw error;
}

void RaiseTableError(uint16_t code, const std::string& tableName) {
  RaiseEngineError(code, "", "", "", tableName, "", "", "");
}

void CheckEngineResult(uint16_t code) {
  if (code == VELDOR_NONE) return;
  throw EVELDOREngineError(code);
}

std::string FormatComponentMessage(const char* message, const std::string& arg) {
  std::string text(message);
  size_t at = text.find("%s");
  if (at != std::string::npos) text.replace(at, 2, arg);
  return text;
}

}  // namespace veldor
