#include "engine/table_header.h"
#include "lib/name_text.h"

#include <algorithm>
#include <cstring>

#include "engine/errors.h"
#include "lib/byte_order.h"
#include "lib/collation.h"
#include "lib/date_time.h"

namespace veldor {
namespace {

// The fixed seed pairs: table data, and the header's description and password.
constexpr uint8_t kDataSeed1 = 0x5A, kDataSeed2 = 0xC3;
constexpr uint8_t kTextSeed1 = 0x2D, kTextSeed2 = 0x97;

void Scramble(uint8_t* block, size_t length, uint8_t seed1, uint8_t seed2) {
  for (size_t i = 0; i < length; ++i)
    block[i] ^= uint8_t(seed1 + i) ^ uint8_t(seed2 - i);
}

constexpr size_t kDescriptionOffset = 35;
constexpr size_t kPasswordOffset = 87;

std::string ReadText(const std::array<uint8_t, kDataHeaderSize>& bytes, size_t offset,
                     int capacity, bool scrambled) {
  std::string text = LoadShortString(&bytes[offset], capacity);
  if (scrambled) ScrambleHeaderText(reinterpret_cast<uint8_t*>(text.data()), text.size());
  return text;
}

void WriteText(std::array<uint8_t, kDataHeaderSize>& bytes, size_t offset, int capacity,
               std::string_view text, bool scrambled) {
  StoreShortString(&bytes[offset], capacity, text);
  if (scrambled) ScrambleHeaderText(&bytes[offset + 1], bytes[offset]);
}

}  // namespace

void TDataHeader::SetChangeCounter(int32_t value) { StoreI32(&Bytes[0], value); }
uint32_t TDataHeader::BlobBlockSizeField() const { return LoadU32(&Bytes[4]); }
uint32_t TDataHeader::BlobBlockSize() const {
  uint32_t size = LoadU32(&Bytes[4]);
  return size == 0 ? kDefaultBlobBlockSize : size;
}
void TDataHeader::SetBlobBlockSize(uint32_t size) { StoreU32(&Bytes[4], size); }
int32_t TDataHeader::FirstDeleted() const { return LoadI32(&Bytes[9]); }
void TDataHeader::SetFirstDeleted(int32_t record) { StoreI32(&Bytes[9], record); }
int32_t TDataHeader::NextRecordNumber() const { return LoadI32(&Bytes[13]); }
void TDataHeader::SetNextRecordNumber(int32_t record) { StoreI32(&Bytes[13], record); }
int32_t TDataHeader::LastAutoInc() const { return LoadI32(&Bytes[17]); }
void TDataHeader::SetLastAutoInc(int32_t value) { StoreI32(&Bytes[17], value); }
uint16_t TDataHeader::RecordSize() const { return LoadU16(&Bytes[21]); }
void TDataHeader::SetRecordSize(uint16_t size) { StoreU16(&Bytes[21], size); }
uint16_t TDataHeader::FieldCount() const { return LoadU16(&Bytes[23]); }
void TDataHeader::SetFieldCount(uint16_t count) { StoreU16(&Bytes[23], count); }
int16_t TDataHeader::BlobFieldCount() const { return LoadI16(&Bytes[25]); }
void TDataHeader::SetBlobFieldCount(int16_t count) { StoreI16(&Bytes[25], count); }
double TDataHeader::LastWriteTime() const { return LoadDouble(&Bytes[27]); }
void TDataHeader::SetLastWriteTime(double time) { StoreDouble(&Bytes[27], time); }
int16_t TDataHeader::Language() const { return LoadI16(&Bytes[103]); }
void TDataHeader::SetLanguage(int16_t language) { StoreI16(&Bytes[103], language); }
uint16_t TDataHeader::SortId() const { return LoadU16(&Bytes[105]); }
void TDataHeader::SetSortId(uint16_t sort) { StoreU16(&Bytes[105], sort); }
int16_t TDataHeader::UserMajorVersion() const { return LoadI16(&Bytes[107]); }
void TDataHeader::SetUserMajorVersion(int16_t version) { StoreI16(&Bytes[107], version); }
int16_t TDataHeader::UserMinorVersion() const { return LoadI16(&Bytes[109]); }
void TDataHeader::SetUserMinorVersion(int16_t version) { StoreI16(&Bytes[109], version); }
int32_t TDataHeader::LastBlobId() const { return LoadI32(&Bytes[112]); }
void TDataHeader::SetLastBlobId(int32_t id) { StoreI32(&Bytes[112], id); }
uint32_t TDataHeader::EngineVersion() const { return LoadU32(&Bytes[116]); }

std::string TDataHeader::Description() const {
  return ReadText(Bytes, kDescriptionOffset, kMaxDescriptionLength, Encrypted());
}
std::string TDataHeader::Password() const {
  return ReadText(Bytes, kPasswordOffset, kMaxPasswordLength, Encrypted());
}
void TDataHeader::SetDescription(std::string_view text) {
  WriteText(Bytes, kDescriptionOffset, kMaxDescriptionLength, text, Encrypted());
}
void TDataHeader::SetPassword(std::string_view text) {
  WriteText(Bytes, kPasswordOffset, kMaxPasswordLength, Encrypted() ? text : "", Encrypted());
}

void TDataHeader::PrepareForWrite() {
  SetChangeCounter(int32_t(uint32_t(ChangeCounter()) + 1));
  StoreU32(&Bytes[116], kEngineVersion);
  StoreU32(&Bytes[120], 0);
  double now = CurrentTimestamp();
  SetLastWriteTime(double(TimestampDate(now) - kDayNumber18991230) +
                   double(TimestampTime(now)) / kMillisecondsPerDay);
}

void ScrambleTableData(uint8_t* block, size_t length) {
  Scramble(block, length, kDataSeed1, kDataSeed2);
}

void ScrambleHeaderText(uint8_t* characters, size_t length) {
  Scramble(characters, length, kTextSeed1, kTextSeed2);
}

std::string TableFileName(const std::string& directory, const std::string& tableName,
                          const char* extension) {
  std::string base = tableName.find('/') != std::string::npos ? tableName : directory + tableName;
  if (EndsWithIgnoreCase(base, kDataExtension)) base.resize(base.size() - std::strlen(kDataExtension));
  return base + extension;
}

void VerifyDataHeader(const TDataHeader& header, std::vector<TFieldDescriptor>& fields,
                      uint64_t fileSize, const std::string& tableName) {
  if (header.FormatVersion() != kFormatVersion) RaiseTableError(VELDOR_OLDVERSION, tableName);
  uint16_t language = uint16_t(header.Language());
  if (language != 0 && !LocaleInstalled(language, header.SortId()))
    RaiseTableError(VELDOR_CANNOTLOADLDDRV, tableName);
  auto corrupt = [&] { RaiseTableError(VELDOR_HEADERCORRUPT, tableName); };
  if (header.FieldCount() > kMaxFieldCount || header.FieldCount() != fields.size()) corrupt();
  uint32_t recordSize = VerifyStoredFields(fields, tableName);
  if (recordSize != header.RecordSize()) corrupt();
  int blobFields = 0;
  for (const TFieldDescriptor& f : fields) blobFields += f.FieldType() == FIELD_BLOB;
  if (blobFields != header.BlobFieldCount()) corrupt();
  uint64_t start = RecordsOffset(header.FieldCount());
  uint64_t slots = 0;
  if (fileSize > start) {
    if ((fileSize - start) % recordSize != 0) corrupt();
    slots = (fileSize - start) / recordSize;
  }
  if (int64_t(slots) + 1 != int64_t(header.NextRecordNumber())) corrupt();
  if (header.FirstDeleted() < 0 || uint64_t(header.FirstDeleted()) > slots) corrupt();
}

}  // namespace veldor
