// Field and index definitions: names, duplicates, and the lookup of an index by its fields.
#include <gtest/gtest.h>

#include "toolkit/field_defs.h"
#include "toolkit/fields.h"
#include "toolkit/index_defs.h"

namespace veldor {
namespace {

TEST(FieldDefsTest, NamesAreUniqueWithoutRegardToCase) {
  TFieldDefs defs;
  defs.Add("Name", ftString, 20, true);
  TFieldDef& amount = defs.Add("Amount", ftBCD, 2);
  EXPECT_EQ(amount.FieldNo, 2);
  EXPECT_EQ(amount.Precision, 32);
  EXPECT_THROW(defs.Add("NAME", ftInteger), EDatabaseError);
  EXPECT_THROW(defs.Add("", ftInteger), EDatabaseError);
  EXPECT_EQ(defs.IndexOf("amount"), 1);
  EXPECT_THROW(defs.FieldDefByName("missing"), EDatabaseError);
  std::unique_ptr<TField> field = defs.FieldDefByName("name").CreateField();
  EXPECT_EQ(field->FieldName(), "Name");
  EXPECT_EQ(field->Size(), 20);
  EXPECT_TRUE(field->Required());
}

TEST(IndexDefsTest, TheIndexThatCoversTheFields) {
  TIndexDefs defs;
  defs.Add("", "Id", ixPrimary | ixUnique);
  defs.Add("ByNameCity", "Name;City", 0);
  defs.Add("ByName", "Name", ixCaseInsensitive);
  defs.Add("ByCityName", "City ; Name", 0);
  EXPECT_THROW(defs.Add("byname", "Id", 0), EDatabaseError);

  struct TCase {
    const char* Fields;
    int CaseInsensitive;
    const char* Expected;  // nullptr: none
  } cases[] = {
      {"Name", -1, "ByName"},          // on exactly these fields before a longer one
      {"name", 0, "ByNameCity"},       // the case condition skips ByName
      {"Name;City", -1, "ByNameCity"},
      {"CITY", -1, "ByCityName"},      // a prefix covers
      {"City;Name", -1, "ByCityName"},
      {"Id", -1, ""},
      {"Name;Id", -1, nullptr},
      {"City;Id", -1, nullptr},
      {"", -1, nullptr},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Fields);
    TIndexDef* found = defs.GetIndexForFields(c.Fields, c.CaseInsensitive);
    EXPECT_EQ(found ? found->Name : "(none)", c.Expected ? c.Expected : "(none)");
  }
  EXPECT_EQ(defs.FindIndexForFields("City").Name, "ByCityName");
  try {
    defs.FindIndexForFields("Name;Id");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "No index for fields 'Name;Id'");
  }
  EXPECT_THROW(defs.IndexByName("Nope"), EDatabaseError);
  EXPECT_EQ(SplitFieldNames(" a ;; b;"), (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace veldor
