// Copies through a disk file's read-only mapping: what they copy, when they refuse (so that
// the caller reads instead), and a file cut short behind the engine's back, which must be
// a refusal and never a bus error.
#include "tests/files/file_test_support.h"

namespace veldor::test {
namespace {

class FileMappingTest : public TempDirTest {};

constexpr size_t kSlot = 100;

// Offsets of `count` slots spread over the first `bytes` of a file, in no order.
std::vector<int64_t> Scattered(size_t count, size_t bytes) {
  std::vector<int64_t> offsets;
  for (size_t i = 0; i < count; ++i) offsets.push_back(int64_t((i * 7919 % (bytes / kSlot)) * kSlot));
  return offsets;
}

bool SameSlots(const std::vector<uint8_t>& file, const std::vector<int64_t>& offsets,
               const std::vector<uint8_t>& out) {
  for (size_t i = 0; i < offsets.size(); ++i)
    if (!std::equal(out.begin() + ptrdiff_t(i * kSlot), out.begin() + ptrdiff_t((i + 1) * kSlot),
                    file.begin() + offsets[i]))
      return false;
  return true;
}

TEST_F(FileMappingTest, CopiesWhatTheFileHoldsAndRefusesWhatItDoesNot) {
  const std::string path = Path("t.dat");
  const std::vector<uint8_t> data = RandomBytes(200000, 3);
  WriteRaw(path, data);
  TFileHandler file(path);
  file.Open();
  const std::vector<int64_t> offsets = Scattered(64, data.size());
  std::vector<uint8_t> out(offsets.size() * kSlot);
  ASSERT_TRUE(file.CopyMappedSlots(offsets.data(), offsets.size(), kSlot, out.data()));
  EXPECT_TRUE(SameSlots(data, offsets, out));

  // This process's own writes are seen, the file grown by them too.
  const std::vector<uint8_t> more = RandomBytes(50000, 4);
  file.Seek(kSeekFromStart, 180000);
  file.Write(more.data(), more.size());
  std::vector<uint8_t> grown(data.begin(), data.begin() + 180000);
  grown.insert(grown.end(), more.begin(), more.end());
  const std::vector<int64_t> late = {229900, 180000, 5, 199950};
  std::vector<uint8_t> lateOut(late.size() * kSlot);
  ASSERT_TRUE(file.CopyMappedSlots(late.data(), late.size(), kSlot, lateOut.data()));
  EXPECT_TRUE(SameSlots(grown, late, lateOut));

  // Past the end, a negative offset, mapping switched off: refused, for the caller to read.
  const int64_t past = 229950, negative = -1;
  EXPECT_FALSE(file.CopyMappedSlots(&past, 1, kSlot, out.data()));
  EXPECT_FALSE(file.CopyMappedSlots(&negative, 1, kSlot, out.data()));
  SetFileMappingAllowed(false);
  EXPECT_FALSE(file.CopyMappedSlots(late.data(), late.size(), kSlot, lateOut.data()));
  SetFileMappingAllowed(true);

  // Cut short by this process: nothing past the new end is copied.
  file.Seek(kSeekFromStart, 1000);
  file.Write(nullptr, 0);
  const int64_t cut = 1000;
  EXPECT_FALSE(file.CopyMappedSlots(&cut, 1, kSlot, out.data()));
  file.Close();

  // In-memory files have no mapping.
  TFileHandler memory("m", true);
  memory.Create();
  memory.Write(data.data(), 4096);
  const int64_t zero = 0;
  EXPECT_FALSE(memory.CopyMappedSlots(&zero, 1, kSlot, out.data()));
  memory.Close();
  memory.Delete();
}

TEST_F(FileMappingTest, AFileCutShortBehindItsBackIsRefusedNotACrash) {
  const std::string path = Path("t.dat");
  const std::vector<uint8_t> data = RandomBytes(400000, 5);
  WriteRaw(path, data);
  TFileHandler file(path);
  file.Open();
  const std::vector<int64_t> offsets = Scattered(64, data.size());
  std::vector<uint8_t> out(offsets.size() * kSlot);
  ASSERT_TRUE(file.CopyMappedSlots(offsets.data(), offsets.size(), kSlot, out.data()));

  // Another program truncates the file: the mapping still believes the old size.
  ASSERT_EQ(truncate(path.c_str(), 4096), 0);
  const std::vector<int64_t> beyond = {300000, 100, 399000};
  std::vector<uint8_t> beyondOut(beyond.size() * kSlot);
  EXPECT_FALSE(file.CopyMappedSlots(beyond.data(), beyond.size(), kSlot, beyondOut.data()));
  // What is still there copies; the caller's reads see the short file as before.
  const int64_t first = 0;
  ASSERT_TRUE(file.CopyMappedSlots(&first, 1, kSlot, out.data()));
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + kSlot, data.begin()));
  file.Seek(kSeekFromStart, 300000);
  EXPECT_EQ(file.Read(out.data(), kSlot, true), 0u);

  // Grown again by the other program: the copy follows.
  WriteRaw(path, data);
  ASSERT_TRUE(file.CopyMappedSlots(beyond.data(), beyond.size(), kSlot, beyondOut.data()));
  EXPECT_TRUE(SameSlots(data, beyond, beyondOut));
  file.Close();
}

}  // namespace
}  // namespace veldor::test
