// The tree operations on one index of an index file: searching, inserting and deleting
// keys with page splits, merges and redistribution, subtree counts, and the leaf scans
// that navigation, ranges and filters use.
//
// A B+-tree whose internal entries carry the first key of their child's subtree and the
// number of keys below it, so that a key's ordinal position is summed while descending.
// `TBTree` is a short-lived view (index file, index number, key layout); it holds nothing
// between calls but its arguments. Operations that change the tree expect the table's
// write lock (or exclusive use) and read pages without change checks; the searches accept
// read hooks and report a change by others by returning false / an empty result so that
// the caller re-synchronises and retries. Every inconsistency met in the pages raises
// VELDOR_INDEXCORRUPT naming the table.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "engine/index_file.h"
#include "engine/index_key.h"

namespace veldor {

class TReadHooks;
class TRecordsBitmap;

// The pages from the root to the current page with the entry position in each (1-based).
struct TPathLevel {
  int32_t Page = 0;
  int Position = 0;
};

struct TIndexPath {
  std::array<TPathLevel, kMaxPathLevels> Levels;
  int Depth = 0;  // levels in use; Levels[Depth - 1] is the current page
  void Clear() { Depth = 0; }
  bool Empty() const { return Depth == 0; }
  TPathLevel& Current() { return Levels[size_t(Depth - 1)]; }
  const TPathLevel& Current() const { return Levels[size_t(Depth - 1)]; }
};

// How a search positions inside a page.
enum class TLocate {
  Descent,       // equal, else internal: last below (first when below all); leaf: last below
  DescentAfter,  // as Descent, but in a leaf the first above (or the last entry)
  LowerBound,    // leaf: equal or first above (last when all below); internal: equal or last below
  UpperBound,    // any page: equal or last below (entry 1 when all above)
};

class TBTree {
 public:
  TBTree(TIndexFile& file, int index, const TKeyLayout& layout);

  int Index() const { return Index_; }
  const TKeyLayout& Layout() const { return Layout_; }
  int32_t RootPage() const { return File_.Descriptor(Index_).RootPage(); }
  // Number of keys in the index (the root's total); 0 when empty.
  int64_t KeyCount(TReadHooks* hooks = nullptr);

  // ---- Searching inside one page ----
  // Position of `key` in `page` by `mode`; `found` tells whether an equal key is there;
  // `ordinal` (when given) grows by the keys before the position. An empty page is
  // corrupt.
  int Locate(const TPage& page, const uint8_t* key, TLocate mode, bool& found,
             int64_t* ordinal = nullptr) const;
  // The position after which `key` is inserted (0 in front of every entry).
  int InsertPosition(const TPage& page, const uint8_t* key) const;

  // ---- Descents ----
  // Descends to the leaf for `key` by `mode`, filling `path` and the 1-based ordinal of
  // the entry reached. False when the index is empty or a read hook saw a change (then
  // `changed` is set).
  bool Descend(const uint8_t* key, TLocate mode, TIndexPath& path, int64_t& ordinal,
               TReadHooks* hooks = nullptr, bool* changed = nullptr);
  // Descends to the entry at 1-based `ordinal` (1..KeyCount()).
  bool SeekOrdinal(int64_t ordinal, TIndexPath& path, TReadHooks* hooks = nullptr,
                   bool* changed = nullptr);
  // Whether an entry equal to `key` over the whole key exists.
  bool KeyExists(const uint8_t* key, TReadHooks* hooks = nullptr);

  // ---- Key maintenance (write lock held) ----
  // Inserts `key` with `record`; ancestor counts grow on the way down, pages split and
  // separators follow on the way up. `path` is the descent's working path: afterwards it
  // need not describe where the entry ended up (callers that stand on it descend again).
  void Insert(const uint8_t* key, int32_t record, TIndexPath& path);
  // Removes `key` (VELDOR_INDEXCORRUPT when it is not there). As with Insert, `path` is
  // the working path afterwards; callers that need a position descend again.
  void Delete(const uint8_t* key, TIndexPath& path);
  void Replace(const uint8_t* oldKey, const uint8_t* newKey, int32_t record, TIndexPath& path);
  // Frees every page of the tree, children before parents, and empties the index.
  void FreeAllPages();

  // ---- Page operations along a path ----
  // Inserts (key, count, reference) after the current position of the page at `level`
  // (0 = root); splits and grows the root as needed.
  void InsertEntry(TIndexPath& path, int level, const uint8_t* key, int32_t count,
                   int32_t reference);
  // Removes the entry at the current position of the page at `level`; merges or
  // redistributes with a sibling, shrinks the root.
  void DeleteEntry(TIndexPath& path, int level);

  // ---- Leaf scans ----
  // Entries from `position` on (forward) or back whose record numbers run consecutively
  // (each one more, or less, than the previous); at most `limit`.
  static int ReadAheadRun(const TPage& leaf, int position, bool forward, int limit);
  // Moves from `position` (exclusive) forward or backward to the first entry whose record
  // is in `bitmap` and, with `bound`, not beyond it; `steps` counts the entries passed.
  // False at the page's end (start) or past the bound.
  bool StepFiltered(const TPage& leaf, int& position, bool forward, const TRecordsBitmap& bitmap,
                    const uint8_t* bound, int& steps) const;
  // Sets the bits of the records of entries `start`..end of page while their key is not
  // above `endKey`; true when the page's end was reached (the caller goes on).
  bool RangeToBitmap(const TPage& leaf, int start, const uint8_t* endKey,
                     TRecordsBitmap& bitmap) const;

  // ---- Integrity ----
  // Walks the whole tree and its free chain: key order, separators, subtree counts, page
  // types, sibling links, fullness, equal leaf depth, free pages outside the tree. Returns
  // "" when sound, else a description of the first problem found.
  std::string Check();

 private:
  TPage* Get(int32_t number, TReadHooks* hooks = nullptr);
  void ReplaceSeparator(TIndexPath& path, int level, const uint8_t* key);
  void SplitPage(TIndexPath& path, int level);
  void HandleUnderflow(TIndexPath& path, int level);
  [[noreturn]] void Corrupt() const;

  TIndexFile& File_;
  int Index_;
  const TKeyLayout& Layout_;
};

}  // namespace veldor
