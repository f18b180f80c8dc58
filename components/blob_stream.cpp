#include "components/blob_stream.h"

#include <algorithm>

#include "components/component_errors.h"
#include "components/dataset.h"
#include "lib/byte_order.h"
#include "toolkit/component.h"

namespace veldor {

namespace {
constexpr int64_t kMaxBlobPosition = UINT32_MAX;
}  // namespace

TVELDORBlobStream::TVELDORBlobStream(TField* field, TBlobStreamMode mode) : Field_(field), Mode_(mode) {
  DataSet_ = dynamic_cast<TVELDORDataSet*>(field->DataSet());
  if (!DataSet_ || !DataSet_->Handle()) return;
  FieldNo_ = uint16_t(field->FieldNo());
  Buffer_ = DataSet_->ActiveRecordBuffer();
  if (!Buffer_ || FieldNo_ == 0) return;
  TDataCursor& cursor = *DataSet_->Handle();
  // A buffer already open in this record (the engine's copy of a record for CopyOnAppend,
  // another stream) is used, not taken: freeing it would drop a value not yet posted.
  const TFieldDescriptor& descriptor = cursor.Field(FieldNo_);
  if (descriptor.FieldType() == FIELD_BLOB)
    Borrowed_ = LoadI32(Buffer_ + descriptor.Offset() + 1) < 0;
  if (!field->Modified()) {
    if (mode != bmRead) {
      if (field->ReadOnly()) ComponentError(SFieldReadOnly, field->DisplayName());
      if (DataSet_->State() != dsEdit && DataSet_->State() != dsInsert) ComponentError(SNotEditing);
    }
    const uint16_t code =
        cursor.OpenBlob(FieldNo_, Buffer_, kBlobOwnerCaller, false, mode == bmRead ? kBlobRead : kBlobWrite);
    if (code != 0) RaiseTableError(code, cursor.TableName());
  }
  Opened_ = true;
  if (mode == bmWrite) {
    const uint16_t code = cursor.TruncateBlob(FieldNo_, Buffer_, false, 0);
    if (code != 0) RaiseTableError(code, cursor.TableName());
    Modified_ = true;
  }
}

TVELDORBlobStream::~TVELDORBlobStream() {
  if (!Opened_ || !DataSet_ || !DataSet_->Handle()) return;
  if (Modified_) Field_->SetModified(true);
  if (!Field_->Modified() && !Borrowed_)
    DataSet_->Handle()->FreeBlob(FieldNo_, Buffer_, kBlobOwnerCaller, false);
  if (!Modified_) return;
  try {
    DataSet_->DataEvent(deFieldChange, reinterpret_cast<intptr_t>(Field_));
  } catch (...) {
    ApplicationHandleException();
  }
}

void TVELDORBlobStream::CheckWritable() const {
  if (Mode_ == bmRead) ComponentError(SNotEditing);
}

uint32_t TVELDORBlobStream::BlobSize() {
  if (!Opened_) return 0;
  uint32_t length = 0;
  const uint16_t code = DataSet_->Handle()->GetBlobSize(FieldNo_, Buffer_, false, length);
  if (code != 0) RaiseTableError(code, DataSet_->Handle()->TableName());
  return length;
}

int64_t TVELDORBlobStream::Read(void* buffer, int64_t count) {
  if (!Opened_ || count <= 0) return 0;
  const uint32_t length = uint32_t(std::min<int64_t>(count, kMaxBlobPosition - Position_));
  uint32_t got = 0;
  const uint16_t code = DataSet_->Handle()->GetBlob(FieldNo_, Buffer_, false, Position_, length, buffer, got);
  if (code == 0 || code == VELDOR_ENDOFBLOB) {
    Position_ += got;
    return got;
  }
  if (code == VELDOR_INVALIDBLOBOFFSET) return 0;
  RaiseTableError(code, DataSet_->Handle()->TableName());
}

int64_t TVELDORBlobStream::Write(const void* buffer, int64_t count) {
  if (!Opened_ || count <= 0) return 0;
  CheckWritable();
  if (count > kMaxBlobPosition - Position_) throw EStreamError("Stream write error");
  const uint16_t code =
      DataSet_->Handle()->PutBlob(FieldNo_, Buffer_, false, Position_, uint32_t(count), buffer);
  if (code != 0) RaiseTableError(code, DataSet_->Handle()->TableName());
  Position_ += uint32_t(count);
  Modified_ = true;
  return count;
}

int64_t TVELDORBlobStream::Seek(int64_t offset, TStreamOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? int64_t(Position_) : int64_t(BlobSize());
  int64_t target = StreamOffsetAdd(base, offset);
  if (target < 0 || target > kMaxBlobPosition) throw EStreamError("Invalid stream position");
  Position_ = uint32_t(target);
  return Position_;
}

int64_t TVELDORBlobStream::Size() { return BlobSize(); }

void TVELDORBlobStream::SetSize(int64_t size) {
  if (!Opened_) return;
  CheckWritable();
  if (size < 0 || size > kMaxBlobPosition) throw EStreamError("Invalid stream size");
  const uint16_t code = DataSet_->Handle()->TruncateBlob(FieldNo_, Buffer_, false, uint32_t(size));
  if (code != 0) RaiseTableError(code, DataSet_->Handle()->TableName());
  Modified_ = true;
}

void TVELDORBlobStream::Truncate() { SetSize(Position_); }

}  // namespace veldor
