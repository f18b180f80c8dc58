// `TDataSet`: a record set over some cursor, with its states, its ring of record buffers,
// navigation, bookmarks, field objects, editing, events, calculated and lookup fields,
// filters, searches and the data sources that show it.
//
// Owns its field objects, field definitions and record buffers; not the cursor (a derived
// class owns it and supplies records, field data and bookmarks through the protected
// virtual interface), nor its data sources or lookup data sets (a destroyed lookup data
// set is forgotten). One thread at a time; event handlers run inside the operation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/component.h"
#include "toolkit/db_common.h"
#include "toolkit/field_defs.h"
#include "toolkit/fields.h"
#include "toolkit/stream.h"
#include "toolkit/variant.h"

namespace veldor {

class TDataSource;

// A record buffer: the derived class decides its size and layout.
using TRecordBuffer = std::unique_ptr<uint8_t[]>;
// A bookmark: BookmarkSize bytes; empty means none.
using TBookmark = std::vector<uint8_t>;

// Resync modes (bits).
using TResyncMode = uint8_t;
inline constexpr TResyncMode rmExact = 1;   // the cursor's record must be read, else error
inline constexpr TResyncMode rmCenter = 2;  // the record lands in the middle of the ring

// The buffer ring. BufferCount buffers (the largest BufferCount of the data links, at
// least 1) hold a window of consecutive records; RecordCount of them are filled, and the
// active one is the current record. The derived class's cursor stands on one of them
// (CurrentRecord) or on none the ring knows of (-1). Before reading next to the last
// buffer or prior to the first, the ring puts the cursor back on that buffer's record with
// InternalSetToRecord. A spare buffer receives each read, so that a failed read destroys
// no buffer, and a temporary buffer serves searches.
class TDataSet : public TComponent {
 public:
  using TDataSetNotifyEvent = std::function<void(TDataSet&)>;
  using TDataSetErrorEvent = std::function<void(TDataSet&, const EDatabaseError&, TDataAction&)>;
  using TFilterRecordEvent = std::function<void(TDataSet&, bool& accept)>;

  explicit TDataSet(TComponent* owner = nullptr);
  // Derived classes close the data set in their own destructor (Destroy()), while their
  // cursor still exists; this one only lets go of sources, links and fields.
  ~TDataSet() override;

  // ---- Opening and closing ----
  bool Active() const { return State_ != dsInactive && State_ != dsOpening; }
  // While loading only the value is stored; it takes effect in Loaded.
  void SetActive(bool value);
  // BeforeOpen, open the cursor, fill the ring from the first record, browse state,
  // AfterOpen, AfterScroll. A failure closes the cursor and leaves the data set inactive.
  void Open() { SetActive(true); }
  // Cancels an edit, BeforeClose, inactive state, frees the buffers, closes the cursor,
  // AfterClose. Does nothing when closed.
  void Close() { SetActive(false); }
  TDataSetState State() const { return State_; }

  // ---- Fields ----
  TFieldDefs& FieldDefs() { return FieldDefs_; }
  const TFields& Fields() const { return Fields_; }
  int FieldCount() const { return Fields_.Count(); }
  TField* FindField(const std::string& name) const { return Fields_.FindField(name); }
  // "Field '%s' not found" when there is none.
  TField& FieldByName(const std::string& name) const { return Fields_.FieldByName(name); }
  TField* FieldByNumber(int fieldNo) const { return Fields_.FieldByNumber(fieldNo); }
  // The fields named in a ";"-separated list, in that order; raises for a missing one.
  std::vector<TField*> GetFieldList(const std::string& fieldNames) const;
  std::vector<std::string> GetFieldNames() const;
  // Adds a persistent field (kept across open and close) of class T, made as T(args...),
  // named `name`, of kind `kind`. Only while closed; "Duplicate field name '%s'" for a
  // taken name. A data field binds at open to the field definition of its name.
  template <class T, class... Args>
  T& AddField(const std::string& name, TFieldKind kind, Args&&... args) {
    auto field = std::make_unique<T>(std::forward<Args>(args)...);
    T& ref = *field;
    AdoptField(std::move(field), name, kind);
    return ref;
  }
  // Removes and destroys a persistent field; only while closed.
  void RemoveField(TField* field);
  // True while the fields were made from the field definitions at open.
  bool DefaultFields() const { return DefaultFields_; }
  // Bytes the calculated and lookup fields take in a record buffer (a has-value byte and
  // DataSize bytes each); known once the fields are bound.
  int CalcFieldsSize() const { return CalcFieldsSize_; }
  TVariant FieldValue(const std::string& name) const { return FieldByName(name).Value(); }
  void SetFieldValue(const std::string& name, const TVariant& value) {
    FieldByName(name).SetValue(value);
  }
  // Fills the field definitions: from the open cursor, or by opening the cursor for its
  // information only and closing it again. Derived classes that can read definitions of
  // a closed cursor override it.
  virtual void InitFieldDefs();
  // Fills the index definitions of classes that have them (base: nothing).
  virtual void UpdateIndexDefs() {}

  // ---- Navigation (each leaves browse mode first: CheckBrowseMode) ----
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves up to `distance` records (negative: back); returns how far it moved. Sets Eof
  // (Bof) when it ran out of records.
  int MoveBy(int distance);
  bool Bof() const { return Bof_; }
  bool Eof() const { return Eof_; }
  bool IsEmpty() const { return RecordCount_ == 0; }
  int64_t RecNo() { return GetRecNo(); }
  void SetRecNo(int64_t value) { SetRecNoValue(value); }
  // The number of records of the cursor (the derived class's count; -1 when unknown).
  // The data set must be open.
  int64_t RecordCount();
  // Browse mode; the cursor re-reads its data (InternalRefresh); the ring is refilled
  // around the current record.
  void Refresh();
  // Refills the ring from the record the cursor stands on (see the modes) and clears Bof
  // and Eof. Without rmExact a cursor on no record reads the next or the prior one, and
  // with none the ring empties (Bof and Eof set).
  void Resync(TResyncMode mode);

  // ---- Bookmarks ----
  // The current record's bookmark; empty when there is none (empty set, no current record
  // buffer, a record being inserted).
  TBookmark GetBookmark();
  // Browse mode; BeforeScroll; go to the record (InternalGotoBookmark); refill the ring
  // around it (exact, centred); AfterScroll. An empty bookmark does nothing.
  void GotoBookmark(const TBookmark& bookmark);
  bool BookmarkAvailable();
  int BookmarkSize() const { return BookmarkSize_; }
  // -1, 0, 1 as `a` stands before, at or after `b`; missing bookmarks compare as the
  // derived class says (base: both missing 0, only `a` missing 1, only `b` -1, else a
  // byte comparison).
  virtual int CompareBookmarks(const TBookmark& a, const TBookmark& b);
  // Whether the record of `bookmark` can still be reached (base: false).
  virtual bool BookmarkValid(const TBookmark& bookmark);

  // ---- Editing ----
  // Browse mode; an empty data set inserts instead; CheckCanModify; BeforeEdit; read the
  // record for editing (InternalEdit, OnEditError); edit state; AfterEdit.
  void Edit();
  // Browse mode; CheckCanModify; BeforeInsert; BeforeScroll; a new buffer before the
  // active record (Insert) or after the last one (Append) made by InitRecord; insert
  // state; OnNewRecord; AfterInsert; AfterScroll.
  void Insert();
  void Append();
  // Edit or insert state: links write pending edits, BeforePost, InternalPost (with
  // OnPostError), browse state, ring refilled, AfterPost. Derived classes add the set-key
  // state's handling after calling it.
  virtual void Post();
  // Edit or insert state: BeforeCancel, InternalCancel, browse state, ring refilled,
  // AfterCancel. Derived classes add the set-key state's handling after calling it.
  virtual void Cancel();
  // Insert state: cancels. Otherwise BeforeDelete, BeforeScroll, InternalDelete (with
  // OnDeleteError), browse state, ring refilled, AfterDelete, AfterScroll. An empty data
  // set raises "Cannot perform this operation on an empty dataset".
  void Delete();
  // Posts a modified edit, cancels an unmodified one, posts a key edit; nothing in browse
  // state. Raises on a closed data set.
  void CheckBrowseMode();
  // Edit modes only: the data links write their pending edits (deUpdateRecord).
  void UpdateRecord();
  bool Modified() const { return Modified_; }
  bool CanModify() { return GetCanModify(); }

  // ---- Filters (on a closed data set the setters only store the value) ----
  const std::string& Filter() const { return FilterText_; }
  virtual void SetFilterText(const std::string& text);
  bool Filtered() const { return Filtered_; }
  virtual void SetFiltered(bool value);
  TFilterOptions FilterOptions() const { return FilterOptions_; }
  virtual void SetFilterOptions(TFilterOptions options);
  const TFilterRecordEvent& OnFilterRecord() const { return OnFilterRecord_; }
  virtual void SetOnFilterRecord(TFilterRecordEvent handler);

  // ---- Searching ----
  // Moves to the first record whose `keyFields` (";"-separated) equal `keyValues` (one
  // value, or an array with one value per field). Options: case-insensitive text, and
  // partial key (a text value matches the beginning of a string field; a final "*" is
  // dropped). A null (or, for a string field, empty) key matches a null field. Returns
  // whether it found one; the position stays otherwise. The base scans the records in
  // order; derived classes search their cursor.
  virtual bool Locate(const std::string& keyFields, const TVariant& keyValues,
                      TLocateOptions options);
  // The value of `resultFields` (one field: its value; several: an array) of the first
  // record that matches as Locate would (no options), or null; the position stays.
  virtual TVariant Lookup(const std::string& keyFields, const TVariant& keyValues,
                          const std::string& resultFields);
  // The first, last, next or prior record that the filter accepts (the filter is applied
  // for the search also when Filtered is off). Found tells the last answer.
  bool FindFirst() { return FindRecord(true, true); }
  bool FindLast() { return FindRecord(true, false); }
  bool FindNext() { return FindRecord(false, true); }
  bool FindPrior() { return FindRecord(false, false); }
  virtual bool FindRecord(bool restart, bool goForward);
  bool Found() const { return Found_; }

  // ---- Calculated fields ----
  bool AutoCalcFields() const { return AutoCalcFields_; }
  void SetAutoCalcFields(bool value) { AutoCalcFields_ = value; }

  // ---- Controls and data sources ----
  // While disabled (counted), data sources hear nothing; enabling the last time tells
  // them the data set changed (and its state, when it changed meanwhile).
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return DisableCount_ > 0; }
  // The data source this data set takes values from (master or parameters); base: none.
  virtual TDataSource* GetDataSource() const { return nullptr; }
  // True when `source` shows this data set, or a data set that (through GetDataSource,
  // transitively) depends on this one: making `source` this data set's master would close
  // a circle.
  bool IsLinkedTo(const TDataSource* source) const;
  // Sends `event` to the data sources (unless controls are disabled) after the data
  // set's own handling (field changes mark the record modified and recompute calculated
  // fields).
  virtual void DataEvent(TDataEvent event, intptr_t info);

  // ---- What field objects call ----
  // Copies the native value of `field` for the record the state selects into `buffer`
  // (may be null: only the null state is asked); true when the value is not null.
  virtual bool GetFieldData(TField* field, void* buffer) = 0;
  // Writes a native value (null: clear) of `field` into the record the state selects,
  // after the state and read-only checks and the field's Validate, and sends the
  // field-change notice where the state calls for one.
  virtual void SetFieldData(TField* field, const void* buffer) = 0;
  // A stream over the BLOB of `field` in the current record. The base raises.
  virtual std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode);
  // Releases what the cursor keeps for the field's BLOB of the active record (base:
  // nothing).
  virtual void CloseBlob(TField* field);
  // Reads the record the ring shows as current into `buffer` (base: false).
  virtual bool GetCurrentRecord(uint8_t* buffer);
  // Converts stored text between the cursor's and the framework's forms; the stored form
  // is Windows-1252 both ways here, so the base copies it unchanged.
  virtual std::string Translate(const std::string& text, bool toStored);
  // Enter a state for one operation and return the previous one; RestoreState returns
  // to it. Used by field objects for old and new values and by filters and searches.
  TDataSetState SetTempState(TDataSetState state);
  void RestoreState(TDataSetState state);
  // The buffer calculated fields are being computed into (calculate-fields state).
  uint8_t* CalcBuffer() const { return CalcBuffer_; }
  // The candidate record of a filter (filter state).
  uint8_t* FilterBuffer() const { return FilterBuffer_; }
  // The buffer of the active record; null when the ring holds none.
  uint8_t* ActiveBuffer() const;

  // ---- Events ----
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert,
      BeforeEdit, AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete,
      AfterDelete, BeforeScroll, AfterScroll, OnCalcFields, OnNewRecord;
  TDataSetErrorEvent OnDeleteError, OnEditError, OnPostError;

 protected:
  // ======== The interface derived classes implement ========

  // ---- Record buffers ----
  // A new zeroed record buffer of the derived class's size.
  virtual TRecordBuffer AllocRecordBuffer() = 0;
  // Frees a buffer (base: releases the memory).
  virtual void FreeRecordBuffer(TRecordBuffer& buffer) { buffer.reset(); }
  // The size of the cursor's record image (informational; base 0).
  virtual int GetRecordSize() const { return 0; }
  // Reads the current, next or prior record into `buffer` (with its bookmark, bookmark
  // flag and calculated fields). grBOF / grEOF when there is none in that direction; any
  // other failure raises when `doCheck`, else gives grError.
  virtual TGetResult GetRecord(uint8_t* buffer, TGetMode mode, bool doCheck) = 0;
  // A new record image (cursor defaults).
  virtual void InternalInitRecord(uint8_t* buffer) = 0;
  // The framework's init: InternalInitRecord, ClearCalcFields, bookmark flag inserted.
  virtual void InitRecord(uint8_t* buffer);
  // Clears the calculated-fields area of `buffer` (base: nothing).
  virtual void ClearCalcFields(uint8_t* buffer);
  // Computes the calculated and lookup fields of `buffer` when there are any.
  virtual void GetCalcFields(uint8_t* buffer);
  // In the calculate-fields state on `buffer`: clears the area, sets the lookup fields,
  // runs OnCalcFields.
  virtual void CalculateFields(uint8_t* buffer);

  // ---- Bookmarks in buffers ----
  virtual TBookmarkFlag GetBookmarkFlag(const uint8_t* buffer) = 0;
  virtual void SetBookmarkFlag(uint8_t* buffer, TBookmarkFlag flag) = 0;
  // Copies BookmarkSize bytes.
  virtual void GetBookmarkData(const uint8_t* buffer, uint8_t* data) = 0;
  virtual void SetBookmarkData(uint8_t* buffer, const uint8_t* data) = 0;
  void SetBookmarkSize(int size) { BookmarkSize_ = size; }

  // ---- Cursor ----
  // Opens the cursor and runs InternalOpen (base: InternalOpen only). `infoQuery`: only
  // the field definitions are wanted, no records.
  virtual void OpenCursor(bool infoQuery);
  // Runs InternalClose (base). Must not raise for a cursor half opened.
  virtual void CloseCursor();
  // With the cursor open: field definitions, fields (CreateFields when DefaultFields,
  // BindFields), record layout; the cursor before the first record.
  virtual void InternalOpen() = 0;
  // Unbinds and (when default) destroys fields; releases the cursor's resources.
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() const = 0;
  // Fills FieldDefs from the open cursor (base: nothing).
  virtual void InternalInitFieldDefs() {}
  // Cursor before the first / after the last record.
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  // The cursor re-reads what changed underneath (base: nothing).
  virtual void InternalRefresh() {}
  // Cursor onto the record of a bookmark / of the bookmark stored in a buffer.
  virtual void InternalGotoBookmark(const uint8_t* bookmark) = 0;
  virtual void InternalSetToRecord(uint8_t* buffer) = 0;
  // Shows the exception being handled (inside a catch block; base: the application's
  // error display).
  virtual void InternalHandleException();
  virtual bool IsSequenced() { return true; }
  virtual int64_t GetRecordCount() { return -1; }
  virtual int64_t GetRecNo() { return -1; }
  // Browse mode is the caller's; base: nothing.
  virtual void SetRecNoValue(int64_t) {}
  virtual bool GetCanModify() { return true; }

  // ---- Editing ----
  // Reads the active record for editing (cursor on it; base: nothing).
  virtual void InternalEdit() {}
  // A new record was placed in the active buffer (base: nothing).
  virtual void InternalInsert() {}
  // The framework's checks: every required, writable data field has a value (auto-
  // increment fields excepted), else "Field '%s' must have a value". Derived classes then
  // write the active buffer.
  virtual void InternalPost();
  virtual void InternalCancel() {}
  // Deletes the active record (cursor on it).
  virtual void InternalDelete() = 0;
  // Runs OnNewRecord.
  virtual void DoOnNewRecord();
  // Insert or Append is about to make a new record: the ring still shows the record that
  // was current (base: nothing).
  virtual void NewRecordStarting() {}

  // ======== What the framework offers derived classes ========

  // Field objects.
  void CreateFields();   // default fields from FieldDefs (skipping none)
  void DestroyFields();  // default fields only
  // Binds data fields to their definitions (FieldNo; type checked) and lays out the
  // calculated-fields area; unbinding clears them.
  void BindFields(bool binding);
  void SetDefaultFields(bool value) { DefaultFields_ = value; }

  // The ring.
  int BufferCount() const { return BufferCount_; }
  // Filled buffers and the active one's index in the ring.
  int RingRecordCount() const { return RecordCount_; }
  int ActiveRecord() const { return ActiveRecord_; }
  uint8_t* RingBuffer(int index) const { return Buffers_.at(size_t(index)).get(); }
  uint8_t* TempBuffer() const { return TempBuffer_.get(); }
  // Frees every buffer (size 0) or allocates BufferCount buffers, the spare and the
  // temporary buffer (size = BufferCount + 1); the ring is empty afterwards. A failure
  // frees what was allocated and raises.
  void SetBufListSize(int size);
  // Empties the ring (buffers kept).
  void ClearBuffers();
  // The cursor no longer stands on the record of any buffer.
  void CursorPosChanged() { CurrentRecord_ = -1; }
  // Puts the cursor on the active record unless it stands there.
  void UpdateCursorPos();
  void SetState(TDataSetState state);
  void SetModified(bool value) { Modified_ = value; }
  void CheckActive() const;
  void CheckInactive() const;
  // "Cannot modify a read-only dataset" unless CanModify.
  void CheckCanModify();
  void DoBeforeScroll();
  void DoAfterScroll();
  // Runs `operation`; a database error goes to `handler`, which may fail it (re-raised),
  // abort it (EAbort) or retry it.
  void CheckOperation(const std::function<void()>& operation, const TDataSetErrorEvent& handler);
  // The filter callback's core: filter state on `candidate`, OnFilterRecord with Accept
  // initially true, state restored; an error in the handler is shown and the Accept value
  // of that moment answered.
  bool FilterRecordAccepted(uint8_t* candidate);
  // Closes the data set without raising (for destructors of derived classes).
  void Destroy() noexcept;
  // What a derived class's own find-record sets as the answer of Found().
  void SetFound(bool value) { Found_ = value; }
  // For a scope, the data set works on `buffer` in a temporary state: the filter state reads
  // and writes it (dsFilter: a search building its key values, a scan judging records) or
  // the calculate-fields state reads it (dsCalcFields: the result fields of a record found).
  // The state, the buffer it replaced and, when asked, the Modified flag come back on every
  // path.
  class TTempBufferScope {
   public:
    TTempBufferScope(TDataSet& dataSet, TDataSetState state, uint8_t* buffer, bool keepModified = false)
        : DataSet_(dataSet),
          Slot_(state == dsCalcFields ? dataSet.CalcBuffer_ : dataSet.FilterBuffer_),
          KeepModified_(keepModified),
          Modified_(dataSet.Modified()) {
      Saved_ = dataSet.SetTempState(state);
      Old_ = Slot_;
      Slot_ = buffer;
    }
    ~TTempBufferScope() {
      Slot_ = Old_;
      DataSet_.RestoreState(Saved_);
      if (KeepModified_) DataSet_.SetModified(Modified_);
    }
    TTempBufferScope(const TTempBufferScope&) = delete;
    TTempBufferScope& operator=(const TTempBufferScope&) = delete;

   private:
    TDataSet& DataSet_;
    uint8_t*& Slot_;
    uint8_t* Old_ = nullptr;
    TDataSetState Saved_{};
    bool KeepModified_;
    bool Modified_;
  };
  // The key values of a Locate or Lookup, one per field: `keyValues` itself for one field,
  // its items for several; any other count raises SKeyValueCount.
  static std::vector<TVariant> KeyValueList(const std::vector<TField*>& fields, const TVariant& keyValues,
                                            const std::string& keyFields);
  // Store a filter property without acting on it: for derived classes that apply the
  // change to their cursor themselves (on a closed data set the public setters do this).
  void StoreFilterText(const std::string& text) { FilterText_ = text; }
  void StoreFilterOptions(TFilterOptions options) { FilterOptions_ = options; }
  void StoreFiltered(bool value) { Filtered_ = value; }
  void StoreOnFilterRecord(TFilterRecordEvent handler) { OnFilterRecord_ = std::move(handler); }
  void Notification(TComponent* component, TOperation operation) override;
  void Loaded() override;

 private:
  friend class TDataSource;
  friend class TDataLink;

  void OpenInternal();
  void CloseInternal();
  void AdoptField(std::unique_ptr<TField> field, const std::string& name, TFieldKind kind);
  // Reads into the spare buffer; on success it joins the ring at the end (next) or front
  // (prior), dropping the buffer at the other end when the ring is full. Returns whether
  // a record came and sets `dropped` when the ring shifted.
  bool GetNextRecord(bool& dropped);
  bool GetPriorRecord(bool& dropped);
  int GetNextRecords();
  int GetPriorRecords(int count);
  void SetCurrentRecord(int index);
  // Changes the ring size (links changed their BufferCount); refills as needed.
  void SetBufferCount(int count);
  void UpdateBufferCount();
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);
  void SendToSources(TDataEvent event, intptr_t info);
  void BeginInsertAppend();
  void EndInsertAppend();
  // Generic search helpers.
  bool RecordMatches(const std::vector<TField*>& fields, const std::vector<TVariant>& values,
                     TLocateOptions options);
  bool ScanFor(const std::vector<TField*>& fields, const std::vector<TVariant>& values,
               TLocateOptions options);

  TDataSetState State_ = dsInactive;
  bool StreamedActive_ = false;
  TFieldDefs FieldDefs_;
  TFields Fields_;
  bool DefaultFields_ = false;
  int CalcFieldsSize_ = 0;
  bool HasCalcFields_ = false;

  std::vector<TRecordBuffer> Buffers_;  // BufferCount_ ring buffers, then the spare
  TRecordBuffer TempBuffer_;
  int BufferCount_ = 1;
  int RecordCount_ = 0;
  int ActiveRecord_ = 0;
  int CurrentRecord_ = -1;
  bool Bof_ = true;
  bool Eof_ = true;
  int BookmarkSize_ = 0;
  bool Modified_ = false;
  bool Found_ = false;
  bool AutoCalcFields_ = true;
  uint8_t* CalcBuffer_ = nullptr;
  uint8_t* FilterBuffer_ = nullptr;

  std::string FilterText_;
  bool Filtered_ = false;
  TFilterOptions FilterOptions_ = 0;
  TFilterRecordEvent OnFilterRecord_;

  std::vector<TDataSource*> DataSources_;
  int DisableCount_ = 0;
  int TempStateDepth_ = 0;
  TDataSetState DisableState_ = dsInactive;
  bool EnableEventPending_ = false;
};

}  // namespace veldor
