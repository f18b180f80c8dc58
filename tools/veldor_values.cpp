// Field values as text and the CSV reader and writer of the veldor tool.

#include "tools/veldor_values.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/byte_order.h"
#include "lib/expression_eval.h"
#include "lib/text_forms.h"

namespace veldor::tool {
namespace {

// Slot bytes are read into and written from a buffer that holds any slot.
constexpr size_t kSlotBuffer = 512;

// Hexadecimal text of bytes, and back (false for an odd length or a non-hex character).
std::string HexOf(const uint8_t* bytes, size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(count * 2);
  for (size_t i = 0; i < count; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

bool BytesOf(std::string_view hex, std::vector<uint8_t>& out) {
  if (hex.size() % 2 != 0) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = nibble(hex[i]), low = nibble(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out.push_back(uint8_t(high * 16 + low));
  }
  return true;
}

// Memo and formatted memo BLOBs are text; the other BLOB kinds are bytes.
bool TextBlob(const TFieldDescriptor& f) {
  return f.SubType() == SUBTYPE_MEMO || f.SubType() == SUBTYPE_FMTMEMO;
}

// The 80-bit extended format is the machine's long double where it has 64 mantissa bits.
constexpr bool kNativeExtended = std::numeric_limits<long double>::digits == 64;

[[noreturn]] void NotA(const char* what, std::string_view text) {
  throw TToolError(Brief(text) + " is not " + what);
}

int64_t IntegerOf(std::string_view text, int64_t low, int64_t high, const char* what) {
  int64_t value = 0;
  if (!TryTextToInteger(text, low, high, value))
    throw TToolError(Brief(text) + " is not " + what + " (" + std::to_string(low) + " to " +
                     std::to_string(high) + ")");
  return value;
}

// The shortest text that reads back to the same number.
template <typename T>
std::string ShortestText(T value) {
  char text[64];
  auto result = std::to_chars(text, text + sizeof text, value);
  return std::string(text, result.ptr);
}

// A decimal text ("-12.50", "1.5e-3", blanks around it allowed) as a packed decimal with
// `scale` decimals and the engine's 32 digits: true, or false with `why` telling what does
// not fit. Trailing zeros of the fraction are no decimals of the value.
bool DecimalToBCD(std::string_view text, int scale, uint8_t* bcd, std::string& why) {
  std::string_view s = text;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  std::string digits;
  int64_t point = 0;  // digits before the decimal point
  size_t i = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) digits += s[i];
  point = int64_t(digits.size());
  bool any = !digits.empty();
  if (i < s.size() && s[i] == '.') {
    for (++i; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
      digits += s[i];
      any = true;
    }
  }
  if (!any) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool down = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) down = s[i++] == '-';
    if (i >= s.size()) return false;
    int64_t exponent = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) exponent = std::min<int64_t>(exponent * 10 + (s[i] - '0'), 100000);
    point += down ? -exponent : exponent;
  }
  if (i != s.size()) return false;
  why.clear();
  size_t lead = 0;
  while (lead < digits.size() && digits[lead] == '0') ++lead;
  digits.erase(0, lead);
  point -= int64_t(lead);
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  std::memset(bcd, 0, kBCDSize);
  const int integerRoom = 32 - scale;
  if (!digits.empty()) {
    const int64_t decimals = std::max<int64_t>(int64_t(digits.size()) - point, 0);
    const int64_t integers = std::max<int64_t>(point, 0);
    if (decimals > scale) {
      why = "has " + std::to_string(decimals) + " decimals, the field keeps " + std::to_string(scale);
      return false;
    }
    if (integers > integerRoom) {
      why = "has " + std::to_string(integers) + " digits before the point, the field holds " +
            std::to_string(integerRoom);
      return false;
    }
  }
  // Digit k of the 32 (0 the most significant) stands for 10^(integerRoom - 1 - k).
  for (size_t d = 0; d < digits.size(); ++d) {
    const int64_t k = integerRoom - point + int64_t(d);
    uint8_t& byte = bcd[2 + k / 2];
    byte |= k % 2 == 0 ? uint8_t((digits[d] - '0') << 4) : uint8_t(digits[d] - '0');
  }
  bcd[0] = 32;
  bcd[1] = uint8_t(scale) | (negative && !digits.empty() ? 0x80 : 0);
  return true;
}

// The exact value of a packed decimal as the shortest decimal text; false for bytes that
// are no packed decimal.
bool BCDToDecimal(const uint8_t* bcd, std::string& text) {
  const int precision = bcd[0], scale = bcd[1] & 0x3F;
  if (precision > 64 || scale > precision) return false;
  std::string digits;
  for (int i = 0; i < precision; ++i) {
    const uint8_t byte = bcd[2 + i / 2];
    const int digit = i % 2 == 0 ? byte >> 4 : byte & 0x0F;
    if (digit > 9) return false;
    digits += char('0' + digit);
  }
  std::string whole = digits.substr(0, size_t(precision - scale));
  std::string fraction = digits.substr(size_t(precision - scale));
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (whole.empty()) whole = "0";
  text = whole + (fraction.empty() ? "" : "." + fraction);
  if ((bcd[1] & 0x80) != 0 && text != "0") text = "-" + text;
  return true;
}

}  // namespace

namespace {

// The slot bytes of a non-empty `text` for field `f` (kSlotBuffer bytes, zeroed by the
// caller), or for a BLOB field its bytes in `blob` (not kept when `blob` is null). Raises
// TToolError when the text is not a value of the field.
void Convert(const TFieldDescriptor& f, std::string_view text, uint8_t* slot, std::vector<uint8_t>* blob) {
  switch (f.FieldType()) {
    case FIELD_STRING: {
      if (text.find('\0') != std::string_view::npos) throw TToolError("a text with a NUL character");
      // Trailing blanks are not stored, so they do not count against the length.
      while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
      if (text.size() > f.DeclaredSize())
        throw TToolError(Brief(text) + " is longer than " + std::to_string(f.DeclaredSize()) + " characters" +
                         (text.size() > 60 ? "" : " (it has " + std::to_string(text.size()) + ")"));
      std::memcpy(slot, text.data(), text.size());
      break;
    }
    case FIELD_SMALLINT:
      StoreI16(slot, int16_t(IntegerOf(text, INT16_MIN, INT16_MAX, "a small integer")));
      break;
    case FIELD_INTEGER:
      if (f.IsAutoInc())
        StoreI32(slot, int32_t(IntegerOf(text, 1, INT32_MAX, "an auto-increment value")));
      else
        StoreI32(slot, int32_t(IntegerOf(text, INT32_MIN, INT32_MAX, "an integer")));
      break;
    case FIELD_WORD: StoreU16(slot, uint16_t(IntegerOf(text, 0, UINT16_MAX, "a word"))); break;
    case FIELD_LONGWORD: StoreU32(slot, uint32_t(IntegerOf(text, 0, UINT32_MAX, "a long word"))); break;
    case FIELD_LARGEINT: StoreI64(slot, IntegerOf(text, INT64_MIN, INT64_MAX, "a large integer")); break;
    case FIELD_BOOLEAN: {
      bool value = false;
      if (!TryTextToBoolean(text, value)) NotA("a boolean (True or False)", text);
      StoreU16(slot, value ? 1 : 0);
      break;
    }
    case FIELD_FLOAT: {
      double value = 0;
      if (!TryTextToFloat(text, value)) NotA("a number", text);
      StoreDouble(slot, value);
      break;
    }
    case FIELD_EXTENDED: {
      double check = 0;
      if (!TryTextToFloat(text, check)) NotA("a number", text);
      if (!kNativeExtended) throw TToolError("extended values cannot be written on this machine");
      std::string clean(text);
      long double value = std::strtold(clean.c_str(), nullptr);
      std::memcpy(slot, &value, 10);
      break;
    }
    case FIELD_BCD: {
      std::string why;
      if (!DecimalToBCD(text, f.DeclaredScale(), slot, why)) {
        if (why.empty()) NotA("a decimal number", text);
        throw TToolError(Brief(text) + " " + why);
      }
      break;
    }
    case FIELD_DATE: {
      int32_t day = 0;
      if (!TryTextToDate(text, day)) NotA("a date (year-month-day)", text);
      StoreI32(slot, day);
      break;
    }
    case FIELD_TIME: {
      int32_t ms = 0;
      if (!TryTextToTime(text, ms)) NotA("a time (hours:minutes[:seconds] [AM|PM])", text);
      StoreI32(slot, ms);
      break;
    }
    case FIELD_TIMESTAMP: {
      double value = 0;
      if (!TryTextToTimestamp(text, value)) NotA("a timestamp (a date and a time)", text);
      StoreDouble(slot, value);
      break;
    }
    case FIELD_BYTES:
    case FIELD_VARBYTES: {
      std::vector<uint8_t> bytes;
      if (!BytesOf(text, bytes)) NotA("hexadecimal bytes", text);
      if (bytes.size() > f.DeclaredSize())
        throw TToolError(std::to_string(bytes.size()) + " bytes, more than the " +
                         std::to_string(f.DeclaredSize()) + " of the field");
      std::memcpy(slot, bytes.data(), bytes.size());
      break;
    }
    case FIELD_BLOB: {
      if (text.size() > size_t(INT32_MAX)) throw TToolError("a BLOB value longer than 2147483647 bytes");
      std::vector<uint8_t> bytes;
      if (!TextBlob(f) && !BytesOf(text, bytes)) NotA("hexadecimal bytes", text);
      if (blob == nullptr) return;
      if (TextBlob(f))
        blob->assign(text.begin(), text.end());
      else
        *blob = std::move(bytes);
      return;
    }
    default: throw TToolError("fields of type " + std::to_string(f.FieldType()) + " take no values");
  }
}

}  // namespace

void CheckText(const TFieldDescriptor& field, std::string_view text) {
  if (text.empty()) return;
  uint8_t slot[kSlotBuffer] = {};
  Convert(field, text, slot, nullptr);
}

void PutText(TDataCursor& cursor, uint16_t number, uint8_t* image, std::string_view text) {
  const TFieldDescriptor& f = cursor.Field(number);
  if (text.empty()) {
    cursor.PutField(number, image, nullptr);
    return;
  }
  uint8_t slot[kSlotBuffer] = {};
  std::vector<uint8_t> bytes;
  Convert(f, text, slot, &bytes);
  if (f.FieldType() != FIELD_BLOB) {
    cursor.PutField(number, image, slot);
    return;
  }
  uint16_t code = cursor.OpenBlob(number, image, kBlobOwnerEngine, false, kBlobWrite);
  if (code == 0) code = cursor.PutBlob(number, image, false, 0, uint32_t(bytes.size()), bytes.data());
  if (code != 0) RaiseTableError(code, cursor.TableName());
}

namespace {

// The text of the slot of a field that is no BLOB.
std::string SlotText(const TFieldDescriptor& f, const uint8_t* slot) {
  switch (f.FieldType()) {
    case FIELD_STRING:
      return std::string(reinterpret_cast<const char*>(slot),
                         strnlen(reinterpret_cast<const char*>(slot), f.SlotSize()));
    case FIELD_SMALLINT: return std::to_string(LoadI16(slot));
    case FIELD_INTEGER: return std::to_string(LoadI32(slot));
    case FIELD_WORD: return std::to_string(LoadU16(slot));
    case FIELD_LONGWORD: return std::to_string(LoadU32(slot));
    case FIELD_LARGEINT: return std::to_string(LoadI64(slot));
    case FIELD_BOOLEAN: return BooleanToText(LoadU16(slot) != 0);
    case FIELD_FLOAT: return ShortestText(LoadDouble(slot));
    case FIELD_EXTENDED: {
      if (!kNativeExtended) return HexOf(slot, 10);
      long double value = 0;
      std::memcpy(&value, slot, 10);
      return ShortestText(value);
    }
    case FIELD_BCD: {
      std::string text;
      if (!BCDToDecimal(slot, text)) return "?";
      return text;
    }
    case FIELD_DATE: return DateToText(LoadI32(slot));
    case FIELD_TIME: return TimeToText(LoadI32(slot));
    case FIELD_TIMESTAMP: return TimestampToText(LoadDouble(slot));
    case FIELD_BYTES:
    case FIELD_VARBYTES: return HexOf(slot, f.DeclaredSize());
    default: return "";
  }
}

}  // namespace

std::string GetText(TDataCursor& cursor, uint16_t number, const uint8_t* image) {
  const TFieldDescriptor& f = cursor.Field(number);
  uint8_t slot[kSlotBuffer] = {};
  if (cursor.GetField(number, image, slot)) return "";
  if (f.FieldType() != FIELD_BLOB) return SlotText(f, slot);
  std::vector<uint8_t> copy(image, image + cursor.RecordSize());
  uint16_t code = cursor.OpenBlob(number, copy.data(), kBlobOwnerEngine, false, kBlobRead);
  if (code != 0) RaiseTableError(code, cursor.TableName());
  uint32_t size = 0, got = 0;
  std::vector<uint8_t> bytes;
  code = cursor.GetBlobSize(number, copy.data(), false, size);
  if (code == 0) {
    bytes.resize(size);
    if (size > 0) code = cursor.GetBlob(number, copy.data(), false, 0, size, bytes.data(), got);
  }
  cursor.FreeBlob(number, copy.data(), kBlobOwnerEngine, false);
  if (code != 0) RaiseTableError(code, cursor.TableName());
  if (TextBlob(f)) return std::string(bytes.begin(), bytes.end());
  return HexOf(bytes.data(), bytes.size());
}

bool ConversionChanges(const TFieldDescriptor& from, const TFieldDescriptor& to, const uint8_t* value) {
  const int32_t fromSize = from.IsAutoInc() ? 4 : from.SlotSize();
  const int32_t toSize = to.IsAutoInc() ? 4 : to.SlotSize();
  const size_t capacity = std::max<size_t>({kConvertBufferSize, from.SlotSize(), to.SlotSize()}) + 8;
  std::vector<uint8_t> converted(capacity, 0);
  std::memcpy(converted.data(), value, std::min<size_t>(from.SlotSize(), capacity));
  if (!ConvertValue(from.FieldType(), fromSize, from.DeclaredScale(), converted.data(), to.DeclaredScale(),
                    toSize, to.FieldType(), capacity))
    return false;
  if (from.FieldType() == FIELD_STRING && to.FieldType() != FIELD_STRING) {
    // Text read as a number or a date is as exact as its type allows; only a decimal can
    // lose digits the text has (the engine goes through four decimals and the scale).
    if (to.FieldType() != FIELD_BCD) return false;
    uint8_t exact[kBCDSize];
    std::string why, a, b;
    if (!DecimalToBCD(SlotText(from, value), to.DeclaredScale(), exact, why)) return !why.empty();
    return !BCDToDecimal(exact, a) || !BCDToDecimal(converted.data(), b) || a != b;
  }
  // Anything else: the value converted back must be the value it was.
  std::vector<uint8_t> back = converted;
  if (!ConvertValue(to.FieldType(), toSize, to.DeclaredScale(), back.data(), from.DeclaredScale(), fromSize,
                    from.FieldType(), capacity))
    return true;
  return SlotText(from, value) != SlotText(from, back.data());
}

// ---- CSV ------------------------------------------------------------------------------------

TCsvReader::TCsvReader(std::string_view text) : Text_(text) {
  if (Text_.substr(0, 3) == "\xEF\xBB\xBF") Offset_ = 3;  // a byte order mark
}

bool TCsvReader::Next(std::vector<std::string>& cells) {
  cells.clear();
  const size_t n = Text_.size();
  size_t& at = Offset_;
  // Empty lines carry no record.
  for (;;) {
    if (at < n && Text_[at] == '\n') {
      ++at;
      ++LineNumber_;
    } else if (at + 1 < n && Text_[at] == '\r' && Text_[at + 1] == '\n') {
      at += 2;
      ++LineNumber_;
    } else {
      break;
    }
  }
  if (at >= n) return false;
  RecordLine_ = LineNumber_;
  const std::string where = "line " + std::to_string(RecordLine_);
  auto lineEnd = [&](size_t i) {
    return Text_[i] == '\n' || (Text_[i] == '\r' && i + 1 < n && Text_[i + 1] == '\n');
  };
  for (;;) {
    std::string cell;
    if (at < n && Text_[at] == '"') {
      ++at;
      for (;;) {
        if (at >= n) throw TToolError(where + ": a quoted cell is not closed");
        const char c = Text_[at];
        if (c == '"') {
          if (at + 1 < n && Text_[at + 1] == '"') {
            cell += '"';
            at += 2;
            continue;
          }
          ++at;
          break;
        }
        if (c == '\n') ++LineNumber_;
        cell += c;
        ++at;
      }
      if (at < n && Text_[at] != ',' && !lineEnd(at))
        throw TToolError(where + ": text after the closing quote of a cell");
    } else {
      while (at < n && Text_[at] != ',' && !lineEnd(at)) {
        if (Text_[at] == '"')
          throw TToolError(where + ": a quote inside a cell that does not start with one");
        cell += Text_[at++];
      }
    }
    cells.push_back(std::move(cell));
    if (at >= n) return true;
    if (Text_[at] == ',') {
      ++at;
      continue;
    }
    at += Text_[at] == '\r' ? 2 : 1;
    ++LineNumber_;
    return true;
  }
}

std::string CsvCell(std::string_view text) {
  bool quote = !text.empty() &&
               (text.front() == ' ' || text.front() == '\t' || text.back() == ' ' || text.back() == '\t');
  for (char c : text)
    if (c == ',' || c == '"' || c == '\r' || c == '\n') quote = true;
  if (!quote) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string CsvLine(const std::vector<std::string>& cells) {
  std::string out;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i > 0) out += ',';
    out += CsvCell(cells[i]);
  }
  return out + "\n";
}

}  // namespace veldor::tool
