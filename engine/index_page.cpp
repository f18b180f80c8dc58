// Fixed-width page entries and their packed on-disk forms.
//
// Every change of entries keeps the dup and trail bytes of the changed entries and of the
// entry after them current, and PackedSize_ with them, so a split can ask for the packed
// size at any moment at the cost of one or two key comparisons per change. Unpack reads
// bytes that may come from a damaged file: every length it uses is checked against the
// 4096-byte image before anything is copied.
#include "engine/index_page.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>

#include "lib/byte_order.h"

namespace veldor {

namespace {

constexpr int kMaxDup = 254;
constexpr int kMaxTrail = 254;
constexpr size_t kStorageStep = 4096;
// The smallest packed leaf entry (a DUPBYTE entry that repeats the whole previous key):
// bounds the entry count of a compressed leaf before anything is allocated for it.
constexpr int kMinPackedEntry = 5;

// The stored key bytes of a packed leaf entry: key[dup..K) without the `trail` zero bytes
// that end the compressible part key[0..c). A trail is only ever counted after the prefix
// (dup + trail <= c); with trail 0 the rest of the key is stored whole, which is also the
// form of a key whose prefix reaches into (or past) its row identifier suffix.
int PutKeyBody(uint8_t* out, const uint8_t* key, int k, int c, int dup, int trail) {
  if (trail == 0) {
    std::memcpy(out, key + dup, size_t(k - dup));
    return k - dup;
  }
  int head = c - trail - dup;
  std::memcpy(out, key + dup, size_t(head));
  std::memcpy(out + head, key + c, size_t(k - c));
  return head + (k - c);
}

// The inverse of PutKeyBody: fills key[dup..K) from the stored bytes and the trail zeros.
void GetKeyBody(uint8_t* key, const uint8_t* in, int k, int c, int dup, int trail) {
  if (trail == 0) {
    CopyShort(key + dup, in, size_t(k - dup));
    return;
  }
  int head = c - trail - dup;
  CopyShort(key + dup, in, size_t(head));
  std::memset(key + c - trail, 0, size_t(trail));
  CopyShort(key + c, in + head, size_t(k - c));
}

}  // namespace

void TPage::Setup(int keyLength, int indexNumber, bool descending, bool unique,
                  uint8_t compression) {
  // Descriptors are verified when the index file opens; K is 1 to kMaxKeyLength here.
  assert(keyLength >= 1 && keyLength <= kMaxKeyLength);
  KeyLength_ = keyLength;
  IndexNumber_ = indexNumber;
  Descending_ = descending;
  Unique_ = unique;
  // An unknown mode byte packs and unpacks as uncompressed, the one form every reader knows.
  Compression_ = compression <= COMPRESS_FULL ? compression : uint8_t(COMPRESS_NONE);
  Clear();
  Modified_ = false;
}

void TPage::Clear() {
  Count_ = 0;
  PackedSize_ = 0;
  Previous_ = 0;
  Next_ = 0;
  Type_ = PAGE_LEAF;
  Free_ = false;
}

void TPage::SetType(uint8_t type) {
  bool wasLeaf = IsLeaf();
  Type_ = type;
  if (wasLeaf != IsLeaf()) RecomputeAll();
}

void TPage::Reserve(int count) {
  size_t needed = size_t(count) * size_t(Stride());
  if (Entries_.size() >= needed) return;
  Entries_.resize((needed + kStorageStep - 1) / kStorageStep * kStorageStep);
}

int32_t TPage::Reference(int position) const {
  assert(position >= 1 && position <= Count_);
  return LoadI32(Entry(position) + KeyLength_);
}

int32_t TPage::SubtreeCount(int position) const {
  assert(position >= 1 && position <= Count_);
  if (IsLeaf()) return 1;
  return LoadI32(Entry(position) + KeyLength_ + 4);
}

void TPage::SetKey(int position, const uint8_t* key) {
  assert(position >= 1 && position <= Count_);
  std::memmove(Entry(position), key, size_t(KeyLength_));
  Refresh(position);
  if (position < Count_) Refresh(position + 1);
}

void TPage::SetReference(int position, int32_t reference) {
  assert(position >= 1 && position <= Count_);
  StoreI32(Entry(position) + KeyLength_, reference);
}

void TPage::SetSubtreeCount(int position, int32_t count) {
  assert(position >= 1 && position <= Count_);
  StoreI32(Entry(position) + KeyLength_ + 4, count);
}

void TPage::InsertEntry(int after, const uint8_t* key, int32_t reference, int32_t count) {
  assert(after >= 0 && after <= Count_);
  // The key may lie in this page's own storage, which the move below shifts or reallocates.
  std::array<uint8_t, kMaxKeyLength> copy;
  std::memcpy(copy.data(), key, size_t(KeyLength_));
  Reserve(Count_ + 1);
  size_t stride = size_t(Stride());
  uint8_t* at = Entries_.data() + size_t(after) * stride;
  std::memmove(at + stride, at, size_t(Count_ - after) * stride);
  std::memcpy(at, copy.data(), size_t(KeyLength_));
  StoreI32(at + KeyLength_, reference);
  StoreI32(at + KeyLength_ + 4, count);
  at[KeyLength_ + 8] = 0;
  at[KeyLength_ + 9] = 0;
  ++Count_;
  PackedSize_ += EntrySize(after + 1);
  Refresh(after + 1);
  if (after + 1 < Count_) Refresh(after + 2);
}

void TPage::RemoveEntry(int position) { RemoveEntries(position, position); }

void TPage::AppendEntries(const TPage& other, int first, int last) {
  if (last < first) return;
  assert(other.KeyLength_ == KeyLength_ && first >= 1 && last <= other.Count_);
  size_t stride = size_t(Stride());
  size_t bytes = size_t(last - first + 1) * stride;
  std::vector<uint8_t> copy;
  const uint8_t* source = other.Entry(first);
  if (&other == this) {
    copy.assign(source, source + bytes);
    source = copy.data();
  }
  bool sameMode = other.Compressed() == Compressed() && other.Compression_ == Compression_ &&
                  other.Unique_ == Unique_;
  int start = Count_ + 1;
  Reserve(Count_ + (last - first + 1));
  std::memcpy(Entries_.data() + size_t(Count_) * stride, source, bytes);
  Count_ += last - first + 1;
  AdoptCopied(start, Count_, sameMode);
}

void TPage::PrependEntries(const TPage& other, int first, int last) {
  if (last < first) return;
  assert(other.KeyLength_ == KeyLength_ && first >= 1 && last <= other.Count_);
  int n = last - first + 1;
  size_t stride = size_t(Stride());
  size_t bytes = size_t(n) * stride;
  std::vector<uint8_t> copy;
  const uint8_t* source = other.Entry(first);
  if (&other == this) {
    copy.assign(source, source + bytes);
    source = copy.data();
  }
  bool sameMode = other.Compressed() == Compressed() && other.Compression_ == Compression_ &&
                  other.Unique_ == Unique_;
  Reserve(Count_ + n);
  std::memmove(Entries_.data() + bytes, Entries_.data(), size_t(Count_) * stride);
  std::memcpy(Entries_.data(), source, bytes);
  Count_ += n;
  AdoptCopied(1, n, sameMode);
}

void TPage::AdoptCopied(int first, int last, bool sameMode) {
  for (int p = first; p <= last; ++p) {
    if (!sameMode) {
      Entry(p)[KeyLength_ + 8] = 0;
      Entry(p)[KeyLength_ + 9] = 0;
    }
    PackedSize_ += EntrySize(p);
  }
  // Copied in the same mode, each entry but the first still follows the key it was packed
  // against; otherwise every one is computed afresh.
  for (int p = first; p <= (sameMode ? first : last); ++p) Refresh(p);
  if (last < Count_) Refresh(last + 1);
}

void TPage::RemoveEntries(int first, int last) {
  if (last < first) return;
  assert(first >= 1 && last <= Count_);
  for (int p = first; p <= last; ++p) PackedSize_ -= EntrySize(p);
  size_t stride = size_t(Stride());
  std::memmove(Entry(first), Entries_.data() + size_t(last) * stride,
               size_t(Count_ - last) * stride);
  Count_ -= last - first + 1;
  if (first <= Count_) Refresh(first);
}

int64_t TPage::TotalCount() const {
  if (IsLeaf()) return Count_;
  int64_t total = 0;
  for (int p = 1; p <= Count_; ++p) total += LoadI32(Entry(p) + KeyLength_ + 4);
  return total;
}

int TPage::Capacity() const {
  return int(kPageDataSize) / (KeyLength_ + (IsLeaf() ? 5 : 9));
}

bool TPage::Overfull() const {
  if (Compressed()) return PackedSize_ > int(kPageDataSize);
  return Count_ > Capacity();
}

int TPage::CompressiblePart() const {
  return Unique_ ? KeyLength_ : std::max(0, KeyLength_ - kRowIdKeyLength);
}

void TPage::ComputeDupTrail(int position, uint8_t& dup, uint8_t& trail) const {
  dup = 0;
  trail = 0;
  if (!Compressed()) return;
  const uint8_t* key = Key(position);
  int d = 0;
  if (Compression_ != COMPRESS_TRAILBYTE && position > 1) {
    const uint8_t* previous = Key(position - 1);
    int limit = std::min(KeyLength_, kMaxDup);
    while (d < limit && previous[d] == key[d]) ++d;
  }
  int t = 0;
  if (Compression_ != COMPRESS_DUPBYTE) {
    // The trail stops at the prefix: a key whose prefix covers its whole compressible part
    // keeps trail 0 and stores the rest whole.
    int c = CompressiblePart();
    while (t < kMaxTrail && c - t > d && key[c - t - 1] == 0) ++t;
  }
  dup = uint8_t(d);
  trail = uint8_t(t);
}

int TPage::SizeOf(uint8_t dup, uint8_t trail) const {
  if (!Compressed()) return KeyLength_ + (IsLeaf() ? 4 : 8);
  switch (Compression_) {
    case COMPRESS_DUPBYTE:
      return KeyLength_ - dup + 5;
    case COMPRESS_TRAILBYTE:
      return KeyLength_ - trail + 5;
    default:
      return KeyLength_ - dup - trail + 6;
  }
}

int TPage::EntrySize(int position) const {
  const uint8_t* entry = Entry(position);
  return SizeOf(entry[KeyLength_ + 8], entry[KeyLength_ + 9]);
}

void TPage::Refresh(int position) {
  uint8_t* entry = Entry(position);
  int old = EntrySize(position);
  ComputeDupTrail(position, entry[KeyLength_ + 8], entry[KeyLength_ + 9]);
  PackedSize_ += EntrySize(position) - old;
}

void TPage::RecomputeAll() {
  PackedSize_ = 0;
  for (int p = 1; p <= Count_; ++p) {
    uint8_t* entry = Entry(p);
    ComputeDupTrail(p, entry[KeyLength_ + 8], entry[KeyLength_ + 9]);
    PackedSize_ += EntrySize(p);
  }
}

bool TPage::Pack(uint8_t* image) const {
  std::memset(image, 0, kPageSize);
  int count = Free_ ? 0 : Count_;
  if (count > 0 && PackedSize_ > int(kPageDataSize)) return false;
  bool compressed = Compressed();
  image[0] = Type_;
  StoreI16(image + 1, int16_t(count));
  StoreI32(image + 3, Previous_);
  StoreI32(image + 7, Next_);
  StoreI16(image + 11, int16_t(compressed && count > 0 ? PackedSize_ : 0));
  uint8_t* out = image + kPageHeaderSize;
  int k = KeyLength_;
  int c = CompressiblePart();
  for (int p = 1; p <= count; ++p) {
    const uint8_t* entry = Entry(p);
    uint8_t dup = entry[k + 8];
    uint8_t trail = entry[k + 9];
    if (!compressed) {
      std::memcpy(out, entry, size_t(k) + 4);
      out += k + 4;
      if (!IsLeaf()) {
        std::memcpy(out, entry + k + 4, 4);
        out += 4;
      }
      continue;
    }
    if (Compression_ == COMPRESS_DUPBYTE) {
      *out++ = dup;
    } else if (Compression_ == COMPRESS_TRAILBYTE) {
      *out++ = trail;
    } else {
      *out++ = dup;
      *out++ = trail;
    }
    out += PutKeyBody(out, entry, k, c, dup, trail);
    std::memcpy(out, entry + k, 4);
    out += 4;
  }
  // PackedSize_ is kept by every change of entries; the written bytes must agree with it.
  assert(count == 0 || out - (image + kPageHeaderSize) == PackedSize_);
  return true;
}

bool TPage::Unpack(const uint8_t* image) {
  uint8_t type = image[0];
  int count = LoadI16(image + 1);
  Clear();
  if (type > PAGE_ROOT_LEAF || count < 0) return false;
  Type_ = type;
  Previous_ = LoadI32(image + 3);
  Next_ = LoadI32(image + 7);
  if (!UnpackEntries(image, count)) {
    Clear();
    return false;
  }
  return true;
}

bool TPage::UnpackEntries(const uint8_t* image, int count) {
  const uint8_t* in = image + kPageHeaderSize;
  const uint8_t* end = image + kPageSize;
  int k = KeyLength_;
  if (!Compressed()) {
    size_t width = size_t(k) + (IsLeaf() ? 4 : 8);
    if (size_t(count) * width > kPageDataSize) return false;
    Reserve(count);
    for (int p = 1; p <= count; ++p, in += width) {
      uint8_t* entry = Entries_.data() + size_t(p - 1) * size_t(Stride());
      CopyShort(entry, in, size_t(k) + 4);
      StoreI32(entry + k + 4, IsLeaf() ? 1 : LoadI32(in + k + 4));
      entry[k + 8] = 0;
      entry[k + 9] = 0;
    }
    Count_ = count;
    PackedSize_ = int(size_t(count) * width);
    return true;
  }

  if (count > int(kPageDataSize) / kMinPackedEntry) return false;
  Reserve(count);
  int c = CompressiblePart();
  int head = Compression_ == COMPRESS_FULL ? 2 : 1;
  for (int p = 1; p <= count; ++p) {
    if (end - in < head) return false;
    int dup = 0;
    int trail = 0;
    if (Compression_ == COMPRESS_DUPBYTE) {
      dup = in[0];
    } else if (Compression_ == COMPRESS_TRAILBYTE) {
      trail = in[0];
    } else {
      dup = in[0];
      trail = in[1];
    }
    in += head;
    if (dup > std::min(k, kMaxDup) || (p == 1 && dup != 0)) return false;
    if (trail > kMaxTrail || (trail > 0 && dup + trail > c)) return false;
    int body = k - dup - trail;
    if (end - in < body + 4) return false;
    uint8_t* entry = Entries_.data() + size_t(p - 1) * size_t(Stride());
    if (dup > 0) CopyShort(entry, entry - Stride(), size_t(dup));
    GetKeyBody(entry, in, k, c, dup, trail);
    in += body;
    std::memcpy(entry + k, in, 4);
    in += 4;
    StoreI32(entry + k + 4, 1);
    Count_ = p;
  }
  // The header's packed size is redundant with the entries; a mismatch means damage.
  if (LoadI16(image + 11) != in - (image + kPageHeaderSize)) return false;
  // Another writer may have packed with shorter prefixes or trails than ours: recompute so
  // that PackedSize_ is what Pack will write.
  RecomputeAll();
  return true;
}

std::unique_ptr<TPage> TPageStack::Take() {
  if (Spares_.empty()) return std::make_unique<TPage>();
  std::unique_ptr<TPage> page = std::move(Spares_.back());
  Spares_.pop_back();
  page->Clear();
  page->PageNumber_ = 0;
  page->Modified_ = false;
  page->UseCount_ = 0;
  page->Older_ = nullptr;
  page->Newer_ = nullptr;
  return page;
}

void TPageStack::GiveBack(std::unique_ptr<TPage> page) {
  // A few spares serve the next reads; the rest of a dropped cache goes back to the system,
  // so that a large transaction's pages do not stay allocated after it.
  if (page && Spares_.size() < kMaxSparePages) Spares_.push_back(std::move(page));
}

}  // namespace veldor
