// The cursor's visible set: the live bitmap (records not deleted, from "Sys Deleted"), the
// range bitmap (records whose key in the current index lies in the range) and their
// combination, rebuilt after changes by others and updated record by record after the
// cursor's own writes. Every bitmap is marked from index leaves; no record is read.

#include <algorithm>
#include <cstring>

#include "engine/cursor_internal.h"
#include "engine/data_cursor.h"
#include "engine/errors.h"

namespace veldor {
namespace {

// Sizes `bitmap` to `size`, clearing whatever the growth uncovered.
void GrowBitmap(TRecordsBitmap& bitmap, uint32_t size) {
  uint32_t old = bitmap.Size();
  if (old == size) return;
  bitmap.SetSize(size);
  bitmap.ClearBits(old + 1, size);
}

}  // namespace

void TDataCursor::MarkKeys(int index, const uint8_t* low, const uint8_t* high,
                           TRecordsBitmap& bitmap, bool clear) {
  if (clear) bitmap.ClearAll();
  const TKeyLayout& layout = LayoutOf(index);
  if (layout.Compare(low, high) > 0) return;
  TIndexFile& file = Table_->IndexFile();
  TBTree tree(file, index, layout);
  TIndexPath path;
  int64_t ordinal = 0;
  bool changed = false;
  if (!tree.Descend(low, TLocate::LowerBound, path, ordinal, Hooks(), &changed)) {
    if (changed) throw TRestart{};
    return;
  }
  int32_t number = path.Current().Page;
  int start = path.Current().Position;
  // A leaf chain longer than the file has pages runs in a circle: the index is damaged.
  int64_t pagesLeft = int64_t(file.PageCount()) + 1;
  int32_t from = 0;  // the leaf before, which the next one must link back to
  for (bool first = true;; first = false) {
    if (--pagesLeft < 0) RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
    int32_t next;
    {
      TPageRef page(file.GetPage(index, number, Hooks()));
      if (!page) throw TRestart{};
      if (!page->IsLeaf() || page->Count() <= 0 || (!first && page->Previous() != from))
        RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
      if (first)
        while (start <= page->Count() && layout.Compare(page->Key(start), low) < 0) ++start;
      if (start <= page->Count() && !tree.RangeToBitmap(*page, start, high, bitmap)) return;
      next = page->Next();
    }
    if (next == 0) return;
    from = number;
    number = next;
    start = 1;
  }
}

int64_t TDataCursor::CountKeys(int index, const uint8_t* low, const uint8_t* high) {
  const TKeyLayout& layout = LayoutOf(index);
  if (layout.Compare(low, high) > 0) return 0;
  TSpot spot;
  int32_t record = 0;
  std::vector<uint8_t> key;
  if (!BoundSpot(low, true, spot, record, key, index)) return 0;
  int64_t first = spot.Logical;
  if (!BoundSpot(high, false, spot, record, key, index)) return 0;
  return std::max<int64_t>(spot.Logical - first + 1, 0);
}

void TDataCursor::ComputeLive() {
  TRecordsBitmap& live = *Live_;
  const uint32_t physical = uint32_t(Table_->DataFile().RecordCount());
  LiveAll_ = false;
  if (physical > 0 && Table_->IndexFile().ActiveRecords() == int32_t(physical)) {
    // Nothing deleted: said, not marked, so that a table without deleted slots costs no
    // bitmap here (the first deletion marks it).
    live.SetSize(0);
    LiveAll_ = true;
    return;
  }
  GrowBitmap(live, physical);
  if (physical == 0) return;
  // "Sys Deleted" keys (1, row identifier) are the deleted slots.
  uint8_t low[5] = {1, 0, 0, 0, 0};
  uint8_t high[5] = {1, 0xFF, 0xFF, 0xFF, 0xFF};
  MarkKeys(kSysDeletedIndex, low, high, live, true);
  live.Not();
}

void TDataCursor::ComputeRangeBitmap() {
  TRecordsBitmap& range = *RangeBits_;
  if (!RangeActive_ || NaturalOrder_) {
    range.SetSize(0);
    return;
  }
  const uint32_t physical = uint32_t(Table_->DataFile().RecordCount());
  GrowBitmap(range, physical);
  range.ClearAll();
  if (physical == 0 || First_ <= 0) return;
  const TKeyLayout& layout = Layout();
  const int size = layout.KeyLength();
  const int64_t inRange = Last_ - First_ + 1;
  const int64_t records = Table_->IndexFile().ActiveRecords();
  if (!layout.UsesCollation() && records - inRange < inRange) {
    // Most of the index is inside: walk the two outside parts and invert.
    const bool descending = layout.Descending();
    std::vector<uint8_t> lowest(size_t(size), descending ? 0xFF : 0x00);
    std::vector<uint8_t> highest(size_t(size), descending ? 0x00 : 0xFF);
    if (CompareKeys(StartKey_.data(), lowest.data(), size) > 0) {
      std::vector<uint8_t> below(StartKey_.begin(), StartKey_.begin() + size);
      if (descending)
        NextKey(below.data(), size);
      else
        PriorKey(below.data(), size);
      MarkKeys(IndexNumber_, lowest.data(), below.data(), range, false);
    }
    if (CompareKeys(EndKey_.data(), highest.data(), size) < 0) {
      std::vector<uint8_t> above(EndKey_.begin(), EndKey_.begin() + size);
      if (descending)
        PriorKey(above.data(), size);
      else
        NextKey(above.data(), size);
      MarkKeys(IndexNumber_, above.data(), highest.data(), range, false);
    }
    range.Not();
    return;
  }
  MarkKeys(IndexNumber_, StartKey_.data(), EndKey_.data(), range, false);
}

void TDataCursor::Combine() {
  ForgetWalkWindow();
  TRecordsBitmap& visible = *Visible_;
  const uint32_t physical = uint32_t(Table_->DataFile().RecordCount());
  GrowBitmap(visible, physical);
  // The first set taken is copied, each further one intersected; all records live is no set.
  bool started = false;
  auto take = [&](const TRecordsBitmap& set) {
    if (started) {
      visible.And(set);
    } else {
      visible.Assign(set);
      started = true;
    }
  };
  if (!LiveAll_) take(*Live_);
  if (RangeActive_ && !NaturalOrder_ && RangeBits_->Size() > 0) take(*RangeBits_);
  for (const auto& filter : Filters_) {
    if (!filter->Active) continue;
    // A filter whose bitmap does not cover the table yet accepts nothing it has not judged.
    if (filter->Bitmap->Size() != physical) GrowBitmap(*filter->Bitmap, physical);
    take(*filter->Bitmap);
  }
  if (!started) visible.SetAll();
  VisibleCount_ = visible.Count();
}

void TDataCursor::RebuildVisible() {
  if (Rebuilding_) return;
  struct TGuard {
    bool& Flag;
    explicit TGuard(bool& flag) : Flag(flag) { Flag = true; }
    ~TGuard() { Flag = false; }
  } guard(Rebuilding_);
  const uint32_t physical = uint32_t(Table_->DataFile().RecordCount());
  GrowBitmap(*Visible_, physical);
  if (physical == 0) {
    RangeBits_->SetSize(0);
    Live_->SetSize(0);
    LiveAll_ = false;
    VisibleCount_ = 0;
    return;
  }
  ComputeRangeBitmap();
  ComputeLive();
  for (auto& filter : Filters_)
    if (filter->Active) BuildFilterBitmap(*filter);
  Combine();
}

void TDataCursor::UpdateBitmapMode() {
  ForgetWalkWindow();
  bool on = NaturalOrder_ || AnyActiveFilter();
  if (BitmapMode_ && !on) {
    Visible_->SetSize(0);
    RangeBits_->SetSize(0);
    Live_->SetSize(0);
    LiveAll_ = false;
    VisibleCount_ = 0;
  }
  BitmapMode_ = on;
}

void TDataCursor::ReleaseBitmaps() {
  for (TPooledBitmap* b : {&Visible_, &RangeBits_, &Live_})
    if (*b) (*b)->SetSize(0);
  LiveAll_ = false;
  VisibleCount_ = 0;
}

// After this cursor's own write: one record's bits, then the limits and the combination.
void TDataCursor::AfterWrite(int32_t record, const uint8_t* image, bool deleted) {
  ComputeRangeLimits();
  if (!BitmapMode_) return;
  const uint32_t physical = uint32_t(Table_->DataFile().RecordCount());
  if (LiveAll_ && deleted) {
    // The first deletion: every other record is live.
    GrowBitmap(*Live_, physical);
    Live_->SetAll();
    LiveAll_ = false;
  }
  if (!LiveAll_) GrowBitmap(*Live_, physical);
  const bool ranged = RangeActive_ && !NaturalOrder_;
  if (ranged) GrowBitmap(*RangeBits_, physical);
  for (auto& filter : Filters_)
    if (filter->Active) GrowBitmap(*filter->Bitmap, physical);
  if (record >= 1 && uint32_t(record) <= physical) {
    if (deleted) {
      Live_->ClearBit(uint32_t(record));
      if (ranged) RangeBits_->ClearBit(uint32_t(record));
      for (auto& filter : Filters_)
        if (filter->Active) filter->Bitmap->ClearBit(uint32_t(record));
    } else {
      // Each active filter judges the new image alone.
      for (auto& filter : Filters_) {
        if (!filter->Active) continue;
        if (FilterAccepts(*filter, image, record))
          filter->Bitmap->SetBit(uint32_t(record));
        else
          filter->Bitmap->ClearBit(uint32_t(record));
      }
      if (!LiveAll_) Live_->SetBit(uint32_t(record));
      if (ranged) {
        const int size = KeySize();
        std::vector<uint8_t> key(static_cast<size_t>(size));
        BuildKey(image, key.data());
        bool inside = CompareKeys(key.data(), StartKey_.data(), size) >= 0 &&
                      CompareKeys(key.data(), EndKey_.data(), size) <= 0;
        if (inside)
          RangeBits_->SetBit(uint32_t(record));
        else
          RangeBits_->ClearBit(uint32_t(record));
      }
    }
  }
  Combine();
}

}  // namespace veldor
