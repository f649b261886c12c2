// The device's queue and clock: a ring of fixed storage holding what was
// written, counted in fragments, that plays out in real time at the byte
// rate of the settings in force, into the recording. Every function runs
// with the lock held (model.h).
#include "model.h"

#include <errno.h>
#include <linux/soundcard.h>
#include <sched.h>
#include <string.h>
#include <sys/mman.h>

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

// A fresh OSS device plays 8 kHz mono unsigned 8-bit.
constexpr int32_t kDefaultSpeed = 8000;
constexpr int32_t kDefaultChannels = 1;
constexpr int32_t kDefaultFormat = AFMT_U8;

}  // namespace

Model g_model = {kDefaultQueueBytes, false, false, false, 0, 0, kDefaultQueueBytes, kFragmentBytes,
                 kDefaultSpeed, kDefaultChannels, kDefaultFormat, false, true, 0, 0, 0};

// Queue storage, mapped at the first open and kept.
static uint8_t *g_pRing;
// Ring index of the oldest queued byte.
static size_t g_nHead;
// Time up to which the queue has been played.
static int64_t g_nStampNs;
// Frame-nanoseconds played short of a whole frame.
static int64_t g_nCarry;
// The settings changed since the recording last heard of them.
static bool g_bFormatNews;
// Held, with signals blocked, by the thread inside an operation.
static std::atomic_flag g_lock = ATOMIC_FLAG_INIT;

void Lock() {
  while (g_lock.test_and_set(std::memory_order_acquire)) sched_yield();
}

void Unlock() { g_lock.clear(std::memory_order_release); }

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

bool QueueReserve() {
  if (g_model.fast || g_pRing) return true;
  void *ring = mmap(nullptr, g_model.ringBytes, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (ring == MAP_FAILED) return false;
  g_pRing = static_cast<uint8_t *>(ring);
  return true;
}

void QueueDefaultLayout() {
  size_t half = g_model.ringBytes / 2 > 0 ? g_model.ringBytes / 2 : 1;
  g_model.fragment = half < kFragmentBytes ? half : kFragmentBytes;
  g_model.limit = g_model.ringBytes;
}

void QueueReset() {
  Drop();
  QueueDefaultLayout();
  g_model.played = 0;
  g_model.playedAtPointer = 0;
  g_nStampNs = NowNs();
  g_model.speed = kDefaultSpeed;
  g_model.channels = kDefaultChannels;
  g_model.format = kDefaultFormat;
  g_model.started = false;
  g_model.triggered = true;
}

int32_t SampleBytes(int32_t format) { return format == AFMT_U8 || format == AFMT_S8 ? 1 : 2; }

size_t FragmentsTotal() { return (g_model.limit + g_model.fragment - 1) / g_model.fragment; }

size_t FrameBytes() {
  return static_cast<size_t>(g_model.channels) * static_cast<size_t>(SampleBytes(g_model.format));
}

// The queue a write may fill: the limit cut to whole frames, so that what
// is queued stays on the frame grid (a queue smaller than a frame is kept).
static size_t Usable() {
  size_t frame = FrameBytes();
  return g_model.limit >= frame ? g_model.limit / frame * frame : g_model.limit;
}

size_t Room() { return g_model.queued < Usable() ? Usable() - g_model.queued : 0; }

int64_t NsUntilRoom(size_t want) {
  return NsUntilQueued(Usable() > want ? Usable() - want : 0);
}

void AnnounceFormat() { g_bFormatNews = true; }

void Record(const uint8_t *bytes, size_t n) {
  if (n == 0) return;
  if (g_bFormatNews) OutputFormat(g_model.speed, g_model.channels, g_model.format);
  g_bFormatNews = false;
  OutputPlayed(bytes, n);
}

// The oldest n queued bytes leave the queue and are played.
static void Play(size_t n) {
  size_t ring = g_model.ringBytes;
  size_t first = ring - g_nHead < n ? ring - g_nHead : n;
  Record(g_pRing + g_nHead, first);
  Record(g_pRing, n - first);
  g_nHead = (g_nHead + n) % ring;
  g_model.queued -= n;
  g_model.played += n;
}

void Enqueue(const uint8_t *bytes, size_t n) {
  size_t ring = g_model.ringBytes;
  size_t tail = (g_nHead + g_model.queued) % ring;
  size_t first = ring - tail < n ? ring - tail : n;
  memcpy(g_pRing + tail, bytes, first);
  memcpy(g_pRing, bytes + first, n - first);
  g_model.queued += n;
}

size_t Drop() {
  size_t dropped = g_model.queued;
  g_nHead = 0;
  g_model.queued = 0;
  g_nCarry = 0;
  return dropped;
}

// The queued bytes the clock can play: whole frames. A partial frame
// after them waits for the rest of its bytes, or for a drain.
static size_t WholeFrames() { return g_model.queued / FrameBytes() * FrameBytes(); }

int64_t NsUntilQueued(size_t target) {
  if (g_model.queued <= target) return 0;
  size_t frame = FrameBytes(), whole = WholeFrames();
  if (!g_model.triggered || whole == 0) return kMaxWaitNs;
  size_t tail = g_model.queued - whole;
  size_t frames = target <= tail ? whole / frame : (g_model.queued - target + frame - 1) / frame;
  int64_t units = static_cast<int64_t>(frames) * kNsPerSecond - g_nCarry;
  return (units + g_model.speed - 1) / g_model.speed;
}

void Advance() {
  int64_t now = NowNs();
  int64_t elapsed = now - g_nStampNs;
  g_nStampNs = now;
  size_t whole = WholeFrames();
  if (whole == 0) {
    g_nCarry = 0;
    return;
  }
  if (elapsed <= 0 || !g_model.triggered) return;
  if (elapsed >= NsUntilQueued(g_model.queued - whole)) {
    g_nCarry = 0;
    Play(whole);
    return;
  }
  // elapsed is below the time the queue needs, so this cannot overflow.
  int64_t units = elapsed * g_model.speed + g_nCarry;
  g_nCarry = units % kNsPerSecond;
  Play(static_cast<size_t>(units / kNsPerSecond) * FrameBytes());
}

bool Drain(const sigset_t *callerMask) {
  Advance();
  g_model.triggered = true;
  for (;;) {
    Advance();
    if (!g_model.open) return true;
    // The stream ends: a partial frame left over plays as written.
    if (g_model.queued < FrameBytes()) {
      Play(g_model.queued);
      return true;
    }
    int64_t ns = NsUntilQueued(0);
    if (!Wait(ns < kMaxWaitNs ? ns : kMaxWaitNs, callerMask)) return false;
  }
}
