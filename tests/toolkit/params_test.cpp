// Query parameters: the ":name" parser and the values parameters hand on.
#include <gtest/gtest.h>

#include <cstring>

#include "lib/code_page.h"
#include "lib/date_time.h"
#include "toolkit/params.h"

namespace veldor {
namespace {

struct TParseCase {
  const char* Sql;
  const char* Processed;
  std::vector<std::string> Names;
};

TEST(ParamsTest, MarkersBecomeQuestionMarksOnePerOccurrence) {
  const TParseCase cases[] = {
      {"select * from t where a = :x", "select * from t where a = ?", {"x"}},
      {"a=:x and b=:y_2 or c=:x", "a=? and b=? or c=?", {"x", "y_2", "x"}},
      {"a = ':x' and b = \":y\" and [c:d] = :z", "a = ':x' and b = \":y\" and [c:d] = ?", {"z"}},
      {"a = 'it''s :no' and b = :yes", "a = 'it''s :no' and b = ?", {"yes"}},
      {"/* :skip */ a = :k /* :skip2 */", "/* :skip */ a = ? /* :skip2 */", {"k"}},
      {"t = '12:30' and u = :1", "t = '12:30' and u = ?", {"1"}},
      {"a::b and c = :Grüße", "a:b and c = ?", {"Grüße"}},
      {"ends with :", "ends with :", {}},
      {": x", ": x", {}},
      {"", "", {}},
  };
  for (const TParseCase& c : cases) {
    SCOPED_TRACE(c.Sql);
    TParams params;
    EXPECT_EQ(params.ParseSQL(c.Sql, true), c.Processed);
    ASSERT_EQ(params.Count(), int(c.Names.size()));
    for (size_t i = 0; i < c.Names.size(); ++i) {
      EXPECT_EQ(params[int(i)].Name(), c.Names[i]);
      EXPECT_EQ(params[int(i)].DataType(), ftUnknown);
      EXPECT_EQ(params[int(i)].ParamType(), ptInput);
    }
    TParams untouched;
    untouched.ParseSQL(c.Sql, false);
    EXPECT_EQ(untouched.Count(), 0);
  }
}

TEST(ParamsTest, UnclosedQuotesBracketsAndCommentsAreClearErrors) {
  for (const char* sql : {"a = 'open :x", "a = \"open", "[open :x", "/* open :x", "a = :x and 'b"}) {
    SCOPED_TRACE(sql);
    TParams params;
    EXPECT_THROW(params.ParseSQL(sql, true), EDatabaseError);
    EXPECT_EQ(params.Count(), 0);  // nothing half made
  }
  try {
    TParams params;
    params.ParseSQL("select 'x", true);
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "A quoted string starting at character 8 of the SQL text is not closed");
  }
  // A long text with many markers: linear, no recursion.
  std::string big;
  for (int i = 0; i < 100000; ++i) big += ":p" + std::to_string(i % 10) + " + ";
  TParams many;
  EXPECT_EQ(many.ParseSQL(big, true).size(), big.size() - 100000 * 2);
  EXPECT_EQ(many.Count(), 100000);
}

TEST(ParamsTest, ValuesTypesAndNativeData) {
  TParams params;
  params.ParseSQL(":s :i :f :d :b :blob :dec :c", true);
  params.ParamByName("S").SetAsString("Köln");
  params.ParamByName("i").SetValue(TVariant(int64_t(5000000000)));
  params.ParamByName("f").SetAsFloat(0.25);
  params.ParamByName("d").SetAsDate(MakeTimestamp(EncodeDate(1900, 1, 1), 0));
  params.ParamByName("b").SetAsBoolean(true);
  params.ParamByName("blob").SetAsBlob({1, 2, 3});
  params.ParamByName("dec").SetAsBCD("-1.5");
  EXPECT_EQ(params.ParamByName("i").DataType(), ftLargeint);
  EXPECT_TRUE(params.ParamByName("s").Bound());
  EXPECT_FALSE(params.ParamByName("c").Bound());
  EXPECT_EQ(params.ParamByName("c").GetDataSize(), 0);

  char text[8];
  EXPECT_EQ(params[0].GetDataSize(), 5);
  params[0].GetData(text);
  EXPECT_STREQ(text, "K\xF6ln");  // Windows-1252 with its NUL
  int64_t big;
  params[1].GetData(&big);
  EXPECT_EQ(big, 5000000000);
  int32_t day;
  EXPECT_EQ(params[3].GetDataSize(), 4);
  params[3].GetData(&day);
  EXPECT_EQ(day, 693596);
  uint16_t flag;
  params[4].GetData(&flag);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(params[5].GetDataSize(), 3);
  uint8_t bcd[34];
  params[6].GetData(bcd);
  EXPECT_EQ(bcd[1], 0x80 | 4);  // four decimals
  EXPECT_THROW(params[6].SetAsBCD("x"), EConvertError);

  try {
    params[0].SetAsString("Жуков");
    FAIL();
  } catch (const ECodePageError& e) {
    EXPECT_NE(std::string(e.what()).find("Parameter 's'"), std::string::npos);
  }
  EXPECT_EQ(params[0].AsString(), "Köln");  // unchanged
  EXPECT_THROW(params.ParamByName("nope"), EDatabaseError);
}

TEST(ParamsTest, AssignValuesCopiesSameNamedParameters) {
  TParams old;
  old.ParseSQL(":a :b", true);
  old[0].SetAsInteger(1);
  old[1].SetAsString("two");
  TParams fresh;
  EXPECT_EQ(fresh.ParseSQL(":b :c :A", true), "? ? ?");
  fresh.AssignValues(old);
  EXPECT_EQ(fresh[0].AsString(), "two");
  EXPECT_TRUE(fresh[1].IsNull());
  EXPECT_EQ(fresh[2].AsInteger(), 1);
  EXPECT_EQ(fresh[2].DataType(), ftInteger);
  EXPECT_EQ(fresh[2].Name(), "A");
}

}  // namespace
}  // namespace veldor
