// Filters and searches of the table component: the Filter text and OnFilterRecord as
// cursor filters, Locate through an index, a lookup cursor or a temporary filter, Lookup,
// and the find-record operations.
#include "tests/components/component_fixture.h"
#include "toolkit/number_fields.h"

namespace veldor::test {
namespace {

class Search : public ComponentTest {
 protected:
  void SetUp() override {
    ComponentTest::SetUp();
    SetApplicationExceptionHandler([this](const std::exception& e) { shown_.push_back(e.what()); });
  }
  void TearDown() override {
    SetApplicationExceptionHandler(nullptr);
    ComponentTest::TearDown();
  }
  std::vector<std::string> shown_;
};

TEST_F(Search, FilterTextRestrictsTheRecordsAndABadTextChangesNothing) {
  MakePeople();
  TVELDORTable& t = Table();
  t.SetFilterText("Amount >= 300");
  t.SetFiltered(true);
  t.Open();
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(t.RecordCount(), 3);

  ASSERT_TRUE(t.Locate("Id", 3, 0));
  EXPECT_EQ(EngineCodeOf([&] { t.SetFilterText("Amount >="); }), VELDOR_INVALIDFILTER);
  EXPECT_EQ(t.Filter(), "Amount >= 300");
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 3);
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(EngineCodeOf([&] { t.SetFilterText("Amount + 1"); }), VELDOR_INVALIDFILTER);

  // Partial comparison is on unless switched off; case-insensitive as asked.
  t.SetFilterText("Name = 'sm*'");
  EXPECT_EQ(Ids(t), (std::vector<int>{3}));
  t.SetFilterOptions(foCaseInsensitive);
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 3}));
  t.SetFilterOptions(foCaseInsensitive | foNoPartialCompare);
  EXPECT_TRUE(t.IsEmpty());

  t.SetFiltered(false);
  EXPECT_EQ(t.RecordCount(), 5);
  t.SetFilterText("");
  t.SetFiltered(true);
  EXPECT_EQ(t.RecordCount(), 5);
}

TEST_F(Search, FilteredTrueMovesToTheFirstAcceptedRecord) {
  MakePeople();
  TVELDORTable& t = Table();
  t.SetFilterText("Amount > 150");
  t.Open();
  ASSERT_TRUE(t.Locate("Id", 2, 0));  // Amount 100: refused by the filter
  t.SetFiltered(true);
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 1);
  t.Last();
  t.SetFiltered(true);  // already on: it still goes to the first
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 1);
  EXPECT_TRUE(t.Bof());
}

TEST_F(Search, OnFilterRecordAndAnErrorInsideIt) {
  MakePeople();
  TVELDORTable& t = Table();
  t.SetFilterText("Amount < 500");
  t.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName("Id").AsInteger() % 2 == 0; });
  t.SetFiltered(true);
  t.Open();
  // The expression runs first; the handler sees only what it accepted.
  EXPECT_EQ(Ids(t), (std::vector<int>{2, 4}));

  // A handler failing before it touches Accept accepts the record, and the error is shown.
  int calls = 0;
  t.SetOnFilterRecord([&](TDataSet& d, bool&) {
    ++calls;
    if (d.FieldByName("Id").AsInteger() == 4) throw EDatabaseError("handler failed on 4");
  });
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 2, 4, 5}));
  EXPECT_GT(calls, 0);
  ASSERT_FALSE(shown_.empty());
  EXPECT_EQ(shown_.front(), "handler failed on 4");

  // One that cleared Accept first refuses it.
  t.SetOnFilterRecord([](TDataSet& d, bool& accept) {
    accept = d.FieldByName("Id").AsInteger() != 1;
    if (!accept) throw EDatabaseError("refused and failed");
  });
  EXPECT_EQ(Ids(t), (std::vector<int>{2, 4, 5}));

  t.SetOnFilterRecord(nullptr);
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 2, 4, 5}));
}

TEST_F(Search, LocateThroughTheCurrentIndexOrALookupCursor) {
  MakePeople();
  TVELDORTable& t = Table();
  t.Open();
  // The primary index serves Id.
  EXPECT_TRUE(t.Locate("Id", 4, 0));
  EXPECT_EQ(t.FieldByName("Name").AsString(), "Brown");
  EXPECT_FALSE(t.Locate("Id", 42, 0));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 4);  // no match: the position stays

  // ByName (case-insensitive) serves a case-insensitive search on Name, through a clone.
  EXPECT_TRUE(t.Locate("Name", "JONES", loCaseInsensitive));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 2);
  EXPECT_EQ(t.IndexName(), "");
  EXPECT_TRUE(t.Locate("Name", "sm", loCaseInsensitive | loPartialKey));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 3);  // "smalley" sorts before "Smith" in ByName
  EXPECT_TRUE(t.Locate("Name", "smi*", loCaseInsensitive | loPartialKey));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 1);
  EXPECT_FALSE(t.Locate("Name", "smz", loCaseInsensitive | loPartialKey));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 1);

  // An index on the current order itself: ByAmount.
  t.SetIndexName("ByAmount");
  EXPECT_TRUE(t.Locate("Amount", 200, 0));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 4);
  t.Next();
  EXPECT_EQ(t.FieldByName("Amount").AsInteger(), 300);
}

TEST_F(Search, LocateWithoutAFittingIndexScansWithATemporaryFilter) {
  MakePeople();
  TVELDORTable& t = Table();
  t.Open();
  // Name with case counting has no index (ByName ignores case).
  EXPECT_TRUE(t.Locate("Name", "Sm*", loPartialKey));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 1);
  ASSERT_TRUE(t.Locate("Id", 5, 0));
  EXPECT_TRUE(t.Locate("Name", "Sm", loPartialKey));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 1);
  EXPECT_TRUE(t.Locate("Name", "sm", loPartialKey));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 3);
  EXPECT_FALSE(t.Locate("Name", "Sm", 0));  // whole value without partial key
  EXPECT_TRUE(t.Locate("Name", "smalley", 0));
  // An empty string looks for NULL, as a null value does.
  EXPECT_TRUE(t.Locate("Name", "", 0));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 5);
  ASSERT_TRUE(t.Locate("Id", 1, 0));
  EXPECT_TRUE(t.Locate("Name", TVariant(), 0));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 5);
  // Several fields, one of them not a string.
  EXPECT_TRUE(t.Locate("Amount;Name", TVariant(std::vector<TVariant>{200, "Brown"}), 0));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 4);
  EXPECT_FALSE(t.Locate("Amount;Name", TVariant(std::vector<TVariant>{200, "Jones"}), 0));
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 4);
  // The temporary filter is gone afterwards, and a filtered data set stays filtered.
  EXPECT_EQ(t.Handle()->FilterCount(), 0u);
  t.SetFilterText("Amount > 250");
  t.SetFiltered(true);
  EXPECT_FALSE(t.Locate("Name", "Brown", 0));
  EXPECT_TRUE(t.Locate("Name", "smalley", 0));
  EXPECT_EQ(t.RecordCount(), 3);
}

TEST_F(Search, LocateRefusesFieldsTheCursorDoesNotHave) {
  MakePeople();
  TVELDORTable& t = Table();
  TIntegerField& twice = t.AddField<TIntegerField>("Twice", fkCalculated);
  t.AddField<TIntegerField>("Id", fkData);
  t.AddField<TIntegerField>("Amount", fkData);
  t.OnCalcFields = [&](TDataSet& d) { twice.SetAsInteger(d.FieldByName("Amount").AsInteger() * 2); };
  t.Open();
  EXPECT_EQ(DatabaseMessageOf([&] { t.Locate("Twice", 400, 0); }), "Field 'Twice' not found");
  EXPECT_EQ(DatabaseMessageOf([&] { t.Locate("Nothing", 400, 0); }), "Field 'Nothing' not found");
  // Lookup returns calculated values of the record it finds.
  EXPECT_EQ(t.Lookup("Id", 4, "Twice").AsInteger(), 400);
}

TEST_F(Search, LookupLeavesThePositionAlone) {
  MakePeople();
  TVELDORTable& t = Table();
  t.Open();
  ASSERT_TRUE(t.Locate("Id", 2, 0));
  EXPECT_EQ(t.Lookup("Id", 3, "Name").AsString(), "smalley");
  EXPECT_EQ(t.Lookup("Name", "Brown", "Id;Amount"), TVariant(std::vector<TVariant>{int64_t(4), int64_t(200)}));
  EXPECT_TRUE(t.Lookup("Id", 99, "Name").IsNull());
  EXPECT_TRUE(t.Lookup("Id", 5, "Name").IsNull());  // found, but the value is null
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 2);
  t.Next();
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 3);
}

TEST_F(Search, FindRecordAppliesTheFilterForOneSearch) {
  MakePeople();
  TVELDORTable& t = Table();
  t.SetFilterText("Amount >= 300");
  t.Open();
  EXPECT_EQ(t.RecordCount(), 5);
  EXPECT_TRUE(t.FindFirst());
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 1);
  // From Id 2 (refused) the next accepted one is 3, not the one after it.
  ASSERT_TRUE(t.Locate("Id", 2, 0));
  EXPECT_TRUE(t.FindNext());
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 3);
  EXPECT_TRUE(t.FindNext());
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 5);
  EXPECT_FALSE(t.FindNext());
  EXPECT_FALSE(t.Found());
  EXPECT_TRUE(t.FindPrior());
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 3);
  EXPECT_TRUE(t.FindLast());
  EXPECT_EQ(t.FieldByName("Id").AsInteger(), 5);
  // The filter was for the searches only.
  EXPECT_FALSE(t.Filtered());
  EXPECT_EQ(t.RecordCount(), 5);
  EXPECT_EQ(Ids(t), (std::vector<int>{1, 2, 3, 4, 5}));
}

}  // namespace
}  // namespace veldor::test
