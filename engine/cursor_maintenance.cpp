// Table maintenance through the cursor: validating definitions, creating, deleting,
// renaming and emptying tables, adding and deleting indexes, restructuring, and reading a
// table's settings without opening it.
//
// A restructure changes as little as its definition asks: descriptors only, a rebuild of
// the indexes whose definition changed, or a full copy through a new table built beside the
// old one that replaces it only once the copy completed.
//
// Every operation on a table on disk survives its process dying at any moment: what changes
// inside the table's files (emptying, adding, deleting and rebuilding indexes, new
// descriptors) is one atomic change through the table's journal, and what makes, moves or
// removes whole files (the swap of a copied table, the ".IBK" backup of a rebuild; renaming
// and deleting, which the table object does) is planned in a maintenance record that the
// next opener finishes or undoes (see engine/maintenance_record.h). In-memory and temporary tables, which no crash outlives,
// are changed directly.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

#include "engine/blob_file.h"
#include "engine/cursor_internal.h"
#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/index_format.h"
#include "engine/journal.h"
#include "engine/maintenance_record.h"
#include "lib/byte_order.h"
#include "lib/collation.h"
#include "lib/expression_eval.h"
#include "lib/name_text.h"

namespace veldor {
namespace {

[[noreturn]] void RaiseNamed(uint16_t code, const std::string& table, const std::string& field,
                             const std::string& index) {
  RaiseEngineError(code, "", "", "", table, field, index, "");
}

// Reports progress at record n of `total` when the percentage grew by a step.
class TProgress {
 public:
  TProgress(const std::function<void(int)>& hook, int64_t total, uint16_t step)
      : Hook_(hook), Total_(total), Step_(std::max<uint16_t>(step, 1)) {}
  void At(int64_t n) {
    if (!Hook_ || Total_ <= 0) return;
    int percent = int(std::lround(double(n) / double(Total_) * 100.0));
    if (percent - Last_ >= Step_ || (percent == 100 && Last_ != 100)) {
      Last_ = percent;
      Hook_(percent);
    }
  }

 private:
  const std::function<void(int)>& Hook_;
  int64_t Total_;
  int Step_;
  int Last_ = 0;
};

bool SameIndexDefinition(const TIndexDescriptor& a, const TIndexDescriptor& b,
                         const std::vector<TFieldDescriptor>& fieldsA,
                         const std::vector<TFieldDescriptor>& fieldsB) {
  if (a.KeyLength() != b.KeyLength() || a.FieldCount() != b.FieldCount() ||
      a.Descending() != b.Descending() || a.CaseInsensitive() != b.CaseInsensitive() ||
      a.Unique() != b.Unique() || a.Compression() != b.Compression())
    return false;
  for (int i = 0; i < a.FieldCount(); ++i) {
    if (a.FieldNumber(i) != b.FieldNumber(i) || a.FieldDescending(i) != b.FieldDescending(i)) return false;
    uint16_t n = a.FieldNumber(i);
    if (n < 1 || n > fieldsA.size() || n > fieldsB.size()) return false;
    const TFieldDescriptor &x = fieldsA[n - 1], &y = fieldsB[n - 1];
    if (x.FieldType() != y.FieldType() || x.SlotSize() != y.SlotSize() || x.SubType() != y.SubType())
      return false;
  }
  return true;
}

bool SameFieldDefinition(const TFieldDescriptor& a, const TFieldDescriptor& b) {
  return a.FieldNumber() == b.FieldNumber() && a.FieldType() == b.FieldType() &&
         a.SubType() == b.SubType() && a.SlotSize() == b.SlotSize() &&
         a.DeclaredScale() == b.DeclaredScale() && a.Required() == b.Required() &&
         a.CharCase() == b.CharCase() && a.DefaultValue() == b.DefaultValue() &&
         a.MinValue() == b.MinValue() && a.MaxValue() == b.MaxValue();
}

// Moves an in-memory table's files (those that exist) to another name.
void MoveMemoryTableFiles(const std::string& fromName, const std::string& toName) {
  for (const char* extension : {kDataExtension, kIndexExtension, kBlobExtension}) {
    TFileHandler file(TableFileName("", fromName, extension), true);
    if (!file.Exists()) continue;
    std::string target = TableFileName("", toName, extension);
    TFileHandler old(target, true);
    if (old.Exists()) old.Delete();
    file.Rename(target);
  }
}

// Errors of the files, the locks or the machine: they end a copy instead of counting as the
// loss of one record.
bool EndsACopy(uint16_t code) {
  return (code >= VELDOR_HEADERCORRUPT && code <= VELDOR_FILENOACCESS) ||
         (code >= VELDOR_LOCKED && code <= VELDOR_RECLOCKFAILED) ||
         (code >= VELDOR_OSENOENT && code <= VELDOR_OSUNKNOWN);
}

// One maintenance change of a table, whole or not at all: from the constructor to Commit
// every write goes to the table's journal (TDataTable::BeginAtomicChange), so that a
// process dying at any moment leaves the table as it was before or, once the journal's
// commit mark is written, as after; a full disk is found before the mark (the journal sets
// the room aside first), and so fails the change while it can still be dropped. Tables that
// no crash outlives (in memory, temporary), a table inside a transaction (whose own journal
// takes the change) and a table already in an atomic change of its caller's (which commits
// it as a part of its own) are changed directly: the scope is then inactive and does
// nothing.
class TAtomicChange {
 public:
  explicit TAtomicChange(TDataTable& table)
      : Table_(table),
        Active_(!table.InMemory() && !table.Temporary() && !table.ReadOnly() && !table.InTransaction() &&
                !table.InAtomicChange()) {
    if (Active_) Table_.BeginAtomicChange();
  }
  ~TAtomicChange() { Abandon(); }
  TAtomicChange(const TAtomicChange&) = delete;
  TAtomicChange& operator=(const TAtomicChange&) = delete;

  bool Active() const { return Active_; }
  // Whether Commit returned: the change holds (a commit that took effect is never reported
  // failed; one that raised changed nothing).
  bool Committed() const { return Committed_; }

  void Commit() {
    Done_ = true;
    if (Active_) {
      FaultPoint("maintenance-before-commit");
      Table_.CommitAtomicChange();
    }
    Committed_ = true;
  }

  // Drops the change (nothing once committed or for an inactive scope). Never throws.
  void Abandon() noexcept {
    if (Done_) return;
    Done_ = true;
    if (Active_) Table_.AbandonAtomicChange();
  }

 private:
  TDataTable& Table_;
  const bool Active_;
  bool Done_ = false;
  bool Committed_ = false;
};

// The ".IBK" backup of the index file after an index rebuild, settled while the rebuild's
// atomic change is still open: the index file on disk is then the one before the change.
// Kept (`keep`), it is copied under a name of its own and takes the ".IBK" name only once
// the change has committed; without backup, an ".IBK" file left by an earlier change goes
// once this one has committed. Its record says which, so that a process dying in between
// leaves the old backup or the new state, and no copy. Call once the change is written to
// its journal (its index header is the commit image). nullptr when there is nothing to do.
std::unique_ptr<TMaintenanceRecord> StageIndexBackup(TDataTable& table, bool keep) {
  auto record = std::make_unique<TMaintenanceRecord>(table.Directory(), table.Name(),
                                                     TMaintenanceKind::IndexBackup);
  const std::string backup = record->FileOf(table.Name(), kIndexBackupExtension);
  const std::string staged = backup + ".new";
  if (!keep && !FileList().FileExists(record->Directory() + backup, false)) return nullptr;
  std::vector<uint8_t> image(kIndexHeaderSize);
  {
    TIndexFile& index = table.IndexFile();
    TFileSection section(index);
    index.Seek(kSeekFromStart, 0);
    index.Read(image.data(), image.size());
  }
  if (keep) {
    record->AddMade(staged);
    record->AddMove(staged, backup, "", true);
  } else {
    record->AddMove(backup, "", "", false);
  }
  record->SetCommitImage(std::move(image));
  record->Write(false);
  if (!keep) return record;
  try {
    // The copy reads the file itself, not the change the journal holds for it.
    table.IndexFile().CopyTo(record->Directory() + staged);
    TFileHandler copy(record->Directory() + staged);
    copy.Open();
    try {
      copy.Flush();
    } catch (...) {
      copy.Close();
      throw;
    }
    copy.Close();
    if (int result = SyncDirectory(record->Directory().empty() ? "." : record->Directory()); result < 0)
      RaiseTableError(uint16_t(-result), table.Name());
  } catch (...) {
    try {
      record->Undo();
    } catch (...) {
      // Left for the next opener, which removes the copy.
    }
    throw;
  }
  FaultPoint("maintenance-backup-copied");
  return record;
}

}  // namespace

// ---- Definitions -------------------------------------------------------------------------------------

void ValidateTableDefinition(TTableDefinition& d, bool allowNoPrimary, int32_t lastAutoInc,
                             const std::string& table) {
  if (d.Encrypted) {
    std::string password = Trimmed(d.Password);
    if (password.empty() || password.size() > size_t(kMaxPasswordLength))
      RaiseTableError(VELDOR_INVALIDPASSWORD, table);
    d.Password = password;
  }
  if (d.Language != 0 && !LocaleInstalled(uint16_t(d.Language), d.Sort))
    RaiseTableError(VELDOR_CANNOTLOADLDDRV, table);
  if (d.Fields.size() > size_t(kMaxFieldCount) || lastAutoInc < -1) RaiseTableError(VELDOR_FLDLIMIT, table);
  if (d.Indexes.size() > 33) RaiseTableError(VELDOR_INDEXLIMIT, table);
  if (d.BlobBlockSize < kMinBlobBlockSize) RaiseTableError(VELDOR_BLOBLIMIT, table);
  PrepareFieldDefinitions(d.Fields, table);
  auto fieldOf = [&](uint16_t number) -> const TFieldDescriptor* {
    for (const TFieldDescriptor& f : d.Fields)
      if (f.FieldNumber() == number) return &f;
    return nullptr;
  };
  if (d.Indexes.empty()) d.Indexes.emplace_back();
  std::set<std::string> names;
  for (size_t i = 0; i < d.Indexes.size(); ++i) {
    TIndexDescriptor& index = d.Indexes[i];
    const bool primary = i == 0;
    std::string name = primary ? "Primary" : Trimmed(index.Name());
    if (primary) {
      index.SetName("");
      index.SetUnique(true);
    } else {
      if (name.empty()) RaiseTableError(VELDOR_INDEXNAMEREQUIRED, table);
      if (!IsIdentifierStart(uint8_t(name[0]))) RaiseNamed(VELDOR_INVALIDINDEXNAME, table, "", name);
      std::string folded = name;
      for (char& c : folded) c = FoldAsciiUpper(c);
      if (!names.insert(folded).second) RaiseNamed(VELDOR_INDEXEXISTS, table, "", name);
      index.SetName(name);
    }
    int count = 0, sum = 0;
    for (; count < kMaxIndexFields && index.FieldNumber(count) != 0; ++count) {
      const TFieldDescriptor* f = fieldOf(index.FieldNumber(count));
      if (f == nullptr) {
        if (primary && allowNoPrimary) break;
        RaiseNamed(VELDOR_INVALIDIDXDESC, table, std::to_string(index.FieldNumber(count)), name);
      }
      if (f->FieldType() == FIELD_BLOB) RaiseNamed(VELDOR_SEARCHCOLREQD, table, f->FieldName(), name);
      sum += KeyLengthOf(*f) + 1;
    }
    for (int f = count; f < kMaxIndexFields; ++f) index.SetFieldNumber(f, 0);
    if (sum > kMaxKeyPartSum || (sum == 0 && !(primary && (allowNoPrimary || count == 0))))
      RaiseNamed(VELDOR_INVALIDKEY, table, "", name);
    index.SetFieldCount(uint8_t(count));
    index.SetKeyLength(int16_t(sum == 0 ? 0 : sum + (index.Unique() ? 0 : kRowIdKeyLength)));
    index.ClearPages();
  }
}

// Field numbers become positions 1..n in the definition's order; the indexes follow.
static void RenumberDefinition(TTableDefinition& d) {
  std::vector<uint16_t> map(65536, 0);
  for (size_t i = 0; i < d.Fields.size(); ++i) map[d.Fields[i].FieldNumber()] = uint16_t(i + 1);
  for (size_t i = 0; i < d.Fields.size(); ++i) d.Fields[i].SetFieldNumber(uint16_t(i + 1));
  for (TIndexDescriptor& index : d.Indexes)
    for (int f = 0; f < index.FieldCount(); ++f) index.SetFieldNumber(f, map[index.FieldNumber(f)]);
  LayoutFields(d.Fields);
}

// Emptying and restructuring rewrite the table's files directly, past the caches that a
// rollback throws away: inside a transaction they could be neither undone nor kept apart
// from it, so they are refused before anything changes.
void TDataCursor::RefuseInTransaction() const {
  if ((Table_ != nullptr && Table_->InTransaction()) || (Database_ && Database_->InTransaction()))
    RaiseTableError(VELDOR_TABLEOPEN, TableName_);
}

void TDataCursor::RequireExclusive() const {
  if (!Exclusive_) RaiseTableError(VELDOR_NEEDEXCLACCESS, TableName_);
  if (ReadOnly_) RaiseTableError(VELDOR_OSEACCES, TableName_);
}

void TDataCursor::CreateTable(const TTableDefinition& definition, bool overwrite, bool allowNoPrimary) {
  CheckClosed();
  RequireExclusive();
  TTableDefinition d = definition;
  ValidateTableDefinition(d, allowNoPrimary, -1, TableName_);
  RenumberDefinition(d);
  if (Database_->TableExists(TableName_, InMemory_)) {
    if (!overwrite) RaiseTableError(VELDOR_TABLEEXISTS, TableName_);
    int result = Database_->DeleteTable(TableName_, InMemory_);
    if (result < 0) RaiseTableError(uint16_t(-result), TableName_);
  }
  TDataTable* table = nullptr;
  int result = Database_->CreateTable(TableName_, InMemory_, d, SqlTemporary_, table);
  if (result < 0) RaiseTableError(uint16_t(-result), TableName_);
  result = Database_->CloseTable(table);
  if (result < 0) RaiseTableError(uint16_t(-result), TableName_);
}

void TDataCursor::DeleteTable() {
  CheckClosed();
  int result = Database_->DeleteTable(TableName_, InMemory_);
  if (result < 0) RaiseTableError(uint16_t(-result), TableName_);
}

void TDataCursor::RenameTable(const std::string& newName) {
  CheckClosed();
  TDataCursor probe(nullptr);
  probe.SetTableName(newName);
  int result = Database_->RenameTable(TableName_, InMemory_, probe.TableName());
  if (result < 0) RaiseTableError(uint16_t(-result), TableName_);
  TableName_ = probe.TableName();
}

void TDataCursor::EmptyTable() {
  RequireOpen();
  RequireExclusive();
  RefuseInTransaction();
  Blobs_.clear();
  TAtomicChange change(*Table_);
  try {
    Table_->Empty();
    change.Commit();
  } catch (...) {
    change.Abandon();
    try {
      ReloadAfterRewrite();
    } catch (...) {
      // The cursor re-synchronises at its next operation; the first error stands.
    }
    throw;
  }
  ReloadAfterRewrite();
}

void TDataCursor::ResyncAfterFailedChange(const std::string& indexName, bool naturalOrder) noexcept {
  try {
    SaveCounters();
    LoadLayout();
    LoadIndex(naturalOrder ? kNaturalOrder : std::max(Table_->IndexFile().IndexOfName(indexName), 0));
    Bracketed([&] {
      ComputeRangeLimits();
      UpdateBitmapMode();
      if (BitmapMode_) RebuildVisible();
    });
    SetToBegin();
  } catch (...) {
    // The cursor re-synchronises at its next operation; the caller's error stands.
  }
}

void TDataCursor::ReloadAfterRewrite() {
  SaveCounters();
  const int index = IndexNumber_;
  LoadLayout();
  LoadIndex(index);
  Bracketed([&] {
    ComputeRangeLimits();
    UpdateBitmapMode();
    if (BitmapMode_) RebuildVisible();
  });
  SetToBegin();
}

// Removes a live record that cannot stay (a key violation while an index is filled):
// its BLOBs, its keys in every index not marked in `skip` (those being filled do not hold
// it), its "Sys Deleted" status; the slot goes on the free chain.
void TDataCursor::RemoveRecord(int32_t number, const std::vector<bool>& skip) {
  TDataTable& table = *Table_;
  TIndexFile& index = table.IndexFile();
  TRecordPin record(table.DataFile().GetRecord(number));
  if (record->Deleted()) return;
  std::vector<uint8_t> image(record->Data(), record->Data() + TableRecordSize_);
  ReleaseBlobs(image.data());
  std::vector<uint8_t> key(kMaxKeyLength);
  TIndexPath path;
  for (size_t i = 0; i < Layouts_.size(); ++i) {
    if ((i < skip.size() && skip[i]) || (i == 0 && !table.HasUserPrimaryKey())) continue;
    if (index.Descriptor(int(i)).RootPage() == 0) continue;
    Layouts_[i]->BuildKey(image.data(), key.data());
    TBTree tree(index, int(i), *Layouts_[i]);
    if (tree.KeyExists(key.data())) tree.Delete(key.data(), path);
  }
  auto live = StatusKey(false, record->RowId()), gone = StatusKey(true, record->RowId());
  TBTree(index, kSysDeletedIndex, *SysDeletedLayout_).Replace(live.data(), gone.data(), number, path);
  index.DecrementActiveRecords();
  ClearBlobSlots(record->Data());
  table.DataFile().DeleteRecord(record.Get());
}

// A deleted record keeps no reference to the chains its BLOB values had: they are free.
void TDataCursor::ClearBlobSlots(uint8_t* record) const {
  for (const TFieldDescriptor& f : Table_->DataFile().Fields()) {
    if (f.FieldType() != FIELD_BLOB) continue;
    std::memset(BlobSlot(record, f), 0, 8);
    SetFieldPresent(record, f, false);
  }
}

// Gives index `slot` the key of every live record; a record whose key a unique index
// already holds is removed (the lowest record number stays).
void TDataCursor::FillIndex(int slot) {
  TDataTable& table = *Table_;
  TIndexFile& file = table.IndexFile();
  const TKeyLayout& layout = *Layouts_[size_t(slot)];
  TBTree tree(file, slot, layout);
  TIndexPath path;
  std::vector<uint8_t> key(size_t(layout.KeyLength()));
  TDataFile& data = table.DataFile();
  const int32_t slots = data.RecordCount();
  TProgress progress(IndexProgress, slots,
                     Database_ && Database_->Session() ? Database_->Session()->ProgressStepPercent() : 5);
  for (int32_t n = 1; n <= slots; ++n) {
    bool remove = false;
    {
      TRecordPin record(data.GetRecord(n));
      if (!record->Deleted()) {
        layout.BuildKey(record->Data(), key.data());
        if (layout.Unique() && tree.KeyExists(key.data()))
          remove = true;
        else
          tree.Insert(key.data(), n, path);
      }
    }
    if (remove) {
      std::vector<bool> skip(size_t(slot) + 1, false);
      skip[size_t(slot)] = true;
      RemoveRecord(n, skip);
    }
    progress.At(n);
  }
}

void TDataCursor::AddIndex(TIndexDescriptor definition) {
  RequireOpen();
  RequireExclusive();
  TDataTable& table = *Table_;
  TIndexFile& file = table.IndexFile();
  const std::vector<TFieldDescriptor>& fields = table.DataFile().Fields();
  int sum = KeyPartSum(definition, fields);
  if (sum <= 0 || sum > kMaxKeyPartSum)
    RaiseNamed(VELDOR_INVALIDKEY, TableName_, "", Trimmed(definition.Name()));
  const std::string previous = IndexName_;
  const bool natural = IndexNumber_ == kNaturalOrder;
  TWritingMark writing(Writing_);
  TAtomicChange change(table);
  try {
    const int slot = file.AddSecondaryIndex(definition, fields);
    LoadLayout();
    FillIndex(slot);
    FlushBuffers(true, false, table.HasBlobFile(), true, true);
    change.Commit();
  } catch (...) {
    change.Abandon();
    ResyncAfterFailedChange(previous, natural);
    throw;
  }
  LoadIndex(natural ? kNaturalOrder : std::max(file.IndexOfName(previous), 0));
  Bracketed([&] {
    ComputeRangeLimits();
    UpdateBitmapMode();
    if (BitmapMode_) RebuildVisible();
  });
  SetToBegin();
}

void TDataCursor::DeleteIndex(const std::string& name, bool removeDefinition) {
  RequireOpen();
  RequireExclusive();
  TDataTable& table = *Table_;
  TIndexFile& file = table.IndexFile();
  int number = file.IndexOfName(name);
  if (number < 0 || number == kSysDeletedIndex)
    RaiseNamed(VELDOR_INVALIDINDEXNAME, TableName_, "", Trimmed(name));
  if (number == kPrimaryIndex && file.NoUserPrimary())
    RaiseNamed(VELDOR_INVALIDINDEXNAME, TableName_, "", Trimmed(name));
  TWritingMark writing(Writing_);
  const std::string previous = IndexName_;
  const bool natural = IndexNumber_ == kNaturalOrder;
  TAtomicChange change(table);
  try {
    if (file.Descriptor(number).RootPage() != 0) TBTree(file, number, LayoutOf(number)).FreeAllPages();
    if (removeDefinition || number == kPrimaryIndex) {
      file.DeleteIndex(number);
      LoadLayout();
    } else {
      // A definition that stays must describe every record, or walking it would meet fewer
      // keys than the table counts: its keys are built again.
      LoadLayout();
      FillIndex(number);
    }
    FlushBuffers(true, false, table.HasBlobFile(), true, true);
    change.Commit();
  } catch (...) {
    change.Abandon();
    ResyncAfterFailedChange(previous, natural);
    throw;
  }
  LoadIndex(kPrimaryIndex);
  Bracketed([&] {
    ComputeRangeLimits();
    UpdateBitmapMode();
    if (BitmapMode_) RebuildVisible();
  });
  SetToBegin();
}

TDataHeader TDataCursor::GetDataHeader() {
  if (Open_) return Table_->GetHeader();
  std::string directory = InMemory_ || Database_ == nullptr ? "" : Database_->Path();
  TFileHandler file(TableFileName(directory, TableName_, kDataExtension), InMemory_);
  file.Open();
  TDataHeader header;
  try {
    file.Read(header.Bytes.data(), header.Bytes.size());
  } catch (...) {
    file.Close();
    throw;
  }
  file.Close();
  if (header.Encrypted()) RequirePassword(header.Password());
  return header;
}

TTableInformation TDataCursor::GetTableInformation() {
  if (!Open_) {
    TDataCursor probe(Database_);
    probe.SetTableName(TableName_);
    probe.SetInMemory(InMemory_);
    probe.SetReadOnly(true);
    probe.SetPasswordCallback(PasswordCallback_);
    probe.Open();
    return probe.GetTableInformation();
  }
  TTableInformation info;
  TDataTable& table = *Table_;
  info.Fields = table.DataFile().Fields();
  for (int i = 0; i <= table.IndexFile().SecondaryCount(); ++i)
    info.Indexes.push_back(table.IndexFile().Descriptor(i));
  info.NoPrimaryKey = table.IndexFile().NoUserPrimary();
  info.RecordSize = table.RecordSize();
  info.BlobBlockSize = table.BlobBlockSize();
  info.Language = table.Language();
  info.Sort = table.SortId();
  info.UserMajorVersion = table.UserMajorVersion();
  info.UserMinorVersion = table.UserMinorVersion();
  info.Description = table.Description();
  info.Encrypted = table.Encrypted();
  info.Password = table.Password();
  info.LastAutoInc = table.LastAutoInc();
  info.RecordCount = table.IndexFile().ActiveRecords();
  return info;
}

// ---- Restructure ------------------------------------------------------------------------------------

bool TDataCursor::ReportDataLost(int cause, const std::string& context, bool& stopAsking) {
  if (stopAsking || !DataLost) return true;
  bool proceed = true;
  DataLost(cause, context, proceed, stopAsking);
  return proceed;
}

void TDataCursor::RestructureTable(const TTableDefinition& definition, bool noBackup,
                                   int32_t lastAutoInc, bool allowNoPrimary) {
  CheckClosed();
  RequireExclusive();
  RefuseInTransaction();
  TTableDefinition d = definition;
  ValidateTableDefinition(d, allowNoPrimary, lastAutoInc, TableName_);
  // Where each old field's data goes: new field numbers identify old fields.
  TTableDefinition renumbered = d;
  RenumberDefinition(renumbered);
  Open();
  struct TCloser {
    TDataCursor& Cursor;
    ~TCloser() {
      try {
        Cursor.Close();
      } catch (...) {
      }
    }
  } closer{*this};
  TDataTable& table = *Table_;
  if (lastAutoInc == -1) lastAutoInc = table.LastAutoInc();
  const std::vector<TFieldDescriptor> oldFields = table.DataFile().Fields();
  bool copy = d.Encrypted != table.Encrypted() || d.BlobBlockSize != table.BlobBlockSize() ||
              d.Language != table.Language() || d.Sort != table.SortId() ||
              d.Fields.size() != oldFields.size();
  for (size_t i = 0; !copy && i < d.Fields.size(); ++i)
    copy = !SameFieldDefinition(d.Fields[i], oldFields[i]);
  if (copy) {
    RestructureByCopy(d, renumbered, noBackup, lastAutoInc, allowNoPrimary);
    return;
  }
  TIndexFile& file = table.IndexFile();
  bool rebuild = int(renumbered.Indexes.size()) - 1 != file.SecondaryCount() ||
                 (renumbered.Indexes[0].FieldCount() > 0 && file.NoUserPrimary());
  for (size_t i = 0; !rebuild && i < renumbered.Indexes.size(); ++i)
    rebuild = !SameIndexDefinition(renumbered.Indexes[i], file.Descriptor(int(i)), renumbered.Fields, oldFields);
  // The rebuild, the descriptors and the settings change as one.
  TAtomicChange change(table);
  std::unique_ptr<TMaintenanceRecord> backup;
  try {
    if (rebuild) {
      if (!RebuildIndexes(renumbered, noBackup, change.Active())) return;  // dropped: as before
    } else {
      for (size_t i = 0; i < renumbered.Indexes.size(); ++i) {
        TIndexDescriptor kept = file.Descriptor(int(i));
        kept.SetName(i == 0 ? "" : renumbered.Indexes[i].Name());
        file.SetDescriptor(int(i), kept);
      }
    }
    for (size_t i = 0; i < renumbered.Fields.size(); ++i)
      table.DataFile().UpdateDescriptor(uint16_t(i + 1), renumbered.Fields[i]);
    table.SetTableInformation(d.Password, d.Description, d.UserMajorVersion, d.UserMinorVersion, lastAutoInc);
    FlushBuffers(true, false, table.HasBlobFile(), true, true);
    if (rebuild && change.Active()) backup = StageIndexBackup(table, !noBackup);
    change.Commit();
  } catch (...) {
    change.Abandon();
    if (backup) {
      try {
        if (change.Committed())
          backup->Finish();
        else
          backup->Undo();
      } catch (...) {
        // The record stays: the next opener places or removes the copy.
      }
    }
    throw;
  }
  if (backup) backup->Finish();
}

// Rebuilds the indexes whose definition changed; false when the data-lost hook stopped it.
// Journaled, the caller's atomic change is dropped to undo it; otherwise the index file is
// put back from its ".IBK" copy here.
bool TDataCursor::RebuildIndexes(const TTableDefinition& d, bool noBackup, bool journaled) {
  TDataTable& table = *Table_;
  TIndexFile& file = table.IndexFile();
  const std::vector<TFieldDescriptor> fields = table.DataFile().Fields();
  TWritingMark writing(Writing_);
  if (!journaled) table.BackupIndex();
  const bool hadNoPrimary = file.NoUserPrimary();
  const int newCount = int(d.Indexes.size()) - 1;
  std::vector<bool> changed(d.Indexes.size(), false);
  for (int i = file.SecondaryCount(); i > newCount; --i) {
    if (file.Descriptor(i).RootPage() != 0) TBTree(file, i, LayoutOf(i)).FreeAllPages();
    file.DeleteIndex(i);
  }
  for (size_t i = 0; i < d.Indexes.size(); ++i) {
    const int slot = int(i);
    const bool exists = slot == 0 || slot <= file.SecondaryCount();
    TIndexDescriptor old = file.Descriptor(slot);
    bool same = exists && SameIndexDefinition(d.Indexes[i], old, d.Fields, fields) &&
                !(slot == 0 && d.Indexes[0].FieldCount() > 0 && file.NoUserPrimary());
    if (same) {
      old.SetName(slot == 0 ? "" : d.Indexes[i].Name());
      file.SetDescriptor(slot, old);
      continue;
    }
    changed[i] = true;
    if (exists && old.RootPage() != 0) TBTree(file, slot, LayoutOf(slot)).FreeAllPages();
    TIndexDescriptor fresh = d.Indexes[i];
    fresh.SetRootPage(0);
    fresh.SetFreePage(file.Descriptor(slot).FreePage());
    file.SetDescriptor(slot, fresh);
    if (slot == 0) file.SetNoUserPrimary(fresh.FieldCount() == 0);
  }
  file.SetSecondaryCount(newCount);
  const bool gainedPrimary = hadNoPrimary && !file.NoUserPrimary();
  LoadLayout();
  std::vector<int32_t> removed;
  bool stopAsking = false, stopped = false;
  TDataFile& data = table.DataFile();
  const int32_t slots = data.RecordCount();
  TProgress progress(RestructureProgress, slots,
                     Database_ && Database_->Session() ? Database_->Session()->ProgressStepPercent() : 5);
  std::vector<uint8_t> key(kMaxKeyLength);
  TIndexPath path;
  for (int32_t n = 1; n <= slots && !stopped; ++n) {
    std::vector<uint8_t> image;
    {
      TRecordPin record(data.GetRecord(n));
      if (record->Deleted()) continue;
      image.assign(record->Data(), record->Data() + TableRecordSize_);
    }
    std::string violated;
    for (size_t i = 0; i < changed.size() && violated.empty(); ++i) {
      if (!changed[i] || (i == 0 && file.NoUserPrimary()) || !Layouts_[i]->Unique()) continue;
      Layouts_[i]->BuildKey(image.data(), key.data());
      if (TBTree(file, int(i), *Layouts_[i]).KeyExists(key.data()))
        violated = i == 0 ? "Primary" : file.Descriptor(int(i)).Name();
    }
    if (!violated.empty()) {
      if (ReportDataLost(1, violated, stopAsking))
        removed.push_back(n);
      else
        stopped = true;
    } else {
      for (size_t i = 0; i < changed.size(); ++i) {
        if (!changed[i] || (i == 0 && file.NoUserPrimary())) continue;
        Layouts_[i]->BuildKey(image.data(), key.data());
        TBTree(file, int(i), *Layouts_[i]).Insert(key.data(), n, path);
      }
    }
    progress.At(n);
  }
  if (stopped) {
    if (!journaled) {
      table.RestoreIndex(false, true);
      table.ReloadIfChanged();
      LoadLayout();
    }
    return false;
  }
  // Records that could not stay go only now, so that a stop above leaves the data as it
  // was; the rebuilt indexes never received their keys.
  if (gainedPrimary) {
    // Without a primary key deleted slots were never reused and are not chained; with one
    // they are: chain them all.
    int32_t head = 0;
    for (int32_t n = slots; n >= 1; --n) {
      TRecordPin record(data.GetRecord(n));
      if (!record->Deleted()) continue;
      record->SetFreeLink(head);
      record->SetModified();
      head = n;
    }
    data.MutableHeader().SetFirstDeleted(head);
    data.SetHeaderChanged();
  }
  for (int32_t n : removed) RemoveRecord(n, changed);
  if (noBackup && !journaled) {
    TFileHandler backup(TableFileName(table.InMemory() ? "" : table.Directory(), table.Name(),
                                      kIndexBackupExtension),
                        table.InMemory());
    if (backup.Exists()) backup.Delete();
  }
  return true;
}

// The name of the table that a restructure of table `table` on disk builds beside it: the
// table's name and "~", then "~1", "~2", ... until no file of that name exists. Only the
// process that holds the table exclusively picks from these names, so two restructures never
// take the same one, and the record's undo never removes another's files.
std::string TDataCursor::CopyNameFor(const std::string& table) const {
  for (int n = 0;; ++n) {
    const std::string candidate = table + "~" + (n == 0 ? std::string() : std::to_string(n));
    bool taken = false;
    for (const char* extension :
         {kDataExtension, kIndexExtension, kBlobExtension, kJournalExtension, kMaintenanceExtension})
      taken |= FileList().FileExists(TableFileName(Database_->Path(), candidate, extension), false);
    if (!taken) return candidate;
  }
}

void TDataCursor::RestructureByCopy(const TTableDefinition& d, const TTableDefinition& renumbered,
                                    bool noBackup, int32_t lastAutoInc, bool allowNoPrimary) {
  TDataTable& table = *Table_;
  TDataSession* session = Database_->Session();
  const bool inMemory = InMemory_;
  // An in-memory table is copied in the in-memory database. A table on disk is copied beside
  // itself, in its own database, so that the copy takes its place by renames in one
  // directory, as its maintenance record plans them.
  TDataDirectory* temp = inMemory ? session->OpenDataDirectory("Memory", "") : Database_;
  struct TTempDatabase {
    TDataSession* Session;
    TDataDirectory* Database;
    ~TTempDatabase() {
      if (Database) Session->CloseDataDirectory(Database);
    }
  } tempGuard{session, inMemory ? temp : nullptr};
  const std::string tempName = inMemory ? temp->GetTempTableName(true) : CopyNameFor(TableName_);
  const bool addedPassword = renumbered.Encrypted && !session->PasswordExists(renumbered.Password);
  if (addedPassword) session->AddPassword(renumbered.Password);
  struct TPasswordGuard {
    TDataSession* Session;
    std::string Password;
    bool Active;
    ~TPasswordGuard() {
      if (Active) Session->DeletePassword(Password);
    }
  } passwordGuard{session, renumbered.Password, addedPassword};

  // The swap, planned before the new table's first file exists: each old file goes to its
  // backup name (or away) only while its new one still waits beside it, then the new one
  // takes its name. Until the record commits, the next opener removes the new table instead.
  std::unique_ptr<TMaintenanceRecord> record;
  if (!inMemory) {
    record = std::make_unique<TMaintenanceRecord>(Database_->Path(), TableName_, TMaintenanceKind::Copy);
    for (const char* extension : {kDataExtension, kIndexExtension, kBlobExtension, kJournalExtension})
      record->AddMade(record->FileOf(tempName, extension));
    bool newBlobs = false;
    for (const TFieldDescriptor& f : renumbered.Fields) newBlobs |= f.FieldType() == FIELD_BLOB;
    const char* const endings[][2] = {{kIndexExtension, kIndexBackupExtension},
                                      {kBlobExtension, kBlobBackupExtension},
                                      {kDataExtension, kDataBackupExtension}};
    for (const auto& ending : endings) {
      const std::string old = record->FileOf(TableName_, ending[0]);
      const std::string fresh = record->FileOf(tempName, ending[0]);
      const std::string kept = noBackup ? "" : record->FileOf(TableName_, ending[1]);
      if (ending[0] != kBlobExtension || newBlobs) {
        record->AddMove(old, kept, fresh, true);
        record->AddMove(fresh, old, "", false);
      } else {
        record->AddMove(old, kept, "", true);  // the new table has no BLOB file
      }
    }
    record->Write(false);
  }
  // Until the swap commits, every way out removes the new table and the record.
  struct TUndo {
    std::unique_ptr<TMaintenanceRecord>& Record;
    bool Active = true;
    ~TUndo() {
      if (!Active || !Record) return;
      try {
        Record->Undo();
      } catch (...) {
        // The record stays: the next opener removes what it names.
      }
    }
  } undo{record};

  // New field number (identifying) -> position in the new table.
  std::vector<int> target(65536, 0);
  for (size_t i = 0; i < d.Fields.size(); ++i) target[d.Fields[i].FieldNumber()] = int(i + 1);

  bool stopped = false;
  {
    TDataCursor out(temp);
    out.SetTableName(tempName);
    out.SetInMemory(inMemory);
    out.SetExclusive(true);
    out.CreateTable(renumbered, true, allowNoPrimary);
    bool completed = false;
    struct TDropTemp {
      TDataCursor& Cursor;
      bool& Completed;
      ~TDropTemp() {
        if (Completed) return;
        try {
          Cursor.Close();
          Cursor.DeleteTable();
        } catch (...) {
        }
      }
    } dropTemp{out, completed};
    out.Open();
    // Row identifiers are carried over whether or not the table has an auto-increment field.
    out.SuppressAutoInc_ = true;
    out.SetIndexNumber(kNaturalOrder);

    TDataFile& data = table.DataFile();
    const int32_t slots = data.RecordCount();
    const std::vector<TFieldDescriptor>& oldFields = data.Fields();
    TProgress progress(RestructureProgress, slots, session->ProgressStepPercent());
    bool stopAsking = false;
    std::vector<uint8_t> image(out.RecordSize()), value;
    for (int32_t n = 1; n <= slots && !stopped; ++n) {
      std::vector<uint8_t> old;
      {
        TRecordPin record(data.GetRecord(n));
        if (record->Deleted()) continue;
        old.assign(record->Data(), record->Data() + TableRecordSize_);
      }
      out.InitRecord(image.data());
      // Row identifiers survive; an old auto-increment field put below writes the same value.
      std::memcpy(image.data() + kRowIdOffset, old.data() + kRowIdOffset, 4);
      for (size_t i = 0; i < oldFields.size() && !stopped; ++i) {
        const TFieldDescriptor& from = oldFields[i];
        const int position = target[from.FieldNumber()];
        if (position == 0) {
          if (!ReportDataLost(3, from.FieldName(), stopAsking)) stopped = true;
          continue;
        }
        const TFieldDescriptor& to = out.Fields()[size_t(position - 1)];
        value.assign(std::max<size_t>({kConvertBufferSize, from.SlotSize(), to.SlotSize()}) + 8, 0);
        if (GetFieldValue(old.data(), from, value.data())) {
          // Defaults are for new fields: a kept field's NULL stays NULL.
          if (to.FieldType() != FIELD_BLOB && !to.IsAutoInc())
            out.PutField(uint16_t(position), image.data(), nullptr);
          continue;
        }
        bool lost = false;
        if (from.FieldType() == FIELD_BLOB) {
          TBlobBuffer blob = StoredBlob(old.data(), from);
          if (blob.FirstBlock > 0) blob.Load(table.BlobFile());
          if (to.FieldType() == FIELD_BLOB) {
            uint16_t code = out.OpenBlob(uint16_t(position), image.data(), kBlobOwnerEngine, false, kBlobWrite);
            if (code == 0 && !blob.Data.empty())
              code = out.PutBlob(uint16_t(position), image.data(), false, 0, uint32_t(blob.Data.size()),
                                 blob.Data.data());
            if (code != 0) RaiseTableError(code, TableName_);
          } else {
            lost = true;
          }
        } else if (to.FieldType() == FIELD_BLOB) {
          lost = true;
        } else {
          const int32_t fromSize = from.IsAutoInc() ? 4 : from.SlotSize();
          const int32_t toSize = to.IsAutoInc() ? 4 : to.SlotSize();
          bool same = from.FieldType() == to.FieldType() && fromSize == toSize &&
                      from.DeclaredScale() == to.DeclaredScale();
          if (!same && !ConvertValue(from.FieldType(), fromSize, from.DeclaredScale(), value.data(),
                                     to.DeclaredScale(), toSize, to.FieldType(), value.size()))
            lost = true;
          out.PutField(uint16_t(position), image.data(), value.data());
        }
        if (lost && !ReportDataLost(4, to.FieldName(), stopAsking)) stopped = true;
      }
      if (stopped) break;

      try {
        out.AppendRecord(image.data(), false);
      } catch (const EVELDOREngineError& e) {
        out.FreeAllBlobs(false);
        int cause = 0;
        std::string context;
        // A write, a lock or the machine failing ends the copy; the old table stays.
        if (EndsACopy(e.ErrorCode)) throw;
        if (e.ErrorCode == VELDOR_KEYVIOL) {
          cause = 1;
          context = e.ErrorIndexName;
        } else if (e.ErrorCode == VELDOR_REQDERR || e.ErrorCode == VELDOR_MINVALERR ||
                   e.ErrorCode == VELDOR_MAXVALERR) {
          cause = 2;
          context = e.ErrorFieldName;
        }
        if (!ReportDataLost(cause, context, stopAsking)) stopped = true;
      }
      FreeAllBlobs(false);
      progress.At(n);
    }
    if (!stopped) {
      out.Table()->SetLastAutoInc(lastAutoInc);
      out.FlushBuffers(true, false, out.Table()->HasBlobFile(), true, true);
      out.Close();
      completed = true;
    }
  }
  if (stopped) return;
  // The copy is complete: the old table goes (or becomes the backups), the new one takes
  // its place.
  const std::string name = TableName_;
  Close();
  if (inMemory) {
    int result = Database_->DeleteTable(name, inMemory);
    if (result < 0) RaiseTableError(uint16_t(-result), name);
    MoveMemoryTableFiles(tempName, name);
    return;
  }
  record->Commit();
  undo.Active = false;
  // From here on the swap holds: should a move fail, the next opener makes it.
  record->Finish();
}

}  // namespace veldor
