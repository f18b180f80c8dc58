// Disk files within one process: data and positions, truncation, the read-only attribute,
// shared descriptors, in-process sharing, temporary files, missing files and directories,
// error mapping, counters and several threads on one file.
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "tests/files/file_test_support.h"

namespace veldor::test {
namespace {

class DiskFileTest : public TempDirTest {};

TEST_F(DiskFileTest, CreateWriteReadAndReopen) {
  std::string path = Path("data.dat");
  TFileHandler file(path);
  EXPECT_FALSE(file.Exists());
  file.Create();
  EXPECT_TRUE(file.Exists());
  EXPECT_FALSE(file.ReadOnlyByAttribute());
  auto data = RandomBytes(10000, 1);
  file.Write(data.data(), data.size());
  file.Flush();
  EXPECT_EQ(file.Size(), 10000);
  file.Close();
  EXPECT_EQ(ReadRaw(path), data);

  file.Open();
  EXPECT_EQ(file.Seek(kSeekFromCurrent, 0), 0);
  std::vector<uint8_t> back(10000);
  EXPECT_EQ(file.Read(back.data(), back.size()), 10000u);
  EXPECT_EQ(back, data);
  // Overwrite in the middle.
  file.Seek(kSeekFromStart, 100);
  file.Write("XYZ", 3);
  file.Close();
  auto raw = ReadRaw(path);
  EXPECT_EQ(raw.size(), 10000u);
  EXPECT_EQ(std::string(raw.begin() + 100, raw.begin() + 103), "XYZ");
}

TEST_F(DiskFileTest, SeekWithTheThreeOrigins) {
  std::string path = Path("seek.dat");
  WriteRaw(path, Bytes("0123456789"));
  TFileHandler file(path);
  file.Open();
  EXPECT_EQ(file.Seek(kSeekFromStart, 3), 3);
  EXPECT_EQ(file.Seek(kSeekFromCurrent, 2), 5);
  char c;
  file.Read(&c, 1);
  EXPECT_EQ(c, '5');
  EXPECT_EQ(file.Seek(kSeekFromCurrent, -3), 3);
  EXPECT_EQ(file.Seek(kSeekFromEnd, 0), 10);
  EXPECT_EQ(file.Seek(kSeekFromEnd, -1), 9);
  EXPECT_EQ(file.Size(), 10);
  EXPECT_EQ(file.Seek(kSeekFromCurrent, 0), 9);  // Size left the position alone
  EXPECT_EQ(file.Seek(kSeekFromStart, 1LL << 40), 1LL << 40);  // 64-bit positions
  EXPECT_EQ(file.Read(&c, 1, true), 0u);
  EXPECT_EQ(ErrorOf([&] { file.Seek(kSeekFromStart, -1); }), VELDOR_OSUNKNOWN);
  EXPECT_EQ(ErrorOf([&] { file.Seek(3, 0); }), VELDOR_OSUNKNOWN);
}

TEST_F(DiskFileTest, ShortReadAllowedOrRaised) {
  std::string path = Path("short.dat");
  WriteRaw(path, Bytes("abcdef"));
  TFileHandler file(path);
  file.Open();
  file.Seek(kSeekFromStart, 4);
  char buffer[16];
  EXPECT_EQ(file.Read(buffer, 16, true), 2u);
  EXPECT_EQ(std::string(buffer, 2), "ef");
  file.Seek(kSeekFromStart, 0);
  EXPECT_EQ(MessageOf([&] { file.Read(buffer, 16); }),
            "VELDOR Engine Error # 9217 Error reading from the table '" + path + "'");
}

TEST_F(DiskFileTest, WriteOfZeroBytesTruncatesAtThePosition) {
  std::string path = Path("trunc.dat");
  WriteRaw(path, Bytes("abcdefghij"));
  TFileHandler file(path);
  file.Open();
  file.Seek(kSeekFromStart, 3);
  file.Write(nullptr, 0);
  EXPECT_EQ(file.Size(), 3);
  EXPECT_EQ(ReadRaw(path), Bytes("abc"));
  file.Seek(kSeekFromStart, 6);  // past the end: the file is extended with zeros
  file.Write(nullptr, 0);
  EXPECT_EQ(ReadRaw(path), (std::vector<uint8_t>{'a', 'b', 'c', 0, 0, 0}));
}

TEST_F(DiskFileTest, OpeningAMissingFileGives11010) {
  std::string path = Path("missing.dat");
  TFileHandler file(path);
  EXPECT_EQ(MessageOf([&] { file.Open(); }),
            "VELDOR Engine Error # 11010 Table '" + path + "' does not exist");
  EXPECT_FALSE(file.IsOpen());
  // In a missing directory, and through a path whose directory part is a file.
  TFileHandler deep(Path("no/such/dir.dat"));
  EXPECT_EQ(ErrorOf([&] { deep.Open(); }), VELDOR_OSENOENT);
  WriteRaw(Path("plain"), Bytes("x"));
  TFileHandler through(Path("plain/inner.dat"));
  EXPECT_EQ(ErrorOf([&] { through.Open(); }), VELDOR_OSENOENT);
  TAbstractFile* object = nullptr;
  bool readOnly = false;
  EXPECT_EQ(FileList().OpenFile(path, false, false, false, readOnly, object), -VELDOR_OSENOENT);
  EXPECT_EQ(FileList().OpenFile(Path("plain/inner.dat"), false, false, false, readOnly, object),
            -VELDOR_OSENOENT);
  EXPECT_EQ(FileList().Find(path, false), nullptr);
}

TEST_F(DiskFileTest, ADirectoryIsNoFile) {
  std::string path = Path("folder.dat");
  ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
  TFileHandler file(path);
  EXPECT_FALSE(file.Exists());
  EXPECT_EQ(ErrorOf([&] { file.Open(); }), VELDOR_OSENOENT);
  TAbstractFile* object = nullptr;
  bool readOnly = false;
  EXPECT_EQ(FileList().OpenFile(path, false, false, false, readOnly, object), -VELDOR_OSENOENT);
  EXPECT_EQ(FileList().OpenFile(path, false, false, true, readOnly, object), -VELDOR_OSENOENT);
  EXPECT_LT(FileList().CreateFile(path, false, false, object), 0);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(FileList().DeleteFile(path, false), -VELDOR_OSENOENT);
  EXPECT_EQ(FileList().Find(path, false), nullptr);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(DiskFileTest, ReadOnlyAttributeOpensReadOnlyAndWritesFail) {
  std::string path = Path("locked.dat");
  WriteRaw(path, Bytes("original"), 0444);
  TFileHandler file(path);
  file.Open();
  EXPECT_TRUE(file.ReadOnlyByAttribute());
  EXPECT_TRUE(file.File()->ReadOnly());
  char buffer[8];
  EXPECT_EQ(file.Read(buffer, 8), 8u);
  EXPECT_EQ(std::string(buffer, 8), "original");
  file.Seek(kSeekFromStart, 0);
  EXPECT_EQ(MessageOf([&] { file.Write("changed!", 8); }),
            "VELDOR Engine Error # 9218 Error writing to the table '" + path + "'");
  EXPECT_EQ(ErrorOf([&] { file.Write(nullptr, 0); }), VELDOR_WRITEERR);  // no truncate
  file.Flush();  // nothing written, nothing to flush
  file.Close();
  EXPECT_EQ(ReadRaw(path), Bytes("original"));
  // Create (truncate) and delete are refused on a read-only file.
  EXPECT_EQ(ErrorOf([&] { file.Create(); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { file.Delete(); }), VELDOR_OSEACCES);
  EXPECT_EQ(ReadRaw(path), Bytes("original"));
  // Reported once more by the next open, and an exclusive open works too.
  file.SetExclusive(true);
  file.Open();
  EXPECT_TRUE(file.ReadOnlyByAttribute());
  file.Close();
  chmod(path.c_str(), 0644);
  file.Open();
  EXPECT_FALSE(file.ReadOnlyByAttribute());
}

// The other half of the read-only rule: a file with write bits that this process may not
// write. Needs root to switch to another user in a child.
TEST_F(DiskFileTest, FileThisUserCannotWriteIsReadOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
  struct passwd* nobody = getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  std::string path = Path("owned.dat");
  WriteRaw(path, Bytes("root's"), 0644);
  chmod(dir_.c_str(), 0755);
  uid_t uid = nobody->pw_uid;
  gid_t gid = nobody->pw_gid;
  int status = RunInChild([&] {
    if (setgid(gid) != 0 || setuid(uid) != 0) return 10;
    TFileHandler file(path);
    file.Open();
    if (!file.ReadOnlyByAttribute()) return 11;
    char buffer[6];
    if (file.Read(buffer, 6) != 6) return 12;
    if (ErrorOf([&] { file.Write("x", 1); }) != VELDOR_WRITEERR) return 13;
    file.Close();
    // An exclusive open through the read-only descriptor.
    file.SetExclusive(true);
    if (ErrorOf([&] { file.Open(); }) != 0) return 14;
    if (ErrorOf([&] { file.Create(); }) != VELDOR_OSEACCES) return 15;  // handler is open
    file.Close();
    if (ErrorOf([&] { file.Create(); }) != VELDOR_OSEACCES) return 16;
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadRaw(path), Bytes("root's"));
}

TEST_F(DiskFileTest, TwoHandlersShareOneDescriptor) {
  std::string path = Path("shared.dat");
  WriteRaw(path, Bytes("0123456789"));
  TFileHandler first(path), second(path);
  first.Open();
  second.Open();
  ASSERT_EQ(first.File(), second.File());
  auto* physical = static_cast<TPhysicalFile*>(first.File());
  int fd = physical->Descriptor();
  EXPECT_GE(fd, 0);
  EXPECT_EQ(physical->OpenCount(), 2);
  EXPECT_EQ(FileList().Find(path, false), first.File());
  // Positions are per handle.
  first.Seek(kSeekFromStart, 5);
  char a, b;
  second.Read(&b, 1);
  first.Read(&a, 1);
  EXPECT_EQ(a, '5');
  EXPECT_EQ(b, '0');

  first.Close();
  EXPECT_EQ(physical->OpenCount(), 1);
  EXPECT_EQ(physical->Descriptor(), fd);
  second.Seek(kSeekFromStart, 0);
  second.Write("AB", 2);
  char c[2];
  second.Seek(kSeekFromStart, 0);
  second.Read(c, 2);
  EXPECT_EQ(std::string(c, 2), "AB");

  second.Close();
  EXPECT_EQ(FileList().Find(path, false), nullptr);
  EXPECT_EQ(fcntl(fd, F_GETFD), -1);  // the descriptor is closed
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(ReadRaw(path), Bytes("AB23456789"));
}

TEST_F(DiskFileTest, SecondExclusiveOpenIsAccessDenied) {
  std::string path = Path("excl.dat");
  WriteRaw(path, Bytes("x"));
  TFileHandler first(path), second(path), shared(path);
  first.SetExclusive(true);
  second.SetExclusive(true);
  first.Open();
  EXPECT_EQ(MessageOf([&] { second.Open(); }),
            "VELDOR Engine Error # 11013 Access denied to table '" + path + "'");
  EXPECT_EQ(ErrorOf([&] { shared.Open(); }), VELDOR_OSEACCES);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(first.File()->OpenCount(), 1);
  first.Close();
  shared.Open();
  EXPECT_EQ(ErrorOf([&] { second.Open(); }), VELDOR_OSEACCES);
  shared.Close();
  second.Open();
  EXPECT_TRUE(second.IsOpen());
}

TEST_F(DiskFileTest, CreatedFileIsExclusiveUntilClosed) {
  std::string path = Path("created.dat");
  TFileHandler creator(path), other(path);
  creator.Create();
  EXPECT_TRUE(creator.File()->Exclusive());
  EXPECT_EQ(ErrorOf([&] { other.Open(); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { other.Create(); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { other.Delete(); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { other.Rename(Path("moved.dat")); }), VELDOR_OSEACCES);
  creator.Write("abc", 3);
  creator.Close();
  // Create truncates an existing file.
  creator.Create();
  EXPECT_EQ(creator.Size(), 0);
  creator.Close();
  EXPECT_EQ(ReadRaw(path).size(), 0u);
}

TEST_F(DiskFileTest, CreateUnderAUmaskWithoutWriteBitsStillCreates) {
  // The new file has no write bits, but it is ours and new: the create goes through and the
  // handler writes; only the next open sees the read-only attribute.
  std::string path = Path("masked.dat");
  int status = RunInChild([&] {
    umask(0222);
    TFileHandler file(path);
    if (ErrorOf([&] { file.Create(); }) != 0) return 1;
    if (ErrorOf([&] { file.Write("abc", 3); }) != 0) return 2;
    file.Close();
    file.Open();
    return file.ReadOnlyByAttribute() ? 0 : 3;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadRaw(path), Bytes("abc"));
}

TEST_F(DiskFileTest, TemporaryFileIsUnlinkedAtItsLastClose) {
  std::string path = Path("sort.tmp");
  TFileHandler temp(path);
  temp.SetTemporary(true);
  temp.Create();
  temp.Write("scratch", 7);
  EXPECT_TRUE(PathExists(path));
  temp.Close();
  EXPECT_FALSE(PathExists(path));

  // Opened as temporary by two handlers: the file goes with the second close.
  std::string other = Path("other.tmp");
  WriteRaw(other, Bytes("x"));
  TFileHandler a(other), b(other);
  a.SetTemporary(true);
  a.Open();
  b.Open();
  a.Close();
  EXPECT_TRUE(PathExists(other));
  b.Close();
  EXPECT_FALSE(PathExists(other));
}

TEST_F(DiskFileTest, TemporaryFileReplacedOnDiskIsNotUnlinked) {
  std::string path = Path("replaced.tmp");
  TFileHandler temp(path);
  temp.SetTemporary(true);
  temp.Create();
  ASSERT_EQ(unlink(path.c_str()), 0);
  WriteRaw(path, Bytes("someone else's"));
  temp.Close();
  EXPECT_EQ(ReadRaw(path), Bytes("someone else's"));
}

TEST_F(DiskFileTest, DeleteAndRename) {
  std::string path = Path("old.dat");
  WriteRaw(path, Bytes("payload"));
  TFileHandler file(path);
  file.Open();
  EXPECT_EQ(ErrorOf([&] { file.Delete(); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { file.Rename(Path("new.dat")); }), VELDOR_OSEACCES);
  file.Close();
  file.Rename(Path("new.dat"));
  EXPECT_EQ(file.FileName(), Path("new.dat"));
  EXPECT_FALSE(PathExists(path));
  EXPECT_EQ(ReadRaw(Path("new.dat")), Bytes("payload"));
  file.Delete();
  EXPECT_FALSE(PathExists(Path("new.dat")));
  EXPECT_EQ(ErrorOf([&] { file.Delete(); }), VELDOR_OSENOENT);
  EXPECT_EQ(ErrorOf([&] { file.Rename(Path("again.dat")); }), VELDOR_OSENOENT);
}

TEST_F(DiskFileTest, ClosedHandlerRaisesBadHandleAndLocksNothing) {
  TFileHandler file(Path("closed.dat"));
  char c;
  EXPECT_EQ(ErrorOf([&] { file.Read(&c, 1); }), VELDOR_OSEBADF);
  EXPECT_EQ(ErrorOf([&] { file.Write(&c, 1); }), VELDOR_OSEBADF);
  EXPECT_EQ(ErrorOf([&] { file.Seek(kSeekFromStart, 0); }), VELDOR_OSEBADF);
  EXPECT_EQ(ErrorOf([&] { file.Size(); }), VELDOR_OSEBADF);
  EXPECT_EQ(ErrorOf([&] { file.Flush(); }), VELDOR_OSEBADF);
  EXPECT_EQ(ErrorOf([&] { file.CopyTo(Path("x")); }), VELDOR_OSEBADF);
  EXPECT_FALSE(file.Lock(1, 0));
  EXPECT_FALSE(file.Unlock(1, 0));
  file.Close();  // nothing to close, no error
  file.Enter();  // nothing to lock
  file.Leave();
}

TEST_F(DiskFileTest, CountersCountCallsThatReachTheFileAndTheirBytes) {
  TFileHandler file(Path("count.dat"));
  file.Create();
  std::vector<uint8_t> block(1000, 7);
  file.Write(block.data(), 1000);
  file.Write(block.data(), 24);
  file.Seek(kSeekFromStart, 0);
  file.Read(block.data(), 500);
  file.Read(block.data(), 1000, true);  // 524 come back
  EXPECT_EQ(file.IoCounters().WriteCalls, 2u);
  EXPECT_EQ(file.IoCounters().WriteBytes, 1024u);
  EXPECT_EQ(file.IoCounters().ReadCalls, 2u);
  EXPECT_EQ(file.IoCounters().ReadBytes, 1024u);
  file.ResetIoCounters();
  EXPECT_EQ(file.IoCounters().ReadCalls, 0u);
  EXPECT_EQ(file.IoCounters().WriteBytes, 0u);
  file.Seek(kSeekFromStart, 0);
  file.Read(block.data(), 10);
  EXPECT_EQ(file.IoCounters().ReadCalls, 1u);
  EXPECT_EQ(file.IoCounters().ReadBytes, 10u);
  file.Close();
  TFileHandler never(Path("never.dat"));
  char c;
  EXPECT_NE(ErrorOf([&] { never.Read(&c, 1); }), 0);
  EXPECT_EQ(never.IoCounters().ReadCalls, 0u);  // refused before reaching a file
}

TEST_F(DiskFileTest, DescriptorIsClosedOnExec) {
  std::string path = Path("cloexec.dat");
  WriteRaw(path, Bytes("x"));
  TFileHandler file(path);
  file.Open();
  int fd = static_cast<TPhysicalFile*>(file.File())->Descriptor();
  EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  EXPECT_FALSE(fcntl(fd, F_GETFL) & O_NONBLOCK);
  EXPECT_EQ(fcntl(fd, F_GETFL) & O_ACCMODE, O_RDWR);
}

TEST_F(DiskFileTest, ThreadsWritingTheirOwnRegionsThroughTheirOwnHandlers) {
  std::string path = Path("threads.dat");
  {
    TFileHandler creator(path);
    creator.Create();
  }
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  constexpr size_t kRegion = 512;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        for (int round = 0; round < kRounds; ++round) {
          TFileHandler file(path);
          file.Open();
          std::vector<uint8_t> region(kRegion, static_cast<uint8_t>(t * 16 + round % 16));
          {
            TFileSection section(file);
            file.Seek(kSeekFromStart, static_cast<int64_t>(t * kRegion));
            file.Write(region.data(), region.size());
          }
          std::vector<uint8_t> back(kRegion);
          file.Seek(kSeekFromStart, static_cast<int64_t>(t * kRegion));
          file.Read(back.data(), back.size());
          if (back != region) ++failures;
          if (file.Lock(1, 1000 + t) == false) ++failures;  // disjoint per thread
          if (file.Unlock(1, 1000 + t) == false) ++failures;
          file.Close();
        }
      } catch (...) {
        ++failures;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  auto raw = ReadRaw(path);
  ASSERT_EQ(raw.size(), kThreads * kRegion);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(raw[t * kRegion], static_cast<uint8_t>(t * 16 + (kRounds - 1) % 16));
  }
  EXPECT_EQ(FileList().Find(path, false), nullptr);
}

TEST(ErrorMapping, ErrnoValuesMapLikeThePlatformTable) {
  EXPECT_EQ(MapOsError(ENOENT), VELDOR_OSENOENT);
  EXPECT_EQ(MapOsError(ENOTDIR), VELDOR_OSENOENT);
  EXPECT_EQ(MapOsError(EMFILE), VELDOR_OSEMFILE);
  EXPECT_EQ(MapOsError(ENFILE), VELDOR_OSEMFILE);
  EXPECT_EQ(MapOsError(EACCES), VELDOR_OSEACCES);
  EXPECT_EQ(MapOsError(EPERM), VELDOR_OSEACCES);
  EXPECT_EQ(MapOsError(EROFS), VELDOR_OSEACCES);
  EXPECT_EQ(MapOsError(EBADF), VELDOR_OSEBADF);
  EXPECT_EQ(MapOsError(ENOMEM), VELDOR_OSENOMEM);
  EXPECT_EQ(MapOsError(ENODEV), VELDOR_OSENODEV);
  EXPECT_EQ(MapOsError(EXDEV), VELDOR_OSENOTSAM);
  EXPECT_EQ(MapOsError(EIO), VELDOR_OSUNKNOWN);
  EXPECT_EQ(MapOsError(ENOSPC), VELDOR_OSUNKNOWN);
  EXPECT_EQ(MapOsError(EEXIST), VELDOR_OSUNKNOWN);
}

TEST_F(DiskFileTest, TooManyOpenFilesGives11012) {
  // In a child with a low descriptor limit and all but two descriptors used up. The list is
  // asked directly: it returns the code without raising, so nothing else needs a descriptor
  // (the sanitizers' runtime does) before the held ones are released again.
  for (int i = 0; i < 4; ++i) WriteRaw(Path("f" + std::to_string(i)), Bytes("x"));
  int status = RunInChild([&] {
    struct rlimit limit{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return 22;
    size_t before = FileList().Count();
    std::vector<int> hold;
    hold.reserve(64);
    std::vector<std::string> names;
    for (int i = 0; i < 4; ++i) names.push_back(Path("f" + std::to_string(i)));
    for (;;) {
      int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) break;
      hold.push_back(fd);
    }
    for (int i = 0; i < 2 && !hold.empty(); ++i) {
      close(hold.back());
      hold.pop_back();
    }
    TAbstractFile* objects[4] = {};
    int32_t handles[4] = {};
    int32_t failure = 0;
    for (int i = 0; i < 4 && failure == 0; ++i) {
      bool readOnly = false;
      handles[i] = FileList().OpenFile(names[i], false, false, false, readOnly, objects[i]);
      if (handles[i] < 0) failure = handles[i];
    }
    for (int fd : hold) close(fd);
    for (int i = 0; i < 4; ++i) {
      if (handles[i] > 0) FileList().CloseFile(objects[i], false, handles[i]);
    }
    if (failure != -VELDOR_OSEMFILE) return 20;
    return FileList().Count() == before ? 0 : 21;
  });
  EXPECT_EQ(status, 0);
}

}  // namespace
}  // namespace veldor::test
