#include "engine/field_types.h"
#include "lib/name_text.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/errors.h"
#include "lib/byte_order.h"
#include "lib/collation.h"
#include "lib/date_time.h"
#include "lib/text_forms.h"

namespace veldor {
namespace {

std::string ReadShortString(const std::array<uint8_t, kFieldDescriptorSize>& bytes,
                            TDescriptorString area) {
  return LoadShortString(&bytes[area.Offset], area.Capacity);
}

void WriteShortString(std::array<uint8_t, kFieldDescriptorSize>& bytes, TDescriptorString area,
                      std::string_view text) {
  StoreShortString(&bytes[area.Offset], area.Capacity, text);
}

bool HasDeclaredSize(uint8_t type) {
  return type == FIELD_STRING || type == FIELD_BYTES || type == FIELD_VARBYTES;
}

// The value texts of a descriptor, with the raw length bytes checked against their areas.
bool ValueTextsValid(const TFieldDescriptor& field) {
  for (TDescriptorString area : {kMinValueArea, kMaxValueArea, kDefaultValueArea}) {
    if (field.Bytes[area.Offset] > area.Capacity) return false;
    std::string text = ReadShortString(field.Bytes, area);
    if (!text.empty() && !IsValidValueText(field.FieldType(), text)) return false;
  }
  return true;
}

}  // namespace

// ---- Descriptor --------------------------------------------------------------------------

TFieldDescriptor TFieldDescriptor::FromBytes(const uint8_t* bytes) {
  TFieldDescriptor d;
  std::memcpy(d.Bytes.data(), bytes, kFieldDescriptorSize);
  return d;
}

void TFieldDescriptor::ToBytes(uint8_t* bytes) const {
  std::memcpy(bytes, Bytes.data(), kFieldDescriptorSize);
}

uint16_t TFieldDescriptor::FieldNumber() const { return LoadU16(&Bytes[0]); }
void TFieldDescriptor::SetFieldNumber(uint16_t number) { StoreU16(&Bytes[0], number); }
std::string TFieldDescriptor::FieldName() const { return ReadShortString(Bytes, kFieldNameArea); }
void TFieldDescriptor::SetFieldName(std::string_view name) {
  WriteShortString(Bytes, kFieldNameArea, name);
}
std::string TFieldDescriptor::Description() const {
  return ReadShortString(Bytes, kDescriptionArea);
}
void TFieldDescriptor::SetDescription(std::string_view text) {
  WriteShortString(Bytes, kDescriptionArea, text);
}
uint16_t TFieldDescriptor::Offset() const { return LoadU16(&Bytes[90]); }
void TFieldDescriptor::SetOffset(uint16_t offset) { StoreU16(&Bytes[90], offset); }
std::string TFieldDescriptor::MinValue() const { return ReadShortString(Bytes, kMinValueArea); }
void TFieldDescriptor::SetMinValue(std::string_view text) {
  WriteShortString(Bytes, kMinValueArea, text);
}
std::string TFieldDescriptor::MaxValue() const { return ReadShortString(Bytes, kMaxValueArea); }
void TFieldDescriptor::SetMaxValue(std::string_view text) {
  WriteShortString(Bytes, kMaxValueArea, text);
}
std::string TFieldDescriptor::DefaultValue() const {
  return ReadShortString(Bytes, kDefaultValueArea);
}
void TFieldDescriptor::SetDefaultValue(std::string_view text) {
  WriteShortString(Bytes, kDefaultValueArea, text);
}

// ---- Layout ------------------------------------------------------------------------------

uint8_t SlotSizeOf(uint8_t type, uint8_t declaredSize) {
  switch (type) {
    case FIELD_STRING: return uint8_t(declaredSize + 1);
    case FIELD_DATE: return 4;
    case FIELD_BLOB: return 8;
    case FIELD_BOOLEAN: return 2;
    case FIELD_SMALLINT: return 2;
    case FIELD_INTEGER: return 4;
    case FIELD_FLOAT: return 8;
    case FIELD_BCD: return kBCDSize;
    case FIELD_TIME: return 4;
    case FIELD_TIMESTAMP: return 8;
    case FIELD_WORD: return 2;
    case FIELD_LONGWORD: return 4;
    case FIELD_EXTENDED: return 10;
    case FIELD_LARGEINT: return 8;
    default: return declaredSize;  // bytes, variable bytes, and types without a size rule
  }
}

void ComputeFieldSize(TFieldDescriptor& field) {
  field.SetSlotSize(SlotSizeOf(field.FieldType(), field.DeclaredSize()));
  field.SetScaleCopy(field.DeclaredScale());
}

uint32_t LayoutFields(std::vector<TFieldDescriptor>& fields) {
  uint32_t offset = kRecordPrefixSize;
  for (TFieldDescriptor& field : fields) {
    if (field.IsAutoInc()) {
      field.SetOffset(kRowIdOffset);
    } else if (field.Calculated()) {
      field.SetOffset(0);
    } else {
      field.SetOffset(uint16_t(offset));  // callers refuse sizes above 65535
      offset += field.SlotSize() + 1u;
    }
  }
  return offset;
}

uint32_t RecordSizeOf(const std::vector<TFieldDescriptor>& fields) {
  uint32_t size = kRecordPrefixSize;
  for (const TFieldDescriptor& field : fields)
    if (field.IsStored()) size += field.SlotSize() + 1u;
  return size;
}

void CheckRecordSize(uint32_t recordSize, const std::string& tableName) {
  if (recordSize > kMaxRecordSize) RaiseTableError(VELDOR_RECTOOBIG, tableName);
}

int KeyLengthOf(const TFieldDescriptor& field) {
  return field.FieldType() == FIELD_BCD ? kBCDKeyLength : field.SlotSize();
}

// ---- Validation --------------------------------------------------------------------------

bool IsIdentifierStart(uint8_t c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 129 && c <= 254);
}

bool IsValidValueText(uint8_t type, std::string_view text) {
  auto isClockWord = [&] {
    return EqualsIgnoreCase(text, "CURRENT_DATE") || EqualsIgnoreCase(text, "CURRENT_TIME") ||
           EqualsIgnoreCase(text, "CURRENT_TIMESTAMP");
  };
  int64_t i;
  double f;
  int32_t n;
  bool b;
  switch (type) {
    case FIELD_STRING:
    case FIELD_BYTES:
    case FIELD_VARBYTES: return true;
    case FIELD_DATE: return isClockWord() || TryTextToDate(text, n);
    case FIELD_TIME: return isClockWord() || TryTextToTime(text, n);
    case FIELD_TIMESTAMP: return isClockWord() || TryTextToTimestamp(text, f);
    case FIELD_BOOLEAN: return TryTextToBoolean(text, b);
    case FIELD_SMALLINT: return TryTextToInteger(text, INT16_MIN, INT16_MAX, i);
    case FIELD_INTEGER: return TryTextToInteger(text, INT32_MIN, INT32_MAX, i);
    case FIELD_WORD: return TryTextToInteger(text, 0, UINT16_MAX, i);
    case FIELD_LONGWORD: return TryTextToInteger(text, 0, UINT32_MAX, i);
    case FIELD_LARGEINT: return TryTextToInteger(text, INT64_MIN, INT64_MAX, i);
    case FIELD_FLOAT:
    case FIELD_EXTENDED: return TryTextToFloat(text, f);
    case FIELD_BCD: return TryTextToCurrency(text, i);
    default: return false;  // BLOBs and the types without values take no value texts
  }
}

uint32_t VerifyStoredFields(std::vector<TFieldDescriptor>& fields, const std::string& tableName) {
  auto corrupt = [&] { RaiseTableError(VELDOR_HEADERCORRUPT, tableName); };
  if (fields.size() > size_t(kMaxFieldCount)) corrupt();
  uint32_t offset = kRecordPrefixSize;
  for (size_t i = 0; i < fields.size(); ++i) {
    TFieldDescriptor& field = fields[i];
    ComputeFieldSize(field);
    if (field.Bytes[kFieldNameArea.Offset] > kMaxFieldNameLength ||
        field.Bytes[kDescriptionArea.Offset] > kMaxFieldDescriptionLength)
      corrupt();
    std::string name = field.FieldName();
    if (name.empty() || !IsIdentifierStart(uint8_t(name[0]))) corrupt();
    for (size_t j = 0; j < i; ++j)
      if (SameName(fields[j].FieldName(), name)) corrupt();
    if (field.FieldNumber() != i + 1) corrupt();  // also makes every number unique
    uint8_t type = field.FieldType();
    if (type == 0 || type > kMaxFieldType) corrupt();
    if (HasDeclaredSize(type) ? field.DeclaredSize() > kMaxDeclaredSize
                              : field.DeclaredSize() != 0)
      corrupt();
    if (!ValueTextsValid(field)) corrupt();
    if (type == FIELD_BCD ? field.DeclaredScale() > kMaxBCDScale : field.DeclaredScale() != 0)
      corrupt();
    if (field.Calculated()) corrupt();  // stored tables carry no calculated fields
    if (field.IsAutoInc()) {
      if (field.Offset() != kRowIdOffset) corrupt();
    } else {
      if (field.Offset() != offset) corrupt();
      offset += field.SlotSize() + 1u;
    }
  }
  return offset;
}

uint32_t PrepareFieldDefinitions(std::vector<TFieldDescriptor>& fields,
                                 const std::string& tableName) {
  for (size_t i = 0; i < fields.size(); ++i) {
    TFieldDescriptor& field = fields[i];
    std::string name = Trimmed(field.FieldName());
    field.SetFieldName(name);  // cut to 30 characters
    name = field.FieldName();
    auto fail = [&](uint16_t code) {
      RaiseEngineError(code, "", "", "", tableName, name, "", "");
    };
    if (name.empty() || !IsIdentifierStart(uint8_t(name[0]))) fail(VELDOR_INVALIDFIELDNAME);
    for (size_t j = 0; j < i; ++j)
      if (SameName(fields[j].FieldName(), name)) fail(VELDOR_INVALIDFIELDNAME);
    for (size_t j = 0; j < i; ++j)
      if (fields[j].FieldNumber() == field.FieldNumber()) fail(VELDOR_INVALIDFLDTYPE);
    uint8_t type = field.FieldType();
    if (type == 0 || type > kMaxFieldType) fail(VELDOR_INVALIDFLDTYPE);
    if (HasDeclaredSize(type)) {
      if (field.DeclaredSize() > kMaxDeclaredSize) fail(VELDOR_INVALIDFLDTYPE);
    } else {
      field.SetDeclaredSize(0);
    }
    if (!ValueTextsValid(field)) fail(VELDOR_INVALIDVCHKSTRUCT);
    if (type != FIELD_BCD)
      field.SetDeclaredScale(0);
    else if (field.DeclaredScale() > kMaxBCDScale)
      fail(VELDOR_INVALIDFLDTYPE);
    ComputeFieldSize(field);
    field.SetCalculated(false);
  }
  return LayoutFields(fields);
}

// ---- Values ------------------------------------------------------------------------------

bool FieldPresent(const uint8_t* record, const TFieldDescriptor& field) {
  if (field.IsAutoInc()) return true;
  return record[field.Offset()] != 0;
}

void SetFieldPresent(uint8_t* record, const TFieldDescriptor& field, bool present) {
  if (field.IsAutoInc()) return;
  record[field.Offset()] = present ? 1 : 0;
}

bool GetFieldValue(const uint8_t* record, const TFieldDescriptor& field, void* buffer) {
  auto* out = static_cast<uint8_t*>(buffer);
  if (field.IsAutoInc()) {
    std::memcpy(out, record + kRowIdOffset, 4);
    return false;
  }
  const size_t size = field.FieldType() == FIELD_BLOB ? 4 : field.SlotSize();
  const uint8_t* at = record + field.Offset();
  if (at[0] == 0) {
    std::memset(out, 0, size);
    return true;
  }
  CopyShort(out, at + 1, size);
  return false;
}

void PutFieldValue(uint8_t* record, const TFieldDescriptor& field, const void* value,
                   const TValueContext& context, bool forceCalculated) {
  if (field.Calculated() && !forceCalculated) return;
  const auto* in = static_cast<const uint8_t*>(value);
  if (field.IsAutoInc()) {
    if (in != nullptr) std::memcpy(record + kRowIdOffset, in, 4);
    return;
  }
  uint8_t* flag = record + field.Offset();
  uint8_t* slot = flag + 1;
  size_t slotSize = field.SlotSize();
  if (in == nullptr) {
    *flag = 0;
    std::memset(slot, 0, slotSize);
    return;
  }
  switch (field.FieldType()) {
    case FIELD_STRING: {
      size_t limit = field.DeclaredSize();
      size_t length = 0;
      while (length < limit && in[length] != 0) ++length;
      while (length > 0 && in[length - 1] == ' ') --length;
      std::memset(slot, 0, slotSize);
      std::memcpy(slot, in, length);
      if (field.CharCase() == CHARCASE_UPPER || field.CharCase() == CHARCASE_LOWER) {
        const TCollation& collation =
            context.Collation ? *context.Collation : GetCollation(0, 0);
        char* text = reinterpret_cast<char*>(slot);
        if (field.CharCase() == CHARCASE_UPPER)
          collation.ToUpper(text, length);
        else
          collation.ToLower(text, length);
      }
      *flag = length > 0 ? 1 : 0;
      return;
    }
    case FIELD_BOOLEAN:
      StoreU16(slot, LoadU16(in) != 0 ? 1 : 0);
      *flag = 1;
      return;
    case FIELD_BLOB:
      std::memcpy(slot, in, 4);
      *flag = LoadI32(in) != 0 ? 1 : 0;
      return;
    default:
      std::memcpy(slot, in, slotSize);
      *flag = 1;
      return;
  }
}

std::string StoredValueProblem(const uint8_t* record, const TFieldDescriptor& field) {
  if (!field.IsStored()) return "";
  const uint8_t* at = record + field.Offset();
  const uint8_t flag = at[0];
  const uint8_t* slot = at + 1;
  const size_t size = field.SlotSize();
  const uint8_t type = field.FieldType();
  if (flag > 1) return "null flag " + std::to_string(flag) + " (0 or 1 expected)";
  if (type == FIELD_BLOB) return "";
  auto zeroFrom = [&](size_t from) {
    return std::all_of(slot + std::min(from, size), slot + size, [](uint8_t b) { return b == 0; });
  };
  if (flag == 0) return zeroFrom(0) ? "" : "null, yet its slot holds bytes";
  switch (type) {
    case FIELD_STRING: {
      const uint8_t* end = std::find(slot, slot + size, uint8_t(0));
      if (end == slot + size) return "a string without its terminating zero";
      if (end == slot) return "an empty string marked present";
      if (!zeroFrom(size_t(end - slot) + 1)) return "bytes after the string's terminating zero";
      return "";
    }
    case FIELD_BOOLEAN: {
      const uint16_t value = LoadU16(slot);
      return value <= 1 ? "" : "a boolean of " + std::to_string(value) + " (0 or 1 expected)";
    }
    case FIELD_DATE: {
      static const int32_t last = EncodeDate(9999, 12, 31);
      const int32_t day = LoadI32(slot);
      return day >= 1 && day <= last ? "" : "a day number of " + std::to_string(day) + ", outside the years 1 to 9999";
    }
    case FIELD_TIME: {
      const int32_t ms = LoadI32(slot);
      return ms >= 0 && ms < kMillisecondsPerDay ? "" : "a time of " + std::to_string(ms) + " ms (0 to 86399999 expected)";
    }
    case FIELD_TIMESTAMP: {
      static const double end = (double(EncodeDate(9999, 12, 31)) + 1) * kMillisecondsPerDay;
      const double value = LoadDouble(slot);
      if (std::isfinite(value) && value >= 0 && value < end) return "";
      return "a timestamp of " + FloatToText(value) + " ms, outside the years 1 to 9999";
    }
    case FIELD_BCD: {
      int64_t amount = 0;
      return BCDToCurrency(slot, amount) ? "" : "a packed decimal that does not read";
    }
    default:
      return "";
  }
}

// ---- Packed decimals ---------------------------------------------------------------------

bool BCDToCurrency(const uint8_t* bcd, int64_t& amount) {
  int precision = bcd[0];
  int scale = bcd[1] & 0x3F;
  bool negative = (bcd[1] & 0x80) != 0;
  if (precision > 64 || scale > precision) return false;
  __int128 value = 0;
  const __int128 limit = __int128(1) << 63;
  int kept = precision - std::max(0, scale - 4);  // digits that reach the fourth decimal
  int roundDigit = 0;
  for (int i = 0; i < precision; ++i) {
    uint8_t byte = bcd[2 + i / 2];
    int digit = i % 2 == 0 ? byte >> 4 : byte & 0x0F;
    if (digit > 9) return false;
    if (i < kept) {
      value = value * 10 + digit;
      if (value > limit * 10) return false;
    } else if (i == kept) {
      roundDigit = digit;
    }
  }
  for (int s = scale; s < 4; ++s) value *= 10;
  if (roundDigit >= 5) value += 1;
  if (value > limit || (!negative && value == limit)) return false;
  amount = negative ? int64_t(-value) : int64_t(value);
  return true;
}

bool CurrencyToBCD(int64_t amount, int scale, uint8_t* bcd) {
  if (scale < 0 || scale > kMaxBCDScale) return false;
  std::memset(bcd, 0, kBCDSize);
  bool negative = amount < 0;
  unsigned __int128 magnitude = negative ? 0 - uint64_t(amount) : uint64_t(amount);
  // Bring the amount from four decimals to `scale` decimals.
  if (scale < 4) {
    unsigned __int128 divisor = 1;
    for (int s = scale; s < 4; ++s) divisor *= 10;
    unsigned __int128 rest = magnitude % divisor;
    magnitude /= divisor;
    if (rest * 2 >= divisor) magnitude += 1;
  }
  char digits[33];
  std::memset(digits, 0, sizeof digits);
  // Digits of the amount, most significant first, in 32 positions; the extra decimals of a
  // scale above four are zeros at the end.
  int extra = std::max(0, scale - 4);
  if (extra > 32) return false;
  for (int i = 31 - extra; i >= 0; --i) {
    digits[i] = char(magnitude % 10);
    magnitude /= 10;
  }
  if (magnitude != 0) return false;  // integer digits do not fit 32 - scale digits
  bcd[0] = 32;
  bcd[1] = uint8_t(scale) | (negative && amount != 0 ? 0x80 : 0);
  for (int i = 0; i < 32; ++i) {
    uint8_t& byte = bcd[2 + i / 2];
    byte |= i % 2 == 0 ? uint8_t(digits[i] << 4) : uint8_t(digits[i]);
  }
  return true;
}

}  // namespace veldor
