// Sets of record numbers kept as one bit per record, and the process-wide pool of them.
//
// `TRecordsBitmap` owns its word array and nothing else; it knows no tables, cursors or
// files. A bitmap is not synchronized: it belongs to one cursor, filter or table object at
// a time, and only its owner's thread may use it. `TRecordsBitmapStack` owns the bitmaps
// it keeps for reuse (never the ones it has handed out); its two operations hold its
// mutex, so any thread may acquire and release. Nothing here touches files, so there are
// no multi-process rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace veldor {

// What a walk through the members reports besides the new position and counter.
struct TMembersWalk {
  bool Found = false;  // the k-th member was reached
  uint32_t Steps = 0;  // members passed, the last one included
};

// A set of record numbers 1..Size(). Record n is bit (n - 1) mod 32, least significant
// bit first, of word (n - 1) div 32. The array grows in 256-byte steps and never shrinks
// except to nothing (SetSize(0)), so repeated SetSize during incremental updates does not
// reallocate. Bits above Size() in the last word and words beyond WordCount() inside the
// allocation are not part of the set: no count or walk ever sees them, but they keep
// whatever they held (see SetSize).
class TRecordsBitmap {
 public:
  // Largest size a bitmap can take: the largest multiple of 32 below 2^32, so that the
  // rounded size and the "after the last" position Size() + 1 fit in 32 bits.
  static constexpr uint32_t kMaxSize = 0xFFFFFFE0u;
  // Allocation granule in bytes.
  static constexpr uint32_t kAllocationStep = 256;

  // Empty: size 0, nothing allocated.
  TRecordsBitmap() = default;
  ~TRecordsBitmap() = default;
  // A bitmap is copied only on purpose, with Assign.
  TRecordsBitmap(const TRecordsBitmap&) = delete;
  TRecordsBitmap& operator=(const TRecordsBitmap&) = delete;

  // Makes the set cover records 1..n. Does nothing when n is the current size. n = 0 frees
  // the array. Otherwise the allocation grows, if it must, to the next multiple of 256
  // bytes that holds ceil(n / 32) words, keeping every old byte and zeroing the added
  // ones; it never shrinks. Growing within the existing allocation does NOT clear the
  // records it uncovers: they keep the bits they had when the bitmap was last that large,
  // so callers set or clear every record they rely on after growing.
  // Throws EVELDOREngineError VELDOR_OSENOMEM when n > kMaxSize or memory runs out; the
  // bitmap is then unchanged.
  void SetSize(uint32_t n);

  uint32_t Size() const { return SizeValue; }                 // records covered
  uint32_t RoundedSize() const { return RoundedSizeValue; }   // Size() rounded up to 32
  uint32_t WordCount() const { return WordCountValue; }       // RoundedSize() / 32
  uint32_t AllocatedSize() const { return AllocatedBytes; }   // bytes; multiple of 256
  // The word array (AllocatedSize() / 4 words), or nullptr when nothing is allocated.
  // Valid until the next SetSize or Assign.
  const uint32_t* Words() const { return Bits.get(); }

  // Membership, insertion and removal of record n, in constant time. n must be between 1
  // and Size(); the caller ensures it (SetSize first). Outside that range a debug build
  // asserts; a release build answers false and changes nothing.
  bool GetBit(uint32_t n) const;
  void SetBit(uint32_t n);
  void ClearBit(uint32_t n);
  // Clears records first..last (clamped to 1..Size()), a word at a time.
  void ClearBits(uint32_t first, uint32_t last);

  // Zero, or set to all ones, every allocated byte (also those beyond WordCount()).
  void ClearAll();
  void SetAll();

  // Makes this bitmap a copy of `other`: the same allocated size, size and every
  // allocated byte. Assigning a bitmap to itself does nothing. Throws as SetSize does
  // when memory runs out, leaving this bitmap unchanged.
  void Assign(const TRecordsBitmap& other);

  // Combine word by word over this bitmap's WordCount(); `other` should have at least as
  // many words. Words that `other` lacks count as empty: And clears them here, Or leaves
  // them alone. `other` may be this bitmap.
  void And(const TRecordsBitmap& other);
  void Or(const TRecordsBitmap& other);
  // Inverts every word of WordCount() (membership of records 1..Size() flips).
  void Not();

  // Number of members.
  uint32_t Count() const;
  // Number of members among records 1..n - 1: 0 when n < 2, Count() when n > Size().
  uint32_t CountBefore(uint32_t n) const;

  // Walks forward from `position` (a record number; 0 = before the first) to the k-th
  // member after it. On success `position` is that member, `counter` has grown by k and
  // Found is true. When fewer than k members follow, `position` is the last member found
  // (unchanged if none), `counter` has grown by the number found, and Found is false.
  // Steps is always the number of members passed, which is also how much `counter`
  // changed (in 32-bit two's-complement arithmetic). Any position >= Size() has nothing
  // after it (Found false, nothing changes); k = 0 reaches the "0-th member" at once
  // (Found true, nothing changes). No word outside the set is ever read.
  TMembersWalk NextMembers(uint32_t& position, uint32_t k, int32_t& counter) const;

  // The mirror of NextMembers: walks backward from `position` (Size() + 1 = after the
  // last) to the k-th member before it, decrementing `counter` once per member passed.
  // Positions above Size() + 1 behave as Size() + 1; positions 0 and 1 have nothing
  // before them (Found false, nothing changes); k = 0 gives Found true and changes nothing.
  TMembersWalk PriorMembers(uint32_t& position, uint32_t k, int32_t& counter) const;

 private:
  std::unique_ptr<uint32_t[]> Bits;  // AllocatedBytes / 4 words, or null
  uint32_t AllocatedBytes = 0;
  uint32_t SizeValue = 0;
  uint32_t RoundedSizeValue = 0;
  uint32_t WordCountValue = 0;
};

// A pool of bitmaps so that the many short-lived bitmaps of filter optimization do not
// allocate each time. Bitmaps come out empty of members (ClearAll), keeping the
// allocation they had when they were given back. One instance serves the whole process
// (ProcessBitmapStack); tests may make their own.
class TRecordsBitmapStack {
 public:
  static constexpr size_t kInitialCapacity = 512;

  TRecordsBitmapStack();
  // Frees every bitmap the pool holds. Bitmaps still handed out are their holders'.
  ~TRecordsBitmapStack();
  TRecordsBitmapStack(const TRecordsBitmapStack&) = delete;
  TRecordsBitmapStack& operator=(const TRecordsBitmapStack&) = delete;

  // The most recently released bitmap, cleared of members, or a new empty bitmap when the
  // pool holds none. The caller owns it until it gives it back with ReleaseBitmap, which
  // it must do on every path (TPooledBitmap does so). Throws std::bad_alloc only when a
  // new bitmap cannot be made.
  std::unique_ptr<TRecordsBitmap> AcquireBitmap();

  // Takes `bitmap` back into the pool and leaves the reference null; a null reference is
  // ignored. The bitmap is kept as it is (size, allocation, bits). Never throws: if the
  // pool cannot grow its list, the bitmap is freed instead.
  void ReleaseBitmap(std::unique_ptr<TRecordsBitmap>& bitmap) noexcept;

  // Number of bitmaps the pool holds for reuse.
  size_t FreeCount() const;
  // Frees every bitmap the pool holds (engine shutdown).
  void Clear();

 private:
  mutable std::mutex Lock;
  std::vector<std::unique_ptr<TRecordsBitmap>> FreeList;  // guarded by Lock
};

// The process's pool, made on first use and destroyed (with the bitmaps in it) when the
// program's static objects are destroyed; engine shutdown empties it with Clear. Do not
// call it from static destructors; use the two functions below, which stay safe then.
TRecordsBitmapStack& ProcessBitmapStack();

// AcquireBitmap and ReleaseBitmap on the process's pool. After the pool has been destroyed
// at program exit they fall back to plain allocation and freeing.
std::unique_ptr<TRecordsBitmap> AcquireBitmap();
void ReleaseBitmap(std::unique_ptr<TRecordsBitmap>& bitmap) noexcept;

// Holds one bitmap taken from a pool and gives it back when destroyed, on every path,
// errors included. Move-only; a moved-from guard holds nothing and gives nothing back.
// Like the bitmap, a guard belongs to one thread at a time.
class TPooledBitmap {
 public:
  // Acquires from the process's pool.
  TPooledBitmap();
  // Acquires from `pool`, which must outlive the guard.
  explicit TPooledBitmap(TRecordsBitmapStack& pool);
  ~TPooledBitmap() { Reset(); }

  TPooledBitmap(TPooledBitmap&& other) noexcept;
  // Gives back the bitmap this guard holds, then takes over `other`'s.
  TPooledBitmap& operator=(TPooledBitmap&& other) noexcept;
  TPooledBitmap(const TPooledBitmap&) = delete;
  TPooledBitmap& operator=(const TPooledBitmap&) = delete;

  // The held bitmap; only while the guard holds one (it does until moved from or Reset).
  TRecordsBitmap& operator*() const { return *Bitmap; }
  TRecordsBitmap* operator->() const { return Bitmap.get(); }
  TRecordsBitmap* Get() const { return Bitmap.get(); }
  explicit operator bool() const { return Bitmap != nullptr; }

  // Gives the bitmap back now; afterwards the guard holds nothing.
  void Reset() noexcept;

 private:
  TRecordsBitmapStack* Pool = nullptr;  // null: the process's pool
  std::unique_ptr<TRecordsBitmap> Bitmap;
};

}  // namespace veldor
