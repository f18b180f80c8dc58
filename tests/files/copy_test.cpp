// CopyTo and CopyFrom, on disk and in memory: sizes around the 65536-byte block, the
// truncation of an existing target, CopyFrom keeping the tail of a longer file, the block
// count, and refusals when the other file is open.
#include "tests/files/file_test_support.h"

namespace veldor::test {
namespace {

class CopyTest : public TempDirTest {};

std::vector<uint8_t> ReadAll(TFileHandler& file) {
  std::vector<uint8_t> out(static_cast<size_t>(file.Size()));
  file.Seek(kSeekFromStart, 0);
  if (!out.empty()) file.Read(out.data(), out.size());
  return out;
}

TEST_F(CopyTest, CopyToCopiesFilesOfEverySizeAroundTheBlock) {
  for (size_t size : {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537},
                      size_t{131072}, size_t{200000}}) {
    SCOPED_TRACE(size);
    std::string source = Path("source.dat"), target = Path("target.dat");
    auto data = RandomBytes(size, static_cast<uint32_t>(size));
    WriteRaw(source, data);
    WriteRaw(target, RandomBytes(300000, 9));  // an existing, longer target is replaced
    TFileHandler file(source);
    file.Open();
    file.Seek(kSeekFromStart, 17);  // the copy starts at 0 whatever the position
    file.CopyTo(target);
    EXPECT_EQ(file.Seek(kSeekFromCurrent, 0), static_cast<int64_t>(size));
    file.Close();
    EXPECT_EQ(ReadRaw(target), data);
    EXPECT_EQ(FileList().Find(target, false), nullptr);  // the target handle was closed
  }
}

TEST_F(CopyTest, CopyFromDoesNotShortenALongerOpenFile) {
  std::string open = Path("open.dat"), source = Path("source.dat");
  WriteRaw(open, std::vector<uint8_t>(300000, 'A'));
  WriteRaw(source, std::vector<uint8_t>(70000, 'B'));
  TFileHandler file(open);
  file.Open();
  file.CopyFrom(source);
  EXPECT_EQ(file.Seek(kSeekFromCurrent, 0), 70000);
  EXPECT_EQ(file.Size(), 300000);
  auto all = ReadAll(file);
  EXPECT_EQ(std::count(all.begin(), all.begin() + 70000, 'B'), 70000);
  EXPECT_EQ(std::count(all.begin() + 70000, all.end(), 'A'), 300000 - 70000);
  // An empty source changes nothing at all.
  WriteRaw(source, {});
  file.CopyFrom(source);
  EXPECT_EQ(file.Size(), 300000);
  EXPECT_EQ(ReadAll(file), all);
}

TEST_F(CopyTest, CopyFromALongerSourceExtendsTheFile) {
  std::string open = Path("open.dat"), source = Path("source.dat");
  WriteRaw(open, Bytes("short"));
  auto data = RandomBytes(131072 + 10, 3);
  WriteRaw(source, data);
  TFileHandler file(open);
  file.Open();
  file.CopyFrom(source);
  EXPECT_EQ(ReadAll(file), data);
}

TEST_F(CopyTest, CopyFromIntoAnEmptyFile) {
  std::string open = Path("open.dat"), source = Path("source.dat");
  WriteRaw(open, {});
  WriteRaw(source, RandomBytes(200000, 5));
  TFileHandler file(open);
  file.Open();
  file.CopyFrom(source);
  EXPECT_EQ(ReadRaw(open), ReadRaw(source));
  EXPECT_EQ(file.IoCounters().ReadCalls, 0u);  // list copies are not the handler's calls
}

TEST_F(CopyTest, CopyFromOpensTheSourceExclusively) {
  std::string open = Path("open.dat"), source = Path("source.dat");
  WriteRaw(open, Bytes("target"));
  WriteRaw(source, Bytes("source"));
  TFileHandler file(open), holder(source);
  file.Open();
  holder.Open();  // shared, in this process
  EXPECT_EQ(ErrorOf([&] { file.CopyFrom(source); }), VELDOR_OSEACCES);
  holder.Close();
  // Open in another process.
  TChildProcess child([&](TChannel& channel) {
    TFileHandler mine(source);
    mine.Open();
    channel.Send(1);
    return channel.Receive() == 1 ? 0 : 2;
  });
  ASSERT_EQ(child.Receive(), 1);
  EXPECT_EQ(ErrorOf([&] { file.CopyFrom(source); }), VELDOR_OSEACCES);
  child.Send(1);
  EXPECT_EQ(child.Join(), 0);
  EXPECT_EQ(ReadRaw(open), Bytes("target"));
  file.CopyFrom(source);
  EXPECT_EQ(ReadRaw(open), Bytes("source"));
  // From itself: refused, since the source cannot be opened exclusively.
  EXPECT_EQ(ErrorOf([&] { file.CopyFrom(open); }), VELDOR_OSEACCES);
  EXPECT_EQ(ErrorOf([&] { file.CopyFrom(Path("missing.dat")); }), VELDOR_OSENOENT);
}

TEST_F(CopyTest, CopyToRefusesATargetThatIsOpen) {
  std::string source = Path("source.dat"), target = Path("target.dat");
  WriteRaw(source, Bytes("source"));
  WriteRaw(target, Bytes("target"));
  TFileHandler file(source), holder(target);
  file.Open();
  holder.Open();
  EXPECT_EQ(MessageOf([&] { file.CopyTo(target); }),
            "VELDOR Engine Error # 11013 Access denied to table '" + source + "'");
  EXPECT_EQ(ErrorOf([&] { file.CopyTo(source); }), VELDOR_OSEACCES);  // onto itself
  holder.Close();
  EXPECT_EQ(ReadRaw(target), Bytes("target"));
  EXPECT_EQ(ErrorOf([&] { file.CopyTo(Path("no/dir/x.dat")); }), VELDOR_OSENOENT);
}

TEST_F(CopyTest, InMemoryCopies) {
  auto data = RandomBytes(150000, 11);
  TFileHandler file("CopyMemSource.dat", true);
  file.Create();
  file.Write(data.data(), data.size());
  file.CopyTo("CopyMemTarget.dat");
  EXPECT_FALSE(FileList().FileExists("CopyMemTarget.dat", false));  // same kind only
  TFileHandler target("copymemtarget.dat", true);
  target.Open();
  EXPECT_EQ(ReadAll(target), data);

  // CopyFrom keeps the tail of a longer in-memory file too.
  std::vector<uint8_t> longer(200000, 'L');
  target.Seek(kSeekFromStart, 0);
  target.Write(longer.data(), longer.size());
  TFileHandler small("CopyMemSmall.dat", true);
  small.Create();
  small.Write("ssss", 4);
  small.Close();
  target.CopyFrom("CopyMemSmall.dat");
  auto all = ReadAll(target);
  ASSERT_EQ(all.size(), 200000u);
  EXPECT_EQ(std::string(all.begin(), all.begin() + 6), "ssssLL");
  EXPECT_EQ(ErrorOf([&] { target.CopyFrom("CopyMemMissing.dat"); }), VELDOR_OSENOENT);
  EXPECT_EQ(ErrorOf([&] { file.CopyTo("copymemtarget.DAT"); }), VELDOR_OSEACCES);  // open
  file.Close();
  target.Close();
  for (const char* name : {"CopyMemSource.dat", "CopyMemTarget.dat", "CopyMemSmall.dat"}) {
    EXPECT_EQ(FileList().DeleteFile(name, true), 0);
  }
}

}  // namespace
}  // namespace veldor::test
