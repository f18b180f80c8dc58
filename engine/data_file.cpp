#include "engine/data_file.h"

#include <algorithm>
#include <cstring>

#include "engine/data_table.h"
#include "engine/errors.h"
#include "lib/byte_order.h"

namespace veldor {
namespace {

// The largest run one write-back write takes; longer runs are split.
constexpr size_t kMaxWriteRunBytes = 256 << 10;
// Records read together when the cursor's next records are not consecutive.
constexpr size_t kMaxScatteredRead = 64;
// Slots at most this many bytes apart are read in one span.
constexpr size_t kScatteredGapBytes = 2048;

// The end of the span that starts at sorted entry `i` of `count` (`at(k)` the record number
// of entry k): slots close together are read as one span, since a read costs more than the
// bytes between, up to `longest` slots.
template <typename At>
size_t SpanEnd(size_t i, size_t count, int32_t gap, int32_t longest, At at) {
  size_t j = i + 1;
  while (j < count && at(j) - at(j - 1) <= gap && at(j) - at(i) < longest) ++j;
  return j;
}

}  // namespace

// ---- TRecord -----------------------------------------------------------------------------

TRecord::TRecord(TDataFile* file) : File_(file) { Resize(file->Header().RecordSize()); }

void TRecord::Resize(uint16_t recordSize) {
  RecordSize_ = recordSize;
  size_t size = std::max<size_t>(recordSize, kRecordPrefixSize);
  if (Data_.capacity() < size) Data_.reserve((size + 15) / 16 * 16);
  Data_.assign(size, 0);
}

void TRecord::Clear(bool newRowId) {
  std::fill(Data_.begin(), Data_.end(), 0);
  Stale_ = false;
  if (newRowId) StoreI32(&Data_[kRowIdOffset], File_->NextRowId());
  StoreI32(&Data_[kRecordNumberOffset], RecordNumber_);
  Modified_ = false;
}

void TRecord::LoadFromImage(uint8_t* image) {
  if (File_->Encrypted()) ScrambleTableData(image, RecordSize_);
  std::memcpy(Data_.data(), image, RecordSize_);
  if (!Deleted()) StoreI32(&Data_[kRecordNumberOffset], RecordNumber_);
  Modified_ = false;
}

void TRecord::StoreToImage(uint8_t* image) {
  std::memcpy(image, Data_.data(), RecordSize_);
  if (File_->Encrypted()) ScrambleTableData(image, RecordSize_);
  Modified_ = false;
}

void TRecord::MarkModified() {
  if (Modified_) return;
  Modified_ = true;
  if (File_ != nullptr) File_->NoteDirty(RecordNumber_);
}

void TRecord::SetDeleted(bool deleted) {
  Data_[kRecordDeletedOffset] = deleted ? 1 : 0;
  MarkModified();
}

int32_t TRecord::FreeLink() const { return LoadI32(&Data_[kRecordNumberOffset]); }

void TRecord::SetFreeLink(int32_t next) {
  StoreI32(&Data_[kRecordNumberOffset], next);
  MarkModified();
}

int32_t TRecord::RowId() const { return LoadI32(&Data_[kRowIdOffset]); }

void TRecord::SetRowId(int32_t rowId) {
  StoreI32(&Data_[kRowIdOffset], rowId);
  MarkModified();
}

void TRecord::SetRecordNumber(int32_t number) {
  RecordNumber_ = number;
  if (!Deleted()) StoreI32(&Data_[kRecordNumberOffset], number);
}

void TRecord::CopyFrom(const TRecord& other) {
  File_ = other.File_;
  RecordNumber_ = other.RecordNumber_;
  Modified_ = false;
  if (other.Modified_) MarkModified();
  std::memcpy(Data_.data(), other.Data_.data(), std::min(Data_.size(), other.Data_.size()));
}

void TRecord::ReplaceFieldData(const TRecord& other) {
  size_t n = std::min(Data_.size(), other.Data_.size());
  if (n > kRecordPrefixSize)
    std::memcpy(&Data_[kRecordPrefixSize], &other.Data_[kRecordPrefixSize], n - kRecordPrefixSize);
  MarkModified();
}

bool TRecord::SameBytes(const TRecord& other) const {
  return RecordSize_ == other.RecordSize_ &&
         std::memcmp(Data_.data(), other.Data_.data(), RecordSize_) == 0;
}

// ---- TRecordStack ------------------------------------------------------------------------

std::unique_ptr<TRecord> TRecordStack::Take() {
  if (Spares_.empty()) return std::make_unique<TRecord>(File_);
  std::unique_ptr<TRecord> record = std::move(Spares_.back());
  Spares_.pop_back();
  record->Resize(File_->Header().RecordSize());
  record->ResetUse();
  record->Modified_ = false;
  record->RecordNumber_ = 0;
  return record;
}

void TRecordStack::GiveBack(std::unique_ptr<TRecord> record) {
  // Beyond a cache's worth the spares go back to the system (see TPageStack).
  if (Spares_.size() >= kMaxSpareRecords) return;
  record->Older_ = record->Newer_ = nullptr;
  Spares_.push_back(std::move(record));
}

// ---- TDataFile: open, create, header ------------------------------------------------------

TDataFile::TDataFile(TDataTable* table) : Table_(table), Spares_(this) {}

TDataFile::~TDataFile() {
  ReturnAllToPool();
}

void TDataFile::Corrupt() const { RaiseTableError(VELDOR_FILECORRUPT, Table_->Name()); }

void TDataFile::SetCapacityForRecordSize() {
  uint16_t size = Header_.RecordSize();
  Capacity_ = NormalCapacity();
  ReadAhead_ = size == 0 ? 1 : std::max<size_t>(kReadAheadBytes / size, 1);
}

void TDataFile::Open() {
  if (IsOpen()) return;
  TFileHandler::Open();
  try {
    ReadHeader();
    uint16_t count = Header_.FieldCount();
    if (count > kMaxFieldCount) RaiseTableError(VELDOR_HEADERCORRUPT, Table_->Name());
    std::vector<uint8_t> block(size_t(count) * kFieldDescriptorSize);
    if (!block.empty()) {
      TFileSection section(*this);
      Seek(0, kDataHeaderSize);
      if (Read(block.data(), block.size(), true) != block.size())
        RaiseTableError(VELDOR_HEADERCORRUPT, Table_->Name());
    }
    if (Encrypted()) ScrambleTableData(block.data(), block.size());
    Fields_.clear();
    for (uint16_t i = 0; i < count; ++i)
      Fields_.push_back(TFieldDescriptor::FromBytes(&block[size_t(i) * kFieldDescriptorSize]));
    DescriptorsChanged_ = false;
    ResetStatistics();
    SetCapacityForRecordSize();
  } catch (...) {
    Close();
    throw;
  }
}

void TDataFile::Close() {
  ReturnAllToPool();
  Fields_.clear();
  TFileHandler::Close();
}

void TDataFile::ReturnAllToPool() {
  for (auto& record : Cache_.TakeAll()) Spares_.GiveBack(std::move(record));
  Dirty_.clear();
}

void TDataFile::CreateTable(int16_t language, uint16_t sort, int16_t userMajor, int16_t userMinor,
                            uint32_t blobBlockSize, const std::vector<TFieldDescriptor>& fields,
                            const std::string& description, const std::string& password,
                            bool encrypted) {
  int blobFields = 0;
  for (const TFieldDescriptor& f : fields) blobFields += f.FieldType() == FIELD_BLOB;
  if (blobFields > kMaxBlobFields) RaiseTableError(VELDOR_BLOBLIMIT, Table_->Name());
  uint32_t recordSize = RecordSizeOf(fields);
  CheckRecordSize(recordSize, Table_->Name());
  if (fields.size() > size_t(kMaxFieldCount)) RaiseTableError(VELDOR_FLDLIMIT, Table_->Name());

  TDataHeader header;
  header.SetLanguage(language);
  header.SetSortId(sort);
  header.SetUserMajorVersion(userMajor);
  header.SetUserMinorVersion(userMinor);
  header.SetEncrypted(encrypted);
  header.SetPassword(password);
  header.SetDescription(description);
  header.SetFieldCount(uint16_t(fields.size()));
  header.SetBlobBlockSize(blobBlockSize);
  header.SetBlobFieldCount(int16_t(blobFields));
  header.SetFormatVersion(kFormatVersion);
  header.SetFirstDeleted(0);
  header.SetNextRecordNumber(1);
  header.SetLastAutoInc(0);
  header.SetRecordSize(uint16_t(recordSize));
  header.SetChangeCounter(0);

  ReturnAllToPool();
  Header_ = header;
  Fields_ = fields;
  HeaderChanged_ = DescriptorsChanged_ = true;
  ResetStatistics();
  SetCapacityForRecordSize();
  TFileHandler::Create();
}

void TDataFile::ReadHeader() {
  TDataHeader header;
  {
    TFileSection section(*this);
    Seek(0, 0);
    if (Read(header.Bytes.data(), kDataHeaderSize, true) != kDataHeaderSize)
      RaiseTableError(VELDOR_HEADERCORRUPT, Table_->Name());
  }
  Header_ = header;
  HeaderChanged_ = false;
}

bool TDataFile::HeaderChangedByOthers() {
  TDataHeader header;
  {
    TFileSection section(*this);
    Seek(0, 0);
    if (Read(header.Bytes.data(), kDataHeaderSize, true) != kDataHeaderSize)
      RaiseTableError(VELDOR_HEADERCORRUPT, Table_->Name());
  }
  if (header.ChangeCounter() == Header_.ChangeCounter()) return false;
  Header_ = header;
  HeaderChanged_ = false;
  return true;
}

void TDataFile::WriteHeader(bool force, bool flush) {
  if (!force && !HeaderChanged_) return;
  Header_.PrepareForWrite();
  {
    TFileSection section(*this);
    Seek(0, 0);
    Write(Header_.Bytes.data(), kDataHeaderSize);
  }
  if (flush || Table_->ForceBufferFlush()) Flush();
  Table_->MarkWritten();
  HeaderChanged_ = false;
}

void TDataFile::MarkHeaderChanged() {
  Header_.SetChangeCounter(int32_t(uint32_t(Header_.ChangeCounter()) + 1));
  HeaderChanged_ = true;
  Table_->MarkWritten();
}

void TDataFile::WriteDescriptors() {
  if (!DescriptorsChanged_) return;
  size_t size = Fields_.size() * kFieldDescriptorSize;
  GrowBuffer(WriteBuffer_, size);
  for (size_t i = 0; i < Fields_.size(); ++i)
    Fields_[i].ToBytes(&WriteBuffer_[i * kFieldDescriptorSize]);
  if (Encrypted()) ScrambleTableData(WriteBuffer_.data(), size);
  if (size > 0) {
    TFileSection section(*this);
    Seek(0, kDataHeaderSize);
    Write(WriteBuffer_.data(), size);
  }
  if (Table_->ForceBufferFlush()) Flush();
  DescriptorsChanged_ = false;
}

void TDataFile::UpdateDescriptor(uint16_t fieldNumber, const TFieldDescriptor& d) {
  if (fieldNumber < 1 || fieldNumber > Fields_.size())
    RaiseEngineError(VELDOR_OUTOFRANGE, "", "", "", Table_->Name(), std::to_string(fieldNumber),
                     "", "");
  TFieldDescriptor& f = Fields_[fieldNumber - 1];
  f.SetFieldNumber(d.FieldNumber());
  f.SetFieldName(d.FieldName());
  f.SetSubType(d.SubType());
  f.SetDescription(d.Description());
  f.SetRequired(d.Required());
  f.SetMinValue(d.MinValue());
  f.SetMaxValue(d.MaxValue());
  f.SetDefaultValue(d.DefaultValue());
  DescriptorsChanged_ = true;
}

// ---- TDataFile: the record cache -----------------------------------------------------------

TRecord* TDataFile::EvictLeastRecent() {
  for (TRecord* r = Cache_.Oldest(); r; r = r->Newer_)
    if (!r->Modified_ && r->UseCount_ == 0) return r;
  return nullptr;
}

TRecord* TDataFile::TakeBuffer(int32_t number) {
  if (Cache_.Size() >= Capacity_) {
    TRecord* victim = EvictLeastRecent();
    const size_t growth = std::max(kCacheGrowth, Capacity_ / 2);
    if (victim == nullptr &&
        Table_->CanWriteBackUnderPressure(growth * (sizeof(TRecord) + Header_.RecordSize()),
                                          Capacity_ >= NormalCapacity())) {
      WriteBack(false);
      victim = EvictLeastRecent();
    }
    if (victim != nullptr) {
      // Reuse the evicted buffer in place: it leaves the cache and comes back under the
      // new number.
      std::unique_ptr<TRecord> owned = Cache_.Remove(victim->RecordNumber_);
      if (owned.get() != victim) Corrupt();
      owned->RecordNumber_ = number;
      owned->Clear();
      return Cache_.Insert(number, std::move(owned));
    }
    // Everything is in use or unwritten (a transaction): grow by half, so that the walks
    // above stay rare however much the transaction writes.
    Capacity_ += growth;
  }
  std::unique_ptr<TRecord> record = Spares_.Take();
  record->RecordNumber_ = number;
  record->Clear();
  return Cache_.Insert(number, std::move(record));
}

TRecord* TDataFile::GetRecord(int32_t number, bool forward, TReadHooks* hooks,
                              bool readAhead) {
  int32_t next = Header_.NextRecordNumber();
  if (number <= 0 || number > next) Corrupt();
  if (number == next) {
    // An append: a cleared slot that exists only in the cache until written back.
    uint64_t end = RecordsStart() + uint64_t(number) * Header_.RecordSize();
    if (number > kMaxRecordSlots || end > kMaxDataFileEnd)
      RaiseTableError(VELDOR_TABLEFULL, Table_->Name());
    TRecord* record = TakeBuffer(number);
    // The slot counts from now on, so it must reach the file even if nobody fills it.
    record->MarkModified();
    Header_.SetNextRecordNumber(next + 1);
    HeaderChanged_ = true;
    record->AddUse();
    return record;
  }
  TRecord* record = FindCached(number);
  if (record != nullptr && record->Stale_ && record->UseCount_ == 0) {
    // Kept through a cache drop while it was held: now free, it is read again.
    Spares_.GiveBack(Cache_.Remove(number));
    record = nullptr;
  }
  if (record != nullptr) {
    ++Stats_.CacheHits;
  } else {
    record = ReadRecords(number, forward, hooks, readAhead);
    if (record == nullptr) return nullptr;
  }
  if (record->RecordNumber_ != number) Corrupt();
  record->AddUse();
  ++Stats_.Fetches;
  return record;
}

TRecord* TDataFile::ReadRecords(int32_t number, bool forward, TReadHooks* hooks,
                                bool readAhead) {
  if (hooks && !hooks->BeforeDiskRead()) return nullptr;
  int32_t next = Header_.NextRecordNumber();
  int32_t count = 1;
  if (readAhead) {
    int limit = int(ReadAhead_);
    if (!forward) limit = std::min(limit, int(number));
    else limit = std::min<int64_t>(limit, int64_t(next) - number);
    int chosen = hooks ? hooks->ReadAheadCount(number, forward, limit) : 0;
    count = chosen > 0 ? std::min(chosen, limit) : limit;
    count = std::max(count, 1);
    if (count == 1 && chosen > 0 && hooks) {
      // No run ahead: the records the cursor visits next, wherever they lie. At most a
      // quarter of the cache, so that the batch does not evict itself.
      int most = int(std::min<size_t>(kMaxScatteredRead, Capacity_ / 4));
      if (most > 0) {
        Upcoming_.resize(size_t(most));
        int got = hooks->UpcomingRecords(number, forward, Upcoming_.data(), most);
        if (got > 0) return ReadScattered(number, Upcoming_.data(), got);
      }
    }
  }
  int32_t first = forward ? number : number - count + 1;
  uint16_t recordSize = Header_.RecordSize();
  if (recordSize < kRecordPrefixSize) Corrupt();
  const int32_t images = ReadSlots(first, count, ReadBuffer_);
  Stats_.RecordsRead += uint64_t(images);
  TRecord* wanted = TakeImages(first, images, number);
  // The slot is neither in the file nor in the cache: the file was cut short.
  if (wanted == nullptr) Corrupt();
  return wanted;
}

int32_t TDataFile::ReadSlots(int32_t first, int32_t count, std::vector<uint8_t>& into) {
  const uint16_t recordSize = Header_.RecordSize();
  const size_t bytes = size_t(count) * recordSize;
  GrowBuffer(into, bytes);
  const int64_t offset = int64_t(RecordsStart() + uint64_t(first - 1) * recordSize);
  if (CopyMappedSlots(&offset, 1, bytes, into.data())) {
    ++Stats_.BlockReads;
    return count;
  }
  size_t got;
  {
    TFileSection section(*this);
    Seek(0, int64_t(RecordsStart() + uint64_t(first - 1) * recordSize));
    got = Read(into.data(), bytes, true);
  }
  ++Stats_.BlockReads;
  // Appended records may still live only in the cache; a short read is then expected.
  if (got < bytes && !Table_->AcceptShortRead()) RaiseTableError(VELDOR_READERR, Table_->Name());
  return int32_t(got / recordSize);
}

TRecord* TDataFile::TakeImage(int32_t n, uint8_t* image, bool makeNewest) {
  TRecord* cached = Cache_.Find(n);
  if (cached == nullptr) {
    cached = TakeBuffer(n);
    cached->LoadFromImage(image);
    return cached;
  }
  // Another cursor's current record, or one changed here, keeps what it holds.
  if (!cached->Modified_ && cached->UseCount_ == 0) {
    cached->LoadFromImage(image);
    cached->Stale_ = false;
  }
  if (makeNewest) Cache_.MakeNewest(cached, n);
  return cached;
}

TRecord* TDataFile::TakeImages(int32_t first, int32_t images, int32_t number, const int32_t* only,
                               int onlyCount) {
  const uint16_t recordSize = Header_.RecordSize();
  ReadWindowFirst_ = first;
  ReadWindowCount_ = images;
  TRecord* wanted = nullptr;
  int o = 0;
  try {
    for (int32_t i = 0; i < images; ++i) {
      int32_t n = first + i;
      if (only) {
        while (o < onlyCount && only[o] < n) ++o;
        if (o >= onlyCount || only[o] != n) continue;
      }
      TRecord* cached = TakeImage(n, &ReadBuffer_[size_t(i) * recordSize], n == number);
      if (n == number) {
        wanted = cached;
        wanted->AddUse();  // held while the rest of the batch may evict
      }
    }
  } catch (...) {
    if (wanted) wanted->ReleaseUse();
    ReadWindowFirst_ = ReadWindowCount_ = 0;
    throw;
  }
  ReadWindowFirst_ = ReadWindowCount_ = 0;
  if (wanted) wanted->ReleaseUse();
  return wanted;
}

TRecord* TDataFile::ReadScattered(int32_t number, const int32_t* upcoming, int count) {
  const int32_t next = Header_.NextRecordNumber();
  std::vector<int32_t> wanted;
  wanted.reserve(size_t(count) + 1);
  wanted.push_back(number);
  for (int i = 0; i < count; ++i) {
    int32_t n = upcoming[i];
    if (n < 1 || n >= next || n == number) continue;
    const TRecord* cached = Cache_.Find(n);
    if (cached != nullptr && !cached->Stale_) continue;
    wanted.push_back(n);
  }
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  const uint16_t recordSize = Header_.RecordSize();
  if (recordSize < kRecordPrefixSize) Corrupt();
  if (TRecord* found = CopyScattered(number, wanted)) return found;
  const int32_t gap = int32_t(std::max<size_t>(kScatteredGapBytes / recordSize, 1));
  const int32_t longest = int32_t(std::max<size_t>(ReadAhead_, 1));
  TRecord* found = nullptr;
  TRecordPin hold;  // the wanted record stays while later spans may evict
  size_t i = 0;
  while (i < wanted.size()) {
    const size_t j = SpanEnd(i, wanted.size(), gap, longest, [&](size_t k) { return wanted[k]; });
    const int32_t first = wanted[i];
    const int32_t span = wanted[j - 1] - first + 1;
    const int32_t images = ReadSlots(first, span, ReadBuffer_);
    Stats_.RecordsRead += uint64_t(j - i);
    TRecord* r = TakeImages(first, images, number, &wanted[i], int(j - i));
    if (r) {
      found = r;
      found->AddUse();
      hold = TRecordPin(found);
    }
    i = j;
  }
  if (found == nullptr) Corrupt();
  return found;
}

TRecord* TDataFile::CopyScattered(int32_t number, const std::vector<int32_t>& wanted) {
  const uint16_t recordSize = Header_.RecordSize();
  const uint64_t start = RecordsStart();
  ScatteredOffsets_.resize(wanted.size());
  for (size_t i = 0; i < wanted.size(); ++i)
    ScatteredOffsets_[i] = int64_t(start + uint64_t(wanted[i] - 1) * recordSize);
  GrowBuffer(ReadBuffer_, wanted.size() * recordSize);
  if (!CopyMappedSlots(ScatteredOffsets_.data(), wanted.size(), recordSize, ReadBuffer_.data()))
    return nullptr;
  ++Stats_.BlockReads;
  Stats_.RecordsRead += uint64_t(wanted.size());
  ReadWindowFirst_ = wanted.front();
  ReadWindowCount_ = wanted.back() - wanted.front() + 1;
  TRecord* found = nullptr;
  try {
    for (size_t i = 0; i < wanted.size(); ++i) {
      TRecord* r = TakeImage(wanted[i], &ReadBuffer_[i * recordSize], wanted[i] == number);
      if (wanted[i] == number) {
        found = r;
        found->AddUse();  // held while the rest of the batch may evict
      }
    }
  } catch (...) {
    if (found) found->ReleaseUse();
    ReadWindowFirst_ = ReadWindowCount_ = 0;
    throw;
  }
  ReadWindowFirst_ = ReadWindowCount_ = 0;
  if (found == nullptr) Corrupt();
  found->ReleaseUse();
  return found;
}

bool TDataFile::CopyImages(const int32_t* numbers, int count, uint8_t* out) {
  if (count <= 0) return true;
  const uint16_t recordSize = Header_.RecordSize();
  if (recordSize < kRecordPrefixSize) Corrupt();
  const int32_t next = Header_.NextRecordNumber();
  const uint64_t start = RecordsStart();
  ScatteredOffsets_.resize(size_t(count));
  for (int i = 0; i < count; ++i) {
    if (numbers[i] < 1 || numbers[i] >= next) Corrupt();
    ScatteredOffsets_[size_t(i)] = int64_t(start + uint64_t(numbers[i] - 1) * recordSize);
  }
  const bool anyCached = Cache_.Size() > 0;
  if (CopyMappedSlots(ScatteredOffsets_.data(), size_t(count), recordSize, out)) {
    ++Stats_.BlockReads;
    Stats_.RecordsRead += uint64_t(count);
  } else {
    ReadImages(numbers, count, out, anyCached);
  }
  for (int i = 0; i < count; ++i) {
    uint8_t* image = out + size_t(i) * recordSize;
    if (anyCached) {
      if (const TRecord* cached = Cache_.Find(numbers[i]); cached != nullptr && !cached->Stale_) {
        std::memcpy(image, cached->Data(), recordSize);
        continue;
      }
    }
    if (Encrypted()) ScrambleTableData(image, recordSize);
    if (image[kRecordDeletedOffset] == 0) StoreI32(&image[kRecordNumberOffset], numbers[i]);
  }
  return true;
}

void TDataFile::ReadImages(const int32_t* numbers, int count, uint8_t* out, bool anyCached) {
  const uint16_t recordSize = Header_.RecordSize();
  // The records the cache does not hold, by number, read in spans of nearby slots.
  ReadOrder_.clear();
  for (int i = 0; i < count; ++i) {
    if (anyCached) {
      const TRecord* cached = Cache_.Find(numbers[i]);
      if (cached != nullptr && !cached->Stale_) continue;
    }
    ReadOrder_.emplace_back(numbers[i], i);
  }
  std::sort(ReadOrder_.begin(), ReadOrder_.end());
  const int32_t gap = int32_t(std::max<size_t>(kScatteredGapBytes / recordSize, 1));
  const int32_t longest = int32_t(std::max<size_t>(ReadAhead_, 1));
  size_t i = 0;
  while (i < ReadOrder_.size()) {
    const size_t j = SpanEnd(i, ReadOrder_.size(), gap, longest, [&](size_t k) { return ReadOrder_[k].first; });
    const int32_t first = ReadOrder_[i].first;
    const int32_t images = ReadSlots(first, ReadOrder_[j - 1].first - first + 1, ReadBuffer_);
    Stats_.RecordsRead += uint64_t(j - i);
    for (size_t k = i; k < j; ++k) {
      const int32_t at = ReadOrder_[k].first - first;
      // The slot is neither in the file nor in the cache: the file was cut short.
      if (at >= images) Corrupt();
      std::memcpy(out + size_t(ReadOrder_[k].second) * recordSize, &ReadBuffer_[size_t(at) * recordSize], recordSize);
    }
    i = j;
  }
}

bool TDataFile::PeekRun(int32_t first, int32_t& count, TReadHooks* hooks, std::vector<uint8_t>& out) {
  const int32_t next = Header_.NextRecordNumber();
  if (first <= 0 || first >= next) Corrupt();
  count = std::max(1, std::min(count, next - first));
  if (hooks && !hooks->BeforeDiskRead()) return false;
  const uint16_t recordSize = Header_.RecordSize();
  if (recordSize < kRecordPrefixSize) Corrupt();
  const int32_t images = ReadSlots(first, count, out);
  Stats_.RecordsRead += uint64_t(images);
  for (int32_t i = 0; i < count; ++i) {
    uint8_t* image = &out[size_t(i) * recordSize];
    const int32_t n = first + i;
    if (const TRecord* cached = Cache_.Find(n); cached != nullptr && !cached->Stale_) {
      std::memcpy(image, cached->Data(), recordSize);
      continue;
    }
    if (i >= images) {
      // Past the file's end and not cached: the file was cut short.
      if (i == 0) Corrupt();
      count = i;
      break;
    }
    if (Encrypted()) ScrambleTableData(image, recordSize);
    if (image[kRecordDeletedOffset] == 0) StoreI32(&image[kRecordNumberOffset], n);
  }
  return true;
}

TRecord* TDataFile::AllocateRecord(TReadHooks* hooks) {
  int32_t head = Header_.FirstDeleted();
  bool reuse = head != 0 && Table_->HasUserPrimaryKey();
  int32_t number = reuse ? head : Header_.NextRecordNumber();
  if (reuse && (head < 1 || head > RecordCount())) Corrupt();
  TRecord* record = GetRecord(number, true, hooks);
  if (record == nullptr) return nullptr;
  if (reuse) {
    const int32_t link = record->FreeLink();
    if (!record->Deleted() || link < 0 || link > RecordCount() || link == number) {
      record->ReleaseUse();
      Corrupt();
    }
    Header_.SetFirstDeleted(link);
    HeaderChanged_ = true;
  }
  return record;
}

void TDataFile::UndoAllocate(int32_t number, const std::vector<uint8_t>& before,
                             int32_t firstDeleted, int32_t nextRecord) {
  TRecord* record = FindCached(number);
  if (number >= nextRecord && number == Header_.NextRecordNumber() - 1) {
    // A new slot exists only in the cache: it goes, and the file never hears of it.
    if (record != nullptr && record->UseCount_ == 0) Spares_.GiveBack(Cache_.Remove(number));
    Header_.SetNextRecordNumber(nextRecord);
  } else if (record != nullptr) {
    std::memcpy(record->Data(), before.data(), std::min<size_t>(before.size(), record->RecordSize()));
    record->SetModified();
  }
  Header_.SetFirstDeleted(firstDeleted);
  HeaderChanged_ = true;
}

void TDataFile::DeleteRecord(TRecord* record) {
  record->SetDeleted(true);
  record->SetFreeLink(Table_->HasUserPrimaryKey() ? Header_.FirstDeleted() : 0);
  Header_.SetFirstDeleted(record->RecordNumber_);
  HeaderChanged_ = true;
}

bool TDataFile::WriteBack(bool forceFlush) {
  // The records noted modified, in record order: those free now are written, those still
  // in use (or in the read window) stay noted for a later write-back.
  std::sort(Dirty_.begin(), Dirty_.end());
  Dirty_.erase(std::unique(Dirty_.begin(), Dirty_.end()), Dirty_.end());
  std::vector<TRecord*> dirty;
  std::vector<int32_t> later;
  for (int32_t number : Dirty_) {
    TRecord* r = Cache_.Find(number);
    if (r == nullptr || !r->Modified_) continue;
    const bool inWindow = ReadWindowCount_ > 0 && number >= ReadWindowFirst_ &&
                          number < ReadWindowFirst_ + ReadWindowCount_;
    if (r->UseCount_ == 0 && !inWindow)
      dirty.push_back(r);
    else
      later.push_back(number);
  }
  Dirty_ = std::move(later);
  if (dirty.empty()) return false;
  uint16_t recordSize = Header_.RecordSize();
  size_t maxRun = std::max<size_t>(kMaxWriteRunBytes / recordSize, 1);
  size_t i = 0;
  while (i < dirty.size()) {
    size_t j = i + 1;
    while (j < dirty.size() && j - i < maxRun &&
           dirty[j]->RecordNumber_ == dirty[j - 1]->RecordNumber_ + 1)
      ++j;
    size_t bytes = (j - i) * recordSize;
    GrowBuffer(WriteBuffer_, bytes);
    for (size_t k = i; k < j; ++k) dirty[k]->StoreToImage(&WriteBuffer_[(k - i) * recordSize]);
    try {
      TFileSection section(*this);
      Seek(0, int64_t(RecordsStart() + uint64_t(dirty[i]->RecordNumber_ - 1) * recordSize));
      Write(WriteBuffer_.data(), bytes);
    } catch (...) {
      // Not written after all: the buffers stay modified so that nothing is lost.
      for (size_t k = i; k < dirty.size(); ++k) {
        dirty[k]->Modified_ = true;
        Dirty_.push_back(dirty[k]->RecordNumber_);
      }
      throw;
    }
    ++Stats_.BlockWrites;
    Stats_.RecordsWritten += j - i;
    if (forceFlush || Table_->ForceBufferFlush()) Flush();
    Table_->MarkWritten();
    i = j;
  }
  return true;
}

void TDataFile::DropCache() {
  // Buffers a cursor still holds stay where they are (their holder re-reads them once it
  // has re-synchronised); what they held no longer counts as a change to write.
  for (auto& record : Cache_.TakeIf([](const TRecord& r) { return r.UseCount_ == 0; }))
    Spares_.GiveBack(std::move(record));
  Cache_.ForEach([](int32_t, TRecord* record) {
    record->Modified_ = false;
    record->Stale_ = true;
  });
}

size_t TDataFile::NormalCapacity() const {
  const uint16_t size = Header_.RecordSize();
  return std::max<size_t>(size == 0 ? kMaxCachedRecords : std::min(kRecordCacheBytes / size, kMaxCachedRecords), 1);
}

void TDataFile::TrimCache() {
  const size_t normal = NormalCapacity();
  // The least recent free buffers go.
  size_t excess = Cache_.Size() > normal ? Cache_.Size() - normal : 0;
  std::vector<int32_t> victims;
  for (TRecord* r = Cache_.Oldest(); r && victims.size() < excess; r = r->Newer_)
    if (!r->Modified_ && r->UseCount_ == 0) victims.push_back(r->RecordNumber_);
  for (int32_t number : victims) Spares_.GiveBack(Cache_.Remove(number));
  Cache_.Shrink();
  Capacity_ = std::max(normal, Cache_.Size());
}

void TDataFile::Empty() {
  ReturnAllToPool();
  {
    TFileSection section(*this);
    Seek(0, int64_t(RecordsStart()));
    Write(nullptr, 0);
  }
  if (Table_->ForceBufferFlush()) Flush();
  Header_.SetChangeCounter(0);
  Header_.SetFirstDeleted(0);
  Header_.SetNextRecordNumber(1);
  Header_.SetLastAutoInc(0);
  HeaderChanged_ = true;
}

int32_t TDataFile::NextRowId() {
  int32_t last = Header_.LastAutoInc();
  int32_t next = last >= INT32_MAX || last < 0 ? 1 : last + 1;
  Header_.SetLastAutoInc(next);
  HeaderChanged_ = true;
  return next;
}

int32_t TDataFile::NextBlobId() {
  int32_t last = Header_.LastBlobId();
  int32_t next = last >= INT32_MAX || last < 0 ? 1 : last + 1;
  Header_.SetLastBlobId(next);
  HeaderChanged_ = true;
  return next;
}

void TDataFile::SetLastAutoInc(int32_t value) {
  Header_.SetLastAutoInc(value);
  HeaderChanged_ = true;
}

}  // namespace veldor
