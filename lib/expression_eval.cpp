// Evaluation of checked expression trees and the value conversions of CAST.
//
// Evaluation recurses into operands, except along the shapes whose length the text alone
// decides: a nest of AND (or of OR) nodes, whatever way the filter optimizer has turned
// its operands, a chain of other binary operators down Left, and the item list of IN.
// Those are loops; every other link needs a parenthesis or a function call in the text,
// and the parser bounds how deeply those nest.
//
// Integer arithmetic never overflows in the C++ sense: + - * of 64-bit values wrap in two's
// complement (computed on unsigned values), 32-bit results are the low 32 bits of the exact
// 64-bit result, and negating or taking ABS of the smallest value of a type gives it back
// unchanged (the same wrap). Currency (BCD) products and quotients are computed in 128 bits
// and saturate at the 64-bit range. Float-to-integer conversions are range-checked and fail
// (zero value) for NaN, infinities and values outside the target type.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors.h"
#include "engine/field_types.h"
#include "lib/byte_order.h"
#include "lib/collation.h"
#include "lib/date_time.h"
#include "lib/expression_eval.h"
#include "lib/name_text.h"
#include "lib/text_forms.h"

namespace veldor {
namespace {

using int128 = __int128;

constexpr int64_t kCurrencyScale = 10000;

int64_t WrapAdd(int64_t a, int64_t b) { return int64_t(uint64_t(a) + uint64_t(b)); }
int64_t WrapSub(int64_t a, int64_t b) { return int64_t(uint64_t(a) - uint64_t(b)); }
int64_t WrapMul(int64_t a, int64_t b) { return int64_t(uint64_t(a) * uint64_t(b)); }
int32_t Low32(int64_t v) { return int32_t(uint32_t(uint64_t(v))); }
int64_t Saturate(int128 v) {
  if (v > int128(std::numeric_limits<int64_t>::max())) return std::numeric_limits<int64_t>::max();
  if (v < int128(std::numeric_limits<int64_t>::min())) return std::numeric_limits<int64_t>::min();
  return int64_t(v);
}
// a / b rounded half away from zero (b != 0).
int128 RoundedDivide(int128 a, int128 b) {
  int128 q = a / b, r = a % b;
  if (r < 0) r = -r;
  const int128 absB = b < 0 ? -b : b;
  if (2 * r >= absB) q += ((a < 0) != (b < 0)) ? -1 : 1;
  return q;
}

bool StringLike(const TExpToken& n) { return IsStringLike(n.DataType, n.SubType); }

std::string_view TextView(const TExpToken& n) {
  if (n.IsNull) return std::string_view();
  const char* p = reinterpret_cast<const char*>(n.Value.data());
  return std::string_view(p, strnlen(p, n.Value.size()));
}

std::string TextOf(const TExpToken& n) { return std::string(TextView(n)); }

// Refuses a text result longer than evaluation builds, before it is built.
void RequireTextSize(size_t size) {
  if (size > kMaxTextResult)
    RaiseEngineError(VELDOR_OSENOMEM, "", "", "", "", "", "",
                     "the text result of an expression would be longer than " + std::to_string(kMaxTextResult) +
                         " characters");
}

int32_t FixedSize(uint8_t type) {
  switch (type) {
    case FIELD_DATE: case FIELD_INTEGER: case FIELD_TIME: return 4;
    case FIELD_BLOB: case FIELD_FLOAT: case FIELD_TIMESTAMP: case FIELD_LARGEINT: return 8;
    case FIELD_BOOLEAN: case FIELD_SMALLINT: case FIELD_WORD: return 2;
    case FIELD_BCD: return kBCDSize;
    default: return 0;
  }
}

// Integer value of integer types, booleans, dates and times.
int64_t IntegerOf(const TExpToken& n) {
  const uint8_t* p = n.Value.data();
  switch (n.DataType) {
    case FIELD_SMALLINT: return LoadI16(p);
    case FIELD_WORD: return LoadU16(p);
    case FIELD_BOOLEAN: return LoadU16(p) != 0 ? 1 : 0;
    case FIELD_INTEGER: case FIELD_DATE: case FIELD_TIME: return LoadI32(p);
    case FIELD_LARGEINT: return LoadI64(p);
    default: return 0;
  }
}

int64_t CurrencyOfBCD(const TExpToken& n) {
  int64_t amount = 0;
  return BCDToCurrency(n.Value.data(), amount) ? amount : 0;
}

double FloatOf(const TExpToken& n) {
  switch (n.DataType) {
    case FIELD_FLOAT: case FIELD_TIMESTAMP: return LoadDouble(n.Value.data());
    case FIELD_BCD: return double(CurrencyOfBCD(n)) / double(kCurrencyScale);
    default: return double(IntegerOf(n));
  }
}

// Currency amount (value x 10000) in 128 bits, so integers never overflow here.
int128 CurrencyOf(const TExpToken& n) {
  if (n.DataType == FIELD_BCD) return CurrencyOfBCD(n);
  if (n.DataType == FIELD_FLOAT) {
    const double v = LoadDouble(n.Value.data()) * double(kCurrencyScale);
    if (!(std::fabs(v) < 9.2e18)) return v > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return int128(std::llround(v));
  }
  return int128(IntegerOf(n)) * kCurrencyScale;
}

// Value writers: the node takes `type` with its fixed size and a clean value.
void Typed(TExpToken& n, uint8_t type) {
  n.DataType = type;
  n.IsNull = 0;
  n.SetDataSize(FixedSize(type));
  std::fill(n.Value.begin(), n.Value.begin() + std::min<size_t>(n.Value.size(), kBCDSize), uint8_t(0));
}
void SetBoolean(TExpToken& n, bool v) {
  Typed(n, FIELD_BOOLEAN);
  n.SubType = 0;
  n.Scale = 0;
  StoreU16(n.Value.data(), v ? 1 : 0);
}
void SetInteger(TExpToken& n, uint8_t type, int64_t v) {
  Typed(n, type);
  switch (type) {
    case FIELD_SMALLINT: StoreI16(n.Value.data(), int16_t(uint16_t(uint64_t(v)))); break;
    case FIELD_WORD: case FIELD_BOOLEAN: StoreU16(n.Value.data(), uint16_t(uint64_t(v))); break;
    case FIELD_LARGEINT: StoreI64(n.Value.data(), v); break;
    default: StoreI32(n.Value.data(), Low32(v)); break;
  }
}
void SetFloat(TExpToken& n, uint8_t type, double v) {
  Typed(n, type);
  StoreDouble(n.Value.data(), v);
}
void SetCurrency(TExpToken& n, int128 amount) {
  Typed(n, FIELD_BCD);
  if (!CurrencyToBCD(Saturate(amount), n.Scale, n.Value.data())) {
    std::fill(n.Value.begin(), n.Value.begin() + kBCDSize, uint8_t(0));
    n.IsNull = 1;
  }
}
void SetNull(TExpToken& n) {
  n.IsNull = 1;
  std::fill(n.Value.begin(), n.Value.begin() + std::min<size_t>(n.Value.size(), kConvertBufferSize), uint8_t(0));
}
// Strings and memos: empty text is NULL when `emptyIsNull`.
void SetText(TExpToken& n, const std::string& text, bool emptyIsNull) {
  n.SetStringValue(text);
  n.IsNull = emptyIsNull && text.empty() ? 1 : 0;
}

template <typename T>
int Sign(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

class TEvaluator {
 public:
  TEvaluator(void* record, void* owner, uint16_t language, uint16_t sort, const TFetchColumn& fetch,
             TSubSelectSource* subSelects)
      : Record_(record), Owner_(owner), Collation_(GetCollation(language, sort)), Language_(language),
        Fetch_(fetch), SubSelects_(subSelects) {}

  TTokenTree Eval(const TExpToken* node);

 private:
  TTokenTree Logical(const TExpToken* node);
  TTokenTree Operators(const TExpToken* node);
  // The value of binary node `n` (no AND or OR) whose Left operand's value is `left`.
  TTokenTree Operator(const TExpToken* n, TTokenTree left);
  static TTokenTree Result(const TExpToken& node) {
    TTokenTree r = TTokenTree::New();
    r->CopyFrom(node);
    r->Parent = r->Left = r->Right = r->Third = nullptr;
    r->Kind = kTokenConstant;
    return r;
  }
  static bool Truth(const TExpToken& n) { return !n.IsNull && IntegerOf(n) != 0; }

  int CompareText(const TExpToken& l, const TExpToken& r, int32_t partial, bool caseInsensitive) const {
    const std::string a = TextOf(l), b = TextOf(r);
    return Collation_.Compare(a.c_str(), b.c_str(), size_t(std::max(partial, 0)), caseInsensitive);
  }
  bool Compare(uint8_t op, const TExpToken& l, const TExpToken& r, int32_t partial, bool caseInsensitive) const;
  void Arithmetic(TExpToken& result, const TExpToken& l, const TExpToken& r) const;
  void Function(TExpToken& result, const TExpToken* node);
  bool MatchLike(const std::string& text, const std::string& pattern) const;
  bool CharsEqual(uint8_t a, uint8_t b) const {
    return Language_ == 0 ? a == b : Collation_.CompareChars(a, b) == 0;
  }

  void* Record_;
  void* Owner_;
  const TCollation& Collation_;
  uint16_t Language_;
  const TFetchColumn& Fetch_;
  TSubSelectSource* SubSelects_;
};

}  // namespace

// Both values non-NULL and neither text.
int CompareNonNull(const TExpToken& l, const TExpToken& r) {
  const uint8_t lt = l.DataType, rt = r.DataType;
  if (lt == FIELD_BOOLEAN || rt == FIELD_BOOLEAN) return Sign(IntegerOf(l) != 0, IntegerOf(r) != 0);
  if (lt == FIELD_BYTES || lt == FIELD_VARBYTES || lt == FIELD_BLOB) {
    const size_t n = std::min({size_t(std::max(l.DataSize, 0)), l.Value.size(), r.Value.size()});
    const int c = std::memcmp(l.Value.data(), r.Value.data(), n);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  if ((lt == FIELD_DATE && rt == FIELD_TIMESTAMP) || (lt == FIELD_TIMESTAMP && rt == FIELD_DATE)) {
    const double a = lt == FIELD_DATE ? MakeTimestamp(LoadI32(l.Value.data()), 0) : FloatOf(l);
    const double b = rt == FIELD_DATE ? MakeTimestamp(LoadI32(r.Value.data()), 0) : FloatOf(r);
    return Sign(a, b);
  }
  if (lt == FIELD_FLOAT || rt == FIELD_FLOAT || lt == FIELD_TIMESTAMP || rt == FIELD_TIMESTAMP)
    return Sign(FloatOf(l), FloatOf(r));
  if (lt == FIELD_BCD || rt == FIELD_BCD) return Sign(CurrencyOf(l), CurrencyOf(r));
  return Sign(IntegerOf(l), IntegerOf(r));
}

std::optional<bool> CompareValues(uint8_t op, const TExpToken& l, const TExpToken& r) {
  if (StringLike(l) || StringLike(r)) return std::nullopt;
  if (op == kOpEqual || op == kOpNotEqual) {
    const bool equal = l.IsNull || r.IsNull ? l.IsNull && r.IsNull : CompareNonNull(l, r) == 0;
    return op == kOpEqual ? equal : !equal;
  }
  if (l.IsNull != r.IsNull) return false;
  const int c = l.IsNull ? 0 : CompareNonNull(l, r);
  switch (op) {
    case kOpGreater: return c > 0;
    case kOpLess: return c < 0;
    case kOpGreaterOrEqual: return c >= 0;
    default: return c <= 0;
  }
}

namespace {

bool TEvaluator::Compare(uint8_t op, const TExpToken& l, const TExpToken& r, int32_t partial,
                         bool caseInsensitive) const {
  if (std::optional<bool> decided = CompareValues(op, l, r)) return *decided;
  // Text: a NULL string reads as empty in ordering comparisons.
  if (op == kOpEqual || op == kOpNotEqual) {
    const bool equal = l.IsNull || r.IsNull ? l.IsNull && r.IsNull
                                            : CompareText(l, r, partial, caseInsensitive) == 0;
    return op == kOpEqual ? equal : !equal;
  }
  const int c = CompareText(l, r, partial, caseInsensitive);
  switch (op) {
    case kOpGreater: return c > 0;
    case kOpLess: return c < 0;
    case kOpGreaterOrEqual: return c >= 0;
    default: return c <= 0;
  }
}

// The result type of an arithmetic node not fixed by checking (both operands numeric).
uint8_t GuessResultType(uint8_t op, uint8_t lt, uint8_t rt) {
  if (lt == FIELD_FLOAT || rt == FIELD_FLOAT) return FIELD_FLOAT;
  if (lt == FIELD_BCD || rt == FIELD_BCD) return FIELD_BCD;
  if (op == kOpDivide) return FIELD_FLOAT;
  if (lt == FIELD_LARGEINT || rt == FIELD_LARGEINT) return FIELD_LARGEINT;
  return FIELD_INTEGER;
}

void TEvaluator::Arithmetic(TExpToken& result, const TExpToken& l, const TExpToken& r) const {
  const uint8_t op = result.Code, lt = l.DataType, rt = r.DataType;
  if (l.IsNull || r.IsNull) return SetNull(result);
  uint8_t type = result.DataType;
  if (type == 0 || type == FIELD_BOOLEAN) type = GuessResultType(op, lt, rt);
  // Dates, times and timestamps.
  if (lt == FIELD_DATE || rt == FIELD_DATE || lt == FIELD_TIME || rt == FIELD_TIME || lt == FIELD_TIMESTAMP ||
      rt == FIELD_TIMESTAMP) {
    if (op == kOpAdd) {
      const TExpToken& moment = IsDateTimeType(lt) ? l : r;
      const int64_t n = IntegerOf(IsDateTimeType(lt) ? r : l);
      if (moment.DataType == FIELD_DATE) return SetInteger(result, FIELD_DATE, WrapAdd(IntegerOf(moment), n));
      if (moment.DataType == FIELD_TIME) return SetInteger(result, FIELD_TIME, WrapAdd(IntegerOf(moment), n));
      return SetFloat(result, FIELD_TIMESTAMP, FloatOf(moment) + double(n) * kMillisecondsPerDay);
    }
    if (lt == FIELD_DATE) {
      if (rt == FIELD_DATE) return SetInteger(result, FIELD_INTEGER, WrapSub(IntegerOf(l), IntegerOf(r)));
      return SetInteger(result, FIELD_DATE, WrapSub(IntegerOf(l), IntegerOf(r)));
    }
    if (lt == FIELD_TIME) {
      if (rt == FIELD_TIME) return SetInteger(result, FIELD_INTEGER, WrapSub(IntegerOf(l), IntegerOf(r)));
      return SetInteger(result, FIELD_TIME, WrapSub(IntegerOf(l), IntegerOf(r)));
    }
    if (lt == FIELD_TIMESTAMP) {
      const double ts = FloatOf(l);
      if (rt == FIELD_TIMESTAMP) return SetFloat(result, FIELD_FLOAT, ts - FloatOf(r));
      if (!std::isfinite(ts) || std::fabs(ts) > 1e15) return SetNull(result);  // no day part to take
      if (rt == FIELD_TIMESTAMP) return SetFloat(result, FIELD_FLOAT, ts - FloatOf(r));
      if (rt == FIELD_DATE) return SetInteger(result, FIELD_INTEGER, int64_t(TimestampDate(ts)) - IntegerOf(r));
      if (rt == FIELD_TIME) return SetInteger(result, FIELD_INTEGER, int64_t(TimestampTime(ts)) - IntegerOf(r));
      return SetFloat(result, FIELD_TIMESTAMP, ts - double(IntegerOf(r)) * kMillisecondsPerDay);
    }
    return SetNull(result);  // not reachable through a checked tree
  }
  if (type == FIELD_FLOAT) {
    const double a = FloatOf(l), b = FloatOf(r);
    switch (op) {
      case kOpAdd: return SetFloat(result, FIELD_FLOAT, a + b);
      case kOpSubtract: return SetFloat(result, FIELD_FLOAT, a - b);
      case kOpMultiply: return SetFloat(result, FIELD_FLOAT, a * b);
      default:
        if (b == 0) return SetNull(result);
        return SetFloat(result, FIELD_FLOAT, a / b);
    }
  }
  if (type == FIELD_BCD) {
    const int128 a = CurrencyOf(l), b = CurrencyOf(r);
    switch (op) {
      case kOpAdd: return SetCurrency(result, a + b);
      case kOpSubtract: return SetCurrency(result, a - b);
      case kOpMultiply: return SetCurrency(result, RoundedDivide(int128(Saturate(a)) * Saturate(b), kCurrencyScale));
      default:
        if (b == 0) return SetNull(result);
        return SetCurrency(result, RoundedDivide(int128(Saturate(a)) * kCurrencyScale, b));
    }
  }
  const int64_t a = IntegerOf(l), b = IntegerOf(r);
  const uint8_t intType = type == FIELD_LARGEINT ? FIELD_LARGEINT : FIELD_INTEGER;
  switch (op) {
    case kOpAdd: return SetInteger(result, intType, WrapAdd(a, b));
    case kOpSubtract: return SetInteger(result, intType, WrapSub(a, b));
    case kOpMultiply: return SetInteger(result, intType, WrapMul(a, b));
    default:
      if (b == 0) return SetNull(result);
      return SetFloat(result, FIELD_FLOAT, double(a) / double(b));
  }
}

// String +, a NULL string counting as empty. The result takes over the left operand's
// buffer and appends to it, so a chain of concatenations costs time in proportion to the
// text it builds.
void Concatenate(TExpToken& result, TExpToken& left, const TExpToken& right) {
  const size_t kept = TextView(left).size();
  const std::string_view added = TextView(right);
  RequireTextSize(kept + added.size());
  result.Value.swap(left.Value);
  result.Capacity = int32_t(result.Value.size());
  left.Capacity = int32_t(left.Value.size());
  result.SetDataSize(int32_t(kept + added.size() + 1));
  if (!added.empty()) std::memcpy(result.Value.data() + kept, added.data(), added.size());
  result.Value[kept + added.size()] = 0;
  result.IsNull = 0;
}

bool TEvaluator::MatchLike(const std::string& text, const std::string& pattern) const {
  size_t s = 0, p = 0, mark = 0;
  size_t star = std::string::npos;
  while (s < text.size()) {
    if (p < pattern.size() && pattern[p] == '%') {
      star = p++;
      mark = s;
    } else if (p < pattern.size() && (pattern[p] == '_' || CharsEqual(uint8_t(pattern[p]), uint8_t(text[s])))) {
      ++p;
      ++s;
    } else if (star != std::string::npos) {
      p = star + 1;
      s = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '%') ++p;
  return p == pattern.size();
}

// The ISO week: week 1 starts on the Monday of the week holding 4 January.
int WeekOf(int32_t day) {
  auto weekOneMonday = [](int year) {
    const int32_t jan4 = EncodeDate(year, 1, 4);
    return jan4 - (DayOfWeek(jan4) - 1);
  };
  int year, month, dayOfMonth;
  DecodeDate(day, year, month, dayOfMonth);
  if (year < 1 || year > 9999) return 0;
  int32_t start = weekOneMonday(year);
  if (day < start) {
    if (year == 1) return 0;
    start = weekOneMonday(year - 1);
  } else if (year < 9999 && day >= weekOneMonday(year + 1)) {
    return 1;
  }
  return (day - start) / 7 + 1;
}

void TEvaluator::Function(TExpToken& result, const TExpToken* node) {
  const uint8_t code = node->Code;
  if (code >= kFuncSum && code <= kFuncAvg) return;  // the SQL layer keeps aggregate values in the node
  if (code == kFuncIf) {
    TTokenTree condition = Eval(node->Left);
    const bool yes = Truth(*condition);
    condition.Reset();
    TTokenTree branch = Eval(yes ? node->Right : node->Third);
    const uint8_t type = result.DataType, subType = result.SubType, scale = result.Scale;
    result.CopyFrom(*branch);
    result.Parent = result.Left = result.Right = result.Third = nullptr;
    result.Kind = kTokenConstant;
    result.Code = code;
    if (result.DataType != type) {  // a NULL branch takes the IF's type
      result.DataType = type;
      result.SubType = subType;
      result.Scale = scale;
      result.SetDataSize(StringLike(result) ? 1 : FixedSize(type));
      SetNull(result);
    }
    return;
  }
  TTokenTree arg = Eval(node->Left);
  if (code == kFuncCount) return SetInteger(result, FIELD_INTEGER, arg->IsNull ? 0 : 1);
  if (arg->IsNull) return SetNull(result);
  switch (code) {
    case kFuncUpper: case kFuncLower: {
      std::string text = TextOf(*arg);
      if (code == kFuncUpper) Collation_.ToUpper(text.data(), text.size());
      else Collation_.ToLower(text.data(), text.size());
      return SetText(result, text, false);
    }
    case kFuncSubstring: {
      const std::string text = TextOf(*arg);
      TTokenTree from = Eval(node->Right);
      TTokenTree count = node->Right && node->Right->Right ? Eval(node->Right->Right) : TTokenTree();
      const int64_t start = IntegerOf(*from);
      const int64_t length = count ? IntegerOf(*count) : int64_t(text.size());
      if (start < 1 || start > int64_t(text.size()) || length <= 0) return SetText(result, "", true);
      return SetText(result, text.substr(size_t(start - 1), size_t(std::min<int64_t>(length, int64_t(text.size())))), true);
    }
    case kFuncReplace: {
      TTokenTree search = Eval(node->Right);
      TTokenTree with = Eval(node->Right ? node->Right->Right : nullptr);
      if (search->IsNull || with->IsNull) return SetNull(result);
      const std::string text = TextOf(*arg), from = TextOf(*search), to = TextOf(*with);
      if (from == to || from.empty()) return SetText(result, text, true);
      size_t hits = 0;
      for (size_t at = 0, hit; (hit = text.find(from, at)) != std::string::npos; at = hit + from.size()) ++hits;
      RequireTextSize(text.size() - hits * from.size() + hits * to.size());
      std::string out;
      out.reserve(text.size() - hits * from.size() + hits * to.size());
      size_t at = 0;
      for (size_t hit; (hit = text.find(from, at)) != std::string::npos; at = hit + from.size())
        out.append(text, at, hit - at).append(to);
      out.append(text, at, std::string::npos);
      return SetText(result, out, true);
    }
    case kFuncPos: case kFuncOccurs: {
      TTokenTree search = Eval(node->Right);
      if (search->IsNull) return SetNull(result);
      const std::string text = TextOf(*arg), what = TextOf(*search);
      if (code == kFuncPos) {
        const size_t hit = text.find(what);
        return SetInteger(result, FIELD_INTEGER, hit == std::string::npos ? 0 : int64_t(hit) + 1);
      }
      int64_t count = 0;
      if (!what.empty())
        for (size_t at = 0, hit; (hit = text.find(what, at)) != std::string::npos; at = hit + what.size()) ++count;
      return SetInteger(result, FIELD_INTEGER, count);
    }
    case kFuncTrimLeading: case kFuncTrimTrailing: case kFuncTrimBoth: {
      TTokenTree trim = Eval(node->Right);
      if (trim->IsNull) return SetNull(result);
      const std::string text = TextOf(*arg), c = TextOf(*trim);
      size_t begin = 0, end = text.size();
      if (!c.empty()) {
        if (code != kFuncTrimTrailing)
          while (begin < end && text[begin] == c[0]) ++begin;
        if (code != kFuncTrimLeading)
          while (end > begin && text[end - 1] == c[0]) --end;
      }
      return SetText(result, text.substr(begin, end - begin), true);
    }
    case kFuncLength:
      return SetInteger(result, FIELD_INTEGER, int64_t(TextOf(*arg).size()));
    case kFuncAbs:
      switch (arg->DataType) {
        case FIELD_FLOAT: return SetFloat(result, FIELD_FLOAT, std::fabs(FloatOf(*arg)));
        case FIELD_BCD: {
          const int128 v = CurrencyOf(*arg);
          return SetCurrency(result, v < 0 ? -v : v);
        }
        default: {
          const int64_t v = IntegerOf(*arg);
          return SetInteger(result, arg->DataType, v < 0 ? WrapSub(0, v) : v);
        }
      }
    case kFuncRound: {
      const double x = FloatOf(*arg);
      int64_t places = 0;
      if (node->Right != nullptr) {
        TTokenTree to = Eval(node->Right);
        places = std::clamp<int64_t>(IntegerOf(*to), 0, 32);
      }
      double rounded = 0;
      if (x != 0) {
        if (places == 0) {
          rounded = std::trunc(x < 0 ? x - 0.5 : x + 0.5);
        } else {
          double p = 1;
          for (int64_t i = 0; i < places; ++i) p *= 0.1;
          rounded = std::trunc(x < 0 ? x / p - 0.5 : x / p + 0.5) * p;
        }
      }
      result.SubType = 0;
      return SetFloat(result, FIELD_FLOAT, rounded);
    }
    case kFuncCast: {
      const uint8_t target = result.DataType;
      const bool memoTarget = target == FIELD_BLOB && (result.SubType == SUBTYPE_MEMO || result.SubType == SUBTYPE_FMTMEMO);
      const std::string text = StringLike(*arg) ? TextOf(*arg) : std::string();
      std::vector<uint8_t> buffer(std::max<size_t>({kConvertBufferSize, arg->Value.size(), text.size() + 1}), 0);
      std::memcpy(buffer.data(), arg->Value.data(), std::min(buffer.size(), arg->Value.size()));
      int32_t targetSize = result.DataSize;
      if (memoTarget || target == FIELD_BLOB) targetSize = int32_t(buffer.size());
      ConvertValue(memoTarget && StringLike(*arg) ? FIELD_STRING : arg->DataType, arg->DataSize, arg->Scale,
                   buffer.data(), result.Scale, targetSize, memoTarget ? FIELD_STRING : target, buffer.size());
      if (target == FIELD_STRING || memoTarget) {
        const char* p = reinterpret_cast<const char*>(buffer.data());
        return SetText(result, std::string(p, strnlen(p, buffer.size())), false);
      }
      const size_t size = target == FIELD_BLOB || target == FIELD_BYTES || target == FIELD_VARBYTES
                              ? size_t(std::max(result.DataSize, 0))
                              : size_t(FixedSize(target));
      result.IsNull = 0;
      result.SetDataSize(int32_t(size));
      std::memcpy(result.Value.data(), buffer.data(), std::min(size, buffer.size()));
      return;
    }
    default:
      break;
  }
  if (code >= kFuncExtractYear && code <= kFuncExtractSecond) {
    int32_t day = 0, ms = 0;
    bool hasDate = true;
    switch (arg->DataType) {
      case FIELD_DATE: day = LoadI32(arg->Value.data()); break;
      case FIELD_TIME: ms = LoadI32(arg->Value.data()); hasDate = false; break;
      default: {
        const double ts = FloatOf(*arg);
        if (!std::isfinite(ts) || std::fabs(ts) > 1e15) return SetNull(result);
        day = TimestampDate(ts);
        ms = TimestampTime(ts);
      }
    }
    int year = 0, month = 0, dayOfMonth = 0, hour, minute, second, milli;
    if (hasDate) DecodeDate(day, year, month, dayOfMonth);
    DecodeTime(ms, hour, minute, second, milli);
    int64_t v = 0;
    switch (code) {
      case kFuncExtractYear: v = year; break;
      case kFuncExtractMonth: v = month; break;
      case kFuncExtractDay: v = dayOfMonth; break;
      case kFuncExtractWeek: v = hasDate ? WeekOf(day) : 0; break;
      case kFuncExtractDayOfWeek: v = hasDate ? DayOfWeek(day) : 0; break;
      case kFuncExtractHour: v = hour; break;
      case kFuncExtractMinute: v = minute; break;
      default: v = second; break;
    }
    return SetInteger(result, FIELD_INTEGER, v);
  }
}

TTokenTree TEvaluator::Eval(const TExpToken* node) {
  if (node == nullptr) {
    TTokenTree empty = TTokenTree::New();
    empty->Kind = kTokenConstant;
    empty->IsNull = 1;
    return empty;
  }
  switch (node->Kind) {
    case kTokenColumn: {
      TTokenTree r = Result(*node);
      if (Fetch_) {
        Fetch_(Owner_, Record_, *r);
      } else if (node->BoundFromString) {
        r->DataType = node->SavedType;
        r->SubType = node->SavedSubType;
        r->DataSize = node->SavedSize;
        r->Scale = node->SavedScale;
      } else {
        RaiseEngineError(VELDOR_SQLPARSE, "", "", "", "", "", "",
                         "Internal error: Column '" + node->ColumnName + "'" + " specified illegally");
      }
      r->Kind = kTokenConstant;
      return r;
    }
    case kTokenSubSelect:
      if (SubSelects_ == nullptr)
        RaiseEngineError(VELDOR_SQLPARSE, "", "", "", "", "", "",
                         "Internal error: sub-select query evaluated without a query engine");
      return SubSelects_->Evaluate(Owner_, Record_, *node);
    case kTokenUnary: {
      TTokenTree operand = Eval(node->Left);
      TTokenTree r = Result(*node);
      if (node->Code == kOpNot) {
        SetBoolean(*r, !Truth(*operand));
        return r;
      }
      const uint8_t type = operand->DataType;
      r->CopyFrom(*operand);
      r->Kind = kTokenConstant;
      r->Code = node->Code;
      r->Text = node->Text;
      r->Parent = r->Left = r->Right = r->Third = nullptr;
      if (node->Code == kOpPlusSign || r->IsNull) return r;
      if (type == FIELD_FLOAT || type == FIELD_TIMESTAMP) SetFloat(*r, type, -FloatOf(*operand));
      else if (type == FIELD_BCD) SetCurrency(*r, -CurrencyOf(*operand));
      else SetInteger(*r, type, WrapSub(0, IntegerOf(*operand)));
      return r;
    }
    case kTokenBinary:
    case kTokenStringCompare:
      if (node->Code == kOpAnd || node->Code == kOpOr) return Logical(node);
      return Operators(node);
    case kTokenFunction: {
      TTokenTree r = Result(*node);
      Function(*r, node);
      return r;
    }
    case kTokenPredicate: {
      TTokenTree r = Result(*node);
      TTokenTree tested = Eval(node->Left);
      switch (node->Code) {
        case kPredLike: case kPredNotLike: {
          TTokenTree pattern = Eval(node->Right);
          const bool match = !tested->IsNull && !pattern->IsNull && MatchLike(TextOf(*tested), TextOf(*pattern));
          SetBoolean(*r, node->Code == kPredLike ? match : !match);
          break;
        }
        case kPredBetween: case kPredNotBetween: {
          bool inside = false;
          if (node->Right != nullptr && node->Right->Right != nullptr) {
            TTokenTree low = Eval(node->Right);
            inside = Compare(kOpGreaterOrEqual, *tested, *low, 0, false);
            if (inside) {
              TTokenTree high = Eval(node->Right->Right);
              inside = Compare(kOpLessOrEqual, *tested, *high, 0, false);
            }
          }
          SetBoolean(*r, node->Code == kPredBetween ? inside : !inside);
          break;
        }
        case kPredInList: case kPredNotInList: {
          bool found = false;
          for (const TExpToken* item = node->Right; item != nullptr && !found; item = item->Right)
            found = Compare(kOpEqual, *tested, *Eval(item), 0, false);
          SetBoolean(*r, node->Code == kPredInList ? found : !found);
          break;
        }
        default: {  // IN (sub-select)
          if (SubSelects_ == nullptr)
            RaiseEngineError(VELDOR_SQLPARSE, "", "", "", "", "", "",
                             "Internal error: sub-select query evaluated without a query engine");
          TTokenTree equal = TTokenTree::New();
          equal->Kind = kTokenBinary;
          equal->Code = kOpEqual;
          equal->Text = "=";
          equal->DataType = FIELD_BOOLEAN;
          equal->DataSize = 2;
          equal->Left = tested.Release();
          equal->Right = CopyTokenTree(node->Right).Release();
          const bool found = SubSelects_->Search(Owner_, Record_, *equal);
          SetBoolean(*r, node->Code == kPredInSelect ? found : !found);
          break;
        }
      }
      return r;
    }
    default:
      return Result(*node);  // constants and parameters are their own value
  }
}

bool IsConnective(const TExpToken* n, uint8_t op) { return n != nullptr && n->Kind == kTokenBinary && n->Code == op; }

bool IsOperatorNode(const TExpToken* n) {
  return n != nullptr && (n->Kind == kTokenBinary || n->Kind == kTokenStringCompare) && n->Code != kOpAnd &&
         n->Code != kOpOr;
}

// AND: the right operand first; when it is false the result is false and the left one is
// not evaluated. OR likewise with true. Over a nest of the same connective that is one
// walk of its operands, each node's right side before its left side, stopping at the
// first operand that decides.
TTokenTree TEvaluator::Logical(const TExpToken* node) {
  const uint8_t op = node->Code;
  const bool unanimous = op == kOpAnd;  // the result when no operand decides
  bool result = unanimous;
  std::vector<const TExpToken*> pending{node};
  while (!pending.empty()) {
    const TExpToken* n = pending.back();
    pending.pop_back();
    if (IsConnective(n, op)) {
      pending.push_back(n->Left);
      pending.push_back(n->Right);
      continue;
    }
    if (Truth(*Eval(n)) != unanimous) {
      result = !unanimous;
      break;
    }
  }
  TTokenTree r = Result(*node);
  SetBoolean(*r, result);
  return r;
}

// A binary operator takes its left operand, then its right one. Down a chain of them
// along Left the innermost left operand comes first, then each node's right operand from
// the bottom of the chain up.
TTokenTree TEvaluator::Operators(const TExpToken* node) {
  if (!IsOperatorNode(node->Left)) return Operator(node, Eval(node->Left));
  std::vector<const TExpToken*> chain{node};
  while (IsOperatorNode(chain.back()->Left)) chain.push_back(chain.back()->Left);
  TTokenTree value = Eval(chain.back()->Left);
  for (auto at = chain.rbegin(); at != chain.rend(); ++at) value = Operator(*at, std::move(value));
  return value;
}

TTokenTree TEvaluator::Operator(const TExpToken* n, TTokenTree left) {
  TTokenTree right = Eval(n->Right);
  TTokenTree r = Result(*n);
  const uint8_t op = n->Code;
  if (op >= kOpEqual && op <= kOpLessOrEqual) {
    const bool stringNode = n->Kind == kTokenStringCompare;
    SetBoolean(*r, Compare(op, *left, *right, stringNode ? n->PartialLength : 0, stringNode && n->CaseInsensitive));
  } else if (op == kOpAdd && (StringLike(*left) || StringLike(*right))) {
    Concatenate(*r, *left, *right);
  } else {
    Arithmetic(*r, *left, *right);
  }
  return r;
}

// ---- ConvertValue ------------------------------------------------------------------------

bool IsBytesType(uint8_t t) { return t == FIELD_BYTES || t == FIELD_VARBYTES; }

// A source value read out of the buffer before the target is written over it.
struct TSource {
  uint8_t Type = 0;
  int64_t Integer = 0;
  double Float = 0;
  int64_t Currency = 0;
  std::string Text;
  std::vector<uint8_t> Bytes;
};

bool IntegerFits(uint8_t type, int64_t v) {
  switch (type) {
    case FIELD_SMALLINT: return v >= -32768 && v <= 32767;
    case FIELD_WORD: return v >= 0 && v <= 65535;
    case FIELD_INTEGER: return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
    default: return true;
  }
}

// Truncation toward zero, refusing NaN, infinities and values outside int64.
bool FloatToInteger(double v, int64_t& out) {
  if (!std::isfinite(v) || v >= 9223372036854775808.0 || v < -9223372036854775808.0) return false;
  out = int64_t(std::trunc(v));
  return true;
}

void StoreInteger(uint8_t* p, uint8_t type, int64_t v) {
  switch (type) {
    case FIELD_SMALLINT: StoreI16(p, int16_t(v)); break;
    case FIELD_WORD: case FIELD_BOOLEAN: StoreU16(p, uint16_t(v)); break;
    case FIELD_LARGEINT: StoreI64(p, v); break;
    default: StoreI32(p, int32_t(v)); break;
  }
}

}  // namespace

bool ConvertValue(uint8_t sourceType, int32_t sourceSize, uint8_t sourceScale, uint8_t* buffer, uint8_t targetScale,
                  int32_t targetSize, uint8_t targetType, size_t capacity) {
  (void)sourceScale;  // BCD values carry their scale in their own bytes
  capacity = std::max<size_t>(capacity, 1);
  const size_t sourceBytes = std::min(size_t(std::max(sourceSize, 0)), capacity);
  const size_t targetBytes = std::min(size_t(std::max(targetSize, 0)), capacity);
  auto text = [&] {
    const char* p = reinterpret_cast<const char*>(buffer);
    return std::string(p, strnlen(p, capacity));
  };
  auto putText = [&](const std::string& s) {
    const size_t limit = std::min(targetBytes > 0 ? targetBytes - 1 : 0, capacity - 1);
    const size_t n = std::min(s.size(), limit);
    std::memset(buffer, 0, capacity);
    std::memcpy(buffer, s.data(), n);
    return true;
  };
  auto putBytes = [&](const std::vector<uint8_t>& bytes) {
    std::memset(buffer, 0, capacity);
    std::memcpy(buffer, bytes.data(), std::min(bytes.size(), targetBytes));
    return true;
  };
  auto fail = [&] {
    std::memset(buffer, 0, std::min(capacity, std::max<size_t>(targetBytes, kBCDSize)));
    return false;
  };
  const bool sourceText = sourceType == FIELD_STRING || sourceType == FIELD_BLOB;

  if (sourceType == targetType) {
    if (sourceType == FIELD_STRING) return putText(text());
    if (IsBytesType(sourceType)) {
      std::memset(buffer + targetBytes, 0, capacity - targetBytes);
      return true;
    }
    return true;
  }
  if (IsBytesType(targetType) || (targetType == FIELD_BLOB && !sourceText)) {
    return putBytes(std::vector<uint8_t>(buffer, buffer + (sourceType == FIELD_STRING ? text().size() : sourceBytes)));
  }

  // Read the source.
  TSource s;
  s.Type = sourceType;
  const uint8_t* p = buffer;
  switch (sourceType) {
    case FIELD_STRING: case FIELD_BLOB: s.Text = text(); break;
    case FIELD_BOOLEAN: s.Integer = LoadU16(p) != 0 ? 1 : 0; break;
    case FIELD_SMALLINT: s.Integer = LoadI16(p); break;
    case FIELD_WORD: s.Integer = LoadU16(p); break;
    case FIELD_INTEGER: case FIELD_DATE: case FIELD_TIME: s.Integer = LoadI32(p); break;
    case FIELD_LARGEINT: s.Integer = LoadI64(p); break;
    case FIELD_FLOAT: case FIELD_TIMESTAMP: s.Float = LoadDouble(p); break;
    case FIELD_BCD:
      if (!BCDToCurrency(p, s.Currency)) return fail();
      break;
    case FIELD_BYTES: case FIELD_VARBYTES: s.Bytes.assign(buffer, buffer + sourceBytes); break;
    default: return fail();
  }

  // To text.
  if (targetType == FIELD_STRING || targetType == FIELD_BLOB) {
    switch (sourceType) {
      case FIELD_STRING: case FIELD_BLOB: return putText(s.Text);
      case FIELD_DATE: return putText(DateToText(int32_t(s.Integer)));
      case FIELD_TIME: return putText(TimeToText(int32_t(s.Integer)));
      case FIELD_TIMESTAMP:
        return std::isfinite(s.Float) && std::fabs(s.Float) <= 1e15 ? putText(TimestampToText(s.Float)) : fail();
      case FIELD_BOOLEAN: return putText(BooleanToText(s.Integer != 0));
      case FIELD_FLOAT: return putText(FloatToText(s.Float));
      case FIELD_BCD: return putText(CurrencyToText(s.Currency));
      case FIELD_BYTES: case FIELD_VARBYTES:
        return putText(std::string(s.Bytes.begin(), s.Bytes.end()).c_str());
      default: return putText(std::to_string(s.Integer));
    }
  }

  std::memset(buffer, 0, std::min(capacity, std::max<size_t>(sourceBytes, kBCDSize)));
  uint8_t* out = buffer;
  // From bytes: the bytes are taken as the target's own encoding.
  if (IsBytesType(sourceType)) {
    s.Bytes.resize(std::max<size_t>(s.Bytes.size(), kBCDSize), 0);
    std::memcpy(out, s.Bytes.data(), std::min<size_t>(size_t(FixedSize(targetType)), capacity));
    return true;
  }
  if (sourceType == FIELD_STRING || sourceType == FIELD_BLOB) {
    switch (targetType) {
      case FIELD_DATE: {
        int32_t d = 0;
        if (!TryTextToDate(s.Text, d)) return fail();
        StoreI32(out, d);
        return true;
      }
      case FIELD_TIME: {
        int32_t t = 0;
        if (!TryTextToTime(s.Text, t)) return fail();
        StoreI32(out, t);
        return true;
      }
      case FIELD_TIMESTAMP: {
        double ts = 0;
        if (!TryTextToTimestamp(s.Text, ts)) return fail();
        StoreDouble(out, ts);
        return true;
      }
      case FIELD_BOOLEAN: {
        bool b = false;
        if (!TryTextToBoolean(s.Text, b)) return fail();
        StoreU16(out, b ? 1 : 0);
        return true;
      }
      case FIELD_FLOAT: {
        double v = 0;
        if (!TryTextToFloat(s.Text, v)) return fail();
        StoreDouble(out, v);
        return true;
      }
      case FIELD_BCD: {
        int64_t amount = 0;
        if (!TryTextToCurrency(s.Text, amount) || !CurrencyToBCD(amount, targetScale, out)) return fail();
        return true;
      }
      default: {
        if (!IsIntegerType(targetType)) return fail();
        int64_t v = 0;
        const int64_t lo = targetType == FIELD_SMALLINT ? -32768
                           : targetType == FIELD_WORD   ? 0
                           : targetType == FIELD_INTEGER ? std::numeric_limits<int32_t>::min()
                                                         : std::numeric_limits<int64_t>::min();
        const int64_t hi = targetType == FIELD_SMALLINT ? 32767
                           : targetType == FIELD_WORD   ? 65535
                           : targetType == FIELD_INTEGER ? std::numeric_limits<int32_t>::max()
                                                         : std::numeric_limits<int64_t>::max();
        if (!TryTextToInteger(TrimBlanks(s.Text), lo, hi, v)) return fail();
        StoreInteger(out, targetType, v);
        return true;
      }
    }
  }
  // Dates, times and timestamps among themselves.
  if (sourceType == FIELD_DATE && targetType == FIELD_TIMESTAMP) {
    StoreDouble(out, MakeTimestamp(int32_t(s.Integer), 0));
    return true;
  }
  if (sourceType == FIELD_TIMESTAMP && (targetType == FIELD_DATE || targetType == FIELD_TIME)) {
    if (!std::isfinite(s.Float) || std::fabs(s.Float) > 1e15) return fail();
    StoreI32(out, targetType == FIELD_DATE ? TimestampDate(s.Float) : TimestampTime(s.Float));
    return true;
  }
  if (sourceType == FIELD_TIME && targetType == FIELD_TIMESTAMP) {
    StoreDouble(out, double(s.Integer));
    return true;
  }
  if (IsDateTimeType(sourceType) || IsDateTimeType(targetType)) return fail();

  // Between numbers and booleans.
  const bool sourceInteger = IsIntegerType(sourceType) || sourceType == FIELD_BOOLEAN;
  if (targetType == FIELD_BOOLEAN) {
    const bool nonZero = sourceInteger ? s.Integer != 0 : sourceType == FIELD_BCD ? s.Currency != 0 : s.Float != 0;
    StoreU16(out, nonZero ? 1 : 0);
    return true;
  }
  if (IsIntegerType(targetType)) {
    int64_t v = 0;
    if (sourceInteger) v = s.Integer;
    else if (sourceType == FIELD_BCD) v = s.Currency / kCurrencyScale;  // truncates toward zero
    else if (!FloatToInteger(s.Float, v)) return fail();
    if (!IntegerFits(targetType, v)) return fail();
    StoreInteger(out, targetType, v);
    return true;
  }
  if (targetType == FIELD_FLOAT) {
    StoreDouble(out, sourceInteger ? double(s.Integer)
                                   : sourceType == FIELD_BCD ? double(s.Currency) / double(kCurrencyScale) : s.Float);
    return true;
  }
  if (targetType == FIELD_BCD) {
    int128 amount;
    if (sourceInteger) amount = int128(s.Integer) * kCurrencyScale;
    else if (sourceType == FIELD_BCD) amount = s.Currency;
    else {
      const double scaled = s.Float * double(kCurrencyScale);
      if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.2e18) return fail();
      amount = std::llround(scaled);
    }
    if (amount > int128(std::numeric_limits<int64_t>::max()) || amount < int128(std::numeric_limits<int64_t>::min()) ||
        !CurrencyToBCD(int64_t(amount), targetScale, out))
      return fail();
    return true;
  }
  return fail();
}

TTokenTree EvaluateExpression(const TExpToken* node, void* record, void* owner, uint16_t sort, uint16_t language,
                              const TFetchColumn& fetch, TSubSelectSource* subSelects) {
  TEvaluator evaluator(record, owner, language, sort, fetch, subSelects);
  return evaluator.Eval(node);
}

}  // namespace veldor
