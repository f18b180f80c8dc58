// The index file's stored formats: the 4096-byte header with its 33 descriptor slots, the
// 120-byte index descriptor, and the 13-byte page header.
//
// Index file header (little-endian; one scrambled block in encrypted tables):
//
//   offset width      meaning
//   0      4          change counter, advanced by every header write
//   4      4          0
//   8      1          format version: 5
//   9      4          next page number (pages + 1)
//   13     1          number of secondary indexes (0 to 30)
//   14     33 x 120   descriptor slots: 0 primary, 1..n secondary, 31 "Sys Deleted", 32 unused
//   3974   4          number of live (not deleted) records
//   3978   1          no-user-primary flag: records kept in record order, slots never reused
//   3979   1          header-changed marker of the writer (no meaning when read)
//   3980   116        0
//
// Index descriptor (also what callers pass to define an index):
//
//   offset width  meaning
//   0      31     name: length byte + up to 30 characters; empty for the primary index
//   31     2      key length K (computed); 0 marks an unused primary slot
//   33     1      descending (whole index)     34  1  case-insensitive (NOCASE)
//   35     1      unique                        36  1  compression: 0 NONE 1 DUPBYTE
//                                                        2 TRAILBYTE 3 FULL
//   37     1      number of key fields (0 to 16)
//   38     16     per-field descending flags
//   54     32     field numbers of the key fields, 16 x 16-bit, unused 0
//   86     4      root page (0 = empty index)   90  4  head of the index's free page chain
//   94     26     0
//
// Page n (n >= 1) is 4096 bytes at 4096 x n: a 13-byte header, then the packed entries.
//
//   offset width  meaning
//   0      1      type: 0 root of several levels, 1 internal, 2 leaf, 3 root and only leaf
//   1      2      number of entries (0 in a free page)
//   3      4      previous page on the level     7  4  next page (free page: next free)
//   11     2      packed size of a compressed leaf's entries, else 0
//
// Value types over caller-owned bytes; safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "lib/byte_order.h"

namespace veldor {

inline constexpr size_t kIndexHeaderSize = 4096;
inline constexpr size_t kIndexDescriptorSize = 120;
inline constexpr size_t kPageSize = 4096;
inline constexpr size_t kPageHeaderSize = 13;
inline constexpr size_t kPageDataSize = kPageSize - kPageHeaderSize;  // 4083
inline constexpr int kMaxSecondaryIndexes = 30;
inline constexpr int kMaxIndexFields = 16;
inline constexpr int kMaxKeyPartSum = 522;
inline constexpr int kRowIdKeyLength = 4;
inline constexpr int kMaxKeyLength = kMaxKeyPartSum + kRowIdKeyLength;
inline constexpr int kPrimaryIndex = 0;
inline constexpr int kSysDeletedIndex = 31;
inline constexpr int kDescriptorSlots = 33;
inline constexpr int kMaxPathLevels = 64;
inline constexpr int32_t kMaxPages = 2000000000;
inline constexpr uint64_t kMaxIndexFileEnd = 4000000000ull;
inline constexpr const char* kSysDeletedName = "Sys Deleted";

enum TKeyCompression : uint8_t {
  COMPRESS_NONE = 0,
  COMPRESS_DUPBYTE = 1,
  COMPRESS_TRAILBYTE = 2,
  COMPRESS_FULL = 3,
};

enum TPageType : uint8_t {
  PAGE_ROOT = 0,
  PAGE_INTERNAL = 1,
  PAGE_LEAF = 2,
  PAGE_ROOT_LEAF = 3,
};

class TIndexDescriptor {
 public:
  TIndexDescriptor() { Bytes.fill(0); }
  static TIndexDescriptor FromBytes(const uint8_t* bytes);
  void ToBytes(uint8_t* bytes) const;

  std::string Name() const;
  void SetName(std::string_view name);  // cut to 30 characters
  int16_t KeyLength() const;
  void SetKeyLength(int16_t length);
  bool Descending() const { return Bytes[33] != 0; }
  void SetDescending(bool value) { Bytes[33] = value ? 1 : 0; }
  bool CaseInsensitive() const { return Bytes[34] != 0; }
  void SetCaseInsensitive(bool value) { Bytes[34] = value ? 1 : 0; }
  bool Unique() const { return Bytes[35] != 0; }
  void SetUnique(bool value) { Bytes[35] = value ? 1 : 0; }
  uint8_t Compression() const { return Bytes[36]; }
  void SetCompression(uint8_t mode) { Bytes[36] = mode; }
  uint8_t FieldCount() const { return Bytes[37]; }
  void SetFieldCount(uint8_t count) { Bytes[37] = count; }
  bool FieldDescending(int position) const { return Bytes[38 + position] != 0; }
  void SetFieldDescending(int position, bool value) { Bytes[38 + position] = value ? 1 : 0; }
  uint16_t FieldNumber(int position) const;
  void SetFieldNumber(int position, uint16_t number);
  int32_t RootPage() const;
  void SetRootPage(int32_t page);
  int32_t FreePage() const;
  void SetFreePage(int32_t page);
  // Clears the page bookkeeping (root and free chain).
  void ClearPages() {
    SetRootPage(0);
    SetFreePage(0);
  }

  std::array<uint8_t, kIndexDescriptorSize> Bytes;
};

class TIndexHeader {
 public:
  TIndexHeader() { Bytes.fill(0); }

  int32_t ChangeCounter() const { return LoadI32(&Bytes[0]); }
  void SetChangeCounter(int32_t value);
  uint8_t FormatVersion() const { return Bytes[8]; }
  void SetFormatVersion(uint8_t version) { Bytes[8] = version; }
  int32_t NextPageNumber() const;
  void SetNextPageNumber(int32_t page);
  uint8_t SecondaryCount() const { return Bytes[13]; }
  void SetSecondaryCount(uint8_t count) { Bytes[13] = count; }
  TIndexDescriptor Descriptor(int slot) const;
  void SetDescriptor(int slot, const TIndexDescriptor& descriptor);
  int32_t ActiveRecords() const;
  void SetActiveRecords(int32_t count);
  bool NoUserPrimary() const { return Bytes[3978] != 0; }
  void SetNoUserPrimary(bool value) { Bytes[3978] = value ? 1 : 0; }
  // Change counter + 1 and the reserved bytes cleared, before a write.
  void PrepareForWrite();

  std::array<uint8_t, kIndexHeaderSize> Bytes;
};

}  // namespace veldor
