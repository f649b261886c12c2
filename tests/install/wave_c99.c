/*
 * A C99 caller of the installed wave library: writes a short WAV file,
 * points $HOME/.vdlrc at /dev/dsp and plays the file through the blocking
 * operations and through vdlTestPlay_WaveDSP.  argv[1] is a scratch
 * directory; the test runs this under the virtual device.
 */
#define _POSIX_C_SOURCE 200112L

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vdl/wave.h>

enum { kDataBytes = 1000, kRate = 8000 };

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "wave_c99: %s\n", what);
        ++failures;
    }
}

static void put32(FILE *f, uint32_t v)
{
    int i;

    for (i = 0; i < 4; ++i)
        fputc((int)((v >> (8 * i)) & 0xff), f);
}

static void put16(FILE *f, uint32_t v)
{
    fputc((int)(v & 0xff), f);
    fputc((int)((v >> 8) & 0xff), f);
}

/* Mono, 8 bits: a byte rate of kRate. */
static int write_wav(const char *path)
{
    int i;
    FILE *f = fopen(path, "wb");

    if (!f)
        return 0;
    fputs("RIFF", f);
    put32(f, 36 + kDataBytes);
    fputs("WAVEfmt ", f);
    put32(f, 16);
    put16(f, 1);
    put16(f, 1);
    put32(f, kRate);
    put32(f, kRate);
    put16(f, 1);
    put16(f, 8);
    fputs("data", f);
    put32(f, kDataBytes);
    for (i = 0; i < kDataBytes; ++i)
        fputc(128 + (i % 32) - 16, f);
    return fclose(f) == 0;
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
    check(write_wav(wav), "write the WAV file");
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
