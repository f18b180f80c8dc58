// The cursor's life: options, open, close, clone, index selection, and the operation
// bracket through which every read notices changes made by others.

#include "engine/data_cursor.h"

#include <algorithm>
#include <cstring>

#include "engine/blob_file.h"
#include "engine/cursor_internal.h"
#include "engine/errors.h"
#include "lib/byte_order.h"
#include "lib/collation.h"
#include "lib/file_layer.h"
#include "lib/name_text.h"

namespace veldor {

// ---- Read hooks -------------------------------------------------------------------------------

// Before a page, record or block is read from disk: without strict detection, take the
// table's read lock for the rest of the operation and compare the change counters. A
// change abandons the read; the operation then re-synchronises and starts over.
class TDataCursor::THooks : public TReadHooks {
 public:
  explicit THooks(TDataCursor& cursor) : Cursor_(cursor) {}

  bool BeforeDiskRead() override {
    TDataCursor& c = Cursor_;
    TDataTable& table = *c.Table_;
    if (table.Settings().StrictChangeDetection || table.WriteLocked()) return true;
    if ((c.Exclusive_ && !c.CloneOfExclusive_) || c.FilesReadOnly_) return true;
    if (!table.ReadLocked()) {
      table.ReadLock();
      c.TookReadLock_ = c.TookReadLock_ || table.ReadLocked();
    }
    if (!c.CountersChanged()) return true;
    c.ResyncPending_ = true;
    return false;
  }

  int ReadAheadCount(int32_t, bool forward, int limit) override {
    return Cursor_.ReadAheadCount(limit, forward);
  }
  int UpcomingRecords(int32_t record, bool forward, int32_t* out, int limit) override {
    return Cursor_.UpcomingRecords(record, forward, out, limit);
  }

 private:
  TDataCursor& Cursor_;
};

// ---- Creation and options -----------------------------------------------------------------------

TDataCursor::TDataCursor(TDataDirectory* database, bool /*privateHandle*/)
    : Database_(database), Hooks_(std::make_unique<THooks>(*this)) {
  if (Database_) Database_->RegisterCursor(this);
}

TDataCursor::~TDataCursor() {
  try {
    Close(true);
  } catch (...) {
    // A destructor must not throw; the table is given back as far as possible.
  }
  if (Database_) Database_->UnregisterCursor(this);
}

void TDataCursor::DestroyByDatabase() {
  try {
    Close(true);
  } catch (...) {
  }
  if (Database_) Database_->UnregisterCursor(this);
  Database_ = nullptr;
}

void TDataCursor::CheckClosed() const {
  if (Open_) RaiseTableError(VELDOR_TABLEOPEN, TableName_);
}

void TDataCursor::RequireOpen() const {
  if (!Open_ || Table_ == nullptr) RaiseTableError(VELDOR_NOTINITIALIZED, TableName_);
  SettlePending();
}

void TDataCursor::SetTableName(const std::string& name) {
  CheckClosed();
  std::string base = name;
  size_t slash = base.find_last_of('/');
  if (slash != std::string::npos) base = base.substr(slash + 1);
  if (EndsWithIgnoreCase(base, kDataExtension)) base.resize(base.size() - 4);
  if (base.size() > 255) base.resize(255);
  TableName_ = base;
}

void TDataCursor::SetExclusive(bool value) {
  CheckClosed();
  Exclusive_ = value;
}

void TDataCursor::SetReadOnly(bool value) {
  CheckClosed();
  RequestedReadOnly_ = ReadOnly_ = value;
}

void TDataCursor::SetInMemory(bool value) {
  CheckClosed();
  InMemory_ = value;
}

void TDataCursor::SetSqlFlags(bool sourceTable, bool resultCursor, bool temporaryResult) {
  CheckClosed();
  SqlSource_ = sourceTable;
  SqlResult_ = resultCursor;
  SqlTemporary_ = temporaryResult;
}

void TDataCursor::SetPrivateDescriptors(std::vector<TFieldDescriptor> fields) {
  Fields_ = std::move(fields);
  PrivateDescriptors_ = true;
  HasCalculated_ = std::any_of(Fields_.begin(), Fields_.end(),
                               [](const TFieldDescriptor& f) { return f.Calculated(); });
}

// ---- Open and close -------------------------------------------------------------------------------

void TDataCursor::Open() {
  if (Open_) return;
  if (!PrivateDescriptors_) Fields_.clear();
  if (Database_ == nullptr) RaiseTableError(VELDOR_NOTINITIALIZED, TableName_);
  TTableOpenOptions options;
  options.ReadOnly = RequestedReadOnly_;
  options.Temporary = SqlTemporary_;
  TDataTable* table = nullptr;
  // The table's three files sit in one directory: its canonical form is worked out once.
  TPathMemo paths;
  int result = Database_->OpenTable(TableName_, Exclusive_, InMemory_, CloneOfExclusive_, options,
                                    table);
  if (result < 0) RaiseTableError(uint16_t(-result), TableName_);
  Table_ = table;
  Open_ = true;
  try {
    OpenLocal();
  } catch (...) {
    try {
      Close(true);
    } catch (...) {
    }
    throw;
  }
}

void TDataCursor::OpenLocal() {
  TDataTable& table = *Table_;
  ReadOnly_ = RequestedReadOnly_;
  FilesReadOnly_ = table.ReadOnlyByAttribute();
  if (FilesReadOnly_ || table.ReadOnly()) ReadOnly_ = true;
  // The first opener verifies the headers under the read lock and keeps it for the index
  // selection, which reads under it too (one lock and one header comparison, not two).
  struct TOpenLock {
    TDataTable& Table;
    bool Took = false;
    ~TOpenLock() {
      if (!Took) return;
      try {
        Table.ReadUnlock();
      } catch (...) {
        // The slot is lost only for this process; the next lock draws another.
      }
    }
  } openLock{table};
  // A table this process has written since its files were opened is one a transaction kept
  // open: it was verified when it was opened, and its headers now describe records and
  // pages that only its caches hold, which the files' sizes cannot vouch for.
  if (!PrivateDescriptors_ && table.OpenCount() == 1 && !table.Written()) {
    if (!table.ReadLocked()) {
      table.ReadLock();
      openLock.Took = table.ReadLocked();
    }
    table.VerifyHeaders();
  } else {
    table.VerifyVersion();
  }
  CheckPassword();
  LoadLayout();
  SaveCounters();
  RecordBuffer_.assign(RecordSize_, 0);
  ShownImage_.clear();
  Spot_ = TSpot{};
  SpotCountersValid_ = false;
  // The first read of a cursor is no step of a walk: it reads no records ahead.
  LastReadOrdinal_ = PriorReadOrdinal_ = -2 * kWalkStride;
  Spot_.Slot = 1;
  Spot_.Logical = 1;
  First_ = 1;
  Last_ = table.IndexFile().ActiveRecords();
  RangeActive_ = false;
  BitmapMode_ = false;
  Bof_ = Eof_ = false;
  if (table.IndexFileRecreated()) RebuildSysDeleted();
  IndexNumber_ = -1;  // nothing selected yet: the selection below always takes
  IndexName_.clear();
  Bracketed([&] {
    LoadIndex(SqlSource_ ? kNaturalOrder : kPrimaryIndex);
    ComputeRangeLimits();
    UpdateBitmapMode();
    if (BitmapMode_) RebuildVisible();
  });
  BeginPending_ = true;
}

void TDataCursor::CheckPassword() {
  if (Table_->Encrypted()) RequirePassword(Table_->Password());
}

// Asks the password callback until the session holds `password` (or the callback gives up).
void TDataCursor::RequirePassword(const std::string& password) {
  TDataSession* session = Database_ ? Database_->Session() : nullptr;
  while (session == nullptr || !session->PasswordExists(password)) {
    if (!PasswordCallback_ || !PasswordCallback_(*this) || session == nullptr)
      RaiseTableError(VELDOR_NOTSUFFTABLERIGHTS, TableName_);
  }
}

void TDataCursor::LoadLayout() {
  TDataTable& table = *Table_;
  if (!PrivateDescriptors_) Fields_ = table.DataFile().Fields();
  TableRecordSize_ = table.RecordSize();
  // Calculated fields of a result set live after the stored ones.
  RecordSize_ = TableRecordSize_;
  for (const TFieldDescriptor& f : Fields_)
    if (f.Calculated() && f.Offset() > 0)
      RecordSize_ = uint16_t(std::max<uint32_t>(RecordSize_, uint32_t(f.Offset()) + 1 + f.SlotSize()));
  Collation_ = &table.Collation();
  HasChecks_ = HasDefaults_ = HasAutoInc_ = false;
  HasCalculated_ = false;
  for (const TFieldDescriptor& f : Fields_) {
    HasChecks_ |= f.Required() || !f.MinValue().empty() || !f.MaxValue().empty();
    HasDefaults_ |= !f.DefaultValue().empty();
    HasAutoInc_ |= f.IsAutoInc();
    HasCalculated_ |= f.Calculated();
  }
  if (!HasAutoInc_) SuppressAutoInc_ = false;
  BuildLayouts();
  SysDeletedLayout_ = std::make_unique<TKeyLayout>(TKeyLayout::SysDeleted());
  StartKey_.assign(kMaxKeyLength, 0);
  EndKey_.assign(kMaxKeyLength, 0xFF);
}

// What the key layouts are made from: whether there is a user primary key and every index
// descriptor without its page bookkeeping (which changes with every insert).
std::vector<uint8_t> TDataCursor::IndexDefinitions() const {
  const TIndexFile& index = Table_->IndexFile();
  std::vector<uint8_t> out;
  out.push_back(index.NoUserPrimary() ? 1 : 0);
  for (int i = 0; i <= index.SecondaryCount(); ++i) {
    TIndexDescriptor d = index.Descriptor(i);
    d.ClearPages();
    out.insert(out.end(), d.Bytes.begin(), d.Bytes.end());
  }
  return out;
}

void TDataCursor::BuildLayouts() {
  // Key layouts always follow the table's stored fields.
  const TIndexFile& index = Table_->IndexFile();
  const std::vector<TFieldDescriptor>& stored = Table_->DataFile().Fields();
  Layouts_.clear();
  for (int i = 0; i <= index.SecondaryCount(); ++i)
    Layouts_.push_back(std::make_unique<TKeyLayout>(index.Descriptor(i), stored, *Collation_));
  LayoutSource_ = IndexDefinitions();
}

// After a change by a sibling cursor or a rollback the indexes themselves may differ from
// those the layouts were built for (an index added, deleted, or its deletion rolled back).
// Returns false when the current index is no longer the one the cursor stood in: its
// bookmark then means nothing and the cursor starts over at the beginning.
bool TDataCursor::RefreshLayouts() {
  if (IndexDefinitions() == LayoutSource_) return true;
  const std::vector<uint8_t> before = LayoutSource_;
  BuildLayouts();
  if (IndexNumber_ == kNaturalOrder) return true;
  int now = Table_->IndexFile().IndexOfName(IndexName_);
  if (now < 0 || now == kSysDeletedIndex) now = kPrimaryIndex;
  // The same index when its number, its definition and the primary-key flag (byte 0, which
  // decides natural order) are what they were.
  const size_t at = 1 + size_t(now) * kIndexDescriptorSize;
  const bool same = now == IndexNumber_ && before.size() >= at + kIndexDescriptorSize &&
                    before[0] == LayoutSource_[0] &&
                    std::equal(before.begin() + long(at), before.begin() + long(at + kIndexDescriptorSize),
                               LayoutSource_.begin() + long(at));
  if (!same) LoadIndex(now);
  return same;
}

void TDataCursor::RebuildSysDeleted() {
  TDataTable& table = *Table_;
  TWriteLockGuard lock(table);
  TIndexFile& index = table.IndexFile();
  TDataFile& data = table.DataFile();
  index.SetNoUserPrimary(true);
  TBTree tree(index, kSysDeletedIndex, *SysDeletedLayout_);
  TIndexPath path;
  std::vector<uint8_t> key(static_cast<size_t>(SysDeletedLayout_->KeyLength()));
  int32_t live = 0;
  for (int32_t n = 1; n <= data.RecordCount(); ++n) {
    TRecordPin record(data.GetRecord(n));
    if (!record->Deleted()) ++live;
    SysDeletedLayout_->BuildKey(record->Data(), key.data());
    tree.Insert(key.data(), n, path);
  }
  index.SetActiveRecords(live);
  table.Flush(false, true, false, true, false);
  table.ClearIndexRecreated();
  // The index file now holds only "Sys Deleted": no user primary key, no secondaries.
  LoadLayout();
  SaveCounters();
}

void TDataCursor::Close(bool release) {
  if (!Open_) return;
  VisiblePending_ = false;
  ForgetWalkWindow();
  Blobs_.clear();
  Filters_.clear();
  ReleaseBitmaps();
  BitmapMode_ = false;
  RangeActive_ = false;
  if (Table_) {
    for (int32_t record : std::vector<int32_t>(Locked_)) {
      try {
        UnlockRecord(record);
      } catch (...) {
      }
    }
  }
  Locked_.clear();
  RecordBuffer_.clear();
  ShownImage_.clear();
  CurrentKey_.clear();
  SpotCountersValid_ = false;
  Spot_ = TSpot{};
  CurrentRecord_ = Physical_ = 0;
  First_ = Last_ = 0;
  VisibleCount_ = 0;
  Bof_ = Eof_ = false;
  TDataTable* table = Table_;
  Table_ = nullptr;
  Open_ = false;
  BeginPending_ = false;
  Layouts_.clear();
  SysDeletedLayout_.reset();
  Collation_ = nullptr;
  if (!PrivateDescriptors_) Fields_.clear();
  HasChecks_ = HasDefaults_ = HasCalculated_ = HasAutoInc_ = false;
  ReadOnly_ = RequestedReadOnly_;
  FilesReadOnly_ = false;
  if (table != nullptr && release) {
    if (TookReadLock_) {
      TookReadLock_ = false;
      table->ReadUnlock();
    }
    int result = Database_ ? Database_->CloseTable(table) : 0;
    if (result < 0) RaiseTableError(uint16_t(-result), TableName_);
  }
}

std::unique_ptr<TDataCursor> TDataCursor::Clone() {
  RequireOpen();
  auto copy = std::make_unique<TDataCursor>(Database_, true);
  copy->TableName_ = TableName_;
  copy->Exclusive_ = Exclusive_;
  copy->CloneOfExclusive_ = Exclusive_ || CloneOfExclusive_;
  copy->RequestedReadOnly_ = copy->ReadOnly_ = ReadOnly_;
  copy->InMemory_ = InMemory_;
  copy->SqlSource_ = SqlSource_;
  copy->SqlResult_ = SqlResult_;
  copy->SqlTemporary_ = SqlTemporary_;
  copy->PasswordCallback_ = PasswordCallback_;
  copy->Calculate_ = Calculate_;
  if (PrivateDescriptors_) copy->SetPrivateDescriptors(Fields_);
  copy->Open();
  copy->Fields_ = Fields_;
  copy->HasCalculated_ = HasCalculated_;
  copy->SuppressAutoInc_ = SuppressAutoInc_;
  if (IndexNumber_ == kNaturalOrder)
    copy->SetIndexNumber(kNaturalOrder);
  else
    copy->SetIndexName(IndexName_);
  if (RangeActive_ && !NaturalOrder_)
    copy->SetRange(true, StartKey_.data(), 0, EndKey_.data(), 0);
  for (const auto& filter : Filters_) {
    TFilter* made;
    if (filter->IsCallback) {
      made = copy->AddFilter(filter->CallbackData, nullptr, false, false, filter->Estimate,
                             filter->AfterExpressions, filter->Callback);
    } else {
      made = copy->AddFilter(filter->CallbackData, nullptr, false, false, filter->Estimate,
                             filter->AfterExpressions, nullptr, true,
                             CopyTokenTree(filter->Expression).Release());
    }
    if (filter->Active) copy->ActivateFilter(made);
  }
  copy->SetToRecBuf(*this);
  return copy;
}

// ---- Layout ----------------------------------------------------------------------------------------

const TFieldDescriptor& TDataCursor::Field(uint16_t number) const {
  if (number < 1 || number > Fields_.size())
    RaiseEngineError(VELDOR_OUTOFRANGE, "", "", "", TableName_, std::to_string(number), "", "");
  return Fields_[number - 1];
}

uint16_t TDataCursor::FieldNumber(const std::string& name) const {
  for (size_t i = 0; i < Fields_.size(); ++i)
    if (SameName(Fields_[i].FieldName(), name)) return uint16_t(i + 1);
  RaiseEngineError(VELDOR_OUTOFRANGE, "", "", "", TableName_, name, "", "");
}

const TKeyLayout& TDataCursor::Layout() const {
  if (IndexNumber_ >= 0 && size_t(IndexNumber_) < Layouts_.size()) return *Layouts_[size_t(IndexNumber_)];
  return *Layouts_[0];
}

const TKeyLayout& TDataCursor::LayoutOf(int index) const {
  if (index == kSysDeletedIndex) return *SysDeletedLayout_;
  return *Layouts_.at(size_t(index));
}

// ---- Index selection ---------------------------------------------------------------------------------

void TDataCursor::LoadIndex(int number) {
  TDataTable& table = *Table_;
  IndexNumber_ = number;
  if (number == kNaturalOrder) {
    IndexName_.clear();
    NaturalOrder_ = true;
  } else {
    IndexName_ = number == kPrimaryIndex ? "" : table.IndexFile().Descriptor(number).Name();
    NaturalOrder_ = number == kPrimaryIndex && table.IndexFile().NoUserPrimary();
  }
  CurrentKey_.assign(size_t(KeySize()), 0);
  SpotCountersValid_ = false;
  // The range belongs to the index it was set on.
  RangeActive_ = false;
  std::fill(StartKey_.begin(), StartKey_.end(), 0);
  std::fill(EndKey_.begin(), EndKey_.end(), 0xFF);
}

void TDataCursor::SetIndexName(const std::string& name) {
  RequireOpen();
  if (IndexNumber_ != kNaturalOrder && SameName(name, IndexName_)) return;
  Bracketed([&] {
    // Whatever the setting, the selection looks at the table as it is now.
    if (!Table_->ReadLocked() && !Table_->WriteLocked()) {
      if (Table_->ReadLock()) ResyncPending_ = true;
      TookReadLock_ = TookReadLock_ || Table_->ReadLocked();
    }
    if (CountersChanged()) ResyncPending_ = true;
    int number = Table_->IndexFile().IndexOfName(name);
    if (number < 0 || number == kSysDeletedIndex) {
      RangeActive_ = false;
      std::fill(StartKey_.begin(), StartKey_.end(), 0);
      std::fill(EndKey_.begin(), EndKey_.end(), 0xFF);
      ComputeRangeLimits();
      if (BitmapMode_) RebuildVisible();
      RaiseEngineError(VELDOR_INVALIDINDEXNAME, "", "", "", TableName_, "", name, "");
    }
    SelectIndex(number);
  });
}

void TDataCursor::SetIndexNumber(int number) {
  RequireOpen();
  if (number == IndexNumber_) return;
  if (number != kNaturalOrder && (number < 0 || number > Table_->IndexFile().SecondaryCount()))
    RaiseEngineError(VELDOR_INVALIDINDEXNAME, "", "", "", TableName_, "", std::to_string(number), "");
  Bracketed([&] { SelectIndex(number); });
}

void TDataCursor::SelectIndex(int number) {
  // The record the cursor stands on, found again in the new order.
  std::vector<uint8_t> record = RecordBuffer_;
  bool had = CurrentRecordNumber() != 0;
  LoadIndex(number);
  ComputeRangeLimits();
  UpdateBitmapMode();
  if (BitmapMode_) RebuildVisible();
  if (had) {
    RecordBuffer_ = record;
    Reseek();
  } else {
    GoFirst();
    if (CurrentRecordNumber() != 0) {
      MoveBy(-1);
      LoadRecordBuffer();
    }
  }
}

// ---- Bracket and change detection -----------------------------------------------------------------------

void TDataCursor::SaveCounters() { Counters_ = Table_->ChangeCounters(); }

// An exclusive cursor compares too: its siblings (clones) write the same table object, and a
// rollback throws away what it built inside the transaction. The counters are the table
// object's copies in memory, so the comparison reads no file.
bool TDataCursor::CountersChanged() {
  if (FilesReadOnly_) return false;
  TChangeCounters now = Table_->ChangeCounters();
  if (now == Counters_) return false;
  Counters_ = now;
  return true;
}

TReadHooks* TDataCursor::Hooks() {
  return Writing_ || Table_->WriteLocked() ? nullptr : Hooks_.get();
}

void TDataCursor::BeginRead() {
  if (Table_->CommitPending()) Table_->FinishPendingCommit();
  SavedBookmark_.resize(size_t(BookmarkSize()));  // GetBookmark fills every byte
  GetBookmark(SavedBookmark_.data());
  SavedBof_ = Bof_;
  SavedEof_ = Eof_;
  TDataTable& table = *Table_;
  bool changed = false;
  if (table.Settings().StrictChangeDetection) {
    if (!table.ReadLocked() && !table.WriteLocked()) {
      changed = table.ReadLock();
      TookReadLock_ = TookReadLock_ || table.ReadLocked();
    }
    changed = CountersChanged() || changed;
  } else {
    changed = CountersChanged();
  }
  if (changed) ResyncPending_ = true;
}

void TDataCursor::EndRead() noexcept {
  if (TookReadLock_ && Table_) {
    TookReadLock_ = false;
    try {
      Table_->ReadUnlock();
    } catch (...) {
      // The slot is lost only for this process; the next lock draws another.
    }
  }
}

void TDataCursor::ResyncLocal() {
  ResyncPending_ = false;
  // The buffer about to be re-read is the image the caller was shown (unless an earlier
  // re-synchronisation already kept that one): an edit from it is compared with it.
  if (ShownImage_.empty() && !RecordBuffer_.empty() && LoadI32(RecordBuffer_.data() + kRecordNumberOffset) != 0)
    ShownImage_.assign(RecordBuffer_.begin(), RecordBuffer_.begin() + TableRecordSize_);
  struct TResyncing {
    bool& Flag;
    bool Was;
    explicit TResyncing(bool& flag) : Flag(flag), Was(flag) { Flag = true; }
    ~TResyncing() { Flag = Was; }
  } resyncing{Resyncing_};
  Bof_ = SavedBof_;
  Eof_ = SavedEof_;
  const bool sameIndex = RefreshLayouts();
  ComputeRangeLimits();
  UpdateBitmapMode();
  if (BitmapMode_) RebuildVisible();
  if (BeginPending_) return;  // the position is taken when it is first needed
  if (sameIndex) {
    SetToBookmarkLocal(SavedBookmark_.data(), true);
    return;
  }
  GoFirst();
  if (CurrentRecordNumber() != 0) {
    MoveBy(-1);
    LoadRecordBuffer();
  }
}

void TDataCursor::Resync() {
  RequireOpen();
  if (BracketDepth_ > 0) {
    ResyncLocal();
    return;
  }
  Bracketed([&] { ResyncLocal(); });
}

void TDataCursor::Refresh() {
  RequireOpen();
  Bracketed([&] {
    if (!Table_->ReadLocked() && !Table_->WriteLocked()) {
      Table_->ReadLock();
      TookReadLock_ = TookReadLock_ || Table_->ReadLocked();
    }
    CountersChanged();
    ResyncLocal();
    // Asked for: the record as it is now is the one shown.
    ShownImage_.clear();
  });
}

TPage* TDataCursor::ReadPage(int32_t page, int index) {
  TIndexFile& file = Table_->IndexFile();
  if (page <= 0 || page >= file.Header().NextPageNumber())
    RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
  TPage* p = file.GetPage(index, page, Hooks());
  if (p == nullptr) throw TRestart{};
  return p;
}

TRecord* TDataCursor::ReadRecord(int32_t number, bool forward) {
  if (!NaturalOrder_ && Spot_.Page != 0) {
    PriorReadOrdinal_ = LastReadOrdinal_;
    LastReadOrdinal_ = Spot_.Logical;
  }
  TRecord* r = Table_->DataFile().GetRecord(number, forward, Hooks());
  if (r == nullptr) throw TRestart{};
  return r;
}

int TDataCursor::ReadAheadCount(int limit, bool forward) {
  if (!Open_ || limit <= 0) return 0;
  if (NaturalOrder_) {
    const TRecordsBitmap& visible = *Visible_;
    int n = 0;
    int32_t at = Physical_;
    while (n < limit && at >= 1 && uint32_t(at) <= visible.Size() && visible.GetBit(uint32_t(at))) {
      ++n;
      at += forward ? 1 : -1;
    }
    return n;
  }
  if (Spot_.Page == 0) return 0;
  TIndexFile& file = Table_->IndexFile();
  // Only a cached leaf is looked at: the question must not cause a read of its own.
  TPage* page = file.FindPage(IndexNumber_, Spot_.Page);
  if (page == nullptr || !page->IsLeaf() || Spot_.Slot < 1 || Spot_.Slot > page->Count()) return 0;
  return TBTree::ReadAheadRun(*page, Spot_.Slot, forward, limit);
}

int TDataCursor::UpcomingRecords(int32_t record, bool forward, int32_t* out, int limit) {
  if (!Open_ || NaturalOrder_ || Spot_.Page == 0 || limit <= 0) return 0;
  // Only a walk reads ahead: after a seek (a look-up) the records next in the index are
  // rarely wanted, and reading them would cost more than the look-up.
  const int64_t moved = Spot_.Logical - PriorReadOrdinal_;
  if (LastReadOrdinal_ != Spot_.Logical || (forward ? moved <= 0 || moved > kWalkStride : moved >= 0 || moved < -kWalkStride))
    return 0;
  // The entries after the current one on its leaf, while the range lasts; a cached leaf
  // only, as for the run above.
  TPage* page = Table_->IndexFile().FindPage(IndexNumber_, Spot_.Page);
  if (page == nullptr || !page->IsLeaf() || Spot_.Slot < 1 || Spot_.Slot > page->Count() ||
      page->Reference(Spot_.Slot) != record)
    return 0;
  const int step = forward ? 1 : -1;
  int64_t ordinal = Spot_.Logical;
  int n = 0;
  for (int i = Spot_.Slot + step; n < limit && i >= 1 && i <= page->Count(); i += step) {
    ordinal += step;
    if (!InRange(ordinal)) break;
    int32_t r = page->Reference(i);
    if (Visible(r)) out[n++] = r;
  }
  return n;
}

}  // namespace veldor
