/*
 * playwav FILE.wav: prints a WAV file's format and plays it through the
 * DSP device named in ~/.vdlrc.  Build:
 *   cc playwav.c $(pkg-config --cflags --libs vdlwave)
 */
#include <stdint.h>
#include <stdio.h>

#include <vdl/wave.h>

int main(int argc, char **argv)
{
    int32_t time, stereo, channels, freq, bits, size, played;
    FILE *fp;

    if (argc != 2) {
        fprintf(stderr, "usage: playwav FILE.wav\n");
        return 2;
    }
    if (vdlOpenDevice_WaveDSP() < 0)
        return 1;                       /* the library said why */
    fp = vdlOpenFile_WaveDSP(argv[1], &time, &stereo, &channels, &freq,
                             &bits, &size);
    if (fp == NULL) {
        vdlCloseDevice_WaveDSP();
        return 1;
    }
    printf("%d Hz, %d channel(s), %d bits, %d bytes, %d.%02d s\n",
           (int)freq, (int)channels, (int)bits, (int)size,
           (int)(time / 100), (int)(time % 100));
    played = vdlPlay_WaveDSP(fp, time, stereo, channels, freq, bits, size);
    fclose(fp);
    vdlCloseDevice_WaveDSP();
    return played ? 0 : 1;
}
