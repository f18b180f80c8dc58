#include "lib/file_mapping.h"

#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

namespace veldor {
namespace {

std::atomic<bool> g_mappingAllowed{true};

// Bus errors of guarded copies. A copy sets its thread's jump buffer for its duration; a
// bus error on that thread jumps back and the copy reports a refusal. Any other bus error
// goes to whatever handled the signal before us, or ends the process as it would have.
// Volatile: the copies between setting and clearing it are plain memory moves the compiler
// could otherwise see through, dropping the store as dead.
thread_local sigjmp_buf* volatile t_copyGuard = nullptr;
struct sigaction g_previousBusAction;

void OnBusError(int signal, siginfo_t* info, void* context) {
  if (sigjmp_buf* guard = t_copyGuard) {
    t_copyGuard = nullptr;
    siglongjmp(*guard, 1);
  }
  if (g_previousBusAction.sa_flags & SA_SIGINFO) {
    g_previousBusAction.sa_sigaction(signal, info, context);
    return;
  }
  if (g_previousBusAction.sa_handler != SIG_DFL && g_previousBusAction.sa_handler != SIG_IGN) {
    g_previousBusAction.sa_handler(signal);
    return;
  }
  struct sigaction fallback;
  std::memset(&fallback, 0, sizeof fallback);
  fallback.sa_handler = SIG_DFL;
  sigaction(SIGBUS, &fallback, nullptr);
  raise(SIGBUS);
}

void InstallBusHandler() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_sigaction = OnBusError;
    // Not deferred: the jump leaves the handler without restoring a signal mask, so the
    // signal must not stay blocked afterwards.
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &g_previousBusAction);
  });
}

// Lines of a slot fetched ahead; a slot longer than this is left to the hardware.
constexpr size_t kPrefetchLines = 4;
constexpr uint64_t kMapAfterSlots = 64;
constexpr size_t kPrefetchDistance = 32;

void Prefetch(const uint8_t* at, size_t slotSize) {
  const size_t lines = std::min(kPrefetchLines, (slotSize + 63) / 64);
  for (size_t l = 0; l < lines; ++l) __builtin_prefetch(at + l * 64);
}

// The copy itself, apart so that nothing it keeps in registers is needed after a jump.
bool GuardedCopy(const uint8_t* base, const int64_t* offsets, size_t count, size_t slotSize,
                 uint8_t* out) {
  sigjmp_buf guard;
  if (sigsetjmp(guard, 0) != 0) return false;
  t_copyGuard = &guard;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  for (size_t i = 0; i < count && i < kPrefetchDistance; ++i) Prefetch(base + offsets[i], slotSize);
  for (size_t i = 0; i < count; ++i) {
    if (i + kPrefetchDistance < count) Prefetch(base + offsets[i + kPrefetchDistance], slotSize);
    std::memcpy(out + i * slotSize, base + offsets[i], slotSize);
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  t_copyGuard = nullptr;
  return true;
}

}  // namespace

void SetFileMappingAllowed(bool allowed) { g_mappingAllowed.store(allowed); }
bool FileMappingAllowed() { return g_mappingAllowed.load(); }

bool TFileMapping::CopySlots(int fd, const int64_t* offsets, size_t count, size_t slotSize,
                             uint8_t* out) {
  if (fd < 0 || refused_ || !FileMappingAllowed()) return false;
  if (count == 0) return true;
  int64_t lowest = offsets[0], highest = offsets[0];
  for (size_t i = 1; i < count; ++i) {
    lowest = std::min(lowest, offsets[i]);
    highest = std::max(highest, offsets[i]);
  }
  if (lowest < 0 || slotSize > kMappingReserve || uint64_t(highest) > kMappingReserve - slotSize)
    return false;
  // A mapping pays a fault for each stretch of pages it first touches (the system maps 16
  // pages around it) and their teardown at close, about three reads' worth: a copy scattered
  // over the file pays off once the file has been read a few times over in such stretches.
  // Until the copies asked for add up to an eighth of the file's pages (as last seen), the
  // caller reads, so that an open, a few look-ups or a sparse count read as before.
  if (base_ == nullptr) {
    requested_ += count;
    if (requested_ < std::max<uint64_t>(kMapAfterSlots, uint64_t(end_) / (4096 * 8))) return false;
  }
  const int64_t end = highest + int64_t(slotSize);
  if (end > end_) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    end_ = int64_t(std::min<uint64_t>(uint64_t(st.st_size), kMappingReserve));
    if (end > end_) return false;
  }
  if (base_ == nullptr) {
    if (requested_ < uint64_t(end_) / (4096 * 8)) return false;
    InstallBusHandler();
    void* at = mmap(nullptr, kMappingReserve, PROT_READ, MAP_SHARED, fd, 0);
    if (at == MAP_FAILED) {
      refused_ = true;
      return false;
    }
    base_ = static_cast<const uint8_t*>(at);
  }
  if (GuardedCopy(base_, offsets, count, slotSize, out)) return true;
  // The file is shorter than it was: ask the system again next time.
  end_ = 0;
  return false;
}

void TFileMapping::Truncated(int64_t size) { end_ = std::min(end_, std::max<int64_t>(size, 0)); }

void TFileMapping::Release() {
  if (base_ != nullptr) munmap(const_cast<uint8_t*>(base_), kMappingReserve);
  base_ = nullptr;
  end_ = 0;
  requested_ = 0;
}

}  // namespace veldor
