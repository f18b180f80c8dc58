// The cache structure shared by the table's files: buffers (record images, index pages,
// BLOB blocks) keyed by their number in the file.
//
// `TBufferCache` owns the buffers it holds. Look-ups go through a hash table (open
// addressing with linear probing, at most half full, no allocation per buffer), so that a
// cache of many thousands of buffers costs no more per access than a small one; an
// intrusive recency list (the buffer's `Older_` and `Newer_` links) gives the eviction
// order. Which buffer may be evicted, written back or kept through a drop is the owning
// file's decision: the cache only stores, finds and orders. Runs of consecutive numbers for
// write-back come from `Sorted`, which sorts only the buffers selected.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace veldor {

template <typename T>
class TBufferCache {
 public:
  size_t Size() const { return Count_; }
  // Bytes of the look-up table itself (the buffers are counted by their owner).
  size_t TableBytes() const { return Slots_.capacity() * sizeof(TSlot); }
  bool Empty() const { return Count_ == 0; }

  // The buffer of `number`, or nullptr; the recency order is left as it is.
  T* Find(int32_t number) const {
    if (NewestKnown_ && NewestNumber_ == number) return Newest_;
    if (Count_ == 0) return nullptr;
    for (size_t i = Home(number);; i = (i + 1) & Mask_) {
      const TSlot& slot = Slots_[i];
      if (!slot.Buffer) return nullptr;
      if (slot.Number == number) return slot.Buffer.get();
    }
  }
  // The buffer of `number` made the most recent, or nullptr.
  T* Touch(int32_t number) {
    T* b = Find(number);
    if (b != nullptr) MakeNewest(b, number);
    return b;
  }
  void MakeNewest(T* b, int32_t number) {
    if (b != Newest_) {
      Unlink(b);
      LinkAtHead(b);
    }
    NewestNumber_ = number;
    NewestKnown_ = true;
  }
  // Takes `b` as the buffer of `number` (not cached yet), most recent.
  T* Insert(int32_t number, std::unique_ptr<T> b) {
    T* raw = b.get();
    if ((Count_ + 1) * 2 > Slots_.size()) Rehash(std::max<size_t>(Slots_.size() * 2, 64));
    size_t i = Home(number);
    while (Slots_[i].Buffer) i = (i + 1) & Mask_;
    Slots_[i].Number = number;
    Slots_[i].Buffer = std::move(b);
    ++Count_;
    LinkAtHead(raw);
    NewestNumber_ = number;
    NewestKnown_ = true;
    return raw;
  }
  // Gives up the buffer of `number` (nullptr when none).
  std::unique_ptr<T> Remove(int32_t number) {
    if (Count_ == 0) return nullptr;
    size_t i = Home(number);
    for (;; i = (i + 1) & Mask_) {
      if (!Slots_[i].Buffer) return nullptr;
      if (Slots_[i].Number == number) break;
    }
    std::unique_ptr<T> b = std::move(Slots_[i].Buffer);
    --Count_;
    EraseAt(i);
    Unlink(b.get());
    return b;
  }

  // The recency list, from the least recent buffer.
  T* Oldest() const { return Oldest_; }
  static T* Newer(const T* b) { return b->Newer_; }

  // Every buffer with its number, in no particular order.
  template <typename Fn>
  void ForEach(Fn fn) const {
    for (const TSlot& slot : Slots_)
      if (slot.Buffer) fn(slot.Number, slot.Buffer.get());
  }
  // The buffers `keep` selects, in the order of their numbers.
  template <typename Pred>
  std::vector<std::pair<int32_t, T*>> Sorted(Pred keep) const {
    std::vector<std::pair<int32_t, T*>> chosen;
    for (const TSlot& slot : Slots_)
      if (slot.Buffer && keep(*slot.Buffer)) chosen.emplace_back(slot.Number, slot.Buffer.get());
    std::sort(chosen.begin(), chosen.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return chosen;
  }
  // Gives up every buffer; the cache is empty afterwards.
  std::vector<std::unique_ptr<T>> TakeAll() {
    std::vector<std::unique_ptr<T>> all;
    all.reserve(Count_);
    for (TSlot& slot : Slots_) {
      if (!slot.Buffer) continue;
      slot.Buffer->Older_ = slot.Buffer->Newer_ = nullptr;
      all.push_back(std::move(slot.Buffer));
    }
    Count_ = 0;
    Slots_.clear();
    Slots_.shrink_to_fit();
    Mask_ = 0;
    Newest_ = Oldest_ = nullptr;
    NewestKnown_ = false;
    return all;
  }
  // Gives back the table space a shrunken cache no longer needs (after a trim).
  void Shrink() {
    size_t capacity = 64;
    while (capacity < Count_ * 2) capacity *= 2;
    if (capacity < Slots_.size()) Rehash(capacity);
  }

  // Gives up the buffers `drop` selects.
  template <typename Pred>
  std::vector<std::unique_ptr<T>> TakeIf(Pred drop) {
    std::vector<int32_t> numbers;
    ForEach([&](int32_t number, T* b) {
      if (drop(*b)) numbers.push_back(number);
    });
    std::vector<std::unique_ptr<T>> taken;
    taken.reserve(numbers.size());
    for (int32_t number : numbers) taken.push_back(Remove(number));
    return taken;
  }

 private:
  void Unlink(T* b) {
    if (b == Newest_) NewestKnown_ = false;
    if (b->Older_) b->Older_->Newer_ = b->Newer_;
    else if (Oldest_ == b) Oldest_ = b->Newer_;
    if (b->Newer_) b->Newer_->Older_ = b->Older_;
    else if (Newest_ == b) Newest_ = b->Older_;
    b->Older_ = b->Newer_ = nullptr;
  }
  void LinkAtHead(T* b) {
    b->Newer_ = nullptr;
    b->Older_ = Newest_;
    if (Newest_) Newest_->Newer_ = b;
    Newest_ = b;
    if (!Oldest_) Oldest_ = b;
  }

  struct TSlot {
    int32_t Number = 0;
    std::unique_ptr<T> Buffer;  // empty: a free slot
  };

  size_t Home(int32_t number) const {
    return size_t((uint64_t(uint32_t(number)) * 0x9E3779B97F4A7C15ull) >> 32) & Mask_;
  }
  void Rehash(size_t capacity) {
    std::vector<TSlot> old = std::move(Slots_);
    Slots_ = std::vector<TSlot>(capacity);
    Mask_ = capacity - 1;
    for (TSlot& slot : old) {
      if (!slot.Buffer) continue;
      size_t i = Home(slot.Number);
      while (Slots_[i].Buffer) i = (i + 1) & Mask_;
      Slots_[i] = std::move(slot);
    }
  }
  // Closes the gap at `hole` so that every later slot of a probe run stays reachable.
  void EraseAt(size_t hole) {
    for (size_t i = (hole + 1) & Mask_; Slots_[i].Buffer; i = (i + 1) & Mask_) {
      const size_t home = Home(Slots_[i].Number);
      // The entry at i may move into the hole when its home is not in (hole, i].
      const bool between = hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
      if (!between) {
        Slots_[hole] = std::move(Slots_[i]);
        hole = i;
      }
    }
  }

  std::vector<TSlot> Slots_;  // a power of two in size, or empty
  size_t Mask_ = 0;
  size_t Count_ = 0;
  T* Newest_ = nullptr;
  T* Oldest_ = nullptr;
  int32_t NewestNumber_ = 0;  // the number of Newest_ when known, for the look-up that repeats
  bool NewestKnown_ = false;
};

}  // namespace veldor
