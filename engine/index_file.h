// The index file of a table: its header with the index descriptors, and a cache of pages
// per index with write-back and per-index free page chains.
//
// `TIndexFile` owns the 4096-byte header copy (descriptors, page count, live record count,
// no-user-primary flag), one page cache per index (a hash table by page number and a
// recency list, so that a long scan of one index does not evict another index's upper
// levels), the spare page pool and the rules for defining and removing indexes. The tree
// algorithms live in `TBTree`; the order of keys in `TKeyLayout`. Like the data file it has
// no lock of its own: the cursors of a process serialise their use of it, and the table's
// byte-range locks coordinate processes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/buffer_cache.h"
#include "engine/field_types.h"
#include "engine/index_format.h"
#include "engine/index_page.h"
#include "lib/file_layer.h"

namespace veldor {

class TDataTable;
class TReadHooks;

// Pages an index's cache holds before it evicts (1 MB of pages: the upper levels and the
// recent leaves of a large index), and keeps when trimmed; growth when every
// cached page is in use or modified.
inline constexpr size_t kPageCacheCapacity = 256;
inline constexpr size_t kPageCacheTrimmed = 2;
inline constexpr size_t kPageCacheGrowth = 4;

struct TIndexFileStatistics {
  uint64_t CacheHits = 0;
  uint64_t PageReads = 0;
  uint64_t PageWrites = 0;  // pages written
  uint64_t WriteRuns = 0;   // writes of runs of consecutive pages
};

class TIndexFile : public TFileHandler {
 public:
  explicit TIndexFile(TDataTable* table);
  ~TIndexFile() override;

  // Opens the file and reads its header (unscrambled when encrypted). More than 30
  // secondary indexes recorded raise VELDOR_HEADERCORRUPT. On failure the file is closed.
  void Open() override;
  // Drops every page cache unwritten (callers flush first) and closes.
  void Close() override;
  // Creates the file with a fresh header ("Sys Deleted" in slot 31, no pages); the header
  // is written by the next WriteHeader.
  void Create() override;

  // ---- Header ----
  const TIndexHeader& Header() const { return Header_; }
  // The checks after open: version (VELDOR_OLDVERSION), the descriptors against the
  // table's fields and the file's pages (VELDOR_HEADERCORRUPT).
  void VerifyHeader(const std::vector<TFieldDescriptor>& fields);
  bool HeaderChangedByOthers();
  // Reads the header from the file whatever the change counters say.
  void ReloadHeader();
  void WriteHeader(bool force, bool flush);
  void MarkHeaderChanged();
  void SetHeaderChanged() { HeaderChanged_ = true; }
  bool HeaderChanged() const { return HeaderChanged_; }
  // Truncates to the header; no pages, no records, every index empty.
  void Empty();

  // ---- Index definitions ----
  int SecondaryCount() const { return Header_.SecondaryCount(); }
  // Slot 0 (primary), 1..n (secondary) or 31 ("Sys Deleted").
  TIndexDescriptor Descriptor(int index) const { return Header_.Descriptor(index); }
  void SetDescriptor(int index, const TIndexDescriptor& descriptor);
  // The index of a name (trimmed, without regard to case; "" is the primary), or -1.
  int IndexOfName(const std::string& name) const;
  bool NoUserPrimary() const { return Header_.NoUserPrimary(); }
  void SetNoUserPrimary(bool value);
  // Validates a definition against the table's fields and computes its key length and
  // field count: VELDOR_INDEXLIMIT, VELDOR_INVALIDIDXDESC, VELDOR_SEARCHCOLREQD and
  // VELDOR_INVALIDKEY, naming the index ("Primary" for the primary index).
  void PrepareDescriptor(TIndexDescriptor& descriptor, bool primary,
                         const std::vector<TFieldDescriptor>& fields) const;
  // A descriptor without fields marks the table as having no user primary key.
  void AddPrimaryIndex(TIndexDescriptor descriptor, const std::vector<TFieldDescriptor>& fields);
  // Appends a secondary index (root 0) and returns its number.
  int AddSecondaryIndex(TIndexDescriptor descriptor, const std::vector<TFieldDescriptor>& fields);
  // Removes a secondary index (later ones move down) or the primary's definition. The
  // pages are the caller's to free first.
  void DeleteIndex(int index);
  void SetRootPage(int index, int32_t page);
  void SetSecondaryCount(int count);

  int32_t ActiveRecords() const { return Header_.ActiveRecords(); }
  void SetActiveRecords(int32_t count);
  void IncrementActiveRecords() { SetActiveRecords(Header_.ActiveRecords() + 1); }
  void DecrementActiveRecords() { SetActiveRecords(Header_.ActiveRecords() - 1); }
  // What the header counts: next page number - 1 (-1 for a next number below 1, which
  // VerifyHeader refuses). A count read from disk: it bounds nothing before it is checked
  // against the file's size.
  int32_t PageCount() const {
    int32_t next = Header_.NextPageNumber();
    return next >= 1 ? next - 1 : -1;
  }

  // ---- Pages ----
  // Page `number` of `index`, use count raised (ReleasePage gives it back). The next page
  // number appends a new empty page (VELDOR_TABLEFULL past the limits). Returns nullptr
  // only when `hooks` reported a change by others before a disk read. Page 0, a number
  // past the end, or an image that does not unpack raise VELDOR_INDEXCORRUPT.
  TPage* GetPage(int index, int32_t number, TReadHooks* hooks = nullptr);
  void ReleasePage(TPage* page) { page->ReleaseUse(); }
  // The cached page `number` of `index`, or nullptr; never reads and raises no use count.
  TPage* FindPage(int index, int32_t number) {
    if (index < 0 || index >= kDescriptorSlots) return nullptr;
    return Caches_[size_t(index)].Pages.Touch(number);
  }
  // A cleared page for `index`: the head of its free chain, or a new page. Modified.
  TPage* AllocatePage(int index, TReadHooks* hooks = nullptr);
  // Puts the page on its index's free chain.
  void FreePage(int index, TPage* page);
  // Writes the modified, unused pages of every index in runs of consecutive page numbers.
  bool WriteBack(bool forceFlush);
  void DropCaches(bool includeSysDeleted = true);
  void TrimCaches();
  // Writes the modified pages back and shares about `bytes` of memory among the indexes'
  // caches, in proportion to the pages each holds now (at least a few each); the least
  // recent pages beyond go. A transaction over its budget keeps its caches so; the next
  // drop or trim gives them their usual size again.
  void LimitCaches(size_t bytes);

  TDataTable* Table() const { return Table_; }
  const TIndexFileStatistics& Statistics() const { return Stats_; }
  void ResetStatistics() { Stats_ = TIndexFileStatistics{}; }
  size_t CachedPages(int index) const { return Caches_[size_t(index)].Pages.Size(); }
  // Bytes of the pages all caches hold, as they lie in memory.
  size_t CachedBytes() const {
    size_t bytes = 0;
    for (const TPageCache& cache : Caches_) {
      bytes += cache.Pages.TableBytes();
      cache.Pages.ForEach([&](int32_t, const TPage* page) { bytes += page->Footprint(); });
    }
    return bytes;
  }

 private:
  struct TPageCache {
    TBufferCache<TPage> Pages;
    size_t Capacity = kPageCacheCapacity;
  };

  void ReadHeaderImage(TIndexHeader& header);
  void SetupPage(int index, TPage& page) const;
  TPage* TakeBuffer(int index, int32_t number);
  TPage* EvictLeastRecent(TPageCache& cache);
  // Gives up the least recent unchanged, unused pages until `keep` are left (or none can go).
  void EvictDownTo(TPageCache& cache, size_t keep);
  void DropCache(TPageCache& cache);
  [[noreturn]] void Corrupt() const;

  TDataTable* Table_;
  TIndexHeader Header_;
  bool HeaderChanged_ = false;
  std::vector<uint8_t> Buffer_;  // page images for reads and write runs
  std::array<TPageCache, kDescriptorSlots> Caches_;
  TPageStack Spares_;
  TIndexFileStatistics Stats_;
};

// Holds a page's use for a scope; move-only.
class TPageRef {
 public:
  TPageRef() = default;
  explicit TPageRef(TPage* page) : Page_(page) {}
  ~TPageRef() { Reset(); }
  TPageRef(TPageRef&& other) noexcept : Page_(other.Page_) { other.Page_ = nullptr; }
  TPageRef& operator=(TPageRef&& other) noexcept {
    if (this != &other) {
      Reset();
      Page_ = other.Page_;
      other.Page_ = nullptr;
    }
    return *this;
  }
  TPageRef(const TPageRef&) = delete;
  TPageRef& operator=(const TPageRef&) = delete;
  void Reset() {
    if (Page_) Page_->ReleaseUse();
    Page_ = nullptr;
  }
  TPage* Get() const { return Page_; }
  TPage* operator->() const { return Page_; }
  TPage& operator*() const { return *Page_; }
  explicit operator bool() const { return Page_ != nullptr; }

 private:
  TPage* Page_ = nullptr;
};

}  // namespace veldor
