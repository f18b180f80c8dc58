// The table checker. First the counts of the three headers against what the files hold:
// every table the checker sizes per slot, page or block is sized by what is really there,
// never by a count read from disk. Then every index on its own: the tree's shape
// (TBTree::Check), then its leaf entries gathered in key order, the pages it uses claimed
// against the other indexes. Then one pass over the record slots checks each live
// record's stored values against their types' encodings, compares the record with the
// entry that names it in every index and follows its BLOB chains. Last come what needs
// every slot: the live count, the free chain of deleted slots, the free chain of BLOB
// blocks and the blocks that nothing owns.

#include "engine/table_check.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "engine/blob_file.h"
#include "engine/btree.h"
#include "engine/data_table.h"
#include "engine/errors.h"
#include "engine/field_types.h"
#include "engine/index_key.h"
#include "lib/byte_order.h"

namespace veldor {
namespace {

std::string Num(int64_t n) {
  return std::to_string(n);
}

std::string IndexLabel(int number, const std::string& name) {
  if (number == kPrimaryIndex) return "primary index";
  return "index '" + name + "'";
}

// One index as its leaves hold it: record numbers and keys in key order, and for each
// record slot the entry that names it (-1 none).
struct TIndexEntries {
  int Number = 0;
  std::string Label;
  bool Usable = false;  // the tree is sound, so its entries can be compared with records
  std::unique_ptr<TKeyLayout> Layout;
  std::vector<int32_t> Records;
  std::vector<uint8_t> Keys;  // Records.size() keys of the layout's length
  std::vector<int64_t> EntryOf;
};

// What the record pass keeps of each slot for the chains checked after it.
struct TSlotState {
  bool Deleted = false;
  int32_t FreeLink = 0;
};

// One run of the checks over one table.
class TCheckRun {
 public:
  TCheckRun(TDataTable& table, const TTableChecker::TProgress& progress, size_t limit)
      : Table_(table),
        Data_(table.DataFile()),
        File_(table.IndexFile()),
        Progress_(progress),
        Limit_(limit) {}

  std::vector<std::string> Run();

  int32_t Live = 0;
  int32_t Deleted = 0;
  int Indexes = 0;
  int32_t Blocks = 0;

 private:
  void Problem(const std::string& text);
  void Report(int phase, int64_t done, int64_t total);
  int32_t SlotsHeld();
  int32_t PagesHeld();
  void GatherIndex(int number);
  bool ScanRecords();
  void CompareWithIndexes(int32_t n, const uint8_t* image, bool deleted);
  void CheckValues(int32_t n, const uint8_t* image);
  void FollowBlobChain(int32_t n, const TFieldDescriptor& field, const uint8_t* image);
  void CheckFreeChain();
  void CheckFreeBlocks(bool allSlotsRead);

  TDataTable& Table_;
  TDataFile& Data_;
  TIndexFile& File_;
  const TTableChecker::TProgress& Progress_;
  size_t Limit_;
  std::vector<std::string> Problems_;
  size_t Unlisted_ = 0;
  int Phases_ = 1;
  int LastPercent_ = -1;
  int32_t Slots_ = 0;

  std::vector<TIndexEntries> Entries_;
  std::vector<int> PageOwner_;  // per index page: owning index number + 1, 0 = none yet
  std::vector<TSlotState> State_;
  TBlobFile* Blob_ = nullptr;  // null without BLOB fields
  int32_t BlockCount_ = 0;
  int32_t BlockData_ = 0;
  std::vector<int32_t> BlockOwner_;  // per block: 0 none yet, > 0 the record, -1 free
};

void TCheckRun::Problem(const std::string& text) {
  if (Problems_.size() < Limit_)
    Problems_.push_back(text);
  else
    ++Unlisted_;
}

void TCheckRun::Report(int phase, int64_t done, int64_t total) {
  if (!Progress_) return;
  double inner = total > 0 ? double(std::min(done, total)) / double(total) : 1.0;
  int percent = std::clamp(int((double(phase) + inner) * 100.0 / double(Phases_)), 0, 100);
  if (percent == LastPercent_) return;
  LastPercent_ = percent;
  Progress_(percent);
}

// The record slots the checks cover: the data header's count, unless it counts slots that
// are neither in the file nor appended in this process's cache (its last slot cannot be
// read); that is reported, and the slots the file holds are checked.
int32_t TCheckRun::SlotsHeld() {
  const int64_t counted = int64_t(Data_.Header().NextRecordNumber()) - 1;
  if (counted < 0) {
    Problem("the data header gives the next record number " + Num(counted + 1));
    return 0;
  }
  const int64_t recordSize = Data_.Header().RecordSize();
  const int64_t size = Data_.Size(), start = int64_t(Data_.RecordsStart());
  const int64_t onDisk = recordSize > 0 && size > start ? (size - start) / recordSize : 0;
  if (counted <= onDisk) return int32_t(counted);
  try {
    TRecordPin last(Data_.GetRecord(int32_t(counted)));
    return int32_t(counted);
  } catch (const EVELDOREngineError&) {
  }
  Problem("the data header counts " + Num(counted) + " record slots, the file holds " + Num(onDisk));
  return int32_t(onDisk);
}

// The index pages the checks cover, as SlotsHeld: the header's count unless its last page
// is neither in the file nor in a page cache.
int32_t TCheckRun::PagesHeld() {
  const int64_t counted = int64_t(File_.Header().NextPageNumber()) - 1;
  if (counted < 0) {
    Problem("the index header gives the next page number " + Num(counted + 1));
    return 0;
  }
  const int64_t size = File_.Size();
  const int64_t onDisk = size > int64_t(kIndexHeaderSize) ? (size - int64_t(kIndexHeaderSize)) / int64_t(kPageSize) : 0;
  if (counted <= onDisk) return int32_t(counted);
  for (int index = 0; index < kDescriptorSlots; ++index)
    if (File_.FindPage(index, int32_t(counted)) != nullptr) return int32_t(counted);
  Problem("the index header counts " + Num(counted) + " pages, the file holds " + Num(onDisk));
  return int32_t(onDisk);
}

std::vector<std::string> TCheckRun::Run() {
  Slots_ = SlotsHeld();
  std::vector<int> numbers;
  if (!File_.NoUserPrimary()) {
    numbers.push_back(kPrimaryIndex);
  } else if (File_.Descriptor(kPrimaryIndex).RootPage() != 0) {
    Problem("the table has no primary key, yet the primary index has pages (root page " +
            Num(File_.Descriptor(kPrimaryIndex).RootPage()) + ")");
  }
  int secondary = File_.SecondaryCount();
  if (secondary > kMaxSecondaryIndexes) {
    Problem("the index header counts " + Num(secondary) + " secondary indexes, at most " +
            Num(kMaxSecondaryIndexes) + " exist");
    secondary = kMaxSecondaryIndexes;
  }
  for (int i = 1; i <= secondary; ++i) numbers.push_back(i);
  numbers.push_back(kSysDeletedIndex);
  Phases_ = int(numbers.size()) + 1;

  PageOwner_.assign(size_t(PagesHeld()) + 1, 0);
  Entries_.reserve(numbers.size());
  for (size_t k = 0; k < numbers.size(); ++k) {
    Report(int(k), 0, 1);
    GatherIndex(numbers[k]);
  }

  if (Table_.HasBlobFile() && Table_.BlobFieldCount() > 0) {
    Blob_ = &Table_.BlobFile();
    BlockCount_ = Blob_->BlocksHeld();
    if (Blob_->BlockCount() > BlockCount_)
      Problem("the BLOB header counts " + Num(Blob_->BlockCount()) + " blocks, the file holds " +
              Num(BlockCount_));
    BlockData_ = int32_t(Blob_->BlockDataSize());
    BlockOwner_.assign(size_t(BlockCount_) + 1, 0);
  }
  const bool allRead = ScanRecords();
  if (allRead) {
    if (File_.ActiveRecords() != Live)
      Problem("the index header counts " + Num(File_.ActiveRecords()) +
              " live records, the data file holds " + Num(Live));
    CheckFreeChain();
  }
  if (Blob_) CheckFreeBlocks(allRead);
  Report(Phases_, 1, 1);
  if (Unlisted_ > 0) Problems_.push_back(Num(int64_t(Unlisted_)) + " more problems not listed");
  return Problems_;
}

// Checks index `number`'s tree, then gathers its leaf entries and claims its pages.
void TCheckRun::GatherIndex(int number) {
  TIndexEntries& entries = Entries_.emplace_back();
  entries.Number = number;
  const TIndexDescriptor descriptor = File_.Descriptor(number);
  entries.Label = IndexLabel(number, number == kSysDeletedIndex ? kSysDeletedName : descriptor.Name());
  const std::string& label = entries.Label;
  ++Indexes;
  try {
    entries.Layout = number == kSysDeletedIndex
                         ? std::make_unique<TKeyLayout>(TKeyLayout::SysDeleted())
                         : std::make_unique<TKeyLayout>(descriptor, Data_.Fields(), Table_.Collation());
    const int keyLength = entries.Layout->KeyLength();
    if (descriptor.KeyLength() != keyLength) {
      Problem(label + ": the descriptor gives key length " + Num(descriptor.KeyLength()) +
              ", its fields make " + Num(keyLength));
      return;
    }
    TBTree tree(File_, number, *entries.Layout);
    std::string problem = tree.Check();
    if (!problem.empty()) {
      Problem(label + ": " + problem);
      return;
    }
    bool sound = true;
    auto claim = [&](int32_t page) {
      if (page < 1 || page >= int32_t(PageOwner_.size())) return;
      int& owner = PageOwner_[size_t(page)];
      if (owner != 0 && owner != number + 1) {
        std::string other = "another index";
        for (const TIndexEntries& e : Entries_)
          if (e.Number == owner - 1) other = e.Label;
        Problem("index page " + Num(page) + " belongs to both " + other + " and " + label);
        sound = false;
      }
      owner = number + 1;
    };
    // Level by level from the root (the tree check found no loop and every leaf at one
    // depth): the last level is the leaves, left to right.
    std::vector<int32_t> level;
    if (tree.RootPage() != 0) level.push_back(tree.RootPage());
    while (!level.empty()) {
      std::vector<int32_t> below;
      for (int32_t p : level) {
        claim(p);
        TPageRef page(File_.GetPage(number, p));
        for (int e = 1; e <= page->Count(); ++e) {
          if (!page->IsLeaf()) {
            below.push_back(page->Reference(e));
            continue;
          }
          entries.Records.push_back(page->Reference(e));
          entries.Keys.insert(entries.Keys.end(), page->Key(e), page->Key(e) + keyLength);
        }
      }
      level.swap(below);
    }
    for (int32_t p = descriptor.FreePage(); p != 0;) {
      claim(p);
      TPageRef page(File_.GetPage(number, p));
      p = page->Next();
    }
    // Each record named at most once, and only records that exist.
    entries.EntryOf.assign(size_t(Slots_) + 1, -1);
    for (size_t e = 0; e < entries.Records.size(); ++e) {
      const int32_t r = entries.Records[e];
      if (r < 1 || r > Slots_) {
        Problem(label + ": an entry names record " + Num(r) + ", beyond the " + Num(Slots_) +
                " record slots");
        sound = false;
      } else if (entries.EntryOf[size_t(r)] >= 0) {
        Problem(label + ": record " + Num(r) + " has more than one entry");
        sound = false;
      } else {
        entries.EntryOf[size_t(r)] = int64_t(e);
      }
    }
    const bool perSlot = number == kSysDeletedIndex;
    const int64_t expected = perSlot ? Slots_ : File_.ActiveRecords();
    if (int64_t(entries.Records.size()) != expected)
      Problem(label + " holds " + Num(int64_t(entries.Records.size())) + " keys, expected " + Num(expected) +
              (perSlot ? " (one per record slot)" : " (the index header's live records)"));
    entries.Usable = sound;
  } catch (const EVELDOREngineError& e) {
    Problem(label + " cannot be read: " + e.Message);
  }
}

// Reads every slot once; false when a slot could not be read (the rest are not checked).
bool TCheckRun::ScanRecords() {
  const uint16_t recordSize = Data_.Header().RecordSize();
  const int phase = Phases_ - 1;
  std::vector<uint8_t> image(recordSize);
  State_.assign(size_t(Slots_) + 1, TSlotState{});
  for (int32_t n = 1; n <= Slots_; ++n) {
    if ((n & 1023) == 0) Report(phase, n, Slots_);
    try {
      TRecordPin record(Data_.GetRecord(n));
      std::memcpy(image.data(), record->Data(), recordSize);
    } catch (const EVELDOREngineError& e) {
      Problem("record " + Num(n) + " cannot be read: " + e.Message +
              "; the records from here on are not checked");
      return false;
    }
    const uint8_t flag = image[kRecordDeletedOffset];
    TSlotState& slot = State_[size_t(n)];
    slot.Deleted = flag != 0;
    slot.FreeLink = LoadI32(&image[kRecordNumberOffset]);
    if (flag > 1) Problem("record " + Num(n) + " has deleted flag " + Num(flag) + " (0 or 1 expected)");
    ++(slot.Deleted ? Deleted : Live);
    if (!slot.Deleted) CheckValues(n, image.data());
    CompareWithIndexes(n, image.data(), slot.Deleted);
    if (Blob_ == nullptr || slot.Deleted) continue;
    for (const TFieldDescriptor& f : Data_.Fields())
      if (f.FieldType() == FIELD_BLOB) FollowBlobChain(n, f, image.data());
  }
  return true;
}

// Each stored value of a live record keeps to its type's encoding.
void TCheckRun::CheckValues(int32_t n, const uint8_t* image) {
  for (const TFieldDescriptor& f : Data_.Fields()) {
    const std::string problem = StoredValueProblem(image, f);
    if (!problem.empty()) Problem("record " + Num(n) + ", field '" + f.FieldName() + "': " + problem);
  }
}

// A live record must have its key in every index; a deleted one in none but "Sys
// Deleted", which holds every slot with its state and row identifier.
void TCheckRun::CompareWithIndexes(int32_t n, const uint8_t* image, bool deleted) {
  std::vector<uint8_t> key(kMaxKeyLength);
  for (const TIndexEntries& entries : Entries_) {
    if (!entries.Usable) continue;
    const int64_t e = entries.EntryOf[size_t(n)];
    const bool perSlot = entries.Number == kSysDeletedIndex;
    if (deleted && !perSlot) {
      if (e >= 0) Problem(entries.Label + " holds an entry for deleted record " + Num(n));
      continue;
    }
    if (e < 0) {
      Problem((deleted ? "deleted record " : "record ") + Num(n) + " has no entry in " + entries.Label);
      continue;
    }
    const int keyLength = entries.Layout->KeyLength();
    entries.Layout->BuildKey(image, key.data());
    if (std::memcmp(key.data(), &entries.Keys[size_t(e) * size_t(keyLength)], size_t(keyLength)) == 0)
      continue;
    if (perSlot)
      Problem("index 'Sys Deleted' does not match record " + Num(n) + " (" + (deleted ? "deleted" : "live") +
              ", row identifier " + Num(LoadI32(image + kRowIdOffset)) + ")");
    else
      Problem("record " + Num(n) + ": its entry in " + entries.Label +
              " has a key that differs from its fields");
  }
}

// The chain of one BLOB value: blocks in the file, each used once, carrying the value's
// identifier, linked both ways, full but for the last, adding up to the first block's
// total length.
void TCheckRun::FollowBlobChain(int32_t n, const TFieldDescriptor& field, const uint8_t* image) {
  const uint8_t* slot = image + field.Offset();
  const bool present = slot[0] != 0;
  const int32_t first = LoadI32(slot + 1);
  const int32_t id = LoadI32(slot + 5);
  const std::string where = "record " + Num(n) + ", field '" + field.FieldName() + "'";
  if (first == 0) {
    if (present) Problem(where + ": marked present but has no BLOB block");
    return;
  }
  if (!present) Problem(where + ": marked empty but points at BLOB block " + Num(first));
  int32_t previous = 0, block = first;
  int64_t total = 0, copied = 0;
  try {
    for (bool head = true;; head = false) {
      if (block < 1 || block > BlockCount_) {
        Problem(where + ": the BLOB chain leads to block " + Num(block) + ", outside the " +
                Num(BlockCount_) + " blocks of the file");
        return;
      }
      int32_t& owner = BlockOwner_[size_t(block)];
      if (owner != 0) {
        Problem(where + ": BLOB block " + Num(block) + " is used twice" +
                (owner == n ? " in this record" : " (also by record " + Num(owner) + ")"));
        return;
      }
      owner = n;
      ++Blocks;
      const int64_t ahead = BlockData_ > 0 ? (total - copied) / BlockData_ + 1 : 1;
      TBlockPin pin(Blob_->GetBlock(block, int32_t(std::clamp<int64_t>(ahead, 1, 64))));
      if (pin->BlobId() != id) {
        Problem(where + ": BLOB block " + Num(block) + " carries identifier " + Num(pin->BlobId()) +
                ", the record " + Num(id));
        return;
      }
      if (pin->Previous() != previous)
        Problem(where + ": BLOB block " + Num(block) + " links back to block " + Num(pin->Previous()) +
                " instead of " + Num(previous));
      if (head) {
        total = pin->TotalLength();
        if (total <= 0) {
          Problem(where + ": the first BLOB block " + Num(block) + " gives the length " + Num(total));
          return;
        }
        if (total > int64_t(BlockCount_) * BlockData_) {
          Problem(where + ": the first BLOB block " + Num(block) + " gives the length " + Num(total) +
                  ", more than the " + Num(BlockCount_) + " blocks of the file hold");
          return;
        }
      } else if (pin->TotalLength() != 0) {
        Problem(where + ": BLOB block " + Num(block) + " is not the first of its chain, yet gives a length");
      }
      if (pin->UsedBytes() > BlockData_) {
        Problem(where + ": BLOB block " + Num(block) + " claims " + Num(pin->UsedBytes()) +
                " bytes, more than a block holds");
        return;
      }
      copied += pin->UsedBytes();
      const int32_t next = pin->Next();
      if (copied >= total) {
        if (copied > total)
          Problem(where + ": the BLOB chain holds " + Num(copied) + " bytes, the value's length is " +
                  Num(total));
        if (next != 0) Problem(where + ": the BLOB chain goes on after its last block " + Num(block));
        return;
      }
      if (next == 0) {
        Problem(where + ": the BLOB chain ends after " + Num(copied) + " of " + Num(total) + " bytes");
        return;
      }
      if (pin->UsedBytes() < BlockData_) {
        Problem(where + ": BLOB block " + Num(block) + " holds " + Num(pin->UsedBytes()) +
                " bytes inside its chain (" + Num(BlockData_) + " expected)");
        return;
      }
      previous = block;
      block = next;
    }
  } catch (const EVELDOREngineError& e) {
    Problem(where + ": BLOB block " + Num(block) + " cannot be read: " + e.Message);
  }
}

// The free chain of deleted slots: no loop, every member deleted, and in a table with a
// primary key (whose deleted slots are reused) every deleted slot on it.
void TCheckRun::CheckFreeChain() {
  std::vector<bool> met(State_.size(), false);
  int32_t members = 0;
  for (int32_t n = Data_.Header().FirstDeleted(), from = 0; n != 0;) {
    const std::string source = from ? " (linked from record " + Num(from) + ")" : " (the chain's head)";
    if (n < 1 || n > Slots_) {
      Problem("the free chain of deleted records leads to record " + Num(n) + source + ", beyond the " +
              Num(Slots_) + " record slots");
      return;
    }
    if (met[size_t(n)]) {
      Problem("the free chain of deleted records loops at record " + Num(n) + source);
      return;
    }
    met[size_t(n)] = true;
    ++members;
    if (!State_[size_t(n)].Deleted) {
      Problem("live record " + Num(n) + " is on the free chain of deleted records" + source);
      return;
    }
    from = n;
    n = State_[size_t(n)].FreeLink;
  }
  if (Table_.HasUserPrimaryKey() && members < Deleted)
    Problem(Num(Deleted - members) +
            " deleted records are not on the free chain (their slots are never reused)");
}

// The free chain of BLOB blocks (no loop, no block of a value) and, when every value was
// followed, the blocks that belong nowhere.
void TCheckRun::CheckFreeBlocks(bool allSlotsRead) {
  std::vector<bool> met(BlockOwner_.size(), false);
  for (int32_t block = Blob_->FirstFreeBlock(), from = 0; block != 0;) {
    const std::string source = from ? " (linked from block " + Num(from) + ")" : " (the chain's head)";
    if (block < 1 || block > BlockCount_) {
      Problem("the free chain of BLOB blocks leads to block " + Num(block) + source + ", outside the file");
      return;
    }
    if (met[size_t(block)]) {
      Problem("the free chain of BLOB blocks loops at block " + Num(block) + source);
      return;
    }
    met[size_t(block)] = true;
    int32_t& owner = BlockOwner_[size_t(block)];
    if (owner > 0)
      Problem("BLOB block " + Num(block) + " is on the free chain and in the value of record " + Num(owner));
    else
      owner = -1;
    ++Blocks;
    try {
      TBlockPin pin(Blob_->GetBlock(block));
      from = block;
      block = pin->Next();
    } catch (const EVELDOREngineError& e) {
      Problem("free BLOB block " + Num(block) + " cannot be read: " + e.Message);
      return;
    }
  }
  if (!allSlotsRead) return;
  int32_t lost = 0, firstLost = 0;
  for (int32_t b = 1; b <= BlockCount_; ++b)
    if (BlockOwner_[size_t(b)] == 0 && lost++ == 0) firstLost = b;
  if (lost > 0)
    Problem(Num(lost) + " BLOB blocks are neither in a value nor on the free chain (the first is block " +
            Num(firstLost) + ")");
}

}  // namespace

std::vector<std::string> TTableChecker::Run() {
  TCheckRun run(Table_, Progress_, Limit_);
  std::vector<std::string> problems = run.Run();
  Live_ = run.Live;
  Deleted_ = run.Deleted;
  Indexes_ = run.Indexes;
  Blocks_ = run.Blocks;
  return problems;
}

std::vector<std::string> CheckTable(TDataTable& table) {
  return TTableChecker(table).Run();
}

}  // namespace veldor
