// What the background-playback benchmarks share: their command line and
// the opening of device and file, the clock, and what their figures are
// measured against, the same 1 ms ITIMER_REAL as the playback's with a
// handler that does nothing, the floor that the machine's signal delivery
// sets for any implementation.
#ifndef VDL_BENCH_COMMON_H
#define VDL_BENCH_COMMON_H

#include <vdl/wave.h>

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>

// A benchmark's WAV stream, its six values and its measuring window.
struct BenchWav {
  FILE *fp;
  int32_t time, stereo, channels, freq, bits, size;
  double window;  // seconds
};

// Reads "NAME FILE.wav [SECONDS]", opens the device and the file; false,
// after saying why, when it cannot.
inline bool OpenBenchWav(int argc, char **argv, const char *name, double defaultWindow,
                         BenchWav *w) {
  if (argc < 2 || argc > 3) {
    fprintf(stderr, "usage: %s FILE.wav [SECONDS]\n", name);
    return false;
  }
  w->window = argc == 3 ? atof(argv[2]) : defaultWindow;
  if (!(w->window > 0)) w->window = defaultWindow;
  if (vdlOpenDevice_WaveDSP() < 0) return false;
  w->fp = vdlOpenFile_WaveDSP(argv[1], &w->time, &w->stereo, &w->channels, &w->freq,
                              &w->bits, &w->size);
  return w->fp != nullptr;
}

inline void StartBench(const BenchWav &w) {
  vdlBGMPlay_WaveDSP(w.fp, w.time, w.stereo, w.channels, w.freq, w.bits, w.size);
}

inline double Now() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

inline void EmptyHandler(int) {}

// Runs measure() under the bare timer and returns its result.
template <typename Measure>
auto UnderBareTimer(Measure measure) {
  struct sigaction sa = {}, old = {};
  sa.sa_handler = EmptyHandler;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGALRM, &sa, &old);
  itimerval on = {{0, 1000}, {0, 1000}}, off = {};
  setitimer(ITIMER_REAL, &on, nullptr);
  auto result = measure();
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  return result;
}

#endif
