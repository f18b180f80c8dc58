// The cursor's filters: adding, ordering and activating them, deciding which parts of a
// condition the indexes answer, and computing each filter's bitmap.
//
// A comparison of an indexed column with a constant becomes an interval of ordinals in
// that index (found by descents over the subtree counts) whose records are marked from
// the leaves without reading a record; AND, OR, NOT, IN and BETWEEN combine such bitmaps.
// Whatever no index serves is evaluated on records, and under AND only on the records the
// better-served side left. A read that finds the table changed by others throws the
// cursor's restart, after which the whole visible set is computed again.
//
// A nest of AND (or of OR) nodes is as long as the text makes it and, once the optimizer
// has put the better operand of each AND first, leans either way: levels are computed and
// bitmaps combined over such a nest in loops, with one work bitmap for the whole nest.
// Only NOT and a change of connective, which need parentheses in the text, recurse.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>

#include "engine/blob_file.h"
#include "engine/cursor_internal.h"
#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "engine/filter.h"
#include "lib/byte_order.h"
#include "lib/collation.h"
#include "lib/expression_eval.h"
#include "lib/expression_parser.h"
#include "lib/name_text.h"

namespace veldor {
namespace {

bool IsConnective(const TExpToken* n) {
  return n != nullptr && n->Kind == kTokenBinary && (n->Code == kOpAnd || n->Code == kOpOr);
}

bool IsListOrRange(const TExpToken* n) {
  return n != nullptr && n->Kind == kTokenPredicate &&
         (n->Code == kPredInList || n->Code == kPredNotInList || n->Code == kPredBetween ||
          n->Code == kPredNotBetween);
}

// Constants on the right and columns on the left, at the root and through NOT only.
void Normalize(TExpToken* node) {
  while (node != nullptr && node->Kind == kTokenUnary && node->Code == kOpNot) node = node->Left;
  if (!IsComparisonNode(node) || node->Left == nullptr || node->Right == nullptr) return;
  if (ReferencesColumn(node->Left) || !ReferencesColumn(node->Right)) return;
  std::swap(node->Left, node->Right);
  node->Code = MirroredComparison(node->Code);
}

// The column a comparison, list or BETWEEN tests, and whether it is tested upper-cased.
const TExpToken* TestedColumn(const TExpToken* operand, bool& upper) {
  upper = false;
  if (operand == nullptr) return nullptr;
  if (operand->Kind == kTokenColumn) return operand;
  if (operand->Kind == kTokenFunction && operand->Code == kFuncUpper && operand->Left != nullptr &&
      operand->Left->Kind == kTokenColumn) {
    upper = true;
    return operand->Left;
  }
  return nullptr;
}

// An ordinal interval of an index; empty when Last < First.
struct TInterval {
  int64_t First = 1;
  int64_t Last = 0;
  bool Empty() const { return Last < First; }
  int64_t Size() const { return Empty() ? 0 : Last - First + 1; }
};

TInterval Intersect(TInterval a, TInterval b) {
  return {std::max(a.First, b.First), std::min(a.Last, b.Last)};
}

// Sorted, disjoint intervals from any list.
std::vector<TInterval> Union(std::vector<TInterval> parts) {
  parts.erase(std::remove_if(parts.begin(), parts.end(), [](const TInterval& i) { return i.Empty(); }),
              parts.end());
  std::sort(parts.begin(), parts.end(), [](const TInterval& a, const TInterval& b) { return a.First < b.First; });
  std::vector<TInterval> out;
  for (const TInterval& i : parts) {
    if (!out.empty() && i.First <= out.back().Last + 1)
      out.back().Last = std::max(out.back().Last, i.Last);
    else
      out.push_back(i);
  }
  return out;
}

std::vector<TInterval> Complement(const std::vector<TInterval>& parts, int64_t total) {
  std::vector<TInterval> out;
  int64_t next = 1;
  for (const TInterval& i : parts) {
    if (i.First > next) out.push_back({next, i.First - 1});
    next = i.Last + 1;
  }
  if (next <= total) out.push_back({next, total});
  return out;
}

}  // namespace

// What one comparison, list or BETWEEN selects in one index: intervals of ordinals, and
// whether the selection is their complement.
struct TDataCursor::TKeySelection {
  std::vector<TInterval> Parts;
  bool Invert = false;
  bool Usable = true;  // false: the index cannot answer this node exactly
  int64_t Count(int64_t total) const {
    int64_t n = 0;
    for (const TInterval& i : Parts) n += i.Size();
    return Invert ? total - n : n;
  }
};

// ---- Adding and removing --------------------------------------------------------------------------

size_t TDataCursor::FilterIndex(const TFilter* filter) const {
  for (size_t i = 0; i < Filters_.size(); ++i)
    if (Filters_[i].get() == filter) return i;
  return Filters_.size();
}

bool TDataCursor::AnyActiveFilter() const {
  return std::any_of(Filters_.begin(), Filters_.end(), [](const auto& f) { return f->Active; });
}

void TDataCursor::BindColumn(TExpToken& node) const {
  for (size_t i = 0; i < Fields_.size(); ++i) {
    const TFieldDescriptor& f = Fields_[i];
    if (!SameName(f.FieldName(), node.ColumnName)) continue;
    node.FieldNumber = uint16_t(i + 1);
    node.DataType = f.FieldType();
    node.SubType = f.SubType();
    node.DataSize = f.IsAutoInc() ? 4 : f.SlotSize();
    node.Scale = f.DeclaredScale();
    node.Text = f.FieldName();
  }
}

void TDataCursor::FetchColumn(const uint8_t* record, TExpToken& node) {
  if (node.FieldNumber < 1 || node.FieldNumber > Fields_.size()) {
    node.IsNull = 1;
    return;
  }
  const TFieldDescriptor& f = Fields_[node.FieldNumber - 1];
  std::vector<uint8_t> value(std::max<size_t>(f.SlotSize(), 8) + 1, 0);
  bool null = GetFieldValue(record, f, value.data());
  node.IsNull = null ? 1 : 0;
  if (f.FieldType() == FIELD_BLOB) {
    TBlobBuffer blob;
    if (!null && Table_->HasBlobFile()) {
      blob = StoredBlob(record, f);
      if (blob.FirstBlock > 0) blob.Load(Table_->BlobFile(), Hooks());
    }
    // Text (a memo) counts its NUL as strings do; other BLOBs are their bytes (the NUL
    // after them is only a guard).
    const bool text = IsStringLike(f.FieldType(), f.SubType());
    node.SetDataSize(int32_t(blob.Data.size()) + 1);
    if (!text) node.DataSize = int32_t(blob.Data.size());
    if (!blob.Data.empty()) std::memcpy(node.Value.data(), blob.Data.data(), blob.Data.size());
    node.Value[blob.Data.size()] = 0;
    node.IsNull = blob.Data.empty() ? 1 : 0;
    return;
  }
  if (f.FieldType() == FIELD_STRING) {
    node.SetStringValue(reinterpret_cast<const char*>(value.data()));
    node.IsNull = null ? 1 : 0;
    return;
  }
  int32_t size = f.IsAutoInc() ? 4 : f.SlotSize();
  node.SetDataSize(size);
  std::memcpy(node.Value.data(), value.data(), size_t(size));
}

TFilter* TDataCursor::AddFilter(void* callbackData, const char* expression, bool noPartialCompare,
                                bool caseInsensitive, bool estimate, bool afterExpressions,
                                TFilter::TCallback callback, bool ownsExpression,
                                TExpToken* prepared) {
  TKeepBegin keep(KeepBegin_);
  RequireOpen();
  if (Filters_.size() >= kMaxFilters) RaiseTableError(VELDOR_INTERNALLIMIT, TableName_);
  auto invalid = [&](const char* detail) {
    RaiseEngineError(VELDOR_INVALIDFILTER, "", "", "", TableName_, "", "", detail);
  };
  TTokenTree tree;
  bool owns = ownsExpression;
  if (expression != nullptr) {
    TExpressionParser parser(this);
    parser.ErrorCode = VELDOR_INVALIDFILTER;
    parser.TableName = TableName_;
    parser.ContextName = "filter expression";
    parser.SetExpression(expression);
    parser.NextToken();
    if (parser.TokenKind() == kScanEnd) invalid("filter expression is empty");
    TTokenTree parsed = parser.ParseExpression(kAllowExtendedPredicates);
    if (!parsed) invalid("filter expression is empty");
    if (parser.TokenKind() != kScanEnd)
      parser.Fail("Unknown or unexpected symbol '" + parser.TokenText() + "' found in filter expression");
    TBindColumn bind = [](void* owner, TExpToken& node) {
      static_cast<TDataCursor*>(owner)->BindColumn(node);
      return node.FieldNumber != 0;
    };
    CheckExpression(VELDOR_INVALIDFILTER, Database_ ? Database_->Name() : "", TableName_, true, bind, this,
                    nullptr, parsed.Get(), "filter expression");
    if (parsed->DataType != FIELD_BOOLEAN) invalid("filter expression must be a boolean expression");
    Normalize(parsed.Get());
    TFetchColumn fetch = [](void* owner, void* record, TExpToken& node) {
      static_cast<TDataCursor*>(owner)->FetchColumn(static_cast<const uint8_t*>(record), node);
    };
    tree = PrepareExpression(parsed.Get(), this, noPartialCompare, caseInsensitive,
                             uint16_t(Table_->Language()), Table_->SortId(), fetch);
    owns = true;
  } else if (prepared == nullptr && !callback) {
    invalid("filter expression is invalid");
  }
  auto filter = std::make_unique<TFilter>(this);
  filter->CallbackData = callbackData;
  filter->Estimate = estimate;
  filter->AfterExpressions = afterExpressions;
  if (tree) {
    filter->SetExpression(tree.Release(), true);
  } else if (prepared != nullptr) {
    filter->SetExpression(prepared, owns);
  } else {
    filter->IsCallback = true;
    filter->Callback = std::move(callback);
  }
  if (filter->Expression != nullptr)
    filter->OptimizeLevel = Bracketed([&] { return Optimize(filter->Expression, estimate, true); });
  TFilter* made = filter.get();
  auto at = Filters_.end();
  if (!afterExpressions)
    at = std::find_if(Filters_.begin(), Filters_.end(), [](const auto& f) { return f->AfterExpressions; });
  Filters_.insert(at, std::move(filter));
  return made;
}

void TDataCursor::RequireFilter(const TFilter* filter) const {
  if (filter != nullptr && FilterIndex(filter) == Filters_.size())
    RaiseTableError(VELDOR_NOSUCHFILTER, TableName_);
}

void TDataCursor::ActivateFilter(TFilter* filter) {
  TKeepBegin keep(KeepBegin_);
  RequireOpen();
  RequireFilter(filter);
  Bracketed([&] {
    const bool wasBitmap = BitmapMode_;
    for (auto& f : Filters_)
      if (filter == nullptr || f.get() == filter) f->Active = true;
    UpdateBitmapMode();
    if (!wasBitmap && DeferVisible()) return;
    if (!wasBitmap || filter == nullptr) {
      RebuildVisible();
    } else {
      ComputeRangeBitmap();
      ComputeLive();
      BuildFilterBitmap(*filter);
      Combine();
    }
    Reseek();
  });
}

// One filter its index answers alone: the count is the size of the index's selection, and
// the bitmaps and the new position wait until something other than the count is asked
// (SettleVisible). Opening a table to count what a filter selects then marks no bitmap of
// the whole table.
bool TDataCursor::DeferVisible() {
  if (RangeActive_ || NaturalOrder_) return false;
  const TFilter* only = nullptr;
  for (const auto& f : Filters_) {
    if (!f->Active) continue;
    if (only != nullptr) return false;
    only = f.get();
  }
  if (only == nullptr || only->IsCallback || only->Expression == nullptr || !SelectsDirectly(only->Expression))
    return false;
  const int64_t physical = Table_->DataFile().RecordCount();
  const int64_t total = Table_->IndexFile().ActiveRecords();
  if (physical <= 0 || total != physical) return false;  // deleted slots: the bitmaps decide
  const TKeySelection selection = SelectKeys(only->Expression, IndexForColumn(only->Expression));
  if (!selection.Usable) return false;
  VisibleCount_ = selection.Count(total);
  VisiblePending_ = true;
  ForgetWalkWindow();
  return true;
}

void TDataCursor::SettleAll() {
  if (VisiblePending_) SettleVisible();
  if (BeginPending_ && KeepBegin_ == 0) SetToBegin();
}

void TDataCursor::SettleVisible() {
  if (!VisiblePending_) return;
  VisiblePending_ = false;
  Bracketed([&] {
    RebuildVisible();
    Reseek();
  });
}

void TDataCursor::DeactivateFilter(TFilter* filter) {
  RequireOpen();
  RequireFilter(filter);
  Bracketed([&] {
    for (auto& f : Filters_)
      if (filter == nullptr || f.get() == filter) f->Active = false;
    UpdateBitmapMode();
    RefreshFilterBitmaps();
    Reseek();
  });
}

void TDataCursor::DropFilter(TFilter* filter) {
  RequireOpen();
  RequireFilter(filter);
  if (filter == nullptr)
    Filters_.clear();
  else
    Filters_.erase(Filters_.begin() + std::ptrdiff_t(FilterIndex(filter)));
  Bracketed([&] {
    UpdateBitmapMode();
    RefreshFilterBitmaps();
    Reseek();
  });
}

// After the set of active filters changed: filters judged after the others were built on
// the bitmaps of those before them, so they are built again; otherwise combining is enough.
void TDataCursor::RefreshFilterBitmaps() {
  if (!BitmapMode_) return;
  const bool dependent = std::any_of(Filters_.begin(), Filters_.end(), [](const auto& f) {
    return f->Active && f->AfterExpressions && f->OptimizeLevel != kOptimizeFull;
  });
  if (dependent)
    RebuildVisible();
  else
    Combine();
}

void TDataCursor::SetFilterExpression(TExpToken* tree, TFilter* filter) {
  RequireOpen();
  if (filter == nullptr || FilterIndex(filter) == Filters_.size() || !filter->Active)
    RaiseTableError(VELDOR_NOSUCHFILTER, TableName_);
  Bracketed([&] {
    filter->SetExpression(tree, filter->OwnsExpression);
    filter->IsCallback = false;
    filter->OptimizeLevel = tree ? Optimize(tree, false, true) : kOptimizeNone;
    ComputeRangeBitmap();
    ComputeLive();
    BuildFilterBitmap(*filter);
    RefreshFilterBitmaps();
    Reseek();
  });
}

// ---- Optimize levels --------------------------------------------------------------------------------

int TDataCursor::IndexForColumn(const TExpToken* node) const {
  const TExpToken* operand = node->Left;
  bool upper = false;
  const TExpToken* column = TestedColumn(operand, upper);
  if (column == nullptr || column->FieldNumber < 1 || column->FieldNumber > Fields_.size()) return -1;
  const TFieldDescriptor& field = Fields_[column->FieldNumber - 1];
  if (!field.IsStored() && !field.IsAutoInc()) return -1;
  const bool isString = field.FieldType() == FIELD_STRING;
  if (upper && !isString) return -1;
  const bool wantNoCase = upper || (node->Kind == kTokenStringCompare && node->CaseInsensitive);
  const TIndexFile& file = Table_->IndexFile();
  for (int i = 0; i <= file.SecondaryCount(); ++i) {
    if (i == 0 && !Table_->HasUserPrimaryKey()) continue;
    const TIndexDescriptor d = file.Descriptor(i);
    if (d.FieldCount() < 1 || d.FieldNumber(0) != field.FieldNumber()) continue;
    if (isString && d.CaseInsensitive() != wantNoCase) continue;
    return i;
  }
  return -1;
}

uint8_t TDataCursor::Optimize(TExpToken* node, bool estimate, bool root) {
  if (node == nullptr) return kOptimizeNone;
  if (SqlResult_ && !SqlSource_) {
    node->OptimizeLevel = kOptimizeNone;
    return kOptimizeNone;
  }
  if (!IsConnective(node)) return OptimizeTerm(node, estimate, root);
  // Every AND and OR below `node` that is reached through AND and OR nodes alone gets its
  // level after its operands have theirs.
  struct TStep {
    TExpToken* Node;
    bool OperandsDone;
  };
  std::vector<TStep> pending{{node, false}};
  while (!pending.empty()) {
    TExpToken* n = pending.back().Node;
    if (!IsConnective(n)) {
      OptimizeTerm(n, estimate, false);
      pending.pop_back();
      continue;
    }
    if (!pending.back().OperandsDone) {
      pending.back().OperandsDone = true;
      if (n->Right != nullptr) pending.push_back({n->Right, false});
      if (n->Left != nullptr) pending.push_back({n->Left, false});
      continue;
    }
    pending.pop_back();
    const uint8_t left = n->Left ? n->Left->OptimizeLevel : kOptimizeNone;
    const uint8_t right = n->Right ? n->Right->OptimizeLevel : kOptimizeNone;
    uint8_t level = kOptimizeNone;
    if (n->Code == kOpAnd) {
      if (left == kOptimizeFull && right == kOptimizeFull) {
        level = kOptimizeFull;
      } else if (left != kOptimizeNone || right != kOptimizeNone) {
        level = kOptimizePartial;
        if (right > left) std::swap(n->Left, n->Right);
      }
    } else {
      level = left == kOptimizeFull && right == kOptimizeFull ? kOptimizeFull : kOptimizeNone;
    }
    n->OptimizeLevel = level;
  }
  return node->OptimizeLevel;
}

// The level of a node that is neither AND nor OR.
uint8_t TDataCursor::OptimizeTerm(TExpToken* node, bool estimate, bool root) {
  uint8_t level = kOptimizeNone;
  if (IsComparisonNode(node) || IsListOrRange(node)) {
    int index = IndexForColumn(node);
    if (index >= 0) {
      TKeySelection selection = SelectKeys(node, index);
      level = selection.Usable ? kOptimizeFull : kOptimizeNone;
      if (level == kOptimizeFull && estimate && !root) {
        const int64_t records = Table_->IndexFile().ActiveRecords();
        if (selection.Count(records) > std::llround(0.9 * double(records))) level = kOptimizeNone;
      }
    }
  } else if (node->Kind == kTokenUnary && node->Code == kOpNot) {
    level = Optimize(node->Left, estimate, false);
  }
  node->OptimizeLevel = level;
  return level;
}

// ---- Key selections ----------------------------------------------------------------------------------

namespace {

// `key` with the bytes after its first `length` filled to the highest or lowest value, so
// that a descent lands after or before every key that shares those bytes.
std::vector<uint8_t> BoundProbe(const TKeyLayout& layout, const uint8_t* key, int length, bool high) {
  std::vector<uint8_t> probe(key, key + layout.KeyLength());
  if (high)
    layout.FillHigh(probe.data(), length);
  else
    layout.FillLow(probe.data(), length);
  return probe;
}

}  // namespace

// The first ordinal whose key is at or above (strictly above) `key` over `length` bytes in
// the index's order, 0 when there is none.
int64_t TDataCursor::FirstOrdinal(int index, const uint8_t* key, int length, bool strict) {
  const TKeyLayout& layout = LayoutOf(index);
  std::vector<uint8_t> probe = BoundProbe(layout, key, length, strict != layout.Descending());
  TSpot spot;
  int32_t record = 0;
  std::vector<uint8_t> found;
  if (!BoundSpot(probe.data(), true, spot, record, found, index)) return 0;
  // Every key at most once: more steps than keys mean a damaged leaf chain.
  for (int64_t left = int64_t(Table_->DataFile().RecordCount()) + 2;; ) {
    int c = layout.Compare(found.data(), key, length);
    if (strict ? c > 0 : c >= 0) return spot.Logical;
    if (--left < 0) RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
    if (!StepSpot(spot, true, record, found)) return 0;
  }
}

// The last ordinal whose key is at or below (strictly below) `key`, 0 when there is none.
int64_t TDataCursor::LastOrdinal(int index, const uint8_t* key, int length, bool strict) {
  const TKeyLayout& layout = LayoutOf(index);
  std::vector<uint8_t> probe = BoundProbe(layout, key, length, !strict != layout.Descending());
  TSpot spot;
  int32_t record = 0;
  std::vector<uint8_t> found;
  BoundSpot(probe.data(), false, spot, record, found, index);
  if (spot.Page == 0) return 0;
  // Every key at most once: more steps than keys mean a damaged leaf chain.
  for (int64_t left = int64_t(Table_->DataFile().RecordCount()) + 2;; ) {
    int c = layout.Compare(found.data(), key, length);
    if (strict ? c < 0 : c <= 0) return spot.Logical;
    if (--left < 0) RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
    if (!StepSpot(spot, false, record, found)) return 0;
  }
}

TDataCursor::TKeySelection TDataCursor::SelectKeys(const TExpToken* node, int index) {
  TKeySelection selection;
  const TKeyLayout& layout = LayoutOf(index);
  const TKeyPart& part = layout.Parts().front();
  const TFieldDescriptor& field = Fields_[TestedColumnNumber(node) - 1];
  const int64_t total = Table_->IndexFile().ActiveRecords();
  const int keyLength = layout.KeyLength();
  const bool isString = field.FieldType() == FIELD_STRING;
  bool upper = false;
  TestedColumn(node->Left, upper);
  // Order of the first key part against its values: reversed when the index or the field
  // runs descending.
  const bool reversed = layout.Descending() || part.Descending;
  const int full = 1 + part.Length;

  // The key of a constant, or false when the index cannot represent it exactly.
  auto keyOf = [&](const TExpToken* constant, std::vector<uint8_t>& key) {
    key.assign(size_t(keyLength), 0);
    if (constant == nullptr || constant->Kind != kTokenConstant) return false;
    if (constant->IsNull) {
      layout.EncodeKeyPart(0, nullptr, key.data());
      return true;
    }
    std::vector<uint8_t> slot(std::max<size_t>(size_t(field.SlotSize()), kBCDSize) + 8, 0);
    if (isString) {
      if (!IsStringLike(constant->DataType, constant->SubType)) return false;
      const char* text = reinterpret_cast<const char*>(constant->Value.data());
      size_t length = strnlen(text, constant->Value.size());
      if (length > field.DeclaredSize()) return false;
      if (upper) {
        std::string folded(text, length);
        Collation_->ToUpper(folded.data(), folded.size());
        if (folded != std::string(text, length)) return false;
      }
      std::memcpy(slot.data(), text, length);
    } else {
      if (constant->DataType != field.FieldType() && !(field.IsAutoInc() && constant->DataType == FIELD_INTEGER))
        return false;
      std::memcpy(slot.data(), constant->Value.data(), std::min(constant->Value.size(), slot.size()));
    }
    layout.EncodeKeyPart(0, slot.data(), key.data());
    return true;
  };
  std::vector<uint8_t> nullKey(size_t(keyLength), 0);
  layout.EncodeKeyPart(0, nullptr, nullKey.data());
  auto equal = [&](const std::vector<uint8_t>& key, int length) {
    return TInterval{FirstOrdinal(index, key.data(), length, false), LastOrdinal(index, key.data(), length, false)};
  };
  auto fix = [](TInterval i) {
    if (i.First == 0 || i.Last == 0) return TInterval{1, 0};
    return i;
  };
  // Keys whose first field is not null.
  auto nonNull = [&]() {
    TInterval nulls = fix(equal(nullKey, 1));
    if (nulls.Empty()) return TInterval{1, total};
    // Nulls sort first in the values' order.
    return reversed ? TInterval{1, nulls.First - 1} : TInterval{nulls.Last + 1, total};
  };
  // Keys whose value stands in `op` to `key`.
  auto ordered = [&](uint8_t op, const std::vector<uint8_t>& key) {
    const bool above = (op == kOpGreater || op == kOpGreaterOrEqual) != reversed;
    const bool strict = op == kOpGreater || op == kOpLess;
    TInterval i = above ? TInterval{FirstOrdinal(index, key.data(), full, strict), total}
                        : TInterval{1, LastOrdinal(index, key.data(), full, strict)};
    if ((above && i.First == 0) || (!above && i.Last == 0)) return TInterval{1, 0};
    return Intersect(i, nonNull());
  };
  // A null string reads as the empty string in ordering comparisons.
  auto nullsSatisfy = [&](uint8_t op, const TExpToken* constant) {
    if (!isString || constant == nullptr || constant->IsNull) return false;
    int c = Collation_->Compare("", reinterpret_cast<const char*>(constant->Value.data()), 0, false);
    switch (op) {
      case kOpGreater: return c > 0;
      case kOpLess: return c < 0;
      case kOpGreaterOrEqual: return c >= 0;
      default: return c <= 0;
    }
  };

  // Keys whose value stands in `op` to `constant` by the evaluation's rules: a NULL string
  // reads as the empty string, other NULLs are ordered only against NULL (equal to it).
  auto compared = [&](uint8_t op, const TExpToken* constant, const std::vector<uint8_t>& key) {
    std::vector<TInterval> out;
    const bool orEqual = op == kOpGreaterOrEqual || op == kOpLessOrEqual;
    if (constant->IsNull) {
      if (isString) {
        if (op == kOpGreater) out.push_back(nonNull());
        else if (op == kOpGreaterOrEqual) out.push_back({1, total});
        else if (op == kOpLessOrEqual) out.push_back(fix(equal(nullKey, 1)));
      } else if (orEqual) {
        out.push_back(fix(equal(nullKey, 1)));
      }
      return out;
    }
    out.push_back(ordered(op, key));
    if (nullsSatisfy(op, constant)) out.push_back(fix(equal(nullKey, 1)));
    return out;
  };

  std::vector<uint8_t> key, high;
  if (IsComparisonNode(node)) {
    if (!keyOf(node->Right, key)) {
      selection.Usable = false;
      return selection;
    }
    const bool nullConstant = node->Right->IsNull;
    switch (node->Code) {
      case kOpEqual:
      case kOpNotEqual: {
        int length = nullConstant ? 1 : full;
        if (node->Kind == kTokenStringCompare && node->PartialLength > 0 && !nullConstant) {
          // A prefix with a language is not one run of the index (the collation weighs the
          // whole string before case), and one longer than the field never matches as such.
          if (node->PartialLength > field.DeclaredSize() || layout.UsesCollation()) {
            selection.Usable = false;
            return selection;
          }
          length = 1 + node->PartialLength;
        }
        selection.Parts.push_back(fix(equal(key, length)));
        selection.Invert = node->Code == kOpNotEqual;
        break;
      }
      default:
        selection.Parts = compared(node->Code, node->Right, key);
        break;
    }
  } else if (node->Code == kPredInList || node->Code == kPredNotInList) {
    for (const TExpToken* item = node->Right; item != nullptr; item = item->Right) {
      if (!keyOf(item, key)) {
        selection.Usable = false;
        return selection;
      }
      selection.Parts.push_back(fix(equal(key, item->IsNull ? 1 : full)));
    }
    selection.Invert = node->Code == kPredNotInList;
  } else {
    const TExpToken* low = node->Right;
    const TExpToken* top = low ? low->Right : nullptr;
    if (!keyOf(low, key) || !keyOf(top, high)) {
      selection.Usable = false;
      return selection;
    }
    std::vector<TInterval> above = Union(compared(kOpGreaterOrEqual, low, key));
    std::vector<TInterval> below = Union(compared(kOpLessOrEqual, top, high));
    for (const TInterval& a : above)
      for (const TInterval& b : below) selection.Parts.push_back(Intersect(a, b));
    selection.Invert = node->Code == kPredNotBetween;
  }
  selection.Parts = Union(std::move(selection.Parts));
  return selection;
}

uint16_t TDataCursor::TestedColumnNumber(const TExpToken* node) const {
  bool upper = false;
  const TExpToken* column = TestedColumn(node->Left, upper);
  return column ? column->FieldNumber : 0;
}

// Marks the records of ordinals first..last of `index` into `bitmap`.
void TDataCursor::MarkOrdinals(int index, int64_t first, int64_t last, TRecordsBitmap& bitmap) {
  if (first < 1 || last < first) return;
  TBTree tree(Table_->IndexFile(), index, LayoutOf(index));
  TIndexPath path;
  bool changed = false;
  if (!tree.SeekOrdinal(first, path, Hooks(), &changed)) {
    if (changed) throw TRestart{};
    RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
  }
  TSpot spot;
  spot.Index = index;
  spot.Page = path.Current().Page;
  spot.Slot = path.Current().Position;
  spot.Logical = first;
  int32_t record = 0;
  std::vector<uint8_t> key;
  if (!ReadSpot(spot, record, key)) RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
  for (int64_t n = first;; ++n) {
    if (record < 1 || uint32_t(record) > bitmap.Size()) RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
    bitmap.SetBit(uint32_t(record));
    if (n == last) return;
    if (!StepSpot(spot, true, record, key)) RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
  }
}

void TDataCursor::MarkSelection(const TExpToken* node, int index, TRecordsBitmap& bitmap,
                                bool estimate) {
  TKeySelection selection = SelectKeys(node, index);
  const int64_t total = Table_->IndexFile().ActiveRecords();
  bitmap.ClearAll();
  std::vector<TInterval> parts = selection.Parts;
  bool invert = selection.Invert;
  int64_t inside = 0;
  for (const TInterval& i : parts) inside += i.Size();
  // Without a language, more than half of the index is cheaper to mark from outside.
  if (estimate && !LayoutOf(index).UsesCollation() && total - inside < inside) {
    parts = Complement(parts, total);
    invert = !invert;
  }
  for (const TInterval& i : parts) MarkOrdinals(index, i.First, i.Last, bitmap);
  if (invert) bitmap.Not();
}

// ---- Evaluation ------------------------------------------------------------------------------------

bool TDataCursor::Accepts(const TExpToken* node, const uint8_t* record) {
  TFetchColumn fetch = [](void* owner, void* image, TExpToken& column) {
    static_cast<TDataCursor*>(owner)->FetchColumn(static_cast<const uint8_t*>(image), column);
  };
  TTokenTree value = EvaluateExpression(node, const_cast<uint8_t*>(record), this, Table_->SortId(),
                                        uint16_t(Table_->Language()), fetch);
  return IsTrueValue(value.Get());
}

bool TDataCursor::FilterAccepts(TFilter& filter, const uint8_t* record, int32_t number) {
  if (filter.IsCallback) return !filter.Callback || filter.Callback(filter.CallbackData, *this, record, number);
  return filter.Expression == nullptr || Accepts(filter.Expression, record);
}

// Reads records in the order of `bitmap`'s members; the data file reads ahead over runs of
// members.
class TDataCursor::TScanHooks : public TReadHooks {
 public:
  TScanHooks(TDataCursor& cursor, const TRecordsBitmap& members) : Cursor_(cursor), Members_(members) {}
  bool BeforeDiskRead() override {
    TReadHooks* hooks = Cursor_.Hooks();
    return hooks == nullptr || hooks->BeforeDiskRead();
  }
  int ReadAheadCount(int32_t record, bool, int limit) override {
    int n = 0;
    while (n < limit && record + n >= 1 && uint32_t(record + n) <= Members_.Size() &&
           Members_.GetBit(uint32_t(record + n)))
      ++n;
    return n;
  }
  int UpcomingRecords(int32_t record, bool forward, int32_t* out, int limit) override {
    if (!forward || record < 0) return 0;
    uint32_t position = uint32_t(record);
    int32_t counter = 0;
    int n = 0;
    while (n < limit && Members_.NextMembers(position, 1, counter).Found) out[n++] = int32_t(position);
    return n;
  }

 private:
  TDataCursor& Cursor_;
  const TRecordsBitmap& Members_;
};

namespace {

// The smallest window a scan reads past the cache.
constexpr int32_t kMinScanWindow = 16;

// Whether at least a quarter of the `window` slots from `first` on are members.
bool MembersDense(const TRecordsBitmap& members, int32_t first, int32_t window) {
  const int needed = std::max(window / 4, 1);
  uint32_t position = uint32_t(first);
  int32_t counter = 0;
  int seen = 1;  // `first` itself
  while (seen < needed && members.NextMembers(position, 1, counter).Found) {
    if (position >= uint32_t(first) + uint32_t(window)) return false;
    ++seen;
  }
  return seen >= needed;
}

// One comparison of a column with a constant, tested on record images without building a
// result tree per record: the column's value is put into a node of its own exactly as the
// cursor's fetcher would put it, and the evaluator's own comparison decides. Only for
// columns and constants that are not text (those compare through the collation) and not
// BLOBs (their values live in the BLOB file).
class TColumnComparison {
 public:
  static std::optional<TColumnComparison> From(const TExpToken* node, const std::vector<TFieldDescriptor>& fields) {
    if (node == nullptr || node->Kind != kTokenBinary || node->Code < kOpEqual || node->Code > kOpLessOrEqual ||
        node->Left == nullptr || node->Right == nullptr)
      return std::nullopt;
    const bool columnLeft = node->Left->Kind == kTokenColumn;
    const TExpToken* column = columnLeft ? node->Left : node->Right;
    const TExpToken* constant = columnLeft ? node->Right : node->Left;
    if (column->Kind != kTokenColumn || constant->Kind != kTokenConstant || constant->IsParameter) return std::nullopt;
    if (column->FieldNumber < 1 || column->FieldNumber > fields.size()) return std::nullopt;
    const TFieldDescriptor& field = fields[column->FieldNumber - 1];
    if (field.FieldType() == FIELD_BLOB || field.FieldType() == FIELD_STRING ||
        IsStringLike(column->DataType, column->SubType) || IsStringLike(constant->DataType, constant->SubType))
      return std::nullopt;
    TColumnComparison c;
    c.Op_ = node->Code;
    c.ColumnLeft_ = columnLeft;
    c.Constant_ = constant;
    c.Field_ = &field;
    c.Column_.CopyFrom(*column);
    c.Column_.Parent = c.Column_.Left = c.Column_.Right = c.Column_.Third = nullptr;
    c.Column_.Kind = kTokenConstant;
    c.Size_ = field.IsAutoInc() ? 4 : field.SlotSize();
    c.Column_.SetDataSize(c.Size_);
    c.Buffer_.assign(std::max<size_t>(field.SlotSize(), 8) + 1, 0);
    return c;
  }

  bool Accepts(const uint8_t* record) {
    std::fill(Buffer_.begin(), Buffer_.end(), uint8_t(0));
    Column_.IsNull = GetFieldValue(record, *Field_, Buffer_.data()) ? 1 : 0;
    std::memcpy(Column_.Value.data(), Buffer_.data(), size_t(Size_));
    std::optional<bool> decided =
        ColumnLeft_ ? CompareValues(Op_, Column_, *Constant_) : CompareValues(Op_, *Constant_, Column_);
    return decided.value_or(false);
  }

 private:
  uint8_t Op_ = 0;
  bool ColumnLeft_ = true;
  const TExpToken* Constant_ = nullptr;
  const TFieldDescriptor* Field_ = nullptr;
  TExpToken Column_;
  int32_t Size_ = 0;
  std::vector<uint8_t> Buffer_;
};

}  // namespace

void TDataCursor::Scan(const TExpToken* node, TFilter* callback, TRecordsBitmap& bitmap, bool underAnd) {
  TDataFile& data = Table_->DataFile();
  TPooledBitmap members;
  if (underAnd) {
    members->Assign(bitmap);
  } else {
    bitmap.SetAll();
    members->Assign(bitmap);
  }
  TScanHooks hooks(*this, *members);
  std::optional<TColumnComparison> direct;
  if (!callback) direct = TColumnComparison::From(node, Fields_);
  std::vector<uint8_t> image(TableRecordSize_);
  // Long runs of members are read a window at a time past the cache; scattered ones
  // through it (with its scattered read-ahead).
  const int32_t window = int32_t(data.ReadAheadRecords());
  std::vector<uint8_t> run;
  int32_t runFirst = 0, runCount = 0;
  int32_t sparseUntil = 0;  // members before it were found scattered: no second look
  uint32_t position = 0;
  int32_t counter = 0;
  while (members->NextMembers(position, 1, counter).Found) {
    const int32_t number = int32_t(position);
    bool deleted;
    if (runCount == 0 || number < runFirst || number >= runFirst + runCount) {
      // Members close together (a quarter of the slots ahead or more): the slots ahead
      // are read in one go, the members among them taken from there.
      runCount = 0;
      if (window >= kMinScanWindow && number >= sparseUntil) {
        if (MembersDense(*members, number, window)) {
          runFirst = number;
          runCount = window;
          if (!data.PeekRun(runFirst, runCount, Writing_ ? nullptr : &hooks, run)) throw TRestart{};
        } else {
          sparseUntil = number + window;
        }
      }
    }
    if (runCount > 0) {
      const uint8_t* at = &run[size_t(number - runFirst) * TableRecordSize_];
      deleted = at[kRecordDeletedOffset] != 0;
      std::memcpy(image.data(), at, TableRecordSize_);
      data.CountPeekedUse();
    } else {
      TRecord* record = data.GetRecord(number, true, Writing_ ? nullptr : &hooks);
      if (record == nullptr) throw TRestart{};
      deleted = record->Deleted();
      std::memcpy(image.data(), record->Data(), TableRecordSize_);
      data.Release(record);
    }
    if (deleted) {
      if (underAnd) bitmap.ClearBit(position);
      continue;
    }
    bool accepted = callback   ? FilterAccepts(*callback, image.data(), number)
                    : direct ? direct->Accepts(image.data())
                             : Accepts(node, image.data());
    if (!accepted) bitmap.ClearBit(position);
  }
}

namespace {

// The operands of the nest of `op` nodes at `node` that the optimizer gave a level, in the
// order the nest combines them: each node's Left side before its Right side. Under AND the
// better-optimized operand of each node is put on the Left first. An AND the optimizer
// left at level none is an operand (it is scanned as a whole).
std::vector<TExpToken*> NestOperands(TExpToken* node, uint8_t op) {
  std::vector<TExpToken*> operands, pending{node};
  while (!pending.empty()) {
    TExpToken* n = pending.back();
    pending.pop_back();
    if (n->Kind != kTokenBinary || n->Code != op || n->OptimizeLevel == kOptimizeNone) {
      operands.push_back(n);
      continue;
    }
    if (op == kOpAnd && n->Right->OptimizeLevel > n->Left->OptimizeLevel) std::swap(n->Left, n->Right);
    pending.push_back(n->Right);
    pending.push_back(n->Left);
  }
  return operands;
}

}  // namespace

bool TDataCursor::SelectsDirectly(const TExpToken* node) {
  return node->OptimizeLevel != kOptimizeNone && (IsComparisonNode(node) || IsListOrRange(node)) &&
         IndexForColumn(node) >= 0;
}

void TDataCursor::EvaluateInto(TExpToken* node, TRecordsBitmap& bitmap, bool underAnd, bool estimate) {
  if (node->OptimizeLevel == kOptimizeNone) return Scan(node, nullptr, bitmap, underAnd);
  if (IsComparisonNode(node) || IsListOrRange(node)) {
    int index = IndexForColumn(node);
    if (index < 0) return Scan(node, nullptr, bitmap, underAnd);
    return MarkSelection(node, index, bitmap, estimate);
  }
  // The operand of NOT, and the first operand of a nest, are evaluated in `bitmap` itself:
  // what it holds before is only the set they start from. So a nest takes one work bitmap
  // and NOT none, however deeply they nest.
  if (node->Kind == kTokenUnary && node->Code == kOpNot) {
    EvaluateInto(node->Left, bitmap, false, estimate);
    bitmap.Not();
    return;
  }
  // AND: each operand is evaluated on what the ones before it accepted (so a scanned one
  // reads only those records) and the results intersected. OR (at level 2 only): each
  // operand from all records, the results united.
  if (node->Kind == kTokenBinary && (node->Code == kOpAnd || node->Code == kOpOr)) {
    const bool conjunction = node->Code == kOpAnd;
    const std::vector<TExpToken*> operands = NestOperands(node, node->Code);
    EvaluateInto(operands.front(), bitmap, conjunction, estimate);
    TPooledBitmap next;
    for (size_t i = 1; i < operands.size(); ++i) {
      next->Assign(bitmap);
      if (!conjunction) next->SetAll();
      EvaluateInto(operands[i], *next, conjunction, estimate);
      if (conjunction)
        bitmap.And(*next);
      else
        bitmap.Or(*next);
    }
    return;
  }
  Scan(node, nullptr, bitmap, underAnd);
}

void TDataCursor::BuildFilterBitmap(TFilter& filter) {
  TRecordsBitmap& bitmap = *filter.Bitmap;
  const uint32_t physical = uint32_t(Table_->DataFile().RecordCount());
  if (bitmap.Size() != physical) bitmap.SetSize(physical);
  if (physical == 0) return;
  if (!filter.IsCallback && filter.Expression != nullptr && SelectsDirectly(filter.Expression)) {
    // Marked from the index alone: what the bitmap held before does not count.
    EvaluateInto(filter.Expression, bitmap, true, filter.Estimate);
    return;
  }
  if (LiveAll_)
    bitmap.SetAll();
  else
    bitmap.Assign(*Live_);
  if (RangeActive_ && !NaturalOrder_ && RangeBits_->Size() > 0) bitmap.And(*RangeBits_);
  if (filter.AfterExpressions && filter.OptimizeLevel != kOptimizeFull) {
    for (auto& other : Filters_) {
      if (other.get() == &filter) break;
      if (other->Active && other->Bitmap->Size() == physical) bitmap.And(*other->Bitmap);
    }
  }
  if (filter.IsCallback)
    Scan(nullptr, &filter, bitmap, true);
  else if (filter.Expression != nullptr)
    EvaluateInto(filter.Expression, bitmap, true, filter.Estimate);
}

}  // namespace veldor
