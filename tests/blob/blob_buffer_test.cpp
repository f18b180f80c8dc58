// Values in block chains: layout, reuse of old chains and of freed blocks, round trips,
// scrambling, another process's newer value, damaged chains, batching and restarts.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "tests/blob/blob_fixture.h"

namespace veldor::test {
namespace {

class BlobBufferTest : public BlobTest {};

TEST_F(BlobBufferTest, AThousandBytesTakeThreeBlocksOf494And494And12) {
  TBlobFile& f = CreateBlobTable("layout", 512);
  std::vector<uint8_t> value = Pattern(1000, 1);
  TBlobRef ref = Save(value);
  EXPECT_EQ(ref.First, 1);
  EXPECT_EQ(ref.Id, table_->DataFile().Header().LastBlobId());
  struct TExpected {
    int32_t Previous, Next, Used, Total;
  };
  const TExpected expected[] = {{0, 2, 494, 1000}, {1, 3, 494, 0}, {2, 0, 12, 0}};
  for (int32_t n = 1; n <= 3; ++n) {
    TBlockPin b(f.GetBlock(n));
    const TExpected& e = expected[n - 1];
    EXPECT_EQ(b->Previous(), e.Previous) << n;
    EXPECT_EQ(b->Next(), e.Next) << n;
    EXPECT_EQ(b->UsedBytes(), e.Used) << n;
    EXPECT_EQ(b->TotalLength(), e.Total) << n;
    EXPECT_EQ(b->BlobId(), ref.Id) << n;
  }
  CloseAll();
  // The stored bytes: header counts three blocks; block 3's header field by field.
  std::vector<uint8_t> raw = ReadWholeFile(BlobPath());
  ASSERT_EQ(raw.size(), 512u + 3 * 512);
  EXPECT_EQ(raw[8], 5);
  EXPECT_EQ(LoadI32(&raw[13]), 4);
  const uint8_t* third = &raw[512 + 2 * 512];
  EXPECT_EQ(LoadI32(third + 0), 2);
  EXPECT_EQ(LoadI32(third + 4), 0);
  EXPECT_EQ(LoadU16(third + 8), 12);
  EXPECT_EQ(LoadI32(third + 10), ref.Id);
  EXPECT_EQ(LoadI32(third + 14), 0);
  EXPECT_EQ(std::memcmp(third + 18, &value[988], 12), 0);
  Reopen();
  EXPECT_EQ(Load(ref), value);
}

TEST_F(BlobBufferTest, AShorterValueFreesItsSurplusWhichIsReusedLastFreedFirst) {
  TBlobFile& f = CreateBlobTable("shorter", 64);  // 46 data bytes per block
  TBlobRef a = Save(Pattern(5 * 46, 2));
  ASSERT_EQ(f.BlockCount(), 5);
  TBlobRef shorter = Save(Pattern(60, 3), a);
  EXPECT_EQ(shorter.First, a.First);
  EXPECT_NE(shorter.Id, a.Id);  // saved again: a new identifier
  EXPECT_EQ(f.FirstFreeBlock(), 5);
  {
    TBlockPin two(f.GetBlock(2));
    EXPECT_EQ(two->Next(), 0);
    for (auto [block, next] : {std::pair{5, 4}, {4, 3}, {3, 0}}) {
      TBlockPin b(f.GetBlock(block));
      EXPECT_EQ(b->Next(), next) << block;
    }
  }
  // A new four-block value takes 5, 4, 3, then appends 6.
  TBlobRef b = Save(Pattern(4 * 46, 4));
  std::vector<int32_t> chain;
  for (int32_t n = b.First; n != 0;) {
    chain.push_back(n);
    TBlockPin block(f.GetBlock(n));
    n = block->Next();
  }
  EXPECT_EQ(chain, (std::vector<int32_t>{5, 4, 3, 6}));
  EXPECT_EQ(f.FirstFreeBlock(), 0);
  EXPECT_EQ(Load(shorter), Pattern(60, 3));
  EXPECT_EQ(Load(b), Pattern(4 * 46, 4));

  // An empty value has no blocks: its chain goes to the free chain.
  TBlobRef empty = Save({}, shorter);
  EXPECT_EQ(empty.First, 0);
  EXPECT_EQ(empty.Id, 0);
  EXPECT_TRUE(Load(empty).empty());
  EXPECT_EQ(f.FirstFreeBlock(), 2);
  ExpectChainsCoverTheFile({b});
}

TEST_F(BlobBufferTest, RoundTripsAcrossSizesBlockSizesAndScrambling) {
  for (uint32_t blockSize : {64u, 512u, 4096u}) {
    for (bool encrypted : {false, true}) {
      SCOPED_TRACE(testing::Message() << "B=" << blockSize << " encrypted=" << encrypted);
      std::string name = "trip" + std::to_string(blockSize) + (encrypted ? "e" : "p");
      CreateBlobTable(name, blockSize, encrypted);
      size_t d = blockSize - 18;
      const std::vector<size_t> sizes = {0, 1, d, d + 1, 3 * d + 5, 70000};
      std::vector<TBlobRef> refs;
      for (size_t i = 0; i < sizes.size(); ++i)
        refs.push_back(Save(Pattern(sizes[i], uint32_t(i))));
      // Each value saved again with another value's size: chains grow and shrink in place.
      std::vector<std::vector<uint8_t>> values;
      for (size_t i = 0; i < sizes.size(); ++i) {
        values.push_back(Pattern(sizes[(i + 2) % sizes.size()], uint32_t(100 + i)));
        refs[i] = Save(values[i], refs[i]);
      }
      Reopen();
      for (size_t i = 0; i < sizes.size(); ++i) EXPECT_EQ(Load(refs[i]), values[i]) << i;
      ExpectChainsCoverTheFile(refs);
      CloseAll();
    }
  }
}

TEST_F(BlobBufferTest, RandomOperationsAgreeWithAModel) {
  const char* fixed = std::getenv("VELDOR_SEED");
  for (uint32_t seed : fixed ? std::vector<uint32_t>{uint32_t(std::strtoul(fixed, nullptr, 10))}
                             : std::vector<uint32_t>{11, 12, 13}) {
    SCOPED_TRACE(testing::Message() << "seed " << seed << " (VELDOR_SEED=" << seed << ")");
    CreateBlobTable("model" + std::to_string(seed), seed % 2 ? 64 : 512);
    std::mt19937 random(seed);
    std::map<int, std::vector<uint8_t>> model;
    std::vector<TBlobRef> refs(12);
    auto check = [&] {
      for (size_t slot = 0; slot < refs.size(); ++slot)
        EXPECT_EQ(Load(refs[slot]), model[int(slot)]) << slot;
      ExpectChainsCoverTheFile(refs);
    };
    for (int batch = 0; batch < 6; ++batch) {
      for (int op = 0; op < 40; ++op) {
        size_t slot = random() % refs.size();
        if (random() % 5 == 0) {
          TBlobBuffer buffer;
          buffer.FirstBlock = refs[slot].First;
          buffer.BlobId = refs[slot].Id;
          buffer.Delete(*blob_);
          refs[slot] = {0, 0};
          model[int(slot)].clear();
        } else {
          size_t size = random() % 4 == 0 ? random() % 20000 : random() % 600;
          model[int(slot)] = Pattern(size, uint32_t(random()));
          refs[slot] = Save(model[int(slot)], refs[slot]);
        }
        // The table writes back after most changes; some stay cached across several.
        if (random() % 3 == 0) FlushAll();
      }
      check();
      if (batch % 2 == 1) Reopen();
    }
    Reopen();
    check();
    CloseAll();
  }
}

TEST_F(BlobBufferTest, AnEncryptedFileHoldsNoPlainText) {
  CreateBlobTable("secret", 512, true);
  std::string text;
  while (text.size() < 2000) text += "Brevarion keeps its memo text here. ";  // 5 blocks
  std::vector<uint8_t> value(text.begin(), text.end());
  TBlobRef ref = Save(value);
  CloseAll();
  std::vector<uint8_t> raw = ReadWholeFile(dir_ + "secret.BLB");
  ASSERT_EQ(raw.size(), 512u + 5 * 512);
  std::string stored(raw.begin(), raw.end());
  EXPECT_EQ(stored.find("memo text"), std::string::npos);
  EXPECT_EQ(stored.find("Brevarion"), std::string::npos);

  // The header is one scrambled block; a block's header and data part are two.
  std::vector<uint8_t> header(raw.begin(), raw.begin() + 512);
  ScrambleTableData(header.data(), header.size());
  EXPECT_EQ(header[8], 5);
  EXPECT_EQ(LoadI32(&header[13]), 6);
  std::vector<uint8_t> first(raw.begin() + 512, raw.begin() + 1024);
  std::vector<uint8_t> asOne = first;
  ScrambleTableData(first.data(), 18);
  ScrambleTableData(first.data() + 18, 494);
  EXPECT_EQ(LoadU16(&first[8]), 494);
  EXPECT_EQ(LoadI32(&first[10]), ref.Id);
  EXPECT_EQ(LoadI32(&first[14]), int32_t(value.size()));
  EXPECT_EQ(std::memcmp(&first[18], value.data(), 494), 0);
  ScrambleTableData(asOne.data(), asOne.size());
  EXPECT_NE(std::memcmp(&asOne[18], value.data(), 494), 0);

  Reopen();
  EXPECT_EQ(Load(ref), value);
}

TEST_F(BlobBufferTest, AnotherProcessHoldingTheOldIdentifierIsToldTheValueChanged) {
  CreateBlobTable("shared", 512);
  std::vector<uint8_t> first = Pattern(1500, 5), second = Pattern(1200, 6);
  TBlobRef old = Save(first);
  Reopen(false);
  TChildProcess child([&](TChannel& channel) {
    TDataTable t(nullptr, dir_);
    t.SetName("shared");
    t.Open();
    TBlobFile* file = OpenBlobFile(t, false);
    TBlobBuffer buffer;
    buffer.FirstBlock = old.First;
    buffer.BlobId = old.Id;
    buffer.Load(*file);
    if (buffer.Data != first) return 10;
    channel.Send(1);
    int32_t newId = channel.Receive();
    // The change counter moved: the cached blocks are stale.
    if (!file->HeaderChangedByOthers()) return 11;
    file->DropCache();
    if (ErrorOf([&] { buffer.Load(*file); }) != VELDOR_KEYORRECDELETED) return 12;
    if (MessageOf([&] { buffer.Load(*file); }).find("changed or deleted by another user") ==
        std::string::npos)
      return 13;
    buffer.BlobId = newId;
    buffer.Load(*file);
    return buffer.Data == second ? 0 : 14;
  });
  ASSERT_EQ(child.Receive(), 1);
  TBlobRef renewed = Save(second, old);
  EXPECT_EQ(renewed.First, old.First);
  FlushAll();
  child.Send(renewed.Id);
  EXPECT_EQ(child.Join(), 0);
}

// Damage of one chain of a file with 64-byte blocks: a 150-byte value in blocks 1 to 4
// holding 46, 46, 46 and 12 bytes.
struct TDamage {
  const char* Name;
  void (*Apply)(std::vector<uint8_t>& file, TBlobRef& ref);
  uint16_t LoadError;
  uint16_t DeleteError;
};

constexpr size_t BlockAt(int32_t n) { return 512 + size_t(n - 1) * 64; }

const TDamage kDamages[] = {
    {"cycle back to block 2", [](auto& f, auto&) { PatchI32(f, BlockAt(3) + 4, 2); },
     VELDOR_MEMOCORRUPT, VELDOR_MEMOCORRUPT},
    {"block linked to itself", [](auto& f, auto&) { PatchI32(f, BlockAt(2) + 4, 2); },
     VELDOR_MEMOCORRUPT, VELDOR_MEMOCORRUPT},
    {"next past the last block", [](auto& f, auto&) { PatchI32(f, BlockAt(2) + 4, 99); },
     VELDOR_MEMOCORRUPT, VELDOR_MEMOCORRUPT},
    {"negative next", [](auto& f, auto&) { PatchI32(f, BlockAt(2) + 4, -3); },
     VELDOR_MEMOCORRUPT, VELDOR_MEMOCORRUPT},
    {"used bytes beyond the block", [](auto& f, auto&) { StoreU16(&f[BlockAt(2) + 8], 47); },
     VELDOR_MEMOCORRUPT, 0},
    {"used bytes short", [](auto& f, auto&) { StoreU16(&f[BlockAt(2) + 8], 40); },
     VELDOR_ENDOFBLOB, 0},
    {"chain ends early", [](auto& f, auto&) { PatchI32(f, BlockAt(3) + 4, 0); },
     VELDOR_ENDOFBLOB, 0},
    {"total length past the chain, within what the file holds",
     [](auto& f, auto&) { PatchI32(f, BlockAt(1) + 14, 170); }, VELDOR_ENDOFBLOB, 0},
    {"total length one byte more than the four blocks hold",
     [](auto& f, auto&) { PatchI32(f, BlockAt(1) + 14, 4 * 46 + 1); }, VELDOR_MEMOCORRUPT, 0},
    {"total length far too large", [](auto& f, auto&) { PatchI32(f, BlockAt(1) + 14, INT32_MAX); },
     VELDOR_MEMOCORRUPT, 0},
    {"header counting 7,812,500 blocks, length beyond the four the file holds",
     [](auto& f, auto&) {
       PatchI32(f, 13, 7812501);
       PatchI32(f, BlockAt(1) + 14, 10000);
     },
     VELDOR_MEMOCORRUPT, 0},
    {"first block linked to itself, length near 2 GB, header counting 7,812,500 blocks",
     [](auto& f, auto&) {
       PatchI32(f, 13, 7812501);
       PatchI32(f, BlockAt(1) + 4, 1);
       PatchI32(f, BlockAt(1) + 14, 2000000000);
     },
     VELDOR_MEMOCORRUPT, VELDOR_MEMOCORRUPT},
    {"header counting 7,812,500 blocks, next link into the blocks it lacks",
     [](auto& f, auto&) {
       PatchI32(f, 13, 7812501);
       PatchI32(f, BlockAt(2) + 4, 5000);
     },
     VELDOR_MEMOCORRUPT, VELDOR_MEMOCORRUPT},
    {"negative total length", [](auto& f, auto&) { PatchI32(f, BlockAt(1) + 14, -1); },
     VELDOR_MEMOCORRUPT, 0},
    {"foreign identifier in block 3",
     [](auto& f, auto& ref) { PatchI32(f, BlockAt(3) + 10, ref.Id + 1); },
     VELDOR_KEYORRECDELETED, VELDOR_MEMOCORRUPT},
    {"file cut after block 2", [](auto& f, auto&) { f.resize(BlockAt(3)); },
     VELDOR_MEMOCORRUPT, VELDOR_MEMOCORRUPT},
    {"slot names a block past the end", [](auto&, auto& ref) { ref.First = 5; },
     VELDOR_MEMOCORRUPT, VELDOR_MEMOCORRUPT},
    {"slot holds a negative block number", [](auto&, auto& ref) { ref.First = -2; },
     VELDOR_MEMOCORRUPT, VELDOR_MEMOCORRUPT},
};

TEST_F(BlobBufferTest, DamagedChainsGiveCleanErrors) {
  int index = 0;
  for (const TDamage& damage : kDamages) {
    SCOPED_TRACE(damage.Name);
    CreateBlobTable("damaged" + std::to_string(++index), 64);
    TBlobRef ref = Save(Pattern(150, 7));
    ASSERT_EQ(blob_->BlockCount(), 4);
    CloseAll();
    std::vector<uint8_t> bytes = ReadWholeFile(BlobPath());
    damage.Apply(bytes, ref);
    WriteWholeFile(BlobPath(), bytes);
    Reopen();
    TBlobBuffer buffer;
    buffer.FirstBlock = ref.First;
    buffer.BlobId = ref.Id;
    EXPECT_EQ(ErrorOf([&] { buffer.Load(*blob_); }), damage.LoadError);
    EXPECT_TRUE(buffer.Data.empty());
    // Never more room than the file's blocks can hold, whatever the length says.
    EXPECT_LE(buffer.Data.capacity(), 4u * 46);
    // Freeing the chain stops at the same faults and never loops.
    EXPECT_EQ(ErrorOf([&] { buffer.Delete(*blob_); }), damage.DeleteError);
    blob_->DropCache();  // the damaged file is not written back
    CloseAll();
  }
}

// A chain that returns to a block it has met is refused at that block: a long value
// walked to its end before the repeat shows would cost its whole length in time and memory.
TEST_F(BlobBufferTest, ALoopIsRefusedAtTheBlockItReturnsTo) {
  struct TCase {
    int32_t From, To;  // block From's next link is set to To
  };
  for (const TCase c : {TCase{1, 1}, TCase{2000, 1500}, TCase{2999, 2}}) {
    SCOPED_TRACE(std::to_string(c.From) + " -> " + std::to_string(c.To));
    CreateBlobTable("loop" + std::to_string(c.From), 64);
    TBlobRef ref = Save(Pattern(3000 * 46, 21));
    ASSERT_EQ(blob_->BlockCount(), 3000);
    CloseAll();
    std::vector<uint8_t> bytes = ReadWholeFile(BlobPath());
    PatchI32(bytes, BlockAt(c.From) + 4, c.To);
    WriteWholeFile(BlobPath(), bytes);
    Reopen();
    TBlobBuffer buffer;
    buffer.FirstBlock = ref.First;
    buffer.BlobId = ref.Id;
    for (bool load : {true, false}) {
      blob_->ResetStatistics();
      uint16_t error = ErrorOf([&] { load ? buffer.Load(*blob_) : buffer.Delete(*blob_); });
      EXPECT_EQ(error, VELDOR_MEMOCORRUPT) << (load ? "load" : "delete");
      // Each block fetched once (from the cache or the file), none past the repeat.
      const TBlobFileStatistics& stats = blob_->Statistics();
      EXPECT_LE(stats.CacheHits + stats.BlockReads, uint64_t(c.From)) << (load ? "load" : "delete");
    }
    blob_->DropCache();
    CloseAll();
  }
}

TEST_F(BlobBufferTest, SavingOverABrokenOldChainStopsWithoutFreeingTheNewValue) {
  struct TCase {
    const char* Name;
    size_t Offset;  // in the file: a next link of the old four-block chain
    int32_t Link;
    size_t NewBlocks;
  };
  const TCase cases[] = {
      {"surplus leads back to the first block", BlockAt(4) + 4, 1, 2},
      {"reused part loops", BlockAt(2) + 4, 1, 4},
      {"reused part leaves the file", BlockAt(2) + 4, 99, 4},
  };
  int index = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    CreateBlobTable("resave" + std::to_string(++index), 64);
    TBlobRef old = Save(Pattern(4 * 46, 12));
    CloseAll();
    std::vector<uint8_t> bytes = ReadWholeFile(BlobPath());
    PatchI32(bytes, c.Offset, c.Link);
    WriteWholeFile(BlobPath(), bytes);
    Reopen();
    EXPECT_EQ(ErrorOf([&] { Save(Pattern(c.NewBlocks * 46, 13), old); }), VELDOR_MEMOCORRUPT);
    // Whatever was freed, no block the new value uses went to the free chain.
    for (int32_t n = blob_->FirstFreeBlock(), steps = 0; n != 0 && steps < 8; ++steps) {
      EXPECT_GT(n, int32_t(std::min<size_t>(c.NewBlocks, 2)));
      TBlockPin b(blob_->GetBlock(n));
      n = b->Next();
    }
    blob_->DropCache();
    CloseAll();
  }
}

TEST_F(BlobBufferTest, LongValuesMoveInRunsOfConsecutiveBlocks) {
  TBlobFile& f = CreateBlobTable("runs", 512);
  // A value of a full read-ahead and eight blocks more.
  const uint64_t blocks = f.ReadAheadBlocks() + 8;
  ASSERT_LT(blocks, f.CacheCapacity());
  std::vector<uint8_t> value = Pattern(blocks * 494, 8);
  f.ResetStatistics();
  TBlobRef ref = Save(value);
  EXPECT_EQ(f.Statistics().BlockReads, 0u);  // appended blocks are never read
  FlushAll();
  EXPECT_EQ(f.Statistics().BlockWrites, 1u);
  EXPECT_EQ(f.Statistics().BlocksWritten, blocks);

  f.DropCache();
  f.ResetStatistics();
  EXPECT_EQ(Load(ref), value);
  // The first block alone (its length is not known yet), then a read-ahead and the last 7.
  EXPECT_EQ(f.Statistics().BlockReads, 3u);
  EXPECT_EQ(f.Statistics().BlocksRead, blocks);

  // Saving again over the old chain reads it ahead and writes it as one run.
  f.DropCache();
  f.ResetStatistics();
  std::vector<uint8_t> again = Pattern(blocks * 494 - 100, 9);
  ref = Save(again, ref);
  FlushAll();
  EXPECT_EQ(f.Statistics().BlockReads, 2u);
  EXPECT_EQ(f.Statistics().BlocksRead, blocks);
  EXPECT_EQ(f.Statistics().BlockWrites, 1u);
  EXPECT_EQ(f.Statistics().BlocksWritten, blocks);

  // A value larger than the cache is written back under pressure, still in long runs.
  f.ResetStatistics();
  std::vector<uint8_t> large = Pattern(300 * 494, 10);
  TBlobRef big = Save(large);
  FlushAll();
  EXPECT_EQ(f.Statistics().BlocksWritten, 300u);
  EXPECT_LE(f.Statistics().BlockWrites, 6u);
  Reopen();
  EXPECT_EQ(Load(ref), again);
  EXPECT_EQ(Load(big), large);
}

// Reports a change on chosen calls, after doing what a re-synchronising cursor's check
// may do to the file (dropping the block cache) and, optionally, what another process did.
struct TChangingHooks : TReadHooks {
  bool BeforeDiskRead() override {
    ++Calls;
    if (Calls != FailOn && !Always) return true;
    if (OnChange) OnChange();
    File->DropCache();
    return false;
  }
  int ReadAheadCount(int32_t, bool, int) override { return 0; }
  TBlobFile* File = nullptr;
  int FailOn = 0;
  bool Always = false;
  std::function<void()> OnChange;
  int Calls = 0;
};

TEST_F(BlobBufferTest, ALoadStartsAgainWhenTheTableChangedUnderIt) {
  TBlobFile& f = CreateBlobTable("restart", 64);
  std::vector<uint8_t> value = Pattern(3 * 46, 11);
  TBlobRef ref = Save(value);
  FlushAll();

  // A change seen before reading block 2: the load starts again from block 1.
  f.DropCache();
  TChangingHooks hooks;
  hooks.File = &f;
  hooks.FailOn = 2;
  EXPECT_EQ(Load(ref, &hooks), value);
  EXPECT_EQ(hooks.Calls, 4);  // block 1, (change), block 1 again, blocks 2 and 3

  // The change was another process's new value: the restarted load sees its identifier.
  f.DropCache();
  TChangingHooks renewed;
  renewed.File = &f;
  renewed.FailOn = 2;
  renewed.OnChange = [&] {
    std::vector<uint8_t> bytes = ReadWholeFile(BlobPath());
    PatchI32(bytes, 512 + 10, ref.Id + 1);
    WriteWholeFile(BlobPath(), bytes);
  };
  EXPECT_EQ(ErrorOf([&] { Load(ref, &renewed); }), VELDOR_KEYORRECDELETED);

  // A table that never stops changing ends the load instead of looping.
  f.DropCache();
  TChangingHooks endless;
  endless.File = &f;
  endless.Always = true;
  EXPECT_EQ(ErrorOf([&] { Load(ref, &endless); }), VELDOR_KEYORRECDELETED);
  EXPECT_GT(endless.Calls, 1);
  EXPECT_EQ(f.GetBlock(2, 1, &endless), nullptr);
}

}  // namespace
}  // namespace veldor::test
