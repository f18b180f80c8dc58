// The data set's editing: edit, insert, append, post, cancel, delete, and the checks and
// error events around them.
#include <algorithm>

#include "toolkit/dataset.h"

namespace veldor {

void TDataSet::CheckCanModify() {
  if (!CanModify()) DatabaseError(SDataSetReadOnly);
}

void TDataSet::CheckOperation(const std::function<void()>& operation,
                              const TDataSetErrorEvent& handler) {
  for (;;) {
    try {
      operation();
      return;
    } catch (const EDatabaseError& error) {
      TDataAction action = daFail;
      if (handler) handler(*this, error, action);
      if (action == daFail) throw;
      if (action == daAbort) Abort();
      // daRetry: once more.
    }
  }
}

void TDataSet::InitRecord(uint8_t* buffer) {
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
  SetBookmarkFlag(buffer, bfInserted);
}

void TDataSet::DoOnNewRecord() {
  if (OnNewRecord) OnNewRecord(*this);
}

void TDataSet::InternalPost() {
  for (int i = 0; i < FieldCount(); ++i) {
    TField* f = Fields_[i];
    if (f->Required() && !f->ReadOnly() && f->FieldKind() == fkData && f->DataType() != ftAutoInc &&
        f->IsNull())
      DatabaseErrorFmt(SFieldRequired, f->DisplayName());
  }
}

void TDataSet::Edit() {
  if (State_ == dsEdit || State_ == dsInsert) return;
  if (RecordCount_ == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  if (BeforeEdit) BeforeEdit(*this);
  UpdateCursorPos();
  CheckOperation([this] { InternalEdit(); }, OnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange, 0);
  if (AfterEdit) AfterEdit(*this);
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  if (BeforeInsert) BeforeInsert(*this);
  DoBeforeScroll();
  NewRecordStarting();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    // A refused new record leaves no half-made record behind.
    InternalCancel();
    State_ = dsBrowse;
    Resync(0);
    DataEvent(deUpdateState, 0);
    throw;
  }
  Modified_ = false;
  DataEvent(deDataSetChange, 0);
  if (AfterInsert) AfterInsert(*this);
  DoAfterScroll();
}

void TDataSet::Insert() {
  BeginInsertAppend();
  UpdateCursorPos();
  TBookmark before;
  if (RecordCount_ > 0 && GetBookmarkFlag(ActiveBuffer()) == bfCurrent) {
    before.resize(size_t(BookmarkSize_));
    GetBookmarkData(ActiveBuffer(), before.data());
  }
  auto begin = Buffers_.begin();
  if (RecordCount_ < BufferCount_) {
    // The spare takes the free slot after the filled ones, then moves to the active slot.
    std::swap(Buffers_[size_t(RecordCount_)], Buffers_[size_t(BufferCount_)]);
    std::rotate(begin + ActiveRecord_, begin + RecordCount_, begin + RecordCount_ + 1);
    ++RecordCount_;
  } else {
    // Full: the last record leaves the ring and its buffer becomes the spare.
    std::rotate(begin + ActiveRecord_, begin + BufferCount_, begin + BufferCount_ + 1);
  }
  InitRecord(ActiveBuffer());
  // The new record stands where the active one stood: positioning on it finds that one.
  if (!before.empty()) SetBookmarkData(ActiveBuffer(), before.data());
  CursorPosChanged();
  Bof_ = Eof_ = false;
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  ClearBuffers();
  std::swap(Buffers_[0], Buffers_[size_t(BufferCount_)]);
  RecordCount_ = 1;
  InitRecord(Buffers_[0].get());
  SetBookmarkFlag(Buffers_[0].get(), bfEOF);
  InternalLast();
  // The cursor stands after the last record, where the new one goes: read back from there.
  CurrentRecord_ = 0;
  GetPriorRecords(BufferCount_ - 1);
  ActiveRecord_ = RecordCount_ - 1;
  CursorPosChanged();
  Bof_ = false;
  Eof_ = true;
  InternalInsert();
  EndInsertAppend();
}

void TDataSet::UpdateRecord() {
  if (State_ != dsEdit && State_ != dsInsert && State_ != dsSetKey) DatabaseError(SNotInEditMode);
  DataEvent(deUpdateRecord, 0);
}

void TDataSet::Post() {
  UpdateRecord();
  if (State_ != dsEdit && State_ != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  if (BeforePost) BeforePost(*this);
  if (State_ == dsEdit) UpdateCursorPos();
  CheckOperation([this] { InternalPost(); }, OnPostError);
  SetState(dsBrowse);
  Resync(0);
  if (AfterPost) AfterPost(*this);
}

void TDataSet::Cancel() {
  if (State_ != dsEdit && State_ != dsInsert) return;
  DataEvent(deCheckBrowseMode, 0);
  if (BeforeCancel) BeforeCancel(*this);
  InternalCancel();
  SetState(dsBrowse);
  Resync(0);
  if (AfterCancel) AfterCancel(*this);
}

void TDataSet::Delete() {
  CheckActive();
  if (State_ == dsInsert) {
    Cancel();
    return;
  }
  if (RecordCount_ == 0) DatabaseError(SDataSetEmpty);
  DataEvent(deCheckBrowseMode, 0);
  if (BeforeDelete) BeforeDelete(*this);
  DoBeforeScroll();
  UpdateCursorPos();
  CheckOperation([this] { InternalDelete(); }, OnDeleteError);
  SetState(dsBrowse);
  Resync(0);
  if (AfterDelete) AfterDelete(*this);
  DoAfterScroll();
}

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode, 0);
  switch (State_) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (Modified_)
        Post();
      else
        Cancel();
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

}  // namespace veldor
