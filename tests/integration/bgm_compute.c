/* bgm_compute FILE.wav: plays FILE in the background while this program
 * computes, as a game would between frames: it counts in a loop, looking
 * at the playing flag now and then, until the sound has played out; then
 * ends the playback and closes file and device.  Prints how far it
 * counted.  Exit status 0, 1 when the device or the file did not open,
 * 2 for a wrong call.  C99, like any caller of <vdl/wave.h> may be. */
#include <vdl/wave.h>

#include <stdint.h>
#include <stdio.h>

/* Counts between two looks at the flag: about a millisecond of work. */
enum { kCountsPerLook = 1 << 20 };

int main(int argc, char **argv) {
  int32_t time, stereo, channels, freq, bits, size;
  /* volatile: the loop must really run, not be folded away. */
  volatile uint64_t counted = 0;
  FILE *fp;

  if (argc != 2) {
    fprintf(stderr, "usage: bgm_compute FILE.wav\n");
    return 2;
  }
  if (vdlOpenDevice_WaveDSP() < 0) return 1;
  fp = vdlOpenFile_WaveDSP(argv[1], &time, &stereo, &channels, &freq, &bits, &size);
  if (fp == NULL) {
    vdlCloseDevice_WaveDSP();
    return 1;
  }
  vdlBGMPlay_WaveDSP(fp, time, stereo, channels, freq, bits, size);
  while (vdlIsBGMPlay_WaveDSP()) {
    for (int i = 0; i < kCountsPerLook; ++i) counted = counted + 1;
  }
  vdlEnd_WaveDSP();
  fclose(fp);
  vdlCloseDevice_WaveDSP();
  printf("counted %llu\n", (unsigned long long)counted);
  return 0;
}
