/* bgm_compute FILE.wav [PAUSE_AT PAUSE_FOR]: plays FILE in the background
 * while this program computes, as a game would between frames: it counts
 * in a loop, looking at the playing flag now and then, until the sound has
 * played out; then ends the playback and closes file and device.  With
 * PAUSE_AT and PAUSE_FOR (seconds), it pauses PAUSE_AT seconds after the
 * start for PAUSE_FOR seconds, computing on, then resumes; a PAUSE_FOR of
 * 0 quits there instead (pause, then end).  Prints how far it counted and,
 * for each of those calls, how long it held the program, in milliseconds,
 * and when it was made (CLOCK_MONOTONIC seconds).  Exit status 0,
 * 1 when the device or the file did not open, 2 for a wrong call.  C99,
 * like any caller of <vdl/wave.h> may be. */
#define _POSIX_C_SOURCE 200809L
#include <vdl/wave.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

/* Counts between two looks at the flag: about a millisecond of work. */
enum { kCountsPerLook = 1 << 20 };

static double Now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* Counts until the flag drops or the time `until` comes. */
static void Compute(volatile uint64_t *counted, double until) {
  while (vdlIsBGMPlay_WaveDSP() && Now() < until) {
    for (int i = 0; i < kCountsPerLook; ++i) *counted = *counted + 1;
  }
}

int main(int argc, char **argv) {
  int32_t time, stereo, channels, freq, bits, size;
  /* volatile: the loop must really run, not be folded away. */
  volatile uint64_t counted = 0;
  double pauseAt = -1, pauseFor = 0, t;
  FILE *fp;

  if (argc != 2 && argc != 4) {
    fprintf(stderr, "usage: bgm_compute FILE.wav [PAUSE_AT PAUSE_FOR]\n");
    return 2;
  }
  if (argc == 4) pauseAt = atof(argv[2]), pauseFor = atof(argv[3]);
  if (vdlOpenDevice_WaveDSP() < 0) return 1;
  fp = vdlOpenFile_WaveDSP(argv[1], &time, &stereo, &channels, &freq, &bits, &size);
  if (fp == NULL) {
    vdlCloseDevice_WaveDSP();
    return 1;
  }
  vdlBGMPlay_WaveDSP(fp, time, stereo, channels, freq, bits, size);
  if (pauseAt >= 0) {
    Compute(&counted, Now() + pauseAt);
    t = Now();
    vdlBGMStop_WaveDSP();
    printf("pause %.3f %.6f\n", (Now() - t) * 1e3, t);
    if (pauseFor > 0) {
      /* Paused, the flag reads 0: compute on by the clock alone. */
      for (double until = Now() + pauseFor; Now() < until;)
        for (int i = 0; i < kCountsPerLook; ++i) counted = counted + 1;
      t = Now();
      vdlBGMStart_WaveDSP();
      printf("resume %.3f %.6f\n", (Now() - t) * 1e3, t);
    } else {
      t = Now();
      vdlEnd_WaveDSP();
      printf("quit %.3f %.6f\n", (Now() - t) * 1e3, t);
    }
  }
  Compute(&counted, 1e300);
  vdlEnd_WaveDSP();
  fclose(fp);
  vdlCloseDevice_WaveDSP();
  printf("counted %llu\n", (unsigned long long)counted);
  return 0;
}
