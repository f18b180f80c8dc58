// Randomized model test of the cursor: random appends, modifies and deletes through a
// cursor on a table with several indexes and a memo, checked after every batch against an
// in-memory model in every order, with and without ranges, before and after reopening.
//
// The model knows, per row identifier, the field values, the memo bytes and the slot the
// row lives in; from it follow the expected order of each index (ties of the non-unique
// index by row identifier), the record numbers, the slot a new row takes (free slots are
// reused last-freed-first only when the table has a user primary key) and which writes
// must fail with a key violation.

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "engine/btree.h"
#include "lib/collation.h"
#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

constexpr uint16_t kGerman = 0x0407;

// ---- Values and rows of the model ------------------------------------------------------------

struct TRow {
  int32_t Id = 0;
  std::optional<std::string> Name;  // stored form: cut to 20, trailing blanks removed
  std::optional<int32_t> Amount;
  std::string Memo;
  int32_t Slot = 0;
};

// What a string field keeps of a text: at most 20 characters, no trailing blanks; nothing
// left is null.
std::optional<std::string> StoredName(const std::string& text) {
  std::string s = text.substr(0, 20);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  if (s.empty()) return std::nullopt;
  return s;
}

// The orders the test walks. Secondary indexes are numbered in definition order.
enum class TOrder { Natural, Primary, ByName, ByAmount, ByNameAmount };
constexpr int kByName = 1, kByAmount = 2, kByNameAmount = 3;

const char* OrderName(TOrder o) {
  switch (o) {
    case TOrder::Natural: return "natural";
    case TOrder::Primary: return "primary";
    case TOrder::ByName: return "ByName";
    case TOrder::ByAmount: return "ByAmount";
    case TOrder::ByNameAmount: return "ByNameAmount";
  }
  return "?";
}

// A bound of a range, or of a search: the values of the index's fields in key order.
struct TBound {
  std::optional<int32_t> Id;
  std::optional<std::string> Name;
  std::optional<int32_t> Amount;
};

// The rows and, per order, their identifiers kept sorted as the rows change.
class TModel {
 public:
  TModel(bool primaryKey, const TCollation& collation)
      : PrimaryKey_(primaryKey), Collation_(collation) {
    for (TOrder o : kOrders) Sorted_.emplace(o, std::set<int32_t, TLess>(TLess{this, o}));
  }
  TModel(const TModel&) = delete;
  TModel& operator=(const TModel&) = delete;

  static constexpr TOrder kOrders[] = {TOrder::Natural, TOrder::Primary, TOrder::ByName, TOrder::ByAmount,
                                       TOrder::ByNameAmount};

  const std::map<int32_t, TRow>& Rows() const { return Rows_; }
  const TRow& Row(int32_t rowId) const { return Rows_.at(rowId); }
  int32_t LastRowId = 0;
  int32_t PhysicalCount = 0;
  std::vector<int32_t> FreeSlots;  // the free chain, head at the back

  bool PrimaryKey() const { return PrimaryKey_; }
  bool NaturalFor(TOrder o) const { return o == TOrder::Natural || (o == TOrder::Primary && !PrimaryKey_); }

  // The slot the next append takes.
  int32_t TakeSlot() {
    if (PrimaryKey_ && !FreeSlots.empty()) {
      int32_t s = FreeSlots.back();
      FreeSlots.pop_back();
      return s;
    }
    return ++PhysicalCount;
  }
  // Adds or replaces a row.
  void Put(int32_t rowId, const TRow& row) {
    if (Rows_.count(rowId)) Unsort(rowId);
    Rows_[rowId] = row;
    for (auto& [o, set] : Sorted_) set.insert(rowId);
  }
  void Remove(int32_t rowId) {
    FreeSlots.push_back(Rows_.at(rowId).Slot);
    Unsort(rowId);
    Rows_.erase(rowId);
  }

  int CompareName(const std::optional<std::string>& a, const std::optional<std::string>& b) const {
    if (!a || !b) return int(bool(a)) - int(bool(b));  // null first
    return Collation_.Compare(std::string_view(*a), std::string_view(*b), false);
  }
  static int CompareInt(const std::optional<int32_t>& a, const std::optional<int32_t>& b) {
    if (!a || !b) return int(bool(a)) - int(bool(b));
    return *a < *b ? -1 : *a > *b ? 1 : 0;
  }

  static int FieldCount(TOrder o) { return o == TOrder::ByNameAmount ? 2 : 1; }
  static bool Unique(TOrder o) { return o != TOrder::ByName; }

  // The row against a bound over the first `fields` key fields of the order.
  int CompareToBound(TOrder o, const TRow& r, const TBound& b, int fields) const {
    switch (o) {
      case TOrder::Primary: return CompareInt(r.Id, b.Id);
      case TOrder::ByName: return CompareName(r.Name, b.Name);
      case TOrder::ByAmount: return CompareInt(r.Amount, b.Amount);
      case TOrder::ByNameAmount: {
        int c = CompareName(r.Name, b.Name);
        return c != 0 || fields < 2 ? c : CompareInt(r.Amount, b.Amount);
      }
      case TOrder::Natural: break;
    }
    return 0;
  }

  // Strict order of two rows in `o`.
  bool Before(TOrder o, int32_t a, int32_t b) const {
    const TRow& x = Rows_.at(a);
    const TRow& y = Rows_.at(b);
    if (NaturalFor(o)) return x.Slot < y.Slot;
    TBound by{y.Id, y.Name, y.Amount};
    int c = CompareToBound(o, x, by, FieldCount(o));
    if (c != 0) return c < 0;
    return !Unique(o) && a < b;  // non-unique keys end with the row identifier
  }

  // Row identifiers in the order `o`, limited to [start, end] when ranged (field counts as
  // the cursor takes them: 0 or the full count mean every field; a missing bound is open).
  std::vector<int32_t> Ordered(TOrder o, const std::optional<TBound>& start = {}, int startCount = 0,
                               const std::optional<TBound>& end = {}, int endCount = 0,
                               bool ranged = false) const {
    const auto& set = Sorted_.at(o);
    std::vector<int32_t> all(set.begin(), set.end());
    if (!ranged) return all;
    const int n = FieldCount(o);
    const int sc = startCount <= 0 || startCount > n ? n : startCount;
    const int ec = endCount <= 0 || endCount > n ? n : endCount;
    // The comparison with a bound grows along the order, so the range is one stretch.
    auto from = all.begin();
    if (start)
      from = std::partition_point(all.begin(), all.end(),
                                  [&](int32_t id) { return CompareToBound(o, Rows_.at(id), *start, sc) < 0; });
    auto to = all.end();
    if (end)
      to = std::partition_point(from, all.end(),
                                [&](int32_t id) { return CompareToBound(o, Rows_.at(id), *end, ec) <= 0; });
    return std::vector<int32_t>(from, to);
  }

  // Whether an image with these values duplicates a unique key of a row other than `self`.
  bool Violates(const TRow& r, int32_t self) const {
    for (const auto& [id, other] : Rows_) {
      if (id == self) continue;
      if (CompareInt(other.Amount, r.Amount) == 0) return true;  // ByAmount (and ByNameAmount)
      if (PrimaryKey_ && other.Id == r.Id) return true;
    }
    return false;
  }

 private:
  struct TLess {
    const TModel* Model;
    TOrder Order;
    bool operator()(int32_t a, int32_t b) const { return Model->Before(Order, a, b); }
  };
  void Unsort(int32_t rowId) {
    for (auto& [o, set] : Sorted_) set.erase(rowId);
  }

  bool PrimaryKey_;
  const TCollation& Collation_;
  std::map<int32_t, TRow> Rows_;  // by row identifier
  std::map<TOrder, std::set<int32_t, TLess>> Sorted_;
};

// ---- The test ------------------------------------------------------------------------------------

struct TConfig {
  bool PrimaryKey;
  uint16_t Language;
  // An exclusive cursor keeps its writes in the caches until the table closes (and under
  // cache pressure); it has no sibling.
  bool Exclusive = false;
};

class CursorModelTest : public CursorTest,
                        public ::testing::WithParamInterface<std::tuple<TConfig, uint32_t>> {
 protected:
  static TTableDefinition Definition(const TConfig& config) {
    TTableDefinition d = People(config.PrimaryKey, int16_t(config.Language));
    d.Indexes.push_back(Index("ByNameAmount", {2, 3}, true));
    return d;
  }

  static int32_t RowIdOf(const uint8_t* image) {
    int32_t v = 0;
    std::memcpy(&v, image + 5, 4);
    return v;
  }

  void SetOrder(TDataCursor& c, TOrder o) {
    switch (o) {
      case TOrder::Natural: c.SetIndexNumber(kNaturalOrder); break;
      case TOrder::Primary: c.SetIndexName(""); break;
      case TOrder::ByName: c.SetIndexName("byname"); break;
      case TOrder::ByAmount: c.SetIndexName("BYAMOUNT"); break;
      case TOrder::ByNameAmount: c.SetIndexName("ByNameAmount"); break;
    }
    if (!c.NaturalOrder()) c.ResetRange();
  }

  std::vector<TOrder> Orders() const {
    return {TOrder::Natural, TOrder::Primary, TOrder::ByName, TOrder::ByAmount, TOrder::ByNameAmount};
  }

  // ---- Random values ----
  std::string RandomText(size_t length) {
    // Upper and lower case, marked letters and bytes above 0x7F, so that byte order and a
    // language's order differ.
    static const std::string alphabet = "AaBbEeMmOoSsZz \xC4\xE4\xD6\xF6\xDC\xFC\xDF-";
    std::string s;
    for (size_t i = 0; i < length; ++i) s += alphabet[Pick(alphabet.size())];
    return s;
  }
  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
  int32_t Between(int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng_); }

  std::string RandomNameText() {
    if (Chance(0.03)) return Chance(0.5) ? "" : "    ";  // null
    if (Chance(0.6)) return names_[Pick(names_.size())];
    std::string s = RandomText(size_t(Between(1, 24)));  // longer ones are cut
    if (s[0] == ' ') s[0] = 'q';
    return s;
  }
  std::optional<int32_t> RandomAmount() {
    if (Chance(0.02)) return std::nullopt;
    return Between(-3000, 3000);
  }
  std::string RandomMemo() {
    double p = std::uniform_real_distribution<double>(0, 1)(rng_);
    size_t size = p < 0.35 ? 0 : p < 0.65 ? size_t(Between(1, 100)) : size_t(Between(400, 3000));
    std::string s(size, '\0');
    for (auto& ch : s) ch = char(Between(1, 255));
    return s;
  }

  // ---- Images ----
  void Fill(TDataCursor& c, std::vector<uint8_t>& image, const TRow& r) {
    PutInt(c, image, "Id", r.Id);
    if (r.Name) PutText(c, image, "Name", *r.Name); else PutNull(c, image, "Name");
    if (r.Amount) PutInt(c, image, "Amount", *r.Amount); else PutNull(c, image, "Amount");
  }
  std::vector<uint8_t> BoundImage(TDataCursor& c, const TBound& b) {
    std::vector<uint8_t> image = Blank(c);
    if (b.Id) PutInt(c, image, "Id", *b.Id);
    if (b.Name) PutText(c, image, "Name", *b.Name); else PutNull(c, image, "Name");
    if (b.Amount) PutInt(c, image, "Amount", *b.Amount); else PutNull(c, image, "Amount");
    return image;
  }
  // The Memo of a record image becomes `memo`, through an engine-owned write buffer.
  void WriteMemo(TDataCursor& c, std::vector<uint8_t>& image, const std::string& memo) {
    uint16_t f = c.FieldNumber("Memo");
    ASSERT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerEngine, false, kBlobWrite), 0);
    ASSERT_EQ(c.TruncateBlob(f, image.data(), false, 0), 0);
    if (!memo.empty()) {
      ASSERT_EQ(c.PutBlob(f, image.data(), false, 0, uint32_t(memo.size()), memo.data()), 0);
    }
  }

  std::string Describe(const TRow& r) {
    std::ostringstream s;
    s << "Id " << r.Id << " Name " << (r.Name ? "'" + *r.Name + "'" : "null") << " Amount "
      << (r.Amount ? std::to_string(*r.Amount) : "null") << " memo " << r.Memo.size() << " bytes, slot "
      << r.Slot;
    return s.str();
  }

  // Whether the cursor's image holds row `rowId` of the model; adds a failure otherwise.
  bool Matches(TDataCursor& c, const uint8_t* image, int32_t rowId, const std::string& where) {
    const TRow& r = model_->Row(rowId);
    std::optional<std::string> name;
    if (!IsNull(c, image, "Name")) name = TextOf(c, image, "Name");
    std::optional<int32_t> amount;
    if (!IsNull(c, image, "Amount")) amount = IntOf(c, image, "Amount");
    if (RowIdOf(image) == rowId && IntOf(c, image, "Id") == r.Id && name == r.Name && amount == r.Amount)
      return true;
    ADD_FAILURE() << where << ": expected row " << rowId << " (" << Describe(r) << "), cursor has row "
                  << RowIdOf(image) << " Id " << IntOf(c, image, "Id");
    return false;
  }

  // ---- Checks of one order, with or without a range ----
  void CheckWalk(TDataCursor& c, TOrder o, const std::vector<int32_t>& expected, const std::string& what,
                 bool memos) {
    SCOPED_TRACE(what);
    const int64_t n = int64_t(expected.size());
    EXPECT_EQ(c.GetRecordCount(), n);
    std::vector<uint8_t> image(c.RecordSize());
    std::vector<std::vector<uint8_t>> bookmarks;

    // Forward: the records, their numbers, slots and bookmarks.
    c.SetToBegin();
    for (int64_t i = 0; i <= n; ++i) {
      uint16_t code = c.GetNextRecord(image.data());
      if (i == n) {
        EXPECT_EQ(code, VELDOR_EOF) << "forward walk goes past the " << n << " expected records";
        break;
      }
      if (code != 0) {
        ADD_FAILURE() << "forward walk ends after " << i << " of " << n << " records (" << code << ")";
        return;
      }
      if (!Matches(c, image.data(), expected[size_t(i)], "forward step " + std::to_string(i + 1))) return;
      EXPECT_EQ(c.GetRecNo(), i + 1) << "forward step " << i + 1;
      const TRow& row = model_->Row(expected[size_t(i)]);
      EXPECT_EQ(c.CurrentRecordNumber(), row.Slot) << "forward step " << i + 1;
      if (memos) {
        EXPECT_EQ(IsNull(c, image.data(), "Memo"), row.Memo.empty()) << "memo null flag, " << Describe(row);
        EXPECT_TRUE(MemoOf(c, image) == row.Memo) << "memo of " << Describe(row);
      }
      bookmarks.emplace_back(size_t(c.BookmarkSize()));
      c.GetBookmark(bookmarks.back().data());
      if (model_->NaturalFor(o)) {
        int32_t number = 0;
        std::memcpy(&number, bookmarks.back().data(), 4);
        EXPECT_EQ(number, row.Slot) << "natural bookmark";
      }
    }

    // Backward.
    c.SetToEnd();
    for (int64_t i = n - 1; i >= -1; --i) {
      uint16_t code = c.GetPriorRecord(image.data());
      if (i < 0) {
        EXPECT_EQ(code, VELDOR_BOF);
        break;
      }
      if (code != 0) {
        ADD_FAILURE() << "backward walk ends with " << i + 1 << " records left (" << code << ")";
        return;
      }
      if (RowIdOf(image.data()) != expected[size_t(i)]) {
        Matches(c, image.data(), expected[size_t(i)], "backward step at " + std::to_string(i + 1));
        return;
      }
      EXPECT_EQ(c.GetRecNo(), i + 1) << "backward step";
    }
    if (n == 0) return;

    // Record numbers land on the k-th record.
    std::vector<int64_t> numbers = {1, n};
    for (int k = 0; k < 8; ++k) numbers.push_back(int64_t(Pick(size_t(n))) + 1);
    for (int64_t k : numbers) {
      c.SetToRecNo(k);
      ASSERT_EQ(c.GetCurrentRecord(image.data()), 0) << "SetToRecNo(" << k << ")";
      if (!Matches(c, image.data(), expected[size_t(k - 1)], "SetToRecNo(" + std::to_string(k) + ")")) return;
      EXPECT_EQ(c.GetRecNo(), k);
    }
    if (!model_->NaturalFor(o)) {
      c.SetToRecNo(0);
      EXPECT_TRUE(c.Bof() && !c.Eof()) << "SetToRecNo(0)";
      ASSERT_EQ(c.GetNextRecord(image.data()), 0);
      Matches(c, image.data(), expected.front(), "next after SetToRecNo(0)");
      c.SetToRecNo(n + 1);
      EXPECT_TRUE(c.Eof() && !c.Bof()) << "SetToRecNo(count + 1)";
      ASSERT_EQ(c.GetPriorRecord(image.data()), 0);
      Matches(c, image.data(), expected.back(), "prior after SetToRecNo(count + 1)");
    }

    // Bookmarks lead back to their records and compare like the walk.
    for (int k = 0; k < 10; ++k) {
      size_t i = Pick(size_t(n));
      c.SetToRecNo(int64_t(Pick(size_t(n))) + 1);  // somewhere else first
      EXPECT_TRUE(c.SetToBookmark(bookmarks[i].data())) << "bookmark of step " << i + 1;
      ASSERT_EQ(c.GetCurrentRecord(image.data()), 0);
      if (!Matches(c, image.data(), expected[i], "bookmark of step " + std::to_string(i + 1))) return;
      EXPECT_EQ(c.GetRecNo(), int64_t(i) + 1);
      size_t j = Pick(size_t(n));
      int want = i < j ? -1 : i > j ? 1 : 0;
      EXPECT_EQ(c.CompareBookmarks(bookmarks[i].data(), bookmarks[j].data()), want)
          << "bookmarks of steps " << i + 1 << " and " << j + 1;
    }
  }

  // A bound drawn from the rows (so that equal keys are met) or made up.
  TBound RandomBound() {
    TBound b;
    if (!model_->Rows().empty() && Chance(0.7)) {
      auto it = model_->Rows().begin();
      std::advance(it, long(Pick(model_->Rows().size())));
      b = {it->second.Id, it->second.Name, it->second.Amount};
      if (Chance(0.3)) b.Amount = b.Amount ? *b.Amount + Between(-3, 3) : 0;
      if (Chance(0.2)) b.Id = b.Id.value_or(0) + Between(-3, 3);
      return b;
    }
    b.Id = Between(0, 2100);
    b.Name = StoredName(RandomNameText());
    b.Amount = RandomAmount();
    return b;
  }

  void CheckRanges(TDataCursor& c, TOrder o) {
    for (int k = 0; k < 4; ++k) {
      std::optional<TBound> start, end;
      if (!Chance(0.15)) start = RandomBound();
      if (!Chance(0.15)) end = RandomBound();
      // Mostly start <= end; sometimes the other way round (an empty range).
      if (start && end && Chance(0.8)) {
        TRow s{start->Id.value_or(0), start->Name, start->Amount, "", 0};
        if (model_->CompareToBound(o, s, *end, TModel::FieldCount(o)) > 0) std::swap(start, end);
      }
      int startCount = int(Pick(size_t(TModel::FieldCount(o)) + 1));
      int endCount = int(Pick(size_t(TModel::FieldCount(o)) + 1));
      std::vector<uint8_t> startImage = start ? BoundImage(c, *start) : std::vector<uint8_t>();
      std::vector<uint8_t> endImage = end ? BoundImage(c, *end) : std::vector<uint8_t>();
      c.SetRange(false, start ? startImage.data() : nullptr, endCount, end ? endImage.data() : nullptr,
                 startCount);
      EXPECT_TRUE(c.RangeActive());
      std::ostringstream what;
      what << OrderName(o) << " range " << (start ? Describe({start->Id.value_or(0), start->Name, start->Amount, "", 0}) : "lowest")
           << " (" << startCount << " fields) .. "
           << (end ? Describe({end->Id.value_or(0), end->Name, end->Amount, "", 0}) : "highest") << " (" << endCount
           << " fields)";
      CheckWalk(c, o, model_->Ordered(o, start, startCount, end, endCount, true), what.str(), false);
      if (HasFatalFailure()) return;
    }
    c.ResetRange();
    EXPECT_EQ(c.GetRecordCount(), int64_t(model_->Rows().size())) << "after ResetRange";
  }

  // Nearest and exact searches in an index order.
  void CheckFinds(TDataCursor& c, TOrder o) {
    std::vector<uint8_t> out(c.RecordSize());
    for (int k = 0; k < 6; ++k) {
      TBound b = RandomBound();
      std::vector<uint8_t> image = BoundImage(c, b);
      std::vector<int32_t> from = model_->Ordered(o, b, 0, {}, 0, true);
      bool exact = !from.empty() &&
                   model_->CompareToBound(o, model_->Row(from.front()), b, TModel::FieldCount(o)) == 0;
      bool found = c.Find(false, image.data(), out.data(), 0, true, 0);
      EXPECT_EQ(found, exact) << OrderName(o) << " nearest Find";
      std::vector<int32_t> all = model_->Ordered(o);
      if (all.empty()) continue;
      // A nearest search past the last key ends on the last record.
      Matches(c, out.data(), from.empty() ? all.back() : from.front(), std::string(OrderName(o)) + " nearest Find");
    }
  }

  void CheckTrees(TDataCursor& c) {
    TIndexFile& file = c.Table()->IndexFile();
    for (int index = model_->PrimaryKey() ? 0 : 1; index <= kByNameAmount; ++index) {
      TBTree tree(file, index, c.LayoutOf(index));
      EXPECT_EQ(tree.Check(), "") << "index " << index;
      EXPECT_EQ(tree.KeyCount(), int64_t(model_->Rows().size())) << "keys of index " << index;
    }
    // One status key per slot, deleted or live.
    TKeyLayout status = TKeyLayout::SysDeleted();
    TBTree deleted(file, kSysDeletedIndex, status);
    EXPECT_EQ(deleted.Check(), "") << "Sys Deleted";
    EXPECT_EQ(deleted.KeyCount(), int64_t(model_->PhysicalCount)) << "keys of Sys Deleted";
    EXPECT_EQ(file.ActiveRecords(), int32_t(model_->Rows().size()));
    EXPECT_EQ(c.Table()->DataFile().RecordCount(), model_->PhysicalCount) << "physical record count";
  }

  void Verify(TDataCursor& c, const std::string& label, bool full = true) {
    SCOPED_TRACE(label);
    for (TOrder o : Orders()) {
      if (o == TOrder::Primary && !model_->PrimaryKey()) {
        SetOrder(c, o);
        EXPECT_TRUE(c.NaturalOrder()) << "the primary index of a table without key fields";
      }
      SetOrder(c, o);
      CheckWalk(c, o, model_->Ordered(o), OrderName(o), full && o == TOrder::Natural);
      if (HasFatalFailure()) return;
      if (!full) continue;
      if (model_->NaturalFor(o)) {
        // Ranges and searches do nothing in natural order.
        std::vector<uint8_t> image = Blank(c);
        c.SetRange(false, image.data(), 0, image.data(), 0);
        EXPECT_EQ(c.GetRecordCount(), int64_t(model_->Rows().size())) << "SetRange in natural order";
        EXPECT_FALSE(c.Find(false, image.data(), nullptr, 0, true, 0)) << "Find in natural order";
        continue;
      }
      CheckRanges(c, o);
      if (HasFatalFailure()) return;
      CheckFinds(c, o);
    }
    if (full) CheckTrees(c);
  }

  // ---- Writes ----
  TRow RandomRow() {
    TRow r;
    r.Id = model_->PrimaryKey() ? Between(1, 2000) : Between(-50, 50);
    r.Name = StoredName(RandomNameText());
    r.Amount = RandomAmount();
    r.Memo = RandomMemo();
    return r;
  }

  // Puts the cursor on row `rowId`, which must be visible, in order `o` (range given).
  bool StandOn(TDataCursor& c, const std::vector<int32_t>& order, int32_t rowId) {
    auto it = std::find(order.begin(), order.end(), rowId);
    c.SetToRecNo(int64_t(it - order.begin()) + 1);
    std::vector<uint8_t> image(c.RecordSize());
    if (c.GetCurrentRecord(image.data()) != 0) {
      ADD_FAILURE() << "SetToRecNo(" << (it - order.begin()) + 1 << ") finds no record";
      return false;
    }
    return Matches(c, image.data(), rowId, "positioning for a write");
  }

  // Where the cursor must stand after a write: on row `RowId` (0: no expectation) when
  // that row is visible.
  struct TExpected {
    int32_t RowId = 0;
    const char* After = "";
    bool NewRecord = false;
    std::vector<uint8_t> GoneBookmark;  // of a record just deleted
  };

  void ExpectOn(TDataCursor& c, const std::vector<int32_t>& order, const TExpected& e) {
    auto it = std::find(order.begin(), order.end(), e.RowId);
    if (e.RowId == 0 || it == order.end()) return;  // outside the range: somewhere near
    if (e.NewRecord) {
      const TRow& r = model_->Row(e.RowId);
      EXPECT_EQ(RowIdOf(c.RecordBuffer()), e.RowId) << "row identifier of the new record";
      EXPECT_EQ(c.CurrentRecordNumber(), r.Slot) << "slot of the new record " << Describe(r);
    }
    std::vector<uint8_t> image(c.RecordSize());
    // A re-seek may keep a crack the cursor had, but only next to the record: before it
    // when it is the first, after it when it is the last.
    const bool first = it == order.begin(), last = it + 1 == order.end();
    if ((c.Bof() && !c.Eof() && first) || (c.Eof() && !c.Bof() && last)) {
      EXPECT_EQ(c.GetRecNo(), int64_t(it - order.begin()) + 1) << "record number after " << e.After;
      Matches(c, c.RecordBuffer(), e.RowId, std::string("record buffer after ") + e.After);
      return;
    }
    ASSERT_EQ(c.GetCurrentRecord(image.data()), 0)
        << "no current record after " << e.After << " (BOF " << c.Bof() << ", EOF " << c.Eof() << ", record "
        << it - order.begin() + 1 << " of " << order.size() << ")";
    if (Matches(c, image.data(), e.RowId, std::string("current record after ") + e.After)) {
      EXPECT_EQ(c.GetRecNo(), int64_t(it - order.begin()) + 1) << "record number after " << e.After;
    }
    if (!e.GoneBookmark.empty()) {
      // The bookmark of the deleted record leads to the one that followed it.
      c.SetToRecNo(1);
      EXPECT_FALSE(c.SetToBookmark(e.GoneBookmark.data())) << "bookmark of a deleted record";
      ASSERT_EQ(c.GetCurrentRecord(image.data()), 0);
      Matches(c, image.data(), e.RowId, "bookmark of a deleted record");
    }
  }

  TExpected Append(TDataCursor& c) {
    TRow r = RandomRow();
    bool violation = model_->Violates(r, 0);
    std::vector<uint8_t> image = Blank(c);
    Fill(c, image, r);
    if (!r.Memo.empty()) WriteMemo(c, image, r.Memo);
    int64_t before = c.GetRecordCount();
    uint16_t code = ErrorOf([&] { c.AppendRecord(image.data()); });
    if (violation) {
      EXPECT_EQ(code, VELDOR_KEYVIOL) << "append of " << Describe(r) << " duplicates a unique key";
      c.FreeAllBlobs(false);
      EXPECT_EQ(c.GetRecordCount(), before);
      return {};
    }
    EXPECT_EQ(code, 0) << "append of " << Describe(r);
    int32_t rowId = ++model_->LastRowId;
    r.Slot = model_->TakeSlot();
    model_->Put(rowId, r);
    return {rowId, "append", true, {}};
  }

  TExpected Modify(TDataCursor& c, const std::vector<int32_t>& order) {
    int32_t rowId = order[Pick(order.size())];
    if (!StandOn(c, order, rowId)) return {};
    std::vector<uint8_t> image(c.RecordSize());
    EXPECT_EQ(c.GetCurrentRecord(image.data()), 0);
    EXPECT_EQ(c.GetCurrentRecord(image.data(), true), 0);  // the edit's lock
    TRow r = model_->Row(rowId);
    if (Chance(0.5)) r.Name = StoredName(RandomNameText());
    if (Chance(0.5)) r.Amount = RandomAmount();
    if (Chance(0.3)) r.Id = model_->PrimaryKey() ? Between(1, 2000) : Between(-50, 50);
    double m = std::uniform_real_distribution<double>(0, 1)(rng_);
    uint16_t f = c.FieldNumber("Memo");
    if (m < 0.25) {
      r.Memo = RandomMemo();
      WriteMemo(c, image, r.Memo);
    } else if (m < 0.35) {
      r.Memo.clear();
      WriteMemo(c, image, r.Memo);
    } else if (m < 0.5) {
      // Part of the memo overwritten, perhaps beyond its end (the gap reads as zeros).
      uint32_t offset = uint32_t(Between(0, int32_t(r.Memo.size()) + 20));
      std::string part = RandomMemo().substr(0, 700);
      if (part.empty()) part = "x";
      EXPECT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerEngine, false, kBlobWrite), 0);
      EXPECT_EQ(c.PutBlob(f, image.data(), false, offset, uint32_t(part.size()), part.data()), 0);
      if (r.Memo.size() < offset + part.size()) r.Memo.resize(offset + part.size(), '\0');
      r.Memo.replace(offset, part.size(), part);
    } else if (m < 0.6 && !r.Memo.empty()) {
      uint32_t length = uint32_t(Pick(r.Memo.size()));
      EXPECT_EQ(c.OpenBlob(f, image.data(), kBlobOwnerEngine, false, kBlobWrite), 0);
      EXPECT_EQ(c.TruncateBlob(f, image.data(), false, length), 0);
      r.Memo.resize(length);
    }
    Fill(c, image, r);
    bool violation = model_->Violates(r, rowId);
    uint16_t code = ErrorOf([&] { c.ModifyRecord(image.data()); });
    if (violation) {
      EXPECT_EQ(code, VELDOR_KEYVIOL) << "modify to " << Describe(r) << " duplicates a unique key";
      c.UnlockRecord(0);  // the edit is cancelled
      c.FreeAllBlobs(false);
      return {};
    }
    EXPECT_EQ(code, 0) << "modify to " << Describe(r);
    model_->Put(rowId, r);
    return {rowId, "modify", false, {}};
  }

  TExpected Delete(TDataCursor& c, const std::vector<int32_t>& order) {
    size_t at = Pick(order.size());
    int32_t rowId = order[at];
    if (!StandOn(c, order, rowId)) return {};
    std::vector<uint8_t> image(c.RecordSize());
    EXPECT_EQ(c.GetCurrentRecord(image.data()), 0);
    std::vector<uint8_t> bookmark(size_t(c.BookmarkSize()));
    c.GetBookmark(bookmark.data());
    EXPECT_EQ(ErrorOf([&] { c.DeleteRecord(image.data()); }), 0)
        << "delete of " << Describe(model_->Row(rowId));
    model_->Remove(rowId);
    // The cursor goes on to the record that followed.
    if (at + 1 < order.size()) return {order[at + 1], "delete", false, bookmark};
    return {};
  }

  // One batch of random writes through `c` in order `o`, perhaps inside a range.
  void Batch(TDataCursor& c, int ops, double appendShare, double deleteShare) {
    TOrder o = Orders()[Pick(Orders().size())];
    SetOrder(c, o);
    std::optional<TBound> lo, hi;
    bool ranged = !model_->NaturalFor(o) && Chance(0.3);
    if (ranged) {
      // A wide range: rows inside and outside it are written.
      lo = RandomBound();
      hi = RandomBound();
      TRow s{lo->Id.value_or(0), lo->Name, lo->Amount, "", 0};
      if (model_->CompareToBound(o, s, *hi, TModel::FieldCount(o)) > 0) std::swap(lo, hi);
      if (Chance(0.5)) lo.reset(); else if (Chance(0.5)) hi.reset();
      std::vector<uint8_t> a = lo ? BoundImage(c, *lo) : std::vector<uint8_t>();
      std::vector<uint8_t> b = hi ? BoundImage(c, *hi) : std::vector<uint8_t>();
      c.SetRange(false, lo ? a.data() : nullptr, 0, hi ? b.data() : nullptr, 0);
    }
    SCOPED_TRACE(std::string("writing in ") + OrderName(o) + (ranged ? " inside a range" : ""));
    std::vector<int32_t> order = model_->Ordered(o, lo, 0, hi, 0, ranged);
    for (int i = 0; i < ops; ++i) {
      double p = std::uniform_real_distribution<double>(0, 1)(rng_);
      SCOPED_TRACE("write " + std::to_string(i) + " with " + std::to_string(model_->Rows().size()) + " rows");
      TExpected e;
      if (order.empty() || p < appendShare) {
        // An append starts wherever the cursor is: on a record, or on a crack.
        double where = std::uniform_real_distribution<double>(0, 1)(rng_);
        if (where < 0.1) {
          c.SetToBegin();
        } else if (where < 0.2) {
          c.SetToEnd();
        } else if (where < 0.3 && !order.empty()) {
          c.SetToRecNo(int64_t(Pick(order.size())) + 1);
        }
        e = Append(c);
      } else if (p < appendShare + deleteShare) {
        e = Delete(c, order);
      } else {
        e = Modify(c, order);
      }
      order = model_->Ordered(o, lo, 0, hi, 0, ranged);
      ExpectOn(c, order, e);
      EXPECT_EQ(c.GetRecordCount(), int64_t(order.size())) << "record count after write " << i;
      if (HasFailure()) return;  // the first wrong write is the one to look at
    }
    if (!c.NaturalOrder()) c.ResetRange();
  }

  std::unique_ptr<TDataCursor> NewCursor(bool exclusive = false) {
    auto c = std::make_unique<TDataCursor>(db_);
    c->SetTableName("model");
    c->SetExclusive(exclusive);
    c->Open();
    return c;
  }

  std::mt19937 rng_;
  std::unique_ptr<TModel> model_;
  std::vector<std::string> names_;
};

TEST_P(CursorModelTest, RandomWritesAgreeWithTheModel) {
  const auto& [config, seed] = GetParam();
  if (config.Language != 0 && !LocaleInstalled(config.Language, 0))
    GTEST_SKIP() << "the collation of language " << config.Language << " is not installed here";
  SCOPED_TRACE("seed " + std::to_string(seed) + (config.PrimaryKey ? ", primary key" : ", no primary key") +
               ", language " + std::to_string(config.Language) + (config.Exclusive ? ", exclusive" : ""));
  rng_.seed(seed);
  for (int i = 0; i < 40; ++i) names_.push_back(RandomText(size_t(Between(12, 20))));
  for (auto& n : names_) n[0] = 'N';  // no leading blank
  MakeTable("model", Definition(config));
  model_ = std::make_unique<TModel>(config.PrimaryKey, GetCollation(config.Language, 0));

  std::unique_ptr<TDataCursor> writer = NewCursor(config.Exclusive);
  std::unique_ptr<TDataCursor> reader;  // a sibling that only reads
  if (!config.Exclusive) {
    reader = NewCursor();
    reader->SetIndexName("ByName");
  }

  struct TPlan {
    int Ops;
    double Append, Delete;
  };
  // Grow past one leaf of every index, churn, shrink (pages merge), grow again.
  const std::vector<TPlan> plans = {{650, 0.92, 0.02}, {150, 0.4, 0.25}, {150, 0.4, 0.25},
                                    {150, 0.3, 0.35}, {350, 0.1, 0.65}, {100, 0.5, 0.2}};
  for (size_t b = 0; b < plans.size(); ++b) {
    SCOPED_TRACE("batch " + std::to_string(b));
    Batch(*writer, plans[b].Ops, plans[b].Append, plans[b].Delete);
    if (HasFailure()) return;
    Verify(*writer, "writing cursor");
    if (HasFailure()) return;
    if (reader) {
      // The sibling noticed every write through the change counters.
      Verify(*reader, "sibling cursor", b % 2 == 0);
      if (HasFailure()) return;
    }
    if (b % 2 == 0) {
      writer->Close();
      writer->Open();
      Verify(*writer, "cursor closed and opened again", false);
    } else {
      // The last cursor going away closes the table; a new one opens it from the files.
      writer.reset();
      bool sibling = bool(reader);
      reader.reset();
      writer = NewCursor(config.Exclusive);
      Verify(*writer, "table closed and opened again");
      if (sibling) reader = NewCursor();
    }
    if (HasFailure()) return;
  }
}

std::string ConfigName(const ::testing::TestParamInfo<std::tuple<TConfig, uint32_t>>& info) {
  const auto& [config, seed] = info.param;
  return std::string(config.PrimaryKey ? "PrimaryKey" : "NoPrimaryKey") +
         (config.Language == 0 ? "Bytes" : "German") + (config.Exclusive ? "Exclusive" : "") + "Seed" +
         std::to_string(seed);
}

INSTANTIATE_TEST_SUITE_P(Tables, CursorModelTest,
                         ::testing::Combine(::testing::Values(TConfig{true, 0}, TConfig{false, 0},
                                                              TConfig{true, kGerman}, TConfig{false, kGerman},
                                                              TConfig{true, 0, true},
                                                              TConfig{false, kGerman, true}),
                                            ::testing::Values(1u, 2u, 3u)),
                         ConfigName);

// ---- Slot reuse ------------------------------------------------------------------------------------

// Deleted slots are taken again, last freed first, only by a table with primary key fields;
// a table without them keeps insertion order in its natural order.
TEST_F(CursorTest, DeletedSlotsAreReusedOnlyWithAPrimaryKey) {
  struct TCase {
    bool PrimaryKey;
    std::vector<int32_t> NewSlots;      // of the two rows appended after the deletes
    std::vector<int32_t> NaturalIds;    // natural order afterwards
    int32_t Physical;
  };
  const TCase cases[] = {
      {true, {4, 2}, {1, 7, 3, 6, 5}, 5},
      {false, {6, 7}, {1, 3, 5, 6, 7}, 7},
  };
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.PrimaryKey ? "primary key" : "no primary key");
    std::string name = k.PrimaryKey ? "withkey" : "nokey";
    MakeTable(name, People(k.PrimaryKey));
    TDataCursor& c = OpenCursor(name);
    for (int32_t id = 1; id <= 5; ++id) Add(c, id, "N" + std::to_string(id), id * 10);
    c.SetIndexNumber(kNaturalOrder);
    std::vector<uint8_t> image(c.RecordSize());
    for (int64_t recNo : {2, 3}) {  // slots 2, then 4 (record 3 of the remaining)
      c.SetToRecNo(recNo);
      ASSERT_EQ(c.GetCurrentRecord(image.data()), 0);
      c.DeleteRecord(image.data());
    }
    Add(c, 6, "N6", 60);
    EXPECT_EQ(c.CurrentRecordNumber(), k.NewSlots[0]);
    Add(c, 7, "N7", 70);
    EXPECT_EQ(c.CurrentRecordNumber(), k.NewSlots[1]);
    EXPECT_EQ(Ids(c), k.NaturalIds);
    EXPECT_EQ(c.Table()->DataFile().RecordCount(), k.Physical);
    c.Close();
    c.Open();
    c.SetIndexNumber(kNaturalOrder);
    EXPECT_EQ(Ids(c), k.NaturalIds) << "after reopening";
  }
}

}  // namespace
}  // namespace veldor::test
