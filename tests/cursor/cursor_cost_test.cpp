// What cursor operations cost, counted in page and record reads of the table's files: counts
// and record numbers come from the subtree counts without reading pages, a record number is
// found by one descent, and a scan in an order that follows the slots reads the data file
// in long runs.

#include <algorithm>
#include <string>
#include <vector>

#include "engine/btree.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

constexpr int32_t kRecords = 4000;

class CursorCostTest : public CursorTest {
 protected:
  // Id (primary key), Name string(20), Amount, Title string(200); "ByName" not unique,
  // "ByAmount" unique, "ByTitle" unique with keys long enough for a tree of three levels.
  static TTableDefinition Definition() {
    TTableDefinition d;
    d.Fields = {MakeField(1, "Id", FIELD_INTEGER), MakeField(2, "Name", FIELD_STRING, 20),
                MakeField(3, "Amount", FIELD_INTEGER), MakeField(4, "Title", FIELD_STRING, 200)};
    PrepareFieldDefinitions(d.Fields, "t");
    TIndexDescriptor primary;
    primary.SetFieldNumber(0, 1);
    primary.SetFieldCount(1);
    primary.SetUnique(true);
    d.Indexes = {primary, Index("ByName", {2}, false), Index("ByAmount", {3}, true),
                 Index("ByTitle", {4}, true)};
    return d;
  }

  // Row i (1-based, also its row identifier and slot): names repeat, amounts and titles
  // are a permutation of the rows.
  static std::string NameOf(int32_t i) { return "Name" + std::to_string(1000 + i % 97); }
  static int32_t AmountOf(int32_t i) { return (i * 7919) % kRecords * 3 - kRecords; }
  static std::string TitleOf(int32_t i) {
    return std::string(180, char('a' + i % 26)) + std::to_string(100000 + (i * 7919) % kRecords);
  }

  // The Ids in the order of each index, from the definitions above.
  static std::vector<int32_t> IdsBy(const char* index) {
    std::vector<int32_t> ids;
    for (int32_t i = 1; i <= kRecords; ++i) ids.push_back(i);
    std::string name = index;
    auto by = [&](auto key) {
      std::stable_sort(ids.begin(), ids.end(), [&](int32_t a, int32_t b) { return key(a) < key(b); });
    };
    if (name == "ByName") by(NameOf);  // ties keep the row identifier order
    if (name == "ByAmount") by(AmountOf);
    if (name == "ByTitle") by(TitleOf);
    return ids;
  }

  void SetUp() override {
    CursorTest::SetUp();
    MakeTable("cost", Definition());
    {
      // Appended in key order through an exclusive cursor, written back when it closes.
      TDataCursor writer(db_);
      writer.SetTableName("cost");
      writer.SetExclusive(true);
      writer.Open();
      for (int32_t i = 1; i <= kRecords; ++i) {
        std::vector<uint8_t> image = Blank(writer);
        PutInt(writer, image, "Id", i);
        PutText(writer, image, "Name", NameOf(i));
        PutInt(writer, image, "Amount", AmountOf(i));
        PutText(writer, image, "Title", TitleOf(i));
        writer.AppendRecord(image.data(), false);
      }
    }
    Reopen();
  }

  void TearDown() override {
    cursor_.reset();  // before the database goes
    CursorTest::TearDown();
  }

  // A new shared cursor on the table opened afresh: every cache is cold.
  void Reopen() {
    cursor_.reset();
    cursor_ = std::make_unique<TDataCursor>(db_);
    cursor_->SetTableName("cost");
    cursor_->Open();
    ASSERT_FALSE(cursor_->Exclusive());
  }

  void SelectOrder(const std::string& index) {
    if (index == "natural") {
      cursor_->SetIndexNumber(kNaturalOrder);
    } else {
      cursor_->SetIndexName(index);
    }
  }

  TDataCursor& C() { return *cursor_; }
  uint64_t PageGets() {
    const TIndexFileStatistics& s = C().Table()->IndexFile().Statistics();
    return s.CacheHits + s.PageReads;
  }
  uint64_t RecordGets() {
    const TDataFileStatistics& s = C().Table()->DataFile().Statistics();
    return s.CacheHits + s.BlockReads;
  }
  void ResetStatistics() {
    C().Table()->IndexFile().ResetStatistics();
    C().Table()->DataFile().ResetStatistics();
  }
  int32_t CurrentId() {
    std::vector<uint8_t> image(C().RecordSize());
    if (C().GetCurrentRecord(image.data()) != 0) return 0;
    return IntOf(C(), image.data(), "Id");
  }
  // Levels from the root to the leaves of an index.
  int Depth(int index) {
    TBTree tree(C().Table()->IndexFile(), index, C().LayoutOf(index));
    std::vector<uint8_t> lowest(kMaxKeyLength, 0);
    TIndexPath path;
    int64_t ordinal = 0;
    EXPECT_TRUE(tree.Descend(lowest.data(), TLocate::LowerBound, path, ordinal));
    return path.Depth;
  }
  std::vector<uint8_t> AmountImage(int32_t amount) {
    std::vector<uint8_t> image = Blank(C());
    PutInt(C(), image, "Amount", amount);
    return image;
  }

  std::unique_ptr<TDataCursor> cursor_;
};

// Counts and record numbers come from the range limits and the current ordinal, in every
// order, with and without a range: neither an index page nor a record is read.
TEST_F(CursorCostTest, CountsAndRecordNumbersReadNothing) {
  struct TCase {
    const char* Order;
    bool Ranged;  // Amount from -1000 to 2000 inclusive, every third value present
    int64_t Count;
  };
  const int64_t inRange = 1001;  // the amounts 3v - 4000 for v = 1000 .. 2000
  const TCase cases[] = {
      {"", false, kRecords},        {"ByName", false, kRecords}, {"ByAmount", false, kRecords},
      {"ByTitle", false, kRecords}, {"natural", false, kRecords}, {"ByAmount", true, inRange},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(std::string(k.Order) + (k.Ranged ? " with a range" : ""));
    SelectOrder(k.Order);
    if (k.Ranged) {
      std::vector<uint8_t> low = AmountImage(-1000), high = AmountImage(2000);
      C().SetRange(false, low.data(), 0, high.data(), 0);
    } else if (!C().NaturalOrder()) {
      C().ResetRange();
    }
    const int64_t at = k.Count / 3;
    C().SetToRecNo(at);
    ASSERT_NE(CurrentId(), 0);
    ResetStatistics();
    for (int i = 0; i < 100; ++i) {
      ASSERT_EQ(C().GetRecordCount(), k.Count);
      ASSERT_EQ(C().GetRecNo(), at);
    }
    EXPECT_EQ(PageGets(), 0u) << "index pages looked at";
    EXPECT_EQ(RecordGets(), 0u) << "records looked at";
  }
}

// SetToRecNo descends once from the root to the entry with that ordinal: no more page
// gets than levels and a few, against one per record for a walk.
TEST_F(CursorCostTest, SetToRecNoDescendsOnce) {
  struct TCase {
    const char* Order;
    int Index;
  };
  const TCase cases[] = {{"", 0}, {"ByName", 1}, {"ByAmount", 2}, {"ByTitle", 3}};
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Order);
    SelectOrder(k.Order);
    C().ResetRange();
    const int depth = Depth(k.Index);
    if (k.Index == 3) {
      EXPECT_GE(depth, 3) << "the long keys make a deeper tree";
    }
    const std::vector<int32_t> ids = IdsBy(k.Order);
    for (int64_t n : {int64_t(1), int64_t(kRecords / 3), int64_t(kRecords / 2) + 7, int64_t(kRecords)}) {
      ResetStatistics();
      C().SetToRecNo(n);
      uint64_t gets = PageGets();
      EXPECT_LE(gets, uint64_t(depth + 2)) << "SetToRecNo(" << n << ") in a tree of " << depth << " levels";
      EXPECT_EQ(C().GetRecNo(), n);
      EXPECT_EQ(CurrentId(), ids[size_t(n - 1)]) << "SetToRecNo(" << n << ")";
    }
  }

  // Inside a range the ordinal counts from the range's first key.
  SelectOrder("ByAmount");
  std::vector<uint8_t> low = AmountImage(-1000), high = AmountImage(2000);
  C().SetRange(false, low.data(), 0, high.data(), 0);
  const int depth = Depth(2);
  ResetStatistics();
  C().SetToRecNo(10);
  EXPECT_LE(PageGets(), uint64_t(depth + 2)) << "SetToRecNo inside a range";
  std::vector<uint8_t> image(C().RecordSize());
  ASSERT_EQ(C().GetCurrentRecord(image.data()), 0);
  EXPECT_EQ(IntOf(C(), image.data(), "Amount"), -1000 + 9 * 3);  // every third amount is present

  // A walk looks at every leaf at least: far more than a descent.
  C().ResetRange();
  SelectOrder("ByTitle");
  const int titleDepth = Depth(3);
  ResetStatistics();
  C().SetToBegin();
  int walked = 0;
  while (C().GetNextRecord(nullptr) == 0) ++walked;
  EXPECT_EQ(walked, kRecords);
  EXPECT_GT(PageGets(), uint64_t(10 * (titleDepth + 2)));
}

// Natural order steps through the visible bitmap: no index page at all.
TEST_F(CursorCostTest, SetToRecNoInNaturalOrderReadsNoIndexPage) {
  SelectOrder("natural");
  for (int64_t n : {int64_t(1), int64_t(kRecords / 2), int64_t(kRecords)}) {
    ResetStatistics();
    C().SetToRecNo(n);
    EXPECT_EQ(PageGets(), 0u) << "SetToRecNo(" << n << ")";
    EXPECT_EQ(CurrentId(), n);
    EXPECT_EQ(C().GetRecNo(), n);
  }
}

// A scan whose order follows the slots, from a cold cache, reads the data file in runs of
// many records: about one read per read-ahead window, plus one where a leaf ends.
TEST_F(CursorCostTest, ScansInSlotOrderReadRecordsInRuns) {
  struct TCase {
    const char* Order;
    bool Backward;
  };
  const TCase cases[] = {{"", false}, {"", true}, {"natural", false}, {"natural", true}};
  for (const TCase& k : cases) {
    SCOPED_TRACE(std::string(k.Order[0] ? k.Order : "primary") + (k.Backward ? " backward" : " forward"));
    Reopen();
    if (HasFatalFailure()) return;
    SelectOrder(k.Order);  // the statistics count from the open on
    std::vector<int32_t> ids = Ids(C(), k.Backward);
    ASSERT_EQ(ids.size(), size_t(kRecords));
    EXPECT_EQ(ids.front(), k.Backward ? kRecords : 1);
    const TDataFileStatistics& s = C().Table()->DataFile().Statistics();
    const uint64_t window = C().Table()->DataFile().ReadAheadRecords();
    ASSERT_GE(window, 16u);
    EXPECT_GE(s.RecordsRead, uint64_t(kRecords)) << "every record came from the file";
    EXPECT_LE(s.BlockReads, kRecords / window + kRecords / 100 + 2)
        << s.BlockReads << " reads for " << kRecords << " records, window " << window;
    EXPECT_GE(s.RecordsRead, s.BlockReads * 8) << "records per read";
  }
}

}  // namespace
}  // namespace veldor::test
