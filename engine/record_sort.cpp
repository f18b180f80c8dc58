// The record sort. A record's sort key is, per sort field, its presence byte and key part
// exactly as an index of the table would build them (the table's collation, upper-cased
// strings when case does not count, inverted bytes of descending fields in a table without
// a language), then its row identifier, which makes every key distinct and the order total.
// Keys longer than one index allows are built from several index layouts side by side.
//
// When the cache holds every record the sort runs in memory and the output is written with
// one write. Otherwise the records are read in chunks, each chunk sorted into a ".TMP" run
// file, and the runs merged through a heap of their heads. Output is written from record 1
// on; a grouping sort, whose callbacks may fail half-way, merges into one more ".TMP" file
// first and copies it over the records only once every callback has returned, so that a
// failure leaves the table as it was.

#include "engine/record_sort.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <queue>
#include <vector>

#include "engine/btree.h"
#include "engine/cursor_internal.h"
#include "engine/data_cursor.h"
#include "engine/data_file.h"
#include "engine/data_table.h"
#include "engine/errors.h"
#include "engine/index_key.h"
#include "engine/session.h"
#include "engine/table_header.h"
#include "lib/byte_order.h"

namespace veldor {

int32_t SortChunkRecords(uint16_t recordSize) {
  if (recordSize == 0) return 8192;
  return std::clamp<int32_t>(int32_t(1048576 / recordSize), 1, 8192);
}

namespace {

constexpr const char* kTempExtension = ".TMP";
// Creates refused because another process took the name between the look and the create.
constexpr int kTempCreateAttempts = 16;

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }

// The sort key of a record over the sort fields: index layouts of at most 16 fields and
// 522 bytes each (what one layout takes), laid side by side, then the row identifier.
class TSortKey {
 public:
  // Each sort field must be a stored, non-BLOB field of `fields` (same number, type, offset
  // and slot size): VELDOR_OUTOFRANGE for a number that names no field, VELDOR_INVALIDFLDTYPE
  // for any other mismatch.
  TSortKey(const std::vector<TFieldDescriptor>& sortFields,
           const std::vector<TFieldDescriptor>& fields, const TCollation& collation,
           bool caseInsensitive, const std::string& table) {
    TIndexDescriptor segment;
    int count = 0, sum = 0;
    auto close = [&] {
      if (count == 0) return;
      segment.SetFieldCount(uint8_t(count));
      segment.SetUnique(true);  // no row identifier inside: it ends the whole key
      segment.SetCaseInsensitive(caseInsensitive);
      Segments_.push_back({std::make_unique<TKeyLayout>(segment, fields, collation), FieldsLength_});
      FieldsLength_ += sum;
      segment = TIndexDescriptor();
      count = sum = 0;
    };
    for (const TFieldDescriptor& wanted : sortFields) {
      const uint16_t number = wanted.FieldNumber();
      if (number == 0 || number > fields.size())
        RaiseEngineError(VELDOR_OUTOFRANGE, "", "", "", table, std::to_string(number), "", "");
      const TFieldDescriptor& field = fields[number - 1];
      if (wanted.FieldType() != field.FieldType() || wanted.SubType() != field.SubType() ||
          wanted.Offset() != field.Offset() || wanted.SlotSize() != field.SlotSize() ||
          wanted.Calculated() || field.FieldType() == FIELD_BLOB)
        RaiseEngineError(VELDOR_INVALIDFLDTYPE, "", "", "", table, field.FieldName(), "", "");
      const int part = (field.IsAutoInc() ? 4 : KeyLengthOf(field)) + 1;
      if (count == kMaxIndexFields || sum + part > kMaxKeyPartSum) close();
      segment.SetFieldNumber(count, number);
      segment.SetFieldDescending(count, wanted.Bytes[kSortDescendingOffset] != 0);
      ++count;
      sum += part;
    }
    close();
  }

  int Length() const { return FieldsLength_ + kRowIdKeyLength; }
  int FieldsLength() const { return FieldsLength_; }

  void Build(const uint8_t* record, uint8_t* key) const {
    for (const TSegment& s : Segments_) s.Layout->BuildKey(record, key + s.Offset);
    EncodeInt32Key(LoadI32(record + kRowIdOffset), key + FieldsLength_);
  }
  // -1, 0 or 1 over the sort fields alone.
  int CompareFields(const uint8_t* a, const uint8_t* b) const {
    for (const TSegment& s : Segments_) {
      const int r = s.Layout->Compare(a + s.Offset, b + s.Offset);
      if (r != 0) return r;
    }
    return 0;
  }
  // The total order: the fields, then the row identifier.
  int Compare(const uint8_t* a, const uint8_t* b) const {
    const int r = CompareFields(a, b);
    if (r != 0) return r;
    return Sign(std::memcmp(a + FieldsLength_, b + FieldsLength_, kRowIdKeyLength));
  }

 private:
  struct TSegment {
    std::unique_ptr<TKeyLayout> Layout;
    int Offset;
  };
  std::vector<TSegment> Segments_;
  int FieldsLength_ = 0;
};

// Output rows on their way to the file: numbered from 1 as they come, buffered, and handed
// to the sink in runs of consecutive numbers when the buffer is full and a row must go in.
// The last row stays in the buffer until the next one comes, so a group's row can still be
// folded into, finished or dropped.
class TOutputRows {
 public:
  // `sink(first, rows, count)`: rows `first`..`first + count - 1`, which it may change.
  using TSink = std::function<void(int32_t first, uint8_t* rows, size_t count)>;

  TOutputRows(size_t capacity, uint16_t recordSize, TSink sink)
      : Capacity_(std::max<size_t>(capacity, 1)),
        Size_(recordSize),
        Rows_(Capacity_ * recordSize),
        Sink_(std::move(sink)) {}

  void Emit(const uint8_t* row) {
    if (Buffered_ == Capacity_) Flush();
    uint8_t* at = &Rows_[Buffered_ * Size_];
    std::memcpy(at, row, Size_);
    ++Buffered_;
    ++Count_;
    at[kRecordDeletedOffset] = 0;
    StoreI32(at + kRecordNumberOffset, Count_);
  }
  uint8_t* Last() { return &Rows_[(Buffered_ - 1) * Size_]; }
  void DropLast() {
    --Buffered_;
    --Count_;
  }
  void Flush() {
    if (Buffered_ == 0) return;
    Sink_(Count_ - int32_t(Buffered_) + 1, Rows_.data(), Buffered_);
    Buffered_ = 0;
  }
  int32_t Count() const { return Count_; }

 private:
  size_t Capacity_;
  size_t Size_;
  std::vector<uint8_t> Rows_;
  TSink Sink_;
  size_t Buffered_ = 0;
  int32_t Count_ = 0;
};

// The output rules, fed the records in key order: every record (plain); the first of each
// run of equal sort fields (distinct); or one row per such run, folded, finished and
// filtered through the callbacks (grouping).
class TOutputRules {
 public:
  // Called with each record that distinct leaves out (grouping hands them to the callbacks).
  using TDropped = std::function<void(const uint8_t* record)>;

  TOutputRules(const TSortKey& keys, const TRecordSortCallbacks& callbacks,
               const TRecordSortOptions& options, TOutputRows& out, uint16_t recordSize,
               TDropped dropped = nullptr)
      : Dropped_(std::move(dropped)),
        Keys_(keys),
        Callbacks_(callbacks),
        Options_(options),
        Out_(out),
        LastKey_(size_t(keys.FieldsLength())),
        Scratch_(recordSize) {}

  void Take(const uint8_t* key, const uint8_t* record) {
    if (!Options_.Grouping && !Options_.Distinct) {
      Out_.Emit(record);
      return;
    }
    const bool same = Started_ && Keys_.CompareFields(key, LastKey_.data()) == 0;
    if (!Options_.Grouping) {
      if (!same)
        Emit(key, record);
      else if (Dropped_)
        Dropped_(record);
      return;
    }
    if (same) {
      if (Callbacks_.Accumulate) Callbacks_.Accumulate(false, Out_.Last(), record);
      return;
    }
    std::memcpy(Scratch_.data(), record, Scratch_.size());
    if (Callbacks_.Accumulate) Callbacks_.Accumulate(true, Scratch_.data(), Scratch_.data());
    if (Started_) CloseGroup();
    Emit(key, Scratch_.data());
  }
  // After the last record.
  void Finish() {
    if (Options_.Grouping && Started_) CloseGroup();
    Started_ = false;
  }

 private:
  void Emit(const uint8_t* key, const uint8_t* row) {
    Out_.Emit(row);
    std::memcpy(LastKey_.data(), key, LastKey_.size());
    Started_ = true;
  }
  void CloseGroup() {
    uint8_t* row = Out_.Last();
    if (Options_.UseFinish && Callbacks_.Finish) Callbacks_.Finish(row);
    if (Options_.UseFilter && Callbacks_.Filter && !Callbacks_.Filter(row)) Out_.DropLast();
  }

  TDropped Dropped_;
  const TSortKey& Keys_;
  const TRecordSortCallbacks& Callbacks_;
  const TRecordSortOptions& Options_;
  TOutputRows& Out_;
  std::vector<uint8_t> LastKey_;  // sort fields of the record that began the last output row
  std::vector<uint8_t> Scratch_;  // a group's first row while the previous group closes
  bool Started_ = false;
};

// One temporary file of the sort: named <directory><first five digits of the thread
// number><counter>.TMP with the first counter from 0 whose name is free, created exclusive
// and temporary in the table's kind of storage, so that closing it (the destructor, on
// every path) also deletes it.
class TSortTempFile {
 public:
  TSortTempFile(const std::string& directory, bool inMemory) {
    File_.SetInMemory(inMemory);
    File_.SetExclusive(true);
    File_.SetTemporary(true);
    const std::string prefix =
        std::to_string(std::llabs(static_cast<long long>(gettid()))).substr(0, 5);
    int refused = 0;
    for (unsigned long long n = 0;; ++n) {
      File_.SetFileName(directory + prefix + std::to_string(n) + kTempExtension);
      if (File_.Exists()) continue;
      try {
        File_.Create();
        return;
      } catch (const EVELDOREngineError& e) {
        if (e.ErrorCode != VELDOR_OSEACCES || ++refused >= kTempCreateAttempts) throw;
      }
    }
  }
  ~TSortTempFile() {
    try {
      File_.Close();
    } catch (...) {
      // The handle is gone either way; a disk file whose close failed is unlinked at exit.
    }
  }
  TSortTempFile(const TSortTempFile&) = delete;
  TSortTempFile& operator=(const TSortTempFile&) = delete;

  void WriteAt(int64_t offset, const uint8_t* data, size_t count) {
    TFileSection section(File_);
    File_.Seek(kSeekFromStart, offset);
    File_.Write(data, count);
  }
  // The whole `count` bytes, else VELDOR_READERR.
  void ReadAt(int64_t offset, uint8_t* data, size_t count) {
    TFileSection section(File_);
    File_.Seek(kSeekFromStart, offset);
    File_.Read(data, count);
  }

 private:
  TFileHandler File_;
};

// The runs of an external sort: each a temporary file of entries (key, then record image)
// in key order, each entry scrambled as one block when the table is encrypted. The merge
// keeps one entry of each run in memory and picks the smallest through a heap.
class TRunSet {
 public:
  TRunSet(const TSortKey& keys, uint16_t recordSize, bool scrambled, std::string directory,
          bool inMemory)
      : Keys_(keys),
        KeyLength_(size_t(keys.Length())),
        EntrySize_(KeyLength_ + recordSize),
        Scrambled_(scrambled),
        Directory_(std::move(directory)),
        InMemory_(inMemory) {}

  // Sorts `count` records (image i at images + i x record size, its key at
  // keys + i x key length) into a new run file.
  void Add(const uint8_t* images, const uint8_t* keys, int32_t count) {
    const size_t recordSize = EntrySize_ - KeyLength_;
    Order_.resize(size_t(count));
    std::iota(Order_.begin(), Order_.end(), size_t(0));
    std::sort(Order_.begin(), Order_.end(), [&](size_t a, size_t b) {
      return Keys_.Compare(keys + a * KeyLength_, keys + b * KeyLength_) < 0;
    });
    GrowBuffer(Entries_, Order_.size() * EntrySize_);
    for (size_t k = 0; k < Order_.size(); ++k) {
      uint8_t* entry = &Entries_[k * EntrySize_];
      std::memcpy(entry, keys + Order_[k] * KeyLength_, KeyLength_);
      std::memcpy(entry + KeyLength_, images + Order_[k] * recordSize, recordSize);
      if (Scrambled_) ScrambleTableData(entry, EntrySize_);
    }
    Files_.push_back(std::make_unique<TSortTempFile>(Directory_, InMemory_));
    Files_.back()->WriteAt(0, Entries_.data(), Order_.size() * EntrySize_);
    Lengths_.push_back(count);
  }
  size_t Count() const { return Files_.size(); }

  // Calls take(key, record) for every entry of every run, in key order; the pointers are
  // good for the call only.
  template <typename Fn>
  void Merge(Fn take) {
    std::vector<uint8_t> heads(Files_.size() * EntrySize_);
    std::vector<int32_t> read(Files_.size(), 0);
    auto readHead = [&](size_t run) {
      uint8_t* entry = &heads[run * EntrySize_];
      Files_[run]->ReadAt(int64_t(read[run]) * int64_t(EntrySize_), entry, EntrySize_);
      if (Scrambled_) ScrambleTableData(entry, EntrySize_);
      ++read[run];
    };
    auto above = [&](size_t a, size_t b) {
      return Keys_.Compare(&heads[a * EntrySize_], &heads[b * EntrySize_]) > 0;
    };
    std::priority_queue<size_t, std::vector<size_t>, decltype(above)> queue(above);
    for (size_t run = 0; run < Files_.size(); ++run) {
      readHead(run);
      queue.push(run);
    }
    while (!queue.empty()) {
      const size_t run = queue.top();
      queue.pop();
      const uint8_t* entry = &heads[run * EntrySize_];
      take(entry, entry + KeyLength_);
      if (read[run] < Lengths_[run]) {
        readHead(run);
        queue.push(run);
      }
    }
  }

 private:
  const TSortKey& Keys_;
  size_t KeyLength_;
  size_t EntrySize_;
  bool Scrambled_;
  std::string Directory_;
  bool InMemory_;
  std::vector<std::unique_ptr<TSortTempFile>> Files_;  // closed, and so deleted, with the set
  std::vector<int32_t> Lengths_;
  std::vector<uint8_t> Entries_;
  std::vector<size_t> Order_;
};

// Gives "Sys Deleted" the keys of the records as they now stand: every one live, its entry
// naming its new number.
void RebuildStatusIndex(TDataFile& data, TIndexFile& index, int32_t chunk) {
  const TKeyLayout layout = TKeyLayout::SysDeleted();
  TBTree tree(index, kSysDeletedIndex, layout);
  tree.FreeAllPages();
  TIndexPath path;
  std::vector<uint8_t> images, key(size_t(layout.KeyLength()));
  const uint16_t size = data.Header().RecordSize();
  for (int32_t first = 1; first <= data.RecordCount();) {
    int32_t count = chunk;
    data.PeekRun(first, count, nullptr, images);
    for (int32_t i = 0; i < count; ++i) {
      layout.BuildKey(&images[size_t(i) * size], key.data());
      tree.Insert(key.data(), first + i, path);
    }
    first += count;
  }
}

}  // namespace

TRecordSortResult TDataFile::SortRecords(const std::vector<TFieldDescriptor>& sortFields,
                                         const TRecordSortCallbacks& callbacks,
                                         const TRecordSortOptions& options) {
  const std::string& name = Table_->Name();
  TIndexFile& index = Table_->IndexFile();
  // Every refusal before the first change. New record numbers would leave a user index
  // naming the wrong records, and deleted slots would come back to life as records.
  const bool indexed = index.IsOpen();
  if (indexed && (!index.NoUserPrimary() || index.SecondaryCount() > 0))
    RaiseTableError(VELDOR_INDEXLIMIT, name);
  const int32_t records = RecordCount();
  if (Header_.FirstDeleted() != 0 || (indexed && index.ActiveRecords() != records))
    RaiseTableError(VELDOR_KEYORRECDELETED, name);
  const uint16_t recordSize = Header_.RecordSize();
  if (recordSize < kRecordPrefixSize) Corrupt();
  const TSortKey keys(sortFields, Fields_, Table_->Collation(), options.CaseInsensitive, name);
  const size_t keyLength = size_t(keys.Length());
  const int32_t chunk = SortChunkRecords(recordSize);

  TRecordSortResult result;
  result.Records = records;
  if (records == 0) {
    result.InMemory = true;
    return result;
  }

  // Output rows go to the records from slot 1 on (scrambled in place when encrypted).
  auto writeRecords = [&](int32_t first, uint8_t* rows, size_t count) {
    if (Encrypted())
      for (size_t i = 0; i < count; ++i) ScrambleTableData(rows + i * recordSize, recordSize);
    TFileSection section(*this);
    Seek(kSeekFromStart, int64_t(RecordsStart() + uint64_t(first - 1) * recordSize));
    Write(rows, count * recordSize);
  };

  // The BLOB values of records that distinct leaves out, freed once the records are written.
  std::vector<TBlobBuffer> orphans;
  TOutputRules::TDropped dropped;
  if (options.Distinct && !options.Grouping && Table_->HasBlobFile()) {
    dropped = [&](const uint8_t* record) {
      for (const TFieldDescriptor& f : Fields_) {
        if (f.FieldType() != FIELD_BLOB) continue;
        TBlobBuffer value = StoredBlob(record, f);
        if (value.FirstBlock > 0) orphans.push_back(std::move(value));
      }
    };
  }

  bool allCached = Cache_.Size() == size_t(records);
  if (allCached) {
    Cache_.ForEach([&](int32_t n, TRecord* r) {
      if (r->Stale_ || n < 1 || n > records || r->RecordNumber_ != n) allCached = false;
    });
  }

  int32_t output = 0;
  if (allCached) {
    // Every record is in the cache: sort the buffers and write the output with one write.
    std::vector<const TRecord*> rows;
    rows.reserve(size_t(records));
    Cache_.ForEach([&](int32_t, TRecord* r) { rows.push_back(r); });
    std::vector<uint8_t> keyBytes(rows.size() * keyLength);
    for (size_t i = 0; i < rows.size(); ++i) {
      if (rows[i]->Deleted()) Corrupt();
      keys.Build(rows[i]->Data(), &keyBytes[i * keyLength]);
    }
    std::vector<size_t> order(rows.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) {
      return keys.Compare(&keyBytes[a * keyLength], &keyBytes[b * keyLength]) < 0;
    });
    TOutputRows out(rows.size(), recordSize, writeRecords);
    TOutputRules rules(keys, callbacks, options, out, recordSize, dropped);
    for (size_t i : order) rules.Take(&keyBytes[i * keyLength], rows[i]->Data());
    rules.Finish();
    out.Flush();
    output = out.Count();
    result.InMemory = true;
    DropCache();
  } else {
    WriteBack(false);
    DropCache();
    TRunSet runs(keys, recordSize, Encrypted(), options.WorkDirectory, InMemory());
    {
      std::vector<uint8_t> images, keyBytes(size_t(chunk) * keyLength);
      for (int32_t first = 1; first <= records; first += chunk) {
        const int32_t count = std::min(chunk, records - first + 1);
        if (ReadSlots(first, count, images) < count) Corrupt();
        for (int32_t i = 0; i < count; ++i) {
          uint8_t* image = &images[size_t(i) * recordSize];
          if (Encrypted()) ScrambleTableData(image, recordSize);
          if (image[kRecordDeletedOffset] != 0) Corrupt();
          keys.Build(image, &keyBytes[size_t(i) * keyLength]);
        }
        runs.Add(images.data(), keyBytes.data(), count);
      }
    }
    result.Runs = int(runs.Count());
    // A grouping sort's callbacks may fail: its output waits in a file of its own.
    std::unique_ptr<TSortTempFile> staged;
    if (options.Grouping) staged = std::make_unique<TSortTempFile>(options.WorkDirectory, InMemory());
    TOutputRows out(size_t(chunk), recordSize,
                    staged ? TOutputRows::TSink([&](int32_t first, uint8_t* rows, size_t count) {
                      if (Encrypted())
                        for (size_t i = 0; i < count; ++i)
                          ScrambleTableData(rows + i * recordSize, recordSize);
                      staged->WriteAt(int64_t(first - 1) * recordSize, rows, count * recordSize);
                    })
                           : TOutputRows::TSink(writeRecords));
    TOutputRules rules(keys, callbacks, options, out, recordSize, dropped);
    runs.Merge([&](const uint8_t* key, const uint8_t* record) { rules.Take(key, record); });
    rules.Finish();
    out.Flush();
    output = out.Count();
    if (staged) {
      std::vector<uint8_t> block(size_t(chunk) * recordSize);
      for (int32_t first = 1; first <= output; first += chunk) {
        const int32_t count = std::min(chunk, output - first + 1);
        const size_t bytes = size_t(count) * recordSize;
        staged->ReadAt(int64_t(first - 1) * recordSize, block.data(), bytes);
        TFileSection section(*this);
        Seek(kSeekFromStart, int64_t(RecordsStart() + uint64_t(first - 1) * recordSize));
        Write(block.data(), bytes);
      }
    }
  }

  if (options.Distinct || options.Grouping) {
    {
      TFileSection section(*this);
      Seek(kSeekFromStart, int64_t(RecordsStart() + uint64_t(output) * recordSize));
      Write(nullptr, 0);
    }
    Header_.SetNextRecordNumber(output + 1);
    if (indexed) index.SetActiveRecords(output);
  }
  if (Table_->ForceBufferFlush()) Flush();
  Table_->MarkWritten();
  MarkHeaderChanged();
  if (indexed) {
    RebuildStatusIndex(*this, index, chunk);
    index.SetHeaderChanged();
  }
  for (TBlobBuffer& value : orphans) value.Delete(Table_->BlobFile());
  result.Records = output;
  return result;
}

TRecordSortResult TDataCursor::SortRecords(const std::vector<TFieldDescriptor>& sortFields,
                                           const TRecordSortCallbacks& callbacks,
                                           TRecordSortOptions options) {
  RequireOpen();
  RequireExclusive();
  RefuseInTransaction();
  TDataTable& table = *Table_;
  // Clones of this cursor would lose their records under them.
  if (table.OpenCount() > 1) RaiseTableError(VELDOR_TABLEOPEN, TableName_);
  const TDataSession* session = Database_ ? Database_->Session() : nullptr;
  options.WorkDirectory = session ? session->GetPrivateDirectory() : "";
  ForgetWalkWindow();
  TRecordSortResult result;
  {
    TWritingMark writing(Writing_);
    TWriteLockGuard lock(table);
    table.Flush();
    result = table.DataFile().SortRecords(sortFields, callbacks, options);
    table.Flush(false, true, false, true, false);
  }
  ReloadAfterRewrite();
  return result;
}

}  // namespace veldor
