#include "engine/index_file.h"
#include "lib/name_text.h"

#include <algorithm>
#include <cstring>

#include "engine/data_table.h"
#include "engine/errors.h"
#include "engine/index_key.h"
#include "engine/table_header.h"
#include "lib/byte_order.h"

namespace veldor {
namespace {

constexpr size_t kMaxWriteRunPages = 64;

TIndexDescriptor SysDeletedDescriptor() {
  TIndexDescriptor d;
  d.SetName(kSysDeletedName);
  d.SetKeyLength(5);
  return d;
}

}  // namespace

TIndexFile::TIndexFile(TDataTable* table) : Table_(table) {}

TIndexFile::~TIndexFile() {
  for (TPageCache& cache : Caches_) DropCache(cache);
}

void TIndexFile::Corrupt() const { RaiseTableError(VELDOR_INDEXCORRUPT, Table_->Name()); }

// ---- Open, create, header ------------------------------------------------------------------

void TIndexFile::ReadHeaderImage(TIndexHeader& header) {
  {
    TFileSection section(*this);
    Seek(0, 0);
    if (Read(header.Bytes.data(), kIndexHeaderSize, true) != kIndexHeaderSize)
      RaiseTableError(VELDOR_HEADERCORRUPT, Table_->Name());
  }
  if (Table_->Encrypted()) ScrambleTableData(header.Bytes.data(), kIndexHeaderSize);
}

void TIndexFile::Open() {
  if (IsOpen()) return;
  TFileHandler::Open();
  try {
    TIndexHeader header;
    ReadHeaderImage(header);
    if (header.SecondaryCount() > kMaxSecondaryIndexes)
      RaiseTableError(VELDOR_HEADERCORRUPT, Table_->Name());
    Header_ = header;
    HeaderChanged_ = false;
    ResetStatistics();
  } catch (...) {
    Close();
    throw;
  }
}

void TIndexFile::Close() {
  for (TPageCache& cache : Caches_) DropCache(cache);
  TFileHandler::Close();
}

void TIndexFile::Create() {
  for (TPageCache& cache : Caches_) DropCache(cache);
  TFileHandler::Create();
  Header_ = TIndexHeader{};
  Header_.SetFormatVersion(kFormatVersion);
  Header_.SetNextPageNumber(1);
  Header_.SetDescriptor(kSysDeletedIndex, SysDeletedDescriptor());
  Header_.SetActiveRecords(0);
  HeaderChanged_ = true;
  ResetStatistics();
}

void TIndexFile::VerifyHeader(const std::vector<TFieldDescriptor>& fields) {
  const std::string& table = Table_->Name();
  if (Header_.FormatVersion() != kFormatVersion) RaiseTableError(VELDOR_OLDVERSION, table);
  auto corrupt = [&] { RaiseTableError(VELDOR_HEADERCORRUPT, table); };
  int count = Header_.SecondaryCount();
  if (count > kMaxSecondaryIndexes) corrupt();
  int32_t pages = PageCount();
  if (pages < 0) corrupt();
  auto pageValid = [&](int32_t page) { return page == 0 || (page >= 1 && page <= pages); };
  for (int i = 0; i <= count; ++i) {
    TIndexDescriptor d = Header_.Descriptor(i);
    if (d.Bytes[0] > 30 || d.FieldCount() > kMaxIndexFields || d.Compression() > COMPRESS_FULL)
      corrupt();
    if (!pageValid(d.RootPage()) || !pageValid(d.FreePage())) corrupt();
    if (i == kPrimaryIndex) {
      if (!d.Name().empty()) corrupt();
      if (Header_.NoUserPrimary()) {
        if (d.FieldCount() == 0 && d.KeyLength() == 0) continue;
      } else if (!d.Unique()) {
        corrupt();
      }
    } else {
      std::string name = d.Name();
      if (name.empty() || !IsIdentifierStart(uint8_t(name[0]))) corrupt();
      for (int j = 1; j < i; ++j)
        if (SameName(Header_.Descriptor(j).Name(), name)) corrupt();
    }
    for (int f = 0; f < d.FieldCount(); ++f) {
      uint16_t number = d.FieldNumber(f);
      if (number < 1 || number > fields.size()) corrupt();
      if (fields[number - 1].FieldType() == FIELD_BLOB) corrupt();
    }
    int sum = KeyPartSum(d, fields);
    if (sum < 1 || sum > kMaxKeyPartSum) corrupt();
    if (d.KeyLength() != sum + (d.Unique() ? 0 : kRowIdKeyLength)) corrupt();
  }
  TIndexDescriptor deleted = Header_.Descriptor(kSysDeletedIndex);
  if (deleted.KeyLength() != 5 || !pageValid(deleted.RootPage()) || !pageValid(deleted.FreePage()))
    corrupt();
}

bool TIndexFile::HeaderChangedByOthers() {
  // The change counter leads the header: four bytes tell whether the rest is worth reading
  // (this runs at every read lock).
  uint8_t counter[4];
  {
    TFileSection section(*this);
    Seek(0, 0);
    if (Read(counter, sizeof counter, true) != sizeof counter)
      RaiseTableError(VELDOR_HEADERCORRUPT, Table_->Name());
  }
  if (Table_->Encrypted()) ScrambleTableData(counter, sizeof counter);
  if (LoadI32(counter) == Header_.ChangeCounter()) return false;
  TIndexHeader header;
  ReadHeaderImage(header);
  if (header.ChangeCounter() == Header_.ChangeCounter()) return false;
  if (header.SecondaryCount() > kMaxSecondaryIndexes)
    RaiseTableError(VELDOR_HEADERCORRUPT, Table_->Name());
  Header_ = header;
  HeaderChanged_ = false;
  return true;
}

void TIndexFile::ReloadHeader() {
  TIndexHeader header;
  ReadHeaderImage(header);
  if (header.SecondaryCount() > kMaxSecondaryIndexes)
    RaiseTableError(VELDOR_HEADERCORRUPT, Table_->Name());
  Header_ = header;
  HeaderChanged_ = false;
}

void TIndexFile::WriteHeader(bool force, bool flush) {
  if (!force && !HeaderChanged_) return;
  Header_.PrepareForWrite();
  std::array<uint8_t, kIndexHeaderSize> image = Header_.Bytes;
  if (Table_->Encrypted()) ScrambleTableData(image.data(), image.size());
  {
    TFileSection section(*this);
    Seek(0, 0);
    Write(image.data(), image.size());
  }
  if (flush || Table_->ForceBufferFlush()) Flush();
  Table_->MarkWritten();
  HeaderChanged_ = false;
}

void TIndexFile::MarkHeaderChanged() {
  Header_.SetChangeCounter(int32_t(uint32_t(Header_.ChangeCounter()) + 1));
  HeaderChanged_ = true;
  Table_->MarkWritten();
}

void TIndexFile::Empty() {
  for (TPageCache& cache : Caches_) DropCache(cache);
  {
    TFileSection section(*this);
    Seek(0, kIndexHeaderSize);
    Write(nullptr, 0);
  }
  if (Table_->ForceBufferFlush()) Flush();
  Header_.SetNextPageNumber(1);
  Header_.SetActiveRecords(0);
  for (int slot = 0; slot < kDescriptorSlots; ++slot) {
    TIndexDescriptor d = Header_.Descriptor(slot);
    d.ClearPages();
    Header_.SetDescriptor(slot, d);
  }
  HeaderChanged_ = true;
}

// ---- Index definitions ---------------------------------------------------------------------

void TIndexFile::SetDescriptor(int index, const TIndexDescriptor& descriptor) {
  Header_.SetDescriptor(index, descriptor);
  HeaderChanged_ = true;
}

int TIndexFile::IndexOfName(const std::string& name) const {
  if (Trimmed(name).empty()) return kPrimaryIndex;
  for (int i = 1; i <= Header_.SecondaryCount(); ++i)
    if (SameName(Header_.Descriptor(i).Name(), name)) return i;
  return -1;
}

void TIndexFile::SetNoUserPrimary(bool value) {
  Header_.SetNoUserPrimary(value);
  HeaderChanged_ = true;
}

void TIndexFile::PrepareDescriptor(TIndexDescriptor& d, bool primary,
                                   const std::vector<TFieldDescriptor>& fields) const {
  std::string indexName = primary ? "Primary" : Trimmed(d.Name());
  auto fail = [&](uint16_t code, const std::string& field = "") {
    RaiseEngineError(code, "", "", "", Table_->Name(), field, indexName, "");
  };
  int count = 0;
  while (count < kMaxIndexFields && d.FieldNumber(count) != 0) ++count;
  if (count == kMaxIndexFields && d.FieldCount() > kMaxIndexFields) fail(VELDOR_INDEXLIMIT);
  for (int f = 0; f < count; ++f) {
    uint16_t number = d.FieldNumber(f);
    if (number > fields.size()) fail(VELDOR_INVALIDIDXDESC, std::to_string(number));
    if (fields[number - 1].FieldType() == FIELD_BLOB) fail(VELDOR_SEARCHCOLREQD);
  }
  for (int f = count; f < kMaxIndexFields; ++f) d.SetFieldNumber(f, 0);
  d.SetFieldCount(uint8_t(count));
  if (primary) d.SetUnique(true);
  int sum = KeyPartSum(d, fields);
  if (sum > kMaxKeyPartSum || (sum == 0 && !primary)) fail(VELDOR_INVALIDKEY);
  d.SetKeyLength(int16_t(sum == 0 ? 0 : sum + (d.Unique() ? 0 : kRowIdKeyLength)));
  if (d.Compression() > COMPRESS_FULL) d.SetCompression(COMPRESS_NONE);
}

void TIndexFile::AddPrimaryIndex(TIndexDescriptor d, const std::vector<TFieldDescriptor>& fields) {
  if (Header_.Descriptor(kPrimaryIndex).KeyLength() != 0)
    RaiseEngineError(VELDOR_PRIMARYKEYREDEFINE, "", "", "", Table_->Name(), "", "Primary", "");
  if (d.FieldCount() > kMaxIndexFields)
    RaiseEngineError(VELDOR_INDEXLIMIT, "", "", "", Table_->Name(), "", "Primary", "");
  d.SetName("");
  PrepareDescriptor(d, true, fields);
  if (d.FieldCount() == 0) {
    SetNoUserPrimary(true);
    return;
  }
  d.SetFreePage(Header_.Descriptor(kPrimaryIndex).FreePage());
  d.SetRootPage(0);
  Header_.SetNoUserPrimary(false);
  SetDescriptor(kPrimaryIndex, d);
}

int TIndexFile::AddSecondaryIndex(TIndexDescriptor d, const std::vector<TFieldDescriptor>& fields) {
  const std::string& table = Table_->Name();
  std::string name = Trimmed(d.Name());
  int count = Header_.SecondaryCount();
  if (count >= kMaxSecondaryIndexes || d.FieldCount() > kMaxIndexFields)
    RaiseEngineError(VELDOR_INDEXLIMIT, "", "", "", table, "", name, "");
  if (name.empty()) RaiseTableError(VELDOR_INDEXNAMEREQUIRED, table);
  if (!IsIdentifierStart(uint8_t(name[0])))
    RaiseEngineError(VELDOR_INVALIDINDEXNAME, "", "", "", table, "", name, "");
  for (int i = 1; i <= count; ++i)
    if (SameName(Header_.Descriptor(i).Name(), name))
      RaiseEngineError(VELDOR_INDEXEXISTS, "", "", "", table, "", name, "");
  d.SetName(name);
  PrepareDescriptor(d, false, fields);
  int slot = count + 1;
  // A removed index parked here left its free pages: the new index takes them over.
  d.SetFreePage(Header_.Descriptor(slot).FreePage());
  d.SetRootPage(0);
  SetDescriptor(slot, d);
  Header_.SetSecondaryCount(uint8_t(slot));
  return slot;
}

void TIndexFile::DeleteIndex(int index) {
  int count = Header_.SecondaryCount();
  if (index == kPrimaryIndex) {
    TIndexDescriptor d = Header_.Descriptor(kPrimaryIndex);
    int32_t freePages = d.FreePage();
    d = TIndexDescriptor{};
    d.SetFreePage(freePages);
    SetDescriptor(kPrimaryIndex, d);
    SetNoUserPrimary(true);
    return;
  }
  if (index < 1 || index > count) return;
  TIndexDescriptor removed = Header_.Descriptor(index);
  removed.SetRootPage(0);
  for (int i = index; i < count; ++i) Header_.SetDescriptor(i, Header_.Descriptor(i + 1));
  Header_.SetDescriptor(count, removed);
  // The caches follow their indexes, so modified pages keep their owner.
  std::rotate(Caches_.begin() + index, Caches_.begin() + index + 1, Caches_.begin() + count + 1);
  for (int i = index; i <= count; ++i)
    Caches_[size_t(i)].Pages.ForEach([i](int32_t, TPage* page) { page->IndexNumber_ = i; });
  Header_.SetSecondaryCount(uint8_t(count - 1));
  HeaderChanged_ = true;
}

void TIndexFile::SetRootPage(int index, int32_t page) {
  TIndexDescriptor d = Header_.Descriptor(index);
  d.SetRootPage(page);
  SetDescriptor(index, d);
}

void TIndexFile::SetSecondaryCount(int count) {
  Header_.SetSecondaryCount(uint8_t(count));
  HeaderChanged_ = true;
}

void TIndexFile::SetActiveRecords(int32_t count) {
  Header_.SetActiveRecords(count);
  HeaderChanged_ = true;
}

// ---- Page caches -----------------------------------------------------------------------------

void TIndexFile::SetupPage(int index, TPage& page) const {
  TIndexDescriptor d = Header_.Descriptor(index);
  page.Setup(d.KeyLength(), index, d.Descending(), index == kSysDeletedIndex ? false : d.Unique(),
             index == kSysDeletedIndex ? uint8_t(COMPRESS_NONE) : d.Compression());
}

TPage* TIndexFile::EvictLeastRecent(TPageCache& cache) {
  for (TPage* p = cache.Pages.Oldest(); p; p = p->Newer_)
    if (!p->Modified() && p->UseCount() == 0) return p;
  return nullptr;
}

TPage* TIndexFile::TakeBuffer(int index, int32_t number) {
  TPageCache& cache = Caches_[size_t(index)];
  std::unique_ptr<TPage> page;
  if (cache.Pages.Size() >= cache.Capacity) {
    TPage* victim = EvictLeastRecent(cache);
    const size_t growth = std::max(kPageCacheGrowth, cache.Capacity / 2);
    if (victim == nullptr && Table_->CanWriteBackUnderPressure(growth * (kPageSize + sizeof(TPage)))) {
      WriteBack(false);
      victim = EvictLeastRecent(cache);
    }
    if (victim != nullptr) {
      page = cache.Pages.Remove(victim->PageNumber());
      if (page.get() != victim) Corrupt();
    } else {
      cache.Capacity += growth;  // grow by half: rare walks
    }
  }
  if (!page) page = Spares_.Take();
  SetupPage(index, *page);
  page->SetPageNumber(number);
  page->ResetUse();
  page->SetModified(false);
  return cache.Pages.Insert(number, std::move(page));
}

TPage* TIndexFile::GetPage(int index, int32_t number, TReadHooks* hooks) {
  int32_t next = Header_.NextPageNumber();
  if (number <= 0 || number > next || index < 0 || index >= kDescriptorSlots) Corrupt();
  if (number == next) {
    uint64_t end = uint64_t(kPageSize) * (uint64_t(number) + 1);
    if (number > kMaxPages || end > kMaxIndexFileEnd) RaiseTableError(VELDOR_TABLEFULL, Table_->Name());
    TPage* page = TakeBuffer(index, number);
    page->SetModified();  // the page counts from now on and must reach the file
    Header_.SetNextPageNumber(next + 1);
    HeaderChanged_ = true;
    page->AddUse();
    return page;
  }
  TPageCache& cache = Caches_[size_t(index)];
  TPage* page = cache.Pages.Touch(number);
  if (page != nullptr) {
    ++Stats_.CacheHits;
    page->AddUse();
    return page;
  }
  if (hooks && !hooks->BeforeDiskRead()) return nullptr;
  // Taking a buffer may write pages back through Buffer_: the image is kept apart.
  std::array<uint8_t, kPageSize> image;
  const int64_t offset = int64_t(uint64_t(kPageSize) * uint64_t(number));
  if (!CopyMappedSlots(&offset, 1, kPageSize, image.data())) {
    GrowBuffer(Buffer_, kPageSize);
    size_t got;
    {
      TFileSection section(*this);
      Seek(0, offset);
      got = Read(Buffer_.data(), kPageSize, true);
    }
    // Appended pages stay cached (modified) until written, so a page the file does not
    // hold means the file was cut short: the index is not what its header says.
    if (got != kPageSize) Corrupt();
    std::copy(Buffer_.begin(), Buffer_.begin() + kPageSize, image.begin());
  }
  ++Stats_.PageReads;
  if (Table_->Encrypted()) ScrambleTableData(image.data(), kPageSize);
  page = TakeBuffer(index, number);
  if (!page->Unpack(image.data())) {
    // Leave no half-read page behind in the cache.
    Spares_.GiveBack(cache.Pages.Remove(number));
    Corrupt();
  }
  page->AddUse();
  return page;
}

TPage* TIndexFile::AllocatePage(int index, TReadHooks* hooks) {
  TIndexDescriptor d = Header_.Descriptor(index);
  int32_t head = d.FreePage();
  TPage* page = GetPage(index, head != 0 ? head : Header_.NextPageNumber(), hooks);
  if (page == nullptr) return nullptr;
  if (head != 0) {
    // A free page holds no entries; one that does is still in a tree: the chain is broken.
    if (page->Count() != 0 && !page->Free()) {
      page->ReleaseUse();
      Corrupt();
    }
    d.SetFreePage(page->Next());
    SetDescriptor(index, d);
  }
  SetupPage(index, *page);
  page->SetModified();
  return page;
}

void TIndexFile::FreePage(int index, TPage* page) {
  TIndexDescriptor d = Header_.Descriptor(index);
  page->Clear();
  page->SetNext(d.FreePage());
  page->SetFree(true);
  page->SetModified();
  d.SetFreePage(page->PageNumber());
  SetDescriptor(index, d);
}

bool TIndexFile::WriteBack(bool forceFlush) {
  std::vector<TPage*> dirty;
  for (TPageCache& cache : Caches_)
    cache.Pages.ForEach([&](int32_t, TPage* p) {
      if (p->Modified() && p->UseCount() == 0) dirty.push_back(p);
    });
  if (dirty.empty()) return false;
  std::sort(dirty.begin(), dirty.end(),
            [](const TPage* a, const TPage* b) { return a->PageNumber() < b->PageNumber(); });
  bool encrypted = Table_->Encrypted();
  size_t i = 0;
  while (i < dirty.size()) {
    size_t j = i + 1;
    while (j < dirty.size() && j - i < kMaxWriteRunPages &&
           dirty[j]->PageNumber() == dirty[j - 1]->PageNumber() + 1)
      ++j;
    size_t bytes = (j - i) * kPageSize;
    GrowBuffer(Buffer_, bytes);
    for (size_t k = i; k < j; ++k) {
      uint8_t* image = &Buffer_[(k - i) * kPageSize];
      if (!dirty[k]->Pack(image)) Corrupt();
      if (encrypted) ScrambleTableData(image, kPageSize);
    }
    {
      TFileSection section(*this);
      Seek(0, int64_t(uint64_t(kPageSize) * uint64_t(dirty[i]->PageNumber())));
      Write(Buffer_.data(), bytes);
    }
    for (size_t k = i; k < j; ++k) dirty[k]->SetModified(false);
    Stats_.PageWrites += j - i;
    ++Stats_.WriteRuns;
    if (forceFlush || Table_->ForceBufferFlush()) Flush();
    Table_->MarkWritten();
    i = j;
  }
  return true;
}

void TIndexFile::DropCache(TPageCache& cache) {
  for (auto& p : cache.Pages.TakeAll()) Spares_.GiveBack(std::move(p));
  cache.Capacity = kPageCacheCapacity;
}

void TIndexFile::DropCaches(bool includeSysDeleted) {
  for (int i = 0; i < kDescriptorSlots; ++i)
    if (includeSysDeleted || i != kSysDeletedIndex) DropCache(Caches_[size_t(i)]);
}

void TIndexFile::LimitCaches(size_t bytes) {
  constexpr size_t kFewestPages = 8;
  WriteBack(false);
  // Pages take more memory as they fill: each is counted at the largest its cache holds.
  std::array<size_t, kDescriptorSlots> largest{};
  size_t weight = 0;
  for (size_t i = 0; i < Caches_.size(); ++i) {
    largest[i] = kPageSize + sizeof(TPage);
    Caches_[i].Pages.ForEach(
        [&](int32_t, const TPage* page) { largest[i] = std::max(largest[i], page->Footprint()); });
    weight += Caches_[i].Pages.Size() * largest[i];
  }
  for (size_t i = 0; i < Caches_.size(); ++i) {
    TPageCache& cache = Caches_[i];
    const size_t share = weight > 0 ? size_t(double(bytes) * double(cache.Pages.Size()) / double(weight)) : 0;
    cache.Capacity = std::max(kFewestPages, share);
    EvictDownTo(cache, cache.Capacity);
  }
}

void TIndexFile::EvictDownTo(TPageCache& cache, size_t keep) {
  // The least recent free pages go.
  size_t excess = cache.Pages.Size() > keep ? cache.Pages.Size() - keep : 0;
  std::vector<int32_t> victims;
  for (TPage* p = cache.Pages.Oldest(); p && victims.size() < excess; p = p->Newer_)
    if (!p->Modified() && p->UseCount() == 0) victims.push_back(p->PageNumber());
  for (int32_t number : victims) Spares_.GiveBack(cache.Pages.Remove(number));
  cache.Pages.Shrink();
}

void TIndexFile::TrimCaches() {
  for (TPageCache& cache : Caches_) {
    EvictDownTo(cache, kPageCacheTrimmed);
    cache.Capacity = std::max(kPageCacheCapacity, cache.Pages.Size());
  }
}

}  // namespace veldor
