// The emulated OSS device as its descriptors see it: open, write, read,
// close, the open flags, duplicated descriptors, and
// what poll and select ask. The queue and clock are the model's
// (queue.cpp), the requests requests.cpp's. Every operation runs with all
// signals blocked and takes the lock, so a signal handler that uses the
// device finds it consistent; the only place a handler can run is a wait
// for the queue, which ends early when one does, as a driver's wait does.
#include "device.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "model.h"
#include "record.h"
#include "sys.h"
#include "vdsp.h"

namespace {

// Descriptors that can hold the device at once (dup and the like).
constexpr int kMaxHolders = 16;
// The flags F_SETFL changes, as Linux's.
constexpr int kSettableFlags = O_APPEND | O_ASYNC | O_DIRECT | O_NOATIME | O_NONBLOCK;

}  // namespace

// Descriptors holding the open device, each plus one, 0 in free slots;
// written under the lock, read without it by DeviceOwns.
static std::atomic<int> g_fdHolders[kMaxHolders];

bool DeviceOwns(int fd) {
  if (fd < 0) return false;
  for (const std::atomic<int> &holder : g_fdHolders)
    if (holder.load(std::memory_order_relaxed) == fd + 1) return true;
  return false;
}

int DeviceDescriptors(int *fds, int max) {
  int n = 0;
  for (const std::atomic<int> &holder : g_fdHolders) {
    int fd = holder.load(std::memory_order_relaxed) - 1;
    if (fd < 0) continue;
    if (n < max) fds[n] = fd;
    ++n;
  }
  return n;
}

// Puts fd in a free slot; false when there is none.
static bool Hold(int fd) {
  for (std::atomic<int> &holder : g_fdHolders) {
    if (holder.load() != 0) continue;
    holder.store(fd + 1);
    g_model.open = true;
    return true;
  }
  return false;
}

// Takes fd out of its slot; true when it was the last one.
static bool Release(int fd) {
  int left = 0;
  for (std::atomic<int> &holder : g_fdHolders) {
    if (holder.load() == fd + 1) holder.store(0);
    if (holder.load() != 0) ++left;
  }
  g_model.open = left > 0;
  return left == 0;
}

static void TraceOpenFailure(const char *path, int flags, int err) {
  TraceLine line;
  TraceBegin(&line, "open");
  TraceWord(&line, path);
  TraceFlags(&line, "flags", flags);
  TraceInt(&line, "ret", -1);
  TraceErrno(&line, err);
  TraceEnd(&line);
}

int DeviceOpen(const char *path, int flags) {
  sigset_t mask;
  Enter(&mask);
  int err = 0;
  if (g_model.open) err = EBUSY;
  if (!err && !QueueReserve()) err = ENOMEM;
  // A real descriptor, so its number is the one a device would get and
  // anything the program does with it besides our calls stays harmless.
  int fd = err ? -1 : SysOpen("/dev/null", O_RDWR | (flags & O_CLOEXEC), 0);
  if (!err && fd < 0) err = errno;
  if (err) {
    TraceOpenFailure(path, flags, err);
    Leave(&mask);
    errno = err;
    return -1;
  }
  QueueReset();
  g_model.flags = flags;
  g_model.owner = getpid();
  Hold(fd);
  OutputOpen();
  AnnounceFormat();

  TraceLine line;
  TraceBegin(&line, "open");
  TraceWord(&line, path);
  TraceFlags(&line, "flags", flags);
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "ret", fd);
  TraceInt(&line, "pid", g_model.owner);
  TraceInt(&line, "queue", static_cast<int64_t>(g_model.ringBytes));
  TraceInt(&line, "fast", g_model.fast ? 1 : 0);
  TraceEnd(&line);
  Leave(&mask);
  return fd;
}

ssize_t DeviceWrite(int fd, const void *buf, size_t n) {
  int savedErrno = errno;
  sigset_t mask;
  Enter(&mask);
  if (!DeviceOwns(fd)) {  // closed by another thread meanwhile
    Leave(&mask);
    errno = EBADF;
    return -1;
  }
  const uint8_t *bytes = static_cast<const uint8_t *>(buf);
  int64_t start = NowNs();
  size_t accepted = 0;
  bool blocked = false;
  int err = 0;
  if (n > 0) g_model.started = true;
  if (n > 0 && !bytes) {
    err = EFAULT;
  } else if (g_model.fast) {
    Record(bytes, n);
    g_model.played += n;
    accepted = n;
  } else {
    for (;;) {
      Advance();
      size_t room = Room();
      size_t take = n - accepted < room ? n - accepted : room;
      Enqueue(bytes + accepted, take);
      accepted += take;
      if (accepted == n) break;
      if (g_model.flags & O_NONBLOCK) {
        if (accepted == 0) err = EAGAIN;
        break;
      }
      size_t want = n - accepted;
      if (want > g_model.fragment) want = g_model.fragment;
      int64_t ns = NsUntilRoom(want);
      blocked = true;
      if (!Wait(ns < kMaxWaitNs ? ns : kMaxWaitNs, &mask)) {
        if (accepted == 0) err = EINTR;
        break;
      }
      if (!DeviceOwns(fd)) {
        if (accepted == 0) err = EBADF;
        break;
      }
    }
  }
  ssize_t ret = accepted > 0 || err == 0 ? static_cast<ssize_t>(accepted) : -1;

  TraceLine line;
  TraceBegin(&line, "write");
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "asked", static_cast<int64_t>(n));
  TraceInt(&line, "accepted", static_cast<int64_t>(accepted));
  TraceInt(&line, "ret", ret);
  if (ret < 0) TraceErrno(&line, err);
  TraceInt(&line, "queued", static_cast<int64_t>(g_model.queued));
  TraceSeconds(&line, "waited", NowNs() - start);
  TraceInt(&line, "blocked", blocked ? 1 : 0);
  TraceEnd(&line);
  Leave(&mask);
  errno = ret < 0 ? err : savedErrno;
  return ret;
}

ssize_t DeviceRead(int fd, size_t n) {
  sigset_t mask;
  Enter(&mask);
  TraceLine line;
  TraceBegin(&line, "read");
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "asked", static_cast<int64_t>(n));
  TraceInt(&line, "ret", -1);
  TraceErrno(&line, EINVAL);
  TraceEnd(&line);
  Leave(&mask);
  errno = EINVAL;
  return -1;
}

static int Holders() {
  int fd;
  return DeviceDescriptors(&fd, 1);
}

// fd stops holding the device, and is closed when closeFd is set. The last
// descriptor plays the queue out first, as OSS drivers do on close; a
// signal that cuts the wait short drops the rest, and a handler that
// closed the device meanwhile leaves nothing to do.
static void LetGo(int fd, bool closeFd, const sigset_t *mask) {
  int64_t start = NowNs();
  uint64_t before = g_model.played;
  size_t dropped = 0;
  if (Holders() == 1) {
    bool drained = Drain(mask);
    if (!DeviceOwns(fd)) return;
    dropped = drained ? 0 : g_model.queued;
    Drop();
  }
  Release(fd);
  if (closeFd) SysClose(fd);

  TraceLine line;
  TraceBegin(&line, "close");
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "ret", 0);
  TraceInt(&line, "drained", static_cast<int64_t>(g_model.played - before));
  TraceInt(&line, "dropped", static_cast<int64_t>(dropped));
  TraceSeconds(&line, "waited", NowNs() - start);
  TraceEnd(&line);
}

int DeviceClose(int fd) {
  int savedErrno = errno;
  sigset_t mask;
  Enter(&mask);
  if (DeviceOwns(fd)) LetGo(fd, true, &mask);
  Leave(&mask);
  errno = savedErrno;
  return 0;
}

void DeviceForget(int fd) {
  sigset_t mask;
  Enter(&mask);
  if (DeviceOwns(fd)) LetGo(fd, false, &mask);
  Leave(&mask);
}

int DeviceFlags(int fd, int cmd, int arg) {
  sigset_t mask;
  Enter(&mask);
  if (cmd == F_SETFL)
    g_model.flags = (g_model.flags & ~kSettableFlags) | (arg & kSettableFlags);
  int ret = cmd == F_SETFL ? 0 : g_model.flags & ~O_CLOEXEC;

  TraceLine line;
  TraceBegin(&line, "fcntl");
  TraceWord(&line, cmd == F_SETFL ? "F_SETFL" : "F_GETFL");
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "ret", ret);
  TraceFlags(&line, "flags", g_model.flags);
  TraceEnd(&line);
  Leave(&mask);
  return ret;
}

int DeviceDuplicated(int fd, int newfd) {
  sigset_t mask;
  Enter(&mask);
  bool held = Hold(newfd);
  TraceLine line;
  TraceBegin(&line, "dup");
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "ret", held ? newfd : -1);
  if (!held) TraceErrno(&line, EMFILE);
  TraceEnd(&line);
  if (!held) SysClose(newfd);
  Leave(&mask);
  if (!held) errno = EMFILE;
  return held ? newfd : -1;
}

bool DeviceWritable(int fd, int64_t *nsUntil) {
  Lock();
  bool writable = false;
  if (DeviceOwns(fd)) {
    Advance();
    writable = g_model.fast || Room() >= g_model.fragment;
    if (!writable) *nsUntil = NsUntilRoom(g_model.fragment);
  }
  Unlock();
  return writable;
}

void DeviceTraceReady(const char *event, int fd, int events, int revents, int ret, int err,
                      int64_t startNs) {
  Lock();
  bool owned = DeviceOwns(fd);
  if (owned) Advance();
  TraceLine line;
  TraceBegin(&line, event);
  TraceInt(&line, "fd", fd);
  TracePollBits(&line, "events", events);
  TracePollBits(&line, "revents", revents);
  TraceInt(&line, "ret", ret);
  if (ret < 0) TraceErrno(&line, err);
  TraceInt(&line, "queued", owned ? static_cast<int64_t>(g_model.queued) : 0);
  TraceSeconds(&line, "waited", NowNs() - startNs);
  TraceEnd(&line);
  Unlock();
}

void DeviceAtExit() {
  int fd;
  if (DeviceDescriptors(&fd, 1) == 0 || g_model.owner != getpid()) return;
  sigset_t mask;
  Enter(&mask);
  int64_t start = NowNs();
  uint64_t before = g_model.played;
  Drain(nullptr);
  for (std::atomic<int> &holder : g_fdHolders) holder.store(0);
  g_model.open = false;

  TraceLine line;
  TraceBegin(&line, "exit");
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "drained", static_cast<int64_t>(g_model.played - before));
  TraceSeconds(&line, "waited", NowNs() - start);
  TraceEnd(&line);
  Leave(&mask);
}
