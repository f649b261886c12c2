/*
 * A C99 caller of the installed wave library: points $HOME/.vdlrc at
 * /dev/dsp and plays a tone through the blocking operations and through
 * vdlTestPlay_WaveDSP.  argv[1] is a scratch directory holding tone.wav,
 * made by the project's tone maker; the test runs this under the virtual
 * device.
 */
#define _POSIX_C_SOURCE 200112L

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vdl/wave.h>

/* tone.wav: one second of 8-bit mono. */
enum { kDataBytes = 8000, kRate = 8000 };

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "wave_c99: %s\n", what);
        ++failures;
    }
}

int main(int argc, char **argv)
{
    char wav[4096], rc[4096];
    int32_t time, stereo, channels, freq, bits, size;
    FILE *f, *fp;

    if (argc != 2)
        return 2;
    snprintf(wav, sizeof wav, "%s/tone.wav", argv[1]);
    snprintf(rc, sizeof rc, "%s/.vdlrc", argv[1]);
    f = fopen(rc, "w");
    check(f && fputs("[Audio]\nDSP=/dev/dsp\n", f) >= 0 && fclose(f) == 0, "write .vdlrc");
    check(setenv("HOME", argv[1], 1) == 0, "set HOME");

    check(vdlOpenDevice_WaveDSP() >= 0, "open the device");
    fp = vdlOpenFile_WaveDSP(wav, &time, &stereo, &channels, &freq, &bits, &size);
    check(fp != NULL, "read the header");
    if (fp) {
        check(time == kDataBytes / (kRate / 100) && stereo == 0 && channels == 1 &&
                  freq == kRate && bits == 8 && size == kDataBytes,
              "header values");
        check(vdlPlay_WaveDSP(fp, time, stereo, channels, freq, bits, size) == 1, "play");
        fclose(fp);
    }
    vdlCloseDevice_WaveDSP();

    check(vdlTestPlay_WaveDSP(wav) == 1, "test play");
    return failures ? 1 : 0;
}
