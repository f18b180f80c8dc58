// In-memory files: data, growth, survival after the last close, sharing, names and the
// owner-less lock list. Names are unique per test because in-memory files live as long as
// the process.
#include <cstring>

#include "tests/files/file_test_support.h"

namespace veldor::test {
namespace {

std::string ReadString(TFileHandler& file, size_t count, bool allowShort = true) {
  std::string out(count, '\0');
  size_t n = file.Read(out.data(), count, allowShort);
  out.resize(n);
  return out;
}

void WriteString(TFileHandler& file, const std::string& text) {
  file.Write(text.data(), text.size());
}

TEST(MemoryFile, WriteReadSeekAndSize) {
  TFileHandler file("MemBasic.dat", true);
  file.Create();
  EXPECT_TRUE(file.IsOpen());
  EXPECT_EQ(file.Handle(), 1);
  WriteString(file, "hello world");
  EXPECT_EQ(file.Size(), 11);
  EXPECT_EQ(file.Seek(kSeekFromCurrent, 0), 11);  // Size kept the position
  EXPECT_EQ(file.Seek(kSeekFromStart, 0), 0);
  EXPECT_EQ(ReadString(file, 5), "hello");
  EXPECT_EQ(file.Seek(kSeekFromCurrent, 1), 6);
  EXPECT_EQ(ReadString(file, 5), "world");
  EXPECT_EQ(file.Seek(kSeekFromEnd, 0), 11);
  EXPECT_EQ(file.Seek(kSeekFromEnd, -5), 6);
  EXPECT_EQ(ErrorOf([&] { file.Seek(kSeekFromStart, -1); }), VELDOR_OSUNKNOWN);
  EXPECT_EQ(ErrorOf([&] { file.Seek(7, 0); }), VELDOR_OSUNKNOWN);
  file.Flush();  // nothing to do, no error
  file.Close();
  file.Delete();
}

TEST(MemoryFile, ReadingPastTheEndReturnsTheAvailableBytesOnly) {
  TFileHandler file("MemShort.dat", true);
  file.Create();
  WriteString(file, "0123456789");
  file.Seek(kSeekFromStart, 6);
  char buffer[10];
  EXPECT_EQ(file.Read(buffer, 10, true), 4u);
  EXPECT_EQ(std::string(buffer, 4), "6789");
  EXPECT_EQ(file.Seek(kSeekFromCurrent, 0), 10);
  EXPECT_EQ(file.Read(buffer, 10, true), 0u);
  file.Seek(kSeekFromStart, 100);  // beyond the end
  EXPECT_EQ(file.Read(buffer, 10, true), 0u);
  file.Seek(kSeekFromStart, 0);
  EXPECT_EQ(MessageOf([&] { file.Read(buffer, 11); }),
            "VELDOR Engine Error # 9217 Error reading from the table 'MemShort.dat'");
  file.Close();
  file.Delete();
}

TEST(MemoryFile, SurvivesItsLastCloseAndIsFoundAgainByName) {
  {
    TFileHandler writer("MemKeep.dat", true);
    writer.Create();
    WriteString(writer, "kept content");
    writer.Close();
  }
  EXPECT_TRUE(FileList().FileExists("MemKeep.dat", true));
  EXPECT_FALSE(FileList().FileExists("MemKeep.dat", false));  // separate name spaces
  TFileHandler reader("  memkeep.DAT ", true);                 // blanks and case ignored
  EXPECT_TRUE(reader.Exists());
  reader.Open();
  EXPECT_EQ(ReadString(reader, 100), "kept content");
  reader.Close();
  reader.Delete();
  EXPECT_FALSE(reader.Exists());
}

TEST(MemoryFile, TemporaryFileIsGoneAfterItsLastClose) {
  TFileHandler first("MemTemp.dat", true);
  first.SetTemporary(true);
  first.Create();
  WriteString(first, "scratch");
  first.Close();
  EXPECT_FALSE(FileList().FileExists("MemTemp.dat", true));
  EXPECT_EQ(FileList().Find("MemTemp.dat", true), nullptr);
  TFileHandler again("MemTemp.dat", true);
  EXPECT_EQ(MessageOf([&] { again.Open(); }),
            "VELDOR Engine Error # 11010 Table 'MemTemp.dat' does not exist");

  // A temporary file with two handles lives until the second closes.
  TFileHandler a("MemTemp2.dat", true);
  a.Create();
  a.Close();
  a.SetTemporary(true);
  TFileHandler b("MemTemp2.dat", true);
  a.Open();  // an object without handles takes the request's temporary flag
  b.Open();
  a.Close();
  EXPECT_TRUE(b.Exists());
  b.Close();
  EXPECT_FALSE(b.Exists());
}

TEST(MemoryFile, OpeningAMissingNameGives11010) {
  TFileHandler file("MemNope.dat", true);
  EXPECT_FALSE(file.Exists());
  EXPECT_EQ(ErrorOf([&] { file.Open(); }), VELDOR_OSENOENT);
  EXPECT_FALSE(file.IsOpen());
  TAbstractFile* object = nullptr;
  bool readOnly = true;
  EXPECT_EQ(FileList().OpenFile("MemNope.dat", true, false, false, readOnly, object),
            -VELDOR_OSENOENT);
  EXPECT_EQ(object, nullptr);
}

TEST(MemoryFile, LockRangesHaveNoOwner) {
  TFileHandler first("MemLock.dat", true);
  first.Create();
  TFileHandler second("MemLock.dat", true);
  first.Close();
  first.Open();
  second.Open();

  EXPECT_TRUE(first.Lock(10, 10));    // bytes 10 to 19
  EXPECT_FALSE(first.Lock(1, 15));    // the same process is refused too
  EXPECT_FALSE(second.Lock(1, 15));
  EXPECT_FALSE(second.Lock(5, 8));    // 8..12 overlaps the start
  EXPECT_FALSE(second.Lock(5, 19));   // 19..23 overlaps the end
  EXPECT_TRUE(second.Lock(5, 20));    // 20..24 is free
  EXPECT_FALSE(first.Unlock(5, 10));  // no exact match
  EXPECT_TRUE(second.Unlock(10, 10)); // no owner: any handle may unlock
  EXPECT_FALSE(second.Unlock(10, 10));
  EXPECT_TRUE(first.Lock(1, 15));
  EXPECT_FALSE(first.Lock(0, 30));    // empty range
  EXPECT_FALSE(first.Lock(1, -1));    // negative offset

  // With no handle left nobody holds a lock: the list starts empty at the next open.
  first.Close();
  second.Close();
  first.Open();
  EXPECT_TRUE(first.Lock(10, 10));
  EXPECT_TRUE(first.Unlock(10, 10));
  first.Close();
  first.Delete();
}

TEST(MemoryFile, BufferGrowsInStepsOf4096AndIsFreedAtSizeZero) {
  TFileHandler file("MemGrow.dat", true);
  file.Create();
  auto* memory = static_cast<TMemoryFile*>(file.File());
  EXPECT_EQ(memory->Capacity(), 0u);
  WriteString(file, "x");
  EXPECT_EQ(memory->Capacity(), 4096u);
  file.Seek(kSeekFromStart, 4095);
  WriteString(file, "y");
  EXPECT_EQ(memory->Capacity(), 4096u);
  WriteString(file, "z");
  EXPECT_EQ(memory->Capacity(), 8192u);
  EXPECT_EQ(file.Size(), 4097);
  // New space reads as zeros.
  std::vector<uint8_t> all(4097);
  file.Seek(kSeekFromStart, 0);
  file.Read(all.data(), all.size());
  EXPECT_EQ(all[0], 'x');
  for (size_t i = 1; i < 4095; ++i) ASSERT_EQ(all[i], 0) << i;
  EXPECT_EQ(all[4095], 'y');
  EXPECT_EQ(all[4096], 'z');
  file.Seek(kSeekFromStart, 10000);
  WriteString(file, "w");
  EXPECT_EQ(memory->Capacity(), 12288u);
  // Truncating to 0 frees the buffer.
  file.Seek(kSeekFromStart, 0);
  file.Write(nullptr, 0);
  EXPECT_EQ(file.Size(), 0);
  EXPECT_EQ(memory->Capacity(), 0u);
  file.Close();
  file.Delete();
}

TEST(MemoryFile, WriteOfZeroBytesSetsTheEndAtThePosition) {
  TFileHandler file("MemTrunc.dat", true);
  file.Create();
  WriteString(file, "abcdefghij");
  file.Seek(kSeekFromStart, 4);
  file.Write("", 0);
  EXPECT_EQ(file.Size(), 4);
  // Extending again reads zeros where the cut bytes were, not the old content.
  file.Seek(kSeekFromStart, 8);
  WriteString(file, "Z");
  std::vector<uint8_t> all(9);
  file.Seek(kSeekFromStart, 0);
  file.Read(all.data(), all.size());
  EXPECT_EQ(all, (std::vector<uint8_t>{'a', 'b', 'c', 'd', 0, 0, 0, 0, 'Z'}));
  // A zero write past the end extends with zeros.
  file.Seek(kSeekFromStart, 20);
  file.Write(nullptr, 0);
  EXPECT_EQ(file.Size(), 20);
  file.Close();
  file.Delete();
}

TEST(MemoryFile, ExclusiveOpensRefuseEveryOtherOpen) {
  TFileHandler creator("MemExcl.dat", true);
  creator.Create();  // a create is an exclusive open
  TFileHandler other("MemExcl.dat", true);
  EXPECT_EQ(MessageOf([&] { other.Open(); }),
            "VELDOR Engine Error # 11013 Access denied to table 'MemExcl.dat'");
  EXPECT_FALSE(other.IsOpen());
  creator.Close();

  TFileHandler shared1("MemExcl.dat", true), shared2("MemExcl.dat", true);
  shared1.Open();
  shared2.Open();
  TFileHandler exclusive("MemExcl.dat", true);
  exclusive.SetExclusive(true);
  EXPECT_EQ(ErrorOf([&] { exclusive.Open(); }), VELDOR_OSEACCES);
  shared1.Close();
  shared2.Close();
  exclusive.Open();
  EXPECT_EQ(ErrorOf([&] { shared1.Open(); }), VELDOR_OSEACCES);
  TFileHandler second("MemExcl.dat", true);
  second.SetExclusive(true);
  EXPECT_EQ(MessageOf([&] { second.Open(); }),
            "VELDOR Engine Error # 11013 Access denied to table 'MemExcl.dat'");
  exclusive.Close();
  exclusive.Delete();
}

TEST(MemoryFile, CreateDeleteAndRenameRefuseAnOpenFile) {
  TFileHandler file("MemOps.dat", true);
  file.Create();
  WriteString(file, "data");
  TFileHandler other("memops.dat", true);
  EXPECT_EQ(ErrorOf([&] { other.Create(); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { other.Delete(); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { other.Rename("MemOps2.dat"); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { file.Create(); }), VELDOR_OSEACCES);  // the handler is open
  file.Close();

  TFileHandler blocker("MemOpsOther.dat", true);
  blocker.Create();
  blocker.Close();
  EXPECT_EQ(ErrorOf([&] { file.Rename("memopsother.DAT"); }), VELDOR_OSUNKNOWN);
  file.Rename("MemOps2.dat");
  EXPECT_EQ(file.FileName(), "MemOps2.dat");
  EXPECT_FALSE(FileList().FileExists("MemOps.dat", true));
  file.Open();
  EXPECT_EQ(ReadString(file, 10), "data");
  file.Close();
  // Create of a closed in-memory file empties it.
  file.Create();
  EXPECT_EQ(file.Size(), 0);
  file.Close();
  file.Delete();
  blocker.Delete();
  EXPECT_EQ(ErrorOf([&] { file.Delete(); }), VELDOR_OSENOENT);
  EXPECT_EQ(ErrorOf([&] { file.Rename("x"); }), VELDOR_OSENOENT);
}

TEST(MemoryFile, HandlesKeepTheirOwnPositionsAndNumbers) {
  TFileHandler a("MemHandles.dat", true);
  a.Create();
  WriteString(a, "abcdef");
  a.Close();
  TFileHandler b("MemHandles.dat", true), c("MemHandles.dat", true);
  a.Open();
  b.Open();
  EXPECT_EQ(a.File(), b.File());
  EXPECT_NE(a.Handle(), b.Handle());
  a.Seek(kSeekFromStart, 4);
  EXPECT_EQ(ReadString(b, 2), "ab");
  EXPECT_EQ(ReadString(a, 2), "ef");
  // Closing the first handle must not let a new one take the second's number.
  int32_t bHandle = b.Handle();
  a.Close();
  c.Open();
  EXPECT_NE(c.Handle(), bHandle);
  EXPECT_EQ(ReadString(b, 2), "cd");
  EXPECT_EQ(ReadString(c, 2), "ab");
  b.Close();
  c.Close();
  c.Delete();
}

TEST(MemoryFile, FileListResultsAreNegativeCodes) {
  TFileList& list = FileList();
  TAbstractFile* object = nullptr;
  int32_t handle = list.CreateFile("MemList.dat", true, false, object);
  ASSERT_GT(handle, 0);
  EXPECT_TRUE(object->IsInMemory());
  TAbstractFile* again = nullptr;
  EXPECT_EQ(list.CreateFile("MEMLIST.DAT", true, false, again), -VELDOR_OSEACCES);
  EXPECT_EQ(list.DeleteFile("MemList.dat", true), -VELDOR_OSEACCES);
  EXPECT_EQ(list.RenameFile("MemList.dat", true, "x"), -VELDOR_OSEACCES);
  EXPECT_EQ(list.CloseFile(object, true, handle + 100), -VELDOR_OSEBADF);
  EXPECT_EQ(list.CloseFile(object, true, handle), 0);
  TMemoryFile stray("MemStray.dat");  // never listed
  EXPECT_EQ(list.CloseFile(&stray, true, 1), -VELDOR_OSENOENT);
  EXPECT_EQ(list.DeleteFile("MemList.dat", true), 0);
  EXPECT_EQ(list.DeleteFile("MemList.dat", true), -VELDOR_OSENOENT);
}

}  // namespace
}  // namespace veldor::test
