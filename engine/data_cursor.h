// The cursor: one open table as a programmer or a component sees it.
//
// `TDataCursor` owns its position (current index, leaf page and slot or physical record
// number, crack flags, record buffer), its range, its visible-set bitmaps, its open BLOB
// buffers, its descriptor copies and its key layouts. It does not own the table object
// (`TDataTable`, shared by every cursor of the database) nor the database, which
// registers it. A cursor is used by one thread at a time.
//
// Every positioning or reading operation runs inside an operation bracket: it first checks
// whether another cursor, session or process changed the table (the change counters, and
// under StrictChangeDetection the table's read lock) and re-synchronises; without strict
// detection, a page or record that must be read from disk takes the read lock first and a
// change found then restarts the operation. The read lock is released when the operation
// ends, on every path. Writes take the table's write lock, then the record lock.
//
// Only the local algorithms live here; a remote cursor will send one request per operation
// from these same entry points, and nothing local looks at the remote flag.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/btree.h"
#include "engine/data_table.h"
#include "engine/field_types.h"
#include "engine/filter.h"
#include "engine/index_key.h"
#include "engine/session.h"
#include "lib/records_bitmap.h"

namespace veldor {

class TBlobBuffer;
class TCollation;
class TDataCursor;
struct TRecordSortCallbacks;
struct TRecordSortOptions;
struct TRecordSortResult;

// Index numbers with a meaning of their own.
inline constexpr int kNaturalOrder = 255;
inline constexpr int kMaxOpenBlobs = 64;
inline constexpr int kNaturalBookmarkSize = 4;

// Owner tags of open BLOB buffers and their access modes.
inline constexpr uint8_t kBlobOwnerCaller = 0;
inline constexpr uint8_t kBlobOwnerEngine = 1;
inline constexpr uint8_t kBlobRead = 1;
inline constexpr uint8_t kBlobWrite = 2;

// What a table is made of, read from an open or a closed table.
struct TTableInformation {
  std::vector<TFieldDescriptor> Fields;
  std::vector<TIndexDescriptor> Indexes;  // the primary first
  bool NoPrimaryKey = false;
  uint16_t RecordSize = 0;
  uint32_t BlobBlockSize = 0;
  int16_t Language = 0;
  uint16_t Sort = 0;
  int16_t UserMajorVersion = 0;
  int16_t UserMinorVersion = 0;
  std::string Description;
  bool Encrypted = false;
  std::string Password;
  int32_t LastAutoInc = 0;
  int32_t RecordCount = 0;
};

// Checks a definition in the order the engine reports problems (password, language, counts,
// BLOB block size, each field, each index) and normalises it: names trimmed, sizes, offsets
// and key lengths computed. Field numbers identify fields and indexes refer to them.
void ValidateTableDefinition(TTableDefinition& definition, bool allowNoPrimary,
                             int32_t lastAutoInc, const std::string& tableName);

class TDataCursor : public TDatabaseObject {
 public:
  // Asked when an encrypted table's password is not among the session's: add passwords to
  // the session and return true to have them checked again, false to give up.
  using TPasswordCallback = std::function<bool(TDataCursor& cursor)>;
  // Computes the calculated fields of a record image in place (result sets only).
  using TCalculateCallback = std::function<void(TDataCursor& cursor, uint8_t* record)>;

  // Registers with `database` (which must outlive the cursor or destroy it first).
  explicit TDataCursor(TDataDirectory* database, bool privateHandle = false);
  // Closes (releasing the table) and unregisters. Never throws.
  ~TDataCursor() override;
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  // ---- Options: only while closed (VELDOR_TABLEOPEN otherwise) ----
  // The file name part of `name`, without a trailing ".DAT" in any case.
  void SetTableName(const std::string& name);
  const std::string& TableName() const { return TableName_; }
  void SetExclusive(bool value);
  void SetReadOnly(bool value);
  void SetInMemory(bool value);
  // Set by the SQL engine: an SQL source table opens in natural order; a result table
  // skips the key checks of writes unless it is also a source table.
  void SetSqlFlags(bool sourceTable, bool resultCursor, bool temporaryResult);
  bool Exclusive() const { return Exclusive_; }
  // After Open, also true when the table's files could only be opened for reading.
  bool ReadOnly() const { return ReadOnly_; }
  bool InMemory() const { return InMemory_; }
  bool CloneOfExclusive() const { return CloneOfExclusive_; }
  void SetPasswordCallback(TPasswordCallback callback) { PasswordCallback_ = std::move(callback); }
  // Descriptors that the cursor uses instead of the table's (restructuring's target, result
  // sets with calculated fields); the stored fields must lay out as the table's do.
  void SetPrivateDescriptors(std::vector<TFieldDescriptor> fields);
  void SetCalculateCallback(TCalculateCallback callback) { Calculate_ = std::move(callback); }

  // ---- Open, close, clone ----
  // Opens the table through the database, checks headers and password, selects the
  // primary index (natural order for an SQL source table) and stands before the first
  // record. A failure leaves the cursor closed and the table released.
  void Open();
  // Frees open BLOB buffers unwritten, gives back the table (the last user closes its
  // files when `release`). Does nothing when closed.
  void Close(bool release = true);
  bool IsOpen() const { return Open_; }
  // A new open cursor on the same table, index, range and record. The caller owns it.
  std::unique_ptr<TDataCursor> Clone();
  void DestroyByDatabase() override;

  // ---- Layout ----
  TDataTable* Table() const { return Table_; }
  TDataDirectory* Database() const { return Database_; }
  uint16_t FieldCount() const { return uint16_t(Fields_.size()); }
  uint16_t RecordSize() const { return RecordSize_; }
  // Field by number (1-based) or name (without regard to case); VELDOR_OUTOFRANGE when
  // there is none.
  const TFieldDescriptor& Field(uint16_t number) const;
  uint16_t FieldNumber(const std::string& name) const;
  const std::vector<TFieldDescriptor>& Fields() const { return Fields_; }
  const TCollation& Collation() const { return *Collation_; }

  // ---- Index selection ----
  // "" selects the primary index; names compare without regard to case. An unknown name
  // raises VELDOR_INVALIDINDEXNAME and leaves the index selected but the range cleared.
  void SetIndexName(const std::string& name);
  // 0 = primary, 1..n secondary, 255 = natural order.
  void SetIndexNumber(int number);
  int IndexNumber() const { return IndexNumber_; }
  const std::string& IndexName() const { return IndexName_; }
  // Natural order: index 255, or the primary index of a table without primary key fields.
  bool NaturalOrder() const { return NaturalOrder_; }
  bool BitmapMode() const { return BitmapMode_; }
  int KeySize() const { return NaturalOrder_ ? 0 : Layout().KeyLength(); }
  // The key layout of the current index (in natural order: of the primary index).
  const TKeyLayout& Layout() const;
  const TKeyLayout& LayoutOf(int index) const;

  // ---- Positioning (results are codes, not raised) ----
  void SetToBegin();
  void SetToEnd();
  // 0, VELDOR_BOF, VELDOR_EOF or VELDOR_NOCURRREC; `buffer` (RecordSize bytes, may be
  // null) receives the record, or zeros with a non-zero result.
  uint16_t GetNextRecord(uint8_t* buffer, bool batch = false);
  uint16_t GetPriorRecord(uint8_t* buffer, bool batch = false);
  // With `lock`: locks the current record and (unless Exclusive) compares it with the
  // image in `buffer`; a difference unlocks it and raises VELDOR_KEYORRECDELETED.
  uint16_t GetCurrentRecord(uint8_t* buffer, bool lock = false);
  void SetToRecNo(int64_t number);
  // 0 or VELDOR_RECNOTFOUND: the record `other` stands on.
  uint16_t SetToRecBuf(TDataCursor& other);
  bool SetToBookmark(const uint8_t* bookmark, bool keepCrack = false, bool skipCheck = false);
  // Key search; see the contract of each argument in the implementation.
  bool Find(bool dataIsKey, const uint8_t* data, uint8_t* out, int partialLength, bool nearest,
            int fieldCount);
  // Inclusive bounds; null start or end gives the lowest or highest key. Counts below the
  // index's field count (or a non-unique index) make a partial bound.
  void SetRange(bool dataIsKey, const uint8_t* start, int endFieldCount, const uint8_t* end,
                int startFieldCount);
  void ResetRange();
  bool RangeActive() const { return RangeActive_; }
  // Re-reads the headers under the read lock, recomputes the range limits and the visible
  // set and re-seeks the current record.
  void Refresh();

  bool Bof() const {
    SettlePending();
    return Bof_;
  }
  bool Eof() const {
    SettlePending();
    return Eof_;
  }
  // The logical number: 1-based among visible records (natural order) or in the range.
  // Both first take in what a sibling cursor or a rollback changed (see SyncWithSiblings).
  int64_t GetRecNo();
  int64_t GetRecordCount();
  // The physical number of the current record, 0 when there is none.
  int32_t CurrentRecordNumber() const;
  // The record buffer: the current record image (zeros without a current record).
  const uint8_t* RecordBuffer() const {
    SettlePending();
    return RecordBuffer_.data();
  }

  // ---- Keys and bookmarks ----
  int BookmarkSize() const { return NaturalOrder_ ? kNaturalBookmarkSize : KeySize(); }
  void GetBookmark(uint8_t* bookmark) const;
  int CompareBookmarks(const uint8_t* a, const uint8_t* b) const;
  // The key of `record` in the current index (KeySize bytes).
  void BuildKey(const uint8_t* record, uint8_t* key) const;
  int CompareKeys(const uint8_t* a, const uint8_t* b, int length) const;
  void FillKeyLow(uint8_t* key, int from) const;
  void FillKeyHigh(uint8_t* key, int from) const;
  // The smallest key above the first `length` bytes (NextKey) or the greatest below them.
  void NextKey(uint8_t* key, int length) const;
  void PriorKey(uint8_t* key, int length) const;

  // ---- Field and BLOB access ----
  // True when null; `value` receives the slot bytes (slot size; 4 for BLOB references).
  bool GetField(uint16_t field, const uint8_t* record, void* value) const;
  // `value` null clears the field. Writes to calculated fields are ignored.
  void PutField(uint16_t field, uint8_t* record, const void* value);
  uint16_t OpenBlob(uint16_t field, uint8_t* record, uint8_t owner, bool byTableNumber,
                    uint8_t access);
  uint16_t FreeBlob(uint16_t field, uint8_t* record, uint8_t owner, bool byTableNumber);
  void FreeAllBlobs(bool all);
  // `count` receives the bytes copied; VELDOR_ENDOFBLOB when fewer than `length` remained.
  uint16_t GetBlob(uint16_t field, const uint8_t* record, bool byTableNumber, uint32_t offset,
                   uint32_t length, void* destination, uint32_t& count);
  uint16_t PutBlob(uint16_t field, uint8_t* record, bool byTableNumber, uint32_t offset,
                   uint32_t length, const void* source);
  uint16_t TruncateBlob(uint16_t field, uint8_t* record, bool byTableNumber, uint32_t length);
  uint16_t GetBlobSize(uint16_t field, const uint8_t* record, bool byTableNumber,
                       uint32_t& length);
  int OpenBlobCount() const;
  // The value of the field numbered node.FieldNumber in `record` as an expression value
  // (text NUL-terminated, a BLOB read whole); a number outside the fields gives NULL. What
  // filters and SQL evaluate columns with.
  void FetchColumn(const uint8_t* record, TExpToken& node);

  // ---- Filters ----
  // A new, inactive filter from expression text (parsed, checked and prepared here), a
  // prepared tree (owned when `ownsExpression`) or a callback. VELDOR_INTERNALLIMIT for a
  // 65th filter, VELDOR_INVALIDFILTER for a text that is empty, wrong or not boolean, or
  // when nothing is given. The cursor owns the filter until DropFilter or Close.
  TFilter* AddFilter(void* callbackData, const char* expression, bool noPartialCompare,
                     bool caseInsensitive, bool estimate, bool afterExpressions,
                     TFilter::TCallback callback = nullptr, bool ownsExpression = true,
                     TExpToken* prepared = nullptr);
  // `filter` null: every filter. VELDOR_NOSUCHFILTER for a filter of another cursor. The
  // cursor stays on its record when that record is still visible.
  void ActivateFilter(TFilter* filter);
  void DeactivateFilter(TFilter* filter);
  void DropFilter(TFilter* filter);
  // Replaces the tree of an active filter (VELDOR_NOSUCHFILTER otherwise) and rebuilds it.
  void SetFilterExpression(TExpToken* tree, TFilter* filter);
  size_t FilterCount() const { return Filters_.size(); }
  TFilter* FilterAt(size_t index) const { return Filters_.at(index).get(); }

  // ---- Maintenance ----
  // Hooks (none set: the operation goes on as if told to continue).
  std::function<void(int percent)> IndexProgress;
  std::function<void(int percent)> RestructureProgress;
  // Causes: 0 other error, 1 key violation (index name), 2 validation (field name), 3 a
  // dropped field, 4 a value that does not convert (field name).
  std::function<void(int cause, const std::string& context, bool& continueRestructure,
                     bool& stopAsking)>
      DataLost;
  // Needs Exclusive (VELDOR_NEEDEXCLACCESS), not ReadOnly, a closed cursor; an existing
  // table raises VELDOR_TABLEEXISTS unless `overwrite`. The cursor stays closed.
  void CreateTable(const TTableDefinition& definition, bool overwrite, bool allowNoPrimary);
  // Closed cursor, Exclusive, not ReadOnly. New field numbers name the old field whose data
  // they receive; `lastAutoInc` -1 keeps the table's. The cursor stays closed.
  void RestructureTable(const TTableDefinition& definition, bool noBackup, int32_t lastAutoInc,
                        bool allowNoPrimary);
  // Open Exclusive cursor. Records that violate a new unique index are removed (the lowest
  // record number stays). The cursor ends before the first record.
  void AddIndex(TIndexDescriptor definition);
  void DeleteIndex(const std::string& name, bool removeDefinition);
  // Open Exclusive cursor; refused (VELDOR_TABLEOPEN) while the table is in a transaction,
  // as RestructureTable is.
  void EmptyTable();
  // Closed cursor (VELDOR_TABLEOPEN).
  void DeleteTable();
  void RenameTable(const std::string& newName);
  // Sorts the table's data file (TDataFile::SortRecords), its run files in the session's
  // private directory. The table must be this cursor's own: an open Exclusive cursor
  // (VELDOR_NEEDEXCLACCESS), writable (VELDOR_OSEACCES), the table's only user and outside
  // a transaction (VELDOR_TABLEOPEN); the data file's own refusals follow (a user index
  // VELDOR_INDEXLIMIT, deleted slots VELDOR_KEYORRECDELETED, bad sort fields). Everything
  // is written back before and after; the cursor ends before the first record.
  TRecordSortResult SortRecords(const std::vector<TFieldDescriptor>& sortFields,
                                const TRecordSortCallbacks& callbacks,
                                TRecordSortOptions options);
  TDataHeader GetDataHeader();
  TTableInformation GetTableInformation();

  // ---- Editing ----
  // A new image with the fields' defaults.
  void InitRecord(uint8_t* buffer);
  // VELDOR_REQDERR, VELDOR_MINVALERR or VELDOR_MAXVALERR naming the field.
  void ValidateRecord(const uint8_t* record);
  // All data checks run before the first change: a failure leaves the table unchanged.
  void AppendRecord(uint8_t* record, bool reposition = true);
  // The current record (locked by this cursor, or locked for the call) becomes `record`.
  void ModifyRecord(uint8_t* record, bool unlock = true, bool reposition = true);
  // Deletes the current record; `record` is the image the caller holds.
  void DeleteRecord(const uint8_t* record, bool reposition = true);
  uint16_t CloneCurrentRecord(uint8_t* buffer);
  // 0 = the current record.
  void LockRecord(int32_t record = 0);
  void UnlockRecord(int32_t record = 0);
  void FlushBuffers(bool force, bool trimCaches, bool blobHeader, bool indexHeader,
                    bool dataHeader);
  // Takes the table's change counters as this cursor's own, so that a change it made
  // itself (an intermediate commit of a long statement) does not read as another user's.
  void AcceptOwnChanges() { SaveCounters(); }
  // Kept only on a table with an auto-increment field.
  void SetSuppressAutoInc(bool value);
  bool SuppressAutoInc() const { return SuppressAutoInc_; }

  // ---- What the table's files ask of the cursor ----
  // Records from the current one on that follow in the cursor's order with consecutive
  // record numbers, at most `limit`.
  int ReadAheadCount(int limit, bool forward);
  // The records after `record` (the current one) that the cursor visits next on its leaf
  // in index order, within the range and the visible set; at most `limit`.
  int UpcomingRecords(int32_t record, bool forward, int32_t* out, int limit);
  // Recomputes range limits and visible set and returns to the saved bookmark.
  void Resync();

 private:
  struct TRestart {};  // a read found the table changed: start the operation over
  class THooks;
  friend class THooks;
  class TScanHooks;
  struct TKeySelection;
  class TBracket;

  // A place in the current index: leaf page, entry (1-based) and ordinal in the index.
  struct TSpot {
    int Index = 0;
    int32_t Page = 0;
    int Slot = 0;
    int64_t Logical = 0;
  };

  void CheckClosed() const;
  void RequireOpen() const;
  // ---- Bracket and change detection ----
  void BeginRead();
  void EndRead() noexcept;
  void SyncWithSiblings();
  void ResyncLocal();
  void SelectIndex(int number);
  bool CountersChanged();
  void SaveCounters();
  // Runs `body` inside the bracket, starting over after a restart.
  template <typename Fn>
  auto Bracketed(Fn body) -> decltype(body());
  template <typename Fn>
  auto Restartable(Fn body) -> decltype(body());
  TReadHooks* Hooks();
  TPage* ReadPage(int32_t page, int index);
  TRecord* ReadRecord(int32_t number, bool forward);

  // ---- Open helpers ----
  void OpenLocal();
  void CheckPassword();
  void RequirePassword(const std::string& password);
  void LoadLayout();
  void BuildLayouts();
  std::vector<uint8_t> IndexDefinitions() const;
  bool RefreshLayouts();
  void RebuildSysDeleted();
  void LoadIndex(int number);
  // After the table's records were rewritten under the cursor (emptied, sorted): takes the
  // new counters, layouts and index, rebuilds the range and the visible set, and goes to
  // the beginning.
  void ReloadAfterRewrite();

  // ---- Position ----
  void TakeEmptyState();
  void TakeSpot(const TSpot& spot, int32_t record, const std::vector<uint8_t>& key);
  bool HasVisibleRecords() const;
  void GoFirst();
  void GoLast();
  void MoveBy(int64_t n);
  void LoadRecordBuffer();
  // LoadRecordBuffer for a step of a walk: from the walk window, refilled as it runs out.
  void LoadWalkRecord();
  // One step of a walk taken from the window: the next entry and its record, without a
  // search or a read. False when the window cannot vouch for it (the caller steps as usual).
  bool StepInWindow(bool forward);
  // Forgets the window (the range, the filters or the position changed).
  void ForgetWalkWindow();
  // Fills the walk window with `number` and the records after it on its leaf; false when
  // this is no walk or the file cannot be copied that way (the caller reads as usual).
  bool FillWalkWindow(int32_t number);
  void Calculate(uint8_t* record);
  bool Visible(int32_t record) const;
  // Leaf entries of an index (the spot's); false at the end of the chain or past a page.
  bool ReadSpot(const TSpot& spot, int32_t& record, std::vector<uint8_t>& key);
  bool StepSpot(TSpot& spot, bool forward, int32_t& record, std::vector<uint8_t>& key);
  bool WalkToVisible(TSpot& spot, bool forward, int32_t& record, std::vector<uint8_t>& key);
  bool SeekSpot(int64_t ordinal, TSpot& spot, int32_t& record, std::vector<uint8_t>& key);
  // The first key at or above `target` (lower) or the last at or below it; false when
  // there is none (spot.Page stays 0 only for an empty index).
  bool BoundSpot(const uint8_t* target, bool lower, TSpot& spot, int32_t& record,
                 std::vector<uint8_t>& key, int index = -1);
  bool CurrentSpotValid();
  bool InRange(int64_t logical) const { return logical >= First_ && logical <= Last_; }
  bool SearchKey(const uint8_t* key, bool nearest, bool keepCrack);
  bool FindCasedPrefix(const uint8_t* key, int length);
  void NaturalSeek(int32_t physical);
  void KeepNaturalCrack(bool bof, bool eof);
  void Reseek();
  void SetToBookmarkLocal(const uint8_t* bookmark, bool keepCrack);
  int PartialLength(int fieldCount, int partialLength) const;
  void StepKey(uint8_t* key, int length, bool up) const;
  void MakeBound(bool dataIsKey, const uint8_t* data, int count, bool high, uint8_t* key) const;

  // ---- Range and visible set ----
  void ComputeRangeLimits();
  void RebuildVisible();
  void Combine();
  void ComputeLive();
  void ComputeRangeBitmap();
  // Marks the records of the keys from `low` to `high` of index `index` into `bitmap`.
  void MarkKeys(int index, const uint8_t* low, const uint8_t* high, TRecordsBitmap& bitmap,
                bool clear);
  int64_t CountKeys(int index, const uint8_t* low, const uint8_t* high);
  void UpdateBitmapMode();
  void AfterWrite(int32_t record, const uint8_t* image, bool deleted);
  void ReleaseBitmaps();

  // ---- Filters ----
  size_t FilterIndex(const TFilter* filter) const;
  void RequireFilter(const TFilter* filter) const;
  bool AnyActiveFilter() const;
  void BindColumn(TExpToken& node) const;
  int IndexForColumn(const TExpToken* node) const;
  uint16_t TestedColumnNumber(const TExpToken* node) const;
  uint8_t Optimize(TExpToken* node, bool estimate, bool root);
  uint8_t OptimizeTerm(TExpToken* node, bool estimate, bool root);
  int64_t FirstOrdinal(int index, const uint8_t* key, int length, bool strict);
  int64_t LastOrdinal(int index, const uint8_t* key, int length, bool strict);
  TKeySelection SelectKeys(const TExpToken* node, int index);
  void MarkOrdinals(int index, int64_t first, int64_t last, TRecordsBitmap& bitmap);
  void MarkSelection(const TExpToken* node, int index, TRecordsBitmap& bitmap, bool estimate);
  bool Accepts(const TExpToken* node, const uint8_t* record);
  bool FilterAccepts(TFilter& filter, const uint8_t* record, int32_t number);
  void Scan(const TExpToken* node, TFilter* callback, TRecordsBitmap& bitmap, bool underAnd);
  void EvaluateInto(TExpToken* node, TRecordsBitmap& bitmap, bool underAnd, bool estimate);
  // Whether EvaluateInto marks `node` from one index alone, whatever the bitmap held.
  bool SelectsDirectly(const TExpToken* node);
  // After a filter is activated: takes the count from the index and leaves the bitmaps and
  // the position pending, when that gives what building them would; false otherwise.
  bool DeferVisible();
  // Builds what DeferVisible left pending and positions the cursor as the activation would
  // have; nothing when nothing is pending. Every operation but the count calls it first.
  void SettleVisible();
  void SettlePending() const {
    if (VisiblePending_ || (BeginPending_ && KeepBegin_ == 0)) const_cast<TDataCursor*>(this)->SettleAll();
  }
  // SettleVisible, then the first position an open left pending (unless an operation that
  // needs no position keeps it pending).
  void SettleAll();
  void BuildFilterBitmap(TFilter& filter);
  void RefreshFilterBitmaps();

  // ---- Maintenance helpers ----
  void RequireExclusive() const;
  void RefuseInTransaction() const;
  void RemoveRecord(int32_t number, const std::vector<bool>& skip);
  bool ReleaseBlobs(const uint8_t* record);
  void ClearBlobSlots(uint8_t* record) const;
  void FillIndex(int slot);
  bool ReportDataLost(int cause, const std::string& context, bool& stopAsking);
  // Rebuilds the indexes whose definition changed; false when the data-lost hook stopped it.
  // `journaled`: the table's atomic change is the way back (else the ".IBK" copy is).
  bool RebuildIndexes(const TTableDefinition& definition, bool noBackup, bool journaled);
  // After a maintenance change failed and was abandoned: layouts, index and position taken
  // again from the table as it now is. Never throws.
  void ResyncAfterFailedChange(const std::string& indexName, bool naturalOrder) noexcept;
  // The name a full restructure of `table` on disk gives the new table it builds beside it.
  std::string CopyNameFor(const std::string& table) const;
  void RestructureByCopy(const TTableDefinition& definition, const TTableDefinition& renumbered,
                         bool noBackup, int32_t lastAutoInc, bool allowNoPrimary);

  // ---- Editing helpers ----
  // What an append changed so far, for taking it back when a later step fails.
  struct TAppendUndo {
    bool Allocated = false;  // the slot was taken and the append is not complete
    int32_t Slot = 0;
    std::vector<uint8_t> Before;  // the slot's image before the append
    int32_t FirstDeleted = 0;
    int32_t NextRecord = 0;
    int32_t LastAutoInc = 0;
    std::vector<std::pair<int, std::vector<uint8_t>>> Keys;  // (index, key) inserted
    std::vector<std::vector<uint8_t>> Status;  // "Sys Deleted": the key put, the one replaced
    bool Counted = false;
    bool Blobs = false;
  };
  void UndoAppend(TAppendUndo& undo, TRecordPin& record, uint8_t* image) noexcept;
  TBlobBuffer* BufferOf(uint16_t field, const uint8_t* record, bool byTableNumber,
                        uint16_t& code) const;
  const TFieldDescriptor* BlobField(uint16_t field, bool byTableNumber) const;
  TBlobBuffer* OpenBufferFor(int32_t reference, const uint8_t* record,
                             const TFieldDescriptor& field) const;
  void UpdateBlobField(const TFieldDescriptor& field, uint8_t* record, TBlobBuffer& buffer);
  void WriteBlobs(uint8_t* image, uint8_t* target, const uint8_t* oldRecord);
  void FreeBuffer(size_t index, uint8_t* record);
  void CheckWritable() const;
  void SaveBookmark();
  void ResyncIfChanged(bool changed);
  bool TakeRecordLock(int32_t record);
  void CheckUniqueKeys(const uint8_t* image, const uint8_t* oldImage);
  void CheckStatusKey(int32_t rowId);
  void CheckBlobOwners(const uint8_t* image) const;
  bool ImageHasBlobs(const uint8_t* image, const uint8_t* oldRecord) const;
  void RelocateCurrent();
  void FinishWrite(int32_t record, const uint8_t* image, bool deleted, bool reposition,
                   const std::vector<uint8_t>& seekImage);
  bool KeyChecksApply() const { return !SqlResult_ || SqlSource_; }
  void CopyFieldsIntoRecord(uint8_t* target, const uint8_t* image) const;
  bool LockedByThisCursor(int32_t record) const;
  void MarkLocked(int32_t record, bool locked);

  TDataDirectory* Database_;
  TDataTable* Table_ = nullptr;
  std::string TableName_;
  bool Open_ = false;
  bool Exclusive_ = false;
  bool ReadOnly_ = false;
  bool RequestedReadOnly_ = false;
  bool InMemory_ = false;
  bool CloneOfExclusive_ = false;
  bool FilesReadOnly_ = false;
  bool SqlSource_ = false;
  bool SqlResult_ = false;
  bool SqlTemporary_ = false;
  bool PrivateDescriptors_ = false;
  bool SuppressAutoInc_ = false;
  TPasswordCallback PasswordCallback_;
  TCalculateCallback Calculate_;
  bool Calculating_ = false;

  // Layout copied at open.
  std::vector<TFieldDescriptor> Fields_;
  uint16_t RecordSize_ = 0;       // the cursor's images, calculated fields included
  uint16_t TableRecordSize_ = 0;  // the stored records
  const TCollation* Collation_ = nullptr;
  bool HasChecks_ = false;
  bool HasDefaults_ = false;
  bool HasCalculated_ = false;
  bool HasAutoInc_ = false;
  std::vector<std::unique_ptr<TKeyLayout>> Layouts_;  // 0 = primary, then secondaries
  std::unique_ptr<TKeyLayout> SysDeletedLayout_;
  std::vector<uint8_t> LayoutSource_;  // IndexDefinitions() the layouts were built from

  // Current index.
  int IndexNumber_ = kPrimaryIndex;
  std::string IndexName_;
  bool NaturalOrder_ = false;

  // Position.
  TSpot Spot_;
  int32_t CurrentRecord_ = 0;       // record of the current entry (index order)
  std::vector<uint8_t> CurrentKey_;  // key of the current entry (index order)
  TChangeCounters SpotCounters_;     // the table's counters when Spot_ was taken
  bool SpotCountersValid_ = false;   // false when the key or spot changed otherwise
  int32_t Physical_ = 0;            // natural order
  bool Bof_ = true;
  bool Eof_ = true;
  bool LastForward_ = true;
  // Ordinals of the last two record reads in index order: a walk when they are close.
  int64_t LastReadOrdinal_ = 0;
  int64_t PriorReadOrdinal_ = 0;
  static constexpr int64_t kWalkStride = 64;
  std::vector<uint8_t> RecordBuffer_;
  // The walk window: images of the records a walk in index order visits next, copied in
  // one batch under one read lock and served by number while the table's counters stay
  // as they were then (any change by this process or noticed from others moves them).
  struct TWalkEntry {
    int Slot;         // on the leaf WalkPage_
    int64_t Logical;  // ordinal in the index
  };
  std::vector<int32_t> WalkNumbers_;
  std::vector<TWalkEntry> WalkEntries_;
  std::vector<uint8_t> WalkKeys_;    // key of entry i at i x key size
  std::vector<uint8_t> WalkImages_;  // image of entry i at i x record size
  int32_t WalkPage_ = 0;
  bool WalkForward_ = true;
  size_t WalkAt_ = 0;  // the entry a forward or backward walk expects next
  size_t WalkGrow_ = 0;  // records the next fill may take
  TChangeCounters WalkCounters_;
  std::vector<uint8_t> StepKey_;  // scratch key of MoveBy and CurrentSpotValid

  // Range.
  bool RangeActive_ = false;
  std::vector<uint8_t> StartKey_;
  std::vector<uint8_t> EndKey_;
  int64_t First_ = 1;
  int64_t Last_ = 0;

  // Visible set.
  bool BitmapMode_ = false;
  TPooledBitmap Visible_;
  TPooledBitmap RangeBits_;
  TPooledBitmap Live_;
  bool LiveAll_ = false;  // every record is live: Live_ is left empty
  int64_t VisibleCount_ = 0;
  bool VisiblePending_ = false;  // VisibleCount_ is right; bitmaps and position wait
  // An open leaves the cursor before the first record without seeking it: the first
  // operation that needs a position takes it then, so that an open followed by a filter
  // and a count seeks nothing. Operations that need no position (adding and activating a
  // filter) keep it pending while KeepBegin_ is above 0.
  bool BeginPending_ = false;
  int KeepBegin_ = 0;
  bool Rebuilding_ = false;

  // Change detection.
  TChangeCounters Counters_;
  bool TookReadLock_ = false;
  bool ResyncPending_ = false;
  bool Writing_ = false;  // a write is under way: reads take no change checks
  bool Resyncing_ = false;  // ResyncLocal is re-reading the position after a change
  int BracketDepth_ = 0;
  std::vector<uint8_t> SavedBookmark_;  // where BeginRead found the cursor
  bool SavedBof_ = false;
  bool SavedEof_ = false;
  std::unique_ptr<THooks> Hooks_;

  // Filters in evaluation order: expression filters, then those marked after-expressions.
  std::vector<std::unique_ptr<TFilter>> Filters_;

  // Open BLOB buffers; the field holds -(index + 1).
  std::vector<std::unique_ptr<TBlobBuffer>> Blobs_;
  // Records this cursor holds locked.
  std::vector<int32_t> Locked_;

  // What an edit of the current record is compared with. The record buffer is what the
  // caller was last shown, until a re-synchronisation replaces it without showing it: a
  // change noticed by a count, or by a write that is then refused. The image the caller
  // was shown is kept here until the caller is shown a record again (a read or move that
  // fills the buffer) or a write succeeds, so that an image read before another cursor's
  // change never passes for the current one. Empty when the buffer is what was shown.
  std::vector<uint8_t> ShownImage_;
  // The image an edit of the current record started from (ShownImage_ or the buffer).
  std::vector<uint8_t> EditBase() const;
  // The buffer was filled for the caller: what it holds is what was shown.
  void NoteRecordShown() {
    if (!Writing_ && !Resyncing_) ShownImage_.clear();
  }
};

}  // namespace veldor
