// How much of its own throughput a busy caller keeps while a sound plays in
// the background: a counting loop runs for SECONDS without playback, then
// for SECONDS with vdlBGMPlay_WaveDSP of FILE, and the second count is
// printed as a percentage of the first:
//
//   vdlbench_keep FILE.wav [SECONDS]   (default 3; FILE should play longer)
//
// Prints "kept PERCENT", after "timer-only PERCENT": the share kept under a
// bare 1 ms timer whose handler does nothing, the floor that the machine's
// signal delivery sets.  Run it against a device that plays in real time.
#include <vdl/wave.h>

#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

namespace {

constexpr double kDefaultWindow = 3;
// Iterations between two looks at the clock: cheap against the loop, short
// against a millisecond.
constexpr uint64_t kItersPerLook = 4096;

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Work the compiler cannot drop: a linear congruential sequence.
volatile uint64_t g_nSink;

// Iterations of the loop done in `window` seconds of wall time.
uint64_t Count(double window) {
  uint64_t x = g_nSink, n = 0;
  double end = Now() + window;
  do {
    for (uint64_t i = 0; i < kItersPerLook; ++i) x = x * 6364136223846793005u + 1442695040888963407u;
    n += kItersPerLook;
  } while (Now() < end);
  g_nSink = x;
  return n;
}

void EmptyHandler(int) {}

// Iterations in `window` seconds under a bare 1 ms ITIMER_REAL.
uint64_t CountUnderBareTimer(double window) {
  struct sigaction sa = {}, old = {};
  sa.sa_handler = EmptyHandler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, &old);
  itimerval on = {{0, 1000}, {0, 1000}}, off = {};
  setitimer(ITIMER_REAL, &on, nullptr);
  uint64_t n = Count(window);
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  return n;
}

double Percent(uint64_t part, uint64_t whole) {
  return 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: vdlbench_keep FILE.wav [SECONDS]\n");
    return 2;
  }
  double window = argc == 3 ? atof(argv[2]) : kDefaultWindow;
  if (!(window > 0)) window = kDefaultWindow;
  if (vdlOpenDevice_WaveDSP() < 0) return 1;
  int32_t time, stereo, channels, freq, bits, size;
  FILE *fp = vdlOpenFile_WaveDSP(argv[1], &time, &stereo, &channels, &freq, &bits, &size);
  if (!fp) return 1;
  if (time < window * 100) {
    fprintf(stderr, "vdlbench_keep: %s plays for less than %.1f s\n", argv[1], window);
    return 1;
  }

  uint64_t alone = Count(window);
  uint64_t timerOnly = CountUnderBareTimer(window);
  vdlBGMPlay_WaveDSP(fp, time, stereo, channels, freq, bits, size);
  uint64_t playing = Count(window);
  // Silence at once rather than play the rest out.
  vdlBGMStop_WaveDSP();
  vdlEnd_WaveDSP();
  fclose(fp);
  vdlCloseDevice_WaveDSP();
  printf("timer-only %.1f\nkept %.1f\n", Percent(timerOnly, alone), Percent(playing, alone));
  return 0;
}
