// Record editing through the cursor: new images with defaults, validation, append, modify,
// delete with their keys in every index and their BLOBs, record locks and the flushes that
// make writes visible to others.
//
// Every writing operation takes the table's write lock first and the record lock second,
// releases them in the opposite order on every path, and runs every check that can fail
// for reasons of the data (validation, unique keys, changed records, BLOB owners) before
// its first change, so that such a failure leaves the table as it was.

#include <algorithm>
#include <cstring>

#include "engine/blob_file.h"
#include "engine/cursor_internal.h"
#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "lib/byte_order.h"
#include "lib/collation.h"
#include "lib/date_time.h"
#include "lib/name_text.h"
#include "lib/text_forms.h"

namespace veldor {
namespace {

[[noreturn]] void RaiseFieldError(uint16_t code, const std::string& table, const std::string& field) {
  RaiseEngineError(code, "", "", "", table, field, "", "");
}

// A value text converted to the slot form of `field`; false when it does not convert.
// `current` allows CURRENT_DATE, CURRENT_TIME and CURRENT_TIMESTAMP.
bool SlotFromText(const TFieldDescriptor& field, const std::string& text, bool current,
                  std::vector<uint8_t>& slot) {
  slot.assign(std::max<size_t>(field.SlotSize(), 8) + 1, 0);
  auto is = [&](const char* word) { return current && EqualsIgnoreCase(Trimmed(text), word); };
  switch (field.FieldType()) {
    case FIELD_STRING:
      std::memcpy(slot.data(), text.data(), std::min(text.size(), slot.size() - 1));
      return true;
    case FIELD_DATE: {
      int32_t day = 0;
      if (is("CURRENT_DATE")) day = CurrentDate();
      else if (!TryTextToDate(text, day)) return false;
      StoreI32(slot.data(), day);
      return true;
    }
    case FIELD_TIME: {
      int32_t ms = 0;
      if (is("CURRENT_TIME")) ms = CurrentTime();
      else if (!TryTextToTime(text, ms)) return false;
      StoreI32(slot.data(), ms);
      return true;
    }
    case FIELD_TIMESTAMP: {
      double t = 0;
      if (is("CURRENT_TIMESTAMP")) t = CurrentTimestamp();
      else if (is("CURRENT_DATE")) t = MakeTimestamp(CurrentDate(), 0);
      else if (is("CURRENT_TIME")) t = MakeTimestamp(0, CurrentTime());
      else if (!TryTextToTimestamp(text, t)) return false;
      StoreDouble(slot.data(), t);
      return true;
    }
    case FIELD_BOOLEAN: {
      bool b = false;
      if (!TryTextToBoolean(text, b)) return false;
      StoreU16(slot.data(), b ? 1 : 0);
      return true;
    }
    case FIELD_SMALLINT:
    case FIELD_WORD:
    case FIELD_INTEGER:
    case FIELD_LONGWORD:
    case FIELD_LARGEINT: {
      int64_t v = 0;
      if (!TryTextToInteger(Trimmed(text), INT64_MIN, INT64_MAX, v)) return false;
      if (field.SlotSize() == 2) StoreU16(slot.data(), uint16_t(v));
      else if (field.SlotSize() == 4) StoreU32(slot.data(), uint32_t(v));
      else StoreU64(slot.data(), uint64_t(v));
      return true;
    }
    case FIELD_FLOAT: {
      double d = 0;
      if (!TryTextToFloat(text, d)) return false;
      StoreDouble(slot.data(), d);
      return true;
    }
    case FIELD_BCD: {
      int64_t amount = 0;
      if (!TryTextToCurrency(text, amount)) return false;
      return CurrencyToBCD(amount, field.DeclaredScale(), slot.data());
    }
    default:
      return false;
  }
}

// -1, 0 or 1 for two slot values of `field`; 2 when the type is not compared.
int CompareSlots(const TFieldDescriptor& field, const uint8_t* a, const uint8_t* b,
                 const TCollation& collation) {
  auto sign = [](auto x, auto y) { return x < y ? -1 : x > y ? 1 : 0; };
  switch (field.FieldType()) {
    case FIELD_STRING:
      return collation.Compare(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b),
                               field.SlotSize(), false);
    case FIELD_DATE:
    case FIELD_TIME:
    case FIELD_INTEGER: return sign(LoadI32(a), LoadI32(b));
    case FIELD_SMALLINT: return sign(LoadI16(a), LoadI16(b));
    case FIELD_WORD: return sign(LoadU16(a), LoadU16(b));
    case FIELD_LONGWORD: return sign(LoadU32(a), LoadU32(b));
    case FIELD_LARGEINT: return sign(LoadI64(a), LoadI64(b));
    case FIELD_FLOAT:
    case FIELD_TIMESTAMP: return sign(LoadDouble(a), LoadDouble(b));
    case FIELD_BCD: {
      int64_t x = 0, y = 0;
      if (!BCDToCurrency(a, x) || !BCDToCurrency(b, y)) return 2;
      return sign(x, y);
    }
    default: return 2;
  }
}


}  // namespace

// ---- New images and validation --------------------------------------------------------------------

void TDataCursor::InitRecord(uint8_t* buffer) {
  RequireOpen();
  std::memset(buffer, 0, RecordSize_);
  if (!HasDefaults_) return;
  std::vector<uint8_t> slot;
  for (size_t i = 0; i < Fields_.size(); ++i) {
    const TFieldDescriptor& f = Fields_[i];
    std::string text = f.DefaultValue();
    if (text.empty() || !f.IsStored()) continue;
    if (SlotFromText(f, text, true, slot)) PutField(uint16_t(i + 1), buffer, slot.data());
  }
}

void TDataCursor::ValidateRecord(const uint8_t* record) {
  RequireOpen();
  if (!HasChecks_) return;
  std::vector<uint8_t> value, bound;
  for (const TFieldDescriptor& f : Fields_) {
    if (!f.IsStored()) continue;
    const std::string minimum = f.MinValue(), maximum = f.MaxValue();
    if (!f.Required() && minimum.empty() && maximum.empty()) continue;
    value.assign(std::max<size_t>(f.SlotSize(), 8) + 1, 0);
    bool null = GetFieldValue(record, f, value.data());
    if (f.Required() && null) RaiseFieldError(VELDOR_REQDERR, TableName_, f.FieldName());
    // A null field compares as the zero value of its type (the slot of a null is zero).
    if (null) std::fill(value.begin(), value.end(), 0);
    if (!minimum.empty() && SlotFromText(f, minimum, false, bound)) {
      int c = CompareSlots(f, value.data(), bound.data(), *Collation_);
      if (c == -1) RaiseFieldError(VELDOR_MINVALERR, TableName_, f.FieldName());
    }
    if (!maximum.empty() && SlotFromText(f, maximum, false, bound)) {
      int c = CompareSlots(f, value.data(), bound.data(), *Collation_);
      if (c == 1) RaiseFieldError(VELDOR_MAXVALERR, TableName_, f.FieldName());
    }
  }
}

void TDataCursor::SetSuppressAutoInc(bool value) {
  if (value && !HasAutoInc_) return;
  SuppressAutoInc_ = value;
}

// ---- Write helpers ----------------------------------------------------------------------------------

std::vector<uint8_t> TDataCursor::EditBase() const {
  // A kept image of another record (the one shown was deleted, the cursor moved on) says
  // nothing about the record the cursor stands on now.
  if (!ShownImage_.empty() &&
      LoadI32(ShownImage_.data() + kRecordNumberOffset) == LoadI32(RecordBuffer_.data() + kRecordNumberOffset))
    return ShownImage_;
  return {RecordBuffer_.begin(), RecordBuffer_.begin() + TableRecordSize_};
}

void TDataCursor::CheckWritable() const {
  if (ReadOnly_) RaiseTableError(VELDOR_OSEACCES, TableName_);
}

void TDataCursor::SaveBookmark() {
  SavedBookmark_.assign(size_t(BookmarkSize()), 0);
  GetBookmark(SavedBookmark_.data());
  SavedBof_ = Bof_;
  SavedEof_ = Eof_;
}

void TDataCursor::ResyncIfChanged(bool changed) {
  if (CountersChanged()) changed = true;
  if (changed) ResyncLocal();
}

bool TDataCursor::LockedByThisCursor(int32_t record) const {
  return std::find(Locked_.begin(), Locked_.end(), record) != Locked_.end();
}

void TDataCursor::MarkLocked(int32_t record, bool locked) {
  Table_->SetRecordLockedByCursor(record, locked);
  auto at = std::find(Locked_.begin(), Locked_.end(), record);
  if (locked && at == Locked_.end()) Locked_.push_back(record);
  if (!locked && at != Locked_.end()) Locked_.erase(at);
}

// Locks `record` for this cursor; true when the table changed meanwhile.
bool TDataCursor::TakeRecordLock(int32_t record) {
  TDataTable& table = *Table_;
  if (table.RecordLockedByCursor(record)) RaiseTableError(VELDOR_RECLOCKFAILED, TableName_);
  const bool wasReadLocked = table.ReadLocked();
  bool changed;
  try {
    changed = table.LockRecord(record);
  } catch (...) {
    if (!wasReadLocked && table.ReadLocked() && !TookReadLock_) table.ReadUnlock();
    throw;
  }
  if (!wasReadLocked && table.ReadLocked()) TookReadLock_ = true;
  MarkLocked(record, true);
  return changed;
}

void TDataCursor::LockRecord(int32_t record) {
  RequireOpen();
  if (record == 0) record = CurrentRecordNumber();
  if (record <= 0) RaiseTableError(VELDOR_NOCURRREC, TableName_);
  SaveBookmark();
  const int depth = BracketDepth_;
  bool changed = false;
  try {
    changed = TakeRecordLock(record);
    if (depth > 0 || Writing_) {
      ResyncIfChanged(changed);
    } else {
      Bracketed([&] { ResyncIfChanged(changed); });
    }
  } catch (...) {
    if (depth == 0) EndRead();
    throw;
  }
  if (depth == 0) EndRead();
}

void TDataCursor::UnlockRecord(int32_t record) {
  RequireOpen();
  if (record == 0) record = CurrentRecordNumber();
  if (record <= 0 || !LockedByThisCursor(record)) return;
  MarkLocked(record, false);
  Table_->UnlockRecord(record);
}

void TDataCursor::FlushBuffers(bool force, bool trimCaches, bool blobHeader, bool indexHeader,
                               bool dataHeader) {
  RequireOpen();
  TDataTable& table = *Table_;
  const bool blobs = blobHeader && table.HasBlobFile();
  if (!Exclusive_ || force) {
    // Flagged headers are written even when only their pages changed, so that others see
    // their counters move.
    if (dataHeader) table.DataFile().SetHeaderChanged();
    if (indexHeader) table.IndexFile().SetHeaderChanged();
    if (blobs) table.BlobFile().SetHeaderChanged();
    table.Flush(trimCaches, dataHeader, false, indexHeader, blobs);
  } else {
    if (dataHeader) table.DataFile().MarkHeaderChanged();
    if (indexHeader) table.IndexFile().MarkHeaderChanged();
    if (blobs) table.BlobFile().MarkHeaderChanged();
  }
  SaveCounters();
}

void TDataCursor::CopyFieldsIntoRecord(uint8_t* target, const uint8_t* image) const {
  std::memcpy(target + kRecordPrefixSize, image + kRecordPrefixSize,
              TableRecordSize_ - kRecordPrefixSize);
  std::memcpy(target + kRowIdOffset, image + kRowIdOffset, 4);
}

// Every index whose key for `image` differs from the one for `oldImage` (all, when there is
// none) and that is unique must not hold the new key yet.
void TDataCursor::CheckUniqueKeys(const uint8_t* image, const uint8_t* oldImage) {
  if (!KeyChecksApply()) return;
  TIndexFile& file = Table_->IndexFile();
  std::vector<uint8_t> key(kMaxKeyLength), old(kMaxKeyLength);
  for (size_t i = 0; i < Layouts_.size(); ++i) {
    if (i == 0 && !Table_->HasUserPrimaryKey()) continue;
    const TKeyLayout& layout = *Layouts_[i];
    if (!layout.Unique()) continue;
    layout.BuildKey(image, key.data());
    if (oldImage) {
      layout.BuildKey(oldImage, old.data());
      if (std::memcmp(key.data(), old.data(), size_t(layout.KeyLength())) == 0) continue;
    }
    TBTree tree(file, int(i), layout);
    if (tree.KeyExists(key.data())) {
      std::string name = i == 0 ? "Primary" : file.Descriptor(int(i)).Name();
      RaiseEngineError(VELDOR_KEYVIOL, "", "", "", TableName_, "", name, "");
    }
  }
}

void TDataCursor::CheckStatusKey(int32_t rowId) {
  auto key = StatusKey(false, rowId);
  TBTree tree(Table_->IndexFile(), kSysDeletedIndex, *SysDeletedLayout_);
  if (tree.KeyExists(key.data()))
    RaiseEngineError(VELDOR_KEYVIOL, "", "", "", TableName_, "", "Sys Deleted", "");
}

void TDataCursor::CheckBlobOwners(const uint8_t* image) const {
  bool have = false;
  int32_t owner = 0;
  for (const TFieldDescriptor& f : Fields_) {
    if (f.FieldType() != FIELD_BLOB || !f.IsStored()) continue;
    int32_t reference = LoadI32(image + f.Offset() + 1);
    if (reference >= 0) continue;
    const TBlobBuffer* buffer = OpenBufferFor(reference, image, f);
    if (buffer == nullptr) RaiseTableError(VELDOR_MEMOCORRUPT, TableName_);
    if (!buffer->Modified) continue;
    if (have && buffer->RecordNumber != owner) RaiseTableError(VELDOR_MEMOCORRUPT, TableName_);
    have = true;
    owner = buffer->RecordNumber;
  }
}

bool TDataCursor::ImageHasBlobs(const uint8_t* image, const uint8_t* oldRecord) const {
  if (!Table_->HasBlobFile()) return false;
  for (const TFieldDescriptor& f : Fields_) {
    if (f.FieldType() != FIELD_BLOB || !f.IsStored()) continue;
    int32_t now = LoadI32(image + f.Offset() + 1);
    int32_t before = oldRecord ? LoadI32(oldRecord + f.Offset() + 1) : 0;
    if (now != before) return true;
  }
  return false;
}

// After a write without re-seek: the current entry is found again (its ordinal may have
// moved), or its successor when it is gone.
void TDataCursor::RelocateCurrent() {
  const bool bof = Bof_, eof = Eof_;
  if (NaturalOrder_) {
    // A record deleted without repositioning leaves the cursor in the crack where it stood:
    // the next step reaches the record that followed it, the prior step the one before.
    const bool gone = Physical_ > 0 && Visible_ &&
                      (uint32_t(Physical_) > Visible_->Size() || !Visible_->GetBit(uint32_t(Physical_)));
    if (gone)
      Spot_.Logical = int64_t(Visible_->CountBefore(uint32_t(Physical_)));
    else if (Physical_ != 0)
      NaturalSeek(Physical_);
  } else if (Spot_.Page != 0) {
    TSpot spot;
    int32_t record = 0;
    std::vector<uint8_t> key;
    if (BoundSpot(CurrentKey_.data(), true, spot, record, key) && InRange(spot.Logical)) {
      TakeSpot(spot, record, key);
    } else {
      GoLast();
      if (!(Bof_ && Eof_)) Eof_ = true;
      return;
    }
  }
  if (!(Bof_ && Eof_)) {
    Bof_ = bof;
    Eof_ = eof;
  }
}

void TDataCursor::FinishWrite(int32_t record, const uint8_t* image, bool deleted, bool reposition,
                              const std::vector<uint8_t>& seekImage) {
  AfterWrite(record, image, deleted);
  if (reposition) {
    RecordBuffer_ = seekImage;
    RecordBuffer_.resize(RecordSize_, 0);
    if (NaturalOrder_) Physical_ = record;
    Reseek();
  } else {
    RelocateCurrent();
  }
}

// ---- Append ----------------------------------------------------------------------------------------

void TDataCursor::AppendRecord(uint8_t* image, bool reposition) {
  RequireOpen();
  CheckWritable();
  ValidateRecord(image);
  TDataTable& table = *Table_;
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  TWritingMark writing(Writing_);
  SaveBookmark();
  TWriteLockGuard lock(table);
  ResyncIfChanged(lock.Changed);

  const bool reuse = table.HasUserPrimaryKey() && data.Header().FirstDeleted() != 0;
  const int32_t slot = reuse ? data.Header().FirstDeleted() : data.Header().NextRecordNumber();
  TakeRecordLock(slot);
  struct TSlotUnlock {
    TDataCursor& Cursor;
    int32_t Slot;
    ~TSlotUnlock() {
      try {
        Cursor.UnlockRecord(Slot);
      } catch (...) {
      }
    }
  } unlock{*this, slot};

  if (!SuppressAutoInc_) {
    int32_t last = table.LastAutoInc();
    StoreI32(image + kRowIdOffset, last >= INT32_MAX || last < 0 ? 1 : last + 1);
  }
  CheckUniqueKeys(image, nullptr);
  if (SuppressAutoInc_) CheckStatusKey(LoadI32(image + kRowIdOffset));
  CheckBlobOwners(image);

  // From here on the table changes; what a failure leaves half done is undone below, so
  // that a refused append changes nothing (the key checks above refuse the usual cases
  // before the first change, the limits of the files and damage are found only on the way).
  TAppendUndo undo;
  undo.FirstDeleted = data.Header().FirstDeleted();
  undo.NextRecord = data.Header().NextRecordNumber();
  undo.LastAutoInc = table.LastAutoInc();
  TRecordPin record(data.AllocateRecord());
  undo.Slot = slot;
  undo.Allocated = true;
  undo.Before.assign(record->Data(), record->Data() + TableRecordSize_);
  try {
    if (record->RecordNumber() != slot) RaiseTableError(VELDOR_FILECORRUPT, TableName_);
    const int32_t oldRowId = record->RowId();
    int32_t rowId;
    if (SuppressAutoInc_) {
      rowId = LoadI32(image + kRowIdOffset);
      int32_t last = table.LastAutoInc();
      table.SetLastAutoInc(std::max(last + 1, rowId));
    } else {
      rowId = data.NextRowId();
    }
    record->Clear();
    CopyFieldsIntoRecord(record->Data(), image);
    record->SetRowId(rowId);
    StoreI32(image + kRowIdOffset, rowId);
    std::vector<uint8_t> key(kMaxKeyLength);
    TIndexPath path;
    for (size_t i = 0; i < Layouts_.size(); ++i) {
      if (i == 0 && !table.HasUserPrimaryKey()) continue;
      Layouts_[i]->BuildKey(record->Data(), key.data());
      TBTree(index, int(i), *Layouts_[i]).Insert(key.data(), slot, path);
      undo.Keys.emplace_back(int(i), key);
    }
    TBTree status(index, kSysDeletedIndex, *SysDeletedLayout_);
    auto live = StatusKey(false, rowId);
    if (reuse) {
      auto gone = StatusKey(true, oldRowId);
      status.Replace(gone.data(), live.data(), slot, path);
      undo.Status.emplace_back(gone.begin(), gone.end());
    } else {
      status.Insert(live.data(), slot, path);
    }
    undo.Status.emplace(undo.Status.begin(), live.begin(), live.end());
    index.IncrementActiveRecords();
    undo.Counted = true;
    const bool blobs = ImageHasBlobs(image, nullptr);
    undo.Blobs = true;
    WriteBlobs(image, record->Data(), nullptr);
    record->SetModified();
    std::vector<uint8_t> stored(record->Data(), record->Data() + TableRecordSize_);
    record.Reset();
    undo.Allocated = false;  // complete: nothing to undo any more
    // The caller's image now stands for the stored record, as its open BLOB buffers do.
    StoreI32(image + kRecordNumberOffset, slot);
    FlushBuffers(false, false, blobs, true, true);
    FinishWrite(slot, stored.data(), false, reposition, stored);
  } catch (...) {
    if (undo.Allocated) UndoAppend(undo, record, image);
    throw;
  }
}

// Takes back a failed append step by step, newest first: the BLOB values it stored, the
// count, the keys, the slot and the counters. Each step is tried on its own; when one
// cannot be taken back the caches no longer match the files and are dropped, so that the
// table is read again as it is on disk (nothing of the append was written there).
void TDataCursor::UndoAppend(TAppendUndo& undo, TRecordPin& record, uint8_t* image) noexcept {
  TDataTable& table = *Table_;
  TIndexFile& index = table.IndexFile();
  bool clean = true;
  auto attempt = [&](auto&& step) {
    try {
      step();
    } catch (...) {
      clean = false;
    }
  };
  if (undo.Blobs && record) {
    attempt([&] {
      std::vector<uint8_t> now(record->Data(), record->Data() + TableRecordSize_);
      for (const TFieldDescriptor& f : Fields_) {
        if (f.FieldType() != FIELD_BLOB || !f.IsStored()) continue;
        if (LoadI32(BlobSlot(now.data(), f)) > 0) {
          TBlobBuffer value = StoredBlob(now.data(), f);
          value.Delete(table.BlobFile());
        }
        // A buffer saved into the chain just freed must save its value again next time.
        const int32_t reference = LoadI32(BlobSlot(image, f));
        if (reference < 0) {
          const size_t at = size_t(-int64_t(reference) - 1);
          if (at < Blobs_.size() && Blobs_[at] && Blobs_[at]->RecordNumber == undo.Slot) {
            Blobs_[at]->FirstBlock = 0;
            Blobs_[at]->Modified = true;
            Blobs_[at]->RecordNumber = LoadI32(image + kRecordNumberOffset);
          }
        }
      }
    });
  }
  if (undo.Counted) attempt([&] { index.DecrementActiveRecords(); });
  TIndexPath path;
  if (!undo.Status.empty()) {
    attempt([&] {
      TBTree status(index, kSysDeletedIndex, *SysDeletedLayout_);
      status.Delete(undo.Status[0].data(), path);
      if (undo.Status.size() > 1) status.Insert(undo.Status[1].data(), undo.Slot, path);
    });
  }
  for (auto it = undo.Keys.rbegin(); it != undo.Keys.rend(); ++it)
    attempt([&] { TBTree(index, it->first, *Layouts_[size_t(it->first)]).Delete(it->second.data(), path); });
  record.Reset();
  attempt([&] {
    table.DataFile().UndoAllocate(undo.Slot, undo.Before, undo.FirstDeleted, undo.NextRecord);
    table.SetLastAutoInc(undo.LastAutoInc);
  });
  if (!clean) {
    try {
      table.DataFile().DropCache();
      table.IndexFile().DropCaches();
      if (table.HasBlobFile()) table.BlobFile().DropCache();
      table.DataFile().ReadHeader();
      table.IndexFile().ReloadHeader();
      if (table.HasBlobFile()) table.BlobFile().ReloadHeader();
    } catch (...) {
    }
  }
  undo.Allocated = false;
  ResyncPending_ = true;
}

// ---- Modify ----------------------------------------------------------------------------------------

void TDataCursor::ModifyRecord(uint8_t* image, bool unlock, bool reposition) {
  RequireOpen();
  CheckWritable();
  ValidateRecord(image);
  TDataTable& table = *Table_;
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  TWritingMark writing(Writing_);
  // The record as the cursor last showed it: the caller's edit started from it.
  const std::vector<uint8_t> seen = EditBase();
  SaveBookmark();
  TWriteLockGuard lock(table);
  ResyncIfChanged(lock.Changed);

  const int32_t number = CurrentRecordNumber();
  if (number == 0) RaiseTableError(VELDOR_NOCURRREC, TableName_);
  // The image must come from the record the cursor stands on: after a record vanished the
  // cursor may stand on another one, which the image must never overwrite.
  if (LoadI32(image + kRecordNumberOffset) != number) RaiseTableError(VELDOR_KEYORRECDELETED, TableName_);
  // A record not locked by this cursor is locked for the call.
  const bool implicit = !LockedByThisCursor(number);
  if (implicit) TakeRecordLock(number);
  struct TRecordUnlock {
    TDataCursor& Cursor;
    int32_t Record;
    bool Active;
    ~TRecordUnlock() {
      if (!Active) return;
      try {
        Cursor.UnlockRecord(Record);
      } catch (...) {
      }
    }
  } release{*this, number, implicit};

  TRecordPin record(data.GetRecord(number));
  if (record->Deleted()) RaiseTableError(VELDOR_KEYORRECDELETED, TableName_);
  // Without a lock held since the edit began, another cursor or program may have changed
  // the record meanwhile: as for a delete, the edit then is refused instead of overwriting
  // that change (an exclusive cursor's siblings write only through this process). So is an
  // edit of a record the cursor re-read without showing it (a refused write, a count):
  // the caller's image still comes from what it was shown. A refusal re-reads the record
  // but keeps what was shown as the base, so that trying again with the same image fails
  // again.
  const bool compare = implicit || !ShownImage_.empty();
  if (compare && !Exclusive_ && std::memcmp(record->Data(), seen.data(), seen.size()) != 0)
    RaiseTableError(VELDOR_KEYORRECDELETED, TableName_);
  std::vector<uint8_t> old(record->Data(), record->Data() + TableRecordSize_);
  const int32_t oldRowId = record->RowId();
  int32_t rowId = oldRowId;
  if (SuppressAutoInc_) {
    rowId = LoadI32(image + kRowIdOffset);
  } else {
    StoreI32(image + kRowIdOffset, oldRowId);
  }
  CheckUniqueKeys(image, old.data());
  if (SuppressAutoInc_ && rowId != oldRowId) CheckStatusKey(rowId);
  CheckBlobOwners(image);

  // From here on the table changes.
  if (SuppressAutoInc_) table.SetLastAutoInc(std::max(table.LastAutoInc(), rowId));
  std::vector<uint8_t> newImage(old);
  CopyFieldsIntoRecord(newImage.data(), image);
  StoreI32(newImage.data() + kRowIdOffset, rowId);
  // BLOB slots of the new image come from its buffers; keys never cover BLOB fields.
  std::vector<uint8_t> oldKey(kMaxKeyLength), newKey(kMaxKeyLength);
  TIndexPath path;
  bool keyChanged = false;
  for (size_t i = 0; i < Layouts_.size(); ++i) {
    if (i == 0 && !table.HasUserPrimaryKey()) continue;
    const TKeyLayout& layout = *Layouts_[i];
    layout.BuildKey(old.data(), oldKey.data());
    layout.BuildKey(newImage.data(), newKey.data());
    if (std::memcmp(oldKey.data(), newKey.data(), size_t(layout.KeyLength())) == 0) continue;
    TBTree(index, int(i), layout).Replace(oldKey.data(), newKey.data(), number, path);
    keyChanged = true;
  }
  if (rowId != oldRowId) {
    auto before = StatusKey(false, oldRowId), after = StatusKey(false, rowId);
    TBTree(index, kSysDeletedIndex, *SysDeletedLayout_).Replace(before.data(), after.data(), number, path);
    keyChanged = true;
  }
  const bool blobs = ImageHasBlobs(image, old.data());
  WriteBlobs(image, newImage.data(), old.data());
  std::memcpy(record->Data(), newImage.data(), TableRecordSize_);
  record->SetModified();
  record.Reset();
  FlushBuffers(false, false, blobs, keyChanged, true);
  release.Active = implicit || unlock;
  FinishWrite(number, newImage.data(), false, reposition, newImage);
  ShownImage_.clear();  // the caller's image is the record now
}

// ---- Delete ----------------------------------------------------------------------------------------

void TDataCursor::DeleteRecord(const uint8_t* image, bool reposition) {
  RequireOpen();
  CheckWritable();
  TDataTable& table = *Table_;
  TDataFile& data = table.DataFile();
  TIndexFile& index = table.IndexFile();
  TWritingMark writing(Writing_);
  SaveBookmark();
  TWriteLockGuard lock(table);
  ResyncIfChanged(lock.Changed);

  const int32_t number = CurrentRecordNumber();
  if (number == 0) RaiseTableError(VELDOR_NOCURRREC, TableName_);
  TRecordPin record(data.GetRecord(number));
  if (!LockedByThisCursor(number)) {
    if (!Exclusive_ && (record->Deleted() || image == nullptr ||
                        std::memcmp(record->Data(), image, TableRecordSize_) != 0))
      RaiseTableError(VELDOR_KEYORRECDELETED, TableName_);
    TakeRecordLock(number);
  }
  struct TRecordUnlock {
    TDataCursor& Cursor;
    int32_t Record;
    ~TRecordUnlock() {
      try {
        Cursor.UnlockRecord(Record);
      } catch (...) {
      }
    }
  } release{*this, number};
  if (record->Deleted() || (image != nullptr && LoadI32(image + kRecordNumberOffset) != number))
    RaiseTableError(VELDOR_KEYORRECDELETED, TableName_);

  // From here on the table changes.
  std::vector<uint8_t> old(record->Data(), record->Data() + TableRecordSize_);
  std::vector<uint8_t> key(kMaxKeyLength);
  TIndexPath path;
  for (size_t i = 0; i < Layouts_.size(); ++i) {
    if (i == 0 && !table.HasUserPrimaryKey()) continue;
    Layouts_[i]->BuildKey(old.data(), key.data());
    TBTree(index, int(i), *Layouts_[i]).Delete(key.data(), path);
  }
  const int32_t rowId = record->RowId();
  auto live = StatusKey(false, rowId), gone = StatusKey(true, rowId);
  TBTree(index, kSysDeletedIndex, *SysDeletedLayout_).Replace(live.data(), gone.data(), number, path);
  index.DecrementActiveRecords();
  const bool blobs = ReleaseBlobs(old.data());
  ClearBlobSlots(record->Data());
  data.DeleteRecord(record.Get());
  record.Reset();
  FlushBuffers(false, false, blobs, true, true);
  FinishWrite(number, nullptr, true, reposition, old);
  ShownImage_.clear();
}

// Frees the BLOB chains a stored record references; true when there was any.
bool TDataCursor::ReleaseBlobs(const uint8_t* record) {
  if (!Table_->HasBlobFile()) return false;
  bool any = false;
  for (const TFieldDescriptor& f : Table_->DataFile().Fields()) {
    if (f.FieldType() != FIELD_BLOB) continue;
    TBlobBuffer value = StoredBlob(record, f);
    if (value.FirstBlock <= 0) continue;
    value.Delete(Table_->BlobFile());
    any = true;
  }
  return any;
}

// ---- Copies of the current record -------------------------------------------------------------------

uint16_t TDataCursor::CloneCurrentRecord(uint8_t* buffer) {
  RequireOpen();
  return Bracketed([&]() -> uint16_t {
    if (Bof_ && Eof_) return VELDOR_NOCURRREC;
    LoadRecordBuffer();
    const std::vector<uint8_t> source = RecordBuffer_;
    std::memset(buffer, 0, RecordSize_);
    std::vector<uint8_t> value;
    for (size_t i = 0; i < Fields_.size(); ++i) {
      const TFieldDescriptor& f = Fields_[i];
      if (!f.IsStored()) continue;
      const uint16_t number = uint16_t(i + 1);
      value.assign(std::max<size_t>(f.SlotSize(), 8) + 1, 0);
      bool null = GetFieldValue(source.data(), f, value.data());
      if (f.FieldType() != FIELD_BLOB) {
        PutField(number, buffer, null ? nullptr : value.data());
        continue;
      }
      if (null) continue;
      TBlobBuffer original = StoredBlob(source.data(), f);
      if (original.FirstBlock > 0) original.Load(Table_->BlobFile(), Hooks());
      uint16_t code = OpenBlob(number, buffer, kBlobOwnerEngine, false, kBlobWrite);
      if (code == 0 && !original.Data.empty())
        code = PutBlob(number, buffer, false, 0, uint32_t(original.Data.size()), original.Data.data());
      if (code != 0) RaiseTableError(code, TableName_);
    }
    if (SuppressAutoInc_) std::memcpy(buffer + kRowIdOffset, source.data() + kRowIdOffset, 4);
    return 0;
  });
}

}  // namespace veldor
