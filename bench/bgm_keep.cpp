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

#include "bench_common.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

namespace {

constexpr double kDefaultWindow = 3;
// Iterations between two looks at the clock: cheap against the loop, short
// against a millisecond.
constexpr uint64_t kItersPerLook = 4096;

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

double Percent(uint64_t part, uint64_t whole) {
  return 100.0 * static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

int main(int argc, char **argv) {
  BenchWav w;
  if (!OpenBenchWav(argc, argv, "vdlbench_keep", kDefaultWindow, &w)) return 1;
  if (w.time < w.window * 100) {
    fprintf(stderr, "vdlbench_keep: %s plays for less than %.1f s\n", argv[1], w.window);
    return 1;
  }

  double window = w.window;
  uint64_t alone = Count(window);
  uint64_t timerOnly = UnderBareTimer([window] { return Count(window); });
  StartBench(w);
  uint64_t playing = Count(window);
  // Silence at once rather than play the rest out.
  vdlBGMStop_WaveDSP();
  vdlEnd_WaveDSP();
  fclose(w.fp);
  vdlCloseDevice_WaveDSP();
  printf("timer-only %.1f\nkept %.1f\n", Percent(timerOnly, alone), Percent(playing, alone));
  return 0;
}
