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
// Byte-nanoseconds played short of a whole byte.
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

int64_t ByteRate() {
  return int64_t{g_model.speed} * g_model.channels * SampleBytes(g_model.format);
}

size_t FragmentsTotal() { return (g_model.limit + g_model.fragment - 1) / g_model.fragment; }

size_t Room() { return g_model.queued < g_model.limit ? g_model.limit - g_model.queued : 0; }

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

int64_t NsUntilQueued(size_t target) {
  if (g_model.queued <= target) return 0;
  if (!g_model.triggered) return kMaxWaitNs;
  int64_t rate = ByteRate();
  int64_t units = static_cast<int64_t>(g_model.queued - target) * kNsPerSecond - g_nCarry;
  return (units + rate - 1) / rate;
}

void Advance() {
  int64_t now = NowNs();
  int64_t elapsed = now - g_nStampNs;
  g_nStampNs = now;
  if (g_model.queued == 0) {
    g_nCarry = 0;
    return;
  }
  if (elapsed <= 0 || !g_model.triggered) return;
  if (elapsed >= NsUntilQueued(0)) {
    g_nCarry = 0;
    Play(g_model.queued);
    return;
  }
  // elapsed is below the time the queue needs, so this cannot overflow.
  int64_t units = elapsed * ByteRate() + g_nCarry;
  g_nCarry = units % kNsPerSecond;
  Play(static_cast<size_t>(units / kNsPerSecond));
}

bool Drain(const sigset_t *callerMask) {
  Advance();
  g_model.triggered = true;
  for (;;) {
    Advance();
    if (g_model.queued == 0 || !g_model.open) return true;
    int64_t ns = NsUntilQueued(0);
    if (!Wait(ns < kMaxWaitNs ? ns : kMaxWaitNs, callerMask)) return false;
  }
}
