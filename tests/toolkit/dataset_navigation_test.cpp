// The buffer ring and navigation: empty sets, moving in every direction with rings of
// several sizes against a model, bookmarks, record numbers, open and close.
#include <gtest/gtest.h>

#include <random>

#include "tests/toolkit/memory_dataset.h"

namespace veldor::test {
namespace {

// A link that only asks for a window of `rows` records.
class TWindowLink : public TDataLink {
 public:
  explicit TWindowLink(int rows) { SetBufferCount(rows); }
};

class NavigationTest : public ::testing::Test {
 protected:
  void Fill(int count) {
    ds.DefineField("N", ftInteger);
    ds.DefineField("Name", ftString, 10);
    for (int i = 1; i <= count; ++i) ds.AddRow({std::to_string(i), "r" + std::to_string(i)});
  }
  int Current() { return ds.FieldByName("N").AsInteger(); }

  TMemoryDataSet ds;
};

TEST_F(NavigationTest, EmptyDataSetIsBofEofAndHasNoFieldData) {
  Fill(0);
  ds.Open();
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Bof());
  EXPECT_TRUE(ds.Eof());
  EXPECT_TRUE(ds.FieldByName("N").IsNull());
  EXPECT_EQ(ds.FieldByName("Name").AsString(), "");
  EXPECT_EQ(ds.MoveBy(1), 0);
  ds.Last();
  EXPECT_TRUE(ds.Bof() && ds.Eof());
  EXPECT_TRUE(ds.GetBookmark().empty());
  EXPECT_EQ(ds.RecordCount(), 0);
  EXPECT_THROW(ds.Delete(), EDatabaseError);
}

TEST_F(NavigationTest, FirstNextPriorLastAndTheirEnds) {
  Fill(5);
  ds.Open();
  EXPECT_TRUE(ds.Bof());
  EXPECT_FALSE(ds.Eof());
  EXPECT_EQ(Current(), 1);
  ds.Next();
  EXPECT_FALSE(ds.Bof());
  EXPECT_EQ(Current(), 2);
  ds.Prior();
  ds.Prior();  // at the first record: sets Bof, stays
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(Current(), 1);
  ds.Last();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(Current(), 5);
  EXPECT_EQ(ds.MoveBy(1), 0);
  EXPECT_EQ(Current(), 5);
  EXPECT_EQ(ds.MoveBy(-10), -4);
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(Current(), 1);
  EXPECT_EQ(ds.MoveBy(3), 3);
  EXPECT_EQ(Current(), 4);
  EXPECT_EQ(ds.RecNo(), 4);
  EXPECT_EQ(ds.RecordCount(), 5);
  ds.SetRecNo(2);
  EXPECT_EQ(Current(), 2);
  // Walking to the end with Next stops at Eof after the last record.
  ds.First();
  int seen = 0;
  while (!ds.Eof()) {
    ++seen;
    ds.Next();
  }
  EXPECT_EQ(seen, 5);
}

// One body, several ring sizes: random moves compared with a model position. A ring that
// loses or duplicates a record, or a cursor left on the wrong buffer, shows as a wrong
// current record.
TEST_F(NavigationTest, RandomWalkMatchesModelForEveryRingSize) {
  Fill(40);
  for (int rows : {1, 2, 3, 7, 40, 60}) {
    TDataSource source;
    TWindowLink link(rows);
    link.SetDataSource(&source);
    source.SetDataSet(&ds);
    ds.Open();
    unsigned seed = std::random_device{}();
    SCOPED_TRACE("rows " + std::to_string(rows) + " seed " + std::to_string(seed));
    std::mt19937 random(seed);
    int model = 1;
    std::vector<std::pair<TBookmark, int>> marks;
    for (int step = 0; step < 400; ++step) {
      switch (random() % 6) {
        case 0: ds.First(); model = 1; break;
        case 1: ds.Last(); model = 40; break;
        case 2: case 3: {
          int d = int(random() % 21) - 10;
          int target = std::clamp(model + d, 1, 40);
          ASSERT_EQ(ds.MoveBy(d), target - model);
          model = target;
          break;
        }
        case 4: marks.emplace_back(ds.GetBookmark(), model); break;
        case 5:
          if (!marks.empty()) {
            auto& m = marks[random() % marks.size()];
            ds.GotoBookmark(m.first);
            model = m.second;
          }
          break;
      }
      ASSERT_EQ(Current(), model) << "step " << step;
      ASSERT_EQ(link.ActiveRecord() >= 0 && link.ActiveRecord() < rows, true);
    }
    // The window shows consecutive records around the current one.
    int active = link.ActiveRecord();
    for (int row = 0; row < link.RecordCount(); ++row) {
      link.SetActiveRecord(row);
      EXPECT_EQ(Current(), model - active + row);
    }
    link.SetActiveRecord(active);
    ds.Close();
  }
}

TEST_F(NavigationTest, BookmarksCompareAndGoBack) {
  Fill(10);
  ds.Open();
  ds.MoveBy(2);
  TBookmark third = ds.GetBookmark();
  ds.MoveBy(5);
  TBookmark eighth = ds.GetBookmark();
  EXPECT_EQ(ds.CompareBookmarks(third, eighth), -1);
  EXPECT_EQ(ds.CompareBookmarks(eighth, third), 1);
  EXPECT_EQ(ds.CompareBookmarks(third, third), 0);
  EXPECT_EQ(ds.CompareBookmarks({}, third), 1);
  EXPECT_EQ(ds.CompareBookmarks(third, {}), -1);
  EXPECT_EQ(ds.CompareBookmarks({}, {}), 0);
  ds.GotoBookmark(third);
  EXPECT_EQ(Current(), 3);
  EXPECT_TRUE(ds.BookmarkValid(eighth));
  ds.GotoBookmark(eighth);
  ds.Delete();
  EXPECT_FALSE(ds.BookmarkValid(eighth));
  EXPECT_THROW(ds.GotoBookmark(eighth), EDatabaseError);
  EXPECT_THROW(ds.GotoBookmark(TBookmark{1, 2}), EDatabaseError);  // wrong size
  EXPECT_EQ(Current(), 9);  // a refused bookmark leaves the data set on its record
}

TEST_F(NavigationTest, OpenAndCloseEventsAndFailedOpen) {
  Fill(3);
  std::vector<std::string> log;
  ds.BeforeOpen = [&](TDataSet&) { log.push_back("BeforeOpen"); };
  ds.AfterOpen = [&](TDataSet&) { log.push_back("AfterOpen"); };
  ds.AfterScroll = [&](TDataSet&) { log.push_back("AfterScroll"); };
  ds.BeforeClose = [&](TDataSet& d) { log.push_back(d.Active() ? "BeforeClose(active)" : "BeforeClose"); };
  ds.AfterClose = [&](TDataSet& d) { log.push_back(d.Active() ? "AfterClose(active)" : "AfterClose"); };
  ds.Open();
  ds.Open();  // nothing more
  ds.Close();
  ds.Close();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "AfterScroll",
                                           "BeforeClose(active)", "AfterClose"}));
  // A BeforeOpen that aborts leaves the data set closed.
  ds.BeforeOpen = [](TDataSet&) { Abort(); };
  EXPECT_THROW(ds.Open(), EAbort);
  EXPECT_FALSE(ds.Active());
  EXPECT_THROW(ds.First(), EDatabaseError);
  // Default fields live while open; field definitions stay.
  EXPECT_EQ(ds.FieldCount(), 0);
  EXPECT_EQ(ds.FieldDefs().Count(), 2);
}

// A persistent field whose definition is gone, or of another type, refuses to open and
// leaves the data set closed with its buffers freed.
TEST_F(NavigationTest, PersistentFieldsBindByNameOrRefuse) {
  Fill(2);
  auto& name = ds.AddField<TStringField>("Name", fkData, 3);
  ds.Open();
  EXPECT_EQ(name.Size(), 10);  // the record's size, not the one asked for
  EXPECT_EQ(name.AsString(), "r1");
  EXPECT_EQ(ds.FieldCount(), 1);
  EXPECT_THROW(ds.AddField<TIntegerField>("X", fkData), EDatabaseError);  // open
  ds.Close();
  EXPECT_EQ(ds.FieldCount(), 1);
  auto& missing = ds.AddField<TIntegerField>("Missing", fkData);
  EXPECT_THROW(ds.Open(), EDatabaseError);
  EXPECT_FALSE(ds.Active());
  ds.RemoveField(&missing);
  ds.AddField<TFloatField>("N", fkData);
  try {
    ds.Open();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Type mismatch for field 'N'");
  }
  EXPECT_THROW(ds.AddField<TIntegerField>("name", fkData), EDatabaseError);  // duplicate
}

}  // namespace
}  // namespace veldor::test
