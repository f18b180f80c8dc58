// Filters against a model: random tables with strings, integers, dates, floats and
// booleans (NULLs among them), indexes of every kind on some fields and none on others,
// and random filter expressions. The visible set of the filtered cursor, walked in every
// order, counted and numbered, must equal what an evaluation of the same expression done
// here, record by record, accepts; a twin table with the same data and no index at all,
// where every condition is evaluated on the records, must agree too. The model is kept
// through appends, changes and deletes made by the filtered cursor itself (incremental
// bitmap updates) and by a second cursor (noticed through the change counters), and
// through activating, deactivating and dropping filters in random order.
//
// A failing run names its seed; VELDOR_FILTER_SEED=<n> runs that seed alone.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lib/collation.h"
#include "lib/date_time.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

// ---- The table ------------------------------------------------------------------------------

enum TColumnId {
  kId = 1,
  kName,
  kCode,
  kNote,
  kQty,
  kSerial,
  kLevel,
  kMisc,
  kDay,
  kPrice,
  kFlag,
  kColumnCount = kFlag
};

struct TColumn {
  const char* Name;
  uint8_t Type;
  uint8_t Size;
};

// Indexed as listed below: Name (case-sensitive), Code (case-insensitive, descending),
// Qty, Serial (unique), Level (descending), Day, Price, Flag; Note and Misc never.
const TColumn kColumns[kColumnCount + 1] = {
    {"", 0, 0},
    {"Id", FIELD_INTEGER, 0},
    {"Name", FIELD_STRING, 8},
    {"Code", FIELD_STRING, 8},
    {"Note", FIELD_STRING, 8},
    {"Qty", FIELD_INTEGER, 0},
    {"Serial", FIELD_INTEGER, 0},
    {"Level", FIELD_SMALLINT, 0},
    {"Misc", FIELD_INTEGER, 0},
    {"Day", FIELD_DATE, 0},
    {"Price", FIELD_FLOAT, 0},
    {"Flag", FIELD_BOOLEAN, 0},
};

bool IsText(int column) { return kColumns[column].Type == FIELD_STRING; }
bool IsWhole(int column) {
  uint8_t t = kColumns[column].Type;
  return t == FIELD_INTEGER || t == FIELD_SMALLINT;
}

struct TIndexInfo {
  const char* Name;  // "" = the primary index
  int Column;
  bool Unique;
  bool Descending;
  bool NoCase;
};

const TIndexInfo kPrimary = {"", kId, true, false, false};
const std::vector<TIndexInfo> kSecondaries = {
    {"ByName", kName, false, false, false},   {"ByCode", kCode, false, true, true},
    {"ByQty", kQty, false, false, false},     {"BySerial", kSerial, true, false, false},
    {"ByLevel", kLevel, false, true, false},  {"ByDay", kDay, false, false, false},
    {"ByPrice", kPrice, false, false, false}, {"ByFlag", kFlag, false, false, false},
};

// One value of a field: text for strings, I for whole numbers, day numbers and booleans,
// F for floats.
struct TValue {
  bool Null = true;
  std::string S;
  int64_t I = 0;
  double F = 0;
  bool operator==(const TValue&) const = default;
};

struct TRow {
  std::vector<TValue> V = std::vector<TValue>(kColumnCount + 1);
  int Id() const { return int(V[kId].I); }
};

// ---- Constants and expressions -------------------------------------------------------------------

struct TConst {
  enum TKind { Str, Int, Flt, Date, Bool };
  TKind Kind = Int;
  std::string S;  // Str; for Date the text form
  int64_t I = 0;  // Int, Date (day number), Bool
  double F = 0;   // Flt
};

std::string FloatText(double f) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", f);
  return text;
}

std::string ConstText(const TConst& c) {
  switch (c.Kind) {
    case TConst::Str: {
      std::string out = "'";
      for (char ch : c.S) out += ch == '\'' ? std::string("''") : std::string(1, ch);
      return out + "'";
    }
    case TConst::Int:
      return std::to_string(c.I);
    case TConst::Flt:
      return FloatText(c.F);
    case TConst::Date:
      return "'" + c.S + "'";
    case TConst::Bool:
      return c.I ? "TRUE" : "FALSE";
  }
  return "?";
}

enum TNodeKind { kCompare, kIsNull, kBetween, kIn, kBareFlag, kNot, kAnd, kOr };

const char* OpText(uint8_t op) {
  switch (op) {
    case kOpEqual:
      return "=";
    case kOpNotEqual:
      return "<>";
    case kOpLess:
      return "<";
    case kOpLessOrEqual:
      return "<=";
    case kOpGreater:
      return ">";
    default:
      return ">=";
  }
}

uint8_t MirroredOp(uint8_t op) {
  switch (op) {
    case kOpLess:
      return kOpGreater;
    case kOpGreater:
      return kOpLess;
    case kOpLessOrEqual:
      return kOpGreaterOrEqual;
    case kOpGreaterOrEqual:
      return kOpLessOrEqual;
    default:
      return op;
  }
}

struct TNode {
  TNodeKind Kind = kCompare;
  int Column = 0;
  bool Upper = false;  // UPPER(column)
  uint8_t Op = kOpEqual;
  bool ConstLeft = false;     // the constant is written first
  bool Negated = false;       // IS NOT NULL, NOT BETWEEN, NOT IN
  bool Like = false;          // `=` as LIKE 'prefix%', `<>` as NOT LIKE
  std::vector<TConst> Items;  // the constant; BETWEEN's bounds; the IN list
  std::unique_ptr<TNode> A, B;

  std::string Text() const {
    std::string column = Upper ? "UPPER(" + std::string(kColumns[Column].Name) + ")" : kColumns[Column].Name;
    switch (Kind) {
      case kCompare:
        if (Like) {
          TConst pattern = Items[0];
          pattern.S += "%";
          return column + (Op == kOpEqual ? " LIKE " : " NOT LIKE ") + ConstText(pattern);
        }
        return ConstLeft ? ConstText(Items[0]) + " " + OpText(Op) + " " + column
                         : column + " " + OpText(Op) + " " + ConstText(Items[0]);
      case kIsNull:
        return column + (Negated ? " IS NOT NULL" : " IS NULL");
      case kBetween:
        return column + (Negated ? " NOT BETWEEN " : " BETWEEN ") + ConstText(Items[0]) + " AND " +
               ConstText(Items[1]);
      case kIn: {
        std::string out = column + (Negated ? " NOT IN (" : " IN (");
        for (size_t i = 0; i < Items.size(); ++i) out += (i ? ", " : "") + ConstText(Items[i]);
        return out + ")";
      }
      case kBareFlag:
        return column;
      case kNot:
        return "NOT (" + A->Text() + ")";
      case kAnd:
        return "(" + A->Text() + ") AND (" + B->Text() + ")";
      case kOr:
        return "(" + A->Text() + ") OR (" + B->Text() + ")";
    }
    return "?";
  }
};

// A filter as the model knows it.
struct TModelFilter {
  TFilter* Handle = nullptr;
  bool Callback = false;
  std::unique_ptr<TNode> Tree;
  std::string Text;
  bool NoPartial = false, CaseInsensitive = false, Estimate = false, After = false;
  bool Active = false;
  std::string Describe() const {
    std::string flags = std::string(NoPartial ? " nopartial" : "") + (CaseInsensitive ? " nocase" : "") +
                        (Estimate ? " estimate" : "") + (After ? " after" : "") +
                        (Active ? " active" : " inactive");
    return (Callback ? std::string("<callback: Id mod 3 <> 1>") : "\"" + Text + "\"") + flags;
  }
};

// The callback filter's rule.
bool CallbackAccepts(int id) { return id % 3 != 1; }

std::vector<uint8_t> NewImage(TDataCursor& c) {
  std::vector<uint8_t> image(c.RecordSize());
  c.InitRecord(image.data());
  return image;
}

int Sign(double a, double b) { return a < b ? -1 : a > b ? 1 : 0; }

// ---- The reference evaluation ------------------------------------------------------------------

class TModel {
 public:
  explicit TModel(uint16_t language) : Collation_(GetCollation(language, 0)) {}

  std::string Upper(std::string s) const {
    Collation_.ToUpper(s.data(), s.size());
    return s;
  }
  int CompareText(const std::string& a, const std::string& b, int partial, bool noCase) const {
    return Collation_.Compare(a.c_str(), b.c_str(), size_t(std::max(partial, 0)), noCase);
  }

  // Constants on the right and columns on the left at the root and below NOTs only, as
  // the filter does before anything else.
  static void Normalize(TNode* node) {
    while (node->Kind == kNot) node = node->A.get();
    if (node->Kind == kCompare && node->ConstLeft) {
      node->ConstLeft = false;
      node->Op = MirroredOp(node->Op);
    }
  }

  // A constant on the right of a comparison (and every bound and item) is converted to
  // the column's type once: a float against a whole-number column loses its fraction.
  static TConst Converted(int column, TConst c) {
    if (IsWhole(column) && c.Kind == TConst::Flt) {
      c.Kind = TConst::Int;
      c.I = int64_t(std::trunc(c.F));
    }
    return c;
  }

  // column value against constant, both present.
  static int CompareValue(int column, const TValue& v, const TConst& c) {
    switch (kColumns[column].Type) {
      case FIELD_FLOAT:
        return Sign(v.F, c.Kind == TConst::Flt ? c.F : double(c.I));
      case FIELD_BOOLEAN:
        return Sign(v.I != 0, c.I != 0);
      default:
        return c.Kind == TConst::Flt ? Sign(double(v.I), c.F) : Sign(double(v.I), double(c.I));
    }
  }

  static bool Ordered(uint8_t op, int c) {
    switch (op) {
      case kOpLess:
        return c < 0;
      case kOpLessOrEqual:
        return c <= 0;
      case kOpGreater:
        return c > 0;
      default:
        return c >= 0;
    }
  }

  TValue Operand(const TNode& node, const TRow& row) const {
    TValue v = row.V[node.Column];
    if (node.Upper && !v.Null) v.S = Upper(v.S);
    return v;
  }

  // An empty string constant is a NULL, as an empty string field is.
  static bool NullConst(const TConst& c) { return c.Kind == TConst::Str && c.S.empty(); }

  // `=` of a value with one list item or bound, both compared whole and with case; NULL
  // equals NULL only.
  bool Equal(int column, const TValue& v, const TConst& c) const {
    if (v.Null || NullConst(c)) return v.Null && NullConst(c);
    return IsText(column) ? CompareText(v.S, c.S, 0, false) == 0 : CompareValue(column, v, c) == 0;
  }
  // `value op constant`, or `constant op value` when the constant is written first; a
  // NULL string reads as empty, any other NULL satisfies no ordering.
  bool Order(int column, uint8_t op, const TValue& v, const TConst& c, bool constLeft) const {
    int cmp;
    if (IsText(column)) {
      const std::string text = v.Null ? std::string() : v.S;
      cmp = constLeft ? CompareText(c.S, text, 0, false) : CompareText(text, c.S, 0, false);
    } else {
      if (v.Null) return false;
      cmp = constLeft ? -CompareValue(column, v, c) : CompareValue(column, v, c);
    }
    return Ordered(op, cmp);
  }

  bool Eval(const TNode& node, const TRow& row, const TModelFilter& f) const {
    switch (node.Kind) {
      case kNot:
        return !Eval(*node.A, row, f);
      case kAnd:
        return Eval(*node.A, row, f) && Eval(*node.B, row, f);
      case kOr:
        return Eval(*node.A, row, f) || Eval(*node.B, row, f);
      case kBareFlag:
        return !row.V[node.Column].Null && row.V[node.Column].I != 0;
      case kIsNull:
        return row.V[node.Column].Null != node.Negated;
      case kBetween: {
        TValue v = Operand(node, row);
        TConst low = Converted(node.Column, node.Items[0]), high = Converted(node.Column, node.Items[1]);
        bool inside = Order(node.Column, kOpGreaterOrEqual, v, low, false) &&
                      Order(node.Column, kOpLessOrEqual, v, high, false);
        return inside != node.Negated;
      }
      case kIn: {
        TValue v = Operand(node, row);
        bool found = false;
        for (const TConst& item : node.Items)
          found = found || Equal(node.Column, v, Converted(node.Column, item));
        return found != node.Negated;
      }
      case kCompare: {
        TValue v = Operand(node, row);
        const TConst c = node.ConstLeft ? node.Items[0] : Converted(node.Column, node.Items[0]);
        const bool equality = node.Op == kOpEqual || node.Op == kOpNotEqual;
        if (!equality) return Order(node.Column, node.Op, v, c, node.ConstLeft);
        bool equal;
        if (node.Like) {
          // LIKE 'abc%' compares the prefix, always with case.
          equal = !v.Null && CompareText(v.S, c.S, int(c.S.size()), false) == 0;
        } else if (IsText(node.Column) && !node.ConstLeft) {
          // A string constant on the right: prefix up to a trailing '*' unless partial
          // comparison is off, without case when the filter says so.
          std::string text = c.S;
          int partial = 0;
          if (!text.empty() && text.back() == '*' && !f.NoPartial) {
            text.pop_back();
            partial = int(text.size());
          }
          equal = text.empty() ? v.Null : !v.Null && CompareText(v.S, text, partial, f.CaseInsensitive) == 0;
        } else {
          equal = Equal(node.Column, v, c);
        }
        return equal == (node.Op == kOpEqual);
      }
    }
    return false;
  }

  bool Accepts(const TModelFilter& f, const TRow& row) const {
    return f.Callback ? CallbackAccepts(row.Id()) : Eval(*f.Tree, row, f);
  }

  // The order of index `index` over one field's values: NULLs lowest before descending
  // indexes turn it round; without case for a case-insensitive index.
  int KeyCompare(const TIndexInfo& index, const TValue& a, const TValue& b) const {
    int c;
    if (a.Null || b.Null) {
      c = a.Null == b.Null ? 0 : a.Null ? -1 : 1;
    } else if (IsText(index.Column)) {
      c = index.NoCase ? CompareText(Upper(a.S), Upper(b.S), 0, false) : CompareText(a.S, b.S, 0, false);
      c = c < 0 ? -1 : c > 0 ? 1 : 0;
    } else if (kColumns[index.Column].Type == FIELD_FLOAT) {
      c = Sign(a.F, b.F);
    } else {
      c = Sign(double(a.I), double(b.I));
    }
    return index.Descending ? -c : c;
  }

 private:
  const TCollation& Collation_;
};

// ---- One run ----------------------------------------------------------------------------------

struct TConfig {
  bool PrimaryKey;
  uint16_t Language;
};

struct TRange {
  bool Active = false;
  std::optional<TValue> Low, High;  // nullopt: open at that end
};

class FilterModelTest : public CursorTest {
 protected:
  static TTableDefinition Definition(bool primaryKey, bool indexes, uint16_t language) {
    TTableDefinition d;
    for (int i = 1; i <= kColumnCount; ++i)
      d.Fields.push_back(MakeField(uint16_t(i), kColumns[i].Name, kColumns[i].Type, kColumns[i].Size));
    PrepareFieldDefinitions(d.Fields, "t");
    d.Language = int16_t(language);
    TIndexDescriptor primary;
    if (primaryKey) {
      primary.SetFieldNumber(0, kId);
      primary.SetFieldCount(1);
      primary.SetUnique(true);
    }
    d.Indexes = {primary};
    if (indexes)
      for (const TIndexInfo& i : kSecondaries)
        d.Indexes.push_back(Index(i.Name, {uint16_t(i.Column)}, i.Unique, i.Descending, i.NoCase));
    return d;
  }

  static uint16_t InstalledLanguage() {
    for (uint16_t id : {uint16_t(0x040C), uint16_t(0x0407), uint16_t(0x0C0A), uint16_t(0x0409)})
      if (LocaleInstalled(id, 0)) return id;
    return 0;
  }

  static std::vector<uint64_t> Seeds(uint64_t first, int count) {
    if (const char* one = std::getenv("VELDOR_FILTER_SEED")) return {std::strtoull(one, nullptr, 10)};
    std::vector<uint64_t> out;
    for (int i = 0; i < count; ++i) out.push_back(first + uint64_t(i));
    return out;
  }

  void Run(uint64_t seed, TConfig config);
};

// Everything of one seed: the tables, their cursors and the model.
class TRun {
 public:
  TRun(uint64_t seed, TConfig config, TDataCursor& filtered, TDataCursor& other, TDataCursor& twin,
       TDataCursor& twinFiltered)
      : Seed_(seed),
        Config_(config),
        Rng_(seed),
        Model_(config.Language),
        C_(filtered),
        Other_(other),
        Twin_(twin),
        TwinFiltered_(twinFiltered) {
    Alphabet_ = config.Language ? std::string("abABe\xE9\xC9") : std::string("abAB\xE9\xC9");
    for (int d = 1; d <= 12; ++d) Days_.push_back({2020, 1, d});
    Days_.push_back({1999, 12, 31});
    Days_.push_back({2000, 2, 29});
    std::vector<int> serials(4000);
    for (int i = 0; i < 4000; ++i) serials[size_t(i)] = i + 1;
    std::shuffle(serials.begin(), serials.end(), Rng_);
    FreeSerials_.assign(serials.begin(), serials.end());
  }

  // Appends `count` random records through the second cursor.
  void Fill(int count);
  // Rounds of: choose an index and maybe a range, add and activate filters, then random
  // edits, filter changes and index or range changes, each followed by a check. False
  // after the first mismatch (already reported).
  bool Play(int rounds, int steps);
  std::string Where() const { return State(); }

 private:
  struct TDay {
    int Y, M, D;
  };

  // ---- Randomness ----
  int Rand(int n) { return int(std::uniform_int_distribution<int>(0, n - 1)(Rng_)); }
  bool Chance(double p) { return std::bernoulli_distribution(p)(Rng_); }
  template <typename T>
  const T& Pick(const std::vector<T>& v) {
    return v[size_t(Rand(int(v.size())))];
  }

  std::string RandomText(int minLength, int maxLength) {
    int n = minLength + Rand(maxLength - minLength + 1);
    std::string s;
    for (int i = 0; i < n; ++i) s += Alphabet_[size_t(Rand(int(Alphabet_.size())))];
    return s;
  }
  TConst DayConst(const TDay& d) {
    TConst c;
    c.Kind = TConst::Date;
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", d.Y, d.M, d.D);
    c.S = text;
    c.I = EncodeDate(d.Y, d.M, d.D);
    return c;
  }
  static const std::vector<double>& Prices() {
    static const std::vector<double> p = {-2.5, -1, -0.25, 0, -0.0, 0.5, 1, 1.25, 2.5, 3, 10.75};
    return p;
  }

  TValue RandomValue(int column) {
    TValue v;
    if (column == kSerial) {  // unique and never NULL
      v.Null = false;
      v.I = FreeSerials_.back();
      FreeSerials_.pop_back();
      return v;
    }
    if (Chance(0.2)) return v;
    v.Null = false;
    switch (column) {
      case kName:
      case kCode:
      case kNote:
        v.S = Chance(0.05) ? RandomText(7, 8) : RandomText(1, 3);
        break;
      case kQty:
        v.I = Rand(12) - 3;
        break;
      case kLevel:
        v.I = Rand(9) - 4;
        break;
      case kMisc:
        v.I = Rand(6);
        break;
      case kDay:
        v.I = DayConst(Pick(Days_)).I;
        break;
      case kPrice:
        v.F = Pick(Prices());
        break;
      case kFlag:
        v.I = Rand(2);
        break;
      default:
        break;
    }
    return v;
  }

  TRow RandomRow() {
    TRow r;
    r.V[kId].Null = false;
    r.V[kId].I = NextId_++;
    for (int c = kName; c <= kColumnCount; ++c) r.V[size_t(c)] = RandomValue(c);
    return r;
  }

  TConst RandomConst(int column, bool upper) {
    TConst c;
    switch (column) {
      case kName:
      case kCode:
      case kNote: {
        c.Kind = TConst::Str;
        int roll = Rand(100);
        c.S = roll < 5 ? std::string() : roll < 12 ? RandomText(8, 10) : RandomText(1, 3);
        if (upper && Chance(0.8)) c.S = Model_.Upper(c.S);
        return c;
      }
      case kDay:
        if (Chance(0.1)) return DayConst({2020, 1, 20});
        return DayConst(Pick(Days_));
      case kFlag:
        c.Kind = TConst::Bool;
        c.I = Rand(2);
        return c;
      case kPrice:
        if (Chance(0.25)) {
          c.I = Rand(7) - 3;
          return c;
        }
        c.Kind = TConst::Flt;
        c.F = Chance(0.2) ? 0.75 : Pick(Prices());
        return c;
      default: {
        if (Chance(0.15)) {  // a fraction against a whole-number column
          c.Kind = TConst::Flt;
          c.F = double(Rand(10) - 4) + (Chance(0.5) ? 0.5 : -0.5);
          return c;
        }
        int span = column == kId ? NextId_ + 2 : column == kSerial ? 4000 : 14;
        int low = column == kQty ? -4 : column == kLevel ? -5 : 0;
        c.I = low + Rand(span);
        if (column == kSerial && Chance(0.5) && !Rows_.empty()) {
          auto it = Rows_.begin();
          std::advance(it, Rand(int(Rows_.size())));
          c.I = it->second.V[kSerial].I;
        }
        return c;
      }
    }
  }

  std::unique_ptr<TNode> RandomLeaf() {
    auto n = std::make_unique<TNode>();
    static const int kPickable[] = {kId,  kName,  kCode, kNote, kQty,  kSerial, kLevel, kMisc,
                                    kDay, kPrice, kFlag, kName, kCode, kQty,    kDay,   kPrice};
    n->Column = kPickable[Rand(int(std::size(kPickable)))];
    const bool text = IsText(n->Column);
    int roll = Rand(100);
    if (n->Column == kFlag) {
      if (roll < 35) {
        n->Kind = kBareFlag;
      } else if (roll < 45) {
        n->Kind = kIsNull;
        n->Negated = Chance(0.5);
      } else {
        n->Kind = kCompare;
        n->Op = Chance(0.5) ? kOpEqual : kOpNotEqual;
        n->ConstLeft = Chance(0.2);
        n->Items = {RandomConst(kFlag, false)};
      }
      return n;
    }
    n->Upper = text && Chance(0.25);
    if (roll < 12) {
      n->Kind = kIsNull;
      n->Upper = false;
      n->Negated = Chance(0.5);
    } else if (roll < 27) {
      n->Kind = kBetween;
      n->Negated = Chance(0.25);
      n->Items = {RandomConst(n->Column, n->Upper), RandomConst(n->Column, n->Upper)};
      if (!text && Chance(0.7)) {  // mostly low <= high
        auto key = [&](const TConst& c) { return c.Kind == TConst::Flt ? c.F : double(c.I); };
        if (key(n->Items[0]) > key(n->Items[1])) std::swap(n->Items[0], n->Items[1]);
      } else if (text && Chance(0.7) && Model_.CompareText(n->Items[0].S, n->Items[1].S, 0, false) > 0) {
        std::swap(n->Items[0], n->Items[1]);
      }
    } else if (roll < 40) {
      n->Kind = kIn;
      n->Negated = Chance(0.3);
      int count = 1 + Rand(3);
      for (int i = 0; i < count; ++i) n->Items.push_back(RandomConst(n->Column, n->Upper));
    } else {
      n->Kind = kCompare;
      static const uint8_t kOps[] = {kOpEqual,       kOpEqual,   kOpNotEqual,      kOpLess,
                                     kOpLessOrEqual, kOpGreater, kOpGreaterOrEqual};
      n->Op = kOps[Rand(int(std::size(kOps)))];
      n->ConstLeft = Chance(0.15);
      n->Items = {RandomConst(n->Column, n->Upper)};
      // String prefixes.
      if (text && (n->Op == kOpEqual || n->Op == kOpNotEqual) && Chance(0.35)) {
        std::string stem = n->Upper ? Model_.Upper(RandomText(1, 2)) : RandomText(1, 2);
        if (Chance(0.05)) stem = RandomText(9, 9);  // longer than the field
        n->Items[0].S = stem + "*";
        if (Chance(0.3)) {
          n->Like = true;
          n->ConstLeft = false;
          n->Items[0].S = stem;
        }
      }
    }
    return n;
  }

  std::unique_ptr<TNode> RandomTree(int depth) {
    if (depth == 0 || Chance(0.35)) return RandomLeaf();
    auto n = std::make_unique<TNode>();
    int roll = Rand(100);
    if (roll < 15) {
      n->Kind = kNot;
      n->A = RandomTree(depth - 1);
    } else {
      n->Kind = roll < 60 ? kAnd : kOr;
      n->A = RandomTree(depth - 1);
      n->B = RandomTree(depth - 1);
    }
    return n;
  }

  // ---- Images ----
  static void PutRow(TDataCursor& c, std::vector<uint8_t>& image, const TRow& row) {
    for (int col = 1; col <= kColumnCount; ++col) {
      const TValue& v = row.V[size_t(col)];
      uint16_t f = uint16_t(col);
      if (v.Null) {
        c.PutField(f, image.data(), nullptr);
        continue;
      }
      switch (kColumns[col].Type) {
        case FIELD_STRING:
          c.PutField(f, image.data(), v.S.c_str());
          break;
        case FIELD_SMALLINT: {
          int16_t x = int16_t(v.I);
          c.PutField(f, image.data(), &x);
          break;
        }
        case FIELD_BOOLEAN: {
          uint16_t x = uint16_t(v.I);
          c.PutField(f, image.data(), &x);
          break;
        }
        case FIELD_FLOAT:
          c.PutField(f, image.data(), &v.F);
          break;
        default: {
          int32_t x = int32_t(v.I);
          c.PutField(f, image.data(), &x);
          break;
        }
      }
    }
  }

  static TRow ReadRow(TDataCursor& c, const uint8_t* image) {
    TRow row;
    for (int col = 1; col <= kColumnCount; ++col) {
      uint8_t slot[256] = {};
      TValue& v = row.V[size_t(col)];
      v.Null = c.GetField(uint16_t(col), image, slot);
      if (v.Null) continue;
      switch (kColumns[col].Type) {
        case FIELD_STRING:
          v.S = reinterpret_cast<const char*>(slot);
          break;
        case FIELD_SMALLINT:
          v.I = LoadI16(slot);
          break;
        case FIELD_BOOLEAN:
          v.I = LoadU16(slot);
          break;
        case FIELD_FLOAT:
          v.F = LoadDouble(slot);
          break;
        default:
          v.I = LoadI32(slot);
          break;
      }
    }
    return row;
  }

  static std::string ValueText(int column, const TValue& v) {
    if (v.Null) return "NULL";
    switch (kColumns[column].Type) {
      case FIELD_STRING: {
        std::string out = "'";
        for (unsigned char ch : v.S) {
          if (ch >= 0x80) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", ch);
            out += hex;
          } else {
            out += char(ch);
          }
        }
        return out + "'";
      }
      case FIELD_FLOAT:
        return FloatText(v.F);
      case FIELD_DATE: {
        int y, m, d;
        DecodeDate(int32_t(v.I), y, m, d);
        char text[16];
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", y, m, d);
        return text;
      }
      default:
        return std::to_string(v.I);
    }
  }
  static std::string RowText(const TRow& row) {
    std::string out;
    for (int col = 1; col <= kColumnCount; ++col)
      out += std::string(col > 1 ? " " : "") + kColumns[col].Name + "=" + ValueText(col, row.V[size_t(col)]);
    return out;
  }

  // ---- The cursors' side ----
  std::string IndexText() const {
    if (Index_ == nullptr) return "natural order";
    std::string out = Index_->Name[0] ? Index_->Name : "primary";
    if (Range_.Active)
      out += " range [" + (Range_.Low ? ValueText(Index_->Column, *Range_.Low) : std::string("lowest")) +
             ", " + (Range_.High ? ValueText(Index_->Column, *Range_.High) : std::string("highest")) + "]";
    return out;
  }

  bool InRange(const TRow& row) const {
    if (!Range_.Active || Index_ == nullptr) return true;
    const TValue& v = row.V[size_t(Index_->Column)];
    if (Range_.Low && Model_.KeyCompare(*Index_, v, *Range_.Low) < 0) return false;
    if (Range_.High && Model_.KeyCompare(*Index_, v, *Range_.High) > 0) return false;
    return true;
  }

  std::vector<int> ExpectedIds(bool withRange = true) const {
    std::vector<int> out;
    for (const auto& [id, row] : Rows_) {
      if (withRange && !InRange(row)) continue;
      bool ok = true;
      for (const TModelFilter& f : Filters_)
        if (f.Active && !Model_.Accepts(f, row)) ok = false;
      if (ok) out.push_back(id);
    }
    return out;
  }

  void Log(const std::string& step) {
    Log_.push_back(step);
    if (Log_.size() > 12) Log_.erase(Log_.begin());
  }

  std::string State() const {
    std::ostringstream out;
    out << "seed " << Seed_ << (Config_.PrimaryKey ? ", primary key" : ", no primary key") << ", language "
        << Config_.Language << "; cursor on " << IndexText() << " (engine: bitmap mode "
        << (C_.BitmapMode() ? "on" : "off") << ", range " << (C_.RangeActive() ? "on" : "off")
        << "); filters:";
    for (size_t i = 0; i < C_.FilterCount(); ++i)
      for (const TModelFilter& f : Filters_)
        if (f.Handle == C_.FilterAt(i))
          out << "\n    " << f.Describe() << " (engine: level " << int(f.Handle->OptimizeLevel)
              << (f.Handle->Active ? ", active)" : ", inactive)");
    out << "\n  last steps:";
    for (const std::string& s : Log_) out << "\n    " << s;
    return out.str();
  }

  std::string Difference(const std::vector<int>& expected, const std::vector<int>& got) const {
    std::set<int> e(expected.begin(), expected.end()), g(got.begin(), got.end());
    std::ostringstream out;
    for (int id : e)
      if (!g.count(id)) out << "\n    missing: " << RowText(Rows_.at(id));
    for (int id : g) {
      if (e.count(id)) continue;
      auto it = Rows_.find(id);
      out << "\n    extra:   "
          << (it == Rows_.end() ? "Id=" + std::to_string(id) + " (not live)" : RowText(it->second));
    }
    return out.str();
  }

  bool Fail(const std::string& what) {
    ADD_FAILURE() << what << "\n  " << State();
    return false;
  }

  // The Ids of the filter's visible set on a filtered twin (everything evaluated on the
  // records), restricted to the model's range.
  std::vector<int> TwinIds() {
    std::vector<TFilter*> made;
    for (const TModelFilter& f : Filters_) {
      if (!f.Active) continue;
      if (f.Callback)
        made.push_back(
            TwinFiltered_.AddFilter(nullptr, nullptr, false, false, f.Estimate, f.After, Callback()));
      else
        made.push_back(TwinFiltered_.AddFilter(nullptr, f.Text.c_str(), f.NoPartial, f.CaseInsensitive,
                                               f.Estimate, f.After));
    }
    TwinFiltered_.ActivateFilter(nullptr);
    std::vector<int> out;
    std::vector<uint8_t> image(TwinFiltered_.RecordSize());
    TwinFiltered_.SetToBegin();
    while (TwinFiltered_.GetNextRecord(image.data()) == 0) {
      TRow row = ReadRow(TwinFiltered_, image.data());
      if (InRange(row)) out.push_back(row.Id());
    }
    TwinFiltered_.DropFilter(nullptr);
    std::sort(out.begin(), out.end());
    return out;
  }

  TFilter::TCallback Callback() {
    return [this](void*, TDataCursor& cursor, const uint8_t* record, int32_t) {
      int32_t id = 0;
      cursor.GetField(kId, record, &id);
      if (&cursor == &C_) Seen_.push_back(id);
      return CallbackAccepts(id);
    };
  }

  // The visible set of the filtered cursor against the model.
  bool Check(const std::string& step) {
    Log(step);
    const std::vector<int> expected = ExpectedIds();
    // Forward, with every record's contents and, in index order, the index's order.
    std::vector<int> forward;
    std::vector<TRow> walked;
    std::vector<uint8_t> image(C_.RecordSize());
    C_.SetToBegin();
    while (C_.GetNextRecord(image.data()) == 0) {
      walked.push_back(ReadRow(C_, image.data()));
      forward.push_back(walked.back().Id());
      if (forward.size() > Rows_.size() + 5) return Fail("the forward walk does not end");
    }
    std::vector<int> sorted = forward;
    std::sort(sorted.begin(), sorted.end());
    if (sorted != expected) {
      std::vector<int> twin = TwinIds();
      std::string walk;
      for (int id : forward) walk += " " + std::to_string(id);
      return Fail("visible set differs from the record-by-record evaluation after " + step + ":" +
                  Difference(expected, sorted) + "\n  walked (count " + std::to_string(C_.GetRecordCount()) +
                  "):" + walk + "\n  the unindexed twin " +
                  (twin == expected ? std::string("agrees with the evaluation")
                                    : "gives:" + Difference(expected, twin)));
    }
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end())
      return Fail("a record is visited twice");
    for (const TRow& row : walked)
      if (!(row.V == Rows_.at(row.Id()).V))
        return Fail("record contents differ: " + RowText(row) + " expected " + RowText(Rows_.at(row.Id())));
    // (Natural order is checked through the record numbers below.)
    for (size_t i = 1; Index_ != nullptr && i < walked.size(); ++i)
      if (Model_.KeyCompare(*Index_, walked[i - 1].V[size_t(Index_->Column)],
                            walked[i].V[size_t(Index_->Column)]) > 0)
        return Fail("index order broken: " + RowText(walked[i - 1]) + " before " + RowText(walked[i]));
    // Backward: the same records in reverse.
    std::vector<int> backward;
    C_.SetToEnd();
    while (C_.GetPriorRecord(image.data()) == 0) {
      backward.push_back(ReadRow(C_, image.data()).Id());
      if (backward.size() > Rows_.size() + 5) return Fail("the backward walk does not end");
    }
    std::reverse(backward.begin(), backward.end());
    if (backward != forward) return Fail("backward walk differs from the forward walk after " + step);
    if (C_.GetRecordCount() != int64_t(expected.size()))
      return Fail("record count " + std::to_string(C_.GetRecordCount()) + ", expected " +
                  std::to_string(expected.size()) + " after " + step);
    // Natural order: record numbers name the visible records in physical order.
    if (Index_ == nullptr) {
      int32_t previous = 0;
      for (size_t k = 1; k <= forward.size(); ++k) {
        C_.SetToRecNo(int64_t(k));
        if (C_.GetRecNo() != int64_t(k) || C_.GetCurrentRecord(image.data()) != 0 ||
            ReadRow(C_, image.data()).Id() != forward[k - 1])
          return Fail("SetToRecNo(" + std::to_string(k) + ") lands on record number " +
                      std::to_string(C_.GetRecNo()) + " after " + step);
        if (C_.CurrentRecordNumber() <= previous) return Fail("natural order is not physical order");
        previous = C_.CurrentRecordNumber();
      }
    }
    // The unindexed twin, now and then (always when a mismatch is reported above).
    if (Chance(0.25)) {
      std::vector<int> twin = TwinIds();
      if (twin != expected)
        return Fail("the unindexed twin differs from the record-by-record evaluation after " + step + ":" +
                    Difference(expected, twin));
    }
    return true;
  }

  // ---- Steps ----
  bool ChooseIndex() {
    int roll = Rand(100);
    if (C_.RangeActive()) C_.ResetRange();
    Range_ = {};
    if (roll < 25) {
      C_.SetIndexNumber(kNaturalOrder);
      Index_ = nullptr;
    } else if (roll < 35 && Config_.PrimaryKey) {
      C_.SetIndexName("");
      Index_ = &kPrimary;
    } else {
      Index_ = &Pick(kSecondaries);
      C_.SetIndexName(Index_->Name);
    }
    if (Index_ != nullptr && Chance(0.5)) SetRandomRange();
    return Check("index " + IndexText());
  }

  TValue RangeBound() {
    int column = Index_->Column;
    if (column == kId) {
      TValue v;
      v.Null = false;
      v.I = Rand(NextId_ + 2);
      return v;
    }
    if (column == kSerial) {
      TValue v;
      v.Null = false;
      v.I = Rand(4000);
      return v;
    }
    return RandomValue(column);
  }

  void SetRandomRange() {
    Range_.Active = true;
    if (Chance(0.85)) Range_.Low = RangeBound();
    if (Chance(0.85)) Range_.High = RangeBound();
    // Mostly a non-empty range.
    if (Range_.Low && Range_.High && Chance(0.8) && Model_.KeyCompare(*Index_, *Range_.Low, *Range_.High) > 0)
      std::swap(Range_.Low, Range_.High);
    std::vector<uint8_t> low = NewImage(C_), high = NewImage(C_);
    TRow lowRow, highRow;
    if (Range_.Low) lowRow.V[size_t(Index_->Column)] = *Range_.Low;
    if (Range_.High) highRow.V[size_t(Index_->Column)] = *Range_.High;
    PutRow(C_, low, lowRow);
    PutRow(C_, high, highRow);
    C_.SetRange(false, Range_.Low ? low.data() : nullptr, 1, Range_.High ? high.data() : nullptr, 1);
  }

  TModelFilter& AddFilter() {
    TModelFilter f;
    f.Estimate = Chance(0.5);
    f.After = Chance(0.2);
    if (Chance(0.15) &&
        std::none_of(Filters_.begin(), Filters_.end(), [](const TModelFilter& x) { return x.Callback; })) {
      f.Callback = true;
      f.After = Chance(0.8);
      f.Handle = C_.AddFilter(nullptr, nullptr, false, false, f.Estimate, f.After, Callback());
    } else {
      f.Tree = RandomTree(1 + Rand(3));
      f.Text = f.Tree->Text();
      f.NoPartial = Chance(0.2);
      f.CaseInsensitive = Chance(0.25);
      TModel::Normalize(f.Tree.get());
      f.Handle = C_.AddFilter(nullptr, f.Text.c_str(), f.NoPartial, f.CaseInsensitive, f.Estimate, f.After);
    }
    Filters_.push_back(std::move(f));
    return Filters_.back();
  }

  // Activation keeps the cursor on its record when that record stays visible, and a
  // callback filter judged after the expressions sees only what they accepted.
  bool Activate(TFilter* handle, const std::string& step) {
    int before = 0;
    std::vector<uint8_t> image(C_.RecordSize());
    if (C_.GetCurrentRecord(image.data()) == 0) before = ReadRow(C_, image.data()).Id();
    for (TModelFilter& f : Filters_)
      if (handle == nullptr || f.Handle == handle) f.Active = true;
    Seen_.clear();
    C_.ActivateFilter(handle);
    const std::vector<int> expected = ExpectedIds();
    if (before != 0 && std::binary_search(expected.begin(), expected.end(), before)) {
      if (C_.GetCurrentRecord(image.data()) != 0 || ReadRow(C_, image.data()).Id() != before)
        return Fail(step + " moved the cursor off record Id=" + std::to_string(before) +
                    ", which stays visible");
    }
    for (size_t i = 0; i < C_.FilterCount(); ++i) {
      TFilter* h = C_.FilterAt(i);
      if (!h->IsCallback || !h->AfterExpressions || !h->Active) continue;
      for (int id : Seen_) {
        auto it = Rows_.find(id);
        bool allowed = it != Rows_.end() && InRange(it->second);
        for (size_t j = 0; j < i && allowed; ++j)
          for (const TModelFilter& f : Filters_)
            if (f.Handle == C_.FilterAt(j) && f.Active && !Model_.Accepts(f, it->second)) allowed = false;
        if (!allowed)
          return Fail(step + ": the callback judged record Id=" + std::to_string(id) +
                      ", which the filters before it reject");
      }
    }
    return Check(step);
  }

  TModelFilter* Find(TFilter* handle) {
    for (TModelFilter& f : Filters_)
      if (f.Handle == handle) return &f;
    return nullptr;
  }

  bool ToggleFilters() {
    int roll = Rand(100);
    if (Filters_.empty() || roll < 25) {
      TModelFilter& f = AddFilter();
      return Activate(f.Handle, "add and activate " + f.Describe());
    }
    TModelFilter& f = Filters_[size_t(Rand(int(Filters_.size())))];
    if (roll < 50) {
      if (f.Active) {
        f.Active = false;
        C_.DeactivateFilter(f.Handle);
        return Check("deactivate " + f.Describe());
      }
      return Activate(f.Handle, "activate " + f.Describe());
    }
    if (roll < 65) {
      for (TModelFilter& x : Filters_) x.Active = false;
      C_.DeactivateFilter(nullptr);
      return Check("deactivate all");
    }
    if (roll < 80) return Activate(nullptr, "activate all");
    std::string what = "drop " + f.Describe();
    C_.DropFilter(f.Handle);
    Filters_.erase(Filters_.begin() + (&f - Filters_.data()));
    return Check(what);
  }

  // The k-th visible record of the filtered cursor becomes current; its Id, 0 if none.
  int PositionOnVisible() {
    std::vector<int> expected = ExpectedIds();
    if (expected.empty()) return 0;
    int k = Rand(int(expected.size()));
    std::vector<uint8_t> image(C_.RecordSize());
    C_.SetToBegin();
    for (int i = 0; i <= k; ++i)
      if (C_.GetNextRecord(image.data()) != 0) return 0;
    return ReadRow(C_, image.data()).Id();
  }

  // Positions the twin's editing cursor on the record with `id`.
  bool TwinSeek(int id) {
    std::vector<uint8_t> image(Twin_.RecordSize());
    Twin_.SetToBegin();
    while (Twin_.GetNextRecord(image.data()) == 0)
      if (ReadRow(Twin_, image.data()).Id() == id) return true;
    return false;
  }

  void Mutate(TRow& row) {
    int changes = 1 + Rand(3);
    for (int i = 0; i < changes; ++i) {
      int column = kName + Rand(kColumnCount - 1);
      if (column == kSerial) FreeSerials_.insert(FreeSerials_.begin(), int(row.V[kSerial].I));
      row.V[size_t(column)] = RandomValue(column);
    }
  }

  bool Append(TDataCursor& through, const std::string& who) {
    TRow row = RandomRow();
    std::vector<uint8_t> image = NewImage(through);
    PutRow(through, image, row);
    through.AppendRecord(image.data());
    std::vector<uint8_t> twin = NewImage(Twin_);
    PutRow(Twin_, twin, row);
    Twin_.AppendRecord(twin.data());
    Rows_[row.Id()] = row;
    return AfterEdit(who + " appends " + RowText(row), &through == &C_);
  }

  bool Modify(TDataCursor& through, int id, const std::string& who) {
    TRow row = Rows_.at(id);
    Mutate(row);
    std::vector<uint8_t> image(through.RecordBuffer(), through.RecordBuffer() + through.RecordSize());
    PutRow(through, image, row);
    through.ModifyRecord(image.data());
    if (!TwinSeek(id)) return Fail("twin lost record Id=" + std::to_string(id));
    std::vector<uint8_t> twin(Twin_.RecordBuffer(), Twin_.RecordBuffer() + Twin_.RecordSize());
    PutRow(Twin_, twin, row);
    Twin_.ModifyRecord(twin.data());
    std::string was = RowText(Rows_.at(id));
    Rows_[id] = row;
    return AfterEdit(who + " modifies " + was + " into " + RowText(row), &through == &C_);
  }

  bool Delete(TDataCursor& through, int id, const std::string& who) {
    through.DeleteRecord(through.RecordBuffer());
    if (!TwinSeek(id)) return Fail("twin lost record Id=" + std::to_string(id));
    Twin_.DeleteRecord(Twin_.RecordBuffer());
    FreeSerials_.insert(FreeSerials_.begin(), int(Rows_.at(id).V[kSerial].I));
    std::string was = RowText(Rows_.at(id));
    Rows_.erase(id);
    return AfterEdit(who + " deletes " + was, &through == &C_);
  }

  // After the filtered cursor's own write it stands on a visible record or on a crack.
  bool AfterEdit(const std::string& step, bool own) {
    if (own) {
      std::vector<uint8_t> image(C_.RecordSize());
      if (C_.GetCurrentRecord(image.data()) == 0) {
        std::vector<int> expected = ExpectedIds();
        int id = ReadRow(C_, image.data()).Id();
        if (!std::binary_search(expected.begin(), expected.end(), id))
          return Fail(step + " left the cursor on Id=" + std::to_string(id) + ", which is not visible");
      }
    }
    return Check(step);
  }

  bool EditThroughFiltered() {
    int roll = Rand(100);
    if (roll < 40 || Rows_.size() < 10) return Append(C_, "filtered cursor");
    int id = PositionOnVisible();
    if (id == 0) return Append(C_, "filtered cursor");
    if (roll < 75) return Modify(C_, id, "filtered cursor");
    return Delete(C_, id, "filtered cursor");
  }

  bool EditThroughOther() {
    int roll = Rand(100);
    if (roll < 35 || Rows_.size() < 10) return Append(Other_, "second cursor");
    Other_.SetToRecNo(1 + Rand(int(Rows_.size())));
    std::vector<uint8_t> image(Other_.RecordSize());
    if (Other_.GetCurrentRecord(image.data()) != 0) return Fail("the second cursor finds no record");
    int id = ReadRow(Other_, image.data()).Id();
    if (roll < 75) return Modify(Other_, id, "second cursor");
    return Delete(Other_, id, "second cursor");
  }

  uint64_t Seed_;
  TConfig Config_;
  std::mt19937_64 Rng_;
  TModel Model_;
  TDataCursor& C_;
  TDataCursor& Other_;
  TDataCursor& Twin_;
  TDataCursor& TwinFiltered_;
  std::string Alphabet_;
  std::vector<TDay> Days_;
  std::vector<int> FreeSerials_;
  int NextId_ = 1;
  std::map<int, TRow> Rows_;
  std::vector<TModelFilter> Filters_;
  const TIndexInfo* Index_ = &kPrimary;
  TRange Range_;
  std::vector<int> Seen_;
  std::vector<std::string> Log_;
};

void TRun::Fill(int count) {
  for (int i = 0; i < count; ++i) {
    TRow row = RandomRow();
    std::vector<uint8_t> image = NewImage(Other_);
    PutRow(Other_, image, row);
    Other_.AppendRecord(image.data());
    std::vector<uint8_t> twin = NewImage(Twin_);
    PutRow(Twin_, twin, row);
    Twin_.AppendRecord(twin.data());
    Rows_[row.Id()] = row;
  }
  Index_ = Config_.PrimaryKey ? &kPrimary : nullptr;
}

bool TRun::Play(int rounds, int steps) {
  for (int round = 0; round < rounds; ++round) {
    if (!ChooseIndex()) return false;
    int count = 1 + Rand(3);
    for (int i = 0; i < count; ++i) AddFilter();
    if (Chance(0.5)) {
      if (!Activate(nullptr, "activate all")) return false;
    } else {
      for (TModelFilter& f : Filters_)
        if (!f.Active && !Activate(f.Handle, "activate " + f.Describe())) return false;
    }
    for (int step = 0; step < steps; ++step) {
      int roll = Rand(100);
      bool ok = roll < 35   ? EditThroughFiltered()
                : roll < 60 ? EditThroughOther()
                : roll < 85 ? ToggleFilters()
                : roll < 93
                    ? ChooseIndex()
                    : (Index_ != nullptr ? (SetRandomRange(), Check("range " + IndexText())) : ChooseIndex());
      if (!ok) return false;
    }
    C_.DropFilter(nullptr);
    Filters_.clear();
    if (!Check("drop all")) return false;
  }
  return true;
}

void FilterModelTest::Run(uint64_t seed, TConfig config) {
  SCOPED_TRACE("seed " + std::to_string(seed));
  const std::string table = "t" + std::to_string(seed), twin = "w" + std::to_string(seed);
  MakeTable(table, Definition(config.PrimaryKey, true, config.Language));
  MakeTable(twin, Definition(false, false, config.Language));
  TDataCursor& filtered = OpenCursor(table);
  TDataCursor& other = OpenCursor(table);
  other.SetIndexNumber(kNaturalOrder);
  TDataCursor& twinCursor = OpenCursor(twin);
  twinCursor.SetIndexNumber(kNaturalOrder);
  TDataCursor& twinFiltered = OpenCursor(twin);
  twinFiltered.SetIndexNumber(kNaturalOrder);
  TRun run(seed, config, filtered, other, twinCursor, twinFiltered);
  std::mt19937_64 sizes(seed * 7919);
  run.Fill(50 + int(sizes() % 50));
  try {
    run.Play(10, 10);
  } catch (const EVELDOREngineError& e) {
    ADD_FAILURE() << "engine error " << e.ErrorCode << ": " << e.Message << "\n  " << run.Where();
  }
  cursors_.clear();
}

TEST_F(FilterModelTest, ByteOrderTableWithPrimaryKey) {
  for (uint64_t seed : Seeds(1, 5)) {
    Run(seed, {true, 0});
    if (HasFailure()) break;
  }
}

TEST_F(FilterModelTest, ByteOrderTableWithoutPrimaryKey) {
  for (uint64_t seed : Seeds(51, 5)) {
    Run(seed, {false, 0});
    if (HasFailure()) break;
  }
}

TEST_F(FilterModelTest, LanguageTableWithPrimaryKey) {
  const uint16_t language = InstalledLanguage();
  ASSERT_NE(language, 0) << "no installed locale among French, German, Spanish, English";
  for (uint64_t seed : Seeds(101, 5)) {
    Run(seed, {true, language});
    if (HasFailure()) break;
  }
}

TEST_F(FilterModelTest, LanguageTableWithoutPrimaryKey) {
  const uint16_t language = InstalledLanguage();
  ASSERT_NE(language, 0) << "no installed locale among French, German, Spanish, English";
  for (uint64_t seed : Seeds(151, 5)) {
    Run(seed, {false, language});
    if (HasFailure()) break;
  }
}

// A bound left out is the lowest (start) or highest (end) key in the index's own order,
// which on a descending index is the highest or lowest value; with and without a filter.
TEST_F(FilterModelTest, OpenRangeOnDescendingIndex) {
  MakeTable("levels", Definition(true, true, 0));
  TDataCursor& c = OpenCursor("levels");
  for (int i = 0; i < 10; ++i) {  // Level 0 1 2 3 4 0 1 2 3 4, NULL for Id 4
    std::vector<uint8_t> image = NewImage(c);
    int32_t id = i + 1, serial = 100 + i;
    int16_t level = int16_t(i % 5);
    c.PutField(kId, image.data(), &id);
    c.PutField(kSerial, image.data(), &serial);
    if (id != 4) c.PutField(kLevel, image.data(), &level);
    c.AppendRecord(image.data());
  }
  c.SetIndexName("ByLevel");
  auto levels = [&] {
    std::vector<std::string> out;
    std::vector<uint8_t> image(c.RecordSize());
    c.SetToBegin();
    while (c.GetNextRecord(image.data()) == 0) {
      int16_t v = 0;
      out.push_back(c.GetField(kLevel, image.data(), &v) ? "NULL" : std::to_string(v));
    }
    return out;
  };
  using L = std::vector<std::string>;
  EXPECT_EQ(levels(), (L{"4", "4", "3", "2", "2", "1", "1", "0", "0", "NULL"}));
  std::vector<uint8_t> two = NewImage(c);
  int16_t value = 2;
  c.PutField(kLevel, two.data(), &value);
  c.SetRange(false, two.data(), 1, nullptr, 1);
  EXPECT_EQ(levels(), (L{"2", "2", "1", "1", "0", "0", "NULL"}));
  EXPECT_EQ(c.GetRecordCount(), 7);
  c.SetRange(false, nullptr, 1, two.data(), 1);
  EXPECT_EQ(levels(), (L{"4", "4", "3", "2", "2"}));
  EXPECT_EQ(c.GetRecordCount(), 5);
  c.ActivateFilter(c.AddFilter(nullptr, "Id > 5", false, false, false, false));
  EXPECT_EQ(levels(), (L{"4", "3", "2"}));  // Ids 10, 9, 8
  EXPECT_EQ(c.GetRecordCount(), 3);
}

// A filter judged after the expressions is built on what the filters before it accepted;
// once one of those is deactivated or dropped, the visible set is the after-filter's own.
TEST_F(FilterModelTest, AfterExpressionFilterOutlivesTheFiltersBeforeIt) {
  MakeTable("after", Definition(true, true, 0));
  TDataCursor& c = OpenCursor("after");
  for (int32_t id = 1; id <= 12; ++id) {
    std::vector<uint8_t> image = NewImage(c);
    int32_t serial = 100 + id, qty = id % 6, misc = id % 3;
    c.PutField(kId, image.data(), &id);
    c.PutField(kSerial, image.data(), &serial);
    c.PutField(kQty, image.data(), &qty);
    c.PutField(kMisc, image.data(), &misc);
    c.AppendRecord(image.data());
  }
  auto even = [](void*, TDataCursor& cursor, const uint8_t* record, int32_t) {
    int32_t id = 0;
    cursor.GetField(kId, record, &id);
    return id % 2 == 0;
  };
  const std::vector<int32_t> misc1 = {1, 4, 7, 10}, evens = {2, 4, 6, 8, 10, 12};
  for (bool callback : {false, true}) {
    for (bool drop : {false, true}) {
      SCOPED_TRACE(std::string(callback ? "callback" : "Misc = 1") + (drop ? ", drop" : ", deactivate"));
      TFilter* first = c.AddFilter(nullptr, "Qty > 2", false, false, false, false);
      if (callback)
        c.AddFilter(nullptr, nullptr, false, false, false, true, even);
      else
        c.AddFilter(nullptr, "Misc = 1", false, false, false, true);
      c.ActivateFilter(nullptr);
      // Qty > 2: Ids 3 4 5 9 10 11; of these, Misc = 1 and the even ones are 4 and 10.
      EXPECT_EQ(Ids(c), (std::vector<int32_t>{4, 10}));
      if (drop)
        c.DropFilter(first);
      else
        c.DeactivateFilter(first);
      EXPECT_EQ(Ids(c), callback ? evens : misc1);
      EXPECT_EQ(c.GetRecordCount(), int64_t(callback ? evens.size() : misc1.size()));
      c.DropFilter(nullptr);
    }
  }
}

// Conditions at the edges of the value rules, each answered by the indexes on one table
// and by record-by-record evaluation on an unindexed twin: both must give the Ids listed.
TEST_F(FilterModelTest, EdgeCasesAgreeWithRecordByRecordEvaluation) {
  MakeTable("edge", Definition(true, true, 0));
  MakeTable("edgetwin", Definition(false, false, 0));
  TDataCursor& indexed = OpenCursor("edge");
  TDataCursor& twin = OpenCursor("edgetwin");
  struct TEdgeRow {
    const char* Name;
    std::optional<int32_t> Qty;
    std::optional<double> Price;
  };
  const TEdgeRow rows[] = {
      {"a", 1, 0.0}, {"b", 2, -0.0}, {"ba", 3, 1.0}, {nullptr, std::nullopt, std::nullopt}, {"B", 2, 0.5},
  };
  for (TDataCursor* c : {&indexed, &twin}) {
    for (int32_t i = 0; i < 5; ++i) {
      std::vector<uint8_t> image = NewImage(*c);
      int32_t id = i + 1, serial = 10 + i;
      c->PutField(kId, image.data(), &id);
      c->PutField(kSerial, image.data(), &serial);
      c->PutField(kName, image.data(), rows[i].Name);
      c->PutField(kCode, image.data(), rows[i].Name);
      if (rows[i].Qty) c->PutField(kQty, image.data(), &*rows[i].Qty);
      if (rows[i].Price) c->PutField(kPrice, image.data(), &*rows[i].Price);
      c->AppendRecord(image.data());
    }
  }
  using I = std::vector<int32_t>;
  const struct {
    const char* Text;
    I Expected;
  } cases[] = {
      // An empty string constant is NULL, which ordering reads as the empty string.
      {"Name > ''", {1, 2, 3, 5}},
      {"Name >= ''", {1, 2, 3, 4, 5}},
      {"Name < ''", {}},
      {"Name <= ''", {4}},
      {"Name BETWEEN '' AND 'a'", {1, 4, 5}},  // byte order: 'B' < 'a'
      {"Name = ''", {4}},
      {"Name <> ''", {1, 2, 3, 5}},
      {"Name < 'a'", {4, 5}},
      {"Name IN ('b', '')", {2, 4}},
      // Two NULLs compare as equal.
      {"Qty BETWEEN NULL AND NULL", {4}},
      {"Qty IN (1, NULL)", {1, 4}},
      // Constants of another type are converted to the column's (fractions cut off).
      {"Qty = 2.5", {2, 5}},
      {"Qty < 2.5", {1}},
      {"Qty BETWEEN 1.5 AND 2.9", {1, 2, 5}},
      // Negative zero is zero.
      {"Price = 0", {1, 2}},
      {"Price <= -0.0", {1, 2}},
      // Constants the index cannot hold.
      {"Name = 'abcdefghijk'", {}},
      {"Name < 'abcdefghijk'", {1, 4, 5}},
      {"UPPER(Code) = 'b'", {}},
      {"UPPER(Code) = 'B'", {2, 5}},
      {"Code = 'B'", {5}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.Text);
    for (bool estimate : {false, true}) {
      for (TDataCursor* c : {&indexed, &twin}) {
        c->ActivateFilter(c->AddFilter(nullptr, test.Text, false, false, estimate, false));
        EXPECT_EQ(Ids(*c), test.Expected)
            << (c == &indexed ? "indexed" : "unindexed twin") << (estimate ? ", estimate" : "");
        c->DropFilter(nullptr);
      }
    }
  }
}

// With a language, strings order by the locale (letters before case), so the names that
// start with a prefix of given case are spread among names that differ from it only in
// case: the index must still answer the prefix comparison exactly.
TEST_F(FilterModelTest, PrefixOfGivenCaseInALanguageTable) {
  const uint16_t language = InstalledLanguage();
  ASSERT_NE(language, 0) << "no installed locale among French, German, Spanish, English";
  MakeTable("prefix", Definition(true, true, language));
  MakeTable("prefixtwin", Definition(false, false, language));
  TDataCursor& indexed = OpenCursor("prefix");
  TDataCursor& twin = OpenCursor("prefixtwin");
  const char* names[] = {"BB", "bb", "bBB", "BBa", "bba", "BbA", "BBz", "bbz", "Bc", "ba"};
  for (TDataCursor* c : {&indexed, &twin}) {
    for (int32_t i = 0; i < 10; ++i) {
      std::vector<uint8_t> image = NewImage(*c);
      int32_t id = i + 1, serial = i + 1;
      c->PutField(kId, image.data(), &id);
      c->PutField(kSerial, image.data(), &serial);
      c->PutField(kName, image.data(), names[i]);
      c->AppendRecord(image.data());
    }
  }
  using I = std::vector<int32_t>;
  const struct {
    const char* Text;
    I Expected;
  } cases[] = {
      {"Name = 'BB*'", {1, 4, 7}},
      {"Name <> 'BB*'", {2, 3, 5, 6, 8, 9, 10}},
      {"Name = 'bb*'", {2, 5, 8}},
      {"Name = 'b*'", {2, 3, 5, 8, 10}},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.Text);
    for (TDataCursor* c : {&indexed, &twin}) {
      c->ActivateFilter(c->AddFilter(nullptr, test.Text, false, false, false, false));
      std::vector<int32_t> got = Ids(*c);
      std::sort(got.begin(), got.end());
      EXPECT_EQ(got, test.Expected) << (c == &indexed ? "indexed" : "unindexed twin");
      c->DropFilter(nullptr);
    }
  }
}

}  // namespace
}  // namespace veldor::test
