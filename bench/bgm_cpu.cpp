// CPU share of one core that background playback costs its process while
// playing, paused and played out (the timer armed in all three).
// Prints one "STATE SHARE" line per state, SHARE in percent, after a
// "timer-only" line: the same timer with an empty handler, the floor that
// the machine's signal delivery sets for any implementation.
//
//   vdlbench_bgm FILE.wav [SECONDS]   (SECONDS per state, default 1.5)
//
// Run it against a device that plays in real time, with a file that plays
// for longer than SECONDS.
#include <vdl/wave.h>

#include "bench_common.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>

namespace {

constexpr double kDefaultWindow = 1.5;
// How long past its playing time the file may take to play out.
constexpr double kPlayOutSlack = 10;

double CpuSeconds() {
  rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  auto sec = [](const timeval &t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return sec(ru.ru_utime) + sec(ru.ru_stime);
}

// Sleeps until the absolute monotonic time t.  The playback's timer cuts
// every sleep short after a millisecond, so it sleeps again.
void SleepUntil(double t) {
  timespec ts;
  ts.tv_sec = static_cast<time_t>(t);
  ts.tv_nsec = static_cast<long>((t - static_cast<double>(ts.tv_sec)) * 1e9);
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
  }
}

// Percent of one core used by the process over the next `window` seconds.
double MeasureShare(double window) {
  double wall0 = Now(), cpu0 = CpuSeconds();
  SleepUntil(wall0 + window);
  double wall = Now() - wall0, cpu = CpuSeconds() - cpu0;
  return 100.0 * cpu / wall;
}

}  // namespace

int main(int argc, char **argv) {
  BenchWav w;
  if (!OpenBenchWav(argc, argv, "vdlbench_bgm", kDefaultWindow, &w)) return 1;
  if (w.size <= 0) {
    fprintf(stderr, "vdlbench_bgm: %s holds no sound\n", argv[1]);
    return 1;
  }
  double window = w.window;
  FILE *fp = w.fp;

  printf("timer-only %.2f\n", UnderBareTimer([window] { return MeasureShare(window); }));
  fflush(stdout);

  StartBench(w);
  printf("playing %.2f\n", MeasureShare(window));
  fflush(stdout);
  if (vdlIsBGMPlay_WaveDSP()) {
    vdlBGMStop_WaveDSP();
    printf("paused %.2f\n", MeasureShare(window));
    fflush(stdout);
    vdlBGMStart_WaveDSP();
    double deadline = Now() + w.time / 100.0 + kPlayOutSlack;
    while (vdlIsBGMPlay_WaveDSP() && Now() < deadline) SleepUntil(Now() + 0.01);
    if (vdlIsBGMPlay_WaveDSP()) {
      fprintf(stderr, "vdlbench_bgm: %s did not play out in time\n", argv[1]);
      return 1;
    }
    printf("played-out %.2f\n", MeasureShare(window));
  } else {
    // The file was shorter than the window: it is played out already.
    // A pause now takes the same path in the steps as a pause with data
    // left (the flag is 0).
    printf("played-out %.2f\n", MeasureShare(window));
    fflush(stdout);
    vdlBGMStop_WaveDSP();
    printf("paused %.2f\n", MeasureShare(window));
  }
  fflush(stdout);

  vdlEnd_WaveDSP();
  fclose(fp);
  vdlCloseDevice_WaveDSP();
  return 0;
}
