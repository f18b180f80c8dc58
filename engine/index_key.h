// Index keys: how a record becomes the key of an index, and how two keys compare.
//
// A key is, per key field, one presence byte (1 value, 0 null) and the field's key part,
// then for a non-unique index the row identifier (4 bytes big-endian, sign bit inverted).
// Key parts are order-preserving byte forms of the values (strings NUL-padded to the slot
// and upper-cased for NOCASE indexes; integers, dates and times big-endian with the sign
// bit inverted; floats and timestamps in the sortable IEEE form; BCD as a 64-bit amount
// with four decimals); Longword and Extended keep their slot bytes. In a table without a
// language the key order is the unsigned byte order (fields marked descending have their
// bytes inverted when the key is built); with a language, strings compare through the
// collation field by field. `TKeyLayout` is immutable once built and may be shared by any
// number of threads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/field_types.h"
#include "engine/index_format.h"

namespace veldor {

class TCollation;

// One key field's place in the record and in the key.
struct TKeyPart {
  uint16_t FieldNumber = 0;
  uint8_t Type = 0;
  uint16_t RecordOffset = 0;  // offset of the null flag in the record (5 for auto-increment)
  bool AutoInc = false;       // reads the row identifier, never null
  int KeyOffset = 0;          // offset of the presence byte in the key
  int Length = 0;             // key part length without the presence byte
  bool Descending = false;    // this field descending (per-field flag)
};

// The sum of (key part length + 1) over the descriptor's fields, before any row identifier
// suffix; -1 when a field number does not name a field.
int KeyPartSum(const TIndexDescriptor& descriptor, const std::vector<TFieldDescriptor>& fields);

class TKeyLayout {
 public:
  // The layout of a user index (primary or secondary) over the table's fields, with the
  // table's collation. The descriptor's field numbers must name fields (the index file
  // checked them).
  TKeyLayout(const TIndexDescriptor& descriptor, const std::vector<TFieldDescriptor>& fields,
             const TCollation& collation);
  // The "Sys Deleted" layout: the deleted flag byte and the row identifier, byte order.
  static TKeyLayout SysDeleted();

  int KeyLength() const { return KeyLength_; }
  bool Unique() const { return Unique_; }
  bool Descending() const { return Descending_; }
  bool CaseInsensitive() const { return CaseInsensitive_; }
  // True when keys compare through the collation (a language, and not "Sys Deleted").
  bool UsesCollation() const { return Collation_ != nullptr; }
  const std::vector<TKeyPart>& Parts() const { return Parts_; }

  // Writes the key of `record` (KeyLength() bytes) into `key`.
  void BuildKey(const uint8_t* record, uint8_t* key) const;
  // Writes one field's key part (the presence byte and the part) from a slot value;
  // `value` nullptr gives a null part. `value` is in the field's slot encoding (for a BCD
  // field the 34-byte packed decimal). Used to build bounds from constants.
  void EncodeKeyPart(int part, const uint8_t* value, uint8_t* key) const;
  // -1, 0 or 1 over the first `length` bytes, in the index's order. With `ignoreCase`,
  // string text in a table with a language compares without regard to case: the keys that
  // are equal so form one run of the index, within which case decides the order.
  int Compare(const uint8_t* a, const uint8_t* b, int length, bool ignoreCase = false) const;
  int Compare(const uint8_t* a, const uint8_t* b) const { return Compare(a, b, KeyLength_); }
  // Fill the key from byte `from` to its end with the lowest (highest) bytes: 0x00
  // (0xFF), and in a table with a language the collation's lowest (highest) character in
  // the bytes of string fields, so that a partial bound stays below (above) every string.
  void FillLow(uint8_t* key, int from) const;
  void FillHigh(uint8_t* key, int from) const;
  // The lowest key (every presence byte 0) and the highest (every presence byte 1).
  void LowestKey(uint8_t* key) const;
  void HighestKey(uint8_t* key) const;

 private:
  TKeyLayout() = default;

  std::vector<TKeyPart> Parts_;
  int KeyLength_ = 0;
  int PartSum_ = 0;  // bytes of the fields, before the row identifier suffix
  bool Unique_ = true;
  bool Descending_ = false;
  bool CaseInsensitive_ = false;
  bool SysDeleted_ = false;
  const TCollation* Collation_ = nullptr;      // null: byte order
  const TCollation* CaseCollation_ = nullptr;  // upper-casing of NOCASE strings
};

// Key forms of single values (big-endian, order-preserving), shared with filters.
void EncodeInt16Key(int16_t value, uint8_t* out);
void EncodeInt32Key(int32_t value, uint8_t* out);
void EncodeInt64Key(int64_t value, uint8_t* out);
void EncodeUInt16Key(uint16_t value, uint8_t* out);
void EncodeDoubleKey(double value, uint8_t* out);
int32_t DecodeInt32Key(const uint8_t* key);

}  // namespace veldor
