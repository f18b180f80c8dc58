#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

// Customers: Id (primary), Country string(20), Year integer, City string(20); "ByCountry"
// on Country; "ByYear" on Year only when asked.
class FilterTest : public CursorTest {
 protected:
  static TTableDefinition Customers(bool yearIndex, bool countryIndex = true) {
    TTableDefinition d;
    d.Fields = {MakeField(1, "Id", FIELD_INTEGER), MakeField(2, "Country", FIELD_STRING, 20),
                MakeField(3, "Year", FIELD_INTEGER), MakeField(4, "City", FIELD_STRING, 20)};
    PrepareFieldDefinitions(d.Fields, "t");
    d.Indexes = {PrimaryKeyOn(1)};
    if (countryIndex) d.Indexes.push_back(Index("ByCountry", {2}, false));
    if (yearIndex) d.Indexes.push_back(Index("ByYear", {3}, false));
    return d;
  }

  // `count` customers (40 unless asked): Spain for every fourth, years 1980 + (i mod 20),
  // Year NULL for i mod 10 = 0.
  TDataCursor& Filled(bool yearIndex, bool countryIndex = true, int count = 40) {
    MakeTable("customers", Customers(yearIndex, countryIndex));
    TDataCursor& c = OpenCursor("customers");
    for (int i = 1; i <= count; ++i) {
      std::vector<uint8_t> image = Blank(c);
      PutInt(c, image, "Id", i);
      PutText(c, image, "Country", i % 4 == 0 ? "Spain" : i % 4 == 1 ? "France" : "Italy");
      if (i % 10 != 0) PutInt(c, image, "Year", 1980 + i % 20);
      PutText(c, image, "City", "C" + std::to_string(i));
      c.AppendRecord(image.data());
    }
    return c;
  }

  // How many records `body` fetched from the data file (from its cache or the disk),
  // without the one load of the record the cursor stands on afterwards.
  static uint64_t RecordReads(TDataCursor& c, const std::function<void()>& body) {
    TDataFile& data = c.Table()->DataFile();
    data.DropCache();
    data.ResetStatistics();
    body();
    // Asked first: a cursor whose new position waited takes it now, reading that record.
    const int32_t current = c.CurrentRecordNumber();
    uint64_t fetches = data.Statistics().Fetches;
    return current != 0 ? fetches - 1 : fetches;
  }

  // The Ids that `text` accepts, evaluated here record by record.
  static std::vector<int32_t> Expected(const std::function<bool(int)>& accept) {
    std::vector<int32_t> out;
    for (int i = 1; i <= 40; ++i)
      if (accept(i)) out.push_back(i);
    return out;
  }
  static bool Spain(int i) { return i % 4 == 0; }
  static bool HasYear(int i) { return i % 10 != 0; }
  static int Year(int i) { return 1980 + i % 20; }

  static TFilter* Active(TDataCursor& c, const char* text, bool estimate = false) {
    TFilter* f = c.AddFilter(nullptr, text, false, false, estimate, false);
    c.ActivateFilter(f);
    return f;
  }
};

TEST_F(FilterTest, IndexedEqualityReadsNoRecords) {
  TDataCursor& c = Filled(false);
  uint64_t reads = RecordReads(c, [&] { Active(c, "Country = 'Spain'"); });
  EXPECT_EQ(reads, 0u);
  EXPECT_EQ(c.GetRecordCount(), 10);
  EXPECT_EQ(c.FilterAt(0)->OptimizeLevel, kOptimizeFull);
  EXPECT_EQ(Ids(c), Expected(Spain));
}

// A filter one index answers alone counts from the index and builds its bitmaps and the new
// position when the cursor is next used: whatever is asked first, the cursor must answer as
// one whose filter was built at once (here: the same selection written as a nest, which is
// always built at once).
TEST_F(FilterTest, ACountedFilterActsAsIfBuiltAtOnce) {
  struct TState {
    int64_t Count, RecNo;
    bool Bof, Eof;
    int32_t Current;
    std::vector<uint8_t> Buffer;
    std::vector<int32_t> Walk;
    bool operator==(const TState&) const = default;
  };
  auto observe = [&](TDataCursor& c, bool countFirst) {
    TState s{};
    if (countFirst) s.Count = c.GetRecordCount();
    s.Bof = c.Bof();
    s.Eof = c.Eof();
    s.RecNo = c.GetRecNo();
    s.Current = c.CurrentRecordNumber();
    s.Buffer.assign(c.RecordBuffer(), c.RecordBuffer() + c.RecordSize());
    if (!countFirst) s.Count = c.GetRecordCount();
    s.Walk = Ids(c);
    return s;
  };
  TDataCursor& writer = Filled(true);
  struct TCase {
    const char* Name;
    const char* Filter;
    int64_t StartAt;    // record number to stand on first, 0: a fresh cursor
    bool SiblingWrites;  // a sibling appends a selected record between activation and use
    bool CountFirst;
  };
  for (const TCase& k : {TCase{"fresh", "Year > 1990", 0, false, true},
                         TCase{"standing on a record", "Year > 1990", 13, false, true},
                         TCase{"position asked first", "Year >= 1985", 7, false, false},
                         TCase{"sibling writes", "Year > 1990", 0, true, true},
                         TCase{"nothing selected", "Year > 3000", 5, false, true}}) {
    SCOPED_TRACE(k.Name);
    std::vector<TState> states;
    for (const std::string& text : {std::string(k.Filter), "(" + std::string(k.Filter) + ") AND (" + k.Filter + ")"}) {
      TDataCursor& c = OpenCursor("customers");
      if (k.StartAt > 0) {
        c.SetToRecNo(k.StartAt);
        ASSERT_EQ(c.GetCurrentRecord(nullptr), 0);
      }
      TFilter* f = c.AddFilter(nullptr, text.c_str(), false, false, true, false);
      c.ActivateFilter(f);
      if (k.SiblingWrites) {
        std::vector<uint8_t> image = Blank(writer);
        PutInt(writer, image, "Id", 100 + int32_t(states.size()));
        PutText(writer, image, "Country", "Spain");
        PutInt(writer, image, "Year", 1995);
        writer.AppendRecord(image.data());
      }
      states.push_back(observe(c, k.CountFirst));
      c.Close();
    }
    if (k.SiblingWrites) {
      // Each cursor saw its own sibling's record (the second one both).
      EXPECT_EQ(states[0].Count + 1, states[1].Count);
      states[1].Walk.erase(std::remove(states[1].Walk.begin(), states[1].Walk.end(), 101), states[1].Walk.end());
      states[1].Count -= 1;
    }
    EXPECT_TRUE(states[0] == states[1]) << "counts " << states[0].Count << " / " << states[1].Count
                                        << ", walks of " << states[0].Walk.size() << " / " << states[1].Walk.size();
    EXPECT_EQ(states[0].Count, int64_t(states[0].Walk.size()));
  }
}

// An open leaves the cursor before the first record without seeking it; whatever comes
// next, the cursor answers as one that took its first position at the open.
TEST_F(FilterTest, AFreshCursorTakesItsFirstPositionWhenFirstNeeded) {
  TDataCursor& writer = Filled(true);
  {
    TDataFile& data = writer.Table()->DataFile();
    data.DropCache();
    data.ResetStatistics();
    TDataCursor& c = OpenCursor("customers");
    Active(c, "Year > 1990");
    EXPECT_EQ(c.GetRecordCount(), 18);
    EXPECT_EQ(data.Statistics().Fetches, 0u) << "an open, a filter and a count read no record";
    c.Close();
  }
  struct TState {
    bool Bof, Eof;
    int64_t RecNo, Count;
    int32_t Current;
    std::vector<uint8_t> Buffer;
    std::vector<int32_t> Walk;
    bool operator==(const TState&) const = default;
  };
  auto observe = [](TDataCursor& c) {
    TState s{c.Bof(), c.Eof(), c.GetRecNo(), c.GetRecordCount(), c.CurrentRecordNumber(), {}, {}};
    s.Buffer.assign(c.RecordBuffer(), c.RecordBuffer() + c.RecordSize());
    s.Walk = Ids(c);
    return s;
  };
  int32_t nextId = 0;  // a sibling's new record stands first: Ids below every other
  const std::vector<std::pair<const char*, std::function<void(TDataCursor&)>>> steps = {
      {"nothing", [](TDataCursor&) {}},
      {"a filter", [](TDataCursor& c) { Active(c, "Year > 1990"); }},
      {"a filter answered record by record", [](TDataCursor& c) { Active(c, "City <> 'C7'"); }},
      {"a sibling's append",
       [&](TDataCursor&) {
         std::vector<uint8_t> image = Blank(writer);
         PutInt(writer, image, "Id", --nextId);
         PutText(writer, image, "Country", "Spain");
         writer.AppendRecord(image.data());
       }},
      {"another index", [](TDataCursor& c) { c.SetIndexName("ByYear"); }},
  };
  for (const auto& [name, step] : steps) {
    SCOPED_TRACE(name);
    TDataCursor& pending = OpenCursor("customers");
    TDataCursor& begun = OpenCursor("customers");
    begun.SetToBegin();
    step(pending);
    // A change by another cursor comes before the first position is taken: the fresh
    // cursor stands before the table's first record as it is then.
    if (std::string(name) == "a sibling's append")
      begun.SetToBegin();
    else
      step(begun);
    const TState a = observe(pending), b = observe(begun);
    EXPECT_TRUE(a == b) << "bof " << a.Bof << "/" << b.Bof << " recno " << a.RecNo << "/" << b.RecNo
                        << " current " << a.Current << "/" << b.Current << " walks " << a.Walk.size()
                        << "/" << b.Walk.size();
    pending.Close();
    begun.Close();
  }
}

TEST_F(FilterTest, UnindexedEqualityReadsEveryLiveRecordOnce) {
  TDataCursor& c = Filled(false, false);
  c.SetToRecNo(2);
  c.DeleteRecord(c.RecordBuffer());
  uint64_t reads = RecordReads(c, [&] { Active(c, "Country = 'Spain'"); });
  EXPECT_EQ(reads, 39u);
  EXPECT_EQ(c.GetRecordCount(), 10);
}

TEST_F(FilterTest, AndScansOnlyTheIndexedSurvivors) {
  TDataCursor& c = Filled(true, false);
  // Year > 1990: years 1991..1999 -> i mod 20 in 11..19, i.e. 18 records (none NULL).
  uint64_t reads = RecordReads(c, [&] { Active(c, "Country = 'Spain' AND Year > 1990", true); });
  EXPECT_EQ(reads, 18u);
  EXPECT_EQ(c.FilterAt(0)->OptimizeLevel, kOptimizePartial);
  EXPECT_EQ(Ids(c), Expected([](int i) { return Spain(i) && HasYear(i) && Year(i) > 1990; }));
  c.DropFilter(nullptr);
  // Year <> 1985 selects 95 %: with the estimate flag the index is refused and every live
  // record is read once for both comparisons.
  reads = RecordReads(c, [&] { Active(c, "Country = 'Spain' AND Year <> 1985", true); });
  EXPECT_EQ(reads, 40u);
  EXPECT_EQ(c.FilterAt(0)->OptimizeLevel, kOptimizeNone);
  EXPECT_EQ(Ids(c), Expected([](int i) { return Spain(i) && (!HasYear(i) || Year(i) != 1985); }));
  // Without the flag the index answers it.
  c.DropFilter(nullptr);
  reads = RecordReads(c, [&] { Active(c, "Country = 'Spain' AND Year <> 1985", false); });
  EXPECT_EQ(reads, 38u);  // the survivors of the indexed side
}

TEST_F(FilterTest, ConstantOnTheLeftIsTurnedAroundOnlyAtTheRoot) {
  TDataCursor& c = Filled(true);
  TFilter* f = Active(c, "'Spain' = Country");
  EXPECT_EQ(f->OptimizeLevel, kOptimizeFull);
  EXPECT_EQ(Ids(c), Expected(Spain));
  c.DropFilter(f);
  f = Active(c, "Year > 1995 AND 'Spain' = Country");
  EXPECT_EQ(f->OptimizeLevel, kOptimizePartial);
  EXPECT_EQ(f->Expression->Left->OptimizeLevel, kOptimizeFull);  // the indexed side first
  EXPECT_EQ(Ids(c), Expected([](int i) { return Spain(i) && HasYear(i) && Year(i) > 1995; }));
}

TEST_F(FilterTest, NotEqualAcceptsNullsAndOrderingNever) {
  TDataCursor& c = Filled(true);
  Active(c, "Year <> 1990");
  EXPECT_EQ(Ids(c), Expected([](int i) { return !HasYear(i) || Year(i) != 1990; }));
  c.DropFilter(nullptr);
  Active(c, "Year > 1990");
  EXPECT_EQ(Ids(c), Expected([](int i) { return HasYear(i) && Year(i) > 1990; }));
  c.DropFilter(nullptr);
  Active(c, "Year < 1985 OR Year IS NULL");
  EXPECT_EQ(Ids(c), Expected([](int i) { return !HasYear(i) || Year(i) < 1985; }));
  c.DropFilter(nullptr);
  Active(c, "Year BETWEEN 1983 AND 1986 OR Year IN (1998, 1999)");
  EXPECT_EQ(Ids(c), Expected([](int i) {
              return HasYear(i) && ((Year(i) >= 1983 && Year(i) <= 1986) || Year(i) >= 1998);
            }));
  c.DropFilter(nullptr);
  Active(c, "NOT (Year >= 1982) AND Country <> 'Italy'");
  EXPECT_EQ(Ids(c), Expected([](int i) { return (!HasYear(i) || Year(i) < 1982) && i % 4 != 2 && i % 4 != 3; }));
}

TEST_F(FilterTest, FilterErrors) {
  TDataCursor& c = Filled(false);
  auto message = [&](const char* text) {
    return MessageOf([&] { c.AddFilter(nullptr, text, false, false, false, false); });
  };
  EXPECT_NE(message("").find("filter expression is empty"), std::string::npos);
  EXPECT_NE(message("Year + 1").find("filter expression must be a boolean expression"), std::string::npos);
  EXPECT_NE(message("Year = ").find("filter expression"), std::string::npos);
  EXPECT_EQ(ErrorOf([&] { c.AddFilter(nullptr, "Nope = 1", false, false, false, false); }), VELDOR_INVALIDFILTER);
  EXPECT_EQ(ErrorOf([&] { c.AddFilter(nullptr, "Year = 1 Year", false, false, false, false); }),
            VELDOR_INVALIDFILTER);
  EXPECT_NE(MessageOf([&] { c.AddFilter(nullptr, nullptr, false, false, false, false); })
                .find("filter expression is invalid"),
            std::string::npos);
  EXPECT_EQ(c.FilterCount(), 0u);
  for (int i = 0; i < 64; ++i) c.AddFilter(nullptr, "Year > 0", false, false, false, false);
  EXPECT_EQ(ErrorOf([&] { c.AddFilter(nullptr, "Year > 0", false, false, false, false); }),
            VELDOR_INTERNALLIMIT);
  TDataCursor& other = OpenCursor("customers");
  TFilter* foreign = other.AddFilter(nullptr, "Year > 0", false, false, false, false);
  EXPECT_EQ(ErrorOf([&] { c.ActivateFilter(foreign); }), VELDOR_NOSUCHFILTER);
  EXPECT_EQ(ErrorOf([&] { c.SetFilterExpression(nullptr, c.FilterAt(0)); }), VELDOR_NOSUCHFILTER);
}

TEST_F(FilterTest, CallbacksSeeOnlyWhatExpressionsAccepted) {
  TDataCursor& c = Filled(false);
  std::vector<int32_t> seen;
  TFilter* callback = c.AddFilter(nullptr, nullptr, false, false, true, true,
                                  [&](void*, TDataCursor& cursor, const uint8_t* record, int32_t) {
                                    int32_t id = IntOf(cursor, record, "Id");
                                    seen.push_back(id);
                                    return id > 20;
                                  });
  TFilter* expression = c.AddFilter(nullptr, "Country = 'Spain'", false, false, true, false);
  EXPECT_EQ(c.FilterAt(0), expression);  // expressions are judged first
  c.ActivateFilter(nullptr);
  EXPECT_EQ(seen, Expected(Spain));
  EXPECT_EQ(Ids(c), Expected([](int i) { return Spain(i) && i > 20; }));
  c.DeactivateFilter(callback);
  EXPECT_EQ(c.GetRecordCount(), 10);
}

TEST_F(FilterTest, DeactivatingTheOnlyFilterEndsBitmapMode) {
  TDataCursor& c = Filled(true);
  std::vector<uint8_t> low = Blank(c), high = Blank(c);
  PutInt(c, low, "Year", 1990);
  PutInt(c, high, "Year", 1995);
  c.SetIndexName("ByYear");
  c.SetRange(false, low.data(), 0, high.data(), 0);
  EXPECT_EQ(c.GetRecordCount(), 10);  // i mod 20 in 11..15 (1990 itself is NULL)
  TFilter* f = Active(c, "Country = 'Spain'");
  EXPECT_TRUE(c.BitmapMode());
  EXPECT_EQ(c.GetRecordCount(), 2);  // i = 12 and 32
  c.DeactivateFilter(f);
  EXPECT_FALSE(c.BitmapMode());
  EXPECT_EQ(c.GetRecordCount(), 10);
}

TEST_F(FilterTest, AppendRejectedByTheFilterLeavesTheCount) {
  TDataCursor& c = Filled(false);
  Active(c, "Country = 'Spain'");
  std::vector<uint8_t> image = Blank(c);
  PutInt(c, image, "Id", 30);
  PutText(c, image, "Country", "Peru");
  ASSERT_EQ(ErrorOf([&] { c.AppendRecord(image.data()); }), VELDOR_KEYVIOL);
  PutInt(c, image, "Id", 41);
  c.AppendRecord(image.data());
  EXPECT_EQ(c.GetRecordCount(), 10);
  EXPECT_EQ(IntOf(c, c.RecordBuffer(), "Id"), 40);  // the nearest visible record
  c.SetToRecNo(1);
  PutInt(c, image, "Id", 101);
  PutText(c, image, "Country", "Spain");
  c.AppendRecord(image.data());
  EXPECT_EQ(c.GetRecordCount(), 11);
  EXPECT_EQ(IntOf(c, c.RecordBuffer(), "Id"), 101);
  // A modify that takes a record out of the filter, and a delete.
  std::vector<uint8_t> current(c.RecordSize());
  ASSERT_EQ(c.GetCurrentRecord(current.data()), 0);
  ASSERT_EQ(c.GetCurrentRecord(current.data(), true), 0);
  PutText(c, current, "Country", "Chile");
  c.ModifyRecord(current.data());
  EXPECT_EQ(c.GetRecordCount(), 10);
  c.SetToRecNo(1);
  c.DeleteRecord(c.RecordBuffer());
  EXPECT_EQ(c.GetRecordCount(), 9);
}

TEST_F(FilterTest, AScanSeesTheUnwrittenChangesOfATransaction) {
  // The scan reads the file in windows past the cache; what this process changed and has
  // not written yet (a modify, an append) must still be what it tests.
  TDataCursor& c = Filled(false);
  ASSERT_EQ(db_->StartTransaction(), 0);
  c.SetToRecNo(5);
  std::vector<uint8_t> current(c.RecordSize());
  ASSERT_EQ(c.GetCurrentRecord(current.data()), 0);
  ASSERT_EQ(c.GetCurrentRecord(current.data(), true), 0);
  PutInt(c, current, "Year", 1800);
  c.ModifyRecord(current.data());
  std::vector<uint8_t> image = Blank(c);
  PutInt(c, image, "Id", 41);
  PutInt(c, image, "Year", 1850);
  c.AppendRecord(image.data());
  Active(c, "Year < 1900");
  EXPECT_EQ(c.GetRecordCount(), 2);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{5, 41}));
  db_->RollbackTransaction();
}

// Filters of 100,000 terms and IN lists of 200,000 items go through the whole filter path
// (parsing, checking, preparing, optimizing, the bitmaps of indexed terms and the scans of
// the others) without the call stack growing with them, and so does the deepest nesting
// the parser accepts. In the AND chain each term is better served by the indexes than
// everything before it, so the optimizer turns every AND over and the tree leans right
// all the way down: a clone optimizes that tree again, and an append evaluates all of it
// on the new record.
TEST_F(FilterTest, LongChainsAndListsFilter) {
  constexpr int kTerms = 100000, kItems = 200000, kRecords = 4;
  TDataCursor& c = Filled(true, true, kRecords);
  auto chain = [](const std::string& first, const std::string& joint, const std::string& term, int count) {
    std::string text = first;
    for (int i = 1; i < count; ++i) text += joint + term;
    return text;
  };
  std::string years = "Year IN (";
  for (int i = 0; i < kItems - 1; ++i) years += std::to_string(3000 + i) + ", ";
  // Nesting as deep as the parser allows, each level indexed: NOT 254 times over Spain.
  std::string nested = "Country = 'Spain'";
  for (int level = 0; level < 254; ++level) nested = "Year = 1 OR Year > 0 AND NOT (" + nested + ")";
  struct TCase {
    std::string Text;
    std::vector<int32_t> Ids;
  };
  const std::vector<TCase> cases = {
      {chain("Year = 1983", " OR ", "Year = 1900", kTerms) + " OR Country = 'Spain'", {3, 4}},
      {chain("Year", " + ", "0", kTerms) + " = 1982", {2}},
      {chain("City", " || ", "'ab'", kTerms) + " LIKE 'C3ab%'", {3}},
      {years + "1983)", {3}},
      {nested, {4}},
  };
  for (const TCase& t : cases) {
    TFilter* f = Active(c, t.Text.c_str());
    EXPECT_EQ(Ids(c), t.Ids) << t.Text.substr(0, 60);
    c.DropFilter(f);
  }
  const std::string conjunction = chain("City <> 'C2'", " AND ", "Country <> 'Peru'", kTerms) + " AND Year > 1981";
  TFilter* f = Active(c, conjunction.c_str());
  EXPECT_EQ(f->OptimizeLevel, kOptimizePartial);
  int leaning = 0;
  for (const TExpToken* n = f->Expression; n->Kind == kTokenBinary && n->Code == kOpAnd; n = n->Right) ++leaning;
  EXPECT_EQ(leaning, kTerms);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{3, 4}));
  std::unique_ptr<TDataCursor> clone = c.Clone();
  EXPECT_EQ(Ids(*clone), (std::vector<int32_t>{3, 4}));
  clone.reset();
  std::vector<uint8_t> image = Blank(c);
  PutInt(c, image, "Id", 9);
  PutText(c, image, "City", "C9");
  PutInt(c, image, "Year", 1989);
  c.AppendRecord(image.data());
  PutInt(c, image, "Id", 10);
  PutText(c, image, "City", "C2");
  c.AppendRecord(image.data());
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{3, 4, 9}));
}

// A filter whose text grows without bound on every record (nine nested REPLACEs make a
// thousand million characters) fails its activation with an engine error and leaves the
// cursor usable.
TEST_F(FilterTest, RunawayTextIsAnEngineError) {
  TDataCursor& c = Filled(false, true, 4);
  std::string text = "City";
  for (int i = 0; i < 9; ++i) text = "REPLACE('C' WITH 'CCCCCCCCCC' IN " + text + ")";
  TFilter* f = c.AddFilter(nullptr, (text + " = 'C1'").c_str(), false, false, false, false);
  EXPECT_EQ(ErrorOf([&] { c.ActivateFilter(f); }), VELDOR_OSENOMEM);
  c.DropFilter(f);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 3, 4}));
}

TEST_F(FilterTest, SetFilterExpressionReplacesTheTreeOfAnActiveFilter) {
  TDataCursor& c = Filled(true);
  TFilter* active = Active(c, "Year > 1990");
  TFilter* source = c.AddFilter(nullptr, "Country = 'Spain'", false, false, false, false);
  c.SetFilterExpression(CopyTokenTree(source->Expression).Release(), active);
  EXPECT_EQ(active->OptimizeLevel, kOptimizeFull);
  EXPECT_EQ(Ids(c), Expected(Spain));
  // A callback judged after it follows the replacement too.
  c.AddFilter(nullptr, nullptr, false, false, false, true,
              [](void*, TDataCursor& cursor, const uint8_t* record, int32_t) {
                return IntOf(cursor, record, "Id") > 20;
              });
  c.ActivateFilter(c.FilterAt(2));
  EXPECT_EQ(Ids(c), Expected([](int i) { return Spain(i) && i > 20; }));
  c.SetFilterExpression(CopyTokenTree(c.FilterAt(0)->Expression).Release(), active);
  c.DropFilter(source);
  EXPECT_EQ(Ids(c), Expected([](int i) { return Spain(i) && i > 20; }));
}

}  // namespace
}  // namespace veldor::test
