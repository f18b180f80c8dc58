#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/index_page.h"
#include "lib/byte_order.h"

namespace veldor {
namespace {

using Key = std::vector<uint8_t>;

struct Settings {
  int K;
  bool Unique;
  uint8_t Mode;
};

std::string Describe(const Settings& s, bool leaf) {
  return "K=" + std::to_string(s.K) + (s.Unique ? " unique" : " non-unique") +
         " mode=" + std::to_string(s.Mode) + (leaf ? " leaf" : " internal");
}

// All settings the tests loop over: every mode, unique and not, short to longest keys.
std::vector<Settings> AllSettings() {
  std::vector<Settings> all;
  for (uint8_t mode : {COMPRESS_NONE, COMPRESS_DUPBYTE, COMPRESS_TRAILBYTE, COMPRESS_FULL}) {
    for (int k : {1, 5, 31, 300, 526}) all.push_back({k, true, mode});
    for (int k : {5, 9, 31, 300, 526}) all.push_back({k, false, mode});
  }
  return all;
}

uint32_t Seed() {
  if (const char* fixed = std::getenv("VELDOR_TEST_SEED")) return uint32_t(std::strtoul(fixed, nullptr, 10));
  return std::random_device{}();
}

void SetupPage(TPage& page, const Settings& s, bool leaf) {
  page.Setup(s.K, 1, false, s.Unique, s.Mode);
  page.SetType(leaf ? PAGE_LEAF : PAGE_INTERNAL);
}

int Compressible(const Settings& s) { return s.Unique ? s.K : s.K - 4; }

// A key near `base`: bytes from a random position on are replaced by a few small values
// ending in a run of zeros up to the end of the compressible part, so that neighbours share
// prefixes of every length (also beyond 254) and trails of every length.
Key NearKey(std::mt19937& rng, const Settings& s, const Key& base) {
  static const uint8_t kAlphabet[] = {0, 1, 2, 0x41, 0xFF};
  Key key = base;
  int c = Compressible(s);
  int from = int(rng() % uint32_t(s.K + 1));
  int meaningful = from < c ? from + int(rng() % uint32_t(c - from + 1)) : from;
  for (int i = from; i < s.K; ++i) {
    if (i < c)
      key[i] = i < meaningful ? kAlphabet[rng() % 5] : 0;
    else
      key[i] = (rng() % 3 == 0) ? 0 : uint8_t(rng());
  }
  return key;
}

struct Entry {
  Key K;
  int32_t Reference;
  int32_t Count;
};

// Record numbers and counts with a non-zero top byte, so the last byte a packed entry
// writes is never zero and the end of the packed entries can be seen in the image.
int32_t Number(std::mt19937& rng) { return int32_t(0x01000000u | (rng() & 0x00FFFFFFu)); }

// The packed size of a run of entries computed from the format rules alone.
int ModelPackedSize(const std::vector<Entry>& entries, const Settings& s, bool leaf) {
  if (!leaf || s.Mode == COMPRESS_NONE) return int(entries.size()) * (s.K + (leaf ? 4 : 8));
  int c = Compressible(s);
  int total = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Key& key = entries[i].K;
    int dup = 0;
    if (s.Mode != COMPRESS_TRAILBYTE && i > 0)
      while (dup < std::min(s.K, 254) && entries[i - 1].K[dup] == key[dup]) ++dup;
    int trail = 0;
    bool wholeRest = s.Mode == COMPRESS_FULL && !s.Unique && s.K - dup < 5;
    if (s.Mode != COMPRESS_DUPBYTE && !wholeRest) {
      int from = s.Mode == COMPRESS_FULL ? dup : 0;
      while (trail < 254 && c - trail > from && key[c - trail - 1] == 0) ++trail;
    }
    if (s.Mode == COMPRESS_DUPBYTE) total += s.K - dup + 5;
    if (s.Mode == COMPRESS_TRAILBYTE) total += s.K - trail + 5;
    if (s.Mode == COMPRESS_FULL) total += s.K - dup - trail + 6;
  }
  return total;
}

void ExpectEntries(const TPage& page, const std::vector<Entry>& model, bool leaf) {
  ASSERT_EQ(page.Count(), int(model.size()));
  for (int p = 1; p <= page.Count(); ++p) {
    const Entry& e = model[size_t(p - 1)];
    ASSERT_TRUE(std::equal(e.K.begin(), e.K.end(), page.Key(p))) << "key of entry " << p;
    ASSERT_EQ(page.Reference(p), e.Reference) << "entry " << p;
    ASSERT_EQ(page.SubtreeCount(p), leaf ? 1 : e.Count) << "entry " << p;
  }
}

// Packs `page`, checks the header and that exactly PackedSize() bytes follow it, unpacks
// into a fresh page and compares with the model.
void ExpectRoundTrip(const TPage& page, const Settings& s, bool leaf,
                     const std::vector<Entry>& model) {
  std::array<uint8_t, kPageSize> image;
  image.fill(0xAA);
  ASSERT_TRUE(page.Pack(image.data()));
  EXPECT_EQ(image[0], page.Type());
  EXPECT_EQ(LoadI16(&image[1]), page.Count());
  EXPECT_EQ(LoadI32(&image[3]), page.Previous());
  EXPECT_EQ(LoadI32(&image[7]), page.Next());
  EXPECT_EQ(LoadI16(&image[11]), page.Compressed() && page.Count() > 0 ? page.PackedSize() : 0);
  size_t end = kPageHeaderSize + size_t(page.PackedSize());
  if (page.Count() > 0) { EXPECT_NE(image[end - 1], 0) << "packed entries end before PackedSize"; }
  EXPECT_TRUE(std::all_of(image.begin() + long(end), image.end(), [](uint8_t b) { return b == 0; }))
      << "packed entries run past PackedSize";

  TPage back;
  SetupPage(back, s, leaf);
  ASSERT_TRUE(back.Unpack(image.data()));
  EXPECT_EQ(back.Type(), page.Type());
  EXPECT_EQ(back.Previous(), page.Previous());
  EXPECT_EQ(back.Next(), page.Next());
  EXPECT_EQ(back.PackedSize(), page.PackedSize());
  ExpectEntries(back, model, leaf);
}

TEST(IndexPage, RoundTripOfFullAndPartPagesInEveryMode) {
  uint32_t seed = Seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (const Settings& s : AllSettings()) {
    for (bool leaf : {true, false}) {
      SCOPED_TRACE(Describe(s, leaf));
      for (int trial = 0; trial < 4; ++trial) {
        std::vector<Entry> model;
        Key key(size_t(s.K), 0);
        std::vector<Key> keys;
        for (int i = 0; i < 900; ++i) keys.push_back(key = NearKey(rng, s, key));
        std::sort(keys.begin(), keys.end());
        TPage page;
        SetupPage(page, s, leaf);
        page.SetPrevious(int32_t(rng()));
        page.SetNext(int32_t(rng()));
        // Trial 0 fills the page to the last entry that fits; the others stop at random.
        size_t limit = trial == 0 ? keys.size() : rng() % 60;
        for (size_t i = 0; i < limit; ++i) {
          Entry e{keys[i], Number(rng), Number(rng)};
          page.InsertEntry(page.Count(), e.K.data(), e.Reference, e.Count);
          model.push_back(e);
          if (page.Overfull()) {
            page.RemoveEntry(page.Count());
            model.pop_back();
            break;
          }
        }
        ASSERT_EQ(page.PackedSize(), ModelPackedSize(model, s, leaf));
        ASSERT_FALSE(page.Overfull());
        int64_t total = 0;
        for (const Entry& e : model) total += leaf ? 1 : e.Count;
        EXPECT_EQ(page.TotalCount(), total);
        ExpectRoundTrip(page, s, leaf, model);
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(IndexPage, PackedSizeFollowsEveryKindOfChange) {
  uint32_t seed = Seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  for (const Settings& s : AllSettings()) {
    for (bool leaf : {true, false}) {
      SCOPED_TRACE(Describe(s, leaf));
      TPage page, other;
      SetupPage(page, s, leaf);
      SetupPage(other, s, leaf);
      std::vector<Entry> model, otherModel;
      Key key(size_t(s.K), 0);
      for (int i = 0; i < 40; ++i) {
        Entry e{key = NearKey(rng, s, key), Number(rng), Number(rng)};
        other.InsertEntry(other.Count(), e.K.data(), e.Reference, e.Count);
        otherModel.push_back(e);
      }
      auto pick = [&](int n) { return int(rng() % uint32_t(n)); };
      for (int op = 0; op < 300; ++op) {
        int n = page.Count();
        int kind = pick(7);
        if (n > std::min(120, 2 * page.Capacity() + 4)) kind = 1;  // about two pages at most
        if (n == 0 && kind >= 1 && kind <= 3) kind = 0;
        if (kind == 0) {
          int after = pick(n + 1);
          Key near = n == 0 ? key : model[size_t(std::max(after, 1) - 1)].K;
          Entry e{NearKey(rng, s, near), Number(rng), Number(rng)};
          page.InsertEntry(after, e.K.data(), e.Reference, e.Count);
          model.insert(model.begin() + after, e);
        } else if (kind == 1) {
          int position = 1 + pick(n);
          page.RemoveEntry(position);
          model.erase(model.begin() + position - 1);
        } else if (kind == 2) {
          int position = 1 + pick(n);
          Key changed = NearKey(rng, s, model[size_t(position - 1)].K);
          page.SetKey(position, changed.data());
          model[size_t(position - 1)].K = changed;
        } else if (kind == 3) {
          int first = 1 + pick(n);
          int last = first + pick(std::min(n - first + 1, 8));
          page.RemoveEntries(first, last);
          model.erase(model.begin() + first - 1, model.begin() + last);
        } else {
          int first = 1 + pick(other.Count());
          int last = first + pick(std::min(other.Count() - first + 1, 10));
          auto from = otherModel.begin() + first - 1, to = otherModel.begin() + last;
          if (kind == 4) {
            page.AppendEntries(other, first, last);
            model.insert(model.end(), from, to);
          } else if (kind == 6 && n > 0) {  // a run of the page itself, to its end
            first = 1 + pick(n);
            last = first + pick(std::min(n - first + 1, 10));
            std::vector<Entry> run(model.begin() + first - 1, model.begin() + last);
            page.AppendEntries(page, first, last);
            model.insert(model.end(), run.begin(), run.end());
          } else {
            page.PrependEntries(other, first, last);
            model.insert(model.begin(), from, to);
          }
        }
        ASSERT_EQ(page.PackedSize(), ModelPackedSize(model, s, leaf)) << "after op " << op;
        if (op % 20 == 0) {
          ExpectEntries(page, model, leaf);
          if (!page.Overfull()) ExpectRoundTrip(page, s, leaf, model);
          if (HasFatalFailure()) return;
        }
      }
      // A change between leaf and internal type changes the packed form of every entry.
      page.SetType(leaf ? PAGE_INTERNAL : PAGE_LEAF);
      EXPECT_EQ(page.PackedSize(), ModelPackedSize(model, s, !leaf));
      page.SetType(leaf ? PAGE_LEAF : PAGE_INTERNAL);
      EXPECT_EQ(page.PackedSize(), ModelPackedSize(model, s, leaf));
    }
  }
}

// Walks the packed FULL entries of an image: (dup, trail, size) per entry.
struct Packed {
  int Dup, Trail, Size;
};
std::vector<Packed> WalkFull(const uint8_t* image, int k) {
  std::vector<Packed> out;
  size_t at = kPageHeaderSize;
  for (int i = 0; i < LoadI16(image + 1); ++i) {
    Packed p{image[at], image[at + 1], k - image[at] - image[at + 1] + 6};
    out.push_back(p);
    at += size_t(p.Size);
  }
  return out;
}

TEST(IndexPage, FullCompressionOfKeysSharingTenBytes) {
  for (bool unique : {true, false}) {
    const int k = 40;
    const int c = unique ? k : k - 4;
    SCOPED_TRACE(unique ? "unique" : "non-unique");
    TPage page;
    page.Setup(k, 1, false, unique, COMPRESS_FULL);
    std::vector<int> trails;
    for (int i = 0; i < 20; ++i) {
      Key key(size_t(k), 0);
      for (int j = 0; j < 10; ++j) key[size_t(j)] = uint8_t(0x30 + j);
      key[10] = uint8_t(0x40 + i);  // every key differs from its neighbour at byte 10
      int trail = i % (c - 11);
      for (int j = 11; j < c - trail; ++j) key[size_t(j)] = 0x55;
      for (int j = c; j < k; ++j) key[size_t(j)] = uint8_t(i);  // suffix, zero for i = 0
      trails.push_back(trail);
      int before = page.PackedSize();
      page.InsertEntry(page.Count(), key.data(), 7, 1);
      if (i > 0) { EXPECT_EQ(page.PackedSize() - before, k - 10 - trail + 6) << "entry " << i; }
    }
    std::array<uint8_t, kPageSize> image;
    ASSERT_TRUE(page.Pack(image.data()));
    std::vector<Packed> walked = WalkFull(image.data(), k);
    ASSERT_EQ(walked.size(), 20u);
    EXPECT_EQ(walked[0].Dup, 0);
    EXPECT_EQ(walked[0].Trail, trails[0]);
    for (size_t i = 1; i < walked.size(); ++i) {
      EXPECT_EQ(walked[i].Dup, 10) << "entry " << i;
      EXPECT_EQ(walked[i].Trail, trails[i]) << "entry " << i;
    }
  }
}

// Single pairs of keys and the dup and trail bytes their second entry packs with.
TEST(IndexPage, DupAndTrailLimits) {
  struct Case {
    const char* name;
    Settings s;
    std::function<void(Key&, Key&)> make;
    int dup, trail;
  };
  const Case cases[] = {
      {"dup capped at 254", {526, true, COMPRESS_FULL},
       [](Key& a, Key& b) { std::fill(a.begin(), a.end(), 7); b = a; b[400] = 8; }, 254, 0},
      {"trail capped at 254", {526, true, COMPRESS_TRAILBYTE},
       [](Key& a, Key& b) { a[0] = 1; b[0] = 2; }, 0, 254},
      {"DUPBYTE prefix into the suffix", {9, false, COMPRESS_DUPBYTE},
       [](Key& a, Key& b) { a[8] = 1; b[8] = 2; }, 8, 0},
      {"FULL prefix into the suffix stores the rest whole", {9, false, COMPRESS_FULL},
       [](Key& a, Key& b) { a[0] = b[0] = 1; a[8] = 1; b[8] = 2; }, 8, 0},
      {"FULL prefix covering the compressible part exactly", {9, false, COMPRESS_FULL},
       [](Key& a, Key& b) { a[0] = b[0] = 1; a[5] = 1; b[5] = 2; }, 5, 0},
      {"FULL prefix leaving five bytes", {9, false, COMPRESS_FULL},
       [](Key& a, Key& b) { a[0] = b[0] = 1; a[4] = 1; }, 4, 1},
      {"FULL trail stops at the prefix", {12, true, COMPRESS_FULL},
       [](Key& a, Key& b) { a[0] = b[0] = 3; a[11] = 5; }, 11, 1},
      {"TRAILBYTE keeps zero suffix bytes", {9, false, COMPRESS_TRAILBYTE},
       [](Key& a, Key& b) { a[0] = 1; b[0] = 1; b[1] = 5; }, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Key a(size_t(c.s.K), 0), b(size_t(c.s.K), 0);
    c.make(a, b);
    TPage page;
    page.Setup(c.s.K, 1, false, c.s.Unique, c.s.Mode);
    page.InsertEntry(0, a.data(), 0x01000001, 1);
    page.InsertEntry(1, b.data(), 0x01000002, 1);
    std::vector<Entry> model{{a, 0x01000001, 1}, {b, 0x01000002, 1}};
    EXPECT_EQ(page.PackedSize(), ModelPackedSize(model, c.s, true));
    std::array<uint8_t, kPageSize> image;
    ASSERT_TRUE(page.Pack(image.data()));
    // The first entry packs alone as it would on a page of its own.
    size_t at = kPageHeaderSize + size_t(ModelPackedSize({model[0]}, c.s, true));
    if (c.s.Mode == COMPRESS_DUPBYTE) { EXPECT_EQ(image[at], c.dup); }
    if (c.s.Mode == COMPRESS_TRAILBYTE) { EXPECT_EQ(image[at], c.trail); }
    if (c.s.Mode == COMPRESS_FULL) {
      EXPECT_EQ(image[at], c.dup);
      EXPECT_EQ(image[at + 1], c.trail);
    }
    ExpectRoundTrip(page, c.s, true, model);
  }
}

TEST(IndexPage, CapacityAndOverfull) {
  TPage page;
  page.Setup(5, 0, false, true, COMPRESS_NONE);
  EXPECT_EQ(page.Capacity(), 408);
  Key key(5, 0);
  for (int i = 0; i < 408; ++i) page.InsertEntry(page.Count(), key.data(), i, 1);
  EXPECT_FALSE(page.Overfull());
  page.InsertEntry(page.Count(), key.data(), 408, 1);
  EXPECT_TRUE(page.Overfull());

  page.Setup(5, 0, false, true, COMPRESS_FULL);
  page.SetType(PAGE_INTERNAL);
  EXPECT_EQ(page.Capacity(), 291);  // internal pages are never compressed
  for (int i = 0; i < 291; ++i) page.InsertEntry(page.Count(), key.data(), i, 1);
  EXPECT_FALSE(page.Overfull());
  page.InsertEntry(page.Count(), key.data(), 291, 1);
  EXPECT_TRUE(page.Overfull());

  // A compressed leaf is full by packed bytes, far beyond its entry-count capacity: K = 100
  // keys with 90 trailing zeros pack in 15 bytes each, 272 entries in 4080 bytes.
  page.Setup(100, 0, false, true, COMPRESS_TRAILBYTE);
  EXPECT_EQ(page.Capacity(), 38);
  Key wide(100, 0);
  for (int i = 0; i < 272; ++i) {
    wide[9] = uint8_t(1 + i % 200);
    page.InsertEntry(page.Count(), wide.data(), i, 1);
  }
  EXPECT_EQ(page.PackedSize(), 4080);
  EXPECT_FALSE(page.Overfull());
  std::array<uint8_t, kPageSize> image;
  EXPECT_TRUE(page.Pack(image.data()));
  page.InsertEntry(page.Count(), wide.data(), 272, 1);
  EXPECT_TRUE(page.Overfull());
  EXPECT_FALSE(page.Pack(image.data()));
}

TEST(IndexPage, FreePageIsWrittenWithoutEntries) {
  TPage page;
  page.Setup(9, 2, false, false, COMPRESS_FULL);
  Key key(9, 3);
  page.InsertEntry(0, key.data(), 11, 1);
  page.SetPrevious(4);
  page.SetNext(17);
  page.SetFree(true);
  std::array<uint8_t, kPageSize> image;
  ASSERT_TRUE(page.Pack(image.data()));
  EXPECT_EQ(LoadI16(&image[1]), 0);
  EXPECT_EQ(LoadI32(&image[7]), 17);
  EXPECT_EQ(LoadI16(&image[11]), 0);
  EXPECT_TRUE(std::all_of(image.begin() + kPageHeaderSize, image.end(), [](uint8_t b) { return b == 0; }));
  TPage back;
  back.Setup(9, 2, false, false, COMPRESS_FULL);
  ASSERT_TRUE(back.Unpack(image.data()));
  EXPECT_EQ(back.Count(), 0);
  EXPECT_EQ(back.Next(), 17);
}

TEST(IndexPage, UnpackAcceptsShorterPrefixesThanItWouldWrite) {
  // Entry 2 repeats entry 1 but was packed with dup 0: still a valid image.
  const int k = 6;
  std::array<uint8_t, kPageSize> image{};
  image[0] = PAGE_LEAF;
  StoreI16(&image[1], 2);
  StoreI16(&image[11], 2 * (k + 5));
  for (int e = 0; e < 2; ++e) {
    uint8_t* at = &image[kPageHeaderSize + size_t(e * (k + 5))];
    at[0] = 0;
    for (int j = 0; j < k; ++j) at[1 + j] = uint8_t(j + 1);
    StoreI32(at + 1 + k, 100 + e);
  }
  TPage page;
  page.Setup(k, 1, false, true, COMPRESS_DUPBYTE);
  ASSERT_TRUE(page.Unpack(image.data()));
  ASSERT_EQ(page.Count(), 2);
  EXPECT_TRUE(std::equal(page.Key(1), page.Key(1) + k, page.Key(2)));
  EXPECT_EQ(page.Reference(2), 101);
  EXPECT_EQ(page.PackedSize(), (k + 5) + 5);  // what Pack writes: the second entry as dup 6
}

// A valid image of the given settings and keys, for the damage cases to start from.
std::array<uint8_t, kPageSize> ValidImage(const Settings& s, bool leaf, const std::vector<Key>& keys) {
  TPage page;
  SetupPage(page, s, leaf);
  for (const Key& key : keys) page.InsertEntry(page.Count(), key.data(), 0x01020304, 5);
  std::array<uint8_t, kPageSize> image;
  EXPECT_TRUE(page.Pack(image.data()));
  return image;
}

TEST(IndexPage, DamagedImagesAreRejected) {
  // FULL, unique, K = 8: entry 1 at 13 (dup 0, trail 3, 5 key bytes, number: 11 bytes),
  // entry 2 at 24 (dup 3, trail 4, 1 key byte, number: 7 bytes); 18 packed bytes.
  const Settings full{8, true, COMPRESS_FULL};
  const std::vector<Key> fullKeys{{1, 2, 3, 4, 5, 0, 0, 0}, {1, 2, 3, 9, 0, 0, 0, 0}};
  const Settings trailNonUnique{9, false, COMPRESS_TRAILBYTE};
  const std::vector<Key> trailKeys{{1, 2, 0, 0, 0, 9, 9, 9, 9}};
  const Settings wide{526, true, COMPRESS_FULL};
  const std::vector<Key> wideKeys{Key(526, 1)};
  const Settings plain{5, true, COMPRESS_NONE};
  const std::vector<Key> plainKeys{{1, 2, 3, 4, 5}};
  struct Case {
    const char* name;
    Settings s;
    bool leaf;
    const std::vector<Key>* keys;
    std::function<void(uint8_t*)> damage;
    bool accepted;
  };
  const Case cases[] = {
      {"undamaged compressed leaf", full, true, &fullKeys, [](uint8_t*) {}, true},
      {"undamaged internal page", plain, false, &plainKeys, [](uint8_t*) {}, true},
      {"type 7", full, true, &fullKeys, [](uint8_t* p) { p[0] = 7; }, false},
      {"type 4", plain, false, &plainKeys, [](uint8_t* p) { p[0] = 4; }, false},
      {"negative count", full, true, &fullKeys, [](uint8_t* p) { StoreI16(p + 1, -1); }, false},
      {"huge count, compressed", full, true, &fullKeys, [](uint8_t* p) { StoreI16(p + 1, 32767); }, false},
      {"leaf count past the page", plain, true, &plainKeys, [](uint8_t* p) { StoreI16(p + 1, 454); }, false},
      {"leaf count filling the page", plain, true, &plainKeys, [](uint8_t* p) { StoreI16(p + 1, 453); }, true},
      {"internal count past the page", plain, false, &plainKeys, [](uint8_t* p) { StoreI16(p + 1, 315); }, false},
      {"one entry more than packed", full, true, &fullKeys, [](uint8_t* p) { StoreI16(p + 1, 3); }, false},
      {"packed size disagrees", full, true, &fullKeys, [](uint8_t* p) { StoreI16(p + 11, 17); }, false},
      {"first entry with a dup", full, true, &fullKeys, [](uint8_t* p) { p[13] = 1; }, false},
      {"dup beyond the previous key", full, true, &fullKeys, [](uint8_t* p) { p[24] = 9; }, false},
      {"dup 255", wide, true, &wideKeys,
       [](uint8_t* p) { StoreI16(p + 1, 2); p[13 + 532] = 255; StoreI16(p + 11, 532 + 6 + 526 - 255); }, false},
      {"trail beyond the key", full, true, &fullKeys, [](uint8_t* p) { p[25] = 6; }, false},
      {"trail into the row identifier", trailNonUnique, true, &trailKeys, [](uint8_t* p) { p[13] = 6; }, false},
      {"trail 255", wide, true, &wideKeys, [](uint8_t* p) { p[14] = 255; StoreI16(p + 11, 6 + 271 + 4); }, false},
      {"entries past the page end", wide, true, &wideKeys, [](uint8_t* p) { StoreI16(p + 1, 10); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::array<uint8_t, kPageSize> image = ValidImage(c.s, c.leaf, *c.keys);
    c.damage(image.data());
    TPage page;
    SetupPage(page, c.s, c.leaf);
    EXPECT_EQ(page.Unpack(image.data()), c.accepted);
    if (!c.accepted) { EXPECT_EQ(page.Count(), 0); }
  }
}

TEST(IndexPage, RandomGarbageNeverReadsOutsideThePage) {
  uint32_t seed = Seed();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 rng(seed);
  std::vector<Settings> all = AllSettings();
  int accepted = 0;
  for (int round = 0; round < 4000; ++round) {
    const Settings& s = all[rng() % all.size()];
    // Exactly one page image, so that the sanitizer sees any read past its end.
    std::vector<uint8_t> image(kPageSize);
    for (uint8_t& b : image) b = uint8_t(rng());
    // Mostly small counts and small prefix and trail bytes, so parsing gets deep.
    if (rng() % 2) StoreI16(&image[1], int16_t(rng() % 12));
    if (rng() % 2) image[0] = uint8_t(rng() % 4);
    if (rng() % 2)
      for (size_t i = kPageHeaderSize; i < image.size(); ++i) image[i] = uint8_t(image[i] % 8);
    TPage page;
    SetupPage(page, s, true);
    if (!page.Unpack(image.data())) continue;
    ++accepted;
    // Whatever was accepted packs and reads back as the same entries.
    std::vector<Entry> model;
    for (int p = 1; p <= page.Count(); ++p)
      model.push_back({Key(page.Key(p), page.Key(p) + s.K), page.Reference(p), page.SubtreeCount(p)});
    std::array<uint8_t, kPageSize> again;
    ASSERT_TRUE(page.Pack(again.data()));
    TPage back;
    back.Setup(s.K, 1, false, s.Unique, s.Mode);
    ASSERT_TRUE(back.Unpack(again.data()));
    ExpectEntries(back, model, page.IsLeaf());
  }
  EXPECT_GT(accepted, 0);  // the loop reached the entry parsing, not only the header checks
}

TEST(PageStack, TakeReturnsACleanSpare) {
  TPageStack stack;
  std::unique_ptr<TPage> page = stack.Take();
  page->Setup(9, 3, true, false, COMPRESS_DUPBYTE);
  Key key(9, 4);
  page->InsertEntry(0, key.data(), 1, 1);
  page->SetNext(8);
  page->SetPageNumber(12);
  page->SetModified();
  page->AddUse();
  page->SetFree(true);
  TPage* raw = page.get();
  stack.GiveBack(std::move(page));
  EXPECT_EQ(stack.Count(), 1u);
  std::unique_ptr<TPage> again = stack.Take();
  EXPECT_EQ(again.get(), raw);
  EXPECT_EQ(stack.Count(), 0u);
  EXPECT_EQ(again->Count(), 0);
  EXPECT_EQ(again->PackedSize(), 0);
  EXPECT_EQ(again->Next(), 0);
  EXPECT_EQ(again->PageNumber(), 0);
  EXPECT_FALSE(again->Modified());
  EXPECT_EQ(again->UseCount(), 0);
  EXPECT_FALSE(again->Free());
  EXPECT_NE(stack.Take().get(), raw);  // an empty stack makes a new page
}

}  // namespace
}  // namespace veldor
