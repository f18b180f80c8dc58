#include <filesystem>
#include <random>

#include "engine/table_check.h"
#include "lib/collation.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

TEST_F(CursorTest, EmptyTableGivesTheEmptyState) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  std::vector<uint8_t> image(c.RecordSize(), 0xAA);
  EXPECT_EQ(c.GetNextRecord(image.data()), VELDOR_EOF);
  EXPECT_EQ(image, std::vector<uint8_t>(c.RecordSize(), 0));
  c.SetToEnd();
  EXPECT_EQ(c.GetPriorRecord(image.data()), VELDOR_BOF);
  EXPECT_EQ(c.GetCurrentRecord(image.data()), VELDOR_NOCURRREC);
  EXPECT_EQ(c.GetRecordCount(), 0);
  EXPECT_EQ(c.GetRecNo(), 0);
  std::vector<uint8_t> bookmark(c.BookmarkSize(), 0xAA);
  c.GetBookmark(bookmark.data());
  EXPECT_EQ(bookmark, std::vector<uint8_t>(c.BookmarkSize(), 0));
}

TEST_F(CursorTest, WalksInEveryOrder) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 3, "Carol", 30);
  Add(c, 1, "Alice", 20);
  Add(c, 2, "Bob", 10);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(Ids(c, true), (std::vector<int32_t>{3, 2, 1}));
  c.SetIndexName("byamount");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{2, 1, 3}));
  c.SetIndexNumber(kNaturalOrder);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{3, 1, 2}));
  EXPECT_EQ(c.GetRecordCount(), 3);
}

}  // namespace
}  // namespace veldor::test

namespace veldor::test {
namespace {

// Ten people: Ids 1..10, names "N01".."N10", amounts 100, 200, ... 1000.
class NavigationTest : public CursorTest {
 protected:
  TDataCursor& Filled(bool primaryKey = true) {
    MakeTable("people", People(primaryKey));
    TDataCursor& c = OpenCursor("people");
    for (int i = 1; i <= 10; ++i) {
      char name[8];
      std::snprintf(name, sizeof name, "N%02d", i);
      Add(c, i, name, i * 100);
    }
    return c;
  }
  static int32_t CurrentId(TDataCursor& c) { return IntOf(c, c.RecordBuffer(), "Id"); }
  static std::vector<uint8_t> ImageWith(TDataCursor& c, int32_t id, const std::string& name,
                                        int32_t amount) {
    std::vector<uint8_t> image = Blank(c);
    PutInt(c, image, "Id", id);
    PutText(c, image, "Name", name);
    PutInt(c, image, "Amount", amount);
    return image;
  }
};

TEST_F(NavigationTest, CrackMovesInBothDirections) {
  TDataCursor& c = Filled();
  std::vector<uint8_t> image(c.RecordSize());
  c.SetToBegin();
  EXPECT_TRUE(c.Bof());
  EXPECT_EQ(CurrentId(c), 1);  // the first record is in the buffer before the first
  EXPECT_EQ(c.GetPriorRecord(image.data()), VELDOR_BOF);
  EXPECT_EQ(c.GetNextRecord(image.data()), 0);
  EXPECT_EQ(IntOf(c, image.data(), "Id"), 1);
  c.SetToEnd();
  EXPECT_TRUE(c.Eof());
  EXPECT_EQ(CurrentId(c), 10);
  EXPECT_EQ(c.GetPriorRecord(image.data()), 0);
  EXPECT_EQ(IntOf(c, image.data(), "Id"), 10);
  image.assign(c.RecordSize(), 0xAA);
  EXPECT_EQ(c.GetNextRecord(image.data()), VELDOR_EOF);
  EXPECT_EQ(image, std::vector<uint8_t>(c.RecordSize(), 0));
  EXPECT_EQ(c.GetCurrentRecord(image.data()), VELDOR_EOF);
  EXPECT_EQ(c.GetPriorRecord(image.data()), 0);
  EXPECT_EQ(IntOf(c, image.data(), "Id"), 10);
}

TEST_F(NavigationTest, RecordNumbersAndSetToRecNo) {
  for (int order : {0, 1, 2, kNaturalOrder}) {
    SCOPED_TRACE(order);
    TearDown();
    SetUp();
    TDataCursor& c = Filled();
    c.SetIndexNumber(order);
    EXPECT_EQ(c.GetRecordCount(), 10);
    c.SetToRecNo(4);
    EXPECT_EQ(CurrentId(c), 4);
    EXPECT_EQ(c.GetRecNo(), 4);
    EXPECT_FALSE(c.Bof() || c.Eof());
    c.SetToRecNo(0);
    EXPECT_TRUE(c.Bof());
    EXPECT_EQ(CurrentId(c), 1);
    c.SetToRecNo(11);
    EXPECT_TRUE(c.Eof());
    EXPECT_EQ(CurrentId(c), 10);
    std::vector<uint8_t> image(c.RecordSize());
    ASSERT_EQ(c.GetPriorRecord(image.data()), 0);
    EXPECT_EQ(IntOf(c, image.data(), "Id"), 10);
    EXPECT_EQ(c.GetRecNo(), 10);
  }
}

TEST_F(NavigationTest, FindExactNearestAndInNaturalOrder) {
  TDataCursor& c = Filled();
  std::vector<uint8_t> out(c.RecordSize());
  c.SetToRecNo(3);
  std::vector<uint8_t> probe = ImageWith(c, 5, "", 0);
  EXPECT_TRUE(c.Find(false, probe.data(), out.data(), 0, false, 0));
  EXPECT_EQ(IntOf(c, out.data(), "Id"), 5);
  probe = ImageWith(c, 55, "", 0);
  EXPECT_FALSE(c.Find(false, probe.data(), nullptr, 0, false, 0));
  EXPECT_EQ(CurrentId(c), 5);  // a failed exact find does not move
  EXPECT_FALSE(c.Find(false, probe.data(), nullptr, 0, true, 0));
  EXPECT_EQ(CurrentId(c), 10);  // past the end: on the last record, not after it
  EXPECT_FALSE(c.Eof());
  c.SetIndexName("ByAmount");
  probe = ImageWith(c, 0, "", 550);
  EXPECT_FALSE(c.Find(false, probe.data(), nullptr, 0, true, 0));
  EXPECT_EQ(CurrentId(c), 6);  // nearest: the next greater key
  c.SetIndexName("");
  c.SetIndexNumber(kNaturalOrder);
  c.SetToRecNo(2);
  probe = ImageWith(c, 5, "", 0);
  EXPECT_FALSE(c.Find(false, probe.data(), nullptr, 0, false, 0));
  EXPECT_EQ(CurrentId(c), 2);
}

TEST_F(NavigationTest, PartialAndNonUniqueFinds) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Smart", 1);
  Add(c, 2, "Smith", 2);
  Add(c, 3, "Smithers", 3);
  Add(c, 4, "Snow", 4);
  Add(c, 5, "Smith", 5);
  c.SetIndexName("ByName");
  std::vector<uint8_t> probe = ImageWith(c, 0, "Smith", 0);
  // Every find on a non-unique index is partial: the first of the equal keys.
  EXPECT_TRUE(c.Find(false, probe.data(), nullptr, 0, false, 0));
  EXPECT_EQ(CurrentId(c), 2);
  EXPECT_TRUE(c.Find(false, probe.data(), nullptr, 3, false, 0));
  EXPECT_EQ(CurrentId(c), 2);  // first key starting with "Smi"
  probe = ImageWith(c, 0, "Smz", 0);
  EXPECT_FALSE(c.Find(false, probe.data(), nullptr, 3, false, 0));
  EXPECT_EQ(CurrentId(c), 4);  // the next greater key
  probe = ImageWith(c, 0, "Smit", 0);
  EXPECT_TRUE(c.Find(false, probe.data(), nullptr, 4, false, 0));
  EXPECT_EQ(CurrentId(c), 2);
}

// In a language table the collation orders whole strings before case, so keys that start
// with a prefix as written need not be adjacent; a partial find still finds the first of
// them, as a walk over the whole index in its order does.
TEST_F(NavigationTest, PartialFindsInLanguageTablesAgreeWithAScan) {
  for (uint16_t language : {uint16_t(0x040C), uint16_t(0x0407)}) {
    SCOPED_TRACE(language);
    cursors_.clear();
    for (const char* ending : {"DAT", "IDX", "BLB"})
      std::filesystem::remove(dir_ + "people." + ending);
    MakeTable("people", People(true, int16_t(language)));
    TDataCursor& c = OpenCursor("people");
    c.SetIndexName("ByName");
    Add(c, 1, "smith", 1);
    Add(c, 2, "Smith", 2);
    std::vector<uint8_t> probe = ImageWith(c, 0, "Smith", 0);
    EXPECT_TRUE(c.Find(false, probe.data(), nullptr, 3, true, 0));
    EXPECT_EQ(CurrentId(c), 2);

    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const std::string letters = "sSmMiIe\xE9\xC9";  // s S m M i I e é É
    auto text = [&](size_t length) {
      std::string out;
      for (size_t i = 0; i < length; ++i) out += letters[random() % letters.size()];
      return out;
    };
    for (int id = 3; id <= 300; ++id) Add(c, id, text(1 + random() % 5), id);
    // The Ids and names in index order.
    std::vector<std::pair<int32_t, std::string>> order;
    std::vector<uint8_t> image(c.RecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(image.data()) == 0)
      order.emplace_back(IntOf(c, image.data(), "Id"), TextOf(c, image.data(), "Name"));
    const TCollation& collation = c.Collation();
    for (int probeNumber = 0; probeNumber < 400; ++probeNumber) {
      const std::string prefix = text(1 + random() % 3);
      const int partial = int(prefix.size());
      int32_t expected = 0;
      for (const auto& [id, name] : order) {
        if (name.size() >= prefix.size() &&
            collation.Compare(name.c_str(), prefix.c_str(), prefix.size(), false) == 0) {
          expected = id;
          break;
        }
      }
      probe = ImageWith(c, 0, prefix, 0);
      const bool found = c.Find(false, probe.data(), nullptr, partial, true, 0);
      ASSERT_EQ(found, expected != 0) << "prefix " << prefix;
      if (found) {
        ASSERT_EQ(CurrentId(c), expected) << "prefix " << prefix;
      }
    }
  }
}

TEST_F(NavigationTest, Ranges) {
  TDataCursor& c = Filled();
  std::vector<uint8_t> low = ImageWith(c, 3, "", 0), high = ImageWith(c, 6, "", 0);
  c.SetRange(false, low.data(), 0, high.data(), 0);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{3, 4, 5, 6}));
  EXPECT_EQ(Ids(c, true), (std::vector<int32_t>{6, 5, 4, 3}));
  EXPECT_EQ(c.GetRecordCount(), 4);
  c.SetToRecNo(2);
  EXPECT_EQ(CurrentId(c), 4);
  EXPECT_EQ(c.GetRecNo(), 2);
  // Start only: to the end of the index.
  c.SetRange(false, low.data(), 0, nullptr, 0);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{3, 4, 5, 6, 7, 8, 9, 10}));
  // Start above end: empty.
  c.SetRange(false, high.data(), 0, low.data(), 0);
  EXPECT_EQ(c.GetRecordCount(), 0);
  EXPECT_TRUE(c.Bof() && c.Eof());
  std::vector<uint8_t> image(c.RecordSize());
  EXPECT_EQ(c.GetNextRecord(image.data()), VELDOR_EOF);
  c.ResetRange();
  EXPECT_EQ(c.GetRecordCount(), 10);
  // Bounds between keys.
  std::vector<uint8_t> a = ImageWith(c, 0, "", 250), b = ImageWith(c, 0, "", 450);
  c.SetIndexName("ByAmount");
  c.SetRange(false, a.data(), 0, b.data(), 0);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{3, 4}));
  // A partial bound on a non-unique index covers every row identifier.
  c.SetIndexName("ByName");
  std::vector<uint8_t> n = ImageWith(c, 0, "N05", 0);
  c.SetRange(false, n.data(), 0, n.data(), 0);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{5}));
}

TEST_F(NavigationTest, IndexNames) {
  TDataCursor& c = Filled();
  std::vector<uint8_t> low = ImageWith(c, 3, "", 0), high = ImageWith(c, 6, "", 0);
  c.SetIndexName("BYNAME");
  EXPECT_EQ(c.IndexNumber(), 1);
  c.SetIndexName("");
  EXPECT_EQ(c.IndexNumber(), 0);
  c.SetRange(false, low.data(), 0, high.data(), 0);
  EXPECT_EQ(c.GetRecordCount(), 4);
  EXPECT_EQ(ErrorOf([&] { c.SetIndexName("Nope"); }), VELDOR_INVALIDINDEXNAME);
  EXPECT_EQ(c.IndexNumber(), 0);
  EXPECT_FALSE(c.RangeActive());
  EXPECT_EQ(c.GetRecordCount(), 10);
  // Changing the index keeps the cursor on its record.
  c.SetToRecNo(7);
  c.SetIndexName("ByAmount");
  EXPECT_EQ(CurrentId(c), 7);
  EXPECT_EQ(c.GetRecNo(), 7);
}

TEST_F(NavigationTest, Bookmarks) {
  TDataCursor& c = Filled();
  EXPECT_EQ(c.BookmarkSize(), c.KeySize());
  c.SetToRecNo(4);
  std::vector<uint8_t> four(c.BookmarkSize()), seven(c.BookmarkSize());
  c.GetBookmark(four.data());
  c.SetToRecNo(7);
  c.GetBookmark(seven.data());
  EXPECT_EQ(c.CompareBookmarks(four.data(), seven.data()), -1);
  EXPECT_EQ(c.CompareBookmarks(seven.data(), four.data()), 1);
  EXPECT_EQ(c.CompareBookmarks(four.data(), four.data()), 0);
  EXPECT_TRUE(c.SetToBookmark(four.data()));
  EXPECT_EQ(CurrentId(c), 4);
  // The bookmark of a record deleted meanwhile lands on the next key.
  c.DeleteRecord(c.RecordBuffer());
  c.SetToRecNo(1);
  EXPECT_FALSE(c.SetToBookmark(four.data()));
  EXPECT_EQ(CurrentId(c), 5);
  c.SetIndexNumber(kNaturalOrder);
  EXPECT_EQ(c.BookmarkSize(), 4);
  c.SetToRecNo(2);
  std::vector<uint8_t> natural(4);
  c.GetBookmark(natural.data());
  int32_t physical;
  std::memcpy(&physical, natural.data(), 4);
  EXPECT_EQ(physical, 2);
  c.SetToRecNo(6);
  EXPECT_TRUE(c.SetToBookmark(natural.data()));
  EXPECT_EQ(CurrentId(c), 2);
}

TEST_F(NavigationTest, CloneAndSetToRecBuf) {
  TDataCursor& c = Filled();
  std::vector<uint8_t> low = ImageWith(c, 0, "", 300), high = ImageWith(c, 0, "", 800);
  c.SetIndexName("ByAmount");
  c.SetRange(false, low.data(), 0, high.data(), 0);
  c.SetToRecNo(2);
  std::unique_ptr<TDataCursor> copy = c.Clone();
  EXPECT_EQ(copy->IndexNumber(), c.IndexNumber());
  EXPECT_EQ(copy->GetRecordCount(), 6);
  EXPECT_EQ(CurrentId(*copy), 4);
  TDataCursor& other = OpenCursor("people");
  other.SetToRecNo(7);
  EXPECT_EQ(c.SetToRecBuf(other), 0);
  EXPECT_EQ(CurrentId(c), 7);
  other.SetToRecNo(1);  // outside c's range
  EXPECT_EQ(c.SetToRecBuf(other), VELDOR_RECNOTFOUND);
}

TEST_F(NavigationTest, SiblingChangesAreSeen) {
  TDataCursor& c = Filled();
  TDataCursor& other = OpenCursor("people");
  c.SetToRecNo(5);
  Add(other, 0, "N00", 1);  // a key before c's record
  std::vector<uint8_t> image(c.RecordSize());
  ASSERT_EQ(c.GetCurrentRecord(image.data()), 0);
  EXPECT_EQ(IntOf(c, image.data(), "Id"), 5);
  EXPECT_EQ(c.GetRecNo(), 6);
  EXPECT_EQ(c.GetRecordCount(), 11);
}

TEST_F(NavigationTest, LostIndexFileIsRebuilt) {
  {
    TDataCursor& c = Filled(false);
    c.SetIndexNumber(kNaturalOrder);
    c.SetToRecNo(3);
    c.DeleteRecord(c.RecordBuffer());
  }
  cursors_.clear();
  ASSERT_EQ(std::remove((dir_ + "people.IDX").c_str()), 0);
  TDataCursor& c = OpenCursor("people");
  EXPECT_TRUE(c.NaturalOrder());
  EXPECT_EQ(c.GetRecordCount(), 9);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 4, 5, 6, 7, 8, 9, 10}));
}

// A reader rebuilds the lost index in memory for its own open and creates no file; the
// first writer makes the file again and fills it.
TEST_F(NavigationTest, LostIndexFileIsRebuiltInMemoryByAReader) {
  {
    TDataCursor& c = Filled(true);
    c.SetToRecNo(3);
    c.DeleteRecord(c.RecordBuffer());
  }
  cursors_.clear();
  const std::string index = dir_ + "people.IDX";
  ASSERT_EQ(std::remove(index.c_str()), 0);
  for (int round = 0; round < 2; ++round) {
    auto reader = std::make_unique<TDataCursor>(db_);
    reader->SetTableName("people");
    reader->SetReadOnly(true);
    reader->Open();
    EXPECT_EQ(reader->GetRecordCount(), 9);
    EXPECT_EQ(Ids(*reader), (std::vector<int32_t>{1, 2, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_FALSE(std::filesystem::exists(index));
    reader.reset();
    EXPECT_FALSE(std::filesystem::exists(index));
  }
  TDataCursor& writer = OpenCursor("people");
  EXPECT_EQ(writer.GetRecordCount(), 9);
  EXPECT_TRUE(std::filesystem::exists(index));
  cursors_.clear();
  TDataCursor& again = OpenCursor("people");
  EXPECT_EQ(Ids(again), (std::vector<int32_t>{1, 2, 4, 5, 6, 7, 8, 9, 10}));
  std::vector<std::string> problems = CheckTable(*again.Table());
  EXPECT_TRUE(problems.empty()) << (problems.empty() ? "" : problems.front());
}

TEST_F(NavigationTest, PasswordOfAnEncryptedTable) {
  TTableDefinition d = People();
  d.Encrypted = true;
  d.Password = "secret";
  MakeTable("vault", d);
  TDataCursor cursor(db_);
  cursor.SetTableName("vault");
  EXPECT_EQ(ErrorOf([&] { cursor.Open(); }), VELDOR_NOTSUFFTABLERIGHTS);
  EXPECT_FALSE(cursor.IsOpen());
  int asked = 0;
  cursor.SetPasswordCallback([&](TDataCursor&) {
    ++asked;
    session_->AddPassword(asked == 1 ? "wrong" : "secret");
    return true;
  });
  cursor.Open();
  EXPECT_EQ(asked, 2);
  Add(cursor, 1, "hidden", 1);
  EXPECT_EQ(Ids(cursor), (std::vector<int32_t>{1}));
}

TEST_F(NavigationTest, OptionsOnlyWhileClosed) {
  TDataCursor& c = Filled();
  EXPECT_EQ(ErrorOf([&] { c.SetTableName("x"); }), VELDOR_TABLEOPEN);
  EXPECT_EQ(ErrorOf([&] { c.SetExclusive(true); }), VELDOR_TABLEOPEN);
  c.Close();
  c.SetTableName(dir_ + "people.dat");
  EXPECT_EQ(c.TableName(), "people");
  c.Open();
  EXPECT_EQ(c.GetRecordCount(), 10);
}

TEST_F(NavigationTest, OperationsLeaveNoReadLockBehind) {
  for (bool strict : {false, true}) {
    SCOPED_TRACE(strict);
    TearDown();
    SetUp();
    session_->SetStrictChangeDetection(strict);
    TDataCursor& c = Filled();
    TDataCursor& other = OpenCursor("people");
    std::vector<uint8_t> image(c.RecordSize());
    c.SetToRecNo(3);
    Add(other, 20, "N20", 2000);
    EXPECT_FALSE(c.Table()->ReadLocked());
    EXPECT_EQ(c.GetNextRecord(image.data()), 0);
    EXPECT_FALSE(c.Table()->ReadLocked());
    c.SetIndexName("ByName");
    c.Refresh();
    EXPECT_FALSE(c.Table()->ReadLocked());
    EXPECT_EQ(c.GetCurrentRecord(image.data(), true), 0);
    c.ModifyRecord(image.data());
    EXPECT_FALSE(c.Table()->ReadLocked());
    EXPECT_FALSE(c.Table()->WriteLocked());
    EXPECT_EQ(c.GetRecordCount(), 11);
  }
}

TEST_F(NavigationTest, CalculatedFieldsFollowLoadsAndWrites) {
  MakeTable("people", People());
  TDataCursor c(db_);
  c.SetTableName("people");
  std::vector<TFieldDescriptor> fields;
  {
    TDataCursor probe(db_);
    probe.SetTableName("people");
    probe.Open();
    fields = probe.Fields();
    TFieldDescriptor twice = MakeField(5, "Twice", FIELD_INTEGER);
    ComputeFieldSize(twice);
    twice.SetCalculated(true);
    twice.SetOffset(probe.RecordSize());
    fields.push_back(twice);
  }
  c.SetPrivateDescriptors(fields);
  int evaluations = 0;
  c.SetCalculateCallback([&](TDataCursor& cursor, uint8_t* record) {
    ++evaluations;
    int32_t amount = IntOf(cursor, record, "Amount") * 2;
    cursor.PutField(cursor.FieldNumber("Twice"), record, &amount);
  });
  c.Open();
  EXPECT_GT(c.RecordSize(), c.Table()->RecordSize());
  Add(c, 1, "A", 21);
  std::vector<uint8_t> image(c.RecordSize());
  c.SetToBegin();
  ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  EXPECT_EQ(IntOf(c, image.data(), "Twice"), 42);
  int32_t ignored = 7;
  c.PutField(c.FieldNumber("Twice"), image.data(), &ignored);
  EXPECT_EQ(IntOf(c, image.data(), "Twice"), 42);  // callers cannot write it
  PutInt(c, image, "Amount", 50);
  EXPECT_EQ(IntOf(c, image.data(), "Twice"), 100);  // a stored write evaluates again
  EXPECT_GT(evaluations, 2);
}

}  // namespace
}  // namespace veldor::test
