/*
 * Wave output on an Open Sound System DSP device: device open and close,
 * the canonical 44-byte RIFF/WAVE header, blocking playback, and
 * timer-driven background playback.  Usable from C99 and C++.
 *
 * A WAV stream is an open FILE positioned after the header together with
 * six values, always in this order: playing time in hundredths of a
 * second, stereo flag (channels - 1), channel count, sampling frequency in
 * Hz, bits per sample, data size in bytes.
 */
#ifndef VDL_WAVE_H
#define VDL_WAVE_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

/* To be completed by the module's implementation. */
int32_t vdlOpenDevice_WaveDSP(void);
void vdlCloseDevice_WaveDSP(void);
FILE *vdlOpenFile_WaveDSP(const char *path, int32_t *time, int32_t *stereo,
                          int32_t *channels, int32_t *freq, int32_t *bits,
                          int32_t *size);
int32_t vdlPlay_WaveDSP(FILE *fp, int32_t time, int32_t stereo,
                        int32_t channels, int32_t freq, int32_t bits,
                        int32_t size);
int32_t vdlTestPlay_WaveDSP(const char *path);

int32_t vdlBGMPlay_WaveDSP(FILE *fp, int32_t time, int32_t stereo,
                           int32_t channels, int32_t freq, int32_t bits,
                           int32_t size);
void vdlBGMStart_WaveDSP(void);
void vdlBGMStop_WaveDSP(void);
void vdlEnd_WaveDSP(void);
int32_t vdlIsBGMPlay_WaveDSP(void);

#ifdef __cplusplus
}
#endif

#endif
