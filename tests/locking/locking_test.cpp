#include <atomic>
#include <chrono>
#include <thread>

#include "tests/tables/table_fixture.h"

namespace veldor::test {
namespace {

// Two processes on one table. Each process opens its own table object on the shared files.
class LockingTest : public TableTest {
 protected:
  void SetUp() override {
    TableTest::SetUp();
    TDataTable& t = Create("shared", SimpleDefinition(true));
    Append(t, 1, "one");
    Append(t, 2, "two");
    t.Close();
    table_.reset();
  }

  std::unique_ptr<TDataTable> OpenShared(const TTableSettings* settings = nullptr) {
    auto t = std::make_unique<TDataTable>(nullptr, dir_, settings);
    t->SetName("shared");
    t->Open();
    t->VerifyHeaders();
    return t;
  }

  // In the child: appends a record under the write lock and writes it out.
  int AppendShared(TDataTable& t, int32_t id) {
    t.WriteLock();
    TRecordPin r(t.DataFile().AllocateRecord());
    r->Clear(true);
    PutFieldValue(r->Data(), t.DataFile().Fields()[0], &id);
    r->SetModified();
    r.Reset();
    t.Flush(false, true);
    t.WriteUnlock();
    return 0;
  }
};

TEST_F(LockingTest, AWriterWaitsForAReaderAndThenReReadsTheHeaders) {
  auto mine = OpenShared();
  TChildProcess child([&](TChannel& channel) {
    auto t = OpenShared();
    AppendShared(*t, 3);  // another process's write: the counters move
    t->ReadLock();
    channel.Send(1);
    if (channel.Receive() != 2) return 10;
    t->ReadUnlock();
    return 0;
  });
  ASSERT_EQ(child.Receive(), 1);
  EXPECT_EQ(mine->RecordCount(), 2);
  std::atomic<bool> done{false};
  bool changed = false;
  std::thread writer([&] {
    changed = mine->WriteLock();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(done.load());  // still retrying against the reader's slot
  child.Send(2);
  writer.join();
  EXPECT_EQ(child.Join(), 0);
  EXPECT_TRUE(changed);
  EXPECT_EQ(mine->RecordCount(), 3);
  mine->WriteUnlock();
}

TEST_F(LockingTest, RecordLocksBetweenProcessesAndWithinOne) {
  TTableSettings quick;
  quick.LockRetryCount = 2;
  quick.LockWaitTime = 10;
  auto mine = OpenShared(&quick);
  TChildProcess child([&](TChannel& channel) {
    auto t = OpenShared();
    t->LockRecord(1);
    t->ReadUnlock();
    channel.Send(1);
    if (channel.Receive() != 2) return 10;
    t->UnlockRecord(1);
    channel.Send(3);
    return channel.Receive() == 4 ? 0 : 11;
  });
  ASSERT_EQ(child.Receive(), 1);
  EXPECT_EQ(ErrorOf([&] { mine->LockRecord(1); }), VELDOR_RECLOCKFAILED);
  mine->ReadUnlock();
  // With no retries the lock is tried once: a wait of a minute between retries never runs.
  quick.LockRetryCount = 0;
  quick.LockWaitTime = 60000;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorOf([&] { mine->LockRecord(1); }), VELDOR_RECLOCKFAILED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  mine->ReadUnlock();
  // Another record is free.
  EXPECT_EQ(ErrorOf([&] { mine->LockRecord(2); }), 0);
  mine->ReadUnlock();
  EXPECT_TRUE(mine->RecordLockedByProcess(2));
  // Asking again in this process is refused at once from its own bookkeeping, however
  // patient the settings.
  quick.LockRetryCount = 15;
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(ErrorOf([&] { mine->LockRecord(2); }), VELDOR_RECLOCKFAILED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  mine->ReadUnlock();
  quick.LockRetryCount = 2;
  quick.LockWaitTime = 10;
  // Once the other process lets go, the record can be had.
  child.Send(2);
  ASSERT_EQ(child.Receive(), 3);
  EXPECT_EQ(ErrorOf([&] { mine->LockRecord(1); }), 0);
  mine->ReadUnlock();
  mine->UnlockRecord(1);
  mine->UnlockRecord(2);
  EXPECT_EQ(ErrorOf([&] { mine->UnlockRecord(2); }), VELDOR_UNLOCKFAILED);
  child.Send(4);
  EXPECT_EQ(child.Join(), 0);
}

TEST_F(LockingTest, AWriteIsNoticedThroughTheChangeCounters) {
  auto mine = OpenShared();
  TChangeCounters seen = mine->ChangeCounters();
  EXPECT_EQ(IdOf(*mine, 2), 2);
  EXPECT_EQ(RunInChild([&] {
              auto t = OpenShared();
              TRecordPin r(t->DataFile().GetRecord(2));
              int32_t id = 200;
              t->WriteLock();
              PutFieldValue(r->Data(), t->DataFile().Fields()[0], &id);
              r->SetModified();
              r.Reset();
              t->Flush(false, true);  // a writer's flush always writes the data header
              t->WriteUnlock();
              return 0;
            }),
            0);
  // The cached record is stale until a lock re-reads the headers.
  EXPECT_EQ(IdOf(*mine, 2), 2);
  TChangeCheck check(*mine, seen);
  mine->DataFile().DropCache();  // force a disk read through the hook
  EXPECT_EQ(mine->DataFile().GetRecord(2, true, &check), nullptr);  // changed: re-synchronise
  EXPECT_NE(mine->ChangeCounters(), seen);
  mine->ReadUnlock();
  EXPECT_EQ(IdOf(*mine, 2), 200);
  EXPECT_FALSE(mine->ReadLock());  // nothing new since
  mine->ReadUnlock();
}

TEST_F(LockingTest, ATransactionKeepsOthersFromWritingUntilCommit) {
  auto mine = OpenShared();
  mine->BeginTransaction();
  EXPECT_TRUE(mine->TableLocked());
  mine->WriteLock();
  Append(*mine, 10, "txn");
  mine->Flush();  // inside the transaction nothing reaches the file
  mine->WriteUnlock();
  EXPECT_EQ(ReadWholeFile(dir_ + "shared.DAT").size(), 127u + 2 * 768 + 2 * 26);
  auto probe = [&] {
    return RunInChild([&] {
      auto t = OpenShared();
      bool free = t->DataFile().Lock(1, 4294967295LL);
      if (free) t->DataFile().Unlock(1, 4294967295LL);
      return (free ? 1 : 0) * 10 + t->RecordCount();
    });
  };
  EXPECT_EQ(probe(), 0 * 10 + 2);  // the header byte is held; the disk has two records
  mine->CommitTransaction(true, false);
  EXPECT_FALSE(mine->TableLocked());
  EXPECT_EQ(probe(), 1 * 10 + 3);

  // A rolled-back append is gone, in this process too.
  mine->BeginTransaction();
  mine->WriteLock();
  Append(*mine, 11, "gone");
  mine->WriteUnlock();
  EXPECT_EQ(mine->RecordCount(), 4);
  mine->RollbackTransaction();
  EXPECT_EQ(mine->RecordCount(), 3);
  EXPECT_EQ(probe(), 1 * 10 + 3);
}

TEST_F(LockingTest, UnlocksUnderTheTableLockWaitForItsRelease) {
  auto mine = OpenShared();
  mine->BeginTransaction();
  mine->LockRecord(1);
  mine->UnlockRecord(1);
  auto recordFree = [&] {
    return RunInChild([&] {
      auto t = OpenShared();
      bool free = t->DataFile().Lock(1, 4294967294LL - 1);
      return free ? 1 : 0;
    });
  };
  EXPECT_EQ(recordFree(), 0);
  mine->CommitTransaction(true, false);
  EXPECT_EQ(recordFree(), 1);

  // A record locked again after a deferred unlock stays locked past the table lock.
  mine->BeginTransaction();
  mine->LockRecord(2);
  mine->UnlockRecord(2);
  mine->LockRecord(2);
  mine->CommitTransaction(true, false);
  EXPECT_TRUE(mine->RecordLockedByProcess(2));
  mine->UnlockRecord(2);
  EXPECT_FALSE(mine->RecordLockedByProcess(2));
}

TEST_F(LockingTest, ADeadProcessLeavesNoLockBehind) {
  TTableSettings quick;
  quick.LockRetryCount = 0;
  quick.StrictChangeDetection = true;  // the record lock alone, no read lock before it
  auto mine = OpenShared(&quick);
  {
    TChildProcess child([&](TChannel& channel) {
      auto t = OpenShared();
      t->LockRecord(1);
      t->ReadUnlock();
      t->WriteLock();
      channel.Send(1);
      channel.Receive();  // killed while waiting here, holding both locks
      return 0;
    });
    ASSERT_EQ(child.Receive(), 1);
    EXPECT_EQ(ErrorOf([&] { mine->LockRecord(1); }), VELDOR_RECLOCKFAILED);
    mine->ReadUnlock();
    EXPECT_TRUE(mine->DataFile().Lock(1, 4294967294LL - 2));  // other records stay free
    mine->DataFile().Unlock(1, 4294967294LL - 2);
  }  // the child is killed (SIGKILL) and reaped here
  EXPECT_EQ(ErrorOf([&] { mine->LockRecord(1); }), 0);
  mine->ReadUnlock();
  EXPECT_NO_THROW(mine->WriteLock());
  mine->WriteUnlock();
}

}  // namespace
}  // namespace veldor::test
