// `TVELDORDataSet`: an engine cursor seen as a record set of the framework; and
// `TVELDORDBDataSet`, which binds such a data set to a session and a database by name.
//
// The data set owns its cursor (unless a derived class hands it one that belongs to
// something else), the key buffers, the old-value buffer and the two cursor filters made
// from Filter and OnFilterRecord; all live exactly as long as the cursor is open. It does
// not own its database component, which it only holds open through its database flags.
// Field values stay in the engine's record images; text crosses in UTF-8. One thread at a
// time; the cursor calls back into the data set (filter handler) on that thread.
//
// Record buffer layout (one per ring entry, RecBufSize bytes, zeroed when made):
//   0                 RecordSize      the engine record image
//   RecordSize        CalcFieldsSize  calculated and lookup values (has-value byte, value)
//   RecInfoOffset     4               record number; -1 for a new record
//   RecInfoOffset+4   1               bookmark flag: 0 current, 1 BOF, 2 EOF, 3 inserted
//   RecInfoOffset+5   3               zero
//   BookmarkOffset    BookmarkSize    the record's bookmark (changes with the index)
// Key buffer layout (six of them, 8 + RecordSize bytes): byte 0 modified, bytes 4..7 the
// number of key fields set (32-bit), then a record image whose key fields hold the values.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/data_cursor.h"
#include "toolkit/dataset.h"

namespace veldor {

class TVELDORDatabase;
class TVELDORSession;

// The framework field type of an engine field descriptor and its size; false for a field
// that gets no field definition (FIELD_EXTENDED).
bool FrameworkFieldType(const TFieldDescriptor& field, TFieldType& type, int& size);
// The engine type and subtype of a framework field type; false when it has none (type 0).
bool EngineFieldType(TFieldType type, uint8_t& engineType, uint8_t& subType);
// Field definitions from a cursor's field descriptors: no definition for FIELD_EXTENDED
// fields and hidden result columns; a name already taken becomes name_1, name_2, ...
// (always formed from the first name). Names are UTF-8.
void FillFieldDefs(TFieldDefs& defs, const std::vector<TFieldDescriptor>& fields);

class TVELDORDataSet : public TDataSet {
 public:
  explicit TVELDORDataSet(TComponent* owner = nullptr);
  ~TVELDORDataSet() override;

  // The open cursor, or null while closed. Owned by the data set.
  TDataCursor* Handle() const { return Cursor_; }
  int RecordSize() const { return RecordSize_; }

  bool AutoDisplayLabels() const { return AutoDisplayLabels_; }
  // On an open data set the labels are applied at once.
  void SetAutoDisplayLabels(bool value);
  bool CopyOnAppend() const { return CopyOnAppend_; }
  void SetCopyOnAppend(bool value) { CopyOnAppend_ = value; }

  // ---- The current index ----
  int IndexFieldCount() const { return IndexFieldCount_; }
  // The field of the index's i-th key field: "Field index out of range." outside 0 ..
  // IndexFieldCount - 1, "Cannot access index field %s." when no field shows it.
  TField* IndexField(int index);
  bool IndexCaseInsensitive() const { return IndexCaseInsensitive_; }
  int KeySize() const { return KeySize_; }

  // ---- Keys and ranges (set-key state; Post keeps the key, Cancel restores it) ----
  void SetKey();
  void EditKey();
  // Searches the key buffer's values in the current index (GotoKey exactly, GotoNearest
  // the first key at or after them); true when found. A failed exact search keeps the
  // position.
  bool GotoKey();
  void GotoNearest();
  // SetKey, the values into the index fields in order, then GotoKey / GotoNearest.
  bool FindKey(const std::vector<TVariant>& values);
  void FindNearest(const std::vector<TVariant>& values);
  // The number of key fields a search or range uses (0: all).
  int KeyFieldCount() const;
  void SetKeyFieldCount(int count);
  void SetRangeStart();
  void SetRangeEnd();
  void EditRangeStart();
  void EditRangeEnd();
  // Applies the range start and end to the cursor (moving to the first record) / removes
  // the range (staying on the record when it is still there).
  void ApplyRange();
  void CancelRange();
  void SetRange(const std::vector<TVariant>& startValues, const std::vector<TVariant>& endValues);
  bool RangeActive() const { return Cursor_ && Cursor_->RangeActive(); }

  // ---- Editing, filters and searches (see the contracts in TDataSet) ----
  void Post() override;
  void Cancel() override;
  void SetFilterText(const std::string& text) override;
  void SetFilterOptions(TFilterOptions options) override;
  void SetFiltered(bool value) override;
  void SetOnFilterRecord(TFilterRecordEvent handler) override;
  // With an index whose first fields are `keyFields` (and whose case rule is the
  // option's), or a lookup cursor on one, the cursor searches the key; otherwise a
  // temporary filter of equality tests finds the first match from the start.
  bool Locate(const std::string& keyFields, const TVariant& keyValues,
              TLocateOptions options) override;
  TVariant Lookup(const std::string& keyFields, const TVariant& keyValues,
                  const std::string& resultFields) override;
  bool FindRecord(bool restart, bool goForward) override;

  // ---- Bookmarks and field access ----
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) override;
  bool BookmarkValid(const TBookmark& bookmark) override;
  bool GetFieldData(TField* field, void* buffer) override;
  void SetFieldData(TField* field, const void* buffer) override;
  std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;
  void CloseBlob(TField* field) override;
  bool GetCurrentRecord(uint8_t* buffer) override;
  // The record buffer the current state reads and writes (the key buffer's image in the
  // set-key state, the old values in the old-value state, ...), or null.
  uint8_t* ActiveRecordBuffer();

 protected:
  // ---- What derived classes decide ----
  // Makes and opens the cursor; null fails the open with "Error creating table handle.".
  // The cursor must stay valid until DestroyHandle; OwnHandle makes the data set own it.
  virtual TDataCursor* CreateHandle() { return nullptr; }
  // Closes and destroys an owned cursor; forgets one that belongs to something else, after
  // dropping the data set's filters from it (its owner opens it again later).
  virtual void DestroyHandle();
  virtual void ReleaseLookupCursor() {}
  // A cursor on an index that fits `keyFields` with the case rule asked, or null.
  virtual TDataCursor* GetLookupCursor(const std::string& keyFields, bool caseInsensitive);
  virtual void AfterOpenCursor() {}
  // True when the cursor is an SQL result, which belongs to its statement: the data set
  // takes neither index information nor display labels from it.
  virtual bool SqlResultHandle() const { return false; }
  TDataCursor* OwnHandle(std::unique_ptr<TDataCursor> cursor);

  // ---- For derived classes ----
  // Switches the cursor to index `name` and rebuilds the ring's buffers for its bookmark
  // size (the ring is left empty: the caller resynchronises). A failure rebuilding the
  // buffers closes the data set.
  void SwitchToIndex(const std::string& name);
  // The range start, then the range end, get `values` in the index's first fields (the
  // master-detail link).
  void SetLinkRanges(const std::vector<TField*>& masterFields);
  // Apply / cancel the range buffers on the cursor; true when the range changed.
  bool ApplyRangeKeys();
  bool ResetRangeKeys();
  void ReadIndexInfo();
  bool CursorCanModify() const { return CanModify_; }

  // ---- The framework's interface ----
  TRecordBuffer AllocRecordBuffer() override;
  int GetRecordSize() const override { return RecordSize_; }
  TGetResult GetRecord(uint8_t* buffer, TGetMode mode, bool doCheck) override;
  void InternalInitRecord(uint8_t* buffer) override;
  void InitRecord(uint8_t* buffer) override;
  void ClearCalcFields(uint8_t* buffer) override;
  TBookmarkFlag GetBookmarkFlag(const uint8_t* buffer) override;
  void SetBookmarkFlag(uint8_t* buffer, TBookmarkFlag flag) override;
  void GetBookmarkData(const uint8_t* buffer, uint8_t* data) override;
  void SetBookmarkData(uint8_t* buffer, const uint8_t* data) override;
  void OpenCursor(bool infoQuery) override;
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return Cursor_ != nullptr; }
  void InternalInitFieldDefs() override;
  void InternalFirst() override;
  void InternalLast() override;
  void InternalRefresh() override;
  void InternalGotoBookmark(const uint8_t* bookmark) override;
  void InternalSetToRecord(uint8_t* buffer) override;
  bool IsSequenced() override { return !Filtered(); }
  int64_t GetRecordCount() override;
  int64_t GetRecNo() override;
  void SetRecNoValue(int64_t value) override;
  bool GetCanModify() override { return CanModify_; }
  void InternalEdit() override;
  void InternalInsert() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void DoOnNewRecord() override;
  void NewRecordStarting() override;

 private:
  friend class TVELDORBlobStream;
  enum TKeyIndex { kbLookup, kbRangeStart, kbRangeEnd, kbCurRangeStart, kbCurRangeEnd, kbSave,
                   kKeyBufferCount };

  void ComputeLayout();
  void ApplyDisplayLabels();
  void ClearBlobModified();
  // Key buffers.
  uint8_t* KeyRecord(int index) { return KeyBuffers_[size_t(index)].data() + 8; }
  bool KeyModified(int index) const { return KeyBuffers_[size_t(index)][0] != 0; }
  int KeyCount(int index) const;
  void SetKeyCount(int index, int count);
  void ClearKeyBuffer(int index);
  void EnterKeyState(int index, bool clear);
  void FinishKeyEdit(bool keep);
  void AssignKeyValues(const std::vector<TVariant>& values);
  void PostSearchKey(const std::vector<TVariant>& values);
  bool SearchKey(bool nearest);
  // Filters.
  TFilter* MakeExpressionFilter(const std::string& text, TFilterOptions options);
  TFilter* MakeCallbackFilter();
  void ReplaceFilter(TFilter*& slot, TFilter* made);
  static bool FilterCallback(void* data, TDataCursor& cursor, const uint8_t* record, int32_t number);
  // Searches.
  bool LocateRecord(const std::string& keyFields, const TVariant& keyValues,
                    TLocateOptions options, bool sync);
  bool LocateByFilter(const std::vector<TField*>& fields, const std::vector<TVariant>& values,
                      TLocateOptions options);

  TDataCursor* Cursor_ = nullptr;
  std::unique_ptr<TDataCursor> OwnedCursor_;
  int RecordSize_ = 0;
  int BookmarkSize_ = 0;
  int RecInfoOffset_ = 0;
  int BookmarkOffset_ = 0;
  int RecBufSize_ = 0;
  bool CanModify_ = false;
  bool AutoDisplayLabels_ = false;
  bool CopyOnAppend_ = false;
  bool EditLocked_ = false;  // InternalEdit locked the record and no post or cancel freed it

  int IndexFieldCount_ = 0;
  std::vector<uint16_t> IndexFieldNumbers_;
  bool IndexCaseInsensitive_ = false;
  int KeySize_ = 0;

  std::vector<std::vector<uint8_t>> KeyBuffers_;
  int KeyBuffer_ = kbLookup;  // the one the set-key state edits
  std::vector<uint8_t> OldValueBuffer_;
  std::vector<uint8_t> CopySource_;  // bookmark of the record a CopyOnAppend copies
  std::vector<uint8_t> FilterScratch_;  // the callback filter's copy of the candidate

  TFilter* ExpressionFilter_ = nullptr;  // owned by the cursor
  TFilter* CallbackFilter_ = nullptr;    // owned by the cursor
};

class TVELDORDBDataSet : public TVELDORDataSet {
 public:
  explicit TVELDORDBDataSet(TComponent* owner = nullptr);
  ~TVELDORDBDataSet() override;

  const std::string& DatabaseName() const { return DatabaseName_; }
  // Only while closed ("Cannot perform this operation on an open dataset") and while its
  // database is not held ("Cannot perform this operation on an open database.").
  virtual void SetDatabaseName(const std::string& name);
  const std::string& SessionName() const { return SessionName_; }
  void SetSessionName(const std::string& name);
  // The database component while a database flag holds it, else null.
  TVELDORDatabase* Database() const { return Database_; }
  // The engine database while held, else null.
  TDataDirectory* DBHandle() const;
  // The session SessionName names ("Session name %s is not valid." when none).
  TVELDORSession& DBSession() const;
  // The framework's close, used when the database closes.
  virtual void CloseDataSet() { Close(); }

 protected:
  // Flags 0 to 15: the first one set opens the database (through the session), clearing
  // the last one closes it again.
  virtual void SetDBFlag(int flag, bool value);
  bool DBFlag(int flag) const { return Flags_.test(size_t(flag)); }
  void OpenCursor(bool infoQuery) override;
  void CloseCursor() override;
  void StoreDatabaseName(const std::string& name) { DatabaseName_ = name; }

 private:
  friend class TVELDORDatabase;
  void DatabaseGone(TVELDORDatabase* database);

  std::string DatabaseName_;
  std::string SessionName_;
  TVELDORDatabase* Database_ = nullptr;
  std::bitset<16> Flags_;
};

}  // namespace veldor
