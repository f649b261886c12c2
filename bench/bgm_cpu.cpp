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

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <time.h>

namespace {

constexpr double kDefaultWindow = 1.5;
// How long past its playing time the file may take to play out.
constexpr double kPlayOutSlack = 10;

double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

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

void EmptyHandler(int) {}

// The floor: a 1 ms ITIMER_REAL whose handler does nothing.
double MeasureBareTimer(double window) {
  struct sigaction sa = {}, old = {};
  sa.sa_handler = EmptyHandler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, &old);
  itimerval on = {{0, 1000}, {0, 1000}}, off = {};
  setitimer(ITIMER_REAL, &on, nullptr);
  double share = MeasureShare(window);
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  return share;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: vdlbench_bgm FILE.wav [SECONDS]\n");
    return 2;
  }
  double window = argc == 3 ? atof(argv[2]) : kDefaultWindow;
  if (!(window > 0)) window = kDefaultWindow;
  if (vdlOpenDevice_WaveDSP() < 0) return 1;
  int32_t time, stereo, channels, freq, bits, size;
  FILE *fp = vdlOpenFile_WaveDSP(argv[1], &time, &stereo, &channels, &freq, &bits, &size);
  if (!fp) return 1;
  if (size <= 0) {
    fprintf(stderr, "vdlbench_bgm: %s holds no sound\n", argv[1]);
    return 1;
  }

  printf("timer-only %.2f\n", MeasureBareTimer(window));
  fflush(stdout);

  vdlBGMPlay_WaveDSP(fp, time, stereo, channels, freq, bits, size);
  printf("playing %.2f\n", MeasureShare(window));
  fflush(stdout);
  if (vdlIsBGMPlay_WaveDSP()) {
    vdlBGMStop_WaveDSP();
    printf("paused %.2f\n", MeasureShare(window));
    fflush(stdout);
    vdlBGMStart_WaveDSP();
    double deadline = Now() + time / 100.0 + kPlayOutSlack;
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
