// The emulated OSS device as its descriptors see it: open, write, read,
// close, the open flags, duplicated descriptors, the descriptors a forked
// child or an exec'd program inherits (one device for the whole run, as a
// kernel's), and what poll and select ask. The queue and clock are the
// model's (queue.cpp), the requests requests.cpp's. Every operation runs with all
// signals blocked and takes the lock, so a signal handler that uses the
// device finds it consistent; the only place a handler can run is a wait
// for the queue, which ends early when one does, as a driver's wait does.
#include "device.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
// Processes that can hold the device at once (fork, exec).
constexpr int kMaxUsers = 16;
// What the device's descriptors stand on: an empty memory file sealed
// against writing, so a write that goes round the library fails (EPERM)
// instead of vanishing, and a file of its own, so that a program started
// by exec finds the descriptors it inherited.
constexpr unsigned kNodeSeals = F_SEAL_SEAL | F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE;

// Who holds the open device, shared by the processes of a run (sys.h).
struct Users {
  pid_t pid[kMaxUsers];  // processes with a descriptor of it, 0 in free slots
  uint64_t nodeDev, nodeIno;  // the file its descriptors stand on
};

}  // namespace

// Descriptors of this process holding the open device, each plus one, 0
// in free slots; written under the lock, read without it by DeviceOwns.
static std::atomic<int> g_fdHolders[kMaxHolders];
// In the shared state from DeviceSetup on.
static Users *g_pUsers;

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

// Adds this process to the users (once), or takes it out.
static void Use(bool holds) {
  pid_t self = getpid();
  pid_t *slot = nullptr;
  for (pid_t &p : g_pUsers->pid) {
    if (p == self) slot = &p;
    if (!slot && p == 0 && holds) slot = &p;
  }
  if (slot) *slot = holds ? self : 0;
}

// Whether a process other than this one still holds the device; users
// that ended without closing it (a crash, _exit) are let go.
static bool OthersHold() {
  int savedErrno = errno;
  bool others = false;
  for (pid_t &p : g_pUsers->pid) {
    if (p == 0 || p == getpid()) continue;
    if (syscall(SYS_kill, p, 0) != 0 && errno == ESRCH)
      p = 0;
    else
      others = true;
  }
  errno = savedErrno;
  return others;
}

// Puts fd in a free slot; false when there is none.
static bool Hold(int fd) {
  for (std::atomic<int> &holder : g_fdHolders) {
    if (holder.load() != 0) continue;
    holder.store(fd + 1);
    g_pModel->open = true;
    Use(true);
    return true;
  }
  return false;
}

// Takes fd out of its slot; the device stays open while any process
// holds it.
static void Release(int fd) {
  int left = 0;
  for (std::atomic<int> &holder : g_fdHolders) {
    if (holder.load() == fd + 1) holder.store(0);
    if (holder.load() != 0) ++left;
  }
  if (left == 0) Use(false);
  g_pModel->open = left > 0 || OthersHold();
}

static int Holders() {
  int fd;
  return DeviceDescriptors(&fd, 1);
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

// A real descriptor, so its number is the one a device would get, on a
// sealed memory file of its own (kNodeSeals); -1 with errno set.
static int OpenNode(int flags) {
  unsigned memFlags = MFD_ALLOW_SEALING | ((flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
  int fd = static_cast<int>(syscall(SYS_memfd_create, "vdsp", memFlags));
  struct stat st;
  if (fd < 0) return -1;
  if (syscall(SYS_fcntl, fd, F_ADD_SEALS, kNodeSeals) != 0 || syscall(SYS_fstat, fd, &st) != 0) {
    int err = errno;
    SysClose(fd);
    errno = err;
    return -1;
  }
  g_pUsers->nodeDev = st.st_dev;
  g_pUsers->nodeIno = st.st_ino;
  return fd;
}

int DeviceOpen(const char *path, int flags) {
  sigset_t mask;
  Enter(&mask);
  int err = 0;
  if (g_pModel->open && (Holders() > 0 || OthersHold())) err = EBUSY;
  if (!err && !QueueReserve()) err = ENOMEM;
  int fd = err ? -1 : OpenNode(flags);
  if (!err && fd < 0) err = errno;
  if (err) {
    TraceOpenFailure(path, flags, err);
    Leave(&mask);
    errno = err;
    return -1;
  }
  QueueReset();
  g_pModel->flags = flags;
  g_pModel->owner = getpid();
  Hold(fd);
  OutputOpen();
  AnnounceFormat();

  TraceLine line;
  TraceBegin(&line, "open");
  TraceWord(&line, path);
  TraceFlags(&line, "flags", flags);
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "ret", fd);
  TraceInt(&line, "pid", g_pModel->owner);
  TraceInt(&line, "queue", static_cast<int64_t>(g_pModel->ringBytes));
  TraceInt(&line, "fast", g_pModel->fast ? 1 : 0);
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
  if (n > 0) g_pModel->started = true;
  if (n > 0 && !bytes) {
    err = EFAULT;
  } else if (g_pModel->fast) {
    Record(bytes, n);
    g_pModel->played += n;
    accepted = n;
  } else {
    for (;;) {
      Advance();
      size_t room = Room();
      size_t take = n - accepted < room ? n - accepted : room;
      Enqueue(bytes + accepted, take);
      accepted += take;
      if (accepted == n) break;
      if (g_pModel->flags & O_NONBLOCK) {
        if (accepted == 0) err = EAGAIN;
        break;
      }
      size_t want = n - accepted;
      if (want > g_pModel->fragment) want = g_pModel->fragment;
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
  TraceInt(&line, "queued", static_cast<int64_t>(g_pModel->queued));
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

// fd stops holding the device, and is closed when closeFd is set. The last
// descriptor plays the queue out first, as OSS drivers do on close; a
// signal that cuts the wait short drops the rest, and a handler that
// closed the device meanwhile leaves nothing to do.
static void LetGo(int fd, bool closeFd, const sigset_t *mask) {
  int64_t start = NowNs();
  uint64_t before = g_pModel->played;
  size_t dropped = 0;
  if (Holders() == 1 && !OthersHold()) {
    bool drained = Drain(mask);
    if (!DeviceOwns(fd)) return;
    dropped = drained ? 0 : g_pModel->queued;
    Drop();
  }
  Release(fd);
  if (closeFd) SysClose(fd);

  TraceLine line;
  TraceBegin(&line, "close");
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "ret", 0);
  TraceInt(&line, "drained", static_cast<int64_t>(g_pModel->played - before));
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
    g_pModel->flags = (g_pModel->flags & ~kSettableFlags) | (arg & kSettableFlags);
  int ret = cmd == F_SETFL ? 0 : g_pModel->flags & ~O_CLOEXEC;

  TraceLine line;
  TraceBegin(&line, "fcntl");
  TraceWord(&line, cmd == F_SETFL ? "F_SETFL" : "F_GETFL");
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "ret", ret);
  TraceFlags(&line, "flags", g_pModel->flags);
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
    writable = g_pModel->fast || Room() >= g_pModel->fragment;
    if (!writable) *nsUntil = NsUntilRoom(g_pModel->fragment);
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
  TraceInt(&line, "queued", owned ? static_cast<int64_t>(g_pModel->queued) : 0);
  TraceSeconds(&line, "waited", NowNs() - startNs);
  TraceEnd(&line);
  Unlock();
}

void DeviceAtExit() {
  int fd;
  if (DeviceDescriptors(&fd, 1) == 0) return;
  sigset_t mask;
  Enter(&mask);
  int64_t start = NowNs();
  uint64_t before = g_pModel->played;
  bool last = !OthersHold();
  if (last) Drain(nullptr);
  for (std::atomic<int> &holder : g_fdHolders) holder.store(0);
  Use(false);
  g_pModel->open = !last;
  if (!last) {
    Leave(&mask);
    return;
  }

  TraceLine line;
  TraceBegin(&line, "exit");
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "drained", static_cast<int64_t>(g_pModel->played - before));
  TraceSeconds(&line, "waited", NowNs() - start);
  TraceEnd(&line);
  Leave(&mask);
}

// A forked child holds the descriptors its parent held.
static void AfterFork() {
  if (Holders() == 0) return;
  sigset_t mask;
  Enter(&mask);
  Use(true);
  Leave(&mask);
}

// The descriptors of the device that this process inherited through exec:
// those on the device's memory file. A process that inherited none lets
// go of the device, and closes it when it was the last.
static void Inherit() {
  int dir = SysOpen("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (dir < 0) return;
  alignas(8) char buf[4096];
  long n;
  while ((n = syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0) {
    for (long at = 0; at < n;) {
      const dirent64 *d = reinterpret_cast<const dirent64 *>(buf + at);
      at += d->d_reclen;
      if (d->d_name[0] < '0' || d->d_name[0] > '9') continue;
      int fd = atoi(d->d_name);
      struct stat st;
      if (fd == dir || syscall(SYS_fstat, fd, &st) != 0) continue;
      if (st.st_dev == g_pUsers->nodeDev && st.st_ino == g_pUsers->nodeIno) Hold(fd);
    }
  }
  SysClose(dir);
}

void DeviceSetup() {
  g_pUsers = static_cast<Users *>(SharedPart(sizeof(Users)));
  pthread_atfork(nullptr, nullptr, AfterFork);
}

void DeviceInherit() {
  sigset_t mask;
  Enter(&mask);
  bool wasUser = false;
  for (pid_t p : g_pUsers->pid) wasUser = wasUser || p == getpid();
  if (g_pModel->open) Inherit();
  if (wasUser && Holders() == 0) {
    Use(false);
    if (!OthersHold()) {
      Drain(nullptr);
      Drop();
      g_pModel->open = false;
    }
  }
  Leave(&mask);
}
