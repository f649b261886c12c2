// Background playback: SIGALRM every millisecond hands up to ten blocks of
// the WAV stream to the device, as many as it takes without waiting, while
// the caller goes on.
#include "vdl/wave.h"

#include "bgm.h"
#include "dsp.h"
#include "safe_io.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <linux/soundcard.h>

#include <atomic>

using namespace vdlwave;

namespace {

constexpr long kTimerPeriodUs = 1000;  // first expiry and interval
constexpr int kStepsPerSignal = 10;
constexpr int64_t kNsPerSecond = 1000000000;

// "Error: Wave - File Read error(<pos> bytes).Sound stopped.\n", without
// stdio.
void PrintReadError(int64_t pos) {
  char num[12];
  const char *parts[] = {"Error: Wave - File Read error(",
                         FormatDecimal(static_cast<int32_t>(pos), num),
                         " bytes).Sound stopped.\n"};
  WriteErrorLine(parts, 3);
}

// Room value while the device has not said how much it has.
constexpr int64_t kRoomUnknown = -1;

static_assert(std::atomic<FILE *>::is_always_lock_free &&
                  std::atomic<int64_t>::is_always_lock_free,
              "the timer's handler needs lock-free atomics");

// The playback's state.  The timer's handler reads and writes it, so each
// value is read and written whole: sig_atomic_t, or a lock-free atomic
// where the value does not fit one.  The handler runs only on the
// playback's thread (g_nOwnerTid), the thread the public calls come from,
// and never nests; so a value the foreground writes while the timer runs
// is never half-seen, and where the handler could act on it in between
// the comment at the write says why that is safe.
//
// WAV stream being played; null at rest and from vdlEnd_WaveDSP on, which
// leaves the stream to its caller.
std::atomic<FILE *> g_fp{nullptr};
// Data size in bytes of the file; 0 at rest.
volatile sig_atomic_t g_nDataSize = 0;
// Playing flag: 1 = a timer tick plays blocks, 0 = paused, played out or
// ended.  1 at program start.
volatile sig_atomic_t g_nWaveBGMPlaying = 1;
// Data bytes handed to the device, in steps of 256; 64-bit because the
// last step can pass a data size near 2^31 - 1.  0 at rest.
std::atomic<int64_t> g_nWaveBGMPlayPos{0};
// Room in the device's queue as GETOSPACE last reported it, less the bytes
// written since: a lower bound, since room only grows as the device plays,
// so it can be spent over several signals without asking again.
// kRoomUnknown when the device did not answer, or its queue was dropped.
std::atomic<int64_t> g_nRoom{kRoomUnknown};
// Bytes of room a device that lacked room is given time to free before
// the next try: a signal's worth of blocks, at most a quarter of its queue,
// so each try hands over several blocks while the queue stays near full,
// rather than one block a tick for a poll and a write each; and at least a
// fragment where that is under a quarter of the queue, since an OSS device
// polls ready only with a fragment free.  One block until GETOSPACE has
// told the queue's size.
std::atomic<int64_t> g_nRefill{kBlockSize};
// The queue's size as GETOSPACE told it; 0 until then.
std::atomic<int64_t> g_nQueueBytes{0};
// Bytes written since the queue was last empty (the start, or a pause's
// RESET), counted up to the queue's size.
std::atomic<int64_t> g_nSinceEmpty{0};
// Sample data read ahead of the blocks handed over, so that the stream's
// file is read a chunk at a time rather than a stdio buffer (4 KiB) at a
// time: each read is a system call made in the handler, on the caller's
// time.  Bytes [g_nAheadAt, g_nAheadEnd) are still to go; room for a chunk
// after a partial block left over.  g_nReadPos counts the data bytes read
// from the stream, which ends the data size.
constexpr int kReadChunk = 32768;
unsigned char g_ahead[kReadChunk + kBlockSize];
volatile sig_atomic_t g_nAheadAt = 0;
volatile sig_atomic_t g_nAheadEnd = 0;
std::atomic<int64_t> g_nReadPos{0};
// Bytes the device plays a second, from the header's values; 0 when they
// make no sense.
std::atomic<int64_t> g_nByteRate{0};
// CLOCK_MONOTONIC time before which the device cannot take the next block:
// it lacked room, and room frees no faster than the device plays.  0 at
// rest.
std::atomic<int64_t> g_nRetryNs{0};
// 1 from vdlBGMPlay_WaveDSP to vdlEnd_WaveDSP (or the device's close),
// while the timer runs for the module.
volatile sig_atomic_t g_nTimerArmed = 0;
// The thread that started the playback, the only one that runs the steps:
// the timer's signal goes to the process, and the kernel may deliver it to
// any thread that does not block it.  Compared with pthread_self, which
// reads a register; the kernel's thread ID is kept to hand the signal on.
// Written by vdlBGMPlay_WaveDSP before the timer is armed; 0 at rest.
std::atomic<pthread_t> g_owner{0};
volatile sig_atomic_t g_nOwnerTid = 0;
static_assert(std::atomic<pthread_t>::is_always_lock_free &&
                  sizeof(pid_t) <= sizeof(sig_atomic_t),
              "the owner fits the handler's rules");

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * kNsPerSecond + ts.tv_nsec;
}

// The device has `room` bytes free at time now, too few for a refill:
// signals leave it alone until it has had the time to play the rest.
void AwaitRoom(int64_t room, int64_t now) {
  int64_t missing = g_nRefill - (room > 0 ? room : 0);
  if (missing > 0 && g_nByteRate > 0) g_nRetryNs = now + missing * kNsPerSecond / g_nByteRate;
}

// Asks SNDCTL_DSP_GETOSPACE for the room free in the device's queue.  A
// device without the request says nothing, and so does one whose answer
// cannot be true: negative, more than its total, or a total that never
// holds a whole block.
int64_t AskRoom() {
  audio_buf_info info = {};
  if (ioctl(g_fdDsp, SNDCTL_DSP_GETOSPACE, &info) != 0) return kRoomUnknown;
  int64_t total = int64_t{info.fragstotal} * info.fragsize;
  if (info.fragsize <= 0 || info.fragstotal <= 0 || total < kBlockSize) return kRoomUnknown;
  if (info.bytes < 0 || info.bytes > total) return kRoomUnknown;
  int64_t quarter = total / 4 > kBlockSize ? total / 4 : kBlockSize;
  int64_t refill = int64_t{kStepsPerSignal} * kBlockSize;
  if (refill > quarter) refill = quarter;
  if (info.fragsize > refill && info.fragsize <= quarter) refill = info.fragsize;
  g_nRefill = refill;
  g_nQueueBytes = total;
  return info.bytes;
}

// What one signal has learnt of the device so far.
struct Tick {
  bool ready = false;  // a poll said it takes data
  bool asked = false;  // GETOSPACE was asked
  bool blind = false;  // a block went to a device that said nothing of its room
  bool wrote = false;  // a block was handed over
};

// Whether the device takes len bytes now without waiting.  Some emulations
// (PulseAudio's) report room through GETOSPACE that their write then waits
// for, but never report a ready poll then: so a signal polls before its
// first block, and before each later one only while GETOSPACE has not
// vouched for the room the blocks take.  GETOSPACE is asked after a ready
// poll when the room known is too small, at most once a signal.  A device
// that answers neither poll (an error, or an error bit without POLLOUT) nor
// GETOSPACE gets the block, and the write waits as a blocking write does.
// Not ready for poll counts as a whole block missing: a fragment-based
// device frees room in larger steps, and holds far more than a block.
bool DeviceTakes(size_t len, Tick *tick) {
  int64_t now = NowNs();
  if (now < g_nRetryNs) return false;
  int64_t need = static_cast<int64_t>(len);
  if (!tick->ready || g_nRoom < need) {
    struct pollfd pfd = {g_fdDsp, POLLOUT, 0};
    if (poll(&pfd, 1, 0) == 0) {
      // A queue not yet filled since it was last empty cannot lack room:
      // an emulation holds the writes up for a moment (libpulsedsp sets
      // its stream up again after a RESET), and the next tick tries again.
      if (g_nSinceEmpty >= g_nQueueBytes) AwaitRoom(0, now);
      return false;
    }
    tick->ready = true;
  }
  if (g_nRoom < need && !tick->asked) {
    g_nRoom = AskRoom();
    tick->asked = true;
  }
  if (g_nRoom != kRoomUnknown && g_nRoom < need) {
    AwaitRoom(g_nRoom, now);
    return false;
  }
  return true;
}

// The next len bytes of the data, refilled from the stream with one fread
// when fewer are read ahead; null when the stream ends first (what it held
// is dropped, as a short read of the block alone would drop it).
const unsigned char *NextBytes(FILE *fp, size_t len) {
  int at = g_nAheadAt, end = g_nAheadEnd;
  if (static_cast<size_t>(end - at) < len) {
    memmove(g_ahead, g_ahead + at, static_cast<size_t>(end - at));
    end -= at;
    at = 0;
    int64_t left = g_nDataSize - g_nReadPos;
    size_t want = left < kReadChunk ? static_cast<size_t>(left > 0 ? left : 0) : kReadChunk;
    size_t got = want > 0 ? fread(g_ahead + end, 1, want, fp) : 0;
    g_nReadPos += static_cast<int64_t>(got);
    end += static_cast<int>(got);
    if (static_cast<size_t>(end) < len) end = 0;
    g_nAheadEnd = end;
    g_nAheadAt = 0;
    if (end == 0) return nullptr;
  }
  g_nAheadAt = at + static_cast<int>(len);
  return g_ahead + at;
}

// Forgets what was read ahead: the stream moved, or is given back.
void DropAhead() {
  g_nAheadAt = 0;
  g_nAheadEnd = 0;
}

// The stream holds less than its data size: said once, and the playback
// ends as if played out, since every later read would fail the same way.
// The module lets go of the stream, so a resume plays nothing.  POST, not
// SYNC: what is queued still plays out, but the handler does not wait for
// it while its caller is held up.
void EndOnReadError(int64_t pos) {
  g_nWaveBGMPlaying = 0;
  g_fp = nullptr;
  PrintReadError(pos);
  ioctl(g_fdDsp, SNDCTL_DSP_POST, 0);
}

// One block step; false when it leaves nothing for another step of this
// signal to do: paused, played out, or the device could not take the
// block.  fread on g_fp is safe here:
// between vdlBGMPlay_WaveDSP and vdlEnd_WaveDSP the caller leaves the
// stream alone, so its lock is free, and its buffer was allocated by the
// header read, so the read takes nothing from the allocator.  A block lost
// to a failed write is still taken: the stream has moved past it.
bool WaveBGMPlaying(Tick *tick) {
  int64_t pos = g_nWaveBGMPlayPos;
  int32_t size = g_nDataSize;
  FILE *fp = g_fp;
  if (pos >= size || !fp || g_nWaveBGMPlaying != 1) return false;
  bool last = pos + kBlockSize >= size;
  size_t len = last ? static_cast<size_t>(size - pos) : kBlockSize;
  if (!DeviceTakes(len, tick)) return false;
  // The flag drops before the read: the front end sees "played out" from
  // the step that takes the last block on, whatever that step meets.
  if (last) g_nWaveBGMPlaying = 0;
  const unsigned char *block = NextBytes(fp, len);
  if (!block) {
    EndOnReadError(pos);
    return false;
  }
  if (g_nRoom == kRoomUnknown)
    tick->blind = true;
  else
    g_nRoom -= static_cast<int64_t>(len);
  tick->wrote = true;
  if (!WriteBlock(g_fdDsp, block, len)) {
    PrintWriteError(errno);
    return true;
  }
  g_nWaveBGMPlayPos = pos + kBlockSize;
  if (g_nSinceEmpty < g_nQueueBytes) g_nSinceEmpty += static_cast<int64_t>(len);
  return !last;
}

void SetTimer(long periodUs) {
  struct itimerval it = {};
  it.it_interval.tv_usec = periodUs;
  it.it_value.tv_usec = periodUs;
  setitimer(ITIMER_REAL, &it, nullptr);
}

// On a device that answers neither poll nor GETOSPACE the writes wait once
// its queue is full, and ten of them outlast the timer period: the tick
// that fell due meanwhile would run the handler again the moment it
// returns, and the caller would get no time until the last block was handed
// over.  Such an overdue tick is dropped (ignoring a pending signal
// discards it) and the timer re-armed, since the kernel re-arms an
// interval timer only when its signal is delivered.
void DropOverdueTick() {
  sigset_t pending;
  if (sigpending(&pending) != 0 || !sigismember(&pending, SIGALRM)) return;
  struct sigaction ignore = {}, current;
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  if (sigaction(SIGALRM, &ignore, &current) != 0) return;
  sigaction(SIGALRM, &current, nullptr);
  SetTimer(kTimerPeriodUs);
}

// Steps run on the playback's thread only, where SIGALRM blocks itself
// while this runs: so they never nest, never run on two threads at once,
// and never run in the middle of a public call, which comes from that
// thread too.  A signal that lands on another thread is handed on to the
// playback's thread untouched; it is pending there at worst, and pending
// signals merge, as ticks that fall due during a step do.
void WaveBGMTimer(int) {
  if (!pthread_equal(pthread_self(), g_owner)) {
    int saved = errno;
    pid_t owner = g_nOwnerTid;
    if (g_nTimerArmed && owner > 0) tgkill(getpid(), owner, SIGALRM);
    errno = saved;
    return;
  }
  // Most signals find nothing to do (paused, played out, or the device not
  // yet due to have room): they return before anything that could touch
  // errno, and cost little more than the signal itself.
  if (g_nWaveBGMPlaying != 1 || !g_fp || g_nWaveBGMPlayPos >= g_nDataSize ||
      NowNs() < g_nRetryNs)
    return;
  int saved = errno;
  Tick tick;
  for (int i = 0; i < kStepsPerSignal; ++i)
    if (!WaveBGMPlaying(&tick)) break;
  // Room known to fall short of the next signal's blocks: the device is
  // left alone until it has played enough, rather than polled in vain.
  int64_t room = g_nRoom;
  if (tick.wrote && room != kRoomUnknown && room < g_nRefill) AwaitRoom(room, NowNs());
  // Only a write without the device's word on its room can have waited.
  if (tick.blind) DropOverdueTick();
  errno = saved;
}

// No SA_RESTART: the caller's blocking calls return early with EINTR, which
// the public contract tells front ends to expect.
void InstallTimerAction() {
  struct sigaction sa = {};
  sa.sa_handler = WaveBGMTimer;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  sigaction(SIGALRM, &sa, nullptr);
}

// A pause found delay bytes still queued, and the RESET that follows drops
// them unheard: the stream and the position go back by whole
// blocks to the first block that holds an unheard byte, so the resume plays
// it again.  A delay beyond what was written counts as all of it.
void RewindUnheard(int delay) {
  int64_t pos = g_nWaveBGMPlayPos;
  int32_t size = g_nDataSize;
  int64_t written = pos < size ? pos : size;  // a last block counts its length
  if (delay <= 0 || written <= 0) return;
  int64_t heard = written > delay ? written - delay : 0;
  int64_t resume = heard / kBlockSize * kBlockSize;
  if (resume >= pos) return;
  if (fseek(g_fp, kHeaderSize + resume, SEEK_SET) != 0) return;
  DropAhead();
  g_nReadPos = resume;
  g_nWaveBGMPlayPos = resume;
}

}  // namespace

int32_t vdlBGMPlay_WaveDSP(FILE *fp, int32_t, int32_t stereo, int32_t channels,
                           int32_t freq, int32_t bits, int32_t size) {
  if (!fp) return 0;
  PreparePlayback(fp, stereo, channels, freq, bits);
  // The whole state is in place before the first signal can come, and the
  // stream last: a stray SIGALRM before then finds no stream and does
  // nothing.
  g_fp = nullptr;
  g_nWaveBGMPlaying = 1;
  g_nWaveBGMPlayPos = 0;
  g_nDataSize = size;
  g_nRoom = kRoomUnknown;
  g_nRefill = kBlockSize;
  g_nQueueBytes = 0;
  g_nSinceEmpty = 0;
  DropAhead();
  g_nReadPos = 0;
  g_nByteRate = channels > 0 && freq > 0 && bits > 0
                    ? int64_t{freq} * channels * ((bits + 7) / 8)
                    : 0;
  g_nRetryNs = 0;
  g_owner = pthread_self();
  g_nOwnerTid = gettid();
  g_fp = fp;
  InstallTimerAction();
  SetTimer(kTimerPeriodUs);
  g_nTimerArmed = 1;
  // An inherited signal mask may hold SIGALRM back, and then nothing
  // would ever play.
  sigset_t alarm;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
  return 1;
}

void vdlBGMStart_WaveDSP(void) { g_nWaveBGMPlaying = 1; }

// Once the flag is 0, a step that runs (between two instructions of this
// thread) reads and writes nothing, so the room, the retry time, the
// position and the stream can all be set here.  Where the device says how
// much it still holds, the queue is dropped at once and played again after
// a resume; there is nothing to wait for.  Where it does not, SYNC first,
// which the timer's next signal may cut short.
void vdlBGMStop_WaveDSP(void) {
  g_nWaveBGMPlaying = 0;
  int delay = 0;
  bool known = ioctl(g_fdDsp, SNDCTL_DSP_GETODELAY, &delay) == 0;
  if (!known) ioctl(g_fdDsp, SNDCTL_DSP_SYNC, 0);
  ioctl(g_fdDsp, SNDCTL_DSP_RESET, 0);
  // The queue is empty now: a resume need not wait for room.
  g_nRoom = kRoomUnknown;
  g_nRetryNs = 0;
  g_nSinceEmpty = 0;
  if (known && g_fp) RewindUnheard(delay);
}

// The stream is forgotten, not closed: its caller may close it from now
// on, and a SIGALRM raised later, or a pause, must not touch it.  The flag
// drops first, so a step between here and the disarm does nothing.
void vdlEnd_WaveDSP(void) {
  g_nWaveBGMPlaying = 0;
  InstallTimerAction();
  SetTimer(0);
  g_nTimerArmed = 0;
  // What was read ahead goes back, so the stream stands where the blocks
  // handed over end, as if each had been read on its own.
  FILE *fp = g_fp;
  g_fp = nullptr;
  int ahead = g_nAheadEnd - g_nAheadAt;
  if (fp && ahead > 0) fseek(fp, -ahead, SEEK_CUR);
  DropAhead();
  ioctl(g_fdDsp, SNDCTL_DSP_SYNC, 0);
}

namespace vdlwave {

// The timer is the module's only while a playback runs: a caller may use
// ITIMER_REAL for itself before the first playback and after an end.  May
// run in the termination handler on any thread, while a step runs on the
// playback's: the process ends right after, so the step's last write
// finding the stream gone or the device closed harms nothing.
void StopBackground() {
  if (!g_nTimerArmed) return;
  g_nWaveBGMPlaying = 0;
  SetTimer(0);
  g_nTimerArmed = 0;
  g_fp = nullptr;
}

}  // namespace vdlwave

int32_t vdlIsBGMPlay_WaveDSP(void) { return g_nWaveBGMPlaying; }
