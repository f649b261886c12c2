// The calls a program uses to reach the audio device, interposed through
// LD_PRELOAD. An open of a device path, and write, ioctl and close on the
// descriptor it returned, go to the emulation (poll and select, in
// ready.cpp, too); every other call goes on to the next definition (the C
// library, or a sanitizer runtime before it).
//
// Fortified inline wrappers of open would clash with the definitions here.
#undef _FORTIFY_SOURCE
#include "vdsp.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace {

constexpr int kMaxDevices = 8;
constexpr int kFirstHighFd = 100;
constexpr const char *kDefaultDevice = "/dev/dsp";
// The kernel's signal set, smaller than the C library's sigset_t: a bit
// for each of the signals 1 to _NSIG - 1.
constexpr size_t kKernelSigsetBytes = (_NSIG - 1) / 8;

// The names of the next definitions, in the order of RealCall.
constexpr const char *kRealNames[kRealCount] = {
    "open",   "open64",   "__open_2",   "__open64_2", "openat", "openat64",
    "__openat_2", "__openat64_2", "write", "ioctl",   "close",  "poll",
    "ppoll",  "__poll_chk", "__ppoll_chk", "select", "pselect"};

using OpenFn = int (*)(const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using OpenatFn = int (*)(int, const char *, int, ...);
using Openat2Fn = int (*)(int, const char *, int);
using WriteFn = ssize_t (*)(int, const void *, size_t);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);

}  // namespace

// The next definition of each call; null until first used.
static std::atomic<void *> g_pReal[kRealCount];
// Set while dlsym runs: a call it makes itself goes straight to the kernel.
static volatile sig_atomic_t g_bResolving;
// The device paths, from VDSP_DEVICES; written once at load.
static char g_cDevices[kMaxDevices][kPathBytes];
static int g_nDevices;
// 1 once the settings have been read.
static volatile sig_atomic_t g_bConfigured;

int SysOpen(const char *path, int flags, mode_t mode) {
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

ssize_t SysWrite(int fd, const void *buf, size_t n) {
  return static_cast<ssize_t>(syscall(SYS_write, fd, buf, n));
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

void *Real(RealCall call) {
  void *fn = g_pReal[call].load(std::memory_order_acquire);
  if (fn || g_bResolving) return fn;
  g_bResolving = 1;
  fn = dlsym(RTLD_NEXT, kRealNames[call]);
  g_bResolving = 0;
  g_pReal[call].store(fn, std::memory_order_release);
  return fn;
}

static size_t ParseSize(const char *text, size_t fallback) {
  if (!text || !*text) return fallback;
  size_t value = 0;
  for (const char *p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return fallback;
    value = value * 10 + static_cast<size_t>(*p - '0');
    if (value > kMaxQueueBytes) return fallback;
  }
  return value > 0 ? value : fallback;
}

// A switch in the environment: on unless unset, empty or 0.
static bool IsSet(const char *name) {
  const char *value = getenv(name);
  return value && *value && strcmp(value, "0") != 0;
}

// Reads the settings the wrapper left in the environment. Runs at load,
// or at the first open if another library's constructor opens files first.
static void Configure() {
  if (g_bConfigured) return;
  g_bConfigured = 1;
  const char *devices = getenv(VDSP_ENV_DEVICES);
  if (!devices || !*devices) devices = kDefaultDevice;
  for (const char *p = devices; *p && g_nDevices < kMaxDevices;) {
    size_t len = strcspn(p, ":");
    if (len > 0 && len < kPathBytes) {
      memcpy(g_cDevices[g_nDevices], p, len);
      g_cDevices[g_nDevices][len] = '\0';
      ++g_nDevices;
    }
    p += len;
    if (*p == ':') ++p;
  }
  DeviceSetup(ParseSize(getenv(VDSP_ENV_QUEUE), kDefaultQueueBytes), IsSet(VDSP_ENV_FAST),
              IsSet(VDSP_ENV_NO_SPACE));
  ReadySetup(IsSet(VDSP_ENV_NO_POLL));
  RecordSetup(getenv(VDSP_ENV_TRACE), getenv(VDSP_ENV_OUTPUT));
}

// Paths are matched exactly as the program wrote them; a path relative to
// a directory descriptor never names the device.
static bool IsDevice(int dirfd, const char *path) {
  if (!path) return false;
  Configure();
  if (path[0] != '/' && dirfd != AT_FDCWD) return false;
  for (int i = 0; i < g_nDevices; ++i)
    if (strcmp(path, g_cDevices[i]) == 0) return true;
  return false;
}

static bool NeedsMode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

static int OpenAt(RealCall call, int dirfd, const char *path, int flags, mode_t mode) {
  if (IsDevice(dirfd, path)) return DeviceOpen(path, flags);
  void *fn = Real(call);
  if (!fn) return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
  if (call == kOpen || call == kOpen64)
    return reinterpret_cast<OpenFn>(fn)(path, flags, mode);
  return reinterpret_cast<OpenatFn>(fn)(dirfd, path, flags, mode);
}

// The fortified entries keep their own checks (O_CREAT without a mode).
static int OpenChecked(RealCall call, int dirfd, const char *path, int flags) {
  if (IsDevice(dirfd, path)) return DeviceOpen(path, flags);
  void *fn = Real(call);
  if (!fn) return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, 0));
  if (call == kOpen2 || call == kOpen64_2)
    return reinterpret_cast<Open2Fn>(fn)(path, flags);
  return reinterpret_cast<Openat2Fn>(fn)(dirfd, path, flags);
}

#define VDSP_MODE_ARG(flags, last)                                  \
  mode_t mode = 0;                                                  \
  if (NeedsMode(flags)) {                                           \
    va_list ap;                                                     \
    va_start(ap, last);                                             \
    mode = va_arg(ap, mode_t);                                      \
    va_end(ap);                                                     \
  }

VDSP_EXPORT int open(const char *path, int flags, ...) {
  VDSP_MODE_ARG(flags, flags);
  return OpenAt(kOpen, AT_FDCWD, path, flags, mode);
}

VDSP_EXPORT int open64(const char *path, int flags, ...) {
  VDSP_MODE_ARG(flags, flags);
  return OpenAt(kOpen64, AT_FDCWD, path, flags, mode);
}

VDSP_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
  VDSP_MODE_ARG(flags, flags);
  return OpenAt(kOpenat, dirfd, path, flags, mode);
}

VDSP_EXPORT int openat64(int dirfd, const char *path, int flags, ...) {
  VDSP_MODE_ARG(flags, flags);
  return OpenAt(kOpenat64, dirfd, path, flags, mode);
}

VDSP_EXPORT int __open_2(const char *path, int flags) {
  return OpenChecked(kOpen2, AT_FDCWD, path, flags);
}

VDSP_EXPORT int __open64_2(const char *path, int flags) {
  return OpenChecked(kOpen64_2, AT_FDCWD, path, flags);
}

VDSP_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
  return OpenChecked(kOpenat2, dirfd, path, flags);
}

VDSP_EXPORT int __openat64_2(int dirfd, const char *path, int flags) {
  return OpenChecked(kOpenat64_2, dirfd, path, flags);
}

VDSP_EXPORT ssize_t write(int fd, const void *buf, size_t n) {
  if (DeviceOwns(fd)) return DeviceWrite(fd, buf, n);
  if (void *fn = Real(kWrite)) return reinterpret_cast<WriteFn>(fn)(fd, buf, n);
  return SysWrite(fd, buf, n);
}

// The kernel takes the request as 32 bits, so a sign-extended int request
// names the same one.
VDSP_EXPORT int ioctl(int fd, unsigned long request, ...) __THROW {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  if (DeviceOwns(fd)) return DeviceIoctl(fd, static_cast<unsigned int>(request), arg);
  if (void *fn = Real(kIoctl)) return reinterpret_cast<IoctlFn>(fn)(fd, request, arg);
  return static_cast<int>(syscall(SYS_ioctl, fd, request, arg));
}

VDSP_EXPORT int close(int fd) {
  if (DeviceOwns(fd)) return DeviceClose(fd);
  if (void *fn = Real(kClose)) return reinterpret_cast<CloseFn>(fn)(fd);
  return SysClose(fd);
}

__attribute__((constructor)) static void VdspLoad() { Configure(); }

// Runs after the program's atexit handlers, not after _exit.
__attribute__((destructor)) static void VdspUnload() { DeviceAtExit(); }
