// Field values in record images, and BLOB values through the cursor's open buffers.
//
// An open BLOB is held in a `TBlobBuffer` of the cursor; the field's reference in the
// caller's image is replaced by the negated handle (index + 1) of that buffer until the
// buffer is freed. Buffers reach the BLOB file only when their record is appended or
// modified; closing the cursor frees them unwritten.

#include <algorithm>
#include <cstring>

#include "engine/blob_file.h"
#include "engine/cursor_internal.h"
#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "lib/byte_order.h"

namespace veldor {

bool TDataCursor::GetField(uint16_t field, const uint8_t* record, void* value) const {
  const TFieldDescriptor& f = Field(field);
  return GetFieldValue(record, f, value);
}

void TDataCursor::PutField(uint16_t field, uint8_t* record, const void* value) {
  const TFieldDescriptor& f = Field(field);
  if (f.Calculated()) {
    // Only the cursor's own evaluation writes calculated fields.
    if (Calculating_) PutFieldValue(record, f, value, TValueContext{Collation_}, true);
    return;
  }
  PutFieldValue(record, f, value, TValueContext{Collation_});
  if (f.FieldType() == FIELD_BLOB && value != nullptr) {
    int32_t reference = LoadI32(BlobSlot(record, f));
    if (reference < 0) {
      size_t index = size_t(-int64_t(reference) - 1);
      if (index < Blobs_.size() && Blobs_[index] && Blobs_[index]->Data.empty())
        SetFieldPresent(record, f, false);
    }
  }
  if (HasCalculated_) Calculate(record);
}

const TFieldDescriptor* TDataCursor::BlobField(uint16_t field, bool byTableNumber) const {
  if (byTableNumber) {
    const TFieldDescriptor* f = Table_ ? Table_->Field(field) : nullptr;
    if (f == nullptr)
      RaiseEngineError(VELDOR_OUTOFRANGE, "", "", "", TableName_, std::to_string(field), "", "");
    // The stored field's place in this cursor's image is the one of the same number.
    for (const TFieldDescriptor& own : Fields_)
      if (own.FieldNumber() == f->FieldNumber() && own.IsStored()) return &own;
    return f;
  }
  return &Field(field);
}

TBlobBuffer* TDataCursor::BufferOf(uint16_t field, const uint8_t* record, bool byTableNumber,
                                   uint16_t& code) const {
  const TFieldDescriptor* f = BlobField(field, byTableNumber);
  if (f->FieldType() != FIELD_BLOB) {
    code = VELDOR_NOTABLOB;
    return nullptr;
  }
  int32_t reference = LoadI32(BlobSlot(record, *f));
  if (reference >= 0) {
    code = VELDOR_INVALIDBLOBHANDLE;
    return nullptr;
  }
  TBlobBuffer* buffer = OpenBufferFor(reference, record, *f);
  code = buffer != nullptr ? 0 : VELDOR_MEMOCORRUPT;
  return buffer;
}

// The open buffer a negative reference in `record` names. Only the cursor's own buffers
// put such references into images, and only into the image of the record (or new record)
// the buffer was opened on: a negative reference in a stored record, or one naming a buffer
// of another record or field, is damage and names nothing.
TBlobBuffer* TDataCursor::OpenBufferFor(int32_t reference, const uint8_t* record,
                                        const TFieldDescriptor& field) const {
  const size_t index = size_t(-int64_t(reference) - 1);
  if (reference >= 0 || index >= Blobs_.size() || !Blobs_[index]) return nullptr;
  TBlobBuffer* buffer = Blobs_[index].get();
  const int32_t number = LoadI32(record + kRecordNumberOffset);
  if (buffer->FieldNumber != field.FieldNumber()) return nullptr;
  if (number != 0 && buffer->RecordNumber != 0 && buffer->RecordNumber != number) return nullptr;
  return buffer;
}

void TDataCursor::UpdateBlobField(const TFieldDescriptor& field, uint8_t* record,
                                  TBlobBuffer& buffer) {
  SetFieldPresent(record, field, !buffer.Data.empty());
}

int TDataCursor::OpenBlobCount() const {
  return int(std::count_if(Blobs_.begin(), Blobs_.end(), [](const auto& b) { return b != nullptr; }));
}

uint16_t TDataCursor::OpenBlob(uint16_t field, uint8_t* record, uint8_t owner, bool byTableNumber,
                               uint8_t access) {
  RequireOpen();
  const TFieldDescriptor* f = BlobField(field, byTableNumber);
  if (f->FieldType() != FIELD_BLOB) return VELDOR_NOTABLOB;
  uint8_t* slot = BlobSlot(record, *f);
  int32_t reference = LoadI32(slot);
  if (reference < 0) {
    TBlobBuffer* found = OpenBufferFor(reference, record, *f);
    if (found == nullptr) return VELDOR_MEMOCORRUPT;
    TBlobBuffer& open = *found;
    // A caller that opens a buffer the engine opened takes it over.
    if (owner == kBlobOwnerCaller) open.OwnerTag = kBlobOwnerCaller;
    open.Access = std::max(open.Access, access);
    return 0;
  }
  if (OpenBlobCount() >= kMaxOpenBlobs) return VELDOR_OPENBLOBLIMIT;
  auto buffer = std::make_unique<TBlobBuffer>();
  buffer->Cursor = this;
  buffer->FieldNumber = f->FieldNumber();
  buffer->FirstBlock = reference;
  buffer->BlobId = LoadI32(slot + 4);
  buffer->RecordNumber = LoadI32(record + kRecordNumberOffset);
  buffer->OwnerTag = owner;
  buffer->Access = access;
  if (reference != 0) {
    if (!Table_->HasBlobFile()) RaiseTableError(VELDOR_MEMOCORRUPT, TableName_);
    Bracketed([&] { buffer->Load(Table_->BlobFile(), Hooks()); });
  }
  size_t index = 0;
  while (index < Blobs_.size() && Blobs_[index]) ++index;
  if (index == Blobs_.size()) Blobs_.emplace_back();
  Blobs_[index] = std::move(buffer);
  StoreI32(slot, -int32_t(index + 1));
  UpdateBlobField(*f, record, *Blobs_[index]);
  return 0;
}

void TDataCursor::FreeBuffer(size_t index, uint8_t* record) {
  TBlobBuffer& buffer = *Blobs_[index];
  if (record != nullptr) {
    for (const TFieldDescriptor& f : Fields_) {
      if (f.FieldType() != FIELD_BLOB || !f.IsStored()) continue;
      uint8_t* slot = BlobSlot(record, f);
      if (LoadI32(slot) != -int32_t(index + 1)) continue;
      StoreI32(slot, buffer.FirstBlock);
      StoreI32(slot + 4, buffer.BlobId);
      SetFieldPresent(record, f, buffer.FirstBlock != 0);
    }
  }
  Blobs_[index].reset();
}

uint16_t TDataCursor::FreeBlob(uint16_t field, uint8_t* record, uint8_t owner, bool byTableNumber) {
  uint16_t code = 0;
  TBlobBuffer* buffer = BufferOf(field, record, byTableNumber, code);
  if (buffer == nullptr) return code;
  if (buffer->OwnerTag != owner) return 0;
  const TFieldDescriptor* f = BlobField(field, byTableNumber);
  size_t index = size_t(-int64_t(LoadI32(BlobSlot(record, *f))) - 1);
  FreeBuffer(index, record);
  return 0;
}

void TDataCursor::FreeAllBlobs(bool all) {
  for (auto& buffer : Blobs_)
    if (buffer && (all || buffer->OwnerTag == kBlobOwnerEngine)) buffer.reset();
}

uint16_t TDataCursor::GetBlob(uint16_t field, const uint8_t* record, bool byTableNumber,
                              uint32_t offset, uint32_t length, void* destination,
                              uint32_t& count) {
  count = 0;
  uint16_t code = 0;
  TBlobBuffer* buffer = BufferOf(field, record, byTableNumber, code);
  if (buffer == nullptr) return code;
  const uint64_t size = buffer->Data.size();
  uint16_t result = 0;
  if (uint64_t(offset) + length <= size) {
    count = length;
  } else {
    count = offset < size ? uint32_t(size - offset) : 0;
    result = VELDOR_ENDOFBLOB;
  }
  if (count > 0) std::memcpy(destination, buffer->Data.data() + offset, count);
  return result;
}

uint16_t TDataCursor::PutBlob(uint16_t field, uint8_t* record, bool byTableNumber, uint32_t offset,
                              uint32_t length, const void* source) {
  uint16_t code = 0;
  TBlobBuffer* buffer = BufferOf(field, record, byTableNumber, code);
  if (buffer == nullptr) return code;
  uint64_t end = uint64_t(offset) + length;
  if (end > INT32_MAX) return VELDOR_INVALIDBLOBLEN;
  if (buffer->Data.size() < end) buffer->Data.resize(size_t(end), 0);
  if (length > 0) std::memcpy(buffer->Data.data() + offset, source, length);
  buffer->Modified = true;
  UpdateBlobField(*BlobField(field, byTableNumber), record, *buffer);
  return 0;
}

uint16_t TDataCursor::TruncateBlob(uint16_t field, uint8_t* record, bool byTableNumber,
                                   uint32_t length) {
  uint16_t code = 0;
  TBlobBuffer* buffer = BufferOf(field, record, byTableNumber, code);
  if (buffer == nullptr) return code;
  if (length > INT32_MAX) return VELDOR_INVALIDBLOBLEN;
  buffer->Data.resize(length, 0);
  buffer->Modified = true;
  UpdateBlobField(*BlobField(field, byTableNumber), record, *buffer);
  return 0;
}

uint16_t TDataCursor::GetBlobSize(uint16_t field, const uint8_t* record, bool byTableNumber,
                                  uint32_t& length) {
  length = 0;
  uint16_t code = 0;
  TBlobBuffer* buffer = BufferOf(field, record, byTableNumber, code);
  if (buffer == nullptr) return code;
  length = uint32_t(buffer->Data.size());
  return 0;
}

// Writes the BLOB values of an image being stored as record `target`: modified buffers
// get new values, untouched buffers give back their stored reference, raw references
// that do not belong to the record are copied into values of its own. Engine-owned
// buffers are freed afterwards; the caller's stay open on its image.
void TDataCursor::WriteBlobs(uint8_t* image, uint8_t* target, const uint8_t* oldRecord) {
  if (!Table_->HasBlobFile()) return;
  TBlobFile& file = Table_->BlobFile();
  bool haveOwner = false;
  int32_t owner = 0;
  for (const TFieldDescriptor& f : Fields_) {
    if (f.FieldType() != FIELD_BLOB || !f.IsStored()) continue;
    int32_t reference = LoadI32(BlobSlot(image, f));
    if (reference >= 0) continue;
    TBlobBuffer* found = OpenBufferFor(reference, image, f);
    if (found == nullptr) RaiseTableError(VELDOR_MEMOCORRUPT, TableName_);
    TBlobBuffer& buffer = *found;
    if (!buffer.Modified) continue;
    if (haveOwner && buffer.RecordNumber != owner) RaiseTableError(VELDOR_MEMOCORRUPT, TableName_);
    haveOwner = true;
    owner = buffer.RecordNumber;
  }
  for (const TFieldDescriptor& f : Fields_) {
    if (f.FieldType() != FIELD_BLOB || !f.IsStored()) continue;
    uint8_t* slot = BlobSlot(image, f);
    uint8_t* stored = BlobSlot(target, f);
    int32_t reference = LoadI32(slot);
    const int32_t oldReference = oldRecord ? LoadI32(BlobSlot(oldRecord, f)) : 0;
    bool oldHandled = false;  // the buffer rewrote or freed the old chain itself
    if (reference < 0) {
      TBlobBuffer& buffer = *OpenBufferFor(reference, image, f);
      // Only the chain this record already references may be rewritten in place; a value
      // opened on another record's image becomes a new value of this one.
      const bool own = oldRecord != nullptr && buffer.FirstBlock == oldReference;
      oldHandled = own && oldReference != 0;
      if (!own && buffer.FirstBlock != 0) {
        buffer.FirstBlock = 0;
        buffer.Modified = true;
      }
      if (buffer.Modified) {
        buffer.Save(file);
        buffer.Modified = false;
      }
      buffer.RecordNumber = LoadI32(target + kRecordNumberOffset);
      StoreI32(stored, buffer.FirstBlock);
      StoreI32(stored + 4, buffer.BlobId);
      SetFieldPresent(target, f, buffer.FirstBlock != 0);
    } else if (reference != 0 && reference != oldReference) {
      // A raw reference copied from elsewhere: the record gets a value of its own.
      TBlobBuffer copy = StoredBlob(image, f);
      copy.Load(file);
      copy.FirstBlock = 0;
      copy.Save(file);
      StoreI32(stored, copy.FirstBlock);
      StoreI32(stored + 4, copy.BlobId);
      SetFieldPresent(target, f, copy.FirstBlock != 0);
    } else if (reference != 0) {
      std::memcpy(stored, slot, 8);
      SetFieldPresent(target, f, true);
    } else {
      StoreI32(stored, 0);
      StoreI32(stored + 4, 0);
      SetFieldPresent(target, f, false);
    }
    // A value the record no longer references is released.
    const int32_t now = LoadI32(stored);
    if (oldReference > 0 && now != oldReference && !oldHandled) {
      TBlobBuffer gone = StoredBlob(oldRecord, f);
      gone.Delete(file);
    }
  }
  // Engine-owned buffers end with the write; the caller's image keeps the stored reference.
  for (size_t i = 0; i < Blobs_.size(); ++i)
    if (Blobs_[i] && Blobs_[i]->OwnerTag == kBlobOwnerEngine) FreeBuffer(i, image);
}

}  // namespace veldor
