// Record editing through the cursor: key violations, auto-increment values, slot reuse,
// validation and defaults, read-only cursors, transactions, record locks between cursors,
// copies of records, and field and BLOB access through open buffers.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "lib/byte_order.h"
#include "lib/date_time.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

// What an engine error carried, or code 0 when the body raised nothing.
struct TRaised {
  uint16_t Code = 0;
  std::string Table;
  std::string Field;
  std::string Index;
  std::string Message;
};

TRaised Raised(const std::function<void()>& body) {
  TRaised r;
  try {
    body();
  } catch (const EVELDOREngineError& e) {
    r.Code = e.ErrorCode;
    r.Table = e.ErrorTableName;
    r.Field = e.ErrorFieldName;
    r.Index = e.ErrorIndexName;
    r.Message = e.Message;
  }
  return r;
}

std::string Pattern(size_t size, char seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = char('a' + (seed + i * 7) % 26);
  return s;
}

class EditTest : public CursorTest {
 protected:
  // Seq (auto-increment, primary key), Name string(10).
  static TTableDefinition Counted() {
    TTableDefinition d;
    d.Fields = {MakeField(1, "Seq", FIELD_INTEGER, 0, SUBTYPE_AUTOINC),
                MakeField(2, "Name", FIELD_STRING, 10)};
    PrepareFieldDefinitions(d.Fields, "t");
    d.Indexes = {PrimaryKeyOn(1)};
    return d;
  }

  // Code string(10) required; Qty integer from 1 to 100; Note string(10) default "none";
  // Count integer default 7; Day date default today. No primary key.
  static TTableDefinition Checked() {
    TTableDefinition d;
    TFieldDescriptor code = MakeField(1, "Code", FIELD_STRING, 10);
    code.SetRequired(true);
    TFieldDescriptor qty = MakeField(2, "Qty", FIELD_INTEGER);
    qty.SetMinValue("1");
    qty.SetMaxValue("100");
    TFieldDescriptor note = MakeField(3, "Note", FIELD_STRING, 10);
    note.SetDefaultValue("none");
    TFieldDescriptor count = MakeField(4, "Count", FIELD_INTEGER);
    count.SetDefaultValue("7");
    TFieldDescriptor day = MakeField(5, "Day", FIELD_DATE);
    day.SetDefaultValue("current_date");
    d.Fields = {code, qty, note, count, day};
    PrepareFieldDefinitions(d.Fields, "t");
    d.Indexes = {TIndexDescriptor()};
    return d;
  }

  static int32_t RowIdOf(const uint8_t* image) { return LoadI32(image + kRowIdOffset); }

  static void AddNamed(TDataCursor& c, const std::string& name) {
    std::vector<uint8_t> image = Blank(c);
    PutText(c, image, "Name", name);
    c.AppendRecord(image.data());
  }

  // Positions `c`, in its current index, on the record whose key field `field` is `value`,
  // and returns its image.
  static std::vector<uint8_t> AtBy(TDataCursor& c, const char* field, int32_t value) {
    std::vector<uint8_t> key = Blank(c);
    PutInt(c, key, field, value);
    std::vector<uint8_t> image(c.RecordSize());
    EXPECT_TRUE(c.Find(false, key.data(), image.data(), 0, false, 1)) << "no " << field << " " << value;
    return image;
  }
  static std::vector<uint8_t> At(TDataCursor& c, int32_t id) { return AtBy(c, "Id", id); }

  // The Ids in every index of People, and in natural order.
  static std::vector<std::vector<int32_t>> AllOrders(TDataCursor& c) {
    std::vector<std::vector<int32_t>> out;
    for (int index : {0, 1, 2, kNaturalOrder}) {
      c.SetIndexNumber(index);
      out.push_back(Ids(c));
    }
    c.SetIndexNumber(0);
    return out;
  }

  static std::vector<uint8_t> WithMemo(TDataCursor& c, std::vector<uint8_t> image, const std::string& memo,
                                uint8_t owner = kBlobOwnerEngine) {
    uint16_t f = c.FieldNumber("Memo");
    EXPECT_EQ(c.OpenBlob(f, image.data(), owner, false, kBlobWrite), 0);
    EXPECT_EQ(c.TruncateBlob(f, image.data(), false, 0), 0);
    EXPECT_EQ(c.PutBlob(f, image.data(), false, 0, uint32_t(memo.size()), memo.data()), 0);
    return image;
  }
};

// ---- Key violations ----------------------------------------------------------------------------

struct TDuplicate {
  const char* Case;
  int32_t Id;
  int32_t Amount;
  const char* Index;
};

class DuplicateKeyTest : public EditTest, public ::testing::WithParamInterface<TDuplicate> {};

TEST_P(DuplicateKeyTest, AppendIsRefusedNamingTheIndexAndChangesNothing) {
  const TDuplicate& p = GetParam();
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Alice", 10);
  Add(c, 2, "Bob", 20);
  Add(c, 3, "Carol", 30);
  const auto before = AllOrders(c);
  const int32_t slots = c.Table()->RecordCount();
  At(c, 2);

  std::vector<uint8_t> image = Blank(c);
  PutInt(c, image, "Id", p.Id);
  PutText(c, image, "Name", "Dup");
  PutInt(c, image, "Amount", p.Amount);
  TRaised r = Raised([&] { c.AppendRecord(image.data()); });
  EXPECT_EQ(r.Code, VELDOR_KEYVIOL);
  EXPECT_EQ(r.Index, p.Index);
  EXPECT_EQ(r.Table, "people");

  EXPECT_EQ(c.GetRecordCount(), 3);
  EXPECT_EQ(c.Table()->RecordCount(), slots);
  // The cursor stays on the record it stood on.
  std::vector<uint8_t> current(c.RecordSize());
  ASSERT_EQ(c.GetCurrentRecord(current.data()), 0);
  EXPECT_EQ(IntOf(c, current.data(), "Id"), 2);
  EXPECT_EQ(AllOrders(c), before);
  // Nothing of the refused append stays behind: its slot lock is gone and a fresh cursor
  // sees the same table.
  Add(c, 4, "Dave", 40);
  EXPECT_EQ(c.GetRecordCount(), 4);
  TDataCursor& fresh = OpenCursor("people");
  EXPECT_EQ(Ids(fresh), (std::vector<int32_t>{1, 2, 3, 4}));
  fresh.SetIndexName("ByAmount");
  EXPECT_EQ(Ids(fresh), (std::vector<int32_t>{1, 2, 3, 4}));
}

INSTANTIATE_TEST_SUITE_P(Keys, DuplicateKeyTest,
                         ::testing::Values(TDuplicate{"secondary", 9, 20, "ByAmount"},
                                           TDuplicate{"primary", 2, 99, "Primary"}),
                         [](const auto& info) { return std::string(info.param.Case); });

TEST_F(EditTest, EqualKeysOfANonUniqueIndexAreAccepted) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Same", 10);
  Add(c, 2, "Same", 20);
  c.SetIndexName("ByName");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2}));
}

TEST_F(EditTest, ModifyThatWouldViolateAUniqueKeyLeavesTheRecord) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Alice", 10);
  Add(c, 2, "Bob", 20);
  const auto before = AllOrders(c);

  std::vector<uint8_t> image = At(c, 2);
  ASSERT_EQ(c.GetCurrentRecord(image.data(), true), 0);
  const std::vector<uint8_t> original = image;
  PutInt(c, image, "Amount", 10);
  TRaised r = Raised([&] { c.ModifyRecord(image.data()); });
  EXPECT_EQ(r.Code, VELDOR_KEYVIOL);
  EXPECT_EQ(r.Index, "ByAmount");

  image = original;
  PutInt(c, image, "Id", 1);
  r = Raised([&] { c.ModifyRecord(image.data()); });
  EXPECT_EQ(r.Code, VELDOR_KEYVIOL);
  EXPECT_EQ(r.Index, "Primary");

  EXPECT_EQ(AllOrders(c), before);
  TDataCursor& fresh = OpenCursor("people");
  EXPECT_EQ(At(fresh, 2), original);

  // The edit goes on: the record is still this cursor's to post.
  image = original;
  PutInt(c, image, "Amount", 30);
  c.ModifyRecord(image.data());
  EXPECT_EQ(IntOf(fresh, At(fresh, 2).data(), "Amount"), 30);
  fresh.SetIndexName("ByAmount");
  EXPECT_EQ(Ids(fresh), (std::vector<int32_t>{1, 2}));
}

TEST_F(EditTest, WritesLeaveTheCursorOnTheWrittenOrFollowingRecord) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 2, "Bob", 20);
  Add(c, 3, "Carol", 30);
  Add(c, 4, "Dave", 40);
  Add(c, 1, "Alice", 50);
  EXPECT_EQ(IntOf(c, c.RecordBuffer(), "Id"), 1);
  EXPECT_EQ(c.GetRecNo(), 1);

  // In Amount order Bob (20) moves from the first place to the last and the cursor follows.
  c.SetIndexName("ByAmount");
  std::vector<uint8_t> image = AtBy(c, "Amount", 20);
  ASSERT_EQ(c.GetRecNo(), 1);
  ASSERT_EQ(c.GetCurrentRecord(image.data(), true), 0);
  PutInt(c, image, "Amount", 99);
  c.ModifyRecord(image.data());
  EXPECT_EQ(c.GetRecNo(), 4);
  EXPECT_EQ(IntOf(c, c.RecordBuffer(), "Id"), 2);
  std::vector<uint8_t> next(c.RecordSize());
  EXPECT_EQ(c.GetNextRecord(next.data()), VELDOR_EOF);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{3, 4, 1, 2}));

  // Deleting Dave (40) leaves the cursor on Alice (50), which followed it.
  image = AtBy(c, "Amount", 40);
  c.DeleteRecord(image.data());
  ASSERT_EQ(c.GetCurrentRecord(next.data()), 0);
  EXPECT_EQ(IntOf(c, next.data(), "Id"), 1);
  EXPECT_EQ(c.GetRecNo(), 2);
  ASSERT_EQ(c.GetPriorRecord(next.data()), 0);
  EXPECT_EQ(IntOf(c, next.data(), "Id"), 3);
  EXPECT_EQ(c.GetRecordCount(), 3);
}

// ---- Auto-increment values ---------------------------------------------------------------------

TEST_F(EditTest, AutoIncrementTakesTheLastValuePlusOne) {
  MakeTable("counted", Counted());
  TDataCursor& c = OpenCursor("counted");
  for (int i = 0; i < 10; ++i) AddNamed(c, "n" + std::to_string(i));
  EXPECT_EQ(c.Table()->LastAutoInc(), 10);
  std::vector<uint8_t> image(c.RecordSize());
  c.SetToEnd();
  ASSERT_EQ(c.GetPriorRecord(image.data()), 0);
  EXPECT_EQ(IntOf(c, image.data(), "Seq"), 10);
  EXPECT_EQ(TextOf(c, image.data(), "Name"), "n9");

  // A value the caller put into the image is overwritten without suppression.
  image = Blank(c);
  PutInt(c, image, "Seq", 77);
  PutText(c, image, "Name", "x");
  c.AppendRecord(image.data());
  EXPECT_EQ(IntOf(c, c.RecordBuffer(), "Seq"), 11);
  EXPECT_EQ(c.Table()->LastAutoInc(), 11);
}

TEST_F(EditTest, SuppressedAutoIncrementKeepsTheCallersValue) {
  MakeTable("counted", Counted());
  {
    TDataCursor& c = OpenCursor("counted");
    for (int i = 0; i < 10; ++i) AddNamed(c, "n" + std::to_string(i));
    ASSERT_EQ(c.Table()->LastAutoInc(), 10);

    c.SetSuppressAutoInc(true);
    EXPECT_TRUE(c.SuppressAutoInc());
    std::vector<uint8_t> image = Blank(c);
    PutInt(c, image, "Seq", 500);
    PutText(c, image, "Name", "explicit");
    c.AppendRecord(image.data());
    EXPECT_EQ(IntOf(c, c.RecordBuffer(), "Seq"), 500);
    EXPECT_EQ(c.Table()->LastAutoInc(), 500);

    // A row identifier a live record has is a key violation.
    image = Blank(c);
    PutInt(c, image, "Seq", 5);
    PutText(c, image, "Name", "again");
    EXPECT_EQ(ErrorOf([&] { c.AppendRecord(image.data()); }), VELDOR_KEYVIOL);
    EXPECT_EQ(c.GetRecordCount(), 11);
    EXPECT_EQ(c.Table()->LastAutoInc(), 500);

    c.SetSuppressAutoInc(false);
    AddNamed(c, "next");
    EXPECT_EQ(IntOf(c, c.RecordBuffer(), "Seq"), 501);
  }
  cursors_.clear();
  TDataCursor& reopened = OpenCursor("counted");
  EXPECT_EQ(reopened.Table()->LastAutoInc(), 501);
  std::vector<uint8_t> image(reopened.RecordSize());
  reopened.SetToEnd();
  ASSERT_EQ(reopened.GetPriorRecord(image.data()), 0);
  EXPECT_EQ(IntOf(reopened, image.data(), "Seq"), 501);
  ASSERT_EQ(reopened.GetPriorRecord(image.data()), 0);
  EXPECT_EQ(IntOf(reopened, image.data(), "Seq"), 500);
  EXPECT_EQ(reopened.GetRecordCount(), 12);
}

TEST_F(EditTest, ModifyKeepsTheRowIdUnlessAutoIncIsSuppressed) {
  MakeTable("counted", Counted());
  TDataCursor& c = OpenCursor("counted");
  for (int i = 0; i < 3; ++i) AddNamed(c, "n" + std::to_string(i));
  std::vector<uint8_t> image(c.RecordSize());
  c.SetToBegin();
  ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  ASSERT_EQ(c.GetCurrentRecord(image.data(), true), 0);
  PutInt(c, image, "Seq", 700);
  PutText(c, image, "Name", "renamed");
  c.ModifyRecord(image.data());
  EXPECT_EQ(IntOf(c, c.RecordBuffer(), "Seq"), 1);
  EXPECT_EQ(TextOf(c, c.RecordBuffer(), "Name"), "renamed");
  EXPECT_EQ(c.Table()->LastAutoInc(), 3);

  c.SetSuppressAutoInc(true);
  ASSERT_EQ(c.GetCurrentRecord(image.data(), true), 0);
  PutInt(c, image, "Seq", 700);
  c.ModifyRecord(image.data());
  EXPECT_EQ(IntOf(c, c.RecordBuffer(), "Seq"), 700);
  EXPECT_EQ(c.Table()->LastAutoInc(), 700);
  c.SetSuppressAutoInc(false);
  AddNamed(c, "after");
  EXPECT_EQ(IntOf(c, c.RecordBuffer(), "Seq"), 701);
  c.SetToBegin();
  std::vector<int32_t> order;
  while (c.GetNextRecord(image.data()) == 0) order.push_back(IntOf(c, image.data(), "Seq"));
  EXPECT_EQ(order, (std::vector<int32_t>{2, 3, 700, 701}));
}

TEST_F(EditTest, SuppressAutoIncIsIgnoredWithoutAnAutoIncrementField) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Alice", 10);
  c.SetSuppressAutoInc(true);
  EXPECT_FALSE(c.SuppressAutoInc());
  std::vector<uint8_t> image = Blank(c);
  PutInt(c, image, "Id", 2);
  PutInt(c, image, "Amount", 20);
  StoreI32(image.data() + kRowIdOffset, 500);
  c.AppendRecord(image.data());
  EXPECT_EQ(RowIdOf(c.RecordBuffer()), 2);
  EXPECT_EQ(c.Table()->LastAutoInc(), 2);
}

// ---- Slots -------------------------------------------------------------------------------------

struct TSlotCase {
  const char* Case;
  bool PrimaryKey;
  int32_t NewSlot;
};

class SlotReuseTest : public EditTest, public ::testing::WithParamInterface<TSlotCase> {};

TEST_P(SlotReuseTest, DeletedLastSlotIsReusedOnlyWithAPrimaryKey) {
  const TSlotCase& p = GetParam();
  MakeTable("people", People(p.PrimaryKey));
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Alice", 10);
  Add(c, 2, "Bob", 20);
  Add(c, 3, "Carol", 30);
  ASSERT_EQ(c.CurrentRecordNumber(), 3);
  std::vector<uint8_t> image(c.RecordSize());
  ASSERT_EQ(c.GetCurrentRecord(image.data()), 0);
  ASSERT_EQ(IntOf(c, image.data(), "Id"), 3);
  c.DeleteRecord(image.data());
  EXPECT_EQ(c.GetRecordCount(), 2);

  Add(c, 4, "Dave", 40);
  EXPECT_EQ(c.CurrentRecordNumber(), p.NewSlot);
  EXPECT_EQ(IntOf(c, c.RecordBuffer(), "Id"), 4);
  EXPECT_EQ(c.Table()->RecordCount(), p.NewSlot);
  EXPECT_EQ(c.GetRecordCount(), 3);
  c.SetIndexNumber(kNaturalOrder);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 4}));
}

INSTANTIATE_TEST_SUITE_P(Tables, SlotReuseTest,
                         ::testing::Values(TSlotCase{"PrimaryKey", true, 3},
                                           TSlotCase{"NoPrimaryKey", false, 4}),
                         [](const auto& info) { return std::string(info.param.Case); });

// ---- Validation and defaults -------------------------------------------------------------------

TEST_F(EditTest, InitRecordFillsTheDefaults) {
  MakeTable("checked", Checked());
  TDataCursor& c = OpenCursor("checked");
  const int32_t dayBefore = CurrentDate();
  std::vector<uint8_t> image = Blank(c);
  const int32_t dayAfter = CurrentDate();
  EXPECT_EQ(TextOf(c, image.data(), "Note"), "none");
  EXPECT_EQ(IntOf(c, image.data(), "Count"), 7);
  EXPECT_FALSE(IsNull(c, image.data(), "Day"));
  const int32_t day = IntOf(c, image.data(), "Day");
  EXPECT_TRUE(day == dayBefore || day == dayAfter) << day;
  EXPECT_GT(day, 0);
  EXPECT_TRUE(IsNull(c, image.data(), "Code"));
  EXPECT_TRUE(IsNull(c, image.data(), "Qty"));
  EXPECT_EQ(RowIdOf(image.data()), 0);
}

struct TValidation {
  const char* Case;
  const char* Code;
  bool QtyNull;
  int32_t Qty;
  uint16_t Error;
  const char* Field;
};

class ValidationTest : public EditTest, public ::testing::WithParamInterface<TValidation> {};

TEST_P(ValidationTest, AppendAndModifyCheckRequiredMinimumAndMaximum) {
  const TValidation& p = GetParam();
  MakeTable("checked", Checked());
  TDataCursor& c = OpenCursor("checked");
  std::vector<uint8_t> good = Blank(c);
  PutText(c, good, "Code", "base");
  PutInt(c, good, "Qty", 50);
  c.AppendRecord(good.data());

  std::vector<uint8_t> image = Blank(c);
  PutText(c, image, "Code", p.Code);
  if (p.QtyNull) {
    PutNull(c, image, "Qty");
  } else {
    PutInt(c, image, "Qty", p.Qty);
  }
  TRaised r = Raised([&] { c.AppendRecord(image.data()); });
  EXPECT_EQ(r.Code, p.Error);
  EXPECT_EQ(r.Field, p.Field);
  EXPECT_EQ(c.GetRecordCount(), p.Error == 0 ? 2 : 1);

  // The same values as an edit of the first record.
  c.SetToBegin();
  std::vector<uint8_t> current(c.RecordSize());
  ASSERT_EQ(c.GetNextRecord(current.data()), 0);
  ASSERT_EQ(TextOf(c, current.data(), "Code"), "base");
  ASSERT_EQ(c.GetCurrentRecord(current.data(), true), 0);
  std::vector<uint8_t> edit = current;
  PutText(c, edit, "Code", p.Code);
  if (p.QtyNull) {
    PutNull(c, edit, "Qty");
  } else {
    PutInt(c, edit, "Qty", p.Qty);
  }
  r = Raised([&] { c.ModifyRecord(edit.data()); });
  EXPECT_EQ(r.Code, p.Error);
  EXPECT_EQ(r.Field, p.Field);
  if (p.Error != 0) {
    c.UnlockRecord(0);
    TDataCursor& fresh = OpenCursor("checked");
    fresh.SetToBegin();
    ASSERT_EQ(fresh.GetNextRecord(current.data()), 0);
    EXPECT_EQ(TextOf(fresh, current.data(), "Code"), "base");
    EXPECT_EQ(IntOf(fresh, current.data(), "Qty"), 50);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, ValidationTest,
    ::testing::Values(TValidation{"Valid", "ok", false, 1, 0, ""},
                      TValidation{"AtMaximum", "ok", false, 100, 0, ""},
                      TValidation{"BlanksAreNull", "   ", false, 5, VELDOR_REQDERR, "Code"},
                      TValidation{"EmptyRequired", "", false, 5, VELDOR_REQDERR, "Code"},
                      TValidation{"NullBelowMinimum", "ok", true, 0, VELDOR_MINVALERR, "Qty"},
                      TValidation{"BelowMinimum", "ok", false, 0, VELDOR_MINVALERR, "Qty"},
                      TValidation{"AboveMaximum", "ok", false, 101, VELDOR_MAXVALERR, "Qty"}),
    [](const auto& info) { return std::string(info.param.Case); });

// ---- Read-only cursors -------------------------------------------------------------------------

TEST_F(EditTest, ReadOnlyCursorRefusesEveryWriteBeforeValidation) {
  MakeTable("checked", Checked());
  TDataCursor& writer = OpenCursor("checked");
  std::vector<uint8_t> good = Blank(writer);
  PutText(writer, good, "Code", "base");
  PutInt(writer, good, "Qty", 50);
  writer.AppendRecord(good.data());

  cursors_.push_back(std::make_unique<TDataCursor>(db_));
  TDataCursor& c = *cursors_.back();
  c.SetTableName("checked");
  c.SetReadOnly(true);
  c.Open();
  ASSERT_TRUE(c.ReadOnly());

  // This image fails validation (Code is required); the refusal comes first.
  std::vector<uint8_t> invalid = Blank(c);
  TRaised r = Raised([&] { c.AppendRecord(invalid.data()); });
  EXPECT_EQ(r.Code, VELDOR_OSEACCES);
  EXPECT_NE(r.Message.find("Access denied to table 'checked'"), std::string::npos) << r.Message;

  std::vector<uint8_t> image(c.RecordSize());
  c.SetToBegin();
  ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  std::vector<uint8_t> edit = image;
  PutInt(c, edit, "Qty", 60);
  EXPECT_EQ(ErrorOf([&] { c.ModifyRecord(edit.data()); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { c.ModifyRecord(invalid.data()); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { c.DeleteRecord(image.data()); }), VELDOR_OSEACCES);

  EXPECT_EQ(c.GetRecordCount(), 1);
  ASSERT_EQ(c.GetCurrentRecord(image.data()), 0);
  EXPECT_EQ(IntOf(c, image.data(), "Qty"), 50);
  // The record was not left locked by the refused edits.
  writer.SetToBegin();
  ASSERT_EQ(writer.GetNextRecord(image.data()), 0);
  EXPECT_EQ(writer.GetCurrentRecord(image.data(), true), 0);
  writer.UnlockRecord(0);
}

// ---- Transactions ------------------------------------------------------------------------------

TEST_F(EditTest, RollbackRemovesTheAppendedRecord) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Alice", 10);
  Add(c, 2, "Bob", 20);

  ASSERT_EQ(db_->StartTransaction(), 0);
  Add(c, 3, "Carol", 30);
  EXPECT_EQ(c.GetRecordCount(), 3);
  db_->RollbackTransaction();
  EXPECT_FALSE(db_->InTransaction());

  // The cursor notices the rollback at its next operation.
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(c.GetRecordCount(), 2);
  c.SetIndexName("ByAmount");
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2}));
  TDataCursor& fresh = OpenCursor("people");
  EXPECT_EQ(fresh.GetRecordCount(), 2);
  EXPECT_EQ(Ids(fresh), (std::vector<int32_t>{1, 2}));

  // The rolled-back keys are free again.
  Add(c, 3, "Carol", 30);
  EXPECT_EQ(Ids(fresh), (std::vector<int32_t>{1, 2, 3}));
}

TEST_F(EditTest, RollbackRestoresModifiedAndDeletedRecords) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Alice", 10, "first memo");
  Add(c, 2, "Bob", 20);

  ASSERT_EQ(db_->StartTransaction(), 0);
  std::vector<uint8_t> image = At(c, 1);
  ASSERT_EQ(c.GetCurrentRecord(image.data(), true), 0);
  PutInt(c, image, "Amount", 99);
  image = WithMemo(c, image, "changed");
  c.ModifyRecord(image.data());
  image = At(c, 2);
  c.DeleteRecord(image.data());
  EXPECT_EQ(c.GetRecordCount(), 1);
  db_->RollbackTransaction();

  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(c.GetRecordCount(), 2);
  TDataCursor& fresh = OpenCursor("people");
  EXPECT_EQ(Ids(fresh), (std::vector<int32_t>{1, 2}));
  image = At(fresh, 1);
  EXPECT_EQ(IntOf(fresh, image.data(), "Amount"), 10);
  EXPECT_EQ(MemoOf(fresh, image), "first memo");
  // The records locked inside the transaction were unlocked at its end.
  EXPECT_EQ(fresh.GetCurrentRecord(image.data(), true), 0);
  fresh.UnlockRecord(0);
}

TEST_F(EditTest, RollbackGivesBackTheBlobBlocksOfTheTransaction) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Alice", 10, Pattern(1000, 1));
  TBlobFile& blobs = c.Table()->BlobFile();
  const int32_t blocks = blobs.BlockCount();

  ASSERT_EQ(db_->StartTransaction(), 0);
  Add(c, 2, "Bob", 20, Pattern(3000, 2));
  EXPECT_GT(blobs.BlockCount(), blocks);
  db_->RollbackTransaction();
  EXPECT_EQ(blobs.BlockCount(), blocks);

  Add(c, 3, "Carol", 30, Pattern(2000, 3));
  cursors_.clear();
  TDataCursor& fresh = OpenCursor("people");
  EXPECT_EQ(Ids(fresh), (std::vector<int32_t>{1, 3}));
  EXPECT_EQ(MemoOf(fresh, At(fresh, 1)), Pattern(1000, 1));
  EXPECT_EQ(MemoOf(fresh, At(fresh, 3)), Pattern(2000, 3));
}

// The transaction frees the record's blocks in memory only; after the rollback the record
// is back and its blocks must not be handed out again. An exclusive table re-reads no
// headers before its writes, so it depends on the rollback alone.
class RollbackBlobTest : public EditTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RollbackBlobTest, RollbackOfADeleteKeepsTheBlobBlocksOfTheRecord) {
  const bool exclusive = GetParam();
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people", exclusive);
  Add(c, 1, "Alice", 10, Pattern(1500, 1));
  Add(c, 2, "Bob", 20, "short");

  ASSERT_EQ(db_->StartTransaction(), 0);
  std::vector<uint8_t> image = At(c, 1);
  c.DeleteRecord(image.data());
  db_->RollbackTransaction();

  Add(c, 3, "Carol", 30, Pattern(1500, 3));
  EXPECT_EQ(MemoOf(c, At(c, 1)), Pattern(1500, 1));
  EXPECT_EQ(MemoOf(c, At(c, 3)), Pattern(1500, 3));
  cursors_.clear();
  TDataCursor& fresh = OpenCursor("people");
  EXPECT_EQ(Ids(fresh), (std::vector<int32_t>{1, 2, 3}));
  EXPECT_EQ(MemoOf(fresh, At(fresh, 1)), Pattern(1500, 1));
  EXPECT_EQ(MemoOf(fresh, At(fresh, 2)), "short");
  EXPECT_EQ(MemoOf(fresh, At(fresh, 3)), Pattern(1500, 3));
}

INSTANTIATE_TEST_SUITE_P(Modes, RollbackBlobTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Exclusive" : "Shared"; });

TEST_F(EditTest, CommitKeepsTheAppendedRecord) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Alice", 10);
  ASSERT_EQ(db_->StartTransaction(), 0);
  Add(c, 2, "Bob", 20, "memo of Bob");
  db_->CommitTransaction(true, false);
  EXPECT_FALSE(db_->InTransaction());
  EXPECT_EQ(c.GetRecordCount(), 2);

  // Another session reads the files themselves.
  TDataSession other;
  TDataDirectory* db = other.OpenDataDirectory("", dir_);
  TDataCursor reader(db);
  reader.SetTableName("people");
  reader.Open();
  EXPECT_EQ(reader.GetRecordCount(), 2);
  EXPECT_EQ(Ids(reader), (std::vector<int32_t>{1, 2}));
  EXPECT_EQ(MemoOf(reader, At(reader, 2)), "memo of Bob");
}

// A table whose last cursor closed inside a transaction stays open with the transaction's
// records and pages in its caches only: a cursor opened on it then takes it as it is, the
// appended records included, rather than finding its headers larger than its files.
TEST_F(EditTest, CursorOpenedInsideATransactionSeesWhatItAppended) {
  MakeTable("people", People());
  Add(OpenCursor("people"), 1, "Alice", 10);
  cursors_.clear();
  ASSERT_EQ(db_->StartTransaction(), 0);
  {
    TDataCursor& c = OpenCursor("people");
    for (int32_t id = 2; id <= 40; ++id) Add(c, id, "n" + std::to_string(id), 100 + id, "memo " + std::to_string(id));
    cursors_.clear();
  }
  TDataCursor& again = OpenCursor("people");
  EXPECT_EQ(again.GetRecordCount(), 40);
  EXPECT_EQ(MemoOf(again, At(again, 40)), "memo 40");
  db_->RollbackTransaction();
  EXPECT_EQ(Ids(again), std::vector<int32_t>{1});
}

// ---- Record locks and changed records ----------------------------------------------------------

TEST_F(EditTest, SecondCursorCannotLockARecordTheFirstHolds) {
  MakeTable("people", People());
  session_->SetLockRetryCount(0);
  TDataCursor& a = OpenCursor("people");
  TDataCursor& b = OpenCursor("people");
  Add(a, 1, "Alice", 10);
  Add(a, 2, "Bob", 20);

  std::vector<uint8_t> image = At(a, 1);
  ASSERT_EQ(a.GetCurrentRecord(image.data(), true), 0);
  std::vector<uint8_t> other = At(b, 1);
  TRaised r = Raised([&] { b.GetCurrentRecord(other.data(), true); });
  EXPECT_EQ(r.Code, VELDOR_RECLOCKFAILED);
  EXPECT_NE(r.Message.find("is in use by another user"), std::string::npos) << r.Message;
  std::vector<uint8_t> edit = other;
  PutInt(b, edit, "Amount", 11);
  EXPECT_EQ(ErrorOf([&] { b.ModifyRecord(edit.data()); }), VELDOR_RECLOCKFAILED);
  // Another record is free.
  std::vector<uint8_t> second = At(b, 2);
  EXPECT_EQ(b.GetCurrentRecord(second.data(), true), 0);
  b.UnlockRecord(0);

  a.UnlockRecord(0);
  other = At(b, 1);
  EXPECT_EQ(b.GetCurrentRecord(other.data(), true), 0);
  PutInt(b, other, "Amount", 12);
  b.ModifyRecord(other.data());
  EXPECT_EQ(IntOf(a, At(a, 1).data(), "Amount"), 12);
}

TEST_F(EditTest, RecordAnotherCursorIsEditingCannotBeDeleted) {
  MakeTable("people", People());
  session_->SetLockRetryCount(0);
  TDataCursor& a = OpenCursor("people");
  TDataCursor& b = OpenCursor("people");
  Add(a, 1, "Alice", 10);
  Add(a, 2, "Bob", 20);
  std::vector<uint8_t> editing = At(a, 1);
  ASSERT_EQ(a.GetCurrentRecord(editing.data(), true), 0);

  std::vector<uint8_t> image = At(b, 1);
  EXPECT_EQ(ErrorOf([&] { b.DeleteRecord(image.data()); }), VELDOR_RECLOCKFAILED);
  EXPECT_EQ(Ids(b), (std::vector<int32_t>{1, 2}));

  PutInt(a, editing, "Amount", 11);
  a.ModifyRecord(editing.data());
  EXPECT_EQ(IntOf(b, At(b, 1).data(), "Amount"), 11);
  EXPECT_EQ(IntOf(b, At(b, 2).data(), "Amount"), 20);
  EXPECT_EQ(TextOf(b, At(b, 2).data(), "Name"), "Bob");
}

TEST_F(EditTest, ModifyWithoutUnlockKeepsTheRecordLocked) {
  MakeTable("people", People());
  session_->SetLockRetryCount(0);
  TDataCursor& a = OpenCursor("people");
  TDataCursor& b = OpenCursor("people");
  Add(a, 1, "Alice", 10);
  std::vector<uint8_t> image = At(a, 1);
  a.LockRecord(0);
  PutInt(a, image, "Amount", 11);
  a.ModifyRecord(image.data(), false, false);
  std::vector<uint8_t> other = At(b, 1);
  EXPECT_EQ(IntOf(b, other.data(), "Amount"), 11);
  EXPECT_EQ(ErrorOf([&] { b.GetCurrentRecord(other.data(), true); }), VELDOR_RECLOCKFAILED);
  PutInt(a, image, "Amount", 12);
  a.ModifyRecord(image.data(), false, false);
  a.UnlockRecord(0);
  other = At(b, 1);
  EXPECT_EQ(IntOf(b, other.data(), "Amount"), 12);
  EXPECT_EQ(b.GetCurrentRecord(other.data(), true), 0);
  b.UnlockRecord(0);
}

TEST_F(EditTest, EditOfARecordChangedMeanwhileFailsAndUnlocks) {
  MakeTable("people", People());
  session_->SetLockRetryCount(0);
  TDataCursor& a = OpenCursor("people");
  TDataCursor& b = OpenCursor("people");
  Add(a, 1, "Alice", 10);
  std::vector<uint8_t> stale = At(a, 1);

  std::vector<uint8_t> image = At(b, 1);
  ASSERT_EQ(b.GetCurrentRecord(image.data(), true), 0);
  PutText(b, image, "Name", "Alicia");
  b.ModifyRecord(image.data());

  EXPECT_EQ(ErrorOf([&] { a.GetCurrentRecord(stale.data(), true); }), VELDOR_KEYORRECDELETED);
  EXPECT_EQ(ErrorOf([&] { a.DeleteRecord(stale.data()); }), VELDOR_KEYORRECDELETED);
  EXPECT_EQ(a.GetRecordCount(), 1);
  // The failed edit released its lock: the other cursor can lock the record.
  image = At(b, 1);
  EXPECT_EQ(b.GetCurrentRecord(image.data(), true), 0);
  b.UnlockRecord(0);
  // With the current image the edit goes through.
  std::vector<uint8_t> current(a.RecordSize());
  ASSERT_EQ(a.GetCurrentRecord(current.data()), 0);
  EXPECT_EQ(TextOf(a, current.data(), "Name"), "Alicia");
  a.DeleteRecord(current.data());
  EXPECT_EQ(Ids(b), std::vector<int32_t>{});
}

// The record a cursor holds an image of is deleted by another cursor: neither the edit nor
// the delete may fall on the record the cursor re-synchronised to.
class DeletedMeanwhileTest : public EditTest, public ::testing::WithParamInterface<int32_t> {};

TEST_P(DeletedMeanwhileTest, EditAndDeleteOfARecordDeletedMeanwhileFail) {
  const int32_t gone = GetParam();
  MakeTable("people", People());
  session_->SetLockRetryCount(0);
  TDataCursor& a = OpenCursor("people");
  TDataCursor& b = OpenCursor("people");
  Add(a, 1, "Alice", 10);
  Add(a, 2, "Bob", 20);
  Add(a, 3, "Carol", 30);
  std::vector<uint8_t> stale = At(a, gone);
  std::vector<uint8_t> image = At(b, gone);
  b.DeleteRecord(image.data());

  EXPECT_EQ(ErrorOf([&] { a.GetCurrentRecord(stale.data(), true); }), VELDOR_KEYORRECDELETED);
  EXPECT_EQ(ErrorOf([&] { a.DeleteRecord(stale.data()); }), VELDOR_KEYORRECDELETED);
  PutInt(a, stale, "Amount", 77);
  EXPECT_NE(ErrorOf([&] { a.ModifyRecord(stale.data()); }), 0);
  std::vector<int32_t> left = {1, 2, 3};
  left.erase(std::find(left.begin(), left.end(), gone));
  EXPECT_EQ(Ids(b), left);
  for (int32_t id : left) EXPECT_EQ(IntOf(b, At(b, id).data(), "Amount"), 10 * id);
  // Nothing stays locked.
  for (int32_t id : left) {
    image = At(b, id);
    EXPECT_EQ(b.GetCurrentRecord(image.data(), true), 0) << id;
    b.UnlockRecord(0);
  }
}

INSTANTIATE_TEST_SUITE_P(Records, DeletedMeanwhileTest, ::testing::Values(2, 3),
                         [](const auto& info) { return info.param == 3 ? "Last" : "Middle"; });

TEST_F(EditTest, ExclusiveCursorDeletesWithoutComparingTheImage) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people", true);
  Add(c, 1, "Alice", 10);
  Add(c, 2, "Bob", 20);
  std::vector<uint8_t> stale = At(c, 1);
  // A clone of the exclusive cursor changes the record behind the original's back.
  std::unique_ptr<TDataCursor> clone = c.Clone();
  std::vector<uint8_t> image = At(*clone, 1);
  ASSERT_EQ(clone->GetCurrentRecord(image.data(), true), 0);
  PutText(*clone, image, "Name", "Changed");
  clone->ModifyRecord(image.data());
  clone.reset();

  At(c, 1);
  EXPECT_EQ(ErrorOf([&] { c.DeleteRecord(stale.data()); }), 0);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{2}));
  std::vector<uint8_t> wrong = At(c, 2);
  PutInt(c, wrong, "Amount", 77);
  EXPECT_EQ(c.GetCurrentRecord(wrong.data(), true), 0);
  c.UnlockRecord(0);
  // What the exclusive cursor kept in memory reaches the files when it closes.
  cursors_.clear();
  TDataCursor& shared = OpenCursor("people");
  EXPECT_EQ(Ids(shared), (std::vector<int32_t>{2}));
  EXPECT_EQ(TextOf(shared, At(shared, 2).data(), "Name"), "Bob");
}

// ---- Copies of the current record --------------------------------------------------------------

TEST_F(EditTest, CloneCurrentRecordGivesTheCopyItsOwnBlob) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  std::vector<uint8_t> image(c.RecordSize());
  EXPECT_EQ(c.CloneCurrentRecord(image.data()), VELDOR_NOCURRREC);

  Add(c, 1, "Alice", 10, "original memo");
  At(c, 1);
  std::vector<uint8_t> copy(c.RecordSize(), 0xEE);
  ASSERT_EQ(c.CloneCurrentRecord(copy.data()), 0);
  EXPECT_EQ(IntOf(c, copy.data(), "Id"), 1);
  EXPECT_EQ(TextOf(c, copy.data(), "Name"), "Alice");
  EXPECT_EQ(IntOf(c, copy.data(), "Amount"), 10);
  EXPECT_EQ(RowIdOf(copy.data()), 0);
  EXPECT_EQ(c.OpenBlobCount(), 1);
  PutInt(c, copy, "Id", 2);
  PutInt(c, copy, "Amount", 20);
  c.AppendRecord(copy.data());
  EXPECT_EQ(c.OpenBlobCount(), 0);

  std::vector<uint8_t> original = At(c, 1);
  ASSERT_EQ(c.GetCurrentRecord(original.data(), true), 0);
  original = WithMemo(c, original, "new text of the original");
  c.ModifyRecord(original.data());

  TDataCursor& fresh = OpenCursor("people");
  EXPECT_EQ(MemoOf(fresh, At(fresh, 1)), "new text of the original");
  EXPECT_EQ(MemoOf(fresh, At(fresh, 2)), "original memo");
  // Deleting the original leaves the copy's value alone.
  std::vector<uint8_t> first = At(fresh, 1);
  fresh.DeleteRecord(first.data());
  EXPECT_EQ(MemoOf(fresh, At(fresh, 2)), "original memo");
}

TEST_F(EditTest, CloneCurrentRecordCopiesTheRowIdOnlyWithSuppressAutoInc) {
  MakeTable("counted", Counted());
  TDataCursor& c = OpenCursor("counted");
  for (int i = 0; i < 3; ++i) AddNamed(c, "n" + std::to_string(i));
  c.SetToBegin();
  std::vector<uint8_t> image(c.RecordSize());
  ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  std::vector<uint8_t> copy(c.RecordSize());
  ASSERT_EQ(c.CloneCurrentRecord(copy.data()), 0);
  EXPECT_EQ(RowIdOf(copy.data()), 0);
  EXPECT_EQ(TextOf(c, copy.data(), "Name"), "n1");
  c.SetSuppressAutoInc(true);
  ASSERT_EQ(c.CloneCurrentRecord(copy.data()), 0);
  EXPECT_EQ(RowIdOf(copy.data()), 2);
  EXPECT_EQ(IntOf(c, copy.data(), "Seq"), 2);
}

// ---- Field access ------------------------------------------------------------------------------

struct TTextCase {
  const char* Case;
  const char* Put;
  bool Null;
  const char* Read;
};

class StringFieldTest : public EditTest, public ::testing::WithParamInterface<TTextCase> {};

TEST_P(StringFieldTest, TrailingBlanksAreTrimmedAndNothingLeftIsNull) {
  const TTextCase& p = GetParam();
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  std::vector<uint8_t> image = Blank(c);
  PutText(c, image, "Name", p.Put);
  EXPECT_EQ(IsNull(c, image.data(), "Name"), p.Null);
  EXPECT_EQ(TextOf(c, image.data(), "Name"), p.Read);
}

INSTANTIATE_TEST_SUITE_P(Texts, StringFieldTest,
                         ::testing::Values(TTextCase{"Blanks", "     ", true, ""},
                                           TTextCase{"Empty", "", true, ""},
                                           TTextCase{"TrailingBlanks", "ab   ", false, "ab"},
                                           TTextCase{"LeadingBlanks", "  ab", false, "  ab"}),
                         [](const auto& info) { return std::string(info.param.Case); });

TEST_F(EditTest, AutoIncrementFieldReadsTheRowIdAndIsNeverNull) {
  MakeTable("counted", Counted());
  TDataCursor& c = OpenCursor("counted");
  const uint16_t seq = c.FieldNumber("Seq");
  std::vector<uint8_t> image(c.RecordSize(), 0);
  int32_t value = -1;
  EXPECT_FALSE(c.GetField(seq, image.data(), &value));
  EXPECT_EQ(value, 0);
  StoreI32(image.data() + kRowIdOffset, 42);
  EXPECT_FALSE(c.GetField(seq, image.data(), &value));
  EXPECT_EQ(value, 42);
  // Clearing it leaves the row identifier alone.
  c.PutField(seq, image.data(), nullptr);
  EXPECT_EQ(RowIdOf(image.data()), 42);
  EXPECT_FALSE(c.GetField(seq, image.data(), &value));
  EXPECT_EQ(value, 42);
}

// ---- BLOB access -------------------------------------------------------------------------------

struct TBlobRead {
  uint32_t Offset;
  uint32_t Length;
  uint32_t Count;
  uint16_t Code;
};

class BlobReadTest : public EditTest, public ::testing::WithParamInterface<TBlobRead> {};

TEST_P(BlobReadTest, ReadsStopAtTheEndOfTheValue) {
  const TBlobRead& p = GetParam();
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  const std::string memo = "0123456789";
  Add(c, 1, "Alice", 10, memo);
  std::vector<uint8_t> image = At(c, 1);
  const uint16_t f = c.FieldNumber("Memo");
  ASSERT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerCaller, false, kBlobRead), 0);
  std::string out(16, '#');
  uint32_t count = 99;
  EXPECT_EQ(c.GetBlob(f, image.data(), false, p.Offset, p.Length, out.data(), count), p.Code);
  EXPECT_EQ(count, p.Count);
  EXPECT_EQ(out.substr(0, count), memo.substr(std::min<size_t>(p.Offset, memo.size()), count));
  EXPECT_EQ(out[count], '#');
}

INSTANTIATE_TEST_SUITE_P(Ranges, BlobReadTest,
                         ::testing::Values(TBlobRead{0, 10, 10, 0}, TBlobRead{3, 4, 4, 0},
                                           TBlobRead{8, 5, 2, VELDOR_ENDOFBLOB},
                                           TBlobRead{10, 5, 0, VELDOR_ENDOFBLOB},
                                           TBlobRead{12, 1, 0, VELDOR_ENDOFBLOB}));

TEST_F(EditTest, AtMost64BlobsAreOpenOnACursor) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  const uint16_t f = c.FieldNumber("Memo");
  std::vector<std::vector<uint8_t>> images(kMaxOpenBlobs + 1, std::vector<uint8_t>(c.RecordSize()));
  for (int i = 0; i < kMaxOpenBlobs; ++i)
    ASSERT_EQ(c.OpenBlob(f, images[size_t(i)].data(), kBlobOwnerEngine, false, kBlobWrite), 0) << i;
  EXPECT_EQ(c.OpenBlobCount(), kMaxOpenBlobs);
  uint8_t* last = images[kMaxOpenBlobs].data();
  EXPECT_EQ(c.OpenBlob(f, last, kBlobOwnerEngine, false, kBlobWrite), VELDOR_OPENBLOBLIMIT);
  int32_t reference = -1;
  c.GetField(f, last, &reference);
  EXPECT_EQ(reference, 0);

  ASSERT_EQ(c.FreeBlob(f, images[7].data(), kBlobOwnerEngine, false), 0);
  EXPECT_EQ(c.OpenBlob(f, last, kBlobOwnerEngine, false, kBlobWrite), 0);
  EXPECT_EQ(c.OpenBlobCount(), kMaxOpenBlobs);
  c.FreeAllBlobs(true);
  EXPECT_EQ(c.OpenBlobCount(), 0);
}

TEST_F(EditTest, OpeningAnOpenBlobAgainGivesTheSameBuffer) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Alice", 10, "abc");
  std::vector<uint8_t> image = At(c, 1);
  const uint16_t f = c.FieldNumber("Memo");
  ASSERT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerCaller, false, kBlobRead), 0);
  int32_t handle = 0;
  c.GetField(f, image.data(), &handle);
  EXPECT_LT(handle, 0);
  ASSERT_EQ(c.PutBlob(f, image.data(), false, 3, 3, "def"), 0);

  EXPECT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerCaller, false, kBlobWrite), 0);
  int32_t again = 0;
  c.GetField(f, image.data(), &again);
  EXPECT_EQ(again, handle);
  EXPECT_EQ(c.OpenBlobCount(), 1);
  uint32_t size = 0;
  EXPECT_EQ(c.GetBlobSize(f, image.data(), false, size), 0);
  EXPECT_EQ(size, 6u);
  char out[6];
  uint32_t count = 0;
  EXPECT_EQ(c.GetBlob(f, image.data(), false, 0, 6, out, count), 0);
  EXPECT_EQ(std::string(out, count), "abcdef");
}

TEST_F(EditTest, BlobCallsReportWrongFieldsAndHandles) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  std::vector<uint8_t> image = Blank(c);
  const uint16_t memo = c.FieldNumber("Memo"), name = c.FieldNumber("Name");
  EXPECT_EQ(c.OpenBlob(name, image.data(), kBlobOwnerCaller, false, kBlobRead), VELDOR_NOTABLOB);
  char out[4];
  uint32_t count = 7, size = 7;
  EXPECT_EQ(c.GetBlob(memo, image.data(), false, 0, 4, out, count), VELDOR_INVALIDBLOBHANDLE);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(c.PutBlob(memo, image.data(), false, 0, 4, "abcd"), VELDOR_INVALIDBLOBHANDLE);
  EXPECT_EQ(c.TruncateBlob(memo, image.data(), false, 0), VELDOR_INVALIDBLOBHANDLE);
  EXPECT_EQ(c.GetBlobSize(memo, image.data(), false, size), VELDOR_INVALIDBLOBHANDLE);
  EXPECT_EQ(c.FreeBlob(memo, image.data(), kBlobOwnerCaller, false), VELDOR_INVALIDBLOBHANDLE);
  // A negative reference that is no open buffer of this cursor is damage.
  int32_t bogus = -5;
  c.PutField(memo, image.data(), &bogus);
  EXPECT_EQ(c.OpenBlob(memo, image.data(), kBlobOwnerCaller, false, kBlobRead),
            VELDOR_MEMOCORRUPT);
  EXPECT_EQ(c.OpenBlobCount(), 0);
}

TEST_F(EditTest, BlobIsFreedOnlyByItsOwner) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Alice", 10, "kept");
  std::vector<uint8_t> image = At(c, 1);
  const std::vector<uint8_t> stored = image;
  const uint16_t f = c.FieldNumber("Memo");
  ASSERT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerCaller, false, kBlobRead), 0);
  EXPECT_EQ(c.FreeBlob(f, image.data(), kBlobOwnerEngine, false), 0);
  EXPECT_EQ(c.OpenBlobCount(), 1);
  c.FreeAllBlobs(false);
  EXPECT_EQ(c.OpenBlobCount(), 1);
  EXPECT_EQ(c.FreeBlob(f, image.data(), kBlobOwnerCaller, false), 0);
  EXPECT_EQ(c.OpenBlobCount(), 0);
  // The field holds its stored reference again.
  EXPECT_EQ(image, stored);
}

TEST_F(EditTest, PutAndTruncateFillWithZerosAndSetTheNullFlag) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  std::vector<uint8_t> image = Blank(c);
  const uint16_t f = c.FieldNumber("Memo");
  ASSERT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerCaller, false, kBlobWrite), 0);
  EXPECT_TRUE(IsNull(c, image.data(), "Memo"));
  ASSERT_EQ(c.PutBlob(f, image.data(), false, 4, 2, "xy"), 0);
  EXPECT_FALSE(IsNull(c, image.data(), "Memo"));
  auto contents = [&] {
    uint32_t size = 0, count = 0;
    EXPECT_EQ(c.GetBlobSize(f, image.data(), false, size), 0);
    std::string out(size, '#');
    c.GetBlob(f, image.data(), false, 0, size, out.data(), count);
    return out.substr(0, count);
  };
  EXPECT_EQ(contents(), std::string("\0\0\0\0xy", 6));
  ASSERT_EQ(c.TruncateBlob(f, image.data(), false, 8), 0);
  EXPECT_EQ(contents(), std::string("\0\0\0\0xy\0\0", 8));
  ASSERT_EQ(c.TruncateBlob(f, image.data(), false, 5), 0);
  EXPECT_EQ(contents(), std::string("\0\0\0\0x", 5));
  ASSERT_EQ(c.TruncateBlob(f, image.data(), false, 0), 0);
  EXPECT_TRUE(IsNull(c, image.data(), "Memo"));
}

TEST_F(EditTest, CallersBlobStaysOpenAfterTheAppendAndThenHoldsTheStoredValue) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  std::vector<uint8_t> image = Blank(c);
  PutInt(c, image, "Id", 1);
  PutInt(c, image, "Amount", 10);
  image = WithMemo(c, image, "caller's value", kBlobOwnerCaller);
  c.AppendRecord(image.data());
  EXPECT_EQ(c.OpenBlobCount(), 1);
  const uint16_t f = c.FieldNumber("Memo");
  uint32_t size = 0;
  EXPECT_EQ(c.GetBlobSize(f, image.data(), false, size), 0);
  EXPECT_EQ(size, 14u);
  ASSERT_EQ(c.FreeBlob(f, image.data(), kBlobOwnerCaller, false), 0);
  EXPECT_EQ(c.OpenBlobCount(), 0);
  int32_t mine = 0, stored = 0;
  EXPECT_FALSE(c.GetField(f, image.data(), &mine));
  EXPECT_FALSE(c.GetField(f, c.RecordBuffer(), &stored));
  EXPECT_GT(stored, 0);
  EXPECT_EQ(mine, stored);
  EXPECT_EQ(MemoOf(c, image), "caller's value");
}

TEST_F(EditTest, BlobBlocksFollowTheRecordThroughModifyAndDelete) {
  MakeTable("people", People());
  const std::string first = Pattern(1500, 1), second = Pattern(1500, 2), third = Pattern(1500, 3);
  {
    TDataCursor& c = OpenCursor("people");
    Add(c, 1, "Alice", 10, first);
    Add(c, 2, "Bob", 20, "keep me");
    EXPECT_EQ(c.OpenBlobCount(), 0);
    TBlobFile& blobs = c.Table()->BlobFile();
    const int32_t blocks = blobs.BlockCount();
    ASSERT_GT(blocks, 3);

    // An edit the way the components make it: lock, open for writing, put, post.
    std::vector<uint8_t> image = At(c, 1);
    ASSERT_EQ(c.GetCurrentRecord(image.data(), true), 0);
    const uint16_t f = c.FieldNumber("Memo");
    ASSERT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerCaller, false, kBlobWrite), 0);
    ASSERT_EQ(c.TruncateBlob(f, image.data(), false, 0), 0);
    ASSERT_EQ(c.PutBlob(f, image.data(), false, 0, uint32_t(second.size()), second.data()), 0);
    c.ModifyRecord(image.data());
    EXPECT_EQ(c.FreeBlob(f, image.data(), kBlobOwnerCaller, false), 0);
    EXPECT_EQ(blobs.BlockCount(), blocks);

    TDataCursor& reader = OpenCursor("people");
    EXPECT_EQ(MemoOf(reader, At(reader, 1)), second);

    // Deleting the record gives its blocks back; a value of the same size reuses them.
    image = At(c, 1);
    c.DeleteRecord(image.data());
    EXPECT_NE(blobs.FirstFreeBlock(), 0);
    EXPECT_EQ(blobs.BlockCount(), blocks);
    Add(c, 3, "Carol", 30, third);
    EXPECT_EQ(blobs.BlockCount(), blocks);
    EXPECT_EQ(MemoOf(reader, At(reader, 3)), third);
    EXPECT_EQ(MemoOf(reader, At(reader, 2)), "keep me");
  }
  cursors_.clear();
  TDataCursor& reopened = OpenCursor("people");
  EXPECT_NO_THROW(reopened.Table()->VerifyHeaders());
  EXPECT_EQ(Ids(reopened), (std::vector<int32_t>{2, 3}));
  EXPECT_EQ(MemoOf(reopened, At(reopened, 2)), "keep me");
  EXPECT_EQ(MemoOf(reopened, At(reopened, 3)), third);
  reopened.SetIndexName("ByName");
  EXPECT_EQ(Ids(reopened), (std::vector<int32_t>{2, 3}));
}

TEST_F(EditTest, RepeatedMemoEditsDoNotGrowTheBlobFile) {
  MakeTable("people", People());
  TDataCursor& c = OpenCursor("people");
  Add(c, 1, "Alice", 10, Pattern(1200, 0));
  TBlobFile& blobs = c.Table()->BlobFile();
  const int32_t blocks = blobs.BlockCount();
  for (char round = 1; round <= 5; ++round) {
    std::vector<uint8_t> image = At(c, 1);
    ASSERT_EQ(c.GetCurrentRecord(image.data(), true), 0);
    image = WithMemo(c, image, Pattern(1200, round));
    c.ModifyRecord(image.data());
  }
  EXPECT_EQ(c.OpenBlobCount(), 0);
  EXPECT_EQ(blobs.BlockCount(), blocks);
  EXPECT_EQ(MemoOf(c, At(c, 1)), Pattern(1200, 5));
}

}  // namespace
}  // namespace veldor::test
