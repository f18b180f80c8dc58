// Helpers shared by the file-layer tests: a fresh temporary directory per test, capture of
// raised engine errors, raw POSIX access to check what reached the disk, and a forked child
// process that talks to the parent through two pipes (so that locks and sharing are tested
// between real processes). Children leave through _exit unless a test says otherwise.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/errors.h"
#include "lib/file_layer.h"
#include "lib/temp_dir.h"
#include "tests/support/child_process.h"

namespace veldor::test {

inline std::vector<uint8_t> Bytes(const std::string& text) {
  return std::vector<uint8_t>(text.begin(), text.end());
}

inline std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint8_t> out(count);
  for (auto& b : out) b = static_cast<uint8_t>(random());
  return out;
}

// Whole content of a file read with plain POSIX calls (not through the file layer).
inline std::vector<uint8_t> ReadRaw(const std::string& path) {
  std::vector<uint8_t> out;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  uint8_t block[8192];
  for (;;) {
    ssize_t n = read(fd, block, sizeof block);
    if (n <= 0) break;
    out.insert(out.end(), block, block + n);
  }
  close(fd);
  return out;
}

inline void WriteRaw(const std::string& path, const std::vector<uint8_t>& data,
                     mode_t mode = 0644) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  ASSERT_GE(fd, 0) << path;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    ASSERT_GT(n, 0);
    done += static_cast<size_t>(n);
  }
  close(fd);
  chmod(path.c_str(), mode);
}

inline bool PathExists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// Every entry name of a directory, sorted.
inline std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A test with its own fresh directory under /tmp, removed (permissions restored) after.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string made = MakeTempDirectory("veldor-files");
    ASSERT_FALSE(made.empty());
    char* real = realpath(made.c_str(), nullptr);  // canonical, as the file layer names files
    ASSERT_NE(real, nullptr);
    dir_ = real;
    free(real);
  }

  void TearDown() override {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_, ignored)) {
      chmod(entry.path().c_str(), 0755);
    }
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

// In a child: the code that opening `path` raises (0 when it opens; the handler is then
// closed again).
inline int32_t TryOpen(const std::string& path, bool exclusive) {
  TFileHandler file(path);
  file.SetExclusive(exclusive);
  return ErrorOf([&] { file.Open(); });
}

}  // namespace veldor::test
