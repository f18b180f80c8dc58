// Sharing between processes: exclusive against shared opens in both orders, creates that
// must not destroy a file another process holds, exclusive opens of read-only files,
// delete and rename of files open elsewhere, failed opens leaving nothing registered, and
// a forked child's fresh view of the file list.
#include "tests/files/file_test_support.h"

namespace veldor::test {
namespace {

class SharingTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    path_ = Path("shared.dat");
    WriteRaw(path_, Bytes("precious content"));
  }

  // A child that opens the file (exclusive or shared), reports the result, and holds the
  // file open until told to go.
  std::unique_ptr<TChildProcess> HoldInChild(bool exclusive, int32_t& result) {
    auto child = std::make_unique<TChildProcess>([this, exclusive](TChannel& channel) {
      TFileHandler file(path_);
      file.SetExclusive(exclusive);
      channel.Send(ErrorOf([&] { file.Open(); }));
      return channel.Receive() == 1 ? 0 : 5;
    });
    result = child->Receive();
    return child;
  }

  std::string path_;
};

TEST_F(SharingTest, SharedHolderInTheParentRefusesAnExclusiveChild) {
  TFileHandler file(path_);
  file.Open();
  EXPECT_EQ(RunInChild([&] { return TryOpen(path_, true) == VELDOR_OSEACCES ? 0 : 1; }), 0);
  EXPECT_EQ(RunInChild([&] { return TryOpen(path_, false); }), 0);  // shared is fine
  file.Close();
  EXPECT_EQ(RunInChild([&] { return TryOpen(path_, true); }), 0);
}

TEST_F(SharingTest, ExclusiveHolderInTheParentRefusesEveryChildOpen) {
  TFileHandler file(path_);
  file.SetExclusive(true);
  file.Open();
  EXPECT_EQ(RunInChild([&] { return TryOpen(path_, false) == VELDOR_OSEACCES ? 0 : 1; }), 0);
  EXPECT_EQ(RunInChild([&] { return TryOpen(path_, true) == VELDOR_OSEACCES ? 0 : 1; }), 0);
  file.Close();
  EXPECT_EQ(RunInChild([&] { return TryOpen(path_, false); }), 0);
}

TEST_F(SharingTest, ExclusiveHolderInAChildRefusesTheParent) {
  int32_t opened = -1;
  auto child = HoldInChild(true, opened);
  ASSERT_EQ(opened, 0);
  TFileHandler shared(path_), exclusive(path_);
  exclusive.SetExclusive(true);
  EXPECT_EQ(MessageOf([&] { shared.Open(); }),
            "VELDOR Engine Error # 11013 Access denied to table '" + path_ + "'");
  EXPECT_EQ(ErrorOf([&] { exclusive.Open(); }), VELDOR_OSEACCES);
  child->Send(1);
  EXPECT_EQ(child->Join(), 0);
  shared.Open();
  EXPECT_TRUE(shared.IsOpen());
}

TEST_F(SharingTest, SharedHolderInAChildRefusesAnExclusiveParent) {
  int32_t opened = -1;
  auto child = HoldInChild(false, opened);
  ASSERT_EQ(opened, 0);
  TFileHandler shared(path_), exclusive(path_);
  exclusive.SetExclusive(true);
  EXPECT_EQ(ErrorOf([&] { exclusive.Open(); }), VELDOR_OSEACCES);
  shared.Open();  // two shared processes
  shared.Close();
  child->Send(1);
  EXPECT_EQ(child->Join(), 0);
  exclusive.Open();
  EXPECT_TRUE(exclusive.IsOpen());
}

TEST_F(SharingTest, FailedOpenLeavesNothingRegistered) {
  int32_t opened = -1;
  auto child = HoldInChild(true, opened);
  ASSERT_EQ(opened, 0);
  size_t before = FileList().Count();
  TAbstractFile* object = nullptr;
  bool readOnly = false;
  EXPECT_EQ(FileList().OpenFile(path_, false, false, false, readOnly, object), -VELDOR_OSEACCES);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(FileList().Count(), before);
  EXPECT_EQ(FileList().Find(path_, false), nullptr);
  EXPECT_EQ(FileList().CreateFile(path_, false, false, object), -VELDOR_OSEACCES);
  EXPECT_EQ(FileList().Count(), before);
  child->Send(1);
  EXPECT_EQ(child->Join(), 0);
}

TEST_F(SharingTest, CreateDoesNotDestroyAFileAnotherProcessHoldsOpen) {
  for (bool exclusive : {false, true}) {
    int32_t opened = -1;
    auto child = HoldInChild(exclusive, opened);
    ASSERT_EQ(opened, 0);
    TFileHandler creator(path_);
    EXPECT_EQ(ErrorOf([&] { creator.Create(); }), VELDOR_OSEACCES);
    EXPECT_FALSE(creator.IsOpen());
    EXPECT_EQ(ReadRaw(path_), Bytes("precious content"));
    child->Send(1);
    EXPECT_EQ(child->Join(), 0);
  }
  TFileHandler creator(path_);
  creator.Create();  // nobody holds it now
  EXPECT_EQ(ReadRaw(path_).size(), 0u);
  // While the parent holds the created file, a child's create is refused in turn.
  EXPECT_EQ(RunInChild([&] {
              TFileHandler other(path_);
              return ErrorOf([&] { other.Create(); }) == VELDOR_OSEACCES ? 0 : 1;
            }),
            0);
}

TEST_F(SharingTest, ExclusiveOpenOfAReadOnlyFileExcludesOtherProcesses) {
  chmod(path_.c_str(), 0444);
  TFileHandler file(path_);
  file.SetExclusive(true);
  file.Open();
  ASSERT_TRUE(file.ReadOnlyByAttribute());
  EXPECT_EQ(RunInChild([&] { return TryOpen(path_, false) == VELDOR_OSEACCES ? 0 : 1; }), 0);
  EXPECT_EQ(RunInChild([&] { return TryOpen(path_, true) == VELDOR_OSEACCES ? 0 : 1; }), 0);
  file.Close();
  EXPECT_EQ(RunInChild([&] { return TryOpen(path_, false); }), 0);

  // The other order: a child's shared open of the read-only file refuses our exclusive one.
  int32_t opened = -1;
  auto child = HoldInChild(false, opened);
  ASSERT_EQ(opened, 0);
  EXPECT_EQ(ErrorOf([&] { file.Open(); }), VELDOR_OSEACCES);
  TFileHandler shared(path_);
  shared.Open();  // shared with shared is fine
  shared.Close();
  child->Send(1);
  EXPECT_EQ(child->Join(), 0);
  file.Open();
  EXPECT_TRUE(file.IsOpen());
}

TEST_F(SharingTest, ExclusiveReadOnlyOpenAgainstAWritableExclusiveHolder) {
  // The child holds the file exclusively with a writable descriptor; our exclusive open
  // through a read-only descriptor (as a user without write permission would have) fails.
  int32_t opened = -1;
  auto child = HoldInChild(true, opened);
  ASSERT_EQ(opened, 0);
  chmod(path_.c_str(), 0444);
  TFileHandler file(path_);
  file.SetExclusive(true);
  EXPECT_EQ(ErrorOf([&] { file.Open(); }), VELDOR_OSEACCES);
  child->Send(1);
  EXPECT_EQ(child->Join(), 0);
}

TEST_F(SharingTest, DeleteAndRenameAreRefusedWhileAnotherProcessHasTheFileOpen) {
  int32_t opened = -1;
  auto child = HoldInChild(false, opened);
  ASSERT_EQ(opened, 0);
  TFileHandler file(path_);
  EXPECT_EQ(ErrorOf([&] { file.Delete(); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { file.Rename(Path("moved.dat")); }), VELDOR_OSEACCES);
  EXPECT_TRUE(PathExists(path_));
  EXPECT_FALSE(PathExists(Path("moved.dat")));
  child->Send(1);
  EXPECT_EQ(child->Join(), 0);
  file.Rename(Path("moved.dat"));
  file.Delete();
  EXPECT_EQ(Entries(dir_), std::vector<std::string>{});
}

TEST_F(SharingTest, AForkedChildStartsWithNoDiskFileObjects) {
  std::string temp = Path("parent.tmp");
  TFileHandler file(path_), tempFile(temp);
  file.Open();
  ASSERT_TRUE(file.Lock(10, 10));
  tempFile.SetTemporary(true);
  tempFile.Create();
  int status = RunInChild([&] {
    // The parent's objects are not found by name: the child opens its own descriptor.
    if (FileList().Find(path_, false) != nullptr) return 1;
    TFileHandler mine(path_);
    mine.Open();
    if (mine.File() == file.File()) return 2;
    if (mine.Lock(1, 15)) return 3;  // the parent's lock holds against the child
    if (!mine.Lock(1, 25)) return 4;
    // The inherited handler no longer reaches the parent's descriptor: it can neither read
    // nor release the parent's lock.
    char c;
    if (ErrorOf([&] { file.Read(&c, 1); }) != VELDOR_READERR) return 5;
    if (file.Unlock(10, 10)) return 6;
    file.Close();  // returns the inherited handle; unlinks nothing
    tempFile.Close();
    if (!PathExists(temp)) return 7;
    TFileHandler exclusive(path_);
    exclusive.SetExclusive(true);
    if (ErrorOf([&] { exclusive.Open(); }) != VELDOR_OSEACCES) return 8;  // parent shares it
    return 0;
  });
  EXPECT_EQ(status, 0);
  // Still the parent's: file open, lock held, temporary file present.
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(file.File()->Locks().size(), 1u);
  EXPECT_EQ(RunInChild([&] {
              TFileHandler mine(path_);
              mine.Open();
              return mine.Lock(1, 15) ? 1 : 0;
            }),
            0);
  EXPECT_TRUE(PathExists(temp));
  char c;
  file.Read(&c, 1);
  EXPECT_EQ(c, 'p');
  tempFile.Close();
  EXPECT_FALSE(PathExists(temp));
}

TEST_F(SharingTest, AChildLeavingThroughExitDoesNotUnlinkTheParentsTemporaryFile) {
  std::string temp = Path("keep.tmp");
  TFileHandler tempFile(temp);
  tempFile.SetTemporary(true);
  tempFile.Create();
  TChildProcess child([&](TChannel&) { return 0; }, /*exitNormally=*/true);
  EXPECT_EQ(child.Join(), 0);
  EXPECT_TRUE(PathExists(temp));
  tempFile.Close();
  EXPECT_FALSE(PathExists(temp));
}

TEST_F(SharingTest, TemporaryFileStillOpenAtExitIsUnlinked) {
  std::string temp = Path("exit.tmp");
  int status = RunInChild([&] {
    // A child that opens a temporary file of its own and leaves through exit().
    static TFileHandler* file = new TFileHandler(temp);  // never closed (reachable for LSan)
    file->SetTemporary(true);
    file->Create();
    if (!PathExists(temp)) return 1;
    exit(0);
  });
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(PathExists(temp));
}

}  // namespace
}  // namespace veldor::test
