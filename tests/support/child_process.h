// What many test suites share: capturing the engine error a body raises, and a forked
// child process that talks to the parent through two pipes, so that locks and sharing are
// tested between real processes. Children leave through _exit unless a test says otherwise.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "engine/errors.h"

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

}  // namespace veldor::test
