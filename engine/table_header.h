// The data file header, table scrambling and the names of a table's files.
//
// The first 127 bytes of a table's ".DAT" file hold the table-wide settings; the field
// descriptors follow at offset 127. Byte table (little-endian):
//
//   offset width  meaning
//   0      4      change counter, advanced by every header write; 0 after emptying
//   4      4      BLOB block size (0 means 512)
//   8      1      format version: 5
//   9      4      first deleted record (head of the free chain), 0 = none
//   13     4      next record number (record slots + 1)
//   17     4      last auto-increment value (last row identifier handed out)
//   21     2      record size            23  2  number of fields (at most 1024)
//   25     2      number of BLOB fields (at most 64)
//   27     8      last header write: local time as days since 1899-12-30, a double
//   35     51     description: length byte + 50 characters, scrambled when encrypted
//   86     1      encrypted flag
//   87     16     password: length byte + 15 characters, scrambled; empty when plain
//   103    2      language identifier      105 2  sort identifier
//   107    2      user major version       109 2  user minor version
//   111    1      header-changed marker of the writer (no meaning when read)
//   112    4      last BLOB identifier     116 4  engine version x 10000 (30300)
//   120    7      zero
//
// Pure functions and a value type; safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "lib/byte_order.h"

#include "engine/field_types.h"

namespace veldor {

inline constexpr size_t kDataHeaderSize = 127;
inline constexpr uint8_t kFormatVersion = 5;
inline constexpr uint32_t kEngineVersion = 30300;
inline constexpr uint32_t kDefaultBlobBlockSize = 512;
inline constexpr int kMaxBlobFields = 64;
inline constexpr int kMaxDescriptionLength = 50;
inline constexpr int kMaxPasswordLength = 15;

class TDataHeader {
 public:
  TDataHeader() { Bytes.fill(0); }

  int32_t ChangeCounter() const { return LoadI32(&Bytes[0]); }
  void SetChangeCounter(int32_t value);
  uint32_t BlobBlockSizeField() const;  // as stored (0 means 512)
  uint32_t BlobBlockSize() const;       // 512 when stored as 0
  void SetBlobBlockSize(uint32_t size);
  uint8_t FormatVersion() const { return Bytes[8]; }
  void SetFormatVersion(uint8_t version) { Bytes[8] = version; }
  int32_t FirstDeleted() const;
  void SetFirstDeleted(int32_t record);
  int32_t NextRecordNumber() const;
  void SetNextRecordNumber(int32_t record);
  int32_t LastAutoInc() const;
  void SetLastAutoInc(int32_t value);
  uint16_t RecordSize() const;
  void SetRecordSize(uint16_t size);
  uint16_t FieldCount() const;
  void SetFieldCount(uint16_t count);
  int16_t BlobFieldCount() const;
  void SetBlobFieldCount(int16_t count);
  double LastWriteTime() const;
  void SetLastWriteTime(double time);
  bool Encrypted() const { return Bytes[86] != 0; }
  void SetEncrypted(bool encrypted) { Bytes[86] = encrypted ? 1 : 0; }
  int16_t Language() const;
  void SetLanguage(int16_t language);
  uint16_t SortId() const;
  void SetSortId(uint16_t sort);
  int16_t UserMajorVersion() const;
  void SetUserMajorVersion(int16_t version);
  int16_t UserMinorVersion() const;
  void SetUserMinorVersion(int16_t version);
  int32_t LastBlobId() const;
  void SetLastBlobId(int32_t id);
  uint32_t EngineVersion() const;

  // Description and password in clear text (unscrambled when the table is encrypted).
  std::string Description() const;
  std::string Password() const;
  // Store the texts, cut to 50 and 15 characters, scrambled when the table is encrypted;
  // a plain table keeps an empty password whatever is given.
  void SetDescription(std::string_view text);
  void SetPassword(std::string_view text);

  // What every header write does before the bytes go out: change counter + 1, engine
  // version 30300, bytes 120 to 123 zero, last-write time now.
  void PrepareForWrite();

  std::array<uint8_t, kDataHeaderSize> Bytes;
};

// Scrambling of an encrypted table's contents: byte i of a block is XORed with
// (first seed + i) and (second seed - i), modulo 256. Its own inverse. Table data (records,
// descriptor block, index pages and header, BLOB blocks and header) use one seed pair; the
// header's description and password characters the other.
void ScrambleTableData(uint8_t* block, size_t length);
void ScrambleHeaderText(uint8_t* characters, size_t length);

// The file of a table: `directory` (ending in "/", or empty) + `tableName`, its ".DAT"
// ending (any case) replaced by `extension`, otherwise `extension` appended. A name that
// holds a directory part ("/") is used without `directory`.
std::string TableFileName(const std::string& directory, const std::string& tableName,
                          const char* extension);

inline constexpr const char* kDataExtension = ".DAT";
inline constexpr const char* kIndexExtension = ".IDX";
inline constexpr const char* kBlobExtension = ".BLB";
inline constexpr const char* kDataBackupExtension = ".DBK";
inline constexpr const char* kIndexBackupExtension = ".IBK";
inline constexpr const char* kBlobBackupExtension = ".BBK";

// Offset of record slot 1: the header and the field descriptors.
inline uint64_t RecordsOffset(uint16_t fieldCount) {
  return kDataHeaderSize + uint64_t(kFieldDescriptorSize) * fieldCount;
}

// The checks a table's header passes when it is opened, in order: format version 5
// (VELDOR_OLDVERSION), an installed collation (VELDOR_CANNOTLOADLDDRV), at most 1024
// fields and the descriptor checks, the record size equal to the fields' layout and the
// BLOB field count equal to the number of BLOB fields, and the file size consistent with
// the next record number and the free chain head (all VELDOR_HEADERCORRUPT). `fields` gets
// its computed sizes; `fileSize` is the data file's size in bytes.
void VerifyDataHeader(const TDataHeader& header, std::vector<TFieldDescriptor>& fields,
                      uint64_t fileSize, const std::string& tableName);

}  // namespace veldor
