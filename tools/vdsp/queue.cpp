// The device's queue and clock: a ring of fixed storage holding what was
// written, counted in fragments, that plays out in real time at the byte
// rate of the settings in force, into the recording. Every function runs
// with the lock held (model.h).
#include "model.h"

#include <errno.h>
#include <linux/soundcard.h>
#include <pthread.h>
#include <sched.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "record.h"
#include "sys.h"
#include "vdsp.h"

namespace {

// The largest default fragment, a driver's unit of room: a blocked write
// waits for a fragment before taking more, poll reports the device
// writable with a fragment free, and the space request counts in
// fragments. A queue smaller than two of them is cut in two halves, so
// there is room to fill while one plays.
constexpr size_t kFragmentBytes = 4096;

// Tries for the lock between two looks at whether its holder still runs.
constexpr unsigned kSpinsPerCheck = 1000;

// A fresh OSS device plays 8 kHz mono unsigned 8-bit.
constexpr int32_t kDefaultSpeed = 8000;
constexpr int32_t kDefaultChannels = 1;
constexpr int32_t kDefaultFormat = AFMT_U8;

// The queue's working state, shared by the processes of a run like the
// model (zero in a fresh run).
struct QueueState {
  std::atomic<pid_t> lock;  // the process whose thread is inside an operation, with
                            // signals blocked; 0 when none is
  size_t head;            // ring index of the oldest queued byte
  int64_t stampNs;        // time up to which the queue has been played
  int64_t carry;          // frame-nanoseconds played short of a whole frame
  bool formatNews;        // the settings changed since the recording last heard of them
};

}  // namespace

// In the shared state from QueueSetup on.
Model *g_pModel;
static QueueState *g_pQueue;
// The ring in the shared state; null if it could not be mapped.
static uint8_t *g_pRing;

// This process's ID, asked once and again in a fork's child: the lock is
// taken on every operation, and getpid is a system call.
static pid_t g_nSelf;

static void ForgetSelf() { g_nSelf = 0; }

static pid_t Self() {
  if (g_nSelf == 0) g_nSelf = getpid();
  return g_nSelf;
}

// A process killed inside an operation (SIGKILL cannot be blocked) leaves
// the lock to the next that finds it gone.
void Lock() {
  pid_t self = Self();
  for (unsigned spins = 1;; ++spins) {
    pid_t holder = 0;
    if (g_pQueue->lock.compare_exchange_weak(holder, self, std::memory_order_acquire)) return;
    if (spins % kSpinsPerCheck == 0 && holder != self && syscall(SYS_kill, holder, 0) != 0 &&
        errno == ESRCH && g_pQueue->lock.compare_exchange_strong(holder, self))
      return;
    sched_yield();
  }
}

void Unlock() { g_pQueue->lock.store(0, std::memory_order_release); }

void Enter(sigset_t *saved) {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, saved);
  Lock();
}

void Leave(const sigset_t *saved) {
  Unlock();
  pthread_sigmask(SIG_SETMASK, saved, nullptr);
}

bool Wait(int64_t ns, const sigset_t *callerMask) {
  Unlock();
  timespec ts{static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
  bool signalled = SysPpoll(nullptr, 0, &ts, callerMask) < 0 && errno == EINTR;
  Lock();
  return !signalled;
}

void QueueSetup(size_t ringBytes, bool fast, bool noSpace) {
  pthread_atfork(nullptr, nullptr, ForgetSelf);
  g_pRing = SharedSetup(&ringBytes);
  g_pModel = static_cast<Model *>(SharedPart(sizeof(Model)));
  g_pQueue = static_cast<QueueState *>(SharedPart(sizeof(QueueState)));
  if (!SharedFresh()) return;
  *g_pModel = Model{ringBytes, fast, noSpace, false, 0, 0, ringBytes, kFragmentBytes,
                    kDefaultSpeed, kDefaultChannels, kDefaultFormat, false, true, 0, 0, 0};
  QueueDefaultLayout();
}

bool QueueReserve() { return g_pModel->fast || g_pRing; }

void QueueDefaultLayout() {
  size_t half = g_pModel->ringBytes / 2 > 0 ? g_pModel->ringBytes / 2 : 1;
  g_pModel->fragment = half < kFragmentBytes ? half : kFragmentBytes;
  g_pModel->limit = g_pModel->ringBytes;
}

void QueueReset() {
  Drop();
  QueueDefaultLayout();
  g_pModel->played = 0;
  g_pModel->playedAtPointer = 0;
  g_pQueue->stampNs = NowNs();
  g_pModel->speed = kDefaultSpeed;
  g_pModel->channels = kDefaultChannels;
  g_pModel->format = kDefaultFormat;
  g_pModel->started = false;
  g_pModel->triggered = true;
}

int32_t SampleBytes(int32_t format) { return format == AFMT_U8 || format == AFMT_S8 ? 1 : 2; }

size_t FragmentsTotal() { return (g_pModel->limit + g_pModel->fragment - 1) / g_pModel->fragment; }

size_t FrameBytes() {
  return static_cast<size_t>(g_pModel->channels) * static_cast<size_t>(SampleBytes(g_pModel->format));
}

// The queue a write may fill: the limit cut to whole frames, so that what
// is queued stays on the frame grid (a queue smaller than a frame is kept).
static size_t Usable() {
  size_t frame = FrameBytes();
  return g_pModel->limit >= frame ? g_pModel->limit / frame * frame : g_pModel->limit;
}

size_t Room() { return g_pModel->queued < Usable() ? Usable() - g_pModel->queued : 0; }

int64_t NsUntilRoom(size_t want) {
  return NsUntilQueued(Usable() > want ? Usable() - want : 0);
}

void AnnounceFormat() { g_pQueue->formatNews = true; }

void Record(const uint8_t *bytes, size_t n) {
  if (n == 0) return;
  if (g_pQueue->formatNews) OutputFormat(g_pModel->speed, g_pModel->channels, g_pModel->format);
  g_pQueue->formatNews = false;
  OutputPlayed(bytes, n);
}

// The oldest n queued bytes leave the queue and are played.
static void Play(size_t n) {
  size_t ring = g_pModel->ringBytes;
  size_t first = ring - g_pQueue->head < n ? ring - g_pQueue->head : n;
  Record(g_pRing + g_pQueue->head, first);
  Record(g_pRing, n - first);
  g_pQueue->head = (g_pQueue->head + n) % ring;
  g_pModel->queued -= n;
  g_pModel->played += n;
}

void Enqueue(const uint8_t *bytes, size_t n) {
  size_t ring = g_pModel->ringBytes;
  size_t tail = (g_pQueue->head + g_pModel->queued) % ring;
  size_t first = ring - tail < n ? ring - tail : n;
  memcpy(g_pRing + tail, bytes, first);
  memcpy(g_pRing, bytes + first, n - first);
  g_pModel->queued += n;
}

size_t Drop() {
  size_t dropped = g_pModel->queued;
  g_pQueue->head = 0;
  g_pModel->queued = 0;
  g_pQueue->carry = 0;
  return dropped;
}

// The queued bytes the clock can play: whole frames. A partial frame
// after them waits for the rest of its bytes, or for a drain.
static size_t WholeFrames() { return g_pModel->queued / FrameBytes() * FrameBytes(); }

int64_t NsUntilQueued(size_t target) {
  if (g_pModel->queued <= target) return 0;
  size_t frame = FrameBytes(), whole = WholeFrames();
  if (!g_pModel->triggered || whole == 0) return kMaxWaitNs;
  size_t tail = g_pModel->queued - whole;
  size_t frames = target <= tail ? whole / frame : (g_pModel->queued - target + frame - 1) / frame;
  int64_t units = static_cast<int64_t>(frames) * kNsPerSecond - g_pQueue->carry;
  return (units + g_pModel->speed - 1) / g_pModel->speed;
}

void Advance() {
  int64_t now = NowNs();
  int64_t elapsed = now - g_pQueue->stampNs;
  g_pQueue->stampNs = now;
  size_t whole = WholeFrames();
  if (whole == 0) {
    g_pQueue->carry = 0;
    return;
  }
  if (elapsed <= 0 || !g_pModel->triggered) return;
  if (elapsed >= NsUntilQueued(g_pModel->queued - whole)) {
    g_pQueue->carry = 0;
    Play(whole);
    return;
  }
  // elapsed is below the time the queue needs, so this cannot overflow.
  int64_t units = elapsed * g_pModel->speed + g_pQueue->carry;
  g_pQueue->carry = units % kNsPerSecond;
  Play(static_cast<size_t>(units / kNsPerSecond) * FrameBytes());
}

bool Drain(const sigset_t *callerMask) {
  Advance();
  g_pModel->triggered = true;
  for (;;) {
    Advance();
    if (!g_pModel->open) return true;
    // The stream ends: a partial frame left over plays as written.
    if (g_pModel->queued < FrameBytes()) {
      Play(g_pModel->queued);
      return true;
    }
    int64_t ns = NsUntilQueued(0);
    if (!Wait(ns < kMaxWaitNs ? ns : kMaxWaitNs, callerMask)) return false;
  }
}
