// Cursors of two processes on the same table files: edits of records another process
// changed, change detection with and without strict checking, transactions that hold off
// the other process's writes, and concurrent appends.
//
// The table is made before the fork; each process then works through a session, database
// and cursor of its own. Children report through their exit status and the pipe.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/cursor/cursor_fixture.h"

namespace veldor::test {
namespace {

int64_t NowMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SendTime(const TChannel& channel, int64_t t) {
  channel.Send(int32_t(t >> 32));
  channel.Send(int32_t(uint32_t(t)));
}

int64_t ReceiveTime(TChildProcess& child) {
  int64_t high = child.Receive();
  int64_t low = uint32_t(child.Receive());
  return (high << 32) | low;
}

struct TRaised {
  uint16_t Code = 0;
  std::string Message;
};

// A session, database and open cursor of one process.
class TSide {
 public:
  TSide(const std::string& dir, const std::string& table)
      : Session_(std::make_unique<TDataSession>(0)) {
    Session_->SetLockRetryCount(3);
    Session_->SetLockWaitTime(10);
    TDataDirectory* db = Session_->OpenDataDirectory("", dir);
    Cursor_ = std::make_unique<TDataCursor>(db);
    Cursor_->SetTableName(table);
    Cursor_->Open();
  }
  ~TSide() {
    Cursor_.reset();
    Session_.reset();
  }
  TDataSession& Session() { return *Session_; }
  TDataCursor& Cursor() { return *Cursor_; }

 private:
  std::unique_ptr<TDataSession> Session_;
  std::unique_ptr<TDataCursor> Cursor_;
};

class ProcessTest : public CursorTest {
 protected:
  void SetUp() override {
    CursorTest::SetUp();
    session_->SetLockRetryCount(3);
    session_->SetLockWaitTime(10);
  }

  // People with Ids 1..count (Name "N<id>", Amount 10 x id), made and closed again so
  // that no cache of this process holds any of it.
  void MakePeople(int count) {
    MakeTable("people", People());
    TDataCursor c(db_);
    c.SetTableName("people");
    c.Open();
    for (int id = 1; id <= count; ++id) Append(c, id, "N" + std::to_string(id), 10 * id);
  }

  // Appends without test macros, so that children can use it too.
  static void Append(TDataCursor& c, int32_t id, const std::string& name, int32_t amount,
                     const std::string& memo = "") {
    std::vector<uint8_t> image = Blank(c);
    PutInt(c, image, "Id", id);
    PutText(c, image, "Name", name);
    PutInt(c, image, "Amount", amount);
    if (!memo.empty()) {
      uint16_t f = c.FieldNumber("Memo");
      if (c.OpenBlob(f, image.data(), kBlobOwnerEngine, false, kBlobWrite) != 0 ||
          c.PutBlob(f, image.data(), false, 0, uint32_t(memo.size()), memo.data()) != 0)
        RaiseTableError(VELDOR_INVALIDBLOBHANDLE, "people");
    }
    c.AppendRecord(image.data());
  }

  // Positions `c` on the record with Id `id`; its image, or empty when there is none.
  static std::vector<uint8_t> Seek(TDataCursor& c, int32_t id) {
    std::vector<uint8_t> key = Blank(c);
    PutInt(c, key, "Id", id);
    std::vector<uint8_t> image(c.RecordSize());
    if (!c.Find(false, key.data(), image.data(), 0, false, 1)) return {};
    return image;
  }

  static std::vector<uint8_t> Bookmark(TDataCursor& c) {
    std::vector<uint8_t> b(size_t(c.BookmarkSize()));
    c.GetBookmark(b.data());
    return b;
  }
};

// The child changes (or deletes) the record the parent holds an image of.
class ChangedRecordTest : public ProcessTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ChangedRecordTest, EditOfARecordAnotherProcessChangedFailsAtItsStart) {
  const bool deleted = GetParam();
  MakePeople(3);
  TDataCursor& c = OpenCursor("people");
  std::vector<uint8_t> stale = Seek(c, 2);
  ASSERT_FALSE(stale.empty());

  TChildProcess child([&](TChannel& channel) -> int {
    TSide side(dir_, "people");
    TDataCursor& w = side.Cursor();
    std::vector<uint8_t> image = Seek(w, 2);
    if (image.empty()) return 10;
    if (deleted) {
      w.DeleteRecord(image.data());
    } else {
      if (w.GetCurrentRecord(image.data(), true) != 0) return 11;
      PutText(w, image, "Name", "Changed");
      w.ModifyRecord(image.data());
    }
    channel.Send(1);
    if (channel.Receive() != 2) return 12;
    // The other process's failed edit left every record unlocked.
    for (int32_t id : {1, 2, 3}) {
      image = Seek(w, id);
      if (image.empty()) continue;
      if (ErrorOf([&] { w.GetCurrentRecord(image.data(), true); }) != 0) return 20 + id;
      w.UnlockRecord(0);
    }
    return 0;
  });
  ASSERT_EQ(child.Receive(), 1);

  EXPECT_EQ(ErrorOf([&] { c.GetCurrentRecord(stale.data(), true); }), VELDOR_KEYORRECDELETED);
  EXPECT_EQ(ErrorOf([&] { c.DeleteRecord(stale.data()); }), VELDOR_KEYORRECDELETED);
  child.Send(2);
  EXPECT_EQ(child.Join(), 0);

  EXPECT_EQ(Ids(c), deleted ? (std::vector<int32_t>{1, 3}) : (std::vector<int32_t>{1, 2, 3}));
  if (deleted) return;
  std::vector<uint8_t> current = Seek(c, 2);
  ASSERT_FALSE(current.empty());
  EXPECT_EQ(TextOf(c, current.data(), "Name"), "Changed");
  // With the image as it is now, the edit goes through.
  ASSERT_EQ(c.GetCurrentRecord(current.data(), true), 0);
  PutText(c, current, "Name", "Mine");
  c.ModifyRecord(current.data());
  TDataCursor& fresh = OpenCursor("people");
  EXPECT_EQ(TextOf(fresh, Seek(fresh, 2).data(), "Name"), "Mine");
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangedRecordTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Deleted" : "Modified"; });

// The parent's first refused write re-reads the record the child changed; its second try,
// with the same stale image, is refused as well (true: delete first, then modify).
class RefusedTwiceTest : public ProcessTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RefusedTwiceTest, SecondTryWithTheStaleImageIsRefusedToo) {
  const bool deleteFirst = GetParam();
  MakePeople(3);
  TDataCursor& c = OpenCursor("people");
  std::vector<uint8_t> stale = Seek(c, 2);
  ASSERT_FALSE(stale.empty());

  TChildProcess child([&](TChannel& channel) -> int {
    TSide side(dir_, "people");
    TDataCursor& w = side.Cursor();
    std::vector<uint8_t> image = Seek(w, 2);
    if (image.empty()) return 10;
    if (w.GetCurrentRecord(image.data(), true) != 0) return 11;
    PutText(w, image, "Name", "Changed");
    w.ModifyRecord(image.data());
    channel.Send(1);
    return 0;
  });
  ASSERT_EQ(child.Receive(), 1);
  EXPECT_EQ(child.Join(), 0);

  std::vector<uint8_t> edit = stale;
  PutInt(c, edit, "Amount", 99);
  auto modify = [&] { return ErrorOf([&] { c.ModifyRecord(edit.data()); }); };
  auto remove = [&] { return ErrorOf([&] { c.DeleteRecord(stale.data()); }); };
  EXPECT_EQ(deleteFirst ? remove() : modify(), VELDOR_KEYORRECDELETED);
  EXPECT_EQ(deleteFirst ? modify() : remove(), VELDOR_KEYORRECDELETED);

  // Another process sees the child's change whole, and the record is not locked.
  TChildProcess check([&](TChannel&) -> int {
    TSide side(dir_, "people");
    std::vector<uint8_t> image = Seek(side.Cursor(), 2);
    if (image.empty()) return 10;
    if (TextOf(side.Cursor(), image.data(), "Name") != "Changed") return 11;
    if (IntOf(side.Cursor(), image.data(), "Amount") != 20) return 12;
    if (ErrorOf([&] { side.Cursor().GetCurrentRecord(image.data(), true); }) != 0) return 13;
    return 0;
  });
  EXPECT_EQ(check.Join(), 0);
  EXPECT_EQ(Ids(c), (std::vector<int32_t>{1, 2, 3}));
}

INSTANTIATE_TEST_SUITE_P(Orders, RefusedTwiceTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "DeleteThenModify" : "ModifyThenDelete"; });

// A record lock of another process is retried LockRetryCount times, LockWaitTime apart.
TEST_F(ProcessTest, RecordLockOfAnotherProcessIsWaitedForWithinTheRetries) {
  MakePeople(3);
  TChildProcess child([&](TChannel& channel) -> int {
    TSide side(dir_, "people");
    TDataCursor& w = side.Cursor();
    std::vector<uint8_t> image = Seek(w, 2);
    if (image.empty() || w.GetCurrentRecord(image.data(), true) != 0) return 10;
    channel.Send(1);
    if (channel.Receive() != 2) return 11;
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    SendTime(channel, NowMicros());
    w.UnlockRecord(0);
    return 0;
  });
  TDataCursor& c = OpenCursor("people");
  ASSERT_EQ(child.Receive(), 1);

  std::vector<uint8_t> image = Seek(c, 2);
  session_->SetLockRetryCount(2);
  session_->SetLockWaitTime(10);
  TRaised refused;
  try {
    c.GetCurrentRecord(image.data(), true);
  } catch (const EVELDOREngineError& e) {
    refused.Code = e.ErrorCode;
    refused.Message = e.Message;
  }
  EXPECT_EQ(refused.Code, VELDOR_RECLOCKFAILED);
  EXPECT_NE(refused.Message.find("in use by another user"), std::string::npos) << refused.Message;
  std::vector<uint8_t> edit = image;
  PutInt(c, edit, "Amount", 99);
  EXPECT_EQ(ErrorOf([&] { c.ModifyRecord(edit.data()); }), VELDOR_RECLOCKFAILED);
  EXPECT_EQ(ErrorOf([&] { c.DeleteRecord(image.data()); }), VELDOR_RECLOCKFAILED);
  // Other records are free.
  std::vector<uint8_t> other = Seek(c, 3);
  EXPECT_EQ(c.GetCurrentRecord(other.data(), true), 0);
  c.UnlockRecord(0);

  // Enough retries to outlast the holder.
  session_->SetLockRetryCount(100);
  image = Seek(c, 2);
  child.Send(2);
  EXPECT_EQ(c.GetCurrentRecord(image.data(), true), 0);
  const int64_t locked = NowMicros();
  const int64_t released = ReceiveTime(child);
  EXPECT_EQ(child.Join(), 0);
  EXPECT_GT(locked, released);
  PutInt(c, image, "Amount", 99);
  c.ModifyRecord(image.data());
  EXPECT_EQ(IntOf(c, Seek(c, 2).data(), "Amount"), 99);
  EXPECT_EQ(c.GetRecordCount(), 3);
}

// The first cursor stands on the second record; the child appends records past the end of
// the index, whose last leaf this process has never read.
TEST_F(ProcessTest, CursorNoticesAnotherProcessesAppendAndKeepsItsRecord) {
  constexpr int kCount = 2000;
  MakePeople(kCount);
  TDataCursor& c = OpenCursor("people");
  std::vector<uint8_t> image(c.RecordSize());
  c.SetToBegin();
  ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  ASSERT_EQ(IntOf(c, image.data(), "Id"), 2);
  const std::vector<uint8_t> onRecord = image;
  const std::vector<uint8_t> bookmark = Bookmark(c);

  TChildProcess child([&](TChannel& channel) -> int {
    TSide side(dir_, "people");
    for (int step = 1; step <= 3; ++step) {
      const int32_t id = kCount + step;
      Append(side.Cursor(), id, "N" + std::to_string(id), 10 * id);
      channel.Send(step);
      if (channel.Receive() != step) return 10 + step;
    }
    return 0;
  });
  auto expectStillOnRecord = [&](int64_t count) {
    std::vector<uint8_t> now(c.RecordSize());
    EXPECT_EQ(c.GetCurrentRecord(now.data()), 0);
    EXPECT_EQ(now, onRecord);
    EXPECT_EQ(Bookmark(c), bookmark);
    EXPECT_EQ(c.GetRecNo(), 2);
    EXPECT_EQ(c.GetRecordCount(), count);
  };
  auto lastId = [&] {
    std::vector<uint8_t> last(c.RecordSize());
    c.SetToEnd();
    EXPECT_EQ(c.GetPriorRecord(last.data()), 0);
    return IntOf(c, last.data(), "Id");
  };
  auto backToSecond = [&] {
    c.SetToBegin();
    ASSERT_EQ(c.GetNextRecord(image.data()), 0);
    ASSERT_EQ(c.GetNextRecord(image.data()), 0);
  };

  // A key search that fails does not move the cursor; its descent into the last leaf must
  // read it from the file, which finds the change and re-synchronises first.
  ASSERT_EQ(child.Receive(), 1);
  c.Table()->IndexFile().ResetStatistics();
  std::vector<uint8_t> key = Blank(c);
  PutInt(c, key, "Id", 3 * kCount);
  EXPECT_FALSE(c.Find(false, key.data(), nullptr, 0, false, 1));
  ASSERT_GT(c.Table()->IndexFile().Statistics().PageReads, 0u) << "the search did not miss the cache";
  expectStillOnRecord(kCount + 1);
  EXPECT_EQ(lastId(), kCount + 1);

  // Refresh re-reads whether or not anything misses the cache.
  backToSecond();
  child.Send(1);
  ASSERT_EQ(child.Receive(), 2);
  c.Refresh();
  expectStillOnRecord(kCount + 2);
  EXPECT_EQ(lastId(), kCount + 2);

  // With strict change detection every operation checks, even one served from the cache.
  backToSecond();
  session_->SetStrictChangeDetection(true);
  child.Send(2);
  ASSERT_EQ(child.Receive(), 3);
  expectStillOnRecord(kCount + 3);
  EXPECT_EQ(lastId(), kCount + 3);
  child.Send(3);
  EXPECT_EQ(child.Join(), 0);
}

TEST_F(ProcessTest, TransactionHoldsOffTheOtherProcessesAppendUntilCommit) {
  MakePeople(2);
  TDataCursor& c = OpenCursor("people");
  TChildProcess child([&](TChannel& channel) -> int {
    TSide side(dir_, "people");
    TDataCursor& w = side.Cursor();
    channel.Send(1);
    if (channel.Receive() != 2) return 10;
    // Nothing of the open transaction is on disk yet, and the record it edited stays locked
    // although the edit has been posted.
    w.Refresh();
    channel.Send(int32_t(w.GetRecordCount()));
    side.Session().SetLockRetryCount(0);
    std::vector<uint8_t> image = Seek(w, 1);
    channel.Send(ErrorOf([&] { w.GetCurrentRecord(image.data(), true); }));
    side.Session().SetLockRetryCount(3);
    SendTime(channel, NowMicros());
    Append(w, 20, "Child", 200);
    SendTime(channel, NowMicros());
    return 0;
  });
  ASSERT_EQ(child.Receive(), 1);

  ASSERT_EQ(db_->StartTransaction(), 0);
  Add(c, 10, "Parent", 100);
  std::vector<uint8_t> image = Seek(c, 1);
  ASSERT_EQ(c.GetCurrentRecord(image.data(), true), 0);
  PutText(c, image, "Name", "Edited");
  c.ModifyRecord(image.data());
  child.Send(2);
  EXPECT_EQ(child.Receive(), 2);
  EXPECT_EQ(child.Receive(), VELDOR_RECLOCKFAILED);
  const int64_t appendStart = ReceiveTime(child);
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  const int64_t commitStart = NowMicros();
  db_->CommitTransaction(true, false);
  const int64_t appendDone = ReceiveTime(child);
  EXPECT_EQ(child.Join(), 0);

  EXPECT_LT(appendStart, commitStart);
  EXPECT_GT(appendDone, commitStart) << "the append finished "
                                     << (commitStart - appendDone) << " us before the commit";
  cursors_.clear();
  TDataCursor& fresh = OpenCursor("people");
  EXPECT_EQ(fresh.GetRecordCount(), 4);
  EXPECT_EQ(Ids(fresh), (std::vector<int32_t>{1, 2, 10, 20}));
  EXPECT_EQ(TextOf(fresh, Seek(fresh, 1).data(), "Name"), "Edited");
  fresh.SetIndexName("ByAmount");
  EXPECT_EQ(Ids(fresh), (std::vector<int32_t>{1, 2, 10, 20}));
}

TEST_F(ProcessTest, ConcurrentAppendsOfTwoProcessesAllArrive) {
  constexpr int kEach = 250;
  MakeTable("people", People());
  // Parent: Ids 1.., names "P...", child: Ids 1001.., names "C..."; Amount runs against Id.
  auto name = [](int32_t id) {
    char text[16];
    std::snprintf(text, sizeof text, "%c%04d", id > 1000 ? 'C' : 'P', id);
    return std::string(text);
  };
  auto amount = [](int32_t id) { return 100000 - id; };
  auto memo = [](int32_t id) { return "memo of " + std::to_string(id); };
  // A short pause after each append gives the other process's lock retries a chance, so
  // that the two writers really take turns.
  auto appendAll = [&](TDataCursor& c, int32_t first) {
    for (int32_t id = first; id < first + kEach; ++id) {
      Append(c, id, name(id), amount(id), memo(id));
      std::this_thread::sleep_for(std::chrono::microseconds(id % 3 == 0 ? 3000 : 500));
    }
  };

  TChildProcess child([&](TChannel& channel) -> int {
    TSide side(dir_, "people");
    channel.Send(1);
    if (channel.Receive() != 2) return 10;
    uint16_t code = ErrorOf([&] { appendAll(side.Cursor(), 1001); });
    channel.Send(code);
    return code == 0 ? 0 : 11;
  });
  {
    TDataCursor& c = OpenCursor("people");
    ASSERT_EQ(child.Receive(), 1);
    child.Send(2);
    EXPECT_EQ(ErrorOf([&] { appendAll(c, 1); }), 0);
  }
  EXPECT_EQ(child.Receive(), 0);
  EXPECT_EQ(child.Join(), 0);

  std::vector<int32_t> byId;
  for (int32_t id = 1; id <= kEach; ++id) byId.push_back(id);
  for (int32_t id = 1001; id < 1001 + kEach; ++id) byId.push_back(id);
  std::vector<int32_t> byName = byId;
  std::sort(byName.begin(), byName.end(), [&](int32_t a, int32_t b) { return name(a) < name(b); });
  std::vector<int32_t> byAmount(byId.rbegin(), byId.rend());

  cursors_.clear();
  TDataCursor& fresh = OpenCursor("people");
  EXPECT_NO_THROW(fresh.Table()->VerifyHeaders());
  EXPECT_EQ(fresh.Table()->IndexFile().ActiveRecords(), 2 * kEach);
  struct TOrder {
    int Index;
    const std::vector<int32_t>& Expected;
  };
  for (const TOrder& order : {TOrder{0, byId}, TOrder{1, byName}, TOrder{2, byAmount}}) {
    SCOPED_TRACE(order.Index);
    fresh.SetIndexNumber(order.Index);
    EXPECT_EQ(fresh.GetRecordCount(), 2 * kEach);
    EXPECT_EQ(Ids(fresh), order.Expected);
    std::vector<int32_t> backward(order.Expected.rbegin(), order.Expected.rend());
    EXPECT_EQ(Ids(fresh, true), backward);
  }
  fresh.SetIndexNumber(kNaturalOrder);
  EXPECT_EQ(fresh.GetRecordCount(), 2 * kEach);
  std::vector<int32_t> physical;
  std::vector<uint8_t> image(fresh.RecordSize());
  int wrong = 0;
  fresh.SetToBegin();
  while (fresh.GetNextRecord(image.data()) == 0) {
    int32_t id = IntOf(fresh, image.data(), "Id");
    physical.push_back(id);
    if (TextOf(fresh, image.data(), "Name") != name(id) ||
        IntOf(fresh, image.data(), "Amount") != amount(id) || MemoOf(fresh, image) != memo(id))
      ++wrong;
  }
  EXPECT_EQ(wrong, 0);
  std::sort(physical.begin(), physical.end());
  EXPECT_EQ(physical, byId);
}

}  // namespace
}  // namespace veldor::test
