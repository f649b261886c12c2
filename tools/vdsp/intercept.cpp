// The calls a program uses on the audio device's descriptor, interposed
// through LD_PRELOAD: open of a device path, and write, writev, read,
// ioctl, close, fcntl and dup on a descriptor that holds the device, go to
// the device (device.h); the positioned writes fail as on a device that
// cannot seek, and mmap as on one without a buffer to map; every other call goes on to the next definition (the
// C library, or a sanitizer runtime before it). Streams are in
// streams.cpp, stat and access in files.cpp, poll and select in ready.cpp.
//
// Fortified inline wrappers of open and read would clash with the
// definitions here.
#undef _FORTIFY_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include "device.h"
#include "sys.h"

namespace {

using OpenFn = int (*)(const char *, int, ...);
using Open2Fn = int (*)(const char *, int);
using OpenatFn = int (*)(int, const char *, int, ...);
using Openat2Fn = int (*)(int, const char *, int);
using WriteFn = ssize_t (*)(int, const void *, size_t);
using WritevFn = ssize_t (*)(int, const iovec *, int);
using PwriteFn = ssize_t (*)(int, const void *, size_t, off_t);
using PwritevFn = ssize_t (*)(int, const iovec *, int, off_t);
using Pwritev2Fn = ssize_t (*)(int, const iovec *, int, off_t, int);
using MmapFn = void *(*)(void *, size_t, int, int, int, off_t);
using ReadFn = ssize_t (*)(int, void *, size_t);
using ReadChkFn = ssize_t (*)(int, void *, size_t, size_t);
using IoctlFn = int (*)(int, unsigned long, ...);
using CloseFn = int (*)(int);
using FcntlFn = int (*)(int, int, ...);
using DupFn = int (*)(int);
using Dup2Fn = int (*)(int, int);
using Dup3Fn = int (*)(int, int, int);

}  // namespace

static bool NeedsMode(int flags) {
  return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

static int OpenAt(RealCall call, int dirfd, const char *path, int flags, mode_t mode) {
  if (DevicePath(dirfd, path)) return DeviceOpen(path, flags);
  void *fn = Real(call);
  if (!fn) return static_cast<int>(syscall(SYS_openat, dirfd, path, flags, mode));
  if (call == kOpen || call == kOpen64)
    return reinterpret_cast<OpenFn>(fn)(path, flags, mode);
  return reinterpret_cast<OpenatFn>(fn)(dirfd, path, flags, mode);
}

// The fortified entries keep their own checks (O_CREAT without a mode).
static int OpenChecked(RealCall call, int dirfd, const char *path, int flags) {
  if (DevicePath(dirfd, path)) return DeviceOpen(path, flags);
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

// The device plays a vector as the writes of its parts, one after the
// other, as far as they are taken whole.
VDSP_EXPORT ssize_t writev(int fd, const iovec *iov, int count) {
  if (!DeviceOwns(fd)) {
    if (void *fn = Real(kWritev)) return reinterpret_cast<WritevFn>(fn)(fd, iov, count);
    return static_cast<ssize_t>(syscall(SYS_writev, fd, iov, count));
  }
  if (count < 0 || count > IOV_MAX) {
    errno = EINVAL;
    return -1;
  }
  ssize_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (iov[i].iov_len == 0) continue;
    ssize_t done = DeviceWrite(fd, iov[i].iov_base, iov[i].iov_len);
    if (done < 0) return total > 0 ? total : -1;
    total += done;
    if (static_cast<size_t>(done) < iov[i].iov_len) break;
  }
  return total;
}

// A sound device has no position to write at.
static ssize_t Unseekable() {
  errno = ESPIPE;
  return -1;
}

VDSP_EXPORT ssize_t pwrite(int fd, const void *buf, size_t n, off_t offset) {
  if (DeviceOwns(fd)) return Unseekable();
  if (void *fn = Real(kPwrite)) return reinterpret_cast<PwriteFn>(fn)(fd, buf, n, offset);
  return SysPwrite(fd, buf, n, offset);
}

VDSP_EXPORT ssize_t pwrite64(int fd, const void *buf, size_t n, off_t offset) {
  if (DeviceOwns(fd)) return Unseekable();
  if (void *fn = Real(kPwrite64)) return reinterpret_cast<PwriteFn>(fn)(fd, buf, n, offset);
  return SysPwrite(fd, buf, n, offset);
}

VDSP_EXPORT ssize_t pwritev(int fd, const iovec *iov, int count, off_t offset) {
  if (DeviceOwns(fd)) return Unseekable();
  if (void *fn = Real(kPwritev)) return reinterpret_cast<PwritevFn>(fn)(fd, iov, count, offset);
  return static_cast<ssize_t>(syscall(SYS_pwritev, fd, iov, count, offset, 0));
}

VDSP_EXPORT ssize_t pwritev64(int fd, const iovec *iov, int count, off_t offset) {
  if (DeviceOwns(fd)) return Unseekable();
  if (void *fn = Real(kPwritev64)) return reinterpret_cast<PwritevFn>(fn)(fd, iov, count, offset);
  return static_cast<ssize_t>(syscall(SYS_pwritev, fd, iov, count, offset, 0));
}

// An offset of -1 writes at the current position: a plain writev.
VDSP_EXPORT ssize_t pwritev2(int fd, const iovec *iov, int count, off_t offset, int flags) {
  if (DeviceOwns(fd)) return offset == -1 ? writev(fd, iov, count) : Unseekable();
  if (void *fn = Real(kPwritev2))
    return reinterpret_cast<Pwritev2Fn>(fn)(fd, iov, count, offset, flags);
  return static_cast<ssize_t>(syscall(SYS_pwritev2, fd, iov, count, offset, 0, flags));
}

VDSP_EXPORT ssize_t pwritev64v2(int fd, const iovec *iov, int count, off_t offset, int flags) {
  if (DeviceOwns(fd)) return offset == -1 ? writev(fd, iov, count) : Unseekable();
  if (void *fn = Real(kPwritev64v2))
    return reinterpret_cast<Pwritev2Fn>(fn)(fd, iov, count, offset, flags);
  return static_cast<ssize_t>(syscall(SYS_pwritev2, fd, iov, count, offset, 0, flags));
}

// The device's buffer cannot be mapped, as with /dev/null.
static void *Mmap(RealCall call, void *addr, size_t n, int prot, int flags, int fd, off_t offset) {
  if (!(flags & MAP_ANONYMOUS) && DeviceOwns(fd)) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  if (void *fn = Real(call)) return reinterpret_cast<MmapFn>(fn)(addr, n, prot, flags, fd, offset);
  return reinterpret_cast<void *>(syscall(SYS_mmap, addr, n, prot, flags, fd, offset));
}

VDSP_EXPORT void *mmap(void *addr, size_t n, int prot, int flags, int fd, off_t offset) __THROW {
  return Mmap(kMmap, addr, n, prot, flags, fd, offset);
}

VDSP_EXPORT void *mmap64(void *addr, size_t n, int prot, int flags, int fd, off_t offset) __THROW {
  return Mmap(kMmap64, addr, n, prot, flags, fd, offset);
}

VDSP_EXPORT ssize_t read(int fd, void *buf, size_t n) {
  if (DeviceOwns(fd)) return DeviceRead(fd, n);
  if (void *fn = Real(kRead)) return reinterpret_cast<ReadFn>(fn)(fd, buf, n);
  return static_cast<ssize_t>(syscall(SYS_read, fd, buf, n));
}

VDSP_EXPORT ssize_t __read_chk(int fd, void *buf, size_t n, size_t buflen) {
  if (DeviceOwns(fd) && n <= buflen) return DeviceRead(fd, n);
  if (void *fn = Real(kReadChk)) return reinterpret_cast<ReadChkFn>(fn)(fd, buf, n, buflen);
  return static_cast<ssize_t>(syscall(SYS_read, fd, buf, n));
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

// A copy of the device's descriptor holds the device too.
static int Duplicated(int fd, int newfd) {
  return newfd >= 0 && newfd != fd && DeviceOwns(fd) ? DeviceDuplicated(fd, newfd) : newfd;
}

// The open flags are the device's (O_NONBLOCK decides whether a write
// waits); copies are tracked; the rest acts on the descriptor underneath.
static int Fcntl(RealCall call, int fd, int cmd, void *arg) {
  int value = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  if ((cmd == F_GETFL || cmd == F_SETFL) && DeviceOwns(fd)) return DeviceFlags(fd, cmd, value);
  void *fn = Real(call);
  int ret = fn ? reinterpret_cast<FcntlFn>(fn)(fd, cmd, arg)
               : static_cast<int>(syscall(SYS_fcntl, fd, cmd, arg));
  return cmd == F_DUPFD || cmd == F_DUPFD_CLOEXEC ? Duplicated(fd, ret) : ret;
}

VDSP_EXPORT int fcntl(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return Fcntl(kFcntl, fd, cmd, arg);
}

VDSP_EXPORT int fcntl64(int fd, int cmd, ...) {
  va_list ap;
  va_start(ap, cmd);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return Fcntl(kFcntl64, fd, cmd, arg);
}

VDSP_EXPORT int dup(int fd) __THROW {
  void *fn = Real(kDup);
  int ret = fn ? reinterpret_cast<DupFn>(fn)(fd) : static_cast<int>(syscall(SYS_dup, fd));
  return Duplicated(fd, ret);
}

// A device descriptor that dup2 or dup3 replaces stops holding the device.
VDSP_EXPORT int dup2(int fd, int newfd) __THROW {
  if (newfd != fd && DeviceOwns(newfd)) DeviceForget(newfd);
  void *fn = Real(kDup2);
  int ret = fn ? reinterpret_cast<Dup2Fn>(fn)(fd, newfd)
               : static_cast<int>(syscall(SYS_dup2, fd, newfd));
  return Duplicated(fd, ret);
}

VDSP_EXPORT int dup3(int fd, int newfd, int flags) __THROW {
  if (newfd != fd && DeviceOwns(newfd)) DeviceForget(newfd);
  void *fn = Real(kDup3);
  int ret = fn ? reinterpret_cast<Dup3Fn>(fn)(fd, newfd, flags)
               : static_cast<int>(syscall(SYS_dup3, fd, newfd, flags));
  return Duplicated(fd, ret);
}

__attribute__((constructor)) static void VdspLoad() {
  DeviceConfigure();
  ReadySetup();
}

// Runs after the program's atexit handlers, not after _exit.
__attribute__((destructor)) static void VdspUnload() { DeviceAtExit(); }
