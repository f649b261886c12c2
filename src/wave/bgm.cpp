// Background playback: SIGALRM every millisecond hands up to ten blocks of
// the WAV stream to the device while the caller goes on.
#include "vdl/wave.h"

#include "wave_internal.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <sys/time.h>

using namespace vdlwave;

namespace {

constexpr long kTimerPeriodUs = 1000;  // first expiry and interval
constexpr int kStepsPerSignal = 10;

// The block step's buffer.  Owned by the module for the life of the
// program, so the step, which runs in the signal handler, never calls the
// allocator and cannot fail to get it.
char g_cBlock[kBlockBufferSize];

// Appends text at *end, keeping the terminator, as far as the line ends.
void Append(char *&end, const char *limit, const char *text) {
  while (*text && end < limit - 1) *end++ = *text++;
  *end = '\0';
}

// "Error: Wave - File Read error(<pos> bytes).Sound stopped.\n", formed
// without stdio and written in one piece.
void PrintReadError(int64_t pos) {
  char line[80], num[12];
  char *end = line;
  const char *limit = line + sizeof line;
  Append(end, limit, "Error: Wave - File Read error(");
  Append(end, limit, FormatDecimal(static_cast<int32_t>(pos), num));
  Append(end, limit, " bytes).Sound stopped.\n");
  WriteErrorText(line);
}

// One block step.  fread on g_fp is safe here: between vdlBGMPlay_WaveDSP
// and vdlEnd_WaveDSP the caller leaves the stream alone, so its lock is
// free, and its buffer was allocated by the header read, so the read takes
// nothing from the allocator.
void WaveBGMPlaying() {
  int64_t pos = g_nWaveBGMPlayPos;
  int32_t size = g_nDataSize;
  if (pos >= size) return;
  if (g_nWaveBGMPlaying != 1) return;
  size_t len = kBlockSize;
  if (pos + kBlockSize >= size) {
    // The flag drops before the read: the front end sees "played out" from
    // the step that takes the last block on, whatever that step meets.
    len = static_cast<size_t>(size - pos);
    g_nWaveBGMPlaying = 0;
  }
  if (fread(g_cBlock, 1, len, g_fp) < len) {
    PrintReadError(pos);
    ioctl(g_fdDsp, kDspSync, 0);
    return;
  }
  if (!WriteBlock(g_fdDsp, g_cBlock, len)) {
    PrintWriteError(errno);
    return;
  }
  g_nWaveBGMPlayPos = pos + kBlockSize;
}

void SetTimer(long periodUs) {
  struct itimerval it = {};
  it.it_interval.tv_usec = periodUs;
  it.it_value.tv_usec = periodUs;
  setitimer(ITIMER_REAL, &it, nullptr);
}

// Once the device's queue is full the steps' writes wait, and ten of them
// outlast the timer period: the tick that fell due meanwhile would run the
// handler again the moment it returns, and the caller would get no time at
// all until the last block was handed over.  Such an overdue tick is
// dropped (ignoring a pending signal discards it) and the timer re-armed,
// since the kernel re-arms an interval timer only when its signal is
// delivered; the caller then runs for a period between two handler runs.
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

// SIGALRM blocks itself while this runs, so steps never nest.
void WaveBGMTimer(int) {
  int saved = errno;
  for (int i = 0; i < kStepsPerSignal; ++i) WaveBGMPlaying();
  DropOverdueTick();
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

}  // namespace

int32_t vdlBGMPlay_WaveDSP(FILE *fp, int32_t, int32_t stereo, int32_t channels,
                           int32_t freq, int32_t bits, int32_t size) {
  if (!fp) return 0;
  PreparePlayback(fp, stereo, channels, freq, bits);
  // The whole state is in place before the first signal can come.
  g_fp = fp;
  g_nWaveBGMPlaying = 1;
  g_nWaveBGMPlayPos = 0;
  g_nDataSize = size;
  InstallTimerAction();
  SetTimer(kTimerPeriodUs);
  return 1;
}

void vdlBGMStart_WaveDSP(void) { g_nWaveBGMPlaying = 1; }

// The timer's next signal may end the SYNC wait early; the RESET then drops
// whatever is left, so a pause is silent at once either way.
void vdlBGMStop_WaveDSP(void) {
  g_nWaveBGMPlaying = 0;
  ioctl(g_fdDsp, kDspSync, 0);
  ioctl(g_fdDsp, kDspReset, 0);
}

void vdlEnd_WaveDSP(void) {
  g_nWaveBGMPlaying = 0;
  InstallTimerAction();
  SetTimer(0);
  ioctl(g_fdDsp, kDspSync, 0);
}

int32_t vdlIsBGMPlay_WaveDSP(void) { return g_nWaveBGMPlaying; }
