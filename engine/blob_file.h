// The BLOB file of a table: its header, fixed-size blocks chained into values, the process's
// cache of blocks, and the buffer in which a cursor holds one open value.
//
// `TBlobFile` owns the header copy, the block cache (a hash table by block number plus a
// recency list), the pool of spare blocks and the free chain. It reads ahead in batches and
// writes modified blocks back in runs of consecutive blocks; a block in use or modified is
// never evicted unwritten. Like the data and index files it has no lock of its own: the
// cursors of a process serialise their use of it, the table's byte-range locks coordinate
// processes, and the table decides when to write back. `TBlobBuffer` moves one value
// between a byte vector and a block chain; it never keeps a block after a call returns.
//
// BLOB file header (512 bytes at offset 0, little-endian; one scrambled block when the
// table is encrypted):
//
//   offset width  meaning
//   0      4      change counter, advanced by every header write
//   4      4      0
//   8      1      format version: 5
//   9      4      first free block (head of the free chain), 0 = none
//   13     4      next block number (blocks in the file + 1)
//   17     1      header-changed marker of the writer (no meaning when read)
//   18     494    0
//
// Block n (n >= 1) is B bytes at 512 + (n - 1) x B: an 18-byte block header, then B - 18
// data bytes. Encrypted tables scramble the block header and the data part as two blocks.
//
//   offset width  meaning
//   0      4      previous block of the value's chain, 0 in the first block
//   4      4      next block of the chain, 0 in the last; in a free block the next free one
//   8      2      data bytes used in this block (at most B - 18)
//   10     4      BLOB identifier of the value the block belongs to
//   14     4      total length of the value in the first block, 0 in the others
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "lib/byte_order.h"

#include "engine/buffer_cache.h"
#include "lib/file_layer.h"

namespace veldor {

class TBlobFile;
class TBlockRunSet;
class TDataCursor;
class TDataTable;
class TReadHooks;

inline constexpr size_t kBlobHeaderSize = 512;
inline constexpr size_t kBlockHeaderSize = 18;
inline constexpr uint32_t kMinBlobBlockSize = 64;
// The used-bytes field is 16 bits wide, so a block holds at most 65535 data bytes.
inline constexpr uint32_t kMaxBlobBlockSize = 65535 + kBlockHeaderSize;
inline constexpr int32_t kMaxBlobBlocks = 2000000000;
inline constexpr uint64_t kMaxBlobFileEnd = 4000000000ull;
// Larger than the format's smallest figures: a 20 KB value read back is one read.
inline constexpr size_t kBlockCacheBytes = 262144;
inline constexpr size_t kMaxCachedBlocks = 8192;
inline constexpr size_t kBlockReadAheadBytes = 65536;
inline constexpr size_t kBlockCacheGrowth = 16;

// The header copy: a value type over its 512 stored bytes.
class TBlobHeader {
 public:
  TBlobHeader() { Bytes.fill(0); }

  int32_t ChangeCounter() const { return LoadI32(&Bytes[0]); }
  void SetChangeCounter(int32_t value);
  uint8_t FormatVersion() const { return Bytes[8]; }
  void SetFormatVersion(uint8_t version) { Bytes[8] = version; }
  int32_t FirstFreeBlock() const;
  void SetFirstFreeBlock(int32_t block);
  int32_t NextBlockNumber() const;
  void SetNextBlockNumber(int32_t block);

  std::array<uint8_t, kBlobHeaderSize> Bytes;
};

// One block buffer: the block's header fields, its data part and its cache bookkeeping.
// The header fields live in working copies while the block is cached; they are packed
// into the 18-byte header image when the block is stored and unpacked when it is loaded.
class TBlock {
 public:
  explicit TBlock(TBlobFile* file);

  // Zeroes header and data; not modified afterwards.
  void Clear();
  // Takes a file image of B bytes (unscrambling it in place when the table is encrypted).
  // Not modified afterwards.
  void LoadFromImage(uint8_t* image);
  // Packs the block into a file image of B bytes (scrambled when encrypted) and clears
  // the modified flag.
  void StoreToImage(uint8_t* image);

  // Copies data bytes from `offset` into `out` and returns how many: `count`, or fewer
  // when the block uses fewer. A range past the data part raises VELDOR_INVALIDBLOBLEN; a
  // used-bytes field beyond the data part (a damaged block) VELDOR_MEMOCORRUPT.
  size_t Read(size_t offset, size_t count, uint8_t* out) const;
  // Copies `count` bytes to `offset` of the data part; used bytes := offset + count (bytes
  // beyond are zeroed); modified. A range past the data part raises VELDOR_INVALIDBLOBLEN.
  void Write(size_t offset, size_t count, const uint8_t* in);

  int32_t BlockNumber() const { return BlockNumber_; }
  uint16_t UsedBytes() const { return UsedBytes_; }
  int32_t BlobId() const { return BlobId_; }
  int32_t TotalLength() const { return TotalLength_; }
  int32_t Previous() const { return Previous_; }
  int32_t Next() const { return Next_; }
  // Each marks the block modified when the value changes.
  void SetBlobId(int32_t id);
  void SetTotalLength(int32_t length);
  void SetPrevious(int32_t block);
  void SetNext(int32_t block);

  const uint8_t* Data() const { return Data_.data(); }
  size_t DataSize() const { return Data_.size(); }
  bool Modified() const { return Modified_; }
  void SetModified(bool modified = true) { Modified_ = modified; }

  uint16_t UseCount() const { return UseCount_; }
  void AddUse() { ++UseCount_; }
  void ReleaseUse() {
    if (UseCount_ > 0) --UseCount_;
  }
  void ResetUse() { UseCount_ = 0; }

  TBlobFile* File() const { return File_; }

 private:
  friend class TBlobFile;
  friend class TBlockStack;
  template <typename>
  friend class TBufferCache;
  void Resize(size_t dataSize);

  TBlobFile* File_;
  bool Modified_ = false;
  uint16_t UseCount_ = 0;
  int32_t BlockNumber_ = 0;
  std::array<uint8_t, kBlockHeaderSize> HeaderImage_{};
  std::vector<uint8_t> Data_;  // B - 18 bytes
  uint16_t UsedBytes_ = 0;
  int32_t BlobId_ = 0;
  int32_t TotalLength_ = 0;
  int32_t Previous_ = 0;
  int32_t Next_ = 0;
  TBlock* Older_ = nullptr;  // recency list links while cached
  TBlock* Newer_ = nullptr;
};

// Spare blocks of one BLOB file; recycled while the file is open, never freed before.
class TBlockStack {
 public:
  static constexpr size_t kMaxSpareBlocks = 64;
  explicit TBlockStack(TBlobFile* file) : File_(file) { Spares_.reserve(kMaxSpareBlocks); }
  // The last spare (cleared, use count 0, sized for the file's block size) or a new block.
  std::unique_ptr<TBlock> Take();
  void GiveBack(std::unique_ptr<TBlock> block);
  size_t Count() const { return Spares_.size(); }

 private:
  TBlobFile* File_;
  std::vector<std::unique_ptr<TBlock>> Spares_;
};

// Statistics of one BLOB file; reset at open and create.
struct TBlobFileStatistics {
  uint64_t CacheHits = 0;
  uint64_t BlockReads = 0;     // reads of one or more blocks from the file
  uint64_t BlocksRead = 0;     // blocks those reads covered
  uint64_t BlockWrites = 0;    // writes of a run of blocks
  uint64_t BlocksWritten = 0;
};

class TBlobFile : public TFileHandler {
 public:
  explicit TBlobFile(TDataTable* table);
  ~TBlobFile() override;

  // The block size the next Open or Create uses: the data file header's BLOB block size
  // (0 means 512). An open file keeps the size it was opened with.
  void SetBlockSize(uint32_t size);
  uint32_t BlockSize() const { return BlockSize_; }
  size_t BlockDataSize() const { return BlockSize_ - kBlockHeaderSize; }

  // Nothing when open. Opens the file and reads the header (unscrambled). A block size
  // outside 64 to 65553, or a file shorter than its header, raises VELDOR_HEADERCORRUPT;
  // checks beyond that are VerifyHeader's. On failure the file is closed.
  void Open() override;
  // Drops the block cache unwritten (callers flush first) and closes.
  void Close() override;
  // Creates the file (exclusively) with a fresh header: no blocks, empty free chain,
  // marked changed; nothing is written until WriteHeader. A block size outside 64 to 65553
  // raises VELDOR_BLOBLIMIT.
  void Create() override;

  // ---- Header ----
  const TBlobHeader& Header() const { return Header_; }
  TBlobHeader& MutableHeader() { return Header_; }
  int32_t ChangeCounter() const { return Header_.ChangeCounter(); }
  // Format version 5 (VELDOR_OLDVERSION); a sane block count, and a free chain head only
  // in a file with blocks, between 1 and the last block (VELDOR_HEADERCORRUPT).
  void VerifyHeader() const;
  void VerifyVersion() const;
  // Reads the header on disk; when its change counter differs from the held one, takes it
  // and returns true. The caller drops the block cache then.
  bool HeaderChangedByOthers();
  // Reads the header from the file whatever the change counters say (a rollback).
  void ReloadHeader();
  // When forced or changed: counter + 1, write the 512 bytes; flush when asked or when the
  // session flushes every write; marks the table written.
  void WriteHeader(bool force, bool flush);
  // Inside transactions: counter + 1, header changed, table written.
  void MarkHeaderChanged();
  void SetHeaderChanged() { HeaderChanged_ = true; }
  bool HeaderChanged() const { return HeaderChanged_; }
  // Drops the cache and truncates the file after its header: no blocks, no free chain,
  // header changed. The change counter is kept, so other processes see the change.
  void Empty();
  // What the header counts: next block number - 1 (-1 for a next number below 1, which
  // VerifyHeader refuses). A count read from disk; BlocksHeld says what is really there.
  int32_t BlockCount() const {
    int32_t next = Header_.NextBlockNumber();
    return next >= 1 ? next - 1 : -1;
  }
  // The blocks the file really has: the whole blocks on disk (as of the last header read or
  // write-back) and those appended in this process's cache, at most BlockCount(). Equal to
  // BlockCount() in a sound file; less when the header counts blocks the file lacks. Every
  // link is checked against it, and whatever a stored count or length would size (a
  // buffer, a walk, a table per block) is bounded by it.
  int32_t BlocksHeld() const;
  int32_t FirstFreeBlock() const { return Header_.FirstFreeBlock(); }

  // ---- Blocks ----
  // Block `number` with its use count raised; ReleaseBlock (or a TBlockPin) gives it
  // back. A block not cached is read with up to min(read-ahead count, `readAheadCount`)
  // following blocks in one read when `readAhead` is set; cached blocks that are modified
  // or in use keep what they hold. The next block number appends a cleared, modified block
  // (VELDOR_TABLEFULL past the limits, header unchanged). Returns nullptr only when `hooks`
  // reported a change by others before a disk read. Block 0, a number past the next block
  // number, or a block the file does not hold raise VELDOR_MEMOCORRUPT.
  TBlock* GetBlock(int32_t number, int32_t readAheadCount = 1, TReadHooks* hooks = nullptr,
                   bool readAhead = true);
  void ReleaseBlock(TBlock* block) { block->ReleaseUse(); }
  // A cleared, modified block for a chain: the head of the free chain, or a new block when
  // the chain is empty. Returned in use, as GetBlock. A free chain that leads out of the
  // file or back to the block itself raises VELDOR_MEMOCORRUPT, leaving it unchanged.
  TBlock* AllocateBlock();
  // Pushes the block on the free chain (its next link := the old head).
  void FreeBlock(TBlock* block);
  // Frees the chain of a value from `firstBlock`, block by block in chain order, so that
  // its last block ends at the head of the free chain; `firstBlock` becomes 0. Every block
  // must carry `blobId` (with `repair` a different identifier is overwritten instead) and
  // must not be held elsewhere; a next link beyond the blocks held, or one that returns to
  // a block already met, raises VELDOR_MEMOCORRUPT. Each block is freed only after its
  // successor passed these checks, so a broken chain loses its tail but never frees a block
  // twice; `firstBlock` is unchanged then.
  void FreeChain(int32_t& firstBlock, int32_t blobId, bool repair);
  // Writes the modified, unused blocks in runs of consecutive numbers; true when any was
  // written. A failed write raises VELDOR_WRITEERR with the unwritten blocks still modified.
  bool WriteBack(bool forceFlush);
  // Gives every cached block back to the pool unwritten. No block may be held.
  void DropCache();
  // Evicts unmodified, unused blocks (least recent first) down to the normal capacity.
  void TrimCache();

  TDataTable* Table() const { return Table_; }
  bool Encrypted() const;
  size_t CacheCapacity() const { return Capacity_; }
  size_t CachedCount() const { return Cache_.Size(); }
  size_t ReadAheadBlocks() const { return ReadAhead_; }
  const TBlobFileStatistics& Statistics() const { return Stats_; }
  void ResetStatistics() { Stats_ = TBlobFileStatistics{}; }

 private:
  friend class TBlock;
  friend class TBlobBuffer;

  void ReadHeaderImage(TBlobHeader& header);
  void SetupForBlockSize(uint32_t size, uint16_t invalidCode);
  uint64_t BlockOffset(int32_t number) const;
  // A buffer for block `number` in the cache, cleared unless the caller fills it whole.
  TBlock* TakeBuffer(int32_t number, bool clear = true);
  // The least recent block that is neither modified nor in use, or nullptr; counts the
  // modified, unused blocks passed on the way.
  TBlock* EvictLeastRecent(size_t* skippedModified);
  TBlock* ReadBlocks(int32_t number, int32_t count, TReadHooks* hooks);
  // FreeChain from `first`, refusing any block already in `met` (and adding each one);
  // `blocksHint` is how many blocks the chain is expected to have (0: unknown).
  void FreeChainFrom(int32_t first, int32_t blobId, bool repair, TBlockRunSet& met, int32_t blocksHint);
  // Whether `number` can be the next block of a chain: between 1 and the last block held.
  bool ValidLink(int32_t number) const { return number >= 1 && number <= BlocksHeld(); }
  // Takes the file's size as the blocks on disk and forgets the appended ones (a header
  // was just read from the file, or the cache dropped).
  void NoteBlocksOnDisk();
  size_t NormalCapacity() const;
  void ReturnAllToPool();
  [[noreturn]] void Corrupt() const;

  TDataTable* Table_;
  TBlobHeader Header_;
  bool HeaderChanged_ = false;
  uint32_t ConfiguredBlockSize_ = 512;
  uint32_t BlockSize_ = 512;           // the size the file was opened or created with
  std::vector<uint8_t> ReadBuffer_;    // grows in steps of 4096
  std::vector<uint8_t> WriteBuffer_;   // grows in steps of 4096
  int32_t BlocksOnDisk_ = 0;           // whole blocks the file held when last looked at
  int32_t BlocksAppended_ = 0;         // highest block appended in the cache since, 0 = none
  int32_t ReadWindowFirst_ = 0;        // blocks of the read in progress, 0 = none
  int32_t ReadWindowCount_ = 0;
  TBufferCache<TBlock> Cache_;
  size_t Capacity_ = 64;
  size_t ReadAhead_ = 32;
  TBlockStack Spares_;
  TBlobFileStatistics Stats_;
};

// Holds a block's use for a scope; move-only.
class TBlockPin {
 public:
  TBlockPin() = default;
  explicit TBlockPin(TBlock* block) : Block_(block) {}
  ~TBlockPin() { Reset(); }
  TBlockPin(TBlockPin&& other) noexcept : Block_(other.Block_) { other.Block_ = nullptr; }
  TBlockPin& operator=(TBlockPin&& other) noexcept {
    if (this != &other) {
      Reset();
      Block_ = other.Block_;
      other.Block_ = nullptr;
    }
    return *this;
  }
  TBlockPin(const TBlockPin&) = delete;
  TBlockPin& operator=(const TBlockPin&) = delete;
  void Reset() {
    if (Block_) Block_->ReleaseUse();
    Block_ = nullptr;
  }
  TBlock* Get() const { return Block_; }
  TBlock* operator->() const { return Block_; }
  explicit operator bool() const { return Block_ != nullptr; }

 private:
  TBlock* Block_ = nullptr;
};

// One open BLOB value of a cursor: where it came from and its bytes. The cursor owns it
// and sets the fields it needs (owner tag and access are its own business); the buffer
// reads and writes the block chain through the table's BLOB file.
class TBlobBuffer {
 public:
  TDataCursor* Cursor = nullptr;
  bool Modified = false;
  int32_t BlobId = 0;        // identifier stamped on every block of the chain
  int32_t RecordNumber = 0;  // the record the value belongs to
  uint16_t FieldNumber = 0;
  int32_t FirstBlock = 0;    // 0 = empty value
  uint8_t OwnerTag = 0;      // open-mode bytes set by the cursor
  uint8_t Access = 0;
  std::vector<uint8_t> Data;  // the value; its size is the value's length

  // Reads the value of chain `FirstBlock` with identifier `BlobId` into `Data`. A first
  // block or any later block carrying another identifier raises VELDOR_KEYORRECDELETED
  // (someone saved a new value meanwhile); a broken chain (a link beyond the blocks held, a
  // block met twice or held elsewhere, a damaged block, a length more than the blocks held
  // can carry) VELDOR_MEMOCORRUPT, each at the block where it shows, before anything is
  // sized by it; a chain that ends before the value's length VELDOR_ENDOFBLOB. When `hooks`
  // report a change before a disk read, the load starts again from the first block (the
  // cursor has re-synchronised). `Data` is empty after an error; the buffer is not
  // modified afterwards.
  void Load(TBlobFile& file, TReadHooks* hooks = nullptr);
  // Writes `Data` as the value under a new identifier from the table: into the old chain
  // where there is one (its surplus blocks freed), with new blocks where it is too short.
  // `FirstBlock` and `BlobId` then name the new value for the record's slot. An empty value
  // frees the old chain and leaves both 0. Broken old chains raise VELDOR_MEMOCORRUPT, a
  // value longer than 2147483647 bytes VELDOR_INVALIDBLOBLEN; the buffer stays modified
  // after an error, and every block changed so far is marked modified.
  void Save(TBlobFile& file);
  // Frees the value's chain (the record is deleted or the value emptied); `FirstBlock`
  // becomes 0. Errors as FreeChain.
  void Delete(TBlobFile& file);
};

}  // namespace veldor
