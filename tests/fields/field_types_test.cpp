#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/byte_order.h"
#include "lib/date_time.h"

namespace veldor {
namespace {

TFieldDescriptor Field(uint16_t number, const char* name, uint8_t type, uint8_t size = 0,
                       uint8_t scale = 0, uint8_t subType = 0) {
  TFieldDescriptor f;
  f.SetFieldNumber(number);
  f.SetFieldName(name);
  f.SetFieldType(type);
  f.SetSubType(subType);
  f.SetDeclaredSize(size);
  f.SetDeclaredScale(scale);
  return f;
}

// Runs `fn` and returns the engine error code it raised (0 when none).
uint16_t CodeOf(const std::function<void()>& fn, std::string* field = nullptr) {
  try {
    fn();
  } catch (const EVELDOREngineError& e) {
    if (field) *field = e.ErrorFieldName;
    return e.ErrorCode;
  }
  return 0;
}

TEST(FieldDescriptor, AccessorsUseTheirBytes) {
  TFieldDescriptor f = Field(0x0102, "Title", FIELD_STRING, 40);
  f.SetDescription("The title");
  f.SetOffset(0x1234);
  f.SetRequired(true);
  f.SetCharCase(CHARCASE_UPPER);
  f.SetMinValue("A");
  f.SetMaxValue("Z");
  f.SetDefaultValue("M");
  EXPECT_EQ(f.Bytes[0], 0x02);
  EXPECT_EQ(f.Bytes[1], 0x01);
  EXPECT_EQ(f.Bytes[2], 5);
  EXPECT_EQ(std::memcmp(&f.Bytes[3], "Title", 5), 0);
  EXPECT_EQ(f.Bytes[33], 9);
  EXPECT_EQ(f.Bytes[84], FIELD_STRING);
  EXPECT_EQ(f.Bytes[86], 40);
  EXPECT_EQ(f.Bytes[90], 0x34);
  EXPECT_EQ(f.Bytes[91], 0x12);
  EXPECT_EQ(f.Bytes[92], 1);
  EXPECT_EQ(f.Bytes[93], 2);
  EXPECT_EQ(f.Bytes[94], 1);
  EXPECT_EQ(f.Bytes[95], 'A');
  EXPECT_EQ(f.Bytes[146], 'Z');
  EXPECT_EQ(f.Bytes[197], 'M');
  uint8_t raw[kFieldDescriptorSize];
  f.ToBytes(raw);
  TFieldDescriptor g = TFieldDescriptor::FromBytes(raw);
  EXPECT_EQ(g.FieldName(), "Title");
  EXPECT_EQ(g.Description(), "The title");
  EXPECT_EQ(g.Offset(), 0x1234);
  EXPECT_EQ(g.DefaultValue(), "M");
  // Setters cut to their areas; a length byte beyond its area is never read past it.
  g.SetFieldName(std::string(40, 'n'));
  EXPECT_EQ(g.FieldName().size(), 30u);
  g.Bytes[2] = 200;
  EXPECT_EQ(g.FieldName().size(), 30u);
}

TEST(FieldLayout, SlotSizesOffsetsAndRecordSize) {
  struct {
    uint8_t type, size, slot;
  } sizes[] = {
      {FIELD_STRING, 250, 251}, {FIELD_STRING, 1, 2}, {FIELD_DATE, 0, 4},
      {FIELD_BLOB, 0, 8},       {FIELD_BOOLEAN, 0, 2}, {FIELD_SMALLINT, 0, 2},
      {FIELD_INTEGER, 0, 4},    {FIELD_FLOAT, 0, 8},   {FIELD_BCD, 0, 34},
      {FIELD_BYTES, 17, 17},    {FIELD_TIME, 0, 4},    {FIELD_TIMESTAMP, 0, 8},
      {FIELD_WORD, 0, 2},       {FIELD_LONGWORD, 0, 4}, {FIELD_EXTENDED, 0, 10},
      {FIELD_VARBYTES, 9, 9},   {FIELD_LARGEINT, 0, 8}, {16, 0, 0},
      {20, 0, 0},
  };
  for (const auto& s : sizes) EXPECT_EQ(SlotSizeOf(s.type, s.size), s.slot) << int(s.type);

  // A string of 250 takes 252 bytes with its flag.
  std::vector<TFieldDescriptor> one{Field(1, "S", FIELD_STRING, 250)};
  EXPECT_EQ(PrepareFieldDefinitions(one, "t"), 9u + 252u);

  // Auto-increment fields live at offset 5 and do not count.
  std::vector<TFieldDescriptor> fields{Field(1, "Id", FIELD_INTEGER, 0, 0, SUBTYPE_AUTOINC),
                                       Field(2, "N", FIELD_INTEGER)};
  EXPECT_EQ(PrepareFieldDefinitions(fields, "t"), 14u);
  EXPECT_EQ(fields[0].Offset(), 5);
  EXPECT_EQ(fields[1].Offset(), 9);
  EXPECT_EQ(RecordSizeOf(fields), 14u);

  std::vector<TFieldDescriptor> three{Field(1, "A", FIELD_SMALLINT), Field(2, "B", FIELD_BCD, 0, 2),
                                      Field(3, "C", FIELD_DATE)};
  EXPECT_EQ(PrepareFieldDefinitions(three, "t"), 9u + 3 + 35 + 5);
  EXPECT_EQ(three[1].Offset(), 12);
  EXPECT_EQ(three[2].Offset(), 47);
  EXPECT_EQ(KeyLengthOf(three[1]), 8);
  EXPECT_EQ(KeyLengthOf(three[2]), 4);

  // 262 strings of 250 characters pass 65535 bytes.
  std::vector<TFieldDescriptor> big;
  for (int i = 1; i <= 262; ++i) big.push_back(Field(uint16_t(i), ("F" + std::to_string(i)).c_str(), FIELD_STRING, 250));
  uint32_t size = PrepareFieldDefinitions(big, "huge");
  EXPECT_GT(size, kMaxRecordSize);
  EXPECT_EQ(CodeOf([&] { CheckRecordSize(size, "huge"); }), VELDOR_RECTOOBIG);
  EXPECT_EQ(CodeOf([&] { CheckRecordSize(65535, "ok"); }), 0);
}

TEST(FieldValidation, DefiningReportsWhichCheckFailed) {
  struct Case {
    const char* what;
    std::function<void(std::vector<TFieldDescriptor>&)> damage;
    uint16_t code;
    const char* field;
  };
  const Case cases[] = {
      {"name starting with a digit", [](auto& f) { f[1].SetFieldName("1Name"); },
       VELDOR_INVALIDFIELDNAME, "1Name"},
      {"empty name", [](auto& f) { f[1].SetFieldName("   "); }, VELDOR_INVALIDFIELDNAME, ""},
      {"duplicate name without regard to case", [](auto& f) { f[1].SetFieldName("NAME"); },
       VELDOR_INVALIDFIELDNAME, "NAME"},
      {"duplicate number", [](auto& f) { f[1].SetFieldNumber(1); }, VELDOR_INVALIDFLDTYPE, "Qty"},
      {"type 0", [](auto& f) { f[1].SetFieldType(0); }, VELDOR_INVALIDFLDTYPE, "Qty"},
      {"unknown type", [](auto& f) { f[1].SetFieldType(77); }, VELDOR_INVALIDFLDTYPE, "Qty"},
      {"string of 251", [](auto& f) { f[0].SetDeclaredSize(251); }, VELDOR_INVALIDFLDTYPE, "Name"},
      {"BCD scale 33", [](auto& f) { f[2].SetDeclaredScale(33); }, VELDOR_INVALIDFLDTYPE, "Price"},
      {"integer default not a number", [](auto& f) { f[1].SetDefaultValue("ten"); },
       VELDOR_INVALIDVCHKSTRUCT, "Qty"},
      {"smallint maximum out of range", [](auto& f) { f[1].SetFieldType(FIELD_SMALLINT); f[1].SetMaxValue("40000"); },
       VELDOR_INVALIDVCHKSTRUCT, "Qty"},
      {"date minimum not a date", [](auto& f) { f[3].SetMinValue("2024-13-01"); },
       VELDOR_INVALIDVCHKSTRUCT, "Born"},
      {"boolean default", [](auto& f) { f[4].SetDefaultValue("yes"); }, VELDOR_INVALIDVCHKSTRUCT,
       "Flag"},
      {"BLOB default", [](auto& f) { f[5].SetDefaultValue("x"); }, VELDOR_INVALIDVCHKSTRUCT, "Text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<TFieldDescriptor> fields{
        Field(1, "Name", FIELD_STRING, 20),   Field(2, "Qty", FIELD_INTEGER),
        Field(3, "Price", FIELD_BCD, 0, 2),   Field(4, "Born", FIELD_DATE),
        Field(5, "Flag", FIELD_BOOLEAN),      Field(6, "Text", FIELD_BLOB, 0, 0, SUBTYPE_MEMO)};
    ASSERT_EQ(CodeOf([&] { auto copy = fields; PrepareFieldDefinitions(copy, "t"); }), 0);
    c.damage(fields);
    std::string field;
    EXPECT_EQ(CodeOf([&] { PrepareFieldDefinitions(fields, "t"); }, &field), c.code);
    EXPECT_EQ(field, c.field);
  }
}

TEST(FieldValidation, DefiningNormalises) {
  std::vector<TFieldDescriptor> fields{Field(7, "  Padded  ", FIELD_INTEGER, 12, 3),
                                       Field(3, std::string(35, 'L').c_str(), FIELD_DATE)};
  fields[0].SetCalculated(true);
  fields[0].SetDefaultValue("-5");
  fields[1].SetDefaultValue("current_date");
  fields[1].SetMinValue("CURRENT_TIMESTAMP");
  EXPECT_EQ(PrepareFieldDefinitions(fields, "t"), 9u + 5 + 5);
  EXPECT_EQ(fields[0].FieldName(), "Padded");
  EXPECT_EQ(fields[0].DeclaredSize(), 0);
  EXPECT_EQ(fields[0].DeclaredScale(), 0);
  EXPECT_FALSE(fields[0].Calculated());
  EXPECT_EQ(fields[0].SlotSize(), 4);
  EXPECT_EQ(fields[1].FieldName().size(), 30u);
  EXPECT_EQ(fields[1].Offset(), 14);
}

TEST(FieldValidation, StoredHeadersRefuseEveryInconsistency) {
  auto good = [] {
    std::vector<TFieldDescriptor> fields{Field(1, "Id", FIELD_INTEGER, 0, 0, SUBTYPE_AUTOINC),
                                         Field(2, "Name", FIELD_STRING, 20),
                                         Field(3, "Amount", FIELD_BCD, 0, 2)};
    PrepareFieldDefinitions(fields, "t");
    return fields;
  };
  {
    auto fields = good();
    EXPECT_EQ(VerifyStoredFields(fields, "t"), 9u + 22 + 35);
  }
  struct Case {
    const char* what;
    std::function<void(std::vector<TFieldDescriptor>&)> damage;
  };
  const Case cases[] = {
      {"field number not its position", [](auto& f) { f[1].SetFieldNumber(5); }},
      {"offset off by one", [](auto& f) { f[2].SetOffset(uint16_t(f[2].Offset() + 1)); }},
      {"auto-increment not at 5", [](auto& f) { f[0].SetOffset(9); }},
      {"declared size on an integer", [](auto& f) { f[0].SetDeclaredSize(3); }},
      {"scale on a string", [](auto& f) { f[1].SetDeclaredScale(1); }},
      {"name length byte past its area", [](auto& f) { f[1].Bytes[2] = 31; }},
      {"value text length byte past its area", [](auto& f) { f[1].Bytes[196] = 60; }},
      {"bad default", [](auto& f) { f[2].SetDefaultValue("12,5"); }},
      {"duplicate name", [](auto& f) { f[2].SetFieldName("name"); }},
      {"calculated field", [](auto& f) { f[2].SetCalculated(true); }},
      {"type 0", [](auto& f) { f[2].SetFieldType(0); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto fields = good();
    c.damage(fields);
    std::string field = "?";
    EXPECT_EQ(CodeOf([&] { VerifyStoredFields(fields, "t"); }, &field), VELDOR_HEADERCORRUPT);
    EXPECT_EQ(field, "");
  }
  // The slot size is never taken from the file.
  auto fields = good();
  fields[1].SetSlotSize(99);
  EXPECT_EQ(CodeOf([&] { VerifyStoredFields(fields, "t"); }), 0);
  EXPECT_EQ(fields[1].SlotSize(), 21);
}

class RecordValues : public ::testing::Test {
 protected:
  void SetUp() override {
    fields = {Field(1, "Id", FIELD_INTEGER, 0, 0, SUBTYPE_AUTOINC),
              Field(2, "Name", FIELD_STRING, 8),
              Field(3, "Upper", FIELD_STRING, 10),
              Field(4, "Born", FIELD_DATE),
              Field(5, "Memo", FIELD_BLOB, 0, 0, SUBTYPE_MEMO),
              Field(6, "Flag", FIELD_BOOLEAN),
              Field(7, "Small", FIELD_SMALLINT),
              Field(8, "Int", FIELD_INTEGER),
              Field(9, "Real", FIELD_FLOAT),
              Field(10, "Price", FIELD_BCD, 0, 2),
              Field(11, "Raw", FIELD_BYTES, 3),
              Field(12, "At", FIELD_TIME),
              Field(13, "Stamp", FIELD_TIMESTAMP),
              Field(14, "W", FIELD_WORD),
              Field(15, "LW", FIELD_LONGWORD),
              Field(16, "Ext", FIELD_EXTENDED),
              Field(17, "VB", FIELD_VARBYTES, 5),
              Field(18, "Big", FIELD_LARGEINT)};
    fields[2].SetCharCase(CHARCASE_UPPER);
    size = PrepareFieldDefinitions(fields, "t");
    record.assign(size, 0);
  }

  // Puts `bytes` into field `i` and returns what comes back (with the null flag).
  std::vector<uint8_t> RoundTrip(size_t i, const std::vector<uint8_t>& bytes, bool& null) {
    PutFieldValue(record.data(), fields[i], bytes.data());
    std::vector<uint8_t> out(256, 0xEE);
    null = GetFieldValue(record.data(), fields[i], out.data());
    size_t n = fields[i].FieldType() == FIELD_BLOB || fields[i].IsAutoInc() ? 4 : fields[i].SlotSize();
    out.resize(n);
    return out;
  }

  std::vector<TFieldDescriptor> fields;
  uint32_t size = 0;
  std::vector<uint8_t> record;
};

TEST_F(RecordValues, EveryTypeRoundTrips) {
  auto le = [](uint64_t v, size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(v >> (8 * i));
    return b;
  };
  std::vector<uint8_t> dbl(8), ext(10, 0x5A);
  StoreDouble(dbl.data(), 3.25);
  uint8_t bcd[kBCDSize];
  ASSERT_TRUE(CurrencyToBCD(-125000, 2, bcd));
  const struct {
    size_t field;
    std::vector<uint8_t> in;
  } cases[] = {
      {3, le(uint32_t(EncodeDate(1900, 1, 1)), 4)},
      {6, le(uint16_t(-123), 2)},
      {7, le(uint32_t(-70000), 4)},
      {8, dbl},
      {9, std::vector<uint8_t>(bcd, bcd + kBCDSize)},
      {10, {0, 1, 2}},
      {11, le(86399999, 4)},
      {12, dbl},
      {13, le(65535, 2)},
      {14, le(4000000000u, 4)},
      {15, ext},
      {16, {1, 2, 3, 4, 5}},
      {17, le(uint64_t(-5000000000LL), 8)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(fields[c.field].FieldName());
    bool null = true;
    EXPECT_EQ(RoundTrip(c.field, c.in, null), c.in);
    EXPECT_FALSE(null);
    EXPECT_TRUE(FieldPresent(record.data(), fields[c.field]));
    PutFieldValue(record.data(), fields[c.field], nullptr);
    EXPECT_FALSE(FieldPresent(record.data(), fields[c.field]));
    std::vector<uint8_t> out(fields[c.field].SlotSize(), 0xEE);
    EXPECT_TRUE(GetFieldValue(record.data(), fields[c.field], out.data()));
    EXPECT_EQ(out, std::vector<uint8_t>(out.size(), 0));  // zero-filled
  }
  // The 1900-01-01 date is stored as 693596 right after its flag.
  PutFieldValue(record.data(), fields[3], le(693596, 4).data());
  EXPECT_EQ(LoadI32(record.data() + fields[3].Offset() + 1), 693596);
}

TEST_F(RecordValues, StringsAreCutTrimmedCasedAndEmptyIsNull) {
  char out[16];
  auto put = [&](size_t i, const char* text) {
    PutFieldValue(record.data(), fields[i], text);
    bool null = GetFieldValue(record.data(), fields[i], out);
    return null ? std::string("<null>") : std::string(out);
  };
  EXPECT_EQ(put(1, "abc   "), "abc");
  EXPECT_EQ(put(1, "    "), "<null>");
  EXPECT_EQ(put(1, ""), "<null>");
  EXPECT_EQ(put(1, "abcdefghijkl"), "abcdefgh");  // cut at the declared length
  EXPECT_EQ(put(1, "ab\0cd"), "ab");
  EXPECT_EQ(put(2, "caf\xe9 ol\xe9"), "CAF\xc9 OL\xc9");  // Windows-1252 upper case
  // The slot behind a shorter value is zero.
  put(1, "abcdefgh");
  put(1, "xy");
  const uint8_t* slot = record.data() + fields[1].Offset() + 1;
  for (int i = 2; i < 9; ++i) EXPECT_EQ(slot[i], 0) << i;
}

TEST_F(RecordValues, BooleansBlobsAndAutoIncrement) {
  bool null;
  EXPECT_EQ(RoundTrip(5, {7, 0}, null), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(RoundTrip(5, {0, 1}, null), (std::vector<uint8_t>{1, 0}));
  EXPECT_EQ(RoundTrip(5, {0, 0}, null), (std::vector<uint8_t>{0, 0}));
  EXPECT_FALSE(null);

  // A BLOB takes its 4-byte reference; 0 is an empty BLOB, stored as null.
  uint8_t* slot = record.data() + fields[4].Offset() + 1;
  StoreU32(slot + 4, 0xABCD);  // the identifier half stays
  EXPECT_EQ(RoundTrip(4, {9, 0, 0, 0}, null), (std::vector<uint8_t>{9, 0, 0, 0}));
  EXPECT_FALSE(null);
  EXPECT_EQ(LoadU32(slot + 4), 0xABCDu);
  RoundTrip(4, {0, 0, 0, 0}, null);
  EXPECT_TRUE(null);

  // The auto-increment field is the row identifier and never null.
  EXPECT_EQ(RoundTrip(0, {0x10, 0x27, 0, 0}, null), (std::vector<uint8_t>{0x10, 0x27, 0, 0}));
  EXPECT_FALSE(null);
  EXPECT_EQ(LoadI32(record.data() + kRowIdOffset), 10000);
  PutFieldValue(record.data(), fields[0], nullptr);
  EXPECT_EQ(LoadI32(record.data() + kRowIdOffset), 10000);
}

TEST(PackedDecimals, CurrencyRoundTripsAtEveryScale) {
  const int64_t amounts[] = {0, 1, -1, 125000, -125000, 10000, 99999999, INT64_MAX, INT64_MIN};
  for (int scale : {0, 2, 4, 6, 17}) {
    for (int64_t amount : amounts) {
      SCOPED_TRACE(std::to_string(amount) + " scale " + std::to_string(scale));
      uint8_t bcd[kBCDSize];
      if (!CurrencyToBCD(amount, scale, bcd)) {
        // Only scales that leave too few integer digits may refuse.
        EXPECT_GT(scale, 13);
        continue;
      }
      EXPECT_EQ(bcd[0], 32);
      EXPECT_EQ(bcd[1] & 0x3F, scale);
      int64_t back = 0;
      if (!BCDToCurrency(bcd, back)) {
        // Rounding the extremes to fewer decimals leaves the 64-bit range.
        EXPECT_LT(scale, 4);
        EXPECT_TRUE(amount == INT64_MAX || amount == INT64_MIN);
        continue;
      }
      if (scale >= 4) {
        EXPECT_EQ(back, amount);
      } else {
        // Fewer decimals than four: the amount was rounded to the scale.
        int64_t unit = scale == 0 ? 10000 : scale == 2 ? 100 : 1;
        __int128 diff = (__int128)back - amount;
        EXPECT_LE(diff < 0 ? -diff : diff, unit / 2);
      }
    }
  }
  // 12.34 at scale 2 has the digits 1, 2, 3, 4 at the end of the 32.
  uint8_t bcd[kBCDSize];
  ASSERT_TRUE(CurrencyToBCD(123400, 2, bcd));
  EXPECT_EQ(bcd[16], 0x12);
  EXPECT_EQ(bcd[17], 0x34);
  EXPECT_EQ(bcd[15], 0x00);
  ASSERT_TRUE(CurrencyToBCD(-123400, 2, bcd));
  EXPECT_EQ(bcd[1], 0x82);
}

TEST(PackedDecimals, MalformedBytesAreRefused) {
  uint8_t bcd[kBCDSize] = {};
  int64_t amount = -1;
  EXPECT_TRUE(BCDToCurrency(bcd, amount));  // precision 0 is zero
  EXPECT_EQ(amount, 0);
  bcd[0] = 2;
  bcd[2] = 0x1A;  // digit nibble 10
  EXPECT_FALSE(BCDToCurrency(bcd, amount));
  bcd[2] = 0x12;
  bcd[1] = 3;  // scale above precision
  EXPECT_FALSE(BCDToCurrency(bcd, amount));
  std::memset(bcd, 0x99, sizeof bcd);  // 64 nines
  bcd[0] = 64;
  bcd[1] = 0;
  EXPECT_FALSE(BCDToCurrency(bcd, amount));
  // Decimals beyond four are rounded.
  uint8_t small[kBCDSize] = {6, 6, 0x00, 0x00, 0x55};  // 0.000055
  ASSERT_TRUE(BCDToCurrency(small, amount));
  EXPECT_EQ(amount, 1);
}

}  // namespace
}  // namespace veldor
