// The data set's editing through the cursor: the record lock held from Edit to Post or
// Cancel, new records (with CopyOnAppend), posting, deleting, and the end of a key edit.
#include <cstring>

#include "components/component_errors.h"
#include "components/dataset.h"
#include "lib/byte_order.h"

namespace veldor {

void TVELDORDataSet::ClearBlobModified() {
  for (int i = 0; i < FieldCount(); ++i)
    if (Fields()[i]->IsBlob()) Fields()[i]->SetModified(false);
}

void TVELDORDataSet::Post() {
  TDataSet::Post();
  if (State() == dsSetKey) FinishKeyEdit(true);
}

void TVELDORDataSet::Cancel() {
  TDataSet::Cancel();
  if (State() == dsSetKey) FinishKeyEdit(false);
}

// Reads the record afresh under its record lock; the cursor refuses (and unlocks) when the
// record changed since the ring read it. The lock stays until Post or Cancel.
void TVELDORDataSet::InternalEdit() {
  uint8_t* buffer = ActiveBuffer();
  const uint16_t result = Cursor_->GetCurrentRecord(buffer, true);
  if (result != 0) {
    try {
      Cursor_->UnlockRecord();
    } catch (...) {
    }
    RaiseTableError(result, Cursor_->TableName());
  }
  EditLocked_ = true;
  std::memcpy(OldValueBuffer_.data(), buffer, size_t(RecBufSize_));
  ClearBlobModified();
}

void TVELDORDataSet::InternalInsert() {
  if (EditLocked_) {
    EditLocked_ = false;
    Cursor_->UnlockRecord(LoadI32(OldValueBuffer_.data() + kRecordNumberOffset));
  }
  Cursor_->FreeAllBlobs(true);
  ClearBlobModified();
}

// CopyOnAppend copies the record that was current when Insert or Append began, which
// Append's move to the end has left behind by the time the new record exists.
void TVELDORDataSet::NewRecordStarting() {
  CopySource_.clear();
  uint8_t* buffer = ActiveBuffer();
  if (!CopyOnAppend_ || !buffer || IsEmpty() || GetBookmarkFlag(buffer) != bfCurrent) return;
  CopySource_.resize(size_t(BookmarkSize_));
  GetBookmarkData(buffer, CopySource_.data());
}

void TVELDORDataSet::DoOnNewRecord() {
  uint8_t* buffer = ActiveBuffer();
  bool copied = false;
  if (CopyOnAppend_ && buffer && !CopySource_.empty()) {
    // A copy of that record, its BLOBs included.
    std::vector<uint8_t> image(size_t(RecordSize_), 0);
    if (Cursor_->SetToBookmark(CopySource_.data()) && Cursor_->CloneCurrentRecord(image.data()) == 0) {
      std::memcpy(buffer, image.data(), size_t(RecordSize_));
      std::memcpy(OldValueBuffer_.data(), buffer, size_t(RecBufSize_));
      copied = true;
    }
  }
  CopySource_.clear();
  if (!copied) {
    std::fill(OldValueBuffer_.begin(), OldValueBuffer_.end(), uint8_t(0));
    Cursor_->InitRecord(OldValueBuffer_.data());
  }
  TDataSet::DoOnNewRecord();
}

void TVELDORDataSet::InternalPost() {
  TDataSet::InternalPost();
  uint8_t* buffer = ActiveBuffer();
  if (State() == dsEdit) {
    Cursor_->ModifyRecord(buffer, true);
    EditLocked_ = false;
  } else {
    Cursor_->AppendRecord(buffer);
  }
  // The written BLOB buffers stay open in the cursor after the write; the record is read
  // afresh after a post, so they are let go here, or every post would hold one more.
  Cursor_->FreeAllBlobs(true);
  ClearBlobModified();
}

void TVELDORDataSet::InternalCancel() {
  Cursor_->FreeAllBlobs(true);
  ClearBlobModified();
  if (EditLocked_) {
    EditLocked_ = false;
    Cursor_->UnlockRecord(LoadI32(OldValueBuffer_.data() + kRecordNumberOffset));
  }
}

void TVELDORDataSet::InternalDelete() { Cursor_->DeleteRecord(ActiveBuffer()); }

}  // namespace veldor
