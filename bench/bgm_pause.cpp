// How long a pause, a resume and a quit (pause, then end) hold their
// caller, and, given the recording a sound server writes at a card's pace
// (48 kHz S16LE stereo), how long after the call the sound stops or comes
// back in it, and, for reference, how long the server takes to sound a
// stream's first block.  Pauses three times, a second into the sound and a
// second long each, then quits half a second into the last resume.  Prints
// the worst of each in milliseconds, "-" where there is no recording:
//
//   vdlbench_pause FILE.wav [RECORDING]
//   pause HOLD  resume HOLD  quit HOLD  silence AFTER  sound AFTER  start AFTER
//
// The file must play for longer than the cycles take (some 8 s).
#include <vdl/wave.h>

#include "bench_common.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>

namespace {

constexpr int kCycles = 3;
constexpr double kPlayBefore = 1, kPauseFor = 1, kQuitAfter = 0.5;
// The tail looked at: 5 ms of 48 kHz stereo 16-bit.
constexpr int kTailFrames = 240;
constexpr int kLoud = 500;
// A change that does not show within this time counts as this long.
constexpr double kGiveUp = 2;

// Whether the last kTailFrames written to the recording hold sound; -1 when
// it holds less than that yet.
int TailLoud(int fd) {
  int16_t tail[2 * kTailFrames];
  off_t end = lseek(fd, 0, SEEK_END);
  off_t at = end / 4 * 4 - static_cast<off_t>(sizeof tail);
  if (at < 0 || pread(fd, tail, sizeof tail, at) != static_cast<ssize_t>(sizeof tail)) return -1;
  for (int16_t s : tail)
    if (s > kLoud || s < -kLoud) return 1;
  return 0;
}

// Seconds from t0 until the recording's tail is (loud) or is not; 0 with
// no recording.
double Until(int fd, bool loud, double t0) {
  if (fd < 0) return 0;
  while (TailLoud(fd) != (loud ? 1 : 0) && Now() < t0 + kGiveUp) usleep(200);
  return Now() - t0;
}

void SleepUntil(double t) {
  while (Now() < t) usleep(500);
}

}  // namespace

int main(int argc, char **argv) {
  BenchWav w;
  if (argc < 2 || argc > 3 || !OpenBenchWav(2, argv, "vdlbench_pause", 1, &w)) return 1;
  int fd = argc == 3 ? open(argv[2], O_RDONLY) : -1;
  if (argc == 3 && fd < 0) {
    perror(argv[2]);
    return 1;
  }
  double pause = 0, resume = 0, quit = 0, silence = 0, sound = 0;
  StartBench(w);
  // Without a recording the sound counts as heard at once.
  const double s0 = Now();
  const double first = s0 + Until(fd, true, s0);
  double t = first;
  for (int i = 0; i < kCycles; ++i) {
    SleepUntil(t + kPlayBefore);
    double t0 = Now();
    vdlBGMStop_WaveDSP();
    pause = std::max(pause, Now() - t0);
    silence = std::max(silence, Until(fd, false, t0));
    SleepUntil(t0 + kPauseFor);
    t = Now();
    vdlBGMStart_WaveDSP();
    resume = std::max(resume, Now() - t);
    sound = std::max(sound, Until(fd, true, t));
  }
  SleepUntil(t + kQuitAfter);
  double t0 = Now();
  vdlBGMStop_WaveDSP();
  vdlEnd_WaveDSP();
  quit = Now() - t0;
  fclose(w.fp);
  vdlCloseDevice_WaveDSP();
  printf("pause %.2f  resume %.2f  quit %.2f", pause * 1e3, resume * 1e3, quit * 1e3);
  if (fd < 0)
    printf("  silence -  sound -  start -\n");
  else
    printf("  silence %.0f  sound %.0f  start %.0f\n", silence * 1e3, sound * 1e3,
           (first - s0) * 1e3);
  return 0;
}
