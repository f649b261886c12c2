// The device as the file system shows it, interposed through LD_PRELOAD:
// stat, lstat, fstat, fstatat, statx and access on a device path (or on a
// descriptor that holds the device) find a character device, the OSS
// /dev/dsp's numbers, whether or not the path exists. Every other call
// goes on to the next definition.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "device.h"
#include "sys.h"

namespace {

// /dev/dsp's numbers on a Linux system with OSS.
constexpr unsigned kDspMajor = 14;
constexpr unsigned kDspMinor = 3;
// The device's mode: a character device anyone may read and write.
constexpr mode_t kDspMode = S_IFCHR | 0666;
// What stands in for the device's other fields: times, owner, inode.
constexpr const char *kStandIn = "/dev/null";

using StatFn = int (*)(const char *, struct stat *);
using FstatFn = int (*)(int, struct stat *);
using FstatatFn = int (*)(int, const char *, struct stat *, int);
using StatxFn = int (*)(int, const char *, int, unsigned, struct statx *);
using AccessFn = int (*)(const char *, int);
using FaccessatFn = int (*)(int, const char *, int, int);

}  // namespace

// fstatat and statx name the descriptor itself with an empty path.
static bool Named(int dirfd, const char *path, int flags) {
  if (path && !*path && (flags & AT_EMPTY_PATH)) return DeviceOwns(dirfd);
  return DevicePath(dirfd, path);
}

static int DeviceStat(struct stat *buf) {
  int ret = static_cast<int>(syscall(SYS_newfstatat, AT_FDCWD, kStandIn, buf, 0));
  if (ret < 0) return ret;
  buf->st_mode = kDspMode;
  buf->st_rdev = makedev(kDspMajor, kDspMinor);
  return 0;
}

static int Stat(RealCall call, const char *path, struct stat *buf) {
  if (DevicePath(AT_FDCWD, path)) return DeviceStat(buf);
  if (void *fn = Real(call)) return reinterpret_cast<StatFn>(fn)(path, buf);
  int flags = call == kLstat || call == kLstat64 ? AT_SYMLINK_NOFOLLOW : 0;
  return static_cast<int>(syscall(SYS_newfstatat, AT_FDCWD, path, buf, flags));
}

static int Fstat(RealCall call, int fd, struct stat *buf) {
  if (DeviceOwns(fd)) return DeviceStat(buf);
  if (void *fn = Real(call)) return reinterpret_cast<FstatFn>(fn)(fd, buf);
  return static_cast<int>(syscall(SYS_fstat, fd, buf));
}

static int Fstatat(RealCall call, int dirfd, const char *path, struct stat *buf, int flags) {
  if (Named(dirfd, path, flags)) return DeviceStat(buf);
  if (void *fn = Real(call)) return reinterpret_cast<FstatatFn>(fn)(dirfd, path, buf, flags);
  return static_cast<int>(syscall(SYS_newfstatat, dirfd, path, buf, flags));
}

VDSP_EXPORT int stat(const char *path, struct stat *buf) __THROW { return Stat(kStat, path, buf); }

VDSP_EXPORT int stat64(const char *path, struct stat64 *buf) __THROW {
  return Stat(kStat64, path, reinterpret_cast<struct stat *>(buf));
}

VDSP_EXPORT int lstat(const char *path, struct stat *buf) __THROW {
  return Stat(kLstat, path, buf);
}

VDSP_EXPORT int lstat64(const char *path, struct stat64 *buf) __THROW {
  return Stat(kLstat64, path, reinterpret_cast<struct stat *>(buf));
}

VDSP_EXPORT int fstat(int fd, struct stat *buf) __THROW { return Fstat(kFstat, fd, buf); }

VDSP_EXPORT int fstat64(int fd, struct stat64 *buf) __THROW {
  return Fstat(kFstat64, fd, reinterpret_cast<struct stat *>(buf));
}

VDSP_EXPORT int fstatat(int dirfd, const char *path, struct stat *buf, int flags) __THROW {
  return Fstatat(kFstatat, dirfd, path, buf, flags);
}

VDSP_EXPORT int fstatat64(int dirfd, const char *path, struct stat64 *buf, int flags) __THROW {
  return Fstatat(kFstatat64, dirfd, path, reinterpret_cast<struct stat *>(buf), flags);
}

VDSP_EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask,
                      struct statx *buf) __THROW {
  if (Named(dirfd, path, flags)) {
    int ret = static_cast<int>(syscall(SYS_statx, AT_FDCWD, kStandIn, 0, mask, buf));
    if (ret < 0) return ret;
    buf->stx_mode = kDspMode;
    buf->stx_rdev_major = kDspMajor;
    buf->stx_rdev_minor = kDspMinor;
    return 0;
  }
  if (void *fn = Real(kStatx)) return reinterpret_cast<StatxFn>(fn)(dirfd, path, flags, mask, buf);
  return static_cast<int>(syscall(SYS_statx, dirfd, path, flags, mask, buf));
}

// Anyone may read and write the device; nobody runs it.
static int DeviceAccess(int mode) {
  if (mode & X_OK) {
    errno = EACCES;
    return -1;
  }
  return 0;
}

VDSP_EXPORT int access(const char *path, int mode) __THROW {
  if (DevicePath(AT_FDCWD, path)) return DeviceAccess(mode);
  if (void *fn = Real(kAccess)) return reinterpret_cast<AccessFn>(fn)(path, mode);
  return static_cast<int>(syscall(SYS_faccessat, AT_FDCWD, path, mode));
}

VDSP_EXPORT int euidaccess(const char *path, int mode) __THROW {
  if (DevicePath(AT_FDCWD, path)) return DeviceAccess(mode);
  if (void *fn = Real(kEuidaccess)) return reinterpret_cast<AccessFn>(fn)(path, mode);
  return static_cast<int>(syscall(SYS_faccessat, AT_FDCWD, path, mode));
}

VDSP_EXPORT int eaccess(const char *path, int mode) __THROW { return euidaccess(path, mode); }

VDSP_EXPORT int faccessat(int dirfd, const char *path, int mode, int flags) __THROW {
  if (DevicePath(dirfd, path)) return DeviceAccess(mode);
  if (void *fn = Real(kFaccessat))
    return reinterpret_cast<FaccessatFn>(fn)(dirfd, path, mode, flags);
  return static_cast<int>(syscall(SYS_faccessat, dirfd, path, mode));
}
