// Field types, the 768-byte field descriptor, record layout and value encodings.
//
// Owns the type and subtype codes, the stored form of a field definition, the layout of a
// record image (9-byte prefix, then per stored field one null-flag byte and its slot), and
// how each value is written into and read from its slot. It does not own collation: the
// case rule of string fields maps through the table's collation. Descriptor byte table:
//
//   offset width  meaning
//   0      2      field number, 1-based (field i of a table carries number i)
//   2      31     field name: length byte + up to 30 characters
//   33     51     description: length byte + up to 50 characters
//   84     1      type code                 85  1  subtype code
//   86     1      declared size (string length, bytes size; at most 250; else 0)
//   87     1      declared scale (BCD decimal places; else 0)
//   88     1      slot size (computed)      89  1  copy of the scale (computed)
//   90     2      offset of the null flag in the record image (computed)
//   92     1      required (NOT NULL)       93  1  character case: 0 none, 1 lower, 2 upper
//   94     51     minimum value text        145 51 maximum value text
//   196    51     default value text        247 1  calculated (result sets only)
//   248    520    zero in stored tables; result sets keep working data here
//
// All functions work on caller-owned bytes and are safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veldor {

// ---- Type and subtype codes --------------------------------------------------------------

inline constexpr uint8_t FIELD_STRING = 1;
inline constexpr uint8_t FIELD_DATE = 2;
inline constexpr uint8_t FIELD_BLOB = 3;
inline constexpr uint8_t FIELD_BOOLEAN = 4;
inline constexpr uint8_t FIELD_SMALLINT = 5;
inline constexpr uint8_t FIELD_INTEGER = 6;
inline constexpr uint8_t FIELD_FLOAT = 7;
inline constexpr uint8_t FIELD_BCD = 8;
inline constexpr uint8_t FIELD_BYTES = 9;
inline constexpr uint8_t FIELD_TIME = 10;
inline constexpr uint8_t FIELD_TIMESTAMP = 11;
inline constexpr uint8_t FIELD_WORD = 12;
inline constexpr uint8_t FIELD_LONGWORD = 13;
inline constexpr uint8_t FIELD_EXTENDED = 14;
inline constexpr uint8_t FIELD_VARBYTES = 15;
inline constexpr uint8_t FIELD_LARGEINT = 18;
// Highest type code a descriptor may carry (16, 17 and 19 to 23 have no size rule).
inline constexpr uint8_t kMaxFieldType = 23;

inline constexpr uint8_t SUBTYPE_MONEY = 21;
inline constexpr uint8_t SUBTYPE_MEMO = 22;
inline constexpr uint8_t SUBTYPE_BINARY = 23;
inline constexpr uint8_t SUBTYPE_FMTMEMO = 24;
inline constexpr uint8_t SUBTYPE_OLE = 25;
inline constexpr uint8_t SUBTYPE_GRAPHIC = 26;
inline constexpr uint8_t SUBTYPE_DBOLE = 27;
inline constexpr uint8_t SUBTYPE_TYPEDBINARY = 28;
inline constexpr uint8_t SUBTYPE_AUTOINC = 29;
inline constexpr uint8_t SUBTYPE_FIXED = 31;
inline constexpr uint8_t SUBTYPE_UNICODE = 32;

inline constexpr uint8_t CHARCASE_NOCHANGE = 0;
inline constexpr uint8_t CHARCASE_LOWER = 1;
inline constexpr uint8_t CHARCASE_UPPER = 2;

// ---- Sizes -------------------------------------------------------------------------------

inline constexpr size_t kFieldDescriptorSize = 768;
inline constexpr int kMaxFieldNameLength = 30;
inline constexpr int kMaxFieldDescriptionLength = 50;
inline constexpr int kMaxValueTextLength = 50;
inline constexpr int kMaxDeclaredSize = 250;
inline constexpr int kMaxBCDScale = 32;
inline constexpr int kBCDSize = 34;
inline constexpr int kBCDKeyLength = 8;
inline constexpr int kMaxFieldCount = 1024;
inline constexpr uint32_t kMaxRecordSize = 65535;

// Record prefix: deleted flag, own record number (or free-chain link), row identifier.
inline constexpr size_t kRecordPrefixSize = 9;
inline constexpr size_t kRecordDeletedOffset = 0;
inline constexpr size_t kRecordNumberOffset = 1;
inline constexpr size_t kRowIdOffset = 5;

// ---- The field descriptor ----------------------------------------------------------------

// One field definition in its stored 768-byte form. Accessors read and write the bytes in
// place, so a descriptor read from a file is handed on unchanged except where it is set.
// String accessors never read past their area, whatever the length byte says.
class TFieldDescriptor {
 public:
  TFieldDescriptor() { Bytes.fill(0); }
  static TFieldDescriptor FromBytes(const uint8_t* bytes);
  void ToBytes(uint8_t* bytes) const;

  uint16_t FieldNumber() const;
  void SetFieldNumber(uint16_t number);
  std::string FieldName() const;
  void SetFieldName(std::string_view name);  // cut to 30 characters
  std::string Description() const;
  void SetDescription(std::string_view text);  // cut to 50 characters
  uint8_t FieldType() const { return Bytes[84]; }
  void SetFieldType(uint8_t type) { Bytes[84] = type; }
  uint8_t SubType() const { return Bytes[85]; }
  void SetSubType(uint8_t subType) { Bytes[85] = subType; }
  uint8_t DeclaredSize() const { return Bytes[86]; }
  void SetDeclaredSize(uint8_t size) { Bytes[86] = size; }
  uint8_t DeclaredScale() const { return Bytes[87]; }
  void SetDeclaredScale(uint8_t scale) { Bytes[87] = scale; }
  uint8_t SlotSize() const { return Bytes[88]; }
  void SetSlotSize(uint8_t size) { Bytes[88] = size; }
  uint8_t ScaleCopy() const { return Bytes[89]; }
  void SetScaleCopy(uint8_t scale) { Bytes[89] = scale; }
  uint16_t Offset() const;
  void SetOffset(uint16_t offset);
  bool Required() const { return Bytes[92] != 0; }
  void SetRequired(bool required) { Bytes[92] = required ? 1 : 0; }
  uint8_t CharCase() const { return Bytes[93]; }
  void SetCharCase(uint8_t rule) { Bytes[93] = rule; }
  std::string MinValue() const;
  void SetMinValue(std::string_view text);  // cut to 50 characters
  std::string MaxValue() const;
  void SetMaxValue(std::string_view text);
  std::string DefaultValue() const;
  void SetDefaultValue(std::string_view text);
  bool Calculated() const { return Bytes[247] != 0; }
  void SetCalculated(bool calculated) { Bytes[247] = calculated ? 1 : 0; }

  // An auto-increment field (integer with the auto-increment subtype) reads and writes the
  // row identifier at offset 5 and has no slot of its own.
  bool IsAutoInc() const { return FieldType() == FIELD_INTEGER && SubType() == SUBTYPE_AUTOINC; }
  // True when the field has a null flag and a slot in the record image.
  bool IsStored() const { return !IsAutoInc() && !Calculated(); }

  std::array<uint8_t, kFieldDescriptorSize> Bytes;
};

// Byte offsets of the length-prefixed strings and their capacities (characters).
struct TDescriptorString {
  size_t Offset;
  int Capacity;
};
inline constexpr TDescriptorString kFieldNameArea{2, kMaxFieldNameLength};
inline constexpr TDescriptorString kDescriptionArea{33, kMaxFieldDescriptionLength};
inline constexpr TDescriptorString kMinValueArea{94, kMaxValueTextLength};
inline constexpr TDescriptorString kMaxValueArea{145, kMaxValueTextLength};
inline constexpr TDescriptorString kDefaultValueArea{196, kMaxValueTextLength};

// ---- Layout ------------------------------------------------------------------------------

// Slot size of a type: the table of fixed sizes, the declared size + 1 for strings, the
// declared size for bytes, variable bytes and the types without a size rule.
uint8_t SlotSizeOf(uint8_t type, uint8_t declaredSize);
// Sets slot size and scale copy from type, declared size and declared scale.
void ComputeFieldSize(TFieldDescriptor& field);
// Assigns offsets in field order (5 for auto-increment fields, the running offset from 9
// for stored fields, 0 for calculated ones) and returns the record size, which may exceed
// 65535: callers refuse that with VELDOR_RECTOOBIG (see CheckRecordSize).
uint32_t LayoutFields(std::vector<TFieldDescriptor>& fields);
// 9 + the sum of (slot size + 1) over the stored fields.
uint32_t RecordSizeOf(const std::vector<TFieldDescriptor>& fields);
// Raises VELDOR_RECTOOBIG naming the table when the size does not fit 16 bits.
void CheckRecordSize(uint32_t recordSize, const std::string& tableName);
// Length of a field's part of an index key: the slot size, 8 for BCD.
int KeyLengthOf(const TFieldDescriptor& field);

// ---- Validation --------------------------------------------------------------------------

// True for A-Z, a-z, "_" and bytes 129 to 254: the characters a name may start with.
bool IsIdentifierStart(uint8_t c);
// True when `text` (not empty) is a valid minimum, maximum or default of a field of
// `type`: a literal of the type, or for date, time and timestamp fields also
// CURRENT_DATE, CURRENT_TIME or CURRENT_TIMESTAMP (any case). BLOB fields take no value
// texts; bytes fields take any text.
bool IsValidValueText(uint8_t type, std::string_view text);

// Checks the descriptors read from a table's header: every rule that a stored table must
// satisfy (names, numbers i = 1..n, types, sizes, value texts, scales, offsets exactly as
// the layout gives them). Recomputes slot sizes and scale copies in place. Raises
// VELDOR_HEADERCORRUPT naming the table on the first failure; returns the record size.
uint32_t VerifyStoredFields(std::vector<TFieldDescriptor>& fields, const std::string& tableName);

// Validates and normalises the definitions a caller gives to create or restructure a
// table: names trimmed and cut to 30 characters; declared size set to 0 for types without
// one, scale to 0 unless BCD; slot sizes computed; calculated flags cleared; offsets
// assigned. Field numbers identify fields here and need only be unique. Raises, naming the
// field: VELDOR_INVALIDFIELDNAME (empty, bad first character, duplicate without regard to
// case), VELDOR_INVALIDFLDTYPE (duplicate number, type 0 or unknown, declared size over
// 250, BCD scale over 32), VELDOR_INVALIDVCHKSTRUCT (a minimum, maximum or default text
// that is not a valid value). Returns the record size (not checked against 65535).
uint32_t PrepareFieldDefinitions(std::vector<TFieldDescriptor>& fields,
                                 const std::string& tableName);

// ---- Values in a record image ------------------------------------------------------------

class TCollation;

// The table a value is stored into: its collation decides the case mapping of strings
// (none given: the collation of language 0, US-English rules).
struct TValueContext {
  const TCollation* Collation = nullptr;
};

// Copies the field's value into `buffer` (zero-filled first; the slot size, 4 bytes for a
// BLOB reference or an auto-increment field) and returns true when the field is null. An
// auto-increment field reads the row identifier and is never null.
bool GetFieldValue(const uint8_t* record, const TFieldDescriptor& field, void* buffer);
// Writes a value into the field's slot. `value` == nullptr clears the field (flag 0, slot
// zero; an auto-increment field is left alone). Strings are read up to their first NUL and
// at most the declared length, trailing blanks removed, the case rule applied, and stored
// as null when empty; a boolean is normalised to 0 or 1; a BLOB takes a 4-byte reference
// (present when not 0; the identifier bytes stay); an auto-increment field writes the row
// identifier; other types copy the slot size in bytes. Calculated fields are written only
// when `forceCalculated` is set (they have no slot in stored images).
void PutFieldValue(uint8_t* record, const TFieldDescriptor& field, const void* value,
                   const TValueContext& context = {}, bool forceCalculated = false);
// The null flag of a stored field (false for null).
bool FieldPresent(const uint8_t* record, const TFieldDescriptor& field);
void SetFieldPresent(uint8_t* record, const TFieldDescriptor& field, bool present);

// What in the stored form of `field` in a record image no writer of this encoding
// produces, in a few words ("null flag 7", "a day number of 2147483647"), or "" when
// nothing: a null flag other than 0 and 1; a null field whose slot holds bytes; a string
// that is empty yet present, or lacks its terminating zero within the slot, or has bytes
// after it; a boolean other than 0 and 1; a day number outside the years 1 to 9999; a
// time outside 0 to 86399999; a timestamp that is not a finite moment of those days (day
// 0 included, which a time alone gives); a packed decimal that does not read. Auto-
// increment and calculated fields store nothing of their own; the slot of a BLOB field is
// the BLOB file's to check (only its flag is looked at here).
std::string StoredValueProblem(const uint8_t* record, const TFieldDescriptor& field);

// ---- Packed decimals ---------------------------------------------------------------------

// A 34-byte packed decimal: precision (0 = zero), sign bit 7 + scale bits 0..5, digits two
// per byte, the first in the high half of byte 2. The engine computes with it as a 64-bit
// amount with four decimals ("currency").
using TBCD = std::array<uint8_t, kBCDSize>;

// Converts to currency; decimals beyond four are rounded half away from zero. False when
// the bytes are malformed (a digit nibble above 9, precision above 64 or scale above
// precision) or the value leaves the 64-bit range.
bool BCDToCurrency(const uint8_t* bcd, int64_t& amount);
// Writes `amount` with precision 32 and `scale` decimals (0..32); decimals beyond four are
// zero, and with fewer than four the amount is rounded half away from zero. False when
// the integer digits do not fit in 32 - scale digits.
bool CurrencyToBCD(int64_t amount, int scale, uint8_t* bcd);

}  // namespace veldor
