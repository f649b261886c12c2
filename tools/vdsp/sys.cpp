// The kernel's calls the library makes for itself, the clock, and the
// lookup of the definitions the interposed calls pass on to.
#include "sys.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

namespace {

constexpr int kFirstHighFd = 100;
// The kernel's signal set, smaller than the C library's sigset_t: a bit
// for each of the signals 1 to _NSIG - 1.
constexpr size_t kKernelSigsetBytes = (_NSIG - 1) / 8;

// The names of the next definitions, in the order of RealCall.
constexpr const char *kRealNames[kRealCount] = {
    "open",     "open64",     "__open_2",  "__open64_2", "openat",    "openat64",
    "__openat_2", "__openat64_2", "write", "writev", "pwrite", "pwrite64", "pwritev",
    "pwritev64", "pwritev2", "pwritev64v2", "fopen", "fopen64", "freopen", "freopen64", "fdopen",
    "fileno", "fileno_unlocked", "mmap", "mmap64", "read",       "__read_chk", "ioctl",
    "close",    "fcntl",      "fcntl64",   "dup",        "dup2",      "dup3",
    "stat",     "stat64",     "lstat",     "lstat64",    "fstat",     "fstat64",
    "fstatat",  "fstatat64",  "statx",     "access",     "faccessat", "euidaccess",
    "poll",     "ppoll",      "__poll_chk", "__ppoll_chk", "select",  "pselect"};

}  // namespace

// The next definition of each call; null until first used.
static std::atomic<void *> g_pReal[kRealCount];
// Set while dlsym runs: a call it makes itself goes straight to the kernel.
static volatile sig_atomic_t g_bResolving;

int SysOpen(const char *path, int flags, mode_t mode) {
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

ssize_t SysWrite(int fd, const void *buf, size_t n) {
  return static_cast<ssize_t>(syscall(SYS_write, fd, buf, n));
}

bool SysWriteAll(int fd, const void *buf, size_t n) {
  const char *p = static_cast<const char *>(buf);
  while (n > 0) {
    ssize_t done = SysWrite(fd, p, n);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    p += done;
    n -= static_cast<size_t>(done);
  }
  return true;
}

ssize_t SysPwrite(int fd, const void *buf, size_t n, off_t offset) {
  return static_cast<ssize_t>(syscall(SYS_pwrite64, fd, buf, n, offset));
}

int SysClose(int fd) { return static_cast<int>(syscall(SYS_close, fd)); }

int SysPpoll(pollfd *fds, nfds_t n, timespec *timeout, const sigset_t *mask) {
  return static_cast<int>(syscall(SYS_ppoll, fds, n, timeout, mask, kKernelSigsetBytes));
}

int SysPselect(int n, fd_set *in, fd_set *out, fd_set *except, timespec *timeout,
               const sigset_t *mask) {
  // The kernel takes the mask and its size as one argument.
  struct {
    const sigset_t *mask;
    size_t bytes;
  } sigmask{mask, kKernelSigsetBytes};
  return static_cast<int>(syscall(SYS_pselect6, n, in, out, except, timeout, &sigmask));
}

int SysMoveHigh(int fd) {
  int high = static_cast<int>(syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, kFirstHighFd));
  if (high < 0) return fd;
  SysClose(fd);
  return high;
}

bool EnvSwitch(const char *name) {
  const char *value = getenv(name);
  return value && *value && strcmp(value, "0") != 0;
}

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

void *Real(RealCall call) {
  void *fn = g_pReal[call].load(std::memory_order_acquire);
  if (fn || g_bResolving) return fn;
  g_bResolving = 1;
  fn = dlsym(RTLD_NEXT, kRealNames[call]);
  g_bResolving = 0;
  g_pReal[call].store(fn, std::memory_order_release);
  return fn;
}
