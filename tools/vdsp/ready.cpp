// poll, ppoll, select and pselect, interposed through LD_PRELOAD. With the
// device among the descriptors, the call answers for it as an OSS driver
// does (writable once a fragment of the queue is free, never readable) and
// waits as the real call would, handing the other descriptors to the
// kernel meanwhile; without the device, the call goes on to the next
// definition untouched. Like every device call, this runs in signal
// handlers: no allocation, no stdio, and all signals blocked except while
// the kernel waits with the caller's mask.
//
// Fortified inline wrappers of poll would clash with the definitions here.
#undef _FORTIFY_SOURCE
#include <errno.h>
#include <limits.h>
#include <sys/time.h>

#include "device.h"
#include "sys.h"
#include "vdsp.h"

namespace {

constexpr int64_t kNsPerMilli = 1000000;
constexpr int64_t kNsPerMicro = 1000;
constexpr int64_t kMicrosPerSecond = 1000000;
// Stands for an invalid timeout where a time in nanoseconds is expected.
constexpr int64_t kInvalidNs = -1;
// What a writable device reports, of what was asked: OSS drivers set both.
constexpr int kWritable = POLLOUT | POLLWRNORM;
// The poll bits of select's sets, read, write and except, as the kernel
// maps them.
constexpr int kSetBits[3] = {POLLIN, POLLOUT, POLLPRI};
// Stands in for the device in the caller's poll entries while the kernel
// polls the others: negative, so the kernel skips the entry, and none of
// the -1 or ~fd that programs use to switch an entry off.
constexpr int kHiddenFd = INT_MIN;
// Descriptors of the device looked for in one call.
constexpr int kMaxHeld = 16;

using PollFn = int (*)(pollfd *, nfds_t, int);
using PpollFn = int (*)(pollfd *, nfds_t, const timespec *, const sigset_t *);
using PollChkFn = int (*)(pollfd *, nfds_t, int, size_t);
using PpollChkFn = int (*)(pollfd *, nfds_t, const timespec *, const sigset_t *, size_t);
using SelectFn = int (*)(int, fd_set *, fd_set *, fd_set *, timeval *);
using PselectFn = int (*)(int, fd_set *, fd_set *, fd_set *, const timespec *, const sigset_t *);

// One poll or select call that has the device among its descriptors.
struct Query {
  bool select;       // select's sets, else poll's entries
  int fd;            // the device
  int events;        // what the call asks of the device, as poll bits
  pollfd *entries;   // poll: the caller's entries, the device's hidden
  nfds_t count;
  int nfds;          // select: the highest descriptor plus one
  fd_set *sets[3];   // select: the caller's sets, null where none was given
  fd_set asked[3];   // select: the sets as given, the device taken out
  bool others;       // whether any other descriptor is asked about
};

}  // namespace

// poll and select see the descriptor under the device; written once at load.
static bool g_bHidden;

void ReadySetup() { g_bHidden = EnvSwitch(VDSP_ENV_NO_POLL); }

static int64_t Smallest(int64_t a, int64_t b) { return a < b ? a : b; }

// now + ns, held below kForeverNs.
static int64_t Deadline(int64_t now, int64_t ns) {
  return ns >= kForeverNs - now ? kForeverNs : now + ns;
}

// A ppoll or pselect timeout in nanoseconds: kForeverNs for none,
// kInvalidNs when the kernel would refuse it.
static int64_t TimespecNs(const timespec *ts) {
  if (!ts) return kForeverNs;
  if (ts->tv_sec < 0 || ts->tv_nsec < 0 || ts->tv_nsec >= kNsPerSecond) return kInvalidNs;
  if (ts->tv_sec >= kForeverNs / kNsPerSecond - 1) return kForeverNs;
  return ts->tv_sec * kNsPerSecond + ts->tv_nsec;
}

// A select timeout in nanoseconds; microseconds past a second carry over,
// as the kernel takes them.
static int64_t TimevalNs(const timeval *tv) {
  if (!tv) return kForeverNs;
  if (tv->tv_sec < 0 || tv->tv_usec < 0) return kInvalidNs;
  int64_t seconds = tv->tv_sec + tv->tv_usec / kMicrosPerSecond;
  if (seconds >= kForeverNs / kNsPerSecond - 1) return kForeverNs;
  return seconds * kNsPerSecond + tv->tv_usec % kMicrosPerSecond * kNsPerMicro;
}

static int64_t PollNs(int timeout) { return timeout < 0 ? kForeverNs : timeout * kNsPerMilli; }

static timespec Timespec(int64_t ns) {
  return timespec{static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
}

// The kernel's poll, for when no next definition is found.
static int KernelPoll(pollfd *fds, nfds_t n, int64_t ns, const sigset_t *mask) {
  if (ns == kInvalidNs) {
    errno = EINVAL;
    return -1;
  }
  timespec ts = Timespec(ns);
  return SysPpoll(fds, n, ns == kForeverNs ? nullptr : &ts, mask);
}

// The first of the device's descriptors among poll's entries, else -1.
// Another descriptor of the device in the same call is left to the kernel.
static int DeviceInEntries(const pollfd *fds, nfds_t n) {
  int held[kMaxHeld] = {};
  int count = DeviceDescriptors(held, kMaxHeld);
  if (count == 0 || g_bHidden || !fds) return -1;
  for (nfds_t i = 0; i < n; ++i)
    for (int k = 0; k < count && k < kMaxHeld; ++k)
      if (fds[i].fd == held[k]) return held[k];
  return -1;
}

// The first of the device's descriptors in one of select's sets, else -1.
// Sets larger than an fd_set are left to the kernel.
static int DeviceInSets(int nfds, fd_set *in, fd_set *out, fd_set *except) {
  int held[kMaxHeld] = {};
  int count = DeviceDescriptors(held, kMaxHeld);
  if (count == 0 || g_bHidden || nfds > FD_SETSIZE) return -1;
  fd_set *sets[] = {in, out, except};
  for (int k = 0; k < count && k < kMaxHeld; ++k) {
    if (held[k] >= nfds) continue;
    for (fd_set *set : sets)
      if (set && FD_ISSET(held[k], set)) return held[k];
  }
  return -1;
}

// Asks the kernel about the other descriptors, waiting up to ns.
static int PollOthers(Query *q, int64_t ns, const sigset_t *mask) {
  timespec ts = Timespec(ns);
  if (!q->select) return SysPpoll(q->entries, q->count, &ts, mask);
  for (int i = 0; i < 3; ++i)
    if (q->sets[i]) *q->sets[i] = q->asked[i];
  return SysPselect(q->nfds, q->sets[0], q->sets[1], q->sets[2], &ts, mask);
}

// Waits as the real call does: until the device has a fragment of room
// (when that is asked), another descriptor is ready, the time is up or a
// signal handler runs. Returns what the kernel said of the others, or -1
// with errno set (EINVAL for a timeout the kernel would refuse); *writable
// tells whether the device had room at the end.
static int Await(Query *q, int64_t timeoutNs, const sigset_t *mask, bool *writable) {
  *writable = false;
  if (timeoutNs == kInvalidNs) {
    errno = EINVAL;
    return -1;
  }
  int64_t deadline = Deadline(NowNs(), timeoutNs);
  bool wantsRoom = (q->events & kWritable) != 0;
  for (;;) {
    int64_t untilRoom = kForeverNs;
    *writable = wantsRoom && DeviceWritable(q->fd, &untilRoom);
    int64_t now = NowNs();
    bool last = *writable || now >= deadline;
    // A last look with nothing else to look at needs no kernel call; the
    // sets come back as the kernel would leave them, with nothing ready.
    if (last && !q->others) {
      for (int i = 0; q->select && i < 3; ++i)
        if (q->sets[i]) *q->sets[i] = q->asked[i];
      return 0;
    }
    int64_t ns = last ? 0 : Smallest(Smallest(deadline - now, untilRoom), kMaxWaitNs);
    int ready = PollOthers(q, ns, mask);
    if (ready < 0) return -1;
    // The others woke the wait: the device may have room by now too.
    if (ready > 0 && !last && wantsRoom) *writable = DeviceWritable(q->fd, &untilRoom);
    if (ready > 0 || last) return ready;
  }
}

// Blocks every signal; the kernel's waits let through what mask allows.
static void BlockAll(sigset_t *saved) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, saved);
}

// poll and ppoll with the device among the entries; a null mask keeps the
// caller's.
static int PollDevice(int fd, pollfd *fds, nfds_t n, int64_t timeoutNs, const sigset_t *mask) {
  int savedErrno = errno;
  sigset_t saved;
  BlockAll(&saved);
  int64_t start = NowNs();
  Query q{};
  q.fd = fd;
  q.entries = fds;
  q.count = n;
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].fd != fd) {
      q.others = q.others || fds[i].fd >= 0;
      continue;
    }
    q.events |= static_cast<unsigned short>(fds[i].events);
    fds[i].fd = kHiddenFd;
  }
  bool writable;
  int ret = Await(&q, timeoutNs, mask ? mask : &saved, &writable);
  int err = errno;
  int revents = 0;
  for (nfds_t i = 0; i < n; ++i) {
    if (fds[i].fd != kHiddenFd) continue;
    fds[i].fd = fd;
    fds[i].revents = static_cast<short>(writable && ret >= 0 ? fds[i].events & kWritable : 0);
    revents |= static_cast<unsigned short>(fds[i].revents);
    if (ret >= 0 && fds[i].revents) ++ret;
  }
  DeviceTraceReady("poll", fd, q.events, revents, ret, err, start);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  errno = ret < 0 ? err : savedErrno;
  return ret;
}

// select and pselect with the device in a set; a null mask keeps the
// caller's. On failure the sets are left as they were given.
static int SelectDevice(int fd, int nfds, fd_set *in, fd_set *out, fd_set *except,
                        int64_t timeoutNs, const sigset_t *mask) {
  int savedErrno = errno;
  sigset_t saved;
  BlockAll(&saved);
  int64_t start = NowNs();
  Query q{};
  q.select = true;
  q.fd = fd;
  q.nfds = nfds;
  q.sets[0] = in;
  q.sets[1] = out;
  q.sets[2] = except;
  for (int i = 0; i < 3; ++i) {
    if (!q.sets[i]) continue;
    q.asked[i] = *q.sets[i];
    if (FD_ISSET(fd, &q.asked[i])) q.events |= kSetBits[i];
    FD_CLR(fd, &q.asked[i]);
    for (int other = 0; other < nfds && !q.others; ++other)
      q.others = FD_ISSET(other, &q.asked[i]);
  }
  bool writable;
  int ret = Await(&q, timeoutNs, mask ? mask : &saved, &writable);
  int err = errno;
  int revents = 0;
  if (ret < 0) {
    for (int i = 0; i < 3; ++i) {
      if (!q.sets[i]) continue;
      *q.sets[i] = q.asked[i];
      if (q.events & kSetBits[i]) FD_SET(fd, q.sets[i]);
    }
  } else if (writable && (q.events & POLLOUT)) {
    FD_SET(fd, out);
    revents = POLLOUT;
    ++ret;
  }
  DeviceTraceReady("select", fd, q.events, revents, ret, err, start);
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  errno = ret < 0 ? err : savedErrno;
  return ret;
}

// The C library declares poll's entries write-only, which they are not:
// poll reads what each entry asks.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

VDSP_EXPORT int poll(pollfd *fds, nfds_t n, int timeout) {
  int fd = DeviceInEntries(fds, n);
  if (fd >= 0) return PollDevice(fd, fds, n, PollNs(timeout), nullptr);
  if (void *fn = Real(kPoll)) return reinterpret_cast<PollFn>(fn)(fds, n, timeout);
  return KernelPoll(fds, n, PollNs(timeout), nullptr);
}

VDSP_EXPORT int ppoll(pollfd *fds, nfds_t n, const timespec *timeout, const sigset_t *mask) {
  int fd = DeviceInEntries(fds, n);
  if (fd >= 0) return PollDevice(fd, fds, n, TimespecNs(timeout), mask);
  if (void *fn = Real(kPpoll)) return reinterpret_cast<PpollFn>(fn)(fds, n, timeout, mask);
  return KernelPoll(fds, n, TimespecNs(timeout), mask);
}

// The fortified entries: a buffer shorter than n entries goes to the C
// library's check, which ends the program.
VDSP_EXPORT int __poll_chk(pollfd *fds, nfds_t n, int timeout, size_t fdslen) {
  int fd = fdslen / sizeof *fds >= n ? DeviceInEntries(fds, n) : -1;
  if (fd >= 0) return PollDevice(fd, fds, n, PollNs(timeout), nullptr);
  if (void *fn = Real(kPollChk)) return reinterpret_cast<PollChkFn>(fn)(fds, n, timeout, fdslen);
  return KernelPoll(fds, n, PollNs(timeout), nullptr);
}

VDSP_EXPORT int __ppoll_chk(pollfd *fds, nfds_t n, const timespec *timeout, const sigset_t *mask,
                            size_t fdslen) {
  int fd = fdslen / sizeof *fds >= n ? DeviceInEntries(fds, n) : -1;
  if (fd >= 0) return PollDevice(fd, fds, n, TimespecNs(timeout), mask);
  if (void *fn = Real(kPpollChk))
    return reinterpret_cast<PpollChkFn>(fn)(fds, n, timeout, mask, fdslen);
  return KernelPoll(fds, n, TimespecNs(timeout), mask);
}

// Linux's select leaves the time not slept in *timeout; so does this one.
VDSP_EXPORT int select(int nfds, fd_set *in, fd_set *out, fd_set *except, timeval *timeout) {
  int fd = DeviceInSets(nfds, in, out, except);
  if (fd < 0) {
    if (void *fn = Real(kSelect)) return reinterpret_cast<SelectFn>(fn)(nfds, in, out, except, timeout);
    timespec ts = timeout ? timespec{timeout->tv_sec, timeout->tv_usec * kNsPerMicro} : timespec{};
    return SysPselect(nfds, in, out, except, timeout ? &ts : nullptr, nullptr);
  }
  int64_t ns = TimevalNs(timeout), start = NowNs();
  int ret = SelectDevice(fd, nfds, in, out, except, ns, nullptr);
  if (ns != kInvalidNs && ns != kForeverNs) {
    int64_t left = ns - (NowNs() - start);
    if (left < 0) left = 0;
    timeout->tv_sec = static_cast<time_t>(left / kNsPerSecond);
    timeout->tv_usec = static_cast<suseconds_t>(left % kNsPerSecond / kNsPerMicro);
  }
  return ret;
}

VDSP_EXPORT int pselect(int nfds, fd_set *in, fd_set *out, fd_set *except,
                        const timespec *timeout, const sigset_t *mask) {
  int fd = DeviceInSets(nfds, in, out, except);
  if (fd >= 0) return SelectDevice(fd, nfds, in, out, except, TimespecNs(timeout), mask);
  if (void *fn = Real(kPselect))
    return reinterpret_cast<PselectFn>(fn)(nfds, in, out, except, timeout, mask);
  timespec ts = timeout ? *timeout : timespec{};
  return SysPselect(nfds, in, out, except, timeout ? &ts : nullptr, mask);
}
