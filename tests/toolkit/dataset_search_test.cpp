// Filters, Locate, Lookup, lookup fields and the find-record operations.
#include <gtest/gtest.h>

#include "tests/toolkit/memory_dataset.h"

namespace veldor::test {
namespace {

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ds.DefineField("N", ftInteger);
    ds.DefineField("Name", ftString, 12);
    ds.DefineField("City", ftString, 12);
    ds.AddRow({"1", "Jones", "Leeds"});
    ds.AddRow({"2", "Smith", "York"});
    ds.AddRow({"3", "smythe", "Leeds"});
    ds.AddRow({"4", "", "York"});
    ds.AddRow({"5", "Smith", "Leeds"});
  }
  int N() { return ds.FieldByName("N").AsInteger(); }
  std::vector<int> Visible() {
    std::vector<int> out;
    for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(N());
    return out;
  }

  TMemoryDataSet ds;
};

TEST_F(SearchTest, FilteredShowsAcceptedRecordsAndAlwaysGoesFirst) {
  ds.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName("City").AsString() == "York"; });
  ds.Open();
  EXPECT_EQ(Visible(), (std::vector<int>{1, 2, 3, 4, 5}));  // not filtered yet
  ds.SetFiltered(true);
  EXPECT_EQ(N(), 2);
  EXPECT_EQ(Visible(), (std::vector<int>{2, 4}));
  EXPECT_EQ(ds.RecordCount(), 2);
  ds.Last();
  ds.SetFiltered(true);  // already set: still goes to the first accepted record
  EXPECT_EQ(N(), 2);
  // A new handler applies at once while filtered.
  ds.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName("N").AsInteger() > 3; });
  EXPECT_EQ(N(), 4);
  ds.SetFiltered(false);
  EXPECT_EQ(N(), 1);
  EXPECT_EQ(ds.RecordCount(), 5);
}

// A handler that raises before touching Accept accepts the record, and the error is
// shown through the application's display, not raised.
TEST_F(SearchTest, AnErrorInTheFilterHandlerIsShownAndTheRecordAccepted) {
  std::vector<std::string> shown;
  SetApplicationExceptionHandler([&](const std::exception& e) { shown.push_back(e.what()); });
  ds.SetOnFilterRecord([](TDataSet& d, bool& accept) {
    if (d.FieldByName("N").AsInteger() == 3) throw EDatabaseError("handler failed");
    if (d.FieldByName("N").AsInteger() == 4) {
      accept = false;
      throw EDatabaseError("after clearing");
    }
    accept = d.FieldByName("N").AsInteger() == 1;
  });
  ds.SetFiltered(true);
  ds.Open();
  EXPECT_EQ(Visible(), (std::vector<int>{1, 3}));
  EXPECT_FALSE(shown.empty());
  EXPECT_EQ(shown[0], "handler failed");
  EXPECT_EQ(shown[1], "after clearing");
  SetApplicationExceptionHandler(nullptr);
}

struct TLocateCase {
  const char* Fields;
  TVariant Values;
  TLocateOptions Options;
  int Expected;  // 0: not found
};

TEST_F(SearchTest, LocateFindsTheFirstMatchOrStays) {
  const TLocateCase cases[] = {
      {"Name", TVariant("Smith"), 0, 2},
      {"name", TVariant("SMITH"), 0, 0},
      {"Name", TVariant("SMITH"), loCaseInsensitive, 2},
      {"Name", TVariant("Sm*"), loPartialKey, 2},
      {"Name", TVariant("Sm"), loPartialKey, 2},
      {"Name", TVariant("sm"), loPartialKey, 3},
      {"Name", TVariant("sm"), loPartialKey | loCaseInsensitive, 2},
      {"Name", TVariant("Sm"), 0, 0},
      {"Name", TVariant(""), 0, 4},  // an empty text looks for a null field
      {"Name", TVariant(), 0, 4},
      {"Name;City", TVariant(std::vector<TVariant>{"Smith", "Leeds"}), 0, 5},
      {"N", TVariant(3), 0, 3},
      {"N", TVariant(3.0), 0, 3},
      {"N", TVariant("5"), 0, 5},
      {"N", TVariant(3.5), 0, 0},
      {"N", TVariant(std::vector<TVariant>{TVariant(4)}), 0, 4},
      {"City", TVariant("Жуков"), 0, 0},  // no record can hold it
  };
  ds.Open();
  for (const TLocateCase& c : cases) {
    SCOPED_TRACE("case " + std::to_string(&c - cases));
    ds.Last();
    bool found = ds.Locate(c.Fields, c.Values, c.Options);
    EXPECT_EQ(found, c.Expected != 0);
    EXPECT_EQ(N(), c.Expected != 0 ? c.Expected : 5);
  }
  EXPECT_THROW(ds.Locate("Nope", TVariant(1), 0), EDatabaseError);
  EXPECT_THROW(ds.Locate("N;Name", TVariant(1), 0), EDatabaseError);  // one value, two fields
}

TEST_F(SearchTest, LocateScrollsOnlyWhenFoundAndHonoursTheFilter) {
  int before = 0, after = 0;
  ds.BeforeScroll = [&](TDataSet&) { ++before; };
  ds.AfterScroll = [&](TDataSet&) { ++after; };
  ds.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName("City").AsString() == "Leeds"; });
  ds.SetFiltered(true);
  ds.Open();
  before = after = 0;
  EXPECT_FALSE(ds.Locate("N", TVariant(2), 0));  // filtered out
  EXPECT_EQ(after, 0);
  EXPECT_TRUE(ds.Locate("N", TVariant(5), 0));
  EXPECT_EQ(after, 1);
  EXPECT_EQ(N(), 5);
  ds.Prior();  // the ring was refilled around the found record
  EXPECT_EQ(N(), 3);
}

TEST_F(SearchTest, LookupAnswersWithoutMoving) {
  ds.Open();
  ds.Next();
  EXPECT_EQ(ds.Lookup("N", TVariant(3), "Name"), TVariant("smythe"));
  EXPECT_EQ(ds.Lookup("Name;City", TVariant(std::vector<TVariant>{"Smith", "Leeds"}), "N;City"),
            TVariant(std::vector<TVariant>{TVariant(int64_t(5)), TVariant("Leeds")}));
  EXPECT_TRUE(ds.Lookup("N", TVariant(42), "Name").IsNull());
  EXPECT_EQ(N(), 2);
  ds.Next();
  EXPECT_EQ(N(), 3);
}

// A lookup field takes its value from another data set by key, follows the key while
// editing, and is null for a record without a key.
TEST_F(SearchTest, LookupFieldsFollowTheirKey) {
  TMemoryDataSet orders;
  orders.DefineField("Customer", ftInteger);
  orders.DefineField("Item", ftString, 10);
  orders.AddRow({"2", "pen"});
  orders.AddRow({"9", "ink"});
  orders.AddRow({"", "cap"});
  orders.AddField<TIntegerField>("Customer", fkData);
  auto& name = orders.AddField<TStringField>("CustomerName", fkLookup, 12);
  name.KeyFields = "Customer";
  name.LookupKeyFields = "N";
  name.LookupResultField = "Name";
  EXPECT_THROW(orders.Open(), EDatabaseError);  // no lookup data set: incomplete
  name.SetLookupDataSet(&ds);
  EXPECT_THROW(name.SetLookupDataSet(&orders), EDatabaseError);  // its own data set
  ds.Open();
  orders.Open();
  EXPECT_EQ(name.AsString(), "Smith");
  orders.Next();
  EXPECT_TRUE(name.IsNull());  // no customer 9
  orders.Next();
  EXPECT_TRUE(name.IsNull());  // no key
  orders.First();
  orders.Edit();
  orders.FieldByName("Customer").SetAsInteger(3);
  EXPECT_EQ(name.AsString(), "smythe");
  orders.Cancel();
  EXPECT_EQ(ds.FieldByName("N").AsInteger(), 1);  // the lookup data set did not move
  orders.Close();
  // A lookup data set that is destroyed is forgotten.
  {
    TMemoryDataSet shortLived;
    name.SetLookupDataSet(&shortLived);
  }
  EXPECT_EQ(name.LookupDataSet(), nullptr);
}

TEST_F(SearchTest, FindRecordAppliesTheFilterForTheSearchAlone) {
  ds.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName("City").AsString() == "York"; });
  ds.Open();
  EXPECT_TRUE(ds.FindFirst());
  EXPECT_EQ(N(), 2);
  EXPECT_TRUE(ds.FindNext());
  EXPECT_EQ(N(), 4);
  EXPECT_FALSE(ds.FindNext());
  EXPECT_FALSE(ds.Found());
  EXPECT_EQ(N(), 4);
  EXPECT_TRUE(ds.FindLast());
  EXPECT_EQ(N(), 4);
  EXPECT_TRUE(ds.FindPrior());
  EXPECT_EQ(N(), 2);
  // The data set itself stays unfiltered.
  EXPECT_EQ(Visible(), (std::vector<int>{1, 2, 3, 4, 5}));
}

TEST_F(SearchTest, FilterSettersOnAClosedDataSetOnlyStore) {
  ds.SetFilterText("City = 'York'");
  ds.SetFilterOptions(foCaseInsensitive | foNoPartialCompare);
  ds.SetFiltered(true);
  EXPECT_EQ(ds.Filter(), "City = 'York'");
  EXPECT_EQ(ds.FilterOptions(), foCaseInsensitive | foNoPartialCompare);
  EXPECT_TRUE(ds.Filtered());
  EXPECT_FALSE(ds.Active());
}

}  // namespace
}  // namespace veldor::test
