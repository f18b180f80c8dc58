// The walk window: how a cursor walking its index in an order the data file does not follow
// reads its records in batches, and steps along the entries of one leaf without a search.
//
// When a step of a walk needs a record that is not in the window, the window is filled from
// the current leaf: the entries after the current one (their record numbers, places and
// keys) while the range lasts and they are visible, and the images of their records, copied
// through the data file's mapping under one read lock. The following steps take the next
// entry and image from the window, as long as nothing could have changed what they hold:
// the table's counters are those of the fill (any change made here, and any change by others
// the cursor noticed, moves them), the cursor still stands where the last step left it, and
// neither the range, the filters nor the index changed since (each of those forgets the
// window). A cursor that checks for changes before every operation takes no shortcut.

#include <algorithm>
#include <cstring>

#include "engine/cursor_internal.h"
#include "engine/data_cursor.h"
#include "engine/errors.h"

namespace veldor {
namespace {

// The window holds at most this many records, and at most kWalkWindowBytes of images.
constexpr size_t kWalkWindowRecords = 512;
constexpr size_t kWalkWindowBytes = 262144;
// How far past the expected entry a step looks for its record (entries skipped since).
constexpr size_t kWalkWindowLookAhead = 4;
// The first window of a walk is small (a grid reads a page of rows after a jump) and each
// window used up doubles the next, up to the limits above.
constexpr size_t kWalkWindowStart = 32;

}  // namespace

void TDataCursor::ForgetWalkWindow() {
  WalkNumbers_.clear();
  WalkAt_ = 0;
}

bool TDataCursor::StepInWindow(bool forward) {
  if (NaturalOrder_ || Bof_ || Eof_ || BracketDepth_ > 0 || WalkAt_ == 0 ||
      WalkAt_ >= WalkNumbers_.size() || forward != WalkForward_)
    return false;
  TDataTable& table = *Table_;
  if (table.Settings().StrictChangeDetection || Calculating_ || ResyncPending_) return false;
  const TChangeCounters now = table.ChangeCounters();
  if (!(now == WalkCounters_) || !SpotCountersValid_ || !(SpotCounters_ == now) || !(Counters_ == now))
    return false;
  const TWalkEntry& last = WalkEntries_[WalkAt_ - 1];
  if (Spot_.Page != WalkPage_ || Spot_.Index != IndexNumber_ || Spot_.Slot != last.Slot ||
      Spot_.Logical != last.Logical || CurrentRecord_ != WalkNumbers_[WalkAt_ - 1])
    return false;
  const TWalkEntry& next = WalkEntries_[WalkAt_];
  const size_t keySize = CurrentKey_.size();
  LastForward_ = forward;
  Spot_.Slot = next.Slot;
  Spot_.Logical = next.Logical;
  CurrentRecord_ = WalkNumbers_[WalkAt_];
  std::memcpy(CurrentKey_.data(), &WalkKeys_[WalkAt_ * keySize], keySize);
  PriorReadOrdinal_ = LastReadOrdinal_;
  LastReadOrdinal_ = Spot_.Logical;
  const size_t size = TableRecordSize_;
  std::memcpy(RecordBuffer_.data(), &WalkImages_[WalkAt_ * size], size);
  if (RecordBuffer_.size() > size) std::fill(RecordBuffer_.begin() + ptrdiff_t(size), RecordBuffer_.end(), 0);
  NoteRecordShown();
  ++WalkAt_;
  table.DataFile().CountPeekedUse();
  Calculate(RecordBuffer_.data());
  return true;
}

void TDataCursor::LoadWalkRecord() {
  const int32_t number = CurrentRecordNumber();
  if (NaturalOrder_ || number == 0 || Spot_.Page == 0) return LoadRecordBuffer();
  const size_t size = TableRecordSize_;
  bool found = false;
  if (WalkAt_ < WalkNumbers_.size() && WalkCounters_ == Table_->ChangeCounters()) {
    const size_t end = std::min(WalkNumbers_.size(), WalkAt_ + kWalkWindowLookAhead);
    for (size_t i = WalkAt_; i < end; ++i) {
      if (WalkNumbers_[i] != number) continue;
      WalkAt_ = i;
      found = true;
      break;
    }
  }
  if (!found) {
    // A window left unfinished: the walk broke off, and the next one starts small again.
    if (WalkAt_ < WalkNumbers_.size()) WalkGrow_ = kWalkWindowStart;
    if (!FillWalkWindow(number)) {
      // Read as before, through the cache, which batches a walk's reads its own way.
      ForgetWalkWindow();
      return LoadRecordBuffer();
    }
    WalkAt_ = 0;
  }
  PriorReadOrdinal_ = LastReadOrdinal_;
  LastReadOrdinal_ = Spot_.Logical;
  std::memcpy(RecordBuffer_.data(), &WalkImages_[WalkAt_ * size], size);
  std::fill(RecordBuffer_.begin() + ptrdiff_t(size), RecordBuffer_.end(), 0);
  NoteRecordShown();
  ++WalkAt_;
  Table_->DataFile().CountPeekedUse();
  Calculate(RecordBuffer_.data());
}

bool TDataCursor::FillWalkWindow(int32_t number) {
  const size_t size = TableRecordSize_;
  const size_t keySize = CurrentKey_.size();
  const size_t limit = std::min(kWalkWindowRecords, kWalkWindowBytes / std::max<size_t>(size + keySize, 1));
  const size_t most = std::min(limit, std::max(WalkGrow_, kWalkWindowStart));
  if (most < 2) return false;
  // Only a walk reads ahead: after a seek (a look-up) the records next in the index are
  // rarely wanted, and reading them would cost more than the look-up.
  const bool forward = LastForward_;
  const int64_t moved = Spot_.Logical - LastReadOrdinal_;
  if (forward ? moved <= 0 || moved > kWalkStride : moved >= 0 || moved < -kWalkStride) return false;
  // The entries from the current one on along its leaf, a cached leaf only.
  TPage* page = Table_->IndexFile().FindPage(IndexNumber_, Spot_.Page);
  if (page == nullptr || !page->IsLeaf() || Spot_.Slot < 1 || Spot_.Slot > page->Count() ||
      page->Reference(Spot_.Slot) != number || size_t(page->KeyLength()) != keySize)
    return false;
  WalkGrow_ = std::min(limit, most * 2);
  ForgetWalkWindow();
  WalkEntries_.clear();
  if (WalkKeys_.size() < most * keySize) WalkKeys_.resize(most * keySize);
  const int step = forward ? 1 : -1;
  int64_t ordinal = Spot_.Logical;
  for (int i = Spot_.Slot; WalkNumbers_.size() < most && i >= 1 && i <= page->Count(); i += step, ordinal += step) {
    if (i != Spot_.Slot) {
      if (!InRange(ordinal)) break;
      if (!Visible(page->Reference(i))) continue;
    }
    std::memcpy(&WalkKeys_[WalkNumbers_.size() * keySize], page->Key(i), keySize);
    WalkNumbers_.push_back(page->Reference(i));
    WalkEntries_.push_back(TWalkEntry{i, ordinal});
  }
  if (WalkNumbers_.size() < 2) return false;
  WalkPage_ = Spot_.Page;
  WalkForward_ = forward;
  TReadHooks* hooks = Hooks();
  if (hooks != nullptr && !hooks->BeforeDiskRead()) throw TRestart{};
  if (WalkImages_.size() < WalkNumbers_.size() * size) WalkImages_.resize(most * size);
  if (!Table_->DataFile().CopyImages(WalkNumbers_.data(), int(WalkNumbers_.size()), WalkImages_.data()))
    return false;
  WalkCounters_ = Table_->ChangeCounters();
  return true;
}

}  // namespace veldor
