#include "lib/records_bitmap.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstring>
#include <new>

#include "engine/errors.h"

// Counting and walking spend their time in popcount. Without a -march that has the
// instruction, g++ calls a slow library routine for it, so on x86 the functions that count
// are built twice and the loader picks the popcnt version on processors that have it.
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(__POPCNT__)
#define VELDOR_POPCNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define VELDOR_POPCNT_CLONES
#endif

namespace veldor {
namespace {

// The walks read the array as 64-bit chunks: chunk j is words 2j and 2j + 1. An allocation
// is a multiple of 256 bytes, so the second word of a chunk that starts inside the word
// count is always allocated (and initialised), even when it lies beyond the word count;
// every chunk that reaches past the size is masked before use.
inline uint64_t LoadChunk(const uint32_t* words, uint32_t chunk) {
  return uint64_t{words[2 * size_t{chunk}]} | (uint64_t{words[2 * size_t{chunk} + 1]} << 32);
}

// Bits 0..count-1 of a chunk, for count 1..64.
inline uint64_t LowMask(uint32_t count) {
  return count >= 64 ? ~uint64_t{0} : (uint64_t{1} << count) - 1;
}

// Index of the r-th (1-based) set bit of x; x has at least r set bits.
inline uint32_t SelectBit(uint64_t x, uint32_t r) {
  uint32_t base = 0;
  for (uint32_t width = 32; width >= 8; width /= 2) {
    const uint32_t low = static_cast<uint32_t>(std::popcount(x & LowMask(width)));
    if (r > low) {
      r -= low;
      x >>= width;
      base += width;
    }
  }
  while (--r != 0) x &= x - 1;
  return base + static_cast<uint32_t>(std::countr_zero(x));
}

// Set bits among bits 0..bits-1 of `words`.
VELDOR_POPCNT_CLONES
uint32_t CountLowBits(const uint32_t* words, uint32_t bits) {
  const uint32_t full = bits / 64;
  uint64_t total = 0;
  for (uint32_t j = 0; j < full; ++j) total += static_cast<uint64_t>(std::popcount(LoadChunk(words, j)));
  if (bits % 64 != 0) total += static_cast<uint64_t>(std::popcount(LoadChunk(words, full) & LowMask(bits % 64)));
  return static_cast<uint32_t>(total);
}

// The walks test a whole chunk at once: a chunk of zeros costs one comparison, a chunk of
// ones (or any chunk that holds fewer members than are still wanted) one popcount, and
// only the chunk that holds the wanted member is searched inside (SelectBit). There is no
// per-record work anywhere, and no branch on the kind of chunk for the predictor to miss.
struct TBitWalk {
  bool Found;
  uint32_t Steps;
  int64_t Last;  // bit index of the last member passed, -1 if none
};

// From bit `from` (inclusive, < size) upward to the k-th set bit (k >= 1), bits < size.
VELDOR_POPCNT_CLONES
TBitWalk WalkForward(const uint32_t* words, uint32_t size, uint32_t from, uint32_t k) {
  const uint32_t lastChunk = (size - 1) / 64;
  const uint64_t tailMask = LowMask(size - 64 * lastChunk);
  uint32_t j = from / 64;
  uint64_t x = LoadChunk(words, j) & (~uint64_t{0} << (from % 64));
  uint32_t steps = 0;
  int64_t last = -1;
  for (;;) {
    if (j == lastChunk) x &= tailMask;
    if (x != 0) {
      const uint32_t r = k - steps;
      if (r == 1) return {true, k, int64_t{64} * j + std::countr_zero(x)};
      const uint32_t c = static_cast<uint32_t>(std::popcount(x));
      if (c >= r) return {true, k, int64_t{64} * j + SelectBit(x, r)};
      steps += c;
      last = int64_t{64} * j + 63 - std::countl_zero(x);
    }
    if (j == lastChunk) return {false, steps, last};
    x = LoadChunk(words, ++j);
  }
}

// From bit `from` (inclusive, < size) downward to the k-th set bit (k >= 1).
VELDOR_POPCNT_CLONES
TBitWalk WalkBackward(const uint32_t* words, uint32_t from, uint32_t k) {
  uint32_t j = from / 64;
  uint64_t x = LoadChunk(words, j) & LowMask(from % 64 + 1);
  uint32_t steps = 0;
  int64_t last = -1;
  for (;;) {
    if (x != 0) {
      const uint32_t r = k - steps;
      if (r == 1) return {true, k, int64_t{64} * j + 63 - std::countl_zero(x)};
      const uint32_t c = static_cast<uint32_t>(std::popcount(x));
      if (c >= r) return {true, k, int64_t{64} * j + SelectBit(x, c - r + 1)};
      steps += c;
      last = int64_t{64} * j + std::countr_zero(x);
    }
    if (j == 0) return {false, steps, last};
    x = LoadChunk(words, --j);
  }
}

// Counter arithmetic wraps like the 32-bit counters of the callers, without overflow.
inline void AddToCounter(int32_t& counter, uint32_t steps, bool down) {
  const uint32_t value = static_cast<uint32_t>(counter);
  counter = static_cast<int32_t>(down ? value - steps : value + steps);
}

[[noreturn]] void RaiseNoMemory() { RaiseEngineError(VELDOR_OSENOMEM, "", "", "", "", "", "", ""); }

// An uninitialised array of `bytes` (a positive multiple of 256); running out of memory
// is an engine error.
std::unique_ptr<uint32_t[]> AllocateWords(uint32_t bytes) {
  try {
    return std::make_unique_for_overwrite<uint32_t[]>(bytes / 4);
  } catch (const std::bad_alloc&) {
    RaiseNoMemory();
  }
}

}  // namespace

// ---- TRecordsBitmap ----------------------------------------------------------------------

void TRecordsBitmap::SetSize(uint32_t n) {
  if (n == SizeValue) return;
  if (n > kMaxSize) RaiseNoMemory();
  const uint32_t rounded = (n + 31) & ~uint32_t{31};
  const uint32_t words = rounded / 32;
  const uint32_t bytes = (words * 4 + kAllocationStep - 1) & ~(kAllocationStep - 1);
  if (bytes == 0) {
    Bits.reset();
    AllocatedBytes = 0;
  } else if (bytes > AllocatedBytes) {
    std::unique_ptr<uint32_t[]> grown = AllocateWords(bytes);
    if (AllocatedBytes != 0) std::memcpy(grown.get(), Bits.get(), AllocatedBytes);
    std::memset(reinterpret_cast<unsigned char*>(grown.get()) + AllocatedBytes, 0, bytes - AllocatedBytes);
    Bits = std::move(grown);
    AllocatedBytes = bytes;
  }
  SizeValue = n;
  RoundedSizeValue = rounded;
  WordCountValue = words;
}

bool TRecordsBitmap::GetBit(uint32_t n) const {
  // Our invariant: callers size the bitmap before they touch a record.
  assert(n >= 1 && n <= SizeValue && "record outside the bitmap");
  if (n - 1 >= SizeValue) return false;
  return (Bits[(n - 1) / 32] >> ((n - 1) % 32)) & 1u;
}

void TRecordsBitmap::SetBit(uint32_t n) {
  // Our invariant: callers size the bitmap before they touch a record.
  assert(n >= 1 && n <= SizeValue && "record outside the bitmap");
  if (n - 1 >= SizeValue) return;
  Bits[(n - 1) / 32] |= uint32_t{1} << ((n - 1) % 32);
}

void TRecordsBitmap::ClearBit(uint32_t n) {
  // Our invariant: callers size the bitmap before they touch a record.
  assert(n >= 1 && n <= SizeValue && "record outside the bitmap");
  if (n - 1 >= SizeValue) return;
  Bits[(n - 1) / 32] &= ~(uint32_t{1} << ((n - 1) % 32));
}

void TRecordsBitmap::ClearBits(uint32_t first, uint32_t last) {
  first = std::max(first, uint32_t{1});
  last = std::min(last, SizeValue);
  if (first > last) return;
  uint32_t from = first - 1, to = last - 1;  // bit positions
  for (; from <= to && from % 32 != 0; ++from) Bits[from / 32] &= ~(uint32_t{1} << (from % 32));
  if (from + 31 <= to) {
    const uint32_t words = (to + 1 - from) / 32;
    std::memset(&Bits[from / 32], 0, size_t(words) * 4);
    from += words * 32;
  }
  for (; from <= to; ++from) Bits[from / 32] &= ~(uint32_t{1} << (from % 32));
}

void TRecordsBitmap::ClearAll() {
  if (AllocatedBytes != 0) std::memset(Bits.get(), 0, AllocatedBytes);
}

void TRecordsBitmap::SetAll() {
  if (AllocatedBytes != 0) std::memset(Bits.get(), 0xFF, AllocatedBytes);
}

void TRecordsBitmap::Assign(const TRecordsBitmap& other) {
  if (&other == this) return;
  if (other.AllocatedBytes == 0) {
    Bits.reset();
  } else {
    if (other.AllocatedBytes != AllocatedBytes) Bits = AllocateWords(other.AllocatedBytes);
    std::memcpy(Bits.get(), other.Bits.get(), other.AllocatedBytes);
  }
  AllocatedBytes = other.AllocatedBytes;
  SizeValue = other.SizeValue;
  RoundedSizeValue = other.RoundedSizeValue;
  WordCountValue = other.WordCountValue;
}

void TRecordsBitmap::And(const TRecordsBitmap& other) {
  const uint32_t common = std::min(WordCountValue, other.WordCountValue);
  uint32_t* bits = Bits.get();
  const uint32_t* others = other.Bits.get();
  for (uint32_t i = 0; i < common; ++i) bits[i] &= others[i];
  for (uint32_t i = common; i < WordCountValue; ++i) bits[i] = 0;
}

void TRecordsBitmap::Or(const TRecordsBitmap& other) {
  const uint32_t common = std::min(WordCountValue, other.WordCountValue);
  uint32_t* bits = Bits.get();
  const uint32_t* others = other.Bits.get();
  for (uint32_t i = 0; i < common; ++i) bits[i] |= others[i];
}

void TRecordsBitmap::Not() {
  uint32_t* bits = Bits.get();
  for (uint32_t i = 0; i < WordCountValue; ++i) bits[i] = ~bits[i];
}

uint32_t TRecordsBitmap::Count() const {
  return SizeValue == 0 ? 0 : CountLowBits(Bits.get(), SizeValue);
}

uint32_t TRecordsBitmap::CountBefore(uint32_t n) const {
  if (n < 2 || SizeValue == 0) return 0;
  return CountLowBits(Bits.get(), std::min(n - 1, SizeValue));
}

TMembersWalk TRecordsBitmap::NextMembers(uint32_t& position, uint32_t k, int32_t& counter) const {
  if (k == 0) return {true, 0};
  if (position >= SizeValue) return {false, 0};
  // Record position + 1 is bit `position`.
  const TBitWalk walk = WalkForward(Bits.get(), SizeValue, position, k);
  if (walk.Steps != 0) {
    position = static_cast<uint32_t>(walk.Last) + 1;
    AddToCounter(counter, walk.Steps, false);
  }
  return {walk.Found, walk.Steps};
}

TMembersWalk TRecordsBitmap::PriorMembers(uint32_t& position, uint32_t k, int32_t& counter) const {
  if (k == 0) return {true, 0};
  if (position <= 1 || SizeValue == 0) return {false, 0};
  // The first record to test is position - 1, at most Size(); record r is bit r - 1.
  const uint32_t from = std::min(position - 1, SizeValue) - 1;
  const TBitWalk walk = WalkBackward(Bits.get(), from, k);
  if (walk.Steps != 0) {
    position = static_cast<uint32_t>(walk.Last) + 1;
    AddToCounter(counter, walk.Steps, true);
  }
  return {walk.Found, walk.Steps};
}

// ---- TRecordsBitmapStack -----------------------------------------------------------------

TRecordsBitmapStack::TRecordsBitmapStack() { FreeList.reserve(kInitialCapacity); }

TRecordsBitmapStack::~TRecordsBitmapStack() = default;

std::unique_ptr<TRecordsBitmap> TRecordsBitmapStack::AcquireBitmap() {
  std::unique_ptr<TRecordsBitmap> bitmap;
  {
    std::lock_guard<std::mutex> guard(Lock);
    if (!FreeList.empty()) {
      bitmap = std::move(FreeList.back());
      FreeList.pop_back();
    }
  }
  // Clearing outside the lock: the bitmap is ours alone once it is off the list, and a
  // large one should not hold up other threads.
  if (!bitmap) return std::make_unique<TRecordsBitmap>();
  bitmap->ClearAll();
  return bitmap;
}

void TRecordsBitmapStack::ReleaseBitmap(std::unique_ptr<TRecordsBitmap>& bitmap) noexcept {
  if (!bitmap) return;
  try {
    std::lock_guard<std::mutex> guard(Lock);
    FreeList.push_back(std::move(bitmap));
  } catch (...) {
    // The list could not grow (or the lock failed): free the bitmap instead of keeping it.
  }
  bitmap.reset();
}

size_t TRecordsBitmapStack::FreeCount() const {
  std::lock_guard<std::mutex> guard(Lock);
  return FreeList.size();
}

void TRecordsBitmapStack::Clear() {
  std::vector<std::unique_ptr<TRecordsBitmap>> freed;
  {
    std::lock_guard<std::mutex> guard(Lock);
    freed.swap(FreeList);
    FreeList.reserve(kInitialCapacity);
  }
}

// ---- The process's pool ------------------------------------------------------------------

namespace {

// Whether the process's pool has been destroyed. Constant-initialised and trivially
// destructible, so it can be read during the destruction of static objects, when a bitmap
// held by one of them may still be given back.
std::atomic<bool> ProcessStackGone{false};

struct TProcessStack {
  TRecordsBitmapStack Stack;
  ~TProcessStack() { ProcessStackGone.store(true); }
};

}  // namespace

TRecordsBitmapStack& ProcessBitmapStack() {
  static TProcessStack instance;
  return instance.Stack;
}

std::unique_ptr<TRecordsBitmap> AcquireBitmap() {
  if (ProcessStackGone.load()) return std::make_unique<TRecordsBitmap>();
  return ProcessBitmapStack().AcquireBitmap();
}

void ReleaseBitmap(std::unique_ptr<TRecordsBitmap>& bitmap) noexcept {
  if (ProcessStackGone.load()) {
    bitmap.reset();
    return;
  }
  ProcessBitmapStack().ReleaseBitmap(bitmap);
}

// ---- TPooledBitmap -----------------------------------------------------------------------

TPooledBitmap::TPooledBitmap() : Bitmap(veldor::AcquireBitmap()) {}

TPooledBitmap::TPooledBitmap(TRecordsBitmapStack& pool) : Pool(&pool), Bitmap(pool.AcquireBitmap()) {}

TPooledBitmap::TPooledBitmap(TPooledBitmap&& other) noexcept
    : Pool(other.Pool), Bitmap(std::move(other.Bitmap)) {}

TPooledBitmap& TPooledBitmap::operator=(TPooledBitmap&& other) noexcept {
  if (&other != this) {
    Reset();
    Pool = other.Pool;
    Bitmap = std::move(other.Bitmap);
  }
  return *this;
}

void TPooledBitmap::Reset() noexcept {
  if (!Bitmap) return;
  if (Pool != nullptr) {
    Pool->ReleaseBitmap(Bitmap);
  } else {
    veldor::ReleaseBitmap(Bitmap);
  }
}

}  // namespace veldor
