// A table with a BLOB field in a fresh directory and a BLOB file owned by it, with helpers
// to save and load values, reopen the files, damage them on disk and check that every
// block belongs to exactly one chain.
#pragma once

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/blob_file.h"
#include "tests/tables/table_fixture.h"

namespace veldor::test {

// Where a saved value lives: what a record's BLOB slot would hold.
struct TBlobRef {
  int32_t First = 0;
  int32_t Id = 0;
};

inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> out(size);
  for (auto& b : out) b = uint8_t(random());
  return out;
}

inline void PatchI32(std::vector<uint8_t>& bytes, size_t offset, int32_t value) {
  StoreI32(&bytes[offset], value);
}

class BlobTest : public TableTest {
 protected:
  void TearDown() override {
    blob_ = nullptr;
    TableTest::TearDown();
  }

  // Id integer and Memo BLOB, with the given block size and scrambling; the table creates
  // its BLOB file beside the data file and writes its header.
  TBlobFile& CreateBlobTable(const std::string& name, uint32_t blockSize, bool encrypted = false) {
    TTableDefinition d;
    d.Fields = {MakeField(1, "Id", FIELD_INTEGER),
                MakeField(2, "Memo", FIELD_BLOB, 0, SUBTYPE_MEMO)};
    PrepareFieldDefinitions(d.Fields, name);
    d.Indexes.push_back(TIndexDescriptor{});
    d.BlobBlockSize = blockSize;
    d.Encrypted = encrypted;
    if (encrypted) d.Password = "secret";
    name_ = name;
    TDataTable& t = Create(name, d);
    blob_ = &t.BlobFile();
    return *blob_;
  }

  // The table's flush writes the BLOB file after the data and index files.
  void FlushAll() { table_->Flush(); }

  void CloseAll() {
    blob_ = nullptr;
    if (table_) table_->Close();
    table_.reset();
  }

  // Closes everything (written back) and opens the table and its BLOB file again.
  TBlobFile& Reopen(bool exclusive = true) {
    CloseAll();
    OpenTable(name_, exclusive);
    blob_ = OpenBlobFile(*table_, exclusive);
    return *blob_;
  }

  // The BLOB file the table opened with it, its header checked.
  static TBlobFile* OpenBlobFile(TDataTable& t, bool exclusive) {
    EXPECT_EQ(t.BlobFile().Exclusive(), exclusive);
    t.BlobFile().VerifyHeader();
    return &t.BlobFile();
  }

  // Saves `value` into the chain of `old` (none: a new chain) and returns the new slot.
  TBlobRef Save(const std::vector<uint8_t>& value, TBlobRef old = {}) {
    TBlobBuffer buffer;
    buffer.FirstBlock = old.First;
    buffer.BlobId = old.Id;
    buffer.Data = value;
    buffer.Modified = true;
    buffer.Save(*blob_);
    EXPECT_FALSE(buffer.Modified);
    return {buffer.FirstBlock, buffer.BlobId};
  }

  std::vector<uint8_t> Load(TBlobRef ref, TReadHooks* hooks = nullptr) {
    TBlobBuffer buffer;
    buffer.FirstBlock = ref.First;
    buffer.BlobId = ref.Id;
    buffer.Load(*blob_, hooks);
    return buffer.Data;
  }

  uint16_t LoadError(TBlobRef ref) {
    return ErrorOf([&] { Load(ref); });
  }

  std::string BlobPath() const { return dir_ + name_ + ".BLB"; }
  size_t BlockOffset(int32_t block) const {
    return 512 + size_t(block - 1) * blob_->BlockSize();
  }

  // Every block of the file lies on exactly one of the chains of `values` or on the free
  // chain; a block met twice, a link out of the file or a lost block fails the test.
  void ExpectChainsCoverTheFile(const std::vector<TBlobRef>& values) {
    int32_t count = blob_->BlockCount();
    std::vector<int> owner(size_t(count) + 1, 0);
    auto walk = [&](int32_t first, int tag) {
      for (int32_t n = first, steps = 0; n != 0; ++steps) {
        ASSERT_TRUE(n >= 1 && n <= count) << "link to " << n;
        ASSERT_EQ(owner[size_t(n)], 0) << "block " << n << " on two chains";
        ASSERT_LE(steps, count);
        owner[size_t(n)] = tag;
        TBlockPin block(blob_->GetBlock(n));
        n = block->Next();
      }
    };
    for (size_t i = 0; i < values.size(); ++i) walk(values[i].First, int(i) + 1);
    walk(blob_->FirstFreeBlock(), -1);
    for (int32_t n = 1; n <= count; ++n) EXPECT_NE(owner[size_t(n)], 0) << "block " << n << " lost";
  }

  std::string name_;
  TBlobFile* blob_ = nullptr;  // the table's own
};

}  // namespace veldor::test
