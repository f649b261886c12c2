// Streams on the device, interposed through LD_PRELOAD: fopen and freopen
// of a device path open the device, and fdopen of its descriptor makes a
// stream whose writes reach it. The C library's own streams write with
// calls of its own that no library can interpose, so a stream on the
// device is one of fopencookie's, whose writes are the device's; fileno
// finds its descriptor. Every other call goes on to the next definition.
// Unlike the device calls, these allocate (as fopen does) and are not for
// signal handlers.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "device.h"
#include "sys.h"

namespace {

// Streams on the device open at once.
constexpr int kMaxStreams = 16;

using FopenFn = FILE *(*)(const char *, const char *);
using FreopenFn = FILE *(*)(const char *, const char *, FILE *);
using FdopenFn = FILE *(*)(int, const char *);
using FilenoFn = int (*)(FILE *);

struct Stream {
  std::atomic<FILE *> file;  // null in a free slot
  int fd;                    // the device's descriptor under it
};

}  // namespace

// The device's streams; a slot is taken and given back by the thread that
// opens or closes its stream.
static Stream g_aStreams[kMaxStreams];
// Marks a slot taken while its stream is being made: no stream's address.
static FILE *const g_pTaken = reinterpret_cast<FILE *>(g_aStreams);

static int CookieFd(void *cookie) { return static_cast<int>(reinterpret_cast<intptr_t>(cookie)); }

static ssize_t StreamWrite(void *cookie, const char *buf, size_t n) {
  ssize_t done = write(CookieFd(cookie), buf, n);
  return done < 0 ? 0 : done;  // fopencookie's writer reports an error as 0
}

static ssize_t StreamRead(void *cookie, char *buf, size_t n) {
  return read(CookieFd(cookie), buf, n);
}

static int StreamSeek(void *, off64_t *, int) {
  errno = ESPIPE;
  return -1;
}

static int StreamClose(void *cookie) {
  int fd = CookieFd(cookie);
  for (Stream &s : g_aStreams) {
    if (s.file.load() && s.fd == fd) s.file.store(nullptr);
  }
  return close(fd);
}

// A stream on the device's descriptor fd; null (fd left open) when none
// can be made.
static FILE *DeviceStream(int fd, const char *mode) {
  Stream *slot = nullptr;
  for (Stream &s : g_aStreams) {
    FILE *none = nullptr;
    if (s.file.load() || !s.file.compare_exchange_strong(none, g_pTaken)) continue;
    slot = &s;
    break;
  }
  if (!slot) {
    errno = EMFILE;
    return nullptr;
  }
  cookie_io_functions_t io = {StreamRead, StreamWrite, StreamSeek, StreamClose};
  FILE *f = fopencookie(reinterpret_cast<void *>(static_cast<intptr_t>(fd)), mode, io);
  slot->fd = fd;
  slot->file.store(f);
  return f;
}

// fopen's open flags for mode, as the C library reads it.
static int ModeFlags(const char *mode) {
  int flags = mode[0] == 'r' ? O_RDONLY : O_WRONLY | O_CREAT | (mode[0] == 'a' ? O_APPEND : O_TRUNC);
  for (const char *m = mode + 1; *m && *m != ','; ++m) {
    if (*m == '+') flags = (flags & ~O_ACCMODE) | O_RDWR;
    if (*m == 'e') flags |= O_CLOEXEC;
    if (*m == 'x') flags |= O_EXCL;
  }
  return flags;
}

static FILE *OpenStream(const char *path, const char *mode) {
  if (!mode || !strchr("rwa", mode[0])) {
    errno = EINVAL;
    return nullptr;
  }
  int fd = DeviceOpen(path, ModeFlags(mode));
  if (fd < 0) return nullptr;
  FILE *f = DeviceStream(fd, mode);
  if (!f) {
    int err = errno;
    close(fd);
    errno = err;
  }
  return f;
}

static FILE *Fopen(RealCall call, const char *path, const char *mode) {
  if (DevicePath(AT_FDCWD, path)) return OpenStream(path, mode);
  void *fn = Real(call);
  if (!fn) {
    errno = ENOSYS;
    return nullptr;
  }
  return reinterpret_cast<FopenFn>(fn)(path, mode);
}

VDSP_EXPORT FILE *fopen(const char *path, const char *mode) { return Fopen(kFopen, path, mode); }

VDSP_EXPORT FILE *fopen64(const char *path, const char *mode) {
  return Fopen(kFopen64, path, mode);
}

// The stream keeps its place (stdout stays stdout), so it cannot become one
// of the device's: its descriptor holds the device, and what the C library
// writes through it fails (the descriptor is sealed) rather than vanish.
static FILE *Freopen(RealCall call, const char *path, const char *mode, FILE *stream) {
  if (!DevicePath(AT_FDCWD, path)) {
    void *fn = Real(call);
    if (!fn) {
      errno = ENOSYS;
      return nullptr;
    }
    return reinterpret_cast<FreopenFn>(fn)(path, mode, stream);
  }
  int target = fileno(stream);
  fflush(stream);
  int fd = mode && strchr("rwa", mode[0]) ? DeviceOpen(path, ModeFlags(mode)) : -1;
  if (fd < 0 || target < 0 || fd == target) return fd < 0 ? nullptr : stream;
  int moved = dup2(fd, target);
  close(fd);
  clearerr(stream);
  return moved < 0 ? nullptr : stream;
}

VDSP_EXPORT FILE *freopen(const char *path, const char *mode, FILE *stream) {
  return Freopen(kFreopen, path, mode, stream);
}

VDSP_EXPORT FILE *freopen64(const char *path, const char *mode, FILE *stream) {
  return Freopen(kFreopen64, path, mode, stream);
}

VDSP_EXPORT FILE *fdopen(int fd, const char *mode) __THROW {
  if (DeviceOwns(fd)) return DeviceStream(fd, mode);
  void *fn = Real(kFdopen);
  if (!fn) {
    errno = ENOSYS;
    return nullptr;
  }
  return reinterpret_cast<FdopenFn>(fn)(fd, mode);
}

static int Fileno(RealCall call, FILE *stream) {
  for (const Stream &s : g_aStreams)
    if (stream && stream != g_pTaken && s.file.load() == stream) return s.fd;
  void *fn = Real(call);
  if (!fn) {
    errno = EBADF;
    return -1;
  }
  return reinterpret_cast<FilenoFn>(fn)(stream);
}

VDSP_EXPORT int fileno(FILE *stream) __THROW { return Fileno(kFileno, stream); }

VDSP_EXPORT int fileno_unlocked(FILE *stream) __THROW { return Fileno(kFilenoUnlocked, stream); }
