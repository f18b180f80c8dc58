#include "engine/maintenance_record.h"

#include <algorithm>
#include <cstring>

#include "engine/errors.h"
#include "engine/journal.h"
#include "engine/table_header.h"
#include "lib/byte_order.h"
#include "lib/name_text.h"

namespace veldor {
namespace {

constexpr char kMagic[8] = {'V', 'E', 'L', 'D', 'O', 'R', 'M', 'R'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 24;
constexpr size_t kStateOffset = 12;
constexpr uint8_t kPrepared = 1;
constexpr uint8_t kCommitted = 2;
// A record names a few files: anything larger is not one of ours.
constexpr int64_t kLargestRecord = 1 << 20;
constexpr size_t kLongestName = 1024;

std::string DirectoryPart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string BasePart(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void SyncOrRaise(const std::string& directory, const std::string& table) {
  if (int result = SyncDirectory(directory.empty() ? "." : directory); result < 0)
    RaiseTableError(uint16_t(-result), table);
}

void PutName(std::vector<uint8_t>& out, const std::string& name) {
  const size_t n = std::min(name.size(), kLongestName);
  out.push_back(uint8_t(n));
  out.push_back(uint8_t(n >> 8));
  out.insert(out.end(), name.begin(), name.begin() + std::ptrdiff_t(n));
}

// Reads the body front to back; every read is checked against what is left.
class TReader {
 public:
  TReader(const uint8_t* at, size_t size) : At_(at), Left_(size) {}
  bool U8(uint8_t& v) {
    if (Left_ < 1) return false;
    v = *At_;
    Skip(1);
    return true;
  }
  bool U16(uint16_t& v) {
    if (Left_ < 2) return false;
    v = LoadU16(At_);
    Skip(2);
    return true;
  }
  bool U32(uint32_t& v) {
    if (Left_ < 4) return false;
    v = LoadU32(At_);
    Skip(4);
    return true;
  }
  bool Bytes(size_t n, std::vector<uint8_t>& v) {
    if (Left_ < n) return false;
    v.assign(At_, At_ + n);
    Skip(n);
    return true;
  }
  bool Name(std::string& v) {
    uint16_t n = 0;
    if (!U16(n) || n > kLongestName || Left_ < n) return false;
    v.assign(reinterpret_cast<const char*>(At_), n);
    Skip(n);
    // A bare name of the table's directory, never a path.
    return v.find('/') == std::string::npos && v != "." && v != "..";
  }
  bool AtEnd() const { return Left_ == 0; }

 private:
  void Skip(size_t n) {
    At_ += n;
    Left_ -= n;
  }
  const uint8_t* At_;
  size_t Left_;
};

// The record's name for table `table`: the data file's name as it stands on disk (see
// ResolveDiskFileName) with its extension replaced, so that, while the data file is there,
// whoever looks finds the record with one system call whatever spelling of the name it was
// given; `dataExists` receives whether it is there.
std::string RecordPathFor(const std::string& directory, const std::string& table, bool& dataExists) {
  const std::string data = ResolveDiskFileName(TableFileName(directory, table, kDataExtension));
  dataExists = DiskFileExists(data);
  const size_t slash = data.rfind('/');
  const size_t dot = data.rfind('.');
  const bool extension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (extension ? data.substr(0, dot) : data) + kMaintenanceExtension;
}

}  // namespace

TMaintenanceRecord::TMaintenanceRecord(const std::string& directory, const std::string& table,
                                       TMaintenanceKind kind)
    : TableName_(table), Kind_(kind) {
  const std::string path = RecordPathFor(directory, table, DataFileFound_);
  Directory_ = DirectoryPart(path);
  Records_.push_back(BasePart(path));
}

TMaintenanceRecord::~TMaintenanceRecord() { CloseHeld(); }

std::string TMaintenanceRecord::FileOf(const std::string& table, const char* extension) const {
  return BasePart(TableFileName(Directory_, BasePart(table), extension));
}

void TMaintenanceRecord::AddMade(const std::string& file) { Made_.push_back(file); }

void TMaintenanceRecord::AddMove(const std::string& from, const std::string& to,
                                 const std::string& guard, bool replace) {
  Moves_.push_back({from, to, guard, replace});
}

void TMaintenanceRecord::AddTwin(const std::string& table) {
  bool dataExists = false;
  Records_.push_back(BasePart(RecordPathFor(Directory_, BasePart(table), dataExists)));
}

bool TMaintenanceRecord::Exists(const std::string& file) const {
  return !file.empty() && FileList().FileExists(Directory_ + file, false);
}

std::vector<uint8_t> TMaintenanceRecord::Encode(bool committed) const {
  std::vector<uint8_t> body;
  auto count = [&](size_t n) {
    body.push_back(uint8_t(n));
    body.push_back(uint8_t(n >> 8));
  };
  count(Made_.size());
  for (const std::string& f : Made_) PutName(body, f);
  count(Moves_.size());
  for (const TMove& m : Moves_) {
    PutName(body, m.From);
    PutName(body, m.To);
    PutName(body, m.Guard);
    body.push_back(m.Replace ? 1 : 0);
  }
  count(Records_.size());
  for (const std::string& r : Records_) PutName(body, r);
  uint8_t length[4];
  StoreU32(length, uint32_t(Image_.size()));
  body.insert(body.end(), length, length + 4);
  body.insert(body.end(), Image_.begin(), Image_.end());

  std::vector<uint8_t> out(kHeaderSize, 0);
  std::memcpy(out.data(), kMagic, 8);
  StoreU32(out.data() + 8, kVersion);
  out[kStateOffset] = committed ? kCommitted : kPrepared;
  out[13] = uint8_t(Kind_);
  StoreU32(out.data() + 16, uint32_t(body.size()));
  StoreU32(out.data() + 20, Crc32(0, body.data(), body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

bool TMaintenanceRecord::Decode(const std::vector<uint8_t>& bytes) {
  if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kMagic, 8) != 0 ||
      LoadU32(bytes.data() + 8) != kVersion)
    return false;
  const uint8_t kind = bytes[13];
  if (kind < uint8_t(TMaintenanceKind::Rename) || kind > uint8_t(TMaintenanceKind::Delete)) return false;
  const uint32_t length = LoadU32(bytes.data() + 16);
  if (length != bytes.size() - kHeaderSize) return false;
  const uint8_t* body = bytes.data() + kHeaderSize;
  if (Crc32(0, body, length) != LoadU32(bytes.data() + 20)) return false;
  Kind_ = TMaintenanceKind(kind);
  Committed_ = bytes[kStateOffset] == kCommitted;
  Made_.clear();
  Moves_.clear();
  Records_.clear();
  TReader in(body, length);
  uint16_t n = 0;
  if (!in.U16(n)) return false;
  for (uint16_t i = 0; i < n; ++i) {
    std::string name;
    if (!in.Name(name) || name.empty()) return false;
    Made_.push_back(name);
  }
  if (!in.U16(n)) return false;
  for (uint16_t i = 0; i < n; ++i) {
    TMove m;
    uint8_t flags = 0;
    if (!in.Name(m.From) || !in.Name(m.To) || !in.Name(m.Guard) || !in.U8(flags) || m.From.empty())
      return false;
    m.Replace = (flags & 1) != 0;
    Moves_.push_back(m);
  }
  if (!in.U16(n)) return false;
  for (uint16_t i = 0; i < n; ++i) {
    std::string name;
    if (!in.Name(name) || name.empty()) return false;
    Records_.push_back(name);
  }
  uint32_t image = 0;
  if (!in.U32(image) || !in.Bytes(image, Image_)) return false;
  return in.AtEnd();
}

void TMaintenanceRecord::Write(bool committed) {
  const std::vector<uint8_t> bytes = Encode(committed);
  Held_.clear();
  try {
    for (const std::string& name : Records_) {
      Held_.push_back(std::make_unique<TFileHandler>(Directory_ + name));
      TFileHandler& file = *Held_.back();
      file.Create();
      TFileSection section(file);
      file.Seek(kSeekFromStart, 0);
      file.Write(bytes.data(), bytes.size());
      file.Flush();
      FaultPoint("maintenance-recorded");
    }
    SyncOrRaise(Directory_, TableName_);
  } catch (...) {
    for (auto& file : Held_) {
      try {
        if (file->IsOpen()) {
          file->Close();
          file->Delete();
        }
      } catch (...) {
        // What stays is a record that never reached its end or the one before the first
        // change: the next writer removes or finishes it.
      }
    }
    Held_.clear();
    throw;
  }
  Committed_ = committed;
}

void TMaintenanceRecord::Commit() {
  for (const std::string& name : Made_) {
    if (!Exists(name)) continue;
    TFileHandler file(Directory_ + name);
    file.Open();
    try {
      file.Flush();
    } catch (...) {
      file.Close();
      throw;
    }
    file.Close();
  }
  // The files made must be found under their names before the record says they count.
  SyncOrRaise(Directory_, TableName_);
  const uint8_t state = kCommitted;
  for (auto& file : Held_) {
    if (!file) continue;
    TFileSection section(*file);
    file->Seek(kSeekFromStart, int64_t(kStateOffset));
    file->Write(&state, 1);
    file->Flush();
  }
  Committed_ = true;
  FaultPoint("maintenance-committed");
}

void TMaintenanceRecord::Finish() {
  for (const TMove& m : Moves_) {
    if (!m.Guard.empty() && !Exists(m.Guard)) continue;
    if (!Exists(m.From)) continue;
    TFileHandler from(Directory_ + m.From);
    if (m.To.empty()) {
      from.Delete();
    } else {
      if (Exists(m.To)) {
        if (!m.Replace) RaiseTableError(VELDOR_TABLEEXISTS, m.To);
        TFileHandler(Directory_ + m.To).Delete();
      }
      from.Rename(Directory_ + m.To);
    }
    FaultPoint("maintenance-move");
  }
  SyncOrRaise(Directory_, TableName_);
  FaultPoint("maintenance-finished");
  Remove();
}

void TMaintenanceRecord::Undo() {
  for (const std::string& name : Made_) {
    if (!Exists(name)) continue;
    TFileHandler(Directory_ + name).Delete();
    FaultPoint("maintenance-move");
  }
  SyncOrRaise(Directory_, TableName_);
  Remove();
}

void TMaintenanceRecord::Remove() {
  Held_.resize(Records_.size());
  for (size_t i = 0; i < Records_.size(); ++i) {
    if (Held_[i]) {
      TFileHandler& file = *Held_[i];
      {
        // Emptied for good before it goes: should the removal not survive a crash, an
        // empty record means nothing to do.
        TFileSection section(file);
        file.Seek(kSeekFromStart, 0);
        file.Write(nullptr, 0);
      }
      file.Flush();
      file.Close();
      file.Delete();
      Held_[i].reset();
    } else if (Exists(Records_[i])) {
      TFileHandler(Directory_ + Records_[i]).Delete();
    }
  }
  Held_.clear();
}

void TMaintenanceRecord::CloseHeld() noexcept {
  for (auto& file : Held_) {
    try {
      if (file && file->IsOpen()) file->Close();
    } catch (...) {
    }
  }
  Held_.clear();
}

bool TMaintenanceRecord::HasCommitted(const std::string& directory, const std::string& table) const {
  if (Kind_ != TMaintenanceKind::IndexBackup) return Committed_;
  if (Committed_) return true;
  // The change committed when its journal holds a sound mark, or when the journal is gone
  // and the index file begins with the header the change wrote. Both are looked at without
  // a hold of their own, as the journal's protocol asks.
  switch (TJournal::Probe(JournalFileNameFor(TableFileName(directory, table, kDataExtension)))) {
    case TJournal::TFound::DeadCommitted: return true;
    case TJournal::TFound::Live: RaiseTableError(VELDOR_OSEACCES, table);
    case TJournal::TFound::Dead:
    case TJournal::TFound::None: break;
  }
  if (Image_.empty()) return false;
  TDetachedFile index(ResolveDiskFileName(TableFileName(directory, table, kIndexExtension)));
  std::vector<uint8_t> header(Image_.size());
  return index.Exists() && index.ReadAt(0, header.data(), header.size()) && header == Image_;
}

TMaintenanceRecord::TLoad TMaintenanceRecord::Load(const std::string& directory, const std::string& table,
                                                   bool exclusive, std::unique_ptr<TMaintenanceRecord>& record,
                                                   std::unique_ptr<TFileHandler>& held) {
  record = std::make_unique<TMaintenanceRecord>(directory, table, TMaintenanceKind::Rename);
  std::string path = record->Directory_ + record->Records_.front();
  // Beside a data file the record's name is known exactly: one system call when there is
  // none. Without one (a table renamed or deleted half-way) it is looked up without regard
  // to case.
  if (record->DataFileFound_) {
    if (!DiskFileExists(path)) return TLoad::None;
  } else {
    if (!FileList().FileExists(path, false)) return TLoad::None;
    path = ResolveDiskFileName(path);
  }
  if (!exclusive) {
    // A reader looks without a hold of its own, so that it never stands in the way of the
    // record's owner, or of a writer settling it.
    TDetachedFile file(path);
    if (!file.Exists()) return TLoad::None;
    if (file.HeldOpen()) return TLoad::InUse;
    std::vector<uint8_t> bytes;
    const int64_t size = file.Size();
    if (size > 0 && size <= kLargestRecord) {
      bytes.resize(size_t(size));
      if (!file.ReadAt(0, bytes.data(), bytes.size())) bytes.clear();
    }
    return record->Decode(bytes) ? TLoad::Loaded : TLoad::Invalid;
  }
  held = std::make_unique<TFileHandler>(path);
  held->SetExclusive(exclusive);
  try {
    held->Open();
  } catch (const EVELDOREngineError& e) {
    held.reset();
    if (e.ErrorCode == VELDOR_OSENOENT) return TLoad::None;
    if (e.ErrorCode == VELDOR_OSEACCES) return TLoad::InUse;
    throw;
  }
  std::vector<uint8_t> bytes;
  try {
    const int64_t size = held->Size();
    if (size > 0 && size <= kLargestRecord) {
      bytes.resize(size_t(size));
      TFileSection section(*held);
      held->Seek(kSeekFromStart, 0);
      bytes.resize(held->Read(bytes.data(), bytes.size(), true));
    }
  } catch (...) {
    held->Close();
    held.reset();
    throw;
  }
  return record->Decode(bytes) ? TLoad::Loaded : TLoad::Invalid;
}

TMaintenanceOutcome TMaintenanceRecord::Recover(const std::string& directory, const std::string& table,
                                                bool readOnly) {
  std::unique_ptr<TMaintenanceRecord> record;
  std::unique_ptr<TFileHandler> held;
  switch (Load(directory, table, !readOnly, record, held)) {
    case TLoad::None:
      return TMaintenanceOutcome::None;
    case TLoad::InUse:
      RaiseTableError(VELDOR_OSEACCES, table);
    case TLoad::Invalid:
      if (readOnly) return TMaintenanceOutcome::None;
      held->Close();
      // Cut short while it was written, before anything it plans had begun.
      held->Delete();
      return TMaintenanceOutcome::Removed;
    case TLoad::Loaded:
      break;
  }
  record->TableName_ = table;
  bool committed = false;
  try {
    committed = record->HasCommitted(directory, table);
  } catch (...) {
    if (held) held->Close();
    throw;
  }
  if (readOnly) {
    if (committed && record->Kind_ != TMaintenanceKind::IndexBackup)
      RaiseEngineError(VELDOR_FILENOACCESS, "", "", "", table, "", "",
                       "a maintenance that did not finish awaits a writer");
    return TMaintenanceOutcome::None;
  }
  // The record found is one of the record's names (the table's own, or a rename's twin).
  const std::string found = BasePart(held->FileName());
  record->Held_.resize(record->Records_.size());
  bool placed = false;
  for (size_t i = 0; i < record->Records_.size() && !placed; ++i) {
    if (EqualsIgnoreCase(record->Records_[i], found)) {
      record->Held_[i] = std::move(held);
      placed = true;
    }
  }
  if (!placed) {
    // A record moved here by hand: it is removed with the ones it names.
    record->Records_.push_back(found);
    record->Held_.push_back(std::move(held));
  }
  if (committed) {
    record->Finish();
    return TMaintenanceOutcome::Finished;
  }
  record->Undo();
  return TMaintenanceOutcome::Undone;
}

std::optional<bool> TMaintenanceRecord::DataFileAfterRecovery(const std::string& directory,
                                                              const std::string& table) {
  std::unique_ptr<TMaintenanceRecord> record;
  std::unique_ptr<TFileHandler> held;
  TLoad load = TLoad::None;
  try {
    load = Load(directory, table, false, record, held);
  } catch (const EVELDOREngineError&) {
    return std::nullopt;
  }
  if (load == TLoad::InUse) return true;
  // An index backup never touches the data file; an operation that had not committed is
  // undone, which leaves the table's own files as they are.
  if (load != TLoad::Loaded || record->Kind_ == TMaintenanceKind::IndexBackup || !record->Committed_)
    return std::nullopt;
  const std::string data = record->FileOf(table, kDataExtension);
  bool arrives = false, leaves = false;
  for (const TMove& m : record->Moves_) {
    arrives |= EqualsIgnoreCase(m.To, data);
    leaves |= EqualsIgnoreCase(m.From, data);
  }
  if (arrives) return true;
  if (leaves) return false;
  return std::nullopt;
}

TMaintenanceState TMaintenanceRecord::Inspect(const std::string& directory, const std::string& table) {
  TMaintenanceState state;
  std::unique_ptr<TMaintenanceRecord> record;
  std::unique_ptr<TFileHandler> held;
  switch (Load(directory, table, false, record, held)) {
    case TLoad::None:
      return state;
    case TLoad::InUse:
      state.Present = state.InUse = true;
      return state;
    case TLoad::Invalid:
      state.Present = true;
      return state;
    case TLoad::Loaded:
      break;
  }
  state.Present = state.Valid = true;
  state.Kind = record->Kind_;
  try {
    state.Committed = record->HasCommitted(directory, table);
  } catch (const EVELDOREngineError& e) {
    if (e.ErrorCode != VELDOR_OSEACCES) throw;
    state.InUse = true;
  }
  return state;
}

}  // namespace veldor
