// The data file of a table: header, field descriptors and fixed-size record slots, with
// the process's cache of record buffers.
//
// `TDataFile` owns the header copy, the descriptors, the record cache (a hash table by
// record number plus a recency list), the pool of spare buffers and the free chain of
// deleted slots. It reads ahead in batches and writes back modified records in runs of
// consecutive slots; a buffer in use or modified is never evicted unwritten. It does not
// lock: all cursors of a process share one `TDataFile` per table and serialise their use
// of it; the table object owns the locks between processes and decides when to write back.
//
// File layout: the 127-byte header, 768 bytes per field descriptor, then record n at
// H + (n - 1) x record size, H = 127 + 768 x fields; records and the descriptor block are
// scrambled in encrypted tables.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/buffer_cache.h"
#include "engine/field_types.h"
#include "engine/table_header.h"
#include "lib/file_layer.h"

namespace veldor {

class TDataFile;
class TDataTable;
struct TRecordSortCallbacks;
struct TRecordSortOptions;
struct TRecordSortResult;

inline constexpr int32_t kMaxRecordSlots = 200000000;
inline constexpr uint64_t kMaxDataFileEnd = 4000000000ull;
// Cache and read-ahead sizes: larger than the smallest the format allows, so that a walk
// in an order the file does not follow finds its records again; a buffer in use or
// modified is never evicted unwritten, whatever the size.
inline constexpr size_t kRecordCacheBytes = 262144;
inline constexpr size_t kMaxCachedRecords = 32768;
inline constexpr size_t kReadAheadBytes = 32768;
inline constexpr size_t kCacheGrowth = 64;

// One record buffer: a record image and its cache bookkeeping.
class TRecord {
 public:
  explicit TRecord(TDataFile* file);

  // Zeroes the image and writes its record number into the prefix; with `newRowId` the
  // image also gets the table's next row identifier. Not modified afterwards.
  void Clear(bool newRowId = false);
  // Takes a file image (unscrambling it in place when the table is encrypted); a live
  // record gets its own number in the prefix. Not modified afterwards.
  void LoadFromImage(uint8_t* image);
  // Copies the image out (scrambled when encrypted) and clears the modified flag.
  void StoreToImage(uint8_t* image);

  bool Deleted() const { return Data_[kRecordDeletedOffset] != 0; }
  void SetDeleted(bool deleted);
  int32_t FreeLink() const;
  void SetFreeLink(int32_t next);
  int32_t RowId() const;
  void SetRowId(int32_t rowId);
  int32_t RecordNumber() const { return RecordNumber_; }
  // Also written into the prefix when the record is not deleted.
  void SetRecordNumber(int32_t number);

  // Copies data file, modified flag, record number and the bytes of the smaller size.
  void CopyFrom(const TRecord& other);
  // Replaces bytes 9 onwards from `other` (same layout); marks modified.
  void ReplaceFieldData(const TRecord& other);
  // Byte comparison over the record size: true when equal.
  bool SameBytes(const TRecord& other) const;

  uint8_t* Data() { return Data_.data(); }
  const uint8_t* Data() const { return Data_.data(); }
  uint16_t RecordSize() const { return RecordSize_; }
  bool Modified() const { return Modified_; }
  // Marking a record modified also notes it in its file's list of records to write back.
  void SetModified(bool modified = true) {
    if (modified)
      MarkModified();
    else
      Modified_ = false;
  }
  void MarkModified();

  uint16_t UseCount() const { return UseCount_; }
  void AddUse() { ++UseCount_; }
  void ReleaseUse() {
    if (UseCount_ > 0) --UseCount_;
  }
  void ResetUse() { UseCount_ = 0; }

  TDataFile* File() const { return File_; }

 private:
  friend class TDataFile;
  friend class TRecordStack;
  template <typename>
  friend class TBufferCache;
  void Resize(uint16_t recordSize);

  TDataFile* File_;
  bool Modified_ = false;
  bool Stale_ = false;  // kept through a cache drop for its holder; re-read once free
  uint16_t UseCount_ = 0;
  int32_t RecordNumber_ = 0;
  std::vector<uint8_t> Data_;  // the image; capacity grows in steps of 16
  uint16_t RecordSize_ = 0;
  TRecord* Older_ = nullptr;  // recency list links while cached
  TRecord* Newer_ = nullptr;
};

// Spare record buffers of one data file.
class TRecordStack {
 public:
  static constexpr size_t kMaxSpareRecords = 1024;
  explicit TRecordStack(TDataFile* file) : File_(file) { Spares_.reserve(16384 / 64); }
  // The last spare (cleared, use count 0) or a new buffer.
  std::unique_ptr<TRecord> Take();
  void GiveBack(std::unique_ptr<TRecord> record);
  size_t Count() const { return Spares_.size(); }

 private:
  TDataFile* File_;
  std::vector<std::unique_ptr<TRecord>> Spares_;
};

// What the cursor that asks for a record, page or block tells the file before a disk read.
class TReadHooks {
 public:
  virtual ~TReadHooks() = default;
  // Called before anything is read from the file: takes the read lock and checks for
  // changes by others. False when the table changed: the read is abandoned (the getter
  // returns nullptr) and the cursor re-synchronises.
  virtual bool BeforeDiskRead() = 0;
  // How many consecutive records, ending (backward) or starting (forward) at `record`,
  // the cursor is about to visit; at most `limit`. Return 0 to let the data file choose.
  virtual int ReadAheadCount(int32_t record, bool forward, int limit) = 0;
  // When the records ahead are not consecutive (an index order, a sparse set): the numbers
  // of up to `limit` records the cursor visits after `record`, in its order, written to
  // `out`. They are read with `record` under the same check, so that a walk in an order
  // the file does not follow pays for the read lock once per batch, not once per record.
  virtual int UpcomingRecords(int32_t /*record*/, bool /*forward*/, int32_t* /*out*/, int /*limit*/) {
    return 0;
  }
};

// Statistics of one data file; reset at open.
struct TDataFileStatistics {
  uint64_t Fetches = 0;  // records handed out: by GetRecord, and images of PeekRun used
  uint64_t CacheHits = 0;
  uint64_t BlockReads = 0;   // reads of one or more slots from the file
  uint64_t RecordsRead = 0;  // slots those reads covered
  uint64_t BlockWrites = 0;  // writes of a run of slots
  uint64_t RecordsWritten = 0;
};

class TDataFile : public TFileHandler {
 public:
  explicit TDataFile(TDataTable* table);
  ~TDataFile() override;

  // Opens the file and reads the header and the descriptors (unscrambled). More than 1024
  // fields, or a file too short for its descriptors, raise VELDOR_HEADERCORRUPT. Checks
  // beyond that are the table's (VerifyDataHeader). On failure the file is closed.
  void Open() override;
  // Returns every cached buffer to the pool unwritten (callers flush first) and closes.
  void Close() override;
  // Builds a new header from the settings and creates the file; nothing is written until
  // WriteHeader and WriteDescriptors. More than 64 BLOB fields raise VELDOR_BLOBLIMIT, a
  // layout beyond 65535 bytes VELDOR_RECTOOBIG. `fields` must be laid out already.
  void CreateTable(int16_t language, uint16_t sort, int16_t userMajor, int16_t userMinor,
                   uint32_t blobBlockSize, const std::vector<TFieldDescriptor>& fields,
                   const std::string& description, const std::string& password,
                   bool encrypted);

  // ---- Header ----
  const TDataHeader& Header() const { return Header_; }
  TDataHeader& MutableHeader() { return Header_; }
  void ReadHeader();
  // Reads the header on disk; when its change counter differs from the held one, takes it
  // and returns true.
  bool HeaderChangedByOthers();
  // When forced or changed: prepare (counter + 1, version, time) and write the 127 bytes;
  // flush when asked or when the session flushes every write; marks the table written.
  void WriteHeader(bool force, bool flush);
  // Inside transactions: counter + 1, header changed, table written.
  void MarkHeaderChanged();
  void SetHeaderChanged() { HeaderChanged_ = true; }
  bool HeaderChanged() const { return HeaderChanged_; }
  // Writes the descriptor block when it changed.
  void WriteDescriptors();
  // Replaces number, name, subtype, description, required flag and value texts of field
  // `fieldNumber` (1-based), not its type, sizes or offset.
  void UpdateDescriptor(uint16_t fieldNumber, const TFieldDescriptor& descriptor);
  const std::vector<TFieldDescriptor>& Fields() const { return Fields_; }
  std::vector<TFieldDescriptor>& MutableFields() { return Fields_; }
  uint64_t RecordsStart() const { return RecordsOffset(Header_.FieldCount()); }
  int32_t RecordCount() const { return Header_.NextRecordNumber() - 1; }

  // ---- Records ----
  // The buffer of record `number` with its use count raised; Release gives it back.
  // `number` equal to the next record number appends a cleared slot (VELDOR_TABLEFULL past
  // the limits, header unchanged). Returns nullptr only when `hooks` reported a change by
  // others before a disk read. Record 0, a number past the next record number, or a slot
  // the file does not hold raise VELDOR_FILECORRUPT.
  TRecord* GetRecord(int32_t number, bool forward = true, TReadHooks* hooks = nullptr,
                     bool readAhead = true);
  void Release(TRecord* record) { record->ReleaseUse(); }
  // For scans that read each record once: the images of up to `count` slots from `first`
  // on, read in one go into `out` (the caller's, so that nothing another cursor does can
  // move it) instead of the cache, so that a long scan neither evicts the cache nor pays for a buffer per
  // record. Cached buffers win over the file (this process's unwritten changes), records
  // appended only in the cache included. Images are unscrambled and carry their record
  // number like cached ones. `count` becomes how many slots `out` holds; false when `hooks`
  // reported a change by others.
  bool PeekRun(int32_t first, int32_t& count, TReadHooks* hooks, std::vector<uint8_t>& out);
  // For walks in an order the file does not follow: the images of `count` records
  // (numbers in any order, each below the next record number) copied to `out`, image i at
  // out + i x record size, in one batch through the file's mapping, without the cache or
  // a system call per record; cached buffers win over the file (this process's unwritten
  // changes). Images are unscrambled and carry their record number like cached ones. Where
  // the file cannot be mapped (in memory, mapping off, refused or not yet worth it) the
  // records are read in spans of nearby slots instead, still past the cache. A slot neither
  // the file nor the cache holds raises VELDOR_FILECORRUPT. The caller keeps others from
  // writing meanwhile (read lock, write lock or exclusive open).
  bool CopyImages(const int32_t* numbers, int count, uint8_t* out);
  // A scan took one image of a PeekRun or CopyImages (the statistics count what is used,
  // not read).
  void CountPeekedUse() { ++Stats_.Fetches; }
  // The slot for an insert: the free chain's head, or a new slot when the chain is empty or
  // the table has no user primary key. Returned in use, as GetRecord. A head that names no
  // slot, or a slot that is not deleted, is damage (VELDOR_FILECORRUPT) found before
  // anything changes: a live record is never handed out to be overwritten.
  TRecord* AllocateRecord(TReadHooks* hooks = nullptr);
  // Undoes AllocateRecord for an insert that failed later: `record` (released by the caller
  // first, and not written since) takes back the image `before`, and the free chain head or
  // the slot count return to `firstDeleted` and `nextRecord`.
  void UndoAllocate(int32_t number, const std::vector<uint8_t>& before, int32_t firstDeleted,
                    int32_t nextRecord);
  // Puts the record on the free chain (its link is 0 in tables without a user primary key).
  void DeleteRecord(TRecord* record);
  // Writes modified, unused buffers in runs of consecutive slots; true when any was written.
  bool WriteBack(bool forceFlush);
  // Forgets the cached records unwritten; buffers in use stay (unmodified) for their holders.
  void DropCache();
  void TrimCache();
  // Truncates the file after the descriptors and resets counter, free chain, record
  // numbers and the auto-increment value; the header is marked changed.
  void Empty();

  // Rewrites the records in the order of `sortFields` (descriptors of this table's fields;
  // byte 253 of each marks it descending), renumbered from 1, through the output rules of
  // `options` (see engine/record_sort.h, which implements it). The table must have no
  // user index and no deleted slot; everything cached is written back first. With
  // distinct or grouping the file is cut after the last output record and the counts
  // follow (distinct also frees the BLOB values of the records it leaves out); the "Sys
  // Deleted" index is rebuilt over the new numbers and both headers are marked changed
  // (the caller flushes). Refusals come before any change; a callback's exception leaves
  // the records as they were; temporary files never outlive the call.
  TRecordSortResult SortRecords(const std::vector<TFieldDescriptor>& sortFields,
                                const TRecordSortCallbacks& callbacks,
                                const TRecordSortOptions& options);

  // Last auto-increment value + 1 (2147483647 wraps to 1); header changed.
  int32_t NextRowId();
  int32_t NextBlobId();
  void SetLastAutoInc(int32_t value);

  // ---- Record lock bytes (used by the table's locking) ----
  TDataTable* Table() const { return Table_; }
  size_t CacheCapacity() const { return Capacity_; }
  size_t CachedCount() const { return Cache_.Size(); }
  // Notes that the record of `number` became modified, for the next write-back to find it
  // without looking through the whole cache.
  void NoteDirty(int32_t number) { Dirty_.push_back(number); }
  // Bytes the cached records take in memory: buffers, images and their place in the cache.
  size_t CachedBytes() const {
    const size_t image = (size_t(Header_.RecordSize()) + 15) / 16 * 16;
    return Cache_.Size() * (sizeof(TRecord) + image + 2 * sizeof(void*)) + Cache_.TableBytes();
  }
  size_t ReadAheadRecords() const { return ReadAhead_; }
  const TDataFileStatistics& Statistics() const { return Stats_; }
  void ResetStatistics() { Stats_ = TDataFileStatistics{}; }
  bool Encrypted() const { return Header_.Encrypted(); }

 private:
  friend class TRecord;

  // The cached buffer of `number` made the most recent, or nullptr.
  TRecord* FindCached(int32_t number) { return Cache_.Touch(number); }
  // A cleared buffer for `number`, inserted in the cache (step: taking a buffer).
  TRecord* TakeBuffer(int32_t number);
  TRecord* EvictLeastRecent();
  TRecord* ReadRecords(int32_t number, bool forward, TReadHooks* hooks, bool readAhead);
  // Reads `count` slots from `first` into `into` (one read); returns the whole images got.
  int32_t ReadSlots(int32_t first, int32_t count, std::vector<uint8_t>& into);
  // Reads `number` and the uncached records of `upcoming` in spans of nearby slots.
  TRecord* ReadScattered(int32_t number, const int32_t* upcoming, int count);
  // Puts the images of records first..first+images-1 from ReadBuffer_ into the cache
  // (held or modified buffers keep what they hold); returns the buffer of `wanted` or
  // nullptr when it is not among them. With `only`, slots not in that sorted list are
  // skipped.
  TRecord* TakeImages(int32_t first, int32_t images, int32_t wanted, const int32_t* only = nullptr,
                      int onlyCount = 0);
  // One file image into the cache (held or modified buffers keep what they hold); returns
  // its buffer, made the most recent when asked.
  TRecord* TakeImage(int32_t number, uint8_t* image, bool makeNewest);
  // The sorted, distinct `wanted` records copied through the file's mapping into the cache;
  // the buffer of `number`, or nullptr when the file cannot be read that way.
  TRecord* CopyScattered(int32_t number, const std::vector<int32_t>& wanted);
  // CopyImages' reads: the uncached records of `numbers` into their places in `out`.
  void ReadImages(const int32_t* numbers, int count, uint8_t* out, bool anyCached);
  void SetCapacityForRecordSize();
  // The cache's size outside transactions: about 256 KB of records.
  size_t NormalCapacity() const;
  void ReturnAllToPool();
  [[noreturn]] void Corrupt() const;

  TDataTable* Table_;
  TDataHeader Header_;
  bool HeaderChanged_ = false;
  bool DescriptorsChanged_ = false;
  std::vector<TFieldDescriptor> Fields_;
  std::vector<uint8_t> ReadBuffer_;   // grows in steps of 4096
  std::vector<int32_t> Upcoming_;     // scratch of ReadRecords
  std::vector<int64_t> ScatteredOffsets_;  // scratch of CopyScattered and CopyImages
  std::vector<std::pair<int32_t, int>> ReadOrder_;  // scratch of ReadImages: number, place
  std::vector<uint8_t> WriteBuffer_;  // grows in steps of 4096
  int32_t ReadWindowFirst_ = 0;       // records of the read in progress, 0 = none
  int32_t ReadWindowCount_ = 0;
  TBufferCache<TRecord> Cache_;
  // Numbers of records marked modified since the last write-back (some may have been
  // written or dropped since: a write-back checks each against the cache).
  std::vector<int32_t> Dirty_;
  size_t Capacity_ = kMaxCachedRecords;
  size_t ReadAhead_ = 1;
  TRecordStack Spares_;
  TDataFileStatistics Stats_;
};

// Holds a record buffer's use for a scope; move-only.
class TRecordPin {
 public:
  TRecordPin() = default;
  explicit TRecordPin(TRecord* record) : Record_(record) {}
  ~TRecordPin() { Reset(); }
  TRecordPin(TRecordPin&& other) noexcept : Record_(other.Record_) { other.Record_ = nullptr; }
  TRecordPin& operator=(TRecordPin&& other) noexcept {
    if (this != &other) {
      Reset();
      Record_ = other.Record_;
      other.Record_ = nullptr;
    }
    return *this;
  }
  TRecordPin(const TRecordPin&) = delete;
  TRecordPin& operator=(const TRecordPin&) = delete;
  void Reset() {
    if (Record_) Record_->ReleaseUse();
    Record_ = nullptr;
  }
  TRecord* Get() const { return Record_; }
  TRecord* operator->() const { return Record_; }
  explicit operator bool() const { return Record_ != nullptr; }

 private:
  TRecord* Record_ = nullptr;
};

}  // namespace veldor
