// Field objects: text forms and native values of every engine type, ranges and refusals,
// the code-page boundary, variants, BLOB fields through streams, and field events.
#include <gtest/gtest.h>

#include "lib/code_page.h"
#include "lib/date_time.h"
#include "tests/toolkit/memory_dataset.h"

namespace veldor::test {
namespace {

class FieldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ds.DefineField("S", ftString, 8);
    ds.DefineField("Small", ftSmallint);
    ds.DefineField("Int", ftInteger);
    ds.DefineField("W", ftWord);
    ds.DefineField("Big", ftLargeint);
    ds.DefineField("F", ftFloat);
    ds.DefineField("Money", ftCurrency);
    ds.DefineField("Dec", ftBCD, 2);
    ds.DefineField("B", ftBoolean);
    ds.DefineField("D", ftDate);
    ds.DefineField("T", ftTime);
    ds.DefineField("DT", ftDateTime);
    ds.DefineField("Raw", ftBytes, 4);
    ds.DefineField("Memo", ftMemo);
    ds.DefineField("Pic", ftGraphic);
    ds.Open();
    ds.Append();
  }
  TField& F(const char* name) { return ds.FieldByName(name); }
  TMemoryDataSet ds;
};

struct TTextCase {
  const char* Field;
  const char* Input;
  const char* Shown;  // nullptr: refused
};

TEST_F(FieldsTest, TextFormsRoundTripOrAreRefused) {
  const TTextCase cases[] = {
      {"S", "abc", "abc"},
      {"S", "Grüße", "Grüße"},          // UTF-8 in, Windows-1252 stored, UTF-8 out
      {"S", "€uro", "€uro"},
      {"S", "123456789", "12345678"},   // cut to the declared size
      {"Small", "-32768", "-32768"},
      {"Small", "32768", nullptr},
      {"Small", "1.5", nullptr},
      {"Int", " 42 ", "42"},
      {"Int", "2147483648", nullptr},
      {"Int", "x", nullptr},
      {"W", "65535", "65535"},
      {"W", "-1", nullptr},
      {"Big", "-9223372036854775808", "-9223372036854775808"},
      {"F", "1.25e3", "1250"},
      {"F", "0.1", "0.1"},
      {"F", "nan", nullptr},
      {"Money", "12.5", "12.5"},
      {"Dec", "12.345", "12.35"},        // rounded half away from zero to the scale
      {"Dec", "-0.005", "-0.01"},
      {"Dec", "123456789012345678901234567890", "123456789012345678901234567890"},
      {"Dec", "1234567890123456789012345678901", nullptr},  // 31 + 2 digits do not fit 32
      {"Dec", "1e3", "1000"},
      {"Dec", "abc", nullptr},
      {"B", "true", "True"},
      {"B", "False", "False"},
      {"B", "maybe", nullptr},
      {"D", "1900-01-01", "1900-01-01"},
      {"D", "2024-02-30", nullptr},
      {"T", "01:30:15 PM", "01:30:15 PM"},
      {"DT", "2024-03-09 12:05 AM", "2024-03-09 12:05 AM"},
      {"DT", "2024-03-09", "2024-03-09 12:00 AM"},
      {"Raw", "ab", "ab"},
  };
  for (const TTextCase& c : cases) {
    SCOPED_TRACE(std::string(c.Field) + " <- " + c.Input);
    if (c.Shown) {
      F(c.Field).SetAsString(c.Input);
      std::string shown = F(c.Field).AsString();
      if (std::string(c.Field) == "Raw") shown = shown.substr(0, 2);
      EXPECT_EQ(shown, c.Shown);
    } else {
      F(c.Field).SetAsString("");  // a known state
      EXPECT_THROW(F(c.Field).SetAsString(c.Input), Exception);
      EXPECT_TRUE(F(c.Field).IsNull());  // a refused value writes nothing
    }
  }
}

TEST_F(FieldsTest, NativeFormsAreTheEngineEncodings) {
  F("D").SetAsString("1900-01-01");
  int32_t day;
  ASSERT_TRUE(F("D").GetData(&day));
  EXPECT_EQ(day, 693596);
  EXPECT_THROW(F("B").SetAsInteger(0), EDatabaseError);  // booleans have no integer form
  uint16_t flag = 9;
  F("B").SetAsBoolean(true);
  F("B").GetData(&flag);
  EXPECT_EQ(flag, 1);
  F("S").SetAsString("é");
  char text[9] = {};
  F("S").GetData(text);
  EXPECT_EQ(std::string(text), "\xE9");  // Windows-1252
  F("Dec").SetAsString("-1.5");
  uint8_t bcd[34];
  F("Dec").GetData(bcd);
  EXPECT_EQ(bcd[0], 32);
  EXPECT_EQ(bcd[1], 0x80 | 2);
  EXPECT_EQ(bcd[2 + 14], 0x01);  // digits ...0150: "15" in the last two bytes, then "0"
  EXPECT_EQ(bcd[2 + 15], 0x50);
  EXPECT_EQ(F("Dec").AsCurrency(), -15000);
  EXPECT_DOUBLE_EQ(F("Dec").AsFloat(), -1.5);
  F("DT").SetAsDateTime(MakeTimestamp(EncodeDate(2000, 1, 2), EncodeTime(3, 4, 5, 6)));
  EXPECT_EQ(F("DT").AsString(), "2000-01-02 03:04:05.6 AM");
  F("D").SetAsDateTime(F("DT").AsDateTime());  // a date keeps the day only
  EXPECT_EQ(F("D").AsString(), "2000-01-02");
  F("T").SetAsDateTime(F("DT").AsDateTime());
  EXPECT_EQ(F("T").AsString(), "03:04:05.6 AM");
}

// The message names the field, and the stored value stays as it was.
TEST_F(FieldsTest, ACharacterWindows1252CannotHoldIsRefusedNamingTheField) {
  F("S").SetAsString("keep");
  F("S").SetDisplayLabel("Surname");
  try {
    F("S").SetAsString("Жуков");
    FAIL();
  } catch (const ECodePageError& e) {
    EXPECT_NE(std::string(e.what()).find("Surname"), std::string::npos) << e.what();
    EXPECT_EQ(e.Problem.CodePoint, 0x416u);
  }
  EXPECT_EQ(F("S").AsString(), "keep");
  EXPECT_THROW(F("Memo").SetAsString("日本"), ECodePageError);
  EXPECT_THROW(F("S").SetAsString("\xFF\xFE"), ECodePageError);  // not UTF-8 at all
}

TEST_F(FieldsTest, ConversionsBetweenKindsAndTheirLimits) {
  F("Int").SetAsFloat(2.5);
  EXPECT_EQ(F("Int").AsInteger(), 3);  // half away from zero
  F("Int").SetAsCurrency(-25000);
  EXPECT_EQ(F("Int").AsInteger(), -3);
  EXPECT_THROW(F("Small").SetAsInteger(40000), EDatabaseError);
  F("Big").SetAsLargeInt(INT64_MAX);
  EXPECT_THROW(F("Big").AsInteger(), EDatabaseError);  // beyond 32 bits
  EXPECT_THROW(F("Big").AsCurrency(), EDatabaseError);
  F("F").SetAsString("1e300");
  EXPECT_THROW(F("F").AsLargeInt(), EDatabaseError);
  EXPECT_THROW(F("B").AsFloat(), EDatabaseError);
  EXPECT_THROW(F("D").AsBoolean(), EDatabaseError);
  try {
    F("Raw").AsDateTime();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot access field 'Raw' as type DateTime");
  }
  // Empty text clears the non-text kinds.
  F("Int").SetAsString("");
  EXPECT_TRUE(F("Int").IsNull());
  EXPECT_EQ(F("Int").AsString(), "");
}

TEST_F(FieldsTest, ValuesAsVariants) {
  F("S").SetValue(TVariant("x"));
  F("Int").SetValue(TVariant(7));
  F("F").SetValue(TVariant(0.5));
  F("B").SetValue(TVariant(true));
  F("Dec").SetValue(TVariant::Currency(12345));
  F("D").SetValue(TVariant("2001-02-03"));
  EXPECT_EQ(F("S").Value(), TVariant("x"));
  EXPECT_EQ(F("Int").Value(), TVariant(int64_t(7)));
  EXPECT_EQ(F("F").Value(), TVariant(0.5));
  EXPECT_EQ(F("B").Value(), TVariant(true));
  EXPECT_EQ(F("Dec").Value(), TVariant::Currency(12300));  // two decimals
  EXPECT_EQ(F("D").Value(), TVariant::DateTime(MakeTimestamp(EncodeDate(2001, 2, 3), 0)));
  F("Int").SetValue(TVariant());
  EXPECT_TRUE(F("Int").Value().IsNull());
  EXPECT_THROW(F("Int").SetValue(TVariant(std::vector<TVariant>{1, 2})), EDatabaseError);
}

TEST_F(FieldsTest, BlobFieldsGoThroughStreams) {
  EXPECT_TRUE(F("Memo").IsNull());
  F("Memo").SetAsString("Grüße aus Köln");
  EXPECT_TRUE(F("Memo").Modified());
  EXPECT_FALSE(F("Memo").IsNull());
  EXPECT_EQ(F("Memo").AsString(), "Grüße aus Köln");
  std::vector<uint8_t> picture = {0, 1, 2, 255};
  F("Pic").SetAsBytes(picture);
  ds.Post();
  EXPECT_EQ(F("Pic").AsBytes(), picture);
  EXPECT_EQ(F("Memo").AsBytes().size(), 14u);  // one byte per character stored
  EXPECT_EQ(F("Memo").Value(), TVariant("Grüße aus Köln"));
  // Reading a BLOB stream past its end gives what remains, then nothing.
  std::unique_ptr<TStream> stream = ds.CreateBlobStream(&F("Pic"), bmRead);
  uint8_t chunk[3];
  EXPECT_EQ(stream->Read(chunk, 3), 3);
  EXPECT_EQ(stream->Read(chunk, 3), 1);
  EXPECT_EQ(stream->Read(chunk, 3), 0);
  EXPECT_THROW(stream->ReadBuffer(chunk, 1), EStreamError);
  stream.reset();
  EXPECT_THROW(F("Memo").SetAsString("no"), EDatabaseError);  // not editing
  ds.Edit();
  F("Memo").Clear();
  EXPECT_TRUE(F("Memo").IsNull());
  TMemoryStream source;
  source.WriteBuffer("abc", 3);
  source.SetPosition(0);
  static_cast<TBlobField&>(F("Pic")).LoadFromStream(source);
  ds.Post();
  TMemoryStream saved;
  static_cast<TBlobField&>(F("Pic")).SaveToStream(saved);
  EXPECT_EQ(saved.Data(), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST_F(FieldsTest, OnChangeRunsAfterEveryWriteAndOnValidateBeforeIt) {
  std::vector<std::string> seen;
  F("Int").OnValidate = [&](TField& f) { seen.push_back("validate " + f.AsString()); };
  F("Int").OnChange = [&](TField& f) { seen.push_back("change " + f.AsString()); };
  F("Int").SetAsInteger(5);
  F("Int").Clear();
  EXPECT_EQ(seen, (std::vector<std::string>{"validate 5", "change 5", "validate ", "change "}));
}

TEST(FieldFactoryTest, EveryEngineKindHasAClassAndTheOthersAreRefused) {
  const TFieldType kinds[] = {ftString, ftFixedChar, ftWideString, ftGuid, ftSmallint, ftInteger,
                              ftWord, ftAutoInc, ftLargeint, ftBoolean, ftFloat, ftCurrency,
                              ftBCD, ftDate, ftTime, ftDateTime, ftBytes, ftVarBytes, ftBlob,
                              ftMemo, ftGraphic, ftFmtMemo, ftTypedBinary, ftParadoxOle,
                              ftDBaseOle, ftOraBlob, ftOraClob};
  for (TFieldType kind : kinds) {
    std::unique_ptr<TField> f = CreateFieldOfType(kind, 10);
    EXPECT_EQ(f->DataType(), kind);
    EXPECT_EQ(f->IsBlob(), IsBlobType(kind));
  }
  EXPECT_EQ(CreateFieldOfType(ftString, 10)->DataSize(), 11);
  EXPECT_EQ(CreateFieldOfType(ftBCD, 2)->DataSize(), 34);
  EXPECT_EQ(CreateFieldOfType(ftVarBytes, 7)->DataSize(), 7);
  for (TFieldType kind : {ftUnknown, ftCursor, ftADT, ftArray, ftReference, ftDataSet, ftVariant,
                          ftInterface, ftIDispatch, ftTimeStamp, ftFMTBcd})
    EXPECT_THROW(CreateFieldOfType(kind, 0), EDatabaseError);
  // A field outside any data set has no value and cannot take one.
  std::unique_ptr<TField> loose = CreateFieldOfType(ftInteger, 0);
  EXPECT_TRUE(loose->IsNull());
  EXPECT_THROW(loose->SetAsInteger(1), EDatabaseError);
}

}  // namespace
}  // namespace veldor::test
