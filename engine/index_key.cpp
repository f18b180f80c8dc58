#include "engine/index_key.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string>

#include "engine/errors.h"
#include "lib/byte_order.h"
#include "lib/collation.h"

namespace veldor {
namespace {

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

int CompareBytes(const uint8_t* a, const uint8_t* b, int n) {
  return n > 0 ? Sign(std::memcmp(a, b, size_t(n))) : 0;
}

// The field that an index names by number, or nullptr. Field i of a table carries
// number i, so the number is an index into the table's field list.
const TFieldDescriptor* FieldOf(uint16_t number, const std::vector<TFieldDescriptor>& fields) {
  if (number == 0 || number > fields.size()) return nullptr;
  return &fields[number - 1];
}

// Key part length without the presence byte. The auto-increment field has no slot of
// its own: its part is the 32-bit row identifier whatever its descriptor says.
int PartLengthOf(const TFieldDescriptor& field) {
  return field.IsAutoInc() ? 4 : KeyLengthOf(field);
}

// True when the part's order runs against the bytes it is built from: a field marked
// descending in an index that is not descending as a whole. In a table without a
// language its bytes are inverted when the key is built; with a language its comparison
// is negated instead. Either way the lowest bound of the part is made of high bytes
// (language 0: the inverted bytes are already lowest at 0x00) -- see FillKey.
bool ReversedPart(const TKeyPart& part, bool indexDescending) {
  return part.Descending && !indexDescending;
}

// Fills key[from, keyLength) so that the result is at or below (`high` false) or at or
// above (`high` true) every key that shares key[0, from), in the order that Compare gives
// before the negation of a descending index (callers swap the fills for such an index).
// Without a collation that is 0x00 / 0xFF everywhere. With one, the text bytes of a
// string part take the collation's lowest or highest character, and a part whose
// comparison is negated takes the opposite fill so that the bound still brackets it.
void FillKey(const std::vector<TKeyPart>& parts, const TCollation* collation,
             bool indexDescending, int keyLength, uint8_t* key, int from, bool high) {
  from = std::max(from, 0);
  if (from >= keyLength) return;
  std::memset(key + from, high ? 0xFF : 0x00, size_t(keyLength - from));
  if (collation == nullptr) return;
  const std::array<uint8_t, 256>& order = collation->CharacterOrder();
  for (const TKeyPart& part : parts) {
    int begin = std::max(from, part.KeyOffset);
    int end = part.KeyOffset + 1 + part.Length;
    if (begin >= end) continue;
    bool up = high != ReversedPart(part, indexDescending);
    std::memset(key + begin, up ? 0xFF : 0x00, size_t(end - begin));
    if (part.Type == FIELD_STRING) {
      int text = std::max(begin, part.KeyOffset + 1);
      if (text < end) std::memset(key + text, up ? order[255] : order[0], size_t(end - text));
    }
  }
}

}  // namespace

// Also -1 when the descriptor claims more than 16 key fields: its field number array
// holds no more.
int KeyPartSum(const TIndexDescriptor& descriptor, const std::vector<TFieldDescriptor>& fields) {
  if (descriptor.FieldCount() > kMaxIndexFields) return -1;
  int sum = 0;
  for (int i = 0; i < descriptor.FieldCount(); ++i) {
    const TFieldDescriptor* field = FieldOf(descriptor.FieldNumber(i), fields);
    if (field == nullptr) return -1;
    sum += PartLengthOf(*field) + 1;
  }
  return sum;
}

// A descriptor that breaks the index file's rules is refused rather than trusted, since
// keys are written into buffers sized by the format's limits: more than 16 fields raises
// VELDOR_INDEXLIMIT, a number that names no field VELDOR_INVALIDIDXDESC, a part sum above
// 522 VELDOR_INVALIDKEY (each naming the index; the table is not known here). A sum of 0
// (the unused primary slot of a table without a user primary key) is accepted.
TKeyLayout::TKeyLayout(const TIndexDescriptor& descriptor,
                       const std::vector<TFieldDescriptor>& fields, const TCollation& collation)
    : Unique_(descriptor.Unique()),
      Descending_(descriptor.Descending()),
      CaseInsensitive_(descriptor.CaseInsensitive()),
      Collation_(collation.Language() != 0 ? &collation : nullptr),
      CaseCollation_(&collation) {
  const std::string indexName = descriptor.Name();
  if (descriptor.FieldCount() > kMaxIndexFields)
    RaiseEngineError(VELDOR_INDEXLIMIT, "", "", "", "", "", indexName, "");
  int offset = 0;
  for (int i = 0; i < descriptor.FieldCount(); ++i) {
    uint16_t number = descriptor.FieldNumber(i);
    const TFieldDescriptor* field = FieldOf(number, fields);
    if (field == nullptr)
      RaiseEngineError(VELDOR_INVALIDIDXDESC, "", "", "", "", std::to_string(number), indexName,
                       "");
    TKeyPart part;
    part.FieldNumber = number;
    part.AutoInc = field->IsAutoInc();
    part.Type = part.AutoInc ? FIELD_INTEGER : field->FieldType();
    part.RecordOffset = part.AutoInc ? uint16_t(kRowIdOffset) : field->Offset();
    part.KeyOffset = offset;
    part.Length = PartLengthOf(*field);
    part.Descending = descriptor.FieldDescending(i);
    offset += part.Length + 1;
    Parts_.push_back(part);
  }
  if (offset > kMaxKeyPartSum) RaiseEngineError(VELDOR_INVALIDKEY, "", "", "", "", "", indexName, "");
  PartSum_ = offset;
  KeyLength_ = PartSum_ + (Unique_ ? 0 : kRowIdKeyLength);
}

TKeyLayout TKeyLayout::SysDeleted() {
  TKeyLayout layout;
  layout.PartSum_ = 1;
  layout.KeyLength_ = 1 + kRowIdKeyLength;
  layout.Unique_ = false;
  layout.SysDeleted_ = true;
  return layout;
}

void TKeyLayout::BuildKey(const uint8_t* record, uint8_t* key) const {
  if (SysDeleted_) {
    key[0] = record[kRecordDeletedOffset];
  } else {
    for (size_t i = 0; i < Parts_.size(); ++i) {
      const TKeyPart& part = Parts_[i];
      const uint8_t* at = record + part.RecordOffset;
      const uint8_t* value = part.AutoInc ? at : at[0] != 0 ? at + 1 : nullptr;
      EncodeKeyPart(int(i), value, key);
    }
  }
  if (!Unique_) EncodeInt32Key(LoadI32(record + kRowIdOffset), key + PartSum_);
}

// Writes at the part's place in `key` (its KeyOffset), in exactly the form BuildKey gives,
// so that bounds built from constants compare with stored keys. A string value is read up
// to its first NUL and at most Length - 1 characters, so a shorter NUL-terminated buffer
// may be passed for it.
void TKeyLayout::EncodeKeyPart(int part, const uint8_t* value, uint8_t* key) const {
  // Callers pass the number of a part of this layout; an engine bug otherwise.
  assert(part >= 0 && size_t(part) < Parts_.size());
  const TKeyPart& p = Parts_[size_t(part)];
  uint8_t* out = key + p.KeyOffset;
  uint8_t* body = out + 1;
  if (value == nullptr) {
    std::memset(out, 0, size_t(p.Length) + 1);
  } else {
    out[0] = 1;
    switch (p.Type) {
      case FIELD_STRING: {
        int text = 0;
        while (text < p.Length - 1 && value[text] != 0) ++text;
        std::memcpy(body, value, size_t(text));
        std::memset(body + text, 0, size_t(p.Length - text));
        if (CaseInsensitive_) CaseCollation_->ToUpper(reinterpret_cast<char*>(body), size_t(text));
        break;
      }
      case FIELD_DATE:
      case FIELD_INTEGER:
      case FIELD_TIME: EncodeInt32Key(LoadI32(value), body); break;
      case FIELD_SMALLINT: EncodeInt16Key(LoadI16(value), body); break;
      case FIELD_BOOLEAN:
      case FIELD_WORD: EncodeUInt16Key(LoadU16(value), body); break;
      case FIELD_FLOAT:
      case FIELD_TIMESTAMP: EncodeDoubleKey(LoadDouble(value), body); break;
      case FIELD_BCD: {
        // A packed decimal that cannot be read (a bad digit, a precision or scale out of
        // range, a value beyond 64 bits) keys as the zero amount: the record stays
        // reachable through the index instead of failing every key build.
        int64_t amount = 0;
        if (!BCDToCurrency(value, amount)) amount = 0;
        EncodeInt64Key(amount, body);
        break;
      }
      case FIELD_LARGEINT: EncodeInt64Key(LoadI64(value), body); break;
      default: std::memcpy(body, value, size_t(p.Length)); break;
    }
  }
  if (Collation_ == nullptr && ReversedPart(p, Descending_)) {
    // The NUL that ends a string part stays 0.
    int inverted = 1 + (p.Type == FIELD_STRING ? std::max(p.Length - 1, 0) : p.Length);
    for (int i = 0; i < inverted; ++i) out[i] = uint8_t(255 - out[i]);
  }
}

// `length` is clamped to the key length; 0 or less compares nothing (equal).
int TKeyLayout::Compare(const uint8_t* a, const uint8_t* b, int length, bool ignoreCase) const {
  length = std::min(length, KeyLength_);
  if (Collation_ == nullptr) {
    int r = CompareBytes(a, b, length);
    return Descending_ ? -r : r;
  }
  int pos = 0;
  for (const TKeyPart& part : Parts_) {
    if (pos >= length) return 0;
    int remaining = length - pos;
    int r;
    if (part.Type == FIELD_STRING) {
      r = CompareBytes(a + pos, b + pos, 1);
      // Text: at most Length characters, never past `length`; none left compares equal
      // (a count of 0 would mean "to the NUL" to the collation).
      int n = std::min(part.Length, remaining - 1);
      if (r == 0 && n > 0)
        r = Collation_->Compare(reinterpret_cast<const char*>(a + pos + 1),
                                reinterpret_cast<const char*>(b + pos + 1), size_t(n), ignoreCase);
    } else {
      r = CompareBytes(a + pos, b + pos, std::min(part.Length + 1, remaining));
    }
    if (r != 0) return Descending_ || part.Descending ? -r : r;
    pos += part.Length + 1;
  }
  int r = CompareBytes(a + pos, b + pos, length - pos);
  return Descending_ ? -r : r;
}

void TKeyLayout::FillLow(uint8_t* key, int from) const {
  FillKey(Parts_, Collation_, Descending_, KeyLength_, key, from, false);
}

void TKeyLayout::FillHigh(uint8_t* key, int from) const {
  FillKey(Parts_, Collation_, Descending_, KeyLength_, key, from, true);
}

// Presence bytes 0 / 1 as the index stores "null" / "present", except in parts whose order
// runs against their bytes (see ReversedPart): there the fill's byte stays, since 0 or 1
// would not be an end of that part's order (inverted presence bytes are 0xFE and 0xFF).
void TKeyLayout::LowestKey(uint8_t* key) const { FillLow(key, 0); }

void TKeyLayout::HighestKey(uint8_t* key) const {
  FillHigh(key, 0);
  for (const TKeyPart& part : Parts_)
    if (!ReversedPart(part, Descending_)) key[part.KeyOffset] = 1;
}

// ---- Single values ----------------------------------------------------------------------

void EncodeInt16Key(int16_t value, uint8_t* out) { EncodeUInt16Key(uint16_t(value) ^ 0x8000u, out); }

void EncodeInt32Key(int32_t value, uint8_t* out) {
  uint32_t u = uint32_t(value) ^ 0x80000000u;
  for (int i = 0; i < 4; ++i) out[i] = uint8_t(u >> (24 - 8 * i));
}

void EncodeInt64Key(int64_t value, uint8_t* out) {
  uint64_t u = uint64_t(value) ^ (uint64_t(1) << 63);
  for (int i = 0; i < 8; ++i) out[i] = uint8_t(u >> (56 - 8 * i));
}

void EncodeUInt16Key(uint16_t value, uint8_t* out) {
  out[0] = uint8_t(value >> 8);
  out[1] = uint8_t(value);
}

// -0.0 keys as +0.0 (the two compare equal as values, so they must as keys). A NaN follows
// its sign bit: above +infinity when clear, below -infinity when set, so that it never
// lands among the finite values.
void EncodeDoubleKey(double value, uint8_t* out) {
  uint64_t bits = 0;
  if (value != 0) std::memcpy(&bits, &value, sizeof bits);
  if (bits >> 63)
    bits = ~bits;
  else
    bits |= uint64_t(1) << 63;
  for (int i = 0; i < 8; ++i) out[i] = uint8_t(bits >> (56 - 8 * i));
}

int32_t DecodeInt32Key(const uint8_t* key) {
  uint32_t u = (uint32_t(key[0]) << 24) | (uint32_t(key[1]) << 16) | (uint32_t(key[2]) << 8) |
               uint32_t(key[3]);
  return int32_t(u ^ 0x80000000u);
}

}  // namespace veldor
