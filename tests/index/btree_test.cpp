#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "lib/records_bitmap.h"

#include "tests/index/index_fixture.h"

namespace veldor::test {
namespace {

class BTreeTest : public IndexTest {
 protected:
  // All keys of the tree in leaf order, with their record numbers.
  std::vector<std::pair<std::vector<uint8_t>, int32_t>> Scan(TBTree& tree) {
    std::vector<std::pair<std::vector<uint8_t>, int32_t>> out;
    TIndexPath path;
    if (!tree.SeekOrdinal(1, path)) return out;
    int32_t page = path.Current().Page;
    while (page != 0) {
      TPageRef p(table_->IndexFile().GetPage(tree.Index(), page));
      for (int i = 1; i <= p->Count(); ++i)
        out.emplace_back(std::vector<uint8_t>(p->Key(i), p->Key(i) + p->KeyLength()), p->Reference(i));
      page = p->Next();
    }
    return out;
  }

  std::set<int32_t> FreeChain(int index) {
    std::set<int32_t> pages;
    for (int32_t n = table_->IndexFile().Descriptor(index).FreePage(); n != 0;) {
      EXPECT_TRUE(pages.insert(n).second);
      TPageRef p(table_->IndexFile().GetPage(index, n));
      n = p->Next();
    }
    return pages;
  }
};

TEST_F(BTreeTest, AscendingInsertsSplitIntoATwoLevelTree) {
  TDataTable& t = Create("asc", Definition(10));
  TKeyLayout layout = LayoutOf(0);
  TBTree tree(t.IndexFile(), 0, layout);
  TIndexPath path;
  for (int32_t i = 1; i <= 1000; ++i) tree.Insert(KeyOf(layout, i, "", i).data(), i, path);
  EXPECT_EQ(tree.Check(), "");
  TPageRef root(t.IndexFile().GetPage(0, tree.RootPage()));
  EXPECT_EQ(root->Type(), PAGE_ROOT);
  EXPECT_EQ(root->TotalCount(), 1000);
  int64_t sum = 0;
  for (int i = 1; i <= root->Count(); ++i) {
    TPageRef child(t.IndexFile().GetPage(0, root->Reference(i)));
    EXPECT_EQ(child->Type(), PAGE_LEAF);  // two levels
    EXPECT_GE(child->Count(), 204);       // split in halves of 409
    sum += root->SubtreeCount(i);
  }
  EXPECT_EQ(sum, 1000);
  EXPECT_EQ(root->Count(), 4);  // 204 + 204 + 204 + 388
  // Ordinals from the subtree counts.
  for (int32_t i : {1, 204, 205, 777, 1000}) {
    int64_t ordinal = 0;
    ASSERT_TRUE(tree.Descend(KeyOf(layout, i, "", i).data(), TLocate::Descent, path, ordinal));
    EXPECT_EQ(ordinal, i);
  }
}

TEST_F(BTreeTest, ASmallerKeyReplacesSeparatorsUpToTheRoot) {
  TDataTable& t = Create("sep", Definition(250));  // K = 252: 15 entries per page
  TKeyLayout layout = LayoutOf(0);
  t.IndexFile().AddSecondaryIndex(Secondary("ByName", {2}, true), t.DataFile().Fields());
  TKeyLayout names = LayoutOf(1);
  TBTree tree(t.IndexFile(), 1, names);
  TIndexPath path;
  char name[8];
  for (int i = 100; i < 400; ++i) {
    std::snprintf(name, sizeof name, "k%03d", i);
    tree.Insert(KeyOf(names, i, name, i).data(), i, path);
  }
  ASSERT_EQ(tree.Check(), "");
  std::vector<uint8_t> smallest = KeyOf(names, 1, "a", 1);
  tree.Insert(smallest.data(), 1, path);
  EXPECT_EQ(tree.Check(), "");
  // Every first entry on the way down is the new key.
  int32_t page = tree.RootPage();
  int levels = 0;
  for (;;) {
    TPageRef p(t.IndexFile().GetPage(1, page));
    EXPECT_EQ(names.Compare(p->Key(1), smallest.data()), 0);
    ++levels;
    if (p->IsLeaf()) break;
    page = p->Reference(1);
  }
  EXPECT_GE(levels, 3);
  (void)layout;
}

TEST_F(BTreeTest, DeletingEverythingFreesAllPagesForReuse) {
  TDataTable& t = Create("free", Definition(250));
  t.IndexFile().AddSecondaryIndex(Secondary("ByName", {2}, false), t.DataFile().Fields());
  TKeyLayout names = LayoutOf(1);
  TBTree tree(t.IndexFile(), 1, names);
  TIndexPath path;
  std::vector<std::vector<uint8_t>> keys;
  for (int i = 0; i < 500; ++i) keys.push_back(KeyOf(names, i, "n" + std::to_string(i % 37), i + 1));
  for (int i = 0; i < 500; ++i) tree.Insert(keys[size_t(i)].data(), i + 1, path);
  ASSERT_EQ(tree.Check(), "");
  int32_t pagesUsed = t.IndexFile().PageCount();
  const std::vector<std::vector<uint8_t>> original = keys;
  std::mt19937 random(7);
  std::shuffle(keys.begin(), keys.end(), random);
  for (size_t i = 0; i < keys.size(); ++i) {
    tree.Delete(keys[i].data(), path);
    if (i % 50 == 0) {
      ASSERT_EQ(tree.Check(), "") << i;
    }
  }
  EXPECT_EQ(tree.RootPage(), 0);
  EXPECT_EQ(tree.KeyCount(), 0);
  EXPECT_EQ(FreeChain(1).size(), size_t(pagesUsed));
  // The same inserts again need the same pages, and take them from the free chain.
  for (int i = 0; i < 500; ++i) tree.Insert(original[size_t(i)].data(), i + 1, path);
  EXPECT_EQ(t.IndexFile().PageCount(), pagesUsed);
  EXPECT_TRUE(FreeChain(1).empty());
  EXPECT_EQ(tree.Check(), "");
  // A key that is not there cannot be deleted.
  EXPECT_EQ(ErrorOf([&] { tree.Delete(KeyOf(names, 9, "zzz", 9999).data(), path); }),
            VELDOR_INDEXCORRUPT);
}

TEST_F(BTreeTest, FullCompressionSplitsLeavesByPackedSize) {
  TDataTable& t = Create("full", Definition(200));
  t.IndexFile().AddSecondaryIndex(Secondary("ByName", {2}, true, COMPRESS_FULL),
                                  t.DataFile().Fields());
  TKeyLayout names = LayoutOf(1);
  TBTree tree(t.IndexFile(), 1, names);
  TIndexPath path;
  // Keys share a long prefix and end in zeros: far more than the 19 uncompressed entries
  // of a 202-byte key fit in a leaf.
  std::string prefix(40, 'p');
  for (int i = 0; i < 3000; ++i) {
    char tail[8];
    std::snprintf(tail, sizeof tail, "%05d", i);
    tree.Insert(KeyOf(names, i, prefix + tail, i).data(), i + 1, path);
  }
  ASSERT_EQ(tree.Check(), "");
  TIndexPath first;
  ASSERT_TRUE(tree.SeekOrdinal(1, first));
  TPageRef leaf(t.IndexFile().GetPage(1, first.Current().Page));
  EXPECT_GT(leaf->Count(), leaf->Capacity());
  EXPECT_LE(leaf->PackedSize(), int(kPageDataSize));
}

// Random inserts and deletes against an ordered model, in many configurations; the tree's
// structure, order and ordinals are checked after every batch and after a reopen.
TEST_F(BTreeTest, RandomizedAgainstAModel) {
  struct Config {
    const char* name;
    bool unique;
    uint8_t compression;
    bool descending;
    int16_t language;
    int nameSize;
  };
  const Config configs[] = {
      {"unique none", true, COMPRESS_NONE, false, 0, 60},
      {"dup none", false, COMPRESS_NONE, false, 0, 60},
      {"dup dupbyte", false, COMPRESS_DUPBYTE, false, 0, 120},
      {"unique trailbyte", true, COMPRESS_TRAILBYTE, false, 0, 120},
      {"dup full descending", false, COMPRESS_FULL, true, 0, 120},
      {"unique full", true, COMPRESS_FULL, false, 0, 250},
      {"german dup", false, COMPRESS_NONE, false, 0x0407, 40},
      {"swedish unique descending full", true, COMPRESS_FULL, true, 0x041D, 80},
  };
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const char* alphabet[] = {"a", "b", "\xe4", "\xe5", "z", "A", "o", "\xf6", "aa", "ab"};
  int tableNumber = 0;
  for (const Config& c : configs) {
    SCOPED_TRACE(c.name);
    std::string tableName = "model" + std::to_string(tableNumber++);
    TDataTable& t = Create(tableName, Definition(c.nameSize, c.language));
    t.IndexFile().AddSecondaryIndex(
        Secondary("Idx", c.unique ? std::vector<uint16_t>{2, 1} : std::vector<uint16_t>{2}, c.unique,
                  c.compression, c.descending),
        t.DataFile().Fields());
    TKeyLayout layout = LayoutOf(1);
    auto less = [&layout](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
      return layout.Compare(a.data(), b.data()) < 0;
    };
    std::map<std::vector<uint8_t>, int32_t, decltype(less)> model(less);
    TIndexPath path;
    int32_t nextRow = 1;
    auto verify = [&](const char* when) {
      SCOPED_TRACE(when);
      TBTree tree(table_->IndexFile(), 1, layout);
      ASSERT_EQ(tree.Check(), "");
      ASSERT_EQ(tree.KeyCount(), int64_t(model.size()));
      auto scanned = Scan(tree);
      ASSERT_EQ(scanned.size(), model.size());
      int64_t position = 0;
      for (const auto& [key, record] : model) {
        ASSERT_EQ(scanned[size_t(position)].first, key);
        ASSERT_EQ(scanned[size_t(position)].second, record);
        ++position;
        if (position % 17 == 1) {
          int64_t ordinal = 0;
          ASSERT_TRUE(tree.Descend(key.data(), TLocate::Descent, path, ordinal));
          ASSERT_EQ(ordinal, position);
          TIndexPath at;
          ASSERT_TRUE(tree.SeekOrdinal(position, at));
          TPageRef leaf(table_->IndexFile().GetPage(1, at.Current().Page));
          ASSERT_EQ(leaf->Reference(at.Current().Position), record);
        }
      }
    };
    for (int batch = 0; batch < 12; ++batch) {
      TBTree tree(t.IndexFile(), 1, layout);
      for (int op = 0; op < 150; ++op) {
        bool remove = !model.empty() && random() % 3 == 0;
        if (remove) {
          auto it = model.begin();
          std::advance(it, random() % model.size());
          tree.Delete(it->first.data(), path);
          model.erase(it);
        } else {
          std::string name;
          for (int k = int(random() % 4); k >= 0; --k) name += alphabet[random() % 10];
          if (random() % 5 == 0) name.clear();  // nulls
          int32_t id = int32_t(random() % 50000);
          std::vector<uint8_t> key = KeyOf(layout, id, name, nextRow);
          if (model.count(key)) continue;  // a unique index refuses it (callers check)
          tree.Insert(key.data(), nextRow, path);
          model.emplace(key, nextRow);
          ++nextRow;
        }
      }
      verify("batch");
      if (HasFatalFailure()) return;
    }
    t.Close();
    OpenTable(tableName).VerifyHeaders();
    verify("after reopen");
    if (HasFatalFailure()) return;
    // Everything goes again; every page ends on the free chain.
    TBTree tree(table_->IndexFile(), 1, layout);
    for (const auto& entry : model) tree.Delete(entry.first.data(), path);
    model.clear();
    verify("emptied");
    EXPECT_EQ(tree.RootPage(), 0);
  }
}

TEST_F(BTreeTest, LeafScansReplaceFreeAllAndLimits) {
  TDataTable& t = Create("scans", Definition(10));
  TKeyLayout layout = LayoutOf(0);
  TBTree tree(t.IndexFile(), 0, layout);
  TIndexPath path;
  // Records 1..10, then 20..24, then 30: runs of consecutive record numbers.
  std::vector<int32_t> records;
  for (int32_t r = 1; r <= 10; ++r) records.push_back(r);
  for (int32_t r = 20; r <= 24; ++r) records.push_back(r);
  records.push_back(30);
  for (size_t i = 0; i < records.size(); ++i)
    tree.Insert(KeyOf(layout, int32_t(i + 1), "", 0).data(), records[i], path);
  ASSERT_TRUE(tree.SeekOrdinal(1, path));
  TPageRef leaf(t.IndexFile().GetPage(0, path.Current().Page));
  EXPECT_EQ(TBTree::ReadAheadRun(*leaf, 1, true, 100), 10);
  EXPECT_EQ(TBTree::ReadAheadRun(*leaf, 3, true, 4), 4);
  EXPECT_EQ(TBTree::ReadAheadRun(*leaf, 15, false, 100), 5);  // 24 down to 20
  EXPECT_EQ(TBTree::ReadAheadRun(*leaf, 16, true, 100), 1);

  TRecordsBitmap bitmap;
  bitmap.SetSize(40);
  bitmap.ClearAll();
  bitmap.SetBit(7);
  bitmap.SetBit(22);
  int position = 0, steps = 0;
  EXPECT_TRUE(tree.StepFiltered(*leaf, position, true, bitmap, nullptr, steps));
  EXPECT_EQ(position, 7);
  EXPECT_EQ(steps, 7);
  std::vector<uint8_t> bound = KeyOf(layout, 12, "", 0);  // the entry of record 21
  EXPECT_FALSE(tree.StepFiltered(*leaf, position, true, bitmap, bound.data(), steps));
  EXPECT_EQ(position, 7);
  position = 17;
  steps = 0;
  EXPECT_TRUE(tree.StepFiltered(*leaf, position, false, bitmap, nullptr, steps));
  EXPECT_EQ(position, 13);  // record 22
  EXPECT_EQ(steps, 4);

  TRecordsBitmap range;
  range.SetSize(40);
  range.ClearAll();
  std::vector<uint8_t> end = KeyOf(layout, 12, "", 0);
  EXPECT_FALSE(tree.RangeToBitmap(*leaf, 9, end.data(), range));
  EXPECT_EQ(range.Count(), 4u);  // records 9, 10, 20, 21
  EXPECT_TRUE(range.GetBit(21) && range.GetBit(9) && !range.GetBit(22));
  EXPECT_TRUE(tree.RangeToBitmap(*leaf, 15, nullptr, range));
  leaf.Reset();

  // Replace moves an entry to its new key.
  std::vector<uint8_t> oldKey = KeyOf(layout, 1, "", 0), newKey = KeyOf(layout, 99, "", 0);
  tree.Replace(oldKey.data(), newKey.data(), 1, path);
  EXPECT_FALSE(tree.KeyExists(oldKey.data()));
  EXPECT_TRUE(tree.KeyExists(newKey.data()));
  EXPECT_EQ(tree.Check(), "");

  // Free all pages: the index is empty and its pages are on its free chain.
  for (int32_t i = 100; i < 1500; ++i) tree.Insert(KeyOf(layout, i, "", 0).data(), i, path);
  int32_t pages = t.IndexFile().PageCount();
  tree.FreeAllPages();
  EXPECT_EQ(tree.RootPage(), 0);
  EXPECT_EQ(FreeChain(0).size(), size_t(pages));
  EXPECT_EQ(tree.Check(), "");

  // No page may end past 4,000,000,000 bytes.
  TIndexFile& f = t.IndexFile();
  int32_t last = int32_t(4000000000ull / 4096) - 1;
  const_cast<TIndexHeader&>(f.Header()).SetNextPageNumber(last + 1);
  EXPECT_EQ(ErrorOf([&] { f.GetPage(0, last + 1); }), VELDOR_TABLEFULL);
  const_cast<TIndexHeader&>(f.Header()).SetNextPageNumber(pages + 1);
}

TEST_F(BTreeTest, AReadUnderCachePressureKeepsItsOwnImage) {
  // More dirty pages than one index caches: reading a page must survive the write-back
  // that taking its buffer starts.
  TDataTable& t = Create("pressure", Definition(250));
  t.IndexFile().AddSecondaryIndex(Secondary("ByName", {2}, false), t.DataFile().Fields());
  TKeyLayout names = LayoutOf(1);
  TBTree tree(t.IndexFile(), 1, names);
  TIndexPath path;
  std::mt19937 random(3);
  const int keys = 50 * int(kPageCacheCapacity);
  for (int i = 0; i < keys; ++i)
    tree.Insert(KeyOf(names, i, "k" + std::to_string(random() % 100000), i + 1).data(), i + 1, path);
  EXPECT_GT(t.IndexFile().PageCount(), int32_t(kPageCacheCapacity) * 2);
  EXPECT_EQ(tree.Check(), "");
  EXPECT_EQ(tree.KeyCount(), keys);
}

TEST_F(BTreeTest, EncryptedPagesRoundTripThroughTheFile) {
  TTableDefinition d = Definition(30);
  d.Encrypted = true;
  d.Password = "pw";
  d.Indexes.push_back(Secondary("ByName", {2}, false, COMPRESS_FULL));
  TDataTable& t = Create("secret", d);
  TKeyLayout layout = LayoutOf(1);
  TBTree tree(t.IndexFile(), 1, layout);
  TIndexPath path;
  for (int i = 0; i < 2000; ++i) tree.Insert(KeyOf(layout, i, "name" + std::to_string(i % 97), i + 1).data(), i + 1, path);
  auto before = Scan(tree);
  t.Close();
  // Nothing readable in the file: the header and pages are scrambled.
  std::vector<uint8_t> raw = ReadWholeFile(dir_ + "secret.IDX");
  std::string text(raw.begin(), raw.end());
  EXPECT_EQ(text.find("Sys Deleted"), std::string::npos);
  EXPECT_EQ(text.find("name1"), std::string::npos);
  TDataTable& again = OpenTable("secret");
  again.VerifyHeaders();
  TKeyLayout reopened = LayoutOf(1);
  TBTree tree2(again.IndexFile(), 1, reopened);
  EXPECT_EQ(tree2.Check(), "");
  EXPECT_EQ(Scan(tree2), before);
}

TEST_F(BTreeTest, DamagedPagesAreReportedAsCorrupt) {
  TTableDefinition d = Definition(30);
  d.Indexes.push_back(Secondary("ByName", {2}, false));
  TDataTable& t = Create("damaged", d);
  TKeyLayout layout = LayoutOf(1);
  TBTree tree(t.IndexFile(), 1, layout);
  TIndexPath path;
  for (int i = 0; i < 400; ++i) tree.Insert(KeyOf(layout, i, "v" + std::to_string(i), i + 1).data(), i + 1, path);
  std::vector<uint8_t> probe = KeyOf(layout, 0, "v0", 1);  // the first key: through entry 1
  t.Close();
  const std::vector<uint8_t> good = ReadWholeFile(dir_ + "damaged.IDX");
  int32_t root = 0;
  {
    TDataTable& open = OpenTable("damaged");
    root = open.IndexFile().Descriptor(1).RootPage();
    table_.reset();
  }
  struct Case {
    const char* what;
    size_t offset;
    uint8_t value;
  };
  size_t rootAt = 4096 * size_t(root);
  const Case cases[] = {
      {"page type 9", rootAt, 9},
      {"entry count huge", rootAt + 2, 0x7F},
      {"child page 0", rootAt + 13 + size_t(layout.KeyLength()), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> bytes = good;
    bytes[c.offset] = c.value;
    if (std::string(c.what) == "child page 0") std::fill_n(bytes.begin() + long(c.offset), 4, 0);
    WriteWholeFile(dir_ + "damaged.IDX", bytes);
    TDataTable& bad = OpenTable("damaged");
    TKeyLayout l = LayoutOf(1);
    TBTree broken(bad.IndexFile(), 1, l);
    EXPECT_EQ(ErrorOf([&] { broken.KeyExists(probe.data()); }), VELDOR_INDEXCORRUPT);
    table_.reset();
  }
  // A file cut inside its pages.
  std::vector<uint8_t> cut(good.begin(), good.begin() + long(rootAt));
  WriteWholeFile(dir_ + "damaged.IDX", cut);
  TDataTable& bad = OpenTable("damaged");
  TKeyLayout l = LayoutOf(1);
  TBTree broken(bad.IndexFile(), 1, l);
  EXPECT_EQ(ErrorOf([&] { broken.KeyExists(probe.data()); }), VELDOR_INDEXCORRUPT);
}

}  // namespace
}  // namespace veldor::test
