// The BLOB file itself: header checks, emptying, limits, the block cache with read-ahead
// and write-back, the free chain's own damage, and the block's byte limits.
#include <sys/stat.h>

#include <cstring>
#include <functional>

#include "tests/blob/blob_fixture.h"

namespace veldor::test {
namespace {

class BlobFileTest : public BlobTest {
 protected:
  // A file of `blocks` blocks in one chain, written out and opened again.
  TBlobRef Filled(const std::string& name, uint32_t blockSize, int32_t blocks) {
    CreateBlobTable(name, blockSize);
    TBlobRef ref = Save(Pattern(size_t(blocks) * (blockSize - 18), 1));
    Reopen();
    return ref;
  }

  // The first data byte of block `n`, written straight into the file.
  void PokeDisk(int32_t n, uint8_t value) {
    std::vector<uint8_t> bytes = ReadWholeFile(BlobPath());
    bytes[BlockOffset(n) + 18] = value;
    WriteWholeFile(BlobPath(), bytes);
  }

  void Modify(int32_t n, uint8_t value) {
    TBlockPin b(blob_->GetBlock(n));
    std::vector<uint8_t> data(b->Data(), b->Data() + b->UsedBytes());
    data[0] = value;
    b->Write(0, data.size(), data.data());
  }
};

struct THeaderDamage {
  const char* Name;
  std::function<void(std::vector<uint8_t>&)> Apply;
  uint16_t Error;
};

TEST_F(BlobFileTest, HeaderChecks) {
  Filled("header", 64, 3);
  CloseAll();
  const std::vector<uint8_t> good = ReadWholeFile(BlobPath());
  const THeaderDamage damages[] = {
      {"intact", [](auto&) {}, 0},
      {"free chain head on the last block", [](auto& h) { PatchI32(h, 9, 3); }, 0},
      {"old version", [](auto& h) { h[8] = 4; }, VELDOR_OLDVERSION},
      {"free chain head past the last block", [](auto& h) { PatchI32(h, 9, 4); },
       VELDOR_HEADERCORRUPT},
      {"negative free chain head", [](auto& h) { PatchI32(h, 9, -1); }, VELDOR_HEADERCORRUPT},
      {"free chain head without blocks",
       [](auto& h) {
         PatchI32(h, 9, 1);
         PatchI32(h, 13, 1);
       }, VELDOR_HEADERCORRUPT},
      {"next block number 0", [](auto& h) { PatchI32(h, 13, 0); }, VELDOR_HEADERCORRUPT},
      {"more blocks than the file may hold", [](auto& h) { PatchI32(h, 13, 70000000); },
       VELDOR_HEADERCORRUPT},
  };
  for (const THeaderDamage& damage : damages) {
    SCOPED_TRACE(damage.Name);
    std::vector<uint8_t> bytes = good;
    damage.Apply(bytes);
    WriteWholeFile(BlobPath(), bytes);
    OpenTable("header", false);  // shared: the table's own BLOB handle and this one
    std::unique_ptr<TBlobFile> file = std::make_unique<TBlobFile>(table_.get());
    file->SetFileName(BlobPath());
    file->SetBlockSize(table_->BlobBlockSize());
    file->Open();
    EXPECT_EQ(ErrorOf([&] { file->VerifyHeader(); }), damage.Error);
    file.reset();
    table_->Close();
  }

  // A header cut short, or a block size the table can never have, refuses the open.
  std::vector<uint8_t> cut(good.begin(), good.begin() + 300);
  WriteWholeFile(BlobPath(), cut);
  EXPECT_EQ(ErrorOf([&] { OpenTable("header"); }), VELDOR_HEADERCORRUPT);
  table_.reset();
  TDataTable closed(nullptr, dir_);  // a table object that only names the files
  closed.SetName("header");
  TBlobFile file(&closed);
  file.SetFileName(BlobPath());
  file.SetBlockSize(64);
  EXPECT_EQ(ErrorOf([&] { file.Open(); }), VELDOR_HEADERCORRUPT);
  EXPECT_FALSE(file.IsOpen());
  WriteWholeFile(BlobPath(), good);
  for (uint32_t size : {63u, 65554u}) {
    file.SetBlockSize(size);
    EXPECT_EQ(ErrorOf([&] { file.Open(); }), VELDOR_HEADERCORRUPT) << size;
    EXPECT_EQ(ErrorOf([&] { file.Create(); }), VELDOR_BLOBLIMIT) << size;
  }
  EXPECT_EQ(ReadWholeFile(BlobPath()), good);  // the refused create touched nothing
}

TEST_F(BlobFileTest, EmptyTruncatesAndKeepsTheChangeCounter) {
  Filled("empty", 512, 4);
  TBlobFile& f = *blob_;
  int32_t counter = f.ChangeCounter();
  f.Empty();
  EXPECT_EQ(f.BlockCount(), 0);
  EXPECT_EQ(f.FirstFreeBlock(), 0);
  EXPECT_EQ(f.Size(), 512);
  EXPECT_EQ(f.ChangeCounter(), counter);
  f.WriteHeader(false, false);  // changed, so written: others see the counter move
  EXPECT_EQ(f.ChangeCounter(), counter + 1);
  TBlobRef ref = Save(Pattern(100, 2));
  EXPECT_EQ(ref.First, 1);
  Reopen();
  EXPECT_EQ(Load(ref), Pattern(100, 2));
  EXPECT_EQ(ReadWholeFile(BlobPath()).size(), 512u + 512);
}

TEST_F(BlobFileTest, LimitsAndWrongBlockNumbers) {
  Filled("limits", 64, 3);
  TBlobFile& f = *blob_;
  for (int32_t n : {0, -1, 5})
    EXPECT_EQ(ErrorOf([&] { f.GetBlock(n); }), VELDOR_MEMOCORRUPT) << n;
  // 64-byte blocks: the last block whose end stays within 4,000,000,000 bytes.
  const int32_t last = int32_t((4000000000ull - 512) / 64);
  f.MutableHeader().SetNextBlockNumber(last + 1);
  EXPECT_EQ(ErrorOf([&] { f.GetBlock(last + 1); }), VELDOR_TABLEFULL);
  EXPECT_EQ(f.BlockCount(), last);  // header unchanged
  f.MutableHeader().SetNextBlockNumber(last);
  TBlockPin allowed(f.GetBlock(last));
  EXPECT_EQ(f.BlockCount(), last);
  allowed.Reset();
  f.DropCache();  // nothing of this may reach the disk
  f.MutableHeader().SetNextBlockNumber(4);
  f.SetHeaderChanged();

  // A range past a block's data part is refused.
  TBlockPin b(f.GetBlock(1));
  std::vector<uint8_t> bytes(47);
  EXPECT_EQ(ErrorOf([&] { b->Write(0, 47, bytes.data()); }), VELDOR_INVALIDBLOBLEN);
  EXPECT_EQ(ErrorOf([&] { b->Write(40, 7, bytes.data()); }), VELDOR_INVALIDBLOBLEN);
  EXPECT_EQ(ErrorOf([&] { b->Read(0, 47, bytes.data()); }), VELDOR_INVALIDBLOBLEN);
  EXPECT_FALSE(b->Modified());
  EXPECT_EQ(b->Read(40, 6, bytes.data()), 6u);
}

TEST_F(BlobFileTest, ReadAheadNeverRefreshesAHeldOrModifiedBlock) {
  Filled("ahead", 512, 20);
  TBlobFile& f = *blob_;
  f.ResetStatistics();
  TBlockPin held(f.GetBlock(5, 1, nullptr, false));
  Modify(6, 0xA6);
  { TBlockPin clean(f.GetBlock(7, 1, nullptr, false)); }
  EXPECT_EQ(f.Statistics().BlockReads, 3u);
  // Another process changes blocks 5 to 7 on disk.
  for (int32_t n : {5, 6, 7}) PokeDisk(n, uint8_t(0xD0 + n));
  TBlockPin four(f.GetBlock(4, 10));
  EXPECT_EQ(f.Statistics().BlockReads, 4u);
  EXPECT_EQ(f.Statistics().BlocksRead, 3u + 10);  // 4 to 13 in one read
  EXPECT_EQ(f.Statistics().CacheHits, 0u);
  EXPECT_EQ(held->Data()[0], Pattern(20 * 494, 1)[4 * 494]);
  TBlockPin six(f.GetBlock(6));
  EXPECT_EQ(six->Data()[0], 0xA6);
  EXPECT_TRUE(six->Modified());
  TBlockPin seven(f.GetBlock(7));
  EXPECT_EQ(seven->Data()[0], 0xD7);
  EXPECT_EQ(f.Statistics().BlockReads, 4u);
}

TEST_F(BlobFileTest, TheCacheNeverEvictsHeldOrModifiedBlocks) {
  const int32_t capacity = int32_t(kBlockCacheBytes / 512);
  const int32_t blocks = capacity + capacity / 2 + 4;
  Filled("cache", 512, blocks);
  TBlobFile& f = *blob_;
  EXPECT_EQ(f.CacheCapacity(), size_t(capacity));
  EXPECT_EQ(f.ReadAheadBlocks(), kBlockReadAheadBytes / 512);
  // A held and a modified block survive a walk over far more blocks than the cache holds.
  TBlockPin held(f.GetBlock(1));
  Modify(2, 0x22);
  for (int32_t n = 3; n <= blocks; ++n) TBlockPin(f.GetBlock(n, blocks - n + 1));
  EXPECT_LE(f.CachedCount(), f.CacheCapacity());
  TBlockPin again(f.GetBlock(1));
  EXPECT_EQ(again.Get(), held.Get());
  again.Reset();
  held.Reset();
  {
    TBlockPin two(f.GetBlock(2));
    EXPECT_TRUE(two->Modified());
    EXPECT_EQ(two->Data()[0], 0x22);
  }

  // Nothing evictable: the modified blocks are written back, in one run, to make room.
  f.WriteBack(false);
  f.DropCache();
  f.ResetStatistics();
  for (int32_t n = 1; n <= capacity; ++n) Modify(n, uint8_t(n));
  { TBlockPin more(f.GetBlock(capacity + 1)); }
  EXPECT_EQ(f.Statistics().BlockWrites, 1u);
  EXPECT_EQ(f.Statistics().BlocksWritten, uint64_t(capacity));
  EXPECT_EQ(f.CacheCapacity(), size_t(capacity));

  // Everything held: the cache grows by half instead of evicting.
  std::vector<TBlockPin> pins;
  for (int32_t n = 1; n <= capacity + 6; ++n) pins.emplace_back(f.GetBlock(n));
  EXPECT_EQ(f.CacheCapacity(), size_t(capacity + capacity / 2));
  for (int32_t n = 1; n <= capacity + 6; ++n) EXPECT_EQ(pins[size_t(n - 1)]->BlockNumber(), n);
  pins.clear();
  f.TrimCache();
  EXPECT_EQ(f.CachedCount(), size_t(capacity));
  EXPECT_EQ(f.CacheCapacity(), size_t(capacity));
  Reopen();
  for (int32_t n = 1; n <= capacity; ++n) {
    TBlockPin b(blob_->GetBlock(n));
    ASSERT_EQ(b->Data()[0], uint8_t(n)) << n;
  }
}

TEST_F(BlobFileTest, WriteBackGoesInRunsAndAFailedWriteLosesNothing) {
  Filled("writes", 64, 10);
  TBlobFile& f = *blob_;
  f.ResetStatistics();
  for (int32_t n : {2, 3, 4, 7, 9, 10}) Modify(n, uint8_t(n));
  {
    TBlockPin held(f.GetBlock(9));
    EXPECT_TRUE(f.WriteBack(false));
    EXPECT_EQ(f.Statistics().BlockWrites, 3u);  // 2-4, 7, 10
    EXPECT_EQ(f.Statistics().BlocksWritten, 5u);
    EXPECT_TRUE(held->Modified());
  }
  EXPECT_TRUE(f.WriteBack(false));
  EXPECT_FALSE(f.WriteBack(false));
  CloseAll();

  // A file that cannot be written: the blocks stay modified for a later attempt.
  chmod(BlobPath().c_str(), 0444);
  OpenTable(name_);
  blob_ = OpenBlobFile(*table_, true);
  EXPECT_TRUE(blob_->ReadOnlyByAttribute());
  for (int32_t n : {3, 4, 8}) Modify(n, 0x55);
  EXPECT_EQ(ErrorOf([&] { blob_->WriteBack(false); }), VELDOR_WRITEERR);
  for (int32_t n : {3, 4, 8}) {
    TBlockPin b(blob_->GetBlock(n));
    EXPECT_TRUE(b->Modified()) << n;
    EXPECT_EQ(b->Data()[0], 0x55);
  }
  blob_->DropCache();
  blob_ = nullptr;
  chmod(BlobPath().c_str(), 0644);
}

TEST_F(BlobFileTest, AFreeChainLeadingOutOfTheFileIsRefusedUnchanged) {
  CreateBlobTable("freechain", 64);
  TBlobRef a = Save(Pattern(3 * 46, 3));
  TBlobBuffer buffer;
  buffer.FirstBlock = a.First;
  buffer.BlobId = a.Id;
  buffer.Delete(*blob_);  // free chain: 3, 2, 1
  EXPECT_EQ(buffer.FirstBlock, 0);
  ASSERT_EQ(blob_->FirstFreeBlock(), 3);
  for (int32_t link : {99, 3}) {
    SCOPED_TRACE(link);
    {
      TBlockPin three(blob_->GetBlock(3));
      three->SetNext(link);
    }
    EXPECT_EQ(ErrorOf([&] { Save(Pattern(10, 4)); }), VELDOR_MEMOCORRUPT);
    EXPECT_EQ(blob_->FirstFreeBlock(), 3);
  }
}

// The blocks held follow the header while the file is sound (appends in the cache
// included) and stop at the file's end when the header counts more.
TEST_F(BlobFileTest, TheBlocksHeldAreWhatTheFileAndTheCacheHold) {
  Filled("held", 64, 3);
  TBlobFile& f = *blob_;
  EXPECT_EQ(f.BlocksHeld(), 3);
  TBlobRef appended = Save(Pattern(2 * 46, 5));  // blocks 4 and 5, in the cache only
  EXPECT_EQ(f.Size(), int64_t(512 + 3 * 64));
  EXPECT_EQ(f.BlocksHeld(), 5);
  EXPECT_EQ(Load(appended), Pattern(2 * 46, 5));
  FlushAll();
  EXPECT_EQ(f.BlocksHeld(), 5);
  CloseAll();

  std::vector<uint8_t> bytes = ReadWholeFile(BlobPath());
  PatchI32(bytes, 13, 7812501);  // the header counts 7,812,500 blocks; the file holds 5
  WriteWholeFile(BlobPath(), bytes);
  TBlobFile& damaged = Reopen();
  EXPECT_EQ(damaged.BlockCount(), 7812500);
  EXPECT_EQ(damaged.BlocksHeld(), 5);
  EXPECT_EQ(Load(appended), Pattern(2 * 46, 5));
  EXPECT_EQ(LoadError({5000, appended.Id}), VELDOR_MEMOCORRUPT);
  damaged.Empty();
  EXPECT_EQ(damaged.BlocksHeld(), 0);
}

TEST_F(BlobFileTest, TheReadHooksAbandonAReadOnAChange) {
  Filled("hooks", 64, 3);
  struct Changed : TReadHooks {
    bool BeforeDiskRead() override { return false; }
    int ReadAheadCount(int32_t, bool, int) override { return 0; }
  } hooks;
  blob_->ResetStatistics();
  EXPECT_EQ(blob_->GetBlock(2, 1, &hooks), nullptr);
  EXPECT_EQ(blob_->Statistics().BlockReads, 0u);
  EXPECT_EQ(blob_->CachedCount(), 0u);
}

}  // namespace
}  // namespace veldor::test
