#include "engine/blob_file.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>

#include "engine/data_file.h"
#include "engine/data_table.h"
#include "engine/errors.h"
#include "engine/table_header.h"
#include "lib/byte_order.h"

namespace veldor {
namespace {

// The largest run one write-back write takes; longer runs are split.
constexpr size_t kMaxWriteRunBytes = 256 << 10;
// How often a load starts again because the table kept changing under the cursor before
// it gives up with "changed by another user".
constexpr int kMaxLoadRestarts = 64;
// What a load reserves before it has read anything beyond the first block.
constexpr uint64_t kLoadReserveLimit = 1 << 24;

// Blocks needed for `bytes` more data bytes, at least 1.
int32_t BlocksFor(int64_t bytes, size_t dataSize) {
  if (bytes <= 0) return 1;
  int64_t blocks = (bytes + int64_t(dataSize) - 1) / int64_t(dataSize);
  return int32_t(std::min<int64_t>(blocks, kMaxBlobBlocks));
}

}  // namespace

// The blocks a chain walk has met, as runs of consecutive numbers: a value written in one
// go lies in one run, so the usual walk adds no allocation per block, while a chain that
// returns to any block met before is caught at that block.
class TBlockRunSet {
 public:
  // Adds `block`; false when it was met already.
  bool Insert(int32_t block) {
    const int64_t n = block;
    auto after = Runs_.upper_bound(block);  // the first run that starts above `block`
    const bool joinsAfter = after != Runs_.end() && int64_t(after->first) == n + 1;
    if (after != Runs_.begin()) {
      auto run = std::prev(after);
      if (n <= run->second) return false;
      if (int64_t(run->second) + 1 == n) {
        run->second = joinsAfter ? after->second : block;
        if (joinsAfter) Runs_.erase(after);
        return true;
      }
    }
    if (joinsAfter) {
      const int32_t last = after->second;
      Runs_.erase(after);
      Runs_.emplace(block, last);
      return true;
    }
    Runs_.emplace(block, block);
    return true;
  }

 private:
  std::map<int32_t, int32_t> Runs_;  // first block of a run -> its last block
};

// ---- TBlobHeader ---------------------------------------------------------------------------

void TBlobHeader::SetChangeCounter(int32_t value) { StoreI32(&Bytes[0], value); }
int32_t TBlobHeader::FirstFreeBlock() const { return LoadI32(&Bytes[9]); }
void TBlobHeader::SetFirstFreeBlock(int32_t block) { StoreI32(&Bytes[9], block); }
int32_t TBlobHeader::NextBlockNumber() const { return LoadI32(&Bytes[13]); }
void TBlobHeader::SetNextBlockNumber(int32_t block) { StoreI32(&Bytes[13], block); }

// ---- TBlock --------------------------------------------------------------------------------

TBlock::TBlock(TBlobFile* file) : File_(file) { Resize(file->BlockDataSize()); }

void TBlock::Resize(size_t dataSize) {
  if (Data_.size() != dataSize) Data_.assign(dataSize, 0);
}

void TBlock::Clear() {
  HeaderImage_.fill(0);
  std::fill(Data_.begin(), Data_.end(), 0);
  UsedBytes_ = 0;
  BlobId_ = TotalLength_ = Previous_ = Next_ = 0;
  Modified_ = false;
}

void TBlock::LoadFromImage(uint8_t* image) {
  if (File_->Encrypted()) {
    ScrambleTableData(image, kBlockHeaderSize);
    ScrambleTableData(image + kBlockHeaderSize, Data_.size());
  }
  std::memcpy(HeaderImage_.data(), image, kBlockHeaderSize);
  std::memcpy(Data_.data(), image + kBlockHeaderSize, Data_.size());
  Previous_ = LoadI32(&HeaderImage_[0]);
  Next_ = LoadI32(&HeaderImage_[4]);
  UsedBytes_ = LoadU16(&HeaderImage_[8]);
  BlobId_ = LoadI32(&HeaderImage_[10]);
  TotalLength_ = LoadI32(&HeaderImage_[14]);
  Modified_ = false;
}

void TBlock::StoreToImage(uint8_t* image) {
  StoreI32(&HeaderImage_[0], Previous_);
  StoreI32(&HeaderImage_[4], Next_);
  StoreU16(&HeaderImage_[8], UsedBytes_);
  StoreI32(&HeaderImage_[10], BlobId_);
  StoreI32(&HeaderImage_[14], TotalLength_);
  std::memcpy(image, HeaderImage_.data(), kBlockHeaderSize);
  std::memcpy(image + kBlockHeaderSize, Data_.data(), Data_.size());
  if (File_->Encrypted()) {
    ScrambleTableData(image, kBlockHeaderSize);
    ScrambleTableData(image + kBlockHeaderSize, Data_.size());
  }
  Modified_ = false;
}

size_t TBlock::Read(size_t offset, size_t count, uint8_t* out) const {
  if (offset > Data_.size() || count > Data_.size() - offset)
    RaiseTableError(VELDOR_INVALIDBLOBLEN, File_->Table()->Name());
  if (UsedBytes_ > Data_.size()) File_->Corrupt();
  size_t n = UsedBytes_ > offset ? std::min(count, UsedBytes_ - offset) : 0;
  if (n > 0) std::memcpy(out, &Data_[offset], n);
  return n;
}

void TBlock::Write(size_t offset, size_t count, const uint8_t* in) {
  if (offset > Data_.size() || count > Data_.size() - offset)
    RaiseTableError(VELDOR_INVALIDBLOBLEN, File_->Table()->Name());
  if (count > 0) std::memcpy(&Data_[offset], in, count);
  size_t used = offset + count;
  // What an older, longer value left behind does not stay in the file.
  size_t oldUsed = std::min<size_t>(UsedBytes_, Data_.size());
  if (oldUsed > used)
    std::fill(Data_.begin() + std::ptrdiff_t(used), Data_.begin() + std::ptrdiff_t(oldUsed), 0);
  UsedBytes_ = uint16_t(used);
  Modified_ = true;
}

void TBlock::SetBlobId(int32_t id) {
  if (BlobId_ == id) return;
  BlobId_ = id;
  Modified_ = true;
}

void TBlock::SetTotalLength(int32_t length) {
  if (TotalLength_ == length) return;
  TotalLength_ = length;
  Modified_ = true;
}

void TBlock::SetPrevious(int32_t block) {
  if (Previous_ == block) return;
  Previous_ = block;
  Modified_ = true;
}

void TBlock::SetNext(int32_t block) {
  if (Next_ == block) return;
  Next_ = block;
  Modified_ = true;
}

// ---- TBlockStack ---------------------------------------------------------------------------

std::unique_ptr<TBlock> TBlockStack::Take() {
  if (Spares_.empty()) return std::make_unique<TBlock>(File_);
  std::unique_ptr<TBlock> block = std::move(Spares_.back());
  Spares_.pop_back();
  block->Resize(File_->BlockDataSize());
  block->Clear();
  block->ResetUse();
  return block;
}

void TBlockStack::GiveBack(std::unique_ptr<TBlock> block) {
  // Beyond a few the spares go back to the system (see TPageStack).
  if (Spares_.size() >= kMaxSpareBlocks) return;
  block->Older_ = block->Newer_ = nullptr;
  Spares_.push_back(std::move(block));
}

// ---- TBlobFile: open, create, header -------------------------------------------------------

TBlobFile::TBlobFile(TDataTable* table) : Table_(table), Spares_(this) {}

TBlobFile::~TBlobFile() { ReturnAllToPool(); }

void TBlobFile::Corrupt() const { RaiseTableError(VELDOR_MEMOCORRUPT, Table_->Name()); }

bool TBlobFile::Encrypted() const { return Table_->Encrypted(); }

void TBlobFile::SetBlockSize(uint32_t size) {
  ConfiguredBlockSize_ = size == 0 ? kDefaultBlobBlockSize : size;
}

size_t TBlobFile::NormalCapacity() const {
  return std::max<size_t>(std::min(kBlockCacheBytes / BlockSize_, kMaxCachedBlocks), 1);
}

void TBlobFile::SetupForBlockSize(uint32_t size, uint16_t invalidCode) {
  if (size < kMinBlobBlockSize || size > kMaxBlobBlockSize)
    RaiseTableError(invalidCode, Table_->Name());
  ReturnAllToPool();
  BlockSize_ = size;
  Capacity_ = NormalCapacity();
  ReadAhead_ = std::max<size_t>(kBlockReadAheadBytes / size, 1);
  ResetStatistics();
}

uint64_t TBlobFile::BlockOffset(int32_t number) const {
  return kBlobHeaderSize + uint64_t(number - 1) * BlockSize_;
}

void TBlobFile::ReadHeaderImage(TBlobHeader& header) {
  {
    TFileSection section(*this);
    Seek(0, 0);
    if (Read(header.Bytes.data(), kBlobHeaderSize, true) != kBlobHeaderSize)
      RaiseTableError(VELDOR_HEADERCORRUPT, Table_->Name());
  }
  if (Encrypted()) ScrambleTableData(header.Bytes.data(), kBlobHeaderSize);
}

void TBlobFile::Open() {
  if (IsOpen()) return;
  TFileHandler::Open();
  try {
    SetupForBlockSize(ConfiguredBlockSize_, VELDOR_HEADERCORRUPT);
    TBlobHeader header;
    ReadHeaderImage(header);
    Header_ = header;
    HeaderChanged_ = false;
    NoteBlocksOnDisk();
  } catch (...) {
    Close();
    throw;
  }
}

void TBlobFile::Close() {
  ReturnAllToPool();
  TFileHandler::Close();
}

void TBlobFile::Create() {
  // The block size is checked before anything exists on disk.
  SetupForBlockSize(ConfiguredBlockSize_, VELDOR_BLOBLIMIT);
  TFileHandler::Create();
  Header_ = TBlobHeader{};
  Header_.SetFormatVersion(kFormatVersion);
  Header_.SetFirstFreeBlock(0);
  Header_.SetNextBlockNumber(1);
  HeaderChanged_ = true;
  BlocksOnDisk_ = BlocksAppended_ = 0;
}

void TBlobFile::VerifyVersion() const {
  if (Header_.FormatVersion() != kFormatVersion) RaiseTableError(VELDOR_OLDVERSION, Table_->Name());
}

void TBlobFile::VerifyHeader() const {
  VerifyVersion();
  int32_t next = Header_.NextBlockNumber();
  bool sane = next >= 1 && next - 1 <= kMaxBlobBlocks &&
              BlockOffset(next) <= kMaxBlobFileEnd;
  // Against the header's own count: a header counting blocks the file lacks is not refused
  // here, only never trusted beyond the blocks held.
  int32_t head = Header_.FirstFreeBlock();
  if (!sane || (head != 0 && (head < 1 || head > BlockCount())))
    RaiseTableError(VELDOR_HEADERCORRUPT, Table_->Name());
}

bool TBlobFile::HeaderChangedByOthers() {
  TBlobHeader header;
  ReadHeaderImage(header);
  if (header.ChangeCounter() == Header_.ChangeCounter()) return false;
  Header_ = header;
  HeaderChanged_ = false;
  NoteBlocksOnDisk();
  return true;
}

void TBlobFile::ReloadHeader() {
  ReadHeaderImage(Header_);
  HeaderChanged_ = false;
  NoteBlocksOnDisk();
}

void TBlobFile::NoteBlocksOnDisk() {
  const int64_t size = Size();
  const int64_t blocks = size > int64_t(kBlobHeaderSize) ? (size - int64_t(kBlobHeaderSize)) / BlockSize_ : 0;
  BlocksOnDisk_ = int32_t(std::min<int64_t>(blocks, INT32_MAX));
  BlocksAppended_ = 0;
}

int32_t TBlobFile::BlocksHeld() const {
  return std::max(std::min(BlockCount(), std::max(BlocksOnDisk_, BlocksAppended_)), 0);
}

void TBlobFile::WriteHeader(bool force, bool flush) {
  if (!force && !HeaderChanged_) return;
  Header_.SetChangeCounter(int32_t(uint32_t(Header_.ChangeCounter()) + 1));
  Header_.Bytes[17] = HeaderChanged_ ? 1 : 0;
  std::array<uint8_t, kBlobHeaderSize> image = Header_.Bytes;
  if (Encrypted()) ScrambleTableData(image.data(), image.size());
  {
    TFileSection section(*this);
    Seek(0, 0);
    Write(image.data(), image.size());
  }
  if (flush || Table_->ForceBufferFlush()) Flush();
  Table_->MarkWritten();
  HeaderChanged_ = false;
}

void TBlobFile::MarkHeaderChanged() {
  Header_.SetChangeCounter(int32_t(uint32_t(Header_.ChangeCounter()) + 1));
  HeaderChanged_ = true;
  Table_->MarkWritten();
}

void TBlobFile::Empty() {
  ReturnAllToPool();
  {
    TFileSection section(*this);
    Seek(0, int64_t(kBlobHeaderSize));
    Write(nullptr, 0);
  }
  if (Table_->ForceBufferFlush()) Flush();
  Header_.SetFormatVersion(kFormatVersion);
  Header_.SetNextBlockNumber(1);
  Header_.SetFirstFreeBlock(0);
  HeaderChanged_ = true;
  BlocksOnDisk_ = BlocksAppended_ = 0;
}

// ---- TBlobFile: the block cache ------------------------------------------------------------

TBlock* TBlobFile::EvictLeastRecent(size_t* skippedModified) {
  for (TBlock* b = Cache_.Oldest(); b; b = b->Newer_) {
    if (b->Modified_ || b->UseCount_ > 0) {
      if (skippedModified && b->UseCount_ == 0) ++*skippedModified;
      continue;
    }
    return b;
  }
  return nullptr;
}

TBlock* TBlobFile::TakeBuffer(int32_t number, bool clear) {
  if (Cache_.Size() >= Capacity_) {
    size_t skipped = 0;
    TBlock* victim = EvictLeastRecent(&skipped);
    // Changed blocks that have drifted to the old end of the recency list are written
    // back once they fill half the cache, not only when nothing else is left: otherwise
    // every later eviction walks past all of them (a long save reading ahead over its old
    // chain leaves exactly that behind).
    const size_t growth = std::max(kBlockCacheGrowth, Capacity_ / 2);
    if ((victim == nullptr || skipped > Capacity_ / 2) &&
        Table_->CanWriteBackUnderPressure(growth * (sizeof(TBlock) + BlockSize_),
                                          Capacity_ >= NormalCapacity())) {
      WriteBack(false);
      victim = EvictLeastRecent(nullptr);
    }
    if (victim != nullptr) {
      // Reuse the evicted block in place: it leaves the cache and comes back under the
      // new number.
      std::unique_ptr<TBlock> owned = Cache_.Remove(victim->BlockNumber_);
      if (owned.get() != victim) Corrupt();
      owned->BlockNumber_ = number;
      if (clear) owned->Clear();
      return Cache_.Insert(number, std::move(owned));
    }
    // Everything is in use or unwritten (a transaction): grow by half, so that the walks
    // above stay rare however much the transaction writes.
    Capacity_ += growth;
  }
  std::unique_ptr<TBlock> block = Spares_.Take();
  block->BlockNumber_ = number;
  return Cache_.Insert(number, std::move(block));
}

TBlock* TBlobFile::GetBlock(int32_t number, int32_t readAheadCount, TReadHooks* hooks,
                            bool readAhead) {
  int32_t next = Header_.NextBlockNumber();
  if (number <= 0 || number > next) Corrupt();
  if (number == next) {
    // An append: a cleared block that exists only in the cache until written back.
    if (number > kMaxBlobBlocks || BlockOffset(number) + BlockSize_ > kMaxBlobFileEnd)
      RaiseTableError(VELDOR_TABLEFULL, Table_->Name());
    TBlock* block = TakeBuffer(number);
    // The block counts from now on, so it must reach the file even if nobody fills it.
    block->Modified_ = true;
    Header_.SetNextBlockNumber(next + 1);
    HeaderChanged_ = true;
    BlocksAppended_ = number;
    block->AddUse();
    return block;
  }
  TBlock* block = Cache_.Touch(number);
  if (block != nullptr) {
    ++Stats_.CacheHits;
  } else {
    int32_t count = readAhead ? std::clamp<int32_t>(readAheadCount, 1, int32_t(ReadAhead_)) : 1;
    block = ReadBlocks(number, count, hooks);
    if (block == nullptr) return nullptr;
  }
  if (block->BlockNumber_ != number) Corrupt();
  block->AddUse();
  return block;
}

TBlock* TBlobFile::ReadBlocks(int32_t number, int32_t count, TReadHooks* hooks) {
  if (hooks && !hooks->BeforeDiskRead()) return nullptr;
  // The hooks may have taken a new header from another process. Nothing past the blocks
  // held is read, whatever the header counts.
  const int64_t end = int64_t(BlocksHeld()) + 1;
  if (number >= end) Corrupt();
  count = int32_t(std::min<int64_t>(count, end - number));
  size_t bytes = size_t(count) * BlockSize_;
  GrowBuffer(ReadBuffer_, bytes);
  size_t got;
  {
    TFileSection section(*this);
    Seek(0, int64_t(BlockOffset(number)));
    got = Read(ReadBuffer_.data(), bytes, true);
  }
  ++Stats_.BlockReads;
  // Appended blocks may still live only in the cache; elsewhere a short read means the
  // file lost blocks its header counts.
  if (got < bytes && !Table_->AcceptShortRead()) Corrupt();
  int32_t images = int32_t(got / BlockSize_);
  Stats_.BlocksRead += uint64_t(images);

  ReadWindowFirst_ = number;
  ReadWindowCount_ = images;
  TBlock* wanted = nullptr;
  try {
    for (int32_t i = 0; i < images; ++i) {
      int32_t n = number + i;
      uint8_t* image = &ReadBuffer_[size_t(i) * BlockSize_];
      TBlock* cached = Cache_.Find(n);
      if (cached) {
        // A block someone holds, or one changed here, keeps what it has.
        if (!cached->Modified_ && cached->UseCount_ == 0) cached->LoadFromImage(image);
        if (n == number) Cache_.MakeNewest(cached, n);
      } else {
        cached = TakeBuffer(n, false);  // the image fills it whole
        cached->LoadFromImage(image);
      }
      if (n == number) {
        wanted = cached;
        wanted->AddUse();  // held while the rest of the batch may evict
      }
    }
  } catch (...) {
    if (wanted) wanted->ReleaseUse();
    ReadWindowFirst_ = ReadWindowCount_ = 0;
    throw;
  }
  ReadWindowFirst_ = ReadWindowCount_ = 0;
  // The block is neither in the file nor in the cache: the file was cut short.
  if (wanted == nullptr) Corrupt();
  wanted->ReleaseUse();
  return wanted;
}

TBlock* TBlobFile::AllocateBlock() {
  int32_t head = Header_.FirstFreeBlock();
  if (head == 0) {
    TBlock* block = GetBlock(Header_.NextBlockNumber());
    block->Clear();
    block->Modified_ = true;
    return block;
  }
  if (!ValidLink(head)) Corrupt();
  TBlockPin block(GetBlock(head));
  // A free chain that leaves the file, or hands out a block somebody holds or that would
  // stay its own head, would give one block to two values.
  int32_t newHead = block->Next();
  if (block->UseCount() > 1 || newHead == head || (newHead != 0 && !ValidLink(newHead)))
    Corrupt();
  Header_.SetFirstFreeBlock(newHead);
  HeaderChanged_ = true;
  block->Clear();
  block->Modified_ = true;
  TBlock* raw = block.Get();
  raw->AddUse();  // handed to the caller
  return raw;
}

void TBlobFile::FreeBlock(TBlock* block) {
  block->SetNext(Header_.FirstFreeBlock());
  Header_.SetFirstFreeBlock(block->BlockNumber_);
  HeaderChanged_ = true;
}

void TBlobFile::FreeChain(int32_t& firstBlock, int32_t blobId, bool repair) {
  if (firstBlock == 0) return;
  TBlockRunSet met;
  FreeChainFrom(firstBlock, blobId, repair, met, 0);
  firstBlock = 0;
}

void TBlobFile::FreeChainFrom(int32_t first, int32_t blobId, bool repair,
                              TBlockRunSet& met, int32_t blocksHint) {
  // Checks a block of the chain before its predecessor is freed.
  auto check = [&](TBlock* b) {
    if (b->UseCount() > 1) Corrupt();
    if (b->BlobId() != blobId) {
      if (!repair) Corrupt();
      b->SetBlobId(blobId);
    }
  };
  if (!ValidLink(first) || !met.Insert(first)) Corrupt();
  TBlockPin current(GetBlock(first, std::max(blocksHint, 1)));
  check(current.Get());
  // Without a hint, the first block's length tells how many blocks follow.
  int32_t remaining =
      (blocksHint > 0 ? blocksHint : BlocksFor(current->TotalLength(), BlockDataSize())) - 1;
  for (;;) {
    int32_t next = current->Next();
    TBlockPin successor;
    if (next != 0) {
      if (!ValidLink(next) || !met.Insert(next)) Corrupt();
      successor = TBlockPin(GetBlock(next, std::max(remaining, 1)));
      check(successor.Get());
      --remaining;
    }
    FreeBlock(current.Get());
    current = std::move(successor);
    if (!current) break;
  }
}

bool TBlobFile::WriteBack(bool forceFlush) {
  std::vector<TBlock*> dirty;
  for (const auto& [number, b] : Cache_.Sorted([&](const TBlock& b) {
         return b.Modified_ && b.UseCount_ == 0 &&
                !(ReadWindowCount_ > 0 && b.BlockNumber_ >= ReadWindowFirst_ &&
                  b.BlockNumber_ < ReadWindowFirst_ + ReadWindowCount_);
       }))
    dirty.push_back(b);
  if (dirty.empty()) return false;
  size_t maxRun = std::max<size_t>(kMaxWriteRunBytes / BlockSize_, 1);
  size_t i = 0;
  while (i < dirty.size()) {
    size_t j = i + 1;
    while (j < dirty.size() && j - i < maxRun &&
           dirty[j]->BlockNumber_ == dirty[j - 1]->BlockNumber_ + 1)
      ++j;
    size_t bytes = (j - i) * BlockSize_;
    GrowBuffer(WriteBuffer_, bytes);
    for (size_t k = i; k < j; ++k) dirty[k]->StoreToImage(&WriteBuffer_[(k - i) * BlockSize_]);
    try {
      TFileSection section(*this);
      Seek(0, int64_t(BlockOffset(dirty[i]->BlockNumber_)));
      Write(WriteBuffer_.data(), bytes);
    } catch (...) {
      // Not written after all: the blocks stay modified so that nothing is lost.
      for (size_t k = i; k < dirty.size(); ++k) dirty[k]->Modified_ = true;
      throw;
    }
    ++Stats_.BlockWrites;
    Stats_.BlocksWritten += j - i;
    BlocksOnDisk_ = std::max(BlocksOnDisk_, dirty[j - 1]->BlockNumber_);
    if (forceFlush || Table_->ForceBufferFlush()) Flush();
    Table_->MarkWritten();
    i = j;
  }
  return true;
}

void TBlobFile::ReturnAllToPool() {
  for (auto& block : Cache_.TakeAll()) Spares_.GiveBack(std::move(block));
}

void TBlobFile::DropCache() {
  ReturnAllToPool();
  Capacity_ = NormalCapacity();
  // Appended blocks that were never written are gone with the cache.
  BlocksAppended_ = 0;
}

void TBlobFile::TrimCache() {
  size_t normal = NormalCapacity();
  // The least recent free blocks go.
  size_t excess = Cache_.Size() > normal ? Cache_.Size() - normal : 0;
  std::vector<int32_t> victims;
  for (TBlock* b = Cache_.Oldest(); b && victims.size() < excess; b = b->Newer_)
    if (!b->Modified_ && b->UseCount_ == 0) victims.push_back(b->BlockNumber_);
  for (int32_t number : victims) Spares_.GiveBack(Cache_.Remove(number));
  Cache_.Shrink();
  Capacity_ = std::max(normal, Cache_.Size());
}

// ---- TBlobBuffer ---------------------------------------------------------------------------

void TBlobBuffer::Load(TBlobFile& file, TReadHooks* hooks) {
  const size_t dataSize = file.BlockDataSize();
  Data.clear();
  Modified = false;
  try {
    for (int attempt = 0;; ++attempt) {
      if (attempt > kMaxLoadRestarts) RaiseTableError(VELDOR_KEYORRECDELETED, file.Table_->Name());
      Data.clear();
      if (FirstBlock == 0) return;
      if (!file.ValidLink(FirstBlock)) file.Corrupt();
      TBlockPin block(file.GetBlock(FirstBlock, 1, hooks, false));
      if (!block) continue;  // the table changed: the cursor has re-synchronised
      if (block->BlobId() != BlobId) RaiseTableError(VELDOR_KEYORRECDELETED, file.Table_->Name());
      int64_t total = block->TotalLength();
      // A length the file's blocks cannot hold is damage, refused before anything is sized
      // by it; within that bound the value still grows only with the bytes actually read.
      if (total < 0 || uint64_t(total) > uint64_t(file.BlocksHeld()) * dataSize) file.Corrupt();
      Data.reserve(size_t(std::min<uint64_t>(uint64_t(total), kLoadReserveLimit)));
      // Every block once: a chain that returns to a block met before is refused there.
      TBlockRunSet met;
      met.Insert(FirstBlock);
      bool restart = false;
      while (int64_t(Data.size()) < total) {
        if (block->BlobId() != BlobId) RaiseTableError(VELDOR_KEYORRECDELETED, file.Table_->Name());
        if (block->UseCount() > 1) file.Corrupt();
        size_t want = size_t(std::min<int64_t>(int64_t(dataSize), total - int64_t(Data.size())));
        size_t at = Data.size();
        Data.resize(at + want);
        size_t got = block->Read(0, want, &Data[at]);
        Data.resize(at + got);
        if (got < want) break;
        int32_t next = block->Next();
        if (int64_t(Data.size()) >= total || next == 0) break;
        if (!file.ValidLink(next) || !met.Insert(next)) file.Corrupt();
        // Released before the next read: a change check may drop the whole cache.
        block.Reset();
        // A full read-ahead, also past this value: values written one after another lie
        // one after another, so the next one read is then found in the cache (no read,
        // no lock).
        block = TBlockPin(file.GetBlock(
            next, std::max(BlocksFor(total - int64_t(Data.size()), dataSize), int32_t(file.ReadAheadBlocks())),
            hooks, true));
        if (!block) {
          restart = true;
          break;
        }
      }
      if (restart) continue;
      if (int64_t(Data.size()) != total) RaiseTableError(VELDOR_ENDOFBLOB, file.Table_->Name());
      return;
    }
  } catch (...) {
    Data.clear();
    throw;
  }
}

void TBlobBuffer::Save(TBlobFile& file) {
  Modified = true;
  if (Data.empty()) {
    Delete(file);
    BlobId = 0;
    Modified = false;
    return;
  }
  if (Data.size() > size_t(INT32_MAX)) RaiseTableError(VELDOR_INVALIDBLOBLEN, file.Table_->Name());
  const size_t dataSize = file.BlockDataSize();
  const int32_t id = file.Table_->NextBlobId();
  const int64_t total = int64_t(Data.size());

  TBlockPin block;
  int32_t oldBlocks = 0;  // what the old value's length says its chain has
  if (FirstBlock != 0) {
    if (!file.ValidLink(FirstBlock)) file.Corrupt();
    block = TBlockPin(file.GetBlock(FirstBlock, BlocksFor(total, dataSize)));
    if (block->UseCount() > 1) file.Corrupt();
    oldBlocks = BlocksFor(block->TotalLength(), dataSize);
    block->SetPrevious(0);
  } else {
    block = TBlockPin(file.AllocateBlock());
    FirstBlock = block->BlockNumber();
  }
  block->SetBlobId(id);
  block->SetTotalLength(int32_t(total));
  TBlockRunSet met;
  met.Insert(FirstBlock);
  int32_t used = 1;
  size_t done = 0;
  for (;;) {
    size_t n = std::min(dataSize, Data.size() - done);
    block->Write(0, n, &Data[done]);
    done += n;
    if (done == Data.size()) break;
    int32_t next = block->Next();
    TBlockPin following;
    if (next != 0) {
      // The old chain goes on: reuse it, reading ahead over what is still to be written.
      if (!file.ValidLink(next) || !met.Insert(next)) file.Corrupt();
      following = TBlockPin(file.GetBlock(next, BlocksFor(total - int64_t(done), dataSize)));
      if (following->UseCount() > 1) file.Corrupt();
    } else {
      following = TBlockPin(file.AllocateBlock());
      if (!met.Insert(following->BlockNumber())) file.Corrupt();
      block->SetNext(following->BlockNumber());
    }
    following->SetPrevious(block->BlockNumber());
    following->SetBlobId(id);
    following->SetTotalLength(0);
    block = std::move(following);
    ++used;
  }
  // The old value was longer: cut the chain here first, then free the tail; a tail that
  // leads back into the new value is refused before any block of it is freed.
  int32_t surplus = block->Next();
  if (surplus != 0) {
    block->SetNext(0);
    block.Reset();
    file.FreeChainFrom(surplus, id, true, met, std::max(oldBlocks - used, 0));
  }
  BlobId = id;
  Modified = false;
}

void TBlobBuffer::Delete(TBlobFile& file) {
  if (FirstBlock != 0) file.FreeChain(FirstBlock, BlobId, false);
  FirstBlock = 0;
}

}  // namespace veldor
