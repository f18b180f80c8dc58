// One index page in memory, and the pool of spare pages.
//
// `TPage` keeps a page's entries in a fixed-width form, K + 10 bytes each (the key, a
// 4-byte child page or record number, a 4-byte subtree count for internal entries, the
// dup and trail bytes of the packed form), and converts to and from the packed 4096-byte
// image on disk. Internal entries are stored uncompressed (K + 8 bytes); leaf entries
// uncompressed (K + 4) or packed by the index's compression mode:
//
//   DUPBYTE    dup, key bytes dup..K-1, record number             K - dup + 5
//   TRAILBYTE  trail, the key without its trailing zeros, number   K - trail + 5
//   FULL       dup, trail, key bytes from dup without the trail    K - dup - trail + 6
//
// dup = bytes shared with the previous key (at most 254, 0 for the first entry); trail =
// zero bytes at the end of the compressible part (at most 254), which is the whole key of
// a unique index and the key without its 4-byte row identifier suffix otherwise (the
// suffix is always stored). A page does not know the key order: the tree operations
// compare keys. A page belongs to one cursor operation at a time (its table's session).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/index_format.h"

namespace veldor {

class TIndexFile;

class TPage {
 public:
  TPage() = default;

  // Takes the key length (1 to kMaxKeyLength) and the index's settings, and empties the
  // page (no entries, no links, type leaf, not free, not modified). An unknown compression
  // byte is taken as no compression.
  void Setup(int keyLength, int indexNumber, bool descending, bool unique, uint8_t compression);
  // Empties the entries and links; keeps the settings.
  void Clear();

  // Reads a packed page image (4096 bytes, already unscrambled). False when the image is
  // inconsistent with the settings (a type above 3, an entry count that does not fit, a
  // dup or trail byte out of range, packed bytes running past the page): the caller
  // reports the index as corrupt.
  bool Unpack(const uint8_t* image);
  // Writes the packed image (4096 bytes, rest zero). A free page is written with its
  // links and no entries. False, with nothing of the entries written, when they do not fit:
  // a compressed leaf's packed size above 4083 bytes, or an uncompressed page holding more
  // entries than 4083 bytes take.
  bool Pack(uint8_t* image) const;

  // ---- Entries, 1-based ----
  int Count() const { return Count_; }
  // Bytes the page takes in memory (its unpacked entries may take more than its image).
  size_t Footprint() const { return sizeof(TPage) + Entries_.capacity(); }
  const uint8_t* Key(int position) const { return Entry(position); }
  int32_t Reference(int position) const;  // child page (internal) or record number (leaf)
  int32_t SubtreeCount(int position) const;  // internal entries; 1 for a leaf entry
  void SetKey(int position, const uint8_t* key);
  void SetReference(int position, int32_t reference);
  void SetSubtreeCount(int position, int32_t count);
  // Inserts after position `after` (0 = in front); later entries move up.
  void InsertEntry(int after, const uint8_t* key, int32_t reference, int32_t count);
  void RemoveEntry(int position);
  // Appends entries `first`..`last` of `other` (same settings) after this page's entries,
  // or puts them in front; used by splits, merges and redistribution.
  void AppendEntries(const TPage& other, int first, int last);
  void PrependEntries(const TPage& other, int first, int last);
  // Removes entries `first`..`last`.
  void RemoveEntries(int first, int last);
  // Sum of the subtree counts (internal) or the entry count (leaf).
  int64_t TotalCount() const;

  // ---- Size and fullness ----
  // Packed bytes of the entries: compressed leaves by their dup and trail bytes, other
  // pages count x entry size. Kept current by every change of entries.
  int PackedSize() const { return PackedSize_; }
  bool Compressed() const { return IsLeaf() && Compression_ != COMPRESS_NONE; }
  // Entries a page can hold: 4083 / (K + 9) internal, 4083 / (K + 5) leaf (for a
  // compressed leaf this is the uncompressed capacity, used for underflow decisions).
  int Capacity() const;
  // Full after an insert: count above the capacity, or packed size above 4083 bytes for a
  // compressed leaf.
  bool Overfull() const;

  // ---- Header ----
  uint8_t Type() const { return Type_; }
  // A change between leaf and internal types recomputes the packed sizes of the entries.
  void SetType(uint8_t type);
  bool IsLeaf() const { return Type_ == PAGE_LEAF || Type_ == PAGE_ROOT_LEAF; }
  bool IsRoot() const { return Type_ == PAGE_ROOT || Type_ == PAGE_ROOT_LEAF; }
  int32_t Previous() const { return Previous_; }
  void SetPrevious(int32_t page) { Previous_ = page; }
  int32_t Next() const { return Next_; }
  void SetNext(int32_t page) { Next_ = page; }
  bool Free() const { return Free_; }
  void SetFree(bool value) { Free_ = value; }

  int KeyLength() const { return KeyLength_; }
  int IndexNumber() const { return IndexNumber_; }
  bool Descending() const { return Descending_; }
  bool Unique() const { return Unique_; }
  uint8_t Compression() const { return Compression_; }

  // ---- Cache bookkeeping (kept by the index file) ----
  int32_t PageNumber() const { return PageNumber_; }
  void SetPageNumber(int32_t number) { PageNumber_ = number; }
  bool Modified() const { return Modified_; }
  void SetModified(bool value = true) { Modified_ = value; }
  uint16_t UseCount() const { return UseCount_; }
  void AddUse() { ++UseCount_; }
  void ReleaseUse() {
    if (UseCount_ > 0) --UseCount_;
  }
  void ResetUse() { UseCount_ = 0; }

 private:
  friend class TIndexFile;
  friend class TPageStack;
  template <typename>
  friend class TBufferCache;

  int Stride() const { return KeyLength_ + 10; }
  uint8_t* Entry(int position) { return &Entries_[size_t(position - 1) * size_t(Stride())]; }
  const uint8_t* Entry(int position) const {
    return &Entries_[size_t(position - 1) * size_t(Stride())];
  }
  void Reserve(int count);
  // Recomputes the dup and trail bytes of one entry and adjusts PackedSize_.
  void Refresh(int position);
  int EntrySize(int position) const;
  void RecomputeAll();
  // Key bytes that trailing-zero compression may drop: the whole key of a unique index,
  // the key without its row identifier suffix otherwise.
  int CompressiblePart() const;
  // The dup and trail bytes the entry at `position` packs with, from its key and the
  // previous entry's key.
  void ComputeDupTrail(int position, uint8_t& dup, uint8_t& trail) const;
  // Bytes of one packed entry with the given dup and trail (compressed leaves), or the
  // fixed entry width (other pages).
  int SizeOf(uint8_t dup, uint8_t trail) const;
  // Adds entries [first, last] that were copied in with their dup and trail bytes (valid
  // when `sameMode`), then refreshes the entries whose previous key changed.
  void AdoptCopied(int first, int last, bool sameMode);
  bool UnpackEntries(const uint8_t* image, int count);

  int KeyLength_ = 0;
  int IndexNumber_ = 0;
  bool Descending_ = false;
  bool Unique_ = false;
  uint8_t Compression_ = COMPRESS_NONE;
  uint8_t Type_ = PAGE_LEAF;
  int32_t Previous_ = 0;
  int32_t Next_ = 0;
  bool Free_ = false;
  int Count_ = 0;
  int PackedSize_ = 0;
  std::vector<uint8_t> Entries_;  // fixed-width entries; capacity grows in steps of 4096

  int32_t PageNumber_ = 0;
  bool Modified_ = false;
  uint16_t UseCount_ = 0;
  TPage* Older_ = nullptr;  // recency list of its index's cache
  TPage* Newer_ = nullptr;
};

// Spare pages of one index file.
class TPageStack {
 public:
  static constexpr size_t kMaxSparePages = 16;
  TPageStack() { Spares_.reserve(kMaxSparePages); }
  std::unique_ptr<TPage> Take();
  void GiveBack(std::unique_ptr<TPage> page);
  size_t Count() const { return Spares_.size(); }

 private:
  std::vector<std::unique_ptr<TPage>> Spares_;
};

}  // namespace veldor
