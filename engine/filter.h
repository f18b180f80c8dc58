// One filter of a cursor: a prepared boolean expression over the table's fields, or a
// callback into the cursor's owner, and the bitmap of the records it accepts.
//
// `TFilter` owns its bitmap (from the process's pool) and, when told so, its expression
// tree. It is made, ordered, activated and freed by its cursor (`TDataCursor`), which
// alone computes its bitmap; it is used by the cursor's thread only.
#pragma once

#include <cstdint>
#include <functional>

#include "lib/expression.h"
#include "lib/records_bitmap.h"

namespace veldor {

class TDataCursor;

// At most this many filters on one cursor.
inline constexpr size_t kMaxFilters = 64;

// How much of a filter's condition the indexes answer.
inline constexpr uint8_t kOptimizeNone = 0;
inline constexpr uint8_t kOptimizePartial = 1;
inline constexpr uint8_t kOptimizeFull = 2;

class TFilter {
 public:
  // Called for each record a callback filter must judge; true accepts it.
  using TCallback = std::function<bool(void* data, TDataCursor& cursor, const uint8_t* record,
                                       int32_t recordNumber)>;

  explicit TFilter(TDataCursor* cursor) : Cursor(cursor) {}
  // Frees the expression when the filter owns it.
  ~TFilter() { SetExpression(nullptr, false); }
  TFilter(const TFilter&) = delete;
  TFilter& operator=(const TFilter&) = delete;

  // Replaces the expression (freeing the old one when owned).
  void SetExpression(TExpToken* tree, bool owns) {
    if (OwnsExpression) FreeTokenTree(Expression);
    Expression = tree;
    OwnsExpression = owns;
  }

  TDataCursor* Cursor;
  bool OwnsExpression = false;
  TExpToken* Expression = nullptr;  // prepared; none for a callback filter
  void* CallbackData = nullptr;
  TCallback Callback;
  TPooledBitmap Bitmap;  // the records it accepts, valid while active
  bool Active = false;
  bool IsCallback = false;
  uint8_t OptimizeLevel = kOptimizeNone;
  bool AfterExpressions = false;  // judged after, and only on what, the others accept
  bool Estimate = false;          // may refuse an index that selects over 90 % of the records
  int32_t RemoteHandle = 0;
};

}  // namespace veldor
