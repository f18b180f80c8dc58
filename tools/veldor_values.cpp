// Field values as text and the CSV reader and writer of the veldor tool.

#include "tools/veldor_values.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/byte_order.h"
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
  throw TToolError("'" + std::string(text) + "' is not " + what);
}

int64_t IntegerOf(std::string_view text, int64_t low, int64_t high, const char* what) {
  int64_t value = 0;
  if (!TryTextToInteger(text, low, high, value))
    throw TToolError("'" + std::string(text) + "' is not " + what + " (" + std::to_string(low) + " to " +
                     std::to_string(high) + ")");
  return value;
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
        throw TToolError("'" + std::string(text) + "' is longer than " + std::to_string(f.DeclaredSize()) +
                         " characters");
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
      int64_t amount = 0;
      if (!TryTextToCurrency(text, amount)) NotA("a decimal number", text);
      if (!CurrencyToBCD(amount, f.DeclaredScale(), slot))
        throw TToolError("'" + std::string(text) + "' has too many digits for the field");
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
        throw TToolError("more than " + std::to_string(f.DeclaredSize()) + " bytes");
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

std::string GetText(TDataCursor& cursor, uint16_t number, const uint8_t* image) {
  const TFieldDescriptor& f = cursor.Field(number);
  uint8_t slot[kSlotBuffer] = {};
  if (cursor.GetField(number, image, slot)) return "";
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
    case FIELD_FLOAT: return FloatToText(LoadDouble(slot));
    case FIELD_EXTENDED: {
      if (!kNativeExtended) return HexOf(slot, 10);
      long double value = 0;
      std::memcpy(&value, slot, 10);
      char text[64];
      std::snprintf(text, sizeof text, "%.18Lg", value);
      return text;
    }
    case FIELD_BCD: {
      int64_t amount = 0;
      if (!BCDToCurrency(slot, amount)) return "?";
      return CurrencyToText(amount);
    }
    case FIELD_DATE: return DateToText(LoadI32(slot));
    case FIELD_TIME: return TimeToText(LoadI32(slot));
    case FIELD_TIMESTAMP: return TimestampToText(LoadDouble(slot));
    case FIELD_BYTES:
    case FIELD_VARBYTES: return HexOf(slot, f.DeclaredSize());
    case FIELD_BLOB: {
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
    default: return "";
  }
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
