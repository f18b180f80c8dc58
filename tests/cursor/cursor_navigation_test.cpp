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
