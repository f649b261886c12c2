/* Runs vdlTestPlay_WaveDSP on the named file and prints its result, so the
 * tests can watch it through the virtual device.  C99, like any caller of
 * <vdl/wave.h> may be. */
#include <vdl/wave.h>

#include <stdio.h>

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: wave_testplay FILE\n");
    return 2;
  }
  printf("%d\n", (int)vdlTestPlay_WaveDSP(argv[1]));
  return 0;
}
