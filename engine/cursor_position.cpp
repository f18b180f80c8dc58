// The cursor's position: first and last, steps, record numbers, key searches, ranges and
// bookmarks, in index order (leaf entries and their ordinals) and in natural order (the
// visible bitmap of physical record numbers).

#include <algorithm>
#include <cstring>

#include "engine/cursor_internal.h"
#include "engine/data_cursor.h"
#include "engine/errors.h"
#include "lib/collation.h"

namespace veldor {
// ---- Leaf entries ------------------------------------------------------------------------------

bool TDataCursor::ReadSpot(const TSpot& spot, int32_t& record, std::vector<uint8_t>& key) {
  if (spot.Page == 0) return false;
  TPageRef page(ReadPage(spot.Page, spot.Index));
  if (!page->IsLeaf() || page->Free() || spot.Slot < 1 || spot.Slot > page->Count()) return false;
  record = page->Reference(spot.Slot);
  key.assign(page->Key(spot.Slot), page->Key(spot.Slot) + page->KeyLength());
  return true;
}

bool TDataCursor::StepSpot(TSpot& spot, bool forward, int32_t& record, std::vector<uint8_t>& key) {
  int32_t number = spot.Page;
  int slot = spot.Slot;
  {
    TPageRef page(ReadPage(number, spot.Index));
    if (!page->IsLeaf() || page->Count() <= 0) RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
    slot = std::min(slot, page->Count());
    if (forward && slot < page->Count()) {
      ++slot;
    } else if (!forward && slot > 1) {
      --slot;
    } else {
      number = forward ? page->Next() : page->Previous();
      if (number == 0) return false;
      slot = 0;
    }
    if (slot != 0) {
      spot.Slot = slot;
      spot.Logical += forward ? 1 : -1;
      record = page->Reference(slot);
      key.assign(page->Key(slot), page->Key(slot) + page->KeyLength());
      return true;
    }
  }
  // The neighbouring leaf; the page above was released before this read. Its link back
  // must name the page left: a chain that does not (a page pointing at itself or into
  // another chain) is damage, never a place to walk on from.
  TPageRef page(ReadPage(number, spot.Index));
  if (!page->IsLeaf() || page->Count() <= 0 ||
      (forward ? page->Previous() : page->Next()) != spot.Page)
    RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
  spot.Page = number;
  spot.Slot = forward ? 1 : page->Count();
  spot.Logical += forward ? 1 : -1;
  record = page->Reference(spot.Slot);
  key.assign(page->Key(spot.Slot), page->Key(spot.Slot) + page->KeyLength());
  return true;
}

bool TDataCursor::Visible(int32_t record) const {
  if (!BitmapMode_) return true;
  const TRecordsBitmap& v = *Visible_;
  return record >= 1 && uint32_t(record) <= v.Size() && v.GetBit(uint32_t(record));
}

bool TDataCursor::WalkToVisible(TSpot& spot, bool forward, int32_t& record,
                                std::vector<uint8_t>& key) {
  while (!Visible(record)) {
    if (!StepSpot(spot, forward, record, key) || !InRange(spot.Logical)) return false;
  }
  return true;
}

bool TDataCursor::SeekSpot(int64_t ordinal, TSpot& spot, int32_t& record,
                           std::vector<uint8_t>& key) {
  TBTree tree(Table_->IndexFile(), IndexNumber_, Layout());
  TIndexPath path;
  bool changed = false;
  if (!tree.SeekOrdinal(ordinal, path, Hooks(), &changed)) {
    if (changed) throw TRestart{};
    return false;
  }
  spot.Index = IndexNumber_;
  spot.Page = path.Current().Page;
  spot.Slot = path.Current().Position;
  spot.Logical = ordinal;
  return ReadSpot(spot, record, key);
}

bool TDataCursor::BoundSpot(const uint8_t* target, bool lower, TSpot& spot, int32_t& record,
                            std::vector<uint8_t>& key, int index) {
  if (index < 0) index = IndexNumber_;
  const TKeyLayout& layout = LayoutOf(index);
  TBTree tree(Table_->IndexFile(), index, layout);
  TIndexPath path;
  int64_t ordinal = 0;
  bool changed = false;
  if (!tree.Descend(target, lower ? TLocate::LowerBound : TLocate::UpperBound, path, ordinal,
                    Hooks(), &changed)) {
    if (changed) throw TRestart{};
    return false;
  }
  spot.Index = index;
  spot.Page = path.Current().Page;
  spot.Slot = path.Current().Position;
  spot.Logical = ordinal;
  if (!ReadSpot(spot, record, key)) RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
  int c = layout.Compare(key.data(), target);
  if (lower) {
    // The descent ends in the leaf whose range holds the target: the first key at or above
    // it may open the next leaf.
    if (c < 0) return StepSpot(spot, true, record, key);
    return true;
  }
  return c <= 0;
}

// ---- States ----------------------------------------------------------------------------------

void TDataCursor::TakeEmptyState() {
  Spot_ = TSpot{};
  CurrentRecord_ = 0;
  Physical_ = 0;
  std::fill(CurrentKey_.begin(), CurrentKey_.end(), 0);
  SpotCountersValid_ = false;
  ForgetWalkWindow();
  Bof_ = Eof_ = true;
}

void TDataCursor::TakeSpot(const TSpot& spot, int32_t record, const std::vector<uint8_t>& key) {
  Spot_ = spot;
  CurrentRecord_ = record;
  CurrentKey_ = key;
  SpotCounters_ = Table_->ChangeCounters();
  SpotCountersValid_ = true;
  Bof_ = Eof_ = false;
}

int32_t TDataCursor::CurrentRecordNumber() const {
  SettlePending();
  if (!Open_ || (Bof_ && Eof_)) return 0;
  if (NaturalOrder_) return Physical_;
  return Spot_.Page != 0 ? CurrentRecord_ : 0;
}

bool TDataCursor::HasVisibleRecords() const {
  if (BitmapMode_) return VisibleCount_ > 0;
  return First_ > 0 && Last_ >= First_;
}

void TDataCursor::GoFirst() {
  LastForward_ = true;
  if (!HasVisibleRecords()) return TakeEmptyState();
  if (NaturalOrder_) {
    uint32_t position = 0;
    int32_t counter = 0;
    if (!Visible_->NextMembers(position, 1, counter).Found) return TakeEmptyState();
    Physical_ = int32_t(position);
    Spot_.Logical = 1;
    Bof_ = Eof_ = false;
    return;
  }
  TSpot spot;
  int32_t record = 0;
  std::vector<uint8_t> key;
  if (!SeekSpot(First_, spot, record, key) || !WalkToVisible(spot, true, record, key))
    return TakeEmptyState();
  TakeSpot(spot, record, key);
}

void TDataCursor::GoLast() {
  LastForward_ = false;
  if (!HasVisibleRecords()) return TakeEmptyState();
  if (NaturalOrder_) {
    uint32_t position = Visible_->Size() + 1;
    int32_t counter = int32_t(VisibleCount_ + 1);
    if (!Visible_->PriorMembers(position, 1, counter).Found) return TakeEmptyState();
    Physical_ = int32_t(position);
    Spot_.Logical = counter;
    Bof_ = Eof_ = false;
    return;
  }
  TSpot spot;
  int32_t record = 0;
  std::vector<uint8_t> key;
  if (!SeekSpot(Last_, spot, record, key) || !WalkToVisible(spot, false, record, key))
    return TakeEmptyState();
  TakeSpot(spot, record, key);
}

// Re-reads the current leaf entry; when it no longer holds the current key (the tree
// changed under a cursor that did not re-seek), the key is found again by a descent.
bool TDataCursor::CurrentSpotValid() {
  // Nothing changed since the spot was taken (any change to the tree, here or noticed from
  // others, moves the counters): it still holds the current key.
  if (Spot_.Page != 0 && SpotCountersValid_ && SpotCounters_ == Table_->ChangeCounters()) return true;
  if (Spot_.Page != 0) {
    // Compared in place: this runs before every step of a walk.
    TPageRef page(ReadPage(Spot_.Page, Spot_.Index));
    if (page->IsLeaf() && !page->Free() && Spot_.Slot >= 1 && Spot_.Slot <= page->Count() &&
        size_t(page->KeyLength()) == CurrentKey_.size() &&
        std::memcmp(page->Key(Spot_.Slot), CurrentKey_.data(), CurrentKey_.size()) == 0) {
      CurrentRecord_ = page->Reference(Spot_.Slot);
      return true;
    }
  }
  int32_t record = 0;
  std::vector<uint8_t> key;
  TSpot spot;
  if (!BoundSpot(CurrentKey_.data(), true, spot, record, key)) {
    if (spot.Page == 0) {
      TakeEmptyState();
      return false;
    }
  }
  bool bof = Bof_, eof = Eof_;
  TakeSpot(spot, record, key);
  Bof_ = bof;
  Eof_ = eof;
  return true;
}

void TDataCursor::MoveBy(int64_t n) {
  if (n == 0) return;
  const bool forward = n > 0;
  LastForward_ = forward;
  uint64_t steps = uint64_t(forward ? n : -n);
  if (NaturalOrder_) {
    if (Bof_ && Eof_) return;
    uint32_t position = uint32_t(std::max(Physical_, 0));
    int32_t counter = int32_t(Spot_.Logical);
    TMembersWalk walk = forward ? Visible_->NextMembers(position, uint32_t(std::min<uint64_t>(steps, UINT32_MAX)), counter)
                                : Visible_->PriorMembers(position, uint32_t(std::min<uint64_t>(steps, UINT32_MAX)), counter);
    if (!walk.Found) {
      Bof_ = !forward;
      Eof_ = forward;
      return;
    }
    Physical_ = int32_t(position);
    Spot_.Logical = counter;
    Bof_ = Eof_ = false;
    return;
  }
  if (Spot_.Page == 0 || !CurrentSpotValid()) return;
  TSpot spot = Spot_;
  int32_t record = CurrentRecord_;
  // A member, so that a step allocates nothing; StepSpot fills it before it is read.
  std::vector<uint8_t>& key = StepKey_;
  while (steps > 0) {
    if (!StepSpot(spot, forward, record, key) || !InRange(spot.Logical)) {
      // Off the chain or out of the range: a crack, resting on the last visible entry.
      Bof_ = !forward;
      Eof_ = forward;
      return;
    }
    if (!Visible(record)) continue;
    --steps;
    TakeSpot(spot, record, key);
  }
}

void TDataCursor::LoadRecordBuffer() {
  int32_t number = CurrentRecordNumber();
  if (number == 0) {
    std::fill(RecordBuffer_.begin(), RecordBuffer_.end(), 0);
    NoteRecordShown();
    return;
  }
  TRecordPin record(ReadRecord(number, LastForward_));
  std::memcpy(RecordBuffer_.data(), record->Data(), TableRecordSize_);
  NoteRecordShown();
  std::fill(RecordBuffer_.begin() + TableRecordSize_, RecordBuffer_.end(), 0);
  record.Reset();
  Calculate(RecordBuffer_.data());
}

void TDataCursor::Calculate(uint8_t* record) {
  if (!HasCalculated_ || !Calculate_ || Calculating_) return;
  Calculating_ = true;
  try {
    Calculate_(*this, record);
  } catch (...) {
    Calculating_ = false;
    throw;
  }
  Calculating_ = false;
}

// ---- Crack moves -------------------------------------------------------------------------------

void TDataCursor::SetToBegin() {
  BeginPending_ = false;
  RequireOpen();
  Bracketed([&] {
    GoFirst();
    if (!(Bof_ && Eof_)) Bof_ = true;
    LoadRecordBuffer();
  });
}

void TDataCursor::SetToEnd() {
  BeginPending_ = false;  // positioned afresh below
  RequireOpen();
  Bracketed([&] {
    GoLast();
    if (!(Bof_ && Eof_)) Eof_ = true;
    LoadRecordBuffer();
  });
}

uint16_t TDataCursor::GetNextRecord(uint8_t* buffer, bool) {
  RequireOpen();
  if (StepInWindow(true)) {
    if (buffer) std::memcpy(buffer, RecordBuffer_.data(), RecordSize_);
    return 0;
  }
  return Bracketed([&]() -> uint16_t {
    if (Bof_)
      GoFirst();
    else
      MoveBy(1);
    if (Eof_) {
      if (buffer) std::memset(buffer, 0, RecordSize_);
      return VELDOR_EOF;
    }
    LoadWalkRecord();
    if (buffer) std::memcpy(buffer, RecordBuffer_.data(), RecordSize_);
    return 0;
  });
}

uint16_t TDataCursor::GetPriorRecord(uint8_t* buffer, bool) {
  RequireOpen();
  if (StepInWindow(false)) {
    if (buffer) std::memcpy(buffer, RecordBuffer_.data(), RecordSize_);
    return 0;
  }
  return Bracketed([&]() -> uint16_t {
    if (Eof_)
      GoLast();
    else
      MoveBy(-1);
    if (Bof_) {
      if (buffer) std::memset(buffer, 0, RecordSize_);
      return VELDOR_BOF;
    }
    LoadWalkRecord();
    if (buffer) std::memcpy(buffer, RecordBuffer_.data(), RecordSize_);
    return 0;
  });
}

uint16_t TDataCursor::GetCurrentRecord(uint8_t* buffer, bool lock) {
  RequireOpen();
  if (lock) {
    const int32_t locked = CurrentRecordNumber();
    if (locked == 0) return GetCurrentRecord(buffer, false);
    LockRecord(locked);
    bool same = Bracketed([&] {
      LoadRecordBuffer();
      return Exclusive_ || buffer == nullptr ||
             std::memcmp(buffer, RecordBuffer_.data(), TableRecordSize_) == 0;
    });
    if (!same || CurrentRecordNumber() == 0) {
      try {
        UnlockRecord(locked);
      } catch (...) {
      }
      // The buffer now holds the record as it is, but the caller holds its old image: an
      // edit made from that image must not pass for one made from the current record.
      if (buffer != nullptr) ShownImage_.assign(buffer, buffer + TableRecordSize_);
      RaiseTableError(VELDOR_KEYORRECDELETED, TableName_);
    }
  }
  return Bracketed([&]() -> uint16_t {
    if (Bof_ && Eof_) {
      if (buffer) std::memset(buffer, 0, RecordSize_);
      return VELDOR_NOCURRREC;
    }
    if (Bof_ || Eof_) {
      if (buffer) std::memset(buffer, 0, RecordSize_);
      return Bof_ ? VELDOR_BOF : VELDOR_EOF;
    }
    LoadRecordBuffer();
    if (buffer) std::memcpy(buffer, RecordBuffer_.data(), RecordSize_);
    return 0;
  });
}

// ---- Record numbers and counts -------------------------------------------------------------------

// Counts and record numbers are answered from the cursor's state; a change made meanwhile
// through a sibling cursor or thrown away by a rollback (seen in the table object's counters,
// without reading a file) is taken in first.
void TDataCursor::SyncWithSiblings() {
  if (!Open_ || BracketDepth_ > 0 || Table_ == nullptr) return;
  if (Table_->ChangeCounters() == Counters_ || FilesReadOnly_) return;
  Bracketed([] {});
}

int64_t TDataCursor::GetRecordCount() {
  SyncWithSiblings();
  if (!Open_) return 0;
  if (BitmapMode_) return VisibleCount_;
  if (First_ <= 0 || Last_ <= 0 || Last_ < First_) return 0;
  return Last_ - First_ + 1;
}

int64_t TDataCursor::GetRecNo() {
  SettlePending();
  SyncWithSiblings();
  if (!Open_ || (Bof_ && Eof_)) return 0;
  if (NaturalOrder_) return Spot_.Logical;
  int64_t n = Spot_.Logical - First_ + 1;
  return Spot_.Logical <= 0 ? 0 : n;
}

void TDataCursor::SetToRecNo(int64_t number) {
  BeginPending_ = false;  // positioned afresh below
  RequireOpen();
  Bracketed([&] {
    if (!HasVisibleRecords()) {
      TakeEmptyState();
    } else if (number < 1) {
      GoFirst();
      if (!(Bof_ && Eof_)) Bof_ = true;
    } else if (NaturalOrder_) {
      uint32_t position = 0;
      int32_t counter = 0;
      TMembersWalk walk = Visible_->NextMembers(position, uint32_t(std::min<int64_t>(number, UINT32_MAX)), counter);
      if (walk.Found) {
        Physical_ = int32_t(position);
        Spot_.Logical = counter;
        Bof_ = Eof_ = false;
      } else {
        GoLast();
        if (!(Bof_ && Eof_)) Eof_ = true;
      }
    } else if (number > Last_ - First_ + 1) {
      GoLast();
      if (!(Bof_ && Eof_)) Eof_ = true;
    } else {
      TSpot spot;
      int32_t record = 0;
      std::vector<uint8_t> key;
      if (!SeekSpot(First_ + number - 1, spot, record, key))
        RaiseTableError(VELDOR_INDEXCORRUPT, TableName_);
      if (WalkToVisible(spot, true, record, key)) {
        TakeSpot(spot, record, key);
      } else {
        GoLast();
        if (!(Bof_ && Eof_)) Eof_ = true;
      }
    }
    LoadRecordBuffer();
  });
}

// ---- Keys ---------------------------------------------------------------------------------------

void TDataCursor::BuildKey(const uint8_t* record, uint8_t* key) const { Layout().BuildKey(record, key); }

int TDataCursor::CompareKeys(const uint8_t* a, const uint8_t* b, int length) const {
  return Layout().Compare(a, b, length);
}

void TDataCursor::FillKeyLow(uint8_t* key, int from) const { Layout().FillLow(key, from); }
void TDataCursor::FillKeyHigh(uint8_t* key, int from) const { Layout().FillHigh(key, from); }

// Steps the first `length` bytes by one unit at the last of them, carrying into earlier
// bytes. In a table with a language a byte of string text steps through the collation's
// character order rather than through byte values.
void TDataCursor::StepKey(uint8_t* key, int length, bool up) const {
  const TKeyLayout& layout = Layout();
  length = std::min(length, layout.KeyLength());
  const bool collated = layout.UsesCollation();
  const std::array<uint8_t, 256>& order = Collation_->CharacterOrder();
  std::array<uint8_t, 256> rank{};
  if (collated)
    for (int i = 0; i < 256; ++i) rank[order[size_t(i)]] = uint8_t(i);
  auto inText = [&](int at) {
    if (!collated) return false;
    for (const TKeyPart& part : layout.Parts())
      if (part.Type == FIELD_STRING && at > part.KeyOffset && at <= part.KeyOffset + part.Length)
        return true;
    return false;
  };
  for (int i = length - 1; i >= 0; --i) {
    if (inText(i)) {
      int r = rank[key[i]];
      if (up ? r < 255 : r > 0) {
        key[i] = order[size_t(up ? r + 1 : r - 1)];
        return;
      }
      key[i] = up ? order[0] : order[255];
      continue;
    }
    if (up ? key[i] != 0xFF : key[i] != 0x00) {
      key[i] = uint8_t(up ? key[i] + 1 : key[i] - 1);
      return;
    }
    key[i] = up ? 0x00 : 0xFF;
  }
  std::memset(key, up ? 0xFF : 0x00, size_t(layout.KeyLength()));
}

void TDataCursor::NextKey(uint8_t* key, int length) const { StepKey(key, length, true); }
void TDataCursor::PriorKey(uint8_t* key, int length) const { StepKey(key, length, false); }

int TDataCursor::PartialLength(int fieldCount, int partialLength) const {
  const std::vector<TKeyPart>& parts = Layout().Parts();
  int c = partialLength > 0 ? partialLength + 1 : 0;
  for (int i = 0; i < fieldCount && size_t(i) < parts.size(); ++i) c += parts[size_t(i)].Length + 1;
  return c;
}

// ---- Searches ------------------------------------------------------------------------------------

bool TDataCursor::SearchKey(const uint8_t* key, bool nearest, bool keepCrack) {
  const bool hadBof = Bof_, hadEof = Eof_;
  const int size = KeySize();
  if (!HasVisibleRecords()) {
    TakeEmptyState();
    return false;
  }
  if (RangeActive_) {
    if (CompareKeys(key, StartKey_.data(), size) < 0) {
      GoFirst();
      return false;
    }
    if (CompareKeys(key, EndKey_.data(), size) > 0) {
      GoLast();
      return false;
    }
  }
  LastForward_ = true;
  TSpot spot;
  int32_t record = 0;
  std::vector<uint8_t> found;
  bool atOrAbove = BoundSpot(key, true, spot, record, found);
  if (spot.Page == 0) {
    TakeEmptyState();
    return false;
  }
  const bool exact = atOrAbove && CompareKeys(found.data(), key, size) == 0;
  if (exact && Visible(record) && InRange(spot.Logical)) {
    TakeSpot(spot, record, found);
  } else if (nearest) {
    if (atOrAbove && InRange(spot.Logical) && WalkToVisible(spot, true, record, found)) {
      TakeSpot(spot, record, found);
    } else {
      GoLast();
      if (!(Bof_ && Eof_)) Eof_ = true;
    }
  } else {
    return false;
  }
  if (keepCrack && !(Bof_ && Eof_)) {
    if (hadBof && !hadEof) {
      MoveBy(-1);
      if (!Bof_) MoveBy(1);
    } else if (hadEof && !hadBof) {
      MoveBy(1);
      if (!Eof_) MoveBy(-1);
    }
  }
  return exact && CurrentRecord_ == record;
}

// A language orders whole strings before their case, so the keys that start with a prefix
// as written are not always next to each other: "smith" may stand between "Smith" and
// "Smithe". From the first key at or above the prefix, the run of keys that start with it
// without regard to case is walked for the first one that starts with it as written. When
// there is none, the cursor returns to where the search put it.
bool TDataCursor::FindCasedPrefix(const uint8_t* key, int length) {
  const TKeyLayout& layout = Layout();
  const TSpot spot = Spot_;
  const int32_t record = CurrentRecord_;
  const std::vector<uint8_t> current = CurrentKey_;
  const bool bof = Bof_, eof = Eof_;
  while (CurrentRecordNumber() != 0 && !Bof_ && !Eof_ &&
         layout.Compare(CurrentKey_.data(), key, length, true) == 0) {
    if (layout.Compare(CurrentKey_.data(), key, length) == 0) return true;
    MoveBy(1);
  }
  TakeSpot(spot, record, current);
  Bof_ = bof;
  Eof_ = eof;
  return false;
}

bool TDataCursor::Find(bool dataIsKey, const uint8_t* data, uint8_t* out, int partialLength,
                       bool nearest, int fieldCount) {
  RequireOpen();
  if (NaturalOrder_) return false;
  return Bracketed([&]() -> bool {
    if (data == nullptr) return false;
    const int size = KeySize();
    std::vector<uint8_t> key(static_cast<size_t>(size));
    if (dataIsKey)
      std::memcpy(key.data(), data, size_t(size));
    else
      BuildKey(data, key.data());
    const TKeyLayout& layout = Layout();
    const int fields = int(layout.Parts().size());
    bool found;
    if ((fieldCount > 0 && fieldCount < fields) || !layout.Unique() ||
        (fieldCount == 0 && partialLength > 0)) {
      if (!layout.Unique() && fieldCount == 0 && partialLength == 0) fieldCount = fields;
      int c = PartialLength(fieldCount, partialLength);
      if (layout.Descending())
        FillKeyHigh(key.data(), c);
      else
        FillKeyLow(key.data(), c);
      SearchKey(key.data(), true, false);
      found = CurrentRecordNumber() != 0 && !Eof_ && CompareKeys(CurrentKey_.data(), key.data(), c) == 0;
      if (!found && layout.UsesCollation()) found = FindCasedPrefix(key.data(), c);
    } else {
      found = SearchKey(key.data(), nearest, false);
    }
    if (Eof_ && !Bof_) GoLast();
    LoadRecordBuffer();
    if (out) std::memcpy(out, RecordBuffer_.data(), RecordSize_);
    return found;
  });
}

// ---- Ranges -----------------------------------------------------------------------------------------

void TDataCursor::MakeBound(bool dataIsKey, const uint8_t* data, int count, bool high,
                            uint8_t* key) const {
  const int size = KeySize();
  const TKeyLayout& layout = Layout();
  if (data == nullptr) {
    // The ends of the index's own order (mirrored for a descending index; with a language,
    // strings end at the collation's lowest and highest characters).
    std::memset(key, 0, size_t(size));
    if (high != layout.Descending())
      layout.HighestKey(key);
    else
      layout.LowestKey(key);
    return;
  }
  if (dataIsKey)
    std::memcpy(key, data, size_t(size));
  else
    BuildKey(data, key);
  const int fields = int(layout.Parts().size());
  if ((count > 0 && count < fields) || !layout.Unique()) {
    if (count <= 0 || count > fields) count = fields;
    int c = PartialLength(count, 0);
    if (high != layout.Descending())
      FillKeyHigh(key, c);
    else
      FillKeyLow(key, c);
  }
}

void TDataCursor::SetRange(bool dataIsKey, const uint8_t* start, int endFieldCount,
                           const uint8_t* end, int startFieldCount) {
  RequireOpen();
  if (NaturalOrder_) return;
  Bracketed([&] {
    std::vector<uint8_t> low(kMaxKeyLength, 0), high(kMaxKeyLength, 0);
    MakeBound(dataIsKey, start, startFieldCount, false, low.data());
    MakeBound(dataIsKey, end, endFieldCount, true, high.data());
    StartKey_ = low;
    EndKey_ = high;
    RangeActive_ = true;
    ComputeRangeLimits();
    if (BitmapMode_) RebuildVisible();
    Reseek();
  });
}

void TDataCursor::ResetRange() {
  RequireOpen();
  if (NaturalOrder_) return;
  Bracketed([&] {
    std::fill(StartKey_.begin(), StartKey_.end(), 0);
    std::fill(EndKey_.begin(), EndKey_.end(), 0xFF);
    RangeActive_ = false;
    ComputeRangeLimits();
    if (BitmapMode_) RebuildVisible();
    Reseek();
  });
}

void TDataCursor::ComputeRangeLimits() {
  ForgetWalkWindow();
  const int64_t records = Table_->IndexFile().ActiveRecords();
  if (!RangeActive_ || NaturalOrder_) {
    First_ = 1;
    Last_ = records;
    return;
  }
  const int size = KeySize();
  First_ = Last_ = 0;
  if (CompareKeys(StartKey_.data(), EndKey_.data(), size) > 0) return;
  TSpot spot;
  int32_t record = 0;
  std::vector<uint8_t> key;
  if (!BoundSpot(StartKey_.data(), true, spot, record, key)) return;
  int64_t first = spot.Logical;
  if (!BoundSpot(EndKey_.data(), false, spot, record, key)) return;
  int64_t last = spot.Logical;
  if (last < first) return;
  First_ = first;
  Last_ = last;
}

// ---- Bookmarks -----------------------------------------------------------------------------------------

void TDataCursor::GetBookmark(uint8_t* bookmark) const {
  SettlePending();
  if (NaturalOrder_) {
    int32_t n = CurrentRecordNumber() != 0 || !(Bof_ && Eof_) ? Physical_ : 0;
    std::memcpy(bookmark, &n, sizeof n);
    return;
  }
  const int size = KeySize();
  if (size <= 0) return;
  if (Spot_.Page == 0 || CurrentKey_.size() < size_t(size))
    std::memset(bookmark, 0, size_t(size));
  else
    std::memcpy(bookmark, CurrentKey_.data(), size_t(size));
}

int TDataCursor::CompareBookmarks(const uint8_t* a, const uint8_t* b) const {
  if (NaturalOrder_) {
    int32_t x, y;
    std::memcpy(&x, a, sizeof x);
    std::memcpy(&y, b, sizeof y);
    return x > y ? 1 : x < y ? -1 : 0;
  }
  return CompareKeys(a, b, KeySize());
}

void TDataCursor::NaturalSeek(int32_t physical) {
  if (!HasVisibleRecords()) return TakeEmptyState();
  const TRecordsBitmap& visible = *Visible_;
  physical = std::clamp<int32_t>(physical, 1, int32_t(std::max<uint32_t>(visible.Size(), 1)));
  uint32_t position = uint32_t(physical - 1);
  int32_t counter = 0;
  if (!visible.NextMembers(position, 1, counter).Found) {
    position = uint32_t(physical + 1);
    if (!visible.PriorMembers(position, 1, counter).Found) return TakeEmptyState();
  }
  Physical_ = int32_t(position);
  Spot_.Logical = int64_t(visible.CountBefore(position)) + 1;
  if (Bof_ && Eof_) Bof_ = Eof_ = false;
}

// A crack survives a re-seek only where a step would have kept it: before the first
// visible record, after the last.
void TDataCursor::KeepNaturalCrack(bool bof, bool eof) {
  if (Bof_ && Eof_) return;
  Bof_ = bof && !eof && Spot_.Logical == 1;
  Eof_ = eof && !bof && Spot_.Logical == VisibleCount_;
}

void TDataCursor::SetToBookmarkLocal(const uint8_t* bookmark, bool keepCrack) {
  if (NaturalOrder_) {
    int32_t n;
    std::memcpy(&n, bookmark, sizeof n);
    const bool bof = Bof_, eof = Eof_;
    if (n != 0) {
      NaturalSeek(n);
      if (keepCrack)
        KeepNaturalCrack(bof, eof);
      else if (!(Bof_ && Eof_))
        Bof_ = Eof_ = false;
    } else if (Physical_ == 0) {
      GoFirst();
      if (!(Bof_ && Eof_)) Bof_ = true;
    }
  } else {
    SearchKey(bookmark, true, keepCrack);
  }
  LoadRecordBuffer();
}

bool TDataCursor::SetToBookmark(const uint8_t* bookmark, bool keepCrack, bool) {
  RequireOpen();
  return Bracketed([&] {
    SetToBookmarkLocal(bookmark, keepCrack);
    if (keepCrack) return true;
    std::vector<uint8_t> now(static_cast<size_t>(BookmarkSize()));
    GetBookmark(now.data());
    return std::memcmp(now.data(), bookmark, now.size()) == 0;
  });
}

void TDataCursor::Reseek() {
  // A position still pending is taken afresh, under what is in force by then.
  if (BeginPending_) return;
  if (NaturalOrder_) {
    if (Physical_ == 0) {
      GoFirst();
      if (!(Bof_ && Eof_)) Bof_ = true;
    } else {
      const bool bof = Bof_, eof = Eof_;
      NaturalSeek(Physical_);
      KeepNaturalCrack(bof, eof);
    }
  } else {
    bool hasRecord = std::any_of(RecordBuffer_.begin(), RecordBuffer_.end(), [](uint8_t b) { return b != 0; });
    if (!hasRecord) {
      GoFirst();
      if (!(Bof_ && Eof_)) Bof_ = true;
    } else {
      std::vector<uint8_t> key(static_cast<size_t>(KeySize()));
      BuildKey(RecordBuffer_.data(), key.data());
      SearchKey(key.data(), true, true);
    }
  }
  LoadRecordBuffer();
}

uint16_t TDataCursor::SetToRecBuf(TDataCursor& other) {
  RequireOpen();
  return Bracketed([&]() -> uint16_t {
    uint16_t result = 0;
    if (NaturalOrder_) {
      int32_t wanted = other.CurrentRecordNumber();
      NaturalSeek(wanted);
      if (Physical_ != wanted || wanted == 0) result = VELDOR_RECNOTFOUND;
      else Bof_ = Eof_ = false;
    } else {
      std::vector<uint8_t> key(static_cast<size_t>(KeySize()));
      BuildKey(other.RecordBuffer(), key.data());
      if (!SearchKey(key.data(), false, false)) result = VELDOR_RECNOTFOUND;
    }
    LoadRecordBuffer();
    return result;
  });
}

}  // namespace veldor
