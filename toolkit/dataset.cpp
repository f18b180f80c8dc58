// The data set's life, fields, buffer ring, navigation, bookmarks and events. Editing is
// in dataset_editing.cpp, filters and searches in dataset_search.cpp.
#include "toolkit/dataset.h"

#include <algorithm>
#include <cstring>

#include "toolkit/data_source.h"
#include "toolkit/index_defs.h"

namespace veldor {

TDataSet::TDataSet(TComponent* owner) : TComponent(owner), FieldDefs_(this) {}

TDataSet::~TDataSet() {
  SetDestroying();
  // A derived class closes in its own destructor (Destroy); its cursor is gone by now,
  // so only what the framework holds is let go here.
  State_ = dsInactive;
  std::vector<TDataSource*> sources = DataSources_;
  for (TDataSource* source : sources) source->SetDataSet(nullptr);
  Buffers_.clear();
  TempBuffer_.reset();
}

void TDataSet::Destroy() noexcept {
  SetDestroying();
  try {
    Close();
  } catch (...) {
    // Closing failed half-way: make sure the cursor and the buffers go anyway.
    State_ = dsInactive;
    try {
      SetBufListSize(0);
      CloseCursor();
    } catch (...) {
    }
  }
}

// ---- Opening and closing ----

void TDataSet::SetActive(bool value) {
  if (Loading()) {
    StreamedActive_ = value;
    return;
  }
  if (value == Active()) return;
  if (value)
    OpenInternal();
  else
    CloseInternal();
}

void TDataSet::OpenInternal() {
  if (BeforeOpen) BeforeOpen(*this);
  State_ = dsOpening;
  try {
    DefaultFields_ = FieldCount() == 0;
    OpenCursor(false);
    UpdateBufferCount();
    SetBufListSize(BufferCount_ + 1);
    Bof_ = true;
    GetNextRecords();
    Eof_ = RecordCount_ == 0;
  } catch (...) {
    State_ = dsInactive;
    try {
      SetBufListSize(0);
      CloseCursor();
    } catch (...) {
    }
    throw;
  }
  State_ = dsInactive;
  SetState(dsBrowse);
  if (AfterOpen) AfterOpen(*this);
  if (!IsEmpty()) DoAfterScroll();
}

void TDataSet::CloseInternal() {
  if (BeforeClose && !Destroying()) BeforeClose(*this);
  SetState(dsInactive);
  SetBufListSize(0);
  CloseCursor();
  Bof_ = Eof_ = true;
  if (AfterClose && !Destroying()) AfterClose(*this);
}

void TDataSet::OpenCursor(bool infoQuery) {
  if (infoQuery)
    InternalInitFieldDefs();
  else
    InternalOpen();
}

void TDataSet::CloseCursor() { InternalClose(); }

void TDataSet::InitFieldDefs() {
  if (IsCursorOpen()) {
    InternalInitFieldDefs();
    return;
  }
  OpenCursor(true);
  struct TClose {
    TDataSet* D;
    ~TClose() {
      try {
        D->CloseCursor();
      } catch (...) {
      }
    }
  } close{this};
}

void TDataSet::Loaded() {
  TComponent::Loaded();
  if (StreamedActive_) SetActive(true);
}

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError(SDataSetClosed);
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError(SDataSetIsOpen);
}

void TDataSet::SetState(TDataSetState state) {
  if (State_ == state) return;
  State_ = state;
  Modified_ = false;
  DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState state) {
  TDataSetState old = State_;
  State_ = state;
  ++TempStateDepth_;
  return old;
}

void TDataSet::RestoreState(TDataSetState state) {
  State_ = state;
  if (TempStateDepth_ > 0) --TempStateDepth_;
}

// ---- Fields ----

void TDataSet::AdoptField(std::unique_ptr<TField> field, const std::string& name, TFieldKind kind) {
  CheckInactive();
  if (name.empty()) DatabaseError(SFieldNameMissing);
  if (FindField(name)) DatabaseErrorFmt(SDuplicateFieldName, name);
  field->DataSet_ = this;
  field->FieldName_ = name;
  field->FieldKind_ = kind;
  Fields_.List_.push_back(std::move(field));
}

void TDataSet::RemoveField(TField* field) {
  CheckInactive();
  auto& list = Fields_.List_;
  auto it = std::find_if(list.begin(), list.end(),
                         [&](const std::unique_ptr<TField>& f) { return f.get() == field; });
  if (it != list.end()) list.erase(it);
}

std::vector<TField*> TDataSet::GetFieldList(const std::string& fieldNames) const {
  std::vector<TField*> list;
  for (const std::string& name : SplitFieldNames(fieldNames)) list.push_back(&FieldByName(name));
  return list;
}

std::vector<std::string> TDataSet::GetFieldNames() const {
  std::vector<std::string> names;
  for (int i = 0; i < FieldCount(); ++i) names.push_back(Fields_[i]->FieldName());
  return names;
}

void TDataSet::CreateFields() {
  for (int i = 0; i < FieldDefs_.Count(); ++i) {
    const TFieldDef& def = FieldDefs_[i];
    std::unique_ptr<TField> field = def.CreateField();
    field->DataSet_ = this;
    field->FieldNo_ = def.FieldNo;
    Fields_.List_.push_back(std::move(field));
  }
  DefaultFields_ = true;
}

void TDataSet::DestroyFields() {
  if (DefaultFields_) Fields_.List_.clear();
}

namespace {
bool SameKind(TFieldType a, TFieldType b) {
  auto text = [](TFieldType t) { return t == ftString || t == ftFixedChar || t == ftWideString || t == ftGuid; };
  return a == b || (text(a) && text(b)) || (IsBlobType(a) && IsBlobType(b));
}
}  // namespace

void TDataSet::BindFields(bool binding) {
  CalcFieldsSize_ = 0;
  HasCalcFields_ = false;
  for (auto& field : Fields_.List_) {
    TField& f = *field;
    if (!binding) {
      if (f.FieldKind_ == fkData || f.FieldKind_ == fkInternalCalc) f.FieldNo_ = 0;
      f.Offset_ = 0;
      continue;
    }
    if (f.FieldKind_ == fkData || f.FieldKind_ == fkInternalCalc) {
      const TFieldDef* def = FieldDefs_.Find(f.FieldName_);
      if (!def) DatabaseErrorFmt(SNoSuchField, f.FieldName_);
      if (!SameKind(def->DataType, f.DataType_)) DatabaseErrorFmt(SFieldTypeMismatch, f.FieldName_);
      f.FieldNo_ = def->FieldNo;
      // The record holds the definition's size; a field of another size would read past it.
      f.Size_ = def->Size;
    } else {
      if (f.FieldKind_ == fkLookup &&
          (!f.LookupDataSet_ || f.KeyFields.empty() || f.LookupKeyFields.empty() ||
           f.LookupResultField.empty()))
        DatabaseErrorFmt(SLookupInfoError, f.FieldName_);
      f.Offset_ = CalcFieldsSize_;
      CalcFieldsSize_ += f.DataSize() + 1;
      HasCalcFields_ = true;
    }
  }
}

void TDataSet::Notification(TComponent* component, TOperation operation) {
  if (operation == opRemove)
    for (auto& field : Fields_.List_)
      if (field->LookupDataSet_ == component) field->LookupDataSet_ = nullptr;
  TComponent::Notification(component, operation);
}

// ---- The buffer ring ----

uint8_t* TDataSet::ActiveBuffer() const {
  if (RecordCount_ == 0 || size_t(ActiveRecord_) >= Buffers_.size()) return nullptr;
  return Buffers_[size_t(ActiveRecord_)].get();
}

void TDataSet::SetBufListSize(int size) {
  if (size <= 0) {
    for (auto& buffer : Buffers_) FreeRecordBuffer(buffer);
    Buffers_.clear();
    if (TempBuffer_) FreeRecordBuffer(TempBuffer_);
    TempBuffer_.reset();
    RecordCount_ = 0;
    ActiveRecord_ = 0;
    CurrentRecord_ = -1;
    return;
  }
  std::vector<TRecordBuffer> made;
  TRecordBuffer temp;
  try {
    for (int i = 0; i < size; ++i) made.push_back(AllocRecordBuffer());
    temp = AllocRecordBuffer();
  } catch (...) {
    for (auto& buffer : made) FreeRecordBuffer(buffer);
    throw;
  }
  SetBufListSize(0);
  Buffers_ = std::move(made);
  TempBuffer_ = std::move(temp);
  BufferCount_ = size - 1;
  if (BufferCount_ < 1) BufferCount_ = 1;
}

void TDataSet::ClearBuffers() {
  RecordCount_ = 0;
  ActiveRecord_ = 0;
  CurrentRecord_ = -1;
}

void TDataSet::SetCurrentRecord(int index) {
  if (CurrentRecord_ == index) return;
  InternalSetToRecord(Buffers_[size_t(index)].get());
  CurrentRecord_ = index;
}

void TDataSet::UpdateCursorPos() {
  if (RecordCount_ > 0) SetCurrentRecord(ActiveRecord_);
}

bool TDataSet::GetNextRecord(bool& dropped) {
  dropped = false;
  if (RecordCount_ > 0) SetCurrentRecord(RecordCount_ - 1);
  uint8_t* spare = Buffers_[size_t(BufferCount_)].get();
  if (GetRecord(spare, gmNext, true) != grOK) {
    CursorPosChanged();
    return false;
  }
  if (RecordCount_ < BufferCount_) {
    std::swap(Buffers_[size_t(RecordCount_)], Buffers_[size_t(BufferCount_)]);
    ++RecordCount_;
  } else {
    // Full: the first buffer leaves the ring and becomes the spare.
    std::rotate(Buffers_.begin(), Buffers_.begin() + 1, Buffers_.begin() + BufferCount_ + 1);
    dropped = true;
  }
  CurrentRecord_ = RecordCount_ - 1;
  return true;
}

bool TDataSet::GetPriorRecord(bool& dropped) {
  dropped = false;
  if (RecordCount_ > 0) SetCurrentRecord(0);
  uint8_t* spare = Buffers_[size_t(BufferCount_)].get();
  if (GetRecord(spare, gmPrior, true) != grOK) {
    CursorPosChanged();
    return false;
  }
  if (RecordCount_ < BufferCount_) {
    std::swap(Buffers_[size_t(RecordCount_)], Buffers_[size_t(BufferCount_)]);
    std::rotate(Buffers_.begin(), Buffers_.begin() + RecordCount_,
                Buffers_.begin() + RecordCount_ + 1);
    ++RecordCount_;
  } else {
    // Full: the last buffer leaves the ring and becomes the spare.
    std::rotate(Buffers_.begin(), Buffers_.begin() + BufferCount_,
                Buffers_.begin() + BufferCount_ + 1);
    dropped = true;
  }
  CurrentRecord_ = 0;
  return true;
}

int TDataSet::GetNextRecords() {
  int count = 0;
  bool dropped;
  while (RecordCount_ < BufferCount_ && GetNextRecord(dropped)) ++count;
  return count;
}

int TDataSet::GetPriorRecords(int wanted) {
  int count = 0;
  bool dropped;
  while (count < wanted && RecordCount_ < BufferCount_ && GetPriorRecord(dropped)) ++count;
  return count;
}

void TDataSet::UpdateBufferCount() {
  int wanted = 1;
  for (TDataSource* source : DataSources_)
    for (TDataLink* link : source->Links_) wanted = std::max(wanted, link->BufferCount());
  SetBufferCount(wanted);
}

void TDataSet::SetBufferCount(int count) {
  if (count < 1) count = 1;
  if (count == BufferCount_) return;
  if (!Active() || Buffers_.empty()) {
    BufferCount_ = count;
    return;
  }
  if (count > BufferCount_) {
    std::vector<TRecordBuffer> extra;
    for (int i = BufferCount_; i < count; ++i) extra.push_back(AllocRecordBuffer());
    // New buffers go before the spare, after the filled ones.
    Buffers_.insert(Buffers_.begin() + BufferCount_, std::make_move_iterator(extra.begin()),
                    std::make_move_iterator(extra.end()));
    BufferCount_ = count;
    if (State_ == dsBrowse) {
      GetNextRecords();
      ActiveRecord_ += GetPriorRecords(BufferCount_ - RecordCount_);
    }
  } else {
    int excess = RecordCount_ - count;
    if (excess > 0) {
      // Drop records after the active one first, then before it.
      int atEnd = std::min(excess, RecordCount_ - 1 - ActiveRecord_);
      RecordCount_ -= atEnd;
      int atFront = excess - atEnd;
      if (atFront > 0) {
        std::rotate(Buffers_.begin(), Buffers_.begin() + atFront, Buffers_.begin() + RecordCount_);
        RecordCount_ -= atFront;
        ActiveRecord_ -= atFront;
      }
      CursorPosChanged();
    }
    // The unfilled buffers from `count` on go (the spare stays last).
    for (int i = count; i < BufferCount_; ++i) FreeRecordBuffer(Buffers_[size_t(i)]);
    Buffers_.erase(Buffers_.begin() + count, Buffers_.begin() + BufferCount_);
    BufferCount_ = count;
  }
  DataEvent(deDataSetChange, 0);
}

// ---- Navigation ----

void TDataSet::DoBeforeScroll() {
  if (BeforeScroll) BeforeScroll(*this);
}

void TDataSet::DoAfterScroll() {
  if (AfterScroll) AfterScroll(*this);
}

void TDataSet::First() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  InternalFirst();
  GetNextRecords();
  Bof_ = true;
  Eof_ = RecordCount_ == 0;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

void TDataSet::Last() {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  InternalLast();
  GetPriorRecords(BufferCount_);
  ActiveRecord_ = RecordCount_ > 0 ? RecordCount_ - 1 : 0;
  Eof_ = true;
  Bof_ = RecordCount_ == 0;
  DataEvent(deDataSetChange, 0);
  DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int moved = 0;
  if ((distance > 0 && !Eof_) || (distance < 0 && !Bof_)) {
    DoBeforeScroll();
    Bof_ = Eof_ = false;
    int shift = 0;  // how far the records moved inside the ring (toward index 0: negative)
    bool dropped;
    while (distance > 0) {
      if (ActiveRecord_ < RecordCount_ - 1) {
        ++ActiveRecord_;
      } else {
        if (!GetNextRecord(dropped)) {
          Eof_ = true;
          break;
        }
        if (dropped)
          --shift;
        else
          ActiveRecord_ = RecordCount_ - 1;
      }
      --distance;
      ++moved;
    }
    while (distance < 0) {
      if (ActiveRecord_ > 0) {
        --ActiveRecord_;
      } else {
        if (!GetPriorRecord(dropped)) {
          Bof_ = true;
          break;
        }
        ++shift;  // the new record is at 0 and active; the others moved up
      }
      ++distance;
      --moved;
    }
    DataEvent(deDataSetScroll, shift);
    DoAfterScroll();
  }
  return moved;
}

int64_t TDataSet::RecordCount() {
  CheckActive();
  return GetRecordCount();
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  UpdateCursorPos();
  InternalRefresh();
  Resync(0);
}

void TDataSet::Resync(TResyncMode mode) {
  if (Buffers_.empty()) return;
  uint8_t* spare = Buffers_[size_t(BufferCount_)].get();
  if (mode & rmExact) {
    CursorPosChanged();
    if (GetRecord(spare, gmCurrent, true) != grOK) DatabaseError(SRecordNotFound);
  } else if (GetRecord(spare, gmCurrent, false) != grOK && GetRecord(spare, gmNext, false) != grOK &&
             GetRecord(spare, gmPrior, false) != grOK) {
    ClearBuffers();
    Bof_ = Eof_ = true;
    DataEvent(deDataSetChange, 0);
    return;
  }
  // On a record again: a move in either direction may be tried.
  Bof_ = Eof_ = false;
  int wantPrior = (mode & rmCenter) ? (BufferCount_ - 1) / 2 : std::min(ActiveRecord_, BufferCount_ - 1);
  std::swap(Buffers_[0], Buffers_[size_t(BufferCount_)]);
  RecordCount_ = 1;
  ActiveRecord_ = 0;
  CurrentRecord_ = 0;
  ActiveRecord_ = GetPriorRecords(wantPrior);
  GetNextRecords();
  DataEvent(deDataSetChange, 0);
}

// ---- Bookmarks ----

bool TDataSet::BookmarkAvailable() {
  return (State_ == dsBrowse || State_ == dsEdit || State_ == dsInsert) && !IsEmpty() &&
         ActiveBuffer() && GetBookmarkFlag(ActiveBuffer()) == bfCurrent;
}

TBookmark TDataSet::GetBookmark() {
  if (!BookmarkAvailable()) return {};
  TBookmark bookmark(static_cast<size_t>(BookmarkSize_), 0);
  GetBookmarkData(ActiveBuffer(), bookmark.data());
  return bookmark;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  if (int(bookmark.size()) != BookmarkSize_) DatabaseError("Bookmark not valid for this dataset");
  CheckBrowseMode();
  DoBeforeScroll();
  InternalGotoBookmark(bookmark.data());
  Resync(rmExact | rmCenter);
  DoAfterScroll();
}

int TDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty() && b.empty()) return 0;
  if (a.empty()) return 1;
  if (b.empty()) return -1;
  int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c == 0) c = a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool TDataSet::BookmarkValid(const TBookmark&) { return false; }

// ---- What field objects call ----

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField* field, TBlobStreamMode) {
  DatabaseErrorFmt("Field '%s' has no BLOB stream in this dataset", field ? field->FieldName() : "");
}

void TDataSet::CloseBlob(TField*) {}

bool TDataSet::GetCurrentRecord(uint8_t*) { return false; }

std::string TDataSet::Translate(const std::string& text, bool) { return text; }

void TDataSet::InternalHandleException() { ApplicationHandleException(); }

// ---- Events to data sources ----

void TDataSet::DataEvent(TDataEvent event, intptr_t info) {
  if (event == deFieldChange) {
    auto* field = reinterpret_cast<TField*>(info);
    if (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc) Modified_ = true;
    if (State_ != dsSetKey) {
      if (HasCalcFields_ && AutoCalcFields_ && field->FieldKind() == fkData && ActiveBuffer())
        CalculateFields(ActiveBuffer());
      if (field->OnChange) field->OnChange(*field);
    }
  }
  // Temporary states (old values, filters, calculations) tell nobody.
  if (DisableCount_ == 0 && TempStateDepth_ == 0) SendToSources(event, info);
}

void TDataSet::SendToSources(TDataEvent event, intptr_t info) {
  std::vector<TDataSource*> sources = DataSources_;
  for (TDataSource* source : sources)
    if (std::find(DataSources_.begin(), DataSources_.end(), source) != DataSources_.end())
      source->DataEvent(event, info);
}

void TDataSet::DisableControls() {
  if (DisableCount_ == 0) DisableState_ = State_;
  ++DisableCount_;
}

void TDataSet::EnableControls() {
  if (DisableCount_ == 0) return;
  if (--DisableCount_ > 0) return;
  if (State_ != DisableState_) SendToSources(deUpdateState, 0);
  if (State_ != dsInactive && DisableState_ != dsInactive) SendToSources(deDataSetChange, 0);
}

void TDataSet::AddDataSource(TDataSource* source) {
  DataSources_.push_back(source);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
  DataSources_.erase(std::remove(DataSources_.begin(), DataSources_.end(), source), DataSources_.end());
  if (!Destroying()) UpdateBufferCount();
}

bool TDataSet::IsLinkedTo(const TDataSource* source) const {
  // A chain of sources ends at a data set without one; a chain longer than any real one
  // has a circle that does not pass through this data set.
  const TDataSet* dataSet = source ? source->DataSet() : nullptr;
  for (int steps = 0; dataSet && steps < 100000; ++steps) {
    if (dataSet == this) return true;
    TDataSource* next = dataSet->GetDataSource();
    dataSet = next ? next->DataSet() : nullptr;
  }
  return false;
}

}  // namespace veldor
