#include "engine/btree.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <vector>

#include "engine/data_table.h"
#include "engine/errors.h"
#include "lib/records_bitmap.h"

namespace veldor {
namespace {

// A key copied out of a page, so that it survives changes to the page it came from.
struct TKeyCopy {
  explicit TKeyCopy(const uint8_t* key, int length) : Bytes(key, key + length) {}
  const uint8_t* Data() const { return Bytes.data(); }
  std::vector<uint8_t> Bytes;
};

}  // namespace

TBTree::TBTree(TIndexFile& file, int index, const TKeyLayout& layout)
    : File_(file), Index_(index), Layout_(layout) {}

void TBTree::Corrupt() const { RaiseTableError(VELDOR_INDEXCORRUPT, File_.Table()->Name()); }

TPage* TBTree::Get(int32_t number, TReadHooks* hooks) {
  // Only AllocatePage appends pages: a reference to the next page number is corrupt.
  if (number <= 0 || number >= File_.Header().NextPageNumber()) Corrupt();
  return File_.GetPage(Index_, number, hooks);
}

int64_t TBTree::KeyCount(TReadHooks* hooks) {
  int32_t root = RootPage();
  if (root == 0) return 0;
  TPageRef page(Get(root, hooks));
  return page ? page->TotalCount() : 0;
}

// ---- Searching inside a page ------------------------------------------------------------------

int TBTree::Locate(const TPage& page, const uint8_t* key, TLocate mode, bool& found,
                   int64_t* ordinal) const {
  int count = page.Count();
  if (count <= 0) Corrupt();
  // Binary search for the first entry not below `key`.
  int lo = 1, hi = count + 1;
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    if (Layout_.Compare(page.Key(mid), key) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  found = lo <= count && Layout_.Compare(page.Key(lo), key) == 0;
  int position;
  if (found) {
    position = lo;
  } else if (!page.IsLeaf()) {
    position = std::max(lo - 1, 1);
  } else {
    switch (mode) {
      case TLocate::DescentAfter:
      case TLocate::LowerBound: position = std::min(lo, count); break;
      default: position = std::max(lo - 1, 1); break;
    }
  }
  if (ordinal) {
    if (page.IsLeaf()) {
      *ordinal += position - 1;
    } else {
      for (int i = 1; i < position; ++i) *ordinal += page.SubtreeCount(i);
    }
  }
  return position;
}

int TBTree::InsertPosition(const TPage& page, const uint8_t* key) const {
  int lo = 0, hi = page.Count();  // answer in 0..count: entries 1..answer are <= key
  while (lo < hi) {
    int mid = (lo + hi + 1) / 2;
    if (Layout_.Compare(page.Key(mid), key) <= 0)
      lo = mid;
    else
      hi = mid - 1;
  }
  return lo;
}

// ---- Descents -------------------------------------------------------------------------------

bool TBTree::Descend(const uint8_t* key, TLocate mode, TIndexPath& path, int64_t& ordinal,
                     TReadHooks* hooks, bool* changed) {
  path.Clear();
  ordinal = 0;
  if (changed) *changed = false;
  int32_t number = RootPage();
  if (number == 0) return false;
  for (;;) {
    if (path.Depth >= kMaxPathLevels) Corrupt();
    TPageRef page(Get(number, hooks));
    if (!page) {
      if (changed) *changed = true;
      path.Clear();
      return false;
    }
    bool found;
    int position = Locate(*page, key, mode, found, &ordinal);
    path.Levels[size_t(path.Depth++)] = {number, position};
    if (page->IsLeaf()) break;
    number = page->Reference(position);
  }
  ordinal += 1;
  return true;
}

bool TBTree::SeekOrdinal(int64_t ordinal, TIndexPath& path, TReadHooks* hooks, bool* changed) {
  path.Clear();
  if (changed) *changed = false;
  int32_t number = RootPage();
  if (number == 0 || ordinal < 1) return false;
  int64_t remaining = ordinal;  // 1-based within the current subtree
  for (;;) {
    if (path.Depth >= kMaxPathLevels) Corrupt();
    TPageRef page(Get(number, hooks));
    if (!page) {
      if (changed) *changed = true;
      path.Clear();
      return false;
    }
    if (page->Count() <= 0) Corrupt();
    if (page->IsLeaf()) {
      if (remaining > page->Count()) {
        path.Clear();
        return false;
      }
      path.Levels[size_t(path.Depth++)] = {number, int(remaining)};
      return true;
    }
    int position = 1;
    while (position < page->Count() && remaining > page->SubtreeCount(position)) {
      remaining -= page->SubtreeCount(position);
      ++position;
    }
    path.Levels[size_t(path.Depth++)] = {number, position};
    number = page->Reference(position);
  }
}

bool TBTree::KeyExists(const uint8_t* key, TReadHooks* hooks) {
  int32_t number = RootPage();
  if (number == 0) return false;
  for (int depth = 0;; ++depth) {
    if (depth >= kMaxPathLevels) Corrupt();
    TPageRef page(Get(number, hooks));  // a child number of 0 is corrupt there
    if (!page) return false;
    bool found;
    int position = Locate(*page, key, TLocate::Descent, found);
    if (page->IsLeaf()) return found;
    number = page->Reference(position);
  }
}

// ---- Key maintenance ---------------------------------------------------------------------------

void TBTree::Insert(const uint8_t* key, int32_t record, TIndexPath& path) {
  path.Clear();
  int32_t root = RootPage();
  if (root == 0) {
    TPageRef page(File_.AllocatePage(Index_));
    page->SetType(PAGE_ROOT_LEAF);
    page->InsertEntry(0, key, record, 1);
    page->SetModified();
    File_.SetRootPage(Index_, page->PageNumber());
    path.Levels[0] = {page->PageNumber(), 1};
    path.Depth = 1;
    return;
  }
  // Record the path first; counts change only once the leaf is known.
  int32_t number = root;
  for (;;) {
    if (path.Depth >= kMaxPathLevels) Corrupt();
    TPageRef page(Get(number));
    if (page->IsLeaf()) {
      path.Levels[size_t(path.Depth++)] = {number, InsertPosition(*page, key)};
      break;
    }
    bool found;
    int position = Locate(*page, key, TLocate::Descent, found);
    path.Levels[size_t(path.Depth++)] = {number, position};
    number = page->Reference(position);
  }
  for (int level = 0; level + 1 < path.Depth; ++level) {
    TPageRef page(Get(path.Levels[size_t(level)].Page));
    int position = path.Levels[size_t(level)].Position;
    page->SetSubtreeCount(position, page->SubtreeCount(position) + 1);
    page->SetModified();
  }
  InsertEntry(path, path.Depth - 1, key, 1, record);
}

void TBTree::Delete(const uint8_t* key, TIndexPath& path) {
  path.Clear();
  int32_t number = RootPage();
  if (number == 0) Corrupt();
  for (;;) {
    if (path.Depth >= kMaxPathLevels) Corrupt();
    TPageRef page(Get(number));
    bool found;
    int position = Locate(*page, key, TLocate::Descent, found);
    path.Levels[size_t(path.Depth++)] = {number, position};
    if (page->IsLeaf()) {
      if (!found) Corrupt();  // the key to delete must be in the index
      break;
    }
    number = page->Reference(position);
  }
  for (int level = 0; level + 1 < path.Depth; ++level) {
    TPageRef page(Get(path.Levels[size_t(level)].Page));
    int position = path.Levels[size_t(level)].Position;
    page->SetSubtreeCount(position, page->SubtreeCount(position) - 1);
    page->SetModified();
  }
  DeleteEntry(path, path.Depth - 1);
}

void TBTree::Replace(const uint8_t* oldKey, const uint8_t* newKey, int32_t record,
                     TIndexPath& path) {
  Delete(oldKey, path);
  Insert(newKey, record, path);
}

void TBTree::FreeAllPages() {
  int32_t root = RootPage();
  if (root == 0) return;
  // Depth-first, children before their parent; an explicit stack bounds the depth.
  struct TFrame {
    int32_t Page;
    int Next;  // next child position to visit
  };
  std::vector<TFrame> stack{{root, 1}};
  std::set<int32_t> seen{root};
  while (!stack.empty()) {
    if (stack.size() > size_t(kMaxPathLevels)) Corrupt();
    TFrame& frame = stack.back();
    TPageRef page(Get(frame.Page));
    if (!page->IsLeaf() && frame.Next <= page->Count()) {
      int32_t child = page->Reference(frame.Next++);
      if (!seen.insert(child).second) Corrupt();  // a page reached twice: not a tree
      stack.push_back({child, 1});
      continue;
    }
    File_.FreePage(Index_, page.Get());
    stack.pop_back();
  }
  File_.SetRootPage(Index_, 0);
}

// ---- Page operations along a path ------------------------------------------------------------

void TBTree::ReplaceSeparator(TIndexPath& path, int level, const uint8_t* key) {
  // The first key of the page at `level` changed: its parent's entry follows, and so on up
  // while the entry changed is itself the first of its page.
  for (int up = level - 1; up >= 0; --up) {
    TPageRef parent(Get(path.Levels[size_t(up)].Page));
    int position = path.Levels[size_t(up)].Position;
    if (position < 1 || position > parent->Count()) Corrupt();
    parent->SetKey(position, key);
    parent->SetModified();
    if (position != 1) break;
  }
}

void TBTree::InsertEntry(TIndexPath& path, int level, const uint8_t* key, int32_t count,
                         int32_t reference) {
  TPathLevel& at = path.Levels[size_t(level)];
  {
    TPageRef page(Get(at.Page));
    if (at.Position < 0 || at.Position > page->Count()) Corrupt();
    page->InsertEntry(at.Position, key, reference, count);
    page->SetModified();
    at.Position += 1;
    if (at.Position == 1 && level > 0) ReplaceSeparator(path, level, key);
    if (!page->Overfull()) return;
  }
  SplitPage(path, level);
}

void TBTree::SplitPage(TIndexPath& path, int level) {
  TPathLevel& at = path.Levels[size_t(level)];
  TPageRef p(Get(at.Page));
  bool wasRoot = p->IsRoot();
  bool leaf = p->IsLeaf();
  TPageRef q(File_.AllocatePage(Index_));
  int n = p->Count();
  int keep = (n + 1) / 2;
  q->AppendEntries(*p, keep + 1, n);
  p->RemoveEntries(keep + 1, n);
  if (p->Compressed()) {
    // Compressed leaves split by packed bytes: move entries across until both halves fit.
    while (p->PackedSize() > int(kPageDataSize) && p->Count() > 1) {
      q->PrependEntries(*p, p->Count(), p->Count());
      p->RemoveEntries(p->Count(), p->Count());
    }
    while (q->PackedSize() > int(kPageDataSize) && q->Count() > 1) {
      p->AppendEntries(*q, 1, 1);
      q->RemoveEntries(1, 1);
    }
    if (p->PackedSize() > int(kPageDataSize) || q->PackedSize() > int(kPageDataSize)) Corrupt();
  }
  uint8_t type = leaf ? PAGE_LEAF : PAGE_INTERNAL;
  p->SetType(type);
  q->SetType(type);
  q->SetNext(p->Next());
  if (p->Next() != 0) {
    TPageRef after(Get(p->Next()));
    after->SetPrevious(q->PageNumber());
    after->SetModified();
  }
  p->SetNext(q->PageNumber());
  q->SetPrevious(p->PageNumber());
  p->SetModified();
  q->SetModified();
  // The path follows the entry it stood on into the new page.
  bool movedToQ = at.Position > p->Count();
  if (movedToQ) {
    at.Page = q->PageNumber();
    at.Position -= p->Count();
  }

  if (wasRoot) {
    TPageRef r(File_.AllocatePage(Index_));
    r->SetType(PAGE_ROOT);
    r->InsertEntry(0, p->Key(1), p->PageNumber(), int32_t(p->TotalCount()));
    r->InsertEntry(1, q->Key(1), q->PageNumber(), int32_t(q->TotalCount()));
    r->SetModified();
    File_.SetRootPage(Index_, r->PageNumber());
    // The path gains the new root above everything.
    if (path.Depth >= kMaxPathLevels) Corrupt();
    for (int i = path.Depth; i > 0; --i) path.Levels[size_t(i)] = path.Levels[size_t(i - 1)];
    path.Levels[0] = {r->PageNumber(), movedToQ ? 2 : 1};
    path.Depth += 1;
    return;
  }
  // Update the parent: P's count, then Q's entry after P's.
  TPathLevel& up = path.Levels[size_t(level - 1)];
  TKeyCopy qKey(q->Key(1), q->KeyLength());
  int32_t qNumber = q->PageNumber();
  int32_t qCount = int32_t(q->TotalCount());
  {
    TPageRef parent(Get(up.Page));
    if (up.Position < 1 || up.Position > parent->Count()) Corrupt();
    parent->SetSubtreeCount(up.Position, int32_t(p->TotalCount()));
    parent->SetModified();
  }
  p.Reset();
  q.Reset();
  InsertEntry(path, level - 1, qKey.Data(), qCount, qNumber);
}

void TBTree::DeleteEntry(TIndexPath& path, int level) {
  TPathLevel& at = path.Levels[size_t(level)];
  TPageRef page(Get(at.Page));
  if (at.Position < 1 || at.Position > page->Count()) Corrupt();
  bool first = at.Position == 1;
  page->RemoveEntry(at.Position);
  page->SetModified();
  if (at.Position > page->Count()) at.Position = page->Count();
  if (page->Count() > 0 && first && level > 0) {
    TKeyCopy key(page->Key(1), page->KeyLength());
    ReplaceSeparator(path, level, key.Data());
  }
  page.Reset();
  HandleUnderflow(path, level);
}

void TBTree::HandleUnderflow(TIndexPath& path, int level) {
  TPathLevel& at = path.Levels[size_t(level)];
  TPageRef p(Get(at.Page));
  int count = p->Count();

  if (level == 0) {
    // The root: an empty root leaf empties the index; an internal root left with one
    // entry hands the root over to its only child.
    if (p->IsLeaf()) {
      if (count == 0) {
        File_.FreePage(Index_, p.Get());
        File_.SetRootPage(Index_, 0);
        path.Clear();
      }
      return;
    }
    if (count == 1) {
      int32_t child = p->Reference(1);
      File_.FreePage(Index_, p.Get());
      p.Reset();
      TPageRef c(Get(child));
      c->SetType(c->IsLeaf() ? PAGE_ROOT_LEAF : PAGE_ROOT);
      c->SetPrevious(0);
      c->SetNext(0);
      c->SetModified();
      File_.SetRootPage(Index_, child);
      for (int i = 0; i + 1 < path.Depth; ++i) path.Levels[size_t(i)] = path.Levels[size_t(i + 1)];
      path.Depth -= 1;
      return;
    }
    if (count == 0) Corrupt();
    return;
  }

  bool compressed = p->Compressed();
  if (compressed ? count > 0 : count >= p->Capacity() / 2) return;

  TPathLevel& up = path.Levels[size_t(level - 1)];
  TPageRef parent(Get(up.Page));
  int pp = up.Position;
  if (pp < 1 || pp > parent->Count() || parent->Reference(pp) != p->PageNumber()) Corrupt();

  if (compressed) {
    // An empty compressed leaf leaves the level and its parent entry goes.
    if (p->Previous() != 0) {
      TPageRef prev(Get(p->Previous()));
      prev->SetNext(p->Next());
      prev->SetModified();
    }
    if (p->Next() != 0) {
      TPageRef next(Get(p->Next()));
      next->SetPrevious(p->Previous());
      next->SetModified();
    }
    File_.FreePage(Index_, p.Get());
    p.Reset();
    parent.Reset();
    DeleteEntry(path, level - 1);
    // The path below the parent pointed at the freed page; the caller re-seeks anyway.
    path.Depth = std::min(path.Depth, level);
    return;
  }

  bool useNext = pp == 1 && parent->Count() > 1;
  if (!useNext && pp == 1) Corrupt();  // a non-root page that is its parent's only child
  int capacity = p->Capacity();
  if (!useNext) {
    int32_t leftNumber = parent->Reference(pp - 1);
    if (p->Previous() != leftNumber) Corrupt();
    TPageRef l(Get(leftNumber));
    if (l->Next() != p->PageNumber()) Corrupt();
    if (l->Count() + count < capacity) {
      int leftCount = l->Count();
      if (count > 0) l->AppendEntries(*p, 1, count);
      l->SetNext(p->Next());
      if (p->Next() != 0) {
        TPageRef next(Get(p->Next()));
        next->SetPrevious(leftNumber);
        next->SetModified();
      }
      l->SetModified();
      parent->SetSubtreeCount(pp - 1, int32_t(l->TotalCount()));
      parent->SetModified();
      File_.FreePage(Index_, p.Get());
      p.Reset();
      l.Reset();
      parent.Reset();
      // The path moves onto the merged page, then the parent loses P's entry.
      at = {leftNumber, std::max(1, leftCount + at.Position)};
      up.Position = pp;
      DeleteEntry(path, level - 1);
      return;
    }
    // Redistribute: L keeps the first half of the combined entries.
    int total = l->Count() + count;
    int keepLeft = (total + 1) / 2;
    int move = l->Count() - keepLeft;  // entries L gives to the front of P
    if (move > 0) {
      p->PrependEntries(*l, keepLeft + 1, l->Count());
      l->RemoveEntries(keepLeft + 1, l->Count());
      at.Position += move;
    }
    l->SetModified();
    p->SetModified();
    parent->SetSubtreeCount(pp - 1, int32_t(l->TotalCount()));
    parent->SetSubtreeCount(pp, int32_t(p->TotalCount()));
    parent->SetModified();
    TKeyCopy key(p->Key(1), p->KeyLength());
    parent.Reset();
    up.Position = pp;
    ReplaceSeparator(path, level, key.Data());
    return;
  }
  int32_t rightNumber = parent->Reference(pp + 1);
  if (p->Next() != rightNumber) Corrupt();
  TPageRef r(Get(rightNumber));
  if (r->Previous() != p->PageNumber()) Corrupt();
  if (r->Count() + count < capacity) {
    if (count > 0) r->PrependEntries(*p, 1, count);
    r->SetPrevious(p->Previous());
    if (p->Previous() != 0) {
      TPageRef prev(Get(p->Previous()));
      prev->SetNext(rightNumber);
      prev->SetModified();
    }
    r->SetModified();
    parent->SetSubtreeCount(pp + 1, int32_t(r->TotalCount()));
    parent->SetKey(pp + 1, r->Key(1));
    parent->SetModified();
    File_.FreePage(Index_, p.Get());
    p.Reset();
    r.Reset();
    parent.Reset();
    // P's entry (position 1 of the parent) goes; its successor, now first, already carries
    // the merged page's first key.
    at = {rightNumber, std::max(1, at.Position)};
    up.Position = pp;
    DeleteEntry(path, level - 1);
    return;
  }
  int total = r->Count() + count;
  int keepP = total / 2;
  int move = keepP - count;  // entries R gives to the end of P
  if (move > 0) {
    p->AppendEntries(*r, 1, move);
    r->RemoveEntries(1, move);
  }
  p->SetModified();
  r->SetModified();
  parent->SetSubtreeCount(pp, int32_t(p->TotalCount()));
  parent->SetSubtreeCount(pp + 1, int32_t(r->TotalCount()));
  parent->SetKey(pp + 1, r->Key(1));
  parent->SetModified();
  // An emptied P took its first entry from R: its own separator follows.
  if (Layout_.Compare(parent->Key(pp), p->Key(1)) != 0) {
    TKeyCopy key(p->Key(1), p->KeyLength());
    parent.Reset();
    up.Position = pp;
    ReplaceSeparator(path, level, key.Data());
  }
}

// ---- Leaf scans --------------------------------------------------------------------------------

int TBTree::ReadAheadRun(const TPage& leaf, int position, bool forward, int limit) {
  if (position < 1 || position > leaf.Count() || limit <= 0) return 0;
  int run = 1;
  int step = forward ? 1 : -1;
  for (int i = position + step; run < limit && i >= 1 && i <= leaf.Count(); i += step) {
    if (leaf.Reference(i) != leaf.Reference(i - step) + step) break;
    ++run;
  }
  return run;
}

bool TBTree::StepFiltered(const TPage& leaf, int& position, bool forward,
                          const TRecordsBitmap& bitmap, const uint8_t* bound, int& steps) const {
  int step = forward ? 1 : -1;
  for (int i = position + step; i >= 1 && i <= leaf.Count(); i += step) {
    ++steps;
    if (bound) {
      int c = Layout_.Compare(leaf.Key(i), bound);
      if (forward ? c > 0 : c < 0) return false;
    }
    int32_t record = leaf.Reference(i);
    if (record >= 1 && uint32_t(record) <= bitmap.Size() && bitmap.GetBit(uint32_t(record))) {
      position = i;
      return true;
    }
  }
  return false;
}

bool TBTree::RangeToBitmap(const TPage& leaf, int start, const uint8_t* endKey,
                           TRecordsBitmap& bitmap) const {
  for (int i = std::max(start, 1); i <= leaf.Count(); ++i) {
    if (endKey && Layout_.Compare(leaf.Key(i), endKey) > 0) return false;
    int32_t record = leaf.Reference(i);
    if (record < 1 || uint32_t(record) > bitmap.Size()) Corrupt();
    bitmap.SetBit(uint32_t(record));
  }
  return true;
}

// ---- Integrity -----------------------------------------------------------------------------------

std::string TBTree::Check() {
  std::string problem;
  auto fail = [&](const std::string& what, int32_t page) {
    if (problem.empty()) problem = what + " (page " + std::to_string(page) + ")";
  };
  std::set<int32_t> treePages;
  int32_t root = RootPage();
  int32_t pages = File_.PageCount();
  if (root != 0) {
    // Level by level from the root, following the first entries down.
    std::vector<int32_t> level{root};
    std::vector<uint8_t> previousLast;  // last key of the previous leaf, for key order
    int depth = 0;
    while (!level.empty() && problem.empty()) {
      if (++depth > kMaxPathLevels) {
        fail("tree deeper than 64 levels", root);
        break;
      }
      std::vector<int32_t> below;
      int32_t expectedPrevious = 0;
      bool leaves = false;
      for (size_t i = 0; i < level.size() && problem.empty(); ++i) {
        int32_t number = level[i];
        if (number < 1 || number > pages) {
          fail("page number out of range", number);
          break;
        }
        if (!treePages.insert(number).second) {
          fail("page reached twice", number);
          break;
        }
        TPageRef page(Get(number));
        if (page->Free()) fail("free page in the tree", number);
        if (page->Count() == 0) fail("empty page in the tree", number);
        bool isRoot = number == root;
        uint8_t type = page->Type();
        if (isRoot != (type == PAGE_ROOT || type == PAGE_ROOT_LEAF)) fail("wrong page type", number);
        if (i == 0) leaves = page->IsLeaf();
        if (page->IsLeaf() != leaves) fail("leaves at different depths", number);
        if (page->Overfull()) fail("overfull page", number);
        // Sibling links: the level's pages in order, chained both ways.
        if (!isRoot) {
          if (page->Previous() != expectedPrevious) fail("broken previous link", number);
          int32_t expectedNext = i + 1 < level.size() ? level[i + 1] : 0;
          if (page->Next() != expectedNext) fail("broken next link", number);
        }
        expectedPrevious = number;
        for (int e = 1; e < page->Count(); ++e)
          if (Layout_.Compare(page->Key(e), page->Key(e + 1)) >= 0) fail("keys out of order", number);
        if (page->IsLeaf()) {
          if (!previousLast.empty() && page->Count() > 0 &&
              Layout_.Compare(previousLast.data(), page->Key(1)) >= 0)
            fail("keys out of order across leaves", number);
          if (page->Count() > 0)
            previousLast.assign(page->Key(page->Count()), page->Key(page->Count()) + page->KeyLength());
          continue;
        }
        for (int e = 1; e <= page->Count() && problem.empty(); ++e) {
          int32_t child = page->Reference(e);
          if (child < 1 || child > pages) {
            fail("child out of range", number);
            break;
          }
          TPageRef c(Get(child));
          if (c->Count() == 0) {
            fail("empty child", child);
            break;
          }
          if (c->TotalCount() != page->SubtreeCount(e)) fail("subtree count wrong", number);
          if (Layout_.Compare(c->Key(1), page->Key(e)) != 0) fail("separator is not the child's first key", number);
          below.push_back(child);
        }
      }
      level = below;
    }
  }
  // The free chain: pages outside the tree, each marked free, no cycle.
  std::set<int32_t> freePages;
  for (int32_t number = File_.Descriptor(Index_).FreePage(); number != 0 && problem.empty();) {
    if (number < 1 || number > pages) {
      fail("free chain leaves the file", number);
      break;
    }
    if (treePages.count(number)) fail("free page also in the tree", number);
    if (!freePages.insert(number).second) {
      fail("free chain loops", number);
      break;
    }
    TPageRef page(Get(number));
    if (!page->Free() && page->Count() != 0) fail("free chain page holds entries", number);
    number = page->Next();
  }
  return problem;
}

}  // namespace veldor
