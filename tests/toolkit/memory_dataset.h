// A data set over records kept in a std::vector, for testing the record-set framework
// without the engine. It derives from TDataSet the way the engine's data set components
// do: record buffers with the record image, the calculated-fields area and a record-info
// area (bookmark flag, 4-byte row identifier as bookmark); a cursor with cracks (before,
// on, or between records); field data read from the buffer the state selects; BLOBs held
// per record and edited through streams; a range driven by a master link; filtering
// through the framework's OnFilterRecord callback. Test-only; one thread.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "toolkit/binary_fields.h"
#include "toolkit/data_source.h"
#include "toolkit/dataset.h"
#include "toolkit/date_time_fields.h"
#include "toolkit/number_fields.h"
#include "toolkit/string_field.h"

namespace veldor::test {

class TMemoryDataSet : public TDataSet {
 public:
  struct TColumn {
    std::string Name;
    TFieldType Type;
    int Size;
    bool Required;
  };
  struct TRow {
    int32_t Id = 0;
    std::vector<uint8_t> Image;               // per column: flag byte + DataSize bytes
    std::vector<std::vector<uint8_t>> Blobs;  // per column (empty for non-BLOB columns)
  };

  explicit TMemoryDataSet(TComponent* owner = nullptr) : TDataSet(owner), MasterLink_(this) {
    MasterLink_.OnMasterChange = [this](TMasterDataLink&) { MasterChanged(); };
    MasterLink_.OnMasterDisable = [this](TMasterDataLink&) { MasterDisabled(); };
  }
  ~TMemoryDataSet() override { Destroy(); }

  void DefineField(const std::string& name, TFieldType type, int size = 0, bool required = false) {
    CheckInactive();
    Columns_.push_back({name, type, size, required});
  }

  // Appends a row of text values (one per column, "" = null) while closed or browsing,
  // through the fields' own text setters (a scratch record in the filter state).
  void AddRow(const std::vector<std::string>& values) {
    bool wasOpen = Active();
    if (!wasOpen) Open();
    Append();
    for (size_t i = 0; i < values.size(); ++i)
      if (!values[i].empty()) Fields()[int(i)]->SetAsString(values[i]);
    Post();
    if (!wasOpen) Close();
  }

  const std::vector<TRow>& Rows() const { return Rows_; }

  bool ReadOnlyData = false;
  // Posting a record whose value in this field equals another record's raises.
  std::string UniqueField;
  // Counts of the cursor calls, for tests of how the ring moves the cursor.
  int SetToRecordCalls = 0;
  int GetRecordCalls = 0;

  // Master-detail: the detail shows the rows whose DetailFields equal the master's
  // MasterFields.
  void SetMasterSource(TDataSource* source) {
    if (source && IsLinkedTo(source)) DatabaseError("Circular data links are not allowed.");
    MasterLink_.SetDataSource(source);
  }
  void SetMasterFields(const std::string& fields) { MasterLink_.SetFieldNames(fields); }
  std::string DetailFields;
  TDataSource* GetDataSource() const override { return MasterLink_.DataSource(); }
  bool RangeActive() const { return RangeActive_; }
  std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;

  int CompareBookmarks(const TBookmark& a, const TBookmark& b) override {
    if (a.empty() || b.empty()) return TDataSet::CompareBookmarks(a, b);
    int32_t x, y;
    std::memcpy(&x, a.data(), 4);
    std::memcpy(&y, b.data(), 4);
    int ix = IndexOfId(x), iy = IndexOfId(y);
    return ix < iy ? -1 : ix > iy ? 1 : 0;
  }
  bool BookmarkValid(const TBookmark& bookmark) override {
    if (bookmark.size() != 4) return false;
    int32_t id;
    std::memcpy(&id, bookmark.data(), 4);
    return IndexOfId(id) >= 0;
  }

 protected:
  // ---- Buffers and records ----
  TRecordBuffer AllocRecordBuffer() override {
    return std::make_unique<uint8_t[]>(size_t(RecBufSize_));
  }
  int GetRecordSize() const override { return RecordSize_; }

  TGetResult GetRecord(uint8_t* buffer, TGetMode mode, bool doCheck) override {
    ++GetRecordCalls;
    switch (mode) {
      case gmCurrent:
        if (Crack_ || Pos_ >= int(Rows_.size()) || !Visible(size_t(Pos_))) {
          if (doCheck) DatabaseError("No current record");
          return grError;
        }
        break;
      case gmNext: {
        int i = Crack_ ? Pos_ : Pos_ + 1;
        while (i < int(Rows_.size()) && !Visible(size_t(i))) ++i;
        if (i >= int(Rows_.size())) {
          Pos_ = int(Rows_.size());
          Crack_ = true;
          return grEOF;
        }
        Pos_ = i;
        Crack_ = false;
        break;
      }
      case gmPrior: {
        int i = Pos_ - 1;
        while (i >= 0 && !Visible(size_t(i))) --i;
        if (i < 0) {
          Pos_ = 0;
          Crack_ = true;
          return grBOF;
        }
        Pos_ = i;
        Crack_ = false;
        break;
      }
    }
    Fill(buffer, Rows_[size_t(Pos_)]);
    GetCalcFields(buffer);
    return grOK;
  }

  void InternalInitRecord(uint8_t* buffer) override { std::memset(buffer, 0, size_t(RecordSize_)); }
  void ClearCalcFields(uint8_t* buffer) override {
    std::memset(buffer + RecordSize_, 0, size_t(CalcFieldsSize()));
  }

  TBookmarkFlag GetBookmarkFlag(const uint8_t* buffer) override {
    return TBookmarkFlag(buffer[InfoOffset()]);
  }
  void SetBookmarkFlag(uint8_t* buffer, TBookmarkFlag flag) override { buffer[InfoOffset()] = flag; }
  void GetBookmarkData(const uint8_t* buffer, uint8_t* data) override {
    std::memcpy(data, buffer + InfoOffset() + 1, 4);
  }
  void SetBookmarkData(uint8_t* buffer, const uint8_t* data) override {
    std::memcpy(buffer + InfoOffset() + 1, data, 4);
  }

  // ---- Cursor ----
  void InternalInitFieldDefs() override {
    FieldDefs().Clear();
    for (size_t i = 0; i < Columns_.size(); ++i)
      FieldDefs().Add(Columns_[i].Name, Columns_[i].Type, Columns_[i].Size, Columns_[i].Required,
                      int(i) + 1);
  }
  void InternalOpen() override {
    InternalInitFieldDefs();
    if (DefaultFields()) CreateFields();
    BindFields(true);
    Offsets_.clear();
    int offset = 0;
    for (size_t i = 0; i < Columns_.size(); ++i) {
      Offsets_.push_back(offset);
      offset += 1 + DataSizeOf(int(i));
    }
    RecordSize_ = offset;
    RecBufSize_ = RecordSize_ + CalcFieldsSize() + 8;
    SetBookmarkSize(4);
    OldValueBuffer_.assign(size_t(RecBufSize_), 0);
    FilterScratch_.assign(size_t(RecBufSize_), 0);
    Pos_ = 0;
    Crack_ = true;
    Opened_ = true;
    ApplyMasterRange(false);
  }
  void InternalClose() override {
    BindFields(false);
    DestroyFields();
    Opened_ = false;
    RangeActive_ = false;
  }
  bool IsCursorOpen() const override { return Opened_; }
  void InternalFirst() override {
    Pos_ = 0;
    Crack_ = true;
  }
  void InternalLast() override {
    Pos_ = int(Rows_.size());
    Crack_ = true;
  }
  void InternalGotoBookmark(const uint8_t* bookmark) override {
    int32_t id;
    std::memcpy(&id, bookmark, 4);
    int index = IndexOfId(id);
    if (index < 0) DatabaseError(SRecordNotFound);
    Pos_ = index;
    Crack_ = false;
  }
  void InternalSetToRecord(uint8_t* buffer) override {
    ++SetToRecordCalls;
    InternalGotoBookmark(buffer + InfoOffset() + 1);
  }
  bool IsSequenced() override { return !Filtered(); }
  int64_t GetRecordCount() override {
    int64_t n = 0;
    for (size_t i = 0; i < Rows_.size(); ++i) n += Visible(i) ? 1 : 0;
    return n;
  }
  int64_t GetRecNo() override {
    uint8_t* buffer = State() == dsCalcFields ? CalcBuffer() : ActiveBuffer();
    if (!buffer || GetBookmarkFlag(buffer) != bfCurrent) return -1;
    int32_t id;
    std::memcpy(&id, buffer + InfoOffset() + 1, 4);
    int64_t n = 0;
    for (size_t i = 0; i < Rows_.size(); ++i) {
      if (!Visible(i)) continue;
      ++n;
      if (Rows_[i].Id == id) return n;
    }
    return -1;
  }
  void SetRecNoValue(int64_t value) override {
    CheckBrowseMode();
    if (value == GetRecNo()) return;
    int64_t n = 0;
    for (size_t i = 0; i < Rows_.size(); ++i) {
      if (!Visible(i) || ++n != value) continue;
      DoBeforeScroll();
      Pos_ = int(i);
      Crack_ = false;
      Resync(rmCenter);
      DoAfterScroll();
      return;
    }
  }
  bool GetCanModify() override { return !ReadOnlyData; }
  // ---- Field data ----
  bool GetFieldData(TField* field, void* buffer) override {
    uint8_t* record = RecordBufferByState();
    if (!record) return false;
    if (field->FieldKind() == fkData) {
      size_t at = size_t(Offsets_[size_t(field->FieldNo() - 1)]);
      if (record[at] == 0) return false;
      if (buffer) std::memcpy(buffer, record + at + 1, size_t(field->DataSize()));
      return true;
    }
    TDataSetState s = State();
    if (s != dsBrowse && s != dsEdit && s != dsInsert && s != dsCalcFields) return false;
    uint8_t* at = record + RecordSize_ + field->Offset();
    if (at[0] == 0) return false;
    if (buffer) std::memcpy(buffer, at + 1, size_t(field->DataSize()));
    return true;
  }

  void SetFieldData(TField* field, const void* buffer) override {
    TDataSetState s = State();
    if (s == dsOldValue) DatabaseErrorFmt("Field %s cannot be modified.", field->DisplayName());
    if (s != dsEdit && s != dsInsert && s != dsCalcFields && s != dsFilter && s != dsNewValue)
      DatabaseError("Table is not in edit or insert mode.");
    uint8_t* record = RecordBufferByState();
    if (!record) DatabaseError("Table is not in edit or insert mode.");
    if (field->FieldKind() == fkCalculated || field->FieldKind() == fkLookup) {
      uint8_t* at = record + RecordSize_ + field->Offset();
      at[0] = buffer ? 1 : 0;
      if (buffer)
        std::memcpy(at + 1, buffer, size_t(field->DataSize()));
      else
        std::memset(at + 1, 0, size_t(field->DataSize()));
    } else {
      if (s == dsCalcFields) DatabaseError("Table is not in edit or insert mode.");
      if (field->ReadOnly() && s != dsFilter)
        DatabaseErrorFmt("Field %s cannot be modified.", field->DisplayName());
      field->Validate(buffer);
      size_t at = size_t(Offsets_[size_t(field->FieldNo() - 1)]);
      record[at] = buffer ? 1 : 0;
      if (buffer)
        std::memcpy(record + at + 1, buffer, size_t(field->DataSize()));
      else
        std::memset(record + at + 1, 0, size_t(field->DataSize()));
    }
    if (s != dsCalcFields && s != dsFilter && s != dsNewValue)
      DataEvent(deFieldChange, reinterpret_cast<intptr_t>(field));
  }

  // ---- Editing ----
  void InternalEdit() override {
    // Read the record afresh (the engine's data set locks it here) and keep the old image.
    uint8_t* buffer = ActiveBuffer();
    const TRow& row = Rows_.at(size_t(Pos_));
    Fill(buffer, row);
    GetCalcFields(buffer);
    std::memcpy(OldValueBuffer_.data(), buffer, size_t(RecBufSize_));
    EditBlobs_ = row.Blobs;
  }
  void InternalInsert() override {
    EditBlobs_.assign(Columns_.size(), {});
    std::memcpy(OldValueBuffer_.data(), ActiveBuffer(), size_t(RecBufSize_));
  }
  void InternalPost() override {
    TDataSet::InternalPost();
    uint8_t* buffer = ActiveBuffer();
    std::vector<uint8_t> image(buffer, buffer + RecordSize_);
    int32_t self = 0;
    if (State() == dsEdit) std::memcpy(&self, buffer + InfoOffset() + 1, 4);
    if (!UniqueField.empty()) {
      size_t at = size_t(Offsets_[size_t(FieldByName(UniqueField).FieldNo() - 1)]);
      size_t width = size_t(FieldByName(UniqueField).DataSize()) + 1;
      for (const TRow& r : Rows_)
        if (r.Id != self && std::equal(r.Image.begin() + long(at), r.Image.begin() + long(at + width),
                                       image.begin() + long(at)))
          DatabaseError("Duplicate key in " + UniqueField);
    }
    if (State() == dsEdit) {
      int index = IndexOfId(self);
      if (index < 0) DatabaseError(SRecordNotFound);
      Rows_[size_t(index)].Image = image;
      Rows_[size_t(index)].Blobs = EditBlobs_;
      Pos_ = index;
      Crack_ = false;
      return;
    }
    TRow row;
    row.Id = NextId_++;
    row.Image = image;
    row.Blobs = EditBlobs_;
    row.Blobs.resize(Columns_.size());
    int where = int(Rows_.size());
    if (GetBookmarkFlag(buffer) == bfInserted) {
      int32_t before;
      std::memcpy(&before, buffer + InfoOffset() + 1, 4);
      int index = IndexOfId(before);
      if (index >= 0) where = index;
    }
    Rows_.insert(Rows_.begin() + where, std::move(row));
    Pos_ = where;
    Crack_ = false;
  }
  void InternalCancel() override { EditBlobs_.clear(); }
  void InternalDelete() override {
    int32_t id;
    std::memcpy(&id, ActiveBuffer() + InfoOffset() + 1, 4);
    int index = IndexOfId(id);
    if (index < 0) DatabaseError(SRecordNotFound);
    Rows_.erase(Rows_.begin() + index);
    Pos_ = index;
    Crack_ = true;
  }
  void DoOnNewRecord() override {
    // A detail's new record takes the master's values into its detail fields first.
    if (RangeActive_) {
      std::vector<TField*> detail = GetFieldList(DetailFields);
      const std::vector<TField*>& master = MasterLink_.Fields();
      for (size_t i = 0; i < detail.size() && i < master.size(); ++i)
        detail[i]->SetValue(master[i]->Value());
    }
    TDataSet::DoOnNewRecord();
  }

 private:
  friend class TMemoryBlobStream;

  int InfoOffset() const { return RecordSize_ + CalcFieldsSize(); }
  int DataSizeOf(int column) const {
    const TColumn& c = Columns_[size_t(column)];
    TField* f = FieldByNumber(column + 1);
    if (f) return f->DataSize();
    return CreateFieldOfType(c.Type, c.Size)->DataSize();
  }
  int IndexOfId(int32_t id) const {
    for (size_t i = 0; i < Rows_.size(); ++i)
      if (Rows_[i].Id == id) return int(i);
    return -1;
  }
  void Fill(uint8_t* buffer, const TRow& row) {
    std::memcpy(buffer, row.Image.data(), size_t(RecordSize_));
    buffer[InfoOffset()] = bfCurrent;
    std::memcpy(buffer + InfoOffset() + 1, &row.Id, 4);
  }
  uint8_t* RecordBufferByState() {
    switch (State()) {
      case dsBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
      case dsEdit: case dsInsert: case dsNewValue: return ActiveBuffer();
      case dsCalcFields: return CalcBuffer();
      case dsFilter: return FilterBuffer();
      case dsOldValue: return OldValueBuffer_.data();
      default: return nullptr;
    }
  }
  bool Visible(size_t index) {
    const TRow& row = Rows_[index];
    if (RangeActive_) {
      for (size_t k = 0; k < RangeColumns_.size(); ++k) {
        size_t at = size_t(Offsets_[size_t(RangeColumns_[k])]);
        const std::vector<uint8_t>& want = RangeValues_[k];
        if (!std::equal(want.begin(), want.end(), row.Image.begin() + long(at))) return false;
      }
    }
    if (Filtered() && OnFilterRecord()) {
      Fill(FilterScratch_.data(), row);
      if (!FilterRecordAccepted(FilterScratch_.data())) return false;
    }
    return true;
  }
  // The master's key fields, in their native form, become the range.
  void ApplyMasterRange(bool moveFirst) {
    const std::vector<TField*>& master = MasterLink_.Fields();
    if (!MasterLink_.Active() || master.empty()) return;
    std::vector<TField*> detail = GetFieldList(DetailFields);
    RangeColumns_.clear();
    RangeValues_.clear();
    for (size_t i = 0; i < detail.size() && i < master.size(); ++i) {
      std::vector<uint8_t> value(size_t(detail[i]->DataSize()) + 1, 0);
      value[0] = master[i]->GetData(value.data() + 1) ? 1 : 0;
      RangeColumns_.push_back(detail[i]->FieldNo() - 1);
      RangeValues_.push_back(value);
    }
    RangeActive_ = true;
    if (moveFirst) First();
  }
  void MasterChanged() {
    CheckBrowseMode();
    ApplyMasterRange(true);
  }
  void MasterDisabled() {
    CheckBrowseMode();
    if (!RangeActive_) return;
    RangeActive_ = false;
    Resync(0);
  }

  std::vector<TColumn> Columns_;
  std::vector<TRow> Rows_;
  std::vector<int> Offsets_;
  int RecordSize_ = 0;
  int RecBufSize_ = 0;
  int32_t NextId_ = 1;
  int Pos_ = 0;
  bool Crack_ = true;
  bool Opened_ = false;
  std::vector<uint8_t> OldValueBuffer_;
  std::vector<uint8_t> FilterScratch_;
  std::vector<std::vector<uint8_t>> EditBlobs_;
  TMasterDataLink MasterLink_;
  bool RangeActive_ = false;
  std::vector<int> RangeColumns_;
  std::vector<std::vector<uint8_t>> RangeValues_;
};

// Reads a record's BLOB; in the edit states reads and writes the edited copy. Destroying
// a stream that wrote marks the field modified and sends the field-change notice.
class TMemoryBlobStream : public TStream {
 public:
  TMemoryBlobStream(TMemoryDataSet& dataSet, TField* field, TBlobStreamMode mode)
      : DataSet_(dataSet), Field_(field) {
    TDataSetState s = dataSet.State();
    size_t column = size_t(field->FieldNo() - 1);
    bool editing = s == dsEdit || s == dsInsert;
    if (mode != bmRead) {
      if (field->ReadOnly()) DatabaseErrorFmt("Field %s cannot be modified.", field->DisplayName());
      if (!editing) DatabaseError("Table is not in edit or insert mode.");
    }
    if (editing) {
      Target_ = &dataSet.EditBlobs_.at(column);
    } else if (uint8_t* buffer = dataSet.ActiveBuffer()) {
      int32_t id;
      std::memcpy(&id, buffer + dataSet.InfoOffset() + 1, 4);
      int index = dataSet.IndexOfId(id);
      if (index >= 0) Copy_ = dataSet.Rows_[size_t(index)].Blobs.at(column);
    }
    if (mode == bmWrite) {
      Target_->clear();
      Modified_ = true;
    }
  }
  ~TMemoryBlobStream() override {
    if (!Modified_) return;
    try {
      Field_->SetModified(true);
      uint8_t* buffer = DataSet_.ActiveBuffer();
      size_t at = size_t(DataSet_.Offsets_[size_t(Field_->FieldNo() - 1)]);
      buffer[at] = Target_->empty() ? 0 : 1;
      DataSet_.DataEvent(deFieldChange, reinterpret_cast<intptr_t>(Field_));
    } catch (...) {
      ApplicationHandleException();
    }
  }
  int64_t Read(void* buffer, int64_t count) override {
    const std::vector<uint8_t>& data = Target_ ? *Target_ : Copy_;
    if (count <= 0 || Position_ >= int64_t(data.size())) return 0;
    int64_t n = std::min(count, int64_t(data.size()) - Position_);
    std::memcpy(buffer, data.data() + Position_, size_t(n));
    Position_ += n;
    return n;
  }
  int64_t Write(const void* buffer, int64_t count) override {
    if (!Target_) DatabaseError("Table is not in edit or insert mode.");
    if (count <= 0) return 0;
    if (size_t(Position_ + count) > Target_->size()) Target_->resize(size_t(Position_ + count));
    std::memcpy(Target_->data() + Position_, buffer, size_t(count));
    Position_ += count;
    Modified_ = true;
    return count;
  }
  int64_t Seek(int64_t offset, TStreamOrigin origin) override {
    const std::vector<uint8_t>& data = Target_ ? *Target_ : Copy_;
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? Position_ : int64_t(data.size());
    int64_t target = StreamOffsetAdd(base, offset);
    if (target < 0) throw EStreamError("Invalid stream position");
    Position_ = target;
    return Position_;
  }

 private:
  TMemoryDataSet& DataSet_;
  TField* Field_;
  std::vector<uint8_t>* Target_ = nullptr;
  std::vector<uint8_t> Copy_;
  int64_t Position_ = 0;
  bool Modified_ = false;
};

inline std::unique_ptr<TStream> TMemoryDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
  return std::make_unique<TMemoryBlobStream>(*this, field, mode);
}

}  // namespace veldor::test
