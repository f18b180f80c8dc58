#include "toolkit/params.h"

#include <cstring>

#include "lib/code_page.h"
#include "lib/date_time.h"
#include "lib/name_text.h"
#include "toolkit/number_fields.h"

namespace veldor {

namespace {

void CheckStorable(const std::string& name, const std::string& text) {
  std::string out;
  TCodePageProblem problem;
  if (!Utf8ToWindows1252(text, out, problem))
    throw ECodePageError("Parameter '" + name + "': " + CodePageProblemText(text, problem), problem);
}

bool IsTextType(TFieldType t) {
  return t == ftString || t == ftFixedChar || t == ftWideString || t == ftGuid;
}

template <class T>
void Put(void* buffer, T value) {
  std::memcpy(buffer, &value, sizeof value);
}

}  // namespace

void TParam::Set(TFieldType type, const TVariant& value) {
  if (value.Kind() == TVariant::vkString) CheckStorable(Name_, value.AsString());
  DataType_ = type;
  Value_ = value;
  Bound_ = true;
}

void TParam::SetValue(const TVariant& value) {
  TFieldType type = DataType_;
  if (type == ftUnknown) {
    switch (value.Kind()) {
      case TVariant::vkString: type = ftString; break;
      case TVariant::vkInteger:
        type = value.AsInteger() >= INT32_MIN && value.AsInteger() <= INT32_MAX ? ftInteger : ftLargeint;
        break;
      case TVariant::vkFloat: type = ftFloat; break;
      case TVariant::vkCurrency: type = ftCurrency; break;
      case TVariant::vkBoolean: type = ftBoolean; break;
      case TVariant::vkDateTime: type = ftDateTime; break;
      case TVariant::vkBytes: type = ftBlob; break;
      default: break;
    }
  }
  Set(type, value);
}

void TParam::SetAsString(const std::string& text) { Set(ftString, TVariant(text)); }
void TParam::SetAsMemo(const std::string& text) { Set(ftMemo, TVariant(text)); }
void TParam::SetAsSmallInt(int16_t value) { Set(ftSmallint, TVariant(int64_t(value))); }
void TParam::SetAsInteger(int32_t value) { Set(ftInteger, TVariant(int64_t(value))); }
void TParam::SetAsWord(uint16_t value) { Set(ftWord, TVariant(int64_t(value))); }
void TParam::SetAsLargeInt(int64_t value) { Set(ftLargeint, TVariant(value)); }
void TParam::SetAsFloat(double value) { Set(ftFloat, TVariant(value)); }
void TParam::SetAsCurrency(int64_t amount) { Set(ftCurrency, TVariant::Currency(amount)); }
void TParam::SetAsBCD(const std::string& text) {
  uint8_t probe[34];
  if (TextToPackedDecimal(text, 4, probe) != 0)
    throw EConvertError("'" + text + "' is not a valid BCD value");
  Set(ftBCD, TVariant(text));
}
void TParam::SetAsBoolean(bool value) { Set(ftBoolean, TVariant(value)); }
void TParam::SetAsDate(double timestamp) { Set(ftDate, TVariant::DateTime(timestamp)); }
void TParam::SetAsTime(double timestamp) { Set(ftTime, TVariant::DateTime(timestamp)); }
void TParam::SetAsDateTime(double timestamp) { Set(ftDateTime, TVariant::DateTime(timestamp)); }
void TParam::SetAsBlob(const std::vector<uint8_t>& bytes) { Set(ftBlob, TVariant::Bytes(bytes)); }

int TParam::GetDataSize() const {
  if (Value_.IsNull()) return 0;
  if (IsTextType(DataType_)) return int(Utf8ToWindows1252(Value_.AsString()).size()) + 1;
  if (IsBlobType(DataType_) || DataType_ == ftBytes || DataType_ == ftVarBytes)
    return int(Value_.AsBytes().size());
  switch (DataType_) {
    case ftSmallint: case ftWord: case ftBoolean: return 2;
    case ftInteger: case ftAutoInc: case ftDate: case ftTime: return 4;
    case ftFloat: case ftCurrency: case ftDateTime: case ftLargeint: return 8;
    case ftBCD: return 34;
    default: return 0;
  }
}

void TParam::GetData(void* buffer) const {
  if (Value_.IsNull()) return;
  if (IsTextType(DataType_)) {
    std::string stored = Utf8ToWindows1252(Value_.AsString());
    std::memcpy(buffer, stored.c_str(), stored.size() + 1);
    return;
  }
  if (IsBlobType(DataType_) || DataType_ == ftBytes || DataType_ == ftVarBytes) {
    std::vector<uint8_t> bytes = Value_.AsBytes();
    if (!bytes.empty()) std::memcpy(buffer, bytes.data(), bytes.size());
    return;
  }
  switch (DataType_) {
    case ftSmallint: Put(buffer, int16_t(Value_.AsInteger())); break;
    case ftWord: Put(buffer, uint16_t(Value_.AsInteger())); break;
    case ftBoolean: Put(buffer, uint16_t(Value_.AsBoolean() ? 1 : 0)); break;
    case ftInteger: case ftAutoInc: Put(buffer, int32_t(Value_.AsInteger())); break;
    case ftLargeint: Put(buffer, Value_.AsInteger()); break;
    case ftFloat: Put(buffer, Value_.AsFloat()); break;
    case ftCurrency: Put(buffer, double(Value_.AsCurrency()) / 10000.0); break;
    case ftDate: Put(buffer, TimestampDate(Value_.AsDateTime())); break;
    case ftTime: Put(buffer, TimestampTime(Value_.AsDateTime())); break;
    case ftDateTime: Put(buffer, Value_.AsDateTime()); break;
    case ftBCD:
      if (TextToPackedDecimal(Value_.AsString(), 4, static_cast<uint8_t*>(buffer)) != 0)
        throw EConvertError("'" + Value_.AsString() + "' is not a valid BCD value");
      break;
    default: break;
  }
}

void TParam::AssignValue(const TParam& source) {
  DataType_ = source.DataType_;
  ParamType_ = source.ParamType_;
  Value_ = source.Value_;
  Bound_ = source.Bound_;
}

// ---- TParams ----

TParam& TParams::CreateParam(TFieldType type, const std::string& name, TParamType paramType) {
  Items_.push_back(std::make_unique<TParam>(name, type, paramType));
  return *Items_.back();
}

TParam* TParams::FindParam(const std::string& name) const {
  for (const auto& p : Items_)
    if (EqualsIgnoreCase(p->Name(), name)) return p.get();
  return nullptr;
}

TParam& TParams::ParamByName(const std::string& name) const {
  TParam* p = FindParam(name);
  if (!p) DatabaseErrorFmt(SParamNotFound, name);
  return *p;
}

void TParams::AssignValues(const TParams& source) {
  for (const auto& p : Items_)
    if (TParam* from = source.FindParam(p->Name())) p->AssignValue(*from);
}

namespace {
bool IsNameChar(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
         c >= 0x80;
}
}  // namespace

std::string TParams::ParseSQL(const std::string& sql, bool doCreate) {
  std::string out;
  out.reserve(sql.size());
  std::vector<std::string> names;
  size_t i = 0;
  auto unclosed = [&](const char* what, size_t start) {
    DatabaseError(std::string(what) + " starting at character " + std::to_string(start + 1) +
                  " of the SQL text is not closed");
  };
  while (i < sql.size()) {
    char c = sql[i];
    if (c == '\'' || c == '"' || c == '[') {
      char close = c == '[' ? ']' : c;
      size_t end = sql.find(close, i + 1);
      if (end == std::string::npos)
        unclosed(c == '[' ? "A bracketed name" : "A quoted string", i);
      out.append(sql, i, end + 1 - i);
      i = end + 1;
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      size_t end = sql.find("*/", i + 2);
      if (end == std::string::npos) unclosed("A comment", i);
      out.append(sql, i, end + 2 - i);
      i = end + 2;
    } else if (c == ':' && i + 1 < sql.size() && sql[i + 1] == ':') {
      out += ':';
      i += 2;
    } else if (c == ':' && i + 1 < sql.size() && IsNameChar(static_cast<unsigned char>(sql[i + 1]))) {
      size_t start = i + 1, end = start;
      while (end < sql.size() && IsNameChar(static_cast<unsigned char>(sql[end]))) ++end;
      names.emplace_back(sql, start, end - start);
      out += '?';
      i = end;
    } else {
      out += c;
      ++i;
    }
  }
  if (doCreate)
    for (const std::string& name : names) CreateParam(ftUnknown, name, ptInput);
  return out;
}

}  // namespace veldor
