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

namespace veldor::test {

// The code of the engine error `body` raises, 0 when it raises nothing.
inline uint16_t ErrorOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const EVELDOREngineError& e) {
    return e.ErrorCode;
  }
  return 0;
}

// The message of the engine error `body` raises, "" when it raises nothing.
inline std::string MessageOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const EVELDOREngineError& e) {
    return e.Message;
  }
  return "";
}

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
    char pattern[] = "/tmp/veldor-files-XXXXXX";
    char* made = mkdtemp(pattern);
    ASSERT_NE(made, nullptr);
    char* real = realpath(made, nullptr);  // canonical, as the file layer names files
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

// The child's end of the pipes.
class TChannel {
 public:
  TChannel(int readFd, int writeFd) : readFd_(readFd), writeFd_(writeFd) {}

  void Send(int32_t value) const {
    ssize_t n = write(writeFd_, &value, sizeof value);
    (void)n;
  }

  // Waits for one value; -1000000 when the other side is gone or 20 s pass.
  int32_t Receive() const {
    pollfd p{readFd_, POLLIN, 0};
    if (poll(&p, 1, 20000) != 1) return -1000000;
    int32_t value = 0;
    return read(readFd_, &value, sizeof value) == sizeof value ? value : -1000000;
  }

 private:
  int readFd_;
  int writeFd_;
};

// A forked child running `body`; the child's exit status is body's result (an escaping
// exception gives 99). Join waits for it; the destructor kills a child still running.
class TChildProcess {
 public:
  // `exitNormally`: leave through exit() (running atexit handlers) instead of _exit().
  explicit TChildProcess(const std::function<int(TChannel&)>& body, bool exitNormally = false) {
    int toChild[2], toParent[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(toParent, O_CLOEXEC) != 0) std::abort();
    fflush(nullptr);  // a child leaving through exit() must not repeat buffered output
    pid_ = fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) {
      close(toChild[1]);
      close(toParent[0]);
      TChannel channel(toChild[0], toParent[1]);
      int status = 99;
      try {
        status = body(channel);
      } catch (...) {
        status = 99;
      }
      if (exitNormally) exit(status);
      _exit(status);
    }
    close(toChild[0]);
    close(toParent[1]);
    channel_ = std::make_unique<TChannel>(toParent[0], toChild[1]);
    readFd_ = toParent[0];
    writeFd_ = toChild[1];
  }

  ~TChildProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(readFd_);
    close(writeFd_);
  }

  TChildProcess(const TChildProcess&) = delete;
  TChildProcess& operator=(const TChildProcess&) = delete;

  void Send(int32_t value) { channel_->Send(value); }
  int32_t Receive() { return channel_->Receive(); }

  // The exit status, or -1 when the child did not exit normally within 20 s.
  int Join() {
    for (int i = 0; i < 2000; ++i) {
      int status = 0;
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(10000);
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int readFd_ = -1;
  int writeFd_ = -1;
  std::unique_ptr<TChannel> channel_;
};

// Runs `body` in a child and returns its exit status.
inline int RunInChild(const std::function<int()>& body) {
  TChildProcess child([&](TChannel&) { return body(); });
  return child.Join();
}

// In a child: the code that opening `path` raises (0 when it opens; the handler is then
// closed again).
inline int32_t TryOpen(const std::string& path, bool exclusive) {
  TFileHandler file(path);
  file.SetExclusive(exclusive);
  return ErrorOf([&] { file.Open(); });
}

}  // namespace veldor::test
