#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "engine/index_format.h"
#include "engine/index_key.h"
#include "lib/byte_order.h"
#include "lib/collation.h"

namespace veldor {
namespace {

constexpr uint16_t kAnsi = 0;
constexpr uint16_t kGerman = 0x0407;
constexpr uint16_t kSwedish = 0x041D;

using TBytes = std::vector<uint8_t>;
using TValue = std::optional<TBytes>;  // nullopt: a null field

// ---- Values in slot encoding ------------------------------------------------------------

TBytes I16(int16_t v) { TBytes b(2); StoreI16(b.data(), v); return b; }
TBytes U16(uint16_t v) { TBytes b(2); StoreU16(b.data(), v); return b; }
TBytes I32(int32_t v) { TBytes b(4); StoreI32(b.data(), v); return b; }
TBytes U32(uint32_t v) { TBytes b(4); StoreU32(b.data(), v); return b; }
TBytes I64(int64_t v) { TBytes b(8); StoreI64(b.data(), v); return b; }
TBytes F64(double v) { TBytes b(8); StoreDouble(b.data(), v); return b; }
TBytes Str(const std::string& s) { return TBytes(s.begin(), s.end() + 1); }  // with its NUL
// A currency amount (four decimals) written with `scale` decimals.
TBytes Bcd(int64_t amount, int scale) {
  TBytes b(kBCDSize);
  EXPECT_TRUE(CurrencyToBCD(amount, scale, b.data()));
  return b;
}
// A packed decimal from its digit text ("00012"), sign and scale, precision = digit count.
TBytes Packed(bool negative, int scale, const std::string& digits) {
  TBytes b(kBCDSize, 0);
  b[0] = uint8_t(digits.size());
  b[1] = uint8_t((negative ? 0x80 : 0) | scale);
  for (size_t i = 0; i < digits.size(); ++i) {
    uint8_t d = uint8_t(digits[i] - '0');
    b[2 + i / 2] |= i % 2 == 0 ? uint8_t(d << 4) : d;
  }
  return b;
}

std::string Hex(const uint8_t* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
std::string Hex(const TBytes& b) { return Hex(b.data(), b.size()); }
std::string Unspaced(std::string s) {
  std::erase(s, ' ');
  return s;
}

// ---- A small table and its indexes ------------------------------------------------------

TFieldDescriptor Field(uint8_t type, uint8_t size = 0, uint8_t scale = 0, uint8_t subType = 0) {
  TFieldDescriptor f;
  f.SetFieldType(type);
  f.SetDeclaredSize(size);
  f.SetDeclaredScale(scale);
  f.SetSubType(subType);
  return f;
}
const TFieldDescriptor kAutoInc = Field(FIELD_INTEGER, 0, 0, SUBTYPE_AUTOINC);

struct TTable {
  std::vector<TFieldDescriptor> Fields;
  uint32_t RecordSize = 0;

  explicit TTable(std::vector<TFieldDescriptor> fields) : Fields(std::move(fields)) {
    for (size_t i = 0; i < Fields.size(); ++i) {
      Fields[i].SetFieldNumber(uint16_t(i + 1));
      Fields[i].SetFieldName("F" + std::to_string(i + 1));
      ComputeFieldSize(Fields[i]);
    }
    RecordSize = LayoutFields(Fields);
  }
  TBytes Record(int32_t rowId, const std::vector<TValue>& values) const {
    TBytes record(RecordSize, 0);
    StoreI32(record.data() + kRowIdOffset, rowId);
    for (size_t i = 0; i < values.size(); ++i)
      PutFieldValue(record.data(), Fields[i], values[i] ? values[i]->data() : nullptr);
    return record;
  }
};

// An index over field numbers; bit i of `descendingFields` marks key field i descending.
TIndexDescriptor Index(const std::vector<uint16_t>& numbers, bool unique,
                       unsigned descendingFields = 0, bool descending = false,
                       bool caseInsensitive = false) {
  TIndexDescriptor d;
  d.SetName("ByKey");
  d.SetUnique(unique);
  d.SetDescending(descending);
  d.SetCaseInsensitive(caseInsensitive);
  d.SetFieldCount(uint8_t(numbers.size()));
  for (size_t i = 0; i < numbers.size(); ++i) {
    d.SetFieldNumber(int(i), numbers[i]);
    d.SetFieldDescending(int(i), (descendingFields >> i) & 1);
  }
  return d;
}

TBytes KeyOf(const TKeyLayout& layout, const TBytes& record) {
  TBytes key(size_t(layout.KeyLength()), 0xAA);
  layout.BuildKey(record.data(), key.data());
  return key;
}

int Sign(int v) { return v < 0 ? -1 : v > 0 ? 1 : 0; }
int ByteOrder(const TBytes& a, const TBytes& b) {
  return Sign(std::memcmp(a.data(), b.data(), a.size()));
}

uint16_t CodeOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode;
  }
  return 0;
}

// ---- Layout -----------------------------------------------------------------------------

TEST(KeyLayout, KeyLengthsFromTheFields) {
  struct Case {
    const char* name;
    std::vector<TFieldDescriptor> fields;
    bool unique;
    int partSum, keyLength;
  };
  const Case cases[] = {
      {"unique integer", {Field(FIELD_INTEGER)}, true, 5, 5},
      {"non-unique integer", {Field(FIELD_INTEGER)}, false, 5, 9},
      {"string 20 + date", {Field(FIELD_STRING, 20), Field(FIELD_DATE)}, false, 27, 31},
      {"BCD keys as 8 bytes", {Field(FIELD_BCD, 0, 2)}, true, 9, 9},
      {"auto-increment", {kAutoInc}, true, 5, 5},
      {"longword, extended, bytes",
       {Field(FIELD_LONGWORD), Field(FIELD_EXTENDED), Field(FIELD_BYTES, 7)}, false, 24, 28},
      {"522 is the largest part sum",
       {Field(FIELD_STRING, 250), Field(FIELD_STRING, 250), Field(FIELD_STRING, 16)}, true, 522,
       522},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTable table(c.fields);
    std::vector<uint16_t> numbers;
    for (size_t i = 0; i < c.fields.size(); ++i) numbers.push_back(uint16_t(i + 1));
    TIndexDescriptor d = Index(numbers, c.unique);
    EXPECT_EQ(KeyPartSum(d, table.Fields), c.partSum);
    TKeyLayout layout(d, table.Fields, GetCollation(kAnsi, 0));
    EXPECT_EQ(layout.KeyLength(), c.keyLength);
    EXPECT_EQ(layout.Unique(), c.unique);
    int offset = 0;
    for (const TKeyPart& part : layout.Parts()) {
      EXPECT_EQ(part.KeyOffset, offset);
      offset += part.Length + 1;
    }
    EXPECT_EQ(offset, c.partSum);
  }

  TTable table({Field(FIELD_STRING, 20), Field(FIELD_DATE), kAutoInc});
  TKeyLayout layout(Index({2, 3, 1}, false), table.Fields, GetCollation(kAnsi, 0));
  const auto& parts = layout.Parts();
  EXPECT_EQ(parts[0].RecordOffset, table.Fields[1].Offset());
  EXPECT_EQ(parts[1].RecordOffset, kRowIdOffset);
  EXPECT_TRUE(parts[1].AutoInc);
  EXPECT_EQ(parts[2].Length, 21);
  EXPECT_EQ(parts[2].KeyOffset, 10);
}

TEST(KeyLayout, BadDescriptorsRefused) {
  TTable table({Field(FIELD_INTEGER), Field(FIELD_STRING, 250), Field(FIELD_STRING, 250),
                Field(FIELD_STRING, 17)});
  const TCollation& ansi = GetCollation(kAnsi, 0);
  struct Case {
    const char* name;
    TIndexDescriptor descriptor;
    uint16_t code;
  };
  TIndexDescriptor tooMany = Index({1}, true);
  tooMany.SetFieldCount(17);
  const Case cases[] = {
      {"field number 0", Index({1, 0}, true), VELDOR_INVALIDIDXDESC},
      {"field number past the table", Index({5}, true), VELDOR_INVALIDIDXDESC},
      {"17 key fields", tooMany, VELDOR_INDEXLIMIT},
      {"part sum 523", Index({2, 3, 4}, true), VELDOR_INVALIDKEY},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.code != VELDOR_INVALIDKEY) {
      EXPECT_EQ(KeyPartSum(c.descriptor, table.Fields), -1);
    }
    EXPECT_EQ(CodeOf([&] { TKeyLayout(c.descriptor, table.Fields, ansi); }), c.code);
  }
  EXPECT_EQ(KeyPartSum(Index({2, 3, 4}, true), table.Fields), 523);
  // The unused primary slot of a table without a user primary key has no fields.
  TKeyLayout empty(Index({}, true), table.Fields, ansi);
  EXPECT_EQ(empty.KeyLength(), 0);
}

// ---- Key bytes --------------------------------------------------------------------------

TEST(KeyBytes, EveryTypeInKeyForm) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    TFieldDescriptor field;
    TValue value;
    const char* expected;  // presence byte and key part
    bool descendingField = false;
    bool caseInsensitive = false;
  };
  const Case cases[] = {
      {"integer 1", Field(FIELD_INTEGER), I32(1), "01 80000001"},
      {"integer -1", Field(FIELD_INTEGER), I32(-1), "01 7fffffff"},
      {"integer null", Field(FIELD_INTEGER), std::nullopt, "00 00000000"},
      {"date 1 Jan 1900", Field(FIELD_DATE), I32(693596), "01 800a955c"},
      {"time 23:59:59.999", Field(FIELD_TIME), I32(86399999), "01 85265bff"},
      {"smallint -2", Field(FIELD_SMALLINT), I16(-2), "01 7ffe"},
      {"smallint 300", Field(FIELD_SMALLINT), I16(300), "01 812c"},
      {"word", Field(FIELD_WORD), U16(0x1234), "01 1234"},
      {"boolean", Field(FIELD_BOOLEAN), U16(7), "01 0001"},
      {"float 1", Field(FIELD_FLOAT), F64(1.0), "01 bff0000000000000"},
      {"float -1", Field(FIELD_FLOAT), F64(-1.0), "01 400fffffffffffff"},
      {"float +0", Field(FIELD_FLOAT), F64(0.0), "01 8000000000000000"},
      {"float -0 keys as +0", Field(FIELD_FLOAT), F64(-0.0), "01 8000000000000000"},
      {"float NaN above +inf", Field(FIELD_FLOAT), F64(nan), "01 fff8000000000000"},
      {"float -NaN below -inf", Field(FIELD_FLOAT), F64(-nan), "01 0007ffffffffffff"},
      {"timestamp", Field(FIELD_TIMESTAMP), F64(2.0), "01 c000000000000000"},
      {"largeint -1", Field(FIELD_LARGEINT), I64(-1), "01 7fffffffffffffff"},
      {"largeint 2^40", Field(FIELD_LARGEINT), I64(int64_t(1) << 40), "01 8000010000000000"},
      {"BCD 12.50", Field(FIELD_BCD, 0, 2), Bcd(125000, 2), "01 800000000001e848"},
      {"BCD -0.00005 rounds away from zero", Field(FIELD_BCD, 0, 5),
       Packed(true, 5, "00000000000000000000000000000005"), "01 7fffffffffffffff"},
      {"BCD 0.00004 rounds to zero", Field(FIELD_BCD, 0, 5), Packed(false, 5, "000004"),
       "01 8000000000000000"},
      {"BCD precision 0 is zero", Field(FIELD_BCD, 0, 2), Packed(true, 2, ""),
       "01 8000000000000000"},
      {"BCD with a bad digit keys as zero", Field(FIELD_BCD, 0, 0),
       Packed(false, 0, "1:"), "01 8000000000000000"},
      {"string", Field(FIELD_STRING, 5), Str("abc"), "01 616263000000"},
      {"string of full length", Field(FIELD_STRING, 3), Str("abc"), "01 61626300"},
      {"string null", Field(FIELD_STRING, 3), std::nullopt, "00 00000000"},
      {"NOCASE string", Field(FIELD_STRING, 5), Str("\xE0" "b\xE9"), "01 c042c9000000", false,
       true},
      {"NOCASE s-caron, y-diaeresis, sharp s", Field(FIELD_STRING, 4), Str("\x9a\xff\xdf"),
       "01 8a9fdf0000", false, true},
      {"longword keeps its slot bytes", Field(FIELD_LONGWORD), U32(0x01020304), "01 04030201"},
      {"extended keeps its slot bytes", Field(FIELD_EXTENDED),
       TBytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "01 0102030405060708090a"},
      {"bytes", Field(FIELD_BYTES, 3), TBytes{1, 0, 0xFF}, "01 0100ff"},
      {"auto-increment reads the row identifier", kAutoInc, std::nullopt, "01 80000007"},
      {"descending integer", Field(FIELD_INTEGER), I32(1), "fe 7ffffffe", true},
      {"descending string keeps its NUL", Field(FIELD_STRING, 3), Str("ab"), "fe 9e9dff00",
       true},
      {"descending null string", Field(FIELD_STRING, 3), std::nullopt, "ff ffffff00", true},
      {"descending NOCASE string", Field(FIELD_STRING, 2), Str("a"), "fe beff00", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTable table({c.field});
    TKeyLayout layout(Index({1}, true, c.descendingField ? 1 : 0, false, c.caseInsensitive),
                      table.Fields, GetCollation(kAnsi, 0));
    TBytes record = table.Record(7, {c.value});
    EXPECT_EQ(Hex(KeyOf(layout, record)), Unspaced(c.expected));

    // A bound built from the value alone is the same bytes.
    TBytes bound(size_t(layout.KeyLength()), 0xAA);
    const uint8_t* at = record.data() + layout.Parts()[0].RecordOffset;
    layout.EncodeKeyPart(0, layout.Parts()[0].AutoInc ? at : at[0] ? at + 1 : nullptr,
                         bound.data());
    EXPECT_EQ(Hex(bound), Unspaced(c.expected));
  }
}

TEST(KeyBytes, SuffixBoundsAndShortStringConstants) {
  TTable table({Field(FIELD_STRING, 10), Field(FIELD_INTEGER)});
  TKeyLayout layout(Index({1, 2}, false), table.Fields, GetCollation(kAnsi, 0));
  ASSERT_EQ(layout.KeyLength(), 12 + 5 + 4);
  TBytes key = KeyOf(layout, table.Record(-2, {Str("ab"), I32(5)}));
  EXPECT_EQ(Hex(key), "01" "6162" "000000000000000000" "0180000005" "7ffffffe");

  // A string constant shorter than the slot, in a buffer of its own size.
  auto text = std::make_unique<uint8_t[]>(3);
  std::memcpy(text.get(), "ab", 3);
  TBytes bound(size_t(layout.KeyLength()), 0xAA);
  layout.EncodeKeyPart(0, text.get(), bound.data());
  layout.EncodeKeyPart(1, I32(5).data(), bound.data());
  EXPECT_EQ(Hex(bound.data(), 17), Hex(key.data(), 17));

  // A damaged record whose string slot has no NUL still keys as a terminated string.
  TBytes record = table.Record(1, {Str("x"), I32(0)});
  std::memset(record.data() + table.Fields[0].Offset() + 1, 'z', 11);
  TBytes damaged = KeyOf(layout, record);
  EXPECT_EQ(Hex(damaged.data(), 12), "017a7a7a7a7a7a7a7a7a7a00");

  for (int32_t v : {INT32_MIN, -1, 0, 1, INT32_MAX}) {
    uint8_t b[4];
    EncodeInt32Key(v, b);
    EXPECT_EQ(DecodeInt32Key(b), v);
  }
}

// ---- Order in a table without a language ------------------------------------------------

// Per type: a field, a generator of random values (some null) and the value order.
struct TOrderCase {
  const char* name;
  TFieldDescriptor field;
  std::function<TValue(std::mt19937_64&)> next;
  std::function<int(const uint8_t*, const uint8_t*)> compare;  // slot values
};

template <typename T>
int Cmp(T a, T b) {
  return a < b ? -1 : b < a ? 1 : 0;
}

template <typename T>
T Pick(std::mt19937_64& rng, std::initializer_list<T> specials, T lo, T hi) {
  if (rng() % 3 == 0) return *(specials.begin() + rng() % specials.size());
  return T(std::uniform_int_distribution<int64_t>(int64_t(lo), int64_t(hi))(rng));
}

double RandomDouble(std::mt19937_64& rng) {
  const double inf = std::numeric_limits<double>::infinity();
  static const double specials[] = {0.0, -0.0, 1.0, -1.0, inf, -inf, 5e-324, -5e-324,
                                    2.2250738585072014e-308, -1e-300, 1e300, -1.7976931348623157e308,
                                    1.7976931348623157e308, 0.1, -0.1};
  if (rng() % 3 == 0) return specials[rng() % std::size(specials)];
  double v;
  do {
    uint64_t bits = rng();
    std::memcpy(&v, &bits, sizeof v);
  } while (std::isnan(v));
  return v;
}

std::vector<TOrderCase> OrderCases() {
  auto orNull = [](std::mt19937_64& rng, TBytes b) -> TValue {
    return rng() % 8 == 0 ? std::nullopt : TValue(std::move(b));
  };
  auto int32s = [](std::mt19937_64& rng) {
    return Pick<int32_t>(rng, {INT32_MIN, -1, 0, 1, INT32_MAX}, INT32_MIN, INT32_MAX);
  };
  auto i32 = [](const uint8_t* a, const uint8_t* b) { return Cmp(LoadI32(a), LoadI32(b)); };
  auto f64 = [](const uint8_t* a, const uint8_t* b) { return Cmp(LoadDouble(a), LoadDouble(b)); };
  auto currency = [](const uint8_t* a, const uint8_t* b) {
    int64_t x = 0, y = 0;
    EXPECT_TRUE(BCDToCurrency(a, x) && BCDToCurrency(b, y));
    return Cmp(x, y);
  };
  return {
      {"smallint", Field(FIELD_SMALLINT),
       [=](auto& rng) {
         return orNull(rng, I16(Pick<int16_t>(rng, {INT16_MIN, -1, 0, 1, INT16_MAX}, INT16_MIN,
                                              INT16_MAX)));
       },
       [](const uint8_t* a, const uint8_t* b) { return Cmp(LoadI16(a), LoadI16(b)); }},
      {"integer", Field(FIELD_INTEGER), [=](auto& rng) { return orNull(rng, I32(int32s(rng))); },
       i32},
      {"date", Field(FIELD_DATE), [=](auto& rng) { return orNull(rng, I32(int32s(rng))); }, i32},
      {"time", Field(FIELD_TIME),
       [=](auto& rng) { return orNull(rng, I32(Pick<int32_t>(rng, {0}, 0, 86399999))); }, i32},
      {"word", Field(FIELD_WORD),
       [=](auto& rng) { return orNull(rng, U16(Pick<uint16_t>(rng, {0, 65535}, 0, 65535))); },
       [](const uint8_t* a, const uint8_t* b) { return Cmp(LoadU16(a), LoadU16(b)); }},
      {"boolean", Field(FIELD_BOOLEAN),
       [=](auto& rng) { return orNull(rng, U16(uint16_t(rng() % 2))); },
       [](const uint8_t* a, const uint8_t* b) { return Cmp(LoadU16(a), LoadU16(b)); }},
      {"largeint", Field(FIELD_LARGEINT),
       [=](auto& rng) {
         return orNull(rng, I64(Pick<int64_t>(rng, {INT64_MIN, -1, 0, 1, INT64_MAX}, INT64_MIN,
                                              INT64_MAX)));
       },
       [](const uint8_t* a, const uint8_t* b) { return Cmp(LoadI64(a), LoadI64(b)); }},
      {"float", Field(FIELD_FLOAT), [=](auto& rng) { return orNull(rng, F64(RandomDouble(rng))); },
       f64},
      {"timestamp", Field(FIELD_TIMESTAMP),
       [=](auto& rng) { return orNull(rng, F64(RandomDouble(rng))); }, f64},
      {"BCD of mixed scales", Field(FIELD_BCD, 0, 4),
       [=](auto& rng) {
         static const int64_t steps[] = {10000, 100, 1};  // scales 0, 2, 4
         int scale = int(rng() % 3);
         int64_t amount =
             Pick<int64_t>(rng, {0, -1, 1}, -1000000000000, 1000000000000) * steps[scale];
         return orNull(rng, Bcd(amount, scale * 2));
       },
       currency},
      {"string", Field(FIELD_STRING, 6),
       [=](auto& rng) {
         static const char alphabet[] = "\x01 aAbz\xE9\xFF";
         std::string s(rng() % 7, ' ');
         for (char& ch : s) ch = alphabet[rng() % (sizeof alphabet - 1)];
         return TValue(Str(s));  // only blanks is stored as null
       },
       [](const uint8_t* a, const uint8_t* b) {
         return Sign(std::strcmp(reinterpret_cast<const char*>(a),
                                 reinterpret_cast<const char*>(b)));
       }},
  };
}

// Keys of random values compare as their values: ascending in unsigned byte order; a
// descending field inverts the bytes (nulls last); a descending index keeps the bytes and
// negates Compare.
TEST(KeyOrder, ValuesOrderAsKeysInEveryType) {
  const uint64_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937_64 rng(seed);
  struct Config {
    const char* name;
    unsigned descendingFields;
    bool descending;
    int bytes, compare;  // sign of the byte order and of Compare against the value order
  };
  const Config configs[] = {{"ascending", 0, false, 1, 1},
                            {"descending field", 1, false, -1, -1},
                            {"descending index", 1, true, 1, -1}};
  for (const TOrderCase& c : OrderCases()) {
    SCOPED_TRACE(c.name);
    TTable table({c.field});
    std::vector<TBytes> records;
    for (int i = 0; i < 120; ++i) records.push_back(table.Record(1, {c.next(rng)}));
    const TFieldDescriptor& f = table.Fields[0];
    auto valueOrder = [&](const TBytes& a, const TBytes& b) {
      bool pa = FieldPresent(a.data(), f), pb = FieldPresent(b.data(), f);
      if (pa != pb) return pa ? 1 : -1;  // nulls first
      return pa ? c.compare(a.data() + f.Offset() + 1, b.data() + f.Offset() + 1) : 0;
    };
    for (const Config& config : configs) {
      SCOPED_TRACE(config.name);
      TKeyLayout layout(Index({1}, true, config.descendingFields, config.descending), table.Fields,
                        GetCollation(kAnsi, 0));
      std::vector<TBytes> keys;
      for (const TBytes& r : records) keys.push_back(KeyOf(layout, r));
      for (size_t i = 0; i < records.size(); ++i)
        for (size_t j = 0; j < records.size(); ++j) {
          int expected = valueOrder(records[i], records[j]);
          ASSERT_EQ(ByteOrder(keys[i], keys[j]), config.bytes * expected)
              << Hex(keys[i]) << " vs " << Hex(keys[j]);
          ASSERT_EQ(layout.Compare(keys[i].data(), keys[j].data()), config.compare * expected);
        }
    }
  }
}

TEST(KeyOrder, RowIdentifierBreaksTies) {
  TTable table({Field(FIELD_INTEGER)});
  for (bool descending : {false, true}) {
    TKeyLayout layout(Index({1}, false, 0, descending), table.Fields, GetCollation(kAnsi, 0));
    TBytes a = KeyOf(layout, table.Record(-5, {I32(3)}));
    TBytes b = KeyOf(layout, table.Record(2, {I32(3)}));
    TBytes c = KeyOf(layout, table.Record(1, {I32(4)}));
    int sign = descending ? -1 : 1;
    EXPECT_EQ(layout.Compare(a.data(), b.data()), -sign);
    EXPECT_EQ(layout.Compare(b.data(), c.data()), -sign);
    EXPECT_EQ(layout.Compare(a.data(), b.data(), 5), 0);  // the field part alone
  }
}

// ---- Tables with a language ------------------------------------------------------------

// A string of 5 characters and an integer, non-unique: presence 0, text 1..6, integer
// presence 7, integer 8..11, row identifier 12..15.
const TTable& LanguageTable() {
  static const TTable table({Field(FIELD_STRING, 5), Field(FIELD_INTEGER)});
  return table;
}

int CompareExactly(const TKeyLayout& layout, const TBytes& a, const TBytes& b, int length) {
  // Copies in buffers of exactly `length` bytes, so that a read past it is caught.
  auto ca = std::make_unique<uint8_t[]>(size_t(length));
  auto cb = std::make_unique<uint8_t[]>(size_t(length));
  std::memcpy(ca.get(), a.data(), size_t(length));
  std::memcpy(cb.get(), b.data(), size_t(length));
  return layout.Compare(ca.get(), cb.get(), length);
}

TEST(LanguageOrder, FieldByFieldThroughTheCollationAtEveryCut) {
  struct Side {
    TValue text;
    int32_t value, rowId;
  };
  // Compare over lengths 0..16 is 0 below `from` and `sign` from there on.
  struct Expect {
    int from, sign;
  };
  struct Case {
    const char* name;
    Side a, b;
    Expect german, swedish;
    unsigned descendingFields = 0;
    bool descending = false;
  };
  const Case cases[] = {
      {"A-umlaut sorts with A in German, after Z in Swedish", {Str("\xC4" "a"), 1, 1},
       {Str("Zz"), 1, 1}, {2, -1}, {2, 1}},
      {"A-ring and A-umlaut: equal in German (the integer decides), ordered in Swedish",
       {Str("\xC5"), 1, 1}, {Str("\xC4"), 2, 1}, {12, -1}, {2, -1}},
      {"O-umlaut: a mark in German, a letter after O in Swedish", {Str("\xD6" "a"), 1, 1},
       {Str("Oz"), 1, 1}, {3, -1}, {2, 1}},
      {"collation, not bytes: a before B", {Str("a"), 9, 9}, {Str("B"), 1, 1}, {2, -1}, {2, -1}},
      {"null first", {std::nullopt, 1, 1}, {Str("A"), 1, 1}, {1, -1}, {1, -1}},
      {"cut through the row identifier", {Str("ab"), 1, 1}, {Str("ab"), 1, 256}, {15, -1},
       {15, -1}},
      {"descending field negates the field", {Str("\xC4" "a"), 1, 1}, {Str("Zz"), 1, 1},
       {2, 1}, {2, -1}, 1},
      {"descending field: nulls last", {std::nullopt, 1, 1}, {Str("A"), 1, 1}, {1, 1}, {1, 1}, 1},
      {"descending index negates the row identifier", {Str("ab"), 1, 1}, {Str("ab"), 1, 256},
       {15, 1}, {15, 1}, 0, true},
      {"descending index and field negate once", {Str("a"), 9, 9}, {Str("B"), 1, 1}, {2, 1},
       {2, 1}, 1, true},
  };
  for (uint16_t language : {kGerman, kSwedish}) {
    const TCollation& collation = GetCollation(language, 0);
    ASSERT_TRUE(collation.Installed());
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (language == kGerman ? " (German)" : " (Swedish)"));
      TKeyLayout layout(Index({1, 2}, false, c.descendingFields, c.descending),
                        LanguageTable().Fields, collation);
      ASSERT_TRUE(layout.UsesCollation());
      ASSERT_EQ(layout.KeyLength(), 16);
      TBytes a = KeyOf(layout, LanguageTable().Record(c.a.rowId, {c.a.text, I32(c.a.value)}));
      TBytes b = KeyOf(layout, LanguageTable().Record(c.b.rowId, {c.b.text, I32(c.b.value)}));
      const Expect& expect = language == kGerman ? c.german : c.swedish;
      for (int length = 0; length <= 16; ++length) {
        int r = CompareExactly(layout, a, b, length);
        EXPECT_EQ(r, length < expect.from ? 0 : expect.sign) << "length " << length;
        EXPECT_EQ(CompareExactly(layout, b, a, length), -r) << "length " << length;
      }
    }
  }
}

TEST(LanguageOrder, NoCaseKeysAreUpperCasedAndNotInverted) {
  const TCollation& german = GetCollation(kGerman, 0);
  TTable table({Field(FIELD_STRING, 8)});
  TKeyLayout nocase(Index({1}, true, 1, false, true), table.Fields, german);
  EXPECT_EQ(Hex(KeyOf(nocase, table.Record(1, {Str("stra\xDF" "e\xE4")}))),
            "01" "53545241df45c4" "0000");
  TBytes lower = KeyOf(nocase, table.Record(1, {Str("m\xFCller")}));
  TBytes upper = KeyOf(nocase, table.Record(2, {Str("M\xDCLLER")}));
  EXPECT_EQ(Hex(lower), Hex(upper));
  EXPECT_EQ(nocase.Compare(lower.data(), upper.data()), 0);

  // Case counts in a case-sensitive index, marks do not.
  TKeyLayout cased(Index({1}, true), table.Fields, german);
  TBytes mueller = KeyOf(cased, table.Record(1, {Str("M\xFCller")}));
  TBytes muller = KeyOf(cased, table.Record(1, {Str("Muller")}));
  TBytes muellerLower = KeyOf(cased, table.Record(1, {Str("m\xFCller")}));
  EXPECT_EQ(cased.Compare(mueller.data(), muller.data()), 0);
  EXPECT_NE(cased.Compare(mueller.data(), muellerLower.data()), 0);
}

// ---- Bounds ------------------------------------------------------------------------------

// Every prefix of every key, filled low and high, brackets every key that shares the
// prefix (mirrored for a descending index); the lowest and highest keys bracket all.
TEST(KeyBounds, FilledPrefixesBracketTheirKeys) {
  TTable table({Field(FIELD_STRING, 3), Field(FIELD_INTEGER)});
  const char* texts[] = {nullptr, "a", "A", "ab", "\xE4", "\xC4z", "b", "z", "zz\xFF",
                         "\xD6",  "o", "\xE5", "\xFE", "Zz", "\x01" "a"};
  std::vector<TBytes> records;
  int32_t rowId = 1;
  for (const char* t : texts)
    for (int32_t v : {-1, 0, 300})
      records.push_back(table.Record(rowId++, {t ? TValue(Str(t)) : std::nullopt, I32(v)}));
  struct Config {
    const char* name;
    unsigned descendingFields;
    bool descending;
  };
  const Config configs[] = {{"ascending", 0, false},
                            {"descending string", 1, false},
                            {"descending integer", 2, false},
                            {"descending index", 1, true}};
  for (uint16_t language : {kAnsi, kGerman, kSwedish}) {
    for (const Config& config : configs) {
      SCOPED_TRACE(std::string(config.name) + " in language " + std::to_string(language));
      TKeyLayout layout(Index({1, 2}, false, config.descendingFields, config.descending),
                        table.Fields, GetCollation(language, 0));
      int k = layout.KeyLength();
      // A bound at or below every key of its range in index order ("first"), and one at
      // or above ("last"): a descending index takes the opposite fills.
      auto fillFirst = [&](uint8_t* key, int from) {
        config.descending ? layout.FillHigh(key, from) : layout.FillLow(key, from);
      };
      auto fillLast = [&](uint8_t* key, int from) {
        config.descending ? layout.FillLow(key, from) : layout.FillHigh(key, from);
      };
      std::vector<TBytes> keys;
      for (const TBytes& r : records) keys.push_back(KeyOf(layout, r));
      TBytes first(static_cast<size_t>(k)), last(static_cast<size_t>(k));
      config.descending ? layout.HighestKey(first.data()) : layout.LowestKey(first.data());
      config.descending ? layout.LowestKey(last.data()) : layout.HighestKey(last.data());
      for (const TBytes& key : keys) {
        ASSERT_LE(layout.Compare(first.data(), key.data()), 0) << Hex(key);
        ASSERT_GE(layout.Compare(last.data(), key.data()), 0) << Hex(key);
      }
      for (const TBytes& source : keys)
        for (int cut = 0; cut <= k; ++cut) {
          TBytes low = source, high = source;
          fillFirst(low.data(), cut);
          fillLast(high.data(), cut);
          for (const TBytes& key : keys) {
            if (std::memcmp(key.data(), source.data(), size_t(cut)) != 0) continue;
            ASSERT_LE(layout.Compare(low.data(), key.data()), 0)
                << "cut " << cut << ": " << Hex(low) << " above " << Hex(key);
            ASSERT_GE(layout.Compare(high.data(), key.data()), 0)
                << "cut " << cut << ": " << Hex(high) << " below " << Hex(key);
          }
        }
    }
  }
}

TEST(KeyBounds, FillBytes) {
  // String of 2 (presence 0, text 1..3), integer (4..8), row identifier (9..12).
  TTable table({Field(FIELD_STRING, 2), Field(FIELD_INTEGER)});
  const auto& order = GetCollation(kGerman, 0).CharacterOrder();
  auto rep = [](uint8_t byte, int n) { return Hex(TBytes(size_t(n), byte)); };
  const std::string lo = rep(order[0], 1), hi = rep(order[255], 1);
  const std::string key = "01610000" "0180000005" "80000001";
  struct Case {
    const char* name;
    uint16_t language;
    unsigned descendingFields;
    int from;
    std::string low, high;
  };
  const Case cases[] = {
      {"language 0", kAnsi, 0, 0, rep(0, 13), rep(0xFF, 13)},
      {"language 0, from the text", kAnsi, 0, 2, "0161" + rep(0, 11), "0161" + rep(0xFF, 11)},
      {"German: characters in the text", kGerman, 0, 0, "00" + lo + lo + lo + rep(0, 9),
       "ff" + hi + hi + hi + rep(0xFF, 9)},
      {"German: from inside the text", kGerman, 0, 2, "0161" + lo + lo + rep(0, 9),
       "0161" + hi + hi + rep(0xFF, 9)},
      {"German: from the row identifier", kGerman, 0, 9, key.substr(0, 18) + rep(0, 4),
       key.substr(0, 18) + rep(0xFF, 4)},
      {"German, descending string: opposite fills", kGerman, 1, 0,
       "ff" + hi + hi + hi + rep(0, 9), "00" + lo + lo + lo + rep(0xFF, 9)},
      {"past the end: nothing", kGerman, 0, 13, key, key},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TKeyLayout layout(Index({1, 2}, false, c.descendingFields), table.Fields,
                      GetCollation(c.language, 0));
    TBytes low = KeyOf(layout, table.Record(1, {Str("a"), I32(5)}));
    ASSERT_EQ(Hex(low), key);
    TBytes high = low;
    layout.FillLow(low.data(), c.from);
    layout.FillHigh(high.data(), c.from);
    EXPECT_EQ(Hex(low), c.low);
    EXPECT_EQ(Hex(high), c.high);
  }
}

// ---- Sys Deleted ------------------------------------------------------------------------

TEST(SysDeletedKeys, DeletedFlagThenRowIdentifierInByteOrder) {
  TKeyLayout layout = TKeyLayout::SysDeleted();
  EXPECT_EQ(layout.KeyLength(), 5);
  EXPECT_FALSE(layout.Unique());
  EXPECT_FALSE(layout.UsesCollation());
  EXPECT_TRUE(layout.Parts().empty());
  auto record = [](uint8_t deleted, int32_t rowId) {
    TBytes r(kRecordPrefixSize, 0x55);
    r[kRecordDeletedOffset] = deleted;
    StoreI32(r.data() + kRowIdOffset, rowId);
    return r;
  };
  TBytes live7 = KeyOf(layout, record(0, 7));
  TBytes live300 = KeyOf(layout, record(0, 300));
  TBytes deleted1 = KeyOf(layout, record(1, 1));
  EXPECT_EQ(Hex(live7), "0080000007");
  EXPECT_EQ(Hex(deleted1), "0180000001");
  EXPECT_EQ(layout.Compare(live7.data(), live300.data()), -1);
  EXPECT_EQ(layout.Compare(live300.data(), deleted1.data()), -1);
  EXPECT_EQ(layout.Compare(live300.data(), deleted1.data(), 0), 0);
  TBytes bounds[2] = {live7, live7};
  layout.FillLow(bounds[0].data(), 1);
  layout.FillHigh(bounds[1].data(), 1);
  EXPECT_EQ(Hex(bounds[0]), "0000000000");
  EXPECT_EQ(Hex(bounds[1]), "00ffffffff");
  layout.LowestKey(bounds[0].data());
  layout.HighestKey(bounds[1].data());
  EXPECT_EQ(Hex(bounds[0]), "0000000000");
  EXPECT_EQ(Hex(bounds[1]), "ffffffffff");
}

}  // namespace
}  // namespace veldor
