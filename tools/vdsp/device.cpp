// The emulated OSS device: one queue of fixed size that plays out in real
// time at the configured byte rate, the requests that configure, drain and
// reset it, and the answers a player gets before it writes: the room in the
// queue, what is still to play, whether a write would wait. Every operation
// runs with all signals blocked and takes a lock, so a signal handler that
// uses the device finds it consistent; the only place a handler can run is
// the wait for the queue, which ends early when one does, as a driver's
// wait does.
#include "vdsp.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

namespace {

// The largest fragment, a driver's unit of room: a blocked write waits for
// a fragment before taking more, poll reports the device writable with a
// fragment free, and the space request counts in fragments. A queue
// smaller than two of them is cut in two halves, so there is room to fill
// while one plays.
constexpr size_t kFragmentBytes = 4096;
constexpr int32_t kMaxChannels = 256;

// A fresh OSS device plays 8 kHz mono unsigned 8-bit.
constexpr int32_t kDefaultSpeed = 8000;
constexpr int32_t kDefaultChannels = 1;
constexpr int32_t kDefaultFormat = 8;
constexpr int32_t kFormatQuery = 0;  // AFMT_QUERY

// Request numbers as the kernel sees them: 32 bits.
constexpr unsigned int kReset = SNDCTL_DSP_RESET;
constexpr unsigned int kSync = SNDCTL_DSP_SYNC;
constexpr unsigned int kSpeed = SNDCTL_DSP_SPEED;
constexpr unsigned int kStereo = SNDCTL_DSP_STEREO;
constexpr unsigned int kSetFmt = SNDCTL_DSP_SETFMT;
constexpr unsigned int kChannels = SNDCTL_DSP_CHANNELS;
constexpr unsigned int kGetOSpace = SNDCTL_DSP_GETOSPACE;
constexpr unsigned int kGetODelay = SNDCTL_DSP_GETODELAY;

}  // namespace

// Queue size in bytes; written once at load.
static size_t g_nCapacity = kDefaultQueueBytes;
// Plays everything at once; written once at load.
static bool g_bFast;
// GETOSPACE and GETODELAY are refused as unknown; written once at load.
static bool g_bNoSpace;
// Descriptor of the open device, -1 while it is closed.
static std::atomic<int> g_fdDevice{-1};
// Process that opened it: a forked child inherits the state, not the device.
static pid_t g_nOwner;
// Flags the device was opened with.
static int g_nOpenFlags;
// Queue storage, mapped at the first open and kept.
static uint8_t *g_pRing;
// Ring index of the oldest queued byte.
static size_t g_nHead;
// Bytes waiting to be played.
static size_t g_nQueued;
// Bytes played since the device was opened.
static uint64_t g_nPlayed;
// Time up to which the queue has been played.
static int64_t g_nStampNs;
// Byte-nanoseconds played short of a whole byte.
static int64_t g_nCarry;
// Values of the last SPEED, CHANNELS/STEREO and SETFMT requests.
static int32_t g_nSpeed = kDefaultSpeed;
static int32_t g_nChannels = kDefaultChannels;
static int32_t g_nFormat = kDefaultFormat;
// Held, with signals blocked, by the thread inside an operation.
static std::atomic_flag g_lock = ATOMIC_FLAG_INIT;

// The lock alone, for callers that block every signal themselves: a poll
// asked every millisecond should not pay for the mask twice.
static void Lock() {
  while (g_lock.test_and_set(std::memory_order_acquire)) sched_yield();
}

static void Unlock() { g_lock.clear(std::memory_order_release); }

static void Enter(sigset_t *saved) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, saved);
  Lock();
}

static void Leave(const sigset_t *saved) {
  Unlock();
  pthread_sigmask(SIG_SETMASK, saved, nullptr);
}

// Sleeps up to ns with the lock released. With the caller's signal mask
// given, returns false when a signal handler ran meanwhile; with none,
// signals stay blocked.
static bool Wait(int64_t ns, const sigset_t *callerMask) {
  Unlock();
  timespec ts{static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
  bool signalled = SysPpoll(nullptr, 0, &ts, callerMask) < 0 && errno == EINTR;
  Lock();
  return !signalled;
}

// Bytes per sample of a format code. The OSS codes AFMT_U8 (8) and
// AFMT_S16_LE (16) equal their bit counts; 24 and 32 are taken as bit
// counts too, so such data still renders to a playable file.
static int32_t SampleBytes(int32_t format) {
  switch (format) {
    case 16: return 2;
    case 24: return 3;
    case 32: return 4;
    default: return 1;
  }
}

static int32_t PacedSpeed() { return g_nSpeed < 1 ? 1 : g_nSpeed; }

static int32_t PacedChannels() {
  return g_nChannels < 1 ? 1 : g_nChannels > kMaxChannels ? kMaxChannels : g_nChannels;
}

static int64_t ByteRate() {
  return int64_t{PacedSpeed()} * PacedChannels() * SampleBytes(g_nFormat);
}

static size_t FragmentBytes() {
  size_t half = g_nCapacity / 2 > 0 ? g_nCapacity / 2 : 1;
  return half < kFragmentBytes ? half : kFragmentBytes;
}

static void AnnounceFormat() {
  OutputFormat(PacedSpeed(), PacedChannels(), SampleBytes(g_nFormat));
}

// The oldest n queued bytes leave the queue and are played.
static void Play(size_t n) {
  size_t first = g_nCapacity - g_nHead < n ? g_nCapacity - g_nHead : n;
  OutputPlayed(g_pRing + g_nHead, first);
  OutputPlayed(g_pRing, n - first);
  g_nHead = (g_nHead + n) % g_nCapacity;
  g_nQueued -= n;
  g_nPlayed += n;
}

static void Enqueue(const uint8_t *bytes, size_t n) {
  size_t tail = (g_nHead + g_nQueued) % g_nCapacity;
  size_t first = g_nCapacity - tail < n ? g_nCapacity - tail : n;
  memcpy(g_pRing + tail, bytes, first);
  memcpy(g_pRing, bytes + first, n - first);
  g_nQueued += n;
}

static void Drop() {
  g_nHead = 0;
  g_nQueued = 0;
  g_nCarry = 0;
}

// Time until at most `target` bytes are left queued.
static int64_t NsUntilQueued(size_t target) {
  if (g_nQueued <= target) return 0;
  int64_t rate = ByteRate();
  int64_t units = static_cast<int64_t>(g_nQueued - target) * kNsPerSecond - g_nCarry;
  return (units + rate - 1) / rate;
}

// Plays what the time since the last call allows. An idle device earns
// no credit: playing starts when bytes arrive.
static void Advance() {
  int64_t now = NowNs();
  int64_t elapsed = now - g_nStampNs;
  g_nStampNs = now;
  if (g_nQueued == 0) {
    g_nCarry = 0;
    return;
  }
  if (elapsed <= 0) return;
  if (elapsed >= NsUntilQueued(0)) {
    g_nCarry = 0;
    Play(g_nQueued);
    return;
  }
  // elapsed is below the time the queue needs, so this cannot overflow.
  int64_t units = elapsed * ByteRate() + g_nCarry;
  g_nCarry = units % kNsPerSecond;
  Play(static_cast<size_t>(units / kNsPerSecond));
}

// Waits until the queue has played out; false when a signal ended the wait.
static bool Drain(int fd, const sigset_t *callerMask) {
  for (;;) {
    Advance();
    if (g_nQueued == 0 || g_fdDevice.load() != fd) return true;
    int64_t ns = NsUntilQueued(0);
    if (!Wait(ns < kMaxWaitNs ? ns : kMaxWaitNs, callerMask)) return false;
  }
}

static void TraceOpenFailure(const char *path, int flags, int err) {
  TraceLine line;
  TraceBegin(&line, "open");
  TraceWord(&line, path);
  TraceFlags(&line, flags);
  TraceInt(&line, "ret", -1);
  TraceErrno(&line, err);
  TraceEnd(&line);
}

void DeviceSetup(size_t queueBytes, bool fast, bool noSpace) {
  g_nCapacity = queueBytes;
  g_bFast = fast;
  g_bNoSpace = noSpace;
}

bool DeviceOwns(int fd) { return fd >= 0 && g_fdDevice.load(std::memory_order_relaxed) == fd; }

int DeviceDescriptor() { return g_fdDevice.load(std::memory_order_relaxed); }

int DeviceOpen(const char *path, int flags) {
  sigset_t mask;
  Enter(&mask);
  int err = 0;
  if (g_fdDevice.load() >= 0) err = EBUSY;
  if (!err && !g_bFast && !g_pRing) {
    void *ring = mmap(nullptr, g_nCapacity, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (ring == MAP_FAILED)
      err = ENOMEM;
    else
      g_pRing = static_cast<uint8_t *>(ring);
  }
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
  Drop();
  g_nPlayed = 0;
  g_nStampNs = NowNs();
  g_nSpeed = kDefaultSpeed;
  g_nChannels = kDefaultChannels;
  g_nFormat = kDefaultFormat;
  g_nOpenFlags = flags;
  g_nOwner = getpid();
  g_fdDevice.store(fd);
  OutputOpen();
  AnnounceFormat();

  TraceLine line;
  TraceBegin(&line, "open");
  TraceWord(&line, path);
  TraceFlags(&line, flags);
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "ret", fd);
  TraceInt(&line, "pid", g_nOwner);
  TraceInt(&line, "queue", static_cast<int64_t>(g_nCapacity));
  TraceInt(&line, "fast", g_bFast ? 1 : 0);
  TraceEnd(&line);
  Leave(&mask);
  return fd;
}

ssize_t DeviceWrite(int fd, const void *buf, size_t n) {
  int savedErrno = errno;
  sigset_t mask;
  Enter(&mask);
  if (g_fdDevice.load() != fd) {  // closed by another thread meanwhile
    Leave(&mask);
    errno = EBADF;
    return -1;
  }
  const uint8_t *bytes = static_cast<const uint8_t *>(buf);
  int64_t start = NowNs();
  size_t accepted = 0;
  bool blocked = false;
  int err = 0;
  if (n > 0 && !bytes) {
    err = EFAULT;
  } else if (g_bFast) {
    OutputPlayed(bytes, n);
    g_nPlayed += n;
    accepted = n;
  } else {
    for (;;) {
      Advance();
      size_t room = g_nCapacity - g_nQueued;
      size_t take = n - accepted < room ? n - accepted : room;
      Enqueue(bytes + accepted, take);
      accepted += take;
      if (accepted == n) break;
      if (g_nOpenFlags & O_NONBLOCK) {
        if (accepted == 0) err = EAGAIN;
        break;
      }
      size_t want = n - accepted;
      if (want > FragmentBytes()) want = FragmentBytes();
      int64_t ns = NsUntilQueued(g_nCapacity - want);
      blocked = true;
      if (!Wait(ns < kMaxWaitNs ? ns : kMaxWaitNs, &mask)) {
        if (accepted == 0) err = EINTR;
        break;
      }
      if (g_fdDevice.load() != fd) {
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
  TraceInt(&line, "queued", static_cast<int64_t>(g_nQueued));
  TraceSeconds(&line, "waited", NowNs() - start);
  TraceInt(&line, "blocked", blocked ? 1 : 0);
  TraceEnd(&line);
  Leave(&mask);
  errno = ret < 0 ? err : savedErrno;
  return ret;
}

static const char *RequestName(unsigned int request) {
  switch (request) {
    case kReset: return "SNDCTL_DSP_RESET";
    case kSync: return "SNDCTL_DSP_SYNC";
    case kSpeed: return "SNDCTL_DSP_SPEED";
    case kStereo: return "SNDCTL_DSP_STEREO";
    case kSetFmt: return "SNDCTL_DSP_SETFMT";
    case kChannels: return "SNDCTL_DSP_CHANNELS";
    case kGetOSpace: return "SNDCTL_DSP_GETOSPACE";
    case kGetODelay: return "SNDCTL_DSP_GETODELAY";
    default: return nullptr;
  }
}

// The room in the queue as GETOSPACE reports it: whole fragments free, and
// the free bytes, which may hold a part of a fragment more.
static audio_buf_info Space() {
  size_t fragment = FragmentBytes();
  size_t room = g_nCapacity - g_nQueued;
  audio_buf_info space{};
  space.fragsize = static_cast<int>(fragment);
  space.fragstotal = static_cast<int>((g_nCapacity + fragment - 1) / fragment);
  space.bytes = static_cast<int>(room);
  space.fragments = static_cast<int>(room / fragment);
  return space;
}

// Stores the value of a setting request; returns the value echoed back.
static int32_t Apply(unsigned int request, int32_t value) {
  switch (request) {
    case kSpeed: g_nSpeed = value; break;
    case kStereo: g_nChannels = value ? 2 : 1; break;
    case kChannels: g_nChannels = value; break;
    case kSetFmt:
      if (value == kFormatQuery) return g_nFormat;
      g_nFormat = value;
      break;
  }
  AnnounceFormat();
  return value;
}

int DeviceIoctl(int fd, unsigned int request, void *arg) {
  int savedErrno = errno;
  sigset_t mask;
  Enter(&mask);
  if (g_fdDevice.load() != fd) {
    Leave(&mask);
    errno = EBADF;
    return -1;
  }
  int64_t start = NowNs();
  Advance();  // what is queued so far plays at the rate it was queued at
  const char *name = RequestName(request);
  bool query = request == kGetOSpace || request == kGetODelay;
  bool setting = name && !query && request != kReset && request != kSync;
  uint64_t before = g_nPlayed;
  size_t dropped = 0;
  int32_t value = 0, echo = 0;
  audio_buf_info space{};
  int err = 0;
  if (request == kReset) {
    dropped = g_nQueued;
    Drop();
  } else if (request == kSync) {
    if (!Drain(fd, &mask)) err = EINTR;
  } else if (!name || (query && g_bNoSpace)) {
    err = EINVAL;
  } else if (!arg) {
    err = EFAULT;
  } else if (request == kGetOSpace) {
    space = Space();
    memcpy(arg, &space, sizeof space);
  } else if (request == kGetODelay) {
    echo = static_cast<int32_t>(g_nQueued);
    memcpy(arg, &echo, sizeof echo);
  } else {
    memcpy(&value, arg, sizeof value);
    echo = Apply(request, value);
    memcpy(arg, &echo, sizeof echo);
  }

  TraceLine line;
  TraceBegin(&line, "ioctl");
  if (name)
    TraceWord(&line, name);
  else
    TraceWordHex(&line, request);
  TraceInt(&line, "fd", fd);
  if (setting && !err) TraceInt(&line, "arg", value);
  TraceInt(&line, "ret", err ? -1 : 0);
  if (err) TraceErrno(&line, err);
  if (request == kReset) {
    TraceInt(&line, "dropped", static_cast<int64_t>(dropped));
  } else if (request == kSync) {
    TraceInt(&line, "drained", static_cast<int64_t>(g_nPlayed - before));
    TraceInt(&line, "queued", static_cast<int64_t>(g_nQueued));
    TraceSeconds(&line, "waited", NowNs() - start);
  } else if (setting && !err) {
    TraceInt(&line, "val", echo);
  } else if (request == kGetOSpace && !err) {
    TraceInt(&line, "bytes", space.bytes);
    TraceInt(&line, "fragments", space.fragments);
    TraceInt(&line, "fragsize", space.fragsize);
    TraceInt(&line, "fragstotal", space.fragstotal);
    TraceInt(&line, "queued", static_cast<int64_t>(g_nQueued));
  } else if (request == kGetODelay && !err) {
    TraceInt(&line, "val", echo);
    TraceInt(&line, "queued", static_cast<int64_t>(g_nQueued));
  }
  TraceEnd(&line);
  Leave(&mask);
  errno = err ? err : savedErrno;
  return err ? -1 : 0;
}

int DeviceClose(int fd) {
  int savedErrno = errno;
  sigset_t mask;
  Enter(&mask);
  if (g_fdDevice.load() != fd) {  // a signal handler closed it first
    Leave(&mask);
    return 0;
  }
  int64_t start = NowNs();
  uint64_t before = g_nPlayed;
  bool drained = Drain(fd, &mask);
  if (g_fdDevice.load() != fd) {
    Leave(&mask);
    return 0;
  }
  size_t dropped = drained ? 0 : g_nQueued;
  Drop();
  g_fdDevice.store(-1);
  SysClose(fd);

  TraceLine line;
  TraceBegin(&line, "close");
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "ret", 0);
  TraceInt(&line, "drained", static_cast<int64_t>(g_nPlayed - before));
  TraceInt(&line, "dropped", static_cast<int64_t>(dropped));
  TraceSeconds(&line, "waited", NowNs() - start);
  TraceEnd(&line);
  Leave(&mask);
  errno = savedErrno;
  return 0;
}

bool DeviceWritable(int fd, int64_t *nsUntil) {
  Lock();
  bool writable = false;
  if (g_fdDevice.load() == fd) {
    Advance();
    size_t fragment = FragmentBytes();
    writable = g_nCapacity - g_nQueued >= fragment;
    if (!writable) *nsUntil = NsUntilQueued(g_nCapacity - fragment);
  }
  Unlock();
  return writable;
}

void DeviceTraceReady(const char *event, int fd, int events, int revents, int ret, int err,
                      int64_t startNs) {
  Lock();
  if (g_fdDevice.load() == fd) Advance();
  TraceLine line;
  TraceBegin(&line, event);
  TraceInt(&line, "fd", fd);
  TracePollBits(&line, "events", events);
  TracePollBits(&line, "revents", revents);
  TraceInt(&line, "ret", ret);
  if (ret < 0) TraceErrno(&line, err);
  TraceInt(&line, "queued", g_fdDevice.load() == fd ? static_cast<int64_t>(g_nQueued) : 0);
  TraceSeconds(&line, "waited", NowNs() - startNs);
  TraceEnd(&line);
  Unlock();
}

void DeviceAtExit() {
  int fd = g_fdDevice.load();
  if (fd < 0 || g_nOwner != getpid()) return;
  sigset_t mask;
  Enter(&mask);
  int64_t start = NowNs();
  uint64_t before = g_nPlayed;
  Drain(fd, nullptr);
  g_fdDevice.store(-1);

  TraceLine line;
  TraceBegin(&line, "exit");
  TraceInt(&line, "fd", fd);
  TraceInt(&line, "drained", static_cast<int64_t>(g_nPlayed - before));
  TraceSeconds(&line, "waited", NowNs() - start);
  TraceEnd(&line);
  Leave(&mask);
}
