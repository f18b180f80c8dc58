// Byte-range locks on disk files: the in-memory rules through two handlers of one process
// (with an owner per entry), and the same ranges between processes (forked children with
// descriptors of their own), including the kernel's merging of one descriptor's locks.
#include "tests/files/file_test_support.h"

namespace veldor::test {
namespace {

class DiskLockTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    path_ = Path("locks.dat");
    WriteRaw(path_, Bytes("lock target"));
  }

  // In a child with its own descriptor: whether Lock(length, offset) succeeds (1) or not (0);
  // the lock is released again.
  int ProbeFromChild(int64_t length, int64_t offset) {
    return RunInChild([&] {
      TFileHandler file(path_);
      file.Open();
      bool locked = file.Lock(length, offset);
      if (locked) file.Unlock(length, offset);
      return locked ? 1 : 0;
    });
  }

  std::string path_;
};

TEST_F(DiskLockTest, InProcessRulesThroughTwoHandlers) {
  TFileHandler first(path_), second(path_);
  first.Open();
  second.Open();
  ASSERT_EQ(first.File(), second.File());
  EXPECT_TRUE(first.Lock(10, 10));     // bytes 10 to 19
  EXPECT_FALSE(second.Lock(1, 15));    // another handler of the process
  EXPECT_FALSE(first.Lock(1, 15));     // the same handler again
  EXPECT_FALSE(first.Lock(10, 10));
  EXPECT_FALSE(second.Lock(100, 0));   // covers 10..19
  EXPECT_TRUE(second.Lock(10, 20));    // 20..29 adjoins, does not overlap
  EXPECT_FALSE(first.Unlock(5, 10));   // no exact match
  EXPECT_TRUE(first.Unlock(10, 10));
  EXPECT_FALSE(first.Unlock(10, 10));  // already unlocked
  EXPECT_TRUE(second.Lock(1, 15));
  auto locks = first.File()->Locks();  // by first byte
  ASSERT_EQ(locks.size(), 2u);
  EXPECT_EQ(locks[0].Start, 15);
  EXPECT_EQ(locks[0].End, 15);
  EXPECT_EQ(locks[0].Length, 1);
  EXPECT_EQ(locks[0].Owner, second.Handle());
  EXPECT_EQ(locks[1].Start, 20);
  EXPECT_EQ(locks[1].End, 29);
}

TEST_F(DiskLockTest, UnlockThroughAnotherHandlerFailsAndKeepsTheLock) {
  TFileHandler owner(path_), other(path_);
  owner.Open();
  other.Open();
  EXPECT_TRUE(owner.Lock(10, 10));
  EXPECT_FALSE(other.Unlock(10, 10));
  EXPECT_FALSE(other.Lock(1, 12));     // still locked in the process
  EXPECT_EQ(ProbeFromChild(1, 12), 0);  // and for other processes
  EXPECT_TRUE(owner.Unlock(10, 10));
  EXPECT_EQ(ProbeFromChild(1, 12), 1);
}

TEST_F(DiskLockTest, OtherProcessIsRefusedOverlappingRangesWhileTheParentHoldsThem) {
  TFileHandler file(path_);
  file.Open();
  ASSERT_TRUE(file.Lock(10, 10));
  TChildProcess child([&](TChannel& channel) {
    TFileHandler mine(path_);
    mine.Open();
    channel.Send(mine.Lock(1, 15));   // inside: refused
    channel.Send(mine.Lock(1, 19));   // last byte: refused
    channel.Send(mine.Lock(10, 0));   // 0..9: free
    channel.Send(mine.Lock(10, 20));  // 20..29: free
    if (channel.Receive() != 1) return 3;  // the parent has unlocked
    channel.Send(mine.Lock(1, 15));
    return 0;
  });
  EXPECT_EQ(child.Receive(), 0);
  EXPECT_EQ(child.Receive(), 0);
  EXPECT_EQ(child.Receive(), 1);
  EXPECT_EQ(child.Receive(), 1);
  // The child's locks refuse the parent in turn.
  EXPECT_FALSE(file.Lock(1, 5));
  EXPECT_FALSE(file.Lock(1, 25));
  EXPECT_TRUE(file.Unlock(10, 10));
  child.Send(1);
  EXPECT_EQ(child.Receive(), 1);
  EXPECT_EQ(child.Join(), 0);
  // The child's locks went with its descriptor.
  EXPECT_TRUE(file.Lock(30, 0));
}

TEST_F(DiskLockTest, ParentIsRefusedWhileAChildHoldsTheRange) {
  TChildProcess child([&](TChannel& channel) {
    TFileHandler mine(path_);
    mine.Open();
    channel.Send(mine.Lock(10, 100));
    if (channel.Receive() != 1) return 3;
    channel.Send(mine.Unlock(10, 100));
    return channel.Receive() == 2 ? 0 : 4;
  });
  ASSERT_EQ(child.Receive(), 1);
  TFileHandler file(path_);
  file.Open();
  EXPECT_FALSE(file.Lock(1, 100));
  EXPECT_FALSE(file.Lock(20, 95));
  EXPECT_TRUE(file.Lock(1, 110));
  EXPECT_TRUE(file.File()->Locks().size() == 1u);  // the refused ones left no entry
  child.Send(1);
  EXPECT_EQ(child.Receive(), 1);
  EXPECT_TRUE(file.Lock(1, 100));
  child.Send(2);
  EXPECT_EQ(child.Join(), 0);
}

TEST_F(DiskLockTest, UnlockSpanReleasesOnlyWholeLocksOfItsOwnHandler) {
  TFileHandler first(path_), second(path_);
  first.Open();
  second.Open();
  for (int64_t at : {100, 103, 110, 120}) ASSERT_TRUE(first.Lock(1, at));
  ASSERT_TRUE(second.Lock(1, 130));
  ASSERT_TRUE(first.Lock(5, 140));                   // 140..144
  EXPECT_FALSE(first.UnlockSpan(41, 100));          // 100..140 would take the other's 130
  EXPECT_FALSE(first.UnlockSpan(42, 100));          // and reaches into 140..144
  EXPECT_FALSE(first.UnlockSpan(9, 142));           // starts inside 140..144
  EXPECT_EQ(first.File()->Locks().size(), 6u);      // every refusal changed nothing
  EXPECT_EQ(ProbeFromChild(1, 103), 0);
  EXPECT_TRUE(first.UnlockSpan(21, 100));           // 100..120: four locks, one call
  EXPECT_EQ(first.File()->Locks().size(), 2u);
  for (int64_t at : {100, 103, 110, 120}) EXPECT_EQ(ProbeFromChild(1, at), 1) << at;
  EXPECT_EQ(ProbeFromChild(1, 130), 0);
  EXPECT_EQ(ProbeFromChild(1, 142), 0);
  EXPECT_TRUE(first.UnlockSpan(10, 0));             // nothing held there: nothing to do
}

TEST_F(DiskLockTest, UnlockingOneRangeKeepsTheAdjacentRangeLockedForOtherProcesses) {
  // One descriptor's adjacent locks merge in the kernel into 10..29; an unlock of 10..19
  // must leave 20..29 locked.
  TFileHandler first(path_), second(path_);
  first.Open();
  second.Open();
  ASSERT_TRUE(first.Lock(10, 10));
  ASSERT_TRUE(second.Lock(10, 20));
  ASSERT_TRUE(first.Lock(5, 30));  // and 30..34 through the first handler again
  EXPECT_TRUE(first.Unlock(10, 10));
  EXPECT_EQ(ProbeFromChild(10, 20), 0);
  EXPECT_EQ(ProbeFromChild(1, 29), 0);
  EXPECT_EQ(ProbeFromChild(1, 32), 0);
  EXPECT_EQ(ProbeFromChild(10, 10), 1);
  EXPECT_TRUE(first.Unlock(5, 30));
  EXPECT_EQ(ProbeFromChild(1, 32), 1);
  EXPECT_EQ(ProbeFromChild(1, 25), 0);
}

TEST_F(DiskLockTest, ClosingAHandlerReleasesOnlyItsOwnLocks) {
  TFileHandler first(path_), second(path_);
  first.Open();
  second.Open();
  ASSERT_TRUE(first.Lock(10, 10));
  ASSERT_TRUE(second.Lock(10, 30));
  first.Close();
  EXPECT_EQ(second.File()->Locks().size(), 1u);
  EXPECT_EQ(ProbeFromChild(10, 10), 1);
  EXPECT_EQ(ProbeFromChild(10, 30), 0);
  EXPECT_TRUE(second.Lock(10, 10));
  second.Close();
  EXPECT_EQ(ProbeFromChild(10, 30), 1);
}

TEST_F(DiskLockTest, LockBytesOfTheEngineProtocolUse64BitOffsets) {
  TFileHandler file(path_);
  file.Open();
  EXPECT_TRUE(file.Lock(1, 4294967295LL));       // the data file's header byte
  EXPECT_TRUE(file.Lock(65536, 4294901759LL));   // an index file's writer range
  EXPECT_FALSE(file.Lock(1, 4294967295LL - 7));  // reader slot 7 lies inside it
  EXPECT_TRUE(file.Unlock(65536, 4294901759LL));
  EXPECT_TRUE(file.Lock(1, 4294967295LL - 7));
  EXPECT_FALSE(file.Lock(65536, 4294901759LL));  // a reader keeps the writer out
}

TEST_F(DiskLockTest, HighOffsetsConflictBetweenProcesses) {
  TFileHandler file(path_);
  file.Open();
  ASSERT_TRUE(file.Lock(1, 4294967295LL));
  ASSERT_TRUE(file.Lock(65536, 4294901759LL - 65536));
  EXPECT_EQ(ProbeFromChild(1, 4294967295LL), 0);
  EXPECT_EQ(ProbeFromChild(1, 4294901759LL - 1), 0);
  EXPECT_EQ(ProbeFromChild(1, 4294901759LL), 1);
  EXPECT_EQ(ProbeFromChild(1, 4294967294LL), 1);
}

TEST_F(DiskLockTest, EmptyNegativeAndReservedRangesAreRefused) {
  TFileHandler file(path_);
  file.Open();
  EXPECT_FALSE(file.Lock(0, 10));
  EXPECT_FALSE(file.Lock(-5, 10));
  EXPECT_FALSE(file.Lock(1, -1));
  EXPECT_FALSE(file.Lock(2, INT64_MAX));  // would run past the largest offset
  EXPECT_FALSE(file.Lock(1, kShareLockOffset));
  EXPECT_FALSE(file.Lock(1, kExclusiveReaderLockOffset));
  EXPECT_FALSE(file.Lock(2, kShareLockOffset - 1));
  EXPECT_FALSE(file.Lock(100, kShareLockOffset - 50));
  EXPECT_TRUE(file.Lock(1, kShareLockOffset - 1));
  EXPECT_TRUE(file.Lock(1, kExclusiveReaderLockOffset + 1));
  EXPECT_TRUE(file.Lock(1, INT64_MAX));
  EXPECT_TRUE(file.File()->Locks().size() == 3u);
  EXPECT_FALSE(file.Unlock(1, kShareLockOffset));
  // The sharing lock survived all of this: another process still cannot open exclusively.
  int status = RunInChild([&] { return TryOpen(path_, true) == VELDOR_OSEACCES ? 0 : 1; });
  EXPECT_EQ(status, 0);
}

TEST_F(DiskLockTest, ReadOnlyFileLocksStillExcludeWithinTheProcess) {
  chmod(path_.c_str(), 0444);
  TFileHandler first(path_), second(path_);
  first.Open();
  second.Open();
  ASSERT_TRUE(first.ReadOnlyByAttribute());
  EXPECT_TRUE(first.Lock(10, 10));
  EXPECT_FALSE(second.Lock(1, 12));
  EXPECT_TRUE(first.Unlock(10, 10));
  EXPECT_TRUE(second.Lock(1, 12));
}

}  // namespace
}  // namespace veldor::test
