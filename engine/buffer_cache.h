// The cache structure shared by the table's files: buffers (record images, index pages,
// BLOB blocks) keyed by their number in the file.
//
// `TBufferCache` owns the buffers it holds. Look-ups go through a hash table, so that a
// cache of many thousands of buffers costs no more per access than a small one; an
// intrusive recency list (the buffer's `Older_` and `Newer_` links) gives the eviction
// order. Which buffer may be evicted, written back or kept through a drop is the owning
// file's decision: the cache only stores, finds and orders. Runs of consecutive numbers for
// write-back come from `Sorted`, which sorts only the buffers selected.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace veldor {

template <typename T>
class TBufferCache {
 public:
  size_t Size() const { return Map_.size(); }
  bool Empty() const { return Map_.empty(); }

  // The buffer of `number`, or nullptr; the recency order is left as it is.
  T* Find(int32_t number) const {
    if (NewestKnown_ && NewestNumber_ == number) return Newest_;
    auto it = Map_.find(number);
    return it == Map_.end() ? nullptr : it->second.get();
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
    Map_.emplace(number, std::move(b));
    LinkAtHead(raw);
    NewestNumber_ = number;
    NewestKnown_ = true;
    return raw;
  }
  // Gives up the buffer of `number` (nullptr when none).
  std::unique_ptr<T> Remove(int32_t number) {
    auto it = Map_.find(number);
    if (it == Map_.end()) return nullptr;
    std::unique_ptr<T> b = std::move(it->second);
    Map_.erase(it);
    Unlink(b.get());
    return b;
  }

  // The recency list, from the least recent buffer.
  T* Oldest() const { return Oldest_; }
  static T* Newer(const T* b) { return b->Newer_; }

  // Every buffer with its number, in no particular order.
  template <typename Fn>
  void ForEach(Fn fn) const {
    for (const auto& [number, b] : Map_) fn(number, b.get());
  }
  // The buffers `keep` selects, in the order of their numbers.
  template <typename Pred>
  std::vector<std::pair<int32_t, T*>> Sorted(Pred keep) const {
    std::vector<std::pair<int32_t, T*>> chosen;
    for (const auto& [number, b] : Map_)
      if (keep(*b)) chosen.emplace_back(number, b.get());
    std::sort(chosen.begin(), chosen.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    return chosen;
  }
  // Gives up every buffer; the cache is empty afterwards.
  std::vector<std::unique_ptr<T>> TakeAll() {
    std::vector<std::unique_ptr<T>> all;
    all.reserve(Map_.size());
    for (auto& [number, b] : Map_) {
      b->Older_ = b->Newer_ = nullptr;
      all.push_back(std::move(b));
    }
    Map_.clear();
    Newest_ = Oldest_ = nullptr;
    NewestKnown_ = false;
    return all;
  }
  // Gives up the buffers `drop` selects, in one pass.
  template <typename Pred>
  std::vector<std::unique_ptr<T>> TakeIf(Pred drop) {
    std::vector<std::unique_ptr<T>> taken;
    for (auto it = Map_.begin(); it != Map_.end();) {
      if (drop(*it->second)) {
        Unlink(it->second.get());
        taken.push_back(std::move(it->second));
        it = Map_.erase(it);
      } else {
        ++it;
      }
    }
    return taken;
  }
  void Reserve(size_t count) { Map_.reserve(count); }

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

  std::unordered_map<int32_t, std::unique_ptr<T>> Map_;
  T* Newest_ = nullptr;
  T* Oldest_ = nullptr;
  int32_t NewestNumber_ = 0;  // the number of Newest_ when known, for the look-up that repeats
  bool NewestKnown_ = false;
};

}  // namespace veldor
