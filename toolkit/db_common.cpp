#include "toolkit/db_common.h"

namespace veldor {

const char* FieldTypeName(TFieldType type) {
  static const char* const kNames[] = {
      "Unknown", "String", "Smallint", "Integer", "Word", "Boolean", "Float", "Currency", "BCD",
      "Date", "Time", "DateTime", "Bytes", "VarBytes", "AutoInc", "Blob", "Memo", "Graphic",
      "FmtMemo", "ParadoxOle", "DBaseOle", "TypedBinary", "Cursor", "FixedChar", "WideString",
      "Largeint", "ADT", "Array", "Reference", "DataSet", "OraBlob", "OraClob", "Variant",
      "Interface", "IDispatch", "Guid", "TimeStamp", "FMTBcd"};
  return type < std::size(kNames) ? kNames[type] : "Unknown";
}

bool IsBlobType(TFieldType type) {
  switch (type) {
    case ftBlob: case ftMemo: case ftGraphic: case ftFmtMemo: case ftParadoxOle:
    case ftDBaseOle: case ftTypedBinary: case ftOraBlob: case ftOraClob:
      return true;
    default:
      return false;
  }
}

std::string FormatMessage(const char* text, const std::string& a, const std::string& b) {
  std::string out;
  const std::string* args[] = {&a, &b};
  int used = 0;
  for (const char* p = text; *p; ++p) {
    if (p[0] == '%' && p[1] == 's' && used < 2) {
      out += *args[used++];
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

void DatabaseError(const std::string& message) { throw EDatabaseError(message); }

void DatabaseErrorFmt(const char* text, const std::string& a, const std::string& b) {
  throw EDatabaseError(FormatMessage(text, a, b));
}

}  // namespace veldor
