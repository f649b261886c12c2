// CPU share of one core that background playback costs its process while
// playing, paused and played out (the timer armed in all three).  Each
// state is measured beside a twin process, forked before the device is
// opened, that runs the same timer with an empty handler over the same
// window: the floor that the machine's signal delivery sets for any
// implementation, taken under the same conditions (a VM's CPU speed and
// steal time drift by more than the difference looked for).  The window is
// cut in parts, and where there are two CPUs the two processes swap them
// from one part to the next, so that neither keeps the busier one; the
// median of the parts' ratios leaves out the parts a burst of the host's
// own work fell in.
// Prints one "STATE SHARE FLOOR RATIO" line per state: the shares over the
// whole window in percent, and the median ratio of the parts.
//
//   vdlbench_bgm FILE.wav [SECONDS]   (SECONDS per state, default 1.5)
//
// Run it against a device that plays in real time, with a file that plays
// for longer than SECONDS.
#include <vdl/wave.h>

#include "bench_common.h"

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

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

// The twin: for each window length read from `in`, measures its share
// under the bare timer and writes it to `out`; ends when `in` closes.
[[noreturn]] void RunTwin(int in, int out) {
  double window;
  while (read(in, &window, sizeof window) == sizeof window) {
    double share = UnderBareTimer([window] { return MeasureShare(window); });
    if (write(out, &share, sizeof share) != sizeof share) break;
  }
  _exit(0);
}

int g_toTwin = -1, g_fromTwin = -1;
pid_t g_twin = 0;
constexpr int kParts = 15;

// Puts this process on CPU `cpu` (0 or 1) and the twin on the other.
void Place(int cpu) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  sched_setaffinity(0, sizeof one, &one);
  CPU_ZERO(&one);
  CPU_SET(1 - cpu, &one);
  sched_setaffinity(g_twin, sizeof one, &one);
}

// Prints "state SHARE FLOOR RATIO": this process's share and the twin's,
// over the same window, and the median of the parts' ratios.
void MeasureState(const char *state, double window) {
  double part = window / kParts, share = 0, floor = 0;
  std::vector<double> ratios;
  // The two processes swap CPUs only where both of the first two are
  // theirs to use.
  cpu_set_t allowed;
  bool swap = sched_getaffinity(0, sizeof allowed, &allowed) == 0 && CPU_ISSET(0, &allowed) &&
              CPU_ISSET(1, &allowed);
  for (int i = 0; i < kParts; ++i) {
    if (swap) Place(i % 2);
    double twin = 0;
    bool asked = write(g_toTwin, &part, sizeof part) == sizeof part;
    double mine = MeasureShare(part);
    if (!asked || read(g_fromTwin, &twin, sizeof twin) != sizeof twin) twin = 0;
    share += mine / kParts;
    floor += twin / kParts;
    if (twin > 0) ratios.push_back(mine / twin);
  }
  if (swap) sched_setaffinity(0, sizeof allowed, &allowed);
  std::sort(ratios.begin(), ratios.end());
  printf("%s %.2f %.2f %.3f\n", state, share, floor,
         ratios.empty() ? 0.0 : ratios[ratios.size() / 2]);
  fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
  int down[2], up[2];
  if (pipe(down) != 0 || pipe(up) != 0) return 1;
  pid_t twin = fork();
  if (twin < 0) return 1;
  if (twin == 0) {
    close(down[1]);
    close(up[0]);
    RunTwin(down[0], up[1]);
  }
  g_twin = twin;
  close(down[0]);
  close(up[1]);
  g_toTwin = down[1];
  g_fromTwin = up[0];

  BenchWav w;
  if (!OpenBenchWav(argc, argv, "vdlbench_bgm", kDefaultWindow, &w)) return 1;
  if (w.size <= 0) {
    fprintf(stderr, "vdlbench_bgm: %s holds no sound\n", argv[1]);
    return 1;
  }
  double window = w.window;
  FILE *fp = w.fp;

  StartBench(w);
  MeasureState("playing", window);
  if (vdlIsBGMPlay_WaveDSP()) {
    vdlBGMStop_WaveDSP();
    MeasureState("paused", window);
    vdlBGMStart_WaveDSP();
    double deadline = Now() + w.time / 100.0 + kPlayOutSlack;
    while (vdlIsBGMPlay_WaveDSP() && Now() < deadline) SleepUntil(Now() + 0.01);
    if (vdlIsBGMPlay_WaveDSP()) {
      fprintf(stderr, "vdlbench_bgm: %s did not play out in time\n", argv[1]);
      return 1;
    }
    MeasureState("played-out", window);
  } else {
    // The file was shorter than the window: it is played out already.
    // A pause now takes the same path in the steps as a pause with data
    // left (the flag is 0).
    MeasureState("played-out", window);
    vdlBGMStop_WaveDSP();
    MeasureState("paused", window);
  }

  vdlEnd_WaveDSP();
  fclose(fp);
  vdlCloseDevice_WaveDSP();
  close(g_toTwin);
  close(g_fromTwin);
  return 0;
}
