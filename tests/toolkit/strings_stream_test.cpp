// Line lists and byte streams.
#include <gtest/gtest.h>

#include "toolkit/stream.h"
#include "toolkit/strings.h"

namespace veldor {
namespace {

TEST(StringsTest, TextSplitsAtEveryLineBreakAndChangesAreReported) {
  TStringList list;
  int changing = 0, changed = 0;
  list.OnChanging = [&](TStringList&) { ++changing; };
  list.OnChange = [&](TStringList&) { ++changed; };
  list.SetText("select *\r\nfrom t\rwhere a = 1\n");
  EXPECT_EQ(list.Lines(), (std::vector<std::string>{"select *", "from t", "where a = 1"}));
  EXPECT_EQ(list.Text(), "select *\nfrom t\nwhere a = 1\n");
  list.SetText("a\n\nb");
  EXPECT_EQ(list.Count(), 3);
  EXPECT_EQ(changed, 2);
  list.BeginUpdate();
  list.Add("c");
  list.Delete(0);
  list.Insert(0, "z");
  list.Put(1, "y");
  list.EndUpdate();
  EXPECT_EQ(changing, 3);
  EXPECT_EQ(changed, 3);
  EXPECT_EQ(list.Lines(), (std::vector<std::string>{"z", "y", "b", "c"}));
  EXPECT_EQ(list.IndexOf("b"), 2);
  EXPECT_THROW(list.Delete(4), std::out_of_range);
  EXPECT_THROW(list.Insert(5, "x"), std::out_of_range);
  TStringList copy;
  copy.Assign(list);
  EXPECT_TRUE(copy.Equals(list));
  list.Clear();
  EXPECT_EQ(list.Text(), "");
}

TEST(MemoryStreamTest, ReadsWritesSeeksAndRefusesWhatItCannot) {
  TMemoryStream s;
  s.WriteBuffer("hello", 5);
  EXPECT_EQ(s.Size(), 5);
  EXPECT_EQ(s.Position(), 5);
  s.Seek(2, soBeginning);
  char out[8] = {};
  EXPECT_EQ(s.Read(out, 8), 3);  // what remains
  EXPECT_STREQ(out, "llo");
  EXPECT_EQ(s.Read(out, 8), 0);
  EXPECT_THROW(s.ReadBuffer(out, 1), EStreamError);
  EXPECT_THROW(s.Seek(-6, soEnd), EStreamError);
  EXPECT_EQ(s.Position(), 5);  // a refused seek moves nothing
  EXPECT_THROW(s.Seek(INT64_MAX, soCurrent), EStreamError);
  s.Seek(2, soEnd);  // past the end: a write fills the gap with zeros
  s.WriteBuffer("!", 1);
  EXPECT_EQ(s.Data(), (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o', 0, 0, '!'}));
  s.SetSize(2);
  EXPECT_EQ(s.Position(), 2);
  EXPECT_THROW(s.SetSize(-1), EStreamError);
  TMemoryStream copy;
  EXPECT_EQ(copy.CopyFrom(s, 0), 2);
  EXPECT_EQ(copy.Data(), (std::vector<uint8_t>{'h', 'e'}));
  s.SetPosition(0);
  EXPECT_THROW(copy.CopyFrom(s, 3), EStreamError);
  s.SetPosition(1);
  EXPECT_EQ(s.ReadRest(), (std::vector<uint8_t>{'e'}));
}

}  // namespace
}  // namespace veldor
